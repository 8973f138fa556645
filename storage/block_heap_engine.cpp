#include "storage/block_heap_engine.h"

#include <algorithm>
#include <cstring>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/endian.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;

namespace {

constexpr int kScratchPool = 4;  // the 64 KB committed pool

inline uint32_t Unit(uint32_t aSize) noexcept { return (aSize + 2 + 3) & ~3u; }

}  // namespace

void TnxNonfragmentingBlockHeapEngine::TScratchRelease::operator()(uint8_t* aBlock) const noexcept {
  void* p = aBlock;
  nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[kScratchPool], p);
}

TnxNonfragmentingBlockHeapEngine::TnxNonfragmentingBlockHeapEngine(int32_t aID, int32_t aTableVersion,
                                                                   uint16_t aHeaderSize, uint32_t aBlockSize)
    : TnxBaseBlockHeapEngine(aID, aTableVersion, aHeaderSize, aBlockSize),
      bheHeaderSize(static_cast<uint16_t>((aHeaderSize + 7u) / 4u * 4u)) {
  if (aBlockSize > static_cast<uint32_t>(nxMaxBlockSize) || aBlockSize < bheHeaderSize + 12u || aBlockSize % 4 != 0)
    throw EnxNonfragmentingBlockHeapEngineException(nxeInvalidParameter, u"Invalid heap block size (%d)",
                                                    {static_cast<int64_t>(aBlockSize)});
  bbheMaxSegmentSize = static_cast<uint16_t>(bbheBlockSize - (bheHeaderSize + 12u));
  if (nxHeapRefsCounted(aTableVersion)) bbheSegmentRefMask = 0x0000FFFFu;
}

TnxNonfragmentingBlockHeapEngine::~TnxNonfragmentingBlockHeapEngine() = default;

std::unique_ptr<TnxBaseBlockHeapEngine> TnxNonfragmentingBlockHeapEngine::CreateFromDescriptor(
    TnxBaseBlockHeapDescriptor& aDescriptor, int32_t aTableVersion, uint16_t aHeaderSize, uint32_t aBlockSize) {
  return std::make_unique<TnxNonfragmentingBlockHeapEngine>(aDescriptor.ID(), aTableVersion, aHeaderSize, aBlockSize);
}

void nxBlockHeapEngineStartup() { TnxNonfragmentingBlockHeapEngine::ClassInfo().Register(nxDefaultStorageEngine); }
void nxBlockHeapEngineShutdown() noexcept { TnxNonfragmentingBlockHeapEngine::ClassInfo().Unregister(); }

void TnxNonfragmentingBlockHeapEngine::RaiseDamaged(const uint8_t* aBlock) const {
  const int64_t number = bbheHeaderSize >= 8 ? LoadU32(aBlock + 4) : 0;
  throw EnxNonfragmentingBlockHeapEngineException(nxeCorruptFile, u"Damaged heap block [%s, block %d]",
                                                  {bbheFileName, number});
}

uint32_t TnxNonfragmentingBlockHeapEngine::CheckBlock(const uint8_t* aBlock) const {
  const uint32_t bs = bbheBlockSize;
  const uint32_t h = bheHeaderSize;
  const uint32_t c = LoadU16(aBlock + bs - 2);
  if (h + 8 + 2 * c > bs) RaiseDamaged(aBlock);
  const uint32_t d = bs - 8 - 2 * c;
  if (LoadU16(aBlock + h - 4) > c || LoadU16(aBlock + bs - 4) > c || LoadU16(aBlock + bs - 6) > d - h)
    RaiseDamaged(aBlock);
  const uint32_t tp = LoadU16(aBlock + d);
  if (tp != 0) {
    if (tp % 4 != 0 || tp < h || tp + 4 > d || tp + 4 + LoadU16(aBlock + tp) > d) RaiseDamaged(aBlock);
  }
  return c;
}

