#include "platform/variant.h"

#include <cmath>
#include <cstdlib>

#include "platform/format.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {

const char16_t* TypeName(TVarType t) {
  switch (t) {
    case varEmpty: return u"Empty";
    case varNull: return u"Null";
    case varSmallint: return u"Smallint";
    case varInteger: return u"Integer";
    case varSingle: return u"Single";
    case varDouble: return u"Double";
    case varCurrency: return u"Currency";
    case varDate: return u"Date";
    case varOleStr: return u"OleStr";
    case varDispatch: return u"Dispatch";
    case varError: return u"Error";
    case varVariant: return u"Variant";
    case varUnknown: return u"Unknown";
    case varDecimal: return u"Decimal";
    case varBoolean: return u"Boolean";
    case varShortInt: return u"ShortInt";
    case varByte: return u"Byte";
    case varWord: return u"Word";
    case varLongWord: return u"LongWord";
    case varInt64: return u"Int64";
    case varUInt64: return u"UInt64";
    case varString: return u"String";
    case varUString: return u"UnicodeString";
    case varFMTBcd: return u"FMTBcdVariantType";
    default: return (t & varArray) ? u"Array" : u"Unknown";
  }
}

bool ParseInt(const std::u16string& s, int64_t& out) {
  std::string t = Utf16ToUtf8(s);
  while (!t.empty() && t.front() == ' ') t.erase(t.begin());
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (t.empty()) return false;
  int base = 10;
  size_t start = 0;
  bool neg = false;
  if (t[0] == '-' || t[0] == '+') { neg = t[0] == '-'; start = 1; }
  if (start < t.size() && t[start] == '$') { base = 16; ++start; }
  else if (t.size() > start + 1 && t[start] == '0' && (t[start + 1] == 'x' || t[start + 1] == 'X')) { base = 16; start += 2; }
  if (start >= t.size()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(t.c_str() + start, &end, base);
  if (errno != 0 || *end != '\0' || t[start] == '-' || t[start] == '+') return false;
  if (v > (neg ? 0x8000000000000000ULL : 0x7FFFFFFFFFFFFFFFULL)) return false;
  out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool ParseFloat(const std::u16string& s, double& out) {
  std::string t = Utf16ToUtf8(s);
  for (char& c : t)
    if (c == static_cast<char>(FormatSettings().DecimalSeparator)) c = '.';
  if (t.empty()) return false;
  char* end = nullptr;
  out = std::strtod(t.c_str(), &end);
  while (end && *end == ' ') ++end;
  return end && *end == '\0' && std::isfinite(out);
}

}  // namespace

TnxVariant TnxVariant::Null() { return TnxVariant(varNull); }
TnxVariant TnxVariant::FromShortInt(int8_t v) { TnxVariant r(varShortInt); r.i_ = v; return r; }
TnxVariant TnxVariant::FromSmallint(int16_t v) { TnxVariant r(varSmallint); r.i_ = v; return r; }
TnxVariant TnxVariant::FromInteger(int32_t v) { TnxVariant r(varInteger); r.i_ = v; return r; }
TnxVariant TnxVariant::FromByte(uint8_t v) { TnxVariant r(varByte); r.u_ = v; r.i_ = v; return r; }
TnxVariant TnxVariant::FromWord(uint16_t v) { TnxVariant r(varWord); r.u_ = v; r.i_ = v; return r; }
TnxVariant TnxVariant::FromLongWord(uint32_t v) { TnxVariant r(varLongWord); r.u_ = v; r.i_ = v; return r; }
TnxVariant TnxVariant::FromInt64(int64_t v) { TnxVariant r(varInt64); r.i_ = v; return r; }
TnxVariant TnxVariant::FromUInt64(uint64_t v) { TnxVariant r(varUInt64); r.u_ = v; r.i_ = static_cast<int64_t>(v); return r; }
TnxVariant TnxVariant::FromSingle(float v) { TnxVariant r(varSingle); r.f_ = v; r.d_ = v; return r; }
TnxVariant TnxVariant::FromDouble(double v) { TnxVariant r(varDouble); r.d_ = v; return r; }
TnxVariant TnxVariant::FromCurrency(int64_t v) { TnxVariant r(varCurrency); r.i_ = v; return r; }
TnxVariant TnxVariant::FromDate(double v) { TnxVariant r(varDate); r.d_ = v; return r; }
TnxVariant TnxVariant::FromBoolean(bool v) { TnxVariant r(varBoolean); r.i_ = v ? -1 : 0; return r; }
TnxVariant TnxVariant::FromString(std::u16string v) { TnxVariant r(varUString); r.s_ = std::move(v); return r; }
TnxVariant TnxVariant::FromOleStr(std::u16string v) { TnxVariant r(varOleStr); r.s_ = std::move(v); return r; }
TnxVariant TnxVariant::FromError(int32_t v) { TnxVariant r(varError); r.i_ = v; return r; }
TnxVariant TnxVariant::FromDispatch(TInterfacePtr<IInterface> v) { TnxVariant r(varDispatch); r.intf_ = std::move(v); return r; }
TnxVariant TnxVariant::FromUnknown(TInterfacePtr<IInterface> v) { TnxVariant r(varUnknown); r.intf_ = std::move(v); return r; }
TnxVariant TnxVariant::Decimal() { return TnxVariant(varDecimal); }
TnxVariant TnxVariant::FromAnsiString(std::string v) { TnxVariant r(varString); r.a_ = std::move(v); return r; }
TnxVariant TnxVariant::FromBcd(const TBcd& v) { TnxVariant r(varFMTBcd); r.bcd_ = v; return r; }
TnxVariant TnxVariant::OfUnsupportedType(TVarType type) { return TnxVariant(type); }

TnxVariant TnxVariant::VarArrayCreate(const std::vector<std::pair<int32_t, int32_t>>& bounds, TVarType elementType) {
  int64_t count = 1;
  for (const auto& [low, high] : bounds) {
    const int64_t n = int64_t{high} - low + 1;
    if (n < 0) count = -1;
    if (count >= 0) count *= n;
    if (count > kMaxVarArrayElements) break;
  }
  if (bounds.empty() || count < 0 || count > kMaxVarArrayElements || (elementType & varArray))
    throw EVariantArrayCreateError(u"Fehler beim Erzeugen des Variant-Arrays");
  TnxVariant r(static_cast<TVarType>(varArray | elementType));
  r.bounds_ = bounds;
  r.elements_.resize(static_cast<size_t>(count));
  return r;
}

const std::pair<int32_t, int32_t>& TnxVariant::Bound(int dim) const {
  if (!IsArray() || dim < 1 || dim > static_cast<int>(bounds_.size()))
    throw EVariantInvalidArgError(u"Ung\u00FCltiges Variant-Argument");
  return bounds_[static_cast<size_t>(dim - 1)];
}

int32_t TnxVariant::VarArrayLowBound(int dim) const { return Bound(dim).first; }
int32_t TnxVariant::VarArrayHighBound(int dim) const { return Bound(dim).second; }

size_t TnxVariant::ElementIndex(std::initializer_list<int32_t> indices) const {
  if (!IsArray() || indices.size() != bounds_.size()) throw EVariantInvalidArgError(u"Ung\u00FCltiges Variant-Argument");
  size_t index = 0, stride = 1;
  int dim = 0;
  for (int32_t i : indices) {
    const auto& [low, high] = bounds_[static_cast<size_t>(dim++)];
    if (i < low || i > high) throw EVariantInvalidArgError(u"Ung\u00FCltiges Variant-Argument");
    index += static_cast<size_t>(int64_t{i} - low) * stride;
    stride *= static_cast<size_t>(int64_t{high} - low + 1);
  }
  return index;
}

const TnxVariant& TnxVariant::GetElement(std::initializer_list<int32_t> indices) const {
  return elements_[ElementIndex(indices)];
}

void TnxVariant::PutElement(std::initializer_list<int32_t> indices, TnxVariant value) {
  elements_[ElementIndex(indices)] = std::move(value);
}

bool TnxVariant::IsOrdinal() const {
  switch (type_) {
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: case varUInt64: return true;
    default: return false;
  }
}

void TnxVariant::CannotConvert(const char16_t* target) const {
  throw EVariantTypeCastError(Format(u"Variante des Typs (%s) konnte nicht in Typ (%s) konvertiert werden",
                             {TypeName(type_), target}));
}

int64_t TnxVariant::AsInt64() const {
  if (IsOrdinal()) {
    if (type_ == varUInt64 && u_ > 0x7FFFFFFFFFFFFFFFULL) CannotConvert(u"Int64");
    return i_;
  }
  switch (type_) {
    case varEmpty: return 0;
    case varBoolean: return i_;
    case varCurrency: return static_cast<int64_t>(std::llround(static_cast<double>(i_) / 10000.0));
    case varSingle: case varDouble: case varDate:
      if (!(std::fabs(d_) < 9.2e18)) CannotConvert(u"Int64");
      return static_cast<int64_t>(std::llround(d_));
    case varFMTBcd: {
      const double d = AsDouble();
      if (!(std::fabs(d) < 9.2e18)) CannotConvert(u"Int64");
      return static_cast<int64_t>(std::llround(d));
    }
    case varOleStr: case varUString: case varString: {
      int64_t v;
      if (!ParseInt(AsString(), v)) CannotConvert(u"Int64");
      return v;
    }
    default: CannotConvert(u"Int64");
  }
}

double TnxVariant::AsDouble() const {
  if (IsOrdinal()) return type_ == varUInt64 ? static_cast<double>(u_) : static_cast<double>(i_);
  switch (type_) {
    case varEmpty: return 0;
    case varBoolean: return static_cast<double>(i_);
    case varCurrency: return static_cast<double>(i_) / 10000.0;
    case varSingle: return f_;
    case varDouble: case varDate: return d_;
    case varOleStr: case varUString: case varString: case varFMTBcd: {
      double v;
      if (!ParseFloat(AsString(), v)) CannotConvert(u"Double");
      return v;
    }
    default: CannotConvert(u"Double");
  }
}

int64_t TnxVariant::AsCurrency() const {
  if (type_ == varCurrency) return i_;
  if (type_ == varFMTBcd) {
    int64_t c;
    if (!BcdToCurr(bcd_, c)) CannotConvert(u"Currency");
    return c;
  }
  double d = AsDouble() * 10000.0;
  if (!(std::fabs(d) < 9.2e18)) CannotConvert(u"Currency");
  return static_cast<int64_t>(std::llround(d));
}

bool TnxVariant::AsBoolean() const {
  switch (type_) {
    case varOleStr: case varUString: case varString: {
      std::u16string s = AsString();
      if (AsciiSameText(s, u"True")) return true;
      if (AsciiSameText(s, u"False")) return false;
      double d;
      if (ParseFloat(s, d)) return d != 0;
      CannotConvert(u"Boolean");
    }
    case varNull: CannotConvert(u"Boolean");
    default: return AsDouble() != 0;
  }
}

std::u16string TnxVariant::AsString() const {
  switch (type_) {
    case varEmpty: case varNull: return {};
    case varBoolean: return i_ ? u"True" : u"False";
    case varUInt64: return Format(u"%u", {u_});
    case varCurrency: case varSingle: case varDouble: case varDate:
      return Format(u"%g", {AsDouble()});
    case varOleStr: case varUString: return s_;
    case varFMTBcd: return BcdToStr(bcd_, FormatSettings().DecimalSeparator);
    case varString: {
      // 8-bit text in the Latin range; other code pages are converted by
      // their owners before they reach a variant.
      std::u16string r;
      r.reserve(a_.size());
      for (unsigned char c : a_) r.push_back(c);
      return r;
    }
    default:
      if (IsOrdinal()) return Format(u"%d", {i_});
      CannotConvert(u"String");
  }
}

bool TnxVariant::operator==(const TnxVariant& o) const {
  return type_ == o.type_ && i_ == o.i_ && u_ == o.u_ &&
         (d_ == o.d_ || (std::isnan(d_) && std::isnan(o.d_))) && f_ == o.f_ && s_ == o.s_ && a_ == o.a_ && BcdEquals(bcd_, o.bcd_) && intf_ == o.intf_ &&
         bounds_ == o.bounds_ && elements_ == o.elements_;
}

}  // namespace revurov::platform
