// The table cursor's references: what its record writes do to the records
// of other tables (and of its own), and what they refuse.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/sql_engine_classes.h"
#include "fieldmap/field_mapper_base.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/engines/referential_integrity.h"
#include "support/refint_tables.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

std::string Violation(const std::string& aFrom, const std::string& aTo) {
  return "Referential Integrity Violation. " + aFrom + " -> " + aTo + ": " +
         platform::Utf16ToUtf8(nxOriginalMessageTag());
}

class RefIntegrityTest : public RefTablesFixture {
protected:
  void LoadMasterDetail() {
    for (int32_t id : {0, 1, 2}) ASSERT_EQ(Insert(u"Master", {id, 0}), 0u) << LastMessage();
    ASSERT_EQ(Insert(u"Detail", {10, 1}), 0u) << LastMessage();
    ASSERT_EQ(Insert(u"Detail", {11, 1}), 0u) << LastMessage();
    ASSERT_EQ(Insert(u"Detail", {12, 2}), 0u) << LastMessage();
  }
};

TEST_F(RefIntegrityTest, ATableWithoutReferencesGetsNoEngineAnEmptyDescriptorOneThatLetsAllPass) {
  auto plain = RefDictionary(u"Val", u"");
  BuildTable(u"Plain", *plain);
  EXPECT_EQ(Cursor(u"Plain")->RefIntEngine(), nullptr);

  auto empty = RefDictionary(u"Val", u"");
  RefIntegrityOf(*empty);
  BuildTable(u"Empty", *empty);
  ASSERT_NE(Cursor(u"Empty")->RefIntEngine(), nullptr);
  EXPECT_EQ(Insert(u"Empty", {1, 5}), 0u) << LastMessage();
  EXPECT_EQ(Modify(u"Empty", 1, {2, 5}), 0u) << LastMessage();
  EXPECT_EQ(Delete(u"Empty", 2), 0u) << LastMessage();
}

// What deleting master 1 (details 10 and 11) does, per delete action.
TEST_F(RefIntegrityTest, DeleteActionsAndTheirOutcome) {
  struct Case {
    RefAction Action;
    bool WithDefaultMaster;
    uint32_t Result;
    RefRows Details;
  };
  const RefRows untouched{{10, {10, 1}}, {11, {11, 1}}, {12, {12, 2}}};
  const Case cases[] = {
      {RefAction::Block, true, nxeMasterHasDetails, untouched},
      {RefAction::Cascade, true, 0, {{12, {12, 2}}}},
      {RefAction::Clear, true, 0, {{10, {10, std::nullopt}}, {11, {11, std::nullopt}}, {12, {12, 2}}}},
      {RefAction::SetDefault, true, 0, {{10, {10, 0}}, {11, {11, 0}}, {12, {12, 2}}}},
      // The defaults name a master that is not there: the details refuse.
      {RefAction::SetDefault, false, nxeMasterRecordMissing, untouched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.Action));
    for (auto& entry : cursors_) entry.second->Free();
    cursors_.clear();
    for (const char16_t* table : {u"Master", u"Detail"}) db->TableDelete(table, u"");
    BuildMasterDetail(c.Action, RefAction::None);
    LoadMasterDetail();
    if (!c.WithDefaultMaster) {
      ASSERT_EQ(Delete(u"Master", 0), 0u) << LastMessage();
    }
    EXPECT_EQ(Delete(u"Master", 1), c.Result) << LastMessage();
    EXPECT_EQ(Rows(u"Detail"), c.Details);
    EXPECT_EQ(Rows(u"Master").count(1), c.Result == 0 ? 0u : 1u);
    // A master without details goes whatever the action.
    ASSERT_EQ(Insert(u"Master", {7, 0}), 0u);
    EXPECT_EQ(Delete(u"Master", 7), 0u) << LastMessage();
  }
}

