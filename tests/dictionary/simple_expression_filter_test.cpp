#include "dictionary/simple_expression_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dictionary/field_types.h"
#include "dictionary/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "tests/support/can_expression_builder.h"
#include "tests/support/exception_message.h"
#include "tests/support/test_fields_source.h"

namespace revurov::testing {
namespace {

using B = CanExpressionBuilder;

constexpr double kMsPerDay = 86400000.0;
constexpr double kToday = 739000.0 * kMsPerDay;  // a present-day time stamp

// Each test runs twice: with a source whose fields are read through it, and
// with one whose field places the filter reads itself.
class SimpleExpressionFilterTest : public ::testing::TestWithParam<bool> {
protected:
  SimpleExpressionFilterTest() {
    source_.Placed = GetParam();
    qty_ = source_.AddField(nxtInt32, 4, 4);
    name_ = source_.AddField(nxtNullString, 20, 21);
    active_ = source_.AddField(nxtBoolean, 1, 1);
    price_ = source_.AddField(nxtDouble, 8, 8);
    stamp_ = source_.AddField(nxtDateTime, 8, 8);
    other_ = source_.AddField(nxtInt32, 4, 4);
    other2_ = source_.AddField(nxtInt32, 4, 4);
    wide_ = source_.AddField(nxtWideString, 10, 22);
  }

  std::unique_ptr<TnxBaseFilterEngine> Engine(const std::vector<uint8_t>& aTree, int32_t aCodePage = -1) {
    TnxSimpleExpressionFilterDescriptor descriptor(aTree, u"", aCodePage);
    auto engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
    EXPECT_EQ(engine->ActivateFilter(0), 0u);
    return engine;
  }
  void SetName(std::vector<uint8_t>& aRecord, const std::string& aName) {
    std::string z = aName + '\0';
    source_.Set(aRecord, name_, z.data(), z.size());
  }
  void SetWide(std::vector<uint8_t>& aRecord, const std::u16string& aText) {
    std::u16string z = aText + u'\0';
    source_.Set(aRecord, wide_, z.data(), z.size() * 2);
  }

