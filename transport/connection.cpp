#include "transport/connection.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "platform/format.h"
#include "transport/base_transport.h"
#include "transport/freed_connections.h"
#include "transport/message_frame.h"
#include "transport/pooled_transport.h"

namespace revurov {

namespace {

// Never destroyed: completions may name connections until the process ends.
TnxHandleTable& Handles() {
  static auto* table = new TnxHandleTable;
  return *table;
}

std::atomic<int32_t> gLastConnectionID{0};

}  // namespace

TnxBaseConnection::TnxBaseConnection(TnxBaseTransport* aTransport)
    : bcTransport(aTransport), bcConnectionID(gLastConnectionID.fetch_add(1, std::memory_order_relaxed) + 1) {
  bcLogPrefix = platform::Format(u"{%d}", {bcConnectionID});
  bcHandle = Handles().Add(this, nullptr, 0);
}

TnxBaseConnection::~TnxBaseConnection() {
  // Free removed it already; this covers a connection deleted by its owner.
  Handles().Remove(bcHandle);
}

void* TnxBaseConnection::operator new(std::size_t aSize) { return nxGetMem(aSize); }

void TnxBaseConnection::operator delete(void* aPointer) noexcept { nxDeferConnectionRelease(aPointer); }

namespace {

constexpr uint32_t kFreed = 1;
constexpr uint32_t kHold = 2;

// Readers: deliveries taking their hold; writer: Free ending the handle.
std::shared_mutex gDeliveryLock;

}  // namespace

void TnxBaseConnection::Free() noexcept {
  uint32_t old;
  {
    std::unique_lock lock(gDeliveryLock);
    old = bcDestroying.fetch_or(kFreed, std::memory_order_acq_rel);
    if (old & kFreed) return;
    Handles().Remove(bcHandle);
  }
  if (old == 0) {  // otherwise the last delivery does
    BeforeDestruction();
    delete this;
  }
}

void TnxBaseConnection::DropUser() noexcept {
  if (bcActive.fetch_sub(1, std::memory_order_acq_rel) - 1 == -1) Free();
}

bool TnxBaseConnection::Deliver(uint32_t aHandle, const std::function<void(TnxBaseConnection&)>& aUse) {
  TnxBaseConnection* connection;
  {
    // Free cannot run between the lookup and the hold: a connection found
    // here is alive, and one being freed has left the table already.
    std::shared_lock lock(gDeliveryLock);
    connection = static_cast<TnxBaseConnection*>(Handles().LookupAny(aHandle));
    if (!connection) return false;
    uint32_t state = connection->bcDestroying.load(std::memory_order_acquire);
    do {
      if (state & kFreed) return false;
    } while (!connection->bcDestroying.compare_exchange_weak(state, state + kHold, std::memory_order_acq_rel));
  }
  struct Hold {
    TnxBaseConnection* c;
    ~Hold() {
      c->DropUser();
      if (c->bcDestroying.fetch_sub(kHold, std::memory_order_acq_rel) - kHold == kFreed) {
        c->BeforeDestruction();
        delete c;
      }
    }
  } hold{connection};
  connection->AddUser();
  aUse(*connection);
  return true;
}

std::u16string TnxBaseConnection::LogCategory() const {
  std::u16string category(bcTransport ? bcTransport->btLogCategory() : std::u16string_view(u"transport"));
  return category + u"_connection";
}

void TnxBaseConnection::Transact(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                 TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                                 uint32_t aErrorCode, uint8_t aCompressType, uint32_t aUncompressedSize,
                                 const void* aBuffer, uint32_t aBufferSize, TnxReplyCallback aReplyCallback,
                                 void* aReplyCookie) {
  bcTransport->Write(this, aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType,
                     aUncompressedSize, aBuffer, aBufferSize);
  Read(aReplyCallback, aReplyCookie);
}

TnxBaseClientConnection::TnxBaseClientConnection(TnxBasePooledTransport* aTransport)
    : TnxBaseConnection(aTransport), bccTransport(aTransport) {}

TnxBaseClientConnection::~TnxBaseClientConnection() {
  if (bccEntered) bccTransport->RemoveClientConnection(this);
}

void nxEnterClientConnection(TnxBaseClientConnection* aConnection) {
  aConnection->bccTransport->AddClientConnection(aConnection);
  aConnection->bccEntered = true;
}

void TnxBaseClientConnection::Deactivate() { bccTransport->PushAvailableConnection(this); }

void TnxBaseClientConnection::Read(TnxReplyCallback aCallback, void* aReplyCookie) {
  // A buffer grown for one large reply is not kept by a pooled connection
  // for its whole life, also when the reply or its callback failed.
  struct Shrink {
    TnxBaseClientConnection& self;
    ~Shrink() { self.GiveBackLargeBody(self.bccBody); }
  } shrink{*this};
  TnxBaseHeader header;
  ReadMessage(header, bccBody);
  bccTransport->btDeliverReply(header, {bccBody.Data(), bccBody.Size()}, bccDecompressed, aCallback, aReplyCookie);
}

uint32_t TnxBaseClientConnection::Read(TnxBaseHeader& aHeader, void* aBuffer, uint32_t aBufferSize) {
  ReadMessage(aHeader, bccBody);
  const TnxReceivedMessage received =
      nxTakeMessage(aHeader, {bccBody.Data(), bccBody.Size()}, TnxReceiver::rcClient, bccDecompressed);
  if (received.rmError) throw EnxTransportException(nullptr, nxeLostConnection);
  const auto count = static_cast<uint32_t>(std::min<size_t>(aBufferSize, received.rmPayload.size()));
  if (count) std::memcpy(aBuffer, received.rmPayload.data(), count);
  return count;
}

}  // namespace revurov
