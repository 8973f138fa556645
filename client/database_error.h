// The one exception the client components raise. It derives from the
// dataset framework's EDatabaseError, so that code written against datasets
// catches it, and not from EnxBaseException; it still carries what the
// library's exceptions carry (code, message without its tags, custom infos,
// OS error, exception data) and answers their interfaces itself, so the
// library's exception conversion takes it like one of its own. Counting
// through those interfaces does nothing (AddRef and Release return -1): the
// exception lives as long as its handler keeps it.
//
// Messages: raised for a component "RevurOV: <component>: <message>
// [$<hex>/<dec>]" or "RevurOV: <component>: <message> [no error code]";
// raised without one, the same without "RevurOV: <component>: ".
//
// A code alone shows the text that the transport left for that code in the
// thread's last-converted slot (a server's message, with the tags the
// server's exception conversion wrote into it), else the code's own text.
// Every constructor leaves the slot at code 0 and empty, so no later error
// shows a stale server text. A server's text is untrusted: any text builds
// an exception and nothing else is raised.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "lowlevel/errors/exceptions.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

namespace platform {
class TComponent;
}  // namespace platform

class EnxComponentException;

class EnxDatabaseError : public platform::EDatabaseError, public InxException {
public:
  // Without a component.
  explicit EnxDatabaseError(uint32_t aErrorCode);
  EnxDatabaseError(uint32_t aErrorCode, std::u16string_view aAltMsg);
  EnxDatabaseError(uint32_t aErrorCode, std::u16string_view aAltMsg,
                   std::initializer_list<platform::TFormatArg> aArgs);
  explicit EnxDatabaseError(std::u16string_view aMsg);
  EnxDatabaseError(std::u16string_view aMsg, std::initializer_list<platform::TFormatArg> aArgs);

  // For the component that raises; null names it "<nil pointer>".
  EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode);
  EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode,
                   std::u16string_view aAltMsg);
  EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode,
                   std::u16string_view aAltMsg, std::initializer_list<platform::TFormatArg> aArgs);
  EnxDatabaseError(const platform::TComponent* aComponent, std::u16string_view aMsg);
  EnxDatabaseError(const platform::TComponent* aComponent, std::u16string_view aMsg,
                   std::initializer_list<platform::TFormatArg> aArgs);

  // The error that a component exception built for a component describes:
  // code, texts, infos, data and message; the OS error read again by this
  // class's rule. This is how the raising operations of a component whose
  // exception class this is raise it.
  explicit EnxDatabaseError(const EnxComponentException& aBuilt);

  static constexpr std::u16string_view StaticClassName = u"EnxDatabaseError";
  std::u16string_view ClassName() const noexcept override { return StaticClassName; }

  platform::HRESULT QueryInterface(const platform::TGUID& aIID, void** aObj) noexcept override;
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  // The text of a code, from the library's table.
  virtual void GetErrorString(uint32_t aErrorCode, std::u16string& aText) const;
  // How a message names a component: its name, "<unnamed <class> instance>"
  // when it has none, "<nil pointer>" for null.
  static std::u16string GetComponentName(const platform::TComponent* aComponent);

  uint32_t ErrorCode() const noexcept override { return static_cast<uint32_t>(deErrorCode); }
  const std::u16string& ErrorString() const noexcept override { return deErrorString; }
  bool ExtendedMsg() const noexcept override { return deExtendedMsg; }
  uint32_t OSError() const noexcept override { return deOSError; }
  // Created empty on first request.
  TnxCustomInfos& CustomInfos() override;
  // Created empty, named "ExceptionData", on first request.
  TnxExceptionDataRef ExceptionData() override;
  // The processed message: the error string with the code's text where a
  // placeholder stands or when the string is empty.
  std::u16string ProcessedErrorString() const override;

private:
  // Which message pattern a constructor uses: with a component (which may
  // be null) or without one.
  struct Origin {
    bool named = false;
    const platform::TComponent* component = nullptr;
  };
  void InitCodeOnly(Origin aOrigin, uint32_t aErrorCode);
  void InitWithCode(Origin aOrigin, uint32_t aErrorCode, std::u16string_view aMsg);
  void InitWithoutCode(Origin aOrigin, std::u16string_view aMsg);
  void TakeTags(std::u16string_view aMsg);
  void FormatMessage(Origin aOrigin, bool aWithCode);

  int32_t deErrorCode = 0;
  std::u16string deErrorString;
  bool deExtendedMsg = false;
  bool deHasCustomInfos = false;  // the list exists (created on first use)
  TnxCustomInfos deCustomInfos;
  uint32_t deOSError = 0;
  TnxExceptionDataRef deExceptionData;
};

}  // namespace revurov
