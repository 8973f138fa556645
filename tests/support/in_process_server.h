// A real in-process server engine behind the test command handler: the
// handler's sessions are server sessions, its default answers come from the
// server's databases, cursors and transaction contexts on table files in a
// temporary folder, so that remote engine, TCP transport, server engine and
// table files run together.
//
// - Object IDs on the wire are the server objects' handles; an ID that is
//   unknown, stale or of another session answers 9990 (the handle table's
//   lookup by the session).
// - One session's requests are served one at a time: the session lock
//   refuses a second thread with 8455, while a transport may serve one
//   session on several threads.
// - Seeding: every alias of the handler's model becomes a folder under the
//   temporary folder (the model's path is not used); its table names
//   become tables of one integer field "ID", every cursor table is built
//   from its dictionary in every alias, and the rows of a cursor table
//   replace its records whenever the model's rows change. A table is
//   seeded once: what the engine does to it afterwards stays.
// - Served: log-in, options and timeouts of every object, aliases,
//   database open and close, path and free space, table list, changed
//   tables, table build, rename, delete, empty, existence and auto-inc
//   value, the maintenance the server database has as tasks (pack, index
//   rebuild, recover, backup, checksum check) and their status, cancel and
//   close, transaction contexts and transactions, cursor open, duplicate
//   and close, positioning, single-record reads, bookmarks, record counts
//   (also as a task),
//   record and table locks, auto-inc, inserts, modifies, deletes, deleting
//   all records and batch reads. Anything else (blobs, filters, key
//   searches and ranges, statements, streams) answers 12289.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/engine_types.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "engine/batch_stream.h"
#include "engine/extendable_object.h"
#include "engine/timeout_object.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/startup.h"
#include "support/engine_fixture.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"
#include "support/test_command_handler.h"

namespace revurov::testing {

class TInProcessServer : public TTestCommandHandler::TServedBackend {
public:
  using TAnswer = TTestCommandHandler::TAnswer;

  TInProcessServer() {
    engine_->SetReadings(FixedReadings());
    engine_->SetMaxRAM(16);
    engine_->SetActive(true);
    TnxAbstractServerObject* session = nullptr;
    if (engine_->SessionOpenEx(session, u"seed", u"", u"seed", 10000, nxInProcessClientVersion) == 0)
      seed_ = static_cast<TnxAbstractSession*>(session);
  }
  ~TInProcessServer() override {
    std::map<TnxSessionID, std::shared_ptr<TServed>> served;
    {
      std::lock_guard<std::mutex> guard(lock_);
      served.swap(served_);
    }
    for (auto& [id, s] : served) {
      std::lock_guard<std::mutex> guard(s->lock);
      FreeSession(*s);
    }
    for (auto& [key, db] : seedDatabases_) db->Free();
    if (seed_) seed_->Free();
    engine_->SetActive(false);
  }
  TInProcessServer(const TInProcessServer&) = delete;
  TInProcessServer& operator=(const TInProcessServer&) = delete;

  TnxServerEngine& Engine() { return *engine_; }
  // The folder an alias of the model was given.
  std::u16string FolderOf(const std::u16string& aAlias) const {
    return platform::Utf8ToUtf16(folder_.Dir()) + AliasFolderName(aAlias) + u"/";
  }
  // The seeding session's database on aAlias (opened once), for steps
  // taken directly on the server beside the remote ones.
  TnxAbstractDatabase* Direct(const std::u16string& aAlias) {
    std::lock_guard<std::mutex> guard(lock_);
    return SeedDatabase(aAlias);
  }
  // The server session behind a handler session; nil when none.
  TnxAbstractSession* ServerSession(TnxSessionID aSessionID) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = served_.find(aSessionID);
    return it == served_.end() ? nullptr : it->second->session;
  }

  uint32_t AddSession(TnxSessionID aSessionID, const std::u16string& aUserName, const std::u16string& aPassword,
                      int32_t aClientVersion, int32_t& aServerVersion) override {
    TnxAbstractServerObject* session = nullptr;
    const uint32_t result = engine_->SessionOpenEx(session, aUserName, aPassword, u"127.0.0.1", 10000,
                                                   std::min(aClientVersion, nxInProcessClientVersion));
    if (result != 0) return result;
    auto served = std::make_shared<TServed>();
    served->session = static_cast<TnxAbstractSession*>(session);
    served->clientVersion = std::min(aClientVersion, nxInProcessClientVersion);
    aServerVersion = nxInProcessClientVersion;
    std::lock_guard<std::mutex> guard(lock_);
    served_[aSessionID] = std::move(served);
    return 0;
  }

