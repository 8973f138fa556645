// Recovering a table block by block through the server database: where each
// record goes (the recovered table, or the failed one when it does not
// validate or its insert is refused), what is carried over (blobs, nested
// tables, the auto-increment value, named streams), names that are taken,
// records lost on both tables, a cancel, and damaged or mutated files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/storage_descriptors.h"
#include "engine/engine_extender.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_recover_task.h"
#include "server/server_table_cursor.h"
#include "storage/blob_engines.h"
#include "storage/heap_engines.h"
#include "storage/sub_engines.h"
#include "support/string_stream.h"
#include "support/table_ops_fixture.h"
#include "support/test_engine.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

constexpr int32_t kID = 0, kName = 1, kSeq = 2, kData = 3;
constexpr uint32_t kVeto = 15001;
constexpr uint32_t kAutoInc = 7777;

// ID, Name (required), Seq (auto-increment), Data (blob); ByID unique in
// "ix", blobs in "bl"; nested "Lines" (LineID, Text) in the main file.
std::unique_ptr<TnxDataDictionary> RecoverDictionary() {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Name", u"", nxtWideString, 20, 0, true);
  fields.AddField(u"Seq", u"", nxtAutoInc, 0, 0, false);
  fields.AddField(u"Data", u"", nxtBlob, 0, 0, false);
  dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
  dict->AddBlobDescriptor()->SetFileNumber(2);
  if (!dict->AutoIncDescriptor()) dict->AddAutoIncDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())
          ->KeyDescriptor())
      ->Add(kID);
  TnxNestedTableDescriptor* lines = dict->TablesDescriptor().AddTable(u"Lines");
  lines->AddRecordDescriptor();
  lines->FieldsDescriptor().AddField(u"LineID", u"", nxtInt32, 0, 0, false);
  lines->FieldsDescriptor().AddField(u"Text", u"", nxtWideString, 30, 0, false);
  return dict;
}

// Refuses inserts of chosen IDs into the recovery's new tables.
class VetoExtender : public TnxBaseEngineExtender {
public:
  VetoExtender(TnxBaseEngineMonitor* aMonitor, TnxServerTableCursor* aCursor,
               std::function<uint32_t(TnxServerTableCursor&, int32_t)> aAnswer)
      : TnxBaseEngineExtender(aMonitor, aCursor, TnxEngineActions{eaRecordInsert}),
        veCursor(aCursor),
        veAnswer(std::move(aAnswer)) {}
  uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    if (aAction != eaRecordInsert || !aBefore || veCursor->Table() != veCursor->Table()->Root()) return 0;
    for (const TnxEngineArg& arg : aArgs)
      if (arg.eaKind == TnxEngineArg::Pointer && arg.eaPointer) {
        bool isNull = true;
        int32_t id = 0;
        veCursor->Table()->FieldsDescriptor()->GetRecordField(kID, arg.eaPointer, isNull, &id);
        return veAnswer(*veCursor, id);
      }
    return 0;
  }

private:
  TnxServerTableCursor* veCursor;
  std::function<uint32_t(TnxServerTableCursor&, int32_t)> veAnswer;
};

struct Loaded {
  std::map<int32_t, TnxBlockNumber> rootBlock;  // ID -> block of the main file
  std::map<int32_t, TnxBlockNumber> lineBlock;
  std::map<int32_t, std::string> blobs;
};

class RecoverTest : public TableOpsFixture {
protected:
  RecoverTest() { nxFatalErrorFlag.store(false); }
  ~RecoverTest() override {
    monitor_.reset();
    nxFatalErrorFlag.store(false);
  }

