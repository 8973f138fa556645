// Four worker threads request and release locks of one container, one step
// at a time under a seeded scheduler; after every step the container must
// equal a reference model that follows the same rules on plain maps.
// Waits go through the container's wait hook, so the scheduler sees who is
// blocked, and deadlines run on the fake clock: nothing sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/table_lock_container.h"
#include "storage/deadline.h"
#include "support/fake_deadline_clock.h"
#include "support/lock_world.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::LockWorld;

constexpr int kWorkers = 4;
constexpr int kSessionOf[kWorkers] = {0, 0, 1, 2};
constexpr int kCursorOf[kWorkers] = {0, 1, 0, 0};
constexpr TnxRefNr kRefNrs = 3;

enum class Op { Read, Write, Record, ReleaseRead, ReleaseWrite, ReleaseRecord, ClearCursor, ClearRecords, ClearAll, EndTrans };

struct Command {
  Op op = Op::Read;
  TnxRefNr refNr = 0;
  bool conditional = false;
  bool withTrans = false;  // ReleaseRecord: hands the worker's transaction over
  uint32_t timeout = 0;    // 0: no deadline
};

std::string Describe(int aWorker, const Command& aCommand) {
  static const char* const kNames[] = {"Read", "Write", "Record", "ReleaseRead", "ReleaseWrite",
                                       "ReleaseRecord", "ClearCursor", "ClearRecords", "ClearAll", "EndTrans"};
  return "w" + std::to_string(aWorker) + " " + kNames[int(aCommand.op)] + " r" + std::to_string(aCommand.refNr) +
         (aCommand.conditional ? " cond" : "") + (aCommand.withTrans ? " trans" : "") + " t" +
         std::to_string(aCommand.timeout);
}

TnxLockRequestType TypeOf(Op aOp) {
  return aOp == Op::Read ? lrtReadLock : aOp == Op::Write ? lrtWriteLock : lrtRecordLock;
}
bool IsRequest(Op aOp) { return aOp == Op::Read || aOp == Op::Write || aOp == Op::Record; }

// ---- the reference model ----

class Model {
public:
  struct Call {
    Command command;
    bool conditional = false;
    bool queued = false;
    bool parked = false;
    int64_t deadline = 0;  // 0: none
  };

  std::array<uint32_t, kWorkers> handles{};
  int writeHolder = -1;
  int writeCount = 0;
  std::map<int, int> reads;              // worker -> count
  std::map<TnxRefNr, int> records;       // RefNr -> worker
  std::vector<int> queue;                // workers, head first
  int transOwner = -1;                   // worker whose transaction owns the table
  std::array<std::optional<Call>, kWorkers> calls;
  std::array<bool, kWorkers> signalled{};
  std::array<std::optional<int>, kWorkers> results;  // of calls ended since the last look
  int64_t now = 0;

  struct Eval {
    TnxLockResult result;
    int conflict;
  };

