#include "server/engines/fulltext_table_engine.h"
#include "server/engines/fulltext_token_index_base.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dictionary/fulltext_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "server/engines/bit_array_storage.h"
#include "server/engines/fulltext_token_indices.h"
#include "server/engines/startup.h"
#include "support/exception_message.h"
#include "support/fulltext_table.h"

namespace revurov {
namespace {

using testing::TFulltextShape;
using testing::TFulltextTable;

// ---- probes: descriptor and engine classes that note their life ----

std::vector<std::u16string>& Log() {
  static std::vector<std::u16string> log;
  return log;
}

class TnxProbeTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxProbeTokenFilterDescriptor, TnxBaseTokenFilterDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxProbeTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
};

class TnxProbeTokenFilterTableEngine : public TnxBaseTokenFilterTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxProbeTokenFilterTableEngine, TnxBaseTokenFilterTableEngine,
                              TnxTokenFilterTableEngineClass,
                              &nxNewTokenFilterTableEngine<TnxProbeTokenFilterTableEngine>)
  TnxProbeTokenFilterTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenFilterDescriptor& aDescriptor,
                                 TnxTokenFilterHubTableEngine* aHub)
      : TnxBaseTokenFilterTableEngine(aParent, aDescriptor, aHub) {
    Log().push_back(u"+" + aDescriptor.Name());
  }
  ~TnxProbeTokenFilterTableEngine() override { Log().push_back(u"-" + TokenFilterDescriptor().Name()); }
};

// Descriptor classes without a table engine, one per family.
class TnxOrphanTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanTokenFilterDescriptor, TnxBaseTokenFilterDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxOrphanTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
};
class TnxOrphanTokenExtractorDescriptor : public TnxBaseTokenExtractorDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanTokenExtractorDescriptor, TnxBaseTokenExtractorDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxOrphanTokenExtractorDescriptor>)
  using TnxBaseTokenExtractorDescriptor::TnxBaseTokenExtractorDescriptor;
};
class TnxOrphanTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanTokenIndexDescriptor, TnxBaseTokenIndexDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxOrphanTokenIndexDescriptor>)
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;
};
class TnxOrphanBitArrayStorageHandlerDescriptor : public TnxSimpleBitArrayStorageHandlerDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanBitArrayStorageHandlerDescriptor, TnxSimpleBitArrayStorageHandlerDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxOrphanBitArrayStorageHandlerDescriptor>)
  using TnxSimpleBitArrayStorageHandlerDescriptor::TnxSimpleBitArrayStorageHandlerDescriptor;
};
class TnxOrphanFulltextIndexDescriptor : public TnxFulltextIndexDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanFulltextIndexDescriptor, TnxFulltextIndexDescriptor,
                              TnxFulltextIndexDescriptorClass, &nxNewFulltextIndex<TnxOrphanFulltextIndexDescriptor>)
  using TnxFulltextIndexDescriptor::TnxFulltextIndexDescriptor;
};
class TnxOrphanFulltextDescriptor : public TnxFulltextDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOrphanFulltextDescriptor, TnxFulltextDescriptor, TnxCustomDescriptorClass,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxOrphanFulltextDescriptor>))
  using TnxFulltextDescriptor::TnxFulltextDescriptor;
};

class FulltextTableEngineTest : public ::testing::Test {
protected:
  FulltextTableEngineTest() {
    TnxProbeTokenFilterTableEngine::ClassInfo().Register();
    Log().clear();
  }
  ~FulltextTableEngineTest() override { TnxProbeTokenFilterTableEngine::ClassInfo().Unregister(); }

  TnxServerEnginesStartupGuard startup;
};

template <class T>
T* As(TnxBaseRegisterableEngine* aEngine) {
  return dynamic_cast<T*>(aEngine);
}

