// The window's handlers that read and write the settings, the security data
// file and the tree file.
#include <QCheckBox>
#include <algorithm>
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
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

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
  no_folder_message_ = revurov::platform::Format(kNoDatabaseFolder, {folder});
  if (folder.empty() || !DirectoryExists(folder)) throw Exception(no_folder_message_);
  DBPfad = AddTrailingBackslash(folder);

  CloseApp = false;
  TSecurityData data = OpenSecData();
  if (data.Exists()) {
    // Any failure here would otherwise skip the password check below.
    TAdminEntry admin;
    try {
      admin = data.ReadAdmin();
    } catch (const std::exception& e) {
      const auto* ours = dynamic_cast<const Exception*>(&e);
      const std::u16string reason =
          ours ? std::u16string(ours->Message()) : revurov::platform::Utf8ToUtf16(e.what());
      DialogService().MessageDlg(this, Q(revurov::platform::Format(kSecurityFileUnreadable, {data.FileName(), reason})),
                                 TMsgDlgType::mtError);
      CloseApp = true;
      return;
    }
    Admin->setText(Q(admin.Admin));
    PW1->setText(Q(admin.Password));
    PW2->setText(Q(admin.Password));
  }

  if (!PW1->text().isEmpty()) {
    TPasswordDlg dialog(this);
    const int result = DialogService().ExecPasswordDialog(dialog);
    if (result != QDialog::Accepted || dialog.PWInput->text() != PW1->text()) {
      DialogService().MessageDlg(this, QStringLiteral("Falsches Passwort, Programm wird beendet!"),
                                 TMsgDlgType::mtError);
      CloseApp = true;
      return;
    }
  }
  // Only a checked administrator gets the file rewritten.
  data.RepairEncoding();
}

void TDataSec::FormShow() {
  // A failed password check closes the window before anything is loaded:
  // taking over a legacy tree file would write.
  if (CloseApp) {
    close();
    return;
  }
  // Without a database folder there is no tree file to read: the current
  // folder is never used in its place.
  if (!DBPfad.empty()) Guarded([this] { LoadTree(); });
  Guarded([this] { FillTableLists(); });
}

void TDataSec::FormClose() {
  if (!CloseApp && !DBPfad.empty() && !tree_unreadable_) SaveTree();
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
  // Walked with a stack of its own: a file's depth never reaches the call stack.
  std::vector<std::pair<const TTreeNode*, QTreeWidgetItem*>> pending;
  const TTree& tree = tree_file_.Tree();
  for (int i = 0; i < tree.TopCount(); ++i) {
    pending.emplace_back(tree.Top(i), new QTreeWidgetItem(tvMainTree, QStringList{Q(tree.Top(i)->Text())}));
  }
  std::vector<std::pair<QTreeWidgetItem*, bool>> expand;
  while (!pending.empty()) {
    const auto [node, item] = pending.back();
    pending.pop_back();
    if (node->ImageIndex() >= 0) SetNodeImage(item, node->ImageIndex());
    if (node == db_node) DBNode = item;
    for (int i = 0; i < node->Count(); ++i) {
      const TTreeNode* child = node->Item(i);
      pending.emplace_back(child, new QTreeWidgetItem(item, QStringList{Q(child->Text())}));
    }
    expand.emplace_back(item, node->Expanded());
  }
  // Expanding once the children exist, as the recursive copy did.
  for (const auto& [item, expanded] : expand) item->setExpanded(expanded);
  tvMainTree->blockSignals(blocked);
}

void TDataSec::CopyViewToTree() {
  TTree& tree = tree_file_.Tree();
  tree.Clear();
  std::vector<std::pair<const QTreeWidgetItem*, TTreeNode*>> pending;
  for (int i = 0; i < tvMainTree->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* top = tvMainTree->topLevelItem(i);
    pending.emplace_back(top, tree.AddTop(U(top->text(0))));
  }
  while (!pending.empty()) {
    const auto [item, node] = pending.back();
    pending.pop_back();
    for (int i = 0; i < item->childCount(); ++i) {
      pending.emplace_back(item->child(i), node->AddChild(U(item->child(i)->text(0))));
    }
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
  const bool new_user = selected && selected->text(0) == kUsers;
  if (new_user) RequireSavableTree();
  TUserEntry entry;
  entry.Password = U(edTMPasswort->text());
  entry.Setup = cbTMCanOpenConfig->isChecked();
  for (int i = 0; i < lxGroupDstList->count(); ++i) entry.Groups.push_back(U(lxGroupDstList->item(i)->text()));
  // The node only once the user is in the file: a failed write (a full
  // disk) must not leave a user in the tree that the file lacks.
  data.WriteUser(user, entry);
  if (new_user) UserNode = AddChildNode(selected, edTMUser->text(), imgUser, false);
  SetStatus(UserBtn->text() != QStringLiteral("Änderung übernehmen")
                ? QStringLiteral("       Benutzer wurden angelegt...")
                : QStringLiteral("       Änderung wurde gespeichert..."));
}

void TDataSec::UserEraseBtnClick() {
  TSecurityData data = OpenSecData();
  RequireSavableTree();
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
  RequireSavableTree();
  CheckEntryName(U(group));
  std::vector<std::u16string> tables;
  for (QListWidgetItem* table : SelectedInOrder(lxGroupTables)) tables.push_back(U(table->text().toUpper()));
  // The nodes only once their rights are in the file.
  data.WriteTableRights(U(group), tables, GroupRightsToString());
  DBNode = AddChildNode(selected, group, imgGroup, false);
  for (const std::u16string& name : tables) AnItem = AddChildNode(DBNode, Q(name), imgTable, true);
  lxGroupTables->SetMultiSelect(false);
  lxGroupTablesClick();
  lxGroupTables->SetMultiSelect(true);
  SetStatus(QStringLiteral("       Gruppe wurde angelegt..."));
}

void TDataSec::GruppeloeschenBtnClick() {
  TSecurityData data = OpenSecData();
  RequireSavableTree();
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
  RequireSavableTree();
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
  RequireSavableTree();
  CheckEntryName(U(DBNode->text(0)));
  std::vector<std::u16string> tables;
  for (QListWidgetItem* table : SelectedInOrder(lxAccessTables)) {
    const std::u16string name = U(table->text().toUpper());
    if (GroupHasTable(table->text()) || std::find(tables.begin(), tables.end(), name) != tables.end()) continue;
    tables.push_back(name);
  }
  // The nodes only once their rights are in the file.
  data.WriteTableRights(U(DBNode->text(0)), tables, TableRightsToString());
  for (const std::u16string& name : tables) AnItem = AddChildNode(DBNode, Q(name), imgTable, true);
  lxAccessTables->SetMultiSelect(false);
  lxAccessTablesClick();
  lxAccessTables->SetMultiSelect(true);
}

}  // namespace tesmira
