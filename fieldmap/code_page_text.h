// What the text mappers share: the OS-error context of a routine and the
// converters they open at set-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>

#include "platform/code_page.h"

namespace revurov {

inline constexpr std::u16string_view nxWidenFunction = u"MultiByteToWideChar";
inline constexpr std::u16string_view nxNarrowFunction = u"WideCharToMultiByte";
// What the platform answered for a code page it lacks and for a failed
// conversion.
inline constexpr int64_t nxErrorInvalidParameter = 87;
inline constexpr int64_t nxErrorNoUnicodeTranslation = 1113;

// The class and routine a failure names: "Class.Routine/Function".
struct TnxMapperContext {
  std::u16string_view Class;
  std::u16string_view Routine;

  [[noreturn]] void Raise(std::u16string_view aFunction, int64_t aError) const;
};

// Code page 0 is the system's ANSI code page.
uint32_t nxResolvedCodePage(uint16_t aCodePage) noexcept;

// The converter; a code page without one raises the OS error named by
// aContext and aFunction.
std::unique_ptr<platform::TCodePageConverter> nxOpenMapperConverter(uint32_t aCodePage,
                                                                    const TnxMapperContext& aContext,
                                                                    std::u16string_view aFunction);

// UTF-16 text in a buffer sized to it; field units may be unaligned.
class TnxWideBuffer {
public:
  // A new buffer of aUnits; what an earlier one held is gone.
  char16_t* Reserve(size_t aUnits) {
    if (aUnits <= std::size(wbFixed)) return wbFixed;
    wbHeap = std::make_unique<char16_t[]>(aUnits);
    return wbHeap.get();
  }

private:
  char16_t wbFixed[256];
  std::unique_ptr<char16_t[]> wbHeap;
};

// aBytes in UTF-16, in aBuffer.
std::u16string_view nxWidenText(platform::TCodePageConverter& aConv, std::string_view aBytes,
                                TnxWideBuffer& aBuffer, const TnxMapperContext& aContext);
// Into aArea of aCapacity bytes: the bytes written, cut at the last whole
// character that fits.
int32_t nxNarrowTextCut(platform::TCodePageConverter& aConv, std::u16string_view aText, char* aArea,
                        int32_t aCapacity, const TnxMapperContext& aContext);
// Into aArea of aCapacity bytes: the bytes the whole text needs, above
// aCapacity when it does not fit (aArea then holds a part of it).
int32_t nxNarrowTextCheck(platform::TCodePageConverter& aConv, std::u16string_view aText, char* aArea,
                          int32_t aCapacity, const TnxMapperContext& aContext);

}  // namespace revurov
