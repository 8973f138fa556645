#include "engine/batch_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/engine_fixture.h"
#include "support/memory_engine.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

// Field numbers of the "Orders" layout; Bin is blob index 0, Memo 1.
enum : int32_t { fRefNr, fInsertLSN, fModifyLSN, fCount, fBin, fMemo };

constexpr TnxRecordGetBatchExOptions Opt(std::initializer_list<TnxRecordGetBatchExOption> aOptions) {
  TnxRecordGetBatchExOptions result = 0;
  for (TnxRecordGetBatchExOption option : aOptions) result |= uint8_t(1u << option);
  return result;
}
constexpr TnxRecordGetBatchExOptions kBlobs = Opt({gboBlobs, gboBlobNrs});

// Little-endian bytes written field by field, as the layout tables say.
struct Bytes {
  std::vector<uint8_t> b;
  size_t Size() const { return b.size(); }
  Bytes& U16(uint16_t aValue) { return Put(&aValue, 2); }
  Bytes& U32(uint32_t aValue) { return Put(&aValue, 4); }
  Bytes& I32(int32_t aValue) { return Put(&aValue, 4); }
  Bytes& I64(int64_t aValue) { return Put(&aValue, 8); }
  Bytes& Raw(const std::vector<uint8_t>& aBytes) {
    b.insert(b.end(), aBytes.begin(), aBytes.end());
    return *this;
  }
  Bytes& Text(const std::string& aText) {
    b.insert(b.end(), aText.begin(), aText.end());
    return *this;
  }
  Bytes& Zero(size_t aCount) {
    b.resize(b.size() + aCount);
    return *this;
  }
  void SetU32(size_t aAt, uint32_t aValue) { platform::StoreU32(b.data() + aAt, aValue); }
  uint32_t U32At(size_t aAt) const { return platform::LoadU32(b.data() + aAt); }

private:
  Bytes& Put(const void* aValue, size_t aSize) {
    const auto* p = static_cast<const uint8_t*>(aValue);
    b.insert(b.end(), p, p + aSize);
    return *this;
  }
};

// One blob area of a record entry.
struct Area {
  int32_t field;
  std::string data;
  int64_t blobNr;
};

class BatchStreamTest : public ::testing::Test {
protected:
  BatchStreamTest() {
    TnxFieldsDescriptor& fields = orders.FieldsDescriptor();
    fields.AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
    for (const char16_t* name : {u"InsertLSN", u"ModifyLSN"})
      fields.AddField(name, u"", nxtInt64, 0, 0, false)
          ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
          ->SetApplyOnModify(name[0] == u'M');
    fields.AddField(u"Count", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"Bin", u"", nxtBlob, 0, 0, false);
    fields.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    plain.FieldsDescriptor().AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
    plain.FieldsDescriptor().AddField(u"Count", u"", nxtInt32, 0, 0, false);
    engine->Tables.insert({u"Orders", u"Plain"});
    engine->Layouts = {{u"Orders", &orders}, {u"Plain", &plain}};
    session = engine->OpenMemory();
    TnxAbstractDatabase* opened = nullptr;
    EXPECT_EQ(session->DatabaseOpen(opened, u"Name", u"Data", nullptr, omReadWrite, smShared, 0), 0u);
    database = static_cast<MemoryDatabase*>(opened);
    cursor = Cursor();
    rl = cursor->RecordLength();
  }

  MemoryCursor* Cursor(std::u16string_view aTable = u"Orders") {
    MemoryCursor* result = database->OpenCursor(aTable);
    EXPECT_NE(result, nullptr);
    result->MakeCacheable();
    return result;
  }

  // A record of the layout; blob fields null unless set.
  std::vector<uint8_t> Rec(int64_t aRefNr, int64_t aModifyLSN, int32_t aCount = 0) {
    std::vector<uint8_t> record(rl + 4);
    cursor->RecordBufferClear(record.data());
    cursor->FieldsDescriptor()->SetRecordField(fRefNr, record.data(), &aRefNr);
    cursor->FieldsDescriptor()->SetRecordField(fModifyLSN, record.data(), &aModifyLSN);
    cursor->FieldsDescriptor()->SetRecordField(fCount, record.data(), &aCount);
    record.resize(rl);
    return record;
  }
  void SetField(std::vector<uint8_t>& aRecord, int32_t aField, int64_t aValue) {
    std::vector<uint8_t> buffer(aRecord);
    buffer.resize(rl + 4);
    cursor->FieldsDescriptor()->SetRecordField(aField, buffer.data(), &aValue);
    std::memcpy(aRecord.data(), buffer.data(), rl);
  }
  int64_t Field(const uint8_t* aRecord, int32_t aField) {
    return platform::LoadLE<int64_t>(aRecord + cursor->FieldsDescriptor()->FieldDescriptor(aField)->Offset());
  }

  // A header; the count is patched by Finish.
  static Bytes Header(uint32_t aInnerError = 0) { return std::move(Bytes().U32(aInnerError).I32(0)); }
  // A record entry: record, bookmark, then its blob areas, whose offsets
  // go into the record's blob fields. Returns the entry's offset.
  size_t AddRecord(Bytes& aStream, std::vector<uint8_t> aRecord, const std::vector<Area>& aAreas = {},
                   const std::vector<uint8_t>& aBookmark = {}, bool aBlobNrs = true) {
    const size_t base = aStream.Size();
    size_t at = base + 4 + aRecord.size() + aBookmark.size();
    for (const Area& area : aAreas) {
      SetField(aRecord, area.field, int64_t(at));
      at += 4 + area.data.size() + (aBlobNrs ? 8 : 0);
    }
    aStream.U32(uint32_t(at - base - 4)).Raw(aRecord).Raw(aBookmark);
    for (const Area& area : aAreas) {
      aStream.U32(uint32_t(area.data.size())).Text(area.data);
      if (aBlobNrs) aStream.I64(area.blobNr);
    }
    ++entries;
    return base;
  }
  void Finish(Bytes& aStream) {
    aStream.SetU32(4, entries);
    entries = 0;
  }

  std::unique_ptr<TnxBatchStreamAccess> Access(const Bytes& aStream, TnxRecordGetBatchExOptions aOptions,
                                               MemoryCursor* aCursor = nullptr) {
    auto stream = std::make_unique<TnxMemoryStream>(-1);
    if (aStream.Size()) stream->Write(aStream.b.data(), int64_t(aStream.Size()));
    return (aCursor ? aCursor : cursor)->CreateBatchStreamAccess(std::move(stream), aOptions);
  }
  static std::vector<uint8_t> Contents(TnxBatchStreamAccess& aAccess) {
    return {aAccess.Memory(), aAccess.Memory() + aAccess.Size()};
  }

  TnxDictionaryStartupGuard library;
  TnxDataDictionary orders, plain;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  MemorySession* session = nullptr;
  MemoryDatabase* database = nullptr;
  MemoryCursor* cursor = nullptr;
  uint32_t rl = 0;
  uint32_t entries = 0;
};

