// Thread priorities as the library names them: settings stream them, and a
// request asks its server thread for one (-15 to 15; 0 leaves the thread's
// priority as it is).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace revurov {

// Priorities as component settings stream them.
using TnxThreadPriority = int32_t;
inline constexpr TnxThreadPriority nxtpIdle = -15;
inline constexpr TnxThreadPriority nxtpLowest = -2;
inline constexpr TnxThreadPriority nxtpBelowNormal = -1;
inline constexpr TnxThreadPriority nxtpNormal = 0;
inline constexpr TnxThreadPriority nxtpAboveNormal = 1;
inline constexpr TnxThreadPriority nxtpHighest = 2;
inline constexpr TnxThreadPriority nxtpTimeCritical = 15;
// "IDLE", "LOWEST", "BELOW_NORMAL", "NORMAL", "ABOVE_NORMAL", "HIGHEST",
// "TIME_CRITICAL" (identifiers compare without case); false for others.
bool nxThreadPriorityToIdent(TnxThreadPriority aValue, std::u16string& aIdent);
bool nxIdentToThreadPriority(std::u16string_view aIdent, TnxThreadPriority& aValue);

}  // namespace revurov
