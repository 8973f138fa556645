// Text files as the tool and the library read them: encoding detection on
// any bytes (and each forced encoding), then the text as an INI file whose
// every value is read as text, integer and Boolean.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/startup.h"
#include "platform/ini_file.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/text_file.h"

namespace revurov::fuzz {

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  return {
      "\xEF\xBB\xBF[Configuration]\r\nDatenbankPfad=/tmp/db\r\nServer_Protocol=0x2\r\nDBConnect=0\r\nDBServer=S\r\n",
      "[Config]\r\nAdmin=J\xFCrgen \x80\r\n[config]\r\nPW=abc\r\n",
      std::string("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0v\0", 18),
      std::string("\xFE\xFF\0[\0A\0]\0\n\0k\0=\0$1F", 17),
      "; Kommentar\n[A]\nk = v \n=x\n[B\nn=-12\n",
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  using namespace revurov::platform;
  const std::string_view bytes = fuzz::Bytes(aData, aSize);
  for (TTextEncoding forced : {TTextEncoding::Utf8, TTextEncoding::Utf16LE, TTextEncoding::Utf16BE}) {
    try {
      (void)DecodeText(bytes, forced);
    } catch (const Exception&) {
    }
  }
  try {
    const TDecodedText decoded = DecodeText(bytes);
    TStringList lines;
    lines.SetText(decoded.Text);
    const TMemIniFile ini(u"fuzz.ini", decoded.Encoding, lines);
    TStringList sections;
    ini.ReadSections(sections);
    for (int s = 0; s < sections.Count(); ++s) {
      TStringList idents;
      ini.ReadSection(sections[s], idents);
      for (int i = 0; i < idents.Count(); ++i) {
        (void)ini.ReadString(sections[s], idents[i], u"");
        (void)ini.ReadInteger(sections[s], idents[i], 0);
        (void)ini.ReadBool(sections[s], idents[i], true);
      }
    }
  } catch (const Exception&) {
  }
  return 0;
}
