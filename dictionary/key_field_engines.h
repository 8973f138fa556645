// One field of a composite key: everything that depends on the field's
// type, direction, null placement, case and locale is decided once, in the
// constructor, and stored as routines; the composite key engine then calls
// them without further dispatch. Named descendants change only how the
// key value is built ("NumbersOnly", "DateOnly", "DateOnlyWeek",
// "DateOnlyMonth", "DateOnlyYear").
//
// Contract:
// - Routines receive the addresses of the value inside a key buffer
//   (KeyLength() bytes) or a record buffer (the field's bytes); text
//   lengths found inside them are capped by those sizes. Addresses need no
//   alignment.
// - Every compare routine is a total order: floating-point NaN sorts after
//   every number and equals itself; text under a locale compares through an
//   ICU collator opened in the constructor and never changed afterwards,
//   so one engine may serve many threads.
// - Text without a locale compares by code unit, except wide text when
//   byte order is switched off for it: that compares under the root
//   collation, whose version CollationVersion() gives (for stamping an
//   index), never under the process's locale.
// - Key text converted into another code page is cut at a whole character
//   where the key is full; a character the key's code page cannot hold
//   raises 9985 rather than turning into a substitute that would make two
//   different values equal.
// - The empty engine name stands for the plain engine, which is
//   registered under its class name.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/field_descriptor.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/registerable.h"
#include "platform/variant.h"

namespace revurov::platform {
class TLocaleCollator;
}

namespace revurov {

class TnxCompositeKeyFieldEngine;
class TnxKeyFieldDescriptor;

REVUROV_EXCEPTION_CLASS(EnxCompositeKeyFieldEngineException, EnxBaseRegisterableEngineException);

extern TnxClassRegistry nxCompositeKeyFieldEngines;

struct TnxKeyFieldEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxCompositeKeyFieldEngine> (*Create)(TnxKeyFieldDescriptor& aDescriptor) = nullptr;
  bool (*SupportsFieldType)(TnxFieldType aFieldType) = nullptr;
};
template <class T>
std::unique_ptr<TnxCompositeKeyFieldEngine> nxNewKeyFieldEngine(TnxKeyFieldDescriptor& aDescriptor) {
  return std::make_unique<T>(aDescriptor);
}

// The partial lengths that take their length from the data: that of the
// first value, that of the second.
inline constexpr int32_t nxPartialLenOfFirst = 0x7FFFFFFE;
inline constexpr int32_t nxPartialLenOfSecond = 0x7FFFFFFD;

// The compares a composite key engine may do in line instead of calling
// CompareKey: the common types in code-unit order.
enum TnxInlineCompare : uint8_t { icNone, icInt32, icInt64, icShortString };