  std::vector<int> ReadsByHandle() const {
    std::vector<int> order;
    for (auto& [worker, count] : reads) order.push_back(worker);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return handles[size_t(a)] < handles[size_t(b)]; });
    return order;
  }

  // Mutates on a grant, as the container does.
  Eval Evaluate(int w, TnxLockRequestType aType, TnxRefNr aRefNr, bool aApply) {
    bool otherTrans = transOwner >= 0 && transOwner != w;
    std::vector<int> readOrder = ReadsByHandle();
    switch (aType) {
      case lrtReadLock:
        if (otherTrans) return {lrConflictTransaction, -1};
        if (!records.empty())
          return {records.size() == 1 ? lrConflictCursorRecordLockSingle : lrConflictCursorRecordLockMultiple,
                  records.begin()->second};
        if (writeHolder >= 0 && writeHolder != w) return {lrConflictCursorWriteLock, writeHolder};
        if (reads.count(w)) {
          if (aApply) ++reads[w];
          return {lrGrantedExisting, -1};
        }
        if (aApply) reads[w] = 1;
        return {lrGrantedNew, -1};
      case lrtWriteLock: {
        if (otherTrans) return {lrConflictTransaction, -1};
        if (writeHolder >= 0) {
          if (writeHolder != w) return {lrConflictCursorWriteLock, writeHolder};
          if (aApply) ++writeCount;
          return {lrGrantedExisting, -1};
        }
        if (reads.empty() || (reads.size() == 1 && reads.count(w))) {
          std::vector<int> others;
          for (auto it = records.rbegin(); it != records.rend(); ++it)
            if (it->second != w) others.push_back(it->second);
          if (others.size() == 1) return {lrConflictCursorRecordLockSingle, others[0]};
          if (others.size() > 1) return {lrConflictCursorRecordLockMultiple, others[0]};
          if (aApply) writeHolder = w, writeCount = 1;
          return {lrGrantedNew, -1};
        }
        if (reads.size() == 1) return {lrConflictCursorReadLockSingle, readOrder[0]};
        std::vector<int> others;
        for (auto it = readOrder.rbegin(); it != readOrder.rend(); ++it)
          if (*it != w) others.push_back(*it);
        return {others.size() > 1 ? lrConflictCursorReadLockMultiple : lrConflictCursorReadLockSingle, others[0]};
      }
      case lrtRecordLock: {
        if (writeHolder >= 0 && writeHolder != w) return {lrConflictCursorWriteLock, writeHolder};
        if (!reads.empty())
          return {reads.size() == 1 ? lrConflictCursorReadLockSingle : lrConflictCursorReadLockMultiple,
                  readOrder[0]};
        auto it = records.find(aRefNr);
        if (it != records.end())
          return it->second == w ? Eval{lrGrantedExisting, -1} : Eval{lrConflictCursorRecordLockSingle, it->second};
        if (otherTrans) return {lrConflictTransaction, -1};
        if (aApply) records[aRefNr] = w;
        return {lrGrantedNew, -1};
      }
    }
    return {lrConflictUnknown, -1};
  }

  void SignalHead() {
    if (!queue.empty()) signalled[size_t(queue.front())] = true;
  }
  void Finish(int w, int aResult) {
    calls[size_t(w)].reset();
    signalled[size_t(w)] = false;
    results[size_t(w)] = aResult;
  }

  // One evaluation round after another until the call parks or ends.
  void Advance(int w) {
    Call& call = *calls[size_t(w)];
    const Command& command = call.command;
    for (;;) {
      call.parked = false;
      TnxLockRequestType type = TypeOf(command.op);
      Eval eval = Evaluate(w, type, command.refNr, true);
      if (!call.conditional && eval.result >= lrConflictUnknown) {
        if (eval.result == lrConflictTransaction && transOwner >= 0 && kSessionOf[transOwner] == kSessionOf[w])
          call.conditional = true;
        else if (eval.conflict >= 0 && kSessionOf[eval.conflict] == kSessionOf[w])
          call.conditional = true;
      }
      if (eval.result < lrConflictUnknown || call.conditional) {
        if (call.queued) {
          queue.erase(std::find(queue.begin(), queue.end(), w));
          SignalHead();
        }
        Finish(w, eval.result);
        return;
      }
      if (!call.queued) {
        queue.push_back(w);
        call.queued = true;
      } else if (type == lrtRecordLock) {
        auto it = std::find(queue.begin(), queue.end(), w);
        if (it + 1 != queue.end()) signalled[size_t(*(it + 1))] = true;
      }
      int64_t remaining = call.deadline ? call.deadline - now : 0;
      if (remaining <= 1) remaining = 0;
      if (remaining <= 5) {
        call.conditional = true;
        continue;
      }
      if (signalled[size_t(w)]) {
        signalled[size_t(w)] = false;
        continue;
      }
      call.parked = true;
      return;
    }
  }

  void Cascade() {
    for (int guard = 0; guard < 1000; ++guard) {
      int next = -1;
      for (int w = 0; w < kWorkers; ++w)
        if (calls[size_t(w)] && calls[size_t(w)]->parked && signalled[size_t(w)]) next = w;
      if (next < 0) return;
      signalled[size_t(next)] = false;
      Advance(next);
    }
    ADD_FAILURE() << "the model's wake-ups do not settle";
  }

  void Start(int w, const Command& aCommand) {
    switch (aCommand.op) {
      case Op::Read:
      case Op::Write:
      case Op::Record: {
        Call call;
        call.command = aCommand;
        call.conditional = aCommand.conditional;
        call.deadline = aCommand.timeout ? now + aCommand.timeout : 0;
        calls[size_t(w)] = call;
        Advance(w);
        break;
      }
      case Op::ReleaseRead: {
        auto it = reads.find(w);
        bool found = it != reads.end();
        if (found && --it->second == 0) {
          reads.erase(it);
          SignalHead();
        }
        results[size_t(w)] = found;
        break;
      }
      case Op::ReleaseWrite: {
        bool found = writeHolder == w;
        if (found && --writeCount == 0) {
          writeHolder = -1;
          SignalHead();
        }
        results[size_t(w)] = found;
        break;
      }
      case Op::ReleaseRecord: {
        if (aCommand.withTrans && transOwner < 0) transOwner = w;
        auto it = records.find(aCommand.refNr);
        bool found = it != records.end() && it->second == w;
        if (found) {
          records.erase(it);
          SignalHead();
        }
        results[size_t(w)] = found;
        break;
      }
      case Op::ClearCursor:
      case Op::ClearRecords:
      case Op::ClearAll: {
        bool removed = false;
        if (aCommand.op != Op::ClearRecords) {
          removed = reads.erase(w) > 0;
          if (writeHolder == w) writeHolder = -1, writeCount = 0, removed = true;
        }
        if (aCommand.op != Op::ClearCursor) {
          for (auto it = records.begin(); it != records.end();) {
            if (it->second == w) {
              it = records.erase(it);
              removed = true;
            } else {
              ++it;
            }
          }
        }
        if (removed) SignalHead();
        results[size_t(w)] = 0;
        break;
      }
      case Op::EndTrans:
        if (transOwner == w) {
          transOwner = -1;
          SignalHead();
        }
        results[size_t(w)] = 0;
        break;
    }
    Cascade();
  }

  // The clock reaches the deadline of parked worker w.
  void TimeOut(int w, int64_t aNow) {
    now = aNow;
    Call& call = *calls[size_t(w)];
    call.conditional = true;
    Advance(w);
    Cascade();
  }
};

