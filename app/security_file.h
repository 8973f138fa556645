// The security data file "TesmiraSec.dat": users, groups, table rights and
// the administrator, as an INI file in UTF-8 with BOM and CR LF lines.
//
// API contract (the window binds to this; every routine is Qt-free):
// - Rights: `TRightsBoxes` is the sixteen check boxes of a rights page in the
//   order of `kRights` (captions and box names of both pages). The rights
//   string has one "1"/"0" per box.
//   `GroupRightsToString` / `TableRightsToString` build it; `ApplyRights`
//   sets the boxes from a stored value: a value shorter than sixteen is
//   padded with "1" (a ten-flag value gets the six newer rights allowed,
//   and nothing is ever read past the value's end); a position that holds
//   no decimal digit raises EConvertError after the boxes before it were
//   set; any digit but "0" checks its box.
// - `SplitGroupList`: upper-cases, appends each piece that ends with ";"
//   (text after the last ";" is dropped, ";;" gives an empty item).
// - `OpenSecurityFile(name, repair)`: the file as a TMemIniFile in UTF-8
//   (an empty one when it does not exist; anything but a regular file is
//   refused without waiting). A file that is not valid UTF-8 raises
//   EEncodingError with rpNone; with rpInMemory it is read as
//   `RepairedText` gives it and nothing is written; with rpRewrite the
//   original is kept as name + ".bak" and the file is replaced by that text
//   in UTF-8 with BOM. Sections that appear more than once (in any case)
//   are read as one: the first value of a key wins, keys only a later copy
//   holds are added, and the next write leaves one section.
// - `RepairedText(bytes)`: with a UTF-16 BOM the file in UTF-16; otherwise
//   (a UTF-8 BOM skipped) every well-formed UTF-8 sequence as it stands and
//   each other byte in the system's ANSI code page, so a legacy ANSI file
//   converts whole and one stray byte in UTF-8 text costs no other letter.
// - `SaveSecurityFile(ini)`: writes the whole INI atomically in UTF-8 with
//   BOM; a new file is created 0600 (it holds clear user passwords), an
//   existing one keeps its mode, a symbolic link keeps pointing at it.
// - `CheckEntryName(name)`: raises Exception with `SReservedName` when the
//   name is the "Config" section's (any case). Every TSecurityData writer
//   that takes a user or group name calls it before anything is written;
//   the window calls it before it changes the tree. It also refuses a name
//   holding CR or LF with `SLineBreakInName` (`CheckLineFree`), which would
//   add lines of its own, a "PW=" among them, to the line-based file;
//   `SaveAdmin` checks the administrator's name and `WriteTableRights` every
//   table name the same way before anything is written.
// - `TSecurityData` runs each change as the tool does: open the file, change
//   it in memory, write it back whole (atomically) before returning.
//   `ReadAdmin` never writes (the password check comes first); the encoding
//   repair is `RepairEncoding`, run once the check has passed, and the
//   Admin page's `SaveAdmin`. User passwords read back exactly, blanks at
//   either end included (kept as the administrator's are, password.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini_file.h"

namespace tesmira {

inline constexpr char16_t kSecurityFileName[] = u"TesmiraSec.dat";
inline constexpr char16_t kConfigSection[] = u"Config";
inline constexpr char16_t kAllRightsDefault[] = u"1111111111111111111";  // nineteen, as stored defaults
inline constexpr char16_t SLineBreakInName[] = u"Namen d\u00FCrfen keinen Zeilenumbruch enthalten.";
inline constexpr char16_t SReservedName[] =
    u"Der Name \"%s\" ist f\u00FCr die Programmeinstellungen reserviert und kann nicht als "
    u"Benutzer- oder Gruppenname verwendet werden.";
inline constexpr char16_t SInvalidInteger[] = u"'%s' ist kein g\u00FCltiger Integerwert";
inline constexpr char16_t kBackupSuffix[] = u".bak";
// Readable by the owner only: the file holds clear user passwords.
inline constexpr uint32_t kSecurityFilePermissions = 0600;

inline constexpr int kRightsCount = 16;
using TRightsBoxes = std::array<bool, kRightsCount>;

struct TRightInfo {
  const char16_t* GroupCaption;
  const char16_t* TableCaption;
  const char* GroupBox;
  const char* TableBox;
};
extern const std::array<TRightInfo, kRightsCount> kRights;

std::u16string GroupRightsToString(const TRightsBoxes& boxes);
std::u16string TableRightsToString(const TRightsBoxes& boxes);
void ApplyRights(std::u16string_view value, TRightsBoxes& boxes);

void SplitGroupList(std::u16string_view text, std::vector<std::u16string>& list);
std::vector<std::u16string> SplitGroupList(std::u16string_view text);
// Each group followed by ";", in order.
std::u16string JoinGroupList(const std::vector<std::u16string>& groups);

bool IsReservedName(std::u16string_view name);
void CheckEntryName(std::u16string_view name);
void CheckLineFree(std::u16string_view name);

enum class TEncodingRepair { rpNone, rpInMemory, rpRewrite };

std::u16string RepairedText(std::string_view bytes);
std::unique_ptr<revurov::platform::TMemIniFile> OpenSecurityFile(const std::u16string& file_name,
                                                                 TEncodingRepair repair);
void SaveSecurityFile(const revurov::platform::TMemIniFile& ini);

struct TAdminEntry {
  std::u16string Admin;
  std::u16string Password;  // clear text
};

struct TUserEntry {
  std::u16string Password;
  bool Setup = true;
  std::vector<std::u16string> Groups;
};

class TSecurityData {
public:
  // db_folder: the database folder with its trailing separator.
  explicit TSecurityData(std::u16string db_folder);
  const std::u16string& FileName() const noexcept { return file_name_; }
  bool Exists() const;

  // Start-up: reads through any encoding fault and writes nothing.
  TAdminEntry ReadAdmin() const;
  // Rewrites a file that is not valid UTF-8 (see OpenSecurityFile); true
  // when it did.
  bool RepairEncoding();
  // "Speichern" of the Admin page, with the encoding repair.
  void SaveAdmin(std::u16string_view admin, std::u16string_view password);

  TUserEntry ReadUser(std::u16string_view user) const;
  void WriteUser(std::u16string_view user, const TUserEntry& entry);
  void EraseUser(std::u16string_view user);

  void LoadTableRights(std::u16string_view group, std::u16string_view table, TRightsBoxes& boxes) const;
  // One key per table (names as given), all with the same rights, written
  // in one go; the file is written back also when a step fails. Nothing is
  // written when the list is empty.
  void WriteTableRights(std::u16string_view group, const std::vector<std::u16string>& tables,
                        std::u16string_view rights);
  void DeleteTableRights(std::u16string_view group, std::u16string_view table);
  void EraseGroup(std::u16string_view group);

private:
  std::u16string file_name_;
};

}  // namespace tesmira
