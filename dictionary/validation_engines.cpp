#include "dictionary/validation_engines.h"

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/validation_descriptors.h"

namespace revurov {

constinit TnxClassRegistry nxValidationEngines;

// ---- TnxBaseValidationEngine ----

TnxBaseValidationEngine::TnxBaseValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                 std::u16string_view aName, std::u16string_view aFieldName)
    : bveDescriptor(aDescriptor), bveName(aName), bfvFieldName(aFieldName) {}

std::unique_ptr<TnxBaseValidationEngine> TnxBaseValidationEngine::CreateFor(
    const TnxBaseFieldValidationDescriptor* aDescriptor, const TnxFieldDescriptor* aField, TnxApplyAt aApplyAt) {
  if (!aDescriptor || !(aDescriptor->GetApplyAt() & nxApplyAtBit(aApplyAt))) return nullptr;
  const std::u16string name = nxEngineNameForDescriptor(aDescriptor->ClassName());
  const auto* cls = nxFindClassAs<TnxValidationEngineClass>(TnxBaseValidationEngine::ClassInfo(), name);
  if (!cls || !cls->CreateInstance) nxRaiseUnknownEngine<EnxBaseValidationEngineException>(u"Validation", name);
  return cls->CreateInstance(aDescriptor, aDescriptor->Name(), aField ? aField->Name() : std::u16string_view());
}

std::u16string TnxBaseValidationEngine::GetErrorMessage() const { return nxOriginalMessageTag(); }

void TnxBaseValidationEngine::RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const {
  throw EnxBaseValidationEngineException(aErrorCode, u"%s", {aMessage});
}

void TnxBaseValidationEngine::ValidationFailed(uint32_t aErrorCode) const {
  std::u16string message;
  if (!bfvFieldName.empty())
    message = u"Field validation \"" + bveName + u"\" for field \"" + bfvFieldName + u"\" failed: ";
  else
    message = u"Fields validation \"" + bveName + u"\" failed: ";
  message += GetErrorMessage();
  RaiseFailure(aErrorCode, message);
  // An override that does not raise still fails the rule.
  throw EnxBaseValidationEngineException(aErrorCode, u"%s", {message});
}

// ---- the rule engines ----

void TnxNotNullValidationEngine::ValidateField(const void*, const void*, const void* aNewField, const void*) {
  if (!aNewField) ValidationFailed(nxeFieldValueRequired);
}

void TnxNotNullValidationEngine::RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const {
  throw EnxNotNullValidationEngineException(aErrorCode, u"%s", {aMessage});
}

void TnxSqlCheckValidationEngine::ValidateField(const void*, const void*, const void*, const void*) {
  throw EnxSqlCheckValidationEngineException(nxeCapabilityNotSupported,
                                             u"Evaluation of CHECK constraint requires an SQL engine");
}

// ---- TnxValidationsHandler ----

std::unique_ptr<TnxValidationsHandler> TnxValidationsHandler::CreateFor(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                                        TnxApplyAt aApplyAt) {
  std::unique_ptr<TnxValidationsHandler> handler(new TnxValidationsHandler(aFieldsDescriptor));
  handler->vhEnginesByIndex.assign(static_cast<size_t>(aFieldsDescriptor.FieldCount()), -1);
  const auto addRules = [&](const TnxFieldValidationsDescriptor* aList, const TnxFieldDescriptor* aField,
                            Engines& aEngines) {
    if (!aList) return;
    for (int32_t r = 0; r < aList->ValidationCount(); ++r)
      if (auto engine = TnxBaseValidationEngine::CreateFor(aList->ValidationDescriptor(r), aField, aApplyAt))
        aEngines.Rules.push_back(std::move(engine));
  };
  Engines record;
  addRules(aFieldsDescriptor.Validations(), nullptr, record);
  if (!record.Rules.empty()) {
    handler->vhFieldsEngine = 0;
    handler->vhEngines.push_back(std::move(record));
  }
  for (int32_t i = 0; i < aFieldsDescriptor.FieldCount(); ++i) {
    const TnxFieldDescriptor* field = aFieldsDescriptor.FieldDescriptor(i);
    Engines engines;
    engines.Field = i;
    // Clients leave required fields to the server.
    if (field->Required() && aApplyAt == aaServer)
      engines.Rules.push_back(std::make_unique<TnxNotNullValidationEngine>(nullptr, u"", field->Name()));
    addRules(field->Validations(), field, engines);
    if (engines.Rules.empty()) continue;
    handler->vhEnginesByIndex[static_cast<size_t>(i)] = static_cast<int32_t>(handler->vhEngines.size());
    handler->vhEngines.push_back(std::move(engines));
  }
  if (handler->vhEngines.empty()) return nullptr;
  return handler;
}

void TnxValidationsHandler::Run(const Engines& aEngines, const void* aOldRecord, const void* aNewRecord) const {
  if (aEngines.Field < 0) {
    for (const auto& rule : aEngines.Rules) rule->ValidateRecord(aOldRecord, aNewRecord);
    return;
  }
  const int32_t offset = vhFieldsDescriptor.FieldDescriptor(aEngines.Field)->Offset();
  const auto fieldOf = [&](const void* aRecord) -> const void* {
    if (!aRecord || vhFieldsDescriptor.IsRecordFieldNull(aEngines.Field, aRecord)) return nullptr;
    return static_cast<const uint8_t*>(aRecord) + offset;
  };
  const void* oldField = fieldOf(aOldRecord);
  const void* newField = fieldOf(aNewRecord);
  for (const auto& rule : aEngines.Rules) rule->ValidateField(oldField, aOldRecord, newField, aNewRecord);
}

void TnxValidationsHandler::ValidateRecord(const void* aOldRecord, const void* aNewRecord) const {
  for (const Engines& engines : vhEngines) Run(engines, aOldRecord, aNewRecord);
}

void TnxValidationsHandler::ValidateField(const void* aOldRecord, const void* aNewRecord, int32_t aField) const {
  const int32_t entry = aField < 0 ? vhFieldsEngine
                                   : (aField < static_cast<int32_t>(vhEnginesByIndex.size())
                                          ? vhEnginesByIndex[static_cast<size_t>(aField)]
                                          : -1);
  if (entry >= 0) Run(vhEngines[static_cast<size_t>(entry)], aOldRecord, aNewRecord);
}

}  // namespace revurov
