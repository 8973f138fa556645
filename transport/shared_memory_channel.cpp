#include "transport/shared_memory_channel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "platform/os_error.h"
#include "platform/process_watch.h"
#include "platform/text.h"
#include "platform/thread_clock.h"
#include "transport/pooled_transport.h"

namespace revurov {

namespace {

// Control block: set-up marker, the three words, the reader's identity and
// the disconnect mutex; the block follows on its own page.
constexpr size_t kReadyOffset = 0;
constexpr size_t kWriterReadyOffset = 4;
constexpr size_t kReaderReadyOffset = 8;
constexpr size_t kDisconnectedOffset = 12;
constexpr size_t kReaderOffset = 16;
// Per ready word: how many sleep on it, so that a signal with nobody
// asleep costs no system call.
constexpr size_t kSleepersOffset = 28;  // + the word's offset: 32 and 36
constexpr size_t kMutexOffset = 64;
constexpr size_t kControlSize = 128;
constexpr size_t kBlockOffset = 4096;
constexpr size_t kObjectSize = kBlockOffset + nxSharedMemoryBlockSize;
static_assert(kMutexOffset % 8 == 0 && kMutexOffset + sizeof(platform::TSharedMutex) <= kControlSize);

// A signal sets bit 0; a disconnect sets bit 1 as well, so that a sleeper
// that looked at the disconnect word just before sees the word change.
constexpr uint32_t kSignal = 1;
constexpr uint32_t kPoke = 2;

// How long a wait inside a message looks for the next hand-over before it
// sleeps: about what the peer takes to copy a block.
constexpr int64_t kSoonNs = 50000;

// A maker holds the object's lock from its making to its set-up marker;
// one that never got as far as the lock is given this long.
constexpr int kSetUpChecks = 20;
constexpr auto kSetUpCheckPause = std::chrono::milliseconds(10);
constexpr uint32_t kSetUpLockMs = 2000;

std::atomic<uint64_t> gNextChannel{0};

// The race detector follows synchronisation by address, and the two ends
// of a channel in one process map its object at two addresses: a hand-over
// also passes a process-local marker of the channel's name, so that it
// sees what the words order.
#if defined(__SANITIZE_THREAD__)
std::atomic<uint32_t> gHandOverMarks[256];
std::atomic<uint32_t>& HandOverMark(const std::u16string& aName) noexcept {
  return gHandOverMarks[std::hash<std::u16string>{}(aName) % 256];
}
void MarkHandOver(const std::u16string& aName) noexcept {
  HandOverMark(aName).fetch_add(1, std::memory_order_release);
}
void TakeHandOver(const std::u16string& aName) noexcept {
  (void)HandOverMark(aName).load(std::memory_order_acquire);
}
#else
void MarkHandOver(const std::u16string&) noexcept {}
void TakeHandOver(const std::u16string&) noexcept {}
#endif

std::atomic<uint32_t>& WordAt(uint8_t* aBase, size_t aOffset) noexcept {
  return *reinterpret_cast<std::atomic<uint32_t>*>(aBase + aOffset);
}

platform::TSharedMutex& MutexAt(uint8_t* aBase) noexcept {
  return *reinterpret_cast<platform::TSharedMutex*>(aBase + kMutexOffset);
}

[[noreturn]] void RaiseOSError(std::u16string_view aContext, int aError) {
  platform::SetLastOSError(static_cast<uint32_t>(aError));
  nxRaiseLastOSError(aContext, 0);
}

// False once the holder of aMutex let it go or died: the end is over.
bool HolderLives(platform::TSharedMutex& aMutex) noexcept {
  switch (aMutex.TryLock()) {
    case platform::TSharedMutex::TLockResult::Busy: return true;
    case platform::TSharedMutex::TLockResult::Locked:
    case platform::TSharedMutex::TLockResult::OwnerDied: aMutex.Unlock(); return false;
    default: return false;
  }
}

}  // namespace

std::string nxSharedObjectName(std::u16string_view aBaseName, std::u16string_view aSuffix) {
  return platform::Utf16ToUtf8(std::u16string(aBaseName) + std::u16string(aSuffix));
}

bool nxCreateSharedObject(platform::TSharedMemory& aMemory, const std::string& aName, size_t aLiveBytes,
                          const std::function<bool(uint8_t* aView)>& aIsLive) {
  if (aMemory.Create(aName)) return true;
  if (errno != EEXIST) return false;
  platform::TSharedMemory old;
  if (old.Open(aName, false)) {
    bool stale = true;
    for (int check = 0; check < kSetUpChecks; ++check) {
      platform::TSharedMemoryLock lock(old, kSetUpLockMs);
      if (!lock.Locked()) {
        errno = EEXIST;
        return false;
      }
      platform::TSharedMemoryState state;
      platform::TSharedView view;
      if (old.State(state) && state.Size >= aLiveBytes && view.Map(old, aLiveBytes, true) &&
          WordAt(view.Data(), 0).load() == nxSharedObjectReady) {
        stale = !aIsLive(view.Data());
        break;
      }
      // Not set up: its maker may not have its lock yet, or died before.
      std::this_thread::sleep_for(kSetUpCheckPause);
    }
    if (!stale) {
      errno = EEXIST;
      return false;
    }
    platform::TSharedMemoryState state;
    // Only while the name still leads to the object found dead.
    if (old.State(state) && !state.Unlinked) platform::TSharedMemory::Unlink(aName);
  }
  return aMemory.Create(aName);
}

// ---- mutex owner ----

TnxSharedMemoryMutexOwner::TnxSharedMemoryMutexOwner(std::u16string aName)
    : TnxMessageThread(platform::TThreadPriority::tpHighest) {
  SetName(std::move(aName));
}

uint32_t TnxSharedMemoryMutexOwner::AcquireMutex(platform::TSharedMutex& aMutex, uint32_t aTimeOut) {
  const intptr_t result = PerformSend(kAcquireMessage, reinterpret_cast<uintptr_t>(&aMutex), aTimeOut);
  // No answer at all: the thread is gone.
  return result == 0 ? kWaitFailed : static_cast<uint32_t>(result - 1);
}

void TnxSharedMemoryMutexOwner::ReleaseMutex(platform::TSharedMutex& aMutex) {
  PerformSend(kReleaseMessage, reinterpret_cast<uintptr_t>(&aMutex), 0);
}

void TnxSharedMemoryMutexOwner::DispatchMessage(TnxMessage& aMessage) {
  auto* mutex = reinterpret_cast<platform::TSharedMutex*>(aMessage.WParam);
  if (aMessage.Msg == kReleaseMessage) {
    mutex->Unlock();
    aMessage.Result = 1;
    return;
  }
  if (aMessage.Msg != kAcquireMessage) return DefaultHandler(aMessage);
  uint32_t result = kWaitFailed;
  switch (mutex->LockFor(static_cast<uint32_t>(aMessage.LParam))) {
    case platform::TSharedMutex::TLockResult::Locked: result = 0; break;
    case platform::TSharedMutex::TLockResult::OwnerDied:
      mutex->MarkConsistent();
      result = kWaitAbandoned;
      break;
    case platform::TSharedMutex::TLockResult::Busy: result = platform::kWaitTimeout; break;
    default: break;
  }
  // 0 is what an unanswered send gives.
  aMessage.Result = static_cast<intptr_t>(result) + 1;
}

// ---- watch ----

TnxSharedMemoryWatch::TnxSharedMemoryWatch()
    : swWatcher(std::make_unique<platform::TProcessWatcher>(
          [this](const platform::TProcessIdentity& aProcess) { Ended(aProcess); })) {}

TnxSharedMemoryWatch::~TnxSharedMemoryWatch() { swWatcher.reset(); }

void TnxSharedMemoryWatch::Add(TnxSharedMemoryBase& aEnd, const platform::TProcessIdentity& aPeer) {
  {
    std::lock_guard guard(swLock);
    swEnds.emplace_back(&aEnd, aPeer);
  }
  // Without a watch the waits still find the peer's end within their
  // re-check.
  swWatcher->Watch(aPeer);
}

void TnxSharedMemoryWatch::Remove(TnxSharedMemoryBase& aEnd) noexcept {
  std::lock_guard guard(swLock);
  std::erase_if(swEnds, [&](const auto& aEntry) { return aEntry.first == &aEnd; });
}

void TnxSharedMemoryWatch::Ended(const platform::TProcessIdentity& aProcess) noexcept {
  std::lock_guard guard(swLock);
  for (const auto& [end, peer] : swEnds)
    if (peer == aProcess) end->SignalDisconnect();
}

// ---- both ends ----

TnxSharedMemoryBase::~TnxSharedMemoryBase() {
  if (smWatch) smWatch->Remove(*this);
  if (smSharedMemoryView.Data() && smDisconnectOnDestroy) SignalDisconnect();
}

uint8_t* TnxSharedMemoryBase::Block() const noexcept { return smSharedMemoryView.Data() + kBlockOffset; }

std::atomic<uint32_t>& TnxSharedMemoryBase::Word(size_t aOffset) const noexcept {
  return WordAt(smSharedMemoryView.Data(), aOffset);
}

platform::TSharedMutex& TnxSharedMemoryBase::Mutex() const noexcept { return MutexAt(smSharedMemoryView.Data()); }

platform::TProcessIdentity TnxSharedMemoryBase::ReaderProcess() const noexcept {
  return platform::LoadOwner(smSharedMemoryView.Data() + kReaderOffset);
}

void TnxSharedMemoryBase::MapView(std::u16string_view aContext) {
  if (!smSharedMemoryView.Map(smSharedMemory, kObjectSize, true)) RaiseOSError(aContext, errno);
}

void TnxSharedMemoryBase::RaiseDisconnected() { throw EnxSharedMemoryDisconnected(); }

void TnxSharedMemoryBase::SignalDisconnect() noexcept {
  Word(kDisconnectedOffset).store(1);
  for (size_t offset : {kWriterReadyOffset, kReaderReadyOffset}) {
    Word(offset).fetch_or(kPoke);
    platform::FutexWake(Word(offset), INT_MAX);
  }
}

void TnxSharedMemoryBase::Disconnect() noexcept {
  if (smDisconnected.load(std::memory_order_acquire)) return;
  if (smDisconnecting.fetch_add(1) != 0) return;
  smDisconnectOnDestroy = true;
  SignalDisconnect();
  smDisconnected.store(true, std::memory_order_release);
}

bool TnxSharedMemoryBase::IsDisconnected() noexcept {
  if (!smDisconnected.load(std::memory_order_acquire)) {
    const bool ended = Word(kDisconnectedOffset).load() != 0 || !HolderLives(Mutex()) ||
                       (smMutexDisconnected2 && !HolderLives(*smMutexDisconnected2));
    if (ended) Disconnect();
  }
  return smDisconnected.load(std::memory_order_acquire);
}

void TnxSharedMemoryBase::Unlock() {
  if (smDisconnected.load(std::memory_order_acquire)) RaiseDisconnected();
  if (smUnlocked) return;
  MarkHandOver(smName);
  Word(smUnlockWord).fetch_or(kSignal);
  if (Word(smUnlockWord + kSleepersOffset).load() != 0) platform::FutexWake(Word(smUnlockWord), 1);
  smUnlocked = true;
}

void TnxSharedMemoryBase::LinkWith(TnxSharedMemoryBase& aOther, TnxSharedMemoryWatch* aWatch) {
  if (smMutexDisconnected2 == &aOther.Mutex()) return;
  smMutexDisconnected2 = &aOther.Mutex();
  smLinked = &aOther;
  aOther.LinkWith(*this, aWatch);
  if (aWatch && !smWatch) {
    // The peer is the reader of whichever end this process writes.
    const TnxSharedMemoryBase& writer = smIsReader ? aOther : *this;
    aWatch->Add(*this, writer.ReaderProcess());
    smWatch = aWatch;
  }
}

uint8_t* TnxSharedMemoryBase::WaitFor(std::atomic<uint32_t>& aWord, uint32_t aTimeoutMs, bool aUseNetIdle,
                                      bool aSoon) {
  if (aSoon) {
    // Giving way rather than spinning: on a busy machine the peer may need
    // this very processor to get on.
    const int64_t until = platform::MonotonicNanoseconds() + kSoonNs;
    while (aWord.load(std::memory_order_relaxed) == 0 && platform::MonotonicNanoseconds() < until)
      std::this_thread::yield();
  }
  TnxNetIdleEvent netIdle;
  uint32_t idleInterval = 0;
  uint32_t idleMask = 0;
  if (aUseNetIdle && !TnxBasePooledTransport::GetNetIdle(netIdle, idleInterval, idleMask)) aUseNetIdle = false;
  // An interval of 0 would call the hook without ever waiting.
  idleInterval = std::max<uint32_t>(idleInterval, 1);
  const uint64_t start = platform::MonotonicMilliseconds();
  uint64_t nextIdle = start + idleInterval;
  for (;;) {
    if (smDisconnected.load(std::memory_order_acquire) || Word(kDisconnectedOffset).load() != 0) {
      Disconnect();
      RaiseDisconnected();
    }
    if (aWord.exchange(0) & kSignal) {
      TakeHandOver(smName);
      return Block();
    }
    if (!HolderLives(Mutex()) || (smMutexDisconnected2 && !HolderLives(*smMutexDisconnected2))) {
      Disconnect();
      RaiseDisconnected();
    }
    const uint64_t now = platform::MonotonicMilliseconds();
    uint64_t slice = kSharedMemoryRecheckMs;
    if (aTimeoutMs != platform::kInfinite) {
      if (now - start >= aTimeoutMs) return nullptr;
      slice = std::min<uint64_t>(slice, start + aTimeoutMs - now);
    }
    if (aUseNetIdle) {
      if (now >= nextIdle) {
        netIdle(this, nullptr);
        if (!TnxBasePooledTransport::GetNetIdle(netIdle, idleInterval, idleMask)) aUseNetIdle = false;
        nextIdle = platform::MonotonicMilliseconds() + std::max<uint32_t>(idleInterval, 1);
        continue;
      }
      slice = std::min<uint64_t>(slice, nextIdle - now);
    }
    // Counted before the word is looked at again by the sleep itself: a
    // signal after that finds the sleeper counted and wakes it.
    std::atomic<uint32_t>& sleepers =
        *reinterpret_cast<std::atomic<uint32_t>*>(reinterpret_cast<uint8_t*>(&aWord) + kSleepersOffset);
    sleepers.fetch_add(1);
    platform::FutexWait(aWord, 0, static_cast<uint32_t>(std::max<uint64_t>(slice, 1)));
    sleepers.fetch_sub(1);
  }
}

// ---- reading end ----

TnxSharedMemoryServer::TnxSharedMemoryServer(const TnxGetNamePrefix& aGetNamePrefix,
                                             TnxSharedMemoryMutexOwner& aOwner, const std::u16string& aName)
    : TnxSharedMemoryBase(aName), smsOwner(aOwner) {
  smIsReader = true;
  if (smName.empty()) {
    smName = aGetNamePrefix() + u"TnxSharedMemoryServer_" +
             platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId()) + "_" +
                                   std::to_string(gNextChannel.fetch_add(1) + 1));
    smsUnlinkOnRead = true;
  }
  const std::string name = nxSharedObjectName(smName, u"_SharedMemory");
  const auto isLive = [](uint8_t* aView) { return HolderLives(MutexAt(aView)); };
  if (!nxCreateSharedObject(smSharedMemory, name, kControlSize, isLive))
    RaiseOSError(u"TnxSharedMemoryServer", errno);
  {
    // Held until the set-up marker is there: see nxCreateSharedObject.
    platform::TSharedMemoryLock setUp(smSharedMemory, kSetUpLockMs);
    if (!smSharedMemory.Resize(kObjectSize)) {
      const int error = errno;
      platform::TSharedMemory::Unlink(name);
      RaiseOSError(u"TnxSharedMemoryServer", error);
    }
    try {
      MapView(u"TnxSharedMemoryServer");
    } catch (...) {
      platform::TSharedMemory::Unlink(name);
      throw;
    }
    uint8_t* base = smSharedMemoryView.Data();
    platform::StoreOwner(base + kReaderOffset, platform::CurrentProcessIdentity());
    if (!Mutex().Init() || aOwner.AcquireMutex(Mutex(), 0) != 0) {
      const int error = errno ? errno : EAGAIN;
      platform::TSharedMemory::Unlink(name);
      RaiseOSError(u"TnxSharedMemoryServer", error);
    }
    smsMutexHeld = true;
    WordAt(base, kReadyOffset).store(nxSharedObjectReady);
  }
  smUnlockWord = kReaderReadyOffset;
  smDisconnectOnDestroy = true;
  Unlock();
}

