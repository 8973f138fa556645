#include "dictionary/validation_engines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/validation_descriptors.h"
#include "dictionary_tree_fixture.h"
#include "platform/variant.h"
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
  EXPECT_TRUE(Contains(message, u"Field validation \"$required\" for field \"Qty\" failed: Field value required."))
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


TEST_F(ValidationEnginesTest, ListEnginesAreFoundByTheirListsClassNames) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32, 0, true);
  qty->AddValidations()->AddValidation(u"Fixed", &TnxNoChangeValidationDescriptor::ClassInfo());
  fields().AddValidations()->AddValidation(u"Sane", &TnxSqlCheckValidationDescriptor::ClassInfo());
  const struct {
    const TnxValidationsEngineClass* Class;
    const char16_t* Message;
  } cases[] = {
      {&TnxFieldValidationsEngine::ClassInfo(), u"Unknown Validations engine: \"TnxFieldValidationsEngine\""},
      {&TnxFieldsValidationsEngine::ClassInfo(), u"Unknown Validations engine: \"TnxFieldsValidationsEngine\""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.Class->FindClass(c.Class->Name), c.Class);
    c.Class->Unregister();
    // Registered again however the check ends.
    struct Reregister {
      const TnxValidationsEngineClass* Class;
      ~Reregister() { Class->Register(); }
    } again{c.Class};
    const std::u16string message = MessageOf<EnxBaseValidationEngineException>(
        [&] { TnxValidationsHandler::CreateFor(fields(), aaServer); });
    EXPECT_TRUE(Contains(message, c.Message)) << platform::Utf16ToUtf8(message);
  }
  // A required field without rules needs no lookup.
  qty->RemoveValidations();
  fields().RemoveValidations();
  TnxFieldValidationsEngine::ClassInfo().Unregister();
  auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
  TnxFieldValidationsEngine::ClassInfo().Register();
  ASSERT_NE(handler, nullptr);
  const auto null = Record(nullptr);
  EXPECT_EQ(CodeOf<EnxNotNullValidationEngineException>([&] { handler->ValidateRecord(nullptr, null.data()); }),
            nxeFieldValueRequired);
}

// Qty (Int32) and Name (ShortString 10), each with at most one rule.
class KeyFieldRuleEnginesTest : public ValidationEnginesTest {
protected:
  KeyFieldRuleEnginesTest() {
    AddField(u"Qty", nxtInt32);
    AddField(u"Name", nxtShortString, 10);
  }
  template <class D>
  D* AddRule(int32_t aField, std::u16string_view aName) {
    return static_cast<D*>(
        fields().FieldDescriptor(aField)->AddValidations()->AddValidation(aName, &D::ClassInfo()));
  }
  // Qty and Name set as given (null pointers: null).
  std::vector<uint8_t> Row(const int32_t* aQty, const char* aName = nullptr) {
    std::vector<uint8_t> r = Record(aQty);
    if (aName) {
      uint8_t value[11] = {static_cast<uint8_t>(std::strlen(aName))};
      std::memcpy(value + 1, aName, value[0]);
      fields().SetRecordField(1, r.data(), value);
    }
    return r;
  }
  // The code the server handler raises for the change from aOld to aNew
  // (null: no record); 0 when it passes.
  uint32_t Run(const std::vector<uint8_t>* aOld, const std::vector<uint8_t>* aNew) {
    auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
    EXPECT_NE(handler, nullptr);
    try {
      handler->ValidateRecord(aOld ? aOld->data() : nullptr, aNew ? aNew->data() : nullptr);
    } catch (const EnxBaseValidationEngineException& e) {
      return e.ErrorCode();
    }
    return 0;
  }
};

