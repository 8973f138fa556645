#include "platform/c_number.h"

#include <locale.h>

#include <cstdlib>

namespace revurov::platform {

namespace {

// Made once and never freed: readers on any thread share it.
locale_t CLocale() noexcept {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

}  // namespace

long double CTextToExtended(const char* aText) noexcept { return strtold_l(aText, nullptr, CLocale()); }

}  // namespace revurov::platform
