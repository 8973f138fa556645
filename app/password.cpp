#include "app/password.h"

#include <algorithm>

#include "platform/text.h"

namespace tesmira {

namespace {

constexpr char16_t kPW[] = u"PW";
constexpr char16_t kPWHex[] = u"PWHex";
constexpr char16_t kPWWide[] = u"PWWide";

bool KeptByLineFile(std::u16string_view s) {
  if (!s.empty() && (s.front() <= u' ' || s.back() <= u' ')) return false;  // trimmed on reading
  if (std::any_of(s.begin(), s.end(), [](char16_t c) { return c < u' '; })) return false;
  return !revurov::platform::HasUnpairedSurrogate(s);
}

std::u16string ToHex(std::u16string_view s) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  for (char16_t c : s) {
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kDigits[(c >> shift) & 0xF]);
  }
  return out;
}

bool FromHex(std::u16string_view s, std::u16string& out) {
  if (s.size() % 4 != 0) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 4) {
    unsigned v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char16_t c = s[i + k];
      unsigned d;
      if (c >= u'0' && c <= u'9') d = c - u'0';
      else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
      else return false;
      v = (v << 4) | d;
    }
    out.push_back(static_cast<char16_t>(v));
  }
  return true;
}

// The running sum over positions 2 .. length - 1, kept whole in 16 bits.
void ScrambleWide(std::u16string& text) {
  for (size_t i = 1; i + 1 < text.size(); ++i) text[i] = static_cast<char16_t>(text[i - 1] + text[i]);
}

void UnscrambleWide(std::u16string& text) {
  for (size_t i = text.size() < 3 ? 0 : text.size() - 2; i >= 1; --i)
    text[i] = static_cast<char16_t>(text[i] - text[i - 1]);
}

bool NarrowScrambleKeeps(std::u16string_view password) {
  if (password.size() < 3) return true;
  return std::all_of(password.begin() + 1, password.end() - 1, [](char16_t c) { return c < 256; });
}

}  // namespace

void ScramblePassword(std::u16string& text, int n) {
  const int last = std::min<int>(n, static_cast<int>(text.size()));
  for (int i = 2; i <= last; ++i) {
    text[i - 1] = static_cast<char16_t>((text[i - 2] + text[i - 1]) % 256);
  }
}

void UnscramblePassword(std::u16string& text, int n) {
  const int last = std::min<int>(n, static_cast<int>(text.size()));
  // Masked, not "% 256": a first character of U+0200 or above made the
  // difference negative and the result a code unit above 255.
  for (int i = last; i >= 2; --i) {
    text[i - 1] = static_cast<char16_t>((text[i - 1] - text[i - 2]) & 0xFF);
  }
}

void StoreScrambled(revurov::platform::TMemIniFile& ini, std::u16string_view section,
                    std::u16string_view scrambled) {
  if (KeptByLineFile(scrambled)) {
    ini.WriteString(section, kPW, scrambled);
    ini.DeleteKey(section, kPWHex);
    return;
  }
  // Both keys hold the hex text; an older tool then asks for a password
  // nobody knows instead of letting anyone in.
  const std::u16string hex = ToHex(scrambled);
  ini.WriteString(section, kPW, hex);
  ini.WriteString(section, kPWHex, hex);
}

std::u16string LoadScrambled(const revurov::platform::TMemIniFile& ini, std::u16string_view section) {
  const std::u16string pw = ini.ReadString(section, kPW, u"");
  if (ini.ValueExists(section, kPWHex) && ini.ReadString(section, kPWHex, u"") == pw) {
    std::u16string decoded;
    if (FromHex(pw, decoded)) return decoded;
  }
  return pw;
}


void StoreAdminPassword(revurov::platform::TMemIniFile& ini, std::u16string_view section,
                        std::u16string_view password) {
  std::u16string pw(password);
  if (NarrowScrambleKeeps(pw)) {
    ScramblePassword(pw, static_cast<int>(pw.size()) - 1);
    StoreScrambled(ini, section, pw);
    ini.DeleteKey(section, kPWWide);
    return;
  }
  ScrambleWide(pw);
  const std::u16string hex = ToHex(pw);
  ini.WriteString(section, kPW, hex);
  ini.WriteString(section, kPWWide, hex);
  ini.DeleteKey(section, kPWHex);
}

std::u16string LoadAdminPassword(const revurov::platform::TMemIniFile& ini, std::u16string_view section) {
  if (ini.ValueExists(section, kPWWide)) {
    const std::u16string pw = ini.ReadString(section, kPW, u"");
    std::u16string decoded;
    if (ini.ReadString(section, kPWWide, u"") == pw && FromHex(pw, decoded)) {
      UnscrambleWide(decoded);
      return decoded;
    }
  }
  std::u16string pw = LoadScrambled(ini, section);
  if (!pw.empty()) UnscramblePassword(pw, static_cast<int>(pw.size()) - 1);
  return pw;
}

}  // namespace tesmira