// One fulltext index with every extractor, filter and token index kind,
// nested in hubs, and a second one with nothing but its hubs.
void EveryKind(TnxFulltextDescriptor& aFulltext) {
  TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"Full");
  TnxTokenExtractorHubDescriptor& extractors = index->TokenExtractorHub();
  TnxFieldTokenExtractorDescriptor* text = extractors.AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
  text->AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  TnxTokenExtractorHubDescriptor* nested = extractors.AddTokenExtractorHub(u"Nested");
  nested->AddFieldTokenExtractor(TFulltextTable::kIdField, u"ID");

  TnxTokenFilterHubDescriptor& filters = index->TokenFilterHub();
  const TnxFulltextItemClass* kinds[] = {
      &TnxWideCharSeparatorTokenFilterDescriptor::ClassInfo(),
      &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo(),
      &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxUppercaseLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxCustomLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxDecomposeFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxCustomFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxStringReplaceTokenFilterDescriptor::ClassInfo(),
  };
  int n = 0;
  for (const TnxFulltextItemClass* kind : kinds) filters.AddTokenFilter(u"F" + std::u16string(1, u'A' + n++), kind);
  auto* nestedFilters = static_cast<TnxTokenFilterHubDescriptor*>(
      filters.AddTokenFilter(u"NestedFilters", &TnxTokenFilterHubDescriptor::ClassInfo()));
  nestedFilters->AddTokenFilter(u"Upper", &TnxUppercaseLocaleMappingTokenFilterDescriptor::ClassInfo());

  TnxTokenIndexHubDescriptor& tokenIndices = index->TokenIndexHub();
  auto* bits = static_cast<TnxBitArrayTokenIndexDescriptor*>(tokenIndices.AddTokenIndex(u"Bits"));
  bits->AddIndex(0);
  bits->AddReverseIndex(0);
  bits->AddTokenFilter(u"Fold", &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo());
  tokenIndices.AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::ClassInfo());
  auto* nestedIndices = static_cast<TnxTokenIndexHubDescriptor*>(
      tokenIndices.AddTokenIndex(u"NestedIndices", &TnxTokenIndexHubDescriptor::ClassInfo()));
  static_cast<TnxBitArrayTokenIndexDescriptor*>(nestedIndices->AddTokenIndex(u"Inner"))->AddIndex(0);

  aFulltext.AddFulltextIndex(u"Bare");
}