uint32_t TnxNonfragmentingBlockHeapEngine::LiveSegment(const uint8_t* aBlock, uint32_t aCount,
                                                       TnxSegmentRef aSegment, bool aFreeing) const {
  if (aSegment == 0 || aSegment > aCount)
    throw EnxNonfragmentingBlockHeapEngineException(nxeInvalidSegmentNumber, u"invalid segment number (%d)",
                                                    {static_cast<int64_t>(aSegment)});
  const uint32_t entry = LoadU16(aBlock + bbheBlockSize - 6 - 2 * aSegment);
  if (entry & 2)
    throw EnxNonfragmentingBlockHeapEngineException(nxeInvalidSegmentNumber, u"invalid segment number (%d)",
                                                    {static_cast<int64_t>(aSegment)});
  if (entry & 1)
    throw EnxNonfragmentingBlockHeapEngineException(
        nxeSegmentHasBeenDeleted, aFreeing ? u"segment already deleted (%d)" : u"segment deleted (%d)",
        {static_cast<int64_t>(aSegment)});
  // The bytes must end before the directory; the rounded unit of a segment
  // that took the whole tail may reach 2 bytes past it.
  const uint32_t d = bbheBlockSize - 8 - 2 * aCount;
  if (entry < bheHeaderSize || entry + 2 > d || entry + 2 + LoadU16(aBlock + entry) > d) RaiseDamaged(aBlock);
  return entry;
}

uint16_t TnxNonfragmentingBlockHeapEngine::TailSize(const uint8_t* aBlock) const {
  const uint32_t d = bbheBlockSize - 8 - 2 * LoadU16(aBlock + bbheBlockSize - 2);
  const uint32_t tp = LoadU16(aBlock + d);
  return tp == 0 ? 0 : LoadU16(aBlock + tp);
}

void TnxNonfragmentingBlockHeapEngine::DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                                 uint16_t aRecoverableSpace) {
  TnxBaseBlockHeapEngine::DoChanged(aBlock, aSegmentCount, aFreeSpaceSize,
                                    static_cast<uint16_t>(aRecoverableSpace - std::min<uint16_t>(8, aRecoverableSpace)));
}

void TnxNonfragmentingBlockHeapEngine::InitBlock(uint8_t* aBlock) {
  const uint32_t bs = bbheBlockSize;
  const uint32_t h = bheHeaderSize;
  StoreU16(aBlock + bs - 2, 0);
  StoreU16(aBlock + bs - 4, 0);
  StoreU16(aBlock + bs - 6, 0);
  StoreU16(aBlock + bs - 8, static_cast<uint16_t>(h));
  StoreU16(aBlock + h, static_cast<uint16_t>(bs - h - 12));
  StoreU16(aBlock + h - 4, 0);
}

uint16_t TnxNonfragmentingBlockHeapEngine::GetFreespace(const uint8_t* aBlock) {
  CheckBlock(aBlock);
  const uint16_t rec = LoadU16(aBlock + bbheBlockSize - 6);
  return static_cast<uint16_t>(TailSize(aBlock) + rec - std::min<uint16_t>(8, rec));
}

uint8_t* TnxNonfragmentingBlockHeapEngine::AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize,
                                                        TnxSegmentRef& aSegment) {
  const uint32_t bs = bbheBlockSize;
  const uint32_t need = Unit(aSegmentSize);
  aSegment = 0;
  uint32_t c = CheckBlock(aBlock);
  auto tailPointer = [&] { return static_cast<uint32_t>(LoadU16(aBlock + bs - 8 - 2 * c)); };
  auto recoverable = [&] { return static_cast<uint32_t>(LoadU16(aBlock + bs - 6)); };
  if (tailPointer() == 0) {
    if (recoverable() < need) return nullptr;
    CompactBlock(aBlock, 0, 0);
    c = LoadU16(aBlock + bs - 2);
    // A packed block can still have no tail area left.
    if (tailPointer() == 0) return nullptr;
  }
  if (LoadU16(aBlock + tailPointer()) < aSegmentSize) {
    if (LoadU16(aBlock + tailPointer()) + recoverable() < aSegmentSize) return nullptr;
    CompactBlock(aBlock, 0, 0);
    c = LoadU16(aBlock + bs - 2);
    if (tailPointer() == 0 || LoadU16(aBlock + tailPointer()) < aSegmentSize) return nullptr;
  }
  const uint32_t f = tailPointer();
  const uint32_t fSize = LoadU16(aBlock + f);
  uint32_t r = 0, rSize = 0;
  if (fSize > need) {
    r = f + need;
    rSize = fSize - need;
  }
  uint32_t s;
  const uint32_t head = LoadU16(aBlock + bs - 4);
  if (head != 0) {
    const uint32_t entry = LoadU16(aBlock + bs - 6 - 2 * head);
    if ((entry & 2) == 0 || (entry >> 2) > c) RaiseDamaged(aBlock);
    StoreU16(aBlock + f, aSegmentSize);
    if (r != 0) StoreU16(aBlock + r, static_cast<uint16_t>(rSize));
    s = head;
    StoreU16(aBlock + bs - 4, static_cast<uint16_t>(entry >> 2));
    StoreU16(aBlock + bs - 6 - 2 * s, static_cast<uint16_t>(f));
    StoreU16(aBlock + bs - 8 - 2 * c, static_cast<uint16_t>(r));
  } else {
    // The new entry takes the tail pointer's place, which holds f already.
    StoreU16(aBlock + f, aSegmentSize);
    c += 1;
    s = c;
    StoreU16(aBlock + bs - 2, static_cast<uint16_t>(c));
    if (r != 0 && rSize > 2) {
      rSize -= 2;
      StoreU16(aBlock + r, static_cast<uint16_t>(rSize));
      StoreU16(aBlock + bs - 8 - 2 * c, static_cast<uint16_t>(r));
    } else {
      if (r != 0) StoreU16(aBlock + r, 0);
      rSize = 0;
      StoreU16(aBlock + bs - 8 - 2 * c, 0);
    }
  }
  aSegment = s;
  const uint16_t live = static_cast<uint16_t>(LoadU16(aBlock + bheHeaderSize - 4) + 1);
  StoreU16(aBlock + bheHeaderSize - 4, live);
  DoChanged(aBlock, live, static_cast<uint16_t>(rSize), LoadU16(aBlock + bs - 6));
  return aBlock + f + 2;
}

