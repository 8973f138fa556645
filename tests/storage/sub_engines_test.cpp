#include "storage/sub_engines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/blob_engines.h"
#include "storage/heap_engines.h"
#include "storage/record_compression.h"
#include "storage/startup.h"
#include "storage/static_record_engine.h"
#include "storage/stream_engines.h"
#include "storage/variable_record_engine.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

// The usable size of "NX!2" files: block size less the format's 4 bytes.
class TDictionary : public TnxDataDictionary {
public:
  uint32_t UsableBlockSize(TnxBlockSize aBlockSize) override { return nxBlockSizeBytes(aBlockSize) - 4; }
};

uint32_t CodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

class SubEngineTest : public ::testing::Test {
public:
  TDictionary& NewDict(int32_t aDataBytes = 96) {
    dict_ = std::make_unique<TDictionary>();
    if (aDataBytes) dict_->FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, aDataBytes, 0, false);
    return *dict_;
  }

  TnxStorageStartupGuard storage_;
  std::unique_ptr<TDictionary> dict_;
};

TEST_F(SubEngineTest, FamiliesAreListedInOrderAndNamesIgnoreCase) {
  EXPECT_EQ(TnxBaseSubEngine::Families(),
            (std::vector<const TnxSubEngineClass*>{&TnxBaseStreamEngine::ClassInfo(),
                                                   &TnxBaseAutoIncEngine::ClassInfo(),
                                                   &TnxBaseBlockHeapEngine::ClassInfo(),
                                                   &TnxBaseHeapEngine::ClassInfo(),
                                                   &TnxBaseRecordEngine::ClassInfo(),
                                                   &TnxBaseRecordCompressionEngine::ClassInfo(),
                                                   &TnxBaseBlobEngine::ClassInfo()}));
  struct Case {
    const TnxSubEngineClass* family;
    std::u16string_view name;
    const TnxSubEngineClass* found;
  };
  const Case cases[] = {
      {&TnxBaseRecordEngine::ClassInfo(), u"static", &TnxStaticRecordEngine::ClassInfo()},
      {&TnxBaseRecordEngine::ClassInfo(), u"NX1XDEFAULT", &TnxStaticRecordEngine::ClassInfo()},
      {&TnxBaseStreamEngine::ClassInfo(), u"nx1xdefault", &TnxSimpleStreamEngine::ClassInfo()},
      {&TnxBaseAutoIncEngine::ClassInfo(), u"nx1xDefault", &TnxSimpleAutoIncEngine::ClassInfo()},
      // Each family looks only in its own registry.
      {&TnxBaseStreamEngine::ClassInfo(), u"Static", nullptr},
      {&TnxBaseStreamEngine::ClassInfo(), u"Variable", nullptr},
      {&TnxBaseRecordEngine::ClassInfo(), u"VARIABLEversioned", &TnxVariableVersionedRecordEngine::ClassInfo()},
      {&TnxBaseRecordEngine::ClassInfo(), u"Dynamic", nullptr},
      // Any class of a family answers the family's registry.
      {&TnxStaticRecordEngine::ClassInfo(), u"Static", &TnxStaticRecordEngine::ClassInfo()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(c.family->FindEngineClass(c.name), c.found);
  }
}

TEST_F(SubEngineTest, UnregisterRemovesEveryNameOfTheClass) {
  const TnxSubEngineClass& statics = TnxStaticRecordEngine::ClassInfo();
  statics.Unregister();
  EXPECT_EQ(statics.FindEngineClass(u"Static"), nullptr);
  EXPECT_EQ(statics.FindEngineClass(u"nx1xDefault"), nullptr);
  // The family's other classes keep theirs.
  EXPECT_EQ(statics.FindEngineClass(u"Variable"), &TnxVariableRecordEngine::ClassInfo());
  statics.Register(u"nx1xDefault");
  statics.Register(u"Static");
  EXPECT_EQ(statics.FindEngineClass(u"STATIC"), &statics);
  // A second registration under a name the family has (any case) fails.
  EXPECT_ANY_THROW(statics.Register(u"static"));
}

TEST_F(SubEngineTest, UnknownEngineNamesGive15503WithFamilyWordAndName) {
  struct Case {
    const char* name;
    std::function<void(TDictionary&)> setUp;
    std::u16string text;
  };
  const Case cases[] = {
      {"record", [](TDictionary& d) { d.RecordDescriptor()->SetRecordEngine(u"Nope"); },
       u"Unknown Record engine: \"Nope\""},
      {"autoinc",
       [](TDictionary& d) { d.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter"); },
       u"Unknown autoinc engine: \"Counter\""},
      {"stream", [](TDictionary& d) { d.StreamDescriptor()->SetStreamEngine(u"Pipe"); },
       u"Unknown stream engine: \"Pipe\""},
      {"nested table's record",
       [](TDictionary& d) {
         d.TablesDescriptor().AddTable(u"Child")->AddRecordDescriptor()->SetRecordEngine(u"Deep");
       },
       u"Unknown Record engine: \"Deep\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDictionary& dict = NewDict();
    c.setUp(dict);
    EXPECT_EQ(CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); }), nxeSubEngineNotSupported);
    EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseSubEngineException>([&] { TnxBaseSubEngine::CheckValidAll(dict); }),
                    c.text);
  }
}

