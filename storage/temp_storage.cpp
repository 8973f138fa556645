#include "storage/temp_storage.h"

#include <atomic>
#include <cerrno>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/os_error.h"
#include "platform/paths.h"

namespace revurov {

namespace {

constexpr int64_t kSlotSize = 4096;
constexpr int32_t kSlotsPerChunk = 1024;
constexpr int64_t kChunkSize = kSlotSize * kSlotsPerChunk;
constexpr int32_t kChunksPerInfoBlock = 29;
// Numbers are 32-bit: chunk c's last slot must still fit.
constexpr int32_t kMaxChunks = static_cast<int32_t>((uint64_t(UINT32_MAX) + 1) / kSlotsPerChunk);
constexpr std::u16string_view kContext = u"Temporary Storage Manager";

// Slot step of each block size in 4 KB units; a chunk holds 1024 / step.
constexpr int32_t kSlotStep[nxBlockSizeAllCount] = {1, 2, 4, 8, 16, 1024};

int32_t StepOf(TnxBlockSizeAll aSize) noexcept { return kSlotStep[aSize]; }
int32_t CapacityOf(TnxBlockSizeAll aSize) noexcept { return kSlotsPerChunk / kSlotStep[aSize]; }
int64_t BytesOf(TnxBlockSizeAll aSize) noexcept { return kSlotSize * kSlotStep[aSize]; }
bool ValidSize(TnxBlockSizeAll aSize) noexcept { return static_cast<int>(aSize) < nxBlockSizeAllCount; }

std::atomic<const TnxTempStorageClass*> gDefaultClass{nullptr};

void AddKbyte(platform::TStringList& aList, int64_t aBytes) { aList.Add(nxFormatGrouped(aBytes / 1024) + u" kbyte"); }

}  // namespace

// Memory only; the layout of the original is kept as the unit of
// allocation, not as a format.
struct TnxChunkedTempStorage::ChunkInfo {
  uint8_t ciBlockSize = 0;
  uint16_t ciUsed = 0;
  // Entries [used, capacity) are the free slots; the next one out at used.
  uint16_t ciFreeSlots[kSlotsPerChunk] = {};
  uint32_t ciInUse[kSlotsPerChunk / 32] = {};
  TnxChunkIndex ciPrev = -1;
  TnxChunkIndex ciNext = -1;