  TnxServerTableCursor* Cursor(std::u16string_view aName, TnxOpenMode aMode = omReadOnly) {
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, aName, u"", aMode, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  // aRows records (every third without blob), one line per record, and the
  // IDs of aInvalid stored with a null required Name, past validation.
  Loaded BuildT(int aRows, const std::set<int32_t>& aInvalid = {}, std::u16string_view aName = u"T") {
    Loaded loaded;
    auto dict = RecoverDictionary();
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxServerObjectPtr<TnxServerTableCursor> root(Cursor(aName, omReadWrite));
    TnxServerObjectPtr<TnxServerTableCursor> lines(Cursor(std::u16string(aName) + u":Lines", omReadWrite));
    EXPECT_TRUE(root && lines) << LastMessage();
    if (!root || !lines) return loaded;
    TnxServerBaseTable& table = *root->Table();
    TnxServerBaseTable& nested = *lines->Table();
    TnxFieldsDescriptor& fields = *table.FieldsDescriptor();
    TnxFieldsDescriptor& lineFields = *nested.FieldsDescriptor();
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16), line(size_t(lineFields.RecordLength()) + 16);
    for (int32_t id = 1; id <= aRows; ++id) {
      fields.InitRecord(record.data());
      fields.SetRecordField(kID, record.data(), &id);
      // The field's whole width is copied: the rest is zeros.
      std::u16string name = u"name " + platform::Utf8ToUtf16(std::to_string(id));
      name.resize(128, u'\0');
      if (aInvalid.count(id) == 0) fields.SetRecordField(kName, record.data(), name.c_str());
      else fields.SetRecordFieldNull(kName, record.data(), true);
      const uint32_t seq = uint32_t(id);
      fields.SetRecordField(kSeq, record.data(), &seq);
      fields.SetRecordFieldNull(kData, record.data(), true);
      if (id % 3 != 0) {
        const std::string text = "blob of " + std::to_string(id) + std::string(size_t(id % 50), '.');
        TnxBlobNr blob = 0;
        table.BlobEngine()->AddBlob(trans, blob);
        table.BlobEngine()->Write(trans, blob, 0, uint32_t(text.size()), text.data());
        fields.SetRecordField(kData, record.data(), &blob);
        loaded.blobs[id] = text;
      }
      table.sbtInitRecRev(record.data());
      TnxRefNr refNr = 0;
      table.RecordEngine()->AddRecord(trans, refNr, record.data());
      EXPECT_EQ(table.IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0u) << LastMessage();
      loaded.rootBlock[id] = nxHeapRefBlock(refNr);
      lineFields.InitRecord(line.data());
      const int32_t lineID = 1000 + id;
      lineFields.SetRecordField(0, line.data(), &lineID);
      nested.sbtInitRecRev(line.data());
      TnxRefNr lineRef = 0;
      nested.RecordEngine()->AddRecord(trans, lineRef, line.data());
      loaded.lineBlock[lineID] = nxHeapRefBlock(lineRef);
    }
    table.AutoIncEngine()->SetAutoIncValue(trans, kAutoInc);
    nxsrCommit(bm, trans);
    TnxBytesStream stream;
    {
      TnxWriter writer(stream);
      writer.WriteString(u"kept");
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    EXPECT_EQ(root->TableStreamWrite(u"Notes", stream), 0u) << LastMessage();
    return loaded;
  }

  // The task's final status; the task is freed.
  TnxTaskStatus Recover(std::u16string_view aName, uint32_t* aResult = nullptr) {
    TnxAbstractTaskInfo* task = nullptr;
    const uint32_t result = db->TableRecover(aName, u"", task);
    if (aResult) *aResult = result;
    TnxTaskStatus status;
    if (result != 0) {
      EXPECT_EQ(task, nullptr);
      status.tsErrorCode = result;
      status.tsErrorMessage = platform::Utf8ToUtf16(LastMessage());
      return status;
    }
    EXPECT_NE(task, nullptr);
    bool completed = false;
    for (int i = 0; i < 120000 && !completed; ++i) {
      task->GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(completed);
    task->Free();
    return status;
  }

  // ID -> blob text ("" without) of a table, "!code" entries when it does
  // not open.
  std::map<int32_t, std::string> Contents(std::u16string_view aName) {
    std::map<int32_t, std::string> contents;
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName));
    if (!cursor) {
      contents[-1] = "!" + LastMessage();
      return contents;
    }
    TnxServerBaseTable& table = *cursor->Table();
    TnxFieldsDescriptor& fields = *table.FieldsDescriptor();
    std::vector<uint8_t> buffer(size_t(fields.RecordLength()) + 16);
    const bool hasBlob = fields.FieldCount() > kData;
    TnxRefNr refNr = 0;
    for (;;) {
      TnxRefNr next = 0;
      table.RecordEngine()->ReadNextRecord(nullptr, refNr, next, buffer.data());
      if (next == 0) break;
      refNr = next;
      bool isNull = true;
      int32_t id = 0;
      fields.GetRecordField(0, buffer.data(), isNull, &id);
      std::string text;
      TnxBlobNr blob = 0;
      if (hasBlob) fields.GetRecordField(kData, buffer.data(), isNull, &blob);
      if (hasBlob && !isNull) {
        TStringStream stream;
        uint32_t length = 0;
        table.BlobEngine()->GetBlobLength(nullptr, blob, {}, length);
        table.BlobEngine()->Read(nullptr, blob, 0, length, {}, stream);
        text = stream.Bytes;
      }
      contents[id] = text;
    }
    return contents;
  }
  uint32_t AutoIncOf(std::u16string_view aName) {
    uint32_t value = 0;
    EXPECT_EQ(db->TableAutoIncGet(aName, u"", value), 0u) << LastMessage();
    return value;
  }
  std::string StreamOf(std::u16string_view aName, std::u16string_view aStream) {
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName));
    if (!cursor) return "!";
    TnxBytesStream stream;
    if (cursor->TableStreamRead(aStream, stream) != 0 || stream.GetSize() == 0) return "-";
    stream.SetPosition(0);
    TnxReader reader(stream);
    return platform::Utf16ToUtf8(reader.ReadString());
  }
  bool Exists(std::u16string_view aName) {
    bool exists = false;
    EXPECT_EQ(db->TableExists(aName, u"", exists, false), 0u);
    return exists;
  }
  // Extenders on every table cursor opened from now on.
  void Veto(std::function<uint32_t(TnxServerTableCursor&, int32_t)> aAnswer) {
    monitor_.reset(new TestMonitor(nullptr));
    monitor_->SetServerEngine(engine.get());
    monitor_->SetActive(true);
    monitor_->attach = [aAnswer](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
      if (auto* cursor = dynamic_cast<TnxServerTableCursor*>(aObject))
        nxCreateEngineExtender<VetoExtender>(aMonitor, cursor, aAnswer);
    };
  }
  static bool EndsWith(const std::u16string& aText, std::u16string_view aEnd) {
    return aText.size() >= aEnd.size() && aText.compare(aText.size() - aEnd.size(), aEnd.size(), aEnd) == 0;
  }

  ComponentPtr<TestMonitor> monitor_;
};

