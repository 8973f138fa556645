#include "dictionary/engine_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::ReadAll;
using testing::Written;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

TEST(RecID, IsAssignedOnlyWithBothFieldsAndAllOnesOnlyWithBoth) {
  EXPECT_TRUE(nxRecIDIsAssigned({1, 2}));
  EXPECT_FALSE(nxRecIDIsAssigned({1, 0}));
  EXPECT_FALSE(nxRecIDIsAssigned({0, 2}));
  EXPECT_FALSE(nxRecIDIsAssigned(nxNullRecID));
  EXPECT_TRUE(nxRecIDIsAllOnes(nxAllOnesRecID));
  EXPECT_FALSE(nxRecIDIsAllOnes({-1, 0}));
  EXPECT_FALSE(nxRecIDIsAllOnes({5, -1}));
}

TEST(RecordCacheInfo, EmptyInfosAreNeverEqual) {
  const TnxRecordCacheInfo empty{0, 5}, full{7, 9};
  EXPECT_TRUE(nxRecordCacheInfoIsEmpty(empty));
  EXPECT_TRUE(nxRecordCacheInfoIsEmpty({7, 0}));
  EXPECT_FALSE(nxRecordCacheInfoEquals(empty, empty));
  EXPECT_FALSE(nxRecordCacheInfoEquals(nxNullRecordCacheInfo, nxNullRecordCacheInfo));
  EXPECT_TRUE(nxRecordCacheInfoEquals(full, TnxRecordCacheInfo{7, 9}));
  EXPECT_FALSE(nxRecordCacheInfoEquals(full, TnxRecordCacheInfo{7, 8}));
  EXPECT_FALSE(nxRecordCacheInfoEqualsPtr(full, nullptr));
  EXPECT_TRUE(nxRecordCacheInfoEqualsPtr(full, &full));
  const TnxIndexedRecordCacheInfo indexed{7, 9, 3};
  EXPECT_TRUE(nxRecordCacheInfoEqualsIndexed(full, &indexed));
  EXPECT_FALSE(nxRecordCacheInfoEqualsIndexed(full, nullptr));
  TnxRecordCacheInfo cleared = full;
  EXPECT_EQ(&nxRecordCacheInfoClear(cleared), &cleared);
  EXPECT_TRUE(nxRecordCacheInfoIsEmpty(cleared));
}

TEST(RecordCacheInfoBlobInfo, SkipMovesPastCountAndBlobNumbers) {
  const uint8_t raw[2 + 16 + 1] = {2, 0};
  const uint8_t* p = raw;
  nxSkipRecordCacheInfoBlobInfo(p);
  EXPECT_EQ(p, raw + 18);
  const uint8_t* none = nullptr;
  nxSkipRecordCacheInfoBlobInfo(none);
  EXPECT_EQ(none, nullptr);
}

TEST(BlobBatch, SizesAndAssignment) {
  EXPECT_EQ(nxBlobBatchReplySizeForCount(0), 0);
  EXPECT_EQ(nxBlobBatchReplySizeForCount(-3), 0);
  EXPECT_EQ(nxBlobBatchReplySizeForCount(3), 26);
  const uint8_t reply[2] = {4, 0};
  EXPECT_EQ(nxBlobBatchReplySize(reply), 34);
  TnxBlobBatchRequest request;
  EXPECT_FALSE(nxBlobBatchRequestIsAssigned(request));
  request.bbrqRecID = {1, 1};
  EXPECT_FALSE(nxBlobBatchRequestIsAssigned(request));
  request.bbrqEntries.resize(2);
  EXPECT_TRUE(nxBlobBatchRequestIsAssigned(request));
  EXPECT_EQ(nxBlobBatchReplySizeForRequest(request), 18);
  nxBlobBatchRequestClear(request);
  EXPECT_FALSE(nxRecIDIsAssigned(request.bbrqRecID));
  EXPECT_TRUE(request.bbrqEntries.empty());
}

