#include "transport/heap_block.h"

#include <cstring>

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
    TnxHeapBlock grown = nxAllocHeapBlock(aSize);
    if (hbSize) std::memcpy(grown.get(), hbBlock.get(), hbSize);
    hbBlock = std::move(grown);
    hbCapacity = aSize;
  }
  hbSize = aSize;
}

}  // namespace revurov
