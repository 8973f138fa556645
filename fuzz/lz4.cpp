// LZ4 frames as they arrive in a message: any bytes, with the expected size
// the message header gives. After any frame, good or bad, a frame of our own
// must still decode on the same thread.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <lz4frame.h>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/cipher/lz4_compressor.h"
#include "lowlevel/startup.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

namespace {

std::string Frame(const std::string& aSource, int aPreset = 1) {
  std::string frame((aSource.size() / 16 + 2) * 16 + 64, '\0');
  const uint32_t n = nxLz4CompressorClass(aPreset).Compress(aSource.data(), frame.data(),
                                                             static_cast<uint32_t>(aSource.size()),
                                                             static_cast<uint32_t>(frame.size()));
  frame.resize(n);
  return frame;
}

// Three bytes of expected size, little-endian, in front of the frame.
std::string Seed(const std::string& aFrame, uint32_t aExpected) {
  std::string s;
  for (int i = 0; i < 3; ++i) s.push_back(static_cast<char>(aExpected >> (8 * i)));
  return s + aFrame;
}

// A frame from elsewhere that declares its content size (ours never do).
std::string SizedFrame(const std::string& aSource) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.contentSize = aSource.size();
  std::string frame(LZ4F_compressFrameBound(aSource.size(), &prefs), '\0');
  const size_t n = LZ4F_compressFrame(frame.data(), frame.size(), aSource.data(), aSource.size(), &prefs);
  frame.resize(LZ4F_isError(n) ? 0 : n);
  return frame;
}

const std::string kOwnSource = "Ein Satz, der sich wiederholt. Ein Satz, der sich wiederholt. Ende.";

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "Zeile " + std::to_string(i) + "\r\n";
  return {Seed(Frame(kOwnSource), static_cast<uint32_t>(kOwnSource.size())),
          Seed(Frame(big, 9), static_cast<uint32_t>(big.size())), Seed(Frame(""), 0),
          Seed(SizedFrame(big), static_cast<uint32_t>(big.size())),
          Seed(SizedFrame(big).substr(0, 15), static_cast<uint32_t>(big.size()))};  // its bare header
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  uint32_t expected = 0;
  for (int i = 0; i < 3; ++i) expected |= static_cast<uint32_t>(fuzz::TakeByte(in)) << (8 * i);
  expected %= 1u << 20;  // what the message size limit lets through, roughly
  const TnxLz4Compressor& lz4 = nxLz4CompressorClass(1);
  std::string out(expected, '\0');
  try {
    (void)lz4.Uncompress(in.data(), out.data(), static_cast<uint32_t>(in.size()), expected);
  } catch (const platform::Exception&) {
  }
  static const std::string own = fuzz::Frame(fuzz::kOwnSource);
  std::string back(fuzz::kOwnSource.size(), '\0');
  if (!lz4.Uncompress(own.data(), back.data(), static_cast<uint32_t>(own.size()), static_cast<uint32_t>(back.size())) ||
      back != fuzz::kOwnSource)
    std::abort();
  return 0;
}
