#include "lowlevel/errors/exceptions.h"

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/text.h"

namespace revurov {

using platform::TFormatArg;

using platform::Format;

namespace {

struct ThreadSlot {
  uint32_t code = 0;
  std::u16string message;
  TnxExceptionHookInfo* hookInfo = nullptr;
};
thread_local ThreadSlot tlsSlot;

TnxExceptionDataHooks gDataHooks;

// Decimal digits only; anything else (or a value beyond 32 bits) gives 0.
uint32_t DecimalOrZero(std::u16string_view s) noexcept {
  s = platform::Trim(s);
  if (s.empty()) return 0;
  uint64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return 0;
    v = v * 10 + static_cast<uint64_t>(c - u'0');
    if (v > UINT32_MAX) return 0;
  }
  return static_cast<uint32_t>(v);
}

// A signed 64-bit decimal, its low 32 bits; 0 for anything that is not one
// (a server's text may hold anything, any length).
uint32_t Low32OfInt64OrZero(std::u16string_view s) noexcept {
  s = platform::Trim(s);
  bool negative = false;
  if (!s.empty() && (s.front() == u'-' || s.front() == u'+')) {
    negative = s.front() == u'-';
    s.remove_prefix(1);
  }
  if (s.empty()) return 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return 0;
    const uint64_t digit = static_cast<uint64_t>(c - u'0');
    if (v > (limit - digit) / 10) return 0;
    v = v * 10 + digit;
  }
  return static_cast<uint32_t>(negative ? 0 - v : v);
}

std::u16string UnsignedText(uint32_t v) { return Format(u"%u", {v}); }

}  // namespace

void nxSetExceptionDataHooks(const TnxExceptionDataHooks& aHooks) noexcept { gDataHooks = aHooks; }

// ---- custom infos ----

std::vector<std::u16string> TnxCustomInfos::Lines() const {
  std::vector<std::u16string> lines;
  lines.reserve(static_cast<size_t>(Count()));
  for (int i = 0; i < Count(); ++i) lines.push_back(Strings(i));
  return lines;
}

// ---- tags ----

namespace exceptions_detail {

// Works in place on one buffer: kept text is buf[0, w), text still to scan
// is buf[r, n). Each round removes at least the start delimiter, so the loop
// ends on any input. A removal can join two pieces into a new start
// delimiter; the last few kept characters go back into the scanned part so
// that it is found, as a rescan of the whole text would find it.
std::u16string ExtractTagsOfForm(std::u16string_view aText, std::u16string_view aOpen,
                                 std::u16string_view aClose,
                                 void (*aSink)(void*, std::u16string_view), void* aContext) {
  std::u16string buf(aText);
  const size_t n = buf.size();
  size_t w = 0, r = 0;
  for (;;) {
    size_t a = buf.find(aOpen, r);
    if (a == std::u16string::npos) break;
    std::char_traits<char16_t>::move(buf.data() + w, buf.data() + r, a - r);
    w += a - r;
    const size_t innerStart = a + aOpen.size();
    // The end is looked for after the start: a stray end delimiter before it
    // would otherwise make the removal negative and the loop endless.
    size_t e = buf.find(aClose, innerStart);
    const size_t innerEnd = e == std::u16string::npos ? n : e;
    aSink(aContext, std::u16string_view(buf).substr(innerStart, innerEnd - innerStart));
    r = e == std::u16string::npos ? n : e + aClose.size();
    size_t k = std::min(w, aOpen.size() - 1);
    w -= k;
    r -= k;
    std::char_traits<char16_t>::copy(buf.data() + r, buf.data() + w, k);
  }
  std::char_traits<char16_t>::move(buf.data() + w, buf.data() + r, n - r);
  buf.resize(w + (n - r));
  return buf;
}

}  // namespace exceptions_detail

