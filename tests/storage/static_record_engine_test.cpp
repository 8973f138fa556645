#include "storage/static_record_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/filter_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/stream_engines.h"
#include "support/exception_message.h"
#include "support/fake_deadline_clock.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;
using testing::ErrorCodeOf;
using testing::TTableFixture;
using testing::TTableShape;

using TRecord = std::vector<uint8_t>;

// ---- geometry ----

// The rules, searched rather than computed: the most slots of L bytes and
// one bit each; the slot size as large as the room allows, then with as
// many low zero bits as keep it at least L.
TnxStaticRecordGeometry BruteForce(uint32_t aU, uint32_t aL) {
  uint32_t n = 0;
  while ((n + 1) * (8 * aL + 1) <= (aU - 32) * 8) ++n;
  TnxStaticRecordGeometry g;
  if (n == 0) return g;
  const uint32_t b = (n + 7) / 8;
  uint32_t room = (aU - b - 32) / n;
  uint32_t s = room;
  for (uint32_t m = 16;; --m) {
    const uint32_t cleared = room >> m << m;
    if (cleared >= aL) {
      s = cleared;
      break;
    }
  }
  g.RecsPerBlock = static_cast<uint16_t>(n);
  g.InUseArraySize = static_cast<uint16_t>(b);
  g.RecordLength = static_cast<uint16_t>(s);
  g.FirstRecordOffset = static_cast<uint16_t>(aU - s * n);
  return g;
}

TEST(StaticRecordGeometryTest, MatchesTheRulesForEveryBlockSizeAndLength) {
  for (uint32_t block = 4096; block <= 65536; block *= 2) {
    for (uint32_t reserve : {4u, 0u}) {  // "NX!2" and "NX!1"
      const uint32_t u = block - reserve;
      SCOPED_TRACE(u);
      for (uint32_t l = 2; l + 33 <= u; ++l) {
        const TnxStaticRecordGeometry g = nxStaticRecordGeometry(u, static_cast<uint16_t>(l));
        const TnxStaticRecordGeometry e = BruteForce(u, l);
        ASSERT_EQ(g.RecsPerBlock, e.RecsPerBlock) << l;
        ASSERT_EQ(g.InUseArraySize, e.InUseArraySize) << l;
        ASSERT_EQ(g.RecordLength, e.RecordLength) << l;
        ASSERT_EQ(g.FirstRecordOffset, e.FirstRecordOffset) << l;
        // Slots hold a record, stay clear of the bitmap and end at U.
        ASSERT_GE(g.RecordLength, l);
        ASSERT_GE(g.FirstRecordOffset, 32u + g.InUseArraySize);
      }
      EXPECT_EQ(nxStaticRecordGeometry(u, static_cast<uint16_t>(std::min(u - 32, 65535u))).RecsPerBlock, 0);
    }
  }
}

TEST(StaticRecordGeometryTest, KnownShapes) {
  struct Case {
    uint32_t u, l;
    uint16_t n, b, s, f;
  };
  const Case cases[] = {{4092, 100, 40, 5, 100, 92}, {8188, 1000, 8, 1, 1008, 124}};
  for (const Case& c : cases) {
    const TnxStaticRecordGeometry g = nxStaticRecordGeometry(c.u, static_cast<uint16_t>(c.l));
    EXPECT_EQ(g.RecsPerBlock, c.n);
    EXPECT_EQ(g.InUseArraySize, c.b);
    EXPECT_EQ(g.RecordLength, c.s);
    EXPECT_EQ(g.FirstRecordOffset, c.f);
  }
}

// ---- one table ----

class StaticRecordTest : public ::testing::Test {
public:
  explicit StaticRecordTest(TTableShape aShape = {}) : t_(aShape) {}

  TnxStaticRecordEngine& Engine() { return dynamic_cast<TnxStaticRecordEngine&>(t_.Records()); }
  uint32_t L() { return t_.RecordLength(); }
  TRecord Make(uint32_t aSeed) {
    TRecord r(L());
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(aSeed * 7 + i * 3);
    return r;
  }
  TnxRefNr Add(TRecord aRecord) {
    TnxRefNr ref = 0;
    Engine().AddRecord(t_.Trans(), ref, aRecord.data());
    return ref;
  }
  TRecord Read(TnxRefNr aRef) {
    TRecord r(L());
    Engine().ReadRecord(&t_.Trans(), aRef, r.data());
    return r;
  }
  // The section as the transaction sees it.
  std::vector<uint32_t> Section() {
    auto header = t_.Access().HeaderAccess(&t_.Trans(), false);
    const uint8_t* s = header->Header() + Engine().reHeaderSection;
    return {LoadU32(s), LoadU32(s + 4), LoadU32(s + 8), LoadU32(s + 12), LoadU32(s + 16)};
  }
  PnxBlock Block(TnxBlockNumber aNumber, TnxBlockGuard& aGuard) {
    aGuard.Hold(t_.Access().GetBlock(&t_.Trans(), aNumber, 0, true, aGuard.ReleaseMethod()));
    return aGuard.Block();
  }
  std::vector<TnxRefNr> Scan(bool aBackward, TnxBaseFilterEngine* aFilter = nullptr, TnxRefNr aFrom = 0) {
    std::vector<TnxRefNr> refs;
    TnxRefNr ref = aFrom;
    auto collect = [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
      refs.push_back(aRef);
      return rirContinue;
    };
    if (aBackward)
      Engine().IterateBackward(&t_.Trans(), ref, nullptr, collect, nullptr, aFilter, aFrom != 0, false);
    else
      Engine().Iterate(&t_.Trans(), ref, nullptr, collect, nullptr, aFilter, aFrom != 0, false);
    EXPECT_EQ(ref, 0);
    return refs;
  }

