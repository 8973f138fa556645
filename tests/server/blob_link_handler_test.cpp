// The database's reader of linked blobs: one cached source cursor per
// table, dropped when the server asks it to close, also while reads and
// close requests run on several threads under the tables' padlocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "blob_link_source.h"
#include "lowlevel/errors/error_codes.h"
#include "server/blob_link_handler.h"
#include "support/blob_table.h"
#include "support/server_fixture.h"
#include "support/test_size.h"
#include "support/within.h"

namespace revurov::testing {
namespace {

class BlobLinkHandlerTest : public ServerFixture {
protected:
  BlobLinkHandlerTest() {
    Start();
    session = Open();
    TnxAbstractDatabase* opened = nullptr;
    EXPECT_EQ(session->DatabaseOpen(opened, u"Path", u"#links", nullptr, omReadWrite, smShared, 1000), 0u);
    database = static_cast<TnxServerDatabase*>(opened);
    sources = std::make_unique<SourceTables>(database);
  }
  ~BlobLinkHandlerTest() override {
    handler.reset();
    sources.reset();
    if (database) database->Free();
  }

  void MakeHandler() { handler = nxCreateServerObject<TnxBlobLinkHandler>(database, sources->Opener()); }
  std::string Read(std::u16string_view aTable, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                   uint32_t* aResult = nullptr) {
    TStringStream stream;
    const uint32_t result = handler->BlobLinkRead(aTable, aBlobNr, aOffset, aLen, stream);
    if (aResult) {
      *aResult = result;
    } else {
      EXPECT_EQ(result, 0u) << LastMessage();
    }
    return stream.Bytes;
  }

