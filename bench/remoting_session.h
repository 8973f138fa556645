// The loopback TCP road the remoting benchmarks share: our listener with
// the remoting test handler on 127.0.0.1, our client logged in to it and a
// session over that connection; with a remoting client on top when asked.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "remoting/support/remoting_doubles.h"
#include "transport/remoting/remoting_client.h"
#include "transport/remoting/startup.h"
#include "transport/tcp_transport.h"

namespace revurov::bench {

class TRemotingSession {
public:
  explicit TRemotingSession(bool aRemotingClient) {
    nxRemotingStartup();
    handler_.reset(testing::NewComponent<testing::TRemotingHandler>(u"BenchHandler"));
    server_.reset(testing::NewComponent<TnxIPv4Transport>(u"BenchServer"));
    server_->SetServerName(u"BenchServer");
    server_->SetMode(nxtmListen);
    server_->SetPort(0);
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    server_->SetListenAddresses(addresses);
    server_->SetHeartbeatInterval(0);
    server_->SetCommandHandler(handler_.get());
    server_->SetActive(true);
    client_.reset(testing::NewComponent<TnxIPv4Transport>(u"BenchClient"));
    client_->SetServerName(u"BenchServer@127.0.0.1");
    client_->SetPort(server_->ListeningPort());
    client_->SetHeartbeatInterval(0);
    client_->SetActive(true);
    int32_t version = 0;
    if (client_->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, sessionID_) != 0) std::abort();
    session_.reset(testing::NewComponent<testing::TTransportSession>(u"BenchSession"));
    session_->Attach(client_.get(), sessionID_);
    if (!aRemotingClient) return;
    session_->SetActive(true);
    remoting_.reset(testing::NewComponent<TnxRemotingClient>(u"BenchRemoting"));
    remoting_->SetSession(session_.get());
    remoting_->SetActive(true);
  }
  ~TRemotingSession() {
    remoting_.reset();
    session_.reset();
    client_.reset();
    server_.reset();
    handler_.reset();
    nxRemotingShutdown();
  }
  TRemotingSession(const TRemotingSession&) = delete;
  TRemotingSession& operator=(const TRemotingSession&) = delete;

  testing::TRemotingHandler& Handler() { return *handler_; }
  TnxIPv4Transport& Client() { return *client_; }
  testing::TTransportSession& Session() { return *session_; }
  TnxRemotingClient& Remoting() { return *remoting_; }
  TnxSessionID SessionID() const { return sessionID_; }

private:
  testing::TOwned<testing::TRemotingHandler> handler_;
  testing::TOwned<TnxIPv4Transport> server_;
  testing::TOwned<TnxIPv4Transport> client_;
  testing::TOwned<testing::TTransportSession> session_;
  testing::TOwned<TnxRemotingClient> remoting_;
  TnxSessionID sessionID_ = 0;
};

}  // namespace revurov::bench
