// Locale and code-page lists, cached format settings per locale, NLS
// versions and the calling thread's ANSI code page.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/format.h"

namespace revurov {

// "The calling thread's ANSI code page": what the wide-string conversions
// use where a code page of 0 is given.
inline constexpr uint32_t CP_THREAD_ACP = 3;
inline constexpr uint32_t nxDefaultCodePage = CP_THREAD_ACP;

// Format settings of the invariant locale (127).
const platform::TFormatSettings& nxInvariantFormatSettings();

// The default ANSI code page of the calling thread's locale, read again
// only when the thread locale changed since the last call.
int32_t nxThreadAnsiCodePage();

// Display name and id, sorted by name; built once.
using TnxIdList = std::vector<std::pair<std::u16string, uint32_t>>;
const TnxIdList& nxLocaleList();
const TnxIdList& nxCodePageList();
bool nxIsLocaleInstalled(uint32_t aLCID);
bool nxIsCodePageInstalled(uint32_t aCodePage);

// The cached settings of a locale; the first request creates them and the
// reference stays valid until the process ends.
const platform::TFormatSettings& nxGetFormatSettings(uint32_t aLocaleID);

// 32 bytes as the OS fills them: size, NLS version, defined version,
// effective locale, custom version GUID.
struct TnxNLSVersionInfoEx {
  uint32_t dwNLSVersionInfoSize = 0;
  uint32_t dwNLSVersion = 0;
  uint32_t dwDefinedVersion = 0;
  uint32_t dwEffectiveId = 0;
  uint8_t guidCustomVersion[16] = {};
};
// The versions come from ICU's collation of the locale; the effective
// locale is 0 when aLocale is not in the locale list.
void nxGetNLSVersion(uint32_t aLocale, TnxNLSVersionInfoEx& aInfo);

}  // namespace revurov
