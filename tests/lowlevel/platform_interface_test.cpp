#include "lowlevel/sync/platform_interface.h"

#include <gtest/gtest.h>

namespace revurov {
namespace {

// Without a GUI binding every question is answered as by a user who is not there.
TEST(PlatformHooks, DialogDefaultsAnswerAsAnAbsentUser) {
  nxResetPlatformHooks();
  EXPECT_EQ(nxPlatformMessageDlg(u"text", mtConfirmation, nxMsgDlgButton(mbYes) | nxMsgDlgButton(mbNo), 0),
            nxMsgDlgNoAnswer);
  std::u16string user = u"u", password = u"p", server = u"kept";
  EXPECT_FALSE(nxPlatformLogonDialog(u"server", user, password));
  EXPECT_EQ(user, u"u");
  EXPECT_EQ(password, u"p");
  EXPECT_FALSE(nxPlatformServerPickDialog({u"a", u"b"}, server));
  const struct {
    TnxJournalState state;
    bool recovered;
  } cases[] = {{jsComplete, true}, {jsIncomplete, false}, {jsTrash, false}, {jsSkipping, false}};
  for (const auto& c : cases)
    EXPECT_EQ(nxPlatformJournalRecoveryDialog(c.state, u"alias", u"/path", u"file.nx1", u""), c.recovered)
        << int(c.state);
}

}  // namespace
}  // namespace revurov
