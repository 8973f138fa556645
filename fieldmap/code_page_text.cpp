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

}  // namespace revurov
