// The library's exception base, message tags, the per-thread slot of the
// last converted error, and the raisers of operating-system errors.
//
// An exception carries an error code (0 when made from a message alone), the
// message as given with its tags taken out, and name=value custom infos.
// Tags let those infos travel inside a plain message text, so a message made
// on a server rebuilds the same infos on the client. Tag extraction reads
// text from the network: it ends on any input and never reads out of range.
//
// Every constructor clears the message of the calling thread's slot (its
// code stays); `nxSetMessage` fills it so that the next exception made with
// the same code alone on that thread shows the message.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/strings/fast_string_list.h"
#include "platform/format.h"
#include "platform/interface.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"

namespace revurov {

// Structured exception data; defined by the exception-data unit, which fills
// the hooks below at its start-up. Until then "$ExceptionData$" tags are
// consumed and dropped, and `ExceptionData()` answers nil.
class InxExceptionDataContainer;
using TnxExceptionDataRef = std::shared_ptr<InxExceptionDataContainer>;

struct TnxExceptionDataHooks {
  // Decodes the text of an "$ExceptionData$" tag; raises when it cannot.
  TnxExceptionDataRef (*FromString)(std::u16string_view aEncoded) = nullptr;
  // A new, empty root container named "ExceptionData".
  TnxExceptionDataRef (*CreateContainer)() = nullptr;
};
void nxSetExceptionDataHooks(const TnxExceptionDataHooks& aHooks) noexcept;

// Name=value lines in insertion order, a string list whose names compare
// without regard to (ASCII) case; setting an empty value removes the line.
class TnxCustomInfos : public TnxFastStringListIC {
public:
  std::vector<std::u16string> Lines() const;
};

// What an exception answers to handlers and to the exception conversion.
// The exception object answers them itself: reference counting does nothing
// (AddRef and Release return -1), since the exception's lifetime is the
// handler's, not the references'.
class InxBaseException : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{A62E7C83-AD20-4BF1-BB24-0E4B9ABF4105}");
  virtual uint32_t ErrorCode() const noexcept = 0;

protected:
  ~InxBaseException() = default;
};

class InxExceptionForCallback : public InxBaseException {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5F496E29-028B-4DCB-8530-54C079738DD5}");
  virtual const std::u16string& ErrorString() const noexcept = 0;
  virtual bool ExtendedMsg() const noexcept = 0;
  virtual uint32_t OSError() const noexcept = 0;
  virtual TnxCustomInfos& CustomInfos() = 0;
  virtual TnxExceptionDataRef ExceptionData() = 0;

protected:
  ~InxExceptionForCallback() = default;
};

class InxException : public InxExceptionForCallback {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{79F474DF-1A53-47C1-8B23-FE1F5AC973DD}");
  virtual std::u16string ProcessedErrorString() const = 0;

protected:
  ~InxException() = default;
};

// The QueryInterface of an exception that answers its own interfaces
// (InxException and its parents); E_NOINTERFACE for any other.
platform::HRESULT nxExceptionQueryInterface(InxException& aSelf, const platform::TGUID& aIID,
                                            void** aObj) noexcept;

// How an "OSError" tag is read; anything else gives 0. The library's
// exception takes a decimal 32-bit number, the client's database error a
// 64-bit integer of which it keeps the low 32 bits.
enum class TnxOSErrorTagForm : uint8_t { Decimal32, LowOf64 };
uint32_t nxReadOSErrorTag(std::u16string_view aValue, TnxOSErrorTagForm aForm) noexcept;

// The step every exception runs on the message it is given: takes the tags
// out and returns the rest; a tag "name=value" with both parts sets that
// custom info (aHasInfos: the list exists). Then "OSError" is read into
// aOSError, and "$ExceptionData$" is rebuilt into aData and removed from the
// infos. Exception data that does not decode is dropped: it came with an
// error that must still reach the caller.
std::u16string nxTakeMessageTags(std::u16string_view aMsg, TnxOSErrorTagForm aForm,
                                 TnxCustomInfos& aInfos, bool& aHasInfos, uint32_t& aOSError,
                                 TnxExceptionDataRef& aData);

// The processed message of an error string: trimmed; where an original-
// message placeholder stands (the older form first, then the current one),
// or when nothing is left, the code's text from aCodeText goes in, followed
// by a "." unless it ends in one, then the rest; last the exception hook.
template <typename CodeText>
std::u16string nxProcessedMessage(const platform::Exception& aException,
                                  std::u16string_view aErrorString, const CodeText& aCodeText);

