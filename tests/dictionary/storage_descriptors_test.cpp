#include "dictionary/storage_descriptors.h"

#include <gtest/gtest.h>

#include "dictionary_tree_fixture.h"
#include "tests/support/exception_message.h"
#include "tests/support/tagged_bytes.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// The item header as a reader before 20000 takes it.
void OldItemHeader(TnxWriter& w) {
  w.WriteInteger(int32_t{1});
  w.WriteListBegin();
  w.WriteListEnd();
}

class StorageDescriptorsTest : public TableTreeTest {};

// A record descriptor on file 2 of files 0 to 3 through each kind of change.
TEST_F(StorageDescriptorsTest, FileNumbersFollowTheFiles) {
  struct Case {
    int32_t Old, New, Expected;
  };
  const Case cases[] = {
      {1, -1, 1},   // file 1 removed
      {-1, 0, 3},   // a file inserted at 0
      {3, 0, 3},    // file 3 moved to 0
      {2, 0, 0},    // its own file moved to 0
      {0, 3, 1},    // file 0 moved behind it
      {3, -1, 2},   // a later file removed
  };
  for (const Case& c : cases) {
    TnxBaseRecordDescriptor record(&root, "Record");
    record.SetFileNumber(2);
    record.FileChangeNotification(true, c.Old, c.New);
    record.FileChangeNotification(false, c.Old, c.New);
    EXPECT_EQ(record.FileNumber(), c.Expected) << c.Old << " -> " << c.New;
  }
}

TEST_F(StorageDescriptorsTest, TheReferencedFileCannotBeRemoved) {
  struct Case {
    std::function<std::unique_ptr<TnxFileStorageDescriptor>(TnxPersistent*)> Make;
    std::u16string_view Word;
  };
  const Case cases[] = {
      {[](TnxPersistent* p) { return std::make_unique<TnxBaseRecordDescriptor>(p, "Record"); }, u"a record"},
      {[](TnxPersistent* p) { return std::make_unique<TnxHeapBlobDescriptor>(p, "Blob"); }, u"a blob"},
      {[](TnxPersistent* p) { return std::make_unique<TnxAdvAutoIncDescriptor>(p, "AutoInc"); }, u"an autoinc"},
  };
  for (const Case& c : cases) {
    TestRoot r;
    r.Files = std::make_unique<TnxFilesDescriptor>(&r);
    for (auto ext : {u"", u"a", u"b"}) r.Files->AddFile(ext, nxbs4k, u"");
    auto item = c.Make(&r);
    item->SetFileNumber(2);
    const std::u16string message = MessageOf<EnxDictionaryItemException>([&] { r.Files->RemoveFile(2); });
    EXPECT_TRUE(Contains(message, u"Cannot remove file 2 because it is still referenced by " + std::u16string(c.Word) +
                                      u" engine"))
        << platform::Utf16ToUtf8(message);
    EXPECT_EQ(r.Files->FileCount(), 3);
    r.Files->RemoveFile(1);
    EXPECT_EQ(item->FileNumber(), 1);
    item.reset();
    EXPECT_EQ(r.Files->FileChangeListenerCount(), 0);
  }
}

TEST_F(StorageDescriptorsTest, AFileNumberOutsideTheFilesIsRefused) {
  TnxBaseBlobDescriptor blob(&root, "Blob");
  for (int32_t bad : {-1, 3}) {
    EXPECT_EQ(CodeOf<EnxBaseBlobDescriptorException>([&] { blob.SetFileNumber(bad); }), nxeInvalidDescriptorNumber);
    EXPECT_TRUE(Contains(MessageOf<EnxBaseBlobDescriptorException>([&] { blob.SetFileNumber(bad); }),
                         u"Invalid file number: " + platform::Utf8ToUtf16(std::to_string(bad))));
  }
  EXPECT_EQ(blob.FileNumber(), 0);
}

