#include "lowlevel/cipher/blowfish_rc4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/startup.h"

namespace revurov {
namespace {

struct BlockVector {
  const char* key;
  uint32_t l, r, el, er;
};
struct Rc4Vector {
  const char* key;
  uint32_t words[8];
};
struct MessageVector {
  const char* key;
  uint32_t ivl, ivr;
  const char* plain;
  const char* cipher;
  const char* mac;
};
struct FreshVector {
  const char* key;
  const char* plain;
  const char* cipher;
};
struct CompressVector {
  const char* data;
  const char* out;
};
struct DeriveVector {
  const char* pwd;
  const char* salt;
  const char* label;
  const char* key;
};
struct AltVector {
  const char* key;
  const char* plain;
  const char* alt;
};

// Produced by the independent model in cipher_vectors.py.
#include "lowlevel/cipher_vectors.inc"

std::string Hex(const char* aHex) {
  std::string out;
  for (size_t i = 0; aHex[i] && aHex[i + 1]; i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(aHex + i, 2), nullptr, 16)));
  return out;
}

std::string Pattern(size_t aLen, uint32_t aSeed) {
  std::string out(aLen, '\0');
  for (auto& c : out) {
    aSeed = aSeed * 1103515245u + 12345u;
    c = static_cast<char>(aSeed >> 16);
  }
  return out;
}

class BlowfishRC4 : public ::testing::Test {
protected:
  void SetUp() override { nxBlowfishRC4Startup(); }
  void TearDown() override { nxBlowfishRC4Shutdown(); }
};

TEST_F(BlowfishRC4, BlockCipherMatchesTheIndependentModel) {
  for (const auto& v : kBlockVectors) {
    SCOPED_TRACE(v.key);
    TnxBlowFishRC4 cipher(Hex(v.key));
    uint32_t L = v.l, R = v.r;
    cipher.EncipherBlock(L, R);
    EXPECT_EQ(L, v.el);
    EXPECT_EQ(R, v.er);
    cipher.DecipherBlock(L, R);
    EXPECT_EQ(L, v.l);
    EXPECT_EQ(R, v.r);
  }
}

TEST_F(BlowfishRC4, EmptyKeyExpandsFromOneBlank) {
  TnxBlowFishRC4 empty(""), blank(" ");
  uint32_t L1 = 1, R1 = 2, L2 = 1, R2 = 2;
  empty.EncipherBlock(L1, R1);
  blank.EncipherBlock(L2, R2);
  EXPECT_EQ(L1, L2);
  EXPECT_EQ(R1, R2);
}

TEST_F(BlowfishRC4, RC4KeyStreamMatchesTheIndependentModel) {
  for (const auto& v : kRc4Vectors) {
    SCOPED_TRACE(v.key);
    TnxRC4 generator(Hex(v.key));
    for (uint32_t word : v.words) EXPECT_EQ(generator.KeyStream(), word);
  }
}

TEST_F(BlowfishRC4, RC4EmptyKeyIsTheIdentityState) {
  // From the identity state, the first output byte is K[K[1] + K[1]] = 2.
  TnxRC4 generator;
  EXPECT_EQ(generator.KeyStream() & 0xFF, 2u);
}

TEST_F(BlowfishRC4, RC4ResetRestartsFromTheKeyedState) {
  TnxRC4 a("key"), b("key");
  uint8_t code[256];
  for (int i = 0; i < 256; ++i) code[i] = static_cast<uint8_t>(i * 7);
  for (int i = 0; i < 10; ++i) a.KeyStream();
  a.Reset(code);
  b.Reset(code);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a.KeyStream(), b.KeyStream());
}

TEST_F(BlowfishRC4, MessagesMatchTheIndependentModel) {
  for (const auto& v : kMessageVectors) {
    const std::string key = Hex(v.key), plain = Hex(v.plain);
    SCOPED_TRACE(testing::Message() << v.key << " / " << plain.size());
    TnxBlowFishRC4 sender(key);
    std::string data = plain;
    sender.ResetIV(v.ivl, v.ivr);
    sender.Encode(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(data, Hex(v.cipher));
    uint8_t mac[8];
    sender.Final(mac);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mac), 8), Hex(v.mac));
    EXPECT_TRUE(sender.MustReset());

    TnxBlowFishRC4 receiver(key);
    uint8_t iv[8];
    std::memcpy(iv, &v.ivl, 4);
    std::memcpy(iv + 4, &v.ivr, 4);
    EXPECT_TRUE(receiver.DecodeTransport(iv, data.data(), static_cast<uint32_t>(data.size()), mac));
    EXPECT_EQ(data, plain);
  }
}