TEST(RecordSerialisation, WritesTheTaggedLayouts) {
  struct Case {
    const char* name;
    std::function<void(TnxWriter&)> write;
    Bytes bytes;
  };
  TnxBlobBatchRequest request;
  request.bbrqRecID = {5, 0x100000000};
  request.bbrqEntries.push_back({7, 0, cbsiModified, u"f", {}, 2});
  request.bbrqEntries.push_back({-1, 0, cbsiCreated, u"", {0xAA, 0xBB}, 300});
  const Case cases[] = {
      {"empty cache info", [](TnxWriter& w) { nxWriteRecordCacheInfo({0, 5}, w); }, {13}},
      {"cache info", [](TnxWriter& w) { nxWriteRecordCacheInfo({1, 0x80000000}, w); },
       {2, 1, 19, 0, 0, 0, 0x80, 0, 0, 0, 0}},
      {"no blob numbers", [](TnxWriter& w) { nxWriteBlobNrs({}, w); }, {2, 0}},
      {"blob numbers", [](TnxWriter& w) { nxWriteBlobNrs({1, -1}, w); },
       Cat({{2, 2, 10, 16, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}, Bytes(8, 0xFF)})},
      {"marked blobs", [](TnxWriter& w) { nxWriteMarkedBlobs({3}, w); }, {2, 1, 10, 4, 0, 0, 0, 3, 0, 0, 0}},
      {"no marked blobs", [](TnxWriter& w) { nxWriteMarkedBlobs({}, w); }, {2, 0}},
      {"empty batch", [](TnxWriter& w) { nxWriteBlobBatchRequest(TnxBlobBatchRequest{{9, 9}, {}}, w); }, {2, 0}},
      {"batch", [&](TnxWriter& w) { nxWriteBlobBatchRequest(request, w); },
       Cat({{2, 2, 2, 5, 19, 0, 0, 0, 0, 1, 0, 0, 0, 1},
            {2, 3, 2, 7, 2, 2, 6, 1, 'f'},
            {2, 0, 2, 0xFF, 3, 0x2C, 0x01, 10, 2, 0, 0, 0, 0xAA, 0xBB},
            {0}})},
  };
  for (const auto& c : cases) EXPECT_EQ(Written(c.write), c.bytes) << c.name;
}

Bytes LevelBytes(int32_t level) {
  return Cat({{1, 17}, Bytes(8, 0), {2, 4, 2, 5, 2, static_cast<uint8_t>(level), 2, 1, 2, 0, 2, 3, 0}});
}

TnxTransactionInfo Read(const Bytes& bytes) {
  return ReadAll(bytes, [](TnxReader& r) {
    TnxTransactionInfo info;
    info.tiLevels.resize(5);
    nxReadTransactionInfo(info, r);
    return info;
  });
}

Bytes WithoutListStart(const Bytes& level) { return Bytes(level.begin() + 1, level.end()); }

Bytes Tail(uint8_t state) { return Cat({{17}, Bytes(8, 0), {2, 10, 2, 11, 2, 1, 2, 6, 2, state}}); }

TEST(TransactionInfo, ReadsLevelsInListsThenTheTotals) {
  const TnxTransactionInfo info = Read(Cat({{2, 2}, LevelBytes(1), LevelBytes(2), Tail(9)}));
  ASSERT_EQ(info.tiLevels.size(), 2u);
  EXPECT_EQ(info.tiLevels[1].tliLevel, 2);
  EXPECT_EQ(info.tiLevels[0].tliStartLSN, 4);
  EXPECT_EQ(info.tiLevels[0].tliLSN, 5);
  EXPECT_EQ(info.tiLevels[0].tliState, 3);
  EXPECT_EQ(info.tiStartLSN, 10);
  EXPECT_EQ(info.tiLSN, 11);
  EXPECT_EQ(info.tiBlockCount, 6u);
  EXPECT_EQ(info.tiState, 9);
  EXPECT_TRUE(Read(Cat({{2, 0}, Tail(0)})).tiLevels.empty());
}

TEST(TransactionInfo, RefusesBadCountsStatesAndMissingListTags) {
  const std::pair<const char*, Bytes> cases[] = {
      {"negative count", Cat({{2, 0xFF}, Tail(0)})},
      {"count beyond the data", Cat({{4, 0xFF, 0xFF, 0xFF, 0x7F}, LevelBytes(1)})},
      {"state outside its set", Cat({{2, 0}, Tail(16)})},
      {"missing list start", Cat({{2, 1}, WithoutListStart(LevelBytes(1)), Tail(0)})},
      {"level state outside its set",
       Cat({{2, 1, 1, 17}, Bytes(8, 0), {2, 4, 2, 5, 2, 1, 2, 1, 2, 0, 2, 8, 0}, Tail(0)})},
  };
  for (const auto& [name, bytes] : cases) {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    TnxTransactionInfo info;
    EXPECT_THROW(nxReadTransactionInfo(info, r), platform::EReadError) << name;
  }
}

}  // namespace
}  // namespace revurov