// The default is the very key that goes: the details would be left
// referring to nothing.
TEST_F(RefIntegrityTest, SetDefaultRefusesWhenTheDefaultIsTheKeyThatGoes) {
  BuildMasterDetail(RefAction::SetDefault, RefAction::SetDefault);
  LoadMasterDetail();
  ASSERT_EQ(Insert(u"Detail", {13, 0}), 0u) << LastMessage();
  EXPECT_EQ(Delete(u"Master", 0), nxeMasterRecordMissing);
  EXPECT_EQ(Modify(u"Master", 0, {3, 0}), nxeMasterRecordMissing);
  EXPECT_EQ(Rows(u"Master").count(0), 1u);
  EXPECT_EQ(Rows(u"Detail").at(13), (RefRow{13, 0}));
}

TEST_F(RefIntegrityTest, ABlockedDeleteNamesTheReferenceAndChangesNothing) {
  BuildMasterDetail(RefAction::Block, RefAction::None);
  LoadMasterDetail();
  EXPECT_EQ(Delete(u"Master", 2), nxeMasterHasDetails);
  EXPECT_EQ(LastMessage(), Violation("Master(ID)", "Detail(MID)"));
  EXPECT_EQ(Rows(u"Master").size(), 3u);
  // The message of one violation does not leak into the next.
  EXPECT_EQ(Delete(u"Master", 1), nxeMasterHasDetails);
  EXPECT_EQ(LastMessage(), Violation("Master(ID)", "Detail(MID)"));
}

