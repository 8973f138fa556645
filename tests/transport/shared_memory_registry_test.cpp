#include "transport/shared_memory_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/within.h"
#include "transport/support/shm_medium.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;

constexpr platform::TGUID kFirst = platform::nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}");
constexpr platform::TGUID kSecond = platform::nxGuid("{11111111-2222-3333-4444-555555555555}");

std::u16string Prefix() { return u"Local\\"; }

class TRecordingHandler : public TnxInterfacedObject, public InxBroadcastReplyHandler {
public:
  struct TSeen {
    TnxBaseTransport* transport;
    std::u16string name;
    platform::TGUID id;
    int32_t version;
    int32_t port;
  };
  void ReplyReceived(InxBroadcastReply& aReply) override {
    std::lock_guard guard(rhLock);
    rhSeen.push_back(
        {aReply.Transport(), aReply.ServerName(), aReply.ServerID(), aReply.ServerVersion(), aReply.ServerPort()});
  }
  std::vector<TSeen> Seen() {
    std::lock_guard guard(rhLock);
    return rhSeen;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxBroadcastReplyHandler>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  std::mutex rhLock;
  std::vector<TSeen> rhSeen;
};

class SharedMemoryRegistry : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    port = testing::ShmPort();
    owner = platform::NewThread<TnxSharedMemoryMutexOwner>(u"owner");
  }
  void TearDown() override {
    servers.clear();
    owner.reset();
    for (uint16_t p : {port, testing::kShmPortOfNobody}) {
      testing::UnlinkShmRegistry(p);
      testing::UnlinkShmRegistry(p, u"Global\\");
    }
    LibraryStarted::TearDown();
  }
  // A listening channel as a live server S of the port has one.
  void Serve(const std::u16string& aName, uint16_t aPort = 0) {
    servers.push_back(std::make_unique<TnxSharedMemoryServer>(
        &Prefix, *owner, Prefix() + nxSharedMemoryServerObjectName(aPort ? aPort : port, aName) + u"_SharedMemory"));
  }
  std::unique_ptr<TnxSharedMemoryDictionary> Open(uint16_t aPort = 0, std::u16string aPrefix = Prefix()) {
    return std::make_unique<TnxSharedMemoryDictionary>(nullptr, [aPrefix] { return aPrefix; }, aPort ? aPort : port);
  }
  static std::vector<std::u16string> Names(TnxSharedMemoryDictionary& aDictionary) {
    platform::TStringList list;
    aDictionary.GetServerNames(list);
    std::vector<std::u16string> names;
    for (int32_t i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    return names;
  }

  uint16_t port = 0;
  platform::TThreadPtr<TnxSharedMemoryMutexOwner> owner;
  std::vector<std::unique_ptr<TnxSharedMemoryServer>> servers;
};

TEST_F(SharedMemoryRegistry, AnEntryIsWrittenInItsFixedLayout) {
  Serve(u"Srv\u00E4");
  auto dictionary = Open();
  dictionary->Add(u"Srv\u00E4", kFirst, 47501);
  const uint8_t* entry = dictionary->List();
  EXPECT_EQ(platform::LoadU32(entry), 0xFFFFFFFFu);
  EXPECT_EQ(entry[4], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry + 5), 4), "Srv\xE4") << "the system code page";
  const uint8_t id[16] = {4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(std::memcmp(entry + 260, id, 16), 0);
  EXPECT_EQ(platform::LoadU32(entry + 276), 47501u);
  EXPECT_EQ(platform::LoadU32(entry + 280), 0u) << "the next entry is free";
  dictionary->Remove(u"SRV\u00E4", kFirst);
  EXPECT_EQ(platform::LoadU32(entry), 0u);
  EXPECT_EQ(platform::LoadU32(entry + 276), 0u) << "cleared whole";
}

TEST_F(SharedMemoryRegistry, EntriesGoByNameAndGuidTogether) {
  Serve(u"Alpha");
  Serve(u"ALPHA");
  auto dictionary = Open();
  dictionary->Add(u"Alpha", kFirst, 1);
  dictionary->Add(u"ALPHA", kSecond, 2);
  dictionary->Add(u"Alpha", kFirst, 3);  // again: replaces its own entry
  EXPECT_EQ(Names(*dictionary), (std::vector<std::u16string>{u"Alpha", u"ALPHA"}));
  EXPECT_EQ(platform::LoadU32(dictionary->List() + 276), 3u);
  dictionary->Remove(u"alpha", kSecond);
  EXPECT_EQ(Names(*dictionary), (std::vector<std::u16string>{u"Alpha"}));
  dictionary->Remove(u"Alpha", kSecond);
  EXPECT_EQ(Names(*dictionary), (std::vector<std::u16string>{u"Alpha"})) << "another GUID clears nothing";
}

TEST_F(SharedMemoryRegistry, ListingsAppendAndNamesAreCutTo255Bytes) {
  Serve(u"Listed");
  auto dictionary = Open();
  dictionary->Add(u"Listed", kFirst, 1);
  platform::TStringList list;
  list.Add(u"already there");
  dictionary->GetServerNames(list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0], u"already there");
  EXPECT_EQ(list[1], u"Listed");
  // Too long for a live server's objects here, so only as written.
  dictionary->Add(std::u16string(300, u'n'), kSecond, 1);
  const uint8_t* entry = dictionary->List() + nxSharedMemoryDictionaryEntrySize;
  EXPECT_EQ(entry[4], 255);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry + 5), 255), std::string(255, 'n'));
}

