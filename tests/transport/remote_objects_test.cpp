// Remote transports and sessions: their handles, lock counts, Free and the
// failure cascade, without a medium.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "support/named_component.h"
#include "transport/remote_objects.h"
#include "transport/support/stub_pooled_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

// Records what the engine hears of its sessions.
class TRecordingTransport : public testing::TStubPooledTransport {
  REVUROV_COMPONENT_CLASS(TRecordingTransport, testing::TStubPooledTransport)
  using TStubPooledTransport::TStubPooledTransport;

  std::u16string GetName() const override { return u"Recording"; }
  uint32_t btRemoveSession(TnxSessionID aSessionID) override {
    std::lock_guard guard(rtLock);
    Removed.insert(aSessionID);
    return 0;
  }
  void btSessionFailed(TnxSessionID aSessionID) override {
    std::lock_guard guard(rtLock);
    Failed.insert(aSessionID);
  }
  std::set<TnxSessionID> Removed;
  std::set<TnxSessionID> Failed;

private:
  std::mutex rtLock;
};

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};

class RemoteObjects : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    transport.reset(testing::Make<TRecordingTransport>(u"T"));
    transport->SetMode(nxtmListen);
  }
  void TearDown() override {
    transport.reset();
    EXPECT_EQ(nxLiveRemoteObjectCount(), 0);
    LibraryStarted::TearDown();
  }
  TnxBaseRemoteTransport* NewRemote() { return TnxBaseRemoteTransport::Create(transport.get(), nullptr, 2, 0); }

  std::unique_ptr<TRecordingTransport, Freed> transport;
};

TEST_F(RemoteObjects, HandlesThatNameNoLiveObjectOfTheClassAreRefused) {
  TnxBaseRemoteTransport* remote = NewRemote();
  TnxBaseRemoteSession* session = TnxBaseRemoteSession::Create(transport.get(), remote, 41, 1, 1);
  session->Unlock();  // the transport's list keeps it
  const TnxTransportID remoteHandle = remote->Handle();
  const TnxSessionID sessionHandle = session->Handle();
  EXPECT_NE(remoteHandle, sessionHandle);

  TnxBaseRemoteTransport* otherRemote = NewRemote();
  TnxBaseRemoteSession* freedSession = TnxBaseRemoteSession::Create(transport.get(), remote, 42, 1, 1);
  const TnxSessionID freedHandle = freedSession->Handle();
  freedSession->Free();
  freedSession->Unlock();  // destroyed: ASan sees any touch of it

  struct Row {
    const char* name;
    TnxBaseRemoteTransport* owner;
    uint32_t handle;
    bool transportClass;
  } rows[] = {
      {"transport 0", nullptr, 0, true},
      {"transport FFFFFFFF", nullptr, 0xFFFFFFFF, true},
      {"a session's handle as transport", nullptr, sessionHandle, true},
      {"a garbage transport handle", nullptr, remoteHandle + 1, true},
      {"session 0", remote, 0, false},
      {"session FFFFFFFF", remote, 0xFFFFFFFF, false},
      {"a transport's handle as session", remote, remoteHandle, false},
      {"a freed session", remote, freedHandle, false},
      {"a session of another transport", otherRemote, sessionHandle, false},
      {"a session looked up without its transport", nullptr, sessionHandle, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.transportClass) {
      TnxBaseRemoteTransport* found = remote;
      EXPECT_EQ(TnxBaseRemoteTransport::LookupByID(row.handle, found), nxeInvalidHandle);
      EXPECT_EQ(found, nullptr);
    } else {
      TnxBaseRemoteSession* found = session;
      EXPECT_EQ(TnxBaseRemoteSession::LookupByID(row.owner, row.handle, found), nxeInvalidHandle);
      EXPECT_EQ(found, nullptr);
    }
  }
  TnxBaseRemoteSession* found = nullptr;
  ASSERT_EQ(TnxBaseRemoteSession::LookupByID(remote, sessionHandle, found), 0u);
  EXPECT_EQ(found, session);
  found->Unlock();

  // A freed remote transport's handle stays refused after its slot is reused.
  const TnxTransportID freedRemote = otherRemote->Handle();
  otherRemote->Free();
  TnxBaseRemoteTransport* reused = NewRemote();
  TnxBaseRemoteTransport* stale = nullptr;
  EXPECT_EQ(TnxBaseRemoteTransport::LookupByID(freedRemote, stale), nxeInvalidHandle);
  reused->Free();
  session->Free();
  remote->Free();
}

