#include "transport/data_message_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {
namespace {

// Sources are compared by address only.
const int kA = 0, kB = 0, kC = 0;
constexpr TnxMessageSource A = &kA, B = &kB, C = &kC;

std::string DataOf(const TnxDataMessage& aMsg) {
  if (!aMsg.dmData) return {};
  return {reinterpret_cast<const char*>(aMsg.dmData.get()), static_cast<size_t>(aMsg.dmDataLen)};
}

void PushText(TnxDataMessageQueue& aQueue, TnxMessageSource aSource, TnxMsgID aMsg, const std::string& aData,
              bool aFront = false, uint32_t aSequenceID = 0, TnxSessionID aSession = 9) {
  aQueue.Push(aSource, aMsg, aSession, 0, 0, aData.data(), static_cast<intptr_t>(aData.size()), aFront, aSequenceID);
}

struct Part {
  uint32_t id;
  uint32_t error;
  std::string data;
};

std::string MultiReply(const std::vector<Part>& aParts) {
  std::string out;
  for (const Part& p : aParts) {
    char head[12];
    platform::StoreU32(head, p.id);
    platform::StoreU32(head + 4, static_cast<uint32_t>(12 + p.data.size()));
    platform::StoreU32(head + 8, p.error);
    out.append(head, 12);
    out += p.data;
  }
  return out;
}

TEST(DataMessageQueue, GeneratesSequenceIDsOnlyForPushesWithout) {
  TnxDataMessageQueue queue;
  PushText(queue, A, 1, "");
  PushText(queue, A, 2, "");
  PushText(queue, A, 3, "", false, 7);
  PushText(queue, A, 4, "");
  bool cantSkip;
  for (uint32_t expected : {1u, 2u, 7u, 3u}) EXPECT_EQ(queue.Pop(cantSkip, A)->dmSequenceID, expected);
}

TEST(DataMessageQueue, PopsTheFirstMessageOfItsSourceOnly) {
  TnxDataMessageQueue queue;
  PushText(queue, A, 1, "a1");
  PushText(queue, B, 2, "b1");
  PushText(queue, A, 3, "a2");
  bool cantSkip = true;
  EXPECT_EQ(DataOf(*queue.Pop(cantSkip, A)), "a1");
  EXPECT_FALSE(cantSkip);
  EXPECT_EQ(DataOf(*queue.Pop(cantSkip, A)), "a2");
  EXPECT_EQ(queue.Pop(cantSkip, A), nullptr);
  EXPECT_EQ(queue.Pop(cantSkip, C), nullptr);
  EXPECT_EQ(DataOf(*queue.Pop(cantSkip, B)), "b1");
  EXPECT_EQ(queue.Pop(cantSkip, B), nullptr);
}

TEST(DataMessageQueue, APushAtTheFrontIsPoppedFirst) {
  TnxDataMessageQueue queue;
  PushText(queue, A, 1, "first");
  PushText(queue, A, 2, "front", true);
  PushText(queue, A, 3, "last");
  bool cantSkip;
  for (const char* expected : {"front", "first", "last"}) EXPECT_EQ(DataOf(*queue.Pop(cantSkip, A)), expected);
  // The tail followed a front push into an empty queue.
  PushText(queue, A, 4, "x", true);
  PushText(queue, A, 5, "y");
  EXPECT_EQ(DataOf(*queue.Pop(cantSkip, A)), "x");
  EXPECT_EQ(DataOf(*queue.Pop(cantSkip, A)), "y");
}

TEST(DataMessageQueue, SplitsAMultiReplyWhereItStood) {
  TnxDataMessageQueue queue;
  PushText(queue, A, 0x100, "before");
  const std::string multi = MultiReply({{0x301 | nxMultiReplyCantSkipBit, 5, std::string(20, 'p')}, {0x302, 0, ""}});
  queue.Push(A, nxMultiReplyMsgID, 44, 0, 0, multi.data(), static_cast<intptr_t>(multi.size()), false, 17);
  PushText(queue, B, 0x200, "other");
  PushText(queue, A, 0x101, "after");

  bool cantSkip;
  EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, 0x100u);
  PnxDataMessage first = queue.Pop(cantSkip, A);
  EXPECT_EQ(first->dmMsg, 0x301u);
  EXPECT_TRUE(cantSkip);
  EXPECT_EQ(DataOf(*first), std::string(20, 'p'));
  EXPECT_EQ(first->dmErrorCode, 5u);
  PnxDataMessage second = queue.Pop(cantSkip, A);
  EXPECT_EQ(second->dmMsg, 0x302u);
  EXPECT_FALSE(cantSkip);
  EXPECT_EQ(second->dmData, nullptr);
  EXPECT_EQ(second->dmDataLen, 0);
  for (const PnxDataMessage* part : {&first, &second}) {
    EXPECT_EQ((*part)->dmSessionID, 44u);
    EXPECT_EQ((*part)->dmSequenceID, 17u);
    EXPECT_EQ((*part)->dmSource, A);
  }
  EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, 0x101u);
  EXPECT_EQ(queue.Pop(cantSkip, B)->dmMsg, 0x200u);
}

