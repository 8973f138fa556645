#include "app/security_file.h"

#include "app/password.h"
#include "platform/code_page.h"
#include "platform/file_io.h"
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

void CheckLineFree(std::u16string_view name) {
  if (name.find_first_of(u"\r\n") != std::u16string_view::npos) throw Exception(SLineBreakInName);
}

void CheckEntryName(std::u16string_view name) {
  // A user or group of this name would overwrite or erase the administrator.
  if (IsReservedName(name)) throw Exception(Format(SReservedName, {std::u16string(name)}));
  CheckLineFree(name);
}

namespace {

constexpr std::string_view kBomUtf8 = "\xEF\xBB\xBF";

// Length of the well-formed UTF-8 sequence at bytes[i], or 0.
size_t Utf8SequenceAt(std::string_view bytes, size_t i) {
  const auto c0 = static_cast<uint8_t>(bytes[i]);
  if (c0 < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    length = 2;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    length = 3;
    if (c0 == 0xE0) low = 0xA0;   // no overlong form
    if (c0 == 0xED) high = 0x9F;  // no surrogate
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    length = 4;
    if (c0 == 0xF0) low = 0x90;
    if (c0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  const auto c1 = static_cast<uint8_t>(bytes[i + 1]);
  if (c1 < low || c1 > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((static_cast<uint8_t>(bytes[i + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Keeps the first copy of each section and of each key in it; later copies
// add only what the first lacks.
void MergeDuplicates(TMemIniFile& ini) {
  TStringList lines;
  ini.GetStrings(lines);
  struct Section {
    std::u16string header;
    std::vector<std::u16string> lines;
  };
  std::vector<Section> sections;
  Section* current = nullptr;
  bool merged = false;
  auto key_of = [](std::u16string_view line) {
    const size_t eq = line.find(u'=');
    return eq == std::u16string_view::npos ? line : line.substr(0, eq);
  };
  for (int i = 0; i < lines.Count(); ++i) {
    const std::u16string& line = lines[i];
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == u'[' && line.back() == u']') {
      const std::u16string_view name = std::u16string_view(line).substr(1, line.size() - 2);
      current = nullptr;
      for (Section& s : sections) {
        if (FoldSameText(std::u16string_view(s.header).substr(1, s.header.size() - 2), name)) current = &s;
      }
      if (current) {
        merged = true;
      } else {
        sections.push_back(Section{line, {}});
        current = &sections.back();
      }
      continue;
    }
    if (!current) continue;
    const std::u16string_view key = key_of(line);
    bool known = false;
    for (const std::u16string& l : current->lines) known = known || FoldSameText(key_of(l), key);
    if (known) {
      merged = true;
      continue;
    }
    current->lines.push_back(line);
  }
  if (!merged) return;
  TStringList out;
  for (const Section& s : sections) {
    out.Add(s.header);
    for (const std::u16string& l : s.lines) out.Add(l);
  }
  ini.SetStrings(out);
}

std::u16string LinesText(std::u16string_view text) {
  TStringList lines;
  lines.SetText(text);
  return lines.Text();
}

}  // namespace

std::u16string RepairedText(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) return DecodeText(bytes).Text;
  if (bytes.starts_with(kBomUtf8)) bytes.remove_prefix(kBomUtf8.size());
  std::u16string out;
  size_t run = 0;  // start of the well-formed bytes not yet converted
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t length = Utf8SequenceAt(bytes, i);
    if (length > 0) {
      i += length;
      continue;
    }
    out += Utf8ToUtf16(bytes.substr(run, i - run));
    out += CodePageToUnicode(bytes.substr(i, 1), SystemAnsiCodePage());
    run = ++i;
  }
  out += Utf8ToUtf16(bytes.substr(run));
  return out;
}

std::unique_ptr<TMemIniFile> OpenSecurityFile(const std::u16string& file_name, TEncodingRepair repair) {
  const std::string path = ToOsPath(file_name);
  const std::optional<std::string> bytes = ReadFileBytes(path);
  std::u16string text;
  if (bytes) {
    try {
      text = DecodeText(*bytes, TTextEncoding::Utf8).Text;
    } catch (const EEncodingError&) {
      if (repair == TEncodingRepair::rpNone) throw;
      text = LinesText(RepairedText(*bytes));
      if (repair == TEncodingRepair::rpRewrite) {
        // The original stays beside it: a repair guesses, and the guess can
        // be checked against it.
        TFileInfo info;
        const uint32_t mode = FileOps().GetInfo(path, info) == 0 ? info.Permissions : kSecurityFilePermissions;
        ReplaceFileAtomically(path + Utf16ToUtf8(kBackupSuffix), *bytes, FileOps(), mode);
        ReplaceFileAtomically(path, EncodeText(text, TTextEncoding::Utf8, true), FileOps(), kSecurityFilePermissions);
      }
    }
  }
  TStringList lines;
  lines.SetText(text);
  auto ini = std::make_unique<TMemIniFile>(file_name, TTextEncoding::Utf8, lines);
  MergeDuplicates(*ini);
  return ini;
}

void SaveSecurityFile(const TMemIniFile& ini) {
  TStringList lines;
  ini.GetStrings(lines);
  ReplaceFileAtomically(ToOsPath(ini.FileName()), EncodeText(lines.Text(), TTextEncoding::Utf8, true), FileOps(),
                        kSecurityFilePermissions);
}

namespace {

// Users and groups are sections alike.
void EraseEntry(const std::u16string& file_name, std::u16string_view name) {
  CheckEntryName(name);
  const auto ini = OpenSecurityFile(file_name, TEncodingRepair::rpNone);
  ini->EraseSection(name);
  SaveSecurityFile(*ini);
}

}  // namespace

TSecurityData::TSecurityData(std::u16string db_folder) : file_name_(std::move(db_folder) + kSecurityFileName) {}

bool TSecurityData::Exists() const { return FileExists(std::u16string_view(file_name_)); }

TAdminEntry TSecurityData::ReadAdmin() const {
  TAdminEntry e;
  if (!Exists()) return e;
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpInMemory);
  e.Admin = ini->ReadString(kConfigSection, u"Admin", u"");
  e.Password = LoadAdminPassword(*ini, kConfigSection);
  return e;
}

bool TSecurityData::RepairEncoding() {
  const std::optional<std::string> bytes = ReadFileBytes(ToOsPath(file_name_));
  if (!bytes) return false;
  try {
    DecodeText(*bytes, TTextEncoding::Utf8);
    return false;
  } catch (const EEncodingError&) {
  }
  OpenSecurityFile(file_name_, TEncodingRepair::rpRewrite);
  return true;
}

void TSecurityData::SaveAdmin(std::u16string_view admin, std::u16string_view password) {
  CheckLineFree(admin);
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpRewrite);
  ini->WriteString(kConfigSection, u"Admin", admin);
  StoreAdminPassword(*ini, kConfigSection, password);
  SaveSecurityFile(*ini);
}

TUserEntry TSecurityData::ReadUser(std::u16string_view user) const {
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpNone);
  TUserEntry e;
  e.Password = LoadScrambled(*ini, user);
  e.Setup = ini->ReadBool(user, u"Setup", true);
  SplitGroupList(ini->ReadString(user, u"Gruppe", u""), e.Groups);
  return e;
}

void TSecurityData::WriteUser(std::u16string_view user, const TUserEntry& entry) {
  CheckEntryName(user);
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpNone);
  StoreScrambled(*ini, user, entry.Password);
  ini->WriteBool(user, u"Setup", entry.Setup);
  ini->WriteString(user, u"Gruppe", JoinGroupList(entry.Groups));
  SaveSecurityFile(*ini);
}

void TSecurityData::EraseUser(std::u16string_view user) { EraseEntry(file_name_, user); }

void TSecurityData::LoadTableRights(std::u16string_view group, std::u16string_view table,
                                    TRightsBoxes& boxes) const {
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpNone);
  ApplyRights(ini->ReadString(group, table, kAllRightsDefault), boxes);
}

void TSecurityData::WriteTableRights(std::u16string_view group, const std::vector<std::u16string>& tables,
                                     std::u16string_view rights) {
  CheckEntryName(group);
  for (const auto& t : tables) CheckLineFree(t);
  if (tables.empty()) return;
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpNone);
  try {
    for (const auto& t : tables) ini->WriteString(group, t, rights);
  } catch (...) {
    SaveSecurityFile(*ini);
    throw;
  }
  SaveSecurityFile(*ini);
}

void TSecurityData::DeleteTableRights(std::u16string_view group, std::u16string_view table) {
  CheckEntryName(group);
  const auto ini = OpenSecurityFile(file_name_, TEncodingRepair::rpNone);
  ini->DeleteKey(group, table);
  SaveSecurityFile(*ini);
}

void TSecurityData::EraseGroup(std::u16string_view group) { EraseEntry(file_name_, group); }

}  // namespace tesmira
