#include "dictionary/audit_descriptor.h"

#include <algorithm>

#include "dictionary/data_dictionary.h"
#include "dictionary/default_values.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/format.h"

namespace revurov {

namespace {

constexpr std::u16string_view kChangedAt = u"Audit Changed At";
constexpr std::u16string_view kUserID = u"Audit User ID";
constexpr std::u16string_view kCustomData = u"Audit Custom Data";
constexpr std::u16string_view kUpdateType = u"Audit Update Type";
// Older logs had narrower text fields; they are widened to this.
constexpr int32_t kAuditTextUnits = 100;

bool SameAuditField(const TnxFieldDescriptor& aLog, const TnxFieldDescriptor& aAudited) {
  return aLog.Name() == aAudited.Name() && nxFieldTypeEquivalence[aLog.FieldType()][aAudited.FieldType()] &&
         aLog.Units() == aAudited.Units() && aLog.DecPl() == aAudited.DecPl() &&
         aLog.Offset() == aAudited.Offset() && aLog.Length() == aAudited.Length() &&
         nxBothAbsentOrEqual(aLog.LocaleDescriptor(), aAudited.LocaleDescriptor());
}

// The number after the old-log prefix: up to ten decimal digits, -1 for
// anything else.
int64_t OldLogNumber(std::u16string_view aSuffix) noexcept {
  aSuffix = aSuffix.substr(0, 10);
  if (aSuffix.empty()) return -1;
  int64_t n = 0;
  for (char16_t c : aSuffix) {
    if (c < u'0' || c > u'9') return -1;
    n = n * 10 + (c - u'0');
  }
  return n;
}

void AddKey(TnxMainIndicesDescriptor& aIndices, TnxFieldsDescriptor& aFields, std::u16string_view aName,
            std::u16string_view aFirst, std::u16string_view aSecond) {
  TnxIndexDescriptor* index = aIndices.AddIndex(aName, 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
  key->Add(aFields.GetFieldFromName(aFirst));
  key->Add(aFields.GetFieldFromName(aSecond));
}

}  // namespace

bool TnxAuditDescriptor::FieldsDescriptorContainsAllFields(const TnxFieldsDescriptor& aAuditFieldsDescriptor,
                                                           const TnxFieldsDescriptor& aOriginalFieldsDescriptor) {
  if (aAuditFieldsDescriptor.FieldCount() <= aOriginalFieldsDescriptor.FieldCount()) return false;
  for (int32_t i = 0; i < aOriginalFieldsDescriptor.FieldCount(); ++i)
    if (!SameAuditField(*aAuditFieldsDescriptor.FieldDescriptor(i), *aOriginalFieldsDescriptor.FieldDescriptor(i)))
      return false;
  for (auto name : {kChangedAt, kUpdateType, kUserID, kCustomData})
    if (aAuditFieldsDescriptor.GetFieldFromName(name) < 0) return false;
  return true;
}

void TnxAuditDescriptor::CheckValid(bool aForBuild) {
  if (aForBuild && adUseAudit) MaintainAuditLog();
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
}

void TnxAuditDescriptor::MaintainAuditLog() {
  const TnxFieldsDescriptor& audited =
      static_cast<TnxDataDictionary*>(GetParentOfType(TnxDataDictionary::ClassInfo()))->FieldsDescriptor();
  auto& table = *static_cast<TnxBaseTableDescriptor*>(GetParentOfType(TnxBaseTableDescriptor::ClassInfo()));
  TnxTablesDescriptor& tables = table.TablesDescriptor();
  int32_t at = tables.GetTableIndexFromName(nxAuditLogName);

  bool discard = false;
  if (OnCanDiscardAuditTable) OnCanDiscardAuditTable(discard);
  if (discard && at >= 0) {
    tables.RemoveTable(at);
    at = -1;
  }
  if (at < 0) {
    CreateAuditLog(table, audited);
    return;
  }

  auto* log = dynamic_cast<TnxNestedTableDescriptor*>(table.GetChild(nxAuditLogName));
  if (!log) throw EnxAuditDescriptorException(nxeInvalidDescriptor);
  TnxFieldsDescriptor& logFields = log->FieldsDescriptor();
  if (FieldsDescriptorContainsAllFields(logFields, audited)) {
    bool widened = false;
    for (auto name : {kUserID, kCustomData}) {
      TnxFieldDescriptor* field = logFields.FieldDescriptor(logFields.GetFieldFromName(name));
      if (field->Units() < kAuditTextUnits) {
        field->ResizeUnits(kAuditTextUnits);
        widened = true;
      }
    }
    if (widened) logFields.UpdateSetupAndOffsets();
  } else {
    const std::u16string oldName = NextOldAuditLogName(table);
    tables.RenameTable(nxAuditLogName, oldName);
    if (OnChildtableRenamed) OnChildtableRenamed(std::u16string(nxAuditLogName), oldName);
    CreateAuditLog(table, audited);
  }
  ClearAuditLogFieldRules(*log, audited);
}

void TnxAuditDescriptor::CreateAuditLog(TnxBaseTableDescriptor& aTable, const TnxFieldsDescriptor& aAudited) {
  TnxNestedTableDescriptor* log = aTable.TablesDescriptor().AddTable(nxAuditLogName);
  TnxFieldsDescriptor& fields = log->FieldsDescriptor();
  for (int32_t i = 0; i < aAudited.FieldCount(); ++i) {
    const TnxFieldDescriptor& source = *aAudited.FieldDescriptor(i);
    TnxFieldDescriptor* copy =
        fields.AddField(source.Name(), source.Desc(), source.FieldType(), source.Units(), source.DecPl(), false);
    if (const TnxLocaleDescriptor* locale = source.LocaleDescriptor())
      copy->AddLocaleDescriptor(&locale->ClassType())->Assign(locale);
  }
  fields.AddField(kChangedAt, u"Audit Timestamp", nxtDateTime, 0, 0, false)
      ->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());
  fields.AddField(kUserID, u"Audit User Identification", nxtWideString, kAuditTextUnits, 0, false);
  fields.AddField(kCustomData, u"Audit Custom Data", nxtWideString, kAuditTextUnits, 0, false);
  fields.AddField(kUpdateType, u"Audit Update Type", nxtWideChar, 0, 0, false);

