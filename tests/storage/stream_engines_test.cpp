#include "storage/stream_engines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "storage/header_access.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using platform::LoadU32;
using platform::StoreU32;
using testing::ErrorCodeOf;
using testing::TTableFixture;
using testing::TTableShape;

constexpr TnxBlockSignature kUser{'U', 'S', 'E', 'R'};

std::string Bytes(size_t aSize, int aSeed = 1) {
  std::string s(aSize, '\0');
  for (size_t i = 0; i < aSize; ++i) s[i] = static_cast<char>(i * 13 + aSeed);
  return s;
}

void Fill(TnxMemoryStream& aStream, const std::string& aBytes) {
  aStream.Clear();
  aStream.WriteBuffer(aBytes.data(), static_cast<int64_t>(aBytes.size()));
}

std::string Contents(TnxMemoryStream& aStream) {
  return {static_cast<const char*>(aStream.Memory()), static_cast<size_t>(aStream.GetSize())};
}

class StreamEngineTest : public ::testing::Test {
public:
  TnxSimpleStreamEngine& Engine() { return dynamic_cast<TnxSimpleStreamEngine&>(t_.Streams()); }
  uint32_t Room() { return t_.File().fiBlockSizeBytes - nxsbData; }
  uint32_t UsedBlocks() { return t_.Access().HeaderAccess(&t_.Trans(), false)->UsedBlocks(); }
  uint32_t Word(uint32_t aOffset) {
    auto header = t_.Access().HeaderAccess(&t_.Trans(), false);
    return LoadU32(header->Header() + Engine().seHeaderSection + aOffset);
  }
  uint32_t Write(const std::string& aBytes, uint32_t aNr = 0) {
    TnxMemoryStream s;
    Fill(s, aBytes);
    Engine().WriteStream(t_.Trans(), aNr, s, aNr == 0, kUser);
    return aNr;
  }
  std::string Read(uint32_t aNr) {
    TnxMemoryStream s;
    Fill(s, "stale");
    Engine().ReadStream(&t_.Trans(), aNr, s);
    EXPECT_EQ(s.Position(), 0);
    return Contents(s);
  }
  uint32_t WriteNamed(std::u16string_view aName, const std::string& aBytes) {
    TnxMemoryStream s;
    Fill(s, aBytes);
    return Engine().WriteNamedStream(t_.Trans(), aName, s);
  }
  std::string ReadNamed(std::u16string_view aName, uint32_t* aResult = nullptr) {
    TnxMemoryStream s;
    const uint32_t result = Engine().ReadNamedStream(&t_.Trans(), aName, s);
    if (aResult) *aResult = result;
    return Contents(s);
  }
  std::vector<std::u16string> Names() {
    platform::TStringList list;
    list.Add(u"stale");
    EXPECT_EQ(Engine().GetNamedStreamList(&t_.Trans(), list), 0u);
    std::vector<std::u16string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    return names;
  }
  // A block of the file for change in the current transaction.
  PnxBlock Block(TnxBlockNumber aNumber, TnxBlockGuard& aGuard) {
    aGuard.Hold(t_.Access().GetBlock(&t_.Trans(), aNumber, 0, true, aGuard.ReleaseMethod()));
    return aGuard.Block();
  }

  TTableFixture t_;
};

