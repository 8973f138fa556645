#include "storage/segmented_blob_engine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/stream.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/transactions.h"

namespace revurov {

using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU32;
using platform::StoreU64;

namespace {

// Cache lines of a leaf asked for before it is copied: a whole 4 KB leaf,
// so that none of its misses waits for the copy to reach it.
constexpr uint32_t kReadAheadLines = 64;

// Asks for the lines of a leaf a read will copy, so that their misses
// overlap the fetch of the next block instead of stalling the copy. Always
// inlined: a call that only prefetches counts as one without effect, and
// the compiler drops it.
[[gnu::always_inline]] inline void PrefetchPiece(const uint8_t* aLeaf, uint16_t aSize, uint32_t aStart,
                                                 uint32_t aOffset, uint32_t aCount) {
  if (aLeaf[0] != nxbstData || aOffset < aStart || aOffset - aStart >= aSize - 1u) return;
  const uint8_t* from = aLeaf + 1 + (aOffset - aStart);
  const uint32_t n = std::min<uint32_t>({aCount, aSize - 1u - (aOffset - aStart), kReadAheadLines * 64u});
  const auto misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(from) & 63);
  const uint8_t* line = from - misalign;
  const uint32_t lines = (n + misalign + 63) / 64;
  for (uint32_t k = 0; k < lines; ++k) __builtin_prefetch(line + k * 64);
}

// From this engine version on, file BLOB and link names are UTF-16.
constexpr int32_t kWideNamesVersion = 30000;
constexpr uint32_t kLinkNameAt = 9;

// Collects what a read delivers.
class TBytesStream final : public platform::TStream {
public:
  std::vector<uint8_t> Bytes;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    const auto* p = static_cast<const uint8_t*>(aBuffer);
    Bytes.insert(Bytes.end(), p, p + aCount);
    return aCount;
  }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return static_cast<int64_t>(Bytes.size()); }
};

// The first entry that ends past aOffset; the count when none does.
size_t FindEntry(const TnxDynBlobSegmentLinkItems& aItems, uint32_t aOffset) {
  return static_cast<size_t>(
      std::upper_bound(aItems.begin(), aItems.end(), aOffset,
                       [](uint32_t aOff, const TnxBlobSegmentLinkItem& aItem) { return aOff < aItem.bsliSegmentSize; }) -
      aItems.begin());
}

// FindEntry for the entries of a checked list over [aStart, its last end).
// Leaves are mostly of one size, so the offset's share of the range
// guesses the entry and a few steps correct it; a poor guess searches.
size_t GuessEntry(const TnxDynBlobSegmentLinkItems& aItems, uint32_t aStart, uint32_t aOffset) {
  const uint32_t end = aItems.back().bsliSegmentSize;
  if (aOffset >= end) return aItems.size();
  if (aOffset < aStart) return 0;
  size_t i = static_cast<size_t>(uint64_t{aOffset - aStart} * aItems.size() / (end - aStart));
  for (int step = 0; step < 4; ++step) {
    if (aItems[i].bsliSegmentSize <= aOffset)
      ++i;
    else if (i > 0 && aItems[i - 1].bsliSegmentSize > aOffset)
      --i;
    else
      return i;
  }
  return FindEntry(aItems, aOffset);
}

std::u16string WideName(const uint8_t* aFrom, uint32_t aBytes, bool aStopAtZero) {
  std::u16string name;
  for (uint32_t i = 0; i + 2 <= aBytes; i += 2) {
    const auto c = static_cast<char16_t>(aFrom[i] | (aFrom[i + 1] << 8));
    if (c == 0 && aStopAtZero) break;
    name.push_back(c);
  }
  return name;
}

std::u16string NarrowName(const uint8_t* aFrom, uint32_t aBytes, bool aStopAtZero) {
  uint32_t n = aBytes;
  if (aStopAtZero) n = static_cast<uint32_t>(std::find(aFrom, aFrom + aBytes, uint8_t{0}) - aFrom);
  return platform::CodePageToUnicode(std::string_view(reinterpret_cast<const char*>(aFrom), n),
                                     platform::SystemAnsiCodePage());
}

// Links are padded with zero characters; no table name holds one.
std::u16string WithoutTrailingZeros(std::u16string aName) {
  while (!aName.empty() && aName.back() == 0) aName.pop_back();
  return aName;
}

// The file name a file BLOB's root holds.
std::u16string FileBlobName(const uint8_t* aRoot, uint16_t aSize) {
  return aRoot[0] == nxbstFileBlob16 ? WideName(aRoot + 1, aSize - 1u, true) : NarrowName(aRoot + 1, aSize - 1u, true);
}

// The source table a link's root names.
std::u16string LinkTableName(const uint8_t* aRoot, uint16_t aSize) {
  return WithoutTrailingZeros(aRoot[0] == nxbstLink16 ? WideName(aRoot + kLinkNameAt, aSize - kLinkNameAt, false)
                                                      : NarrowName(aRoot + kLinkNameAt, aSize - kLinkNameAt, false));
}

// The length of a BLOB kept in the heap, from its checked root (empty,
// short, data or list).
uint32_t HeapBlobLength(const uint8_t* aRoot, uint16_t aSize) {
  switch (aRoot[0]) {
    case nxbstShort:
      return aRoot[12];
    case nxbstData:
      return aSize - 1u;
    case nxbstList:
      return LoadU32(aRoot + aSize - 4);
    default:
      return 0;
  }
}

}  // namespace

struct TnxSegmentedBlobEngine::TSegment {
  TnxBlockGuard Guard;
  uint8_t* P = nullptr;
  uint16_t Size = 0;
  TnxSegmentRef Seg = 0;
};

// The entries of a checked list where they lie in its segment.
struct TnxSegmentedBlobEngine::TList {
  const uint8_t* Entries;
  uint32_t Count;

  TnxHeapRef Ref(uint32_t aIndex) const noexcept {
    return static_cast<TnxHeapRef>(LoadU64(Entries + aIndex * nxBlobLinkItemSize));
  }
  uint32_t End(uint32_t aIndex) const noexcept { return LoadU32(Entries + aIndex * nxBlobLinkItemSize + 8); }
  // The first entry that ends past aOffset; the count when none does.
  uint32_t Find(uint32_t aOffset) const noexcept {
    uint32_t low = 0;
    uint32_t high = Count;
    while (low < high) {
      const uint32_t mid = low + (high - low) / 2;
      if (End(mid) > aOffset)
        high = mid;
      else
        low = mid + 1;
    }
    return low;
  }
};