std::u16string nxMessageTagForVersion(uint32_t aVersion, std::u16string_view aName,
                                      std::u16string_view aValue) {
  if (aVersion == 0) aVersion = nxGetThreadMinVersionCapped();
  const bool current = aVersion >= nxTagFormVersion;
  std::u16string s(current ? nxTagOpen : nxOldTagOpen);
  s += aName;
  s += u'=';
  s += aValue;
  s += current ? nxTagClose : nxOldTagClose;
  return s;
}

std::u16string nxOriginalMessageTagForVersion(uint32_t aVersion) {
  if (aVersion == 0) aVersion = nxGetThreadMinVersionCapped();
  return std::u16string(aVersion >= nxTagFormVersion ? nxOrgTag : nxOldOrgTag);
}

std::u16string nxMessageTag(std::u16string_view aName, std::u16string_view aValue) {
  return nxMessageTagForVersion(0, aName, aValue);
}

std::u16string nxOriginalMessageTag() { return nxOriginalMessageTagForVersion(0); }

// ---- the steps every exception shares ----

platform::HRESULT nxExceptionQueryInterface(InxException& aSelf, const platform::TGUID& aIID,
                                            void** aObj) noexcept {
  void* p = nullptr;
  if (aIID == InxException::IID)
    p = static_cast<InxException*>(&aSelf);
  else if (aIID == InxExceptionForCallback::IID)
    p = static_cast<InxExceptionForCallback*>(&aSelf);
  else if (aIID == InxBaseException::IID)
    p = static_cast<InxBaseException*>(&aSelf);
  else if (aIID == platform::IInterface::IID)
    p = static_cast<platform::IInterface*>(&aSelf);
  if (aObj) *aObj = p;
  return p ? platform::S_OK : platform::E_NOINTERFACE;
}

uint32_t nxReadOSErrorTag(std::u16string_view aValue, TnxOSErrorTagForm aForm) noexcept {
  return aForm == TnxOSErrorTagForm::Decimal32 ? DecimalOrZero(aValue) : Low32OfInt64OrZero(aValue);
}

std::u16string nxTakeMessageTags(std::u16string_view aMsg, TnxOSErrorTagForm aForm,
                                 TnxCustomInfos& aInfos, bool& aHasInfos, uint32_t& aOSError,
                                 TnxExceptionDataRef& aData) {
  std::u16string rest = nxExtractMessageTags(aMsg, [&](std::u16string_view inner) {
    if (inner.empty()) return;
    size_t eq = inner.find(u'=');
    std::u16string_view name = inner.substr(0, eq);
    std::u16string_view value = eq == std::u16string_view::npos ? std::u16string_view() : inner.substr(eq + 1);
    if (name.empty() || value.empty()) return;
    aHasInfos = true;
    aInfos.SetValues(name, value);
  });
  if (!aHasInfos) return rest;
  std::u16string os = aInfos.Values(u"OSError");
  if (!os.empty()) aOSError = nxReadOSErrorTag(os, aForm);
  std::u16string data = aInfos.Values(u"$ExceptionData$");
  if (!data.empty() && gDataHooks.FromString) {
    try {
      aData = gDataHooks.FromString(data);
    } catch (const platform::Exception&) {
      // The decoder's own exception must not replace the error it came
      // with; without its data that error still says what went wrong.
      aData.reset();
    }
  }
  aInfos.SetValues(u"$ExceptionData$", u"");
  return rest;
}

namespace exceptions_detail {

namespace {

// One placeholder form: where it stands, or when s is empty, the code's
// text goes in.
void FillPlaceholder(std::u16string& s, std::u16string_view aTag,
                     std::u16string (*aCodeText)(const void*), const void* aContext) {
  const size_t p = s.find(aTag);
  if (p == std::u16string::npos && !s.empty()) return;
  std::u16string r = p == std::u16string::npos ? std::u16string() : s.substr(0, p);
  r += aCodeText(aContext);
  if (p != std::u16string::npos) {
    if (r.size() > 1 && r.back() != u'.') r += u'.';
    r.append(s, p + aTag.size());
  }
  s = std::move(r);
}

}  // namespace

std::u16string ProcessedMessage(const platform::Exception& aException, std::u16string_view aErrorString,
                                std::u16string (*aCodeText)(const void*), const void* aContext) {
  // Both placeholder forms are read, whatever the thread's peer version: a
  // text may come from a peer of either version.
  std::u16string s(platform::Trim(aErrorString));
  FillPlaceholder(s, nxOldOrgTag, aCodeText, aContext);
  FillPlaceholder(s, nxOrgTag, aCodeText, aContext);
  nxCallExceptionHook(aException, s);
  return s;
}

}  // namespace exceptions_detail

