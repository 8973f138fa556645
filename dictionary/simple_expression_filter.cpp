#include "dictionary/simple_expression_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dictionary/field_types.h"
#include "dictionary/fmt_bcd.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/guid.h"
#include "platform/nls.h"
#include "platform/stream.h"

namespace revurov {

namespace {

constexpr int32_t kCodePageVersion = 30001;
constexpr uint32_t kHeaderSize = 10;
constexpr uint16_t kMaxStreamLength = 0xFFFF;
constexpr double kMsPerDay = 86400000.0;
constexpr double kTimeBaseMs = 59926521600000.0;  // 693594 days: 30 December 1899

// The Boolean result of a unary, binary or compare node, as a constant.
constexpr uint16_t kFalseValue = 0;
constexpr uint16_t kTrueValue = 0xFFFF;

uint16_t LoadU16(const uint8_t* p) noexcept {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t LoadU32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
T Load(const void* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[noreturn]] void RaiseInvalidFilter() {
  throw EnxSimpleExpressionFilterEngineException(nxeInvalidFilter);
}

void SetBoolean(TnxSimpleExpressionFilterEngine::Operand& aRecord, bool aValue) noexcept {
  aRecord = {};
  aRecord.Type = nxccBoolean;
  aRecord.Size = 2;
  aRecord.Value = aValue ? &kTrueValue : &kFalseValue;
  aRecord.IsConst = true;
}

// Operand bytes a node class carries after its class and operator.
uint32_t OperandBytes(uint32_t aClass) noexcept {
  switch (aClass) {
    case nxcnUnary: return 2;
    case nxcnBinary: return 4;
    case nxcnCompare: return 8;
    case nxcnField: return 4;
    case nxcnConst: return 6;
    case nxcnContinue: return 2;
    default: return 0;
  }
}

// The bytes a constant's value must hold at least.
uint16_t MinConstSize(uint16_t aType) noexcept {
  switch (aType) {
    case nxccBoolean: case nxccInt16: case nxccWord16: case nxccWideText: return 2;
    case nxccDate: case nxccInt32: case nxccTime: case nxccWord32: case nxccSingle: return 4;
    case nxccFloat: case nxccTimeStamp: case nxccInt64: return 8;
    case nxccExtended: return 10;
    case nxccBcd: return sizeof(TBcd);
    default: return 0;
  }
}

bool IsBooleanValued(const TnxSimpleExpressionFilterEngine::Operand& aOp) noexcept {
  return aOp.IsConst ? aOp.Type == nxccBoolean : aOp.Type == nxtBoolean;
}

// True for a non-null Boolean operand whose value is True.
bool BooleanValue(const TnxSimpleExpressionFilterEngine::Operand& aOp) noexcept {
  if (aOp.IsNull || !aOp.Value) return false;
  return aOp.IsConst ? Load<uint16_t>(aOp.Value) != 0 : *static_cast<const uint8_t*>(aOp.Value) != 0;
}

enum class Kind { Text, DateTime, Boolean, Integer, Float, Bytes };

Kind KindOf(const TnxSimpleExpressionFilterEngine::Operand& aOp) noexcept {
  if (aOp.IsConst) {
    switch (aOp.Type) {
      case nxccText: case nxccWideText: return Kind::Text;
      case nxccDate: case nxccTime: case nxccTimeStamp: return Kind::DateTime;
      case nxccBoolean: return Kind::Boolean;
      case nxccInt16: case nxccInt32: case nxccWord16: case nxccWord32: case nxccInt64: return Kind::Integer;
      case nxccFloat: case nxccExtended: case nxccBcd: case nxccSingle: return Kind::Float;
      default: return Kind::Bytes;
    }
  }
  switch (aOp.Type) {
    case nxtChar: case nxtWideChar: case nxtShortString: case nxtNullString: case nxtWideString: case nxtGuid:
      return Kind::Text;
    case nxtDate: case nxtTime: case nxtDateTime: case nxtInterval: return Kind::DateTime;
    case nxtBoolean: return Kind::Boolean;
    case nxtByte: case nxtWord16: case nxtWord32: case nxtInt8: case nxtInt16: case nxtInt32: case nxtInt64:
    case nxtAutoInc: case nxtRecRev: case nxtRefNr:
      return Kind::Integer;
    case nxtSingle: case nxtDouble: case nxtExtended: case nxtCurrency: case nxtBCD: case nxtFmtBCD:
      return Kind::Float;
    default: return Kind::Bytes;
  }
}

bool ToInt64(const TnxSimpleExpressionFilterEngine::Operand& aOp, int64_t& aValue) noexcept {
  const void* p = aOp.Value;
  if (aOp.IsConst) {
    switch (aOp.Type) {
      case nxccInt16: aValue = Load<int16_t>(p); return true;
      case nxccInt32: aValue = Load<int32_t>(p); return true;
      case nxccWord16: aValue = Load<uint16_t>(p); return true;
      case nxccWord32: aValue = Load<uint32_t>(p); return true;
      case nxccInt64: aValue = Load<int64_t>(p); return true;
      default: return false;
    }
  }
  switch (aOp.Type) {
    case nxtByte: aValue = Load<uint8_t>(p); return true;
    case nxtWord16: aValue = Load<uint16_t>(p); return true;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: aValue = Load<uint32_t>(p); return true;
    case nxtInt8: aValue = Load<int8_t>(p); return true;
    case nxtInt16: aValue = Load<int16_t>(p); return true;
    case nxtInt32: aValue = Load<int32_t>(p); return true;
    case nxtInt64: case nxtRefNr: aValue = Load<int64_t>(p); return true;
    default: return false;
  }
}

long double BcdValue(const void* p) {
  TBcd bcd;
  std::memcpy(&bcd, p, sizeof bcd);
  return nxBcdToDouble(bcd);
}

long double ExtendedValue(const void* p) noexcept {
  long double v = 0;
  std::memcpy(&v, p, 10);
  return v;
}

// Integers convert too: an integer compared with a float compares as float.
bool ToFloat(const TnxSimpleExpressionFilterEngine::Operand& aOp, long double& aValue) {
  int64_t i = 0;
  if (ToInt64(aOp, i)) {
    aValue = static_cast<long double>(i);
    return true;
  }
  const void* p = aOp.Value;
  if (aOp.IsConst) {
    switch (aOp.Type) {
      case nxccFloat: aValue = Load<double>(p); return true;
      case nxccBcd: aValue = BcdValue(p); return true;
      case nxccExtended: aValue = ExtendedValue(p); return true;
      case nxccSingle: aValue = Load<float>(p); return true;
      default: return false;
    }
  }
  switch (aOp.Type) {
    case nxtSingle: aValue = Load<float>(p); return true;
    case nxtDouble: aValue = Load<double>(p); return true;
    case nxtExtended: aValue = ExtendedValue(p); return true;
    case nxtCurrency: case nxtBCD: aValue = static_cast<long double>(Load<int64_t>(p)) / 10000; return true;
    case nxtFmtBCD: aValue = BcdValue(p); return true;
    default: return false;
  }
}

bool ToDateTime(const TnxSimpleExpressionFilterEngine::Operand& aOp, double& aValue) noexcept {
  const void* p = aOp.Value;
  uint16_t t = aOp.Type;
  bool date = aOp.IsConst ? t == nxccDate : t == nxtDate;
  bool time = aOp.IsConst ? t == nxccTime : t == nxtTime;
  bool stamp = aOp.IsConst ? t == nxccTimeStamp : (t == nxtDateTime || t == nxtInterval);
  if (date) aValue = Load<int32_t>(p) * kMsPerDay;
  else if (time) aValue = Load<int32_t>(p) + kTimeBaseMs;
  else if (stamp) aValue = Load<double>(p);
  return date || time || stamp;
}

bool ToBoolean(const TnxSimpleExpressionFilterEngine::Operand& aOp, bool& aValue) noexcept {
  if (!IsBooleanValued(aOp)) return false;
  aValue = BooleanValue(aOp);
  return true;
}

// NaN is equal to NaN and below every number, so the order stays total.
template <class F>
int CompareWithin(F a, F b, F aRelative, F aAbsolute) noexcept {
  bool aNaN = std::isnan(a), bNaN = std::isnan(b);
  if (aNaN || bNaN) return aNaN && bNaN ? 0 : (aNaN ? -1 : 1);
  F tolerance = std::max(std::min(std::fabs(a), std::fabs(b)) * aRelative, aAbsolute);
  if (std::fabs(a - b) <= tolerance) return 0;
  return a < b ? -1 : 1;
}

// One side of a text comparison as UTF-16, in a buffer of its own (so that
// it can be lower-cased in place), zero-terminated.
class TextSide {
public:
  bool Assign(const TnxSimpleExpressionFilterEngine::Operand& aOp) {
    const auto* bytes = static_cast<const uint8_t*>(aOp.Value);
    if (aOp.IsConst) {
      switch (aOp.Type) {
        case nxccText: return FromBytes(bytes, strnlen(reinterpret_cast<const char*>(bytes), aOp.Size), aOp.CodePage);
        case nxccWideText: return FromUnits(bytes + 2, std::min<size_t>(LoadU16(bytes), aOp.Size - 2u) / 2);
        default: return false;
      }
    }
    switch (aOp.Type) {
      case nxtChar: case nxtShortString: return FromBytes(bytes, aOp.Size, aOp.CodePage);
      case nxtNullString: return FromBytes(bytes, strnlen(reinterpret_cast<const char*>(bytes), aOp.Size), aOp.CodePage);
      case nxtWideChar: return FromUnits(bytes, 1);
      case nxtWideString: {
        size_t n = 0;
        while (n < aOp.Size && LoadU16(bytes + 2 * n) != 0) ++n;
        return FromUnits(bytes, n);
      }
      case nxtGuid: {
        std::u16string text = nxGUIDToStr(Load<platform::TGUID>(bytes));
        Reserve(text.size());
        std::memcpy(tsData, text.data(), text.size() * 2);
        return Finish(text.size());
      }
      default: return false;
    }
  }

  std::u16string_view View() const noexcept { return {tsData, tsLength}; }
  void Limit(size_t aLength) noexcept {
    if (aLength < tsLength) {
      tsLength = aLength;
      tsData[tsLength] = 0;
    }
  }
  void Lower() noexcept { nxCharLower(tsData); }

private:
  bool FromBytes(const uint8_t* aBytes, size_t aLength, uint16_t aCodePage) {
    Reserve(aLength);
    // ASCII is the same in every ANSI code page: no converter needed.
    size_t i = 0;
    while (i < aLength && aBytes[i] < 0x80) {
      tsData[i] = aBytes[i];
      ++i;
    }
    if (i == aLength) return Finish(aLength);
    const char* src = reinterpret_cast<const char*>(aBytes);
    int need = platform::MultiByteToWideChar(aCodePage, 0, src, static_cast<int>(aLength), nullptr, 0);
    if (need <= 0) nxRaiseLastOSError(u"ConvertStringValue", 0);
    Reserve(static_cast<size_t>(need));
    int done = platform::MultiByteToWideChar(aCodePage, 0, src, static_cast<int>(aLength), tsData, need);
    if (done <= 0) nxRaiseLastOSError(u"ConvertStringValue", 0);
    return Finish(static_cast<size_t>(done));
  }
  bool FromUnits(const uint8_t* aUnits, size_t aCount) {
    Reserve(aCount);
    std::memcpy(tsData, aUnits, aCount * 2);
    return Finish(aCount);
  }
  void Reserve(size_t aLength) {
    if (aLength + 1 <= kInline) {
      tsData = tsInline;
    } else {
      tsHeap.assign(aLength + 1, u'\0');
      tsData = tsHeap.data();
    }
  }
  bool Finish(size_t aLength) noexcept {
    tsLength = aLength;
    tsData[aLength] = 0;
    return true;
  }

  static constexpr size_t kInline = 128;
  char16_t tsInline[kInline];
  std::u16string tsHeap;
  char16_t* tsData = tsInline;
  size_t tsLength = 0;
};

int LocaleCompare(std::u16string_view a, std::u16string_view b, uint32_t aFlags) {
  // The platform call takes no empty text; empty is below everything.
  if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  int r = platform::CompareStringW(platform::LOCALE_SYSTEM_DEFAULT, aFlags, a.data(), static_cast<int>(a.size()),
                                   b.data(), static_cast<int>(b.size()));
  if (r == 0) nxRaiseLastOSError(u"ConvertStringValue/CompareStringW", 0);
  return r - platform::CSTR_EQUAL;
}

// The bytes of an 8-bit text operand, when it is one.
bool EightBitText(const TnxSimpleExpressionFilterEngine::Operand& aOp, std::string_view& aText) noexcept {
  const char* p = static_cast<const char*>(aOp.Value);
  size_t length = 0;
  if (aOp.IsConst) {
    if (aOp.Type != nxccText) return false;
    length = strnlen(p, aOp.Size);
  } else if (aOp.Type == nxtChar || aOp.Type == nxtShortString) {
    length = aOp.Size;
  } else if (aOp.Type == nxtNullString) {
    length = strnlen(p, aOp.Size);
  } else {
    return false;
  }
  aText = {p, length};
  return true;
}

bool IsAscii(std::string_view aText) noexcept {
  for (char c : aText)
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  return true;
}

// ASCII widens to the same code units in every ANSI code page, and its
// lower case is CharLowerW's, so the comparisons that do not need the locale
// can run on the bytes: the answer is the one the UTF-16 path gives.
// False when the pair needs that path.
bool CompareAsciiText(std::string_view aLeft, std::string_view aRight, uint32_t aOperator, bool aCaseInsensitive,
                      uint16_t aPartialLen, int& aResult) noexcept {
  constexpr size_t kMaxLowered = 256;
  if (aOperator != coLIKE && (aCaseInsensitive || (aOperator != coEQ && aOperator != coNE))) return false;
  if (!IsAscii(aLeft) || !IsAscii(aRight)) return false;
  if (aPartialLen > 0) {
    aLeft = aLeft.substr(0, aPartialLen);
    aRight = aRight.substr(0, aPartialLen);
  }
  if (aOperator != coLIKE) {
    aResult = nxCmpInt64(static_cast<int64_t>(aLeft.size()), static_cast<int64_t>(aRight.size()));
    if (aResult == 0) aResult = nxCmpBytes(aLeft.data(), aRight.data(), aLeft.size());
    return true;
  }
  if (aRight.empty() || aRight.size() > aLeft.size()) {
    aResult = -1;
    return true;
  }
  if (!aCaseInsensitive) {
    aResult = aLeft.find(aRight) == std::string_view::npos ? -1 : 0;
    return true;
  }
  if (aLeft.size() > kMaxLowered) return false;
  char left[kMaxLowered], right[kMaxLowered];
  auto lower = [](std::string_view s, char* out) {
    for (size_t i = 0; i < s.size(); ++i) out[i] = (s[i] >= 'A' && s[i] <= 'Z') ? char(s[i] + 32) : s[i];
    return std::string_view(out, s.size());
  };
  aResult = lower(aLeft, left).find(lower(aRight, right)) == std::string_view::npos ? -1 : 0;
  return true;
}

int CompareText(const TnxSimpleExpressionFilterEngine::Operand& aLeft,
                const TnxSimpleExpressionFilterEngine::Operand& aRight, uint32_t aOperator, bool aCaseInsensitive,
                uint16_t aPartialLen) {
  std::string_view leftBytes, rightBytes;
  int ascii = 0;
  if (EightBitText(aLeft, leftBytes) && EightBitText(aRight, rightBytes) &&
      CompareAsciiText(leftBytes, rightBytes, aOperator, aCaseInsensitive, aPartialLen, ascii))
    return ascii;
  TextSide left, right;
  if (!left.Assign(aLeft) || !right.Assign(aRight)) return 2;
  if (aPartialLen > 0) {
    left.Limit(aPartialLen);
    right.Limit(aPartialLen);
  }
  if (aOperator == coLIKE) {
    if (aCaseInsensitive) {
      left.Lower();
      right.Lower();
    }
    return nxCmpContains(left.View(), right.View());
  }
  if (aCaseInsensitive) return LocaleCompare(left.View(), right.View(), platform::NORM_IGNORECASE);
  if (aOperator != coEQ && aOperator != coNE) return LocaleCompare(left.View(), right.View(), 0);
  std::u16string_view l = left.View(), r = right.View();
  if (int c = nxCmpInt64(static_cast<int64_t>(l.size()), static_cast<int64_t>(r.size()))) return c;
  return nxCmpBytes(l.data(), r.data(), l.size() * 2);
}

#if defined(__SSE2__)
// The fields a LIKE scan takes: at least one 16-byte block, and one bit of
// a 64-bit mask for each byte and the end.
constexpr uint32_t kScanMinUnits = 16;
constexpr uint32_t kScanMaxUnits = 63;

// CompareAsciiText's LIKE for a null-terminated field of aUnits bytes and an
// ASCII needle of 1 to 16 bytes, already lower-cased when aFold: 0 found,
// -1 not, 2 when the field is not ASCII (the general way answers then).
// Masks are built from 16-byte blocks read inside the field (the last one
// ends at its end and may overlap the one before), without a branch per
// byte; the needle's k-th byte matching at i+k marks i as a start.
int ScanNullString(const uint8_t* aValue, uint32_t aUnits, const char* aNeedle, uint32_t aNeedleLength,
                   bool aFold) noexcept {
  const uint32_t blocks = (aUnits + 15) / 16;
  __m128i v[4];
  uint32_t at[4];
  uint64_t zero = uint64_t(1) << aUnits, high = 0;
  const __m128i zeroes = _mm_setzero_si128();
  const __m128i upperFrom = _mm_set1_epi8('A' - 1), upperTo = _mm_set1_epi8('Z' + 1), caseBit = _mm_set1_epi8(0x20);
  for (uint32_t b = 0; b < blocks; ++b) {
    at[b] = std::min(16 * b, aUnits - 16);
    v[b] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aValue + at[b]));
    zero |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v[b], zeroes)))) << at[b];
    high |= uint64_t(uint32_t(_mm_movemask_epi8(v[b]))) << at[b];
    if (aFold) {
      // Signed compares: bytes from 0x80 are negative and stay as they are.
      const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v[b], upperFrom), _mm_cmplt_epi8(v[b], upperTo));
      v[b] = _mm_or_si128(v[b], _mm_and_si128(upper, caseBit));
    }
  }
  const uint32_t length = uint32_t(__builtin_ctzll(zero));
  if (high & ((uint64_t(1) << length) - 1)) return 2;
  if (aNeedleLength > length) return -1;
  uint64_t starts = (uint64_t(1) << (length - aNeedleLength + 1)) - 1;
  for (uint32_t k = 0; k < aNeedleLength; ++k) {
    const __m128i c = _mm_set1_epi8(aNeedle[k]);
    uint64_t match = 0;
    for (uint32_t b = 0; b < blocks; ++b)
      match |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v[b], c)))) << at[b];
    starts &= match >> k;
  }
  return starts ? 0 : -1;
}
#endif

