#include "lowlevel/streams/memory_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "platform/virtual_memory.h"

#include <unistd.h>

namespace revurov {

using platform::TSeekOrigin;
namespace {

TEST(MemoryStream, FirstReservationFollowsTheInitialArgument) {
  struct Case { int32_t initial; int64_t reserved; };
  for (Case c : {Case{0, 512 * 1024}, Case{100000, 128 * 1024}, Case{-1, 64 * 1024},
                 Case{65535, 512 * 1024}, Case{65536, 64 * 1024}}) {
    TnxMemoryStream s(c.initial);
    EXPECT_EQ(s.Reserved(), 0);
    s.SetSize(1);
    EXPECT_EQ(s.Reserved(), c.reserved) << c.initial;
    EXPECT_EQ(s.Capacity(), 4096);
  }
}

TEST(MemoryStream, GrowsPastItsReservationAndKeepsTheBytes) {
  TnxMemoryStream s(-1);
  std::vector<uint8_t> data(300000);
  std::iota(data.begin(), data.end(), 0);
  for (size_t i = 0; i < data.size(); i += 1000)
    ASSERT_EQ(s.Write(data.data() + i, 1000), 1000);
  EXPECT_EQ(s.GetSize(), 300000);
  EXPECT_EQ(s.Reserved(), 512 * 1024);  // 64K doubled until it covers
  EXPECT_EQ(std::memcmp(s.Memory(), data.data(), data.size()), 0);
}

// A large stream is reserved on a large page, so that it may be backed by
// large pages; growing across that size keeps every byte and the zero rule.
TEST(MemoryStream, ALargeStreamStartsOnALargePageAndKeepsItsBytesWhileGrowing) {
  const auto large = static_cast<int64_t>(platform::vmLargePagesFrom);
  TnxMemoryStream fresh;
  fresh.SetSize(large + 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fresh.Memory()) % platform::vmLargePageSize, 0u);
  for (int64_t i = 0; i < fresh.GetSize(); i += 4096) ASSERT_EQ(fresh.ByteArray()[i], 0) << i;

