// The task that copies a table's records through record mapper engines
// into a target table: pack and restructure (the target then replaces the
// source) and backup (the target lives in another database).
//
// Contract:
// - One node per table: the root first, then the nested tables of the
//   mapping, depth first in its order. Each node copies in one transaction
//   of the target's context under its exclusive content lock; keys go
//   through a bulk builder finalised before the commit, fulltext entries
//   as a record insert makes them. A node whose mapping has no record
//   mapper copies nothing.
// - Named streams of the root other than "DICT" and "$TableName" are
//   copied before any record; one that cannot be read or written fails the
//   task.
// - A node fails with 8962 when the records it wrote differ from those it
//   read. A cancel is seen every 10 records and at each node's end (13062).
// - Same database: after a failure the target is deleted and the source is
//   untouched. On success the target replaces the source: in a folder on
//   disk for a persistent table as one intent of the folder (source to a
//   backup name, target to the source's name, backup deleted), which an
//   opening after a crash finishes forward once the first step was made,
//   else back; an in-memory folder or a temporary table has its source
//   deleted and the target renamed. A target being filled is named in an
//   intent of its own, so an opening after a crash deletes it.
// - Other database (backup): a failure deletes the target there too; the
//   target folder's inactive tables are closed at the end.
// - The task info owns the container; the container owns its nodes, the
//   databases and a copy of the mapping; a node owns its two cursors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/server_object.h"
#include "server/server_task_info.h"

namespace revurov {

class TnxBaseBulkBuilder;
class TnxBaseRecordMapperDescriptor;
class TnxBaseRecordMapperEngine;
class TnxBaseTableMapperDescriptor;
class TnxServerDatabase;
class TnxServerRestructureContainer;
class TnxServerRestructureTaskInfo;

class TnxServerRestructureNode {
public:
  TnxServerRestructureNode(TnxServerRestructureContainer& aOwner, TnxServerObjectPtr<TnxServerTableCursor> aSource,
                           TnxServerObjectPtr<TnxServerTableCursor> aTarget,
                           TnxBaseRecordMapperDescriptor* aMapperDesc);
  ~TnxServerRestructureNode();
  TnxServerRestructureNode(const TnxServerRestructureNode&) = delete;
  TnxServerRestructureNode& operator=(const TnxServerRestructureNode&) = delete;

  // Raises the node's failure.
  void Execute();
  uint32_t RecordCount() const noexcept { return srnRecordCount; }
  TnxServerTableCursor* SourceCursor() const noexcept { return srnSourceCursor.get(); }
  TnxServerTableCursor* TargetCursor() const noexcept { return srnTargetCursor.get(); }
  // The container's construction failed: the caller keeps its cursors.
  void ReleaseCursors() noexcept;

private:
  uint32_t Copy();
  bool MakeSnapshot(uint32_t aErrorCode);

  TnxServerRestructureContainer& srnOwner;
  TnxServerObjectPtr<TnxServerTableCursor> srnSourceCursor;
  TnxServerObjectPtr<TnxServerTableCursor> srnTargetCursor;
  TnxBaseRecordMapperDescriptor* srnMapperDesc = nullptr;  // the container's copy
  uint32_t srnRecordCount = 0;
  std::unique_ptr<TnxBaseBulkBuilder> srnBulkBuilder;
  uint8_t* srnBuffer = nullptr;
  uint32_t srnError = 0;
  bool TransactionStarted = false;
  bool Committed = false;
  uint32_t RecordsWritten = 0;
  uint32_t RecordsRead = 0;
  std::unique_ptr<TnxBaseRecordMapperEngine> RecordMapper;
};

class TnxServerRestructureContainer {
public:
  // Takes the cursors and databases over only on success (a constructor
  // that raises leaves them with the caller). aTargetIntent: the intent
  // file naming the target while it is filled, dropped when the target is
  // settled (empty: none).
  TnxServerRestructureContainer(TnxServerObjectPtr<TnxServerTableCursor>& aSourceCursor,
                                TnxServerObjectPtr<TnxServerTableCursor>& aTargetCursor,
                                const TnxBaseTableMapperDescriptor& aMapperDesc,
                                TnxServerObjectPtr<TnxServerDatabase>& aSourceDatabase,
                                TnxServerObjectPtr<TnxServerDatabase>& aTargetDatabase,
                                std::u16string_view aTargetIntent);
  ~TnxServerRestructureContainer();
  TnxServerRestructureContainer(const TnxServerRestructureContainer&) = delete;
  TnxServerRestructureContainer& operator=(const TnxServerRestructureContainer&) = delete;

  void Execute();
  uint32_t GetRecordCount() const noexcept;
  TnxAbstractSession* GetSession() const;
  bool MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten, uint32_t aErrorCode);
  TnxServerRestructureTaskInfo* Owner() const noexcept { return srcOwner; }
  void SetOwner(TnxServerRestructureTaskInfo* aOwner) noexcept { srcOwner = aOwner; }
  uint32_t Error() const noexcept { return srcError; }

private:
  void AddNested(const TnxBaseTableMapperDescriptor& aDesc, const std::u16string& aPath);
  uint32_t CopyStreams();
  uint32_t Finish(uint32_t aError);
  uint32_t Fail(const std::exception& aException);
  bool SameDatabase() const noexcept { return srcTargetDatabase == nullptr; }

  TnxServerRestructureTaskInfo* srcOwner = nullptr;
  std::vector<std::unique_ptr<TnxServerRestructureNode>> srcNodes;
  TnxServerObjectPtr<TnxServerDatabase> srcSourceDatabase;
  // Null when the target is in the source database.
  TnxServerObjectPtr<TnxServerDatabase> srcTargetDatabase;
  std::unique_ptr<TnxBaseTableMapperDescriptor> srcMapperDesc;
  std::u16string srcPassword;
  std::u16string srcSourceName;
  std::u16string srcTargetName;
  std::u16string srcTargetIntent;
  uint32_t srcBaseRecordsRead = 0;
  uint32_t srcBaseRecordsWritten = 0;
  uint32_t srcCurrentRecordsRead = 0;
  uint32_t srcCurrentRecordsWritten = 0;
  uint32_t srcError = 0;
};

class TnxServerRestructureTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerRestructureTaskInfo, TnxServerTaskInfo)
  explicit TnxServerRestructureTaskInfo(std::unique_ptr<TnxServerRestructureContainer> aContainer);
  void Execute() override;
  TnxServerRestructureContainer& Container() const noexcept { return *rtiContainer; }

protected:
  ~TnxServerRestructureTaskInfo() override;

private:
  std::unique_ptr<TnxServerRestructureContainer> rtiContainer;
};

}  // namespace revurov
