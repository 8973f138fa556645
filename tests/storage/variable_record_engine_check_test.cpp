// The dictionary check of the variable record engines, on a dictionary of
// its own: reading the block size it gives a file needs the files
// descriptor, whose header cannot meet the buffer manager's in one unit.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/startup.h"
#include "storage/variable_record_engine.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

uint32_t CodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A table of one byte array whose records aEngine keeps.
void Shape(TnxDataDictionary& aDict, std::u16string_view aEngine, std::u16string_view aCompression,
           int32_t aArrayBytes) {
  aDict.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, aArrayBytes, 0, false);
  aDict.RemoveRecordDescriptor();
  auto* record =
      static_cast<TnxHeapRecordDescriptor*>(aDict.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(aEngine);
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(aCompression);
  compression->SetCompressType(11);
}

TEST(VariableRecordCheckTest, NewFilesHoldARecordUncompressed) {
  TnxStorageStartupGuard started;
  struct Case {
    const char16_t* Engine;
    int32_t ArrayBytes;  // record length: rounded up to 4, + 4
    uint32_t Code;
    TnxBlockSize Size;
  };
  // 4096-byte blocks give segments of 4056 bytes: the record length + 25
  // rule would take records up to 4071 bytes, the flags and a whole record
  // fit only up to 4055 (4054 with the 16-bit flag word).
  const Case cases[] = {
      {u"Variable", 4048, 0, nxbs4k},
      {u"Variable", 4052, 0, nxbs8k},
      {u"VariableVersioned", 4048, 0, nxbs4k},
      {u"VariableVersioned", 4052, 0, nxbs8k},
      {u"Variable", 65488, 0, nxbs64k},
      {u"Variable", 65492, nxeRecordTooLarge, nxbs4k},
      {u"VariableVersioned", 65492, nxeRecordTooLarge, nxbs4k},
  };
  for (const Case& c : cases) {
    TnxDataDictionary dict;
    Shape(dict, c.Engine, u"Compressor", c.ArrayBytes);
    const uint32_t code = CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); });
    EXPECT_EQ(code, c.Code) << c.ArrayBytes;
    if (code == 0) {
      EXPECT_EQ(dict.FilesDescriptor().FileDescriptor(0)->BlockSize(), c.Size) << c.ArrayBytes;
    }
  }
}

TEST(VariableRecordCheckTest, DescriptorsThatDoNotFitAreRefused) {
  TnxStorageStartupGuard started;
  auto recordOf = [](TnxDataDictionary& d) { return static_cast<TnxHeapRecordDescriptor*>(d.RecordDescriptor()); };
  struct Case {
    const char* Name;
    const char16_t* Engine;
    std::function<void(TnxDataDictionary&)> Change;
    std::u16string Text;
  };
  const Case cases[] = {
      {"static record descriptor", u"Variable",
       [](TnxDataDictionary& d) {
         d.RemoveRecordDescriptor();
         d.AddRecordDescriptor()->SetRecordEngine(u"Variable");
       },
       u"Record descriptor must be a TnxHeapRecordDescriptor is required"},
      {"versioned, static record descriptor", u"VariableVersioned",
       [](TnxDataDictionary& d) {
         d.RemoveRecordDescriptor();
         d.AddRecordDescriptor()->SetRecordEngine(u"VariableVersioned");
       },
       u"Record descriptor must be a TnxHeapRecordDescriptor"},
      {"no heap", u"Variable", [&](TnxDataDictionary& d) { recordOf(d)->RemoveHeapDescriptor(); },
       u"A HeapDescriptor is required"},
      {"unknown compression", u"Variable",
       [&](TnxDataDictionary& d) { recordOf(d)->RecordCompressionDescriptor()->SetRecordCompressionEngine(u"Zip"); },
       u"Unknown RecordCompression engine"},
      {"versioned, no compression", u"VariableVersioned",
       [&](TnxDataDictionary& d) { recordOf(d)->RemoveRecordCompressionDescriptor(); },
       u"A RecordCompressionDescriptor is required"},
      {"versioned, smart", u"VariableVersioned",
       [&](TnxDataDictionary& d) { recordOf(d)->RecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart"); },
       u"Only \"Compressor\" RecordCompressionEngine is supported"},
      {"versioned, more original fields than fields", u"VariableVersioned",
       [](TnxDataDictionary& d) { d.FieldsDescriptor().SetOriginalFieldCount(5); },
       u"OriginalFieldCount 5 does not fit 1 fields"},
  };
  for (const Case& c : cases) {
    TnxDataDictionary dict;
    Shape(dict, c.Engine, u"Compressor", 16);
    c.Change(dict);
    const std::u16string message =
        testing::MessageOf<EnxBaseException>([&] { TnxBaseSubEngine::CheckValidAll(dict); });
    SCOPED_TRACE(c.Name);
    EXPECT_HAS_TEXT(message, c.Text);
  }
  // The compressor's name in any letter case.
  TnxDataDictionary dict;
  Shape(dict, u"VariableVersioned", u"cOMPRESSOR", 16);
  EXPECT_EQ(CodeOf([&] { TnxBaseSubEngine::CheckValidAll(dict); }), 0u);
}

}  // namespace
}  // namespace revurov
