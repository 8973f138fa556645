#include "client/database_error.h"

#include "lowlevel/components/component_exceptions.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/strings/utils_text.h"

namespace revurov {

using platform::TFormatArg;

namespace {

// Leaves the thread's last-converted slot at code 0 and empty when a
// constructor ends, also when it fails half-way, so that no later error of
// this thread shows a server text that belonged to this one.
struct SlotReset {
  SlotReset() = default;
  SlotReset(const SlotReset&) = delete;
  SlotReset& operator=(const SlotReset&) = delete;
  ~SlotReset() { EnxBaseException::SetLastConvertedException(0, u""); }
};

}  // namespace

// ---- construction ----

void EnxDatabaseError::TakeTags(std::u16string_view aMsg) {
  // The OS error of a server's text is read as 64 bits, the low 32 kept.
  deErrorString = nxTakeMessageTags(aMsg, TnxOSErrorTagForm::LowOf64, deCustomInfos, deHasCustomInfos,
                                    deOSError, deExceptionData);
  deExtendedMsg = true;
}

// The pattern follows the form: a code form shows its code, even 0.
void EnxDatabaseError::FormatMessage(Origin aOrigin, bool aWithCode) {
  const std::u16string shown = nxTrimTrailingBlankLines(ProcessedErrorString());
  const uint32_t code = ErrorCode();
  if (aOrigin.named) {
    const std::u16string name = GetComponentName(aOrigin.component);
    SetMessage(aWithCode ? nxFormatComponentCodeMessage(name, shown, code)
                         : nxFormatComponentNoCodeMessage(name, shown));
  } else {
    SetMessage(aWithCode ? nxFormatPlainCodeMessage(shown, code) : nxFormatPlainNoCodeMessage(shown));
  }
}

void EnxDatabaseError::InitWithCode(Origin aOrigin, uint32_t aErrorCode, std::u16string_view aMsg) {
  deErrorCode = static_cast<int32_t>(aErrorCode);
  TakeTags(aMsg);
  FormatMessage(aOrigin, true);
}

void EnxDatabaseError::InitCodeOnly(Origin aOrigin, uint32_t aErrorCode) {
  uint32_t slotCode = 0;
  std::u16string slotMessage;
  EnxBaseException::GetLastConvertedException(slotCode, slotMessage);
  if (slotCode == aErrorCode && !slotMessage.empty()) {
    InitWithCode(aOrigin, aErrorCode, slotMessage);
    return;
  }
  deErrorCode = static_cast<int32_t>(aErrorCode);
  FormatMessage(aOrigin, true);
}

void EnxDatabaseError::InitWithoutCode(Origin aOrigin, std::u16string_view aMsg) {
  TakeTags(aMsg);
  FormatMessage(aOrigin, false);
}

EnxDatabaseError::EnxDatabaseError(uint32_t aErrorCode) {
  SlotReset reset;
  InitCodeOnly({}, aErrorCode);
}

EnxDatabaseError::EnxDatabaseError(uint32_t aErrorCode, std::u16string_view aAltMsg) {
  SlotReset reset;
  InitWithCode({}, aErrorCode, aAltMsg);
}

EnxDatabaseError::EnxDatabaseError(uint32_t aErrorCode, std::u16string_view aAltMsg,
                                   std::initializer_list<TFormatArg> aArgs) {
  SlotReset reset;
  InitWithCode({}, aErrorCode, platform::Format(aAltMsg, aArgs));
}

EnxDatabaseError::EnxDatabaseError(std::u16string_view aMsg) {
  SlotReset reset;
  InitWithoutCode({}, aMsg);
}

EnxDatabaseError::EnxDatabaseError(std::u16string_view aMsg, std::initializer_list<TFormatArg> aArgs) {
  SlotReset reset;
  InitWithoutCode({}, platform::Format(aMsg, aArgs));
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode) {
  SlotReset reset;
  InitCodeOnly({true, aComponent}, aErrorCode);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode,
                                   std::u16string_view aAltMsg) {
  SlotReset reset;
  InitWithCode({true, aComponent}, aErrorCode, aAltMsg);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, uint32_t aErrorCode,
                                   std::u16string_view aAltMsg, std::initializer_list<TFormatArg> aArgs) {
  SlotReset reset;
  InitWithCode({true, aComponent}, aErrorCode, platform::Format(aAltMsg, aArgs));
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, std::u16string_view aMsg) {
  SlotReset reset;
  InitWithoutCode({true, aComponent}, aMsg);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, std::u16string_view aMsg,
                                   std::initializer_list<TFormatArg> aArgs) {
  SlotReset reset;
  InitWithoutCode({true, aComponent}, platform::Format(aMsg, aArgs));
}

EnxDatabaseError::EnxDatabaseError(const EnxComponentException& aBuilt)
    : platform::EDatabaseError(aBuilt.Message()),
      deErrorCode(static_cast<int32_t>(aBuilt.ErrorCode())),
      deErrorString(aBuilt.ErrorString()),
      deExtendedMsg(aBuilt.ExtendedMsg()),
      deHasCustomInfos(aBuilt.HasCustomInfos()),
      deCustomInfos(aBuilt.CustomInfos()),
      // A copy: asking the built exception for its data makes one when none came.
      deExceptionData(EnxComponentException(aBuilt).ExceptionData()) {
  SlotReset reset;
  // The library's exception reads a server's OS error as 32 bits; this one
  // keeps the low 32 bits of a 64-bit value.
  const std::u16string os = deHasCustomInfos ? deCustomInfos.Values(u"OSError") : std::u16string();
  deOSError = os.empty() ? aBuilt.OSError() : nxReadOSErrorTag(os, TnxOSErrorTagForm::LowOf64);
}

// ---- the interfaces ----

platform::HRESULT EnxDatabaseError::QueryInterface(const platform::TGUID& aIID, void** aObj) noexcept {
  return nxExceptionQueryInterface(*this, aIID, aObj);
}

void EnxDatabaseError::GetErrorString(uint32_t aErrorCode, std::u16string& aText) const {
  nxBdeErrorMessage(static_cast<int32_t>(aErrorCode), aText);
}

std::u16string EnxDatabaseError::GetComponentName(const platform::TComponent* aComponent) {
  return EnxComponentException::ComponentName(aComponent);
}

TnxCustomInfos& EnxDatabaseError::CustomInfos() {
  deHasCustomInfos = true;
  return deCustomInfos;
}

TnxExceptionDataRef EnxDatabaseError::ExceptionData() {
  if (!deExceptionData) deExceptionData = nxCreateExceptionDataContainer(u"ExceptionData");
  return deExceptionData;
}

std::u16string EnxDatabaseError::ProcessedErrorString() const {
  return nxProcessedMessage(*this, deErrorString, [this] {
    std::u16string text;
    GetErrorString(ErrorCode(), text);
    return text;
  });
}

}  // namespace revurov
