// Text helpers shared by the library: searching, splitting, trimming
// trailing blank lines, ELF hashing, table-name checks and command-line
// switches. Pure routines on caller-owned data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/string_list.h"
#include "platform/variant.h"

namespace revurov {

// Lower-cases a zero-terminated wide string in place, one code unit at a
// time (the length never changes). Nil is ignored.
void nxCharLower(char16_t* P) noexcept;

// First occurrence of SubStr in Str (both zero-terminated); nil when either
// is nil, SubStr is empty or longer than Str.
const char16_t* nxStrPosW(const char16_t* Str, const char16_t* SubStr) noexcept;
// 0 when SubText occurs in Text, -1 otherwise.
int nxCmpContains(std::u16string_view Text, std::u16string_view SubText) noexcept;

// Copies at most MaxChars characters of S and a terminating 0 to Buf (which
// holds MaxChars + 1); nothing when Buf is nil.
void nxStrToWideBuf(std::u16string_view S, char16_t* Buf, size_t MaxChars) noexcept;

// Splits at the first character below 256 that is one of the bytes of
// Delims; without one Left = S and Right is empty.
void nxSplitAtDelimiter(std::u16string_view S, std::string_view Delims, std::u16string& Left,
                        std::u16string& Right);

void nxBytesToWideChars(const uint8_t* Src, char16_t* Dest, size_t Len) noexcept;
void nxSwapWords(uint16_t* Words, size_t Count) noexcept;

// Drops trailing lines that are blank; with two or more lines left each ends
// in CR LF and one more CR LF follows; one line comes back right-trimmed.
std::u16string nxTrimTrailingBlankLines(std::u16string_view S);

uint32_t nxHashElf(const void* Data, size_t Len) noexcept;
uint32_t nxHashElfString(std::u16string_view S) noexcept;  // over the UTF-16 bytes

// Not empty and none of  " * . / : < > ? \ |
bool nxIsValidTableName(std::u16string_view S) noexcept;
// Whether a command-line parameter is "-" or "/" followed by S, ignoring
// (ASCII) case.
bool nxFindCmdLineSwitch(std::u16string_view S);

// Arrays of wide strings.
using TnxUnicodeStrings = std::vector<std::u16string>;
void nxStringToUnicodeStrings(std::u16string_view S, TnxUnicodeStrings& A);
void nxAppendUnicodeString(TnxUnicodeStrings& A, std::u16string_view S);
// Removes element Index (later ones move down); an index outside the array
// raises the runtime's list error.
void nxExtractUnicodeString(TnxUnicodeStrings& A, int Index, std::u16string& S);
// Clears aStrings and adds every element inside one update bracket.
void nxUnicodeStringsToStrings(const TnxUnicodeStrings& A, platform::TStringList& aStrings);
// The lines of aStrings; empty for nil or an empty list.
void nxStringsToStringArray(const platform::TStringList* aStrings, TnxUnicodeStrings& A);
// High bound minus low bound plus 1 of dimension 1; raises
// EVariantInvalidArgError for a variant that is no array.
int32_t nxVarArrayLength(const platform::TnxVariant& V);

bool nxStartsWith(std::u16string_view S, std::u16string_view Prefix) noexcept;

}  // namespace revurov