// ---- creation ----

TEST_F(BatchStreamTest, CreationTrimsOptionsAndTakesTheStreamOnlyWhenMade) {
  // No blob fields: no embedded blobs, so no blob numbers either.
  MemoryCursor* plainCursor = Cursor(u"Plain");
  auto access = Access(Header(), kBlobs, plainCursor);
  EXPECT_EQ(access->Options(), 0);
  access = Access(Header(), Opt({gboBlobNrs, gboBackwards}));
  EXPECT_EQ(access->Options(), Opt({gboBackwards}));
  EXPECT_EQ(access->RecordLength(), rl);
  EXPECT_EQ(access->BookmarkSize(), 0u);

  // A nil stream gets one of its own.
  access = cursor->CreateBatchStreamAccess(nullptr, 0);
  EXPECT_EQ(access->Size(), 0u);
  EXPECT_FALSE(access->Reset(false));

  // The bookmark size the cursor cannot give fails the creation; the
  // caller keeps its stream.
  auto stream = std::make_unique<TnxMemoryStream>(-1);
  TnxMemoryStream* kept = stream.get();
  EXPECT_THROW(cursor->CreateBatchStreamAccess(std::move(stream), Opt({gboBookmarks})), EnxBaseException);
  EXPECT_EQ(stream.get(), kept);
  cursor->BookmarkSize = 6;
  access = cursor->CreateBatchStreamAccess(std::move(stream), Opt({gboBookmarks}));
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(&access->Stream(), kept);
  EXPECT_EQ(access->BookmarkSize(), 6u);
}

// ---- headers and the invalid list of an empty batch ----

