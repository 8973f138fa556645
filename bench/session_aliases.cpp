// GetAliasNamesEx of a started session component with 1,000 distinct
// aliases: the whole road over loopback TCP (component, remote session,
// pooled client connection, listening transport, server thread, command
// handler) and the merge into an emptied string list, against a plain
// blocking-socket ping-pong that moves the same request and reply frames
// with one thread echoing on the far side. Both run in the same process,
// one after the other.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "client/session.h"
#include "engine/abstract_session.h"
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

constexpr int kAliases = 1000;

std::vector<std::pair<std::u16string, std::u16string>> Aliases() {
  std::vector<std::pair<std::u16string, std::u16string>> aliases;
  for (int i = 0; i < kAliases; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Alias_%04d", (i * 389) % kAliases);
    aliases.emplace_back(platform::Utf8ToUtf16(name), u"/data/" + platform::Utf8ToUtf16(name));
  }
  return aliases;
}

// The reply payload the handler sends for the aliases.
std::vector<uint8_t> ReplyPayload() {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    writer.WriteListBegin();
    for (const auto& [alias, path] : Aliases()) {
      writer.WriteString(alias);
      writer.WriteString(path);
    }
    writer.WriteListEnd();
    writer.FlushBuffer();
  }
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
}

struct Road {
  Road() {
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = Aliases();
      h.Recording = false;
    });
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client->SetServerName(u"127.0.0.1");
    client->SetPort(server->ListeningPort());
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
    engine->SetTransport(client.get());
    engine->SetCacheAliases(false);  // every call goes to the server
    session->SetServerEngine(engine.get());
    session->SetUserName(u"admin");
    session->SetPassword(u"secret");
    session->SetActive(true);
  }

  TnxEngineStartupGuard library;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
};

void AliasNames_Ours(benchmark::State& aState) {
  Road road;
  platform::TStringList list;
  for (auto _ : aState) {
    if (road.session->GetAliasNamesEx(&list, true) != 0 || list.Count() != kAliases) {
      aState.SkipWithError("GetAliasNamesEx failed");
      break;
    }
  }
}

// The engine session's own AliasGetList: what the component's merge into
// the list adds on top of the remote road.
void AliasNames_EngineSession(benchmark::State& aState) {
  Road road;
  for (auto _ : aState) {
    TnxAliasDescriptors descriptors;
    if (road.session->AbstractSession()->AliasGetList(descriptors) != 0 || descriptors.size() != kAliases) {
      aState.SkipWithError("AliasGetList failed");
      break;
    }
  }
}

void AliasNames_RawSockets(benchmark::State& aState) {
  const std::vector<uint8_t> request = Frame(nxnmSessionAliasGetList, 1, {});
  const std::vector<uint8_t> reply = Frame(nxnmSessionAliasGetList, 2, ReplyPayload());
  revurov::bench::RunFramePingPong(aState, request, reply);
}

}  // namespace

BENCHMARK(AliasNames_Ours)->Name("AliasNames1000/ours")->UseRealTime();
BENCHMARK(AliasNames_EngineSession)->Name("AliasNames1000/peer:engine_session")->UseRealTime();
BENCHMARK(AliasNames_RawSockets)->Name("AliasNames1000/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
