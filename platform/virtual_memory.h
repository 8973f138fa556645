// Virtual memory: reserve, commit, decommit and release.
//
// Contract: each call returns false (or nullptr) on failure with the OS
// error (or ENOMEM for an injected failure) in GetLastOSError, and leaves the
// range as it was. A reserved range is inaccessible and costs no memory;
// committed pages read and write as zero until written. Sizes and addresses
// are multiples of vmPageSize. The caller owns what it reserved and gives
// it back with vmRelease; no call here ever replaces a mapping that the
// caller does not own.
//
// Failure injection: tests arm vmFailNext so that a chosen later call fails
// as the OS would, which reaches exhaustion and clean-up paths that Linux,
// overcommitting, never shows on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace revurov::platform {

constexpr std::size_t vmPageSize = 4096;
// The large page size where the OS offers one; a reservation meant for
// large pages is aligned to it.
constexpr std::size_t vmLargePageSize = std::size_t(2) << 20;
// From this size on a buffer that is filled whole is worth large pages:
// the first touch of each small page is a fault of its own, costly above
// all in a virtual machine.
constexpr std::size_t vmLargePagesFrom = std::size_t(4) << 20;

// Reserves size bytes anywhere, aligned to alignment (a power of two, at
// least the page size).
void* vmReserve(std::size_t size, std::size_t alignment);
// Reserves size bytes at exactly p, or nothing (nullptr) when any of them is
// mapped already; lets a reservation grow in place. Counts as Reserve.
void* vmReserveAt(void* p, std::size_t size);
// Puts a sub-range of a reservation the caller owns back to the reserved,
// untouched state: its pages are dropped and it becomes inaccessible.
bool vmReserveFixed(void* p, std::size_t size);
bool vmCommit(void* p, std::size_t size);    // reserved -> read/write
bool vmCommitReadOnly(void* p, std::size_t size);  // reserved -> read-only zeros
bool vmDecommit(void* p, std::size_t size);  // read/write -> reserved, pages dropped
bool vmReset(void* p, std::size_t size);     // stays read/write, contents may be lost
bool vmRelease(void* p, std::size_t size);   // gives a whole reservation back
bool vmLock(void* p, std::size_t size);      // keeps pages resident
// A hint that the committed pages of a reservation the caller owns may be
// backed by large pages; only whole aligned large pages inside committed
// ranges are, so no memory beyond what is committed is taken. False when
// the OS does not take the hint, which changes nothing else.
bool vmAdviseLargePages(void* p, std::size_t size);

enum class TVmOp : uint8_t { Any, Reserve, ReserveFixed, Commit, Decommit, Reset, Release, Lock, CommitReadOnly };

// The k-th next call of op (k = 1: the next one) and the count - 1 calls of
// op after it fail. vmFailNext(op, 0, 0) disarms. Thread-safe.
void vmFailNext(TVmOp op, int64_t k, int64_t count = 1);
// Calls of op made so far (for tests that count system calls).
int64_t vmCallCount(TVmOp op);

}  // namespace revurov::platform
