#include "client/platform/gui_platform.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "client/platform/gui_calls.h"
#include "client/platform/journal_form.h"
#include "client/platform/startup.h"
#include "gui_test_support.h"
#include "platform/os_event.h"

namespace revurov {
namespace {

using testing::TAppEnvironment;
using testing::TGuiTest;

constexpr uint32_t kBoundMs = 10000;  // no step of these tests comes near it

// Every hook's value, to see which ones a start-up or shut-down changed.
struct HookSnapshot {
  const void* Values[14];
  static const void* Of(auto aHook) { return reinterpret_cast<const void*>(aHook); }
  static HookSnapshot Take() {
    return {{Of(nxPlatformAllocateWindow), Of(nxPlatformDeallocateWindow), Of(nxPlatformPostMessage),
             Of(nxPlatformSendMessage), Of(nxPlatformHandleException), Of(nxPlatformTerminate),
             Of(nxPlatformProcessMessages), Of(nxPlatformWaitWithMessages), Of(nxPlatformSynchronize),
             Of(nxPlatformCreateTimer), Of(nxPlatformMessageDlg), Of(nxPlatformLogonDialog),
             Of(nxPlatformServerPickDialog), Of(nxPlatformJournalRecoveryDialog)}};
  }
};
// The window hooks that stay the library's own: deallocate, post, send.
constexpr bool kSetByBinding[14] = {true, false, false, false, true, true, true,
                                    true, true,  true,  true,  true,  true, true};

TEST(GuiPlatformStartup, IsCountedAndTheLastStopPutsEveryHookBack) {
  nxResetPlatformHooks();
  const HookSnapshot defaults = HookSnapshot::Take();
  nxGuiPlatformStartup();
  const HookSnapshot installed = HookSnapshot::Take();
  for (int i = 0; i < 14; ++i) EXPECT_EQ(installed.Values[i] != defaults.Values[i], kSetByBinding[i]) << i;
  nxGuiPlatformStartup();
  nxGuiPlatformShutdown();
  EXPECT_EQ(nxGuiPlatformStartupCount(), 1);
  const HookSnapshot stays = HookSnapshot::Take();
  for (int i = 0; i < 14; ++i) EXPECT_EQ(stays.Values[i], installed.Values[i]) << i;
  nxGuiPlatformShutdown();
  EXPECT_EQ(nxGuiPlatformStartupCount(), 0);
  const HookSnapshot removed = HookSnapshot::Take();
  for (int i = 0; i < 14; ++i) EXPECT_EQ(removed.Values[i], defaults.Values[i]) << i;
}

class GuiPlatform : public TGuiTest {
protected:
  GuiPlatform() { nxGuiPlatformStartup(); }
  ~GuiPlatform() override { nxGuiPlatformShutdown(); }

