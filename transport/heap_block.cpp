#include "transport/heap_block.h"

#include "lowlevel/heap/memory_manager.h"

namespace revurov {

void TnxHeapFree::operator()(void* aBlock) const noexcept {
  if (aBlock) nxFreeMem(aBlock);
}

TnxHeapBlock nxAllocHeapBlock(size_t aSize) {
  if (aSize == 0) return nullptr;
  return TnxHeapBlock(static_cast<uint8_t*>(nxGetMem(aSize)));
}

void TnxHeapBuffer::Resize(size_t aSize) {
  if (aSize > hbCapacity) {
    // Empty first: a failed allocation leaves an empty buffer, not a
    // capacity without a block.
    hbBlock.reset();
    hbSize = hbCapacity = 0;
    hbBlock = nxAllocHeapBlock(aSize);
    hbCapacity = aSize;
  }
  hbSize = aSize;
}

void TnxHeapBuffer::ReleaseAbove(size_t aLimit) noexcept {
  if (hbCapacity <= aLimit) return;
  hbBlock.reset();
  hbSize = hbCapacity = 0;
}

TnxHeapBlock TnxHeapBuffer::Lend() noexcept {
  hbLentCapacity = hbCapacity;
  hbSize = hbCapacity = 0;
  return std::move(hbBlock);
}

void TnxHeapBuffer::Return(TnxHeapBlock aBlock) noexcept {
  hbBlock = std::move(aBlock);
  hbCapacity = hbBlock ? hbLentCapacity : 0;
  hbLentCapacity = 0;
}

}  // namespace revurov
