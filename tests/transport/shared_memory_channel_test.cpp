#include "transport/shared_memory_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/within.h"
#include "transport/support/shm_medium.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::Within;

class SharedMemoryChannel : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    static int serial = 0;
    name = u"Local\\" + testing::ShmUnique(u"Channel") + u"_" + platform::Utf8ToUtf16(std::to_string(++serial));
    owner = platform::NewThread<TnxSharedMemoryMutexOwner>(u"owner");
  }
  void TearDown() override {
    owner.reset();
    LibraryStarted::TearDown();
  }
  std::unique_ptr<TnxSharedMemoryServer> Reader(const std::u16string& aName) {
    return std::make_unique<TnxSharedMemoryServer>(Prefix, *owner, aName);
  }
  static bool Exists(const std::u16string& aBase) {
    platform::TSharedMemory memory;
    return memory.Open(nxSharedObjectName(aBase, u"_SharedMemory"), false);
  }

  static std::u16string Prefix() { return u"Local\\"; }
  std::u16string name;
  platform::TThreadPtr<TnxSharedMemoryMutexOwner> owner;
};

TEST_F(SharedMemoryChannel, ABlockGoesOverOnlyAfterUnlockAndComesBackWithTheNextRead) {
  auto reader = Reader(name);
  TnxSharedMemoryClient writer(name, true);
  uint8_t* block = writer.Write();
  std::memcpy(block, "first", 6);
  EXPECT_HAS_TEXT(testing::MessageOf<EnxSharedMemoryLocked>([&] { writer.Write(); }), u"SharedMemory is locked");
  EXPECT_EQ(reader->Read(false, 0), nullptr) << "nothing handed over yet";
  writer.Unlock();
  const uint8_t* read = reader->Read(false, 5000);
  ASSERT_NE(read, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(read), "first");
  // The reader holds the block: the next Write waits for it.
  std::atomic<bool> written{false};
  std::thread second([&] {
    writer.WriteBuffer("second", 7);
    written = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(written.load());
  read = reader->Read(false, 5000);  // gives the first back, then waits
  second.join();
  ASSERT_NE(read, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(read), "second");
}

TEST_F(SharedMemoryChannel, AnEndThatDisconnectsEndsBothSides) {
  const struct {
    const char* what;
    bool readerGoes;
  } rows[] = {{"the reader disconnects", true}, {"the writer disconnects", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto reader = Reader(name);
    TnxSharedMemoryClient writer(name, false);
    TnxSharedMemoryBase& going = row.readerGoes ? static_cast<TnxSharedMemoryBase&>(*reader) : writer;
    TnxSharedMemoryBase& other = row.readerGoes ? static_cast<TnxSharedMemoryBase&>(writer) : *reader;
    going.Disconnect();
    going.Disconnect();
    EXPECT_TRUE(going.IsDisconnected());
    EXPECT_EQ(testing::MessageOf<EnxSharedMemoryDisconnected>([&] { going.Unlock(); }),
              u"SharedMemory has been disconnected");
    EXPECT_TRUE(other.IsDisconnected());
    if (row.readerGoes) {
      EXPECT_THROW(writer.Write(), EnxSharedMemoryDisconnected);
    } else {
      EXPECT_THROW(reader->Read(false, 5000), EnxSharedMemoryDisconnected);
    }
  }
}

TEST_F(SharedMemoryChannel, AWriterDisturbsItsReaderWhenFreedOnlyIfAskedTo) {
  for (const bool disconnectOnDestroy : {false, true}) {
    SCOPED_TRACE(disconnectOnDestroy);
    auto reader = Reader(name);
    std::make_unique<TnxSharedMemoryClient>(name, disconnectOnDestroy).reset();
    EXPECT_EQ(reader->IsDisconnected(), disconnectOnDestroy);
  }
}

TEST_F(SharedMemoryChannel, AReaderBlockedInReadLearnsAtOnceThatItsWriterWent) {
  auto reader = Reader(name);
  auto writer = std::make_unique<TnxSharedMemoryClient>(name, true);
  std::atomic<bool> ended{false};
  std::thread waiting([&] {
    try {
      reader->Read(false);
    } catch (const EnxSharedMemoryDisconnected&) {
      ended = true;
    }
  });
  std::this_thread::sleep_for(20ms);
  writer.reset();
  waiting.join();
  EXPECT_TRUE(ended.load());
}

TEST_F(SharedMemoryChannel, ALinkedEndEndsWhenTheOtherChannelsReaderGoes) {
  // As one side of a connection: reads its own channel, writes the peer's.
  auto own = Reader(name);
  auto peer = Reader(name + u"_peer");
  auto toPeer = std::make_unique<TnxSharedMemoryClient>(name + u"_peer", true);
  own->LinkWith(*toPeer, nullptr);
  own->LinkWith(*toPeer, nullptr);
  toPeer->LinkWith(*own, nullptr);
  EXPECT_TRUE(own->Linked());
  EXPECT_TRUE(toPeer->Linked());
  std::atomic<bool> ended{false};
  std::thread waiting([&] {
    try {
      own->Read(false);
    } catch (const EnxSharedMemoryDisconnected&) {
      ended = true;
    }
  });
  // Gives its disconnect mutex back: the linked wait sees it within its
  // re-check, though nothing signalled the own channel.
  peer.reset();
  EXPECT_TRUE(Within(5s, [&] { return ended.load(); }));
  waiting.join();
}

TEST_F(SharedMemoryChannel, TheWatchEndsAWaitWhenThePeerProcessIsKilled) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "forks a child of a threaded process";
#endif
  const int32_t child = platform::ForkProcess();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::this_thread::sleep_for(60s);
    platform::ExitProcessNow(0);
  }
  struct Reaped {
    int32_t pid;
    ~Reaped() {
      platform::KillProcess(static_cast<uint32_t>(pid));
      platform::WaitProcess(static_cast<uint32_t>(pid));
    }
  } reaped{child};
  platform::TProcessIdentity peer{static_cast<uint32_t>(child), 0};
  for (int i = 0; i < 1000 && peer.StartTime == 0; ++i) peer.StartTime = platform::ProcessStartTime(peer.Pid);
  TnxSharedMemoryWatch watch;
  auto reader = Reader(name);
  watch.Add(*reader, peer);
  std::atomic<bool> ended{false};
  std::thread waiting([&] {
    try {
      reader->Read(false);
    } catch (const EnxSharedMemoryDisconnected&) {
      ended = true;
    }
  });
  std::this_thread::sleep_for(20ms);
  const auto killed = std::chrono::steady_clock::now();
  platform::KillProcess(static_cast<uint32_t>(child));
  waiting.join();
  EXPECT_TRUE(ended.load());
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(kSharedMemoryRecheckMs))
      << "told by the watch, not found by the re-check";
  watch.Remove(*reader);
}