TEST(DataMessageQueue, AMultiReplyAtTheBackLeavesTheTailOnItsLastPart) {
  TnxDataMessageQueue queue;
  const std::string multi = MultiReply({{0x301, 0, "a"}, {0x302, 0, "b"}, {0x303, 0, "c"}});
  queue.Push(A, nxMultiReplyMsgID, 1, 0, 0, multi.data(), static_cast<intptr_t>(multi.size()), false, 0);
  bool cantSkip;
  EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, 0x301u);
  PushText(queue, A, 0x400, "new");
  for (TnxMsgID expected : {0x302u, 0x303u, 0x400u}) EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, expected);
  EXPECT_EQ(queue.Pop(cantSkip, A), nullptr);
}

struct MalformedRow {
  const char* name;
  std::string data;
};

TEST(DataMessageQueue, AMalformedMultiReplyPopsAsOneBrokenMessage) {
  const std::string good = MultiReply({{0x301, 0, "abc"}});
  std::string lengthBelow12 = good;
  platform::StoreU32(lengthBelow12.data() + 4, 11);
  std::string lengthZero = good;
  platform::StoreU32(lengthZero.data() + 4, 0);
  std::string pastTheData = good;
  platform::StoreU32(pastTheData.data() + 4, 16);
  std::string hugeLength = good;
  platform::StoreU32(hugeLength.data() + 4, 0xFFFFFFFF);
  const MalformedRow rows[] = {
      {"no parts", ""},
      {"part length below 12", lengthBelow12},
      {"part length 0", lengthZero},
      {"part past its data", pastTheData},
      {"part length $FFFFFFFF", hugeLength},
      {"a whole part, then a cut part header", good + std::string(5, '\0')},
      {"a whole part, then a part past the data", good + good.substr(0, 12)},
  };
  for (const MalformedRow& row : rows) {
    SCOPED_TRACE(row.name);
    TnxDataMessageQueue queue;
    PushText(queue, B, 0x200, "b");
    queue.Push(A, nxMultiReplyMsgID, 44, 0, 0, row.data.data(), static_cast<intptr_t>(row.data.size()), false, 17);
    PushText(queue, A, 0x101, "after");
    bool cantSkip = true;
    PnxDataMessage broken = queue.Pop(cantSkip, A);
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(broken->dmSource, A);
    EXPECT_EQ(broken->dmMsg, nxMultiReplyMsgID);
    EXPECT_EQ(broken->dmErrorCode, nxeLostConnection);
    EXPECT_EQ(broken->dmData, nullptr);
    EXPECT_EQ(broken->dmDataLen, 0);
    EXPECT_EQ(broken->dmSessionID, 44u);
    EXPECT_EQ(broken->dmSequenceID, 17u);
    EXPECT_FALSE(cantSkip);
    EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, 0x101u);
    EXPECT_EQ(queue.Pop(cantSkip, B)->dmMsg, 0x200u);
  }
}

TEST(DataMessageQueue, SwapsTheSourceOfEveryMessageOfTheSequence) {
  TnxDataMessageQueue queue;
  const std::string multi = MultiReply({{0x301, 0, "a"}, {0x302, 0, "b"}});
  queue.Push(A, nxMultiReplyMsgID, 1, 0, 0, multi.data(), static_cast<intptr_t>(multi.size()), false, 5);
  PushText(queue, A, 0x303, "c", false, 5);
  PushText(queue, A, 0x304, "d", false, 6);
  PushText(queue, B, 0x305, "e", false, 5);

  queue.SwapSourceForSequence(99, A, C);  // no message has it
  bool cantSkip;
  EXPECT_EQ(queue.Pop(cantSkip, C), nullptr);

  queue.SwapSourceForSequence(5, A, C);
  for (TnxMsgID expected : {0x301u, 0x302u, 0x303u}) EXPECT_EQ(queue.Pop(cantSkip, C)->dmMsg, expected);
  EXPECT_EQ(queue.Pop(cantSkip, C), nullptr);
  EXPECT_EQ(queue.Pop(cantSkip, A)->dmMsg, 0x304u);
  EXPECT_EQ(queue.Pop(cantSkip, B)->dmMsg, 0x305u);
}

