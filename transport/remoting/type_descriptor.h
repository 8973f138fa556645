// Type descriptors: what the marshalling and the dynamic invocation know of
// a parameter's type. nxTypeInfo<T>() gives the descriptor of a C++ type, a
// constant record that lives for the program.
//
// The C++ type of each kind:
//   integer     int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t
//   char        char                 wide char   char16_t
//   enumeration bool, enum types (range from TnxEnumRange)
//   float       float, double, long double (extended), TnxComp, TnxCurrency
//   64-bit      int64_t, uint64_t
//   short str.  TnxShortString<N>    set         TnxSet<Lo, Hi>
//   ANSI string std::string (bytes in the system's ANSI code page)
//   wide string TnxOleString         Unicode     std::u16string
//   variant     platform::TnxVariant record      platform::TGUID ("TGUID")
//   interface   platform::TInterfacePtr<I>
//   dynamic arr std::vector<T> (not bool)
//   class       pointers to classes  static arr  std::array<T, N>
// Other records and methods have no C++ type here; a hand-made descriptor
// names them.
//
// Interfaces and dynamic arrays are reached only through the descriptor's
// accessors: a cast between TInterfacePtr types would be wrong wherever a
// virtual base puts I and IInterface at different addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/variant.h"
#include "transport/remoting/typed_values.h"

namespace revurov {

enum TnxTypeKind : uint8_t {
  tkUnknown, tkInteger, tkChar, tkEnumeration, tkFloat, tkString, tkSet, tkClass, tkMethod, tkWChar,
  tkLString, tkWString, tkVariant, tkArray, tkRecord, tkInterface, tkInt64, tkDynArray, tkUString,
};

enum TnxOrdType : uint8_t { otSByte, otUByte, otSWord, otUWord, otSLong, otULong };
enum TnxFloatType : uint8_t { ftSingle, ftDouble, ftExtended, ftComp, ftCurr };

// A TInterfacePtr<I> seen through IInterface.
struct TnxInterfaceAccess {
  platform::IInterface* (*Get)(const void* aData) noexcept;
  // Holds aObject's interface I (nil for nil); E_NOINTERFACE and nil when it
  // has none.
  platform::HRESULT (*Set)(void* aData, platform::IInterface* aObject) noexcept;
};

// A std::vector<T> seen through its elements.
struct TnxDynArrayAccess {
  size_t (*Length)(const void* aData) noexcept;
  void (*Resize)(void* aData, size_t aLength);
  void* (*Element)(void* aData, size_t aIndex) noexcept;
  const void* (*ConstElement)(const void* aData, size_t aIndex) noexcept;
};

struct TnxTypeInfo {
  TnxTypeKind tiKind = tkUnknown;
  TnxOrdType tiOrdType = otSLong;         // integer, enumeration
  TnxFloatType tiFloatType = ftDouble;    // float
  int64_t tiMinValue = 0;                 // integer, enumeration; a set's elements
  int64_t tiMaxValue = 0;
  int32_t tiMaxLength = 0;                // short string
  const char16_t* tiName = u"";           // record
  platform::TGUID tiGuid{};               // interface
  int32_t tiElementSize = 0;              // dynamic array: bytes of one element in memory
  const TnxTypeInfo* tiElementType = nullptr;
  const TnxInterfaceAccess* tiInterface = nullptr;
  const TnxDynArrayAccess* tiDynArray = nullptr;
};

namespace typeinfo_detail {

template <class T>
constexpr TnxOrdType OrdTypeOf() {
  constexpr bool s = std::is_signed_v<T>;
  if constexpr (sizeof(T) == 1) return s ? otSByte : otUByte;
  else if constexpr (sizeof(T) == 2) return s ? otSWord : otUWord;
  else return s ? otSLong : otULong;
}

template <class I>
inline constexpr TnxInterfaceAccess kInterfaceAccess{
    [](const void* d) noexcept -> platform::IInterface* {
      return static_cast<const platform::TInterfacePtr<I>*>(d)->Get();
    },
    [](void* d, platform::IInterface* o) noexcept -> platform::HRESULT {
      auto& target = *static_cast<platform::TInterfacePtr<I>*>(d);
      target = platform::Supports<I>(o);
      return (o && !target) ? platform::E_NOINTERFACE : platform::S_OK;
    }};

template <class T>
inline constexpr TnxDynArrayAccess kDynArrayAccess{
    [](const void* d) noexcept { return static_cast<const std::vector<T>*>(d)->size(); },
    [](void* d, size_t n) { static_cast<std::vector<T>*>(d)->resize(n); },
    [](void* d, size_t i) noexcept -> void* { return &(*static_cast<std::vector<T>*>(d))[i]; },
    [](const void* d, size_t i) noexcept -> const void* { return &(*static_cast<const std::vector<T>*>(d))[i]; }};

template <class T>
struct Describe {
  static_assert(sizeof(T) == 0, "this type has no value kind");
};

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
           !std::is_same_v<T, char16_t> && sizeof(T) <= 4)
struct Describe<T> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkInteger, .tiOrdType = OrdTypeOf<T>(),
                                     .tiMinValue = std::numeric_limits<T>::min(),
                                     .tiMaxValue = std::numeric_limits<T>::max()};
};
template <class T>
  requires(std::is_integral_v<T> && sizeof(T) == 8)