TEST_F(StorageDescriptorsTest, AHeapRecordDescriptorWritesItsLayoutPerClient) {
  TnxHeapRecordDescriptor record(&root, "Record");
  record.SetRecordEngine(u"Variable");
  record.SetFileNumber(1);
  auto* heap = record.AddHeapDescriptor();
  heap->AddBlockHeapDescriptor();
  record.AddRecordCompressionDescriptor()->SetCompressType(11);

  const Bytes current = Written([&](TnxWriter& w) {
    WriteItemHeader(w, record.ID());
    w.WriteInteger(int32_t{2});
    w.WriteString(u"Variable");
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{3});
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseHeapDescriptor");
    WriteItemHeader(w, heap->ID());
    w.WriteInteger(int32_t{2});
    w.WriteString(u"nx1xDefault");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseBlockHeapDescriptor");
    WriteItemHeader(w, heap->BlockHeapDescriptor()->ID());
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseRecordCompressionDescriptor");
    w.WriteInteger(int32_t{3});
    w.WriteListBegin();
    w.WriteString(u"CompressType=11");
    w.WriteListEnd();
    w.WriteInteger(record.RecordCompressionDescriptor()->ID());
    w.WriteString(u"");
    w.WriteInteger(int32_t{1});
    w.WriteString(u"Smart");
  });
  EXPECT_EQ(SavedBytes(record, 47501), current);

  const Bytes old = Written([&](TnxWriter& w) {
    OldItemHeader(w);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"Variable");
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseHeapDescriptor");
    OldItemHeader(w);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseBlockHeapDescriptor");
    OldItemHeader(w);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
  });
  EXPECT_EQ(SavedBytes(record, 15000), old);

  TnxHeapRecordDescriptor back(&root, "Record");
  LoadBytes(back, old);
  EXPECT_EQ(back.RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(back.FileNumber(), 0);
  TnxHeapRecordDescriptor again(&root, "Record");
  LoadBytes(again, current);
  EXPECT_TRUE(again.IsEqual(&record));
  EXPECT_EQ(again.RecordCompressionDescriptor()->GetCompressType(), 11);
}

// The first layouts always had a heap and a block heap without saying so.
TEST_F(StorageDescriptorsTest, AVersionOneStreamWithoutHeapGetsTheDefaultOne) {
  const Bytes old = Written([&](TnxWriter& w) {
    OldItemHeader(w);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(false);
  });
  TnxHeapBlobDescriptor blob(&root, "Blob");
  LoadBytes(blob, old);
  ASSERT_NE(blob.HeapDescriptor(), nullptr);
  EXPECT_EQ(&blob.HeapDescriptor()->ClassType(), &TnxBaseHeapDescriptor::ClassInfo());

  TnxHeapBlobDescriptor none(&root, "Blob");
  LoadBytes(none, SavedBytes(none, 47501));
  EXPECT_EQ(none.HeapDescriptor(), nullptr);
}

TEST_F(StorageDescriptorsTest, AnAdvAutoIncOfTheFirstLayoutStartsAfterItsStartValue) {
  TnxAdvAutoIncDescriptor autoinc(&root, "AutoInc");
  const Bytes old = Written([&](TnxWriter& w) {
    WriteItemHeader(w);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteInteger(int32_t{0});
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{10});
    w.WriteInteger(int32_t{5});
  });
  LoadBytes(autoinc, old);
  EXPECT_EQ(autoinc.InitialValue(), 15u);
  EXPECT_EQ(autoinc.Step(), 5u);
  autoinc.SetInitialValue(4000000000u);
  TnxAdvAutoIncDescriptor back(&root, "AutoInc");
  LoadBytes(back, SavedBytes(autoinc, 47501));
  EXPECT_EQ(back.InitialValue(), 4000000000u);
  EXPECT_TRUE(back.IsEqual(&autoinc));
  EXPECT_EQ(CodeOf<EnxAdvAutoIncDescriptorException>([&] { autoinc.SetStep(0); }), nxeInvalidDescriptorNumber);
}

