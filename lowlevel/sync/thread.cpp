#include "lowlevel/sync/thread.h"

#include <atomic>
#include <exception>
#include <utility>
#include <mutex>

#include "lowlevel/heap/memory_manager.h"
#include "platform/text.h"

namespace revurov {

using platform::TThreadPriority;

namespace {

struct PriorityIdent {
  TnxThreadPriority Value;
  std::u16string_view Ident;
};
constexpr PriorityIdent kPriorityIdents[] = {
    {nxtpIdle, u"IDLE"},           {nxtpLowest, u"LOWEST"},   {nxtpBelowNormal, u"BELOW_NORMAL"},
    {nxtpNormal, u"NORMAL"},       {nxtpAboveNormal, u"ABOVE_NORMAL"}, {nxtpHighest, u"HIGHEST"},
    {nxtpTimeCritical, u"TIME_CRITICAL"},
};

uint32_t WaitHere(platform::EventHandle aEvent, uint32_t aTimeoutMs) {
  if (nxIsMainThread() && nxPlatformWaitWithMessages) return nxPlatformWaitWithMessages(aEvent, aTimeoutMs);
  return platform::WaitForEvent(aEvent, aTimeoutMs);
}

bool DefaultTimerWait(TnxEvent& aEvent, uint32_t aIntervalMs) {
  return aEvent.WaitForQuietly(aIntervalMs) == platform::kWaitObject0;
}
std::atomic<TnxTimerWait> gTimerWait{&DefaultTimerWait};

}  // namespace

bool nxThreadPriorityToIdent(TnxThreadPriority aValue, std::u16string& aIdent) {
  for (const PriorityIdent& p : kPriorityIdents)
    if (p.Value == aValue) {
      aIdent = p.Ident;
      return true;
    }
  return false;
}

bool nxIdentToThreadPriority(std::u16string_view aIdent, TnxThreadPriority& aValue) {
  for (const PriorityIdent& p : kPriorityIdents)
    if (platform::AsciiSameText(p.Ident, aIdent)) {
      aValue = p.Value;
      return true;
    }
  return false;
}

// ---- TnxThread ----

TnxThread::TnxThread(bool aCreateSuspended, TThreadPriority aPriority) : TThread(aCreateSuspended) {
  SetPriority(aPriority);
}

void* TnxThread::operator new(std::size_t aSize) { return nxGetMem(aSize); }
void TnxThread::operator delete(void* aPointer) noexcept { nxFreeMem(aPointer); }

const TnxThreadExceptionClass& TnxThread::GetExceptionClass() const { return nxThreadExceptionClass<EnxThread>(); }

void TnxThread::CheckError(uint32_t aErrorCode) const {
  if (aErrorCode != 0) RaiseError(static_cast<int64_t>(aErrorCode));
}
// The raisers throw; a class record whose raiser returned would be a fault.
void TnxThread::RaiseError(int64_t aErrorCode) const {
  GetExceptionClass().RaiseCode(aErrorCode);
  std::terminate();
}
void TnxThread::RaiseError(std::u16string_view aMessage) const {
  GetExceptionClass().RaiseMessage(aMessage);
  std::terminate();
}

bool TnxThread::WaitForEx(uint32_t aTimeoutMs) {
  if (!Started()) return true;
  return WaitHere(FinishedEvent(), aTimeoutMs) == platform::kWaitObject0;
}

void TnxThread::Execute() {
  try {
    ThreadExecute();
  } catch (const platform::Exception& e) {
    HandleException(e);
  }
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EnxBaseException::SetLastConvertedException(code, u"");
}

// ---- TnxInternalInitThread ----

TnxInternalInitThread::TnxInternalInitThread(TThreadPriority aPriority) : TnxThread(false, aPriority) {
  itInitSemaphore = platform::CreateEvent(false, false);
  if (!itInitSemaphore) nxRaiseLastOSError(u"TnxInternalInitThread.Create/CreateSemaphore", 0);
}

TnxInternalInitThread::~TnxInternalInitThread() { platform::CloseEvent(itInitSemaphore); }

const TnxThreadExceptionClass& TnxInternalInitThread::GetExceptionClass() const {
  return nxThreadExceptionClass<EnxInternalInitThread>();
}

void TnxInternalInitThread::AfterConstruction() {
  TnxThread::AfterConstruction();
  WaitHere(itInitSemaphore, platform::kInfinite);
  platform::CloseEvent(itInitSemaphore);
  itInitSemaphore = nullptr;
  if (itInitException) std::rethrow_exception(std::exchange(itInitException, nullptr));
}

void TnxInternalInitThread::ThreadExecute() {
  bool started = true;
  try {
    DoBeforeExecute();
  } catch (...) {
    Terminate();
    itInitException = std::current_exception();
    started = false;
  }
  // From here the creator may go on (and free this object once the thread
  // has ended): touch nothing of the start-up state after the signal.
  platform::SetEvent(itInitSemaphore);
  if (!started) return;
  std::exception_ptr failure;
  try {
    InnerExecute();
  } catch (...) {
    failure = std::current_exception();
  }
  DoAfterExecute();
  if (failure) std::rethrow_exception(failure);
}

// ---- TnxInternalWaitThread ----

TnxInternalWaitThread::TnxInternalWaitThread(TThreadPriority aPriority) : TnxInternalInitThread(aPriority) {
  wtWaitSemaphore = platform::CreateEvent(false, false);
  if (!wtWaitSemaphore) nxRaiseLastOSError(u"TnxInternalWaitThread.Create/CreateSemaphore", 0);
}

TnxInternalWaitThread::~TnxInternalWaitThread() { platform::CloseEvent(wtWaitSemaphore); }

const TnxThreadExceptionClass& TnxInternalWaitThread::GetExceptionClass() const {
  return nxThreadExceptionClass<EnxInternalWaitThread>();
}

void TnxInternalWaitThread::DoAfterExecute() {
  wtWaiting.store(true, std::memory_order_release);
  WaitHere(wtWaitSemaphore, platform::kInfinite);
}

void TnxInternalWaitThread::ReleaseWait() noexcept { platform::SetEvent(wtWaitSemaphore); }

void TnxInternalWaitThread::BeforeDestruction() {
  ReleaseWait();
  TnxInternalInitThread::BeforeDestruction();
}

// ---- TnxInitThread ----

const TnxThreadExceptionClass& TnxInitThread::GetExceptionClass() const {
  return nxThreadExceptionClass<EnxInitThread>();
}

void TnxInitThread::AfterConstruction() {
  TnxInternalWaitThread::AfterConstruction();
  ReleaseWait();
}

// ---- TnxMessageThread ----

const TnxThreadExceptionClass& TnxMessageThread::GetExceptionClass() const {
  return nxThreadExceptionClass<EnxMessageThread>();
}

void TnxMessageThread::BeforeDestruction() {
  WaitForQuit();
  TnxInitThread::BeforeDestruction();
}

void TnxMessageThread::ThreadExecute() {
  mtQueue.Attach();
  try {
    TnxInitThread::ThreadExecute();
  } catch (...) {
    if (TnxWindowHandle handle = mtHandle.exchange(0); handle && nxPlatformDeallocateWindow)
      nxPlatformDeallocateWindow(handle);
    mtQueue.Close();
    mtQueue.Detach();
    throw;
  }
  if (TnxWindowHandle handle = mtHandle.exchange(0); handle && nxPlatformDeallocateWindow)
    nxPlatformDeallocateWindow(handle);
  // Senders still waiting get their answer (0) now, not never.
  mtQueue.Close();
  mtQueue.Detach();
}

void TnxMessageThread::DoBeforeExecute() {
  TnxInitThread::DoBeforeExecute();
  if (!nxPlatformAllocateWindow)
    RaiseError(u"No platform implementation is linked into the program");
  TnxWindowHandle handle = nxPlatformAllocateWindow([this](TnxMessage& aMessage) { DispatchMessage(aMessage); });
  if (!handle) RaiseError(u"The message window could not be created");
  mtHandle.store(handle, std::memory_order_release);
}

void TnxMessageThread::InnerExecute() {
  while (!Terminated()) {
    TnxMessage message;
    if (mtQueue.Peek(message)) {
      HandleMessage(message);
      continue;
    }
    bool done = true;
    try {
      Idle(message, done);
    } catch (const platform::Exception& e) {
      HandleException(e);
      done = true;
    }
    if (done && !Terminated()) mtQueue.WaitMessage(platform::kInfinite);
  }
}

void TnxMessageThread::HandleMessage(TnxMessage& aMessage) {
  if (aMessage.Msg == nxWM_QUIT && aMessage.Window == 0) {
    Terminate();
    return;
  }
  bool handled = false;
  try {
    BeforeDispatch(aMessage, handled);
  } catch (const platform::Exception& e) {
    HandleException(e);
  }
  if (handled) return;
  if (aMessage.Window) nxDispatchQueueMessage(aMessage);
  try {
    AfterDispatch(aMessage, aMessage.Result);
  } catch (const platform::Exception& e) {
    HandleException(e);
  }
}

void TnxMessageThread::TerminatedSet() { mtQueue.Wake(); }

bool TnxMessageThread::PerformPost(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
  TnxWindowHandle handle = Handle();
  return handle && nxPlatformPostMessage && nxPlatformPostMessage(handle, aMsg, aWParam, aLParam);
}

intptr_t TnxMessageThread::PerformSend(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
  TnxWindowHandle handle = Handle();
  return handle && nxPlatformSendMessage ? nxPlatformSendMessage(handle, aMsg, aWParam, aLParam) : 0;
}

bool TnxMessageThread::PostThreadMessage(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
  return mtQueue.Post(TnxMessage{aMsg, aWParam, aLParam, 0, 0});
}

bool TnxMessageThread::PostQuitMessage() { return PostThreadMessage(nxWM_QUIT, 0, 0); }

void TnxMessageThread::WaitForQuit() {
  if (Terminated() || Suspended()) return;
  PostQuitMessage();
  Terminate();
  WaitFor();
}

// ---- timer threads ----

void nxSetTimerThreadWait(TnxTimerWait aWait) noexcept {
  gTimerWait.store(aWait ? aWait : &DefaultTimerWait, std::memory_order_release);
}

TnxTimerThread::TnxTimerThread(uint32_t aInterval, TThreadPriority aPriority)
    : TnxInitThread(aPriority), ttTimerInterval(aInterval) {}

void TnxTimerThread::BeforeDestruction() {
  Terminate();  // also signals the event
  TnxInitThread::BeforeDestruction();
}

void TnxTimerThread::TerminatedSet() { ttTimerEvent.SignalEvent(); }

void TnxTimerThread::InnerExecute() {
  while (!Terminated()) {
    gTimerWait.load(std::memory_order_acquire)(ttTimerEvent, Interval());
    if (Terminated()) break;
    try {
      Timer();
    } catch (const platform::Exception& e) {
      HandleException(e);
    }
  }
}

// ---- synchronisation ----

void nxSynchronize(const std::function<void()>& aMethod) {
  if (nxIsMainThread() || !nxPlatformSynchronize) {
    aMethod();
    return;
  }
  nxPlatformSynchronize(aMethod);
}

}  // namespace revurov