struct Describe<T> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkInt64};
};
template <>
struct Describe<char> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkChar};
};
template <>
struct Describe<char16_t> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkWChar};
};
template <>
struct Describe<bool> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkEnumeration, .tiOrdType = otUByte, .tiMinValue = 0, .tiMaxValue = 1};
};
template <class T>
  requires std::is_enum_v<T>
struct Describe<T> {
  static_assert(sizeof(T) <= 4, "enumerations take 1, 2 or 4 bytes");
  static constexpr TnxTypeInfo kInfo{.tiKind = tkEnumeration, .tiOrdType = OrdTypeOf<std::underlying_type_t<T>>(),
                                     .tiMinValue = TnxEnumRange<T>::kLow, .tiMaxValue = TnxEnumRange<T>::kHigh};
};
template <>
struct Describe<float> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkFloat, .tiFloatType = ftSingle};
};
template <>
struct Describe<double> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkFloat, .tiFloatType = ftDouble};
};
template <>
struct Describe<long double> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkFloat, .tiFloatType = ftExtended};
};
template <>
struct Describe<TnxComp> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkFloat, .tiFloatType = ftComp};
};
template <>
struct Describe<TnxCurrency> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkFloat, .tiFloatType = ftCurr};
};
template <int N>
struct Describe<TnxShortString<N>> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkString, .tiMaxLength = N};
};
template <int Lo, int Hi>
struct Describe<TnxSet<Lo, Hi>> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkSet, .tiMinValue = Lo, .tiMaxValue = Hi};
};
template <>
struct Describe<std::string> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkLString};
};
template <>
struct Describe<TnxOleString> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkWString};
};
template <>
struct Describe<std::u16string> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkUString};
};
template <>
struct Describe<platform::TnxVariant> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkVariant};
};
template <>
struct Describe<platform::TGUID> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkRecord, .tiName = u"TGUID"};
};
template <class I>
struct Describe<platform::TInterfacePtr<I>> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkInterface, .tiGuid = I::IID, .tiInterface = &kInterfaceAccess<I>};
};
template <class T>
struct Describe<std::vector<T>> {
  static_assert(!std::is_same_v<T, bool>, "std::vector<bool> keeps no elements of its own");
  static constexpr TnxTypeInfo kInfo{.tiKind = tkDynArray, .tiElementSize = int32_t(sizeof(T)),
                                     .tiElementType = &Describe<T>::kInfo, .tiDynArray = &kDynArrayAccess<T>};
};
template <class T>
  requires std::is_class_v<T>
struct Describe<T*> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkClass};
};
template <class T, size_t N>
struct Describe<std::array<T, N>> {
  static constexpr TnxTypeInfo kInfo{.tiKind = tkArray};
};

}  // namespace typeinfo_detail

template <class T>
constexpr const TnxTypeInfo& nxTypeInfo() noexcept {
  return typeinfo_detail::Describe<std::remove_cv_t<T>>::kInfo;
}

}  // namespace revurov
