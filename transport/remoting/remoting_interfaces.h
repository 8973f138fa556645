// The interfaces of classes, channels, stubs and proxies that the remoting
// units implement and call. Operations answer COM result codes; out
// parameters are cleared on entry.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

class InxClass : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{E7C42807-0571-43CF-B796-2E02B014B35B}");
  virtual platform::HRESULT GetClassID(platform::TGUID& aClassID) = 0;
};

class InxChannel : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{A3E3ECE0-292F-4906-906E-4A3B2EC5CD96}");
  virtual platform::HRESULT GetChannelID(platform::TGUID& aChannelID) = 0;
  virtual platform::HRESULT GetServerID(platform::TGUID& aServerID) = 0;
  virtual bool IsConnected() = 0;
};

class InxChannelExit : public InxChannel {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{FFDE0E7E-7A05-47A6-84C2-B2D576C34733}");
  virtual platform::HRESULT Disconnect() = 0;
};

class InxChannelEntrance : public InxChannel {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{AF602A06-2FAC-4610-AFAC-590D68A5F5CF}");
  virtual platform::HRESULT CreateRequest(platform::TInterfacePtr<InxWriter>& aWriter) = 0;
  virtual platform::HRESULT SendRequest(platform::IInterface* aWriter,
                                        platform::TInterfacePtr<InxReader>& aReader) = 0;
};

class InxInterfaceWriter : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{9D5D85E0-78CC-48F9-89C2-DF0695A694D4}");
  virtual platform::HRESULT WriteInterface(const platform::TGUID& aIID, platform::IInterface* aInterface) = 0;
};

class InxInterfaceReader : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{ACF175CD-1B51-423A-8F94-209884A03C1F}");
  virtual platform::HRESULT ReadInterface(const platform::TGUID& aIID,
                                          platform::TInterfacePtr<platform::IInterface>& aInterface) = 0;
};

class InxInterfaceFilerInit : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{BF8315FA-9958-44EC-AF4B-BA5B292E9997}");
  // The server identity stays the channel's; the filer keeps the pointer.
  virtual platform::HRESULT Init(const platform::TGUID* aServerID) = 0;
};

class InxChannelSink : public InxRoutingPath {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{3CD324C8-EEF8-488D-837E-4EA297286359}");
  virtual platform::HRESULT AddChannel(InxChannelExit* aExit) = 0;
  virtual platform::HRESULT RemoveChannel(InxChannelExit* aExit) = 0;
  virtual platform::HRESULT Dispatch(InxChannelExit* aExit, InxReader* aReader, InxWriter* aWriter) = 0;
};

class InxClassStub : public InxChannelSink {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{C517E61D-C16C-4545-9632-DD7568796E0A}");
  virtual platform::HRESULT DisconnectChannels() = 0;
  // No new calls; the object goes when the last running call ends.
  virtual platform::HRESULT Disconnect() = 0;
  virtual platform::HRESULT WriteVersion(InxWriter* aWriter) = 0;
  virtual platform::HRESULT QueryObject(const platform::TGUID& aIID,
                                        platform::TInterfacePtr<platform::IInterface>& aInterface) = 0;
};

class InxInterfaceStub : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{DAD855D1-2A08-41CC-8E8C-043C4573B4F0}");
  virtual platform::HRESULT Invoke(InxChannelExit* aExit, InxClassStub* aClassStub, InxReader* aReader,
                                   InxWriter* aWriter) = 0;
  virtual platform::HRESULT WriteVersion(InxChannelExit* aExit, InxClassStub* aClassStub, InxWriter* aWriter) = 0;
};

class InxClassProxy : public InxRoutingPath {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{DB83A187-6E9A-4336-A7E2-6A4C09CAB674}");
  virtual platform::HRESULT CreateRequest(platform::TInterfacePtr<InxWriter>& aWriter) = 0;
  virtual platform::HRESULT SendRequest(InxWriter* aWriter, platform::TInterfacePtr<InxReader>& aReader) = 0;
  virtual platform::HRESULT ReferenceReceived(InxChannelEntrance* aChannel, const TnxRoutingPath& aPath) = 0;
};

// Marks an interface proxy; it adds no operation.
class InxInterfaceProxy : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{738581B0-E9DF-4DFD-88DF-46593977E01A}");
};

// The context of a remote call (transport/remoting/call_context.h).
class InxCallContext : public InxRoutingPath {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{4BD403B6-C79E-47A3-BAAF-7DF5577E773C}");
  // The context block: this ID, the block version 1, the routing path.
  virtual platform::HRESULT WriteCallContext(InxWriter* aWriter) = 0;
  // S_OK when the object's route is part of this call's route, else S_FALSE.
  virtual platform::HRESULT IsOnRoute(InxRoutingPath* aObject) = 0;
  virtual void EnterCall() = 0;
  virtual void LeaveCall() = 0;
  // The thread that made the context.
  virtual uint32_t GetThreadID() = 0;
  virtual bool IsInCall() = 0;
};

}  // namespace revurov