  TnxServerSession* session = nullptr;
  TnxServerDatabase* database = nullptr;
  std::unique_ptr<SourceTables> sources;
  TnxServerObjectPtr<TnxBlobLinkHandler> handler;
};

TEST_F(BlobLinkHandlerTest, ReadsTwiceThroughOneCursorPerTable) {
  SourceTable& src = sources->Add(u"Src", {{5, "linked bytes"}, {6, "other"}});
  SourceTable& more = sources->Add(u"More", {{1, "more"}});
  MakeHandler();
  EXPECT_EQ(Read(u"Src", 5, 0, 100), "linked bytes");
  EXPECT_EQ(Read(u"SRC", 5, 7, 3), "byt") << "names compare without case";
  EXPECT_EQ(Read(u"src", 6, 0, 5), "other");
  uint32_t length = 0;
  EXPECT_EQ(handler->BlobLinkGetLength(u"Src", 5, length), 0u);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(src.Opens.load(), 1);
  EXPECT_EQ(Read(u"More", 1, 0, 4), "more");
  EXPECT_EQ(more.Opens.load(), 1);
  EXPECT_EQ(handler->CachedCursorCount(), 2);
}

TEST_F(BlobLinkHandlerTest, FailuresOfTheOpenAndOfTheReadAreTheResult) {
  SourceTable& refusing = sources->Add(u"Refusing", {});
  refusing.OpenResult = nxeNoExclusiveAccess;
  sources->Add(u"Src", {{5, "x"}});
  MakeHandler();
  uint32_t result = 0;
  Read(u"Missing", 1, 0, 1, &result);
  EXPECT_EQ(result, nxeTableDoesNotExist);
  Read(u"Refusing", 1, 0, 1, &result);
  EXPECT_EQ(result, nxeNoExclusiveAccess);
  uint32_t length = 0;
  EXPECT_EQ(handler->BlobLinkGetLength(u"Refusing", 1, length), nxeNoExclusiveAccess);
  EXPECT_EQ(handler->CachedCursorCount(), 0);
  Read(u"Src", 99, 0, 1, &result);
  EXPECT_EQ(result, nxeBlobError);
  EXPECT_EQ(handler->CachedCursorCount(), 1) << "a failed read keeps the cursor";

  auto without = nxCreateServerObject<TnxBlobLinkHandler>(database, TnxBlobLinkCursorOpen{});
  TStringStream stream;
  EXPECT_EQ(without->BlobLinkRead(u"Src", 5, 0, 1, stream), nxeCapabilityNotSupported);
  EXPECT_EQ(without->BlobLinkGetLength(u"Src", 5, length), nxeCapabilityNotSupported);
}

TEST_F(BlobLinkHandlerTest, AnIdleCursorAskedToCloseIsFreedAtOnceAndTheNextReadOpensAnew) {
  SourceTable& src = sources->Add(u"Src", {{5, "bytes"}});
  MakeHandler();
  EXPECT_EQ(Read(u"Src", 5, 0, 5), "bytes");
  ASSERT_EQ(src.LiveCursors(), 1);
  EXPECT_TRUE(src.AskCursorsToClose());
  EXPECT_EQ(src.LiveCursors(), 0);
  EXPECT_EQ(handler->CachedCursorCount(), 0);
  EXPECT_EQ(Read(u"Src", 5, 0, 5), "bytes");
  EXPECT_EQ(src.Opens.load(), 2);
  EXPECT_EQ(src.LiveCursors(), 1);
}

TEST_F(BlobLinkHandlerTest, ACursorAskedToCloseWhileReadingIsRetiredWhenTheReadEndsAndFreedByTheNextRequest) {
  SourceTable& src = sources->Add(u"Src", {});
  bool closed = true;
  src.ReadHook = [&](TnxBlobNr, uint32_t, uint32_t, platform::TStream& aStream) -> uint32_t {
    closed = src.AskCursorsToClose();
    aStream.Write("in use", 6);
    return 0;
  };
  MakeHandler();
  EXPECT_EQ(Read(u"Src", 1, 0, 6), "in use");
  EXPECT_FALSE(closed) << "a cursor in use left its table";
  EXPECT_EQ(handler->CachedCursorCount(), 0) << "the reader kept the marked cursor";
  EXPECT_EQ(src.LiveCursors(), 1) << "a reader freed a cursor";
  src.ReadHook = nullptr;
  EXPECT_TRUE(src.AskCursorsToClose());
  EXPECT_EQ(src.LiveCursors(), 0);
  src.Blobs[1] = "again";
  EXPECT_EQ(Read(u"Src", 1, 0, 5), "again");
  EXPECT_EQ(src.Opens.load(), 2);
}

TEST_F(BlobLinkHandlerTest, ACursorAskedToCloseBeforeItIsPublishedServesItsReadAndIsThenRetired) {
  SourceTable& src = sources->Add(u"Src", {{1, "early"}});
  bool closed = true;
  src.OnHandlerSet = [&] { closed = src.AskCursorsToClose(); };
  MakeHandler();
  EXPECT_EQ(Read(u"Src", 1, 0, 5), "early");
  EXPECT_FALSE(closed) << "the cursor was freed under its opener";
  EXPECT_EQ(handler->CachedCursorCount(), 0);
  src.OnHandlerSet = nullptr;
  EXPECT_TRUE(src.AskCursorsToClose());
  EXPECT_EQ(src.LiveCursors(), 0);
  EXPECT_EQ(Read(u"Src", 1, 0, 5), "early");
  EXPECT_EQ(handler->CachedCursorCount(), 1);
}

TEST_F(BlobLinkHandlerTest, LinksReadOnThroughLinksAndACycleEndsWithAnError) {
  SourceTable& first = sources->Add(u"First", {});
  sources->Add(u"Second", {{2, "second's bytes"}});
  SourceTable& loop = sources->Add(u"Loop", {});
  MakeHandler();
  first.ReadHook = [&](TnxBlobNr, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream) {
    return handler->BlobLinkRead(u"Second", 2, aOffset, aLen, aStream);
  };
  EXPECT_EQ(Read(u"First", 1, 0, 100), "second's bytes");
  loop.ReadHook = [&](TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream) {
    return handler->BlobLinkRead(u"Loop", aBlobNr, aOffset, aLen, aStream);
  };
  uint32_t result = 0;
  Read(u"Loop", 1, 0, 10, &result);
  EXPECT_EQ(result, nxeBlobError);
  EXPECT_EQ(loop.Reads.load(), nxMaxBlobLinkDepth);
  EXPECT_EQ(LastMessage(), "BLOB links nest deeper than 16 levels at table \"Loop\"");
  EXPECT_EQ(loop.LiveCursors(), 1);
}

TEST_F(BlobLinkHandlerTest, DestructionFreesTheCachedCursors) {
  SourceTable& a = sources->Add(u"A", {{1, "a"}});
  SourceTable& b = sources->Add(u"B", {{1, "b"}});
  MakeHandler();
  Read(u"A", 1, 0, 1);
  Read(u"B", 1, 0, 1);
  ASSERT_EQ(a.LiveCursors() + b.LiveCursors(), 2);
  handler.reset();
  EXPECT_EQ(a.LiveCursors(), 0);
  EXPECT_EQ(b.LiveCursors(), 0);
}

// Runs aWork on aThreads threads and answers once all ended; a thread that
// does not end within the bound (a deadlock) fails the run at once.
void RunWithWatchdog(int aThreads, const std::function<void(int)>& aWork) {
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < aThreads; ++t)
    threads.emplace_back([&, t] {
      aWork(t);
      finished.fetch_add(1);
    });
  if (!Within(std::chrono::seconds(60), [&] { return finished.load() == aThreads; })) {
    std::fprintf(stderr, "watchdog: %d of %d threads still running after 60 s (deadlock)\n",
                 aThreads - finished.load(), aThreads);
    std::abort();
  }
  for (std::thread& thread : threads) thread.join();
}

TEST_F(BlobLinkHandlerTest, RacingOpensPublishOneCursorAndLosersRetireTheirs) {
  SourceTable& src = sources->Add(u"Src", {{1, "racing"}});
  MakeHandler();
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  RunWithWatchdog(6, [&](int) {
    ready.fetch_add(1);
    while (ready.load() < 6) std::this_thread::yield();
    TStringStream stream;
    if (handler->BlobLinkRead(u"Src", 1, 0, 6, stream) != 0 || stream.Bytes != "racing") wrong.fetch_add(1);
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(handler->CachedCursorCount(), 1);
  EXPECT_EQ(src.LiveCursors(), src.Opens.load());
  // The losers' cursors wait, retired, for the table's next request.
  EXPECT_TRUE(src.AskCursorsToClose());
  EXPECT_EQ(src.LiveCursors(), 0);
  EXPECT_EQ(handler->CachedCursorCount(), 0);
}

TEST_F(BlobLinkHandlerTest, ReadsOnFourThreadsWhileInactiveTablesAreClosedEndWithoutDeadlock) {
  const int kTables = 3;
  std::vector<SourceTable*> tables;
  for (int i = 0; i < kTables; ++i) {
    std::map<TnxBlobNr, std::string> blobs;
    for (TnxBlobNr nr = 1; nr <= 4; ++nr) blobs[nr] = "table " + std::to_string(i) + " blob " + std::to_string(nr);
    tables.push_back(&sources->Add(u"T" + std::u16string(1, char16_t(u'0' + i)), std::move(blobs)));
    tables.back()->ReadTime = std::chrono::microseconds(20);
  }
  MakeHandler();
  const int reads = TestSize(2000, 20000);
  const int closes = TestSize(300, 3000);
  std::atomic<int> wrong{0};
  std::atomic<int> readersLeft{4};
  const auto totalOpens = [&] {
    int32_t sum = 0;
    for (SourceTable* table : tables) sum += table->Opens.load();
    return sum;
  };
  RunWithWatchdog(5, [&](int aThread) {
    if (aThread == 4) {
      // Closes go on while anyone reads, so a slow machine cannot let them all
      // fall before the first open or after the last read.
      for (int i = 0; i < closes || readersLeft.load() > 0; ++i) {
        sources->CloseInactiveTables();
        std::this_thread::yield();
      }
      return;
    }
    // Reads go on, within a bound, until some closed cursor had to be opened anew.
    for (int i = 0; i < reads || (totalOpens() <= kTables && i < reads * 50); ++i) {
      const int table = (i + aThread) % kTables;
      const TnxBlobNr nr = 1 + (i % 4);
      const std::string expected = "table " + std::to_string(table) + " blob " + std::to_string(nr);
      TStringStream stream;
      const std::u16string name = u"T" + std::u16string(1, char16_t(u'0' + table));
      uint32_t length = 0;
      if (i % 2 == 0) {
        if (handler->BlobLinkRead(name, nr, 0, 100, stream) != 0 || stream.Bytes != expected) wrong.fetch_add(1);
      } else if (handler->BlobLinkGetLength(name, nr, length) != 0 || length != expected.size()) {
        wrong.fetch_add(1);
      }
    }
    readersLeft.fetch_sub(1);
  });
  EXPECT_EQ(wrong.load(), 0);
  int32_t opens = 0;
  for (SourceTable* table : tables) {
    opens += table->Opens.load();
    // Nothing reads now: every table closes, and stays closed.
    EXPECT_TRUE(table->AskCursorsToClose());
    EXPECT_EQ(table->LiveCursors(), 0);
  }
  EXPECT_GT(opens, kTables) << "closed cursors were never opened anew";
  EXPECT_EQ(handler->CachedCursorCount(), 0);
}

}  // namespace
}  // namespace revurov::testing
