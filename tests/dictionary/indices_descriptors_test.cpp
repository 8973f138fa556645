#include "dictionary/indices_descriptors.h"

#include <gtest/gtest.h>

#include <random>

#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/filter_engines.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::Contains;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;

// Holds an index number the way a fulltext index does.
class IndexRef : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(IndexRef, TnxDictionaryItem)

  IndexRef(TnxBaseIndicesDescriptor& aIndices, int32_t aIndex)
      : TnxDictionaryItem(nullptr), Indices(aIndices), Index(aIndex) {
    Indices.AddIndexChangeListener(this);
  }
  ~IndexRef() override { Indices.RemoveIndexChangeListener(this); }

  void IndexChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    ++Heard;
    if (aBefore) {
      if (Refuse) throw EnxBaseIndicesDescriptorException(nxeObjectInUse);
      return;
    }
    Index = nxRenumberReference(Index, aOld, aNew);
  }

  TnxBaseIndicesDescriptor& Indices;
  int32_t Index;
  bool Refuse = false;
  int Heard = 0;
};

class IndicesTest : public testing::TableTreeTest {
protected:
  IndicesTest() { AddField(u"F", nxtInt32); }
  std::vector<std::u16string> Names() {
    std::vector<std::u16string> names;
    for (int32_t i = 0; i < indices->IndexCount(); ++i) {
      EXPECT_EQ(indices->IndexDescriptor(i)->Number(), i);
      names.push_back(indices->IndexDescriptor(i)->Name());
    }
    return names;
  }
  void AddIndices(std::initializer_list<const char16_t*> aNames) {
    for (auto name : aNames) indices->AddIndex(name, 0, idNone);
  }
};

TEST_F(IndicesTest, DefaultIndexOfAnEmptyListAndAfterClearing) {
  EXPECT_EQ(indices->DefaultIndex(), -1);
  EXPECT_EQ(indices->IndicesEngine(), u"nx1xDefault");
  AddIndices({u"A"});
  EXPECT_EQ(indices->DefaultIndex(), 0);
  indices->SetIndicesEngine(u"Other");
  indices->Clear(true);
  EXPECT_EQ(indices->DefaultIndex(), -1);
  EXPECT_EQ(indices->IndicesEngine(), u"nx1xDefault");
}

TEST_F(IndicesTest, DefaultFollowsMovesAndRemovals) {
  AddIndices({u"A", u"B", u"C"});
  indices->SetDefaultIndex(2);
  indices->MoveIndex(2, 0);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"C", u"A", u"B"}));
  EXPECT_EQ(indices->DefaultIndex(), 0);
  indices->RemoveIndex(0);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"B"}));
  EXPECT_EQ(indices->DefaultIndex(), 0);
  indices->SetDefaultIndex(-5);
  EXPECT_EQ(indices->DefaultIndex(), 0);
  EXPECT_TRUE(Contains(MessageOf<EnxMainIndicesDescriptorException>([&] { indices->SetDefaultIndex(2); }),
                       u"Invalid default index number: 2"));
}

TEST_F(IndicesTest, InsertPositions) {
  AddIndices({u"A", u"B", u"C"});
  indices->SetDefaultIndex(1);
  IndexRef ref(*indices, 2);
  indices->InsertIndexAt(3, u"D", 0, idNone);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"B", u"C", u"D"}));
  indices->InsertIndexAt(0, u"Z", 0, idNone);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"Z", u"A", u"B", u"C", u"D"}));
  EXPECT_EQ(indices->DefaultIndex(), 2);
  EXPECT_EQ(ref.Index, 3);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseIndicesDescriptorException>(
                           [&] { indices->InsertIndexAt(6, u"X", 0, idNone); }),
                       u"Index out of bounds: 6"));
  // Refusals come before any listener hears of the insertion.
  const int heard = ref.Heard;
  const std::pair<std::function<void()>, uint32_t> refusals[] = {
      {[&] { indices->InsertIndexAt(0, u"a", 0, idNone); }, nxeIndexAlreadyExists},
      {[&] { indices->InsertIndexAt(0, u"", 0, idNone); }, nxeInvalidIndexName},
      {[&] { indices->InsertIndexAt(0, u"New", 7, idNone); }, nxeInvalidDescriptorNumber},
      {[&] { indices->AddIndex(u"b", 0, idNone); }, nxeIndexAlreadyExists},
  };
  for (const auto& [call, code] : refusals) EXPECT_EQ(CodeOf<EnxBaseIndicesDescriptorException>(call), code);
  EXPECT_EQ(ref.Heard, heard);
  EXPECT_EQ(indices->IndexCount(), 5);
}

