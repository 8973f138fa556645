// "TesmiraSec.sec" on any bytes: decoded and read as an outline; a tree
// read that way is written and read again unchanged, and saved and loaded
// through a file it keeps every node.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "app/tree_file.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "platform/text_file.h"

namespace revurov::fuzz {

namespace {

std::u16string gFile;

std::u16string Shape(const tesmira::TTree& aTree) {
  std::u16string out;
  for (const tesmira::TTreeNode* n : aTree.PreOrder()) out += n->Text() + u"@" + std::u16string(1, char16_t(n->Level())) + u"|";
  return out;
}

}  // namespace

void SetUp() {
  const auto dir = std::filesystem::temp_directory_path() / ("revurov-fuzz-tree-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  gFile = platform::Utf8ToUtf16((dir / "TesmiraSec.sec").string());
}

std::vector<std::string> Seeds() {
  return {
      "Administration\r\n\tBenutzer\r\n\t\tHANS\r\n\t\tERNA\r\n\tDB-Gruppen\r\n\t\tG1\r\n\t\t\tARTIKEL\r\n\t\tG2\r\n",
      "\xEF\xBB\xBF" "A\r\n\tB\xC3\xA4\r\n",
      std::string("\xFF\xFE" "A\0\r\0\n\0", 8),
      "A\r\n\t\tzu tief\r\n",
      "\xEF\xBB\xBF\r\n",
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  using namespace tesmira;
  std::u16string text;
  try {
    text = platform::DecodeText(fuzz::Bytes(aData, aSize)).Text;
  } catch (const platform::Exception&) {
    // Not valid UTF-8 behind a UTF-8 BOM: read as the code units instead.
    text = fuzz::Widened(fuzz::Bytes(aData, aSize));
  }
  TTreeFile file;
  try {
    ReadOutline(file.Tree(), text);
  } catch (const ETreeViewError&) {
    return 0;
  }
  TTree again;
  const std::u16string outline = WriteOutline(file.Tree());
  ReadOutline(again, outline);
  if (WriteOutline(again) != outline) std::abort();
  // Names keep their text through a file, in whatever encoding Save picks;
  // names with line breaks or leading blanks are not the tree's to keep.
  for (const TTreeNode* n : file.Tree().PreOrder())
    if (n->Text().find_first_of(u"\r\n") != std::u16string::npos || n->Text().starts_with(u" ") ||
        n->Text().starts_with(u"\t") || platform::HasUnpairedSurrogate(n->Text()))
      return 0;
  file.Save(fuzz::gFile);
  TTreeFile back;
  back.Load(fuzz::gFile);
  if (fuzz::Shape(back.Tree()) != fuzz::Shape(file.Tree())) std::abort();
  return 0;
}
