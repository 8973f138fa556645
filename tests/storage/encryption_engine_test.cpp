#include "storage/encryption_engine.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::Contains;
using testing::MessageOf;

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kUsable = kBlock - 16;

// Call k of the fixed source gives the bytes 8k+1 .. 8k+8, so every drawn
// value can be told by where it lands.
std::atomic<uint32_t> gDraws{0};
void FixedRandom(void* aData) {
  const uint32_t k = gDraws.fetch_add(1);
  for (uint32_t i = 0; i < 8; ++i) static_cast<uint8_t*>(aData)[i] = static_cast<uint8_t>(8 * k + i + 1);
}
std::array<uint8_t, 8> Draw(uint32_t k) {
  std::array<uint8_t, 8> r{};
  for (uint32_t i = 0; i < 8; ++i) r[i] = static_cast<uint8_t>(8 * k + i + 1);
  return r;
}

std::vector<uint8_t> Pattern(uint32_t aLen, uint8_t aSeed) {
  std::vector<uint8_t> r(aLen);
  for (uint32_t i = 0; i < aLen; ++i) r[i] = static_cast<uint8_t>(i * 7 + aSeed);
  return r;
}

std::string Bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

uint32_t LastCode(std::u16string& aMessage) {
  uint32_t code = 0;
  EnxBaseException::GetLastConvertedException(code, aMessage);
  return code;
}

class EncryptionEngineTest : public ::testing::Test {
protected:
  void SetUp() override { gDraws = 0; }

  // A table's header area, made on one side with the given passwords.
  TnxEncryptionEnginePtr Create(const TnxUnicodeStrings& aPasswords, bool aForServer = false) {
    TnxEncryptionEnginePtr engine;
    EXPECT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", aPasswords, header.data(), true,
                                                        aForServer, engine));
    return engine;
  }
  uint32_t Open(const TnxUnicodeStrings& aPasswords, TnxEncryptionEnginePtr& aEngine, bool aForServer = false) {
    return TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", aPasswords, header.data(), false, aForServer,
                                                 aEngine);
  }
  std::vector<uint8_t> Code(TnxBaseEncryptionEngine& aEngine, const std::vector<uint8_t>& aPlain,
                            uint32_t aBlockNr = 3) {
    std::vector<uint8_t> out(aPlain.size());
    std::vector<uint8_t> cookie, checksum;
    aEngine.CodeBlockEx(aPlain.data(), out.data(), static_cast<uint32_t>(aPlain.size()), aBlockNr, cookie, checksum);
    return out;
  }
  // The deciphered usable bytes, or the code the engine raised.
  uint32_t Decode(TnxBaseEncryptionEngine& aEngine, std::vector<uint8_t>& aBlock, uint32_t aBlockNr = 3) {
    std::vector<uint8_t> cookie{1};
    try {
      aEngine.DecodeBlockEx(aBlock.data(), static_cast<uint32_t>(aBlock.size()), aBlockNr, cookie);
    } catch (const EnxBaseException& e) {
      return e.ErrorCode();
    }
    EXPECT_TRUE(cookie.empty());
    return 0;
  }

  TnxStorageStartupGuard storage;
  std::array<uint8_t, 48> header{};
};

class FixedRandomTest : public EncryptionEngineTest {
protected:
  void SetUp() override {
    EncryptionEngineTest::SetUp();
    previous = nxSetEncryptionRandomSource(&FixedRandom);
  }
  void TearDown() override { nxSetEncryptionRandomSource(previous); }
  TnxRandom64Source previous = nullptr;
};

