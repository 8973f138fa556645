#include "dictionary/validation_descriptors.h"

#include <gtest/gtest.h>

#include <random>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary_tree_fixture.h"
#include "tests/support/exception_message.h"
#include "tests/support/tagged_bytes.h"
#include "tests/support/test_size.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class ValidationDescriptorsTest : public TableTreeTest {
protected:
  TnxFieldValidationsDescriptor fieldRules{&root};
  TnxFieldsValidationsDescriptor recordRules{&root};

  TnxSqlCheckValidationDescriptor* AddCheck(TnxFieldValidationsDescriptor& aList, std::u16string_view aName,
                                            std::u16string_view aConstraint) {
    auto* rule = static_cast<TnxSqlCheckValidationDescriptor*>(
        aList.AddValidation(aName, &TnxSqlCheckValidationDescriptor::ClassInfo()));
    rule->SetConstraint(aConstraint);
    return rule;
  }
};

TEST_F(ValidationDescriptorsTest, RuleNamesMustBeIdentifiers) {
  const struct {
    std::u16string Name;
    bool Valid;
  } cases[] = {{u"Positive", true}, {u"$System", true}, {u"two words", true}, {u"", false}, {u" Lead", false},
                 {u"a/b", false}, {std::u16string(129, u'x'), false}};
  for (const auto& c : cases) {
    const std::u16string message =
        MessageOf<EnxBaseFieldValidationDescriptorException>([&] { fieldRules.AddValidation(c.Name); });
    if (c.Valid)
      EXPECT_EQ(message, u"(no exception)") << platform::Utf16ToUtf8(c.Name);
    else
      EXPECT_TRUE(Contains(message, u"Invalid name.")) << platform::Utf16ToUtf8(message);
  }
  EXPECT_EQ(fieldRules.ValidationCount(), 3);
  EXPECT_EQ(CodeOf<EnxBaseFieldValidationDescriptorException>([&] { recordRules.AddValidation(u"a*b"); }),
            nxeInvalidName);
}

TEST_F(ValidationDescriptorsTest, ANewRuleAppliesAtTheServerAndACheckNeverAtTheClient) {
  TnxBaseFieldValidationDescriptor* plain = fieldRules.AddValidation(u"Plain");
  TnxSqlCheckValidationDescriptor* check = AddCheck(fieldRules, u"Check", u"Qty > 0");
  EXPECT_EQ(plain->GetApplyAt(), nxApplyAtBit(aaServer));
  EXPECT_EQ(check->GetApplyAt(), nxApplyAtBit(aaServer));
  const struct {
    TnxApplyAtSet Set, Plain, Check;
  } cases[] = {{nxApplyAtBoth, nxApplyAtBoth, nxApplyAtBit(aaServer)},
               {nxApplyAtBit(aaClient), nxApplyAtBit(aaClient), 0},
               {0, 0, 0},
               {0xFF, nxApplyAtBoth, nxApplyAtBit(aaServer)}};
  for (const auto& c : cases) {
    plain->SetApplyAt(c.Set);
    check->SetApplyAt(c.Set);
    EXPECT_EQ(plain->GetApplyAt(), c.Plain);
    EXPECT_EQ(check->GetApplyAt(), c.Check);
  }
}

