#include "dictionary/fulltext_descriptors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/token_key_descriptors.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;


// A root table with fields ID (Word32), Title and Body, the dictionary's
// own sequential index (0) and "ByID" (1), a unique index over ID that can
// number the records; the fulltext descriptor on it.
class FulltextTest : public ::testing::Test {
protected:
  FulltextTest() {
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtWord32, 0, 0, true);
    dict.FieldsDescriptor().AddField(u"Title", u"", nxtWideString, 20, 0, false);
    dict.FieldsDescriptor().AddField(u"Body", u"", nxtWideString, 50, 0, false);
    AddKeyIndex(u"ByID", idNone, {0});
    fulltext = static_cast<TnxFulltextDescriptor*>(
        dict.CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
  }
  TnxMainIndicesDescriptor& indices() { return *dict.IndicesDescriptor(); }
  int32_t AddKeyIndex(std::u16string_view aName, TnxIndexDups aDups, std::vector<int32_t> aFields) {
    TnxIndexDescriptor* index = indices().AddIndex(aName, 0, aDups, u"", &TnxCompKeyDescriptor::ClassInfo());
    for (int32_t f : aFields) static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(f);
    return indices().IndexCount() - 1;
  }
  TnxFulltextIndexDescriptor& AddIndex(std::u16string_view aName = u"") { return *fulltext->AddFulltextIndex(aName); }

  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxFulltextDescriptor* fulltext = nullptr;
};

