#include "storage/temp_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/format.h"
#include "platform/string_list.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::Contains;
using testing::MessageOf;
using testing::TempDir;
using testing::TFaultFileOps;
using testing::TFileOp;

constexpr int64_t kChunk = 4 << 20;
constexpr TnxBlockSizeAll kSizes[] = {mm::nxbs4k, mm::nxbs8k, mm::nxbs16k, mm::nxbs32k, mm::nxbs64k, mm::nxbs4M};

int64_t BytesOf(TnxBlockSizeAll aSize) { return aSize == mm::nxbs4M ? kChunk : int64_t(4096) << aSize; }

// The image of a stored block: every 4 KB page stamped with the image's
// id and the page's index, the rest a byte of the id. A misplaced page or
// a block read from the wrong slot does not compare equal.
std::vector<uint8_t> Image(uint32_t aId, TnxBlockSizeAll aSize) {
  std::vector<uint8_t> image(static_cast<size_t>(BytesOf(aSize)), static_cast<uint8_t>(aId * 37 + 1));
  for (size_t page = 0; page * 4096 < image.size(); ++page) {
    const uint32_t stamp[2] = {aId, static_cast<uint32_t>(page)};
    std::memcpy(&image[page * 4096], stamp, sizeof stamp);
  }
  return image;
}

std::u16string FolderOf(const TempDir& aDir) {
  const std::string dir = aDir.Dir();
  return std::u16string(dir.begin(), dir.end());
}

// The descriptor of the store's unnamed file: the one open file of this
// process whose (former) place is the test's folder.
int StoreFd(const TempDir& aDir) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind(aDir.Dir(), 0) == 0) return std::stoi(entry.path().filename().string());
  }
  return -1;
}

int64_t FileSize(int aFd) {
  struct stat st {};
  EXPECT_EQ(fstat(aFd, &st), 0);
  return st.st_size;
}

// Whether [offset, offset + length) holds no data.
bool IsHole(int aFd, int64_t aOffset, int64_t aLength) {
  const off_t data = lseek(aFd, aOffset, SEEK_DATA);
  return (data < 0 && errno == ENXIO) || data >= aOffset + aLength;
}

class TempStorageTest : public ::testing::Test {
protected:
  uint32_t Write(uint32_t aId, TnxBlockSizeAll aSize) {
    const std::vector<uint8_t> image = Image(aId, aSize);
    return store_->WriteBlock(image.data(), aSize);
  }
  // The code a read, peek or release raises; 0 when it passes.
  template <class F>
  static uint32_t CodeOf(F&& aCall) {
    try {
      aCall();
    } catch (const EnxBaseException& e) {
      return e.ErrorCode();
    }
    return 0;
  }
  int64_t StoreFileSize() { return FileSize(StoreFd(dir_)); }

  TnxStorageStartupGuard storage_;
  TempDir dir_;
  TFaultFileOps ops_;
  std::unique_ptr<TnxChunkedTempStorage> store_ = std::make_unique<TnxChunkedTempStorage>(
      FolderOf(dir_), ops_);
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kChunk);
};

TEST_F(TempStorageTest, NumbersAreChunkAndSlotAndTheFileGrowsInChunks) {
  EXPECT_EQ(StoreFileSize(), 0);
  EXPECT_EQ(Write(1, mm::nxbs8k), 0u);
  EXPECT_EQ(Write(2, mm::nxbs8k), 2u);
  EXPECT_EQ(StoreFileSize(), kChunk);
  EXPECT_EQ(store_->GetSize(), kChunk);
  EXPECT_EQ(store_->GetInUse(), 16384);
  // Another size never shares a chunk.
  const uint32_t small = Write(3, mm::nxbs4k);
  const uint32_t large = Write(4, mm::nxbs16k);
  EXPECT_EQ(small, 1024u);
  EXPECT_EQ(large, 2048u);
  const uint32_t huge = Write(5, mm::nxbs4M);
  EXPECT_EQ(huge, 3u * 1024);
  EXPECT_EQ(StoreFileSize(), 4 * kChunk);
  EXPECT_TRUE(store_->ListsAreConsistent());
}