struct TnxSegmentedBlobEngine::TWrite {
  TnxBaseTransaction& Trans;
  const uint8_t* Data;
  uint32_t Remaining;
  uint32_t Offset;

  void Advance(uint32_t aBytes) {
    Data += aBytes;
    Remaining -= aBytes;
    Offset += aBytes;
  }
};

// A list's checked entries, and below it the lists reads went through.
struct TnxSegmentedBlobEngine::TPathNode {
  TItems Items;
  std::vector<std::unique_ptr<TPathNode>> Lists;  // per entry; nil: a leaf or not read yet
};

// Which BLOB a read is of and what it sees: the counters only move on.
struct TnxSegmentedBlobEngine::TReadKey {
  TnxHeapRef Root = 0;
  const TnxBaseTransaction* Trans = nullptr;
  uint64_t Views = 0;
  uint64_t Copies = 0;
  uint64_t Changes = 0;

  bool operator==(const TReadKey&) const = default;
};

// What the BLOB read last looked like.
struct TnxSegmentedBlobEngine::TReadPath {
  TReadKey Key;
  size_t Entries = 0;  // entries held in all nodes
  TPathNode Top;
};

// Marks a change on both sides, so that a read that overlaps it is never
// remembered as current.
class TnxSegmentedBlobEngine::TChange {
public:
  explicit TChange(std::atomic<uint64_t>& aChanges) noexcept : fChanges(aChanges) {
    fChanges.fetch_add(1, std::memory_order_acq_rel);
  }
  ~TChange() { fChanges.fetch_add(1, std::memory_order_acq_rel); }
  TChange(const TChange&) = delete;
  TChange& operator=(const TChange&) = delete;

private:
  std::atomic<uint64_t>& fChanges;
};

namespace {

// The lists of about 1 GB of BLOB (6 MB held); reads beyond go through the
// blocks as before.
constexpr size_t kMaxRememberedEntries = size_t{1} << 18;

}  // namespace

TnxSegmentedBlobEngine::TnxSegmentedBlobEngine(const TnxSubEngineArgs& aArgs) : TnxBaseBlobEngine(aArgs) {
  auto* descriptor = dynamic_cast<TnxHeapBlobDescriptor*>(aArgs.Descriptor);
  if (!descriptor)
    throw EnxSegmentedBlobEngineException(nxeInvalidDescriptor, u"TnxHeapBlobDescriptor is required");
  if (!descriptor->HeapDescriptor())
    throw EnxSegmentedBlobEngineException(nxeInvalidDescriptor, u"A HeapDescriptor is required");
  {
    auto header = bbeBlobFile.HeaderAccess(aArgs.Trans, aArgs.Trans != nullptr);
    beHeaderSection = header->RegisterHeaderSection(descriptor->HeaderSection(), 4, aArgs.Trans != nullptr, false);
    if (aArgs.Trans) StoreU32(header->Header() + beHeaderSection, 0);
  }
  beHeapEngine = TnxBaseHeapEngine::CreateEngine(descriptor->HeapDescriptor(), bbeBlobFile, CreateHeapHeaderHandler());
  if (nxHeapRefsCounted(bseTableVersion)) bbeBlobNrMask = beHeapEngine->bheHeapRefMask;
}

TnxSegmentedBlobEngine::~TnxSegmentedBlobEngine() = default;

std::unique_ptr<TnxHeapHeaderHandler> TnxSegmentedBlobEngine::CreateHeapHeaderHandler() {
  return std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(beHeaderSection);
}

void TnxSegmentedBlobEngine::CheckValidDescriptor(TnxDictionaryItem& aDescriptor) {
  auto* descriptor = dynamic_cast<TnxHeapBlobDescriptor*>(&aDescriptor);
  if (!descriptor)
    throw EnxSegmentedBlobEngineException(nxeInvalidDescriptor,
                                          u"Blob descriptor must be a TnxHeapBlobDescriptor is required");
  if (!descriptor->HeapDescriptor())
    throw EnxSegmentedBlobEngineException(nxeInvalidDescriptor, u"A HeapDescriptor is required");
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(descriptor->HeapDescriptor());
}

void nxSegmentedBlobEngineStartup() { TnxSegmentedBlobEngine::ClassInfo().Register(nxDefaultStorageEngine); }
void nxSegmentedBlobEngineShutdown() noexcept { TnxSegmentedBlobEngine::ClassInfo().Unregister(); }

// ---- segments ----

void TnxSegmentedBlobEngine::RaiseDamaged() const {
  throw EnxSegmentedBlobEngineException(nxeBlobError, u"General BLOB error.");
}

void TnxSegmentedBlobEngine::RaiseReadOnly() const {
  throw EnxSegmentedBlobEngineException(nxeReadOnlyField, u"Trying to modify read-only field.");
}

void TnxSegmentedBlobEngine::GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aRef, bool aForChange,
                                        TSegment& aSegment) {
  aSegment.Guard.Release();
  PnxBlock block = nullptr;
  aSegment.P = beHeapEngine->GetSegment(aTrans, aRef & beHeapEngine->bheHeapRefMask, aForChange, aSegment.Size, block,
                                        aSegment.Guard.ReleaseMethod());
  aSegment.Guard.Hold(block);
  aSegment.Seg = nxHeapRefSegment(aRef & beHeapEngine->bheHeapRefMask);
  if (aSegment.Size == 0) RaiseDamaged();
}

void TnxSegmentedBlobEngine::GetRoot(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aForChange, TSegment& aRoot) {
  GetSegment(aTrans, RootRef(aBlobNr), aForChange, aRoot);
  const uint8_t* p = aRoot.P;
  switch (p[0]) {
    case nxbstEmpty:
    case nxbstData:
      if (aRoot.Size < nxBlobRootSize) RaiseDamaged();
      break;
    case nxbstShort:
      if (aRoot.Size < nxBlobRootSize || p[12] == 0 || p[12] > 11) RaiseDamaged();
      break;
    case nxbstList:
      if (aRoot.Size < nxBlobRootSize || (aRoot.Size - 1) % nxBlobLinkItemSize != 0) RaiseDamaged();
      break;
    case nxbstLink8:
    case nxbstLink16:
      if (aRoot.Size < kLinkNameAt) RaiseDamaged();
      break;
    default:
      break;
  }
}

