// Remote instance creation: an object of the remote engine has the server
// make an instance of a remotable class and hands back a class proxy for it,
// reached over a remoting channel of the object's session.
//
// Contract:
// - The result is an HRESULT. An engine result of the request becomes
//   nxEngineResultHResult of it (a failure to SUCCEEDED), and the code with
//   its text stays for the caller as the thread's last converted exception.
// - aOuter with an interface other than IInterface: E_INVALIDARG, nothing
//   sent.
// - The reply is not trusted: a class proxy ID the request did not offer
//   answers E_INVALIDARG with nothing built; a reply that ends early or
//   holds a bad routing path answers a failure. aInterface stays nil on
//   every failure.
// - The request: the call context, the object's ID (aObjectID; none for a
//   session), the offered class proxy IDs (count, then 16 bytes each), the
//   name, the class, the interface and this process's remoting identity.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "engine/engine_types.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/wire_header.h"

namespace revurov {

class InxSessionRequests;

inline constexpr TnxMsgID nxnmSessionCreateInstance = 0x161;
inline constexpr TnxMsgID nxnmDatabaseCreateInstance = 0x261;
inline constexpr TnxMsgID nxnmCursorCreateInstance = 0x3E1;
inline constexpr TnxMsgID nxnmStatementCreateInstance = 0x4E1;
inline constexpr TnxMsgID nxnmTaskInfoCreateInstance = 0x5E1;
inline constexpr TnxMsgID nxnmTransContextCreateInstance = 0x961;

// An engine result code as a failure HRESULT (interface facility, the code
// in the low 16 bits).
constexpr platform::HRESULT nxEngineResultHResult(uint32_t aCode) noexcept {
  return platform::HRESULT(0x80040000u | (aCode & 0xFFFFu));
}

// The object's ID goes first unless aObjectID is nil (the session).
platform::HRESULT nxRemoteCreateInstance(InxSessionRequests* aSession, TnxMsgID aMsgID, const TnxBaseID* aObjectID,
                                         std::u16string_view aName, const platform::TGUID& aClassID,
                                         platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                         void** aInterface);

// True when the local path walk takes aName: "<Self>", "<Session>",
// "<Extenders>" or one of the object's own heads (aOwn) first; every other
// path is the server's.
bool nxRemotePathIsLocal(std::u16string_view aName, std::initializer_list<std::u16string_view> aOwn) noexcept;

}  // namespace revurov