  TnxDictionaryStartupGuard startup_;
  TestFieldsSource source_;
  int qty_, name_, active_, price_, stamp_, other_, other2_, wide_;
};

// Field numbers in trees are 1-based.
uint16_t F(int aField) { return uint16_t(aField + 1); }

// Comparisons with a constant take a shortcut: it must answer as the
// general comparison does, at every boundary and for every operator.
TEST_P(SimpleExpressionFilterTest, ComparingWithAConstantAnswersAsTheGeneralComparison) {
  const uint32_t ops[] = {coEQ, coNE, coGT, coLT, coGE, coLE};
  auto expected = [](uint32_t op, long double a, long double b) {
    switch (op) {
      case coEQ: return a == b;
      case coNE: return a != b;
      case coGT: return a > b;
      case coLT: return a < b;
      case coGE: return a >= b;
      default: return a <= b;
    }
  };
  const int32_t values[] = {INT32_MIN, -1, 0, 5, 6, INT32_MAX};
  const struct {
    const char* what;
    std::function<B::Node(B&)> constant;
    long double value;
  } constants[] = {
      {"Int32 5", [](B& b) { return b.Int32(5); }, 5},
      {"Int64 past 32 bits", [](B& b) { return b.Int64(int64_t(1) << 40); }, (long double)(int64_t(1) << 40)},
      {"Int64 below 32 bits", [](B& b) { return b.Int64(-(int64_t(1) << 40)); }, -(long double)(int64_t(1) << 40)},
      {"Float 5.5 (the general way)", [](B& b) { return b.Float(5.5); }, 5.5L},
  };
  for (const auto& constant : constants)
    for (uint32_t op : ops) {
      B b;
      auto engine = Engine(b.Build(b.Compare(op, b.Field(F(qty_), "Qty"), constant.constant(b))));
      for (int32_t v : values) {
        std::vector<uint8_t> record = source_.NewRecord();
        source_.SetValue<int32_t>(record, qty_, v);
        EXPECT_EQ(engine->MatchesBuffer(record.data()), expected(op, v, constant.value))
            << constant.what << ", operator " << op << ", value " << v;
      }
      std::vector<uint8_t> empty = source_.NewRecord();
      EXPECT_EQ(engine->MatchesBuffer(empty.data()), op == coNE || op == coLT || op == coLE)
          << constant.what << ", operator " << op << ": null is below every value";
    }
}

TEST_P(SimpleExpressionFilterTest, ExpressionTimesRecordGivesResult) {
  struct Case {
    const char* what;
    std::function<B::Node(B&)> tree;
    std::function<void(std::vector<uint8_t>&)> record;
    bool expected;
  };
  auto qty = [&](int v) { return [this, v](std::vector<uint8_t>& r) { source_.SetValue<int32_t>(r, qty_, v); }; };
  auto name = [&](std::string v) { return [this, v](std::vector<uint8_t>& r) { SetName(r, v); }; };
  auto nothing = [](std::vector<uint8_t>&) {};
  auto qtyGt5 = [&](B& b) { return b.Compare(coGT, b.Field(F(qty_), "Qty"), b.Int32(5)); };
  auto nameLike = [&](std::string text, bool ci) {
    return [=, this](B& b) { return b.Compare(coLIKE, b.Field(F(name_), "Name"), b.Text(text), ci); };
  };
  auto stamp = [&](double ms) { return [this, ms](std::vector<uint8_t>& r) { source_.SetValue(r, stamp_, ms); }; };
  auto active = [&](uint8_t v) { return [this, v](std::vector<uint8_t>& r) { source_.SetValue(r, active_, v); }; };
  const Case cases[] = {
      {"integer greater", qtyGt5, qty(6), true},
      {"integer not greater", qtyGt5, qty(5), false},
      {"binary node compares too", [&](B& b) { return b.Binary(coLE, b.Field(F(qty_), "Qty"), b.Int32(5)); },
       qty(5), true},
      {"null field equal to a constant", [&](B& b) { return b.Compare(coEQ, b.Field(F(qty_), "Qty"), b.Int32(0)); },
       nothing, false},
      {"two null fields are equal",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(other_), "Other"), b.Field(F(other2_), "Other2")); }, nothing,
       true},
      {"null is below every value",
       [&](B& b) { return b.Compare(coLT, b.Field(F(other_), "Other"), b.Field(F(qty_), "Qty")); }, qty(-100), true},
      {"like finds a substring", nameLike("son", false), name("Johnson"), true},
      {"like is case-sensitive", nameLike("Son", false), name("Johnson"), false},
      {"like without case", nameLike("Son", true), name("Johnson"), true},
      {"like of the empty text", nameLike("", false), name("Johnson"), false},
      {"like takes no wildcards", nameLike("%son%", false), name("Johnson"), false},
      {"partial length 3",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(name_), "Name"), b.Text("Smi"), false, 3); }, name("Smithers"),
       true},
      {"exact equality without partial length",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(name_), "Name"), b.Text("Smi")); }, name("Smithers"), false},
      {"equality without case",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(name_), "Name"), b.Text("SMITH"), true); }, name("smith"), true},
      {"locale order", [&](B& b) { return b.Compare(coLT, b.Field(F(name_), "Name"), b.Text("b")); }, name("a"),
       true},
      {"wide constant against 8-bit field",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(name_), "Name"), b.WideText(u"Müller")); }, name("M\xfcller"),
       true},
      {"wide field like",
       [&](B& b) { return b.Compare(coLIKE, b.Field(F(wide_), "W"), b.WideText(u"ll")); },
       [&](std::vector<uint8_t>& r) { SetWide(r, u"Müller"); }, true},
      {"time stamps 40 ms apart are equal",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(stamp_), "Stamp"), b.TimeStamp(kToday)); }, stamp(kToday + 40),
       true},
      {"time stamps 1 s apart differ",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(stamp_), "Stamp"), b.TimeStamp(kToday)); },
       stamp(kToday + 1000), false},
      {"date constant against time stamp",
       [&](B& b) { return b.Compare(coGE, b.Field(F(stamp_), "Stamp"), b.Date(739000)); }, stamp(kToday), true},
      {"not over a false comparison", [&](B& b) { return b.Unary(coNOT, qtyGt5(b)); }, qty(1), true},
      {"isblank over null", [&](B& b) { return b.Unary(coISBLANK, b.Field(F(other_), "Other")); }, nothing, true},
      {"notblank over null", [&](B& b) { return b.Unary(coNOTBLANK, b.Field(F(other_), "Other")); }, nothing, false},
      {"boolean root false", [&](B& b) { return b.Field(F(active_), "Active"); }, active(0), false},
      {"boolean root true", [&](B& b) { return b.Field(F(active_), "Active"); }, active(1), true},
      {"boolean root null", [&](B& b) { return b.Field(F(active_), "Active"); }, nothing, true},
      {"boolean comparison", [&](B& b) { return b.Compare(coLT, b.Field(F(active_), "Active"), b.Bool(true)); },
       active(0), true},
      // Under AND and OR a Boolean field counts by its value.
      {"and with a false boolean field",
       [&](B& b) { return b.Binary(coAND, b.Field(F(active_), "Active"), qtyGt5(b)); },
       [&](std::vector<uint8_t>& r) { qty(6)(r); active(0)(r); }, false},
      {"and with a true boolean field",
       [&](B& b) { return b.Binary(coAND, b.Field(F(active_), "Active"), qtyGt5(b)); },
       [&](std::vector<uint8_t>& r) { qty(6)(r); active(1)(r); }, true},
      {"and with a null boolean field",
       [&](B& b) { return b.Binary(coAND, b.Field(F(active_), "Active"), qtyGt5(b)); }, qty(6), false},
      {"or with a false boolean field",
       [&](B& b) { return b.Binary(coOR, b.Field(F(active_), "Active"), qtyGt5(b)); },
       [&](std::vector<uint8_t>& r) { qty(1)(r); active(0)(r); }, false},
      {"and of a non-boolean field counts its existence",
       [&](B& b) { return b.Binary(coAND, b.Field(F(other_), "Other"), qtyGt5(b)); }, qty(6), true},
      {"and of an unknown field", [&](B& b) { return b.Binary(coAND, b.Field(99, "Nope"), qtyGt5(b)); }, qty(6),
       false},
      // An integer compared with a float constant is compared as float.
      {"integer above a float constant",
       [&](B& b) { return b.Compare(coGT, b.Field(F(qty_), "Qty"), b.Float(5.5)); }, qty(6), true},
      {"integer below a float constant",
       [&](B& b) { return b.Compare(coGT, b.Field(F(qty_), "Qty"), b.Float(5.5)); }, qty(5), false},
      {"integer equal to a float constant",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(qty_), "Qty"), b.Float(5.0)); }, qty(5), true},
      {"double against an integer constant",
       [&](B& b) { return b.Compare(coLT, b.Field(F(price_), "Price"), b.Int64(3)); },
       [&](std::vector<uint8_t>& r) { source_.SetValue(r, price_, 2.5); }, true},
      {"integer against a text constant is not equal",
       [&](B& b) { return b.Compare(coEQ, b.Field(F(qty_), "Qty"), b.Text("5")); }, qty(5), false},
      {"integer against a text constant is not unequal either",
       [&](B& b) { return b.Compare(coNE, b.Field(F(qty_), "Qty"), b.Text("5")); }, qty(5), false},
      {"comparison with an unknown field", [&](B& b) { return b.Compare(coEQ, b.Field(99, "Nope"), b.Int32(5)); },
       qty(5), false},
      {"not of an unknown field", [&](B& b) { return b.Unary(coNOT, b.Field(99, "Nope")); }, qty(5), true},
      {"operator without meaning", [&](B& b) { return b.Binary(coADD, b.Field(F(qty_), "Qty"), b.Int32(5)); },
       qty(5), false},
      {"unknown node class", [&](B& b) { return b.Raw(9, 0, {}); }, qty(5), false},
      {"continue zero", [&](B& b) { return b.Continue(0); }, qty(5), false},
      {"continue non-zero", [&](B& b) { return b.Continue(1); }, qty(5), true},
      {"continue as an operand compares as boolean",
       [&](B& b) { return b.Compare(coEQ, b.Continue(1), b.Bool(true)); }, qty(5), true},
      {"constant root of another type", [&](B& b) { return b.Int32(0); }, qty(5), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    B builder;
    auto engine = Engine(builder.Build(c.tree(builder)));
    std::vector<uint8_t> record = source_.NewRecord();
    c.record(record);
    EXPECT_EQ(engine->MatchesBuffer(record.data()), c.expected);
  }
}

