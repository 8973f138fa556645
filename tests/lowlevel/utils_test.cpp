#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <thread>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/utils_system.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/strings/utils_locale.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/endian.h"
#include "platform/locale.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "support/u8_text.h"

namespace revurov {

using platform::THandle;
namespace {

using testing::U8;

TEST(Compare, IntegerWidths) {
  EXPECT_EQ(nxCmpByte(200, 100), 1);
  EXPECT_EQ(nxCmpWord(1, 65535), -1);
  EXPECT_EQ(nxCmpCardinal(0x80000000u, 1), 1);  // unsigned
  EXPECT_EQ(nxCmpInteger(INT32_MIN, 1), -1);    // signed
  EXPECT_EQ(nxCmpShortInt(-1, 1), -1);
  EXPECT_EQ(nxCmpSmallInt(5, 5), 0);
  EXPECT_EQ(nxCmpInt64(INT64_MIN, INT64_MAX), -1);
  int64_t a = -5, b = 7;
  EXPECT_EQ(nxCmpInt64Ptr(&a, &b), -1);
  int x[2];
  EXPECT_EQ(nxCmpPointer(&x[1], &x[0]), 1);
  EXPECT_EQ(nxMinCardinal(1, 0xFFFFFFFF), 1u);
  EXPECT_EQ(nxMaxInteger(-1, -2), -1);
  EXPECT_EQ(nxMinInt64(INT64_MIN, 0), INT64_MIN);
  EXPECT_EQ(nxMaxWord(3, 9), 9);
}

TEST(Compare, ByteArrays) {
  struct Case {
    std::vector<uint8_t> a, b;
    int r;
  };
  const Case cases[] = {
      {{1, 2}, {1, 2, 0}, -1},
      {{}, {}, 0},
      {std::vector<uint8_t>(40000, 7), {7}, 1},
      {{}, {0}, -1},
      {{2}, {1, 9}, 1},
      {{0x80}, {0x7F}, 1},  // bytes compare unsigned
  };
  for (const Case& c : cases) EXPECT_EQ(nxCmpByteArrays(c.a, c.b), c.r);
  EXPECT_EQ(nxCmpBytes("a", "b", 0), 0);
  EXPECT_TRUE(nxSameByteArrays({1, 2}, {1, 2}));
  EXPECT_FALSE(nxSameByteArrays({1, 2}, {1, 2, 0}));
}

TEST(Compare, ShortStrings) {
  const uint8_t abc[] = {3, 'a', 'b', 'c'}, abd[] = {3, 'a', 'b', 'd'}, ABC[] = {3, 'A', 'B', 'C'},
                ab[] = {2, 'a', 'b'};
  EXPECT_EQ(nxCmpShortString(abc, abd, 2), 0);
  EXPECT_EQ(nxCmpShortString(abc, abd, 255), -1);
  EXPECT_EQ(nxCmpShortString(abc, ab, 255), 1);
  EXPECT_EQ(nxCmpShortString(abc, ab, 2), 0);  // lengths capped too
  EXPECT_EQ(nxCmpShortString(abc, ABC, 255), 1);
  EXPECT_EQ(nxCmpShortStringI(abc, ABC, 255), 0);
}

TEST(Compare, WideStrings) {
  EXPECT_EQ(nxStrLCompW(u"abc", u"abd", 2), 0);
  EXPECT_EQ(nxStrLCompW(u"abc", u"abd", 3), -1);
  EXPECT_EQ(nxStrLCompW(u"ab", u"ab", 10), 0);  // stops after the 0
  EXPECT_EQ(nxStrLICompW(u"ABC", u"abc", 3), 0);
  EXPECT_GT(nxStrLCompW(u"b", u"a", 1), 0);
  EXPECT_EQ(nxCompareTextLocale(u"\u00C4pfel", u"\u00E4pfel"), 0);
  EXPECT_EQ(nxCompareStrLocale(u"\u00C4pfel", u"\u00E4pfel"), 1);
  EXPECT_EQ(nxCompareStrLocale(u"\u00E4", u"b"), -1);  // locale order, not code units
  struct G {
    uint8_t b[16];
  };
  G g1{{1, 2, 3}}, g2{{1, 2, 3}}, g3{{1, 2, 4}};
  EXPECT_TRUE(nxSameGUID(g1, g2));
  EXPECT_FALSE(nxSameGUID(g1, g3));
}

TEST(BitSets, SetClearFindOr) {
  uint8_t bits[8];
  nxBitsSetAll(bits, 40);
  EXPECT_EQ(nxBitsFindFirstClear(bits, 40), -1);
  nxBitClear(bits, 33);
  EXPECT_EQ(nxBitsFindFirstClear(bits, 40), 33);
  EXPECT_EQ(nxBitIsSet(bits, 33), 0);
  EXPECT_EQ(bits[4], 0xFD);  // bit 33 = bit 1 of byte 4
  nxBitsClearAll(bits, 64);
  EXPECT_EQ(nxBitsFindFirstClear(bits, 64), 0);
  EXPECT_EQ(nxBitsFindFirstClear(bits, 0), -1);
  nxBitSet(bits, 0);
  EXPECT_EQ(nxBitIsSet(bits, 0), 1);
  EXPECT_EQ(platform::LoadU32(bits), 1u);  // bit i of 32-bit word i shr 5
  uint8_t src[8] = {0xF0, 0, 0, 0, 0, 0, 0, 0x80};
  nxBitsOr(bits, src, 64);
  EXPECT_EQ(bits[0], 0xF1);
  EXPECT_EQ(bits[7], 0x80);
}

class Identifier : public ::testing::Test {
protected:
  void SetUp() override { EnxBaseException::SetLastConvertedException(0, u""); }
};

TEST_F(Identifier, DetailsAndLimits) {
  struct Case {
    std::u16string name;
    bool allowEmpty, allowReserved;
    uint32_t result;
    std::u16string detail;
  };
  const Case cases[] = {
      {u" T", false, false, 10039, u" Leading/trailing spaces are not allowed."},
      {u"T ", false, false, 10039, u" Leading/trailing spaces are not allowed."},
      {std::u16string(128, u'a'), false, false, 0, u""},
      {std::u16string(129, u'a'), false, false, 10039, u" Maximum length of 128 characters has been exceeded."},
      {u"Table*1", false, false, 10039, u" \"*\" is not a valid character."},
      {u"\u00C4rger", false, false, 10039, u" \"\u00C4\" is not a valid character."},
      {u"$Sys", false, false, 10039, u" Reserved Identifier not allowed."},
      {u"$Sys", false, true, 0, u""},
      {u"", true, false, 0, u""},
      {u"", false, false, 10039, u" Empty string is not allowed."},
      {u"A b!#$%&()+-.@[]^_{}~9", false, false, 0, u""},
      {u"09AZaz", false, false, 0, u""},
      // The neighbours of the accepted ranges, and a letter beyond ASCII
      // whose low byte is an accepted one.
      {u"a/", false, false, 10039, u" \"/\" is not a valid character."},
      {u"a:", false, false, 10039, u" \":\" is not a valid character."},
      {u"a`", false, false, 10039, u" \"`\" is not a valid character."},
      {u"a|", false, false, 10039, u" \"|\" is not a valid character."},
      {u"a\u0141", false, false, 10039, u" \"\u0141\" is not a valid character."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nxCheckIdentifier(c.name, 10039, c.allowEmpty, c.allowReserved), c.result) << U8(c.name);
    if (c.result) {
      EnxBaseException e(10039);
      EXPECT_EQ(U8(e.Message()), "RevurOV: Invalid table name." + U8(c.detail) + " [$2737/10039]");
    }
  }
}

TEST(Convert, NumbersToText) {
  EXPECT_EQ(U8(nxIntToStr(INT32_MIN)), "-2147483648");
  EXPECT_EQ(U8(nxInt64ToStr(INT64_MAX)), "9223372036854775807");
  EXPECT_EQ(nxIntToAnsiStr(-5), "-5");
  EXPECT_EQ(nxInt64ToAnsiStr(1234567890123), "1234567890123");
  platform::TFormatSettings comma{u',', u'.'};
  EXPECT_EQ(U8(nxFloatToStr(1.5, comma)), "1,5");
  EXPECT_EQ(U8(nxFloatToStr(1.5, nxInvariantFormatSettings())), "1.5");
  EXPECT_EQ(nxFloatToAnsiStr(0.25, comma), "0,25");
}

TEST(Convert, DateTimeText) {
  using platform::EncodeDate;
  using platform::EncodeTime;
  const platform::TFormatSettings& inv = nxInvariantFormatSettings();
  platform::TFormatSettings de = platform::LocaleFormatSettings(0x0407);
  struct Case {
    double value;
    const char* date;
    const char* time;
    const char* dateTime;
  } cases[] = {
      {EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0), "03/05/2024", "14:07:09", "03/05/2024 14:07:09"},
      {EncodeDate(2024, 3, 5), "03/05/2024", "00:00:00", "03/05/2024"},
      {0.0, "12/30/1899", "00:00:00", "12/30/1899"},
      {0.5, "12/30/1899", "12:00:00", "12/30/1899 12:00:00"},
      {-1.25, "12/29/1899", "06:00:00", "12/29/1899 06:00:00"},
      {EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 999), "12/31/9999", "23:59:59", "12/31/9999 23:59:59"},
      {EncodeDate(1, 1, 1), "01/01/0001", "00:00:00", "01/01/0001"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(U8(nxDateToStr(c.value, inv)), c.date) << c.value;
    EXPECT_EQ(U8(nxTimeToStr(c.value, inv)), c.time) << c.value;
    EXPECT_EQ(U8(nxDateTimeToStr(c.value, inv)), c.dateTime) << c.value;
    EXPECT_EQ(nxDateToAnsiStr(c.value, inv), c.date);
    EXPECT_EQ(nxTimeToAnsiStr(c.value, inv), c.time);
    EXPECT_EQ(nxDateTimeToAnsiStr(c.value, inv), c.dateTime);
  }
  EXPECT_EQ(U8(nxDateTimeToStr(EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0), de)), "05.03.2024 14:07:09");
  // Values from a stream may be anything: outside the calendar they raise.
  for (double bad : {std::nan(""), 1e300, -693594.0, 2958466.0}) {
    EXPECT_THROW(nxDateTimeToStr(bad, inv), platform::EConvertError);
    EXPECT_THROW(nxTimeToAnsiStr(bad, inv), platform::EConvertError);
  }
  // The 8-bit forms are in the system's ANSI code page.
  platform::TFormatSettings euro = inv;
  euro.ShortDateFormat = u"dd'\u20AC'mm";
  EXPECT_EQ(nxDateToAnsiStr(EncodeDate(2024, 3, 5), euro), "05\x80" "03");
  euro.DecimalSeparator = u'\u00B7';
  EXPECT_EQ(nxFloatToAnsiStr(1.5, euro), "1\xB7" "5");
}