  uint32_t RemoveSession(TnxSessionID aSessionID) override {
    std::shared_ptr<TServed> served;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = served_.find(aSessionID);
      if (it == served_.end()) return nxeInvalidHandle;
      served = std::move(it->second);
      served_.erase(it);
    }
    std::lock_guard<std::mutex> guard(served->lock);
    FreeSession(*served);
    return 0;
  }

  TAnswer Answer(TnxMsgID aMsgID, TnxSessionID aSessionID, const std::vector<uint8_t>& aRequest) override {
    std::shared_ptr<TServed> served;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = served_.find(aSessionID);
      if (it != served_.end()) served = it->second;
    }
    if (!served) return {nxeInvalidHandle};
    std::lock_guard<std::mutex> guard(served->lock);
    if (!served->session) return {nxeInvalidHandle};
    try {
      return Serve(*served, aMsgID, aRequest);
    } catch (const std::exception& e) {
      // A request that does not read as its layout says.
      return {nxConvertException(e)};
    }
  }

  void Seed(const TTestCommandHandler& aModel) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!seed_) return;
    TnxAliasDescriptors held;
    seed_->AliasGetList(held);
    for (const auto& [alias, path] : aModel.Aliases) {
      bool known = false;
      for (const auto& entry : held)
        if (platform::AsciiSameText(entry->adAlias, alias)) known = true;
      if (known) continue;
      std::filesystem::create_directories(folder_.Path(platform::Utf16ToUtf8(AliasFolderName(alias))));
      if (seed_->AliasAdd(alias, FolderOf(alias), false) == 0) seededAliases_.insert(alias);
    }
    for (const auto& entry : held) {
      bool wanted = false;
      for (const auto& [alias, path] : aModel.Aliases)
        if (platform::AsciiSameText(entry->adAlias, alias)) wanted = true;
      // Only what the model seeded goes with it; aliases the engine's
      // clients added stay.
      if (!wanted && seededAliases_.erase(entry->adAlias)) {
        auto db = seedDatabases_.find(entry->adAlias);
        if (db != seedDatabases_.end()) {
          db->second->Free();
          seedDatabases_.erase(db);
        }
        seed_->AliasDelete(entry->adAlias);
      }
    }
    for (const auto& [alias, tables] : aModel.Tables)
      for (const auto& table : tables) SeedPlainTable(alias, table);
    for (const auto& [alias, path] : aModel.Aliases) {
      for (const auto& [table, shape] : aModel.CursorTables) SeedCursorTable(alias, table, shape.dictionary);
      for (const auto& [table, rows] : aModel.CursorRows) SeedRows(alias, table, rows.records);
    }
  }

