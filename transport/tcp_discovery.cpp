#include "transport/tcp_discovery.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/guid.h"
#include "platform/rtl_thread.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "transport/tcp_transport.h"
#include "transport/transport_clock.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

constexpr std::string_view kRequest{"Zirez/nxWinsock/Client\0", 23};
constexpr std::string_view kAnswerPrefix = "Zirez/nxWinsock/Server:";
constexpr std::string_view kVersionText = "47501";
constexpr uint32_t kInet4Broadcast = 0xFFFFFFFF;
// How often a sender looks at the transport clock while it waits: a fake
// clock moves without waking anybody.
constexpr uint64_t kClockLookMs = 50;

bool AsciiSameBytes(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// One text of a datagram: up to its zero byte or the end of the data.
std::string_view NextText(std::string_view& aData) noexcept {
  const size_t zero = aData.find('\0');
  const std::string_view text = aData.substr(0, zero);
  aData.remove_prefix(zero == std::string_view::npos ? aData.size() : zero + 1);
  return text;
}

std::u16string FromSystemCodePage(std::string_view aBytes) {
  return platform::CodePageToUnicode(aBytes, platform::SystemAnsiCodePage());
}

[[noreturn]] void RaiseCannotBind(const platform::TInet4Address& aAddress, int aError) {
  throw EnxTransportException(nullptr, nxeServerNotFound,
                              u"Cannot bind a broadcast socket to " +
                                  platform::Utf8ToUtf16(platform::Inet4Text(aAddress)) + u": " +
                                  platform::Utf8ToUtf16(std::strerror(aError)));
}

uint32_t ParseAddress(const std::u16string& aAddress) {
  uint32_t address = platform::kInet4Any;
  if (aAddress != u"*" && !platform::ParseInet4(platform::Utf16ToUtf8(aAddress), address))
    throw EnxTransportException(nullptr, nxeInvalidParameter, u"Invalid address \"" + aAddress + u"\"");
  return address;
}

void ApplyPriority(platform::TThreadPriority aPriority) {
  if (aPriority != platform::TThreadPriority::tpNormal) platform::SetCurrentThreadPriority(aPriority);
}

// Sends the request from one local address until it is freed.
class TnxWinsockBroadcastSenderThread {
public:
  TnxWinsockBroadcastSenderThread(TnxWinsockTransport& aTransport, const std::u16string& aAddress,
                                  int32_t aInterval)
      : wsbstPort(aTransport.Port()), wsbstInterval(aInterval > 0 ? static_cast<uint64_t>(aInterval) : 1) {
    const platform::TInet4Address local{ParseAddress(aAddress), wsbstPort};
    wsbstHandle = platform::UdpOpen(local, true);
    if (wsbstHandle < 0) RaiseCannotBind(local, errno);
    nxWinsockStartup();
    try {
      wsbstThread = std::thread([this, priority = aTransport.BroadcastThreadPriority()] {
        ApplyPriority(priority);
        Execute();
      });
    } catch (...) {
      platform::CloseSocket(wsbstHandle);
      nxWinsockCleanup();
      throw;
    }
  }
  ~TnxWinsockBroadcastSenderThread() {
    {
      std::lock_guard guard(wsbstLock);
      wsbstTerminated = true;
    }
    wsbstChanged.notify_all();
    platform::ShutdownSocket(wsbstHandle);
    if (wsbstThread.joinable()) wsbstThread.join();
    platform::CloseSocket(wsbstHandle);
    nxWinsockCleanup();
  }
  TnxWinsockBroadcastSenderThread(const TnxWinsockBroadcastSenderThread&) = delete;
  TnxWinsockBroadcastSenderThread& operator=(const TnxWinsockBroadcastSenderThread&) = delete;

  void SuspendSending() {
    std::lock_guard guard(wsbstLock);
    ++wsbstSuspendCount;
  }
  void ResumeSending() {
    {
      std::lock_guard guard(wsbstLock);
      --wsbstSuspendCount;
    }
    wsbstChanged.notify_all();
  }

private:
  void Execute() {
    const platform::TInet4Address target{kInet4Broadcast, wsbstPort};
    // Counted from when a request was due, not from when it left: the
    // sends keep their pace however late this thread runs.
    uint64_t due = nxTransportTickCount();
    std::unique_lock lock(wsbstLock);
    while (!wsbstTerminated) {
      lock.unlock();
      // A failed send is tried again next interval.
      platform::UdpSend(wsbstHandle, kRequest.data(), kRequest.size(), target);
      lock.lock();
      const bool held = wsbstSuspendCount > 0;
      wsbstChanged.wait(lock, [this] { return wsbstTerminated || wsbstSuspendCount <= 0; });
      // Resumed sending waits a whole interval first; a sender held up for
      // longer than an interval sends once, not a burst to catch up.
      const uint64_t now = nxTransportTickCount();
      due = held ? now + wsbstInterval : std::max(due + wsbstInterval, now);
      while (!wsbstTerminated) {
        const uint64_t now = nxTransportTickCount();
        if (now >= due) break;
        wsbstChanged.wait_for(lock, std::chrono::milliseconds(std::min(due - now, kClockLookMs)));
      }
    }
  }

  uint16_t wsbstPort;
  uint64_t wsbstInterval;
  int wsbstHandle = -1;
  std::mutex wsbstLock;
  std::condition_variable wsbstChanged;
  int32_t wsbstSuspendCount = 0;  // under wsbstLock
  bool wsbstTerminated = false;   // under wsbstLock
  std::thread wsbstThread;
};

// Takes the answers of a scan.
class TnxWinsockBroadcastListenThread final : public TnxWinsockBaseBroadcastThread {
public:
  TnxWinsockBroadcastListenThread(TnxWinsockTransport& aTransport, InxBroadcastReplyHandler* aHandler)
      : TnxWinsockBaseBroadcastThread(
            aTransport, {platform::kInet4Any, static_cast<uint16_t>(aTransport.Port() + 1)}),
        wsbltHandler(aHandler) {
    Start();
  }
  ~TnxWinsockBroadcastListenThread() override { Shutdown(); }

protected:
  void HandleDatagram(const char* aData, size_t aSize, const platform::TInet4Address& aFrom,
                      uint32_t) override {
    TnxWinsockAnswer answer;
    if (!nxParseWinsockAnswer(aData, aSize, answer)) return;
    const platform::TInterfacePtr<InxBroadcastReply> reply(nxCreate<TnxBroadcastReply>(
        &wsbbtTransport, answer.name + u"@" + platform::Utf8ToUtf16(platform::Inet4Text(aFrom.address)),
        wsbbtTransport.Port(), answer.guid, answer.version));
    wsbltHandler->ReplyReceived(*reply);
  }

private:
  platform::TInterfacePtr<InxBroadcastReplyHandler> wsbltHandler;
};

class TnxWinsockActiveBroadcast : public TnxInterfacedObject, public InxActiveBroadcast {
public:
  TnxWinsockActiveBroadcast(TnxWinsockTransport& aTransport, InxBroadcastReplyHandler* aHandler,
                            int32_t aInterval) {
    if (aTransport.Port() == 0 || aTransport.Port() == 0xFFFF)
      throw EnxTransportException(nullptr, nxeInvalidParameter,
                                  u"No broadcast answer port for port " +
                                      platform::Utf8ToUtf16(std::to_string(aTransport.Port())));
    if (!aHandler) return;
    platform::TStringList addresses;
    aTransport.GetBoundAddresses(addresses);
    // Listening first: an answer to the first request must find it.
    wsabListenThread = std::make_unique<TnxWinsockBroadcastListenThread>(aTransport, aHandler);
    for (int i = 0; i < addresses.Count(); ++i)
      wsabSenderThreads.push_back(
          std::make_unique<TnxWinsockBroadcastSenderThread>(aTransport, addresses[i], aInterval));
  }
  ~TnxWinsockActiveBroadcast() override { Stop(); }

  void SuspendSending() override {
    std::lock_guard guard(wsabLock);
    for (auto& sender : wsabSenderThreads) sender->SuspendSending();
  }
  void ResumeSending() override {
    std::lock_guard guard(wsabLock);
    for (auto& sender : wsabSenderThreads) sender->ResumeSending();
  }
  void Stop() override {
    std::lock_guard guard(wsabLock);
    wsabListenThread.reset();
    wsabSenderThreads.clear();
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxActiveBroadcast>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  std::mutex wsabLock;
  std::unique_ptr<TnxWinsockBroadcastListenThread> wsabListenThread;
  std::vector<std::unique_ptr<TnxWinsockBroadcastSenderThread>> wsabSenderThreads;
};

}  // namespace

std::string_view nxWinsockRequest() noexcept { return kRequest; }

bool nxIsWinsockRequest(const char* aData, size_t aSize) noexcept {
  std::string_view data(aData, aSize);
  return AsciiSameBytes(NextText(data), kRequest.substr(0, kRequest.size() - 1));
}

std::string nxWinsockAnswer(const std::u16string& aServerName, const platform::TGUID& aServerGUID) {
  std::string answer(kAnswerPrefix);
  answer += platform::UnicodeToCodePageLossy(aServerName, platform::SystemAnsiCodePage());
  answer.push_back('\0');
  answer += platform::Utf16ToUtf8(platform::GUIDToString(aServerGUID));
  answer.push_back('\0');
  answer += kVersionText;
  answer.push_back('\0');
  return answer;
}

bool nxParseWinsockAnswer(const char* aData, size_t aSize, TnxWinsockAnswer& aAnswer) {
  std::string_view data(aData, aSize);
  const std::string_view first = NextText(data);
  if (first.size() <= kAnswerPrefix.size() || !AsciiSameBytes(first.substr(0, kAnswerPrefix.size()), kAnswerPrefix))
    return false;
  const std::string_view guid = NextText(data);
  const std::string_view version = NextText(data);
  aAnswer.guid = FromSystemCodePage(guid);
  platform::TGUID id{};
  // A bad GUID drops the answer rather than listing a server by the null one.
  if (!aAnswer.guid.empty() && !platform::TryStringToGUID(aAnswer.guid, id)) return false;
  aAnswer.name = FromSystemCodePage(first.substr(kAnswerPrefix.size()));
  aAnswer.version = FromSystemCodePage(version);
  return true;
}

// ---- the receiving threads ----

TnxWinsockBaseBroadcastThread::TnxWinsockBaseBroadcastThread(TnxWinsockTransport& aTransport,
                                                             const platform::TInet4Address& aBind)
    : wsbbtTransport(aTransport) {
  wsbbtHandle = platform::UdpOpen(aBind, false);
  if (wsbbtHandle < 0) RaiseCannotBind(aBind, errno);
  nxWinsockStartup();
}

TnxWinsockBaseBroadcastThread::~TnxWinsockBaseBroadcastThread() { Shutdown(); }

void TnxWinsockBaseBroadcastThread::Start() {
  wsbbtThread = std::thread([this, priority = wsbbtTransport.BroadcastThreadPriority()] {
    ApplyPriority(priority);
    Execute();
  });
}

void TnxWinsockBaseBroadcastThread::Shutdown() noexcept {
  if (wsbbtHandle < 0) return;
  wsbbtTerminated.store(true, std::memory_order_release);
  // A close alone would leave the receive blocked.
  platform::ShutdownSocket(wsbbtHandle);
  if (wsbbtThread.joinable()) wsbbtThread.join();
  platform::CloseSocket(wsbbtHandle);
  wsbbtHandle = -1;
  nxWinsockCleanup();
}

void TnxWinsockBaseBroadcastThread::Execute() {
  // Two zero bytes stay behind the longest datagram taken.
  char buffer[nxWinsockDatagramSize + 2];
  while (!wsbbtTerminated.load(std::memory_order_acquire)) {
    std::memset(buffer, 0, sizeof buffer);
    platform::TInet4Address from;
    uint32_t arrival = 0;
    const int64_t n = platform::UdpReceive(wsbbtHandle, buffer, nxWinsockDatagramSize, from, arrival);
    if (wsbbtTerminated.load(std::memory_order_acquire)) return;
    if (n < 0) {
      // Out of memory or the like: try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    try {
      HandleDatagram(buffer, static_cast<size_t>(n), from, arrival);
    } catch (...) {
      // One bad datagram or a failing handler loses that datagram only.
    }
  }
}

TnxWinsockServerBroadcastThread::TnxWinsockServerBroadcastThread(TnxWinsockTransport& aTransport,
                                                                 const std::u16string& aAddress)
    : TnxWinsockBaseBroadcastThread(aTransport, {platform::kInet4Any, aTransport.Port()}),
      wssbtAddress(ParseAddress(aAddress)),
      wssbtAnswer(nxWinsockAnswer(aTransport.ServerName(), aTransport.ServerGUID())) {
  Start();
}

TnxWinsockServerBroadcastThread::~TnxWinsockServerBroadcastThread() { Shutdown(); }

void TnxWinsockServerBroadcastThread::HandleDatagram(const char* aData, size_t aSize,
                                                     const platform::TInet4Address& aFrom, uint32_t aArrival) {
  // Every thread of the port gets every broadcast: each answers for its own
  // address only.
  if (wssbtAddress != platform::kInet4Any && aArrival != wssbtAddress) return;
  if (!nxIsWinsockRequest(aData, aSize)) return;
  const platform::TInet4Address to{aFrom.address, static_cast<uint16_t>(wsbbtTransport.Port() + 1)};
  for (int i = 0; i < 2; ++i)
    if (!platform::UdpSend(wsbbtHandle, wssbtAnswer.data(), wssbtAnswer.size(), to, aArrival)) return;
}

platform::TInterfacePtr<InxActiveBroadcast> nxBeginWinsockBroadcast(TnxWinsockTransport& aTransport,
                                                                    InxBroadcastReplyHandler* aHandler,
                                                                    int32_t aInterval) {
  return platform::TInterfacePtr<InxActiveBroadcast>(
      nxCreate<TnxWinsockActiveBroadcast>(aTransport, aHandler, aInterval));
}

}  // namespace revurov