  TnxMemoryStream s(-1);
  std::vector<uint8_t> chunk(700000);
  std::iota(chunk.begin(), chunk.end(), 0);
  while (s.GetSize() < 3 * large) ASSERT_EQ(s.Write(chunk.data(), int64_t(chunk.size())), int64_t(chunk.size()));
  EXPECT_GE(s.Reserved(), 3 * large);
  for (int64_t at = 0; at + int64_t(chunk.size()) <= s.GetSize(); at += int64_t(chunk.size()))
    ASSERT_EQ(std::memcmp(s.ByteArray() + at, chunk.data(), chunk.size()), 0) << at;
  const int64_t size = s.GetSize();
  s.SetSize(10);
  s.SetSize(size);
  for (int64_t i = 10; i < size; i += 997) ASSERT_EQ(s.ByteArray()[i], 0) << i;
}

TEST(MemoryStream, CommittedMemoryNeverShrinksExceptToNothing) {
  TnxMemoryStream s;
  s.SetSize(10000);
  EXPECT_EQ(s.Capacity(), 12288);
  s.SetCapacity(100);
  EXPECT_EQ(s.Capacity(), 12288);
  EXPECT_EQ(s.GetSize(), 10000);
  s.Clear();
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.Reserved(), 0);
  EXPECT_EQ(s.GetSize(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(MemoryStream, BytesBetweenOldEndAndAWritePastItAreZero) {
  TnxMemoryStream s;
  std::vector<uint8_t> ones(1000, 0xAB);
  s.Write(ones.data(), 1000);
  s.SetSize(10);           // shrink: old bytes stay in committed memory
  s.SetPosition(500);
  uint8_t x = 7;
  s.Write(&x, 1);
  ASSERT_EQ(s.GetSize(), 501);
  for (int i = 10; i < 500; ++i) ASSERT_EQ(s.ByteArray()[i], 0) << i;
  EXPECT_EQ(s.ByteArray()[500], 7);
  s.SetSize(5);
  s.SetSize(900);          // growth by size alone is zeroed too
  for (int i = 5; i < 900; ++i) ASSERT_EQ(s.ByteArray()[i], 0) << i;
}

TEST(MemoryStream, SixtyFourBitSeekIsNotCutToThirtyTwoBits) {
  TnxMemoryStream s;
  s.Write("abcdef", 6);
  int64_t far = (int64_t{1} << 32) + 2;
  EXPECT_EQ(s.Seek(far, TSeekOrigin::soBeginning), far);
  char c = 0;
  EXPECT_EQ(s.Read(&c, 1), 0);  // not position 2
  EXPECT_THROW(s.Write("x", 1), platform::EOutOfMemory);
  EXPECT_EQ(s.GetSize(), 6);
  EXPECT_EQ(std::memcmp(s.Memory(), "abcdef", 6), 0);
}

TEST(MemoryStream, ReadAndWriteIgnoreNegativePositionsAndCounts) {
  TnxMemoryStream s;
  s.Write("abc", 3);
  char buf[4] = {};
  s.Seek(-1, TSeekOrigin::soBeginning);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Write("z", 1), 0);
  s.SetPosition(0);
  EXPECT_EQ(s.Read(buf, -1), 0);
  EXPECT_EQ(s.Write(buf, -5), 0);
  EXPECT_EQ(s.Read(buf, 10), 3);
  EXPECT_EQ(s.Seek(-1, TSeekOrigin::soEnd), 2);
}

TEST(MemoryStream, SetSizePullsThePositionBack) {
  TnxMemoryStream s;
  s.Write("abcdef", 6);
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);
  EXPECT_THROW(s.SetSize(-1), platform::EStreamError);
}

TEST(MemoryStream, SavesAndLoadsThroughStreamsAndFiles) {
  TnxMemoryStream a;
  a.Write("hello world", 11);
  TnxBytesStream bytes;
  a.SaveToStream(bytes);
  TnxMemoryStream b;
  b.SetPosition(4);
  b.LoadFromStream(bytes);
  EXPECT_EQ(b.GetSize(), 11);
  EXPECT_EQ(b.Position(), 4);
  EXPECT_EQ(std::memcmp(b.Memory(), "hello world", 11), 0);

  auto path = std::filesystem::temp_directory_path() / ("memstream_" + std::to_string(::getpid()));
  std::u16string name = platform::Utf8ToUtf16(path.string());
  a.SaveToFile(name);
  TnxMemoryStream c;
  c.LoadFromFile(name);
  std::filesystem::remove(path);
  EXPECT_EQ(c.GetSize(), 11);
  EXPECT_EQ(std::memcmp(c.Memory(), "hello world", 11), 0);
}

// Growth whose memory the system refuses raises the OS error and leaves the
// stream as it was; the same write succeeds once memory is there again.
TEST(MemoryStream, RefusedGrowthRaisesTheOSErrorAndKeepsTheStream) {
  using platform::TVmOp;
  struct Case {
    const char* name;
    TVmOp op;
    int64_t count;
    int64_t writeAt;
  };
  const Case cases[] = {
      {"commit inside the reservation", TVmOp::Commit, 1, 10000},
      {"commit of a larger reservation", TVmOp::Commit, 1, 100000},
      {"no address space for a larger reservation", TVmOp::Reserve, 2, 100000},
      {"no address space for a large one", TVmOp::Reserve, 2, int64_t(platform::vmLargePagesFrom)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnxMemoryStream s(-1);
    std::vector<uint8_t> head(100);
    std::iota(head.begin(), head.end(), 1);
    ASSERT_EQ(s.Write(head.data(), 100), 100);
    s.SetPosition(c.writeAt);
    platform::vmFailNext(c.op, 1, c.count);
    uint32_t osError = 0;
    try {
      s.Write("x", 1);
    } catch (const EnxBaseException& e) {
      osError = e.OSError();
    }
    platform::vmFailNext(TVmOp::Any, 0, 0);
    EXPECT_EQ(osError, uint32_t(ENOMEM));
    EXPECT_EQ(s.GetSize(), 100);
    EXPECT_EQ(s.Position(), c.writeAt);
    EXPECT_EQ(std::memcmp(s.Memory(), head.data(), 100), 0);
    ASSERT_EQ(s.Write("x", 1), 1);
    EXPECT_EQ(s.GetSize(), c.writeAt + 1);
    EXPECT_EQ(std::memcmp(s.Memory(), head.data(), 100), 0);
  }
}

TEST(StaticMemoryStream, WritesAreCutAtTheEndOfTheBlock) {
  std::vector<char> block(100, 0);
  TnxStaticMemoryStream s(block.data(), 100);
  s.SetPosition(95);
  EXPECT_EQ(s.Write("0123456789", 10), 5);
  EXPECT_EQ(s.Position(), 100);
  EXPECT_EQ(std::string(block.data() + 95, 5), "01234");
  s.SetPosition(120);
  EXPECT_EQ(s.Write("x", 1), 0);
  EXPECT_EQ(s.Position(), 100);
  EXPECT_EQ(s.GetSize(), 100);
}

TEST(AnsiStringStream, SeeksFromTheEndSubtractAndClamp) {
  TnxAnsiStringStream s("0123456789");
  EXPECT_EQ(s.Seek(3, TSeekOrigin::soEnd), 7);
  EXPECT_EQ(s.Seek(-3, TSeekOrigin::soEnd), 10);
  EXPECT_EQ(s.Seek(-3, TSeekOrigin::soBeginning), 0);
  EXPECT_EQ(s.Seek(50, TSeekOrigin::soCurrent), 10);
  s.SetPosition(8);
  EXPECT_EQ(s.ReadString(5), "89");
  EXPECT_EQ(s.ReadString(5), "");
  s.WriteString("ab");
  EXPECT_EQ(s.DataString(), "0123456789ab");
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
}

TEST(BytesStream, CopiesItsInputAndGrowsOnWrite) {
  uint8_t raw[3] = {1, 2, 3};
  TnxBytesStream s(raw, 3);
  raw[0] = 9;
  EXPECT_EQ(s.ReadBytes(2), (std::vector<uint8_t>{1, 2}));
  s.WriteBytes({7, 8});
  EXPECT_EQ(s.Bytes(), (std::vector<uint8_t>{1, 2, 7, 8}));
  EXPECT_EQ(s.Seek(1, TSeekOrigin::soEnd), 3);
  EXPECT_TRUE(s.ReadBytes(0).empty());
}

}  // namespace
}  // namespace revurov
