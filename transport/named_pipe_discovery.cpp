#include "transport/named_pipe_discovery.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "lowlevel/errors/error_codes.h"
#include "platform/guid.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/rtl_thread.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "transport/named_pipe_transport.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

constexpr uint32_t kReplyReadTimeoutMs = 200;
constexpr const char16_t* kVersionText = u"47501";

std::u16string Decimal(uint64_t aValue) { return platform::Utf8ToUtf16(std::to_string(aValue)); }

bool AllDigits(std::string_view aText) {
  if (aText.empty()) return false;
  for (char c : aText)
    if (c < '0' || c > '9') return false;
  return true;
}

// One text of an answer: up to its zero byte or the end of the data.
std::u16string NextText(std::string_view& aData) {
  const size_t zero = aData.find('\0');
  const std::string_view text = aData.substr(0, zero);
  aData.remove_prefix(zero == std::string_view::npos ? aData.size() : zero + 1);
  return platform::Utf8ToUtf16(std::string(text));
}

std::atomic<uint32_t> gScanNumber{0};

class TnxNamedPipeActiveBroadcast : public TnxInterfacedObject, public InxActiveBroadcast {
public:
  TnxNamedPipeActiveBroadcast(TnxNamedPipeTransport& aTransport, InxBroadcastReplyHandler* aHandler,
                              int32_t aInterval)
      : npabTransport(aTransport), npabHandler(aHandler), npabInterval(aInterval > 0 ? aInterval : 1) {
    const std::u16string tail =
        u"Client\\" + Decimal(platform::CurrentProcessId()) + u"_" + Decimal(gScanNumber.fetch_add(1) + 1);
    if (!aHandler) return;
    const std::u16string local = nxMailslotName(u".", aTransport.Port(), tail);
    npabSlot = platform::LocalDatagramBind(platform::Utf16ToUtf8(local));
    if (npabSlot < 0) {
      const int error = errno;
      throw EnxTransportException(&aTransport, nxeServerNotFound,
                                  u"Cannot create the mailslot " + local + u": " +
                                      platform::Utf8ToUtf16(std::strerror(error)));
    }
    npabRequest = platform::Utf16ToUtf8(nxMailslotName(nxGetComputerName(), aTransport.Port(), tail));
    npabRequest.push_back('\0');
    npabTarget = platform::Utf16ToUtf8(nxMailslotName(u".", aTransport.Port(), u"Server"));
    npabListenThread = std::thread([this] { Listen(); });
    npabSenderThread = std::thread([this] { Send(); });
  }
  ~TnxNamedPipeActiveBroadcast() override { Stop(); }

  void SuspendSending() override {
    std::lock_guard guard(npabLock);
    ++npabSuspendCount;
  }
  void ResumeSending() override {
    {
      std::lock_guard guard(npabLock);
      --npabSuspendCount;
    }
    npabChanged.notify_all();
  }
  void Stop() override {
    {
      std::lock_guard guard(npabLock);
      npabTerminated = true;
    }
    npabChanged.notify_all();
    if (npabSlot >= 0) platform::ShutdownSocket(npabSlot);
    if (npabListenThread.joinable()) npabListenThread.join();
    if (npabSenderThread.joinable()) npabSenderThread.join();
    platform::CloseSocket(npabSlot);
    npabSlot = -1;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxActiveBroadcast>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  bool Terminated() {
    std::lock_guard guard(npabLock);
    return npabTerminated;
  }
  void Listen() {
    char buffer[nxMailslotMessageSize + 2];
    while (!Terminated()) {
      std::memset(buffer, 0, sizeof buffer);
      const int64_t n = platform::LocalDatagramReceive(npabSlot, buffer, nxMailslotMessageSize, kReplyReadTimeoutMs);
      if (n <= 0) continue;  // the time-out, or a shut-down slot: Terminated tells
      std::string_view data(buffer, static_cast<size_t>(n));
      const std::u16string name = NextText(data);
      const std::u16string guid = NextText(data);
      const std::u16string version = NextText(data);
      try {
        const platform::TInterfacePtr<InxBroadcastReply> reply(
            nxCreate<TnxBroadcastReply>(&npabTransport, name, npabTransport.Port(), guid, version));
        npabHandler->ReplyReceived(*reply);
      } catch (...) {
        // A handler that fails loses this reply, not the scan.
      }
    }
  }
  void Send() {
    std::unique_lock lock(npabLock);
    while (!npabTerminated) {
      lock.unlock();
      // A server not there yet is asked again next interval.
      platform::LocalDatagramSend(npabTarget, npabRequest.data(), npabRequest.size());
      lock.lock();
      npabChanged.wait(lock, [this] { return npabTerminated || npabSuspendCount <= 0; });
      npabChanged.wait_for(lock, std::chrono::milliseconds(npabInterval), [this] { return npabTerminated; });
    }
  }

  TnxNamedPipeTransport& npabTransport;
  platform::TInterfacePtr<InxBroadcastReplyHandler> npabHandler;
  int32_t npabInterval;
  int npabSlot = -1;
  std::string npabRequest;
  std::string npabTarget;
  std::mutex npabLock;
  std::condition_variable npabChanged;
  int32_t npabSuspendCount = 0;
  bool npabTerminated = false;
  std::thread npabListenThread;
  std::thread npabSenderThread;
};

}  // namespace