TEST_F(IndicesTest, ListenerRefusalLeavesTheListUnchanged) {
  AddIndices({u"A", u"B", u"C"});
  IndexRef ref(*indices, 1);
  ref.Refuse = true;
  const std::function<void()> changes[] = {
      [&] { indices->RemoveIndex(1); },
      [&] { indices->MoveIndex(0, 2); },
      [&] { indices->InsertIndexAt(0, u"D", 0, idNone); },
  };
  for (const auto& change : changes) {
    EXPECT_EQ(CodeOf<EnxBaseIndicesDescriptorException>(change), nxeObjectInUse);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"B", u"C"}));
  }
  ref.Refuse = false;
  indices->RemoveIndex(u"nothing");
  indices->RemoveIndex(u"b");
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"C"}));
  EXPECT_EQ(ref.Index, -1);
}

// The default index is the same index, by name, after any change; removing
// it makes index 0 the default.
TEST_F(IndicesTest, RandomChangesKeepTheDefaultOnItsIndex) {
  std::mt19937 rng(113);
  std::u16string defaultName;
  int next = 0;
  for (int step = 0; step < 1500; ++step) {
    const int32_t n = indices->IndexCount();
    const int op = static_cast<int>(rng() % 4);
    if (op == 0 || n < 2) {
      const auto at = static_cast<int32_t>(rng() % static_cast<uint32_t>(n + 1));
      indices->InsertIndexAt(at, platform::Format(u"I%d", {next++}), 0, idNone);
    } else if (op == 1) {
      indices->MoveIndex(static_cast<int32_t>(rng() % static_cast<uint32_t>(n)),
                         static_cast<int32_t>(rng() % static_cast<uint32_t>(n)));
    } else if (op == 2) {
      const auto at = static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
      const bool wasDefault = at == indices->DefaultIndex();
      indices->RemoveIndex(at);
      if (wasDefault) defaultName = indices->IndexCount() ? indices->IndexDescriptor(0)->Name() : u"";
    } else {
      indices->SetDefaultIndex(static_cast<int32_t>(rng() % static_cast<uint32_t>(n)));
    }
    if (defaultName.empty() || indices->GetIndexFromName(defaultName) < 0)
      defaultName = indices->IndexCount() ? indices->IndexDescriptor(indices->DefaultIndex())->Name() : u"";
    if (op == 3) defaultName = indices->IndexDescriptor(indices->DefaultIndex())->Name();
    ASSERT_EQ(indices->DefaultIndex(), indices->GetIndexFromName(defaultName)) << step;
  }
}

