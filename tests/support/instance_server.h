// The server's side of instance creation for the test command handler: the
// request's object must be open; the instance MakeObject makes for the class
// goes behind a class stub with a channel exit for the client, and the
// reply names the first class proxy the client offered. A class MakeObject
// makes nothing for is refused with E_NOINTERFACE. Needs the remoting
// library (and its start-up).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "support/test_command_handler.h"
#include "transport/base_transport.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov::testing {

class TInstanceServer {
public:
  using TMake = std::function<platform::TInterfacePtr<platform::IInterface>(const platform::TGUID& aClassID)>;

  // Serves aHandler's create-instance requests until destroyed.
  TInstanceServer(TTestCommandHandler& aHandler, TMake aMake) : isHandler(aHandler), isMake(std::move(aMake)) {
    aHandler.Configure([this](TTestCommandHandler& h) {
      h.InstanceServer = [this](const TnxDataMessage& aMessage) { Serve(aMessage); };
    });
  }
  ~TInstanceServer() {
    isHandler.Configure([](TTestCommandHandler& h) { h.InstanceServer = nullptr; });
  }
  TInstanceServer(const TInstanceServer&) = delete;
  TInstanceServer& operator=(const TInstanceServer&) = delete;

  // What the last request offered, and the name it asked for.
  std::vector<platform::TGUID> Offered() const {
    std::lock_guard<std::mutex> guard(isLock);
    return isOffered;
  }
  std::u16string LastName() const {
    std::lock_guard<std::mutex> guard(isLock);
    return isName;
  }

private:
  void Serve(const TnxDataMessage& aMessage) {
    const platform::TInterfacePtr<TnxInterfacedRequestReader> reader(nxCreate<TnxInterfacedRequestReader>(aMessage));
    InxReplyWriter& writer = reader->ReplyWriter();
    if (const platform::HRESULT context = reader->ReadContext(); context != platform::S_OK)
      return writer.Finish(context);
    const uint32_t id = aMessage.dmMsg == 0x161 ? 0 : static_cast<uint32_t>(reader->ReadInteger());
    if (!isHandler.KnowsObject(aMessage.dmMsg, id))
      return TnxBaseTransport::Reply(aMessage.dmMsg, nxeInvalidHandle, nullptr, 0);
    const int32_t count = reader->ReadInteger();
    std::vector<uint8_t> ids(16 * static_cast<size_t>(count));
    reader->ReadBinary(ids.data(), static_cast<int32_t>(ids.size()));
    const std::u16string name = reader->ReadString();
    const platform::TGUID classID = reader->ReadGuid();
    reader->ReadGuid();  // the interface
    const platform::TGUID clientID = reader->ReadGuid();
    {
      std::lock_guard<std::mutex> guard(isLock);
      isOffered.clear();
      for (int32_t i = 0; i < count; ++i) isOffered.push_back(platform::GUIDFromBytes(ids.data() + 16 * i));
      isName = name;
    }
    const platform::TInterfacePtr<platform::IInterface> object = isMake ? isMake(classID) : nullptr;
    if (!object || count < 1) return writer.Finish(platform::E_NOINTERFACE);
    platform::TInterfacePtr<InxClassStub> stub;
    if (const platform::HRESULT made =
            nxClassStubFactoryRegistry()->CreateClassStub(nxDefaultClassStubID, classID, object.Get(), stub);
        made < 0)
      return writer.Finish(made);
    auto notifications = platform::Supports<InxSessionNotifications>(TnxBaseTransport::GetSessionCallback());
    platform::TInterfacePtr<InxChannelExit> exit;
    nxCreateChannelExit(clientID, notifications.Get(), stub.Get(), exit);
    stub->AddChannel(exit.Get());
    platform::TGUID channelID;
    exit->GetChannelID(channelID);
    TnxRoutingPath path;
    stub->GetRoutingPath(path);
    writer.WriteGuid(nxProcessID());
    writer.WriteGuid(channelID);
    writer.WriteGuid(platform::GUIDFromBytes(ids.data()));
    nxWriteRoutingPath(writer, path);
    stub->WriteVersion(&writer);
    writer.Finish(platform::S_OK);
  }

  TTestCommandHandler& isHandler;
  TMake isMake;
  mutable std::mutex isLock;
  std::vector<platform::TGUID> isOffered;
  std::u16string isName;
};

}  // namespace revurov::testing
