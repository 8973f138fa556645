// Whole-file reads, atomic replacement and moves, through one seam that
// tests can replace to make a step fail.
//
// Contract:
// - Paths are UTF-8 at this edge.
// - `ReplaceFileAtomically` writes a temporary file in the target's folder,
//   fdatasyncs it, renames it over the target and fsyncs the folder: after a
//   crash the target holds either its old or its new content, never a part.
//   On any failure the temporary file is removed, the target is untouched and
//   EFCreateError is raised.
// - `MoveFileNoReplace` never overwrites an existing target; it returns false
//   on any failure (the caller decides whether that matters).
// - The seam (`TFileOps`) is process-wide; `ScopedFileOps` installs a test
//   implementation for the life of the guard. Not for use while other threads
//   do file I/O.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/rtl_exception.h"

namespace revurov::platform {


// The POSIX calls that file writes go through. Each returns what its POSIX
// namesake returns and leaves errno set on failure.
class TFileOps {
public:
  virtual ~TFileOps() = default;
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Write(int fd, const void* data, size_t size);
  virtual int Fdatasync(int fd);
  virtual int Fsync(int fd);
  virtual int Close(int fd);
  // noreplace: fail with EEXIST instead of replacing an existing target.
  virtual int Rename(const char* from, const char* to, bool noreplace);
  virtual int Unlink(const char* path);
};

TFileOps& FileOps() noexcept;

class ScopedFileOps {
public:
  explicit ScopedFileOps(TFileOps& ops) noexcept;
  ~ScopedFileOps();
  ScopedFileOps(const ScopedFileOps&) = delete;
  ScopedFileOps& operator=(const ScopedFileOps&) = delete;

private:
  TFileOps* previous_;
};

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// The file's bytes, or nullopt when it does not exist. Other failures raise
// EFOpenError.
std::optional<std::string> ReadFileBytes(const std::string& path);

void ReplaceFileAtomically(const std::string& path, std::string_view bytes);

bool MoveFileNoReplace(const std::string& from, const std::string& to);

}  // namespace revurov::platform
