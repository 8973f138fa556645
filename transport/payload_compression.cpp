#include "transport/payload_compression.h"

#include <cstring>

#include "lowlevel/cipher/base_compressor.h"
#include "transport/transport_exception.h"
#include "transport/wire_header.h"

namespace revurov {

size_t nxCompressPayload(uint8_t aCompressType, uint32_t aCompressLimit,
                         std::span<const uint8_t> aPayload, uint8_t* aOut,
                         uint32_t& aUncompressedSize) {
  aUncompressedSize = 0;
  const size_t length = aPayload.size();
  const TnxBaseCompressorClass compressor = nxCompressorClasses[aCompressType];
  if (aCompressType != 0 && length > aCompressLimit && compressor && length <= nxMaxMessageSize) {
    // The payload length as capacity: a result that is not shorter is of no use.
    const auto n = static_cast<uint32_t>(length);
    const uint32_t packed = compressor->Compress(aPayload.data(), aOut, n, n);
    if (packed > 0 && packed < n) {
      aUncompressedSize = n;
      return packed;
    }
  }
  if (length) std::memcpy(aOut, aPayload.data(), length);
  return length;
}

bool nxDecompressPayload(uint8_t aCompressType, std::span<const uint8_t> aCompressed,
                         uint32_t aUncompressedSize, TnxHeapBuffer& aOut) {
  const TnxBaseCompressorClass compressor = nxCompressorClasses[aCompressType];
  if (!compressor) throw EnxTransportException(nullptr, u"Unknown CompressType \"%d\"", {aCompressType});
  if (aUncompressedSize == 0 || aUncompressedSize > nxMaxMessageSize || aCompressed.size() > nxMaxMessageSize)
    return false;
  aOut.Resize(aUncompressedSize);
  return compressor->Uncompress(aCompressed.data(), aOut.Data(), static_cast<uint32_t>(aCompressed.size()),
                                aUncompressedSize);
}

}  // namespace revurov