class TnxCompositeKeyFieldEngine : public TnxBaseRegisterableEngine, public InxFieldDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxCompositeKeyFieldEngine, TnxBaseRegisterableEngine, TnxKeyFieldEngineClass,
                              &nxCompositeKeyFieldEngines, &nxNewKeyFieldEngine<TnxCompositeKeyFieldEngine>,
                              &TnxCompositeKeyFieldEngine::SupportsFieldType)

  using TCompare = int (*)(const TnxCompositeKeyFieldEngine& e, const uint8_t* a, const uint8_t* b);
  using TPartialCompare = int (*)(const TnxCompositeKeyFieldEngine& e, const uint8_t* a, const uint8_t* b,
                                  int32_t aPartialLen);
  using TBuildKey = void (*)(const TnxCompositeKeyFieldEngine& e, const uint8_t* aField, uint8_t* aKey);
  using TKeyToRecord = uint32_t (*)(const TnxCompositeKeyFieldEngine& e, const uint8_t* aKey, uint8_t* aField);
  using TKeyAsVariant = void (*)(const TnxCompositeKeyFieldEngine& e, const uint8_t* aKey,
                                 platform::TnxVariant& aValue);

  // 12289 for a field type without compare routine; the OS error for a
  // locale ICU cannot serve.
  explicit TnxCompositeKeyFieldEngine(TnxKeyFieldDescriptor& aDescriptor);
  ~TnxCompositeKeyFieldEngine() override;

  static bool SupportsFieldType(TnxFieldType aFieldType) noexcept;

  // ---- the registry ----
  // The engine registered under the descriptor's engine name; 15503
  // "CompositeKeyFieldEngine \"%s\" is not registered" when none is.
  static std::unique_ptr<TnxCompositeKeyFieldEngine> CreateEngine(TnxKeyFieldDescriptor& aDescriptor);
  // Builds and frees an engine, so that any error of construction raises.
  static void CheckValidBase(TnxKeyFieldDescriptor& aDescriptor);
  static bool CheckSupportsFieldType(std::u16string_view aEngineName, TnxFieldType aFieldType);
  // The registered names as comma text.
  static std::u16string RegisteredEngines();

  // ---- the routines, bound in the constructor ----
  TCompare CompareKey = nullptr;
  TCompare CompareFieldDirect = nullptr;
  TCompare CompareKeyToFieldDirect = nullptr;
  TPartialCompare PartialCompareKey = nullptr;  // null: no partial compare
  TPartialCompare PartialCompareFieldDirect = nullptr;
  TPartialCompare PartialCompareKeyToFieldDirect = nullptr;
  TBuildKey BuildKey = nullptr;
  TKeyToRecord KeyToRecord = nullptr;
  TKeyAsVariant KeyAsVariant = nullptr;
  bool KeySameAsRecordFormat = false;
  bool InvertNull = false;
  bool FilterNull = false;
  bool FilterNonNull = false;

  const std::u16string& FieldName() const noexcept { return ckfeFieldName; }
  TnxFieldType FieldType() const noexcept { return ckfeFieldType; }
  int32_t FieldDecPl() const noexcept { return ckfeFieldDecPl; }
  int32_t FieldLength() const noexcept { return ckfeFieldLength; }
  int32_t FieldOffset() const noexcept { return ckfeFieldOffset; }
  int32_t FieldNumber() const noexcept { return ckfeFieldNumber; }
  int32_t KeyChars() const noexcept { return ckfeKeyChars; }
  int32_t KeyLength() const noexcept { return ckfeKeyLength; }
  int32_t BuildKeyLength() const noexcept { return ckfeBuildKeyLength; }
  int32_t KeyUnits() const noexcept { return ckfeKeyUnits; }
  uint32_t Locale() const noexcept { return ckfeLocale; }
  bool UseByteOrder() const noexcept { return ckfeUseByteOrder; }
  uint32_t CompareFlags() const noexcept { return ckfeCompareFlags; }
  bool Descending() const noexcept { return ckfeDescending; }
  bool CaseInsensitive() const noexcept { return ckfeCaseInsensitive; }
  uint16_t StorageCodepage() const noexcept { return ckfeStorageCodepage; }
  uint16_t CompareCodepage() const noexcept { return ckfeCompareCodepage; }
  bool NLSVersionChanged() const noexcept { return ckfeNLSVersionChanged; }
  // What CompareKey does, when it is one of the in-line compares (the
  // sign follows Descending()).
  TnxInlineCompare InlineCompare() const noexcept { return ckfeInlineCompare; }
  // The collation the text compares under (null: code-unit order).
  const platform::TLocaleCollator* Collator() const noexcept { return ckfeCollator.get(); }
  // Its version; all zero without collation.
  std::array<uint8_t, 4> CollationVersion() const noexcept;
  TnxPoolHandle Allocator() const noexcept { return ckfeAllocator; }

  // InxFieldDescriptor.
  std::u16string GetName() override { return ckfeFieldName; }
  TnxFieldType GetFieldType() override { return ckfeFieldType; }
  int32_t GetUnits() override { return ckfeKeyUnits; }
  int32_t GetDecPl() override { return ckfeFieldDecPl; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return ckfeLocaleDescriptor; }
  uint16_t GetUsedStorageCodePage() override { return ckfeCompareCodepage; }

protected:
  // Descendants that build their own keys: the direct compares build
  // scratch keys and KeyToRecord answers 12289.
  void ReplaceBuildKey(TBuildKey aBuildKey) noexcept;

