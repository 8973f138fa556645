// The base of the key engines, which know one index's key layout: they
// build keys from records, compare keys and records, and show keys as
// variants and text; and the bookmark handler, which checks, compares and
// shows cursor bookmarks with the help of a key engine.
//
// Contract:
// - Every key buffer handed to an engine holds KeyLength() bytes
//   (AllocKey gives such buffers); every record buffer holds its fields
//   descriptor's RecordLength() bytes. Text lengths inside keys (length
//   bytes, terminating zeros) are never trusted beyond the key's length.
// - Comparisons answer -1, 0 or 1 and are total orders; a comparison that
//   cannot be done raises, it never answers "less".
// - An engine is read-only after its constructor: one engine may serve
//   any number of threads at once.
// - A record belongs to an index unless the key filter (built from the
//   descriptor's over its fields descriptor, active from the start) or a
//   key field's null filter excludes it. Filters serve one thread at a
//   time: the engine lets one caller at a time ask its filter.
// - Bookmark operations never raise: malformed or foreign bookmarks give
//   10021, keys ordered under a changed collation 12289.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/filter_engines.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/registerable.h"
#include "lowlevel/sync/padlock.h"
#include "platform/variant.h"

namespace revurov {

class TnxBaseKeyDescriptor;
class TnxBaseKeyEngine;
class TnxRecordFieldsSource;

REVUROV_EXCEPTION_CLASS(EnxBaseKeyEngineException, EnxBaseRegisterableEngineException);

extern TnxClassRegistry nxKeyEngines;

struct TnxKeyEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseKeyEngine> (*Create)(TnxBaseKeyDescriptor& aDescriptor) = nullptr;
  // Raises when the engine cannot serve aDescriptor.
  void (*CheckValidDescriptor)(TnxBaseKeyDescriptor& aDescriptor) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseKeyEngine> nxNewKeyEngine(TnxBaseKeyDescriptor& aDescriptor) {
  return std::make_unique<T>(aDescriptor);
}

// Also the fields source of filters over its keys (MatchesKey): the key
// stands where a record would.
class TnxBaseKeyEngine : public TnxBaseRegisterableEngine, public InxFieldsSource {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseKeyEngine, TnxBaseRegisterableEngine, TnxKeyEngineClass, &nxKeyEngines,
                              nullptr, nullptr)

  explicit TnxBaseKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  ~TnxBaseKeyEngine() override;

  // The engine registered under the descriptor's class name with every
  // "Descriptor" made "Engine"; 15503 when there is none.
  static std::unique_ptr<TnxBaseKeyEngine> CreateFor(TnxBaseKeyDescriptor& aDescriptor);
  // 0 and the engine, or 15503 (also as the thread's last message) and
  // null; exceptions of the engine's constructor pass.
  static uint32_t TryCreateFor(TnxBaseKeyDescriptor& aDescriptor, std::unique_ptr<TnxBaseKeyEngine>& aKeyEngine);
  static void CheckValidBaseFromDescriptor(TnxBaseKeyDescriptor& aDescriptor);
  virtual bool SupportsReindex() const noexcept { return true; }

  TnxBaseKeyDescriptor& KeyDescriptor() const noexcept { return bkeKeyDescriptor; }
  uint16_t KeyLength() const noexcept { return bkeKeyLength; }
  bool NLSVersionChanged() const noexcept { return bkeNLSVersionChanged; }
  bool ContainsExtended() const noexcept { return bkeContainsExtended; }
  // Null without a key filter.
  TnxBaseFilterEngine* Filter() const noexcept { return bkeFilter.get(); }