TnxSegmentedBlobEngine::TList TnxSegmentedBlobEngine::CheckList(const TSegment& aList, uint32_t aStart,
                                                                 uint32_t aEnd) const {
  if (aList.P[0] != nxbstList || aList.Size < nxBlobRootSize || (aList.Size - 1) % nxBlobLinkItemSize != 0)
    RaiseDamaged();
  const TList list{aList.P + 1, (aList.Size - 1u) / nxBlobLinkItemSize};
  // Ends rise, so every child holds at least one byte of its range. The
  // list is checked whole on every visit, so the pass has no branch: an
  // end at or below the one before it sets the top bit of its 64-bit step.
  uint64_t previous = aStart;
  uint64_t steps = 0;
#pragma GCC unroll 4
  for (uint32_t i = 0; i < list.Count; ++i) {
    const uint64_t end = list.End(i);
    steps |= end - previous - 1;
    previous = end;
  }
  if ((steps >> 63) != 0 || previous != aEnd) RaiseDamaged();
  return list;
}

TnxSegmentedBlobEngine::TItems TnxSegmentedBlobEngine::LoadItems(const TSegment& aList, uint32_t aStart,
                                                                 uint32_t aEnd) const {
  const TList list = CheckList(aList, aStart, aEnd);
  TItems items(list.Count);
  for (uint32_t i = 0; i < list.Count; ++i) items[i] = {list.Ref(i), list.End(i)};
  return items;
}

void TnxSegmentedBlobEngine::StoreItems(uint8_t* aTo, const TItems& aItems, size_t aFirst) {
  for (size_t i = aFirst; i < aItems.size(); ++i) {
    uint8_t* at = aTo + (i - aFirst) * nxBlobLinkItemSize;
    StoreU64(at, static_cast<uint64_t>(aItems[i].bsliSegmentRef));
    StoreU32(at + 8, aItems[i].bsliSegmentSize);
  }
}

TnxHeapRef TnxSegmentedBlobEngine::AllocWhole(TnxBaseTransaction& aTrans, const std::vector<uint8_t>& aBytes) {
  // Checked before the heap is asked: nothing is taken for a name too long.
  if (aBytes.size() > beHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize)
    throw EnxSegmentedBlobEngineException(nxeInvalidParameter, u"Invalid parameter.");
  const void* parts[] = {aBytes.data()};
  const uint16_t sizes[] = {static_cast<uint16_t>(aBytes.size())};
  const TnxHeapRef ref = beHeapEngine->AllocSegment(aTrans, parts, sizes);
  if (ref == 0) RaiseDamaged();
  return ref;
}

void TnxSegmentedBlobEngine::FreeSegment(TnxBaseTransaction& aTrans, TnxHeapRef aRef) {
  TSegment segment;
  GetSegment(&aTrans, aRef, true, segment);
  // The heap may delete the block now; it is only released afterwards.
  beHeapEngine->bheBlockHeapEngine->FreeSegment(segment.Guard.Block(), segment.Seg);
}

bool TnxSegmentedBlobEngine::ResizeInPlace(TSegment& aSegment, uint32_t aNewSize) {
  if (aNewSize > beHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize) return false;
  if (aNewSize == aSegment.Size) return true;
  uint8_t* p = beHeapEngine->bheBlockHeapEngine->ReAllocSegment(aSegment.Guard.Block(), static_cast<uint16_t>(aNewSize),
                                                                 aSegment.Seg);
  if (!p) return false;
  aSegment.P = p;
  aSegment.Size = static_cast<uint16_t>(aNewSize);
  return true;
}

uint16_t TnxSegmentedBlobEngine::FreeSpaceOf(const TSegment& aSegment) const {
  return beHeapEngine->bheBlockHeapEngine->GetFreespace(aSegment.Guard.Block());
}

// ---- creating ----

void TnxSegmentedBlobEngine::AddBlob(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr) {
  const TChange change(beChanges);
  aBlobNr = AllocWhole(aTrans, std::vector<uint8_t>(nxBlobRootSize, 0));
}

void TnxSegmentedBlobEngine::AddBlobLink(TnxBaseTransaction& aTrans, std::u16string_view aTableName,
                                         TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) {
  const TChange change(beChanges);
  std::vector<uint8_t> bytes(kLinkNameAt);
  StoreU64(bytes.data() + 1, static_cast<uint64_t>(aTableBlobNr));
  if (bseTableVersion >= kWideNamesVersion) {
    bytes[0] = nxbstLink16;
    for (char16_t c : aTableName) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
  } else {
    bytes[0] = nxbstLink8;
    const std::string name = platform::UnicodeToCodePageLossy(aTableName, platform::SystemAnsiCodePage());
    bytes.insert(bytes.end(), name.begin(), name.end());
  }
  // Every root may be emptied in place by Truncate, so links too take at
  // least a root's size; the zero characters are dropped when read.
  if (bytes.size() < nxBlobRootSize) bytes.resize(nxBlobRootSize, 0);
  aBlobNr = AllocWhole(aTrans, bytes);
}

void TnxSegmentedBlobEngine::AddFileBlob(TnxBaseTransaction& aTrans, std::u16string_view aFileName,
                                         TnxBlobNr& aBlobNr) {
  const TChange change(beChanges);
  std::vector<uint8_t> bytes(1);
  if (bseTableVersion >= kWideNamesVersion) {
    bytes[0] = nxbstFileBlob16;
    std::u16string name(aFileName);
    if (name.size() < 6) name.append(12 - name.size() / 2, u'\0');
    for (char16_t c : name) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
  } else {
    bytes[0] = nxbstFileBlob8;
    std::string name = platform::UnicodeToCodePageLossy(aFileName, platform::SystemAnsiCodePage());
    if (name.size() < 12) name.resize(12, '\0');
    bytes.insert(bytes.end(), name.begin(), name.end());
  }
  aBlobNr = AllocWhole(aTrans, bytes);
}

// ---- reading ----

