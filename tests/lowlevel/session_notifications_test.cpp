#include "lowlevel/session_notifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace revurov {
namespace {

class TestNotifier : public InxSessionNotifier {
public:
  void AddRef() noexcept override { ++Refs; }
  void Release() override {
    --Refs;
    if (ThrowOnRelease) throw std::runtime_error("release");
  }
  void SessionDisconnected() override {
    ++Calls;
    if (OnCall) OnCall();
    if (ThrowOnCall) throw std::runtime_error("call");
  }
  std::atomic<int> Refs{0};
  std::atomic<int> Calls{0};
  bool ThrowOnCall = false;
  bool ThrowOnRelease = false;
  std::function<void()> OnCall;
};

TEST(SessionNotifications, RegisteringHoldsAReferenceUntilUnregisteredOnce) {
  TnxSessionNotifications list;
  TestNotifier n;
  TnxSessionNotifierCookie cookie = list.RegisterNotifier(&n);
  EXPECT_EQ(n.Refs, 1);
  EXPECT_EQ(list.Count(), 1);
  list.UnregisterNotifier(cookie);
  EXPECT_EQ(n.Refs, 0);
  EXPECT_EQ(list.Count(), 0);
  list.UnregisterNotifier(cookie);  // twice: dropped once
  EXPECT_EQ(n.Refs, 0);
  list.Disconnected();
  EXPECT_EQ(n.Calls, 0);
}

TEST(SessionNotifications, ANullNotifierGetsTheZeroCookie) {
  TnxSessionNotifications list;
  TnxSessionNotifierCookie zero{0, 0, 0, 0};
  EXPECT_EQ(list.RegisterNotifier(nullptr), zero);
  EXPECT_EQ(list.Count(), 0);
  list.UnregisterNotifier(zero);
}

TEST(SessionNotifications, ForeignAlteredAndStaleCookiesAreIgnored) {
  TnxSessionNotifications list, other;
  TestNotifier n, m, reuse;
  TnxSessionNotifierCookie cookie = list.RegisterNotifier(&n);
  TnxSessionNotifierCookie otherCookie = other.RegisterNotifier(&m);

  list.UnregisterNotifier(otherCookie);  // another session's cookie
  EXPECT_EQ(m.Refs, 1);
  // Any one word changed, by one bit or altogether.
  for (int word = 0; word < 4; ++word)
    for (uint32_t flip : {1u, 0x80000000u, 0xFFFFFFFFu}) {
      TnxSessionNotifierCookie forged = cookie;
      forged[word] ^= flip;
      list.UnregisterNotifier(forged);
      ASSERT_EQ(n.Refs, 1) << "word " << word << " flip " << flip;
    }
  // Made up: the right list and slot, a guessed generation and the check
  // word the unsalted scheme would give.
  TnxSessionNotifierCookie guessed = {cookie[0], cookie[1], cookie[2], cookie[0] ^ cookie[1] ^ cookie[2]};
  list.UnregisterNotifier(guessed);
  EXPECT_EQ(n.Refs, 1);

  // Stale: the registration is gone and its slot serves another notifier.
  list.UnregisterNotifier(cookie);
  TnxSessionNotifierCookie reused = list.RegisterNotifier(&reuse);
  EXPECT_EQ(reused[1], cookie[1]);  // same slot
  list.UnregisterNotifier(cookie);
  EXPECT_EQ(reuse.Refs, 1);
  list.UnregisterNotifier(reused);
  EXPECT_EQ(reuse.Refs, 0);
  other.UnregisterNotifier(otherCookie);
  EXPECT_EQ(m.Refs, 0);
}

TEST(SessionNotifications, DisconnectedTellsEachNotifierOnceInOrderAndDropsThem) {
  TnxSessionNotifications list;
  list.Disconnected();  // empty: nothing
  std::vector<int> order;
  TestNotifier a, b, c;
  a.OnCall = [&] { order.push_back(1); };
  b.OnCall = [&] { order.push_back(2); };
  c.OnCall = [&] { order.push_back(3); };
  b.ThrowOnCall = true;     // ignored
  c.ThrowOnRelease = true;  // ignored
  list.RegisterNotifier(&a);
  TnxSessionNotifierCookie cb = list.RegisterNotifier(&b);
  list.RegisterNotifier(&c);
  list.Disconnected();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(a.Refs + b.Refs + c.Refs, 0);
  EXPECT_EQ(list.Count(), 0);
  list.UnregisterNotifier(cb);  // after the drop: nothing
  EXPECT_EQ(b.Refs, 0);

  // Registered after it: told at the next one.
  TestNotifier late;
  list.RegisterNotifier(&late);
  EXPECT_EQ(late.Calls, 0);
  list.Disconnected();
  EXPECT_EQ(late.Calls, 1);
  EXPECT_EQ(late.Refs, 0);
}

TEST(SessionNotifications, ANotifierMayUnregisterOrRegisterDuringItsCall) {
  TnxSessionNotifications list;
  TestNotifier self, added;
  TnxSessionNotifierCookie selfCookie{};
  self.OnCall = [&] {
    list.UnregisterNotifier(selfCookie);  // its item is already out
    list.RegisterNotifier(&added);
  };
  selfCookie = list.RegisterNotifier(&self);
  list.Disconnected();
  EXPECT_EQ(self.Calls, 1);
  EXPECT_EQ(self.Refs, 0);
  // Registered during the walk: the walk goes on until the list is empty.
  EXPECT_EQ(added.Calls, 1);
  EXPECT_EQ(added.Refs, 0);
}

TEST(SessionNotifications, DestructionDisconnects) {
  TestNotifier n;
  {
    TnxSessionNotifications list;
    list.RegisterNotifier(&n);
  }
  EXPECT_EQ(n.Calls, 1);
  EXPECT_EQ(n.Refs, 0);
}

TEST(SessionNotifications, ConcurrentUnregisterAndDisconnectDropEachRegistrationOnce) {
  for (int round = 0; round < 20; ++round) {
    TnxSessionNotifications list;
    constexpr int kCount = 64;
    std::vector<TestNotifier> notifiers(kCount);
    std::vector<TnxSessionNotifierCookie> cookies;
    for (auto& n : notifiers) cookies.push_back(list.RegisterNotifier(&n));
    std::thread unregisterer([&] {
      for (const auto& c : cookies) list.UnregisterNotifier(c);
    });
    std::thread disconnecter([&] { list.Disconnected(); });
    unregisterer.join();
    disconnecter.join();
    for (auto& n : notifiers) {
      ASSERT_EQ(n.Refs, 0);
      ASSERT_LE(n.Calls, 1);
    }
    EXPECT_EQ(list.Count(), 0);
  }
}

}  // namespace
}  // namespace revurov
