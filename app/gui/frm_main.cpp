#include "app/gui/frm_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <limits>
#include <vector>

#include "app/gui/box_procs.h"
#include "app/gui/dialog_service.h"
#include "app/gui/pw_dlg.h"
#include "client/database.h"
#include "client/session.h"
#include "engine/remote_session.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "transport/named_pipe_transport.h"
#include "transport/shared_memory_transport.h"
#include "transport/tcp_transport.h"

namespace tesmira {

namespace {

using revurov::platform::Exception;


QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }

[[noreturn]] void Raise(const char16_t* text) { throw Exception(text); }

QLabel* MakeLabel(const QString& text, QWidget* parent, int x, int y, bool underline = false) {
  auto* label = new QLabel(text, parent);
  if (underline) {
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
  }
  label->move(x, y);
  label->adjustSize();
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(x, y, w, 21);
  return edit;
}

void MakeMasked(QLineEdit* edit) {
  edit->setEchoMode(QLineEdit::Password);
  edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
}

// Input forced to upper case, also for text set by the program.
void MakeUpperCase(QLineEdit* edit) {
  QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
    const QString upper = text.toUpper();
    if (upper != text) {
      const int pos = edit->cursorPosition();
      edit->setText(upper);
      edit->setCursorPosition(pos);
    }
  });
}

QPushButton* MakeButton(const QString& text, QWidget* parent, const char* name, int x, int y, int w,
                        int h = 25) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(x, y, w, h);
  return button;
}

TListBox* MakeList(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* list = new TListBox(parent);
  list->setObjectName(QString::fromLatin1(name));
  list->setGeometry(x, y, w, h);
  list->SetMultiSelect(true);
  return list;
}

// The five tree pictures: administration, users, user, group, table.
QIcon MakeImage(int index) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  static const QColor colors[5] = {QColor(70, 90, 160), QColor(40, 130, 60), QColor(60, 170, 90),
                                   QColor(200, 150, 40), QColor(120, 120, 130)};
  p.setPen(colors[index].darker(140));
  p.setBrush(colors[index]);
  switch (index) {
    case 0:  // a shield
      p.drawRoundedRect(2, 1, 12, 14, 3, 3);
      break;
    case 1:  // two heads
      p.drawEllipse(1, 2, 6, 6);
      p.drawEllipse(8, 2, 6, 6);
      p.drawRect(1, 9, 14, 6);
      break;
    case 2:  // one head
      p.drawEllipse(4, 1, 8, 7);
      p.drawRoundedRect(2, 9, 12, 6, 2, 2);
      break;
    case 3:  // a folder
      p.drawRect(1, 4, 14, 10);
      p.drawRect(1, 2, 6, 3);
      break;
    default:  // a table grid
      p.setBrush(Qt::white);
      p.drawRect(1, 2, 14, 12);
      p.drawLine(1, 6, 15, 6);
      p.drawLine(1, 10, 15, 10);
      p.drawLine(6, 2, 6, 14);
      break;
  }
  return QIcon(pm);
}

}  // namespace

// ---------------------------------------------------------------------------
// TRadioGroup

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns,
                         QWidget* parent)
    : QWidget(parent) {
  auto* box = new QGroupBox(caption, this);
  auto* grid = new QGridLayout(box);
  for (int i = 0; i < items.size(); ++i) {
    auto* b = new QRadioButton(items[i], box);
    buttons_ << b;
    grid->addWidget(b, i / columns, i % columns);
  }
  auto* outer = new QGridLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(box);
}

int TRadioGroup::ItemIndex() const {
  for (int i = 0; i < buttons_.size(); ++i) {
    if (buttons_[i]->isChecked()) return i;
  }
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  if (index >= buttons_.size()) index = static_cast<int>(buttons_.size()) - 1;
  if (index < -1) index = -1;
  for (int i = 0; i < buttons_.size(); ++i) {
    buttons_[i]->setAutoExclusive(false);
    buttons_[i]->setChecked(i == index);
    buttons_[i]->setAutoExclusive(true);
  }
}

// ---------------------------------------------------------------------------
// Construction and layout

