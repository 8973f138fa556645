// Field mappers convert one field value from one field type into another,
// and the registry finds the mapper class that serves a pair of types.
//
// Contract:
// - A mapping routine reads only the source field's bytes and writes only
//   within the target field's length; it never touches null flags. It
//   answers 0 (converted), 1 (no value: the target takes its default or
//   null) or nxeInvalidFieldTransformation (the value does not survive;
//   the target's bytes are unspecified).
// - Under dlaBestFit the best-fit routine never fails: numbers are clamped
//   to the nearest value the target holds, text is cut to the target's
//   capacity. Any other action, and no descriptor at all, takes the
//   checking routine.
// - Everything that depends on the pair is decided by CreateMapper; a
//   routine costs one indirect call and looks nothing up.
// - The registry is written only by the start-up chain (fieldmap/startup.h)
//   and read without a lock afterwards. The last class registered for a
//   pair is asked first; a class that declines leaves the pair to the
//   earlier ones.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "dictionary/field_types.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

class TnxAbstractCursor;
class TnxFieldDescriptor;
class TnxFieldMapperDescriptor;
class TnxBaseFieldMapper;

REVUROV_EXCEPTION_CLASS(EnxBaseFieldMapperException, EnxBaseException);

// A routine and its data: the mapper instance, or the class record for a
// routine without state.
using TnxMappingRoutine = uint32_t (*)(const void* aData, const void* aSource, void* aTarget);
struct TnxMappingMethod {
  TnxMappingRoutine Code = nullptr;
  const void* Data = nullptr;

  bool Assigned() const noexcept { return Code != nullptr; }
  void Clear() noexcept { *this = {}; }
  uint32_t operator()(const void* aSource, void* aTarget) const { return Code(Data, aSource, aTarget); }
};

// The class reference of a mapper class: its name and its TryCreateMapper,
// which clears aMapper, then either declines (nil, aMapper unassigned) or
// assigns aMapper and answers the instance the routine needs (nil when it
// needs none).
struct TnxFieldMapperClass {
  std::u16string_view Name;
  std::unique_ptr<TnxBaseFieldMapper> (*TryCreateMapper)(
      const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
      TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
      const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) = nullptr;
};
using TnxBaseFieldMapperClass = const TnxFieldMapperClass*;

class TnxBaseFieldMapper : public TnxObject {
public:
  // The routine for the pair in aMapper (unassigned when no class offers
  // one) and the instance it needs, which the caller keeps alive while it
  // calls aMapper. aMapperDesc may be nil.
  static std::unique_ptr<TnxBaseFieldMapper> CreateMapper(
      TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
      TnxAbstractCursor* aTargetCursor, const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper);
};

// True when aMapperDesc asks for the best-fit routine.
bool nxMapperWantsBestFit(const TnxFieldMapperDescriptor* aMapperDesc) noexcept;

// Appends aClass to the pair's classes; a class registered twice is asked
// twice.
void nxRegisterFieldMapper(TnxBaseFieldMapperClass aClass, TnxFieldType aSourceType, TnxFieldType aTargetType);
// The registry unit's shut-down: every pair forgets its classes.
void nxClearFieldMapperRegistry() noexcept;
// The pair's classes in registration order.
std::span<const TnxBaseFieldMapperClass> nxRegisteredFieldMappers(TnxFieldType aSourceType,
                                                                  TnxFieldType aTargetType) noexcept;
int nxFieldMapperRegistrationCount() noexcept;

}  // namespace revurov
