#include "platform/paths.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/file_io.h"
#include "platform/text.h"

namespace revurov::platform {

std::string ToOsPath(std::u16string_view path) { return Utf16ToUtf8(path); }

std::u16string IncludeTrailingPathDelimiter(std::u16string_view path) {
  std::u16string out(path);
  if (!out.empty() && out.back() != PathDelim) out.push_back(PathDelim);
  return out;
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

std::u16string RealFolderPath(std::u16string_view folder) {
  const std::string os = folder.empty() ? std::string(".") : ToOsPath(folder);
  if (const std::unique_ptr<char, decltype(&::free)> real(::realpath(os.c_str(), nullptr), &::free); real)
    return Utf8ToUtf16(real.get());
  std::u16string absolute(folder);
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

bool FileExists(std::u16string_view path, TFileOps& ops) { return FileExists(ToOsPath(path), ops); }

bool DirectoryExists(std::u16string_view path, TFileOps& ops) { return DirectoryExists(ToOsPath(path), ops); }

}  // namespace revurov::platform
