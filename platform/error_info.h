// Error information of the calling thread: a small object that carries the
// source, description, help file, help context and interface GUID of an
// error, and one slot per thread that holds the latest.
//
// Contract:
// - The getters of IErrorInfo answer S_OK and the value; an object made by
//   nxCreateErrorInfo answers its setters' values, empty texts, GUID_NULL
//   and 0 where nothing was set.
// - nxCreateErrorInfo makes a new object (count 1 through the pointer); it
//   offers IInterface, IErrorInfo and ICreateErrorInfo.
// - nxSetErrorInfo puts an object (or nil) into the calling thread's slot,
//   releasing what was there; nxGetErrorInfo takes it out (S_FALSE and nil
//   when the slot is empty), leaving the slot empty.
#pragma once

#include <cstdint>
#include <string>

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov::platform {

class IErrorInfo : public virtual IInterface {
public:
  static constexpr TGUID IID = nxGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT GetGUID(TGUID& aGuid) noexcept = 0;
  virtual HRESULT GetSource(std::u16string& aSource) noexcept = 0;
  virtual HRESULT GetDescription(std::u16string& aDescription) noexcept = 0;
  virtual HRESULT GetHelpFile(std::u16string& aHelpFile) noexcept = 0;
  virtual HRESULT GetHelpContext(uint32_t& aHelpContext) noexcept = 0;

protected:
  ~IErrorInfo() = default;
};

class ICreateErrorInfo : public virtual IInterface {
public:
  static constexpr TGUID IID = nxGuid("{22F03340-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT SetGUID(const TGUID& aGuid) noexcept = 0;
  virtual HRESULT SetSource(const std::u16string& aSource) noexcept = 0;
  virtual HRESULT SetDescription(const std::u16string& aDescription) noexcept = 0;
  virtual HRESULT SetHelpFile(const std::u16string& aHelpFile) noexcept = 0;
  virtual HRESULT SetHelpContext(uint32_t aHelpContext) noexcept = 0;

protected:
  ~ICreateErrorInfo() = default;
};

TInterfacePtr<ICreateErrorInfo> nxCreateErrorInfo();
void nxSetErrorInfo(TInterfacePtr<IErrorInfo> aErrorInfo) noexcept;
HRESULT nxGetErrorInfo(TInterfacePtr<IErrorInfo>& aErrorInfo) noexcept;

}  // namespace revurov::platform
