// What every storage and index engine shares: block memory, the common
// header at the start of every table-file block, block numbers, heap
// references and the block iterators.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/block_manager.h"

namespace revurov {

// The largest table block; a block's memory is this long, of which only the
// first block-size bytes are used.
inline constexpr int32_t nxMaxBlockSize = 65536;
using TnxBlock = uint8_t[nxMaxBlockSize];
using PnxBlock = uint8_t*;

// Block 0 is the file header.
using TnxBlockNumber = uint32_t;
using TnxBlockSignature = std::array<char, 4>;
using TnxHeapRef = int64_t;

// The 4 KB to 4 MB sizes of the memory manager's block pools, which
// temporary storage stores as well.
using TnxBlockSizeAll = mm::TnxBlockSizeAll;
inline constexpr int nxBlockSizeAllCount = mm::nxBlockSizeCount;

// The first 16 bytes of every table-file block, little-endian on disk:
// signature (0..3), the block's own number (4..7), the LSN of the
// transaction that last committed it (8..15).
struct TnxBlockCommonHeader {
  TnxBlockSignature bchSignature{};
  TnxBlockNumber bchThisBlock = 0;
  TnxLSN bchLSN = 0;
};
inline constexpr int32_t nxBlockCommonHeaderSize = 16;

TnxBlockCommonHeader nxLoadBlockCommonHeader(const uint8_t* aBlock) noexcept;
void nxStoreBlockCommonHeader(uint8_t* aBlock, const TnxBlockCommonHeader& aHeader) noexcept;

enum TnxBlockIteratorResult : uint8_t { birContinue, birStop };

using TnxBlockIterator =
    std::function<TnxBlockIteratorResult(void* aCookie, TnxBlockNumber aBlockNr, PnxBlock aBlock)>;
// The same with the block's encryption cookie.
using TnxBlockCookieIterator = std::function<TnxBlockIteratorResult(
    void* aCookie, TnxBlockNumber aBlockNr, PnxBlock aBlock, const std::vector<uint8_t>& aBlockCookie)>;

}  // namespace revurov
