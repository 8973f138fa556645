#include "storage/blob_engines.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/files.h"
#include "storage/header_access.h"
#include "support/blob_table.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TBlobTable;
using testing::TestSize;

constexpr std::u16string_view kSegmented = u"nx1xDefault";
constexpr std::u16string_view kSimple = u"nx1xSimple";

// ---- the family ----

TEST(BlobEngineFamily, CreatesTheEngineTheDescriptorNamesAndNothingWithoutOne) {
  for (std::u16string_view name : {kSegmented, kSimple}) {
    TBlobTable b(name);
    EXPECT_EQ(b.Engine().ClassType().Name,
              name == kSegmented ? u"TnxSegmentedBlobEngine" : u"TnxSimpleBlobEngine");
  }
  testing::TTableFixture t;
  EXPECT_EQ(TnxBaseBlobEngine::CreateEngine(t.Dict(), t.Files(), nullptr), nullptr);
  TnxBaseBlobEngine::CheckValid(t.Dict());
}

TEST(BlobEngineFamily, UnknownNamesAndMissingHeapsAreRefused) {
  testing::TTableFixture t;
  auto* blob = static_cast<TnxHeapBlobDescriptor*>(t.Dict().AddBlobDescriptor());
  blob->SetBlobEngine(u"NoSuchEngine");
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseBlobEngine::CheckValid(t.Dict()); }), nxeSubEngineNotSupported);
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseBlobEngine::CreateEngine(t.Dict(), t.Files(), nullptr); }),
            nxeSubEngineNotSupported);
  // The segmented engine needs a heap; the simple one takes any descriptor.
  blob->SetBlobEngine(kSegmented);
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseBlobEngine::CheckValid(t.Dict()); }), nxeInvalidDescriptor);
  blob->SetBlobEngine(kSimple);
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseBlobEngine::CheckValid(t.Dict()); }), 0u);
  t.Dict().AddBlobDescriptor(&TnxBaseBlobDescriptor::ClassInfo())->SetBlobEngine(kSegmented);
  EXPECT_EQ(ErrorCodeOf([&] { TnxBaseBlobEngine::CheckValid(t.Dict()); }), nxeInvalidDescriptor);
}

// ---- file BLOBs ----

class FileBlobTest : public ::testing::TestWithParam<std::u16string_view> {
protected:
  TBlobTable b_{GetParam()};
  std::string Folder() { return platform::Utf16ToUtf8(b_.Table().File().fiPath); }
  void Put(const std::string& aName, const std::string& aBytes) {
    std::filesystem::create_directories(std::filesystem::path(Folder() + aName).parent_path());
    std::ofstream(Folder() + aName, std::ios::binary) << aBytes;
  }
  TnxBlobNr AddFile(const std::u16string& aName) {
    TnxBlobNr nr = 0;
    b_.Engine().AddFileBlob(b_.Trans(), aName, nr);
    return nr;
  }
  uint32_t LengthResult(TnxBlobNr aNr, uint32_t& aLength) {
    return b_.Engine().GetBlobLength(&b_.Trans(), aNr, {}, aLength);
  }
};

TEST_P(FileBlobTest, NamesBelowTheFolderAreRead) {
  const std::string bytes = "external file contents";
  Put("pic.bin", bytes);
  Put("sub/deep.bin", bytes + "!");
  std::filesystem::create_symlink("pic.bin", Folder() + "inside-link");
  struct Case {
    std::u16string Name;
    std::string Expected;
  } cases[] = {
      {u"pic.bin", bytes},
      {u"sub/deep.bin", bytes + "!"},
      {u"sub/../pic.bin", bytes},
      {u"inside-link", bytes},
      {platform::Utf8ToUtf16(Folder()) + u"pic.bin", bytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::Utf16ToUtf8(c.Name));
    const TnxBlobNr nr = AddFile(c.Name);
    std::u16string name;
    EXPECT_TRUE(b_.Engine().IsFileBlob(&b_.Trans(), nr, name));
    EXPECT_EQ(name, c.Name);
    uint32_t length = 0;
    EXPECT_EQ(LengthResult(nr, length), 0u);
    EXPECT_EQ(length, c.Expected.size());
    uint32_t result = 1;
    EXPECT_EQ(b_.ReadRange(nr, 0, 1000, &result), c.Expected);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(b_.ReadRange(nr, 9, 4), c.Expected.substr(9, 4));
  }
}

