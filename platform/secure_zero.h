// Clearing memory that held secrets (keys, key schedules, plain text).
//
// Contract: SecureZero sets size bytes at p to zero, and the compiler never
// drops the stores, not even when the memory is freed or goes out of scope
// right after. A size of 0 touches nothing.
#pragma once

#include <cstddef>

namespace revurov::platform {

void SecureZero(void* p, std::size_t size) noexcept;

}  // namespace revurov::platform
