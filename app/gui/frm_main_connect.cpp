// The window's connection to a database server: opened once at start-up,
// the table lists, the server scan and the alias list.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <algorithm>

#include "app/gui/dialog_service.h"
#include "app/gui/frm_main.h"
#include "client/database.h"
#include "client/session.h"
#include "engine/remote_session.h"
#include "platform/string_list.h"
#include "transport/named_pipe_transport.h"
#include "transport/shared_memory_transport.h"
#include "transport/tcp_transport.h"

namespace tesmira {

using revurov::TnxBaseTransport;
using revurov::TnxDatabase;
using revurov::TnxNamedPipeTransport;
using revurov::TnxRemoteServerEngine;
using revurov::TnxSession;
using revurov::TnxSharedMemoryTransport;
using revurov::TnxWinsockTransport;
using revurov::platform::TStringList;

void FreeComponent(revurov::platform::TComponent* component) {
  revurov::platform::TComponent::Free(component);
}

void SetComboDropDown(QComboBox* box, bool drop_down) {
  box->setProperty("dropDown", drop_down);
  box->setStyleSheet(drop_down ? QString() : QStringLiteral("QComboBox::drop-down { width: 0px; border: none; }"));
}

bool ComboDropDown(const QComboBox* box) { return box->property("dropDown").toBool(); }

namespace {

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
std::u16string U(const QString& s) { return s.toStdU16String(); }

// The transport of a protocol index; null for any other index.
TnxBaseTransport* ProtocolTransport(int index, TnxBaseTransport* winsock, TnxBaseTransport* named_pipe,
                                    TnxBaseTransport* shared_memory) {
  switch (index) {
    case 0: return winsock;
    case 1: return named_pipe;
    case 2: return shared_memory;
    default: return nullptr;
  }
}

// One transport of each kind, freed with the set.
struct TTransports {
  TTransports()
      : winsock(new TnxWinsockTransport(nullptr)),
        named_pipe(new TnxNamedPipeTransport(nullptr)),
        shared_memory(new TnxSharedMemoryTransport(nullptr)) {}
  TnxBaseTransport* For(int index) const {
    return ProtocolTransport(index, winsock.get(), named_pipe.get(), shared_memory.get());
  }
  TOwnedComponent<TnxWinsockTransport> winsock;
  TOwnedComponent<TnxNamedPipeTransport> named_pipe;
  TOwnedComponent<TnxSharedMemoryTransport> shared_memory;
};

void FillCombo(QComboBox* box, const TStringList& names) {
  const QSignalBlocker quiet(box);
  box->clear();
  for (int i = 0; i < names.Count(); ++i) box->addItem(Q(names[i]));
}

// Item 0 chosen; a simple box for fewer than two items.
void ChooseFirst(QComboBox* box) {
  box->setCurrentIndex(0);
  SetComboDropDown(box, box->count() >= 2);
}

}  // namespace

void TDataSec::CreateConnection() {
  nxWinsock.reset(new TnxWinsockTransport(nullptr));
  nxNamedPipe.reset(new TnxNamedPipeTransport(nullptr));
  nxSharedMemory.reset(new TnxSharedMemoryTransport(nullptr));
  nxRemoteServer.reset(new TnxRemoteServerEngine(nullptr));
  nxSession.reset(new TnxSession(nullptr));
  nxDatabase.reset(new TnxDatabase(nullptr));
  // Error texts name the component.
  nxWinsock->SetName(u"nxWinsock");
  nxNamedPipe->SetName(u"nxNamedPipe");
  nxSharedMemory->SetName(u"nxSharedMemory");
  nxRemoteServer->SetName(u"nxRemoteServer");
  nxSession->SetName(u"nxSession");
  nxDatabase->SetName(u"nxDatabase");
  nxSession->SetServerEngine(nxRemoteServer.get());
  nxDatabase->SetSession(nxSession.get());
}

void TDataSec::OpenDatabase() {
  // Every transport stops, so a change of protocol leaves none running.
  nxWinsock->SetActive(false);
  nxNamedPipe->SetActive(false);
  nxSharedMemory->SetActive(false);
  nxRemoteServer->SetActive(false);
  nxDatabase->SetActive(false);
  nxSession->SetActive(false);

  nxSession->SetServerEngine(nxRemoteServer.get());
  connected_protocol_ = ServerProtokol->ItemIndex();
  connected_server_ = DBServerName->currentText();
  // Without a transport the engine refuses to start, so no protocol chosen
  // fails the connection instead of using the one of an earlier choice.
  TnxBaseTransport* transport =
      ProtocolTransport(connected_protocol_, nxWinsock.get(), nxNamedPipe.get(), nxSharedMemory.get());
  nxRemoteServer->SetTransport(transport);
  if (transport) transport->SetServerName(U(connected_server_));
  nxDatabase->SetAliasName(U(DBAlias->currentText()));
  nxDatabase->SetActive(true);
}

void TDataSec::ConnectDatabase() {
  try {
    OpenDatabase();
  } catch (...) {
    DialogService().MessageDlg(this, Q(kNoConnection) + DBServerName->currentText(), TMsgDlgType::mtError);
    // The window goes on without a connection.
    Guarded([this] { nxSession->SetActive(false); });
  }
}

void TDataSec::FillTableLists() {
  // Asked first: a failure keeps the lists as they were.
  TStringList names;
  nxDatabase->GetTableNames(&names);
  QStringList tables;
  tables.reserve(names.Count());
  for (int i = 0; i < names.Count(); ++i) {
    const std::u16string& name = names[i];
    if (name.find(u'$') == std::u16string::npos) tables.append(Q(name));
  }
  lxGroupTables->SetItems(tables);
  lxAccessTables->SetItems(tables);
}

void TDataSec::DBAliasChange() {
  const bool same_road = nxDatabase->Active() && connected_protocol_ == ServerProtokol->ItemIndex() &&
                         connected_server_ == DBServerName->currentText();
  if (same_road) {
    // Leaving the box without a change opens nothing again.
    if (QString(DBAlias->currentText()).trimmed() == Q(nxDatabase->AliasName())) return;
    nxDatabase->SetActive(false);
    nxDatabase->SetAliasName(U(DBAlias->currentText()));
    nxDatabase->SetActive(true);
  } else {
    OpenDatabase();
  }
  FillTableLists();
}

void TDataSec::ServerScanBtnClick() {
  ZirezServer->clear();
  {
    TTransports scan;
    THourglassGuard hourglass;
    if (TnxBaseTransport* transport = scan.For(ServerProtokol->ItemIndex())) {
      TStringList names;
      for (int i = 0; i < DBServerName->count(); ++i) names.Add(U(DBServerName->itemText(i)));
      // A negative time scans nothing rather than for ever.
      transport->GetServerNames(names, static_cast<uint32_t>(std::max(0, ScanTimeOut->value())));
      FillCombo(DBServerName, names);
    }
    ChooseFirst(DBServerName);
  }
  DBServerNameChange();
  if (!DBServerName->currentText().isEmpty()) {
    ListServerAliases();
  } else {
    ZirezServer->setText(Q(kNoServerFound));
  }
}

void TDataSec::ListServerAliases() {
  if (DBServerName->count() == 0) {
    DialogService().MessageDlg(this, Q(kNoServerListed), TMsgDlgType::mtInformation);
    return;
  }
  // Declared in reverse order of freeing: the session goes first.
  TTransports transports;
  TOwnedComponent<TnxRemoteServerEngine> engine(new TnxRemoteServerEngine(nullptr));
  TOwnedComponent<TnxSession> session(new TnxSession(nullptr));
  session->SetServerEngine(engine.get());
  TnxBaseTransport* transport = transports.For(ServerProtokol->ItemIndex());
  engine->SetTransport(transport);
  if (transport) transport->SetServerName(U(DBServerName->currentText()));
  session->SetActive(true);
  TStringList aliases;
  session->GetAliasNamesEx(&aliases, true);
  FillCombo(DBAlias, aliases);
  ChooseFirst(DBAlias);
  session->SetActive(false);
}

}  // namespace tesmira
