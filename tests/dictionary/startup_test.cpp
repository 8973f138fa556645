#include "dictionary/startup.h"

#include <gtest/gtest.h>

#include "dictionary/field_types.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/startup.h"

namespace revurov {
namespace {

TEST(DictionaryStartup, StartsTheLowLevelLibraryFirstAndStopsItLast) {
  ASSERT_EQ(nxDictionaryStartupCount(), 0);
  ASSERT_EQ(nxLowLevelStartupCount(), 0);
  nxDictionaryStartup();
  EXPECT_EQ(nxLowLevelStartupCount(), 1);
  EXPECT_EQ(nxFieldTypeFromSqlName(u"money"), nxtCurrency);
  nxDictionaryStartup();
  EXPECT_EQ(nxDictionaryStartupCount(), 2);
  EXPECT_EQ(nxLowLevelStartupCount(), 1);
  nxDictionaryShutdown();
  EXPECT_EQ(nxFieldTypeFromSqlName(u"money"), nxtCurrency);
  nxDictionaryShutdown();
  EXPECT_EQ(nxDictionaryStartupCount(), 0);
  EXPECT_EQ(nxLowLevelStartupCount(), 0);
  // The name list went with the last shut-down.
  EXPECT_THROW(nxFieldTypeFromSqlName(u"money"), EnxBaseException);
  nxDictionaryShutdown();  // unbalanced: nothing
  EXPECT_EQ(nxDictionaryStartupCount(), 0);
}

TEST(DictionaryStartup, KeepsAStartedLowLevelLibraryRunning) {
  TnxLowLevelStartupGuard library;
  {
    TnxDictionaryStartupGuard dictionary;
    EXPECT_EQ(nxLowLevelStartupCount(), 2);
  }
  EXPECT_EQ(nxLowLevelStartupCount(), 1);
}

}  // namespace
}  // namespace revurov