private:
  void ChooseCompare(TnxKeyFieldDescriptor& aDescriptor);
  void ChooseBuildKey();

  std::u16string ckfeFieldName;
  TnxFieldType ckfeFieldType = nxtBoolean;
  int32_t ckfeFieldDecPl = 0;
  int32_t ckfeFieldLength = 0;
  int32_t ckfeFieldOffset = 0;
  int32_t ckfeFieldNumber = 0;
  int32_t ckfeFieldUnits = 0;
  int32_t ckfeKeyChars = 0;
  int32_t ckfeKeyLength = 0;
  int32_t ckfeBuildKeyLength = 0;
  int32_t ckfeKeyUnits = 0;
  TnxPoolHandle ckfeAllocator = 0;
  uint32_t ckfeLocale = 0;
  bool ckfeUseByteOrder = true;
  uint32_t ckfeCompareFlags = 0;
  bool ckfeDescending = false;
  bool ckfeCaseInsensitive = false;
  TnxLocaleDescriptor* ckfeLocaleDescriptor = nullptr;  // not owned
  uint16_t ckfeStorageCodepage = 0;
  uint16_t ckfeCompareCodepage = 0;
  bool ckfeNLSVersionChanged = false;
  TnxInlineCompare ckfeInlineCompare = icNone;
  bool ckfeConversionNeeded = false;
  bool ckfeStorageMBCS = false;
  bool ckfeCompareMBCS = false;
  std::unique_ptr<platform::TLocaleCollator> ckfeCollator;

  friend struct KeyFieldRoutines;
};

// Keeps only the digits of a text.
class TnxNumbersOnlyCKFE : public TnxCompositeKeyFieldEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNumbersOnlyCKFE, TnxCompositeKeyFieldEngine, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxNumbersOnlyCKFE>, &TnxNumbersOnlyCKFE::SupportsFieldType)
  explicit TnxNumbersOnlyCKFE(TnxKeyFieldDescriptor& aDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType) noexcept;
};

// Date-times reduced to their day.
class TnxDateOnlyCKFE : public TnxCompositeKeyFieldEngine {
  REVUROV_REGISTERABLE_RECORD(TnxDateOnlyCKFE, TnxCompositeKeyFieldEngine, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxDateOnlyCKFE>, &TnxDateOnlyCKFE::SupportsFieldType)
  explicit TnxDateOnlyCKFE(TnxKeyFieldDescriptor& aDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType) noexcept;
};

// Date-times reduced to a day that ProcessDate chooses (day numbers from
// 1 = 1 January of year 1).
class TnxDateOnlyProcessCKFE : public TnxCompositeKeyFieldEngine {
  REVUROV_REGISTERABLE_RECORD(TnxDateOnlyProcessCKFE, TnxCompositeKeyFieldEngine, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxDateOnlyProcessCKFE>,
                              &TnxDateOnlyProcessCKFE::SupportsFieldType)
  explicit TnxDateOnlyProcessCKFE(TnxKeyFieldDescriptor& aDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType) noexcept;
  virtual int32_t ProcessDate(int32_t aDayNumber) const noexcept { return aDayNumber; }
};

class TnxDateOnlyWeekCKFE : public TnxDateOnlyProcessCKFE {
  REVUROV_REGISTERABLE_RECORD(TnxDateOnlyWeekCKFE, TnxDateOnlyProcessCKFE, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxDateOnlyWeekCKFE>, &TnxDateOnlyProcessCKFE::SupportsFieldType)
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  int32_t ProcessDate(int32_t aDayNumber) const noexcept override;
};

class TnxDateOnlyMonthCKFE : public TnxDateOnlyProcessCKFE {
  REVUROV_REGISTERABLE_RECORD(TnxDateOnlyMonthCKFE, TnxDateOnlyProcessCKFE, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxDateOnlyMonthCKFE>, &TnxDateOnlyProcessCKFE::SupportsFieldType)
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  int32_t ProcessDate(int32_t aDayNumber) const noexcept override;
};

class TnxDateOnlyYearCKFE : public TnxDateOnlyProcessCKFE {
  REVUROV_REGISTERABLE_RECORD(TnxDateOnlyYearCKFE, TnxDateOnlyProcessCKFE, TnxKeyFieldEngineClass,
                              &nxNewKeyFieldEngine<TnxDateOnlyYearCKFE>, &TnxDateOnlyProcessCKFE::SupportsFieldType)
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  int32_t ProcessDate(int32_t aDayNumber) const noexcept override;
};

}  // namespace revurov
