// Field mapper engines: the running form of one field mapping, which fills
// one target field of a target record from a source record, and the
// registry of special engines chained for field types that need more than
// a value copy.
//
// Contract:
// - CreateFor finds the engine class by the descriptor's class name with
//   "Descriptor" replaced by "Engine" (15503 "Unknown FieldMapper engine"
//   otherwise). Everything that depends on the pair is set up there; a
//   record costs one routine call and the null flags.
// - MapField: no source, or a null source value, gives the target its
//   default value (when the mapping applies defaults and the field has one)
//   and otherwise leaves it as it is. A converted value clears the target's
//   null flag. Result 1 (no value) from any routine, and a lost value under
//   dlaNull, give the default or null: the flag is cleared only for a value
//   written. A lost value under dlaFail answers 10002 with the source
//   field, target field and source value appended to the thread's last
//   converted error.
// - One special engine class per field type at most; registering a second
//   one raises, registering the same one again does nothing.
// - An engine and what it owns are used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dictionary/field_types.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "lowlevel/objects/registerable.h"

namespace revurov {

class TnxAbstractCursor;
class TnxBaseDefaultValueEngine;
class TnxFieldDescriptor;
class TnxFieldMapperDescriptor;
class TnxFieldsDescriptor;
class TnxBaseFieldMapperEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseFieldMapperEngineException, EnxBaseRegisterableEngineException);
REVUROV_EXCEPTION_CLASS(EnxFieldMapperEngineException, EnxBaseFieldMapperEngineException);

extern TnxClassRegistry nxFieldMapperEngines;

struct TnxFieldMapperEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseFieldMapperEngine> (*Create)(TnxFieldMapperDescriptor& aDescriptor,
                                                      TnxAbstractCursor* aSourceCursor,
                                                      TnxAbstractCursor* aTargetCursor) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseFieldMapperEngine> nxNewFieldMapperEngine(TnxFieldMapperDescriptor& aDescriptor,
                                                                 TnxAbstractCursor* aSourceCursor,
                                                                 TnxAbstractCursor* aTargetCursor) {
  return std::make_unique<T>(aDescriptor, aSourceCursor, aTargetCursor);
}

class TnxBaseFieldMapperEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFieldMapperEngine, TnxBaseRegisterableEngine, TnxFieldMapperEngineClass,
                              &nxFieldMapperEngines, nullptr)
  TnxBaseFieldMapperEngine() = default;
  ~TnxBaseFieldMapperEngine() override;

  static std::unique_ptr<TnxBaseFieldMapperEngine> CreateFor(TnxFieldMapperDescriptor& aDescriptor,
                                                             TnxAbstractCursor* aSourceCursor,
                                                             TnxAbstractCursor* aTargetCursor);
  static bool HasSpecialMapper(TnxFieldType aFieldType) noexcept;

  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  // aSource and aTarget are whole record buffers.
  virtual uint32_t MapField(const uint8_t* aSource, uint8_t* aTarget) = 0;
};

// The special-engine registry, one cell per field type.
void RegisterSpecialFieldMapperEngine(const TnxFieldMapperEngineClass& aClass, TnxFieldType aFieldType);
// Empties the cell only when it holds aClass.
void UnregisterSpecialFieldMapperEngine(const TnxFieldMapperEngineClass& aClass, TnxFieldType aFieldType) noexcept;
// Null when no class is registered for the type.
std::unique_ptr<TnxBaseFieldMapperEngine> CreateSpecialFieldMapperEngine(TnxFieldType aFieldType,
                                                                         TnxFieldMapperDescriptor& aDescriptor,
                                                                         TnxAbstractCursor* aSourceCursor,
                                                                         TnxAbstractCursor* aTargetCursor);

class TnxFieldMapperEngine : public TnxBaseFieldMapperEngine {
  REVUROV_REGISTERABLE_RECORD(TnxFieldMapperEngine, TnxBaseFieldMapperEngine, TnxFieldMapperEngineClass,
                              &nxNewFieldMapperEngine<TnxFieldMapperEngine>)
  // 10038 for a field name not in its table; 10002 "No valid Field Mapper
  // available." when no routine serves the pair.
  TnxFieldMapperEngine(TnxFieldMapperDescriptor& aDescriptor, TnxAbstractCursor* aSourceCursor,
                       TnxAbstractCursor* aTargetCursor);
  ~TnxFieldMapperEngine() override;

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  uint32_t MapField(const uint8_t* aSource, uint8_t* aTarget) override;
  // Only for 10002: the field context appended to the thread's last
  // converted error. Other codes pass unchanged.
  virtual uint32_t AddErrorContext(uint32_t aErrorCode, const uint8_t* aSource);

  TnxFieldDescriptor* SourceField() const noexcept { return fmeSourceFieldDesc; }
  TnxFieldDescriptor* TargetField() const noexcept { return fmeTargetFieldDesc; }

  // The usual case of MapField (a non-null source converted, no special
  // engine) as plain data, so that a record engine runs it without a call
  // into the engine; false when this engine has no such case.
  struct TStep {
    TnxMappingMethod Method;
    int32_t SourceOffset, TargetOffset, SourceNullByte, TargetNullByte;
    uint8_t SourceNullMask, TargetNullMask;
  };
  bool GetStep(TStep& aStep) const noexcept;
  // What MapField does after the routine answered r.
  uint32_t Converted(uint32_t r, const uint8_t* aSource, uint8_t* aTarget);

private:
  // The default into the target field, null without one.
  void ApplyDefault(uint8_t* aTarget, bool aForceNull);
  std::u16string SourceValueText(const uint8_t* aSource) const;

  TnxFieldsDescriptor* fmeSourceFieldsDescriptor = nullptr;
  TnxFieldDescriptor* fmeSourceFieldDesc = nullptr;
  int32_t fmeSourceFieldNumber = -1;
  int32_t fmeSourceFieldOffset = 0;
  TnxFieldsDescriptor* fmeTargetFieldsDescriptor = nullptr;
  TnxFieldDescriptor* fmeTargetFieldDesc = nullptr;
  int32_t fmeTargetFieldNumber = -1;
  int32_t fmeTargetFieldOffset = 0;
  // The null flags: their bytes in the records and their bits.
  int32_t fmeSourceNullByte = 0;
  uint8_t fmeSourceNullMask = 0;
  int32_t fmeTargetNullByte = 0;
  uint8_t fmeTargetNullMask = 0;
  TnxDataLossAction fmeDataLossAction = dlaFail;
  TnxMappingMethod fmeFieldMapperMethod;
  std::unique_ptr<TnxBaseFieldMapper> fmeFieldMapper;
  std::unique_ptr<TnxBaseDefaultValueEngine> fmeDefaultValueEngine;
  std::unique_ptr<TnxBaseFieldMapperEngine> fmeSpecialMapperEngine;
};

// The text of a field-name error: the standard message, then
// ' Field "<name>" not in <side> dictionary'.
std::u16string nxFieldNotInDictionaryText(std::u16string_view aName, std::u16string_view aSide);

}  // namespace revurov