// What changing master 1's key to 5 does, per modify action.
TEST_F(RefIntegrityTest, ModifyActionsRunOnlyWhenTheKeyChanges) {
  struct Case {
    RefAction Action;
    uint32_t Result;
    RefRows Details;
  };
  const RefRows untouched{{10, {10, 1}}, {11, {11, 1}}, {12, {12, 2}}};
  const Case cases[] = {
      {RefAction::Block, nxeMasterHasDetails, untouched},
      {RefAction::Cascade, 0, {{10, {10, 5}}, {11, {11, 5}}, {12, {12, 2}}}},
      {RefAction::Clear, 0, {{10, {10, std::nullopt}}, {11, {11, std::nullopt}}, {12, {12, 2}}}},
      {RefAction::SetDefault, 0, {{10, {10, 0}}, {11, {11, 0}}, {12, {12, 2}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.Action));
    for (auto& entry : cursors_) entry.second->Free();
    cursors_.clear();
    for (const char16_t* table : {u"Master", u"Detail"}) db->TableDelete(table, u"");
    BuildMasterDetail(RefAction::None, c.Action);
    LoadMasterDetail();
    // Another field only: no action, not even the block.
    EXPECT_EQ(Modify(u"Master", 1, {1, 99}), 0u) << LastMessage();
    EXPECT_EQ(Rows(u"Detail"), untouched);
    EXPECT_EQ(Modify(u"Master", 1, {5, 99}), c.Result) << LastMessage();
    EXPECT_EQ(Rows(u"Detail"), c.Details);
    EXPECT_EQ(Rows(u"Master").count(5), c.Result == 0 ? 1u : 0u);
  }
}

TEST_F(RefIntegrityTest, ADetailNeedsItsMasterUnlessItsKeyIsNull) {
  BuildMasterDetail(RefAction::Block, RefAction::Block);
  LoadMasterDetail();
  EXPECT_EQ(Insert(u"Detail", {20, 9}), nxeMasterRecordMissing);
  EXPECT_EQ(LastMessage(), Violation("Detail(MID)", "Master(ID)"));
  EXPECT_EQ(Insert(u"Detail", {21, std::nullopt}), 0u) << LastMessage();
  EXPECT_EQ(Modify(u"Detail", 21, {21, 9}), nxeMasterRecordMissing);
  EXPECT_EQ(Modify(u"Detail", 21, {21, 2}), 0u) << LastMessage();
  // Its own key changes, the reference's does not: no check runs.
  EXPECT_EQ(Delete(u"Master", 0), 0u) << LastMessage();
  EXPECT_EQ(Modify(u"Detail", 21, {22, 2}), 0u) << LastMessage();
  const RefRows details = Rows(u"Detail");
  EXPECT_EQ(details.count(20), 0u);
  EXPECT_EQ(details.at(22), (RefRow{22, 2}));
}

// The write runs in a level of its own: a refusal takes back that write
// alone, the caller's transaction goes on.
TEST_F(RefIntegrityTest, ARefusalInsideTheCallersTransactionUndoesThatWriteAlone) {
  BuildMasterDetail(RefAction::Cascade, RefAction::Block);
  LoadMasterDetail();
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  EXPECT_EQ(Insert(u"Detail", {20, 2}), 0u) << LastMessage();
  EXPECT_EQ(Insert(u"Detail", {21, 9}), nxeMasterRecordMissing);
  EXPECT_EQ(Modify(u"Master", 2, {3, 0}), nxeMasterHasDetails);
  EXPECT_EQ(Delete(u"Master", 1), 0u) << LastMessage();
  EXPECT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(Rows(u"Detail"), (RefRows{{12, {12, 2}}, {20, {20, 2}}}));
  EXPECT_EQ(Rows(u"Master").count(2), 1u);
}

TEST_F(RefIntegrityTest, TheLastReferenceRunsFirstAndTheFirstRefusalEndsTheWalk) {
  auto master = RefDictionary(u"Val", u"");
  AddActions(AddReference(*master, u"Detail", u"ByMID", 0, false), RefAction::Block, RefAction::None);
  AddActions(AddReference(*master, u"Other", u"ByMID", 0, false), RefAction::Block, RefAction::None);
  BuildTable(u"Master", *master);
  auto detail = RefDictionary(u"MID", u"ByMID");
  BuildTable(u"Detail", *detail);
  auto other = RefDictionary(u"MID", u"ByMID");
  BuildTable(u"Other", *other);
  ASSERT_EQ(Insert(u"Master", {1, 0}), 0u);
  ASSERT_EQ(Insert(u"Detail", {10, 1}), 0u);
  ASSERT_EQ(Insert(u"Other", {20, 1}), 0u);
  EXPECT_EQ(Delete(u"Master", 1), nxeMasterHasDetails);
  EXPECT_EQ(LastMessage(), Violation("Master(ID)", "Other(MID)"));
  ASSERT_EQ(Delete(u"Other", 20), 0u);
  EXPECT_EQ(Delete(u"Master", 1), nxeMasterHasDetails);
  EXPECT_EQ(LastMessage(), Violation("Master(ID)", "Detail(MID)"));
}

// Faults of the descriptor show at the first write that needs the
// reference; the cursor opens.
TEST_F(RefIntegrityTest, ConfigurationFaultsShowAtFirstUse) {
  struct Case {
    const char16_t* Index;
    bool TwoSources;
    uint32_t Result;
  };
  const Case cases[] = {
      {u"NoSuchIndex", false, nxeIndexDoesNotExist},
      {u"ByRefNr", false, nxeInvalidIndexDescriptor},
      {u"ByMID", true, nxeInvalidDescriptor},
  };
  auto detail = RefDictionary(u"MID", u"ByMID");
  detail->EnsureIndicesDescriptor()->AddIndex(u"ByRefNr", 1, idNone, u"", &TnxRefKeyDescriptor::ClassInfo());
  BuildTable(u"Detail", *detail);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    const std::u16string name = u"Master" + platform::Utf8ToUtf16(std::to_string(n++));
    auto master = RefDictionary(u"Val", u"");
    TnxReferenceDescriptor& ref = AddReference(*master, u"Detail", c.Index, 0, false);
    if (c.TwoSources) static_cast<TnxFieldSourceDescriptor*>(ref.AddSource())->SetFieldNumber(1);
    AddActions(ref, RefAction::Block, RefAction::None);
    BuildTable(name, *master);
    ASSERT_NE(Cursor(name), nullptr);
    ASSERT_EQ(Insert(name, {1, 0}), 0u) << LastMessage();
    EXPECT_EQ(Delete(name, 1), c.Result) << LastMessage();
    EXPECT_EQ(Rows(name).size(), 1u);
  }
}