TEST_F(KeyFieldRuleEnginesTest, MinMaxPassesValuesInsideTheBoundsAndNull) {
  const std::optional<int32_t> none;
  const struct {
    std::optional<int32_t> Min, Max, Value;
    uint32_t Code;
  } cases[] = {
      {10, none, 9, nxeMinimumValidity}, {10, none, 10, 0}, {10, none, none, 0},
      {none, 20, 21, nxeMaximumValidity}, {none, 20, 20, 0}, {none, 20, INT32_MIN, 0},
      {-5, 5, -6, nxeMinimumValidity},   {-5, 5, 0, 0},     {-5, 5, 6, nxeMaximumValidity},
      // Both fail: the minimum is tested first.
      {10, 5, 7, nxeMinimumValidity},    {none, none, 1, 0},
  };
  for (const auto& c : cases) {
    auto* rule = AddRule<TnxMinMaxValidationDescriptor>(0, u"Range");
    if (c.Min) rule->SetMinAsVariant(platform::TnxVariant::FromInteger(*c.Min));
    if (c.Max) rule->SetMaxAsVariant(platform::TnxVariant::FromInteger(*c.Max));
    const auto row = c.Value ? Row(&*c.Value) : Row(nullptr);
    EXPECT_EQ(Run(nullptr, &row), c.Code) << (c.Min ? *c.Min : -1) << ".." << (c.Max ? *c.Max : -1) << " value "
                                          << (c.Value ? *c.Value : -1);
  }
}

TEST_F(KeyFieldRuleEnginesTest, TextBoundsCompareAsTheRulesKeyField) {
  const struct {
    bool IgnoreCase;
    const char* Value;
    uint32_t Code;
  } cases[] = {
      {true, "A", nxeMinimumValidity}, {true, "C", 0}, {true, "b", 0}, {true, "B", 0},
      {false, "C", nxeMinimumValidity}, {false, "c", 0}, {false, "", nxeMinimumValidity},
  };
  for (const auto& c : cases) {
    auto* rule = AddRule<TnxMinMaxValidationDescriptor>(1, u"Range");
    rule->SetMinAsVariant(platform::TnxVariant::FromString(u"b"));
    static_cast<TnxTextKeyFieldDescriptor*>(rule->AddKeyField(&TnxTextKeyFieldDescriptor::ClassInfo()))
        ->SetIgnoreCase(c.IgnoreCase);
    const auto row = Row(nullptr, c.Value);
    EXPECT_EQ(Run(nullptr, &row), c.Code) << c.IgnoreCase << " " << c.Value;
  }
}

TEST_F(KeyFieldRuleEnginesTest, NoChangeRefusesChangingOrClearingASetValue) {
  const int32_t five = 5, six = 6;
  const auto r5 = Row(&five), r6 = Row(&six), rNull = Row(nullptr);
  AddRule<TnxNoChangeValidationDescriptor>(0, u"Fixed");
  const struct {
    const char* What;
    const std::vector<uint8_t>* Old;
    const std::vector<uint8_t>* New;
    uint32_t Code;
  } cases[] = {
      {"insert", nullptr, &r5, 0},          {"delete", &r5, nullptr, 0},
      {"unchanged", &r5, &r5, 0},           {"changed", &r5, &r6, nxeReadOnlyField},
      {"set from null", &rNull, &r6, 0},    {"cleared", &r5, &rNull, nxeReadOnlyField},
      {"null stays null", &rNull, &rNull, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.Old, c.New), c.Code) << c.What;
}

TEST_F(KeyFieldRuleEnginesTest, FailuresNameRuleAndFieldAndEndInTheCodesText) {
  const int32_t nine = 9, thirty = 30;
  const auto low = Row(&nine), high = Row(&thirty);
  auto* rule = AddRule<TnxMinMaxValidationDescriptor>(0, u"Positive");
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(10));
  rule->SetMaxAsVariant(platform::TnxVariant::FromInteger(20));
  AddRule<TnxNoChangeValidationDescriptor>(1, u"Fixed");
  const auto a = Row(&thirty, "a"), b = Row(&thirty, "b");
  auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
  ASSERT_NE(handler, nullptr);
  const struct {
    std::u16string Message;
    std::u16string Expected;
  } cases[] = {
      {MessageOf<EnxMinMaxValidationEngineException>([&] { handler->ValidateRecord(nullptr, low.data()); }),
       u"Field validation \"Positive\" for field \"Qty\" failed: Minimum validity check failed."},
      {MessageOf<EnxMinMaxValidationEngineException>([&] { handler->ValidateField(nullptr, high.data(), 0); }),
       u"Field validation \"Positive\" for field \"Qty\" failed: Maximum validity check failed."},
      {MessageOf<EnxNoChangeValidationEngineException>([&] { handler->ValidateField(a.data(), b.data(), 1); }),
       u"Field validation \"Fixed\" for field \"Name\" failed: Trying to modify read-only field."},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(Contains(c.Message, c.Expected)) << platform::Utf16ToUtf8(c.Message);
}