TEST_F(ValidationDescriptorsTest, NamesAreUniqueAndFoundWithoutRegardToCase) {
  fieldRules.AddValidation(u"Positive");
  AddCheck(fieldRules, u"Small", u"Qty < 10");
  const std::u16string message =
      MessageOf<EnxFieldValidationsDescriptorException>([&] { fieldRules.AddValidation(u"POSITIVE"); });
  EXPECT_TRUE(Contains(message, u"Duplicated validation descriptor name: POSITIVE")) << platform::Utf16ToUtf8(message);
  EXPECT_EQ(CodeOf<EnxFieldValidationsDescriptorException>([&] { fieldRules.AddValidation(u"small"); }),
            nxeNameNotUnique);
  EXPECT_EQ(fieldRules.ValidationCount(), 2);

  EXPECT_EQ(fieldRules.GetValidationDescriptorFromName(u"sMALL"), 1);
  EXPECT_EQ(fieldRules.GetValidationDescriptorFromName(u"Missing"), -1);
  EXPECT_EQ(fieldRules.GetValidationDescriptorFromClassName(u"tnxsqlcheckvalidationdescriptor"), 1);
  EXPECT_EQ(fieldRules.GetValidationDescriptorFromClassName(u"TnxBaseFieldValidationDescriptor"), 0);
  EXPECT_EQ(fieldRules.GetValidationDescriptorFromClassName(u"TnxMissing"), -1);

  fieldRules.RemoveValidation(5);
  fieldRules.RemoveValidation(-1);
  fieldRules.RemoveValidation(u"Nothing");
  EXPECT_EQ(fieldRules.ValidationCount(), 2);
  fieldRules.RemoveValidation(u"POSITIVE");
  ASSERT_EQ(fieldRules.ValidationCount(), 1);
  EXPECT_EQ(fieldRules.ValidationDescriptor(0)->Name(), u"Small");
  EXPECT_EQ(CodeOf<EnxFieldValidationsDescriptorException>([&] { fieldRules.ValidationDescriptor(1); }),
            nxeInvalidParameter);
  fieldRules.Clear(false);
  EXPECT_EQ(fieldRules.ValidationCount(), 0);
}

TEST_F(ValidationDescriptorsTest, ARecordListTakesRecordLevelRulesOnly) {
  const std::u16string message = MessageOf<EnxFieldValidationsDescriptorException>(
      [&] { recordRules.AddValidation(u"Rule", &TnxBaseFieldValidationDescriptor::ClassInfo()); });
  EXPECT_TRUE(Contains(message, u"TnxFieldsValidationsDescriptor.AddValidation: aClass must be of type "
                                u"TnxBaseFieldsValidationDescriptor but is of type TnxBaseFieldValidationDescriptor"))
      << platform::Utf16ToUtf8(message);
  EXPECT_EQ(CodeOf<EnxFieldValidationsDescriptorException>(
                [&] { recordRules.AddValidation(u"Rule", &TnxBaseFieldValidationDescriptor::ClassInfo()); }),
            nxeInvalidParameter);
  EXPECT_EQ(recordRules.ValidationCount(), 0);
  // A CHECK rule derives from the field rule base too.
  AddCheck(recordRules, u"Check", u"A < B");
  AddCheck(fieldRules, u"Check", u"A < B");
  EXPECT_EQ(recordRules.AddValidation(u"Default")->ClassName(), u"TnxBaseFieldsValidationDescriptor");
  EXPECT_EQ(fieldRules.AddValidation(u"Default")->ClassName(), u"TnxBaseFieldValidationDescriptor");
}

Bytes GoldenList(int32_t aListID, int32_t aRuleID) {
  return Written([&](TnxWriter& w) {
    WriteItemHeader(w, aListID);
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{1});  // count
    w.WriteString(u"TnxSqlCheckValidationDescriptor");
    w.WriteString(u"Positive");
    WriteItemHeader(w, aRuleID);
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);   // server
    w.WriteBoolean(false);  // client
    w.WriteInteger(int32_t{1});
    w.WriteWideString_(u"Qty > 0");
    w.WriteString(u"Qty must be positive");
  });
}

TEST_F(ValidationDescriptorsTest, AListIsWrittenAndReadRuleByRule) {
  TnxSqlCheckValidationDescriptor* check = AddCheck(recordRules, u"Positive", u"Qty > 0");
  check->SetErrorMessage(u"Qty must be positive");
  const Bytes expected = GoldenList(recordRules.ID(), check->ID());
  EXPECT_EQ(SavedBytes(recordRules, 47501), expected);
  EXPECT_EQ(SavedBytes(recordRules, nxClientVersionIDs), expected);

  TnxFieldsValidationsDescriptor back(&root);
  back.AddValidation(u"Replaced");
  LoadBytes(back, expected);
  ASSERT_EQ(back.ValidationCount(), 1);
  auto* read = dynamic_cast<TnxSqlCheckValidationDescriptor*>(back.ValidationDescriptor(0));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Name(), u"Positive");
  EXPECT_EQ(read->Constraint(), u"Qty > 0");
  EXPECT_EQ(read->ErrorMessage(), u"Qty must be positive");
  EXPECT_TRUE(back.IsEqual(&recordRules));

  TnxFieldValidationsDescriptor empty(&root);
  TnxFieldValidationsDescriptor emptyBack(&root);
  LoadBytes(emptyBack, SavedBytes(empty, 47501));
  EXPECT_EQ(emptyBack.ValidationCount(), 0);
}