TEST_F(TempStorageTest, ReadingBackASecondChunkShrinksTheFile) {
  std::vector<uint32_t> numbers;
  for (uint32_t i = 0; i < 513; ++i) numbers.push_back(Write(i, mm::nxbs8k));
  EXPECT_EQ(numbers[512], 1024u);
  EXPECT_EQ(StoreFileSize(), 2 * kChunk);
  store_->ReadBlock(numbers[512], mm::nxbs8k, buffer_.data());
  EXPECT_EQ(0, std::memcmp(buffer_.data(), Image(512, mm::nxbs8k).data(), 8192));
  EXPECT_EQ(StoreFileSize(), kChunk);
  EXPECT_EQ(store_->GetSize(), kChunk);
  // The first chunk's blocks are all still there.
  for (uint32_t i = 0; i < 512; ++i) {
    store_->PeekBlock(numbers[i], mm::nxbs8k, buffer_.data());
    ASSERT_EQ(0, std::memcmp(buffer_.data(), Image(i, mm::nxbs8k).data(), 8192)) << i;
  }
  EXPECT_TRUE(store_->ListsAreConsistent());
}

TEST_F(TempStorageTest, OnlyAStoredBlockOfThatSizeCanBeReadPeekedOrReleased) {
  const uint32_t small = Write(1, mm::nxbs4k);   // 0
  const uint32_t eight = Write(2, mm::nxbs8k);   // 1024
  const uint32_t freed = Write(3, mm::nxbs8k);   // 1026
  store_->ReleaseBlock(freed, mm::nxbs8k);
  const struct {
    const char* what;
    uint32_t number;
    TnxBlockSizeAll size;
  } cases[] = {
      {"4 KB block as 8 KB", small, mm::nxbs8k},
      {"8 KB block as 4 KB", eight, mm::nxbs4k},
      {"a free slot of a used chunk", small + 1, mm::nxbs4k},
      {"the second half of an 8 KB block", eight + 1, mm::nxbs8k},
      {"a released block", freed, mm::nxbs8k},
      {"a chunk beyond the file", 2 * 1024, mm::nxbs4k},
      {"the largest number", UINT32_MAX, mm::nxbs4k},
      {"no block size", small, static_cast<TnxBlockSizeAll>(6)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodeOf([&] { store_->ReadBlock(c.number, c.size, buffer_.data()); }), nxeTempStorageInvalidBlock)
        << c.what;
    EXPECT_EQ(CodeOf([&] { store_->PeekBlock(c.number, c.size, buffer_.data()); }), nxeTempStorageInvalidBlock)
        << c.what;
    EXPECT_EQ(CodeOf([&] { store_->ReleaseBlock(c.number, c.size); }), nxeTempStorageInvalidBlock) << c.what;
  }
  EXPECT_TRUE(Contains(MessageOf<EnxBaseException>([&] { store_->ReleaseBlock(freed, mm::nxbs8k); }),
                       u"Temporary Storage: Invalid block number"));
  EXPECT_EQ(CodeOf([&] { store_->WriteBlock(buffer_.data(), static_cast<TnxBlockSizeAll>(6)); }),
            nxeInvalidParameter);
  EXPECT_EQ(store_->GetInUse(), 4096 + 8192);
  EXPECT_TRUE(store_->ListsAreConsistent());
}

TEST_F(TempStorageTest, PeekKeepsTheBlockAndReadFreesIt) {
  const uint32_t n = Write(7, mm::nxbs32k);
  EXPECT_EQ(CodeOf([&] { store_->PeekBlock(n, mm::nxbs32k, buffer_.data()); }), 0u);
  EXPECT_EQ(CodeOf([&] { store_->PeekBlock(n, mm::nxbs32k, buffer_.data()); }), 0u);
  EXPECT_EQ(CodeOf([&] { store_->ReadBlock(n, mm::nxbs32k, buffer_.data()); }), 0u);
  EXPECT_EQ(0, std::memcmp(buffer_.data(), Image(7, mm::nxbs32k).data(), 32768));
  EXPECT_EQ(CodeOf([&] { store_->ReadBlock(n, mm::nxbs32k, buffer_.data()); }), nxeTempStorageInvalidBlock);
  EXPECT_EQ(CodeOf([&] { store_->PeekBlock(n, mm::nxbs32k, buffer_.data()); }), nxeTempStorageInvalidBlock);
  EXPECT_EQ(store_->GetInUse(), 0);
  EXPECT_EQ(store_->GetSize(), 0);
}