TEST(Convert, GUIDTextAndTimeStamps) {
  const platform::TGUID g = platform::nxGuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(U8(nxGUIDToStr(g)), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(nxGUIDToAnsiStr(g), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(nxGUIDToAnsiStr(platform::GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
  platform::TGUID back;
  ASSERT_TRUE(platform::TryStringToGUID(nxGUIDToStr(g), back));
  EXPECT_TRUE(back == g);

  const platform::TTimeStamp ts = nxMakeTimeStamp(693594, 43200000);
  EXPECT_EQ(ts.Date, 693594);
  EXPECT_EQ(ts.Time, 43200000);
  const platform::TTimeStamp noon = platform::DateTimeToTimeStamp(0.5);
  EXPECT_EQ(noon.Date, ts.Date);
  EXPECT_EQ(noon.Time, ts.Time);
}

TEST(Convert, AnsiStrToIntDef) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {{"42", 42},          {"-7", -7},   {"  3", 3},  {"$FF", 255},       {"0x10", 16},
                        {"", -1},            {"12a", -1},  {"-", -1},   {"2147483648", -1}, {"-2147483648", INT32_MIN},
                        {"$FFFFFFFF", -1},   {"$1FFFFFFFF", -1}, {"9999999999999", -1}};
  for (const Case& c : cases) EXPECT_EQ(nxAnsiStrToIntDef(c.text, -1), c.value) << c.text;
  EXPECT_EQ(nxAnsiStrToIntDef("x", 99), 99);
}

TEST(Handles, CloseOnceAndInvalidate) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  THandle h = fds[0];
  nxCloseHandleAndNil(h);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // closed
  nxCloseHandleAndNil(h);                 // 0 is ignored
  THandle w = fds[1];
  nxCloseHandleAndInvalidate(w);
  EXPECT_EQ(w, platform::INVALID_HANDLE_VALUE);
  nxCloseHandleAndInvalidate(w);  // -1 is ignored
}

TEST(Handles, FailedCloseRaisesTheOSError) {
  THandle h = 1000000;  // no such descriptor
  try {
    nxCloseHandleAndNil(h);
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EBADF));
  }
  EXPECT_EQ(h, 0);
}

