#include "storage/journal_classes.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "storage/journal_engine.h"
#include "storage/startup.h"
#include "support/temp_dir.h"

namespace revurov {
namespace {

class JournalClassesTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (nxStorageStartupCount() != 0) GTEST_SKIP() << "storage already started by another test";
    saved_ = nxDefaultJournalEngineClass();
    nxSetDefaultJournalEngineClass(nullptr);
  }
  void TearDown() override { nxSetDefaultJournalEngineClass(saved_); }
  const TnxJournalEngineClass* saved_ = nullptr;
};

TEST_F(JournalClassesTest, StartUpRegistersTheThreeByNameAndMakesTheRollbackJournalTheDefault) {
  EXPECT_EQ(nxFindJournalEngineClass(u"Tnx1xJournalEngine"), nullptr);
  {
    TnxStorageStartupGuard storage;
    struct TCase {
      const char16_t* Name;
      int32_t Kind;
    } cases[] = {{u"Tnx1xJournalEngine", 0}, {u"TNX1XCOMMITJOURNALENGINE", 1}, {u"tnx1xrollbackjournalengine", 2}};
    testing::TempDir dir;
    for (const TCase& c : cases) {
      const TnxJournalEngineClass* found = nxFindJournalEngineClass(c.Name);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->Kind, c.Kind);
      auto journal = found->Create(u"1.n$2", platform::PosixFileOps());
      EXPECT_EQ(dynamic_cast<Tnx1xJournalEngine&>(*journal).jeJournalKind(), c.Kind);
      EXPECT_NO_THROW(found->Check(u"", platform::Utf8ToUtf16(dir.Dir())));
    }
    EXPECT_EQ(nxFindJournalEngineClass(u"TnxNoJournal"), nullptr);
    EXPECT_EQ(nxDefaultJournalEngineClass(), &nxRollbackJournalEngineClass());
    EXPECT_EQ(nxDefaultJournalEngineClassName(), u"Tnx1xRollbackJournalEngine");
  }
  EXPECT_EQ(nxDefaultJournalEngineClass(), nullptr);
  EXPECT_EQ(nxFindJournalEngineClass(u"Tnx1xJournalEngine"), nullptr);
}

TEST_F(JournalClassesTest, AnotherDefaultSetBeforeStaysAndOnlyOurOwnIsClearedAtShutDown) {
  const TnxJournalEngineClass other{u"TOtherJournal", 2, nullptr, nullptr};
  nxRegisterJournalEngineClass(other);
  nxSetDefaultJournalEngineClass(&other);
  {
    TnxStorageStartupGuard storage;
    EXPECT_EQ(nxDefaultJournalEngineClass(), &other);
  }
  EXPECT_EQ(nxDefaultJournalEngineClass(), &other);
  {
    TnxStorageStartupGuard storage;
    nxSetDefaultJournalEngineClass(&nxCommitJournalEngineClass());
  }
  EXPECT_EQ(nxDefaultJournalEngineClass(), nullptr);
  nxUnregisterJournalEngineClass(other);
  EXPECT_EQ(nxFindJournalEngineClass(u"TOtherJournal"), nullptr);
}

}  // namespace
}  // namespace revurov
