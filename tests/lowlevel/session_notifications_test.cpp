#include "lowlevel/objects/session_notifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/interface.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;
namespace {

// The list as its session holds it: made once, ended with Free.
struct List {
  TnxSessionNotifications* p = nxCreate<TnxSessionNotifications>(nullptr);
  ~List() {
    if (p) p->Free();
  }
  TnxSessionNotifications* operator->() const { return p; }
};

using Words = std::array<uint32_t, 4>;

class TestNotifier : public InxSessionNotifier {
public:
  platform::HRESULT QueryInterface(const TGUID&, void** obj) noexcept override {
    *obj = nullptr;
    return platform::E_NOINTERFACE;
  }
  int32_t AddRef() noexcept override { return ++Refs; }
  int32_t Release() noexcept override { return --Refs; }
  void SessionDisconnected() override {
    ++Calls;
    if (OnCall) OnCall();
    if (ThrowOnCall) throw std::runtime_error("call");
  }
  std::atomic<int> Refs{0};
  std::atomic<int> Calls{0};
  bool ThrowOnCall = false;
  std::function<void()> OnCall;
};

TEST(SessionNotifications, RegisteringHoldsAReferenceUntilUnregisteredOnce) {
  List list;
  TestNotifier n;
  TnxSessionNotifierCookie cookie = list->RegisterNotifier(&n);
  EXPECT_EQ(n.Refs, 1);
  EXPECT_EQ(list->Count(), 1);
  list->UnregisterNotifier(cookie);
  EXPECT_EQ(n.Refs, 0);
  EXPECT_EQ(list->Count(), 0);
  list->UnregisterNotifier(cookie);  // twice: dropped once
  EXPECT_EQ(n.Refs, 0);
  list->Disconnected();
  EXPECT_EQ(n.Calls, 0);
}

TEST(SessionNotifications, ANullNotifierGetsTheZeroCookie) {
  List list;
  TnxSessionNotifierCookie zero = platform::GUID_NULL;
  EXPECT_EQ(list->RegisterNotifier(nullptr), zero);
  EXPECT_EQ(list->Count(), 0);
  list->UnregisterNotifier(zero);
}

TEST(SessionNotifications, ForeignAlteredAndStaleCookiesAreIgnored) {
  List list, other;
  TestNotifier n, m, reuse;
  TnxSessionNotifierCookie cookie = list->RegisterNotifier(&n);
  TnxSessionNotifierCookie otherCookie = other->RegisterNotifier(&m);

  list->UnregisterNotifier(otherCookie);  // another session's cookie
  EXPECT_EQ(m.Refs, 1);
  // Any one word changed, by one bit or altogether.
  const Words words = nxSessionNotifierCookieWords(cookie);
  for (int word = 0; word < 4; ++word)
    for (uint32_t flip : {1u, 0x80000000u, 0xFFFFFFFFu}) {
      Words forged = words;
      forged[word] ^= flip;
      list->UnregisterNotifier(nxSessionNotifierCookieFromWords(forged));
      ASSERT_EQ(n.Refs, 1) << "word " << word << " flip " << flip;
    }
  // Made up: the right list and slot, a guessed generation and the check
  // word the unsalted scheme would give.
  Words guessed = {words[0], words[1], words[2], words[0] ^ words[1] ^ words[2]};
  list->UnregisterNotifier(nxSessionNotifierCookieFromWords(guessed));
  EXPECT_EQ(n.Refs, 1);

  // Stale: the registration is gone and its slot serves another notifier.
  list->UnregisterNotifier(cookie);
  TnxSessionNotifierCookie reused = list->RegisterNotifier(&reuse);
  EXPECT_EQ(nxSessionNotifierCookieWords(reused)[1], words[1]);  // same slot
  list->UnregisterNotifier(cookie);
  EXPECT_EQ(reuse.Refs, 1);
  list->UnregisterNotifier(reused);
  EXPECT_EQ(reuse.Refs, 0);
  other->UnregisterNotifier(otherCookie);
  EXPECT_EQ(m.Refs, 0);
}

TEST(SessionNotifications, DisconnectedTellsEachNotifierOnceInOrderAndDropsThem) {
  List list;
  list->Disconnected();  // empty: nothing
  std::vector<int> order;
  TestNotifier a, b, c;
  a.OnCall = [&] { order.push_back(1); };
  b.OnCall = [&] { order.push_back(2); };
  c.OnCall = [&] { order.push_back(3); };
  b.ThrowOnCall = true;     // ignored
  list->RegisterNotifier(&a);
  TnxSessionNotifierCookie cb = list->RegisterNotifier(&b);
  list->RegisterNotifier(&c);
  list->Disconnected();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(a.Refs + b.Refs + c.Refs, 0);
  EXPECT_EQ(list->Count(), 0);
  list->UnregisterNotifier(cb);  // after the drop: nothing
  EXPECT_EQ(b.Refs, 0);

  // Registered after it: told at the next one.
  TestNotifier late;
  list->RegisterNotifier(&late);
  EXPECT_EQ(late.Calls, 0);
  list->Disconnected();
  EXPECT_EQ(late.Calls, 1);
  EXPECT_EQ(late.Refs, 0);
}

TEST(SessionNotifications, ANotifierMayUnregisterOrRegisterDuringItsCall) {
  List list;
  TestNotifier self, added;
  TnxSessionNotifierCookie selfCookie{};
  self.OnCall = [&] {
    list->UnregisterNotifier(selfCookie);  // its item is already out
    list->RegisterNotifier(&added);
  };
  selfCookie = list->RegisterNotifier(&self);
  list->Disconnected();
  EXPECT_EQ(self.Calls, 1);
  EXPECT_EQ(self.Refs, 0);
  // Registered during the walk: the walk goes on until the list is empty.
  EXPECT_EQ(added.Calls, 1);
  EXPECT_EQ(added.Refs, 0);
}

TEST(SessionNotifications, TheEndOfTheListDisconnects) {
  TestNotifier n;
  {
    List list;
    list->RegisterNotifier(&n);
  }
  EXPECT_EQ(n.Calls, 1);
  EXPECT_EQ(n.Refs, 0);
}

TEST(SessionNotifications, ConcurrentUnregisterAndDisconnectDropEachRegistrationOnce) {
  for (int round = 0; round < 20; ++round) {
    List list;
    constexpr int kCount = 64;
    std::vector<TestNotifier> notifiers(kCount);
    std::vector<TnxSessionNotifierCookie> cookies;
    for (auto& n : notifiers) cookies.push_back(list->RegisterNotifier(&n));
    std::thread unregisterer([&] {
      for (const auto& c : cookies) list->UnregisterNotifier(c);
    });
    std::thread disconnecter([&] { list->Disconnected(); });
    unregisterer.join();
    disconnecter.join();
    for (auto& n : notifiers) {
      ASSERT_EQ(n.Refs, 0);
      ASSERT_LE(n.Calls, 1);
    }
    EXPECT_EQ(list->Count(), 0);
  }
}

TEST(SessionNotifications, CookieWordsRoundTripThroughTheSixteenBytes) {
  const Words words = {0x01020304u, 0xA1B2C3D4u, 0xDEADBEEFu, 0x00FF00FFu};
  const TnxSessionNotifierCookie cookie = nxSessionNotifierCookieFromWords(words);
  EXPECT_EQ(nxSessionNotifierCookieWords(cookie), words);
  EXPECT_EQ(cookie.D1, 0x01020304u);
  EXPECT_EQ(cookie.D4[0], 0xEF);
  EXPECT_EQ(cookie.D4[7], 0x00);
}

// A session that aggregates the list: counting is the session's.
class TestSession : public TnxInterfacedObject {
public:
  TestSession() : TnxInterfacedObject(true) {}
  TnxSessionNotifications* Notifications = nullptr;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == InxSessionNotifications::IID && Notifications) {
      InxSessionNotifications* i = Notifications;
      i->AddRef();
      *obj = i;
      return true;
    }
    return TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TEST(SessionNotifications, AnAggregatedListCountsItsSession) {
  TestSession* session = nxCreate<TestSession>();
  session->Notifications = nxCreate<TnxSessionNotifications>(static_cast<IInterface*>(session));
  {
    TInterfacePtr<InxSessionNotifications> list =
        platform::Supports<InxSessionNotifications>(static_cast<IInterface*>(session));
    ASSERT_TRUE(list);
    EXPECT_EQ(session->RefCount(), 1);
    TestNotifier n;
    list->RegisterNotifier(&n);
    EXPECT_EQ(n.Refs, 1);
    // Asked through the list, the session answers.
    EXPECT_TRUE(platform::Supports<InxSessionNotifications>(list));
    list.Reset();
    EXPECT_EQ(session->RefCount(), 0);
    session->Notifications->Free();
    session->Notifications = nullptr;
    EXPECT_EQ(n.Calls, 1);
    EXPECT_EQ(n.Refs, 0);
  }
  session->Free();
}

}  // namespace
}  // namespace revurov
