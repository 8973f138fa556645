#include "storage/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "engine/session_stats.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/block_manager.h"
#include "platform/file_identity.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/replication_log.h"

namespace revurov {

namespace {

using platform::TFileLockKind;
using platform::TFileLockWait;
using platform::TOpenFlags;

// The four share-mode bytes: each open holds a shared lock on those that
// say what it does and what it denies.
enum TShareByte : int64_t { sbReads, sbWrites, sbDeniesRead, sbDeniesWrite };

bool Reads(TnxOpenMode aMode) { return aMode != omWriteOnly; }
bool Writes(TnxOpenMode aMode) { return aMode != omReadOnly; }
bool DeniesRead(TnxShareMode aMode) { return aMode == smExclusive; }
bool DeniesWrite(TnxShareMode aMode) { return aMode != smShared; }

// Refused like a Windows sharing violation.
constexpr int kShareRefused = EBUSY;
// What a temporary file answers to disk I/O: it has no descriptor.
constexpr int kNoDisk = EBADF;
// The most blocks one gathered write of a flush carries; their encrypted
// images, of 64 KB at most, fill one 4 MB pool block.
constexpr size_t kMaxRun = 64;
static_assert(kMaxRun * nxMaxBlockSize == size_t{4} << 20);

std::atomic<const TnxFileClass*> gTableFileClass{nullptr};
std::atomic<const TnxFileClass*> gOtherFileClass{nullptr};
// Temporary files are told apart by a number of their own, not by address.
std::atomic<uint32_t> gTemporaryIDs{0};

// Sort classes of the flush: the blocks that extend the file first, the
// header last.
int FlushClass(TnxBlockNumber aNumber, uint32_t aBlocks) {
  if (aNumber == 0) return 3;
  if (aNumber <= 2) return 2;
  return aNumber >= aBlocks ? 0 : 1;
}

// A block buffer from the memory manager's pool, given back with the
// object; from the general heap where the pool is not there (sanitizer
// builds run on the system allocator).
class TBlockBuffer {
public:
  explicit TBlockBuffer(mm::TnxBlockSizeAll aSize) : size_(aSize), pooled_(mm::nxBlockAllocBySize(aSize)) {
    if (!pooled_) heap_.resize(aSize == mm::nxbs4M ? size_t{4} << 20 : size_t{4096} << aSize);
  }
  ~TBlockBuffer() {
    if (pooled_) mm::nxBlockFreeBySize(size_, pooled_);
  }
  TBlockBuffer(const TBlockBuffer&) = delete;
  TBlockBuffer& operator=(const TBlockBuffer&) = delete;
  uint8_t* Data() noexcept { return pooled_ ? static_cast<uint8_t*>(pooled_) : heap_.data(); }

private:
  mm::TnxBlockSizeAll size_;
  void* pooled_;
  std::vector<uint8_t> heap_;
};

// ";" and aValue in upper-case hex, at least aDigits digits.
void AppendHexPart(std::u16string& aOut, uint64_t aValue, size_t aDigits) {
  char16_t digits[16];
  size_t n = 0;
  do {
    digits[n++] = u"0123456789ABCDEF"[aValue & 15];
    aValue >>= 4;
  } while (aValue != 0);
  aOut += u';';
  aOut.append(aDigits > n ? aDigits - n : 0, u'0');
  while (n > 0) aOut += digits[--n];
}

}  // namespace

const TnxFileClass* nxTableFileClass() noexcept { return gTableFileClass.load(); }
void nxSetTableFileClass(const TnxFileClass* aClass) noexcept { gTableFileClass.store(aClass); }
const TnxFileClass* nxOtherFileClass() noexcept { return gOtherFileClass.load(); }
void nxSetOtherFileClass(const TnxFileClass* aClass) noexcept { gOtherFileClass.store(aClass); }

void nxFilesStartup() {
  const TnxFileClass* none = nullptr;
  gTableFileClass.compare_exchange_strong(none, &TnxOverlappedLinuxFile::ClassInfo());
  none = nullptr;
  gOtherFileClass.compare_exchange_strong(none, &TnxBaseFile::ClassInfo());
}

void nxFilesShutdown() {
  const TnxFileClass* ours = &TnxOverlappedLinuxFile::ClassInfo();
  gTableFileClass.compare_exchange_strong(ours, nullptr);
  ours = &TnxBaseFile::ClassInfo();
  gOtherFileClass.compare_exchange_strong(ours, nullptr);
}

const TnxFileClass& TnxBaseFile::ClassInfo() noexcept {
  static const TnxFileClass info{u"TnxBaseLinuxFile",
                                 [](std::u16string_view aName, const std::u16string* aRealFolder) {
                                   return std::make_unique<TnxBaseFile>(aName, platform::FileOps(), aRealFolder);
                                 }};
  return info;
}

const TnxFileClass& TnxOverlappedLinuxFile::ClassInfo() noexcept {
  static const TnxFileClass info{u"TnxOverlappedLinuxFile",
                                 [](std::u16string_view aName,
                                    const std::u16string* aRealFolder) -> std::unique_ptr<TnxBaseFile> {
                                   return std::make_unique<TnxOverlappedLinuxFile>(aName, platform::FileOps(),
                                                                                   aRealFolder);
                                 }};
  return info;
}

std::unique_ptr<TnxBaseFile> TnxBaseFile::Alloc(bool aForTable, std::u16string_view aName, TnxBufferManager* aBufMgr,
                                                const TnxBaseFile* aSibling) {
  const TnxFileClass* fileClass = aForTable ? nxTableFileClass() : nullptr;
  if (!fileClass) fileClass = nxOtherFileClass();
  if (!fileClass || !fileClass->Create) throw EnxBaseFileException(nxeInvalidFileData);
  // Spelled with the same folder: resolving it again would give the same.
  const bool sameFolder = aSibling && !aSibling->fiPath.empty() &&
                          platform::ExtractFilePath(aName) == platform::ExtractFilePath(aSibling->fiName);
  std::unique_ptr<TnxBaseFile> file = fileClass->Create(aName, sameFolder ? &aSibling->fiPath : nullptr);
  file->fiBufMgr = aBufMgr;
  if (sameFolder && file->fiPath == aSibling->fiPath) file->fiMaxFileSize = aSibling->fiMaxFileSize;
  return file;
}

int64_t TnxBaseFile::nxGetMaxFileSizeForPath(std::u16string_view aPath) {
  return platform::MaxFileSizeForPath(platform::ToOsPath(aPath));
}

TnxBaseFile::TnxBaseFile(std::u16string_view aName, platform::TFileOps& aOps, const std::u16string* aRealFolder)
    : fiName(aName), fiOps(&aOps), fiTemporaryID(++gTemporaryIDs) {
  if (aRealFolder)
    fiPath = *aRealFolder;
  else
    RefreshPath();
}

void TnxBaseFile::RefreshPath() {
  fiPath = platform::IncludeTrailingPathDelimiter(platform::RealFolderPath(platform::ExtractFilePath(fiName)));
  fiMaxFileSize = -1;
}

uint32_t TnxBaseFile::ReadHeader(const std::vector<std::u16string>& aPasswords, bool& aIsReadOnly,
                                 bool aKeepImage) {
  aIsReadOnly = false;
  fiHeaderAccessFactory.reset();
  TBlockBuffer buffer(mm::nxbs64k);
  uint8_t* header = buffer.Data();
  ReadFileExactAt(0, 4096, header);
  std::memcpy(fiHeaderSignature.data(), header, 4);
  TnxFileHeaderAccessFactoryPtr factory = TnxBaseFileHeaderAccessFactory::CreateFactory({}, header, *this);
  if (fiBlockSize != nxbs4k) ReadFileExactAt(0, BlockBytes(), header);
  // The image as read, before the checks below prepare anything in it.
  if (aKeepImage) fiHeaderImage.assign(header, header + BlockBytes());
  if (fiZirezVersion > nxMaxZirezVersion)
    return EnxBaseException::nxSetMessage(
        nxeTableTooNew,
        u"Table \"%s\" was created with version %5.4f of RevurOV, which is newer than this server's version (%5.4f).",
        {fiName, fiZirezVersion / 10000.0, nxMaxZirezVersion / 10000.0});
  fiMaxBlocks = static_cast<uint32_t>(std::min<int64_t>(CalcMaxFileSize() >> (12 + fiBlockSize), UINT32_MAX));
  fiEncryptionEngine.reset();
  uint32_t result = 0;
  if (!fiEncryptionEngineName.empty()) {
    result = TnxBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords,
                                                   factory->GetEncryptionEngineHeader(header), false, fiForServer,
                                                   fiEncryptionEngine);
    if (result == nxeTableReadOnly) {
      aIsReadOnly = true;
      result = 0;
    }
    if (result == 0 && fiEncryptionEngine) {
      factory->PrepareChecksum(header, false);
      fiEncryptionEngine->VerifyHeaderChecksum(header, BlockBytes());
    }
  }
  if (result == 0) fiHeaderAccessFactory = std::move(factory);
  return result;
}

