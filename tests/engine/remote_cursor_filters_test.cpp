// The remote cursor's record and key filters over loopback TCP: filters the
// server takes stay there, any other is evaluated on the records as they
// arrive; the stand-in engines report their changes to the server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/filter_engines.h"
#include "dictionary/simple_expression_filter.h"
#include "engine/remote_cursor.h"
#include "engine/remote_filter_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/can_expression_builder.h"
#include "support/fake_engine_clock.h"
#include "support/remote_cursor_fixture.h"
#include "support/u8_text.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

std::string LastMessage() {
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  return U8(message);
}

bool Never(void*, const uint8_t*) { return false; }

class RemoteCursorFiltersTest : public RemoteCursorFixture {
protected:
  // The test server takes simple-expression filters only.
  RemoteCursorFiltersTest() : fields(table->FieldsDescriptor()) {
    handler->Configure([&](TTestCommandHandler& h) {
      h.FilterTaker = [this](platform::TStream& aStream) -> TTestCommandHandler::TFilterMatch {
        std::unique_ptr<TnxBaseFilterDescriptor> descriptor;
        if (TnxBaseFilterDescriptor::CreateFromStream(aStream, descriptor) != 0 ||
            !dynamic_cast<TnxSimpleExpressionFilterDescriptor*>(descriptor.get()))
          return {};
        std::shared_ptr<TnxBaseFilterEngine> engine = TnxBaseFilterEngine::CreateFor(*descriptor, &fields);
        engine->SetActive(true);
        return [engine](const uint8_t* aRecord) { return engine->MatchesBuffer(aRecord); };
      };
    });
  }
  ~RemoteCursorFiltersTest() override {
    handler->Configure([&](TTestCommandHandler& h) { h.FilterTaker = nullptr; });
  }

  // "Amount > aLimit"; Rows gives amounts 20, 40, ... 200.
  static TnxCANExpr AmountAbove(int32_t aLimit) {
    CanExpressionBuilder b;
    return std::make_shared<const std::vector<uint8_t>>(b.Build(b.Compare(coGT, b.Field(2, "Amount"), b.Int32(aLimit))));
  }
  static std::unique_ptr<TnxBaseFilterDescriptor> Above(int32_t aLimit) {
    return std::make_unique<TnxSimpleExpressionFilterDescriptor>(AmountAbove(aLimit), u"", -1);
  }
  // Records whose amount is above aLimit when the callback filter asks.
  static bool AmountAboveCallback(void* aLimit, const uint8_t* aRecord) {
    int32_t amount = 0;
    std::memcpy(&amount, aRecord + 4, 4);
    return amount > *static_cast<int32_t*>(aLimit);
  }
  TaggedBytes Raw(const TnxRemoteCursor* aCursor, uint32_t aValue) const {
    TaggedBytes payload(8);
    platform::StoreU32(payload.data(), aCursor->CursorID());
    platform::StoreU32(payload.data() + 4, aValue);
    return payload;
  }
  std::vector<uint32_t> ServerFilters(bool aKey = false) {
    return handler->ServerFilters(aKey);
  }
  std::vector<int32_t> ReadAll(TnxRemoteCursor* aCursor) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
    EXPECT_EQ(aCursor->SetToBegin(), 0u);
    for (int i = 0; i < 20; ++i) {
      const uint32_t result = aCursor->RecordGetNext(nxltNoLock, record.data());
      if (result != 0) {
        EXPECT_EQ(result, nxeAtEndOfTable);
        break;
      }
      ids.push_back(IDOf(record.data()));
    }
    return ids;
  }

  TnxRecordFieldsSource fields;
};

TEST_F(RemoteCursorFiltersTest, ACallbackFilterStaysLocalAndNothingIsSent) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  int32_t limit = 140;
  TnxFilterID id = 0;
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, id, true), 0u);
  EXPECT_EQ(SentCount(session), before);
  ASSERT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(id, cursor->Filter()->FilterID());
  EXPECT_TRUE(cursor->HasActiveLocalFilter());
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{80, 90, 100}));
  // Inactive, it hides nothing.
  ASSERT_EQ(cursor->FilterDeactivate(id), 0u);
  EXPECT_FALSE(cursor->HasActiveLocalFilter());
  EXPECT_EQ(ReadAll(cursor).size(), 10u);
}