// ---- the workers and the hook that parks them ----

class Scheduler : public InxLockWaitHook {
public:
  enum class State { Idle, Running, Parked };

  Scheduler(TnxTableLockContainer& aContainer, LockWorld& aWorld) : container(aContainer), world(aWorld) {
    for (int w = 0; w < kWorkers; ++w) {
      cursorToWorker[aWorld.Cursor(kSessionOf[w], kCursorOf[w])] = w;
      transactions[size_t(w)] = aWorld.NewTransaction(aWorld.Sessions[size_t(kSessionOf[w])]);
    }
    for (int w = 0; w < kWorkers; ++w) threads.emplace_back([this, w] { Work(w); });
  }
  ~Scheduler() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    cv.notify_all();
    for (auto& thread : threads) thread.join();
  }

  void Signalled(const TnxWaitingLockRequest& aRequest) noexcept override {
    std::lock_guard lock(mutex);
    signalled[size_t(cursorToWorker.at(aRequest.Cursor()))] = true;
    cv.notify_all();
  }

  bool Wait(const TnxWaitingLockRequest& aRequest, uint32_t aTimeout) override {
    const int w = cursorToWorker.at(aRequest.Cursor());
    std::unique_lock lock(mutex);
    const int64_t deadline = int64_t(testing::TFakeDeadlineClock::Now()) + aTimeout;
    states[size_t(w)] = State::Parked;
    parkedDeadline[size_t(w)] = deadline;
    cv.notify_all();
    cv.wait(lock, [&] {
      return stop || signalled[size_t(w)] || int64_t(testing::TFakeDeadlineClock::Now()) >= deadline;
    });
    states[size_t(w)] = State::Running;
    bool result = signalled[size_t(w)];
    signalled[size_t(w)] = false;
    return result;
  }

  void Give(int w, const Command& aCommand) {
    std::lock_guard lock(mutex);
    commands[size_t(w)] = aCommand;
    states[size_t(w)] = State::Running;
    cv.notify_all();
  }

  // Moves the fake clock; parked waits whose deadline came end.
  void SetClock(int64_t aNow) {
    std::lock_guard lock(mutex);
    testing::TFakeDeadlineClock::Set(uint64_t(aNow));
    cv.notify_all();
  }

  // Every worker idle, or parked with no signal pending.
  bool Settle() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] {
      for (int w = 0; w < kWorkers; ++w) {
        if (states[size_t(w)] == State::Running) return false;
        if (states[size_t(w)] == State::Parked &&
            (signalled[size_t(w)] || int64_t(testing::TFakeDeadlineClock::Now()) >= parkedDeadline[size_t(w)]))
          return false;
      }
      return true;
    });
  }

  std::optional<int> TakeResult(int w) {
    std::lock_guard lock(mutex);
    return std::exchange(results[size_t(w)], std::nullopt);
  }
  State StateOf(int w) {
    std::lock_guard lock(mutex);
    return states[size_t(w)];
  }
  int64_t DeadlineOf(int w) {
    std::lock_guard lock(mutex);
    return parkedDeadline[size_t(w)];
  }
  TnxBaseTransaction* TransactionOf(int w) const { return transactions[size_t(w)]; }

