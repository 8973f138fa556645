#include "server/table_lock_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "support/lock_world.h"

// Allocation failures on demand, for this thread only: the next allocation
// after tlsFailAfter others fails.
namespace {
thread_local int tlsFailAfter = -1;
}  // namespace

void* operator new(std::size_t aSize) {
  if (tlsFailAfter >= 0 && tlsFailAfter-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(aSize ? aSize : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t aSize, const std::nothrow_t&) noexcept { return std::malloc(aSize ? aSize : 1); }
void* operator new[](std::size_t aSize, const std::nothrow_t&) noexcept { return std::malloc(aSize ? aSize : 1); }
void operator delete(void* aPointer) noexcept { std::free(aPointer); }
void operator delete(void* aPointer, std::size_t) noexcept { std::free(aPointer); }

namespace revurov {
namespace {

using testing::LockWorld;

enum class Op {
  Read, Write, Record, ReleaseRead, ReleaseWrite, ReleaseRecord, ClearCursor, ClearRecords, ClearAll, EndTrans,
  IsRead, IsWrite, IsRecord, Corrupt,
};

// One call: the cursor (session, index), the RefNr, the transaction
// (1..3 owned by session 0..2, 4 by no session, 0 none) and what it answers
// (a TnxLockResult, a TnxLockPresent or a Boolean).
struct Step {
  Op op;
  int session = 0;
  int cursor = 0;
  TnxRefNr refNr = 0;
  int trans = 0;
  int expect = 0;
  bool conditional = false;
};

struct EdgeCase {
  const char* name;
  std::vector<Step> steps;
};

class TableLockContainerTest : public ::testing::Test {
protected:
  TnxBaseTransaction* Trans(int aIndex) {
    if (aIndex == 0) return nullptr;
    while (int(transactions.size()) < aIndex) {
      int next = int(transactions.size());
      transactions.push_back(world.NewTransaction(next < LockWorld::kSessions ? world.Sessions[size_t(next)] : nullptr));
    }
    return transactions[size_t(aIndex - 1)];
  }
  int Run(const Step& aStep) {
    TnxAbstractCursor* cursor = world.Cursor(aStep.session, aStep.cursor);
    TnxBaseTransaction* trans = Trans(aStep.trans);
    switch (aStep.op) {
      case Op::Read: return container.GetReadLock(trans, cursor, aStep.conditional, &reason);
      case Op::Write: return container.GetWriteLock(trans, cursor, aStep.conditional, &reason);
      case Op::Record: return container.GetRecordLock(trans, cursor, aStep.refNr, aStep.conditional, &reason);
      case Op::ReleaseRead: return container.ReleaseReadLock(cursor);
      case Op::ReleaseWrite: return container.ReleaseWriteLock(cursor);
      case Op::ReleaseRecord: return container.ReleaseRecordLock(cursor, aStep.refNr, trans);
      case Op::ClearCursor: container.ClearCursorLocks(cursor); return 0;
      case Op::ClearRecords: container.ClearRecordLocks(cursor); return 0;
      case Op::ClearAll: container.ClearAllLocks(cursor); return 0;
      case Op::EndTrans: container.EndTransaction(trans); return 0;
      case Op::IsRead: return container.IsReadLocked(cursor);
      case Op::IsWrite: return container.IsWriteLocked(cursor);
      case Op::IsRecord: return container.IsRecordLocked(cursor, aStep.refNr);
      case Op::Corrupt: trans->MarkCorrupted(); return 0;
    }
    return -1;
  }

  LockWorld world;
  std::vector<TnxBaseTransaction*> transactions;
  TnxTableLockContainer container;
  TnxLockFailureReason reason;
};

constexpr int kTrue = 1, kFalse = 0;

// The calling thread has no deadline: a conflict answers at once.
const EdgeCase kEdgeCases[] = {
    {"RecordLockHolderGetsNoReadLock",
     {{Op::Record, 0, 0, 5, 0, lrGrantedNew}, {Op::Read, 0, 0, 0, 0, lrConflictCursorRecordLockSingle},
      {Op::Record, 0, 0, 6, 0, lrGrantedNew}, {Op::Read, 1, 0, 0, 0, lrConflictCursorRecordLockMultiple},
      {Op::IsRead, 0, 0, 0, 0, lpNotAtAll}}},
    {"WriteLockIsReentrant",
     {{Op::Write, 0, 0, 0, 0, lrGrantedNew}, {Op::Write, 0, 0, 0, 0, lrGrantedExisting},
      {Op::ReleaseWrite, 0, 0, 0, 0, kTrue}, {Op::IsWrite, 0, 0, 0, 0, lpYesByUs},
      {Op::IsWrite, 1, 0, 0, 0, lpYesByAnother}, {Op::ReleaseWrite, 0, 0, 0, 0, kTrue},
      {Op::IsWrite, 0, 0, 0, 0, lpNotAtAll}, {Op::ReleaseWrite, 0, 0, 0, 0, kFalse}}},
    {"ClearCursorLocksDropsTheWholeWriteLock",
     {{Op::Write, 0, 0, 0, 0, lrGrantedNew}, {Op::Write, 0, 0, 0, 0, lrGrantedExisting},
      {Op::Read, 0, 0, 0, 0, lrGrantedNew}, {Op::Read, 0, 0, 0, 0, lrGrantedExisting},
      {Op::ClearCursor, 0, 0}, {Op::IsWrite, 0, 0, 0, 0, lpNotAtAll}, {Op::IsRead, 0, 0, 0, 0, lpNotAtAll},
      {Op::Write, 1, 0, 0, 0, lrGrantedNew}}},
    {"OnlyTheHolderReleasesTheWriteLock",
     {{Op::Write, 0, 0, 0, 0, lrGrantedNew}, {Op::ReleaseWrite, 0, 1, 0, 0, kFalse},
      {Op::Write, 0, 1, 0, 0, lrConflictCursorWriteLock}, {Op::Read, 1, 0, 0, 0, lrConflictCursorWriteLock},
      {Op::Record, 1, 0, 1, 0, lrConflictCursorWriteLock}, {Op::Record, 0, 0, 1, 0, lrGrantedNew}}},
    {"RecordLockTwiceNeedsOneRelease",
     {{Op::Record, 0, 0, 5, 0, lrGrantedNew}, {Op::Record, 0, 0, 5, 0, lrGrantedExisting},
      {Op::IsRecord, 1, 0, 5, 0, lpYesByAnother}, {Op::ReleaseRecord, 1, 0, 5, 0, kFalse},
      {Op::ReleaseRecord, 0, 0, 5, 0, kTrue}, {Op::IsRecord, 0, 0, 5, 0, lpNotAtAll},
      {Op::ReleaseRecord, 0, 0, 5, 0, kFalse}}},
    {"ConflictWithoutDeadlineAnswersAtOnce",
     {{Op::Write, 1, 0, 0, 0, lrGrantedNew}, {Op::Read, 0, 0, 0, 0, lrConflictCursorWriteLock},
      {Op::Record, 2, 0, 9, 0, lrConflictCursorWriteLock}}},
    {"ReadLocksBlockWritesAndRecords",
     {{Op::Read, 0, 0, 0, 0, lrGrantedNew}, {Op::Write, 0, 0, 0, 0, lrGrantedNew},
      {Op::ReleaseWrite, 0, 0, 0, 0, kTrue}, {Op::Write, 1, 0, 0, 0, lrConflictCursorReadLockSingle},
      {Op::Read, 1, 0, 0, 0, lrGrantedNew}, {Op::Write, 2, 0, 0, 0, lrConflictCursorReadLockMultiple},
      {Op::Write, 0, 0, 0, 0, lrConflictCursorReadLockSingle}, {Op::Record, 0, 0, 1, 0, lrConflictCursorReadLockMultiple},
      {Op::IsRead, 2, 0, 0, 0, lpYesByAnother}, {Op::IsRead, 1, 0, 0, 0, lpYesByUs},
      {Op::ReleaseRead, 2, 0, 0, 0, kFalse}, {Op::ReleaseRead, 1, 0, 0, 0, kTrue},
      {Op::Record, 2, 0, 1, 0, lrConflictCursorReadLockSingle}}},
    {"WriteLockAgainstRecordLocks",
     {{Op::Record, 0, 0, 1, 0, lrGrantedNew}, {Op::Record, 0, 0, 2, 0, lrGrantedNew},
      {Op::Write, 0, 0, 0, 0, lrGrantedNew}, {Op::ReleaseWrite, 0, 0, 0, 0, kTrue},
      {Op::Write, 1, 0, 0, 0, lrConflictCursorRecordLockMultiple}, {Op::ClearRecords, 0, 0},
      {Op::Record, 2, 0, 7, 0, lrGrantedNew}, {Op::Write, 1, 0, 0, 0, lrConflictCursorRecordLockSingle},
      {Op::IsRecord, 0, 0, 1, 0, lpNotAtAll}}},
    {"ReadLockNestsAndClearAllEndsEverything",
     {{Op::Read, 0, 0, 0, 0, lrGrantedNew}, {Op::Read, 0, 0, 0, 0, lrGrantedExisting},
      {Op::ReleaseRead, 0, 0, 0, 0, kTrue}, {Op::IsRead, 0, 0, 0, 0, lpYesByUs},
      {Op::ClearAll, 0, 0}, {Op::IsRead, 0, 0, 0, 0, lpNotAtAll}, {Op::ReleaseRead, 0, 0, 0, 0, kFalse}}},
    {"TransactionOwnsTheTableUntilItEnds",
     {{Op::Record, 0, 0, 1, 1, lrGrantedNew}, {Op::ReleaseRecord, 0, 0, 1, 1, kTrue},
      {Op::Record, 1, 0, 2, 2, lrConflictTransaction}, {Op::Read, 1, 0, 0, 2, lrConflictTransaction},
      {Op::Write, 1, 0, 0, 2, lrConflictTransaction}, {Op::Record, 1, 0, 2, 0, lrConflictTransaction},
      {Op::Record, 0, 0, 2, 1, lrGrantedNew}, {Op::Record, 1, 0, 2, 2, lrConflictCursorRecordLockSingle},
      {Op::EndTrans, 0, 0, 0, 2}, {Op::Record, 1, 0, 3, 2, lrConflictTransaction},
      {Op::EndTrans, 0, 0, 0, 1}, {Op::Record, 1, 0, 3, 2, lrGrantedNew}}},
    {"ReleaseByAnotherCursorStillAdoptsTheTransaction",
     {{Op::Record, 0, 0, 1, 0, lrGrantedNew}, {Op::ReleaseRecord, 1, 0, 1, 2, kFalse},
      {Op::Record, 0, 0, 3, 1, lrConflictTransaction}, {Op::ReleaseRecord, 0, 0, 9, 1, kFalse},
      {Op::Record, 0, 0, 3, 1, lrConflictTransaction}}},
    {"BrokenTransactionIsNotAdopted",
     {{Op::Corrupt, 0, 0, 0, 1}, {Op::Record, 0, 0, 1, 1, lrGrantedNew}, {Op::ReleaseRecord, 0, 0, 1, 1, kTrue},
      {Op::Record, 1, 0, 2, 2, lrGrantedNew}}},
    {"ReadCountsSurviveASecondReader",
     {{Op::Read, 0, 0, 0, 0, lrGrantedNew}, {Op::Read, 0, 0, 0, 0, lrGrantedExisting},
      {Op::Read, 0, 0, 0, 0, lrGrantedExisting}, {Op::Read, 1, 0, 0, 0, lrGrantedNew},
      {Op::ReleaseRead, 1, 0, 0, 0, kTrue}, {Op::ReleaseRead, 0, 0, 0, 0, kTrue},
      {Op::ReleaseRead, 0, 0, 0, 0, kTrue}, {Op::IsRead, 1, 0, 0, 0, lpYesByAnother},
      {Op::ReleaseRead, 0, 0, 0, 0, kTrue}, {Op::ReleaseRead, 0, 0, 0, 0, kFalse},
      {Op::IsRead, 0, 0, 0, 0, lpNotAtAll}, {Op::Read, 0, 0, 0, 0, lrGrantedNew}}},
    {"OnlyTheReaderReleasesItsReadLock",
     {{Op::Read, 0, 0, 0, 0, lrGrantedNew}, {Op::ReleaseRead, 0, 1, 0, 0, kFalse},
      {Op::ReleaseRead, 1, 0, 0, 0, kFalse}, {Op::IsRead, 0, 0, 0, 0, lpYesByUs},
      {Op::IsRead, 0, 1, 0, 0, lpYesByAnother}, {Op::ReleaseRead, 0, 0, 0, 0, kTrue},
      {Op::ReleaseRead, 0, 0, 0, 0, kFalse}}},
    {"ReadLockAfterTheTransactionEnded",
     {{Op::Record, 0, 0, 1, 2, lrGrantedNew}, {Op::ReleaseRecord, 0, 0, 1, 2, kTrue},
      {Op::Read, 0, 0, 0, 3, lrConflictTransaction}, {Op::Read, 0, 0, 0, 2, lrGrantedNew},
      {Op::ReleaseRead, 0, 0, 0, 0, kTrue}, {Op::EndTrans, 0, 0, 0, 2},
      {Op::Read, 0, 0, 0, 3, lrGrantedNew}, {Op::Record, 1, 0, 1, 0, lrConflictCursorReadLockSingle}}},
    {"ConditionalConflictAnswersAtOnce",
     {{Op::Record, 1, 0, 4, 0, lrGrantedNew}, {Op::Record, 0, 0, 4, 0, lrConflictCursorRecordLockSingle, true},
      {Op::Record, 0, 0, -4, 0, lrGrantedNew, true}}},
};

TEST_F(TableLockContainerTest, EdgeCases) {
  for (const EdgeCase& edge : kEdgeCases) {
    SCOPED_TRACE(edge.name);
    for (auto& session : world.Cursors)
      for (TnxAbstractCursor* cursor : session) container.ClearAllLocks(cursor);
    for (TnxBaseTransaction* trans : transactions) container.EndTransaction(trans);
    for (size_t i = 0; i < edge.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      EXPECT_EQ(Run(edge.steps[i]), edge.steps[i].expect);
    }
    EXPECT_TRUE(container.State().Queue.empty());
  }
}

TEST_F(TableLockContainerTest, ReadLocksAreOrderedByHandleAndRecordLocksBySignedRefNr) {
  for (int s = LockWorld::kSessions - 1; s >= 0; --s)
    for (int c = 1; c >= 0; --c) ASSERT_EQ(container.GetReadLock(nullptr, world.Cursor(s, c), true, nullptr), lrGrantedNew);
  TnxLockContainerState state = container.State();
  ASSERT_EQ(state.ReadLocks.size(), 6u);
  for (size_t i = 0; i < state.ReadLocks.size(); ++i) {
    EXPECT_EQ(state.ReadLocks[i].clHandle, state.ReadLocks[i].clCursor->RemoteID());
    if (i) {
      EXPECT_LT(state.ReadLocks[i - 1].clHandle, state.ReadLocks[i].clHandle);
    }
  }
  for (auto& session : world.Cursors)
    for (TnxAbstractCursor* cursor : session) container.ClearAllLocks(cursor);
  for (TnxRefNr refNr : {TnxRefNr(5), TnxRefNr(-3), TnxRefNr(INT64_MIN), TnxRefNr(0x7FFFFFFF00000001), TnxRefNr(0)})
    ASSERT_EQ(container.GetRecordLock(nullptr, world.Cursor(0), refNr, true, nullptr), lrGrantedNew);
  std::vector<TnxRefNr> order;
  for (const TnxRecordLock& lock : container.State().RecordLocks) order.push_back(lock.rlRefNr);
  EXPECT_EQ(order, (std::vector<TnxRefNr>{INT64_MIN, -3, 0, 5, 0x7FFFFFFF00000001}));
}

TEST_F(TableLockContainerTest, ManyRecordLocksGrowTheListAndStaySorted) {
  for (TnxRefNr refNr = 200; refNr > 0; --refNr)
    ASSERT_EQ(container.GetRecordLock(nullptr, world.Cursor(int(refNr % 2)), refNr, true, nullptr), lrGrantedNew);
  TnxLockContainerState state = container.State();
  ASSERT_EQ(state.RecordLocks.size(), 200u);
  for (size_t i = 0; i < state.RecordLocks.size(); ++i) EXPECT_EQ(state.RecordLocks[i].rlRefNr, TnxRefNr(i + 1));
  container.ClearRecordLocks(world.Cursor(1));
  state = container.State();
  ASSERT_EQ(state.RecordLocks.size(), 100u);
  for (size_t i = 0; i < state.RecordLocks.size(); ++i) EXPECT_EQ(state.RecordLocks[i].rlRefNr, TnxRefNr(2 * i + 2));
}

// Beyond what fits beside the cursor in one word the counts carry on in
// the list.
TEST_F(TableLockContainerTest, DeeplyNestedReadLocksKeepEveryCount) {
  constexpr int kDepth = 70000;
  TnxAbstractCursor* cursor = world.Cursor(0);
  for (int i = 0; i < kDepth; ++i)
    ASSERT_EQ(container.GetReadLock(nullptr, cursor, false, nullptr), i ? lrGrantedExisting : lrGrantedNew) << i;
  TnxLockContainerState state = container.State();
  ASSERT_EQ(state.ReadLocks.size(), 1u);
  EXPECT_EQ(state.ReadLocks[0].clCount, kDepth);
  for (int i = 0; i < kDepth; ++i) ASSERT_TRUE(container.ReleaseReadLock(cursor)) << i;
  EXPECT_FALSE(container.ReleaseReadLock(cursor));
  EXPECT_EQ(container.IsReadLocked(cursor), lpNotAtAll);
}

// Readers that pass without the gate race writers and record lockers that
// take it: no grant ever overlaps a conflicting one, and what a writer
// wrote is seen by the next reader (ThreadSanitizer checks the ordering).
TEST_F(TableLockContainerTest, ReadersRacingWritersNeverOverlap) {
  constexpr int kRounds = 3000;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> overlap{false}, wrongAnswer{false};
  int table = 0;
  auto reader = [&](TnxAbstractCursor* aCursor) {
    for (int i = 0; i < kRounds; ++i) {
      TnxLockResult first = container.GetReadLock(nullptr, aCursor, true, nullptr);
      if (first != lrGrantedNew) {
        if (first != lrConflictCursorWriteLock && first != lrConflictCursorRecordLockSingle) wrongAnswer = true;
        continue;
      }
      // Before the counters, whose own ordering would hide a missing one.
      volatile int seen = table;
      (void)seen;
      readers.fetch_add(1);
      if (writers.load() != 0) overlap = true;
      const bool nested = i % 3 == 0;
      if (nested && container.GetReadLock(nullptr, aCursor, true, nullptr) != lrGrantedExisting) wrongAnswer = true;
      readers.fetch_sub(1);
      if (nested && !container.ReleaseReadLock(aCursor)) wrongAnswer = true;
      if (!container.ReleaseReadLock(aCursor)) wrongAnswer = true;
    }
  };
  auto writer = [&](TnxAbstractCursor* aCursor, bool aRecord) {
    for (int i = 0; i < kRounds; ++i) {
      TnxLockResult result = aRecord ? container.GetRecordLock(nullptr, aCursor, 1, true, nullptr)
                                     : container.GetWriteLock(nullptr, aCursor, true, nullptr);
      if (result != lrGrantedNew) continue;
      if (!aRecord) ++table;
      writers.fetch_add(1);
      if (readers.load() != 0) overlap = true;
      writers.fetch_sub(1);
      if (!(aRecord ? container.ReleaseRecordLock(aCursor, 1, nullptr) : container.ReleaseWriteLock(aCursor)))
        wrongAnswer = true;
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(reader, world.Cursor(0, 0));
  threads.emplace_back(reader, world.Cursor(1, 0));
  threads.emplace_back(writer, world.Cursor(2, 0), false);
  threads.emplace_back(writer, world.Cursor(2, 1), true);
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_FALSE(wrongAnswer);
  TnxLockContainerState state = container.State();
  EXPECT_TRUE(state.ReadLocks.empty());
  EXPECT_TRUE(state.RecordLocks.empty());
  EXPECT_EQ(state.WriteLockCursor, nullptr);
}

// ---- refusal texts ----

std::u16string Tags(std::u16string_view aRequest, std::u16string_view aResult) {
  return nxMessageTag(u"LockError.Type", u"content") + nxMessageTag(u"LockError.Request", aRequest) +
         nxMessageTag(u"LockError.Result", aResult);
}

// LowerHandle: of the read locks of sessions 1 and 2, the list keeps the one
// with the lower cursor handle first, and that is the one named.
enum class Who { Session1, Session2, Unknown, Same, LowerHandle };

struct ReasonCase {
  const char* name;
  std::vector<Step> setup;
  Step request;
  std::u16string firstLine;
  Who who;
};

TEST_F(TableLockContainerTest, RefusalTexts) {
  const ReasonCase cases[] = {
      {"WriteLock", {{Op::Write, 1}}, {Op::Read},
       u"The requested content read lock could not be granted due to a write lock conflict." +
           Tags(u"lrtReadLock", u"lrConflictCursorWriteLock"),
       Who::Session1},
      {"ReadLockSingle", {{Op::Read, 1}}, {Op::Write},
       u"The requested content write lock could not be granted due to a read lock conflict." +
           Tags(u"lrtWriteLock", u"lrConflictCursorReadLockSingle"),
       Who::Session1},
      {"ReadLockMultiple", {{Op::Read, 1}, {Op::Read, 2}}, {Op::Record, 0, 0, 1},
       u"The requested content record lock could not be granted due to multiple read lock conflicts." +
           Tags(u"lrtRecordLock", u"lrConflictCursorReadLockMultiple"),
       Who::LowerHandle},
      {"RecordLockSingle", {{Op::Record, 2, 0, 1}}, {Op::Record, 0, 0, 1},
       u"The requested content record lock could not be granted due to a record lock conflict." +
           Tags(u"lrtRecordLock", u"lrConflictCursorRecordLockSingle"),
       Who::Session2},
      {"RecordLockMultiple", {{Op::Record, 1, 0, 1}, {Op::Record, 2, 0, 2}}, {Op::Write},
       u"The requested content write lock could not be granted due to multiple record lock conflicts." +
           Tags(u"lrtWriteLock", u"lrConflictCursorRecordLockMultiple"),
       Who::Session2},
      {"Transaction", {{Op::Record, 1, 0, 1, 2}, {Op::ReleaseRecord, 1, 0, 1, 2}}, {Op::Record, 0, 0, 5, 1},
       u"The requested content record lock could not be granted due to a transaction conflict." +
           Tags(u"lrtRecordLock", u"lrConflictTransaction"),
       Who::Session1},
      {"TransactionOfNoSession", {{Op::Record, 1, 0, 1, 4}, {Op::ReleaseRecord, 1, 0, 1, 4}}, {Op::Read, 0, 0, 0, 1},
       u"The requested content read lock could not be granted due to a transaction conflict." +
           Tags(u"lrtReadLock", u"lrConflictTransaction"),
       Who::Unknown},
      {"SameSession", {{Op::Record, 0, 1, 1}}, {Op::Read},
       u"The requested content read lock could not be granted due to a record lock conflict." +
           Tags(u"lrtReadLock", u"lrConflictCursorRecordLockSingle"),
       Who::Same},
      {"SameSessionTransaction", {{Op::Record, 0, 1, 1, 1}, {Op::ReleaseRecord, 0, 1, 1, 1}}, {Op::Write, 0, 0, 0, 2},
       u"The requested content write lock could not be granted due to a transaction conflict." +
           Tags(u"lrtWriteLock", u"lrConflictTransaction"),
       Who::Same},
  };
  for (const ReasonCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto& session : world.Cursors)
      for (TnxAbstractCursor* cursor : session) container.ClearAllLocks(cursor);
    for (int t = 1; t <= 4; ++t) container.EndTransaction(Trans(t));
    for (const Step& step : c.setup) Run(step);
    reason.Add(u"left over");
    reason.SameSession = true;
    EXPECT_GE(Run(c.request), int(lrConflictUnknown));

    platform::TStringList expected;
    expected.Add(c.firstLine);
    expected.Add(u"");
    switch (c.who) {
      case Who::Session1:
      case Who::Session2:
        expected.Add(u"The conflict occurred with the following session:");
        world.Sessions[c.who == Who::Session1 ? 1 : 2]->GetUserInfo(expected);
        break;
      case Who::LowerHandle:
        expected.Add(u"The conflict occurred with the following session:");
        world.Sessions[world.Cursor(1)->RemoteID() < world.Cursor(2)->RemoteID() ? 1 : 2]->GetUserInfo(expected);
        break;
      case Who::Unknown:
        expected.Add(u"The conflict occurred with an unknown session." +
                     nxMessageTag(u"LockError.UnknownSession", u"1"));
        break;
      case Who::Same: expected.Add(nxMessageTag(u"LockError.SameSession", u"1")); break;
    }
    EXPECT_EQ(reason.Text(), expected.Text());
    EXPECT_EQ(reason.SameSession, c.who == Who::Same);
  }
}

TEST_F(TableLockContainerTest, GrantsLeaveTheReasonAlone) {
  reason.Add(u"untouched");
  EXPECT_EQ(container.GetWriteLock(nullptr, world.Cursor(0), false, &reason), lrGrantedNew);
  EXPECT_EQ(reason.Text(), u"untouched\r\n");
  EXPECT_EQ(container.GetReadLock(nullptr, world.Cursor(1), false, nullptr), lrConflictCursorWriteLock);
}

// A cursor freed with its session conflicts with its own session's locks
// as with a stranger's: it must not be waved through as "same session".
TEST_F(TableLockContainerTest, CursorOfASessionBeingFreedCountsAsAnotherSession) {
  auto cursor = nxCreateServerObject<testing::MemorySqlCursor>(world.Databases[0], 0, *world.engine,
                                                              std::u16string(u"Customers"), nullptr);
  ASSERT_EQ(container.GetRecordLock(nullptr, cursor.get(), 1, false, nullptr), lrGrantedNew);
  TnxLockResult result = lrGrantedNew;
  bool sessionDying = false;
  int calls = 0;
  cursor->DuringPrepareDestroy = [&](testing::MemorySqlCursor& aCursor) {
    if (calls++) return;  // the session prepares its children more than once
    sessionDying = aCursor.Database()->Session()->Destroying();
    result = container.GetReadLock(nullptr, &aCursor, false, &reason);
    container.ClearAllLocks(&aCursor);
  };
  cursor.release();
  platform::TStringList userInfo;
  world.Sessions[0]->GetUserInfo(userInfo);
  world.Sessions[0]->Free();
  ASSERT_TRUE(sessionDying);
  EXPECT_EQ(result, lrConflictCursorRecordLockSingle);
  EXPECT_FALSE(reason.SameSession);
  ASSERT_GE(reason.Count(), 3);
  EXPECT_EQ(reason[2], u"The conflict occurred with the following session:");
  EXPECT_TRUE(container.State().RecordLocks.empty());
}

TEST_F(TableLockContainerTest, ExceptionDataDescribesLocksAndQueue) {
  ASSERT_EQ(container.GetReadLock(nullptr, world.Cursor(0), false, nullptr), lrGrantedNew);
  ASSERT_EQ(container.GetReadLock(nullptr, world.Cursor(0), false, nullptr), lrGrantedExisting);
  ASSERT_EQ(container.GetReadLock(nullptr, world.Cursor(1), false, nullptr), lrGrantedNew);
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  container.GetExceptionData(*data);
  std::u16string text = data->ToString();
  for (std::u16string_view part : {u"ActiveLocks", u"TableLocks", u"WriteLock", u"ReadLocks", u"[1]",
                                   u"RecordLocks", u"WaitingLockRequest"})
    EXPECT_NE(text.find(part), std::u16string::npos) << std::string(part.begin(), part.end());
}

// ---- waiting ----

class TableLockContainerWaitTest : public TableLockContainerTest {
protected:
  // Bounded: the queue reaches the length within two seconds.
  bool AwaitQueueLength(size_t aLength) {
    for (int i = 0; i < 2000; ++i) {
      if (container.State().Queue.size() == aLength) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  TnxAbstractCursor* A() { return world.Cursor(0); }
  TnxAbstractCursor* B() { return world.Cursor(1); }
  TnxAbstractCursor* C() { return world.Cursor(2); }
};

TEST_F(TableLockContainerWaitTest, WaitersAreGrantedInArrivalOrderAfterTheRelease) {
  ASSERT_EQ(container.GetWriteLock(nullptr, A(), false, nullptr), lrGrantedNew);
  std::mutex mutex;
  std::vector<int> order;
  auto waiter = [&](TnxAbstractCursor* aCursor, int aId) {
    nxSetTimeout(20000, true);
    TnxLockResult result = container.GetWriteLock(nullptr, aCursor, false, nullptr);
    {
      std::lock_guard lock(mutex);
      order.push_back(aId * 10 + result);
    }
    container.ReleaseWriteLock(aCursor);
  };
  std::thread first(waiter, B(), 1);
  ASSERT_TRUE(AwaitQueueLength(1));
  std::thread second(waiter, C(), 2);
  bool queued = AwaitQueueLength(2);
  container.ReleaseWriteLock(A());
  first.join();
  second.join();
  ASSERT_TRUE(queued);
  EXPECT_EQ(order, (std::vector<int>{10, 20}));
  EXPECT_TRUE(container.State().Queue.empty());
}

TEST_F(TableLockContainerWaitTest, WaitEndsAtTheDeadlineWithTheConflict) {
  ASSERT_EQ(container.GetWriteLock(nullptr, A(), false, nullptr), lrGrantedNew);
  TnxLockResult result = lrGrantedNew;
  std::thread waiter([&] {
    nxSetTimeout(30, true);
    result = container.GetReadLock(nullptr, B(), false, &reason);
  });
  waiter.join();
  EXPECT_EQ(result, lrConflictCursorWriteLock);
  ASSERT_GE(reason.Count(), 3);
  EXPECT_EQ(reason[2], u"The conflict occurred with the following session:");
  EXPECT_TRUE(container.State().Queue.empty());
}

// Stands in for the waits of chosen cursors and counts the signals each
// cursor's requests got.
class ScriptedHook : public InxLockWaitHook {
public:
  std::map<const TnxAbstractCursor*, std::function<bool()>> OnWait;

  void Signalled(const TnxWaitingLockRequest& aRequest) noexcept override {
    std::lock_guard lock(mutex);
    ++signals[aRequest.Cursor()];
    cv.notify_all();
  }
  bool Wait(const TnxWaitingLockRequest& aRequest, uint32_t) override { return OnWait.at(aRequest.Cursor())(); }
  // At most five seconds; takes the signal.
  bool AwaitSignal(const TnxAbstractCursor* aCursor) {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return signals[aCursor] > 0; })) return false;
    --signals[aCursor];
    return true;
  }

private:
  std::mutex mutex;
  std::condition_variable cv;
  std::map<const TnxAbstractCursor*, int> signals;
};

// The head's wait runs out just as the lock comes free: it takes the lock
// as a conditional request and must still pass the turn on.
TEST_F(TableLockContainerWaitTest, HeadThatTimesOutPassesTheTurnOn) {
  ScriptedHook hook;
  container.SetWaitHook(&hook);
  ASSERT_EQ(container.GetWriteLock(nullptr, A(), false, nullptr), lrGrantedNew);
  hook.OnWait[B()] = [&] {
    if (AwaitQueueLength(2)) container.ReleaseWriteLock(A());
    return false;
  };
  std::atomic<int> secondWoken{-1};
  hook.OnWait[C()] = [&] {
    bool woken = hook.AwaitSignal(C());
    secondWoken = woken;
    return woken;
  };
  TnxLockResult first = lrConflictUnknown, second = lrConflictUnknown;
  std::thread head([&] {
    nxSetTimeout(60000, true);
    first = container.GetReadLock(nullptr, B(), false, nullptr);
  });
  bool headQueued = AwaitQueueLength(1);
  std::thread behind([&] {
    nxSetTimeout(60000, true);
    second = container.GetReadLock(nullptr, C(), false, nullptr);
  });
  head.join();
  behind.join();
  container.SetWaitHook(nullptr);
  ASSERT_TRUE(headQueued);
  EXPECT_EQ(first, lrGrantedNew);
  EXPECT_EQ(secondWoken, 1);
  EXPECT_EQ(second, lrGrantedNew);
}

// A queued request whose retry cannot grow the record list leaves with the
// exception, takes its entry out of the queue and wakes the next waiter.
TEST_F(TableLockContainerWaitTest, RequestLeavingByAnExceptionFreesItsEntryAndWakesTheNext) {
  ScriptedHook hook;
  container.SetWaitHook(&hook);
  for (TnxRefNr refNr = 1; refNr <= 64; ++refNr)
    ASSERT_EQ(container.GetRecordLock(nullptr, A(), refNr, false, nullptr), lrGrantedNew);
  hook.OnWait[B()] = [&] {
    if (AwaitQueueLength(2)) {
      // Record 1 comes free, the list is full again: the retry must grow it.
      container.ReleaseRecordLock(A(), 1, nullptr);
      container.GetRecordLock(nullptr, A(), 500, true, nullptr);
      tlsFailAfter = 0;
    }
    return true;
  };
  std::atomic<int> secondWoken{-1};
  hook.OnWait[C()] = [&] {
    secondWoken = hook.AwaitSignal(C());
    return false;
  };
  bool raised = false;
  TnxLockResult second = lrGrantedNew;
  std::thread head([&] {
    nxSetTimeout(60000, true);
    try {
      container.GetRecordLock(nullptr, B(), 1, false, nullptr);
    } catch (const std::bad_alloc&) {
      raised = true;
    }
    tlsFailAfter = -1;
  });
  bool headQueued = AwaitQueueLength(1);
  std::thread behind([&] {
    nxSetTimeout(60000, true);
    second = container.GetWriteLock(nullptr, C(), false, nullptr);
  });
  head.join();
  behind.join();
  container.SetWaitHook(nullptr);
  ASSERT_TRUE(headQueued);
  EXPECT_TRUE(raised);
  EXPECT_EQ(secondWoken, 1);
  EXPECT_EQ(second, lrConflictCursorRecordLockMultiple);
  TnxLockContainerState state = container.State();
  EXPECT_TRUE(state.Queue.empty());
  ASSERT_EQ(state.RecordLocks.size(), 64u);
  EXPECT_EQ(state.RecordLocks.front().rlRefNr, 2);
  EXPECT_EQ(state.RecordLocks.back().rlRefNr, 500);
}

// Transactions that never owned the table end on other threads while one
// hands the table over and takes it back (the race detector watches).
TEST_F(TableLockContainerWaitTest, EndTransactionRacesWithHandOver) {
  TnxBaseTransaction* owner = Trans(1);
  TnxBaseTransaction* other = Trans(2);
  std::atomic<bool> done{false};
  std::thread ender([&] {
    for (int i = 0; i < 20000 && !done; ++i) container.EndTransaction(other);
  });
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(container.GetRecordLock(owner, A(), 1, false, nullptr), lrGrantedNew);
    ASSERT_TRUE(container.ReleaseRecordLock(A(), 1, owner));
    ASSERT_EQ(container.State().Trans, owner);
    container.EndTransaction(owner);
  }
  done = true;
  ender.join();
  EXPECT_EQ(container.State().Trans, nullptr);
}

}  // namespace
}  // namespace revurov
