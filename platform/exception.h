// Root of every exception the system raises.
//
// Contract: `Message()` is the text shown to a user (UTF-16); `what()` gives
// the same text in UTF-8 for logs and test failures. Subclasses keep their
// message in the base so that a caught `Exception&` always has the full text.
#pragma once

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

private:
  std::u16string message_;
  std::string what_;  // UTF-8 copy of message_
};

// The runtime's out-of-memory and invalid-pointer errors, raised by the heap
// routines when an allocation fails or a pointer is not a live block.
class EOutOfMemory : public Exception {
public:
  EOutOfMemory();
};

class EInvalidPointer : public Exception {
public:
  EInvalidPointer();
};

// Malformed format strings and failed conversions of text to numbers.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

}  // namespace revurov::platform
