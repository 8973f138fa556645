#include "dictionary/index_descriptor.h"

#include <gtest/gtest.h>

#include "dictionary/dictionary_tree_fixture.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::Contains;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;

class IndexTest : public testing::TableTreeTest {};

TEST_F(IndexTest, CreationDefaultsAndRefusedNames) {
  TnxIndexDescriptor index(indices.get(), u"ByName", 1, nullptr);
  EXPECT_EQ(index.IndexEngine(), u"nx1xDefault");
  EXPECT_EQ(index.Dups(), idNone);
  EXPECT_EQ(&index.KeyDescriptor()->ClassType(), &TnxCompKeyDescriptor::ClassInfo());
  EXPECT_EQ(index.IndexFile(), files().FileDescriptor(1));
  index.SetFileNumber(9);
  EXPECT_EQ(index.IndexFile(), nullptr);
  const int32_t listeners = files().FileChangeListenerCount();
  for (auto bad : {u"", u"a*b"})
    EXPECT_EQ(CodeOf<EnxIndexDescriptorException>([&] { TnxIndexDescriptor i(indices.get(), bad, 0, nullptr); }),
              nxeInvalidIndexName);
  EXPECT_EQ(files().FileChangeListenerCount(), listeners);  // a failed index listens to nothing
}

TEST_F(IndexTest, FollowsItsFileAndRefusesItsRemoval) {
  TnxIndexDescriptor index(indices.get(), u"I", 2, nullptr);
  files().MoveFile(2, 1);
  EXPECT_EQ(index.FileNumber(), 1);
  EXPECT_TRUE(Contains(MessageOf<EnxIndexDescriptorException>([&] { files().RemoveFile(1); }),
                       u"Cannot remove file 1 because it is still referenced by an index"));
  EXPECT_EQ(files().FileCount(), 3);
  files().RemoveFile(2);
  EXPECT_EQ(index.FileNumber(), 1);
}

TEST_F(IndexTest, ValidationChecksNameFileAndKey) {
  TnxIndexDescriptor index(indices.get(), u"I", 5, nullptr);
  EXPECT_TRUE(Contains(MessageOf<EnxIndexDescriptorException>([&] { index.CheckValid(false); }),
                       u"Invalid file number: 5"));
  index.SetFileNumber(0);
  EXPECT_EQ(CodeOf<EnxCompKeyDescriptorException>([&] { index.CheckValid(false); }), nxeInvalidDescriptor);
  AddField(u"F", nxtInt32);
  static_cast<TnxCompKeyDescriptor*>(index.KeyDescriptor())->Add(0);
  index.CheckValid(false);
}

TEST_F(IndexTest, PrepareForCache) {
  AddField(u"Id", nxtInt32);
  AddField(u"Ref", nxtRefNr);
  TnxIndexDescriptor sequential(indices.get(), u"SEQUENTIAL access index", 0, &TnxRefKeyDescriptor::ClassInfo());
  sequential.SetDups(idAll);
  sequential.SetIndexEngine(u"Other");
  TnxIndexDescriptor other(indices.get(), u"Other", 0, nullptr);
  sequential.PrepareForCache();
  other.PrepareForCache();
  EXPECT_EQ(sequential.Dups(), idNone);
  EXPECT_EQ(sequential.IndexEngine(), u"nx1xDefault");
  auto* key = dynamic_cast<TnxNoNullCompKeyDescriptor*>(sequential.KeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->ckdGetKeyField(0)->FieldNumber(), 1);
  EXPECT_EQ(other.Dups(), idAll);
  EXPECT_EQ(other.IndexEngine(), u"CacheKeylessBStarTree");
}

