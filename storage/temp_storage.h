// Temporary storage: where the block cache moves blocks that it cannot write
// to their files yet, and reads them back later. A store hands out its own
// numbers: WriteBlock stores an image and answers its number, ReadBlock
// reads it back and frees it, PeekBlock reads and keeps it, ReleaseBlock
// frees it unread.
//
// Contract:
// - A store has no lock: its caller (the buffer manager) serialises calls.
// - Reading, peeking or releasing a number that is not a stored block of
//   that size raises 15496 and changes nothing.
// - A failed file call raises the operating-system error with the context
//   "Temporary Storage Manager" (code 11047) and leaves the store as before
//   the call: every stored image and number stays valid.
// - TnxChunkedTempStorage keeps the images in one file without a name in
//   the given folder (empty: the current one), which nothing else can open
//   and which vanishes with the store or the process. The file is cut into
//   4 MB chunks, each serving one block size; block number n lies at byte
//   n * 4096; the file grows and shrinks in whole chunks, and an emptied
//   chunk inside it gives its disk space back.
// - TnxNullTempStorage stores nothing: each block operation raises 12289.
// - The default class is what the buffer manager creates its store from;
//   the storage library's start-up makes it the chunked storage unless
//   another class was set, and its shut-down clears it when still so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "platform/file_ops.h"
#include "storage/server_exceptions.h"
#include "storage/storage_types.h"

namespace revurov {

using TnxBlockTmpNum = uint32_t;

REVUROV_EXCEPTION_CLASS(EnxBaseTempStorageException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxChunkedTempStorageException, EnxBaseTempStorageException);

class TnxBaseTempStorage : public TnxObject {
public:
  // Bytes the store occupies.
  virtual int64_t GetSize() const = 0;
  // Bytes of stored images.
  virtual int64_t GetInUse() const = 0;
  virtual bool HasSpaceFor(TnxBlockSizeAll aBlockSize) const = 0;
  virtual void ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) = 0;
  virtual void PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) = 0;
  virtual void ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) = 0;
  virtual TnxBlockTmpNum WriteBlock(const uint8_t* aBlock, TnxBlockSizeAll aBlockSize) = 0;

  virtual void GetStatsCaptions(platform::TStringList& aList) const;
  virtual void GetStatsValues(platform::TStringList& aList) const;
  static void GetStatsCaptionsStatic(platform::TStringList& aList);
  static void GetStatsValuesStatic(platform::TStringList& aList);
};

// A class of store: its name, how one is made for a folder, and the
// statistics it shows while no store exists.
struct TnxTempStorageClass {
  std::u16string_view Name;
  std::unique_ptr<TnxBaseTempStorage> (*Create)(std::u16string_view aDir) = nullptr;
  void (*GetStatsValuesStatic)(platform::TStringList& aList) = nullptr;
  // The captions of the rows, which a store of the class gives too.
  void (*GetStatsCaptions)(platform::TStringList& aList) = nullptr;
};

const TnxTempStorageClass* nxDefaultTempStorageClass() noexcept;
void nxSetDefaultTempStorageClass(const TnxTempStorageClass* aClass) noexcept;

class TnxChunkedTempStorage final : public TnxBaseTempStorage {
public:
  static const TnxTempStorageClass& ClassInfo() noexcept;

  explicit TnxChunkedTempStorage(std::u16string_view aDir, platform::TFileOps& aOps = platform::FileOps());
  ~TnxChunkedTempStorage() override;

  int64_t GetSize() const override;
  int64_t GetInUse() const override { return tsInUse; }
  bool HasSpaceFor(TnxBlockSizeAll) const override { return true; }
  void ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) override;
  void PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) override;
  void ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) override;
  TnxBlockTmpNum WriteBlock(const uint8_t* aBlock, TnxBlockSizeAll aBlockSize) override;

  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  static void GetStatsCaptionsStatic(platform::TStringList& aList);
  static void GetStatsValuesStatic(platform::TStringList& aList);

  // Walks every chunk and list and answers whether they agree: each chunk
  // is on exactly the list its fill calls for, the links run both ways and
  // the counters add up. For tests and diagnostics.
  bool ListsAreConsistent() const;

private:
  struct ChunkInfo;
  struct ChunkInfoBlock;
  using TnxChunkIndex = int32_t;

  int32_t ChunkCount() const noexcept;
  ChunkInfo& Chunk(TnxChunkIndex aChunk) const noexcept;
  void ListRemove(TnxChunkIndex& aHead, TnxChunkIndex aChunk) noexcept;
  void ListPush(TnxChunkIndex& aHead, TnxChunkIndex aChunk) noexcept;
  // The chunk of aBlockNum after tsCheckBlock has accepted it.
  ChunkInfo& tsCheckBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) const;
  TnxChunkIndex tsChunkForSize(TnxBlockSizeAll aBlockSize);
  TnxChunkIndex tsAddChunk();
  void tsInitChunk(ChunkInfo& aInfo, TnxBlockSizeAll aBlockSize) noexcept;
  void tsReleaseSlot(TnxBlockTmpNum aBlockNum) noexcept;
  void tsChunkEmptied(TnxChunkIndex aChunk) noexcept;
  void ReadImage(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock);
  [[noreturn]] static void RaiseOSError(int aError);

  platform::TFileOps& tsOps;
  platform::TFileHandle tsFile = platform::InvalidFileHandle;
  bool tsSparse = false;
  int64_t tsInUse = 0;
  int64_t tsTotalWrite = 0;
  int64_t tsTotalRead = 0;
  std::vector<std::unique_ptr<ChunkInfoBlock>> tsChunkBlocks;
  TnxChunkIndex tsEmptyChunkHead = -1;
  TnxChunkIndex tsPartialChunkHeads[nxBlockSizeAllCount] = {-1, -1, -1, -1, -1, -1};
};

class TnxNullTempStorage final : public TnxBaseTempStorage {
public:
  static const TnxTempStorageClass& ClassInfo() noexcept;

  TnxNullTempStorage() = default;
  explicit TnxNullTempStorage(std::u16string_view) {}

  int64_t GetSize() const override { return 0; }
  int64_t GetInUse() const override { return 0; }
  bool HasSpaceFor(TnxBlockSizeAll) const override { return false; }
  void ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) override;
  void PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) override;
  void ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) override;
  TnxBlockTmpNum WriteBlock(const uint8_t* aBlock, TnxBlockSizeAll aBlockSize) override;
};

// Start-up and shut-down of the default class.
void nxTempStorageStartup();
void nxTempStorageShutdown();

}  // namespace revurov
