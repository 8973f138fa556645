#include "platform/stream.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/os_error.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

using revurov::testing::Contains;
using revurov::testing::MessageOf;
using revurov::testing::TempDir;
using revurov::testing::TFaultFileOps;
using revurov::testing::TFileOp;
using Mode = TFileStream::Mode;

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

TEST(FileStream, CreateTruncatesAndOpenKeeps) {
  TempDir dir;
  dir.Write("f", "old content");
  {
    TFileStream s(U16(dir.Path("f")), Mode::fmOpenReadWrite);
    s.WriteBuffer("NEW", 3);
    EXPECT_EQ(s.GetSize(), 11);
  }
  EXPECT_EQ(dir.Read("f"), "NEW content");
  {
    TFileStream s(U16(dir.Path("f")), Mode::fmCreate);
    EXPECT_EQ(s.GetSize(), 0);
    s.WriteBuffer("x", 1);
  }
  EXPECT_EQ(dir.Read("f"), "x");
  TFileStream created(U16(dir.Path("g")), Mode::fmCreate);
  EXPECT_TRUE(dir.Exists("g"));
}

TEST(FileStream, ReadsSeeksAndCutsLikeAStream) {
  TempDir dir;
  dir.Write("f", "0123456789");
  TFileStream s(U16(dir.Path("f")), Mode::fmOpenReadWrite);
  char buf[8] = {};
  EXPECT_EQ(s.Seek(-4, TSeekOrigin::soEnd), 6);
  EXPECT_EQ(s.Read(buf, 8), 4);  // short only at the end
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(s.Read(buf, -1), 0);
  EXPECT_THROW(s.ReadBuffer(buf, 1), EReadError);
  s.SetSize(3);  // pulls the position back to the new end
  EXPECT_EQ(s.Position(), 3);
  EXPECT_EQ(s.Seek(-1, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(dir.Read("f"), "012");
}

TEST(FileStream, OpenFailuresNameTheFileAndTheOsReason) {
  TempDir dir;
  const std::u16string missing = U16(dir.Path("missing"));
  const std::u16string open_message = MessageOf<EFOpenError>([&] { TFileStream s(missing, Mode::fmOpenRead); });
  EXPECT_TRUE(Contains(open_message, u"\"" + missing + u"\" kann nicht ge\u00F6ffnet werden.")) << Utf16ToUtf8(open_message);
  EXPECT_TRUE(Contains(open_message, SysErrorMessage(ENOENT)));
  const std::u16string in_missing_folder = U16(dir.Path("none/f"));
  const std::u16string create_message =
      MessageOf<EFCreateError>([&] { TFileStream s(in_missing_folder, Mode::fmCreate); });
  EXPECT_TRUE(Contains(create_message, u"kann nicht erstellt werden.")) << Utf16ToUtf8(create_message);
  EXPECT_TRUE(Contains(create_message, SysErrorMessage(ENOENT)));
}

TEST(FileStream, SeamFailuresRaiseTheStreamErrorWithTheReason) {
  const struct {
    TFileOp op;
    int error;
  } cases[] = {{TFileOp::Read, EIO}, {TFileOp::Write, ENOSPC}, {TFileOp::SetSize, EFBIG}};
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("f", "abc");
    TFaultFileOps ops;
    ops.FailCall(c.op, 1, c.error);
    TFileStream s(U16(dir.Path("f")), Mode::fmOpenReadWrite, ops);
    char buf[3];
    std::u16string message;
    switch (c.op) {
      case TFileOp::Read: message = MessageOf<EReadError>([&] { s.ReadBuffer(buf, 3); }); break;
      case TFileOp::Write: message = MessageOf<EWriteError>([&] { s.WriteBuffer("xyz", 3); }); break;
      default: message = MessageOf<EStreamError>([&] { s.SetSize(1); }); break;
    }
    EXPECT_TRUE(Contains(message, SysErrorMessage(static_cast<uint32_t>(c.error)))) << Utf16ToUtf8(message);
    EXPECT_TRUE(Contains(message, U16(dir.Path("f")))) << Utf16ToUtf8(message);
    EXPECT_EQ(dir.Read("f"), "abc");
  }
}

// One stream gets a fault plan while another, on the process-wide seam,
// writes in step with it.
TEST(FileStream, FaultPlanOfOneStreamLeavesOthersAlone) {
  TempDir dir;
  TFaultFileOps ops;
  ops.FailCall(TFileOp::Write, 3, ENOSPC);
  TFileStream faulty(U16(dir.Path("faulty")), Mode::fmCreate, ops);
  TFileStream plain(U16(dir.Path("plain")), Mode::fmCreate);
  const std::string blocks[] = {"block-1;", "block-2;", "block-3;", "block-4;"};
  int failures = 0;
  for (const std::string& b : blocks) {
    plain.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
    try {
      faulty.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
    } catch (const EWriteError&) {
      ++failures;
    }
  }
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(dir.Read("plain"), "block-1;block-2;block-3;block-4;");
  // The failed block never reached the file and moved nothing.
  EXPECT_EQ(dir.Read("faulty"), "block-1;block-2;block-4;");
}

}  // namespace
}  // namespace revurov::platform