TEST_F(ValidationDescriptorsTest, OlderClientsAreRefusedBeforeAnythingIsWritten) {
  AddCheck(fieldRules, u"Positive", u"Qty > 0");
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    EXPECT_EQ(CodeOf<EnxFieldValidationsDescriptorException>([&] { fieldRules.SaveToWriter(w, 19999); }),
              nxeIncompatibleVersion);
    EXPECT_EQ(CodeOf<EnxBaseFieldValidationDescriptorException>(
                  [&] { fieldRules.ValidationDescriptor(0)->SaveToWriter(w, 19999); }),
              nxeIncompatibleVersion);
  }
  EXPECT_EQ(s.GetSize(), 0);
}

TEST_F(ValidationDescriptorsTest, BadStreamsAreRefused) {
  const auto list = [](int32_t aVersion, int32_t aCount, const std::function<void(TnxWriter&)>& aRules) {
    return Written([&](TnxWriter& w) {
      WriteItemHeader(w);
      w.WriteInteger(aVersion);
      w.WriteInteger(aCount);
      aRules(w);
    });
  };
  const auto rule = [](std::u16string_view aClass, std::u16string_view aName, int32_t aBaseVersion,
                       int32_t aCheckVersion) {
    return [=](TnxWriter& w) {
      w.WriteString(aClass);
      w.WriteString(aName);
      WriteItemHeader(w);
      w.WriteInteger(aBaseVersion);
      w.WriteBoolean(true);
      w.WriteBoolean(false);
      w.WriteInteger(aCheckVersion);
      w.WriteWideString_(u"A > 0");
      w.WriteString(u"");
    };
  };
  const auto nothing = [](TnxWriter&) {};
  const auto check = rule(u"TnxSqlCheckValidationDescriptor", u"R", 1, 1);
  const struct {
    const char* What;
    Bytes Stream;
    uint32_t Code;
  } cases[] = {
      {"list version", list(2, 0, nothing), nxeIncompatibleStream},
      {"negative count", list(1, -1, nothing), nxeIncompatibleStream},
      {"unknown class", list(1, 1, rule(u"TnxFooValidationDescriptor", u"R", 1, 1)),
       nxeUnsupportedDictionaryDescriptor},
      {"rule base version", list(1, 1, rule(u"TnxSqlCheckValidationDescriptor", u"R", 2, 1)), nxeIncompatibleStream},
      {"check version", list(1, 1, rule(u"TnxSqlCheckValidationDescriptor", u"R", 1, 0)), nxeIncompatibleStream},
      {"bad name", list(1, 1, rule(u"TnxSqlCheckValidationDescriptor", u"", 1, 1)), nxeInvalidName},
      {"name twice", list(1, 2, [&](TnxWriter& w) { check(w), check(w); }), nxeNameNotUnique},
  };
  for (const auto& c : cases) {
    TnxFieldValidationsDescriptor target(&root);
    try {
      LoadBytes(target, c.Stream);
      ADD_FAILURE() << c.What << ": no exception";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), c.Code) << c.What;
    }
  }
  const std::u16string message = MessageOf<EnxFieldValidationsDescriptorException>([&] {
    TnxFieldValidationsDescriptor target(&root);
    LoadBytes(target, list(1, 1, rule(u"TnxFooValidationDescriptor", u"R", 1, 1)));
  });
  EXPECT_TRUE(Contains(message, u"ValidationDescriptor class is not supported: TnxFooValidationDescriptor"))
      << platform::Utf16ToUtf8(message);

  // A count far beyond the bytes present ends at the stream's end, without
  // room being taken for it first.
  TnxFieldValidationsDescriptor target(&root);
  EXPECT_THROW(LoadBytes(target, list(1, 0x7FFFFFFF, check)), platform::Exception);
  // Every cut of a good stream is refused.
  AddCheck(fieldRules, u"Positive", u"Qty > 0");
  const Bytes good = SavedBytes(fieldRules, 47501);
  for (size_t n = 0; n < good.size(); ++n) {
    TnxFieldValidationsDescriptor cut(&root);
    EXPECT_THROW(LoadBytes(cut, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), platform::Exception)
        << n;
  }
}

