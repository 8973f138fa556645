#include "storage/segmented_blob_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_heap_engine.h"
#include "storage/transactions.h"
#include "support/blob_table.h"
#include "support/string_stream.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TBlobTable;

class SegmentedBlobTest : public ::testing::Test {
protected:
  explicit SegmentedBlobTest(int32_t aVersion = 0) : b_(u"nx1xDefault", 96, aVersion) {}

  TnxSegmentedBlobEngine& Engine() { return static_cast<TnxSegmentedBlobEngine&>(b_.Engine()); }
  // The root segment's bytes as the heap keeps them.
  std::vector<uint8_t> Root(TnxBlobNr aNr) { return Segment(aNr & Engine().bbeBlobNrMask); }
  std::vector<uint8_t> Segment(TnxHeapRef aRef) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    const uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), aRef, false, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    return std::vector<uint8_t>(p, p + size);
  }
  // The room the heap reports in the block that holds a BLOB's root.
  uint16_t FreeSpaceOfBlockOf(TnxBlobNr aNr) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    Engine().beHeapEngine->GetSegment(&b_.Trans(), aNr & Engine().bbeBlobNrMask, false, size, block,
                                      guard.ReleaseMethod());
    guard.Hold(block);
    return Engine().beHeapEngine->bheBlockHeapEngine->GetFreespace(block);
  }
  uint16_t MaxSegment() { return Engine().beHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize; }
  static std::string Bytes(size_t aLen, char aSeed = 'a') {
    std::string s(aLen, '\0');
    for (size_t i = 0; i < aLen; ++i) s[i] = static_cast<char>(aSeed + i * 7 % 53);
    return s;
  }

  // Bytes whose every piece differs from every other: a read from the
  // wrong place shows.
  static std::string Noise(size_t aLen, uint32_t aSeed) {
    std::mt19937 random(aSeed);
    std::string s(aLen, '\0');
    for (char& c : s) c = static_cast<char>(random());
    return s;
  }

  TBlobTable b_;
};

TEST_F(SegmentedBlobTest, SmallBlobsStayInTheRoot) {
  const TnxBlobNr nr = b_.Add();
  std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], nxbstEmpty);
  EXPECT_EQ(b_.Length(nr), 0u);
  EXPECT_EQ(b_.ReadRange(nr, 0, 100), "");

  b_.Write(nr, 0, "hello");
  root = Root(nr);
  ASSERT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], nxbstShort);
  EXPECT_EQ(root[12], 5);
  EXPECT_EQ(b_.ReadAll(nr), "hello");

  b_.Write(nr, 5, " world!");
  root = Root(nr);
  EXPECT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], nxbstData);
  EXPECT_EQ(b_.ReadAll(nr), "hello world!");
  EXPECT_EQ(b_.ReadRange(nr, 6, 3), "wor");
  EXPECT_EQ(b_.ReadRange(nr, 12, 3), "");

  b_.Write(nr, 12, Bytes(100));
  EXPECT_EQ(Root(nr).size(), 113u);
  EXPECT_EQ(b_.ReadAll(nr), "hello world!" + Bytes(100));
}

TEST_F(SegmentedBlobTest, OffsetsPastTheLengthAndEndsPast32BitsAreRefused) {
  const TnxBlobNr nr = b_.Add();
  b_.Write(nr, 0, "abc");
  EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 4, "x"); }), nxeInvalidBlobOffset);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Write(b_.Trans(), nr, 3, 0xFFFFFFFEu, "x"); }), nxeBlobTooLarge);
  b_.Write(nr, 3, "d");
  EXPECT_EQ(b_.ReadAll(nr), "abcd");
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Truncate(b_.Trans(), nr, 5); }), nxeInvalidBlobLength);
}

