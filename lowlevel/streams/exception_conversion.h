// Turns any exception into one error code and one message text, leaves both
// in the calling thread's last-converted slot and returns the code, so that
// a later EnxBaseException made with that code (on a server thread, or on
// the client after the text travelled with a reply) rebuilds the same
// message, custom infos and exception data.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "lowlevel/heap/memory_manager.h"

namespace revurov {

// Priority of the log line a conversion writes.
enum class TnxConvertLogPriority { Fatal, Error, Warn, Info };
TnxConvertLogPriority nxConvertLogPriority(uint32_t aErrorCode);

// Receives the conversion's log line: "Exception Cvt: %s" filled with the
// exception's own message (and the exception data dump), the code as the
// message number, and the priority.
using TnxConvertLog =
    std::function<void(const std::u16string& aText, uint32_t aMsgNumber, TnxConvertLogPriority aPriority)>;

// aVersion: the peer version the texts are made for; 0 for the calling
// thread's. aForObject, when it implements InxExceptionData, describes
// itself into the message. Raises nothing of its own.
uint32_t nxConvertException(const std::exception& aException, const TnxConvertLog* aLog = nullptr,
                            TnxObject* aForObject = nullptr, int32_t aVersion = 0);
// The same for the exception being handled, including objects that are not
// std::exceptions (class "[unknown]").
uint32_t nxConvertCurrentException(const TnxConvertLog* aLog = nullptr, TnxObject* aForObject = nullptr,
                                   int32_t aVersion = 0);

}  // namespace revurov
