// The machine-wide registry of listening shared-memory servers, and the
// discovery built on it: no broadcast, a client lists the registry.
//
// Contract:
// - Per port P and name prefix: the mutex object prefix +
//   "TnxSharedMemoryDictionary_" + P + "_Mutex" (a robust mutex: waited for
//   up to 5,000 ms, abandoned counts as obtained, re-entrant for the thread
//   that holds it) and the section prefix + "TnxSharedMemoryDictionary_" + P
//   + "_SharedMemory", 256 entries of 280 bytes (71,680), little-endian:
//   +0 used (LongBool, written $FFFFFFFF), +4 the name as a ShortString in
//   the system code page, +260 the GUID, +276 the version.
// - Verify clears every used entry whose name is empty or whose server's
//   listening channel cannot be opened or has ended (also a server that was
//   killed); every listing and every Add verifies first.
// - Add replaces an entry of the same name and GUID and takes the first
//   free one; with all 256 in use it raises EnxSharedMemoryDictionaryException
//   "SharedMemoryDictionary is full". Remove clears the first entry whose
//   name matches without regard to ASCII case and whose GUID matches.
// - GetServerNames appends the names in entry order to the list (not
//   cleared); CallBroadcastHandler gives each server to a handler as a
//   reply of the registry's transport and port.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "lowlevel/errors/exceptions.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/shared_memory.h"
#include "platform/string_list.h"
#include "transport/server_discovery.h"
#include "transport/shared_memory_channel.h"

namespace revurov {

class TnxBaseTransport;
class TnxSharedMemoryTransport;

REVUROV_EXCEPTION_CLASS(EnxSharedMemoryDictionaryException, EnxBaseException);

inline constexpr uint32_t nxSharedMemoryDictionaryEntries = 256;
inline constexpr uint32_t nxSharedMemoryDictionaryEntrySize = 280;
inline constexpr uint32_t nxSharedMemoryDictionarySize =
    nxSharedMemoryDictionaryEntries * nxSharedMemoryDictionaryEntrySize;

class TnxSharedMemoryDictionary : public TnxObject {
public:
  // Raises the system error with the class name when the objects cannot be
  // made or opened.
  TnxSharedMemoryDictionary(TnxBaseTransport* aTransport, TnxGetNamePrefix aGetNamePrefix, uint16_t aPort);
  ~TnxSharedMemoryDictionary() override;

  void Lock();
  void Unlock();
  void Add(const std::u16string& aServerName, const platform::TGUID& aServerID, int32_t aServerVersion);
  void Remove(const std::u16string& aServerName, const platform::TGUID& aServerID);
  void Verify();
  void GetServerNames(platform::TStringList& aList);
  void CallBroadcastHandler(InxBroadcastReplyHandler& aHandler);

  // The section itself (tests).
  uint8_t* List() const noexcept { return smdList.Data(); }

private:
  class TLockGuard;
  uint8_t* Entry(uint32_t aIndex) const noexcept { return smdList.Data() + aIndex * nxSharedMemoryDictionaryEntrySize; }
  std::u16string EntryName(uint32_t aIndex) const;

  TnxBaseTransport* smdTransport;
  TnxGetNamePrefix smdGetNamePrefix;
  uint16_t smdPort;
  platform::TSharedMemory smdMutexObject;
  platform::TSharedView smdMutexView;
  platform::TSharedMemory smdSharedMemory;
  platform::TSharedView smdList;
  std::atomic<std::thread::id> smdHolder{};
  uint32_t smdDepth = 0;  // by the holder only
};

// The polling scan of a shared-memory transport: its handler gets every
// registered server each aInterval ms until Stop; without a handler nothing
// runs. A transport that is not supported gives the null broadcast.
platform::TInterfacePtr<InxActiveBroadcast> nxBeginSharedMemoryBroadcast(TnxSharedMemoryTransport& aTransport,
                                                                         InxBroadcastReplyHandler* aHandler,
                                                                         int32_t aInterval);

}  // namespace revurov