TEST_F(TempStorageTest, StatisticsShowKilobytesGroupedByTheLocale) {
  const char16_t saved = platform::FormatSettings().ThousandSeparator;
  platform::FormatSettings().ThousandSeparator = u'.';
  const uint32_t n = Write(1, mm::nxbs64k);
  store_->PeekBlock(n, mm::nxbs64k, buffer_.data());
  platform::TStringList captions, values, idle;
  store_->GetStatsCaptions(captions);
  store_->GetStatsValues(values);
  TnxChunkedTempStorage::GetStatsValuesStatic(idle);
  platform::FormatSettings().ThousandSeparator = saved;
  const std::vector<std::u16string> expectedCaptions = {
      u"Temporary Storage Total Size", u"Temporary Storage Used Size", u"Temporary Storage Total Written",
      u"Temporary Storage Total Read"};
  const std::vector<std::u16string> expectedValues = {u"4.096 kbyte", u"64 kbyte", u"64 kbyte", u"64 kbyte"};
  ASSERT_EQ(captions.Count(), 4);
  ASSERT_EQ(values.Count(), 4);
  ASSERT_EQ(idle.Count(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(captions[i], expectedCaptions[static_cast<size_t>(i)]);
    EXPECT_EQ(values[i], expectedValues[static_cast<size_t>(i)]);
    EXPECT_EQ(idle[i], u"0 kbyte");
  }
}

// The file is never reachable by name: nothing appears in the folder, and a
// link planted under any name leads nowhere the store writes.
TEST_F(TempStorageTest, TheFolderGainsNoNameAndPlantedLinksAreNotFollowed) {
  TempDir outside;
  outside.Write("victim", "precious");
  for (const char* name : {"RevurOV_TemporaryStorage_1_1.tmp", "RevurOV_XXXXXX", "#1"})
    std::filesystem::create_symlink(outside.Path("victim"), dir_.Path(name));
  const size_t before = dir_.Count();
  auto other = std::make_unique<TnxChunkedTempStorage>(FolderOf(dir_), ops_);
  for (uint32_t i = 0; i < 20; ++i) Write(i, kSizes[i % 6]);
  const std::vector<uint8_t> image = Image(99, mm::nxbs64k);
  other->WriteBlock(image.data(), mm::nxbs64k);
  EXPECT_EQ(dir_.Count(), before);
  EXPECT_EQ(outside.Read("victim"), "precious");
  other.reset();
  store_.reset();
  EXPECT_EQ(dir_.Count(), before);
  EXPECT_EQ(outside.Read("victim"), "precious");
}

TEST_F(TempStorageTest, AFolderThatCannotHoldTheFileRaisesTheSystemError) {
  uint32_t code = 0;
  uint32_t osError = 0;
  std::u16string message;
  try {
    TnxChunkedTempStorage store(u"/nonexistent-folder/", ops_);
  } catch (const EnxChunkedTempStorageException& e) {
    code = e.ErrorCode();
    osError = e.OSError();
    message = e.Message();
  }
  EXPECT_EQ(code, nxeOSError);
  EXPECT_EQ(osError, static_cast<uint32_t>(ENOENT));
  EXPECT_TRUE(Contains(message, u"Temporary Storage Manager"));
}

TEST(NullTempStorageTest, StoresNothingAndRefusesEveryBlockOperation) {
  TnxStorageStartupGuard storage;
  TnxNullTempStorage store(u"/anywhere");
  EXPECT_EQ(store.GetSize(), 0);
  EXPECT_EQ(store.GetInUse(), 0);
  EXPECT_FALSE(store.HasSpaceFor(mm::nxbs4k));
  uint8_t block[4096] = {};
  const struct {
    std::u16string_view operation;
    std::function<void()> call;
  } cases[] = {
      {u"ReadBlock", [&] { store.ReadBlock(0, mm::nxbs4k, block); }},
      {u"PeekBlock", [&] { store.PeekBlock(0, mm::nxbs4k, block); }},
      {u"ReleaseBlock", [&] { store.ReleaseBlock(0, mm::nxbs4k); }},
      {u"WriteBlock", [&] { store.WriteBlock(block, mm::nxbs4k); }},
  };
  for (const auto& c : cases) {
    uint32_t code = 0;
    std::u16string text;
    try {
      c.call();
    } catch (const EnxBaseTempStorageException& e) {
      code = e.ErrorCode();
      text = e.ErrorString();
    }
    EXPECT_EQ(code, nxeCapabilityNotSupported);
    EXPECT_EQ(text, std::u16string(c.operation) + u" is not supported by TnxNullTempStorage");
  }
}

TEST(DefaultTempStorageClassTest, StartupSetsTheChunkedStorageUnlessAnotherWasChosen) {
  nxSetDefaultTempStorageClass(nullptr);
  {
    TnxStorageStartupGuard storage;
    ASSERT_EQ(nxDefaultTempStorageClass(), &TnxChunkedTempStorage::ClassInfo());
    TempDir dir;
    std::unique_ptr<TnxBaseTempStorage> store =
        nxDefaultTempStorageClass()->Create(FolderOf(dir));
    EXPECT_TRUE(store->HasSpaceFor(mm::nxbs4M));
  }
  EXPECT_EQ(nxDefaultTempStorageClass(), nullptr);

  nxSetDefaultTempStorageClass(&TnxNullTempStorage::ClassInfo());
  {
    TnxStorageStartupGuard storage;
    EXPECT_EQ(nxDefaultTempStorageClass(), &TnxNullTempStorage::ClassInfo());
  }
  EXPECT_EQ(nxDefaultTempStorageClass(), &TnxNullTempStorage::ClassInfo());
  nxSetDefaultTempStorageClass(nullptr);
}

// ---- against a model ----

// Random writes, reads, peeks and releases over all six sizes, checked
// against a map of what must be stored. 4 MB blocks are rare, so the file
// stays small while every size still comes and goes many times.
class ModelRun {
public:
  ModelRun(TnxChunkedTempStorage& aStore, uint32_t aSeed) : store_(aStore), rng_(aSeed) {}

  TnxBlockSizeAll PickSize() {
    const int roll = static_cast<int>(rng_() % 1000);
    if (roll < 3) return mm::nxbs4M;
    return kSizes[roll % 5];
  }

  // One step; false when the store raised (the model is then unchanged).
  bool Step(size_t aLiveLimit, bool aGrowing) {
    const int roll = static_cast<int>(rng_() % 100);
    const bool write = numbers_.empty() || (numbers_.size() < aLiveLimit && roll < (aGrowing ? 60 : 35));
    try {
      if (write) {
        const TnxBlockSizeAll size = PickSize();
        const uint32_t id = ++lastId_;
        Fill(id, size);
        const uint32_t number = store_.WriteBlock(expected_.data(), size);
        EXPECT_EQ(model_.count(number), 0u) << "number handed out twice: " << number;
        model_[number] = {size, id, numbers_.size()};
        inUse_ += BytesOf(size);
        numbers_.push_back(number);
        return true;
      }
      const uint32_t number = numbers_[rng_() % numbers_.size()];
      const Stored stored = model_[number];
      const int kind = static_cast<int>(rng_() % 3);
      if (kind == 2) {
        store_.ReleaseBlock(number, stored.size);
        Forget(number);
        return true;
      }
      if (kind == 0)
        store_.ReadBlock(number, stored.size, buffer_.data());
      else
        store_.PeekBlock(number, stored.size, buffer_.data());
      EXPECT_TRUE(Holds(stored)) << "block " << number;
      if (kind == 0) Forget(number);
      return true;
    } catch (const EnxChunkedTempStorageException&) {
      return false;
    }
  }

  int64_t InUse() const { return inUse_; }
  std::set<int64_t> UsedChunks() const {
    std::set<int64_t> chunks;
    for (const uint32_t number : numbers_) chunks.insert(number / 1024);
    return chunks;
  }
  // The file's length if every trailing empty chunk has left it.
  int64_t ExpectedFileSize() const {
    const std::set<int64_t> chunks = UsedChunks();
    return chunks.empty() ? 0 : (*chunks.rbegin() + 1) * kChunk;
  }
  // Peeks every stored block; a read the seam fails is tried again, as the
  // block must still be there.
  void CheckAllImages() {
    for (const auto& [number, stored] : model_) {
      bool read = false;
      for (int attempt = 0; attempt < 3 && !read; ++attempt) {
        try {
          store_.PeekBlock(number, stored.size, buffer_.data());
          read = true;
        } catch (const EnxChunkedTempStorageException&) {
        }
      }
      ASSERT_TRUE(read && Holds(stored)) << "block " << number;
    }
  }
  std::vector<std::pair<uint32_t, TnxBlockSizeAll>> Blocks() const {
    std::vector<std::pair<uint32_t, TnxBlockSizeAll>> blocks;
    for (const auto& [number, stored] : model_) blocks.emplace_back(number, stored.size);
    return blocks;
  }

private:
  struct Stored {
    TnxBlockSizeAll size;
    uint32_t id;
    size_t index;  // in numbers_
  };

  void Fill(uint32_t aId, TnxBlockSizeAll aSize) {
    const size_t bytes = static_cast<size_t>(BytesOf(aSize));
    std::memset(expected_.data(), static_cast<uint8_t>(aId * 37 + 1), bytes);
    for (size_t page = 0; page * 4096 < bytes; ++page) {
      const uint32_t stamp[2] = {aId, static_cast<uint32_t>(page)};
      std::memcpy(&expected_[page * 4096], stamp, sizeof stamp);
    }
  }
  bool Holds(const Stored& aStored) {
    Fill(aStored.id, aStored.size);
    return std::memcmp(buffer_.data(), expected_.data(), static_cast<size_t>(BytesOf(aStored.size))) == 0;
  }
  void Forget(uint32_t aNumber) {
    const size_t index = model_[aNumber].index;
    inUse_ -= BytesOf(model_[aNumber].size);
    numbers_[index] = numbers_.back();
    model_[numbers_[index]].index = index;
    numbers_.pop_back();
    model_.erase(aNumber);
  }

  TnxChunkedTempStorage& store_;
  std::mt19937 rng_;
  std::unordered_map<uint32_t, Stored> model_;
  std::vector<uint32_t> numbers_;
  uint32_t lastId_ = 0;
  int64_t inUse_ = 0;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kChunk);
  std::vector<uint8_t> expected_ = std::vector<uint8_t>(kChunk);
};