TEST_F(RemoteCursorFiltersTest, AnExpressionFilterGoesToTheServerUnlessRefused) {
  const struct {
    const char* name;
    int32_t version;
    TnxMsgID add;
    std::vector<TScriptedReply> refusals;
    Ids sent;
  } cases[] = {
      {"chained", 47501, 0x368, {Fixed(nxeCapabilityNotSupported)}, {0x368}},
      {"plain", 47001, 0x361,
       // Refused, or a reply without its 4 bytes.
       {Fixed(nxeCapabilityNotSupported), Fixed(0, {1, 2, 3})},
       {0x361, 0x363}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(c.version);
    ASSERT_NE(cursor, nullptr);
    Rows(10);
    auto filter = Above(140);
    TnxFilterID id = 0;
    size_t before = SentCount(session);
    ASSERT_EQ(cursor->FilterAddCustom(filter.get(), id, true), 0u);
    EXPECT_EQ(SentBy(session, before), c.sent);
    EXPECT_FALSE(cursor->HasActiveLocalFilter());
    EXPECT_EQ(ServerFilters().size(), 1u);
    EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{80, 90, 100}));
    ASSERT_EQ(cursor->FilterRemove(id), 0u);
    EXPECT_TRUE(ServerFilters().empty());
    EXPECT_EQ(cursor->Filter(), nullptr);

    for (const TScriptedReply& refusal : c.refusals) {
      handler->Script(c.add, refusal);
      before = SentCount(session);
      ASSERT_EQ(cursor->FilterAddCustom(filter.get(), id, true), 0u);
      EXPECT_EQ(SentBy(session, before), (Ids{c.add}));
      EXPECT_TRUE(cursor->HasActiveLocalFilter());
      EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{80, 90, 100}));
      ASSERT_EQ(cursor->FilterRemove(id), 0u);
      handler->Script(c.add, Injected(TReplyKind::rkEcho));
    }
  }
}

TEST_F(RemoteCursorFiltersTest, TwoFiltersFormAHubAndRemovingOneLeavesTheOther) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  auto server = Above(100);
  int32_t limit = 160;
  TnxFilterID serverID = 0, localID = 0;
  ASSERT_EQ(cursor->FilterAddCustom(server.get(), serverID, true), 0u);
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, localID, true), 0u);
  ASSERT_NE(dynamic_cast<TnxFilterEngineHub*>(cursor->Filter()), nullptr);
  EXPECT_TRUE(cursor->HasActiveLocalFilter());
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{90, 100}));

  // A stale or foreign ID names nothing.
  EXPECT_EQ(cursor->FilterActivate(serverID + localID + 1000), nxeInvalidFilterHandle);
  ASSERT_EQ(cursor->FilterRemove(localID), 0u);
  ASSERT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(cursor->Filter()->FilterID(), serverID);
  EXPECT_FALSE(cursor->HasActiveLocalFilter());
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{60, 70, 80, 90, 100}));
  EXPECT_EQ(cursor->FilterRemove(localID), nxeInvalidFilterHandle);
}

TEST_F(RemoteCursorFiltersTest, RemovingAllSendsOneRemoveForEveryServerFilter) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47001);
  ASSERT_NE(cursor, nullptr);
  auto first = Above(100), second = Above(20);
  int32_t limit = 0;
  TnxFilterID a = 0, b = 0, c = 0;
  ASSERT_EQ(cursor->FilterAddCustom(first.get(), a, true), 0u);
  ASSERT_EQ(cursor->FilterAddCustom(second.get(), b, false), 0u);
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, c, true), 0u);
  ASSERT_EQ(ServerFilters().size(), 2u);
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterRemove(0), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x365}));
  EXPECT_EQ(LastPayload(0x365), Raw(cursor, 0));
  EXPECT_EQ(cursor->Filter(), nullptr);
  EXPECT_TRUE(ServerFilters().empty());
  // Nothing left: all is still fine, one is not.
  EXPECT_EQ(cursor->FilterRemove(0), 0u);
  EXPECT_EQ(cursor->FilterRemove(a), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->FilterActivate(0), nxeInvalidFilterHandle);
}

