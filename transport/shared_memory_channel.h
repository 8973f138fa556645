// One direction of transfer between two processes of this machine: a named
// shared object holding a control block and a block of 64 KiB that the
// reading end (TnxSharedMemoryServer) makes and the writing end
// (TnxSharedMemoryClient) opens by name.
//
// Contract:
// - A channel with base name N is the object N + "_SharedMemory" (the text
//   kept whole, "Global\" and "Local\" included). Its control block holds
//   the writer-ready and reader-ready words (auto-reset events: a wait takes
//   the signal by exchange), the disconnect word (set once, for good), the
//   reader's process identity and the disconnect mutex, a robust mutex that
//   the reader's mutex-owner thread holds while the reader lives.
// - Hand-over: the reader signals reader-ready when the block is free (at
//   creation, and by every Read or Unlock); Write waits for it (up to
//   5,000 ms) and owns the block until Unlock signals writer-ready; Read
//   waits for writer-ready and holds the block until its next Read or
//   Unlock. A second Write before Unlock raises EnxSharedMemoryLocked.
// - Either end ends the channel: the disconnect word, or a disconnect mutex
//   (its own channel's or the linked one's) found free or abandoned, makes
//   the next wait disconnect the end and raise EnxSharedMemoryDisconnected
//   (an abort: silent); so does every later Read, Write or Unlock. A wait
//   sleeps on one word and looks at all of this on every wake-up and at
//   least every kSharedMemoryRecheckMs. A killed peer process is seen at
//   once through the TnxSharedMemoryWatch of the linked ends.
// - Disconnect may come from any thread: it sets the disconnect word and
//   wakes both sides; the memory stays mapped until the end is destroyed.
//   A reader always signals the disconnect word when it ends, a writer only
//   when it disconnected or was asked to (aDisconnectOnDestroy).
// - Names outlive a killed process. A reader finding its name taken makes
//   it anew when the object's disconnect mutex has no live holder and
//   refuses otherwise (the system error EEXIST). Readers of generated names
//   unlink the name once their writer has written (it has opened it); every
//   reader unlinks its name when it ends, unless another object took it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/thread.h"
#include "platform/process.h"
#include "platform/rtl_exception.h"
#include "platform/shared_memory.h"

namespace revurov {

namespace platform {
class TProcessWatcher;
}

inline constexpr uint32_t nxSharedMemoryBlockSize = 65536;
inline constexpr uint32_t kSharedMemoryWriteTimeoutMs = 5000;
inline constexpr uint32_t kSharedMemoryRecheckMs = 250;

class EnxSharedMemoryDisconnected : public platform::EAbort {
public:
  EnxSharedMemoryDisconnected() : platform::EAbort(u"SharedMemory has been disconnected") {}
  std::u16string_view ClassName() const noexcept override { return u"EnxSharedMemoryDisconnected"; }
};
REVUROV_EXCEPTION_CLASS(EnxSharedMemoryLocked, EnxBaseException);

// The prefix ("Global\" or "Local\") the objects of a transport start with.
using TnxGetNamePrefix = std::function<std::u16string()>;

// The thread that holds the disconnect mutexes of every reading end of one
// transport: they stay held while it runs and are abandoned when it ends,
// also when its process dies.
class TnxSharedMemoryMutexOwner : public TnxMessageThread {
public:
  static constexpr uint32_t kAcquireMessage = 1029;
  static constexpr uint32_t kReleaseMessage = 1030;
  // Wait results as the system's waits give them.
  static constexpr uint32_t kWaitAbandoned = 0x80;
  static constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

  explicit TnxSharedMemoryMutexOwner(std::u16string aName);
  std::u16string_view ClassName() const noexcept override { return u"TnxSharedMemoryMutexOwner"; }

  // On the owner thread: 0 when held, kWaitAbandoned when taken from a dead
  // holder, 258 when not taken within aTimeOut ms, kWaitFailed otherwise.
  uint32_t AcquireMutex(platform::TSharedMutex& aMutex, uint32_t aTimeOut);
  // Gives a held mutex back on the owner thread (before its memory goes).
  void ReleaseMutex(platform::TSharedMutex& aMutex);

protected:
  void DispatchMessage(TnxMessage& aMessage) override;
};

class TnxSharedMemoryBase;

// The linked ends of one transport by their peer process: when that process
// ends, the watch sets the disconnect word of each of its ends, so a side
// blocked in a wait learns it at once.
class TnxSharedMemoryWatch {
public:
  TnxSharedMemoryWatch();
  ~TnxSharedMemoryWatch();
  TnxSharedMemoryWatch(const TnxSharedMemoryWatch&) = delete;
  TnxSharedMemoryWatch& operator=(const TnxSharedMemoryWatch&) = delete;

  void Add(TnxSharedMemoryBase& aEnd, const platform::TProcessIdentity& aPeer);
  void Remove(TnxSharedMemoryBase& aEnd) noexcept;

private:
  void Ended(const platform::TProcessIdentity& aProcess) noexcept;

