// The outline file "TesmiraSec.sec": one line per node in pre-order, the
// node's depth in TAB characters, its text, CR LF.
//
// API contract (the window binds to this):
// - `ReadOutline(tree, text)` empties the tree, then adds the lines by the
//   reading rules: leading TABs and blanks count as depth; the first line is
//   a top-level node whatever its depth; a line at the depth of the node
//   added before becomes its next sibling, one level deeper its first child,
//   a shallower one the next sibling of the first ancestor that is not
//   deeper than the line; more than one level deeper, or deeper than
//   kMaxTreeDepth, raises ETreeViewError "Ungültige Ebene (%d) für Eintrag
//   \"%s\"" and keeps the nodes read before. Linear in the text's length.
// - `TTreeFile` remembers the encoding the tree was last loaded in: `Save`
//   writes in it (with its BOM when it has one), ANSI without BOM when no
//   file was loaded, and UTF-8 with BOM whenever the ANSI code page cannot
//   hold a text of the tree. Saving replaces the file atomically.
// - `LoadStartupTree(db_folder)` is step 1 of the window's first show: take
//   over "ZOZavAzi.sec" (load, save as "TesmiraSec.sec", move to
//   "ZOZavAzi.old", the move's failure ignored), else load "TesmiraSec.sec",
//   else the default tree. A file without any node gives the default tree.
//   Errors propagate (the window shows them, and must still close when the
//   password check failed).
// - `TidyTree(tree)` is steps 2-3: node 0 expanded with image 0, images of
//   the other nodes by their kind, ".DB" cut from group tables; returns the
//   last group in pre-order (`DBNode`) or nullptr. Safe on any tree shape
//   (several top-level nodes or none).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/tree_model.h"
#include "platform/rtl_exception.h"
#include "platform/text_file.h"

namespace tesmira {

inline constexpr char16_t kTreeFileName[] = u"TesmiraSec.sec";
inline constexpr char16_t kLegacyTreeFileName[] = u"ZOZavAzi.sec";
inline constexpr char16_t kLegacyTreeOldName[] = u"ZOZavAzi.old";
inline constexpr char16_t kNodeAdministration[] = u"Administration";
inline constexpr char16_t kNodeUsers[] = u"Benutzer";
inline constexpr char16_t kNodeGroups[] = u"DB-Gruppen";
inline constexpr char16_t SInvalidLevelEx[] = u"Ung\u00FCltige Ebene (%d) f\u00FCr Eintrag \"%s\"";
// The tool's tree is three levels deep; a file nesting deeper than this is
// refused with SInvalidLevelEx, so that no window control has to hold it.
inline constexpr int kMaxTreeDepth = 64;

enum TTreeImage { imgAdministration = 0, imgUsers = 1, imgUser = 2, imgGroup = 3, imgTable = 4 };

class ETreeViewError : public revurov::platform::Exception {
public:
  using revurov::platform::Exception::Exception;
  std::u16string_view ClassName() const noexcept override { return u"ETreeViewError"; }
};

void MakeDefaultTree(TTree& tree);
void ReadOutline(TTree& tree, std::u16string_view text);
std::u16string WriteOutline(const TTree& tree);

enum class TTreeSource { Default, Own, Legacy };

class TTreeFile {
public:
  TTree& Tree() noexcept { return tree_; }
  const TTree& Tree() const noexcept { return tree_; }
  // Encoding of the last successful or partial load; nullopt before any.
  std::optional<revurov::platform::TTextEncoding> LoadedEncoding() const noexcept { return encoding_; }

  // Empties the tree and reads the file (encoding detection). A missing
  // file raises EFOpenError.
  void Load(const std::u16string& file_name);
  void Save(const std::u16string& file_name) const;

  TTreeSource LoadStartupTree(const std::u16string& db_folder);

private:
  TTree tree_;
  std::optional<revurov::platform::TTextEncoding> encoding_;
  bool bom_ = false;
};

TTreeNode* TidyTree(TTree& tree);

}  // namespace tesmira