TEST_F(FixedRandomTest, HeaderAreaHoldsSaltIvAndTableKeyEncipheredUnderSaltAndPassword) {
  TnxEncryptionEnginePtr engine = Create({u"Geheim"});
  ASSERT_TRUE(engine);
  // Draws in order: salt (0, 1), table key (2, 3), IV (4).
  const std::string salt = Bytes(Draw(0).data(), 8) + Bytes(Draw(1).data(), 8);
  const std::string tableKey = Bytes(Draw(2).data(), 8) + Bytes(Draw(3).data(), 8);
  EXPECT_EQ(salt, Bytes(header.data(), 16));
  EXPECT_EQ(Bytes(Draw(4).data(), 8), Bytes(header.data() + 16, 8));
  EXPECT_NE(tableKey, Bytes(header.data() + 24, 16));

  TnxBlowFishRC4 keyCipher(salt + "Geheim");
  uint8_t key[16], mac[8];
  std::memcpy(key, header.data() + 24, 16);
  keyCipher.ResetIVBlock(header.data() + 16);
  keyCipher.Decode(key, 16);
  keyCipher.Final(mac);
  EXPECT_EQ(tableKey, Bytes(key, 16));
  EXPECT_EQ(Bytes(mac, 8), Bytes(header.data() + 40, 8));

  // A block: the usable bytes enciphered under the table key, then the IV
  // of this write (draw 5) and the check value.
  const std::vector<uint8_t> plain = Pattern(kBlock, 9);
  const std::vector<uint8_t> coded = Code(*engine, plain);
  std::vector<uint8_t> expected(plain.begin(), plain.begin() + kUsable);
  TnxBlowFishRC4 blockCipher(tableKey);
  blockCipher.ResetIVBlock(Draw(5).data());
  blockCipher.Encode(expected.data(), kUsable);
  uint8_t blockMac[8];
  blockCipher.Final(blockMac);
  EXPECT_EQ(Bytes(expected.data(), kUsable), Bytes(coded.data(), kUsable));
  EXPECT_EQ(Bytes(Draw(5).data(), 8), Bytes(coded.data() + kUsable, 8));
  EXPECT_EQ(Bytes(blockMac, 8), Bytes(coded.data() + kUsable + 8, 8));
}

TEST_F(FixedRandomTest, ChangePasswordReEnciphersTheSameTableKeyUnderANewSalt) {
  TnxEncryptionEnginePtr engine = Create({u"alt"});
  const std::string tableKey = Bytes(Draw(2).data(), 8) + Bytes(Draw(3).data(), 8);
  engine->ChangePassword(header.data(), u"neu");
  // Draws 5, 6: new salt; 7: new IV.
  const std::string salt = Bytes(Draw(5).data(), 8) + Bytes(Draw(6).data(), 8);
  EXPECT_EQ(salt, Bytes(header.data(), 16));
  EXPECT_EQ(Bytes(Draw(7).data(), 8), Bytes(header.data() + 16, 8));
  TnxBlowFishRC4 keyCipher(salt + "neu");
  uint8_t key[16];
  std::memcpy(key, header.data() + 24, 16);
  keyCipher.ResetIVBlock(header.data() + 16);
  keyCipher.Decode(key, 16);
  EXPECT_EQ(tableKey, Bytes(key, 16));
  EXPECT_EQ(u"neu", engine->ExtractPassword());
}

TEST_F(FixedRandomTest, ChangePasswordToEmptyKeysTheHeaderWithTheDefaultKey) {
  TnxEncryptionEnginePtr engine = Create({u"alt"});
  const std::vector<uint8_t> coded = Code(*engine, Pattern(kBlock, 1));
  engine->ChangePassword(header.data(), u"");
  EXPECT_EQ(u"", engine->ExtractPassword());
  TnxEncryptionEnginePtr reopened;
  ASSERT_EQ(0u, Open({}, reopened));
  std::vector<uint8_t> block = coded;
  EXPECT_EQ(0u, Decode(*reopened, block));
}

TEST_F(EncryptionEngineTest, TableWithoutPasswordOpensWithoutOneAndAcceptsAnyPassword) {
  // An empty password counts as none: the table must not need one to open.
  for (const TnxUnicodeStrings& created : {TnxUnicodeStrings{}, TnxUnicodeStrings{u""}}) {
    Create(created);
    TnxEncryptionEnginePtr engine;
    ASSERT_EQ(0u, Open({}, engine));
    EXPECT_EQ(0u, engine->AuthenticatePassword({u"whatever"}));
    EXPECT_EQ(0u, engine->AuthenticatePassword({}));
    EXPECT_EQ(u"", engine->ExtractPassword());
    // Passwords given for such a table do no harm.
    TnxEncryptionEnginePtr withPassword;
    EXPECT_EQ(0u, Open({u"x"}, withPassword));
  }
}

