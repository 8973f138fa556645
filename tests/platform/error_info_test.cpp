// The error-information object and the calling thread's slot.
#include <gtest/gtest.h>

#include <thread>

#include "platform/error_info.h"

namespace revurov::platform {
namespace {

TEST(ErrorInfo, AnswersWhatWasSetAndDefaultsOtherwise) {
  auto created = nxCreateErrorInfo();
  ASSERT_TRUE(created);
  auto info = Supports<IErrorInfo>(created);
  ASSERT_TRUE(info);
  TGUID g = nxGuid("{11111111-2222-3333-4444-555555555555}");
  std::u16string text = u"x";
  uint32_t context = 7;
  EXPECT_EQ(info->GetGUID(g), S_OK);
  EXPECT_EQ(g, GUID_NULL);
  EXPECT_EQ(info->GetSource(text), S_OK);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(info->GetHelpContext(context), S_OK);
  EXPECT_EQ(context, 0u);

  created->SetGUID(IErrorInfo::IID);
  created->SetSource(u"Quelle");
  created->SetDescription(u"Beschreibung");
  created->SetHelpFile(u"hilfe.chm");
  created->SetHelpContext(42);
  info->GetGUID(g);
  EXPECT_EQ(g, IErrorInfo::IID);
  info->GetDescription(text);
  EXPECT_EQ(text, u"Beschreibung");
  info->GetHelpFile(text);
  EXPECT_EQ(text, u"hilfe.chm");
  info->GetHelpContext(context);
  EXPECT_EQ(context, 42u);
  void* none = &text;
  EXPECT_EQ(info->QueryInterface(nxGuid("{99999999-2222-3333-4444-555555555555}"), &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
}

TEST(ErrorInfo, TheSlotIsPerThreadAndEmptiedByTaking) {
  TInterfacePtr<IErrorInfo> taken;
  EXPECT_EQ(nxGetErrorInfo(taken), S_FALSE);
  auto info = Supports<IErrorInfo>(nxCreateErrorInfo());
  nxSetErrorInfo(info);
  std::thread([] {
    TInterfacePtr<IErrorInfo> other;
    EXPECT_EQ(nxGetErrorInfo(other), S_FALSE);
  }).join();
  EXPECT_EQ(nxGetErrorInfo(taken), S_OK);
  EXPECT_EQ(taken, info);
  EXPECT_EQ(nxGetErrorInfo(taken), S_FALSE);
  EXPECT_FALSE(taken);
}

}  // namespace
}  // namespace revurov::platform
