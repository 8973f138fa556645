// The server choice shown when a server search finds several servers.
//
// Contract: ShowServerPickDialog empties aServerName, offers aServers with
// the first selected and runs the form through the form runner (GUI thread
// only); OK answers true with the chosen name, anything else false.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace revurov {

class TfrmPickServer : public QDialog {
public:
  TfrmPickServer();

  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* CBNames = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* Button1 = nullptr;

protected:
  void showEvent(QShowEvent* aEvent) override;
};

bool ShowServerPickDialog(const std::vector<std::u16string>& aServers, std::u16string& aServerName);

}  // namespace revurov