TEST_F(SegmentedBlobTest, ALargeBlobBecomesAListAndComesBackInline) {
  const TnxBlobNr nr = b_.Add();
  const std::string bytes = Bytes(5 * b_.UsableBlockSize() + 17);
  b_.Write(nr, 0, bytes);
  std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root[0], nxbstList);
  ASSERT_EQ((root.size() - 1) % 12, 0u);
  EXPECT_EQ(platform::LoadU32(root.data() + root.size() - 4), bytes.size());
  EXPECT_EQ(b_.Length(nr), bytes.size());
  EXPECT_EQ(b_.ReadAll(nr), bytes);
  for (uint32_t offset : {0u, 1u, 4000u, 4064u, 4065u, 12000u, static_cast<uint32_t>(bytes.size() - 1)})
    EXPECT_EQ(b_.ReadRange(nr, offset, 300), bytes.substr(offset, 300)) << offset;

  // Overwrite across leaves, then append, then cut back.
  const std::string middle = Bytes(9000, 'K');
  b_.Write(nr, 3000, middle);
  std::string expected = bytes;
  expected.replace(3000, middle.size(), middle);
  b_.Write(nr, static_cast<uint32_t>(expected.size()), "tail");
  expected += "tail";
  EXPECT_EQ(b_.ReadAll(nr), expected);

  Engine().Truncate(b_.Trans(), nr, 5000);
  EXPECT_EQ(b_.ReadAll(nr), expected.substr(0, 5000));
  Engine().Truncate(b_.Trans(), nr, 11);
  root = Root(nr);
  EXPECT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], nxbstShort);
  EXPECT_EQ(root[12], 11);
  EXPECT_EQ(b_.ReadAll(nr), expected.substr(0, 11));
  Engine().Truncate(b_.Trans(), nr, 0);
  EXPECT_EQ(Root(nr)[0], nxbstEmpty);
  EXPECT_TRUE(Engine().FreeBlob(&b_.Trans(), nr));
}

TEST_F(SegmentedBlobTest, ABlobLargerThanTheRootsBlockGrowsDeeper) {
  const TnxBlobNr nr = b_.Add();
  std::string expected;
  // Appends in pieces: the root list outgrows its block and goes a level down.
  for (int i = 0; i < 120; ++i) {
    const std::string piece = Bytes(4000 + i, static_cast<char>('A' + i % 20));
    b_.Write(nr, static_cast<uint32_t>(expected.size()), piece);
    expected += piece;
  }
  EXPECT_EQ(b_.ReadAll(nr), expected);
  b_.Commit();
  b_.Reopen();
  EXPECT_EQ(b_.ReadAll(nr), expected);
  Engine().DeleteBlob(b_.Trans(), nr);
  b_.Commit();
}

TEST_F(SegmentedBlobTest, FileBlobsAndLinksEmptyOnlyToNothing) {
  TnxBlobNr file = 0;
  TnxBlobNr link = 0;
  Engine().AddFileBlob(b_.Trans(), u"a.bin", file);
  Engine().AddBlobLink(b_.Trans(), u"T", 0x1234567890ll, link);
  std::u16string name;
  TnxBlobNr source = 0;
  EXPECT_TRUE(Engine().IsBlobLink(&b_.Trans(), link, name, source));
  EXPECT_EQ(name, u"T");
  EXPECT_EQ(source, 0x1234567890ll);
  EXPECT_GE(Root(link).size(), 13u);
  EXPECT_FALSE(Engine().IsBlobLink(&b_.Trans(), file, name, source));
  EXPECT_EQ(name, u"");
  for (TnxBlobNr nr : {file, link}) {
    EXPECT_EQ(ErrorCodeOf([&] { Engine().Truncate(b_.Trans(), nr, 1); }), nxeReadOnlyField);
    EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 0, "x"); }), nxeReadOnlyField);
    EXPECT_FALSE(Engine().FreeBlob(&b_.Trans(), nr));
    Engine().Truncate(b_.Trans(), nr, 0);
    EXPECT_EQ(Root(nr)[0], nxbstEmpty);
    EXPECT_FALSE(Engine().IsFileBlob(&b_.Trans(), nr, name));
    EXPECT_EQ(b_.Length(nr), 0u);
  }
}

