#include "lowlevel/strings/utils_text.h"

#include "platform/cmdline.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

void nxCharLower(char16_t* P) noexcept {
  if (!P) return;
  for (; *P; ++P) *P = platform::AnsiLowerChar(*P);
}

const char16_t* nxStrPosW(const char16_t* Str, const char16_t* SubStr) noexcept {
  if (!Str || !SubStr || !*SubStr) return nullptr;
  std::u16string_view s(Str), sub(SubStr);
  if (sub.size() > s.size()) return nullptr;
  size_t p = s.find(sub);
  return p == std::u16string_view::npos ? nullptr : Str + p;
}

int nxCmpContains(std::u16string_view Text, std::u16string_view SubText) noexcept {
  if (SubText.empty() || SubText.size() > Text.size()) return -1;
  return Text.find(SubText) == std::u16string_view::npos ? -1 : 0;
}

void nxStrToWideBuf(std::u16string_view S, char16_t* Buf, size_t MaxChars) noexcept {
  if (!Buf) return;
  size_t n = std::min(S.size(), MaxChars);
  std::char_traits<char16_t>::copy(Buf, S.data(), n);
  Buf[n] = 0;
}

void nxSplitAtDelimiter(std::u16string_view S, std::string_view Delims, std::u16string& Left,
                        std::u16string& Right) {
  bool set[256] = {};
  for (char d : Delims) set[static_cast<unsigned char>(d)] = true;
  for (size_t i = 0; i < S.size(); ++i) {
    if (S[i] < 256 && set[S[i]]) {
      Left.assign(S.substr(0, i));
      Right.assign(S.substr(i + 1));
      return;
    }
  }
  Left.assign(S);
  Right.clear();
}

void nxBytesToWideChars(const uint8_t* Src, char16_t* Dest, size_t Len) noexcept {
  for (size_t i = 0; i < Len; ++i) Dest[i] = Src[i];
}

void nxSwapWords(uint16_t* Words, size_t Count) noexcept {
  for (size_t i = 0; i < Count; ++i) Words[i] = static_cast<uint16_t>((Words[i] >> 8) | (Words[i] << 8));
}

std::u16string nxTrimTrailingBlankLines(std::u16string_view S) {
  // A final line break ends the last line; it does not start another.
  std::vector<std::u16string> lines = platform::SplitLines(S);
  while (!lines.empty() && platform::Trim(lines.back()).empty()) lines.pop_back();
  if (lines.empty()) return {};
  if (lines.size() == 1) return std::u16string(platform::TrimRight(lines[0]));
  std::u16string r;
  for (const auto& line : lines) {
    r += line;
    r += u"\r\n";
  }
  r += u"\r\n";
  return r;
}

namespace {

// One byte into the ELF hash; the top nibble is folded back and cleared.
inline uint32_t HashElfStep(uint32_t h, uint8_t b) noexcept {
  h = (h << 4) + b;
  const uint32_t g = h & 0xF0000000u;
  if (g) {
    h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

}  // namespace

uint32_t nxHashElf(const void* Data, size_t Len) noexcept {
  const uint8_t* p = static_cast<const uint8_t*>(Data);
  uint32_t h = 0;
  for (size_t i = 0; i < Len; ++i) h = HashElfStep(h, p[i]);
  return h;
}

uint32_t nxHashElfString(std::u16string_view S) noexcept {
  uint32_t h = 0;
  // The bytes of each unit in memory order (little-endian), as stored.
  for (char16_t c : S) {
    h = HashElfStep(h, static_cast<uint8_t>(c & 0xFF));
    h = HashElfStep(h, static_cast<uint8_t>(c >> 8));
  }
  return h;
}

bool nxIsValidTableName(std::u16string_view S) noexcept {
  if (S.empty()) return false;
  return S.find_first_of(u"\"*./:<>?\\|") == std::u16string_view::npos;
}

bool nxFindCmdLineSwitch(std::u16string_view S) {
  for (const std::u16string& p : platform::CommandLineParams()) {
    if (p.size() == S.size() + 1 && (p[0] == u'-' || p[0] == u'/') &&
        platform::AsciiSameText(std::u16string_view(p).substr(1), S))
      return true;
  }
  return false;
}

void nxStringToUnicodeStrings(std::u16string_view S, TnxUnicodeStrings& A) {
  A.clear();
  if (!S.empty()) A.emplace_back(S);
}

void nxAppendUnicodeString(TnxUnicodeStrings& A, std::u16string_view S) { A.emplace_back(S); }

void nxExtractUnicodeString(TnxUnicodeStrings& A, int Index, std::u16string& S) {
  if (Index < 0 || static_cast<size_t>(Index) >= A.size())
    throw platform::EListError(platform::Format(platform::SListIndexError, {Index}));
  S = std::move(A[static_cast<size_t>(Index)]);
  A.erase(A.begin() + Index);
}

void nxUnicodeStringsToStrings(const TnxUnicodeStrings& A, platform::TStringList& aStrings) {
  aStrings.BeginUpdate();
  try {
    aStrings.Clear();
    for (const std::u16string& s : A) aStrings.Add(s);
  } catch (...) {
    aStrings.EndUpdate();
    throw;
  }
  aStrings.EndUpdate();
}

void nxStringsToStringArray(const platform::TStringList* aStrings, TnxUnicodeStrings& A) {
  A.clear();
  if (!aStrings) return;
  A.reserve(static_cast<size_t>(aStrings->Count()));
  for (int i = 0; i < aStrings->Count(); ++i) A.push_back(aStrings->Strings(i));
}

int32_t nxVarArrayLength(const platform::TnxVariant& V) {
  // 64-bit difference: the bounds may span the whole 32-bit range.
  return static_cast<int32_t>(int64_t{V.VarArrayHighBound(1)} - V.VarArrayLowBound(1) + 1);
}

bool nxStartsWith(std::u16string_view S, std::u16string_view Prefix) noexcept {
  return S.substr(0, Prefix.size()) == Prefix;
}

}  // namespace revurov
