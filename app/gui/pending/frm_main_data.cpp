// The window's handlers that read and write the settings, the security data
// file and the tree file.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "app/gui/box_procs.h"
#include "app/gui/dialog_service.h"
#include "app/gui/frm_main.h"
#include "app/gui/pw_dlg.h"
#include "platform/environment.h"
#include "platform/exception.h"
#include "platform/format.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace tesmira {

void ScramblePassword(std::u16string& t, int n);
void UnscramblePassword(std::u16string& t, int n);
std::vector<std::u16string> SplitGroupList(const std::u16string& text);

namespace {

using revurov::platform::DirectoryExists;
using revurov::platform::EConvertError;
using revurov::platform::Exception;
using revurov::platform::FileExists;
using revurov::platform::TMemIniFile;

const char16_t kNoDatabaseFolder[] =
    u"Datenbankpfad nicht gefunden.\n\rBitte definieren Sie den Pfad und starten das Programm neu.";
const QString kUsers = QStringLiteral("Benutzer");
const QString kGroups = QStringLiteral("DB-Gruppen");

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
std::u16string U(const QString& s) { return s.toStdU16String(); }

// A radio button of an exclusive pair is cleared only with the pair's
// exclusivity lifted for the moment.
void SetRadioChecked(QRadioButton* button, bool checked) {
  if (checked) {
    button->setChecked(true);
    return;
  }
  button->setAutoExclusive(false);
  button->setChecked(checked);
  button->setAutoExclusive(true);
}

// Writes the file back also when a step of the change fails.
template <class F>
void ChangeAndWrite(TMemIniFile& ini, F&& change) {
  try {
    change();
  } catch (...) {
    ini.UpdateFile();
    throw;
  }
  ini.UpdateFile();
}

QList<QListWidgetItem*> SelectedInOrder(TListBox* list) {
  QList<QListWidgetItem*> out;
  for (int i = 0; i < list->count(); ++i) {
    if (list->item(i)->isSelected()) out << list->item(i);
  }
  return out;
}

}  // namespace

std::u16string TDataSec::DataFileName() const { return DBPfad + u"TesmiraSec.dat"; }
std::u16string TDataSec::TreeFileName() const { return DBPfad + u"TesmiraSec.sec"; }

// ---------------------------------------------------------------------------
// Start-up and closing

void TDataSec::FormCreate() {
  SetRadioChecked(DBServer, true);
  DBLocalClick();

  if (TesmiraHomeDir.empty()) {
    const std::u16string appdata = revurov::platform::GetEnvironmentVariable(u"APPDATA").value_or(u"");
    const std::u16string home = revurov::platform::IncludeTrailingPathDelimiter(appdata) + u"Tesmira/";
    const std::u16string settings = home + u"Tesmira.ini";
    if (!appdata.empty() && FileExists(settings)) {
      TesmiraHomeDir = home;
      TMemIniFile ini(settings);
      const std::u16string section = u"Configuration";
      DatenbankPfad->setText(Q(ini.ReadString(section, u"DatenbankPfad", u"")));
      ServerProtokol->SetItemIndex(ini.ReadInteger(section, u"Server_Protocol", 0));
      SetRadioChecked(DBServer, !ini.ReadBool(section, u"DBConnect", true));
      DBServerName->setEditText(Q(ini.ReadString(section, u"DBServer", u"")));
      DBAlias->setEditText(Q(ini.ReadString(section, u"DBSAlias", u"")));
      Userlogin->setText(Q(ini.ReadString(section, u"Userlogin", u"")));
      Userpass->setText(Q(ini.ReadString(section, u"Userpasswort", u"")));
    }
  }

  ShowPage(kPageAdmin);
  ConnectDatabase();

  const std::u16string folder = U(DatenbankPfad->text());
  if (folder.empty() || !DirectoryExists(folder)) throw Exception(kNoDatabaseFolder);
  DBPfad = revurov::platform::IncludeTrailingPathDelimiter(folder);

  if (FileExists(DataFileName())) {
    auto ini = OpenSecData(true);
    Admin->setText(Q(ini->ReadString(u"Config", u"Admin", u"")));
    std::u16string pw = ini->ReadString(u"Config", u"PW", u"");
    if (!pw.empty()) UnscramblePassword(pw, static_cast<int>(pw.size()) - 1);
    PW1->setText(Q(pw));
    PW2->setText(Q(pw));
  }

  CloseApp = false;
  if (!PW1->text().isEmpty()) {
    TPasswordDlg dialog(this);
    const int result = DialogService().ExecPasswordDialog(dialog);
    if (result != QDialog::Accepted || dialog.PWInput->text() != PW1->text()) {
      DialogService().MessageDlg(this, QStringLiteral("Falsches Passwort, Programm wird beendet!"),
                                 TMsgDlgType::mtError);
      CloseApp = true;
    }
  }
}

