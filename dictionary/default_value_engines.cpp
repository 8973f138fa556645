#include "dictionary/default_value_engines.h"

#include <cmath>
#include <cstring>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "platform/guid.h"
#include "platform/variant.h"

namespace revurov {

constinit TnxClassRegistry nxDefaultValueEngines;

namespace {

TnxFieldDescriptor& FieldOf(TnxBaseDefaultValueDescriptor& aDescriptor) {
  return *static_cast<TnxFieldDescriptor*>(aDescriptor.GetParentOfType(TnxFieldDescriptor::ClassInfo()));
}

// The field's bytes of aValue, as long as the field.
std::vector<uint8_t> FieldBytes(TnxFieldDescriptor& aField, const platform::TnxVariant& aValue) {
  std::vector<uint8_t> bytes(static_cast<size_t>(aField.Length()), 0);
  aField.fdSetBufferAsVariant(bytes.data(), aValue);
  return bytes;
}

}  // namespace

// ---- TnxBaseDefaultValueEngine ----

TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                     InxDefaultValueCursor*)
    : bdceDescriptor(aDescriptor), bdceFieldDescriptor(FieldOf(aDescriptor)) {}

std::unique_ptr<TnxBaseDefaultValueEngine> TnxBaseDefaultValueEngine::CreateFor(
    TnxBaseDefaultValueDescriptor& aDescriptor, InxDefaultValueCursor* aCursor) {
  const auto* cls = static_cast<const TnxDefaultValueEngineClass*>(aDescriptor.CachedEngineClass());
  if (!cls) {
    const std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
    cls = nxFindClassAs<TnxDefaultValueEngineClass>(TnxBaseDefaultValueEngine::ClassInfo(), name);
    if (!cls) nxRaiseUnknownEngine<EnxBaseDefaultValueEngineException>(u"DefaultValue", name);
    aDescriptor.SetCachedEngineClass(cls);
  }
  return cls->CreateInstance ? cls->CreateInstance(aDescriptor, aCursor) : nullptr;
}

TnxCursorDefaultValueEngine::TnxCursorDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                         InxDefaultValueCursor* aCursor)
    : TnxBaseDefaultValueEngine(aDescriptor, aCursor), cdceCursor(aCursor) {}

// ---- the engines ----

TnxConstDefaultValueEngine::TnxConstDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                       InxDefaultValueCursor* aCursor)
    : TnxBaseDefaultValueEngine(aDescriptor, aCursor) {
  // Through the variant, so that a constant stored for an older setup of
  // its field comes out as the field is now.
  cdveValue = FieldBytes(FieldDescriptor(), static_cast<TnxConstDefaultValueDescriptor&>(aDescriptor).AsVariant());
}

bool TnxConstDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memcpy(aFieldValue, cdveValue.data(), cdveValue.size());
  return true;
}

bool TnxCurrentDateTimeDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  if (!Cursor()) return false;
  const platform::TTimeStamp now = platform::DateTimeToTimeStamp(Cursor()->GetNow());
  switch (FieldDescriptor().FieldType()) {
    case nxtDate:
      std::memcpy(aFieldValue, &now.Date, 4);
      break;
    case nxtTime:
      std::memcpy(aFieldValue, &now.Time, 4);
      break;
    case nxtDateTime: {
      const double value = double(now.Date) * platform::MSecsPerDay + now.Time;
      std::memcpy(aFieldValue, &value, 8);
      break;
    }
    default:
      break;
  }
  return true;
}

TnxCurrentUserDefaultValueEngine::TnxCurrentUserDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                                   InxDefaultValueCursor* aCursor)
    : TnxCursorDefaultValueEngine(aDescriptor, aCursor) {
  const std::u16string user = aCursor ? aCursor->GetUserName() : std::u16string();
  cudveUserName = FieldBytes(FieldDescriptor(), platform::TnxVariant::FromString(user));
}

bool TnxCurrentUserDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memcpy(aFieldValue, cudveUserName.data(), cudveUserName.size());
  return true;
}

