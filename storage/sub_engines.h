// The storage of a table is split among sub-engines, one per concern
// (streams, the autoinc counter, records, ...). Each concern is a family
// with a base class and a registry of engine classes by name; the table's
// dictionary names the engine of each descriptor.
//
// Contract:
// - Registries and the family list change only in the storage library's
//   start-up and shut-down; lookups ignore ASCII letter case.
// - An unregistered engine name gives 15503 "Unknown <family> engine:
//   "<name>"" in the family's exception class, from CreateEngine and from
//   the checks.
// - CheckValidAll runs every registered family's check on a dictionary,
//   then on its nested tables, depth first.
// - CreateEngine of the autoinc and record families answers null for a
//   table without that descriptor; the caller owns what it gets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/registerable.h"
#include "storage/server_exceptions.h"
#include "storage/storage_types.h"

namespace revurov {

namespace platform {
class TStream;
class TStringList;
}  // namespace platform

class TnxBaseAutoIncDescriptor;
class TnxBaseFilterEngine;
class TnxBaseFileHeaderAccess;
class TnxBaseRecordDescriptor;
class TnxBaseStreamDescriptor;
class TnxBaseSubEngine;
class TnxBaseTableDescriptor;
class TnxBaseTransaction;
class TnxBlockAccess;
class TnxDictionaryItem;
class TnxFieldsDescriptor;

REVUROV_EXCEPTION_CLASS(EnxBaseSubEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxStreamEngineException, EnxBaseSubEngineException);
REVUROV_EXCEPTION_CLASS(EnxBaseAutoIncEngineException, EnxBaseSubEngineException);
REVUROV_EXCEPTION_CLASS(EnxBaseRecordEngineException, EnxBaseSubEngineException);

using PnxRecordBuffer = uint8_t*;
// One block access per file number of the table; element 0 is the main file.
using TnxBlockAccessList = std::vector<TnxBlockAccess*>;
// Called per record a scan delivers (cookie, reference number, record).
using TnxStorageRecordIterator = std::function<TnxRecordIteratorResult(void*, TnxRefNr, PnxRecordBuffer)>;
using TnxGetRecordCallback = std::function<uint32_t(PnxRecordBuffer)>;

// What a family's virtual constructor gets; each family reads its part.
struct TnxSubEngineArgs {
  TnxDictionaryItem* Descriptor = nullptr;
  TnxBaseTransaction* Trans = nullptr;
  TnxBlockAccess* DataFile = nullptr;         // stream engines
  const TnxBlockAccessList* Files = nullptr;  // autoinc and record engines
};

// The class record of every sub-engine class. Null members mean "as the
// parent class".
struct TnxSubEngineClass : TnxRegisterableClass {
  // Family bases: the family's part of the check of a table descriptor.
  void (*CheckValid)(TnxBaseTableDescriptor& aDictionary) = nullptr;
  // Engine classes: checks of their own; the family decides what it gets
  // (the record family passes the whole table descriptor).
  void (*CheckValidDescriptor)(TnxDictionaryItem& aDescriptor) = nullptr;
  // The virtual constructor; null for abstract classes.
  std::unique_ptr<TnxBaseSubEngine> (*Create)(const TnxSubEngineArgs& aArgs) = nullptr;

