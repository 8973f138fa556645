// Base64 decoding of any text, and the round trip of any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/base64.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() { return {"A===", "QQ==", "QUI=", "QUJD", "R3L8334gAA==", "////+/8="}; }

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  const std::string_view in = fuzz::Bytes(aData, aSize);
  try {
    (void)Base64ToStr(in);
  } catch (const platform::Exception&) {
  }
  if (Base64ToStr(StrToBase64(in)) != in) std::abort();
  return 0;
}