TEST_F(SharedMemoryChannel, ALiveReadersNameIsRefusedAndADeadOnesTakenOver) {
  auto live = Reader(name);
  EXPECT_THROW(Reader(name), EnxBaseException);
  live.reset();
  EXPECT_FALSE(Exists(name)) << "an orderly end unlinks the name";

  // What a killed reader leaves: its object with a disconnect mutex whose
  // holder thread ended without giving it back.
  {
    platform::TSharedMemory memory;
    ASSERT_TRUE(memory.Create(nxSharedObjectName(name, u"_SharedMemory")));
    ASSERT_TRUE(memory.Resize(4096 + nxSharedMemoryBlockSize));
    platform::TSharedView view;
    ASSERT_TRUE(view.Map(memory, 4096, true));
    auto* mutex = reinterpret_cast<platform::TSharedMutex*>(view.Data() + 64);
    ASSERT_TRUE(mutex->Init());
    std::thread([&] { mutex->Lock(); }).join();
    reinterpret_cast<std::atomic<uint32_t>*>(view.Data())->store(nxSharedObjectReady);
  }
  auto reborn = Reader(name);
  TnxSharedMemoryClient writer(name, true);
  writer.WriteBuffer("x", 1);
  const uint8_t* read = reborn->Read(false, 5000);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read[0], 'x');
}

TEST_F(SharedMemoryChannel, AGeneratedNameGoesOnceTheWriterHasWritten) {
  auto reader = Reader(u"");
  EXPECT_EQ(reader->Name().rfind(u"Local\\TnxSharedMemoryServer_" +
                                     platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId())) + u"_",
                                 0),
            0u);
  EXPECT_NE(Reader(u"")->Name(), reader->Name());
  TnxSharedMemoryClient writer(reader->Name(), true);
  EXPECT_TRUE(Exists(reader->Name()));
  writer.WriteBuffer("x", 1);
  ASSERT_NE(reader->Read(false, 5000), nullptr);
  EXPECT_FALSE(Exists(reader->Name()));
}

TEST_F(SharedMemoryChannel, AWriterFindsNoReaderByAnUnknownName) {
  EXPECT_THROW(TnxSharedMemoryClient(name + u"_none", false), EnxBaseException);
}

}  // namespace
}  // namespace revurov