  TTableFixture t_;
};

TEST_F(StaticRecordTest, AddReadUpdateDeleteAndTheSection) {
  EXPECT_EQ(Section(), (std::vector<uint32_t>{0, 0, 0, 0, 0}));
  const TnxRefNr a = Add(Make(1));
  const TnxBlockNumber block = static_cast<TnxBlockNumber>(a >> 32);
  EXPECT_EQ(a, nxMakeRefNr(block, 1));
  const uint32_t n = Engine().reRecsPerBlock;
  EXPECT_EQ(Section(), (std::vector<uint32_t>{1, block, block, n - 1, block}));
  EXPECT_EQ(Read(a), Make(1));

  TRecord old(L());
  TRecord changed = Make(2);
  Engine().UpdateRecord(t_.Trans(), a, changed.data(), old.data());
  EXPECT_EQ(old, Make(1));
  EXPECT_EQ(Read(a), Make(2));

  Engine().DeleteRecord(t_.Trans(), a);
  EXPECT_EQ(Section(), (std::vector<uint32_t>{0, block, block, n, block}));
  uint32_t count = 9;
  Engine().GetRecordCount(&t_.Trans(), count);
  EXPECT_EQ(count, 0u);
}

TEST_F(StaticRecordTest, FilledBlockLeavesTheFreeListAndANewBlockIsChained) {
  const uint32_t n = Engine().reRecsPerBlock;
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < n; ++i) refs.push_back(Add(Make(i)));
  const TnxBlockNumber first = static_cast<TnxBlockNumber>(refs[0] >> 32);
  EXPECT_EQ(Section(), (std::vector<uint32_t>{n, first, first, 0, 0}));
  const TnxRefNr next = Add(Make(99));
  const TnxBlockNumber second = static_cast<TnxBlockNumber>(next >> 32);
  EXPECT_NE(second, first);
  EXPECT_EQ(Section(), (std::vector<uint32_t>{n + 1, first, second, n - 1, second}));
  TnxBlockGuard g1, g2;
  EXPECT_EQ(LoadU32(Block(first, g1) + nxrbNext), second);
  EXPECT_EQ(LoadU32(Block(second, g2) + nxrbPrev), first);
  EXPECT_EQ(std::memcmp(g2.Block(), "NXDH", 4), 0);
}

TEST_F(StaticRecordTest, FreedSlotsAreReusedLastInFirstOut) {
  const uint32_t n = Engine().reRecsPerBlock;
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < n; ++i) refs.push_back(Add(Make(i)));
  Engine().DeleteRecord(t_.Trans(), refs[2]);  // slot 3
  Engine().DeleteRecord(t_.Trans(), refs[4]);  // slot 5
  EXPECT_EQ(Add(Make(50)), refs[4]);
  EXPECT_EQ(Add(Make(51)), refs[2]);
  // Full again: the next record opens a new block.
  EXPECT_NE(Add(Make(52)) >> 32, refs[0] >> 32);
}

TEST_F(StaticRecordTest, BadReferenceNumbers) {
  const TnxRefNr a = Add(Make(1));
  const TnxBlockNumber block = static_cast<TnxBlockNumber>(a >> 32);
  Engine().DeleteRecord(t_.Trans(), a);
  struct Case {
    const char* name;
    TnxRefNr ref;
    uint32_t code;
    std::u16string text;
  };
  const Case cases[] = {
      {"deleted", a, nxeRecordDeleted, u"Record has been deleted, cannot read/delete/update it"},
      {"slot 0", nxMakeRefNr(block, 0), nxeInvalidRefNr, u"is not a valid RevurOV record reference number"},
      {"slot above N", nxMakeRefNr(block, Engine().reRecsPerBlock + 1u), nxeInvalidRefNr, u"ref "},
      {"block beyond the file", nxMakeRefNr(5000, 1), nxeInvalidBlockNumber, u"block 5000]"},
      {"block 0", nxMakeRefNr(0, 1), nxeInvalidBlockNumber, u"block 0]"},
      // Both wrong: the block is refused first.
      {"block beyond the file, slot 0", nxMakeRefNr(5000, 0), nxeInvalidBlockNumber, u"block 5000]"},
      {"block 0, slot above N", nxMakeRefNr(0, Engine().reRecsPerBlock + 1u), nxeInvalidBlockNumber, u"block 0]"},
  };
  TRecord buffer = Make(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::function<void()>> calls = {
        [&] { Read(c.ref); },
        [&] { Engine().DeleteRecord(t_.Trans(), c.ref); },
        [&] { Engine().UpdateRecord(t_.Trans(), c.ref, buffer.data(), nullptr); },
        [&] {
          Engine().ReadRecordForIterate(&t_.Trans(), c.ref, nullptr,
                                        [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; }, nullptr,
                                        nullptr);
        }};
    for (const auto& call : calls) {
      EXPECT_EQ(ErrorCodeOf(call), c.code);
      const std::u16string message = testing::MessageOf<EnxBaseException>(call);
      EXPECT_HAS_TEXT(message, c.text);
      EXPECT_HAS_TEXT(message, t_.File().fiName);
    }
  }
  // The reference number of the deleted record is in its message.
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseException>([&] { Read(a); }),
                  u"ref " + platform::Utf8ToUtf16(std::to_string(a)) + u"]");
}

