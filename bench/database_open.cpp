// One cycle of the tool's database use, through the database component over
// loopback TCP (session logged in once): Active := True by alias,
// GetTableNames of 1,000 names, Active := False. The peer moves, over plain
// blocking sockets with one thread answering, the same requests as the
// cycle sends (captured from the handler in a first cycle), answered by the
// table list's reply bytes for the list and by replies of 16 bytes for the
// rest; and the same cycle on the engine session without the components.
// All run in the same process, one after the other.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "client/database.h"
#include "client/session.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using namespace revurov::testing;
using revurov::bench::Frame;

constexpr int kNames = 1000;
constexpr size_t kSmallReply = 16;

std::vector<std::u16string> Names() {
  std::vector<std::u16string> names;
  for (int i = 0; i < kNames; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Table_%04d", (i * 389) % kNames);
    names.push_back(platform::Utf8ToUtf16(name));
  }
  return names;
}

std::vector<uint8_t> ListPayload() {
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

struct Road {
  Road() {
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.Tables[u"Alpha"] = Names();
    });
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client->SetServerName(u"127.0.0.1");
    client->SetPort(server->ListeningPort());
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
    engine->SetTransport(client.get());
    engine->SetActive(true);
    session->SetServerEngine(engine.get());
    session->SetUserName(u"admin");
    session->SetPassword(u"secret");
    database->SetSession(session.get());
    database->SetAliasName(u"Alpha");
    session->SetActive(true);
  }

  // One cycle; false when the list is not the whole list.
  bool Cycle(platform::TStringList& aList) {
    database->SetActive(true);
    database->GetTableNames(&aList);
    database->SetActive(false);
    return aList.Count() == kNames;
  }

  TnxEngineStartupGuard library;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
  ComponentPtr<TnxDatabase> database{new TnxDatabase(nullptr)};
};

// The requests of one cycle as the server saw them.
std::vector<TReceivedRequest> CycleRequests() {
  Road road;
  const size_t before = road.handler->Received().size();
  platform::TStringList list;
  road.Cycle(list);
  std::vector<TReceivedRequest> all = road.handler->Received();
  return std::vector<TReceivedRequest>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

void OpenList_Ours(benchmark::State& aState) {
  Road road;
  road.handler->Configure([](TTestCommandHandler& h) { h.Recording = false; });
  platform::TStringList list;
  try {
    for (auto _ : aState) {
      if (!road.Cycle(list)) {
        aState.SkipWithError("short table list");
        break;
      }
    }
  } catch (const std::exception&) {
    aState.SkipWithError("the cycle raised");
  }
  aState.counters["round_trips"] = static_cast<double>(CycleRequests().size());
}

// The same cycle on the engine session itself, without the components:
// what the database component adds.
void OpenList_EngineDatabase(benchmark::State& aState) {
  Road road;
  road.handler->Configure([](TTestCommandHandler& h) { h.Recording = false; });
  TnxAbstractSession* session = road.session->AbstractSession();
  platform::TStringList list;
  for (auto _ : aState) {
    TnxAbstractDatabase* opened = nullptr;
    if (session->DatabaseOpen(opened, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 10000) != 0) {
      aState.SkipWithError("open failed");
      break;
    }
    TnxServerObjectPtr<TnxAbstractDatabase> database(opened);
    list.Clear();
    if (database->TableGetList(list) != 0 || list.Count() != kNames) {
      aState.SkipWithError("short table list");
      break;
    }
  }
}

void OpenList_RawSockets(benchmark::State& aState) {
  std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> exchanges;
  for (const TReceivedRequest& r : CycleRequests()) {
    std::vector<uint8_t> reply = r.msgID == nxnmDatabaseTableGetList ? ListPayload()
                                                                     : std::vector<uint8_t>(kSmallReply, 0);
    exchanges.emplace_back(Frame(r.msgID, 1, r.data), Frame(r.msgID, 2, reply));
  }
  aState.counters["round_trips"] = static_cast<double>(exchanges.size());
  revurov::bench::RunFrameExchanges(aState, exchanges);
}

}  // namespace

BENCHMARK(OpenList_Ours)->Name("OpenList1000/ours")->UseRealTime();
BENCHMARK(OpenList_EngineDatabase)->Name("OpenList1000/peer:engine_database")->UseRealTime();
BENCHMARK(OpenList_RawSockets)->Name("OpenList1000/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