private:
  void Work(int w) {
    TnxAbstractCursor* cursor = world.Cursor(kSessionOf[w], kCursorOf[w]);
    for (;;) {
      Command command;
      {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return stop || commands[size_t(w)].has_value(); });
        if (stop) return;
        command = *std::exchange(commands[size_t(w)], std::nullopt);
      }
      nxSetTimeout(command.timeout, true);
      TnxBaseTransaction* trans = transactions[size_t(w)];
      int result = 0;
      switch (command.op) {
        case Op::Read: result = container.GetReadLock(trans, cursor, command.conditional, nullptr); break;
        case Op::Write: result = container.GetWriteLock(trans, cursor, command.conditional, nullptr); break;
        case Op::Record:
          result = container.GetRecordLock(trans, cursor, command.refNr, command.conditional, nullptr);
          break;
        case Op::ReleaseRead: result = container.ReleaseReadLock(cursor); break;
        case Op::ReleaseWrite: result = container.ReleaseWriteLock(cursor); break;
        case Op::ReleaseRecord:
          result = container.ReleaseRecordLock(cursor, command.refNr, command.withTrans ? trans : nullptr);
          break;
        case Op::ClearCursor: container.ClearCursorLocks(cursor); break;
        case Op::ClearRecords: container.ClearRecordLocks(cursor); break;
        case Op::ClearAll: container.ClearAllLocks(cursor); break;
        case Op::EndTrans: container.EndTransaction(trans); break;
      }
      std::lock_guard lock(mutex);
      results[size_t(w)] = result;
      signalled[size_t(w)] = false;  // a new call has a new event
      states[size_t(w)] = State::Idle;
      cv.notify_all();
    }
  }

  TnxTableLockContainer& container;
  LockWorld& world;
  std::map<const TnxAbstractCursor*, int> cursorToWorker;
  std::array<TnxBaseTransaction*, kWorkers> transactions{};
  std::mutex mutex;
  std::condition_variable cv;
  bool stop = false;
  std::array<State, kWorkers> states{};
  std::array<bool, kWorkers> signalled{};
  std::array<int64_t, kWorkers> parkedDeadline{};
  std::array<std::optional<Command>, kWorkers> commands;
  std::array<std::optional<int>, kWorkers> results;
  std::vector<std::thread> threads;
};

