#include "platform/module.h"

#include <dlfcn.h>
#include <fenv.h>
#include <limits.h>
#include <unistd.h>

namespace revurov::platform {

static_assert(kMaxPath == PATH_MAX);

std::string ProgramPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void* LoadModule(const std::string& path) {
  if (path.empty()) return nullptr;
  fenv_t env;
  fegetenv(&env);
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  fesetenv(&env);
  return h;
}

void* FindLoadedModule(const std::string& fileName) {
  if (fileName.empty()) return nullptr;
  return dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

void* ModuleSymbol(void* module, const char* name) {
  if (!module || !name) return nullptr;
  return dlsym(module, name);
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) && info.dli_fname) return info.dli_fname;
  return {};
}

}  // namespace revurov::platform
