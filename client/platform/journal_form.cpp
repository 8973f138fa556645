#include "client/platform/journal_form.h"

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPrinter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "client/platform/form_runner.h"

namespace revurov {

namespace {

QColor FrameworkColor(uint32_t aBgr) {
  return QColor(static_cast<int>(aBgr & 0xFF), static_cast<int>((aBgr >> 8) & 0xFF),
                static_cast<int>((aBgr >> 16) & 0xFF));
}

QLabel* LargeLabel(QWidget* aParent) {
  auto* label = new QLabel(aParent);
  QFont font = label->font();
  font.setPixelSize(23);
  label->setFont(font);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

void SetFontColor(QLabel* aLabel, uint32_t aBgr) {
  QPalette palette = aLabel->palette();
  palette.setColor(QPalette::WindowText, FrameworkColor(aBgr));
  aLabel->setPalette(palette);
}

struct StateTexts {
  const char16_t* OkCaption;
  bool Rollback;
  const char16_t* Completeness;
  const char16_t* Action;
  uint32_t Color;
  bool ShowException;
};

const StateTexts& TextsOf(TnxJournalState aState) {
  static const StateTexts kTexts[] = {
      {u"&Commit", true, u"Complete journal file found!", u"Recovery is possible!", nxclGreen, false},
      {u"&OK", false, u"Incomplete journal file found!", u"Recovery is impossible!", nxclRed, false},
      {u"&OK", false, u"Error processing journal file!", u"Cannot recover!", nxclRed, true},
      {u"&OK", false, u"Error processing file! Skipped the file", u"Cannot recover!", nxclRed, true},
  };
  // A state from outside the enumeration is no journal that can be committed.
  return aState <= jsSkipping ? kTexts[aState] : kTexts[jsTrash];
}

}  // namespace

TfrmJournal::TfrmJournal() : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("RevurOV Journal Recovery"));

  Panel1 = new QWidget(this);
  Bevel1 = new QFrame(Panel1);
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  CompletenessLabel = LargeLabel(Bevel1);
  AliasLabel = new QLabel(Bevel1);
  PathLabel = new QLabel(Bevel1);
  FilenameLabel = new QLabel(Bevel1);
  ExceptionLabel = new QLabel(Bevel1);
  ExceptionLabel->setWordWrap(true);
  ActionLabel = LargeLabel(Bevel1);
  auto* bevelLayout = new QVBoxLayout(Bevel1);
  for (QLabel* label : {CompletenessLabel, AliasLabel, PathLabel, FilenameLabel, ExceptionLabel, ActionLabel})
    bevelLayout->addWidget(label);
  auto* leftLayout = new QVBoxLayout(Panel1);
  leftLayout->addWidget(Bevel1);

  Panel2 = new QWidget(this);
  OKBtn = new QPushButton(QStringLiteral("OK"), Panel2);
  OKBtn->setDefault(true);
  RollbackBtn = new QPushButton(QStringLiteral("&Rollback"), Panel2);
  PrintBtn = new QPushButton(QStringLiteral("&Print"), Panel2);
  auto* rightLayout = new QVBoxLayout(Panel2);
  rightLayout->addWidget(OKBtn);
  rightLayout->addWidget(RollbackBtn);
  rightLayout->addStretch();
  rightLayout->addWidget(PrintBtn);

  auto* layout = new QHBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(Panel1);
  layout->addWidget(Panel2);

  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(RollbackBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(PrintBtn, &QPushButton::clicked, this, [this] { Print(); });
}

void TfrmJournal::Setup(TnxJournalState aJournalState, const std::u16string& aAlias, const std::u16string& aPath,
                        const std::u16string& aFilename, const std::u16string& aExceptionString) {
  const StateTexts& texts = TextsOf(aJournalState);
  ExceptionLabel->setVisible(false);
  OKBtn->setText(QString::fromUtf16(texts.OkCaption));
  RollbackBtn->setVisible(texts.Rollback);
  CompletenessLabel->setText(QString::fromUtf16(texts.Completeness));
  ActionLabel->setText(QString::fromUtf16(texts.Action));
  if (texts.ShowException) {
    ExceptionLabel->setText(QString::fromStdU16String(aExceptionString));
    ExceptionLabel->setVisible(true);
  }
  SetFontColor(CompletenessLabel, texts.Color);
  SetFontColor(ActionLabel, texts.Color);
  AliasLabel->setText(QString::fromStdU16String(aAlias));
  PathLabel->setText(QString::fromStdU16String(aPath));
  FilenameLabel->setText(QString::fromStdU16String(aFilename));
}

void TfrmJournal::Print() {
  QPrinter printer;
  if (!nxFormRunner().ChoosePrinter(printer, this)) return;
  QPainter painter;
  if (!painter.begin(&printer)) return;
  const QRectF page = printer.pageRect(QPrinter::DevicePixel);
  const double scale = std::min(page.width() / std::max(1, width()), page.height() / std::max(1, height()));
  painter.scale(scale, scale);
  render(&painter);
}

bool ShowJournalRecoveryDialog(TnxJournalState aJournalState, const std::u16string& aAlias,
                               const std::u16string& aPath, const std::u16string& aFilename,
                               const std::u16string& aExceptionString) {
  TfrmJournal form;
  form.Setup(aJournalState, aAlias, aPath, aFilename, aExceptionString);
  return nxFormRunner().Exec(form) == QDialog::Accepted;
}

}  // namespace revurov
