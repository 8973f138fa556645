// Calls of other threads that must run on the GUI thread (widgets live
// there only), and the GUI thread's waits that let such calls through.
//
// Contract:
// - The GUI thread is the thread of the Qt application object; while there
//   is none, there is no GUI thread.
// - nxCallOnGuiThread runs aCall on the GUI thread and returns once it has
//   run; an exception of aCall is raised in the caller. On the GUI thread it
//   runs aCall at once. It answers false without running aCall when there is
//   no Qt application, or when the call is abandoned before it started.
// - A waiting call runs when the GUI thread's event loop next handles
//   events (a modal form's loop too), or while the GUI thread waits in
//   nxWaitWithGuiCalls, which runs such calls and nothing else of its loop.
// - nxWaitWithGuiCalls answers as platform::WaitForEvent. On another thread
//   it is the plain wait.
// - nxServeGuiCalls, on the GUI thread, lets its Qt loop watch for calls
//   (otherwise the first call sets that up through a Qt event).
// - nxAbandonGuiCalls answers every call not yet started with false (on the
//   GUI thread it also stops the watch); the application's end does the same.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/os_event.h"

namespace revurov {

bool nxIsGuiThread() noexcept;
bool nxCallOnGuiThread(const std::function<void()>& aCall);
uint32_t nxWaitWithGuiCalls(platform::EventHandle aEvent, uint32_t aTimeoutMs);
void nxServeGuiCalls();
void nxAbandonGuiCalls() noexcept;

}  // namespace revurov
