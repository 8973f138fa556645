#include "transport/server_connection.h"

#include "lowlevel/errors/error_codes.h"
#include "transport/pooled_transport.h"
#include "transport/remote_objects.h"
#include "transport/transport_exception.h"

namespace revurov {

TnxBaseServerConnection::TnxBaseServerConnection(TnxBasePooledTransport* aTransport)
    : TnxBaseConnection(aTransport), bscTransport(aTransport) {
  bscTransport->AddServerConnection(this);
}

TnxBaseServerConnection::~TnxBaseServerConnection() {
  Detach();  // a connection deleted without Free
  bscTransport->RemoveServerConnection(this);
}

void TnxBaseServerConnection::BeforeDestruction() noexcept { Detach(); }

TnxTransportID TnxBaseServerConnection::RemoteTransportID() const noexcept {
  TnxBaseRemoteTransport* remote = RemoteTransport();
  return remote ? remote->Handle() : 0;
}

void TnxBaseServerConnection::AttachTo(TnxBaseRemoteTransport& aRemoteTransport) {
  aRemoteTransport.Lock();
  TnxBaseRemoteTransport* expected = nullptr;
  if (!bscRemoteTransport.compare_exchange_strong(expected, &aRemoteTransport, std::memory_order_acq_rel)) {
    aRemoteTransport.Unlock();
    throw EnxTransportException(nullptr, nxeInvalidHandle);
  }
  try {
    aRemoteTransport.AttachConnection(this);
  } catch (...) {
    bscRemoteTransport.store(nullptr, std::memory_order_release);
    aRemoteTransport.Unlock();
    throw;
  }
}

void TnxBaseServerConnection::Detach() noexcept {
  TnxBaseRemoteTransport* remote = bscRemoteTransport.exchange(nullptr, std::memory_order_acq_rel);
  if (!remote) return;
  remote->DetachConnection(this);
  remote->Unlock();
}

void TnxBaseServerConnection::NotifyActivity() {
  if (TnxBaseRemoteTransport* remote = RemoteTransport()) remote->NotifyActivity();
}

void TnxBaseServerConnection::ReadMessage(TnxBaseHeader&, TnxHeapBuffer&) {
  throw EnxTransportException(nullptr, nxeLostConnection);
}

void TnxBaseServerConnection::Read(TnxReplyCallback aCallback, void* aReplyCookie) {
  TnxBaseHeader header;
  ReadMessage(header, bscBody);
  bscTransport->btDeliverReply(header, {bscBody.Data(), bscBody.Size()}, bscDecompressed, aCallback, aReplyCookie);
}

bool TnxBaseServerConnection::SetAsCallback() {
  TnxBaseRemoteTransport* remote = RemoteTransport();
  if (!remote) return false;
  bscCallback.store(true, std::memory_order_release);
  return remote->OfferCallback(this);
}

void TnxBaseServerConnection::EndCallback() noexcept {
  if (bscCallbackEnded.exchange(true, std::memory_order_acq_rel)) return;
  ForceDisconnect();
  Detach();
  DropUser();
}

}  // namespace revurov