TEST_F(KeyFieldRuleEnginesTest, EnginesFollowTheRulesSideAndNeedAKeyField) {
  auto* rule = AddRule<TnxMinMaxValidationDescriptor>(0, u"Range");
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(10));
  rule->SetApplyAt(nxApplyAtBit(aaClient));
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields(), aaServer), nullptr);
  auto client = TnxValidationsHandler::CreateFor(fields(), aaClient);
  ASSERT_NE(client, nullptr);
  const int32_t nine = 9;
  const auto row = Row(&nine);
  EXPECT_EQ(CodeOf<EnxMinMaxValidationEngineException>([&] { client->ValidateRecord(nullptr, row.data()); }),
            nxeMinimumValidity);
  // The engine copied what it needs: the rule may change meanwhile.
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(0));
  EXPECT_EQ(CodeOf<EnxMinMaxValidationEngineException>([&] { client->ValidateRecord(nullptr, row.data()); }),
            nxeMinimumValidity);
  client.reset();
  // A rule read without key field compares with nothing until checked.
  rule->RemoveKeyField();
  EXPECT_EQ(CodeOf<EnxMinMaxValidationEngineException>([&] { TnxValidationsHandler::CreateFor(fields(), aaClient); }),
            nxeInvalidFieldDescriptor);
  rule->CheckValid(true);
  EXPECT_NE(TnxValidationsHandler::CreateFor(fields(), aaClient), nullptr);
}


// ---- CHECK rules with an SQL engine's statement ----

// What the test statement saw and what it answers.
struct CheckProbe {
  enum { kTrue, kFalse, kRaise } Answer = kTrue;
  std::vector<std::u16string> Texts;
  const TnxBaseSqlCheckStatement* Statement = nullptr;
  const void* NewRecord = nullptr;
  const void* NewField = nullptr;
  const void* OldField = nullptr;
  int Calls = 0;
};
CheckProbe gProbe;

class TestCheckStatement : public TnxBaseSqlCheckStatement {
public:
  using TnxBaseSqlCheckStatement::TnxBaseSqlCheckStatement;
  static std::unique_ptr<TnxBaseSqlCheckStatement> Create(const TnxFieldsDescriptor* aFields,
                                                          TnxFieldDescriptor* aField, const std::u16string& aText) {
    gProbe.Texts.push_back(aText);
    auto statement = std::make_unique<TestCheckStatement>(aFields, aField, aText);
    gProbe.Statement = statement.get();
    return statement;
  }

protected:
  bool Evaluate() override {
    ++gProbe.Calls;
    gProbe.NewRecord = NewRecord();
    gProbe.NewField = NewField();
    gProbe.OldField = OldField();
    if (gProbe.Answer == CheckProbe::kRaise) throw EnxBaseException(nxeInvalidParameter);
    return gProbe.Answer == CheckProbe::kTrue;
  }
};

class SqlCheckHookTest : public ValidationEnginesTest {
protected:
  SqlCheckHookTest() {
    gProbe = CheckProbe();
    nxSetSqlCheckStatementClass(&TestCheckStatement::Create);
  }
  ~SqlCheckHookTest() override { nxSetSqlCheckStatementClass(nullptr); }

  TnxSqlCheckValidationDescriptor* AddCheck(TnxFieldValidationsDescriptor* aList, std::u16string_view aName,
                                            std::u16string_view aConstraint) {
    auto* rule = static_cast<TnxSqlCheckValidationDescriptor*>(
        aList->AddValidation(aName, &TnxSqlCheckValidationDescriptor::ClassInfo()));
    rule->SetConstraint(aConstraint);
    return rule;
  }
};

