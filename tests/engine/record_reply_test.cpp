// Record replies of the remote cursor checked against their code: the blob
// trailer's layout and a mutation sweep that must only ever give codes.
#include "engine/record_reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov::testing {
namespace {

constexpr int32_t kBlobFields[] = {2, 5};

struct Entry {
  int32_t field;
  std::vector<uint8_t> data;
};

std::vector<uint8_t> Trailer(const std::vector<Entry>& aEntries, uint64_t aRefNr = 10, uint64_t aLSN = 7) {
  std::vector<uint8_t> out(24, 0);
  std::memcpy(out.data(), "BLBS", 4);
  platform::StoreU32(out.data() + 4, static_cast<uint32_t>(aEntries.size()));
  platform::StoreU64(out.data() + 8, aRefNr);
  platform::StoreU64(out.data() + 16, aLSN);
  for (const Entry& e : aEntries) {
    const size_t at = out.size();
    out.resize(at + 20 + e.data.size());
    std::memcpy(out.data() + at, "BLOB", 4);
    platform::StoreU32(out.data() + at + 4, static_cast<uint32_t>(e.field));
    platform::StoreU64(out.data() + at + 8, 99);
    platform::StoreU32(out.data() + at + 16, static_cast<uint32_t>(e.data.size()));
    std::copy(e.data.begin(), e.data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 20));
  }
  return out;
}

// A copy in a block of exactly its size, so a read past it is caught.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& aBytes) {
  auto block = std::make_unique<uint8_t[]>(aBytes.size() ? aBytes.size() : 1);
  if (!aBytes.empty()) std::memcpy(block.get(), aBytes.data(), aBytes.size());
  return block;
}

bool Check(const std::vector<uint8_t>& aTrailer) {
  const auto block = Exact(aTrailer);
  return nxCheckBlobTrailer(block.get(), static_cast<uint32_t>(aTrailer.size()), kBlobFields);
}

TEST(BlobTrailerTest, ChecksItsLayoutBeforeReadingAnyEntry) {
  const std::vector<uint8_t> two = Trailer({{2, {1, 2, 3}}, {5, {}}});
  auto with = [&](size_t aAt, std::vector<uint8_t> aBytes) {
    std::vector<uint8_t> t = two;
    std::copy(aBytes.begin(), aBytes.end(), t.begin() + static_cast<std::ptrdiff_t>(aAt));
    return t;
  };
  auto u32 = [](uint32_t v) {
    std::vector<uint8_t> b(4);
    platform::StoreU32(b.data(), v);
    return b;
  };
  std::vector<uint8_t> one = Trailer({{2, {1}}});
  platform::StoreU32(one.data() + 4, 2);
  std::vector<uint8_t> longer = two;
  longer.push_back(0);
  const struct {
    const char* name;
    std::vector<uint8_t> trailer;
    bool valid;
  } rows[] = {
      {"two blobs", two, true},
      {"no blob", Trailer({}), true},
      {"wrong mark", with(0, {'B', 'L', 'B', 'X'}), false},
      {"a count above the blob fields", with(4, u32(3)), false},
      {"a count no reply could hold", with(4, u32(0xFFFFFFFF)), false},
      {"a count above the entries there", one, false},
      {"an unassigned record ID", Trailer({{2, {1}}}, 0, 0), false},
      {"an all-ones record ID", Trailer({{2, {1}}}, ~uint64_t(0), ~uint64_t(0)), false},
      {"an entry's wrong mark", with(24, {'B', 'L', 'O', 'C'}), false},
      {"a field that holds no blob", with(28, u32(3)), false},
      {"a length past the end", with(40, u32(4)), false},
      {"a huge length", with(40, u32(0x80000000)), false},
      {"a byte after the last entry", longer, false},
      {"cut inside an entry", std::vector<uint8_t>(two.begin(), two.end() - 1), false},
      {"cut inside the header", std::vector<uint8_t>(two.begin(), two.begin() + 20), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Check(row.trailer), row.valid);
  }
}

