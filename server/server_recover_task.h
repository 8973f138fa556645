// The recovery of a damaged table: every block of the source's files is
// read as it lies on the disk, the records the record engine still finds
// in a block go into "<name>_Recovered", and those that cannot be stored
// there into "<name>_Failed". Index and record chains are not followed.
//
// Contract:
// - The container takes over the three root cursors, the database they were
//   opened in, and the folder intent that names the two new tables' files.
//   Nested tables get a node each (source, target and failed cursors on the
//   same path under the three roots), depth first after the root.
// - Block IDs and file numbers from a damaged file are looked up in maps;
//   blocks of other IDs (headers, index and free blocks) are counted and
//   passed over, and so are blocks that cannot be read (counted read, not
//   written). Progress is counted in blocks and reported after each.
// - One outer transaction on the target's context holds the whole walk; each
//   record runs in a nested one. A record that fails on both tables is
//   rolled back alone and counted; the walk goes on.
// - The final error: the walk's own (a cancel 13062, an exception's code,
//   15509), else the first record failure's code, else the outer commit's.
//   What was recovered stays committed in every case.
// - The intent is cleared (durably) once the walk has ended, on every path;
//   a crash before that removes both new tables at the folder's next open.
//   The source is only read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/server_object.h"
#include "server/server_task_info.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxAbstractSession;
class TnxBaseFile;
class TnxFileMoves;
class TnxServerDatabase;
class TnxServerRecoverContainer;
class TnxServerRecoverTaskInfo;
class TnxServerTableCursor;
struct TnxRecoverContext;

using TnxRecoverCursorPtr = TnxServerObjectPtr<TnxServerTableCursor>;

// While it lives, tables this thread opens are let in damaged.
class TnxRecoverOpeningScope {
public:
  TnxRecoverOpeningScope();
  ~TnxRecoverOpeningScope();
  TnxRecoverOpeningScope(const TnxRecoverOpeningScope&) = delete;
  TnxRecoverOpeningScope& operator=(const TnxRecoverOpeningScope&) = delete;

private:
  bool roBefore;
};

class TnxServerRecoverNode {
public:
  // Carries the source's auto-increment value over to both new tables;
  // raises when it cannot be set.
  TnxServerRecoverNode(TnxRecoverCursorPtr aSource, TnxRecoverCursorPtr aTarget, TnxRecoverCursorPtr aFailed);
  ~TnxServerRecoverNode();

  TnxBlockIteratorResult IterateBlock(TnxRecoverContext& aContext, TnxBlockNumber aBlockNr, PnxBlock aBlock);

  TnxServerTableCursor* Source() const noexcept { return srnSourceCursor.get(); }
  TnxServerTableCursor* Target() const noexcept { return srnTargetCursor.get(); }
  int32_t ID() const noexcept { return srnID; }
  int32_t FileNumber() const noexcept { return srnFileNumber; }

private:
  // Freed in reverse: the failed and target cursors before the source.
  TnxRecoverCursorPtr srnSourceCursor;
  TnxRecoverCursorPtr srnTargetCursor;
  TnxRecoverCursorPtr srnFailedCursor;
  std::vector<int32_t> srnBlobFields;
  int32_t srnID = 0;
  int32_t srnFileNumber = 0;
};

class TnxServerRecoverContainer {
public:
  // Opens the nested tables' cursors in aDatabase, the database of the
  // three root cursors; raises with the open's code.
  TnxServerRecoverContainer(TnxRecoverCursorPtr aSource, TnxRecoverCursorPtr aTarget, TnxRecoverCursorPtr aFailed,
                            TnxServerDatabase& aDatabase);
  ~TnxServerRecoverContainer();
  // Takes over that database (freed after the cursors) and the intent
  // naming the new tables' files (nil when they have none).
  void Take(TnxServerObjectPtr<TnxServerDatabase> aDatabase, std::unique_ptr<TnxFileMoves> aIntent);

  uint32_t Execute();
  uint32_t GetTotalBlockCount();
  TnxAbstractSession* GetSession() const;
  void SetOwner(TnxServerRecoverTaskInfo* aOwner) noexcept { srcOwner = aOwner; }

  // Records that failed on both tables in the last run.
  uint32_t LostRecords() const noexcept { return srcLostRecords; }

private:
  bool MakeSnapshot(uint32_t aBlocksRead, uint32_t aBlocksWritten, uint32_t aErrorCode);
  TnxBlockIteratorResult OnBlock(TnxRecoverContext& aContext, TnxBaseFile& aFile, TnxBlockNumber aBlockNr,
                                 PnxBlock aBlock);
  void AddNested(const std::u16string& aPath, TnxServerTableCursor& aSource);
  void CopyStreams();
  uint32_t Walk(TnxRecoverContext& aContext);
  uint32_t ConvertException(const std::exception& aException);
  // The intent goes; the new tables stay.
  void KeepTables() noexcept;

  TnxServerRecoverTaskInfo* srcOwner = nullptr;
  TnxServerDatabase* srcSourceDatabase = nullptr;
  TnxServerObjectPtr<TnxServerDatabase> srcDatabase;
  std::unique_ptr<TnxFileMoves> srcIntent;
  std::vector<std::unique_ptr<TnxServerRecoverNode>> srcNodes;
  std::u16string srcPassword;
  std::u16string srcSourceName, srcTargetName, srcFailedName;
  // Per file number: the nodes by their recover ID.
  std::vector<std::map<int32_t, TnxServerRecoverNode*>> srcIDMap;
  std::vector<TnxBaseFile*> srcFiles;  // nil where no node stores records
  uint32_t srcBaseBlocksRead = 0;
  uint32_t srcBaseBlocksWritten = 0;
  uint32_t srcBlocksRead = 0;
  uint32_t srcBlocksWritten = 0;
  uint32_t srcLostRecords = 0;
};

class TnxServerRecoverTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerRecoverTaskInfo, TnxServerTaskInfo)
  explicit TnxServerRecoverTaskInfo(std::unique_ptr<TnxServerRecoverContainer> aContainer);
  void Execute() override;

  TnxServerRecoverContainer& Container() noexcept { return *rtiContainer; }

protected:
  ~TnxServerRecoverTaskInfo() override;

private:
  std::unique_ptr<TnxServerRecoverContainer> rtiContainer;
};

}  // namespace revurov