TEST_F(RecoverTest, EveryRecordLandsWithItsBlobsLinesAndCounter) {
  const Loaded loaded = BuildT(200, {17, 40});
  const auto before = Contents(u"T");
  ASSERT_EQ(before.size(), 200u);
  const TnxTaskStatus status = Recover(u"T");
  ASSERT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
  EXPECT_GT(status.tsRecsRead, 2u);
  EXPECT_EQ(status.tsRecsWritten, status.tsRecsRead);

  auto recovered = Contents(u"T_Recovered");
  const auto failed = Contents(u"T_Failed");
  // The two that do not validate go to the failed table with their blobs.
  EXPECT_EQ(failed, (std::map<int32_t, std::string>{{17, before.at(17)}, {40, before.at(40)}}));
  recovered.insert(failed.begin(), failed.end());
  EXPECT_EQ(recovered, before);
  EXPECT_EQ(Contents(u"T_Recovered:Lines").size() + Contents(u"T_Failed:Lines").size(), 200u);
  EXPECT_EQ(Contents(u"T_Recovered:Lines").size(), 200u);
  for (const char16_t* name : {u"T_Recovered", u"T_Failed"}) {
    SCOPED_TRACE(platform::Utf16ToUtf8(name));
    EXPECT_EQ(AutoIncOf(name), kAutoInc);
  }
  EXPECT_EQ(StreamOf(u"T_Recovered", u"Notes"), "kept");
  // The source is as it was, and nothing pends for the next open.
  EXPECT_EQ(Contents(u"T"), before);
  CloseAll();
  OpenAll();
  EXPECT_TRUE(Exists(u"T_Recovered"));
  EXPECT_TRUE(Exists(u"T_Failed"));
  EXPECT_EQ(Contents(u"T_Recovered").size(), 198u);
}

