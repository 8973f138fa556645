// The block file of the storage engines: one file of numbered blocks of one
// size, read and written at block offsets through the file seam, with a
// queue of committed blocks that a flush writes in a fixed order.
//
// Contract:
// - Block n lives at n << (12 + block size ordinal); the whole physical
//   block is read and written.
// - Share modes compose as on Windows: an open succeeds only when every
//   other open of the file allows its access and its own share mode allows
//   every other open's access; otherwise 9221. The modes live in OFD locks on
//   four bytes past the largest possible block, so they vanish with the
//   descriptor and with nothing else.
// - A file the process may not write opens as omReadOnly when opened
//   without creating it.
// - Write-through opens the file with O_DSYNC: every write of a flush is on
//   the medium when it returns. A fail-safe flush ends with one data sync.
// - Growing reserves the space (fallocate, ftruncate where the file system
//   cannot); it and a fail-safe flush keep the descriptor (and with it the
//   share locks).
// - A flush writes each run of consecutive block numbers in one gathered
//   write.
// - A temporary file lives in the cache only: opening and closing touch no
//   disk, a flush writes nothing (its queued blocks count as written), its
//   size is 0, and any other I/O raises (error EBADF).
// - The position-based calls (ReadFile, ReadFileExact, WriteFileExact,
//   PositionFileEOF) share one file position; the "At" calls leave it
//   alone. Table files (TnxOverlappedLinuxFile) have no position and refuse
//   the position-based calls.
// - Every failed call raises EnxBaseFileException with the code and an
//   "INTERNAL: ..." text that carries the file name, errno and its message.
// - A failed flush leaves the queue as it was, for RollbackUnwritten.
// - A file attached to the buffer manager is read block by block in no
//   order, so the kernel reads no further ahead than asked (the block cache
//   does the caching); a scan of the whole file asks for read-ahead while
//   it runs. Read-ahead would also fill the page cache with large folios,
//   which make every later block write dearer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/sync/padlock.h"
#include "platform/file_ops.h"
#include "storage/server_exceptions.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseEncryptionEngine;
class TnxBaseFileHeaderAccessFactory;
class TnxBufferManager;
class TnxBaseFile;
class TnxBaseReplicationLog;
class TnxBaseTransaction;
class TnxFileBlockCache;

REVUROV_EXCEPTION_CLASS(EnxBaseFileException, EnxServerOSException);
REVUROV_EXCEPTION_CLASS(EnxLinuxFileException, EnxBaseFileException);
REVUROV_EXCEPTION_CLASS(EnxOverlappedLinuxFileException, EnxLinuxFileException);

// What kind of file it is, a set of these bits.
enum TnxFileAttribute : uint8_t {
  nxfaTemporary = 1,  // in memory only: no disk I/O at all
  nxfaMemTable = 2,
  nxfaTransWriteThrough = 4,
  nxfaReplicationLog = 8,  // flushes are reported to the replication log
};
using TnxFileAttributes = uint8_t;

// A class of file as Alloc makes one: its name and its constructor.
// aRealFolder, when given, is the folder's real path (as fiPath) resolved
// already.
struct TnxFileClass {
  std::u16string_view Name;
  std::unique_ptr<TnxBaseFile> (*Create)(std::u16string_view aName, const std::u16string* aRealFolder) = nullptr;
};

// The classes Alloc makes for table files and for all other files; storage
// start-up sets them where they are still unset, its shut-down clears them
// where still so.
const TnxFileClass* nxTableFileClass() noexcept;
void nxSetTableFileClass(const TnxFileClass* aClass) noexcept;
const TnxFileClass* nxOtherFileClass() noexcept;
void nxSetOtherFileClass(const TnxFileClass* aClass) noexcept;
void nxFilesStartup();
void nxFilesShutdown();


