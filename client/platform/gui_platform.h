// The library's platform hooks on Qt 6 Widgets: timers, the message box,
// the application's exception display, end and event handling, the waits of
// the GUI thread, and the three dialogs.
//
// Contract:
// - InstallQtPlatform sets the hooks of lowlevel/sync/platform_interface.h;
//   RemoveQtPlatform puts every hook back to the library's default and
//   answers waiting GUI calls. Both run through the start-up
//   (client/platform/startup.h), which counts them.
// - Hooks that show something run on the GUI thread (client/platform/
//   gui_calls.h): asked from another thread, the caller waits; with no Qt
//   application the library's default answer comes at once.
// - Windows stay the library's queue windows; those made on the GUI thread
//   are served by its Qt event loop.
// - A timer made on the GUI thread is a QTimer: use and free it there.
//   Elsewhere the timer is the library's own. An interval of 0 never fires.
#pragma once

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

#include "lowlevel/sync/platform_interface.h"

namespace revurov {

class TnxTimer final : public InxTimer {
public:
  explicit TnxTimer(std::function<void()> aOnTimer);
  bool Enabled() const override { return tEnabled; }
  void SetEnabled(bool aValue) override;
  uint32_t Interval() const override { return tInterval; }
  void SetInterval(uint32_t aValue) override;

private:
  void Update();

  QTimer ftTimer;
  std::function<void()> tOnTimer;
  uint32_t tInterval = 1000;
  bool tEnabled = false;
};

std::unique_ptr<InxTimer> CreatePlatformTimer(std::function<void()> aOnTimer);

void InstallQtPlatform();
void RemoveQtPlatform() noexcept;

}  // namespace revurov
