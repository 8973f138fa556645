#include "platform/cmdline.h"

#include <mutex>

#include "platform/file_io.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {
std::once_flag gOnce;
std::vector<std::u16string> gParams;

void ReadProcCmdline() {
  std::string all;
  // Unreadable (no /proc mounted): no parameters, as a program started
  // without any would see.
  try {
    all = ReadFileBytes("/proc/self/cmdline").value_or(std::string());
  } catch (const EFOpenError&) {
  }
  std::vector<std::u16string> params;
  size_t start = 0;
  bool first = true;
  for (size_t i = 0; i <= all.size(); ++i) {
    if (i == all.size() || all[i] == '\0') {
      if (i == all.size() && start == i) break;
      if (!first) params.push_back(Utf8ToUtf16(std::string_view(all).substr(start, i - start)));
      first = false;
      start = i + 1;
    }
  }
  gParams = std::move(params);
}
}  // namespace

const std::vector<std::u16string>& CommandLineParams() {
  std::call_once(gOnce, ReadProcCmdline);
  return gParams;
}

void SetCommandLineParams(std::vector<std::u16string> params) {
  std::call_once(gOnce, [] {});
  gParams = std::move(params);
}

}  // namespace revurov::platform
