#include "fieldmap/record_mapper_engine.h"

#include <algorithm>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "dictionary/comp_key_engines.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_engine.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_cursor.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxRecordMapperEngines;

namespace {

bool NameLess(std::u16string_view a, std::u16string_view b) { return platform::AsciiCompareText(a, b) < 0; }

// The first index whose key names one record: no duplicates allowed (or
// only among nulls in required fields), a composite key without a key
// filter, and no key field that filters nulls in or out.
TnxIndexDescriptor* NamingIndex(TnxBaseTableDescriptor& aTable) {
  TnxMainIndicesDescriptor* indices = aTable.IndicesDescriptor();
  if (!indices) return nullptr;
  for (int32_t i = 0; i < indices->IndexCount(); ++i) {
    TnxIndexDescriptor* index = indices->IndexDescriptor(i);
    if (index->Dups() == idAll) continue;
    auto* key = dynamic_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
    if (!key || key->Filter()) continue;
    bool fits = true;
    for (int32_t k = 0; fits && k < key->KeyFieldCount(); ++k) {
      const TnxKeyFieldDescriptor* keyField = key->ckdGetKeyField(k);
      const TnxNullBehaviour nb = keyField->NullBehaviour();
      if (nb == nbFilterNull || nb == nbFilterNonNull) fits = false;
      if (index->Dups() != idNone) {
        const TnxFieldDescriptor* field = keyField->Field();
        if (!field || !field->Required()) fits = false;
      }
    }
    if (fits) return index;
  }
  return nullptr;
}

}  // namespace

// ---- TnxBaseRecordMapperEngine ----

TnxBaseRecordMapperEngine::~TnxBaseRecordMapperEngine() = default;

std::unique_ptr<TnxBaseRecordMapperEngine> TnxBaseRecordMapperEngine::CreateFor(
    TnxBaseRecordMapperDescriptor& aDescriptor, TnxAbstractCursor* aSourceCursor, TnxAbstractCursor* aTargetCursor) {
  const std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const auto* cls = nxFindClassAs<TnxRecordMapperEngineClass>(ClassInfo(), name);
  if (!cls || !cls->Create) nxRaiseUnknownEngine<EnxBaseRecordMapperEngineException>(u"RecordMapper", name);
  return cls->Create(aDescriptor, aSourceCursor, aTargetCursor);
}

// ---- TnxRecordMapperEngine ----

TnxRecordMapperEngine::TnxRecordMapperEngine(TnxBaseRecordMapperDescriptor& aDescriptor,
                                             TnxAbstractCursor* aSourceCursor, TnxAbstractCursor* aTargetCursor)
    : rmeSourceCursor(aSourceCursor) {
  auto* descriptor = dynamic_cast<TnxRecordMapperDescriptor*>(&aDescriptor);
  if (!descriptor)
    throw EnxBaseRecordMapperEngineException(nxeInvalidParameter, u"The record mapper engine needs a %s",
                                             {TnxRecordMapperDescriptor::ClassInfo().Name});
  TnxBaseTableDescriptor* targetTable = aTargetCursor ? aTargetCursor->TableDescriptor() : nullptr;
  if (!targetTable) throw EnxBaseRecordMapperEngineException(nxeInvalidParameter, u"No target cursor");

  const int32_t count = descriptor->FieldMapperCount();
  rmeFieldMapper.reserve(static_cast<size_t>(count));
  std::vector<std::u16string_view> mapped;
  mapped.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    TnxFieldMapperDescriptor* mapping = descriptor->rmdGetMapper(i);
    rmeFieldMapper.push_back(TnxBaseFieldMapperEngine::CreateFor(*mapping, aSourceCursor, aTargetCursor));
    if (!mapping->TargetName().empty()) mapped.push_back(mapping->TargetName());
  }

  const TnxFieldsDescriptor& fields = targetTable->FieldsDescriptor();
  std::vector<TnxFieldDescriptor*> targets;
  targets.reserve(static_cast<size_t>(fields.FieldCount()));
  for (int32_t i = 0; i < fields.FieldCount(); ++i) targets.push_back(fields.FieldDescriptor(i));
  std::stable_sort(targets.begin(), targets.end(),
                   [](const TnxFieldDescriptor* a, const TnxFieldDescriptor* b) { return NameLess(a->Name(), b->Name()); });
  std::stable_sort(mapped.begin(), mapped.end(), NameLess);

  const bool applyDefault = descriptor->ApplyDefaultForUnmapped();
  auto unmapped = [&](TnxFieldDescriptor& aField) {
    if (!((applyDefault && aField.DefaultValue()) || TnxBaseFieldMapperEngine::HasSpecialMapper(aField.FieldType())))
      return;
    auto mapping = std::make_unique<TnxFieldMapperDescriptor>(u"", aField.Name(), dlaFail);
    mapping->SetApplyDefault(applyDefault);
    rmeFieldMapperDescriptors.push_back(std::move(mapping));
    rmeFieldMapper.push_back(
        TnxBaseFieldMapperEngine::CreateFor(*rmeFieldMapperDescriptors.back(), aSourceCursor, aTargetCursor));
  };
  size_t i = 0, j = 0;
  while (i < targets.size() && j < mapped.size()) {
    const int c = platform::AsciiCompareText(targets[i]->Name(), mapped[j]);
    if (c < 0) {
      unmapped(*targets[i]);
      ++i;
    } else if (c == 0) {
      ++i;
      ++j;
    } else {
      ++j;
    }
  }
  for (; i < targets.size(); ++i) unmapped(*targets[i]);

  rmeSteps.resize(rmeFieldMapper.size());
  for (size_t k = 0; k < rmeFieldMapper.size(); ++k) {
    TnxBaseFieldMapperEngine& engine = *rmeFieldMapper[k];
    if (typeid(engine) != typeid(TnxFieldMapperEngine)) continue;
    auto& plain = static_cast<TnxFieldMapperEngine&>(engine);
    if (plain.GetStep(rmeSteps[k].Plain)) rmeSteps[k].PlainEngine = &plain;
  }
}

