// Whole-file reads, existence checks, atomic replacement and moves, on a
// file seam (platform/file_ops.h): the process-wide one unless the caller
// hands its own.
//
// Contract:
// - Paths are UTF-8 at this edge.
// - `FileExists` is true for anything but a folder (devices and pipes too),
//   `DirectoryExists` for a folder; what the seam cannot look at is absent.
// - `ReadFileBytes` gives the file's bytes, or nullopt when it does not
//   exist; any other failure raises EFOpenError with the OS's reason. Only
//   regular files are read: the open never waits, and a FIFO, device or
//   socket is refused with SNotRegularFile as the reason.
// - `ReplaceFileAtomically` writes a temporary file in the target's folder,
//   DataSyncs it, renames it over the target and syncs the folder: after a
//   crash the target holds either its old or its new content, never a part.
//   The temporary has no name until its content is durable (where the file
//   system allows), so a crash leaves no copy behind; it is created 0600 and
//   gets the permissions of the file it replaces, or new_permissions
//   (narrowed by the umask) when there is none. A symbolic link at path is
//   followed: its final target is replaced in its own folder and the link
//   stays. On any failure before the rename the temporary file is removed,
//   the target is untouched and EFCreateError is raised with the OS's
//   reason; a failing folder sync after the rename raises EFCreateError too,
//   with the new content in place.
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

inline constexpr char16_t SNotRegularFile[] = u"Die Datei ist keine regul\u00E4re Datei.";

void ReplaceFileAtomically(const std::string& path, std::string_view bytes, TFileOps& ops = FileOps(),
                           uint32_t new_permissions = DefaultFilePermissions);

bool MoveFileNoReplace(const std::string& from, const std::string& to, TFileOps& ops = FileOps());

}  // namespace revurov::platform