TEST_F(RecoverTest, NamesAndTakenResultNamesAreRefused) {
  BuildT(10);
  struct Row {
    const char* name;
    std::function<void()> prepare;
    std::u16string table;
    uint32_t result;
  } rows[] = {
      {"empty name", [] {}, u"", nxeTableDoesNotExist},
      {"child path", [] {}, u"T:Lines", nxeInvalidParameter},
      {"missing table", [] {}, u"Nope", nxeTableDoesNotExist},
      {"recovered name taken", [&] { ASSERT_EQ(Build(u"T_Recovered", u"Mine", 1), 0u); }, u"T", nxeTableAlreadyExists},
      {"failed name taken", [&] { ASSERT_EQ(Build(u"T_Failed", u"Mine", 1), 0u); }, u"T", nxeTableAlreadyExists},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char16_t* name : {u"T_Recovered", u"T_Failed"})
      if (Exists(name)) {
        ASSERT_EQ(db->TableDelete(name, u""), 0u);
      }
    row.prepare();
    EXPECT_EQ(WriteRecord(u"T_Recovered", u"mine"), Exists(u"T_Recovered") ? 0u : nxeTableDoesNotExist);
    const std::vector<std::string> files = Files();
    uint32_t result = 0;
    Recover(row.table, &result);
    EXPECT_EQ(result, row.result) << LastMessage();
    // A taken name keeps its table, and nothing else is made.
    EXPECT_EQ(Files(), files);
    if (Exists(u"T_Recovered")) {
      EXPECT_EQ(ReadRecord(u"T_Recovered"), "mine");
    }
  }
  // A read-only database changes nothing.
  TnxAbstractDatabase* readOnly = nullptr;
  ASSERT_EQ(session->DatabaseOpen(readOnly, u"Path", Path(), nullptr, omReadOnly, smShared, 10000), 0u);
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(readOnly->TableRecover(u"T", u"", task), nxeDatabaseReadOnly);
  EXPECT_EQ(task, nullptr);
  readOnly->Free();
}

TEST_F(RecoverTest, ARecordRefusedByBothTablesIsLostAloneAndNamedInTheResult) {
  const Loaded loaded = BuildT(60);
  const auto before = Contents(u"T");
  // 5 and 9 are refused everywhere, 7 only by the recovered table.
  Veto([](TnxServerTableCursor& aCursor, int32_t aID) -> uint32_t {
    const std::u16string root = aCursor.sbcGetRootName();
    const bool target = EndsWith(root, u"_Recovered"), failed = EndsWith(root, u"_Failed");
    if ((target || failed) && (aID == 5 || aID == 9)) return EnxBaseException::nxSetMessage(kVeto, u"Refused %d", {aID});
    if (target && aID == 7) return EnxBaseException::nxSetMessage(kVeto + 1, u"Not here");
    return 0;
  });
  const TnxTaskStatus status = Recover(u"T");
  // The first lost record's failure is the task's; the walk went on.
  EXPECT_EQ(status.tsErrorCode, kVeto);
  EXPECT_EQ(platform::Utf16ToUtf8(status.tsErrorMessage), "Refused 5");
  auto recovered = Contents(u"T_Recovered");
  const auto failed = Contents(u"T_Failed");
  EXPECT_EQ(failed, (std::map<int32_t, std::string>{{7, before.at(7)}}));
  recovered.insert(failed.begin(), failed.end());
  auto expected = before;
  expected.erase(5);
  expected.erase(9);
  EXPECT_EQ(recovered, expected);
}