void TDataSec::FormShow() {
  // Without a database folder there is no tree file to read: the current
  // folder is never used in its place.
  if (!DBPfad.empty()) Guarded([this] { LoadTree(); });
  Guarded([this] { FillTableLists(); });
  if (CloseApp) close();
}

void TDataSec::FormClose() {
  if (!DBPfad.empty()) SaveTree();
}

void TDataSec::SaveBtnClick() {
  RequireDBPfad();
  auto ini = OpenSecData(true);
  ini->WriteString(u"Config", u"Admin", U(Admin->text()));
  std::u16string pw = U(PW1->text());
  ScramblePassword(pw, static_cast<int>(pw.size()) - 1);
  ini->WriteString(u"Config", u"PW", pw);
  ini->UpdateFile();
  SetStatus(QStringLiteral("       Änderungen wurden gespeichert..."));
}

// ---------------------------------------------------------------------------
// Tree navigation

void TDataSec::tvMainTreeClick() {
  TTreeNode* node = tvMainTree->currentItem();
  if (!node) return;
  const QString text = node->text(0);
  const QString parent = node->parent() ? node->parent()->text(0) : QString();
  auto all_groups = [this] {
    QStringList out;
    if (DBNode && DBNode->parent()) {
      for (int i = 0; i < DBNode->parent()->childCount(); ++i) out << DBNode->parent()->child(i)->text(0);
    }
    return out;
  };

  if (text == QStringLiteral("Administration")) {
    ShowPage(kPageAdmin);
  } else if (text == kUsers) {
    lxGroupSrcList->clear();
    lxGroupDstList->clear();
    edTMPasswort->clear();
    cbTMCanOpenConfig->setChecked(true);
    Page0Label->setText(QStringLiteral("Benutzer anlegen:"));
    UserBtn->setText(QStringLiteral("Benutzer anlegen"));
    edTMUser->setEnabled(true);
    UserEraseBtn->setVisible(false);
    ShowPage(kPageUser);
    if (DBNode) {
      for (const QString& group : all_groups()) lxGroupSrcList->AddItem(group);
    }
  } else if (text == kGroups) {
    ShowPage(kPageGroup);
  } else if (parent == kUsers) {
    lxGroupSrcList->clear();
    lxGroupDstList->clear();
    Page0Label->setText(QStringLiteral("Benutzer ändern:"));
    UserBtn->setText(QStringLiteral("Änderung übernehmen"));
    edTMUser->setEnabled(false);
    UserEraseBtn->setVisible(true);
    edTMUser->setText(text);
    auto ini = OpenSecData(false);
    const std::u16string user = U(text);
    edTMPasswort->setText(Q(ini->ReadString(user, u"PW", u"")));
    cbTMCanOpenConfig->setChecked(ini->ReadBool(user, u"Setup", true));
    for (const std::u16string& group : SplitGroupList(ini->ReadString(user, u"Gruppe", u""))) {
      lxGroupDstList->AddItem(Q(group));
    }
    ShowPage(kPageUser);
    if (DBNode) {
      for (const QString& group : all_groups()) {
        bool held = false;
        for (int i = 0; i < lxGroupDstList->count() && !held; ++i) {
          held = lxGroupDstList->item(i)->text().compare(group, Qt::CaseInsensitive) == 0;
        }
        if (!held) lxGroupSrcList->AddItem(group);
      }
    }
  } else if (parent == kGroups) {
    DBNode = node;
    DBGruppe2->setText(text);
    ShowPage(kPageGroupInfo);
  } else if (DBNode && DBNode->parent() && DBNode->parent()->text(0) == kGroups && node->parent()) {
    DBNode = node->parent();
    DBName->setText(text);
    LoadTableRights(U(parent), U(text));
    ShowPage(kPageTable);
  }
}

void TDataSec::LoadTableRights(const std::u16string& group, const std::u16string& table) {
  auto ini = OpenSecData(false);
  std::u16string rights = ini->ReadString(group, table, u"1111111111111111111");
  // A ten-flag value of an older file gets the six newer rights allowed.
  if (rights.size() < 16) rights += u"111111";
  for (size_t i = 0; i < 16; ++i) {
    // A value still too short fails like an empty number, not past its end.
    const std::u16string digit = i < rights.size() ? rights.substr(i, 1) : std::u16string();
    if (digit.empty() || digit[0] < u'0' || digit[0] > u'9') {
      throw EConvertError(revurov::platform::Format(u"'%s' is not a valid integer value", {digit}));
    }
    RightsTbl[i]->setChecked(digit[0] != u'0');
  }
}

// ---------------------------------------------------------------------------
// User page