uint8_t* TnxNonfragmentingBlockHeapEngine::ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize,
                                                          TnxSegmentRef aSegment) {
  const uint32_t bs = bbheBlockSize;
  const uint32_t c = CheckBlock(aBlock);
  uint32_t p = LiveSegment(aBlock, c, aSegment, false);
  const uint32_t d = bs - 8 - 2 * c;
  const uint32_t oldSize = LoadU16(aBlock + p);
  const uint32_t n = aNewSegmentSize;
  const uint32_t newUnit = Unit(n);
  uint32_t cur = Unit(oldSize);
  const bool atEnd = p + cur > d;
  if (atEnd) cur = d - p;
  uint32_t rec = LoadU16(aBlock + bs - 6);
  const uint32_t tp = LoadU16(aBlock + d);
  if (n < oldSize) {
    cur &= ~3u;
    if (cur > newUnit) StoreU16(aBlock + bs - 6, static_cast<uint16_t>(rec + cur - newUnit));
    StoreU16(aBlock + p, aNewSegmentSize);
  } else if (n > oldSize) {
    const uint32_t tSize = tp == 0 ? 0 : LoadU16(aBlock + tp);
    if (newUnit == cur || (atEnd && p + 2 + n <= d)) {
      StoreU16(aBlock + p, aNewSegmentSize);
    } else if (tp == 0 ? rec + cur < newUnit : rec + tSize + 2 + cur < newUnit) {
      return nullptr;
    } else if (tp != 0 && p + cur == tp && tSize + 2 + cur >= newUnit) {
      StoreU16(aBlock + p, aNewSegmentSize);
      const uint32_t delta = newUnit - cur;
      if (delta >= tSize) {
        StoreU16(aBlock + d, 0);
      } else {
        StoreU16(aBlock + tp + delta, static_cast<uint16_t>(tSize - delta));
        StoreU16(aBlock + d, static_cast<uint16_t>(tp + delta));
      }
    } else if (tp != 0 && tSize >= newUnit) {
      StoreU16(aBlock + bs - 6, static_cast<uint16_t>(rec + cur));
      // Move first: the new tail's size word may lie where the copy lands.
      std::memmove(aBlock + tp, aBlock + p, 2 + oldSize);
      StoreU16(aBlock + tp + newUnit, static_cast<uint16_t>(tSize - newUnit));
      StoreU16(aBlock + d, static_cast<uint16_t>(tp + newUnit));
      StoreU16(aBlock + bs - 6 - 2 * aSegment, static_cast<uint16_t>(tp));
      StoreU16(aBlock + tp, aNewSegmentSize);
      p = tp;
    } else {
      CompactBlock(aBlock, aSegment, aNewSegmentSize);
      p = LoadU16(aBlock + bs - 6 - 2 * aSegment);
    }
  }
  DoChanged(aBlock, LoadU16(aBlock + bheHeaderSize - 4), TailSize(aBlock), LoadU16(aBlock + bs - 6));
  return aBlock + p + 2;
}

