// Hooks through which the GUI platform binding gives the library what only a
// GUI program has, and the main-thread flag.
//
// Contract:
// - nxIsMainThread() is true only on the thread that ran the library's first
//   start-up (lowlevel/startup.h), false on every other thread and before
//   start-up.
#pragma once

namespace revurov {

bool nxIsMainThread() noexcept;
// Marks or unmarks the calling thread as the main thread; used by start-up.
void nxSetIsMainThread(bool aValue) noexcept;

}  // namespace revurov
