#include "storage/block_heap_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using platform::LoadU16;

// Heap references and their counters.

TEST(HeapRefTest, CounterIsMaskedAndWrapsWithinItsBits) {
  const TnxHeapRef ref = nxMakeHeapRef(0x12345678u, 0xBEEF0007u);
  EXPECT_EQ(nxHeapRefBlock(ref), 0x12345678u);
  EXPECT_EQ(nxHeapRefSegment(ref), 0xBEEF0007u);
  EXPECT_EQ(ref & nxHeapRefMask(47005), nxMakeHeapRef(0x12345678u, 7));
  EXPECT_EQ(ref & nxHeapRefMask(47004), ref);
  EXPECT_EQ(nxHeapRefSegment(ref) & nxSegmentRefMask(47005), 7u);
  EXPECT_EQ(nxSegmentRefMask(47004), 0xFFFFFFFFu);

  struct Case {
    TnxSegmentRef in;
    int32_t version;
    TnxSegmentRef out;
  };
  for (const Case& c : {Case{0x00000003u, 47005, 0x00010003u}, Case{0xFFFF0003u, 47005, 0x00000003u},
                        Case{0x00010003u, 47004, 0x00010003u}, Case{0x00000003u, 30000, 0x00000003u}}) {
    EXPECT_EQ(nxIncSegmentRef(c.in, c.version), c.out) << c.in << " v" << c.version;
  }
  // The wrap never carries into the block number.
  const TnxHeapRef top = nxMakeHeapRef(9, 0xFFFF0001u);
  EXPECT_EQ(nxIncHeapRef(top, 47005), nxMakeHeapRef(9, 1));
  EXPECT_EQ(nxIncHeapRef(top, 47000), top);
}

// Raw fields of a heap block, for checks against the layout.
struct BlockView {
  const std::vector<uint8_t>& b;
  uint32_t bs;
  uint32_t Count() const { return LoadU16(b.data() + bs - 2); }
  uint32_t FreeHead() const { return LoadU16(b.data() + bs - 4); }
  uint32_t Recoverable() const { return LoadU16(b.data() + bs - 6); }
  uint32_t Entry(uint32_t s) const { return LoadU16(b.data() + bs - 6 - 2 * s); }
  uint32_t TailPointer() const { return LoadU16(b.data() + bs - 8 - 2 * Count()); }
  uint32_t TailSize() const { return TailPointer() == 0 ? 0 : LoadU16(b.data() + TailPointer()); }
};

uint32_t Unit(uint32_t aSize) { return (aSize + 5) & ~3u; }

// The packed block built the plain way, in a zeroed copy in slot order;
// the engine packs in place and must give the same bytes. A growing
// aResize only (the grown bytes read as zero).
std::vector<uint8_t> PlainPack(const std::vector<uint8_t>& aBlock, uint32_t aHeader, uint32_t aResize,
                               uint16_t aNewSize) {
  const uint32_t bs = static_cast<uint32_t>(aBlock.size());
  const BlockView v{aBlock, bs};
  uint32_t c = v.Count();
  while (c > 0 && (v.Entry(c) & 3) != 0) --c;
  std::vector<uint8_t> t(bs, 0);
  auto store = [&](uint32_t aAt, uint32_t aValue) { platform::StoreU16(t.data() + aAt, static_cast<uint16_t>(aValue)); };
  if (c == 0) {
    t = aBlock;
    for (uint32_t at : {bs - 2, bs - 4, bs - 6}) store(at, 0);
    store(bs - 8, aHeader);
    store(aHeader, bs - aHeader - 12);
    store(aHeader - 4, 0);
    return t;
  }
  std::memcpy(t.data(), aBlock.data(), aHeader);
  store(bs - 2, c);
  uint32_t w = aHeader;
  for (uint32_t s = 1; s <= c; ++s) {
    const uint32_t e = v.Entry(s);
    if ((e & 3) != 0) continue;
    const uint32_t size = LoadU16(aBlock.data() + e);
    std::memcpy(t.data() + w, aBlock.data() + e, 2 + size);
    const uint32_t newSize = s == aResize ? aNewSize : size;
    store(w, newSize);
    store(bs - 6 - 2 * s, w);
    w += Unit(newSize);
  }
  const uint32_t d = bs - 8 - 2 * c;
  if (w + 6 < d && d - w - 2 > 4) {
    store(w, d - w - 4);
    store(d, w);
  }
  uint32_t head = 0;
  for (uint32_t s = c; s >= 1; --s) {
    if ((v.Entry(s) & 3) != 0) {
      store(bs - 6 - 2 * s, (head << 2) | 2);
      head = s;
    }
  }
  store(bs - 4, head);
  return t;
}

