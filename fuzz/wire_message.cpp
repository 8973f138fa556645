// A received transport message: the 32-byte header through its check, then
// the body the medium would read for it through the message check, the
// error-text segment and decompression, as client and as server. A message
// is refused or yields exactly the payload its header announces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/startup.h"
#include "transport/message_frame.h"
#include "transport/transport_exception.h"

namespace revurov::fuzz {

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  std::string payload;
  for (int i = 0; i < 200; ++i) payload += "Wert " + std::to_string(i) + ";";
  struct Kind {
    uint8_t version;
    uint32_t result;
    uint8_t compressType;
    size_t size;
  };
  std::vector<std::string> seeds;
  for (const Kind& kind : {Kind{2, 10036, 11, 3000}, Kind{1, 10036, 19, 900}, Kind{2, 0, 0, 40},
                           Kind{2, 10036, 0, 0}, Kind{0, 0, 11, 600}}) {
    EnxBaseException::SetLastConvertedException(kind.result, u"Fehler \u00E4\u20AC");
    TnxMessageFields fields;
    fields.mfMsgType = nxmtReply;
    fields.mfResultCode = kind.result;
    fields.mfVersion = kind.version;
    fields.mfCompressType = kind.compressType;
    TnxHeapBuffer frame;
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    nxBuildMessage(fields, std::span<const uint8_t>(p, std::min(kind.size, payload.size())), frame);
    seeds.emplace_back(reinterpret_cast<const char*>(frame.Data()), frame.Size());
  }
  EnxBaseException::SetLastConvertedException(0, u"");
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  if (aSize < nxHeaderSize) return 0;
  const TnxBaseHeader header = nxLoadHeader(aData);
  if (nxCheckHeader(header) != 0) return 0;
  // The medium reads exactly bhLength - 32 bytes; what the input lacks is
  // zeros, and an exactly sized buffer lets the sanitizer see any overread.
  const size_t bodySize = header.bhLength - nxHeaderSize;
  if (bodySize > (1u << 20)) return 0;
  std::unique_ptr<uint8_t[]> body(new uint8_t[bodySize]);
  for (size_t i = 0; i < bodySize; ++i) body[i] = nxHeaderSize + i < aSize ? aData[nxHeaderSize + i] : 0;
  const std::span<const uint8_t> received(body.get(), bodySize);
  TnxHeapBuffer decompressed;
  for (TnxReceiver side : {TnxReceiver::rcClient, TnxReceiver::rcServer}) {
    try {
      const TnxReceivedMessage message = nxTakeMessage(header, received, side, decompressed);
      if (message.rmError) {
        if (!message.rmPayload.empty()) std::abort();
      } else if (header.bhUncompressedSize && header.bhCompressType) {
        if (message.rmPayload.size() != header.bhUncompressedSize) std::abort();
      } else if (message.rmPayload.data() < body.get() ||
                 message.rmPayload.data() + message.rmPayload.size() > body.get() + bodySize) {
        std::abort();
      }
    } catch (const EnxTransportException&) {
      // A compressor number nobody registered.
    }
  }
  EnxBaseException::SetLastConvertedException(0, u"");
  return 0;
}
