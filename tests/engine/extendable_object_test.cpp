#include "engine/extendable_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "support/engine_fixture.h"

namespace revurov {
namespace {

using testing::TestCursor;
using testing::TestDatabase;
using testing::TestLockedOptions;
using testing::TestSession;

// Records the change hook.
using ExtendableObjectTest = testing::EngineFixture;

template <class Base>
class HookedOptions : public Base {
public:
  using Base::Base;
  std::vector<std::u16string> changes;

protected:
  void esoOptionChanged(std::u16string_view aName, std::u16string_view aValue) override {
    changes.push_back(std::u16string(aName) + u"=" + std::u16string(aValue));
  }
};

template <class T>
class OptionsTest : public testing::EngineFixture {};
using OptionClasses = ::testing::Types<HookedOptions<TestDatabase>, HookedOptions<TestLockedOptions>>;
TYPED_TEST_SUITE(OptionsTest, OptionClasses);

std::vector<std::u16string> Lines(const platform::TStringList& aList) {
  std::vector<std::u16string> lines;
  for (int i = 0; i < aList.Count(); ++i) lines.push_back(aList[i]);
  return lines;
}

TYPED_TEST(OptionsTest, NamesCompareWithoutCaseAndEmptyValueRemoves) {
  TestSession* session = this->engine->Open();
  auto object = nxCreateServerObject<TypeParam>(session);
  EXPECT_EQ(object->OptionSet(u"a", u"1"), 0u);
  EXPECT_EQ(object->OptionSet(u"A", u"2"), 0u);
  platform::TStringList list;
  EXPECT_EQ(object->OptionList(list), 0u);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"A=2"}) << "one line, named as last set";
  std::u16string value = u"stale";
  EXPECT_EQ(object->OptionGet(u"a", value), 0u);
  EXPECT_EQ(value, u"2");

  EXPECT_EQ(object->OptionSet(u"a", u""), 0u);
  EXPECT_EQ(object->OptionGet(u"a", value), nxeObjectNotFound);
  EXPECT_EQ(value, u"");
  EXPECT_EQ(object->changes, (std::vector<std::u16string>{u"a=1", u"A=2", u"a="}));
}

TYPED_TEST(OptionsTest, ClearingRemovesTheOptionAndAMissingOneAnswers8712) {
  TestSession* session = this->engine->Open();
  auto object = nxCreateServerObject<TypeParam>(session);
  object->OptionSet(u"only", u"1");
  EXPECT_EQ(object->OptionClear(u"ONLY"), 0u);
  platform::TStringList list;
  list.Add(u"junk");
  EXPECT_EQ(object->OptionList(list), 0u);
  EXPECT_EQ(list.Count(), 0);
  object->changes.clear();
  EXPECT_EQ(object->OptionClear(u"only"), nxeObjectNotFound);
  EXPECT_TRUE(object->changes.empty()) << "a missing option calls no hook";
}

// A name the name=value store would file under another option.
TYPED_TEST(OptionsTest, NamesThatCannotBeStoredAreRefusedWith9986) {
  TestSession* session = this->engine->Open();
  auto object = nxCreateServerObject<TypeParam>(session);
  object->OptionSet(u"a", u"1");
  for (std::u16string_view name : {u"", u"a=b", u"=", u"a="}) {
    std::u16string value = u"stale";
    EXPECT_EQ(object->OptionSet(name, u"2"), nxeInvalidParameter);
    EXPECT_EQ(object->OptionGet(name, value), nxeInvalidParameter);
    EXPECT_EQ(value, u"");
    EXPECT_EQ(object->OptionGetEffective(name, value), nxeInvalidParameter);
    EXPECT_EQ(object->OptionClear(name), nxeInvalidParameter);
  }
  platform::TStringList list;
  object->OptionList(list);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"a=1"}) << "option a is untouched";
}

// A cursor with its own "x" under a database with "x" and "y" under a
// session with "z".
TYPED_TEST(OptionsTest, EffectiveValuesClimbTheParents) {
  TestSession* session = this->engine->Open();
  auto db = nxCreateServerObject<TypeParam>(session);
  auto cursor = nxCreateServerObject<TypeParam>(db.get());
  session->OptionSet(u"z", u"session");
  db->OptionSet(u"x", u"db");
  db->OptionSet(u"y", u"db");
  cursor->OptionSet(u"x", u"cursor");

  struct Case {
    std::u16string_view name;
    uint32_t result;
    std::u16string_view value;
  } cases[] = {
      {u"x", 0, u"cursor"}, {u"Y", 0, u"db"}, {u"z", 0, u"session"}, {u"w", nxeObjectNotFound, u""}};
  for (const Case& c : cases) {
    std::u16string value = u"stale";
    EXPECT_EQ(cursor->OptionGetEffective(c.name, value), c.result);
    EXPECT_EQ(value, c.value);
  }
  platform::TStringList list;
  EXPECT_EQ(cursor->OptionListEffective(list), 0u);
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"x=cursor", u"y=db"})) << "the session's lines are not merged";

  platform::TStringList own, effective;
  session->OptionList(own);
  session->OptionListEffective(effective);
  EXPECT_EQ(Lines(effective), Lines(own)) << "no parent: effective is own";
}

TEST_F(ExtendableObjectTest, IgnoreSecurityHoldsWhileAnAncestorCountsAbove0) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  EXPECT_FALSE(cursor->IgnoreSecurity());
  db->BeginIgnoreSecurity();
  db->BeginIgnoreSecurity();
  EXPECT_TRUE(cursor->IgnoreSecurity());
  EXPECT_FALSE(session->IgnoreSecurity());
  db->EndIgnoreSecurity();
  EXPECT_TRUE(cursor->IgnoreSecurity());
  db->EndIgnoreSecurity();
  EXPECT_FALSE(cursor->IgnoreSecurity());
}

TEST_F(ExtendableObjectTest, ExceptionDataListsTheOptions) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestLockedOptions>(session);
  std::u16string without = db->GetEncodedExceptionData(false);
  db->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1");
  std::u16string with = db->GetEncodedExceptionData(false);
  EXPECT_NE(with, without);
}

}  // namespace
}  // namespace revurov
