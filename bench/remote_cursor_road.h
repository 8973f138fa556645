// The loopback road the remote cursor benchmarks share: our TCP listener
// with the test command handler serving an "Orders" table of 48 Int32
// fields (about 200 bytes a record) and the given number of rows, our
// client, the remote engine, a session, the database "Alpha" and a cursor
// on the table (nil when anything failed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/tcp_transport.h"

namespace revurov::bench {

inline std::shared_ptr<TnxDataDictionary> CursorRoadTable() {
  constexpr int kFields = 48;  // 192 bytes of fields and the null bitmap
  auto dictionary = std::make_shared<TnxDataDictionary>();
  for (int i = 0; i < kFields; ++i)
    dictionary->FieldsDescriptor().AddField(u"Field" + platform::Utf8ToUtf16(std::to_string(i)), u"", nxtInt32, 0, 0,
                                            false);
  return dictionary;
}

struct TCursorRoad {
  explicit TCursorRoad(int aRecords) {
    const int32_t length = dictionary->FieldsDescriptor().RecordLength();
    handler->Configure([&](testing::TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      TnxMemoryStream bytes;
      dictionary->WriteToStream(bytes, nxRemoteClientVersion);
      const auto* data = static_cast<const uint8_t*>(bytes.Memory());
      h.CursorTables[u"Orders"] = {std::vector<uint8_t>(data, data + bytes.GetSize()), dictionary->Guid(),
                                   dictionary->CurrentID(), -1, -1};
      testing::TTestCommandHandler::TCursorRows rows;
      for (int i = 0; i < aRecords; ++i) rows.records.emplace_back(static_cast<size_t>(length), uint8_t(i));
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
  ~TCursorRoad() {
    if (session) session->Free();
  }
  TCursorRoad(const TCursorRoad&) = delete;
  TCursorRoad& operator=(const TCursorRoad&) = delete;

  TnxEngineStartupGuard library;
  std::shared_ptr<TnxDataDictionary> dictionary = CursorRoadTable();
  testing::ComponentPtr<testing::TTestCommandHandler> handler{new testing::TTestCommandHandler(nullptr)};
  testing::ComponentPtr<testing::TTestTcpServer> server{new testing::TTestTcpServer(nullptr)};
  testing::ComponentPtr<TnxIPv4Transport> client{new TnxIPv4Transport(nullptr)};
  testing::ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxAbstractServerObject* session = nullptr;
  TnxAbstractCursor* cursor = nullptr;
};

}  // namespace revurov::bench