uint32_t TnxSegmentedBlobEngine::GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                               const TnxBlobLinkGetLength& aLengthMethod, uint32_t& aLength) {
  aLength = 0;
  TSegment root;
  GetRoot(aTrans, aBlobNr, false, root);
  const uint8_t* p = root.P;
  switch (p[0]) {
    case nxbstEmpty:
    case nxbstShort:
    case nxbstData:
    case nxbstList:
      aLength = HeapBlobLength(p, root.Size);
      return 0;
    case nxbstFileBlob8:
    case nxbstFileBlob16: {
      const std::u16string name = FileBlobName(p, root.Size);
      root.Guard.Release();
      return GetFileBlobSize(name, aLength);
    }
    case nxbstLink8:
    case nxbstLink16: {
      const auto number = static_cast<TnxBlobNr>(LoadU64(p + 1));
      const std::u16string name = LinkTableName(p, root.Size);
      root.Guard.Release();
      if (!aLengthMethod) return nxeBlobError;
      return aLengthMethod(name, number, aLength);
    }
    default:
      return nxeBlobError;
  }
}

bool TnxSegmentedBlobEngine::IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aFileName) {
  aFileName.clear();
  TSegment root;
  GetRoot(aTrans, aBlobNr, false, root);
  if (root.P[0] != nxbstFileBlob8 && root.P[0] != nxbstFileBlob16) return false;
  aFileName = FileBlobName(root.P, root.Size);
  return true;
}

bool TnxSegmentedBlobEngine::IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aSrcTableName,
                                        TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  aSrcTableBlobNr = 0;
  TSegment root;
  GetRoot(aTrans, aBlobNr, false, root);
  const uint8_t* p = root.P;
  if (p[0] != nxbstLink8 && p[0] != nxbstLink16) return false;
  aSrcTableBlobNr = static_cast<TnxBlobNr>(LoadU64(p + 1));
  aSrcTableName = LinkTableName(p, root.Size);
  return true;
}

uint32_t TnxSegmentedBlobEngine::Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                      const TnxBlobLinkRead& aReadMethod, platform::TStream& aStream) {
  // Another thread's read holds the remembered lists: this one walks.
  std::unique_lock<std::mutex> remembering(beReadPathLock, std::try_to_lock);
  TReadKey key;
  if (remembering) {
    key.Root = RootRef(aBlobNr);
    key.Trans = aTrans;
    key.Views = bbeBlobFile.BufferManager().Views();
    key.Copies = aTrans ? aTrans->Copies() : 0;
    key.Changes = beChanges.load(std::memory_order_acquire);
    if (beReadPath && beReadPath->Key == key) {
      ReadRemembered(aTrans, aOffset, aLen, aStream);
      return 0;
    }
  }
  TSegment root;
  GetRoot(aTrans, aBlobNr, false, root);
  const uint8_t* p = root.P;
  // A link may lead back into this engine.
  if (p[0] != nxbstList && remembering) remembering.unlock();
  switch (p[0]) {
    case nxbstEmpty:
      return 0;
    case nxbstShort:
    case nxbstData: {
      const uint32_t length = HeapBlobLength(p, root.Size);
      if (aOffset <= length) {
        const uint32_t n = std::min(length - aOffset, aLen);
        if (n > 0) aStream.WriteBuffer(p + 1 + aOffset, n);
      }
      return 0;
    }
    case nxbstList: {
      // Each list on the way down stays held while its children are read,
      // so it is checked once per call however many pieces it covers.
      const TList list = CheckList(root, 0, LoadU32(p + root.Size - 4));
      if (remembering) {
        auto path = std::make_unique<TReadPath>();
        path->Key = key;
        path->Top.Items.resize(list.Count);
        for (uint32_t i = 0; i < list.Count; ++i) path->Top.Items[i] = {list.Ref(i), list.End(i)};
        path->Top.Lists.resize(list.Count);
        path->Entries = list.Count;
        root.Guard.Release();
        beReadPath = std::move(path);
        ReadRemembered(aTrans, aOffset, aLen, aStream);
        return 0;
      }
      uint32_t remaining = aLen;
      uint32_t offset = aOffset;
      ReadList(aTrans, list, 0, 1, aStream, remaining, offset, false);
      return 0;
    }
    case nxbstFileBlob8:
    case nxbstFileBlob16: {
      const std::u16string name = FileBlobName(p, root.Size);
      root.Guard.Release();
      return ReadFileBlobData(name, aOffset, aStream, aLen);
    }
    case nxbstLink8:
    case nxbstLink16: {
      const auto number = static_cast<TnxBlobNr>(LoadU64(p + 1));
      const std::u16string name = LinkTableName(p, root.Size);
      root.Guard.Release();
      if (!aReadMethod) return nxeBlobError;
      return aReadMethod(name, number, aOffset, aLen, aStream);
    }
    default:
      return nxeBlobError;
  }
}

void TnxSegmentedBlobEngine::ReadRemembered(TnxBaseTransaction* aTrans, uint32_t aOffset, uint32_t aLen,
                                            platform::TStream& aStream) {
  uint32_t remaining = aLen;
  uint32_t offset = aOffset;
  try {
    ReadNode(aTrans, *beReadPath, beReadPath->Top, 0, 1, aStream, remaining, offset, false);
  } catch (...) {
    // Half-loaded lists or damage found: the next read starts from the root.
    beReadPath.reset();
    throw;
  }
}