// LIKE looks for the text anywhere in the field's text, and only there:
// not in the bytes after its end, not in the byte after a text that fills
// the field; a text that is not ASCII is compared as UTF-16.
TEST_P(SimpleExpressionFilterTest, LikeFindsTheTextWithinTheFieldsTextOnly) {
  const struct {
    const char* what;
    std::string field;  // the field's 21 bytes, zero-filled
    std::string text;
    bool caseInsensitive;
    bool expected;
  } cases[] = {
      {"inside", "Johnson", "son", false, true},
      {"at the start", "Johnson", "Joh", false, true},
      {"the whole text", "son", "son", false, true},
      {"longer than the text", "so", "son", false, false},
      {"empty field", "", "a", false, false},
      {"ending at the field's last byte", "abcdefghijklmnopqrst", "rst", false, true},
      {"not in the byte after a full field", std::string("abcdefghijklmnopqrst") + "u", "stu", false, false},
      {"across 16 bytes", "abcdefghijklmnopqrst", "opq", false, true},
      {"not after the end", std::string("abc\0son", 7), "son", false, false},
      {"16 characters at the end", "abcdefghijklmnopqrst", "efghijklmnopqrst", false, true},
      {"17 characters", "abcdefghijklmnopqrst", "abcdefghijklmnopq", false, true},
      {"17 characters not there", "abcdefghijklmnopqrst", "abcdefghijklmnopx", false, false},
      {"case differs", "JOHNSON", "son", false, false},
      {"case ignored", "JOHNSON", "son", true, true},
      {"case ignored in the text asked for", "johnson", "SON", true, true},
      {"the byte before A keeps its case", "@x", "`x", true, false},
      {"the byte after Z keeps its case", "x[", "x{", true, false},
      {"letters at the ends of the alphabet", "AZ", "az", true, true},
      {"not ASCII", "M\xfcllerson", "son", false, true},
      {"not ASCII, ignoring case", "M\xfcLLERSON", "son", true, true},
      {"not ASCII, not there", "M\xfcller", "son", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    B b;
    auto engine = Engine(b.Build(b.Compare(coLIKE, b.Field(F(name_), "Name"), b.Text(c.text), c.caseInsensitive)));
    std::vector<uint8_t> record = source_.NewRecord();
    std::string bytes = c.field;
    bytes.resize(21, '\0');
    source_.Set(record, name_, bytes.data(), bytes.size());
    EXPECT_EQ(engine->MatchesBuffer(record.data()), c.expected);
  }
}

TEST_P(SimpleExpressionFilterTest, InactiveOrEmptyMatchesEverything) {
  B b;
  auto tree = b.Build(b.Continue(0));
  TnxSimpleExpressionFilterDescriptor descriptor(tree, u"", -1);
  auto engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
  std::vector<uint8_t> record = source_.NewRecord();
  EXPECT_TRUE(engine->MatchesBuffer(record.data()));
  auto empty = Engine({});
  EXPECT_TRUE(empty->MatchesBuffer(record.data()));
}

TEST_P(SimpleExpressionFilterTest, EngineRebuildsItsDescriptor) {
  B b;
  auto tree = b.Build(b.Compare(coGT, b.Field(F(qty_), "Qty"), b.Int32(5)));
  TnxSimpleExpressionFilterDescriptor descriptor(tree, u"Qty > 5", 1252);
  auto engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
  auto copy = engine->CreateDescriptor();
  auto& simple = dynamic_cast<TnxSimpleExpressionFilterDescriptor&>(*copy);
  EXPECT_EQ(*simple.Expression(), tree);
  EXPECT_EQ(simple.FilterText(), u"Qty > 5");
  EXPECT_EQ(simple.CodePage(), 1252);
}

// ---- malformed trees ----

TEST_P(SimpleExpressionFilterTest, BadTreesAreRefusedWithInvalidFilter) {
  B b;
  const std::vector<uint8_t> good = b.Build(b.Compare(coGT, b.Field(F(qty_), "Qty"), b.Int32(5)));
  // Layout of `good`: header 10, compare node 10..26, field node 26..38,
  // constant node 38..52, literals from 52 ("Qty\0", then 4 value bytes).
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  auto put16 = [](uint32_t at, uint16_t v) { return [=](std::vector<uint8_t>& t) { B::Put16(t, at, v); }; };
  const Case cases[] = {
      {"shorter than a header", [](std::vector<uint8_t>& t) { t.resize(6); }},
      {"total size beyond the bytes", put16(2, 200)},
      {"total size below a header", put16(2, 4)},
      {"node area outside", put16(6, 60)},
      {"literal pool outside", put16(8, 61)},
      {"left operand outside", put16(10 + 12, 600)},
      {"right operand outside", put16(10 + 14, 60)},
      {"field name outside", put16(26 + 10, 100)},
      {"constant value outside", put16(38 + 12, 5)},
      {"constant shorter than its type", put16(38 + 10, 2)},
      {"node cut by the total size", [](std::vector<uint8_t>& t) { B::Put16(t, 2, 44); t.resize(44); }},
      {"a node that is its own operand", put16(10 + 12, 0)},
      {"field name without terminator",
       [](std::vector<uint8_t>& t) { t[52 + 3] = 'x'; t.resize(56); B::Put16(t, 2, 56); B::Put16(t, 38 + 12, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> tree = good;
    c.damage(tree);
    TnxSimpleExpressionFilterDescriptor descriptor(tree, u"", -1);
    try {
      TnxBaseFilterEngine::CreateFor(descriptor, &source_);
      ADD_FAILURE() << "accepted";
    } catch (const EnxSimpleExpressionFilterEngineException& e) {
      EXPECT_EQ(e.ErrorCode(), 10051u);
      EXPECT_TRUE(Contains(e.Message(), u"Invalid Filter"));
    }
  }
}

TEST_P(SimpleExpressionFilterTest, SharedSubtreesAndDeepNestingAreRefused) {
  // 40 levels whose two operands are one node: 2^40 visits if walked.
  B shared;
  B::Node n = shared.Continue(1);
  auto tree = shared.Build(n);
  std::vector<uint8_t> chain(10, 0);
  const int levels = 40;
  for (int i = 0; i < levels; ++i) {
    uint32_t at = uint32_t(chain.size());
    chain.resize(at + 12);
    uint32_t cls = nxcnBinary, op = coAND;
    std::memcpy(chain.data() + at, &cls, 4);
    std::memcpy(chain.data() + at + 4, &op, 4);
    B::Put16(chain, at + 8, uint16_t(at + 12 - 10));
    B::Put16(chain, at + 10, uint16_t(at + 12 - 10));
  }
  uint32_t at = uint32_t(chain.size());
  chain.resize(at + 10);
  uint32_t cls = nxcnContinue;
  std::memcpy(chain.data() + at, &cls, 4);
  B::Put16(chain, at + 8, 1);
  B::Put16(chain, 2, uint16_t(chain.size()));
  B::Put16(chain, 6, 10);
  B::Put16(chain, 8, uint16_t(chain.size()));

  B deep;
  B::Node d = deep.Continue(1);
  for (int i = 0; i <= TnxSimpleExpressionFilterEngine::kMaxDepth; ++i) d = deep.Unary(coNOT, d);
  for (const auto& bad : {chain, deep.Build(d)}) {
    TnxSimpleExpressionFilterDescriptor descriptor(bad, u"", -1);
    EXPECT_THROW(TnxBaseFilterEngine::CreateFor(descriptor, &source_), EnxSimpleExpressionFilterEngineException);
  }
  EXPECT_NO_THROW(Engine(tree));
}

// Random trees and random damage: every tree is either refused or
// evaluated without reading outside it (ASan and UBSan watch).
TEST_P(SimpleExpressionFilterTest, RandomTreesAndBytesNeverReadOutside) {
  std::mt19937 rng(2115);
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  std::function<B::Node(B&, int)> grow = [&](B& b, int depth) -> B::Node {
    int kind = depth > 4 ? 4 + pick(5) : pick(9);
    switch (kind) {
      case 0: return b.Unary(uint32_t(pick(12)), grow(b, depth + 1));
      case 1: return b.Binary(uint32_t(pick(32)), grow(b, depth + 1), grow(b, depth + 1));
      case 2:
      case 3:
        return b.Compare(uint32_t(pick(32)), grow(b, depth + 1), grow(b, depth + 1), pick(2) == 1,
                         uint16_t(pick(4)));
      case 4: return b.Field(uint16_t(pick(10)), "F");
      case 5: return b.Int32(pick(10));
      case 6: return b.Text(std::string(size_t(pick(5)), 'a'));
      case 7: return b.WideText(u"xy");
      default: {
        uint8_t raw[16];
        for (auto& x : raw) x = uint8_t(rng());
        static const uint16_t types[] = {1, 2, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 18, 27, 0x1007, 99};
        return b.Const(types[pick(16)], raw, uint16_t(pick(17)));
      }
    }
  };
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> r(source_.RecordLength());
    for (auto& x : r) x = uint8_t(rng());
    for (int f = 0; f < source_.GetFieldCount(); ++f) r[size_t(f)] = uint8_t(pick(2));
    records.push_back(r);
  }
  int accepted = 0;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    B b;
    std::vector<uint8_t> tree = b.Build(grow(b, 0));
    int damage = pick(4);
    for (int i = 0; i < damage; ++i) tree[size_t(pick(int(tree.size())))] = uint8_t(rng());
    if (pick(8) == 0) tree.resize(size_t(pick(int(tree.size()) + 1)));
    TnxSimpleExpressionFilterDescriptor descriptor(tree, u"", pick(2) ? 1252 : -1);
    std::unique_ptr<TnxBaseFilterEngine> engine;
    try {
      engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
    } catch (const EnxSimpleExpressionFilterEngineException& e) {
      ASSERT_EQ(e.ErrorCode(), 10051u);
      continue;
    }
    ++accepted;
    engine->SetActive(true);
    for (const auto& r : records) {
      try {
        engine->MatchesBuffer(r.data());
      } catch (const EnxBaseException&) {
        // A text the code page cannot convert may raise; it never reads outside.
      }
    }
  }
  EXPECT_GT(accepted, 100);
}

// ---- stream ----

TEST_P(SimpleExpressionFilterTest, StreamKindsRoundTrip) {
  B b;
  auto tree = b.Build(b.Compare(coGT, b.Field(1, "Qty"), b.Int32(5)));
  struct Case {
    std::u16string text;
    int32_t codePage;
    int32_t version;
    uint8_t kind;
    int32_t codePageRead;
  };
  const Case cases[] = {
      {u"", -1, 47501, 1, -1},          {u"Qty > 5", -1, 47501, 3, -1}, {u"Qty > 5", 1252, 47501, 4, 1252},
      {u"", 1252, 47501, 4, 1252},      {u"Qty > 5", 1252, 30001, 3, -1}, {u"", 1252, 30001, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    TnxSimpleExpressionFilterDescriptor descriptor(tree, c.text, c.codePage);
    TnxMemoryStream stream;
    ASSERT_EQ(descriptor.WriteToStream(stream, c.version), 0u);
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    size_t nameLength = bytes[0];
    EXPECT_EQ(bytes[1 + nameLength], c.kind);
    stream.SetPosition(0);
    std::unique_ptr<TnxBaseFilterDescriptor> read;
    ASSERT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, read), 0u);
    auto& simple = dynamic_cast<TnxSimpleExpressionFilterDescriptor&>(*read);
    EXPECT_EQ(*simple.Expression(), tree);
    EXPECT_EQ(simple.FilterText(), c.text);
    EXPECT_EQ(simple.CodePage(), c.codePageRead);
    EXPECT_EQ(stream.Position(), stream.GetSize());
  }
}

TEST_P(SimpleExpressionFilterTest, StreamReadsEightBitTextAndRefusesShortOnes) {
  std::string name = "TnxSimpleExpressionFilterDescriptor";
  std::string head = char(name.size()) + name;
  struct Case {
    const char* what;
    std::string data;
    uint32_t code;
  };
  const Case cases[] = {
      {"8-bit text", std::string("\x02\x00\x00\x03\x00" "abc", 8), 0},
      {"8-bit text cut short", std::string("\x02\x00\x00\x03\x00" "ab", 7), 15498},
      {"wide text cut short", std::string("\x03\x00\x00\x02\x00" "a\0b", 8), 15498},
      {"text length missing", std::string("\x03\x00\x00", 3), 15498},
      {"kind 0", std::string("\x00\x00\x00", 3), 15498},
      {"kind 5", std::string("\x05\x00\x00", 3), 15498},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = head + c.data;
    TnxMemoryStream stream;
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(0);
    std::unique_ptr<TnxBaseFilterDescriptor> read;
    EXPECT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, read), c.code);
    if (c.code == 0) {
      EXPECT_EQ(dynamic_cast<TnxSimpleExpressionFilterDescriptor&>(*read).FilterText(), u"abc");
    }
  }
}