bool TnxAutoGuidDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  // The field holds the GUID's 16 bytes as the platform keeps them.
  const platform::TGUID guid = platform::CreateGUID();
  std::memcpy(aFieldValue, &guid, sizeof guid);
  return true;
}

bool TnxEmptyDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memset(aFieldValue, 0, static_cast<size_t>(FieldDescriptor().Length()));
  return true;
}

bool TnxNextLSNDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  int64_t lsn = 0;
  if (!Cursor() || !Cursor()->GetNextLSN(lsn)) return false;
  std::memcpy(aFieldValue, &lsn, 8);
  return true;
}

// ---- TnxDefaultValueHandler ----

std::unique_ptr<TnxDefaultValueHandler> TnxDefaultValueHandler::CreateFor(TnxFieldsDescriptor& aFieldsDescriptor,
                                                                          TnxApplyAt aApplyAt,
                                                                          InxDefaultValueCursor* aCursor) {
  std::unique_ptr<TnxDefaultValueHandler> handler(new TnxDefaultValueHandler(aFieldsDescriptor));
  handler->dvhEnginesByIndex.assign(static_cast<size_t>(aFieldsDescriptor.FieldCount()), nullptr);
  for (int32_t i = 0; i < aFieldsDescriptor.FieldCount(); ++i) {
    TnxBaseDefaultValueDescriptor* value = aFieldsDescriptor.FieldDescriptor(i)->DefaultValue();
    if (!value || !(value->ApplyAt() & nxApplyAtBit(aApplyAt))) continue;
    std::unique_ptr<TnxBaseDefaultValueEngine> engine = TnxBaseDefaultValueEngine::CreateFor(*value, aCursor);
    if (!engine) continue;
    TnxBaseDefaultValueEngine* e = engine.get();
    handler->dvhEngines.push_back(std::move(engine));
    const size_t overwrite = value->OverwriteNonNull() ? 1 : 0;
    if (value->ApplyOnInsert()) handler->dvhEnginesInsert[overwrite].push_back(e);
    if (value->ApplyOnModify()) handler->dvhEnginesModify[overwrite].push_back(e);
    handler->dvhEnginesByIndex[static_cast<size_t>(i)] = e;
  }
  if (handler->dvhEngines.empty()) return nullptr;
  return handler;
}

void TnxDefaultValueHandler::Run(TnxBaseDefaultValueEngine& aEngine, void* aRecord) const {
  const TnxFieldDescriptor& field = aEngine.FieldDescriptor();
  const bool produced = aEngine.SetDefaultValue(static_cast<uint8_t*>(aRecord) + field.Offset());
  dvhFieldsDescriptor.SetRecordFieldNull(field.Number(), aRecord, !produced);
}

void TnxDefaultValueHandler::Fill(void* aRecord, const Engines (&aEngines)[2]) const {
  for (TnxBaseDefaultValueEngine* engine : aEngines[0])
    if (dvhFieldsDescriptor.IsRecordFieldNull(engine->FieldDescriptor().Number(), aRecord)) Run(*engine, aRecord);
  for (TnxBaseDefaultValueEngine* engine : aEngines[1]) Run(*engine, aRecord);
}

void TnxDefaultValueHandler::SetDefaultValuesInsert(void* aRecord) const { Fill(aRecord, dvhEnginesInsert); }

void TnxDefaultValueHandler::SetDefaultValuesModify(void* aRecord) const { Fill(aRecord, dvhEnginesModify); }

bool TnxDefaultValueHandler::SetDefaultValue(void* aRecord, int32_t aField) const {
  if (aField < 0 || aField >= static_cast<int32_t>(dvhEnginesByIndex.size())) return false;
  TnxBaseDefaultValueEngine* engine = dvhEnginesByIndex[static_cast<size_t>(aField)];
  if (!engine) return false;
  const TnxFieldDescriptor& field = engine->FieldDescriptor();
  const bool produced = engine->SetDefaultValue(static_cast<uint8_t*>(aRecord) + field.Offset());
  dvhFieldsDescriptor.SetRecordFieldNull(aField, aRecord, !produced);
  return produced;
}

}  // namespace revurov
