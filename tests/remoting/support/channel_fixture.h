// The fixture of the channel tests: tagged bytes built by hand and the TCP
// pair on 127.0.0.1 with the remoting doubles around a test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/streams/memory_stream.h"
#include "remoting/remoting_test_support.h"
#include "remoting/support/remoting_doubles.h"
#include "support/within.h"
#include "transport/command_handler.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/keep_alive.h"
#include "transport/remoting/startup.h"
#include "transport/session_requests.h"
#include "transport/support/tcp_medium.h"

namespace revurov::testing {

// --- tagged bytes by hand ---

inline void AppendInt8(TaggedBytes& aBytes, int8_t aValue) {
  aBytes.push_back(vaInt8);
  aBytes.push_back(static_cast<uint8_t>(aValue));
}

inline void AppendInt32(TaggedBytes& aBytes, uint32_t aValue) {
  aBytes.push_back(vaInt32);
  for (int i = 0; i < 4; ++i) aBytes.push_back(static_cast<uint8_t>(aValue >> (8 * i)));
}

inline void AppendPath(TaggedBytes& aBytes, const TnxRoutingPath& aPath) {
  aBytes.push_back(vaList);
  AppendInt8(aBytes, static_cast<int8_t>(aPath.size()));
  for (const auto& entry : aPath) {
    AppendGuid(aBytes, entry.oiServerID);
    AppendGuid(aBytes, entry.oiInstanceID);
  }
  aBytes.push_back(vaNull);
}

// The call context block of aContext, by hand.
inline TaggedBytes ContextBlock(InxCallContext& aContext) {
  TaggedBytes bytes;
  AppendGuid(bytes, InxCallContext::IID);
  AppendInt8(bytes, 1);
  TnxRoutingPath path;
  aContext.GetRoutingPath(path);
  AppendPath(bytes, path);
  return bytes;
}

inline TaggedBytes operator+(TaggedBytes aLeft, const TaggedBytes& aRight) {
  aLeft.insert(aLeft.end(), aRight.begin(), aRight.end());
  return aLeft;
}

// What the create-instance reply of the remoting handler carries.
struct TMadeExit {
  platform::HRESULT result = platform::E_UNEXPECTED;
  platform::TGUID serverID, channelID, proxyID;
  TnxRoutingPath path;
  int32_t version = 0;
  // Held from the reply on, so that a loaded machine cannot let the keep
  // time run out before the test's first call; drop it to let the exit go.
  platform::TInterfacePtr<InxTransportChannelExit> pin;
};

// A listening TCP transport on 127.0.0.1 with the remoting handler, a
// client TCP transport with a callback thread logged in to it, and the
// client session over them; exits are kept 200 ms.
class ChannelsOverTcp : public ::testing::Test {
protected:
  static constexpr uint32_t kKeepTime = 200;

  void SetUp() override {
    nxRemotingStartup();
    ctPreviousKeepTime = nxKeepAliveTime();
    nxSetKeepAliveTime(kKeepTime);
    ctStartExits = nxLiveChannelExitCount();
    ctStartSinks = TEchoSink::Live().load();
    ctStartContexts = nxLiveCallContextCount();
    handler.reset(NewComponent<TRemotingHandler>(u"RH"));
    server.reset(NewComponent<TTcpMediumTransport>(u"RS"));
    server->SetServerName(u"RemotingServer");
    server->SetMode(nxtmListen);
    server->SetHeartbeatInterval(0);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    client.reset(NewComponent<TTcpMediumTransport>(u"RC"));
    client->SetMode(nxtmSend);
    client->SetServerName(u"127.0.0.1");
    client->SetHeartbeatInterval(0);
    client->SetCallbackThreadCount(1);
    client->SetActive(true);
    int32_t version = 0;
    ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, sessionID), 0u);
    session.reset(NewComponent<TTransportSession>(u"RSession"));
    session->Attach(client.get(), sessionID);
  }
  void TearDown() override {
    session.reset();
    client.reset();
    server.reset();
    handler.reset();
    nxSetKeepAliveTime(ctPreviousKeepTime);
    nxRemotingShutdown();
  }

  InxSessionRequests* Requests() { return static_cast<InxSessionRequests*>(session.get()); }

  // Asks the server for an exit through a create-instance request.
  TMadeExit MakeExit(std::vector<platform::TGUID> aProxyIDs = {platform::nxGuid("{1D9B1A44-3E55-4E1B-8F0A-6C1C2E7B9A01}")},
                     const platform::TGUID& aClassID = platform::nxGuid("{2A7F5E33-9C4B-4D2A-B1E8-0F3D6C5B4A02}")) {
    TMadeExit made;
    platform::TInterfacePtr<InxRequestWriter> writer;
    EXPECT_EQ(nxCreateRequestWriter(Requests(), writer), platform::S_OK);
    writer->WriteInteger(static_cast<int32_t>(aProxyIDs.size()));
    std::vector<uint8_t> raw(16 * aProxyIDs.size());
    for (size_t i = 0; i < aProxyIDs.size(); ++i) platform::GUIDToBytes(aProxyIDs[i], raw.data() + 16 * i);
    writer->WriteBinary(raw.data(), static_cast<int32_t>(raw.size()));
    writer->WriteGuid(aClassID);
    writer->WriteGuid(platform::IInterface::IID);
    writer->WriteGuid(nxProcessID());
    platform::TInterfacePtr<InxReader> reader;
    made.result = writer->Send(nxCreateInstanceMsgID, reader);
    if (made.result != platform::S_OK) return made;
    made.serverID = reader->ReadGuid();
    made.channelID = reader->ReadGuid();
    made.proxyID = reader->ReadGuid();
    nxReadRoutingPath(*reader, made.path);
    made.version = reader->ReadInteger();
    nxFindChannelExit(made.channelID, made.pin);
    return made;
  }

  // Everything the tests made is gone again (the keep time has run out).
  void ExpectStartCounts() {
    EXPECT_TRUE(Within(std::chrono::seconds(5), [&] {
      return nxLiveChannelExitCount() == ctStartExits && TEchoSink::Live().load() == ctStartSinks &&
             nxLiveCallContextCount() == ctStartContexts;
    })) << "exits " << nxLiveChannelExitCount() - ctStartExits << ", sinks "
        << TEchoSink::Live().load() - ctStartSinks << ", contexts " << nxLiveCallContextCount() - ctStartContexts;
  }

  TOwned<TRemotingHandler> handler;
  TOwned<TTcpMediumTransport> server;
  TOwned<TTcpMediumTransport> client;
  TOwned<TTransportSession> session;
  TnxSessionID sessionID = 0;

private:
  uint32_t ctPreviousKeepTime = nxDefaultKeepAliveTime;
  int32_t ctStartExits = 0;
  int32_t ctStartSinks = 0;
  int32_t ctStartContexts = 0;
};

}  // namespace revurov::testing
