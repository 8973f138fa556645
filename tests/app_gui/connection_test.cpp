// The window's connection against the test command handler, offscreen, in a
// network of the test's own (the window's transports use the fixed port
// 16000): the start-up connection, the table lists, alias changes, the
// server scan with its alias list, the log-on and pick forms, and failures
// at start and later.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "app/gui/frm_main.h"
#include "client/database.h"
#include "client/platform/login_form.h"
#include "client/platform/pick_server_form.h"
#include "client/session.h"
#include "engine/remote_session.h"
#include "gui_test_support.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/fake_transport_clock.h"
#include "support/in_process_server.h"
#include "support/private_network.h"
#include "support/test_command_handler.h"
#include "support/test_tcp_server.h"
#include "support/within.h"
#include "transport/named_pipe_transport.h"
#include "transport/shared_memory_transport.h"
#include "transport/tcp_discovery.h"
#include "transport/tcp_transport.h"

namespace tesmira {
namespace {

using revurov::testing::Fixed;
using revurov::testing::Injected;
using revurov::testing::TReplyKind;
using revurov::testing::TTestCommandHandler;
using revurov::testing::TTestTcpServer;
using test::TDialogsGuard;

constexpr revurov::TnxMsgID kAliasList = 0x104, kDatabaseOpen = 0x122, kTableNames = 0x223;

QStringList Items(const QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

QStringList Items(const QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
  return out;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

std::map<std::string, QByteArray> Snapshot(const QString& folder) {
  std::map<std::string, QByteArray> out;
  for (const auto& e : std::filesystem::directory_iterator(folder.toStdString()))
    out[e.path().filename().string()] = ReadAll(QString::fromStdString(e.path().string()));
  return out;
}

// A second server as a scan sees it: it answers every TCP server request
// on port 16000 under its own name (its address is the test server's).
class TSecondAnswerer {
public:
  TSecondAnswerer() : fd_(revurov::platform::UdpOpen({revurov::platform::kInet4Any, 16000}, false)) {
    if (fd_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~TSecondAnswerer() {
    revurov::platform::ShutdownSocket(fd_);
    if (thread_.joinable()) thread_.join();
    revurov::platform::CloseSocket(fd_);
  }
  bool Ok() const { return fd_ >= 0; }

private:
  void Serve() {
    const std::string answer = revurov::nxWinsockAnswer(u"Zweiter", TTestCommandHandler::kServerGUID);
    char buffer[512];
    // Ends when the socket is shut down; bounded all the same.
    for (int i = 0; i < 10000; ++i) {
      revurov::platform::TInet4Address from;
      uint32_t arrival = 0;
      const int64_t got = revurov::platform::UdpReceive(fd_, buffer, sizeof buffer, from, arrival);
      if (got <= 0) return;
      if (!revurov::nxIsWinsockRequest(buffer, static_cast<size_t>(got))) continue;
      revurov::platform::UdpSend(fd_, answer.data(), answer.size(), {from.address, 16001});
    }
  }
  int fd_;
  std::thread thread_;
};

QString NoConnection(const QString& server) { return QString::fromStdU16String(kNoConnection) + server; }

const QString kNotStarted =
    QStringLiteral("RevurOV: nxDatabase: This component must be started when performing this operation. [no error code]");

class ConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!net_.Entered()) GTEST_SKIP() << "needs a network namespace of its own";
    ASSERT_TRUE(tmp_.isValid());
    appdata_ = tmp_.filePath("appdata");
    db_ = tmp_.filePath("db");
    QDir().mkpath(appdata_ + "/Tesmira");
    QDir().mkpath(db_);
    had_appdata_ = qEnvironmentVariableIsSet("APPDATA");
    old_appdata_ = qgetenv("APPDATA");
    qputenv("APPDATA", appdata_.toUtf8());
    handler_->UserName = revurov::nxDefaultUserName;
    handler_->Password = revurov::nxDefaultPassword;
    handler_->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Suite", u"/srv/suite"}, {u"Other", u"/srv/other"}};
      h.Tables[u"Suite"] = {u"KUNDEN", u"$TEMP", u"ARTIKEL", u"A$B", u"LAGER$"};
      h.Tables[u"Other"] = {u"BELEGE"};
    });
  }
  void TearDown() override {
    window_.reset();
    handler_->ReleaseLate();
    tcp_.reset();
    pipe_.reset();
    shm_.reset();
    if (had_appdata_) {
      qputenv("APPDATA", old_appdata_);
    } else {
      qunsetenv("APPDATA");
    }
  }