uint32_t TnxBaseFile::AddHeader(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords,
                               const TnxBlockSignature& aSignature) {
  TnxBufferManager* bm = fiBlockCache ? TnxBufferManager::OwnerOf(*this) : fiBufMgr;
  if (!bm) throw EnxBaseFileException(nxeInvalidFileData);
  TnxBlockGuard guard;
  guard.Hold(bm->AddBlock(*this, &aTrans, 0, guard.ReleaseMethod()));
  uint8_t* header = guard.Block();
  TnxFileHeaderAccessFactoryPtr factory = TnxBaseFileHeaderAccessFactory::CreateFactory(aSignature, header, *this);
  {
    TnxLockGuard<TnxBufferManager, &TnxBufferManager::Lock, &TnxBufferManager::Unlock> locked(*bm);
    // The transaction bound the file before it had a header.
    fiTransUsedBlocks = fiUsedBlocks;
    fiHeaderSignature = aSignature;
  }
  fiHeaderAccessFactory = std::move(factory);
  fiEncryptionEngine.reset();
  fiCheckSumSize = 0;
  fiChecksum.clear();
  uint32_t result = 0;
  if (!fiEncryptionEngineName.empty()) {
    result = TnxBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords,
                                                   fiHeaderAccessFactory->GetEncryptionEngineHeader(header), true,
                                                   fiForServer, fiEncryptionEngine);
    if (result == 0 && fiEncryptionEngine) fiHeaderAccessFactory->PrepareChecksum(header, true);
  }
  return result;
}