TEST_F(SegmentedBlobTest, LinksReadThroughTheCallersMethods) {
  TnxBlobNr link = 0;
  Engine().AddBlobLink(b_.Trans(), u"Orders", 42, link);
  uint32_t length = 0;
  EXPECT_EQ(Engine().GetBlobLength(&b_.Trans(), link,
                                   [](const std::u16string& aTable, TnxBlobNr aNr, uint32_t& aLength) {
                                     aLength = aTable == u"Orders" && aNr == 42 ? 9 : 0;
                                     return 0u;
                                   },
                                   length),
            0u);
  EXPECT_EQ(length, 9u);
  testing::TStringStream stream;
  EXPECT_EQ(Engine().Read(&b_.Trans(), link, 2, 3,
                          [](const std::u16string&, TnxBlobNr, uint32_t aOffset, uint32_t aLen,
                             platform::TStream& aStream) {
                            aStream.WriteBuffer("0123456789" + aOffset, aLen);
                            return 77u;
                          },
                          stream),
            77u);
  EXPECT_EQ(stream.Bytes, "234");
}

TEST_F(SegmentedBlobTest, NamesLongerThanASegmentAreRefusedBeforeAnythingIsTaken) {
  TnxBlobNr nr = 0;
  const std::u16string longName(MaxSegment(), u'n');
  EXPECT_EQ(ErrorCodeOf([&] { Engine().AddFileBlob(b_.Trans(), longName, nr); }), nxeInvalidParameter);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().AddBlobLink(b_.Trans(), longName, 1, nr); }), nxeInvalidParameter);
  EXPECT_EQ(nr, 0);
}

TEST_F(SegmentedBlobTest, FreeBlobFreesOnlyBlobsNeverWritten) {
  const TnxBlobNr empty = b_.Add();
  const TnxBlobNr written = b_.Add();
  b_.Write(written, 0, "x");
  EXPECT_FALSE(Engine().FreeBlob(nullptr, empty));
  EXPECT_FALSE(Engine().FreeBlob(&b_.Trans(), written));
  EXPECT_TRUE(Engine().FreeBlob(&b_.Trans(), empty));
  EXPECT_EQ(ErrorCodeOf([&] { Root(empty); }), nxeSegmentHasBeenDeleted);
  EXPECT_EQ(b_.ReadAll(written), "x");
}

TEST_F(SegmentedBlobTest, ARaisedNumberReachesTheSameBlob) {
  TnxBlobNr nr = b_.Add();
  b_.Write(nr, 0, "counted");
  const TnxBlobNr before = nr;
  Engine().IncBlobNr(nr);
  EXPECT_NE(nr, before);
  EXPECT_EQ(nr & Engine().bbeBlobNrMask, before & Engine().bbeBlobNrMask);
  EXPECT_EQ(b_.ReadAll(nr), "counted");
}

class OldSegmentedBlobTest : public SegmentedBlobTest {
protected:
  OldSegmentedBlobTest() : SegmentedBlobTest(29000) {}
};

TEST_F(OldSegmentedBlobTest, OldFilesKeepNumbersAndWriteEightBitNames) {
  TnxBlobNr nr = b_.Add();
  const TnxBlobNr before = nr;
  Engine().IncBlobNr(nr);
  EXPECT_EQ(nr, before);
  EXPECT_EQ(Engine().bbeBlobNrMask, -1);
  TnxBlobNr file = 0;
  Engine().AddFileBlob(b_.Trans(), u"Bild\u00e4.bin", file);
  const std::vector<uint8_t> root = Root(file);
  EXPECT_EQ(root[0], nxbstFileBlob8);
  EXPECT_EQ(root.size(), 13u);
  std::u16string name;
  EXPECT_TRUE(Engine().IsFileBlob(&b_.Trans(), file, name));
  EXPECT_EQ(name, u"Bild\u00e4.bin");
  TnxBlobNr link = 0;
  Engine().AddBlobLink(b_.Trans(), u"Kunden", 5, link);
  EXPECT_EQ(Root(link)[0], nxbstLink8);
  TnxBlobNr source = 0;
  EXPECT_TRUE(Engine().IsBlobLink(&b_.Trans(), link, name, source));
  EXPECT_EQ(name, u"Kunden");
  EXPECT_EQ(source, 5);
}

