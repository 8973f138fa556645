#include "dictionary/locale_descriptor.h"

#include <gtest/gtest.h>

#include <thread>

#include "dictionary/dictionary_tree_fixture.h"
#include "platform/cmdline.h"
#include "platform/locale.h"
#include "platform/nls.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::LoadBytes;
using testing::LocalizedItem;
using testing::SavedBytes;
using testing::TestRoot;
using testing::Written;

constexpr uint32_t kGerman = 1031;
constexpr uint32_t kSwedish = 1053;
constexpr uint32_t kJapanese = 1041;
constexpr uint32_t kUnknownLCID = 0x7FFF;

// A collation version that this machine's ICU does not have.
std::vector<uint8_t> LocaleStreamWithBuildVersion(uint32_t aLCID, uint32_t aNLSVersion) {
  return Written([&](TnxWriter& w) {
    testing::WriteItemHeader(w);
    w.WriteInteger(int32_t{2});
    w.WriteInteger(int64_t{aLCID});
    for (bool option : {false, true, false, false, true}) w.WriteBoolean(option);
    w.WriteInteger(int32_t{0});
    w.WriteBoolean(true);
    w.WriteInteger(int64_t{aNLSVersion});
    w.WriteInteger(int64_t{0x0F000000});
    w.WriteInteger(int64_t{aLCID});
    w.WriteGuid(platform::TGUID{});
  });
}

class LocaleTest : public testing::DictionaryTreeTest {
protected:
  TestRoot root;
};

TEST_F(LocaleTest, ANewLocaleHoldsTheConcreteDefaultAndNoOptions) {
  TnxLocaleDescriptor locale(&root);
  EXPECT_NE(locale.Locale(), platform::LOCALE_SYSTEM_DEFAULT);
  EXPECT_EQ(locale.Locale(), platform::ResolveLocale(platform::LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(locale.GetFlags(), 0u);
  EXPECT_EQ(locale.OverrideStorageCodepage(), 0);
  EXPECT_EQ(locale.NLSVersionInfoBuild(), nullptr);

  const std::pair<uint32_t, uint32_t> conversions[] = {
      {0, 0}, {kGerman, kGerman}, {0x07, kGerman}, {0x1D, kSwedish},  // neutral languages
      {platform::LOCALE_USER_DEFAULT, platform::ResolveLocale(platform::LOCALE_USER_DEFAULT)},
      {platform::LOCALE_INVARIANT, platform::LOCALE_INVARIANT}};
  for (auto [given, stored] : conversions) {
    locale.SetLocale(given);
    EXPECT_EQ(locale.Locale(), stored) << given;
  }
}

TEST_F(LocaleTest, OptionsMapOntoCompareFlags) {
  TnxLocaleDescriptor locale(&root);
  locale.SetIgnoreNonSpace(true);
  locale.SetUseStringSort(true);
  EXPECT_EQ(locale.GetFlags(), 0x1002u);
  locale.SetFlags(0x00010000 | 0x00020000 | 0x4 | 0x1);  // ignore case is no option
  EXPECT_TRUE(locale.IgnoreKanaType());
  EXPECT_TRUE(locale.IgnoreWidth());
  EXPECT_TRUE(locale.IgnoreSymbols());
  EXPECT_FALSE(locale.IgnoreNonSpace());
  EXPECT_FALSE(locale.UseStringSort());
  EXPECT_EQ(locale.GetFlags(), 0x30004u);
  EXPECT_EQ(platform::NORM_IGNORENONSPACE | platform::SORT_STRINGSORT, 0x1002u);
}

TEST_F(LocaleTest, EachLocaleComparesInItsDefaultAnsiCodePage) {
  const std::pair<uint32_t, uint32_t> table[] = {
      {1031, 1252}, {1033, 1252}, {1053, 1252}, {1036, 1252}, {1045, 1250}, {1029, 1250}, {1049, 1251},
      {1058, 1251}, {1032, 1253}, {1055, 1254}, {1037, 1255}, {1025, 1256}, {1061, 1257}, {1066, 1258},
      {1054, 874},  {1041, 932},  {2052, 936},  {1042, 949},  {1028, 950},  {1081, 0},    {0, 0}};
  TnxLocaleDescriptor locale(&root);
  for (auto [lcid, codePage] : table) {
    locale.SetLocale(lcid);
    EXPECT_EQ(locale.GetCompareCodepage(), codePage) << lcid;
    EXPECT_EQ(locale.GetStorageCodepage(), codePage) << lcid;
  }
  locale.SetLocale(kGerman);
  locale.SetOverrideStorageCodepage(65001);
  EXPECT_EQ(locale.GetStorageCodepage(), 65001u);
  EXPECT_EQ(locale.GetCompareCodepage(), 1252u);

  locale.SetLocale(kUnknownLCID);
  EXPECT_THROW(locale.GetCompareCodepage(), EnxBaseException);
  EXPECT_EQ(locale.GetStorageCodepage(), 65001u);  // the override needs no locale
}

TEST_F(LocaleTest, ValidationRefusesWhatIsNotInstalled) {
  TnxLocaleDescriptor locale(&root);
  locale.SetLocale(kUnknownLCID);
  try {
    locale.CheckValid(false);
    FAIL();
  } catch (const EnxLocaleDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidLanguageDriver);
    EXPECT_NE(e.Message().find(u"Locale not supported/installed: 32767"), std::u16string::npos);
  }
  locale.SetLocale(kGerman);
  locale.SetOverrideStorageCodepage(12345);
  try {
    locale.CheckValid(false);
    FAIL();
  } catch (const EnxLocaleDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidLanguageDriver);
    EXPECT_NE(e.Message().find(u"Invalid codepage: 12345"), std::u16string::npos);
  }
  locale.SetOverrideStorageCodepage(65001);
  locale.CheckValid(false);
  EXPECT_EQ(locale.NLSVersionInfoBuild(), nullptr);  // only a build stamps
  locale.SetLocale(0);
  locale.CheckValid(true);
  EXPECT_EQ(locale.NLSVersionInfoBuild(), nullptr);  // nothing to stamp without a locale
}

