#include "lowlevel/components/component_exceptions.h"

#include "lowlevel/components/component.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/format.h"

namespace revurov {

using platform::TFormatArg;

std::u16string EnxComponentException::ComponentName(const platform::TComponent* aComponent) {
  if (!aComponent) return u"<nil pointer>";
  if (aComponent->Name().empty())
    return platform::Format(u"<unnamed %s instance>", {aComponent->ClassName()});
  return aComponent->Name();
}

void EnxComponentException::NameComponent(const TnxComponent* aComponent) {
  const std::u16string text = nxTrimTrailingBlankLines(ProcessedErrorString());
  SetMessage(ErrorCode() != 0
                 ? nxFormatComponentCodeMessage(ComponentName(aComponent), text, ErrorCode())
                 : nxFormatComponentNoCodeMessage(ComponentName(aComponent), text));
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode)
    : EnxBaseException(aErrorCode) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                                             std::u16string_view aAltMsg)
    : EnxBaseException(aErrorCode, aAltMsg) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                                             std::u16string_view aAltMsg,
                                             std::initializer_list<TFormatArg> aArgs)
    : EnxBaseException(aErrorCode, aAltMsg, aArgs) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent,
                                             std::u16string_view aMsg)
    : EnxBaseException(aMsg) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent,
                                             std::u16string_view aMsg,
                                             std::initializer_list<TFormatArg> aArgs)
    : EnxBaseException(aMsg, aArgs) {
  NameComponent(aComponent);
}

}  // namespace revurov