// A list whose entry names itself would be followed for ever.
TEST_F(SegmentedBlobTest, ATreeThatLoopsIsDamageNotAHang) {
  const TnxBlobNr nr = b_.Add();
  b_.Write(nr, 0, Bytes(3 * b_.UsableBlockSize()));
  b_.Commit();
  const std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root[0], nxbstList);
  const TnxHeapRef child = static_cast<TnxHeapRef>(platform::LoadU64(root.data() + 1));
  {
    // Make the first child a list of one entry that names the child itself.
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), child, true, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    const uint32_t end = platform::LoadU32(root.data() + 9);
    p[0] = nxbstList;
    platform::StoreU64(p + 1, static_cast<uint64_t>(child));
    platform::StoreU32(p + 9, end);
    Engine().beHeapEngine->bheBlockHeapEngine->ReAllocSegment(block, 13, nxHeapRefSegment(child));
  }
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadAll(nr); }), nxeBlobError);
  EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 5, "x"); }), nxeBlobError);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Truncate(b_.Trans(), nr, 1); }), nxeBlobError);
}

// The root list's entries changed in place. A list whose ends do not rise
// is refused by every call that goes through it, also by a read of a piece
// whose own entries look sound; a child that does not fit its range is
// refused where it is reached.
TEST_F(SegmentedBlobTest, DamagedListEntriesAreRefused) {
  struct Case {
    const char* name;
    uint32_t entry;
    int32_t endShift;   // added to the entry's end
    bool namesTheRoot;  // the entry's child is the root list itself
    bool anyRead;       // a read far from the entry sees it too
  };
  const Case cases[] = {
      {"end equal to the one before", 1, 0, false, true},
      {"end below the one before", 2, -5000, false, true},
      {"first end at zero", 0, 0, false, true},
      {"child is the root", 1, 0, true, false},
      {"leaf shorter than its range", 0, 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxBlobNr nr = b_.Add();
    const std::string bytes = Bytes(5 * b_.UsableBlockSize() + 17);
    b_.Write(nr, 0, bytes);
    b_.Commit();
    {
      TnxBlockGuard guard;
      uint16_t size = 0;
      PnxBlock block = nullptr;
      uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), nr & Engine().bbeBlobNrMask, true, size, block,
                                                     guard.ReleaseMethod());
      guard.Hold(block);
      ASSERT_EQ(p[0], nxbstList);
      ASSERT_GE((size - 1u) / 12, 4u);
      uint8_t* entry = p + 1 + c.entry * 12;
      uint32_t end = platform::LoadU32(entry + 8);
      if (c.entry == 0 && c.endShift == 0) end = 0;
      if (c.entry > 0 && c.endShift == 0 && !c.namesTheRoot) end = platform::LoadU32(entry - 4);
      platform::StoreU32(entry + 8, static_cast<uint32_t>(static_cast<int64_t>(end) + c.endShift));
      if (c.namesTheRoot) platform::StoreU64(entry, static_cast<uint64_t>(nr & Engine().bbeBlobNrMask));
    }
    const auto last = static_cast<uint32_t>(bytes.size() - 10);
    EXPECT_EQ(ErrorCodeOf([&] { b_.ReadAll(nr); }), nxeBlobError);
    EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, last, 10); }), c.anyRead ? nxeBlobError : 0u);
    EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, static_cast<uint32_t>(bytes.size()), "x"); }),
              c.anyRead ? nxeBlobError : 0u);
    b_.Rollback();
  }
}

