#include "platform/text.h"

#include <cstdint>

namespace revurov::platform {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

namespace {

// Decodes the sequence at text[i]. On success stores the code point, moves i
// past it and returns true; on a malformed sequence moves i past the bytes
// it consumed (at least one) and returns false.
bool DecodeUtf8(std::string_view text, size_t& i, char32_t& cp) noexcept {
  const size_t n = text.size();
  const auto b0 = static_cast<uint8_t>(text[i]);
  size_t len = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2; cp = b0 & 0x1F; min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3; cp = b0 & 0x0F; min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4; cp = b0 & 0x07; min = 0x10000;
  } else {
    ++i;
    return false;
  }
  size_t k = 1;
  for (; k < len && i + k < n; ++k) {
    const auto b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  i += k;
  return k == len && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    AppendUtf16(out, DecodeUtf8(text, i, cp) ? cp : 0xFFFD);
  }
  return out;
}

bool IsValidUtf8(std::string_view text) noexcept {
  size_t i = 0;
  char32_t cp = 0;
  while (i < text.size()) {
    if (!DecodeUtf8(text, i, cp)) return false;
  }
  return true;
}

bool HasUnpairedSurrogate(std::u16string_view text) noexcept {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return true;
  }
  return false;
}

char16_t AsciiUpper(char16_t c) noexcept {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

char16_t AsciiLower(char16_t c) noexcept {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::u16string AsciiUpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = AsciiUpper(c);
  return out;
}

std::u16string AsciiLowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = AsciiLower(c);
  return out;
}

int AsciiCompareText(std::u16string_view a, std::u16string_view b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = AsciiUpper(a[i]);
    const char16_t y = AsciiUpper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AsciiSameText(std::u16string_view a, std::u16string_view b) noexcept {
  return a.size() == b.size() && AsciiCompareText(a, b) == 0;
}

std::u16string_view TrimRight(std::u16string_view text) noexcept {
  while (!text.empty() && text.back() <= u' ') text.remove_suffix(1);
  return text;
}

std::u16string_view Trim(std::u16string_view text) noexcept {
  text = TrimRight(text);
  while (!text.empty() && text.front() <= u' ') text.remove_prefix(1);
  return text;
}

}  // namespace revurov::platform
