#include "lowlevel/streams/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {
namespace {

struct Pair {
  std::string data;
  std::string text;
};

const Pair kForms[] = {
    {"", "A==="},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\0", 1), "AA=="},
    {std::string("\0\0\0", 3), "AAAA"},
    {"\xFF\xFE\xFD", "//79"},
    {"\xFB\xEF\xBE", "++++"},
    {"EDV\x01", "RURWAQ=="},
};

TEST(Base64, EncodesTheKnownForms) {
  for (const auto& f : kForms) {
    EXPECT_EQ(StrToBase64(f.data), f.text) << f.text;
  }
}

TEST(Base64, DecodesTheKnownForms) {
  for (const auto& f : kForms) {
    EXPECT_EQ(Base64ToStr(f.text), f.data) << f.text;
  }
}

TEST(Base64, AcceptsLooseButHarmlessForms) {
  // Unused low bits of the last character and a lone character before three
  // "=" both decode as the encoder's own forms would.
  EXPECT_EQ(Base64ToStr("Zh=="), "f");
  EXPECT_EQ(Base64ToStr("Zm9="), "fo");
  EXPECT_EQ(Base64ToStr("Q==="), "");
  EXPECT_EQ(Base64ToStr("Zm9vA==="), "foo");
}

TEST(Base64, RoundTripsEveryByteAndLength) {
  std::mt19937 rng(4711);
  for (std::size_t len = 0; len <= 300; ++len) {
    std::string data(len, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    const std::string text = StrToBase64(data);
    EXPECT_EQ(text.size(), len == 0 ? 4 : (len + 2) / 3 * 4);
    EXPECT_EQ(Base64ToStr(text), data) << len;
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Base64ToStr(StrToBase64(all)), all);
}

std::string DecodeError(const std::string& text) {
  try {
    Base64ToStr(text);
  } catch (const platform::Exception& e) {
    return platform::Utf16ToUtf8(e.Message());
  }
  return "(no error)";
}

TEST(Base64, RejectsMalformedText) {
  const std::string kLength = "Base64ToStr: illegal input length!";
  const std::string kCharacter = "Base64ToStr: illegal input character!";
  struct Malformed {
    std::string error;
    std::string text;
  };
  const Malformed cases[] = {
      {kLength, ""},
      {kLength, "A"},
      {kLength, "AB="},
      {kLength, "Zm9vY"},
      {kLength, "Zm9vYg="},
      {kCharacter, "===="},
      {kCharacter, "A======="},
      {kCharacter, "Zm9v===="},
      {kCharacter, "Zg=A"},
      {kCharacter, "Zg==Zm8="},
      {kCharacter, "Zm-v"},
      {kCharacter, "Zm_v"},
      {kCharacter, "Zm9 "},
      {kCharacter, "Zm9v\r\nYg"},
      {kCharacter, std::string("Zm\0v", 4)},
      {kCharacter, "\x80Zm9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeError(c.text), c.error) << c.text;
  }
}

// Random damage to valid texts must give either an error or a result of the
// length the text promises; ASan watches the bounds.
TEST(Base64, DamagedTextNeverMisbehaves) {
  std::mt19937 rng(20240);
  const char kNoise[] = "=A/+z9\0\x80\xFF \n-";
  for (int round = 0; round < 3000; ++round) {
    std::string data(rng() % 40, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    std::string text = StrToBase64(data);
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = kNoise[rng() % (sizeof kNoise - 1)];
      switch (rng() % 3) {
        case 0: if (at < text.size()) text[at] = c; break;
        case 1: text.insert(at, 1, c); break;
        default: if (at < text.size()) text.erase(at, 1); break;
      }
    }
    try {
      const std::string out = Base64ToStr(text);
      std::size_t padding = 0;
      while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
      EXPECT_EQ(out.size(), text.size() / 4 * 3 - padding) << text;
    } catch (const platform::Exception&) {
    }
  }
}

}  // namespace
}  // namespace revurov
