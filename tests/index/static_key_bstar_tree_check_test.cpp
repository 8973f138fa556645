// The descriptor check alone: a dictionary of the server's kind, whose
// usable block size is the whole block.
#include <gtest/gtest.h>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

// The check raises the index file's block size until four internal and
// three leaf pairs fit; a key too long for 64 KB is refused by name.
TEST(StaticKeyBstarTreeCheckTest, TheDescriptorCheckRaisesTheBlockSizeOrRefusesTheKey) {
  TnxIndexStartupGuard startup;
  struct TCase {
    const char* Name;
    int32_t DataBytes;
    TnxIndexDups Dups;
    TnxBlockSize Expected;  // nxbs64k + 1: refused
  } cases[] = {
      {"fits 4 KB", 800, idNone, nxbs4k},
      {"needs 8 KB", 1100, idNone, nxbs8k},
      {"needs 16 KB with duplicates", 2030, idAll, nxbs16k},
      {"too long for 64 KB", 16380, idNone, static_cast<TnxBlockSize>(nxbs64k + 1)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, c.DataBytes, 0, false);
    auto* indices = dict.EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Wide", 0, c.Dups, u"", &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    TnxFileDescriptor& file = *dict.FilesDescriptor().FileDescriptor(0);
    if (c.Expected > nxbs64k) {
      EXPECT_HAS_TEXT(testing::MessageOf<EnxStaticKeyBstarTreeIndexEngineException>(
                          [&] { TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d); }),
                      u"Maximum key size has been exceeded. Index: #0 Wide");
      EXPECT_EQ(file.BlockSize(), nxbs4k);
    } else {
      TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
      EXPECT_EQ(file.BlockSize(), c.Expected);
    }
  }
}

}  // namespace
}  // namespace revurov
