// Environment variables.
//
// Contract:
// - `GetEnvironmentVariable` returns the value, or nullopt when the
//   variable is unset. Names compare exactly (POSIX), values are taken as
//   UTF-8.
// - "APPDATA" (the Windows name of the per-user settings folder): the
//   variable when set and not empty; otherwise $XDG_CONFIG_HOME when set
//   and not empty; otherwise $HOME/.config; nullopt when none of them is
//   available.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace revurov::platform {

std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name);

}  // namespace revurov::platform