TnxSharedMemoryServer::~TnxSharedMemoryServer() {
  if (!smSharedMemoryView.Data()) return;
  // The reader always tells its writer that it went.
  SignalDisconnect();
  // Back before the memory goes: a held robust mutex is listed by its
  // holder thread through its own memory.
  if (smsMutexHeld) smsOwner.ReleaseMutex(Mutex());
  platform::TSharedMemoryState state;
  if (smSharedMemory.State(state) && !state.Unlinked)
    platform::TSharedMemory::Unlink(nxSharedObjectName(smName, u"_SharedMemory"));
}

uint8_t* TnxSharedMemoryServer::Read(bool aUseNetIdle, uint32_t aTimeoutMs, bool aSoon) {
  Unlock();
  smUnlocked = false;
  uint8_t* block = nullptr;
  try {
    block = WaitFor(Word(kWriterReadyOffset), aTimeoutMs, aUseNetIdle, aSoon);
  } catch (...) {
    smUnlocked = true;
    throw;
  }
  if (!block) {
    // Nothing held: a later Unlock must not hand out a free block.
    smUnlocked = true;
    return nullptr;
  }
  if (smsUnlinkOnRead) {
    // The writer has it open: the name is no longer needed, and a killed
    // process leaves nothing behind.
    smsUnlinkOnRead = false;
    platform::TSharedMemory::Unlink(nxSharedObjectName(smName, u"_SharedMemory"));
  }
  return block;
}

