#include "lowlevel/streams/kept_memory_stream.h"

#include <cstdint>
#include <typeinfo>

namespace revurov {

namespace {

constexpr int64_t kKeptStreamLimit = 1024 * 1024;
constexpr int kKeptStreams = 3;

struct TKeptStream {
  TnxMemoryStream stream{-1};
  bool taken = false;
};
thread_local TKeptStream tlsKeptStreams[kKeptStreams];

constexpr int kSpareStreams = 4;

struct TSpareStreams {
  TnxMemoryStream* streams[kSpareStreams] = {};
  // -1 once the thread's spares are gone: later ones are freed at once.
  int count = 0;
  ~TSpareStreams() {
    for (int i = 0; i < count; ++i) delete streams[i];
    count = -1;
  }
};
thread_local TSpareStreams tlsSpareStreams;

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

std::unique_ptr<TnxMemoryStream> nxTakeSpareStream() {
  TSpareStreams& spares = tlsSpareStreams;
  if (spares.count > 0) {
    std::unique_ptr<TnxMemoryStream> stream(spares.streams[--spares.count]);
    stream->SetSize(0);
    stream->SetPosition(0);
    return stream;
  }
  return std::make_unique<TnxMemoryStream>(-1);
}

void nxGiveBackSpareStream(std::unique_ptr<TnxMemoryStream> aStream) noexcept {
  if (!aStream || typeid(*aStream) != typeid(TnxMemoryStream) || aStream->Capacity() > kKeptStreamLimit) return;
  TSpareStreams& spares = tlsSpareStreams;
  if (spares.count < 0 || spares.count == kSpareStreams) return;
  spares.streams[spares.count++] = aStream.release();
}

}  // namespace revurov