TEST(DataMessageQueue, PushTakeOwnershipTakesTheCallersBlock) {
  TnxDataMessageQueue queue;
  void* block = nxGetMem(8);
  std::memcpy(block, "12345678", 8);
  void* const original = block;
  queue.PushTakeOwnership(A, 1, 2, 0, 0, block, 8, false, 0);
  EXPECT_EQ(block, nullptr);
  bool cantSkip;
  PnxDataMessage msg = queue.Pop(cantSkip, A);
  EXPECT_EQ(msg->dmData.get(), original);
  EXPECT_EQ(DataOf(*msg), "12345678");
}

TEST(DataMessageQueue, StoresNoDataWhereNoneIsGiven) {
  TnxDataMessageQueue queue;
  void* none = nullptr;
  queue.PushTakeOwnership(A, 1, 0, 0, 0, none, 10, false, 0);
  void* block = nxGetMem(4);
  queue.PushTakeOwnership(A, 2, 0, 0, 0, block, -4, false, 0);
  EXPECT_NE(block, nullptr);  // not taken: still the caller's
  queue.Push(A, 3, 0, 0, 0, "abc", -3, false, 0);
  queue.Push(A, 4, 0, 0, 0, nullptr, 3, false, 0);
  queue.Push(A, 5, 0, 0, 0, "abc", 0, false, 0);
  bool cantSkip;
  for (TnxMsgID id = 1; id <= 5; ++id) {
    SCOPED_TRACE(id);
    PnxDataMessage msg = queue.Pop(cantSkip, A);
    EXPECT_EQ(msg->dmMsg, id);
    EXPECT_EQ(msg->dmData, nullptr);
    EXPECT_EQ(msg->dmDataLen, 0);
  }
  nxFreeMem(block);
}

TEST(DataMessageQueue, FreesWhatItStillHoldsWhenDestroyed) {
  // The leak checker of the sanitizer build sees anything left behind; a
  // long queue must not recurse through its nodes.
  auto queue = std::make_unique<TnxDataMessageQueue>();
  for (int i = 0; i < 200000; ++i) PushText(*queue, i % 2 ? A : B, 1, i % 1000 ? "" : "data");
  const std::string multi = MultiReply({{0x301, 0, "a"}});
  queue->Push(A, nxMultiReplyMsgID, 1, 0, 0, multi.data(), static_cast<intptr_t>(multi.size()), false, 0);
  queue.reset();
}

// ---- against a simple model ----

struct ModelMessage {
  TnxMessageSource source;
  TnxMsgID msg;
  TnxSessionID session;
  uint32_t error;
  std::string data;
  uint32_t sequence;
  bool cantSkip;
};

class Model {
public:
  void Push(ModelMessage aMsg, bool aFront) {
    if (aMsg.sequence == 0) aMsg.sequence = ++sequence_;
    if (aFront)
      messages_.push_front(std::move(aMsg));
    else
      messages_.push_back(std::move(aMsg));
  }

  std::optional<ModelMessage> Pop(TnxMessageSource aSource) {
    auto it = messages_.begin();
    while (it != messages_.end() && it->source != aSource) ++it;
    if (it == messages_.end()) return std::nullopt;
    if (it->msg == nxMultiReplyMsgID) {
      std::vector<ModelMessage> parts;
      const std::string& d = it->data;
      size_t at = 0;
      bool whole = !d.empty();
      while (whole && at < d.size()) {
        if (d.size() - at < 12) {
          whole = false;
          break;
        }
        const uint32_t id = platform::LoadU32(d.data() + at);
        const uint32_t len = platform::LoadU32(d.data() + at + 4);
        if (len < 12 || len > d.size() - at) {
          whole = false;
          break;
        }
        parts.push_back({it->source, id & 0x7FFFFFFF, it->session, platform::LoadU32(d.data() + at + 8),
                         d.substr(at + 12, len - 12), it->sequence, (id >> 31) != 0});
        at += len;
      }
      if (!whole) {
        it->error = nxeLostConnection;
        it->data.clear();
        it->cantSkip = false;
      } else {
        it = messages_.erase(it);
        it = messages_.insert(it, parts.begin(), parts.end());
      }
    }
    ModelMessage out = *it;
    messages_.erase(it);
    return out;
  }