// What GetFieldForFilter answers for a placed field of a record.
inline void ReadPlaced(const TnxFieldPlace& aPlace, const uint8_t* aBuffer,
                       TnxSimpleExpressionFilterEngine::Operand& aRecord) noexcept {
  aRecord.Type = aPlace.Type;
  aRecord.Size = aPlace.Units;
  aRecord.CodePage = aPlace.CodePage;
  aRecord.IsNull = (aBuffer[aPlace.NullByte] & aPlace.NullMask) != 0;
  aRecord.Value = aBuffer + aPlace.Offset;
}

// Whether a comparison's answer (-1, 0, 1, or 2: not comparable) satisfies
// the operator.
inline bool Holds(uint32_t aOperator, int aCompared) noexcept {
  switch (aOperator) {
    case coEQ: case coLIKE: return aCompared == 0;
    case coNE: return aCompared != 0 && aCompared != 2;
    case coGT: return aCompared == 1;
    case coLT: return aCompared == -1;
    case coGE: return aCompared == 0 || aCompared == 1;
    case coLE: return aCompared == 0 || aCompared == -1;
    default: return false;
  }
}

}  // namespace

// ---- descriptors ----

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression,
                                                                                 std::u16string aFilterText,
                                                                                 int32_t aCodePage)
    : bsfdExpression(aExpression ? std::move(aExpression) : std::make_shared<const std::vector<uint8_t>>()),
      bsfdCodePage(aCodePage),
      bsfdFilterText(std::move(aFilterText)) {}

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(std::vector<uint8_t> aExpression,
                                                                                 std::u16string aFilterText,
                                                                                 int32_t aCodePage)
    : TnxBaseSimpleExpressionFilterDescriptor(std::make_shared<const std::vector<uint8_t>>(std::move(aExpression)),
                                              std::move(aFilterText), aCodePage) {}

