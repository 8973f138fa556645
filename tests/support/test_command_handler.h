// A command handler for tests of the listening side: one user and password,
// sessions numbered from 1, and per request number a scripted answer: the
// default, a fixed reply with code and text, an exception, two replies or
// none, the default reply without its last byte (a list without its end),
// under another ID, wrapped in a multi-reply, held back until released, or
// the connection closed instead (TTestTcpServer carries that out).
//
// The default answers the remote engine's session, database and
// transaction-context requests from a small model (aliases, tables per
// alias, opened databases, session and object options, a transaction
// state per context, table streams, tasks, cursor blobs and the cursor's
// table-level requests); any other request is echoed.
// Replies go through reply writers, so they reach the serving thread's
// current transport. Thread-safe: a transport may serve requests on several
// threads at once.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/engine_types.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/guid.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "transport/base_transport.h"
#include "transport/command_handler.h"
#include "transport/data_message_queue.h"
#include "transport/request_reader.h"

namespace revurov::testing {

// Bytes on the library heap, whose large blocks take large pages: a batch
// of 10^5 records in fresh small pages costs a fault per page.
template <class T>
struct TLibraryHeapAllocator {
  using value_type = T;
  TLibraryHeapAllocator() = default;
  template <class U>
  TLibraryHeapAllocator(const TLibraryHeapAllocator<U>&) noexcept {}
  T* allocate(std::size_t aCount) { return static_cast<T*>(nxGetMem(aCount * sizeof(T))); }
  void deallocate(T* aBlock, std::size_t) noexcept { nxFreeMem(aBlock); }
  friend bool operator==(const TLibraryHeapAllocator&, const TLibraryHeapAllocator&) noexcept { return true; }
};
using TBatchBytes = std::vector<uint8_t, TLibraryHeapAllocator<uint8_t>>;

enum class TReplyKind {
  rkEcho,        // the default answer (an echo for requests it does not know)
  rkFixed,       // data, code and text as scripted
  rkRaise,       // the handler raises code and text
  rkReplyTwice,  // the fixed reply twice
  rkNoReply,     // nothing (the transport answers 15522)
  rkNoListEnd,   // the default answer less its last byte
  rkOtherID,     // the default answer under otherID
  rkMultiReply,  // the default answer as the one part of a multi-reply
  rkLate,        // the default answer once ReleaseLate is called
  rkClose,       // the connection is closed instead of answered
};

struct TScriptedReply {
  TReplyKind kind = TReplyKind::rkEcho;
  std::vector<uint8_t> data;  // rkFixed, rkReplyTwice: the reply's data
  uint32_t code = 0;          // rkFixed, rkReplyTwice: result; rkRaise: the exception's code
  std::u16string text;        // the error text that goes with the code
  TnxMsgID otherID = 0;       // rkOtherID
  TnxMsgID replyID = 0;       // rkFixed: sent under this ID instead (a multi-reply's 255)
};

// A fault of kind aKind (rkOtherID: under aOtherID).
inline TScriptedReply Injected(TReplyKind aKind, TnxMsgID aOtherID = 0) {
  TScriptedReply reply;
  reply.kind = aKind;
  reply.otherID = aOtherID;
  return reply;
}
// A fixed reply: code, data and the server's text.
inline TScriptedReply Fixed(uint32_t aCode, std::vector<uint8_t> aData = {}, std::u16string aText = {}) {
  TScriptedReply reply;
  reply.kind = TReplyKind::rkFixed;
  reply.code = aCode;
  reply.data = std::move(aData);
  reply.text = std::move(aText);
  return reply;
}

// What the handler saw of one request.
struct TReceivedRequest {
  TnxMsgID msgID = 0;
  TnxSessionID sessionID = 0;
  std::vector<uint8_t> data;
};

// In Events(): a session's end, after its requests.
inline constexpr TnxMsgID kSessionEndEvent = 0xFFFFFFFFu;

// Set by the handler on the serving thread: the reply about to be written
// is to close the connection instead.
inline bool& tlsCloseInsteadOfReply() {
  static thread_local bool close = false;
  return close;
}

class TTestCommandHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TTestCommandHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  static constexpr platform::TGUID kServerGUID = platform::nxGuid("{6B1F3C2A-8D4E-4F5A-9B6C-7D8E9FA0B1C2}");

  std::u16string UserName = u"admin";
  std::u16string Password = u"secret";
  int32_t ServerVersion = 47501;
  std::u16string HandlerServerName;
  // The server's own text for a refused log-in; none when empty.
  std::u16string RefusalText;

  // The model the default answers come from; changed through Configure
  // while requests may be served.
  std::vector<std::pair<std::u16string, std::u16string>> Aliases;  // alias, path
  std::map<std::u16string, std::vector<std::u16string>> Tables;      // by alias (or path)
  std::vector<std::u16string> ChangedTables;
  // $122 answers with a transaction context made for the database.
  bool OpenWithContext = false;
  // Tables cursors open on ($232 to $235), by name (letter case ignored).
  // The dictionary (its stream as written for the client's version) goes
  // with the reply unless the request names its identity; the index ID is
  // the request's when it names one.
  struct TCursorTable {
    std::vector<uint8_t> dictionary;
    platform::TGUID guid{};
    int32_t currentID = 0;
    int32_t indexID = -1;
    int64_t autoInc = -1;
  };
  std::map<std::u16string, TCursorTable> CursorTables;
  // The status every task the server starts ($21C, $21D, $712 to $714,
  // $71A) reports through $501 and $503.
  struct TTaskStatus {
    uint32_t totalRecs = 10, recsRead = 10, errorCode = 0;
    uint8_t percentDone = 100;
    bool finished = true;
    std::u16string errorMessage;
  };
  TTaskStatus TaskStatus;
  // What $251 answers.
  int64_t FreeSpace = 0x123456789A;
  // What $224 answers.
  uint32_t AutoInc = 41;
  // The records of a cursor table (by name, letter case ignored) in the
  // order of its index, each with its key as the client builds it and its
  // bookmark; $301 to $37E move a position per server cursor over them
  // (-1 before the first, the count after the last) within its range. A
  // record-form key is compared with whole records. The chained forms
  // send their read as a further part of a multi-reply.
  struct TCursorRows {
    std::vector<std::vector<uint8_t>> records;
    std::vector<std::vector<uint8_t>> keys;
    std::vector<std::vector<uint8_t>> bookmarks;
    std::vector<std::u16string> indexNames;  // $378 to $37E answer a name's position
    uint32_t keepRecordFails = 0;            // $378 keeping the record answers it when set
    // Record changes ($331 to $339, $382 to $386) keep records in step;
    // an inserted record gets no key or bookmark. $336/$337 answer the
    // auto-inc value after the insert counted it up; $351/$352 read and
    // set it. $341 answers lockPresent.
    int64_t autoInc = 0;
    uint8_t lockPresent = 0;
    // Batch reads ($381, $385, $885, $37D): the blob of a record (none when
    // empty) travels as an area whose offset goes into the record's blob
    // field at blobFieldOffset; its blob number is the record's place + 1.
    std::vector<std::vector<uint8_t>> blobs;
    size_t blobFieldOffset = 0;
  };
  std::map<std::u16string, TCursorRows> CursorRows;
  // Replies sent after an open reply in one multi-reply: (ID, data) each.
  std::vector<std::pair<TnxMsgID, std::vector<uint8_t>>> OpenExtraParts;
  // Off, nothing is recorded (a benchmark's long run).
  bool Recording = true;

  // ---- cursor blobs and table-level requests ----
  // Blobs by number, served in chunks by $89x and the record forms $A9x,
  // replaced by $39B, made by the entries of a $39D batch. A number in
  // BlobRenumbered answers 13058 and names the new one (in the record
  // forms, when the request asks). Reads answer BlobExtraBytes more than
  // asked (a server overrunning the chunk).
  std::map<int64_t, std::vector<uint8_t>> Blobs;
  std::map<int64_t, int64_t> BlobRenumbered;
  uint32_t BlobExtraBytes = 0;
  int64_t NextBlobNr = 1000;
  // Seen: the snapshot state of every $89B / $A9B, the RefNrs of $39C.
  std::vector<int32_t> BlobSnapshotStates;
  std::vector<int64_t> CancelledBlobRecords;
  // Streams of cursor tables ($3A2 to $3A7) by "table|stream", each
  // table's lock ($3B1 to $3B3: 0 none, else the lock type) and password.
  std::map<std::u16string, std::vector<uint8_t>> CursorStreams;
  std::map<std::u16string, uint8_t> TableLocks;
  std::map<std::u16string, std::u16string> TablePasswords;
  // What $3D1 and $3D3 count ($3D3 answers it plus its option byte).
  uint32_t RecordCount = 7;
  // $3EA: the (LSN, RefNr) versions the server holds; $3EB: the records
  // deleted (RefNr, LSN of the deletion) and the current LSN.
  std::vector<std::pair<int64_t, int64_t>> RecordVersions;
  std::vector<std::pair<int64_t, int64_t>> DeletedRecords;
  int64_t CurrentLSN = 0;