  TnxBlockSizeAll Size() const noexcept { return static_cast<TnxBlockSizeAll>(ciBlockSize); }
  bool InUse(uint32_t aSlot) const noexcept { return (ciInUse[aSlot / 32] >> (aSlot % 32)) & 1u; }
  void SetInUse(uint32_t aSlot, bool aValue) noexcept {
    if (aValue)
      ciInUse[aSlot / 32] |= 1u << (aSlot % 32);
    else
      ciInUse[aSlot / 32] &= ~(1u << (aSlot % 32));
  }
};

struct TnxChunkedTempStorage::ChunkInfoBlock {
  int32_t cibUsedCount = 0;
  ChunkInfo cibChunkInfos[kChunksPerInfoBlock];
};

// ---- base ----

void TnxBaseTempStorage::GetStatsCaptions(platform::TStringList& aList) const { GetStatsCaptionsStatic(aList); }

void TnxBaseTempStorage::GetStatsCaptionsStatic(platform::TStringList& aList) {
  aList.Add(u"Temporary Storage Total Size");
  aList.Add(u"Temporary Storage Used Size");
}

void TnxBaseTempStorage::GetStatsValues(platform::TStringList& aList) const {
  AddKbyte(aList, GetSize());
  AddKbyte(aList, GetInUse());
}

void TnxBaseTempStorage::GetStatsValuesStatic(platform::TStringList& aList) {
  aList.Add(u"0 kbyte");
  aList.Add(u"0 kbyte");
}

const TnxTempStorageClass* nxDefaultTempStorageClass() noexcept { return gDefaultClass.load(); }
void nxSetDefaultTempStorageClass(const TnxTempStorageClass* aClass) noexcept { gDefaultClass.store(aClass); }

void nxTempStorageStartup() {
  const TnxTempStorageClass* none = nullptr;
  gDefaultClass.compare_exchange_strong(none, &TnxChunkedTempStorage::ClassInfo());
}

void nxTempStorageShutdown() {
  const TnxTempStorageClass* chunked = &TnxChunkedTempStorage::ClassInfo();
  gDefaultClass.compare_exchange_strong(chunked, nullptr);
}

// ---- chunked ----

const TnxTempStorageClass& TnxChunkedTempStorage::ClassInfo() noexcept {
  static const TnxTempStorageClass info{
      u"TnxChunkedTempStorage",
      [](std::u16string_view aDir) -> std::unique_ptr<TnxBaseTempStorage> {
        return std::make_unique<TnxChunkedTempStorage>(aDir);
      },
      &TnxChunkedTempStorage::GetStatsValuesStatic, &TnxChunkedTempStorage::GetStatsCaptionsStatic};
  return info;
}

TnxChunkedTempStorage::TnxChunkedTempStorage(std::u16string_view aDir, platform::TFileOps& aOps) : tsOps(aOps) {
  // Unnamed: a name in a shared folder could be planted beforehand as a
  // link to someone else's file, which creating "afresh" would overwrite.
  if (const int err = tsOps.OpenTemporary(platform::ToOsPath(aDir), 0600, tsFile)) RaiseOSError(err);
  // Files here are sparse wherever the file system can punch holes; the
  // first refusal switches the punching off.
  tsSparse = true;
}

TnxChunkedTempStorage::~TnxChunkedTempStorage() {
  if (tsFile != platform::InvalidFileHandle) tsOps.Close(tsFile);
}

void TnxChunkedTempStorage::RaiseOSError(int aError) {
  platform::SetLastOSError(static_cast<uint32_t>(aError));
  throw nxCreateOSErrorException<EnxChunkedTempStorageException>(0, u"", kContext);
}

int32_t TnxChunkedTempStorage::ChunkCount() const noexcept {
  if (tsChunkBlocks.empty()) return 0;
  return kChunksPerInfoBlock * static_cast<int32_t>(tsChunkBlocks.size() - 1) + tsChunkBlocks.back()->cibUsedCount;
}

TnxChunkedTempStorage::ChunkInfo& TnxChunkedTempStorage::Chunk(TnxChunkIndex aChunk) const noexcept {
  return tsChunkBlocks[static_cast<size_t>(aChunk / kChunksPerInfoBlock)]->cibChunkInfos[aChunk % kChunksPerInfoBlock];
}

int64_t TnxChunkedTempStorage::GetSize() const { return ChunkCount() * kChunkSize; }

void TnxChunkedTempStorage::ListRemove(TnxChunkIndex& aHead, TnxChunkIndex aChunk) noexcept {
  ChunkInfo& info = Chunk(aChunk);
  if (info.ciPrev >= 0)
    Chunk(info.ciPrev).ciNext = info.ciNext;
  else
    aHead = info.ciNext;
  if (info.ciNext >= 0) Chunk(info.ciNext).ciPrev = info.ciPrev;
  info.ciPrev = info.ciNext = -1;
}

void TnxChunkedTempStorage::ListPush(TnxChunkIndex& aHead, TnxChunkIndex aChunk) noexcept {
  ChunkInfo& info = Chunk(aChunk);
  info.ciPrev = -1;
  info.ciNext = aHead;
  if (aHead >= 0) Chunk(aHead).ciPrev = aChunk;
  aHead = aChunk;
}

TnxChunkedTempStorage::ChunkInfo& TnxChunkedTempStorage::tsCheckBlock(TnxBlockTmpNum aBlockNum,
                                                                      TnxBlockSizeAll aBlockSize) const {
  const int64_t chunk = aBlockNum / kSlotsPerChunk;
  if (ValidSize(aBlockSize) && chunk < ChunkCount()) {
    ChunkInfo& info = Chunk(static_cast<TnxChunkIndex>(chunk));
    if (info.Size() == aBlockSize && info.InUse(aBlockNum % kSlotsPerChunk)) return info;
  }
  throw EnxChunkedTempStorageException(nxeTempStorageInvalidBlock);
}

void TnxChunkedTempStorage::tsInitChunk(ChunkInfo& aInfo, TnxBlockSizeAll aBlockSize) noexcept {
  aInfo.ciBlockSize = static_cast<uint8_t>(aBlockSize);
  aInfo.ciUsed = 0;
  const int32_t step = StepOf(aBlockSize);
  const int32_t capacity = CapacityOf(aBlockSize);
  for (int32_t i = 0; i < capacity; ++i) aInfo.ciFreeSlots[i] = static_cast<uint16_t>(i * step);
  for (uint32_t& word : aInfo.ciInUse) word = 0;
}

TnxChunkedTempStorage::TnxChunkIndex TnxChunkedTempStorage::tsAddChunk() {
  const int32_t count = ChunkCount();
  if (count >= kMaxChunks) RaiseOSError(EFBIG);
  const bool newBlock = tsChunkBlocks.empty() || tsChunkBlocks.back()->cibUsedCount == kChunksPerInfoBlock;
  if (newBlock) tsChunkBlocks.push_back(std::make_unique<ChunkInfoBlock>());
  ChunkInfoBlock& block = *tsChunkBlocks.back();
  ++block.cibUsedCount;
  if (const int err = tsOps.SetSize(tsFile, (count + 1) * kChunkSize)) {
    --block.cibUsedCount;
    if (newBlock) tsChunkBlocks.pop_back();
    RaiseOSError(err);
  }
  Chunk(count) = ChunkInfo();
  return count;
}

TnxChunkedTempStorage::TnxChunkIndex TnxChunkedTempStorage::tsChunkForSize(TnxBlockSizeAll aBlockSize) {
  TnxChunkIndex chunk = tsPartialChunkHeads[aBlockSize];
  if (chunk >= 0) return chunk;
  if (tsEmptyChunkHead >= 0) {
    chunk = tsEmptyChunkHead;
    ListRemove(tsEmptyChunkHead, chunk);
  } else {
    chunk = tsAddChunk();
  }
  tsInitChunk(Chunk(chunk), aBlockSize);
  ListPush(tsPartialChunkHeads[aBlockSize], chunk);
  return chunk;
}

TnxBlockTmpNum TnxChunkedTempStorage::WriteBlock(const uint8_t* aBlock, TnxBlockSizeAll aBlockSize) {
  if (!ValidSize(aBlockSize)) throw EnxChunkedTempStorageException(nxeInvalidParameter);
  const TnxChunkIndex chunk = tsChunkForSize(aBlockSize);
  ChunkInfo& info = Chunk(chunk);
  const uint16_t slot = info.ciFreeSlots[info.ciUsed];
  const TnxBlockTmpNum number = static_cast<TnxBlockTmpNum>(chunk) * kSlotsPerChunk + slot;
  const int64_t bytes = BytesOf(aBlockSize);
  int64_t done = 0;
  if (const int err = tsOps.WriteAt(tsFile, int64_t(number) * kSlotSize, aBlock, bytes, done)) {
    // A chunk taken for this write alone must not stay on the partial list empty.
    if (info.ciUsed == 0) {
      ListRemove(tsPartialChunkHeads[aBlockSize], chunk);
      ListPush(tsEmptyChunkHead, chunk);
      tsChunkEmptied(chunk);
    }
    RaiseOSError(err);
  }
  info.SetInUse(slot, true);
  if (++info.ciUsed == CapacityOf(aBlockSize)) ListRemove(tsPartialChunkHeads[aBlockSize], chunk);
  tsInUse += bytes;
  tsTotalWrite += bytes;
  return number;
}

void TnxChunkedTempStorage::ReadImage(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) {
  tsCheckBlock(aBlockNum, aBlockSize);
  const int64_t bytes = BytesOf(aBlockSize);
  int64_t done = 0;
  int err = tsOps.ReadAt(tsFile, int64_t(aBlockNum) * kSlotSize, aBlock, bytes, done);
  if (err == 0 && done != bytes) err = EIO;  // the file is never shorter than its chunks
  if (err != 0) RaiseOSError(err);
  tsTotalRead += bytes;
}

void TnxChunkedTempStorage::ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) {
  ReadImage(aBlockNum, aBlockSize, aBlock);
  tsReleaseSlot(aBlockNum);
}