TEST_F(RemoteCursorFiltersTest, ActivatingAllSwitchesServerFiltersInOneRequest) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47001);
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  auto first = Above(100), second = Above(160);
  TnxFilterID a = 0, b = 0;
  ASSERT_EQ(cursor->FilterAddCustom(first.get(), a, false), 0u);
  ASSERT_EQ(cursor->FilterAddCustom(second.get(), b, false), 0u);
  EXPECT_EQ(ReadAll(cursor).size(), 10u);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterActivate(0), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x363}));
  EXPECT_EQ(LastPayload(0x363), Raw(cursor, 0));
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{90, 100}));
  before = SentCount(session);
  ASSERT_EQ(cursor->FilterDeactivate(b), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x364}));
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{60, 70, 80, 90, 100}));
}

TEST_F(RemoteCursorFiltersTest, AReplaceOfAServerFilterIsOneRequest) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  auto first = Above(100), second = Above(160);
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCustom(first.get(), id, true), 0u);
  const TnxFilterID old = id;
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterReplaceCustom(second.get(), id, true, false), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x369}));
  EXPECT_NE(id, old);
  EXPECT_EQ(ServerFilters().size(), 1u);
  EXPECT_EQ(cursor->FilterToDrop(), 0);
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{90, 100}));

  // A callback cannot travel: the old server filter goes, the new one stays here.
  int32_t limit = 180;
  before = SentCount(session);
  ASSERT_EQ(cursor->FilterReplaceCustom(
                std::make_unique<TnxCallbackFilterDescriptor>(&limit, &AmountAboveCallback).get(), id, true, false),
            0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x365}));
  EXPECT_TRUE(ServerFilters().empty());
  EXPECT_TRUE(cursor->HasActiveLocalFilter());
  EXPECT_EQ(cursor->FilterToDrop(), 0);
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{100}));

  // A filter that is not there: its error, and the cursor is left as it was.
  const TnxFilterID kept = id;
  TnxFilterID stale = old;
  EXPECT_EQ(cursor->FilterReplaceCustom(second.get(), stale, true, false), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->FilterToDrop(), 0);
  EXPECT_EQ(cursor->Filter()->FilterID(), kept);
}

TEST_F(RemoteCursorFiltersTest, ChainedFilterChangesBringTheFollowingReadAlong) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
  auto readIs = [&](uint32_t aResult, int32_t aID, const Ids& aSent, bool aNext) {
    const size_t before = SentCount(session);
    EXPECT_EQ(aNext ? cursor->RecordGetNext(nxltNoLock, record.data()) : cursor->RecordGet(nxltNoLock, record.data()),
              aResult);
    if (aResult == 0) {
      EXPECT_EQ(IDOf(record.data()), aID);
    }
    EXPECT_EQ(SentBy(session, before), aSent);
  };

  // Followed by the first record: the add carries the record length, and
  // the first read after it is already there.
  cursor->CursorOptions() |= nxCursorOption(acoFilterActionFollowedByFirst);
  auto above = Above(100);
  TnxFilterID id = 0;
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterAddCustom(above.get(), id, true), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x368}));
  readIs(0, 60, {}, true);
  readIs(0, 70, {0x322}, true);  // only the one read came ahead
  ASSERT_EQ(ServerFilters().size(), 1u);
  const uint32_t serverID = ServerFilters()[0];

  before = SentCount(session);
  ASSERT_EQ(cursor->FilterDeactivate(id), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x367}));
  EXPECT_EQ(LastPayload(0x367), Written([&](TnxWriter& w) {
              w.WriteInteger(int32_t(cursor->CursorID()));
              w.WriteInteger(int32_t(faDeactivate));
              w.WriteInteger(int32_t(serverID));
              w.WriteBoolean(false);
              w.WriteBoolean(true);
              w.WriteInteger(RecordLength());
              w.WriteInteger(0);
            }));
  readIs(0, 10, {}, true);

  // Followed by a sync: the current record comes again, unasked.
  cursor->CursorOptions() &= ~nxCursorOption(acoFilterActionFollowedByFirst);
  cursor->CursorOptions() |= nxCursorOption(acoFilterActionFollowedBySync);
  readIs(0, 20, {0x322}, true);
  auto wider = Above(30);
  before = SentCount(session);
  ASSERT_EQ(cursor->FilterReplaceCustom(wider.get(), id, true, false), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x369}));
  readIs(0, 20, {}, false);
  readIs(0, 30, {0x322}, true);

  // A read sent ahead is gone once the cursor asks something else; a
  // filter kept local brings nothing along, so the reads ask as usual.
  cursor->CursorOptions() &= ~nxCursorOption(acoFilterActionFollowedBySync);
  cursor->CursorOptions() |= nxCursorOption(acoFilterActionFollowedByFirst);
  before = SentCount(session);
  ASSERT_EQ(cursor->FilterRemove(0), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x367}));
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  int32_t limit = 150;
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, id, true), 0u);
  readIs(0, 80, Ids(8, 0x322), true);

  // Without the options the plain requests carry no chain.
  cursor->CursorOptions() &= ~nxCursorOption(acoFilterActionFollowedByFirst);
  auto plain = Above(100);
  before = SentCount(session);
  ASSERT_EQ(cursor->FilterAddCustom(plain.get(), id, false), 0u);
  ASSERT_EQ(cursor->FilterActivate(id), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x361, 0x363}));
}