// A read fetches the next leaf before it copies one, but only when it goes
// on there: a read that ends where a leaf ends never sees the damage of the
// leaf after it, and one byte more reaches it and is refused.
TEST_F(SegmentedBlobTest, AReadTouchesNoLeafPastItsEnd) {
  const TnxBlobNr nr = b_.Add();
  const std::string bytes = Bytes(5 * b_.UsableBlockSize() + 17);
  b_.Write(nr, 0, bytes);
  b_.Commit();
  const std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root[0], nxbstList);
  ASSERT_GE((root.size() - 1u) / 12, 3u);
  const uint32_t firstEnd = platform::LoadU32(root.data() + 1 + 8);
  const uint32_t secondEnd = platform::LoadU32(root.data() + 1 + 12 + 8);
  {
    // The second leaf's type byte no longer says data.
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    const auto ref = static_cast<TnxHeapRef>(platform::LoadU64(root.data() + 1 + 12));
    uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), ref, true, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    ASSERT_EQ(p[0], nxbstData);
    p[0] = 0x7F;
  }
  uint32_t result = 1;
  EXPECT_EQ(b_.ReadRange(nr, 0, firstEnd, &result), bytes.substr(0, firstEnd));
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(b_.ReadRange(nr, 10, firstEnd - 10), bytes.substr(10, firstEnd - 10));
  EXPECT_EQ(b_.ReadRange(nr, secondEnd, 100), bytes.substr(secondEnd, 100));
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, 0, firstEnd + 1); }), nxeBlobError);
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, firstEnd - 1, 2); }), nxeBlobError);
  b_.Rollback();
}

// The blocks of the leaves a read covers are asked for before the first is
// taken: a child past the file named after the read's end is never taken,
// and one the read reaches is refused as before, also when more follow.
TEST_F(SegmentedBlobTest, AChildPastTheFileIsRefusedOnlyWhereAReadReachesIt) {
  const TnxBlobNr nr = b_.Add();
  const std::string bytes = Bytes(5 * b_.UsableBlockSize() + 17);
  b_.Write(nr, 0, bytes);
  b_.Commit();
  const std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root[0], nxbstList);
  ASSERT_GE((root.size() - 1u) / 12, 4u);
  const uint32_t secondEnd = platform::LoadU32(root.data() + 1 + 12 + 8);
  {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), nr & Engine().bbeBlobNrMask, true, size, block,
                                                   guard.ReleaseMethod());
    guard.Hold(block);
    platform::StoreU64(p + 1 + 2 * 12, static_cast<uint64_t>(nxMakeHeapRef(0xFFFFFF, 1)));
  }
  EXPECT_EQ(b_.ReadRange(nr, 0, secondEnd), bytes.substr(0, secondEnd));
  EXPECT_EQ(b_.ReadRange(nr, secondEnd - 3, 3), bytes.substr(secondEnd - 3, 3));
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, 0, secondEnd + 1); }), nxeInvalidBlockNumber);
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadAll(nr); }), nxeInvalidBlockNumber);
  b_.Rollback();
}