TnxBaseFile::~TnxBaseFile() {
  // Closing drops the share locks; an error here has nobody left to tell.
  if (fiHandle != platform::InvalidFileHandle) fiOps->Close(fiHandle);
}

std::u16string TnxBaseFile::ExpandRelativeFileName(std::u16string_view aFileName) {
  const std::u16string_view name = platform::Trim(aFileName);
  if (!name.empty() && name.front() == platform::PathDelim) return std::u16string(name);
  // The folder may have moved or come into being since.
  RefreshPath();
  return fiPath + std::u16string(name);
}

std::u16string TnxBaseFile::FileName() const {
  if (IsTemporary()) return u"(memory)";
  return fiPath + platform::ExtractFileName(fiName);
}

std::u16string TnxBaseFile::GetFileID() const {
  if (IsTemporary()) return platform::Format(u"%.8x", {fiTemporaryID});
  std::u16string id = FileName();
  platform::TFileIdentity identity;
  if (FileIsOpen() && platform::GetFileIdentity(fiHandle, identity)) {
    // As Format's ";%.16x;%.16x;%.16x;%.8x" spells them, without its cost on
    // every table open.
    AppendHexPart(id, identity.device, 16);
    AppendHexPart(id, identity.inode, 16);
    AppendHexPart(id, static_cast<uint64_t>(identity.birthSeconds), 16);
    AppendHexPart(id, identity.birthNanoseconds, 8);
  }
  return id;
}

void TnxBaseFile::RaiseOS(uint32_t aCode, std::u16string_view aWhat, int aError) const {
  throw EnxLinuxFileException(aCode, u"INTERNAL: %s [%s, error %d, %s]",
                              {aWhat, fiName, aError, platform::SysErrorMessage(static_cast<uint32_t>(aError))});
}

void TnxBaseFile::RaiseShort(uint32_t aCode, std::u16string_view aWhat, int64_t aBytes) const {
  throw EnxLinuxFileException(aCode, u"INTERNAL: %s [%s, %d bytes]", {aWhat, fiName, aBytes});
}

void TnxBaseFile::CheckOpen() const {
  if (fiName.empty() || !FileIsOpen()) {
    if (fiOpenError == 0) throw EnxLinuxFileException(nxeInvalidFileData);
    RaiseOS(nxeCannotAccessFile, u"File could not be opened", fiOpenError);
  }
}

platform::TFileHandle TnxBaseFile::DiskHandle(uint32_t aCode, std::u16string_view aWhat) const {
  CheckOpen();
  if (IsTemporary()) RaiseOS(aCode, aWhat, kNoDisk);
  return fiHandle;
}