  // Runs the GUI loop until aDone is true, at most kBoundMs.
  static bool LoopUntil(const std::function<bool()>& aDone) {
    QElapsedTimer clock;
    clock.start();
    while (!aDone()) {
      if (clock.elapsed() > kBoundMs) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
  }

  // The journal question as the engine asks it, answered on the GUI thread
  // by pressing OK; records the thread the form ran on.
  void AnswerJournalWithOk() {
    Runner->Script = [this](QDialog& form) {
      formThread = QThread::currentThread();
      dynamic_cast<TfrmJournal&>(form).OKBtn->click();
    };
  }
  QThread* formThread = nullptr;
};

TEST_F(GuiPlatform, AJournalQuestionFromAWorkerRunsOnTheGuiLoop) {
  AnswerJournalWithOk();
  std::atomic<bool> answered{false};
  bool answer = false;
  std::thread worker([&] {
    answer = nxPlatformJournalRecoveryDialog(jsComplete, u"Kunden", u"/daten", u"Adressen.nx1", u"");
    answered = true;
  });
  const bool inTime = LoopUntil([&] { return answered.load(); });
  if (!inTime) nxAbandonGuiCalls();
  worker.join();
  ASSERT_TRUE(inTime);
  EXPECT_TRUE(answer);
  EXPECT_EQ(formThread, QThread::currentThread());
}

// An application made after the binding's start-up has no watch for calls
// yet: the first call wakes the loop with a Qt event.
TEST_F(GuiPlatform, WithoutTheWatchAQtEventWakesTheLoop) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "Qt's own hand-over of posted events is not visible to ThreadSanitizer";
#endif
  nxAbandonGuiCalls();  // also stops the watch
  AnswerJournalWithOk();
  for (int round = 0; round < 2; ++round) {  // the second one finds the watch set up
    std::atomic<bool> answered{false};
    bool answer = false;
    std::thread worker([&] {
      answer = nxPlatformJournalRecoveryDialog(jsComplete, u"", u"", u"", u"");
      answered = true;
    });
    const bool inTime = LoopUntil([&] { return answered.load(); });
    if (!inTime) nxAbandonGuiCalls();
    worker.join();
    ASSERT_TRUE(inTime) << round;
    EXPECT_TRUE(answer) << round;
  }
}

// The GUI thread waits for the very worker that asks: the question runs in
// the wait, and nothing else of the GUI loop does.
TEST_F(GuiPlatform, AGuiThreadWaitingForTheWorkerAnswersItsQuestion) {
  AnswerJournalWithOk();
  bool otherEventRan = false;
  QTimer::singleShot(0, [&] { otherEventRan = true; });
  const platform::EventHandle done = platform::CreateEvent(true, false);
  bool answer = false;
  std::thread worker([&] {
    answer = nxPlatformJournalRecoveryDialog(jsComplete, u"Kunden", u"/daten", u"Adressen.nx1", u"");
    platform::SetEvent(done);
  });
  const uint32_t waited = nxPlatformWaitWithMessages(done, kBoundMs);
  if (waited != platform::kWaitObject0) nxAbandonGuiCalls();
  worker.join();
  platform::CloseEvent(done);
  ASSERT_EQ(waited, platform::kWaitObject0);
  EXPECT_TRUE(answer);
  EXPECT_EQ(formThread, QThread::currentThread());
  EXPECT_FALSE(otherEventRan);
  QCoreApplication::processEvents();
}

TEST_F(GuiPlatform, WithoutAQtApplicationTheDefaultAnswerComesAtOnce) {
  TAppEnvironment::End();
  const struct {
    TnxJournalState state;
    bool answer;
  } cases[] = {{jsComplete, true}, {jsIncomplete, false}};
  for (const auto& c : cases) {
    bool fromWorker = !c.answer;
    std::thread worker([&] { fromWorker = nxPlatformJournalRecoveryDialog(c.state, u"", u"", u"", u""); });
    worker.join();
    EXPECT_EQ(fromWorker, c.answer);
    EXPECT_EQ(nxPlatformJournalRecoveryDialog(c.state, u"", u"", u"", u""), c.answer);
  }
  std::u16string user = u"u", password = u"p";
  EXPECT_FALSE(nxPlatformLogonDialog(u"", user, password));
  EXPECT_EQ(nxPlatformMessageDlg(u"?", mtConfirmation, nxMsgDlgButton(mbYes), 0), nxMsgDlgNoAnswer);
  EXPECT_EQ(Runner->Runs, 0);
}

TEST_F(GuiPlatform, SynchronizedWorkRunsOnTheGuiThreadAndItsExceptionReachesTheCaller) {
  QThread* ranOn = nullptr;
  std::string caught;
  const platform::EventHandle done = platform::CreateEvent(true, false);
  std::thread worker([&] {
    nxPlatformSynchronize([&] { ranOn = QThread::currentThread(); });
    try {
      nxPlatformSynchronize([] { throw std::runtime_error("in the GUI thread"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    platform::SetEvent(done);
  });
  const uint32_t waited = nxPlatformWaitWithMessages(done, kBoundMs);
  if (waited != platform::kWaitObject0) nxAbandonGuiCalls();
  worker.join();
  platform::CloseEvent(done);
  ASSERT_EQ(waited, platform::kWaitObject0);
  EXPECT_EQ(ranOn, QThread::currentThread());
  EXPECT_EQ(caught, "in the GUI thread");
}

TEST_F(GuiPlatform, AWindowOfTheGuiThreadIsServedByItsQtLoop) {
  std::atomic<int> posted{0};
  QThread* handledOn = nullptr;
  const TnxWindowHandle window = nxPlatformAllocateWindow([&](TnxMessage& m) {
    handledOn = QThread::currentThread();
    if (m.Msg == 0x401) ++posted;
    m.Result = static_cast<intptr_t>(m.WParam * 2);
  });
  ASSERT_NE(window, 0u);
  std::atomic<bool> finished{false};
  intptr_t sent = 0;
  std::thread worker([&] {
    sent = nxPlatformSendMessage(window, 0x400, 21, 0);
    nxPlatformPostMessage(window, 0x401, 0, 0);
    finished = true;
  });
  const bool inTime = LoopUntil([&] { return finished.load() && posted.load() == 1; });
  worker.join();
  nxPlatformDeallocateWindow(window);
  ASSERT_TRUE(inTime);
  EXPECT_EQ(sent, 42);
  EXPECT_EQ(handledOn, QThread::currentThread());
}

TEST_F(GuiPlatform, WindowsOfTheGuiThreadRefuseMessagesOnceItsApplicationHasEnded) {
  const TnxWindowHandle window = nxPlatformAllocateWindow([](TnxMessage& m) { m.Result = 1; });
  ASSERT_NE(window, 0u);
  TAppEnvironment::End();
  // Shared with the worker, which is left behind if its send never returns.
  struct Outcome {
    std::atomic<intptr_t> sent{-1};
    std::atomic<bool> posted{true};
    platform::EventHandle done = platform::CreateEvent(true, false);
  };
  auto outcome = std::make_shared<Outcome>();
  std::thread worker([outcome, window] {
    outcome->sent = nxPlatformSendMessage(window, 0x400, 0, 0);
    outcome->posted = nxPlatformPostMessage(window, 0x401, 0, 0);
    platform::SetEvent(outcome->done);
  });
  const bool inTime = platform::WaitForEvent(outcome->done, kBoundMs) == platform::kWaitObject0;
  if (!inTime) {
    worker.detach();
    FAIL() << "a send to a window of the ended application did not return";
  }
  worker.join();
  platform::CloseEvent(outcome->done);
  EXPECT_EQ(outcome->sent.load(), 0);
  EXPECT_FALSE(outcome->posted.load());
}

TEST_F(GuiPlatform, TimersOfTheGuiThreadAreQtTimersAndOthersTheLibrarys) {
  int ticks = 0;
  std::unique_ptr<InxTimer> timer = nxPlatformCreateTimer([&] { ++ticks; });
  ASSERT_NE(dynamic_cast<TnxTimer*>(timer.get()), nullptr);
  EXPECT_FALSE(timer->Enabled());
  timer->SetInterval(1);
  timer->SetEnabled(true);
  EXPECT_TRUE(LoopUntil([&] { return ticks >= 2; }));
  timer->SetEnabled(false);
  bool workerTimerIsQt = true;
  std::thread([&] {
    std::unique_ptr<InxTimer> other = nxPlatformCreateTimer([] {});
    workerTimerIsQt = dynamic_cast<TnxTimer*>(other.get()) != nullptr;
  }).join();
  EXPECT_FALSE(workerTimerIsQt);
}

TEST_F(GuiPlatform, AnExceptionIsShownAsAnErrorBoxWithItsMessage) {
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Runner->Script = [&](QDialog& dialog) {
    auto& box = dynamic_cast<QMessageBox&>(dialog);
    text = box.text();
    icon = box.icon();
    box.button(QMessageBox::Ok)->click();
  };
  nxPlatformHandleException(std::runtime_error("Tabelle gesperrt: Müller"));
  EXPECT_EQ(text, QStringLiteral("Tabelle gesperrt: Müller"));
  EXPECT_EQ(icon, QMessageBox::Critical);
}

}  // namespace
}  // namespace revurov