// A block the transaction added is beyond the committed count until the
// commit: only that transaction reads its records.
TEST_F(StaticRecordTest, ABlockAddedInATransactionIsReadOnlyThroughItUntilTheCommit) {
  t_.Commit();
  std::vector<TnxRefNr> refs;
  TnxBlockNumber first = 0;
  for (uint32_t i = 0; i < Engine().reRecsPerBlock + 2u; ++i) {
    refs.push_back(Add(Make(i)));
    if (i == 0) first = static_cast<TnxBlockNumber>(refs[0] >> 32);
  }
  const TnxRefNr last = refs.back();
  ASSERT_NE(static_cast<TnxBlockNumber>(last >> 32), first);
  for (size_t i = 0; i < refs.size(); ++i) EXPECT_EQ(Read(refs[i]), Make(static_cast<uint32_t>(i)));
  TRecord buffer(L());
  const auto readOutside = [&](TnxRefNr aRef) { Engine().ReadRecord(nullptr, aRef, buffer.data()); };
  EXPECT_EQ(ErrorCodeOf([&] { readOutside(last); }), nxeInvalidBlockNumber);
  t_.Commit();
  readOutside(last);
  EXPECT_EQ(buffer, Make(static_cast<uint32_t>(refs.size() - 1)));
  // Beyond the new count still refused, in a transaction and without.
  const TnxRefNr beyond = nxMakeRefNr(static_cast<TnxBlockNumber>(last >> 32) + 1, 1);
  EXPECT_EQ(ErrorCodeOf([&] { readOutside(beyond); }), nxeInvalidBlockNumber);
  EXPECT_EQ(ErrorCodeOf([&] { Read(beyond); }), nxeInvalidBlockNumber);
}

TEST_F(StaticRecordTest, NextAndPreviousPassOverEmptyBlocks) {
  const uint32_t n = Engine().reRecsPerBlock;
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < 3 * n; ++i) refs.push_back(Add(Make(i)));
  // Empty the middle block entirely and one slot of the first.
  for (uint32_t i = n; i < 2 * n; ++i) Engine().DeleteRecord(t_.Trans(), refs[i]);
  Engine().DeleteRecord(t_.Trans(), refs[n - 1]);
  TRecord data(L());
  TnxRefNr found = 0;
  Engine().ReadNextRecord(&t_.Trans(), refs[n - 2], found, data.data());
  EXPECT_EQ(found, refs[2 * n]);
  EXPECT_EQ(data, Make(2 * n));
  // From a deleted record too.
  Engine().ReadNextRecord(&t_.Trans(), refs[n - 1], found, nullptr);
  EXPECT_EQ(found, refs[2 * n]);
  Engine().ReadPrevRecord(&t_.Trans(), refs[2 * n], found, data.data());
  EXPECT_EQ(found, refs[n - 2]);
  Engine().ReadNextRecord(&t_.Trans(), 0, found, nullptr);
  EXPECT_EQ(found, refs[0]);
  Engine().ReadPrevRecord(&t_.Trans(), 0, found, nullptr);
  EXPECT_EQ(found, refs.back());
  Engine().ReadNextRecord(&t_.Trans(), refs.back(), found, nullptr);
  EXPECT_EQ(found, 0);
  Engine().ReadPrevRecord(&t_.Trans(), refs[0], found, nullptr);
  EXPECT_EQ(found, 0);
}

bool EvenSeed(void*, const uint8_t* aBuffer) { return aBuffer[0] % 2 == 0; }

class FilterHolder {
public:
  FilterHolder() : descriptor_(nullptr, &EvenSeed), engine_(&descriptor_, nullptr) { engine_.SetActive(true); }
  TnxBaseFilterEngine* operator->() { return &engine_; }
  TnxBaseFilterEngine* get() { return &engine_; }

private:
  TnxCallbackFilterDescriptor descriptor_;
  TnxCallbackFilterEngine engine_;
};