TEST_F(EncryptionEngineTest, CreatingWithTwoPasswordsGivesNoEngine) {
  TnxEncryptionEnginePtr engine;
  EXPECT_EQ(nxeInvalidParameter, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {u"a", u"b"}, header.data(),
                                                                       true, false, engine));
  EXPECT_FALSE(engine);
  std::u16string message;
  EXPECT_EQ(nxeInvalidParameter, LastCode(message));
  EXPECT_EQ(u"More than one key specified when creating new table", message);
}

TEST_F(EncryptionEngineTest, SecondPasswordOfAListOpensAndIsTheOneExtracted) {
  Create({u"richtig"});
  TnxEncryptionEnginePtr engine;
  ASSERT_EQ(0u, Open({u"falsch", u"richtig"}, engine));
  EXPECT_EQ(u"richtig", engine->ExtractPassword());
  EXPECT_EQ(0u, engine->AuthenticatePassword({u"x", u"richtig"}));
  EXPECT_EQ(nxeInvalidPassword, engine->AuthenticatePassword({u"falsch"}));
  EXPECT_EQ(nxeInvalidPassword, engine->AuthenticatePassword({}));
}

TEST_F(EncryptionEngineTest, WrongOrMissingPasswordGivesInvalidPasswordAndNoEngine) {
  Create({u"richtig"});
  for (const TnxUnicodeStrings& given : {TnxUnicodeStrings{}, TnxUnicodeStrings{u"falsch"},
                                         TnxUnicodeStrings{u"Richtig"}}) {
    TnxEncryptionEnginePtr engine;
    EXPECT_EQ(nxeInvalidPassword, Open(given, engine));
    EXPECT_FALSE(engine);
  }
}

TEST_F(EncryptionEngineTest, AfterChangePasswordBlocksStillDecipherAndOnlyTheNewPasswordOpens) {
  TnxEncryptionEnginePtr engine = Create({u"alt"});
  std::vector<std::vector<uint8_t>> coded;
  for (uint8_t seed = 0; seed < 4; ++seed) coded.push_back(Code(*engine, Pattern(kBlock, seed), seed + 1));
  engine->ChangePassword(header.data(), u"neu");

  TnxEncryptionEnginePtr old;
  EXPECT_EQ(nxeInvalidPassword, Open({u"alt"}, old));
  TnxEncryptionEnginePtr reopened;
  ASSERT_EQ(0u, Open({u"neu"}, reopened));
  for (uint8_t seed = 0; seed < 4; ++seed) {
    std::vector<uint8_t> block = coded[seed];
    ASSERT_EQ(0u, Decode(*reopened, block, seed + 1));
    const std::vector<uint8_t> plain = Pattern(kBlock, seed);
    EXPECT_EQ(0, std::memcmp(plain.data(), block.data(), kUsable)) << int(seed);
  }
}

TEST_F(EncryptionEngineTest, WritingABlockTwiceGivesDifferentBytes) {
  TnxEncryptionEnginePtr engine = Create({u"p"});
  const std::vector<uint8_t> plain = Pattern(kBlock, 5);
  EXPECT_NE(Code(*engine, plain), Code(*engine, plain));
}

TEST_F(EncryptionEngineTest, CodingInPlaceRoundTrips) {
  TnxEncryptionEnginePtr engine = Create({u"p"});
  const std::vector<uint8_t> plain = Pattern(kBlock, 2);
  std::vector<uint8_t> block = plain;
  std::vector<uint8_t> cookie, checksum;
  engine->CodeBlockEx(block.data(), block.data(), kBlock, 1, cookie, checksum);
  EXPECT_NE(0, std::memcmp(plain.data(), block.data(), kUsable));
  ASSERT_EQ(0u, Decode(*engine, block, 1));
  EXPECT_EQ(0, std::memcmp(plain.data(), block.data(), kUsable));
}

TEST_F(EncryptionEngineTest, EverySingleBitFlipOfAnEncipheredBlockIsCorruptAndYieldsNoImage) {
  TnxEncryptionEnginePtr engine = Create({u"p"});
  const std::vector<uint8_t> coded = Code(*engine, Pattern(kBlock, 3));
  std::vector<uint8_t> block(kBlock);
  int accepted = 0, leaked = 0;
  // A step of 31 bits reaches every part of the block and every bit position
  // in turn; --long flips them all.
  const uint32_t step = revurov::testing::TestSize(31u, 1u);
  for (uint32_t bit = 0; bit < kBlock * 8; bit += step) {
    std::memcpy(block.data(), coded.data(), kBlock);
    block[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    if (Decode(*engine, block) != nxeCorruptFile) ++accepted;
    for (uint8_t b : block)
      if (b != 0) {
        ++leaked;
        break;
      }
  }
  EXPECT_EQ(0, accepted);
  EXPECT_EQ(0, leaked);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseException>([&] {
                         block = coded;
                         block[0] ^= 1;
                         std::vector<uint8_t> cookie;
                         engine->DecodeBlockEx(block.data(), kBlock, 3, cookie);
                       }),
                       u"Corrupt file - other than header."));
}