TEST_F(RecoverTest, ACancelEndsWith13062AndKeepsWhatWasRecovered) {
  BuildT(300);
  std::atomic<TnxAbstractTaskInfo*> running{nullptr};
  std::atomic<int> inserts{0};
  Veto([&](TnxServerTableCursor& aCursor, int32_t) -> uint32_t {
    if (!EndsWith(aCursor.sbcGetRootName(), u"_Recovered")) return 0;
    if (++inserts == 10) {
      for (int i = 0; i < 10000 && !running.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (TnxAbstractTaskInfo* task = running.load()) task->Cancel();
    }
    return 0;
  });
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db->TableRecover(u"T", u"", task), 0u) << LastMessage();
  running.store(task);
  TnxTaskStatus status;
  bool completed = false;
  for (int i = 0; i < 60000 && !completed; ++i) {
    task->GetStatus(completed, status);
    if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(completed);
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  task->Free();
  const size_t kept = Contents(u"T_Recovered").size();
  EXPECT_GE(kept, 10u);
  EXPECT_LT(kept, 300u);
}

// ---- damaged files ----

enum class Damage { Zeroed, Random, FlippedBit, Truncated, Header, IndexOnly };
enum class Where { First, Middle, Last };

const char* NameOf(Damage aDamage) {
  static const char* names[] = {"zeroed", "random", "flipped bit", "truncated", "header", "index only"};
  return names[int(aDamage)];
}

class RecoverDamageTest : public RecoverTest {
protected:
  std::string FilePath(const char* aFile) const { return dir.Dir() + "/" + aFile; }
  static uintmax_t SizeOf(const std::string& aPath) { return std::filesystem::file_size(aPath); }
  static void Overwrite(const std::string& aPath, uintmax_t aOffset, const std::vector<char>& aBytes) {
    std::fstream file(aPath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(std::streamoff(aOffset));
    file.write(aBytes.data(), std::streamsize(aBytes.size()));
  }
  static std::vector<char> Read(const std::string& aPath, uintmax_t aOffset, size_t aSize) {
    std::vector<char> bytes(aSize);
    std::ifstream file(aPath, std::ios::binary);
    file.seekg(std::streamoff(aOffset));
    file.read(bytes.data(), std::streamsize(aSize));
    return bytes;
  }
};

TEST_F(RecoverDamageTest, RecordsOfUndamagedBlocksAreAllRecovered) {
  constexpr size_t kBlock = 4096;
  for (Damage damage : {Damage::Zeroed, Damage::Random, Damage::FlippedBit, Damage::Truncated, Damage::Header,
                        Damage::IndexOnly})
    for (Where where : {Where::First, Where::Middle, Where::Last}) {
      if (damage == Damage::Header && where != Where::First) continue;
      SCOPED_TRACE(std::string(NameOf(damage)) + " / " + std::to_string(int(where)));
      for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
      CloseAll();
      OpenAll();
      const Loaded loaded = BuildT(400);
      const auto before = Contents(u"T");
      CloseAll();

      std::set<TnxBlockNumber> dataBlocks;
      for (const auto& [id, block] : loaded.rootBlock) dataBlocks.insert(block);
      std::vector<TnxBlockNumber> blocks(dataBlocks.begin(), dataBlocks.end());
      const std::string main = FilePath("T.nx1"), index = FilePath("T.ix");
      TnxBlockNumber hit = where == Where::First ? blocks.front()
                           : where == Where::Last ? blocks.back()
                                                  : blocks[blocks.size() / 2];
      std::string target = main;
      if (damage == Damage::Header) hit = 0;
      if (damage == Damage::IndexOnly) {
        target = index;
        const auto count = TnxBlockNumber(SizeOf(index) / kBlock);
        hit = where == Where::First ? 1 : where == Where::Last ? count - 1 : count / 2;
      }
      std::mt19937 random(unsigned(hit) * 7 + unsigned(damage));
      switch (damage) {
        case Damage::Zeroed:
          Overwrite(target, uintmax_t(hit) * kBlock, std::vector<char>(kBlock, 0));
          break;
        case Damage::Random:
        case Damage::Header:
        case Damage::IndexOnly: {
          std::vector<char> bytes(kBlock);
          for (char& c : bytes) c = char(random());
          Overwrite(target, uintmax_t(hit) * kBlock, bytes);
          break;
        }
        case Damage::FlippedBit: {
          const uintmax_t offset = uintmax_t(hit) * kBlock + random() % kBlock;
          std::vector<char> byte = Read(target, offset, 1);
          byte[0] = char(byte[0] ^ (1 << (random() % 8)));
          Overwrite(target, offset, byte);
          break;
        }
        case Damage::Truncated:
          std::filesystem::resize_file(target, uintmax_t(hit) * kBlock + kBlock / 2);
          break;
      }
      OpenAll();
      const TnxTaskStatus status = Recover(u"T");
      if (damage == Damage::Header && status.tsErrorCode != 0 && !Exists(u"T_Recovered")) {
        // A table whose header cannot be read does not open; nothing is made.
        EXPECT_FALSE(Exists(u"T_Failed"));
        continue;
      }
      EXPECT_TRUE(status.tsErrorCode == 0) << status.tsErrorCode << platform::Utf16ToUtf8(status.tsErrorMessage);
      EXPECT_LE(status.tsRecsWritten, status.tsRecsRead);
      auto found = Contents(u"T_Recovered");
      const auto failed = Contents(u"T_Failed");
      found.insert(failed.begin(), failed.end());
      const bool mainHit = target == main && damage != Damage::Header;
      for (const auto& [id, text] : before) {
        const TnxBlockNumber block = loaded.rootBlock.at(id);
        if (mainHit && (block == hit || (damage == Damage::Truncated && block > hit))) continue;
        ASSERT_EQ(found.count(id), 1u) << id;
        EXPECT_EQ(found.at(id), text) << id;
      }
      // Blocks the file holds but never wrote are unreadable too.
      if (mainHit && (damage == Damage::Zeroed || damage == Damage::Random)) {
        EXPECT_LT(status.tsRecsWritten, status.tsRecsRead);
      }
    }
}

// Random bytes over random places of the main file: the recovery answers
// codes and never crashes (run under the sanitizers).
TEST_F(RecoverDamageTest, MutatedFilesGiveOnlyResultCodes) {
  const int runs = TestSize(40, 10000);
  std::mt19937 random(20261211);
  CloseAll();
  OpenAll();
  BuildT(120);
  CloseAll();
  const std::string main = FilePath("T.nx1");
  const std::string pristine = FilePath("pristine.bin");
  std::filesystem::copy_file(main, pristine);
  int recovered = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    std::filesystem::copy_file(pristine, main, std::filesystem::copy_options::overwrite_existing);
    const uintmax_t size = SizeOf(main);
    const int mutations = 1 + int(random() % 8);
    for (int m = 0; m < mutations; ++m) {
      const uintmax_t offset = random() % size;
      std::vector<char> bytes(1 + random() % 64);
      for (char& c : bytes) c = char(random());
      if (offset + bytes.size() > size) bytes.resize(size_t(size - offset));
      Overwrite(main, offset, bytes);
    }
    OpenAll();
    const TnxTaskStatus status = Recover(u"T");
    if (status.tsErrorCode == 0) ++recovered;
    for (const char16_t* name : {u"T_Recovered", u"T_Failed"})
      if (Exists(name)) db->TableDelete(name, u"");
    CloseAll();
    nxFatalErrorFlag.store(false);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(recovered, 0);
}

}  // namespace
}  // namespace revurov::testing
