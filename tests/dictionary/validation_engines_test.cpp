#include "dictionary/validation_engines.h"

#include <gtest/gtest.h>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/validation_descriptors.h"
#include "dictionary_tree_fixture.h"
#include "tests/support/exception_message.h"

namespace revurov::testing {
namespace {

class ValidationEnginesTest : public TableTreeTest {
protected:
  // A record with Qty set to aQty, or null.
  std::vector<uint8_t> Record(const int32_t* aQty) {
    std::vector<uint8_t> r(static_cast<size_t>(fields().RecordLength()));
    fields().InitRecord(r.data());
    if (aQty) fields().SetRecordField(0, r.data(), aQty);
    return r;
  }
};

TEST_F(ValidationEnginesTest, NoRulesAndNoRequiredFieldsGiveNoHandler) {
  AddField(u"Qty", nxtInt32);
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields(), aaServer), nullptr);
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields(), aaClient), nullptr);
}

TEST_F(ValidationEnginesTest, ARequiredFieldIsCheckedAtTheServerOnly) {
  AddField(u"Qty", nxtInt32, 0, true);
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields(), aaClient), nullptr);
  auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
  ASSERT_NE(handler, nullptr);
  const int32_t five = 5;
  const auto set = Record(&five);
  const auto null = Record(nullptr);
  EXPECT_NO_THROW(handler->ValidateRecord(nullptr, set.data()));
  const std::u16string message =
      MessageOf<EnxNotNullValidationEngineException>([&] { handler->ValidateRecord(set.data(), null.data()); });
  EXPECT_TRUE(Contains(message, u"Field validation \"\" for field \"Qty\" failed: Field value required."))
      << platform::Utf16ToUtf8(message);
  EXPECT_EQ(CodeOf<EnxNotNullValidationEngineException>([&] { handler->ValidateField(nullptr, null.data(), 0); }),
            nxeFieldValueRequired);
  // Other fields and the record level have no rules.
  EXPECT_NO_THROW(handler->ValidateField(nullptr, null.data(), -1));
  EXPECT_NO_THROW(handler->ValidateField(nullptr, null.data(), 7));
}

TEST_F(ValidationEnginesTest, ACheckRuleRefusesToEvaluateWithoutAnSqlEngine) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  auto* check = static_cast<TnxSqlCheckValidationDescriptor*>(
      fields().AddValidations()->AddValidation(u"Sane", &TnxSqlCheckValidationDescriptor::ClassInfo()));
  check->SetConstraint(u"Qty < 1000");
  auto* client = qty->AddValidations()->AddValidation(u"Plain");
  client->SetApplyAt(nxApplyAtBit(aaClient));
  // The plain rule class has no engine: only the client side asks for one.
  EXPECT_EQ(CodeOf<EnxBaseValidationEngineException>([&] { TnxValidationsHandler::CreateFor(fields(), aaClient); }),
            nxeSubEngineNotSupported);
  qty->RemoveValidations();
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields(), aaClient), nullptr);
  auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
  ASSERT_NE(handler, nullptr);
  const int32_t five = 5;
  const auto rec = Record(&five);
  const std::u16string message =
      MessageOf<EnxSqlCheckValidationEngineException>([&] { handler->ValidateRecord(nullptr, rec.data()); });
  EXPECT_TRUE(Contains(message, u"Evaluation of CHECK constraint requires an SQL engine"))
      << platform::Utf16ToUtf8(message);
  EXPECT_EQ(CodeOf<EnxSqlCheckValidationEngineException>([&] { handler->ValidateField(nullptr, rec.data(), -1); }),
            nxeCapabilityNotSupported);
  EXPECT_NO_THROW(handler->ValidateField(nullptr, rec.data(), 0));
}

}  // namespace
}  // namespace revurov::testing
