// The tool's read-only settings file and the small helpers of start-up.
//
// API contract (the window binds to this):
// - `ReadEnvironmentVariable(name)`: the value, or "" when unset or empty.
//   "APPDATA" falls back to $XDG_CONFIG_HOME, then $HOME/.config.
// - `AddTrailingBackslash(path)`: appends the native separator "/" unless
//   the path is empty or already ends with one.
// - `SettingsHomeDir()`: APPDATA + "/Tesmira/" ("" when APPDATA is
//   unavailable); `SettingsFileName()`: that + "Tesmira.ini".
// - `ReadSettings(file)`: nullopt when the file does not exist (the window
//   then keeps its layout values); otherwise the seven keys of section
//   "Configuration" with their defaults. Integers and booleans follow the INI
//   rules (platform/ini_file.h): "abc" or "True" yield the default.
//   `ServerProtocol` is the raw number; the window clamps it to -1..2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tesmira {

inline constexpr char16_t kSettingsSection[] = u"Configuration";

struct TSettings {
  std::u16string DatenbankPfad;
  int32_t ServerProtocol = 0;
  bool DBConnect = true;
  std::u16string DBServer;
  std::u16string DBSAlias;
  std::u16string Userlogin;
  std::u16string Userpasswort;
};

std::u16string ReadEnvironmentVariable(std::u16string_view name);
std::u16string AddTrailingBackslash(std::u16string_view path);
std::u16string SettingsHomeDir();
std::u16string SettingsFileName();
std::optional<TSettings> ReadSettings(const std::u16string& file_name);

}  // namespace tesmira