void TnxBaseFile::TakeShareLocks(TnxOpenMode aOpenMode, TnxShareMode aShareMode) {
  // Announce first, then look for conflicts: of two opens racing, at least
  // one sees the other, so a conflicting pair never both succeed.
  const bool mine[4] = {Reads(aOpenMode), Writes(aOpenMode), DeniesRead(aShareMode), DeniesWrite(aShareMode)};
  // What another open must not hold for each of ours.
  const TShareByte against[4] = {sbDeniesRead, sbDeniesWrite, sbReads, sbWrites};
  bool checked[4] = {};
  for (int b = sbReads; b <= sbDeniesWrite; ++b)
    if (mine[b]) checked[against[b]] = true;
  // Neighbouring bytes are one range: one call for each run.
  const auto forEachRun = [](const bool(&aBytes)[4], const auto& aCall) {
    for (int64_t b = sbReads; b <= sbDeniesWrite;) {
      if (!aBytes[b]) {
        ++b;
        continue;
      }
      int64_t end = b + 1;
      while (end <= sbDeniesWrite && aBytes[end]) ++end;
      aCall(nxShareLockOffset + b, end - b);
      b = end;
    }
  };
  forEachRun(mine, [&](int64_t aOffset, int64_t aLength) {
    const int err = fiOps->Lock(fiHandle, TFileLockKind::lkShared, TFileLockWait::lwTry, aOffset, aLength);
    if (err != 0) RaiseOS(nxeCannotAccessFile, u"File could not be opened", err);
  });
  forEachRun(checked, [&](int64_t aOffset, int64_t aLength) {
    bool conflict = false;
    const int err = fiOps->LockConflicts(fiHandle, TFileLockKind::lkExclusive, aOffset, aLength, conflict);
    if (err != 0) RaiseOS(nxeCannotAccessFile, u"File could not be opened", err);
    if (conflict) RaiseOS(nxeCannotAccessFile, u"File could not be opened", kShareRefused);
  });
}

void TnxBaseFile::OpenFile(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru, bool aCreateFile) {
  if (fiName.empty() || FileIsOpen()) throw EnxLinuxFileException(nxeInvalidFileData);
  fiOpenError = 0;
  fiIsLink = false;
  if (IsTemporary()) {
    fiTemporaryOpen = true;
    fiOpenMode = aOpenMode;
    fiShareMode = aShareMode;
    fiWriteThru = aWriteThru;
    return;
  }
  // Share locks need read access, so a write-only open reads too.
  TOpenFlags flags = aOpenMode == omReadOnly ? TOpenFlags::ofRead : TOpenFlags::ofReadWrite;
  if (aCreateFile) flags = flags | TOpenFlags::ofCreate | TOpenFlags::ofTruncate;
  if (aWriteThru && aOpenMode != omReadOnly) flags = flags | TOpenFlags::ofDataSync;
  platform::TFileHandle handle = platform::InvalidFileHandle;
  int err = 0;
  if (!fiBeneath.empty()) {
    err = OpenBeneath(flags, handle);
  } else {
    const std::string path = platform::ToOsPath(fiName);
    if (aCreateFile) {
      err = fiOps->Open(path, flags, platform::DefaultFilePermissions, handle);
    } else {
      // A link refuses the first open; the second follows it.
      err = fiOps->Open(path, flags | TOpenFlags::ofNoFollow, platform::DefaultFilePermissions, handle);
      if (err == ELOOP) {
        fiIsLink = true;
        err = fiOps->Open(path, flags, platform::DefaultFilePermissions, handle);
      }
    }
    if ((err == EACCES || err == EROFS) && !aCreateFile && aOpenMode != omReadOnly) {
      aOpenMode = omReadOnly;
      err = fiOps->Open(path, TOpenFlags::ofRead, platform::DefaultFilePermissions, handle);
    }
  }
  if (err != 0) {
    fiOpenError = err;
    RaiseOS(nxeCannotAccessFile, u"File could not be opened", err);
  }
  fiHandle = handle;
  try {
    TakeShareLocks(aOpenMode, aShareMode);
  } catch (...) {
    fiOps->Close(fiHandle);
    fiHandle = platform::InvalidFileHandle;
    fiOpenError = kShareRefused;
    throw;
  }
  fiOpenMode = aOpenMode;
  fiShareMode = aShareMode;
  fiWriteThru = aWriteThru;
  if (fiAccessHint != platform::TAccessHint::ahNormal) fiOps->Advise(fiHandle, fiAccessHint);
}

int TnxBaseFile::OpenBeneath(TOpenFlags aFlags, platform::TFileHandle& aHandle) {
  if (platform::HasFlag(aFlags, TOpenFlags::ofCreate)) throw EnxLinuxFileException(nxeInvalidFileData);
  const std::u16string_view name(fiName);
  // Not below the folder even by its spelling: nothing is opened.
  if (name.size() <= fiBeneath.size() || name.substr(0, fiBeneath.size()) != fiBeneath) return EXDEV;
  return fiOps->OpenBeneath(platform::ToOsPath(fiBeneath), platform::ToOsPath(name.substr(fiBeneath.size())),
                            aFlags | TOpenFlags::ofLinksInside, aHandle);
}

void TnxBaseFile::SetAccessHint(platform::TAccessHint aHint) noexcept {
  fiAccessHint = aHint;
  // Only a hint: a file system that refuses it reads as before.
  if (fiHandle != platform::InvalidFileHandle) fiOps->Advise(fiHandle, aHint);
}