class BlockHeapFixture {
public:
  BlockHeapFixture(uint32_t aBlockSize, uint16_t aHeaderSize, int32_t aVersion = 47005)
      : engine(1, aVersion, aHeaderSize, aBlockSize), block(aBlockSize, 0xA5) {
    engine.bbheFileName = u"heap.nx1";
    platform::StoreU32(block.data() + 4, 77);
    engine.bbheOnChanged = [this](uint8_t*, uint16_t aCount, uint16_t aFree, uint16_t aRec) {
      lastCount = aCount;
      lastFree = aFree;
      lastRecoverable = aRec;
      ++changes;
    };
    engine.InitBlock(block.data());
  }
  BlockView View() const { return BlockView{block, engine.bbheBlockSize}; }
  TnxSegmentRef Alloc(uint16_t aSize, uint8_t aFill) {
    TnxSegmentRef s = 0;
    uint8_t* p = engine.AllocSegment(block.data(), aSize, s);
    if (p != nullptr) std::memset(p, aFill, aSize);
    return s;
  }

  TnxNonfragmentingBlockHeapEngine engine;
  std::vector<uint8_t> block;
  int changes = 0;
  uint16_t lastCount = 0, lastFree = 0, lastRecoverable = 0;
};

uint32_t CodeOf(const std::function<void()>& aCall, std::u16string* aMessage = nullptr) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    if (aMessage) *aMessage = e.ErrorString();
    return e.ErrorCode();
  }
  return 0;
}

TEST(BlockHeapTest, FreshBlockGeometry) {
  struct Case {
    uint32_t bs;
    uint16_t header;
    uint16_t h;
  };
  for (const Case& c : {Case{4096, 16, 20}, Case{4096, 24, 28}, Case{8188, 16, 20}, Case{65536, 24, 28}}) {
    BlockHeapFixture f(c.bs, c.header);
    EXPECT_EQ(f.engine.bheHeaderSize, c.h);
    EXPECT_EQ(f.engine.bbheMaxSegmentSize, c.bs - c.h - 12);
    EXPECT_EQ(f.View().TailPointer(), c.h);
    EXPECT_EQ(f.engine.GetFreespace(f.block.data()), c.bs - c.h - 12);
  }
  EXPECT_EQ(BlockHeapFixture(4096, 16, 47005).engine.bbheSegmentRefMask, 0x0000FFFFu);
  // A block that cannot hold an empty heap, or a size the 16-bit layout
  // cannot address, is refused.
  for (uint32_t bs : {28u, 30u, 65540u}) {
    EXPECT_EQ(CodeOf([&] { TnxNonfragmentingBlockHeapEngine(1, 47005, 16, bs); }), nxeInvalidParameter) << bs;
  }
  EXPECT_EQ(BlockHeapFixture(4096, 16, 47004).engine.bbheSegmentRefMask, 0xFFFFFFFFu);
}

TEST(BlockHeapTest, LargestSegmentTakesTheWholeBlock) {
  BlockHeapFixture f(4096, 16);
  EXPECT_EQ(f.engine.bbheMaxSegmentSize, 4064);
  TnxSegmentRef s = 0;
  EXPECT_EQ(f.engine.AllocSegment(f.block.data(), 4065, s), nullptr);
  EXPECT_EQ(s, 0u);
  ASSERT_EQ(f.Alloc(4064, 0x11), 1u);
  EXPECT_EQ(f.View().TailPointer(), 0u);
  EXPECT_EQ(f.engine.GetFreespace(f.block.data()), 0);
  EXPECT_EQ(f.Alloc(0, 0), 0u);
  // Freed and packed, it is the empty block again; a full one fits once more.
  f.engine.FreeSegment(f.block.data(), 1);
  f.engine.CompactBlock(f.block.data(), 0, 0);
  EXPECT_EQ(f.View().Count(), 0u);
  EXPECT_EQ(f.View().TailSize(), 4064u);
  EXPECT_EQ(f.Alloc(4064, 0x22), 1u);
  // Compacting a full block keeps the segment whole.
  f.engine.CompactBlock(f.block.data(), 0, 0);
  uint16_t size = 0;
  const uint8_t* p = f.engine.GetSegment(f.block.data(), 1, size);
  ASSERT_EQ(size, 4064);
  EXPECT_TRUE(std::all_of(p, p + size, [](uint8_t v) { return v == 0x22; }));
}

