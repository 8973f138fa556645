#include "lowlevel/streams/kept_memory_stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace revurov {
namespace {

TEST(KeptMemoryStream, LentToOneHolderOfAThreadAtATimeAndEmptyWhenTaken) {
  TnxMemoryStream* first = nullptr;
  {
    TnxKeptMemoryStream outer;
    first = &outer.Stream();
    first->WriteBuffer("abc", 3);
    {
      TnxKeptMemoryStream inner;  // while the kept stream is lent out
      EXPECT_NE(&inner.Stream(), first);
      inner.Stream().WriteBuffer("x", 1);
    }
    EXPECT_EQ(first->GetSize(), 3) << "nothing of the inner holder";
  }
  TnxMemoryStream* elsewhere = nullptr;
  std::thread([&] {
    TnxKeptMemoryStream other;
    elsewhere = &other.Stream();
  }).join();
  EXPECT_NE(elsewhere, first) << "each thread keeps its own";

  TnxKeptMemoryStream again;
  EXPECT_EQ(&again.Stream(), first) << "given back, lent again";
  EXPECT_EQ(again.Stream().GetSize(), 0);
  EXPECT_EQ(again.Stream().Position(), 0);
}

TEST(KeptMemoryStream, AThreadLendsAFewStreamsAtOnceAndThenHandsOutOwnOnes) {
  std::vector<const TnxMemoryStream*> lent;
  {
    TnxKeptMemoryStream a, b, c, d;
    for (TnxKeptMemoryStream* k : {&a, &b, &c, &d}) {
      for (const TnxMemoryStream* other : lent) EXPECT_NE(&k->Stream(), other);
      lent.push_back(&k->Stream());
      k->Stream().WriteBuffer("z", 1);
    }
  }
  TnxKeptMemoryStream first, second, third, fourth;
  EXPECT_EQ(&first.Stream(), lent[0]);
  EXPECT_EQ(&second.Stream(), lent[1]);
  EXPECT_EQ(&third.Stream(), lent[2]);
  EXPECT_EQ(second.Stream().GetSize(), 0) << "empty when taken";
  EXPECT_EQ(fourth.Stream().Capacity(), 0) << "a holder's own stream, fresh";
}

TEST(KeptMemoryStream, ALargeStreamGivesItsMemoryBack) {
  {
    TnxKeptMemoryStream large;
    const std::vector<uint8_t> blob(3 * 1024 * 1024, 0x5A);
    large.Stream().WriteBuffer(blob.data(), static_cast<int64_t>(blob.size()));
  }
  TnxKeptMemoryStream next;
  EXPECT_EQ(next.Stream().Capacity(), 0);
  next.Stream().WriteBuffer("y", 1);
  EXPECT_EQ(next.Stream().GetSize(), 1);
}

}  // namespace
}  // namespace revurov