TEST_F(SharedMemoryRegistry, EntriesOfServersThatAreGoneAreDropped) {
  Serve(u"Stays");
  Serve(u"Goes");
  auto dictionary = Open();
  dictionary->Add(u"Stays", kFirst, 1);
  dictionary->Add(u"Goes", kFirst, 1);
  dictionary->Add(u"NeverServed", kFirst, 1);
  // An entry marked used with no name, written by hand.
  platform::StoreU32(dictionary->List() + 10 * nxSharedMemoryDictionaryEntrySize, 1);
  servers.pop_back();
  EXPECT_EQ(Names(*dictionary), (std::vector<std::u16string>{u"Stays"}));
  EXPECT_EQ(platform::LoadU32(dictionary->List() + 10 * nxSharedMemoryDictionaryEntrySize), 0u);
}

TEST_F(SharedMemoryRegistry, PortsAndPrefixesKeepRegistriesApart) {
  Serve(u"Here");
  Open()->Add(u"Here", kFirst, 1);
  EXPECT_EQ(Names(*Open()), (std::vector<std::u16string>{u"Here"})) << "another object of the same registry";
  EXPECT_TRUE(Names(*Open(testing::kShmPortOfNobody)).empty());
  EXPECT_TRUE(Names(*Open(0, u"Global\\")).empty());
}

TEST_F(SharedMemoryRegistry, The257thServerFindsTheRegistryFull) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "one thread holds the 257 listening channels' mutexes; the race detector follows 64";
#endif
  auto dictionary = Open();
  for (int i = 0; i < 256; ++i) {
    const std::u16string name = u"S" + platform::Utf8ToUtf16(std::to_string(i));
    Serve(name);
    dictionary->Add(name, kFirst, 1);
  }
  Serve(u"Last");
  EXPECT_HAS_TEXT(
      testing::MessageOf<EnxSharedMemoryDictionaryException>([&] { dictionary->Add(u"Last", kFirst, 1); }),
      u"SharedMemoryDictionary is full");
  // A transport that registers fails to start.
  testing::ShmHandler handler(testing::Make<testing::TTestCommandHandler>(u"H"));
  EXPECT_HAS_TEXT(testing::MessageOf<EnxSharedMemoryDictionaryException>([&] {
                    testing::ShmServer(testing::ShmUnique(u"Full"), handler.get(), port, smtsLocal, true);
                  }),
                  u"SharedMemoryDictionary is full");
  // One server gone: its place is taken.
  servers.front().reset();
  EXPECT_NO_THROW(dictionary->Add(u"Last", kFirst, 1));
}

TEST_F(SharedMemoryRegistry, TheLockIsReentrantAndTakenFromADeadHolder) {
  auto dictionary = Open();
  dictionary->Lock();
  dictionary->Lock();
  dictionary->Unlock();
  // Still held: another object waits.
  std::atomic<bool> taken{false};
  std::thread other([&] {
    auto second = Open();
    second->Lock();
    taken = true;
    second->Unlock();
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(taken.load());
  dictionary->Unlock();
  other.join();
  EXPECT_TRUE(taken.load());
  // A holder thread that ends without giving it back (its memory still
  // mapped, as when a process dies).
  auto holder = Open();
  std::thread([&] { holder->Lock(); }).join();
  EXPECT_NO_THROW(dictionary->Lock());
  dictionary->Unlock();
}

TEST_F(SharedMemoryRegistry, AScanGivesEveryServerToItsHandlerUntilStopped) {
  testing::ShmHandler handler(testing::Make<testing::TTestCommandHandler>(u"H"));
  const std::u16string name = testing::ShmUnique(u"Scanned");
  testing::ShmTransport server = testing::ShmServer(name, handler.get(), port, smtsLocal, true);
  testing::ShmTransport client = testing::ShmClient(u"", port);
  platform::TInterfacePtr<TRecordingHandler> recording(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recording.Get(), 10);
  ASSERT_TRUE(testing::Within(10s, [&] { return recording->Seen().size() >= 2; }));
  scan->Stop();
  const auto seen = recording->Seen();
  EXPECT_EQ(seen[0].transport, client.get());
  EXPECT_EQ(seen[0].name, name);
  EXPECT_EQ(seen[0].id, server->ServerGUID());
  EXPECT_EQ(seen[0].version, 47501);
  EXPECT_EQ(seen[0].port, port);
  const size_t stopped = seen.size();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(recording->Seen().size(), stopped) << "nothing after Stop";
  // Without a handler nothing runs; a stopped server leaves the registry.
  client->BeginBroadcast(nullptr, 10)->Stop();
  server.reset();
  platform::TStringList names;
  client->GetServerNames(names, 0);
  EXPECT_EQ(names.Count(), 0);
}

}  // namespace
}  // namespace revurov
