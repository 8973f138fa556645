#include "transport/shared_memory_registry.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "transport/base_transport.h"
#include "transport/shared_memory_transport.h"

namespace revurov {

namespace {

constexpr uint32_t kRegistryMutexTimeoutMs = 5000;
constexpr size_t kMutexObjectSize = 128;
constexpr size_t kMutexOffset = 64;
constexpr size_t kUsedOffset = 0;
constexpr size_t kNameOffset = 4;
constexpr size_t kIDOffset = 260;
constexpr size_t kVersionOffset = 276;
constexpr uint32_t kMaxNameBytes = 255;

[[noreturn]] void RaiseOSError(int aError) {
  platform::SetLastOSError(static_cast<uint32_t>(aError));
  nxRaiseLastOSError(u"TnxSharedMemoryDictionary", 0);
}

std::string Decimal(uint16_t aPort) { return std::to_string(aPort); }

platform::TSharedMutex& RegistryMutex(uint8_t* aView) noexcept {
  return *reinterpret_cast<platform::TSharedMutex*>(aView + kMutexOffset);
}

void StoreGuid(uint8_t* aInto, const platform::TGUID& aID) noexcept {
  platform::StoreU32(aInto, aID.D1);
  platform::StoreU16(aInto + 4, aID.D2);
  platform::StoreU16(aInto + 6, aID.D3);
  std::memcpy(aInto + 8, aID.D4, 8);
}

platform::TGUID LoadGuid(const uint8_t* aFrom) noexcept {
  platform::TGUID id{};
  id.D1 = platform::LoadU32(aFrom);
  id.D2 = platform::LoadU16(aFrom + 4);
  id.D3 = platform::LoadU16(aFrom + 6);
  std::memcpy(id.D4, aFrom + 8, 8);
  return id;
}

}  // namespace

class TnxSharedMemoryDictionary::TLockGuard {
public:
  explicit TLockGuard(TnxSharedMemoryDictionary& aDictionary) : gDictionary(aDictionary) { aDictionary.Lock(); }
  ~TLockGuard() {
    try {
      gDictionary.Unlock();
    } catch (...) {
    }
  }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TnxSharedMemoryDictionary& gDictionary;
};

TnxSharedMemoryDictionary::TnxSharedMemoryDictionary(TnxBaseTransport* aTransport, TnxGetNamePrefix aGetNamePrefix,
                                                     uint16_t aPort)
    : smdTransport(aTransport), smdGetNamePrefix(std::move(aGetNamePrefix)), smdPort(aPort) {
  const std::u16string base = smdGetNamePrefix() + u"TnxSharedMemoryDictionary_" + platform::Utf8ToUtf16(Decimal(aPort));
  if (!smdMutexObject.Open(nxSharedObjectName(base, u"_Mutex"), true)) RaiseOSError(errno);
  {
    // The first user sets the mutex up; the object's own lock keeps a
    // second from doing it again meanwhile.
    platform::TSharedMemoryLock setUp(smdMutexObject, kRegistryMutexTimeoutMs);
    if (!setUp.Locked()) RaiseOSError(errno);
    platform::TSharedMemoryState state;
    if (!smdMutexObject.State(state)) RaiseOSError(errno);
    if (state.Size < kMutexObjectSize && !smdMutexObject.Resize(kMutexObjectSize)) RaiseOSError(errno);
    if (!smdMutexView.Map(smdMutexObject, kMutexObjectSize, true)) RaiseOSError(errno);
    auto& ready = *reinterpret_cast<std::atomic<uint32_t>*>(smdMutexView.Data());
    if (ready.load() != nxSharedObjectReady) {
      if (!RegistryMutex(smdMutexView.Data()).Init()) RaiseOSError(errno);
      ready.store(nxSharedObjectReady);
    }
  }
  TLockGuard guard(*this);
  if (!smdSharedMemory.Open(nxSharedObjectName(base, u"_SharedMemory"), true)) RaiseOSError(errno);
  platform::TSharedMemoryState state;
  if (!smdSharedMemory.State(state)) RaiseOSError(errno);
  if (state.Size < nxSharedMemoryDictionarySize && !smdSharedMemory.Resize(nxSharedMemoryDictionarySize))
    RaiseOSError(errno);
  if (!smdList.Map(smdSharedMemory, nxSharedMemoryDictionarySize, true)) RaiseOSError(errno);
}

TnxSharedMemoryDictionary::~TnxSharedMemoryDictionary() {
  // A held robust mutex is listed through its own memory: given back
  // before the view goes.
  if (smdHolder.load(std::memory_order_acquire) == std::this_thread::get_id()) {
    smdDepth = 0;
    RegistryMutex(smdMutexView.Data()).Unlock();
  }
}

void TnxSharedMemoryDictionary::Lock() {
  const std::thread::id self = std::this_thread::get_id();
  if (smdHolder.load(std::memory_order_acquire) == self) {
    ++smdDepth;
    return;
  }
  platform::TSharedMutex& mutex = RegistryMutex(smdMutexView.Data());
  switch (mutex.LockFor(kRegistryMutexTimeoutMs)) {
    case platform::TSharedMutex::TLockResult::Locked: break;
    case platform::TSharedMutex::TLockResult::OwnerDied:
      // Its holder died; Verify mends whatever it left.
      mutex.MarkConsistent();
      break;
    case platform::TSharedMutex::TLockResult::Busy: RaiseOSError(ETIMEDOUT);
    default: RaiseOSError(errno ? errno : EINVAL);
  }
  smdHolder.store(self, std::memory_order_release);
  smdDepth = 1;
}

void TnxSharedMemoryDictionary::Unlock() {
  if (smdHolder.load(std::memory_order_acquire) != std::this_thread::get_id()) RaiseOSError(EPERM);
  if (--smdDepth > 0) return;
  smdHolder.store(std::thread::id(), std::memory_order_release);
  RegistryMutex(smdMutexView.Data()).Unlock();
}

std::u16string TnxSharedMemoryDictionary::EntryName(uint32_t aIndex) const {
  const uint8_t* entry = Entry(aIndex);
  const uint8_t length = entry[kNameOffset];
  return platform::CodePageToUnicode(
      std::string_view(reinterpret_cast<const char*>(entry + kNameOffset + 1), length),
      platform::SystemAnsiCodePage());
}

void TnxSharedMemoryDictionary::Verify() {
  TLockGuard guard(*this);
  const std::u16string prefix = smdGetNamePrefix();
  for (uint32_t i = 0; i < nxSharedMemoryDictionaryEntries; ++i) {
    uint8_t* entry = Entry(i);
    if (platform::LoadU32(entry + kUsedOffset) == 0) continue;
    bool live = false;
    try {
      const std::u16string name = EntryName(i);
      if (!name.empty()) {
        // Opened without disturbing the server: no disconnect when freed.
        TnxSharedMemoryClient writer(prefix + nxSharedMemoryServerObjectName(smdPort, name) + u"_SharedMemory", false);
        live = !writer.IsDisconnected();
      }
    } catch (...) {
    }
    if (!live) std::memset(entry, 0, nxSharedMemoryDictionaryEntrySize);
  }
}

void TnxSharedMemoryDictionary::Add(const std::u16string& aServerName, const platform::TGUID& aServerID,
                                    int32_t aServerVersion) {
  TLockGuard guard(*this);
  Remove(aServerName, aServerID);
  Verify();
  for (uint32_t i = 0; i < nxSharedMemoryDictionaryEntries; ++i) {
    uint8_t* entry = Entry(i);
    if (platform::LoadU32(entry + kUsedOffset) != 0) continue;
    std::string name = platform::UnicodeToCodePageLossy(aServerName, platform::SystemAnsiCodePage());
    if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
    std::memset(entry, 0, nxSharedMemoryDictionaryEntrySize);
    entry[kNameOffset] = static_cast<uint8_t>(name.size());
    std::memcpy(entry + kNameOffset + 1, name.data(), name.size());
    StoreGuid(entry + kIDOffset, aServerID);
    platform::StoreU32(entry + kVersionOffset, static_cast<uint32_t>(aServerVersion));
    platform::StoreU32(entry + kUsedOffset, 0xFFFFFFFFu);
    return;
  }
  throw EnxSharedMemoryDictionaryException(u"SharedMemoryDictionary is full");
}

void TnxSharedMemoryDictionary::Remove(const std::u16string& aServerName, const platform::TGUID& aServerID) {
  TLockGuard guard(*this);
  for (uint32_t i = 0; i < nxSharedMemoryDictionaryEntries; ++i) {
    uint8_t* entry = Entry(i);
    if (platform::LoadU32(entry + kUsedOffset) == 0) continue;
    if (LoadGuid(entry + kIDOffset) == aServerID && platform::AsciiSameText(EntryName(i), aServerName)) {
      std::memset(entry, 0, nxSharedMemoryDictionaryEntrySize);
      return;
    }
  }
}

void TnxSharedMemoryDictionary::GetServerNames(platform::TStringList& aList) {
  TLockGuard guard(*this);
  Verify();
  for (uint32_t i = 0; i < nxSharedMemoryDictionaryEntries; ++i)
    if (platform::LoadU32(Entry(i) + kUsedOffset) != 0) aList.Add(EntryName(i));
}

void TnxSharedMemoryDictionary::CallBroadcastHandler(InxBroadcastReplyHandler& aHandler) {
  TLockGuard guard(*this);
  Verify();
  for (uint32_t i = 0; i < nxSharedMemoryDictionaryEntries; ++i) {
    const uint8_t* entry = Entry(i);
    if (platform::LoadU32(entry + kUsedOffset) == 0) continue;
    platform::TInterfacePtr<InxBroadcastReply> reply(
        nxCreate<TnxBroadcastReply>(smdTransport, EntryName(i), smdPort, LoadGuid(entry + kIDOffset),
                                    static_cast<int32_t>(platform::LoadU32(entry + kVersionOffset))));
    aHandler.ReplyReceived(*reply);
  }
}

// ---- polling scan ----

namespace {

class TnxSharedMemoryActiveBroadcast : public TnxInterfacedObject, public InxActiveBroadcast {
public:
  TnxSharedMemoryActiveBroadcast(TnxSharedMemoryTransport& aTransport, InxBroadcastReplyHandler* aHandler,
                                 int32_t aInterval)
      : smabHandler(aHandler), smabInterval(aInterval > 0 ? aInterval : 1) {
    if (!aHandler) return;
    smabDictionary = std::make_unique<TnxSharedMemoryDictionary>(&aTransport, aTransport.NamePrefixGetter(),
                                                                 aTransport.Port());
    smabThread = std::thread([this] { Run(); });
  }
  ~TnxSharedMemoryActiveBroadcast() override { Stop(); }

