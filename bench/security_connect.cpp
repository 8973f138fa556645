// One reconnection of the security manager's window, offscreen: the server
// name alternates between "127.0.0.1" and "localhost" (the same server), so
// every alias change stops the transports and opens session and database
// again, then fills both table lists (1,000 names, a few with "$"). The peer
// opens a plain TCP connection per cycle and moves what the road moves on
// it: the transport's registration and the log-in (frames of their sizes,
// answered), the first keep-alive, the requests the cycle sent (captured
// from the handler), answered by the table list's reply bytes for the list
// and by replies of 16 bytes for the rest, and the session's end.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "app/gui/dialog_service.h"
#include "app/gui/frm_main.h"
#include "app/gui/list_box.h"
#include "bench/frame_ping_pong.h"
#include "client/platform/startup.h"
#include "client/session.h"
#include "engine/remote_database.h"
#include "engine/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "transport/login_block.h"
#include "transport/pooled_transport.h"
#include "transport/wire_header.h"

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
    std::snprintf(name, sizeof name, i % 100 == 7 ? "T$%04d" : "Table_%04d", (i * 389) % kNames);
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

class TQuietDialogs final : public tesmira::TDialogService {
public:
  int shown = 0;
  void ShowException(QWidget*, const QString&) override { ++shown; }
  void MessageDlg(QWidget*, const QString&, tesmira::TMsgDlgType) override { ++shown; }
  int ExecPasswordDialog(tesmira::TPasswordDlg&) override { return QDialog::Rejected; }
  void SetHourglass(bool) override {}
  int ExecForm(QDialog&) override { return QDialog::Rejected; }
};

QApplication& App() {
  static int argc = 1;
  static char name[] = "bench_security_connect";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
  return app;
}

struct Window {
  Window() {
    App();
    dialogs = new TQuietDialogs;
    previous = tesmira::SetDialogService(std::unique_ptr<tesmira::TDialogService>(dialogs));
    handler->UserName = nxDefaultUserName;
    handler->Password = nxDefaultPassword;
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.Tables[u"Alpha"] = Names();
    });
    server->SetPort(16000);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    QDir().mkpath(tmp.filePath("appdata/Tesmira"));
    QDir().mkpath(tmp.filePath("db"));
    QFile ini(tmp.filePath("appdata/Tesmira/Tesmira.ini"));
    if (ini.open(QIODevice::WriteOnly))
      ini.write(("[Configuration]\r\nDatenbankPfad=" + tmp.filePath("db") +
                 "\r\nServer_Protocol=0\r\nDBConnect=0\r\nDBServer=127.0.0.1\r\nDBSAlias=Alpha\r\n")
                    .toUtf8());
    ini.close();
    qputenv("APPDATA", tmp.filePath("appdata").toUtf8());
    window = std::make_unique<tesmira::TDataSec>();
  }
  ~Window() {
    window.reset();
    tesmira::SetDialogService(std::move(previous));
  }

  // One reconnection and filling; false when the lists are not whole.
  bool Cycle() {
    far = !far;
    window->DBServerName->setEditText(far ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
    window->DBAliasChange();
    return dialogs->shown == 0 && window->lxAccessTables->count() == kNames - kNames / 100;
  }

  TnxEngineStartupGuard engine;
  TnxGuiPlatformStartupGuard gui;
  TQuietDialogs* dialogs = nullptr;
  std::unique_ptr<tesmira::TDialogService> previous;
  QTemporaryDir tmp;
  ComponentPtr<TTestCommandHandler> handler{new TTestCommandHandler(nullptr)};
  ComponentPtr<TTestTcpServer> server{new TTestTcpServer(nullptr)};
  std::unique_ptr<tesmira::TDataSec> window;
  bool far = false;
};

std::vector<TReceivedRequest> CycleRequests() {
  Window w;
  const size_t before = w.handler->Received().size();
  w.Cycle();
  std::vector<TReceivedRequest> all = w.handler->Received();
  return std::vector<TReceivedRequest>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

void Connect_Ours(benchmark::State& aState) {
  Window w;
  w.handler->Configure([](TTestCommandHandler& h) { h.Recording = false; });
  try {
    for (auto _ : aState) {
      if (!w.Cycle()) {
        aState.SkipWithError("the window did not connect");
        break;
      }
    }
  } catch (const std::exception&) {
    aState.SkipWithError("the cycle raised");
  }
}

void Connect_RawSockets(benchmark::State& aState) {
  std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> exchanges;
  // What every new connection of the road moves before the requests the
  // handler sees: the transport's registration with its heartbeat interval
  // and the log-in block, each answered; the heartbeat's first keep-alive.
  exchanges.emplace_back(Frame(0, nxmtOpenTransport, std::vector<uint8_t>(4, 0)),
                         Frame(0, nxmtTransportReply, std::vector<uint8_t>(4, 0)));
  exchanges.emplace_back(Frame(nxLoginMsgID, nxmtLogin, std::vector<uint8_t>(nxLoginBlockSize, 0)),
                         Frame(nxLoginMsgID, nxmtLoginReply, std::vector<uint8_t>(nxLoginReplySize, 0)));
  exchanges.emplace_back(Frame(0, nxmtKeepAlive, {}), std::vector<uint8_t>());
  for (const TReceivedRequest& r : CycleRequests()) {
    std::vector<uint8_t> reply =
        r.msgID == nxnmDatabaseTableGetList ? ListPayload() : std::vector<uint8_t>(kSmallReply, 0);
    exchanges.emplace_back(Frame(r.msgID, 1, r.data), Frame(r.msgID, 2, reply));
  }
  // The session's end, which is not answered.
  exchanges.emplace_back(Frame(0, nxmtTerminateSession, {}), std::vector<uint8_t>());
  int round_trips = 0;
  for (const auto& exchange : exchanges) round_trips += !exchange.second.empty();
  aState.counters["round_trips"] = static_cast<double>(round_trips);
  const int listener = platform::TcpListen({platform::kInet4Loopback, 0}, 4);
  platform::TInet4Address local;
  platform::SocketLocalAddress(listener, local);
  std::thread peer([&] {
    // One connection per cycle; an empty connect ends the peer.
    for (;;) {
      platform::TInet4Address remote;
      const int fd = platform::TcpAccept(listener, remote);
      if (fd < 0) return;
      bool open = true;
      for (const auto& [request, reply] : exchanges) {
        std::vector<uint8_t> in(request.size());
        const platform::TSocketBuffer out{reply.data(), reply.size()};
        if (!revurov::bench::ReadAll(fd, in.data(), in.size()) || !platform::SocketWriteAll(fd, &out, 1)) {
          open = false;
          break;
        }
      }
      platform::CloseSocket(fd);
      if (!open) return;
    }
  });
  for (auto _ : aState) {
    const int fd = platform::TcpConnect(local, 3000);
    bool ok = fd >= 0;
    for (const auto& [request, reply] : exchanges) {
      if (!ok) break;
      std::vector<uint8_t> in(reply.size());
      const platform::TSocketBuffer out{request.data(), request.size()};
      ok = platform::SocketWriteAll(fd, &out, 1) && revurov::bench::ReadAll(fd, in.data(), in.size());
    }
    platform::CloseSocket(fd);
    if (!ok) {
      aState.SkipWithError("ping-pong failed");
      break;
    }
  }
  platform::CloseSocket(platform::TcpConnect(local, 3000));
  peer.join();
  platform::CloseSocket(listener);
}

}  // namespace

BENCHMARK(Connect_Ours)->Name("ConnectList1000/ours")->UseRealTime();
BENCHMARK(Connect_RawSockets)->Name("ConnectList1000/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