TnxRecordMapperEngine::~TnxRecordMapperEngine() {
  // The engines use the descriptors made for them: engines go first.
  rmeFieldMapper.clear();
}

void TnxRecordMapperEngine::BeforeFirstRecord() {
  for (auto& engine : rmeFieldMapper) engine->BeforeFirstRecord();
}

void TnxRecordMapperEngine::BeforeCommit() {
  for (auto& engine : rmeFieldMapper) engine->BeforeCommit();
}

uint32_t TnxRecordMapperEngine::MapRecord(const uint8_t* aSource, uint8_t* aTarget) {
  EnxBaseException::SetLastConvertedException(0, {});
  const size_t count = rmeSteps.size();
  for (size_t i = 0; i < count; ++i) {
    const TStep& step = rmeSteps[i];
    uint32_t r;
    if (step.PlainEngine && !(aSource[step.Plain.SourceNullByte] & step.Plain.SourceNullMask)) {
      r = step.Plain.Method(aSource + step.Plain.SourceOffset, aTarget + step.Plain.TargetOffset);
      if (r == 0) {
        aTarget[step.Plain.TargetNullByte] &= static_cast<uint8_t>(~step.Plain.TargetNullMask);
        continue;
      }
      r = step.PlainEngine->Converted(r, aSource, aTarget);
    } else {
      r = rmeFieldMapper[i]->MapField(aSource, aTarget);
    }
    if (r != 0) return AddErrorContext(r, aSource);
  }
  return 0;
}

uint32_t TnxRecordMapperEngine::AddErrorContext(uint32_t aErrorCode, const uint8_t* aSource) {
  uint32_t lastCode = 0;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(lastCode, text);
  if (lastCode != aErrorCode || text.empty()) text = nxOriginalMessageTag();
  text += u"\r\n\r\nSource Table: ";
  if (rmeSourceCursor) text += rmeSourceCursor->FullName();
  try {
    TnxBaseTableDescriptor* table = rmeSourceCursor ? rmeSourceCursor->TableDescriptor() : nullptr;
    if (TnxIndexDescriptor* index = table ? NamingIndex(*table) : nullptr) {
      std::unique_ptr<TnxBaseKeyEngine> keyEngine = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
      struct Key {
        const TnxBaseKeyEngine& Engine;
        uint8_t* Bytes;
        ~Key() { Engine.FreeKey(Bytes); }
      } key{*keyEngine, keyEngine->AllocKey()};
      if (keyEngine->BuildKey(aSource, key.Bytes, 0, true) == 0)
        text += u"\r\nSource Key (Index: " + index->Name() + u"): " + keyEngine->KeyAsString(key.Bytes);
    }
  } catch (...) {
    // The key line is a courtesy; the failure it describes must still reach the caller.
  }
  EnxBaseException::SetLastConvertedException(aErrorCode, text);
  return aErrorCode;
}

}  // namespace revurov
