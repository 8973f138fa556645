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
  TTreeNode* prev = nullptr;
  for (const std::u16string& line : SplitLines(text)) {
    size_t depth_chars = 0;
    while (depth_chars < line.size() && (line[depth_chars] == u'\t' || line[depth_chars] == u' ')) ++depth_chars;
    // Depths beyond int range cannot come from a sane file; they fail as a jump.
    const int depth = depth_chars > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(depth_chars);
    std::u16string node_text = line.substr(depth_chars);
    if (!prev) {
      prev = tree.AddTop(std::move(node_text));
      continue;
    }
    const int level = prev->Level();
    if (depth == level) {
      prev = prev->Parent() ? prev->Parent()->AddChild(std::move(node_text)) : tree.AddTop(std::move(node_text));
    } else if (depth == level + 1) {
      prev = prev->AddChild(std::move(node_text));
    } else if (depth < level) {
      TTreeNode* anchor = prev->Parent();
      while (anchor->Level() > depth) anchor = anchor->Parent();
      prev = anchor->Parent() ? anchor->Parent()->AddChild(std::move(node_text)) : tree.AddTop(std::move(node_text));
    } else {
      throw ETreeViewError(Format(SInvalidLevelEx, {depth, node_text}));
    }
  }
}

std::u16string WriteOutline(const TTree& tree) {
  std::u16string out;
  for (const TTreeNode* n : tree.PreOrder()) {
    out.append(static_cast<size_t>(n->Level()), u'\t');
    out += n->Text();
    out += u"\r\n";
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

void TTreeFile::Save(const std::u16string& file_name) const {
  const std::u16string text = WriteOutline(tree_);
  TTextEncoding enc = encoding_.value_or(TTextEncoding::Ansi);
  bool bom = encoding_ ? bom_ || enc != TTextEncoding::Ansi : false;
  // Names the ANSI code page cannot hold would come back as "?".
  if (!CanEncode(text, enc)) {
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