  // Runs aChange on the handler under its lock.
  template <class F>
  void Configure(F&& aChange) {
    std::lock_guard<std::mutex> guard(thLock);
    thBatchCache = {};
    aChange(*this);
    thListReplies.clear();
    if (thBackend) thBackend->Seed(*this);
  }
  void Script(TnxMsgID aMsgID, TScriptedReply aReply) {
    std::lock_guard<std::mutex> guard(thLock);
    thScript[aMsgID] = std::move(aReply);
  }
  std::vector<TReceivedRequest> Received() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thReceived;
  }
  // The requests and the ends of sessions (kSessionEndEvent) in order.
  std::vector<TReceivedRequest> Events() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thEvents;
  }
  // The message IDs of Received, for sessions aSession (0: all).
  std::vector<TnxMsgID> ReceivedIDs(TnxSessionID aSession = 0) const {
    std::vector<TnxMsgID> ids;
    for (const auto& r : Received())
      if (aSession == 0 || r.sessionID == aSession) ids.push_back(r.msgID);
    return ids;
  }
  // A session option as kept from $1F4; empty when not set.
  std::u16string SessionOption(TnxSessionID aSession, const std::u16string& aName) const {
    std::lock_guard<std::mutex> guard(thLock);
    auto it = thOptions.find(aSession);
    return it == thOptions.end() ? std::u16string() : it->second.Values(aName);
  }
  // Lets every held-back reply go (and later ones at once).
  void ReleaseLate() {
    std::lock_guard<std::mutex> guard(thLock);
    thLateReleased = true;
    thLateWake.notify_all();
  }
  // Holds later replies again (under Configure).
  void ResetLate() { thLateReleased = false; }
  // Replies held back now.
  int LateHeld() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLateHeld;
  }
  // Server cursors open now ($3FF closes one).
  std::set<uint32_t> OpenCursors() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thCursors;
  }
  // The databases open now, by the alias (or path) each was opened on.
  std::vector<std::u16string> OpenDatabases() const {
    std::lock_guard<std::mutex> guard(thLock);
    std::vector<std::u16string> open;
    for (const auto& entry : thDatabases) open.push_back(entry.second);
    return open;
  }
  // The nesting level of a transaction context (-1: none), as its
  // requests ($901 to $906, $911 to $916) left it.
  int32_t TransLevel(uint32_t aContext) const {
    std::lock_guard<std::mutex> guard(thLock);
    auto it = thTrans.find(aContext);
    return it == thTrans.end() ? -1 : it->second.level;
  }
  // Server tasks open now ($5FF closes one) and those cancelled ($502).
  std::set<uint32_t> OpenTasks() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thTasks;
  }
  std::vector<uint32_t> CancelledTasks() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thCancelled;
  }
  // An option of an object ($2F4, $5F4, $9F4 by the class's digit).
  std::u16string ObjectOption(TnxMsgID aClassBase, uint32_t aID, const std::u16string& aName) const {
    std::lock_guard<std::mutex> guard(thLock);
    auto it = thObjectOptions.find({aClassBase, aID});
    return it == thObjectOptions.end() ? std::u16string() : it->second.Values(aName);
  }
  // A table stream as $272 left it.
  std::vector<uint8_t> TableStream(const std::u16string& aTable, const std::u16string& aStream) const {
    std::lock_guard<std::mutex> guard(thLock);
    auto it = thStreams.find(aTable + u"|" + aStream);
    return it == thStreams.end() ? std::vector<uint8_t>() : it->second;
  }

  // The state a stated transaction reply carries: levels 0 to aLevel
  // (none for -1), the start LSN 0 without a transaction.
  static std::vector<uint8_t> TransactionState(int32_t aLevel, bool aSnapShot, int64_t aStartLSN,
                                               int32_t aLevelCount = -2) {
    const int32_t count = aLevelCount == -2 ? aLevel + 1 : aLevelCount;
    TnxTransactionInfo info;
    for (int32_t i = 0; i < count; ++i) {
      TnxTransactionLevelInfo level;
      level.tliStartLSN = aStartLSN + i;
      level.tliLSN = aStartLSN + i;
      level.tliLevel = i;
      info.tiLevels.push_back(level);
    }
    info.tiStartLSN = aStartLSN;
    info.tiLSN = aStartLSN;
    info.tiLevel = aLevel;
    info.tiState = aSnapShot ? TnxTransactionStates(1u << tsSnapshot) : 0;
    return Tagged([&](TnxWriter& w) { WriteTransactionInfo(w, info); });
  }

  // The ID the handler gave the last session it added.
  TnxSessionID LastSession() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLastSession;
  }
  // Every log-in as it came (user name, password), refused or not.
  std::vector<std::pair<std::u16string, std::u16string>> Logins() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLogins;
  }
  std::set<TnxSessionID> Sessions() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thSessions;
  }

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string& aUserName,
                         const std::u16string& aPassword, const std::u16string&, int32_t,
                         int32_t aClientVersion, TnxSessionID& aSessionID, int32_t& aServerVersion) override {
    std::lock_guard<std::mutex> guard(thLock);
    thLogins.emplace_back(aUserName, aPassword);
    if (aUserName != UserName || aPassword != Password) {
      // Where the transport takes a reply's error text from.
      if (!RefusalText.empty()) EnxBaseException::SetLastConvertedException(nxeUnknownUserOrPassword, RefusalText);
      return nxeUnknownUserOrPassword;
    }
    const TnxSessionID id = thLastSession + 1;
    int32_t version = ServerVersion;
    if (thBackend)
      if (const uint32_t refused = thBackend->AddSession(id, aUserName, aPassword, aClientVersion, version))
        return refused;
    aSessionID = thLastSession = id;
    aServerVersion = version;
    thSessions.insert(aSessionID);
    return 0;
  }

  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID aSessionID) override {
    std::lock_guard<std::mutex> guard(thLock);
    thEvents.push_back({kSessionEndEvent, aSessionID, {}});
    if (thBackend) thBackend->RemoveSession(aSessionID);
    return thSessions.erase(aSessionID) ? 0 : nxeInvalidHandle;
  }

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    TScriptedReply script;
    std::function<void(const TnxDataMessage&)> instances;
    const uint8_t* data = aMessage.dmData.get();
    const std::vector<uint8_t> request(data, data + (data ? aMessage.dmDataLen : 0));
    {
      std::lock_guard<std::mutex> guard(thLock);
      if (Recording) {
        thReceived.push_back({aMessage.dmMsg, aMessage.dmSessionID, request});
        thEvents.push_back(thReceived.back());
      }
      if (auto it = thScript.find(aMessage.dmMsg); it != thScript.end()) script = it->second;
      if (script.kind == TReplyKind::rkEcho && IsCreateInstance(aMessage.dmMsg)) instances = InstanceServer;
    }
    if (instances) return instances(aMessage);
    switch (script.kind) {
      case TReplyKind::rkEcho:
      case TReplyKind::rkNoListEnd:
      case TReplyKind::rkOtherID:
      case TReplyKind::rkMultiReply:
      case TReplyKind::rkLate: {
        TAnswer answer = DefaultAnswer(aMessage.dmMsg, aMessage.dmSessionID, request);
        if (answer.shared && script.kind != TReplyKind::rkEcho) {
          answer.data.assign(answer.shared->begin(), answer.shared->end());
          answer.shared.reset();
        }
        TnxMsgID replyID = aMessage.dmMsg;
        if (script.kind == TReplyKind::rkNoListEnd && !answer.data.empty()) answer.data.pop_back();
        if (script.kind == TReplyKind::rkOtherID) replyID = script.otherID;
        if (script.kind == TReplyKind::rkMultiReply) {
          answer.data = MultiReplyOf(aMessage.dmMsg, answer.code, answer.data);
          answer.code = 0;
          replyID = nxMultiReplyMsgID;
        }
        if (script.kind == TReplyKind::rkEcho && aMessage.dmMsg >= 0x232 && aMessage.dmMsg <= 0x235 &&
            answer.code == 0) {
          std::vector<std::pair<TnxMsgID, std::vector<uint8_t>>> extra;
          {
            std::lock_guard<std::mutex> guard(thLock);
            extra = OpenExtraParts;
          }
          if (!extra.empty()) {
            answer.data = MultiReplyOf(aMessage.dmMsg, 0, answer.data);
            for (const auto& [id, part] : extra) {
              const std::vector<uint8_t> more = MultiReplyOf(id, 0, part);
              answer.data.insert(answer.data.end(), more.begin(), more.end());
            }
            replyID = nxMultiReplyMsgID;
          }
        }
        if (!answer.ahead.empty() && script.kind == TReplyKind::rkEcho) {
          answer.data = MultiReplyOf(aMessage.dmMsg, answer.code, answer.data);
          answer.code = 0;
          for (const auto& [id, part] : answer.ahead) {
            const std::vector<uint8_t> more = MultiReplyOf(id, part.code, part.data);
            answer.data.insert(answer.data.end(), more.begin(), more.end());
          }
          replyID = nxMultiReplyMsgID;
        }
        if (script.kind == TReplyKind::rkLate) HoldBack();
        if (answer.shared)
          Send(replyID, answer.code, *answer.shared, {});
        else
          Send(replyID, answer.code, answer.data, {});
        break;
      }
      case TReplyKind::rkFixed:
      case TReplyKind::rkReplyTwice:
        for (int i = script.kind == TReplyKind::rkReplyTwice ? 2 : 1; i > 0; --i)
          Send(script.replyID ? script.replyID : aMessage.dmMsg, script.code, script.data, script.text);
        break;
      case TReplyKind::rkRaise:
        RaiseError(script.code, script.text);
      case TReplyKind::rkClose:
        tlsCloseInsteadOfReply() = true;
        break;
      case TReplyKind::rkNoReply:
        break;
    }
  }

  // A multi-reply holding one part.
  static std::vector<uint8_t> MultiReplyOf(TnxMsgID aMsgID, uint32_t aCode, const std::vector<uint8_t>& aData) {
    // Sized once: an insert after the header trips GCC's bounds check at -O3.
    std::vector<uint8_t> out(nxMultiReplyPartHeaderSize + aData.size());
    platform::StoreU32(out.data(), aMsgID);
    platform::StoreU32(out.data() + 4, static_cast<uint32_t>(out.size()));
    platform::StoreU32(out.data() + 8, aCode);
    std::copy(aData.begin(), aData.end(), out.begin() + nxMultiReplyPartHeaderSize);
    return out;
  }

  platform::TGUID GetServerGUID() const override { return kServerGUID; }
  std::u16string bchGetServerName() const override { return HandlerServerName; }

  // Filters ($304, $361 to $36D): FilterTaker reads a descriptor's bytes
  // and gives what it takes of a record, or nothing to refuse the filter
  // (12289; every filter without a taker). Active record filters hide what
  // they refuse from $321 to $323, and $304 positions on the first (last)
  // record its filter takes (8709 for none). Filter IDs count from 1.
  using TFilterMatch = std::function<bool(const uint8_t*)>;
  std::function<TFilterMatch(platform::TStream&)> FilterTaker;
  // Server filter IDs a cursor holds, record and key filters apart.
  std::vector<uint32_t> ServerFilters(bool aKey) const {
    std::lock_guard<std::mutex> lock(thLock);
    std::vector<uint32_t> ids;
    for (const auto& [cursor, filters] : thFilters)
      for (const auto& [id, filter] : filters)
        if (filter.key == aKey) ids.push_back(id);
    return ids;
  }

  // ---- instance creation ($161, $261, $961, $3E1, $4E1, $5E1) ----
  // Served by InstanceServer when one is set (support/instance_server.h
  // makes it; it needs the remoting library), unless a reply is scripted.
  std::function<void(const TnxDataMessage&)> InstanceServer;
  static bool IsCreateInstance(TnxMsgID aMsgID) {
    return aMsgID == 0x161 || aMsgID == 0x261 || aMsgID == 0x961 || aMsgID == 0x3E1 || aMsgID == 0x4E1 ||
           aMsgID == 0x5E1;
  }
  // Whether the server object a create-instance request names is open (a
  // session's request names none).
  bool KnowsObject(TnxMsgID aMsgID, uint32_t aID) const {
    std::lock_guard<std::mutex> lock(thLock);
    switch (aMsgID) {
      case 0x261: return thDatabases.count(aID) != 0;
      case 0x3E1: return thCursors.count(aID) != 0;
      case 0x4E1: return thStatements.count(aID) != 0;
      case 0x5E1: return thTasks.count(aID) != 0;
      case 0x961: return aID != 0 && aID <= thLastID;
      default: return aMsgID == 0x161;
    }
  }

  // ---- statements ($241, $242, $401 to $404, $4F0 to $4FF) ----
  // A statement runs the entry of Statements its prepared text names (a
  // text nobody scripted is refused at the prepare, 9986). Its result set
  // is a server cursor on the cursor table resultTable (none when empty);
  // it gives back the scripted values of its output parameters by name, an
  // input-output parameter's value as it came when none is scripted.
  struct TStatementScript {
    std::u16string resultTable;
    std::map<std::u16string, std::vector<uint8_t>> outputs;
    uint32_t execCode = 0;  // the execution's error
  };
  std::map<std::u16string, TStatementScript> Statements;
  // Server statements open now ($4FF closes one), and the timeout each got
  // last through $4F0 (0: none).
  std::map<uint32_t, uint32_t> OpenStatements() const {
    std::lock_guard<std::mutex> lock(thLock);
    std::map<uint32_t, uint32_t> open;
    for (const auto& [id, statement] : thStatements) open[id] = statement.timeout;
    return open;
  }

  // ---- another server behind the handler ----
  // A reply: its code and data, replies sent ahead of it in one multi-reply
  // (ID, reply), or shared bytes in place of the data.
  struct TAnswer {
    TAnswer() = default;
    TAnswer(uint32_t aCode, std::vector<uint8_t> aData = {}) : code(aCode), data(std::move(aData)) {}
    uint32_t code = 0;
    std::vector<uint8_t> data;
    // Replies sent ahead in the same multi-reply (ID, code, data).
    std::vector<std::pair<TnxMsgID, TAnswer>> ahead;
    // When set, the reply's data in place of data (a batch kept for reuse).
    std::shared_ptr<const TBatchBytes> shared;
  };
  // When set, sessions and the default answers come from it; scripted
  // faults still apply on top. Configure hands it the model after each
  // change, so the scripted model seeds it.
  class TServedBackend {
  public:
    virtual ~TServedBackend() = default;
    virtual uint32_t AddSession(TnxSessionID aSessionID, const std::u16string& aUserName,
                                const std::u16string& aPassword, int32_t aClientVersion, int32_t& aServerVersion) = 0;
    virtual uint32_t RemoveSession(TnxSessionID aSessionID) = 0;
    virtual TAnswer Answer(TnxMsgID aMsgID, TnxSessionID aSessionID, const std::vector<uint8_t>& aRequest) = 0;
    // Under the handler's lock.
    virtual void Seed(const TTestCommandHandler& aModel) = 0;
  };
  // Not owned; nil serves from the scripted model again.
  void ServeFrom(TServedBackend* aBackend) {
    std::lock_guard<std::mutex> guard(thLock);
    thBackend = aBackend;
    if (thBackend) thBackend->Seed(*this);
  }

  // ---- request and reply layouts both servings share ----
  template <class F>
  static std::vector<uint8_t> Tagged(F&& aWrite) {
    // Kept per thread: a new stream reserves its memory from the system.
    static thread_local TnxMemoryStream stream(-1);
    stream.SetSize(0);
    stream.SetPosition(0);
    {
      TnxWriter writer(stream);
      aWrite(writer);
      writer.FlushBuffer();
    }
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
  }
  static std::vector<uint8_t> U32(uint32_t aValue) {
    std::vector<uint8_t> out(4);
    platform::StoreU32(out.data(), aValue);
    return out;
  }
  static std::vector<uint8_t> NameList(const std::vector<std::u16string>& aNames) {
    return Tagged([&](TnxWriter& w) {
      w.WriteListBegin();
      for (const auto& name : aNames) w.WriteString(name);
      w.WriteListEnd();
    });
  }
  static std::vector<uint8_t> AliasList(const std::vector<std::pair<std::u16string, std::u16string>>& aAliases) {
    return Tagged([&](TnxWriter& w) {
      w.WriteListBegin();
      for (const auto& [alias, path] : aAliases) {
        w.WriteString(alias);
        w.WriteString(path);
      }
      w.WriteListEnd();
    });
  }
  // $122: the context made for the database (0: none) and the database.
  static std::vector<uint8_t> DatabaseOpenReply(uint32_t aContext, uint32_t aDatabase) {
    return Tagged([&](TnxWriter& w) {
      w.WriteBoolean(aContext != 0);
      if (aContext != 0) w.WriteInteger(static_cast<int32_t>(aContext));
      w.WriteInteger(static_cast<int32_t>(aDatabase));
    });
  }
  // $232 to $235; the layout grows with the ID.
  struct TCursorOpenRequest {
    uint32_t database = 0;
    std::u16string table, password;
    int32_t openMode = 0, shareMode = 0, timeout = 0;
    platform::TGUID guid{};
    int32_t currentID = 0;
    std::u16string indexName;
    int32_t indexID = -1;
    int32_t openOptions = 0;
    int64_t filterTimeout = -1;
  };
  static TCursorOpenRequest ReadCursorOpenRequest(TnxMsgID aMsgID, TnxReader& aReader) {
    TCursorOpenRequest r;
    r.database = static_cast<uint32_t>(aReader.ReadInteger());
    r.table = aReader.ReadString();
    r.password = aReader.ReadString();
    r.openMode = aReader.ReadInteger();
    r.shareMode = aReader.ReadInteger();
    r.timeout = aReader.ReadInteger();
    if (aMsgID >= 0x233) {
      r.guid = aReader.ReadGuid();
      r.currentID = aReader.ReadInteger();
    }
    if (aMsgID >= 0x234) {
      r.indexName = aReader.ReadString();
      r.indexID = aReader.ReadInteger();
      r.openOptions = aReader.ReadInteger();
      r.filterTimeout = aReader.ReadInt64();
    }
    return r;
  }
  // The cursor's ID and index, whether the dictionary follows and the
  // auto-inc value as the ID asks, then the dictionary when it follows.
  static std::vector<uint8_t> CursorOpenReply(TnxMsgID aMsgID, uint32_t aCursor, int32_t aIndexID, bool aFollows,
                                              int64_t aAutoInc, const std::vector<uint8_t>& aDictionary) {
    std::vector<uint8_t> out = Tagged([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aCursor));
      w.WriteInteger(aIndexID);
      if (aMsgID >= 0x233) w.WriteBoolean(aFollows);
      if (aMsgID >= 0x234) w.WriteInteger(aAutoInc);
    });
    if (aFollows) out.insert(out.end(), aDictionary.begin(), aDictionary.end());
    return out;
  }
  // $501: six cardinals (start, snapshot, total, read, written, error),
  // the percentage and whether the task finished.
  static std::vector<uint8_t> TaskStatusRaw(const TnxTaskStatus& aStatus) {
    std::vector<uint8_t> out(26);
    const uint32_t values[] = {aStatus.tsStartTime, aStatus.tsSnapshotTime, aStatus.tsTotalRecs,
                               aStatus.tsRecsRead,  aStatus.tsRecsWritten,  aStatus.tsErrorCode};
    for (size_t i = 0; i < 6; ++i) platform::StoreU32(out.data() + 4 * i, values[i]);
    out[24] = aStatus.tsPercentDone;
    out[25] = aStatus.tsFinished;
    return out;
  }
  // $503: the same values tagged, then the error message.
  static std::vector<uint8_t> TaskStatusTagged(const TnxTaskStatus& aStatus) {
    return Tagged([&](TnxWriter& w) {
      const int64_t values[] = {aStatus.tsStartTime, aStatus.tsSnapshotTime, aStatus.tsTotalRecs, aStatus.tsRecsRead,
                                aStatus.tsRecsWritten, aStatus.tsErrorCode,  aStatus.tsPercentDone};
      for (int64_t v : values) w.WriteInteger(v);
      w.WriteBoolean(aStatus.tsFinished);
      w.WriteString(aStatus.tsErrorMessage);
    });
  }
  // A transaction state as the stated transaction replies carry it.
  static void WriteTransactionInfo(TnxWriter& w, const TnxTransactionInfo& aInfo) {
    w.WriteInteger(static_cast<int32_t>(aInfo.tiLevels.size()));
    for (const TnxTransactionLevelInfo& level : aInfo.tiLevels) {
      w.WriteListBegin();
      w.WriteDate(level.tliStartTime);
      w.WriteInteger(level.tliStartLSN);
      w.WriteInteger(level.tliLSN);
      w.WriteInteger(level.tliLevel);
      w.WriteInteger(level.tliBlockCount);
      w.WriteInteger(level.tliNestingCount);
      w.WriteInteger(int32_t{level.tliState});
      w.WriteListEnd();
    }
    w.WriteDate(aInfo.tiStartTime);
    w.WriteInteger(aInfo.tiStartLSN);
    w.WriteInteger(aInfo.tiLSN);
    w.WriteInteger(aInfo.tiLevel);
    w.WriteInteger(static_cast<int32_t>(aInfo.tiBlockCount));
    w.WriteInteger(int32_t{aInfo.tiState});
  }
  // $906 (stated): the level on success, then the state.
  static std::vector<uint8_t> TransactionLevelReply(bool aSucceeded, int32_t aLevel, const TnxTransactionInfo& aInfo) {
    return Tagged([&](TnxWriter& w) {
      if (aSucceeded) w.WriteInteger(aLevel);
      w.WriteBoolean(true);
      WriteTransactionInfo(w, aInfo);
    });
  }