private:
  struct TServed {
    std::mutex lock;  // one request of the session at a time
    TnxAbstractSession* session = nullptr;
    int32_t clientVersion = nxInProcessClientVersion;
  };

  static std::u16string AliasFolderName(const std::u16string& aAlias) {
    std::u16string name;
    for (char16_t c : aAlias) name += (c < 0x80 && std::isalnum(static_cast<int>(c))) ? c : u'_';
    return u"alias_" + name;
  }
  void FreeSession(TServed& aServed) {
    if (aServed.session) aServed.session->Free();
    aServed.session = nullptr;
  }

  // ---- seeding (under lock_) ----
  TnxAbstractDatabase* SeedDatabase(const std::u16string& aAlias) {
    auto it = seedDatabases_.find(aAlias);
    if (it != seedDatabases_.end()) return it->second;
    if (!seed_) return nullptr;
    TnxAbstractDatabase* db = nullptr;
    if (seed_->DatabaseOpen(db, u"Name", aAlias, nullptr, omReadWrite, smShared, 10000) != 0) return nullptr;
    seedDatabases_[aAlias] = db;
    return db;
  }
  void SeedPlainTable(const std::u16string& aAlias, const std::u16string& aTable) {
    if (!seeded_.insert(aAlias + u"|" + aTable).second) return;
    TnxAbstractDatabase* db = SeedDatabase(aAlias);
    if (!db) return;
    TnxDataDictionary dictionary;
    dictionary.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    db->TableBuild(false, aTable, u"", &dictionary, tsPersistent, false);
  }
  void SeedCursorTable(const std::u16string& aAlias, const std::u16string& aTable,
                       const std::vector<uint8_t>& aDictionary) {
    if (aDictionary.empty() || !seeded_.insert(aAlias + u"|" + aTable).second) return;
    TnxAbstractDatabase* db = SeedDatabase(aAlias);
    if (!db) return;
    std::vector<uint8_t> bytes = aDictionary;
    TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
    TnxDataDictionary dictionary;
    dictionary.ReadFromStream(stream, aTable);
    db->TableBuild(false, aTable, u"", &dictionary, tsPersistent, false);
  }
  void SeedRows(const std::u16string& aAlias, const std::u16string& aTable,
                const std::vector<std::vector<uint8_t>>& aRecords) {
    auto& last = seededRows_[aAlias + u"|" + aTable];
    if (last == aRecords) return;
    last = aRecords;
    TnxAbstractDatabase* db = SeedDatabase(aAlias);
    if (!db || db->TableEmpty(aTable, u"") != 0) return;
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, aTable, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return;
    for (const auto& record : aRecords) {
      std::vector<uint8_t> buffer = record;
      cursor->RecordInsert(nxltNoLock, buffer.data(), nullptr);
    }
    cursor->Free();
  }

  // ---- serving (under the session's lock) ----
  template <class T>
  static T* Find(TServed& aServed, uint32_t aID) {
    T* object = nullptr;
    TnxAbstractServerObject::LookupByID<T>(aServed.session->RemoteID(), aID, object);
    return object;
  }
  static uint32_t At32(const std::vector<uint8_t>& aRequest, size_t aOffset) {
    return aRequest.size() >= aOffset + 4 ? platform::LoadU32(aRequest.data() + aOffset) : 0;
  }
  static uint16_t At16(const std::vector<uint8_t>& aRequest, size_t aOffset) {
    return aRequest.size() >= aOffset + 2 ? platform::LoadU16(aRequest.data() + aOffset) : 0;
  }
  static uint8_t At8(const std::vector<uint8_t>& aRequest, size_t aOffset) {
    return aRequest.size() > aOffset ? aRequest[aOffset] : 0;
  }
  static std::vector<uint8_t> ReadRecord(TnxReader& aReader) {
    const int32_t length = aReader.ReadInteger();
    if (length < 0 || length > 0xFFFF) throw EnxBaseException(nxeInvalidParameter);
    std::vector<uint8_t> record(static_cast<size_t>(length));
    aReader.ReadListBegin();
    if (length) aReader.Read(record.data(), length);
    aReader.ReadListEnd();
    return record;
  }
  static std::vector<uint8_t> Strings(const platform::TStringList& aList) {
    std::vector<std::u16string> names;
    for (int i = 0; i < aList.Count(); ++i) names.push_back(aList[i]);
    return TTestCommandHandler::NameList(names);
  }
  // A read of aLength bytes of the current (0), next (1) or prior (2) record.
  static TAnswer Read(TnxAbstractCursor& aCursor, int aKind, uint32_t aLength, TnxLockType aLock = nxltNoLock) {
    TnxFieldsDescriptor* fields = aCursor.TableDescriptor() ? &aCursor._Dictionary()->FieldsDescriptor() : nullptr;
    const size_t recordLength = fields ? static_cast<size_t>(fields->RecordLength()) : 0;
    std::vector<uint8_t> record(std::max<size_t>(recordLength, 1));
    uint8_t* into = aLength ? record.data() : nullptr;
    const uint32_t code = aKind == 1   ? aCursor.RecordGetNext(aLock, into)
                          : aKind == 2 ? aCursor.RecordGetPrior(aLock, into)
                                       : aCursor.RecordGet(aLock, into);
    if (code != 0) return {code};
    record.resize(std::min<size_t>(aLength, recordLength));
    return {0, std::move(record)};
  }
  static TAnswer Chained(uint32_t aCode, TnxMsgID aReadID, TAnswer aRead) {
    TAnswer answer{aCode};
    answer.ahead.emplace_back(aReadID, std::move(aRead));
    return answer;
  }
  static std::vector<uint8_t> State(TnxAbstractTransContext& aContext) {
    TnxTransactionInfo info;
    info.tiLevel = -1;
    aContext.TransactionGetInfo(info, false);
    return TTestCommandHandler::Tagged([&](TnxWriter& w) { TTestCommandHandler::WriteTransactionInfo(w, info); });
  }

  TAnswer Serve(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    TnxAbstractSession& session = *aServed.session;
    switch (aMsgID) {
      // ---- the session ----
      case 0x104: {
        TnxAliasDescriptors list;
        if (const uint32_t r = session.AliasGetList(list)) return {r};
        std::vector<std::pair<std::u16string, std::u16string>> aliases;
        for (const auto& entry : list) aliases.emplace_back(entry->adAlias, entry->adPath);
        return {0, TTestCommandHandler::AliasList(aliases)};
      }
      case 0x106: {
        const std::u16string alias = reader.ReadString();
        const std::u16string path = reader.ReadString();
        return {session.AliasAdd(alias, path, reader.ReadBoolean())};
      }
      case 0x107:
        return {session.AliasDelete(reader.ReadString())};
      case 0x108: {
        const std::u16string alias = reader.ReadString();
        const std::u16string name = reader.ReadString();
        const std::u16string path = reader.ReadString();
        return {session.AliasModify(alias, name, path, reader.ReadBoolean())};
      }
      case 0x109: {
        std::u16string path;
        if (const uint32_t r = session.AliasGetPath(reader.ReadString(), path)) return {r};
        return {0, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteString(path); })};
      }
      case 0x122: {
        const std::u16string type = reader.ReadString();
        const std::u16string alias = reader.ReadString();
        const auto contextID = static_cast<uint32_t>(reader.ReadInteger());
        const auto openMode = static_cast<TnxOpenMode>(reader.ReadInteger());
        const auto shareMode = static_cast<TnxShareMode>(reader.ReadInteger());
        const auto timeout = static_cast<uint32_t>(reader.ReadInteger());
        TnxAbstractTransContext* context = nullptr;
        if (contextID != 0 && !(context = Find<TnxAbstractTransContext>(aServed, contextID))) return {nxeInvalidHandle};
        TnxAbstractDatabase* db = nullptr;
        if (const uint32_t r = session.DatabaseOpen(db, type, alias, context, openMode, shareMode, timeout)) return {r};
        const uint32_t own = !context && db->OwnsTransContext() ? db->TransContext()->RemoteID() : 0;
        return {0, TTestCommandHandler::DatabaseOpenReply(own, db->RemoteID())};
      }
      case 0x151: {
        if (aRequest.size() < 4) return {nxeInvalidParameter};
        TnxAbstractTransContext* context = nullptr;
        if (const uint32_t r = session.TransContextCreate(context, At32(aRequest, 0))) return {r};
        return {0, TTestCommandHandler::U32(context->RemoteID())};
      }
      case 0x1F3: case 0x1F4: case 0x1F5: case 0x1F6: case 0x1F7: case 0x1F8:
        return Option(session, aMsgID & 0xF, reader);
      case 0x1F0: case 0x1F1: case 0x1F2: case 0x1F9:
        return {};
      // ---- databases ----
      case 0x2FF: case 0x223: case 0x226: {
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, At32(aRequest, 0));
        if (!db) return {nxeInvalidHandle};
        if (aMsgID == 0x2FF) return {db->Close()};
        platform::TStringList list;
        const uint32_t r = aMsgID == 0x223 ? db->TableGetList(list) : db->GetChangedTables(list);
        if (r != 0) return {r};
        return {0, Strings(list)};
      }
      case 0x211: case 0x717: case 0x718: case 0x719: case 0x721: {
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!db) return {nxeInvalidHandle};
        if (aMsgID == 0x211) {
          const bool overwrite = reader.ReadBoolean();
          const auto scope = static_cast<TnxTableScope>(reader.ReadInteger());
          const std::u16string password = reader.ReadString();
          const std::u16string table = reader.ReadString();
          TnxDataDictionary dictionary;
          dictionary.ReadFromReader(reader);
          return {db->TableBuild(overwrite, table, password, &dictionary, scope, false)};
        }
        const std::u16string table = reader.ReadString();
        if (aMsgID == 0x717) {
          const std::u16string newName = reader.ReadString();
          return {db->TableRename(table, newName, reader.ReadString())};
        }
        const std::u16string password = reader.ReadString();
        if (aMsgID == 0x718) return {db->TableDelete(table, password)};
        if (aMsgID == 0x719) return {db->TableEmpty(table, password)};
        bool exists = false;
        if (const uint32_t r = db->TableExists(table, password, exists, false)) return {r};
        return {0, {static_cast<uint8_t>(exists)}};
      }
      case 0x712: case 0x713: case 0x71A: case 0x21C: case 0x21D: {
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!db) return {nxeInvalidHandle};
        const std::u16string table = reader.ReadString();
        const std::u16string password = reader.ReadString();
        TnxAbstractTaskInfo* task = nullptr;
        uint32_t r = 0;
        if (aMsgID == 0x712) {
          r = db->TablePack(table, password, task);
        } else if (aMsgID == 0x713) {
          const std::u16string index = reader.ReadString();
          r = db->TableRebuildIndex(table, password, index, reader.ReadInteger(), task);
        } else if (aMsgID == 0x71A) {
          r = db->TableRecover(table, password, task);
        } else if (aMsgID == 0x21C) {
          TnxAbstractDatabase* target =
              Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
          if (!target) return {nxeInvalidHandle};
          r = db->TableBackup(table, password, target, task);
        } else {
          const bool raw = reader.ReadBoolean();
          r = db->TableVerifyChecksum(table, password, raw, reader.ReadBoolean(), task);
        }
        if (r != 0) return {r};
        if (!task) return {nxeInvalidHandle};
        return {0, TTestCommandHandler::U32(task->RemoteID())};
      }
      case 0x224: {
        const std::u16string password = reader.ReadString();
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!db) return {nxeInvalidHandle};
        uint32_t value = 0;
        if (const uint32_t r = db->TableAutoIncGet(reader.ReadString(), password, value)) return {r};
        return {0, TTestCommandHandler::U32(value)};
      }
      case 0x251: case 0x253: {
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, At32(aRequest, 0));
        if (!db) return {nxeInvalidHandle};
        if (aMsgID == 0x251) {
          int64_t free = 0;
          if (const uint32_t r = db->GetFreespace(free)) return {r};
          std::vector<uint8_t> out(8);
          platform::StoreU64(out.data(), static_cast<uint64_t>(free));
          return {0, std::move(out)};
        }
        std::u16string path;
        if (const uint32_t r = db->GetPath(path)) return {r};
        std::vector<uint8_t> out(path.size() * 2);
        for (size_t i = 0; i < path.size(); ++i) platform::StoreU16(out.data() + 2 * i, path[i]);
        return {0, std::move(out)};
      }
      case 0x232: case 0x233: case 0x234: case 0x235:
        return CursorOpen(aServed, aMsgID, reader);
      // ---- tasks ----
      case 0x501: case 0x502: case 0x503: case 0x5FF: {
        const uint32_t id = aMsgID == 0x503 ? static_cast<uint32_t>(reader.ReadInteger()) : At32(aRequest, 0);
        TnxAbstractTaskInfo* task = Find<TnxAbstractTaskInfo>(aServed, id);
        if (!task) return {nxeInvalidHandle};
        if (aMsgID == 0x502) return {task->Cancel()};
        if (aMsgID == 0x5FF) return {task->Close()};
        bool completed = false;
        TnxTaskStatus status;
        if (const uint32_t r = task->GetStatus(completed, status)) return {r};
        return {0, aMsgID == 0x501 ? TTestCommandHandler::TaskStatusRaw(status)
                                   : TTestCommandHandler::TaskStatusTagged(status)};
      }
      // ---- options of a database, cursor, statement, task or context ----
      case 0x2F3: case 0x2F4: case 0x2F5: case 0x2F6: case 0x2F7: case 0x2F8:
      case 0x3F3: case 0x3F4: case 0x3F5: case 0x3F6: case 0x3F7: case 0x3F8:
      case 0x4F3: case 0x4F4: case 0x4F5: case 0x4F6: case 0x4F7: case 0x4F8:
      case 0x5F3: case 0x5F4: case 0x5F5: case 0x5F6: case 0x5F7: case 0x5F8:
      case 0x9F3: case 0x9F4: case 0x9F5: case 0x9F6: case 0x9F7: case 0x9F8: {
        TnxExtendableServerObject* object =
            Find<TnxExtendableServerObject>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!object) return {nxeInvalidHandle};
        return Option(*object, aMsgID & 0xF, reader);
      }
      case 0x2F0: case 0x3F0: case 0x4F0: case 0x5F0: case 0x9F0: {
        TnxAbstractTimeoutObject* object = Find<TnxAbstractTimeoutObject>(aServed, At32(aRequest, 0));
        if (!object) return {nxeInvalidHandle};
        object->SetTimeout(At32(aRequest, 4));
        return {};
      }
      // ---- transaction contexts ----
      case 0x9FF: {
        TnxAbstractTransContext* context = Find<TnxAbstractTransContext>(aServed, At32(aRequest, 0));
        return {context ? context->Close() : nxeInvalidHandle};
      }
      case 0x901: case 0x902: case 0x903: case 0x904: case 0x905: case 0x906:
      case 0x911: case 0x912: case 0x913: case 0x914: case 0x915: case 0x916:
        return Transaction(aServed, aMsgID, aRequest, reader);
      default:
        break;
    }
    if ((aMsgID >= 0x300 && aMsgID < 0x400) || aMsgID == 0x807 || aMsgID == 0x885)
      return CursorRequest(aServed, aMsgID, aRequest);
    return {nxeCapabilityNotSupported};
  }

  // Option requests by the ID's last digit: 3 clear, 4 set, 5 get, 6 get
  // the effective value, 7 list, 8 list the effective values.
  static TAnswer Option(TnxExtendableServerObject& aObject, uint32_t aDigit, TnxReader& aReader) {
    switch (aDigit) {
      case 3:
        return {aObject.OptionClear(aReader.ReadString())};
      case 4: {
        const std::u16string name = aReader.ReadString();
        return {aObject.OptionSet(name, aReader.ReadString())};
      }
      case 5: case 6: {
        std::u16string value;
        const std::u16string name = aReader.ReadString();
        const uint32_t r = aDigit == 5 ? aObject.OptionGet(name, value) : aObject.OptionGetEffective(name, value);
        if (r != 0) return {r};
        return {0, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteString(value); })};
      }
      default: {
        platform::TStringList list;
        const uint32_t r = aDigit == 7 ? aObject.OptionList(list) : aObject.OptionListEffective(list);
        if (r != 0) return {r};
        return {0, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteStrings(list); })};
      }
    }
  }

  TAnswer CursorOpen(TServed& aServed, TnxMsgID aMsgID, TnxReader& aReader) {
    const auto request = TTestCommandHandler::ReadCursorOpenRequest(aMsgID, aReader);
    TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, request.database);
    if (!db) return {nxeInvalidHandle};
    TnxAbstractCursor* cursor = nullptr;
    const uint32_t filterTimeout = request.filterTimeout < 0 ? 500u : static_cast<uint32_t>(request.filterTimeout);
    if (const uint32_t r = db->CursorOpen(cursor, request.table, request.password,
                                          static_cast<TnxOpenMode>(request.openMode),
                                          static_cast<TnxShareMode>(request.shareMode),
                                          static_cast<uint32_t>(request.timeout), request.indexName, request.indexID,
                                          false, static_cast<TnxCursorOpenOptions>(request.openOptions),
                                          filterTimeout, nullptr))
      return {r};
    int32_t index = -1;
    cursor->GetIndexID(index);
    TnxDataDictionary* dictionary = cursor->_Dictionary();
    const bool follows = aMsgID == 0x232 || !(request.guid == dictionary->Guid()) ||
                         request.currentID != dictionary->CurrentID();
    TnxMemoryStream stream(-1);
    dictionary->WriteToStream(stream, static_cast<uint32_t>(aServed.clientVersion));
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    const std::vector<uint8_t> written(bytes, bytes + stream.GetSize());
    return {0, TTestCommandHandler::CursorOpenReply(aMsgID, cursor->RemoteID(), index, follows, -1, written)};
  }

  TAnswer CursorRequest(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    // Tagged payloads lead with the cursor's ID as a tagged integer.
    static const std::set<TnxMsgID> kTagged = {0x313, 0x331, 0x332, 0x335, 0x336, 0x337};
    const uint32_t id = kTagged.count(aMsgID) ? static_cast<uint32_t>(reader.ReadInteger()) : At32(aRequest, 0);
    if (!kTagged.count(aMsgID) && aRequest.size() < 4) return {nxeInvalidParameter};
    TnxAbstractCursor* cursor = Find<TnxAbstractCursor>(aServed, id);
    if (!cursor) return {nxeInvalidHandle};
    switch (aMsgID) {
      case 0x3FF:
        return {cursor->Close()};
      case 0x301:
        return {cursor->SetToBegin()};
      case 0x303:
        return {cursor->SetToEnd()};
      case 0x305: case 0x306: {
        const uint32_t r = aMsgID == 0x305 ? cursor->SetToBegin() : cursor->SetToEnd();
        if (r != 0) return {r};
        return Chained(0, aMsgID == 0x305 ? 0x322 : 0x323,
                       Read(*cursor, aMsgID == 0x305 ? 1 : 2, At16(aRequest, 4)));
      }
      case 0x321: case 0x322: case 0x323:
        return Read(*cursor, static_cast<int>(aMsgID - 0x321), At16(aRequest, 5),
                    static_cast<TnxLockType>(At8(aRequest, 4)));
      case 0x302: {
        TnxAbstractCursor* other = Find<TnxAbstractCursor>(aServed, At32(aRequest, 4));
        if (!other) return {nxeInvalidHandle};
        return {cursor->SetToCursor(other)};
      }
      case 0x311: {
        std::vector<uint8_t> bookmark(At32(aRequest, 4));
        if (bookmark.size() > 0xFFFF) return {nxeInvalidParameter};
        if (const uint32_t r = cursor->GetBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())))
          return {r};
        return {0, std::move(bookmark)};
      }
      case 0x313: {
        const std::vector<uint8_t> bookmark = ReadRecord(reader);
        std::vector<uint8_t> held = bookmark;
        return {cursor->SetToBookmark(held.data(), static_cast<uint32_t>(held.size()))};
      }
      case 0x3D1: case 0x3D3: {
        uint32_t count = 0;
        const uint32_t r = aMsgID == 0x3D1
                               ? cursor->GetRecordCount(count, false)
                               : cursor->GetRecordCountEx(static_cast<TnxRecordCountOption>(At8(aRequest, 4)), count,
                                                          false);
        if (r != 0) return {r};
        return {0, TTestCommandHandler::U32(count)};
      }
      case 0x3D2: {
        TnxAbstractTaskInfo* task = nullptr;
        const uint32_t r =
            aRequest.size() > 4
                ? cursor->GetRecordCountExAsync(static_cast<TnxRecordCountOption>(At8(aRequest, 4)), task)
                : cursor->GetRecordCountAsync(task);
        if (r != 0) return {r};
        if (!task) return {nxeInvalidHandle};
        return {0, TTestCommandHandler::U32(task->RemoteID())};
      }
      case 0x331: case 0x336: case 0x337: {
        const auto lock = static_cast<TnxLockType>(reader.ReadInteger());
        std::vector<uint8_t> record = ReadRecord(reader);
        reader.ReadInteger();  // bookmark size
        const bool wanted = aMsgID != 0x331 && reader.ReadBoolean();
        const uint32_t sendBack = aMsgID == 0x337 ? static_cast<uint32_t>(reader.ReadInteger()) : 0;
        int64_t autoInc = -1;
        const uint32_t r = cursor->RecordInsert(lock, record.data(), wanted ? &autoInc : nullptr);
        TAnswer answer{r};
        if (r == 0 && wanted) {
          answer.data.resize(8);
          platform::StoreU64(answer.data.data(), static_cast<uint64_t>(autoInc));
        }
        if (r == 0 && sendBack) answer.ahead.emplace_back(0x321, Read(*cursor, 0, sendBack));
        return answer;
      }
      case 0x332: case 0x335: {
        const bool release = reader.ReadBoolean();
        std::vector<uint8_t> record = ReadRecord(reader);
        const uint32_t sync = aMsgID == 0x335 ? static_cast<uint32_t>(reader.ReadInteger()) : 0;
        const uint32_t r = cursor->RecordModify(record.data(), release, nullptr);
        if (r != 0 || !sync) return {r};
        return Chained(0, 0x321, Read(*cursor, 0, sync));
      }
      case 0x333: case 0x334: {
        const uint32_t sendBack = At16(aRequest, 4);
        std::vector<uint8_t> record(sendBack);
        if (const uint32_t r = cursor->RecordDelete(sendBack ? record.data() : nullptr, 0)) return {r};
        TAnswer answer{0, std::move(record)};
        if (aMsgID == 0x334 && At16(aRequest, 6)) answer.ahead.emplace_back(0x321, Read(*cursor, 0, At16(aRequest, 6)));
        return answer;
      }
      case 0x342:
        return {cursor->RecordLockRelease(At8(aRequest, 4) != 0, false)};
      case 0x341: case 0x3B1: {
        TnxLockPresent present = lpNotAtAll;
        const auto lock = static_cast<TnxLockType>(At8(aRequest, 4));
        const uint32_t r = aMsgID == 0x341 ? cursor->RecordIsLocked(lock, present) : cursor->TableIsLocked(lock, present);
        if (r != 0) return {r};
        return {0, {static_cast<uint8_t>(present)}};
      }
      case 0x3B2:
        return {cursor->TableLockAcquire(static_cast<TnxLockType>(At8(aRequest, 4)))};
      case 0x3B3:
        return {cursor->TableLockRelease(static_cast<TnxLockType>(At8(aRequest, 4)), At8(aRequest, 5) != 0)};
      case 0x351: {
        uint32_t value = 0;
        if (const uint32_t r = cursor->AutoIncGet(value, false)) return {r};
        return {0, TTestCommandHandler::U32(value)};
      }
      case 0x352:
        return {cursor->AutoIncSet(At32(aRequest, 4))};
      case 0x384:
        return {cursor->DeleteRecords()};
      case 0x3C1: {
        TnxAbstractCursor* duplicate = nullptr;
        if (const uint32_t r = cursor->Duplicate(static_cast<TnxOpenMode>(At8(aRequest, 4)), duplicate)) return {r};
        int32_t index = -1;
        duplicate->GetIndexID(index);
        std::vector<uint8_t> out = TTestCommandHandler::U32(duplicate->RemoteID());
        const std::vector<uint8_t> indexBytes = TTestCommandHandler::U32(static_cast<uint32_t>(index));
        out.insert(out.end(), indexBytes.begin(), indexBytes.end());
        return {0, std::move(out)};
      }
      case 0x381: case 0x385: {
        const bool limited = aMsgID == 0x385;
        if (aRequest.size() < (limited ? 13u : 9u)) return {nxeInvalidParameter};
        const auto options = static_cast<TnxRecordGetBatchExOptions>(At8(aRequest, limited ? 12 : 8));
        const bool forward = (options & (1u << gboBackwards)) == 0;
        TnxBatchStreamAccess* access = nullptr;
        const uint32_t r = cursor->RecordGetBatch(static_cast<int32_t>(At32(aRequest, 4)), options, access,
                                                  limited ? static_cast<int32_t>(At32(aRequest, 8)) : 0, forward);
        const std::unique_ptr<TnxBatchStreamAccess> owned(access);
        if (r != 0 || !access) return {r};
        TnxMemoryStream& stream = access->Stream();
        const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
        return {0, std::vector<uint8_t>(bytes, bytes + stream.GetSize())};
      }
      default:
        return {nxeCapabilityNotSupported};
    }
  }

  TAnswer Transaction(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    const bool stated = aMsgID >= 0x911;
    const TnxMsgID op = stated ? aMsgID - 0x10 : aMsgID;
    uint32_t contextID = 0;
    if (op == 0x902) {
      contextID = static_cast<uint32_t>(aReader.ReadInteger());
    } else {
      if (aRequest.size() < 4) return {nxeInvalidParameter};
      contextID = At32(aRequest, 0);
    }
    TnxAbstractTransContext* context = Find<TnxAbstractTransContext>(aServed, contextID);
    if (!context) return {nxeInvalidHandle};
    uint32_t r = 0;
    switch (op) {
      case 0x901:
        r = context->TransactionStart(At8(aRequest, 4) != 0, At8(aRequest, 5) != 0);
        break;
      case 0x902: {
        const bool failSafe = aReader.ReadBoolean();
        const bool snapshot = aReader.ReadBoolean();
        std::vector<TnxAbstractCursor*> cursors;
        const int32_t count = aReader.ReadInteger();
        for (int32_t i = 0; i < count; ++i) {
          TnxAbstractCursor* cursor = Find<TnxAbstractCursor>(aServed, static_cast<uint32_t>(aReader.ReadInteger()));
          if (!cursor) return {nxeInvalidHandle};
          cursors.push_back(cursor);
        }
        r = context->TransactionStartWith(failSafe, snapshot, cursors);
        break;
      }
      case 0x903:
        r = context->TransactionCommit();
        break;
      case 0x904:
        r = context->TransactionRollback();
        break;
      case 0x905:
        r = context->TransactionCorrupted();
        break;
      default: {  // 0x906
        int32_t level = -1;
        r = context->TransactionGetLevel(level);
        if (!stated) return {r, r == 0 ? TTestCommandHandler::U32(static_cast<uint32_t>(level)) : std::vector<uint8_t>()};
        TnxTransactionInfo info;
        info.tiLevel = -1;
        context->TransactionGetInfo(info, false);
        return {r, TTestCommandHandler::TransactionLevelReply(r == 0, level, info)};
      }
    }
    if (!stated) return {r};
    return {r, State(*context)};
  }

  TnxServerStartupGuard library_;
  TempDir folder_;
  ComponentPtr<TnxServerEngine> engine_{new TnxServerEngine(nullptr)};
  std::mutex lock_;
  std::map<TnxSessionID, std::shared_ptr<TServed>> served_;
  TnxAbstractSession* seed_ = nullptr;
  std::map<std::u16string, TnxAbstractDatabase*> seedDatabases_;
  std::set<std::u16string> seeded_;
  std::set<std::u16string> seededAliases_;
  std::map<std::u16string, std::vector<std::vector<uint8_t>>> seededRows_;
};

}  // namespace revurov::testing
