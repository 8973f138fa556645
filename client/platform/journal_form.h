// The question whether a transaction journal found on opening a database
// is to be recovered.
//
// Contract: ShowJournalRecoveryDialog sets the form up for the journal's
// state and runs it through the form runner (GUI thread only); it answers
// true when the form closed with OK ("&Commit" on a complete journal), false
// for Rollback or any other close.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "lowlevel/sync/platform_interface.h"

class QFrame;
class QLabel;
class QPushButton;
class QWidget;

namespace revurov {

class TfrmJournal : public QDialog {
public:
  TfrmJournal();

  void Setup(TnxJournalState aJournalState, const std::u16string& aAlias, const std::u16string& aPath,
             const std::u16string& aFilename, const std::u16string& aExceptionString);
  // Asks for a printer through the form runner and prints the form on it.
  void Print();

  QWidget* Panel1 = nullptr;
  QFrame* Bevel1 = nullptr;
  QLabel* CompletenessLabel = nullptr;
  QLabel* AliasLabel = nullptr;
  QLabel* PathLabel = nullptr;
  QLabel* FilenameLabel = nullptr;
  QLabel* ExceptionLabel = nullptr;
  QLabel* ActionLabel = nullptr;
  QWidget* Panel2 = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* RollbackBtn = nullptr;
  QPushButton* PrintBtn = nullptr;
};

// The GUI framework's colour values are 0x00BBGGRR.
inline constexpr uint32_t nxclGreen = 0x008000;
inline constexpr uint32_t nxclRed = 0x0000FF;

bool ShowJournalRecoveryDialog(TnxJournalState aJournalState, const std::u16string& aAlias,
                               const std::u16string& aPath, const std::u16string& aFilename,
                               const std::u16string& aExceptionString);

}  // namespace revurov
