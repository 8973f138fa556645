#include "lowlevel/streams/exception_conversion.h"

#include <new>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr uint32_t kCodeZero = 15520;
constexpr uint32_t kUnexpected = 15521;
constexpr uint32_t kOSError = 11047;
constexpr uint32_t kOutOfMemory = 9473;

struct Converted {
  uint32_t code = 0;
  std::u16string message;
  std::u16string ownMessage;  // for the log
};

Converted Convert(const std::exception* aException, uint32_t aVersion) {
  Converted r;
  if (auto* nx = dynamic_cast<const InxException*>(aException)) {
    auto* pe = dynamic_cast<const platform::Exception*>(aException);
    r.ownMessage = pe ? pe->Message() : platform::Utf8ToUtf16(aException->what());
    if (nx->ErrorCode() == 0) {
      r.code = kCodeZero;
      r.message = r.ownMessage;
    } else {
      r.code = nx->ErrorCode();
      if (nx->ExtendedMsg()) {
        r.message = nx->ErrorString();
        // Through the interface, so that every exception answering it (the
        // client's database error too) travels with its infos. Asking for
        // them makes an empty list where none was, as the interface defines.
        TnxCustomInfos& infos = const_cast<InxException*>(nx)->CustomInfos();
        for (const auto& line : infos.Lines()) {
          size_t eq = line.find(u'=');
          r.message += nxMessageTagForVersion(aVersion, line.substr(0, eq),
                                              eq == std::u16string::npos ? u"" : line.substr(eq + 1));
        }
      }
    }
    return r;
  }
  if (auto* os = dynamic_cast<const platform::EOSError*>(aException)) {
    r.code = kOSError;
    r.ownMessage = os->Message();
    r.message = os->Message() + nxMessageTag(u"OSError", platform::Format(u"%u", {os->ErrorCode()})) +
                nxMessageTag(u"Exception.Class", os->ClassName()) + nxMessageTag(u"Exception.Message", os->Message());
    return r;
  }
  if (dynamic_cast<const platform::EOutOfMemory*>(aException) || dynamic_cast<const std::bad_alloc*>(aException)) {
    r.code = kOutOfMemory;
    r.ownMessage = platform::Utf8ToUtf16(aException->what());
    return r;
  }
  std::u16string className = u"[unknown]";
  std::u16string message;
  if (auto* pe = dynamic_cast<const platform::Exception*>(aException)) {
    className = std::u16string(pe->ClassName());
    message = pe->Message();
  } else if (aException) {
    className = u"std::exception";
    message = platform::Utf8ToUtf16(aException->what());
  }
  r.code = kUnexpected;
  r.ownMessage = message;
  r.message = platform::Format(u"Unexpected exception object raised: [%s] %s", {className, message}) +
              nxMessageTag(u"Exception.Class", className) + nxMessageTag(u"Exception.Message", message);
  return r;
}

uint32_t Finish(Converted r, const TnxConvertLog* aLog, TnxObject* aForObject, uint32_t aVersion) {
  std::u16string dump;
  if (auto* described = dynamic_cast<InxExceptionData*>(aForObject)) {
    TnxExceptionDataRef container = nxCreateExceptionDataContainer(u"ExceptionData");
    described->GetExceptionData(*container, false);
    if (container->Count() > 0) {
      // The receiver still shows the code's text before the data.
      if (r.message.empty()) r.message = nxOriginalMessageTagForVersion(aVersion);
      r.message += nxMessageTag(u"$ExceptionData$", container->ToEncodedString(static_cast<int32_t>(aVersion)));
      dump = container->ToString();
    }
  }
  EnxBaseException::SetLastConvertedException(r.code, r.message);
  if (aLog && *aLog) {
    std::u16string text = r.ownMessage;
    if (!dump.empty()) text += u"\r\n" + dump;
    (*aLog)(platform::Format(u"Exception Cvt: %s", {text}), r.code, nxConvertLogPriority(r.code));
  }
  return r.code;
}

uint32_t ResolveVersion(int32_t aVersion) {
  return aVersion == 0 ? nxGetThreadMinVersionCapped() : static_cast<uint32_t>(aVersion);
}

}  // namespace

TnxConvertLogPriority nxConvertLogPriority(uint32_t aErrorCode) {
  uint32_t category = aErrorCode >> 8;
  if (category == 0x2B) return TnxConvertLogPriority::Fatal;
  if (category == 0x23 || category == 0x2F) return TnxConvertLogPriority::Error;
  if (aErrorCode == 15520 || aErrorCode == 15521 || aErrorCode == 15522) return TnxConvertLogPriority::Error;
  if (category == 0x28) return TnxConvertLogPriority::Info;
  if (aErrorCode == 15461 || aErrorCode == 15507) return TnxConvertLogPriority::Info;
  return TnxConvertLogPriority::Warn;
}

uint32_t nxConvertException(const std::exception& aException, const TnxConvertLog* aLog,
                            TnxObject* aForObject, int32_t aVersion) {
  uint32_t version = ResolveVersion(aVersion);
  return Finish(Convert(&aException, version), aLog, aForObject, version);
}

uint32_t nxConvertCurrentException(const TnxConvertLog* aLog, TnxObject* aForObject, int32_t aVersion) {
  try {
    throw;
  } catch (const std::exception& e) {
    return nxConvertException(e, aLog, aForObject, aVersion);
  } catch (...) {
    uint32_t version = ResolveVersion(aVersion);
    return Finish(Convert(nullptr, version), aLog, aForObject, version);
  }
}

}  // namespace revurov