TDataSec::TDataSec(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("DataSec"));
  setWindowTitle(QStringLiteral("Tesmira 18 Zuzaduvevuzezar"));
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  setFixedSize(879, 562);
  for (int i = 0; i < 5; ++i) NotebookImages[i] = MakeImage(i);

  tvMainTree = new QTreeWidget(this);
  tvMainTree->setObjectName(QStringLiteral("tvMainTree"));
  tvMainTree->setGeometry(0, 0, 293, 545);
  tvMainTree->setHeaderHidden(true);
  tvMainTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvMainTree->setSelectionMode(QAbstractItemView::SingleSelection);

  nbSecurity = new QStackedWidget(this);
  nbSecurity->setObjectName(QStringLiteral("nbSecurity"));
  nbSecurity->setGeometry(293, 0, 586, 545);
  const char* const page_names[5] = {"User", "Gruppe", "Gruppe Info", "Tabelle", "Admin"};
  QWidget* pages[5];
  for (int i = 0; i < 5; ++i) {
    pages[i] = new QWidget(nbSecurity);
    pages[i]->setObjectName(QString::fromUtf8(page_names[i]));
    nbSecurity->addWidget(pages[i]);
  }
  BuildUserPage(pages[kPageUser]);
  BuildGroupPage(pages[kPageGroup]);
  BuildGroupInfoPage(pages[kPageGroupInfo]);
  BuildTablePage(pages[kPageTable]);
  BuildAdminPage(pages[kPageAdmin]);

  StatusBar = new QStatusBar(this);
  StatusBar->setObjectName(QStringLiteral("StatusBar"));
  StatusBar->setGeometry(0, 545, 879, 17);
  StatusBar->setSizeGripEnabled(false);
  status_panel_ = new QLabel(StatusBar);
  StatusBar->addWidget(status_panel_, 1);

  StatusTimer = new QTimer(this);
  StatusTimer->setInterval(2000);

  BuildTree();
  CreateConnection();
  ConnectHandlers();
  // No edit cuts what is typed or loaded (the default is 32767 characters).
  for (QLineEdit* edit : findChildren<QLineEdit*>()) edit->setMaxLength(std::numeric_limits<int>::max());

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  Guarded([this] { FormCreate(); });
}

TDataSec::~TDataSec() = default;

void TDataSec::BuildTree() {
  auto* root = new QTreeWidgetItem(tvMainTree, QStringList{QStringLiteral("Administration")});
  SetNodeImage(root, 0);
  SetNodeImage(new QTreeWidgetItem(root, QStringList{QStringLiteral("Benutzer")}), 1);
  SetNodeImage(new QTreeWidgetItem(root, QStringList{QStringLiteral("DB-Gruppen")}), 3);
}

void TDataSec::BuildUserPage(QWidget* page) {
  Page0Label = MakeLabel(QStringLiteral("Benutzer anlegen:"), page, 16, 16, true);
  Page0Label->setObjectName(QStringLiteral("Page0Label"));
  Page0Label->setMinimumWidth(200);
  MakeLabel(QStringLiteral("Benutzername:"), page, 16, 52);
  edTMUser = MakeEdit(page, "edTMUser", 150, 48, 200);
  MakeUpperCase(edTMUser);
  MakeLabel(QStringLiteral("Kennwort:"), page, 16, 80);
  edTMPasswort = MakeEdit(page, "edTMPasswort", 150, 76, 200);
  MakeMasked(edTMPasswort);
  cbShowPW = new QCheckBox(QStringLiteral("sichtbar"), page);
  cbShowPW->setObjectName(QStringLiteral("cbShowPW"));
  cbShowPW->setGeometry(360, 78, 100, 18);
  cbTMCanOpenConfig = new QCheckBox(QStringLiteral("Benutzer darf die Einstellungen ändern"), page);
  cbTMCanOpenConfig->setObjectName(QStringLiteral("cbTMCanOpenConfig"));
  cbTMCanOpenConfig->setGeometry(150, 106, 320, 18);
  cbTMCanOpenConfig->setChecked(true);

  MakeLabel(QStringLiteral("Verfügbare Gruppen:"), page, 16, 140);
  lxGroupSrcList = MakeList(page, "lxGroupSrcList", 16, 158, 230, 300);
  MakeLabel(QStringLiteral("Benutzer hat Zugriff auf:"), page, 320, 140);
  lxGroupDstList = MakeList(page, "lxGroupDstList", 320, 158, 230, 300);
  for (TListBox* list : {lxGroupSrcList, lxGroupDstList}) {
    list->setDragEnabled(true);
    list->setAcceptDrops(true);
    list->setDragDropMode(QAbstractItemView::DragDrop);
  }
  IncBtn = MakeButton(QStringLiteral(">"), page, "IncBtn", 258, 200, 50);
  IncAllBtn = MakeButton(QStringLiteral(">>"), page, "IncAllBtn", 258, 232, 50);
  ExclBtn = MakeButton(QStringLiteral("<"), page, "ExclBtn", 258, 280, 50);
  ExclAllBtn = MakeButton(QStringLiteral("<<"), page, "ExclAllBtn", 258, 312, 50);
  UserBtn = MakeButton(QStringLiteral("Benutzer anlegen"), page, "UserBtn", 16, 478, 160);
  UserEraseBtn = MakeButton(QStringLiteral("Benutzer löschen"), page, "UserEraseBtn", 190, 478, 160);
  UserEraseBtn->setVisible(false);
}