// A BLOB whose root holds lists of leaves, read where its pieces meet: the
// last byte of each leaf and list, the first of the next, pieces that end
// exactly there, and pieces over more leaves than a read asks for at once.
TEST_F(SegmentedBlobTest, ReadsAtEveryBoundaryOfATwoLevelTreeGiveTheBytes) {
  const TnxBlobNr nr = b_.Add();
  const uint32_t usable = b_.UsableBlockSize();
  const std::string bytes = Noise(size_t{400} * usable + 333, 1);
  for (uint32_t at = 0; at < bytes.size(); at += 65536)
    b_.Write(nr, at, bytes.substr(at, 65536));
  b_.Commit();
  // Every end a list names, leaves and lists alike, at every level.
  std::vector<uint32_t> ends;
  uint32_t lists = 0;
  std::vector<std::vector<uint8_t>> pending{Root(nr)};
  ASSERT_EQ(pending[0][0], nxbstList);
  while (!pending.empty()) {
    const std::vector<uint8_t> list = std::move(pending.back());
    pending.pop_back();
    if (list[0] != nxbstList) continue;
    ++lists;
    for (size_t i = 1; i + 12 <= list.size(); i += 12) {
      ends.push_back(platform::LoadU32(list.data() + i + 8));
      pending.push_back(Segment(static_cast<TnxHeapRef>(platform::LoadU64(list.data() + i))));
    }
  }
  ASSERT_GT(lists, 2u);
  ASSERT_GT(ends.size(), 400u);
  const auto expect = [&](uint32_t aOffset, uint32_t aLen) {
    const uint32_t at = std::min<uint32_t>(aOffset, static_cast<uint32_t>(bytes.size()));
    return bytes.substr(at, aLen);
  };
  const uint32_t many = 40 * usable;  // more leaves than one read asks for at once
  for (const uint32_t end : ends) {
    SCOPED_TRACE(end);
    for (const auto& [offset, len] : {std::pair{end - 1, 1u}, {end - 1, 2u}, {end, 1u}, {end - 5, 5u},
                                      {end - 3, 2 * usable + 6}, {end - 1, many}, {end, many}})
      ASSERT_EQ(b_.ReadRange(nr, offset, len), expect(offset, len)) << offset << " " << len;
  }
  EXPECT_EQ(b_.ReadAll(nr), bytes);
}

// Random pieces of a BLOB against its bytes, from the transaction that
// wrote them, after commit, with changes of its own not yet committed, and
// after their rollback.
TEST_F(SegmentedBlobTest, RandomReadsMatchTheContentsAcrossChangesAndRollback) {
  const TnxBlobNr nr = b_.Add();
  const uint32_t usable = b_.UsableBlockSize();
  std::string model = Noise(size_t{380} * usable + 91, 2);
  b_.Write(nr, 0, model);
  std::mt19937 random(72);
  const auto check = [&](const std::string& aModel, int aReads) {
    const auto length = static_cast<uint32_t>(aModel.size());
    for (int i = 0; i < aReads; ++i) {
      const uint32_t offset = random() % (length + 1);
      uint32_t len = 1 + random() % (2 * usable);
      if (i % 16 == 0) len = random() % (60 * usable);
      ASSERT_EQ(b_.ReadRange(nr, offset, len), aModel.substr(offset, len)) << offset << " " << len;
    }
  };
  check(model, 300);
  b_.Commit();
  check(model, 300);
  const std::string committed = model;
  for (int i = 0; i < 20; ++i) {
    const uint32_t at = random() % static_cast<uint32_t>(model.size() - 5000);
    const std::string piece = Noise(1 + random() % 5000, 3 + static_cast<uint32_t>(i));
    b_.Write(nr, at, piece);
    model.replace(at, piece.size(), piece);
  }
  check(model, 300);
  b_.Rollback();
  check(committed, 300);
}

