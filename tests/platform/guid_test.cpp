#include "platform/guid.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/rtl_exception.h"

namespace revurov::platform {
namespace {

constexpr TGUID kSample = nxGuid("{B653B08D-95B4-4219-9929-4B51944226F9}");

TEST(Guid, LiteralFieldsTextAndBytes) {
  EXPECT_EQ(kSample.D1, 0xB653B08Du);
  EXPECT_EQ(kSample.D2, 0x95B4u);
  EXPECT_EQ(kSample.D3, 0x4219u);
  const uint8_t d4[8] = {0x99, 0x29, 0x4B, 0x51, 0x94, 0x42, 0x26, 0xF9};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(kSample.D4[i], d4[i]);
  EXPECT_EQ(GUIDToString(kSample), u"{B653B08D-95B4-4219-9929-4B51944226F9}");
  uint8_t bytes[16];
  GUIDToBytes(kSample, bytes);
  const uint8_t expected[16] = {0x8D, 0xB0, 0x53, 0xB6, 0xB4, 0x95, 0x19, 0x42,
                                0x99, 0x29, 0x4B, 0x51, 0x94, 0x42, 0x26, 0xF9};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << i;
  EXPECT_EQ(GUIDFromBytes(bytes), kSample);
}

TEST(Guid, ParsesEitherCaseAndRefusesMalformedText) {
  EXPECT_EQ(StringToGUID(u"{b653b08d-95b4-4219-9929-4b51944226f9}"), kSample);
  const std::u16string bad[] = {
      u"",
      u"B653B08D-95B4-4219-9929-4B51944226F9",     // no braces
      u"{B653B08D-95B4-4219-9929-4B51944226F}",    // short
      u"{B653B08D-95B4-4219-9929-4B51944226F90}",  // long
      u"{B653B08D+95B4-4219-9929-4B51944226F9}",   // separator
      u"{B653B08G-95B4-4219-9929-4B51944226F9}",   // digit
      u"{B653B08\u0664-95B4-4219-9929-4B51944226F9}",  // non-ASCII digit
  };
  for (const auto& text : bad) {
    TGUID g = kSample;
    EXPECT_FALSE(TryStringToGUID(text, g));
    EXPECT_EQ(g, kSample);
    EXPECT_THROW(StringToGUID(text), EConvertError);
  }
}

TEST(Guid, NewOnesAreRandomVersionFour) {
  std::set<std::u16string> seen;
  for (int i = 0; i < 64; ++i) {
    const TGUID g = CreateGUID();
    EXPECT_EQ(g.D3 >> 12, 4);
    EXPECT_EQ(g.D4[0] & 0xC0, 0x80);
    const std::u16string text = GUIDToString(g);
    EXPECT_EQ(StringToGUID(text), g);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_FALSE(CreateGUID() == GUID_NULL);
}

// GUIDs come from batches of random bytes: a forked child must not repeat
// what its parent makes next.
TEST(Guid, AForkedChildMakesOtherGuidsThanItsParent) {
  (void)CreateGUID();  // a batch is taken before the fork
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    TGUID made[4];
    for (TGUID& g : made) g = CreateGUID();
    const bool written = write(pipe_fds[1], made, sizeof made) == static_cast<ssize_t>(sizeof made);
    _exit(written ? 0 : 1);
  }
  close(pipe_fds[1]);
  TGUID theirs[4];
  ASSERT_EQ(read(pipe_fds[0], theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::set<std::u16string> seen;
  for (const TGUID& g : theirs) seen.insert(GUIDToString(g));
  for (int i = 0; i < 4; ++i) seen.insert(GUIDToString(CreateGUID()));
  EXPECT_EQ(seen.size(), 8u);
}

}  // namespace
}  // namespace revurov::platform