// A committed block waiting in a file's write queue. The buffer manager's
// block objects implement it; the file never owns them.
class TnxQueuedBlock {
public:
  virtual ~TnxQueuedBlock() = default;
  virtual TnxBlockNumber BlockNumber() const noexcept = 0;
  // The LSN of the committed image before this commit, 0 when unknown.
  virtual TnxLSN LastLSN() const noexcept = 0;
  // The block's image, mapped; the flush pins the block around the call.
  virtual uint8_t* PinImage() = 0;
  virtual void Unpin() noexcept = 0;
  virtual std::vector<uint8_t>& EncryptionCookie() noexcept = 0;
  virtual void SetUnwritten(bool aUnwritten) noexcept = 0;
  // Gives the block back after a failed flush.
  virtual void RollbackUnwritten() = 0;
};

class TnxBaseFile {
public:
  // The largest size the file system allows, 0 when unknown (no limit).
  static int64_t nxGetMaxFileSizeForPath(std::u16string_view aPath);
  // Where the four share-mode bytes start: past block 2^32 - 1 of 64 KB.
  static constexpr int64_t nxShareLockOffset = int64_t{1} << 48;

  // A file named aName (its folder resolved into fiPath) of the table-file
  // class when aForTable and that is set, else of the other-file class;
  // 15360 when no class is set. A file named in the same folder as
  // aSibling takes over its resolved folder and the file system's size
  // limit instead of asking again.
  static std::unique_ptr<TnxBaseFile> Alloc(bool aForTable, std::u16string_view aName, TnxBufferManager* aBufMgr,
                                            const TnxBaseFile* aSibling = nullptr);
  static const TnxFileClass& ClassInfo() noexcept;

  explicit TnxBaseFile(std::u16string_view aName, platform::TFileOps& aOps = platform::FileOps(),
                       const std::u16string* aRealFolder = nullptr);
  virtual ~TnxBaseFile();
  TnxBaseFile(const TnxBaseFile&) = delete;
  TnxBaseFile& operator=(const TnxBaseFile&) = delete;

  std::u16string ExpandRelativeFileName(std::u16string_view aFileName);
  std::u16string FileName() const;
  // The full name, then device, inode and birth time while open.
  std::u16string GetFileID() const;

  void OpenFile(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru, bool aCreateFile);
  void CloseFile();
  // How the file's blocks are read, passed to the kernel now and at every
  // later open.
  void SetAccessHint(platform::TAccessHint aHint) noexcept;
  // Back to the normal hint without telling the kernel: for a file about to
  // be closed, whose advice ends with its handle.
  void ForgetAccessHint() noexcept { fiAccessHint = platform::TAccessHint::ahNormal; }
  bool FileIsOpen() const noexcept { return fiHandle != platform::InvalidFileHandle || fiTemporaryOpen; }
  // Why the last OpenFile failed (an errno value), 0 after a success.
  int OpenError() const noexcept { return fiOpenError; }
  bool IsTemporary() const noexcept { return (fiAttributes & nxfaTemporary) != 0; }

  int64_t FileSize();
  int64_t CalcMaxFileSize();
  uint32_t PhysicalBlockCount();
  uint32_t BlockBytes() const noexcept { return uint32_t{4096} << fiBlockSize; }

  // At the file position, which they move.
  virtual uint32_t ReadFile(uint32_t aToRead, void* aBuffer);
  virtual void ReadFileExact(uint32_t aToRead, void* aBuffer);
  virtual void WriteFileExact(uint32_t aToWrite, const void* aBuffer);
  // Moves the position to the end and returns it.
  virtual int64_t PositionFileEOF();

  uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer);
  void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer);
  void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer);
  void ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer, std::vector<uint8_t>& aCookie);
  void WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer, std::vector<uint8_t>& aCookie);

  // Reads block aBlockNum whole into aImage, decrypted, its cookie into
  // aCookie, and counts the read for the buffer manager the file is
  // attached to and for the session. Runs without the buffer manager's
  // padlock; nothing is counted when the read fails.
  void ReadBlock(TnxBlockNumber aBlockNum, uint8_t* aImage, std::vector<uint8_t>& aCookie);

  // Queues a committed block for the next flush; no I/O. Under the buffer
  // manager's padlock while the file is attached.
  void WriteBlock(TnxQueuedBlock& aBlock);
  void ReserveQueue(size_t aMore) { fiQueued.reserve(fiQueued.size() + aMore); }
  size_t QueuedBlocks() const noexcept { return fiQueued.size() + fiWriteRequest.size(); }
  // Takes the queue over as this flush's batch (under the buffer manager's
  // padlock while attached, so that commits may go on queueing), orders it
  // (new blocks that extend the file, existing ones, blocks 1 and 2, the
  // header last) and grows the file once.
  void PrepareFlushFile();
  // Writes every queued block once in queue order; with aFailSafe the data
  // reaches the medium before it returns. A file marked nxfaReplicationLog
  // reports its blocks to aReplicationLog.
  void FlushFile(bool aFailSafe, TnxBaseReplicationLog* aReplicationLog = nullptr);
  // Gives back every queued block and the batch of a failed flush, each
  // once; under the buffer manager's padlock while attached.
  void RollbackUnwritten();
  // Held by a flush from PrepareFlushFile to the end of FlushFile.
  TnxPadlock& FlushLock() noexcept { return fiFlushLock; }

  // Copies fiChecksum into the header's table-checksum area; nothing when
  // the file keeps no table checksum.
  void fiUpdateTableChecksum(uint8_t* aHeader);

  // Writes block 0 of a new file as aTrans's new block: the format of
  // aSignature over the file's block size, engine names and version, and
  // with an encryption engine named its area made for aPasswords. Attaches
  // the file to fiBufMgr when it is not attached yet. 0 or the engine's
  // code; the format's refusal (12289 for "NX!1") raises. The header
  // reaches the disk with the transaction's commit; its rollback leaves none.
  uint32_t AddHeader(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords,
                     const TnxBlockSignature& aSignature);

  // Reads block 0 and sets up its format and encryption engine: 0, 15415 for
  // a file of a newer version (the text as the thread's last error), or the
  // engine's code; aIsReadOnly when the passwords allow reading only.
  // With aKeepImage (only for a file no one else reads yet), the image read
  // serves the next read of block 0 once instead of the disk; the caller
  // drops it with DropHeaderImage when that read did not come.
  uint32_t ReadHeader(const std::vector<std::u16string>& aPasswords, bool& aIsReadOnly, bool aKeepImage = false);
  void DropHeaderImage() noexcept { fiHeaderImage = {}; }

  // Every block from 0 on; a block that cannot be read or decrypted whole is
  // passed as nil. Errors of the disk and the operation's deadline propagate.
  TnxBlockIteratorResult IterateBlocks(void* aCookie, const TnxBlockIterator& aIterator);
  TnxBlockIteratorResult IterateBlocksRaw(void* aCookie, const TnxBlockIterator& aIterator);
  TnxBlockIteratorResult IterateBlockCookies(void* aCookie, const TnxBlockCookieIterator& aIterator);

  // The newest format version this library reads.
  static constexpr int32_t nxMaxZirezVersion = 47501;

  std::u16string fiName;
  std::u16string fiPath;  // the folder's real path, with a trailing "/"
  TnxOpenMode fiOpenMode = omNone;
  TnxShareMode fiShareMode = smExclusive;
  bool fiWriteThru = false;
  bool fiIsLink = false;  // the name is a symbolic link
  // When set (a folder with a trailing "/"), OpenFile opens fiName only
  // below it: fiName must begin with it, and the rest is resolved by the
  // seam's OpenBeneath, so "..", absolute names and links leading out of
  // the folder are refused (9221). Never creates.
  std::u16string fiBeneath;
  TnxFileAttributes fiAttributes = 0;
  TnxBufferManager* fiBufMgr = nullptr;
  TnxBlockSize fiBlockSize = nxbs4k;
  uint32_t fiBlockSizeBytes = 0;  // usable bytes per block, by the header format
  uint32_t fiMaxBlocks = 0;
  uint32_t fiUsedBlocks = 0;
  uint32_t fiTransUsedBlocks = 0;
  int32_t fiMaxID = INT32_MAX;
  TnxBlockSignature fiHeaderSignature{};
  std::u16string fiEncryptionEngineName;
  std::u16string fiStreamEngineName;
  int32_t fiZirezVersion = 0;
  bool fiForServer = false;
  uint32_t fiCheckSumSize = 0;
  int32_t fiInitialSize = 1;
  int32_t fiGrowSize = 1;
  std::vector<uint8_t> fiChecksum;
  bool fiCheckSumVerified = false;
  std::unique_ptr<TnxBaseEncryptionEngine> fiEncryptionEngine;
  std::unique_ptr<TnxBaseFileHeaderAccessFactory> fiHeaderAccessFactory;
  // Passed to the replication log's BeginFile.
  std::u16string fiLogAlias;
  std::u16string fiLogTable;
  std::u16string fiLogFile;
  // The buffer manager's blocks of this file while it is attached; owned there.
  TnxFileBlockCache* fiBlockCache = nullptr;