  TnxMainIndicesDescriptor& indices = *log->EnsureIndicesDescriptor();
  AddKey(indices, fields, u"By Changed At and User ID", kChangedAt, kUserID);
  AddKey(indices, fields, u"By User ID and Changed At", kUserID, kChangedAt);

  auto* record =
      static_cast<TnxHeapRecordDescriptor*>(log->AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor(nullptr)->SetRecordCompressionEngine(u"Smart");
  if (OnChildtableCreated) OnChildtableCreated(std::u16string(nxAuditLogName));
}

std::u16string TnxAuditDescriptor::NextOldAuditLogName(const TnxBaseTableDescriptor& aTable) {
  int64_t highest = 0;
  const TnxTablesDescriptor& tables = aTable.TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i) {
    const std::u16string& name = tables.TableDescriptor(i)->Name();
    if (name.starts_with(nxOldAuditLogPrefix))
      highest = std::max(highest, OldLogNumber(std::u16string_view(name).substr(nxOldAuditLogPrefix.size())));
  }
  return std::u16string(nxOldAuditLogPrefix) + platform::Format(u"%d", {highest + 1});
}

void TnxAuditDescriptor::ClearAuditLogFieldRules(TnxBaseTableDescriptor& aLog, const TnxFieldsDescriptor& aAudited) {
  TnxFieldsDescriptor& fields = aLog.FieldsDescriptor();
  fields.RemoveValidations();
  const int32_t count = std::min(aAudited.FieldCount(), fields.FieldCount());
  for (int32_t i = 0; i < count; ++i) {
    TnxFieldDescriptor* field = fields.FieldDescriptor(i);
    field->RemoveDefaultValue();
    field->RemoveValidations();
  }
}

bool TnxAuditDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseCustomDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxAuditDescriptor*>(aItem);
  return other && adUseAudit == other->adUseAudit && adIncludeBlobFields == other->adIncludeBlobFields;
}

void TnxAuditDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{2});
  aWriter.WriteListBegin();
  aWriter.WriteBoolean(adUseAudit);
  aWriter.WriteBoolean(adIncludeBlobFields);
  aWriter.WriteListEnd();
}

void TnxAuditDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxAuditDescriptorException(nxeIncompatibleStream);
  aReader.ReadListBegin();
  adUseAudit = aReader.ReadBoolean();
  if (version == 2) adIncludeBlobFields = aReader.ReadBoolean();
  aReader.ReadListEnd();
}

}  // namespace revurov
