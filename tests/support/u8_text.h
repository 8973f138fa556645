// UTF-16 text as UTF-8 for assertions, so a failure prints readable text
// instead of code units.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace revurov::testing {

inline std::string U8(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

}  // namespace revurov::testing
