#include "app/tree_file.h"

#include <cerrno>

#include "platform/code_page.h"
#include "platform/file_io.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/string_list.h"

namespace tesmira {

using namespace revurov::platform;

void MakeDefaultTree(TTree& tree) {
  tree.Clear();
  TTreeNode* root = tree.AddTop(kNodeAdministration);
  root->AddChild(kNodeUsers);
  root->AddChild(kNodeGroups);
}

void ReadOutline(TTree& tree, std::u16string_view text) {
  tree.Clear();
  // path[d] is the ancestor at level d of the node added last, which is
  // path.back(): each line costs its own length, however deep the tree.
  std::vector<TTreeNode*> path;
  for (const std::u16string& line : SplitLines(text)) {
    size_t depth = 0;
    while (depth < line.size() && (line[depth] == u'\t' || line[depth] == u' ')) ++depth;
    std::u16string node_text = line.substr(depth);
    if (path.empty()) {
      path.push_back(tree.AddTop(std::move(node_text)));
      continue;
    }
    const size_t level = path.size() - 1;
    if (depth > level + 1 || depth > static_cast<size_t>(kMaxTreeDepth)) {
      // Depths beyond int range cannot come from a sane file.
      const int shown = depth > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(depth);
      throw ETreeViewError(Format(SInvalidLevelEx, {shown, node_text}));
    }
    if (depth == level + 1) {
      path.push_back(path.back()->AddChild(std::move(node_text)));
      continue;
    }
    // A sibling of the ancestor at the line's depth.
    TTreeNode* parent = depth > 0 ? path[depth - 1] : nullptr;
    path.resize(depth);
    path.push_back(parent ? parent->AddChild(std::move(node_text)) : tree.AddTop(std::move(node_text)));
  }
}

std::u16string WriteOutline(const TTree& tree) {
  std::u16string out;
  std::vector<std::pair<const TTreeNode*, size_t>> stack;
  for (int i = tree.TopCount() - 1; i >= 0; --i) stack.emplace_back(tree.Top(i), 0);
  while (!stack.empty()) {
    const auto [node, level] = stack.back();
    stack.pop_back();
    out.append(level, u'\t');
    out += node->Text();
    out += u"\r\n";
    for (int i = node->Count() - 1; i >= 0; --i) stack.emplace_back(node->Item(i), level + 1);
  }
  return out;
}

void TTreeFile::Load(const std::u16string& file_name) {
  tree_.Clear();
  std::optional<TDecodedText> decoded = ReadTextFile(ToOsPath(file_name));
  if (!decoded) {
    throw EFOpenError(Format(SFOpenErrorEx, {file_name, SysErrorMessage(ENOENT)}));
  }
  encoding_ = decoded->Encoding;
  bom_ = decoded->HadBom;
  ReadOutline(tree_, decoded->Text);
}

namespace {

bool StartsLikeByteOrderMark(std::u16string_view text) {
  const std::string head = EncodeText(text.substr(0, 3), TTextEncoding::Ansi, false);
  return DecodeText(head).HadBom;
}

}  // namespace

void TTreeFile::Save(const std::u16string& file_name) const {
  const std::u16string text = WriteOutline(tree_);
  TTextEncoding enc = encoding_.value_or(TTextEncoding::Ansi);
  bool bom = encoding_ ? bom_ || enc != TTextEncoding::Ansi : false;
  // Names the ANSI code page cannot hold would come back as "?".
  // An ANSI text whose first bytes read as a byte-order mark ("\u00EF\u00BB\u00BF",
  // "\u00FF\u00FE") would load back as UTF-8 or UTF-16.
  if (!CanEncode(text, enc) || (enc == TTextEncoding::Ansi && StartsLikeByteOrderMark(text))) {
    enc = TTextEncoding::Utf8;
    bom = true;
  }
  WriteTextFile(ToOsPath(file_name), text, enc, bom);
}

TTreeSource TTreeFile::LoadStartupTree(const std::u16string& db_folder) {
  const std::u16string legacy = db_folder + kLegacyTreeFileName;
  const std::u16string own = db_folder + kTreeFileName;
  TTreeSource source = TTreeSource::Default;
  if (FileExists(std::u16string_view(legacy))) {
    Load(legacy);
    if (tree_.Empty()) MakeDefaultTree(tree_);
    Save(own);
    // When "ZOZavAzi.old" exists the move fails and the take-over repeats.
    MoveFileNoReplace(ToOsPath(legacy), ToOsPath(db_folder + kLegacyTreeOldName));
    source = TTreeSource::Legacy;
  } else if (FileExists(std::u16string_view(own))) {
    Load(own);
    source = TTreeSource::Own;
  } else {
    MakeDefaultTree(tree_);
    return source;
  }
  // An empty file would leave no top-level node to show.
  if (tree_.Empty()) MakeDefaultTree(tree_);
  return source;
}

TTreeNode* TidyTree(TTree& tree) {
  const std::vector<TTreeNode*> nodes = tree.PreOrder();
  if (nodes.empty()) return nullptr;
  nodes[0]->SetExpanded(true);
  nodes[0]->SetImageIndex(imgAdministration);
  TTreeNode* db_node = nullptr;
  for (size_t i = 1; i < nodes.size(); ++i) {
    TTreeNode* n = nodes[i];
    const TTreeNode* parent = n->Parent();
    if (n->Text() == kNodeUsers) {
      n->SetImageIndex(imgUsers);
    } else if (parent && parent->Text() == kNodeUsers) {
      n->SetImageIndex(imgUser);
    } else if (n->Text() == kNodeGroups) {
      n->SetImageIndex(imgGroup);
    } else if (parent && parent->Text() == kNodeGroups) {
      db_node = n;
      for (int c = 0; c < n->Count(); ++c) {
        TTreeNode* table = n->Item(c);
        const std::u16string upper = AnsiUpperCase(table->Text());
        const size_t pos = upper.find(u".DB");
        if (pos != std::u16string::npos) table->SetText(upper.substr(0, pos));
      }
      n->SetImageIndex(imgGroup);
    } else {
      n->SetImageIndex(imgTable);
    }
  }
  return db_node;
}

}  // namespace tesmira
