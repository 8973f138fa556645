// Changes of an open table's structure through its cursor: adding a field,
// adding an index, dropping an index, handing out the bulk builder of the
// indices, and renaming a field of a result set.
//
// Each change writes the dictionary and the index blocks in one fail-safe
// transaction of its own, so that a crash leaves the old structure or the
// new one whole. A change that fails puts the dictionary and the indices
// engine in memory back as they were before its transaction rolls back.
// A change inside the caller's transaction is refused: the caller's later
// rollback would take back the files but not the structure in memory.
#include <memory>
#include <utility>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "index/bulk_build.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "server/server_data_dict.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

// The dictionary open for changes; read-only again on every way out.
class TDictionaryOpen {
public:
  explicit TDictionaryOpen(TnxServerDataDict& aDict) : doDict(aDict) { doDict.ForceOffReadOnly(); }
  ~TDictionaryOpen() {
    if (!doDict.ReadOnly()) doDict.ForceOnReadOnly();
  }
  TDictionaryOpen(const TDictionaryOpen&) = delete;
  TDictionaryOpen& operator=(const TDictionaryOpen&) = delete;

private:
  TnxServerDataDict& doDict;
};

uint32_t LevelTooLow() {
  return EnxBaseException::nxSetMessage(nxeHigherTableLevelRequired, u"Higher table level required");
}

}  // namespace

// ---- the frame ----

uint32_t TnxServerTableCursor::stcStructureChange(const std::function<uint32_t(TnxServerTransaction&)>& aWork,
                                                  const std::function<void()>& aUndo) {
  if (ActiveTrans())
    return EnxBaseException::nxSetMessage(
        nxeTransactionActive, u"The table's structure changes in a transaction of its own; end the active one first");
  TnxServerTransContext& context = *TransContext();
  TnxServerTransactionLevel* own = nullptr;
  uint32_t result = 0;
  try {
    result = context.stcTransactionStart(true, false, false, true, false, IsResultSet || IsUnnamed);
    if (result == 0) {
      own = context.stcTransaction()->ServerLevel();
      result = sbcBeginContentLock(true, false, false);
      if (result == 0) {
        // A link lasts to the level's end; the end only balances the begin.
        sbcEndContentLock();
        result = aWork(*context.stcTransaction());
      }
      if (result == 0) {
        own = nullptr;
        result = context.stcTransactionCommit();
      }
    }
  } catch (...) {
    result = asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
  }
  if (result != 0) {
    try {
      aUndo();
    } catch (...) {
      // The undo changes memory only; it has nothing that fails.
    }
  }
  if (own && context.stcTransaction() && context.stcTransaction()->ServerLevel() == own)
    context.stcTransactionRollback();
  if (result == 0) stcStructureChanged();
  return result;
}

void TnxServerTableCursor::stcStructureChanged() {
  const TnxTableScope scope = stcTable->Root()->TableScope();
  if (scope == tsTempUnnamed) return;
  if (auto* database = dynamic_cast<TnxServerDatabase*>(Database()))
    database->sdStructureChanged(scope == tsPersistent || scope == tsTempGlobal);
}

void TnxServerDatabase::sdStructureChanged(bool aBumpFolder) {
  ++sdStructureGeneration;
  if (aBumpFolder) sdFolder->BumpStructureGeneration();
  sdFolderStructureGeneration = sdFolder->StructureGeneration();
}

void TnxServerTableCursor::stcWriteDictionary(TnxServerTransaction& aTrans) {
  TnxServerRootTable& root = *stcTable->Root();
  root.Dictionary().IncID();
  root.srtUpdateFilesMaxID();
  root.Dictionary().WriteToFile(*root.StreamEngine(), aTrans);
}

// ---- fields ----