namespace {

// The sixteen rights boxes of a page, one column, rights-string order;
// captions and names come with the rights themselves.
void MakeRightsBoxes(QWidget* page, bool checked, bool table_page,
                     std::array<QCheckBox*, kRightsCount>& boxes) {
  for (int i = 0; i < kRightsCount; ++i) {
    const TRightInfo& right = kRights[static_cast<size_t>(i)];
    auto* box = new QCheckBox(Q(table_page ? right.TableCaption : right.GroupCaption), page);
    box->setObjectName(QString::fromLatin1(table_page ? right.TableBox : right.GroupBox));
    box->setGeometry(16, 84 + i * 22, 250, 18);
    box->setChecked(checked);
    boxes[static_cast<size_t>(i)] = box;
  }
}

}  // namespace

void TDataSec::BuildGroupPage(QWidget* page) {
  MakeLabel(QStringLiteral("Gruppe anlegen:"), page, 16, 16, true);
  MakeLabel(QStringLiteral("Datenbankgruppe:"), page, 16, 52);
  DBGruppe = MakeEdit(page, "DBGruppe", 150, 48, 200);
  MakeUpperCase(DBGruppe);
  MakeRightsBoxes(page, true, false, RightsGrp);
  QCheckBox** named[16] = {&cbOpenTableGrp, &cbInsertDatasetGrp, &cbEditDatasetGrp,
                           &cbEraseDatasetGrp, &cbCADExecGrp, &cbCADEraseGrp, &cbNCExecGrp,
                           &cbNCEraseGrp, &cbExtExecGrp, &cbExtEraseGrp, &cbStartExtPrgfromMaskGrp,
                           &cbSendEMailGrp, &cbInvASMExportGrp, &cbIncRevisionGrp,
                           &cbStartReportGrp, &cbPrintReportGrp};
  for (int i = 0; i < 16; ++i) *named[i] = RightsGrp[i];
  // Beside the name edit, which ends at x = 350.
  MakeLabel(QStringLiteral("Verfügbare Tabellen:"), page, 370, 52);
  lxGroupTables = MakeList(page, "lxGroupTables", 370, 72, 200, 386);
  GruppeAnlegenBtn = MakeButton(QStringLiteral("Gruppe anlegen"), page, "GruppeAnlegenBtn", 16, 478, 160);
  GruppeAnlegenBtn->setEnabled(false);
}

void TDataSec::BuildGroupInfoPage(QWidget* page) {
  MakeLabel(QStringLiteral("Gruppe:"), page, 16, 16, true);
  MakeLabel(QStringLiteral("Datenbankgruppe:"), page, 16, 52);
  DBGruppe2 = MakeEdit(page, "DBGruppe2", 150, 48, 200);
  MakeUpperCase(DBGruppe2);
  DBGruppe2->setReadOnly(true);
  DBGruppe2->setEnabled(false);
  GruppeloeschenBtn =
      MakeButton(QStringLiteral("Datenbankgruppe löschen"), page, "GruppeloeschenBtn", 150, 84, 200);
}

