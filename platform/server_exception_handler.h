// Told of an exception that leaves a method of an object served to other
// processes; it may handle it and choose the method's result.
#pragma once

#include <string_view>

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov::platform {

class IServerExceptionHandler : public virtual IInterface {
public:
  static constexpr TGUID IID = nxGuid("{6A3E2A2C-0C6B-4B27-8E84-9E2A3C4F5D61}");
  // aHandled false on entry; when set, aResult is the method's answer.
  virtual void OnException(std::u16string_view aServerClass, std::u16string_view aExceptionClass,
                           std::u16string_view aMessage, const void* aAddress, bool& aHandled,
                           HRESULT& aResult) = 0;
};

}  // namespace revurov::platform
