// An audit trail for a table: the descriptor keeps, among the table's
// nested tables, a log table "Audit Log" whose fields mirror the audited
// fields followed by four audit fields, and brings it in line whenever the
// dictionary is validated for building. A log that no longer fits is kept
// under "Audit Log Old_<n>" and a fresh one is made. Writing audit rows is
// not this descriptor's business.
//
// Contract:
// - Nothing happens unless CheckValid(true) runs with UseAudit set.
// - The events are neither written, compared nor copied; an exception of
//   a handler passes through.
// - A failure part way leaves what was done (the caller discards the
//   dictionary); a read-only dictionary refuses every change with 15500.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dictionary/table_descriptors.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxAuditDescriptorException, EnxBaseCustomDescriptorException);

inline constexpr std::u16string_view nxAuditLogName = u"Audit Log";
inline constexpr std::u16string_view nxOldAuditLogPrefix = u"Audit Log Old_";

using TnxAuditOnChildtableCreated = std::function<void(const std::u16string& aChildname)>;
using TnxAuditOnChildtableRenamed =
    std::function<void(const std::u16string& aOldChildname, const std::u16string& aNewChildname)>;
using TnxAuditOnCanDiscardAuditTable = std::function<void(bool& aCanDiscard)>;

class TnxAuditDescriptor : public TnxBaseCustomDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxAuditDescriptor, TnxBaseCustomDescriptor, TnxCustomDescriptorClass,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxAuditDescriptor>))
  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;

  bool UseAudit() const noexcept { return adUseAudit; }
  void SetUseAudit(bool aValue) noexcept { adUseAudit = aValue; }
  bool IncludeBlobFields() const noexcept { return adIncludeBlobFields; }
  void SetIncludeBlobFields(bool aValue) noexcept { adIncludeBlobFields = aValue; }

  TnxAuditOnChildtableCreated OnChildtableCreated;
  TnxAuditOnChildtableRenamed OnChildtableRenamed;
  TnxAuditOnCanDiscardAuditTable OnCanDiscardAuditTable;

  // Whether the log's fields still mirror the audited ones (names, storage
  // types, units, decimals, offsets, lengths, locales) and it holds the
  // four audit fields.
  static bool FieldsDescriptorContainsAllFields(const TnxFieldsDescriptor& aAuditFieldsDescriptor,
                                                const TnxFieldsDescriptor& aOriginalFieldsDescriptor);

  // With aForBuild and UseAudit: the log maintenance (8712 outside a data
  // dictionary); then the custom descriptor's check.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void MaintainAuditLog();
  void CreateAuditLog(TnxBaseTableDescriptor& aTable, const TnxFieldsDescriptor& aAudited);
  static std::u16string NextOldAuditLogName(const TnxBaseTableDescriptor& aTable);
  static void ClearAuditLogFieldRules(TnxBaseTableDescriptor& aLog, const TnxFieldsDescriptor& aAudited);

  bool adUseAudit = false;
  bool adIncludeBlobFields = false;
};

}  // namespace revurov