TEST_F(RemoteCursorFiltersTest, SetToFilterAsksTheServerOrPositionsLocally) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
  auto filter = Above(140);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->SetToFilter(filter.get(), nullptr, true), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x304}));
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 80);
  ASSERT_EQ(cursor->SetToFilter(filter.get(), nullptr, false), 0u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 100);

  // A callback cannot travel: the cursor reads to the record itself.
  int32_t limit = 150;
  TnxCallbackFilterDescriptor callback(&limit, &AmountAboveCallback);
  ASSERT_EQ(cursor->SetToFilter(&callback, nullptr, true), 0u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 80);
  EXPECT_EQ(cursor->Filter(), nullptr);
  ASSERT_EQ(cursor->SetToFilter(&callback, nullptr, false), 0u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 100);

  TnxCallbackFilterDescriptor none(nullptr, &Never);
  EXPECT_EQ(cursor->SetToFilter(&none, nullptr, true), nxeNoCurrentRecord);
  EXPECT_EQ(cursor->SetToFilterLocal(&none, nullptr, false), nxeNoCurrentRecord);
  EXPECT_EQ(cursor->Filter(), nullptr);

  // With a local filter active the server is not asked.
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, id, true), 0u);
  before = SentCount(session);
  ASSERT_EQ(cursor->SetToFilter(filter.get(), nullptr, true), 0u);
  for (TnxMsgID sent : SentBy(session, before)) EXPECT_NE(sent, 0x304u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 80);
  ASSERT_EQ(cursor->Filter()->FilterID(), id);

  // Other server errors are returned as they are.
  ASSERT_EQ(cursor->FilterRemove(0), 0u);
  handler->Script(0x304, Fixed(nxeTableDoesNotExist));
  EXPECT_EQ(cursor->SetToFilter(filter.get(), nullptr, true), nxeTableDoesNotExist);

  const struct {
    const char* name;
    TnxBaseFilterDescriptor* filter;
    TnxBaseFilterDescriptor* key;
  } refused[] = {{"no filter", nullptr, nullptr}, {"a key filter", filter.get(), filter.get()}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(cursor->SetToFilterLocal(r.filter, r.key, true), nxeCapabilityNotSupported);
    EXPECT_EQ(LastMessage(), "TnxRemoteCursor.SetToFilterLocal requires aFilter and does not support aKeyFilter");
  }
}

