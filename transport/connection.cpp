#include "transport/connection.h"

#include "lowlevel/objects/handle_table.h"
#include "platform/format.h"
#include "transport/base_transport.h"
#include "transport/freed_connections.h"

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

void TnxBaseConnection::Free() noexcept {
  if (bcDestroying.exchange(1, std::memory_order_acq_rel) != 0) return;
  Handles().Remove(bcHandle);
  delete this;
}

void TnxBaseConnection::DropUser() noexcept {
  if (bcActive.fetch_sub(1, std::memory_order_acq_rel) - 1 == -1) Free();
}

bool TnxBaseConnection::Deliver(uint32_t aHandle, const std::function<void(TnxBaseConnection&)>& aUse) {
  auto* connection = static_cast<TnxBaseConnection*>(Handles().LookupAny(aHandle));
  // The handle died before destruction began, and the memory stays with the
  // deferred release for minutes, so a lookup that overlapped a Free still
  // reads a flag of this connection here.
  if (!connection || connection->bcDestroying.load(std::memory_order_acquire) != 0) return false;
  connection->AddUser();
  struct Hold {
    TnxBaseConnection* c;
    ~Hold() { c->DropUser(); }
  } hold{connection};
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

}  // namespace revurov
