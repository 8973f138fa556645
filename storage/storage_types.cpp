#include "storage/storage_types.h"

#include <cstring>

#include "platform/endian.h"

namespace revurov {

TnxBlockCommonHeader nxLoadBlockCommonHeader(const uint8_t* aBlock) noexcept {
  TnxBlockCommonHeader header;
  std::memcpy(header.bchSignature.data(), aBlock, 4);
  header.bchThisBlock = platform::LoadU32(aBlock + 4);
  header.bchLSN = static_cast<TnxLSN>(platform::LoadU64(aBlock + 8));
  return header;
}

void nxStoreBlockCommonHeader(uint8_t* aBlock, const TnxBlockCommonHeader& aHeader) noexcept {
  std::memcpy(aBlock, aHeader.bchSignature.data(), 4);
  platform::StoreU32(aBlock + 4, aHeader.bchThisBlock);
  platform::StoreU64(aBlock + 8, static_cast<uint64_t>(aHeader.bchLSN));
}

}  // namespace revurov
