#include "client/platform/journal_form.h"

#include <QColor>
#include <QFileInfo>
#include <QLabel>
#include <QPalette>
#include <QPrinter>
#include <QPushButton>
#include <QTemporaryDir>

#include "gui_test_support.h"

namespace revurov {
namespace {

using testing::TGuiTest;

class JournalForm : public TGuiTest {};

QColor FontColor(const QLabel* aLabel) { return aLabel->palette().color(QPalette::WindowText); }

TEST_F(JournalForm, SetupShowsEachJournalState) {
  const QColor green(0, 0x80, 0), red(0xFF, 0, 0);
  const struct {
    TnxJournalState state;
    QString ok;
    bool rollback;
    QString completeness;
    QString action;
    QColor color;
    bool exception;
  } cases[] = {
      {jsComplete, "&Commit", true, "Complete journal file found!", "Recovery is possible!", green, false},
      {jsIncomplete, "&OK", false, "Incomplete journal file found!", "Recovery is impossible!", red, false},
      {jsTrash, "&OK", false, "Error processing journal file!", "Cannot recover!", red, true},
      {jsSkipping, "&OK", false, "Error processing file! Skipped the file", "Cannot recover!", red, true},
  };
  for (const auto& c : cases) {
    TfrmJournal form;
    form.Setup(c.state, u"Kunden", u"/daten/kunden", u"Adressen.nx1", u"CRC error in block 7");
    SCOPED_TRACE(int(c.state));
    EXPECT_EQ(form.OKBtn->text(), c.ok);
    EXPECT_EQ(form.RollbackBtn->isVisibleTo(&form), c.rollback);
    EXPECT_EQ(form.CompletenessLabel->text(), c.completeness);
    EXPECT_EQ(form.ActionLabel->text(), c.action);
    EXPECT_EQ(FontColor(form.CompletenessLabel), c.color);
    EXPECT_EQ(FontColor(form.ActionLabel), c.color);
    EXPECT_EQ(form.ExceptionLabel->isVisibleTo(&form), c.exception);
    if (c.exception) {
      EXPECT_EQ(form.ExceptionLabel->text(), QStringLiteral("CRC error in block 7"));
    }
    EXPECT_EQ(form.AliasLabel->text(), QStringLiteral("Kunden"));
    EXPECT_EQ(form.PathLabel->text(), QStringLiteral("/daten/kunden"));
    EXPECT_EQ(form.FilenameLabel->text(), QStringLiteral("Adressen.nx1"));
  }
}

// A second Setup must not keep what the first one showed.
TEST_F(JournalForm, SetupAgainHidesTheExceptionAndTheRollbackOfTheStateBefore) {
  TfrmJournal form;
  form.Setup(jsTrash, u"", u"", u"", u"broken");
  form.Setup(jsComplete, u"", u"", u"", u"");
  EXPECT_FALSE(form.ExceptionLabel->isVisibleTo(&form));
  EXPECT_TRUE(form.RollbackBtn->isVisibleTo(&form));
}

TEST_F(JournalForm, OkCommitsAndRollbackDoesNot) {
  const struct {
    bool pressOk;
    bool answer;
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    Runner->Script = [&](QDialog& form) {
      auto& f = dynamic_cast<TfrmJournal&>(form);
      EXPECT_EQ(f.windowTitle(), QStringLiteral("RevurOV Journal Recovery"));
      (c.pressOk ? f.OKBtn : f.RollbackBtn)->click();
    };
    EXPECT_EQ(ShowJournalRecoveryDialog(jsComplete, u"a", u"p", u"f", u""), c.answer) << c.pressOk;
  }
}

TEST_F(JournalForm, PrintWritesTheFormToThePrinterChosenAndNothingWhenCancelled) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (bool accept : {false, true}) {
    const QString file = dir.filePath(accept ? "accepted.pdf" : "cancelled.pdf");
    TfrmJournal form;
    form.Setup(jsComplete, u"Kunden", u"/daten", u"Adressen.nx1", u"");
    int printDialogs = 0;
    Runner->PrinterScript = [&](QPrinter& printer) {
      ++printDialogs;
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(file);
      return accept;
    };
    form.PrintBtn->click();
    EXPECT_EQ(printDialogs, 1);
    EXPECT_EQ(QFileInfo(file).exists() && QFileInfo(file).size() > 0, accept) << accept;
  }
}

}  // namespace
}  // namespace revurov