TEST_F(FulltextTableEngineTest, TreeMirrorsTheDescriptorWithEveryKind) {
  TFulltextShape shape;
  shape.Configure = [](TnxFulltextDescriptor& aFulltext) {
    EveryKind(aFulltext);
    // The main index token index names the "Tokens" main index.
    auto* main = static_cast<TnxMainIndexTokenIndexDescriptor*>(
        aFulltext.FulltextIndex(0)->TokenIndexHub().tihdGetTokenIndex(1));
    auto* table = aFulltext.FindRelated<TnxMainIndicesDescriptor>();
    main->SetMainIndexNumber(table->GetIndexFromName(u"Tokens"));
  };
  TFulltextTable table(shape);
  TnxFulltextTableEngine& engine = table.Fulltext();
  EXPECT_EQ(engine.ClassName(), u"TnxFulltextTableEngine");
  EXPECT_EQ(engine.MainIndicesEngine(), table.MainIndices());
  ASSERT_NE(engine.IndicesEngine(), nullptr);
  ASSERT_NE(engine.BlobEngine(), nullptr);
  ASSERT_EQ(engine.FulltextIndexCount(), 2);

  TnxFulltextIndexTableEngine& full = engine.FulltextIndex(0);
  EXPECT_EQ(&full.ParentFulltextTableEngine(), &engine);
  EXPECT_EQ(full.fiteGetTokenExtractor(-1), full.TokenExtractorHub());

  // Extractors: the field extractor with its own filter hub, the nested hub.
  ASSERT_EQ(full.TokenExtractorCount(), 2);
  auto* text = As<TnxFieldTokenExtractorTableEngine>(full.fiteGetTokenExtractor(0));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->FieldTokenExtractorDescriptor().FieldNumber(), TFulltextTable::kTextField);
  EXPECT_EQ(text->ParentTokenExtractorHubTableEngine(), full.TokenExtractorHub());
  EXPECT_EQ(&text->ParentFulltextIndexTableEngine(), &full);
  ASSERT_NE(text->TokenFilterHub(), nullptr);
  EXPECT_EQ(text->bteteGetTokenFilter(-1), text->TokenFilterHub());
  EXPECT_EQ(text->bteteGetTokenFilter(0)->ClassName(), u"TnxLowercaseLocaleMappingTokenFilterTableEngine");
  // A filter hub of an extractor's own filters has the fulltext index as parent, no parent hub.
  EXPECT_EQ(text->TokenFilterHub()->ParentTokenFilterHubTableEngine(), nullptr);
  EXPECT_EQ(&text->TokenFilterHub()->ParentFulltextIndexTableEngine(), &full);
  auto* nested = As<TnxTokenExtractorHubTableEngine>(full.fiteGetTokenExtractor(1));
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->TokenFilterHub(), nullptr);
  ASSERT_EQ(nested->TokenExtractorCount(), 1);
  EXPECT_EQ(nested->tehteGetTokenExtractor(0)->ParentTokenExtractorHubTableEngine(), nested);
  EXPECT_EQ(&nested->tehteGetTokenExtractor(0)->ParentFulltextIndexTableEngine(), &full);

  // Filters: every kind in descriptor order, then the nested hub.
  const char16_t* filterClasses[] = {
      u"TnxWideCharSeparatorTokenFilterTableEngine",     u"TnxCategorySeparatorTokenFilterTableEngine",
      u"TnxLowercaseLocaleMappingTokenFilterTableEngine", u"TnxUppercaseLocaleMappingTokenFilterTableEngine",
      u"TnxCustomLocaleMappingTokenFilterTableEngine",    u"TnxPreComposeFoldStringTokenFilterTableEngine",
      u"TnxDecomposeFoldStringTokenFilterTableEngine",    u"TnxCustomFoldStringTokenFilterTableEngine",
      u"TnxStringReplaceTokenFilterTableEngine",          u"TnxTokenFilterHubTableEngine",
  };
  ASSERT_EQ(full.TokenFilterCount(), 10);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    TnxBaseTokenFilterTableEngine* filter = full.fiteGetTokenFilter(i);
    EXPECT_EQ(filter->ClassName(), filterClasses[i]);
    EXPECT_EQ(filter->ParentTokenFilterHubTableEngine(), full.TokenFilterHub());
    EXPECT_EQ(&filter->TokenFilterDescriptor(), full.FulltextIndexDescriptor().TokenFilterHub().tfhdGetTokenFilter(i));
  }
  auto* nestedFilters = As<TnxTokenFilterHubTableEngine>(full.fiteGetTokenFilter(9));
  ASSERT_EQ(nestedFilters->TokenFilterCount(), 1);
  EXPECT_EQ(nestedFilters->tfhteGetTokenFilter(0)->ParentTokenFilterHubTableEngine(), nestedFilters);

  // Token indices: bit array with both index engines and a storage handler,
  // main index, nested hub.
  ASSERT_EQ(full.TokenIndexCount(), 3);
  auto* bits = As<TnxBitArrayTokenIndexTableEngine>(full.fiteGetTokenIndex(0));
  ASSERT_NE(bits, nullptr);
  EXPECT_EQ(bits->ParentTokenIndexHubTableEngine(), full.TokenIndexHub());
  TnxBitArrayTokenIndexDescriptor& bitsDesc = bits->BitArrayTokenIndexDescriptor();
  EXPECT_EQ(bits->IndexEngine(), &engine.IndicesEngine()->Indices(bitsDesc.IndexDescriptor()->Number()));
  EXPECT_EQ(bits->ReverseIndexEngine(),
            &engine.IndicesEngine()->Indices(bitsDesc.ReverseIndexDescriptor()->Number()));
  EXPECT_NE(bits->IndexEngine(), bits->ReverseIndexEngine());
  ASSERT_NE(bits->TokenFilterHub(), nullptr);
  EXPECT_EQ(bits->btiteGetTokenFilter(0)->ClassName(), u"TnxPreComposeFoldStringTokenFilterTableEngine");
  auto* handler = As<TnxSimpleBitArrayStorageHandlerTableEngine>(bits->BitArrayStorageHandler());
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(&handler->BlobEngine(), engine.BlobEngine());
  EXPECT_EQ(&handler->ParentBitArrayTokenIndexTableEngine(), bits);
  auto* main = As<TnxMainIndexTokenIndexTableEngine>(full.fiteGetTokenIndex(1));
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->btiteGetTokenFilter(-1), nullptr);
  EXPECT_EQ(main->MainIndexEngine(),
            &table.MainIndices()->Indices(main->MainIndexTokenIndexDescriptor().MainIndexNumber()));
  auto* nestedIndices = As<TnxTokenIndexHubTableEngine>(full.fiteGetTokenIndex(2));
  ASSERT_NE(nestedIndices, nullptr);
  ASSERT_EQ(nestedIndices->TokenIndexCount(), 1);
  auto* inner = As<TnxBitArrayTokenIndexTableEngine>(nestedIndices->tihteGetTokenIndex(0));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->ParentTokenIndexHubTableEngine(), nestedIndices);
  EXPECT_EQ(&inner->ParentFulltextIndexTableEngine(), &full);
  EXPECT_NE(inner->IndexEngine(), nullptr);
  EXPECT_EQ(inner->ReverseIndexEngine(), nullptr);

  // A fulltext index with nothing in it still has its three hubs.
  TnxFulltextIndexTableEngine& bare = engine.FulltextIndex(1);
  ASSERT_NE(bare.TokenFilterHub(), nullptr);
  EXPECT_EQ(bare.TokenFilterCount(), 0);
  EXPECT_EQ(bare.TokenExtractorCount(), 0);
  EXPECT_EQ(bare.TokenIndexCount(), 0);
  EXPECT_EQ(bare.TokenExtractorHub()->TokenFilterHub(), nullptr);
}

