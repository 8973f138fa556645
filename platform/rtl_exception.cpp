#include "platform/rtl_exception.h"

#include "platform/text.h"

namespace revurov::platform {

Exception::Exception(std::u16string message) { SetMessage(std::move(message)); }

Exception::~Exception() = default;

void Exception::SetMessage(std::u16string message) {
  message_ = std::move(message);
  what_ = Utf16ToUtf8(message_);
}

EOutOfMemory::EOutOfMemory() : Exception(u"Out of memory") {}

EInvalidPointer::EInvalidPointer() : Exception(u"Invalid pointer operation") {}

EAbort::EAbort() : Exception(SOperationAborted) {}

void Abort() { throw EAbort(); }

}  // namespace revurov::platform