TEST_F(StaticRecordTest, RecordNumbersWithAndWithoutFilter) {
  const uint32_t n = Engine().reRecsPerBlock;
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < 2 * n + 5; ++i) refs.push_back(Add(Make(i)));  // seed i: byte 0 = 7i
  FilterHolder filter;
  uint32_t recNo = 0;
  // Unfiltered: positions from either end.
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), refs[n + 3], nullptr, recNo, false), 0u);
  EXPECT_EQ(recNo, n + 4);
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), refs[n + 3], nullptr, recNo, true), 0u);
  EXPECT_EQ(recNo, refs.size() - (n + 3));
  // A record the filter rejects (odd seed) and a deleted one: 8709.
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), refs[1], filter.get(), recNo, false), nxeNoCurrentRecord);
  Engine().DeleteRecord(t_.Trans(), refs[4]);
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), refs[4], nullptr, recNo, false), nxeNoCurrentRecord);
  // A block of the file that is not in the chain (a stream's): 8706.
  TnxMemoryStream bytes;
  bytes.WriteBuffer("x", 1);
  ASSERT_EQ(t_.Streams().WriteNamedStream(t_.Trans(), u"s", bytes), 0u);
  const TnxBlockNumber streamBlock = t_.Access().HeaderAccess(&t_.Trans(), false)->UsedBlocks() - 1;
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), nxMakeRefNr(streamBlock, 1), nullptr, recNo, false), nxeAtEndOfTable);
  // Beyond the last record: 8706 and no reference.
  TnxRefNr ref = 77;
  EXPECT_EQ(Engine().RecNoSet(&t_.Trans(), static_cast<uint32_t>(refs.size()), ref, nullptr, false),
            nxeAtEndOfTable);
  EXPECT_EQ(ref, 0);
  EXPECT_EQ(Engine().RecNoSet(&t_.Trans(), 0, ref, nullptr, false), nxeAtEndOfTable);
  // Round trips in both directions, with and without the filter.
  for (bool flip : {false, true}) {
    for (TnxBaseFilterEngine* f : {static_cast<TnxBaseFilterEngine*>(nullptr), filter.get()}) {
      for (size_t i = 0; i < refs.size(); ++i) {
        if (i == 4 || (f && Make(static_cast<uint32_t>(i))[0] % 2 != 0)) continue;
        ASSERT_EQ(Engine().RecNoGet(&t_.Trans(), refs[i], f, recNo, flip), 0u);
        ASSERT_EQ(Engine().RecNoSet(&t_.Trans(), recNo, ref, f, flip), 0u);
        ASSERT_EQ(ref, refs[i]) << i << " flip " << flip;
      }
    }
  }
  // An inactive filter is no filter.
  filter->SetActive(false);
  EXPECT_EQ(Engine().RecNoGet(&t_.Trans(), refs[1], filter.get(), recNo, false), 0u);
  EXPECT_EQ(recNo, 2u);
}

TEST_F(StaticRecordTest, IterateResumesStopsAndDeliversThreeWays) {
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < 100; ++i) refs.push_back(Add(Make(i)));
  EXPECT_EQ(Scan(false), refs);
  EXPECT_EQ(Scan(true), std::vector<TnxRefNr>(refs.rbegin(), refs.rend()));
  EXPECT_EQ(Scan(false, nullptr, refs[41]), std::vector<TnxRefNr>(refs.begin() + 42, refs.end()));
  EXPECT_EQ(Scan(true, nullptr, refs[41]), std::vector<TnxRefNr>(refs.rend() - 41, refs.rend()));

  // Without aKeepPosition the scan starts at the first record; rirStop
  // leaves aRefNr on the record it stopped at.
  TnxRefNr ref = refs[50];
  int calls = 0;
  Engine().Iterate(
      &t_.Trans(), ref, nullptr,
      [&](void*, TnxRefNr, PnxRecordBuffer) { return ++calls == 3 ? rirStop : rirContinue; }, nullptr, nullptr,
      false, false);
  EXPECT_EQ(ref, refs[2]);

  // Copy: into the caller's buffer. Pointer: into the block, cleared
  // afterwards.
  TRecord buffer(L());
  PnxRecordBuffer target = buffer.data();
  ref = 0;
  Engine().Iterate(
      &t_.Trans(), ref, &target,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aRecord) {
        EXPECT_EQ(aRecord, buffer.data());
        EXPECT_EQ(buffer, Make(static_cast<uint32_t>(std::find(refs.begin(), refs.end(), aRef) - refs.begin())));
        return rirContinue;
      },
      nullptr, nullptr, false, false);
  PnxRecordBuffer pointer = nullptr;
  ref = 0;
  Engine().Iterate(
      &t_.Trans(), ref, &pointer,
      [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
        EXPECT_EQ(pointer, aRecord);
        EXPECT_NE(pointer, nullptr);
        return rirStop;
      },
      nullptr, nullptr, false, false);
  EXPECT_EQ(pointer, nullptr);
  // ReadRecordForIterate hands a pointer in and restores what was there.
  PnxRecordBuffer kept = buffer.data();
  EXPECT_EQ(Engine().ReadRecordForIterate(
                &t_.Trans(), refs[7], &kept,
                [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
                  EXPECT_EQ(TRecord(aRecord, aRecord + L()), Make(7));
                  return rirStop;
                },
                nullptr, nullptr),
            rirStop);
  EXPECT_EQ(kept, buffer.data());
  FilterHolder filter;
  EXPECT_EQ(Engine().ReadRecordForIterate(
                &t_.Trans(), refs[1], &kept, [&](void*, TnxRefNr, PnxRecordBuffer) { return rirStop; }, nullptr,
                filter.get()),
            rirContinue);
}

