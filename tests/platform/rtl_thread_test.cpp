#include "platform/rtl_thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/os_thread.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {
namespace {

class GateThread : public TThread {
public:
  explicit GateThread(bool aSuspended) : TThread(aSuspended) { Gate = CreateEvent(true, false); }
  ~GateThread() override { CloseEvent(Gate); }
  EventHandle Gate;
  std::atomic<bool> Ran{false};

protected:
  void Execute() override {
    Ran = true;
    WaitForEvent(Gate, kInfinite);
    SetReturnValue(7);
  }
};

TEST(ThreadClass, ASuspendedThreadRunsOnlyOnceStarted) {
  auto thread = NewThread<GateThread>(true);
  EXPECT_TRUE(thread->Suspended());
  EXPECT_FALSE(thread->Ran);
  EXPECT_TRUE(thread->WaitForTimeout(0));  // nothing to wait for yet
  thread->Start();
  thread->Start();  // once
  EXPECT_FALSE(thread->WaitForTimeout(1));
  SetEvent(thread->Gate);
  EXPECT_EQ(thread->WaitFor(), 7);
  EXPECT_TRUE(thread->Ran);
  EXPECT_TRUE(thread->Finished());
}

TEST(ThreadClass, TheTerminateEventRunsOnTheEndingThread) {
  auto thread = NewThread<GateThread>(true);
  std::atomic<uint32_t> calledOn{0};
  std::atomic<TThread*> sender{nullptr};
  thread->OnTerminate = [&](TThread* s) {
    sender = s;
    calledOn = CurrentThreadId();
  };
  thread->Start();
  SetEvent(thread->Gate);
  thread->WaitFor();
  EXPECT_EQ(sender.load(), thread.get());
  EXPECT_EQ(calledOn.load(), thread->ThreadID());
  EXPECT_NE(calledOn.load(), CurrentThreadId());
}

class PollingThread : public TThread {
public:
  PollingThread() : TThread(false) {}

protected:
  void Execute() override {
    while (!Terminated()) YieldThread();
    throw EAbort();
  }
};

TEST(ThreadClass, FreeingTerminatesWaitsAndKeepsTheExecuteFailure) {
  auto thread = NewThread<PollingThread>();
  thread->Terminate();
  thread->WaitFor();
  ASSERT_TRUE(thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(thread->FatalException()), EAbort);
  auto running = NewThread<PollingThread>();
  running.reset();  // sets Terminated and waits
}

}  // namespace
}  // namespace revurov::platform