TEST_F(LocaleTest, ABuildStampsTheCollationVersionInForce) {
  TnxLocaleDescriptor locale(&root);
  locale.SetLocale(kGerman);
  EXPECT_TRUE(locale.GetCurrentLocaleVersionEqualToBuildVersion());  // nothing recorded
  locale.CheckValid(true);
  ASSERT_NE(locale.NLSVersionInfoBuild(), nullptr);
  TnxNLSVersionInfoEx now;
  nxGetNLSVersion(kGerman, now);
  EXPECT_EQ(locale.NLSVersionInfoBuild()->dwNLSVersion, now.dwNLSVersion);
  EXPECT_EQ(locale.NLSVersionInfoBuild()->dwEffectiveId, kGerman);
  EXPECT_TRUE(locale.GetCurrentLocaleVersionEqualToBuildVersion());

  // A table built with other collation tables: its keys may sort otherwise.
  TnxLocaleDescriptor foreign(&root);
  LoadBytes(foreign, LocaleStreamWithBuildVersion(kGerman, now.dwNLSVersion ^ 0x100));
  EXPECT_FALSE(foreign.GetCurrentLocaleVersionEqualToBuildVersion());
  foreign.SetLocale(0);
  EXPECT_TRUE(foreign.GetCurrentLocaleVersionEqualToBuildVersion());
}

TEST_F(LocaleTest, ChangingTheLocaleForgetsTheCurrentVersionOfTheOldOne) {
  TnxLocaleDescriptor locale(&root);
  locale.SetLocale(kGerman);
  locale.CheckValid(true);
  ASSERT_TRUE(locale.GetCurrentLocaleVersionEqualToBuildVersion());  // fetched for German
  locale.SetLocale(kJapanese);  // still stamped as German
  EXPECT_FALSE(locale.GetCurrentLocaleVersionEqualToBuildVersion());
  locale.CheckValid(true);
  EXPECT_TRUE(locale.GetCurrentLocaleVersionEqualToBuildVersion());
}