void TnxChunkedTempStorage::PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, PnxBlock aBlock) {
  ReadImage(aBlockNum, aBlockSize, aBlock);
}

void TnxChunkedTempStorage::ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) {
  tsCheckBlock(aBlockNum, aBlockSize);
  tsReleaseSlot(aBlockNum);
}

// The slot is free once this returns, whatever the file does: a caller told
// otherwise would free the number again.
void TnxChunkedTempStorage::tsReleaseSlot(TnxBlockTmpNum aBlockNum) noexcept {
  const TnxChunkIndex chunk = static_cast<TnxChunkIndex>(aBlockNum / kSlotsPerChunk);
  const uint16_t slot = static_cast<uint16_t>(aBlockNum % kSlotsPerChunk);
  ChunkInfo& info = Chunk(chunk);
  const TnxBlockSizeAll size = info.Size();
  tsInUse -= BytesOf(size);
  info.SetInUse(slot, false);
  --info.ciUsed;
  info.ciFreeSlots[info.ciUsed] = slot;
  const bool wasFull = info.ciUsed + 1 == CapacityOf(size);
  if (info.ciUsed > 0) {
    if (wasFull) ListPush(tsPartialChunkHeads[size], chunk);
    return;
  }
  if (!wasFull) ListRemove(tsPartialChunkHeads[size], chunk);
  ListPush(tsEmptyChunkHead, chunk);
  tsChunkEmptied(chunk);
}

