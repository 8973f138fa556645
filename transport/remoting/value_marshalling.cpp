#include "transport/remoting/value_marshalling.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/stream.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov {

using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using platform::TnxVariant;
using platform::TVarType;

namespace {

constexpr TGUID kIID_IDispatch = platform::nxGuid("{00020400-0000-0000-C000-000000000046}");
constexpr int32_t kMaxDimensions = 64;
// Variants inside variants (by reference, arrays of variants) nest no
// deeper than this, so that a peer cannot run the stack out.
constexpr int kMaxNesting = 64;
constexpr TVarType kVarType15 = 0x000F;
// The smallest element of an element-wise array is its type code: a tag
// and one byte.
constexpr int64_t kMinVariantBytes = 2;

bool Failed(HRESULT hr) { return hr < 0; }

// A count from the peer is checked before anything is sized by it.
void CheckCount(InxReader& aReader, int64_t aCount, int64_t aBytesEach) {
  if (aCount < 0) throw platform::EReadError(platform::Format(u"Stream-Lesefehler: negative Anzahl %d", {aCount}));
  const int64_t left = aReader.BytesLeft();
  if (aCount > left / aBytesEach)
    throw platform::EReadError(platform::Format(
        u"Stream-Lesefehler: %d Elemente übersteigen die verbleibenden %d Bytes", {aCount, left}));
}

std::u16string FromAnsi(std::string_view aBytes) {
  return platform::CodePageToUnicode(aBytes, platform::SystemAnsiCodePage());
}
std::string ToAnsi(std::u16string_view aText) {
  return platform::UnicodeToCodePageLossy(aText, platform::SystemAnsiCodePage());
}

// --- variants -----------------------------------------------------------------

// Bytes of a plain value of this base type; -1 for types with a form of
// their own. varDecimal and type 15 carry no bytes.
int FixedSize(TVarType aBase) {
  using namespace platform;
  switch (aBase) {
    case varShortInt: case varByte: return 1;
    case varSmallint: case varBoolean: case varWord: return 2;
    case varInteger: case varSingle: case varError: case varLongWord: return 4;
    case varDouble: case varCurrency: case varDate: case varInt64: case varUInt64: return 8;
    case varDecimal: case kVarType15: return 0;
    default: return -1;
  }
}

// Arrays whose data travels as one block.
bool IsBlockArrayType(TVarType aBase) {
  return FixedSize(aBase) > 0 && aBase != platform::varError;
}

bool IsElementArrayType(TVarType aBase) {
  using namespace platform;
  switch (aBase) {
    case varOleStr: case varDispatch: case varError: case varVariant: case varUnknown: case varDecimal:
    case kVarType15: case varString: case varUString: return true;
    default: return false;
  }
}

template <class T>
bool StoreInt(uint8_t* aOut, int64_t aValue) {
  if (aValue < int64_t(std::numeric_limits<T>::min()) || aValue > int64_t(std::numeric_limits<T>::max())) return false;
  platform::StoreLE(aOut, static_cast<T>(aValue));
  return true;
}

// The value's bytes as a value of aBase (converted when the element of an
// array holds another type); false when it does not fit.
bool StoreFixed(TVarType aBase, const TnxVariant& aValue, uint8_t* aOut) {
  using namespace platform;
  const bool same = aValue.VarType() == aBase;
  switch (aBase) {
    case varShortInt: return StoreInt<int8_t>(aOut, aValue.AsInt64());
    case varByte: return StoreInt<uint8_t>(aOut, aValue.AsInt64());
    case varSmallint: return StoreInt<int16_t>(aOut, aValue.AsInt64());
    case varWord: return StoreInt<uint16_t>(aOut, aValue.AsInt64());
    case varInteger: return StoreInt<int32_t>(aOut, aValue.AsInt64());
    case varLongWord: return StoreInt<uint32_t>(aOut, aValue.AsInt64());
    case varInt64: StoreU64(aOut, uint64_t(aValue.AsInt64())); return true;
    case varUInt64: {
      if (same) {
        StoreU64(aOut, aValue.AsUInt64Bits());
        return true;
      }
      const int64_t v = aValue.AsInt64();
      if (v < 0) return false;
      StoreU64(aOut, uint64_t(v));
      return true;
    }
    case varSingle: {
      const double d = same ? double(aValue.AsSingle()) : aValue.AsDouble();
      if (std::isfinite(d) && std::fabs(d) > double(FLT_MAX)) return false;
      const float f = float(d);
      std::memcpy(aOut, &f, 4);
      return true;
    }
    case varDouble: case varDate: {
      const double d = aValue.AsDouble();
      std::memcpy(aOut, &d, 8);
      return true;
    }
    case varCurrency: StoreU64(aOut, uint64_t(aValue.AsCurrency())); return true;
    case varBoolean: StoreU16(aOut, aValue.AsBoolean() ? 0xFFFF : 0); return true;
    case varError:
      if (!same) return false;
      StoreU32(aOut, uint32_t(aValue.AsError()));
      return true;
    default: return true;  // no bytes
  }
}

TnxVariant LoadFixed(TVarType aBase, const uint8_t* aIn) {
  using namespace platform;
  switch (aBase) {
    case varShortInt: return TnxVariant::FromShortInt(int8_t(aIn[0]));
    case varByte: return TnxVariant::FromByte(aIn[0]);
    case varSmallint: return TnxVariant::FromSmallint(int16_t(LoadU16(aIn)));
    case varWord: return TnxVariant::FromWord(LoadU16(aIn));
    case varInteger: return TnxVariant::FromInteger(int32_t(LoadU32(aIn)));
    case varLongWord: return TnxVariant::FromLongWord(LoadU32(aIn));
    case varInt64: return TnxVariant::FromInt64(int64_t(LoadU64(aIn)));
    case varUInt64: return TnxVariant::FromUInt64(LoadU64(aIn));
    case varSingle: {
      float f;
      std::memcpy(&f, aIn, 4);
      return TnxVariant::FromSingle(f);
    }
    case varDouble: case varDate: {
      double d;
      std::memcpy(&d, aIn, 8);
      return aBase == varDate ? TnxVariant::FromDate(d) : TnxVariant::FromDouble(d);
    }
    case varCurrency: return TnxVariant::FromCurrency(int64_t(LoadU64(aIn)));
    case varBoolean: return TnxVariant::FromBoolean(LoadU16(aIn) != 0);
    case varError: return TnxVariant::FromError(int32_t(LoadU32(aIn)));
    case varDecimal: return TnxVariant::Decimal();
    default: return TnxVariant::OfUnsupportedType(aBase);
  }
}

// An element of an element-wise array as a variant of the array's type;
// false when it has no such form.
bool ElementAs(TVarType aBase, const TnxVariant& aElement, TnxVariant& aOut) {
  using namespace platform;
  const TVarType t = aElement.VarType();
  if (t == aBase || aBase == varVariant) {
    aOut = aElement;
    return true;
  }
  switch (aBase) {
    case varOleStr: aOut = TnxVariant::FromOleStr(aElement.AsString()); return true;
    case varUString: aOut = TnxVariant::FromString(aElement.AsString()); return true;
    case varString: aOut = TnxVariant::FromAnsiString(ToAnsi(aElement.AsString())); return true;
    case varDispatch: case varUnknown: {
      if (t != varEmpty && t != varDispatch && t != varUnknown) return false;
      TInterfacePtr<IInterface> ref = aElement.AsInterface();
      aOut = aBase == varDispatch ? TnxVariant::FromDispatch(ref) : TnxVariant::FromUnknown(ref);
      return true;
    }
    case varDecimal: case kVarType15:
      if (t != varEmpty) return false;
      aOut = LoadFixed(aBase, nullptr);
      return true;
    default: return false;
  }
}

// Steps an index through the dimensions, the last one fastest, and gives
// the element's place in storage (the first index fastest).
class TOdometer {
public:
  explicit TOdometer(const std::vector<std::pair<int32_t, int32_t>>& aBounds) : bounds_(aBounds) {
    index_.reserve(aBounds.size());
    for (const auto& b : aBounds) index_.push_back(b.first);
  }
  size_t Storage() const {
    size_t place = 0, stride = 1;
    for (size_t d = 0; d < bounds_.size(); ++d) {
      place += size_t(int64_t{index_[d]} - bounds_[d].first) * stride;
      stride *= size_t(int64_t{bounds_[d].second} - bounds_[d].first + 1);
    }
    return place;
  }
  void Next() {
    for (size_t d = bounds_.size(); d-- > 0;) {
      if (index_[d] < bounds_[d].second) {
        ++index_[d];
        return;
      }
      index_[d] = bounds_[d].first;
    }
  }

private:
  const std::vector<std::pair<int32_t, int32_t>>& bounds_;
  std::vector<int32_t> index_;
};

std::vector<std::pair<int32_t, int32_t>> BoundsOf(const TnxVariant& aValue) {
  std::vector<std::pair<int32_t, int32_t>> bounds;
  for (int d = 1; d <= aValue.VarArrayDimCount(); ++d)
    bounds.emplace_back(aValue.VarArrayLowBound(d), aValue.VarArrayHighBound(d));
  return bounds;
}

HRESULT WriteVariantAt(const TnxVariant& aValue, InxWriter& aWriter, int aDepth);

HRESULT WriteArray(const TnxVariant& aValue, InxWriter& aWriter, int aDepth) {
  const TVarType type = aValue.VarType();
  const TVarType base = type & platform::varTypeMask;
  const bool block = IsBlockArrayType(base);
  const int32_t dims = aValue.VarArrayDimCount();
  if ((!block && !IsElementArrayType(base)) || dims < 1 || dims > kMaxDimensions) return RPC_E_INVALID_PARAMETER;
  const auto bounds = BoundsOf(aValue);
  const size_t count = aValue.VarArrayElementCount();
  std::vector<uint8_t> data;
  if (block) {
    // Everything is converted before the first byte goes out.
    const size_t size = size_t(FixedSize(base));
    data.resize(count * size);
    for (size_t i = 0; i < count; ++i)
      if (!StoreFixed(base, aValue.ElementAt(i), data.data() + i * size)) return RPC_E_INVALID_PARAMETER;
  }
  aWriter.WriteInteger(int32_t(type));
  aWriter.WriteInteger(dims);
  uint8_t lows[kMaxDimensions * 4], highs[kMaxDimensions * 4];
  for (int32_t d = 0; d < dims; ++d) {
    platform::StoreU32(lows + d * 4, uint32_t(bounds[size_t(d)].first));
    platform::StoreU32(highs + d * 4, uint32_t(bounds[size_t(d)].second));
  }
  aWriter.WriteBinary(lows, dims * 4);
  aWriter.WriteBinary(highs, dims * 4);
  if (block) {
    aWriter.WriteInteger(int32_t(data.size()));
    aWriter.WriteBinary(data.data(), int32_t(data.size()));
    return S_OK;
  }
  TOdometer at(bounds);
  TnxVariant element;
  for (size_t i = 0; i < count; ++i, at.Next()) {
    if (!ElementAs(base, aValue.ElementAt(at.Storage()), element)) return RPC_E_INVALID_PARAMETER;
    if (HRESULT hr = WriteVariantAt(element, aWriter, aDepth + 1); Failed(hr)) return hr;
  }
  return S_OK;
}

HRESULT WriteVariantAt(const TnxVariant& aValue, InxWriter& aWriter, int aDepth) {
  using namespace platform;
  if (aDepth > kMaxNesting) return RPC_E_INVALID_PARAMETER;
  const TVarType type = aValue.VarType();
  if (type & varArray) return WriteArray(aValue, aWriter, aDepth);
  const TVarType base = type & varTypeMask;
  switch (base) {
    case varEmpty: case varNull: aWriter.WriteInteger(int32_t(type)); return S_OK;
    case varOleStr: case varUString:
      aWriter.WriteInteger(int32_t(type));
      aWriter.WriteWideString(aValue.AsString());
      return S_OK;
    case varString:
      aWriter.WriteInteger(int32_t(type));
      aWriter.WriteString(FromAnsi(aValue.AnsiBytes()));
      return S_OK;
    case varDispatch: case varUnknown: {
      IInterface* ref = aValue.AsInterface().Get();
      if (!ref) {
        aWriter.WriteInteger(int32_t(type));
        aWriter.WriteValue(vaNil);
        return S_OK;
      }
      auto interfaces = Supports<InxInterfaceWriter>(static_cast<IInterface*>(&aWriter));
      if (!interfaces) return RPC_E_INVALID_PARAMETER;
      aWriter.WriteInteger(int32_t(type));
      return interfaces->WriteInterface(base == varDispatch ? kIID_IDispatch : IInterface::IID, ref);
    }
    default: {
      const int size = FixedSize(base);
      if (size < 0) return RPC_E_INVALID_PARAMETER;
      uint8_t bytes[8] = {};
      if (!StoreFixed(base, aValue, bytes)) return RPC_E_INVALID_PARAMETER;
      aWriter.WriteInteger(int32_t(type));
      aWriter.WriteBinary(bytes, size);
      return S_OK;
    }
  }
}

HRESULT ReadVariantAt(TnxVariant& aValue, InxReader& aReader, int aDepth);

HRESULT ReadArray(TnxVariant& aValue, InxReader& aReader, TVarType aBase, int aDepth) {
  const bool block = IsBlockArrayType(aBase);
  if (!block && !IsElementArrayType(aBase)) return RPC_E_INVALID_PARAMETER;
  const int32_t dims = aReader.ReadInteger();
  if (dims < 1 || dims > kMaxDimensions) return RPC_E_INVALID_PARAMETER;
  uint8_t lows[kMaxDimensions * 4], highs[kMaxDimensions * 4];
  aReader.ReadBinary(lows, dims * 4);
  aReader.ReadBinary(highs, dims * 4);
  std::vector<std::pair<int32_t, int32_t>> bounds;
  // Saturates well above anything the stream could hold.
  constexpr int64_t kCountCap = int64_t{1} << 40;
  int64_t count = 1;
  for (int32_t d = 0; d < dims; ++d) {
    const int32_t low = int32_t(platform::LoadU32(lows + d * 4)), high = int32_t(platform::LoadU32(highs + d * 4));
    const int64_t length = int64_t{high} - low + 1;
    if (length < 0) return RPC_E_INVALID_PARAMETER;
    // Capped before the product: 2^40 times a 32-bit length overflows.
    count = length != 0 && count > kCountCap / length ? kCountCap : count * length;
    bounds.emplace_back(low, high);
  }
  if (block) {
    const int64_t size = FixedSize(aBase);
    const int32_t bytes = aReader.ReadInteger();
    // The peer's byte count must be the array's size: it decides how much
    // is copied into the array.
    if (int64_t{bytes} != count * size) return RPC_E_INVALID_PARAMETER;
    CheckCount(aReader, bytes, 1);
    if (count > platform::kMaxVarArrayElements) return RPC_E_INVALID_PARAMETER;
    std::vector<uint8_t> data(size_t(bytes) + 1);
    aReader.ReadBinary(data.data(), bytes);
    aValue = TnxVariant::VarArrayCreate(bounds, aBase);
    for (size_t i = 0; i < size_t(count); ++i) aValue.ElementAt(i) = LoadFixed(aBase, data.data() + i * size_t(size));
    return S_OK;
  }
  CheckCount(aReader, count, kMinVariantBytes);
  if (count > platform::kMaxVarArrayElements) return RPC_E_INVALID_PARAMETER;
  aValue = TnxVariant::VarArrayCreate(bounds, aBase);
  TOdometer at(bounds);
  TnxVariant element;
  for (int64_t i = 0; i < count; ++i, at.Next()) {
    if (HRESULT hr = ReadVariantAt(element, aReader, aDepth + 1); Failed(hr)) return hr;
    if (aBase != platform::varVariant && element.VarType() != aBase) return RPC_E_INVALID_PARAMETER;
    aValue.ElementAt(at.Storage()) = std::move(element);
  }
  return S_OK;
}

// Assigns the target once on every way out (a failure leaves it empty or
// with what was read so far); the caller clears it when the reader raises.
HRESULT ReadVariantInto(TnxVariant& aValue, InxReader& aReader, int aDepth) {
  using namespace platform;
  if (aDepth > kMaxNesting) {
    aValue = TnxVariant();
    return RPC_E_INVALID_PARAMETER;
  }
  const int32_t code = aReader.ReadInteger();
  if (code == (varByRef | varVariant)) return ReadVariantInto(aValue, aReader, aDepth + 1);
  const TVarType type = TVarType(code) & TVarType(~varByRef);
  const TVarType base = type & varTypeMask;
  HRESULT hr = S_OK;
  if (code < 0 || (code & ~int32_t(varTypeMask | varArray | varByRef)) != 0) {
    aValue = TnxVariant();
    hr = RPC_E_INVALID_PARAMETER;
  } else if (type & varArray) {
    aValue = TnxVariant();
    hr = ReadArray(aValue, aReader, base, aDepth);
  } else {
    switch (base) {
      case varEmpty: aValue = TnxVariant(); break;
      case varNull: aValue = TnxVariant::Null(); break;
      case varOleStr: aValue = TnxVariant::FromOleStr(aReader.ReadWideString()); break;
      case varUString: aValue = TnxVariant::FromString(aReader.ReadWideString()); break;
      case varString: aValue = TnxVariant::FromAnsiString(ToAnsi(aReader.ReadString())); break;
      case varDispatch: case varUnknown: {
        TInterfacePtr<IInterface> ref;
        if (aReader.NextValue() == vaNil) {
          aReader.ReadValue();
        } else if (auto interfaces = Supports<InxInterfaceReader>(static_cast<IInterface*>(&aReader))) {
          hr = interfaces->ReadInterface(base == varDispatch ? kIID_IDispatch : IInterface::IID, ref);
        } else {
          hr = RPC_E_INVALID_PARAMETER;
        }
        if (Failed(hr)) aValue = TnxVariant();
        else aValue = base == varDispatch ? TnxVariant::FromDispatch(std::move(ref)) : TnxVariant::FromUnknown(std::move(ref));
        break;
      }
      default: {
        const int size = FixedSize(base);
        if (size < 0) {
          aValue = TnxVariant();
          hr = RPC_E_INVALID_PARAMETER;
          break;
        }
        uint8_t bytes[8] = {};
        aReader.ReadBinary(bytes, size);
        aValue = LoadFixed(base, bytes);
        break;
      }
    }
  }
  return hr;
}

HRESULT ReadVariantAt(TnxVariant& aValue, InxReader& aReader, int aDepth) {
  try {
    return ReadVariantInto(aValue, aReader, aDepth);
  } catch (...) {
    aValue = TnxVariant();
    throw;
  }
}

// --- typed values -------------------------------------------------------------

int OrdinalSize(TnxOrdType aType) {
  switch (aType) {
    case otSByte: case otUByte: return 1;
    case otSWord: case otUWord: return 2;
    default: return 4;
  }
}

int64_t OrdinalMin(TnxOrdType aType) {
  switch (aType) {
    case otSByte: return INT8_MIN;
    case otSWord: return INT16_MIN;
    case otSLong: return INT32_MIN;
    default: return 0;
  }
}

int64_t OrdinalMax(TnxOrdType aType) {
  switch (aType) {
    case otSByte: return INT8_MAX;
    case otUByte: return UINT8_MAX;
    case otSWord: return INT16_MAX;
    case otUWord: return UINT16_MAX;
    case otSLong: return INT32_MAX;
    default: return UINT32_MAX;
  }
}

int64_t LoadOrdinal(TnxOrdType aType, const void* aData) {
  const auto* p = static_cast<const uint8_t*>(aData);
  switch (aType) {
    case otSByte: return int8_t(p[0]);
    case otUByte: return p[0];
    case otSWord: return int16_t(platform::LoadU16(p));
    case otUWord: return platform::LoadU16(p);
    case otSLong: return int32_t(platform::LoadU32(p));
    default: return platform::LoadU32(p);
  }
}

void StoreOrdinal(TnxOrdType aType, void* aData, int64_t aValue) {
  switch (OrdinalSize(aType)) {
    case 1: *static_cast<uint8_t*>(aData) = uint8_t(aValue); return;
    case 2: platform::StoreU16(aData, uint16_t(aValue)); return;
    default: platform::StoreU32(aData, uint32_t(aValue)); return;
  }
}

bool InRange(const TnxTypeInfo& aType, int64_t aValue) {
  return aValue >= std::max(aType.tiMinValue, OrdinalMin(aType.tiOrdType)) &&
         aValue <= std::min(aType.tiMaxValue, OrdinalMax(aType.tiOrdType));
}

// A set's bytes; -1 for a range outside 0..255. The element range low..high
// spans the bytes low div 8 to high div 8.
int SetSize(const TnxTypeInfo& aType) {
  if (aType.tiMinValue < 0 || aType.tiMaxValue > 255 || aType.tiMaxValue < aType.tiMinValue) return -1;
  return int(aType.tiMaxValue / 8 - aType.tiMinValue / 8 + 1);
}

bool ValidShortString(const TnxTypeInfo& aType) { return aType.tiMaxLength >= 1 && aType.tiMaxLength <= 255; }

// Asked for every record on every call: no length scan of the name.
bool IsGuidRecord(const TnxTypeInfo& aType) {
  const char16_t* n = aType.tiName;
  return n && n[0] == u'T' && n[1] == u'G' && n[2] == u'U' && n[3] == u'I' && n[4] == u'D' && n[5] == 0;
}

// Bytes of one element of a dynamic array whose elements travel as one
// block; 0 when they travel one by one (or the descriptor is unusable).
int RawWireSize(const TnxTypeInfo& aType) {
  switch (aType.tiKind) {
    case tkInteger: case tkEnumeration: return OrdinalSize(aType.tiOrdType);
    case tkChar: return 1;
    case tkWChar: return 2;
    case tkInt64: return 8;
    case tkFloat:
      switch (aType.tiFloatType) {
        case ftSingle: return 4;
        case ftExtended: return 10;
        default: return 8;
      }
    case tkString: return ValidShortString(aType) ? aType.tiMaxLength + 1 : 0;
    case tkSet: return std::max(SetSize(aType), 0);
    default: return 0;
  }
}

bool IsRawKind(const TnxTypeInfo& aType) {
  switch (aType.tiKind) {
    case tkInteger: case tkEnumeration: case tkChar: case tkWChar: case tkInt64: case tkFloat: case tkString:
    case tkSet: return true;
    default: return false;
  }
}

bool IsExtended(const TnxTypeInfo& aType) { return aType.tiKind == tkFloat && aType.tiFloatType == ftExtended; }

// Elements whose stored bytes could break their type are checked one by
// one after the block has arrived.
bool NeedsCheck(const TnxTypeInfo& aType) {
  if (aType.tiKind == tkString) return true;
  if (aType.tiKind != tkInteger && aType.tiKind != tkEnumeration) return false;
  return aType.tiMinValue > OrdinalMin(aType.tiOrdType) || aType.tiMaxValue < OrdinalMax(aType.tiOrdType);
}

bool ElementValid(const TnxTypeInfo& aType, const uint8_t* aBytes) {
  if (aType.tiKind == tkString) return aBytes[0] <= aType.tiMaxLength;
  return InRange(aType, LoadOrdinal(aType.tiOrdType, aBytes));
}

template <class T>
bool NarrowFloat(long double aValue, void* aData) {
  if (std::isfinite(aValue) && std::fabs(aValue) > static_cast<long double>(std::numeric_limits<T>::max()))
    return false;
  *static_cast<T*>(aData) = static_cast<T>(aValue);
  return true;
}

HRESULT WriteTyped(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData);
HRESULT ReadTyped(InxReader& aReader, const TnxTypeInfo& aType, void* aData);

[[gnu::noinline]] HRESULT WriteInterfaceValue(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData) {
  if (!aType.tiInterface) return RPC_E_INVALID_PARAMETER;
  IInterface* object = aType.tiInterface->Get(aData);
  if (!object) {
    aWriter.WriteValue(vaNil);
    return S_OK;
  }
  if (auto byValue = platform::Supports<InxByValueObject>(object)) {
    TGUID classID;
    if (HRESULT hr = byValue->GetClassID(classID); Failed(hr)) return hr;
    aWriter.WriteBoolean(true);
    aWriter.WriteGuid(classID);
    aWriter.WriteListBegin();
    const HRESULT hr = byValue->WriteObject(&aWriter);
    if (Failed(hr)) return hr;
    aWriter.WriteListEnd();
    return hr;
  }
  auto interfaces = platform::Supports<InxInterfaceWriter>(static_cast<IInterface*>(&aWriter));
  if (!interfaces) return RPC_E_INVALID_PARAMETER;
  aWriter.WriteBoolean(false);
  return interfaces->WriteInterface(aType.tiGuid, object);
}

[[gnu::noinline]] HRESULT ReadInterfaceValue(InxReader& aReader, const TnxTypeInfo& aType, void* aData) {
  if (!aType.tiInterface) return RPC_E_INVALID_PARAMETER;
  aType.tiInterface->Set(aData, nullptr);
  if (aReader.NextValue() == vaNil) {
    aReader.ReadValue();
    return S_OK;
  }
  TInterfacePtr<IInterface> object;
  if (aReader.ReadBoolean()) {
    const TGUID classID = aReader.ReadGuid();
    auto registry = nxClassFactoryRegistry();
    if (!registry) return platform::CO_E_OBJNOTREG;
    if (HRESULT hr = registry->CreateInstance(classID, nullptr, InxByValueObject::IID, object); Failed(hr)) return hr;
    auto byValue = platform::Supports<InxByValueObject>(object);
    if (!byValue) return E_NOINTERFACE;
    aReader.ReadListBegin();
    if (HRESULT hr = byValue->ReadObject(&aReader); Failed(hr)) return hr;
    aReader.ReadListEnd();
    return aType.tiInterface->Set(aData, object.Get());
  }
  auto interfaces = platform::Supports<InxInterfaceReader>(static_cast<IInterface*>(&aReader));
  if (!interfaces) return RPC_E_INVALID_PARAMETER;
  const HRESULT hr = interfaces->ReadInterface(aType.tiGuid, object);
  if (Failed(hr)) return hr;
  const HRESULT set = aType.tiInterface->Set(aData, object.Get());
  return Failed(set) ? set : hr;
}

// The descriptor of a dynamic array's element, checked against the
// element's storage; null when the array cannot travel.
const TnxTypeInfo* ElementTypeOf(const TnxTypeInfo& aType) {
  const TnxTypeInfo* element = aType.tiElementType;
  if (!element || !aType.tiDynArray) return nullptr;
  if (IsRawKind(*element)) {
    const int wire = RawWireSize(*element);
    const int memory = IsExtended(*element) ? int(sizeof(long double)) : wire;
    if (wire == 0 || aType.tiElementSize != memory) return nullptr;
  }
  return element;
}

[[gnu::noinline]] HRESULT WriteDynArray(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData) {
  if (!aType.tiDynArray) return RPC_E_INVALID_PARAMETER;
  const size_t count = aType.tiDynArray->Length(aData);
  if (count == 0) {
    aWriter.WriteValue(vaNil);
    return S_OK;
  }
  const TnxTypeInfo* element = ElementTypeOf(aType);
  if (!element || count > size_t(INT32_MAX)) return RPC_E_INVALID_PARAMETER;
  const auto* access = aType.tiDynArray;
  if (!IsRawKind(*element)) {
    aWriter.WriteInteger(int32_t(count));
    aWriter.WriteListBegin();
    for (size_t i = 0; i < count; ++i)
      if (HRESULT hr = WriteTyped(aWriter, *element, access->ConstElement(aData, i)); Failed(hr)) return hr;
    aWriter.WriteListEnd();
    return S_OK;
  }
  const int64_t bytes = int64_t(count) * RawWireSize(*element);
  if (bytes > INT32_MAX) return RPC_E_INVALID_PARAMETER;
  aWriter.WriteInteger(int32_t(count));
  if (IsExtended(*element)) {
    // The extended value is the first 10 bytes of the 16 in memory.
    std::vector<uint8_t> packed(static_cast<size_t>(bytes));
    for (size_t i = 0; i < count; ++i) std::memcpy(packed.data() + i * 10, access->ConstElement(aData, i), 10);
    aWriter.WriteBinary(packed.data(), int32_t(bytes));
  } else {
    aWriter.WriteBinary(access->ConstElement(aData, 0), int32_t(bytes));
  }
  return S_OK;
}

[[gnu::noinline]] HRESULT ReadDynArray(InxReader& aReader, const TnxTypeInfo& aType, void* aData) {
  if (!aType.tiDynArray) return RPC_E_INVALID_PARAMETER;
  const auto* access = aType.tiDynArray;
  if (aReader.NextValue() == vaNil) {
    aReader.ReadValue();
    access->Resize(aData, 0);
    return S_OK;
  }
  const TnxTypeInfo* element = ElementTypeOf(aType);
  if (!element) return RPC_E_INVALID_PARAMETER;
  const int32_t count = aReader.ReadInteger();
  if (!IsRawKind(*element)) {
    CheckCount(aReader, count, 1);
    access->Resize(aData, size_t(count));
    aReader.ReadListBegin();
    for (int32_t i = 0; i < count; ++i)
      if (HRESULT hr = ReadTyped(aReader, *element, access->Element(aData, size_t(i))); Failed(hr)) return hr;
    aReader.ReadListEnd();
    return S_OK;
  }
  const int wire = RawWireSize(*element);
  CheckCount(aReader, count, wire);
  const int64_t bytes = int64_t{count} * wire;
  if (bytes > INT32_MAX) return RPC_E_INVALID_PARAMETER;
  if (count == 0) {
    uint8_t none;
    aReader.ReadBinary(&none, 0);
    access->Resize(aData, 0);
    return S_OK;
  }
  if (!IsExtended(*element) && !NeedsCheck(*element)) {
    access->Resize(aData, size_t(count));
    aReader.ReadBinary(access->Element(aData, 0), int32_t(bytes));
    return S_OK;
  }
  // Into a buffer first: a bad element must never sit in a typed object.
  std::vector<uint8_t> block(static_cast<size_t>(bytes));
  aReader.ReadBinary(block.data(), int32_t(bytes));
  for (int32_t i = 0; i < count; ++i)
    if (!IsExtended(*element) && !ElementValid(*element, block.data() + size_t(i) * size_t(wire)))
      return RPC_E_INVALID_PARAMETER;
  access->Resize(aData, size_t(count));
  for (int32_t i = 0; i < count; ++i) {
    void* target = access->Element(aData, size_t(i));
    if (IsExtended(*element)) {
      long double v = 0;
      std::memcpy(&v, block.data() + size_t(i) * 10, 10);
      *static_cast<long double*>(target) = v;
    } else {
      std::memcpy(target, block.data() + size_t(i) * size_t(wire), size_t(wire));
    }
  }
  return S_OK;
}

// The 8-bit reads sit out of line, so that the common kinds do not pay
// for their frames.
[[gnu::noinline]] HRESULT ReadAnsiChar(InxReader& aReader, void* aData) {
  // Through the code page: the tagged reader's own char read keeps only
  // the low byte of the UTF-16 unit, which breaks the euro sign and its kin.
  const std::optional<std::string> c = platform::UnicodeToCodePage(aReader.ReadString(), platform::SystemAnsiCodePage());
  if (!c || c->size() != 1) return RPC_E_INVALID_PARAMETER;
  *static_cast<char*>(aData) = (*c)[0];
  return S_OK;
}

[[gnu::noinline]] HRESULT ReadShortString(InxReader& aReader, const TnxTypeInfo& aType, void* aData) {
  if (!ValidShortString(aType)) return RPC_E_INVALID_PARAMETER;
  const std::string text = ToAnsi(aReader.ReadString());
  if (text.size() > size_t(aType.tiMaxLength)) return RPC_E_INVALID_PARAMETER;
  auto* p = static_cast<uint8_t*>(aData);
  p[0] = uint8_t(text.size());
  std::memcpy(p + 1, text.data(), text.size());
  return S_OK;
}

HRESULT WriteTyped(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData) {
  switch (aType.tiKind) {
    case tkInteger: case tkEnumeration: {
      const int64_t v = LoadOrdinal(aType.tiOrdType, aData);
      if (aType.tiOrdType == otULong) aWriter.WriteInteger(v);
      else aWriter.WriteInteger(int32_t(v));
      return S_OK;
    }
    case tkChar: aWriter.WriteAnsiChar(*static_cast<const char*>(aData)); return S_OK;
    case tkWChar: aWriter.WriteWideChar(*static_cast<const char16_t*>(aData)); return S_OK;
    case tkFloat:
      switch (aType.tiFloatType) {
        case ftSingle: aWriter.WriteFloat(*static_cast<const float*>(aData)); return S_OK;
        case ftDouble: aWriter.WriteFloat(*static_cast<const double*>(aData)); return S_OK;
        case ftExtended: aWriter.WriteFloat(*static_cast<const long double*>(aData)); return S_OK;
        default: aWriter.WriteInteger(int64_t(platform::LoadU64(aData))); return S_OK;
      }
    case tkInt64: aWriter.WriteInteger(int64_t(platform::LoadU64(aData))); return S_OK;
    case tkString: {
      const auto* p = static_cast<const uint8_t*>(aData);
      if (!ValidShortString(aType) || p[0] > aType.tiMaxLength) return RPC_E_INVALID_PARAMETER;
      aWriter.WriteString(FromAnsi(std::string_view(reinterpret_cast<const char*>(p + 1), p[0])));
      return S_OK;
    }
    case tkLString: aWriter.WriteString(FromAnsi(*static_cast<const std::string*>(aData))); return S_OK;
    case tkWString: aWriter.WriteWideString(static_cast<const TnxOleString*>(aData)->osText); return S_OK;
    case tkUString: aWriter.WriteWideString(*static_cast<const std::u16string*>(aData)); return S_OK;
    case tkSet: {
      const int size = SetSize(aType);
      if (size < 0) return RPC_E_INVALID_PARAMETER;
      aWriter.WriteBinary(aData, size);
      return S_OK;
    }
    case tkVariant: return WriteVariantAt(*static_cast<const TnxVariant*>(aData), aWriter, 0);
    case tkRecord:
      if (!IsGuidRecord(aType)) return RPC_E_INVALID_PARAMETER;
      aWriter.WriteGuid(*static_cast<const TGUID*>(aData));
      return S_OK;
    case tkInterface: return WriteInterfaceValue(aWriter, aType, aData);
    case tkDynArray: return WriteDynArray(aWriter, aType, aData);
    default: return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT ReadTyped(InxReader& aReader, const TnxTypeInfo& aType, void* aData) {
  switch (aType.tiKind) {
    case tkInteger: case tkEnumeration: {
      const int64_t v = aType.tiOrdType == otULong ? aReader.ReadInt64() : aReader.ReadInteger();
      if (!InRange(aType, v)) return RPC_E_INVALID_PARAMETER;
      StoreOrdinal(aType.tiOrdType, aData, v);
      return S_OK;
    }
    case tkChar: return ReadAnsiChar(aReader, aData);
    case tkWChar: *static_cast<char16_t*>(aData) = aReader.ReadWideChar(); return S_OK;
    case tkFloat:
      switch (aType.tiFloatType) {
        case ftSingle: return NarrowFloat<float>(aReader.ReadFloat(), aData) ? S_OK : RPC_E_INVALID_PARAMETER;
        case ftDouble: return NarrowFloat<double>(aReader.ReadFloat(), aData) ? S_OK : RPC_E_INVALID_PARAMETER;
        case ftExtended: *static_cast<long double*>(aData) = aReader.ReadFloat(); return S_OK;
        default: platform::StoreU64(aData, uint64_t(aReader.ReadInt64())); return S_OK;
      }
    case tkInt64: platform::StoreU64(aData, uint64_t(aReader.ReadInt64())); return S_OK;
    case tkString: return ReadShortString(aReader, aType, aData);
    case tkLString: *static_cast<std::string*>(aData) = ToAnsi(aReader.ReadString()); return S_OK;
    case tkWString: static_cast<TnxOleString*>(aData)->osText = aReader.ReadWideString(); return S_OK;
    case tkUString: *static_cast<std::u16string*>(aData) = aReader.ReadWideString(); return S_OK;
    case tkSet: {
      const int size = SetSize(aType);
      if (size < 0) return RPC_E_INVALID_PARAMETER;
      aReader.ReadBinary(aData, size);
      return S_OK;
    }
    case tkVariant: return ReadVariantAt(*static_cast<TnxVariant*>(aData), aReader, 0);
    case tkRecord:
      if (!IsGuidRecord(aType)) return RPC_E_INVALID_PARAMETER;
      *static_cast<TGUID*>(aData) = aReader.ReadGuid();
      return S_OK;
    case tkInterface: return ReadInterfaceValue(aReader, aType, aData);
    case tkDynArray: return ReadDynArray(aReader, aType, aData);
    default: return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT CopyTyped(const TnxTypeInfo& aType, const void* aSource, void* aDest) {
  switch (aType.tiKind) {
    case tkInteger: case tkEnumeration: std::memmove(aDest, aSource, size_t(OrdinalSize(aType.tiOrdType))); return S_OK;
    case tkChar: case tkWChar: case tkInt64: case tkString:
      std::memmove(aDest, aSource, size_t(RawWireSize(aType)));
      return RawWireSize(aType) > 0 ? S_OK : RPC_E_INVALID_PARAMETER;
    case tkFloat:
      if (IsExtended(aType)) *static_cast<long double*>(aDest) = *static_cast<const long double*>(aSource);
      else std::memmove(aDest, aSource, size_t(RawWireSize(aType)));
      return S_OK;
    case tkSet: {
      const int size = SetSize(aType);
      if (size < 0) return RPC_E_INVALID_PARAMETER;
      std::memmove(aDest, aSource, size_t(size));
      return S_OK;
    }
    case tkLString: *static_cast<std::string*>(aDest) = *static_cast<const std::string*>(aSource); return S_OK;
    case tkWString: *static_cast<TnxOleString*>(aDest) = *static_cast<const TnxOleString*>(aSource); return S_OK;
    case tkUString: *static_cast<std::u16string*>(aDest) = *static_cast<const std::u16string*>(aSource); return S_OK;
    case tkVariant: *static_cast<TnxVariant*>(aDest) = *static_cast<const TnxVariant*>(aSource); return S_OK;
    case tkRecord:
      if (!IsGuidRecord(aType)) return RPC_E_INVALID_PARAMETER;
      *static_cast<TGUID*>(aDest) = *static_cast<const TGUID*>(aSource);
      return S_OK;
    case tkInterface:
      if (!aType.tiInterface) return RPC_E_INVALID_PARAMETER;
      return aType.tiInterface->Set(aDest, aType.tiInterface->Get(aSource));
    case tkDynArray: {
      if (!aType.tiDynArray) return RPC_E_INVALID_PARAMETER;
      const auto* access = aType.tiDynArray;
      const size_t count = access->Length(aSource);
      if (count == 0) {
        access->Resize(aDest, 0);
        return S_OK;
      }
      const TnxTypeInfo* element = ElementTypeOf(aType);
      if (!element) return RPC_E_INVALID_PARAMETER;
      if (aSource == aDest) return S_OK;
      access->Resize(aDest, count);
      if (IsRawKind(*element)) {
        std::memcpy(access->Element(aDest, 0), access->ConstElement(aSource, 0), count * size_t(aType.tiElementSize));
        return S_OK;
      }
      for (size_t i = 0; i < count; ++i)
        if (HRESULT hr = CopyTyped(*element, access->ConstElement(aSource, i), access->Element(aDest, i)); Failed(hr))
          return hr;
      return S_OK;
    }
    default: return RPC_E_INVALID_PARAMETER;
  }
}

}  // namespace

HRESULT nxWriteVariant(const TnxVariant& aValue, InxWriter& aWriter) {
  try {
    return WriteVariantAt(aValue, aWriter, 0);
  } catch (const platform::EVariantError&) {
    return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT nxReadVariant(TnxVariant& aValue, InxReader& aReader) {
  try {
    return ReadVariantAt(aValue, aReader, 0);
  } catch (const platform::EVariantArrayCreateError&) {
    return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT nxWriteTypedValue(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData) {
  try {
    return WriteTyped(aWriter, aType, aData);
  } catch (const platform::EVariantError&) {
    return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT nxReadTypedValue(InxReader& aReader, const TnxTypeInfo& aType, void* aData) {
  try {
    return ReadTyped(aReader, aType, aData);
  } catch (const platform::EVariantArrayCreateError&) {
    return RPC_E_INVALID_PARAMETER;
  }
}

HRESULT nxCopyTypedValue(const TnxTypeInfo& aType, const void* aSource, void* aDest) {
  return CopyTyped(aType, aSource, aDest);
}

HRESULT nxWriteErrorInfo(InxWriter& aWriter, platform::IErrorInfo* aErrorInfo) {
  if (!aErrorInfo) {
    aWriter.WriteValue(vaNil);
    return S_OK;
  }
  TGUID guid;
  if (Failed(aErrorInfo->GetGUID(guid))) guid = platform::GUID_NULL;
  std::u16string source, description, helpFile;
  if (Failed(aErrorInfo->GetSource(source))) source.clear();
  if (Failed(aErrorInfo->GetDescription(description))) description.clear();
  if (Failed(aErrorInfo->GetHelpFile(helpFile))) helpFile.clear();
  uint32_t helpContext = 0;
  if (Failed(aErrorInfo->GetHelpContext(helpContext))) helpContext = 0;
  aWriter.WriteGuid(guid);
  aWriter.WriteWideString(source);
  aWriter.WriteWideString(description);
  aWriter.WriteWideString(helpFile);
  aWriter.WriteInteger(int32_t(helpContext));
  return S_OK;
}

HRESULT nxReadErrorInfo(InxReader& aReader, TInterfacePtr<platform::IErrorInfo>& aErrorInfo) {
  aErrorInfo.Reset();
  if (aReader.NextValue() == vaNil) {
    aReader.ReadValue();
    return S_OK;
  }
  const TGUID guid = aReader.ReadGuid();
  const std::u16string source = aReader.ReadWideString();
  const std::u16string description = aReader.ReadWideString();
  const std::u16string helpFile = aReader.ReadWideString();
  const uint32_t helpContext = uint32_t(aReader.ReadInteger());
  auto created = platform::nxCreateErrorInfo();
  HRESULT hr = created->SetGUID(guid);
  if (!Failed(hr) && !source.empty()) hr = created->SetSource(source);
  if (!Failed(hr) && !description.empty()) hr = created->SetDescription(description);
  if (!Failed(hr) && !helpFile.empty()) hr = created->SetHelpFile(helpFile);
  if (!Failed(hr) && helpContext != 0) hr = created->SetHelpContext(helpContext);
  if (Failed(hr)) return hr;
  aErrorInfo = platform::Supports<platform::IErrorInfo>(created);
  return aErrorInfo ? S_OK : E_NOINTERFACE;
}

}  // namespace revurov
