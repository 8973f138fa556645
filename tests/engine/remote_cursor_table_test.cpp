// The remote cursor's table-level operations over loopback TCP: table
// streams, locks, counts (also as a server task), the password, the record
// cache's synchronisation requests, options and the timeout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/abstract_task_info.h"
#include "engine/remote_cursor.h"
#include "engine/remote_task_info.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

template <class F>
std::vector<uint8_t> TaggedReply(F&& aWrite) {
  TnxBytesStream stream;
  {
    TnxWriter writer(stream);
    aWrite(writer);
    writer.FlushBuffer();
  }
  return stream.Bytes();
}

class RemoteCursorTableTest : public RemoteCursorFixture {
protected:
  // The raw payload: the cursor's ID, then aExtra.
  static TaggedBytes Raw(const TnxRemoteCursor* aCursor, std::vector<uint8_t> aExtra = {}) {
    TaggedBytes payload(4);
    platform::StoreU32(payload.data(), aCursor->CursorID());
    payload.insert(payload.end(), aExtra.begin(), aExtra.end());
    return payload;
  }
};

TEST_F(RemoteCursorTableTest, TableStreamsAreWrittenWholeReadListedAndDeleted) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  TnxMemoryStream source(-1);
  source.WriteBuffer("layout-v2", 9);  // left at its end
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->TableStreamWrite(u"Layout", source), 0u);
  ASSERT_EQ(cursor->TableStreamWrite(u"Notes", source), 0u);
  EXPECT_EQ(SentBy(session, before), (Ids{0x3A2, 0x3A2}));
  std::vector<uint8_t> stored;
  handler->Configure([&](TTestCommandHandler& h) { stored = h.CursorStreams[u"Orders|Layout"]; });
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "layout-v2");

  TnxMemoryStream target(-1);
  ASSERT_EQ(cursor->TableStreamRead(u"Layout", target), 0u);
  ASSERT_EQ(target.GetSize(), 9);
  EXPECT_EQ(std::memcmp(target.Memory(), "layout-v2", 9), 0);

  platform::TStringList names;
  ASSERT_EQ(cursor->TableStreamGetList(names), 0u);
  EXPECT_EQ(names.Count(), 2);
  ASSERT_EQ(cursor->TableStreamDelete(u"Notes"), 0u);
  ASSERT_EQ(cursor->TableStreamGetList(names), 0u);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(names[0], u"Layout");
  EXPECT_EQ(LastPayload(0x3A7), Raw(cursor));

  // A failed listing empties the caller's list.
  handler->Script(0x3A7, Fixed(nxeTableDoesNotExist));
  EXPECT_EQ(cursor->TableStreamGetList(names), nxeTableDoesNotExist);
  EXPECT_EQ(names.Count(), 0);
}

// Claims 3 GiB and holds nothing.
class THugeStream : public platform::TStream {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return 0; }
  int64_t GetSize() override { return int64_t{3} << 30; }
};

TEST_F(RemoteCursorTableTest, ATableStreamNoRequestCanHoldIsRefusedUnsent) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  THugeStream huge;
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->TableStreamWrite(u"Huge", huge), nxeInvalidParameter);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorTableTest, TableLocksAskTheServerAndAFailedQueryAnswersNotLocked) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  TnxLockPresent present = lpYesByAnother;
  ASSERT_EQ(cursor->TableIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpNotAtAll);
  ASSERT_EQ(cursor->TableLockAcquire(nxltWriteLock), 0u);
  EXPECT_EQ(LastPayload(0x3B2), Raw(cursor, {nxltWriteLock}));
  ASSERT_EQ(cursor->TableIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByUs);
  EXPECT_EQ(LastPayload(0x3B1), Raw(cursor, {nxltWriteLock}));
  ASSERT_EQ(cursor->TableLockRelease(nxltWriteLock, true), 0u);
  EXPECT_EQ(LastPayload(0x3B3), Raw(cursor, {nxltWriteLock, 1}));
  ASSERT_EQ(cursor->TableIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpNotAtAll);

  const struct {
    const char* name;
    TScriptedReply reply;
    uint32_t result;
  } failures[] = {
      {"the server's error", Fixed(nxeTableDoesNotExist, {2}), nxeTableDoesNotExist},
      {"no byte", Fixed(0), nxeMessageUnrecognized},
      {"no such answer", Fixed(0, {3}), nxeMessageUnrecognized},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    handler->Script(0x3B1, f.reply);
    present = lpYesByUs;
    EXPECT_EQ(cursor->TableIsLocked(nxltReadLock, present), f.result);
    EXPECT_EQ(present, lpNotAtAll);
  }
}

TEST_F(RemoteCursorTableTest, ChangePasswordSendsTheNewPassword) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  ASSERT_EQ(cursor->ChangePassword(u"n3w"), 0u);
  std::u16string password;
  handler->Configure([&](TTestCommandHandler& h) { password = h.TablePasswords[u"Orders"]; });
  EXPECT_EQ(password, u"n3w");
}

