// Call contexts: their routes, the context block on the tagged stream, and
// the current context of each thread, also when contexts travel between
// threads (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <set>
#include <thread>
#include <vector>

#include "platform/endian.h"
#include "platform/os_thread.h"
#include "remoting_test_support.h"
#include "support/tagged_bytes.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/interfaced_filer.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::AppendGuid;
using testing::TaggedBytes;

class CallContext : public testing::RemotingStarted {};

const TGUID kServerA = platform::nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}");
const TGUID kCallA = platform::nxGuid("{A1A2A3A4-B1B2-C1C2-D1D2-D3D4D5D6D7D8}");
const TGUID kServerB = platform::nxGuid("{F0E0D0C0-B0A0-9080-7060-504030201000}");
const TGUID kCallB = platform::nxGuid("{11111111-2222-3333-4444-555555555555}");
const TnxRoutingPath kTwoHops{{kServerA, kCallA}, {kServerB, kCallB}};

TnxRoutingPath PathOf(InxRoutingPath* aObject) {
  TnxRoutingPath path;
  EXPECT_EQ(aObject->GetRoutingPath(path), S_OK);
  return path;
}

std::array<uint32_t, 4> WordsOf(const TGUID& aGuid) {
  uint8_t raw[16];
  platform::GUIDToBytes(aGuid, raw);
  std::array<uint32_t, 4> words;
  for (int i = 0; i < 4; ++i) words[i] = platform::LoadU32(raw + 4 * i);
  return words;
}

