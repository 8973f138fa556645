// The remote engine end to end over loopback TCP: a TTestTcpServer serving
// through a TTestCommandHandler, a client transport dialling it and a
// remote server engine on that transport. Held-back replies are released
// before anything stops. RemoteEngineModes runs a test against both the
// scripted model and a real server engine behind the handler.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/remote_session.h"
#include "engine/startup.h"
#include "support/engine_fixture.h"
#include "support/in_process_server.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace revurov::testing {

// Who answers: the handler's scripted model, or a real server engine on
// table files behind the handler.
enum class TServing { Scripted, InProcess };
inline std::string ServingName(const ::testing::TestParamInfo<TServing>& aInfo) {
  return aInfo.param == TServing::Scripted ? "Scripted" : "InProcess";
}

class RemoteEngineFixture : public ::testing::Test {
protected:
  explicit RemoteEngineFixture(TServing aServing = TServing::Scripted) {
    if (aServing == TServing::InProcess) {
      inProcess = std::make_unique<TInProcessServer>();
      handler->ServeFrom(inProcess.get());
    }
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client->SetServerName(u"127.0.0.1");
    client->SetPort(server->ListeningPort());
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
    engine->SetTransport(client.get());
    engine->SetActive(true);
  }
  ~RemoteEngineFixture() override {
    handler->ReleaseLate();
    nxSetClientFeatures(nxAllClientFeatures);
  }

  // A session logged in as the handler's user; nil on failure.
  TnxRemoteSession* Open(uint32_t aTimeout = 5000) {
    TnxAbstractServerObject* session = nullptr;
    EXPECT_EQ(engine->SessionOpenEx(session, u"admin", u"secret", u"here", aTimeout, nxRemoteClientVersion), 0u);
    if (session) serverSessions[session] = handler->LastSession();
    return static_cast<TnxRemoteSession*>(session);
  }
  // The handler's ID of a session Open made (the wire's is another).
  TnxSessionID ServerSession(const TnxAbstractServerObject* aSession) const {
    auto it = serverSessions.find(aSession);
    return it == serverSessions.end() ? 0 : it->second;
  }
  // The message IDs the server saw of aSession after the first aSkip.
  std::vector<TnxMsgID> SentBy(const TnxAbstractServerObject* aSession, size_t aSkip = 0) const {
    std::vector<TnxMsgID> ids = handler->ReceivedIDs(ServerSession(aSession));
    ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(std::min(aSkip, ids.size())));
    return ids;
  }
  size_t SentCount(const TnxAbstractServerObject* aSession) const { return SentBy(aSession).size(); }

  bool InProcess() const { return inProcess != nullptr; }

  std::map<const TnxAbstractServerObject*, TnxSessionID> serverSessions;
  TnxEngineStartupGuard library;
  // Outlives the handler and the listening transport that call it.
  std::unique_ptr<TInProcessServer> inProcess;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
};

class RemoteEngineModes : public RemoteEngineFixture, public ::testing::WithParamInterface<TServing> {
protected:
  RemoteEngineModes() : RemoteEngineFixture(GetParam()) {}
};

}  // namespace revurov::testing
