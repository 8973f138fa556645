#include "dictionary/token_index_descriptors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/dictionary_tree_fixture.h"
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

// A table with ID (Word32, numbering the records through "ByID"), a main
// index "Tokens" over a main-index token key, and one fulltext index.
class TokenIndexTest : public ::testing::Test {
protected:
  TokenIndexTest() {
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtWord32, 0, 0, true);
    TnxIndexDescriptor* byId =
        dict.IndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(byId->KeyDescriptor())->Add(0);
    dict.IndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::ClassInfo());
    fulltext = static_cast<TnxFulltextDescriptor*>(
        dict.CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
    index = fulltext->AddFulltextIndex(u"");
  }
  TnxBitArrayTokenIndexDescriptor& BitArray(std::u16string_view aName = u"") {
    return static_cast<TnxBitArrayTokenIndexDescriptor&>(*index->TokenIndexHub().AddTokenIndex(aName));
  }
  TnxMainIndexTokenIndexDescriptor& MainIndex() {
    return static_cast<TnxMainIndexTokenIndexDescriptor&>(
        *index->TokenIndexHub().AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::ClassInfo()));
  }
  static TnxBitArrayTokenKeyDescriptor& KeyOf(TnxIndexDescriptor* aIndex) {
    return static_cast<TnxBitArrayTokenKeyDescriptor&>(*aIndex->KeyDescriptor());
  }

  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxFulltextDescriptor* fulltext = nullptr;
  TnxFulltextIndexDescriptor* index = nullptr;
};

TEST_F(TokenIndexTest, BitArrayIndicesAreNamedAfterTheirFulltextIndexAndLeaveWithIt) {
  TnxBitArrayTokenIndexDescriptor& tokens = BitArray();
  EXPECT_EQ(&tokens.ClassType(), &TnxBitArrayTokenIndexDescriptor::ClassInfo());
  EXPECT_EQ(tokens.IndexDescriptor(), nullptr);
  tokens.SetPerFieldIndex(true);
  tokens.SetMaxTokenSize(30);
  TnxIndexDescriptor* forward = tokens.AddIndex(0);
  EXPECT_EQ(forward->Name(), u"Default$Default");
  EXPECT_EQ(forward->Dups(), idNone);
  EXPECT_EQ(KeyOf(forward).MaxTokenSize(), 30);
  EXPECT_TRUE(KeyOf(forward).PerFieldIndex());
  EXPECT_FALSE(KeyOf(forward).Reverse());
  tokens.AddIndex(0);
  EXPECT_EQ(fulltext->IndicesDescriptor()->IndexCount(), 1);
  TnxIndexDescriptor* reverse = tokens.AddReverseIndex(0);
  EXPECT_EQ(reverse->Name(), u"Default$Default$Reverse");
  EXPECT_TRUE(KeyOf(reverse).Reverse());
  EXPECT_EQ(tokens.ReverseIndexDescriptor(), reverse);
  EXPECT_EQ(fulltext->IndicesDescriptor()->IndexCount(), 2);

  // A key that is no bit-array token key leaves no reverse index behind.
  EXPECT_EQ(CodeOf<EnxBitArrayTokenIndexDescriptorException>(
                [&] { tokens.AddReverseIndex(0, &TnxRefKeyDescriptor::ClassInfo()); }),
            10004u);
  EXPECT_EQ(tokens.ReverseIndexDescriptor(), nullptr);
  EXPECT_EQ(fulltext->IndicesDescriptor()->IndexCount(), 1);

  index->TokenIndexHub().RemoveTokenIndex(&tokens);
  EXPECT_EQ(fulltext->IndicesDescriptor()->IndexCount(), 0);
}

