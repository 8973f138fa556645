// "TesmiraSec.dat" as the tool reads it: the encoding repair of any bytes,
// then the administrator entry, every user and every group's rights. The
// administrator password must read back as stored, whatever it holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/password.h"
#include "app/security_file.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "platform/ini_file.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"

namespace revurov::fuzz {

void SetUp() {}

std::vector<std::string> Seeds() {
  return {
      "\xEF\xBB\xBF[Config]\r\nAdmin=Chef\r\nPW=a\xC3\x83" "c\r\n\r\n[U]\r\nPW=x\r\nSetup=1\r\nGruppe=G1;G2;\r\n\r\n"
      "[G1]\r\nARTIKEL=1111111111111111\r\n",
      "[Config]\r\nAdmin=J\xFCrgen\r\nPW=00410042\r\nPWHex=00410042\r\n[M\xDCLLER]\r\nGruppe=GR\xDC\x42" "E;\r\n",
      "[Config]\r\nPW=0061210D0062\r\nPWWide=0061210D0062\r\n",
      "[Config]\r\nAdmin=P\xC3\xB6\xFF\r\n[U]\r\nPW=x\xE9y\r\n",
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov::platform;
  using namespace tesmira;
  const std::string_view bytes = revurov::fuzz::Bytes(aData, aSize);
  try {
    TStringList lines;
    lines.SetText(RepairedText(bytes));
    TMemIniFile ini(u"TesmiraSec.dat", TTextEncoding::Utf8, lines);
    (void)ini.ReadString(kConfigSection, u"Admin", u"");
    (void)LoadAdminPassword(ini, kConfigSection);
    TStringList sections;
    ini.ReadSections(sections);
    for (int s = 0; s < sections.Count(); ++s) {
      (void)LoadScrambled(ini, sections[s]);
      (void)ini.ReadBool(sections[s], u"Setup", true);
      (void)SplitGroupList(ini.ReadString(sections[s], u"Gruppe", u""));
      TStringList idents;
      ini.ReadSection(sections[s], idents);
      for (int i = 0; i < idents.Count(); ++i) (void)ini.ReadString(sections[s], idents[i], u"");
    }
    // Any text the password edit can hold is stored and read back.
    const std::u16string password = revurov::fuzz::CodeUnits(bytes);
    StoreAdminPassword(ini, kConfigSection, password);
    TStringList written;
    ini.GetStrings(written);
    TStringList reread;
    reread.SetText(written.Text());
    if (LoadAdminPassword(TMemIniFile(u"TesmiraSec.dat", TTextEncoding::Utf8, reread), kConfigSection) != password)
      std::abort();
  } catch (const Exception&) {
  }
  return 0;
}