uint32_t TnxSimpleExpressionFilterDescriptor::WriteToStream(platform::TStream& aStream, int32_t aVersion) const {
  // Checked before anything is written: a wrapped length would misframe
  // everything after it.
  if (bsfdExpression->size() > kMaxStreamLength)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                          u"Filter expression too long for the stream: %d bytes",
                                          {static_cast<int64_t>(bsfdExpression->size())});
  if (bsfdFilterText.size() > kMaxStreamLength)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                          u"Filter text too long for the stream: %d characters",
                                          {static_cast<int64_t>(bsfdFilterText.size())});
  uint8_t kind = bsfdFilterText.empty() ? 1 : 3;
  if (aVersion > kCodePageVersion && bsfdCodePage >= 0) kind = 4;
  WriteClassName(aStream);
  aStream.WriteBuffer(&kind, 1);
  uint16_t length = static_cast<uint16_t>(bsfdExpression->size());
  aStream.WriteBuffer(&length, 2);
  if (length > 0) aStream.WriteBuffer(bsfdExpression->data(), length);
  if (kind >= 3) {
    uint16_t units = static_cast<uint16_t>(bsfdFilterText.size());
    aStream.WriteBuffer(&units, 2);
    if (units > 0) aStream.WriteBuffer(bsfdFilterText.data(), units * 2);
  }
  if (kind == 4) aStream.WriteBuffer(&bsfdCodePage, 4);
  return 0;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxSimpleExpressionFilterDescriptor::ReadStreamData(
    platform::TStream& aStream) {
  auto incompatible = [] { throw EnxSimpleExpressionFilterDescriptorException(nxeIncompatibleStream); };
  uint8_t kind = 0;
  aStream.ReadBuffer(&kind, 1);
  if (kind == 0 || kind > 4) incompatible();
  uint16_t length = 0;
  aStream.ReadBuffer(&length, 2);
  std::vector<uint8_t> expression(length);
  if (length > 0) aStream.ReadBuffer(expression.data(), length);
  std::u16string text;
  if (kind >= 2) {
    uint16_t count = 0;
    if (aStream.Read(&count, 2) != 2) incompatible();
    if (kind == 2) {
      std::string bytes(count, '\0');
      if (count > 0 && aStream.Read(bytes.data(), count) != count) incompatible();
      if (count > 0) {
        int need = platform::MultiByteToWideChar(platform::CP_ACP, 0, bytes.data(), count, nullptr, 0);
        if (need <= 0) nxRaiseLastOSError(u"ConvertStringValue", 0);
        text.assign(static_cast<size_t>(need), u'\0');
        platform::MultiByteToWideChar(platform::CP_ACP, 0, bytes.data(), count, text.data(), need);
      }
    } else {
      text.assign(count, u'\0');
      if (count > 0 && aStream.Read(text.data(), count * 2) != count * 2) incompatible();
    }
  }
  int32_t codePage = -1;
  if (kind == 4) aStream.ReadBuffer(&codePage, 4);
  return std::make_unique<TnxSimpleExpressionFilterDescriptor>(std::move(expression), std::move(text), codePage);
}