  void SuspendSending() override {
    std::lock_guard guard(smabLock);
    ++smabSuspendCount;
  }
  void ResumeSending() override {
    {
      std::lock_guard guard(smabLock);
      --smabSuspendCount;
    }
    smabChanged.notify_all();
  }
  void Stop() override {
    {
      std::lock_guard guard(smabLock);
      smabTerminated = true;
    }
    smabChanged.notify_all();
    if (smabThread.joinable()) smabThread.join();
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxActiveBroadcast>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  void Run() {
    std::unique_lock lock(smabLock);
    while (!smabTerminated) {
      lock.unlock();
      try {
        smabDictionary->CallBroadcastHandler(*smabHandler);
      } catch (...) {
      }
      lock.lock();
      smabChanged.wait(lock, [this] { return smabTerminated || smabSuspendCount <= 0; });
      smabChanged.wait_for(lock, std::chrono::milliseconds(smabInterval), [this] { return smabTerminated; });
    }
  }

  InxBroadcastReplyHandler* smabHandler;
  int32_t smabInterval;
  std::unique_ptr<TnxSharedMemoryDictionary> smabDictionary;
  std::mutex smabLock;
  std::condition_variable smabChanged;
  int32_t smabSuspendCount = 0;  // under smabLock
  bool smabTerminated = false;   // under smabLock
  std::thread smabThread;
};

}  // namespace

platform::TInterfacePtr<InxActiveBroadcast> nxBeginSharedMemoryBroadcast(TnxSharedMemoryTransport& aTransport,
                                                                         InxBroadcastReplyHandler* aHandler,
                                                                         int32_t aInterval) {
  if (!aTransport.Supported()) return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
  return platform::TInterfacePtr<InxActiveBroadcast>(
      nxCreate<TnxSharedMemoryActiveBroadcast>(aTransport, aHandler, aInterval));
}

}  // namespace revurov
