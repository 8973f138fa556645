#include "lowlevel/session_notifications.h"

#include <atomic>
#include <random>

#include "lowlevel/exceptions.h"

namespace revurov {

namespace {

constexpr uint32_t kSlotTag = 0x5E000000;  // top byte of the slot word
constexpr uint32_t kSlotMask = 0x00FFFFFF;

std::atomic<uint32_t> gNextListID{0};

uint32_t NewListID() noexcept {
  uint32_t id;
  do id = gNextListID.fetch_add(1, std::memory_order_relaxed) + 1;
  while (id == 0);
  return id;
}

uint32_t RandomSecret() {
  thread_local std::mt19937 engine{std::random_device{}()};
  return static_cast<uint32_t>(engine());
}

uint32_t CheckWord(uint32_t aID, uint32_t aSlotWord, uint32_t aGeneration, uint32_t aSecret) noexcept {
  return aID ^ aSlotWord ^ aGeneration ^ aSecret;
}

}  // namespace

TnxSessionNotifications::TnxSessionNotifications() : snID(NewListID()) {}

TnxSessionNotifications::~TnxSessionNotifications() { Disconnected(); }

TnxSessionNotifierCookie TnxSessionNotifications::RegisterNotifier(InxSessionNotifier* aNotifier) {
  if (!aNotifier) return {0, 0, 0, 0};
  const uint32_t secret = RandomSecret();
  TnxPadlockGuard guard(snPadlock);
  uint32_t slot = snFree;
  if (slot != kNone) {
    snFree = snSlots[slot].Next;
  } else {
    if (snSlots.size() > kSlotMask) throw EnxBaseException(u"Too many session notifiers");
    snSlots.emplace_back();
    slot = static_cast<uint32_t>(snSlots.size() - 1);
  }
  Slot& s = snSlots[slot];
  aNotifier->AddRef();
  s.Notifier = aNotifier;
  s.Secret = secret;
  s.Prev = snTail;
  s.Next = kNone;
  if (snTail != kNone) snSlots[snTail].Next = slot;
  else snHead = slot;
  snTail = slot;
  ++snCount;
  const uint32_t slotWord = kSlotTag | slot;
  return {snID, slotWord, s.Generation, CheckWord(snID, slotWord, s.Generation, secret)};
}

void TnxSessionNotifications::UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) {
  if (aCookie[0] != snID || (aCookie[1] & ~kSlotMask) != kSlotTag) return;
  const uint32_t slot = aCookie[1] & kSlotMask;
  InxSessionNotifier* notifier;
  {
    TnxPadlockGuard guard(snPadlock);
    if (slot >= snSlots.size()) return;
    const Slot& s = snSlots[slot];
    if (!s.Notifier || s.Generation != aCookie[2] ||
        CheckWord(snID, aCookie[1], s.Generation, s.Secret) != aCookie[3])
      return;
    notifier = s.Notifier;
    Unlink(slot);
  }
  ReleaseQuietly(notifier);
}

void TnxSessionNotifications::Disconnected() {
  for (;;) {
    InxSessionNotifier* notifier;
    {
      TnxPadlockGuard guard(snPadlock);
      if (snHead == kNone) return;
      notifier = snSlots[snHead].Notifier;
      // The registration is gone before the call: an unregister from inside
      // it finds nothing to drop.
      Unlink(snHead);
    }
    try {
      notifier->SessionDisconnected();
    } catch (...) {
    }
    ReleaseQuietly(notifier);
  }
}

int TnxSessionNotifications::Count() const {
  TnxPadlockGuard guard(snPadlock);
  return snCount;
}

void TnxSessionNotifications::Unlink(uint32_t aSlot) noexcept {
  Slot& s = snSlots[aSlot];
  if (s.Next != kNone) snSlots[s.Next].Prev = s.Prev;
  else snTail = s.Prev;
  if (s.Prev != kNone) snSlots[s.Prev].Next = s.Next;
  else snHead = s.Next;
  s.Notifier = nullptr;
  s.Secret = 0;
  if (++s.Generation == 0) s.Generation = 1;
  s.Prev = kNone;
  s.Next = snFree;
  snFree = aSlot;
  --snCount;
}

void TnxSessionNotifications::ReleaseQuietly(InxSessionNotifier* aNotifier) noexcept {
  try {
    aNotifier->Release();
  } catch (...) {
  }
}

}  // namespace revurov