TEST_F(StreamEngineTest, BlockCountFollowsSizeAndContentsRoundTrip) {
  struct Case {
    const char* name;
    int64_t extra;  // bytes relative to whole blocks
    uint32_t blocks;
    uint32_t wholeBlocks;
  };
  const Case cases[] = {{"empty", 0, 1, 0},         {"one byte", 1, 1, 0},  {"exactly one block", 0, 1, 1},
                        {"one byte more", 1, 2, 1}, {"three blocks", 0, 3, 3}, {"partial fourth", 7, 4, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = Bytes(size_t{Room()} * c.wholeBlocks + static_cast<size_t>(c.extra));
    const uint32_t before = UsedBlocks();
    const uint32_t nr = Write(data);
    EXPECT_EQ(UsedBlocks() - before, c.blocks);
    EXPECT_EQ(Read(nr), data);
    TnxBlockGuard guard;
    const PnxBlock first = Block(nr, guard);
    EXPECT_EQ(std::memcmp(first, "NXSH", 4), 0);
    EXPECT_EQ(std::memcmp(first + nxsbSignature, "USER", 4), 0);
    EXPECT_EQ(LoadU32(first + nxsbSize), data.size());
    EXPECT_EQ(LoadU32(first + nxsbStreamNr), nr);
  }
}

TEST_F(StreamEngineTest, RewriteKeepsNumberAndShorterRewriteFreesSurplus) {
  const uint32_t nr = Write(Bytes(Room() * 3));
  const uint32_t used = UsedBlocks();
  EXPECT_EQ(Write(Bytes(5, 9), nr), nr);
  EXPECT_EQ(Read(nr), Bytes(5, 9));
  // The two freed blocks serve the next new stream without growing the file.
  Write(Bytes(Room() + 1, 3));
  EXPECT_EQ(UsedBlocks(), used);
  // A longer rewrite grows the chain again.
  EXPECT_EQ(Write(Bytes(Room() * 2 + 3, 4), nr), nr);
  EXPECT_EQ(Read(nr), Bytes(Room() * 2 + 3, 4));
}

TEST_F(StreamEngineTest, DeletedStreamsBlocksAreReused) {
  const uint32_t nr = Write(Bytes(Room() * 2));
  const uint32_t used = UsedBlocks();
  Engine().DeleteStream(t_.Trans(), nr);
  // A freed block has lost its owner: the block layer refuses it.
  EXPECT_EQ(ErrorCodeOf([&] { Read(nr); }), nxeCorruptFile);
  Write(Bytes(Room() * 2));
  EXPECT_EQ(UsedBlocks(), used);
}

TEST_F(StreamEngineTest, RollbackUndoesWriteAndCommitKeepsIt) {
  ASSERT_EQ(WriteNamed(u"kept", "abc"), 0u);
  t_.Commit();
  ASSERT_EQ(WriteNamed(u"dropped", "xyz"), 0u);
  ASSERT_EQ(WriteNamed(u"kept", "changed"), 0u);
  t_.Rollback();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"kept"}));
  EXPECT_EQ(ReadNamed(u"kept"), "abc");
  t_.Reopen();
  EXPECT_EQ(ReadNamed(u"KEPT"), "abc");
}

TEST_F(StreamEngineTest, NamedStreamsDictAndMap) {
  EXPECT_EQ(Names(), std::vector<std::u16string>{});
  uint32_t result = 0;
  ReadNamed(u"DICT", &result);
  EXPECT_EQ(result, nxeObjectNotFound);
  EXPECT_EQ(Engine().DeleteNamedStream(t_.Trans(), u"DICT"), nxeObjectNotFound);
  EXPECT_EQ(Engine().DeleteNamedStream(t_.Trans(), u"nope"), nxeObjectNotFound);

  // "dict" in any case is the dictionary stream, kept in section word 0.
  ASSERT_EQ(WriteNamed(u"dict", "dictionary"), 0u);
  EXPECT_NE(Word(0), 0u);
  EXPECT_EQ(Word(4), 0u);
  EXPECT_EQ(ReadNamed(u"Dict"), "dictionary");
  {
    TnxBlockGuard guard;
    EXPECT_EQ(std::memcmp(Block(Word(0), guard) + nxsbSignature, "DICT", 4), 0);
  }

  ASSERT_EQ(WriteNamed(u"Zeta", "z"), 0u);
  ASSERT_EQ(WriteNamed(u"alpha", "a"), 0u);
  ASSERT_EQ(WriteNamed(u"Mid", "m"), 0u);
  ASSERT_EQ(WriteNamed(u"ALPHA", "a2"), 0u);  // the same name
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"alpha", u"Mid", u"Zeta", u"DICT"}));
  uint32_t count = 99;
  EXPECT_EQ(Engine().GetNamedStreamCount(&t_.Trans(), count), 0u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(ReadNamed(u"alpha"), "a2");
  {
    TnxBlockGuard guard;
    EXPECT_EQ(std::memcmp(Block(Word(4), guard) + nxsbSignature, "SMAP", 4), 0);
  }

  // Deleting the last user name frees the map and clears word 4.
  for (const char16_t* name : {u"mid", u"zeta", u"Alpha"}) EXPECT_EQ(Engine().DeleteNamedStream(t_.Trans(), name), 0u);
  EXPECT_EQ(Word(4), 0u);
  EXPECT_EQ(Names(), std::vector<std::u16string>{u"DICT"});
  EXPECT_EQ(Engine().DeleteNamedStream(t_.Trans(), u"DICT"), 0u);
  EXPECT_EQ(Word(0), 0u);
  EXPECT_EQ(Names(), std::vector<std::u16string>{});
}

