// A started engine, a session and a database on a temporary folder, with
// helpers to build three-file tables, write and read one "record" (a named
// stream) in them, and list the folder's table files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"
#include "server/buffer_calls.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/table_file_moves.h"
#include "storage/stream_engines.h"
#include "storage/transactions.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {

// Fields named after aTag, so that two dictionaries tell apart; with
// aFiles > 1 further files "ix" and "bl".
inline std::unique_ptr<TnxDataDictionary> TaggedDictionary(std::u16string_view aTag, int aFiles = 3) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(std::u16string(aTag), u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor().AddField(u"Name", u"", nxtWideString, 20, 0, false);
  if (aFiles > 1) dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  if (aFiles > 2) dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
  return dict;
}

// ID and Name, indexed by ByID (unique) and ByName (duplicates allowed) in
// the file "ix".
inline std::unique_ptr<TnxDataDictionary> TwoIndexDictionary() {
  auto dict = TaggedDictionary(u"ID", 2);
  auto* indices = dict->EnsureIndicesDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(0);
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByName", 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(1);
  return dict;
}

class TableOpsFixture : public ServerFixture {
protected:
  TableOpsFixture() { OpenAll(); }
  ~TableOpsFixture() override { CloseAll(); }

  void OpenAll(std::u16string_view aPath = {}) {
    Start();
    session = Open();
    TnxAbstractDatabase* database = nullptr;
    const std::u16string path = aPath.empty() ? Path() : std::u16string(aPath);
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", path, nullptr, omReadWrite, smShared, 10000), 0u)
        << LastMessage();
    db = static_cast<TnxServerDatabase*>(database);
  }
  void CloseAll() {
    if (db) db->Free();
    db = nullptr;
    engine->SetActive(false);
  }

  std::u16string Path() const { return platform::Utf8ToUtf16(dir.Dir()); }
  TnxServerFolder& Folder() { return *db->Folder(); }

  uint32_t Build(std::u16string_view aName, std::u16string_view aTag = u"A", int aFiles = 3,
                 std::u16string_view aPassword = u"", bool aOverWrite = false) {
    auto dict = TaggedDictionary(aTag, aFiles);
    return db->TableBuild(aOverWrite, aName, aPassword, dict.get(), tsPersistent, false);
  }

  // One named stream "Rec" holding aValue; 0 or the first failure.
  uint32_t WriteRecord(std::u16string_view aName, std::u16string_view aValue, std::u16string_view aPassword = u"") {
    TnxPadlockGuard guard(Folder().TablesPadlock());
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    std::vector<std::u16string> passwords;
    if (!aPassword.empty()) passwords.emplace_back(aPassword);
    uint32_t result = Folder().sfTableOpen(aName, passwords, omReadWrite, smExclusive, false, table, readOnly);
    if (result != 0) return result;
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    TnxBytesStream stream;
    {
      TnxWriter writer(stream);
      writer.WriteString(aValue);
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    result = table->StreamEngine()->WriteNamedStream(trans, u"Rec", stream);
    if (result == 0)
      nxsrCommit(bm, trans);
    else
      nxsrRollback(bm, trans);
    table->Free();
    return result;
  }

  // The record, "-" without one, "!code" when the table does not open.
  std::string ReadRecord(std::u16string_view aName, std::u16string_view aPassword = u"") {
    TnxPadlockGuard guard(Folder().TablesPadlock());
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    std::vector<std::u16string> passwords;
    if (!aPassword.empty()) passwords.emplace_back(aPassword);
    const uint32_t result = Folder().sfTableOpen(aName, passwords, omReadOnly, smShareRead, false, table, readOnly);
    if (result != 0) return "!" + std::to_string(result);
    TnxBytesStream stream;
    std::string value = "-";
    if (table->StreamEngine()->ReadNamedStream(nullptr, u"Rec", stream) == 0 && stream.GetSize() > 0) {
      stream.SetPosition(0);
      TnxReader reader(stream);
      value = platform::Utf16ToUtf8(reader.ReadString());
    }
    table->Free();
    return value;
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      if (entry.path().filename() != "nxTrans.cfg" && entry.path().filename() != "nxTableMoves.cfg")
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Has(const std::string& aFile) const { return std::filesystem::exists(dir.Path(aFile)); }
  // Steps of a rename, delete or overwrite still to finish (finished now).
  bool IntentPending() { return nxFinishFileMoves(platform::Utf8ToUtf16(dir.Dir())); }

  TempDir dir;
  TnxServerSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};

}  // namespace revurov::testing
