// Address-space reservation and page commit for memory that grows in place.
//
// Contract: Reserve gives an inaccessible range (nullptr when refused);
// ReserveAt only succeeds at exactly the address asked for and never
// replaces an existing mapping; Commit makes a page-aligned part of a
// reservation readable and writable (fresh pages read as zero) and answers
// false with errno set when refused; Release unmaps a range. Sizes are
// multiples of the page size.
#pragma once

#include <cstddef>

namespace revurov::platform {

constexpr std::size_t kPageSize = 4096;

void* ReserveAddressSpace(std::size_t size) noexcept;
void* ReserveAddressSpaceAt(void* address, std::size_t size) noexcept;
bool CommitPages(void* address, std::size_t size) noexcept;
void ReleaseAddressSpace(void* address, std::size_t size) noexcept;

}  // namespace revurov::platform