TEST_F(StaticRecordTest, ReplaceAllRecordsAndItsErrors) {
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < 50; ++i) refs.push_back(Add(Make(i)));
  Engine().DeleteRecord(t_.Trans(), refs[10]);
  int seen = 0;
  Engine().ReplaceAllRecords(t_.Trans(), [&](PnxRecordBuffer aRecord) {
    ++seen;
    aRecord[L() - 1] = 0xEE;
    return 0u;
  });
  EXPECT_EQ(seen, 49);
  EXPECT_EQ(Read(refs[11])[L() - 1], 0xEE);
  EXPECT_EQ(ErrorCodeOf([&] {
              Engine().ReplaceAllRecords(t_.Trans(), [](PnxRecordBuffer) { return nxeRecordTooLarge; });
            }),
            nxeRecordTooLarge);
}

TEST_F(StaticRecordTest, RecoverIterateReadsRawBlocks) {
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < 5; ++i) refs.push_back(Add(Make(i)));
  Engine().DeleteRecord(t_.Trans(), refs[1]);
  const TnxBlockNumber number = static_cast<TnxBlockNumber>(refs[0] >> 32);
  TnxBlockGuard guard;
  const PnxBlock block = Block(number, guard);
  std::vector<uint8_t> copy(block, block + t_.File().BlockBytes());
  std::vector<TRecord> found;
  PnxRecordBuffer pointer = nullptr;
  auto collect = [&](void*, TnxRefNr aRef, PnxRecordBuffer aRecord) {
    EXPECT_EQ(aRef, 0);
    found.emplace_back(aRecord, aRecord + L());
    return rirContinue;
  };
  EXPECT_EQ(Engine().RecoverIterate(copy.data(), number, &pointer, collect, nullptr), rirContinue);
  EXPECT_EQ(pointer, nullptr);
  EXPECT_EQ(found, (std::vector<TRecord>{Make(0), Make(2), Make(3), Make(4)}));
  found.clear();
  EXPECT_EQ(Engine().RecoverIterate(copy.data(), number + 1, &pointer, collect, nullptr), rirContinue);
  EXPECT_EQ(Engine().RecoverIterate(nullptr, number, &pointer, collect, nullptr), rirContinue);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(Engine().GetRecoverID(), Engine().bseID);
}

class StaticRecordRefNrTest : public StaticRecordTest {
public:
  StaticRecordRefNrTest() : StaticRecordTest(TTableShape{.RefNrField = true}) {}
  TnxRefNr Stored(const TRecord& aRecord) {
    TnxRefNr value = 0;
    std::memcpy(&value, aRecord.data(), 8);
    return value;
  }
};

TEST_F(StaticRecordRefNrTest, RecordsCarryTheirOwnReferenceNumber) {
  ASSERT_GE(Engine().breRefNrField, 0);
  TRecord record = Make(1);
  TnxRefNr ref = 0;
  Engine().AddRecord(t_.Trans(), ref, record.data());
  EXPECT_EQ(Stored(record), ref);
  EXPECT_EQ(Stored(Read(ref)), ref);
  TRecord other = Make(2);
  Engine().UpdateRecord(t_.Trans(), ref, other.data(), nullptr);
  EXPECT_EQ(Stored(other), ref);
  EXPECT_EQ(Stored(Read(ref)), ref);
}

// ---- damaged blocks and sections ----

