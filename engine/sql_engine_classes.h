// What an SQL engine needs of the in-process engine's databases and
// cursors, declared as abstract classes: result sets, dictionary
// iteration, table locks and restructuring without the client-level
// checks, and the server-side workers of the cursor. The request-close
// handler lets the owner of a server cursor learn that the server wants
// the cursor closed.
//
// Contract:
// - The request-close handler of an SQL cursor lives under a padlock made
//   on first use and published once (compare-and-exchange), so racing
//   setters share one padlock. Setting it while the cursor is being
//   destroyed is ignored; reading it then answers nil.
// - A handler made from an empty event, or disconnected, calls nothing.
// - The padlock is counted: a request in flight holds a reference, so a
//   handler may free the cursor and the request still releases it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dictionary/dictionary_item.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/interface.h"

namespace revurov {

class TnxBaseTableMapperDescriptor;
class TnxSqlAbstractCursor;

class InxRequestCloseHandler : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{B1155737-8151-4804-AB73-E5E3CA280B0D}");
  // The server asks the owner of aCursor to close it.
  virtual void RequestClose(TnxAbstractCursor* aCursor) = 0;

protected:
  ~InxRequestCloseHandler() = default;
};

class InxRequestCloseHandlerEvent : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{AF7BF7A2-EAF3-49C7-B830-D91407F715C5}");
  // From here on requests call nothing.
  virtual void Disconnect() = 0;

protected:
  ~InxRequestCloseHandlerEvent() = default;
};

// Called with the cursor as sender.
using TnxRequestCloseEvent = std::function<void(TnxAbstractCursor* aSender)>;

class TnxRequestCloseHandlerEvent : public TnxInterfacedObject,
                                    public InxRequestCloseHandler,
                                    public InxRequestCloseHandlerEvent {
public:
  explicit TnxRequestCloseHandlerEvent(TnxRequestCloseEvent aEvent)
      : rcheEvent(std::move(aEvent)), rcheDisconnected(!rcheEvent) {}

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  void RequestClose(TnxAbstractCursor* aCursor) override;
  void Disconnect() override { rcheDisconnected.store(true, std::memory_order_release); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxRequestCloseEvent rcheEvent;
  // A cursor may be asked to close on another thread than its owner's.
  std::atomic<bool> rcheDisconnected;
};

platform::TInterfacePtr<InxRequestCloseHandler> nxCreateRequestCloseHandler(TnxRequestCloseEvent aEvent);

// The request-close padlock of an SQL cursor; the cursor holds one
// reference, a request in flight another.
class TnxRequestCloseLock : public TnxInterfacedObject {
public:
  TnxPadlock rclPadlock{true};
};

using TnxDictionaryIterator =
    std::function<TnxIteratorResult(TnxDataDictionary* aDictionary, std::u16string_view aTableName, void* aCookie)>;
using TnxRecordIterator = std::function<TnxRecordIteratorResult(PnxRecordBuffer aData, void* aCookie)>;
using TnxKeyIterator = std::function<TnxKeyIteratorResult(PnxKeyBuffer aKey, void* aCookie)>;

class TnxSqlAbstractDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(TnxSqlAbstractDatabase, TnxAbstractDatabase)
  uint32_t LastAutoInc() const noexcept { return sadLastAutoInc; }
  void SetLastAutoInc(uint32_t aValue) noexcept { sadLastAutoInc = aValue; }
  TnxOpenMode OpenMode() const noexcept { return sdOpenMode; }
  TnxShareMode ShareMode() const noexcept { return sdShareMode; }
  virtual std::u16string Alias() { return {}; }

  virtual uint32_t sdTableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                       std::u16string_view aIndexName, int32_t aIndexID,
                                       TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t sdTableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                                      TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                      TnxAbstractTaskInfo*& aTaskInfo) = 0;
  // A new result-set cursor whose records have aDictionary's layout.
  virtual TnxSqlAbstractCursor* sadCreateResultSet(TnxDataDictionary* aDictionary, uint32_t aTimeout) = 0;
  // Hands the dictionaries of the database's tables to aIterator until it
  // answers irStop.
  virtual TnxIteratorResult sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                                  bool aIgnoreError, void* aCookie) = 0;
  virtual void sadLockTables() = 0;
  virtual void sadUnlockTables() = 0;

protected:
  TnxSqlAbstractDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, uint32_t aTimeout,
                         TnxOpenMode aOpenMode, TnxShareMode aShareMode)
      : TnxAbstractDatabase(aSession, aTransContext, aTimeout), sdOpenMode(aOpenMode), sdShareMode(aShareMode) {}

  TnxSqlAbstractDatabase* sadMasterDatabase = nullptr;  // not owned

