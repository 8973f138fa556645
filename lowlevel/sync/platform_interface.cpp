#include "lowlevel/sync/platform_interface.h"

#include <mutex>

#include "lowlevel/sync/message_queue.h"
#include "lowlevel/sync/thread.h"

namespace revurov {

namespace {

thread_local bool tlsIsMainThread = false;

void DefaultHandleException(const std::exception&) {}
void DefaultTerminate() {}
void DefaultProcessMessages() {}

std::recursive_mutex gSynchronizeLock;
void DefaultSynchronize(const std::function<void()>& aMethod) {
  std::lock_guard guard(gSynchronizeLock);
  aMethod();
}

// The default timer: a simple timer thread while enabled.
class TnxThreadTimer : public InxTimer {
public:
  explicit TnxThreadTimer(std::function<void()> aOnTimer) : tOnTimer(std::move(aOnTimer)) {}
  bool Enabled() const override { return tThread != nullptr; }
  void SetEnabled(bool aValue) override {
    if (aValue == Enabled()) return;
    if (aValue)
      tThread = platform::NewThread<TnxSimpleTimerThread>(tInterval, platform::TThreadPriority::tpNormal,
                                                          [this](TnxSimpleTimerThread*) { tOnTimer(); });
    else
      tThread.reset();
  }
  uint32_t Interval() const override { return tInterval; }
  void SetInterval(uint32_t aValue) override {
    tInterval = aValue;
    if (tThread) tThread->SetInterval(aValue);
  }

private:
  std::function<void()> tOnTimer;
  uint32_t tInterval = 1000;
  platform::TThreadPtr<TnxSimpleTimerThread> tThread;
};

std::unique_ptr<InxTimer> DefaultCreateTimer(std::function<void()> aOnTimer) {
  return std::make_unique<TnxThreadTimer>(std::move(aOnTimer));
}

uint8_t DefaultMessageDlg(const std::u16string&, TnxMsgDlgType, TnxMsgDlgButtons, int32_t) {
  return nxMsgDlgNoAnswer;
}
bool DefaultLogonDialog(const std::u16string&, std::u16string&, std::u16string&) { return false; }
bool DefaultServerPickDialog(const std::vector<std::u16string>&, std::u16string&) { return false; }
bool DefaultJournalRecoveryDialog(TnxJournalState aState, const std::u16string&, const std::u16string&,
                                  const std::u16string&, const std::u16string&) {
  return aState == jsComplete;
}

void DefaultBeep() {}

}  // namespace

TnxWindowHandle (*nxPlatformAllocateWindow)(TnxWndMethod) = &nxAllocateQueueWindow;
void (*nxPlatformDeallocateWindow)(TnxWindowHandle) = &nxDeallocateQueueWindow;
bool (*nxPlatformPostMessage)(TnxWindowHandle, uint32_t, uintptr_t, intptr_t) = &nxPostQueueMessage;
intptr_t (*nxPlatformSendMessage)(TnxWindowHandle, uint32_t, uintptr_t, intptr_t) = &nxSendQueueMessage;
void (*nxPlatformHandleException)(const std::exception&) = &DefaultHandleException;
void (*nxPlatformTerminate)() = &DefaultTerminate;
void (*nxPlatformProcessMessages)() = &DefaultProcessMessages;
uint32_t (*nxPlatformWaitWithMessages)(platform::EventHandle, uint32_t) = &platform::WaitForEvent;
void (*nxPlatformSynchronize)(const std::function<void()>&) = &DefaultSynchronize;
std::unique_ptr<InxTimer> (*nxPlatformCreateTimer)(std::function<void()>) = &DefaultCreateTimer;
uint8_t (*nxPlatformMessageDlg)(const std::u16string&, TnxMsgDlgType, TnxMsgDlgButtons, int32_t) =
    &DefaultMessageDlg;
bool (*nxPlatformLogonDialog)(const std::u16string&, std::u16string&, std::u16string&) = &DefaultLogonDialog;
bool (*nxPlatformServerPickDialog)(const std::vector<std::u16string>&, std::u16string&) = &DefaultServerPickDialog;
bool (*nxPlatformJournalRecoveryDialog)(TnxJournalState, const std::u16string&, const std::u16string&,
                                        const std::u16string&, const std::u16string&) =
    &DefaultJournalRecoveryDialog;
void (*nxPlatformBeep)() = &DefaultBeep;

void nxResetPlatformHooks() noexcept {
  nxPlatformAllocateWindow = &nxAllocateQueueWindow;
  nxPlatformDeallocateWindow = &nxDeallocateQueueWindow;
  nxPlatformPostMessage = &nxPostQueueMessage;
  nxPlatformSendMessage = &nxSendQueueMessage;
  nxPlatformHandleException = &DefaultHandleException;
  nxPlatformTerminate = &DefaultTerminate;
  nxPlatformProcessMessages = &DefaultProcessMessages;
  nxPlatformWaitWithMessages = &platform::WaitForEvent;
  nxPlatformSynchronize = &DefaultSynchronize;
  nxPlatformCreateTimer = &DefaultCreateTimer;
  nxPlatformMessageDlg = &DefaultMessageDlg;
  nxPlatformLogonDialog = &DefaultLogonDialog;
  nxPlatformServerPickDialog = &DefaultServerPickDialog;
  nxPlatformJournalRecoveryDialog = &DefaultJournalRecoveryDialog;
  nxPlatformBeep = &DefaultBeep;
}

bool nxIsMainThread() noexcept { return tlsIsMainThread; }
void nxSetIsMainThread(bool aValue) noexcept { tlsIsMainThread = aValue; }

}  // namespace revurov
