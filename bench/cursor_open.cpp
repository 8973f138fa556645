// CursorOpen of a remote database on a 40-field table whose dictionary the
// database holds already, so the server answers $234 without it, and the
// close ($3FF) of the cursor: the whole road over loopback TCP, against a
// plain blocking-socket ping-pong that moves the same request and reply
// frames (same sizes) for both steps with one thread echoing on the far
// side. Both run in the same process, one after the other.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/socket.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/message_frame.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using namespace revurov::testing;

constexpr int kFields = 40;

std::shared_ptr<TnxDataDictionary> Table() {
  auto dictionary = std::make_shared<TnxDataDictionary>();
  for (int i = 0; i < kFields; ++i)
    dictionary->FieldsDescriptor().AddField(u"Field" + platform::Utf8ToUtf16(std::to_string(i)), u"",
                                            i % 3 == 0 ? nxtInt32 : nxtInt64, 0, 0, false);
  auto* index = dictionary->IndicesDescriptor()->AddIndex(u"ByField0", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"Field0");
  return dictionary;
}

template <class F>
std::vector<uint8_t> Tagged(F&& aWrite) {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    aWrite(writer);
    writer.FlushBuffer();
  }
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
}

std::vector<uint8_t> Frame(TnxMsgID aMsgID, uint8_t aType, const std::vector<uint8_t>& aPayload) {
  TnxMessageFields fields;
  fields.mfMsgID = aMsgID;
  fields.mfMsgType = aType;
  TnxHeapBuffer head;
  nxBuildFrameHead(fields, 0, aPayload.size(), head);
  std::vector<uint8_t> frame(head.Data(), head.Data() + head.Size());
  frame.insert(frame.end(), aPayload.begin(), aPayload.end());
  return frame;
}

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
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      TnxMemoryStream bytes;
      dictionary->WriteToStream(bytes, nxRemoteClientVersion);
      const auto* data = static_cast<const uint8_t*>(bytes.Memory());
      h.CursorTables[u"Orders"] = {std::vector<uint8_t>(data, data + bytes.GetSize()), dictionary->Guid(),
                                   dictionary->CurrentID(), 1, 7};
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
  uint32_t OpenAndClose() {
    TnxAbstractCursor* cursor = nullptr;
    const uint32_t result = database->CursorOpen(cursor, u"Orders", u"", omReadOnly, smShared, 5000, u"", -1, false,
                                                 0, 500, nullptr);
    if (cursor) cursor->Free();
    return result;
  }

  TnxEngineStartupGuard library;
  std::shared_ptr<TnxDataDictionary> dictionary = Table();
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxAbstractServerObject* session = nullptr;
  TnxAbstractDatabase* database = nullptr;
};

void CursorOpen_Ours(benchmark::State& aState) {
  Road road;
  // The first open brings the dictionary into the database's cache.
  if (!road.database || road.OpenAndClose() != 0) {
    aState.SkipWithError("no database");
    return;
  }
  for (auto _ : aState) {
    if (road.OpenAndClose() != 0) {
      aState.SkipWithError("CursorOpen failed");
      break;
    }
  }
}

void CursorOpen_RawSockets(benchmark::State& aState) {
  const auto dictionary = Table();
  const std::vector<uint8_t> openRequest = Frame(nxnmDatabaseCursorOpenReduced, 1, Tagged([&](TnxWriter& w) {
    w.WriteInteger(int32_t(101));
    w.WriteString(u"Orders");
    w.WriteString(u"");
    w.WriteInteger(int32_t(omReadOnly));
    w.WriteInteger(int32_t(smShared));
    w.WriteInteger(int32_t(5000));
    w.WriteGuid(dictionary->Guid());
    w.WriteInteger(dictionary->CurrentID());
    w.WriteString(u"");
    w.WriteInteger(int32_t(-1));
    w.WriteInteger(int32_t(0));
    w.WriteInteger(int64_t(500));
  }));
  const std::vector<uint8_t> openReply = Frame(nxnmDatabaseCursorOpenReduced, 2, Tagged([&](TnxWriter& w) {
    w.WriteInteger(int32_t(102));
    w.WriteInteger(int32_t(1));
    w.WriteBoolean(false);
    w.WriteInteger(int64_t(7));
  }));
  const std::vector<uint8_t> closeRequest = Frame(nxnmCursorClose, 1, {102, 0, 0, 0});
  const std::vector<uint8_t> closeReply = Frame(nxnmCursorClose, 2, {});
  const int listener = platform::TcpListen({platform::kInet4Loopback, 0}, 4);
  platform::TInet4Address local;
  platform::SocketLocalAddress(listener, local);
  std::thread peer([&] {
    platform::TInet4Address remote;
    const int fd = platform::TcpAccept(listener, remote);
    std::vector<uint8_t> in(openRequest.size() + closeRequest.size());
    const platform::TSocketBuffer open{openReply.data(), openReply.size()};
    const platform::TSocketBuffer close{closeReply.data(), closeReply.size()};
    while (fd >= 0 && ReadAll(fd, in.data(), openRequest.size()) && platform::SocketWriteAll(fd, &open, 1) &&
           ReadAll(fd, in.data(), closeRequest.size()) && platform::SocketWriteAll(fd, &close, 1)) {
    }
    if (fd >= 0) platform::CloseSocket(fd);
  });
  const int fd = platform::TcpConnect(local, 3000);
  std::vector<uint8_t> in(openReply.size() + closeReply.size());
  const platform::TSocketBuffer open{openRequest.data(), openRequest.size()};
  const platform::TSocketBuffer close{closeRequest.data(), closeRequest.size()};
  for (auto _ : aState) {
    if (!platform::SocketWriteAll(fd, &open, 1) || !ReadAll(fd, in.data(), openReply.size()) ||
        !platform::SocketWriteAll(fd, &close, 1) || !ReadAll(fd, in.data(), closeReply.size())) {
      aState.SkipWithError("ping-pong failed");
      break;
    }
  }
  platform::CloseSocket(fd);
  peer.join();
  platform::CloseSocket(listener);
}

}  // namespace

BENCHMARK(CursorOpen_Ours)->Name("CursorOpen40Cached/ours")->UseRealTime();
BENCHMARK(CursorOpen_RawSockets)->Name("CursorOpen40Cached/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