TEST_F(LocaleTest, TheCurrentVersionIsFetchedOnceAcrossThreads) {
  TnxLocaleDescriptor locale(&root);
  locale.SetLocale(kSwedish);
  locale.CheckValid(true);
  root.ActivateCache();
  std::vector<std::thread> threads;
  std::atomic<int> equal{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) equal += locale.GetCurrentLocaleVersionEqualToBuildVersion() ? 1 : 0;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(equal, 400);
}

TEST_F(LocaleTest, CompareableLocalesMayStoreInOtherCodePages) {
  TnxLocaleDescriptor a(&root), b(&root);
  a.SetLocale(kGerman);
  b.SetLocale(kGerman);
  a.SetIgnoreSymbols(true);
  b.SetIgnoreSymbols(true);
  b.SetOverrideStorageCodepage(65001);
  EXPECT_TRUE(a.IsCompareable(&b));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetOverrideStorageCodepage(0);
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetIgnoreWidth(true);
  EXPECT_FALSE(a.IsCompareable(&b));
  b.SetIgnoreWidth(false);
  b.SetLocale(kSwedish);
  EXPECT_FALSE(a.IsCompareable(&b));
  b.SetIsDefaultStringLiteralLocale(true);  // neither streamed nor compared
  b.SetLocale(kGerman);
  EXPECT_TRUE(a.IsEqual(&b));
}

TEST_F(LocaleTest, WritesTheOldestLayoutTheReaderKnows) {
  TnxLocaleDescriptor locale(&root);
  locale.SetLocale(kGerman);
  locale.SetIgnoreNonSpace(true);
  locale.SetUseStringSort(true);
  locale.SetOverrideStorageCodepage(1250);
  locale.CheckValid(true);
  const TnxNLSVersionInfoEx stamp = *locale.NLSVersionInfoBuild();
  auto header = [&](TnxWriter& w) { testing::WriteItemHeader(w, locale.ID()); };
  auto fields = [&](TnxWriter& w, int32_t version) {
    w.WriteInteger(version);
    w.WriteInteger(int32_t{kGerman});
    for (bool option : {false, true, false, false, true}) w.WriteBoolean(option);
    w.WriteInteger(int32_t{1250});
  };
  EXPECT_EQ(SavedBytes(locale, nxLibraryVersion), Written([&](TnxWriter& w) {
              header(w);
              fields(w, 2);
              w.WriteBoolean(true);
              w.WriteInteger(int64_t{stamp.dwNLSVersion});
              w.WriteInteger(int64_t{stamp.dwDefinedVersion});
              w.WriteInteger(int64_t{stamp.dwEffectiveId});
              w.WriteGuid(platform::TGUID{});
            }));
  const auto layout1 = Written([&](TnxWriter& w) {
    header(w);
    fields(w, 1);
  });
  EXPECT_EQ(SavedBytes(locale, 30899), layout1);
  EXPECT_EQ(SavedBytes(locale, 20000), layout1);
  EXPECT_EQ(SavedBytes(locale, 30900), SavedBytes(locale, nxLibraryVersion));
  EXPECT_EQ(CodeOf<EnxLocaleDescriptorException>([&] { SavedBytes(locale, 19999); }), nxeIncompatibleVersion);

  // Read back: layout 2 keeps the stamp, layout 1 has none.
  for (uint32_t client : {30000u, nxLibraryVersion}) {
    TestRoot other;
    TnxLocaleDescriptor copy(&other);
    copy.CheckValid(true);  // a stamp the stream must replace or drop
    LoadBytes(copy, SavedBytes(locale, client));
    EXPECT_TRUE(copy.IsEqual(&locale)) << client;
    EXPECT_EQ(copy.Version(), client < 30900 ? 1 : 2);
    if (client < 30900) {
      EXPECT_EQ(copy.NLSVersionInfoBuild(), nullptr);
    } else {
      ASSERT_NE(copy.NLSVersionInfoBuild(), nullptr);
      EXPECT_EQ(copy.NLSVersionInfoBuild()->dwNLSVersion, stamp.dwNLSVersion);
      EXPECT_EQ(copy.NLSVersionInfoBuild()->dwDefinedVersion, stamp.dwDefinedVersion);
      EXPECT_TRUE(copy.GetCurrentLocaleVersionEqualToBuildVersion());
    }
  }
}