TEST_F(TokenIndexTest, ValidationBringsKeysInLineAndAddsStorage) {
  TnxBitArrayTokenIndexDescriptor& tokens = BitArray();
  tokens.AddIndex(0);
  tokens.AddReverseIndex(0);
  struct Case {
    int32_t set, kept;
  } sizes[] = {{0, 1}, {5000, 1024}, {40, 40}};
  for (const auto& c : sizes) {
    SCOPED_TRACE(c.set);
    tokens.SetMaxTokenSize(c.set);
    EXPECT_EQ(tokens.MaxTokenSize(), c.kept);
  }
  tokens.SetPerFieldIndex(true);
  index->AddLocaleDescriptor()->SetLocale(0x0407);
  EXPECT_EQ(KeyOf(tokens.IndexDescriptor()).MaxTokenSize(), 20);  // until validation
  EXPECT_EQ(tokens.BitArrayStorageHandler(), nullptr);
  EXPECT_EQ(fulltext->BlobDescriptor(), nullptr);

  fulltext->CheckValid(true);
  for (TnxIndexDescriptor* i : {tokens.IndexDescriptor(), tokens.ReverseIndexDescriptor()}) {
    EXPECT_EQ(KeyOf(i).MaxTokenSize(), 40);
    EXPECT_TRUE(KeyOf(i).PerFieldIndex());
    EXPECT_EQ(KeyOf(i).Locale(), 0x0407u);
  }
  EXPECT_TRUE(KeyOf(tokens.ReverseIndexDescriptor()).Reverse());
  ASSERT_NE(tokens.BitArrayStorageHandler(), nullptr);
  EXPECT_EQ(&tokens.BitArrayStorageHandler()->ClassType(), &TnxSimpleBitArrayStorageHandlerDescriptor::ClassInfo());
  ASSERT_NE(fulltext->BlobDescriptor(), nullptr);
  EXPECT_EQ(&fulltext->BlobDescriptor()->ClassType(), &TnxHeapBlobDescriptor::ClassInfo());
  EXPECT_EQ(fulltext->BlobDescriptor()->HeaderSection(), nxFulltextBlobSection);

  // In line already: a read-only dictionary validates; a needed change fails.
  std::unique_ptr<TnxDataDictionary> drifted = dict.Duplicate();
  dict.MakeReadOnly();
  EXPECT_NO_THROW(fulltext->CheckValid(true));
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { tokens.SetMaxTokenSize(3); }), 15500u);
  TnxFulltextDescriptor* other = nxGetFulltextDescriptor(*drifted);
  KeyOf(other->IndicesDescriptor()->IndexDescriptor(0)).SetMaxTokenSize(5);
  drifted->MakeReadOnly();
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { other->CheckValid(true); }), 15500u);
}

TEST_F(TokenIndexTest, ValidationRefusesAForeignKeyAndAddsNothingWithoutIndices) {
  TnxBitArrayTokenIndexDescriptor& tokens = BitArray();
  fulltext->CheckValid(true);
  EXPECT_EQ(tokens.BitArrayStorageHandler(), nullptr);
  tokens.AddIndex(0, &TnxRefKeyDescriptor::ClassInfo());
  EXPECT_HAS_TEXT(MessageOf<EnxBitArrayTokenIndexDescriptorException>([&] { fulltext->CheckValid(true); }),
                  u"Invalid descriptor.");
  EXPECT_EQ(CodeOf<EnxBitArrayTokenIndexDescriptorException>([&] { fulltext->CheckValid(true); }), 10004u);
}

TEST_F(TokenIndexTest, MainIndexTokenIndicesNeedATokenKeyIndex) {
  TnxMainIndexTokenIndexDescriptor& tokens = MainIndex();
  EXPECT_EQ(tokens.MainIndexNumber(), -1);
  EXPECT_TRUE(tokens.IgnoreCase());
  EXPECT_EQ(CodeOf<EnxMainIndexTokenIndexDescriptorException>([&] { tokens.CheckValid(false); }), 9997u);
  EXPECT_EQ(CodeOf<EnxMainIndexTokenIndexDescriptorException>([&] { tokens.SetMainIndexNumber(9); }), 9997u);
  EXPECT_HAS_TEXT(MessageOf<EnxMainIndexTokenIndexDescriptorException>([&] { tokens.SetMainIndexNumber(1); }),
                  u"Index must use a TnxMainIndexTokenIndexKeyDescriptor");
  tokens.SetMainIndexNumber(2);
  EXPECT_EQ(tokens.MainIndex()->Name(), u"Tokens");

  // The used locale's flags, with the ignore-case flag, go to the key.
  TnxLocaleDescriptor* locale = tokens.AddLocaleDescriptor();
  locale->SetLocale(0x0409);
  locale->SetFlags(0x1002);
  tokens.CheckValid(true);
  auto& key = static_cast<TnxMainIndexTokenKeyDescriptor&>(*tokens.MainIndex()->KeyDescriptor());
  EXPECT_EQ(key.Locale(), 0x0409u);
  EXPECT_EQ(key.Flags(), 0x1003u);
  tokens.SetIgnoreCase(false);
  tokens.CheckValid(true);
  EXPECT_EQ(key.Flags(), 0x1002u);

  // It follows the main indices and holds on to its own.
  dict.IndicesDescriptor()->InsertIndexAt(0, u"Front", 0, idAll);
  EXPECT_EQ(tokens.MainIndexNumber(), 3);
  EXPECT_EQ(CodeOf<EnxMainIndexTokenIndexDescriptorException>([&] { dict.IndicesDescriptor()->RemoveIndex(3); }),
            15502u);
  EXPECT_EQ(dict.IndicesDescriptor()->IndexCount(), 4);
}

