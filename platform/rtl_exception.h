// Root of every exception the system raises, and the runtime's own family.
//
// Contract: `Message()` is the text shown to a user (UTF-16); `what()` gives
// the same text in UTF-8 for logs and test failures. Subclasses keep their
// message in the base so that a caught `Exception&` always has the full text.
// `ClassName()` is the class's own name as messages and logs show it (never
// derived from typeid); every class below overrides it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace revurov::platform {

class Exception : public std::exception {
public:
  Exception() = default;
  explicit Exception(std::u16string message);
  ~Exception() override;

  const std::u16string& Message() const noexcept { return message_; }
  void SetMessage(std::u16string message);
  const char* what() const noexcept override { return what_.c_str(); }
  virtual std::u16string_view ClassName() const noexcept { return u"Exception"; }

private:
  std::u16string message_;
  std::string what_;  // UTF-8 copy of message_
};

// Declares a class of the runtime family: the base's constructors and its
// own class name.
#define REVUROV_RUNTIME_EXCEPTION(Name, Base)                                        \
  class Name : public Base {                                                         \
  public:                                                                            \
    using Base::Base;                                                                \
    std::u16string_view ClassName() const noexcept override { return u"" #Name; } \
  }

// The runtime's out-of-memory and invalid-pointer errors, raised by the heap
// routines when an allocation fails or a pointer is not a live block.
class EOutOfMemory : public Exception {
public:
  EOutOfMemory();
  std::u16string_view ClassName() const noexcept override { return u"EOutOfMemory"; }
};

class EInvalidPointer : public Exception {
public:
  EInvalidPointer();
  std::u16string_view ClassName() const noexcept override { return u"EInvalidPointer"; }
};

// Malformed format strings and failed conversions of text to numbers.
REVUROV_RUNTIME_EXCEPTION(EConvertError, Exception);

// The silent abort: handlers pass it on without showing anything.
class EAbort : public Exception {
public:
  EAbort();
  explicit EAbort(std::u16string message) : Exception(std::move(message)) {}
  std::u16string_view ClassName() const noexcept override { return u"EAbort"; }
};
// Raises EAbort with its standard text.
[[noreturn]] void Abort();

// A failed operating-system call; ErrorCode is the OS error (errno here).
class EOSError : public Exception {
public:
  EOSError(std::u16string message, uint32_t errorCode)
      : Exception(std::move(message)), errorCode_(errorCode) {}
  uint32_t ErrorCode() const noexcept { return errorCode_; }
  std::u16string_view ClassName() const noexcept override { return u"EOSError"; }

private:
  uint32_t errorCode_ = 0;
};

REVUROV_RUNTIME_EXCEPTION(EListError, Exception);
REVUROV_RUNTIME_EXCEPTION(EStringListError, Exception);
REVUROV_RUNTIME_EXCEPTION(EStreamError, Exception);
REVUROV_RUNTIME_EXCEPTION(EFilerError, EStreamError);
REVUROV_RUNTIME_EXCEPTION(EFileStreamError, EStreamError);
REVUROV_RUNTIME_EXCEPTION(EFCreateError, EFileStreamError);
REVUROV_RUNTIME_EXCEPTION(EFOpenError, EFileStreamError);

// The runtime's texts; the second %s is the system's reason.
inline constexpr char16_t SFCreateErrorEx[] = u"Datei \"%s\" kann nicht erstellt werden. %s";
inline constexpr char16_t SFOpenErrorEx[] = u"Datei \"%s\" kann nicht ge\u00F6ffnet werden. %s";
REVUROV_RUNTIME_EXCEPTION(EReadError, EFilerError);
REVUROV_RUNTIME_EXCEPTION(EWriteError, EFilerError);
REVUROV_RUNTIME_EXCEPTION(EClassNotFound, EFilerError);
REVUROV_RUNTIME_EXCEPTION(ERangeError, Exception);
REVUROV_RUNTIME_EXCEPTION(EInvalidCast, Exception);
REVUROV_RUNTIME_EXCEPTION(EAbstractError, Exception);
REVUROV_RUNTIME_EXCEPTION(EResNotFound, Exception);
REVUROV_RUNTIME_EXCEPTION(EEncodingError, Exception);
REVUROV_RUNTIME_EXCEPTION(EVariantInvalidOpError, Exception);
REVUROV_RUNTIME_EXCEPTION(EDatabaseError, Exception);

// The runtime's message texts (a German installation). Those with "%d" take
// the offending number through Format.
inline constexpr char16_t SListIndexError[] = u"Listenindex au\u00DFerhalb des g\u00FCltigen Bereichs (%d)";
inline constexpr char16_t SListCapacityError[] = u"Kapazit\u00E4t der Liste ist ersch\u00F6pft (%d)";
inline constexpr char16_t SListCountError[] = u"Zu viele Eintr\u00E4ge in der Liste (%d)";
inline constexpr char16_t SSortedListError[] = u"Operation f\u00FCr sortierte Listen nicht zul\u00E4ssig";
inline constexpr char16_t SDuplicateString[] = u"In der String-Liste sind Duplikate nicht zul\u00E4ssig";
inline constexpr char16_t SInvalidPropertyValue[] = u"Ung\u00FCltiger Eigenschaftswert";
inline constexpr char16_t SReadError[] = u"Stream-Lesefehler";
inline constexpr char16_t SWriteError[] = u"Stream-Schreibfehler";
inline constexpr char16_t SOperationAborted[] = u"Operation abgebrochen";
inline constexpr char16_t SInvalidCast[] = u"Ung\u00FCltige Typumwandlung";
inline constexpr char16_t SAbstractError[] = u"Abstrakter Fehler";
inline constexpr char16_t SRangeError[] = u"Fehler bei Bereichs\u00FCberpr\u00FCfung";
// Source class name (or "nil"), target class name.
inline constexpr char16_t SAssignError[] = u"%s kann nicht zu %s zugewiesen werden";

}  // namespace revurov::platform