TEST(BlockHeapTest, FreedSlotsReturnLowestFirstOnlyAfterCompaction) {
  BlockHeapFixture f(4096, 16);
  for (int i = 1; i <= 6; ++i) ASSERT_EQ(f.Alloc(10, static_cast<uint8_t>(i)), static_cast<uint32_t>(i));
  f.engine.FreeSegment(f.block.data(), 4);
  f.engine.FreeSegment(f.block.data(), 2);
  EXPECT_EQ(f.Alloc(10, 7), 7u);  // deleted slots wait for a compaction
  f.engine.CompactBlock(f.block.data(), 0, 0);
  EXPECT_EQ(f.View().FreeHead(), 2u);
  EXPECT_EQ(f.Alloc(10, 8), 2u);
  EXPECT_EQ(f.Alloc(10, 9), 4u);
  EXPECT_EQ(f.Alloc(10, 10), 8u);
  uint16_t size = 0;
  for (auto [slot, fill] : std::map<uint32_t, uint8_t>{{1, 1}, {2, 8}, {3, 3}, {4, 9}, {5, 5}, {6, 6}, {7, 7}}) {
    const uint8_t* p = f.engine.GetSegment(f.block.data(), slot, size);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(p[9], fill) << slot;
  }
}

TEST(BlockHeapTest, CompactionShrinksTheDirectory) {
  BlockHeapFixture f(4096, 24);
  for (int i = 1; i <= 5; ++i) f.Alloc(30, 1);
  f.engine.FreeSegment(f.block.data(), 5);
  f.engine.FreeSegment(f.block.data(), 4);
  f.engine.FreeSegment(f.block.data(), 2);
  f.engine.CompactBlock(f.block.data(), 0, 0);
  EXPECT_EQ(f.View().Count(), 3u);
  EXPECT_EQ(f.View().FreeHead(), 2u);
  EXPECT_EQ(f.View().Entry(2), 2u);  // chain end, free
  // Tail: two 32-byte units after H = 28, directory of three slots.
  EXPECT_EQ(f.engine.GetFreespace(f.block.data()), 4096 - 8 - 6 - (28 + 64) - 4);
  f.engine.FreeSegment(f.block.data(), 1);
  f.engine.FreeSegment(f.block.data(), 3);
  f.engine.CompactBlock(f.block.data(), 0, 0);
  const BlockView v = f.View();
  EXPECT_EQ(v.Count(), 0u);
  EXPECT_EQ(v.FreeHead(), 0u);
  EXPECT_EQ(v.Recoverable(), 0u);
  EXPECT_EQ(v.TailPointer(), 28u);
  EXPECT_EQ(v.TailSize(), 4096u - 28u - 12u);
  EXPECT_EQ(LoadU16(f.block.data() + 24), 0);
}

