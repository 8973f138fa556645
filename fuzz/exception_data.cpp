// Error texts as they arrive from a peer: the message tags an exception
// takes out of its text (custom infos, exception data rebuilt from its
// Base64 form) and the encoded exception data on its own.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::fuzz {

namespace {

std::string Latin1(std::u16string_view aText) {
  std::string out;
  for (char16_t c : aText) out.push_back(static_cast<char>(c));
  return out;
}

}  // namespace

// Shut down again at exit, before the leak check looks.
struct TStarted {
  TnxLowLevelStartupGuard library;
  TStarted() { nxExceptionDataStartup(); }
  ~TStarted() { nxExceptionDataShutdown(); }
};

void SetUp() { static TStarted started; }

std::vector<std::string> Seeds() {
  auto root = nxCreateExceptionDataContainer(u"ExceptionData");
  root->AddString(u"Text", u"Gr\u00FC\u00DFe\r\nzweite Zeile");
  root->AddInteger(u"Big", (int64_t{1} << 32) + 5);
  root->AddBoolean(u"Flag", true);
  root->AddFloat(u"Ratio", 0.1);
  root->AddContainer(u"Inner")->AddContainer(u"Deeper")->AddInteger(u"x", 1);
  const std::u16string encoded = root->ToEncodedString(47501);
  return {
      Latin1(encoded),
      Latin1(root->ToEncodedString(41100)),
      Latin1(u"Fehler" + nxMessageTagForVersion(47501, u"$ExceptionData$", encoded)),
      Latin1(u"Text" + nxMessageTagForVersion(20000, u"Name", u"Wert") + nxOriginalMessageTagForVersion(47501)),
      Latin1(u"<[--!A=B!--]> <[--!\u00FEC=D\u00FE!--]> rest <[!Org!]>"),
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  const std::u16string text = fuzz::Widened(fuzz::Bytes(aData, aSize));
  try {
    EnxBaseException plain(text);
    (void)plain.CustomInfos();
    EnxBaseException e(15521, text);
    (void)e.Message();
    (void)e.CustomInfos();
    if (auto data = e.ExceptionData()) (void)data->ToEncodedString(47501);
  } catch (const platform::Exception&) {
  }
  try {
    if (auto value = nxExceptionDataFromString(text)) (void)value->Name();
  } catch (const platform::Exception&) {
  }
  return 0;
}
