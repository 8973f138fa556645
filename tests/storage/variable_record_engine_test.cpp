#include "storage/variable_record_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/filter_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/cached_heap_engine.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/record_compression.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/fake_deadline_clock.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU64;
using testing::ErrorCodeOf;
using testing::TTableFixture;
using testing::TTableShape;
using testing::TTestDataDictionary;

using TRecord = std::vector<uint8_t>;

struct TField {
  TnxFieldType Type;
  int32_t Units = 0;
  int32_t DecPl = 0;
};

// One field of every type a record can hold (the RefNr field comes first
// from the fixture).
const std::vector<TField> kEveryType = {
    {nxtBoolean},      {nxtChar},        {nxtWideChar},     {nxtByte},         {nxtWord16},   {nxtWord32},
    {nxtInt8},         {nxtInt16},       {nxtInt32},        {nxtInt64},        {nxtAutoInc},  {nxtSingle},
    {nxtDouble},       {nxtExtended},    {nxtCurrency},     {nxtDate},         {nxtTime},     {nxtDateTime},
    {nxtInterval},     {nxtBlob},        {nxtBlobMemo},     {nxtBlobGraphic},  {nxtByteArray, 24},
    {nxtShortString, 60}, {nxtNullString, 60}, {nxtWideString, 30}, {nxtRecRev}, {nxtGuid},
    {nxtBCD},          {nxtBlobWideMemo}, {nxtFmtBCD, 12, 2},
};

struct TEngineCase {
  const char16_t* Engine;
  const char16_t* Compression;  // null: no compression descriptor
  int32_t CompressType = 0;
};

std::u16string Text(int aValue) {
  const std::string s = std::to_string(aValue);
  return {s.begin(), s.end()};
}

void AddFields(TnxFieldsDescriptor& aFields, const std::vector<TField>& aLayout, int aFirst = 0) {
  for (size_t i = 0; i < aLayout.size(); ++i) {
    const std::u16string name = u"F" + Text(aFirst + static_cast<int>(i));
    aFields.AddField(name, u"", aLayout[i].Type, aLayout[i].Units, aLayout[i].DecPl, false);
  }
}