// Packing copies only from the first segment out of place on, by runs of
// neighbours. Reused low slots cut from the tail, segments that must move
// up, shrinks in place (old bytes in the padding) and a grown segment must
// all come out as the plain packing's bytes.
TEST(BlockHeapTest, PackingGivesThePlainPackingOnEveryLayout) {
  std::mt19937 rng(141);
  const int steps = testing::TestSize(20000, 200000);
  for (const uint32_t bs : {4096u, 8192u}) {
    for (const uint16_t header : {uint16_t{16}, uint16_t{24}}) {
      SCOPED_TRACE("block " + std::to_string(bs) + " header " + std::to_string(header));
      BlockHeapFixture f(bs, header);
      const uint32_t h = f.engine.bheHeaderSize;
      std::map<uint32_t, uint16_t> live;  // slot -> size
      auto any = [&] { return std::next(live.begin(), static_cast<long>(rng() % live.size())); };
      int packings = 0, moved = 0;
      for (int step = 0; step < steps; ++step) {
        const uint32_t op = rng() % 20;
        if (op < 9 || live.empty()) {
          const uint16_t size = static_cast<uint16_t>(rng() % 400);
          const TnxSegmentRef s = f.Alloc(size, static_cast<uint8_t>(rng()));
          if (s != 0) {
            live[s] = size;
          } else {
            const auto it = any();
            f.engine.FreeSegment(f.block.data(), it->first);
            live.erase(it);
          }
        } else if (op < 14) {
          const auto it = any();
          f.engine.FreeSegment(f.block.data(), it->first);
          live.erase(it);
        } else if (op < 18) {
          const auto it = any();
          const uint16_t n = static_cast<uint16_t>(rng() % 2 ? rng() % (it->second + 1u) : it->second + rng() % 200);
          uint8_t* p = f.engine.ReAllocSegment(f.block.data(), n, it->first);
          if (p == nullptr) continue;
          if (n > it->second) std::memset(p + it->second, static_cast<int>(rng() & 0xFF), n - it->second);
          it->second = n;
        } else {
          uint32_t resize = 0;
          uint16_t n = 0;
          if (!live.empty() && rng() % 3 == 0) {
            const auto it = any();
            const uint32_t c = live.rbegin()->first;
            uint32_t used = 0;
            for (auto& [s, size] : live) used += Unit(size);
            const int64_t room = int64_t{bs} - 8 - 2 * c - h - used - 3;
            if (room > 0) {
              resize = it->first;
              n = static_cast<uint16_t>(it->second + rng() % (std::min<int64_t>(room, 300) + 1));
              it->second = n;
            }
          }
          const std::vector<uint8_t> before = f.block;
          const std::vector<uint8_t> expected = PlainPack(f.block, h, resize, n);
          f.engine.CompactBlock(f.block.data(), resize, n);
          ASSERT_EQ(f.block, expected) << "step " << step;
          ++packings;
          if (std::memcmp(before.data() + h, expected.data() + h, bs - h) != 0) ++moved;
        }
      }
      // The walk must have packed many layouts that changed something.
      EXPECT_GT(moved, steps / 40);
      EXPECT_GE(packings, moved);
    }
  }
}

TEST(BlockHeapTest, WalksVisitLiveSlotsInOrder) {
  BlockHeapFixture f(4096, 16);
  for (int i = 1; i <= 6; ++i) f.Alloc(static_cast<uint16_t>(i), 0);
  f.engine.FreeSegment(f.block.data(), 2);
  f.engine.FreeSegment(f.block.data(), 6);
  f.engine.FreeSegment(f.block.data(), 4);
  f.engine.CompactBlock(f.block.data(), 0, 0);  // 2 and 4 free, 6 gone
  f.engine.FreeSegment(f.block.data(), 3);      // deleted, not yet free
  std::vector<uint32_t> forward, backward;
  uint16_t size = 0;
  TnxSegmentRef s = 0;
  while (f.engine.GetNextSegment(f.block.data(), s, size) != nullptr) forward.push_back(s);
  s = 0xFFFFFFFFu;
  while (f.engine.GetPrevSegment(f.block.data(), s, size) != nullptr) backward.push_back(s);
  EXPECT_EQ(forward, (std::vector<uint32_t>{1, 5}));
  EXPECT_EQ(backward, (std::vector<uint32_t>{5, 1}));
}