void TDataSec::BuildTablePage(QWidget* page) {
  MakeLabel(QStringLiteral("Berechtigung ändern:"), page, 16, 16, true);
  MakeLabel(QStringLiteral("Tabellenname:"), page, 16, 52);
  DBName = MakeEdit(page, "DBName", 150, 48, 200);
  DBName->setReadOnly(true);
  DBName->setEnabled(false);
  MakeRightsBoxes(page, false, true, RightsTbl);
  QCheckBox** named[16] = {&cbOpenTableTbl, &cbInsertDatasetTbl, &cbEditDatasetTbl,
                           &cbEraseDatasetTbl, &cbCADExecTbl, &cbCADEraseTbl, &cbNCExecTbl,
                           &cbNCEraseTbl, &cbExtExecTbl, &cbExtEraseTbl, &cbStartExtPrgfromMaskTbl,
                           &cbSendEMailTbl, &cbInvASMExportTbl, &cbIncRevisionTbl,
                           &cbStartReportTbl, &cbPrintReportTbl};
  for (int i = 0; i < 16; ++i) *named[i] = RightsTbl[i];
  // Beside the name edit, which ends at x = 350.
  MakeLabel(QStringLiteral("Verfügbare Tabellen:"), page, 370, 52);
  lxAccessTables = MakeList(page, "lxAccessTables", 370, 72, 200, 386);
  SaveTableBtn = MakeButton(QStringLiteral("Änderungen speichern"), page, "SaveTableBtn", 16, 478, 170);
  BitBtn2 = MakeButton(QStringLiteral("aus der Gruppe entfernen"), page, "BitBtn2", 196, 478, 180);
  Hinzufuegen = MakeButton(QStringLiteral("Hinzufügen"), page, "Hinzufuegen", 470, 478, 100);
  Hinzufuegen->setEnabled(false);
}

void TDataSec::BuildAdminPage(QWidget* page) {
  MakeLabel(QStringLiteral("Programmeinstellungen:"), page, 16, 16, true);
  MakeLabel(QStringLiteral("Systemadministrator:"), page, 16, 52);
  Admin = MakeEdit(page, "Admin", 170, 48, 200);
  MakeLabel(QStringLiteral("Kennwort:"), page, 16, 80);
  PW1 = MakeEdit(page, "PW1", 170, 76, 200);
  MakeMasked(PW1);
  MakeLabel(QStringLiteral("Kennwortbestätigung:"), page, 16, 108);
  PW2 = MakeEdit(page, "PW2", 170, 104, 200);
  MakeMasked(PW2);
  MakeLabel(QStringLiteral("Datenbankpfad:"), page, 16, 144);
  DatenbankPfad = MakeEdit(page, "DatenbankPfad", 170, 140, 390);

  MakeLabel(QStringLiteral("DB Verbindung:"), page, 16, 180);
  DBLocal = new QRadioButton(QStringLiteral("Local"), page);
  DBLocal->setObjectName(QStringLiteral("DBLocal"));
  DBLocal->setGeometry(170, 178, 80, 18);
  DBServer = new QRadioButton(QStringLiteral("Server"), page);
  DBServer->setObjectName(QStringLiteral("DBServer"));
  DBServer->setGeometry(260, 178, 80, 18);
  DBLocal->setChecked(true);

  LoginLabel = MakeLabel(QStringLiteral("Login:"), page, 16, 212);
  Userlogin = MakeEdit(page, "Userlogin", 170, 208, 150);
  PwLabel = MakeLabel(QStringLiteral("Passwort:"), page, 334, 212);
  Userpass = MakeEdit(page, "Userpass", 410, 208, 150);

  ServerProtokol = new TRadioGroup(
      QStringLiteral(" Verbindungstyp "),
      {QStringLiteral("TCP/IP"), QStringLiteral("NamedPIPE"), QStringLiteral("Shared Memory  ")}, 3,
      page);
  ServerProtokol->setObjectName(QStringLiteral("ServerProtokol"));
  ServerProtokol->setGeometry(16, 240, 544, 52);
  ServerProtokol->SetItemIndex(0);

  ServerNameLabel = MakeLabel(QStringLiteral("Servername:"), page, 16, 310);
  DBServerName = new QComboBox(page);
  DBServerName->setObjectName(QStringLiteral("DBServerName"));
  DBServerName->setEditable(true);
  DBServerName->setGeometry(170, 306, 230, 22);
  ServerScanBtn = MakeButton(QStringLiteral("Zirezserver suchen"), page, "ServerScanBtn", 410, 304, 150);
  DBAliasLabel = MakeLabel(QStringLiteral("DB Alias:"), page, 16, 342);
  DBAlias = new QComboBox(page);
  DBAlias->setObjectName(QStringLiteral("DBAlias"));
  DBAlias->setEditable(true);
  DBAlias->setGeometry(170, 338, 230, 22);
  MakeLabel(QStringLiteral("Timeout ms:"), page, 16, 374);
  ScanTimeOut = new QSpinBox(page);
  ScanTimeOut->setObjectName(QStringLiteral("ScanTimeOut"));
  ScanTimeOut->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  ScanTimeOut->setSingleStep(100);
  ScanTimeOut->setValue(5000);
  ScanTimeOut->setGeometry(170, 370, 100, 22);
  ZirezServer = MakeLabel(QString(), page, 170, 402);
  ZirezServer->setObjectName(QStringLiteral("ZirezServer"));
  ZirezServer->setMinimumWidth(380);
  SaveBtn = MakeButton(QStringLiteral("Speichern"), page, "SaveBtn", 16, 478, 120);
}