// A table whose records the given engine keeps, in the given fields.
TTableShape VariableShape(const TEngineCase& aCase, std::vector<TField> aLayout, bool aRefNr = false) {
  TTableShape shape;
  shape.DataBytes = 0;
  shape.RefNrField = aRefNr;
  shape.Configure = [aCase, aLayout](TTestDataDictionary& aDict) {
    AddFields(aDict.FieldsDescriptor(), aLayout);
    aDict.RemoveRecordDescriptor();
    auto* record =
        static_cast<TnxHeapRecordDescriptor*>(aDict.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
    record->SetRecordEngine(aCase.Engine);
    record->AddHeapDescriptor()->AddBlockHeapDescriptor();
    if (aCase.Compression) {
      TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
      compression->SetRecordCompressionEngine(aCase.Compression);
      if (aCase.CompressType != 0) compression->SetCompressType(aCase.CompressType);
    }
  };
  return shape;
}

constexpr TEngineCase kVariableNull{u"Variable", nullptr};
constexpr TEngineCase kVariableSmart{u"Variable", u"Smart"};
constexpr TEngineCase kVariableLz4{u"Variable", u"Compressor", 11};
constexpr TEngineCase kVersionedLz4{u"VariableVersioned", u"Compressor", 11};

// Compares what a record means: null flags and, for non-null fields, the
// bytes (strings up to their end); the RefNr field and padding aside.
class TRecordView {
public:
  explicit TRecordView(TnxFieldsDescriptor& aFields) : fields_(aFields) {}

  // Of the first aCount fields (-1: all).
  TRecord Meaning(const uint8_t* aRecord, int32_t aCount = -1) const {
    TRecord out;
    const int32_t count = aCount < 0 ? fields_.FieldCount() : aCount;
    for (int32_t i = 0; i < count; ++i) {
      const TnxFieldDescriptor& f = *fields_.FieldDescriptor(i);
      if (f.FieldType() == nxtRefNr) continue;
      const bool null = fields_.IsRecordFieldNull(i, aRecord);
      out.push_back(null ? 1 : 0);
      if (!null) out.insert(out.end(), aRecord + f.Offset(), aRecord + f.Offset() + f.Length());
    }
    return out;
  }

  // Nulls at random; strings of random length, zero after their end.
  TRecord Random(std::mt19937& aRng, uint32_t aNullPercent) const {
    TRecord r(static_cast<size_t>(fields_.RecordLength()) + 4, 0);
    for (int32_t i = 0; i < fields_.FieldCount(); ++i) {
      const TnxFieldDescriptor& f = *fields_.FieldDescriptor(i);
      uint8_t* p = r.data() + f.Offset();
      if (f.FieldType() == nxtRefNr || aRng() % 100 < aNullPercent) {
        fields_.SetRecordFieldNull(i, r.data(), true);
        continue;
      }
      fields_.SetRecordFieldNull(i, r.data(), false);
      const uint32_t length = static_cast<uint32_t>(f.Length());
      switch (f.FieldType()) {
        case nxtShortString: {
          const uint32_t n = aRng() % length;
          p[0] = static_cast<uint8_t>(n);
          for (uint32_t k = 1; k <= n; ++k) p[k] = static_cast<uint8_t>('a' + aRng() % 26);
          break;
        }
        case nxtNullString: {
          const uint32_t n = aRng() % length;
          for (uint32_t k = 0; k < n; ++k) p[k] = static_cast<uint8_t>('a' + aRng() % 26);
          break;
        }
        case nxtWideString: {
          const uint32_t n = aRng() % (length / 2);
          for (uint32_t k = 0; k < n; ++k) StoreU16(p + 2 * k, static_cast<uint16_t>(0x100 + aRng() % 500));
          break;
        }
        default:
          // Mostly small numbers, now and then noise: forms of every size.
          for (uint32_t k = 0; k < length; ++k)
            p[k] = static_cast<uint8_t>(aRng() % 4 == 0 ? aRng() : (k == 0 ? aRng() % 8 : 0));
      }
    }
    return r;
  }

private:
  TnxFieldsDescriptor& fields_;
};

class VariableFixture {
public:
  VariableFixture(const TEngineCase& aCase, std::vector<TField> aLayout, bool aRefNr = false,
                  std::optional<TnxBlockSize> aFileBlockSize = std::nullopt)
      : t_(MakeShape(aCase, std::move(aLayout), aRefNr, aFileBlockSize)) {}

  // Without a given size, the smallest whose heap segments (the block
  // less 40 bytes) hold an uncompressed record, as the dictionary check
  // makes new files.
  static TTableShape MakeShape(const TEngineCase& aCase, std::vector<TField> aLayout, bool aRefNr,
                               std::optional<TnxBlockSize> aFileBlockSize) {
    TTableShape shape = VariableShape(aCase, std::move(aLayout), aRefNr);
    shape.FileBlockSize = aFileBlockSize;
    if (!aFileBlockSize) {
      TnxStorageStartupGuard started;
      TTestDataDictionary scratch;
      if (aRefNr) scratch.FieldsDescriptor().AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
      shape.Configure(scratch);
      const uint32_t l = static_cast<uint32_t>(scratch.FieldsDescriptor().RecordLength());
      const bool versioned = std::u16string_view(aCase.Engine) == u"VariableVersioned";
      const uint32_t segment = versioned ? 2 + std::max(l, 10u) : 1 + std::max(l, 9u);
      TnxBlockSize size = nxbs4k;
      while (size < nxbs64k && scratch.UsableBlockSize(size) - 40 < segment) size = static_cast<TnxBlockSize>(size + 1);
      shape.FileBlockSize = size;
    }
    return shape;
  }

  TnxVariableRecordEngine& Engine() { return dynamic_cast<TnxVariableRecordEngine&>(t_.Records()); }
  TnxFieldsDescriptor& Fields() { return t_.Dict().FieldsDescriptor(); }
  uint32_t L() { return t_.RecordLength(); }
  TRecord Blank() { return TRecord(L() + 4, 0); }

  TnxRefNr Add(TRecord aRecord) {
    TnxRefNr ref = 0;
    Engine().AddRecord(t_.Trans(), ref, aRecord.data());
    return ref;
  }
  TRecord Read(TnxRefNr aRef) {
    TRecord r = Blank();
    Engine().ReadRecord(&t_.Trans(), aRef, r.data());
    return r;
  }
  void Update(TnxRefNr aRef, TRecord aRecord) { Engine().UpdateRecord(t_.Trans(), aRef, aRecord.data(), nullptr); }
  uint32_t Count() { return t_.Records().breGetRecordCount(&t_.Trans()); }

  // The stored segment of a reference (for change).
  std::vector<uint8_t> Segment(TnxHeapRef aRef) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    const uint8_t* p = Engine().reHeapEngine->GetSegment(&t_.Trans(), aRef, false, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    return {p, p + size};
  }
  // Changes stored bytes in place.
  void Poke(TnxHeapRef aRef, const std::function<void(uint8_t*, uint16_t)>& aChange) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    uint8_t* p = Engine().reHeapEngine->GetSegment(&t_.Trans(), aRef, true, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    aChange(p, size);
  }
  uint16_t Flags(TnxHeapRef aRef) {
    const std::vector<uint8_t> s = Segment(aRef);
    return Engine().ClassType().Name == std::u16string_view(u"TnxVariableVersionedRecordEngine") ? LoadU16(s.data())
                                                                                                : s[0];
  }
  std::vector<TnxRefNr> Scan(bool aBackward, TnxBaseFilterEngine* aFilter = nullptr) {
    std::vector<TnxRefNr> refs;
    TnxRefNr ref = 0;
    auto collect = [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
      refs.push_back(aRef);
      return rirContinue;
    };
    if (aBackward)
      Engine().IterateBackward(&t_.Trans(), ref, nullptr, collect, nullptr, aFilter, false, false);
    else
      Engine().Iterate(&t_.Trans(), ref, nullptr, collect, nullptr, aFilter, false, false);
    EXPECT_EQ(ref, 0);
    return refs;
  }

  TTableFixture t_;
};

// Eight byte arrays of 200: all null, a record is one bitmap byte under
// "Smart"; all set, 1601 bytes. Small ones fill a block, a big one moves.
const std::vector<TField> kEightArrays(8, TField{nxtByteArray, 200});

TRecord Filled(VariableFixture& aF, uint8_t aSeed, uint32_t aFields) {
  TRecord r = aF.Blank();
  aF.Fields().InitRecord(r.data());
  for (uint32_t i = 0; i < aFields; ++i) {
    aF.Fields().SetRecordFieldNull(static_cast<int32_t>(i), r.data(), false);
    for (int k = 0; k < 200; ++k) r[i * 200 + static_cast<uint32_t>(k)] = static_cast<uint8_t>(aSeed + i + k);
  }
  return r;
}

bool IsMoved(VariableFixture& aF, TnxRefNr aRef) { return (aF.Flags(aRef) & nxvrfReference) != 0; }

// ---- stored forms ----

TEST(VariableRecordFormTest, ShortRecordsArePaddedToTheMinimumPayload) {
  struct Case {
    TEngineCase Engine;
    uint32_t FlagsSize, MinPayload;
  };
  for (const Case& c : {Case{kVariableNull, 1, 9}, Case{kVersionedLz4, 2, 10}}) {
    VariableFixture f(c.Engine, {{nxtInt32}});  // L = 8
    ASSERT_EQ(f.L(), 8u);
    TRecord r = f.Blank();
    StoreU16(r.data(), 0x1234);
    const TnxRefNr ref = f.Add(r);
    const std::vector<uint8_t> s = f.Segment(ref);
    ASSERT_EQ(s.size(), c.FlagsSize + c.MinPayload);
    EXPECT_EQ(s[0], nxvrfRaw | nxvrfPadded);
    EXPECT_TRUE(std::equal(r.begin(), r.begin() + 8, s.begin() + c.FlagsSize));
    EXPECT_EQ(f.Read(ref), r);
  }
}

TEST(VariableRecordFormTest, AShortCompressedFormEndsInItsPadCount) {
  // Two bytes and a null array: "Smart" makes 1 bitmap byte + 2 bytes.
  VariableFixture f(kVariableSmart, {{nxtInt8}, {nxtInt8}, {nxtByteArray, 20}});
  TRecord r = f.Blank();
  f.Fields().InitRecord(r.data());
  f.Fields().SetRecordFieldNull(0, r.data(), false);
  f.Fields().SetRecordFieldNull(1, r.data(), false);
  r[0] = 7;
  r[1] = 9;
  const TnxRefNr ref = f.Add(r);
  const std::vector<uint8_t> s = f.Segment(ref);
  ASSERT_EQ(s.size(), 10u);
  EXPECT_EQ(s[0], nxvrfPadded);
  EXPECT_EQ(s[9], 6);
  TRecordView view(f.Fields());
  EXPECT_EQ(view.Meaning(f.Read(ref).data()), view.Meaning(r.data()));
}

TEST(VariableRecordFormTest, RecordsCarryTheirReferenceNumber) {
  for (const TEngineCase& c : {kVariableSmart, kVersionedLz4}) {
    VariableFixture f(c, {{nxtInt32}, {nxtShortString, 30}}, true);
    std::mt19937 rng(5);
    TRecordView view(f.Fields());
    TRecord r = view.Random(rng, 10);
    TnxRefNr ref = 0;
    f.Engine().AddRecord(f.t_.Trans(), ref, r.data());
    TnxRefNr stored = 0;
    std::memcpy(&stored, r.data(), 8);
    EXPECT_EQ(stored, ref);
    TRecord back = f.Read(ref);
    std::memcpy(&stored, back.data(), 8);
    EXPECT_EQ(stored, ref);
  }
}

// ---- moving records ----

class VariableMoveTest : public ::testing::TestWithParam<TEngineCase> {
public:
  VariableMoveTest() : f_(GetParam(), kEightArrays) {}

  // Fills the first block with small records; answers them.
  std::vector<TnxRefNr> FillABlock() {
    std::vector<TnxRefNr> refs;
    const TnxRefNr first = f_.Add(Filled(f_, 1, 0));
    refs.push_back(first);
    for (uint8_t i = 2;; ++i) {
      const TnxRefNr ref = f_.Add(Filled(f_, i, 0));
      if (nxHeapRefBlock(ref) != nxHeapRefBlock(first)) break;
      refs.push_back(ref);
    }
    return refs;
  }

  VariableFixture f_;
};

TEST_P(VariableMoveTest, AGrownRecordMovesAndComesHomeAgain) {
  const std::vector<TnxRefNr> refs = FillABlock();
  const TnxRefNr ref = refs[3];
  const TRecord big = Filled(f_, 50, 8);
  f_.Update(ref, big);
  ASSERT_TRUE(IsMoved(f_, ref));
  const std::vector<uint8_t> home = f_.Segment(ref);
  const TnxHeapRef body = static_cast<TnxHeapRef>(LoadU64(home.data() + home.size() - 8));
  EXPECT_EQ(home.size(), f_.Engine().ClassType().Name == std::u16string_view(u"TnxVariableRecordEngine") ? 9u : 10u);
  EXPECT_NE(nxHeapRefBlock(body), nxHeapRefBlock(ref));
  EXPECT_TRUE(f_.Flags(body) & nxvrfReferenced);
  TRecordView view(f_.Fields());
  EXPECT_EQ(view.Meaning(f_.Read(ref).data()), view.Meaning(big.data()));

  // Met once, under its home reference, in scans and record numbers.
  const std::vector<TnxRefNr> forward = f_.Scan(false);
  EXPECT_EQ(std::count(forward.begin(), forward.end(), ref), 1);
  EXPECT_EQ(std::count(forward.begin(), forward.end(), body), 0);
  EXPECT_EQ(forward.size(), f_.Count());
  uint32_t recNo = 0;
  EXPECT_EQ(f_.Engine().RecNoGet(&f_.t_.Trans(), ref, nullptr, recNo, false), 0u);
  EXPECT_EQ(recNo, static_cast<uint32_t>(std::find(forward.begin(), forward.end(), ref) - forward.begin()) + 1);
  EXPECT_EQ(f_.Engine().RecNoGet(&f_.t_.Trans(), body, nullptr, recNo, false), nxeAtEndOfTable);
  TnxRefNr next = 0;
  f_.Engine().ReadNextRecord(&f_.t_.Trans(), refs[2], next, nullptr);
  EXPECT_EQ(next, ref);

  // A bigger record again: the old body goes, a new one comes.
  const TRecord bigger = Filled(f_, 90, 8);
  TRecord old = f_.Blank();
  f_.Engine().UpdateRecord(f_.t_.Trans(), ref, TRecord(bigger).data(), old.data());
  EXPECT_EQ(view.Meaning(old.data()), view.Meaning(big.data()));
  EXPECT_TRUE(IsMoved(f_, ref));
  EXPECT_EQ(view.Meaning(f_.Read(ref).data()), view.Meaning(bigger.data()));

  // Small again: stored at home, the body freed.
  const std::vector<uint8_t> movedHome = f_.Segment(ref);
  const TnxHeapRef body2 = static_cast<TnxHeapRef>(LoadU64(movedHome.data() + movedHome.size() - 8));
  const TRecord small = Filled(f_, 3, 0);
  f_.Update(ref, small);
  EXPECT_FALSE(IsMoved(f_, ref));
  EXPECT_NE(ErrorCodeOf([&] { f_.Segment(body2); }), 0u);
  EXPECT_EQ(view.Meaning(f_.Read(ref).data()), view.Meaning(small.data()));
  EXPECT_EQ(f_.Scan(false).size(), f_.Count());
}

TEST_P(VariableMoveTest, DeletingAMovedRecordFreesHomeAndBody) {
  const std::vector<TnxRefNr> refs = FillABlock();
  const TnxRefNr ref = refs[5];
  f_.Update(ref, Filled(f_, 50, 8));
  ASSERT_TRUE(IsMoved(f_, ref));
  const std::vector<uint8_t> home = f_.Segment(ref);
  const TnxHeapRef body = static_cast<TnxHeapRef>(LoadU64(home.data() + home.size() - 8));
  const uint32_t count = f_.Count();
  f_.Engine().DeleteRecord(f_.t_.Trans(), ref);
  EXPECT_EQ(f_.Count(), count - 1);
  EXPECT_NE(ErrorCodeOf([&] { f_.Segment(ref); }), 0u);
  EXPECT_NE(ErrorCodeOf([&] { f_.Segment(body); }), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { f_.Read(ref); }), nxeSegmentHasBeenDeleted);
}

