#include "server/server_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/components/component_exceptions.h"
#include "lowlevel/components/component_info.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/interfaced_object.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/alias_handler.h"
#include "server/server_session.h"
#include "storage/buffer_manager.h"
#include "storage/journal_classes.h"
#include "support/exception_message.h"
#include "support/server_fixture.h"
#include "support/tagged_bytes.h"
#include "support/temp_dir.h"
#include "transport/registry_hook.h"
#include "transport/support/map_configuration.h"

namespace revurov::testing {
namespace {

using platform::TnxVariant;

constexpr TnxServerEngineOptions Opt(TnxServerEngineOption aOption) { return nxServerEngineOption(aOption); }

void AppendString(TaggedBytes& aBytes, std::string_view aText) {
  aBytes.push_back(vaString);
  aBytes.push_back(static_cast<uint8_t>(aText.size()));
  aBytes.insert(aBytes.end(), aText.begin(), aText.end());
}

class ServerEngineSettings : public ServerFixture {
protected:
  // What the engine's ancestors write before its own part.
  TaggedBytes AncestorPart() {
    ComponentPtr<TnxStateComponent> plain{new TnxStateComponent(nullptr)};
    plain->SetName(u"Srv");
    return Written([&](TnxWriter& w) { plain->SaveSettingsToStream(w); });
  }
  // The engine's own part with the server name "Alpha", MaxRAM 512, the
  // temporary store of -1 MB in "/t".
  TaggedBytes OwnPart(int8_t aVersion, std::string_view aJournal, const std::vector<std::string_view>& aOptions) {
    TaggedBytes b{vaInt8, static_cast<uint8_t>(aVersion)};
    AppendString(b, "Alpha");
    b.insert(b.end(), {vaInt16, 0x00, 0x02});
    b.insert(b.end(), {vaInt8, 0xFF});
    AppendString(b, "/t");
    if (aJournal.empty())
      b.insert(b.end(), {vaWString, 0, 0, 0, 0});
    else
      AppendString(b, aJournal);
    b.push_back(vaList);
    for (std::string_view option : aOptions) AppendString(b, option);
    b.push_back(vaNull);
    return b;
  }
  void Configure(TnxServerEngine& aEngine) {
    aEngine.SetName(u"Srv");
    aEngine.SetServerName(u"Alpha");
    aEngine.SetMaxRAM(512);
    aEngine.SetTempStorePath(u"/t");
    aEngine.SetOptions(Opt(seoReadOnly) | Opt(seoIsSecure));
  }
  void Load(TnxServerEngine& aEngine, const TaggedBytes& aBytes) {
    ReadAll(aBytes, [&](TnxReader& r) {
      aEngine.LoadSettingsFromStream(r);
      return 0;
    });
  }
};

TEST_F(ServerEngineSettings, WritesTheTaggedPartAfterItsAncestors) {
  Configure(*engine);
  TaggedBytes expected = AncestorPart();
  TaggedBytes own = OwnPart(1, "Tnx1xRollbackJournalEngine", {"seoReadOnly", "seoIsSecure"});
  expected.insert(expected.end(), own.begin(), own.end());
  EXPECT_EQ(Written([&](TnxWriter& w) { engine->SaveSettingsToStream(w); }), expected);
}

TEST_F(ServerEngineSettings, ReadsItsOwnStreamBack) {
  Configure(*engine);
  nxSetDefaultJournalEngineClass(nxFindJournalEngineClass(u"Tnx1xCommitJournalEngine"));
  const TaggedBytes bytes = Written([&](TnxWriter& w) { engine->SaveSettingsToStream(w); });
  nxSetDefaultJournalEngineClass(nullptr);
  ComponentPtr<TnxServerEngine> other{new TnxServerEngine(nullptr)};
  Load(*other, bytes);
  EXPECT_EQ(other->GetServerName(), u"Alpha");
  EXPECT_EQ(other->MaxRAM(), 512);
  EXPECT_EQ(other->TempStoreSize(), -1);
  EXPECT_EQ(other->TempStorePath(), u"/t");
  EXPECT_EQ(other->Options(), Opt(seoReadOnly) | Opt(seoIsSecure));
  EXPECT_EQ(nxDefaultJournalEngineClassName(), u"Tnx1xCommitJournalEngine");
}

TEST_F(ServerEngineSettings, AnEngineWithoutJournalClassReadsItsEmptyNameAsNone) {
  Configure(*engine);
  nxSetDefaultJournalEngineClass(nullptr);
  TaggedBytes expected = AncestorPart();
  TaggedBytes own = OwnPart(1, "", {"seoReadOnly", "seoIsSecure"});
  expected.insert(expected.end(), own.begin(), own.end());
  const TaggedBytes bytes = Written([&](TnxWriter& w) { engine->SaveSettingsToStream(w); });
  EXPECT_EQ(bytes, expected);
  nxSetDefaultJournalEngineClass(nxFindJournalEngineClass(u"Tnx1xJournalEngine"));
  Load(*engine, bytes);
  EXPECT_EQ(nxDefaultJournalEngineClass(), nullptr);
}

TEST_F(ServerEngineSettings, SkipsNamesThatAreNoOptions) {
  TaggedBytes bytes = AncestorPart();
  TaggedBytes own = OwnPart(1, "Tnx1xJournalEngine", {"seoBogus", "seoKeepSessionStats", "ReadOnly"});
  bytes.insert(bytes.end(), own.begin(), own.end());
  Load(*engine, bytes);
  EXPECT_EQ(engine->Options(), Opt(seoKeepSessionStats));
  EXPECT_EQ(nxDefaultJournalEngineClassName(), u"Tnx1xJournalEngine");
}

TEST_F(ServerEngineSettings, RefusesAnotherVersionAndAnUnknownJournalClass) {
  TaggedBytes version2 = AncestorPart();
  TaggedBytes own = OwnPart(2, "Tnx1xJournalEngine", {});
  version2.insert(version2.end(), own.begin(), own.end());
  try {
    Load(*engine, version2);
    FAIL() << "version 2 was read";
  } catch (const EnxComponentException& e) {
    EXPECT_EQ(e.ErrorCode(), 15498u);
  }

  TaggedBytes unknown = AncestorPart();
  own = OwnPart(1, "TnxNoJournal", {"seoReadOnly"});
  unknown.insert(unknown.end(), own.begin(), own.end());
  EXPECT_THROW(Load(*engine, unknown), platform::EClassNotFound);
  // Nothing of the refused part was taken.
  EXPECT_EQ(engine->Options(), 0);
  EXPECT_EQ(engine->GetServerName(), u"");
}

// ---- configuration ----

class ServerEngineConfig : public ServerFixture {
protected:
  TMapConfiguration config;
};

TEST_F(ServerEngineConfig, RoundTripsWithTheOptionsMask) {
  engine->SetServerName(u"Alpha");
  engine->SetMaxRAM(300);
  engine->SetTempStorePath(u"/data/tmp");
  engine->SetTempStoreSize(40);
  engine->SetOptions(Opt(seoReadOnly) | Opt(seoKeepSessionStats));
  nxSetDefaultJournalEngineClass(nxFindJournalEngineClass(u"Tnx1xCommitJournalEngine"));
  config.values[u"OptionsCount"] = TnxVariant::FromInteger(3);
  config.values[u"Options3"] = TnxVariant::FromString(u"seoInMemOnly");
  engine->SaveConfig(config);

  EXPECT_EQ(config.values[u"Options"].AsInt64(), 257);
  EXPECT_EQ(config.values[u"OptionsCount"].AsInt64(), 2);
  EXPECT_EQ(config.values[u"Options1"].AsString(), u"seoReadOnly");
  EXPECT_EQ(config.values[u"Options2"].AsString(), u"seoKeepSessionStats");
  EXPECT_EQ(config.values[u"Options3"].AsString(), u"");  // an older longer list is blanked
  EXPECT_EQ(config.values[u"NewOptionsLogic"].AsInt64(), 1);
  EXPECT_EQ(config.values[u"JournalEngineClass"].AsString(), u"Tnx1xCommitJournalEngine");

  nxSetDefaultJournalEngineClass(nullptr);
  ComponentPtr<TnxServerEngine> other{new TnxServerEngine(nullptr)};
  other->LoadConfig(config);
  EXPECT_EQ(other->GetServerName(), u"Alpha");
  EXPECT_EQ(other->MaxRAM(), 300);
  EXPECT_EQ(other->TempStorePath(), u"/data/tmp");
  EXPECT_EQ(other->TempStoreSize(), 40);
  EXPECT_EQ(other->Options(), Opt(seoReadOnly) | Opt(seoKeepSessionStats));
  EXPECT_EQ(nxDefaultJournalEngineClassName(), u"Tnx1xCommitJournalEngine");
}

TEST_F(ServerEngineConfig, WithoutNewOptionsLogicReadsTheNumberedKeys) {
  engine->SetOptions(Opt(seoInMemOnly));
  config.values[u"Options"] = TnxVariant::FromInteger(1);  // ignored without the new logic
  config.values[u"OptionsCount"] = TnxVariant::FromInteger(3);
  config.values[u"Options1"] = TnxVariant::FromString(u"seoVerifyTableNames");
  config.values[u"Options2"] = TnxVariant::FromString(u"seoNoSuchOption");
  config.values[u"Options3"] = TnxVariant::FromString(u"seoCloseAllWhenInactive");
  config.values[u"Options4"] = TnxVariant::FromString(u"seoIsSecure");  // beyond the count
  config.values[u"JournalEngineClass"] = TnxVariant::FromString(u"TnxNoJournal");
  nxSetDefaultJournalEngineClass(nxFindJournalEngineClass(u"Tnx1xJournalEngine"));
  engine->LoadConfig(config);
  EXPECT_EQ(engine->Options(), Opt(seoVerifyTableNames) | Opt(seoCloseAllWhenInactive));
  EXPECT_EQ(nxDefaultJournalEngineClassName(), u"Tnx1xJournalEngine");
}

TEST_F(ServerEngineConfig, DescribesItsSettings) {
  TListedSettings settings;
  engine->GetConfigSettings(settings);
  std::vector<std::u16string> names;
  for (const auto& s : settings.items) names.push_back(s->fName);
  for (std::u16string_view name : {u"ServerName", u"MaxRam", u"TempStoreSize", u"TempStorePath",
                                   u"JournalEngineClass", u"Options", u"ActiveOptions", u"ServerEngine Version"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << std::string(name.begin(), name.end());
}

TEST_F(ServerEngineConfig, ActiveOptionsAnswerInAnyCase) {
  const std::u16string upper = engine->GetDisplayOnlyValue(u"ActiveOptions");
  EXPECT_EQ(upper.substr(0, 14), u"SecureServer, ");
  EXPECT_EQ(engine->GetDisplayOnlyValue(u"activeoptions"), upper);
}

TEST_F(ServerEngineConfig, SettersNeedAnInactiveEngineAndAnIdentifierExtension) {
  EXPECT_THROW(engine->SetTableExtension(u"n/x"), EnxComponentException);
  EXPECT_THROW(engine->SetTableExtension(u""), EnxComponentException);
  EXPECT_EQ(engine->TableExtension(), u"nx1");
  engine->SetTableExtension(u"dat");
  EXPECT_EQ(engine->TableExtension(), u"dat");
  Start();
  EXPECT_THROW(engine->SetServerName(u"x"), EnxServerEngineException);
  EXPECT_THROW(engine->SetOptions(0), EnxServerEngineException);
}

// ---- cache and temporary store ----

TEST(ServerEngineSizes, CacheFollowsTheMachinesMemory) {
  struct Case {
    int64_t totalMB;
    int32_t cacheMB;
  } cases[] = {{2048, 1024}, {4096, 2048}, {8192, 6144}, {16384, 13108}, {0, 1}};
  for (const Case& c : cases) EXPECT_EQ(nxDefaultCacheSize(c.totalMB), c.cacheMB) << c.totalMB;
}

TEST(ServerEngineSizes, TemporaryStoreIsTheLeastOfItsThreeBounds) {
  constexpr uint64_t MB = 1048576;
  struct Case {
    const char* name;
    int32_t cache;
    bool freeKnown;
    uint64_t free;
    int64_t maxFile;
    int32_t store;
  } cases[] = {
      {"free space unknown", 2048, false, 1000000 * MB, INT64_MAX, 0},
      {"ten caches", 100, true, 1000000 * MB, INT64_MAX, 1000},
      {"a third of the free space", 2048, true, 300 * MB, INT64_MAX, 100},
      {"a third of the largest file", 2048, true, 1000000 * MB, 4096 * int64_t(MB) - 1, 1365},
      {"unknown file system", 2048, true, 1000000 * MB, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(nxDefaultTempStoreSize(c.cache, c.freeKnown, c.free, c.maxFile), c.store) << c.name;
}

class ServerEngineInitialize : public ServerFixture {};

TEST_F(ServerEngineInitialize, ComputesSizesFromTheReadings) {
  TempDir dir;
  TnxServerEngineReadings readings = FixedReadings(8192);
  readings.DiskFree = [](std::u16string_view, uint64_t& aBytes) {
    aBytes = uint64_t{30} * 1048576;
    return true;
  };
  readings.MaxFileSize = [](std::u16string_view) { return INT64_MAX; };
  engine->SetReadings(readings);
  engine->SetTempStorePath(u"  " + platform::Utf8ToUtf16(dir.Dir()) + u" ");
  engine->SetActive(true);
  EXPECT_EQ(engine->CacheSize(), 6144);
  EXPECT_EQ(engine->StoreSize(), 10);
  EXPECT_EQ(engine->TempDirectory(), platform::Utf8ToUtf16(dir.Dir()));
  ASSERT_NE(engine->BufferManager(), nullptr);
  engine->SetActive(false);
  EXPECT_EQ(engine->BufferManager(), nullptr);
}

TEST_F(ServerEngineInitialize, TakesSetSizesAndTheSystemsTemporaryDirectory) {
  engine->SetMaxRAM(32);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  EXPECT_EQ(engine->CacheSize(), 32);
  EXPECT_EQ(engine->StoreSize(), 0);
  EXPECT_EQ(engine->TempDirectory(), u"/tmp/");
}

TEST_F(ServerEngineInitialize, WithoutFreeSpaceReadingHasNoTemporaryStore) {
  engine->SetActive(true);
  EXPECT_EQ(engine->CacheSize(), 6144);
  EXPECT_EQ(engine->StoreSize(), 0);
}

// ---- sessions ----

class ServerEngineSessions : public ServerFixture {};

TEST_F(ServerEngineSessions, AStoppedEngineAnswersACode) {
  TnxAbstractServerObject* session = reinterpret_cast<TnxAbstractServerObject*>(1);
  const uint32_t code = engine->SessionOpen(session, u"u", u"", u"", 1000);
  // The state check's exception carries no code of its own.
  EXPECT_EQ(code, 15520u);
  EXPECT_EQ(session, nullptr);
  EXPECT_NE(LastMessage().find("must be started"), std::string::npos) << LastMessage();
}

TEST_F(ServerEngineSessions, OpensInProcessSessionsThatTheStopFrees) {
  Start();
  TnxServerSession* first = Open();
  TnxServerSession* second = Open();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->ClientVersion(), nxInProcessClientVersion);
  EXPECT_EQ(engine->SessionCount(), 2);
  engine->SetActive(false);
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_TRUE(engine->Sessions().empty());
  (void)second;
}

TEST_F(ServerEngineSessions, ASecureEngineRefusesAndFreesUnauthenticatedSessions) {
  engine->SetOptions(Opt(seoIsSecure));
  Start();
  TnxAbstractServerObject* session = nullptr;
  EXPECT_EQ(engine->SessionOpenEx(session, u"u", u"p", u"", 1000, 47501), 10036u);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_TRUE(engine->Sessions().empty());
}

TEST_F(ServerEngineSessions, AFatalFlushErrorSuspendsSessionCreation) {
  Start();
  nxFatalErrorFlag.store(true);
  TnxAbstractServerObject* session = nullptr;
  const uint32_t code = engine->SessionOpen(session, u"u", u"", u"", 1000);
  nxFatalErrorFlag.store(false);
  EXPECT_EQ(code, 15443u);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(LastMessage(),
            "A fatal error has occurred. Server operations are suspended until the server is restarted. Check "
            "exception log at server for further information");
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST_F(ServerEngineSessions, CloseAllWhenInactiveRunsWhenTheLastSessionLeaves) {
  engine->SetOptions(Opt(seoCloseAllWhenInactive));
  Start();
  TnxServerSession* session = Open();
  ASSERT_NE(session, nullptr);
  // Nothing is open; the close operations must answer without waiting.
  EXPECT_EQ(session->Close(), 0u);
  EXPECT_EQ(engine->SessionCount(), 0);
}

// ---- instances ----

platform::TInterfacePtr<platform::IInterface> PublishedRegistry() {
  // Any object with interfaces stands in for the registry.
  TnxInterfacedObject* made = nxCreate<TnxInterfacedObject>();
  platform::TInterfacePtr<platform::IInterface> registry(static_cast<platform::IInterface*>(made));
  return registry;
}

TEST_F(ServerEngineSessions, HandsOutTheAliasHandlerAndThePublishedRegistry) {
  void* intf = nullptr;
  EXPECT_EQ(engine->CreateInstanceFor(nullptr, u"<aliashandler>", nxComponentInfoClassID,
                                      nullptr, InxComponentInfo31000::IID, &intf),
            0);
  ASSERT_NE(intf, nullptr);
  auto* info = static_cast<InxComponentInfo31000*>(intf);
  EXPECT_EQ(info->GetClassName(), u"TnxSimpleAliasHandler");
  info->Release();

  intf = reinterpret_cast<void*>(1);
  EXPECT_EQ(engine->CreateInstanceFor(nullptr, u"<Registry>", {}, nullptr, platform::IInterface::IID, &intf),
            platform::E_NOTIMPL);
  EXPECT_EQ(intf, nullptr);
  nxSetRegistryInstanceHook(&PublishedRegistry);
  EXPECT_EQ(engine->CreateInstanceFor(nullptr, u"<REGISTRY>", {}, nullptr, platform::IInterface::IID, &intf), 0);
  nxSetRegistryInstanceHook(nullptr);
  ASSERT_NE(intf, nullptr);
  static_cast<platform::IInterface*>(intf)->Release();
}

TEST_F(ServerEngineSessions, NamesItsAliasHandlerAfterItself) {
  engine->SetName(u"Engine1");
  EXPECT_EQ(engine->AliasHandler()->Name(), u"Engine1_AliasHandler");
  EXPECT_EQ(engine->AliasHandler()->DisplayName(), u"Aliases");
  engine->SetName(u"");
  EXPECT_EQ(engine->AliasHandler()->Name(), u"");
}

TEST_F(ServerEngineSessions, StatisticsHaveAValueForEveryCaption) {
  for (bool started : {false, true}) {
    if (started) Start();
    platform::TStringList captions, values;
    engine->GetStatsCaptions(captions);
    engine->GetStatsValues(values);
    EXPECT_EQ(captions.Count(), values.Count()) << started;
    EXPECT_NE(captions.IndexOf(u"Inactive Tables"), -1);
  }
}

TEST_F(ServerEngineSessions, ALinkedComponentFreedElsewhereIsForgotten) {
  Start();
  platform::TComponent::Free(engine->AliasHandler());
  EXPECT_EQ(engine->AliasHandler(), nullptr);
  EXPECT_FALSE(engine->Active());

  ComponentPtr<TnxStateComponent> sql{new TnxStateComponent(nullptr)};
  engine->SetSqlEngine(sql.get());
  EXPECT_TRUE(engine->IsDependentOn(sql.get()));
  Start();
  sql.reset();
  EXPECT_EQ(engine->SqlEngine(), nullptr);
  EXPECT_FALSE(engine->Active());
}

TEST(ServerStartup, RegistersTheEngineComponentClass) {
  {
    TnxServerStartupGuard library;
    EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass(u"TnxServerEngine"), &TnxServerEngine::ClassInfo());
  }
  TnxLowLevelStartupGuard lowlevel;
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass(u"TnxServerEngine"), nullptr);
}

}  // namespace
}  // namespace revurov::testing