TEST_F(StaticRecordTest, DamagedBlocksAndSectionGiveCodes) {
  const uint32_t n = Engine().reRecsPerBlock;
  std::vector<TnxRefNr> refs;
  for (uint32_t i = 0; i < n + 5; ++i) refs.push_back(Add(Make(i)));
  Engine().DeleteRecord(t_.Trans(), refs[n + 1]);
  Engine().DeleteRecord(t_.Trans(), refs[n + 3]);  // free chain of block 2: 4 -> 2 -> 7 ...
  t_.Commit();
  const TnxBlockNumber b1 = static_cast<TnxBlockNumber>(refs[0] >> 32);
  const TnxBlockNumber b2 = static_cast<TnxBlockNumber>(refs[n] >> 32);
  auto scanAll = [&] { Scan(false); };
  auto add = [&] { Add(Make(7)); };
  struct Case {
    const char* name;
    std::function<void(StaticRecordTest&)> damage;
    std::function<void()> call;
    uint32_t code;
  };
  auto block = [](StaticRecordTest& aT, TnxBlockNumber aNumber, const std::function<void(PnxBlock)>& aChange) {
    TnxBlockGuard guard;
    aChange(aT.Block(aNumber, guard));
  };
  auto section = [](StaticRecordTest& aT, uint32_t aOffset, uint32_t aValue) {
    auto header = aT.t_.Access().HeaderAccess(&aT.t_.Trans(), true);
    StoreU32(header->Header() + aT.Engine().reHeaderSection + aOffset, aValue);
  };
  const Case cases[] = {
      {"chain loops", [&](StaticRecordTest& t) { block(t, b2, [&](PnxBlock p) { StoreU32(p + nxrbNext, b1); }); },
       scanAll, nxeNotADataBlock},
      {"chain into another kind of block",
       [&](StaticRecordTest& t) { block(t, b1, [&](PnxBlock p) { std::memcpy(p, "NXSH", 4); }); }, scanAll,
       nxeNotADataBlock},
      {"chain past the file",
       [&](StaticRecordTest& t) { block(t, b1, [&](PnxBlock p) { StoreU32(p + nxrbNext, 90000); }); }, scanAll,
       nxeInvalidBlockNumber},
      {"first free slot above N",
       [&](StaticRecordTest& t) { block(t, b2, [&](PnxBlock p) { StoreU16(p + nxrbFirstFree, n + 1); }); }, add,
       nxeNotADataBlock},
      {"free slot link above N",
       [&](StaticRecordTest& t) {
         block(t, b2, [&](PnxBlock p) { StoreU16(p + t.Engine().reFirstRecordOffset + 3 * t.Engine().reRecordLength, n + 9); });
       },
       add, nxeNotADataBlock},
      {"free chain loops into a used slot",
       [&](StaticRecordTest& t) {
         // Slot 4's link names slot 1, which holds a record.
         block(t, b2, [&](PnxBlock p) { StoreU16(p + t.Engine().reFirstRecordOffset + 3 * t.Engine().reRecordLength, 1); });
       },
       [&] {
         add();
         add();
       },
       nxeNotADataBlock},
      {"used count above N",
       [&](StaticRecordTest& t) { block(t, b1, [&](PnxBlock p) { StoreU16(p + nxrbUsed, n + 1); }); },
       [&] { Read(refs[0]); }, nxeNotADataBlock},
      {"free count without a free block", [&](StaticRecordTest& t) { section(t, nxrsFreeHead, 0); }, add,
       nxeCorruptHeader},
      {"free block without a free count", [&](StaticRecordTest& t) { section(t, nxrsFreeSlots, 0); },
       [&] { Engine().DeleteRecord(t_.Trans(), refs[0]); }, nxeCorruptHeader},
      {"first block past the file", [&](StaticRecordTest& t) { section(t, nxrsFirstBlock, 70000); }, scanAll,
       nxeInvalidBlockNumber},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage(*this);
    EXPECT_EQ(ErrorCodeOf(c.call), c.code);
    t_.Rollback();
    // The undamaged table is intact.
    EXPECT_EQ(Read(refs[0]), Make(0));
  }
}

TEST_F(StaticRecordTest, ScansTestTheDeadline) {
  for (uint32_t i = 0; i < 300; ++i) Add(Make(i));
  testing::TFakeDeadlineClock clock;
  nxSetTimeout(1000, true);
  int calls = 0;
  TnxRefNr ref = 0;
  const uint32_t code = ErrorCodeOf([&] {
    Engine().Iterate(
        &t_.Trans(), ref, nullptr,
        [&](void*, TnxRefNr, PnxRecordBuffer) {
          if (++calls == 10) clock.Advance(5000);
          return rirContinue;
        },
        nullptr, nullptr, false, false);
  });
  nxSetTimeout(0, true);
  EXPECT_EQ(code, nxeTimeout);
  // Caught at the next test of the deadline: the next block at the latest.
  EXPECT_LE(calls, static_cast<int>(Engine().reRecsPerBlock));
}

