// Random bytes from the operating system's cryptographic generator.
//
// Contract: FillRandom fills the whole buffer or returns false with the OS
// error left in GetLastOSError; it never falls back to a weaker source. It
// may block only until the system generator has been seeded once after boot.
#pragma once

#include <cstddef>

namespace revurov::platform {

bool FillRandom(void* aData, std::size_t aLen) noexcept;

}  // namespace revurov::platform