TEST_F(RemoteCursorTableTest, RecordCountsPickTheirRequestAndOptionByte) {
  const struct {
    const char* name;
    int32_t version;
    bool ex;
    TnxRecordCountOption option;
    bool estimate;
    TnxMsgID sent;
    std::vector<uint8_t> extra;
  } cases[] = {
      {"plain count", 47501, false, rcoTotalRecordCount, false, 0x3D1, {}},
      {"estimate on 30200", 30200, false, rcoTotalRecordCount, true, 0x3D3, {0x83}},
      {"estimate on 30199", 30199, false, rcoTotalRecordCount, true, 0x3D3, {0x03}},
      {"key count", 47501, true, rcoTotalKeyCount, false, 0x3D3, {0x01}},
      {"ranged estimate", 47501, true, rcoRangedKeyCount, true, 0x3D3, {0x82}},
      {"client-filtered is the plain count", 47501, true, rcoClientFilteredKeyCount, true, 0x3D1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(c.version);
    ASSERT_NE(cursor, nullptr);
    const size_t before = SentCount(session);
    uint32_t count = 99;
    ASSERT_EQ(c.ex ? cursor->GetRecordCountEx(c.option, count, c.estimate) : cursor->GetRecordCount(count, c.estimate),
              0u);
    EXPECT_EQ(SentBy(session, before), Ids{c.sent});
    EXPECT_EQ(LastPayload(c.sent), Raw(cursor, c.extra));
    // The handler counts 7, plus the option byte for $3D3.
    EXPECT_EQ(count, 7u + (c.extra.empty() ? 0u : c.extra[0]));
  }
}

TEST_F(RemoteCursorTableTest, RawRepliesShorterThanTheirLayoutAreRefused) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  for (TnxMsgID id : {0x3D1u, 0x3D3u, 0x3D2u}) {
    SCOPED_TRACE(id);
    handler->Script(id, Fixed(0, {1, 2, 3}));
    uint32_t count = 5;
    TnxAbstractTaskInfo* task = reinterpret_cast<TnxAbstractTaskInfo*>(this);
    uint32_t result = 0;
    if (id == 0x3D1) result = cursor->GetRecordCount(count, false);
    if (id == 0x3D3) result = cursor->GetRecordCountEx(rcoTotalKeyCount, count, false);
    if (id == 0x3D2) result = cursor->GetRecordCountAsync(task);
    EXPECT_EQ(result, nxeMessageUnrecognized);
    EXPECT_EQ(count, id == 0x3D2 ? 5u : 0u);
    if (id == 0x3D2) {
      EXPECT_EQ(task, nullptr);
    }
  }
}

TEST_F(RemoteCursorTableTest, AnAsynchronousCountIsAServerTaskOfTheSession) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  cursor->SetRemoteThreadPriority(2);
  const struct {
    const char* name;
    bool ex;
    TnxRecordCountOption option;
    std::vector<uint8_t> extra;
  } cases[] = {
      {"plain", false, rcoTotalRecordCount, {}},
      {"with an option", true, rcoRangedKeyCount, {rcoRangedKeyCount}},
      {"client-filtered is the plain one", true, rcoClientFilteredKeyCount, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(c.ex ? cursor->GetRecordCountExAsync(c.option, task) : cursor->GetRecordCountAsync(task), 0u);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(LastPayload(0x3D2), Raw(cursor, c.extra));
    auto* remote = dynamic_cast<TnxRemoteTaskInfo*>(task);
    ASSERT_NE(remote, nullptr);
    EXPECT_TRUE(handler->OpenTasks().count(remote->TaskID()));
    EXPECT_EQ(remote->RemoteThreadPriority(), 2);
    bool completed = false;
    TnxTaskStatus status;
    EXPECT_EQ(task->GetStatus(completed, status), 0u);
    task->Free();
  }
  EXPECT_TRUE(handler->OpenTasks().empty());
}

TEST_F(RemoteCursorTableTest, ContainsLSNRefNrFillsInWhatTheClientDidNotKnow) {
  handler->Configure([](TTestCommandHandler& h) { h.RecordVersions = {{41, 7}, {55, 9}}; });
  const struct {
    const char* name;
    int32_t version;
    TnxLSN lsn;
    TnxRefNr refNr;
    uint32_t result;
    TnxLSN lsnAfter;
    TnxRefNr refNrAfter;
    bool sent;
  } cases[] = {
      {"both known", 47501, 41, 7, 0, 41, 7, true},
      {"only the RefNr known", 47501, 0, 9, 0, 55, 9, true},
      {"only the LSN known", 47501, 41, 0, 0, 41, 7, true},
      {"a version the server lacks", 47501, 42, 7, nxeRecordNotFound, 42, 7, true},
      {"nothing known", 47501, 0, 0, nxeNoCurrentRecord, 0, 0, false},
      {"47004", 47004, 41, 7, nxeCapabilityNotSupported, 41, 7, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(c.version);
    ASSERT_NE(cursor, nullptr);
    const size_t before = SentCount(session);
    TnxLSN lsn = c.lsn;
    TnxRefNr refNr = c.refNr;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), c.result);
    EXPECT_EQ(lsn, c.lsnAfter);
    EXPECT_EQ(refNr, c.refNrAfter);
    EXPECT_EQ(SentBy(session, before), c.sent ? Ids{0x3EA} : Ids{});
  }
}

