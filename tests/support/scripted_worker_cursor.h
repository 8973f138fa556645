// A server base cursor whose workers record their calls and answer from a
// script: by name, a code, or a raise of a library exception, of
// std::bad_alloc, of a foreign std::exception or of a non-std object; an
// optional action runs first. Workers not in the script answer 0.
// The table is a dictionary the test keeps alive. With Recording off
// nothing is recorded and the script is not read (for timing).
#pragma once

#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/server_base_cursor.h"
#include "server/server_database.h"

namespace revurov::testing {

enum class WorkerAct { Answer, RaiseLibrary, RaiseBadAlloc, RaiseForeign, RaiseNonStd };

struct WorkerStep {
  WorkerAct Act = WorkerAct::Answer;
  uint32_t Code = 0;
  std::function<void()> Before = {};
};

class ScriptedWorkerCursor : public TnxServerBaseCursor {
  REVUROV_SERVER_OBJECT_CLASS(ScriptedWorkerCursor, TnxServerBaseCursor)

  ScriptedWorkerCursor(TnxServerDatabase* aDatabase, uint32_t aTimeout, TnxOpenMode aOpenMode,
                       TnxDataDictionary* aDictionary, std::u16string aName = u"Scripted")
      : TnxServerBaseCursor(aDatabase, aTimeout, aOpenMode), swDictionary(aDictionary), swName(std::move(aName)) {}

  std::map<std::string, WorkerStep> Script;
  std::vector<std::string> Calls;
  bool Recording = true;
  // What the key filters read keys through.
  const InxFieldsSource* KeyFieldsSource = nullptr;
  TnxBaseFilterEngine* LastSetToFilter = nullptr;
  TnxBaseFilterEngine* LastSetToKeyFilter = nullptr;

  bool Called(const std::string& aName) const {
    for (const std::string& call : Calls)
      if (call == aName) return true;
    return false;
  }

  using TnxServerBaseCursor::sbcSetReadOnly;
  using TnxAbstractCursor::RangeSet;
  using TnxAbstractCursor::RecordGetForKey;
  using TnxAbstractCursor::SetToKey;

  TnxDataDictionary* _Dictionary() override { return swDictionary; }
  TnxBaseTableDescriptor* TableDescriptor() override { return swDictionary; }
  std::u16string FullName() override { return swName; }