class TableLockContainerModelTest : public ::testing::Test {
protected:
  testing::TFakeDeadlineClock clock{1'000'000};
  LockWorld world;
};

// Compares everything; answers a description of the first difference.
std::string Compare(const TnxLockContainerState& aState, const Model& aModel,
                    const std::map<const TnxAbstractCursor*, int>& aWorkers, const Scheduler& aScheduler) {
  auto worker = [&](const TnxAbstractCursor* aCursor) {
    auto it = aWorkers.find(aCursor);
    return it == aWorkers.end() ? -2 : it->second;
  };
  int holder = aState.WriteLockCursor ? worker(aState.WriteLockCursor) : -1;
  if (holder != aModel.writeHolder || aState.WriteLockCount != (holder >= 0 ? aModel.writeCount : 0))
    return "write lock " + std::to_string(holder) + "x" + std::to_string(aState.WriteLockCount) + ", model " +
           std::to_string(aModel.writeHolder) + "x" + std::to_string(aModel.writeCount);
  std::vector<int> readOrder = aModel.ReadsByHandle();
  if (aState.ReadLocks.size() != readOrder.size()) return "read lock count";
  for (size_t i = 0; i < readOrder.size(); ++i)
    if (worker(aState.ReadLocks[i].clCursor) != readOrder[i] ||
        aState.ReadLocks[i].clCount != aModel.reads.at(readOrder[i]))
      return "read lock " + std::to_string(i);
  if (aState.RecordLocks.size() != aModel.records.size()) return "record lock count";
  size_t i = 0;
  for (auto& [refNr, w] : aModel.records) {
    if (aState.RecordLocks[i].rlRefNr != refNr || worker(aState.RecordLocks[i].rlCursor) != w)
      return "record lock " + std::to_string(i);
    ++i;
  }
  if (aState.Queue.size() != aModel.queue.size()) return "queue length " + std::to_string(aState.Queue.size());
  for (i = 0; i < aModel.queue.size(); ++i) {
    const Model::Call& call = *aModel.calls[size_t(aModel.queue[i])];
    if (worker(aState.Queue[i].Cursor) != aModel.queue[i] || aState.Queue[i].Type != TypeOf(call.command.op) ||
        (aState.Queue[i].Type == lrtRecordLock && aState.Queue[i].RefNr != call.command.refNr))
      return "queue entry " + std::to_string(i);
  }
  TnxBaseTransaction* owner = aModel.transOwner >= 0 ? aScheduler.TransactionOf(aModel.transOwner) : nullptr;
  if (aState.Trans != owner) return "transaction";
  return {};
}

