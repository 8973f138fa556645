// The calling thread's last operating-system error and its text.
//
// Contract: the last OS error is errno, so it is per thread, and like the
// original's it is changed only by calls that fail (or by SetLastOSError).
// Callers read it right after the failing call, before anything else that
// may touch errno. SysErrorMessage never throws and gives a text for every
// value: the common file errors in German as a German Windows words them,
// the others as the system words them ("Unknown error N" for numbers it
// does not know).
#pragma once

#include <cstdint>
#include <string>

namespace revurov::platform {

uint32_t GetLastOSError() noexcept;
void SetLastOSError(uint32_t error) noexcept;
std::u16string SysErrorMessage(uint32_t error);

}  // namespace revurov::platform