TEST(RecordReplyTest, EachCodeHasItsLengths) {
  constexpr uint32_t kLength = 12;
  const std::vector<uint8_t> record(kLength, 0x5A);
  const std::vector<uint8_t> info(16, 1);
  const std::vector<uint8_t> trailer = Trailer({{2, {7}}});
  auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* name;
    uint32_t code;
    std::vector<uint8_t> reply;
    uint32_t asked;
    uint32_t result;
    uint32_t recordLen;
  } rows[] = {
      {"the record", 0, record, kLength, 0, kLength},
      {"the record and a trailer", 0, join(record, trailer), kLength, 0, kLength},
      {"nothing asked, nothing sent", 0, {}, 0, 0, 0},
      {"nothing asked, the whole record sent ahead", 0, record, 0, 0, kLength},
      {"a record asked, nothing sent", 0, {}, kLength, nxeMessageUnrecognized, 0},
      {"a record with a broken trailer", 0, join(record, {1, 2, 3}), kLength, nxeMessageUnrecognized, 0},
      {"cache invalid", 3, join(record, info), kLength, 0, kLength},
      {"cache invalid with a trailer", 3, join(join(record, info), trailer), kLength, 0, kLength},
      {"cache invalid without the version", 3, record, kLength, nxeMessageUnrecognized, 0},
      {"cache valid", 2, info, kLength, nxRecordReplyCacheValid, 0},
      {"cache valid with a trailer", 2, join(info, trailer), kLength, nxRecordReplyCacheValid, 0},
      {"cache valid, short", 2, std::vector<uint8_t>(15, 1), kLength, nxeMessageUnrecognized, 0},
      {"a stale record", 0x22F5, info, kLength, nxeNoCurrentRecord, 0},
      {"a stale record at the table's end", 0x22F2, info, kLength, 0x2202, 0},
      {"a stale record with more", 0x22F5, join(info, {0}), kLength, nxeMessageUnrecognized, 0},
      {"an error passes", nxeAtEndOfTable, {9, 9}, kLength, nxeAtEndOfTable, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto block = Exact(row.reply);
    uint32_t recordLen = 99;
    EXPECT_EQ(nxDecodeRecordReply(row.code, block.get(), static_cast<int32_t>(row.reply.size()), row.asked, kLength,
                                  kBlobFields, recordLen),
              row.result);
    EXPECT_EQ(recordLen, row.recordLen);
  }
}

// Flipped bytes, cuts and insertions anywhere in replies with trailers:
// never more than a code (ASan and UBSan watch the reads).
TEST(RecordReplyTest, MutatedRepliesGiveOnlyCodes) {
  constexpr uint32_t kLength = 20;
  std::vector<uint8_t> valid(kLength, 0x33);
  const std::vector<uint8_t> trailer = Trailer({{2, {1, 2, 3, 4, 5}}, {5, {6}}});
  valid.insert(valid.end(), trailer.begin(), trailer.end());
  std::mt19937 random(54);
  int accepted = 0;
  for (int i = 0; i < 100000; ++i) {
    std::vector<uint8_t> reply = valid;
    for (int n = 1 + static_cast<int>(random() % 3); n > 0 && !reply.empty(); --n) {
      const size_t at = random() % reply.size();
      switch (random() % 4) {
        case 0: reply[at] = static_cast<uint8_t>(random()); break;
        case 1: reply.resize(at); break;
        case 2: reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(random())); break;
        default: platform::StoreU32(reply.data() + std::min(at, reply.size() - std::min<size_t>(4, reply.size())),
                                    static_cast<uint32_t>(random()));
      }
    }
    const uint32_t code = (random() % 5 == 0) ? 3 : 0;
    const auto block = Exact(reply);
    uint32_t recordLen = 0;
    const uint32_t result = nxDecodeRecordReply(code, block.get(), static_cast<int32_t>(reply.size()), kLength,
                                                kLength, kBlobFields, recordLen);
    ASSERT_TRUE(result == 0 || result == nxeMessageUnrecognized) << result;
    if (result == 0) {
      ++accepted;
      ASSERT_LE(recordLen, reply.size());
    }
  }
  // Mutations of the record bytes alone stay valid.
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace revurov::testing