std::u16string nxMailslotName(const std::u16string& aHost, uint16_t aPort, const std::u16string& aTail) {
  return u"\\\\" + aHost + u"\\mailslot\\RevurOV\\1.0\\" + Decimal(aPort) + u"\\" + aTail;
}

bool nxReplySlotOfRequest(std::string_view aRequest, uint16_t aPort, std::string& aSlot) {
  const std::string_view prefix = "\\\\";
  if (aRequest.substr(0, prefix.size()) != prefix) return false;
  const size_t hostEnd = aRequest.find('\\', prefix.size());
  if (hostEnd == std::string_view::npos) return false;
  const std::u16string host = platform::Utf8ToUtf16(std::string(aRequest.substr(prefix.size(), hostEnd - prefix.size())));
  const std::u16string computer = nxGetComputerName();
  if (computer.empty() || !platform::AsciiSameText(host, computer)) return false;
  const std::string base = platform::Utf16ToUtf8(nxMailslotName(u"", aPort, u"Client\\")).substr(prefix.size());
  std::string_view rest = aRequest.substr(hostEnd);
  if (rest.substr(0, base.size()) != base) return false;
  rest.remove_prefix(base.size());
  const size_t underscore = rest.find('_');
  if (underscore == std::string_view::npos || !AllDigits(rest.substr(0, underscore)) ||
      !AllDigits(rest.substr(underscore + 1)))
    return false;
  aSlot = "\\\\." + std::string(aRequest.substr(hostEnd));
  return true;
}

TnxNamedPipeBroadcastListener::TnxNamedPipeBroadcastListener(TnxNamedPipeTransport& aTransport)
    : npblTransport(aTransport) {
  const std::u16string computer = nxGetComputerName();
  std::u16string name = std::u16string(platform::Trim(aTransport.ServerName()));
  if (!computer.empty()) name += u"@" + computer;
  npblAnswer = platform::Utf16ToUtf8(name);
  npblAnswer.push_back('\0');
  npblAnswer += platform::Utf16ToUtf8(platform::GUIDToString(aTransport.ServerGUID()));
  npblAnswer.push_back('\0');
  npblAnswer += platform::Utf16ToUtf8(kVersionText);
  npblAnswer.push_back('\0');
  const std::u16string slot = nxMailslotName(u".", aTransport.Port(), u"Server");
  npblHandle = platform::LocalDatagramBind(platform::Utf16ToUtf8(slot));
  if (npblHandle < 0) {
    const int error = errno;
    throw EnxTransportException(&aTransport, nxeServerNotFound,
                                u"Cannot create the mailslot " + slot + u": " +
                                    platform::Utf8ToUtf16(std::strerror(error)));
  }
  npblThread = std::thread([this, priority = aTransport.BroadcastListenerPriority()] {
    if (priority != platform::TThreadPriority::tpNormal) platform::SetCurrentThreadPriority(priority);
    Execute();
  });
}

TnxNamedPipeBroadcastListener::~TnxNamedPipeBroadcastListener() {
  npblTerminated.store(true, std::memory_order_release);
  platform::ShutdownSocket(npblHandle);
  if (npblThread.joinable()) npblThread.join();
  platform::CloseSocket(npblHandle);
}

void TnxNamedPipeBroadcastListener::Execute() {
  char buffer[nxMailslotMessageSize + 2];
  while (!npblTerminated.load(std::memory_order_acquire)) {
    std::memset(buffer, 0, sizeof buffer);
    const int64_t n =
        platform::LocalDatagramReceive(npblHandle, buffer, nxMailslotMessageSize, platform::kLocalWaitForever);
    if (npblTerminated.load(std::memory_order_acquire)) return;
    if (n < 0) return;
    std::string slot;
    // Only reply slots: a request must not make the server write into any
    // socket it names.
    if (!nxReplySlotOfRequest(std::string_view(buffer), npblTransport.Port(), slot)) continue;
    platform::LocalDatagramSend(slot, npblAnswer.data(), npblAnswer.size());
  }
}

platform::TInterfacePtr<InxActiveBroadcast> nxBeginPipeBroadcast(TnxNamedPipeTransport& aTransport,
                                                                 InxBroadcastReplyHandler* aHandler,
                                                                 int32_t aInterval) {
  return platform::TInterfacePtr<InxActiveBroadcast>(
      nxCreate<TnxNamedPipeActiveBroadcast>(aTransport, aHandler, aInterval));
}

}  // namespace revurov