TEST_F(ValidationDescriptorsTest, EqualityComparesRulesInOrder) {
  TnxFieldValidationsDescriptor other(&root);
  const auto fill = [&](TnxFieldValidationsDescriptor& aList, std::u16string_view aSecond) {
    aList.Clear(false);
    AddCheck(aList, u"A", u"X > 0");
    AddCheck(aList, u"B", aSecond);
  };
  fill(fieldRules, u"Y > 0");
  fill(other, u"Y > 0");
  EXPECT_TRUE(fieldRules.IsEqual(&other));
  // The error message is not part of the rule's meaning.
  static_cast<TnxSqlCheckValidationDescriptor*>(other.ValidationDescriptor(1))->SetErrorMessage(u"Other text");
  EXPECT_TRUE(fieldRules.IsEqual(&other));

  fill(other, u"Y >= 0");
  EXPECT_FALSE(fieldRules.IsEqual(&other));
  fill(other, u"Y > 0");
  other.ValidationDescriptor(0)->SetApplyAt(0);
  EXPECT_FALSE(fieldRules.IsEqual(&other));
  fill(other, u"Y > 0");
  other.RemoveValidation(1);
  EXPECT_FALSE(fieldRules.IsEqual(&other));
  EXPECT_FALSE(fieldRules.IsEqual(nullptr));
  EXPECT_FALSE(fieldRules.IsEqual(&recordRules));
}

TEST_F(ValidationDescriptorsTest, CheckValidRunsEveryRule) {
  AddCheck(fieldRules, u"A", u"X > 0");
  fieldRules.AddValidation(u"B");
  EXPECT_NO_THROW(fieldRules.CheckValid(true));
}


// A field and a record layout carry their lists as the last part of their
// streams: a Boolean, then the list's class name and the list.
TEST_F(ValidationDescriptorsTest, FieldsAndRecordLayoutsCarryTheirLists) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  const Bytes fieldWithout = SavedBytes(*qty, 47501);
  const Bytes fieldsWithout = SavedBytes(fields(), 47501);
  const Bytes falseTail = Written([](TnxWriter& w) { w.WriteBoolean(false); });
  ASSERT_TRUE(std::equal(falseTail.begin(), falseTail.end(), fieldWithout.end() - 1));

  AddCheck(*qty->AddValidations(), u"Positive", u"Qty > 0");
  AddCheck(*fields().AddValidations(), u"Sane", u"Qty < 1000");
  const auto withList = [&](const Bytes& aWithout, const TnxFieldValidationsDescriptor& aList) {
    Bytes b(aWithout.begin(), aWithout.end() - static_cast<std::ptrdiff_t>(falseTail.size()));
    const Bytes tail = Written([&](TnxWriter& w) {
      w.WriteBoolean(true);
      w.WriteString(aList.ClassName());
    });
    const Bytes list = SavedBytes(aList, 47501);
    b.insert(b.end(), tail.begin(), tail.end());
    b.insert(b.end(), list.begin(), list.end());
    return b;
  };
  EXPECT_EQ(SavedBytes(*qty, 47501), withList(fieldWithout, *qty->Validations()));
  const Bytes fieldsBytes = SavedBytes(fields(), 47501);

  TestRoot otherRoot;
  TnxFieldsDescriptor back(&otherRoot);
  LoadBytes(back, fieldsBytes);
  ASSERT_NE(back.Validations(), nullptr);
  ASSERT_NE(back.FieldDescriptor(0)->Validations(), nullptr);
  EXPECT_EQ(back.Validations()->ValidationDescriptor(0)->Name(), u"Sane");
  EXPECT_EQ(back.FieldDescriptor(0)->Validations()->ValidationDescriptor(0)->Name(), u"Positive");
  EXPECT_TRUE(back.IsEqual(&fields()));
  EXPECT_NO_THROW(back.CheckValid(true));

  back.FieldDescriptor(0)->RemoveValidations();
  EXPECT_FALSE(back.IsEqual(&fields()));
  back.RemoveValidations();
  EXPECT_EQ(back.Validations(), nullptr);
  // Without lists the bytes are the ones written before any rule existed.
  qty->RemoveValidations();
  fields().RemoveValidations();
  EXPECT_EQ(SavedBytes(*qty, 47501), fieldWithout);
  EXPECT_EQ(SavedBytes(fields(), 47501), fieldsWithout);
  EXPECT_TRUE(back.IsEqual(&fields()));
}

