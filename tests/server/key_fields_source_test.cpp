// The key fields source of a table cursor: the current index's key fields,
// followed across index switches, and no fields without an index.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "dictionary/key_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/variant.h"
#include "server/key_fields_source.h"
#include "support/position_table.h"

namespace revurov::testing {
namespace {

class KeyFieldsSourceTest : public PositionTableFixture {
protected:
  void SetUp() override {
    BuildTable();
    std::mt19937 random(137);
    Load(RandomRows(200, random));
  }
};

const TnxKeyFieldsSource& SourceOf(PositionCursor* aCursor) {
  return *static_cast<const TnxKeyFieldsSource*>(aCursor->sbcGetKeyFieldsSource());
}

TEST_F(KeyFieldsSourceTest, AnswersWithTheCurrentIndexAndItsOwner) {
  PositionCursor* cursor = NewCursor(IndexNo(u"ByGrpStamp"));
  const TnxKeyFieldsSource& source = SourceOf(cursor);
  EXPECT_EQ(&source.Owner(), cursor);
  EXPECT_EQ(source.GetFieldCount(), 2);
  EXPECT_EQ(source.GetFieldFromName(u"Stamp"), 1);
  EXPECT_EQ(source.GetFieldDescriptor(1), Index(IndexNo(u"ByGrpStamp")).KeyEngine().GetKeyFieldEngine(1));
  // The same source on every call: key filters keep it as long as the cursor.
  EXPECT_EQ(cursor->sbcGetKeyFieldsSource(), &source);

  ASSERT_EQ(cursor->sbcSwitchToIndex(u"ByID", 0, porFalse), 0u);
  EXPECT_EQ(source.GetFieldCount(), 1);
  EXPECT_EQ(source.GetFieldFromName(u"ID"), 0);
  EXPECT_EQ(source.GetFieldFromName(u"Stamp"), -1);
}

TEST_F(KeyFieldsSourceTest, WithoutAnIndexThereAreNoFields) {
  PositionCursor* cursor = NewCursor(IndexNo(u"ByID"));
  const TnxKeyFieldsSource& source = SourceOf(cursor);
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", -1, porFalse), 0u);
  uint8_t key[64] = {};
  uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = false;
  const void* value = nullptr;
  TnxFieldPlace place;
  EXPECT_EQ(source.GetFieldCount(), 0);
  EXPECT_FALSE(source.GetFieldForFilter(0, nullptr, key, type, size, isNull, value, codePage));
  EXPECT_FALSE(source.GetFieldForFilter(0, "ID", key, type, size, isNull, value, codePage));
  EXPECT_FALSE(source.GetFieldPlace(0, place));
  EXPECT_EQ(source.GetFieldFromName(u"ID"), -1);
  EXPECT_EQ(source.GetFieldDescriptor(0), nullptr);
  EXPECT_EQ(source.GetFieldsOffset(), 0);
  EXPECT_TRUE(source.GetFieldAsVariant(key, 0).IsEmpty());
  EXPECT_EQ(&source.Owner(), cursor);
}

// Accepts keys whose first field is the short string "c".
bool FirstKeyFieldIsC(void* aCookie, const uint8_t* aKey) {
  const auto* source = static_cast<const InxFieldsSource*>(aCookie);
  uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  if (!source->GetFieldForFilter(0, nullptr, aKey, type, size, isNull, value, codePage) || isNull) return false;
  // A short string's value is its characters, aSize of them.
  return type == nxtShortString && size == 1 && *static_cast<const char*>(value) == 'c';
}

TEST_F(KeyFieldsSourceTest, AKeyFilterMadeBeforeASwitchReadsTheNewIndexsFields) {
  PositionCursor* cursor = NewCursor(IndexNo(u"ByID"));
  const InxFieldsSource* source = cursor->sbcGetKeyFieldsSource();
  TnxKeyFilterID id = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(const_cast<InxFieldsSource*>(source), &FirstKeyFieldIsC, id), 0u);
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0u);
  // On ByID the first field is a number: nothing passes.
  std::vector<uint8_t> record = Record(PositionRow{0, std::string("a"), 0, 0});
  EXPECT_EQ(cursor->sbcSetToKey(skaGreaterEqual, 0, 0, false, record.data()), 0u);
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);

  const int32_t byName = IndexNo(u"ByName");
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", byName, porFalse), 0u);
  // A switch deactivates the key filter; the filter itself stays.
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0u);
  ASSERT_EQ(cursor->sbcSetToKey(skaGreaterEqual, 0, 0, false, record.data()), 0u);
  TnxRefNr expected = 0;
  for (const auto& entry : Model(byName)) {
    if (FirstKeyFieldIsC(const_cast<InxFieldsSource*>(source), entry.Key.data())) {
      expected = entry.RefNr;
      break;
    }
  }
  ASSERT_NE(expected, 0);
  EXPECT_EQ(cursor->sbcGetPosition(), ippOnCrackBefore);
  EXPECT_EQ(cursor->IndexPath()->RefNr, expected);
  EXPECT_EQ(cursor->lockDepth, 0);
}

}  // namespace
}  // namespace revurov::testing
