// RecordGetNext of a remote cursor over a table of 10^4 records of about
// 200 bytes, one plain read ($322) per record: the whole road over
// loopback TCP to the test command handler's rows, against a plain
// blocking-socket ping-pong that moves the same request and reply frames
// with one thread answering on the far side.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "dictionary/fields_descriptor.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using namespace revurov::testing;
using namespace revurov::bench;

constexpr int kRecords = 10000;
constexpr int kFields = 48;  // 192 bytes of fields and the null bitmap

std::shared_ptr<TnxDataDictionary> Table() {
  auto dictionary = std::make_shared<TnxDataDictionary>();
  for (int i = 0; i < kFields; ++i)
    dictionary->FieldsDescriptor().AddField(u"Field" + platform::Utf8ToUtf16(std::to_string(i)), u"", nxtInt32, 0, 0,
                                            false);
  return dictionary;
}

struct Road {
  Road() {
    const int32_t length = dictionary->FieldsDescriptor().RecordLength();
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      TnxMemoryStream bytes;
      dictionary->WriteToStream(bytes, nxRemoteClientVersion);
      const auto* data = static_cast<const uint8_t*>(bytes.Memory());
      h.CursorTables[u"Orders"] = {std::vector<uint8_t>(data, data + bytes.GetSize()), dictionary->Guid(),
                                   dictionary->CurrentID(), -1, -1};
      TTestCommandHandler::TCursorRows rows;
      for (int i = 0; i < kRecords; ++i) rows.records.emplace_back(static_cast<size_t>(length), uint8_t(i));
      h.CursorRows[u"Orders"] = std::move(rows);
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
    TnxAbstractDatabase* database = nullptr;
    if (engine->SessionOpenEx(session, u"admin", u"secret", u"bench", 5000, nxRemoteClientVersion) == 0 &&
        static_cast<TnxRemoteSession*>(session)->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadOnly,
                                                              smShared, 5000) == 0)
      database->CursorOpen(cursor, u"Orders", u"", omReadOnly, smShared, 5000, u"", -1, false, 0, 500, nullptr);
  }
  ~Road() {
    if (session) session->Free();
  }

  TnxEngineStartupGuard library;
  std::shared_ptr<TnxDataDictionary> dictionary = Table();
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxAbstractServerObject* session = nullptr;
  TnxAbstractCursor* cursor = nullptr;
};

void RecordGetNext_Ours(benchmark::State& aState) {
  Road road;
  if (!road.cursor || road.cursor->SetToBegin() != 0) {
    aState.SkipWithError("no cursor");
    return;
  }
  std::vector<uint8_t> record(static_cast<size_t>(road.cursor->RecordLength()) + 4);
  for (auto _ : aState) {
    uint32_t result = road.cursor->RecordGetNext(nxltNoLock, record.data());
    if (result == nxeAtEndOfTable) {
      aState.PauseTiming();
      road.cursor->SetToBegin();
      aState.ResumeTiming();
      result = road.cursor->RecordGetNext(nxltNoLock, record.data());
    }
    if (result != 0) {
      aState.SkipWithError("RecordGetNext failed");
      break;
    }
  }
  aState.counters["record_bytes"] = road.cursor->RecordLength();
}

void RecordGetNext_RawSockets(benchmark::State& aState) {
  const auto dictionary = Table();
  const auto length = static_cast<size_t>(dictionary->FieldsDescriptor().RecordLength());
  std::vector<uint8_t> header(9, 0);
  platform::StoreU32(header.data(), 102);
  platform::StoreU16(header.data() + 5, static_cast<uint16_t>(length));
  RunFramePingPong(aState, Frame(0x322, 1, header), Frame(0x322, 2, std::vector<uint8_t>(length, 7)));
}

}  // namespace

BENCHMARK(RecordGetNext_Ours)->Name("RecordGetNext200/ours")->UseRealTime();
BENCHMARK(RecordGetNext_RawSockets)->Name("RecordGetNext200/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
