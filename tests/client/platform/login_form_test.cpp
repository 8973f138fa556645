#include "client/platform/login_form.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "gui_test_support.h"

namespace revurov {
namespace {

using testing::TGuiTest;

class LoginForm : public TGuiTest {
protected:
  // Runs the dialog with the script applied to the form.
  bool Run(std::u16string& aUser, std::u16string& aPassword, std::function<void(TfrmLogin&)> aScript) {
    Runner->Script = [&](QDialog& form) { aScript(dynamic_cast<TfrmLogin&>(form)); };
    return ShowServerLogonDialog(aUser, aPassword);
  }
};

TEST_F(LoginForm, OkWithBothFilledGivesTheEditsBack) {
  std::u16string user = u"admin", password = u"";
  EXPECT_TRUE(Run(user, password, [](TfrmLogin& f) {
    EXPECT_EQ(f.edUserName->text(), QStringLiteral("admin"));
    f.edUserName->setText(QStringLiteral("Jürgen"));
    f.edPassword->setText(QStringLiteral("geheim"));
    f.btnOK->click();
  }));
  EXPECT_EQ(user, u"Jürgen");
  EXPECT_EQ(password, u"geheim");
}

TEST_F(LoginForm, CancelKeepsNameAndPassword) {
  std::u16string user = u"admin", password = u"old";
  EXPECT_FALSE(Run(user, password, [](TfrmLogin& f) {
    f.edUserName->setText(QStringLiteral("other"));
    f.edPassword->setText(QStringLiteral("new"));
    f.btnCancel->click();
  }));
  EXPECT_EQ(user, u"admin");
  EXPECT_EQ(password, u"old");
}

TEST_F(LoginForm, OkWithAnEmptyEditBeepsStaysOpenAndFocusesIt) {
  const struct {
    const char16_t* user;
    const char16_t* password;
    bool focusOnName;
  } cases[] = {{u"", u"pw", true}, {u"", u"", true}, {u"admin", u"", false}};
  for (const auto& c : cases) {
    std::u16string user = c.user, password = c.password;
    Runner->Beeps = 0;
    EXPECT_FALSE(Run(user, password, [&](TfrmLogin& f) {
      f.btnOK->click();
      EXPECT_EQ(Runner->Beeps, 1);
      EXPECT_TRUE(f.isVisible());
      EXPECT_EQ(f.focusWidget(), c.focusOnName ? static_cast<QWidget*>(f.edUserName) : f.edPassword);
      f.btnCancel->click();
    })) << QString::fromStdU16String(c.user).toStdString();
  }
}

TEST_F(LoginForm, ShowingHidesAnEmptyDescriptionAndFocusesTheFirstEmptyEdit) {
  const struct {
    QString description;
    QString user;
    bool topVisible;
    bool focusOnName;
  } cases[] = {{QString(), QString(), false, true},
               {QStringLiteral("Server \"Haupt\" refused the log-on."), QStringLiteral("admin"), true, false}};
  for (const auto& c : cases) {
    TfrmLogin form;
    form.laDescription->setText(c.description);
    form.edUserName->setText(c.user);
    form.show();
    EXPECT_EQ(form.paTop->isVisible(), c.topVisible);
    EXPECT_EQ(form.focusWidget(), c.focusOnName ? static_cast<QWidget*>(form.edUserName) : form.edPassword);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("RevurOV Server Log On"));
    EXPECT_EQ(form.edPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(form.btnOK->isDefault());
    form.close();
  }
}

}  // namespace
}  // namespace revurov