TEST_F(BatchStreamTest, ResetOfHeadersWithoutEntries) {
  struct Case {
    const char* name;
    Bytes stream;
    uint32_t innerError;
    std::vector<TnxRecordCacheInfo> invalid;
    bool hasList;
  };
  const Case cases[] = {
      {"7 bytes", std::move(Bytes().U32(77).U16(1).Zero(1)), 0, {}, false},
      {"empty stream", Bytes(), 0, {}, false},
      {"header only", std::move(Bytes().U32(9986).I32(0)), 9986, {}, false},
      {"count 0, two invalid identities",
       std::move(Bytes().U32(0).I32(0).I32(2).I64(5).I64(50).I64(-6).I64(60)), 0, {{5, 50}, {-6, 60}}, true},
      {"count 0, an empty invalid list", std::move(Bytes().U32(0).I32(0).I32(0).Zero(1)), 0, {}, true},
      {"negative count reads as 0", std::move(Bytes().U32(0).I32(-3).I32(1).I64(1).I64(2)), 0, {{1, 2}}, true},
      {"exactly 12 bytes: no list", std::move(Bytes().U32(0).I32(0).I32(0)), 0, {}, false},
      {"a list that does not fit is ignored", std::move(Bytes().U32(0).I32(0).I32(2).I64(5).I64(50).I64(6)), 0,
       {}, false},
      {"a negative list count is ignored", std::move(Bytes().U32(0).I32(0).I32(-1).Zero(16)), 0, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto access = Access(c.stream, 0);
    EXPECT_FALSE(access->Reset(false));
    EXPECT_EQ(access->InnerError(), c.innerError);
    EXPECT_EQ(access->HasInvalidList(), c.hasList);
    const TnxRecordCacheInfos invalid = access->InvalidInfos();
    ASSERT_EQ(invalid.size(), c.invalid.size());
    for (size_t i = 0; i < invalid.size(); ++i) {
      EXPECT_EQ(invalid[i].rciRefNr, c.invalid[i].rciRefNr);
      EXPECT_EQ(invalid[i].rciModifyLSN, c.invalid[i].rciModifyLSN);
    }
    TnxBatchStreamEntry entry;
    EXPECT_FALSE(access->Next(entry));
    EXPECT_EQ(entry.bseBatchAccess, nullptr);
    EXPECT_EQ(access->Error(), 0u);
  }
  auto shortStream = Access(Bytes().U32(77).U16(1).Zero(1), 0);
  EXPECT_EQ(shortStream->Count(), 0);
  shortStream->SetInnerError(5);  // not stored: no header
  EXPECT_EQ(platform::LoadU32(shortStream->Memory()), 77u);
}

TEST_F(BatchStreamTest, ClearKeepsOnlyAHeaderWithItsError) {
  struct Case {
    const char* name;
    Bytes stream;
    bool keep;
    uint64_t size;
    uint32_t innerError;
  };
  Bytes withEntry = Header(9986);
  AddRecord(withEntry, Rec(1, 10));
  Finish(withEntry);
  const Case cases[] = {
      {"keeps inner error 9986", withEntry, true, 8, 9986},
      {"no error to keep", std::move(Header().I32(0)), true, 0, 0},
      {"not asked to keep", withEntry, false, 0, 0},
      {"4 bytes of error grow to a header", std::move(Bytes().U32(12)), true, 8, 12},
      {"3 bytes", std::move(Bytes().U16(1).Zero(1)), true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto access = Access(c.stream, 0);
    access->Clear(c.keep);
    EXPECT_EQ(access->Size(), c.size);
    EXPECT_EQ(access->InnerError(), c.innerError);
    EXPECT_EQ(access->Count(), 0);
    EXPECT_FALSE(access->Reset(false));
  }
}

TEST_F(BatchStreamTest, EntriesOfAnotherAccessOrKeptPastAClearReadNothing) {
  Bytes stream = Header();
  AddRecord(stream, Rec(1, 10), {{fBin, "blob", 5}});
  stream.U32((4 + 20) | nxBatchHasResult).U32(nxBatchCacheIsValid).I64(2).I64(20).I32(0);
  ++entries;
  Finish(stream);
  auto access = Access(stream, kBlobs);
  ASSERT_TRUE(access->Reset(false));
  TnxBatchStreamEntry record, cacheValid;
  ASSERT_TRUE(access->Next(record));
  ASSERT_TRUE(access->Next(cacheValid));
  auto source = Access(stream, kBlobs);
  ASSERT_TRUE(source->Reset(false));
  TnxBatchStreamEntry from;
  ASSERT_TRUE(source->Next(from));
  // Another access's entry is not read with this one's layout.
  TnxBatchBlobAccess foreign;
  EXPECT_FALSE(access->GetBlobAccess(from, fBin, foreign));
  EXPECT_EQ(foreign.bbaResult, nxeMessageUnrecognized);
  EXPECT_TRUE(source->GetBlobAccess(from, fBin, foreign));
  access->Clear(false);
  EXPECT_EQ(record.Record(), nullptr);
  TnxIndexedRecordCacheInfo info;
  EXPECT_FALSE(cacheValid.CacheInfo(info));
  TnxBatchBlobAccess blob;
  EXPECT_FALSE(access->GetBlobAccess(record, fBin, blob));
  EXPECT_EQ(blob.bbaResult, nxeMessageUnrecognized);
  TnxBatchBlobAccesses accesses;
  EXPECT_FALSE(access->GetBlobAccesses(record, accesses, false));
  EXPECT_EQ(access->OverwriteEntry(cacheValid, from, accesses, false), nxeMessageUnrecognized);
  access->CheckEntryForCachedBlobs(record, *cursor, accesses);
  EXPECT_TRUE(accesses.empty());
}

// ---- walking entries ----

TEST_F(BatchStreamTest, WalksRecordEntriesWithBookmarksAndTheInvalidListAfterThem) {
  cursor->BookmarkSize = 4;
  Bytes stream = Header();
  const size_t first = AddRecord(stream, Rec(1, 10, 111), {}, {1, 2, 3, 4});
  // A record entry may carry result code 0 before its record.
  const size_t second = stream.Size();
  stream.U32((4 + rl + 4) | nxBatchHasResult).U32(0).Raw(Rec(2, 20, 222)).Raw({5, 6, 7, 8});
  ++entries;
  // An entry without record: the error of one record.
  const size_t third = stream.Size();
  stream.U32(4 | nxBatchHasResult).U32(nxeRecordNotFound);
  ++entries;
  Finish(stream);
  stream.I32(1).I64(7).I64(70);

  auto access = Access(stream, Opt({gboBookmarks}));
  ASSERT_TRUE(access->Reset(false));
  EXPECT_EQ(access->Count(), 3);
  EXPECT_EQ(access->CurrentIndex(), -1);
  TnxBatchStreamEntry entry;
  int32_t position = 10, total = 0;

  ASSERT_TRUE(access->Next(entry, &position, &total));
  EXPECT_EQ(entry.bseEntryBase, first);
  EXPECT_EQ(entry.bseSize, rl + 4);
  EXPECT_EQ(entry.bseResult, 0u);
  EXPECT_EQ(entry.bseRecord, first + 4);
  EXPECT_EQ(Field(entry.Record(), fCount) & 0xFFFFFFFF, 111);
  ASSERT_NE(entry.Bookmark(), nullptr);
  EXPECT_EQ(entry.Bookmark()[3], 4);
  EXPECT_FALSE(access->HasInvalidList());

  ASSERT_TRUE(access->Next(entry, &position, &total));
  EXPECT_EQ(entry.bseEntryBase, second);
  EXPECT_EQ(entry.bseRecord, second + 8);
  EXPECT_EQ(Field(entry.Record(), fRefNr), 2);
  EXPECT_EQ(entry.Bookmark()[0], 5);

  ASSERT_TRUE(access->Next(entry, &position, &total));
  EXPECT_EQ(entry.bseEntryBase, third);
  EXPECT_EQ(entry.bseResult, nxeRecordNotFound);
  EXPECT_EQ(entry.Record(), nullptr);
  EXPECT_EQ(entry.Bookmark(), nullptr);
  EXPECT_EQ(access->CurrentIndex(), 2);
  EXPECT_EQ(position, 13);
  EXPECT_EQ(total, 3);
  ASSERT_TRUE(access->HasInvalidList());
  ASSERT_EQ(access->InvalidInfos().size(), 1u);
  EXPECT_EQ(access->InvalidInfos()[0].rciModifyLSN, 70);

  EXPECT_FALSE(access->Next(entry));
  EXPECT_EQ(access->Error(), 0u);
  // Reset starts over.
  ASSERT_TRUE(access->Reset(false));
  EXPECT_FALSE(access->HasInvalidList());
  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(entry.bseEntryBase, first);
}

// A record entry must hold the bookmark too, with or without a result code
// before the record; one that is a byte short ends the walk.
TEST_F(BatchStreamTest, RecordEntriesWithoutRoomForTheBookmarkEndTheWalk) {
  cursor->BookmarkSize = 4;
  struct Case {
    const char* name;
    bool resultCode;
    uint32_t bookmarkBytes;
    int entriesRead;
  };
  const Case cases[] = {
      {"record and bookmark", false, 4, 2},
      {"bookmark a byte short", false, 3, 1},
      {"result 0, record and bookmark", true, 4, 2},
      {"result 0, bookmark a byte short", true, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = Header();
    AddRecord(stream, Rec(1, 10), {}, {1, 2, 3, 4});
    const std::vector<uint8_t> bookmark(c.bookmarkBytes, 9);
    if (c.resultCode)
      stream.U32((4 + rl + c.bookmarkBytes) | nxBatchHasResult).U32(0).Raw(Rec(2, 20)).Raw(bookmark);
    else
      stream.U32(rl + c.bookmarkBytes).Raw(Rec(2, 20)).Raw(bookmark);
    ++entries;
    Finish(stream);
    auto access = Access(stream, Opt({gboBookmarks}));
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry;
    int read = 0;
    while (access->Next(entry) && read < 5) {
      ++read;
      ASSERT_NE(entry.Bookmark(), nullptr);
    }
    EXPECT_EQ(read, c.entriesRead);
    EXPECT_EQ(entry.Record(), nullptr);
    EXPECT_EQ(access->Error(), c.entriesRead == 2 ? 0u : nxeMessageUnrecognized);
  }
}

TEST_F(BatchStreamTest, CacheValidEntriesCarryTheIdentityAndBlobOffsets) {
  Bytes stream = Header();
  // 4 data bytes only: a result code without identity.
  stream.U32(4 | nxBatchHasResult).U32(nxBatchCacheIsValid);
  // Identity with two blob offsets ending at the field count; the first
  // area is a bare error word (15520), the second a held blob.
  const size_t withOffsets = stream.Size();
  stream.U32((4 + 20 + 12 + 4 + 8) | nxBatchHasResult).U32(nxBatchCacheIsValid).I64(3).I64(30).I32(7);
  const size_t area1 = withOffsets + 4 + 4 + 20 + 12;
  stream.U32(uint32_t(area1)).U16(fBin).U32(uint32_t(area1 + 4)).U16(fMemo);
  stream.U32(0 | nxBatchHasResult).U32(4 | nxBatchHasResult).U32(nxBatchCacheIsValid);
  // Identity followed by a zero first offset: no array.
  stream.U32((4 + 20 + 6) | nxBatchHasResult).U32(nxBatchCacheIsValid).I64(4).I64(40).I32(0).Zero(6);
  entries = 3;
  Finish(stream);
  auto access = Access(stream, kBlobs & ~Opt({gboBlobNrs}));
  ASSERT_TRUE(access->Reset(false));
  TnxBatchStreamEntry entry;
  TnxIndexedRecordCacheInfo info;
  TnxBatchBlobAccesses accesses;

  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(entry.bseResult, nxBatchCacheIsValid);
  EXPECT_FALSE(entry.CacheInfo(info));
  EXPECT_FALSE(access->GetBlobAccesses(entry, accesses, false));

  ASSERT_TRUE(access->Next(entry));
  ASSERT_TRUE(entry.CacheInfo(info));
  EXPECT_EQ(info.irciRefNr, 3);
  EXPECT_EQ(info.irciModifyLSN, 30);
  EXPECT_EQ(info.irciIndex, 7);
  EXPECT_EQ(entry.bseBlobOffsetSlots, 2u);
  ASSERT_TRUE(access->GetBlobAccesses(entry, accesses, false));
  ASSERT_EQ(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].bbaFieldNo, fBin);
  EXPECT_EQ(accesses[0].bbaResult, nxeExceptionWithoutCode);  // bit 31 and size below 4
  EXPECT_EQ(accesses[1].bbaFieldNo, fMemo);
  EXPECT_EQ(accesses[1].bbaResult, nxBatchCacheIsValid);
  EXPECT_EQ(accesses[1].bbaBlobData, 0u);
  // An entry without record answers its result for a field.
  TnxBatchBlobAccess one;
  EXPECT_FALSE(access->GetBlobAccess(entry, fBin, one));
  EXPECT_EQ(one.bbaResult, nxBatchCacheIsValid);
  EXPECT_FALSE(access->GetBlobAccess(entry, static_cast<const TnxBatchBlobOffset*>(nullptr), one));

  ASSERT_TRUE(access->Next(entry));
  EXPECT_TRUE(entry.CacheInfo(info));
  EXPECT_EQ(entry.bseBlobOffsets, 0u);
  EXPECT_FALSE(access->GetBlobAccesses(entry, accesses, false));
  EXPECT_EQ(access->Error(), 0u);
}

TEST_F(BatchStreamTest, BlobAccessesOfARecord) {
  struct Case {
    const char* name;
    TnxRecordGetBatchExOptions options;
    bool markMemo;
    bool held;  // the Bin area carries result 2 instead of data
    // Expected for Bin, then Memo.
    bool found[2];
    uint32_t offset[2];  // 0: not embedded
    TnxBlobNr blobNr[2];
    uint32_t result[2];
  };
  Bytes stream = Header();
  std::vector<uint8_t> record = Rec(1, 10);
  const size_t base = AddRecord(stream, record, {{fBin, "0123456789", 501}, {fMemo, "memo", 502}});
  Finish(stream);
  const uint32_t bin = uint32_t(base + 4 + rl), memo = bin + 4 + 10 + 8;
  const uint32_t binNoNr = uint32_t(base + 4 + rl);
  const Case cases[] = {
      {"embedded with numbers", kBlobs, false, false, {true, true}, {bin, memo}, {501, 502}, {0, 0}},
      {"a held blob", kBlobs, false, true, {true, true}, {bin, memo}, {501, 502}, {nxBatchCacheIsValid, 0}},
      {"only marked: the unmarked field holds a blob number", Opt({gboBlobs, gboBlobNrs, gboBlobsOnlyMarked}),
       true, false, {true, true}, {0, memo}, {int64_t(bin), 502}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = stream;
    if (c.held) {
      bytes.SetU32(bin, 10 | nxBatchHasResult);
      bytes.SetU32(bin + 4, nxBatchCacheIsValid);
    }
    ASSERT_EQ(cursor->BlobsSetMarked(std::make_shared<const TnxMarkedBlobsByBlobIdx>(
                  TnxMarkedBlobsByBlobIdx{c.markMemo ? 0b10 : 0})),
              0u);
    auto access = Access(bytes, c.options);
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry;
    ASSERT_TRUE(access->Next(entry));
    for (int k = 0; k < 2; ++k) {
      TnxBatchBlobAccess blob;
      EXPECT_EQ(access->GetBlobAccess(entry, k ? fMemo : fBin, blob), c.found[k]);
      EXPECT_EQ(blob.bbaOffset, c.offset[k]);
      EXPECT_EQ(blob.bbaBlobNr, c.blobNr[k]);
      EXPECT_EQ(blob.bbaResult, c.result[k]);
      EXPECT_EQ(blob.bbaSize, c.offset[k] ? (k ? 4u : 10u) : 0u);
      if (c.offset[k] && !c.result[k]) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(access->Memory() + blob.bbaBlobData), blob.bbaSize),
                  k ? "memo" : "0123456789");
      }
    }
    TnxBatchBlobAccesses all;
    EXPECT_TRUE(access->GetBlobAccesses(entry, all, false));
    EXPECT_EQ(all.size(), 2u);
    EXPECT_TRUE(access->GetBlobAccesses(entry, all, true));
    EXPECT_EQ(all.size(), c.offset[0] ? 2u : 1u);
    EXPECT_EQ(access->Error(), 0u);
  }
  // Without blob numbers the area ends with its data.
  Bytes noNrs = Header();
  AddRecord(noNrs, record, {{fBin, "abc", 0}}, {}, false);
  Finish(noNrs);
  auto access = Access(noNrs, Opt({gboBlobs}));
  ASSERT_TRUE(access->Reset(false));
  TnxBatchStreamEntry entry;
  ASSERT_TRUE(access->Next(entry));
  TnxBatchBlobAccess blob;
  ASSERT_TRUE(access->GetBlobAccess(entry, fBin, blob));
  EXPECT_EQ(blob.bbaOffset, binNoNr);
  EXPECT_EQ(blob.bbaSize, 3u);
  EXPECT_EQ(blob.bbaBlobNr, 0);
  // A null field, a zero value and a field that is no blob.
  EXPECT_FALSE(access->GetBlobAccess(entry, fMemo, blob));
  EXPECT_EQ(blob.bbaResult, 0u);
  EXPECT_FALSE(access->GetBlobAccess(entry, fCount, blob));
  EXPECT_EQ(blob.bbaResult, nxeNotABlob);
  EXPECT_FALSE(access->GetBlobAccess(entry, 99, blob));
  EXPECT_EQ(blob.bbaResult, nxeNotABlob);
  SetField(record, fMemo, 0);
  Bytes zero = Header();
  AddRecord(zero, record);
  Finish(zero);
  access = Access(zero, Opt({gboBlobs}));
  ASSERT_TRUE(access->Reset(false));
  ASSERT_TRUE(access->Next(entry));
  EXPECT_FALSE(access->GetBlobAccess(entry, fMemo, blob));
  EXPECT_EQ(blob.bbaResult, 0u);
}

