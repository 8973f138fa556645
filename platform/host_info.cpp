#include "platform/host_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "platform/text.h"

namespace revurov::platform {

namespace {
constexpr double kUnixDateDelta = 25569;  // days from 1899-12-30 to 1970-01-01
}

bool GetFileSizeAndTime(const std::string& aPath, int64_t& aSize, TDateTime& aModified) noexcept {
  struct stat st {};
  if (aPath.empty() || ::stat(aPath.c_str(), &st) != 0) return false;
  std::tm local{};
  const std::time_t secs = st.st_mtim.tv_sec;
  if (!localtime_r(&secs, &local)) return false;
  aSize = static_cast<int64_t>(st.st_size);
  aModified = static_cast<double>(secs + local.tm_gmtoff) / 86400.0 + kUnixDateDelta;
  return true;
}

bool GetComputerName(std::u16string& aName) noexcept {
  try {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return false;
    aName = Utf8ToUtf16(buf);
    return true;
  } catch (...) {
    return false;
  }
}

bool GetUserName(std::u16string& aName) noexcept {
  try {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_name)
      return false;
    aName = Utf8ToUtf16(found->pw_name);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace revurov::platform