void TnxBaseFile::CloseFile() {
  if (fiOpenError != 0) {
    fiOpenError = 0;
    return;
  }
  CheckOpen();
  if (fiTemporaryOpen) {
    fiTemporaryOpen = false;
    return;
  }
  const platform::TFileHandle handle = fiHandle;
  fiHandle = platform::InvalidFileHandle;
  if (const int err = fiOps->Close(handle)) RaiseOS(nxeFileNotClosed, u"File could not be closed", err);
}

int64_t TnxBaseFile::FileSize() {
  CheckOpen();
  // Its blocks are the buffer manager's; none of them is on disk.
  if (IsTemporary()) return 0;
  int64_t size = 0;
  if (const int err = fiOps->GetSize(fiHandle, size)) RaiseOS(nxeReadFailure, u"Error when getting size of file", err);
  return size;
}

int64_t TnxBaseFile::CalcMaxFileSize() {
  // Asked once for each resolution of the folder.
  if (fiMaxFileSize < 0)
    fiMaxFileSize =
        nxGetMaxFileSizeForPath(fiPath.empty() ? std::u16string_view(u".") : std::u16string_view(fiPath));
  return fiMaxFileSize;
}

uint32_t TnxBaseFile::PhysicalBlockCount() {
  return static_cast<uint32_t>(std::min<int64_t>(FileSize() / BlockBytes(), UINT32_MAX));
}

uint32_t TnxBaseFile::ReadFile(uint32_t aToRead, void* aBuffer) {
  const platform::TFileHandle handle = DiskHandle(nxeReadFailure, u"Error when reading from file");
  int64_t done = 0;
  if (const int err = fiOps->Read(handle, aBuffer, aToRead, done))
    RaiseOS(nxeReadFailure, u"Error when reading from file", err);
  return static_cast<uint32_t>(done);
}

void TnxBaseFile::ReadFileExact(uint32_t aToRead, void* aBuffer) {
  if (ReadFile(aToRead, aBuffer) != aToRead)
    RaiseShort(nxeReadFailure, u"Could not read exact number of bytes from file", aToRead);
}

void TnxBaseFile::WriteFileExact(uint32_t aToWrite, const void* aBuffer) {
  const platform::TFileHandle handle = DiskHandle(nxeWriteFailure, u"Error when writing to file");
  int64_t done = 0;
  if (const int err = fiOps->Write(handle, aBuffer, aToWrite, done))
    RaiseOS(nxeWriteFailure, u"Error when writing to file", err);
  if (done != aToWrite) RaiseShort(nxeWriteFailure, u"Could not write exact number of bytes to file", aToWrite);
}

int64_t TnxBaseFile::PositionFileEOF() {
  CheckOpen();
  int err = kNoDisk;
  int64_t position = 0;
  if (!IsTemporary()) err = fiOps->Seek(fiHandle, 0, platform::TSeekOrigin::soEnd, position);
  if (err != 0)
    throw EnxLinuxFileException(nxeReadFailure,
                                u"INTERNAL: Error when seeking to position in file [%s, offset %d, error %d, %s]",
                                {fiName, 0, err, platform::SysErrorMessage(static_cast<uint32_t>(err))});
  return position;
}

uint32_t TnxBaseFile::ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  const platform::TFileHandle handle = DiskHandle(nxeReadFailure, u"Error when reading from file");
  int64_t done = 0;
  if (const int err = fiOps->ReadAt(handle, aOffset, aBuffer, aToRead, done))
    RaiseOS(nxeReadFailure, u"Error when reading from file", err);
  return static_cast<uint32_t>(done);
}

void TnxBaseFile::ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  if (ReadFileAt(aOffset, aToRead, aBuffer) != aToRead)
    RaiseShort(nxeReadFailure, u"Could not read exact number of bytes from file", aToRead);
}

void TnxBaseFile::WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) {
  const platform::TFileHandle handle = DiskHandle(nxeWriteFailure, u"Error when writing to file");
  int64_t done = 0;
  if (const int err = fiOps->WriteAt(handle, aOffset, aBuffer, aToWrite, done))
    RaiseOS(nxeWriteFailure, u"Error when writing to file", err);
  if (done != aToWrite) RaiseShort(nxeWriteFailure, u"Could not write exact number of bytes to file", aToWrite);
}

void TnxBaseFile::ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer,
                                         std::vector<uint8_t>& aCookie) {
  aCookie.clear();
  ReadFileExactAt(aOffset, aToRead, aBuffer);
  Decrypt(aOffset, aToRead, aBuffer, aCookie);
}