TEST_F(RemoteCursorFiltersTest, KeyFiltersLiveOnTheServerOnly) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  TnxKeyFilterID id = 0;
  EXPECT_EQ(cursor->KeyFilterAddCallback(nullptr, &Never, id), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "TnxCallbackFilterDescriptor was not supported as a KeyFilter by the server");
  EXPECT_EQ(cursor->KeyFilter(), nullptr);

  // The 4 reply bytes are checked.
  auto filter = Above(10);
  handler->Script(0x36A, Fixed(0, {7}));
  EXPECT_EQ(cursor->KeyFilterAddCustom(filter.get(), id), nxeCapabilityNotSupported);
  handler->Script(0x36A, Injected(TReplyKind::rkEcho));

  TnxKeyFilterID a = 0, b = 0;
  ASSERT_EQ(cursor->KeyFilterAddCustom(filter.get(), a), 0u);
  ASSERT_EQ(cursor->KeyFilterAddCustom(filter.get(), b), 0u);
  EXPECT_EQ(ServerFilters(true).size(), 2u);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->KeyFilterActivate(a), 0u);
  ASSERT_EQ(cursor->KeyFilterDeactivate(0), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x36B, 0x36C}));
  EXPECT_EQ(LastPayload(0x36C), Raw(cursor, 0));
  EXPECT_EQ(cursor->KeyFilterActivate(a + b + 1000), nxeInvalidFilterHandle);
  before = SentCount(session);
  ASSERT_EQ(cursor->KeyFilterRemove(b), 0u);
  ASSERT_EQ(cursor->KeyFilterRemove(0), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x36D, 0x36D}));
  EXPECT_EQ(LastPayload(0x36D), Raw(cursor, 0));
  EXPECT_TRUE(ServerFilters(true).empty());
  EXPECT_EQ(cursor->KeyFilterActivate(0), nxeInvalidFilterHandle);
}

TEST_F(RemoteCursorFiltersTest, AnUnchangedFilterTimeoutSendsNothing) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->FilterSetTimeout(nxDefaultFilterTimeout), 0u);
  EXPECT_EQ(SentCount(session), before);
  ASSERT_EQ(cursor->FilterSetTimeout(900), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x362}));
  EXPECT_EQ(LastPayload(0x362), Raw(cursor, 900));
  EXPECT_EQ(cursor->FilterTimeout(), 900u);
  handler->Script(0x362, Fixed(nxeInvalidParameter));
  EXPECT_EQ(cursor->FilterSetTimeout(100), nxeInvalidParameter);
  EXPECT_EQ(cursor->FilterTimeout(), 900u);
}

TEST_F(RemoteCursorFiltersTest, ALocalFilterCountsOnTheClientAndStopsAtItsTimeLimit) {
  TFakeEngineClock clock;
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  int32_t limit = 140;
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, id, true), 0u);
  std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u);
  ASSERT_EQ(IDOf(record.data()), 80);
  uint32_t count = 0;
  ASSERT_EQ(cursor->GetRecordCount(count, false), 0u);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 80);
  // Record numbers and plain batch reads cannot be had under it.
  uint32_t recNo = 0;
  EXPECT_EQ(cursor->RecNoGet(recNo, false), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "RecNoGet is not supported by TnxRemoteCursor when a local filter is active");

  // Nothing matches: the scan gives up at once with acoFailClientFilterFast.
  int32_t none = 1000;
  ASSERT_EQ(cursor->FilterRemove(id), 0u);
  ASSERT_EQ(cursor->FilterAddCallback(&none, &AmountAboveCallback, id, true), 0u);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  cursor->CursorOptions() |= nxCursorOption(acoFailClientFilterFast);
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), nxeFilterTimeout);
  cursor->CursorOptions() &= ~nxCursorOption(acoFailClientFilterFast);
}

// A local filter taking the amounts that are multiples of `every`; each
// judgement costs stepMs of (fake) time.
struct TSlowFilter {
  int32_t every;
  uint64_t stepMs;
  static bool Matches(void* aSelf, const uint8_t* aRecord) {
    auto& self = *static_cast<TSlowFilter*>(aSelf);
    TFakeEngineClock::Advance(self.stepMs);
    int32_t amount = 0;
    std::memcpy(&amount, aRecord + 4, 4);
    return amount % self.every == 0;
  }
};