TEST_F(SqlCheckHookTest, TheStatementDecidesAndFailuresCarryTheRulesMessage) {
  AddField(u"Qty", nxtInt32);
  TnxSqlCheckValidationDescriptor* rule = AddCheck(fields().AddValidations(), u"Sane", u"Qty < 1000");
  const int32_t five = 5;
  const auto rec = Record(&five);
  const struct {
    decltype(CheckProbe::kTrue) Answer;
    const char16_t* ErrorMessage;
    const char16_t* Expected;  // null: passes
  } cases[] = {
      {CheckProbe::kTrue, u"", nullptr},
      {CheckProbe::kFalse, u"", u"Fields validation \"Sane\" failed: Expression validity check failed."},
      {CheckProbe::kRaise, u"", u"Fields validation \"Sane\" failed: Expression validity check failed."},
      {CheckProbe::kFalse, u"Qty must stay below 1000", u"Fields validation \"Sane\" failed: Qty must stay below 1000"},
  };
  for (const auto& c : cases) {
    rule->SetErrorMessage(c.ErrorMessage);
    auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
    ASSERT_NE(handler, nullptr);
    gProbe.Answer = c.Answer;
    if (!c.Expected) {
      EXPECT_NO_THROW(handler->ValidateRecord(nullptr, rec.data()));
    } else {
      uint32_t code = 0;
      std::u16string message;
      try {
        handler->ValidateRecord(nullptr, rec.data());
      } catch (const EnxSqlCheckValidationEngineException& e) {
        code = e.ErrorCode();
        message = e.Message();
      }
      EXPECT_EQ(code, nxeExpressionValidity);
      EXPECT_TRUE(Contains(message, c.Expected)) << platform::Utf16ToUtf8(message);
    }
    // The record was seen during the call only.
    EXPECT_EQ(gProbe.NewRecord, rec.data());
    EXPECT_EQ(gProbe.NewField, nullptr);
    EXPECT_EQ(gProbe.Statement->NewRecord(), nullptr);
    // A record-level statement has no field.
    EXPECT_EQ(gProbe.Statement->FieldDescriptor(), nullptr);
    EXPECT_EQ(gProbe.Statement->FieldsDescriptor(), &fields());
  }
  EXPECT_EQ(gProbe.Texts, std::vector<std::u16string>(std::size(cases), u"Qty < 1000"));
}

TEST_F(SqlCheckHookTest, AFieldRuleStatementKnowsItsFieldAndSeesItsValues) {
  AddField(u"Name", nxtShortString, 12);
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  AddCheck(qty->AddValidations(), u"Positive", u"Qty > 0");
  auto handler = TnxValidationsHandler::CreateFor(fields(), aaServer);
  ASSERT_NE(handler, nullptr);
  const TnxBaseSqlCheckStatement* statement = gProbe.Statement;
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(statement->FieldDescriptor(), qty);
  EXPECT_EQ(statement->FieldIndex(), 1);
  EXPECT_EQ(statement->FieldType(), nxtInt32);
  EXPECT_EQ(statement->FieldSize(), 4);
  EXPECT_EQ(statement->FieldCodepage(), 0);

  std::vector<uint8_t> old(static_cast<size_t>(fields().RecordLength()));
  std::vector<uint8_t> now(old.size());
  fields().InitRecord(old.data());
  fields().InitRecord(now.data());
  const int32_t seven = 7;
  fields().SetRecordField(1, now.data(), &seven);
  EXPECT_NO_THROW(handler->ValidateRecord(old.data(), now.data()));
  EXPECT_EQ(gProbe.NewField, now.data() + qty->Offset());
  EXPECT_EQ(gProbe.OldField, nullptr);  // null in the old record
  gProbe.Answer = CheckProbe::kFalse;
  EXPECT_EQ(CodeOf<EnxSqlCheckValidationEngineException>([&] { handler->ValidateField(old.data(), now.data(), 1); }),
            nxeExpressionValidity);
}

}  // namespace
}  // namespace revurov::testing
