#include "dictionary/key_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/int64_key_engines.h"
#include "dictionary/key_engine_fixture.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using testing::KeyEngineTest;
using testing::V;
using testing::VNull;

// A key descriptor no engine serves.
class TnxOrphanKeyDescriptor : public TnxInt64KeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanKeyDescriptor, TnxInt64KeyDescriptor, TnxKeyDescriptorClass, nullptr)
  using TnxInt64KeyDescriptor::TnxInt64KeyDescriptor;
};

// An Int64 engine whose index's collation has changed since it was built.
class ChangedCollationEngine : public TnxInt64KeyEngine {
public:
  explicit ChangedCollationEngine(TnxBaseKeyDescriptor& aDescriptor) : TnxInt64KeyEngine(aDescriptor) {
    bkeNLSVersionChanged = true;
  }
};

class KeyEngineBaseTest : public KeyEngineTest {};

TEST_F(KeyEngineBaseTest, NoEngineForADescriptorIs15503) {
  TnxOrphanKeyDescriptor orphan(nullptr);
  const std::u16string msg =
      testing::MessageOf<EnxBaseKeyEngineException>([&] { TnxBaseKeyEngine::CreateFor(orphan); });
  EXPECT_TRUE(testing::Contains(msg, u"Unknown Key engine: \"TnxOrphanKeyEngine\"")) ;
  std::unique_ptr<TnxBaseKeyEngine> engine;
  EXPECT_EQ(TnxBaseKeyEngine::TryCreateFor(orphan, engine), 15503u);
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(testing::MessageOf<EnxBaseException>([] { throw EnxBaseException(15503); }), msg);
  TnxInt64KeyDescriptor int64(nullptr);
  EXPECT_EQ(TnxBaseKeyEngine::TryCreateFor(int64, engine), 0u);
  EXPECT_EQ(engine->ClassType().Name, u"TnxInt64KeyEngine");
}

TEST_F(KeyEngineBaseTest, CheckValidBaseFromDescriptorRefusesAForeignDescriptor) {
  TnxRefKeyDescriptor ref(nullptr);
  EXPECT_NO_THROW(TnxBaseKeyEngine::CheckValidBaseFromDescriptor(ref));
  EXPECT_THROW(TnxInt64KeyEngine::CheckValidDescriptor(ref), platform::EInvalidCast);
  TnxOrphanKeyDescriptor orphan(nullptr);
  EXPECT_THROW(TnxBaseKeyEngine::CheckValidBaseFromDescriptor(orphan), EnxBaseKeyEngineException);
}

TEST_F(KeyEngineBaseTest, KeyAsStringFormatsEveryValue) {
  AddField(u"N", nxtInt32);
  AddField(u"S", nxtShortString, 20);
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1);
  auto e = CompEngine(key);
  EXPECT_EQ(e->KeyAsString(KeyOf(*e, Record({V(5), VNull()})).data()), u"5, NULL");
  EXPECT_EQ(e->KeyAsString(KeyOf(*e, Record({VNull(), V(u"O'Brien")})).data()), u"NULL, 'O''Brien'");
}

// Finds a value by name in a container; null when absent.
TnxExceptionDataValueRef ValueNamed(const InxExceptionDataContainer& aContainer, std::u16string_view aName) {
  for (int32_t i = 0; i < aContainer.Count(); ++i)
    if (aContainer.Values(i)->Name() == aName) return aContainer.Values(i);
  return nullptr;
}

TEST_F(KeyEngineBaseTest, ExceptionDataNamesTheKeyAndItsFields) {
  AddField(u"N", nxtInt32);
  AddField(u"S", nxtShortString, 20);
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1);
  auto e = CompEngine(key);
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  e->GetExceptionData(*data, false);
  ASSERT_NE(ValueNamed(*data, u"KeyLength"), nullptr);
  EXPECT_EQ(ValueNamed(*data, u"KeyLength")->AsInteger(), 1 + 4 + 21);
  auto fieldsValue = ValueNamed(*data, u"Fields");
  ASSERT_NE(fieldsValue, nullptr);
  TnxExceptionDataRef fieldsData = fieldsValue->AsContainer();
  ASSERT_EQ(fieldsData->Count(), 2);
  EXPECT_EQ(fieldsData->Values(0)->Name(), u"N");
  EXPECT_EQ(fieldsData->Values(0)->AsString(), u"nxtInt32");
  EXPECT_EQ(fieldsData->Values(1)->AsString(), u"nxtShortString");

  TnxExceptionDataRef keyData = nxCreateExceptionDataContainer(u"Key");
  e->KeyAsExceptionData(KeyOf(*e, Record({V(5), V(u"x")})).data(), *keyData);
  ASSERT_EQ(keyData->Count(), 2);
  EXPECT_EQ(keyData->Values(0)->Name(), u"N");
  EXPECT_EQ(keyData->Values(0)->AsVariant().AsInt64(), 5);
  EXPECT_EQ(keyData->Values(1)->AsVariant().AsString(), u"x");
}

