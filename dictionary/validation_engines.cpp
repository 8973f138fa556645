#include "dictionary/validation_engines.h"

#include <atomic>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_field_engines.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/validation_descriptors.h"

namespace revurov {

constinit TnxClassRegistry nxValidationEngines;

namespace {

std::atomic<TnxSqlCheckStatementFactory> gSqlCheckStatementClass{nullptr};

// The compare of a rule that watches its field through a key field.
template <class E>
std::unique_ptr<TnxCompositeKeyFieldEngine> KeyFieldEngineOf(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                             std::u16string_view aName) {
  const auto* rule = dynamic_cast<const TnxKeyFieldValidationDescriptor*>(aDescriptor);
  if (!rule || !rule->KeyField())
    throw E(nxeInvalidFieldDescriptor, u"Validation \"%s\" has no key field to compare with", {aName});
  return TnxCompositeKeyFieldEngine::CreateEngine(*rule->KeyField());
}

// Compares the field values a and b (buffer form) as the key field does.
int CompareValues(const TnxCompositeKeyFieldEngine& aEngine, const void* a, const void* b) {
  return aEngine.CompareFieldDirect(aEngine, static_cast<const uint8_t*>(a), static_cast<const uint8_t*>(b));
}

}  // namespace

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

TnxMinMaxValidationEngine::TnxMinMaxValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                     std::u16string_view aName, std::u16string_view aFieldName)
    : TnxBaseValidationEngine(aDescriptor, aName, aFieldName),
      mmveKeyFieldEngine(KeyFieldEngineOf<EnxMinMaxValidationEngineException>(aDescriptor, aName)) {
  const auto* rule = dynamic_cast<const TnxMinMaxValidationDescriptor*>(aDescriptor);
  if (!rule) return;
  // The compare reads a whole field from each side.
  const auto length = static_cast<size_t>(mmveKeyFieldEngine->FieldLength());
  mmveHasMin = rule->Min().has_value();
  mmveHasMax = rule->Max().has_value();
  if (mmveHasMin) mmveMin = *rule->Min();
  if (mmveHasMax) mmveMax = *rule->Max();
  mmveMin.resize(length);
  mmveMax.resize(length);
}

TnxMinMaxValidationEngine::~TnxMinMaxValidationEngine() = default;

void TnxMinMaxValidationEngine::ValidateField(const void*, const void*, const void* aNewField, const void*) {
  if (!aNewField) return;
  if (mmveHasMin && CompareValues(*mmveKeyFieldEngine, aNewField, mmveMin.data()) < 0)
    ValidationFailed(nxeMinimumValidity);
  if (mmveHasMax && CompareValues(*mmveKeyFieldEngine, aNewField, mmveMax.data()) > 0)
    ValidationFailed(nxeMaximumValidity);
}

void TnxMinMaxValidationEngine::RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const {
  throw EnxMinMaxValidationEngineException(aErrorCode, u"%s", {aMessage});
}

TnxNoChangeValidationEngine::TnxNoChangeValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                         std::u16string_view aName, std::u16string_view aFieldName)
    : TnxBaseValidationEngine(aDescriptor, aName, aFieldName),
      ncveKeyFieldEngine(KeyFieldEngineOf<EnxNoChangeValidationEngineException>(aDescriptor, aName)) {}

TnxNoChangeValidationEngine::~TnxNoChangeValidationEngine() = default;

void TnxNoChangeValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord,
                                                const void* aNewField, const void* aNewRecord) {
  // Inserts, deletes and values never set pass.
  if (!aOldRecord || !aNewRecord || !aOldField) return;
  if (!aNewField || CompareValues(*ncveKeyFieldEngine, aOldField, aNewField) != 0)
    ValidationFailed(nxeReadOnlyField);
}

void TnxNoChangeValidationEngine::RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const {
  throw EnxNoChangeValidationEngineException(aErrorCode, u"%s", {aMessage});
}

// ---- CHECK rules ----

void nxSetSqlCheckStatementClass(TnxSqlCheckStatementFactory aFactory) noexcept {
  gSqlCheckStatementClass.store(aFactory, std::memory_order_release);
}

TnxSqlCheckStatementFactory nxSqlCheckStatementClass() noexcept {
  return gSqlCheckStatementClass.load(std::memory_order_acquire);
}

