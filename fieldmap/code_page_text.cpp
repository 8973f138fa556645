#include "fieldmap/code_page_text.h"

#include <string>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

void TnxMapperContext::Raise(std::u16string_view aFunction, int64_t aError) const {
  std::u16string text(Class);
  text.append(u".").append(Routine).append(u"/").append(aFunction);
  nxRaiseLastOSError(text, aError);
}

uint32_t nxResolvedCodePage(uint16_t aCodePage) noexcept {
  return aCodePage == 0 ? platform::SystemAnsiCodePage() : aCodePage;
}

std::unique_ptr<platform::TCodePageConverter> nxOpenMapperConverter(uint32_t aCodePage,
                                                                    const TnxMapperContext& aContext,
                                                                    std::u16string_view aFunction) {
  auto conv = platform::TCodePageConverter::Open(aCodePage);
  if (!conv) aContext.Raise(aFunction, nxErrorInvalidParameter);
  return conv;
}

std::u16string_view nxWidenText(platform::TCodePageConverter& aConv, std::string_view aBytes,
                                TnxWideBuffer& aBuffer, const TnxMapperContext& aContext) {
  if (aBytes.empty()) return {};
  // No code page the platform serves gives more units than bytes; the
  // count is asked again should one do.
  char16_t* units = aBuffer.Reserve(aBytes.size());
  int32_t n = aConv.ToUnicode(aBytes, units, static_cast<int32_t>(aBytes.size()));
  if (n > static_cast<int32_t>(aBytes.size())) {
    units = aBuffer.Reserve(static_cast<size_t>(n) + 257);
    n = aConv.ToUnicode(aBytes, units, n);
  }
  if (n < 0) aContext.Raise(nxWidenFunction, nxErrorNoUnicodeTranslation);
  return {units, static_cast<size_t>(n)};
}

int32_t nxNarrowTextCut(platform::TCodePageConverter& aConv, std::u16string_view aText, char* aArea,
                        int32_t aCapacity, const TnxMapperContext& aContext) {
  if (aText.empty()) return 0;
  const int32_t n = aConv.FromUnicode(aText, aArea, aCapacity);
  if (n >= 0 && n <= aCapacity) return n;
  const int32_t cut = n < 0 ? -1 : aConv.FromUnicodeCut(aText, aArea, aCapacity);
  if (cut < 0) aContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
  return cut;
}

int32_t nxNarrowTextCheck(platform::TCodePageConverter& aConv, std::u16string_view aText, char* aArea,
                          int32_t aCapacity, const TnxMapperContext& aContext) {
  if (aText.empty()) return 0;
  const int32_t n = aConv.FromUnicode(aText, aArea, aCapacity);
  if (n < 0) aContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
  return n;
}

}  // namespace revurov
