// Finding pipe servers through discovery slots (local datagram sockets
// named like mailslots).
//
// Contract:
// - A scan binds its reply slot "\\.\mailslot\RevurOV\1.0\<Port>\Client\<pid>_<n>"
//   (n unique among the scans of the process) and sends, every interval
//   until Stop, a request that names that slot as a server sees it
//   ("\\<this computer>\..." ) to this machine's server slot (the "\\*"
//   target). Every datagram in the reply slot becomes a reply: server name,
//   GUID and version, each ending at a zero byte or at the end of the data.
//   A scan without a handler sends nothing. A reply slot that cannot be
//   bound raises.
// - A listening server with RespondToBroadcasts binds
//   "\\.\mailslot\RevurOV\1.0\<Port>\Server" and answers a request only when
//   it names a reply slot of this computer for its Port ("...\Client\" +
//   digits + "_" + digits), sending to that slot's "\\." form:
//   ServerName + "@" + computer name (without "@" when the name is
//   unknown), GUID in braces and "47501", each with its zero byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "transport/server_discovery.h"

namespace revurov {

class TnxNamedPipeTransport;

inline constexpr size_t nxMailslotMessageSize = 420;

// "\\" + aHost + "\mailslot\RevurOV\1.0\" + aPort + "\" + aTail.
std::u16string nxMailslotName(const std::u16string& aHost, uint16_t aPort, const std::u16string& aTail);
// The "\\." form of a request's reply slot; false when the text is not the
// name of a reply slot of this computer for aPort.
bool nxReplySlotOfRequest(std::string_view aRequest, uint16_t aPort, std::string& aSlot);

// The server's listener; blocked in its read until the destructor shuts the
// slot down.
class TnxNamedPipeBroadcastListener {
public:
  // Raises when the server slot cannot be bound.
  explicit TnxNamedPipeBroadcastListener(TnxNamedPipeTransport& aTransport);
  ~TnxNamedPipeBroadcastListener();
  TnxNamedPipeBroadcastListener(const TnxNamedPipeBroadcastListener&) = delete;
  TnxNamedPipeBroadcastListener& operator=(const TnxNamedPipeBroadcastListener&) = delete;

private:
  void Execute();

  TnxNamedPipeTransport& npblTransport;
  std::string npblAnswer;
  int npblHandle = -1;
  std::atomic<bool> npblTerminated{false};
  std::thread npblThread;
};

platform::TInterfacePtr<InxActiveBroadcast> nxBeginPipeBroadcast(TnxNamedPipeTransport& aTransport,
                                                                 InxBroadcastReplyHandler* aHandler,
                                                                 int32_t aInterval);

}  // namespace revurov
