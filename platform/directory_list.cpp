#include "platform/directory_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

namespace revurov::platform {

namespace {

bool IsFolder(DIR* aDir, const dirent& aEntry) {
  if (aEntry.d_type == DT_DIR) return true;
  if (aEntry.d_type != DT_UNKNOWN && aEntry.d_type != DT_LNK) return false;
  struct stat info;
  // A dangling link is no folder.
  if (fstatat(dirfd(aDir), aEntry.d_name, &info, 0) != 0) return false;
  return S_ISDIR(info.st_mode);
}

}  // namespace

int ListFolderFiles(const std::string& aFolder, std::vector<std::string>& aNames) {
  DIR* dir = opendir(aFolder.empty() ? "." : aFolder.c_str());
  if (!dir) return errno;
  int result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) {
      result = errno;
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    if (IsFolder(dir, *entry)) continue;
    aNames.emplace_back(name);
  }
  closedir(dir);
  return result;
}

}  // namespace revurov::platform
