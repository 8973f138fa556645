// Identity of an open file: its device, inode and birth time (statx); and
// the largest file the file system under a path holds.
//
// Contract: GetFileIdentity fails (false, OS error set) only when statx on
// the descriptor fails. A file system that keeps no birth time gives 0.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace revurov::platform {

struct TFileIdentity {
  uint64_t device = 0;      // makedev(major, minor) of the file system
  uint64_t inode = 0;
  bool hasBirthTime = false;
  int64_t birthSeconds = 0;  // since 1970-01-01 UTC
  uint32_t birthNanoseconds = 0;
};

bool GetFileIdentity(THandle fd, TFileIdentity& identity) noexcept;

// From the file system's FILESIZEBITS (a signed size); 0 when the path or the
// file system cannot tell.
int64_t MaxFileSizeForPath(const std::string& path) noexcept;

}  // namespace revurov::platform