// Bounded random damage to record, stream and map blocks and to the
// engines' sections: every call ends, with one of the codes for damage.
TEST(StaticRecordDamageTest, RandomMutationsGiveOnlyDamageCodes) {
  TTableFixture t(TTableShape{.DataBytes = 28});
  auto& records = dynamic_cast<TnxStaticRecordEngine&>(t.Records());
  auto& streams = dynamic_cast<TnxSimpleStreamEngine&>(t.Streams());
  const uint32_t l = t.RecordLength();
  std::vector<TnxRefNr> refs;
  TRecord record(l, 5);
  for (uint32_t i = 0; i < 400; ++i) {
    TnxRefNr ref = 0;
    record[0] = static_cast<uint8_t>(i);
    records.AddRecord(t.Trans(), ref, record.data());
    refs.push_back(ref);
  }
  for (uint32_t i = 0; i < 400; i += 7) records.DeleteRecord(t.Trans(), refs[i]);
  TnxMemoryStream stream;
  std::string payload(10000, 'p');
  stream.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
  for (const char16_t* name : {u"DICT", u"one", u"two", u"three"})
    ASSERT_EQ(streams.WriteNamedStream(t.Trans(), name, stream), 0u);
  t.Commit();

  const std::set<uint32_t> allowed = {nxeCorruptHeader,  nxeCorruptFile,        nxeInvalidBlockNumber,
                                      nxeInvalidRefNr,   nxeNotADataBlock,      nxeNotAStreamBlock,
                                      nxeRecordDeleted,  nxeObjectNotFound,     nxeInvalidParameter};
  std::map<uint32_t, int> seen;
  auto run = [&](const std::function<void()>& aCall) {
    const uint32_t code = ErrorCodeOf(aCall);
    ++seen[code];
    if (code != 0) {
      EXPECT_TRUE(allowed.count(code)) << code;
    }
  };
  std::mt19937 rng(4711);
  const uint32_t usable = t.File().fiBlockSizeBytes;
  const int runs = testing::TestSize(300, 3000);
  for (int r = 0; r < runs; ++r) {
    const uint32_t used = t.Access().HeaderAccess(&t.Trans(), false)->UsedBlocks();
    const uint32_t kind = static_cast<uint32_t>(rng() % 10);
    if (kind == 0) {
      // The engines' sections.
      auto header = t.Access().HeaderAccess(&t.Trans(), true);
      const uint16_t at = rng() % 2 ? records.reHeaderSection : streams.seHeaderSection;
      header->Header()[at + rng() % (at == records.reHeaderSection ? 20 : 8)] = static_cast<uint8_t>(rng());
    } else {
      const TnxBlockNumber number = 1 + static_cast<TnxBlockNumber>(rng() % (used - 1));
      TnxBlockGuard guard;
      guard.Hold(t.Access().GetBlock(&t.Trans(), number, 0, true, guard.ReleaseMethod()));
      const int bytes = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < bytes; ++i) {
        // Mostly the block headers and the first slots or map entries.
        const uint32_t span = rng() % 4 == 0 ? usable : 64;
        guard.Block()[rng() % span] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : rng() % 8);
      }
    }
    run([&] {
      TnxRefNr ref = 0;
      records.Iterate(&t.Trans(), ref, nullptr, [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; }, nullptr,
                      nullptr, false, false);
    });
    run([&] {
      TnxRefNr ref = 0;
      PnxRecordBuffer pointer = nullptr;
      records.IterateBackward(&t.Trans(), ref, &pointer,
                              [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; }, nullptr, nullptr, false,
                              false);
    });
    run([&] {
      uint32_t recNo = 0;
      records.RecNoGet(&t.Trans(), refs[rng() % refs.size()], nullptr, recNo, rng() % 2 == 0);
      TnxRefNr ref = 0;
      records.RecNoSet(&t.Trans(), 1 + static_cast<uint32_t>(rng() % 500), ref, nullptr, rng() % 2 == 0);
    });
    run([&] {
      TRecord read(l);
      records.ReadRecord(&t.Trans(), refs[rng() % refs.size()], read.data());
    });
    run([&] {
      TnxRefNr ref = 0;
      records.ReadNextRecord(&t.Trans(), refs[rng() % refs.size()], ref, nullptr);
    });
    run([&] {
      TnxRefNr ref = 0;
      for (int i = 0; i < 3; ++i) records.AddRecord(t.Trans(), ref, record.data());
    });
    run([&] { records.DeleteRecord(t.Trans(), refs[rng() % refs.size()]); });
    run([&] {
      platform::TStringList names;
      streams.GetNamedStreamList(&t.Trans(), names);
    });
    run([&] {
      TnxMemoryStream out;
      streams.ReadNamedStream(&t.Trans(), rng() % 2 ? u"DICT" : u"two", out);
    });
    run([&] { streams.WriteNamedStream(t.Trans(), u"four", stream); });
    run([&] { streams.DeleteNamedStream(t.Trans(), u"one"); });
    t.Rollback();
  }
  // Every kind of call met damage somewhere, and the table is whole again.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen.size(), 4u);
  uint32_t count = 0;
  records.GetRecordCount(&t.Trans(), count);
  EXPECT_EQ(count, 400u - 58u);
}

// ---- the model run ----

