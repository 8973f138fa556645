#include "lowlevel/sync/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os_thread.h"
#include "platform/text.h"

namespace revurov {
namespace {

using platform::NewThread;
using platform::TThreadPriority;
using platform::TThreadPtr;

constexpr TThreadPriority kNormal = TThreadPriority::tpNormal;

// ---- the start handshake ----

const void* gThrownObject = nullptr;

class FailingStartThread : public TnxInitThread {
public:
  explicit FailingStartThread(std::atomic<bool>* aBodyRan) : TnxInitThread(kNormal), fBodyRan(aBodyRan) {}

protected:
  void DoBeforeExecute() override {
    try {
      RaiseError(u"start failed");
    } catch (const EnxInitThread& e) {
      gThrownObject = &e;
      throw;
    }
  }
  void InnerExecute() override { *fBodyRan = true; }

private:
  std::atomic<bool>* fBodyRan;
};

TEST(InitThread, AStartUpExceptionArrivesInTheCreatorAsTheSameObject) {
  std::atomic<bool> bodyRan{false};
  try {
    NewThread<FailingStartThread>(&bodyRan);
    FAIL() << "no exception";
  } catch (const EnxInitThread& e) {
    EXPECT_EQ(&e, gThrownObject);
    EXPECT_EQ(e.Message(), u"RevurOV: start failed [no error code]");
  }
  EXPECT_FALSE(bodyRan);
}

class RecordingThread : public TnxInitThread {
public:
  RecordingThread() : TnxInitThread(kNormal) {}
  // Written by the new thread before the handshake, read by the creator
  // after it without further synchronisation.
  uint32_t StartedOn = 0;
  std::vector<int> Steps;  // written by the thread only until it ends
  bool FailBody = false;
  std::u16string Handled;

protected:
  void DoBeforeExecute() override {
    StartedOn = platform::CurrentThreadId();
    Steps.push_back(1);
  }
  void InnerExecute() override {
    Steps.push_back(2);
    if (FailBody) RaiseError(u"body failed");
  }
  void DoAfterExecute() override {
    Steps.push_back(3);
    TnxInitThread::DoAfterExecute();
  }
  void HandleException(const platform::Exception& e) override { Handled = e.Message(); }
};

TEST(InitThread, TheCreatorSeesTheStartUpStepAndTheThreadEndsAfterItsWork) {
  auto thread = NewThread<RecordingThread>();
  EXPECT_NE(thread->StartedOn, 0u);
  EXPECT_NE(thread->StartedOn, platform::CurrentThreadId());
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_EQ(thread->Steps, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(thread->Name(), u"TnxInitThread");
  thread->SetName(u"Worker");
  EXPECT_EQ(thread->Name(), u"Worker");
}

class FailingBodyThread : public RecordingThread {
public:
  FailingBodyThread() { FailBody = true; }
};

TEST(InitThread, ABodyFailureStillRunsTheAfterStepAndGoesToHandleException) {
  auto thread = NewThread<FailingBodyThread>();
  thread->WaitFor();
  EXPECT_EQ(thread->Steps, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(thread->Handled, u"RevurOV: body failed [no error code]");
  EXPECT_FALSE(thread->FatalException());
}

class StdFailureThread : public TnxInitThread {
public:
  StdFailureThread() : TnxInitThread(kNormal) {}

protected:
  void InnerExecute() override { throw std::runtime_error("not a library exception"); }
};

TEST(InitThread, OtherExceptionsEndTheThreadAndAreKept) {
  auto thread = NewThread<StdFailureThread>();
  thread->WaitFor();
  ASSERT_TRUE(thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(thread->FatalException()), std::runtime_error);
}

class WaitingThread : public TnxInternalWaitThread {
public:
  WaitingThread() : TnxInternalWaitThread(kNormal) {}
  std::atomic<bool> Worked{false};

protected:
  void InnerExecute() override { Worked = true; }
};

TEST(WaitThread, StaysAliveAfterItsWorkUntilItsOwnerFreesIt) {
  auto thread = NewThread<WaitingThread>();
  while (!thread->Waiting()) platform::YieldThread();
  EXPECT_TRUE(thread->Worked);
  EXPECT_FALSE(thread->WaitForEx(0));
  EXPECT_FALSE(thread->Finished());
  thread.reset();  // releases and waits
}

TEST(Thread, ErrorsAreRaisedInTheClassesExceptionClass) {
  auto thread = NewThread<RecordingThread>();
  EXPECT_NO_THROW(thread->CheckError(0));
  try {
    thread->CheckError(15503);
    FAIL();
  } catch (const EnxInitThread& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_EQ(e.ClassName(), u"EnxInitThread");
  }
  EXPECT_THROW(thread->RaiseError(u"x"), EnxInternalInitThread);
}

TEST(Thread, MainThreadWaitsLetMessagesThrough) {
  static std::atomic<int> hookCalls{0};
  hookCalls = 0;
  nxPlatformWaitWithMessages = [](platform::EventHandle e, uint32_t t) {
    ++hookCalls;
    return platform::WaitForEvent(e, t);
  };
  nxSetIsMainThread(true);
  {
    auto thread = NewThread<RecordingThread>();  // the handshake
    EXPECT_TRUE(thread->WaitForEx(platform::kInfinite));
  }
  nxSetIsMainThread(false);
  nxResetPlatformHooks();
  EXPECT_GE(hookCalls.load(), 2);
}

class MessageSettingThread : public TnxThread {
public:
  MessageSettingThread() : TnxThread(true, kNormal) {}

protected:
  void ThreadExecute() override { EnxBaseException::nxSetMessage(15503, u"left behind"); }
};

TEST(Thread, TheBodysLastConvertedMessageIsClearedAtItsEnd) {
  auto thread = NewThread<MessageSettingThread>();
  uint32_t code = 0;
  std::u16string message = u"unset";
  thread->OnTerminate = [&](platform::TThread*) { EnxBaseException::GetLastConvertedException(code, message); };
  thread->Start();
  thread->WaitFor();
  EXPECT_EQ(code, 15503u);
  EXPECT_EQ(message, u"");
}

TEST(Thread, PriorityIdentifiersRoundTrip) {
  struct Case {
    TnxThreadPriority value;
    std::u16string_view ident;
  } cases[] = {{-15, u"IDLE"},        {-2, u"LOWEST"},  {-1, u"BELOW_NORMAL"}, {0, u"NORMAL"},
               {1, u"ABOVE_NORMAL"}, {2, u"HIGHEST"}, {15, u"TIME_CRITICAL"}};
  for (const Case& c : cases) {
    std::u16string ident;
    ASSERT_TRUE(nxThreadPriorityToIdent(c.value, ident));
    EXPECT_EQ(ident, c.ident);
    TnxThreadPriority value = 99;
    ASSERT_TRUE(nxIdentToThreadPriority(platform::AsciiLowerCase(c.ident), value));
    EXPECT_EQ(value, c.value);
  }
  std::u16string ident;
  TnxThreadPriority value = 0;
  EXPECT_FALSE(nxThreadPriorityToIdent(3, ident));
  EXPECT_FALSE(nxIdentToThreadPriority(u"HIGH", value));
}

// ---- timer threads ----

TEST(TimerThread, IsFreedWithinItsIntervalAtOnce) {
  std::atomic<int> ticks{0};
  // An hour: freeing waits for nothing of it.
  auto thread = NewThread<TnxSimpleTimerThread>(3600u * 1000u, kNormal,
                                                [&](TnxSimpleTimerThread*) { ++ticks; });
  thread.reset();
  EXPECT_EQ(ticks, 0);
}

class ImmediateTimerWait {
public:
  ImmediateTimerWait() {
    nxSetTimerThreadWait([](TnxEvent& e, uint32_t) {
      return platform::WaitForEvent(e.Handle(), 0) == platform::kWaitObject0;  // the interval "ran out"
    });
  }
  ~ImmediateTimerWait() { nxSetTimerThreadWait(nullptr); }
};

class CountingTimer : public TnxTimerThread {
public:
  CountingTimer() : TnxTimerThread(1000, kNormal) {}
  std::atomic<int> Ticks{0};
  std::atomic<int> Failures{0};

protected:
  void Timer() override {
    if (++Ticks % 2 == 0) RaiseError(u"tick failed");
  }
  void HandleException(const platform::Exception&) override { ++Failures; }
};

TEST(TimerThread, CallsTimerEachIntervalAndGoesOnAfterAFailure) {
  ImmediateTimerWait wait;
  auto thread = NewThread<CountingTimer>();
  while (thread->Ticks < 6) platform::YieldThread();
  thread.reset();
}

TEST(TimerThread, TheCallbackGetsTheThreadAsSender) {
  ImmediateTimerWait wait;
  std::atomic<TnxSimpleTimerThread*> sender{nullptr};
  auto thread = NewThread<TnxSimpleTimerThread>(1000u, kNormal, [&](TnxSimpleTimerThread* s) { sender = s; });
  while (!sender) platform::YieldThread();
  EXPECT_EQ(sender.load(), thread.get());
  thread.reset();
}

TEST(TimerThread, TheDefaultTimerHookRunsOnATimerThread) {
  ImmediateTimerWait wait;
  std::atomic<int> ticks{0};
  std::unique_ptr<InxTimer> timer = nxPlatformCreateTimer([&] { ++ticks; });
  EXPECT_FALSE(timer->Enabled());
  timer->SetInterval(50);
  EXPECT_EQ(timer->Interval(), 50u);
  timer->SetEnabled(true);
  while (ticks < 3) platform::YieldThread();
  timer->SetEnabled(false);
  const int stopped = ticks;
  EXPECT_EQ(ticks, stopped);
}

// ---- message threads ----

constexpr uint32_t kAdd = 0x400;
constexpr uint32_t kSkip = 0x401;
constexpr uint32_t kMark = 0x402;

class EchoThread : public TnxMessageThread {
public:
  EchoThread() : TnxMessageThread(kNormal) {}

  std::mutex Lock;
  std::vector<uint32_t> Seen;  // in BeforeDispatch
  std::vector<intptr_t> Results;  // in AfterDispatch
  std::atomic<uint32_t> DispatchedOn{0};
  std::atomic<int> Idles{0};
  std::atomic<bool> Marked{false};

protected:
  void DispatchMessage(TnxMessage& m) override {
    DispatchedOn = platform::CurrentThreadId();
    if (m.Msg == kAdd) m.Result = static_cast<intptr_t>(m.WParam) + m.LParam;
    else TnxMessageThread::DispatchMessage(m);
  }
  void BeforeDispatch(TnxMessage& m, bool& handled) override {
    std::lock_guard guard(Lock);
    Seen.push_back(m.Msg);
    handled = m.Msg == kSkip || m.Msg == kMark;
    if (m.Msg == kMark) Marked = true;
  }
  void AfterDispatch(TnxMessage&, intptr_t result) override {
    std::lock_guard guard(Lock);
    Results.push_back(result);
  }
  void Idle(TnxMessage&, bool&) override { ++Idles; }
};

TEST(MessageThread, SendsAreHandledOnTheThreadAndAnswered) {
  auto thread = NewThread<EchoThread>();
  ASSERT_NE(thread->Handle(), 0u);
  EXPECT_EQ(thread->PerformSend(kAdd, 40, 2), 42);
  EXPECT_EQ(thread->DispatchedOn.load(), thread->ThreadID());
  EXPECT_EQ(thread->PerformSend(0x999, 1, 1), 0);  // default handler
}

TEST(MessageThread, PostedMessagesArriveInOrderThroughTheDispatchSteps) {
  auto thread = NewThread<EchoThread>();
  EXPECT_TRUE(thread->PerformPost(kAdd, 1, 2));
  EXPECT_TRUE(thread->PostThreadMessage(kSkip, 0, 0));  // handled in BeforeDispatch
  EXPECT_TRUE(thread->PerformPost(kAdd, 3, 4));
  EXPECT_EQ(thread->PerformSend(kAdd, 0, 0), 0);  // sends pass posted messages
  thread->PostThreadMessage(kMark, 0, 0);
  while (!thread->Marked) platform::YieldThread();
  std::lock_guard guard(thread->Lock);
  EXPECT_EQ(thread->Seen, (std::vector<uint32_t>{kAdd, kSkip, kAdd, kMark}));
  EXPECT_EQ(thread->Results, (std::vector<intptr_t>{3, 7}));
  EXPECT_GE(thread->Idles.load(), 1);
}

TEST(MessageThread, AfterItsEndItsWindowIsGoneAndMessagesAreRefused) {
  auto thread = NewThread<EchoThread>();
  const TnxWindowHandle window = thread->Handle();
  thread->WaitForQuit();
  EXPECT_EQ(thread->Handle(), 0u);
  EXPECT_FALSE(thread->PerformPost(kAdd, 1, 1));
  EXPECT_EQ(thread->PerformSend(kAdd, 1, 1), 0);
  EXPECT_FALSE(thread->PostThreadMessage(kAdd, 1, 1));
  // The old handle is stale, also once its slot serves another window.
  auto other = NewThread<EchoThread>();
  EXPECT_FALSE(nxPlatformPostMessage(window, kAdd, 1, 1));
  EXPECT_EQ(nxPlatformSendMessage(window, kAdd, 1, 1), 0);
  EXPECT_EQ(other->PerformSend(kAdd, 1, 1), 2);
}

TEST(MessageThread, WithoutTheWindowHookItFailsToStartInTheCreator) {
  nxPlatformAllocateWindow = nullptr;
  try {
    NewThread<EchoThread>();
    ADD_FAILURE() << "no exception";
  } catch (const EnxMessageThread& e) {
    EXPECT_EQ(e.Message(), u"RevurOV: No platform implementation is linked into the program [no error code]");
  }
  nxResetPlatformHooks();
}

TEST(MessageThread, ManySendersGetTheirOwnAnswers) {
  auto thread = NewThread<EchoThread>();
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        if (thread->PerformSend(kAdd, static_cast<uintptr_t>(t), i) != t + i) ++wrong;
    });
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong, 0);
}

TEST(MessageThread, SendersWaitingAtItsEndAreAnsweredWithZero) {
  // A thread that stops taking messages: its senders wait until it ends.
  class StuckThread : public EchoThread {
  protected:
    void BeforeDispatch(TnxMessage& m, bool& handled) override {
      EchoThread::BeforeDispatch(m, handled);
      if (m.Msg == kSkip) Terminate();
    }
  };
  auto thread = NewThread<StuckThread>();
  std::atomic<intptr_t> answer{-1};
  thread->PostThreadMessage(kSkip, 0, 0);
  thread->WaitFor();
  std::thread sender([&] { answer = thread->PerformSend(kAdd, 1, 1); });
  sender.join();
  EXPECT_EQ(answer, 0);
}

TEST(Synchronize, RunsSerialisedByDefaultAndDirectlyOnTheMainThread) {
  int counter = 0;  // guarded by the synchronisation itself
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) nxSynchronize([&] { ++counter; });
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 400);
}

}  // namespace
}  // namespace revurov
