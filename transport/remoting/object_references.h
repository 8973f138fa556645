// Interface references in remote calls. A reference is never copied: the
// writer wraps the object in its class stub and a new channel exit, the
// reader opens an entrance to that exit and a class proxy over it, or finds
// the object in its own process.
//
// Contract:
// - The reference: GUID class ID (GUID_NULL without InxClass), GUID class
//   stub ID, the stub's routing path, GUID channel ID, Integer stub version.
// - nxWriteObjectReference writes nothing when it fails. The object keeps
//   one class stub; every reference written makes a new exit, listed with
//   the stub so that the stub's end closes it. E_NOTIMPL without session
//   notifications or server ID.
// - nxReadObjectReference reads the whole reference whatever it finds. This
//   process's objects are found only through their stubs' instance IDs (a
//   peer reaches only what it was given); an object that comes back reads
//   as itself and the exit made for its trip is closed at once. A hop that
//   names this process but none of its stubs (forged, or an object long
//   gone) answers RPC_E_INVALID_OBJREF and closes that exit too. Else a new
//   entrance and the class proxy for the remote object (a live proxy is
//   reused and the new entrance closed). E_INVALIDARG without a session.
#pragma once

#include "lowlevel/objects/session_notifications.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/remoting_types.h"
#include "transport/session_requests.h"

namespace revurov {

platform::HRESULT nxWriteObjectReference(InxSessionNotifications* aNotifications, const platform::TGUID* aServerID,
                                         InxWriter& aWriter, const platform::TGUID& aIID,
                                         platform::IInterface* aObject);
platform::HRESULT nxReadObjectReference(InxSessionRequests* aSession, const platform::TGUID* aServerID,
                                        InxReader& aReader, const platform::TGUID& aIID,
                                        platform::TInterfacePtr<platform::IInterface>& aInterface);

}  // namespace revurov