TEST_F(TempStorageTest, RandomStepsAgreeWithAModelByteForByte) {
  ModelRun run(*store_, 20261210);
  const int fd = StoreFd(dir_);
  ASSERT_GE(fd, 0);
  // Four phases by default; twenty under --long.
  const int kSteps = testing::TestSize(20'000, 100'000);
  for (int step = 0; step < kSteps; ++step) {
    // Phases of growth and of shrinking, so chunks fill, empty and return.
    ASSERT_TRUE(run.Step(3000, (step / 5000) % 2 == 0)) << step;
    ASSERT_EQ(store_->GetInUse(), run.InUse()) << step;
    if (step % 500 == 0 || step == kSteps - 1) {
      const int64_t size = FileSize(fd);
      ASSERT_EQ(size, run.ExpectedFileSize()) << step;
      ASSERT_EQ(store_->GetSize(), size) << step;
      ASSERT_TRUE(store_->ListsAreConsistent()) << step;
      const std::set<int64_t> used = run.UsedChunks();
      for (int64_t c = 0; c * kChunk < size; ++c) {
        if (used.count(c) == 0) {
          ASSERT_TRUE(IsHole(fd, c * kChunk, kChunk)) << "chunk " << c << " at step " << step;
        }
      }
    }
  }
  run.CheckAllImages();
}

