// Filter descriptors as clients send them, and expression trees alone: the
// first byte picks whether the rest is a filter descriptor stream or the
// bytes of an expression tree. Whatever is accepted is built into an engine
// and evaluated against a few records.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/field_types.h"
#include "dictionary/filter_engines.h"
#include "dictionary/simple_expression_filter.h"
#include "dictionary/startup.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/rtl_exception.h"
#include "tests/support/can_expression_builder.h"
#include "tests/support/test_fields_source.h"

namespace revurov::fuzz {

namespace {

struct Table {
  testing::TestFieldsSource source;
  std::vector<std::vector<uint8_t>> records;
  Table() {
    int qty = source.AddField(nxtInt32, 4, 4);
    int name = source.AddField(nxtNullString, 8, 9);
    int flag = source.AddField(nxtBoolean, 1, 1);
    int when = source.AddField(nxtDateTime, 8, 8);
    int wide = source.AddField(nxtWideString, 4, 10);
    int price = source.AddField(nxtDouble, 8, 8);
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> r = source.NewRecord();
      if (i > 0) {
        source.SetValue<int32_t>(r, qty, 6 * i);
        source.Set(r, name, "Johnson", 8);
        source.SetValue<uint8_t>(r, flag, uint8_t(i - 1));
        source.SetValue<double>(r, when, 6.4e13 * i);
        source.Set(r, wide, u"M\u00fcll", 10);
        source.SetValue<double>(r, price, 2.5 * i);
      }
      records.push_back(r);
    }
  }
};
Table& TheTable() {
  static Table table;
  return table;
}

std::vector<std::vector<uint8_t>> SeedTrees() {
  using B = testing::CanExpressionBuilder;
  std::vector<std::vector<uint8_t>> trees;
  {
    B b;
    trees.push_back(b.Build(b.Binary(coAND, b.Compare(coGT, b.Field(1, "Qty"), b.Int32(5)),
                                     b.Compare(coLIKE, b.Field(2, "Name"), b.Text("son"), true))));
  }
  {
    B b;
    trees.push_back(b.Build(b.Binary(coOR, b.Unary(coNOT, b.Field(3, "Flag")),
                                     b.Compare(coEQ, b.Field(5, "W"), b.WideText(u"M\u00fcll"), false, 2))));
  }
  {
    B b;
    trees.push_back(b.Build(b.Compare(coLE, b.Field(6, "Price"), b.Float(4.0))));
  }
  return trees;
}

}  // namespace

void SetUp() {
  static TnxDictionaryStartupGuard dictionary;
  TheTable();
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const auto& tree : SeedTrees()) {
    seeds.push_back(std::string(1, '\1') + std::string(tree.begin(), tree.end()));
    TnxSimpleExpressionFilterDescriptor descriptor(tree, u"Qty > 5", 1252);
    TnxMemoryStream s;
    descriptor.WriteToStream(s, 47501);
    seeds.push_back(std::string(1, '\0') +
                    std::string(static_cast<const char*>(s.Memory()), static_cast<size_t>(s.GetSize())));
  }
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const bool treeOnly = fuzz::TakeByte(in) & 1;
  fuzz::Table& table = fuzz::TheTable();
  try {
    std::unique_ptr<TnxBaseFilterDescriptor> descriptor;
    if (treeOnly) {
      descriptor = std::make_unique<TnxSimpleExpressionFilterDescriptor>(std::vector<uint8_t>(in.begin(), in.end()),
                                                                         u"", 1252);
    } else {
      std::string bytes(in);
      TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
      if (TnxBaseFilterDescriptor::CreateFromStream(stream, descriptor) != 0) return 0;
    }
    std::unique_ptr<TnxBaseFilterEngine> engine = TnxBaseFilterEngine::CreateFor(*descriptor, &table.source);
    engine->ActivateFilter(0);
    for (const auto& r : table.records) engine->MatchesBuffer(r.data());
  } catch (const platform::Exception&) {
  }
  return 0;
}