void TDataSec::UserBtnClick() {
  if (lxGroupDstList->count() == 0) throw Exception(u"Dem Benutzer wurde keine Gruppe zugeordnet.");
  RequireDBPfad();
  TTreeNode* selected = tvMainTree->currentItem();
  if (selected && selected->text(0) == kUsers) {
    UserNode = AddChildNode(selected, edTMUser->text(), 2, false);
  }
  std::u16string groups;
  for (int i = 0; i < lxGroupDstList->count(); ++i) groups += U(lxGroupDstList->item(i)->text()) + u";";
  const std::u16string user = U(edTMUser->text());
  auto ini = OpenSecData(false);
  ini->WriteString(user, u"PW", U(edTMPasswort->text()));
  ini->WriteString(user, u"Setup", cbTMCanOpenConfig->isChecked() ? u"1" : u"0");
  ini->WriteString(user, u"Gruppe", groups);
  ini->UpdateFile();
  SetStatus(UserBtn->text() != QStringLiteral("Änderung übernehmen")
                ? QStringLiteral("       Benutzer wurden angelegt...")
                : QStringLiteral("       Änderung wurde gespeichert..."));
}

void TDataSec::UserEraseBtnClick() {
  RequireDBPfad();
  TTreeNode* node = tvMainTree->currentItem();
  if (!node) return;
  auto ini = OpenSecData(false);
  ini->EraseSection(U(node->text(0)));
  ini->UpdateFile();
  DeleteNode(node);
  tvMainTreeClick();
  SetStatus(QStringLiteral("       Benutzer gelöscht..."));
}

// ---------------------------------------------------------------------------
// Group and table pages

void TDataSec::GruppeAnlegenBtnClick() {
  TTreeNode* selected = tvMainTree->currentItem();
  if (!selected) return;
  AnItem = selected;
  const QString group = DBGruppe->text();
  for (int i = 0; i < selected->childCount(); ++i) {
    if (selected->child(i)->text(0) == group) throw Exception(u"Gruppe bereits vorhanden");
  }
  RequireDBPfad();
  DBNode = AddChildNode(selected, group, 3, false);
  const QList<QListWidgetItem*> tables = SelectedInOrder(lxGroupTables);
  if (!tables.isEmpty()) {
    auto ini = OpenSecData(false);
    ChangeAndWrite(*ini, [&] {
      for (QListWidgetItem* table : tables) {
        const QString name = table->text().toUpper();
        AnItem = AddChildNode(DBNode, name, 4, true);
        ini->WriteString(U(group), U(name), GroupRightsToString());
      }
    });
  }
  lxGroupTables->SetMultiSelect(false);
  lxGroupTablesClick();
  lxGroupTables->SetMultiSelect(true);
  SetStatus(QStringLiteral("       Gruppe wurde angelegt..."));
}

void TDataSec::GruppeloeschenBtnClick() {
  RequireDBPfad();
  if (!DBNode) return;
  auto ini = OpenSecData(false);
  ini->EraseSection(U(DBNode->text(0)));
  ini->UpdateFile();
  TTreeNode* groups = DBNode->parent();
  DeleteNode(DBNode);
  // The deleted group is never current again: the last remaining group is,
  // as after loading, and the view goes to the group list so that a second
  // press cannot delete a group the page does not name.
  DBNode = LastGroupNode();
  if (groups) {
    const bool blocked = tvMainTree->blockSignals(true);
    tvMainTree->setCurrentItem(groups);
    tvMainTree->blockSignals(blocked);
    tvMainTreeClick();
  }
  SetStatus(QStringLiteral("       Gruppe gelöscht..."));
}

void TDataSec::SaveTableBtnClick() {
  RequireDBPfad();
  if (!DBNode) return;
  auto ini = OpenSecData(false);
  ini->WriteString(U(DBNode->text(0)), U(DBName->text()), TableRightsToString());
  ini->UpdateFile();
  SetStatus(QStringLiteral("       Änderung wurde gespeichert..."));
}

void TDataSec::BitBtn2Click() {
  RequireDBPfad();
  TTreeNode* node = tvMainTree->currentItem();
  if (!node || !node->parent()) return;
  auto ini = OpenSecData(false);
  ini->DeleteKey(U(node->parent()->text(0)), U(node->text(0)));
  ini->UpdateFile();
  DeleteNode(node);
  if (DBNode) {
    const bool blocked = tvMainTree->blockSignals(true);
    tvMainTree->setCurrentItem(DBNode);
    tvMainTree->blockSignals(blocked);
    tvMainTreeClick();
  }
}

void TDataSec::HinzufuegenClick() {
  RequireDBPfad();
  if (!DBNode) return;
  const QList<QListWidgetItem*> tables = SelectedInOrder(lxAccessTables);
  auto ini = OpenSecData(false);
  ChangeAndWrite(*ini, [&] {
    for (QListWidgetItem* table : tables) {
      if (GroupHasTable(table->text())) continue;
      const QString name = table->text().toUpper();
      AnItem = AddChildNode(DBNode, name, 4, true);
      ini->WriteString(U(DBNode->text(0)), U(name), TableRightsToString());
    }
  });
  lxAccessTables->SetMultiSelect(false);
  lxAccessTablesClick();
  lxAccessTables->SetMultiSelect(true);
}

}  // namespace tesmira