// ---- the exception ----

void EnxBaseException::ParseMessageTags(std::u16string_view aMsg) {
  beErrorString = nxTakeMessageTags(aMsg, TnxOSErrorTagForm::Decimal32, beCustomInfos, beHasCustomInfos,
                                    beOSError, beExceptionData);
}

void EnxBaseException::InitWithCode(uint32_t aErrorCode, std::u16string_view aMsg) {
  beErrorCode = aErrorCode;
  ParseMessageTags(aMsg);
  beExtendedMsg = true;
  SetMessage(nxFormatCodeMessage(nxTrimTrailingBlankLines(ProcessedErrorString()), beErrorCode));
}

void EnxBaseException::InitWithoutCode(std::u16string_view aMsg) {
  ParseMessageTags(aMsg);
  beExtendedMsg = true;
  SetMessage(nxFormatNoCodeMessage(nxTrimTrailingBlankLines(ProcessedErrorString())));
}

EnxBaseException::EnxBaseException(int64_t aErrorCode) {
  const uint32_t code = static_cast<uint32_t>(aErrorCode);
  if (tlsSlot.code == code && !tlsSlot.message.empty()) {
    std::u16string msg = std::move(tlsSlot.message);
    tlsSlot.message.clear();
    InitWithCode(code, msg);
  } else {
    beErrorCode = code;
    SetMessage(nxFormatCodeMessage(nxTrimTrailingBlankLines(ProcessedErrorString()), beErrorCode));
  }
  tlsSlot.message.clear();
}

EnxBaseException::EnxBaseException(int64_t aErrorCode, std::u16string_view aAltMsg) {
  InitWithCode(static_cast<uint32_t>(aErrorCode), aAltMsg);
  tlsSlot.message.clear();
}

EnxBaseException::EnxBaseException(int64_t aErrorCode, std::u16string_view aAltMsg,
                                   std::initializer_list<TFormatArg> aArgs) {
  InitWithCode(static_cast<uint32_t>(aErrorCode), Format(aAltMsg, aArgs));
  tlsSlot.message.clear();
}

EnxBaseException::EnxBaseException(std::u16string_view aMsg) {
  InitWithoutCode(aMsg);
  tlsSlot.message.clear();
}

EnxBaseException::EnxBaseException(std::u16string_view aMsg, std::initializer_list<TFormatArg> aArgs) {
  InitWithoutCode(Format(aMsg, aArgs));
  tlsSlot.message.clear();
}

platform::HRESULT EnxBaseException::QueryInterface(const platform::TGUID& aIID, void** aObj) noexcept {
  return nxExceptionQueryInterface(*this, aIID, aObj);
}

void EnxBaseException::GetErrorString(uint32_t aErrorCode, std::u16string& aText) const {
  nxBdeErrorMessage(static_cast<int32_t>(aErrorCode), aText);
}

TnxCustomInfos& EnxBaseException::CustomInfos() {
  beHasCustomInfos = true;
  return beCustomInfos;
}

TnxExceptionDataRef EnxBaseException::ExceptionData() {
  if (!beExceptionData && gDataHooks.CreateContainer) beExceptionData = gDataHooks.CreateContainer();
  return beExceptionData;
}

std::u16string EnxBaseException::ProcessedErrorString() const {
  return nxProcessedMessage(*this, beErrorString, [this] {
    std::u16string text;
    GetErrorString(beErrorCode, text);
    return text;
  });
}