void TnxSegmentedBlobEngine::ReadNode(TnxBaseTransaction* aTrans, TReadPath& aPath, TPathNode& aNode, uint32_t aStart,
                                      uint32_t aDepth, platform::TStream& aStream, uint32_t& aRemaining,
                                      uint32_t& aOffset, bool aClamp) {
  const TItems& items = aNode.Items;
  size_t i = GuessEntry(items, aStart, aOffset);
  if (i == items.size()) {
    if (!aClamp) return;
    i = items.size() - 1;
  }
  {
    // The blocks of the leaves ahead, as a walk asks for them.
    std::array<TnxBlockNumber, 32> numbers;
    size_t n = 0;
    const uint64_t readEnd = uint64_t{aOffset} + aRemaining;
    for (size_t k = i; k < items.size() && n < numbers.size(); ++k) {
      if (!aNode.Lists[k]) numbers[n++] = nxHeapRefBlock(items[k].bsliSegmentRef & beHeapEngine->bheHeapRefMask);
      if (items[k].bsliSegmentSize >= readEnd) break;
    }
    if (n > 1) beHeapEngine->bheDataFile->PrefetchBlocks(std::span(numbers.data(), n));
  }
  TSegment segments[2];
  bool fetched = false;  // segments[i % 2] holds child i already
  for (; aRemaining > 0 && i < items.size(); ++i) {
    const uint32_t start = i == 0 ? aStart : items[i - 1].bsliSegmentSize;
    const uint32_t end = items[i].bsliSegmentSize;
    if (aNode.Lists[i]) {
      ReadNode(aTrans, aPath, *aNode.Lists[i], start, aDepth + 1, aStream, aRemaining, aOffset, true);
      continue;
    }
    TSegment& segment = segments[i % 2];
    if (!fetched) {
      if (aDepth > nxMaxBlobTreeDepth) RaiseDamaged();
      GetSegment(aTrans, items[i].bsliSegmentRef, false, segment);
      PrefetchPiece(segment.P, segment.Size, start, aOffset, aRemaining);
    }
    fetched = false;
    if (segment.P[0] == nxbstList) {
      const TList list = CheckList(segment, start, end);
      if (aPath.Entries + list.Count > kMaxRememberedEntries) {
        ReadList(aTrans, list, start, aDepth + 1, aStream, aRemaining, aOffset, true);
        segment.Guard.Release();
        continue;
      }
      auto node = std::make_unique<TPathNode>();
      node->Items.resize(list.Count);
      for (uint32_t k = 0; k < list.Count; ++k) node->Items[k] = {list.Ref(k), list.End(k)};
      node->Lists.resize(list.Count);
      segment.Guard.Release();
      aPath.Entries += list.Count;
      aNode.Lists[i] = std::move(node);
      ReadNode(aTrans, aPath, *aNode.Lists[i], start, aDepth + 1, aStream, aRemaining, aOffset, true);
      continue;
    }
    if (segment.P[0] == nxbstData && i + 1 < items.size() && !aNode.Lists[i + 1] && aOffset <= end &&
        aRemaining > end - aOffset) {
      TSegment& next = segments[(i + 1) % 2];
      GetSegment(aTrans, items[i + 1].bsliSegmentRef, false, next);
      PrefetchPiece(next.P, next.Size, end, end, aRemaining - (end - aOffset));
      fetched = true;
    }
    ReadSegment(aTrans, segment, start, end, aDepth, aStream, aRemaining, aOffset);
    segment.Guard.Release();
  }
}

void TnxSegmentedBlobEngine::ReadList(TnxBaseTransaction* aTrans, const TList& aList, uint32_t aStart,
                                      uint32_t aDepth, platform::TStream& aStream, uint32_t& aRemaining,
                                      uint32_t& aOffset, bool aClamp) {
  uint32_t i = aList.Find(aOffset);
  if (i == aList.Count) {
    if (!aClamp) return;
    i = aList.Count - 1;
  }
  // Leaves lie anywhere in memory, so the copy of each would start with a
  // stall: the blocks of the children the read covers are asked for first,
  // the next child is fetched before a leaf is copied, and the lines a read
  // copies are asked for as soon as their leaf is fetched. A child is fetched
  // only when the read goes on there.
  PrefetchChildren(aList, i, aOffset, aRemaining);
  TSegment segments[2];
  bool fetched = false;  // segments[i % 2] holds child i already
  for (; aRemaining > 0 && i < aList.Count; ++i) {
    const uint32_t start = i == 0 ? aStart : aList.End(i - 1);
    const uint32_t end = aList.End(i);
    TSegment& segment = segments[i % 2];
    if (!fetched) {
      if (aDepth > nxMaxBlobTreeDepth) RaiseDamaged();
      GetSegment(aTrans, aList.Ref(i), false, segment);
      PrefetchPiece(segment.P, segment.Size, start, aOffset, aRemaining);
    }
    fetched = false;
    if (segment.P[0] == nxbstData && i + 1 < aList.Count && aOffset <= end && aRemaining > end - aOffset) {
      TSegment& next = segments[(i + 1) % 2];
      GetSegment(aTrans, aList.Ref(i + 1), false, next);
      PrefetchPiece(next.P, next.Size, end, end, aRemaining - (end - aOffset));
      fetched = true;
    }
    ReadSegment(aTrans, segment, start, end, aDepth, aStream, aRemaining, aOffset);
    segment.Guard.Release();
  }
}

void TnxSegmentedBlobEngine::PrefetchChildren(const TList& aList, uint32_t aFirst, uint32_t aOffset,
                                              uint32_t aRemaining) {
  // One child is taken at once anyway; for more, their blocks' misses
  // come together instead of one fetch after another.
  std::array<TnxBlockNumber, 32> numbers;
  size_t n = 0;
  const uint64_t readEnd = uint64_t{aOffset} + aRemaining;
  for (uint32_t i = aFirst; i < aList.Count && n < numbers.size(); ++i) {
    numbers[n++] = nxHeapRefBlock(aList.Ref(i) & beHeapEngine->bheHeapRefMask);
    if (aList.End(i) >= readEnd) break;
  }
  if (n > 1) beHeapEngine->bheDataFile->PrefetchBlocks(std::span(numbers.data(), n));
}

void TnxSegmentedBlobEngine::ReadTree(TnxBaseTransaction* aTrans, TnxHeapRef aRef, uint32_t aStart, uint32_t aEnd,
                                      uint32_t aDepth, platform::TStream& aStream, uint32_t& aRemaining,
                                      uint32_t& aOffset) {
  if (aDepth > nxMaxBlobTreeDepth) RaiseDamaged();
  TSegment segment;
  GetSegment(aTrans, aRef, false, segment);
  ReadSegment(aTrans, segment, aStart, aEnd, aDepth, aStream, aRemaining, aOffset);
}

void TnxSegmentedBlobEngine::ReadSegment(TnxBaseTransaction* aTrans, const TSegment& aSegment, uint32_t aStart,
                                         uint32_t aEnd, uint32_t aDepth, platform::TStream& aStream,
                                         uint32_t& aRemaining, uint32_t& aOffset) {
  if (aSegment.P[0] == nxbstData) {
    if (aSegment.Size - 1u != aEnd - aStart || aOffset < aStart || aOffset > aEnd) RaiseDamaged();
    const uint32_t n = std::min(aRemaining, aEnd - aOffset);
    if (n > 0) aStream.WriteBuffer(aSegment.P + 1 + (aOffset - aStart), n);
    aRemaining -= n;
    aOffset += n;
    return;
  }
  ReadList(aTrans, CheckList(aSegment, aStart, aEnd), aStart, aDepth + 1, aStream, aRemaining, aOffset, true);
}

// ---- writing ----

