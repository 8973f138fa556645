// Finding TCP servers by UDP broadcast.
//
// Contract:
// - The request is "Zirez/nxWinsock/Client" and its zero byte (23 bytes),
//   sent to 255.255.255.255 at Port. The answer is "Zirez/nxWinsock/Server:"
//   + ServerName (system code page), a zero byte, ServerGUID in braces, a
//   zero byte, "47501" and a zero byte; it goes twice to the requester's
//   address at Port + 1.
// - Receivers take at most 420 bytes of a datagram and read nothing past
//   what arrived: a text ends at its zero byte or at the end of the data.
// - A scan (nxBeginWinsockBroadcast) first listens on the wildcard address
//   at Port + 1, then sends a request from every address of the transport's
//   GetBoundAddresses (bound to it and Port) at once and every aInterval ms
//   of the transport clock while sending is not suspended, until Stop.
//   Every answer becomes a reply "name@a.b.c.d" (the answer's sender) with
//   Port; an answer with another prefix, an empty name or a GUID text that
//   does not parse is dropped. A socket that cannot be bound raises 11278
//   out of the call, Port 0 or 65535 (no answer port) raises 9986.
// - A server broadcast thread listens on the wildcard address at Port and
//   answers, from its listen address, every request (in any case) that
//   arrived on that address; the one of "*" answers requests arriving on
//   any address, from that address.
// - Threads end by a shutdown of their socket, then a close; each holds one
//   count of the process-wide socket use while it lives.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"
#include "transport/server_discovery.h"

namespace revurov {

class TnxWinsockTransport;

inline constexpr size_t nxWinsockDatagramSize = 420;

// The request datagram, 23 bytes with its zero.
std::string_view nxWinsockRequest() noexcept;
bool nxIsWinsockRequest(const char* aData, size_t aSize) noexcept;
std::string nxWinsockAnswer(const std::u16string& aServerName, const platform::TGUID& aServerGUID);

struct TnxWinsockAnswer {
  std::u16string name;
  std::u16string guid;
  std::u16string version;
};
// False when the datagram is no answer to take.
bool nxParseWinsockAnswer(const char* aData, size_t aSize, TnxWinsockAnswer& aAnswer);

// A thread blocked in its socket's receive, handing every datagram on.
class TnxWinsockBaseBroadcastThread {
public:
  virtual ~TnxWinsockBaseBroadcastThread();
  TnxWinsockBaseBroadcastThread(const TnxWinsockBaseBroadcastThread&) = delete;
  TnxWinsockBaseBroadcastThread& operator=(const TnxWinsockBaseBroadcastThread&) = delete;

protected:
  // Raises 11278 when the socket cannot be bound to aBind.
  TnxWinsockBaseBroadcastThread(TnxWinsockTransport& aTransport, const platform::TInet4Address& aBind);
  // The most derived constructor starts the thread, its destructor ends it.
  void Start();
  void Shutdown() noexcept;
  virtual void HandleDatagram(const char* aData, size_t aSize, const platform::TInet4Address& aFrom,
                              uint32_t aArrival) = 0;

  TnxWinsockTransport& wsbbtTransport;
  int wsbbtHandle = -1;

private:
  void Execute();

  std::atomic<bool> wsbbtTerminated{false};
  std::thread wsbbtThread;
};

// Answers the requests that arrive on one listen address of a started
// server.
class TnxWinsockServerBroadcastThread final : public TnxWinsockBaseBroadcastThread {
public:
  // aAddress: "*" or a dotted address; raises 9986 when it does not parse.
  TnxWinsockServerBroadcastThread(TnxWinsockTransport& aTransport, const std::u16string& aAddress);
  ~TnxWinsockServerBroadcastThread() override;

protected:
  void HandleDatagram(const char* aData, size_t aSize, const platform::TInet4Address& aFrom,
                      uint32_t aArrival) override;

private:
  uint32_t wssbtAddress = platform::kInet4Any;
  std::string wssbtAnswer;
};

platform::TInterfacePtr<InxActiveBroadcast> nxBeginWinsockBroadcast(TnxWinsockTransport& aTransport,
                                                                    InxBroadcastReplyHandler* aHandler,
                                                                    int32_t aInterval);

}  // namespace revurov
