#include "dictionary/native_variant_converter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "dictionary/date_time_parser.h"
#include "dictionary/fmt_bcd.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_locale.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "platform/code_page.h"
#include "platform/date_time.h"
#include "platform/date_time_parse.h"
#include "platform/endian.h"
#include "platform/guid.h"
#include "platform/locale.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

using platform::TDateTime;
using platform::TnxVariant;
using platform::TVarType;

namespace {

constexpr char16_t kTooWide[] = u"Source string data is too wide (%d) for the target field (%d)";
constexpr char16_t kTooWideForField[] = u"Source string data is too wide for the target field (%d)";
constexpr char16_t kOutOfRange[] = u"Value out of range for the target column type: %d";
constexpr char16_t kInvalidChar[] = u"Invalid char format (length must be exactly 1)";

bool IsOleString(const TnxVariant& v) {
  return v.VarType() == platform::varOleStr || v.VarType() == platform::varUString;
}
bool IsAnyString(const TnxVariant& v) { return IsOleString(v) || v.VarType() == platform::varString; }
bool IsBcd(const TnxVariant& v) { return v.VarType() == platform::varFMTBcd; }
bool IsByteArray(const TnxVariant& v) { return v.VarType() == (platform::varArray | platform::varByte); }

// VT_I2, VT_I4, VT_R4, VT_R8, VT_CY and VT_UI1 to VT_I8 (not VT_I1).
bool IsNumericKind(const TnxVariant& v) {
  switch (v.VarType()) {
    case platform::varSmallint: case platform::varInteger: case platform::varSingle: case platform::varDouble:
    case platform::varCurrency: case platform::varByte: case platform::varWord: case platform::varLongWord:
    case platform::varInt64:
      return true;
    default:
      return false;
  }
}

// Bytes a type takes whatever its units (0: sized by the field).
int32_t FixedSize(TnxFieldType aType) {
  switch (aType) {
    case nxtBoolean: case nxtChar: case nxtByte: case nxtInt8: return 1;
    case nxtWideChar: case nxtWord16: case nxtInt16: return 2;
    case nxtWord32: case nxtInt32: case nxtAutoInc: case nxtRecRev: case nxtSingle: case nxtDate: case nxtTime:
      return 4;
    case nxtInt64: case nxtRefNr: case nxtDouble: case nxtCurrency: case nxtBCD: case nxtDateTime: return 8;
    case nxtExtended: return 10;
    case nxtGuid: return 16;
    default: return 0;
  }
}

void CheckLength(TnxFieldType aType, int32_t aLength) {
  if (aLength < FixedSize(aType) || aLength < 0) throw platform::ERangeError(platform::SRangeError);
}

[[noreturn]] void OutOfRange(int64_t aValue) { throw platform::Exception(platform::Format(kOutOfRange, {aValue})); }

// A double cut toward zero; outside the 64-bit range it is refused.
int64_t TruncChecked(double aValue) {
  if (std::isnan(aValue)) OutOfRange(0);
  const double t = std::trunc(aValue);
  if (t >= 9223372036854775808.0) OutOfRange(INT64_MAX);
  if (t < -9223372036854775808.0) OutOfRange(INT64_MIN);
  return static_cast<int64_t>(t);
}

// The integer digits of a BCD, cut toward zero.
int64_t BcdIntegerPart(const TBcd& aBcd) {
  int64_t c;
  if (!nxBcdToCurr(aBcd, c)) {
    // Beyond the currency range: through its text.
    return TruncChecked(nxBcdToDouble(aBcd));
  }
  return c / 10000;
}

// The value as a 64-bit integer for the integer types: a BCD's integer
// part, an integer exactly, anything else as a double cut toward zero.
int64_t IntegerOf(const TnxVariant& v) {
  if (IsBcd(v)) return BcdIntegerPart(v.BcdValue());
  if (v.IsOrdinal() && !(v.VarType() == platform::varUInt64 && v.AsUInt64Bits() > uint64_t(INT64_MAX)))
    return v.AsInt64();
  return TruncChecked(v.AsDouble());
}

void CheckRange(int64_t aValue, int64_t aMin, int64_t aMax) {
  if (aValue < aMin || aValue > aMax) OutOfRange(aValue);
}

double ParseFloat(const std::u16string& aText, const platform::TFormatSettings& aFS) {
  std::string t = platform::Utf16ToUtf8(platform::Trim(aText));
  for (char& c : t)
    if (c == static_cast<char>(aFS.DecimalSeparator)) c = '.';
    else if (c == '.') c = ',';  // a point is no separator in this locale
  char* end = nullptr;
  const double d = t.empty() ? 0 : std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0' || !std::isfinite(d))
    throw platform::EConvertError(platform::Format(u"'%s' ist kein g\u00FCltiger Gleitkommawert", {aText}));
  return d;
}

// The value as a double for the floating-point types.
double FloatOf(const TnxVariant& v, const platform::TFormatSettings& aFS) {
  if (IsNumericKind(v)) return v.AsDouble();
  if (IsBcd(v)) return nxBcdToDouble(v.BcdValue());
  return ParseFloat(v.AsString(), aFS);
}

float SingleChecked(double aValue) {
  if (std::isfinite(aValue) && std::fabs(aValue) > double(FLT_MAX)) OutOfRange(TruncChecked(aValue));
  return static_cast<float>(aValue);
}

void StoreExtended(uint8_t* aOut, long double aValue) {
  uint8_t bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &aValue, sizeof aValue);
  std::memcpy(aOut, bytes, 10);
}