TnxSegmentedBlobEngine::TItems TnxSegmentedBlobEngine::MakeLeaves(TnxBaseTransaction& aTrans, const uint8_t* aFirst,
                                                                  uint32_t aFirstLen, const uint8_t* aSecond,
                                                                  uint32_t aSecondLen, uint32_t aStart) {
  TItems items;
  uint32_t end = aStart;
  const uint8_t type = nxbstData;
  while (aFirstLen + uint64_t{aSecondLen} > 0) {
    if (items.size() % 256 == 255) nxCheckTimeout();
    const void* parts[] = {&type, aFirst, aSecond};
    const uint32_t sizes[] = {1, aFirstLen, aSecondLen};
    uint16_t size = 0;
    const TnxHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, parts, sizes, 2, size, 0, 1, false);
    if (ref == 0 || size < 2) RaiseDamaged();
    uint32_t took = size - 1u;
    end += took;
    items.push_back({ref, end});
    const uint32_t fromFirst = std::min(took, aFirstLen);
    aFirst += fromFirst;
    aFirstLen -= fromFirst;
    took -= fromFirst;
    aSecond += took;
    aSecondLen -= took;
  }
  return items;
}

void TnxSegmentedBlobEngine::BuildListLevel(TnxBaseTransaction& aTrans, TItems& aItems) {
  TItems level;
  std::vector<uint8_t> bytes(aItems.size() * nxBlobLinkItemSize);
  StoreItems(bytes.data(), aItems);
  const uint8_t type = nxbstList;
  size_t at = 0;
  while (at < aItems.size()) {
    const void* parts[] = {&type, bytes.data() + at * nxBlobLinkItemSize};
    const uint32_t sizes[] = {1, static_cast<uint32_t>((aItems.size() - at) * nxBlobLinkItemSize)};
    uint16_t size = 0;
    const TnxHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, parts, sizes, nxBlobRootSize, size, 1,
                                                        nxBlobLinkItemSize, true);
    if (ref == 0 || size < nxBlobRootSize) RaiseDamaged();
    const size_t k = (size - 1u) / nxBlobLinkItemSize;
    at += k;
    level.push_back({ref, aItems[at - 1].bsliSegmentSize});
  }
  aItems = std::move(level);
}

void TnxSegmentedBlobEngine::Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                   const void* aBlob) {
  const TChange change(beChanges);
  TSegment root;
  GetRoot(&aTrans, aBlobNr, true, root);
  const uint8_t type = root.P[0];
  uint32_t length = 0;
  switch (type) {
    case nxbstEmpty:
    case nxbstShort:
    case nxbstData:
    case nxbstList:
      length = HeapBlobLength(root.P, root.Size);
      break;
    case nxbstFileBlob8:
    case nxbstFileBlob16:
    case nxbstLink8:
    case nxbstLink16:
      RaiseReadOnly();
    default:
      RaiseDamaged();
  }
  if (aOffset > length)
    throw EnxSegmentedBlobEngineException(
        nxeInvalidBlobOffset, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile.fiName(), RootRef(aBlobNr), aOffset, length});
  if (aLen == 0) return;
  // Ends are kept in 32 bits; a wrapped one would point into the BLOB.
  if (uint64_t{aOffset} + aLen > UINT32_MAX)
    throw EnxSegmentedBlobEngineException(nxeBlobTooLarge, u"BLOB size exceeds maximum size.");
  const auto* blob = static_cast<const uint8_t*>(aBlob);
  const uint32_t newLength = std::max(aOffset + aLen, length);
  const uint32_t maxSegment = beHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize;

  if (type != nxbstList) {
    if (newLength <= 11) {
      std::memcpy(root.P + 1 + aOffset, blob, aLen);
      root.P[12] = static_cast<uint8_t>(newLength);
      root.P[0] = nxbstShort;
      return;
    }
    if (newLength + 1 <= maxSegment &&
        (newLength == length || uint32_t{root.Size} + FreeSpaceOf(root) >= newLength + 1) &&
        ResizeInPlace(root, std::max<uint32_t>(newLength + 1, root.Size))) {
      std::memcpy(root.P + 1 + aOffset, blob, aLen);
      root.P[0] = nxbstData;
      return;
    }
    // A list: the bytes before the write and the written ones become leaves.
    std::vector<uint8_t> saved(root.P + 1, root.P + 1 + aOffset);
    root.Guard.Release();
    TItems items = MakeLeaves(aTrans, saved.data(), aOffset, blob, aLen, 0);
    GetRoot(&aTrans, aBlobNr, true, root);
    FitItemsInRoot(aTrans, aBlobNr, root, items);
    root.P[0] = nxbstList;
    StoreItems(root.P + 1, items);
    return;
  }

  TItems items = LoadItems(root, 0, length);
  const size_t oldCount = items.size();
  // The tree below may share the root's block.
  root.Guard.Release();
  TWrite write{aTrans, blob, aLen, aOffset};
  size_t first = WriteItems(write, items, 0, true, 1);
  GetRoot(&aTrans, aBlobNr, true, root);
  // Old and new entries go one level deeper until the root holds them.
  if (items.size() != oldCount && FitItemsInRoot(aTrans, aBlobNr, root, items)) first = 0;
  root.P[0] = nxbstList;
  StoreItems(root.P + 1 + first * nxBlobLinkItemSize, items, first);
}

bool TnxSegmentedBlobEngine::FitItemsInRoot(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, TSegment& aRoot,
                                            TItems& aItems) {
  bool deeper = false;
  while (aItems.size() * nxBlobLinkItemSize + 1 > aRoot.Size &&
         !ResizeInPlace(aRoot, static_cast<uint32_t>(aItems.size() * nxBlobLinkItemSize + 1))) {
    // The new level may land in the root's block, and packing that block
    // to make room moves the root's bytes: a pointer held across it would
    // write over whatever lies there afterwards.
    aRoot.Guard.Release();
    BuildListLevel(aTrans, aItems);
    deeper = true;
    GetRoot(&aTrans, aBlobNr, true, aRoot);
  }
  ResizeInPlace(aRoot, static_cast<uint32_t>(aItems.size() * nxBlobLinkItemSize + 1));
  return deeper;
}

size_t TnxSegmentedBlobEngine::WriteItems(TWrite& aWrite, TItems& aItems, uint32_t aStart, bool aIsLast,
                                          uint32_t aDepth) {
  const size_t first = std::min(FindEntry(aItems, aWrite.Offset), aItems.size() - 1);
  size_t i = first;
  for (; aWrite.Remaining > 0 && i < aItems.size(); ++i) {
    const uint32_t start = i == 0 ? aStart : aItems[i - 1].bsliSegmentSize;
    const bool last = aIsLast && i + 1 == aItems.size();
    TItems fresh;
    WriteSegment(aWrite, aItems[i], start, last, aDepth, fresh);
    // Only a last child hands up new siblings, and only once all is written.
    if (!fresh.empty()) aItems.insert(aItems.end(), fresh.begin(), fresh.end());
  }
  return first;
}