uint32_t TnxServerTableCursor::stcAddField(const TnxFieldDescriptor* aFieldDesc) {
  try {
    if (IsReadOnly()) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
    if (!aFieldDesc) return EnxBaseException::nxSetMessage(nxeInvalidFieldDescriptor, u"Invalid field descriptor.");
    TnxServerRootTable& root = *stcTable->Root();
    TnxServerDataDict& dict = root.Dictionary();
    TnxBaseRecordEngine* records = stcTable->RecordEngine();
    if (stcTable != &root || !records || !records->CanAddField(*aFieldDesc))
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
    if (dict.Version() < 3) return LevelTooLow();
    if (!dict.IsFieldDescValid(*aFieldDesc))
      return EnxBaseException::nxSetMessage(nxeInvalidFieldDescriptor, u"Invalid field descriptor.");
    TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
    if (fields.GetFieldFromName(aFieldDesc->Name()) >= 0)
      return EnxBaseException::nxSetMessage(nxeNameNotUnique, u"Name not unique in this context.");
    if (fields.FieldCount() - fields.OriginalFieldCount() > 254)
      return EnxBaseException::nxSetMessage(nxeTooManyFields, u"Too many fields.");

    const int32_t oldID = dict.CurrentID();
    int32_t added = -1;
    const auto undo = [&] {
      TDictionaryOpen open(dict);
      if (added >= 0) fields.RemoveField(added);
      dict.RestoreID(oldID);
      root.srtUpdateFilesMaxID();
    };
    return stcStructureChange(
        [&](TnxServerTransaction& aTrans) -> uint32_t {
          TDictionaryOpen open(dict);
          fields.AddField(*aFieldDesc);
          added = fields.FieldCount() - 1;
          // The dictionary must read back as it stands: a copy is checked
          // and compared before the file takes it.
          TnxServerDataDict copy;
          copy.Assign(&dict);
          copy.CheckValid(false);
          if (!copy.IsEqual(&dict))
            return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
          stcWriteDictionary(aTrans);
          return 0;
        },
        undo);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcRenameField(int32_t aFieldNo, std::u16string_view aNewName) {
  try {
    TnxServerRootTable& root = *stcTable->Root();
    bool alone = false;
    {
      TnxPadlockGuard guard(stcTable->CursorsPadlock());
      alone = stcTable->CursorsHead() == this && !stcTableNext && root.CursorCount() == 1;
    }
    if (root.TableScope() != tsTempUnnamed || stcTable != &root || !alone)
      return TnxServerBaseCursor::sbcRenameField(aFieldNo, aNewName);
    TnxServerDataDict& dict = root.Dictionary();
    TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
    if (aFieldNo < 0 || aFieldNo >= fields.FieldCount())
      return EnxBaseException::nxSetMessage(nxeInvalidDescriptorNumber, u"Invalid descriptor number.");
    if (fields.GetFieldFromName(aNewName) >= 0)
      return EnxBaseException::nxSetMessage(nxeNameNotUnique, u"Name not unique in this context.");
    TDictionaryOpen open(dict);
    fields.FieldDescriptor(aFieldNo)->ChangeName(aNewName);
    return 0;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

// ---- indices ----

uint32_t TnxServerTableCursor::stcAddIndex(TnxIndexDescriptor* aIndexDesc, bool aIsNewDefault) {
  try {
    if (IsReadOnly()) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
    TnxServerRootTable& root = *stcTable->Root();
    TnxServerDataDict& dict = root.Dictionary();
    if (dict.Version() < 3) return LevelTooLow();
    if (!aIndexDesc || stcTable != &root || !dict.IsIndexDescValid(*aIndexDesc))
      return EnxBaseException::nxSetMessage(nxeInvalidIndexDescriptor, u"Invalid index descriptor.");
    TnxMainIndicesDescriptor* indices = dict.IndicesDescriptor();
    if (dict.GetIndexFromName(aIndexDesc->Name()) >= 0)
      return EnxBaseException::nxSetMessage(nxeIndexAlreadyExists, u"Index already exists.");
    if (indices && indices->IndexCount() >= nxMaxIndices)
      return EnxBaseException::nxSetMessage(nxeTooManyIndexes, u"Too many indexes on table.");

    const int32_t oldID = dict.CurrentID();
    const int32_t oldDefault = indices ? indices->DefaultIndex() : -1;
    const bool hadDescriptor = indices != nullptr;
    const bool hadEngine = stcTable->sbtIndicesEngine != nullptr;
    int32_t added = -1;
    bool engineAdded = false;
    const auto undo = [&] {
      if (hadEngine) {
        if (engineAdded) stcTable->sbtIndicesEngine->ForgetLastIndex();
      } else {
        stcTable->sbtIndicesEngine.reset();
      }
      TDictionaryOpen open(dict);
      TnxMainIndicesDescriptor* now = dict.IndicesDescriptor();
      if (now && added >= 0 && added < now->IndexCount()) now->RemoveIndex(added);
      if (now && !hadDescriptor && now->IndexCount() == 0) dict.RemoveIndicesDescriptor();
      if (now && hadDescriptor && oldDefault >= 0 && oldDefault < now->IndexCount()) now->SetDefaultIndex(oldDefault);
      dict.RestoreID(oldID);
      root.srtUpdateFilesMaxID();
    };
    return stcStructureChange(
        [&](TnxServerTransaction& aTrans) -> uint32_t {
          {
            TDictionaryOpen open(dict);
            TnxMainIndicesDescriptor* target = dict.EnsureIndicesDescriptor();
            target->AddIndex(*aIndexDesc);
            added = target->IndexCount() - 1;
            if (aIsNewDefault) target->SetDefaultIndex(added);
            stcWriteDictionary(aTrans);
          }
          if (hadEngine) {
            // A failed AddIndex takes its engine back itself.
            stcTable->sbtIndicesEngine->AddIndex(aTrans, added);
            engineAdded = true;
          } else {
            stcTable->sbtIndicesEngine =
                TnxBaseIndicesEngine::CreateEngine(dict.IndicesDescriptor(), stcTable->BlockAccess(),
                                                   stcTable->RecordEngine(), &aTrans, true);
            for (int32_t i = 0; i < stcTable->sbtIndicesEngine->IndexCount(); ++i)
              stcTable->sbtIndicesEngine->BuildIndexKeys(aTrans, i);
          }
          return 0;
        },
        undo);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::stcDropIndex(std::u16string_view aIndexName, int32_t aIndexID) {
  try {
    if (IsReadOnly()) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
    TnxServerRootTable& root = *stcTable->Root();
    TnxServerDataDict& dict = root.Dictionary();
    if (!aIndexName.empty()) aIndexID = dict.GetIndexFromName(aIndexName);
    if (dict.Version() < 3) return LevelTooLow();
    TnxMainIndicesDescriptor* indices = dict.IndicesDescriptor();
    if (!indices || stcTable != &root)
      return EnxBaseException::nxSetMessage(nxeTableIsNotIndexed, u"Table is not indexed.");
    if (aIndexID < 0 || aIndexID >= indices->IndexCount())
      return EnxBaseException::nxSetMessage(nxeIndexDoesNotExist, u"Index does not exist.");
    if (indices->IndexCount() == 1 && stcTable->FulltextEngine())
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                            u"The last index of a table with fulltext indices cannot be dropped");
    TnxBaseIndicesEngine* engine = stcTable->sbtIndicesEngine.get();
    TnxBaseIndexEngine* dropped = engine ? &engine->Indices(aIndexID) : nullptr;
    {
      // Another cursor standing on the index would keep its engine.
      TnxPadlockGuard guard(stcTable->CursorsPadlock());
      for (TnxServerTableCursor* c = stcTable->CursorsHead(); c; c = c->stcTableNext)
        if (c != this && dropped &&
            (c->stcIndexEngine == dropped || c->stcSeqAccessIndexEngine == dropped || c->stcLSNIndexEngine == dropped))
          return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Index %s is in use by another cursor",
                                                {dropped->IndexName()});
    }
    // The saved layout puts the index back when the change fails.
    TnxServerDataDict before;
    before.Assign(&dict);
    const int32_t oldID = dict.CurrentID();
    const int32_t oldDefault = indices->DefaultIndex();
    bool removed = false;
    bool engineChanged = false;
    if (const uint32_t result = sbcSwitchToIndex(u"", -1, porFalse)) return result;
    if (stcSeqAccessIndexEngine == dropped) {
      stcSeqAccessIndexEngine = stcRefNrIndexEngine = nullptr;
      stcSeqAccessIndexPath.reset();
      stcRefNrIndexPath.reset();
    }
    if (stcLSNIndexEngine == dropped) {
      stcLSNIndexEngine = nullptr;
      stcLSNIndexPath.reset();
    }
    const auto undo = [&] {
      {
        TDictionaryOpen open(dict);
        if (removed) {
          if (!dict.IndicesDescriptor()) dict.EnsureIndicesDescriptor();
          TnxMainIndicesDescriptor* now = dict.IndicesDescriptor();
          now->AddIndex(*before.IndicesDescriptor()->IndexDescriptor(aIndexID));
          now->MoveIndex(now->IndexCount() - 1, aIndexID);
          now->SetDefaultIndex(oldDefault);
        }
        dict.RestoreID(oldID);
        root.srtUpdateFilesMaxID();
      }
      // The rollback took the keys back; the engine is read again from
      // the files as they were.
      if (engineChanged) stcReloadIndicesEngine(aIndexID);
    };
    uint32_t result = stcStructureChange(
        [&](TnxServerTransaction& aTrans) -> uint32_t {
          // The engine changes last where it can: a failure before leaves
          // only the dictionary in memory to put back.
          TDictionaryOpen open(dict);
          indices->RemoveIndex(aIndexID);
          removed = true;
          const bool last = indices->IndexCount() == 0;
          if (last) {
            if (engine) {
              engine->RemoveIndex(aTrans, aIndexID);
              engineChanged = true;
              stcTable->sbtIndicesEngine.reset();
            }
            dict.RemoveIndicesDescriptor();
          }
          stcWriteDictionary(aTrans);
          if (!last && engine) {
            engine->RemoveIndex(aTrans, aIndexID);
            engineChanged = true;
          }
          return 0;
        },
        [&] {
          // Rolled back first, so that a rebuilt engine reads the old files.
          TnxServerTransContext& context = *TransContext();
          if (context.stcTransaction()) context.stcTransactionRollback();
          undo();
        });
    TnxMainIndicesDescriptor* now = dict.IndicesDescriptor();
    stcDefaultIndex = now && stcTable->IndicesEngine() ? now->DefaultIndex() : -1;
    if (stcDefaultIndex >= 0) sbcSwitchToIndex(u"", stcDefaultIndex, porFalse);
    return result;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

void TnxServerTableCursor::stcLeaveIndexEngines() noexcept {
  stcFreeKeys();
  stcIndexPath.reset();
  stcSavePath.reset();
  stcTempPath.reset();
  stcSeqAccessIndexPath.reset();
  stcRefNrIndexPath.reset();
  stcLSNIndexPath.reset();
  stcIndexEngine = stcSeqAccessIndexEngine = stcRefNrIndexEngine = stcLSNIndexEngine = nullptr;
}

void TnxServerTableCursor::stcTakeIndexEngines() {
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  if (!indices) return;
  stcSeqAccessIndexEngine = stcRefNrIndexEngine = indices->SeqIndexEngine();
  if (stcSeqAccessIndexEngine) {
    stcSeqAccessIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
    stcRefNrIndexPath = stcRefNrIndexEngine->CreateIndexPath();
  }
  if (stcModifyLSNIndex >= 0 && stcModifyLSNIndex < indices->IndexCount()) {
    stcLSNIndexEngine = &indices->Indices(stcModifyLSNIndex);
    stcLSNIndexPath = stcLSNIndexEngine->CreateIndexPath();
  }
}

void TnxServerTableCursor::stcReloadIndicesEngine(int32_t aDroppedIndex) {
  TnxServerBaseTable& table = *stcTable;
  // Every cursor leaves its paths on the old engines before they go; the
  // engines of the later indices were numbered one lower without the
  // dropped one.
  std::vector<std::pair<TnxServerTableCursor*, int32_t>> places;
  {
    TnxPadlockGuard guard(table.CursorsPadlock());
    for (TnxServerTableCursor* c = table.CursorsHead(); c; c = c->stcTableNext) {
      int32_t number = c->stcIndexEngine ? c->stcIndexEngine->IndexNumber() : -1;
      if (number >= aDroppedIndex) ++number;
      places.emplace_back(c, number);
      c->stcLeaveIndexEngines();
    }
  }
  table.sbtIndicesEngine.reset();
  table.sbtIndicesEngine = TnxBaseIndicesEngine::CreateEngine(table.Root()->Dictionary().IndicesDescriptor(),
                                                              table.BlockAccess(), table.RecordEngine(), nullptr,
                                                              false);
  for (auto& [cursor, number] : places) {
    cursor->stcTakeIndexEngines();
    if (cursor->sbcSwitchToIndex(u"", number, porFalse) != 0) cursor->sbcSwitchToIndex(u"", -1, porFalse);
    if (!cursor->stcIndexPath) cursor->stcIndexPath = TnxBaseIndexPath::CreateStandalone();
  }
}

uint32_t TnxServerTableCursor::stcCreateBulkBuilder(std::unique_ptr<TnxBaseBulkBuilder>& aBulkBuilder) {
  aBulkBuilder.reset();
  try {
    TnxBaseIndicesEngine* engine = stcTable->IndicesEngine();
    if (!engine) return 0;
    TnxServerTransaction* trans = ActiveTrans();
    if (!trans) return EnxBaseException::nxSetMessage(nxeNoTransaction, u"No transaction active");
    aBulkBuilder = engine->CreateBulkBuilder(*trans);
    return 0;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

}  // namespace revurov