// The seam fails writes, resizes, punches and reads at scattered calls: a
// failed write stores nothing, a failed read keeps the block, and a failure
// while tidying up after a free fails nothing.
TEST_F(TempStorageTest, FailingFileCallsLeaveTheStoreUsableAndConsistent) {
  TFaultFileOps ops;
  for (int k = 3; k < 6000; k += 37) {
    ops.FailCall(TFileOp::WriteAt, k, ENOSPC);
    ops.FailCall(TFileOp::ReadAt, k + 11, EIO);
  }
  for (int k = 2; k < 400; k += 3) ops.FailCall(TFileOp::SetSize, k, ENOSPC);
  for (int k = 1; k < 400; k += 2) ops.FailCall(TFileOp::PunchHole, k, EIO);
  TnxChunkedTempStorage store(FolderOf(dir_), ops);
  ModelRun run(store, 7);
  int failed = 0;
  for (int step = 0; step < 8000; ++step) {
    if (!run.Step(150, (step / 500) % 2 == 0)) ++failed;
    ASSERT_TRUE(store.ListsAreConsistent()) << step;
    ASSERT_EQ(store.GetInUse(), run.InUse()) << step;
  }
  EXPECT_GT(failed, 100);
  EXPECT_GE(ops.Calls(TFileOp::PunchHole), 3);
  EXPECT_GT(ops.Calls(TFileOp::SetSize), 10);
  run.CheckAllImages();
  // Everything freed: whatever shrink failed on the way, the next one that
  // works leaves nothing behind.
  for (const auto& [number, size] : run.Blocks()) store.ReleaseBlock(number, size);
  EXPECT_TRUE(store.ListsAreConsistent());
  EXPECT_EQ(store.GetInUse(), 0);
}