TnxBaseSqlCheckStatement::TnxBaseSqlCheckStatement(const TnxFieldsDescriptor* aFieldsDescriptor,
                                                   TnxFieldDescriptor* aFieldDescriptor, const std::u16string&)
    : bscsFieldsDescriptor(aFieldsDescriptor), bscsFieldDescriptor(aFieldDescriptor) {
  if (!aFieldDescriptor) return;
  bscsFieldIndex = aFieldDescriptor->Number();
  bscsFieldSize = aFieldDescriptor->Length();
  bscsFieldType = aFieldDescriptor->FieldType();
  bscsFieldUnits = aFieldDescriptor->Units();
  bscsFieldDecPl = aFieldDescriptor->DecPl();
  if (const TnxLocaleDescriptor* locale = aFieldDescriptor->GetUsedLocaleDescriptor())
    bscsFieldCodepage = static_cast<uint16_t>(locale->GetStorageCodepage());
}

bool TnxBaseSqlCheckStatement::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                             const void* aNewRecord) noexcept {
  bscsOldField = aOldField;
  bscsOldRecord = aOldRecord;
  bscsNewField = aNewField;
  bscsNewRecord = aNewRecord;
  bool result = false;
  try {
    result = Evaluate();
  } catch (...) {
    result = false;
  }
  bscsOldField = bscsOldRecord = bscsNewField = bscsNewRecord = nullptr;
  return result;
}

TnxSqlCheckValidationEngine::TnxSqlCheckValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                         std::u16string_view aName, std::u16string_view aFieldName)
    : TnxBaseValidationEngine(aDescriptor, aName, aFieldName) {
  const auto* rule = dynamic_cast<const TnxSqlCheckValidationDescriptor*>(aDescriptor);
  if (!rule) return;
  scveErrorMessage = rule->ErrorMessage();
  const TnxSqlCheckStatementFactory factory = nxSqlCheckStatementClass();
  if (!factory) return;
  TnxPersistent* fields = nullptr;
  TnxPersistent* field = nullptr;
  rule->FindParentOfType(TnxFieldsDescriptor::ClassInfo(), fields);
  rule->FindParentOfType(TnxFieldDescriptor::ClassInfo(), field);
  scveSqlCheckStatement = factory(static_cast<TnxFieldsDescriptor*>(fields), static_cast<TnxFieldDescriptor*>(field),
                                  rule->Constraint());
}

TnxSqlCheckValidationEngine::~TnxSqlCheckValidationEngine() = default;

void TnxSqlCheckValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                                const void* aNewRecord) {
  if (!scveSqlCheckStatement)
    throw EnxSqlCheckValidationEngineException(nxeCapabilityNotSupported,
                                               u"Evaluation of CHECK constraint requires an SQL engine");
  if (!scveSqlCheckStatement->ValidateField(aOldField, aOldRecord, aNewField, aNewRecord))
    ValidationFailed(nxeExpressionValidity);
}

std::u16string TnxSqlCheckValidationEngine::GetErrorMessage() const {
  return scveErrorMessage.empty() ? TnxBaseValidationEngine::GetErrorMessage() : scveErrorMessage;
}

void TnxSqlCheckValidationEngine::RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const {
  throw EnxSqlCheckValidationEngineException(aErrorCode, u"%s", {aMessage});
}

// ---- list engines ----

constinit TnxClassRegistry nxFieldValidationsEngines;
constinit TnxClassRegistry nxFieldsValidationsEngines;

namespace {

// The list engine of aList's class in aFamily's registry; 15503 when none.
std::unique_ptr<TnxBaseValidationsEngine> CreateListEngine(const TnxValidationsEngineClass& aFamily,
                                                           std::u16string_view aListClassName,
                                                           const TnxFieldsDescriptor& aFieldsDescriptor,
                                                           int32_t aFieldIndex, TnxApplyAt aApplyAt) {
  const std::u16string name = nxEngineNameForDescriptor(aListClassName);
  const auto* cls = nxFindClassAs<TnxValidationsEngineClass>(aFamily, name);
  if (!cls || !cls->CreateInstance) nxRaiseUnknownEngine<EnxBaseValidationEngineException>(u"Validations", name);
  return cls->CreateInstance(aFieldsDescriptor, aFieldIndex, aApplyAt);
}

}  // namespace

TnxBaseValidationsEngine::~TnxBaseValidationsEngine() = default;

