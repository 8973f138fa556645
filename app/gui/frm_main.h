// The security manager's main window: the tree of users, groups and tables
// on the left, five pages without tabs on the right, a status bar below.
//
// Every event handler is a member of the handler's name and runs through
// `Guarded`, so an exception never crosses the Qt event loop: the dialog
// service's error display shows its text and the window stays open.
#pragma once

#include <QIcon>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "app/gui/list_box.h"
#include "app/security_file.h"
#include "app/tree_file.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QStackedWidget;
class QStatusBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace revurov {
class TnxBaseTransport;
class TnxDatabase;
class TnxNamedPipeTransport;
class TnxRemoteServerEngine;
class TnxSession;
class TnxSharedMemoryTransport;
class TnxWinsockTransport;
namespace platform {
class TComponent;
}
}  // namespace revurov

namespace tesmira {

// Shown when the connection made at start-up fails (then a line feed, a
// carriage return and the server name's label).
inline constexpr char16_t kNoConnection[] = u"Fehler: Konnte keine Verbindung zum Datenbankserver herstellen.\n\rServer: ";
inline constexpr char16_t kNoServerFound[] = u"Zirez Server nicht gefunden.";
inline constexpr char16_t kNoServerListed[] =
    u"Kein Zirez Datenbankserver gefunden.\n\rBitte stellen Sie sicher das der Datenbankserver installiert und aktiv ist.";

void FreeComponent(revurov::platform::TComponent* component);
// Frees a library component (the window owns its connection components);
// used where the component's class is complete.
struct TComponentFree {
  template <class T>
  void operator()(T* component) const {
    FreeComponent(component);
  }
};
template <class T>
using TOwnedComponent = std::unique_ptr<T, TComponentFree>;

// A combo box drop-down (true) or simple: a simple box shows no list button.
void SetComboDropDown(QComboBox* box, bool drop_down);
bool ComboDropDown(const QComboBox* box);

// Start-up without the database folder (%s: the folder as set); editing
// actions refuse with it too.
inline constexpr char16_t kNoDatabaseFolder[] =
    u"Datenbankpfad \"%s\" nicht gefunden.\n\rBitte definieren Sie den Pfad und starten das Programm neu.";
// Whatever keeps the administrator entry from being read ends the program
// before anything is written (%s: the file, then the reason).
inline constexpr char16_t kSecurityFileUnreadable[] =
    u"Die Sicherheitsdatei \"%s\" kann nicht gelesen werden, Programm wird beendet!\n%s";
// An edit that changes the tree is refused while the tree file cannot be
// saved (%s: the tree file).
inline constexpr char16_t kTreeNotSaved[] =
    u"Die Baumdatei \"%s\" konnte nicht vollst\u00E4ndig gelesen werden und wird nicht gespeichert. "
    u"Benutzer, Gruppen und Tabellen k\u00F6nnen erst ge\u00E4ndert werden, wenn sie repariert ist.";

// A radio group with an item index (−1 = none), columns side by side.
class TRadioGroup : public QWidget {
  Q_OBJECT
public:
  TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent);
  int ItemIndex() const;
  // Kept within −1 .. count − 1.
  void SetItemIndex(int index);
  QRadioButton* Button(int index) const { return buttons_.value(index); }

private:
  QList<QRadioButton*> buttons_;
};

class TDataSec : public QWidget {
  Q_OBJECT
public:
  static constexpr int kPageUser = 0, kPageGroup = 1, kPageGroupInfo = 2, kPageTable = 3,
                       kPageAdmin = 4;

  explicit TDataSec(QWidget* parent = nullptr);
  ~TDataSec() override;

  // Runs a handler; an exception goes to the application's error display.
  void Guarded(const std::function<void()>& handler);