TEST(BlockHeapTest, ResizeInPlaceAndRecoverableCount) {
  BlockHeapFixture f(4096, 16);
  f.Alloc(100, 1);  // unit 104
  f.Alloc(101, 2);  // unit 104: 3 bytes of padding
  const std::vector<uint8_t> before = f.block;
  uint8_t* p = f.engine.ReAllocSegment(f.block.data(), 102, 2);
  ASSERT_NE(p, nullptr);
  // Only the size word changed.
  std::vector<uint8_t> expect = before;
  platform::StoreU16(expect.data() + 20 + 104, 102);
  EXPECT_EQ(f.block, expect);
  // Shrinking counts whole units only and moves nothing.
  ASSERT_EQ(f.engine.ReAllocSegment(f.block.data(), 40, 1), f.block.data() + 22);
  EXPECT_EQ(f.View().Recoverable(), 104u - 44u);
  EXPECT_EQ(f.lastRecoverable, 60 - 8);
  EXPECT_EQ(f.engine.GetFreespace(f.block.data()), f.View().TailSize() + 60 - 8);
  f.engine.ReAllocSegment(f.block.data(), 39, 1);  // same unit
  EXPECT_EQ(f.View().Recoverable(), 60u);
  // Growing the last segment into the tail keeps it where it is.
  const uint32_t tail = f.View().TailSize();
  uint8_t* q = f.engine.ReAllocSegment(f.block.data(), 300, 2);
  EXPECT_EQ(q, f.block.data() + 20 + 104 + 2);
  EXPECT_EQ(f.View().TailSize(), tail - (304 - 104));
  EXPECT_EQ(q[0], 2);
  // Growing a segment in the middle moves it into the tail.
  uint8_t* m = f.engine.ReAllocSegment(f.block.data(), 200, 1);
  EXPECT_EQ(m, f.block.data() + 20 + 104 + 304 + 2);
  EXPECT_EQ(m[38], 1);
  EXPECT_EQ(f.View().Recoverable(), 60u + 44u);  // the shrunk unit is left behind
}

TEST(BlockHeapTest, BadReferencesAreRefusedAndChangeNothing) {
  BlockHeapFixture f(4096, 16);
  f.Alloc(8, 1);
  f.Alloc(8, 2);
  f.Alloc(8, 3);
  f.engine.FreeSegment(f.block.data(), 3);
  f.engine.CompactBlock(f.block.data(), 0, 0);  // 3 leaves the directory
  f.Alloc(8, 3);                                // slot 3 again
  f.engine.FreeSegment(f.block.data(), 1);
  f.engine.FreeSegment(f.block.data(), 3);
  f.engine.CompactBlock(f.block.data(), 0, 0);  // 1 free, 3 gone
  f.Alloc(8, 4);                                // takes 1
  f.Alloc(8, 5);                                // 3
  f.engine.FreeSegment(f.block.data(), 3);      // 3 deleted
  f.Alloc(8, 6);                                // 4
  f.engine.FreeSegment(f.block.data(), 4);
  f.engine.CompactBlock(f.block.data(), 0, 0);  // 3 free, 4 gone
  ASSERT_EQ(f.View().Count(), 2u);
  f.Alloc(8, 7);  // 3
  f.engine.FreeSegment(f.block.data(), 3);
  const std::vector<uint8_t> before = f.block;
  struct Case {
    TnxSegmentRef ref;
    uint32_t code;
    std::u16string getText;
  };
  uint16_t size = 0;
  for (const Case& c : {Case{0, nxeInvalidSegmentNumber, u"invalid segment number (0)"},
                        Case{4, nxeInvalidSegmentNumber, u"invalid segment number (4)"},
                        Case{0x00010002u, nxeInvalidSegmentNumber, u"invalid segment number (65538)"},
                        Case{3, nxeSegmentHasBeenDeleted, u"segment deleted (3)"}}) {
    std::u16string text;
    EXPECT_EQ(CodeOf([&] { f.engine.GetSegment(f.block.data(), c.ref, size); }, &text), c.code);
    EXPECT_EQ(text, c.getText);
    EXPECT_EQ(CodeOf([&] { f.engine.ReAllocSegment(f.block.data(), 9, c.ref); }), c.code);
    EXPECT_EQ(CodeOf([&] { f.engine.FreeSegment(f.block.data(), c.ref); }, &text), c.code);
    if (c.code == nxeSegmentHasBeenDeleted) {
      EXPECT_EQ(text, u"segment already deleted (3)");
    }
    EXPECT_EQ(f.block, before);
  }
}