void TnxBaseFile::ReadBlock(TnxBlockNumber aBlockNum, uint8_t* aImage, std::vector<uint8_t>& aCookie) {
  if (aBlockNum == 0 && fiHeaderImage.size() == BlockBytes()) {
    // The header just read by ReadHeader: not read from the disk again.
    std::memcpy(aImage, fiHeaderImage.data(), fiHeaderImage.size());
    DropHeaderImage();
    aCookie.clear();
    Decrypt(0, BlockBytes(), aImage, aCookie);
  } else {
    ReadDecryptFileExactAt(int64_t{aBlockNum} << (12 + fiBlockSize), BlockBytes(), aImage, aCookie);
  }
  if (TnxBufferManager* owner = fiBlockCache ? TnxBufferManager::OwnerOf(*this) : fiBufMgr) owner->CountBlocksRead(1);
  TnxSessionStats::Count(sscBlocksRead, 1);
}

void TnxBaseFile::Decrypt(int64_t aOffset, uint32_t aBytes, void* aBuffer, std::vector<uint8_t>& aCookie) {
  if (!fiEncryptionEngine) return;
  if (aOffset == 0)
    fiEncryptionEngine->VerifyHeaderChecksum(aBuffer, aBytes);
  else
    fiEncryptionEngine->DecodeBlockEx(aBuffer, aBytes, static_cast<uint32_t>(aOffset / aBytes), aCookie);
}

void TnxBaseFile::WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                                          std::vector<uint8_t>& aCookie) {
  CheckOpen();
  if (fiEncryptionEngine && aOffset != 0) {
    // A block fits a pool block; anything longer takes the heap.
    std::optional<TBlockBuffer> pooled;
    std::vector<uint8_t> large;
    uint8_t* coded = nullptr;
    if (aToWrite <= uint32_t{nxMaxBlockSize}) {
      coded = pooled.emplace(mm::nxbs64k).Data();
    } else {
      large.resize(aToWrite);
      coded = large.data();
    }
    fiEncryptionEngine->CodeBlockEx(aBuffer, coded, aToWrite, static_cast<uint32_t>(aOffset / aToWrite), aCookie,
                                    fiChecksum);
    WriteFileExactAt(aOffset, aToWrite, coded);
    return;
  }
  if (fiEncryptionEngine) {
    fiUpdateTableChecksum(static_cast<uint8_t*>(aBuffer));
    fiEncryptionEngine->UpdateHeaderChecksum(aBuffer, aToWrite);
  }
  WriteFileExactAt(aOffset, aToWrite, aBuffer);
}

void TnxBaseFile::fiUpdateTableChecksum(uint8_t* aHeader) {
  if (!fiHeaderAccessFactory || fiCheckSumSize == 0 || fiChecksum.size() < fiCheckSumSize) return;
  if (uint8_t* area = fiHeaderAccessFactory->GetTableChecksum(aHeader))
    std::memcpy(area, fiChecksum.data(), fiCheckSumSize);
}

void TnxBaseFile::WriteBlock(TnxQueuedBlock& aBlock) {
  fiQueued.push_back(&aBlock);
  aBlock.SetUnwritten(true);
}

void TnxBaseFile::PrepareFlushFile() {
  CheckOpen();
  const auto takeQueue = [this] {
    // A batch left by a failed flush stays in front.
    fiWriteRequest.insert(fiWriteRequest.end(), fiQueued.begin(), fiQueued.end());
    fiQueued.clear();
  };
  if (TnxBufferManager* owner = TnxBufferManager::OwnerOf(*this)) {
    TnxLockGuard<TnxBufferManager, &TnxBufferManager::Lock, &TnxBufferManager::Unlock> guard(*owner);
    takeQueue();
  } else {
    takeQueue();
  }
  if (IsTemporary() || fiWriteRequest.empty()) return;
  const uint32_t shift = 12u + fiBlockSize;
  const int64_t blocks64 = FileSize() >> shift;
  const uint32_t blocks = static_cast<uint32_t>(std::min<int64_t>(blocks64, UINT32_MAX));
  std::stable_sort(fiWriteRequest.begin(), fiWriteRequest.end(), [blocks](TnxQueuedBlock* a, TnxQueuedBlock* b) {
    const int ca = FlushClass(a->BlockNumber(), blocks);
    const int cb = FlushClass(b->BlockNumber(), blocks);
    return ca != cb ? ca < cb : a->BlockNumber() < b->BlockNumber();
  });
  int64_t high = std::max<int64_t>(fiInitialSize, 3);
  for (TnxQueuedBlock* block : fiWriteRequest) {
    if (FlushClass(block->BlockNumber(), blocks) != 0) break;
    high = std::max<int64_t>(high, block->BlockNumber());
  }
  if (high < blocks64) return;
  const int64_t grow = std::max<int64_t>(fiGrowSize, high / 10);
  const int64_t target = grow > 1 && fiInitialSize < high ? (high / grow + 1) * grow : high + 1;
  // The descriptor stays: reopening would drop the share locks for a moment.
  // Reserving the space now makes a full disk fail here, before any block
  // of the flush is written.
  const int64_t size = blocks64 << shift;
  int err = fiOps->Allocate(fiHandle, size, (target << shift) - size);
  if (err == EOPNOTSUPP) err = fiOps->SetSize(fiHandle, target << shift);
  if (err != 0) RaiseOS(nxeWriteFailure, u"Error when setting end-of-file", err);
}

