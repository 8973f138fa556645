#include "app/security_file.h"

#include "app/password.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/paths.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace tesmira {

using namespace revurov::platform;

const std::array<TRightInfo, kRightsCount> kRights = {{
    {u"Tabelle \u00F6ffnen", u"Tabelle \u00F6ffnen", "cbOpenTableGrp", "cbOpenTableTbl"},
    {u"Datensatz anlegen", u"Datensatz anlegen", "cbInsertDatasetGrp", "cbInsertDatasetTbl"},
    {u"Datensatz bearbeiten", u"Datensatz bearbeiten", "cbEditDatasetGrp", "cbEditDatasetTbl"},
    {u"Datensatz l\u00F6schen", u"Datensatz l\u00F6schen", "cbEraseDatasetGrp", "cbEraseDatasetTbl"},
    {u"CAD Programm starten", u"CAD Programm starten", "cbCADExecGrp", "cbCADExecTbl"},
    {u"CAD-Zeichnung l\u00F6schen", u"CAD-Zeichnung l\u00F6schen", "cbCADEraseGrp", "cbCADEraseTbl"},
    {u"NC Programm starten", u"NC Programm starten", "cbNCExecGrp", "cbNCExecTbl"},
    {u"NC Programm l\u00F6schen", u"NC Programm l\u00F6schen", "cbNCEraseGrp", "cbNCEraseTbl"},
    {u"Externe Prg. starten", u"Externe Prog. starten", "cbExtExecGrp", "cbExtExecTbl"},
    {u"Externe Doku. l\u00F6schen", u"Externe Doku. l\u00F6schen", "cbExtEraseGrp", "cbExtEraseTbl"},
    {u"Externe Prg. aus Maske starten", u"Externe Prg. aus Maske starten", "cbStartExtPrgfromMaskGrp",
     "cbStartExtPrgfromMaskTbl"},
    {u"E-Mail senden", u"E-Mail senden", "cbSendEMailGrp", "cbSendEMailTbl"},
    {u"Inventor Baugruppe exportieren", u"Inventor Baugruppe exportieren", "cbInvASMExportGrp",
     "cbInvASMExportTbl"},
    {u"Index fortschreiben", u"Index fortschreiben", "cbIncRevisionGrp", "cbIncRevisionTbl"},
    {u"Report Designer starten", u"Report Designer starten", "cbStartReportGrp", "cbStartReportTbl"},
    {u"Report drucken", u"Report drucken", "cbPrintReportGrp", "cbPrintReportTbl"},
}};

namespace {

std::u16string RightsToString(const TRightsBoxes& boxes) {
  std::u16string out;
  for (bool b : boxes) out.push_back(b ? u'1' : u'0');
  return out;
}

}  // namespace

std::u16string GroupRightsToString(const TRightsBoxes& boxes) { return RightsToString(boxes); }
std::u16string TableRightsToString(const TRightsBoxes& boxes) { return RightsToString(boxes); }

void ApplyRights(std::u16string_view value, TRightsBoxes& boxes) {
  // Padding to sixteen equals the six "1" added to a ten-flag value, and
  // keeps a shorter value from being read past its end.
  std::u16string v(value);
  if (v.size() < kRightsCount) v.append(kRightsCount - v.size(), u'1');
  for (size_t i = 0; i < kRightsCount; ++i) {
    const char16_t c = v[i];
    if (c < u'0' || c > u'9') throw EConvertError(Format(SInvalidInteger, {std::u16string(1, c)}));
    boxes[i] = c != u'0';
  }
}

void SplitGroupList(std::u16string_view text, std::vector<std::u16string>& list) {
  const std::u16string upper = AnsiUpperCase(text);
  size_t start = 0;
  for (size_t semi = upper.find(u';'); semi != std::u16string::npos; semi = upper.find(u';', start)) {
    list.push_back(upper.substr(start, semi - start));
    start = semi + 1;
  }
}

std::vector<std::u16string> SplitGroupList(std::u16string_view text) {
  std::vector<std::u16string> list;
  SplitGroupList(text, list);
  return list;
}

std::u16string JoinGroupList(const std::vector<std::u16string>& groups) {
  std::u16string out;
  for (const auto& g : groups) out += g + u";";
  return out;
}

bool IsReservedName(std::u16string_view name) { return FoldSameText(name, kConfigSection); }