TEST_F(EncryptionEngineTest, BlockThatCannotHoldTheTrailerIsRefusedUntouched) {
  TnxEncryptionEnginePtr engine = Create({u"p"});
  for (uint32_t len : {0u, 8u, 15u, 20u, 4095u}) {
    std::vector<uint8_t> block = Pattern(len, 1);
    const std::vector<uint8_t> before = block;
    EXPECT_EQ(nxeInvalidParameter, Decode(*engine, block)) << len;
    EXPECT_EQ(before, block) << len;
    std::vector<uint8_t> out(len, 0xEE);
    std::vector<uint8_t> cookie, checksum;
    EXPECT_THROW(engine->CodeBlock(block.data(), out.data(), len, 0), EnxBlowfishRC4EncryptionEngineException);
    EXPECT_EQ(std::vector<uint8_t>(len, 0xEE), out) << len;
  }
  // The trailer alone is a block with nothing to encipher.
  std::vector<uint8_t> bare(16, 0);
  std::vector<uint8_t> out = Code(*engine, bare);
  EXPECT_EQ(0u, Decode(*engine, out));
}

TEST_F(EncryptionEngineTest, DefaultKeyOfOneSideDoesNotOpenOnTheOther) {
  Create({}, false);
  TnxEncryptionEnginePtr engine;
  EXPECT_EQ(nxeInvalidPassword, Open({}, engine, true));
  EXPECT_EQ(0u, Open({}, engine, false));
  Create({}, true);
  EXPECT_EQ(nxeInvalidPassword, Open({}, engine, false));
  EXPECT_EQ(0u, Open({}, engine, true));

  // Without a header area both sides key blocks with their default key.
  TnxEncryptionEnginePtr client, server, client2;
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {u"ignored"}, nullptr, true, false, client));
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, true, server));
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, false, client2));
  const std::vector<uint8_t> coded = Code(*client, Pattern(kBlock, 4));
  std::vector<uint8_t> block = coded;
  EXPECT_EQ(nxeCorruptFile, Decode(*server, block));
  block = coded;
  EXPECT_EQ(0u, Decode(*client2, block));
  EXPECT_EQ(u"", client->ExtractPassword());
  // Nor can such an engine take a password.
  try {
    client->ChangePassword(header.data(), u"neu");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBlowfishRC4EncryptionEngineException& e) {
    EXPECT_EQ(nxeInvalidParameter, e.ErrorCode());
  }
  block = Code(*client, Pattern(kBlock, 4));
  EXPECT_EQ(0u, Decode(*client2, block));
}

TEST_F(EncryptionEngineTest, PasswordOutsideTheCodePageIsRefusedWhereAKeyIsMade) {
  const std::u16string omega = u"a\u03A9b";  // no omega in code page 1252
  TnxEncryptionEnginePtr engine;
  EXPECT_EQ(nxeInvalidParameter,
            TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {omega}, header.data(), true, false, engine));
  EXPECT_FALSE(engine);
  std::u16string message;
  LastCode(message);
  EXPECT_TRUE(Contains(message, u"\"?\"")) << std::string(message.begin(), message.end());

  engine = Create({u"a?b"});
  const std::array<uint8_t, 48> before = header;
  const std::u16string changeMessage = MessageOf<EnxBaseException>([&] { engine->ChangePassword(header.data(), omega); });
  EXPECT_TRUE(Contains(changeMessage, u"1252"));
  EXPECT_EQ(before, header);
  EXPECT_EQ(u"a?b", engine->ExtractPassword());

  // Opening converts the same way, so a table keyed with the "?" form opens.
  TnxEncryptionEnginePtr reopened;
  EXPECT_EQ(0u, Open({omega}, reopened));
  EXPECT_EQ(0u, reopened->AuthenticatePassword({omega}));
}

