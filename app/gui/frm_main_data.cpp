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
#include "app/settings.h"
#include "platform/paths.h"
#include "platform/rtl_exception.h"

namespace tesmira {

namespace {

using revurov::platform::DirectoryExists;
using revurov::platform::Exception;

const QString kUsers = QString::fromStdU16String(kNodeUsers);
const QString kGroups = QString::fromStdU16String(kNodeGroups);

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

QList<QListWidgetItem*> SelectedInOrder(TListBox* list) {
  QList<QListWidgetItem*> out;
  for (int i = 0; i < list->count(); ++i) {
    if (list->item(i)->isSelected()) out << list->item(i);
  }
  return out;
}

}  // namespace

std::u16string TDataSec::TreeFileName() const { return DBPfad + kTreeFileName; }

TSecurityData TDataSec::OpenSecData() const {
  RequireDBPfad();
  return TSecurityData(DBPfad);
}

// ---------------------------------------------------------------------------
// Start-up and closing

void TDataSec::FormCreate() {
  SetRadioChecked(DBServer, true);
  DBLocalClick();

  if (TesmiraHomeDir.empty()) {
    if (const std::optional<TSettings> settings = ReadSettings(SettingsFileName())) {
      TesmiraHomeDir = SettingsHomeDir();
      DatenbankPfad->setText(Q(settings->DatenbankPfad));
      ServerProtokol->SetItemIndex(settings->ServerProtocol);
      SetRadioChecked(DBServer, !settings->DBConnect);
      DBServerName->setEditText(Q(settings->DBServer));
      DBAlias->setEditText(Q(settings->DBSAlias));
      Userlogin->setText(Q(settings->Userlogin));
      Userpass->setText(Q(settings->Userpasswort));
    }
  }

  ShowPage(kPageAdmin);
  ConnectDatabase();

  // Without the folder, every data file would be named relative to the
  // current folder: nothing is read or written then.
  const std::u16string folder = U(DatenbankPfad->text());
  if (folder.empty() || !DirectoryExists(folder)) throw Exception(kNoDatabaseFolder);
  DBPfad = AddTrailingBackslash(folder);

  const TSecurityData data = OpenSecData();
  if (data.Exists()) {
    const TAdminEntry admin = data.ReadAdmin();
    Admin->setText(Q(admin.Admin));
    PW1->setText(Q(admin.Password));
    PW2->setText(Q(admin.Password));
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
  // A failed password check closes the window whatever failed above.
  if (CloseApp) close();
}

void TDataSec::FormClose() {
  if (!DBPfad.empty() && !tree_unreadable_) SaveTree();
}

void TDataSec::SaveBtnClick() {
  OpenSecData().SaveAdmin(U(Admin->text()), U(PW1->text()));
  SetStatus(QStringLiteral("       Änderungen wurden gespeichert..."));
}

// ---------------------------------------------------------------------------
// Tree file

void TDataSec::LoadTree() {
  const auto show = [this] { CopyTreeToView(TidyTree(tree_file_.Tree())); };
  tree_unreadable_ = false;
  try {
    tree_file_.LoadStartupTree(DBPfad);
  } catch (...) {
    tree_unreadable_ = true;
    // The nodes read before the failure stay, tidied like a whole tree.
    show();
    throw;
  }
  show();
}

void TDataSec::SaveTree() {
  CopyViewToTree();
  tree_file_.Save(TreeFileName());
}

void TDataSec::CopyTreeToView(const TTreeNode* db_node) {
  const bool blocked = tvMainTree->blockSignals(true);
  DBNode = UserNode = AnItem = nullptr;
  tvMainTree->clear();
  const std::function<void(const TTreeNode*, QTreeWidgetItem*)> add = [&](const TTreeNode* node,
                                                                         QTreeWidgetItem* item) {
    if (node->ImageIndex() >= 0) SetNodeImage(item, node->ImageIndex());
    if (node == db_node) DBNode = item;
    for (int i = 0; i < node->Count(); ++i) {
      const TTreeNode* child = node->Item(i);
      add(child, new QTreeWidgetItem(item, QStringList{Q(child->Text())}));
    }
    item->setExpanded(node->Expanded());
  };
  const TTree& tree = tree_file_.Tree();
  for (int i = 0; i < tree.TopCount(); ++i) {
    add(tree.Top(i), new QTreeWidgetItem(tvMainTree, QStringList{Q(tree.Top(i)->Text())}));
  }
  tvMainTree->blockSignals(blocked);
}

void TDataSec::CopyViewToTree() {
  TTree& tree = tree_file_.Tree();
  tree.Clear();
  const std::function<void(const QTreeWidgetItem*, TTreeNode*)> add = [&](const QTreeWidgetItem* item,
                                                                         TTreeNode* node) {
    for (int i = 0; i < item->childCount(); ++i) {
      add(item->child(i), node->AddChild(U(item->child(i)->text(0))));
    }
  };
  for (int i = 0; i < tvMainTree->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* top = tvMainTree->topLevelItem(i);
    add(top, tree.AddTop(U(top->text(0))));
  }
}

// ---------------------------------------------------------------------------
// Tree navigation

void TDataSec::tvMainTreeClick() {
  QTreeWidgetItem* node = tvMainTree->currentItem();
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

  if (text == Q(kNodeAdministration)) {
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
    const TUserEntry user = OpenSecData().ReadUser(U(text));
    edTMPasswort->setText(Q(user.Password));
    cbTMCanOpenConfig->setChecked(user.Setup);
    for (const std::u16string& group : user.Groups) lxGroupDstList->AddItem(Q(group));
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
  // A value with a non-digit fails at that position; the boxes before it
  // keep what was read.
  TRightsBoxes boxes = BoxStates(RightsTbl);
  auto show = [&] {
    for (size_t i = 0; i < boxes.size(); ++i) RightsTbl[i]->setChecked(boxes[i]);
  };
  try {
    OpenSecData().LoadTableRights(group, table, boxes);
  } catch (...) {
    show();
    throw;
  }
  show();
}

// ---------------------------------------------------------------------------
// User page

void TDataSec::UserBtnClick() {
  if (lxGroupDstList->count() == 0) throw Exception(u"Dem Benutzer wurde keine Gruppe zugeordnet.");
  TSecurityData data = OpenSecData();
  const std::u16string user = U(edTMUser->text());
  CheckEntryName(user);
  QTreeWidgetItem* selected = tvMainTree->currentItem();
  if (selected && selected->text(0) == kUsers) {
    UserNode = AddChildNode(selected, edTMUser->text(), imgUser, false);
  }
  TUserEntry entry;
  entry.Password = U(edTMPasswort->text());
  entry.Setup = cbTMCanOpenConfig->isChecked();
  for (int i = 0; i < lxGroupDstList->count(); ++i) entry.Groups.push_back(U(lxGroupDstList->item(i)->text()));
  data.WriteUser(user, entry);
  SetStatus(UserBtn->text() != QStringLiteral("Änderung übernehmen")
                ? QStringLiteral("       Benutzer wurden angelegt...")
                : QStringLiteral("       Änderung wurde gespeichert..."));
}

void TDataSec::UserEraseBtnClick() {
  TSecurityData data = OpenSecData();
  QTreeWidgetItem* node = tvMainTree->currentItem();
  if (!node) return;
  data.EraseUser(U(node->text(0)));
  DeleteNode(node);
  tvMainTreeClick();
  SetStatus(QStringLiteral("       Benutzer gelöscht..."));
}

// ---------------------------------------------------------------------------
// Group and table pages

void TDataSec::GruppeAnlegenBtnClick() {
  QTreeWidgetItem* selected = tvMainTree->currentItem();
  if (!selected) return;
  AnItem = selected;
  const QString group = DBGruppe->text();
  for (int i = 0; i < selected->childCount(); ++i) {
    if (selected->child(i)->text(0) == group) throw Exception(u"Gruppe bereits vorhanden");
  }
  TSecurityData data = OpenSecData();
  CheckEntryName(U(group));
  DBNode = AddChildNode(selected, group, imgGroup, false);
  std::vector<std::u16string> tables;
  for (QListWidgetItem* table : SelectedInOrder(lxGroupTables)) {
    const QString name = table->text().toUpper();
    AnItem = AddChildNode(DBNode, name, imgTable, true);
    tables.push_back(U(name));
  }
  data.WriteTableRights(U(group), tables, GroupRightsToString());
  lxGroupTables->SetMultiSelect(false);
  lxGroupTablesClick();
  lxGroupTables->SetMultiSelect(true);
  SetStatus(QStringLiteral("       Gruppe wurde angelegt..."));
}

void TDataSec::GruppeloeschenBtnClick() {
  TSecurityData data = OpenSecData();
  if (!DBNode) return;
  data.EraseGroup(U(DBNode->text(0)));
  QTreeWidgetItem* groups = DBNode->parent();
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
  TSecurityData data = OpenSecData();
  if (!DBNode) return;
  data.WriteTableRights(U(DBNode->text(0)), {U(DBName->text())}, TableRightsToString());
  SetStatus(QStringLiteral("       Änderung wurde gespeichert..."));
}

void TDataSec::BitBtn2Click() {
  TSecurityData data = OpenSecData();
  QTreeWidgetItem* node = tvMainTree->currentItem();
  if (!node || !node->parent()) return;
  data.DeleteTableRights(U(node->parent()->text(0)), U(node->text(0)));
  DeleteNode(node);
  if (DBNode) {
    const bool blocked = tvMainTree->blockSignals(true);
    tvMainTree->setCurrentItem(DBNode);
    tvMainTree->blockSignals(blocked);
    tvMainTreeClick();
  }
}

void TDataSec::HinzufuegenClick() {
  TSecurityData data = OpenSecData();
  if (!DBNode) return;
  CheckEntryName(U(DBNode->text(0)));
  std::vector<std::u16string> tables;
  for (QListWidgetItem* table : SelectedInOrder(lxAccessTables)) {
    if (GroupHasTable(table->text())) continue;
    const QString name = table->text().toUpper();
    AnItem = AddChildNode(DBNode, name, imgTable, true);
    tables.push_back(U(name));
  }
  data.WriteTableRights(U(DBNode->text(0)), tables, TableRightsToString());
  lxAccessTables->SetMultiSelect(false);
  lxAccessTablesClick();
  lxAccessTables->SetMultiSelect(true);
}

}  // namespace tesmira