class BookmarkTest : public KeyEngineTest {
protected:
  BookmarkTest() {
    engine = TnxBaseKeyEngine::CreateFor(descriptor);
    handler = std::make_unique<TnxBookmarkHandler>(7, engine.get());
  }
  std::vector<uint8_t> Mark(TnxIndexPathPosition aPos, int64_t aKey, TnxRefNr aRefNr,
                            const TnxBookmarkHandler* aHandler = nullptr) {
    const TnxBookmarkHandler& h = aHandler ? *aHandler : *handler;
    std::vector<uint8_t> b(h.GetBookmarkSize());
    h.WriteBookmark(b.data(), aPos, aRefNr, reinterpret_cast<const uint8_t*>(&aKey));
    return b;
  }
  int Cmp(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t* aError = nullptr) {
    int r = 99;
    const uint32_t e = handler->CompareBookmarks(a.data(), b.data(), handler->GetBookmarkSize(), r);
    if (aError) *aError = e;
    EXPECT_TRUE(aError || e == 0) << e;
    return r;
  }

  TnxInt64KeyDescriptor descriptor{nullptr};
  std::unique_ptr<TnxBaseKeyEngine> engine;
  std::unique_ptr<TnxBookmarkHandler> handler;
};

TEST_F(BookmarkTest, CracksOrderAroundTheirKey) {
  EXPECT_EQ(handler->GetBookmarkSize(), 32u);
  auto before = Mark(ippOnCrackBefore, 5, 1), on = Mark(ippOnKey, 5, 1), after = Mark(ippOnCrackAfter, 5, 1);
  EXPECT_EQ(Cmp(before, on), -1);
  EXPECT_EQ(Cmp(on, before), 1);
  EXPECT_EQ(Cmp(on, after), -1);
  EXPECT_EQ(Cmp(after, before), 1);
  EXPECT_EQ(Cmp(on, on), 0);
  // Keys first, then reference numbers.
  EXPECT_EQ(Cmp(Mark(ippOnKey, 4, 9), Mark(ippOnKey, 5, 1)), -1);
  EXPECT_EQ(Cmp(Mark(ippOnKey, 5, 2), Mark(ippOnKey, 5, 1)), 1);
}

TEST_F(BookmarkTest, BofAndEofAreTheEnds) {
  auto bof = Mark(ippBof, 0, 0), eof = Mark(ippEof, 0, 0), on = Mark(ippOnKey, -100, 0);
  EXPECT_EQ(Cmp(bof, bof), 0);
  EXPECT_EQ(Cmp(bof, on), -1);
  EXPECT_EQ(Cmp(bof, eof), -1);
  EXPECT_EQ(Cmp(on, bof), 1);
  EXPECT_EQ(Cmp(eof, on), 1);
  EXPECT_EQ(Cmp(eof, eof), 0);
  EXPECT_EQ(Cmp(on, eof), -1);
  platform::TnxVariant v;
  EXPECT_EQ(handler->BookmarkAsVariant(bof.data(), 32, v), 0u);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(handler->BookmarkAsVariant(on.data(), 32, v), 0u);
  EXPECT_EQ(v.AsInt64(), -100);
}

