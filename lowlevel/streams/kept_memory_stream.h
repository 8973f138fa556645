// A memory stream kept per thread for the short-lived streams of requests
// and replies. A new TnxMemoryStream reserves its memory from the system
// and gives it back when it goes: three system calls each time, and the
// unmapping stalls every thread of the process. The thread's kept stream
// keeps its memory instead (unless a large message grew it beyond 1 MB).
//
// Contract: the stream is empty (size and position 0) when taken. A thread
// keeps a few streams (a request, its reply and one more can be in use at
// once); while all of them are lent out, another holder on the same thread
// gets a stream of its own. A holder belongs to the thread that made it.
#pragma once

#include <memory>

#include "lowlevel/streams/memory_stream.h"

namespace revurov {

class TnxKeptMemoryStream {
public:
  TnxKeptMemoryStream();
  ~TnxKeptMemoryStream();
  TnxKeptMemoryStream(const TnxKeptMemoryStream&) = delete;
  TnxKeptMemoryStream& operator=(const TnxKeptMemoryStream&) = delete;

  TnxMemoryStream& Stream() noexcept { return *kmsStream; }

private:
  TnxMemoryStream kmsOwn{-1};  // reserves nothing until written
  TnxMemoryStream* kmsStream = &kmsOwn;
  int kmsSlot = -1;  // the thread's slot lent out, -1 for the own stream
};

// A heap stream for a reply slot, whose callee may keep, replace or free
// it: one of the calling thread's spares (its memory kept) or a new one.
// It comes empty.
std::unique_ptr<TnxMemoryStream> nxTakeSpareStream();
// Keeps aStream among the calling thread's spares; one of another class,
// one grown beyond 1 MB or one past the few spares kept is freed.
void nxGiveBackSpareStream(std::unique_ptr<TnxMemoryStream> aStream) noexcept;

}  // namespace revurov