TEST_F(IndicesTest, HasIndexMatchesExactlyTheKeyFields) {
  AddField(u"G", nxtInt32);
  TnxIndexDescriptor* fg = indices->AddIndex(u"FG", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(fg->KeyDescriptor())->Add(0);
  static_cast<TnxCompKeyDescriptor*>(fg->KeyDescriptor())->Add(1);
  indices->AddIndex(u"Ref", 0, idNone, u"", &TnxRefKeyDescriptor::ClassInfo());
  TnxIndexDescriptor* g = indices->AddIndex(u"G", 0, idAll);
  static_cast<TnxCompKeyDescriptor*>(g->KeyDescriptor())->Add(1);
  // A filtered index holds only some records: never the one asked for.
  TnxIndexDescriptor* filtered = indices->AddIndex(u"F", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(filtered->KeyDescriptor())->Add(0);
  filtered->KeyDescriptor()->SetFilter(std::make_unique<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  struct Row {
    std::vector<int32_t> fields;
    TnxIndexDupsSet dups;
    int32_t want;
  };
  const TnxIndexDupsSet unique = nxIndexDupsBit(idNone) | nxIndexDupsBit(idNull);
  const Row rows[] = {
      {{0, 1}, unique, 0}, {{1, 0}, unique, -1}, {{0}, unique, -1},
      {{1}, unique, -1},   {{1}, nxIndexDupsBit(idAll), 2}, {{}, 0xFF, -1},
  };
  for (const Row& r : rows) {
    int32_t found = 99;
    EXPECT_EQ(indices->HasIndex(r.fields, found, r.dups), r.want >= 0);
    EXPECT_EQ(found, r.want);
  }
}

TEST_F(IndicesTest, ValidationCountsAndNames) {
  EXPECT_TRUE(Contains(MessageOf<EnxBaseIndicesDescriptorException>([&] { indices->CheckValid(false); }),
                       u"IndicesDescriptor requires a minimum of one index"));
  for (int i = 0; i < 256; ++i) {
    TnxIndexDescriptor* index = indices->AddIndex(platform::Format(u"I%d", {i}), 0, idNone);
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
  }
  indices->CheckValid(false);
  indices->AddIndex(u"OneTooMany", 0, idNone);
  EXPECT_EQ(CodeOf<EnxBaseIndicesDescriptorException>([&] { indices->CheckValid(false); }), nxeTooManyIndexes);
}

TEST_F(IndicesTest, AddingACopyGivesItsIDToTheSource) {
  TnxIndexDescriptor* source = indices->AddIndex(u"Source", 1, idAll, u"desc");
  static_cast<TnxCompKeyDescriptor*>(source->KeyDescriptor())->Add(0);
  TnxIndexDescriptor copy(nullptr, u"Copy", 1, nullptr);
  copy.SetDesc(u"desc");
  static_cast<TnxCompKeyDescriptor*>(copy.KeyDescriptor())->Add(0);
  TnxIndexDescriptor* added = indices->AddIndex(copy);
  EXPECT_EQ(copy.ID(), added->ID());
  EXPECT_NE(added->ID(), source->ID());
  EXPECT_EQ(added->Desc(), u"desc");
  EXPECT_EQ(static_cast<TnxCompKeyDescriptor*>(added->KeyDescriptor())->KeyFieldCount(), 1);
  EXPECT_EQ(added->Number(), 1);
}

TEST_F(IndicesTest, StreamsOfBothListsAndTheirRefusals) {
  AddIndices({u"A", u"B"});
  static_cast<TnxCompKeyDescriptor*>(indices->IndexDescriptor(0)->KeyDescriptor())->Add(0);
  indices->SetDefaultIndex(1);
  TnxMainIndicesDescriptor back(&root, "Indices");
  LoadBytes(back, SavedBytes(*indices, 47501));
  EXPECT_TRUE(back.IsEqual(indices.get()));
  EXPECT_EQ(back.DefaultIndex(), 1);
  EXPECT_EQ(CodeOf<EnxBaseIndicesDescriptorException>([&] { SavedBytes(*indices, 19999); }), nxeIncompatibleVersion);

  TnxInternalIndicesDescriptor internal(&root, "InternalIndices");
  internal.AddIndex(u"Graveyard", 0, idNone);
  TnxInternalIndicesDescriptor internalBack(&root, "InternalIndices");
  LoadBytes(internalBack, SavedBytes(internal, 47005));
  EXPECT_TRUE(internalBack.IsEqual(&internal));
  EXPECT_EQ(CodeOf<EnxInternalIndicesDescriptorException>([&] { SavedBytes(internal, 47004); }),
            nxeIncompatibleVersion);

  auto stream = [](int32_t version, std::u16string_view indexClass, std::u16string_view keyClass,
                   std::u16string_view name2) {
    return testing::Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteString(u"nx1xDefault");
      w.WriteInteger(int32_t{2});
      for (std::u16string_view name : {std::u16string_view(u"A"), name2}) {
        w.WriteString(indexClass);
        w.WriteString(keyClass);
        w.WriteString(name);
        w.WriteInteger(int32_t{0});
        testing::WriteItemHeader(w);
        w.WriteInteger(int32_t{1});
        w.WriteString(u"nx1xDefault");
        w.WriteString(u"");
        w.WriteBoolean(false);
        testing::WriteItemHeader(w);
        w.WriteIdent(u"BKD");
        w.WriteInteger(int32_t{1});
        w.WriteBoolean(false);
        w.WriteInteger(int32_t{1});
      }
      w.WriteInteger(int32_t{1});
      w.WriteInteger(int32_t{0});
    });
  };
  auto load = [&](const std::vector<uint8_t>& bytes) {
    TnxMainIndicesDescriptor target(&root, "Indices");
    LoadBytes(target, bytes);
    target.CheckValid(false);
  };
  load(stream(1, u"TnxIndexDescriptor", u"TnxRefKeyDescriptor", u"B"));
  EXPECT_EQ(CodeOf<EnxBaseIndicesDescriptorException>(
                [&] { load(stream(2, u"TnxIndexDescriptor", u"TnxRefKeyDescriptor", u"B")); }),
            nxeIncompatibleStream);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseIndicesDescriptorException>(
                           [&] { load(stream(1, u"TnxNoIndex", u"TnxRefKeyDescriptor", u"B")); }),
                       u"IndexDescriptor class is not supported: TnxNoIndex"));
  EXPECT_TRUE(Contains(MessageOf<EnxBaseIndicesDescriptorException>(
                           [&] { load(stream(1, u"TnxIndexDescriptor", u"TnxNoKey", u"B")); }),
                       u"KeyDescriptor class is not supported: TnxNoKey"));
  // A stream may carry a name twice; validation refuses it with 10009.
  EXPECT_TRUE(Contains(MessageOf<EnxBaseIndicesDescriptorException>(
                           [&] { load(stream(1, u"TnxIndexDescriptor", u"TnxRefKeyDescriptor", u"a")); }),
                       u"Duplicated index name: a"));
}

TEST_F(IndicesTest, PrepareForCacheTurnsEveryIndex) {
  AddIndices({u"Sequential Access Index", u"Other"});
  indices->PrepareForCache();
  EXPECT_EQ(indices->IndexDescriptor(0)->IndexEngine(), u"nx1xDefault");
  EXPECT_EQ(indices->IndexDescriptor(1)->IndexEngine(), u"CacheKeylessBStarTree");
}

}  // namespace
}  // namespace revurov