  uint32_t Run(const char* aName) {
    if (!Recording) return 0;
    Calls.emplace_back(aName);
    auto it = Script.find(aName);
    if (it == Script.end()) return 0;
    const WorkerStep& step = it->second;
    if (step.Before) step.Before();
    switch (step.Act) {
      case WorkerAct::Answer:
        return step.Code;
      case WorkerAct::RaiseLibrary:
        throw EnxBaseException(step.Code, u"Scripted failure in %s", {platform::Utf8ToUtf16(aName)});
      case WorkerAct::RaiseBadAlloc:
        throw std::bad_alloc();
      case WorkerAct::RaiseForeign:
        throw std::runtime_error("foreign failure");
      case WorkerAct::RaiseNonStd:
        throw 42;
    }
    return 0;
  }

#define REVUROV_SCRIPTED(Name, ...) \
  uint32_t Name(__VA_ARGS__) override { return Run(#Name); }
#define REVUROV_SCRIPTED_VOID(Name, ...) \
  void Name(__VA_ARGS__) override { Run(#Name); }

  // ---- the engine interface's workers ----
  REVUROV_SCRIPTED(sbcGetBookmarkSize, uint32_t&)
  REVUROV_SCRIPTED(sbcBlobRead, const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t, platform::TStream&, bool,
                   TnxNewBlobNr*)
  REVUROV_SCRIPTED(sbcBlobGetLength, const TnxRecID&, int32_t, TnxBlobNr, uint32_t&, bool, TnxNewBlobNr*)
  REVUROV_SCRIPTED(GetRecordCountExAsync, TnxRecordCountOption, TnxAbstractTaskInfo*&)
  REVUROV_SCRIPTED(ascGetBlobCacheInfos, const TnxRecID&, TnxBlobCacheInfos&)
  REVUROV_SCRIPTED(ascSetBlobCacheFlushed, const TnxRecID&, int32_t, TnxBlobNr, TnxBlobNr*)

  // ---- the SQL cursor's workers ----
  std::u16string sbcGetRootName() override { return swName; }
  TnxIndexPathPosition sbcGetPosition() override { return {}; }
  REVUROV_SCRIPTED(sbcSwitchToIndex, std::u16string_view, int32_t, TnxPosnOnRec)
  uint32_t sbcGetIndexID(int32_t& aIndexID) override {
    aIndexID = 1;
    return Run("sbcGetIndexID");
  }
  REVUROV_SCRIPTED_VOID(sbcRangeReset)
  REVUROV_SCRIPTED(sbcRangeSet, int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, int32_t, int32_t, bool,
                   PnxKeyOrRecordBuffer, bool)
  REVUROV_SCRIPTED_VOID(sbcSetToBegin)
  REVUROV_SCRIPTED_VOID(sbcSetToEnd)
  REVUROV_SCRIPTED(sbcRecordGetBatch, int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&, int32_t, bool)
  REVUROV_SCRIPTED(sbcRecordInsertBatch, TnxCustomMemoryStream&)
  REVUROV_SCRIPTED(sbcCopyRecords, TnxAbstractCursor*, TnxBlobCopyMode, int32_t, bool)
  REVUROV_SCRIPTED(sbcDeleteRecords)
  REVUROV_SCRIPTED(sbcBlobCreateLink, const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr, TnxBlobNr&)
  REVUROV_SCRIPTED(sbcBlobDelete, const TnxRecID&, int32_t, TnxBlobNr)
  REVUROV_SCRIPTED(sbcBlobTruncate, const TnxRecID&, int32_t, TnxBlobNr, uint32_t)
  REVUROV_SCRIPTED(sbcBlobWrite, const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t, const void*)
  REVUROV_SCRIPTED(sbcBlobReplace, const TnxRecID&, int32_t, TnxBlobNr&, uint32_t, const void*)
  bool sbcBlobIsLink(const TnxRecID&, int32_t, TnxBlobNr, std::u16string&, TnxBlobNr&) override { return false; }
  REVUROV_SCRIPTED(sbcRecordGet, TnxLockType, PnxRecordBuffer)
  REVUROV_SCRIPTED(sbcRecordGetNext, TnxLockType, PnxRecordBuffer)
  REVUROV_SCRIPTED(sbcRecordGetPrior, TnxLockType, PnxRecordBuffer)
  uint32_t sbcRecordInsert(TnxLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer, int64_t*) override {
    LastInsertOptions = aInsertOptions;
    return Run("sbcRecordInsert");
  }
  REVUROV_SCRIPTED(sbcRecordModify, PnxRecordBuffer, bool, TnxRecordDiff*)
  REVUROV_SCRIPTED(sbcRecordDelete, PnxRecordBuffer, TnxLSN)
  uint32_t sbcAutoIncGet() override {
    Run("sbcAutoIncGet");
    return 77;
  }
  REVUROV_SCRIPTED(sbcGetRecordCount, TnxRecordCountOption, uint32_t&, bool)
  REVUROV_SCRIPTED(sbcChangePassword, std::u16string_view)
  REVUROV_SCRIPTED(sbcDuplicate, TnxOpenMode, TnxAbstractCursor*&, bool)
  void sbcIterate(PnxRecordBuffer*, const TnxKeyIterator&, const TnxRecordIterator&, bool, void*, bool) override {}
  bool sacHasKey(int32_t, const platform::TnxVariant&) override { return false; }
  TnxRefNr sacGetRefNr() override { return 0; }
  void sacSetRefNr(TnxRefNr) override {}
  REVUROV_SCRIPTED(sacGetRecordByID, TnxRefNr, PnxRecordBuffer)

  // ---- the server base cursor's workers ----
  REVUROV_SCRIPTED(sbcBeginContentLock, bool, bool, bool)
  REVUROV_SCRIPTED_VOID(sbcEndContentLock)
  REVUROV_SCRIPTED(sbcSetToCursor, TnxAbstractCursor*)
  uint32_t sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool) override {
    LastSetToFilter = aFilter;
    LastSetToKeyFilter = aKeyFilter;
    return Run("sbcSetToFilter");
  }
  REVUROV_SCRIPTED(sbcGetBookmark, PnxBookmarkBuffer, uint32_t)
  REVUROV_SCRIPTED(sbcCompareBookmarks, PnxBookmarkBuffer, PnxBookmarkBuffer, uint32_t, TValueRelationship&)
  REVUROV_SCRIPTED(sbcSetToBookmark, PnxBookmarkBuffer, uint32_t, bool)
  REVUROV_SCRIPTED(sbcBookmarkAsVariant, PnxBookmarkBuffer, uint32_t, platform::TnxVariant&)
  REVUROV_SCRIPTED(sbcRecNoGet, uint32_t&, bool)
  REVUROV_SCRIPTED(sbcRecNoSet, uint32_t, bool)
  REVUROV_SCRIPTED(sbcRecordIsLocked, TnxLockType, TnxLockPresent&)
  REVUROV_SCRIPTED(sbcRecordLockRelease, bool, bool)
  REVUROV_SCRIPTED(sbcAutoIncSet, uint32_t)
  REVUROV_SCRIPTED_VOID(sbcAutoIncSetDirect, uint32_t)
  const InxFieldsSource* sbcGetKeyFieldsSource() override { return KeyFieldsSource ? KeyFieldsSource : this; }
  REVUROV_SCRIPTED(sbcSetToKey, TnxSearchKeyAction, int32_t, int32_t, bool, PnxKeyOrRecordBuffer)
  REVUROV_SCRIPTED(sbcRecordGetForKey, int32_t, int32_t, bool, PnxKeyOrRecordBuffer, PnxRecordBuffer, bool, bool)
  REVUROV_SCRIPTED(sbcRecordGetForKeyBatch, int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
                   TnxDataSetKeyBufferArray&, bool, bool)
  REVUROV_SCRIPTED(sbcCompareKeys, int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, PnxKeyOrRecordBuffer,
                   TValueRelationship&)
  REVUROV_SCRIPTED(sbcBlobsCancel, TnxRefNr)
  REVUROV_SCRIPTED(sbcBlobCreate, const TnxRecID&, int32_t, TnxBlobNr&)
  REVUROV_SCRIPTED(sbcBlobCreateFile, const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr&)
  REVUROV_SCRIPTED(sbcBlobFree, const TnxRecID&, int32_t, TnxBlobNr)
  REVUROV_SCRIPTED(sbcBlobModified, const TnxRecID&, int32_t, TnxBlobNr, bool&)
  REVUROV_SCRIPTED(sbcBlobCopyPrim, TnxServerBaseCursor*, int32_t, TnxBlobNr, int32_t, TnxBlobNr&, uint32_t)
  REVUROV_SCRIPTED(sbcBlobCopyContentPrim, TnxServerBaseCursor*, int32_t, TnxBlobNr, int32_t, TnxBlobNr, uint32_t)
  REVUROV_SCRIPTED(sbcTableStreamGetList, platform::TStringList&, bool)
  REVUROV_SCRIPTED(sbcTableStreamWrite, std::u16string_view, platform::TStream&, bool)
  REVUROV_SCRIPTED(sbcTableStreamRead, std::u16string_view, platform::TStream&, bool)
  REVUROV_SCRIPTED(sbcTableStreamDelete, std::u16string_view, bool)
  TnxLockPresent sbcTableIsLocked(TnxLockType) override {
    Run("sbcTableIsLocked");
    return lpYesByUs;
  }
  REVUROV_SCRIPTED(sbcTableLockAcquire, TnxLockType)
  REVUROV_SCRIPTED(sbcTableLockRelease, TnxLockType, bool)
  std::u16string sbcExtractPassword() override { return {}; }

#undef REVUROV_SCRIPTED
#undef REVUROV_SCRIPTED_VOID

  TnxInsertOptions LastInsertOptions = 0;

protected:
  ~ScriptedWorkerCursor() override = default;

private:
  TnxDataDictionary* swDictionary = nullptr;
  std::u16string swName;
};

}  // namespace revurov::testing