  void WriteSettings(int protocol, const QString& server, const QString& alias = QStringLiteral("Suite")) {
    QFile f(appdata_ + "/Tesmira/Tesmira.ini");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("[Configuration]\r\nDatenbankPfad=" + db_ + "\r\nServer_Protocol=" + QString::number(protocol) +
             "\r\nDBConnect=0\r\nDBServer=" + server + "\r\nDBSAlias=" + alias + "\r\n")
                .toUtf8());
  }
  // A TCP server on aAddress:16000 answering server scans.
  revurov::testing::ComponentPtr<TTestTcpServer> TcpServer(const std::u16string& aAddress) {
    revurov::testing::ComponentPtr<TTestTcpServer> server(new TTestTcpServer(nullptr));
    revurov::platform::TStringList addresses;
    addresses.Add(aAddress);
    server->SetListenAddresses(addresses);
    server->SetPort(16000);
    server->SetRespondToBroadcasts(true);
    server->SetCommandHandler(handler_.get());
    server->SetActive(true);
    return server;
  }
  void StartTcpServer() { tcp_ = TcpServer(u"127.0.0.1"); }
  void StartPipeServer() {
    pipe_.reset(new revurov::TnxNamedPipeTransport(nullptr));
    pipe_->SetMode(revurov::nxtmListen);
    pipe_->SetServerName(u"TestServer");
    pipe_->SetPort(16000);
    pipe_->SetHeartbeatInterval(0);
    pipe_->SetRespondToBroadcasts(true);
    pipe_->SetCommandHandler(handler_.get());
    pipe_->SetActive(true);
  }
  // Shared memory is seen by the whole machine: the name is this process's.
  static QString ShmName() {
    return QStringLiteral("TestServer_%1").arg(revurov::platform::CurrentProcessId());
  }
  void StartShmServer() {
    shm_.reset(new revurov::TnxSharedMemoryTransport(nullptr));
    shm_->SetMode(revurov::nxtmListen);
    shm_->SetServerName(ShmName().toStdU16String());
    shm_->SetPort(16000);
    shm_->SetHeartbeatInterval(0);
    shm_->SetRespondToBroadcasts(true);
    shm_->SetCommandHandler(handler_.get());
    shm_->SetActive(true);
  }
  TDataSec& Start() {
    window_ = std::make_unique<TDataSec>();
    window_->show();
    QCoreApplication::processEvents();
    return *window_;
  }
  // Types an alias as a user would and leaves the box.
  void EnterAlias(const QString& alias) {
    QLineEdit* edit = window_->DBAlias->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, alias);
    emit edit->editingFinished();
  }
  size_t Requests(revurov::TnxMsgID id) const {
    size_t n = 0;
    for (revurov::TnxMsgID got : handler_->ReceivedIDs())
      if (got == id) ++n;
    return n;
  }
  void ExpectLists(const QStringList& tables) {
    EXPECT_EQ(Items(window_->lxGroupTables), tables);
    EXPECT_EQ(Items(window_->lxAccessTables), tables);
  }

  test::TAppRef app_;
  TDialogsGuard guard_;
  test::TRecordingDialogs& dialogs_ = *guard_.dialogs;
  revurov::testing::TPrivateNetwork net_;
  QTemporaryDir tmp_;
  QString appdata_, db_;
  QByteArray old_appdata_;
  bool had_appdata_ = false;
  revurov::testing::ComponentPtr<TTestCommandHandler> handler_{new TTestCommandHandler(nullptr)};
  revurov::testing::ComponentPtr<TTestTcpServer> tcp_;
  revurov::testing::ComponentPtr<revurov::TnxNamedPipeTransport> pipe_;
  revurov::testing::ComponentPtr<revurov::TnxSharedMemoryTransport> shm_;
  std::unique_ptr<TDataSec> window_;
};