TEST_F(BlowfishRC4, EncodeWithoutIVSetupRunsFromTheKey) {
  for (const auto& v : kFreshVectors) {
    TnxBlowFishRC4 cipher(Hex(v.key));
    std::string data = Hex(v.plain);
    cipher.Encode(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(data, Hex(v.cipher));
  }
}

TEST_F(BlowfishRC4, SeveralCallsContinueOneMessage) {
  const std::string plain = Pattern(96, 1);
  TnxBlowFishRC4 whole("k"), parts("k");
  std::string a = plain, b = plain;
  uint8_t macA[8], macB[8];
  whole.ResetIV(5, 6);
  whole.Encode(a.data(), 96);
  whole.Final(macA);
  parts.ResetIV(5, 6);
  parts.Encode(b.data(), 8);
  parts.Encode(b.data() + 8, 0);
  parts.Encode(b.data() + 8, 88);
  parts.Final(macB);
  EXPECT_EQ(a, b);
  EXPECT_EQ(0, std::memcmp(macA, macB, 8));
}

TEST_F(BlowfishRC4, RoundTripsEverySizeUpTo10000) {
  TnxBlowFishRC4 sender("round trip key"), receiver("round trip key");
  const std::string source = Pattern(10000, 42);
  for (uint32_t size = 0; size <= 10000; size += 8) {
    std::string data = source.substr(0, size);
    uint8_t iv[8], mac[8];
    sender.EncodeTransport(iv, data.data(), size, mac);
    if (size >= 16) {
      ASSERT_NE(data, source.substr(0, size)) << size;
    }
    ASSERT_TRUE(receiver.DecodeTransport(iv, data.data(), size, mac)) << size;
    ASSERT_EQ(data, source.substr(0, size)) << size;
  }
}

TEST_F(BlowfishRC4, AnyFlippedBitIsDetectedByTheCheckValue) {
  TnxBlowFishRC4 sender("flip"), receiver("flip");
  const std::string plain = Pattern(520, 3);
  std::string sent = plain;
  uint8_t iv[8], mac[8];
  sender.EncodeTransport(iv, sent.data(), 520, mac);
  for (uint32_t bit = 0; bit < 520 * 8; bit += 37) {
    std::string data = sent;
    data[bit / 8] = static_cast<char>(data[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_FALSE(receiver.DecodeTransport(iv, data.data(), 520, mac)) << bit;
    EXPECT_NE(data, plain);
  }
  for (int bit = 0; bit < 64; ++bit) {
    std::string data = sent;
    uint8_t badIV[8], badMac[8];
    std::memcpy(badIV, iv, 8);
    std::memcpy(badMac, mac, 8);
    badIV[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(receiver.DecodeTransport(badIV, data.data(), 520, mac)) << bit;
    data = sent;
    badMac[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(receiver.DecodeTransport(iv, data.data(), 520, badMac)) << bit;
  }
  std::string data = sent;
  EXPECT_TRUE(receiver.DecodeTransport(iv, data.data(), 520, mac));
  EXPECT_EQ(data, plain);
}

TEST_F(BlowfishRC4, AnotherKeyFailsTheCheck) {
  TnxBlowFishRC4 sender("one"), receiver("two");
  std::string data = Pattern(64, 9);
  uint8_t iv[8], mac[8];
  sender.EncodeTransport(iv, data.data(), 64, mac);
  EXPECT_FALSE(receiver.DecodeTransport(iv, data.data(), 64, mac));
}

TEST_F(BlowfishRC4, LengthsThatAreNotBlockMultiplesRaiseBeforeChangingData) {
  TnxBlowFishRC4 cipher("k");
  std::string data = Pattern(13, 1);
  const std::string before = data;
  EXPECT_THROW(cipher.Encode(data.data(), 13), EnxBaseCipherException);
  EXPECT_THROW(cipher.Decode(data.data(), 13), EnxBaseCipherException);
  EXPECT_EQ(data, before);
}

TEST_F(BlowfishRC4, RandomIVsDifferAndAreSentAsTheySetUp) {
  TnxBlowFishRC4 sender("iv"), receiver("iv");
  uint32_t l1, r1, l2, r2;
  sender.RandomIV(l1, r1);
  sender.RandomIV(l2, r2);
  EXPECT_FALSE(l1 == l2 && r1 == r2);
  std::string data = Pattern(32, 4);
  const std::string plain = data;
  uint8_t mac[8], check[8];
  sender.Encode(data.data(), 32);
  sender.Final(mac);
  receiver.ResetIV(l2, r2);
  receiver.Decode(data.data(), 32);
  receiver.Final(check);
  EXPECT_EQ(data, plain);
  EXPECT_EQ(0, std::memcmp(mac, check, 8));
}

TEST_F(BlowfishRC4, RandomDataIsDistinctAcrossThreads) {
  constexpr int kThreads = 8, kDraws = 500;
  std::vector<std::vector<uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kDraws; ++i) {
        uint64_t v;
        TnxBlowFishRC4::GetRandom64(&v);
        drawn[t].push_back(v);
      }
    });
  for (auto& th : threads) th.join();
  std::set<uint64_t> all;
  for (const auto& d : drawn) all.insert(d.begin(), d.end());
  EXPECT_EQ(all.size(), size_t{kThreads * kDraws});
}

TEST_F(BlowfishRC4, GenerateRandomFillsWholeAndCutBlocks) {
  const auto& cls = TnxBlowFishRC4::ClassInfo();
  for (uint32_t len : {0u, 8u, 13u, 64u}) {
    std::vector<uint8_t> a(len + 8, 0), b(len + 8, 0);
    cls.GenerateRandom(a.data(), len);
    cls.GenerateRandom(b.data(), len);
    for (uint32_t i = len; i < len + 8; ++i) EXPECT_EQ(a[i], 0) << "written past the length";
    if (len >= 8) {
      EXPECT_NE(a, b);
    }
  }
}

TEST_F(BlowfishRC4, KeyMaterialCompressesAsTheIndependentModel) {
  for (const auto& v : kCompressVectors) {
    const std::string data = Hex(v.data);
    SCOPED_TRACE(data.size());
    uint8_t out[16];
    nxCompressKeyMaterial(data.data(), static_cast<uint32_t>(data.size()), TnxBlowFishRC4::ClassInfo(), out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 16), Hex(v.out));
  }
}

TEST_F(BlowfishRC4, EmptyKeyMaterialIsSixteenZerosUnderTheKey0x80) {
  uint8_t out[16];
  nxCompressKeyMaterial(nullptr, 0, TnxBlowFishRC4::ClassInfo(), out);
  TnxBlowFishRC4 cipher("\x80");
  uint8_t expected[16] = {};
  cipher.Encode(expected, 16);
  EXPECT_EQ(0, std::memcmp(out, expected, 16));
}

TEST_F(BlowfishRC4, TwentyEightBytesTakeTwoSteps) {
  const std::string data = Pattern(28, 5);
  uint8_t out[16];
  nxCompressKeyMaterial(data.data(), 28, TnxBlowFishRC4::ClassInfo(), out);
  uint8_t expected[16] = {};
  TnxBlowFishRC4(data).Encode(expected, 16);
  TnxBlowFishRC4("\x80").Encode(expected, 16);
  EXPECT_EQ(0, std::memcmp(out, expected, 16));
}

TEST_F(BlowfishRC4, DerivedKeysMatchTheIndependentModel) {
  for (const auto& v : kDeriveVectors) {
    const std::string pwd = Hex(v.pwd), salt = Hex(v.salt), label = Hex(v.label);
    auto derived = TnxBlowFishRC4::ClassInfo().DeriveKey(pwd.data(), static_cast<uint32_t>(pwd.size()),
                                                         salt.data(), static_cast<uint32_t>(salt.size()),
                                                         label);
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(&derived->ClassType(), &TnxBlowFishRC4::ClassInfo());
    TnxBlowFishRC4 expected(Hex(v.key));
    std::string a = Pattern(40, 8), b = a;
    derived->ResetIVBlock("\1\2\3\4\5\6\7\0");
    expected.ResetIVBlock("\1\2\3\4\5\6\7\0");
    derived->Encode(a.data(), 40);
    expected.Encode(b.data(), 40);
    EXPECT_EQ(a, b);
  }
}

TEST_F(BlowfishRC4, DerivedKeysRoundTrip) {
  auto sender = TnxBlowFishRC4::ClassInfo().DeriveKey("pw", 2, "salt", 4, "login");
  auto receiver = TnxBlowFishRC4::ClassInfo().DeriveKey("pw", 2, "salt", 4, "login");
  auto other = TnxBlowFishRC4::ClassInfo().DeriveKey("pw", 2, "salt", 4, "table");
  std::string data = Pattern(520, 6);
  const std::string plain = data;
  uint8_t iv[8], mac[8];
  sender->EncodeKey(iv, data.data(), 520, mac);
  std::string copy = data;
  EXPECT_FALSE(other->DecodeKey(iv, copy.data(), 520, mac));
  EXPECT_TRUE(receiver->DecodeKey(iv, data.data(), 520, mac));
  EXPECT_EQ(data, plain);
}

TEST_F(BlowfishRC4, AlternativeModeMatchesTheIndependentModel) {
  for (const auto& v : kAltVectors) {
    const std::string plain = Hex(v.plain);
    SCOPED_TRACE(plain.size());
    TnxBlowFishRC4 cipher(Hex(v.key));
    std::string data = plain;
    cipher.AltEncode(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(data, Hex(v.alt));
    cipher.AltDecode(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(data, plain);
  }
}

TEST_F(BlowfishRC4, AlternativeModeRoundTripsThroughTheRegistry) {
  for (uint32_t len : {0u, 256u, 512u, 4096u, 10240u}) {
    std::string data = Pattern(len, len);
    const std::string plain = data;
    TnxBaseCipher::EncodeAlt(data.data(), len);
    if (len > 0) {
      EXPECT_NE(data, plain);
    }
    TnxBaseCipher::DecodeAlt(data.data(), len);
    EXPECT_EQ(data, plain) << len;
  }
}

TEST_F(BlowfishRC4, AlternativeModeRefusesLengthsOtherThanChunks) {
  std::string data = Pattern(300, 1);
  const std::string plain = data;
  EXPECT_THROW(TnxBaseCipher::EncodeAlt(data.data(), 300), EnxBaseCipherException);
  EXPECT_THROW(TnxBaseCipher::DecodeAlt(data.data(), 100), EnxBaseCipherException);
  EXPECT_EQ(data, plain);
}

TEST_F(BlowfishRC4, AlternativeModeChangesWithEveryLaterChunk) {
  // A change in the first half of a later chunk reaches chunk 0.
  std::string a = Pattern(768, 2), b = a;
  b[512] = static_cast<char>(b[512] ^ 1);
  TnxBlowFishRC4 cipher("alt");
  cipher.AltEncode(a.data(), 768);
  cipher.AltEncode(b.data(), 768);
  EXPECT_NE(a.substr(0, 256), b.substr(0, 256));
}

TEST_F(BlowfishRC4, SharedInstanceIsClearedWhenDestroyed) {
  TnxBlowFishRC4* first = &nxSharedBlowFishRC4();
  EXPECT_EQ(first, &nxSharedBlowFishRC4());
  nxCreateSharedBlowFishRC4();
  TnxBlowFishRC4* second = &nxSharedBlowFishRC4();
  delete second;
  TnxBlowFishRC4* third = &nxSharedBlowFishRC4();
  EXPECT_NE(third, nullptr);
  uint8_t block[8];
  TnxBlowFishRC4::GetRandom64(block);
}

TEST_F(BlowfishRC4, StartUpRegistersTheClassAndShutDownRemovesIt) {
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("blowfishrc4"), &TnxBlowFishRC4::ClassInfo());
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &TnxBlowFishRC4::ClassInfo());
  nxBlowfishRC4Startup();  // counted: a second start-up changes nothing
  nxBlowfishRC4Shutdown();
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), &TnxBlowFishRC4::ClassInfo());
  nxBlowfishRC4Shutdown();
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), nullptr);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), nullptr);
  nxBlowfishRC4Startup();
}

TEST(BlowfishRC4Startup, LibraryStartUpRegistersTheCipher) {
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), nullptr);
  {
    TnxLowLevelStartupGuard library;
    EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), &TnxBlowFishRC4::ClassInfo());
    EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &TnxBlowFishRC4::ClassInfo());
  }
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), nullptr);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), nullptr);
}

TEST(BlowfishRC4Startup, UnmatchedShutDownDoesNothing) {
  nxBlowfishRC4Shutdown();
  nxBaseCipherShutdown();
  nxBlowfishRC4Startup();
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), &TnxBlowFishRC4::ClassInfo());
  nxBlowfishRC4Shutdown();
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), nullptr);
}

}  // namespace
}  // namespace revurov