TEST_P(VariableMoveTest, ABodyIsNoRecordToChange) {
  const std::vector<TnxRefNr> refs = FillABlock();
  const TnxRefNr ref = refs[1];
  const TRecord big = Filled(f_, 50, 8);
  f_.Update(ref, big);
  const std::vector<uint8_t> home = f_.Segment(ref);
  const TnxHeapRef body = static_cast<TnxHeapRef>(LoadU64(home.data() + home.size() - 8));
  const uint32_t count = f_.Count();
  EXPECT_EQ(ErrorCodeOf([&] { f_.Update(body, Filled(f_, 1, 1)); }), nxeInvalidRefNr);
  EXPECT_EQ(ErrorCodeOf([&] { f_.Engine().DeleteRecord(f_.t_.Trans(), body); }), nxeInvalidRefNr);
  EXPECT_EQ(f_.Count(), count);
  TRecordView view(f_.Fields());
  EXPECT_EQ(view.Meaning(f_.Read(ref).data()), view.Meaning(big.data()));
  // Read directly, a body gives its record.
  EXPECT_EQ(view.Meaning(f_.Read(body).data()), view.Meaning(big.data()));
}

INSTANTIATE_TEST_SUITE_P(Engines, VariableMoveTest, ::testing::Values(kVariableSmart, kVersionedLz4),
                         [](const auto& aInfo) { return aInfo.index == 0 ? "Variable" : "Versioned"; });

// ---- sizes ----

TEST(VariableRecordSizeTest, AnOlderSmallerFileRefusesOnlyRecordsThatDoNotFit) {
  // L = 4056 needs 8 KB blocks uncompressed; the file has 4 KB ones.
  VariableFixture f(kVariableSmart, {{nxtInt32}, {nxtByteArray, 4048}}, false, nxbs4k);
  TRecord small = f.Blank();
  f.Fields().InitRecord(small.data());
  f.Fields().SetRecordFieldNull(0, small.data(), false);
  const TnxRefNr ref = f.Add(small);
  TRecord full = f.Blank();
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 31 + 7);
  f.Fields().SetRecordFieldNull(0, full.data(), false);
  f.Fields().SetRecordFieldNull(1, full.data(), false);
  EXPECT_EQ(ErrorCodeOf([&] { f.Add(full); }), nxeRecordTooLarge);
  EXPECT_EQ(f.Count(), 1u);
  EXPECT_EQ(f.Scan(false), std::vector<TnxRefNr>{ref});
  EXPECT_EQ(ErrorCodeOf([&] { f.Update(ref, full); }), nxeRecordTooLarge);
  TRecordView view(f.Fields());
  EXPECT_EQ(view.Meaning(f.Read(ref).data()), view.Meaning(small.data()));
}

// ---- scans and record numbers ----

class VariableScanTest : public ::testing::Test {
public:
  VariableScanTest() : f_(kVariableSmart, {{nxtInt32}, {nxtShortString, 100}}) {
    std::mt19937 rng(11);
    TRecordView view(f_.Fields());
    for (int i = 0; i < 300; ++i) {
      TRecord r = view.Random(rng, 0);
      StoreU16(r.data(), static_cast<uint16_t>(i));
      refs_.push_back(f_.Add(r));
    }
  }

  // The number a record was added with.
  size_t Index(TnxRefNr aRef) const { return static_cast<size_t>(std::find(refs_.begin(), refs_.end(), aRef) - refs_.begin()); }

  VariableFixture f_;
  std::vector<TnxRefNr> refs_;
};

bool EvenFirst(void*, const uint8_t* aBuffer) { return aBuffer[0] % 2 == 0; }