TEST_F(SubEngineTest, NestedTablesAreCheckedAfterTheirParentDepthFirst) {
  TDictionary& dict = NewDict();
  TnxBaseTableDescriptor* child = dict.TablesDescriptor().AddTable(u"A");
  child->TablesDescriptor().AddTable(u"Grandchild")->AddRecordDescriptor()->SetRecordEngine(u"First");
  dict.TablesDescriptor().AddTable(u"B")->AddRecordDescriptor()->SetRecordEngine(u"Second");
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseSubEngineException>([&] { TnxBaseSubEngine::CheckValidAll(dict); }),
                  u"\"First\"");
  // The parent's own failure comes before any nested one.
  dict.RecordDescriptor()->SetRecordEngine(u"Top");
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseSubEngineException>([&] { TnxBaseSubEngine::CheckValidAll(dict); }),
                  u"\"Top\"");
}

TEST_F(SubEngineTest, WithoutDescriptorsNothingIsCheckedOrCreated) {
  TDictionary& dict = NewDict();
  dict.RemoveRecordDescriptor();
  EXPECT_EQ(CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); }), 0u);
  const TnxBlockAccessList noFiles;
  EXPECT_EQ(TnxBaseRecordEngine::CreateEngine(dict, noFiles, nullptr), nullptr);
  EXPECT_EQ(TnxBaseAutoIncEngine::CreateEngine(dict, noFiles, nullptr), nullptr);
}

TEST_F(SubEngineTest, StaticRecordCheckChoosesTheDataFilesBlockSize) {
  struct Case {
    const char* name;
    int32_t dataBytes;  // 0: no field, record length 0
    uint32_t code;
    TnxBlockSize size;
  };
  const Case cases[] = {
      {"fits 4 KB", 96, 0, nxbs4k},
      {"largest for 4 KB: L = 4056", 4052, 0, nxbs4k},
      {"L = 4060 needs 8 KB", 4056, 0, nxbs8k},
      {"needs 64 KB", 40000, 0, nxbs64k},
      {"no field: length 0", 0, nxeRecordTooLarge, nxbs4k},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDictionary& dict = NewDict(c.dataBytes);
    EXPECT_EQ(CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); }), c.code);
    EXPECT_EQ(dict.FilesDescriptor().FileDescriptor(0)->BlockSize(), c.size);
  }
  // A larger block size than needed stays.
  TDictionary& dict = NewDict(96);
  dict.FilesDescriptor().FileDescriptor(0)->SetBlockSize(nxbs16k);
  TnxBaseSubEngine::CheckValidAll(dict);
  EXPECT_EQ(dict.FilesDescriptor().FileDescriptor(0)->BlockSize(), nxbs16k);
}

TEST_F(SubEngineTest, RecordBeyondSixtyFourKilobytesGives15495) {
  // Records are limited to 16-bit lengths; the largest that passes the
  // fields descriptor still cannot fit with its 33 bytes of block overhead.
  TDictionary& dict = NewDict(0);
  dict.FieldsDescriptor().AddField(u"A", u"", nxtByteArray, 32000, 0, false);
  dict.FieldsDescriptor().AddField(u"B", u"", nxtByteArray, 33500, 0, false);
  ASSERT_GT(dict.FieldsDescriptor().RecordLength() + 33, 65532);
  EXPECT_EQ(CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); }), nxeRecordTooLarge);
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseSubEngineException>([&] { TnxBaseSubEngine::CheckValidAll(dict); }),
                  u"Maximum record size has been exceeded");
}

}  // namespace
}  // namespace revurov