TEST_F(RefIntegrityTest, AnUnknownEngineClassFailsTheOpen) {
  auto master = RefDictionary(u"Val", u"");
  AddActions(AddReference(*master, u"Detail", u"ByMID", 0, false), RefAction::Block, RefAction::None);
  BuildTable(u"Master", *master);
  TnxBlockDeleteActionEngine::ClassInfo().Unregister();
  // A descriptor read afresh has no class in its slot yet.
  auto other = RefDictionary(u"Val", u"");
  AddActions(AddReference(*other, u"Detail", u"ByMID", 0, false), RefAction::Block, RefAction::None);
  ASSERT_EQ(db->TableBuild(false, u"Other", u"", other.get(), tsPersistent, false), 0u);
  TnxAbstractCursor* cursor = nullptr;
  EXPECT_EQ(db->CursorOpen(cursor, u"Other", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr),
            nxeSubEngineNotSupported);
  EXPECT_NE(LastMessage().find("Unknown Action engine: \"TnxBlockDeleteActionEngine\""), std::string::npos)
      << LastMessage();
  TnxBlockDeleteActionEngine::ClassInfo().Register();
  // The slot of the first table's descriptor still serves.
  TnxAbstractCursor* second = nullptr;
  ASSERT_EQ(db->CursorOpen(second, u"Other", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
      << LastMessage();
  second->Free();
}

// A converter that finds no value for NaN, as best-fit converters do.
uint32_t NaNHasNoValue(const void*, const void* aSource, void* aTarget) {
  double value = 0;
  std::memcpy(&value, aSource, sizeof value);
  if (std::isnan(value)) return 1;
  const int32_t whole = int32_t(value);
  std::memcpy(aTarget, &whole, sizeof whole);
  return 0;
}
std::unique_ptr<TnxBaseFieldMapper> OfferNaNHasNoValue(const TnxFieldMapperClass&, TnxFieldDescriptor&,
                                                       TnxAbstractCursor*, TnxFieldDescriptor&, TnxAbstractCursor*,
                                                       const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  aMapper.Code = &NaNHasNoValue;
  return nullptr;
}
constexpr TnxFieldMapperClass kNaNHasNoValue{u"NaNHasNoValue", &OfferNaNHasNoValue};

TEST_F(RefIntegrityTest, AValueTheConverterFindsNoneForCountsAsNull) {
  // Asked first from now on; the registry empties when the library stops.
  nxRegisterFieldMapper(&kNaNHasNoValue, nxtDouble, nxtInt32);
  auto rates = RefDictionary(u"Rate", u"ByRate");
  BuildTable(u"Rates", *rates);
  auto uses = std::make_unique<TnxDataDictionary>();
  uses->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, true);
  uses->FieldsDescriptor().AddField(u"Rate", u"", nxtDouble, 0, 0, false);
  uses->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  static_cast<TnxCompKeyDescriptor*>(uses->EnsureIndicesDescriptor()
                                         ->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())
                                         ->KeyDescriptor())
      ->Add(0);
  AddReference(*uses, u"Rates", u"ByRate", 1, true).AddAction(&TnxTargetRequiredActionDescriptor::ClassInfo());
  BuildTable(u"Uses", *uses);

  TnxFieldsDescriptor& fields = Fields(u"Uses");
  auto insert = [&](int32_t aID, double aRate) {
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    fields.InitRecord(record.data());
    fields.SetRecordField(0, record.data(), &aID);
    fields.SetRecordField(1, record.data(), &aRate);
    return Cursor(u"Uses")->RecordInsert(nxltNoLock, record.data(), nullptr);
  };
  EXPECT_EQ(insert(1, 3.0), nxeMasterRecordMissing);
  // Counted as a null source, which skips the check; a null key would
  // have been looked for and not found.
  EXPECT_EQ(insert(2, std::numeric_limits<double>::quiet_NaN()), 0u) << LastMessage();
  ASSERT_EQ(Insert(u"Rates", {1, 3}), 0u) << LastMessage();
  EXPECT_EQ(insert(1, 3.0), 0u) << LastMessage();
}

// A chain of nodes, each the parent of the next; deleting the first
// cascades down the chain.
class RefIntegrityChainTest : public RefIntegrityTest {
protected:
  void BuildChain(int32_t aLength) {
    BuildNodes(RefAction::Cascade, RefAction::None, false);
    ASSERT_EQ(db->TransactionStart(false, false), 0u);
    ASSERT_EQ(Insert(u"Node", {1, std::nullopt}), 0u) << LastMessage();
    for (int32_t id = 2; id <= aLength; ++id) ASSERT_EQ(Insert(u"Node", {id, id - 1}), 0u) << LastMessage();
    ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  }
};