  // Event handlers.
  void FormCreate();
  void FormShow();
  void FormClose();
  void SaveBtnClick();
  void PW2KeyPress(QChar& key);
  void FormKeyPress(QChar& key);
  void StatusTimerTimer();
  void tvMainTreeClick();
  void tvMainTreeChange();
  void DBLocalClick();
  void DBServerNameChange();
  void DBAliasChange();
  void ServerScanBtnClick();
  void UserBtnClick();
  void UserEraseBtnClick();
  void cbShowPWClick();
  void IncBtnClick();
  void ExclBtnClick();
  void IncAllBtnClick();
  void ExclAllBtnClick();
  void lxGroupSrcListClick();
  void lxGroupSrcListDragDrop(QObject* source, int x, int y);
  void lxGroupSrcListDragOver(QObject* source, int x, int y, TDragState state, bool& accept);
  void lxGroupSrcListKeyDown(int& key, Qt::KeyboardModifiers shift);
  void lxGroupSrcListKeyPress(QChar& key);
  void lxGroupDstListDragDrop(QObject* source, int x, int y);
  void lxGroupDstListDragOver(QObject* source, int x, int y, TDragState state, bool& accept);
  void lxGroupDstListKeyDown(int& key, Qt::KeyboardModifiers shift);
  void lxGroupDstListKeyPress(QChar& key);
  void GruppeAnlegenBtnClick();
  void lxGroupTablesClick();
  void GruppeloeschenBtnClick();
  void SaveTableBtnClick();
  void BitBtn2Click();
  void lxAccessTablesClick();
  void HinzufuegenClick();

  // Rights strings of the two pages' boxes and the table page's loader.
  std::u16string GroupRightsToString() const;
  std::u16string TableRightsToString() const;
  void LoadTableRights(const std::u16string& group, const std::u16string& table);

  QString StatusText() const;
  int ActivePageIndex() const;
  const std::u16string& DBPfadValue() const { return DBPfad; }
  bool CloseAppValue() const { return CloseApp; }
  QTreeWidgetItem* DBNodeValue() const { return DBNode; }
  // Absolute pre-order node list, as the tree's items index it.
  QList<QTreeWidgetItem*> AllNodes() const;

  // Controls.
  QTreeWidget* tvMainTree = nullptr;
  QStackedWidget* nbSecurity = nullptr;
  QStatusBar* StatusBar = nullptr;
  QTimer* StatusTimer = nullptr;

  QLabel* Page0Label = nullptr;
  QLineEdit* edTMUser = nullptr;
  QLineEdit* edTMPasswort = nullptr;
  QCheckBox* cbShowPW = nullptr;
  QCheckBox* cbTMCanOpenConfig = nullptr;
  TListBox* lxGroupSrcList = nullptr;
  TListBox* lxGroupDstList = nullptr;
  QPushButton* IncBtn = nullptr;
  QPushButton* ExclBtn = nullptr;
  QPushButton* IncAllBtn = nullptr;
  QPushButton* ExclAllBtn = nullptr;
  QPushButton* UserBtn = nullptr;
  QPushButton* UserEraseBtn = nullptr;

  QLineEdit* DBGruppe = nullptr;
  TListBox* lxGroupTables = nullptr;
  QPushButton* GruppeAnlegenBtn = nullptr;

  QLineEdit* DBGruppe2 = nullptr;
  QPushButton* GruppeloeschenBtn = nullptr;

  QLineEdit* DBName = nullptr;
  TListBox* lxAccessTables = nullptr;
  QPushButton* SaveTableBtn = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QPushButton* Hinzufuegen = nullptr;

  // Rights boxes in rights-string order (group page, table page).
  std::array<QCheckBox*, kRightsCount> RightsGrp{};
  std::array<QCheckBox*, kRightsCount> RightsTbl{};
  QCheckBox *cbOpenTableGrp = nullptr, *cbInsertDatasetGrp = nullptr, *cbEditDatasetGrp = nullptr,
            *cbEraseDatasetGrp = nullptr, *cbCADExecGrp = nullptr, *cbCADEraseGrp = nullptr,
            *cbNCExecGrp = nullptr, *cbNCEraseGrp = nullptr, *cbExtExecGrp = nullptr,
            *cbExtEraseGrp = nullptr, *cbStartExtPrgfromMaskGrp = nullptr, *cbSendEMailGrp = nullptr,
            *cbInvASMExportGrp = nullptr, *cbIncRevisionGrp = nullptr, *cbStartReportGrp = nullptr,
            *cbPrintReportGrp = nullptr;
  QCheckBox *cbOpenTableTbl = nullptr, *cbInsertDatasetTbl = nullptr, *cbEditDatasetTbl = nullptr,
            *cbEraseDatasetTbl = nullptr, *cbCADExecTbl = nullptr, *cbCADEraseTbl = nullptr,
            *cbNCExecTbl = nullptr, *cbNCEraseTbl = nullptr, *cbExtExecTbl = nullptr,
            *cbExtEraseTbl = nullptr, *cbStartExtPrgfromMaskTbl = nullptr, *cbSendEMailTbl = nullptr,
            *cbInvASMExportTbl = nullptr, *cbIncRevisionTbl = nullptr, *cbStartReportTbl = nullptr,
            *cbPrintReportTbl = nullptr;

