// TableGetList of a remote database with 50 names: the whole road over
// loopback TCP (session, pooled client connection, listening transport,
// server thread, command handler), against a plain blocking-socket
// ping-pong that moves the same request and reply frames (same sizes) with
// one thread echoing on the far side; and, to show what the engine adds, the
// same request through the client transport alone. All run in the same
// process, one after the other.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using namespace revurov::testing;
using revurov::bench::Frame;

constexpr int kNames = 50;

std::vector<std::u16string> Names() {
  std::vector<std::u16string> names;
  for (int i = 0; i < kNames; ++i) names.push_back(u"Table_" + platform::Utf8ToUtf16(std::to_string(i * 37 % 101)));
  return names;
}

// The reply payload the handler sends for the names.
std::vector<uint8_t> ReplyPayload() {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    writer.WriteListBegin();
    for (const auto& name : Names()) writer.WriteString(name);
    writer.WriteListEnd();
    writer.FlushBuffer();
  }
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
}

// The server, a client transport and a logged-in session with the database
// open; the same for the engine's run and the bare transport's.
struct Road {
  Road() {
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.Tables[u"Alpha"] = Names();
      h.Recording = false;
    });
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client->SetServerName(u"127.0.0.1");
    client->SetPort(server->ListeningPort());
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
    engine->SetTransport(client.get());
    engine->SetActive(true);
    if (engine->SessionOpenEx(session, u"admin", u"secret", u"bench", 5000, nxRemoteClientVersion) == 0)
      static_cast<TnxRemoteSession*>(session)->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadOnly,
                                                            smShared, 5000);
  }
  ~Road() {
    if (session) session->Free();
  }

  TnxEngineStartupGuard library;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxAbstractServerObject* session = nullptr;
  TnxAbstractDatabase* database = nullptr;
};

void TableList_Ours(benchmark::State& aState) {
  Road road;
  if (!road.database) {
    aState.SkipWithError("no database");
    return;
  }
  platform::TStringList list;
  for (auto _ : aState) {
    if (road.database->TableGetList(list) != 0 || list.Count() != kNames) {
      aState.SkipWithError("TableGetList failed");
      break;
    }
  }
}

// The same request through the client transport alone: what the engine
// adds on top of the transport's round trip.
void TableList_TransportRequest(benchmark::State& aState) {
  Road road;
  if (!road.database) {
    aState.SkipWithError("no database");
    return;
  }
  uint8_t payload[4];
  platform::StoreU32(payload, road.database->RemoteID());
  struct Reply {
    uint32_t code = 1;
    int32_t length = 0;
    static void Callback(TnxMsgID, uint32_t aCode, const void*, int32_t aLength, void* aCookie) {
      auto* self = static_cast<Reply*>(aCookie);
      self->code = aCode;
      self->length = aLength;
    }
  };
  for (auto _ : aState) {
    Reply reply;
    road.client->Request(0, static_cast<TnxRemoteSession*>(road.session)->RemoteID(), 0, nxnmDatabaseTableGetList,
                         5000, payload, 4, &Reply::Callback, &reply);
    if (reply.code != 0 || reply.length == 0) {
      aState.SkipWithError("request failed");
      break;
    }
  }
}

void TableList_RawSockets(benchmark::State& aState) {
  const std::vector<uint8_t> request = Frame(nxnmDatabaseTableGetList, 1, {1, 0, 0, 0});
  const std::vector<uint8_t> reply = Frame(nxnmDatabaseTableGetList, 2, ReplyPayload());
  revurov::bench::RunFramePingPong(aState, request, reply);
}

}  // namespace

BENCHMARK(TableList_Ours)->Name("TableList50/ours")->UseRealTime();
BENCHMARK(TableList_TransportRequest)->Name("TableList50/peer:transport_request")->UseRealTime();
BENCHMARK(TableList_RawSockets)->Name("TableList50/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