void TDataSec::ConnectHandlers() {
  auto on = [this](auto* sender, auto signal, void (TDataSec::*handler)()) {
    connect(sender, signal, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
  };
  on(StatusTimer, &QTimer::timeout, &TDataSec::StatusTimerTimer);
  on(SaveBtn, &QPushButton::clicked, &TDataSec::SaveBtnClick);
  on(tvMainTree, &QTreeWidget::itemClicked, &TDataSec::tvMainTreeClick);
  on(tvMainTree, &QTreeWidget::currentItemChanged, &TDataSec::tvMainTreeChange);
  on(DBLocal, &QRadioButton::clicked, &TDataSec::DBLocalClick);
  on(DBServer, &QRadioButton::clicked, &TDataSec::DBLocalClick);
  on(DBServerName, &QComboBox::editTextChanged, &TDataSec::DBServerNameChange);
  // An alias opens when chosen from the list or when its editing ends, not
  // at every keystroke.
  on(DBAlias, &QComboBox::activated, &TDataSec::DBAliasChange);
  on(DBAlias->lineEdit(), &QLineEdit::editingFinished, &TDataSec::DBAliasChange);
  on(ServerScanBtn, &QPushButton::clicked, &TDataSec::ServerScanBtnClick);
  on(UserBtn, &QPushButton::clicked, &TDataSec::UserBtnClick);
  on(UserEraseBtn, &QPushButton::clicked, &TDataSec::UserEraseBtnClick);
  on(cbShowPW, &QCheckBox::clicked, &TDataSec::cbShowPWClick);
  on(IncBtn, &QPushButton::clicked, &TDataSec::IncBtnClick);
  on(lxGroupSrcList, &TListBox::DblClick, &TDataSec::IncBtnClick);
  on(ExclBtn, &QPushButton::clicked, &TDataSec::ExclBtnClick);
  on(lxGroupDstList, &TListBox::DblClick, &TDataSec::ExclBtnClick);
  on(IncAllBtn, &QPushButton::clicked, &TDataSec::IncAllBtnClick);
  on(ExclAllBtn, &QPushButton::clicked, &TDataSec::ExclAllBtnClick);
  // One click handler serves both group lists.
  on(lxGroupSrcList, &TListBox::Click, &TDataSec::lxGroupSrcListClick);
  on(lxGroupDstList, &TListBox::Click, &TDataSec::lxGroupSrcListClick);
  on(GruppeAnlegenBtn, &QPushButton::clicked, &TDataSec::GruppeAnlegenBtnClick);
  on(lxGroupTables, &TListBox::Click, &TDataSec::lxGroupTablesClick);
  on(GruppeloeschenBtn, &QPushButton::clicked, &TDataSec::GruppeloeschenBtnClick);
  on(SaveTableBtn, &QPushButton::clicked, &TDataSec::SaveTableBtnClick);
  on(BitBtn2, &QPushButton::clicked, &TDataSec::BitBtn2Click);
  on(lxAccessTables, &TListBox::Click, &TDataSec::lxAccessTablesClick);
  on(Hinzufuegen, &QPushButton::clicked, &TDataSec::HinzufuegenClick);

  auto lists = [this](TListBox* list, auto drop, auto over, auto down, auto press) {
    connect(list, &TListBox::DragDrop, this, [this, drop](QObject* s, int x, int y) {
      Guarded([&] { (this->*drop)(s, x, y); });
    });
    connect(list, &TListBox::DragOver, this,
            [this, over](QObject* s, int x, int y, TDragState st, bool& accept) {
              Guarded([&] { (this->*over)(s, x, y, st, accept); });
            });
    connect(list, &TListBox::KeyDown, this, [this, down](int& key, Qt::KeyboardModifiers shift) {
      Guarded([&] { (this->*down)(key, shift); });
    });
    connect(list, &TListBox::KeyPress, this,
            [this, press](QChar& key) { Guarded([&] { (this->*press)(key); }); });
  };
  lists(lxGroupSrcList, &TDataSec::lxGroupSrcListDragDrop, &TDataSec::lxGroupSrcListDragOver,
        &TDataSec::lxGroupSrcListKeyDown, &TDataSec::lxGroupSrcListKeyPress);
  lists(lxGroupDstList, &TDataSec::lxGroupDstListDragDrop, &TDataSec::lxGroupDstListDragOver,
        &TDataSec::lxGroupDstListKeyDown, &TDataSec::lxGroupDstListKeyPress);

  for (QLineEdit* edit : {edTMUser, edTMPasswort, DBGruppe, DBGruppe2, Admin, PW1}) {
    key_handlers_.emplace_back(edit, &TDataSec::FormKeyPress);
    edit->installEventFilter(this);
  }
  key_handlers_.emplace_back(PW2, &TDataSec::PW2KeyPress);
  PW2->installEventFilter(this);
}

// ---------------------------------------------------------------------------
// Infrastructure

void TDataSec::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const Exception& e) {
    DialogService().ShowException(this, Q(e.Message()));
  } catch (const std::exception& e) {
    DialogService().ShowException(this, QString::fromUtf8(e.what()));
  } catch (...) {
    DialogService().ShowException(this, QStringLiteral("Unbekannter Fehler"));
  }
}