// Damage to the block layout: each gives 8962 and leaves the block alone.
TEST(BlockHeapTest, DamagedBlocksGive8962) {
  struct Case {
    const char* what;
    uint32_t offset;  // from the block end when fromEnd
    bool fromEnd;
    uint16_t value;
  };
  const uint32_t bs = 4096;
  for (const Case& c : {Case{"slot count over the data area", 2, true, 2040},
                        Case{"live count above C", 16, false, 9},
                        Case{"free head above C", 4, true, 5},
                        Case{"recoverable beyond the area", 6, true, 4070},
                        Case{"entry inside the header", 8, true, 8},
                        Case{"entry in the directory", 8, true, 4084},
                        Case{"size word past the directory", 20, false, 4070},
                        Case{"tail pointer unaligned", 12, true, 102},
                        Case{"tail size past the directory", 12, true, 40}}) {
    BlockHeapFixture f(bs, 16);
    f.Alloc(30, 1);  // slot 1 at 20
    f.Alloc(30, 2);  // slot 2 at 52; tail at 84
    if (std::string(c.what) == "tail size past the directory") {
      platform::StoreU16(f.block.data() + 84, 4000);
    } else {
      platform::StoreU16(f.block.data() + (c.fromEnd ? bs - c.offset : c.offset), c.value);
    }
    const std::vector<uint8_t> before = f.block;
    std::u16string text;
    uint16_t size = 0;
    TnxSegmentRef s = 0;
    const uint32_t code = CodeOf(
        [&] {
          f.engine.GetSegment(f.block.data(), 1, size);
          f.engine.GetSegment(f.block.data(), 2, size);
          f.engine.AllocSegment(f.block.data(), 10, s);
          f.engine.CompactBlock(f.block.data(), 0, 0);
        },
        &text);
    EXPECT_EQ(code, nxeCorruptFile) << c.what;
    EXPECT_EQ(text, u"Damaged heap block [heap.nx1, block 77]") << c.what;
    EXPECT_EQ(f.block, before) << c.what;
  }
  // A free-slot chain that loops is found by the compaction.
  BlockHeapFixture f(bs, 16);
  for (int i = 0; i < 4; ++i) f.Alloc(8, 1);
  f.engine.FreeSegment(f.block.data(), 1);
  f.engine.FreeSegment(f.block.data(), 2);
  f.engine.CompactBlock(f.block.data(), 0, 0);
  platform::StoreU16(f.block.data() + bs - 6 - 2 * 2, (1 << 2) | 2);  // 2 -> 1 -> 2
  const std::vector<uint8_t> before = f.block;
  EXPECT_EQ(CodeOf([&] { f.engine.CompactBlock(f.block.data(), 0, 0); }), nxeCorruptFile);
  EXPECT_EQ(f.block, before);
}