// ---- engine ----

TnxSimpleExpressionFilterEngine::TnxSimpleExpressionFilterEngine(const TnxBaseFilterDescriptor* aDescriptor,
                                                                 const InxFieldsSource* aFieldsSource)
    : TnxBaseSimpleExpressionFilterEngine(aDescriptor, aFieldsSource) {
  const auto& descriptor = dynamic_cast<const TnxSimpleExpressionFilterDescriptor&>(*aDescriptor);
  sfeExpression = descriptor.Expression();
  sfeFilterText = descriptor.FilterText();
  sfeHasCodePage = descriptor.CodePage() >= 0;
  sfeCodePage = sfeHasCodePage ? static_cast<uint16_t>(descriptor.CodePage()) : uint16_t(platform::CP_THREAD_ACP);
  Validate();
  if (sfeBytes) Compile(0);
}

void TnxSimpleExpressionFilterEngine::Validate() const {
  const std::vector<uint8_t>& bytes = *sfeExpression;
  if (bytes.empty()) return;
  if (bytes.size() < kHeaderSize) RaiseInvalidFilter();
  uint32_t total = LoadU16(bytes.data() + 2);
  if (total < kHeaderSize || total > bytes.size()) RaiseInvalidFilter();
  auto& self = const_cast<TnxSimpleExpressionFilterEngine&>(*this);
  self.sfeBytes = bytes.data();
  self.sfeNodeStart = LoadU16(bytes.data() + 6);
  self.sfeLiteralStart = LoadU16(bytes.data() + 8);
  if (sfeNodeStart < kHeaderSize || sfeNodeStart >= total || sfeLiteralStart > total) RaiseInvalidFilter();
  uint32_t visits = 0;
  ValidateNode(0, 0, visits);
}