TEST_F(EncryptionEngineTest, PasswordsWithinTheCodePageKeepTheirCharacters) {
  const std::u16string umlauts = u"Gr\u00FC\u00DFe";
  Create({umlauts});
  TnxEncryptionEnginePtr engine;
  ASSERT_EQ(0u, Open({u"Grusse", umlauts}, engine));
  EXPECT_EQ(umlauts, engine->ExtractPassword());
}

// ---- registries ----

TEST_F(EncryptionEngineTest, RegistriesListTheDefaultEngineOnBothSides) {
  for (bool side : {false, true}) {
    platform::TStringList list;
    list.Add(u"stale");
    TnxBaseEncryptionEngine::GetRegisteredEngines(list, side);
    ASSERT_EQ(2, list.Count());
    EXPECT_EQ(u"", list[0]);
    EXPECT_EQ(u"nx1xDefault", list[1]);
    EXPECT_TRUE(TnxBaseEncryptionEngine::HasEngine(u"NX1XDEFAULT", side));
    EXPECT_FALSE(TnxBaseEncryptionEngine::HasEngine(u"nx1x", side));
    EXPECT_EQ(16u, TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"nx1xDefault", side, nxbs64k));
    EXPECT_EQ(48u, TnxBaseEncryptionEngine::ReservedHeaderSpace(u"nx1xDefault", side));
    EXPECT_EQ(0u, TnxBaseEncryptionEngine::ReservedHeaderSpace(u"", side));
  }
  TnxEncryptionEnginePtr client, server;
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xdefault", {}, nullptr, false, false, client));
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, true, server));
  EXPECT_EQ(u"TnxUserBlowfishRC4EncryptionEngine", client->ClassName());
  EXPECT_EQ(u"TnxServerBlowfishRC4EncryptionEngine", server->ClassName());
}

TEST_F(EncryptionEngineTest, UnknownEngineNameGivesSubEngineNotSupported) {
  TnxEncryptionEnginePtr engine;
  EXPECT_EQ(nxeSubEngineNotSupported,
            TnxBaseEncryptionEngine::CreateEngine(u"AES", {}, header.data(), true, false, engine));
  EXPECT_FALSE(engine);
  std::u16string message;
  LastCode(message);
  EXPECT_EQ(u"Unknown encryption engine: \"AES\"", message);
  for (auto call : {+[] { TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"AES", true, nxbs4k); },
                    +[] { TnxBaseEncryptionEngine::ReservedHeaderSpace(u"AES", true); }}) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EnxBaseEncryptionEngineException& e) {
      EXPECT_EQ(nxeSubEngineNotSupported, e.ErrorCode());
    }
  }
}

// A plain engine: the base's operations and nothing else.
class PlainEngine final : public TnxBaseEncryptionEngine {
public:
  explicit PlainEngine(const TnxBaseEncryptionEngineClass& aClass) : peClass(aClass) {}
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return peClass; }
  void CodeBlock(const void*, void*, uint32_t, uint32_t aRandomizer) override { randomizer = aRandomizer; }
  void DecodeBlock(void*, uint32_t, uint32_t aRandomizer) override { randomizer = aRandomizer; }
  const TnxBaseEncryptionEngineClass& peClass;
  uint32_t randomizer = 0;
};

class PlainEngineClass : public TnxBaseEncryptionEngineClass {
public:
  PlainEngineClass(std::u16string_view aName, bool aFails)
      : TnxBaseEncryptionEngineClass(aName, &TnxBaseEncryptionEngine::ClassInfo()), fails(aFails) {}
  TnxEncryptionEnginePtr Create(std::u16string_view, bool, bool, uint8_t*, const TnxUnicodeStrings&) const override {
    if (fails) throw EnxBaseEncryptionEngineException(12345, u"cannot make one");
    return TnxEncryptionEnginePtr(new PlainEngine(*this));
  }
  bool fails;
};

