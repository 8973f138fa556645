#include "platform/error_info.h"

#include <atomic>
#include <new>
#include <utility>

namespace revurov::platform {

namespace {

class TErrorObject final : public IErrorInfo, public ICreateErrorInfo {
public:
  HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == IErrorInfo::IID) {
      *obj = static_cast<IErrorInfo*>(this);
    } else if (iid == ICreateErrorInfo::IID) {
      *obj = static_cast<ICreateErrorInfo*>(this);
    } else if (iid == IInterface::IID) {
      *obj = static_cast<IInterface*>(this);
    } else {
      *obj = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  int32_t AddRef() noexcept override { return ++count_; }
  int32_t Release() noexcept override {
    const int32_t n = --count_;
    if (n == 0) delete this;
    return n;
  }

  HRESULT GetGUID(TGUID& aGuid) noexcept override { aGuid = guid_; return S_OK; }
  HRESULT GetSource(std::u16string& aSource) noexcept override { return Copy(source_, aSource); }
  HRESULT GetDescription(std::u16string& aDescription) noexcept override { return Copy(description_, aDescription); }
  HRESULT GetHelpFile(std::u16string& aHelpFile) noexcept override { return Copy(helpFile_, aHelpFile); }
  HRESULT GetHelpContext(uint32_t& aHelpContext) noexcept override { aHelpContext = helpContext_; return S_OK; }

  HRESULT SetGUID(const TGUID& aGuid) noexcept override { guid_ = aGuid; return S_OK; }
  HRESULT SetSource(const std::u16string& aSource) noexcept override { return Copy(aSource, source_); }
  HRESULT SetDescription(const std::u16string& aDescription) noexcept override { return Copy(aDescription, description_); }
  HRESULT SetHelpFile(const std::u16string& aHelpFile) noexcept override { return Copy(aHelpFile, helpFile_); }
  HRESULT SetHelpContext(uint32_t aHelpContext) noexcept override { helpContext_ = aHelpContext; return S_OK; }

private:
  // The interface promises no exception; a text that cannot be copied is
  // a failed call.
  static HRESULT Copy(const std::u16string& from, std::u16string& to) noexcept {
    try {
      to = from;
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  std::atomic<int32_t> count_{0};
  TGUID guid_ = GUID_NULL;
  std::u16string source_, description_, helpFile_;
  uint32_t helpContext_ = 0;
};

thread_local TInterfacePtr<IErrorInfo> tlsErrorInfo;

}  // namespace

TInterfacePtr<ICreateErrorInfo> nxCreateErrorInfo() { return TInterfacePtr<ICreateErrorInfo>(new TErrorObject); }

void nxSetErrorInfo(TInterfacePtr<IErrorInfo> aErrorInfo) noexcept { tlsErrorInfo = std::move(aErrorInfo); }

HRESULT nxGetErrorInfo(TInterfacePtr<IErrorInfo>& aErrorInfo) noexcept {
  aErrorInfo = std::move(tlsErrorInfo);
  tlsErrorInfo.Reset();
  return aErrorInfo ? S_OK : S_FALSE;
}

}  // namespace revurov::platform
