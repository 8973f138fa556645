#include "lowlevel/objects/session_notifications.h"

#include <atomic>
#include <random>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;

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
  thread_local std::mt19937 tlsEngine{std::random_device{}()};
  return static_cast<uint32_t>(tlsEngine());
}

uint32_t CheckWord(uint32_t aID, uint32_t aSlotWord, uint32_t aGeneration, uint32_t aSecret) noexcept {
  return aID ^ aSlotWord ^ aGeneration ^ aSecret;
}

}  // namespace

std::array<uint32_t, 4> nxSessionNotifierCookieWords(const TnxSessionNotifierCookie& aCookie) noexcept {
  auto word = [&](int i) {
    return uint32_t(aCookie.D4[i]) | uint32_t(aCookie.D4[i + 1]) << 8 | uint32_t(aCookie.D4[i + 2]) << 16 |
           uint32_t(aCookie.D4[i + 3]) << 24;
  };
  return {aCookie.D1, uint32_t(aCookie.D2) << 16 | aCookie.D3, word(0), word(4)};
}

TnxSessionNotifierCookie nxSessionNotifierCookieFromWords(const std::array<uint32_t, 4>& aWords) noexcept {
  TnxSessionNotifierCookie c;
  c.D1 = aWords[0];
  c.D2 = static_cast<uint16_t>(aWords[1] >> 16);
  c.D3 = static_cast<uint16_t>(aWords[1]);
  for (int i = 0; i < 4; ++i) {
    c.D4[i] = static_cast<uint8_t>(aWords[2] >> (8 * i));
    c.D4[4 + i] = static_cast<uint8_t>(aWords[3] >> (8 * i));
  }
  return c;
}

TnxSessionNotifications::TnxSessionNotifications(IInterface* aHost)
    : TnxAggregatableObject(aHost, true), snID(NewListID()) {}

TnxSessionNotifications::~TnxSessionNotifications() { Disconnected(); }

bool TnxSessionNotifications::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxSessionNotifications>(this, iid, obj) ||
         TnxAggregatableObject::GetInterface(iid, obj);
}

TnxSessionNotifierCookie TnxSessionNotifications::RegisterNotifier(InxSessionNotifier* aNotifier) {
  if (!aNotifier) return platform::GUID_NULL;
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
  return nxSessionNotifierCookieFromWords(
      {snID, slotWord, s.Generation, CheckWord(snID, slotWord, s.Generation, secret)});
}

void TnxSessionNotifications::UnregisterNotifier(const TnxSessionNotifierCookie& aCookieValue) {
  const std::array<uint32_t, 4> aCookie = nxSessionNotifierCookieWords(aCookieValue);
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
  notifier->Release();
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
    notifier->Release();
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

}  // namespace revurov