TEST_F(FulltextTableEngineTest, ATableWithoutFulltextGetsNone) {
  TFulltextShape shape;
  shape.WithFulltext = false;
  TFulltextTable table(shape);
  EXPECT_EQ(table.Engine(), nullptr);
  EXPECT_EQ(TnxBaseFulltextCursorEngine::CreateFor(nullptr, nullptr), nullptr);
}

TEST_F(FulltextTableEngineTest, CursorEngineLookupNamesTheCursorClass) {
  TFulltextTable table;
  // The fulltext cursor engine is served; the default table's bit-array
  // token index names its cursor class when that is not registered.
  // Taken out of the registry for the test, so the lookup misses.
  struct TUnregistered {
    TUnregistered() { TnxBitArrayTokenIndexCursorEngine::ClassInfo().Unregister(); }
    ~TUnregistered() { TnxBitArrayTokenIndexCursorEngine::ClassInfo().Register(); }
  } unregistered;
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseTokenIndexCursorEngineException>(
                      [&] { TnxBaseFulltextCursorEngine::CreateFor(table.Engine(), nullptr); }),
                  u"Unknown TokenIndex engine: \"TnxBitArrayTokenIndexCursorEngine\" [$3C8F/15503]");
}

// The class that is not registered comes last of what is built, so that
// everything before it must be freed: filters in hubs first first, the
// hubs of a fulltext index in reverse of their building.
TEST_F(FulltextTableEngineTest, UnregisteredClassesRaise15503AndFreeWhatWasBuilt) {
  struct Case {
    const char* name;
    std::function<void(TnxFulltextIndexDescriptor&)> orphan;
    std::u16string message;
  } cases[] = {
      {"token filter",
       [](TnxFulltextIndexDescriptor& aIndex) {
         auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(aIndex.TokenIndexHub().AddTokenIndex(u"T"));
         tokens->AddIndex(0);
         tokens->AddTokenFilter(u"T1", &TnxProbeTokenFilterDescriptor::ClassInfo());
         tokens->AddTokenFilter(u"Orphan", &TnxOrphanTokenFilterDescriptor::ClassInfo());
       },
       u"Unknown TokenFilter engine: \"TnxOrphanTokenFilterTableEngine\""},
      {"token index",
       [](TnxFulltextIndexDescriptor& aIndex) {
         aIndex.TokenIndexHub().AddTokenIndex(u"Orphan", &TnxOrphanTokenIndexDescriptor::ClassInfo());
       },
       u"Unknown TokenIndex engine: \"TnxOrphanTokenIndexTableEngine\""},
      {"token extractor",
       [](TnxFulltextIndexDescriptor& aIndex) {
         aIndex.TokenExtractorHub().AddTokenExtractor(u"Orphan", &TnxOrphanTokenExtractorDescriptor::ClassInfo());
       },
       u"Unknown TokenExtractor engine: \"TnxOrphanTokenExtractorTableEngine\""},
      {"storage handler",
       [](TnxFulltextIndexDescriptor& aIndex) {
         auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(aIndex.TokenIndexHub().AddTokenIndex(u"T"));
         tokens->AddIndex(0);
         tokens->AddBitArrayStorageHandler(&TnxOrphanBitArrayStorageHandlerDescriptor::ClassInfo());
       },
       u"Unknown BitArrayStorageHandler engine: \"TnxOrphanBitArrayStorageHandlerTableEngine\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log().clear();
    TFulltextShape shape;
    shape.Configure = [&](TnxFulltextDescriptor& aFulltext) {
      TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"First");
      auto* text = index->TokenExtractorHub().AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
      text->AddTokenFilter(u"E1", &TnxProbeTokenFilterDescriptor::ClassInfo());
      index->TokenFilterHub().AddTokenFilter(u"F1", &TnxProbeTokenFilterDescriptor::ClassInfo());
      index->TokenFilterHub().AddTokenFilter(u"F2", &TnxProbeTokenFilterDescriptor::ClassInfo());
      c.orphan(*index);
    };
    EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseException>([&] { TFulltextTable table(shape); }),
                    c.message + u" [$3C8F/15503]");
    // Built: E1, F1, F2 (and T1); freed: the token index hub, the filter
    // hub first first, then the extractor hub.
    std::vector<std::u16string> expected = {u"+E1", u"+F1", u"+F2"};
    if (c.name == std::string("token filter")) expected.push_back(u"+T1");
    if (c.name == std::string("token extractor")) expected = {u"+E1"};
    if (c.name == std::string("token filter")) expected.push_back(u"-T1");
    if (c.name != std::string("token extractor")) {
      expected.insert(expected.end(), {u"-F1", u"-F2"});
    }
    expected.push_back(u"-E1");
    EXPECT_EQ(Log(), expected);
  }
}

