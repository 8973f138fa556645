// INI files with the runtime's semantics.
//
// Contract:
// - Section and key names compare without regard to case (Unicode case
//   folding, `FoldSameText`); the first section of a name wins, later ones
//   of the same name are kept in the file but not read.
// - Loading: each line is trimmed of blanks and control characters; empty
//   lines and lines starting with ";" are dropped; "[name]" opens a section;
//   in "key=value" both sides are trimmed; lines before the first section
//   are dropped.
// - ReadInteger: decimal, or hexadecimal after "$" or "0x"; an optional sign;
//   anything else (also an out-of-range number) yields the default.
//   ReadBool reads an integer (true when not 0); WriteBool writes "1"/"0".
// - TMemIniFile keeps everything in memory; `UpdateFile` writes the whole
//   file ("[section]" lines, key=value lines, an empty line after each
//   section, CR LF) atomically. A forced UTF-8 encoding is written with BOM;
//   without one the file keeps the encoding (and BOM) it was read in, ANSI
//   when it did not exist.
// - Opening with forced UTF-8 raises EEncodingError when the file is not
//   valid UTF-8. A missing file is an empty INI; the first UpdateFile
//   creates it.
// - TIniFile is a TMemIniFile that writes the file after every change.
// - The file is read and written on the seam given at construction; without
//   one, on the process-wide seam of the moment of each read or write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "platform/text_file.h"

namespace revurov::platform {

class TMemIniFile {
public:
  explicit TMemIniFile(std::u16string file_name, std::optional<TTextEncoding> encoding = std::nullopt,
                       TFileOps* ops = nullptr);
  // The INI of lines (read as SetStrings reads them) for a file the caller
  // has read and decoded itself: nothing is read; UpdateFile writes in
  // encoding (with BOM unless ANSI).
  TMemIniFile(std::u16string file_name, TTextEncoding encoding, const TStringList& lines, TFileOps* ops = nullptr);
  virtual ~TMemIniFile() = default;

  const std::u16string& FileName() const noexcept { return file_name_; }
  TTextEncoding Encoding() const noexcept { return encoding_; }

  bool SectionExists(std::u16string_view section) const;
  bool ValueExists(std::u16string_view section, std::u16string_view ident) const;
  std::u16string ReadString(std::u16string_view section, std::u16string_view ident,
                            std::u16string_view default_value) const;
  int32_t ReadInteger(std::u16string_view section, std::u16string_view ident, int32_t default_value) const;
  bool ReadBool(std::u16string_view section, std::u16string_view ident, bool default_value) const;
  void ReadSection(std::u16string_view section, TStringList& idents) const;
  void ReadSections(TStringList& sections) const;
  void ReadSectionValues(std::u16string_view section, TStringList& lines) const;

  virtual void WriteString(std::u16string_view section, std::u16string_view ident, std::u16string_view value);
  void WriteInteger(std::u16string_view section, std::u16string_view ident, int32_t value);
  void WriteBool(std::u16string_view section, std::u16string_view ident, bool value);
  virtual void EraseSection(std::u16string_view section);
  virtual void DeleteKey(std::u16string_view section, std::u16string_view ident);

  // The whole file as text, as UpdateFile writes it.
  void GetStrings(TStringList& lines) const;
  void SetStrings(const TStringList& lines);
  void Clear() noexcept { sections_.clear(); }
  void UpdateFile() const;

private:
  struct Section {
    std::u16string name;
    std::vector<std::u16string> lines;  // key=value, or a line without "="
  };
  const Section* FindSection(std::u16string_view name) const;
  Section* FindSection(std::u16string_view name);
  static int FindKey(const Section& s, std::u16string_view ident);

  TFileOps& Ops() const noexcept { return ops_ ? *ops_ : FileOps(); }

  std::u16string file_name_;
  TFileOps* ops_ = nullptr;  // not owned
  TTextEncoding encoding_ = TTextEncoding::Ansi;
  bool with_bom_ = false;
  std::vector<Section> sections_;
};

class TIniFile : public TMemIniFile {
public:
  using TMemIniFile::TMemIniFile;
  void WriteString(std::u16string_view section, std::u16string_view ident, std::u16string_view value) override;
  void EraseSection(std::u16string_view section) override;
  void DeleteKey(std::u16string_view section, std::u16string_view ident) override;
};

// The runtime's StrToIntDef with the INI's "0x" prefix: see ReadInteger.
int32_t IniStrToIntDef(std::u16string_view text, int32_t default_value);

}  // namespace revurov::platform