TEST_F(ValidationDescriptorsTest, AListUnderTheWrongClassNameIsRefused) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  const Bytes without = SavedBytes(*qty, 47501);
  const auto named = [&](std::u16string_view aClassName) {
    Bytes b(without.begin(), without.end() - 1);
    const Bytes tail = Written([&](TnxWriter& w) {
      w.WriteBoolean(true);
      w.WriteString(aClassName);
    });
    const Bytes list = SavedBytes(fieldRules, 47501);
    b.insert(b.end(), tail.begin(), tail.end());
    b.insert(b.end(), list.begin(), list.end());
    return b;
  };
  const struct {
    std::u16string_view Name;
    uint32_t Code;
  } cases[] = {{u"TnxFieldValidationsDescriptor", 0},
               {u"TnxValidationsDescriptor", 0},
               {u"TnxFieldsValidationsDescriptor", nxeUnsupportedDictionaryDescriptor},
               {u"TnxSqlCheckValidationDescriptor", nxeUnsupportedDictionaryDescriptor}};
  for (const auto& c : cases) {
    TnxFieldDescriptor* target = AddField(u"T" + std::u16string(c.Name), nxtInt32);
    EXPECT_EQ(CodeOf<EnxBaseException>([&] { LoadBytes(*target, named(c.Name)); }), c.Code)
        << platform::Utf16ToUtf8(std::u16string(c.Name));
  }
}

TEST_F(ValidationDescriptorsTest, AFieldWithRulesIsNotWrittenForAnOlderClient) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  EXPECT_NO_THROW(SavedBytes(*qty, 19999));
  qty->AddValidations();
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { SavedBytes(*qty, 19999); }), nxeIncompatibleVersion);
}

// Streams come from disk and from clients: a damaged one is refused with an
// exception, never read beyond its end.
TEST_F(ValidationDescriptorsTest, DamagedListStreamsAreRefusedOrReadWhole) {
  AddCheck(fieldRules, u"Positive", u"Qty > 0")->SetErrorMessage(u"Too small");
  fieldRules.AddValidation(u"Plain")->SetApplyAt(nxApplyAtBoth);
  const Bytes good = SavedBytes(fieldRules, 47501);
  // Rules with raw bounds and key fields, read under a field.
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  TnxFieldValidationsDescriptor* qtyRules = qty->AddValidations();
  auto* range = static_cast<TnxMinMaxValidationDescriptor*>(
      qtyRules->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::ClassInfo()));
  range->SetMinAsVariant(platform::TnxVariant::FromInteger(1));
  range->SetMaxAsVariant(platform::TnxVariant::FromInteger(9));
  qtyRules->AddValidation(u"Fixed", &TnxNoChangeValidationDescriptor::ClassInfo())
      ->SetApplyAt(nxApplyAtBoth);
  const Bytes keyed = SavedBytes(*qtyRules, 47501);
  std::mt19937 random(21);
  const int rounds = TestSize(2000, 100000);
  for (int round = 0; round < rounds; ++round) {
    Bytes b = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) b[random() % b.size()] = static_cast<uint8_t>(random());
    TnxFieldValidationsDescriptor target(&root);
    TnxStaticMemoryStream s(b.data(), static_cast<int64_t>(b.size()));
    TnxReader r(s);
    try {
      target.LoadFromReader(r);
    } catch (const platform::Exception&) {
    }
    Bytes k = keyed;
    for (int i = 0; i < flips; ++i) k[random() % k.size()] = static_cast<uint8_t>(random());
    TnxStaticMemoryStream ks(k.data(), static_cast<int64_t>(k.size()));
    TnxReader kr(ks);
    try {
      qty->AddValidations()->LoadFromReader(kr);
    } catch (const platform::Exception&) {
    }
  }
}


