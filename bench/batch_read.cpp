// RecordGetBatch of a remote cursor over a table of 10^5 records of about
// 200 bytes: one $381 whose batch stream lands in the caller's access,
// positioned at the start inside the request. The peer moves the same
// request frame and a reply frame of the same stream bytes over a plain
// blocking TCP connection, so the ratio is our road against raw
// throughput.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "dictionary/fields_descriptor.h"
#include "engine/batch_stream.h"
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

constexpr int kRecords = 100000;
constexpr int kFields = 48;  // 192 bytes of fields and the null bitmap
constexpr TnxRecordGetBatchExOptions kFromTheStart = TnxRecordGetBatchExOptions(1u << gboSetToBeginOrEnd);

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
    delete access;
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
  TnxBatchStreamAccess* access = nullptr;  // the batch reads hand it back
};

void RecordGetBatch_Ours(benchmark::State& aState) {
  Road road;
  if (!road.cursor) {
    aState.SkipWithError("no cursor");
    return;
  }
  for (auto _ : aState) {
    if (road.cursor->RecordGetBatch(0, kFromTheStart, road.access, 0, true) != 0 ||
        road.access->Count() != kRecords) {
      aState.SkipWithError("RecordGetBatch failed");
      break;
    }
  }
  if (road.access) aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(road.access->Size()));
}

void RecordGetBatch_RawSockets(benchmark::State& aState) {
  const auto dictionary = Table();
  const auto length = static_cast<size_t>(dictionary->FieldsDescriptor().RecordLength());
  std::vector<uint8_t> request(9, 0);
  platform::StoreU32(request.data(), 102);
  request[8] = kFromTheStart;
  // The same stream: inner error, count, then a size word and a record each.
  std::vector<uint8_t> stream(8 + kRecords * (4 + length), 7);
  platform::StoreU32(stream.data(), nxeAtEndOfTable);
  platform::StoreU32(stream.data() + 4, kRecords);
  for (size_t i = 0; i < kRecords; ++i) platform::StoreU32(stream.data() + 8 + i * (4 + length), uint32_t(length));
  RunFramePingPong(aState, Frame(0x381, 1, request), Frame(0x381, 2, stream));
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(stream.size()));
}

}  // namespace

BENCHMARK(RecordGetBatch_Ours)->Name("RecordGetBatch100k/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RecordGetBatch_RawSockets)
    ->Name("RecordGetBatch100k/peer:raw_sockets")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