class FilterHolder {
public:
  FilterHolder() : descriptor_(nullptr, &EvenFirst), engine_(&descriptor_, nullptr) { engine_.SetActive(true); }
  TnxBaseFilterEngine* get() { return &engine_; }

private:
  TnxCallbackFilterDescriptor descriptor_;
  TnxCallbackFilterEngine engine_;
};

TEST_F(VariableScanTest, WalksMeetEveryRecordOnceBothWays) {
  const std::vector<TnxRefNr> forward = f_.Scan(false);
  EXPECT_EQ(std::set<TnxRefNr>(forward.begin(), forward.end()), std::set<TnxRefNr>(refs_.begin(), refs_.end()));
  EXPECT_EQ(forward.size(), refs_.size());
  std::vector<TnxRefNr> backward = f_.Scan(true);
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, forward);
  FilterHolder filter;
  std::vector<TnxRefNr> even;
  for (TnxRefNr ref : forward)
    if (Index(ref) % 2 == 0) even.push_back(ref);
  EXPECT_EQ(f_.Scan(false, filter.get()), even);
}

TEST_F(VariableScanTest, IterateResumesAfterThePositionOnlyWhenAsked) {
  struct Case {
    bool KeepPosition, SkipFirst;
    size_t From;      // index into refs_, or npos for 0
    size_t FirstMet;  // index of the first record delivered
  };
  const size_t none = std::string::npos;
  const Case cases[] = {{true, false, 10, 11}, {true, true, 10, 11}, {false, false, 10, 0},
                        {false, true, 10, 0},  {true, false, none, 0}};
  for (const Case& c : cases) {
    TnxRefNr ref = c.From == none ? 0 : refs_[c.From];
    std::vector<TnxRefNr> got;
    f_.Engine().Iterate(
        &f_.t_.Trans(), ref, nullptr,
        [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
          got.push_back(aRef);
          return got.size() == 3 ? rirStop : rirContinue;
        },
        nullptr, nullptr, c.KeepPosition, c.SkipFirst);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], refs_[c.FirstMet]);
    EXPECT_EQ(ref, got[2]);
  }
}

TEST_F(VariableScanTest, IterateBuffersTheCallerTheEngineOrNone) {
  TRecordView view(f_.Fields());
  // The caller's buffer.
  TRecord own = f_.Blank();
  PnxRecordBuffer slot = own.data();
  TnxRefNr ref = 0;
  int n = 0;
  f_.Engine().Iterate(
      &f_.t_.Trans(), ref, &slot,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
        EXPECT_EQ(aData, own.data());
        EXPECT_EQ(view.Meaning(aData), view.Meaning(f_.Read(aRef).data()));
        return ++n == 5 ? rirStop : rirContinue;
      },
      nullptr, nullptr, false, false);
  EXPECT_EQ(slot, own.data());

  // An empty slot: the engine's buffer, empty again afterwards.
  slot = nullptr;
  ref = 0;
  std::set<PnxRecordBuffer> seen;
  f_.Engine().Iterate(
      &f_.t_.Trans(), ref, &slot,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
        EXPECT_EQ(slot, aData);
        seen.insert(aData);
        EXPECT_EQ(view.Meaning(aData), view.Meaning(f_.Read(aRef).data()));
        return rirContinue;
      },
      nullptr, nullptr, false, false);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(seen.size(), 1u);

  // The iterator takes each buffer over: every record gets a fresh one,
  // which stays valid (and the iterator's) after the walk.
  std::vector<std::pair<TnxRefNr, PnxRecordBuffer>> taken;
  ref = 0;
  f_.Engine().Iterate(
      &f_.t_.Trans(), ref, &slot,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
        taken.emplace_back(aRef, aData);
        slot = nullptr;
        return taken.size() == 4 ? rirStop : rirContinue;
      },
      nullptr, nullptr, false, false);
  ASSERT_EQ(taken.size(), 4u);
  for (auto& [r, buffer] : taken) {
    EXPECT_EQ(view.Meaning(buffer), view.Meaning(f_.Read(r).data()));
    void* p = buffer;
    TnxMemoryPool::Dispose(f_.Engine().reRecordAllocator, p);
  }

  // No slot, no filter: nothing decoded. No slot with a filter: decoded.
  ref = 0;
  f_.Engine().Iterate(
      &f_.t_.Trans(), ref, nullptr,
      [&](void*, TnxRefNr, PnxRecordBuffer aData) {
        EXPECT_EQ(aData, nullptr);
        return rirStop;
      },
      nullptr, nullptr, false, false);
  FilterHolder filter;
  ref = 0;
  f_.Engine().Iterate(
      &f_.t_.Trans(), ref, nullptr,
      [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
        EXPECT_NE(aData, nullptr);
        if (aData) {
          EXPECT_EQ(view.Meaning(aData), view.Meaning(f_.Read(aRef).data()));
        }
        return rirStop;
      },
      nullptr, filter.get(), false, false);

  // An iterator that raises leaves the slot empty.
  slot = nullptr;
  ref = 0;
  EXPECT_THROW(f_.Engine().Iterate(
                   &f_.t_.Trans(), ref, &slot,
                   [&](void*, TnxRefNr, PnxRecordBuffer) -> TnxRecordIteratorResult {
                     throw EnxBaseException(nxeInvalidParameter);
                   },
                   nullptr, nullptr, false, false),
               EnxBaseException);
  EXPECT_EQ(slot, nullptr);
}

TEST_F(VariableScanTest, RecordNumbersAndTheirMisses) {
  FilterHolder filter;
  uint32_t recNo = 0;
  struct Case {
    TnxRefNr Ref;
    TnxBaseFilterEngine* Filter;
    bool Flip;
    uint32_t Code, RecNo;
  };
  const TnxRefNr missing = nxMakeHeapRef(nxHeapRefBlock(refs_[0]), 4000);
  const Case cases[] = {
      {refs_[6], nullptr, false, 0, 7},
      {refs_[6], filter.get(), false, 0, 4},
      {refs_[7], filter.get(), false, nxeNoCurrentRecord, 4},
      {refs_[299], nullptr, true, 0, 1},
      {refs_[296], filter.get(), true, 0, 2},
      {missing, nullptr, false, nxeAtEndOfTable, 300},
      {missing, filter.get(), false, nxeAtEndOfTable, 150},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f_.Engine().RecNoGet(&f_.t_.Trans(), c.Ref, c.Filter, recNo, c.Flip), c.Code);
    EXPECT_EQ(recNo, c.RecNo);
  }
  TnxRefNr ref = 1;
  EXPECT_EQ(f_.Engine().RecNoSet(&f_.t_.Trans(), 0, ref, nullptr, false), nxeAtEndOfTable);
  EXPECT_EQ(ref, 0);
  EXPECT_EQ(f_.Engine().RecNoSet(&f_.t_.Trans(), 4, ref, filter.get(), false), 0u);
  EXPECT_EQ(ref, refs_[6]);
  EXPECT_EQ(f_.Engine().RecNoSet(&f_.t_.Trans(), 1, ref, nullptr, true), 0u);
  EXPECT_EQ(ref, refs_[299]);
  EXPECT_EQ(f_.Engine().RecNoSet(&f_.t_.Trans(), 151, ref, filter.get(), false), nxeAtEndOfTable);
  EXPECT_EQ(ref, 0);
}

