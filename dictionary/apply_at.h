// The sides on which a default value or a validation applies.
#pragma once

#include <cstdint>

namespace revurov {

enum TnxApplyAt : uint8_t { aaServer, aaClient };
using TnxApplyAtSet = uint8_t;
constexpr TnxApplyAtSet nxApplyAtBit(TnxApplyAt aSide) noexcept { return TnxApplyAtSet(1u << aSide); }
inline constexpr TnxApplyAtSet nxApplyAtBoth = nxApplyAtBit(aaServer) | nxApplyAtBit(aaClient);

}  // namespace revurov
