// OS handles and mapped views, the POSIX way.
//
// Contract: a THandle is a file descriptor (an eventfd for events); 0 and -1
// are "no handle" to the library's handle routines. Each call returns false
// on failure with the OS error left in GetLastOSError. Views are mapped and
// unmapped by address alone, as callers expect: MapView records each view's
// length so that UnmapView can hand munmap what it needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace revurov::platform {

using THandle = intptr_t;
inline constexpr THandle INVALID_HANDLE_VALUE = -1;

bool CloseHandle(THandle handle) noexcept;
// Signals an event handle (adds 1 to its eventfd counter).
bool SignalEventHandle(THandle handle) noexcept;

// Maps length bytes of fd from offset; nil on failure.
void* MapView(THandle fd, uint64_t offset, size_t length, bool writable) noexcept;
// Unmaps a view made by MapView; false (EINVAL) for any other address.
bool UnmapView(void* view) noexcept;

}  // namespace revurov::platform