// The model: slot -> bytes, against random operations on every usable size.
TEST(BlockHeapModelTest, ContentsAndSlotsSurviveEveryOperation) {
  const std::vector<uint32_t> sizes{4092, 4096, 8188, 8192, 16380, 16384, 32764, 32768, 65532, 65536};
  const int stepsPerConfig = testing::TestSize(3000, 50000);
  std::mt19937 rng(69);
  for (uint32_t bs : sizes) {
    for (uint16_t header : {uint16_t{16}, uint16_t{24}}) {
      SCOPED_TRACE("block " + std::to_string(bs) + " header " + std::to_string(header));
      BlockHeapFixture f(bs, header);
      const uint32_t h = f.engine.bheHeaderSize;
      std::map<uint32_t, std::vector<uint8_t>> model;
      auto randomSize = [&]() -> uint16_t {
        const uint32_t r = rng() % 100;
        if (r < 85) return static_cast<uint16_t>(rng() % 401);
        if (r < 97) return static_cast<uint16_t>(rng() % (std::min<uint32_t>(f.engine.bbheMaxSegmentSize, 4064) + 1));
        return static_cast<uint16_t>(f.engine.bbheMaxSegmentSize - rng() % 8);
      };
      auto fill = [&](uint8_t* p, std::vector<uint8_t>& bytes, size_t from) {
        for (size_t i = from; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(rng());
        if (bytes.size() > from) std::memcpy(p + from, bytes.data() + from, bytes.size() - from);
      };
      auto check = [&](uint32_t s) {
        uint16_t size = 0;
        const uint8_t* p = f.engine.GetSegment(f.block.data(), s, size);
        ASSERT_EQ(size, model[s].size()) << "slot " << s;
        if (size > 0) {
          ASSERT_EQ(std::memcmp(p, model[s].data(), size), 0) << "slot " << s;
        }
      };
      auto checkAll = [&] {
        for (auto& [s, bytes] : model) check(s);
        ASSERT_EQ(LoadU16(f.block.data() + h - 4), model.size());
      };
      // After a packing, the layout follows from the model alone.
      auto compactAndCheck = [&] {
        const std::vector<uint8_t> expected = PlainPack(f.block, h, 0, 0);
        f.engine.CompactBlock(f.block.data(), 0, 0);
        ASSERT_EQ(f.block, expected);
        const BlockView v = f.View();
        const uint32_t c = model.empty() ? 0 : model.rbegin()->first;
        ASSERT_EQ(v.Count(), c);
        ASSERT_EQ(v.Recoverable(), 0u);
        uint32_t w = h;
        for (auto& [s, bytes] : model) w += Unit(static_cast<uint32_t>(bytes.size()));
        const uint32_t d = bs - 8 - 2 * c;
        const uint32_t tail = (w + 6 >= d || d - w - 2 <= 4) ? 0 : d - w - 4;
        ASSERT_EQ(f.engine.GetFreespace(f.block.data()), c == 0 ? bs - h - 12 : tail);
        std::vector<uint32_t> chain, holes;
        for (uint32_t s = v.FreeHead(), n = 0; s != 0 && n <= c; s = v.Entry(s) >> 2, ++n) chain.push_back(s);
        for (uint32_t s = 1; s <= c; ++s)
          if (!model.count(s)) holes.push_back(s);
        ASSERT_EQ(chain, holes);
        checkAll();
      };
      for (int step = 0; step < stepsPerConfig; ++step) {
        const uint32_t op = rng() % 100;
        if (op < 45 || model.empty()) {
          const uint16_t size = randomSize();
          const BlockView v = f.View();
          const uint32_t head = v.FreeHead(), count = v.Count();
          uint32_t lowestHole = 0;
          for (uint32_t s = 1; s <= count && lowestHole == 0; ++s)
            if (!model.count(s)) lowestHole = s;
          TnxSegmentRef s = 0;
          uint8_t* p = f.engine.AllocSegment(f.block.data(), size, s);
          if (p == nullptr) {
            ASSERT_EQ(s, 0u);
            // One packing must decide: room after it means success.
            compactAndCheck();
            const bool fits = f.View().TailPointer() != 0 && f.View().TailSize() >= size;
            p = f.engine.AllocSegment(f.block.data(), size, s);
            ASSERT_EQ(p != nullptr, fits);
            if (p == nullptr) continue;
          } else {
            const uint32_t maxLive = model.empty() ? 0 : model.rbegin()->first;
            ASSERT_TRUE(s == head || s == count + 1 || s == lowestHole || s == maxLive + 1) << s;
          }
          ASSERT_EQ(model.count(s), 0u);
          auto& bytes = model[s];
          bytes.resize(size);
          fill(p, bytes, 0);
          ASSERT_EQ(f.lastCount, model.size());
        } else if (op < 70) {
          auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
          const uint32_t s = it->first;
          const uint32_t before = f.View().Recoverable();
          uint32_t unit = Unit(static_cast<uint32_t>(it->second.size()));
          const uint32_t p = f.View().Entry(s);
          if (p + unit > bs - 8 - 2 * f.View().Count()) unit -= 4;
          f.engine.FreeSegment(f.block.data(), s);
          model.erase(it);
          const uint32_t rec = f.View().Recoverable();
          ASSERT_EQ(rec, before + unit);
          ASSERT_EQ(f.lastRecoverable, rec - std::min(8u, rec));
          ASSERT_EQ(f.engine.GetFreespace(f.block.data()), f.View().TailSize() + rec - std::min(8u, rec));
        } else if (op < 96) {
          auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
          const uint32_t s = it->first;
          const size_t old = it->second.size();
          uint16_t n;
          switch (rng() % 3) {
            case 0: n = static_cast<uint16_t>(rng() % (old + 1)); break;
            case 1: n = static_cast<uint16_t>(old + rng() % 8); break;
            default: n = randomSize(); break;
          }
          const std::vector<uint8_t> before = f.block;
          uint8_t* p = f.engine.ReAllocSegment(f.block.data(), n, s);
          if (p == nullptr) {
            ASSERT_EQ(f.block, before);
            continue;
          }
          if (std::min<size_t>(old, n) > 0) {
            ASSERT_EQ(std::memcmp(p, it->second.data(), std::min<size_t>(old, n)), 0);
          }
          it->second.resize(n);
          fill(p, it->second, std::min<size_t>(old, n));
          check(s);
        } else if (op < 98) {
          compactAndCheck();
        } else {
          // Packing with a segment grown, as a growth without room does.
          auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
          const uint32_t c = model.rbegin()->first;
          uint32_t used = 0;
          for (auto& [s, bytes] : model) used += Unit(static_cast<uint32_t>(bytes.size()));
          // Rounding the grown unit up may take 3 bytes more.
          const uint32_t room = std::max<int64_t>(int64_t{bs} - 8 - 2 * c - h - used - 3, 0);
          const uint32_t old = static_cast<uint32_t>(it->second.size());
          const uint16_t n = static_cast<uint16_t>(old + rng() % (std::min<uint32_t>(room, 600) + 1));
          const std::vector<uint8_t> expected = PlainPack(f.block, h, it->first, n);
          f.engine.CompactBlock(f.block.data(), it->first, n);
          ASSERT_EQ(f.block, expected);
          it->second.resize(n, 0);
          checkAll();
        }
        if (step % 64 == 0) checkAll();
      }
      checkAll();
    }
  }
}

// Damaged blocks under every operation: only the three codes, never a
// read or write outside the block (run under the sanitizers).
TEST(BlockHeapDamageTest, MutatedBlocksGiveOnlyTheirCodes) {
  const int rounds = testing::TestSize(3000, 30000);
  std::mt19937 rng(4242);
  std::map<uint32_t, int> seen;
  for (int round = 0; round < rounds; ++round) {
    const uint32_t bs = round % 2 ? 4096 : 8188;
    BlockHeapFixture f(bs, round % 3 ? 16 : 24);
    const int fills = static_cast<int>(rng() % 40);
    std::vector<TnxSegmentRef> slots;
    for (int i = 0; i < fills; ++i) {
      const TnxSegmentRef s = f.Alloc(static_cast<uint16_t>(rng() % 300), 0x5A);
      if (s) slots.push_back(s);
      if (!slots.empty() && rng() % 3 == 0) {
        TnxSegmentRef victim = slots[rng() % slots.size()];
        if (CodeOf([&] { f.engine.FreeSegment(f.block.data(), victim); }) == 0)
          slots.erase(std::find(slots.begin(), slots.end(), victim));
      }
      if (rng() % 10 == 0) f.engine.CompactBlock(f.block.data(), 0, 0);
    }
    const int hits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < hits; ++i) {
      // Mostly the directory end and the header, where the layout lives.
      const uint32_t r = rng() % 3;
      const uint32_t at = r == 0 ? bs - 1 - rng() % 96 : r == 1 ? rng() % 64 : rng() % bs;
      f.block[at] = static_cast<uint8_t>(rng());
    }
    for (int op = 0; op < 12; ++op) {
      uint16_t size = 0;
      TnxSegmentRef s = rng() % 8 == 0 ? rng() : rng() % 48;
      const uint32_t code = CodeOf([&] {
        switch (rng() % 8) {
          case 0: f.engine.GetSegment(f.block.data(), s, size); break;
          case 1: f.engine.AllocSegment(f.block.data(), static_cast<uint16_t>(rng() % 600), s); break;
          case 2: f.engine.ReAllocSegment(f.block.data(), static_cast<uint16_t>(rng() % 1200), s); break;
          case 3: f.engine.FreeSegment(f.block.data(), s); break;
          case 4: f.engine.CompactBlock(f.block.data(), rng() % 2 ? s : 0, static_cast<uint16_t>(rng() % 64)); break;
          case 5: while (f.engine.GetNextSegment(f.block.data(), s, size) != nullptr) {} break;
          case 6: s = 0xFFFFFFFFu; while (f.engine.GetPrevSegment(f.block.data(), s, size) != nullptr) {} break;
          default: f.engine.GetFreespace(f.block.data()); break;
        }
      });
      ASSERT_TRUE(code == 0 || code == nxeInvalidSegmentNumber || code == nxeSegmentHasBeenDeleted ||
                  code == nxeCorruptFile)
          << code;
      ++seen[code];
    }
  }
  // The run reaches every outcome, so it is not passing by doing nothing.
  for (uint32_t code : {0u, nxeInvalidSegmentNumber, nxeSegmentHasBeenDeleted, nxeCorruptFile})
    EXPECT_GT(seen[code], 0) << code;
}

}  // namespace
}  // namespace revurov
