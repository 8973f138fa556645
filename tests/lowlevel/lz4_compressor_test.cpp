#include "lowlevel/cipher/lz4_compressor.h"

#include <gtest/gtest.h>
#include <lz4frame.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/startup.h"
#include "support/text_payload.h"

namespace revurov {
namespace {

std::string Payload(size_t aLen, uint32_t aSeed) { return testing::TextPayload(aLen, aSeed); }

std::string Compress(const TnxBaseCompressor& aClass, const std::string& aSource) {
  std::string frame((aSource.size() / 16 + 2) * 16 + 64, '\0');
  const uint32_t n = aClass.Compress(aSource.data(), frame.data(), static_cast<uint32_t>(aSource.size()),
                                     static_cast<uint32_t>(frame.size()));
  frame.resize(n);
  return frame;
}

bool Uncompress(const TnxBaseCompressor& aClass, const std::string& aFrame, size_t aExpected,
                std::string& aOut) {
  aOut.assign(aExpected, '\0');
  return aClass.Uncompress(aFrame.data(), aOut.data(), static_cast<uint32_t>(aFrame.size()),
                           static_cast<uint32_t>(aExpected));
}

class Lz4Compressor : public ::testing::Test {
protected:
  void SetUp() override { nxLz4CompressorStartup(); }
  void TearDown() override { nxLz4CompressorShutdown(); }
  const TnxLz4Compressor& fast = nxLz4CompressorClass(1);
};

TEST_F(Lz4Compressor, EveryPresetRoundTripsSizesUpTo10000) {
  for (int preset = 1; preset <= 9; ++preset) {
    const auto& cls = nxLz4CompressorClass(preset);
    EXPECT_EQ(cls.Preset(), preset);
    for (size_t size = 0; size <= 10000; size += (preset == 1 ? 7 : 331)) {
      const std::string source = Payload(size, static_cast<uint32_t>(size));
      const std::string frame = Compress(cls, source);
      ASSERT_GT(frame.size(), 0u) << preset << "/" << size;
      std::string out;
      ASSERT_TRUE(Uncompress(cls, frame, size, out)) << preset << "/" << size;
      ASSERT_EQ(out, source) << preset << "/" << size;
    }
  }
}

TEST_F(Lz4Compressor, HigherPresetsCompressAtLeastAsWell) {
  const std::string source = Payload(60000, 1);
  EXPECT_LE(Compress(nxLz4CompressorClass(9), source).size(), Compress(fast, source).size());
}

TEST_F(Lz4Compressor, ResultThatDoesNotFitIsZero) {
  const std::string source = "0123456789";
  std::string target(10, '\0');
  EXPECT_EQ(fast.Compress(source.data(), target.data(), 10, 10), 0u);
  std::mt19937 rng(3);
  std::string noise(4096, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  std::string small(4096, '\0');
  EXPECT_EQ(fast.Compress(noise.data(), small.data(), 4096, 4096), 0u);
}

TEST_F(Lz4Compressor, LargeCompressibleSourceGoesThroughAHeapBuffer) {
  const std::string source(1 << 20, 'a');
  std::string target(1 << 20, '\0');
  const uint32_t n = fast.Compress(source.data(), target.data(), 1 << 20, 1 << 20);
  ASSERT_GT(n, 0u);
  EXPECT_LT(n, 8192u);
  target.resize(n);
  std::string out;
  ASSERT_TRUE(Uncompress(fast, target, 1 << 20, out));
  EXPECT_EQ(out, source);
}

TEST_F(Lz4Compressor, TransportSizedTargetKeepsOnlySmallerResults) {
  // The transport offers the source length as capacity.
  const std::string source = Payload(5000, 4);
  std::string target((5000 / 16 + 2) * 16, '\0');
  const uint32_t n = fast.Compress(source.data(), target.data(), 5000, 5000);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, 5000u);
  target.resize(n);
  std::string out;
  ASSERT_TRUE(Uncompress(fast, target, 5000, out));
  EXPECT_EQ(out, source);
}

TEST_F(Lz4Compressor, TransportSizedTargetsOfChangingSizesOnOneThread) {
  // Full 64 KiB blocks and beyond go through the thread's growing scratch
  // buffer or, past its cap, a heap buffer; sizes shrink again in between.
  std::mt19937 rng(5);
  for (size_t size : {1000u, 65536u, 70000u, 200000u, 65536u, 1000u, 300000u, 65536u}) {
    SCOPED_TRACE(size);
    const std::string source = Payload(size, static_cast<uint32_t>(size));
    const uint32_t len = static_cast<uint32_t>(size);
    std::string target((size / 16 + 2) * 16, '\0');
    const uint32_t n = fast.Compress(source.data(), target.data(), len, len);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, len);
    target.resize(n);
    std::string out;
    ASSERT_TRUE(Uncompress(fast, target, size, out));
    EXPECT_EQ(out, source);

    std::string noise(size, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    std::string small(size, '\0');
    EXPECT_EQ(fast.Compress(noise.data(), small.data(), len, len), 0u);
  }
}

TEST_F(Lz4Compressor, FrameWithoutItsEndMarkStillDecodes) {
  for (size_t size : {0u, 100u, 70000u, 200000u}) {
    const std::string source = Payload(size, 5);
    std::string frame = Compress(fast, source);
    ASSERT_GE(frame.size(), 4u);
    ASSERT_EQ(frame.substr(frame.size() - 4), std::string(4, '\0'));
    frame.resize(frame.size() - 4);
    std::string out;
    EXPECT_TRUE(Uncompress(fast, frame, size, out)) << size;
    EXPECT_EQ(out, source);
  }
}

TEST_F(Lz4Compressor, DamagedFramesAreRejected) {
  const std::string source = Payload(150000, 6);  // three blocks
  const std::string frame = Compress(fast, source);
  struct Case {
    const char* what;
    std::string frame;
    size_t expected;
  };
  std::vector<Case> cases = {
      {"empty input", "", source.size()},
      {"cut inside the header", frame.substr(0, 5), source.size()},
      {"cut inside a block", frame.substr(0, frame.size() / 2), source.size()},
      {"cut after the header", frame.substr(0, 7), source.size()},
      {"trailing bytes", frame + "xyz", source.size()},
      {"a second frame behind", frame + frame, source.size()},
      {"expected size too large", frame, source.size() + 1},
      {"expected size too small", frame, source.size() - 1},
      {"expected size zero", frame, 0},
  };
  std::string badMagic = frame;
  badMagic[0] = static_cast<char>(badMagic[0] ^ 0x10);
  cases.push_back({"wrong magic number", badMagic, source.size()});
  std::string badHeader = frame;
  badHeader[6] = static_cast<char>(badHeader[6] ^ 0x01);  // header checksum
  cases.push_back({"wrong header checksum", badHeader, source.size()});
  std::string badBlock = frame;
  badBlock[9] = static_cast<char>(badBlock[9] ^ 0x40);  // first block's length
  cases.push_back({"block length beyond the frame", badBlock, source.size()});

  for (const auto& c : cases) {
    std::string out;
    EXPECT_FALSE(Uncompress(fast, c.frame, c.expected, out)) << c.what;
  }
  // The thread's context is clean again after every failure.
  std::string out;
  ASSERT_TRUE(Uncompress(fast, frame, source.size(), out));
  EXPECT_EQ(out, source);
}

// A frame from elsewhere that stores its content size (ours never do).
std::string FrameWithContentSize(const std::string& aSource) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.contentSize = aSource.size();
  std::string frame(LZ4F_compressFrameBound(aSource.size(), &prefs), '\0');
  const size_t n = LZ4F_compressFrame(frame.data(), frame.size(), aSource.data(), aSource.size(), &prefs);
  EXPECT_FALSE(LZ4F_isError(n));
  frame.resize(LZ4F_isError(n) ? 0 : n);
  return frame;
}

// One bad message must not deny compressed traffic to the thread that got
// it: every frame after a failed one decodes as if it came first.
TEST_F(Lz4Compressor, AFailedFrameLeavesTheThreadAbleToDecompress) {
  const std::string big = Payload(70000, 9);
  const std::string sized = FrameWithContentSize(big);
  ASSERT_GT(sized.size(), 15u);
  struct Case {
    const char* what;
    std::string frame;
    size_t expected;
  };
  const Case cases[] = {
      {"bare header claiming 70000 bytes", sized.substr(0, 15), big.size()},
      {"content size frame cut in a block", sized.substr(0, sized.size() / 2), big.size()},
      {"content size frame, target too small", sized, big.size() - 1},
      {"content size frame, target too large", sized, big.size() + 1},
  };
  const std::string small = Payload(3000, 10);
  const std::string ours = Compress(fast, small);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out;
    EXPECT_FALSE(Uncompress(fast, c.frame, c.expected, out));
    ASSERT_TRUE(Uncompress(fast, ours, small.size(), out));
    EXPECT_EQ(out, small);
    ASSERT_TRUE(Uncompress(fast, sized, big.size(), out));
    EXPECT_EQ(out, big);
  }
}

