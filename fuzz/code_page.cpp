// Code-page conversions both ways on any text, in every served code page:
// the length query must answer what the conversion writes, a strict
// conversion without best fit that succeeds must convert back unchanged in
// a single-byte code page, and the library's conversions raise nothing but
// their OS error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/startup.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "platform/locale.h"
#include "platform/nls.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

namespace {

using namespace platform;

// Both calls fail alike, or the query answers what the conversion wrote.
template <typename Convert>
void QueryMatches(Convert aConvert, size_t aRoom) {
  const int query = aConvert(nullptr, 0);
  std::basic_string<decltype(aConvert.unit)> out(aRoom, 0);
  const int written = aConvert(out.data(), static_cast<int>(out.size()));
  if (query != written) std::abort();
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  // Code page choice, flag choice, then the text as UTF-16 LE code units.
  const auto seed = [](uint8_t aPage, uint8_t aFlags, std::u16string_view aText) {
    std::string s{static_cast<char>(aPage), static_cast<char>(aFlags)};
    for (char16_t c : aText) {
      s.push_back(static_cast<char>(c & 0xFF));
      s.push_back(static_cast<char>(c >> 8));
    }
    return s;
  };
  return {seed(0, 0, u"Gr\u00FC\u00DFe 12,50 \u20AC"), seed(1, 1, u"A\u200BB\uFE00"),
          seed(2, 2, u"a\U0001F600b\xD800"), seed(3, 3, u"\u0100\u0151\u4E00")};
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  using namespace revurov::platform;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const auto& pages = InstalledCodePages();
  const uint32_t page = pages[fuzz::TakeByte(in) % pages.size()].number;
  const uint8_t choice = fuzz::TakeByte(in);
  if (in.empty()) return 0;
  const std::u16string text = fuzz::CodeUnits(in);
  const std::string bytes(in);

  static constexpr uint32_t kWideFlags[] = {0, WC_NO_BEST_FIT_CHARS, WC_ERR_INVALID_CHARS,
                                            WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS};
  const uint32_t wflags = kWideFlags[choice % 4];
  const uint32_t mflags = (choice & 4) ? MB_ERR_INVALID_CHARS : 0;
  const int units = static_cast<int>(text.size());
  const int count = static_cast<int>(bytes.size());

  if (units > 0) {
    struct {
      char unit = 0;
      int operator()(char* aOut, int aRoom) const {
        return WideCharToMultiByte(page, flags, src->data(), n, aOut, aRoom);
      }
      uint32_t page, flags;
      const std::u16string* src;
      int n;
    } toBytes{0, page, wflags, &text, units};
    fuzz::QueryMatches(toBytes, text.size() * 8 + 16);
  }
  struct {
    char16_t unit = 0;
    int operator()(char16_t* aOut, int aRoom) const {
      return MultiByteToWideChar(page, flags, src->data(), n, aOut, aRoom);
    }
    uint32_t page, flags;
    const std::string* src;
    int n;
  } toWide{0, page, mflags, &bytes, count};
  fuzz::QueryMatches(toWide, bytes.size() * 2 + 16);

  // Strict without best fit in a single-byte page: nothing dropped, nothing
  // replaced, so the bytes read back as the text.
  constexpr uint32_t kExact = WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS;
  if (units > 0 && page != 65001) {
    std::string exact(text.size() * 8 + 16, '\0');
    const int n = WideCharToMultiByte(page, kExact, text.data(), units, exact.data(), static_cast<int>(exact.size()));
    if (n > 0 && n == units) {
      std::u16string back(text.size() + 16, u'\0');
      const int m = MultiByteToWideChar(page, 0, exact.data(), n, back.data(), static_cast<int>(back.size()));
      if (m != units || back.compare(0, text.size(), text) != 0) std::abort();
    }
  }

  try {
    (void)nxWideStringToString(text, static_cast<uint16_t>(page));
  } catch (const platform::Exception&) {
  }
  try {
    (void)nxStringToWideString(bytes, static_cast<uint16_t>(page));
  } catch (const platform::Exception&) {
  }
  return 0;
}
