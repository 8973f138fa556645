#include "client/data_access_component.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "client/database_error.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/exception_data.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::U8;

class DataAccessComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    db_ = new TnxDataAccessStateComponent(nullptr);
    db_->SetName(u"db");
  }
  void TearDown() override {
    platform::TComponent::Free(db_);
    EnxBaseException::SetLastConvertedException(0, u"");
  }

  // What a call raises as EnxDatabaseError; fails the test for anything else.
  static EnxDatabaseError Raised(const std::function<void()>& aCall) {
    try {
      aCall();
    } catch (const EnxDatabaseError& e) {
      return e;
    }
    ADD_FAILURE() << "no EnxDatabaseError raised";
    return EnxDatabaseError(u"(none)");
  }

  TnxLowLevelStartupGuard startup_;
  TnxDataAccessStateComponent* db_ = nullptr;
};

TEST_F(DataAccessComponentTest, ExceptionClassIsTheDatabaseError) {
  EXPECT_EQ(db_->GetExceptionClass().Name, u"EnxDatabaseError");
}

TEST_F(DataAccessComponentTest, CheckErrorPassesZeroAndRaisesEveryOtherCode) {
  db_->CheckError(0);
  const EnxDatabaseError e = Raised([this] { db_->CheckError(nxeInvalidParameter); });
  EXPECT_EQ(U8(e.Message()), "RevurOV: db: Invalid parameter. [$2702/9986]");
  EXPECT_EQ(e.ErrorCode(), 9986u);
  EXPECT_FALSE(e.ExtendedMsg());
}

TEST_F(DataAccessComponentTest, RaiseErrorForms) {
  struct Case {
    const char* what;
    std::function<void(const TnxDataAccessStateComponent&)> raise;
    std::u16string message;
    uint32_t code;
  };
  const Case cases[] = {
      {"code", [](auto& c) { c.RaiseError(int64_t{10014}); }, u"RevurOV: db: Unknown database. [$271E/10014]", 10014},
      {"code beyond 32 bits keeps the low 32", [](auto& c) { c.RaiseError(int64_t{0x100002702}); },
       u"RevurOV: db: Invalid parameter. [$2702/9986]", 9986},
      {"message", [](auto& c) { c.RaiseError(u"Kaputt"); }, u"RevurOV: db: Kaputt [no error code]", 0},
      {"message with a format", [](auto& c) { c.RaiseError(u"%s fehlt", {u"Feld"}); },
       u"RevurOV: db: Feld fehlt [no error code]", 0},
      {"code and message", [](auto& c) { c.RaiseError(int64_t{9986}, u"Feld leer"); },
       u"RevurOV: db: Feld leer [$2702/9986]", 9986},
      {"code and format", [](auto& c) { c.RaiseError(int64_t{9986}, u"Feld %s leer (%d)", {u"A", 2}); },
       u"RevurOV: db: Feld A leer (2) [$2702/9986]", 9986},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const EnxDatabaseError e = Raised([&] { c.raise(*db_); });
    EXPECT_EQ(U8(e.Message()), U8(c.message));
    EXPECT_EQ(e.ErrorCode(), c.code);
  }
}

// The text a server sent with a failed reply names the failure once; the
// slot is empty afterwards, its code too.
TEST_F(DataAccessComponentTest, CheckErrorShowsTheServerTextOfTheSameCode) {
  EnxBaseException::SetLastConvertedException(10036, u"Otto?<[--!OSError=99999999999!--]>");
  const EnxDatabaseError e = Raised([this] { db_->CheckError(10036); });
  EXPECT_EQ(U8(e.Message()), "RevurOV: db: Otto? [$2734/10036]");
  EXPECT_TRUE(e.ExtendedMsg());
  EXPECT_EQ(U8(e.ErrorString()), "Otto?");
  EXPECT_EQ(e.OSError(), 1215752191u);  // read as 64 bits, the low 32 kept
  uint32_t code = 1;
  std::u16string text = u"?";
  EnxBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(U8(text), "");
  EXPECT_EQ(U8(Raised([this] { db_->CheckError(10036); }).Message()),
            "RevurOV: db: Unknown user name or password. [$2734/10036]");
}

TEST_F(DataAccessComponentTest, RaisedErrorCarriesTheServersData) {
  auto data = nxCreateExceptionDataContainer(u"ExceptionData");
  data->AddString(u"Table", u"Kunden");
  EnxBaseException::SetLastConvertedException(
      10024, u"Fehler" + nxMessageTag(u"$ExceptionData$", data->ToEncodedString(47501)));
  EnxDatabaseError e = Raised([this] { db_->CheckError(10024); });
  ASSERT_EQ(e.ExceptionData()->Count(), 1);
  EXPECT_EQ(e.ExceptionData()->Values(0)->AsString(), u"Kunden");
  EXPECT_TRUE(e.CustomInfos().Lines().empty());
}

// The state machine's refusals arrive as the client's error without code.
TEST_F(DataAccessComponentTest, StateRefusalsAreDatabaseErrors) {
  const EnxDatabaseError notStarted = Raised([this] { db_->CheckStarted(); });
  EXPECT_EQ(U8(notStarted.Message()),
            "RevurOV: db: This component must be started when performing this operation. [no error code]");
  EXPECT_EQ(notStarted.ErrorCode(), 0u);
  db_->SetActive(true);
  db_->CheckStarted();
  const EnxDatabaseError notInactive = Raised([this] { db_->CheckInactive(); });
  EXPECT_EQ(U8(notInactive.Message()),
            "RevurOV: db: This component must be inactive when performing this operation. [no error code]");
}

}  // namespace
}  // namespace revurov