TEST(Handles, SetEventCloseAndNilSignalsFirst) {
  int efd = eventfd(0, EFD_NONBLOCK);
  ASSERT_GE(efd, 0);
  int dupfd = dup(efd);
  THandle h = efd;
  nxSetEventCloseAndNil(h);
  EXPECT_EQ(h, 0);
  uint64_t v = 0;
  EXPECT_EQ(read(dupfd, &v, 8), 8);
  EXPECT_EQ(v, 1u);
  close(dupfd);
}

TEST(Handles, TwoThreadsCloseOneVariableOnce) {
  for (int round = 0; round < 200; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    THandle h = fds[0];
    std::thread t([&] { nxCloseHandleAndNil(h); });
    nxCloseHandleAndNil(h);  // a double close would raise EBADF here or there
    t.join();
  }
}

TEST(Handles, UnmapViewAndNil) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), 4096), 0);
  void* p = platform::MapView(fileno(f), 0, 4096, true);
  ASSERT_NE(p, nullptr);
  static_cast<char*>(p)[0] = 'x';
  nxUnmapViewAndNil(p);
  EXPECT_EQ(p, nullptr);
  nxUnmapViewAndNil(p);  // nil is ignored
  int local = 0;
  void* notAView = &local;
  EXPECT_THROW(nxUnmapViewAndNil(notAView), EnxBaseException);
  fclose(f);
}

