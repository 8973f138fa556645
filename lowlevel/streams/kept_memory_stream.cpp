#include "lowlevel/streams/kept_memory_stream.h"

#include <cstdint>

namespace revurov {

namespace {

constexpr int64_t kKeptStreamLimit = 1024 * 1024;
constexpr int kKeptStreams = 3;

struct TKeptStream {
  TnxMemoryStream stream{-1};
  bool taken = false;
};
thread_local TKeptStream tlsKeptStreams[kKeptStreams];

}  // namespace

TnxKeptMemoryStream::TnxKeptMemoryStream() {
  for (int i = 0; i < kKeptStreams; ++i) {
    TKeptStream& kept = tlsKeptStreams[i];
    if (kept.taken) continue;
    kept.taken = true;
    kmsSlot = i;
    kmsStream = &kept.stream;
    kmsStream->SetSize(0);
    kmsStream->SetPosition(0);
    return;
  }
}

TnxKeptMemoryStream::~TnxKeptMemoryStream() {
  if (kmsSlot < 0) return;
  if (kmsStream->Capacity() > kKeptStreamLimit) kmsStream->Clear();
  tlsKeptStreams[kmsSlot].taken = false;
}

}  // namespace revurov