TEST_F(ConnectionTest, BothListsHoldTheTablesInServerOrderWithoutDollarNames) {
  struct Case {
    int protocol;
    QString server;
  };
  for (const Case& c : {Case{0, "127.0.0.1"}, Case{1, "TestServer"}, Case{2, ShmName()}}) {
    SCOPED_TRACE(c.protocol);
    StartTcpServer();
    StartPipeServer();
    StartShmServer();
    WriteSettings(c.protocol, c.server);
    TDataSec& w = Start();
    EXPECT_TRUE(dialogs_.messages.isEmpty()) << dialogs_.messages.join('|').toStdString();
    EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
    ExpectLists({"KUNDEN", "ARTIKEL"});
    EXPECT_TRUE(w.nxDatabase->Active());
    EXPECT_EQ(w.nxDatabase->AliasName(), u"Suite");
    const revurov::TnxBaseTransport* transports[] = {w.nxWinsock.get(), w.nxNamedPipe.get(), w.nxSharedMemory.get()};
    EXPECT_EQ(w.nxRemoteServer->Transport(), transports[c.protocol]);
    EXPECT_EQ(handler_->OpenDatabases(), std::vector<std::u16string>{u"Suite"});
    window_.reset();
    EXPECT_TRUE(handler_->OpenDatabases().empty());
    tcp_.reset();
    pipe_.reset();
    shm_.reset();
  }
}

// The same window over a real server engine on a folder of real tables.
TEST_F(ConnectionTest, OverARealServerTheListsFollowTheFoldersTablesBetweenRefreshes) {
  revurov::testing::TInProcessServer server;
  handler_->ServeFrom(&server);
  struct TDetach {
    TTestCommandHandler& handler;
    ~TDetach() { handler.ServeFrom(nullptr); }
  } detach{*handler_};
  handler_->Configure([](TTestCommandHandler& h) { h.Tables[u"Suite"] = {u"KUNDEN", u"ARTIKEL", u"A$B"}; });
  revurov::TnxAbstractDatabase* direct = server.Direct(u"Suite");
  ASSERT_NE(direct, nullptr);
  revurov::TnxDataDictionary dictionary;
  dictionary.FieldsDescriptor().AddField(u"ID", u"", revurov::nxtInt32, 0, 0, false);
  // Another session's temporary table is no table of the folder.
  ASSERT_EQ(direct->TableBuild(false, u"FLUECHTIG", u"", &dictionary, revurov::tsTempDatabase, false), 0u);
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  EXPECT_TRUE(dialogs_.messages.isEmpty()) << dialogs_.messages.join('|').toStdString();
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
  ASSERT_TRUE(w.nxDatabase->Active());
  auto sorted = [](QStringList aList) {
    aList.sort();
    return aList;
  };
  auto refresh = [&] {
    EnterAlias("Other");
    EnterAlias("Suite");
    EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
    EXPECT_EQ(Items(w.lxGroupTables), Items(w.lxAccessTables));
    return sorted(Items(w.lxGroupTables));
  };
  EXPECT_EQ(sorted(Items(w.lxGroupTables)), (QStringList{"ARTIKEL", "KUNDEN"}));
  EXPECT_EQ(Items(w.lxGroupTables), Items(w.lxAccessTables));
  ASSERT_EQ(direct->TableBuild(false, u"NEU", u"", &dictionary, revurov::tsPersistent, false), 0u);
  EXPECT_EQ(refresh(), (QStringList{"ARTIKEL", "KUNDEN", "NEU"}));
  ASSERT_EQ(direct->TableRename(u"NEU", u"ZULETZT", u""), 0u);
  EXPECT_EQ(refresh(), (QStringList{"ARTIKEL", "KUNDEN", "ZULETZT"}));
  ASSERT_EQ(direct->TableDelete(u"ZULETZT", u""), 0u);
  EXPECT_EQ(refresh(), (QStringList{"ARTIKEL", "KUNDEN"}));
  window_.reset();
  tcp_.reset();
}