// Random steps across commits and rollbacks against a map of reference
// number to bytes. Only this engine allocates, so chain order is the
// order of reference numbers.
TEST(StaticRecordModelTest, RandomStepsAgreeWithAMap) {
  TTableFixture t(TTableShape{.DataBytes = 28});  // L = 32: 126 slots per 4 KB block
  auto& engine = dynamic_cast<TnxStaticRecordEngine&>(t.Records());
  const uint32_t l = t.RecordLength();
  std::mt19937 rng(67);
  std::map<TnxRefNr, TRecord> committed, current;
  FilterHolder filter;
  auto matches = [&](const TRecord& r) { return r[0] % 2 == 0; };
  auto random = [&](uint32_t aBelow) { return static_cast<uint32_t>(rng() % aBelow); };
  auto pick = [&]() {
    auto it = current.begin();
    std::advance(it, random(static_cast<uint32_t>(current.size())));
    return it;
  };
  auto expected = [&](bool aBackward, TnxBaseFilterEngine* aFilter, TnxRefNr aFrom) {
    std::vector<TnxRefNr> refs;
    for (const auto& [ref, bytes] : current)
      if ((!aFilter || matches(bytes)) && (aFrom == 0 || (aBackward ? ref < aFrom : ref > aFrom))) refs.push_back(ref);
    if (aBackward) std::reverse(refs.begin(), refs.end());
    return refs;
  };
  const int steps = 100000;
  for (int step = 0; step < steps; ++step) {
    const uint32_t op = random(100);
    TRecord record(l);
    for (auto& b : record) b = static_cast<uint8_t>(rng());
    // Adds outweigh deletes until the table has a dozen blocks; then they
    // balance, so scans stay short.
    const uint32_t addBelow = current.size() < 1500 ? 40 : 28;
    if (op < addBelow || current.empty()) {
      TnxRefNr ref = 0;
      engine.AddRecord(t.Trans(), ref, record.data());
      ASSERT_EQ(current.count(ref), 0u) << step;
      current[ref] = record;
    } else if (op < 50) {
      auto it = pick();
      TRecord old(l);
      engine.UpdateRecord(t.Trans(), it->first, record.data(), old.data());
      ASSERT_EQ(old, it->second) << step;
      it->second = record;
    } else if (op < 72) {
      auto it = pick();
      engine.DeleteRecord(t.Trans(), it->first);
      current.erase(it);
    } else if (op < 80) {
      auto it = pick();
      TRecord read(l);
      engine.ReadRecord(&t.Trans(), it->first, read.data());
      ASSERT_EQ(read, it->second) << step;
    } else if (op < 84) {
      const bool backward = random(2) == 1;
      TnxBaseFilterEngine* f = random(2) ? filter.get() : nullptr;
      const TnxRefNr from = random(3) == 0 ? pick()->first : 0;
      const std::vector<TnxRefNr> want = expected(backward, f, from);
      // Stop somewhere, or run to the end.
      const size_t stopAt = random(static_cast<uint32_t>(want.size() + 2));
      std::vector<TnxRefNr> got;
      TnxRefNr ref = from;
      TRecord buffer(l);
      PnxRecordBuffer target = buffer.data();
      auto it = [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
        got.push_back(aRef);
        EXPECT_EQ(buffer, current[aRef]);
        return got.size() == stopAt ? rirStop : rirContinue;
      };
      if (backward)
        engine.IterateBackward(&t.Trans(), ref, &target, it, nullptr, f, from != 0, false);
      else
        engine.Iterate(&t.Trans(), ref, &target, it, nullptr, f, from != 0, false);
      if (stopAt >= 1 && stopAt <= want.size()) {
        ASSERT_EQ(got, std::vector<TnxRefNr>(want.begin(), want.begin() + static_cast<ptrdiff_t>(stopAt))) << step;
        ASSERT_EQ(ref, want[stopAt - 1]) << step;
      } else {
        ASSERT_EQ(got, want) << step;
        ASSERT_EQ(ref, 0) << step;
      }
    } else if (op < 92) {
      const bool flip = random(2) == 1;
      TnxBaseFilterEngine* f = random(2) ? filter.get() : nullptr;
      const std::vector<TnxRefNr> order = expected(flip, f, 0);
      auto it = pick();
      uint32_t recNo = 0;
      const uint32_t result = engine.RecNoGet(&t.Trans(), it->first, f, recNo, flip);
      const auto pos = std::find(order.begin(), order.end(), it->first);
      if (pos == order.end()) {
        ASSERT_EQ(result, nxeNoCurrentRecord) << step;
      } else {
        ASSERT_EQ(result, 0u) << step;
        ASSERT_EQ(recNo, static_cast<uint32_t>(pos - order.begin()) + 1) << step;
      }
      const uint32_t want = random(static_cast<uint32_t>(order.size() + 2)) + 1;
      TnxRefNr ref = 0;
      const uint32_t set = engine.RecNoSet(&t.Trans(), want, ref, f, flip);
      if (want <= order.size()) {
        ASSERT_EQ(set, 0u) << step;
        ASSERT_EQ(ref, order[want - 1]) << step;
      } else {
        ASSERT_EQ(set, nxeAtEndOfTable) << step;
        ASSERT_EQ(ref, 0) << step;
      }
    } else if (op < 96) {
      const bool backward = random(2) == 1;
      const TnxRefNr from = random(4) == 0 ? 0 : pick()->first;
      TnxRefNr ref = 0;
      TRecord read(l);
      if (backward)
        engine.ReadPrevRecord(&t.Trans(), from, ref, read.data());
      else
        engine.ReadNextRecord(&t.Trans(), from, ref, read.data());
      const std::vector<TnxRefNr> order = expected(backward, nullptr, from);
      ASSERT_EQ(ref, order.empty() ? 0 : order.front()) << step;
      if (ref != 0) {
        ASSERT_EQ(read, current[ref]) << step;
      }
    } else if (op < 98) {
      t.Commit();
      committed = current;
    } else {
      t.Rollback();
      current = committed;
    }
    if (step % 997 == 0) {
      uint32_t count = 0;
      engine.GetRecordCount(&t.Trans(), count);
      ASSERT_EQ(count, current.size()) << step;
    }
  }
  t.Commit();
  t.Reopen();
  auto& reopened = dynamic_cast<TnxStaticRecordEngine&>(t.Records());
  std::vector<TnxRefNr> all;
  TnxRefNr ref = 0;
  reopened.Iterate(
      nullptr, ref, nullptr,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
        all.push_back(aRef);
        return rirContinue;
      },
      nullptr, nullptr, false, false);
  std::vector<TnxRefNr> want;
  for (const auto& entry : current) want.push_back(entry.first);
  EXPECT_EQ(all, want);
}

}  // namespace
}  // namespace revurov