private:
  struct TServerCursor {
    std::u16string table;
    int32_t pos = -1;
    int32_t lo = 0;           // the range's first record
    int32_t hi = 0x7FFFFFFF;  // and its last
  };

  template <class Bytes>
  void Send(TnxMsgID aMsgID, uint32_t aCode, const Bytes& aData, const std::u16string& aText) {
    if (!aText.empty()) KeepErrorText(aCode, aText);
    // Straight from the bytes: a reply writer's stream reserves memory per reply.
    TnxBaseTransport::Reply(aMsgID, aCode, aData.empty() ? nullptr : aData.data(), static_cast<int32_t>(aData.size()));
  }

  // Bounded: a test that forgets to release still ends.
  void HoldBack() {
    std::unique_lock<std::mutex> guard(thLock);
    ++thLateHeld;
    thLateWake.wait_for(guard, std::chrono::seconds(20), [this] { return thLateReleased; });
    --thLateHeld;
  }

  // Under thLock. A list reply's bytes, made again only after the model
  // changed (through Configure or a request that changes aliases): a real
  // server would not rebuild them either, and the benchmarks that ask for
  // long lists would measure this stand-in's writing otherwise.
  template <class F>
  std::vector<uint8_t> CachedList(const std::u16string& aKey, F&& aMake) {
    auto it = thListReplies.find(aKey);
    if (it == thListReplies.end()) it = thListReplies.emplace(aKey, aMake()).first;
    return it->second;
  }
  // The alias entry named aAlias (letter case ignored); end() when none.
  auto FindAlias(const std::u16string& aAlias) {
    for (auto it = Aliases.begin(); it != Aliases.end(); ++it)
      if (platform::AsciiSameText(it->first, aAlias)) return it;
    return Aliases.end();
  }

  TAnswer DefaultAnswer(TnxMsgID aMsgID, TnxSessionID aSession, const std::vector<uint8_t>& aRequest) {
    TServedBackend* backend = nullptr;
    {
      std::lock_guard<std::mutex> guard(thLock);
      backend = thBackend;
    }
    // Outside the handler's lock: the backend serves sessions side by side.
    if (backend) return backend->Answer(aMsgID, aSession, aRequest);
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    std::lock_guard<std::mutex> guard(thLock);
    switch (aMsgID) {
      case 0x104:
        return {0, CachedList(u"", [&] { return AliasList(Aliases); })};
      case 0x106: {
        std::u16string alias = reader.ReadString();
        std::u16string path = reader.ReadString();
        if (FindAlias(alias) != Aliases.end()) return {nxeInvalidAliasName, {}};
        Aliases.emplace_back(std::move(alias), std::move(path));
        thListReplies.clear();
        return {};
      }
      case 0x107: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        Aliases.erase(it);
        thListReplies.clear();
        return {};
      }
      case 0x108: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        it->first = reader.ReadString();
        thListReplies.clear();
        it->second = reader.ReadString();
        return {};
      }
      case 0x109: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        return {0, Tagged([&](TnxWriter& w) { w.WriteString(it->second); })};
      }
      case 0x122: {
        const std::u16string type = reader.ReadString();
        const std::u16string alias = reader.ReadString();
        std::u16string key = alias;
        if (type == u"Name") {
          auto it = FindAlias(alias);
          if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
          key = it->first;
        }
        const uint32_t database = ++thLastID;
        thDatabases[database] = key;
        const uint32_t context = OpenWithContext ? ++thLastID : 0;
        return {0, DatabaseOpenReply(context, database)};
      }
      case 0x131:
        return {0, NameList({})};
      case 0x151:
        if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
        return {0, U32(++thLastID)};
      case 0x180:
        return {0, {0}};
      case 0x1F3:
        thOptions[aSession].SetValues(reader.ReadString(), u"");
        return {};
      case 0x1F4: {
        const std::u16string name = reader.ReadString();
        thOptions[aSession].SetValues(name, reader.ReadString());
        return {};
      }
      case 0x1F5:
      case 0x1F6: {
        const std::u16string value = thOptions[aSession].Values(reader.ReadString());
        return {0, Tagged([&](TnxWriter& w) { w.WriteString(value); })};
      }
      case 0x1F7:
      case 0x1F8: {
        const platform::TStringList& options = thOptions[aSession];
        return {0, Tagged([&](TnxWriter& w) { w.WriteStrings(options); })};
      }
      case 0x223:
      case 0x226: {
        if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
        auto it = thDatabases.find(platform::LoadU32(aRequest.data()));
        if (it == thDatabases.end()) return {nxeInvalidHandle, {}};
        if (aMsgID == 0x226) return {0, NameList(ChangedTables)};
        auto tables = Tables.find(it->second);
        if (tables == Tables.end()) return {0, NameList({})};
        return {0, CachedList(u"tables:" + it->second, [&] { return NameList(tables->second); })};
      }
      case 0x232: case 0x233: case 0x234: case 0x235:
        return CursorOpenAnswer(aMsgID, reader);
      case 0x3C1: {
        if (aRequest.size() < 5 || !thCursors.count(platform::LoadU32(aRequest.data()))) return {nxeInvalidHandle, {}};
        const uint32_t id = ++thLastID;
        thCursors.insert(id);
        std::vector<uint8_t> out = U32(id);
        const std::vector<uint8_t> index = U32(static_cast<uint32_t>(thCursorIndex[platform::LoadU32(aRequest.data())]));
        thCursorIndex[id] = thCursorIndex[platform::LoadU32(aRequest.data())];
        thCursorState[id] = thCursorState[platform::LoadU32(aRequest.data())];
        out.insert(out.end(), index.begin(), index.end());
        return {0, out};
      }
      case 0x3FF:
        if (aRequest.size() >= 4) thCursors.erase(platform::LoadU32(aRequest.data()));
        return {};
      case 0x901: case 0x902: case 0x903: case 0x904: case 0x905: case 0x906:
      case 0x911: case 0x912: case 0x913: case 0x914: case 0x915: case 0x916:
        return TransactionAnswer(aMsgID, aRequest, reader);
      case 0x2F3: case 0x2F4: case 0x2F5: case 0x2F6: case 0x2F7: case 0x2F8:
      case 0x5F3: case 0x5F4: case 0x5F5: case 0x5F6: case 0x5F7: case 0x5F8:
      case 0x9F3: case 0x9F4: case 0x9F5: case 0x9F6: case 0x9F7: case 0x9F8:
        return ObjectOptionAnswer(aMsgID, reader);
      case 0x211: case 0x215: case 0x21B: case 0x21C: case 0x21D: case 0x21E: case 0x224:
      case 0x251: case 0x253: case 0x271: case 0x272:
      case 0x712: case 0x713: case 0x714: case 0x716: case 0x717: case 0x718: case 0x719: case 0x71A:
      case 0x721:
        return TableAnswer(aMsgID, aRequest, reader);
      case 0x501: case 0x502: case 0x503: case 0x5FF:
        return TaskAnswer(aMsgID, aRequest, reader);
      case 0x301: case 0x302: case 0x303: case 0x305: case 0x306: case 0x307: case 0x807:
      case 0x311: case 0x312: case 0x313: case 0x314: case 0x316: case 0x317: case 0x318: case 0x319:
      case 0x321: case 0x322: case 0x323:
      case 0x373: case 0x374: case 0x375: case 0x376: case 0x377: case 0x378: case 0x379:
      case 0x37A: case 0x37B: case 0x37C: case 0x37E: case 0x87C:
        return CursorAnswer(aMsgID, aRequest);
      case 0x331: case 0x332: case 0x333: case 0x334: case 0x335: case 0x336: case 0x337: case 0x338:
      case 0x339: case 0x341: case 0x342: case 0x343: case 0x344: case 0x351: case 0x352:
      case 0x381: case 0x382: case 0x383: case 0x384: case 0x385: case 0x386: case 0x885: case 0x37D:
        return CursorChangeAnswer(aMsgID, aRequest);
      case 0x891: case 0x892: case 0x893: case 0x894: case 0x895: case 0x896: case 0x897:
      case 0x89A: case 0x89B:
      case 0xA91: case 0xA92: case 0xA93: case 0xA94: case 0xA95: case 0xA96: case 0xA97:
      case 0xA9A: case 0xA9B:
      case 0x39B: case 0x39C: case 0x39D:
        return BlobAnswer(aMsgID, reader);
      case 0x3A2: case 0x3A5: case 0x3A6: case 0x3A7: case 0x3B1: case 0x3B2: case 0x3B3: case 0x3C2:
      case 0x3D1: case 0x3D2: case 0x3D3: case 0x3EA: case 0x3EB: case 0x3F0:
        return CursorTableAnswer(aMsgID, aRequest, reader);
      case 0x3F3: case 0x3F4: case 0x3F5: case 0x3F6: case 0x3F7: case 0x3F8:
        return ObjectOptionAnswer(aMsgID, reader);
      case 0x304: case 0x361: case 0x362: case 0x363: case 0x364: case 0x365: case 0x367: case 0x368:
      case 0x369: case 0x36A: case 0x36B: case 0x36C: case 0x36D:
        return FilterAnswer(aMsgID, aRequest);
      case 0x241: case 0x242: case 0x401: case 0x402: case 0x403: case 0x404: case 0x4F0: case 0x4FF:
        return StatementAnswer(aMsgID, aRequest, reader);
      case 0x4F3: case 0x4F4: case 0x4F5: case 0x4F6: case 0x4F7: case 0x4F8:
        return ObjectOptionAnswer(aMsgID, reader);
      case 0x2FF:
        if (aRequest.size() >= 4) thDatabases.erase(platform::LoadU32(aRequest.data()));
        return {};
      case 0x111: case 0x112: case 0x141: case 0x142: case 0x143: case 0x171: case 0x172:
      case 0x1F0: case 0x1F1: case 0x1F2: case 0x1F9: case 0x2F0: case 0x9F0: case 0x9FF:
        return {};
      default:
        return {0, aRequest};
    }
  }

  // Under thLock. The request's layout grows with its ID.
  TAnswer CursorOpenAnswer(TnxMsgID aMsgID, TnxReader& aReader) {
    const TCursorOpenRequest request = ReadCursorOpenRequest(aMsgID, aReader);
    if (!thDatabases.count(request.database)) return {nxeInvalidHandle, {}};
    const TCursorTable* found = nullptr;
    for (const auto& [name, entry] : CursorTables)
      if (platform::AsciiSameText(name, request.table)) found = &entry;
    if (!found) return {nxeTableDoesNotExist, {}};
    const bool follows = aMsgID == 0x232 || !(request.guid == found->guid) || request.currentID != found->currentID;
    const uint32_t id = ++thLastID;
    thCursors.insert(id);
    const int32_t answeredIndex = request.indexID != -1 ? request.indexID : found->indexID;
    thCursorIndex[id] = answeredIndex;
    thCursorState[id].table = request.table;
    return {0, CursorOpenReply(aMsgID, id, answeredIndex, follows, found->autoInc, found->dictionary)};
  }

  // Under thLock: the rows of a server cursor's table; nil when none.
  TCursorRows* RowsOf(const TServerCursor& aCursor) {
    for (auto& [name, rows] : CursorRows)
      if (platform::AsciiSameText(name, aCursor.table)) return &rows;
    return nullptr;
  }
  // Orders a record's key (or the record, for a record-form key) against
  // aKey over aKey's length.
  static int CompareToKey(const TCursorRows& aRows, size_t aRecord, bool aDirect, const uint8_t* aKey, size_t aLen) {
    const std::vector<uint8_t>& mine = aDirect ? aRows.keys.at(aRecord) : aRows.records.at(aRecord);
    const int c = std::memcmp(mine.data(), aKey, std::min(mine.size(), aLen));
    if (c != 0) return c < 0 ? -1 : 1;
    return mine.size() < aLen ? -1 : 0;
  }
  static int32_t IndexOfBookmark(const TCursorRows& aRows, const uint8_t* aBookmark, size_t aLen) {
    for (size_t i = 0; i < aRows.bookmarks.size(); ++i)
      if (aRows.bookmarks[i].size() == aLen && std::memcmp(aRows.bookmarks[i].data(), aBookmark, aLen) == 0)
        return static_cast<int32_t>(i);
    return -1;
  }
  // A read of kind 0 (current), 1 (next) or 2 (prior) of aRecordLength bytes.
  static TAnswer Read(TServerCursor& aCursor, const TCursorRows& aRows, int aKind, uint32_t aRecordLength,
                      const TFilterMatch& aTakes = {}) {
    const int32_t count = static_cast<int32_t>(aRows.records.size());
    const int32_t first = std::max(aCursor.lo, 0);
    const int32_t last = std::min(aCursor.hi, count - 1);
    auto hidden = [&](int32_t aPos) {
      return aTakes && aPos >= first && aPos <= last && !aTakes(aRows.records[static_cast<size_t>(aPos)].data());
    };
    if (aKind == 1) {
      aCursor.pos = std::max(aCursor.pos + 1, first);
      while (hidden(aCursor.pos)) ++aCursor.pos;
      if (aCursor.pos > last) {
        aCursor.pos = count;
        return {nxeAtEndOfTable, {}};
      }
    } else if (aKind == 2) {
      aCursor.pos = std::min(aCursor.pos - 1, last);
      while (hidden(aCursor.pos)) --aCursor.pos;
      if (aCursor.pos < first) {
        aCursor.pos = -1;
        return {nxeAtBeginningOfTable, {}};
      }
    }
    if (aCursor.pos < first || aCursor.pos > last) return {nxeNoCurrentRecord, {}};
    const std::vector<uint8_t>& record = aRows.records[static_cast<size_t>(aCursor.pos)];
    return {0, std::vector<uint8_t>(record.begin(), record.begin() + std::min<size_t>(aRecordLength, record.size()))};
  }
  static std::vector<uint8_t> ReadListBytes(TnxReader& aReader, uint32_t aSize) {
    std::vector<uint8_t> bytes(aSize);
    aReader.ReadListBegin();
    if (aSize) aReader.Read(bytes.data(), aSize);
    aReader.ReadListEnd();
    return bytes;
  }

  // Under thLock: the cursor requests over the rows model.
  TAnswer CursorAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    // Tagged payloads start with the cursor's ID as a tagged integer.
    static const std::set<TnxMsgID> kTagged = {0x307, 0x807, 0x312, 0x313, 0x314, 0x318,
                                               0x378, 0x379, 0x37C, 0x37E, 0x87C};
    const uint32_t id = kTagged.count(aMsgID) ? static_cast<uint32_t>(reader.ReadInteger())
                                              : platform::LoadU32(aRequest.data());
    auto state = thCursorState.find(id);
    if (!thCursors.count(id) || state == thCursorState.end()) return {nxeInvalidHandle, {}};
    TServerCursor& cursor = state->second;
    static const TCursorRows kNoRows;
    TCursorRows* found = RowsOf(cursor);
    // A table without rows keeps the plain answers: none for a bookmark, an echo else.
    if (!found) return aMsgID == 0x313 ? TAnswer{} : TAnswer{0, aRequest};
    const TCursorRows& rows = found ? *found : kNoRows;
    const int32_t count = static_cast<int32_t>(rows.records.size());
    const uint8_t* p = aRequest.data();
    auto at16 = [&](size_t aOffset) { return aRequest.size() >= aOffset + 2 ? platform::LoadU16(p + aOffset) : 0; };
    auto at32 = [&](size_t aOffset) { return aRequest.size() >= aOffset + 4 ? platform::LoadU32(p + aOffset) : 0u; };
    auto setToBookmark = [&](TServerCursor& aCursor, const uint8_t* aBookmark, size_t aLen) {
      const int32_t i = IndexOfBookmark(rows, aBookmark, aLen);
      if (i < 0) return nxeBookmarkMismatch;
      aCursor.pos = i;
      return 0u;
    };
    auto chainedRead = [&](TnxMsgID aReadID, uint32_t aRecordLength) {
      const int kind = aReadID == 0x324 ? 0 : static_cast<int>(aReadID - 0x321);
      TAnswer answer;
      answer.ahead.emplace_back(aReadID == 0x324 ? 0x321 : aReadID, Read(cursor, rows, kind, aRecordLength));
      return answer;
    };
    switch (aMsgID) {
      case 0x301: cursor.pos = -1; return {};
      case 0x303: cursor.pos = count; return {};
      case 0x305: cursor.pos = -1; return chainedRead(0x322, at16(4));
      case 0x306: cursor.pos = count; return chainedRead(0x323, at16(4));
      case 0x321: case 0x322: case 0x323:
        return Read(cursor, rows, static_cast<int>(aMsgID - 0x321), at16(5), FilterOf(id));
      case 0x302: {
        auto other = thCursorState.find(at32(4));
        if (other == thCursorState.end()) return {nxeInvalidHandle, {}};
        cursor.pos = other->second.pos;
        return {};
      }
      case 0x307: case 0x807: {
        auto other = thCursorState.find(static_cast<uint32_t>(reader.ReadInteger()));
        if (other == thCursorState.end()) return {nxeInvalidHandle, {}};
        reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();
        if (aMsgID == 0x807) {
          // The cache info: "nil" or two integers.
          if (reader.NextValue() == vaNil) {
            reader.ReadIdent();
          } else {
            reader.ReadInt64();
            reader.ReadInt64();
          }
          const auto size = static_cast<uint32_t>(reader.ReadInteger());
          if (size) {
            std::vector<uint8_t> bookmark(size);
            reader.ReadBinary(bookmark.data(), static_cast<int32_t>(size));
            setToBookmark(other->second, bookmark.data(), size);
          }
        }
        cursor.pos = other->second.pos;
        return length ? chainedRead(0x321, length) : TAnswer{};
      }
      case 0x311: {
        if (cursor.pos < 0 || cursor.pos >= count) return {nxeNoCurrentRecord, {}};
        std::vector<uint8_t> bookmark = rows.bookmarks.at(static_cast<size_t>(cursor.pos));
        bookmark.resize(at32(4));
        return {0, bookmark};
      }
      case 0x312: {
        const auto size = static_cast<uint32_t>(reader.ReadInteger());
        const std::vector<uint8_t> first = ReadListBytes(reader, size);
        const std::vector<uint8_t> second = ReadListBytes(reader, size);
        const int32_t i = IndexOfBookmark(rows, first.data(), size);
        const int32_t j = IndexOfBookmark(rows, second.data(), size);
        if (i < 0 || j < 0) return {nxeBookmarkMismatch, {}};
        return {0, {static_cast<uint8_t>(static_cast<int8_t>(i < j ? -1 : i > j ? 1 : 0))}};
      }
      case 0x313: case 0x314: {
        const auto size = static_cast<uint32_t>(reader.ReadInteger());
        const std::vector<uint8_t> bookmark = ReadListBytes(reader, size);
        if (const uint32_t r = setToBookmark(cursor, bookmark.data(), size)) return {r, {}};
        if (aMsgID == 0x313) return {};
        auto chained = static_cast<TnxMsgID>(reader.ReadInteger());
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();
        reader.ReadInteger();
        // Under flip order the server's next is the client's prior.
        if (reader.ReadBoolean() && (chained == 0x322 || chained == 0x323)) chained = chained == 0x322 ? 0x323 : 0x322;
        return chained ? chainedRead(chained, length) : TAnswer{};
      }
      case 0x316: case 0x319: {
        if (aMsgID == 0x319) {
          if (const uint32_t r = setToBookmark(cursor, p + 7, at16(5))) return {r, {}};
        }
        if (cursor.pos < 0 || cursor.pos >= count) return {nxeNoCurrentRecord, {}};
        return {0, U32(static_cast<uint32_t>(cursor.pos + 1))};
      }
      case 0x317:
        cursor.pos = static_cast<int32_t>(at32(4)) - 1;
        return {};
      case 0x318: {
        cursor.pos = reader.ReadInteger() - 1;
        reader.ReadBoolean();
        return chainedRead(0x324, static_cast<uint32_t>(reader.ReadInteger()));
      }
      case 0x373: case 0x37A: {
        const size_t keyAt = aMsgID == 0x373 ? 14 : 19;
        if (aRequest.size() < keyAt) return {nxeInvalidParameter, {}};
        const bool direct = p[13] != 0;
        cursor.pos = count;
        for (int32_t i = 0; i < count; ++i)
          if (CompareToKey(rows, static_cast<size_t>(i), direct, p + keyAt, aRequest.size() - keyAt) >= 0) {
            cursor.pos = i;
            break;
          }
        return aMsgID == 0x37A ? chainedRead(0x324, at16(14)) : TAnswer{};
      }
      case 0x374: {
        if (aRequest.size() < 19) return {nxeInvalidParameter, {}};
        const bool direct = p[18] != 0;
        const bool firstCall = p[13] != 0;
        // A repeat goes on after the record it found last.
        const int32_t from = firstCall ? 0 : cursor.pos + 1;
        for (int32_t i = std::max(from, 0); i < count; ++i)
          if (CompareToKey(rows, static_cast<size_t>(i), direct, p + 19, aRequest.size() - 19) == 0) {
            cursor.pos = i;
            return Read(cursor, rows, 0, at16(14));
          }
        return {nxeRecordNotFound, {}};
      }
      case 0x375:
        cursor.lo = 0;
        cursor.hi = 0x7FFFFFFF;
        return {};
      case 0x37C: case 0x87C: {
        cursor.lo = 0;
        cursor.hi = 0x7FFFFFFF;
        reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();
        if (aMsgID == 0x87C) {
          const auto size = static_cast<uint32_t>(reader.ReadInteger());
          if (size) {
            std::vector<uint8_t> bookmark(size);
            reader.ReadBinary(bookmark.data(), static_cast<int32_t>(size));
            setToBookmark(cursor, bookmark.data(), size);
          }
        }
        return chainedRead(0x324, length);
      }
      case 0x376: case 0x37B: {
        const size_t fixed = aMsgID == 0x376 ? 32 : 42;
        const uint32_t len1 = at32(12);
        const uint32_t len2 = at32(26);
        if (aRequest.size() != fixed + len1 + len2) return {nxeInvalidParameter, {}};
        cursor.lo = 0;
        cursor.hi = count - 1;
        for (int32_t i = 0; i < count && len1; ++i) {
          const int c = CompareToKey(rows, static_cast<size_t>(i), p[17] != 0, p + fixed, len1);
          if (c < 0 || (c == 0 && !p[16])) cursor.lo = i + 1;
        }
        for (int32_t i = count - 1; i >= 0 && len2; --i) {
          const int c = CompareToKey(rows, static_cast<size_t>(i), p[31] != 0, p + fixed + len1, len2);
          if (c > 0 || (c == 0 && !p[30])) cursor.hi = i - 1;
        }
        const bool flip = aMsgID == 0x37B && p[32];
        cursor.pos = flip ? count : -1;
        if (aMsgID == 0x37B && at32(34)) return chainedRead(flip ? 0x323 : 0x322, at32(34));
        return {};
      }
      case 0x377: {
        const uint32_t len1 = at32(12);
        const uint32_t len2 = at32(17);
        if (aRequest.size() != 22 + size_t{len1} + len2) return {nxeInvalidParameter, {}};
        int c = std::memcmp(p + 22, p + 22 + len1, std::min(len1, len2));
        if (c == 0) c = len1 < len2 ? -1 : len1 > len2 ? 1 : 0;
        return {0, {static_cast<uint8_t>(static_cast<int8_t>(c < 0 ? -1 : c > 0 ? 1 : 0))}};
      }
      case 0x378: case 0x379: case 0x37E: {
        const std::u16string name = reader.ReadString();
        int32_t index = reader.ReadInteger();
        if (aMsgID == 0x378 && reader.ReadBoolean() && rows.keepRecordFails) return {rows.keepRecordFails};
        for (size_t i = 0; i < rows.indexNames.size(); ++i)
          if (!name.empty() && platform::AsciiSameText(rows.indexNames[i], name)) index = static_cast<int32_t>(i);
        thCursorIndex[id] = index;
        return {0, Tagged([&](TnxWriter& w) { w.WriteInteger(index); })};
      }
      default:
        return {0, aRequest};
    }
  }

  // ---- record changes and batch reads ----

  // The batch options the model reads (bits of the options byte).
  static constexpr uint8_t kBatchBlobs = 1, kBatchBookmarks = 2, kBatchBackwards = 4, kBatchToBeginOrEnd = 16,
                           kBatchBlobNrs = 32;

  // Under thLock: a batch stream of the records from the cursor's
  // position on (backwards with kBatchBackwards), until aMaxRecords (0: no
  // limit) or the stream reaches aCutoff bytes (at least one record; 0:
  // no cut-off). The inner error is the code that ended the walk.
  static TBatchBytes BatchOf(TServerCursor& aCursor, const TCursorRows& aRows, int32_t aCutoff, int32_t aMaxRecords,
                             uint8_t aOptions) {
    TBatchBytes out(8, 0);
    // Room for the whole walk at once: a benchmark's batch is 10^5 records.
    if (!aRows.records.empty()) {
      const size_t most = aMaxRecords > 0 ? std::min<size_t>(size_t(aMaxRecords), aRows.records.size())
                                          : aRows.records.size();
      out.reserve(8 + most * (4 + aRows.records.front().size()));
    }
    const bool back = (aOptions & kBatchBackwards) != 0;
    if (aOptions & kBatchToBeginOrEnd) aCursor.pos = back ? static_cast<int32_t>(aRows.records.size()) : -1;
    int32_t count = 0;
    // Bounded by the table: each step moves the position on.
    for (size_t step = 0; step <= aRows.records.size(); ++step) {
      if (aMaxRecords > 0 && count >= aMaxRecords) break;
      if (aCutoff > 0 && count > 0 && out.size() >= static_cast<size_t>(aCutoff)) break;
      // Length 0: the position moves, nothing is copied.
      TAnswer read = Read(aCursor, aRows, back ? 2 : 1, 0);
      if (read.code != 0) {
        platform::StoreU32(out.data(), read.code);
        break;
      }
      AppendEntry(out, aRows, static_cast<size_t>(aCursor.pos), aOptions);
      ++count;
    }
    platform::StoreU32(out.data() + 4, static_cast<uint32_t>(count));
    return out;
  }
  // Under thLock: BatchOf, or the same bytes again for the same walk.
  TAnswer BatchAnswer(TServerCursor& aCursor, const TCursorRows& aRows, int32_t aCutoff, int32_t aMaxRecords,
                      uint8_t aOptions) {
    TBatchCache& c = thBatchCache;
    const int32_t from = (aOptions & kBatchToBeginOrEnd)
                             ? ((aOptions & kBatchBackwards) ? static_cast<int32_t>(aRows.records.size()) : -1)
                             : aCursor.pos;
    TAnswer answer;
    if (c.bytes && c.rows == &aRows && c.from == from && c.cutoff == aCutoff && c.maxRecords == aMaxRecords &&
        c.options == aOptions && aCursor.lo == 0 && aCursor.hi == 0x7FFFFFFF) {
      aCursor.pos = c.to;
      answer.shared = c.bytes;
      return answer;
    }
    answer.shared = std::make_shared<const TBatchBytes>(BatchOf(aCursor, aRows, aCutoff, aMaxRecords, aOptions));
    if (aCursor.lo == 0 && aCursor.hi == 0x7FFFFFFF)
      c = {&aRows, from, aCursor.pos, aCutoff, aMaxRecords, aOptions, answer.shared};
    return answer;
  }

  // Copies straight from the rows: a benchmark's batch is 10^5 entries.
  template <class Bytes>
  static void AppendEntry(Bytes& aOut, const TCursorRows& aRows, size_t aRecord, uint8_t aOptions) {
    const std::vector<uint8_t>& record = aRows.records[aRecord];
    const std::vector<uint8_t> noBookmark;
    const std::vector<uint8_t>& bookmark =
        (aOptions & kBatchBookmarks) && aRecord < aRows.bookmarks.size() ? aRows.bookmarks[aRecord] : noBookmark;
    const bool blob = (aOptions & kBatchBlobs) && aRecord < aRows.blobs.size() && !aRows.blobs[aRecord].empty() &&
                      aRows.blobFieldOffset + 8 <= record.size();
    const bool blobNrs = (aOptions & kBatchBlobNrs) != 0;
    const size_t base = aOut.size();
    const size_t area = base + 4 + record.size() + bookmark.size();
    size_t size = record.size() + bookmark.size();
    if (blob) size += 4 + aRows.blobs[aRecord].size() + (blobNrs ? 8 : 0);
    if (aOut.capacity() < base + 4 + size) aOut.reserve(std::max(2 * aOut.capacity(), base + 4 + size));
    // Appended, not resized and overwritten: no zero-fill of the batch.
    uint8_t word[8];
    platform::StoreU32(word, static_cast<uint32_t>(size));
    aOut.insert(aOut.end(), word, word + 4);
    aOut.insert(aOut.end(), record.begin(), record.end());
    aOut.insert(aOut.end(), bookmark.begin(), bookmark.end());
    if (!blob) return;
    // The record's blob field names the area by its offset in the stream.
    platform::StoreU64(aOut.data() + base + 4 + aRows.blobFieldOffset, area);
    const std::vector<uint8_t>& data = aRows.blobs[aRecord];
    platform::StoreU32(word, static_cast<uint32_t>(data.size()));
    aOut.insert(aOut.end(), word, word + 4);
    aOut.insert(aOut.end(), data.begin(), data.end());
    platform::StoreU64(word, aRecord + 1);
    if (blobNrs) aOut.insert(aOut.end(), word, word + 8);
  }

  // Under thLock: the record changes and batch reads over the rows model.
  TAnswer CursorChangeAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    static const std::set<TnxMsgID> kTagged = {0x331, 0x332, 0x335, 0x336, 0x337, 0x338, 0x37D};
    const uint32_t id = kTagged.count(aMsgID) ? static_cast<uint32_t>(reader.ReadInteger())
                                              : platform::LoadU32(aRequest.data());
    auto state = thCursorState.find(id);
    if (!thCursors.count(id) || state == thCursorState.end()) return {nxeInvalidHandle, {}};
    TServerCursor& cursor = state->second;
    TCursorRows* found = RowsOf(cursor);
    if (!found) return {0, aRequest};
    TCursorRows& rows = *found;
    const int32_t count = static_cast<int32_t>(rows.records.size());
    const uint8_t* p = aRequest.data();
    auto at16 = [&](size_t aOffset) { return aRequest.size() >= aOffset + 2 ? platform::LoadU16(p + aOffset) : 0; };
    auto at32 = [&](size_t aOffset) { return aRequest.size() >= aOffset + 4 ? platform::LoadU32(p + aOffset) : 0u; };
    auto current = [&] { return cursor.pos >= 0 && cursor.pos < count; };
    // A held-back bookmark: its length at aAt, its bytes at aBytesAt.
    auto bookmarkAt = [&](size_t aAt, size_t aBytesAt) -> uint32_t {
      const uint32_t len = at16(aAt);
      if (!len) return 0;
      if (aRequest.size() < aBytesAt + len) return nxeInvalidParameter;
      const int32_t i = IndexOfBookmark(rows, p + aBytesAt, len);
      if (i < 0) return nxeBookmarkMismatch;
      cursor.pos = i;
      return 0;
    };
    auto chained = [&](TnxMsgID aReadID, uint32_t aLength) {
      TAnswer answer;
      if (aLength) answer.ahead.emplace_back(aReadID, Read(cursor, rows, 0, aLength));
      return answer;
    };
    const bool reads = aMsgID == 0x341 || aMsgID == 0x351 || aMsgID == 0x381 || aMsgID == 0x385 ||
                       aMsgID == 0x885 || aMsgID == 0x37D;
    if (!reads) thBatchCache = {};
    switch (aMsgID) {
      case 0x331: case 0x336: case 0x337: {
        reader.ReadInteger();  // lock type
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        std::vector<uint8_t> record = ReadListBytes(reader, length);
        reader.ReadInteger();
        const bool wanted = aMsgID != 0x331 && reader.ReadBoolean();
        rows.records.push_back(std::move(record));
        rows.keys.emplace_back();
        rows.bookmarks.emplace_back();
        cursor.pos = count;
        ++rows.autoInc;
        if (!wanted) return {};
        std::vector<uint8_t> out(8);
        platform::StoreU64(out.data(), static_cast<uint64_t>(rows.autoInc));
        return {0, out};
      }
      case 0x332: case 0x335: case 0x338: {
        reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        std::vector<uint8_t> record = ReadListBytes(reader, length);
        uint32_t syncLength = 0;
        if (aMsgID == 0x338) reader.ReadBoolean();
        if (aMsgID != 0x332) {
          syncLength = static_cast<uint32_t>(reader.ReadInteger());
          reader.ReadInteger();
          reader.ReadBoolean();
        }
        if (aMsgID == 0x338) {
          reader.ReadBoolean();
          if (reader.ReadInteger() > 0) return {nxeInvalidParameter, {}};  // no blob batch without a cache
          const auto size = static_cast<uint32_t>(reader.ReadInteger());
          if (size) {
            std::vector<uint8_t> bookmark(size);
            reader.Read(bookmark.data(), size);
            const int32_t i = IndexOfBookmark(rows, bookmark.data(), size);
            if (i < 0) return {nxeBookmarkMismatch, {}};
            cursor.pos = i;
          }
        }
        if (!current()) return {nxeNoCurrentRecord, {}};
        rows.records[static_cast<size_t>(cursor.pos)] = std::move(record);
        return chained(0x321, syncLength);
      }
      case 0x333: case 0x334: case 0x339: {
        if (aMsgID == 0x339)
          if (const uint32_t r = bookmarkAt(11, 13)) return {r, {}};
        if (!current()) return {nxeNoCurrentRecord, {}};
        const auto at = static_cast<size_t>(cursor.pos);
        std::vector<uint8_t> record = rows.records[at];
        record.resize(std::min<size_t>(record.size(), at16(4)));
        rows.records.erase(rows.records.begin() + static_cast<std::ptrdiff_t>(at));
        if (at < rows.keys.size()) rows.keys.erase(rows.keys.begin() + static_cast<std::ptrdiff_t>(at));
        if (at < rows.bookmarks.size()) rows.bookmarks.erase(rows.bookmarks.begin() + static_cast<std::ptrdiff_t>(at));
        if (at < rows.blobs.size()) rows.blobs.erase(rows.blobs.begin() + static_cast<std::ptrdiff_t>(at));
        // The next record read after a delete is the one that followed it.
        --cursor.pos;
        TAnswer answer = aMsgID == 0x334 ? chained(0x321, at16(6)) : TAnswer{};
        answer.data = std::move(record);
        return answer;
      }
      case 0x341:
        return {0, {rows.lockPresent}};
      case 0x342:
        return {};
      case 0x343: case 0x344:
        if (aMsgID == 0x344)
          if (const uint32_t r = bookmarkAt(11, 13)) return {r, {}};
        return chained(0x321, at16(5));
      case 0x351:
        return {0, U32(static_cast<uint32_t>(rows.autoInc))};
      case 0x352:
        rows.autoInc = at32(4);
        return {};
      case 0x382:
        return {};
      case 0x383: case 0x386: {
        auto other = thCursorState.find(at32(4));
        if (other == thCursorState.end()) return {nxeInvalidHandle, {}};
        TCursorRows* dest = RowsOf(other->second);
        if (!dest) return {nxeInvalidHandle, {}};
        const std::vector<std::vector<uint8_t>> records = rows.records;
        for (const auto& record : records) {
          dest->records.push_back(record);
          dest->keys.emplace_back();
          dest->bookmarks.emplace_back();
        }
        return {};
      }
      case 0x384:
        rows.records.clear();
        rows.keys.clear();
        rows.bookmarks.clear();
        rows.blobs.clear();
        cursor.pos = -1;
        return {};
      case 0x381:
        if (aRequest.size() != 9) return {nxeInvalidParameter, {}};
        return BatchAnswer(cursor, rows, static_cast<int32_t>(at32(4)), 0, p[8]);
      case 0x385: case 0x885: {
        if (aRequest.size() < 13) return {nxeInvalidParameter, {}};
        if (aMsgID == 0x885) {
          if (aRequest.size() < 21) return {nxeInvalidParameter, {}};
          if (const uint32_t r = bookmarkAt(13, 21)) return {r, {}};
        }
        return BatchAnswer(cursor, rows, static_cast<int32_t>(at32(4)), static_cast<int32_t>(at32(8)), p[12]);
      }
      case 0x37D: {
        const int32_t cutoff = reader.ReadInteger();
        const auto options = static_cast<uint8_t>(reader.ReadInteger());
        const auto recordLength = static_cast<uint32_t>(reader.ReadInteger());
        const auto keyLength = static_cast<uint32_t>(reader.ReadInteger());
        const int32_t keys = reader.ReadInteger();
        std::vector<uint8_t> out(8, 0);
        int32_t found = 0;
        reader.ReadListBegin();
        for (int32_t k = 0; k < keys; ++k) {
          reader.ReadListBegin();
          const bool direct = reader.ReadBoolean();
          reader.ReadInteger();
          reader.ReadInteger();
          reader.ReadBoolean();
          std::vector<uint8_t> key(direct ? keyLength : recordLength);
          if (!key.empty()) reader.Read(key.data(), static_cast<int64_t>(key.size()));
          reader.ReadListEnd();
          for (int32_t i = 0; i < count; ++i) {
            if (cutoff > 0 && found > 0 && out.size() >= static_cast<size_t>(cutoff)) break;
            if (CompareToKey(rows, static_cast<size_t>(i), direct, key.data(), key.size()) != 0) continue;
            AppendEntry(out, rows, static_cast<size_t>(i), options);
            ++found;
          }
        }
        reader.ReadListEnd();
        platform::StoreU32(out.data() + 4, static_cast<uint32_t>(found));
        return {0, out};
      }
      default:
        return {0, aRequest};
    }
  }

  // The text goes where a transport takes the error text of a reply from:
  // the thread's last converted exception.
  void KeepErrorText(uint32_t aCode, const std::u16string& aText) {
    try {
      RaiseError(aCode, aText);
    } catch (const std::exception& e) {
      nxConvertException(e);
    }
  }

  struct TTrans {
    int32_t level = -1;
    bool snapshot = false;
    int64_t startLSN = 0;
  };

  // Under thLock. The old forms ($901 to $906) answer without a state.
  TAnswer TransactionAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    const bool stated = aMsgID >= 0x911;
    const TnxMsgID op = stated ? aMsgID - 0x10 : aMsgID;
    uint32_t context = 0;
    if (op == 0x902) {
      context = static_cast<uint32_t>(aReader.ReadInteger());
    } else {
      if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
      context = platform::LoadU32(aRequest.data());
    }
    TTrans& t = thTrans[context];
    uint32_t code = 0;
    switch (op) {
      case 0x901:
      case 0x902: {
        bool snapshot = false;
        if (op == 0x901) {
          snapshot = aRequest.size() >= 6 && aRequest[5] != 0;
        } else {
          aReader.ReadBoolean();
          snapshot = aReader.ReadBoolean();
        }
        if (++t.level == 0) {
          t.startLSN = ++thLastLSN * 100;
          t.snapshot = snapshot;
        }
        break;
      }
      case 0x903:
      case 0x904:
        if (t.level < 0) {
          code = nxeNoTransaction;
        } else if (--t.level < 0) {
          t.startLSN = 0;
          t.snapshot = false;
        }
        break;
      case 0x906: {
        if (!stated) return {0, U32(static_cast<uint32_t>(t.level))};
        // Tagged uses one stream per thread: the parts are made one by one.
        std::vector<uint8_t> out = Tagged([&](TnxWriter& w) {
          w.WriteInteger(t.level);
          w.WriteBoolean(true);
        });
        const std::vector<uint8_t> state = TransactionState(t.level, t.snapshot, t.startLSN);
        out.insert(out.end(), state.begin(), state.end());
        return {0, out};
      }
      default:
        break;
    }
    if (!stated) return {code, {}};
    return {code, TransactionState(t.level, t.snapshot, t.startLSN)};
  }

  // Under thLock. $x F3 to $x F8 of a database, task or context: the ID
  // leads the tagged payload.
  TAnswer ObjectOptionAnswer(TnxMsgID aMsgID, TnxReader& aReader) {
    const TnxMsgID base = aMsgID & ~0xFu;
    platform::TStringList& options = thObjectOptions[{base, static_cast<uint32_t>(aReader.ReadInteger())}];
    switch (aMsgID & 0xF) {
      case 3:
        options.SetValues(aReader.ReadString(), u"");
        return {};
      case 4: {
        const std::u16string name = aReader.ReadString();
        options.SetValues(name, aReader.ReadString());
        return {};
      }
      case 5:
      case 6: {
        const std::u16string value = options.Values(aReader.ReadString());
        return {0, Tagged([&](TnxWriter& w) { w.WriteString(value); })};
      }
      default:
        return {0, Tagged([&](TnxWriter& w) { w.WriteStrings(options); })};
    }
  }

  // Under thLock: a task with the configured status.
  TAnswer NewTask() {
    const uint32_t id = ++thLastID;
    thTasks.insert(id);
    return {0, U32(id)};
  }

  // Under thLock. The tables of the database a tagged request names.
  std::vector<std::u16string>* DatabaseTables(uint32_t aDatabase) {
    auto it = thDatabases.find(aDatabase);
    if (it == thDatabases.end()) return nullptr;
    return &Tables[it->second];
  }

  // Under thLock. The table requests $21x, $25x, $27x and $71x.
  TAnswer TableAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    if (aMsgID == 0x251 || aMsgID == 0x253) {
      if (aRequest.size() < 4 || !thDatabases.count(platform::LoadU32(aRequest.data()))) return {nxeInvalidHandle, {}};
      if (aMsgID == 0x251) {
        std::vector<uint8_t> out(8);
        platform::StoreU64(out.data(), static_cast<uint64_t>(FreeSpace));
        return {0, out};
      }
      std::u16string path = thDatabases[platform::LoadU32(aRequest.data())];
      if (auto alias = FindAlias(path); alias != Aliases.end()) path = alias->second;
      std::vector<uint8_t> out(path.size() * 2);
      for (size_t i = 0; i < path.size(); ++i) platform::StoreU16(out.data() + 2 * i, path[i]);
      return {0, out};
    }
    // The password leads $215, $21E and $224.
    const bool passwordFirst = aMsgID == 0x215 || aMsgID == 0x21E || aMsgID == 0x224;
    if (passwordFirst) aReader.ReadString();
    if (aMsgID == 0x215) aReader.ReadBoolean();
    const uint32_t database = static_cast<uint32_t>(aReader.ReadInteger());
    std::vector<std::u16string>* tables = DatabaseTables(database);
    if (!tables) return {nxeInvalidHandle, {}};
    auto find = [&](const std::u16string& aName) {
      return std::find_if(tables->begin(), tables->end(),
                          [&](const std::u16string& t) { return platform::AsciiSameText(t, aName); });
    };
    if (aMsgID == 0x211) {
      aReader.ReadBoolean();
      aReader.ReadInteger();
      aReader.ReadString();
    }
    const std::u16string table = aReader.ReadString();
    const bool known = find(table) != tables->end();
    switch (aMsgID) {
      case 0x211:
        if (!known) tables->push_back(table);
        thListReplies.clear();  // the table list changed
        return {};
      case 0x721:
        return {0, {static_cast<uint8_t>(known)}};
      case 0x224:
        return known ? TAnswer{0, U32(AutoInc)} : TAnswer{nxeTableDoesNotExist, {}};
      case 0x717: {
        const std::u16string newName = aReader.ReadString();
        if (!known) return {nxeTableDoesNotExist, {}};
        *find(table) = newName;
        thListReplies.clear();
        return {};
      }
      case 0x718:
        if (!known) return {nxeTableDoesNotExist, {}};
        tables->erase(find(table));
        thListReplies.clear();
        return {};
      case 0x271:
      case 0x272: {
        aReader.ReadString();  // password
        const std::u16string key = table + u"|" + aReader.ReadString();
        if (aMsgID == 0x271) return {0, thStreams[key]};
        const int64_t size = aReader.ReadInt64();
        aReader.FlushBuffer();
        std::vector<uint8_t>& stream = thStreams[key];
        stream.assign(static_cast<size_t>(size), 0);
        if (size > 0) aReader.Read(stream.data(), size);
        return {};
      }
      case 0x21C: case 0x21D: case 0x712: case 0x713: case 0x714: case 0x71A:
        if (!known) return {nxeTableDoesNotExist, {}};
        return NewTask();
      default:
        return known ? TAnswer{} : TAnswer{nxeTableDoesNotExist, {}};
    }
  }

  // Under thLock. $501 to $503 and $5FF.
  TAnswer TaskAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    uint32_t task = 0;
    if (aMsgID == 0x503) {
      task = static_cast<uint32_t>(aReader.ReadInteger());
    } else {
      if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
      task = platform::LoadU32(aRequest.data());
    }
    if (!thTasks.count(task)) return {nxeInvalidHandle, {}};
    const TTaskStatus& st = TaskStatus;
    TnxTaskStatus status;
    status.tsStartTime = 1;
    status.tsSnapshotTime = 2;
    status.tsTotalRecs = st.totalRecs;
    status.tsRecsRead = st.recsRead;
    status.tsErrorCode = st.errorCode;
    status.tsPercentDone = st.percentDone;
    status.tsFinished = st.finished;
    status.tsErrorMessage = st.errorMessage;
    switch (aMsgID) {
      case 0x501:
        return {0, TaskStatusRaw(status)};
      case 0x502:
        thCancelled.push_back(task);
        return {};
      case 0x503:
        return {0, TaskStatusTagged(status)};
      default:
        thTasks.erase(task);
        return {};
    }
  }

  // Under thLock. The blob requests: tagged, the cursor's ID first; the
  // record forms carry the record's ID (and, for reads, whether a new
  // number is wanted) after the plain form's values.
  // Under thLock: what the cursor's active record filters take.
  TFilterMatch FilterOf(uint32_t aCursor) {
    auto it = thFilters.find(aCursor);
    if (it == thFilters.end()) return {};
    std::vector<TFilterMatch> active;
    for (auto& [id, filter] : it->second)
      if (!filter.key && filter.active) active.push_back(filter.matches);
    if (active.empty()) return {};
    return [active](const uint8_t* aRecord) {
      for (const TFilterMatch& matches : active)
        if (!matches(aRecord)) return false;
      return true;
    };
  }
  TFilterMatch TakeFilter(platform::TStream& aStream) { return FilterTaker ? FilterTaker(aStream) : TFilterMatch{}; }
  uint32_t AddFilter(uint32_t aCursor, TFilterMatch aMatches, bool aKey, bool aActive) {
    const uint32_t id = ++thLastFilterID;
    thFilters[aCursor][id] = TServerFilter{std::move(aMatches), aKey, aActive};
    return id;
  }
  // activate, deactivate, remove; aID 0 is all of the kind.
  uint32_t FilterAction(uint32_t aCursor, bool aKey, uint32_t aAction, uint32_t aID) {
    auto& filters = thFilters[aCursor];
    if (aAction > 2) return nxeInvalidParameter;
    if (aID != 0) {
      auto it = filters.find(aID);
      if (it == filters.end() || it->second.key != aKey) return nxeInvalidFilterHandle;
      if (aAction == 2) filters.erase(it);
      else it->second.active = aAction == 0;
      return 0;
    }
    for (auto it = filters.begin(); it != filters.end();) {
      if (it->second.key != aKey) { ++it; continue; }
      if (aAction == 2) { it = filters.erase(it); continue; }
      it->second.active = aAction == 0;
      ++it;
    }
    return 0;
  }
  // The chain part of $367 to $369: with a record length, the filter change
  // is followed by the first record (or the current one again, for a sync),
  // sent ahead as the $322 (or $321) reply. The order flip is not modelled.
  struct TFilterChain {
    bool first = false;
    uint32_t recordLength = 0;
  };
  static TFilterChain ReadFilterChain(TnxReader& aReader) {
    TFilterChain chain;
    aReader.ReadBoolean();  // flip order
    chain.first = aReader.ReadBoolean();
    chain.recordLength = static_cast<uint32_t>(aReader.ReadInteger());
    aReader.ReadInteger();  // bookmark size
    return chain;
  }
  TAnswer WithFilterChain(uint32_t aCursor, const TFilterChain& aChain, TAnswer aAnswer) {
    if (aAnswer.code != 0 || aChain.recordLength == 0) return aAnswer;
    auto state = thCursorState.find(aCursor);
    TCursorRows* rows = state == thCursorState.end() ? nullptr : RowsOf(state->second);
    if (!rows) return aAnswer;
    if (aChain.first) {
      state->second.pos = -1;
      aAnswer.ahead.emplace_back(0x322, Read(state->second, *rows, 1, aChain.recordLength, FilterOf(aCursor)));
    } else {
      aAnswer.ahead.emplace_back(0x321, Read(state->second, *rows, 0, aChain.recordLength));
    }
    return aAnswer;
  }
  TAnswer FilterAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    const bool tagged = aMsgID >= 0x367 && aMsgID <= 0x369;
    std::vector<uint8_t> taggedCopy = aRequest;
    TnxStaticMemoryStream in(taggedCopy.data(), static_cast<int64_t>(taggedCopy.size()));
    TnxReader aReader(in);
    if (!tagged && aRequest.size() < 4) return {nxeInvalidParameter, {}};
    const uint32_t cursor = tagged ? static_cast<uint32_t>(aReader.ReadInteger()) : platform::LoadU32(aRequest.data());
    if (!thCursors.count(cursor)) return {nxeInvalidHandle, {}};
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream raw(copy.data(), static_cast<int64_t>(copy.size()));
    raw.SetPosition(4);
    switch (aMsgID) {
      case 0x361: case 0x36A: {
        TFilterMatch matches = TakeFilter(raw);
        if (!matches) return {nxeCapabilityNotSupported, {}};
        return {0, U32(AddFilter(cursor, std::move(matches), aMsgID == 0x36A, false))};
      }
      case 0x362: return {};
      case 0x363: case 0x364: case 0x365:
      case 0x36B: case 0x36C: case 0x36D:
        if (aRequest.size() < 8) return {nxeInvalidParameter, {}};
        return {FilterAction(cursor, aMsgID >= 0x36B, (aMsgID - 0x363) & 0x7, platform::LoadU32(aRequest.data() + 4))};
      case 0x367: {
        const uint32_t action = static_cast<uint32_t>(aReader.ReadInteger());
        const uint32_t id = static_cast<uint32_t>(aReader.ReadInteger());
        const TFilterChain chain = ReadFilterChain(aReader);
        return WithFilterChain(cursor, chain, {FilterAction(cursor, false, action, id)});
      }
      case 0x368: case 0x369: {
        uint32_t drop = 0;
        if (aMsgID == 0x369) {
          drop = static_cast<uint32_t>(aReader.ReadInteger());
          const bool ignoreDropError = aReader.ReadBoolean();
          const uint32_t dropped = drop ? FilterAction(cursor, false, 2, drop) : 0;
          if (dropped != 0 && !ignoreDropError) return {dropped, Tagged([](TnxWriter& w) { w.WriteInteger(0); })};
        }
        const bool activated = aReader.ReadBoolean();
        const TFilterChain chain = ReadFilterChain(aReader);
        aReader.FlushBuffer();
        TFilterMatch matches = TakeFilter(in);
        const uint32_t id = matches ? AddFilter(cursor, std::move(matches), false, activated) : 0;
        return WithFilterChain(cursor, chain,
                               {id ? 0u : nxeCapabilityNotSupported,
                                Tagged([id](TnxWriter& w) { w.WriteInteger(static_cast<int32_t>(id)); })});
      }
      case 0x304: {
        TFilterMatch matches = TakeFilter(raw);
        if (!matches) return {nxeCapabilityNotSupported, {}};
        uint8_t forward = 1;
        if (raw.Read(&forward, 1) != 1) return {nxeInvalidParameter, {}};
        auto state = thCursorState.find(cursor);
        TCursorRows* rows = state == thCursorState.end() ? nullptr : RowsOf(state->second);
        if (!rows) return {};
        const int32_t count = static_cast<int32_t>(rows->records.size());
        for (int32_t n = 0; n < count; ++n) {
          const int32_t i = forward ? n : count - 1 - n;
          if (matches(rows->records[static_cast<size_t>(i)].data())) {
            state->second.pos = i;
            return {};
          }
        }
        return {nxeNoCurrentRecord, {}};
      }
    }
    return {nxeInvalidParameter, {}};
  }

  TAnswer BlobAnswer(TnxMsgID aMsgID, TnxReader& aReader) {
    const uint32_t cursor = static_cast<uint32_t>(aReader.ReadInteger());
    if (!thCursors.count(cursor)) return {nxeInvalidHandle, {}};
    if (aMsgID == 0x39C) {
      CancelledBlobRecords.push_back(aReader.ReadInt64());
      return {};
    }
    if (aMsgID == 0x39D) {
      const int32_t count = aReader.ReadInteger();
      std::vector<uint8_t> out(2 + 8 * static_cast<size_t>(std::max(count, 0)));
      platform::StoreU16(out.data(), static_cast<uint16_t>(std::max(count, 0)));
      if (count < 1) return {0, std::move(out)};
      aReader.ReadInt64();
      aReader.ReadInt64();
      aReader.ReadListBegin();
      for (int32_t i = 0; i < count; ++i) {
        aReader.ReadInteger();  // state
        aReader.ReadInt64();    // the client's number
        aReader.ReadInteger();  // field
        std::vector<uint8_t> data;
        const TValueType kind = aReader.NextValue();
        if (kind == vaWString || kind == vaString || kind == vaUTF8String)
          aReader.ReadString();
        else
          data = aReader.ReadBytes();
        const int64_t nr = ++NextBlobNr;
        Blobs[nr] = std::move(data);
        platform::StoreU64(out.data() + 2 + 8 * static_cast<size_t>(i), static_cast<uint64_t>(nr));
      }
      aReader.ReadListEnd();
      return {0, std::move(out)};
    }
    const int32_t field = aReader.ReadInteger();
    (void)field;
    const bool recordForm = aMsgID >= 0xA91;
    const TnxMsgID op = recordForm ? aMsgID - 0x200 : aMsgID;
    auto newNr = [&]() -> std::vector<uint8_t> {
      std::vector<uint8_t> out(8);
      platform::StoreU64(out.data(), static_cast<uint64_t>(++NextBlobNr));
      Blobs[NextBlobNr] = {};
      return out;
    };
    if (op == 0x891) return {0, newNr()};
    if (op == 0x892) {
      aReader.ReadString();
      return {0, newNr()};
    }
    int64_t nr = aReader.ReadInt64();
    if (op == 0x39B) {
      const uint32_t len = static_cast<uint32_t>(aReader.ReadInt64());
      aReader.ReadInt64();
      aReader.ReadInt64();
      std::vector<uint8_t> data(len);
      aReader.FlushBuffer();
      if (len) aReader.Read(data.data(), len);
      if (nr == 0 || !Blobs.count(nr)) nr = ++NextBlobNr;
      Blobs[nr] = std::move(data);
      return {0, Tagged([&](TnxWriter& w) { w.WriteInteger(int64_t{nr}); })};
    }
    uint32_t offset = 0, len = 0, newLength = 0;
    int32_t state = 0;
    bool lengthWanted = false;
    if (op == 0x895 || op == 0x896 || op == 0x89B) {
      offset = static_cast<uint32_t>(aReader.ReadInt64());
      len = static_cast<uint32_t>(aReader.ReadInt64());
    }
    if (op == 0x897) newLength = static_cast<uint32_t>(aReader.ReadInt64());
    if (op == 0x895 || op == 0x89A || op == 0x89B) aReader.ReadBoolean();  // read original
    if (op == 0x89B) {
      state = aReader.ReadInteger();
      lengthWanted = aReader.ReadBoolean();
      BlobSnapshotStates.push_back(state);
    }
    bool wanted = false;
    if (recordForm) {
      aReader.ReadInt64();
      aReader.ReadInt64();
      if (op == 0x895 || op == 0x89A || op == 0x89B) wanted = aReader.ReadBoolean();
    }
    uint32_t code = 0;
    int64_t reported = 0;
    if (auto moved = BlobRenumbered.find(nr); moved != BlobRenumbered.end()) {
      code = nxeBlobModified;
      reported = moved->second;
    } else if (!Blobs.count(nr)) {
      code = nxeInvalidBlobHandle;
    }
    std::vector<uint8_t>* blob = code == 0 ? &Blobs[nr] : nullptr;
    // The bytes a read answers: what the blob holds from the offset, plus the overrun.
    // A read's reply: aHeader bytes, then what the blob holds from the
    // offset, plus the overrun (built in one piece: a benchmark reads 64 MiB).
    auto readReply = [&](size_t aHeader, size_t& aCount) {
      const size_t from = blob ? std::min<size_t>(offset, blob->size()) : 0;
      const size_t n = blob ? std::min<size_t>(len, blob->size() - from) : 0;
      aCount = n + BlobExtraBytes;
      std::vector<uint8_t> out;
      out.reserve(aHeader + aCount);
      out.resize(aHeader);
      if (n) out.insert(out.end(), blob->begin() + static_cast<std::ptrdiff_t>(from),
                        blob->begin() + static_cast<std::ptrdiff_t>(from + n));
      out.resize(aHeader + aCount, 0xEE);
      return out;
    };
    auto newNumber = [&](std::vector<uint8_t>& aOut, size_t aAt) {
      aOut[aAt] = uint8_t(wanted && reported != 0);
      if (wanted && reported != 0) platform::StoreU64(aOut.data() + aAt + 1, static_cast<uint64_t>(reported));
    };
    switch (op) {
      case 0x893:
      case 0x894:
        if (code == 0) Blobs.erase(nr);
        return {code, {}};
      case 0x896: {
        std::vector<uint8_t> data(len);
        aReader.FlushBuffer();
        if (len) aReader.Read(data.data(), len);
        if (!blob) return {code, {}};
        if (blob->size() < size_t{offset} + len) blob->resize(size_t{offset} + len);
        std::copy(data.begin(), data.end(), blob->begin() + offset);
        return {};
      }
      case 0x897:
        if (blob) blob->resize(newLength);
        return {code, {}};
      case 0x89A: {
        std::vector<uint8_t> out(recordForm ? 13 : 4);
        platform::StoreU32(out.data(), blob ? static_cast<uint32_t>(blob->size()) : 0);
        if (recordForm) newNumber(out, 4);
        return {code, std::move(out)};
      }
      case 0x895: {
        size_t count = 0;
        if (!recordForm) return {code, readReply(0, count)};
        std::vector<uint8_t> out = readReply(13, count);
        platform::StoreU32(out.data(), static_cast<uint32_t>(count));
        newNumber(out, 4);
        return {code, std::move(out)};
      }
      default: {  // 0x89B
        // The snapshot opens with the first chunk (requested 1, started 4)
        // and closes with the last (close requested 5, closed 7).
        int32_t answered = state;
        if (state == 1) answered = 4;
        if (state == 5) answered = 7;
        size_t count = 0;
        std::vector<uint8_t> out = readReply(recordForm ? 18 : 9, count);
        out[0] = static_cast<uint8_t>(answered);
        platform::StoreU32(out.data() + 1, blob && lengthWanted ? static_cast<uint32_t>(blob->size()) : 0);
        platform::StoreU32(out.data() + 5, static_cast<uint32_t>(count));
        if (recordForm) newNumber(out, 9);
        return {code, std::move(out)};
      }
    }
  }

  // Under thLock. The table-level cursor requests ($3Ax to $3F0).
  TAnswer CursorTableAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    static const std::set<TnxMsgID> kTagged = {0x3A2, 0x3A5, 0x3A6, 0x3C2, 0x3EA, 0x3EB};
    if (!kTagged.count(aMsgID) && aRequest.size() < 4) return {nxeInvalidParameter, {}};
    const uint32_t id =
        kTagged.count(aMsgID) ? static_cast<uint32_t>(aReader.ReadInteger()) : platform::LoadU32(aRequest.data());
    auto state = thCursorState.find(id);
    if (!thCursors.count(id) || state == thCursorState.end()) return {nxeInvalidHandle, {}};
    const std::u16string& table = state->second.table;
    switch (aMsgID) {
      case 0x3A2: {
        const std::u16string name = aReader.ReadString();
        const int64_t size = aReader.ReadInt64();
        aReader.FlushBuffer();
        std::vector<uint8_t>& stream = CursorStreams[table + u"|" + name];
        stream.assign(static_cast<size_t>(size), 0);
        if (size > 0) aReader.Read(stream.data(), size);
        return {};
      }
      case 0x3A5:
        return CursorStreams.erase(table + u"|" + aReader.ReadString()) ? TAnswer{} : TAnswer{nxeInvalidParameter, {}};
      case 0x3A6: {
        auto it = CursorStreams.find(table + u"|" + aReader.ReadString());
        return it == CursorStreams.end() ? TAnswer{nxeInvalidParameter, {}} : TAnswer{0, it->second};
      }
      case 0x3A7: {
        platform::TStringList names;
        for (const auto& [key, bytes] : CursorStreams)
          if (key.rfind(table + u"|", 0) == 0) names.Add(key.substr(table.size() + 1));
        return {0, Tagged([&](TnxWriter& w) { w.WriteStrings(names); })};
      }
      case 0x3B1: {
        const uint8_t held = TableLocks[table];
        const uint8_t asked = aRequest.size() > 4 ? aRequest[4] : 0;
        // Locked by us (1) or not at all (0).
        return {0, {static_cast<uint8_t>(held != 0 && held >= asked ? 1 : 0)}};
      }
      case 0x3B2:
        TableLocks[table] = aRequest.size() > 4 ? aRequest[4] : 0;
        return {};
      case 0x3B3:
        TableLocks[table] = 0;
        return {};
      case 0x3C2:
        TablePasswords[table] = aReader.ReadString();
        return {};
      case 0x3D1:
        return {0, U32(RecordCount)};
      case 0x3D3:
        return {0, U32(RecordCount + (aRequest.size() > 4 ? aRequest[4] : 0))};
      case 0x3D2:
        return NewTask();
      case 0x3EA: {
        const int64_t lsn = aReader.ReadInt64();
        const int64_t refNr = aReader.ReadInt64();
        for (const auto& [l, r] : RecordVersions)
          if ((lsn == 0 || lsn == l) && (refNr == 0 || refNr == r))
            return {0, Tagged([&](TnxWriter& w) {
                      w.WriteInteger(int64_t{l});
                      w.WriteInteger(int64_t{r});
                    })};
        return {nxeRecordNotFound, {}};
      }
      case 0x3EB: {
        const int64_t from = aReader.ReadInt64();
        const int32_t max = aReader.ReadInteger();
        const bool current = aReader.ReadBoolean();
        std::vector<std::pair<int64_t, int64_t>> found;
        for (const auto& entry : DeletedRecords)
          if (entry.second > from && (max <= 0 || static_cast<int32_t>(found.size()) < max)) found.push_back(entry);
        return {0, Tagged([&](TnxWriter& w) {
                  w.WriteInteger(static_cast<int32_t>(found.size()));
                  if (!found.empty()) {
                    w.WriteListBegin();
                    for (const auto& [refNr, lsn] : found) {
                      uint8_t raw[16];
                      platform::StoreU64(raw, static_cast<uint64_t>(refNr));
                      platform::StoreU64(raw + 8, static_cast<uint64_t>(lsn));
                      w.Write(raw, 16);
                    }
                    w.WriteListEnd();
                  }
                  if (current) w.WriteInteger(int64_t{CurrentLSN});
                })};
      }
      default:  // 0x3F0
        return {};
    }
  }

  // ---- statements ----
  struct TStatementParam {
    std::u16string name;
    int32_t type = 0;  // 0 unknown, 1 input, 2 output, 3 input-output, 4 result
    int32_t dataType = 0;
    std::vector<uint8_t> data;
  };
  struct TServerStatement {
    uint32_t database = 0;
    uint32_t timeout = 0;
    std::u16string text;  // prepared; empty: not yet
    std::vector<TStatementParam> params;
  };
  static bool ParamCarriesIn(int32_t aType) { return aType == 0 || aType == 1 || aType == 3; }
  static bool ParamCarriesOut(int32_t aType) { return aType == 2 || aType == 3 || aType == 4; }
  // The parameters of $403 and $242, after their count.
  static std::vector<TStatementParam> ReadStatementParams(TnxReader& aReader, int32_t aCount) {
    std::vector<TStatementParam> params(static_cast<size_t>(std::max(aCount, 0)));
    for (TStatementParam& param : params) {
      param.name = aReader.ReadString();
      param.type = aReader.ReadInteger();
      param.dataType = aReader.ReadInteger();
      const int32_t len = aReader.ReadInteger();
      if (len > 0) {
        param.data.resize(static_cast<size_t>(len));
        aReader.ReadListBegin();
        aReader.Read(param.data.data(), len);
        aReader.ReadListEnd();
      }
    }
    return params;
  }
  // The values asked for (name, type and data type each) as $404 gives them back.
  static std::vector<uint8_t> StatementParamsBack(const TServerStatement& aStatement,
                                                  const std::vector<TStatementParam>& aAsked) {
    return Tagged([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aAsked.size()));
      for (const TStatementParam& asked : aAsked) {
        w.WriteInteger(asked.dataType);
        if (!ParamCarriesOut(asked.type)) {
          w.WriteInteger(0);
          continue;
        }
        std::vector<uint8_t> value;
        for (const TStatementParam& held : aStatement.params)
          if (held.name == asked.name) value = held.data;
        w.WriteInteger(static_cast<int32_t>(value.size()));
        if (value.empty()) continue;
        w.WriteListBegin();
        w.Write(value.data(), static_cast<int64_t>(value.size()));
        w.WriteListEnd();
      }
    });
  }
  // Under thLock. Runs a prepared statement: its output values, then its
  // result set (cursor ID, dictionary, a byte and the index ID; ID 0 alone
  // for none).
  TAnswer RunStatement(TServerStatement& aStatement) {
    auto script = Statements.find(aStatement.text);
    if (aStatement.text.empty() || script == Statements.end()) return {nxeInvalidParameter, {}};
    if (script->second.execCode != 0) return {script->second.execCode, {}};
    for (TStatementParam& param : aStatement.params) {
      if (!ParamCarriesOut(param.type)) continue;
      auto out = script->second.outputs.find(param.name);
      if (out != script->second.outputs.end()) param.data = out->second;
      else if (param.type != 3) param.data.clear();
    }
    if (script->second.resultTable.empty()) return {0, U32(0)};
    const TCursorTable* found = nullptr;
    for (const auto& [name, entry] : CursorTables)
      if (platform::AsciiSameText(name, script->second.resultTable)) found = &entry;
    if (!found) return {nxeTableDoesNotExist, {}};
    const uint32_t id = ++thLastID;
    thCursors.insert(id);
    thCursorIndex[id] = found->indexID;
    thCursorState[id].table = script->second.resultTable;
    std::vector<uint8_t> out = U32(id);
    out.insert(out.end(), found->dictionary.begin(), found->dictionary.end());
    out.push_back(0);
    const std::vector<uint8_t> index = U32(static_cast<uint32_t>(found->indexID));
    out.insert(out.end(), index.begin(), index.end());
    return {0, out};
  }
  // Under thLock. $242: the phase reached, then a block (u32 length and
  // bytes) per phase run.
  TAnswer ExecDirectAnswer(TnxReader& aReader) {
    TServerStatement statement;
    statement.database = static_cast<uint32_t>(aReader.ReadInteger());
    statement.timeout = static_cast<uint32_t>(aReader.ReadInteger());
    aReader.ReadInteger();  // statement type
    const std::u16string text = aReader.ReadString();
    const int32_t count = aReader.ReadInteger();
    const bool getParams = count > 0 && aReader.ReadInteger() == 3;
    statement.params = ReadStatementParams(aReader, count);
    aReader.ReadInteger();  // open mode
    if (!thDatabases.count(statement.database)) return {nxeInvalidHandle, {}};
    std::vector<uint8_t> out{0};
    auto block = [&](uint8_t aPhase, const std::vector<uint8_t>& aBytes) {
      out[0] = aPhase;
      const std::vector<uint8_t> len = U32(static_cast<uint32_t>(aBytes.size()));
      out.insert(out.end(), len.begin(), len.end());
      out.insert(out.end(), aBytes.begin(), aBytes.end());
    };
    block(1, {});
    if (!Statements.count(text)) return {nxeInvalidParameter, out};
    statement.text = text;
    block(2, {});
    TAnswer exec = RunStatement(statement);
    block(3, exec.code == 0 ? exec.data : std::vector<uint8_t>());
    if (exec.code != 0) return {exec.code, out};
    if (getParams) block(4, StatementParamsBack(statement, statement.params));
    return {0, out};
  }
  // Under thLock.
  TAnswer StatementAnswer(TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    if (aMsgID == 0x242) return ExecDirectAnswer(aReader);
    const bool raw = aMsgID == 0x241 || aMsgID == 0x402 || aMsgID == 0x4F0 || aMsgID == 0x4FF;
    if (raw && aRequest.size() < 4) return {nxeInvalidParameter, {}};
    const uint32_t id = raw ? platform::LoadU32(aRequest.data()) : static_cast<uint32_t>(aReader.ReadInteger());
    if (aMsgID == 0x241) {
      if (!thDatabases.count(id) || aRequest.size() < 8) return {nxeInvalidHandle, {}};
      const uint32_t statement = ++thLastID;
      thStatements[statement] = {id, platform::LoadU32(aRequest.data() + 4), {}, {}};
      return {0, U32(statement)};
    }
    auto it = thStatements.find(id);
    if (it == thStatements.end()) return {nxeInvalidHandle, {}};
    TServerStatement& statement = it->second;
    switch (aMsgID) {
      case 0x401: {
        aReader.ReadInteger();  // statement type
        std::u16string text = aReader.ReadWideString_();
        if (!Statements.count(text)) return {nxeInvalidParameter, {}};
        statement.text = std::move(text);
        return {};
      }
      case 0x402:
        return RunStatement(statement);
      case 0x403: {
        const int32_t count = aReader.ReadInteger();
        if (count > 0) aReader.ReadInteger();
        statement.params = ReadStatementParams(aReader, count);
        return {};
      }
      case 0x404: {
        std::vector<TStatementParam> asked(static_cast<size_t>(std::max(aReader.ReadInteger(), 0)));
        for (TStatementParam& param : asked) {
          param.name = aReader.ReadString();
          param.type = aReader.ReadInteger();
          param.dataType = aReader.ReadInteger();
        }
        return {0, StatementParamsBack(statement, asked)};
      }
      case 0x4F0:
        if (aRequest.size() < 8) return {nxeInvalidParameter, {}};
        statement.timeout = platform::LoadU32(aRequest.data() + 4);
        return {};
      default:
        thStatements.erase(it);
        return {};
    }
  }
  std::map<uint32_t, TServerStatement> thStatements;  // open statements, by ID

  mutable std::mutex thLock;
  TServedBackend* thBackend = nullptr;
  std::map<TnxMsgID, TScriptedReply> thScript;
  struct TServerFilter {
    TFilterMatch matches;
    bool key = false;
    bool active = false;
  };
  std::map<uint32_t, std::map<uint32_t, TServerFilter>> thFilters;  // by cursor, then filter ID
  uint32_t thLastFilterID = 0;
  std::vector<TReceivedRequest> thReceived;
  std::vector<std::pair<std::u16string, std::u16string>> thLogins;
  std::set<TnxSessionID> thSessions;
  TnxSessionID thLastSession = 0;
  std::vector<TReceivedRequest> thEvents;
  std::map<TnxSessionID, platform::TStringList> thOptions;
  std::map<uint32_t, std::u16string> thDatabases;  // open databases: their alias or path
  std::set<uint32_t> thCursors;                    // open cursors
  std::map<uint32_t, int32_t> thCursorIndex;       // their index IDs
  std::map<uint32_t, TServerCursor> thCursorState;
  std::map<std::u16string, std::vector<uint8_t>> thListReplies;  // see CachedList
  uint32_t thLastID = 100;
  std::map<uint32_t, TTrans> thTrans;                                    // by context
  int64_t thLastLSN = 0;
  std::set<uint32_t> thTasks;                                            // open tasks
  std::vector<uint32_t> thCancelled;                                     // in order
  std::map<std::pair<TnxMsgID, uint32_t>, platform::TStringList> thObjectOptions;
  std::map<std::u16string, std::vector<uint8_t>> thStreams;              // "table|stream"
  // The last batch built and what it was built for: a batch read asked
  // again of unchanged rows is answered with the same bytes, so that a
  // benchmark measures the client's road rather than this stand-in server.
  struct TBatchCache {
    const TCursorRows* rows = nullptr;
    int32_t from = 0, to = 0, cutoff = 0, maxRecords = 0;
    uint8_t options = 0;
    std::shared_ptr<const TBatchBytes> bytes;
  } thBatchCache;  // under thLock; cleared by every change of rows
  std::condition_variable thLateWake;
  bool thLateReleased = false;
  int thLateHeld = 0;
};

}  // namespace revurov::testing
