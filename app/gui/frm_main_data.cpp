// The window's handlers that read and write the settings, the security data
// file and the tree file.
#include <QTreeWidget>

#include "app/gui/frm_main.h"

namespace tesmira {

void TDataSec::FormCreate() {}
void TDataSec::FormShow() {}
void TDataSec::FormClose() {}
void TDataSec::SaveBtnClick() {}
void TDataSec::tvMainTreeClick() {}
void TDataSec::UserBtnClick() {}
void TDataSec::UserEraseBtnClick() {}
void TDataSec::GruppeAnlegenBtnClick() {}
void TDataSec::GruppeloeschenBtnClick() {}
void TDataSec::SaveTableBtnClick() {}
void TDataSec::BitBtn2Click() {}
void TDataSec::HinzufuegenClick() {}
void TDataSec::LoadTableRights(const std::u16string&, const std::u16string&) {}
std::u16string TDataSec::DataFileName() const { return DBPfad + u"TesmiraSec.dat"; }
std::u16string TDataSec::TreeFileName() const { return DBPfad + u"TesmiraSec.sec"; }
void TDataSec::LoadTree() {}
void TDataSec::SaveTree() {}

}  // namespace tesmira