TEST(TFileIdentity, SameFileSameIdentity) {
  char path[] = "/tmp/revurov_identXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  int fd2 = open(path, O_RDONLY);
  TnxFileIdentity a{}, b{};
  ASSERT_TRUE(nxGetFileIdentity(fd, a));
  ASSERT_TRUE(nxGetFileIdentity(fd2, b));
  EXPECT_EQ(std::memcmp(a.bytes, b.bytes, 32), 0);
  struct stat st;
  fstat(fd, &st);
  EXPECT_EQ(platform::LoadU64(a.bytes + 16), st.st_ino);
  EXPECT_EQ(platform::LoadU64(a.bytes + 24), 0u);
  const uint64_t created = platform::LoadU64(a.bytes);
  if (created != 0) {
    EXPECT_GT(created, 116444736000000000ull);  // after 1970 as FILETIME
  }
  uint8_t oid[64];
  EXPECT_TRUE(nxGetFileObjectID(fd, oid));
  EXPECT_FALSE(nxGetFileObjectID(platform::INVALID_HANDLE_VALUE, oid));
  close(fd2);
  close(fd);
  unlink(path);
  EXPECT_FALSE(nxGetFileIdentity(fd, a));  // closed
}

TEST(System, PrivilegesAndDescriptors) {
  EXPECT_TRUE(nxEnablePrivilege(u"SeCreateGlobalPrivilege", true));
  EXPECT_EQ(platform::GetLastOSError(), 0u);
  EXPECT_FALSE(nxEnablePrivilege(u"SeDebugPrivilege", true));
  TnxSecurityDescriptor sd;
  ASSERT_NE(nxConvertStringSDToSD, nullptr);
  EXPECT_TRUE(nxConvertStringSDToSD("D:(A;;GA;;;WD)", 1, sd));
  std::string text;
  EXPECT_TRUE(nxConvertSDToStringSD(sd, 1, text));
  EXPECT_EQ(text, "D:(A;;GA;;;WD)");
  EXPECT_FALSE(nxConvertStringSDToSD("x", 2, sd));
}