// Housekeeping of an empty chunk on the empty list: trailing empty chunks
// leave the file, one inside it gives its space back. A failure here keeps
// the file as it was (the chunks stay, empty) and is not reported.
void TnxChunkedTempStorage::tsChunkEmptied(TnxChunkIndex aChunk) noexcept {
  int32_t count = ChunkCount();
  int32_t keep = count;
  while (keep > 0 && Chunk(keep - 1).ciUsed == 0) --keep;
  if (keep < count && tsOps.SetSize(tsFile, keep * kChunkSize) == 0) {
    for (TnxChunkIndex c = count - 1; c >= keep; --c) {
      ListRemove(tsEmptyChunkHead, c);
      Chunk(c) = ChunkInfo();
      if (--tsChunkBlocks.back()->cibUsedCount == 0) tsChunkBlocks.pop_back();
    }
    count = keep;
  }
  if (tsSparse && aChunk < count) {
    if (tsOps.PunchHole(tsFile, aChunk * kChunkSize, kChunkSize) == EOPNOTSUPP) tsSparse = false;
  }
}

void TnxChunkedTempStorage::GetStatsCaptions(platform::TStringList& aList) const { GetStatsCaptionsStatic(aList); }

void TnxChunkedTempStorage::GetStatsCaptionsStatic(platform::TStringList& aList) {
  TnxBaseTempStorage::GetStatsCaptionsStatic(aList);
  aList.Add(u"Temporary Storage Total Written");
  aList.Add(u"Temporary Storage Total Read");
}

void TnxChunkedTempStorage::GetStatsValues(platform::TStringList& aList) const {
  TnxBaseTempStorage::GetStatsValues(aList);
  AddKbyte(aList, tsTotalWrite);
  AddKbyte(aList, tsTotalRead);
}

void TnxChunkedTempStorage::GetStatsValuesStatic(platform::TStringList& aList) {
  TnxBaseTempStorage::GetStatsValuesStatic(aList);
  aList.Add(u"0 kbyte");
  aList.Add(u"0 kbyte");
}

bool TnxChunkedTempStorage::ListsAreConsistent() const {
  const int32_t count = ChunkCount();
  // Which list each chunk was found on: -2 none, -1 empty, else the size.
  std::vector<int> found(static_cast<size_t>(count), -2);
  auto walk = [&](TnxChunkIndex aHead, int aList) {
    TnxChunkIndex prev = -1;
    for (TnxChunkIndex c = aHead; c >= 0; c = Chunk(c).ciNext) {
      if (c >= count || found[static_cast<size_t>(c)] != -2 || Chunk(c).ciPrev != prev) return false;
      found[static_cast<size_t>(c)] = aList;
      prev = c;
    }
    return true;
  };
  if (!walk(tsEmptyChunkHead, -1)) return false;
  for (int size = 0; size < nxBlockSizeAllCount; ++size)
    if (!walk(tsPartialChunkHeads[size], size)) return false;
  int64_t inUse = 0;
  for (TnxChunkIndex c = 0; c < count; ++c) {
    const ChunkInfo& info = Chunk(c);
    const int32_t capacity = CapacityOf(info.Size());
    int32_t bits = 0;
    for (uint32_t word : info.ciInUse) bits += __builtin_popcount(word);
    if (bits != info.ciUsed || info.ciUsed > capacity) return false;
    const int expected = info.ciUsed == 0 ? -1 : info.ciUsed < capacity ? info.ciBlockSize : -2;
    if (found[static_cast<size_t>(c)] != expected) return false;
    inUse += info.ciUsed * BytesOf(info.Size());
  }
  return inUse == tsInUse;
}

// ---- null ----

const TnxTempStorageClass& TnxNullTempStorage::ClassInfo() noexcept {
  static const TnxTempStorageClass info{
      u"TnxNullTempStorage",
      [](std::u16string_view aDir) -> std::unique_ptr<TnxBaseTempStorage> {
        return std::make_unique<TnxNullTempStorage>(aDir);
      },
      &TnxBaseTempStorage::GetStatsValuesStatic, &TnxBaseTempStorage::GetStatsCaptionsStatic};
  return info;
}

namespace {
[[noreturn]] void RaiseNotSupported(std::u16string_view aOperation) {
  throw EnxBaseTempStorageException(nxeCapabilityNotSupported, u"%s is not supported by %s",
                                    {aOperation, TnxNullTempStorage::ClassInfo().Name});
}
}  // namespace

void TnxNullTempStorage::ReadBlock(TnxBlockTmpNum, TnxBlockSizeAll, PnxBlock) { RaiseNotSupported(u"ReadBlock"); }
void TnxNullTempStorage::PeekBlock(TnxBlockTmpNum, TnxBlockSizeAll, PnxBlock) { RaiseNotSupported(u"PeekBlock"); }
void TnxNullTempStorage::ReleaseBlock(TnxBlockTmpNum, TnxBlockSizeAll) { RaiseNotSupported(u"ReleaseBlock"); }
TnxBlockTmpNum TnxNullTempStorage::WriteBlock(const uint8_t*, TnxBlockSizeAll) { RaiseNotSupported(u"WriteBlock"); }

}  // namespace revurov