TEST_F(VariableScanTest, ReadRecordForIterateLendsABufferAndGivesTheSlotBack) {
  TRecordView view(f_.Fields());
  FilterHolder filter;
  PnxRecordBuffer slot = nullptr;
  PnxRecordBuffer seen = nullptr;
  auto iterator = [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
    seen = aData;
    EXPECT_EQ(view.Meaning(aData), view.Meaning(f_.Read(aRef).data()));
    return rirStop;
  };
  EXPECT_EQ(f_.Engine().ReadRecordForIterate(&f_.t_.Trans(), refs_[2], &slot, iterator, nullptr, nullptr), rirStop);
  EXPECT_NE(seen, nullptr);
  EXPECT_EQ(slot, nullptr);
  // Rejected by the filter: the iterator is not called.
  seen = nullptr;
  EXPECT_EQ(f_.Engine().ReadRecordForIterate(&f_.t_.Trans(), refs_[3], nullptr, iterator, nullptr, filter.get()),
            rirContinue);
  EXPECT_EQ(seen, nullptr);
  TRecord own = f_.Blank();
  slot = own.data();
  EXPECT_EQ(f_.Engine().ReadRecordForIterate(&f_.t_.Trans(), refs_[4], &slot, iterator, nullptr, filter.get()),
            rirStop);
  EXPECT_EQ(seen, own.data());
  EXPECT_EQ(slot, own.data());
}

TEST_F(VariableScanTest, ScansTestTheDeadline) {
  testing::TFakeDeadlineClock clock;
  nxSetTimeout(1000, true);
  int calls = 0;
  TnxRefNr ref = 0;
  const uint32_t code = ErrorCodeOf([&] {
    f_.Engine().Iterate(
        &f_.t_.Trans(), ref, nullptr,
        [&](void*, TnxRefNr, PnxRecordBuffer) {
          if (++calls == 3) clock.Advance(5000);
          return rirContinue;
        },
        nullptr, nullptr, false, false);
  });
  nxSetTimeout(0, true);
  EXPECT_EQ(code, nxeTimeout);
  EXPECT_LT(calls, 300);
}

TEST_F(VariableScanTest, NotSupportedAndRollbackOfTheHeap) {
  EXPECT_EQ(ErrorCodeOf([&] { f_.Engine().ReplaceAllRecords(f_.t_.Trans(), nullptr); }), nxeCapabilityNotSupported);
  f_.t_.Commit();
  // Blocks added and rolled back: the heap must not offer them again.
  for (int i = 0; i < 200; ++i) f_.Add(f_.Blank());
  f_.Engine().Rollback(f_.t_.Trans());
  f_.t_.Rollback();
  for (int i = 0; i < 200; ++i) f_.Add(f_.Blank());
  EXPECT_EQ(f_.Count(), 500u);
  EXPECT_EQ(f_.Scan(false).size(), 500u);
}

// ---- damage ----

// Replaces a stored segment by aBytes (resized in its block).
void Rewrite(VariableFixture& aF, TnxHeapRef aRef, const std::vector<uint8_t>& aBytes) {
  TnxBlockGuard guard;
  uint16_t size = 0;
  PnxBlock block = nullptr;
  aF.Engine().reHeapEngine->GetSegment(&aF.t_.Trans(), aRef, true, size, block, guard.ReleaseMethod());
  guard.Hold(block);
  uint8_t* p = aF.Engine().reHeapEngine->bheBlockHeapEngine->ReAllocSegment(
      block, static_cast<uint16_t>(aBytes.size()), nxHeapRefSegment(aRef));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, aBytes.data(), aBytes.size());
}

std::vector<uint8_t> ReferenceTo(uint8_t aFlags, TnxHeapRef aTarget, size_t aFlagsSize) {
  std::vector<uint8_t> bytes(aFlagsSize + 8, 0);
  bytes[0] = aFlags;
  StoreU64(bytes.data() + aFlagsSize, static_cast<uint64_t>(aTarget));
  return bytes;
}

TEST(VariableRecordDamageTest, DamagedSegmentsGiveCorruptionAndChangeNothing) {
  struct Case {
    const char* Name;
    TEngineCase Engine;
    // Damages record a (b and c are other records of the table).
    std::function<void(VariableFixture&, TnxRefNr a, TnxRefNr b, TnxRefNr c)> Damage;
    // Seen only when the record is decoded: overwriting or deleting it
    // is no harm.
    bool DecodeOnly = false;
  };
  const Case cases[] = {
      {"reference to another home", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr b, TnxRefNr) { Rewrite(f, a, ReferenceTo(4, b, 1)); }},
      {"reference to a reference", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr b, TnxRefNr c) {
         Rewrite(f, b, ReferenceTo(4 | 1, c, 1));
         Rewrite(f, a, ReferenceTo(4, b, 1));
       }},
      {"reference to itself", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) { Rewrite(f, a, ReferenceTo(4, a, 1)); }},
      {"reference of the wrong size", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr b, TnxRefNr) {
         std::vector<uint8_t> bytes = ReferenceTo(4, b, 1);
         bytes.push_back(0);
         Rewrite(f, a, bytes);
       }},
      {"unknown flag", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) { f.Poke(a, [](uint8_t* p, uint16_t) { p[0] |= 0x10; }); }},
      {"pad count 0", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) {
         std::vector<uint8_t> bytes(10, 0);
         bytes[0] = nxvrfPadded;
         Rewrite(f, a, bytes);
       }},
      {"pad count 9", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) {
         std::vector<uint8_t> bytes(10, 0);
         bytes[0] = nxvrfPadded;
         bytes[9] = 9;
         Rewrite(f, a, bytes);
       }},
      {"raw record cut short", kVariableSmart,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) {
         std::vector<uint8_t> bytes(100, 0);
         bytes[0] = nxvrfRaw;
         Rewrite(f, a, bytes);
       }},
      {"compressed form without compression", kVariableNull,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) {
         std::vector<uint8_t> bytes(20, 0);
         Rewrite(f, a, bytes);
       },
       true},
      {"version above the current one", kVersionedLz4,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr, TnxRefNr) {
         f.Poke(a, [](uint8_t* p, uint16_t) { p[1] = 1; });
       }},
      {"versioned reference with a version", kVersionedLz4,
       [](VariableFixture& f, TnxRefNr a, TnxRefNr b, TnxRefNr) {
         std::vector<uint8_t> bytes = ReferenceTo(4, b, 2);
         bytes[1] = 1;
         Rewrite(f, a, bytes);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    VariableFixture f(c.Engine, kEightArrays);
    const TnxRefNr a = f.Add(Filled(f, 1, 1));
    const TnxRefNr b = f.Add(Filled(f, 2, 2));
    const TnxRefNr d = f.Add(Filled(f, 4, 2));
    const TnxRefNr e = f.Add(Filled(f, 5, 2));
    // c: a moved record's body.
    f.Update(e, Filled(f, 5, 8));
    (void)d;
    const std::vector<uint8_t> home = f.Segment(e);
    const TnxRefNr c2 = static_cast<TnxRefNr>(LoadU64(home.data() + home.size() - 8));
    (void)c2;
    c.Damage(f, a, b, d);
    const std::vector<uint8_t> bBefore = f.Segment(b);
    const uint32_t count = f.Count();
    EXPECT_EQ(ErrorCodeOf([&] { f.Read(a); }), nxeCorruptFile);
    TRecord buffer = f.Blank();
    PnxRecordBuffer slot = buffer.data();
    TnxRefNr at = 0;
    EXPECT_EQ(ErrorCodeOf([&] {
                f.Engine().Iterate(
                    &f.t_.Trans(), at, &slot, [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; }, nullptr,
                    nullptr, false, false);
              }),
              nxeCorruptFile);
    if (!c.DecodeOnly) {
      EXPECT_EQ(ErrorCodeOf([&] { f.Update(a, Filled(f, 9, 1)); }), nxeCorruptFile);
      EXPECT_EQ(ErrorCodeOf([&] { f.Engine().DeleteRecord(f.t_.Trans(), a); }), nxeCorruptFile);
    }
    // The record a damaged one points to is untouched.
    EXPECT_EQ(f.Segment(b), bBefore);
    EXPECT_EQ(f.Count(), count);
  }
}

