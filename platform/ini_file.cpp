#include "platform/ini_file.h"

#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {

std::u16string_view NameOf(std::u16string_view line) {
  const size_t eq = line.find(u'=');
  return eq == std::u16string_view::npos ? std::u16string_view() : line.substr(0, eq);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

int32_t IniStrToIntDef(std::u16string_view s, int32_t default_value) {
  size_t i = 0;
  while (i < s.size() && s[i] == u' ') ++i;  // leading blanks only, as Val
  bool neg = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
  bool hex = false;
  if (i < s.size() && s[i] == u'$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return default_value;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    const int d = hex ? HexDigit(s[i]) : (s[i] >= u'0' && s[i] <= u'9' ? s[i] - u'0' : -1);
    if (d < 0) return default_value;
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return default_value;
  }
  if (hex) {
    // Hex covers the whole 32-bit pattern.
    const auto pattern = static_cast<int32_t>(static_cast<uint32_t>(v));
    return neg ? static_cast<int32_t>(0u - static_cast<uint32_t>(pattern)) : pattern;
  }
  if (neg) {
    if (v > 0x80000000ull) return default_value;
    return static_cast<int32_t>(-static_cast<int64_t>(v));
  }
  if (v > 0x7FFFFFFFull) return default_value;
  return static_cast<int32_t>(v);
}

TMemIniFile::TMemIniFile(std::u16string file_name, std::optional<TTextEncoding> encoding, TFileOps* ops)
    : file_name_(std::move(file_name)), ops_(ops) {
  if (encoding) {
    encoding_ = *encoding;
    with_bom_ = *encoding != TTextEncoding::Ansi;
  }
  std::optional<TDecodedText> decoded = ReadTextFile(Utf16ToUtf8(file_name_), encoding, Ops());
  if (!decoded) return;
  if (!encoding) {
    encoding_ = decoded->Encoding;
    with_bom_ = decoded->HadBom;
  }
  TStringList lines;
  lines.SetText(decoded->Text);
  SetStrings(lines);
}

TMemIniFile::TMemIniFile(std::u16string file_name, TTextEncoding encoding, const TStringList& lines, TFileOps* ops)
    : file_name_(std::move(file_name)), ops_(ops), encoding_(encoding), with_bom_(encoding != TTextEncoding::Ansi) {
  SetStrings(lines);
}

void TMemIniFile::SetStrings(const TStringList& lines) {
  sections_.clear();
  Section* current = nullptr;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::u16string_view s = Trim(lines[i]);
    if (s.empty() || s[0] == u';') continue;
    if (s[0] == u'[' && s.back() == u']' && s.size() >= 2) {
      sections_.push_back(Section{std::u16string(s.substr(1, s.size() - 2)), {}});
      current = &sections_.back();
    } else if (current) {
      const size_t eq = s.find(u'=');
      if (eq == std::u16string_view::npos) {
        current->lines.emplace_back(s);
      } else {
        current->lines.push_back(std::u16string(Trim(s.substr(0, eq))) + u"=" +
                                 std::u16string(Trim(s.substr(eq + 1))));
      }
    }
  }
}

void TMemIniFile::GetStrings(TStringList& lines) const {
  lines.Clear();
  for (const Section& s : sections_) {
    lines.Add(u"[" + s.name + u"]");
    for (const std::u16string& l : s.lines) lines.Add(l);
    lines.Add(u"");
  }
}

const TMemIniFile::Section* TMemIniFile::FindSection(std::u16string_view name) const {
  for (const Section& s : sections_) {
    if (FoldSameText(s.name, name)) return &s;
  }
  return nullptr;
}

TMemIniFile::Section* TMemIniFile::FindSection(std::u16string_view name) {
  return const_cast<Section*>(static_cast<const TMemIniFile*>(this)->FindSection(name));
}