void TnxBaseValidationsEngine::AddRules(const TnxFieldValidationsDescriptor* aList, const TnxFieldDescriptor* aField,
                                        TnxApplyAt aApplyAt) {
  if (!aList) return;
  for (int32_t r = 0; r < aList->ValidationCount(); ++r)
    if (auto engine = TnxBaseValidationEngine::CreateFor(aList->ValidationDescriptor(r), aField, aApplyAt))
      veEngines.push_back(std::move(engine));
}

TnxFieldsValidationsEngine::TnxFieldsValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor, int32_t,
                                                       TnxApplyAt aApplyAt)
    : TnxBaseValidationsEngine(aFieldsDescriptor) {
  AddRules(aFieldsDescriptor.Validations(), nullptr, aApplyAt);
}

void TnxFieldsValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) const {
  for (const auto& rule : veEngines) rule->ValidateRecord(aOldRecord, aNewRecord);
}

TnxFieldValidationsEngine::TnxFieldValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                     int32_t aFieldIndex, TnxApplyAt aApplyAt)
    : TnxBaseValidationsEngine(aFieldsDescriptor), veFieldIndex(aFieldIndex) {
  const TnxFieldDescriptor* field = aFieldsDescriptor.FieldDescriptor(aFieldIndex);
  veFieldOffset = field->Offset();
  // Clients leave required fields to the server.
  if (field->Required() && aApplyAt == aaServer)
    veEngines.push_back(std::make_unique<TnxNotNullValidationEngine>(nullptr, u"$required", field->Name()));
  AddRules(field->Validations(), field, aApplyAt);
}

void TnxFieldValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) const {
  const auto fieldOf = [&](const void* aRecord) -> const void* {
    if (!aRecord || bveFieldsDescriptor.IsRecordFieldNull(veFieldIndex, aRecord)) return nullptr;
    return static_cast<const uint8_t*>(aRecord) + veFieldOffset;
  };
  const void* oldField = fieldOf(aOldRecord);
  const void* newField = fieldOf(aNewRecord);
  for (const auto& rule : veEngines) rule->ValidateField(oldField, aOldRecord, newField, aNewRecord);
}

// ---- TnxValidationsHandler ----

std::unique_ptr<TnxValidationsHandler> TnxValidationsHandler::CreateFor(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                                        TnxApplyAt aApplyAt) {
  std::unique_ptr<TnxValidationsHandler> handler(new TnxValidationsHandler());
  handler->vhEnginesByIndex.assign(static_cast<size_t>(aFieldsDescriptor.FieldCount()), nullptr);
  if (const TnxFieldsValidationsDescriptor* list = aFieldsDescriptor.Validations()) {
    auto engine = CreateListEngine(TnxFieldsValidationsEngine::ClassInfo(), list->ClassName(), aFieldsDescriptor, -1,
                                   aApplyAt);
    if (engine->EngineCount() > 0) {
      handler->vhFieldsEngine = engine.get();
      handler->vhEngines.push_back(std::move(engine));
    }
  }
  for (int32_t i = 0; i < aFieldsDescriptor.FieldCount(); ++i) {
    const TnxFieldDescriptor* field = aFieldsDescriptor.FieldDescriptor(i);
    std::unique_ptr<TnxBaseValidationsEngine> engine;
    if (const TnxFieldValidationsDescriptor* list = field->Validations())
      engine = CreateListEngine(TnxFieldValidationsEngine::ClassInfo(), list->ClassName(), aFieldsDescriptor, i,
                                aApplyAt);
    else if (field->Required())
      engine = std::make_unique<TnxFieldValidationsEngine>(aFieldsDescriptor, i, aApplyAt);
    if (!engine || engine->EngineCount() == 0) continue;
    handler->vhEnginesByIndex[static_cast<size_t>(i)] = engine.get();
    handler->vhEngines.push_back(std::move(engine));
  }
  if (handler->vhEngines.empty()) return nullptr;
  return handler;
}

void TnxValidationsHandler::ValidateRecord(const void* aOldRecord, const void* aNewRecord) const {
  for (const auto& engine : vhEngines) engine->ValidateRecord(aOldRecord, aNewRecord);
}

void TnxValidationsHandler::ValidateField(const void* aOldRecord, const void* aNewRecord, int32_t aField) const {
  const TnxBaseValidationsEngine* engine =
      aField < 0 ? vhFieldsEngine
                 : (aField < static_cast<int32_t>(vhEnginesByIndex.size()) ? vhEnginesByIndex[static_cast<size_t>(aField)]
                                                                          : nullptr);
  if (engine) engine->ValidateRecord(aOldRecord, aNewRecord);
}

}  // namespace revurov