// Reads remember the lists of the BLOB read last, so whatever comes
// between two reads must show in the second: the reader's own writes,
// truncates and rollback, a BLOB deleted and another made, and another
// transaction's change, which a reader outside it sees only once it is
// committed.
TEST_F(SegmentedBlobTest, AReadAfterAChangeSeesTheChange) {
  const uint32_t usable = b_.UsableBlockSize();
  const size_t size = size_t{400} * usable + 77;
  TnxBaseTransaction* reader = nullptr;
  std::mt19937 random(97);
  // Pieces in the first, a middle and the last list, and one over them all.
  const auto check = [&](TnxBlobNr aNr, const std::string& aModel) {
    const auto length = static_cast<uint32_t>(aModel.size());
    std::vector<std::pair<uint32_t, uint32_t>> pieces{{0, 3 * usable}, {length / 2 - 100, 2 * usable},
                                                      {length - 5000, 6000}, {0, length}};
    for (int i = 0; i < 20; ++i) pieces.emplace_back(random() % length, 1 + random() % (3 * usable));
    for (const auto& [offset, len] : pieces) {
      testing::TStringStream stream;
      ASSERT_EQ(Engine().Read(reader, aNr, offset, len, {}, stream), 0u);
      ASSERT_EQ(stream.Bytes, aModel.substr(offset, len)) << offset << " " << len;
    }
  };
  struct Case {
    const char* name;
    bool outside;  // read without a transaction
    std::function<void(TnxBlobNr&, std::string&)> change;
  };
  const Case cases[] = {
      {"a write inside", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         const std::string piece = Noise(3 * usable, 11);
         b_.Write(aNr, static_cast<uint32_t>(aModel.size() / 2), piece);
         aModel.replace(aModel.size() / 2, piece.size(), piece);
       }},
      // The blocks are the transaction's copies already: changed in place.
      {"a second write over the first", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         const auto at = static_cast<uint32_t>(aModel.size() / 3);
         b_.Write(aNr, at, Noise(4 * usable, 17));
         aModel.replace(at, 4 * usable, Noise(4 * usable, 17));
         check(aNr, aModel);
         const std::string piece = Noise(4 * usable, 18);
         b_.Write(aNr, at, piece);
         aModel.replace(at, piece.size(), piece);
       }},
      {"a write past the end", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         const std::string piece = Noise(5 * usable, 12);
         b_.Write(aNr, static_cast<uint32_t>(aModel.size()), piece);
         aModel += piece;
       }},
      {"a truncate written back to the same length", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         const auto half = static_cast<uint32_t>(aModel.size() / 2);
         const std::string piece = Noise(aModel.size() - half, 13);
         Engine().Truncate(b_.Trans(), aNr, half);
         b_.Write(aNr, half, piece);
         aModel.replace(half, piece.size(), piece);
       }},
      {"a rollback of the reader's own write", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         std::string changed = aModel;
         const std::string piece = Noise(2 * usable, 14);
         b_.Write(aNr, 1000, piece);
         changed.replace(1000, piece.size(), piece);
         check(aNr, changed);
         b_.Rollback();
       }},
      {"a BLOB deleted and another made", false,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         Engine().DeleteBlob(b_.Trans(), aNr);
         const TnxBlobNr again = b_.Add();
         aModel = Noise(size - 3 * usable, 15);
         for (uint32_t at = 0; at < aModel.size(); at += 65536) b_.Write(again, at, aModel.substr(at, 65536));
         aNr = again;
       }},
      {"another transaction's write, then its commit", true,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         const std::string piece = Noise(3 * usable, 16);
         b_.Write(aNr, 7 * usable + 5, piece);
         check(aNr, aModel);
         b_.Commit();
         aModel.replace(7 * usable + 5, piece.size(), piece);
       }},
      {"another transaction's truncate, then its rollback", true,
       [&](TnxBlobNr& aNr, std::string& aModel) {
         Engine().Truncate(b_.Trans(), aNr, 10);
         check(aNr, aModel);
         b_.Rollback();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnxBlobNr nr = b_.Add();
    std::string model = Noise(size, 10);
    for (uint32_t at = 0; at < model.size(); at += 65536) b_.Write(nr, at, model.substr(at, 65536));
    b_.Commit();
    reader = c.outside ? nullptr : &b_.Trans();
    check(nr, model);
    c.change(nr, model);
    reader = c.outside ? nullptr : &b_.Trans();
    check(nr, model);
    Engine().DeleteBlob(b_.Trans(), nr);
    b_.Commit();
  }
}