TEST(System, MemoryStatus) {
  TnxMemoryStatusEx st;
  ASSERT_TRUE(nxGlobalMemoryStatusEx(st));
  EXPECT_GT(st.ullTotalPhys, 0u);
  EXPECT_LE(st.ullAvailPhys, st.ullTotalPhys);
  EXPECT_LE(st.dwMemoryLoad, 100u);
  EXPECT_GE(st.ullTotalPageFile, st.ullTotalPhys);
}

TEST(System, LiveObjectRegistry) {
  struct Probe : TnxObject {};
  auto* obj = new Probe;
  TnxObject* found = reinterpret_cast<TnxObject*>(1);
  EXPECT_FALSE(nxIsValidObject(obj, found));
  EXPECT_EQ(found, nullptr);
  nxRegisterLiveObject(obj);
  EXPECT_TRUE(nxIsValidObject(obj, found));
  EXPECT_EQ(found, obj);
  EXPECT_NE(dynamic_cast<Probe*>(found), nullptr);
  nxUnregisterLiveObject(obj);
  EXPECT_FALSE(nxIsValidObject(obj, found));
  int junk = 0;
  EXPECT_FALSE(nxIsValidObject(&junk, found));  // never read
  EXPECT_FALSE(nxIsValidObject(reinterpret_cast<void*>(0x10), found));
  EXPECT_FALSE(nxIsValidObject(nullptr, found));
  delete obj;
  EXPECT_EQ(nxDisconnectObject(nullptr), platform::E_NOTIMPL);
  nxCallStateChangeHook(nullptr, 1);  // nil hook: nothing
}

TEST(Locales, ListsAndCodePages) {
  EXPECT_TRUE(nxIsLocaleInstalled(1031));
  EXPECT_TRUE(nxIsLocaleInstalled(1033));
  EXPECT_FALSE(nxIsLocaleInstalled(0x7FFF));
  EXPECT_FALSE(nxLocaleList().empty());
  for (uint32_t cp : {1252u, 850u, 437u, 65001u, 1250u, 932u}) EXPECT_TRUE(nxIsCodePageInstalled(cp)) << cp;
  EXPECT_FALSE(nxIsCodePageInstalled(12345));
  EXPECT_TRUE(std::is_sorted(nxCodePageList().begin(), nxCodePageList().end()));
}

TEST(Locales, ThreadAnsiCodePageFollowsTheThreadLocale) {
  std::thread([] {
    struct Case {
      uint32_t lcid;
      int32_t cp;
    };
    const Case cases[] = {{1031, 1252}, {1049, 1251}, {1045, 1250}, {1032, 1253}, {1055, 1254},
                          {1041, 932},  {2052, 936},  {1028, 950},  {1081, 0},    {1033, 1252}};
    for (const Case& c : cases) {
      platform::SetThreadLocale(c.lcid);
      EXPECT_EQ(nxThreadAnsiCodePage(), c.cp) << c.lcid;
    }
  }).join();
}

TEST(Locales, FormatSettingsAreCachedPerLocale) {
  const platform::TFormatSettings& de = nxGetFormatSettings(1031);
  EXPECT_EQ(de.DecimalSeparator, u',');
  EXPECT_EQ(de.ThousandSeparator, u'.');
  EXPECT_EQ(&nxGetFormatSettings(1031), &de);
  EXPECT_EQ(nxGetFormatSettings(1033).DecimalSeparator, u'.');
  EXPECT_EQ(nxGetFormatSettings(127).DecimalSeparator, u'.');
}

TEST(Locales, NLSVersion) {
  TnxNLSVersionInfoEx info;
  nxGetNLSVersion(1031, info);
  EXPECT_EQ(info.dwEffectiveId, 1031u);
  EXPECT_EQ(info.dwNLSVersionInfoSize, 32u);
  EXPECT_NE(info.dwNLSVersion, 0u);
  nxGetNLSVersion(0x7FFF, info);
  EXPECT_EQ(info.dwEffectiveId, 0u);
}

}  // namespace
}  // namespace revurov