bool TDataSec::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key_event = static_cast<QKeyEvent*>(event);
    for (const auto& [object, handler] : key_handlers_) {
      if (object != watched) continue;
      QChar key;
      if (key_event->key() == Qt::Key_Return || key_event->key() == Qt::Key_Enter) {
        key = QChar(13);
      } else if (!key_event->text().isEmpty()) {
        key = key_event->text().at(0);
      } else {
        break;
      }
      bool consumed = false;
      Guarded([&] {
        (this->*handler)(key);
        consumed = key.isNull();
      });
      // A handler that consumed the key and then failed still consumed it.
      if (consumed || key.isNull()) return true;
      break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TDataSec::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  Guarded([this] { FormShow(); });
}

void TDataSec::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    Guarded([this] { FormClose(); });
  }
  event->accept();
}

void TDataSec::ShowPage(int index) { nbSecurity->setCurrentIndex(index); }
int TDataSec::ActivePageIndex() const { return nbSecurity->currentIndex(); }

void TDataSec::SetStatus(const QString& text) {
  status_panel_->setText(text);
  StatusTimer->start();
}

QString TDataSec::StatusText() const { return status_panel_->text(); }

void TDataSec::SetNodeImage(QTreeWidgetItem* node, int image) const {
  node->setIcon(0, NotebookImages[static_cast<size_t>(image)]);
  node->setData(0, Qt::UserRole, image);
}

QTreeWidgetItem* TDataSec::AddChildNode(QTreeWidgetItem* parent, const QString& text, int image, bool first) {
  auto* node = new QTreeWidgetItem(QStringList{text});
  if (first) {
    parent->insertChild(0, node);
  } else {
    parent->addChild(node);
  }
  SetNodeImage(node, image);
  return node;
}