// A read that finds damage forgets what it remembered: the same read fails
// again, and after the damage is rolled back the bytes read whole.
TEST_F(SegmentedBlobTest, DamageFoundOnARememberedPathIsFoundAgain) {
  const TnxBlobNr nr = b_.Add();
  const std::string bytes = Noise(size_t{400} * b_.UsableBlockSize(), 20);
  for (uint32_t at = 0; at < bytes.size(); at += 65536) b_.Write(nr, at, bytes.substr(at, 65536));
  b_.Commit();
  ASSERT_EQ(b_.ReadAll(nr), bytes);
  const std::vector<uint8_t> root = Root(nr);
  ASSERT_EQ(root[0], nxbstList);
  const auto list = static_cast<TnxHeapRef>(platform::LoadU64(root.data() + 1));
  const std::vector<uint8_t> child = Segment(list);
  ASSERT_EQ(child[0], nxbstList);
  const uint32_t firstEnd = platform::LoadU32(child.data() + 9);
  {
    // The first leaf's type byte no longer says data.
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    const auto ref = static_cast<TnxHeapRef>(platform::LoadU64(child.data() + 1));
    uint8_t* p = Engine().beHeapEngine->GetSegment(&b_.Trans(), ref, true, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    p[0] = 0x7F;
  }
  EXPECT_EQ(b_.ReadRange(nr, firstEnd, 100), bytes.substr(firstEnd, 100));
  for (int round = 0; round < 2; ++round)
    EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, 0, 10); }), nxeBlobError) << round;
  b_.Rollback();
  EXPECT_EQ(b_.ReadAll(nr), bytes);
}

// A root that goes a level deeper while its block has room for the new
// list only once packed: the list lands there and the packing moves the
// root's bytes. The root (kept at its size) must be written where it lies
// now, and its neighbours keep theirs.
TEST_F(SegmentedBlobTest, AListLevelBuiltInTheRootsOwnBlockLeavesTheRootWhole) {
  const uint32_t leaf = MaxSegment() - 1u;
  const uint32_t perList = leaf / 12;
  struct Case {
    uint32_t tail;        // room left at the block's end
    uint32_t restOfList;  // entries of the second list, which goes there
  };
  const Case cases[] = {{40, 20}, {100, 50}, {100, 100}, {300, 60}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.tail << " " << c.restOfList);
    // One block: a gap that packing closes, the root after it, a filler.
    const TnxBlobNr gap = b_.Add();
    b_.Write(gap, 0, Bytes(1500, 'g'));
    const TnxBlobNr nr = b_.Add();
    const std::string head = Bytes(24, 'r');
    b_.Write(nr, 0, head);
    const TnxBlobNr filler = b_.Add();
    const uint16_t room = FreeSpaceOfBlockOf(filler);
    ASSERT_GT(room, c.tail + 13);
    const std::string fill = Bytes(room - c.tail + 12, 'f');
    b_.Write(filler, 0, fill);
    ASSERT_EQ(Root(filler).size(), fill.size() + 1);
    Engine().DeleteBlob(b_.Trans(), gap);
    // Whole leaves in new blocks, a last short one in the tail; then one
    // full list in a new block and the rest in the root's block.
    const uint32_t leaves = perList + c.restOfList;
    const std::string more = Bytes((leaves - 1) * leaf + 10 - head.size(), 'm');
    b_.Write(nr, static_cast<uint32_t>(head.size()), more);
    const std::vector<uint8_t> root = Root(nr);
    ASSERT_EQ(root[0], nxbstList);
    EXPECT_EQ(b_.Length(nr), head.size() + more.size());
    EXPECT_TRUE(b_.ReadAll(nr) == head + more);
    EXPECT_TRUE(b_.ReadAll(filler) == fill);
    b_.Commit();
    b_.Reopen();
    EXPECT_TRUE(b_.ReadAll(nr) == head + more);
    EXPECT_TRUE(b_.ReadAll(filler) == fill);
    Engine().Truncate(b_.Trans(), nr, 34);
    EXPECT_EQ(b_.ReadAll(nr), (head + more).substr(0, 34));
    Engine().DeleteBlob(b_.Trans(), nr);
    Engine().DeleteBlob(b_.Trans(), filler);
    b_.Commit();
  }
}

}  // namespace
}  // namespace revurov