int TMemIniFile::FindKey(const Section& s, std::u16string_view ident) {
  for (size_t i = 0; i < s.lines.size(); ++i) {
    const std::u16string_view line = s.lines[i];
    if (line.find(u'=') != std::u16string_view::npos && FoldSameText(NameOf(line), ident)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool TMemIniFile::SectionExists(std::u16string_view section) const { return FindSection(section) != nullptr; }

bool TMemIniFile::ValueExists(std::u16string_view section, std::u16string_view ident) const {
  const Section* s = FindSection(section);
  return s && FindKey(*s, ident) >= 0;
}

std::u16string TMemIniFile::ReadString(std::u16string_view section, std::u16string_view ident,
                                       std::u16string_view default_value) const {
  const Section* s = FindSection(section);
  if (s) {
    const int k = FindKey(*s, ident);
    if (k >= 0) {
      const std::u16string& line = s->lines[static_cast<size_t>(k)];
      return line.substr(line.find(u'=') + 1);
    }
  }
  return std::u16string(default_value);
}

int32_t TMemIniFile::ReadInteger(std::u16string_view section, std::u16string_view ident,
                                 int32_t default_value) const {
  const Section* s = FindSection(section);
  if (!s || FindKey(*s, ident) < 0) return default_value;
  return IniStrToIntDef(ReadString(section, ident, u""), default_value);
}

bool TMemIniFile::ReadBool(std::u16string_view section, std::u16string_view ident, bool default_value) const {
  return ReadInteger(section, ident, default_value ? 1 : 0) != 0;
}

void TMemIniFile::ReadSection(std::u16string_view section, TStringList& idents) const {
  idents.Clear();
  const Section* s = FindSection(section);
  if (!s) return;
  for (const std::u16string& line : s->lines) {
    if (line.find(u'=') != std::u16string::npos) idents.Add(std::u16string(NameOf(line)));
  }
}

void TMemIniFile::ReadSections(TStringList& sections) const {
  sections.Clear();
  for (const Section& s : sections_) sections.Add(s.name);
}

void TMemIniFile::ReadSectionValues(std::u16string_view section, TStringList& lines) const {
  lines.Clear();
  const Section* s = FindSection(section);
  if (!s) return;
  for (const std::u16string& line : s->lines) lines.Add(line);
}

void TMemIniFile::WriteString(std::u16string_view section, std::u16string_view ident,
                              std::u16string_view value) {
  Section* s = FindSection(section);
  if (!s) {
    sections_.push_back(Section{std::u16string(section), {}});
    s = &sections_.back();
  }
  std::u16string line = std::u16string(ident) + u"=" + std::u16string(value);
  const int k = FindKey(*s, ident);
  if (k >= 0) {
    s->lines[static_cast<size_t>(k)] = std::move(line);
  } else {
    s->lines.push_back(std::move(line));
  }
}

void TMemIniFile::WriteInteger(std::u16string_view section, std::u16string_view ident, int32_t value) {
  WriteString(section, ident, Format(u"%d", {value}));
}

void TMemIniFile::WriteBool(std::u16string_view section, std::u16string_view ident, bool value) {
  WriteString(section, ident, value ? u"1" : u"0");
}

void TMemIniFile::EraseSection(std::u16string_view section) {
  for (auto it = sections_.begin(); it != sections_.end(); ++it) {
    if (FoldSameText(it->name, section)) {
      sections_.erase(it);
      return;
    }
  }
}

void TMemIniFile::DeleteKey(std::u16string_view section, std::u16string_view ident) {
  Section* s = FindSection(section);
  if (!s) return;
  const int k = FindKey(*s, ident);
  if (k >= 0) s->lines.erase(s->lines.begin() + k);
}

void TMemIniFile::UpdateFile() const {
  TStringList lines;
  GetStrings(lines);
  lines.SaveToFile(Utf16ToUtf8(file_name_), encoding_, with_bom_ && encoding_ != TTextEncoding::Ansi, Ops());
}

void TIniFile::WriteString(std::u16string_view section, std::u16string_view ident, std::u16string_view value) {
  TMemIniFile::WriteString(section, ident, value);
  UpdateFile();
}

void TIniFile::EraseSection(std::u16string_view section) {
  TMemIniFile::EraseSection(section);
  UpdateFile();
}

void TIniFile::DeleteKey(std::u16string_view section, std::u16string_view ident) {
  TMemIniFile::DeleteKey(section, ident);
  UpdateFile();
}

}  // namespace revurov::platform