// Every node of a well-formed tree is visited once and takes at least ten
// bytes, so a walk that visits more nodes than that follows a cycle or a
// shared subtree.
void TnxSimpleExpressionFilterEngine::ValidateNode(uint32_t aNode, int aDepth, uint32_t& aVisits) const {
  uint32_t total = LoadU16(sfeBytes + 2);
  if (aDepth > kMaxDepth || ++aVisits > total / kHeaderSize) RaiseInvalidFilter();
  uint32_t at = sfeNodeStart + aNode;
  if (at + 8 > total) RaiseInvalidFilter();
  uint32_t nodeClass = LoadU32(sfeBytes + at);
  if (at + 8 + OperandBytes(nodeClass) > total) RaiseInvalidFilter();
  const uint8_t* ops = sfeBytes + at + 8;
  switch (nodeClass) {
    case nxcnUnary: ValidateNode(LoadU16(ops), aDepth + 1, aVisits); break;
    case nxcnBinary:
      ValidateNode(LoadU16(ops), aDepth + 1, aVisits);
      ValidateNode(LoadU16(ops + 2), aDepth + 1, aVisits);
      break;
    case nxcnCompare:
      ValidateNode(LoadU16(ops + 4), aDepth + 1, aVisits);
      ValidateNode(LoadU16(ops + 6), aDepth + 1, aVisits);
      break;
    case nxcnField: {
      uint32_t name = sfeLiteralStart + LoadU16(ops + 2);
      if (name >= total || !std::memchr(sfeBytes + name, 0, total - name)) RaiseInvalidFilter();
      break;
    }
    case nxcnConst: {
      uint16_t type = LoadU16(ops), size = LoadU16(ops + 2);
      uint32_t value = sfeLiteralStart + LoadU16(ops + 4);
      if (value + size > total || size < MinConstSize(type)) RaiseInvalidFilter();
      if (type == nxccWideText && 2u + LoadU16(sfeBytes + value) > size) RaiseInvalidFilter();
      break;
    }
    default: break;
  }
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxSimpleExpressionFilterEngine::CreateDescriptor() const {
  return std::make_unique<TnxSimpleExpressionFilterDescriptor>(sfeExpression, sfeFilterText,
                                                               sfeHasCodePage ? int32_t(sfeCodePage) : -1);
}

void TnxSimpleExpressionFilterEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseSimpleExpressionFilterEngine::GetExceptionData(aContainer, aFlag);
  if (!sfeFilterText.empty()) aContainer.AddString(u"FilterText", sfeFilterText);
  if (sfeHasCodePage) aContainer.AddInteger(u"CodePage", sfeCodePage);
}