void TnxNonfragmentingBlockHeapEngine::FreeSegment(uint8_t* aBlock, TnxSegmentRef aSegment) {
  const uint32_t bs = bbheBlockSize;
  const uint32_t c = CheckBlock(aBlock);
  const uint32_t p = LiveSegment(aBlock, c, aSegment, true);
  const uint32_t live = LoadU16(aBlock + bheHeaderSize - 4);
  if (live == 0) RaiseDamaged(aBlock);
  uint32_t unit = Unit(LoadU16(aBlock + p));
  if (p + unit > bs - 8 - 2 * c) unit -= 4;
  StoreU16(aBlock + bs - 6, static_cast<uint16_t>(LoadU16(aBlock + bs - 6) + unit));
  StoreU16(aBlock + bs - 6 - 2 * aSegment, static_cast<uint16_t>(p | 1));
  StoreU16(aBlock + bheHeaderSize - 4, static_cast<uint16_t>(live - 1));
  DoChanged(aBlock, static_cast<uint16_t>(live - 1), TailSize(aBlock), LoadU16(aBlock + bs - 6));
}

uint8_t* TnxNonfragmentingBlockHeapEngine::GetSegment(uint8_t* aBlock, TnxSegmentRef aSegment,
                                                      uint16_t& aSegmentSize) {
  const uint32_t p = LiveSegment(aBlock, CheckBlock(aBlock), aSegment, false);
  aSegmentSize = LoadU16(aBlock + p);
  return aBlock + p + 2;
}

uint8_t* TnxNonfragmentingBlockHeapEngine::GetNextSegment(uint8_t* aBlock, TnxSegmentRef& aSegment,
                                                          uint16_t& aSegmentSize) {
  const uint32_t c = CheckBlock(aBlock);
  while (true) {
    ++aSegment;
    if (aSegment == 0 || aSegment > c) return nullptr;
    if ((LoadU16(aBlock + bbheBlockSize - 6 - 2 * aSegment) & 3) == 0) {
      const uint32_t p = LiveSegment(aBlock, c, aSegment, false);
      aSegmentSize = LoadU16(aBlock + p);
      return aBlock + p + 2;
    }
  }
}

uint8_t* TnxNonfragmentingBlockHeapEngine::GetPrevSegment(uint8_t* aBlock, TnxSegmentRef& aSegment,
                                                          uint16_t& aSegmentSize) {
  const uint32_t c = CheckBlock(aBlock);
  if (aSegment > c) aSegment = c + 1;
  while (true) {
    --aSegment;
    if (aSegment == 0 || aSegment > c) return nullptr;
    if ((LoadU16(aBlock + bbheBlockSize - 6 - 2 * aSegment) & 3) == 0) {
      const uint32_t p = LiveSegment(aBlock, c, aSegment, false);
      aSegmentSize = LoadU16(aBlock + p);
      return aBlock + p + 2;
    }
  }
}

