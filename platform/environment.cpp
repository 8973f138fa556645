#include "platform/environment.h"

#include <cstdlib>

#include "platform/text.h"

namespace revurov::platform {

namespace {

std::optional<std::string> Raw(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> NonEmpty(const std::string& name) {
  std::optional<std::string> v = Raw(name);
  if (v && v->empty()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) {
  const std::string n = Utf16ToUtf8(name);
  if (n.empty() || n.find('=') != std::string::npos) return std::nullopt;
  if (n == "APPDATA") {
    if (auto v = NonEmpty("APPDATA")) return Utf8ToUtf16(*v);
    if (auto v = NonEmpty("XDG_CONFIG_HOME")) return Utf8ToUtf16(*v);
    if (auto home = NonEmpty("HOME")) return Utf8ToUtf16(*home + "/.config");
    return std::nullopt;
  }
  if (auto v = Raw(n)) return Utf8ToUtf16(*v);
  return std::nullopt;
}

}  // namespace revurov::platform