private:
  uint32_t sadLastAutoInc = 0;
  TnxOpenMode sdOpenMode = omReadOnly;
  TnxShareMode sdShareMode = smExclusive;
};

class TnxSqlAbstractCursor : public TnxAbstractServerCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxSqlAbstractCursor, TnxAbstractServerCursor)
  virtual bool sacIsWrapper() { return false; }
  virtual void sbcMarkReadonly() = 0;
  virtual std::u16string sbcGetRootName() = 0;
  virtual TnxIndexPathPosition sbcGetPosition() = 0;
  // Ignored while the cursor is being destroyed.
  virtual void sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler> aHandler);
  // Nil before any handler was set and while the cursor is being
  // destroyed.
  platform::TInterfacePtr<InxRequestCloseHandler> sbcGetOnRequestClose();
  virtual uint32_t sbcSwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) = 0;
  virtual uint32_t sbcGetIndexID(int32_t& aIndexID) = 0;
  virtual void sbcRangeReset() = 0;
  virtual uint32_t sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                               PnxKeyOrRecordBuffer aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                               int32_t aPartialLen2, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                               bool aKeyIncl2) = 0;
  virtual void sbcSetToBegin() = 0;
  virtual void sbcSetToEnd() = 0;
  virtual uint32_t sbcRecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                     TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) = 0;
  virtual uint32_t sbcRecordInsertBatch(TnxCustomMemoryStream& aStream) = 0;
  virtual uint32_t sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                  int32_t aMaxTransSize, bool aCheckValFields) = 0;
  virtual uint32_t sbcDeleteRecords() = 0;
  virtual uint32_t sbcBlobCreateLink(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aTableName,
                                     TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual uint32_t sbcBlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   uint32_t aBlobLength) = 0;
  virtual uint32_t sbcBlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t sbcBlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                                  const void* aBlob) = 0;
  // What a field mapper between two server cursors needs beside reads and
  // writes: a new blob of aFieldNo, and a copy of another cursor's blob
  // into a new blob of aDestFieldNo (at most aMaxLength bytes, inside the
  // caller's transaction). A cursor without them answers 12289.
  virtual uint32_t sbcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr);
  virtual uint32_t sbcBlobCopyFrom(TnxSqlAbstractCursor* aSrcCursor, int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                   int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, uint32_t aMaxLength);
  virtual bool sbcBlobIsLink(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                             std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) = 0;
  virtual uint32_t sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                                   int64_t* aAutoInc) = 0;
  virtual uint32_t sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) = 0;
  virtual uint32_t sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) = 0;
  virtual uint32_t sbcAutoIncGet() = 0;
  // Sets the table's counter inside the cursor's active transaction, with no
  // frame of its own; nothing happens outside one, nor in a cursor without
  // a counter of its own.
  virtual void sbcAutoIncSetDirect(uint32_t) {}
  virtual uint32_t sbcGetRecordCount(TnxRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) = 0;
  virtual uint32_t sbcChangePassword(std::u16string_view aNewPassword) = 0;
  virtual uint32_t sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool aForceWrite) = 0;
  virtual void sbcIterate(PnxRecordBuffer* aData, const TnxKeyIterator& aKeyIterator,
                          const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                          bool aKeepPosition) = 0;
  virtual bool sacHasKey(int32_t aIndex, const platform::TnxVariant& aValue) = 0;
  virtual TnxOpenMode sacGetOpenMode() { return omReadOnly; }
  virtual TnxRefNr sacGetRefNr() = 0;
  virtual void sacSetRefNr(TnxRefNr aRefNr) = 0;
  virtual void sacSetDefault(PnxRecordBuffer aRecordBuffer, int32_t aIndex) = 0;
  virtual void sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) = 0;
  virtual uint32_t sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) = 0;

  bool sbcUseNestedTransaction = false;

protected:
  using TnxAbstractServerCursor::TnxAbstractServerCursor;
  ~TnxSqlAbstractCursor() override;

  // Nil before any handler was set.
  platform::TInterfacePtr<TnxRequestCloseLock> sbcRequestCloseLock() const noexcept;
  // The handler; read with the request-close padlock held.
  const platform::TInterfacePtr<InxRequestCloseHandler>& sbcRequestCloseHandler() const noexcept {
    return sbcOnRequestClose;
  }

private:
  // Made on first use and published once through this variable (the
  // cursor's reference); the destructor takes it out and releases it.
  TnxRequestCloseLock* sbcOnRequestCloseLock = nullptr;
  platform::TInterfacePtr<InxRequestCloseHandler> sbcOnRequestClose;
};

}  // namespace revurov