bool TnxSimpleExpressionFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  if (!GetActive() || !sfeBytes) return true;
  // An inner node's value is its truth: a Boolean, never null.
  if (const uint32_t rootClass = sfePlan[0].Class; rootClass != nxcnField && rootClass != nxcnConst)
    return EvaluateTruth(0, aBuffer);
  Operand root;
  if (!EvaluateNode(0, root, aBuffer)) return false;
  if (root.IsNull) return true;
  if (IsBooleanValued(root)) return BooleanValue(root);
  return true;
}

bool TnxSimpleExpressionFilterEngine::EvaluateCondition(int32_t aNode, const uint8_t* aBuffer) const {
  Operand value;
  // An inner node answers its own truth: its value is that Boolean.
  const uint32_t nodeClass = sfePlan[size_t(aNode)].Class;
  if (nodeClass != nxcnField && nodeClass != nxcnConst) return EvaluateTruth(aNode, aBuffer);
  if (!EvaluateNode(aNode, value, aBuffer)) return false;
  // A Boolean counts by its value; other values by being there.
  return IsBooleanValued(value) ? BooleanValue(value) : true;
}

int32_t TnxSimpleExpressionFilterEngine::Compile(uint32_t aNode) {
  const int32_t index = int32_t(sfePlan.size());
  sfePlan.emplace_back();
  const uint8_t* node = sfeBytes + sfeNodeStart + aNode;
  const uint8_t* ops = node + 8;
  PlanNode plan;
  plan.Class = LoadU32(node);
  plan.Op = LoadU32(node + 4);
  switch (plan.Class) {
    case nxcnUnary: plan.Left = Compile(LoadU16(ops)); break;
    case nxcnBinary:
      plan.Left = Compile(LoadU16(ops));
      plan.Right = Compile(LoadU16(ops + 2));
      break;
    case nxcnCompare:
      plan.CaseInsensitive = LoadU16(ops) != 0;
      plan.Partial = LoadU16(ops + 2);
      plan.Left = Compile(LoadU16(ops + 4));
      plan.Right = Compile(LoadU16(ops + 6));
      if (const PlanNode& right = sfePlan[size_t(plan.Right)]; right.Class == nxcnConst) {
        const Operand& constant = right.Constant;
        const Kind kind = KindOf(constant);
        std::string_view text;
        if (kind == Kind::Integer && ToInt64(constant, plan.ConstInt)) {
          plan.ConstKind = 1 + uint8_t(Kind::Integer);
        } else if (kind == Kind::Text && EightBitText(constant, text) && IsAscii(text)) {
          plan.ConstKind = 1 + uint8_t(Kind::Text);
          plan.ConstText = text.data();
          plan.ConstTextSize = uint32_t(text.size());
        }
        if (const PlanNode& left = sfePlan[size_t(plan.Left)]; left.Placed && plan.ConstKind) {
          Operand field;
          field.Type = left.Place.Type;
          const Kind fieldKind = KindOf(field);
          plan.Fast = plan.ConstKind == 1 + uint8_t(fieldKind) &&
                      (fieldKind == Kind::Integer || field.Type == nxtNullString || field.Type == nxtChar);
#if defined(__SSE2__)
          if (plan.Fast && plan.Op == coLIKE && plan.Partial == 0 && field.Type == nxtNullString &&
              left.Place.Units >= kScanMinUnits && left.Place.Units <= kScanMaxUnits && plan.ConstTextSize >= 1 &&
              plan.ConstTextSize <= sizeof plan.ScanNeedle) {
            plan.ScanLength = uint8_t(plan.ConstTextSize);
            for (uint32_t k = 0; k < plan.ConstTextSize; ++k) {
              const char c = plan.ConstText[k];
              plan.ScanNeedle[k] = plan.CaseInsensitive && c >= 'A' && c <= 'Z' ? char(c + 32) : c;
            }
          }
#endif
        }
      }
      break;
    case nxcnField:
      plan.Field = static_cast<int32_t>(LoadU16(ops)) - 1;
      plan.FieldName = reinterpret_cast<const char*>(sfeBytes + sfeLiteralStart + LoadU16(ops + 2));
      plan.Placed = bfFieldsSource && bfFieldsSource->GetFieldPlace(plan.Field, plan.Place);
      break;
    case nxcnConst:
      plan.Constant.Type = LoadU16(ops);
      plan.Constant.Size = LoadU16(ops + 2);
      plan.Constant.Value = sfeBytes + sfeLiteralStart + LoadU16(ops + 4);
      plan.Constant.CodePage = sfeCodePage;
      plan.Constant.IsConst = true;
      break;
    case nxcnContinue: plan.Continue = LoadU16(ops); break;
    default: break;
  }
  sfePlan[size_t(index)] = plan;
  return index;
}