// ---- rules that compare through their own key field ----

class KeyFieldRulesTest : public ValidationDescriptorsTest {
protected:
  TnxMinMaxValidationDescriptor* AddMinMax(TnxFieldDescriptor* aField, std::u16string_view aName = u"Range") {
    TnxFieldValidationsDescriptor* list = aField->Validations() ? aField->Validations() : aField->AddValidations();
    return static_cast<TnxMinMaxValidationDescriptor*>(
        list->AddValidation(aName, &TnxMinMaxValidationDescriptor::ClassInfo()));
  }
};

TEST_F(KeyFieldRulesTest, AMinMaxRuleIsWrittenWithRawBoundsAndItsKeyField) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  TnxMinMaxValidationDescriptor* rule = AddMinMax(qty);
  ASSERT_NE(rule->KeyField(), nullptr);
  EXPECT_EQ(rule->KeyField()->FieldNumber(), nxKeyFieldOfParentField);
  EXPECT_EQ(rule->KeyField()->Field(), qty);
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(10));
  const Bytes expected = Written([&](TnxWriter& w) {
    WriteItemHeader(w, rule->ID());
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);
    const uint8_t ten[4] = {10, 0, 0, 0};
    w.Write(ten, 4);
    w.WriteBoolean(false);
    w.WriteBoolean(true);
    w.WriteString(u"TnxKeyFieldDescriptor");
  });
  Bytes withKey = expected;
  const Bytes key = SavedBytes(*rule->KeyField(), 47501);
  withKey.insert(withKey.end(), key.begin(), key.end());
  EXPECT_EQ(SavedBytes(*rule, 47501), withKey);

  // Read back through a field's list, as a field stream names the class.
  TnxFieldDescriptor* other = AddField(u"Other", nxtInt32);
  LoadBytes(*other->AddValidations(), SavedBytes(*qty->Validations(), 47501));
  auto* back = dynamic_cast<TnxMinMaxValidationDescriptor*>(other->Validations()->ValidationDescriptor(0));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetMinAsVariant().AsInt64(), 10);
  EXPECT_TRUE(back->GetMaxAsVariant().IsNull());
  EXPECT_EQ(back->KeyField()->Field(), other);
  EXPECT_TRUE(back->IsEqual(rule));

  // Without key field and with both bounds.
  rule->RemoveKeyField();
  rule->SetMaxAsVariant(platform::TnxVariant::FromInteger(-1));
  LoadBytes(*other->AddValidations(), SavedBytes(*qty->Validations(), 47501));
  back = static_cast<TnxMinMaxValidationDescriptor*>(other->Validations()->ValidationDescriptor(0));
  EXPECT_EQ(back->KeyField(), nullptr);
  EXPECT_EQ(back->Max(), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(back->IsEqual(rule));
}