void TDataSec::DeleteNode(QTreeWidgetItem* node) {
  // The window's node references never outlive their node.
  auto inside = [node](QTreeWidgetItem* ref) {
    for (QTreeWidgetItem* n = ref; n; n = n->parent()) {
      if (n == node) return true;
    }
    return false;
  };
  if (inside(DBNode)) DBNode = nullptr;
  if (inside(UserNode)) UserNode = nullptr;
  if (inside(AnItem)) AnItem = nullptr;
  const bool blocked = tvMainTree->blockSignals(true);
  delete node;
  tvMainTree->blockSignals(blocked);
}

QList<QTreeWidgetItem*> TDataSec::AllNodes() const {
  QList<QTreeWidgetItem*> out;
  std::vector<QTreeWidgetItem*> stack;
  for (int i = tvMainTree->topLevelItemCount() - 1; i >= 0; --i) stack.push_back(tvMainTree->topLevelItem(i));
  while (!stack.empty()) {
    QTreeWidgetItem* n = stack.back();
    stack.pop_back();
    out << n;
    for (int i = n->childCount() - 1; i >= 0; --i) stack.push_back(n->child(i));
  }
  return out;
}

QTreeWidgetItem* TDataSec::LastGroupNode() const {
  QTreeWidgetItem* last = nullptr;
  for (QTreeWidgetItem* n : AllNodes()) {
    if (n->parent() && n->parent()->text(0) == QStringLiteral("DB-Gruppen")) last = n;
  }
  return last;
}

void TDataSec::RequireDBPfad() const {
  if (!DBPfad.empty()) return;
  throw Exception(!no_folder_message_.empty()
                      ? no_folder_message_
                      : revurov::platform::Format(kNoDatabaseFolder, {DatenbankPfad->text().toStdU16String()}));
}

void TDataSec::RequireSavableTree() const {
  RequireDBPfad();
  if (tree_unreadable_) throw Exception(revurov::platform::Format(kTreeNotSaved, {TreeFileName()}));
}

// ---------------------------------------------------------------------------
// Start-up, closing, administrator page

void TDataSec::StatusTimerTimer() {
  status_panel_->clear();
  StatusTimer->stop();
}

void TDataSec::FormKeyPress(QChar& key) {
  if (key == QChar(13)) {
    key = QChar();
    focusNextChild();
  }
}

void TDataSec::PW2KeyPress(QChar& key) {
  if (key != QChar(13)) return;
  key = QChar();
  if (PW1->text() != PW2->text()) Raise(u"Kennwort wurde nicht korrekt bestätigt");
}

void TDataSec::DBLocalClick() {
  const bool server = !DBLocal->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{LoginLabel, Userlogin, PwLabel, Userpass,
                                                    ServerProtokol, ServerNameLabel, DBServerName,
                                                    DBAliasLabel, DBAlias, ServerScanBtn}) {
    w->setEnabled(server);
  }
}

void TDataSec::DBServerNameChange() { DBLocalClick(); }

void TDataSec::cbShowPWClick() {
  if (cbShowPW->isChecked()) {
    edTMPasswort->setEchoMode(QLineEdit::Normal);
  } else {
    MakeMasked(edTMPasswort);
  }
}

// ---------------------------------------------------------------------------
// User page: moving groups

void TDataSec::UpdateMoveButtons() {
  IncBtn->setEnabled(lxGroupSrcList->count() > 0 && FirstSelected(lxGroupSrcList) >= 0);
  IncAllBtn->setEnabled(lxGroupSrcList->count() > 0);
  ExclBtn->setEnabled(lxGroupDstList->count() > 0 && FirstSelected(lxGroupDstList) >= 0);
  ExclAllBtn->setEnabled(lxGroupDstList->count() > 0);
}

void TDataSec::IncBtnClick() {
  MoveSelectedItems(lxGroupSrcList, lxGroupDstList);
  UpdateMoveButtons();
}

void TDataSec::ExclBtnClick() {
  MoveSelectedItems(lxGroupDstList, lxGroupSrcList);
  UpdateMoveButtons();
}

void TDataSec::IncAllBtnClick() {
  MoveAllItems(lxGroupSrcList, lxGroupDstList);
  UpdateMoveButtons();
}

void TDataSec::ExclAllBtnClick() {
  MoveAllItems(lxGroupDstList, lxGroupSrcList);
  UpdateMoveButtons();
}

