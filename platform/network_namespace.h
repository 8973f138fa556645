// A network of the calling thread's own, so that tests that broadcast or
// bind fixed ports neither reach another host nor meet each other.
//
// Contract:
// - EnterNewNetworkNamespace moves the calling thread (not the process)
//   into a new network namespace with only loopback, brought up, and
//   answers a descriptor of the namespace it left; -1 with errno set when
//   the system refuses (no privilege), leaving the thread where it was.
//   Threads and child processes the thread starts afterwards are in the
//   new namespace; sockets stay in the one they were made in.
// - LeaveNetworkNamespace puts the calling thread back into the namespace
//   of such a descriptor and closes it; the new namespace goes when nothing
//   uses it any more.
#pragma once

namespace revurov::platform {

int EnterNewNetworkNamespace() noexcept;
bool LeaveNetworkNamespace(int aPrevious) noexcept;

}  // namespace revurov::platform
