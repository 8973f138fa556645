#include "lowlevel/strings/utils_locale.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "platform/format.h"
#include "platform/locale.h"

namespace revurov {

const platform::TFormatSettings& nxInvariantFormatSettings() {
  static const platform::TFormatSettings settings{};
  return settings;
}

int32_t nxThreadAnsiCodePage() {
  thread_local uint32_t tlsSeenLocale = 0;
  thread_local int32_t tlsCodePage = -1;
  const uint32_t locale = platform::GetThreadLocale();
  if (locale != tlsSeenLocale || tlsSeenLocale == 0) {
    const uint32_t cp = platform::LocaleAnsiCodePage(locale);
    tlsCodePage = cp ? static_cast<int32_t>(cp) : 0;
    tlsSeenLocale = locale;
  }
  return tlsCodePage;
}

namespace {
TnxIdList SortedByName(TnxIdList list) {
  std::sort(list.begin(), list.end());
  return list;
}
}  // namespace

// Built on first use by a function-local static: one thread builds, the
// others wait, and a failure leaves it unbuilt for the next call.
const TnxIdList& nxLocaleList() {
  static const TnxIdList list = [] {
    TnxIdList l;
    for (uint32_t id : platform::InstalledLocales()) {
      std::u16string name = platform::LocaleDisplayName(id);
      if (name.empty()) name = platform::Format(u"%x", {id});
      l.emplace_back(std::move(name), id);
    }
    return SortedByName(std::move(l));
  }();
  return list;
}

const TnxIdList& nxCodePageList() {
  static const TnxIdList list = [] {
    TnxIdList l;
    for (const auto& cp : platform::InstalledCodePages()) l.emplace_back(cp.name, cp.number);
    return SortedByName(std::move(l));
  }();
  return list;
}

bool nxIsLocaleInstalled(uint32_t aLCID) {
  const auto& ids = platform::InstalledLocales();
  return std::binary_search(ids.begin(), ids.end(), aLCID);
}

bool nxIsCodePageInstalled(uint32_t aCodePage) {
  const auto& pages = platform::InstalledCodePages();
  return std::any_of(pages.begin(), pages.end(), [aCodePage](const auto& p) { return p.number == aCodePage; });
}

const platform::TFormatSettings& nxGetFormatSettings(uint32_t aLocaleID) {
  static std::mutex lock;
  static std::map<uint32_t, std::unique_ptr<platform::TFormatSettings>> cache;
  std::lock_guard<std::mutex> g(lock);
  auto it = cache.find(aLocaleID);
  if (it == cache.end())
    it = cache.emplace(aLocaleID, std::make_unique<platform::TFormatSettings>(platform::LocaleFormatSettings(aLocaleID)))
             .first;
  return *it->second;
}

void nxGetNLSVersion(uint32_t aLocale, TnxNLSVersionInfoEx& aInfo) {
  aInfo = TnxNLSVersionInfoEx{};
  aInfo.dwEffectiveId = aLocale;
  const platform::TCollationVersion v = platform::LocaleCollationVersion(aLocale);
  if (v.ok) {
    aInfo.dwNLSVersionInfoSize = 32;
    auto pack = [](const std::array<uint8_t, 4>& b) {
      return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    };
    aInfo.dwNLSVersion = pack(v.version);
    aInfo.dwDefinedVersion = pack(v.ucaVersion);
  }
  if (!nxIsLocaleInstalled(aLocale)) aInfo.dwEffectiveId = 0;
}

}  // namespace revurov