void TDataSec::lxGroupSrcListClick() { UpdateMoveButtons(); }

namespace {

void DropOnList(TListBox* list, QObject* source, int x, int y, const std::function<void()>& from_other) {
  if (source == list) {
    MoveSelectedItemTo(list, ListItemAtPos(list, x, y));
  } else {
    from_other();
  }
}

void DragOverList(TListBox* list, QObject* source, int x, int y, TDragState state, bool& accept) {
  ListBoxDragOverFeedback(list, source, x, y, state, list->Sorted(), accept);
  auto* from = qobject_cast<TListBox*>(source);
  if (!from) return;
  if (state == TDragState::dsDragLeave) {
    from->SetDragCursor(TDragCursor::crDrag);
  } else if (state == TDragState::dsDragEnter && ListSelCount(from) > 1) {
    from->SetDragCursor(TDragCursor::crMultiDrag);
  }
}

void ListKeyDown(TListBox* list, int& key, Qt::KeyboardModifiers shift) {
  if (list->Sorted() || !(shift & Qt::ControlModifier)) return;
  if (key == Qt::Key_Up) {
    key = 0;
    MoveSelectedItemTo(list, list->currentRow() - 1);
  } else if (key == Qt::Key_Down) {
    key = 0;
    MoveSelectedItemTo(list, list->currentRow() + 1);
  }
}

}  // namespace

void TDataSec::lxGroupSrcListDragDrop(QObject* source, int x, int y) {
  DropOnList(lxGroupSrcList, source, x, y, [this] { ExclBtnClick(); });
}

void TDataSec::lxGroupDstListDragDrop(QObject* source, int x, int y) {
  DropOnList(lxGroupDstList, source, x, y, [this] { IncBtnClick(); });
}

void TDataSec::lxGroupSrcListDragOver(QObject* source, int x, int y, TDragState state, bool& accept) {
  DragOverList(lxGroupSrcList, source, x, y, state, accept);
}

void TDataSec::lxGroupDstListDragOver(QObject* source, int x, int y, TDragState state, bool& accept) {
  DragOverList(lxGroupDstList, source, x, y, state, accept);
}

void TDataSec::lxGroupSrcListKeyDown(int& key, Qt::KeyboardModifiers shift) {
  ListKeyDown(lxGroupSrcList, key, shift);
}

void TDataSec::lxGroupDstListKeyDown(int& key, Qt::KeyboardModifiers shift) {
  ListKeyDown(lxGroupDstList, key, shift);
}

void TDataSec::lxGroupSrcListKeyPress(QChar& key) {
  if (key != QChar(13)) return;
  key = QChar();
  MoveSelectedItems(lxGroupSrcList, lxGroupDstList);
}

void TDataSec::lxGroupDstListKeyPress(QChar& key) {
  if (key != QChar(13)) return;
  key = QChar();
  MoveSelectedItems(lxGroupDstList, lxGroupSrcList);
}

// ---------------------------------------------------------------------------
// Group and table pages without file work

void TDataSec::lxGroupTablesClick() { GruppeAnlegenBtn->setEnabled(ListSelCount(lxGroupTables) >= 0); }

void TDataSec::lxAccessTablesClick() { Hinzufuegen->setEnabled(ListSelCount(lxAccessTables) >= 0); }

bool TDataSec::GroupHasTable(const QString& name) const {
  if (!DBNode) return false;
  const QString upper = name.toUpper();
  for (int i = 0; i < DBNode->childCount(); ++i) {
    if (DBNode->child(i)->text(0) == upper) return true;
  }
  return false;
}

TRightsBoxes TDataSec::BoxStates(const std::array<QCheckBox*, kRightsCount>& boxes) const {
  TRightsBoxes states{};
  for (size_t i = 0; i < states.size(); ++i) states[i] = boxes[i]->isChecked();
  return states;
}

std::u16string TDataSec::GroupRightsToString() const {
  return tesmira::GroupRightsToString(BoxStates(RightsGrp));
}

std::u16string TDataSec::TableRightsToString() const {
  return tesmira::TableRightsToString(BoxStates(RightsTbl));
}

void TDataSec::tvMainTreeChange() { tvMainTreeClick(); }

}  // namespace tesmira
