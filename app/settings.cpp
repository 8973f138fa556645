#include "app/settings.h"

#include "platform/environment.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace tesmira {

using namespace revurov::platform;

std::u16string ReadEnvironmentVariable(std::u16string_view name) {
  return GetEnvironmentVariable(name).value_or(u"");
}

std::u16string AddTrailingBackslash(std::u16string_view path) { return IncludeTrailingPathDelimiter(path); }

std::u16string SettingsHomeDir() {
  const std::u16string appdata = ReadEnvironmentVariable(u"APPDATA");
  if (appdata.empty()) return {};
  return AddTrailingBackslash(appdata) + u"Tesmira/";
}

std::u16string SettingsFileName() {
  const std::u16string home = SettingsHomeDir();
  return home.empty() ? home : home + u"Tesmira.ini";
}

std::optional<TSettings> ReadSettings(const std::u16string& file_name) {
  if (file_name.empty() || !FileExists(std::u16string_view(file_name))) return std::nullopt;
  const TMemIniFile ini(file_name);
  TSettings s;
  s.DatenbankPfad = ini.ReadString(kSettingsSection, u"DatenbankPfad", u"");
  s.ServerProtocol = ini.ReadInteger(kSettingsSection, u"Server_Protocol", 0);
  s.DBConnect = ini.ReadBool(kSettingsSection, u"DBConnect", true);
  s.DBServer = ini.ReadString(kSettingsSection, u"DBServer", u"");
  s.DBSAlias = ini.ReadString(kSettingsSection, u"DBSAlias", u"");
  s.Userlogin = ini.ReadString(kSettingsSection, u"Userlogin", u"");
  s.Userpasswort = ini.ReadString(kSettingsSection, u"Userpasswort", u"");
  return s;
}

}  // namespace tesmira