// An object standing at the end of a given route.
class RoutedObject final : public TnxInterfacedObject, public InxRoutingPath {
public:
  explicit RoutedObject(TnxRoutingPath aPath, HRESULT aAnswer = S_OK) : path(std::move(aPath)), answer(aAnswer) {}
  HRESULT GetRoutingPath(TnxRoutingPath& aPath) override {
    aPath = path;
    return answer;
  }
  TnxRoutingPath path;
  HRESULT answer;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxRoutingPath>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TaggedBytes BlockOf(InxCallContext& aContext) {
  return testing::Written([&](TnxWriter& w) {
    TnxInterfacedWriter writer(w);
    EXPECT_EQ(aContext.WriteCallContext(&writer), S_OK);
  });
}

HRESULT ReadBlock(const TaggedBytes& aBytes, TInterfacePtr<InxCallContext>& aContext) {
  return testing::ReadAll(aBytes, [&](TnxReader& r) {
    TnxInterfacedReader reader(r);
    return nxReadCallContext(reader, aContext);
  });
}

TEST_F(CallContext, ThreadWithoutOneGetsAContextOfItsOwnEntryCurrentOnlyInItsScope) {
  ASSERT_FALSE(nxCurrentCallContext());
  TInterfacePtr<InxCallContext> context;
  nxGetCallContext(context);
  ASSERT_TRUE(context);
  EXPECT_FALSE(nxCurrentCallContext());

  const TnxRoutingPath path = PathOf(context.Get());
  ASSERT_EQ(path.size(), 1u);
  EXPECT_EQ(path[0].oiServerID, nxProcessID());
  const auto words = WordsOf(path[0].oiInstanceID);
  EXPECT_EQ(words[2], platform::CurrentThreadId());
  EXPECT_EQ(words[0], words[1] ^ words[2] ^ words[3]);
  EXPECT_EQ(context->GetThreadID(), platform::CurrentThreadId());
  {
    TnxCallContextScope scope(context);
    EXPECT_EQ(nxCurrentCallContext(), context);
    TInterfacePtr<InxCallContext> again;
    nxGetCallContext(again);
    EXPECT_EQ(again, context);
  }
  EXPECT_FALSE(nxCurrentCallContext());
  // Only this test's reference is left: the scope kept none.
  EXPECT_EQ(static_cast<TnxCallContext*>(context.Get())->RefCount(), 1);
}

TEST_F(CallContext, NestedScopesRestoreTheOuterContext) {
  TInterfacePtr<InxCallContext> outer(nxCreate<TnxCallContext>());
  TInterfacePtr<InxCallContext> inner(nxCreate<TnxCallContext>());
  TnxCallContextScope outerScope(outer);
  {
    TnxCallContextScope innerScope(inner);
    EXPECT_EQ(nxCurrentCallContext(), inner);
  }
  EXPECT_EQ(nxCurrentCallContext(), outer);
}

TEST_F(CallContext, InstanceIdsDifferForEveryContext) {
  std::set<std::array<uint32_t, 4>> seen;
  for (int i = 0; i < 1000; ++i) {
    TInterfacePtr<TnxCallContext> context(nxCreate<TnxCallContext>());
    EXPECT_TRUE(seen.insert(WordsOf(context->Identity().oiInstanceID)).second);
  }
}

TEST_F(CallContext, ContextFromAReceivedPathAppendsItsOwnEntry) {
  TInterfacePtr<TnxCallContext> context(nxCreate<TnxCallContext>(kTwoHops));
  const TnxRoutingPath path = PathOf(context.Get());
  ASSERT_EQ(path.size(), 3u);
  EXPECT_EQ(path[0], kTwoHops[0]);
  EXPECT_EQ(path[1], kTwoHops[1]);
  EXPECT_EQ(path[2].oiServerID, nxProcessID());
  EXPECT_EQ(path[2], context->Identity());
}

TEST_F(CallContext, IsOnRouteComparesTheObjectsLastEntryAtItsPlace) {
  TInterfacePtr<TnxCallContext> context(nxCreate<TnxCallContext>(kTwoHops));
  const TnxRoutingPath full = PathOf(context.Get());
  struct Case {
    const char* what;
    TnxRoutingPath path;
    HRESULT answer;
  };
  const Case cases[] = {
      {"empty path", {}, S_FALSE},
      {"first entry", {full[0]}, S_OK},
      {"first two entries", {full[0], full[1]}, S_OK},
      {"the whole route", full, S_OK},
      {"only the last entry matters", {{kServerB, kCallB}, full[1]}, S_OK},
      {"other entry at its place", {full[0], {kServerA, kCallB}}, S_FALSE},
      {"longer than the route", {full[0], full[1], full[2], full[2]}, S_FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TInterfacePtr<RoutedObject> object(nxCreate<RoutedObject>(c.path));
    EXPECT_EQ(context->IsOnRoute(object.Get()), c.answer);
  }
  TInterfacePtr<RoutedObject> failing(nxCreate<RoutedObject>(full, platform::E_UNEXPECTED));
  EXPECT_EQ(context->IsOnRoute(failing.Get()), platform::E_UNEXPECTED);
  EXPECT_EQ(context->IsOnRoute(nullptr), platform::E_INVALIDARG);
}

TEST_F(CallContext, InCallCountsEnteredCalls) {
  TInterfacePtr<InxCallContext> context(nxCreate<TnxCallContext>());
  EXPECT_FALSE(context->IsInCall());
  context->EnterCall();
  context->EnterCall();
  context->LeaveCall();
  EXPECT_TRUE(context->IsInCall());
  context->LeaveCall();
  EXPECT_FALSE(context->IsInCall());
}

TEST_F(CallContext, BlockIsTheInterfaceIdVersionOneAndTheRoute) {
  TInterfacePtr<TnxCallContext> context(nxCreate<TnxCallContext>(kTwoHops));
  TaggedBytes expected;
  AppendGuid(expected, InxCallContext::IID);
  expected.insert(expected.end(), {0x02, 0x01});        // vaInt8 1
  expected.insert(expected.end(), {0x01, 0x02, 0x03});  // list begin, vaInt8 3
  AppendGuid(expected, kServerA);
  AppendGuid(expected, kCallA);
  AppendGuid(expected, kServerB);
  AppendGuid(expected, kCallB);
  AppendGuid(expected, nxProcessID());
  AppendGuid(expected, context->Identity().oiInstanceID);
  expected.push_back(0x00);  // list end
  EXPECT_EQ(BlockOf(*context), expected);
  // The interface ID as it lies in the block, D1 to D3 little-endian.
  const uint8_t iid[16] = {0xB6, 0x03, 0xD4, 0x4B, 0x9E, 0xC7, 0xA3, 0x47,
                           0xBA, 0xAF, 0x7D, 0xF5, 0x57, 0x7E, 0x77, 0x3C};
  EXPECT_EQ(TaggedBytes(expected.begin() + 5, expected.begin() + 21), TaggedBytes(iid, iid + 16));
  EXPECT_EQ(context->WriteCallContext(nullptr), platform::E_INVALIDARG);
}

TEST_F(CallContext, ReadBlockGivesANewContextOneHopLongerNotMadeCurrent) {
  TInterfacePtr<TnxCallContext> sent(nxCreate<TnxCallContext>(kTwoHops));
  TInterfacePtr<InxCallContext> received;
  ASSERT_EQ(ReadBlock(BlockOf(*sent), received), S_OK);
  ASSERT_TRUE(received);
  EXPECT_FALSE(nxCurrentCallContext());
  TnxRoutingPath expected = PathOf(sent.Get());
  const TnxRoutingPath path = PathOf(received.Get());
  ASSERT_EQ(path.size(), 4u);
  expected.push_back(path[3]);
  EXPECT_EQ(path, expected);
  EXPECT_NE(path[3], path[2]);
}

TEST_F(CallContext, ReadRefusesOtherBlocksAndVersions) {
  TaggedBytes otherInterface;
  AppendGuid(otherInterface, InxRoutingPath::IID);
  otherInterface.insert(otherInterface.end(), {0x02, 0x01, 0x0D});
  struct Case {
    const char* what;
    TaggedBytes bytes;
    HRESULT answer;
  };
  std::vector<Case> cases{{"another interface's block", otherInterface, platform::RPC_E_INVALID_HEADER}};
  for (const auto& [what, version] : {std::pair{"version 2", uint8_t{2}}, std::pair{"version 0", uint8_t{0}},
                                      std::pair{"version -1", uint8_t{0xFF}}}) {
    TaggedBytes bytes;
    AppendGuid(bytes, InxCallContext::IID);
    bytes.insert(bytes.end(), {0x02, version, 0x0D});
    cases.push_back({what, bytes, platform::RPC_E_VERSION_MISMATCH});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TInterfacePtr<InxCallContext> context(nxCreate<TnxCallContext>());
    TnxStaticMemoryStream s(const_cast<uint8_t*>(c.bytes.data()), static_cast<int64_t>(c.bytes.size()));
    TnxReader r(s);
    TnxInterfacedReader reader(r);
    EXPECT_EQ(nxReadCallContext(reader, context), c.answer);
    EXPECT_FALSE(context);
  }
}

TEST_F(CallContext, DamagedBlockRaisesTheReadersErrorAndGivesNoContext) {
  TInterfacePtr<TnxCallContext> sent(nxCreate<TnxCallContext>(kTwoHops));
  TaggedBytes bytes = BlockOf(*sent);
  bytes.resize(bytes.size() - 1);  // no list end
  TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  TnxInterfacedReader reader(r);
  TInterfacePtr<InxCallContext> context(sent.Get());
  EXPECT_THROW(nxReadCallContext(reader, context), platform::EReadError);
  EXPECT_FALSE(context);
}

// Eight threads nest two contexts each, hand their inner one to the next
// thread, make the received one current in a scope of their own and release
// it there. Each thread sees only its own chain throughout.
TEST_F(CallContext, EachThreadSeesOnlyItsOwnChainWhileContextsTravel) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::array<TInterfacePtr<InxCallContext>, kThreads> handed;
  std::barrier sync(kThreads);
  std::array<int, kThreads> faults{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      int& fault = faults[t];
      for (int round = 0; round < kRounds; ++round) {
        TInterfacePtr<InxCallContext> outer;
        nxGetCallContext(outer);
        TnxCallContextScope outerScope(outer);
        TaggedBytes block;
        {
          TInterfacePtr<InxCallContext> inner(nxCreate<TnxCallContext>(PathOf(outer.Get())));
          TnxCallContextScope innerScope(inner);
          if (nxCurrentCallContext() != inner) ++fault;
          handed[(t + 1) % kThreads] = inner;
          block = BlockOf(*inner);
        }
        if (nxCurrentCallContext() != outer) ++fault;
        sync.arrive_and_wait();
        TInterfacePtr<InxCallContext> foreign = std::move(handed[t]);
        sync.arrive_and_wait();
        {
          TnxCallContextScope foreignScope(foreign);
          if (nxCurrentCallContext() != foreign) ++fault;
        }
        if (nxCurrentCallContext() != outer) ++fault;
        foreign.Reset();  // often the last reference: made on another thread
        TInterfacePtr<InxCallContext> received;
        if (ReadBlock(block, received) != S_OK) ++fault;
        {
          TnxCallContextScope receivedScope(received);
          if (nxCurrentCallContext() != received) ++fault;
        }
        if (static_cast<TnxCallContext*>(received.Get())->RefCount() != 1) ++fault;
        if (nxCurrentCallContext() != outer) ++fault;
        sync.arrive_and_wait();
      }
      if (nxCurrentCallContext()) ++fault;
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace revurov
