#include "platform/paths.h"

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

bool FileExists(std::u16string_view path, TFileOps& ops) { return FileExists(ToOsPath(path), ops); }

bool DirectoryExists(std::u16string_view path, TFileOps& ops) { return DirectoryExists(ToOsPath(path), ops); }

}  // namespace revurov::platform
