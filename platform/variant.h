// The runtime's variant: a tagged union with the variant type codes that the
// library's streams and exception data use.
//
// Contract: the As... conversions follow the runtime's rules for the scalar
// types held here (numbers widen, strings are parsed, Booleans are -1/0 as
// numbers and "True"/"False" as text); a conversion that cannot be done
// raises EVariantTypeCastError "Variante des Typs (%s) konnte
// nicht in Typ (%s) konvertiert werden". Null and Empty convert to 0, False
// and the empty string except that Null raises for every As... but AsString.
//
// BCD: a varFMTBcd variant holds a TBcd (platform/bcd.h); it converts to
// text by BcdToStr with the global separator, to numbers through that text,
// to currency by BcdToCurr.
//
// Interfaces: a varDispatch or varUnknown variant holds one counted
// reference (nil allowed); copies share it.
//
// varDecimal carries no value: what a decimal should hold is not settled,
// so it travels as its type code alone.
//
// Arrays: VarArrayCreate makes an array of the given bounds (low, high per
// dimension) whose elements start Empty; its type is varArray or the element
// type. Bounds and element access raise EVariantInvalidArgError on a variant
// that is no array, a dimension or index outside the bounds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/bcd.h"
#include "platform/interface.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

using TVarType = uint16_t;
constexpr TVarType varEmpty = 0x0000, varNull = 0x0001, varSmallint = 0x0002,
                   varInteger = 0x0003, varSingle = 0x0004, varDouble = 0x0005,
                   varCurrency = 0x0006, varDate = 0x0007, varOleStr = 0x0008,
                   varDispatch = 0x0009, varError = 0x000A, varBoolean = 0x000B,
                   varVariant = 0x000C, varUnknown = 0x000D, varDecimal = 0x000E, varShortInt = 0x0010, varByte = 0x0011,
                   varWord = 0x0012, varLongWord = 0x0013, varInt64 = 0x0014,
                   varUInt64 = 0x0015, varString = 0x0100, varUString = 0x0102,
                   varArray = 0x2000, varByRef = 0x4000, varTypeMask = 0x0FFF;
// The runtime registers its BCD variant type as the first custom type.
constexpr TVarType varFMTBcd = 0x010F;

REVUROV_RUNTIME_EXCEPTION(EVariantError, Exception);
REVUROV_RUNTIME_EXCEPTION(EVariantTypeCastError, EVariantError);
REVUROV_RUNTIME_EXCEPTION(EVariantInvalidArgError, EVariantError);
REVUROV_RUNTIME_EXCEPTION(EVariantArrayCreateError, EVariantError);

// Element counts above this are refused when an array is created.
inline constexpr int64_t kMaxVarArrayElements = int64_t{1} << 24;

class TnxVariant {
public:
  TnxVariant() = default;  // Empty
  static TnxVariant Null();
  static TnxVariant FromShortInt(int8_t v);
  static TnxVariant FromSmallint(int16_t v);
  static TnxVariant FromInteger(int32_t v);
  static TnxVariant FromByte(uint8_t v);
  static TnxVariant FromWord(uint16_t v);
  static TnxVariant FromLongWord(uint32_t v);
  static TnxVariant FromInt64(int64_t v);
  static TnxVariant FromUInt64(uint64_t v);
  static TnxVariant FromSingle(float v);
  static TnxVariant FromDouble(double v);
  static TnxVariant FromCurrency(int64_t scaledBy10000);
  static TnxVariant FromDate(double days);
  static TnxVariant FromBoolean(bool v);
  static TnxVariant FromString(std::u16string v);          // varUString
  static TnxVariant FromOleStr(std::u16string v);          // varOleStr
  static TnxVariant FromError(int32_t scode);              // varError
  static TnxVariant FromDispatch(TInterfacePtr<IInterface> v);
  static TnxVariant FromUnknown(TInterfacePtr<IInterface> v);
  static TnxVariant Decimal();                             // varDecimal, no value
  static TnxVariant FromAnsiString(std::string v);         // varString, bytes as they are
  static TnxVariant FromBcd(const TBcd& v);                 // varFMTBcd
  // A type this layer does not model (arrays and the like): carries its
  // code only, so that writers can refuse it.
  static TnxVariant OfUnsupportedType(TVarType type);
  // Raises EVariantArrayCreateError for no dimension, a high bound below
  // low - 1, or more than kMaxVarArrayElements elements.
  static TnxVariant VarArrayCreate(const std::vector<std::pair<int32_t, int32_t>>& bounds, TVarType elementType);

  bool IsArray() const { return (type_ & varArray) != 0; }
  int VarArrayDimCount() const { return IsArray() ? static_cast<int>(bounds_.size()) : 0; }
  // Dimensions count from 1.
  int32_t VarArrayLowBound(int dim) const;
  int32_t VarArrayHighBound(int dim) const;
  const TnxVariant& GetElement(std::initializer_list<int32_t> indices) const;
  void PutElement(std::initializer_list<int32_t> indices, TnxVariant value);
  // Elements by their place in storage (first index fastest); no check.
  size_t VarArrayElementCount() const { return elements_.size(); }
  const TnxVariant& ElementAt(size_t i) const { return elements_[i]; }
  TnxVariant& ElementAt(size_t i) { return elements_[i]; }

  TVarType VarType() const { return type_; }
  bool IsNull() const { return type_ == varNull; }
  bool IsEmpty() const { return type_ == varEmpty; }
  bool IsOrdinal() const;

  int64_t AsInt64() const;
  uint64_t AsUInt64Bits() const { return u_; }  // raw 64-bit payload of ordinal types
  double AsDouble() const;
  float AsSingle() const { return f_; }
  int64_t AsCurrency() const;  // scaled by 10000
  bool AsBoolean() const;
  std::u16string AsString() const;
  const std::string& AnsiBytes() const { return a_; }
  const TBcd& BcdValue() const { return bcd_; }  // varFMTBcd only
  int32_t AsError() const { return static_cast<int32_t>(i_); }  // varError only
  // varDispatch and varUnknown only.
  const TInterfacePtr<IInterface>& AsInterface() const { return intf_; }

  bool operator==(const TnxVariant& other) const;

private:
  explicit TnxVariant(TVarType t) : type_(t) {}
  [[noreturn]] void CannotConvert(const char16_t* target) const;
  const std::pair<int32_t, int32_t>& Bound(int dim) const;
  size_t ElementIndex(std::initializer_list<int32_t> indices) const;

  TVarType type_ = varEmpty;
  int64_t i_ = 0;    // signed ordinals, currency, Boolean
  uint64_t u_ = 0;   // unsigned ordinals
  double d_ = 0;     // double, date
  float f_ = 0;      // single
  std::u16string s_;
  std::string a_;
  TBcd bcd_;
  TInterfacePtr<IInterface> intf_;
  std::vector<std::pair<int32_t, int32_t>> bounds_;  // arrays: low and high per dimension
  std::vector<TnxVariant> elements_;                 // arrays: first index varies fastest
};

}  // namespace revurov::platform