TEST_F(FulltextTest, TheLocationIndexMustNumberTheRecords) {
  const int32_t byId = 1;
  struct Case {
    const char* name;
    TnxIndexDups dups;
    std::vector<int32_t> fields;
    TnxFieldType type;
    bool valid;
  } cases[] = {
      {"unique Word32", idNone, {3}, nxtWord32, true},
      {"null duplicates AutoInc", idNull, {3}, nxtAutoInc, true},
      {"any duplicates", idAll, {3}, nxtWord32, false},
      {"two key fields", idNone, {3, 0}, nxtWord32, false},
      {"Int32 field", idNone, {3}, nxtInt32, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxDataDictionary d;
    d.FieldsDescriptor().AddField(u"A", u"", nxtWord32, 0, 0, true);
    d.FieldsDescriptor().AddField(u"B", u"", nxtWord32, 0, 0, true);
    d.FieldsDescriptor().AddField(u"C", u"", nxtWord32, 0, 0, true);
    d.FieldsDescriptor().AddField(u"X", u"", c.type, 0, 0, true);
    TnxIndexDescriptor* index = d.IndicesDescriptor()->AddIndex(u"I", 0, c.dups, u"", &TnxCompKeyDescriptor::ClassInfo());
    for (int32_t f : c.fields) static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(f);
    auto* ft = static_cast<TnxFulltextDescriptor*>(
        d.CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
    if (c.valid) {
      EXPECT_EQ(ft->AddFulltextIndex(u"")->LocationIndexNumber(), 1);
    } else {
      EXPECT_EQ(CodeOf<EnxFulltextIndexDescriptorException>([&] { ft->AddFulltextIndex(u""); }), 10004u);
      EXPECT_HAS_TEXT(MessageOf<EnxFulltextIndexDescriptorException>([&] { ft->AddFulltextIndex(u""); }),
                      u"Invalid location index (-1)");
      EXPECT_EQ(ft->FulltextIndexCount(), 0);
    }
  }
  // The default index wins when it qualifies, else the first that does.
  const int32_t second = AddKeyIndex(u"ByID2", idNone, {0});
  EXPECT_EQ(AddIndex(u"First").LocationIndexNumber(), byId);
  indices().SetDefaultIndex(second);
  EXPECT_EQ(AddIndex(u"Second").LocationIndexNumber(), second);
  EXPECT_EQ(CodeOf<EnxFulltextIndexDescriptorException>([&] { fulltext->FulltextIndex(0)->SetLocationIndexNumber(0); }),
            10004u);
  EXPECT_EQ(fulltext->FulltextIndex(0)->LocationIndex()->Name(), u"ByID");
}

TEST_F(FulltextTest, IndexNamesAreIdentifiersUniqueWithoutCase) {
  EXPECT_EQ(AddIndex().Name(), u"Default");
  EXPECT_EQ(CodeOf<EnxFulltextDescriptorException>([&] { AddIndex(u"default"); }), 10009u);
  EXPECT_EQ(CodeOf<EnxFulltextIndexDescriptorException>([&] { AddIndex(u"a*b"); }), 10068u);
  AddIndex(u"$Hidden");
  fulltext->RemoveFulltextIndex(u"DEFAULT");
  fulltext->RemoveFulltextIndex(u"missing");
  fulltext->RemoveFulltextIndex(7);
  ASSERT_EQ(fulltext->FulltextIndexCount(), 1);
  EXPECT_EQ(fulltext->FulltextIndex(0)->Name(), u"$Hidden");
}

TEST_F(FulltextTest, TheLocationIndexFollowsTheMainIndices) {
  TnxFulltextIndexDescriptor& index = AddIndex();
  EXPECT_EQ(index.LocationIndexNumber(), 1);
  EXPECT_HAS_TEXT(MessageOf<EnxFulltextIndexDescriptorException>([&] { indices().RemoveIndex(1); }),
                  u"Cannot remove index ByID because it is still referenced by a fulltext index");
  EXPECT_EQ(CodeOf<EnxFulltextIndexDescriptorException>([&] { indices().RemoveIndex(1); }), 15502u);
  EXPECT_EQ(indices().IndexCount(), 2);
  indices().InsertIndexAt(0, u"Front", 0, idAll);
  EXPECT_EQ(index.LocationIndexNumber(), 2);
  indices().RemoveIndex(0);
  EXPECT_EQ(index.LocationIndexNumber(), 1);
  fulltext->RemoveFulltextIndex(&index);
  indices().RemoveIndex(1);  // no longer held
}

TEST_F(FulltextTest, HubsNameAndNumberTheirItems) {
  TnxFulltextIndexDescriptor& index = AddIndex();
  TnxTokenFilterHubDescriptor& filters = index.TokenFilterHub();
  EXPECT_EQ(static_cast<TnxBaseTokenFilterDescriptor*>(filters.AddTokenFilter(u""))->Name(), u"Default");
  EXPECT_EQ(&filters.tfhdGetTokenFilter(0)->ClassType(), &TnxWideCharSeparatorTokenFilterDescriptor::ClassInfo());
  EXPECT_EQ(CodeOf<EnxTokenFilterHubDescriptorException>([&] { filters.AddTokenFilter(u"DEFAULT"); }), 10009u);
  filters.AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  filters.AddTokenFilter(u"Fold", &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo());
  filters.RemoveTokenFilter(0);
  ASSERT_EQ(filters.TokenFilterCount(), 2);
  EXPECT_EQ(filters.tfhdGetTokenFilter(0)->Number(), 0);
  EXPECT_EQ(filters.tfhdGetTokenFilter(1)->Number(), 1);
  EXPECT_EQ(filters.tfhdGetTokenFilter(1)->Name(), u"Fold");
  filters.RemoveTokenFilter(u"lower");
  EXPECT_EQ(filters.tfhdGetTokenFilter(0)->Number(), 0);
  EXPECT_EQ(filters.Number(), 0);
  EXPECT_EQ(filters.Name(), u"");

  TnxTokenExtractorHubDescriptor& extractors = index.TokenExtractorHub();
  EXPECT_EQ(CodeOf<EnxTokenExtractorHubDescriptorException>([&] { extractors.AddTokenExtractor(u""); }), 10068u);
  TnxFieldTokenExtractorDescriptor* title = extractors.AddFieldTokenExtractor(1, u"  ");
  EXPECT_EQ(title->Name(), u"Title");
  EXPECT_EQ(title->Field()->Name(), u"Title");
  EXPECT_EQ(CodeOf<EnxTokenExtractorHubDescriptorException>([&] { extractors.AddFieldTokenExtractor(9, u""); }),
            9999u);
  // A failed field leaves no extractor behind.
  EXPECT_EQ(CodeOf<EnxFieldTokenExtractorDescriptorException>([&] { extractors.AddFieldTokenExtractor(9, u"Nine"); }),
            9999u);
  EXPECT_EQ(extractors.TokenExtractorCount(), 1);
  TnxTokenExtractorHubDescriptor* nested = extractors.AddTokenExtractorHub(u"Nested");
  nested->AddFieldTokenExtractor(2, u"");
  EXPECT_EQ(nested->Number(), 1);
  EXPECT_EQ(nested->tehdGetTokenExtractor(0)->Name(), u"Body");
}

TEST_F(FulltextTest, FieldExtractorsFollowTheirField) {
  TnxTokenExtractorHubDescriptor& extractors = AddIndex().TokenExtractorHub();
  TnxFieldTokenExtractorDescriptor* body = extractors.AddFieldTokenExtractor(2, u"");
  EXPECT_HAS_TEXT(MessageOf<EnxFieldTokenExtractorDescriptorException>([&] { dict.FieldsDescriptor().RemoveField(2); }),
                  u"Cannot remove field Body because it is still referenced by an index");
  dict.FieldsDescriptor().RemoveField(1);
  EXPECT_EQ(body->FieldNumber(), 1);
  EXPECT_EQ(CodeOf<EnxFieldTokenExtractorDescriptorException>([&] { body->SetFieldNumber(2); }), 9999u);
  body->SetFieldNumber(-1);
  EXPECT_EQ(CodeOf<EnxFieldTokenExtractorDescriptorException>([&] { fulltext->CheckValid(false); }), 9999u);
}

TEST_F(FulltextTest, StringReplaceItemsMoveAndRefuseBadPositions) {
  TnxStringReplaceTokenFilterDescriptor filter(nullptr);
  for (auto p : {u"A", u"B", u"C"}) filter.AddItem(p, u"x", srkAll, false);
  filter.MoveItem(0, 2);
  EXPECT_EQ(filter.Item(0).srtfiOldPattern, u"C");
  EXPECT_EQ(filter.Item(1).srtfiOldPattern, u"B");
  EXPECT_EQ(filter.Item(2).srtfiOldPattern, u"A");
  filter.RemoveItem(1);
  EXPECT_EQ(filter.Item(1).srtfiOldPattern, u"A");
  EXPECT_HAS_TEXT(MessageOf<EnxStringReplaceTokenFilterDescriptorException>([&] { filter.MoveItem(0, 2); }),
                  u"Index out of bounds: 2");
  EXPECT_EQ(CodeOf<EnxStringReplaceTokenFilterDescriptorException>([&] { filter.RemoveItem(-1); }), 0u);
  EXPECT_THROW(filter.Item(5), EnxStringReplaceTokenFilterDescriptorException);

  TnxStringReplaceTokenFilterDescriptor copy(nullptr);
  LoadBytes(copy, SavedBytes(filter, 47501));
  EXPECT_TRUE(filter.IsEqual(&copy));
  copy.SetItem(0, {u"C", u"x", srkOne, false});
  EXPECT_FALSE(filter.IsEqual(&copy));
}

TEST_F(FulltextTest, CategorySeparatorsWriteTheirSevenBytesRaw) {
  TnxCategorySeparatorTokenFilterDescriptor filter(nullptr);
  const std::vector<uint8_t> bytes = SavedBytes(filter, 47501);
  const std::vector<uint8_t> tail(bytes.end() - 7, bytes.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{0x00, 0x0E, 0xE0, 0x03, 0x00, 0x30, 0x20}));
  EXPECT_FALSE(filter.SeparatorCategories().Contains(ccPunctuationDash));
  EXPECT_FALSE(filter.SeparatorCategories().Contains(ccPunctuationConnector));

  TnxCategorySeparatorTokenFilterDescriptor other(nullptr);
  other.SetSeparatorCategories({ccPunctuationDash});
  EXPECT_FALSE(filter.IsEqual(&other));
  LoadBytes(other, bytes);
  EXPECT_TRUE(filter.IsEqual(&other));
}

TEST_F(FulltextTest, MappingAndFoldingFiltersAnswerTheirFlags) {
  TnxCustomLocaleMappingTokenFilterDescriptor customMap(nullptr);
  TnxCustomFoldStringTokenFilterDescriptor customFold(nullptr);
  customMap.SetFlags(0x400);
  customFold.SetFlags(0x80);
  const struct {
    uint32_t actual, expected;
  } cases[] = {{TnxLowercaseLocaleMappingTokenFilterDescriptor(nullptr).Flags(), 0x100},
               {TnxUppercaseLocaleMappingTokenFilterDescriptor(nullptr).Flags(), 0x200},
               {TnxPreComposeFoldStringTokenFilterDescriptor(nullptr).Flags(), 0x20},
               {TnxDecomposeFoldStringTokenFilterDescriptor(nullptr).Flags(), 0x40},
               {TnxBaseLocaleMappingTokenFilterDescriptor(nullptr).Flags(), 0},
               {customMap.Flags(), 0x400},
               {customFold.Flags(), 0x80}};
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

// A fulltext descriptor with something of every kind.
void Fill(TnxFulltextDescriptor& aFulltext) {
  TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"Main");
  TnxTokenExtractorHubDescriptor& extractors = index->TokenExtractorHub();
  TnxFieldTokenExtractorDescriptor* title = extractors.AddFieldTokenExtractor(1, u"");
  title->AddTokenFilter(u"Upper", &TnxUppercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  extractors.AddTokenExtractorHub(u"More")->AddFieldTokenExtractor(2, u"");
  TnxTokenFilterHubDescriptor& filters = index->TokenFilterHub();
  static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(filters.AddTokenFilter(u"Space"))->SetSeparatorChar(u';');
  filters.AddTokenFilter(u"Categories", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo());
  static_cast<TnxCustomLocaleMappingTokenFilterDescriptor*>(
      filters.AddTokenFilter(u"Map", &TnxCustomLocaleMappingTokenFilterDescriptor::ClassInfo()))
      ->SetFlags(0x300);
  static_cast<TnxCustomFoldStringTokenFilterDescriptor*>(
      filters.AddTokenFilter(u"Fold", &TnxCustomFoldStringTokenFilterDescriptor::ClassInfo()))
      ->SetFlags(0x60);
  static_cast<TnxStringReplaceTokenFilterDescriptor*>(
      filters.AddTokenFilter(u"Replace", &TnxStringReplaceTokenFilterDescriptor::ClassInfo()))
      ->AddItem(u"ae", u"ä", srkAll, true);
  filters.AddTokenFilter(u"Decompose", &TnxDecomposeFoldStringTokenFilterDescriptor::ClassInfo());
  filters.AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  filters.AddTokenFilter(u"Pre", &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo());
  TnxBaseTokenIndexDescriptor* tokens =
      index->TokenIndexHub().AddTokenIndex(u"Tokens", &TnxTokenIndexHubDescriptor::ClassInfo());
  tokens->AddTokenFilter(u"", &TnxTokenFilterHubDescriptor::ClassInfo());
  aFulltext.AddBlobDescriptor();
  aFulltext.ForceIndicesDescriptor()->AddIndex(u"Main$Tokens", 0, idNone, u"",
                                               &TnxBitArrayTokenKeyDescriptor::ClassInfo());
}

TEST_F(FulltextTest, StreamsRoundTripTheWholeTree) {
  Fill(*fulltext);
  EXPECT_NO_THROW(fulltext->CheckValid(true));
  EXPECT_EQ(fulltext->BlobDescriptor()->HeaderSection(), nxFulltextBlobSection);
  EXPECT_EQ(fulltext->IndicesDescriptor()->HeaderSection(), nxFulltextIndicesSection);
  EXPECT_EQ(fulltext->ForceIndicesDescriptor(), fulltext->IndicesDescriptor());

  std::unique_ptr<TnxDataDictionary> copy = dict.Duplicate();
  TnxFulltextDescriptor* read = nxGetFulltextDescriptor(*copy);
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(fulltext->IsEqual(read));
  EXPECT_TRUE(dict.IsEqual(copy.get()));
  // And through a stream written for a client.
  TnxMemoryStream s;
  dict.WriteToStream(s, 47501);
  s.SetPosition(0);
  TnxDataDictionary back;
  back.ReadFromStream(s, u"T");
  EXPECT_TRUE(fulltext->IsEqual(nxGetFulltextDescriptor(back)));
  EXPECT_EQ(nxGetFulltextDescriptor(back)->FulltextIndex(0)->TokenFilterHub().tfhdGetTokenFilterName(4), u"Replace");
}

// Equality sees every setting the streams carry.
TEST_F(FulltextTest, EqualityComparesEveryStreamedSetting) {
  using Change = std::function<void(TnxFulltextDescriptor&)>;
  auto filter = [](TnxFulltextDescriptor& f, int32_t i) {
    return f.FulltextIndex(0)->TokenFilterHub().tfhdGetTokenFilter(i);
  };
  struct Case {
    const char* name;
    Change change;
  } cases[] = {
      {"separator character",
       [&](TnxFulltextDescriptor& f) {
         static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(filter(f, 0))->SetSeparatorChar(u',');
       }},
      {"separator distance",
       [&](TnxFulltextDescriptor& f) {
         static_cast<TnxBaseSeparatorTokenFilterDescriptor*>(filter(f, 1))->SetSeparatorDistance(3);
       }},
      {"mapping flags",
       [&](TnxFulltextDescriptor& f) {
         static_cast<TnxCustomLocaleMappingTokenFilterDescriptor*>(filter(f, 2))->SetFlags(1);
       }},
      {"replace items",
       [&](TnxFulltextDescriptor& f) {
         static_cast<TnxStringReplaceTokenFilterDescriptor*>(filter(f, 4))->AddItem(u"o", u"0", srkOne, false);
       }},
      {"extractor field",
       [](TnxFulltextDescriptor& f) {
         static_cast<TnxFieldTokenExtractorDescriptor*>(
             f.FulltextIndex(0)->TokenExtractorHub().tehdGetTokenExtractor(0))
             ->SetFieldNumber(2);
       }},
      {"no blob storage", [](TnxFulltextDescriptor& f) { f.RemoveBlobDescriptor(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxDataDictionary d;
    d.Assign(&dict);
    TnxFulltextDescriptor* ft = nxGetFulltextDescriptor(d);
    TnxDataDictionary base;
    base.Assign(&dict);
    TnxFulltextDescriptor* baseFt = nxGetFulltextDescriptor(base);
    Fill(*ft);
    Fill(*baseFt);
    EXPECT_TRUE(baseFt->IsEqual(ft));
    c.change(*ft);
    EXPECT_FALSE(baseFt->IsEqual(ft));
  }
  // Fulltext indices that differ only in their names.
  TnxFulltextIndexDescriptor& main = AddIndex(u"Main");
  TnxDataDictionary other;
  other.Assign(&dict);
  nxGetFulltextDescriptor(other)->RemoveFulltextIndex(0);
  nxGetFulltextDescriptor(other)->AddFulltextIndex(u"Other");
  EXPECT_FALSE(fulltext->IsEqual(nxGetFulltextDescriptor(other)));
  EXPECT_EQ(main.Name(), u"Main");
}

TEST_F(FulltextTest, AnItemsOwnLocaleSurvivesAssign) {
  Fill(*fulltext);
  fulltext->FulltextIndex(0)->AddLocaleDescriptor()->SetLocale(0x0407);
  fulltext->FulltextIndex(0)->TokenFilterHub().tfhdGetTokenFilter(0)->AddLocaleDescriptor()->SetLocale(0x040C);
  fulltext->CheckValid(true);  // storage completes itself here, as in any dictionary that is copied
  std::unique_ptr<TnxDataDictionary> copy = dict.Duplicate();
  TnxFulltextIndexDescriptor* index = nxGetFulltextDescriptor(*copy)->FulltextIndex(0);
  ASSERT_NE(index->LocaleDescriptor(), nullptr);
  EXPECT_EQ(index->LocaleDescriptor()->Locale(), 0x0407u);
  ASSERT_NE(index->TokenFilterHub().tfhdGetTokenFilter(0)->LocaleDescriptor(), nullptr);
  EXPECT_EQ(index->TokenFilterHub().tfhdGetTokenFilter(0)->LocaleDescriptor()->Locale(), 0x040Cu);
  EXPECT_TRUE(fulltext->FulltextIndex(0)->IsEqual(index));
  EXPECT_TRUE(fulltext->IsEqual(nxGetFulltextDescriptor(*copy)));
}

TEST_F(FulltextTest, ReadersRefuseWrongNumbersVersionsAndClasses) {
  TnxTokenFilterHubDescriptor& filters = AddIndex().TokenFilterHub();
  filters.AddTokenFilter(u"A");
  filters.AddTokenFilter(u"B");
  const std::vector<uint8_t> good = SavedBytes(filters, 47501);

  // The second entry claims Number 0: find "B" and the Number after it.
  auto patched = [&](const std::string& aFrom, const std::string& aTo) {
    std::vector<uint8_t> bytes = good;
    auto at = std::search(bytes.begin(), bytes.end(), aFrom.begin(), aFrom.end());
    EXPECT_NE(at, bytes.end());
    std::copy(aTo.begin(), aTo.end(), at);
    return bytes;
  };
  TnxTokenFilterHubDescriptor fresh(nullptr);
  LoadBytes(fresh, good);
  EXPECT_TRUE(filters.IsEqual(&fresh));
  EXPECT_HAS_TEXT(
      MessageOf<EnxBaseException>([&] {
        LoadBytes(fresh, patched("TnxWideCharSeparatorTokenFilterDescriptor", "TnxWideCharSeparatorTokenFilterDescriptoX"));
      }),
      u"TokenFilterDescriptor class is not supported: TnxWideCharSeparatorTokenFilterDescriptoX");

  // A stored Number that is not the position.
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    TnxTokenFilterHubDescriptor(nullptr).TnxBaseTokenFilterDescriptor::SaveToWriter(w, 47501);
    w.WriteInteger(int32_t{1});
    w.WriteListBegin();
    w.WriteString(u"A");
    w.WriteString(u"TnxLowercaseLocaleMappingTokenFilterDescriptor");
    TnxLowercaseLocaleMappingTokenFilterDescriptor item(nullptr);
    item.SetNumber(3);
    item.SaveToWriter(w, 47501);
    w.WriteListEnd();
  }
  const auto* p = s.ByteArray();
  EXPECT_EQ(CodeOf<EnxTokenFilterHubDescriptorException>(
                [&] { LoadBytes(fresh, std::vector<uint8_t>(p, p + s.GetSize())); }),
            15498u);
}

TEST_F(FulltextTest, StorageIsFoundFromBelow) {
  TnxFulltextIndexDescriptor& index = AddIndex();
  TnxDictionaryItem* found = nullptr;
  ASSERT_TRUE(index.FindRelatedDescriptorOfType(TnxTokenIndicesDescriptor::ClassInfo(), found));
  EXPECT_EQ(found, nullptr);
  fulltext->ForceIndicesDescriptor();
  fulltext->AddBlobDescriptor();
  EXPECT_EQ(index.FindRelated<TnxTokenIndicesDescriptor>(), fulltext->IndicesDescriptor());
  EXPECT_EQ(index.FindRelated<TnxBaseBlobDescriptor>(), fulltext->BlobDescriptor());
  EXPECT_EQ(index.FindRelated<TnxMainIndicesDescriptor>(), dict.IndicesDescriptor());
}

TEST_F(FulltextTest, ChangesRefuseAReadOnlyDictionary) {
  Fill(*fulltext);
  TnxFulltextIndexDescriptor* index = fulltext->FulltextIndex(0);
  dict.MakeReadOnly();
  const std::function<void()> changes[] = {
      [&] { index->TokenExtractorHub().AddTokenExtractor(u"X"); },
      [&] { index->TokenExtractorHub().RemoveTokenExtractor(0); },
      [&] { index->TokenExtractorHub().tehdGetTokenExtractor(0)->AddTokenFilter(u"X"); },
      [&] { index->SetLocationIndexNumber(1); },
      [&] {
        static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(index->TokenFilterHub().tfhdGetTokenFilter(0))
            ->SetSeparatorChar(u'x');
      },
      [&] { fulltext->AddBlobDescriptor(); },
      [&] { fulltext->RemoveIndicesDescriptor(); },
  };
  for (const auto& change : changes) EXPECT_EQ(CodeOf<EnxBaseException>(change), 15500u);
  EXPECT_EQ(index->TokenExtractorHub().TokenExtractorCount(), 2);
}

TEST_F(FulltextTest, TheTableFindsItsDescriptorByName) {
  EXPECT_EQ(nxGetFulltextDescriptor(dict), fulltext);
  TnxDataDictionary other;
  EXPECT_EQ(nxGetFulltextDescriptor(other), nullptr);
  other.CustomDescsDescriptor().AddCustom(u"FULLTEXT");
  EXPECT_THROW(nxGetFulltextDescriptor(other), platform::EInvalidCast);
}

}  // namespace
}  // namespace revurov
