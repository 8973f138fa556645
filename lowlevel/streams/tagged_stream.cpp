#include "lowlevel/streams/tagged_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "lowlevel/wide_strings/wide_string.h"
#include "lowlevel/wide_strings/wide_string_list.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

using platform::TnxVariant;

namespace {

// 8-bit text of the wire in the system's ANSI code page, into text (its
// memory reused). ASCII is the same in every ANSI code page and needs no
// converter: it is widened in one pass that also notices any other byte.
void AnsiToUnicodeInto(std::string_view bytes, std::u16string& text) {
  text.resize(bytes.size());
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  uint8_t seen = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    seen |= p[i];
    text[i] = p[i];
  }
  if (seen >= 0x80) text = nxStringToWideString(bytes, static_cast<uint16_t>(platform::SystemAnsiCodePage()));
}

std::string UnicodeToAnsi(std::u16string_view s) {
  return nxWideStringToString(s, static_cast<uint16_t>(platform::SystemAnsiCodePage()));
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-8 length of s, or -1 when s holds an unpaired surrogate (which UTF-8
// cannot carry without loss).
int64_t Utf8Length(std::u16string_view s, bool& ascii) {
  int64_t n = 0;
  ascii = true;
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c < 0x80) { ++n; continue; }
    ascii = false;
    if (c < 0x800) n += 2;
    else if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) { n += 4; ++i; }
    else if (IsHigh(c) || IsLow(c)) return -1;
    else n += 3;
  }
  return n;
}


}  // namespace

// --- TnxWriter ----------------------------------------------------------------

TnxWriter::TnxWriter(platform::TStream& aStream) : fStream(&aStream) {}

TnxWriter::~TnxWriter() {
  try {
    if (fStream) FlushBuffer();
  } catch (...) {
  }
}

void TnxWriter::FlushBuffer() {
  if (fBufPos == 0) return;
  int n = fBufPos;
  fBufPos = 0;
  fStream->WriteBuffer(fBuffer, n);
}

int64_t TnxWriter::Position() { return fStream->Position() + fBufPos; }

void TnxWriter::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (count <= kTaggedBufferSize - fBufPos) {
    std::memcpy(fBuffer + fBufPos, buffer, static_cast<size_t>(count));
    fBufPos += static_cast<int>(count);
    return;
  }
  FlushBuffer();
  if (count >= kTaggedBufferSize) {
    fStream->WriteBuffer(buffer, count);
  } else {
    std::memcpy(fBuffer, buffer, static_cast<size_t>(count));
    fBufPos = static_cast<int>(count);
  }
}

void TnxWriter::WriteLength32(int64_t length) {
  if (length > std::numeric_limits<int32_t>::max())
    throw platform::EWriteError(platform::SWriteError);
  uint8_t b[4];
  platform::StoreU32(b, static_cast<uint32_t>(length));
  Write(b, 4);
}

void TnxWriter::WriteInteger(int32_t value) {
  uint8_t b[5];
  if (value >= -128 && value <= 127) {
    b[0] = vaInt8;
    b[1] = static_cast<uint8_t>(value);
    Write(b, 2);
  } else if (value >= -32768 && value <= 32767) {
    b[0] = vaInt16;
    platform::StoreU16(b + 1, static_cast<uint16_t>(value));
    Write(b, 3);
  } else {
    b[0] = vaInt32;
    platform::StoreU32(b + 1, static_cast<uint32_t>(value));
    Write(b, 5);
  }
}

void TnxWriter::WriteInteger(int64_t value) {
  if (value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max()) {
    WriteInteger(static_cast<int32_t>(value));
    return;
  }
  uint8_t b[9];
  b[0] = vaInt64;
  platform::StoreU64(b + 1, static_cast<uint64_t>(value));
  Write(b, 9);
}

void TnxWriter::WriteBoolean(bool value) { WriteByte(value ? vaTrue : vaFalse); }

