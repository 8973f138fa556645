// Blocks of the library heap held by RAII owners: a fixed block handed
// between owners (data of a queued message, a decompressed payload) and a
// growable buffer that keeps its block across messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace revurov {

struct TnxHeapFree {
  void operator()(void* aBlock) const noexcept;
};

// Null for size 0. The block may pass to a raw variable by release() where
// an interface takes heap blocks (the queue's PushTakeOwnership).
using TnxHeapBlock = std::unique_ptr<uint8_t[], TnxHeapFree>;
TnxHeapBlock nxAllocHeapBlock(size_t aSize);

// A connection's standard receive buffer: messages up to this size need no
// larger one.
inline constexpr size_t nxStdInBufferSize = 65536;

// Bytes whose block grows to the largest size asked for and is kept, so a
// connection that builds message after message allocates once.
class TnxHeapBuffer {
public:
  uint8_t* Data() noexcept { return hbBlock.get(); }
  const uint8_t* Data() const noexcept { return hbBlock.get(); }
  size_t Size() const noexcept { return hbSize; }
  // Shrinking keeps the first aSize bytes; growing beyond the block leaves
  // every byte undefined (nothing is copied: callers fill it anew).
  void Resize(size_t aSize);
  size_t Capacity() const noexcept { return hbCapacity; }
  // Gives the block back when it is larger than aLimit, leaving the
  // buffer empty.
  void ReleaseAbove(size_t aLimit) noexcept;

  // The block handed out for a while instead of a copy of its bytes: the
  // buffer is empty until Return gives the same block back.
  TnxHeapBlock Lend() noexcept;
  void Return(TnxHeapBlock aBlock) noexcept;

private:
  TnxHeapBlock hbBlock;
  size_t hbSize = 0;
  size_t hbCapacity = 0;
  size_t hbLentCapacity = 0;
};

}  // namespace revurov
