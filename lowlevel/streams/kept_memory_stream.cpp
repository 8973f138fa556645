#include "lowlevel/streams/kept_memory_stream.h"

#include <cstdint>

namespace revurov {

namespace {

constexpr int64_t kKeptStreamLimit = 1024 * 1024;

struct TKeptStream {
  TnxMemoryStream stream{-1};
  bool taken = false;
};
thread_local TKeptStream tlsKeptStream;

}  // namespace

TnxKeptMemoryStream::TnxKeptMemoryStream() {
  if (tlsKeptStream.taken) return;
  tlsKeptStream.taken = true;
  kmsKept = true;
  kmsStream = &tlsKeptStream.stream;
  kmsStream->SetSize(0);
  kmsStream->SetPosition(0);
}

TnxKeptMemoryStream::~TnxKeptMemoryStream() {
  if (!kmsKept) return;
  if (kmsStream->Capacity() > kKeptStreamLimit) kmsStream->Clear();
  tlsKeptStream.taken = false;
}

}  // namespace revurov