TEST_F(RemoteCursorTableTest, DeletedRecordsComeWithTheCurrentLSNWhenAsked) {
  handler->Configure([](TTestCommandHandler& h) {
    h.DeletedRecords = {{7, 40}, {8, 50}, {9, 60}};
    h.CurrentLSN = 77;
  });
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  TnxRecordCacheInfos infos;
  TnxLSN current = 5;
  ASSERT_EQ(cursor->GetDeletedRecords(45, infos, 10, &current), 0u);
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].rciRefNr, 8);
  EXPECT_EQ(infos[0].rciModifyLSN, 50);
  EXPECT_EQ(infos[1].rciRefNr, 9);
  EXPECT_EQ(current, 77);
  ASSERT_EQ(cursor->GetDeletedRecords(100, infos, 10, nullptr), 0u);
  EXPECT_TRUE(infos.empty());

  cursor = ConnectAndOpen(47004);
  ASSERT_NE(cursor, nullptr);
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->GetDeletedRecords(0, infos, 10, &current), nxeCapabilityNotSupported);
  EXPECT_EQ(current, 0);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorTableTest, ADeletedRecordCountTheReplyCannotHoldIsRefusedBeforeAllocating) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  const struct {
    const char* name;
    int64_t count;
    int32_t entries;
    int32_t max;
  } cases[] = {
      {"2^31", int64_t{1} << 31, 1, 10},
      {"2^31 - 1", 0x7FFFFFFF, 1, 0x7FFFFFFF},
      {"negative", -1, 0, 10},
      {"above the maximum asked", 3, 3, 2},
      {"more than its bytes", 40, 2, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handler->Script(0x3EB, Fixed(0, TaggedReply([&](TnxWriter& w) {
                                   w.WriteInteger(c.count);
                                   w.WriteListBegin();
                                   const std::vector<uint8_t> info(16 * static_cast<size_t>(c.entries), 1);
                                   if (!info.empty()) w.Write(info.data(), static_cast<int64_t>(info.size()));
                                   w.WriteListEnd();
                                 })));
    TnxRecordCacheInfos infos(1);
    TnxLSN current = 3;
    EXPECT_EQ(cursor->GetDeletedRecords(0, infos, c.max, &current), nxeMessageUnrecognized);
    EXPECT_TRUE(infos.empty());
    EXPECT_EQ(current, 0);
  }
}

TEST_F(RemoteCursorTableTest, OptionsLiveAtTheServer) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  ASSERT_EQ(cursor->OptionSet(u"Mode", u"fast"), 0u);
  EXPECT_EQ(handler->ObjectOption(0x3F0, cursor->CursorID(), u"Mode"), u"fast");
  std::u16string value = u"stale";
  ASSERT_EQ(cursor->OptionGet(u"Mode", value), 0u);
  EXPECT_EQ(value, u"fast");
  ASSERT_EQ(cursor->OptionGetEffective(u"Mode", value), 0u);
  EXPECT_EQ(value, u"fast");
  platform::TStringList list;
  ASSERT_EQ(cursor->OptionList(list), 0u);
  EXPECT_EQ(list.Count(), 1);
  ASSERT_EQ(cursor->OptionClear(u"Mode"), 0u);
  EXPECT_EQ(handler->ObjectOption(0x3F0, cursor->CursorID(), u"Mode"), u"");
  handler->Script(0x3F5, Fixed(nxeInvalidParameter));
  value = u"stale";
  EXPECT_EQ(cursor->OptionGet(u"Mode", value), nxeInvalidParameter);
  EXPECT_EQ(value, u"");
}

TEST_F(RemoteCursorTableTest, ATimeoutIsSentOnlyWhenItChanges) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  const size_t before = SentCount(session);
  cursor->SetTimeout(cursor->Timeout());
  EXPECT_EQ(SentCount(session), before);
  cursor->SetTimeout(4321);
  EXPECT_EQ(cursor->Timeout(), 4321u);
  EXPECT_EQ(SentBy(session, before), Ids{0x3F0});
  TaggedBytes expected = Raw(cursor, {0, 0, 0, 0});
  platform::StoreU32(expected.data() + 4, 4321);
  EXPECT_EQ(LastPayload(0x3F0), expected);
  // The value is kept even when the server refuses it.
  handler->Script(0x3F0, Fixed(nxeInvalidParameter));
  cursor->SetTimeout(99);
  EXPECT_EQ(cursor->Timeout(), 99u);
}

}  // namespace
}  // namespace revurov::testing
