// The segmented BLOB engine ("nx1xDefault"): every BLOB lives in the
// table's BLOB heap, and its number is the heap reference of its root
// segment. Small BLOBs stay inside the root; larger ones become a tree of
// list segments whose 12-byte entries name a child and the BLOB offset
// where it ends, over data segments that hold the bytes in order.
//
// Contract:
// - The root keeps its reference for the BLOB's life: a root that cannot
//   grow in its block holds a list one level deeper instead.
// - Segments come from disk and are untrusted: a root or list of the wrong
//   size, list ends that do not rise or leave their parent's range, a
//   child that is neither data nor list, a data segment whose size is not
//   its range, or a tree deeper than 32 lists give 11896; nothing is read
//   or written outside a segment.
// - Ends are 32-bit: a write whose end does not fit raises 15490 before
//   anything changes.
// - Writing or truncating a file BLOB or a link (other than truncating it
//   to 0, which empties it) raises 10502.
// - Reads remember the lists of the BLOB read last, so that the next read
//   starts at its leaves. What is remembered is used only by the same
//   transaction while no change through this engine, no rollback and no
//   change of what any transaction sees of a block (the buffer manager's
//   views, the transaction's copies) came in between; reads on several
//   threads at once take the remembered lists one at a time, the others
//   read from the root.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/blob_engines.h"
#include "storage/heap_engines.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxSegmentedBlobEngineException, EnxBaseBlobEngineException);

// Segment types, the first byte of every segment.
enum TnxBlobSegmentType : uint8_t {
  nxbstEmpty = 0,
  nxbstFileBlob8 = 1,
  nxbstLink8 = 2,
  nxbstShort = 3,
  nxbstData = 4,
  nxbstList = 5,
  nxbstFileBlob16 = 6,
  nxbstLink16 = 7,
};

// The smallest root: it can always turn into a list of one entry.
inline constexpr uint16_t nxBlobRootSize = 13;
inline constexpr uint32_t nxBlobLinkItemSize = 12;
// Lists deeper than this are damage, not data.
inline constexpr uint32_t nxMaxBlobTreeDepth = 32;

struct TnxBlobSegmentLinkItem {
  TnxHeapRef bsliSegmentRef = 0;
  uint32_t bsliSegmentSize = 0;  // the BLOB offset just past the child
};
using TnxDynBlobSegmentLinkItems = std::vector<TnxBlobSegmentLinkItem>;

class TnxSegmentedBlobEngine : public TnxBaseBlobEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSegmentedBlobEngine, TnxBaseBlobEngine, TnxSubEngineClass, nullptr,
                              &TnxSegmentedBlobEngine::CheckValidDescriptor, &nxNewSubEngine<TnxSegmentedBlobEngine>)

  explicit TnxSegmentedBlobEngine(const TnxSubEngineArgs& aArgs);
  ~TnxSegmentedBlobEngine() override;

  static void CheckValidDescriptor(TnxDictionaryItem& aDescriptor);

  virtual std::unique_ptr<TnxHeapHeaderHandler> CreateHeapHeaderHandler();

  void AddBlob(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr) override;
  void AddBlobLink(TnxBaseTransaction& aTrans, std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                   TnxBlobNr& aBlobNr) override;
  void AddFileBlob(TnxBaseTransaction& aTrans, std::u16string_view aFileName, TnxBlobNr& aBlobNr) override;
  void DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) override;
  bool FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) override;
  uint32_t GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobLinkGetLength& aLengthMethod,
                         uint32_t& aLength) override;
  bool IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aFileName) override;
  bool IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aSrcTableName,
                  TnxBlobNr& aSrcTableBlobNr) override;
  uint32_t Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                const TnxBlobLinkRead& aReadMethod, platform::TStream& aStream) override;
  void Truncate(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) override;
  void Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override;
  void Rollback(TnxBaseTransaction& aTrans) override;
  void IncBlobNr(TnxBlobNr& aBlobNr) override;

  uint16_t beHeaderSection = 0;
  std::unique_ptr<TnxBaseHeapEngine> beHeapEngine;

