// The check that a name is a valid identifier, with its precise messages.
#pragma once

#include <cstdint>
#include <string_view>

namespace revurov {

inline constexpr size_t nxMaxIdentifierLength = 128;

// 0 when aName is acceptable; otherwise aErrorCode, with the code-text
// placeholder and the detail left in the thread slot (nxSetMessage), so the
// next exception made with aErrorCode alone reads the code's text, then the
// detail. Never raises for a bad name.
uint32_t nxCheckIdentifier(std::u16string_view aName, uint32_t aErrorCode, bool aAllowEmpty,
                           bool aAllowReserved);

}  // namespace revurov