TEST_F(TokenIndexTest, StreamsRoundTripAndEqualityCoversEverySetting) {
  TnxBitArrayTokenIndexDescriptor& bits = BitArray(u"Bits");
  bits.SetMaxTokenSize(33);
  bits.SetPerFieldIndex(true);
  bits.SetPerLocationIndex(false);
  bits.SetSegmentIndex(true);
  bits.AddIndex(0);
  TnxMainIndexTokenIndexDescriptor& main = MainIndex();
  main.SetMainIndexNumber(2);
  main.SetIgnoreCase(false);
  fulltext->CheckValid(true);

  std::unique_ptr<TnxDataDictionary> copy = dict.Duplicate();
  TnxFulltextDescriptor* read = nxGetFulltextDescriptor(*copy);
  EXPECT_TRUE(fulltext->IsEqual(read));
  auto& readBits = static_cast<TnxBitArrayTokenIndexDescriptor&>(
      *read->FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(0));
  EXPECT_EQ(readBits.MaxTokenSize(), 33);
  EXPECT_FALSE(readBits.PerLocationIndex());
  EXPECT_TRUE(readBits.SegmentIndex());
  EXPECT_NE(readBits.IndexDescriptor(), nullptr);
  // The storage handler is not written; validation makes it again.
  EXPECT_NE(readBits.BitArrayStorageHandler(), nullptr);
  const std::vector<uint8_t> withHandler = SavedBytes(readBits, 47501);
  readBits.RemoveBitArrayStorageHandler();
  EXPECT_EQ(SavedBytes(readBits, 47501), withHandler);
  read->CheckValid(true);
  EXPECT_NE(readBits.BitArrayStorageHandler(), nullptr);

  using Change = std::function<void(TnxFulltextDescriptor&)>;
  const Change changes[] = {
      [](TnxFulltextDescriptor& f) {
        static_cast<TnxBitArrayTokenIndexDescriptor*>(f.FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(0))
            ->SetPerLocationIndex(true);
      },
      [](TnxFulltextDescriptor& f) {
        static_cast<TnxBitArrayTokenIndexDescriptor*>(f.FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(0))
            ->SetSegmentIndex(false);
      },
      [](TnxFulltextDescriptor& f) {
        static_cast<TnxMainIndexTokenIndexDescriptor*>(f.FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(1))
            ->SetIgnoreCase(true);
      },
      [](TnxFulltextDescriptor& f) {
        static_cast<TnxBitArrayTokenIndexDescriptor*>(f.FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(0))
            ->RemoveBitArrayStorageHandler();
      },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    std::unique_ptr<TnxDataDictionary> other = dict.Duplicate();
    nxGetFulltextDescriptor(*other)->CheckValid(true);
    EXPECT_TRUE(fulltext->IsEqual(nxGetFulltextDescriptor(*other)));
    changes[i](*nxGetFulltextDescriptor(*other));
    EXPECT_FALSE(fulltext->IsEqual(nxGetFulltextDescriptor(*other)));
  }
}

TEST_F(TokenIndexTest, ReadersClampSizesAndRefuseUnknownVersions) {
  TnxBitArrayTokenIndexDescriptor& bits = BitArray();
  for (int32_t version : {1, 2}) {
    SCOPED_TRACE(version);
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      bits.TnxBaseTokenIndexDescriptor::SaveToWriter(w, 47501);
      w.WriteInteger(version);
      w.WriteInteger(int32_t{70000});
      w.WriteBoolean(false);
      w.WriteBoolean(true);
      w.WriteBoolean(false);
    }
    const auto* p = s.ByteArray();
    const std::vector<uint8_t> bytes(p, p + s.GetSize());
    if (version == 2) {
      EXPECT_EQ(CodeOf<EnxBitArrayTokenIndexDescriptorException>([&] { LoadBytes(bits, bytes); }), 15498u);
      continue;
    }
    LoadBytes(bits, bytes);
    EXPECT_EQ(bits.MaxTokenSize(), nxMaxTokenSize);
  }
}

}  // namespace
}  // namespace revurov