TEST_P(FileBlobTest, NamesLeadingOutOfTheFolderAnswerAsUnopenable) {
  testing::TempDir outside;
  outside.Write("secret.bin", "not for clients");
  Put("pic.bin", "x");
  std::filesystem::create_symlink(outside.Path("secret.bin"), Folder() + "out-link");
  std::filesystem::create_directory_symlink(outside.Dir(), Folder() + "out-dir");
  const std::u16string cases[] = {
      platform::Utf8ToUtf16(outside.Path("secret.bin")),
      u"../" + platform::Utf8ToUtf16(std::filesystem::path(outside.Dir()).parent_path().filename().string()) +
          u"/secret.bin",
      u"out-link",
      u"out-dir/secret.bin",
      u"/proc/self/root" + platform::Utf8ToUtf16(outside.Path("secret.bin")),
      u"missing.bin",
      u"",
  };
  for (const std::u16string& name : cases) {
    SCOPED_TRACE(platform::Utf16ToUtf8(name));
    const TnxBlobNr nr = AddFile(name);
    uint32_t length = 7;
    EXPECT_EQ(LengthResult(nr, length), nxeFileBlobOpenFailed);
    EXPECT_EQ(length, 0u);
    uint32_t result = 0;
    EXPECT_EQ(b_.ReadRange(nr, 0, 100, &result), "");
    EXPECT_EQ(result, nxeFileBlobOpenFailed);
  }
}

TEST_P(FileBlobTest, AFileOthersHoldOpenForWritingIsStillRead) {
  Put("busy.bin", "shared bytes");
  TnxBaseFile other(b_.Table().File().fiPath + u"busy.bin");
  other.OpenFile(omReadWrite, smShared, false, false);
  EXPECT_EQ(b_.ReadAll(AddFile(u"busy.bin")), "shared bytes");
  other.CloseFile();
}

TEST_P(FileBlobTest, WritingAndTruncatingAreRefused) {
  Put("pic.bin", "abc");
  const TnxBlobNr nr = AddFile(u"pic.bin");
  EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 0, "zz"); }), nxeReadOnlyField);
  EXPECT_EQ(ErrorCodeOf([&] { b_.Engine().Truncate(b_.Trans(), nr, 1); }), nxeReadOnlyField);
  EXPECT_EQ(b_.ReadAll(nr), "abc");
}

INSTANTIATE_TEST_SUITE_P(BothEngines, FileBlobTest, ::testing::Values(kSegmented, kSimple));

// ---- model: random writes, truncations and reads against strings ----

struct ModelSize {
  int Steps;
  uint32_t MaxLength;
};

class BlobModelTest : public ::testing::TestWithParam<std::tuple<std::u16string_view, int32_t>> {};

TEST_P(BlobModelTest, AgreesWithStringsAcrossCommitsRollbacksAndReopening) {
  const auto [engine, dataBytes] = GetParam();
  const ModelSize size = TestSize(ModelSize{1500, 300000}, ModelSize{40000, 10u << 20});
  TBlobTable b(engine, dataBytes);
  const uint32_t u = b.UsableBlockSize();
  // The sizes where the layouts change: inline roots, a segment, a block's
  // data area.
  const std::vector<uint32_t> marks = {0, 1, 11, 12, 13, u - 27, 2 * (u - 27), u - 32, u - 33, u - 20, 3 * u};
  std::mt19937 rng(static_cast<uint32_t>(dataBytes) * 7 + (engine == kSimple ? 1 : 0));
  auto pick = [&](uint32_t aMax) -> uint32_t {
    if (aMax == 0) return 0;
    // Mostly sizes around the layouts' edges; now and then anything up to
    // the largest BLOB.
    const uint32_t kind = rng() % 16;
    uint32_t v = 0;
    if (kind < 5) {
      v = marks[rng() % marks.size()] + rng() % 5 - 2;
    } else if (kind < 9) {
      v = rng() % 64;
    } else if (kind < 15) {
      v = rng() % (4 * u);
    } else {
      v = rng() % (aMax + 1);
    }
    return std::min(v, aMax);
  };

  const int kBlobs = 4;
  std::vector<TnxBlobNr> nrs(kBlobs);
  std::vector<std::string> model(kBlobs);
  for (auto& nr : nrs) nr = b.Add();
  b.Commit();
  std::vector<TnxBlobNr> committedNrs = nrs;
  std::vector<std::string> committed = model;
  auto check = [&](int aBlob) {
    ASSERT_EQ(b.Length(nrs[aBlob]), model[aBlob].size());
    ASSERT_TRUE(b.ReadAll(nrs[aBlob]) == model[aBlob]) << "blob " << aBlob;
  };

  for (int step = 0; step < size.Steps; ++step) {
    SCOPED_TRACE(step);
    const int i = static_cast<int>(rng() % kBlobs);
    std::string& m = model[i];
    const uint32_t action = rng() % 100;
    if (action < 45) {
      const uint32_t offset = rng() % 3 == 0 ? static_cast<uint32_t>(m.size()) : pick(static_cast<uint32_t>(m.size()));
      const uint32_t len = pick(size.MaxLength - offset);
      std::string bytes(len, '\0');
      for (auto& c : bytes) c = static_cast<char>(rng());
      b.Write(nrs[i], offset, bytes);
      if (offset + len > m.size()) m.resize(offset + len);
      m.replace(offset, len, bytes);
    } else if (action < 60) {
      const uint32_t len = pick(static_cast<uint32_t>(m.size()));
      b.Engine().Truncate(b.Trans(), nrs[i], len);
      m.resize(len);
    } else if (action < 85) {
      const uint32_t offset = pick(static_cast<uint32_t>(m.size()) + 3);
      const uint32_t len = pick(size.MaxLength);
      const std::string expected = offset < m.size() ? m.substr(offset, len) : std::string();
      ASSERT_TRUE(b.ReadRange(nrs[i], offset, len) == expected);
    } else if (action < 88) {
      b.Engine().DeleteBlob(b.Trans(), nrs[i]);
      nrs[i] = b.Add();
      m.clear();
    } else if (action < 90) {
      // A raised number reaches the same BLOB.
      b.Engine().IncBlobNr(nrs[i]);
      check(i);
    } else if (action < 96) {
      b.Commit();
      committed = model;
      committedNrs = nrs;
    } else if (action < 99) {
      b.Rollback();
      model = committed;
      nrs = committedNrs;
      for (int k = 0; k < kBlobs; ++k) check(k);
    } else {
      b.Commit();
      committed = model;
      committedNrs = nrs;
      b.Reopen();
      for (int k = 0; k < kBlobs; ++k) check(k);
    }
    if (step % 100 == 0) check(i);
  }
  for (int k = 0; k < kBlobs; ++k) check(k);
  for (int k = 0; k < kBlobs; ++k) b.Engine().DeleteBlob(b.Trans(), nrs[k]);
  b.Commit();
}

