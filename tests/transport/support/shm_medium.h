// Shared memory for tests: /dev/shm is machine-wide, so every name a test
// makes carries the test process's id; a server of its own can run in a
// child process that the test kills.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/process.h"
#include "platform/text.h"
#include "support/named_component.h"
#include "support/spawned_child.h"
#include "support/test_command_handler.h"
#include "transport/shared_memory_transport.h"

namespace revurov::testing {

inline std::u16string ShmUnique(std::u16string_view aName) {
  return std::u16string(aName) + u"_" + platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId()));
}

inline uint16_t ShmPort() { return static_cast<uint16_t>(1024 + platform::CurrentProcessId() % 60000); }
// A port no test process has as its own: test processes run side by side,
// and the one after ours has ShmPort() + 1.
inline constexpr uint16_t kShmPortOfNobody = 65000;

struct ShmFreed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using ShmTransport = std::unique_ptr<TnxSharedMemoryTransport, ShmFreed>;
using ShmHandler = std::unique_ptr<TTestCommandHandler, ShmFreed>;

inline ShmTransport ShmServer(const std::u16string& aName, TTestCommandHandler* aHandler, uint16_t aPort = ShmPort(),
                              TnxSharedMemTransportScope aScope = smtsLocal, bool aRegistered = false) {
  ShmTransport server(Make<TnxSharedMemoryTransport>(u"S"));
  server->SetServerName(aName);
  server->SetMode(nxtmListen);
  server->SetPort(aPort);
  server->SetTransportScope(aScope);
  server->SetHeartbeatInterval(0);
  server->SetRespondToBroadcasts(aRegistered);
  server->SetCommandHandler(aHandler);
  server->SetActive(true);
  return server;
}

inline ShmTransport ShmClient(const std::u16string& aName, uint16_t aPort = ShmPort(),
                              TnxSharedMemTransportScope aScope = smtsLocal) {
  ShmTransport client(Make<TnxSharedMemoryTransport>(u"C"));
  client->SetServerName(aName);
  client->SetPort(aPort);
  client->SetTransportScope(aScope);
  client->SetHeartbeatInterval(0);
  client->SetTimeout(5000);
  return client;
}

// The registry of a port and prefix outlives every process: tests take
// theirs away.
inline void UnlinkShmRegistry(uint16_t aPort, const std::u16string& aPrefix = u"Local\\") {
  const std::u16string base = aPrefix + u"TnxSharedMemoryDictionary_" + platform::Utf8ToUtf16(std::to_string(aPort));
  platform::TSharedMemory::Unlink(nxSharedObjectName(base, u"_Mutex"));
  platform::TSharedMemory::Unlink(nxSharedObjectName(base, u"_SharedMemory"));
}

// A listening server in a child process, killed (SIGKILL) by Kill or at the
// end of the scope. The child runs the entry "shm-server" of the test
// binary with the name, port, registered flag and aScript, which names how
// the entry scripts its handler.
class TShmServerChild {
public:
  TShmServerChild(const std::u16string& aName, uint16_t aPort, bool aRegistered, const std::string& aScript = {})
      : scBase(u"Local\\" + nxSharedMemoryServerObjectName(aPort, aName)),
        scChild(SpawnChild("shm-server", {platform::Utf16ToUtf8(aName), std::to_string(aPort),
                                          aRegistered ? "1" : "0", aScript})) {}
  // What the killed child left behind goes too, unless a server took it.
  ~TShmServerChild() {
    Kill();
    for (const char16_t* suffix : {u"_Mutex", u"_SharedMemory_SharedMemory"}) {
      platform::TSharedMemory left;
      if (!left.Open(platform::Utf16ToUtf8(scBase + suffix), false)) continue;
      platform::TSharedView view;
      if (view.Map(left, 128, false)) {
        const platform::TProcessIdentity owner = platform::LoadOwner(view.Data() + 16);
        if (owner.Pid != 0 && platform::ProcessIsAlive(owner)) continue;
      }
      platform::TSharedMemory::Unlink(platform::Utf16ToUtf8(scBase + suffix));
    }
  }
  TShmServerChild(const TShmServerChild&) = delete;
  TShmServerChild& operator=(const TShmServerChild&) = delete;

  bool Started() const { return scChild.Started(); }
  void Kill() { scChild.Kill(); }

private:
  std::u16string scBase;
  TChildProcess scChild;
};

}  // namespace revurov::testing