// Gives the packed block of the slot-order layout without building all of
// it in the scratch buffer: the leading segments already in place are not
// copied, and the rest are copied by runs of neighbours, never with an
// overlapping move (sliding a block's bytes down by a few bytes is slower
// than copying them twice).
void TnxNonfragmentingBlockHeapEngine::CompactBlock(uint8_t* aBlock, TnxSegmentRef aResizeSegment,
                                                    uint16_t aNewSegmentSize) {
  const uint32_t bs = bbheBlockSize;
  const uint32_t h = bheHeaderSize;
  const uint32_t oldCount = CheckBlock(aBlock);
  auto entryAt = [&](uint32_t s) { return static_cast<uint32_t>(LoadU16(aBlock + bs - 6 - 2 * s)); };
  // The whole block is checked before anything is written: every live
  // segment inside the data area, the live count, the free-slot chain and
  // that the packed segments fit.
  const uint32_t oldD = bs - 8 - 2 * oldCount;
  if (bheMoves.size() < oldCount) bheMoves.resize(oldCount);
  size_t n = 0;
  uint32_t c = 0, w = h;
  for (uint32_t s = 1; s <= oldCount; ++s) {
    const uint32_t entry = entryAt(s);
    if ((entry & 3) != 0) continue;
    if (entry < h || entry + 2 > oldD) RaiseDamaged(aBlock);
    const uint32_t size = LoadU16(aBlock + entry);
    if (entry + 2 + size > oldD) RaiseDamaged(aBlock);
    const uint32_t newSize = s == aResizeSegment ? aNewSegmentSize : size;
    bheMoves[n++] = {s, entry, w, size, newSize};
    w += Unit(newSize);
    c = s;  // trailing dead and free slots leave the directory
  }
  if (n != LoadU16(aBlock + h - 4)) RaiseDamaged(aBlock);
  uint32_t steps = 0;
  for (uint32_t s = LoadU16(aBlock + bs - 4); s != 0; s = entryAt(s) >> 2) {
    if (s > oldCount || (entryAt(s) & 2) == 0 || ++steps > oldCount) RaiseDamaged(aBlock);
  }
  if (c == 0) {
    InitBlock(aBlock);
    return;
  }
  const uint32_t d = bs - 8 - 2 * c;
  // Targets rise with the slots, so the last segment ends last; its unit
  // may reach into the directory by its padding only.
  if (bheMoves[n - 1].Target + 2 + bheMoves[n - 1].NewSize > d) RaiseDamaged(aBlock);
  // Segments already in place stay; from the first that moves on, the
  // packed bytes are built in the scratch buffer (neighbours in one copy)
  // and copied back in one piece: plain copies, never overlapping ones.
  size_t k = 0;
  while (k < n && bheMoves[k].Source == bheMoves[k].Target && bheMoves[k].Size == bheMoves[k].NewSize) ++k;
  if (k < n) {
    if (!bheTempBlock)
      bheTempBlock.reset(static_cast<uint8_t*>(nxBlockPoolCommittedAlloc(nxBlockPoolsCommitted[kScratchPool])));
    uint8_t* t = bheTempBlock.get();
    for (size_t i = k; i < n;) {
      const TMove& m = bheMoves[i];
      if (m.Size != m.NewSize) {
        const uint32_t kept = 2 + std::min(m.Size, m.NewSize);
        std::memcpy(t + m.Target, aBlock + m.Source, kept);
        StoreU16(t + m.Target, static_cast<uint16_t>(m.NewSize));
        if (m.NewSize > m.Size) std::memset(t + m.Target + kept, 0, m.NewSize - m.Size);
        ++i;
        continue;
      }
      size_t j = i;
      while (j + 1 < n && bheMoves[j + 1].Size == bheMoves[j + 1].NewSize &&
             bheMoves[j + 1].Source == bheMoves[j].Source + Unit(bheMoves[j].Size))
        ++j;
      std::memcpy(t + m.Target, aBlock + m.Source, bheMoves[j].Source + 2 + bheMoves[j].Size - m.Source);
      i = j + 1;
    }
    const TMove& last = bheMoves[n - 1];
    const uint32_t from = bheMoves[k].Target;
    std::memcpy(aBlock + from, t + from, last.Target + 2 + last.NewSize - from);
  }
  for (size_t i = 0; i < n; ++i) {
    const TMove& m = bheMoves[i];
    // Padding (at most 3 bytes) reads as zero, up to the directory; a
    // segment left in place may hold old bytes there after a shrink.
    const uint32_t from = m.Target + 2 + m.NewSize;
    switch (std::min(m.Target + Unit(m.NewSize), d) - from) {
      case 3: aBlock[from + 2] = 0; [[fallthrough]];
      case 2: aBlock[from + 1] = 0; [[fallthrough]];
      case 1: aBlock[from] = 0; break;
      default: break;
    }
    if (i >= k) StoreU16(aBlock + bs - 6 - 2 * m.Slot, static_cast<uint16_t>(m.Target));
  }
  StoreU16(aBlock + bs - 2, static_cast<uint16_t>(c));
  if (w < d) std::memset(aBlock + w, 0, d - w);
  if (w + 6 >= d) {
    StoreU16(aBlock + d, 0);
  } else {
    const uint32_t size = d - w - 2;
    if (size <= 4) {
      StoreU16(aBlock + d, 0);
    } else {
      StoreU16(aBlock + w, static_cast<uint16_t>(size - 2));
      StoreU16(aBlock + d, static_cast<uint16_t>(w));
    }
  }
  uint32_t head = 0;
  for (uint32_t s = c; s >= 1; --s) {
    if ((entryAt(s) & 3) != 0) {
      StoreU16(aBlock + bs - 6 - 2 * s, static_cast<uint16_t>((head << 2) | 2));
      head = s;
    }
  }
  StoreU16(aBlock + bs - 4, static_cast<uint16_t>(head));
  StoreU16(aBlock + bs - 6, 0);
}

}  // namespace revurov
