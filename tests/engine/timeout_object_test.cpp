#include "engine/timeout_object.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/startup.h"
#include "platform/string_list.h"
#include "support/fake_engine_clock.h"

namespace revurov {
namespace {

// A session that batches timeout changes the way a remote session does:
// it counts open batches and "sends" the queued timeouts at the last end.
class BatchingSession : public TnxAbstractTimeoutObject {
  REVUROV_SERVER_OBJECT_CLASS(BatchingSession, TnxAbstractTimeoutObject)
  explicit BatchingSession(bool aBatches) : TnxAbstractTimeoutObject(nullptr, 1000), bsBatches(aBatches) {
    SetSessionLock(nxCreate<TnxSimpleLock>(
        [this](TnxSimpleLock&) { ++cleanups; },
        TnxSessionStatsRef()));
  }

  TnxAbstractServerObject* SessionForPath() noexcept override { return this; }
  bool AddToTimeoutBatch(TnxAbstractTimeoutObject* aObject) override {
    if (bsOpen == 0) return false;
    aObject->atoTimeoutBatchAdd();
    return true;
  }
  int32_t BeginTimeoutBatch() override { return bsBatches ? ++bsOpen : -1; }
  int32_t EndTimeoutBatch() override {
    if (!bsBatches) return -1;
    if (--bsOpen == 0) {
      for (TnxAbstractTimeoutObject* o : bsBatch.Take()) sent.emplace_back(o, o->Timeout());
    }
    return bsOpen;
  }
  std::vector<TnxAbstractTimeoutObject*> Queued() {
    std::vector<TnxAbstractTimeoutObject*> objects;
    for (auto* o = bsBatch.asTimeoutBatchHead; o; o = o->TimeoutBatchNext()) objects.push_back(o);
    return objects;
  }