private:
  struct TSegment;
  struct TList;
  struct TWrite;
  struct TPathNode;
  struct TReadKey;
  struct TReadPath;
  class TChange;
  using TItems = TnxDynBlobSegmentLinkItems;

  // Moved on by every change and rollback, before and after it.
  std::atomic<uint64_t> beChanges{0};
  std::mutex beReadPathLock;
  std::unique_ptr<TReadPath> beReadPath;

  TnxHeapRef RootRef(TnxBlobNr aBlobNr) const noexcept { return aBlobNr & bbeBlobNrMask; }
  void GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aRef, bool aForChange, TSegment& aSegment);
  // The root, its size checked for its type.
  void GetRoot(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aForChange, TSegment& aRoot);
  // A list checked against its range, read in place while it is held.
  TList CheckList(const TSegment& aList, uint32_t aStart, uint32_t aEnd) const;
  // Loads a list's entries and checks them against its range.
  TItems LoadItems(const TSegment& aList, uint32_t aStart, uint32_t aEnd) const;
  static void StoreItems(uint8_t* aTo, const TItems& aItems, size_t aFirst = 0);
  TnxHeapRef AllocWhole(TnxBaseTransaction& aTrans, const std::vector<uint8_t>& aBytes);
  void FreeSegment(TnxBaseTransaction& aTrans, TnxHeapRef aRef);
  // Resizes a held segment in its block; false when it cannot.
  bool ResizeInPlace(TSegment& aSegment, uint32_t aNewSize);
  uint16_t FreeSpaceOf(const TSegment& aSegment) const;

  // A read through the remembered lists; beReadPathLock held.
  void ReadRemembered(TnxBaseTransaction* aTrans, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream);
  void ReadNode(TnxBaseTransaction* aTrans, TReadPath& aPath, TPathNode& aNode, uint32_t aStart, uint32_t aDepth,
                platform::TStream& aStream, uint32_t& aRemaining, uint32_t& aOffset, bool aClamp);
  void ReadTree(TnxBaseTransaction* aTrans, TnxHeapRef aRef, uint32_t aStart, uint32_t aEnd, uint32_t aDepth,
                platform::TStream& aStream, uint32_t& aRemaining, uint32_t& aOffset);
  void ReadList(TnxBaseTransaction* aTrans, const TList& aList, uint32_t aStart, uint32_t aDepth,
                platform::TStream& aStream, uint32_t& aRemaining, uint32_t& aOffset, bool aClamp);
  // Asks for the blocks of the children from aFirst that a read of
  // aRemaining bytes at aOffset goes through.
  void PrefetchChildren(const TList& aList, uint32_t aFirst, uint32_t aOffset, uint32_t aRemaining);
  // A fetched child: a leaf's bytes, or a list read on down.
  void ReadSegment(TnxBaseTransaction* aTrans, const TSegment& aSegment, uint32_t aStart, uint32_t aEnd,
                   uint32_t aDepth, platform::TStream& aStream, uint32_t& aRemaining, uint32_t& aOffset);

  // New data segments for the parts; their ends run on from aStart.
  TItems MakeLeaves(TnxBaseTransaction& aTrans, const uint8_t* aFirst, uint32_t aFirstLen, const uint8_t* aSecond,
                    uint32_t aSecondLen, uint32_t aStart);
  void BuildListLevel(TnxBaseTransaction& aTrans, TItems& aItems);
  // Sizes the root for aItems, building levels below it until they fit;
  // true when a level was built. The root is let go while a level is
  // built and taken again afterwards.
  bool FitItemsInRoot(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, TSegment& aRoot, TItems& aItems);
  // Writes from the entry for the write's offset on, which it returns; new
  // siblings of the last entry are appended to aItems.
  size_t WriteItems(TWrite& aWrite, TItems& aItems, uint32_t aStart, bool aIsLast, uint32_t aDepth);
  void WriteSegment(TWrite& aWrite, TnxBlobSegmentLinkItem& aItem, uint32_t aStart, bool aIsLast, uint32_t aDepth,
                    TItems& aNew);
  // Entries of a list with new ones appended where its block lets it grow;
  // what does not fit is grouped and handed up in aNew.
  // Entries before aFirstChanged are those the list holds already.
  void AppendToList(TnxBaseTransaction& aTrans, TnxBlobSegmentLinkItem& aItem, TItems& aItems, size_t aFirstChanged,
                    TItems& aNew);

  void TruncateItems(TnxBaseTransaction& aTrans, TItems& aItems, uint32_t aStart, uint32_t aLen, uint32_t aDepth);
  // True when the subtree was freed.
  bool TruncateSegment(TnxBaseTransaction& aTrans, TnxBlobSegmentLinkItem& aItem, uint32_t aStart, uint32_t aLen,
                       uint32_t aDepth);
  void TruncateList(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen);

  [[noreturn]] void RaiseDamaged() const;
  [[noreturn]] void RaiseReadOnly() const;
};

void nxSegmentedBlobEngineStartup();
void nxSegmentedBlobEngineShutdown() noexcept;

}  // namespace revurov
