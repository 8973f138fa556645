// A 64 MiB blob read through a remote cursor: the whole road over loopback
// TCP (1 MiB chunks under a server snapshot, the test handler serving the
// blob from memory), against a plain blocking socket moving the same 64 MiB
// in one bulk transfer per request, with one thread writing on the far
// side. Both run in the same process, one after the other.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/socket.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using namespace revurov::testing;

constexpr uint32_t kBlobSize = 64u << 20;
constexpr TnxBlobNr kBlob = 500;

bool ReadAll(int aFd, uint8_t* aInto, size_t aCount) {
  while (aCount > 0) {
    const int64_t n = platform::SocketRead(aFd, aInto, aCount);
    if (n <= 0) return false;
    aInto += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

struct Road {
  Road() {
    auto dictionary = std::make_shared<TnxDataDictionary>();
    dictionary->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dictionary->FieldsDescriptor().AddField(u"Memo", u"", nxtBlob, 0, 0, false);
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      TnxMemoryStream bytes;
      dictionary->WriteToStream(bytes, nxRemoteClientVersion);
      const auto* data = static_cast<const uint8_t*>(bytes.Memory());
      h.CursorTables[u"Orders"] = {std::vector<uint8_t>(data, data + bytes.GetSize()), dictionary->Guid(),
                                   dictionary->CurrentID(), -1, -1};
      h.Blobs[kBlob] = std::vector<uint8_t>(kBlobSize, 0x5A);
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
    if (engine->SessionOpenEx(session, u"admin", u"secret", u"bench", 5000, nxRemoteClientVersion) != 0) return;
    if (static_cast<TnxRemoteSession*>(session)->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadOnly,
                                                              smShared, 5000) != 0)
      return;
    database->CursorOpen(cursor, u"Orders", u"", omReadOnly, smShared, 5000, u"", -1, false, 0, 500, nullptr);
  }
  ~Road() {
    if (cursor) cursor->Free();
    if (session) session->Free();
  }

  TnxEngineStartupGuard library;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxAbstractServerObject* session = nullptr;
  TnxAbstractDatabase* database = nullptr;
  TnxAbstractCursor* cursor = nullptr;
};

void BlobRead_Ours(benchmark::State& aState) {
  Road road;
  if (!road.cursor) {
    aState.SkipWithError("no cursor");
    return;
  }
  TnxMemoryStream stream(-1);
  for (auto _ : aState) {
    stream.SetPosition(0);
    stream.SetSize(0);
    if (road.cursor->BlobRead({0, 0}, 1, kBlob, 0, kBlobSize, stream, false, nullptr) != 0 ||
        stream.GetSize() != kBlobSize) {
      aState.SkipWithError("BlobRead failed");
      break;
    }
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * kBlobSize);
}

void BlobRead_RawSockets(benchmark::State& aState) {
  const std::vector<uint8_t> blob(kBlobSize, 0x5A);
  const int listener = platform::TcpListen({platform::kInet4Loopback, 0}, 4);
  platform::TInet4Address local;
  platform::SocketLocalAddress(listener, local);
  std::thread peer([&] {
    platform::TInet4Address remote;
    const int fd = platform::TcpAccept(listener, remote);
    uint8_t request[16];
    const platform::TSocketBuffer reply{blob.data(), blob.size()};
    while (fd >= 0 && ReadAll(fd, request, sizeof(request)) && platform::SocketWriteAll(fd, &reply, 1)) {
    }
    if (fd >= 0) platform::CloseSocket(fd);
  });
  const int fd = platform::TcpConnect(local, 3000);
  std::vector<uint8_t> into(kBlobSize);
  const uint8_t request[16] = {};
  const platform::TSocketBuffer ask{request, sizeof(request)};
  for (auto _ : aState) {
    if (!platform::SocketWriteAll(fd, &ask, 1) || !ReadAll(fd, into.data(), into.size())) {
      aState.SkipWithError("bulk transfer failed");
      break;
    }
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * kBlobSize);
  platform::CloseSocket(fd);
  peer.join();
  platform::CloseSocket(listener);
}

}  // namespace

BENCHMARK(BlobRead_Ours)->Name("BlobRead64MiB/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BlobRead_RawSockets)->Name("BlobRead64MiB/peer:raw_socket")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
