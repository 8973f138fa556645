// The Blowfish/RC4 cipher on received bytes: a key, an IV, a check value and
// a message, all from the input, decoded as transport data and as a wrapped
// key; then the round trip of the message under that key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/startup.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  // Key length, key, then IV and check value (8 bytes each) and the message.
  std::string s(1, '\x08');
  s += "Schl\xFCssel";
  s.resize(9);
  s += std::string("\x01\x02\x03\x04\x05\x06\x07\x08" "ABCDEFGH", 16);
  return {s + "Hallo Welt", s + std::string(256, 'x'), std::string("\x00", 1) + std::string(16, '\0')};
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const size_t keyLen = std::min<size_t>(fuzz::TakeByte(in), in.size());
  const std::string_view key = in.substr(0, keyLen);
  in.remove_prefix(keyLen);
  if (in.size() < 16) return 0;
  uint8_t iv[8], mac[8];
  std::memcpy(iv, in.data(), 8);
  std::memcpy(mac, in.data() + 8, 8);
  in.remove_prefix(16);
  const std::vector<uint8_t> message(in.begin(), in.end());
  const auto len = static_cast<uint32_t>(message.size());
  try {
    TnxBlowFishRC4 cipher(key);
    std::vector<uint8_t> data = message;
    (void)cipher.DecodeTransport(iv, data.data(), len, mac);
    data = message;
    (void)cipher.DecodeKey(iv, data.data(), len, mac);

    uint8_t sentIv[8], sentMac[8];
    data = message;
    cipher.EncodeTransport(sentIv, data.data(), len, sentMac);
    if (!cipher.DecodeTransport(sentIv, data.data(), len, sentMac) || data != message) std::abort();
  } catch (const platform::Exception&) {
  }
  return 0;
}