TEST_F(TableLockContainerModelTest, RandomSchedulesMatchTheModel) {
  const int schedules = testing::TestSize(150, 10000);
  const int steps = 40;
  std::map<const TnxAbstractCursor*, int> workers;
  for (int w = 0; w < kWorkers; ++w) workers[world.Cursor(kSessionOf[w], kCursorOf[w])] = w;

  for (int schedule = 0; schedule < schedules; ++schedule) {
    std::mt19937 random(uint32_t(schedule) * 7919u + 17u);
    auto chance = [&](int aPercent) { return int(random() % 100) < aPercent; };
    TnxTableLockContainer container;
    Scheduler scheduler(container, world);
    container.SetWaitHook(&scheduler);
    Model model;
    model.now = 1'000'000;
    scheduler.SetClock(model.now);
    for (int w = 0; w < kWorkers; ++w) model.handles[size_t(w)] = world.Cursor(kSessionOf[w], kCursorOf[w])->RemoteID();
    std::vector<std::string> log;

    for (int step = 0; step < steps; ++step) {
      std::vector<int> idle, parked;
      for (int w = 0; w < kWorkers; ++w) (model.calls[size_t(w)] ? parked : idle).push_back(w);
      if (!parked.empty() && (idle.empty() || chance(15))) {
        // Time passes up to the earliest deadline of a parked call.
        int first = parked[0];
        for (int w : parked)
          if (model.calls[size_t(w)]->deadline < model.calls[size_t(first)]->deadline) first = w;
        int64_t deadline = model.calls[size_t(first)]->deadline;
        log.push_back("time " + std::to_string(deadline - model.now) + " ends w" + std::to_string(first));
        model.TimeOut(first, deadline);
        scheduler.SetClock(deadline);
      } else {
        int w = idle[random() % idle.size()];
        Command command;
        int pick = int(random() % 100);
        command.op = pick < 20 ? Op::Record : pick < 33 ? Op::Read : pick < 43 ? Op::Write
                   : pick < 58 ? Op::ReleaseRecord : pick < 66 ? Op::ReleaseRead : pick < 74 ? Op::ReleaseWrite
                   : pick < 80 ? Op::ClearCursor : pick < 85 ? Op::ClearRecords : pick < 90 ? Op::ClearAll
                   : Op::EndTrans;
        command.refNr = TnxRefNr(random() % kRefNrs) + 1;
        command.conditional = chance(15);
        command.withTrans = chance(30);
        if (IsRequest(command.op)) {
          int kind = int(random() % 10);
          if (kind == 0) {
            command.timeout = 0;
          } else if (kind == 1) {
            command.timeout = 3;  // too little left to wait
          } else {
            // Deadlines of parked calls never meet: one times out at a time.
            for (int tries = 0; tries < 100; ++tries) {
              command.timeout = 10 + random() % 500;
              bool clash = false;
              for (int p : parked)
                if (std::abs(model.calls[size_t(p)]->deadline - (model.now + command.timeout)) < 8) clash = true;
              if (!clash) break;
            }
          }
        }
        log.push_back(Describe(w, command));
        model.Start(w, command);
        scheduler.Give(w, command);
      }
      ASSERT_TRUE(scheduler.Settle()) << "schedule " << schedule << " step " << step << " does not settle";

      std::string trace;
      for (auto& line : log) trace += line + "\n";
      for (int w = 0; w < kWorkers; ++w) {
        std::optional<int> result = scheduler.TakeResult(w);
        ASSERT_EQ(result, model.results[size_t(w)]) << "schedule " << schedule << " worker " << w << "\n" << trace;
        model.results[size_t(w)].reset();
        ASSERT_EQ(scheduler.StateOf(w) == Scheduler::State::Parked, model.calls[size_t(w)].has_value())
            << "schedule " << schedule << " worker " << w << "\n" << trace;
      }
      std::string difference = Compare(container.State(), model, workers, scheduler);
      ASSERT_EQ(difference, "") << "schedule " << schedule << "\n" << trace;

      // A waiter whose conflict has gone must have been woken: the head,
      // and behind record waiters (which pass the turn on) the next one.
      for (int w : model.queue) {
        const Model::Call& call = *model.calls[size_t(w)];
        TnxLockRequestType type = TypeOf(call.command.op);
        ASSERT_GE(model.Evaluate(w, type, call.command.refNr, false).result, lrConflictUnknown)
            << "worker " << w << " waits for nothing\n" << trace;
        if (type != lrtRecordLock) break;
      }
    }
    // Let every parked call run out, then clean up.
    for (int round = 0; round < kWorkers; ++round) {
      int first = -1;
      for (int w = 0; w < kWorkers; ++w)
        if (model.calls[size_t(w)] && (first < 0 || model.calls[size_t(w)]->deadline < model.calls[size_t(first)]->deadline))
          first = w;
      if (first < 0) break;
      int64_t deadline = model.calls[size_t(first)]->deadline;
      model.TimeOut(first, deadline);
      scheduler.SetClock(deadline);
      ASSERT_TRUE(scheduler.Settle());
      for (int w = 0; w < kWorkers; ++w) scheduler.TakeResult(w);
    }
    container.SetWaitHook(nullptr);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace revurov