  int cleanups = 0;
  std::vector<std::pair<TnxAbstractTimeoutObject*, uint32_t>> sent;
  static inline uint32_t closeDuringDestruction = 0;

protected:
  void PrepareDestroy() override {
    closeDuringDestruction = Close();
    TnxAbstractTimeoutObject::PrepareDestroy();
  }
  TnxTimeoutBatch* TimeoutBatch() noexcept override { return bsBatches ? &bsBatch : nullptr; }

private:
  bool bsBatches;
  int32_t bsOpen = 0;
  TnxTimeoutBatch bsBatch;
};

// A cursor that tells its server of a new timeout unless the batch takes it.
class TimeoutCursor : public TnxAbstractTimeoutObject {
  REVUROV_SERVER_OBJECT_CLASS(TimeoutCursor, TnxAbstractTimeoutObject)
  explicit TimeoutCursor(TnxExtendableServerObject* aParent) : TnxAbstractTimeoutObject(aParent, 500) {}
  void SetTimeout(uint32_t aValue) override {
    TnxAbstractTimeoutObject::SetTimeout(aValue);
    if (!AddToTimeoutBatch(this)) sentAtOnce.push_back(aValue);
  }
  std::vector<uint32_t> sentAtOnce;
  bool failOnChange = false;

protected:
  void esoOptionChanged(std::u16string_view, std::u16string_view) override {
    if (failOnChange) SessionLock()->Failed(false, false);
  }
};

class TimeoutObjectTest : public ::testing::Test {
protected:
  TnxLowLevelStartupGuard library;
  testing::TFakeEngineClock clock;
};

TEST_F(TimeoutObjectTest, ObjectsShareTheSessionLockAndKeepTheirTimeout) {
  auto session = nxCreateServerObject<BatchingSession>(true);
  auto cursor = nxCreateServerObject<TimeoutCursor>(session.get());
  EXPECT_EQ(cursor->SessionLock(), session->SessionLock());
  EXPECT_EQ(session->Timeout(), 1000u);
  EXPECT_EQ(cursor->Timeout(), 500u);
  EXPECT_EQ(cursor->LastLocked(), 0u);
  session->SessionLock()->Lock();
  uint32_t result = 0;
  session->SessionLock()->Unlock(result);
  EXPECT_EQ(cursor->LastLocked(), testing::TFakeEngineClock::Now());
}

TEST_F(TimeoutObjectTest, SettingATimeoutTwiceInABatchQueuesItOnceWithItsLastValue) {
  auto session = nxCreateServerObject<BatchingSession>(true);
  auto a = nxCreateServerObject<TimeoutCursor>(session.get());
  auto b = nxCreateServerObject<TimeoutCursor>(session.get());
  a->SetTimeout(10);
  EXPECT_EQ(a->sentAtOnce, std::vector<uint32_t>{10}) << "no batch open";
  EXPECT_EQ(a->BeginTimeoutBatch(), 1);
  EXPECT_EQ(b->BeginTimeoutBatch(), 2);
  a->SetTimeout(20);
  b->SetTimeout(30);
  a->SetTimeout(40);
  EXPECT_EQ(session->Queued(), (std::vector<TnxAbstractTimeoutObject*>{a.get(), b.get()}));
  EXPECT_EQ(a->EndTimeoutBatch(), 1);
  EXPECT_TRUE(session->sent.empty());
  EXPECT_EQ(session->EndTimeoutBatch(), 0);
  using Sent = std::vector<std::pair<TnxAbstractTimeoutObject*, uint32_t>>;
  EXPECT_EQ(session->sent, (Sent{{a.get(), 40}, {b.get(), 30}}));
  EXPECT_TRUE(session->Queued().empty());
  EXPECT_FALSE(a->InTimeoutBatch());
  EXPECT_EQ(a->sentAtOnce, std::vector<uint32_t>{10});
}

TEST_F(TimeoutObjectTest, FreeingAnObjectTakesOnlyItOutOfTheBatch) {
  struct Case {
    const char* name;
    int freed;  // index among four cursors; the fourth is never queued
    std::vector<int> left;
  };
  const Case cases[] = {
      {"head", 0, {1, 2}},
      {"middle", 1, {0, 2}},
      {"tail", 2, {0, 1}},
      {"not queued", 3, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = nxCreateServerObject<BatchingSession>(true);
    std::vector<TnxServerObjectPtr<TimeoutCursor>> cursors;
    for (int i = 0; i < 4; ++i) cursors.push_back(nxCreateServerObject<TimeoutCursor>(session.get()));
    session->BeginTimeoutBatch();
    for (int i = 0; i < 3; ++i) cursors[i]->SetTimeout(100 + i);
    std::vector<TnxAbstractTimeoutObject*> expected;
    for (int i : c.left) expected.push_back(cursors[i].get());
    cursors[c.freed].reset();
    EXPECT_EQ(session->Queued(), expected);
    // The tail moved too: a new entry follows the last one left.
    cursors[3 == c.freed ? 0 : 3]->SetTimeout(7);
    session->EndTimeoutBatch();
    EXPECT_EQ(session->sent.size(), expected.size() + (c.freed == 3 ? 0 : 1));
  }
}

TEST_F(TimeoutObjectTest, SessionsThatDoNotBatchAnswerMinusOneAndSendAtOnce) {
  auto session = nxCreateServerObject<BatchingSession>(false);
  auto cursor = nxCreateServerObject<TimeoutCursor>(session.get());
  EXPECT_EQ(cursor->BeginTimeoutBatch(), -1);
  cursor->SetTimeout(5);
  EXPECT_EQ(cursor->sentAtOnce, std::vector<uint32_t>{5});
  cursor->atoTimeoutBatchAdd();  // no list: nothing
  EXPECT_FALSE(cursor->InTimeoutBatch());
  EXPECT_EQ(cursor->EndTimeoutBatch(), -1);

  auto lonely = nxCreateServerObject<TimeoutCursor>(nullptr);  // a session of its own kind, not batching
  EXPECT_EQ(lonely->BeginTimeoutBatch(), -1);
  EXPECT_FALSE(lonely->AddToTimeoutBatch(lonely.get()));
}

TEST_F(TimeoutObjectTest, ClosingASessionCleansUpOnTheClosingThreadAndFreesIt) {
  // The session's own counter goes with it; this lock reports to the test.
  int runs = 0;
  std::thread::id seen;
  platform::TInterfacePtr<InxSimpleLock> lock(nxCreate<TnxSimpleLock>(
      [&](TnxSimpleLock&) {
        ++runs;
        seen = std::this_thread::get_id();
      },
      TnxSessionStatsRef()));
  struct Access : BatchingSession {
    static void Set(BatchingSession* s, InxSimpleLock* l) { static_cast<Access*>(s)->SetSessionLock(l); }
  };
  BatchingSession* session = nxCreateServerObject<BatchingSession>(true).release();
  Access::Set(session, lock.Get());
  BatchingSession::closeDuringDestruction = 0;
  EXPECT_EQ(session->Close(), 0u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(seen, std::this_thread::get_id());
  EXPECT_EQ(BatchingSession::closeDuringDestruction, nxeIllegalReentry);
  EXPECT_TRUE(lock->IsFailedPermanent());
  EXPECT_THROW(lock->Lock(), EnxBaseException);
}

TEST_F(TimeoutObjectTest, ClosingACursorOfAPermanentlyFailedSessionTakesNoLock) {
  auto session = nxCreateServerObject<BatchingSession>(true);
  auto cursor = nxCreateServerObject<TimeoutCursor>(session.get());
  InxSimpleLock* lock = session->SessionLock();
  lock->Lock();  // held here, so a Lock on another thread would be refused
  lock->Failed(true, false);
  uint32_t closed = 1;
  TimeoutCursor* raw = cursor.release();
  std::thread([&] { closed = raw->Close(); }).join();
  EXPECT_EQ(closed, 0u);
  uint32_t result = 0;
  lock->Unlock(result);
  EXPECT_EQ(session->cleanups, 1);
}

TEST_F(TimeoutObjectTest, OptionOperationsRunUnderTheSessionLock) {
  auto session = nxCreateServerObject<BatchingSession>(true);
  auto cursor = nxCreateServerObject<TimeoutCursor>(session.get());
  EXPECT_EQ(cursor->OptionSet(u"Name", u"v"), 0u);
  std::u16string value = u"stale";
  EXPECT_EQ(cursor->OptionGet(u"Name", value), 0u);
  EXPECT_EQ(value, u"v");
  value = u"stale";
  EXPECT_EQ(cursor->OptionGetEffective(u"Missing", value), nxeObjectNotFound);
  EXPECT_EQ(value, u"");

  // A failure reported during the operation turns its success into 15461.
  cursor->failOnChange = true;
  EXPECT_EQ(cursor->OptionSet(u"Name", u"w"), nxeTimeout);
  cursor->failOnChange = false;
  platform::TStringList list;
  EXPECT_EQ(cursor->OptionList(list), 0u);

  // Another thread inside: the operation is refused as an exception.
  InxSimpleLock* lock = session->SessionLock();
  lock->Lock();
  std::thread([&] {
    EXPECT_THROW(cursor->OptionClear(u"Name"), EnxBaseException);
    platform::TStringList effective;
    EXPECT_THROW(cursor->OptionListEffective(effective), EnxBaseException);
  }).join();
  uint32_t result = 0;
  lock->Unlock(result);
  EXPECT_EQ(cursor->OptionClear(u"Name"), 0u);
}

}  // namespace
}  // namespace revurov
