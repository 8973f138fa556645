// A memory barrier on every thread of the process at once, so that a fast
// path run by one thread may get by with a compiler fence while the rare
// path of another pays for both.
//
// Contract:
// - PrepareProcessBarrier readies the barrier for the process and answers
//   whether it is available; it may be called any number of times from any
//   thread. Where it answers false the fast paths need full fences.
// - ProcessBarrier returns once every running thread of the process has
//   passed a full memory barrier after the call began: a store that a
//   thread made before its compiler fence is visible to the caller after
//   it. REQUIRES: PrepareProcessBarrier answered true.
#pragma once

namespace revurov::platform {

bool PrepareProcessBarrier() noexcept;
void ProcessBarrier() noexcept;

}  // namespace revurov::platform
