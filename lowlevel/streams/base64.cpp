#include "lowlevel/streams/base64.h"

#include <array>
#include <cstdint>

#include "platform/rtl_exception.h"

namespace revurov {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotInAlphabet = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

// Padding characters decode as the code of "=", as they always have; their
// bits land only in bytes that are dropped.
constexpr uint32_t kPaddingValue = '=';

[[noreturn]] void RaiseDecodeError(const char16_t* what) {
  throw platform::Exception(std::u16string(u"Base64ToStr: ") + what);
}

}  // namespace

std::string StrToBase64(std::string_view aData) {
  const std::size_t groups = aData.empty() ? 1 : (aData.size() + 2) / 3;
  const std::size_t padding = groups * 3 - aData.size();
  std::string out;
  out.reserve(groups * 4);
  for (std::size_t g = 0; g < groups; ++g) {
    uint32_t bits = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const std::size_t i = g * 3 + k;
      bits = (bits << 8) | (i < aData.size() ? static_cast<uint8_t>(aData[i]) : 0u);
    }
    out += kAlphabet[(bits >> 18) & 63];
    out += kAlphabet[(bits >> 12) & 63];
    out += kAlphabet[(bits >> 6) & 63];
    out += kAlphabet[bits & 63];
  }
  out.replace(out.size() - padding, padding, padding, '=');
  return out;
}

std::string Base64ToStr(std::string_view aText) {
  const std::size_t n = aText.size();
  if (n < 4 || n % 4 != 0) RaiseDecodeError(u"illegal input length!");

  std::size_t padding = 0;
  while (padding < n && aText[n - 1 - padding] == '=') ++padding;
  // More "=" than a group can carry would cut bytes that were never there.
  if (padding > 3) RaiseDecodeError(u"illegal input character!");
  // Other characters would decode silently to wrong bytes; reject them here
  // rather than let the reader of the data fail on garbage.
  for (std::size_t i = 0; i < n - padding; ++i) {
    if (kDecodeTable[static_cast<uint8_t>(aText[i])] == kNotInAlphabet) {
      RaiseDecodeError(u"illegal input character!");
    }
  }

  const std::size_t length = n / 4 * 3 - padding;
  std::string out;
  out.reserve(length);
  for (std::size_t g = 0; g < n; g += 4) {
    uint32_t bits = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int v = kDecodeTable[static_cast<uint8_t>(aText[g + k])];
      bits = (bits << 6) | (v == kNotInAlphabet ? kPaddingValue : static_cast<uint32_t>(v));
    }
    for (int shift = 16; shift >= 0 && out.size() < length; shift -= 8) {
      out += static_cast<char>((bits >> shift) & 0xFF);
    }
  }
  return out;
}

}  // namespace revurov