TEST_F(KeyFieldRulesTest, ANoChangeRuleIsWrittenWithItsKeyField) {
  TnxFieldDescriptor* name = AddField(u"Name", nxtShortString, 20);
  auto* rule = static_cast<TnxNoChangeValidationDescriptor*>(
      name->AddValidations()->AddValidation(u"Fixed", &TnxNoChangeValidationDescriptor::ClassInfo()));
  auto* key = static_cast<TnxTextKeyFieldDescriptor*>(rule->AddKeyField(&TnxTextKeyFieldDescriptor::ClassInfo()));
  key->SetIgnoreCase(true);
  Bytes expected = Written([&](TnxWriter& w) {
    WriteItemHeader(w, rule->ID());
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);
    w.WriteString(u"TnxTextKeyFieldDescriptor");
  });
  const Bytes keyBytes = SavedBytes(*key, 47501);
  expected.insert(expected.end(), keyBytes.begin(), keyBytes.end());
  EXPECT_EQ(SavedBytes(*rule, 47501), expected);

  TnxFieldDescriptor* other = AddField(u"Other", nxtShortString, 20);
  LoadBytes(*other->AddValidations(), SavedBytes(*name->Validations(), 47501));
  auto* back = dynamic_cast<TnxNoChangeValidationDescriptor*>(other->Validations()->ValidationDescriptor(0));
  ASSERT_NE(back, nullptr);
  auto* backKey = dynamic_cast<TnxTextKeyFieldDescriptor*>(back->KeyField());
  ASSERT_NE(backKey, nullptr);
  EXPECT_TRUE(backKey->IgnoreCase());
  EXPECT_TRUE(back->IsEqual(rule));
  key->SetIgnoreCase(false);
  EXPECT_FALSE(back->IsEqual(rule));
}

TEST_F(KeyFieldRulesTest, BadKeyFieldRuleStreamsAreRefused) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  TnxMinMaxValidationDescriptor* rule = AddMinMax(qty);
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(1));
  rule->SetMaxAsVariant(platform::TnxVariant::FromInteger(9));
  const Bytes good = SavedBytes(*rule, 47501);
  // Every cut of a good stream is refused, bounds included.
  for (size_t n = 0; n < good.size(); ++n) {
    TnxMinMaxValidationDescriptor target(qty->Validations(), u"Target");
    EXPECT_THROW(LoadBytes(target, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))),
                 platform::Exception)
        << n;
  }
  const auto stream = [](int32_t aVersion, bool aBound, std::u16string_view aKeyClass) {
    return Written([&](TnxWriter& w) {
      WriteItemHeader(w);
      w.WriteInteger(int32_t{1});
      w.WriteBoolean(true);
      w.WriteBoolean(false);
      w.WriteInteger(aVersion);
      w.WriteBoolean(aBound);
      if (aBound) w.WriteInteger(int32_t{0});  // 5 bytes: more than any Int32 bound needs
      w.WriteBoolean(false);
      w.WriteBoolean(!aKeyClass.empty());
      if (!aKeyClass.empty()) w.WriteString(aKeyClass);
    });
  };
  const struct {
    const char* What;
    Bytes Stream;
    bool InField;
    uint32_t Code;
  } cases[] = {
      {"version", stream(2, false, u""), true, nxeIncompatibleStream},
      {"unknown key field class", stream(1, false, u"TnxFooKeyFieldDescriptor"), true,
       nxeUnsupportedDictionaryDescriptor},
      {"bound outside a field", stream(1, true, u""), false, nxeIncompatibleStream},
  };
  for (const auto& c : cases) {
    TnxFieldValidationsDescriptor loose(&root);
    TnxMinMaxValidationDescriptor target(c.InField ? static_cast<TnxPersistent*>(qty->Validations()) : &loose,
                                         u"Target");
    EXPECT_EQ(CodeOf<EnxBaseFieldValidationDescriptorException>([&] { LoadBytes(target, c.Stream); }), c.Code)
        << c.What;
  }
  const std::u16string message = MessageOf<EnxMinMaxValidationDescriptorException>([&] {
    TnxMinMaxValidationDescriptor target(qty->Validations(), u"Target");
    LoadBytes(target, stream(1, false, u"TnxFooKeyFieldDescriptor"));
  });
  EXPECT_TRUE(Contains(message, u"KeyFieldDescriptor class is not supported: TnxFooKeyFieldDescriptor"))
      << platform::Utf16ToUtf8(message);
}