TEST_F(ConnectionTest, WithoutAConnectionTheBoxComesFirstThenTheListsErrorAndTheWindowStaysUsable) {
  struct Case {
    int protocol;
    QString server;
  };
  // Nobody listens; -1 selects no transport at all.
  for (const Case& c :
       {Case{0, "127.0.0.1"}, Case{1, "TestServer"}, Case{2, ShmName()}, Case{-1, "127.0.0.1"}}) {
    SCOPED_TRACE(c.protocol);
    dialogs_.messages.clear();
    dialogs_.errors.clear();
    WriteSettings(c.protocol, c.server);
    TDataSec& w = Start();
    EXPECT_EQ(dialogs_.messages, QStringList{NoConnection(c.server)});
    EXPECT_EQ(dialogs_.errors, QStringList{kNotStarted});
    EXPECT_FALSE(w.nxSession->Active());
    EXPECT_TRUE(w.isVisible());
    ExpectLists({});
    // Groups do not need the server.
    w.DBGruppe->setText("G1");
    w.GruppeAnlegenBtn->setEnabled(true);
    QTest::mouseClick(w.GruppeAnlegenBtn, Qt::LeftButton);
    EXPECT_EQ(dialogs_.errors, QStringList{kNotStarted});
    EXPECT_EQ(w.tvMainTree->findItems("G1", Qt::MatchRecursive).size(), 1);
    window_.reset();
  }
}

TEST_F(ConnectionTest, FailuresAtStartShowTheBoxAndLeaveNothingOpen) {
  struct Case {
    const char* what;
    revurov::testing::TScriptedReply reply;
  };
  const Case cases[] = {
      {"error reply with text", Fixed(revurov::nxeUnknownDatabase, {}, u"Alias gesperrt")},
      {"server closes mid-request", Injected(TReplyKind::rkClose)},
  };
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dialogs_.messages.clear();
    dialogs_.errors.clear();
    handler_->Script(kDatabaseOpen, c.reply);
    TDataSec& w = Start();
    EXPECT_EQ(dialogs_.messages, QStringList{NoConnection("127.0.0.1")});
    EXPECT_EQ(dialogs_.errors, QStringList{kNotStarted});
    EXPECT_FALSE(w.nxSession->Active());
    EXPECT_TRUE(handler_->OpenDatabases().empty());
    window_.reset();
  }
}

TEST_F(ConnectionTest, AnAliasOpensWhenChosenOrWhenItsEditingEndsNotAtEveryKey) {
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  ExpectLists({"KUNDEN", "ARTIKEL"});
  const size_t opened = Requests(kDatabaseOpen);

  QLineEdit* edit = w.DBAlias->lineEdit();
  edit->selectAll();
  QTest::keyClicks(edit, "Other");
  EXPECT_EQ(Requests(kDatabaseOpen), opened);
  emit edit->editingFinished();
  EXPECT_EQ(Requests(kDatabaseOpen), opened + 1);
  ExpectLists({"BELEGE"});
  EXPECT_EQ(handler_->OpenDatabases(), std::vector<std::u16string>{u"Other"});

  // Leaving the box unchanged opens nothing again.
  emit edit->editingFinished();
  EXPECT_EQ(Requests(kDatabaseOpen), opened + 1);

  // A choice from the list opens at once.
  w.DBAlias->addItem("Suite");
  w.DBAlias->setCurrentIndex(w.DBAlias->findText("Suite"));
  emit w.DBAlias->activated(w.DBAlias->currentIndex());
  EXPECT_EQ(Requests(kDatabaseOpen), opened + 2);
  ExpectLists({"KUNDEN", "ARTIKEL"});
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
}