  QLineEdit* Admin = nullptr;
  QLineEdit* PW1 = nullptr;
  QLineEdit* PW2 = nullptr;
  QLineEdit* DatenbankPfad = nullptr;
  QRadioButton* DBLocal = nullptr;
  QRadioButton* DBServer = nullptr;
  QLabel* LoginLabel = nullptr;
  QLineEdit* Userlogin = nullptr;
  QLabel* PwLabel = nullptr;
  QLineEdit* Userpass = nullptr;
  TRadioGroup* ServerProtokol = nullptr;
  QLabel* ServerNameLabel = nullptr;
  QComboBox* DBServerName = nullptr;
  QPushButton* ServerScanBtn = nullptr;
  QLabel* DBAliasLabel = nullptr;
  QComboBox* DBAlias = nullptr;
  QSpinBox* ScanTimeOut = nullptr;
  QLabel* ZirezServer = nullptr;
  QPushButton* SaveBtn = nullptr;

  // The connection: protocol index 0, 1 and 2 select the transports in this
  // order. Declared transports first, so that they are freed last.
  TOwnedComponent<revurov::TnxWinsockTransport> nxWinsock;
  TOwnedComponent<revurov::TnxNamedPipeTransport> nxNamedPipe;
  TOwnedComponent<revurov::TnxSharedMemoryTransport> nxSharedMemory;
  TOwnedComponent<revurov::TnxRemoteServerEngine> nxRemoteServer;
  TOwnedComponent<revurov::TnxSession> nxSession;
  TOwnedComponent<revurov::TnxDatabase> nxDatabase;

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildTree();
  void BuildUserPage(QWidget* page);
  void BuildGroupPage(QWidget* page);
  void BuildGroupInfoPage(QWidget* page);
  void BuildTablePage(QWidget* page);
  void BuildAdminPage(QWidget* page);
  void ConnectHandlers();
  void ShowPage(int index);
  void SetStatus(const QString& text);
  void UpdateMoveButtons();
  bool GroupHasTable(const QString& name) const;
  void CreateConnection();
  void ConnectDatabase();
  // Stops the connection and opens the alias of the box on the server and
  // protocol shown; raises what the components raise.
  void OpenDatabase();
  void FillTableLists();
  void ListServerAliases();
  // Refuses an editing action when the database folder was not found at
  // start-up (the data files would otherwise land in the current folder).
  void RequireDBPfad() const;
  // Refuses an action that changes the tree when the tree would not be
  // saved at close: the data file and the tree would drift apart.
  void RequireSavableTree() const;
  std::u16string TreeFileName() const;
  void SetNodeImage(QTreeWidgetItem* node, int image) const;
  QTreeWidgetItem* AddChildNode(QTreeWidgetItem* parent, const QString& text, int image, bool first);
  void DeleteNode(QTreeWidgetItem* node);
  // The last group in pre-order, or null: the current group after a load
  // and after a group was deleted.
  QTreeWidgetItem* LastGroupNode() const;
  // The tree file's tree is loaded and tidied, then copied into the view;
  // saving copies the view back into the same tree file, so the encoding
  // it was loaded in is kept.
  void LoadTree();
  void SaveTree();
  void CopyTreeToView(const TTreeNode* db_node);
  void CopyViewToTree();
  // The security data file of the database folder; refuses without one.
  TSecurityData OpenSecData() const;
  TRightsBoxes BoxStates(const std::array<QCheckBox*, kRightsCount>& boxes) const;

  QLabel* status_panel_ = nullptr;
  std::array<QIcon, 5> NotebookImages;
  std::vector<std::pair<QObject*, void (TDataSec::*)(QChar&)>> key_handlers_;
  bool shown_ = false;
  bool closed_ = false;

  QTreeWidgetItem* DBNode = nullptr;
  QTreeWidgetItem* UserNode = nullptr;
  QTreeWidgetItem* AnItem = nullptr;
  std::u16string DBPfad;
  std::u16string no_folder_message_;  // kNoDatabaseFolder for the folder set at start-up
  std::u16string TesmiraHomeDir;
  bool CloseApp = false;
  TTreeFile tree_file_;
  // Set when the tree file could not be read whole: saving the partial tree
  // at close would drop every line after the bad one.
  bool tree_unreadable_ = false;
  // What the open database was opened with: an alias change on another
  // server or protocol reconnects.
  QString connected_server_;
  int connected_protocol_ = -1;
};

}  // namespace tesmira