TEST_F(BatchStreamTest, ClientFilterSkipsEntriesOnlyOfARemoteCursorWithALocalFilter) {
  Bytes stream = Header();
  AddRecord(stream, Rec(1, 10, 1));
  stream.U32((4 + 20) | nxBatchHasResult).U32(nxBatchCacheIsValid).I64(2).I64(20).I32(0);
  ++entries;
  AddRecord(stream, Rec(3, 30, 3));
  AddRecord(stream, Rec(4, 40, 4));
  Finish(stream);
  struct Case {
    const char* name;
    bool remote, filter, apply;
    std::vector<int64_t> refNrs;  // 0: the cache-valid entry
    int32_t total;
  };
  const Case cases[] = {
      {"remote with a filter", true, true, true, {1, 4}, 4},
      {"flag not given", true, true, false, {1, 0, 3, 4}, 4},
      {"not remote", false, true, true, {1, 0, 3, 4}, 4},
      {"no local filter", true, false, true, {1, 0, 3, 4}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cursor->Remote = c.remote;
    cursor->LocalFilter = nullptr;
    if (c.filter)
      cursor->LocalFilter = [this](PnxRecordBuffer aData) { return Field(aData, fRefNr) != 3; };
    auto access = Access(stream, 0);
    ASSERT_TRUE(access->Reset(c.apply));
    TnxBatchStreamEntry entry;
    std::vector<int64_t> seen;
    int32_t total = 0;
    while (access->Next(entry, nullptr, &total) && seen.size() < 10)
      seen.push_back(entry.bseRecord ? Field(entry.Record(), fRefNr) : 0);
    EXPECT_EQ(seen, c.refNrs);
    EXPECT_EQ(total, c.total);
  }
  cursor->LocalFilter = nullptr;
}

// Streams from the other side that break their own layout: the walk ends
// with 15522 and reads nothing beyond the block.
TEST_F(BatchStreamTest, MalformedEntriesAndAreasEndTheWalk) {
  Bytes good = Header();
  const size_t base = AddRecord(good, Rec(1, 10), {{fBin, "blob-data", 77}});
  AddRecord(good, Rec(2, 20));
  Finish(good);
  const size_t second = base + 4 + (good.U32At(base) & nxBatchSizeMask);
  const size_t area = base + 4 + rl;
  const size_t binField = base + 4 + cursor->FieldsDescriptor()->FieldDescriptor(fBin)->Offset();
  struct Case {
    const char* name;
    std::function<void(Bytes&)> mutate;
    int entriesRead;
    bool areaBad;
  };
  const Case cases[] = {
      {"size word beyond the stream", [&](Bytes& b) { b.SetU32(second, 0x7FFFFFF0); }, 1, false},
      {"size word cut off", [&](Bytes& b) { b.b.resize(second + 2); }, 1, false},
      {"entry cut off", [&](Bytes& b) { b.b.resize(b.Size() - 1); }, 1, false},
      {"result code flag with 2 bytes", [&](Bytes& b) { b.SetU32(second, 2 | nxBatchHasResult); }, 1, false},
      {"record entry shorter than a record", [&](Bytes& b) { b.SetU32(second, rl - 1); }, 1, false},
      {"count promises more entries", [&](Bytes& b) { b.SetU32(4, 3); }, 2, false},
      {"area offset past the entry", [&](Bytes& b) { b.SetU32(binField, uint32_t(second + 4)); }, 2, true},
      {"area offset inside the record", [&](Bytes& b) { b.SetU32(binField, uint32_t(base + 8)); }, 2, true},
      {"area offset into the header", [&](Bytes& b) { b.SetU32(binField, 2); }, 2, true},
      {"area offset near 4 GiB", [&](Bytes& b) { b.SetU32(binField, 0xFFFFFFFE); }, 2, true},
      {"area size past the entry", [&](Bytes& b) { b.SetU32(area, 0x100); }, 2, true},
      {"blob number past the entry", [&](Bytes& b) { b.SetU32(area, 9 + 4); }, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.mutate(bytes);
    auto access = Access(bytes, kBlobs);
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry;
    int read = 0;
    bool areaBad = false;
    while (access->Next(entry) && read < 5) {
      ++read;
      TnxBatchBlobAccess blob;
      if (entry.bseRecord && !access->GetBlobAccess(entry, fBin, blob) && blob.bbaResult == nxeMessageUnrecognized)
        areaBad = true;
    }
    EXPECT_EQ(read, c.entriesRead);
    EXPECT_EQ(areaBad, c.areaBad);
    EXPECT_EQ(access->Error(), nxeMessageUnrecognized);
  }
}

// ---- server side ----

class BatchEditTest : public BatchStreamTest {
protected:
  // Records 1..3 with one blob each; record 2's entry is the one whose
  // space the tests look at.
  Bytes Batch() {
    Bytes stream = Header();
    std::vector<uint8_t> r1 = Rec(1, 10), r2 = Rec(2, 20), r3 = Rec(3, 30);
    bases.push_back(AddRecord(stream, r1, {{fBin, "first blob", 101}}));
    bases.push_back(AddRecord(stream, r2, {{fBin, "second", 201}, {fMemo, "memo two", 202}}));
    bases.push_back(AddRecord(stream, r3));
    Finish(stream);
    return stream;
  }
  // Raw blob lists: per identity a count and its numbers.
  static std::vector<uint8_t> BlobLists(const std::vector<std::vector<int64_t>>& aLists) {
    Bytes bytes;
    for (const auto& list : aLists) {
      bytes.U16(uint16_t(list.size()));
      for (int64_t nr : list) bytes.I64(nr);
    }
    return bytes.b;
  }
  std::vector<size_t> bases;
};

TEST_F(BatchEditTest, SequentialCheckOfMatchingIdentitiesReplacesEveryRecord) {
  const Bytes stream = Batch();
  auto access = Access(stream, kBlobs);
  const auto lists = BlobLists({{101}, {201, 202}, {}});
  EXPECT_TRUE(access->CheckCacheValidSeq({{1, 10}, {2, 20}, {3, 30}}, lists));
  EXPECT_EQ(access->Size(), stream.Size());  // no invalid list
  // Every entry is size word (same size, bit 31), result 2, identity,
  // index 0 and zeros, byte for byte.
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const uint32_t size = stream.U32At(bases[k]);
    Bytes expected;
    expected.U32(size | nxBatchHasResult).U32(2).I64(int64_t(k + 1)).I64(int64_t(k + 1) * 10).I32(0);
    expected.Zero(size - 24);
    const std::vector<uint8_t> got(access->Memory() + bases[k], access->Memory() + bases[k] + 4 + size);
    EXPECT_EQ(got, expected.b);
  }
  ASSERT_TRUE(access->Reset(false));
  TnxBatchStreamEntry entry;
  int n = 0;
  while (access->Next(entry) && n < 5) {
    ++n;
    EXPECT_EQ(entry.bseResult, nxBatchCacheIsValid);
    EXPECT_EQ(entry.bseBlobOffsets, 0u);
  }
  EXPECT_EQ(n, 3);
}

TEST_F(BatchEditTest, SequentialCheckCases) {
  struct Case {
    const char* name;
    TnxRecordCacheInfos infos;
    std::vector<std::vector<int64_t>> blobs;
    std::set<int64_t> deleted;  // ContainsLSNRefNr answers 8708
    bool result;
    std::vector<uint32_t> results;  // per entry
    std::vector<int64_t> invalid;   // RefNrs appended
  };
  const Case cases[] = {
      {"a deleted record is appended", {{1, 10}, {9, 90}, {3, 30}}, {{101}, {}, {}}, {9}, false, {2, 0, 2}, {9}},
      {"an identity the server still has is not", {{1, 10}, {9, 90}, {3, 30}}, {{101}, {}, {}}, {}, false,
       {2, 0, 2}, {}},
      {"identities beyond the batch", {{1, 10}, {2, 20}, {3, 30}, {4, 40}, {5, 50}}, {{101}, {201, 202}, {}, {}, {}},
       {4, 5}, false, {2, 2, 2}, {4, 5}},
      {"fewer identities than entries", {{1, 10}}, {{101}}, {}, false, {2, 0, 0}, {}},
      {"another version stays a record", {{1, 11}, {2, 20}, {3, 30}}, {{101}, {201, 202}, {}}, {}, false, {0, 2, 2},
       {}},
      {"an unassigned identity beside a record passes", {{1, 10}, {0, 0}, {3, 30}}, {{101}, {}, {}}, {}, true,
       {2, 0, 2}, {}},
      {"blob lists cut short read as empty", {{1, 10}, {2, 20}, {3, 30}}, {{101}}, {}, false, {2, 2, 2}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bases.clear();
    const Bytes stream = Batch();
    cursor->Contains = [&c](TnxLSN, TnxRefNr aRefNr) {
      return c.deleted.count(aRefNr) ? nxeRecordDeleted : 0u;
    };
    auto access = Access(stream, kBlobs);
    auto lists = BlobLists(c.blobs);
    if (std::string(c.name).find("cut short") != std::string::npos) lists.resize(lists.size() - 1);
    EXPECT_EQ(access->CheckCacheValidSeq(c.infos, lists), c.result);
    EXPECT_EQ(access->Size(), stream.Size() + (c.invalid.empty() ? 0 : 4 + 16 * c.invalid.size()));
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry;
    std::vector<uint32_t> results;
    while (access->Next(entry) && results.size() < 5) results.push_back(entry.bseResult);
    EXPECT_EQ(results, c.results);
    std::vector<int64_t> invalid;
    for (const TnxRecordCacheInfo& info : access->InvalidInfos()) invalid.push_back(info.rciRefNr);
    EXPECT_EQ(invalid, c.invalid);
  }
  cursor->Contains = nullptr;
}

TEST_F(BatchEditTest, BlobsTheClientHoldsAreMarkedAndListedAfterTheIdentity) {
  const Bytes stream = Batch();
  auto access = Access(stream, kBlobs);
  // Record 2 in the same version, the client holds only 202; record 1 in
  // another version, the client holds 101.
  EXPECT_FALSE(access->CheckCacheValidSeq({{1, 9}, {2, 20}, {3, 30}}, BlobLists({{101}, {202}, {}})));
  ASSERT_TRUE(access->Reset(false));
  TnxBatchStreamEntry entry;
  TnxBatchBlobAccesses accesses;

  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(entry.bseResult, 0u);  // sent whole, its blob held
  ASSERT_TRUE(access->GetBlobAccesses(entry, accesses, false));
  EXPECT_EQ(accesses[0].bbaResult, nxBatchCacheIsValid);
  EXPECT_EQ(accesses[0].bbaBlobNr, 101);
  EXPECT_EQ(accesses[0].bbaSize, 10u);

  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(entry.bseResult, nxBatchCacheIsValid);
  EXPECT_EQ(entry.bseSize, stream.U32At(bases[1]));
  TnxIndexedRecordCacheInfo info;
  ASSERT_TRUE(entry.CacheInfo(info));
  EXPECT_EQ(info.irciRefNr, 2);
  ASSERT_EQ(entry.bseBlobOffsetSlots, 2u);
  ASSERT_TRUE(access->GetBlobAccesses(entry, accesses, false));
  ASSERT_EQ(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].bbaFieldNo, fBin);
  EXPECT_EQ(accesses[0].bbaResult, 0u);  // not held: sent
  EXPECT_EQ(std::string(reinterpret_cast<char*>(access->Memory() + accesses[0].bbaBlobData), 6), "second");
  EXPECT_EQ(accesses[1].bbaFieldNo, fMemo);
  EXPECT_EQ(accesses[1].bbaResult, nxBatchCacheIsValid);
  EXPECT_EQ(accesses[1].bbaBlobNr, 202);
  EXPECT_EQ(accesses[1].bbaSize, 8u);
}

TEST_F(BatchEditTest, CheckOfIdentitiesInAnyOrder) {
  struct Case {
    const char* name;
    TnxRecordCacheInfos infos;
    std::set<int64_t> deleted;
    bool result;
    std::vector<int32_t> indexes;  // per entry: irciIndex, -1 for a record
    std::vector<int64_t> invalid;
  };
  const Case cases[] = {
      {"in batch order", {{1, 10}, {2, 20}, {3, 30}}, {}, true, {0, 1, 2}, {}},
      {"reversed", {{3, 30}, {2, 20}, {1, 10}}, {}, false, {2, 1, 0}, {}},
      {"a match, then out of order with a deleted one", {{1, 10}, {7, 70}, {3, 30}}, {7}, false, {0, -1, 2}, {7}},
      {"another version and a missing one", {{3, 31}, {8, 80}}, {8}, false, {-1, -1, -1}, {8}},
      {"all matched before the stream ends", {{1, 10}}, {}, false, {0, -1, -1}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bases.clear();
    const Bytes stream = Batch();
    cursor->Contains = [&c](TnxLSN, TnxRefNr aRefNr) {
      return c.deleted.count(aRefNr) ? nxeRecordNotFound : 0u;
    };
    cursor->Calls.clear();
    auto access = Access(stream, kBlobs);
    std::vector<std::vector<int64_t>> blobs;
    for (const TnxRecordCacheInfo& info : c.infos)
      blobs.push_back(info.rciRefNr == 1 ? std::vector<int64_t>{101}
                      : info.rciRefNr == 2 ? std::vector<int64_t>{201, 202}
                                           : std::vector<int64_t>{});
    const auto lists = BlobLists(blobs);
    EXPECT_EQ(access->CheckCacheValid(c.infos, lists), c.result);
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry;
    std::vector<int32_t> indexes;
    while (access->Next(entry) && indexes.size() < 5) {
      TnxIndexedRecordCacheInfo info;
      indexes.push_back(entry.CacheInfo(info) ? info.irciIndex : -1);
    }
    EXPECT_EQ(indexes, c.indexes);
    std::vector<int64_t> invalid;
    for (const TnxRecordCacheInfo& info : access->InvalidInfos()) invalid.push_back(info.rciRefNr);
    EXPECT_EQ(invalid, c.invalid);
    EXPECT_EQ(access->Size(), stream.Size() + (c.invalid.empty() ? 0 : 4 + 16 * c.invalid.size()));
  }
  cursor->Contains = nullptr;
}

TEST_F(BatchEditTest, SortedListsOrderBySignedFirstValue) {
  TnxBlobNrSortedList list;
  std::vector<TnxBlobNr> nrs{5, -1, INT64_MIN, 0x7FFFFFFFFFFFFFFF, 0};
  for (TnxBlobNr& nr : nrs) list.Add(&nr);
  std::vector<TnxBlobNr> order;
  for (int32_t i = 0; i < list.Count(); ++i) order.push_back(*static_cast<TnxBlobNr*>(list[i]));
  EXPECT_EQ(order, (std::vector<TnxBlobNr>{INT64_MIN, -1, 0, 5, 0x7FFFFFFFFFFFFFFF}));
  TnxBlobNr wanted = -1;
  int32_t index = 0;
  EXPECT_TRUE(list.Find(&wanted, index));
  EXPECT_EQ(index, 1);
  wanted = 4;
  EXPECT_FALSE(list.Find(&wanted, index));

  TnxCacheInfoSortedList infos;
  std::vector<TnxIndexedRecordCacheInfoAndBlobInfo> items{{{7, 1, 0}, nullptr}, {{-7, 2, 1}, nullptr}};
  for (auto& item : items) infos.Add(&item);
  EXPECT_EQ(static_cast<TnxIndexedRecordCacheInfoAndBlobInfo*>(infos[0])->irciabiIndexedRecordCacheInfo.irciRefNr,
            -7);
}

// ---- client side ----

TEST_F(BatchEditTest, RoundTripRestoresTheUneditedBatch) {
  // The server's batch: record 1 with two blobs, record 2 with one, record
  // 3 with one.
  Bytes original = Header();
  const std::vector<std::vector<Area>> areas{
      {{fBin, "one-bin", 101}, {fMemo, "one-memo", 102}}, {{fBin, "two-bin", 201}}, {{fMemo, "three", 302}}};
  for (int64_t r = 1; r <= 3; ++r) AddRecord(original, Rec(r, r * 10, int32_t(r)), areas[size_t(r - 1)]);
  Finish(original);

  // The client holds record 1 and blob 102, record 2 and its blob, and an
  // older record 3 with blob 302; record 4 it holds was deleted.
  cursor->Contains = [](TnxLSN, TnxRefNr aRefNr) { return aRefNr == 4 ? nxeRecordDeleted : 0u; };
  auto server = Access(original, kBlobs);
  EXPECT_FALSE(server->CheckCacheValidSeq({{1, 10}, {2, 20}, {3, 29}, {4, 40}},
                                          BlobLists({{102}, {201}, {302}, {}})));
  cursor->Contains = nullptr;

  // The wire carries the stream unchanged to the client.
  auto client = Access(Bytes{Contents(*server)}, kBlobs);
  // The client's cache: its records in a stream of its own, and its blobs.
  auto cache = Access(original, kBlobs);
  MemoryCursor* cacheCursor = Cursor();
  cacheCursor->Blobs = {{302, "three"}, {102, "one-memo"}};

  ASSERT_TRUE(client->Reset(false));
  ASSERT_TRUE(cache->Reset(false));
  TnxBatchStreamEntry target, source;
  TnxBatchBlobAccesses accesses;
  int walked = 0;
  while (client->Next(target) && walked < 5) {
    ++walked;
    ASSERT_TRUE(cache->Next(source));
    if (target.bseResult == nxBatchCacheIsValid) {
      EXPECT_EQ(client->OverwriteEntry(target, source, accesses, false), 0u);
      EXPECT_NE(target.Record(), nullptr);
    }
    client->CheckEntryForCachedBlobs(target, *cacheCursor, accesses);
    for (const TnxBatchBlobAccess& access : accesses) EXPECT_EQ(access.bbaResult, 0u);
  }
  EXPECT_EQ(walked, 3);
  ASSERT_EQ(client->InvalidInfos().size(), 1u);
  EXPECT_EQ(client->InvalidInfos()[0].rciRefNr, 4);
  const std::vector<uint8_t> restored = Contents(*client);
  EXPECT_EQ(std::vector<uint8_t>(restored.begin(), restored.begin() + long(original.Size())), original.b);

  // And the caller, who asked for no embedded blobs, sees blob numbers.
  client->FixupBlobs(0);
  EXPECT_EQ(client->Options(), 0);
  ASSERT_TRUE(client->Reset(false));
  std::vector<std::vector<int64_t>> numbers;
  while (client->Next(target) && numbers.size() < 5) {
    TnxFieldsDescriptor* fields = cursor->FieldsDescriptor();
    numbers.push_back({Field(target.Record(), fRefNr),
                       fields->IsRecordFieldNull(fBin, target.Record()) ? -1 : Field(target.Record(), fBin),
                       fields->IsRecordFieldNull(fMemo, target.Record()) ? -1 : Field(target.Record(), fMemo)});
  }
  EXPECT_EQ(numbers, (std::vector<std::vector<int64_t>>{{1, 101, 102}, {2, 201, -1}, {3, -1, 302}}));
}

TEST_F(BatchEditTest, OverwriteEntryRefusesWhatDoesNotFit) {
  Bytes small = Header();
  small.U32((4 + 20) | nxBatchHasResult).U32(nxBatchCacheIsValid).I64(1).I64(10).I32(0);
  ++entries;
  small.U32(4 | nxBatchHasResult).U32(nxeRecordNotFound);
  ++entries;
  Finish(small);
  Bytes big = Header();
  AddRecord(big, Rec(1, 10), {{fBin, "a blob that is too long", 5}});
  big.U32(4 | nxBatchHasResult).U32(nxeRecordNotFound);
  ++entries;
  Finish(big);
  auto target = Access(small, kBlobs);
  auto source = Access(big, kBlobs);
  ASSERT_TRUE(target->Reset(false));
  ASSERT_TRUE(source->Reset(false));
  TnxBatchStreamEntry to, from, error;
  ASSERT_TRUE(target->Next(to));
  ASSERT_TRUE(source->Next(from));
  ASSERT_TRUE(source->Next(error));
  TnxBatchBlobAccesses accesses;
  const std::vector<uint8_t> before = Contents(*target);
  EXPECT_EQ(target->OverwriteEntry(to, from, accesses, false), nxeMessageUnrecognized);
  EXPECT_EQ(target->OverwriteEntry(to, from, accesses, true), nxeMessageUnrecognized);
  EXPECT_EQ(target->OverwriteEntry(to, error, accesses, false), nxeNoCurrentRecord);
  TnxBatchStreamEntry stale;
  EXPECT_EQ(target->OverwriteEntry(stale, from, accesses, false), nxeMessageUnrecognized);
  EXPECT_EQ(Contents(*target), before);
  EXPECT_EQ(to.bseRecord, 0u);
}

TEST_F(BatchEditTest, OverwriteWithoutBlobDataPutsBlobNumbersInTheRecord) {
  const Bytes stream = Batch();
  auto server = Access(stream, kBlobs);
  EXPECT_TRUE(server->CheckCacheValidSeq({{1, 10}, {2, 20}, {3, 30}}, BlobLists({{101}, {201, 202}, {}})));
  auto client = Access(Bytes{Contents(*server)}, kBlobs);
  auto cache = Access(stream, kBlobs);
  ASSERT_TRUE(client->Reset(false));
  ASSERT_TRUE(cache->Reset(false));
  TnxBatchStreamEntry target, source;
  TnxBatchBlobAccesses accesses;
  ASSERT_TRUE(client->Next(target));
  ASSERT_TRUE(client->Next(target));
  ASSERT_TRUE(cache->Next(source));
  ASSERT_TRUE(cache->Next(source));
  EXPECT_EQ(client->OverwriteEntry(target, source, accesses, true), 0u);
  EXPECT_EQ(Field(target.Record(), fRefNr), 2);
  EXPECT_EQ(Field(target.Record(), fBin), 201);
  EXPECT_EQ(Field(target.Record(), fMemo), 202);
}

TEST_F(BatchEditTest, CachedBlobsThatDoNotFitTheirAreaAreReported) {
  struct Case {
    const char* name;
    std::map<TnxBlobNr, std::string> blobs;
    uint32_t result;
  };
  const Case cases[] = {
      {"held in the cache", {{101, "first blob"}}, 0},
      {"missing from the cache", {}, nxeBlobError},
      {"another length", {{101, "first"}}, nxeBlobError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bases.clear();
    const Bytes stream = Batch();
    auto server = Access(stream, kBlobs);
    server->CheckCacheValidSeq({{1, 9}}, BlobLists({{101}}));
    auto client = Access(Bytes{Contents(*server)}, kBlobs);
    MemoryCursor* cacheCursor = Cursor();
    cacheCursor->Blobs = c.blobs;
    ASSERT_TRUE(client->Reset(false));
    TnxBatchStreamEntry entry;
    ASSERT_TRUE(client->Next(entry));
    TnxBatchBlobAccesses accesses;
    client->CheckEntryForCachedBlobs(entry, *cacheCursor, accesses);
    ASSERT_EQ(accesses.size(), 1u);
    EXPECT_EQ(accesses[0].bbaResult, c.result);
    EXPECT_EQ(accesses[0].bbaInCache, c.result == 0);
    TnxBatchBlobAccess again;
    ASSERT_TRUE(client->GetBlobAccess(entry, fBin, again));
    EXPECT_EQ(again.bbaResult, c.result ? c.result : 0u);
    if (!c.result) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(client->Memory() + again.bbaBlobData), 10), "first blob");
    }
  }
}

