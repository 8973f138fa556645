// Path helpers. "/" is the separator; where the system's texts say "a
// trailing backslash" they mean this native separator.
//
// Contract:
// - Library paths are UTF-16; `ToOsPath` gives the UTF-8 form for POSIX calls.
// - `IncludeTrailingPathDelimiter` appends "/" unless the path already ends
//   with one; an empty path stays empty.
// - `ExtractFilePath` keeps the trailing separator; `ExtractFileName` is the
//   part after the last separator.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_ops.h"

namespace revurov::platform {

inline constexpr char16_t PathDelim = u'/';

std::string ToOsPath(std::u16string_view path);
std::u16string IncludeTrailingPathDelimiter(std::u16string_view path);
std::u16string ExcludeTrailingPathDelimiter(std::u16string_view path);
std::u16string ExtractFilePath(std::u16string_view path);
std::u16string ExtractFileName(std::u16string_view path);
// The folder's real path, without a trailing "/" (except the root): with
// symbolic links resolved when it exists, otherwise made absolute against
// the current folder with "." and ".." taken out; "" means the current
// folder.
std::u16string RealFolderPath(std::u16string_view folder);
// The path made absolute against the current folder, with "." and ".."
// and doubled separators taken out, by its text alone (links are not
// followed); no trailing "/" except for the root.
std::u16string ExpandFileName(std::u16string_view path);
// The folder for temporary files: $TMPDIR when set and not empty, else
// "/tmp"; with a trailing "/".
std::u16string TempDirectory();
// As the UTF-8 forms in platform/file_io.h.
bool FileExists(std::u16string_view path, TFileOps& ops = FileOps());
bool DirectoryExists(std::u16string_view path, TFileOps& ops = FileOps());
// Makes the folder and every missing parent, one MakeDirectory each; true
// when the folder exists afterwards. An empty path is refused.
bool ForceDirectories(std::u16string_view path, TFileOps& ops = FileOps());

}  // namespace revurov::platform
