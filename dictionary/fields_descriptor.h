// The field list of a table and the one authority on its record buffers:
// where each field lives, its null flag, copying values in and out, name
// lookup, the special fields and what diff-compression of records needs.
//
// Record layout (every engine relies on it):
// - Fields are packed in field-number order without alignment: the offset
//   of field N is the sum of the lengths of fields 0 to N-1.
// - The null bitmap starts at LogicalRecordLength: the sum of the lengths
//   rounded up to a multiple of 4, or unrounded in a version-1 dictionary.
//   It has ((FieldCount + 31) div 32) * 4 bytes, bit N mod 32 of the
//   little-endian word N div 32 flags field N as null.
// - RecordLength = (sum rounded up to 4) + the bitmap size, in every
//   version. No record is longer than nxMax16BitLength.
// - Every change of the list (add, insert, move, remove, clear) keeps that
//   rule, so a version-1 dictionary never moves the bitmap of records it
//   already stored; only UpdateLogRecLenAlign (the upgrade of a version-1
//   dictionary) rounds there.
//
// Contract:
// - Insertions, moves and removals notify the registered listeners before
//   (a listener may refuse by raising; nothing has changed then) and after.
// - While the cache is active, record length, allocator, special fields,
//   blob list and name lookup are frozen and answer what the uncached path
//   computes. Record access is then safe from any number of threads.
// - Raises EnxFieldsDescriptorException; range errors ("Index out of
//   bounds: %d", 9999) leave the buffer untouched.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/shared_infos.h"
#include "lowlevel/heap/memory_manager_table.h"

namespace revurov::platform {
class TStringList;
}