void TnxSegmentedBlobEngine::WriteSegment(TWrite& aWrite, TnxBlobSegmentLinkItem& aItem, uint32_t aStart, bool aIsLast,
                                          uint32_t aDepth, TItems& aNew) {
  if (aDepth > nxMaxBlobTreeDepth) RaiseDamaged();
  const uint32_t end = aItem.bsliSegmentSize;
  TSegment segment;
  GetSegment(&aWrite.Trans, aItem.bsliSegmentRef, true, segment);
  if (segment.P[0] == nxbstData) {
    if (segment.Size - 1u != end - aStart || aWrite.Offset < aStart || aWrite.Offset > end) RaiseDamaged();
    const uint32_t p = aWrite.Offset - aStart;
    const uint32_t room = segment.Size - 1u - p;
    if (!aIsLast || room >= aWrite.Remaining) {
      const uint32_t n = std::min(aWrite.Remaining, room);
      std::memcpy(segment.P + 1 + p, aWrite.Data, n);
      aWrite.Advance(n);
      return;
    }
    // The last leaf grows as far as its block lets it, then new leaves follow.
    const void* parts[] = {nullptr, aWrite.Data};
    const uint32_t sizes[] = {p + 1, aWrite.Remaining};
    uint16_t size = 0;
    const TnxHeapRef ref = beHeapEngine->ReAllocSegmentEx(aWrite.Trans, segment.Guard.Block(), segment.Seg, parts,
                                                          sizes, segment.Size, size, 0, 1, false);
    segment.Guard.Release();
    if (ref == 0 || size < p + 1) RaiseDamaged();
    aItem.bsliSegmentRef = ref;
    aItem.bsliSegmentSize = aStart + size - 1u;
    aWrite.Advance(size - (p + 1));
    if (aWrite.Remaining > 0) {
      TItems leaves = MakeLeaves(aWrite.Trans, nullptr, 0, aWrite.Data, aWrite.Remaining, aWrite.Offset);
      aWrite.Advance(aWrite.Remaining);
      aNew.insert(aNew.end(), leaves.begin(), leaves.end());
    }
    return;
  }
  TItems items = LoadItems(segment, aStart, end);
  const size_t oldCount = items.size();
  segment.Guard.Release();
  const size_t first = WriteItems(aWrite, items, aStart, aIsLast, aDepth + 1);
  GetSegment(&aWrite.Trans, aItem.bsliSegmentRef, true, segment);
  if (items.size() == oldCount) {
    StoreItems(segment.P + 1 + first * nxBlobLinkItemSize, items, first);
    aItem.bsliSegmentSize = items.back().bsliSegmentSize;
    return;
  }
  segment.Guard.Release();
  AppendToList(aWrite.Trans, aItem, items, first, aNew);
}

void TnxSegmentedBlobEngine::AppendToList(TnxBaseTransaction& aTrans, TnxBlobSegmentLinkItem& aItem, TItems& aItems,
                                          size_t aFirstChanged, TItems& aNew) {
  TSegment segment;
  GetSegment(&aTrans, aItem.bsliSegmentRef, true, segment);
  const auto want = static_cast<uint32_t>(aItems.size() * nxBlobLinkItemSize + 1);
  if (ResizeInPlace(segment, want)) {
    // Growing in place keeps the bytes: the entries before the write stand.
    StoreItems(segment.P + 1 + aFirstChanged * nxBlobLinkItemSize, aItems, aFirstChanged);
    aItem.bsliSegmentSize = aItems.back().bsliSegmentSize;
    return;
  }
  // Moved to a block with room for as many as fit; the rest goes up.
  std::vector<uint8_t> bytes(want);
  bytes[0] = nxbstList;
  StoreItems(bytes.data() + 1, aItems);
  const void* parts[] = {bytes.data()};
  const uint32_t sizes[] = {want};
  uint16_t size = 0;
  const TnxHeapRef ref = beHeapEngine->ReAllocSegmentEx(aTrans, segment.Guard.Block(), segment.Seg, parts, sizes,
                                                        segment.Size, size, 1, nxBlobLinkItemSize, true);
  segment.Guard.Release();
  if (ref == 0 || size < nxBlobRootSize) RaiseDamaged();
  const size_t kept = std::min<size_t>((size - 1u) / nxBlobLinkItemSize, aItems.size());
  aItem.bsliSegmentRef = ref;
  aItem.bsliSegmentSize = aItems[kept - 1].bsliSegmentSize;
  TItems rest(aItems.begin() + static_cast<ptrdiff_t>(kept), aItems.end());
  if (rest.empty()) return;
  BuildListLevel(aTrans, rest);
  aNew.insert(aNew.end(), rest.begin(), rest.end());
}

// ---- truncating and deleting ----

void TnxSegmentedBlobEngine::Truncate(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) {
  const TChange change(beChanges);
  TSegment root;
  GetRoot(&aTrans, aBlobNr, true, root);
  const uint8_t type = root.P[0];
  uint32_t length = 0;
  switch (type) {
    case nxbstEmpty:
    case nxbstShort:
    case nxbstData:
    case nxbstList:
      length = HeapBlobLength(root.P, root.Size);
      break;
    case nxbstFileBlob8:
    case nxbstFileBlob16:
    case nxbstLink8:
    case nxbstLink16:
      length = root.Size - 1u;
      if (aLen != 0) RaiseReadOnly();
      break;
    default:
      RaiseDamaged();
  }
  if (aLen > length)
    throw EnxSegmentedBlobEngineException(
        nxeInvalidBlobLength, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile.fiName(), RootRef(aBlobNr), aLen, length});
  if (aLen == length) return;
  if (type == nxbstList) {
    root.Guard.Release();
    TruncateList(aTrans, aBlobNr, aLen);
    return;
  }
  if (aLen >= 12) {
    ResizeInPlace(root, aLen + 1);
    return;
  }
  // A short link grows here; links this engine writes are never short.
  if (!ResizeInPlace(root, nxBlobRootSize)) RaiseDamaged();
  if (aLen == 0) {
    std::memset(root.P, 0, nxBlobRootSize);
  } else {
    root.P[0] = nxbstShort;
    root.P[12] = static_cast<uint8_t>(aLen);
  }
}