void EnxBaseException::AssignOSError(uint32_t aOSError, std::u16string_view aAction,
                                     std::u16string_view aModule) {
  beOSError = aOSError;
  TnxCustomInfos& infos = CustomInfos();
  infos.SetValues(u"OSError", UnsignedText(aOSError));
  std::u16string action = nxExtractMessageTags(aAction, [&infos](std::u16string_view inner) {
    size_t eq = inner.find(u'=');
    if (eq == std::u16string_view::npos || eq == 0 || eq + 1 == inner.size()) return;
    infos.SetValues(inner.substr(0, eq), inner.substr(eq + 1));
  });
  // The action goes in without its tags: a tag inside a tag's value would
  // end the outer tag early when the infos travel as tags again.
  infos.SetValues(u"Action", action);
  if (!aModule.empty()) infos.SetValues(u"Module", aModule);
  infos.SetValues(u"$ExceptionData$", u"");
}

// ---- thread slot ----

uint32_t EnxBaseException::nxSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg) {
  tlsSlot.code = static_cast<uint32_t>(aErrorCode);
  tlsSlot.message.assign(aAltMsg);
  return tlsSlot.code;
}

uint32_t EnxBaseException::nxSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg,
                                        std::initializer_list<TFormatArg> aArgs) {
  return nxSetMessage(aErrorCode, Format(aAltMsg, aArgs));
}

void EnxBaseException::SetLastConvertedException(uint32_t aErrorCode, std::u16string_view aCustomMessage) {
  tlsSlot.code = aErrorCode;
  tlsSlot.message.assign(aCustomMessage);
}

void EnxBaseException::GetLastConvertedException(uint32_t& aErrorCode, std::u16string& aCustomMessage) {
  aErrorCode = tlsSlot.code;
  aCustomMessage = tlsSlot.message;
}

// ---- raising ----

void nxCheckError(int64_t aErrorCode) {
  if (static_cast<uint32_t>(aErrorCode) != 0) throw EnxBaseException(aErrorCode);
}

std::u16string nxOSErrorText(uint32_t aOSError, std::u16string_view aModule,
                             std::u16string_view aAction) {
  if (aOSError != 0) {
    // No module carries message tables here: the system's text serves.
    const std::u16string sys = platform::SysErrorMessage(aOSError);
    if (!aAction.empty())
      return Format(u"Operating system error in %s: %s ($%x/%d)", {aAction, sys, aOSError, aOSError});
    return Format(u"Win32 Error in %s.  Code: %d.\n%s",
                  {aModule.empty() ? std::u16string_view(u"[unknown]") : aModule, aOSError, sys});
  }
  if (!aAction.empty()) return Format(u"A call to an OS function failed in %s", {aAction});
  return u"A call to an OS function failed.";
}

void nxCheckCondition(bool aSilent, std::u16string_view aContext, int64_t aErrorCode) {
  if (!aSilent) throw nxCreateOSErrorException<EnxBaseException>(aErrorCode, u"", aContext);
  if (platform::GetLastOSError() != 0) platform::Abort();
}

void nxRaiseLastOSError(std::u16string_view aContext, int64_t aErrorCode) {
  throw nxCreateOSErrorException<EnxBaseException>(aErrorCode, u"", aContext);
}

void nxRaiseLastOSError() { nxRaiseLastOSError(u"[unknown]", 0); }

bool nxWin32Check(bool aResult, std::u16string_view aContext) {
  if (!aResult) nxRaiseLastOSError(aContext, 0);
  return aResult;
}

// ---- hooks (switched off) ----

void nxSetThreadExceptionHookInfo(TnxExceptionHookInfo*) noexcept { tlsSlot.hookInfo = nullptr; }

TnxExceptionHookInfo* nxGetThreadExceptionHookInfo() noexcept { return tlsSlot.hookInfo; }

bool nxExceptionHookAssigned() noexcept { return false; }

void nxCallExceptionHook(const platform::Exception&, std::u16string&) noexcept {}

}  // namespace revurov
