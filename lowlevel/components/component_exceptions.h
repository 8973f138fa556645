// The component exception family: errors raised for a component, named by
// the component, and the class records by which a component chooses the
// exception class of its errors.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

class TnxComponent;
namespace platform {
class TComponent;
}  // namespace platform

// Raised for a component: "RevurOV: <name>: <message> [$<hex>/<dec>]" or
// "... [no error code]". The name is the component's, "<unnamed <class>
// instance>" when empty, "<nil pointer>" without a component. The code-only
// form takes the text of this thread's last conversion of the same code when
// there is one, else the code's own text. The base's forms (no component)
// stay available.
class EnxComponentException : public EnxBaseException {
public:
  using EnxBaseException::EnxBaseException;
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode);
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                        std::u16string_view aAltMsg);
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                        std::u16string_view aAltMsg, std::initializer_list<platform::TFormatArg> aArgs);
  EnxComponentException(const TnxComponent* aComponent, std::u16string_view aMsg);
  EnxComponentException(const TnxComponent* aComponent, std::u16string_view aMsg,
                        std::initializer_list<platform::TFormatArg> aArgs);

  std::u16string_view ClassName() const noexcept override { return u"EnxComponentException"; }
  // The component's name as the message shows it.
  static std::u16string ComponentName(const platform::TComponent* aComponent);

private:
  void NameComponent(const TnxComponent* aComponent);
};

// A class of the component exception family, as a component names it for
// its errors: raising one turns a built EnxComponentException into it.
// Raise always throws; [[noreturn]] cannot be said of a pointer.
struct TnxComponentExceptionClass {
  std::u16string_view Name;
  void (*Raise)(const EnxComponentException& aBuilt);
};

template <class E>
const TnxComponentExceptionClass& nxComponentExceptionClass() noexcept {
  static const TnxComponentExceptionClass record{
      E::StaticClassName, [](const EnxComponentException& aBuilt) -> void { throw E(aBuilt); }};
  return record;
}

// Declares a class of the component exception family.
#define REVUROV_COMPONENT_EXCEPTION_CLASS(Name, Base)                                        \
  class Name : public Base {                                                                 \
  public:                                                                                    \
    using Base::Base;                                                                        \
    static constexpr std::u16string_view StaticClassName = u"" #Name;                        \
    explicit Name(const ::revurov::EnxComponentException& aBuilt) : Base(aBuilt) {}          \
    std::u16string_view ClassName() const noexcept override { return StaticClassName; }      \
  }

// EnxComponentException's own record.
template <>
inline const TnxComponentExceptionClass& nxComponentExceptionClass<EnxComponentException>() noexcept {
  static const TnxComponentExceptionClass record{
      u"EnxComponentException",
      [](const EnxComponentException& aBuilt) -> void { throw EnxComponentException(aBuilt); }};
  return record;
}

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxRegisterableComponentException, EnxComponentException);

}  // namespace revurov