TEST_F(StorageDescriptorsTest, UnknownLayoutVersionsAreRefused) {
  struct Case {
    std::function<std::unique_ptr<TnxDictionaryItem>(TnxPersistent*)> Make;
    int32_t Version;
  };
  auto record = [](TnxPersistent* p) { return std::make_unique<TnxBaseRecordDescriptor>(p, "Record"); };
  auto autoinc = [](TnxPersistent* p) { return std::make_unique<TnxBaseAutoIncDescriptor>(p, "AutoInc"); };
  auto stream = [](TnxPersistent* p) { return std::make_unique<TnxBaseStreamDescriptor>(p, "Stream"); };
  const Case cases[] = {{record, 0}, {record, 4}, {record, -2}, {autoinc, 2}, {stream, 2}};
  for (const Case& c : cases) {
    auto item = c.Make(&root);
    const Bytes b = Written([&](TnxWriter& w) {
      WriteItemHeader(w);
      w.WriteInteger(c.Version);
      w.WriteString(u"nx1xDefault");
      w.WriteInteger(int32_t{0});
    });
    EXPECT_EQ(CodeOf<EnxDictionaryItemException>([&] { LoadBytes(*item, b); }), nxeIncompatibleStream)
        << item->ClassName().size() << " " << c.Version;
  }
}

TEST_F(StorageDescriptorsTest, AnUnknownSubDescriptorClassIsNamed) {
  const Bytes b = Written([&](TnxWriter& w) {
    WriteItemHeader(w);
    w.WriteInteger(int32_t{2});
    w.WriteString(u"nx1xDefault");
    w.WriteBoolean(true);
    w.WriteString(u"TnxMysteryBlockHeap");
  });
  TnxBaseHeapDescriptor heap(&root);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseHeapDescriptorException>([&] { LoadBytes(heap, b); }),
                       u"BlockHeapDescriptor class is not supported: TnxMysteryBlockHeap"));
}

TEST_F(StorageDescriptorsTest, CompressTypeLivesInTheCustomStrings) {
  TnxBaseRecordCompressionDescriptor compression(&root);
  compression.SetCompressType(0);
  EXPECT_FALSE(compression.HasCustomStrings());
  EXPECT_EQ(compression.GetCompressType(), 0);
  compression.SetCompressType(11);
  EXPECT_EQ(compression.CustomStrings().Values(u"CompressType"), u"11");
  EXPECT_EQ(compression.GetCompressType(), 11);
  compression.SetCompressType(0);
  EXPECT_EQ(compression.CustomStrings().IndexOfName(u"CompressType"), -1);
}

TEST_F(StorageDescriptorsTest, CheckValidAddsTheMissingHeaps) {
  TnxHeapRecordDescriptor record(&root, "Record");
  record.CheckValid(true);
  ASSERT_NE(record.HeapDescriptor(), nullptr);
  EXPECT_EQ(&record.HeapDescriptor()->ClassType(), &TnxBaseHeapDescriptor::ClassInfo());
  EXPECT_NE(record.HeapDescriptor()->BlockHeapDescriptor(), nullptr);
}

TEST_F(StorageDescriptorsTest, EngineNamesCompareWithoutCase) {
  TnxBaseStreamDescriptor a(&root, "Stream"), b(&root, "Stream");
  b.SetStreamEngine(u"NX1XDEFAULT");
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetStreamEngine(u"Other");
  EXPECT_FALSE(a.IsEqual(&b));
  root.ReadOnly = true;
  EXPECT_EQ(CodeOf<EnxDataDictionaryException>([&] { b.SetStreamEngine(u"X"); }), nxeDictionaryReadOnly);
  root.ReadOnly = false;
}

}  // namespace
}  // namespace revurov::testing