TEST_F(TempStorageTest, AFailedShrinkOrPunchDoesNotFailTheReadThatFreedTheSlot) {
  const struct {
    const char* what;
    TFileOp op;
  } cases[] = {{"shrink", TFileOp::SetSize}, {"punch", TFileOp::PunchHole}};
  for (const auto& c : cases) {
    TFaultFileOps ops;
    TnxChunkedTempStorage store(FolderOf(dir_), ops);
    const std::vector<uint8_t> image = Image(1, mm::nxbs16k);
    const uint32_t first = store.WriteBlock(image.data(), mm::nxbs16k);
    const uint32_t second = store.WriteBlock(image.data(), mm::nxbs4k);  // chunk 1
    // Emptying chunk 0 punches it; emptying chunk 1 then shrinks the file.
    ops.FailCall(c.op, ops.Calls(c.op) + 1, EIO);
    EXPECT_EQ(CodeOf([&] { store.ReadBlock(first, mm::nxbs16k, buffer_.data()); }), 0u) << c.what;
    ops.FailCall(c.op, ops.Calls(c.op) + 1, EIO);
    EXPECT_EQ(CodeOf([&] { store.ReleaseBlock(second, mm::nxbs4k); }), 0u) << c.what;
    EXPECT_EQ(CodeOf([&] { store.ReleaseBlock(second, mm::nxbs4k); }), nxeTempStorageInvalidBlock) << c.what;
    EXPECT_TRUE(store.ListsAreConsistent()) << c.what;
    EXPECT_EQ(store.GetInUse(), 0) << c.what;
    // Still a working store, and one that shrinks once the file lets it.
    const uint32_t again = store.WriteBlock(image.data(), mm::nxbs16k);
    store.ReadBlock(again, mm::nxbs16k, buffer_.data());
    EXPECT_EQ(0, std::memcmp(buffer_.data(), image.data(), 16384)) << c.what;
    EXPECT_EQ(store.GetSize(), 0) << c.what;
  }
}

}  // namespace
}  // namespace revurov
