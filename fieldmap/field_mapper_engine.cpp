#include "fieldmap/field_mapper_engine.h"

#include <cstring>

#include "dictionary/default_value_engines.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_cursor.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "platform/variant.h"

namespace revurov {

constinit TnxClassRegistry nxFieldMapperEngines;

namespace {

// Written only by the start-up chain; read without a lock.
const TnxFieldMapperEngineClass* gSpecialEngines[nxFieldTypeCount] = {};

TnxFieldsDescriptor& FieldsOf(TnxAbstractCursor* aCursor, std::u16string_view aSide) {
  TnxBaseTableDescriptor* table = aCursor ? aCursor->TableDescriptor() : nullptr;
  if (!table)
    throw EnxFieldMapperEngineException(nxeInvalidParameter, nxOriginalMessageTag() + u" No " +
                                                                 std::u16string(aSide) + u" cursor");
  return table->FieldsDescriptor();
}

int32_t FieldOrRaise(const TnxFieldsDescriptor& aFields, std::u16string_view aName, std::u16string_view aSide) {
  const int32_t n = aFields.GetFieldFromName(aName);
  if (n < 0) throw EnxFieldMapperEngineException(nxeInvalidFieldName, nxFieldNotInDictionaryText(aName, aSide));
  return n;
}

// Single quotes around, inner ones doubled.
std::u16string Quoted(std::u16string_view aText) {
  std::u16string s(1, u'\'');
  for (char16_t c : aText) {
    s += c;
    if (c == u'\'') s += c;
  }
  s += u'\'';
  return s;
}

}  // namespace

std::u16string nxFieldNotInDictionaryText(std::u16string_view aName, std::u16string_view aSide) {
  std::u16string s = nxOriginalMessageTag();
  s += u" Field \"";
  s += aName;
  s += u"\" not in ";
  s += aSide;
  s += u" dictionary";
  return s;
}

// ---- TnxBaseFieldMapperEngine ----

TnxBaseFieldMapperEngine::~TnxBaseFieldMapperEngine() = default;

std::unique_ptr<TnxBaseFieldMapperEngine> TnxBaseFieldMapperEngine::CreateFor(TnxFieldMapperDescriptor& aDescriptor,
                                                                              TnxAbstractCursor* aSourceCursor,
                                                                              TnxAbstractCursor* aTargetCursor) {
  const std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const auto* cls = nxFindClassAs<TnxFieldMapperEngineClass>(ClassInfo(), name);
  if (!cls || !cls->Create) nxRaiseUnknownEngine<EnxBaseFieldMapperEngineException>(u"FieldMapper", name);
  return cls->Create(aDescriptor, aSourceCursor, aTargetCursor);
}

bool TnxBaseFieldMapperEngine::HasSpecialMapper(TnxFieldType aFieldType) noexcept {
  return aFieldType < nxFieldTypeCount && gSpecialEngines[aFieldType] != nullptr;
}

void RegisterSpecialFieldMapperEngine(const TnxFieldMapperEngineClass& aClass, TnxFieldType aFieldType) {
  if (aFieldType >= nxFieldTypeCount) throw EnxBaseFieldMapperEngineException(nxeInvalidParameter);
  const TnxFieldMapperEngineClass*& cell = gSpecialEngines[aFieldType];
  if (cell && cell != &aClass)
    throw EnxBaseFieldMapperEngineException(u"A special Field Mapper has already been registered for this FieldType");
  cell = &aClass;
}

void UnregisterSpecialFieldMapperEngine(const TnxFieldMapperEngineClass& aClass, TnxFieldType aFieldType) noexcept {
  if (aFieldType < nxFieldTypeCount && gSpecialEngines[aFieldType] == &aClass) gSpecialEngines[aFieldType] = nullptr;
}

std::unique_ptr<TnxBaseFieldMapperEngine> CreateSpecialFieldMapperEngine(TnxFieldType aFieldType,
                                                                         TnxFieldMapperDescriptor& aDescriptor,
                                                                         TnxAbstractCursor* aSourceCursor,
                                                                         TnxAbstractCursor* aTargetCursor) {
  if (aFieldType >= nxFieldTypeCount) return nullptr;
  const TnxFieldMapperEngineClass* cls = gSpecialEngines[aFieldType];
  if (!cls || !cls->Create) return nullptr;
  return cls->Create(aDescriptor, aSourceCursor, aTargetCursor);
}

// ---- TnxFieldMapperEngine ----

TnxFieldMapperEngine::TnxFieldMapperEngine(TnxFieldMapperDescriptor& aDescriptor, TnxAbstractCursor* aSourceCursor,
                                           TnxAbstractCursor* aTargetCursor)
    : fmeDataLossAction(aDescriptor.DataLossAction()) {
  fmeTargetFieldsDescriptor = &FieldsOf(aTargetCursor, u"target");
  fmeTargetFieldNumber = FieldOrRaise(*fmeTargetFieldsDescriptor, aDescriptor.TargetName(), u"target");
  fmeTargetFieldDesc = fmeTargetFieldsDescriptor->FieldDescriptor(fmeTargetFieldNumber);
  fmeTargetFieldOffset = fmeTargetFieldDesc->Offset();
  fmeTargetNullByte = fmeTargetFieldsDescriptor->LogicalRecordLength() + (fmeTargetFieldNumber >> 3);
  fmeTargetNullMask = static_cast<uint8_t>(1u << (fmeTargetFieldNumber & 7));

  if (!aDescriptor.SourceName().empty()) {
    fmeSourceFieldsDescriptor = &FieldsOf(aSourceCursor, u"source");
    fmeSourceFieldNumber = FieldOrRaise(*fmeSourceFieldsDescriptor, aDescriptor.SourceName(), u"source");
    fmeSourceFieldDesc = fmeSourceFieldsDescriptor->FieldDescriptor(fmeSourceFieldNumber);
    fmeSourceFieldOffset = fmeSourceFieldDesc->Offset();
    fmeSourceNullByte = fmeSourceFieldsDescriptor->LogicalRecordLength() + (fmeSourceFieldNumber >> 3);
    fmeSourceNullMask = static_cast<uint8_t>(1u << (fmeSourceFieldNumber & 7));
    fmeFieldMapper = TnxBaseFieldMapper::CreateMapper(*fmeSourceFieldDesc, aSourceCursor, *fmeTargetFieldDesc,
                                                      aTargetCursor, &aDescriptor, fmeFieldMapperMethod);
    if (!fmeFieldMapperMethod.Assigned())
      throw EnxFieldMapperEngineException(nxeInvalidFieldTransformation,
                                          nxOriginalMessageTag() + u"\r\n\r\nNo valid Field Mapper available.\r\n\r\n" +
                                              u"Source Field: " + fmeSourceFieldDesc->ToString() + u"\r\n" +
                                              u"Target Field: " + fmeTargetFieldDesc->ToString());
  }

  if (aDescriptor.ApplyDefault() && fmeTargetFieldDesc->DefaultValue())
    fmeDefaultValueEngine = TnxBaseDefaultValueEngine::CreateFor(*fmeTargetFieldDesc->DefaultValue(),
                                                                 dynamic_cast<InxDefaultValueCursor*>(aTargetCursor));
  fmeSpecialMapperEngine =
      CreateSpecialFieldMapperEngine(fmeTargetFieldDesc->FieldType(), aDescriptor, aSourceCursor, aTargetCursor);
}

TnxFieldMapperEngine::~TnxFieldMapperEngine() = default;

void TnxFieldMapperEngine::BeforeFirstRecord() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeFirstRecord();
}