// The leaves of a comparison without a call of their own.
inline bool TnxSimpleExpressionFilterEngine::EvaluateOperand(int32_t aNode, Operand& aRecord,
                                                             const uint8_t* aBuffer) const {
  const PlanNode& node = sfePlan[size_t(aNode)];
  if (node.Class == nxcnConst) {
    aRecord = node.Constant;
    return true;
  }
  if (node.Class != nxcnField) return EvaluateNode(aNode, aRecord, aBuffer);
  aRecord = {};
  if (node.Placed && aBuffer) {
    ReadPlaced(node.Place, aBuffer, aRecord);
    return true;
  }
  if (!bfFieldsSource) return false;
  return bfFieldsSource->GetFieldForFilter(node.Field, node.FieldName, aBuffer, aRecord.Type, aRecord.Size,
                                           aRecord.IsNull, aRecord.Value, aRecord.CodePage);
}

// CompareOperands with the constant's side worked out in advance; anything
// the shortcut does not cover takes the general way.
int TnxSimpleExpressionFilterEngine::CompareWithConstant(const PlanNode& aNode, const Operand& aLeft,
                                                         const Operand& aRight) const {
  if (!aLeft.IsNull && aLeft.Value) {
    const Kind leftKind = KindOf(aLeft);
    if (aNode.ConstKind == 1 + uint8_t(Kind::Integer) && leftKind == Kind::Integer) {
      int64_t value = 0;
      if (ToInt64(aLeft, value)) return nxCmpInt64(value, aNode.ConstInt);
    } else if (aNode.ConstKind == 1 + uint8_t(Kind::Text) && leftKind == Kind::Text) {
      std::string_view left;
      int result = 0;
      if (EightBitText(aLeft, left) &&
          CompareAsciiText(left, std::string_view(aNode.ConstText, aNode.ConstTextSize), aNode.Op,
                           aNode.CaseInsensitive, aNode.Partial, result))
        return result;
    }
  }
  return CompareOperands(aLeft, aRight, aNode.Op, aNode.CaseInsensitive, aNode.Partial);
}

// CompareWithConstant for a field read in place: the same answers without
// filling operands.
bool TnxSimpleExpressionFilterEngine::CompareInPlace(const PlanNode& aNode, const uint8_t* aBuffer,
                                                     int& aResult) const {
  const TnxFieldPlace& place = sfePlan[size_t(aNode.Left)].Place;
  if (aBuffer[place.NullByte] & place.NullMask) return false;
  const uint8_t* value = aBuffer + place.Offset;
  if (aNode.ConstKind == 1 + uint8_t(Kind::Integer)) {
    int64_t v = 0;
    switch (place.Type) {
      case nxtInt32: v = Load<int32_t>(value); break;
      default: {
        Operand field;
        field.Type = place.Type;
        field.Value = value;
        if (!ToInt64(field, v)) return false;
      }
    }
    aResult = nxCmpInt64(v, aNode.ConstInt);
    return true;
  }
#if defined(__SSE2__)
  if (aNode.ScanLength) {
    const int found = ScanNullString(value, place.Units, aNode.ScanNeedle, aNode.ScanLength, aNode.CaseInsensitive);
    if (found == 2) return false;
    aResult = found;
    return true;
  }
#endif
  const char* text = reinterpret_cast<const char*>(value);
  const std::string_view left(text, place.Type == nxtNullString ? strnlen(text, place.Units) : place.Units);
  return CompareAsciiText(left, std::string_view(aNode.ConstText, aNode.ConstTextSize), aNode.Op,
                          aNode.CaseInsensitive, aNode.Partial, aResult);
}

