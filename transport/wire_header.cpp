#include "transport/wire_header.h"

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

void nxStoreHeader(const TnxBaseHeader& aHeader, void* aOut) noexcept {
  auto* p = static_cast<uint8_t*>(aOut);
  StoreU32(p + 0, aHeader.bhTransportID);
  StoreU32(p + 4, aHeader.bhSessionID);
  p[8] = aHeader.bhVersion;
  p[9] = static_cast<uint8_t>(static_cast<int8_t>(aHeader.bhThreadPriority));  // i8 on the wire
  p[10] = aHeader.bhFlags;
  p[11] = aHeader.bhReserved3;
  StoreU32(p + 12, aHeader.bhMsgID);
  StoreU32(p + 16, aHeader.bhLength);
  StoreU32(p + 20, aHeader.bhParts);
  StoreU16(p + 24, aHeader.bhErrorCode);
  p[26] = aHeader.bhMsgType;
  p[27] = aHeader.bhCompressType;
  StoreU32(p + 28, aHeader.bhUncompressedSize);
}

TnxBaseHeader nxLoadHeader(const void* aIn) noexcept {
  const auto* p = static_cast<const uint8_t*>(aIn);
  TnxBaseHeader h;
  h.bhTransportID = LoadU32(p + 0);
  h.bhSessionID = LoadU32(p + 4);
  h.bhVersion = p[8];
  h.bhThreadPriority = static_cast<int8_t>(p[9]);
  h.bhFlags = p[10];
  h.bhReserved3 = p[11];
  h.bhMsgID = LoadU32(p + 12);
  h.bhLength = LoadU32(p + 16);
  h.bhParts = LoadU32(p + 20);
  h.bhErrorCode = LoadU16(p + 24);
  h.bhMsgType = p[26];
  h.bhCompressType = p[27];
  h.bhUncompressedSize = LoadU32(p + 28);
  return h;
}

uint32_t nxCheckHeader(const TnxBaseHeader& aHeader) noexcept {
  // Below 32 the payload length bhLength - 32 would wrap; above the maximum
  // a receiver would size a buffer from a number it cannot trust.
  if (aHeader.bhLength < nxHeaderSize || aHeader.bhLength > nxMaxMessageSize) return nxeLostConnection;
  if (aHeader.bhUncompressedSize > nxMaxMessageSize) return nxeLostConnection;
  return 0;
}

}  // namespace revurov