TEST_F(IndexTest, EqualityComparesEngineWithoutCase) {
  TnxIndexDescriptor a(indices.get(), u"I", 0, nullptr), b(indices.get(), u"I", 0, nullptr);
  a.SetIndexEngine(u"Engine");
  b.SetIndexEngine(u"ENGINE");
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetDups(idNull);
  EXPECT_FALSE(a.IsEqual(&b));
  TnxIndexDescriptor c(indices.get(), u"i", 0, nullptr);
  EXPECT_FALSE(a.IsEqual(&c) && c.IndexEngine() == a.IndexEngine());
}

TEST_F(IndexTest, StreamLayoutsPerDuplicatePolicy) {
  TnxIndexDescriptor index(indices.get(), u"I", 0, &TnxRefKeyDescriptor::ClassInfo());
  index.SetDesc(u"d");
  struct Row {
    TnxIndexDups dups;
    uint32_t client;
    uint32_t code;
  };
  const Row rows[] = {{idNone, 20000, 0}, {idAll, 20000, 0}, {idNull, 20400, 0}, {idNull, 20399, nxeIncompatibleVersion}};
  for (const Row& r : rows) {
    index.SetDups(r.dups);
    if (r.code) {
      EXPECT_EQ(CodeOf<EnxIndexDescriptorException>([&] { SavedBytes(index, r.client); }), r.code);
      continue;
    }
    TnxIndexDescriptor back(indices.get(), u"I", 0, &TnxRefKeyDescriptor::ClassInfo());
    LoadBytes(back, SavedBytes(index, r.client));
    EXPECT_EQ(back.Dups(), r.dups);
    EXPECT_EQ(back.Desc(), u"d");
  }
  const auto v1 = testing::Written([&](TnxWriter& w) {
    testing::WriteItemHeader(w, index.ID());
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteString(u"d");
    w.WriteBoolean(true);
    testing::WriteItemHeader(w, index.KeyDescriptor()->ID());
    w.WriteIdent(u"BKD");
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{1});
  });
  index.SetDups(idAll);
  EXPECT_EQ(SavedBytes(index, 47501), v1);
  auto bad = v1;
  ASSERT_EQ(bad[12], 1);
  bad[12] = 3;  // the version after the item header
  TnxIndexDescriptor back(indices.get(), u"I", 0, &TnxRefKeyDescriptor::ClassInfo());
  EXPECT_EQ(CodeOf<EnxIndexDescriptorException>([&] { LoadBytes(back, bad); }), nxeIncompatibleStream);
}

TEST_F(IndexTest, StandaloneRoundTripAndUnknownClasses) {
  AddField(u"F", nxtInt32);
  std::unique_ptr<TnxIndexDescriptor> index = TnxIndexDescriptor::CreateStandalone(4, u"ByF", 2);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
  const auto bytes = testing::Written([&](TnxWriter& w) { index->SaveStandalone(w, 47501); });
  std::unique_ptr<TnxIndexDescriptor> back = testing::ReadAll(bytes, [](TnxReader& r) {
    return TnxIndexDescriptor::CreateStandaloneFromReader(r);
  });
  EXPECT_EQ(back->Number(), 4);
  EXPECT_EQ(back->FileNumber(), 2);
  EXPECT_TRUE(back->IsEqual(index.get()));
  auto header = [](std::u16string_view cls, std::u16string_view keyCls) {
    return testing::Written([&](TnxWriter& w) {
      w.WriteString(cls);
      w.WriteString(keyCls);
    });
  };
  auto read = [](const std::vector<uint8_t>& bytes) {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    TnxIndexDescriptor::CreateStandaloneFromReader(r);
  };
  EXPECT_TRUE(Contains(MessageOf<EnxIndexDescriptorException>([&] { read(header(u"TnxNoIndex", u"TnxRefKeyDescriptor")); }),
                       u"IndexDescriptor class is not supported: TnxNoIndex"));
  EXPECT_TRUE(Contains(MessageOf<EnxIndexDescriptorException>([&] { read(header(u"TnxIndexDescriptor", u"TnxNoKey")); }),
                       u"KeyDescriptor class is not supported: TnxNoKey"));
}

}  // namespace
}  // namespace revurov
