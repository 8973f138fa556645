#include "client/platform/pick_server_form.h"

#include <QComboBox>
#include <QPushButton>

#include "gui_test_support.h"

namespace revurov {
namespace {

using testing::TGuiTest;

class PickServerForm : public TGuiTest {};

const std::vector<std::u16string> kThree = {u"Alpha", u"Beta", u"Gamma"};

TEST_F(PickServerForm, StartsOnTheFirstOfThreeAndOkGivesTheChosenName) {
  std::u16string name = u"stale";
  Runner->Script = [](QDialog& form) {
    auto& f = dynamic_cast<TfrmPickServer&>(form);
    EXPECT_EQ(f.CBNames->count(), 3);
    EXPECT_EQ(f.CBNames->currentText(), QStringLiteral("Alpha"));
    EXPECT_FALSE(f.CBNames->isEditable());
    f.CBNames->setCurrentIndex(2);
    f.OKBtn->click();
  };
  EXPECT_TRUE(ShowServerPickDialog(kThree, name));
  EXPECT_EQ(name, u"Gamma");
}

TEST_F(PickServerForm, CancelGivesFalseAndAnEmptyName) {
  std::u16string name = u"stale";
  Runner->Script = [](QDialog& form) { dynamic_cast<TfrmPickServer&>(form).Button1->click(); };
  EXPECT_FALSE(ShowServerPickDialog(kThree, name));
  EXPECT_EQ(name, u"");
}

}  // namespace
}  // namespace revurov