TEST_P(SimpleExpressionFilterTest, TooLongTextOrExpressionIsRefusedNotWrapped) {
  struct Case {
    size_t expressionBytes, textUnits;
    const char16_t* message;
  };
  const Case cases[] = {
      {10, 65536, u"Filter text too long for the stream: 65536 characters"},
      {65536, 0, u"Filter expression too long for the stream: 65536 bytes"},
  };
  for (const Case& c : cases) {
    TnxSimpleExpressionFilterDescriptor descriptor(std::vector<uint8_t>(c.expressionBytes),
                                                   std::u16string(c.textUnits, u'x'), -1);
    TnxMemoryStream stream;
    EXPECT_EQ(descriptor.WriteToStream(stream, 47501), 12289u);
    EXPECT_EQ(stream.GetSize(), 0);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(message, c.message);
  }
  TnxSimpleExpressionFilterDescriptor longest(std::vector<uint8_t>(10), std::u16string(65535, u'x'), -1);
  TnxMemoryStream stream;
  EXPECT_EQ(longest.WriteToStream(stream, 47501), 0u);
}

INSTANTIATE_TEST_SUITE_P(FieldReads, SimpleExpressionFilterTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& aInfo) {
                           return aInfo.param ? "InPlace" : "ThroughTheSource";
                         });

}  // namespace
}  // namespace revurov::testing