TEST_F(FulltextTableEngineTest, UnregisteredFulltextAndIndexClassesRaise15503) {
  TFulltextShape index;
  index.Configure = [](TnxFulltextDescriptor& aFulltext) {
    aFulltext.AddFulltextIndex(u"Good");
    aFulltext.AddFulltextIndex(u"Orphan", &TnxOrphanFulltextIndexDescriptor::ClassInfo());
  };
  try {
    TFulltextTable table(index);
    FAIL() << "no exception";
  } catch (const EnxFulltextIndexTableEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeSubEngineNotSupported);
    EXPECT_HAS_TEXT(e.Message(), u"Unknown FulltextIndex engine: \"TnxOrphanFulltextIndexTableEngine\"");
  }
  TFulltextShape fulltext;
  fulltext.FulltextClass = &TnxOrphanFulltextDescriptor::ClassInfo();
  fulltext.Configure = [](TnxFulltextDescriptor& aFulltext) { aFulltext.AddFulltextIndex(u"Good"); };
  try {
    TFulltextTable table(fulltext);
    FAIL() << "no exception";
  } catch (const EnxBaseFulltextTableEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeSubEngineNotSupported);
    EXPECT_HAS_TEXT(e.Message(), u"Unknown Fulltext engine: \"TnxOrphanFulltextTableEngine\"");
  }
}

// Index numbers come from disk.
TEST_F(FulltextTableEngineTest, AMainIndexNumberWithoutAnIndexRaises9997) {
  TFulltextShape shape;
  shape.Configure = [](TnxFulltextDescriptor& aFulltext) {
    TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"");
    index->TokenIndexHub().AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::ClassInfo());
  };
  EXPECT_EQ(testing::ErrorCodeOf([&] { TFulltextTable table(shape); }), nxeIndexDoesNotExist);
}

}  // namespace
}  // namespace revurov