TEST(VariableRecordDamageTest, RecoverIterateHandsOutWhatABlockStillHolds) {
  VariableFixture f(kVariableSmart, kEightArrays);
  std::vector<TnxRefNr> refs;
  for (uint8_t i = 0; i < 6; ++i) refs.push_back(f.Add(Filled(f, i, 3)));
  // refs[1] moves away (its body in a new block); refs[2] is damaged.
  f.Update(refs[1], Filled(f, 77, 8));
  ASSERT_TRUE(IsMoved(f, refs[1]));
  const std::vector<uint8_t> home = f.Segment(refs[1]);
  const TnxHeapRef body = static_cast<TnxHeapRef>(LoadU64(home.data() + home.size() - 8));
  f.Poke(refs[2], [](uint8_t* p, uint16_t) { p[0] = 0x40; });
  TRecordView view(f.Fields());
  auto image = [&](TnxBlockNumber aNumber) {
    TnxBlockGuard guard;
    guard.Hold(f.t_.Access().GetBlock(&f.t_.Trans(), aNumber, 0, false, guard.ReleaseMethod()));
    return std::vector<uint8_t>(guard.Block(), guard.Block() + f.t_.Access().fiBlockSizeBytes());
  };
  auto recover = [&](std::vector<uint8_t> aBlock, TnxBlockNumber aNumber, PnxRecordBuffer* aSlot) {
    std::vector<TRecord> got;
    const TnxRecordIteratorResult result = f.Engine().RecoverIterate(
        aBlock.data(), aNumber, aSlot,
        [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
          EXPECT_EQ(aRef, 0);
          got.push_back(view.Meaning(aData));
          return rirContinue;
        },
        nullptr);
    EXPECT_EQ(result, rirContinue);
    return got;
  };
  const TnxBlockNumber homeBlock = nxHeapRefBlock(refs[0]);
  std::vector<TRecord> want;
  for (size_t i : {0, 3, 4, 5}) want.push_back(view.Meaning(f.Read(refs[i]).data()));
  PnxRecordBuffer slot = nullptr;
  EXPECT_EQ(recover(image(homeBlock), homeBlock, &slot), want);
  EXPECT_EQ(slot, nullptr);
  // The body is handed out from its own block.
  const TnxBlockNumber bodyBlock = nxHeapRefBlock(body);
  EXPECT_EQ(recover(image(bodyBlock), bodyBlock, nullptr),
            std::vector<TRecord>{view.Meaning(f.Read(refs[1]).data())});
  // Another number, another kind of block, a damaged layout: nothing.
  EXPECT_TRUE(recover(image(homeBlock), homeBlock + 1, nullptr).empty());
  std::vector<uint8_t> damaged = image(homeBlock);
  StoreU16(damaged.data() + damaged.size() - 2, 0xFFFF);
  EXPECT_TRUE(recover(damaged, homeBlock, nullptr).empty());
  // A segment too short for a record ends the block's walk.
  Rewrite(f, refs[3], {0});
  want = {view.Meaning(f.Read(refs[0]).data())};
  EXPECT_EQ(recover(image(homeBlock), homeBlock, nullptr), want);
}

// Bounded random damage to stored data blocks: every call ends, with one of
// the codes for damage or bad references.
TEST(VariableRecordDamageTest, RandomMutationsGiveOnlyDamageCodes) {
  const std::set<uint32_t> allowed = {nxeCorruptHeader, nxeCorruptFile,          nxeInvalidBlockNumber,
                                      nxeNotAHeapBlock, nxeInvalidSegmentNumber, nxeSegmentHasBeenDeleted,
                                      nxeInvalidRefNr};
  for (const TEngineCase& engine : {kVariableSmart, kVersionedLz4}) {
    VariableFixture f(engine, kEightArrays);
    std::mt19937 rng(71);
    std::vector<TnxRefNr> refs;
    for (int i = 0; i < 60; ++i) refs.push_back(f.Add(Filled(f, static_cast<uint8_t>(i), rng() % 3)));
    for (int i = 0; i < 20; ++i) f.Update(refs[rng() % refs.size()], Filled(f, static_cast<uint8_t>(i), rng() % 9));
    f.t_.Commit();
    std::vector<TnxBlockNumber> blocks;
    for (TnxRefNr ref : refs) blocks.push_back(nxHeapRefBlock(ref));
    const int rounds = testing::TestSize(150, 2000);
    std::map<uint32_t, int> seen;
    for (int round = 0; round < rounds; ++round) {
      const TnxBlockNumber number = blocks[rng() % blocks.size()];
      {
        TnxBlockGuard guard;
        guard.Hold(f.t_.Access().GetBlock(&f.t_.Trans(), number, 0, true, guard.ReleaseMethod()));
        const uint32_t size = f.t_.Access().fiBlockSizeBytes();
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < changes; ++k) {
          // Mostly the directory and the segments' first bytes, where the
          // structure lives.
          const uint32_t at = rng() % 2 ? size - 1 - rng() % 64 : 24 + rng() % (size - 24);
          guard.Block()[at] = static_cast<uint8_t>(rng());
        }
      }
      auto run = [&](const std::function<void()>& aCall) {
        const uint32_t code = ErrorCodeOf(aCall);
        ++seen[code];
        EXPECT_TRUE(code == 0 || allowed.count(code)) << code << " in round " << round;
      };
      for (int k = 0; k < 6; ++k) run([&] { f.Read(refs[rng() % refs.size()]); });
      run([&] { f.Scan(rng() % 2); });
      run([&] {
        uint32_t recNo = 0;
        f.Engine().RecNoGet(&f.t_.Trans(), refs[rng() % refs.size()], nullptr, recNo, rng() % 2);
      });
      run([&] { f.Update(refs[rng() % refs.size()], Filled(f, 3, rng() % 9)); });
      run([&] { f.Engine().DeleteRecord(f.t_.Trans(), refs[rng() % refs.size()]); });
      run([&] { f.Add(Filled(f, 5, rng() % 9)); });
      {
        TnxBlockGuard guard;
        guard.Hold(f.t_.Access().GetBlock(&f.t_.Trans(), number, 0, false, guard.ReleaseMethod()));
        std::vector<uint8_t> copy(guard.Block(), guard.Block() + f.t_.Access().fiBlockSizeBytes());
        guard.Release();
        run([&] {
          f.Engine().RecoverIterate(
              copy.data(), number, nullptr, [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; }, nullptr);
        });
      }
      f.Engine().Rollback(f.t_.Trans());
      f.t_.Rollback();
      if (HasFailure()) return;
    }
    EXPECT_GT(seen.size(), 1u);
  }
}

// ---- appended fields ----