void TnxBaseFile::WriteRun(const std::vector<TnxQueuedBlock*>& aRun, uint8_t* aCoded, TnxBaseReplicationLog* aLog) {
  const uint32_t bytes = BlockBytes();
  size_t pinned = 0;
  struct TUnpin {
    const std::vector<TnxQueuedBlock*>& run;
    size_t& count;
    ~TUnpin() {
      for (size_t i = 0; i < count; ++i) run[i]->Unpin();
    }
  } unpin{aRun, pinned};
  platform::TIoPart parts[kMaxRun];
  for (size_t i = 0; i < aRun.size(); ++i) {
    TnxQueuedBlock& block = *aRun[i];
    const TnxBlockNumber number = block.BlockNumber();
    uint8_t* image = block.PinImage();
    ++pinned;
    if (fiHeaderAccessFactory) fiHeaderAccessFactory->ValidateBlock(image, number);
    uint8_t* data = image;
    if (fiEncryptionEngine) {
      if (number != 0) {
        uint8_t* coded = aCoded + i * bytes;
        fiEncryptionEngine->CodeBlockEx(image, coded, bytes, number, block.EncryptionCookie(), fiChecksum);
        data = coded;
      } else {
        fiUpdateTableChecksum(image);
        fiEncryptionEngine->UpdateHeaderChecksum(image, bytes);
      }
    }
    if (aLog) aLog->WriteBlock(number, block.LastLSN(), data);
    parts[i] = {data, bytes};
  }
  const int64_t total = static_cast<int64_t>(aRun.size()) * bytes;
  int64_t done = 0;
  const int err = fiOps->WriteVectorAt(fiHandle, static_cast<int64_t>(aRun.front()->BlockNumber()) * bytes, parts,
                                       static_cast<int32_t>(aRun.size()), done);
  if (err != 0) RaiseOS(nxeWriteFailure, u"Error when writing to file", err);
  if (done != total) RaiseShort(nxeWriteFailure, u"Could not write exact number of bytes to file", total);
  for (TnxQueuedBlock* block : aRun) block->SetUnwritten(false);
  TnxSessionStats::Count(sscBlocksWritten, static_cast<int64_t>(aRun.size()));
}

void TnxBaseFile::FlushFile(bool aFailSafe, TnxBaseReplicationLog* aReplicationLog) {
  CheckOpen();
  if (IsTemporary()) {
    // Its only copy is the cached one: nothing to write, nothing to keep.
    for (TnxQueuedBlock* block : fiWriteRequest) block->SetUnwritten(false);
    fiWriteRequest.clear();
    return;
  }
  std::optional<TBlockBuffer> coded;
  if (fiEncryptionEngine) coded.emplace(mm::nxbs4M);
  uint8_t* const codedData = coded ? coded->Data() : nullptr;
  TnxBaseReplicationLog* const log =
      fiWriteRequest.empty() || (fiAttributes & nxfaReplicationLog) == 0 ? nullptr : aReplicationLog;
  if (log) log->BeginFile(fiLogAlias, fiLogTable, fiLogFile, fiBlockSize);
  std::vector<TnxQueuedBlock*> run;
  run.reserve(kMaxRun);
  const TnxQueuedBlock* previous = nullptr;
  for (TnxQueuedBlock* block : fiWriteRequest) {
    if (previous && previous->BlockNumber() == block->BlockNumber()) {
      // The same block queued twice: written once, with the entry before.
      block->SetUnwritten(false);
      continue;
    }
    if (!run.empty() && (run.size() == kMaxRun || block->BlockNumber() != previous->BlockNumber() + 1)) {
      WriteRun(run, codedData, log);
      run.clear();
    }
    run.push_back(block);
    previous = block;
  }
  if (!run.empty()) WriteRun(run, codedData, log);
  if (log) log->EndFile();
  // Write-through wrote every block through to the medium already.
  if (aFailSafe) {
    if (const int err = fiOps->DataSync(fiHandle)) RaiseOS(nxeWriteFailure, u"Error when flushing file", err);
  }
  // Only now: a failed write or sync leaves every block for RollbackUnwritten.
  fiWriteRequest.clear();
}

void TnxBaseFile::RollbackUnwritten() {
  std::vector<TnxQueuedBlock*> blocks = std::move(fiWriteRequest);
  fiWriteRequest.clear();
  blocks.insert(blocks.end(), fiQueued.begin(), fiQueued.end());
  fiQueued.clear();
  // A block queued twice is given back once: the first may free it.
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  for (TnxQueuedBlock* block : blocks) block->RollbackUnwritten();
}