TEST_F(RefIntegrityChainTest, ACascadeDeeperThanTheLimitIsRefusedWithNothingDeleted) {
  const int32_t length = TestSize(kRefIntegrityMaxDepth + 1, 100000);
  BuildChain(length);
  EXPECT_EQ(Delete(u"Node", 1), nxeMasterHasDetails);
  const std::string message = LastMessage();
  EXPECT_NE(message.find("1000 levels"), std::string::npos) << message;
  EXPECT_LT(message.size(), 400u) << "every level repeated";
  EXPECT_EQ(nxRefIntegrityDepth(), 0);
  EXPECT_EQ(Rows(u"Node").size(), size_t(length));
  // Inside a caller's transaction the cascade goes back as a whole too.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  EXPECT_EQ(Delete(u"Node", 1), nxeMasterHasDetails);
  EXPECT_EQ(Delete(u"Node", length), 0u) << LastMessage();
  EXPECT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(Rows(u"Node").size(), size_t(length - 1));
}

TEST_F(RefIntegrityChainTest, ACascadeAsDeepAsTheLimitRuns) {
  BuildChain(kRefIntegrityMaxDepth);
  EXPECT_EQ(Delete(u"Node", 1), 0u) << LastMessage();
  EXPECT_TRUE(Rows(u"Node").empty());
}

// Close requests for the target cursor come from other threads while the
// references run, and while the writes' transactions commit or roll back
// (the closed cursor leaves their links); the next use opens it again.
// Either each write has its own transaction or one caller's transaction
// holds them all.
TEST_F(RefIntegrityTest, TheTargetCursorClosesOnRequestFromAnotherThread) {
  for (const bool callerTransaction : {false, true}) {
    SCOPED_TRACE(callerTransaction);
    for (auto& entry : cursors_) entry.second->Free();
    cursors_.clear();
    for (const char16_t* table : {u"Master", u"Detail"}) db->TableDelete(table, u"");
    BuildMasterDetail(RefAction::Cascade, RefAction::None);
    auto* engine = static_cast<TnxRefIntegrityEngine*>(Cursor(u"Detail")->RefIntEngine());
    ASSERT_NE(engine, nullptr);
    TnxBaseTargetCursorEngine& target = engine->Reference(0).TargetCursor();
    ASSERT_EQ(Insert(u"Master", {1, 0}), 0u);
    ASSERT_EQ(Insert(u"Detail", {1, 1}), 0u) << LastMessage();
    ASSERT_NE(target.Cursor(), nullptr);

    std::atomic<bool> done{false};
    std::atomic<int> requests{0};
    TnxServerBaseTable* masterTable = Cursor(u"Master")->Table();
    std::thread closer([&] {
      while (!done.load()) {
        // The folder's own walk asks every cursor of the table to close.
        masterTable->sbtCursorsCanClose(true);
        ++requests;
        std::this_thread::yield();
      }
    });
    if (callerTransaction) {
      EXPECT_EQ(db->TransactionStart(false, false), 0u) << LastMessage();
    }
    const int rounds = TestSize(300, 3000);
    int32_t failedAt = -1;
    for (int32_t i = 0; i < rounds && failedAt < 0; ++i) {
      EXPECT_EQ(Insert(u"Detail", {100 + i, 1}), 0u) << i << ": " << LastMessage();
      EXPECT_EQ(Insert(u"Detail", {100000 + i, 7}), nxeMasterRecordMissing) << i;
      if (HasFailure()) failedAt = i;
    }
    if (callerTransaction) {
      EXPECT_EQ(db->TransactionCommit(), 0u) << LastMessage();
    }
    done = true;
    closer.join();
    ASSERT_EQ(failedAt, -1);
    EXPECT_GT(requests.load(), 0);
    EXPECT_EQ(Rows(u"Detail").size(), size_t(rounds + 1));
  }
}

}  // namespace
}  // namespace revurov::testing