void TnxWriter::WriteString(std::u16string_view value) {
  const size_t units = value.size();
  // Most text is a short ASCII name: narrowed straight into the buffer by
  // the same pass that finds out whether it is ASCII at all. Flushing early
  // changes where the bytes break, not the bytes.
  if (units > 0 && units <= 255) {
    if (units + 2 > static_cast<size_t>(kTaggedBufferSize - fBufPos)) FlushBuffer();
    uint8_t* out = fBuffer + fBufPos;
    char16_t seen = 0;
    for (size_t i = 0; i < units; ++i) {
      seen |= value[i];
      out[2 + i] = static_cast<uint8_t>(value[i]);
    }
    if (seen < 0x80) {
      out[0] = vaString;
      out[1] = static_cast<uint8_t>(units);
      fBufPos += static_cast<int>(units + 2);
      return;
    }
  }
  const int64_t count = static_cast<int64_t>(units);
  bool ascii = true;
  const int64_t len8 = Utf8Length(value, ascii);
  // UTF-8 only where it is shorter than UTF-16 and carries the text exactly.
  if (len8 < 0 || len8 >= 2 * count) return WriteWideString_(value);
  if (ascii) {
    // Longer than a short string: one byte per unit, in buffer-sized runs.
    WriteByte(vaLString);
    WriteLength32(len8);
    for (size_t i = 0; i < units;) {
      if (fBufPos == kTaggedBufferSize) FlushBuffer();
      const size_t n = std::min(units - i, static_cast<size_t>(kTaggedBufferSize - fBufPos));
      uint8_t* out = fBuffer + fBufPos;
      for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(value[i + k]);
      fBufPos += static_cast<int>(n);
      i += n;
    }
    return;
  }
  WriteByte(vaUTF8String);
  WriteLength32(len8);
  // Encoded straight into the buffer; Utf8Length has already refused
  // unpaired surrogates, so every pair here is whole.
  for (size_t i = 0; i < units; ++i) {
    if (kTaggedBufferSize - fBufPos < 4) FlushBuffer();
    uint8_t* out = fBuffer + fBufPos;
    const char16_t c = value[i];
    if (c < 0x80) {
      out[0] = static_cast<uint8_t>(c);
      fBufPos += 1;
    } else if (c < 0x800) {
      out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
      out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
      fBufPos += 2;
    } else if (IsHigh(c) && i + 1 < units) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (value[++i] - 0xDC00);
      out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
      out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      fBufPos += 4;
    } else {
      out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
      out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
      fBufPos += 3;
    }
  }
}

void TnxWriter::WriteWideString_(std::u16string_view value) {
  WriteByte(vaWString);
  WriteLength32(static_cast<int64_t>(value.size()));
  // UTF-16LE on a little-endian host is the text's own memory.
  Write(value.data(), static_cast<int64_t>(value.size()) * 2);
}

void TnxWriter::WriteChar(char16_t value) { WriteString(std::u16string_view(&value, 1)); }

void TnxWriter::WriteFloat(long double value) {
  // The 80-bit extended value is the first 10 bytes of x86-64 long double.
  static_assert(std::numeric_limits<long double>::digits == 64, "80-bit extended expected");
  uint8_t b[11] = {vaExtended};
  std::memcpy(b + 1, &value, 10);
  Write(b, 11);
}

void TnxWriter::WriteDouble(double value) {
  uint8_t b[9] = {vaDouble};
  std::memcpy(b + 1, &value, 8);
  Write(b, 9);
}

void TnxWriter::WriteSingle(float value) {
  uint8_t b[5] = {vaSingle};
  std::memcpy(b + 1, &value, 4);
  Write(b, 5);
}

void TnxWriter::WriteCurrency(int64_t scaledBy10000) {
  uint8_t b[9] = {vaCurrency};
  platform::StoreU64(b + 1, static_cast<uint64_t>(scaledBy10000));
  Write(b, 9);
}

void TnxWriter::WriteDate(double value) {
  uint8_t b[9] = {vaDate};
  std::memcpy(b + 1, &value, 8);
  Write(b, 9);
}