namespace revurov {

struct TnxDiffCompressorInfo;
class TnxFieldsValidationsDescriptor;

extern TnxClassRegistry nxFieldsDescriptorClasses;

struct TnxFieldsDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFieldsDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class T>
std::unique_ptr<TnxFieldsDescriptor> nxNewFieldsDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

class TnxFieldsDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxFieldsDescriptor, TnxDictionaryItem, TnxFieldsDescriptorClass,
                              &nxFieldsDescriptorClasses, &nxNewFieldsDescriptor<TnxFieldsDescriptor>)

  explicit TnxFieldsDescriptor(TnxPersistent* aParent);
  ~TnxFieldsDescriptor() override;

  int32_t FieldCount() const noexcept { return static_cast<int32_t>(fsdFields.size()); }
  // 9999 outside the list.
  TnxFieldDescriptor* FieldDescriptor(int32_t aIndex) const;

  // ---- layout ----
  int32_t LogRecLen() const noexcept { return fsdLogRecLen; }
  int32_t LogicalRecordLength() const noexcept { return fsdLogRecLenAlign; }
  int32_t NullBitmapSize() const noexcept { return (FieldCount() + 31) / 32 * 4; }
  int32_t RecordLength() const noexcept;
  // A pool of blocks of RecordLength + 4 bytes.
  TnxPoolHandle RecordAllocator() const;
  int32_t FieldsOffset() const noexcept { return 0; }
  // The custom string "OriginalFieldCount", else FieldCount; 0 removes it.
  int32_t OriginalFieldCount();
  void SetOriginalFieldCount(int32_t aValue);

  // ---- record access ----
  void InitRecord(void* aData) const noexcept;
  bool IsRecordFieldNull(int32_t aField, const void* aData) const;
  // Inline: filters ask it for every field of every record.
  bool IsRecordFieldNullFast(int32_t aField, const void* aData) const noexcept {
    return (Bitmap(aData)[aField >> 3] >> (aField & 7)) & 1;
  }
  void GetRecordField(int32_t aField, const void* aData, bool& aIsNull, void* aValue) const;
  void SetRecordField(int32_t aField, void* aData, const void* aValue) const;
  void SetRecordFieldNull(int32_t aField, void* aData, bool aIsNull) const;
  const void* GetRecordFieldForFilter(int32_t aField, const void* aData) const noexcept;
  bool GetRecordFieldForFilter(int32_t aField, const void* aData, TnxFieldType& aType, uint16_t& aSize,
                               const void*& aValue) const noexcept;
  bool GetFieldForFilter(int32_t aField, std::u16string_view aName, const void* aData, uint16_t& aType,
                         uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const;
  platform::TnxVariant fsdGetFieldByIndexAsVariant(const void* aRecordBuffer, int32_t aIndex) const;
  platform::TnxVariant fsdGetFieldByNameAsVariant(const void* aRecordBuffer, std::u16string_view aName) const;
  void fsdSetFieldByIndexAsVariant(void* aRecordBuffer, int32_t aIndex, const platform::TnxVariant& aValue) const;
  void fsdSetFieldByNameAsVariant(void* aRecordBuffer, std::u16string_view aName,
                                  const platform::TnxVariant& aValue) const;
  // "Name: value" per field, CR LF after each.
  std::u16string RecordBufferToString(const void* aRecordBuffer) const;

  // The rules on whole records; null without any.
  TnxFieldsValidationsDescriptor* Validations() const noexcept;
  // Replaces the rule list by an empty one.
  TnxFieldsValidationsDescriptor* AddValidations();
  void RemoveValidations();

  // ---- field list ----
  // aClass: null for TnxFieldDescriptor. 10038, 10009; 8712 outside a
  // dictionary; 10003 when the record would outgrow nxMax16BitLength.
  TnxFieldDescriptor* AddField(std::u16string_view aName, std::u16string_view aDesc, TnxFieldType aType,
                               int32_t aUnits, int32_t aDecPl, bool aRequired,
                               const TnxFieldDescriptorClass* aClass = nullptr);
  // A copy with its own ID; nothing is left behind when it fails.
  TnxFieldDescriptor* AddField(const TnxFieldDescriptor& aFieldDescriptor);
  TnxFieldDescriptor* InsertFieldAt(int32_t aInx, std::u16string_view aName, std::u16string_view aDesc,
                                    TnxFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired,
                                    const TnxFieldDescriptorClass* aClass = nullptr);
  void MoveField(int32_t aFrom, int32_t aTo);
  // A position outside the list does nothing.
  void RemoveField(int32_t aInx);
  // Field number or -1; A to Z without case.
  int32_t GetFieldFromName(std::u16string_view aFieldName) const;
  // For a name lower-cased already; hashed while the cache is active.
  int32_t GetFieldFromNameFast(std::u16string_view aLowerName) const;
  void GetFields(platform::TStringList& aStrings) const;
  void UpdateSetupAndOffsets() noexcept;
  // Rounds the bitmap offset up to 4 whatever the version: the step that
  // upgrades a version-1 dictionary.
  void UpdateLogRecLenAlign() noexcept;
  void PrepareForCache();

  void AddFieldChangeListener(TnxDictionaryItem* aItem) { fsdFieldChangeNotifies.Add(aItem); }
  void RemoveFieldChangeListener(TnxDictionaryItem* aItem) { fsdFieldChangeNotifies.Remove(aItem); }
  int32_t FieldChangeListenerCount() const noexcept { return fsdFieldChangeNotifies.Count(); }

  // ---- special fields ----
  bool HasSpecialField(TnxSpecialFieldType aKind, int32_t& aField) const;
  bool HasAutoIncField(int32_t& aField) const { return HasSpecialField(sftAutoInc, aField); }
  bool HasAutoGuidField(int32_t& aField) const { return HasSpecialField(sftAutoGuid, aField); }
  bool HasRecRevField(int32_t& aField) const { return HasSpecialField(sftRecRev, aField); }
  bool HasRefNrField(int32_t& aField) const { return HasSpecialField(sftRefNr, aField); }
  bool HasModifyLSNField(int32_t& aField) const { return HasSpecialField(sftModifyLSN, aField); }
  bool HasInsertLSNField(int32_t& aField) const { return HasSpecialField(sftInsertLSN, aField); }
  bool HasBlobFields(TnxBlobFields& aBlobFields) const;
  // Same count, and pairwise the same length and storage-compatible types
  // (row: this side); the matching blob fields are listed.
  bool HasSameFields(const TnxFieldsDescriptor& aSource, std::vector<int32_t>* aBlobFields) const;
  // Releases what aInfo held; shares the cached info or builds a new one.
  void GetSpecialFieldsInfo(TnxSpecialFieldsInfo*& aInfo);
  void GetDiffCompressionInfo(TnxDiffCompressorInfo*& aDCI);

  void ActivateCache() override;
  void DeactivateCache() override;
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void CheckRange(int32_t aField) const;
  bool Version1() const noexcept;
  // Numbers and offsets from aFrom on, the sum and the bitmap offset.
  void Relayout(int32_t aFrom) noexcept;
  void CheckRecordFits(int64_t aLogRecLen, int32_t aFieldCount) const;
  // Everything AddField refuses after the name, checked before listeners
  // hear of an insertion.
  void CheckNewFieldFits(TnxFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired) const;
  void fsdFieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField);
  void fsdBuildSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo, bool aRebuildHash);
  static int32_t SpecialKindOf(const TnxFieldDescriptor& aField) noexcept;
  uint8_t* Bitmap(void* aData) const noexcept { return static_cast<uint8_t*>(aData) + fsdLogRecLenAlign; }
  const uint8_t* Bitmap(const void* aData) const noexcept {
    return static_cast<const uint8_t*>(aData) + fsdLogRecLenAlign;
  }

  int32_t fsdLogRecLen = 0;
  int32_t fsdLogRecLenAlign = 0;
  int32_t fsdCachedGetRecordLength = 0;
  TnxPoolHandle fsdRecordAllocator = 0;
  TnxChangeListeners fsdFieldChangeNotifies;
  std::vector<TnxFieldDescriptor*> fsdFieldHashList;  // chain heads, not owned
  TnxSpecialFieldsInfo* fsdCachedSpecialFieldsInfo = nullptr;  // one reference owned
  std::atomic<TnxDiffCompressorInfo*> fsdCachedDiffCompressorInfo{nullptr};  // one reference owned
  std::vector<std::unique_ptr<TnxFieldDescriptor>> fsdFields;
  std::unique_ptr<TnxFieldValidationsDescriptor> fsdValidations;  // a TnxFieldsValidationsDescriptor
};

}  // namespace revurov
