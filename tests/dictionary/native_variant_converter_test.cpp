#include "dictionary/native_variant_converter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dictionary/fmt_bcd.h"
#include "dictionary/startup.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/date_time.h"
#include "platform/text.h"

namespace revurov {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::TnxVariant;

// A field of a type with the units and decimals asked for, set up as the
// field descriptor sets it up.
struct Field {
  TnxFieldType type;
  int32_t units = 0, decPl = 0;
  uint16_t codePage = 0;
  int32_t length = 0;

  Field(TnxFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0, uint16_t aCodePage = 0)
      : type(aType), units(aUnits), decPl(aDecPl), codePage(aCodePage) {
    bool required = false;
    nxFieldTypeSetup(type, units, decPl, required, length);
  }

  Bytes Write(const TnxVariant& v, bool truncate = false) const {
    Bytes buf(size_t(length), 0);
    nxVariantToFieldBufferFS(type, codePage, units, length, buf.data(), v, decPl, Invariant(), truncate);
    return buf;
  }

  TnxVariant Read(const Bytes& buf, TnxVariant start = TnxVariant()) const {
    nxNativeToVariant(type, codePage, units, start, length, buf.data(), decPl);
    return start;
  }

  static const platform::TFormatSettings& Invariant() {
    static const platform::TFormatSettings fs{};
    return fs;
  }
};

Bytes LE(uint64_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
  return b;
}

template <class T>
Bytes Raw(T v, int n = sizeof(T)) {
  Bytes b(size_t(n), 0);
  std::memcpy(b.data(), &v, size_t(n) < sizeof v ? size_t(n) : sizeof v);
  return b;
}

TBcd Bcd(std::u16string_view text) { return nxStrToBcdSep(text, u'.'); }

TBcd Packed(uint8_t precision, uint8_t signScale, std::initializer_list<uint8_t> fraction) {
  TBcd b;
  b.Precision = precision;
  b.SignSpecialPlaces = signScale;
  int i = 0;
  for (uint8_t f : fraction) b.Fraction[i++] = f;
  return b;
}

class Converter : public ::testing::Test {
protected:
  TnxDictionaryStartupGuard dictionary;
};

// Variant -> field -> variant for every field type.
TEST_F(Converter, RoundTripsEveryFieldType) {
  const double jan31 = platform::EncodeDate(2024, 1, 31);
  const platform::TGUID guid = platform::StringToGUID(u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  uint8_t guidBytes[16];
  platform::GUIDToBytes(guid, guidBytes);
  struct Row {
    Field field;
    TnxVariant in;
    Bytes stored;
    TnxVariant back;
  };
  const TnxVariant untouched = TnxVariant::FromString(u"untouched");
  const Row rows[] = {
      {Field(nxtBoolean), TnxVariant::FromBoolean(true), {1}, TnxVariant::FromBoolean(true)},
      {Field(nxtBoolean), TnxVariant::FromBcd(Bcd(u"-0.5")), {0}, TnxVariant::FromBoolean(false)},
      {Field(nxtChar, 1, 0, 1252), TnxVariant::FromString(u"\u00E9"), {0xE9}, TnxVariant::FromString(u"\u00E9")},
      {Field(nxtChar), TnxVariant::FromInteger(65), {65}, TnxVariant::FromString(u"A")},
      {Field(nxtWideChar), TnxVariant::FromString(u"\u03A9"), {0xA9, 0x03}, TnxVariant::FromString(u"\u03A9")},
      {Field(nxtByte), TnxVariant::FromDouble(2.9), {2}, TnxVariant::FromByte(2)},
      {Field(nxtWord16), TnxVariant::FromDouble(-0.5), {0, 0}, TnxVariant::FromWord(0)},
      {Field(nxtWord32), TnxVariant::FromDouble(3e9), LE(3000000000u, 4), TnxVariant::FromDouble(3e9)},
      {Field(nxtInt8), TnxVariant::FromInteger(-128), {0x80}, TnxVariant::FromShortInt(-128)},
      {Field(nxtInt16), TnxVariant::FromString(u"-300"), {0xD4, 0xFE}, TnxVariant::FromSmallint(-300)},
      {Field(nxtInt32), TnxVariant::FromInteger(INT32_MIN), LE(0x80000000u, 4), TnxVariant::FromInteger(INT32_MIN)},
      {Field(nxtInt64), TnxVariant::FromCurrency(-15000), LE(uint64_t(-1), 8), TnxVariant::FromInt64(-1)},
      {Field(nxtInt64), TnxVariant::FromBcd(Bcd(u"-7.9")), LE(uint64_t(-7), 8), TnxVariant::FromInt64(-7)},
      {Field(nxtAutoInc), TnxVariant::FromInt64(4294967295), LE(0xFFFFFFFF, 4), TnxVariant::FromDouble(4294967295.0)},
      {Field(nxtSingle), TnxVariant::FromDouble(1.5), Raw(1.5f), TnxVariant::FromDouble(1.5)},
      {Field(nxtDouble), TnxVariant::FromString(u"2.5"), Raw(2.5), TnxVariant::FromDouble(2.5)},
      {Field(nxtExtended), TnxVariant::FromBcd(Bcd(u"1.25")), Raw(1.25L, 10), TnxVariant::FromDouble(1.25)},
      {Field(nxtCurrency), TnxVariant::FromDouble(1.23456), LE(12346, 8), TnxVariant::FromCurrency(12346)},
      {Field(nxtDate), TnxVariant::FromString(u"01/31/2024"), LE(uint32_t(jan31) + 693594, 4),
       TnxVariant::FromDate(jan31)},
      {Field(nxtTime), TnxVariant::FromDate(jan31 + 0.5), LE(43200000, 4), TnxVariant::FromDate(0.5)},
      {Field(nxtDateTime), TnxVariant::FromString(u"01/31/2024 12:00:00"),
       Raw((jan31 + 693594) * 86400000.0 + 43200000.0), TnxVariant::FromDate(jan31 + 0.5)},
      {Field(nxtInterval), TnxVariant::FromDouble(1), Bytes(8, 0), untouched},
      {Field(nxtBlob), TnxVariant::FromInteger(5), Bytes(8, 0), nxBytesToVariant(Bytes(8, 0).data(), 8)},
      {Field(nxtBlobMemo), TnxVariant::FromString(u"abc"), {'a', 'b', 'c', 0, 0, 0, 0, 0},
       TnxVariant::FromString(u"abc")},
      {Field(nxtBlobGraphic), TnxVariant::FromInteger(5), Bytes(8, 0), nxBytesToVariant(Bytes(8, 0).data(), 8)},
      {Field(nxtByteArray, 4), nxBytesToVariant(Bytes{1, 2, 3}.data(), 3), {1, 2, 3, 0},
       nxBytesToVariant(Bytes{1, 2, 3, 0}.data(), 4)},
      {Field(nxtShortString, 5, 0, 1252), TnxVariant::FromString(u"h\u00E9llo"), {5, 'h', 0xE9, 'l', 'l', 'o'},
       TnxVariant::FromString(u"h\u00E9llo")},
      {Field(nxtNullString, 4, 6), TnxVariant::FromString(u"ab  "), {'a', 'b', 0, 0, 0},
       TnxVariant::FromString(u"ab  ")},
      {Field(nxtWideString, 3), TnxVariant::FromString(u"\u03A9x"), {0xA9, 0x03, 'x', 0, 0, 0, 0, 0},
       TnxVariant::FromString(u"\u03A9x")},
      {Field(nxtRecRev), TnxVariant::FromInteger(7), LE(7, 4), TnxVariant::FromInteger(7)},
      {Field(nxtGuid), TnxVariant::FromString(u"{01234567-89ab-cdef-0123-456789abcdef}"),
       Bytes(guidBytes, guidBytes + 16), TnxVariant::FromString(u"{01234567-89AB-CDEF-0123-456789ABCDEF}")},
      {Field(nxtBCD, 0, 2), TnxVariant::FromString(u"12.345"), LE(123400, 8), TnxVariant::FromCurrency(123400)},
      {Field(nxtBCD, 0, 2), TnxVariant::FromBcd(Bcd(u"1.23456")), LE(12346, 8), TnxVariant::FromCurrency(12346)},
      {Field(nxtBlobWideMemo), TnxVariant::FromString(u"ab"), {'a', 0, 'b', 0, 0, 0, 0, 0},
       TnxVariant::FromString(u"ab")},
      {Field(nxtFmtBCD, 5, 2), TnxVariant::FromString(u"-12.5"), {5, 0x82, 0x01, 0x25, 0x00},
       TnxVariant::FromBcd(Packed(5, 0x82, {0x01, 0x25, 0x00}))},
      {Field(nxtRefNr), TnxVariant::FromString(u"123456789012"), LE(123456789012, 8),
       TnxVariant::FromInt64(123456789012)},
  };
  bool seen[nxFieldTypeCount] = {};
  for (const auto& r : rows) {
    seen[r.field.type] = true;
    const Bytes stored = r.field.Write(r.in);
    EXPECT_EQ(stored, r.stored) << nxFieldTypeNames[r.field.type].size() << " type " << int(r.field.type);
    const TnxVariant back = r.field.Read(stored, untouched);
    EXPECT_TRUE(back == r.back) << "type " << int(r.field.type) << ": " << platform::Utf16ToUtf8(back.AsString());
  }
  for (int t = 0; t < nxFieldTypeCount; ++t) EXPECT_TRUE(seen[t]) << t;
}

TEST_F(Converter, RefusesWhatDoesNotFit) {
  struct Row {
    Field field;
    TnxVariant in;
    std::u16string message;
  };
  const Row rows[] = {
      {Field(nxtByte), TnxVariant::FromInteger(300), u"Value out of range for the target column type: 300"},
      {Field(nxtWord16), TnxVariant::FromInteger(-1), u"Value out of range for the target column type: -1"},
      {Field(nxtInt8), TnxVariant::FromDouble(128.5), u"Value out of range for the target column type: 128"},
      {Field(nxtInt32), TnxVariant::FromDouble(3e9), u"Value out of range for the target column type: 3000000000"},
      {Field(nxtWord32), TnxVariant::FromUInt64(UINT64_MAX),
       u"Value out of range for the target column type: 9223372036854775807"},
      // Not wrapped to the low 32 bits.
      {Field(nxtAutoInc), TnxVariant::FromInt64(4294967296),
       u"Value out of range for the target column type: 4294967296"},
      {Field(nxtRecRev), TnxVariant::FromInteger(-1), u"Value out of range for the target column type: -1"},
      {Field(nxtSingle), TnxVariant::FromDouble(1e39),
       u"Value out of range for the target column type: 9223372036854775807"},
      {Field(nxtChar, 1, 0, 1252), TnxVariant::FromString(u"ab"), u"Invalid char format (length must be exactly 1)"},
      {Field(nxtChar, 1, 0, 65001), TnxVariant::FromString(u"\u00E9"),
       u"Invalid char format (length must be exactly 1)"},
      {Field(nxtChar), TnxVariant::FromInteger(256), u"Invalid char format (length must be exactly 1)"},
      {Field(nxtWideChar), TnxVariant::FromString(u""), u"Invalid char format (length must be exactly 1)"},
      {Field(nxtNullString, 4), TnxVariant::FromString(u"abcde"),
       u"Source string data is too wide (5) for the target field (4)"},
      {Field(nxtNullString, 4, 0, 1252), TnxVariant::FromString(u"abcde"),
       u"Source string data is too wide for the target field (4)"},
      // Blanks of other than OLE strings are kept.
      {Field(nxtNullString, 2), TnxVariant::FromAnsiString("ab  "),
       u"Source string data is too wide (4) for the target field (2)"},
      {Field(nxtShortString, 2, 0, 65001), TnxVariant::FromString(u"a\u00E9"),
       u"Source string data is too wide for the target field (2)"},
      {Field(nxtWideString, 2), TnxVariant::FromString(u"abc"),
       u"Source string data is too wide (6) for the target field (4)"},
      {Field(nxtByteArray, 2), nxBytesToVariant(Bytes{1, 2, 3}.data(), 3),
       u"Source string data is too wide (3) for the target field (2)"},
      {Field(nxtDateTime), TnxVariant::FromInteger(0), u"0 (zero) is not a valid timestamp"},
      {Field(nxtGuid), TnxVariant::FromString(u"xyz"), u"'xyz' kein g\u00FCltiger Wert f\u00FCr GUID"},
      {Field(nxtDate), TnxVariant::FromString(u"2024-01-31"),
       u"'2024-01-31' ist kein g\u00FCltiges Datum und Uhrzeit"},
      {Field(nxtDouble), TnxVariant::FromString(u"abc"), u"'abc' ist kein g\u00FCltiger Gleitkommawert"},
  };
  for (const auto& r : rows) {
    try {
      r.field.Write(r.in);
      ADD_FAILURE() << "no exception for type " << int(r.field.type);
    } catch (const platform::Exception& e) {
      // The library's own exceptions frame their text with its name and code.
      const bool own = dynamic_cast<const EnxBaseException*>(&e) != nullptr;
      if (own)
        EXPECT_NE(e.Message().find(r.message), std::u16string::npos) << "type " << int(r.field.type);
      else
        EXPECT_EQ(e.Message(), r.message) << "type " << int(r.field.type);
    }
  }
  // The library's own BCD error: code and text.
  for (const Field& f : {Field(nxtBCD, 3, 1), Field(nxtFmtBCD, 3, 0)}) {
    try {
      f.Write(TnxVariant::FromInteger(1000));
      ADD_FAILURE() << int(f.type);
    } catch (const EnxBcdOverflow& e) {
      EXPECT_EQ(e.ErrorCode(), 9985u);
    }
  }
}

TEST_F(Converter, TruncationCutsTextAtCharacterBoundariesByBytes) {
  struct Row {
    Field field;
    std::u16string in;
    Bytes stored;
  };
  const Row rows[] = {
      {Field(nxtNullString, 4), u"abcde", {'a', 'b', 'c', 'd', 0}},
      // Four two-byte characters into four bytes: two of them, not a failure.
      {Field(nxtNullString, 4, 0, 65001), u"\u00E4\u00E4\u00E4\u00E4", {0xC3, 0xA4, 0xC3, 0xA4, 0}},
      {Field(nxtNullString, 4, 0, 65001), u"a\u00E4\u00E4", {'a', 0xC3, 0xA4, 0, 0}},
      {Field(nxtShortString, 3, 0, 65001), u"a\U0001F600b", {1, 'a', 0, 0}},
      {Field(nxtWideString, 2), u"a\U0001F600", {'a', 0, 0, 0, 0, 0}},
      {Field(nxtWideString, 2), u"abc", {'a', 0, 'b', 0, 0, 0}},
  };
  for (const auto& r : rows)
    EXPECT_EQ(r.field.Write(TnxVariant::FromString(r.in), true), r.stored) << platform::Utf16ToUtf8(r.in);
  EXPECT_EQ(Field(nxtByteArray, 2).Write(nxBytesToVariant(Bytes{1, 2, 3}.data(), 3), true), (Bytes{1, 2}));
}

TEST_F(Converter, TrailingBlanksOfOleStringsGoWhileTheTextFillsTheField) {
  EXPECT_EQ(Field(nxtNullString, 2).Write(TnxVariant::FromString(u"ab  ")), (Bytes{'a', 'b', 0}));
  EXPECT_EQ(Field(nxtNullString, 5).Write(TnxVariant::FromString(u"ab  ")), (Bytes{'a', 'b', ' ', ' ', 0, 0}));
  EXPECT_EQ(Field(nxtWideString, 2).Write(TnxVariant::FromString(u"ab ")), (Bytes{'a', 0, 'b', 0, 0, 0}));
  // Fixed width: read padded, written back without the blanks.
  const Field fixed(nxtNullString, 4, 6);
  const TnxVariant padded = fixed.Read({'a', 'b', 0, 0, 0});
  EXPECT_EQ(padded.AsString(), u"ab  ");
  EXPECT_EQ(fixed.Write(padded), (Bytes{'a', 'b', 0, 0, 0}));
}

TEST_F(Converter, ReadsStoredValuesWithoutLeavingTheField) {
  // A length byte beyond the field, a text without its terminating zero.
  EXPECT_EQ(Field(nxtShortString, 3).Read({200, 'a', 'b', 'c'}).AsString(), u"abc");
  EXPECT_EQ(Field(nxtNullString, 2).Read({'a', 'b', 'c'}).AsString(), u"abc");
  EXPECT_EQ(Field(nxtWideString, 1).Read({'a', 0, 'b', 0}).AsString(), u"ab");
  EXPECT_EQ(Field(nxtChar).Read({0xE9}).AsString(), u"\u00E9");
  EXPECT_EQ(Field(nxtWord32).Read(LE(3000000000u, 4)).VarType(), platform::varDouble);
  EXPECT_EQ(Field(nxtWord32).Read(LE(0x7FFFFFFF, 4)).VarType(), platform::varInteger);
  EXPECT_THROW(Field(nxtDateTime).Read(Raw(std::numeric_limits<double>::quiet_NaN())), platform::EConvertError);
  // 1899-12-29 06:00 as stored: the day before day 0, a quarter day on.
  EXPECT_DOUBLE_EQ(Field(nxtDateTime).Read(Raw(693593 * 86400000.0 + 21600000.0)).AsDouble(), -1.25);
  TnxVariant v = TnxVariant::FromInteger(3);
  nxNativeToVariant(static_cast<TnxFieldType>(32), 0, 0, v, 4, Bytes(4).data(), 0);
  EXPECT_TRUE(v == TnxVariant::FromInteger(3));
  Bytes shortBuffer(2);
  EXPECT_THROW(nxNativeToVariant(nxtInt32, 0, 0, v, 2, shortBuffer.data(), 0), platform::ERangeError);
  EXPECT_THROW(nxVariantToFieldBufferFS(nxtInt64, 0, 0, 2, shortBuffer.data(), TnxVariant::FromInteger(1), 0,
                                        Field::Invariant(), false),
               platform::ERangeError);
}

TEST_F(Converter, ParametersTakeTheNativeSizeAndIsoText) {
  struct Row {
    Field field;
    TnxVariant in;
    Bytes bytes;
  };
  const double jan31 = platform::EncodeDate(2024, 1, 31);
  const Row rows[] = {
      {Field(nxtBoolean), TnxVariant::FromBoolean(true), {0xFF}},
      {Field(nxtBoolean), TnxVariant::FromBoolean(false), {0}},
      {Field(nxtByte), TnxVariant::FromInteger(300), {44}},
      {Field(nxtInt32), TnxVariant::FromLongWord(0xFFFFFFFF), LE(0xFFFFFFFF, 4)},
      {Field(nxtDateTime), TnxVariant::FromString(u"2024-01-31 12:00:00"),
       Raw((jan31 + 693594) * 86400000.0 + 43200000.0)},
      {Field(nxtDate), TnxVariant::FromString(u"2024-01-31"), LE(uint32_t(jan31) + 693594, 4)},
      {Field(nxtNullString, 10), TnxVariant::FromString(u"abc"), {'a', 'b', 'c', 0}},
      {Field(nxtNullString, 10, 5), TnxVariant::FromString(u"ab  "), {'a', 'b', 0}},
      {Field(nxtNullString, 10), TnxVariant::FromString(u""), {0}},
      {Field(nxtShortString, 10), TnxVariant::FromString(u"ab"), {2, 'a', 'b'}},
      {Field(nxtWideString, 10), TnxVariant::FromString(u"ab"), {'a', 0, 'b', 0, 0, 0}},
      {Field(nxtByteArray, 10), nxBytesToVariant(Bytes{9, 8}.data(), 2), {9, 8}},
      {Field(nxtByteArray, 10), TnxVariant::FromInteger(1), {}},
      {Field(nxtBCD, 10, 2), TnxVariant::FromDouble(1.239), LE(12300, 8)},
      {Field(nxtFmtBCD, 5, 2), TnxVariant::FromString(u"1.5"), {5, 2, 0x00, 0x15, 0x00}},
      {Field(nxtInterval), TnxVariant::FromInteger(1), {}},
      {Field(nxtBlobGraphic), TnxVariant::FromInteger(1), {}},
  };
  for (const auto& r : rows) {
    Bytes out{0xEE};
    nxVariantToNativeFS(r.field.type, r.field.codePage, r.field.units, out, r.in, r.field.decPl, Field::Invariant());
    EXPECT_EQ(out, r.bytes) << "type " << int(r.field.type);
  }
  Bytes out{1, 2};
  nxVariantToNative(nxtBlob, 0, 0, out, TnxVariant::FromInteger(1), 0);
  EXPECT_EQ(out, (Bytes{1, 2}));
  nxVariantToNative(nxtInt32, 0, 0, out, TnxVariant::Null(), 0);
  EXPECT_TRUE(out.empty());
  try {
    nxVariantToNative(nxtShortString, 0, 0, out, TnxVariant::FromString(std::u16string(256, u'x')), 0);
    FAIL();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), u"Source string data is too wide (256) for the target field (255)");
  }
  EXPECT_THROW(nxVariantToNative(nxtDateTime, 0, 0, out, TnxVariant::FromDouble(0), 0), platform::Exception);
  EXPECT_THROW(nxVariantToNative(nxtDate, 0, 0, out, TnxVariant::FromString(u"01/31/2024"), 0), platform::Exception);
}

TEST(VarIsEmptyOrNull, OnlyForEmptyAndNull) {
  EXPECT_TRUE(nxVarIsEmptyOrNull(TnxVariant()));
  EXPECT_TRUE(nxVarIsEmptyOrNull(TnxVariant::Null()));
  EXPECT_FALSE(nxVarIsEmptyOrNull(TnxVariant::FromString(u"")));
  EXPECT_FALSE(nxVarIsEmptyOrNull(TnxVariant::FromInteger(0)));
}

}  // namespace
}  // namespace revurov