void TnxFieldMapperEngine::BeforeCommit() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeCommit();
}

void TnxFieldMapperEngine::ApplyDefault(uint8_t* aTarget, bool aForceNull) {
  uint8_t* field = aTarget + fmeTargetFieldOffset;
  if (fmeDefaultValueEngine) {
    const bool written = fmeDefaultValueEngine->SetDefaultValue(field);
    fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, !written);
  } else if (aForceNull) {
    // What a failed routine left there is no value: a null field holds zeros.
    std::memset(field, 0, static_cast<size_t>(fmeTargetFieldDesc->Length()));
    aTarget[fmeTargetNullByte] |= fmeTargetNullMask;
  }
}

uint32_t TnxFieldMapperEngine::MapField(const uint8_t* aSource, uint8_t* aTarget) {
  if (!fmeFieldMapperMethod.Assigned() || (aSource[fmeSourceNullByte] & fmeSourceNullMask)) {
    ApplyDefault(aTarget, false);
    return Converted(0, aSource, aTarget);
  }
  const uint32_t r = fmeFieldMapperMethod(aSource + fmeSourceFieldOffset, aTarget + fmeTargetFieldOffset);
  if (r == 0) aTarget[fmeTargetNullByte] &= static_cast<uint8_t>(~fmeTargetNullMask);
  return Converted(r, aSource, aTarget);
}

bool TnxFieldMapperEngine::GetStep(TStep& aStep) const noexcept {
  if (!fmeFieldMapperMethod.Assigned() || fmeSpecialMapperEngine) return false;
  aStep = {fmeFieldMapperMethod, fmeSourceFieldOffset, fmeTargetFieldOffset, fmeSourceNullByte,
           fmeTargetNullByte, fmeSourceNullMask, fmeTargetNullMask};
  return true;
}

uint32_t TnxFieldMapperEngine::Converted(uint32_t r, const uint8_t* aSource, uint8_t* aTarget) {
  if (r != 0 && (r == 1 || fmeDataLossAction == dlaNull)) {
    ApplyDefault(aTarget, true);
    r = 0;
  }
  if (r == 0 && fmeSpecialMapperEngine) r = fmeSpecialMapperEngine->MapField(aSource, aTarget);
  return r == 0 ? 0 : AddErrorContext(r, aSource);
}

std::u16string TnxFieldMapperEngine::SourceValueText(const uint8_t* aSource) const {
  if (!fmeSourceFieldDesc) return u"EMPTY";
  try {
    const platform::TnxVariant v = fmeSourceFieldsDescriptor->fsdGetFieldByIndexAsVariant(aSource, fmeSourceFieldNumber);
    if (v.IsNull()) return u"NULL";
    if (v.IsEmpty()) return u"EMPTY";
    switch (v.VarType()) {
      case platform::varOleStr:
      case platform::varString:
      case platform::varUString:
        return Quoted(v.AsString());
      default:
        return v.AsString();
    }
  } catch (const platform::Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  }
}

uint32_t TnxFieldMapperEngine::AddErrorContext(uint32_t aErrorCode, const uint8_t* aSource) {
  if (aErrorCode != nxeInvalidFieldTransformation) return aErrorCode;
  uint32_t lastCode = 0;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(lastCode, text);
  if (lastCode != nxeInvalidFieldTransformation || text.empty()) text = nxOriginalMessageTag();
  text += u"\r\n\r\nSource Field: ";
  if (fmeSourceFieldDesc) text += fmeSourceFieldDesc->ToString();
  text += u"\r\nTarget Field: ";
  text += fmeTargetFieldDesc->ToString();
  text += u"\r\nSource Value: ";
  text += SourceValueText(aSource);
  EnxBaseException::SetLastConvertedException(nxeInvalidFieldTransformation, text);
  return nxeInvalidFieldTransformation;
}

}  // namespace revurov