TEST_F(Lz4Compressor, RandomDamageNeverReadsOrWritesOutOfBounds) {
  const std::string source = Payload(20000, 7);
  const std::string frame = Compress(fast, source);
  std::mt19937 rng(8);
  for (int i = 0; i < 3000; ++i) {
    std::string damaged = frame;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<char>(1 << (rng() % 8));
    if (rng() % 3 == 0) damaged.resize(rng() % damaged.size());
    std::string out;
    (void)Uncompress(fast, damaged, source.size(), out);
    ASSERT_EQ(out.size(), source.size());
  }
}

TEST_F(Lz4Compressor, BaseCompressorDoesNothing) {
  const auto& base = TnxBaseCompressor::ClassInfo();
  char buf[16] = {};
  EXPECT_EQ(base.Compress("abc", buf, 3, 16), 0u);
  EXPECT_FALSE(base.Uncompress(buf, buf, 16, 16));
  EXPECT_TRUE(fast.InheritsFrom(TnxLz4Compressor::ClassInfo()));
  EXPECT_TRUE(fast.InheritsFrom(base));
  EXPECT_EQ(TnxLz4Compressor::ClassInfo().Preset(), 1);
  EXPECT_THROW(nxLz4CompressorClass(10), EnxCompressorException);
}

TEST_F(Lz4Compressor, ThreadsCompressAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&failures, t] {
      const auto& cls = nxLz4CompressorClass(1 + t % 9);
      for (int i = 0; i < 40; ++i) {
        const std::string source = Payload(1000 + 997 * static_cast<size_t>(i), static_cast<uint32_t>(t * 100 + i));
        std::string out;
        if (!Uncompress(cls, Compress(cls, source), source.size(), out) || out != source) ++failures[t];
      }
    });
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

