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
#include <cstdint>

namespace revurov::platform {

constexpr std::size_t kPageSize = 4096;

void* ReserveAddressSpace(std::size_t size) noexcept;
void* ReserveAddressSpaceAt(void* address, std::size_t size) noexcept;
bool CommitPages(void* address, std::size_t size) noexcept;
void ReleaseAddressSpace(void* address, std::size_t size) noexcept;

// The library heap's layer: reserve, commit, decommit and release, each
// returning false (or nullptr) on failure and leaving the range as it was.
// A reserved range is inaccessible and costs no memory; committed pages read
// and write as zero until written. Sizes and addresses are multiples of
// vmPageSize.
//
// Failure injection: tests arm vmFailNext so that a chosen later call fails
// as the OS would, which reaches exhaustion and clean-up paths that Linux,
// overcommitting, never shows on its own.
constexpr std::size_t vmPageSize = kPageSize;

// Reserves size bytes anywhere, aligned to alignment (a power of two, at
// least the page size).
void* vmReserve(std::size_t size, std::size_t alignment);
// Puts a sub-range of a reservation the caller owns back to the reserved,
// untouched state: its pages are dropped and it becomes inaccessible.
bool vmReserveFixed(void* p, std::size_t size);
bool vmCommit(void* p, std::size_t size);    // reserved -> read/write
bool vmDecommit(void* p, std::size_t size);  // read/write -> reserved, pages dropped
bool vmReset(void* p, std::size_t size);     // stays read/write, contents may be lost
bool vmRelease(void* p, std::size_t size);   // gives a whole reservation back
bool vmLock(void* p, std::size_t size);      // keeps pages resident

enum class TVmOp : uint8_t { Any, Reserve, ReserveFixed, Commit, Decommit, Reset, Release, Lock };

// The k-th next call of op (k = 1: the next one) and the count - 1 calls of
// op after it fail. vmFailNext(op, 0, 0) disarms. Thread-safe.
void vmFailNext(TVmOp op, int64_t k, int64_t count = 1);
// Calls of op made so far (for tests that count system calls).
int64_t vmCallCount(TVmOp op);

}  // namespace revurov::platform