TEST_F(RemoteObjects, AnObjectFreedWhileLookedUpDiesAtTheLastUnlock) {
  TnxBaseRemoteTransport* remote = NewRemote();
  TnxBaseRemoteSession* session = TnxBaseRemoteSession::Create(transport.get(), remote, 7, 1, 1);
  session->Unlock();
  TnxBaseRemoteSession* held = nullptr;
  ASSERT_EQ(TnxBaseRemoteSession::LookupByID(remote, session->Handle(), held), 0u);
  session->Free();
  session->Free();  // once only
  EXPECT_TRUE(transport->Removed.empty());
  TnxBaseRemoteSession* again = nullptr;
  EXPECT_EQ(TnxBaseRemoteSession::LookupByID(remote, held->Handle(), again), nxeInvalidHandle);
  held->Unlock();
  EXPECT_EQ(transport->Removed, (std::set<TnxSessionID>{7}));
  EXPECT_EQ(remote->SessionCount(), 0);
  remote->Free();
}

TEST_F(RemoteObjects, FailingARemoteTransportFailsAndFreesItsSessionsAndThenItself) {
  TnxBaseRemoteTransport* remote = NewRemote();
  for (TnxSessionID id : {1u, 2u}) TnxBaseRemoteSession::Create(transport.get(), remote, id, 1, 1)->Unlock();
  EXPECT_EQ(transport->ConnectionCount(), 1);
  TnxBaseRemoteTransport* held = nullptr;
  ASSERT_EQ(TnxBaseRemoteTransport::LookupByID(remote->Handle(), held), 0u);
  held->Fail();
  held->Fail();  // once only
  EXPECT_EQ(transport->Failed, (std::set<TnxSessionID>{1, 2}));
  EXPECT_EQ(transport->Removed, (std::set<TnxSessionID>{1, 2}));
  TnxBaseRemoteTransport* again = nullptr;
  EXPECT_EQ(TnxBaseRemoteTransport::LookupByID(held->Handle(), again), nxeInvalidHandle);
  // A failed remote transport takes no new session.
  EXPECT_ANY_THROW(TnxBaseRemoteSession::Create(transport.get(), held, 3, 1, 1));
  held->Unlock();
  EXPECT_EQ(transport->ConnectionCount(), 0);
}

// Lookup, lock, fail and free at random from 8 threads (run under TSan).
TEST_F(RemoteObjects, LookupLockFailAndFreeRaceSafely) {
  constexpr int kSlots = 32;
  constexpr int kThreads = 8;
  constexpr int kRounds = 3000;
  std::atomic<uint32_t> remotes[kSlots] = {};
  std::atomic<uint32_t> sessions[kSlots] = {};
  std::atomic<uint32_t> nextSession{1};

  auto work = [&](int aSeed) {
    std::mt19937 random(static_cast<uint32_t>(aSeed));
    for (int round = 0; round < kRounds; ++round) {
      const int slot = static_cast<int>(random() % kSlots);
      const int op = static_cast<int>(random() % 6);
      if (op == 0) {
        TnxBaseRemoteTransport* remote = NewRemote();
        const uint32_t old = remotes[slot].exchange(remote->Handle());
        TnxBaseRemoteTransport* previous = nullptr;
        if (TnxBaseRemoteTransport::LookupByID(old, previous) == 0) {
          previous->Free();
          previous->Unlock();
        }
        continue;
      }
      TnxBaseRemoteTransport* remote = nullptr;
      if (TnxBaseRemoteTransport::LookupByID(remotes[slot].load(), remote) != 0) continue;
      switch (op) {
        case 1:
          try {
            auto* session = TnxBaseRemoteSession::Create(transport.get(), remote, nextSession.fetch_add(1), 1, 1);
            sessions[slot].store(session->Handle());
            session->Unlock();
          } catch (...) {
            // failed meanwhile
          }
          break;
        case 2:
          remote->Lock();
          remote->Unlock();
          break;
        case 3:
          remote->Fail();
          break;
        case 4:
          remote->Free();
          break;
        default: {
          TnxBaseRemoteSession* session = nullptr;
          if (TnxBaseRemoteSession::LookupByID(remote, sessions[slot].load(), session) == 0) {
            if (random() % 2) session->Free();
            session->Unlock();
          }
        }
      }
      remote->Unlock();
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, i + 1);
  for (auto& thread : threads) thread.join();

  for (auto& handle : remotes) {
    TnxBaseRemoteTransport* remote = nullptr;
    if (TnxBaseRemoteTransport::LookupByID(handle.load(), remote) != 0) continue;
    remote->Fail();
    remote->Free();
    remote->Unlock();
  }
  EXPECT_EQ(transport->ConnectionCount(), 0);
  EXPECT_EQ(nxLiveRemoteObjectCount(), 0);
  // Every session the engine opened was reported closed once.
  EXPECT_EQ(static_cast<uint32_t>(transport->Removed.size()), nextSession.load() - 1);
}

}  // namespace
}  // namespace revurov