TEST_F(KeyFieldRulesTest, BoundsFollowTheFieldsConversion) {
  TnxFieldDescriptor* qty = AddField(u"Qty", nxtInt32);
  TnxMinMaxValidationDescriptor* rule = AddMinMax(qty);
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(7));
  EXPECT_EQ(rule->Min(), (Bytes{7, 0, 0, 0}));
  // A value the field cannot take leaves no bound behind.
  EXPECT_THROW(rule->SetMinAsVariant(platform::TnxVariant::FromString(u"seven")), platform::Exception);
  EXPECT_FALSE(rule->Min().has_value());
  rule->SetMaxAsVariant(platform::TnxVariant::FromInteger(9));
  rule->SetMaxAsVariant(platform::TnxVariant::Null());
  EXPECT_FALSE(rule->Max().has_value());
  EXPECT_TRUE(rule->GetMaxAsVariant().IsNull());
  // Outside a field there is nothing to convert with.
  TnxFieldValidationsDescriptor loose(&root);
  auto* lone = static_cast<TnxMinMaxValidationDescriptor*>(
      loose.AddValidation(u"Lone", &TnxMinMaxValidationDescriptor::ClassInfo()));
  EXPECT_EQ(CodeOf<EnxMinMaxValidationDescriptorException>(
                [&] { lone->SetMinAsVariant(platform::TnxVariant::FromInteger(1)); }),
            nxeInvalidFieldDescriptor);
  EXPECT_FALSE(lone->Min().has_value());
  // Bounds take part in equality.
  rule->SetMinAsVariant(platform::TnxVariant::FromInteger(7));
  TnxMinMaxValidationDescriptor* twin = AddMinMax(AddField(u"Twin", nxtInt32), u"Range");
  EXPECT_FALSE(twin->IsEqual(rule));
  twin->SetMinAsVariant(platform::TnxVariant::FromInteger(7));
  EXPECT_TRUE(twin->IsEqual(rule));
}

TEST_F(KeyFieldRulesTest, BlobFieldsAreRefusedAndAMissingKeyFieldIsAdded) {
  const struct {
    const TnxValidationDescriptorClass* Class;
    TnxFieldType Type;
    const char16_t* Message;  // null: valid
  } cases[] = {
      {&TnxMinMaxValidationDescriptor::ClassInfo(), nxtBlobMemo,
       u"\"TnxMinMaxValidationDescriptor\" is not supported for field type \"nxtBlobMemo\""},
      {&TnxNoChangeValidationDescriptor::ClassInfo(), nxtBlob,
       u"\"TnxNoChangeValidationDescriptor\" is not supported for field type \"nxtBlob\""},
      {&TnxMinMaxValidationDescriptor::ClassInfo(), nxtBlobWideMemo,
       u"\"TnxMinMaxValidationDescriptor\" is not supported for field type \"nxtBlobWideMemo\""},
      {&TnxNoChangeValidationDescriptor::ClassInfo(), nxtInt64, nullptr},
      {&TnxMinMaxValidationDescriptor::ClassInfo(), nxtShortString, nullptr},
  };
  int n = 0;
  for (const auto& c : cases) {
    TnxFieldDescriptor* field = AddField(u"F" + std::u16string(1, char16_t(u'a' + n++)), c.Type, 10);
    auto* rule = static_cast<TnxKeyFieldValidationDescriptor*>(field->AddValidations()->AddValidation(u"R", c.Class));
    rule->RemoveKeyField();
    if (!c.Message) {
      EXPECT_NO_THROW(rule->CheckValid(true)) << n;
      ASSERT_NE(rule->KeyField(), nullptr) << n;
      EXPECT_EQ(rule->KeyField()->ClassName(), u"TnxKeyFieldDescriptor");
      EXPECT_EQ(rule->KeyField()->Field(), field);
      continue;
    }
    try {
      field->Validations()->CheckValid(true);
      ADD_FAILURE() << n << ": no exception";
    } catch (const EnxBaseFieldValidationDescriptorException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeInvalidFieldDescriptor) << n;
      EXPECT_TRUE(Contains(e.Message(), c.Message)) << platform::Utf16ToUtf8(e.Message());
    }
  }
  // Field-level only: a record list refuses them.
  EXPECT_EQ(CodeOf<EnxFieldValidationsDescriptorException>(
                [&] { recordRules.AddValidation(u"Range", &TnxMinMaxValidationDescriptor::ClassInfo()); }),
            nxeInvalidParameter);
}

}  // namespace
}  // namespace revurov::testing
