#include "platform/paths.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/text.h"

namespace revurov::platform {

std::string ToOsPath(std::u16string_view path) { return Utf16ToUtf8(path); }

std::u16string IncludeTrailingPathDelimiter(std::u16string_view path) {
  std::u16string out(path);
  if (!out.empty() && out.back() != PathDelim) out.push_back(PathDelim);
  return out;
}

std::u16string TempDirectory() {
  std::optional<std::u16string> dir = GetEnvironmentVariable(u"TMPDIR");
  return IncludeTrailingPathDelimiter(dir && !dir->empty() ? *dir : std::u16string(u"/tmp"));
}

std::u16string ExcludeTrailingPathDelimiter(std::u16string_view path) {
  std::u16string out(path);
  // The root folder keeps its separator.
  if (out.size() > 1 && out.back() == PathDelim) out.pop_back();
  return out;
}

std::u16string ExtractFilePath(std::u16string_view path) {
  const size_t slash = path.rfind(PathDelim);
  return slash == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, slash + 1));
}

std::u16string ExtractFileName(std::u16string_view path) {
  const size_t slash = path.rfind(PathDelim);
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string ExpandFileName(std::u16string_view path) {
  std::u16string absolute(path);
  if (absolute.empty() || absolute.front() != PathDelim) {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr && errno == ERANGE && cwd.size() < (1u << 20))
      cwd.resize(cwd.size() * 2);
    absolute = IncludeTrailingPathDelimiter(Utf8ToUtf16(cwd.data())) + absolute;
  }
  std::vector<std::u16string_view> parts;
  const std::u16string_view view(absolute);
  for (size_t at = 0; at <= view.size();) {
    size_t end = view.find(PathDelim, at);
    if (end == std::u16string_view::npos) end = view.size();
    const std::u16string_view part = view.substr(at, end - at);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::u16string out;
  for (const std::u16string_view part : parts) (out += PathDelim) += part;
  return out.empty() ? std::u16string(1, PathDelim) : out;
}

std::u16string RealFolderPath(std::u16string_view folder) {
  const std::string os = folder.empty() ? std::string(".") : ToOsPath(folder);
  if (const std::unique_ptr<char, decltype(&::free)> real(::realpath(os.c_str(), nullptr), &::free); real)
    return Utf8ToUtf16(real.get());
  return ExpandFileName(folder);
}

bool FileExists(std::u16string_view path, TFileOps& ops) { return FileExists(ToOsPath(path), ops); }

bool DirectoryExists(std::u16string_view path, TFileOps& ops) { return DirectoryExists(ToOsPath(path), ops); }

bool ForceDirectories(std::u16string_view path, TFileOps& ops) {
  std::string os = ToOsPath(ExcludeTrailingPathDelimiter(path));
  if (os.empty()) return false;
  if (DirectoryExists(os, ops)) return true;
  const size_t slash = os.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(Utf8ToUtf16(os.substr(0, slash)), ops))
    return false;
  // Another thread may have made it meanwhile.
  const int error = ops.MakeDirectory(os, DefaultDirectoryPermissions);
  return (error == 0 || error == EEXIST) && DirectoryExists(os, ops);
}

}  // namespace revurov::platform