  void Swap(uint32_t aSequence, TnxMessageSource aFrom, TnxMessageSource aTo) {
    for (ModelMessage& m : messages_)
      if (m.sequence == aSequence && m.source == aFrom) m.source = aTo;
  }

private:
  std::deque<ModelMessage> messages_;
  uint32_t sequence_ = 0;
};

std::string RandomMultiReply(std::mt19937& aRng) {
  std::vector<Part> parts;
  const int count = static_cast<int>(aRng() % 4);
  for (int i = 0; i < count; ++i)
    parts.push_back({static_cast<uint32_t>(0x300 + aRng() % 8) | (aRng() % 2 ? nxMultiReplyCantSkipBit : 0),
                     static_cast<uint32_t>(aRng() % 3), std::string(aRng() % 6, static_cast<char>('a' + i))});
  std::string data = MultiReply(parts);
  switch (aRng() % 5) {
    case 0:  // cut anywhere
      data.resize(data.empty() ? 0 : aRng() % data.size());
      break;
    case 1:  // a part length rewritten
      if (data.size() >= 12) platform::StoreU32(data.data() + 4, static_cast<uint32_t>(aRng() % 40));
      break;
    case 2:  // stray bytes behind
      data.append(aRng() % 14, '\x7F');
      break;
    default:
      break;
  }
  return data;
}

TEST(DataMessageQueue, BehavesLikeAListOfMessages) {
  const TnxMessageSource sources[] = {A, B, C};
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    TnxDataMessageQueue queue;
    Model model;
    auto source = [&] { return sources[rng() % 3]; };
    for (int step = 0; step < 1500; ++step) {
      const uint32_t sequence = rng() % 3 ? 0 : 1 + rng() % 4;
      const bool front = rng() % 4 == 0;
      switch (rng() % 6) {
        case 0: {
          const TnxMessageSource s = source();
          const TnxMsgID id = 0x100 + rng() % 8;
          const std::string data(rng() % 9, static_cast<char>('A' + step % 26));
          // Now and then a negative length: no data is kept.
          const intptr_t len = rng() % 10 == 0 ? -1 : static_cast<intptr_t>(data.size());
          queue.Push(s, id, step, 0, step % 7, data.data(), len, front, sequence);
          model.Push({s, id, static_cast<TnxSessionID>(step), static_cast<uint32_t>(step % 7),
                      len > 0 ? data : std::string(), sequence, false},
                     front);
          break;
        }
        case 1: {
          const TnxMessageSource s = source();
          const std::string data(1 + rng() % 9, 'o');
          void* block = nxGetMem(data.size());
          std::memcpy(block, data.data(), data.size());
          queue.PushTakeOwnership(s, 0x200, step, 0, 0, block, static_cast<intptr_t>(data.size()), front, sequence);
          EXPECT_EQ(block, nullptr);
          model.Push({s, 0x200, static_cast<TnxSessionID>(step), 0, data, sequence, false}, front);
          break;
        }
        case 2: {
          const TnxMessageSource s = source();
          const std::string data = RandomMultiReply(rng);
          queue.Push(s, nxMultiReplyMsgID, step, 0, 0, data.data(), static_cast<intptr_t>(data.size()), front, sequence);
          model.Push({s, nxMultiReplyMsgID, static_cast<TnxSessionID>(step), 0, data, sequence, false}, front);
          break;
        }
        case 3: {
          const uint32_t seq = 1 + rng() % 6;
          const TnxMessageSource from = source(), to = source();
          queue.SwapSourceForSequence(seq, from, to);
          model.Swap(seq, from, to);
          break;
        }
        default: {
          const TnxMessageSource s = source();
          bool cantSkip;
          PnxDataMessage got = queue.Pop(cantSkip, s);
          const std::optional<ModelMessage> want = model.Pop(s);
          ASSERT_EQ(got != nullptr, want.has_value()) << "step " << step;
          if (!got) break;
          EXPECT_EQ(got->dmSource, want->source);
          EXPECT_EQ(got->dmMsg, want->msg);
          EXPECT_EQ(got->dmSessionID, want->session);
          EXPECT_EQ(got->dmErrorCode, want->error);
          EXPECT_EQ(got->dmSequenceID, want->sequence);
          EXPECT_EQ(DataOf(*got), want->data);
          EXPECT_EQ(got->dmDataLen, static_cast<intptr_t>(want->data.size()));
          EXPECT_EQ(got->dmData != nullptr, !want->data.empty());
          EXPECT_EQ(cantSkip, want->cantSkip);
          break;
        }
      }
    }
  }
}

}  // namespace
}  // namespace revurov