bool TnxSimpleExpressionFilterEngine::EvaluateTruth(int32_t aNode, const uint8_t* aBuffer) const {
  const PlanNode& node = sfePlan[size_t(aNode)];
  if (node.Class == nxcnBinary && node.Op == coAND)
    return EvaluateCondition(node.Left, aBuffer) && EvaluateCondition(node.Right, aBuffer);
  if (node.Class == nxcnBinary && node.Op == coOR)
    return EvaluateCondition(node.Left, aBuffer) || EvaluateCondition(node.Right, aBuffer);
  if (int c = 0; node.Fast && aBuffer && CompareInPlace(node, aBuffer, c)) return Holds(node.Op, c);
  Operand value;
  return EvaluateNode(aNode, value, aBuffer);
}

bool TnxSimpleExpressionFilterEngine::EvaluateNode(int32_t aNode, Operand& aRecord, const uint8_t* aBuffer) const {
  const PlanNode& node = sfePlan[size_t(aNode)];
  // Leaves fill every member they answer with; the rest start from zero.
  if (node.Class == nxcnConst) {
    aRecord = node.Constant;
    return true;
  }
  if (node.Class == nxcnField) {
    aRecord = {};
    if (node.Placed && aBuffer) {
      ReadPlaced(node.Place, aBuffer, aRecord);
      return true;
    }
    if (!bfFieldsSource) return false;
    return bfFieldsSource->GetFieldForFilter(node.Field, node.FieldName, aBuffer, aRecord.Type, aRecord.Size,
                                             aRecord.IsNull, aRecord.Value, aRecord.CodePage);
  }
  const uint32_t op = node.Op;
  bool result = false;
  switch (node.Class) {
    case nxcnUnary: {
      Operand operand;
      if (!EvaluateNode(node.Left, operand, aBuffer)) {
        result = op == coNOT;
      } else if (op == coISBLANK) {
        result = operand.IsNull;
      } else if (op == coNOTBLANK) {
        result = !operand.IsNull;
      } else if (op == coNOT) {
        result = !BooleanValue(operand);
      }
      break;
    }
    case nxcnBinary:
    case nxcnCompare: {
      const bool compare = node.Class == nxcnCompare;
      if (!compare && op == coAND) {
        result = EvaluateCondition(node.Left, aBuffer) && EvaluateCondition(node.Right, aBuffer);
      } else if (!compare && op == coOR) {
        result = EvaluateCondition(node.Left, aBuffer) || EvaluateCondition(node.Right, aBuffer);
      } else {
        int c = 0;
        Operand l, r;
        if (node.Fast && aBuffer && CompareInPlace(node, aBuffer, c)) {
          result = Holds(op, c);
        } else if (EvaluateOperand(node.Left, l, aBuffer) && EvaluateOperand(node.Right, r, aBuffer)) {
          c = node.ConstKind ? CompareWithConstant(node, l, r)
                             : CompareOperands(l, r, op, compare && node.CaseInsensitive, compare ? node.Partial : 0);
          result = Holds(op, c);
        }
      }
      break;
    }
    case nxcnContinue: result = node.Continue != 0; break;
    default:
      aRecord = {};
      return false;
  }
  SetBoolean(aRecord, result);
  return result;
}

int TnxSimpleExpressionFilterEngine::CompareOperands(const Operand& aLeft, const Operand& aRight, uint32_t aOperator,
                                                     bool aCaseInsensitive, uint16_t aPartialLen) const {
  if (aLeft.IsNull) return aRight.IsNull ? 0 : -1;
  if (aRight.IsNull) return 1;
  // A field of the source may answer without a value (no buffer).
  if (!aLeft.Value || !aRight.Value) return 2;
  Kind kind = KindOf(aLeft);
  if (kind == Kind::Integer && KindOf(aRight) == Kind::Float) kind = Kind::Float;
  switch (kind) {
    case Kind::Text: return CompareText(aLeft, aRight, aOperator, aCaseInsensitive, aPartialLen);
    case Kind::DateTime: {
      double a = 0, b = 0;
      if (!ToDateTime(aLeft, a) || !ToDateTime(aRight, b)) return 2;
      return CompareWithin(a, b, 1e-12, 1e-12);
    }
    case Kind::Boolean: {
      bool a = false, b = false;
      if (!ToBoolean(aLeft, a) || !ToBoolean(aRight, b)) return 2;
      return nxCmpInt64(a, b);
    }
    case Kind::Integer: {
      int64_t a = 0, b = 0;
      if (!ToInt64(aLeft, a) || !ToInt64(aRight, b)) return 2;
      return nxCmpInt64(a, b);
    }
    case Kind::Float: {
      long double a = 0, b = 0;
      if (!ToFloat(aLeft, a) || !ToFloat(aRight, b)) return 2;
      return CompareWithin<long double>(a, b, 1e-16L, 1e-16L);
    }
    case Kind::Bytes: break;
  }
  int c = nxCmpBytes(aLeft.Value, aRight.Value, std::min(aLeft.Size, aRight.Size));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace revurov