TEST_F(RemoteCursorFiltersTest, ALocalScanGivesUpWhenItsTimeLimitPasses) {
  TFakeEngineClock clock;
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  ASSERT_EQ(cursor->FilterTimeout(), 500u);
  // Only the last record (amount 200) is taken.
  TSlowFilter slow{200, 200};
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&slow, &TSlowFilter::Matches, id, true), 0u);
  std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
  const struct {
    const char* name;
    uint32_t timeout;
    uint32_t result;
    size_t reads;
  } cases[] = {{"past the limit after the third refusal", 500, nxeFilterTimeout, 3},
               {"a limit that lasts the whole table", 5000, 0, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(cursor->FilterSetTimeout(c.timeout), 0u);
    ASSERT_EQ(cursor->SetToBegin(), 0u);
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), c.result);
    EXPECT_EQ(SentBy(session, before), Ids(c.reads, 0x322));
    if (c.result == 0) {
      EXPECT_EQ(IDOf(record.data()), 100);
    }
  }

  // Each read has a limit of its own: time spent between reads does not count.
  ASSERT_EQ(cursor->FilterSetTimeout(500), 0u);
  slow.every = 60;  // IDs 30, 60, 90; two refusals before each
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  TFakeEngineClock::Advance(10000);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 60);
}

TEST_F(RemoteCursorFiltersTest, ADuplicateCopiesActiveLocalFiltersOnly) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  Rows(10);
  int32_t limit = 140;
  auto server = Above(20);
  TnxFilterID a = 0, b = 0;
  ASSERT_EQ(cursor->FilterAddCustom(server.get(), a, true), 0u);
  ASSERT_EQ(cursor->FilterAddCallback(&limit, &AmountAboveCallback, b, true), 0u);
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, copy), 0u);
  auto* dup = static_cast<TnxRemoteCursor*>(copy);
  ASSERT_NE(dup->Filter(), nullptr);
  EXPECT_TRUE(dup->HasActiveLocalFilter());
  EXPECT_EQ(dynamic_cast<TnxFilterEngineHub*>(dup->Filter()), nullptr);
  EXPECT_EQ(ReadAll(dup), (std::vector<int32_t>{80, 90, 100}));
  copy->Free();
  EXPECT_EQ(ServerFilters().size(), 1u);
}

// ---- the stand-in engines ----

TEST_F(RemoteCursorFiltersTest, StandInEnginesReportTheirOwnChangesOnly) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47001);
  ASSERT_NE(cursor, nullptr);
  // A filter the test server never handed out: its answers are scripted.
  handler->Script(0x363, Fixed(0));
  handler->Script(0x365, Fixed(0));
  {
    TnxRemoteFilterEngine engine(*cursor, 42);
    size_t before = SentCount(session);
    ASSERT_EQ(engine.ActivateFilter(0), 0u);
    EXPECT_EQ(SentCount(session), before);
    ASSERT_EQ(engine.ActivateFilter(engine.FilterID()), 0u);
    EXPECT_EQ(SentBy(session, before), (Ids{0x363}));
    EXPECT_EQ(LastPayload(0x363), Raw(cursor, 42));
    EXPECT_EQ(engine.ActivateFilter(engine.FilterID() + 1), nxeInvalidFilterHandle);
    EXPECT_TRUE(engine.MatchesBuffer(nullptr));
    EXPECT_FALSE(engine.IsEvalLocal());
    EXPECT_THROW(engine.CreateDescriptor(), EnxRemoteFilterEngineException);
  }
  EXPECT_EQ(LastPayload(0x365), Raw(cursor, 42));

  size_t before = SentCount(session);
  {
    TnxRemoteKeyFilterEngine engine(*cursor, 7);
    EXPECT_THROW(engine.CreateDescriptor(), EnxRemoteKeyFilterEngineException);
  }
  EXPECT_EQ(SentBy(session, before), (Ids{0x36D}));
  EXPECT_EQ(LastPayload(0x36D), Raw(cursor, 7));

  before = SentCount(session);
  {
    TnxRemoteKeyFilterEngine engine(*cursor, 8);
    engine.Disconnect();
    std::unique_ptr<TnxBaseFilterEngine> copy = engine.Duplicate(nullptr);
    EXPECT_FALSE(static_cast<TnxRemoteFilterEngine&>(*copy).Connected());
  }
  EXPECT_EQ(SentCount(session), before);
}

}  // namespace
}  // namespace revurov::testing