// Session context of a request, for exception hooks (switched off here).
struct TnxExceptionHookInfo {
  std::u16string ehiUserName;
  std::u16string ehiConnectedFrom;
  std::u16string ehiQuery;
  int64_t ehiSessionID = 0;
  std::u16string ehiClient;
};

class EnxBaseException : public platform::Exception, public InxException {
public:
  // Code forms; the low 32 bits of the code are kept. Alone, the code takes
  // the thread slot's message when the slot holds the same code.
  explicit EnxBaseException(int64_t aErrorCode);
  EnxBaseException(int64_t aErrorCode, std::u16string_view aAltMsg);
  EnxBaseException(int64_t aErrorCode, std::u16string_view aAltMsg,
                   std::initializer_list<platform::TFormatArg> aArgs);
  // No-code forms.
  explicit EnxBaseException(std::u16string_view aMsg);
  EnxBaseException(std::u16string_view aMsg, std::initializer_list<platform::TFormatArg> aArgs);

  std::u16string_view ClassName() const noexcept override { return u"EnxBaseException"; }

  // The exception's own interfaces; E_NOINTERFACE for any other.
  platform::HRESULT QueryInterface(const platform::TGUID& aIID, void** aObj) noexcept override;
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  // The text of a code; a class may supply texts of its own.
  virtual void GetErrorString(uint32_t aErrorCode, std::u16string& aText) const;

  uint32_t ErrorCode() const noexcept override { return beErrorCode; }
  const std::u16string& ErrorString() const noexcept override { return beErrorString; }
  bool ExtendedMsg() const noexcept override { return beExtendedMsg; }
  uint32_t OSError() const noexcept override { return beOSError; }
  TnxCustomInfos& CustomInfos() override;
  const TnxCustomInfos& CustomInfos() const noexcept { return beCustomInfos; }
  TnxExceptionDataRef ExceptionData() override;
  std::u16string ProcessedErrorString() const override;
  bool HasCustomInfos() const noexcept { return beHasCustomInfos; }

  // Class-level: the thread slot of the last converted error.
  static uint32_t nxSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg);
  static uint32_t nxSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg,
                               std::initializer_list<platform::TFormatArg> aArgs);
  static void SetLastConvertedException(uint32_t aErrorCode, std::u16string_view aCustomMessage);
  static void GetLastConvertedException(uint32_t& aErrorCode, std::u16string& aCustomMessage);

  // Used by nxCreateOSErrorException: records the OS error and its context
  // (the action's own tags become custom infos too).
  void AssignOSError(uint32_t aOSError, std::u16string_view aAction, std::u16string_view aModule);

private:
  void InitWithCode(uint32_t aErrorCode, std::u16string_view aMsg);
  void InitWithoutCode(std::u16string_view aMsg);
  void ParseMessageTags(std::u16string_view aMsg);

  uint32_t beErrorCode = 0;
  std::u16string beErrorString;
  std::u16string beProcessedErrorString;  // kept empty, as the original does
  bool beExtendedMsg = false;
  bool beHasCustomInfos = false;  // the list exists (created on first use)
  TnxCustomInfos beCustomInfos;
  uint32_t beOSError = 0;
  TnxExceptionDataRef beExceptionData;
};