TEST_F(ConnectionTest, AnAliasChangeOnAnotherProtocolOrServerReconnectsThere) {
  StartTcpServer();
  StartPipeServer();
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  ASSERT_TRUE(w.nxWinsock->Active());

  w.ServerProtokol->SetItemIndex(1);
  w.DBServerName->setEditText("TestServer");
  EnterAlias("Other");
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
  EXPECT_EQ(w.nxRemoteServer->Transport(), w.nxNamedPipe.get());
  EXPECT_TRUE(w.nxNamedPipe->Active());
  EXPECT_FALSE(w.nxWinsock->Active());
  ExpectLists({"BELEGE"});

  StartShmServer();
  w.ServerProtokol->SetItemIndex(2);
  w.DBServerName->setEditText(ShmName());
  EnterAlias("Suite");
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
  EXPECT_EQ(w.nxRemoteServer->Transport(), w.nxSharedMemory.get());
  EXPECT_FALSE(w.nxNamedPipe->Active());
  EXPECT_FALSE(w.nxWinsock->Active());
  ExpectLists({"KUNDEN", "ARTIKEL"});

  // Back to the pipe: the shared-memory transport stops too.
  w.ServerProtokol->SetItemIndex(1);
  w.DBServerName->setEditText("TestServer");
  EnterAlias("Other");
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
  EXPECT_FALSE(w.nxSharedMemory->Active());
  ExpectLists({"BELEGE"});

  // A server that cannot be reached: the component's error, the lists as
  // they were, and the window goes on.
  w.DBServerName->setEditText("Nobody");
  EnterAlias("Suite");
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  ExpectLists({"BELEGE"});
}

TEST_F(ConnectionTest, LaterFailuresShowTheComponentsTextAndKeepTheLists) {
  struct Case {
    const char* what;
    revurov::testing::TScriptedReply reply;
    const char* text;  // part of the error shown
  };
  const Case cases[] = {
      {"error reply with text", Fixed(revurov::nxeUnknownDatabase, {}, u"Tabellen gesperrt"), "Tabellen gesperrt"},
      {"server closes mid-request", Injected(TReplyKind::rkClose), ""},
      {"reply held past the timeout", Injected(TReplyKind::rkLate), ""},
  };
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  bool other = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    handler_->Script(kTableNames, {});
    TDataSec& w = Start();
    ASSERT_TRUE(w.nxDatabase->Active());
    ExpectLists({"KUNDEN", "ARTIKEL"});
    w.nxSession->SetTimeout(300);
    handler_->Script(kTableNames, c.reply);
    EnterAlias(other ? "Other" : "Suite");
    ASSERT_EQ(dialogs_.errors.size(), 1);
    EXPECT_TRUE(dialogs_.errors[0].contains(QString::fromUtf8(c.text))) << dialogs_.errors[0].toStdString();
    EXPECT_TRUE(dialogs_.messages.isEmpty());
    ExpectLists({"KUNDEN", "ARTIKEL"});
    EXPECT_TRUE(w.isVisible());
    dialogs_.errors.clear();
    window_.reset();
    handler_->ReleaseLate();
    handler_->Configure([](TTestCommandHandler& h) { h.ResetLate(); });
  }
}

TEST_F(ConnectionTest, TheLogOnFormIsAskedThreeTimesThenTheBox) {
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  handler_->UserName = u"hans";
  handler_->Password = u"geheim";
  struct Case {
    QString user, password;
    bool connects;
  };
  for (const Case& c : {Case{"hans", "falsch", false}, Case{"hans", "geheim", true}}) {
    SCOPED_TRACE(c.password.toStdString());
    dialogs_.messages.clear();
    dialogs_.errors.clear();
    dialogs_.forms.clear();
    dialogs_.on_form = [&c](QDialog& form) {
      auto* login = dynamic_cast<revurov::TfrmLogin*>(&form);
      if (!login) return int(QDialog::Rejected);
      login->edUserName->setText(c.user);
      login->edPassword->setText(c.password);
      return int(QDialog::Accepted);
    };
    TDataSec& w = Start();
    if (c.connects) {
      EXPECT_EQ(dialogs_.forms, QStringList{"login"});
      EXPECT_TRUE(dialogs_.messages.isEmpty());
      ExpectLists({"KUNDEN", "ARTIKEL"});
    } else {
      EXPECT_EQ(dialogs_.forms, QStringList({"login", "login", "login"}));
      EXPECT_EQ(dialogs_.messages, QStringList{NoConnection("127.0.0.1")});
      EXPECT_FALSE(w.nxSession->Active());
    }
    window_.reset();
  }
}