void TnxSegmentedBlobEngine::TruncateList(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) {
  TSegment root;
  GetRoot(&aTrans, aBlobNr, true, root);
  TItems items = LoadItems(root, 0, LoadU32(root.P + root.Size - 4));
  root.Guard.Release();
  TruncateItems(aTrans, items, 0, aLen, 1);
  GetRoot(&aTrans, aBlobNr, true, root);
  if (items.empty()) {
    ResizeInPlace(root, nxBlobRootSize);
    std::memset(root.P, 0, nxBlobRootSize);
    return;
  }
  const uint32_t maxSegment = beHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize;
  if (items.size() == 1) {
    const uint32_t inlineSize = std::max<uint32_t>(aLen + 1, nxBlobRootSize);
    if (aLen + 1 <= maxSegment && ResizeInPlace(root, std::max<uint32_t>(inlineSize, root.Size))) {
      // Back inline: the bytes first, then the subtree goes.
      root.Guard.Release();
      TBytesStream bytes;
      uint32_t remaining = aLen;
      uint32_t offset = 0;
      ReadTree(&aTrans, items[0].bsliSegmentRef, 0, items[0].bsliSegmentSize, 1, bytes, remaining, offset);
      TruncateSegment(aTrans, items[0], 0, 0, 1);
      // Its size is already the inline one, which a list cannot have.
      GetSegment(&aTrans, RootRef(aBlobNr), true, root);
      ResizeInPlace(root, inlineSize);
      std::memcpy(root.P + 1, bytes.Bytes.data(), bytes.Bytes.size());
      if (aLen < 12) {
        root.P[0] = nxbstShort;
        root.P[12] = static_cast<uint8_t>(aLen);
      } else {
        root.P[0] = nxbstData;
      }
      return;
    }
    // One list below a list of one: its entries move up while they fit.
    for (uint32_t depth = 1; items.size() == 1 && depth <= nxMaxBlobTreeDepth; ++depth) {
      TSegment child;
      GetSegment(&aTrans, items[0].bsliSegmentRef, true, child);
      if (child.P[0] != nxbstList) break;
      TItems inner = LoadItems(child, 0, items[0].bsliSegmentSize);
      child.Guard.Release();
      if (!ResizeInPlace(root, static_cast<uint32_t>(std::max<size_t>(inner.size() * nxBlobLinkItemSize + 1,
                                                                         root.Size))))
        break;
      root.Guard.Release();
      FreeSegment(aTrans, items[0].bsliSegmentRef);
      items = std::move(inner);
      GetSegment(&aTrans, RootRef(aBlobNr), true, root);
    }
  }
  ResizeInPlace(root, static_cast<uint32_t>(items.size() * nxBlobLinkItemSize + 1));
  root.P[0] = nxbstList;
  StoreItems(root.P + 1, items);
}

void TnxSegmentedBlobEngine::TruncateItems(TnxBaseTransaction& aTrans, TItems& aItems, uint32_t aStart, uint32_t aLen,
                                           uint32_t aDepth) {
  for (size_t i = aItems.size(); i > 0 && aItems[i - 1].bsliSegmentSize > aLen; --i) {
    const uint32_t start = i == 1 ? aStart : aItems[i - 2].bsliSegmentSize;
    if (TruncateSegment(aTrans, aItems[i - 1], start, aLen, aDepth))
      aItems.erase(aItems.begin() + static_cast<ptrdiff_t>(i - 1));
  }
}

bool TnxSegmentedBlobEngine::TruncateSegment(TnxBaseTransaction& aTrans, TnxBlobSegmentLinkItem& aItem,
                                             uint32_t aStart, uint32_t aLen, uint32_t aDepth) {
  if (aDepth > nxMaxBlobTreeDepth) RaiseDamaged();
  const uint32_t end = aItem.bsliSegmentSize;
  TSegment segment;
  GetSegment(&aTrans, aItem.bsliSegmentRef, true, segment);
  if (segment.P[0] == nxbstData) {
    if (segment.Size - 1u != end - aStart) RaiseDamaged();
    const uint32_t cut = end - std::max(aLen, aStart);
    if (cut >= segment.Size - 1u) {
      beHeapEngine->bheBlockHeapEngine->FreeSegment(segment.Guard.Block(), segment.Seg);
      return true;
    }
    ResizeInPlace(segment, segment.Size - cut);
    aItem.bsliSegmentSize = end - cut;
    return false;
  }
  TItems items = LoadItems(segment, aStart, end);
  segment.Guard.Release();
  TruncateItems(aTrans, items, aStart, aLen, aDepth + 1);
  if (items.empty()) {
    FreeSegment(aTrans, aItem.bsliSegmentRef);
    return true;
  }
  GetSegment(&aTrans, aItem.bsliSegmentRef, true, segment);
  ResizeInPlace(segment, static_cast<uint32_t>(items.size() * nxBlobLinkItemSize + 1));
  StoreItems(segment.P + 1, items);
  aItem.bsliSegmentSize = items.back().bsliSegmentSize;
  return false;
}

void TnxSegmentedBlobEngine::DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) {
  const TChange change(beChanges);
  TSegment root;
  GetRoot(&aTrans, aBlobNr, true, root);
  const uint8_t type = root.P[0];
  if (type > nxbstLink16) return;
  root.Guard.Release();
  if (type == nxbstList) Truncate(aTrans, aBlobNr, 0);
  FreeSegment(aTrans, RootRef(aBlobNr));
}

bool TnxSegmentedBlobEngine::FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  if (!aTrans) return false;
  const TChange change(beChanges);
  TSegment root;
  GetRoot(aTrans, aBlobNr, true, root);
  if (root.P[0] != nxbstEmpty) return false;
  beHeapEngine->bheBlockHeapEngine->FreeSegment(root.Guard.Block(), root.Seg);
  return true;
}

void TnxSegmentedBlobEngine::Rollback(TnxBaseTransaction& aTrans) {
  const TChange change(beChanges);
  beHeapEngine->Rollback(aTrans);
  TnxBaseBlobEngine::Rollback(aTrans);
}

void TnxSegmentedBlobEngine::IncBlobNr(TnxBlobNr& aBlobNr) {
  if (nxHeapRefsCounted(bseTableVersion)) beHeapEngine->IncHeapRef(aBlobNr);
}

}  // namespace revurov
