#include "server/alias_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lowlevel/components/component_exceptions.h"
#include "lowlevel/components/component_settings.h"
#include "platform/text.h"
#include "server/startup.h"
#include "support/engine_fixture.h"
#include "support/tagged_bytes.h"
#include "support/temp_dir.h"
#include "transport/support/map_configuration.h"

namespace revurov::testing {
namespace {

using platform::Utf8ToUtf16;

// "name=path" per alias, in the handler's order.
std::vector<std::u16string> Listed(TnxBaseAliasHandler& aHandler) {
  TnxAliasDescriptors list;
  EXPECT_EQ(aHandler.GetList(list), 0u);
  std::vector<std::u16string> out;
  for (const auto& d : list) out.push_back(d->adAlias + u"=" + d->adPath);
  return out;
}

class AliasHandler : public ::testing::Test {
protected:
  void Fill() {
    ASSERT_EQ(handler->Add(u"Sales", u"/data/sales", false), 0u);
    ASSERT_EQ(handler->Add(u"archive", u"/data/old", false), 0u);
  }

  TnxServerStartupGuard library;
  ComponentPtr<TnxSimpleAliasHandler> handler{new TnxSimpleAliasHandler(nullptr)};
  TempDir dir;
};

TEST_F(AliasHandler, KeepsNamesOnceWithoutCaseInSortedOrder) {
  Fill();
  EXPECT_EQ(handler->Add(u"sales", u"/other", false), 10009u);
  EXPECT_EQ(handler->Add(u"Beta", u"", false), 0u);
  EXPECT_EQ(Listed(*handler), (std::vector<std::u16string>{u"archive=/data/old", u"Beta=", u"Sales=/data/sales"}));
  std::u16string path = u"stale";
  EXPECT_EQ(handler->GetPath(u"SALES", path), 0u);
  EXPECT_EQ(path, u"/data/sales");
  EXPECT_EQ(handler->GetPath(u"nobody", path), 10014u);
  EXPECT_TRUE(handler->IsAlias(u"beta"));
  EXPECT_EQ(handler->Delete(u"BETA"), 0u);
  EXPECT_EQ(handler->Delete(u"Beta"), 10014u);
  EXPECT_FALSE(handler->IsAlias(u"beta"));
}

TEST_F(AliasHandler, RefusesPathsTheStoredFormatCannotHold) {
  for (std::u16string_view path : {u"/a;b", u"/a\rb", u"/a\nb"}) {
    EXPECT_EQ(handler->Add(u"X", path, false), 9986u);
    EXPECT_FALSE(handler->IsAlias(u"X"));
  }
  // "=" in a path reads back: only the first "=" ends the name.
  EXPECT_EQ(handler->Add(u"X", u"/a=b", false), 0u);
}

TEST_F(AliasHandler, EnforceMakesTheFolderWithItsParents) {
  const std::string deep = dir.Path("one/two/three");
  EXPECT_EQ(handler->Add(u"Deep", Utf8ToUtf16(deep), true), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(deep));

  dir.Write("file", "x");
  EXPECT_EQ(handler->Add(u"Blocked", Utf8ToUtf16(dir.Path("file/sub")), true), 9219u);
  EXPECT_FALSE(handler->IsAlias(u"Blocked"));
}

TEST_F(AliasHandler, ModifyChangesOnlyWhatItMayAndLosesNothingOnRefusal) {
  dir.Write("file", "x");
  const std::u16string blocked = Utf8ToUtf16(dir.Path("file/sub"));
  struct Case {
    const char* name;
    std::u16string alias, newName, newPath;
    bool enforce;
    uint32_t result;
    std::vector<std::u16string> after;
  } cases[] = {
      {"new path only", u"Sales", u"", u"/new", false, 0, {u"archive=/data/old", u"Sales=/new"}},
      {"same name, new path", u"Sales", u"Sales", u"/new", false, 0, {u"archive=/data/old", u"Sales=/new"}},
      {"rename keeps the path", u"sales", u"Zeta", u"", false, 0, {u"archive=/data/old", u"Zeta=/data/sales"}},
      {"rename with path", u"Sales", u"Zeta", u"/z", false, 0, {u"archive=/data/old", u"Zeta=/z"}},
      {"case-only rename", u"Sales", u"SALES", u"", false, 10009, {u"archive=/data/old", u"Sales=/data/sales"}},
      {"taken name", u"Sales", u"ARCHIVE", u"/z", false, 10009, {u"archive=/data/old", u"Sales=/data/sales"}},
      {"missing alias", u"Nobody", u"", u"", false, 10014, {u"archive=/data/old", u"Sales=/data/sales"}},
      {"missing alias renamed", u"Nobody", u"Zeta", u"/z", false, 10014, {u"archive=/data/old", u"Sales=/data/sales"}},
      {"rename to a folder that cannot be made", u"Sales", u"Zeta", blocked, true, 9219,
       {u"archive=/data/old", u"Sales=/data/sales"}},
      {"path that cannot be made", u"Sales", u"", blocked, true, 9219, {u"archive=/data/old", u"Sales=/data/sales"}},
      {"rename to a path with ;", u"Sales", u"Zeta", u"/a;b", false, 9986, {u"archive=/data/old", u"Sales=/data/sales"}},
  };
  for (const Case& c : cases) {
    handler->Clear();
    Fill();
    EXPECT_EQ(handler->Modify(c.alias, c.newName, c.newPath, c.enforce), c.result) << c.name;
    EXPECT_EQ(Listed(*handler), c.after) << c.name;
  }
}

// A configuration store that collects the load's error text.
class TCollectingConfiguration : public TnxBaseServerConfiguration {
public:
  TCollectingConfiguration() : TnxBaseServerConfiguration(u"test.cfg") {}
  void EnsureComponentConfiguration(std::u16string_view, TnxBaseSettings&) override {}
  TnxBaseComponentConfiguration* GetComponentConfiguration(std::u16string_view) override { return nullptr; }
  void Save() override {}
};
class TStoredConfiguration : public TMapConfiguration {
public:
  explicit TStoredConfiguration(TnxBaseServerConfiguration* aStore) { fConfig = aStore; }
};

TEST_F(AliasHandler, ConfigurationTextRoundTrips) {
  Fill();
  TMapConfiguration config;
  handler->SaveConfig(config);
  EXPECT_EQ(config.values[u"Aliases"].AsString(), u"archive=/data/old;Sales=/data/sales;");
  ComponentPtr<TnxSimpleAliasHandler> other{new TnxSimpleAliasHandler(nullptr)};
  other->Add(u"Gone", u"", false);
  other->LoadConfig(config);
  EXPECT_EQ(Listed(*other), Listed(*handler));
}

TEST_F(AliasHandler, ConfigurationProblemsAreReportedNotRaised) {
  TCollectingConfiguration store;
  TStoredConfiguration config(&store);
  const std::u16string existing = Utf8ToUtf16(dir.Path(""));
  config.values[u"Aliases"] = platform::TnxVariant::FromString(u" Lead=/x;Missing=/no/such/folder;Mem=#mem;Here=" +
                                                                existing + u";");
  handler->LoadConfig(config);
  EXPECT_EQ(Listed(*handler), (std::vector<std::u16string>{u"Here=" + existing, u"Mem=#mem", u"Missing=/no/such/folder"}));
  EXPECT_EQ(store.fConfigErrors,
            u"ERROR: AliasName \" Lead\" is not valid. Alias has not been activated in the server engine.\r\n"
            u"WARNING: Database folder for \"Missing\" does not exist: \"/no/such/folder\"\r\n");
}

TEST_F(AliasHandler, SettingsStreamListsAliasesLastFirst) {
  Fill();
  handler->SetName(u"H");
  TaggedBytes expected = Written([](TnxWriter& w) {
    w.WriteInteger(int32_t{1});
    w.WriteString(u"H");
  });
  const uint8_t own[] = {vaInt8, 1, vaList,
                         vaString, 5, 'S', 'a', 'l', 'e', 's', vaString, 11, '/', 'd', 'a', 't', 'a', '/', 's', 'a', 'l', 'e', 's',
                         vaString, 7, 'a', 'r', 'c', 'h', 'i', 'v', 'e', vaString, 9, '/', 'd', 'a', 't', 'a', '/', 'o', 'l', 'd',
                         vaNull};
  expected.insert(expected.end(), std::begin(own), std::end(own));
  const TaggedBytes bytes = Written([&](TnxWriter& w) { handler->SaveSettingsToStream(w); });
  EXPECT_EQ(bytes, expected);

  ComponentPtr<TnxSimpleAliasHandler> other{new TnxSimpleAliasHandler(nullptr)};
  ReadAll(bytes, [&](TnxReader& r) {
    other->LoadSettingsFromStream(r);
    return 0;
  });
  EXPECT_EQ(Listed(*other), Listed(*handler));

  TaggedBytes version2 = bytes;
  version2[expected.size() - sizeof own + 1] = 2;
  try {
    ReadAll(version2, [&](TnxReader& r) {
      other->LoadSettingsFromStream(r);
      return 0;
    });
    ADD_FAILURE() << "version 2 was read";
  } catch (const EnxComponentException& e) {
    EXPECT_EQ(e.ErrorCode(), 15498u);
  }
  EXPECT_TRUE(Listed(*other).empty());
}

}  // namespace
}  // namespace revurov::testing