void TnxWriter::WriteIdent(std::u16string_view ident) {
  if (platform::AsciiSameText(ident, u"False")) return WriteByte(vaFalse);
  if (platform::AsciiSameText(ident, u"True")) return WriteByte(vaTrue);
  if (platform::AsciiSameText(ident, u"Null")) return WriteByte(vaNull);
  if (platform::AsciiSameText(ident, u"nil")) return WriteByte(vaNil);
  std::string utf8 = platform::Utf16ToUtf8(ident);
  if (utf8.size() > 255) {
    // Cut at 255 bytes without splitting a character.
    size_t cut = 255;
    while (cut > 0 && (static_cast<uint8_t>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  uint8_t head[2] = {vaIdent, static_cast<uint8_t>(utf8.size())};
  Write(head, 2);
  Write(utf8.data(), static_cast<int64_t>(utf8.size()));
}

void TnxWriter::WriteVariant(const TnxVariant& value) {
  using namespace platform;
  switch (value.VarType()) {
    case varEmpty: return WriteByte(vaNil);
    case varNull: return WriteByte(vaNull);
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64:
      return WriteInteger(value.AsInt64());
    // Not through the Int64 rules: 2^64-1 would arrive as -1. Its text is
    // exact, as for any other type without a value tag.
    case varUInt64: return WriteString(value.AsString());
    case varSingle: return WriteSingle(value.AsSingle());
    case varDouble: return WriteFloat(value.AsDouble());
    case varCurrency: return WriteCurrency(value.AsCurrency());
    case varDate: return WriteDate(value.AsDouble());
    case varBoolean: return WriteBoolean(value.AsBoolean());
    case varOleStr: case varUString: case varString: return WriteString(value.AsString());
    default:
      if (value.VarType() & varArray) throw EWriteError(platform::SWriteError);
      try {
        return WriteString(value.AsString());
      } catch (const EVariantError&) {
        throw EWriteError(platform::SWriteError);
      }
  }
}

void TnxWriter::WriteAnsiChar(char value) { WriteAnsiString(std::string_view(&value, 1)); }

void TnxWriter::WriteAnsiString(std::string_view value) {
  if (value.size() < 256) {
    uint8_t head[2] = {vaString, static_cast<uint8_t>(value.size())};
    Write(head, 2);
  } else {
    WriteByte(vaLString);
    WriteLength32(static_cast<int64_t>(value.size()));
  }
  Write(value.data(), static_cast<int64_t>(value.size()));
}

void TnxWriter::WriteAnsiStrings(const platform::TStringList& lines) {
  WriteListBegin();
  for (int i = 0; i < lines.Count(); ++i) WriteAnsiString(UnicodeToAnsi(lines[i]));
  WriteListEnd();
}

void TnxWriter::WriteBinary(const void* value, int32_t size) {
  if (size < 0) throw platform::EWriteError(platform::SWriteError);
  WriteByte(vaBinary);
  WriteLength32(size);
  Write(value, size);
}

void TnxWriter::WriteBytes(const std::vector<uint8_t>& value) {
  WriteByte(vaBinary);
  WriteLength32(static_cast<int64_t>(value.size()));
  Write(value.data(), static_cast<int64_t>(value.size()));
}

void TnxWriter::WriteGuid(const platform::TGUID& value) {
  uint8_t b[16];
  platform::GUIDToBytes(value, b);
  WriteBinary(b, 16);
}

void TnxWriter::WriteStrings(const platform::TStringList& lines) {
  WriteListBegin();
  for (int i = 0; i < lines.Count(); ++i) WriteString(lines[i]);
  WriteListEnd();
}

void TnxWriter::WriteWideStrings(const TnxWideStrings& lines) {
  WriteListBegin();
  for (int32_t i = 0; i < lines.GetCount(); ++i) WriteWideString_(lines.wsGetString(i));
  WriteListEnd();
}

// --- TnxReader ----------------------------------------------------------------

TnxReader::TnxReader(platform::TStream& aStream) : fStream(&aStream) {}

TnxReader::~TnxReader() {
  try {
    if (fStream) FlushBuffer();
  } catch (...) {
  }
}

void TnxReader::FlushBuffer() {
  if (fBufEnd - fBufPos > 0) fStream->Seek(-(fBufEnd - fBufPos), platform::TSeekOrigin::soCurrent);
  fBufPos = fBufEnd = 0;
}

int64_t TnxReader::BytesLeft() {
  int64_t inStream = fStream->GetSize() - fStream->Position();
  return (fBufEnd - fBufPos) + (inStream > 0 ? inStream : 0);
}

void TnxReader::Refill() {
  int64_t n = fStream->Read(fBuffer, kTaggedBufferSize);
  if (n <= 0) throw platform::EReadError(platform::SReadError);
  fBufPos = 0;
  fBufEnd = static_cast<int>(n);
}

void TnxReader::Read(void* buffer, int64_t count) {
  if (count <= 0) return;
  auto* out = static_cast<uint8_t*>(buffer);
  for (;;) {
    int64_t avail = fBufEnd - fBufPos;
    if (count <= avail) {
      std::memcpy(out, fBuffer + fBufPos, static_cast<size_t>(count));
      fBufPos += static_cast<int>(count);
      return;
    }
    if (avail > 0) {
      std::memcpy(out, fBuffer + fBufPos, static_cast<size_t>(avail));
      out += avail;
      count -= avail;
    }
    fBufPos = fBufEnd = 0;
    if (count >= kTaggedBufferSize) {
      // Large payloads bypass the buffer.
      fStream->ReadBuffer(out, count);
      return;
    }
    Refill();
  }
}

void TnxReader::InvalidValue() { throw platform::EReadError(platform::SInvalidPropertyValue); }

void TnxReader::CheckLength(int64_t length) {
  if (length < 0)
    throw platform::EReadError(platform::Format(u"Stream-Lesefehler: negative Länge %d", {length}));
  if (length <= fBufEnd - fBufPos) return;
  int64_t left = BytesLeft();
  if (length > left)
    throw platform::EReadError(platform::Format(
        u"Stream-Lesefehler: Länge %d übersteigt die verbleibenden %d Bytes", {length, left}));
}

TValueType TnxReader::ReadValue() { return static_cast<TValueType>(ReadByte()); }

TValueType TnxReader::NextValue() {
  if (fBufPos == fBufEnd) Refill();
  return static_cast<TValueType>(fBuffer[fBufPos]);
}

int32_t TnxReader::ReadIntegerOf(TValueType tag) {
  uint8_t b[4];
  switch (tag) {
    case vaInt8: return static_cast<int8_t>(ReadByte());
    case vaInt16: Read(b, 2); return static_cast<int16_t>(platform::LoadU16(b));
    case vaInt32: Read(b, 4); return static_cast<int32_t>(platform::LoadU32(b));
    default: InvalidValue();
  }
}

int64_t TnxReader::ReadInt64Of(TValueType tag) {
  if (tag == vaInt64) {
    uint8_t b[8];
    Read(b, 8);
    return static_cast<int64_t>(platform::LoadU64(b));
  }
  return ReadIntegerOf(tag);
}

int32_t TnxReader::ReadInteger() { return ReadIntegerOf(ReadValue()); }
int64_t TnxReader::ReadInt64() { return ReadInt64Of(ReadValue()); }

bool TnxReader::ReadBoolean() {
  TValueType t = ReadValue();
  if (t == vaTrue) return true;
  if (t == vaFalse) return false;
  InvalidValue();
}

void TnxReader::ReadStringOf(TValueType tag, std::u16string& text) {
  int64_t len;
  uint8_t b[4];
  switch (tag) {
    case vaString: len = ReadByte(); break;
    case vaLString: case vaWString: case vaUTF8String:
      Read(b, 4);
      len = static_cast<int32_t>(platform::LoadU32(b));
      break;
    default: InvalidValue();
  }
  if (tag == vaWString) {
    CheckLength(len < 0 ? len : len * 2);
    text.resize(static_cast<size_t>(len));
    Read(text.data(), len * 2);
    return;
  }
  CheckLength(len);
  // Text that lies whole in the buffer is converted from there: no 8-bit
  // copy on the way.
  if (len <= fBufEnd - fBufPos) {
    const std::string_view bytes(reinterpret_cast<const char*>(fBuffer + fBufPos), static_cast<size_t>(len));
    fBufPos += static_cast<int>(len);
    if (tag == vaUTF8String) text = platform::Utf8ToUtf16(bytes);
    else AnsiToUnicodeInto(bytes, text);
    return;
  }
  std::string bytes(static_cast<size_t>(len), '\0');
  Read(bytes.data(), len);
  if (tag == vaUTF8String) text = platform::Utf8ToUtf16(bytes);
  else AnsiToUnicodeInto(bytes, text);
}

std::u16string TnxReader::ReadString() {
  std::u16string text;
  ReadStringOf(ReadValue(), text);
  return text;
}

void TnxReader::ReadStringInto(std::u16string& aText) { ReadStringOf(ReadValue(), aText); }

std::u16string TnxReader::ReadWideString_() { return ReadString(); }

char16_t TnxReader::ReadChar() {
  std::u16string s = ReadString();
  if (s.size() != 1) InvalidValue();
  return s[0];
}

char TnxReader::ReadAnsiChar() { return static_cast<char>(ReadChar() & 0xFF); }

double TnxReader::ReadDouble() {
  TValueType t = ReadValue();
  if (t == vaDouble) {
    double d;
    Read(&d, 8);
    return d;
  }
  return static_cast<double>(ReadInt64Of(t));
}

long double TnxReader::ReadFloat() {
  if (NextValue() == vaExtended) {
    ReadByte();
    long double v = 0;
    Read(&v, 10);
    return v;
  }
  return ReadDouble();
}

float TnxReader::ReadSingle() {
  TValueType t = ReadValue();
  if (t == vaSingle) {
    float f;
    Read(&f, 4);
    return f;
  }
  return static_cast<float>(ReadInt64Of(t));
}

int64_t TnxReader::ReadCurrency() {
  TValueType t = ReadValue();
  if (t == vaCurrency) {
    uint8_t b[8];
    Read(b, 8);
    return static_cast<int64_t>(platform::LoadU64(b));
  }
  int64_t v = ReadInt64Of(t);
  // Beyond this range the amount has no currency form.
  if (v > std::numeric_limits<int64_t>::max() / 10000 || v < std::numeric_limits<int64_t>::min() / 10000)
    InvalidValue();
  return v * 10000;
}

double TnxReader::ReadDate() {
  TValueType t = ReadValue();
  if (t == vaDate) {
    double d;
    Read(&d, 8);
    return d;
  }
  return static_cast<double>(ReadInt64Of(t));
}

std::u16string TnxReader::ReadIdent() {
  switch (ReadValue()) {
    case vaIdent: {
      int64_t len = ReadByte();
      CheckLength(len);
      std::string s(static_cast<size_t>(len), '\0');
      Read(s.data(), len);
      return platform::Utf8ToUtf16(s);
    }
    case vaNull: return u"Null";
    case vaFalse: return u"False";
    case vaTrue: return u"True";
    case vaNil: return u"nil";
    default: InvalidValue();
  }
}

void TnxReader::ReadListBegin() {
  if (ReadValue() != vaList) InvalidValue();
}

void TnxReader::ReadListEnd() {
  if (ReadValue() != vaNull) InvalidValue();
}

TnxVariant TnxReader::ReadVariant() {
  TValueType t = ReadValue();
  switch (t) {
    case vaNull: return TnxVariant::Null();
    case vaNil: return TnxVariant();
    case vaInt8: return TnxVariant::FromShortInt(static_cast<int8_t>(ReadIntegerOf(t)));
    case vaInt16: return TnxVariant::FromSmallint(static_cast<int16_t>(ReadIntegerOf(t)));
    case vaInt32: return TnxVariant::FromInteger(ReadIntegerOf(t));
    case vaInt64: return TnxVariant::FromInt64(ReadInt64Of(t));
    case vaExtended: {
      long double v = 0;
      Read(&v, 10);
      return TnxVariant::FromDouble(static_cast<double>(v));
    }
    case vaDouble: {
      double d;
      Read(&d, 8);
      return TnxVariant::FromDouble(d);
    }
    case vaSingle: {
      float f;
      Read(&f, 4);
      return TnxVariant::FromDouble(f);
    }
    case vaCurrency: {
      uint8_t b[8];
      Read(b, 8);
      return TnxVariant::FromCurrency(static_cast<int64_t>(platform::LoadU64(b)));
    }
    case vaDate: {
      double d;
      Read(&d, 8);
      return TnxVariant::FromDate(d);
    }
    case vaFalse: return TnxVariant::FromBoolean(false);
    case vaTrue: return TnxVariant::FromBoolean(true);
    case vaString: case vaLString: case vaWString: case vaUTF8String: {
      std::u16string text;
      ReadStringOf(t, text);
      return TnxVariant::FromString(std::move(text));
    }
    default:
      // vaBinary would be a custom variant type; none is registered here.
      throw platform::EReadError(platform::SReadError);
  }
}

void TnxReader::ReadBinary(void* value, int32_t size) {
  if (ReadValue() != vaBinary) InvalidValue();
  uint8_t b[4];
  Read(b, 4);
  if (static_cast<int32_t>(platform::LoadU32(b)) != size) InvalidValue();
  Read(value, size);
}

std::vector<uint8_t> TnxReader::ReadBytes() {
  if (ReadValue() != vaBinary) InvalidValue();
  uint8_t b[4];
  Read(b, 4);
  int32_t len = static_cast<int32_t>(platform::LoadU32(b));
  if (len < 0) throw platform::ERangeError(platform::SRangeError);
  CheckLength(len);
  std::vector<uint8_t> r(static_cast<size_t>(len));
  Read(r.data(), len);
  return r;
}

platform::TGUID TnxReader::ReadGuid() {
  uint8_t b[16];
  ReadBinary(b, 16);
  return platform::GUIDFromBytes(b);
}

void TnxReader::ReadStrings(platform::TStringList& lines) {
  lines.BeginUpdate();
  // An unsorted list is written over line by line (a list read again keeps
  // its memory), and cut to what was read, also when the reading fails.
  const bool inPlace = !lines.Sorted();
  int filled = 0;
  try {
    if (!inPlace) lines.Clear();
    ReadListBegin();
    std::u16string text;
    while (!EndOfList()) {
      // A short ASCII text that lies whole in the buffer (as table and
      // alias names do) is widened straight into its line.
      const uint8_t* at = fBuffer + fBufPos;
      const int avail = fBufEnd - fBufPos;
      if (inPlace && avail >= 2 && at[0] == vaString && at[1] <= avail - 2) {
        const size_t len = at[1];
        const uint8_t* bytes = at + 2;
        uint8_t seen = 0;
        for (size_t i = 0; i < len; ++i) seen |= bytes[i];
        if (seen < 0x80) {
          char16_t* out = lines.RefillLine(filled++, len).data();
          for (size_t i = 0; i < len; ++i) out[i] = bytes[i];
          fBufPos += static_cast<int>(len) + 2;
          continue;
        }
      }
      ReadStringInto(text);
      if (inPlace) {
        lines.RefillLine(filled++, 0).assign(text);
      } else {
        lines.AddText(text);
      }
    }
    ReadListEnd();
    if (inPlace) lines.Truncate(filled);
  } catch (...) {
    if (inPlace) lines.Truncate(filled);
    lines.EndUpdate();
    throw;
  }
  lines.EndUpdate();
}

// --- TnxRequestWriter / TnxReplyReader ----------------------------------------

TnxRequestWriter::TnxRequestWriter(TnxProcessStreamedRequest aProcessStreamedRequest)
    : rwProcessStreamedRequest(std::move(aProcessStreamedRequest)) {
  SetStream(&kept.Stream());
}

TnxRequestWriter::~TnxRequestWriter() { nxGiveBackSpareStream(std::move(rwReplyStream)); }

detail::TnxOwnedMemoryStream::~TnxOwnedMemoryStream() { nxGiveBackSpareStream(std::move(stream)); }

TnxReplyReader* TnxRequestWriter::Request(TnxMsgID aMsgID, uint32_t& aResult, bool aCanSkipCantSkip) {
  FlushBuffer();
  // The callee takes the slot's stream and may replace or drop it; whatever
  // it leaves there is ours again, also when it raises.
  TnxMemoryStream* slot = rwReplyStream ? rwReplyStream.release() : nxTakeSpareStream().release();
  try {
    aResult = rwProcessStreamedRequest(aMsgID, &kept.Stream(), &slot, aCanSkipCantSkip);
  } catch (...) {
    rwReplyStream.reset(slot);
    throw;
  }
  std::unique_ptr<TnxMemoryStream> reply(slot);
  if (!reply) reply = nxTakeSpareStream();
  rwReplyReader = std::make_unique<TnxReplyReader>(std::move(reply));
  return rwReplyReader.get();
}

uint32_t TnxRequestWriter::RequestNoReply(TnxMsgID aMsgID, bool aCanSkipCantSkip) {
  FlushBuffer();
  return rwProcessStreamedRequest(aMsgID, &kept.Stream(), nullptr, aCanSkipCantSkip);
}

uint32_t TnxRequestWriter::RequestIntoStream(TnxMsgID aMsgID, TnxMemoryStream*& aStream,
                                            bool aCanSkipCantSkip) {
  FlushBuffer();
  return rwProcessStreamedRequest(aMsgID, &kept.Stream(), &aStream, aCanSkipCantSkip);
}

TnxMemoryStream& TnxRequestWriter::StreamForWriting() {
  FlushBuffer();
  return kept.Stream();
}

std::unique_ptr<TnxReplyReader> TnxRequestWriter::ReleaseReply() { return std::move(rwReplyReader); }

TnxReplyReader::TnxReplyReader(std::unique_ptr<TnxMemoryStream> aStream)
    : detail::TnxOwnedMemoryStream(std::move(aStream)) {
  // The stream holds the reply payload alone; whoever filled it left the
  // position at its end.
  stream->SetPosition(0);
  SetStream(stream.get());
}

TnxReplyReader::~TnxReplyReader() {
  // Nothing to give back: the stream goes with the reader.
  SetStream(nullptr);
}

TnxMemoryStream& TnxReplyReader::StreamForReading() {
  FlushBuffer();
  return *stream;
}

}  // namespace revurov
