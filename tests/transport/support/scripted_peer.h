// The server end of the client tests: a peer that runs a script on every
// connection made to it, keeps every frame it received, and answers with
// frames the test builds by hand. It knows descriptors only, so every medium
// that ends in a stream socket can hand it its far ends.
//
// - Accept starts one thread per connection; the script reads frames with
//   Receive (false at the end of the stream) and answers with Send. When the
//   script returns, the peer's end is closed, which the client sees as a
//   lost connection.
// - Refuse makes Accept turn connections down (counted in Attempts either way).
// - The destructor shuts every end down and joins the threads, so a script
//   blocked in Receive ends with the test.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/endian.h"
#include "platform/socket.h"
#include "transport/named_pipe_transport.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/wire_header.h"

namespace revurov::testing {

// A frame as the peer sends it; Length 0 takes the true length.
struct TPeerFrame {
  uint8_t Type = 0;
  TnxTransportID TransportID = 0;
  TnxSessionID SessionID = 0;
  TnxMsgID MsgID = 0;
  uint16_t ErrorCode = 0;
  uint8_t Flags = 0;
  uint8_t CompressType = 0;
  uint32_t UncompressedSize = 0;
  uint32_t Length = 0;
  std::vector<uint8_t> Payload;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out(nxHeaderSize + Payload.size());
    TnxBaseHeader h;
    h.bhTransportID = TransportID;
    h.bhSessionID = SessionID;
    h.bhVersion = nxClientMessageVersion;
    h.bhFlags = Flags;
    h.bhMsgID = MsgID;
    h.bhLength = Length ? Length : static_cast<uint32_t>(out.size());
    // Only the pipe medium reads it; it follows the length, true or not.
    h.bhParts = nxPipeParts(h.bhLength);
    h.bhErrorCode = ErrorCode;
    h.bhMsgType = Type;
    h.bhCompressType = CompressType;
    h.bhUncompressedSize = UncompressedSize;
    nxStoreHeader(h, out.data());
    std::copy(Payload.begin(), Payload.end(), out.begin() + nxHeaderSize);
    return out;
  }
};

inline std::vector<uint8_t> U32Bytes(uint32_t aValue) {
  std::vector<uint8_t> out(4);
  platform::StoreU32(out.data(), aValue);
  return out;
}

class TScriptedPeer {
public:
  // One connection's end on the peer side.
  class TEnd {
  public:
    TEnd(TScriptedPeer& aPeer, int aFd, int aIndex) : ePeer(aPeer), eFd(aFd), eIndex(aIndex) {}
    // The next whole frame (header and body); false at the end of the stream.
    bool Receive(std::vector<uint8_t>& aFrame) {
      aFrame.assign(nxHeaderSize, 0);
      if (!ReadExactly(eFd, aFrame.data(), nxHeaderSize)) return false;
      const TnxBaseHeader h = nxLoadHeader(aFrame.data());
      if (nxCheckHeader(h) != 0) return false;
      if (ePeer.CountsParts.load()) {
        // A wrong count is a broken frame; a right one is recorded as every
        // other medium sends it, so that expected bytes need not know.
        if (h.bhParts != nxPipeParts(h.bhLength)) return false;
        platform::StoreU32(aFrame.data() + 20, 0);
      }
      aFrame.resize(h.bhLength);
      if (!ReadExactly(eFd, aFrame.data() + nxHeaderSize, h.bhLength - nxHeaderSize)) return false;
      ePeer.Record(eIndex, aFrame);
      return true;
    }
    void Send(const std::vector<uint8_t>& aBytes) { WriteAll(eFd, aBytes.data(), aBytes.size()); }
    void Send(const TPeerFrame& aFrame) { Send(aFrame.Bytes()); }
    int Index() const noexcept { return eIndex; }
    TScriptedPeer& Peer() noexcept { return ePeer; }

  private:
    TScriptedPeer& ePeer;
    int eFd;
    int eIndex;
  };

  struct TReceived {
    int connection;
    std::vector<uint8_t> bytes;
    uint8_t Type() const { return bytes[26]; }
  };

  using TScript = std::function<void(TEnd&)>;

  explicit TScriptedPeer(TScript aScript) : spScript(std::move(aScript)) {}
  ~TScriptedPeer() {
    std::vector<std::thread> threads;
    {
      std::lock_guard guard(spLock);
      for (int fd : spFds) platform::ShutdownSocket(fd);
      threads.swap(spThreads);
    }
    for (auto& t : threads) t.join();
    for (int fd : spFds) platform::CloseSocket(fd);
  }

  std::atomic<bool> Refuse{false};
  std::atomic<int> Attempts{0};
  // Frames must carry the part count of the pipe medium.
  std::atomic<bool> CountsParts{false};
  // Runs on every attempt before it is taken or refused; set before use.
  std::function<void()> OnAttempt;

  bool Accept(int aFd) {
    Attempts.fetch_add(1);
    if (OnAttempt) OnAttempt();
    if (Refuse.load()) {
      platform::CloseSocket(aFd);
      return false;
    }
    std::lock_guard guard(spLock);
    const int index = static_cast<int>(spFds.size());
    spFds.push_back(aFd);
    spThreads.emplace_back([this, aFd, index] {
      TEnd end(*this, aFd, index);
      spScript(end);
      platform::ShutdownSocket(aFd);
    });
    return true;
  }

  std::vector<TReceived> Frames() const {
    std::lock_guard guard(spLock);
    return spFrames;
  }
  std::vector<TReceived> FramesOfType(uint8_t aType) const {
    std::vector<TReceived> out;
    for (auto& f : Frames())
      if (f.Type() == aType) out.push_back(f);
    return out;
  }
  int Connections() const {
    std::lock_guard guard(spLock);
    return static_cast<int>(spFds.size());
  }
  // Waits until aPred holds of the received frames, at most aMs; whether it did.
  bool WaitFor(const std::function<bool(const std::vector<TReceived>&)>& aPred, int aMs = 20000) {
    std::unique_lock lock(spLock);
    return spChanged.wait_for(lock, std::chrono::milliseconds(aMs), [&] { return aPred(spFrames); });
  }

private:
  void Record(int aIndex, const std::vector<uint8_t>& aFrame) {
    {
      std::lock_guard guard(spLock);
      spFrames.push_back({aIndex, aFrame});
    }
    spChanged.notify_all();
  }

  TScript spScript;
  mutable std::mutex spLock;
  std::condition_variable spChanged;
  // Closed by the destructor only, after the threads are joined, so that a
  // shut-down end stays a valid number while anyone may still use it.
  std::vector<int> spFds;
  std::vector<std::thread> spThreads;
  std::vector<TReceived> spFrames;

};

}  // namespace revurov::testing