// Every client and server operation over randomly broken streams answers
// with codes and stays inside the block (ASan and UBSan watch).
TEST_F(BatchEditTest, RandomlyMutatedStreamsGiveOnlyResultCodes) {
  cursor->BookmarkSize = 4;
  Bytes good = Header();
  AddRecord(good, Rec(1, 10), {{fBin, "first blob", 101}, {fMemo, "m1", 102}}, {1, 2, 3, 4});
  AddRecord(good, Rec(2, 20), {{fMemo, "memo two", 202}}, {5, 6, 7, 8});
  good.U32((4 + 20 + 12) | nxBatchHasResult).U32(2).I64(3).I64(30).I32(1).U32(40).U16(fBin).U32(0).U16(0);
  ++entries;
  AddRecord(good, Rec(4, 40), {}, {9, 9, 9, 9});
  Finish(good);
  good.I32(1).I64(5).I64(50);
  const TnxRecordGetBatchExOptions options = Opt({gboBlobs, gboBlobNrs, gboBookmarks});
  // Word-aligned places worth breaking: size words, offsets, counts.
  std::vector<size_t> words;
  for (size_t at = 0; at + 4 <= good.Size(); at += 2) words.push_back(at);
  MemoryCursor* cacheCursor = Cursor();
  cacheCursor->Blobs = {{101, "first blob"}, {202, "memo two"}};
  cursor->Contains = [](TnxLSN, TnxRefNr aRefNr) { return aRefNr % 2 ? nxeRecordDeleted : 0u; };
  auto cache = Access(good, options);
  const auto lists = BlobLists({{101}, {202}, {}, {}});
  const TnxRecordCacheInfos infos{{1, 10}, {2, 20}, {3, 30}, {5, 50}};

  std::mt19937 random(37);
  const int kRounds = TestSize(10000, 100000);
  int answered = 0;
  for (int round = 0; round < kRounds; ++round) {
    Bytes bytes = good;
    const int edits = 1 + int(random() % 3);
    for (int e = 0; e < edits; ++e) {
      const size_t at = words[random() % words.size()];
      if (at + 4 > bytes.Size()) continue;
      switch (random() % 5) {
        case 0: bytes.SetU32(at, uint32_t(random())); break;
        case 1: bytes.SetU32(at, bytes.U32At(at) ^ (1u << (random() % 32))); break;
        case 2: bytes.SetU32(at, bytes.U32At(at) + uint32_t(int(random() % 9) - 4)); break;
        case 3: bytes.b.resize(random() % bytes.Size()); break;
        default: bytes.b[random() % bytes.Size()] ^= uint8_t(random()); break;
      }
      if (bytes.Size() == 0) break;
    }
    auto access = Access(bytes, options);
    TnxBatchStreamEntry entry, source;
    TnxBatchBlobAccesses accesses;
    access->Reset(false);
    cache->Reset(false);
    for (int n = 0; n < 8 && access->Next(entry); ++n) {
      access->GetBlobAccesses(entry, accesses, false);
      if (cache->Next(source) && entry.bseResult == nxBatchCacheIsValid)
        access->OverwriteEntry(entry, source, accesses, round % 2 == 0);
      access->CheckEntryForCachedBlobs(entry, *cacheCursor, accesses);
    }
    access->InvalidInfos();
    access->FixupBlobs(0);
    auto server = Access(bytes, options);
    if (round % 2)
      server->CheckCacheValidSeq(infos, lists);
    else
      server->CheckCacheValid(infos, lists);
    server->Reset(false);
    for (int n = 0; n < 8 && server->Next(entry); ++n) server->GetBlobAccesses(entry, accesses, true);
    server->Clear(true);
    ++answered;
  }
  EXPECT_EQ(answered, kRounds);
  cursor->Contains = nullptr;
}

}  // namespace
}  // namespace revurov::testing