INSTANTIATE_TEST_SUITE_P(BothEngines, BlobModelTest,
                         ::testing::Combine(::testing::Values(kSegmented, kSimple), ::testing::Values(96, 4100)));

// ---- damage: mutated blocks give only the tabled codes ----

class BlobDamageTest : public ::testing::TestWithParam<std::u16string_view> {};

TEST_P(BlobDamageTest, MutatedBlocksGiveOnlyTabledCodes) {
  TBlobTable b(GetParam());
  const uint32_t u = b.UsableBlockSize();
  std::vector<TnxBlobNr> nrs;
  std::mt19937 rng(5);
  for (uint32_t len : {0u, 5u, 12u, u / 2, 3 * u, 400 * u}) {
    nrs.push_back(b.Add());
    std::string bytes(len, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng());
    b.Write(nrs.back(), 0, bytes);
  }
  TnxBlobNr link = 0;
  b.Engine().AddBlobLink(b.Trans(), u"Other", 77, link);
  nrs.push_back(link);
  b.Commit();
  uint32_t blocks = 0;
  {
    auto header = b.Table().Access().HeaderAccess(&b.Trans(), false);
    blocks = header->UsedBlocks();
  }
  b.Rollback();
  const std::set<uint32_t> tabled = {nxeCorruptFile,         nxeCorruptHeader,   nxeBlobError,
                                     nxeInvalidBlockNumber,  nxeNotAHeapBlock,   nxeInvalidSegmentNumber,
                                     nxeSegmentHasBeenDeleted, nxeInvalidBlobOffset, nxeInvalidBlobLength,
                                     nxeInvalidBlobHandle,   nxeReadOnlyField,   nxeBlobTooLarge};
  const int rounds = TestSize(300, 5000);
  std::map<uint32_t, int> seen;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const TnxBlockNumber block = 1 + rng() % (blocks - 1);
    {
      TnxBlockGuard guard;
      guard.Hold(b.Table().Access().GetBlock(&b.Trans(), block, 0, true, guard.ReleaseMethod()));
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) {
        const uint32_t at = rng() % 3 == 0 ? rng() % 64 : rng() % u;
        guard.Block()[at] = rng() % 2 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(guard.Block()[at] ^ 1);
      }
    }
    for (TnxBlobNr nr : nrs) {
      auto code = [&](const std::function<void()>& aCall) {
        const uint32_t c = ErrorCodeOf(aCall);
        if (c != 0) {
          EXPECT_TRUE(tabled.count(c)) << "code " << c;
          ++seen[c];
        }
      };
      uint32_t length = 0;
      code([&] { length = b.Length(nr); });
      code([&] { b.ReadRange(nr, 0, length + 10); });
      code([&] { b.ReadRange(nr, length / 3, u); });
      code([&] { b.Write(nr, length / 2, std::string(u + 5, 'w')); });
      code([&] { b.Engine().Truncate(b.Trans(), nr, length / 4); });
      code([&] { b.ReadAll(nr); });
      code([&] { b.Engine().DeleteBlob(b.Trans(), nr); });
    }
    b.Rollback();
  }
  EXPECT_FALSE(seen.empty());
}

INSTANTIATE_TEST_SUITE_P(BothEngines, BlobDamageTest, ::testing::Values(kSegmented, kSimple));

}  // namespace
}  // namespace revurov