template <class Read, class Call>
TnxBlockIteratorResult TnxBaseFile::Iterate(Read&& aRead, Call&& aCall) {
  const uint32_t bytes = BlockBytes();
  const uint32_t count = PhysicalBlockCount();
  // A scan reads the file front to back: read-ahead pays here even where
  // block reads go without it.
  struct TScanHint {
    TnxBaseFile& file;
    platform::TAccessHint before;
    ~TScanHint() { file.SetAccessHint(before); }
  } hint{*this, fiAccessHint};
  if (fiAccessHint != platform::TAccessHint::ahSequential) SetAccessHint(platform::TAccessHint::ahSequential);
  TBlockBuffer memory(static_cast<mm::TnxBlockSizeAll>(fiBlockSize));
  uint8_t* buffer = memory.Data();
  TnxBlockIteratorResult result = birContinue;
  for (uint32_t n = 0; n < count; ++n) {
    PnxBlock block = buffer;
    try {
      if (!aRead(n, bytes, buffer)) block = nullptr;
    } catch (const EnxBaseEncryptionEngineException&) {
      block = nullptr;  // undecipherable
    } catch (const EnxFileHeaderAccessException&) {
      block = nullptr;  // not the block it should be
    }
    result = aCall(n, block);
    if (result == birStop) break;
  }
  return result;
}

TnxBlockIteratorResult TnxBaseFile::IterateBlocks(void* aCookie, const TnxBlockIterator& aIterator) {
  std::vector<uint8_t> cookie;
  return Iterate(
      [&](uint32_t n, uint32_t bytes, uint8_t* buffer) {
        cookie.clear();
        const int64_t offset = static_cast<int64_t>(n) * bytes;
        if (ReadFileAt(offset, bytes, buffer) != bytes) return false;
        Decrypt(offset, bytes, buffer, cookie);
        if (fiHeaderAccessFactory) fiHeaderAccessFactory->ValidateBlock(buffer, n);
        return true;
      },
      [&](uint32_t n, PnxBlock block) { return aIterator ? aIterator(aCookie, n, block) : birContinue; });
}

TnxBlockIteratorResult TnxBaseFile::IterateBlocksRaw(void* aCookie, const TnxBlockIterator& aIterator) {
  return Iterate(
      [&](uint32_t n, uint32_t bytes, uint8_t* buffer) {
        return ReadFileAt(static_cast<int64_t>(n) * bytes, bytes, buffer) == bytes;
      },
      [&](uint32_t n, PnxBlock block) { return aIterator ? aIterator(aCookie, n, block) : birContinue; });
}

TnxBlockIteratorResult TnxBaseFile::IterateBlockCookies(void* aCookie, const TnxBlockCookieIterator& aIterator) {
  std::vector<uint8_t> cookie;
  return Iterate(
      [&](uint32_t n, uint32_t bytes, uint8_t* buffer) {
        cookie.clear();
        const int64_t offset = static_cast<int64_t>(n) * bytes;
        if (ReadFileAt(offset, bytes, buffer) != bytes) return false;
        Decrypt(offset, bytes, buffer, cookie);
        if (fiHeaderAccessFactory) fiHeaderAccessFactory->ValidateBlock(buffer, n);
        return true;
      },
      [&](uint32_t n, PnxBlock block) { return aIterator ? aIterator(aCookie, n, block, cookie) : birContinue; });
}

void TnxOverlappedLinuxFile::Refuse(uint32_t aCode, std::u16string_view aWhat) const {
  throw EnxOverlappedLinuxFileException(aCode, u"INTERNAL: %s [%s, error %d, %s]",
                                        {aWhat, fiName, EOPNOTSUPP, platform::SysErrorMessage(EOPNOTSUPP)});
}

uint32_t TnxOverlappedLinuxFile::ReadFile(uint32_t, void*) { Refuse(nxeReadFailure, u"Error when reading from file"); }

void TnxOverlappedLinuxFile::ReadFileExact(uint32_t, void*) { Refuse(nxeReadFailure, u"Error when reading from file"); }

void TnxOverlappedLinuxFile::WriteFileExact(uint32_t, const void*) {
  Refuse(nxeWriteFailure, u"Error when writing to file");
}

int64_t TnxOverlappedLinuxFile::PositionFileEOF() {
  throw EnxOverlappedLinuxFileException(
      nxeWriteFailure, u"INTERNAL: Error when seeking to position in file [%s, offset %d, error %d, %s]",
      {fiName, 0, EOPNOTSUPP, platform::SysErrorMessage(EOPNOTSUPP)});
}

}  // namespace revurov
