// The notifiers of a session: objects (remoting channels, ...) that must
// learn when the session goes away.
//
// Contract:
// - RegisterNotifier takes a reference on the notifier and answers a 16-byte
//   cookie; UnregisterNotifier(cookie) drops that registration (releasing the
//   reference) once. A null notifier gets the all-zero cookie, which
//   unregisters nothing.
// - Cookies are handles, never addresses: four 32-bit words (see
//   nxSessionNotifierCookieWords), the list's process-unique id, the slot
//   (with a type tag in its top byte), the slot's generation, and a check
//   word mixing the three with a random secret drawn for the registration.
//   A cookie that is stale (its registration already gone, its slot reused),
//   from another list, altered in any word, or made up is ignored.
// - Disconnected tells every notifier registered at the time, oldest first,
//   and drops their registrations. A notifier is called outside the list's
//   lock on the caller's thread; its exception is ignored; it may register
//   or unregister during the call (its own cookie no longer matches).
//   Notifiers registered after it are told at the next Disconnected.
// - All operations may be called from any thread.
// - TnxSessionNotifications is aggregated into its session: its reference
//   counting is the host's. The session makes it with
//   nxCreate<TnxSessionNotifications>(host) and ends it with Free(), which
//   runs Disconnected.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class InxSessionNotifier : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{62A6E9AD-95E2-44E7-9453-521AAA3225DC}");
  virtual void SessionDisconnected() = 0;
};

using TnxSessionNotifierCookie = platform::TGUID;

// The cookie's four words: D1; D2 and D3 (high and low half); D4[0..3] and
// D4[4..7], each least significant byte first.
std::array<uint32_t, 4> nxSessionNotifierCookieWords(const TnxSessionNotifierCookie& aCookie) noexcept;
TnxSessionNotifierCookie nxSessionNotifierCookieFromWords(const std::array<uint32_t, 4>& aWords) noexcept;

class InxSessionNotifications : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{71FF0375-69C1-44DF-B24A-D4228619DE5A}");
  virtual TnxSessionNotifierCookie RegisterNotifier(InxSessionNotifier* aNotifier) = 0;
  virtual void UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) = 0;
};

class TnxSessionNotifications : public TnxAggregatableObject, public InxSessionNotifications {
public:
  explicit TnxSessionNotifications(platform::IInterface* aHost);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxAggregatableObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxAggregatableObject::AddRef(); }
  int32_t Release() noexcept override { return TnxAggregatableObject::Release(); }

  TnxSessionNotifierCookie RegisterNotifier(InxSessionNotifier* aNotifier) override;
  void UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) override;
  void Disconnected();

  int Count() const;

protected:
  ~TnxSessionNotifications() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Slot {
    uint32_t Generation = 1;  // moves on whenever a registration leaves
    uint32_t Secret = 0;
    InxSessionNotifier* Notifier = nullptr;  // holds a reference; null: free
    uint32_t Prev = kNone;
    uint32_t Next = kNone;  // next free slot while free
  };
  void Unlink(uint32_t aSlot) noexcept;

  mutable TnxPadlock snPadlock;
  uint32_t snID;
  std::vector<Slot> snSlots;
  uint32_t snHead = kNone;
  uint32_t snTail = kNone;
  uint32_t snFree = kNone;
  int snCount = 0;
};

}  // namespace revurov