TEST_F(ConnectionTest, ScanListsTheServersFoundAndTheirAliases) {
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  w.ScanTimeOut->setValue(300);

  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  EXPECT_EQ(Items(w.DBServerName), QStringList{"TestServer@127.0.0.1"});
  EXPECT_EQ(w.DBServerName->currentText(), "TestServer@127.0.0.1");
  EXPECT_FALSE(ComboDropDown(w.DBServerName));
  EXPECT_EQ(Items(w.DBAlias), QStringList({"Suite", "Other"}));
  EXPECT_EQ(w.DBAlias->currentIndex(), 0);
  EXPECT_TRUE(ComboDropDown(w.DBAlias));
  EXPECT_TRUE(w.ZirezServer->text().isEmpty());
  EXPECT_EQ(dialogs_.hourglass_depth, 0);
  EXPECT_EQ(dialogs_.hourglass_calls, 2);
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();

  // A second server: a drop-down box, the first chosen.
  TSecondAnswerer second;
  ASSERT_TRUE(second.Ok());
  handler_->Configure([](TTestCommandHandler& h) { h.Aliases = {{u"Nur", u"/srv/nur"}}; });
  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  EXPECT_EQ(Items(w.DBServerName), QStringList({"TestServer@127.0.0.1", "Zweiter@127.0.0.1"}));
  EXPECT_EQ(w.DBServerName->currentIndex(), 0);
  EXPECT_TRUE(ComboDropDown(w.DBServerName));
  EXPECT_EQ(Items(w.DBAlias), QStringList{"Nur"});
  EXPECT_FALSE(ComboDropDown(w.DBAlias));
  // The scan's own components are gone: only the window's session is left
  // once the server has seen the others end.
  EXPECT_TRUE(revurov::testing::Within(std::chrono::seconds(5), [&] { return handler_->Sessions().size() == 1u; }))
      << handler_->Sessions().size();
}

TEST_F(ConnectionTest, ScanOverNamedPipes) {
  StartPipeServer();
  WriteSettings(1, "TestServer");
  TDataSec& w = Start();
  w.ScanTimeOut->setValue(300);
  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  ASSERT_EQ(w.DBServerName->count(), 1);
  EXPECT_TRUE(w.DBServerName->itemText(0).startsWith("TestServer")) << w.DBServerName->itemText(0).toStdString();
  EXPECT_EQ(Items(w.DBAlias), QStringList({"Suite", "Other"}));
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
}

// The registry is the whole machine's: other servers may be listed too.
TEST_F(ConnectionTest, ScanOverSharedMemoryListsTheServer) {
  StartShmServer();
  WriteSettings(2, ShmName());
  TDataSec& w = Start();
  ASSERT_TRUE(w.nxDatabase->Active());
  w.ScanTimeOut->setValue(300);
  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  EXPECT_TRUE(Items(w.DBServerName).contains(ShmName())) << Items(w.DBServerName).join('|').toStdString();
  EXPECT_EQ(w.DBServerName->currentIndex(), 0);
  EXPECT_EQ(dialogs_.hourglass_depth, 0);
}

TEST_F(ConnectionTest, AServerFoundThatCannotBeReachedShowsTheErrorAndKeepsTheAliases) {
  // Only the answerer is there: the alias list's connection fails.
  TSecondAnswerer second;
  ASSERT_TRUE(second.Ok());
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  dialogs_.messages.clear();
  dialogs_.errors.clear();
  w.DBAlias->clear();
  w.DBAlias->addItem("Alt");
  w.ScanTimeOut->setValue(300);
  dialogs_.hourglass_calls = 0;
  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  EXPECT_EQ(Items(w.DBServerName), QStringList{"Zweiter@127.0.0.1"});
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_EQ(Items(w.DBAlias), QStringList{"Alt"});
  EXPECT_EQ(dialogs_.hourglass_depth, 0);
  EXPECT_EQ(dialogs_.hourglass_calls, 2);
  // Nothing of the scan is left running: the window still works.
  StartTcpServer();
  w.DBServerName->setEditText("127.0.0.1");
  EnterAlias("Other");
  EXPECT_EQ(dialogs_.errors.size(), 1);
  ExpectLists({"BELEGE"});
}