  std::mutex swLock;
  std::vector<std::pair<TnxSharedMemoryBase*, platform::TProcessIdentity>> swEnds;  // under swLock
  std::unique_ptr<platform::TProcessWatcher> swWatcher;
};

class TnxSharedMemoryBase : public TnxObject {
public:
  ~TnxSharedMemoryBase() override;

  const std::u16string& Name() const noexcept { return smName; }
  // The first byte of the 64 KiB block.
  uint8_t* Block() const noexcept;
  // Hands the block over; raises when disconnected.
  void Unlock();
  void Disconnect() noexcept;
  // Disconnects first when the channel has ended meanwhile.
  bool IsDisconnected() noexcept;
  // Both ends watch each other's disconnect mutex from here; the writer of
  // the two gives the peer process, which aWatch (when given) watches.
  void LinkWith(TnxSharedMemoryBase& aOther, TnxSharedMemoryWatch* aWatch);
  bool Linked() const noexcept { return smMutexDisconnected2 != nullptr; }
  // The process of the reading end.
  platform::TProcessIdentity ReaderProcess() const noexcept;
  // Sets the disconnect word and wakes both sides; any thread, any time
  // while the end exists.
  void SignalDisconnect() noexcept;

protected:
  explicit TnxSharedMemoryBase(std::u16string aName) : smName(std::move(aName)) {}
  // Maps the object's control block and block.
  void MapView(std::u16string_view aContext);
  // Waits for aWord's signal; null when aTimeoutMs ran out. Raises
  // EnxSharedMemoryDisconnected when the channel ended. aSoon: the peer is
  // in the middle of a message, so the signal is looked for a few
  // microseconds (giving way to other threads) before the wait sleeps.
  uint8_t* WaitFor(std::atomic<uint32_t>& aWord, uint32_t aTimeoutMs, bool aUseNetIdle, bool aSoon = false);
  std::atomic<uint32_t>& Word(size_t aOffset) const noexcept;
  platform::TSharedMutex& Mutex() const noexcept;
  [[noreturn]] void RaiseDisconnected();

  std::u16string smName;
  platform::TSharedMemory smSharedMemory;
  platform::TSharedView smSharedMemoryView;
  platform::TSharedMutex* smMutexDisconnected2 = nullptr;
  TnxSharedMemoryBase* smLinked = nullptr;
  bool smDisconnectOnDestroy = false;
  std::atomic<bool> smDisconnected{false};
  std::atomic<int32_t> smDisconnecting{0};
  bool smUnlocked = false;
  size_t smUnlockWord = 0;
  TnxSharedMemoryWatch* smWatch = nullptr;
  bool smIsReader = false;
};

class TnxSharedMemoryServer : public TnxSharedMemoryBase {
public:
  // An empty aName gives prefix + "TnxSharedMemoryServer_" + pid + "_" + a
  // number unique in the process; such a name is unlinked once the writer
  // has written. aOwner holds the disconnect mutex and must outlive the end.
  TnxSharedMemoryServer(const TnxGetNamePrefix& aGetNamePrefix, TnxSharedMemoryMutexOwner& aOwner,
                        const std::u16string& aName);
  ~TnxSharedMemoryServer() override;

  // Gives back a held block, then waits for the next one (no limit with
  // kInfinite); null when aTimeoutMs ran out. The block stays valid until
  // the next Read or Unlock. aSoon: a block of a message under way.
  uint8_t* Read(bool aUseNetIdle, uint32_t aTimeoutMs = platform::kInfinite, bool aSoon = false);

private:
  TnxSharedMemoryMutexOwner& smsOwner;
  bool smsMutexHeld = false;
  bool smsUnlinkOnRead = false;
};

class TnxSharedMemoryClient : public TnxSharedMemoryBase {
public:
  // Raises the system error of the open (ENOENT: no such reader).
  TnxSharedMemoryClient(const std::u16string& aName, bool aDisconnectOnDestroy);

  // Waits until the block is free and gives it for writing. aSoon: the
  // reader is taking the blocks of a message under way.
  uint8_t* Write(bool aSoon = false);
  // Write, aBufferSize (at most 64 KiB) bytes to the block's start, Unlock.
  void WriteBuffer(const void* aBuffer, uint32_t aBufferSize, bool aSoon = false);
};

// The system's name of the object with base name aBaseName + aSuffix.
std::string nxSharedObjectName(std::u16string_view aBaseName, std::u16string_view aSuffix);
// Makes the object aName anew: when the name is taken and aIsLive (given
// the object's first aLiveBytes once it is set up) says its maker is gone,
// the old object is unlinked first. False with errno (EEXIST: a live one
// has it).
bool nxCreateSharedObject(platform::TSharedMemory& aMemory, const std::string& aName, size_t aLiveBytes,
                          const std::function<bool(uint8_t* aView)>& aIsLive);
// The object's set-up marker: written last by its maker.
inline constexpr uint32_t nxSharedObjectReady = 0x4D53786E;  // "nxSM"

}  // namespace revurov
