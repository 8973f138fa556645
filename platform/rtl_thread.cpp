#include "platform/rtl_thread.h"

#include <pthread.h>

#include <cerrno>

#include "platform/os_thread.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

namespace {

static_assert(sizeof(pthread_t) == sizeof(uintptr_t));

int NiceOf(TThreadPriority aPriority) noexcept {
  switch (aPriority) {
    case TThreadPriority::tpIdle: return 19;
    case TThreadPriority::tpLowest: return 10;
    case TThreadPriority::tpLower: return 5;
    case TThreadPriority::tpNormal: return 0;
    case TThreadPriority::tpHigher: return -5;
    case TThreadPriority::tpHighest: return -10;
    case TThreadPriority::tpTimeCritical: return -20;
  }
  return 0;
}

}  // namespace

TThread::TThread(bool aCreateSuspended) : tCreateSuspended(aCreateSuspended) {
  tFinishedEvent = CreateEvent(true, false);
  if (!tFinishedEvent) throw EOSError(u"CreateEvent", static_cast<uint32_t>(errno));
}

TThread::~TThread() {
  Terminate();
  Join();
  CloseEvent(tFinishedEvent);
}

void TThread::Free(TThread* aThread) {
  if (!aThread) return;
  aThread->BeforeDestruction();
  delete aThread;
}

void TThread::AfterConstruction() {
  if (!tCreateSuspended) Start();
}

void TThread::BeforeDestruction() {
  Terminate();
  Join();
}

void TThread::Start() {
  std::lock_guard guard(tStartLock);
  if (tStarted.load(std::memory_order_relaxed)) return;
  pthread_t handle;
  const int rc = pthread_create(&handle, nullptr, &ThreadProc, this);
  if (rc != 0) throw EOSError(u"pthread_create", static_cast<uint32_t>(rc));
  tHandle = static_cast<uintptr_t>(handle);
  tStarted.store(true, std::memory_order_release);
}

void TThread::Terminate() {
  tTerminated.store(true, std::memory_order_release);
  TerminatedSet();
}

int32_t TThread::WaitFor() {
  if (Started()) WaitForEvent(tFinishedEvent, kInfinite);
  return tReturnValue;
}

bool TThread::WaitForTimeout(uint32_t aTimeoutMs) {
  if (!Started()) return true;
  return WaitForEvent(tFinishedEvent, aTimeoutMs) == kWaitObject0;
}

void TThread::SetPriority(TThreadPriority aPriority) {
  tPriority = aPriority;
  if (ThreadID()) ApplyPriority();
}

void SetCurrentThreadPriority(TThreadPriority aPriority) noexcept {
  SetThreadNice(CurrentThreadId(), NiceOf(aPriority));
}

void TThread::ApplyPriority() noexcept {
  // Per-thread nice values; refused without privileges, then left as is.
  SetThreadNice(ThreadID(), NiceOf(tPriority));
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}

void* TThread::ThreadProc(void* aSelf) {
  auto* self = static_cast<TThread*>(aSelf);
  self->tThreadID.store(CurrentThreadId(), std::memory_order_release);
  if (self->tPriority != TThreadPriority::tpNormal) self->ApplyPriority();
  try {
    self->Execute();
  } catch (...) {
    self->tFatalException = std::current_exception();
  }
  try {
    self->DoTerminate();
  } catch (...) {
    if (!self->tFatalException) self->tFatalException = std::current_exception();
  }
  self->tFinished.store(true, std::memory_order_release);
  SetEvent(self->tFinishedEvent);
  return nullptr;
}

void TThread::Join() noexcept {
  std::lock_guard guard(tStartLock);
  if (!tStarted.load(std::memory_order_relaxed) || tJoined) return;
  pthread_join(static_cast<pthread_t>(tHandle), nullptr);
  tJoined = true;
}

}  // namespace revurov::platform