  void DoCheckValidDescriptor(TnxDictionaryItem& aDescriptor) const;
  std::unique_ptr<TnxBaseSubEngine> DoCreate(const TnxSubEngineArgs& aArgs) const;
  const TnxSubEngineClass* FindEngineClass(std::u16string_view aName) const {
    return static_cast<const TnxSubEngineClass*>(FindClass(aName));
  }
  // Called on a family base: adds it to / removes it from the family list.
  void RegisterFamily() const;
  void UnregisterFamily() const noexcept;
};

template <class T>
std::unique_ptr<TnxBaseSubEngine> nxNewSubEngine(const TnxSubEngineArgs& aArgs) {
  return std::make_unique<T>(aArgs);
}

class TnxBaseSubEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSubEngine, TnxBaseRegisterableEngine, TnxSubEngineClass)

  TnxBaseSubEngine(int32_t aID, int32_t aTableVersion) : bseID(aID), bseTableVersion(aTableVersion) {}

  // Every registered family's check, then the nested tables, depth first.
  static void CheckValidAll(TnxBaseTableDescriptor& aDictionary);
  // The family bases in the order they were registered.
  static std::vector<const TnxSubEngineClass*> Families();

  int32_t bseID;
  int32_t bseTableVersion;
};

// ---- stream engines ----

extern TnxClassRegistry nxStreamEngines;

class TnxBaseStreamEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseStreamEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxStreamEngines,
                              &TnxBaseStreamEngine::CheckValid)

  // aArgs.Descriptor is a stream descriptor or null.
  explicit TnxBaseStreamEngine(const TnxSubEngineArgs& aArgs);

  // The class named by the file header's stream engine name.
  static std::unique_ptr<TnxBaseStreamEngine> CreateEngine(TnxBaseStreamDescriptor* aDescriptor,
                                                           TnxBlockAccess& aDataFile, TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseStreamEngine> CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                           TnxBlockAccess& aDataFile, TnxBaseTransaction* aTrans);
  static void CheckValidFromDescriptor(TnxBaseStreamDescriptor* aDescriptor);
  static void CheckValid(TnxBaseTableDescriptor& aDictionary);

  // Calls Initialize with the dictionary's stream descriptor.
  void Initialize(TnxBaseTableDescriptor& aDictionary);
  virtual void Initialize(TnxBaseStreamDescriptor* aDescriptor);
  virtual void DeleteStream(TnxBaseTransaction& aTrans, uint32_t aStreamNr) = 0;
  virtual void ReadStream(TnxBaseTransaction* aTrans, uint32_t aStreamNr, platform::TStream& aStream) = 0;
  virtual void WriteStream(TnxBaseTransaction& aTrans, uint32_t& aStreamNr, platform::TStream& aStream,
                           bool aCreateNew, const TnxBlockSignature& aStreamSig) = 0;
  virtual uint32_t GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) = 0;
  virtual uint32_t GetNamedStreamCount(TnxBaseTransaction* aTrans, uint32_t& aCount) = 0;
  virtual uint32_t DeleteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName) = 0;
  virtual uint32_t ReadNamedStream(TnxBaseTransaction* aTrans, std::u16string_view aName,
                                   platform::TStream& aStream) = 0;
  virtual uint32_t WriteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName,
                                    platform::TStream& aStream) = 0;

  TnxBlockAccess& bseDataFile;
};

// ---- autoinc engines ----

extern TnxClassRegistry nxAutoIncEngines;

class TnxBaseAutoIncEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseAutoIncEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxAutoIncEngines,
                              &TnxBaseAutoIncEngine::CheckValid)

  // aArgs.Descriptor is an autoinc descriptor.
  explicit TnxBaseAutoIncEngine(const TnxSubEngineArgs& aArgs);

  static std::unique_ptr<TnxBaseAutoIncEngine> CreateEngine(TnxBaseAutoIncDescriptor* aDescriptor,
                                                            const TnxBlockAccessList& aFiles,
                                                            TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseAutoIncEngine> CreateEngine(TnxBaseTableDescriptor& aDataDict,
                                                            const TnxBlockAccessList& aFiles,
                                                            TnxBaseTransaction* aTrans);
  static void CheckValidFromDescriptor(TnxBaseAutoIncDescriptor* aDescriptor);
  static void CheckValid(TnxBaseTableDescriptor& aDictionary);

  // The value handed out; the stored one before the call goes to
  // *aCurrentAutoInc when given.
  virtual uint32_t NextAutoIncValue(TnxBaseTransaction& aTrans, uint32_t* aCurrentAutoInc) = 0;
  virtual uint32_t ReadAutoIncValue(TnxBaseTransaction* aTrans) = 0;
  virtual void SetAutoIncValue(TnxBaseTransaction& aTrans, uint32_t aValue) = 0;

  TnxBlockAccess& baieDataFile;
};