TEST(VariableVersionedTest, OldRecordsComeBackWidened) {
  struct Case {
    int32_t Original, Appended;
  };
  for (const Case& c : {Case{1, 1}, Case{3, 2}, Case{3, 32}, Case{3, 33}, Case{32, 1}, Case{40, 255}}) {
    SCOPED_TRACE(std::to_string(c.Original) + " + " + std::to_string(c.Appended));
    std::vector<TField> original;
    for (int32_t i = 0; i < c.Original; ++i)
      original.push_back(i % 3 == 0 ? TField{nxtShortString, 20} : TField{nxtInt32});
    VariableFixture f(kVersionedLz4, original);
    std::mt19937 rng(static_cast<uint32_t>(c.Original * 100 + c.Appended));
    TRecordView oldView(f.Fields());
    std::vector<std::pair<TnxRefNr, TRecord>> written;
    for (int i = 0; i < 12; ++i) {
      // Half compress (mostly zeros), half stay raw (noise).
      TRecord r = oldView.Random(rng, 30);
      if (i % 2) {
        for (int32_t k = 0; k < c.Original; ++k)
          if (!f.Fields().IsRecordFieldNull(k, r.data()) && f.Fields().FieldDescriptor(k)->FieldType() == nxtInt32)
            for (int b = 0; b < 4; ++b) r[f.Fields().FieldDescriptor(k)->Offset() + b] = static_cast<uint8_t>(rng());
      }
      written.emplace_back(f.Add(r), r);
    }
    std::vector<TRecord> oldMeaning;
    for (auto& [ref, r] : written) oldMeaning.push_back(oldView.Meaning(r.data()));
    const uint32_t oldLength = f.L();
    f.t_.Commit();

    f.Fields().SetOriginalFieldCount(c.Original);
    std::vector<TField> appended;
    for (int32_t i = 0; i < c.Appended; ++i) appended.push_back(i % 2 ? TField{nxtInt16} : TField{nxtDouble});
    AddFields(f.Fields(), appended, c.Original);
    f.t_.Reopen();
    auto& engine = dynamic_cast<TnxVariableVersionedRecordEngine&>(f.Engine());
    ASSERT_EQ(engine.reCurrentVersion, c.Appended);
    for (size_t i = 0; i < written.size(); ++i) {
      TRecord r(f.L() + 4, 0xAB);  // stale bytes that must not show
      engine.ReadRecord(nullptr, written[i].first, r.data());
      // The old fields as they were, null flags included.
      EXPECT_EQ(oldView.Meaning(r.data(), c.Original), oldMeaning[i]) << i;
      // The appended fields null and zero; nothing stale in the bitmap.
      for (int32_t k = c.Original; k < c.Original + c.Appended; ++k) {
        const TnxFieldDescriptor& fd = *f.Fields().FieldDescriptor(k);
        EXPECT_TRUE(f.Fields().IsRecordFieldNull(k, r.data()));
        EXPECT_TRUE(std::all_of(r.begin() + fd.Offset(), r.begin() + fd.Offset() + fd.Length(),
                                [](uint8_t b) { return b == 0; }));
      }
      const int32_t bitmap = f.Fields().LogicalRecordLength();
      for (int32_t bit = c.Original + c.Appended; bit < f.Fields().NullBitmapSize() * 8; ++bit)
        EXPECT_EQ((r[bitmap + bit / 8] >> (bit % 8)) & 1, 0) << bit;
    }
    // Once written again, a record is stored in the current layout.
    const TRecord now = oldView.Random(rng, 20);
    f.Update(written[0].first, now);
    TnxHeapRef stored = written[0].first;
    if (IsMoved(f, stored)) stored = static_cast<TnxHeapRef>(LoadU64(f.Segment(stored).data() + 2));
    EXPECT_EQ(f.Flags(stored) >> 8, static_cast<uint16_t>(c.Appended));
    EXPECT_EQ(oldView.Meaning(f.Read(written[0].first).data()), oldView.Meaning(now.data()));
    EXPECT_GT(f.L(), oldLength - (c.Appended == 1 && c.Original == 1 ? 4u : 0u));
  }
}