// ---- registry ----

TEST_F(Lz4Compressor, PresetsAreRegisteredUnderIds11To19) {
  EXPECT_EQ(nxCompressorClasses[0], nullptr);
  EXPECT_EQ(nxCompressorClasses[10], nullptr);
  EXPECT_EQ(nxCompressorClasses[20], nullptr);
  for (int preset = 1; preset <= 9; ++preset) {
    EXPECT_EQ(nxCompressorClasses[10 + preset], &nxLz4CompressorClass(preset));
    EXPECT_EQ(nxCompressorClasses[10 + preset]->ClassName(),
              u"TnxLz4Compressor" + std::u16string(1, static_cast<char16_t>(u'0' + preset)));
  }
  EXPECT_EQ(nxCompressorNames[11], u"Lz4 (1) Best speed");
  EXPECT_EQ(nxCompressorNames[15], u"Lz4 (5)");
  EXPECT_EQ(nxCompressorNames[19], u"Lz4 (9) Best Compression");
}

TEST_F(Lz4Compressor, TakenIdIsRefusedAndKeepsTheFirstClass) {
  try {
    nxRegisterCompressor(nxLz4CompressorClass(1), 11, u"again");
    FAIL();
  } catch (const EnxCompressorException& e) {
    EXPECT_NE(e.Message().find(u"Compressor already registered"), std::u16string::npos);
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
  EXPECT_EQ(nxCompressorNames[11], u"Lz4 (1) Best speed");
  EXPECT_THROW(nxRegisterCompressor(fast, 0, u"none"), EnxCompressorException);
}

TEST_F(Lz4Compressor, UnregisterClearsEveryIdOfTheClass) {
  nxRegisterCompressor(nxLz4CompressorClass(3), 200, u"alias");
  nxUnregisterCompressor(nxLz4CompressorClass(3));
  EXPECT_EQ(nxCompressorClasses[13], nullptr);
  EXPECT_EQ(nxCompressorClasses[200], nullptr);
  EXPECT_EQ(nxCompressorNames[200], u"alias");  // names stay until shut-down
  nxRegisterCompressor(nxLz4CompressorClass(3), 13, u"Lz4 (3)");
}

TEST_F(Lz4Compressor, ShutDownEmptiesIds11To19) {
  nxLz4CompressorStartup();
  nxLz4CompressorShutdown();
  EXPECT_EQ(nxCompressorClasses[11], &nxLz4CompressorClass(1));
  nxLz4CompressorShutdown();
  for (int id = 11; id <= 19; ++id) EXPECT_EQ(nxCompressorClasses[id], nullptr) << id;
  EXPECT_TRUE(nxCompressorNames[11].empty());
  nxLz4CompressorStartup();
}

TEST(Lz4CompressorStartup, LibraryStartUpRegistersThePresets) {
  EXPECT_EQ(nxCompressorClasses[11], nullptr);
  {
    TnxLowLevelStartupGuard library;
    EXPECT_EQ(nxCompressorClasses[11], &nxLz4CompressorClass(1));
    EXPECT_EQ(nxCompressorClasses[19], &nxLz4CompressorClass(9));
  }
  EXPECT_EQ(nxCompressorClasses[11], nullptr);
}

TEST(Lz4CompressorStartup, UnmatchedShutDownDoesNothing) {
  nxLz4CompressorShutdown();
  nxBaseCompressorShutdown();
  nxLz4CompressorStartup();
  EXPECT_EQ(nxCompressorClasses[11], &nxLz4CompressorClass(1));
  nxLz4CompressorShutdown();
  EXPECT_EQ(nxCompressorClasses[11], nullptr);
}

// ---- the lz4 command ----

class Lz4Command : public Lz4Compressor {
protected:
  void SetUp() override {
    Lz4Compressor::SetUp();
    if (std::system("lz4 --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no lz4 command";
    char dir[] = "/tmp/lz4_compressor_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder = dir;
  }
  void TearDown() override {
    if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
    Lz4Compressor::TearDown();
  }
  void Write(const std::string& aName, const std::string& aData) {
    std::ofstream(folder + "/" + aName, std::ios::binary) << aData;
  }
  std::string Read(const std::string& aName) {
    std::ifstream in(folder + "/" + aName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Run(const std::string& aArgs) {
    return std::system(("cd '" + folder + "' && lz4 -q -f " + aArgs + " 2>/dev/null").c_str());
  }
  std::string folder;
};

TEST_F(Lz4Command, OurFramesDecodeWithTheCommand) {
  for (int preset : {1, 5, 9}) {
    for (size_t size : {0u, 1u, 4096u, 65536u, 300000u}) {
      const std::string source = Payload(size, static_cast<uint32_t>(size + preset));
      Write("ours.lz4", Compress(nxLz4CompressorClass(preset), source));
      ASSERT_EQ(Run("-d ours.lz4 plain"), 0) << preset << "/" << size;
      EXPECT_EQ(Read("plain"), source) << preset << "/" << size;
    }
  }
}

TEST_F(Lz4Command, CommandFramesOfEveryLevelDecodeWithOurs) {
  const std::string source = Payload(300000, 9);
  Write("source", source);
  for (int level = 1; level <= 9; ++level) {
    ASSERT_EQ(Run("-" + std::to_string(level) + " source theirs.lz4"), 0) << level;
    const std::string frame = Read("theirs.lz4");
    std::string out;
    EXPECT_TRUE(Uncompress(fast, frame, source.size(), out)) << level;
    EXPECT_EQ(out, source) << level;
  }
  // Their frames carry a content checksum: damage in the data is caught.
  ASSERT_EQ(Run("-1 source theirs.lz4"), 0);
  std::string frame = Read("theirs.lz4");
  frame[frame.size() / 2] = static_cast<char>(frame[frame.size() / 2] ^ 0x20);
  std::string out;
  EXPECT_FALSE(Uncompress(fast, frame, source.size(), out));
}

}  // namespace
}  // namespace revurov
