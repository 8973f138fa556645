// The notifiers of a session: objects (remoting channels, ...) that must
// learn when the session goes away.
//
// Contract:
// - RegisterNotifier takes a reference on the notifier and answers a 16-byte
//   cookie; UnregisterNotifier(cookie) drops that registration (releasing the
//   reference) once. A null notifier gets the all-zero cookie, which
//   unregisters nothing.
// - Cookies are handles, never addresses: four 32-bit words, the list's
//   process-unique id, the slot (with a type tag in its top byte), the slot's
//   generation, and a check word mixing the three with a random secret drawn
//   for the registration. A cookie that is stale (its registration already
//   gone, its slot reused), from another list, altered in any word, or made
//   up is ignored.
// - Disconnected tells every notifier registered at the time, oldest first,
//   and drops their registrations. A notifier is called outside the list's
//   lock on the caller's thread; its exception is ignored; it may register
//   or unregister during the call (its own cookie no longer matches).
//   Notifiers registered after it are told at the next Disconnected.
// - All operations may be called from any thread. Destruction runs
//   Disconnected.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lowlevel/memory_manager.h"
#include "lowlevel/padlock.h"

namespace revurov {

// {62A6E9AD-95E2-44E7-9453-521AAA3225DC}. The reference counting operations
// stand in for the interface base's until the library has one.
class InxSessionNotifier {
public:
  virtual void AddRef() noexcept = 0;
  virtual void Release() = 0;
  virtual void SessionDisconnected() = 0;

protected:
  ~InxSessionNotifier() = default;
};

using TnxSessionNotifierCookie = std::array<uint32_t, 4>;

// {71FF0375-69C1-44DF-B24A-D4228619DE5A}
class InxSessionNotifications {
public:
  virtual TnxSessionNotifierCookie RegisterNotifier(InxSessionNotifier* aNotifier) = 0;
  virtual void UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) = 0;

protected:
  ~InxSessionNotifications() = default;
};

// Embedded in a session; its lifetime is the session's.
class TnxSessionNotifications : public TnxObject, public InxSessionNotifications {
public:
  TnxSessionNotifications();
  ~TnxSessionNotifications() override;

  TnxSessionNotifierCookie RegisterNotifier(InxSessionNotifier* aNotifier) override;
  void UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) override;
  void Disconnected();

  int Count() const;

private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Slot {
    uint32_t Generation = 1;  // moves on whenever a registration leaves
    uint32_t Secret = 0;
    InxSessionNotifier* Notifier = nullptr;  // null: free
    uint32_t Prev = kNone;
    uint32_t Next = kNone;  // next free slot while free
  };
  void Unlink(uint32_t aSlot) noexcept;
  static void ReleaseQuietly(InxSessionNotifier* aNotifier) noexcept;

  mutable TnxPadlock snPadlock;
  uint32_t snID;
  std::vector<Slot> snSlots;
  uint32_t snHead = kNone;
  uint32_t snTail = kNone;
  uint32_t snFree = kNone;
  int snCount = 0;
};

}  // namespace revurov