// ---- record engines ----

extern TnxClassRegistry nxRecordEngines;

class TnxBaseRecordEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRecordEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxRecordEngines,
                              &TnxBaseRecordEngine::CheckValid)

  // aArgs.Descriptor is a record descriptor whose parent is its table.
  explicit TnxBaseRecordEngine(const TnxSubEngineArgs& aArgs);
  ~TnxBaseRecordEngine() override;

  static std::unique_ptr<TnxBaseRecordEngine> CreateEngine(TnxBaseRecordDescriptor* aDescriptor,
                                                           const TnxBlockAccessList& aFiles,
                                                           TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseRecordEngine> CreateEngine(TnxBaseTableDescriptor& aDataDict,
                                                           const TnxBlockAccessList& aFiles,
                                                           TnxBaseTransaction* aTrans);
  static void CheckValid(TnxBaseTableDescriptor& aDictionary);

  virtual bool CanAddField(const TnxDictionaryItem& /*aFieldDesc*/) { return false; }
  virtual void AddRecord(TnxBaseTransaction& aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) = 0;
  virtual void DeleteRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) = 0;
  virtual void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                              PnxRecordBuffer aRecData) = 0;
  virtual void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                              PnxRecordBuffer aRecData) = 0;
  virtual void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) = 0;
  virtual void UpdateRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                            PnxRecordBuffer aOldRecord) = 0;
  virtual void GetRecordCount(TnxBaseTransaction* aTrans, uint32_t& aCount) = 0;
  // aData: null delivers nothing; pointing to a buffer copies into it;
  // pointing to null sets it to the record in the block, valid only
  // inside the iterator call (it is null again afterwards).
  virtual void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                       const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) = 0;
  virtual void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                               const TnxStorageRecordIterator& aIterator, void* aCookie,
                               TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) = 0;
  virtual uint32_t RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                            uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr,
                            TnxBaseFilterEngine* aFilter, bool aFlipOrder) = 0;
  virtual int32_t GetRecoverID() = 0;
  virtual TnxRecordIteratorResult RecoverIterate(const uint8_t* aBlock, TnxBlockNumber aBlockNumber,
                                                 PnxRecordBuffer* aData, const TnxStorageRecordIterator& aIterator,
                                                 void* aCookie) = 0;
  virtual TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                       PnxRecordBuffer* aData,
                                                       const TnxStorageRecordIterator& aIterator, void* aCookie,
                                                       TnxBaseFilterEngine* aFilter) = 0;
  virtual void ReplaceAllRecords(TnxBaseTransaction& aTrans, const TnxGetRecordCallback& aCallback) = 0;
  virtual void Rollback(TnxBaseTransaction& /*aTrans*/) {}

  uint32_t breGetRecordCount(TnxBaseTransaction* aTrans) {
    uint32_t count = 0;
    GetRecordCount(aTrans, count);
    return count;
  }
  // Stores aRefNr in the record's reference-number field, if any.
  void breSetRefNr(PnxRecordBuffer aRecData, TnxRefNr aRefNr) const;

  TnxBlockAccess& breDataFile;
  uint16_t breRecordLength;
  TnxPoolHandle breRecordAllocator;
  TnxFieldsDescriptor& breFieldsDescriptor;
  int32_t breRefNrField = -1;
  PnxRecordBuffer TempRecBuf = nullptr;
};

// Start-up units: the three families, in family-list order.
void nxSubEngineFamiliesStartup();
void nxSubEngineFamiliesShutdown() noexcept;

}  // namespace revurov
