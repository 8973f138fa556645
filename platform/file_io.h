// Whole-file reads, existence checks, atomic replacement and moves, on a
// file seam (platform/file_ops.h): the process-wide one unless the caller
// hands its own.
//
// Contract:
// - Paths are UTF-8 at this edge.
// - `FileExists` is true for anything but a folder (devices and pipes too),
//   `DirectoryExists` for a folder; what the seam cannot look at is absent.
// - `ReadFileBytes` gives the file's bytes, or nullopt when it does not
//   exist; any other failure raises EFOpenError with the OS's reason.
// - `ReplaceFileAtomically` writes a temporary file in the target's folder
//   (with the permissions of the file it replaces), DataSyncs it, renames it
//   over the target and syncs the folder: after a crash the target holds
//   either its old or its new content, never a part. On any failure before
//   the rename the temporary file is removed, the target is untouched and
//   EFCreateError is raised with the OS's reason; a failing folder sync
//   after the rename raises EFCreateError too, with the new content in place.
// - `MoveFileNoReplace` never overwrites an existing target; it returns false
//   on any failure (the caller decides whether that matters).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/file_ops.h"

namespace revurov::platform {

bool FileExists(const std::string& path, TFileOps& ops = FileOps());
bool DirectoryExists(const std::string& path, TFileOps& ops = FileOps());

std::optional<std::string> ReadFileBytes(const std::string& path, TFileOps& ops = FileOps());

void ReplaceFileAtomically(const std::string& path, std::string_view bytes, TFileOps& ops = FileOps());

bool MoveFileNoReplace(const std::string& from, const std::string& to, TFileOps& ops = FileOps());

}  // namespace revurov::platform
