#include "dictionary/engine_types.h"

#include "platform/text.h"

namespace revurov {

TnxParamType nxParamTypeFromString(std::u16string_view aText) noexcept {
  for (int i = 0; i < 5; ++i)
    if (platform::AsciiSameText(aText, nxParamTypeNames[i])) return static_cast<TnxParamType>(i);
  return nxptUnknown;
}

}  // namespace revurov