void CheckEntryName(std::u16string_view name) {
  // A user or group of this name would overwrite or erase the administrator.
  if (IsReservedName(name)) throw Exception(Format(SReservedName, {std::u16string(name)}));
}

std::unique_ptr<TMemIniFile> OpenSecurityFile(const std::u16string& file_name, bool repair) {
  try {
    return std::make_unique<TMemIniFile>(file_name, TTextEncoding::Utf8);
  } catch (const EEncodingError&) {
    if (!repair) throw;
  }
  TStringList lines;
  lines.LoadFromFile(ToOsPath(file_name));
  lines.SaveToFile(ToOsPath(file_name), TTextEncoding::Utf8, true);
  return std::make_unique<TMemIniFile>(file_name, TTextEncoding::Utf8);
}

namespace {

// Users and groups are sections alike.
void EraseEntry(const std::u16string& file_name, std::u16string_view name) {
  CheckEntryName(name);
  const auto ini = OpenSecurityFile(file_name, false);
  ini->EraseSection(name);
  ini->UpdateFile();
}

}  // namespace

TSecurityData::TSecurityData(std::u16string db_folder) : file_name_(std::move(db_folder) + kSecurityFileName) {}

bool TSecurityData::Exists() const { return FileExists(std::u16string_view(file_name_)); }

TAdminEntry TSecurityData::ReadAdmin() const {
  TAdminEntry e;
  if (!Exists()) return e;
  const auto ini = OpenSecurityFile(file_name_, true);
  e.Admin = ini->ReadString(kConfigSection, u"Admin", u"");
  e.Password = LoadScrambled(*ini, kConfigSection);
  if (!e.Password.empty()) UnscramblePassword(e.Password, static_cast<int>(e.Password.size()) - 1);
  return e;
}

void TSecurityData::SaveAdmin(std::u16string_view admin, std::u16string_view password) {
  const auto ini = OpenSecurityFile(file_name_, true);
  ini->WriteString(kConfigSection, u"Admin", admin);
  std::u16string pw(password);
  ScramblePassword(pw, static_cast<int>(pw.size()) - 1);
  StoreScrambled(*ini, kConfigSection, pw);
  ini->UpdateFile();
}

TUserEntry TSecurityData::ReadUser(std::u16string_view user) const {
  const auto ini = OpenSecurityFile(file_name_, false);
  TUserEntry e;
  e.Password = ini->ReadString(user, u"PW", u"");
  e.Setup = ini->ReadBool(user, u"Setup", true);
  SplitGroupList(ini->ReadString(user, u"Gruppe", u""), e.Groups);
  return e;
}

void TSecurityData::WriteUser(std::u16string_view user, const TUserEntry& entry) {
  CheckEntryName(user);
  const auto ini = OpenSecurityFile(file_name_, false);
  ini->WriteString(user, u"PW", entry.Password);
  ini->WriteBool(user, u"Setup", entry.Setup);
  ini->WriteString(user, u"Gruppe", JoinGroupList(entry.Groups));
  ini->UpdateFile();
}

void TSecurityData::EraseUser(std::u16string_view user) { EraseEntry(file_name_, user); }

void TSecurityData::LoadTableRights(std::u16string_view group, std::u16string_view table,
                                    TRightsBoxes& boxes) const {
  const auto ini = OpenSecurityFile(file_name_, false);
  ApplyRights(ini->ReadString(group, table, kAllRightsDefault), boxes);
}

void TSecurityData::WriteTableRights(std::u16string_view group, const std::vector<std::u16string>& tables,
                                     std::u16string_view rights) {
  CheckEntryName(group);
  if (tables.empty()) return;
  const auto ini = OpenSecurityFile(file_name_, false);
  try {
    for (const auto& t : tables) ini->WriteString(group, t, rights);
  } catch (...) {
    ini->UpdateFile();
    throw;
  }
  ini->UpdateFile();
}

void TSecurityData::DeleteTableRights(std::u16string_view group, std::u16string_view table) {
  CheckEntryName(group);
  const auto ini = OpenSecurityFile(file_name_, false);
  ini->DeleteKey(group, table);
  ini->UpdateFile();
}

void TSecurityData::EraseGroup(std::u16string_view group) { EraseEntry(file_name_, group); }

}  // namespace tesmira