TEST(VariableVersionedTest, CanAddFieldRefusesFieldsOldRecordsCannotHold) {
  VariableFixture f(kVersionedLz4, {{nxtInt32}});
  TnxFieldsDescriptor& fields = f.Fields();
  struct Case {
    const char* Name;
    bool Required;
    std::function<void(TnxFieldDescriptor&)> Shape;
    bool Can;
  };
  const Case cases[] = {
      {"plain", false, [](TnxFieldDescriptor&) {}, true},
      {"required", true, [](TnxFieldDescriptor&) {}, false},
      {"default value", false, [](TnxFieldDescriptor& d) { d.AddDefaultValue(); }, false},
      {"validations", false, [](TnxFieldDescriptor& d) { d.AddValidations(); }, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    TnxFieldDescriptor* d = fields.AddField(u"New" + Text(n++), u"", nxtInt32, 0, 0, c.Required);
    c.Shape(*d);
    EXPECT_EQ(f.Engine().CanAddField(*d), c.Can) << c.Name;
    fields.RemoveField(fields.FieldCount() - 1);
  }
  // Not a field at all.
  EXPECT_FALSE(f.Engine().CanAddField(fields));
  // The static and plain variable engines add none.
  VariableFixture plain(kVariableSmart, {{nxtInt32}});
  EXPECT_FALSE(plain.Engine().CanAddField(*plain.Fields().FieldDescriptor(0)));
}

TEST(VariableVersionedTest, TheVersionByteEndsAt255AppendedFields) {
  std::vector<TField> layout(256, TField{nxtBoolean});
  VariableFixture f(kVersionedLz4, layout);
  // 1 original field, 255 appended: the last version the byte holds.
  f.Fields().SetOriginalFieldCount(1);
  f.t_.Commit();
  f.t_.Reopen();
  auto& engine = dynamic_cast<TnxVariableVersionedRecordEngine&>(f.Engine());
  EXPECT_EQ(engine.reCurrentVersion, 255);
  TnxFieldDescriptor* next = f.Fields().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  EXPECT_FALSE(engine.CanAddField(*next));
  // A dictionary that appended one more anyway is refused.
  EXPECT_EQ(ErrorCodeOf([&] { f.t_.Reopen(); }), nxeInvalidDescriptor);
}

// ---- model ----

// Random steps against a map of reference -> record, across nested and
// outer commits and rollbacks, then a reopen: records of every field type
// whose forms grow, shrink, move away and come home.
class VariableModelTest : public ::testing::TestWithParam<TEngineCase> {};

TEST_P(VariableModelTest, RandomStepsAgreeWithAMap) {
  VariableFixture f(GetParam(), kEveryType, true);
  TnxVariableRecordEngine* engine = &f.Engine();
  TRecordView view(f.Fields());
  std::mt19937 rng(7145);
  auto random = [&](uint32_t aBelow) { return static_cast<uint32_t>(rng() % aBelow); };
  std::map<TnxRefNr, TRecord> current, committed, nestedStart;
  bool nested = false;
  FilterHolder filter;
  auto matches = [&](TnxRefNr aRef) { return (aRef & 0xFF) % 2 == 0; };  // EvenFirst on the RefNr field
  auto pick = [&]() { return std::next(current.begin(), static_cast<long>(random(static_cast<uint32_t>(current.size())))); };
  auto refNrOf = [](const uint8_t* aRecord) {
    TnxRefNr ref = 0;
    std::memcpy(&ref, aRecord, 8);
    return ref;
  };
  // The engine's walk order, checked against the map on the way.
  auto order = [&](bool aBackward) {
    std::vector<TnxRefNr> refs;
    TRecord buffer = f.Blank();
    PnxRecordBuffer slot = buffer.data();
    TnxRefNr ref = 0;
    auto collect = [&](void*, TnxRefNr aRef, PnxRecordBuffer aData) {
      refs.push_back(aRef);
      const auto it = current.find(aRef);
      EXPECT_TRUE(it != current.end()) << aRef;
      if (it != current.end()) {
        EXPECT_EQ(view.Meaning(aData), view.Meaning(it->second.data()));
      }
      EXPECT_EQ(refNrOf(aData), aRef);
      return rirContinue;
    };
    if (aBackward)
      engine->IterateBackward(&f.t_.Trans(), ref, &slot, collect, nullptr, nullptr, false, false);
    else
      engine->Iterate(&f.t_.Trans(), ref, &slot, collect, nullptr, nullptr, false, false);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(refs.size(), current.size());
    return refs;
  };
  const int steps = testing::TestSize(12000, 100000);
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = random(100);
    // Adds outweigh deletes up to a few hundred records, then balance.
    const uint32_t addBelow = current.size() < 300 ? 30 : 20;
    if (op < addBelow || current.empty()) {
      TRecord r = view.Random(rng, random(100));
      TnxRefNr ref = 0;
      engine->AddRecord(f.t_.Trans(), ref, r.data());
      ASSERT_EQ(current.count(ref), 0u);
      ASSERT_EQ(refNrOf(r.data()), ref);
      current[ref] = r;
    } else if (op < 52) {
      auto it = pick();
      TRecord r = view.Random(rng, random(100));
      TRecord old = f.Blank();
      engine->UpdateRecord(f.t_.Trans(), it->first, r.data(), old.data());
      ASSERT_EQ(view.Meaning(old.data()), view.Meaning(it->second.data()));
      ASSERT_EQ(refNrOf(old.data()), it->first);
      it->second = r;
    } else if (op < 70) {
      auto it = pick();
      engine->DeleteRecord(f.t_.Trans(), it->first);
      current.erase(it);
    } else if (op < 80) {
      auto it = pick();
      const TRecord r = f.Read(it->first);
      ASSERT_EQ(view.Meaning(r.data()), view.Meaning(it->second.data()));
      ASSERT_EQ(refNrOf(r.data()), it->first);
    } else if (op < 83) {
      const std::vector<TnxRefNr> forward = order(false);
      std::vector<TnxRefNr> backward = order(true);
      std::reverse(backward.begin(), backward.end());
      ASSERT_EQ(backward, forward);
      // Stopped part-way and resumed with and without a filter.
      if (!forward.empty()) {
        const size_t at = random(static_cast<uint32_t>(forward.size()));
        TnxBaseFilterEngine* fl = random(2) ? filter.get() : nullptr;
        std::vector<TnxRefNr> want;
        for (size_t i = at + 1; i < forward.size(); ++i)
          if (!fl || matches(forward[i])) want.push_back(forward[i]);
        std::vector<TnxRefNr> got;
        TnxRefNr ref = forward[at];
        engine->Iterate(
            &f.t_.Trans(), ref, nullptr,
            [&](void*, TnxRefNr aRef, PnxRecordBuffer) {
              got.push_back(aRef);
              return rirContinue;
            },
            nullptr, fl, true, false);
        ASSERT_EQ(got, want);
      }
    } else if (op < 88) {
      const bool flip = random(2) == 1;
      TnxBaseFilterEngine* fl = random(2) ? filter.get() : nullptr;
      std::vector<TnxRefNr> walk = order(flip);
      std::vector<TnxRefNr> passing;
      for (TnxRefNr ref : walk)
        if (!fl || matches(ref)) passing.push_back(ref);
      auto it = pick();
      uint32_t recNo = 0;
      const uint32_t result = engine->RecNoGet(&f.t_.Trans(), it->first, fl, recNo, flip);
      const auto pos = std::find(passing.begin(), passing.end(), it->first);
      if (pos == passing.end()) {
        ASSERT_EQ(result, nxeNoCurrentRecord);
      } else {
        ASSERT_EQ(result, 0u);
        ASSERT_EQ(recNo, static_cast<uint32_t>(pos - passing.begin()) + 1);
      }
      const uint32_t want = random(static_cast<uint32_t>(passing.size() + 2)) + 1;
      TnxRefNr ref = 0;
      const uint32_t set = engine->RecNoSet(&f.t_.Trans(), want, ref, fl, flip);
      if (want <= passing.size()) {
        ASSERT_EQ(set, 0u);
        ASSERT_EQ(ref, passing[want - 1]);
      } else {
        ASSERT_EQ(set, nxeAtEndOfTable);
        ASSERT_EQ(ref, 0);
      }
    } else if (op < 92) {
      const bool backward = random(2) == 1;
      const std::vector<TnxRefNr> walk = order(backward);
      const bool fromStart = walk.empty() || random(4) == 0;
      const size_t at = fromStart ? 0 : random(static_cast<uint32_t>(walk.size()));
      const TnxRefNr from = fromStart ? 0 : walk[at];
      const TnxRefNr want = fromStart ? (walk.empty() ? 0 : walk[0]) : (at + 1 < walk.size() ? walk[at + 1] : 0);
      TnxRefNr ref = 0;
      TRecord r = f.Blank();
      if (backward)
        engine->ReadPrevRecord(&f.t_.Trans(), from, ref, r.data());
      else
        engine->ReadNextRecord(&f.t_.Trans(), from, ref, r.data());
      ASSERT_EQ(ref, want);
      if (ref != 0) {
        ASSERT_EQ(view.Meaning(r.data()), view.Meaning(current[ref].data()));
      }
    } else if (op < 96) {
      TnxBaseTransaction& trans = f.t_.Trans();
      if (!nested) {
        trans.StartNested(false);
        nestedStart = current;
        nested = true;
      } else {
        if (random(2)) {
          f.t_.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
        } else {
          f.t_.Storage().BufMgr().RollbackTransaction(&trans);
          engine->Rollback(trans);
          current = nestedStart;
        }
        trans.EndLevel();
        nested = false;
      }
    } else {
      if (nested) continue;
      if (random(2)) {
        f.t_.Commit();
        committed = current;
      } else {
        engine->Rollback(f.t_.Trans());
        f.t_.Rollback();
        current = committed;
      }
    }
    if (step % 211 == 0) {
      ASSERT_EQ(f.Count(), current.size());
    }
    if (HasFailure()) return;
  }
  if (nested) {
    f.t_.Storage().BufMgr().CommitTransaction(&f.t_.Trans(), nullptr, false);
    f.t_.Trans().EndLevel();
  }
  f.t_.Commit();
  f.t_.Reopen();
  engine = &f.Engine();
  ASSERT_EQ(f.Count(), current.size());
  const std::vector<TnxRefNr> all = order(false);
  EXPECT_EQ(std::set<TnxRefNr>(all.begin(), all.end()).size(), current.size());
}

std::string ModelCaseName(const ::testing::TestParamInfo<TEngineCase>& aInfo) {
  static const char* const kNames[] = {"VariableNull", "VariableSmart", "VariableCompressor", "VersionedCompressor"};
  return kNames[aInfo.index];
}

INSTANTIATE_TEST_SUITE_P(Engines, VariableModelTest,
                         ::testing::Values(kVariableNull, kVariableSmart, kVariableLz4, kVersionedLz4), ModelCaseName);

}  // namespace
}  // namespace revurov
