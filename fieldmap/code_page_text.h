// What the text mappers share: the OS-error context of a routine and the
// converters they open at set-up.
#pragma once

#include <cstdint>
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

}  // namespace revurov