  // ---- what a filter reads of a key ----
  // aName, when not empty, chooses the field instead of aIndex. False for
  // no such field. aValue points into aKey (null for a null field).
  virtual bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey,
                                    uint16_t& aType, uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                    uint16_t& aCodePage) const = 0;
  // InxFieldsSource over a key buffer: GetKeyFieldForFilter with the
  // filter's 8-bit name.
  int32_t GetFieldCount() const override { return GetMaxFieldCount(); }
  bool GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const override;
  bool BlobsSupported() const noexcept { return false; }
  // -1 when absent.
  virtual int32_t GetKeyFieldIndex(std::u16string_view aName) const = 0;
  virtual int32_t GetMaxFieldCount() const noexcept = 0;
  virtual InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const = 0;
  virtual int32_t GetFieldsOffset() const noexcept = 0;
  virtual int32_t GetKeyFieldOffset(int32_t aIndex) const noexcept;

  // ---- keys ----
  // A cleared key from the engine's pool.
  uint8_t* AllocKey() const;
  void FreeKey(uint8_t*& aKey) const noexcept;
  virtual void CopyKey(const uint8_t* aFrom, uint8_t* aTo) const noexcept;
  virtual void ClearKey(uint8_t* aKey) const noexcept = 0;
  // 0: built; 1: the record has no key in this index (only when
  // aIgnoreFilter is false); otherwise an error code (9986 for no record).
  virtual uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const = 0;
  // 12289 for an engine that cannot restore fields from its keys.
  virtual uint32_t KeyToRecord(const uint8_t* aKey, uint8_t* aRecord) const;

  // aFieldCount 0: all fields; aPartialLen above 0: after the counted whole
  // fields one more field, compared up to that length.
  virtual int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                         int32_t aPartialLen) const = 0;
  virtual int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const;
  virtual int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr,
                                 int32_t aFieldCount, int32_t aPartialLen) const;
  virtual int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const;
  virtual int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2, TnxRefNr aRefNr2,
                            int32_t aFieldCount, int32_t aPartialLen) const;
  virtual int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2,
                            TnxRefNr aRefNr2) const;
  virtual int CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const;

  // aField -1: the whole key (an array for more than one field).
  virtual platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const = 0;
  // "5, NULL, 'O''Brien'"; empty when anything fails.
  std::u16string KeyAsString(const uint8_t* aKey) const noexcept;
  // One value per key field, named after it; raises nothing.
  void KeyAsExceptionData(const uint8_t* aKey, InxExceptionDataContainer& aContainer) const noexcept;
  virtual bool KeyContainsNulls(const uint8_t* aKey) const noexcept;

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

protected:
  TnxBaseKeyDescriptor& bkeKeyDescriptor;  // not owned
  uint16_t bkeKeyLength = 0;
  TnxPoolHandle bkeMemoryPool = 0;
  bool bkeNLSVersionChanged = false;
  bool bkeContainsExtended = false;

  // Sets the key length and takes the pool for it; for engines whose keys
  // are not as long as their descriptor says.
  void SetKeyLength(uint16_t aKeyLength);
  // Whether the key filter keeps aRecord out of the index (never with
  // aIgnoreFilter).
  bool FilterRejects(const uint8_t* aRecord, bool aIgnoreFilter) const;

private:
  std::unique_ptr<TnxRecordFieldsSource> bkeFilterSource;  // outlives the filter
  std::unique_ptr<TnxBaseFilterEngine> bkeFilter;
  mutable TnxPadlock bkeFilterLock;
};

// A scratch key from an engine's pool, given back on every path.
class TnxScratchKey {
public:
  explicit TnxScratchKey(const TnxBaseKeyEngine& aEngine) : skEngine(aEngine), skKey(aEngine.AllocKey()) {}
  ~TnxScratchKey() { skEngine.FreeKey(skKey); }
  TnxScratchKey(const TnxScratchKey&) = delete;
  TnxScratchKey& operator=(const TnxScratchKey&) = delete;
  uint8_t* Get() const noexcept { return skKey; }

private:
  const TnxBaseKeyEngine& skEngine;
  uint8_t* skKey;
};

// Bookmark layout: dictionary/engine_records.h (TnxBookmarkLayout), the
// key at bmKey.
class TnxBookmarkHandler : public TnxObject {
public:
  // aKeyEngine is not owned and may be null (bookmarks by reference number
  // alone, index ID -1).
  TnxBookmarkHandler(int32_t aIndexID, const TnxBaseKeyEngine* aKeyEngine) noexcept
      : bmhIndexID(aIndexID), bmhKeyEngine(aKeyEngine) {}

  uint32_t GetBookmarkSize() const noexcept;
  // 0 or 10021; aSize is what the caller holds at aBookmark.
  uint32_t CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const noexcept;
  uint32_t CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                            int& aCompResult) const noexcept;
  uint32_t BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize, platform::TnxVariant& aVariant) const noexcept;

  // Fills a bookmark of GetBookmarkSize() bytes as the index path writes
  // one: header, key (when the handler has a key engine and aKey is not
  // null), hash.
  void WriteBookmark(uint8_t* aBookmark, TnxIndexPathPosition aPos, TnxRefNr aRefNr, const uint8_t* aKey,
                     bool aDeleted = false) const noexcept;

private:
  int32_t bmhIndexID = -1;
  const TnxBaseKeyEngine* bmhKeyEngine = nullptr;  // not owned
};

}  // namespace revurov
