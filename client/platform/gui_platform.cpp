#include "client/platform/gui_platform.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QString>
#include <algorithm>
#include <exception>
#include <string>

#include "client/platform/form_runner.h"
#include "client/platform/gui_calls.h"
#include "client/platform/journal_form.h"
#include "client/platform/login_form.h"
#include "client/platform/message_dialog.h"
#include "client/platform/pick_server_form.h"
#include "lowlevel/sync/message_queue.h"

namespace revurov {

// ---- timer ----

TnxTimer::TnxTimer(std::function<void()> aOnTimer) : tOnTimer(std::move(aOnTimer)) {
  QObject::connect(&ftTimer, &QTimer::timeout, [this] {
    if (tOnTimer) tOnTimer();
  });
}

void TnxTimer::SetEnabled(bool aValue) {
  tEnabled = aValue;
  Update();
}

void TnxTimer::SetInterval(uint32_t aValue) {
  tInterval = aValue;
  Update();
}

// A change restarts the period, as the framework's timer does.
void TnxTimer::Update() {
  ftTimer.stop();
  if (tEnabled && tInterval != 0) ftTimer.start(static_cast<int>(std::min<uint32_t>(tInterval, INT32_MAX)));
}

namespace {

// The library's defaults, the answers when there is no GUI thread.
struct LibraryDefaults {
  decltype(nxPlatformMessageDlg) MessageDlg = nullptr;
  decltype(nxPlatformSynchronize) Synchronize = nullptr;
  decltype(nxPlatformCreateTimer) CreateTimer = nullptr;
  decltype(nxPlatformLogonDialog) LogonDialog = nullptr;
  decltype(nxPlatformServerPickDialog) ServerPickDialog = nullptr;
  decltype(nxPlatformJournalRecoveryDialog) JournalRecoveryDialog = nullptr;
};
LibraryDefaults gDefaults;

// The application's exception display.
void ShowException(const std::exception& aError) {
  // The library's exceptions give their message as UTF-8 here too.
  const std::u16string text = QString::fromUtf8(aError.what()).toStdU16String();
  nxCallOnGuiThread([&] { ShowPlatformMessageDialog(text, mtError, nxMsgDlgButton(mbOK), 0); });
}

// ---- the GUI thread's queue windows, served by its Qt loop ----

std::unique_ptr<TnxMessageQueue> gGuiQueue;
std::unique_ptr<QSocketNotifier> gGuiQueueNotifier;

void ServeGuiQueue() {
  TnxMessageQueue* queue = gGuiQueue.get();
  if (!queue) return;
  while (queue->WaitMessage(0)) {
    TnxMessage message;
    while (queue->Peek(message)) {
      if (!message.Window) continue;  // thread messages have no handler here
      try {
        nxDispatchQueueMessage(message);
      } catch (const std::exception& e) {
        ShowException(e);
      }
    }
  }
}

// Only the thread that owns them can free them; elsewhere they are kept.
// Freeing the queue closes its windows: messages to them are refused.
void FreeGuiQueue() noexcept {
  if (!gGuiQueue || TnxMessageQueue::Current() != gGuiQueue.get()) return;
  gGuiQueueNotifier.reset();
  gGuiQueue.reset();
}

void EnsureGuiQueue() {
  if (TnxMessageQueue::Current()) return;  // whoever attached it serves it
  gGuiQueue = std::make_unique<TnxMessageQueue>();
  gGuiQueue->Attach();
  gGuiQueueNotifier =
      std::make_unique<QSocketNotifier>(platform::EventFd(gGuiQueue->ArrivedEvent()), QSocketNotifier::Read);
  QObject::connect(gGuiQueueNotifier.get(), &QSocketNotifier::activated, [] { ServeGuiQueue(); });
  // Without the loop nobody would serve its windows: a sender would wait for ever.
  qAddPostRoutine(&FreeGuiQueue);
}

// ---- hooks ----

TnxWindowHandle AllocateUtilWindow(TnxWndMethod aMethod) {
  if (nxIsGuiThread()) EnsureGuiQueue();
  return nxAllocateQueueWindow(std::move(aMethod));
}

uint8_t MessageDlgHook(const std::u16string& aMessage, TnxMsgDlgType aType, TnxMsgDlgButtons aButtons,
                       int32_t aHelpCtx) {
  uint8_t answer = nxMsgDlgNoAnswer;
  if (nxCallOnGuiThread([&] { answer = ShowPlatformMessageDialog(aMessage, aType, aButtons, aHelpCtx); }))
    return answer;
  return gDefaults.MessageDlg(aMessage, aType, aButtons, aHelpCtx);
}

void TerminateHook() {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

void ProcessMessagesHook() {
  if (nxIsGuiThread()) QCoreApplication::processEvents();
}

void SynchronizeHook(const std::function<void()>& aMethod) {
  if (!nxCallOnGuiThread(aMethod)) gDefaults.Synchronize(aMethod);
}

bool LogonDialogHook(const std::u16string& aServer, std::u16string& aUserName, std::u16string& aPassword) {
  bool result = false;
  if (nxCallOnGuiThread([&] { result = ShowServerLogonDialog(aUserName, aPassword); })) return result;
  return gDefaults.LogonDialog(aServer, aUserName, aPassword);
}

bool ServerPickDialogHook(const std::vector<std::u16string>& aServers, std::u16string& aServer) {
  bool result = false;
  if (nxCallOnGuiThread([&] { result = ShowServerPickDialog(aServers, aServer); })) return result;
  return gDefaults.ServerPickDialog(aServers, aServer);
}

bool JournalRecoveryDialogHook(TnxJournalState aState, const std::u16string& aAlias, const std::u16string& aPath,
                               const std::u16string& aFileName, const std::u16string& aExceptionText) {
  bool result = false;
  if (nxCallOnGuiThread(
          [&] { result = ShowJournalRecoveryDialog(aState, aAlias, aPath, aFileName, aExceptionText); }))
    return result;
  return gDefaults.JournalRecoveryDialog(aState, aAlias, aPath, aFileName, aExceptionText);
}

void BeepHook() { nxFormRunner().Beep(); }

}  // namespace

std::unique_ptr<InxTimer> CreatePlatformTimer(std::function<void()> aOnTimer) {
  if (nxIsGuiThread()) return std::make_unique<TnxTimer>(std::move(aOnTimer));
  return gDefaults.CreateTimer(std::move(aOnTimer));
}

void InstallQtPlatform() {
  nxResetPlatformHooks();
  gDefaults = LibraryDefaults{nxPlatformMessageDlg,       nxPlatformSynchronize,
                              nxPlatformCreateTimer,      nxPlatformLogonDialog,
                              nxPlatformServerPickDialog, nxPlatformJournalRecoveryDialog};
  nxPlatformCreateTimer = &CreatePlatformTimer;
  nxPlatformMessageDlg = &MessageDlgHook;
  nxPlatformHandleException = &ShowException;
  nxPlatformTerminate = &TerminateHook;
  nxPlatformProcessMessages = &ProcessMessagesHook;
  nxPlatformWaitWithMessages = &nxWaitWithGuiCalls;
  nxPlatformSynchronize = &SynchronizeHook;
  nxPlatformAllocateWindow = &AllocateUtilWindow;
  nxPlatformLogonDialog = &LogonDialogHook;
  nxPlatformServerPickDialog = &ServerPickDialogHook;
  nxPlatformJournalRecoveryDialog = &JournalRecoveryDialogHook;
  nxPlatformBeep = &BeepHook;
  nxServeGuiCalls();
}

void RemoveQtPlatform() noexcept {
  nxResetPlatformHooks();
  nxAbandonGuiCalls();
  if (gGuiQueue && QCoreApplication::instance()) qRemovePostRoutine(&FreeGuiQueue);
  FreeGuiQueue();
}

}  // namespace revurov