TEST_F(BookmarkTest, TamperedOrForeignBookmarksAre10021) {
  const auto good = Mark(ippOnKey, 5, 1);
  struct Row {
    const char* what;
    size_t offset;
    uint8_t xorWith;
    uint32_t size;
  };
  const Row rows[] = {
      {"hash byte", 0, 0x01, 32},    {"index ID", 4, 0x01, 32},   {"position", 8, 0x01, 32},
      {"reference number", 12, 0x80, 32}, {"key length", 20, 0x01, 32}, {"key byte", 24, 0x10, 32},
      {"short size", 0, 0, 31},
  };
  for (const Row& r : rows) {
    auto bad = good;
    bad[r.offset] ^= r.xorWith;
    int c = 0;
    platform::TnxVariant v;
    EXPECT_EQ(handler->CheckBookmark(bad.data(), r.size), 10021u) << r.what;
    EXPECT_EQ(handler->CompareBookmarks(bad.data(), good.data(), r.size, c), 10021u) << r.what;
    EXPECT_EQ(handler->CompareBookmarks(good.data(), bad.data(), r.size, c), 10021u) << r.what;
    EXPECT_EQ(handler->BookmarkAsVariant(bad.data(), r.size, v), 10021u) << r.what;
  }
  EXPECT_EQ(handler->CheckBookmark(nullptr, 32), 10021u);
  // A bookmark of another index, hashed correctly.
  TnxBookmarkHandler other(8, engine.get());
  auto foreign = Mark(ippOnKey, 5, 1, &other);
  EXPECT_EQ(other.CheckBookmark(foreign.data(), 32), 0u);
  EXPECT_EQ(handler->CheckBookmark(foreign.data(), 32), 10021u);
  // Unknown positions, and keyed positions without a key.
  uint32_t err = 0;
  Cmp(Mark(ippUnknown, 5, 1), good, &err);
  EXPECT_EQ(err, 10021u);
  Cmp(good, Mark(ippUnknown, 5, 1), &err);
  EXPECT_EQ(err, 10021u);
  std::vector<uint8_t> keyless(32);
  handler->WriteBookmark(keyless.data(), ippOnKey, 1, nullptr);
  Cmp(good, keyless, &err);
  EXPECT_EQ(err, 10021u);
}

TEST_F(BookmarkTest, AShortBookmarkIsRefusedUnread) {
  // Sized exactly: reading past the given size is a heap overflow under ASan.
  for (uint32_t size : {1u, 8u, 23u, 31u}) {
    auto shortMark = std::make_unique<uint8_t[]>(size);
    std::memcpy(shortMark.get(), Mark(ippOnKey, 5, 1).data(), size);
    EXPECT_EQ(handler->CheckBookmark(shortMark.get(), size), 10021u) << size;
    if (size < 24) {
      TnxBookmarkHandler plain(-1, nullptr);
      EXPECT_EQ(plain.CheckBookmark(shortMark.get(), size), 10021u) << size;
    }
  }
}

TEST_F(BookmarkTest, WithoutKeyEngineOnlyReferenceNumbersCount) {
  TnxBookmarkHandler plain(-1, nullptr);
  EXPECT_EQ(plain.GetBookmarkSize(), 24u);
  auto a = Mark(ippOnKey, 0, 3, &plain), b = Mark(ippOnKey, 0, 4, &plain);
  int c = 0;
  EXPECT_EQ(plain.CompareBookmarks(a.data(), b.data(), 24, c), 0u);
  EXPECT_EQ(c, -1);
  platform::TnxVariant v;
  EXPECT_EQ(plain.BookmarkAsVariant(b.data(), 24, v), 0u);
  EXPECT_EQ(v.AsInt64(), 4);
  // A keyed bookmark is foreign to it.
  EXPECT_EQ(plain.CheckBookmark(Mark(ippOnKey, 0, 3).data(), 32), 10021u);
}

TEST_F(BookmarkTest, KeysUnderAChangedCollationCannotBeCompared) {
  ChangedCollationEngine changed(descriptor);
  TnxBookmarkHandler h(7, &changed);
  auto a = Mark(ippOnKey, 1, 1, &h), b = Mark(ippOnKey, 2, 1, &h);
  int c = 0;
  EXPECT_EQ(h.CompareBookmarks(a.data(), b.data(), 32, c), 12289u);
  auto bof = Mark(ippBof, 0, 0, &h);
  EXPECT_EQ(h.CompareBookmarks(bof.data(), b.data(), 32, c), 0u);
  EXPECT_EQ(c, -1);
}

}  // namespace
}  // namespace revurov