TEST_F(StreamEngineTest, NamesTheMapCannotHoldAreRefused) {
  const std::u16string longest(255, u'n');
  EXPECT_EQ(WriteNamed(longest, "ok"), 0u);
  EXPECT_EQ(ReadNamed(longest), "ok");
  struct Case {
    const char* name;
    std::u16string text;
  };
  const Case cases[] = {{"256 characters", std::u16string(256, u'n')},
                        {"not in the code page", u"\u4e2d\u6587"},
                        {"empty", u""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorCodeOf([&] { WriteNamed(c.text, "x"); }), nxeInvalidParameter);
  }
  // Nothing was added by the refusals.
  EXPECT_EQ(Names(), std::vector<std::u16string>{longest});
}

// ---- damaged chains and maps ----

TEST_F(StreamEngineTest, DamagedChainsGiveCodesNotHangs) {
  struct Case {
    const char* name;
    std::function<void(PnxBlock first, PnxBlock second, uint32_t nr)> damage;
    uint32_t code;
  };
  const Case cases[] = {
      {"loop back to the first block", [](PnxBlock, PnxBlock b, uint32_t nr) { StoreU32(b + nxsbNext, nr); },
       nxeNotAStreamBlock},
      {"self loop", [](PnxBlock, PnxBlock b, uint32_t nr) { StoreU32(b + nxsbNext, nr + 1); }, nxeNotAStreamBlock},
      {"size beyond the chain", [](PnxBlock f, PnxBlock, uint32_t) { StoreU32(f + nxsbSize, 0x7FFFFFFF); },
       nxeNotAStreamBlock},
      {"chain ends early", [](PnxBlock, PnxBlock b, uint32_t) { StoreU32(b + nxsbNext, nxsbLast); },
       nxeNotAStreamBlock},
      {"next past the file", [](PnxBlock f, PnxBlock, uint32_t) { StoreU32(f + nxsbNext, 100000); },
       nxeInvalidBlockNumber},
      {"next names block 0", [](PnxBlock f, PnxBlock, uint32_t) { StoreU32(f + nxsbNext, 0); },
       nxeInvalidBlockNumber},
      {"block of another stream", [](PnxBlock, PnxBlock b, uint32_t nr) { StoreU32(b + nxsbStreamNr, nr + 7); },
       nxeNotAStreamBlock},
      {"wrong signature", [](PnxBlock, PnxBlock b, uint32_t) { std::memcpy(b, "NXDH", 4); }, nxeNotAStreamBlock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t nr = Write(Bytes(Room() * 2 + 10));
    {
      TnxBlockGuard first;
      TnxBlockGuard second;
      PnxBlock f = Block(nr, first);
      PnxBlock s = Block(LoadU32(f + nxsbNext), second);
      c.damage(f, s, nr);
    }
    EXPECT_EQ(ErrorCodeOf([&] { Read(nr); }), c.code);
    t_.Rollback();
  }
}

TEST_F(StreamEngineTest, DamagedMapGivesCodes) {
  ASSERT_EQ(WriteNamed(u"one", "1"), 0u);
  ASSERT_EQ(WriteNamed(u"two", "2"), 0u);
  t_.Commit();
  struct Case {
    const char* name;
    uint32_t offset;  // in the map's data
    uint32_t value;
  };
  const Case cases[] = {{"entry count past the end", 0, 3}, {"huge entry count", 0, 0xFFFFFFFF},
                        {"name length past the end", 4, 250}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TnxBlockGuard guard;
      PnxBlock map = Block(Word(4), guard);
      if (c.offset == 0)
        StoreU32(map + nxsbData, c.value);
      else
        map[nxsbData + c.offset] = static_cast<uint8_t>(c.value);
    }
    EXPECT_EQ(ErrorCodeOf([&] { Names(); }), nxeNotAStreamBlock);
    EXPECT_EQ(ErrorCodeOf([&] { ReadNamed(u"one"); }), nxeNotAStreamBlock);
    t_.Rollback();
  }
  EXPECT_EQ(ReadNamed(u"two"), "2");
}

TEST_F(StreamEngineTest, NumberOutsideTheFileGives15409) {
  EXPECT_EQ(ErrorCodeOf([&] { Read(5000); }), nxeInvalidBlockNumber);
  const std::u16string message = testing::MessageOf<EnxBaseException>([&] { Read(5000); });
  EXPECT_NE(message.find(u"block 5000"), std::u16string::npos);
}