protected:
  [[noreturn]] void RaiseOS(uint32_t aCode, std::u16string_view aWhat, int aError) const;
  [[noreturn]] void RaiseShort(uint32_t aCode, std::u16string_view aWhat, int64_t aBytes) const;
  void CheckOpen() const;

private:
  // The descriptor for disk I/O; raises aCode with aWhat for a temporary file.
  platform::TFileHandle DiskHandle(uint32_t aCode, std::u16string_view aWhat) const;
  void RefreshPath();
  void WriteRun(const std::vector<TnxQueuedBlock*>& aRun, uint8_t* aCoded, TnxBaseReplicationLog* aLog);
  void Decrypt(int64_t aOffset, uint32_t aBytes, void* aBuffer, std::vector<uint8_t>& aCookie);
  void TakeShareLocks(TnxOpenMode aOpenMode, TnxShareMode aShareMode);
  // Opens fiName below fiBeneath; the seam's error (0 on success).
  int OpenBeneath(platform::TOpenFlags aFlags, platform::TFileHandle& aHandle);
  template <class Read, class Call>
  TnxBlockIteratorResult Iterate(Read&& aRead, Call&& aCall);

  platform::TFileOps* fiOps = nullptr;
  platform::TFileHandle fiHandle = platform::InvalidFileHandle;
  int fiOpenError = 0;
  bool fiTemporaryOpen = false;
  uint32_t fiTemporaryID = 0;
  platform::TAccessHint fiAccessHint = platform::TAccessHint::ahNormal;
  int64_t fiMaxFileSize = -1;  // the limit where fiPath lies, -1 until asked
  std::vector<uint8_t> fiHeaderImage;  // see DropHeaderImage
  std::vector<TnxQueuedBlock*> fiQueued;        // committed since the last flush took the queue
  std::vector<TnxQueuedBlock*> fiWriteRequest;  // the running (or failed) flush's batch
  TnxPadlock fiFlushLock;
};

// The class of table files: positioned I/O only, so several threads may
// read at once; the position-based calls raise (error EOPNOTSUPP).
class TnxOverlappedLinuxFile final : public TnxBaseFile {
public:
  using TnxBaseFile::TnxBaseFile;
  static const TnxFileClass& ClassInfo() noexcept;

  uint32_t ReadFile(uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(uint32_t aToRead, void* aBuffer) override;
  void WriteFileExact(uint32_t aToWrite, const void* aBuffer) override;
  int64_t PositionFileEOF() override;

private:
  [[noreturn]] void Refuse(uint32_t aCode, std::u16string_view aWhat) const;
};

}  // namespace revurov