TEST_F(ConnectionTest, AScanThatFindsNothingSaysSoAndAsksNoAliases) {
  struct Case {
    int protocol;
    int timeout;
    std::vector<uint32_t> waited;  // the scan's waits on the transport clock
  };
  // A negative time scans 0 ms, not the longest scan; index -1 scans
  // nothing at all. Nobody answers.
  for (const Case& c : {Case{0, -1, {0}}, Case{0, -2000000000, {0}}, Case{0, 300, {300}}, Case{-1, 300, {}}}) {
    SCOPED_TRACE(c.timeout);
    WriteSettings(c.protocol, "127.0.0.1");
    TDataSec& w = Start();
    w.DBAlias->clear();
    w.ScanTimeOut->setValue(c.timeout);
    dialogs_.hourglass_calls = 0;
    dialogs_.messages.clear();
    std::vector<uint32_t> waited;
    {
      revurov::testing::TFakeTransportClock clock;
      QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
      waited = clock.Sleeps();
    }
    EXPECT_EQ(waited, c.waited);
    EXPECT_EQ(w.DBServerName->count(), 0);
    EXPECT_TRUE(w.DBServerName->currentText().isEmpty());
    EXPECT_FALSE(ComboDropDown(w.DBServerName));
    EXPECT_EQ(w.ZirezServer->text(), QString::fromStdU16String(kNoServerFound));
    EXPECT_TRUE(handler_->ReceivedIDs().empty());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
    EXPECT_EQ(dialogs_.hourglass_depth, 0);
    EXPECT_EQ(dialogs_.hourglass_calls, 2);
    window_.reset();
  }
}

TEST_F(ConnectionTest, AnEmptyServerNameWithTwoServersAsksThePickForm) {
  StartTcpServer();
  TSecondAnswerer second;
  ASSERT_TRUE(second.Ok());
  WriteSettings(0, "127.0.0.1");
  TDataSec& w = Start();
  // The search waits the transport's timeout: lowered for the test.
  w.nxWinsock->SetTimeout(400);
  dialogs_.on_form = [](QDialog& form) {
    auto* pick = dynamic_cast<revurov::TfrmPickServer*>(&form);
    if (!pick) return int(QDialog::Rejected);
    pick->CBNames->setCurrentIndex(1);
    return int(QDialog::Accepted);
  };
  w.DBServerName->setEditText("");
  EnterAlias("Other");
  EXPECT_EQ(dialogs_.forms, QStringList{"pick"});
  EXPECT_EQ(w.nxWinsock->ServerName(), u"Zweiter@127.0.0.1");
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join('|').toStdString();
  ExpectLists({"BELEGE"});
}

TEST_F(ConnectionTest, TheDataFilesStayByteIdentical) {
  StartTcpServer();
  WriteSettings(0, "127.0.0.1");
  {
    TDataSec& w = Start();
    w.Admin->setText("ADMIN");
    w.PW1->setText("pw");
    QTest::mouseClick(w.SaveBtn, Qt::LeftButton);
    w.close();
    window_.reset();
  }
  const auto before = Snapshot(db_);
  ASSERT_TRUE(before.count("TesmiraSec.dat"));
  ASSERT_TRUE(before.count("TesmiraSec.sec"));
  dialogs_.password = "pw";
  TDataSec& w = Start();
  w.ScanTimeOut->setValue(200);
  QTest::mouseClick(w.ServerScanBtn, Qt::LeftButton);
  EnterAlias("Other");
  w.close();
  window_.reset();
  EXPECT_EQ(Snapshot(db_), before);
}

}  // namespace
}  // namespace tesmira