// Declares an exception family: the base's constructors and its own name.
#define REVUROV_EXCEPTION_CLASS(Name, Base)                                          \
  class Name : public Base {                                                         \
  public:                                                                            \
    using Base::Base;                                                                \
    std::u16string_view ClassName() const noexcept override { return u"" #Name; } \
  }

// Raises EnxBaseException with the code alone when it is not 0.
void nxCheckError(int64_t aErrorCode);

// Tags in the form for the peer the calling thread serves (41200 and above:
// current form), or for a given peer version (0: the thread's).
constexpr uint32_t nxTagFormVersion = 41200;
std::u16string nxMessageTag(std::u16string_view aName, std::u16string_view aValue);
std::u16string nxOriginalMessageTag();
std::u16string nxMessageTagForVersion(uint32_t aVersion, std::u16string_view aName,
                                      std::u16string_view aValue);
std::u16string nxOriginalMessageTagForVersion(uint32_t aVersion);

// Takes the tags out of aText, handing each one's inner text (name=value) to
// aOnTag in order; returns the rest. Both forms are read, the older first.
// Stops on any input: a start without an end swallows the rest of the text,
// an end delimiter before any start is plain text.
template <typename OnTag>
std::u16string nxExtractMessageTags(std::u16string_view aText, OnTag&& aOnTag);

// The text and code of an OS error (the thread's last OS error), in an
// exception of class E; built, not raised. aErrorCode 0 becomes 11047.
std::u16string nxOSErrorText(uint32_t aOSError, std::u16string_view aModule,
                             std::u16string_view aAction);
template <class E = EnxBaseException>
E nxCreateOSErrorException(int64_t aErrorCode, std::u16string_view aModule,
                           std::u16string_view aAction);
template <class E = EnxBaseException>
E nxCreateOSErrorException(int64_t aErrorCode, std::u16string_view aModule,
                           std::u16string_view aAction, std::initializer_list<platform::TFormatArg> aArgs) {
  return nxCreateOSErrorException<E>(aErrorCode, aModule, platform::Format(aAction, aArgs));
}

[[noreturn]] void nxRaiseLastOSError(std::u16string_view aContext, int64_t aErrorCode);
[[noreturn]] void nxRaiseLastOSError();
void nxCheckCondition(bool aSilent, std::u16string_view aContext, int64_t aErrorCode);
// Exactly bool: a string literal would otherwise pick this overload.
template <class B>
  requires std::same_as<B, bool>
void nxRaiseLastOSError(B aSilent, int64_t aErrorCode) {
  nxCheckCondition(aSilent, u"[unknown]", aErrorCode);
}
bool nxWin32Check(bool aResult, std::u16string_view aContext);

// Exception hooking is switched off in this system: the slot stays nil, no
// hook is installed, and calling the hook leaves the message as it is.
void nxSetThreadExceptionHookInfo(TnxExceptionHookInfo* aInfo) noexcept;
TnxExceptionHookInfo* nxGetThreadExceptionHookInfo() noexcept;
bool nxExceptionHookAssigned() noexcept;
void nxCallExceptionHook(const platform::Exception& aException, std::u16string& aMessage) noexcept;

// ---- templates ----

namespace exceptions_detail {
std::u16string ExtractTagsOfForm(std::u16string_view aText, std::u16string_view aOpen,
                                 std::u16string_view aClose,
                                 void (*aSink)(void*, std::u16string_view), void* aContext);
std::u16string ProcessedMessage(const platform::Exception& aException, std::u16string_view aErrorString,
                                std::u16string (*aCodeText)(const void*), const void* aContext);
}  // namespace exceptions_detail

inline constexpr std::u16string_view nxTagOpen = u"<[--!";
inline constexpr std::u16string_view nxTagClose = u"!--]>";
inline constexpr std::u16string_view nxOldTagOpen = u"<[--!\u00FE";
inline constexpr std::u16string_view nxOldTagClose = u"\u00FE!--]>";
inline constexpr std::u16string_view nxOrgTag = u"<[!Org!]>";
inline constexpr std::u16string_view nxOldOrgTag = u"<[!\u00FEOrg\u00FE!>";

template <typename OnTag>
std::u16string nxExtractMessageTags(std::u16string_view aText, OnTag&& aOnTag) {
  auto sink = [](void* ctx, std::u16string_view inner) { (*static_cast<OnTag*>(ctx))(inner); };
  // The older form first: its start delimiter begins with the newer one.
  std::u16string rest = exceptions_detail::ExtractTagsOfForm(aText, nxOldTagOpen, nxOldTagClose,
                                                             sink, &aOnTag);
  return exceptions_detail::ExtractTagsOfForm(rest, nxTagOpen, nxTagClose, sink, &aOnTag);
}

template <typename CodeText>
std::u16string nxProcessedMessage(const platform::Exception& aException,
                                  std::u16string_view aErrorString, const CodeText& aCodeText) {
  auto text = [](const void* ctx) -> std::u16string { return (*static_cast<const CodeText*>(ctx))(); };
  return exceptions_detail::ProcessedMessage(aException, aErrorString, text, &aCodeText);
}

template <class E>
E nxCreateOSErrorException(int64_t aErrorCode, std::u16string_view aModule,
                           std::u16string_view aAction) {
  const uint32_t osError = platform::GetLastOSError();  // before anything can change it
  const std::u16string action = nxExtractMessageTags(aAction, [](std::u16string_view) {});
  const uint32_t code = static_cast<uint32_t>(aErrorCode) ? static_cast<uint32_t>(aErrorCode) : 11047u;
  E e(static_cast<int64_t>(code), nxOSErrorText(osError, aModule, action));
  e.AssignOSError(osError, aAction, osError ? aModule : std::u16string_view());
  return e;
}

}  // namespace revurov
