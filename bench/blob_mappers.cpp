// A 64 MiB memo in code page 1252 converted into a memo in 1250: through
// the BLOB mapper (read, convert and write in pieces through the cursors,
// inside a transaction that is rolled back between runs, as a restructure
// writes its target), against two raw ucnv_convertEx calls over the same
// bytes held in memory.
#include <benchmark/benchmark.h>

#include <unicode/ucnv.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "fieldmap/blob_mappers.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "platform/code_page.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr uint32_t kMemoSize = 64u << 20;

// 1252 text with accented letters, the euro sign and one letter 1250 lacks.
const std::string& Memo() {
  static const std::string memo = [] {
    const std::string pattern = platform::UnicodeToCodePageLossy(u"Grüße aus Köln, café crème, € 5, Æther. ", 1252);
    std::string m;
    m.reserve(kMemoSize);
    while (m.size() < kMemoSize) m += pattern;
    m.resize(kMemoSize);
    return m;
  }();
  return memo;
}

struct Tables {
  Tables() {
    database = server.OpenFolder(folder.path);
    if (!database) return;
    from = Open(u"From", 1252);
    to = Open(u"To", 1250);
    if (!from || !to) return;
    TnxBlobNr nr = 0;
    if (from->sbcBlobCreate(nxNullRecID, 0, nr) != 0) return;
    const std::string& memo = Memo();
    for (uint32_t at = 0; at < kMemoSize; at += nxBlobMapperChunkSize)
      if (from->sbcBlobWrite(nxNullRecID, 0, nr, at, nxBlobMapperChunkSize, memo.data() + at) != 0) return;
    source = nr;
    TnxFieldDescriptor& s = *from->TableDescriptor()->FieldsDescriptor().FieldDescriptor(0);
    TnxFieldDescriptor& t = *to->TableDescriptor()->FieldsDescriptor().FieldDescriptor(0);
    const TnxFieldMapperDescriptor desc(u"M", u"M", dlaFail);
    mapper = TnxBaseFieldMapper::CreateMapper(s, from, t, to, &desc, method);
  }
  ~Tables() {
    mapper.reset();
    if (from) from->Free();
    if (to) to->Free();
    if (database) database->Free();
  }

  TnxServerTableCursor* Open(std::u16string_view aName, uint16_t aCodePage) {
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"M", u"", nxtBlobMemo, 0, 0, false)->AddLocaleDescriptor()
        ->SetOverrideStorageCodepage(aCodePage);
    dict.FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict.AddBlobDescriptor()->SetFileNumber(1);
    if (database->TableBuild(false, aName, u"", &dict, tsPersistent, false) != 0) return nullptr;
    TnxAbstractCursor* cursor = nullptr;
    database->CursorOpen(cursor, aName, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr);
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  TnxFieldMapStartupGuard fieldMap;
  // Room for both memos: the target's blocks stay dirty until the rollback.
  bench::TServerBenchEngine server{512};
  bench::TempFolder folder;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* from = nullptr;
  TnxServerTableCursor* to = nullptr;
  TnxBlobNr source = 0;
  std::unique_ptr<TnxBaseFieldMapper> mapper;
  TnxMappingMethod method;
};

void MapperOurs(benchmark::State& state) {
  Tables t;
  if (!t.method.Assigned() || t.source == 0) {
    state.SkipWithError("set-up failed");
    return;
  }
  uint8_t sourceField[8], targetField[8];
  std::memcpy(sourceField, &t.source, 8);
  for (auto _ : state) {
    state.PauseTiming();
    if (t.database->TransactionStart(false, false) != 0) {
      state.SkipWithError("no transaction");
      break;
    }
    state.ResumeTiming();
    const uint32_t result = t.method(sourceField, targetField);
    state.PauseTiming();
    t.database->TransactionRollback();
    state.ResumeTiming();
    if (result != 0) {
      state.SkipWithError("mapping failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kMemoSize});
}

void ConvertExPeer(benchmark::State& state) {
  const std::string& memo = Memo();
  UErrorCode err = U_ZERO_ERROR;
  UConverter* from = ucnv_open("windows-1252", &err);
  UConverter* utf16 = ucnv_open("UTF-16LE", &err);
  UConverter* to = ucnv_open("windows-1250", &err);
  if (U_FAILURE(err)) {
    state.SkipWithError("no converter");
    return;
  }
  std::vector<char> wide(size_t{kMemoSize} * 2 + 16), out(size_t{kMemoSize} + 16);
  for (auto _ : state) {
    err = U_ZERO_ERROR;
    char* w = wide.data();
    const char* in = memo.data();
    ucnv_convertEx(utf16, from, &w, wide.data() + wide.size(), &in, memo.data() + memo.size(), nullptr, nullptr,
                   nullptr, nullptr, true, true, &err);
    char* o = out.data();
    const char* win = wide.data();
    ucnv_convertEx(to, utf16, &o, out.data() + out.size(), &win, w, nullptr, nullptr, nullptr, nullptr, true, true,
                   &err);
    benchmark::DoNotOptimize(o);
    if (U_FAILURE(err)) {
      state.SkipWithError("conversion failed");
      break;
    }
  }
  ucnv_close(from);
  ucnv_close(utf16);
  ucnv_close(to);
  state.SetBytesProcessed(state.iterations() * int64_t{kMemoSize});
}

BENCHMARK(MapperOurs)->Name("memo_1252_to_1250_64mib/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ConvertExPeer)->Name("memo_1252_to_1250_64mib/peer:ucnv_convertEx")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