TEST(StreamEngineCreateTest, HeaderNamingAnUnknownStreamEngineGives15503) {
  testing::TStorageFixture fx;
  testing::TTableOptions options;
  options.StreamEngine = u"Pipe";
  TnxBaseFile& file = fx.Open(fx.MakeTable("t.nx2", nxbs4k, 1, options));
  TnxBlockAccess access(file, nullptr, u"t", 0);
  testing::TTestDataDictionary dict;
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseStreamEngine::CreateEngine(dict, access, nullptr); }),
            nxeSubEngineNotSupported);
  EXPECT_HAS_TEXT(testing::MessageOf<EnxStreamEngineException>(
                      [&] { TnxBaseStreamEngine::CreateEngine(dict, access, nullptr); }),
                  u"Unknown stream engine: \"Pipe\"");
}

TEST(StreamEngineCreateTest, SecondEngineWithATransactionFindsItsSectionTaken) {
  TTableFixture t;
  // Building a table again over the same file: the section exists.
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseStreamEngine::CreateEngine(t.Dict(), t.Access(), &t.Trans()); }),
            nxeNameNotUnique);
}

// ---- autoinc ----

struct AutoIncCase {
  const char* name;
  uint32_t initial;
  uint32_t step;
  std::vector<uint32_t> values;
};

TEST(AutoIncEngineTest, HandsOutInitialThenSteps) {
  const AutoIncCase cases[] = {{"1 by 1", 1, 1, {1, 2, 3}},
                               {"5 by 10", 5, 10, {5, 15, 25}},
                               {"initial below step", 3, 10, {3, 13}},
                               {"largest initial", 4294967295u, 1, {4294967295u}},
                               {"step up to the top", 4294967285u, 10, {4294967285u, 4294967295u}}};
  for (const AutoIncCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTableFixture t(TTableShape{.AutoIncInitial = c.initial, .AutoIncStep = c.step});
    TnxBaseAutoIncEngine& engine = *t.AutoInc();
    EXPECT_EQ(engine.ReadAutoIncValue(&t.Trans()), c.initial - c.step);
    uint32_t previous = c.initial - c.step;
    for (uint32_t expected : c.values) {
      uint32_t current = 0;
      EXPECT_EQ(engine.NextAutoIncValue(t.Trans(), &current), expected);
      EXPECT_EQ(current, previous);
      previous = expected;
    }
    EXPECT_EQ(ErrorCodeOf([&] { engine.NextAutoIncValue(t.Trans(), nullptr); }),
              c.values.back() > 4294967295u - c.step ? nxeMaximumValidity : 0u);
  }
}

TEST(AutoIncEngineTest, LimitIsTestedIn64Bits) {
  TTableFixture t(TTableShape{.AutoIncInitial = 1, .AutoIncStep = 10});
  TnxBaseAutoIncEngine& engine = *t.AutoInc();
  engine.SetAutoIncValue(t.Trans(), 4294967290u);
  // In 32 bits 4294967290 + 10 wraps to 4 and would pass.
  EXPECT_EQ(ErrorCodeOf([&] { engine.NextAutoIncValue(t.Trans(), nullptr); }), nxeMaximumValidity);
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseException>([&] { engine.NextAutoIncValue(t.Trans(), nullptr); }),
                  u"Maximum AutoInc value has been reached");
  EXPECT_EQ(engine.ReadAutoIncValue(&t.Trans()), 4294967290u);
  engine.SetAutoIncValue(t.Trans(), 4294967285u);
  EXPECT_EQ(engine.NextAutoIncValue(t.Trans(), nullptr), 4294967295u);
}

TEST(AutoIncEngineTest, SetThenNextAndRollback) {
  TTableFixture t(TTableShape{.AutoIncInitial = 1, .AutoIncStep = 3});
  TnxBaseAutoIncEngine& engine = *t.AutoInc();
  engine.SetAutoIncValue(t.Trans(), 100);
  EXPECT_EQ(engine.NextAutoIncValue(t.Trans(), nullptr), 103u);
  t.Commit();
  EXPECT_EQ(engine.NextAutoIncValue(t.Trans(), nullptr), 106u);
  t.Rollback();
  t.Reopen();
  EXPECT_EQ(t.AutoInc()->ReadAutoIncValue(nullptr), 103u);
}

}  // namespace
}  // namespace revurov
