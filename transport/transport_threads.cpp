#include "transport/transport_threads.h"

#include <chrono>

#include "lowlevel/errors/error_codes.h"
#include "transport/connection.h"
#include "transport/pooled_transport.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// A thread gives up after this many failed steps in its life.
constexpr int32_t kMaxStepFailures = 10;

}  // namespace

// ---- interval threads ----

TnxIntervalThread::TnxIntervalThread(TnxBasePooledTransport* aTransport, uint32_t aInterval,
                                     platform::TThreadPriority aPriority)
    : TnxInitThread(aPriority), itTransport(aTransport), itInterval(aInterval) {}

void TnxIntervalThread::AfterConstruction() {
  // Skips the init thread's start handshake: with no start-up step there is
  // no failure to hand back. The thread's end-of-work wait is let go first,
  // as the handshake would have done.
  ReleaseWait();
  TnxThread::AfterConstruction();
}

void TnxIntervalThread::Signal() {
  {
    std::lock_guard guard(itLock);
    itShutdown = true;
  }
  itSignal.notify_all();
}

void TnxIntervalThread::Shutdown() {
  Signal();
  if (Started() && !Finished()) WaitFor();
}

void TnxIntervalThread::BeforeDestruction() {
  Shutdown();
  TnxInitThread::BeforeDestruction();
}

bool TnxIntervalThread::WaitShutdown(std::unique_lock<std::mutex>& aLock) {
  return itSignal.wait_for(aLock, std::chrono::milliseconds(itInterval), [this] { return itShutdown; });
}

void TnxIntervalThread::InnerExecute() {
  // Held except while waiting: a step never overlaps Signal.
  std::unique_lock lock(itLock);
  auto step = [this] {
    try {
      Step();
    } catch (...) {
      if (itFailures.fetch_add(1, std::memory_order_acq_rel) + 1 > kMaxStepFailures) return false;
    }
    return true;
  };
  if (itShutdown || (StepFirst() && !step())) return;
  while (!WaitShutdown(lock))
    if (!step()) return;
}

TnxHeartbeatThread::TnxHeartbeatThread(TnxBasePooledTransport* aTransport)
    : TnxIntervalThread(aTransport, aTransport->HeartbeatInterval(), aTransport->HeartbeatThreadPriority()) {
}

void TnxHeartbeatThread::Step() {
  if (!itTransport->btSendKeepAlive()) throw EnxTransportException(nullptr, nxeLostConnection);
}

TnxWatchdogThread::TnxWatchdogThread(TnxBasePooledTransport* aTransport)
    : TnxIntervalThread(aTransport, aTransport->WatchdogInterval(), aTransport->WatchdogThreadPriority()) {
}

void TnxWatchdogThread::Step() { itTransport->btWatchdogStep(); }

// ---- callback threads ----

TnxBaseCallbackThread::TnxBaseCallbackThread(TnxBasePooledTransport* aTransport)
    : TnxInitThread(aTransport->CallbackThreadPriority()), bctTransport(aTransport) {
}

void TnxBaseCallbackThread::DoBeforeExecute() {
  TnxBaseClientConnection* connection = bctTransport->btAcquireConnection();
  try {
    if (bctTransport->btCallbackNeedsAck()) {
      bctTransport->Write(connection, bctTransport->TransportID(), 0, 0, 0, nxmtRegisterCallback, 0, 0, 0, nullptr, 0);
      TnxBaseHeader answer;
      connection->Read(answer, nullptr, 0);
      if (answer.bhMsgType != nxmtCallbackRegistered) throw EnxTransportException(nullptr, nxeLostConnection);
      if (answer.bhErrorCode != 0) throw EnxTransportException(nullptr, answer.bhErrorCode);
    }
  } catch (...) {
    connection->Free();
    throw;
  }
  std::lock_guard guard(bctLock);
  bctConnection = connection;
}

void TnxBaseCallbackThread::InnerExecute() {
  TnxBaseClientConnection* connection;
  {
    std::lock_guard guard(bctLock);
    connection = bctConnection;
  }
  try {
    if (!bctTransport->btCallbackNeedsAck())
      bctTransport->Write(connection, bctTransport->TransportID(), 0, 0, 0, nxmtRegisterCallback, 0, 0, 0, nullptr, 0);
    TnxBaseHeader header;
    TnxHeapBuffer body;
    while (!Terminated() && !connection->ForcedDisconnect()) {
      connection->ReadMessage(header, body);
      bctTransport->btProcessCallbackMessage(*connection, header, {body.Data(), body.Size()});
      // A callback connection idles most of its life: it keeps no more
      // than the standard buffer after a large message.
      body.ReleaseAbove(nxStdInBufferSize);
    }
  } catch (...) {
    // The connection is gone: the thread ends with it.
  }
  {
    std::lock_guard guard(bctLock);
    bctConnection = nullptr;
  }
  connection->ForceDisconnect();
  connection->Free();
}

void TnxBaseCallbackThread::Shutdown() {
  Terminate();
  {
    std::lock_guard guard(bctLock);
    if (bctConnection) bctConnection->ForceDisconnect();
  }
  if (Started() && !Finished()) WaitFor();
}

void TnxBaseCallbackThread::BeforeDestruction() {
  Shutdown();
  TnxInitThread::BeforeDestruction();
}

}  // namespace revurov
