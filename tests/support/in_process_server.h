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
//   all records and batch reads, blobs, filters, key searches and ranges,
//   held-back bookmarks, table streams, password changes and index drops.
//   Statements go as far as the server has a statement engine. Anything
//   else (add field or index, restructure, instance creation) answers
//   12289: the library has no reader of their descriptors.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
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
#include "dictionary/engine_records.h"
#include "dictionary/engine_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_statement.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "engine/batch_stream.h"
#include "engine/extendable_object.h"
#include "engine/remote_cursor.h"
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
    // aServerVersion comes as the model's: an older server is played by
    // speaking its version.
    const int32_t server = std::min(aServerVersion > 0 ? aServerVersion : nxInProcessClientVersion,
                                    nxInProcessClientVersion);
    const int32_t version = std::min(aClientVersion, server);
    TnxAbstractServerObject* session = nullptr;
    const uint32_t result = engine_->SessionOpenEx(session, aUserName, aPassword, u"127.0.0.1", 10000, version);
    if (result != 0) return result;
    auto served = std::make_shared<TServed>();
    served->session = static_cast<TnxAbstractSession*>(session);
    served->clientVersion = version;
    aServerVersion = server;
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
      case 0x21B: case 0x716: case 0x271: case 0x272: {
        TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!db) return {nxeInvalidHandle};
        const std::u16string table = reader.ReadString();
        const std::u16string second = reader.ReadString();
        const std::u16string third = reader.ReadString();
        if (aMsgID == 0x21B) return {db->TableChangePassword(table, second, third)};
        if (aMsgID == 0x716) return {db->TableDropIndex(table, second, third, reader.ReadInteger())};
        TnxMemoryStream stream(-1);
        if (aMsgID == 0x271) {
          if (const uint32_t r = db->TableStreamRead(table, second, third, stream)) return {r};
          const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
          return {0, std::vector<uint8_t>(bytes, bytes + stream.GetSize())};
        }
        const int64_t size = reader.ReadInt64();
        if (size < 0 || size > static_cast<int64_t>(aRequest.size())) return {nxeInvalidParameter};
        reader.FlushBuffer();
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        if (size) reader.Read(bytes.data(), size);
        stream.Write(bytes.data(), size);
        stream.SetPosition(0);
        return {db->TableStreamWrite(table, second, third, stream)};
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
    if ((aMsgID >= 0x891 && aMsgID <= 0x89B) || (aMsgID >= 0xA91 && aMsgID <= 0xA9B) ||
        (aMsgID >= 0x39B && aMsgID <= 0x39D))
      return BlobRequest(aServed, aMsgID, reader);
    if (aMsgID == 0x304 || (aMsgID >= 0x361 && aMsgID <= 0x36D))
      return FilterRequest(aServed, aMsgID, aRequest);
    if (aMsgID >= 0x3A2 && aMsgID <= 0x3A7) return StreamRequest(aServed, aMsgID, aRequest, reader);
    if ((aMsgID >= 0x300 && aMsgID < 0x400) || aMsgID == 0x807 || aMsgID == 0x885 || aMsgID == 0x87C ||
        aMsgID == 0x87D)
      return CursorRequest(aServed, aMsgID, aRequest);
    if (aMsgID == 0x241 || aMsgID == 0x242 || (aMsgID >= 0x400 && aMsgID < 0x500))
      return StatementRequest(aServed, aMsgID, aRequest, reader);
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
    static const std::set<TnxMsgID> kTagged = {0x307, 0x807, 0x312, 0x313, 0x314, 0x318, 0x331, 0x332,
                                               0x335, 0x336, 0x337, 0x338, 0x378, 0x379, 0x37C, 0x37D,
                                               0x37E, 0x87C, 0x87D, 0x3C2};
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
      case 0x307: case 0x807: {
        TnxAbstractCursor* other = Find<TnxAbstractCursor>(aServed, static_cast<uint32_t>(reader.ReadInteger()));
        if (!other) return {nxeInvalidHandle};
        reader.ReadBoolean();  // flip order
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();  // bookmark size
        if (aMsgID == 0x807) {
          SkipRecordCacheInfo(reader);
          // The other cursor's held-back bookmark is where it stands.
          if (const uint32_t r = ToBookmark(*other, ReadHeldBookmark(reader))) return {r};
        }
        if (const uint32_t r = cursor->SetToCursor(other)) return {r};
        if (!length) return {};
        return Chained(0, 0x321, Read(*cursor, 0, length));
      }
      case 0x312: {
        const auto size = static_cast<uint32_t>(reader.ReadInteger());
        std::vector<uint8_t> first = ReadSized(reader, size);
        std::vector<uint8_t> second = ReadSized(reader, size);
        TValueRelationship relation = 0;
        if (const uint32_t r = cursor->CompareBookmarks(first.data(), second.data(), size, relation)) return {r};
        return {0, {static_cast<uint8_t>(static_cast<int8_t>(relation))}};
      }
      case 0x314: {
        const auto size = static_cast<uint32_t>(reader.ReadInteger());
        std::vector<uint8_t> bookmark = ReadSized(reader, size);
        const auto chained = static_cast<TnxMsgID>(reader.ReadInteger());
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();
        reader.ReadInteger();
        const bool flip = reader.ReadBoolean();
        if (const uint32_t r = cursor->SetToBookmark(bookmark.data(), size)) return {r};
        if (!chained) return {};
        return ChainedRead(*cursor, chained, length, flip);
      }
      case 0x316: case 0x319: {
        if (aMsgID == 0x319) {
          const size_t size = At16(aRequest, 5);
          if (aRequest.size() < 7 + size) return {nxeInvalidParameter};
          if (const uint32_t r = ToBookmark(*cursor, std::vector<uint8_t>(aRequest.begin() + 7,
                                                                         aRequest.begin() + 7 + size)))
            return {r};
        }
        uint32_t recNo = 0;
        if (const uint32_t r = cursor->RecNoGet(recNo, At8(aRequest, 4) != 0)) return {r};
        return {0, TTestCommandHandler::U32(recNo)};
      }
      case 0x317:
        return {cursor->RecNoSet(At32(aRequest, 4), At8(aRequest, 8) != 0)};
      case 0x318: {
        const auto recNo = static_cast<uint32_t>(reader.ReadInteger());
        const bool flip = reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        if (const uint32_t r = cursor->RecNoSet(recNo, flip)) return {r};
        return ChainedRead(*cursor, 0x324, length, flip);
      }
      case 0x373: case 0x37A: {
        const size_t keyAt = aMsgID == 0x373 ? 14 : 19;
        if (aRequest.size() < keyAt) return {nxeInvalidParameter};
        std::vector<uint8_t> key = KeyBytes(*cursor, aRequest, keyAt, aRequest.size() - keyAt);
        const uint32_t r = cursor->SetToKey(static_cast<TnxSearchKeyAction>(aRequest[12]),
                                            static_cast<int32_t>(At32(aRequest, 4)),
                                            static_cast<int32_t>(At32(aRequest, 8)), aRequest[13] != 0, key.data());
        if (r != 0 || aMsgID == 0x373) return {r};
        return ChainedRead(*cursor, 0x324, At16(aRequest, 14), aRequest[18] != 0);
      }
      case 0x374: {
        if (aRequest.size() < 19) return {nxeInvalidParameter};
        std::vector<uint8_t> key = KeyBytes(*cursor, aRequest, 19, aRequest.size() - 19);
        const uint32_t length = At16(aRequest, 14);
        std::vector<uint8_t> record(std::max<size_t>(RecordLengthOf(*cursor), 1));
        const uint32_t r = cursor->RecordGetForKey(static_cast<int32_t>(At32(aRequest, 4)),
                                                   static_cast<int32_t>(At32(aRequest, 8)), aRequest[18] != 0,
                                                   key.data(), length ? record.data() : nullptr, aRequest[12] != 0,
                                                   aRequest[13] != 0);
        if (r != 0) return {r};
        record.resize(std::min<size_t>(length, RecordLengthOf(*cursor)));
        return {0, std::move(record)};
      }
      case 0x375:
        return {cursor->RangeReset()};
      case 0x37C: case 0x87C: {
        const bool flip = reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();  // bookmark size
        const std::vector<uint8_t> held = aMsgID == 0x87C ? ReadHeldBookmark(reader) : std::vector<uint8_t>();
        if (const uint32_t r = cursor->RangeReset()) return {r};
        if (const uint32_t r = ToBookmark(*cursor, held)) return {r};
        return ChainedRead(*cursor, 0x324, length, flip);
      }
      case 0x376: case 0x37B: {
        const size_t fixed = aMsgID == 0x376 ? 32 : 42;
        if (aRequest.size() < fixed) return {nxeInvalidParameter};
        const uint32_t len1 = At32(aRequest, 12);
        const uint32_t len2 = At32(aRequest, 26);
        if (aRequest.size() != fixed + size_t{len1} + len2) return {nxeInvalidParameter};
        std::vector<uint8_t> key1 = KeyBytes(*cursor, aRequest, fixed, len1);
        std::vector<uint8_t> key2 = KeyBytes(*cursor, aRequest, fixed + len1, len2);
        const uint32_t r = cursor->RangeSet(
            static_cast<int32_t>(At32(aRequest, 4)), static_cast<int32_t>(At32(aRequest, 8)), aRequest[17] != 0,
            len1 ? key1.data() : nullptr, aRequest[16] != 0, static_cast<int32_t>(At32(aRequest, 18)),
            static_cast<int32_t>(At32(aRequest, 22)), aRequest[31] != 0, len2 ? key2.data() : nullptr,
            aRequest[30] != 0);
        if (r != 0 || aMsgID == 0x376) return {r};
        const bool flip = aRequest[32] != 0;
        const uint32_t length = At32(aRequest, 34);
        if (aRequest[33] || length)
          if (const uint32_t moved = flip ? cursor->SetToEnd() : cursor->SetToBegin()) return {moved};
        if (!length) return {};
        return ChainedRead(*cursor, 0x322, length, flip);
      }
      case 0x377: {
        if (aRequest.size() < 22) return {nxeInvalidParameter};
        const uint32_t len1 = At32(aRequest, 12);
        const uint32_t len2 = At32(aRequest, 17);
        if (aRequest.size() != 22 + size_t{len1} + len2) return {nxeInvalidParameter};
        std::vector<uint8_t> key1 = KeyBytes(*cursor, aRequest, 22, len1);
        std::vector<uint8_t> key2 = KeyBytes(*cursor, aRequest, 22 + len1, len2);
        TValueRelationship relation = 0;
        if (const uint32_t r = cursor->CompareKeys(static_cast<int32_t>(At32(aRequest, 4)),
                                                   static_cast<int32_t>(At32(aRequest, 8)), aRequest[16] != 0,
                                                   len1 ? key1.data() : nullptr, aRequest[21] != 0,
                                                   len2 ? key2.data() : nullptr, relation))
          return {r};
        return {0, {static_cast<uint8_t>(static_cast<int8_t>(relation))}};
      }
      case 0x378: case 0x379: case 0x37E: {
        const std::u16string name = reader.ReadString();
        const int32_t index = reader.ReadInteger();
        const auto posn = aMsgID == 0x378 ? (reader.ReadBoolean() ? porTrue : porFalse)
                                          : static_cast<TnxPosnOnRec>(reader.ReadInteger());
        if (aMsgID == 0x37E)
          if (const uint32_t r = ToBookmark(*cursor, ReadHeldBookmark(reader))) return {r};
        if (const uint32_t r = cursor->SwitchToIndex(name, index, posn)) return {r};
        int32_t now = -1;
        cursor->GetIndexID(now);
        return {0, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteInteger(now); })};
      }
      case 0x3C2:
        return {cursor->ChangePassword(reader.ReadString())};
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
      case 0x332: case 0x335: case 0x338: {
        const bool release = reader.ReadBoolean();
        std::vector<uint8_t> record = ReadRecord(reader);
        if (aMsgID == 0x338 && reader.ReadBoolean()) return {nxeInvalidParameter};  // no diffs here
        const uint32_t sync = aMsgID != 0x332 ? static_cast<uint32_t>(reader.ReadInteger()) : 0;
        if (aMsgID == 0x338) {
          reader.ReadInteger();  // bookmark size
          reader.ReadBoolean();  // flip order
          reader.ReadBoolean();  // cached
          // The cursor keeps no record cache: it sends no blob batch.
          if (reader.ReadInteger() > 0) return {nxeInvalidParameter};
          const auto size = static_cast<uint32_t>(reader.ReadInteger());
          if (size > aRequest.size()) return {nxeInvalidParameter};
          std::vector<uint8_t> held(size);
          if (size) reader.Read(held.data(), size);
          if (const uint32_t r = ToBookmark(*cursor, held)) return {r};
        }
        const uint32_t r = cursor->RecordModify(record.data(), release, nullptr);
        if (r != 0 || !sync) return {r};
        return Chained(0, 0x321, Read(*cursor, 0, sync));
      }
      case 0x333: case 0x334: case 0x339: {
        if (aMsgID == 0x339) {
          const size_t size = At16(aRequest, 11);
          if (aRequest.size() < 13 + size) return {nxeInvalidParameter};
          if (const uint32_t r = ToBookmark(*cursor, std::vector<uint8_t>(aRequest.begin() + 13,
                                                                         aRequest.begin() + 13 + size)))
            return {r};
        }
        const uint32_t sendBack = At16(aRequest, 4);
        std::vector<uint8_t> record(sendBack);
        if (const uint32_t r = cursor->RecordDelete(sendBack ? record.data() : nullptr, 0)) return {r};
        TAnswer answer{0, std::move(record)};
        if (aMsgID != 0x333 && At16(aRequest, 6)) answer.ahead.emplace_back(0x321, Read(*cursor, 0, At16(aRequest, 6)));
        return answer;
      }
      case 0x342:
        return {cursor->RecordLockRelease(At8(aRequest, 4) != 0, false)};
      case 0x343: case 0x344: {
        if (aMsgID == 0x344) {
          const size_t size = At16(aRequest, 11);
          if (aRequest.size() < 13 + size) return {nxeInvalidParameter};
          if (const uint32_t r = ToBookmark(*cursor, std::vector<uint8_t>(aRequest.begin() + 13,
                                                                         aRequest.begin() + 13 + size)))
            return {r};
        }
        if (const uint32_t r = cursor->RecordLockRelease(At8(aRequest, 4) != 0,
                                                         aMsgID == 0x344 && At8(aRequest, 10) != 0))
          return {r};
        if (!At16(aRequest, 5)) return {};
        return Chained(0, 0x321, Read(*cursor, 0, At16(aRequest, 5)));
      }
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
      case 0x382: {
        TnxMemoryStream stream(-1);
        stream.Write(aRequest.data(), static_cast<int64_t>(aRequest.size()));
        stream.SetPosition(0);
        return {cursor->RecordInsertBatch(stream)};
      }
      case 0x383: case 0x386: {
        TnxAbstractCursor* dest = Find<TnxAbstractCursor>(aServed, At32(aRequest, 4));
        if (!dest) return {nxeInvalidHandle};
        const auto mode = static_cast<TnxBlobCopyMode>(At8(aRequest, 8));
        const auto maxTrans = static_cast<int32_t>(At32(aRequest, 9));
        if (aMsgID == 0x383) return {cursor->CopyRecords(dest, mode, maxTrans)};
        return {cursor->CopyRecordsEx(dest, mode, maxTrans, At8(aRequest, 13) != 0)};
      }
      case 0x37D: case 0x87D:
        return KeyBatch(*cursor, aMsgID, reader);
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
      case 0x381: case 0x385: case 0x885: {
        const bool limited = aMsgID != 0x381;
        if (aRequest.size() < (limited ? 13u : 9u)) return {nxeInvalidParameter};
        if (aMsgID == 0x885) {
          // The held-back bookmark, then the blob fields marked to come along.
          if (aRequest.size() < 21) return {nxeInvalidParameter};
          const size_t size = At16(aRequest, 13);
          const size_t marks = At8(aRequest, 15);
          if (aRequest.size() < 21 + size + 4 * marks) return {nxeInvalidParameter};
          if (const uint32_t r = ToBookmark(*cursor, std::vector<uint8_t>(aRequest.begin() + 21,
                                                                         aRequest.begin() + 21 + size)))
            return {r};
          auto marked = std::make_shared<TnxMarkedBlobsByBlobIdx>();
          for (size_t i = 0; i < marks; ++i) marked->push_back(static_cast<int32_t>(At32(aRequest, 21 + size + 4 * i)));
          if (const uint32_t r = cursor->BlobsSetMarked(marks ? marked : nullptr)) return {r};
        }
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

  // ---- pieces of the cursor requests ----
  static size_t RecordLengthOf(TnxAbstractCursor& aCursor) {
    return aCursor.TableDescriptor() ? static_cast<size_t>(aCursor._Dictionary()->FieldsDescriptor().RecordLength())
                                     : 0;
  }
  static std::vector<uint8_t> ReadSized(TnxReader& aReader, uint32_t aSize) {
    if (aSize > 0xFFFF) throw EnxBaseException(nxeInvalidParameter);
    std::vector<uint8_t> bytes(aSize);
    aReader.ReadListBegin();
    if (aSize) aReader.Read(bytes.data(), aSize);
    aReader.ReadListEnd();
    return bytes;
  }
  // "nil" or a record's RefNr and LSN; this serving keeps no record cache.
  static void SkipRecordCacheInfo(TnxReader& aReader) {
    const TValueType kind = aReader.NextValue();
    if (kind == vaNil || kind == vaIdent) {
      aReader.ReadIdent();
    } else {
      aReader.ReadInt64();
      aReader.ReadInt64();
    }
  }
  static std::vector<uint8_t> ReadHeldBookmark(TnxReader& aReader) {
    const int32_t size = aReader.ReadInteger();
    if (size < 0 || size > 0xFFFF) throw EnxBaseException(nxeInvalidParameter);
    std::vector<uint8_t> bookmark(static_cast<size_t>(size));
    if (size) aReader.ReadBinary(bookmark.data(), size);
    return bookmark;
  }
  // A held-back bookmark is where the cursor stands before the request.
  static uint32_t ToBookmark(TnxAbstractCursor& aCursor, std::vector<uint8_t> aBookmark) {
    if (aBookmark.empty()) return 0;
    return aCursor.SetToBookmark(aBookmark.data(), static_cast<uint32_t>(aBookmark.size()));
  }
  // A key (or record) of the request, in a buffer no shorter than a record:
  // the cursor reads a whole key of its index from it.
  static std::vector<uint8_t> KeyBytes(TnxAbstractCursor& aCursor, const std::vector<uint8_t>& aRequest, size_t aAt,
                                       size_t aLength) {
    std::vector<uint8_t> key(std::max(aLength, RecordLengthOf(aCursor)) + 1, 0);
    if (aLength) std::copy_n(aRequest.begin() + static_cast<std::ptrdiff_t>(aAt), aLength, key.begin());
    return key;
  }
  // The read a chained request names, sent ahead: 0x324 is the current
  // record again; under a flipped order the server's next is the client's
  // prior.
  static TAnswer ChainedRead(TnxAbstractCursor& aCursor, TnxMsgID aReadID, uint32_t aLength, bool aFlip) {
    if (!aLength) return {};
    if (aReadID == 0x324) aReadID = 0x321;
    if (aFlip && (aReadID == 0x322 || aReadID == 0x323)) aReadID = aReadID == 0x322 ? 0x323 : 0x322;
    if (aReadID < 0x321 || aReadID > 0x323) return {nxeInvalidParameter};
    return Chained(0, aReadID, Read(aCursor, static_cast<int>(aReadID - 0x321), aLength));
  }
  static TAnswer BatchBytes(uint32_t aCode, TnxBatchStreamAccess* aAccess) {
    const std::unique_ptr<TnxBatchStreamAccess> owned(aAccess);
    if (aCode != 0 || !aAccess) return {aCode};
    TnxMemoryStream& stream = aAccess->Stream();
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    return {0, std::vector<uint8_t>(bytes, bytes + stream.GetSize())};
  }
  static TAnswer KeyBatch(TnxAbstractCursor& aCursor, TnxMsgID aMsgID, TnxReader& aReader) {
    const int32_t cutoff = aReader.ReadInteger();
    const auto options = static_cast<TnxRecordGetBatchExOptions>(aReader.ReadInteger());
    const auto recordLength = static_cast<uint32_t>(aReader.ReadInteger());
    const auto keyLength = static_cast<uint32_t>(aReader.ReadInteger());
    const int32_t count = aReader.ReadInteger();
    if (recordLength > 0xFFFF || keyLength > 0xFFFF || count < 0 || count > 0xFFFF) return {nxeInvalidParameter};
    const size_t room = std::max<size_t>({recordLength, keyLength, RecordLengthOf(aCursor)}) + 1;
    std::vector<std::vector<uint8_t>> buffers;
    aReader.ReadListBegin();
    for (int32_t k = 0; k < count; ++k) {
      aReader.ReadListBegin();
      TnxDataSetKeyBuffer header;
      header.kbDirectKey = aReader.ReadBoolean();
      header.kbFieldCount = aReader.ReadInteger();
      header.kbPartialLen = aReader.ReadInteger();
      header.kbExclusive = aReader.ReadBoolean();
      std::vector<uint8_t> buffer(nxDataSetKeyBufferHeader + room, 0);
      std::memcpy(buffer.data(), static_cast<const void*>(&header), nxDataSetKeyBufferHeader);
      const uint32_t length = header.kbDirectKey ? keyLength : recordLength;
      if (length) aReader.Read(buffer.data() + nxDataSetKeyBufferHeader, length);
      aReader.ReadListEnd();
      buffers.push_back(std::move(buffer));
    }
    aReader.ReadListEnd();
    const bool matchFirst = aReader.ReadBoolean();
    const bool firstCall = aReader.ReadBoolean();
    if (aMsgID == 0x87D) {
      aReader.ReadInteger();  // record cache infos
      aReader.ReadInteger();  // blob lists
      const int32_t marks = aReader.ReadInteger();
      if (marks < 0 || marks > 0xFFFF) return {nxeInvalidParameter};
      auto marked = std::make_shared<TnxMarkedBlobsByBlobIdx>();
      for (int32_t i = 0; i < marks; ++i) marked->push_back(aReader.ReadInteger());
      if (const uint32_t r = aCursor.BlobsSetMarked(marks ? marked : nullptr)) return {r};
    }
    TnxDataSetKeyBufferArray keys;
    for (auto& buffer : buffers) keys.push_back(reinterpret_cast<PnxKeyBuffer>(buffer.data()));
    TnxBatchStreamAccess* access = nullptr;
    const uint32_t r = aCursor.RecordGetForKeyBatch(cutoff, options, access, keys, matchFirst, firstCall);
    return BatchBytes(r, access);
  }

  // ---- blobs: tagged, the cursor's ID first; the record forms ($A9x)
  // carry the record's ID after the plain form's values ----
  static TnxRecID ReadRecID(TnxReader& aReader) {
    TnxRecID id;
    id.ridRefNr = static_cast<TnxRefNr>(aReader.ReadInt64());
    id.ridInsertLSN = static_cast<TnxLSN>(aReader.ReadInt64());
    return id;
  }
  static std::vector<uint8_t> Nr(TnxBlobNr aNr) {
    std::vector<uint8_t> out(8);
    platform::StoreU64(out.data(), static_cast<uint64_t>(aNr));
    return out;
  }
  static void PutNewNr(std::vector<uint8_t>& aOut, size_t aAt, bool aWanted, const TnxNewBlobNr& aNew) {
    aOut[aAt] = uint8_t(aWanted && aNew.nbnSet);
    if (aWanted && aNew.nbnSet) platform::StoreU64(aOut.data() + aAt + 1, static_cast<uint64_t>(aNew.nbnBlobNr));
  }
  TAnswer BlobRequest(TServed& aServed, TnxMsgID aMsgID, TnxReader& aReader) {
    TnxAbstractCursor* cursor = Find<TnxAbstractCursor>(aServed, static_cast<uint32_t>(aReader.ReadInteger()));
    if (!cursor) return {nxeInvalidHandle};
    if (aMsgID == 0x39C) return {cursor->BlobsCancel(static_cast<TnxRefNr>(aReader.ReadInt64()))};
    if (aMsgID == 0x39D) {
      TnxBlobBatchRequest batch;
      const int32_t count = aReader.ReadInteger();
      if (count > 0xFFFF) return {nxeInvalidParameter};
      if (count > 0) {
        batch.bbrqRecID = ReadRecID(aReader);
        aReader.ReadListBegin();
        for (int32_t i = 0; i < count; ++i) {
          TnxBlobBatchRequestEntry entry;
          entry.bbrqeStateInfo = static_cast<TnxCachedBlobStateInfo>(aReader.ReadInteger());
          entry.bbrqeBlobNr = static_cast<TnxBlobNr>(aReader.ReadInt64());
          entry.bbrqeFieldNo = static_cast<uint16_t>(aReader.ReadInteger());
          const TValueType kind = aReader.NextValue();
          if (kind == vaWString || kind == vaString || kind == vaUTF8String)
            entry.bbrqeFileName = aReader.ReadString();
          else
            entry.bbrqeData = aReader.ReadBytes();
          batch.bbrqEntries.push_back(std::move(entry));
        }
        aReader.ReadListEnd();
      }
      std::vector<uint8_t> reply;
      const uint32_t r = cursor->BlobBatchProcess(batch, reply);
      return {r, r == 0 ? std::move(reply) : std::vector<uint8_t>()};
    }
    const int32_t field = aReader.ReadInteger();
    const bool recordForm = aMsgID >= 0xA91;
    const TnxMsgID op = recordForm ? aMsgID - 0x200 : aMsgID;
    if (op == 0x39B) {  // the replace goes with the record's ID, then the first chunk
      TnxBlobNr nr = static_cast<TnxBlobNr>(aReader.ReadInt64());
      const int64_t length = aReader.ReadInt64();
      const TnxRecID recID = ReadRecID(aReader);
      if (length < 0 || length > int64_t{nxRemoteBlobChunkSize}) return {nxeInvalidParameter};
      aReader.FlushBuffer();
      std::vector<uint8_t> data(static_cast<size_t>(length));
      if (length) aReader.Read(data.data(), length);
      const uint32_t r = cursor->BlobReplace(recID, field, nr, static_cast<uint32_t>(length), data.data());
      return {r, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteInteger(int64_t{nr}); })};
    }
    if (op == 0x891 || op == 0x892) {
      const std::u16string file = op == 0x892 ? aReader.ReadString() : std::u16string();
      const TnxRecID recID = recordForm ? ReadRecID(aReader) : TnxRecID{};
      TnxBlobNr nr = 0;
      const uint32_t r = op == 0x891 ? cursor->BlobCreate(recID, field, nr) : cursor->BlobCreateFile(recID, field, file, nr);
      if (r != 0) return {r};
      return {0, Nr(nr)};
    }
    const auto nr = static_cast<TnxBlobNr>(aReader.ReadInt64());
    int64_t offset = 0, length = 0;
    if (op == 0x895 || op == 0x896 || op == 0x89B) {
      offset = aReader.ReadInt64();
      length = aReader.ReadInt64();
      if (offset < 0 || offset > UINT32_MAX || length < 0 || length > int64_t{nxRemoteBlobChunkSize})
        return {nxeInvalidParameter};
    }
    const int64_t newLength = op == 0x897 ? aReader.ReadInt64() : 0;
    if (newLength < 0 || newLength > UINT32_MAX) return {nxeInvalidParameter};
    const bool original = (op == 0x895 || op == 0x89A || op == 0x89B) && aReader.ReadBoolean();
    auto state = brssNone;
    bool lengthWanted = false;
    if (op == 0x89B) {
      state = static_cast<TnxBlobReadSnapshotState>(aReader.ReadInteger());
      lengthWanted = aReader.ReadBoolean();
    }
    const TnxRecID recID = recordForm ? ReadRecID(aReader) : TnxRecID{};
    const bool wanted = recordForm && (op == 0x895 || op == 0x89A || op == 0x89B) && aReader.ReadBoolean();
    TnxNewBlobNr renumbered{nr, false};
    switch (op) {
      case 0x893:
        return {cursor->BlobDelete(recID, field, nr)};
      case 0x894:
        return {cursor->BlobFree(recID, field, nr)};
      case 0x896: {
        aReader.FlushBuffer();
        std::vector<uint8_t> data(static_cast<size_t>(length));
        if (length) aReader.Read(data.data(), length);
        return {cursor->BlobWrite(recID, field, nr, static_cast<uint32_t>(offset), static_cast<uint32_t>(length),
                                  data.data())};
      }
      case 0x897:
        return {cursor->BlobTruncate(recID, field, nr, static_cast<uint32_t>(newLength))};
      case 0x89A: {
        uint32_t blobLength = 0;
        const uint32_t r = cursor->BlobGetLength(recID, field, nr, blobLength, original, &renumbered);
        std::vector<uint8_t> out(recordForm ? 13 : 4);
        platform::StoreU32(out.data(), r == 0 ? blobLength : 0);
        if (recordForm) PutNewNr(out, 4, wanted, renumbered);
        return {r, std::move(out)};
      }
      case 0x895: {
        TnxMemoryStream chunk(-1);
        const uint32_t r = cursor->BlobRead(recID, field, nr, static_cast<uint32_t>(offset),
                                            static_cast<uint32_t>(length), chunk, original, &renumbered);
        const size_t header = recordForm ? 13 : 0;
        const size_t count = r == 0 ? static_cast<size_t>(chunk.GetSize()) : 0;
        std::vector<uint8_t> out(header + count);
        if (count) std::memcpy(out.data() + header, chunk.Memory(), count);
        if (recordForm) {
          platform::StoreU32(out.data(), static_cast<uint32_t>(count));
          PutNewNr(out, 4, wanted, renumbered);
        }
        return {r, std::move(out)};
      }
      case 0x89B: {
        TnxMemoryStream chunk(-1);
        uint32_t blobLength = 0;
        const uint32_t r = cursor->BlobReadSnapshoted(recID, field, nr, static_cast<uint32_t>(offset),
                                                      static_cast<uint32_t>(length), chunk, original, state,
                                                      lengthWanted ? &blobLength : nullptr, &renumbered);
        const size_t header = recordForm ? 18 : 9;
        const size_t count = r == 0 ? static_cast<size_t>(chunk.GetSize()) : 0;
        std::vector<uint8_t> out(header + count);
        out[0] = static_cast<uint8_t>(state);
        platform::StoreU32(out.data() + 1, blobLength);
        platform::StoreU32(out.data() + 5, static_cast<uint32_t>(count));
        if (count) std::memcpy(out.data() + header, chunk.Memory(), count);
        if (recordForm) PutNewNr(out, 9, wanted, renumbered);
        return {r, std::move(out)};
      }
      default:
        return {nxeCapabilityNotSupported};
    }
  }

  // ---- filters: the descriptor travels as its class name and data ----
  static std::unique_ptr<TnxBaseFilterDescriptor> Descriptor(platform::TStream& aStream, uint32_t& aCode) {
    std::unique_ptr<TnxBaseFilterDescriptor> filter;
    aCode = TnxBaseFilterDescriptor::CreateFromStream(aStream, filter);
    if (aCode == 0 && !filter) aCode = nxeInvalidParameter;
    return filter;
  }
  // The chain of $367 to $369: the first record or the current one again,
  // sent ahead after the filter change.
  static TAnswer WithFilterChain(TnxAbstractCursor& aCursor, bool aFlip, bool aFirst, uint32_t aLength,
                                 TAnswer aAnswer) {
    if (aAnswer.code != 0 || aLength == 0) return aAnswer;
    if (aFirst) {
      if (const uint32_t r = aFlip ? aCursor.SetToEnd() : aCursor.SetToBegin()) return {r, aAnswer.data};
      aAnswer.ahead.emplace_back(aFlip ? 0x323 : 0x322, Read(aCursor, aFlip ? 2 : 1, aLength));
    } else {
      aAnswer.ahead.emplace_back(0x321, Read(aCursor, 0, aLength));
    }
    return aAnswer;
  }
  static uint32_t FilterAction(TnxAbstractCursor& aCursor, bool aKey, uint32_t aAction, uint32_t aID) {
    switch (aAction) {
      case 0: return aKey ? aCursor.KeyFilterActivate(aID) : aCursor.FilterActivate(aID);
      case 1: return aKey ? aCursor.KeyFilterDeactivate(aID) : aCursor.FilterDeactivate(aID);
      case 2: return aKey ? aCursor.KeyFilterRemove(aID) : aCursor.FilterRemove(aID);
      default: return nxeInvalidParameter;
    }
  }
  TAnswer FilterRequest(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest) {
    std::vector<uint8_t> copy = aRequest;
    const bool tagged = aMsgID >= 0x367 && aMsgID <= 0x369;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    if (!tagged && aRequest.size() < 4) return {nxeInvalidParameter};
    const uint32_t id = tagged ? static_cast<uint32_t>(reader.ReadInteger()) : At32(aRequest, 0);
    TnxAbstractCursor* cursor = Find<TnxAbstractCursor>(aServed, id);
    if (!cursor) return {nxeInvalidHandle};
    TnxStaticMemoryStream raw(copy.data(), static_cast<int64_t>(copy.size()));
    raw.SetPosition(4);
    uint32_t code = 0;
    switch (aMsgID) {
      case 0x304: {
        const auto filter = Descriptor(raw, code);
        if (code != 0) return {code};
        uint8_t forward = 1;
        if (raw.Read(&forward, 1) != 1) return {nxeInvalidParameter};
        return {cursor->SetToFilter(filter.get(), nullptr, forward != 0)};
      }
      case 0x361: case 0x36A: {
        const auto filter = Descriptor(raw, code);
        if (code != 0) return {code};
        uint32_t filterID = 0;
        const uint32_t r = aMsgID == 0x361 ? cursor->FilterAddCustom(filter.get(), filterID, false)
                                           : cursor->KeyFilterAddCustom(filter.get(), filterID);
        if (r != 0) return {r};
        return {0, TTestCommandHandler::U32(filterID)};
      }
      case 0x362:
        return {cursor->FilterSetTimeout(At32(aRequest, 4))};
      case 0x363: case 0x364: case 0x365: case 0x36B: case 0x36C: case 0x36D:
        if (aRequest.size() < 8) return {nxeInvalidParameter};
        return {FilterAction(*cursor, aMsgID >= 0x36B, (aMsgID - 0x363) & 0x7, At32(aRequest, 4))};
      case 0x367: {
        const auto action = static_cast<uint32_t>(reader.ReadInteger());
        const auto filterID = static_cast<uint32_t>(reader.ReadInteger());
        const bool flip = reader.ReadBoolean();
        const bool first = reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        return WithFilterChain(*cursor, flip, first, length, {FilterAction(*cursor, false, action, filterID)});
      }
      default: {  // 0x368, 0x369
        uint32_t drop = 0;
        bool ignoreDropError = false;
        if (aMsgID == 0x369) {
          drop = static_cast<uint32_t>(reader.ReadInteger());
          ignoreDropError = reader.ReadBoolean();
        }
        const bool activated = reader.ReadBoolean();
        const bool flip = reader.ReadBoolean();
        const bool first = reader.ReadBoolean();
        const auto length = static_cast<uint32_t>(reader.ReadInteger());
        reader.ReadInteger();  // bookmark size
        reader.FlushBuffer();
        const auto filter = Descriptor(in, code);
        auto idReply = [](uint32_t aID) {
          return TTestCommandHandler::Tagged([aID](TnxWriter& w) { w.WriteInteger(static_cast<int32_t>(aID)); });
        };
        if (code != 0) return {code, idReply(0)};
        uint32_t filterID = drop;
        const uint32_t r = aMsgID == 0x368 ? cursor->FilterAddCustom(filter.get(), filterID, activated)
                                           : cursor->FilterReplaceCustom(filter.get(), filterID, activated,
                                                                         ignoreDropError);
        return WithFilterChain(*cursor, flip, first, length, {r, idReply(r == 0 ? filterID : 0)});
      }
    }
  }

  // ---- table streams through a cursor ----
  TAnswer StreamRequest(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    const bool tagged = aMsgID != 0x3A7;
    if (!tagged && aRequest.size() < 4) return {nxeInvalidParameter};
    const uint32_t id = tagged ? static_cast<uint32_t>(aReader.ReadInteger()) : At32(aRequest, 0);
    TnxAbstractCursor* cursor = Find<TnxAbstractCursor>(aServed, id);
    if (!cursor) return {nxeInvalidHandle};
    if (aMsgID == 0x3A7) {
      platform::TStringList names;
      if (const uint32_t r = cursor->TableStreamGetList(names)) return {r};
      return {0, TTestCommandHandler::Tagged([&](TnxWriter& w) { w.WriteStrings(names); })};
    }
    const std::u16string name = aReader.ReadString();
    TnxMemoryStream stream(-1);
    switch (aMsgID) {
      case 0x3A2: {
        const int64_t size = aReader.ReadInt64();
        if (size < 0 || size > static_cast<int64_t>(aRequest.size())) return {nxeInvalidParameter};
        aReader.FlushBuffer();
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        if (size) aReader.Read(bytes.data(), size);
        stream.Write(bytes.data(), size);
        stream.SetPosition(0);
        return {cursor->TableStreamWrite(name, stream)};
      }
      case 0x3A5:
        return {cursor->TableStreamDelete(name)};
      case 0x3A6: {
        if (const uint32_t r = cursor->TableStreamRead(name, stream)) return {r};
        const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
        return {0, std::vector<uint8_t>(bytes, bytes + stream.GetSize())};
      }
      default:
        return {nxeCapabilityNotSupported};
    }
  }

  // ---- statements: as far as the server has a statement engine ----
  TAnswer StatementRequest(TServed& aServed, TnxMsgID aMsgID, const std::vector<uint8_t>& aRequest, TnxReader& aReader) {
    if (aMsgID == 0x241) {
      TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, At32(aRequest, 0));
      if (!db) return {nxeInvalidHandle};
      TnxAbstractStatement* statement = nullptr;
      if (const uint32_t r = db->StatementAlloc(statement, At32(aRequest, 4))) return {r};
      return {0, TTestCommandHandler::U32(statement->RemoteID())};
    }
    if (aMsgID == 0x242) {
      TnxAbstractDatabase* db = Find<TnxAbstractDatabase>(aServed, static_cast<uint32_t>(aReader.ReadInteger()));
      if (!db) return {nxeInvalidHandle};
      const auto timeout = static_cast<uint32_t>(aReader.ReadInteger());
      const auto type = static_cast<TnxStatementType>(aReader.ReadInteger());
      const std::u16string text = aReader.ReadString();
      // Parameters need a statement to be read against: without a statement
      // engine the server refuses before it comes to them.
      if (aReader.ReadInteger() != 0) {
        TnxAbstractStatement* statement = nullptr;
        const uint32_t r = db->StatementAlloc(statement, timeout);
        if (statement) statement->Free();
        if (r != 0) return {r, {uint8_t(sedAlloc)}};
        return {nxeCapabilityNotSupported, {uint8_t(sedAlloc)}};
      }
      const auto openMode = static_cast<TnxOpenMode>(aReader.ReadInteger());
      TnxMemoryStream prepare(-1), setParams(-1), exec(-1);
      TnxAbstractCursor* cursor = nullptr;
      auto phase = sedAlloc;
      const uint32_t r = db->StatementExecDirect(timeout, type, text, &prepare, TnxSqlParamList(), &setParams, cursor,
                                                 openMode, &exec, nullptr, phase);
      if (cursor) cursor->Free();
      std::vector<uint8_t> out{static_cast<uint8_t>(phase)};
      auto block = [&](TnxMemoryStream& aStream) {
        const auto* bytes = static_cast<const uint8_t*>(aStream.Memory());
        std::vector<uint8_t> length = TTestCommandHandler::U32(static_cast<uint32_t>(aStream.GetSize()));
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), bytes, bytes + aStream.GetSize());
      };
      if (phase >= sedPrepare) block(prepare);
      if (phase >= sedSetParams) block(setParams);
      if (phase >= sedExec) block(exec);
      return {r, std::move(out)};
    }
    // A statement's own requests: only a server with a statement engine
    // makes statements, so every ID here is unknown.
    if (aRequest.size() < 4 && aMsgID != 0x401) return {nxeInvalidParameter};
    return {nxeInvalidHandle};
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