TEST_F(LocaleTest, ReaderRefusesUnknownLayoutsAndDamagedValues) {
  auto stream = [](int32_t version, int64_t lcid, int32_t codePage) {
    return Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteInteger(lcid);
      for (int i = 0; i < 5; ++i) w.WriteBoolean(false);
      w.WriteInteger(codePage);
      if (version == 2) w.WriteBoolean(false);
    });
  };
  TnxLocaleDescriptor locale(&root);
  LoadBytes(locale, stream(1, 0, 0));
  EXPECT_EQ(locale.Locale(), 0u);  // as stored, without conversion
  LoadBytes(locale, stream(2, 0x800, 0));
  EXPECT_EQ(locale.Locale(), 0x800u);
  for (int32_t version : {0, 3})
    EXPECT_EQ(CodeOf<EnxLocaleDescriptorException>([&] { LoadBytes(locale, stream(version, kGerman, 0)); }),
              nxeIncompatibleStream)
        << version;
  EXPECT_EQ(CodeOf<EnxLocaleDescriptorException>([&] { LoadBytes(locale, stream(1, kGerman, 70000)); }),
            nxeIncompatibleStream);
  EXPECT_EQ(CodeOf<EnxLocaleDescriptorException>([&] { LoadBytes(locale, stream(1, int64_t{1} << 40, 0)); }),
            nxeIncompatibleStream);
}

TEST_F(LocaleTest, AnItemUsesItsOwnLocaleOrItsNearestAncestors) {
  LocalizedItem field(&root);
  LocalizedItem nested(&field);
  EXPECT_EQ(nested.GetUsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(nested.GetUsedStorageCodePage(), 0u);
  TnxDictionaryItem* found = &root;
  EXPECT_TRUE(nested.FindRelatedDescriptorOfType(TnxLocaleDescriptor::ClassInfo(), found));
  EXPECT_EQ(found, nullptr);

  TnxLocaleDescriptor* table = root.AddLocaleDescriptor();
  table->SetLocale(kSwedish);
  EXPECT_EQ(field.GetUsedLocaleDescriptor(), table);
  EXPECT_EQ(nested.GetUsedLocaleDescriptor(), table);
  EXPECT_EQ(nested.GetUsedStorageCodePage(), 1252u);
  EXPECT_EQ(nested.GetRelatedDescriptorOfType(TnxLocaleDescriptor::ClassInfo()), table);

  TnxLocaleDescriptor* own = field.AddLocaleDescriptor();
  own->SetLocale(kJapanese);
  EXPECT_EQ(field.GetUsedLocaleDescriptor(), own);
  EXPECT_EQ(nested.GetUsedLocaleDescriptor(), own);
  EXPECT_EQ(nested.GetUsedStorageCodePage(), 932u);

  // The cache answers what was used when it was activated.
  root.ActivateCache();
  field.RemoveLocaleDescriptor();
  EXPECT_EQ(nested.GetUsedStorageCodePage(), 932u);
  root.DeactivateCache();
  EXPECT_EQ(nested.GetUsedLocaleDescriptor(), table);

  root.ReadOnly = true;
  EXPECT_THROW(field.AddLocaleDescriptor(), EnxDataDictionaryException);
  EXPECT_THROW(table->SetLocale(kGerman), EnxDataDictionaryException);
}

TEST_F(LocaleTest, LocalizedItemsStreamTheirOwnLocale) {
  LocalizedItem field(&root);
  EXPECT_EQ(CodeOf<EnxLocaleizedDictionaryItemException>([&] {
              TnxMemoryStream s;
              TnxWriter w(s);
              field.SaveLocaleToWriter(w, 19999);
            }),
            nxeIncompatibleVersion);

  auto saved = [](const TnxLocalizedDictionaryItem& item) {
    return Written([&](TnxWriter& w) { item.SaveLocaleToWriter(w, nxLibraryVersion); });
  };
  auto load = [](TnxLocalizedDictionaryItem& item, const std::vector<uint8_t>& bytes) {
    testing::ReadAll(bytes, [&](TnxReader& r) {
      item.LoadLocaleFromReader(r);
      return 0;
    });
  };
  LocalizedItem copy(&root);
  load(copy, saved(field));
  EXPECT_EQ(copy.LocaleDescriptor(), nullptr);
  EXPECT_TRUE(copy.IsEqual(&field));

  field.AddLocaleDescriptor()->SetLocale(kJapanese);
  EXPECT_FALSE(copy.IsEqual(&field));
  load(copy, saved(field));
  ASSERT_NE(copy.LocaleDescriptor(), nullptr);
  EXPECT_EQ(copy.LocaleDescriptor()->Locale(), kJapanese);
  EXPECT_TRUE(copy.IsEqual(&field));
  copy.LocaleDescriptor()->SetIgnoreWidth(true);
  EXPECT_FALSE(copy.IsEqual(&field));

  auto named = [](std::u16string_view className, int32_t version) {
    return Written([&](TnxWriter& w) {
      w.WriteInteger(version);
      w.WriteBoolean(true);
      w.WriteString(className);
    });
  };
  LocalizedItem bad(&root);
  try {
    load(bad, named(u"TnxOtherLocale", 1));
    FAIL();
  } catch (const EnxLocaleizedDictionaryItemException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeUnsupportedDictionaryDescriptor);
    EXPECT_NE(e.Message().find(u"LocaleDescriptor class is not supported: TnxOtherLocale"), std::u16string::npos);
  }
  EXPECT_EQ(CodeOf<EnxLocaleizedDictionaryItemException>([&] { load(bad, named(u"TnxLocaleDescriptor", 2)); }),
            nxeIncompatibleStream);
}