long double LoadExtended(const uint8_t* aIn) {
  uint8_t bytes[sizeof(long double)] = {};
  std::memcpy(bytes, aIn, 10);
  long double v;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

TDateTime DateTimeOf(const TnxVariant& v, bool aParse, const platform::TFormatSettings& aFS) {
  if (aParse) return platform::StrToDateTime(v.AsString(), aFS);
  return v.AsDouble();
}

// Day number x 86,400,000 + milliseconds of the day.
double TimeStampMs(TDateTime aValue) {
  const platform::TTimeStamp ts = platform::DateTimeToTimeStamp(aValue);
  return double(ts.Date) * platform::MSecsPerDay + ts.Time;
}

void CheckNotZeroTimestamp(const TnxVariant& v) {
  if (IsNumericKind(v) && v.AsDouble() == 0) throw platform::Exception(u"0 (zero) is not a valid timestamp");
}

// --- text -----------------------------------------------------------------

size_t Utf16Cut(std::u16string_view aText, size_t aUnits) {
  // Never between the two halves of a surrogate pair.
  if (aUnits > 0 && aUnits < aText.size() && aText[aUnits] >= 0xDC00 && aText[aUnits] <= 0xDFFF &&
      aText[aUnits - 1] >= 0xD800 && aText[aUnits - 1] <= 0xDBFF)
    --aUnits;
  return aUnits;
}

// 8-bit text in a code page (0: the system's ANSI code page, as the
// runtime's default conversion does).
std::string Encode(std::u16string_view aText, uint32_t aCodePage) {
  if (aCodePage == 0) return platform::UnicodeToCodePageLossy(aText, platform::SystemAnsiCodePage());
  return nxWideStringToString(aText, static_cast<uint16_t>(aCodePage));
}

// The longest prefix of aText, at a character boundary, whose conversion
// fits aCapacity bytes. Conversions grow with the prefix, so a binary
// search over the prefix length finds it.
std::string EncodeCut(std::u16string_view aText, uint32_t aCodePage, size_t aCapacity) {
  std::string whole = Encode(aText, aCodePage);
  if (whole.size() <= aCapacity) return whole;
  size_t lo = 0, hi = aText.size();
  std::string best;
  while (lo < hi) {
    const size_t mid = Utf16Cut(aText, (lo + hi + 1) / 2);
    if (mid <= lo) {
      // Only a surrogate pair lies between: try past it.
      const size_t next = lo + 2 <= hi ? lo + 2 : hi;
      std::string s = Encode(aText.substr(0, next), aCodePage);
      if (s.size() <= aCapacity) {
        best = std::move(s);
        lo = next;
      } else {
        break;
      }
      continue;
    }
    std::string s = Encode(aText.substr(0, mid), aCodePage);
    if (s.size() <= aCapacity) {
      best = std::move(s);
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return best;
}

std::u16string_view DropTrailingBlanks(std::u16string_view aText) {
  while (!aText.empty() && aText.back() == u' ') aText.remove_suffix(1);
  return aText;
}

std::u16string SourceText(TnxFieldType aType, const TnxVariant& v) {
  std::vector<uint8_t> bytes;
  if ((aType == nxtNullString || aType == nxtBlobMemo) && nxBytesOfVariant(v, bytes))
    return platform::CodePageToUnicode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                       platform::SystemAnsiCodePage());
  return v.AsString();
}

void TextToAnsiField(TnxFieldType aType, uint16_t aCodePage, int32_t aLength, uint8_t* aBuffer,
                     const TnxVariant& aValue, int32_t aDecPl, bool aTruncate) {
  if (aLength < 1) throw platform::ERangeError(platform::SRangeError);
  const std::u16string source = SourceText(aType, aValue);
  std::u16string_view text = source;
  if (aDecPl > 0) {
    text = DropTrailingBlanks(text);
  } else if (IsOleString(aValue)) {
    while (text.size() >= size_t(aLength) && !text.empty() && text.back() == u' ') text.remove_suffix(1);
  }
  std::memset(aBuffer, 0, size_t(aLength));
  size_t capacity = size_t(aLength) - 1;
  const bool shortString = aType == nxtShortString;
  if (shortString && capacity > 255) capacity = 255;
  uint32_t cp = aCodePage;
  // An OLE string written to a short string without a code page takes the
  // thread's ANSI code page, as the runtime's short-string assignment does.
  if (cp == 0 && shortString && IsOleString(aValue)) cp = nxDefaultCodePage;
  std::string bytes = aTruncate ? EncodeCut(text, cp, capacity) : Encode(text, cp);
  if (bytes.size() > capacity) {
    if (aCodePage == 0)
      throw platform::Exception(platform::Format(kTooWide, {int64_t(bytes.size()), int64_t(capacity)}));
    throw platform::Exception(platform::Format(kTooWideForField, {int64_t(capacity)}));
  }
  uint8_t* out = aBuffer;
  if (shortString) *out++ = static_cast<uint8_t>(bytes.size());
  std::memcpy(out, bytes.data(), bytes.size());
}

void TextToWideField(int32_t aLength, uint8_t* aBuffer, const TnxVariant& aValue, int32_t aDecPl, bool aTruncate) {
  if (aLength < 2) throw platform::ERangeError(platform::SRangeError);
  const std::u16string source = aValue.AsString();
  std::u16string_view text = source;
  if (aDecPl > 0) {
    text = DropTrailingBlanks(text);
  } else {
    while (2 * text.size() >= size_t(aLength) && !text.empty() && text.back() == u' ') text.remove_suffix(1);
  }
  const size_t room = (size_t(aLength) - 2) / 2;
  if (text.size() > room) {
    if (!aTruncate)
      throw platform::Exception(platform::Format(kTooWide, {int64_t(text.size() * 2), int64_t(aLength - 2)}));
    text = text.substr(0, Utf16Cut(text, room));
  }
  std::memset(aBuffer, 0, size_t(aLength));
  for (size_t i = 0; i < text.size(); ++i) platform::StoreU16(aBuffer + 2 * i, text[i]);
}

// The one 8-bit character of a Char field.
uint8_t AnsiCharOf(uint16_t aCodePage, const TnxVariant& v) {
  std::string bytes;
  if (aCodePage != 0) {
    const std::u16string text = v.AsString();
    if (text.size() != 1) throw EnxBaseException(kInvalidChar);
    bytes = nxWideStringToString(text, aCodePage);
  } else if (v.VarType() == platform::varInteger) {
    const int64_t code = v.AsInt64();
    if (code < 0 || code > 255) throw EnxBaseException(kInvalidChar);
    bytes.assign(1, static_cast<char>(code));
  } else if (v.VarType() == platform::varString) {
    bytes = v.AnsiBytes();
  } else {
    bytes = Encode(v.AsString(), 0);
  }
  if (bytes.size() != 1) throw EnxBaseException(kInvalidChar);
  return static_cast<uint8_t>(bytes[0]);
}

char16_t WideCharOf(const TnxVariant& v) {
  const std::u16string text = v.AsString();
  if (text.size() != 1) throw EnxBaseException(kInvalidChar);
  return text[0];
}

platform::TGUID GuidOf(const TnxVariant& v) {
  const std::u16string text = v.AsString();
  platform::TGUID g;
  if (!platform::TryStringToGUID(text, g))
    throw platform::EConvertError(platform::Format(u"'%s' kein g\u00FCltiger Wert f\u00FCr GUID", {text}));
  return g;
}

int64_t CurrencyOf(const TnxVariant& v) {
  if (IsBcd(v)) {
    int64_t c;
    if (!nxBcdToCurr(v.BcdValue(), c)) throw EnxBcdOverflow(nxeOutOfRange, u"BCD overflow");
    return c;
  }
  return v.AsCurrency();
}

std::u16string AnsiToVariantText(std::string_view aBytes, uint16_t aCodePage, int32_t aDecPl) {
  std::u16string text;
  if (aCodePage != 0)
    text = nxStringToWideString(aBytes, aCodePage);
  else if (aDecPl <= 0)
    text = nxStringToWideString(aBytes, static_cast<uint16_t>(nxDefaultCodePage));
  else
    text = platform::CodePageToUnicode(aBytes, platform::SystemAnsiCodePage());
  return text;
}

void PadTo(std::u16string& aText, int32_t aDecPl) {
  if (aDecPl > 0 && aText.size() < size_t(aDecPl)) aText.append(size_t(aDecPl) - aText.size(), u' ');
}

}  // namespace

bool nxVarIsEmptyOrNull(const TnxVariant& aValue) noexcept { return aValue.IsEmpty() || aValue.IsNull(); }

TnxVariant nxBytesToVariant(const uint8_t* aBytes, int32_t aCount) {
  TnxVariant v = TnxVariant::VarArrayCreate({{0, aCount - 1}}, platform::varByte);
  for (int32_t i = 0; i < aCount; ++i) v.PutElement({i}, TnxVariant::FromByte(aBytes[i]));
  return v;
}

bool nxBytesOfVariant(const TnxVariant& aValue, std::vector<uint8_t>& aBytes) {
  if (!IsByteArray(aValue) || aValue.VarArrayDimCount() != 1) return false;
  const int32_t low = aValue.VarArrayLowBound(1), high = aValue.VarArrayHighBound(1);
  aBytes.clear();
  aBytes.reserve(size_t(int64_t{high} - low + 1));
  for (int64_t i = low; i <= high; ++i)
    aBytes.push_back(static_cast<uint8_t>(aValue.GetElement({static_cast<int32_t>(i)}).AsInt64()));
  return true;
}

void nxNativeToVariant(TnxFieldType aType, uint16_t aCodePage, int32_t /*aUnits*/, TnxVariant& aResult,
                       int32_t aLength, const void* aBuffer, int32_t aDecPl) {
  if (aType == nxtInterval || aType >= nxFieldTypeCount) return;
  CheckLength(aType, aLength);
  const auto* p = static_cast<const uint8_t*>(aBuffer);
  switch (aType) {
    case nxtBoolean: aResult = TnxVariant::FromBoolean(p[0] != 0); break;
    case nxtChar:
      aResult = TnxVariant::FromString(aCodePage == 0 ? std::u16string(1, char16_t(p[0]))
                                                      : nxStringToWideString(std::string_view(
                                                            reinterpret_cast<const char*>(p), 1), aCodePage));
      break;
    case nxtWideChar: aResult = TnxVariant::FromString(std::u16string(1, char16_t(platform::LoadU16(p)))); break;
    case nxtByte: aResult = TnxVariant::FromByte(p[0]); break;
    case nxtWord16: aResult = TnxVariant::FromWord(platform::LoadU16(p)); break;
    case nxtInt8: aResult = TnxVariant::FromShortInt(static_cast<int8_t>(p[0])); break;
    case nxtInt16: aResult = TnxVariant::FromSmallint(static_cast<int16_t>(platform::LoadU16(p))); break;
    case nxtInt32: aResult = TnxVariant::FromInteger(static_cast<int32_t>(platform::LoadU32(p))); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: {
      const uint32_t v = platform::LoadU32(p);
      aResult = v < 0x80000000u ? TnxVariant::FromInteger(int32_t(v)) : TnxVariant::FromDouble(v);
      break;
    }
    case nxtInt64: case nxtRefNr: aResult = TnxVariant::FromInt64(static_cast<int64_t>(platform::LoadU64(p))); break;
    case nxtSingle: aResult = TnxVariant::FromDouble(platform::LoadLE<float>(p)); break;
    case nxtDouble: aResult = TnxVariant::FromDouble(platform::LoadLE<double>(p)); break;
    case nxtExtended: aResult = TnxVariant::FromDouble(static_cast<double>(LoadExtended(p))); break;
    case nxtCurrency: case nxtBCD:
      aResult = TnxVariant::FromCurrency(static_cast<int64_t>(platform::LoadU64(p)));
      break;
    case nxtDate:
      aResult = TnxVariant::FromDate(double(int64_t{static_cast<int32_t>(platform::LoadU32(p))} - platform::DateDelta));
      break;
    case nxtTime:
      aResult = TnxVariant::FromDate(static_cast<int32_t>(platform::LoadU32(p)) / double(platform::MSecsPerDay));
      break;
    case nxtDateTime: {
      const double stored = platform::LoadLE<double>(p);
      // The stored number comes from a record: refused when it is no
      // timestamp of the calendar, before it is made an integer.
      if (!(std::fabs(stored) < 1e15)) throw platform::EConvertError(u"Ung\u00FCltiger Zeitstempel");
      const int64_t ms = std::llround(stored);
      const int64_t days = ms / platform::MSecsPerDay, time = ms % platform::MSecsPerDay;
      const double date = double(days - platform::DateDelta);
      const double frac = double(time < 0 ? -time : time) / platform::MSecsPerDay;
      aResult = TnxVariant::FromDate(date >= 0 ? date + frac : date - frac);
      break;
    }
    case nxtBlob: case nxtBlobGraphic: case nxtByteArray: aResult = nxBytesToVariant(p, aLength); break;
    case nxtBlobMemo: case nxtNullString: {
      const auto* c = reinterpret_cast<const char*>(p);
      std::u16string text = AnsiToVariantText(std::string_view(c, ::strnlen(c, size_t(aLength))), aCodePage, aDecPl);
      PadTo(text, aDecPl);
      aResult = TnxVariant::FromString(std::move(text));
      break;
    }
    case nxtShortString: {
      if (aLength < 1) throw platform::ERangeError(platform::SRangeError);
      const size_t n = std::min<size_t>(p[0], size_t(aLength) - 1);
      std::u16string text = AnsiToVariantText(std::string_view(reinterpret_cast<const char*>(p + 1), n), aCodePage,
                                              aDecPl);
      PadTo(text, aDecPl);
      aResult = TnxVariant::FromString(std::move(text));
      break;
    }
    case nxtWideString: case nxtBlobWideMemo: {
      std::u16string text;
      for (int32_t i = 0; i + 1 < aLength; i += 2) {
        const char16_t c = platform::LoadU16(p + i);
        if (c == 0) break;
        text.push_back(c);
      }
      PadTo(text, aDecPl);
      aResult = TnxVariant::FromString(std::move(text));
      break;
    }
    case nxtGuid: aResult = TnxVariant::FromString(platform::GUIDToString(platform::GUIDFromBytes(p))); break;
    case nxtFmtBCD: {
      TBcd b;
      const int32_t n = aLength < 34 ? aLength : 34;
      if (n >= 1) b.Precision = p[0];
      if (n >= 2) b.SignSpecialPlaces = p[1];
      if (n > 2) std::memcpy(b.Fraction, p + 2, size_t(n - 2));
      nxBcdToVariant(b, aResult);
      break;
    }
    default: break;
  }
}

void nxVariantToFieldBuffer(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aLength, void* aBuffer,
                            const TnxVariant& aValue, int32_t aDecPl) {
  nxVariantToFieldBufferFS(aType, aCodePage, aUnits, aLength, aBuffer, aValue, aDecPl,
                           nxGetFormatSettings(platform::GetThreadLocale()), false);
}

void nxVariantToFieldBufferFS(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aLength,
                              void* aBuffer, const TnxVariant& aValue, int32_t aDecPl,
                              const platform::TFormatSettings& aFS, bool aTruncate) {
  if (aType == nxtInterval || aType == nxtBlob || aType == nxtBlobGraphic || aType >= nxFieldTypeCount) return;
  CheckLength(aType, aLength);
  auto* p = static_cast<uint8_t*>(aBuffer);
  switch (aType) {
    case nxtBoolean:
      if (IsBcd(aValue))
        p[0] = nxBcdCompare(aValue.BcdValue(), platform::BcdZero()) > 0 ? 1 : 0;
      else
        p[0] = aValue.AsBoolean() ? 1 : 0;
      break;
    case nxtChar: p[0] = AnsiCharOf(aCodePage, aValue); break;
    case nxtWideChar: platform::StoreU16(p, WideCharOf(aValue)); break;
    case nxtByte: { const int64_t v = IntegerOf(aValue); CheckRange(v, 0, 255); p[0] = uint8_t(v); break; }
    case nxtInt8: { const int64_t v = IntegerOf(aValue); CheckRange(v, -128, 127); p[0] = uint8_t(v); break; }
    case nxtWord16: {
      const int64_t v = IntegerOf(aValue);
      CheckRange(v, 0, 65535);
      platform::StoreU16(p, uint16_t(v));
      break;
    }
    case nxtInt16: {
      const int64_t v = IntegerOf(aValue);
      CheckRange(v, -32768, 32767);
      platform::StoreU16(p, uint16_t(v));
      break;
    }
    // AutoInc and RecRev are checked as Word32: a value beyond 32 bits is
    // refused, not cut to its low half.
    case nxtWord32: case nxtAutoInc: case nxtRecRev: {
      const int64_t v = IntegerOf(aValue);
      CheckRange(v, 0, 4294967295LL);
      platform::StoreU32(p, uint32_t(v));
      break;
    }
    case nxtInt32: {
      const int64_t v = IntegerOf(aValue);
      CheckRange(v, INT32_MIN, INT32_MAX);
      platform::StoreU32(p, uint32_t(v));
      break;
    }
    case nxtInt64: case nxtRefNr: {
      int64_t v;
      switch (aValue.VarType()) {
        case platform::varFMTBcd: v = BcdIntegerPart(aValue.BcdValue()); break;
        case platform::varSingle: case platform::varDouble: case platform::varDate:
          v = TruncChecked(aValue.AsDouble());
          break;
        case platform::varCurrency: v = aValue.AsCurrency() / 10000; break;
        case platform::varInt64: v = aValue.AsInt64(); break;
        default: v = aValue.AsInt64(); break;
      }
      platform::StoreU64(p, uint64_t(v));
      break;
    }
    case nxtSingle: platform::StoreLE(p, SingleChecked(FloatOf(aValue, aFS))); break;
    case nxtDouble: platform::StoreLE(p, FloatOf(aValue, aFS)); break;
    case nxtExtended: {
      long double v;
      if (IsBcd(aValue)) {
        std::string text = platform::Utf16ToUtf8(nxBcdToStr(aValue.BcdValue()));
        for (char& c : text)
          if (c == static_cast<char>(platform::FormatSettings().DecimalSeparator)) c = '.';
        char* end = nullptr;
        v = std::strtold(text.c_str(), &end);
        if (*end != '\0') throw platform::Exception(u"Could not convert FmtBCD to Extended");
      } else {
        v = FloatOf(aValue, aFS);
      }
      StoreExtended(p, v);
      break;
    }
    case nxtCurrency: platform::StoreU64(p, uint64_t(CurrencyOf(aValue))); break;
    case nxtDate: {
      const TDateTime v = DateTimeOf(aValue, IsAnyString(aValue), aFS);
      platform::StoreU32(p, uint32_t(platform::DateTimeToTimeStamp(v).Date));
      break;
    }
    case nxtTime: {
      const TDateTime v = DateTimeOf(aValue, IsAnyString(aValue), aFS);
      platform::StoreU32(p, uint32_t(platform::DateTimeToTimeStamp(v).Time));
      break;
    }
    case nxtDateTime: {
      CheckNotZeroTimestamp(aValue);
      platform::StoreLE(p, TimeStampMs(DateTimeOf(aValue, IsAnyString(aValue), aFS)));
      break;
    }
    case nxtBlobMemo: case nxtNullString: case nxtShortString:
      TextToAnsiField(aType, aCodePage, aLength, p, aValue, aDecPl, aTruncate);
      break;
    case nxtWideString: case nxtBlobWideMemo: TextToWideField(aLength, p, aValue, aDecPl, aTruncate); break;
    case nxtByteArray: {
      std::memset(p, 0, size_t(aLength));
      std::vector<uint8_t> bytes;
      if (!nxBytesOfVariant(aValue, bytes)) break;
      if (bytes.size() > size_t(aLength)) {
        if (!aTruncate) throw platform::Exception(platform::Format(kTooWide, {int64_t(bytes.size()), aLength}));
        bytes.resize(size_t(aLength));
      }
      std::memcpy(p, bytes.data(), bytes.size());
      break;
    }
    case nxtGuid: platform::GUIDToBytes(GuidOf(aValue), p); break;
    case nxtBCD: {
      int64_t c;
      if (IsBcd(aValue))
        c = CurrencyOf(aValue);
      else if (IsAnyString(aValue))
        c = nxVariantToBcdCurr(TnxVariant::FromDouble(ParseFloat(aValue.AsString(), aFS)), aUnits, aDecPl);
      else
        c = nxVariantToBcdCurr(aValue, aUnits, aDecPl);
      platform::StoreU64(p, uint64_t(c));
      break;
    }
    case nxtFmtBCD:
      nxVariantToFmtBcdBuffer(aValue, static_cast<uint16_t>(aUnits), static_cast<uint16_t>(aDecPl), p, aLength);
      break;
    default: break;
  }
}

void nxVariantToNative(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, std::vector<uint8_t>& aBytes,
                       const TnxVariant& aValue, int32_t aDecPl) {
  nxVariantToNativeFS(aType, aCodePage, aUnits, aBytes, aValue, aDecPl,
                      nxGetFormatSettings(platform::GetThreadLocale()));
}

namespace {

std::string NativeText(std::u16string_view aText, uint16_t aCodePage, int32_t aDecPl) {
  if (aDecPl > 0) aText = DropTrailingBlanks(aText);
  return Encode(aText, aCodePage);
}

TDateTime IsoOrConverted(TnxFieldType aType, const TnxVariant& v) {
  if (!IsAnyString(v)) return v.AsDouble();
  switch (aType) {
    case nxtDate: return nxVariantToIsoDate(v);
    case nxtTime: return nxVariantToIsoTime(v);
    default: return nxVariantToIsoDateTime(v);
  }
}

}  // namespace

void nxVariantToNativeFS(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, std::vector<uint8_t>& aBytes,
                         const TnxVariant& aValue, int32_t aDecPl, const platform::TFormatSettings& aFS) {
  if (aValue.IsNull()) {
    aBytes.clear();
    return;
  }
  if (aType == nxtBlob) return;
  std::vector<uint8_t> out;
  auto sized = [&](size_t n) -> uint8_t* {
    out.assign(n, 0);
    return out.data();
  };
  switch (aType) {
    case nxtBoolean: *sized(1) = aValue.AsBoolean() ? 0xFF : 0; break;
    case nxtChar: case nxtWideChar: case nxtInt64: case nxtRefNr: {
      const int32_t n = FixedSize(aType);
      nxVariantToFieldBufferFS(aType, aCodePage, aUnits, n, sized(size_t(n)), aValue, aDecPl, aFS, false);
      break;
    }
    case nxtByte: case nxtInt8: *sized(1) = uint8_t(aValue.AsInt64()); break;
    case nxtWord16: case nxtInt16: platform::StoreU16(sized(2), uint16_t(aValue.AsInt64())); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: case nxtInt32:
      platform::StoreU32(sized(4), uint32_t(aValue.AsInt64()));
      break;
    case nxtSingle: platform::StoreLE(sized(4), SingleChecked(aValue.AsDouble())); break;
    case nxtDouble: platform::StoreLE(sized(8), aValue.AsDouble()); break;
    case nxtExtended: StoreExtended(sized(10), aValue.AsDouble()); break;
    case nxtCurrency: platform::StoreU64(sized(8), uint64_t(aValue.AsCurrency())); break;
    case nxtDate:
      platform::StoreU32(sized(4), uint32_t(platform::DateTimeToTimeStamp(IsoOrConverted(aType, aValue)).Date));
      break;
    case nxtTime:
      platform::StoreU32(sized(4), uint32_t(platform::DateTimeToTimeStamp(IsoOrConverted(aType, aValue)).Time));
      break;
    case nxtDateTime:
      CheckNotZeroTimestamp(aValue);
      platform::StoreLE(sized(8), TimeStampMs(IsoOrConverted(aType, aValue)));
      break;
    case nxtNullString: case nxtBlobMemo: {
      const std::string text = NativeText(aValue.AsString(), aCodePage, aDecPl);
      std::memcpy(sized(text.size() + 1), text.data(), text.size());
      break;
    }
    case nxtShortString: {
      const std::string text = NativeText(aValue.AsString(), aCodePage, aDecPl);
      if (text.size() > 255) throw platform::Exception(platform::Format(kTooWide, {int64_t(text.size()), 255}));
      uint8_t* p = sized(text.size() + 1);
      p[0] = uint8_t(text.size());
      std::memcpy(p + 1, text.data(), text.size());
      break;
    }
    case nxtWideString: case nxtBlobWideMemo: {
      const std::u16string source = aValue.AsString();
      const std::u16string_view text = aDecPl > 0 ? DropTrailingBlanks(source) : std::u16string_view(source);
      uint8_t* p = sized(text.size() * 2 + 2);
      for (size_t i = 0; i < text.size(); ++i) platform::StoreU16(p + 2 * i, text[i]);
      break;
    }
    case nxtByteArray: nxBytesOfVariant(aValue, out); break;
    case nxtGuid: platform::GUIDToBytes(GuidOf(aValue), sized(16)); break;
    case nxtBCD: platform::StoreU64(sized(8), uint64_t(nxVariantToBcdCurr(aValue, aUnits, aDecPl))); break;
    case nxtFmtBCD: {
      if (aUnits < 1 || aUnits > platform::kMaxBcdDigits) throw EnxBcdOverflow(nxeOutOfRange, u"BCD overflow");
      const int32_t n = (aUnits + 1) / 2 + 2;
      nxVariantToFmtBcdBuffer(aValue, static_cast<uint16_t>(aUnits), static_cast<uint16_t>(aDecPl), sized(size_t(n)),
                              n);
      break;
    }
    default: break;  // nxtInterval, nxtBlobGraphic, from 32 up: empty
  }
  aBytes = std::move(out);
}

}  // namespace revurov
