// The system's ANSI code page and conversions between code pages and
// UTF-16 (ICU converters chosen by Windows code-page number).
//
// Contract:
// - `SystemAnsiCodePage` is 1252 (a German installation) unless changed by
//   `SetSystemAnsiCodePage`; this is the one place where it is set.
// - `CodePageToUnicode` never fails on content: bytes without a mapping
//   become the converter's substitution character. An unknown code page
//   raises EConvertError.
// - `UnicodeToCodePage` returns nullopt when a character cannot be
//   expressed; `UnicodeToCodePageLossy` substitutes "?" as the platform does.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct UConverter;

namespace revurov::platform {

inline constexpr uint32_t CP_UTF8 = 65001;

uint32_t SystemAnsiCodePage() noexcept;
void SetSystemAnsiCodePage(uint32_t code_page) noexcept;

std::u16string CodePageToUnicode(std::string_view bytes, uint32_t code_page);
std::optional<std::string> UnicodeToCodePage(std::u16string_view text, uint32_t code_page);
std::string UnicodeToCodePageLossy(std::u16string_view text, uint32_t code_page);

// The most bytes one character takes in a code page (1 for single-byte
// code pages); 0 for a code page ICU has no converter for. 0 to 3 are
// resolved as the system's ANSI code page.
int CodePageMaxCharSize(uint32_t code_page) noexcept;

// A new ICU converter for a Windows code-page number (the caller closes it
// with ucnv_close), or nullptr when ICU has none. The numbers 0 to 3 are not
// resolved here.
UConverter* OpenCodePageConverter(uint32_t code_page) noexcept;

// How a conversion from UTF-16 treats a character the code page cannot
// hold: it stops there (strict) or writes the converter's substitute. ICU's
// own callbacks drop default-ignorable characters (U+200B, U+FE00 ...)
// silently instead, which let a strict conversion succeed with the
// character gone and made the length query count it. False when ICU
// refuses the callback.
bool SetStrictFromUnicode(UConverter* conv) noexcept;
bool SetSubstitutingFromUnicode(UConverter* conv) noexcept;

// One open converter for repeated conversions on one thread: bytes
// invalid in the code page widen to ICU's substitute, characters the code
// page lacks narrow to "?". The counts returned are what the whole text
// needs; at most aCapacity is written; -1 for any other failure.
class TCodePageConverter {
public:
  // Null when ICU has no converter; the numbers 0 to 3 are not resolved.
  static std::unique_ptr<TCodePageConverter> Open(uint32_t code_page);
  ~TCodePageConverter();
  TCodePageConverter(const TCodePageConverter&) = delete;
  TCodePageConverter& operator=(const TCodePageConverter&) = delete;

  int MaxCharSize() const noexcept;
  int32_t ToUnicode(std::string_view bytes, char16_t* target, int32_t capacity) noexcept;
  int32_t FromUnicode(std::u16string_view text, char* target, int32_t capacity) noexcept;
  // The longest leading run of whole characters of the converted text that
  // fits aCapacity bytes: never half a multi-byte character, never half a
  // surrogate pair. Answers the bytes written, -1 on failure.
  int32_t FromUnicodeCut(std::u16string_view text, char* target, int32_t capacity);
  // A text in pieces: a character split between two pieces converts
  // whole, the last piece passes `flush`. Each call appends the piece's
  // conversion to `out`; false on failure. `Reset` drops what an
  // unfinished text left in the converter.
  bool ToUnicodeChunk(std::string_view bytes, bool flush, std::u16string& out);
  bool FromUnicodeChunk(std::u16string_view text, bool flush, std::string& out);
  void Reset() noexcept;

private:
  explicit TCodePageConverter(UConverter* conv) noexcept : cpcConverter(conv) {}
  UConverter* cpcConverter = nullptr;
};

}  // namespace revurov::platform