// The switch is read from the process's arguments at the dictionary's
// start-up.
class LocaleSwitch : public ::testing::Test {
protected:
  void TearDown() override { platform::SetCommandLineParams(saved); }
  std::vector<std::u16string> saved = platform::CommandLineParams();
};

TEST_F(LocaleSwitch, Disable30900LocaleFixesWritesTheFirstLayoutAndStampsNothing) {
  const std::vector<uint8_t> stamped = LocaleStreamWithBuildVersion(kGerman, 1);
  for (auto params : {std::vector<std::u16string>{u"-disable30900localefixes"},
                      std::vector<std::u16string>{u"x", u"/DISABLE30900LOCALEFIXES"}}) {
    platform::SetCommandLineParams(params);
    TnxDictionaryStartupGuard startup;
    ASSERT_TRUE(nxDisable30900LocaleFixes());
    TestRoot root;
    TnxLocaleDescriptor locale(&root);
    LoadBytes(locale, stamped);  // readers still take the second layout
    ASSERT_NE(locale.NLSVersionInfoBuild(), nullptr);
    EXPECT_FALSE(locale.GetCurrentLocaleVersionEqualToBuildVersion());

    TnxLocaleDescriptor copy(&root);
    LoadBytes(copy, SavedBytes(locale, nxLibraryVersion));
    EXPECT_EQ(copy.Version(), 1);
    EXPECT_EQ(copy.NLSVersionInfoBuild(), nullptr);

    locale.CheckValid(true);
    EXPECT_EQ(locale.NLSVersionInfoBuild(), nullptr);
    EXPECT_TRUE(locale.GetCurrentLocaleVersionEqualToBuildVersion());
  }
  for (auto params : {std::vector<std::u16string>{}, std::vector<std::u16string>{u"Disable30900LocaleFixes"},
                      std::vector<std::u16string>{u"-Disable30900LocaleFixesX"}}) {
    platform::SetCommandLineParams(params);
    TnxDictionaryStartupGuard startup;
    EXPECT_FALSE(nxDisable30900LocaleFixes());
    TestRoot root;
    TnxLocaleDescriptor locale(&root);
    locale.SetLocale(kGerman);
    locale.CheckValid(true);
    EXPECT_NE(locale.NLSVersionInfoBuild(), nullptr);
    TnxLocaleDescriptor copy(&root);
    LoadBytes(copy, SavedBytes(locale, nxLibraryVersion));
    EXPECT_EQ(copy.Version(), 2);
  }
}

}  // namespace
}  // namespace revurov
