// The pool of server threads of a listening pooled transport.
#include <algorithm>

#include "lowlevel/errors/error_codes.h"
#include "platform/completion_queue.h"
#include "transport/pooled_transport.h"
#include "transport/server_connection.h"

namespace revurov {

void TnxBasePooledTransport::SetMaxServerThreads(int32_t aValue) {
  aValue = std::max(aValue, 1);
  if (aValue == MaxServerThreads()) return;
  CheckInactive();
  btMaxServerThreads.store(aValue, std::memory_order_relaxed);
}

void TnxBasePooledTransport::btStartServerThreads(int32_t aCount) {
  for (int32_t i = 0; i < aCount; ++i) btGrowServerThreads();
}

void TnxBasePooledTransport::btGrowServerThreads() {
  std::lock_guard guard(btServerThreadsLock);
  if (btServerThreadCount.load(std::memory_order_acquire) >= MaxServerThreads()) return;
  // Counted as waiting from here, so that no other thread grows the pool
  // again before this one waits.
  btServerThreadCount.fetch_add(1, std::memory_order_acq_rel);
  btWaitingThreads.fetch_add(1, std::memory_order_acq_rel);
  try {
    btServerThreads.emplace_back([this] { btServerThreadLoop(); });
  } catch (...) {
    btWaitingThreads.fetch_sub(1, std::memory_order_acq_rel);
    btServerThreadCount.fetch_sub(1, std::memory_order_acq_rel);
  }
}

void TnxBasePooledTransport::btServerThreadLoop() {
  btWaitingThreads.fetch_sub(1, std::memory_order_acq_rel);
  platform::CompletionQueue* queue = CompletionQueue();
  for (;;) {
    platform::Completion completion;
    btWaitingThreads.fetch_add(1, std::memory_order_acq_rel);
    const uint32_t waited = queue->Wait(completion, platform::kInfinite);
    const int32_t waiting = btWaitingThreads.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (waited != platform::kWaitObject0 || completion.key == nxStopServerThreadKey) break;
    if (waiting == 0 && ServerStarted()) btGrowServerThreads();
    switch (completion.key) {
      case nxBreathKey: {
        {
          std::lock_guard guard(btBreathLock);
          btBreathDone.insert(completion.bytes);
        }
        btBreathSignal.notify_all();
        break;
      }
      case nxWatchdogPassKey: {
        int32_t idle = 0;
        if (btProcessingWatchdog.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
          btBreath();
          try {
            btCheckLostConnections();
          } catch (...) {
          }
          btProcessingWatchdog.store(0, std::memory_order_release);
        }
        break;
      }
      default:
        TnxBaseConnection::Deliver(static_cast<uint32_t>(completion.key), [&](TnxBaseConnection& aConnection) {
          try {
            static_cast<TnxBaseServerConnection&>(aConnection).IoCompleted(completion.bytes, completion.error);
          } catch (...) {
            // A medium failure ends the connection, never the thread.
            aConnection.ForceDisconnect();
          }
        });
        break;
    }
  }
  btServerThreadCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxBasePooledTransport::btBreath() {
  platform::CompletionQueue* queue = CompletionQueue();
  if (!queue || !ServerStarted()) return;
  // At the cap there is no thread to add, and the packet would wait for one
  // of the threads that may all be blocked behind this one.
  if (ServerThreadCount() >= MaxServerThreads()) return;
  uint32_t token;
  {
    std::lock_guard guard(btBreathLock);
    token = ++btBreathNext;
  }
  if (!queue->Post(nxBreathKey, token, 0)) return;
  std::unique_lock lock(btBreathLock);
  btBreathSignal.wait(lock, [&] { return btBreathDone.count(token) != 0 || !ServerStarted(); });
  btBreathDone.erase(token);
}

void TnxBasePooledTransport::btWakeBreaths() {
  { std::lock_guard guard(btBreathLock); }
  btBreathSignal.notify_all();
}

void TnxBasePooledTransport::btStopServerThreads() {
  btWakeBreaths();
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard guard(btServerThreadsLock);
      threads.swap(btServerThreads);
    }
    if (threads.empty()) break;
    if (platform::CompletionQueue* queue = CompletionQueue())
      for (size_t i = 0; i < 2 * threads.size(); ++i) queue->Post(nxStopServerThreadKey, 0, 0);
    for (std::thread& thread : threads) thread.join();
  }
  std::lock_guard guard(btBreathLock);
  btBreathDone.clear();
}

}  // namespace revurov
