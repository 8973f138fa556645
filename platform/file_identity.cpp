#include "platform/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace revurov::platform {

bool GetFileIdentity(THandle fd, TFileIdentity& identity) noexcept {
  if (fd < 0 || fd > INT32_MAX) {
    errno = EBADF;
    return false;
  }
  struct statx st {};
  if (::statx(static_cast<int>(fd), "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &st) != 0) return false;
  identity = {};
  identity.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  identity.inode = st.stx_ino;
  if (st.stx_mask & STATX_BTIME) {
    identity.hasBirthTime = true;
    identity.birthSeconds = st.stx_btime.tv_sec;
    identity.birthNanoseconds = st.stx_btime.tv_nsec;
  }
  return true;
}

int64_t MaxFileSizeForPath(const std::string& path) noexcept {
  const long bits = ::pathconf(path.c_str(), _PC_FILESIZEBITS);
  if (bits <= 1) return 0;
  if (bits >= 64) return INT64_MAX;
  return (int64_t{1} << (bits - 1)) - 1;
}

}  // namespace revurov::platform