// ---- writing end ----

TnxSharedMemoryClient::TnxSharedMemoryClient(const std::u16string& aName, bool aDisconnectOnDestroy)
    : TnxSharedMemoryBase(aName) {
  if (!smSharedMemory.Open(nxSharedObjectName(smName, u"_SharedMemory"), false))
    RaiseOSError(u"TnxSharedMemoryClient", errno);
  platform::TSharedMemoryState state;
  if (!smSharedMemory.State(state)) RaiseOSError(u"TnxSharedMemoryClient", errno);
  if (state.Size < kObjectSize) RaiseOSError(u"TnxSharedMemoryClient", ENOENT);
  MapView(u"TnxSharedMemoryClient");
  if (Word(kReadyOffset).load() != nxSharedObjectReady) {
    smSharedMemoryView.Unmap();
    RaiseOSError(u"TnxSharedMemoryClient", ENOENT);
  }
  smUnlockWord = kWriterReadyOffset;
  smDisconnectOnDestroy = aDisconnectOnDestroy;
  smUnlocked = true;
}

uint8_t* TnxSharedMemoryClient::Write(bool aSoon) {
  if (smDisconnected.load(std::memory_order_acquire)) RaiseDisconnected();
  if (!smUnlocked) throw EnxSharedMemoryLocked(u"SharedMemory is locked");
  uint8_t* block = WaitFor(Word(kReaderReadyOffset), kSharedMemoryWriteTimeoutMs, false, aSoon);
  if (!block) {
    // The reader did not take the last block in time: treated as dead.
    Disconnect();
    RaiseDisconnected();
  }
  smUnlocked = false;
  return block;
}

void TnxSharedMemoryClient::WriteBuffer(const void* aBuffer, uint32_t aBufferSize, bool aSoon) {
  uint8_t* block = Write(aSoon);
  std::memcpy(block, aBuffer, std::min(aBufferSize, nxSharedMemoryBlockSize));
  Unlock();
}

}  // namespace revurov
