// A caching cursor keeps a blob change in a private copy until the record
// is posted, then copies it back; a passthrough cursor writes straight into
// the table's blob. Both walk a table of 10^4 records, each with a 1 KiB
// blob, write 1 KiB at offset 0 into the record's blob and post the record.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kRecords = 10000;
constexpr uint32_t kBlobSize = 1024;

struct Table {
  Table() {
    database = server.OpenFolder(folder.path);
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Data", u"", nxtBlob, 0, 0, false);
    dict.FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict.AddBlobDescriptor()->SetFileNumber(1);
    if (!database || database->TableBuild(false, u"T", u"", &dict, tsPersistent, false) != 0) return;
    database->CursorOpen(keeper, u"T", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr);
    if (!keeper) return;
    TnxServerTableCursor* filler = Cursor(false);
    TnxFieldsDescriptor& fields = filler->TableDescriptor()->FieldsDescriptor();
    record.assign(size_t(fields.RecordLength()) + 16, 0);
    const std::vector<uint8_t> blob(kBlobSize, 0x11);
    for (int32_t i = 0; i < kRecords && ok; ++i) {
      TnxBlobNr nr = 0;
      ok = filler->BlobReplace(nxNullRecID, 1, nr, kBlobSize, blob.data()) == 0;
      fields.InitRecord(record.data());
      fields.SetRecordField(0, record.data(), &i);
      fields.SetRecordField(1, record.data(), &nr);
      ok = ok && filler->RecordInsert(nxltNoLock, record.data(), nullptr) == 0;
    }
    filler->Free();
  }
  ~Table() {
    if (keeper) keeper->Free();
    if (database) database->Free();
  }

  TnxServerTableCursor* Cursor(bool aBlobCache) {
    auto* table = static_cast<TnxServerTableCursor*>(keeper)->Table();
    return nxCreateServerObject<TnxServerTableCursor>(static_cast<TnxServerDatabase*>(database), table, 10000u,
                                                      omReadWrite, smShared, u"", -1, aBlobCache, false)
        .release();
  }

  // One pass: every record's blob overwritten and the record posted.
  bool Pass(TnxServerTableCursor* aCursor, uint8_t aFill) {
    const std::vector<uint8_t> data(kBlobSize, aFill);
    TnxFieldsDescriptor& fields = aCursor->TableDescriptor()->FieldsDescriptor();
    const uint32_t offset = uint32_t(fields.FieldDescriptor(1)->Offset());
    if (aCursor->SetToBegin() != 0) return false;
    int count = 0;
    while (aCursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      const TnxBlobNr nr = platform::LoadLE<int64_t>(record.data() + offset);
      const TnxRecID rec{aCursor->sacGetRefNr(), 0};
      if (aCursor->BlobWrite(rec, 1, nr, 0, kBlobSize, data.data()) != 0) return false;
      if (aCursor->RecordModify(record.data(), true, nullptr) != 0) return false;
      ++count;
    }
    return count == kRecords;
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxAbstractCursor* keeper = nullptr;
  std::vector<uint8_t> record;
  bool ok = true;
};

void Run(benchmark::State& state, bool aBlobCache) {
  Table table;
  if (!table.keeper || !table.ok) {
    state.SkipWithError("set-up failed");
    return;
  }
  TnxServerTableCursor* cursor = table.Cursor(aBlobCache);
  uint8_t fill = 0;
  for (auto _ : state) {
    if (!table.Pass(cursor, ++fill)) {
      state.SkipWithError("pass failed");
      break;
    }
  }
  cursor->Free();
}

void CachingBlobWrite_Ours(benchmark::State& state) { Run(state, true); }
void CachingBlobWrite_Passthrough(benchmark::State& state) { Run(state, false); }

BENCHMARK(CachingBlobWrite_Ours)->Name("caching_blob_write/ours")->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(CachingBlobWrite_Passthrough)
    ->Name("caching_blob_write/peer:passthrough_cursor")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
