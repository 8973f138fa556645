// 10^6 records of 20 fields (200 bytes: Int32, Int64, Double, Int16,
// ShortString and ByteArray fields, a tenth of the values null) mapped by
// the record mapper engine between two tables of equal layout, against a
// hand-written loop that copies the same fields and their null flags. Both
// clear the target record before each one, as the engine's callers do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/record_mapper_engine.h"
#include "fieldmap/startup.h"
#include "platform/text.h"
#include "server_bench_engine.h"
#include "temp_folder.h"

namespace {

using namespace revurov;

constexpr int kRecords = 1'000'000;
constexpr int kRing = 4096;  // distinct source records, used in turn

std::unique_ptr<TnxDataDictionary> Layout() {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& f = dict->FieldsDescriptor();
  int n = 0;
  auto add = [&](TnxFieldType aType, int32_t aUnits) {
    f.AddField(u"F" + platform::Utf8ToUtf16(std::to_string(n++)), u"", aType, aUnits, 0, false);
  };
  for (int i = 0; i < 6; ++i) add(nxtInt32, 0);
  for (int i = 0; i < 4; ++i) add(nxtInt64, 0);
  for (int i = 0; i < 4; ++i) add(nxtDouble, 0);
  for (int i = 0; i < 2; ++i) add(nxtInt16, 0);
  for (int i = 0; i < 2; ++i) add(nxtShortString, 31);
  for (int i = 0; i < 2; ++i) add(nxtByteArray, 22);
  return dict;
}

struct World {
  World() {
    database = server.OpenFolder(folder.path);
    auto dict = Layout();
    for (const char16_t* name : {u"Src", u"Dst"}) {
      database->TableBuild(false, name, u"", dict.get(), tsPersistent, false);
      TnxAbstractCursor* cursor = nullptr;
      database->CursorOpen(cursor, name, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr);
      (name[0] == u'S' ? source : target) = cursor;
    }
    fields = &source->TableDescriptor()->FieldsDescriptor();
    recordLength = size_t(fields->RecordLength()) + 4;
    std::mt19937 rng(961);
    records.resize(recordLength * kRing);
    for (int r = 0; r < kRing; ++r) {
      uint8_t* rec = records.data() + recordLength * size_t(r);
      fields->InitRecord(rec);
      for (int32_t i = 0; i < fields->FieldCount(); ++i) {
        if (rng() % 10 == 0) continue;
        const TnxFieldDescriptor& fd = *fields->FieldDescriptor(i);
        uint8_t* p = rec + fd.Offset();
        if (fd.FieldType() == nxtDouble) {
          const double d = double(rng()) / 7.0;
          std::memcpy(p, &d, 8);
        } else if (fd.FieldType() == nxtShortString) {
          const uint8_t len = uint8_t(rng() % 31);
          p[0] = len;
          for (int c = 1; c <= len; ++c) p[c] = uint8_t('a' + rng() % 26);
        } else {
          for (int32_t b = 0; b < fd.Length(); ++b) p[b] = uint8_t(rng());
        }
        fields->SetRecordFieldNull(i, rec, false);
      }
    }
  }
  ~World() {
    source->Free();
    target->Free();
    database->Free();
  }

  TnxFieldMapStartupGuard fieldMap;
  bench::TServerBenchEngine server;
  bench::TempFolder folder;
  TnxAbstractDatabase* database = nullptr;
  TnxAbstractCursor* source = nullptr;
  TnxAbstractCursor* target = nullptr;
  TnxFieldsDescriptor* fields = nullptr;
  size_t recordLength = 0;
  std::vector<uint8_t> records;
};

void Ours(benchmark::State& state) {
  World w;
  TnxRecordMapperDescriptor mapping;
  mapping.MapAllFieldsByPosition(*w.fields, w.target->TableDescriptor()->FieldsDescriptor(), dlaFail);
  auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, w.source, w.target);
  const TnxFieldsDescriptor& targetFields = w.target->TableDescriptor()->FieldsDescriptor();
  std::vector<uint8_t> out(w.recordLength);
  engine->BeforeFirstRecord();
  for (auto _ : state) {
    uint32_t failed = 0;
    for (int i = 0; i < kRecords; ++i) {
      targetFields.InitRecord(out.data());
      failed += engine->MapRecord(w.records.data() + w.recordLength * size_t(i % kRing), out.data());
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::DoNotOptimize(failed);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void HandLoop(benchmark::State& state) {
  World w;
  const TnxFieldsDescriptor& sf = *w.fields;
  const TnxFieldsDescriptor& tf = w.target->TableDescriptor()->FieldsDescriptor();
  struct Copy {
    int32_t Field, SourceOffset, TargetOffset, Length;
  };
  std::vector<Copy> copies;
  for (int32_t i = 0; i < sf.FieldCount(); ++i)
    copies.push_back({i, sf.FieldDescriptor(i)->Offset(), tf.FieldDescriptor(i)->Offset(),
                      sf.FieldDescriptor(i)->Length()});
  const int32_t sourceBitmap = sf.LogicalRecordLength();
  const int32_t targetBitmap = tf.LogicalRecordLength();
  std::vector<uint8_t> out(w.recordLength);
  for (auto _ : state) {
    for (int i = 0; i < kRecords; ++i) {
      tf.InitRecord(out.data());
      const uint8_t* in = w.records.data() + w.recordLength * size_t(i % kRing);
      for (const Copy& c : copies) {
        if ((in[sourceBitmap + (c.Field >> 3)] >> (c.Field & 7)) & 1) continue;
        std::memcpy(out.data() + c.TargetOffset, in + c.SourceOffset, size_t(c.Length));
        out[size_t(targetBitmap + (c.Field >> 3))] &= uint8_t(~(1u << (c.Field & 7)));
      }
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

}  // namespace

BENCHMARK(Ours)->Name("map_record_20_fields/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(HandLoop)->Name("map_record_20_fields/peer:hand_loop")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