TEST_F(EncryptionEngineTest, ClassWithTheGreatestPriorityTextIsInForceUntilUnregistered) {
  const PlainEngineClass high(u"PlainHigh", false), negative(u"PlainNegative", false);
  struct Case {
    const PlainEngineClass* cls;
    int32_t priority;
    std::u16string_view inForce;
  };
  // Priorities compare as 8 hex digits: -1 ("FFFFFFFF") beats 5.
  const Case cases[] = {
      {&high, 5, u"PlainHigh"},
      {&negative, -1, u"PlainNegative"},
  };
  for (const Case& c : cases) {
    c.cls->Register(u"NX1XDEFAULT", false, c.priority);
    TnxEncryptionEnginePtr engine;
    ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, false, engine));
    EXPECT_EQ(c.inForce, engine->ClassName());
    // The other side is untouched.
    ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, true, engine));
    EXPECT_EQ(u"TnxServerBlowfishRC4EncryptionEngine", engine->ClassName());
  }
  EXPECT_THROW(high.Register(u"nx1xDefault", false, 5), EnxBaseEncryptionEngineException);
  negative.Unregister();
  high.Unregister();
  TnxEncryptionEnginePtr engine;
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, nullptr, false, false, engine));
  EXPECT_EQ(u"TnxUserBlowfishRC4EncryptionEngine", engine->ClassName());

  // A name of its own is listed in order and goes with its last class.
  high.Register(u"Aardvark", true, 0);
  platform::TStringList list;
  TnxBaseEncryptionEngine::GetRegisteredEngines(list, true);
  ASSERT_EQ(3, list.Count());
  EXPECT_EQ(u"Aardvark", list[1]);
  high.Unregister();
  EXPECT_FALSE(TnxBaseEncryptionEngine::HasEngine(u"Aardvark", true));
}

TEST_F(EncryptionEngineTest, BaseEngineTurnsConstructionFailureIntoItsCodeAndRefusesPasswordChange) {
  const PlainEngineClass failing(u"PlainFailing", true), plain(u"PlainEngine", false);
  failing.Register(u"Failing", false, 0);
  plain.Register(u"Plain", false, 0);
  TnxEncryptionEnginePtr engine;
  EXPECT_EQ(12345u, TnxBaseEncryptionEngine::CreateEngine(u"Failing", {}, nullptr, true, false, engine));
  EXPECT_FALSE(engine);
  ASSERT_EQ(0u, TnxBaseEncryptionEngine::CreateEngine(u"Plain", {u"a", u"b"}, nullptr, true, false, engine));
  EXPECT_EQ(0u, engine->AuthenticatePassword({u"x"}));
  EXPECT_EQ(u"", engine->ExtractPassword());
  EXPECT_TRUE(Contains(
      MessageOf<EnxBaseEncryptionEngineException>([&] { engine->ChangePassword(header.data(), u"x"); }),
      u"ChangePassword not supported by PlainEngine"));
  // The block number becomes the block's offset.
  std::vector<uint8_t> cookie{1}, checksum;
  engine->CodeBlockEx(nullptr, nullptr, 4096, 3, cookie, checksum);
  EXPECT_EQ(3u * 4096, static_cast<PlainEngine&>(*engine).randomizer);
  engine->DecodeBlockEx(nullptr, 8192, 5, cookie);
  EXPECT_EQ(5u * 8192, static_cast<PlainEngine&>(*engine).randomizer);
  EXPECT_TRUE(cookie.empty());
  failing.Unregister();
  plain.Unregister();
}

// ---- threads ----

TEST_F(EncryptionEngineTest, EightThreadsCodeAndDecodeThroughOneEngine) {
  TnxEncryptionEnginePtr engine = Create({u"p"});
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::vector<uint8_t> plain = Pattern(kBlock, static_cast<uint8_t>(t));
      std::vector<uint8_t> block(kBlock), cookie, checksum;
      for (int r = 0; r < kRounds; ++r) {
        engine->CodeBlockEx(plain.data(), block.data(), kBlock, static_cast<uint32_t>(r), cookie, checksum);
        try {
          engine->DecodeBlockEx(block.data(), kBlock, static_cast<uint32_t>(r), cookie);
        } catch (const EnxBaseException&) {
          ++failures;
          continue;
        }
        if (std::memcmp(plain.data(), block.data(), kUsable) != 0) ++failures;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  // One keyed cipher per thread at most: the pool only grows when all are in use.
  const int32_t pooled = static_cast<TnxBlowfishRC4EncryptionEngine&>(*engine).PooledCipherCount();
  EXPECT_GE(pooled, 1);
  EXPECT_LE(pooled, kThreads);
}

}  // namespace
}  // namespace revurov
