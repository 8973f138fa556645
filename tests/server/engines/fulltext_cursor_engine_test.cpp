// The cursor half of fulltext maintenance: the tree a table cursor builds
// from the table half, the token streams its extractors and filters make
// from the old and the new record, and the update helpers' life.
#include <gtest/gtest.h>

#include <unicode/uchar.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/engines/fulltext_cursor_engine.h"
#include "server/engines/fulltext_extractors.h"
#include "server/engines/fulltext_filters.h"
#include "server/engines/fulltext_token_index_base.h"
#include "server/engines/fulltext_token_indices.h"
#include "support/fulltext_table.h"
#include "support/fulltext_token_probe.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

using Lines = std::vector<std::string>;

// Field numbers after ID (0) and Text (1, WideString of 40).
constexpr int32_t kShort = 2, kNull = 3, kNumber = 4, kShortCp = 5, kNullCp = 6;

void AddFields(TnxFieldsDescriptor& aFields) {
  aFields.AddField(u"Short", u"", nxtShortString, 20, 0, false);
  aFields.AddField(u"Null", u"", nxtNullString, 20, 0, false);
  aFields.AddField(u"Number", u"", nxtInt32, 0, 0, false);
  aFields.AddField(u"ShortCp", u"", nxtShortString, 20, 0, false)
      ->AddLocaleDescriptor()
      ->SetOverrideStorageCodepage(1251);
  aFields.AddField(u"NullCp", u"", nxtNullString, 20, 0, false)->AddLocaleDescriptor()->SetOverrideStorageCodepage(1251);
}

// A source of given tokens, for filters on their own.
class TVectorSource : public TnxBaseTokenSourceCursorEngine {
public:
  TVectorSource() : TnxBaseTokenSourceCursorEngine(nullptr) {}
  void Reset() override { pos = 0; }
  InxTokenRef NextToken() override { return pos < tokens.size() ? tokens[pos++] : nullptr; }
  std::vector<InxTokenRef> tokens;
  size_t pos = 0;
};

using IndexShape = std::function<void(TnxFulltextIndexDescriptor&)>;

class FulltextCursorTest : public ::testing::Test {
public:

  // One fulltext index: the extractors and filters aIndex adds, then the
  // probe token index.
  void Build(const IndexShape& aIndex) {
    TFulltextShape shape;
    shape.Fields = &AddFields;
    shape.Configure = [aIndex](TnxFulltextDescriptor& aFulltext) {
      TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"");
      aIndex(*index);
      index->TokenIndexHub().AddTokenIndex(u"P", &TnxProbeTokenIndexDescriptor::ClassInfo());
    };
    table = std::make_unique<TFulltextTable>(shape);
  }
  TnxFulltextCursorEngine& Open() {
    engine = TnxBaseFulltextCursorEngine::CreateFor(table->Engine(), nullptr);
    return dynamic_cast<TnxFulltextCursorEngine&>(*engine);
  }

  TnxFieldsDescriptor& Fields() { return table->Table().Dict().FieldsDescriptor(); }
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 4, 0);
    Fields().InitRecord(record.data());
    return record;
  }
  void SetWide(std::vector<uint8_t>& aRecord, int32_t aField, const std::u16string& aText) {
    std::vector<uint8_t> bytes(size_t(Fields().FieldDescriptor(aField)->Length()), 0);
    std::memcpy(bytes.data(), aText.data(), std::min(bytes.size() - 2, aText.size() * 2));
    Fields().SetRecordField(aField, aRecord.data(), bytes.data());
  }
  void SetShort(std::vector<uint8_t>& aRecord, int32_t aField, const std::string& aBytes) {
    std::vector<uint8_t> bytes(size_t(Fields().FieldDescriptor(aField)->Length()), 0);
    bytes[0] = uint8_t(aBytes.size());
    std::memcpy(bytes.data() + 1, aBytes.data(), aBytes.size());
    Fields().SetRecordField(aField, aRecord.data(), bytes.data());
  }
  void SetNullString(std::vector<uint8_t>& aRecord, int32_t aField, const std::string& aBytes) {
    std::vector<uint8_t> bytes(size_t(Fields().FieldDescriptor(aField)->Length()), 0);
    std::memcpy(bytes.data(), aBytes.data(), aBytes.size());
    Fields().SetRecordField(aField, aRecord.data(), bytes.data());
  }
  // The new side's stream of an insert.
  Lines Insert(const std::vector<uint8_t>& aRecord) {
    EXPECT_EQ(engine->UpdateIndex(table->Trans(), nullptr, 0, aRecord.data(), 1), 0u) << LastMessage();
    return ProbeLog().New;
  }

  TnxBaseTokenFilterTableEngine& TableFilter(int32_t aInx) {
    return *table->Fulltext().FulltextIndex(0).fiteGetTokenFilter(aInx);
  }

  static std::string LastMessage() {
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    return platform::Utf16ToUtf8(message);
  }

  TFulltextTokenProbe probe;
  std::unique_ptr<TFulltextTable> table;
  std::unique_ptr<TnxBaseFulltextCursorEngine> engine;
};

IndexShape TextExtractor(const IndexShape& aFilters = {}) {
  return [aFilters](TnxFulltextIndexDescriptor& aIndex) {
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
    if (aFilters) aFilters(aIndex);
  };
}

// ---- the tree ----

TEST_F(FulltextCursorTest, BuildsOneCursorEngineForEveryTableEngine) {
  Build([](TnxFulltextIndexDescriptor& aIndex) {
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(kShort, u"Short");
    aIndex.TokenFilterHub().AddTokenFilter(u"Split");
    aIndex.TokenFilterHub().AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  });
  TnxFulltextCursorEngine& ftce = Open();
  ASSERT_EQ(ftce.FulltextIndexCount(), 1);
  TnxFulltextIndexCursorEngine& index = ftce.FulltextIndex(0);
  EXPECT_EQ(index.ficeGetTokenExtractorOld(-1), index.TokenExtractorHubOld());
  EXPECT_NE(index.TokenExtractorHubOld(), index.TokenExtractorHubNew());
  EXPECT_EQ(index.TokenExtractorHubOld()->TokenExtractorCount(), 2);
  EXPECT_EQ(index.ficeGetTokenExtractorNew(1)->ClassName(), u"TnxFieldTokenExtractorCursorEngine");
  EXPECT_EQ(index.ficeGetTokenFilterOld(0)->ClassName(), u"TnxWideCharSeparatorTokenFilterCursorEngine");
  EXPECT_EQ(index.ficeGetTokenFilterNew(1)->ClassName(), u"TnxLowercaseLocaleMappingTokenFilterCursorEngine");
  // The chains read old from old and new from new.
  EXPECT_EQ(&index.ficeGetTokenFilterOld(0)->TokenSource(), index.TokenExtractorHubOld());
  EXPECT_EQ(&index.ficeGetTokenFilterNew(1)->TokenSource(), index.ficeGetTokenFilterNew(0));
  EXPECT_EQ(&index.TokenIndexHub()->TokenSourceOld(), index.TokenFilterHubOld());
  EXPECT_EQ(&index.TokenIndexHub()->TokenSourceNew(), index.TokenFilterHubNew());
  EXPECT_EQ(index.ficeGetTokenIndex(0)->ClassName(), u"TnxProbeTokenIndexCursorEngine");
}

TEST_F(FulltextCursorTest, ATableEngineWithoutACursorClassFailsTheOpen) {
  // Without the cursor class of the default shape's bit-array token index
  // the open names the missing class.
  table = std::make_unique<TFulltextTable>();
  // Taken out of the registry for the test, so the lookup misses.
  struct TUnregistered {
    TUnregistered() { TnxBitArrayTokenIndexCursorEngine::ClassInfo().Unregister(); }
    ~TUnregistered() { TnxBitArrayTokenIndexCursorEngine::ClassInfo().Register(); }
  } unregistered;
  try {
    Open();
    FAIL() << "opened";
  } catch (const EnxBaseTokenIndexCursorEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeSubEngineNotSupported);
    EXPECT_NE(platform::Utf16ToUtf8(e.Message()).find("TnxBitArrayTokenIndexCursorEngine"), std::string::npos)
        << platform::Utf16ToUtf8(e.Message());
  }
  EXPECT_EQ(TnxBaseFulltextCursorEngine::CreateFor(nullptr, nullptr), nullptr);
}

TEST_F(FulltextCursorTest, ATokenIndexWithoutAnUpdateOfItsOwnAnswers12289) {
  Build(TextExtractor());
  TnxFulltextCursorEngine& ftce = Open();
  TnxBaseTokenIndexCursorEngine* probeIndex = ftce.FulltextIndex(0).ficeGetTokenIndex(0);
  TnxRecID none{};
  EXPECT_EQ(probeIndex->TnxBaseTokenIndexCursorEngine::bticeUpdateIndex(table->Trans(), nullptr, none, nullptr, none),
            nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "bticeUpdateIndex is not supported by TnxProbeTokenIndexCursorEngine");
}

// ---- extractors ----

TEST_F(FulltextCursorTest, EachFieldTypeGivesItsValueAsOneToken) {
  Build([](TnxFulltextIndexDescriptor& aIndex) {
    auto& hub = aIndex.TokenExtractorHub();
    hub.AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
    hub.AddFieldTokenExtractor(kShort, u"Short");
    hub.AddFieldTokenExtractor(kNull, u"Null");
    hub.AddFieldTokenExtractor(kNumber, u"Number");
    hub.AddFieldTokenExtractor(kShortCp, u"ShortCp");
    hub.AddFieldTokenExtractor(kNullCp, u"NullCp");
  });
  Open();
  struct Case {
    const char* name;
    std::function<void(FulltextCursorTest&, std::vector<uint8_t>&)> set;
    Lines want;
  } cases[] = {
      {"wide text", [](auto& t, auto& r) { t.SetWide(r, TFulltextTable::kTextField, u"Gr\u00FC\u00DFe \U0001F600"); },
       {"Grüße 😀|0|0"}},
      // The extractor's place in the hub is the field number.
      {"short string widened", [](auto& t, auto& r) { t.SetShort(r, kShort, "\xC0" "b"); }, {"\u00C0b|0|1"}},
      {"null string widened", [](auto& t, auto& r) { t.SetNullString(r, kNull, "x\xE9"); }, {"x\u00E9|0|2"}},
      {"short string in code page 1251", [](auto& t, auto& r) { t.SetShort(r, kShortCp, "\xC0\xE1"); },
       {"\u0410\u0431|0|4"}},
      {"null string in code page 1251", [](auto& t, auto& r) { t.SetNullString(r, kNullCp, "\xCF"); },
       {"\u041F|0|5"}},
      {"an integer field has no routine", [](auto& t, auto& r) {
         const int32_t v = 7;
         t.Fields().SetRecordField(kNumber, r.data(), &v);
       }, {}},
      {"empty values give nothing", [](auto& t, auto& r) {
         t.SetWide(r, TFulltextTable::kTextField, u"");
         t.SetShort(r, kShort, "");
         t.SetNullString(r, kNull, "");
         t.SetShort(r, kShortCp, "");
       }, {}},
      {"null fields give nothing", [](auto&, auto&) {}, {}},
      {"a length byte past the field is cut at it", [](auto& t, auto& r) {
         std::vector<uint8_t> bytes(size_t(t.Fields().FieldDescriptor(kShort)->Length()), 'z');
         bytes[0] = 255;
         t.Fields().SetRecordField(kShort, r.data(), bytes.data());
       }, {std::string(size_t(20), 'z') + "|0|1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> record = NewRecord();
    c.set(*this, record);
    EXPECT_EQ(Insert(record), c.want);
  }
}

TEST_F(FulltextCursorTest, ModifyReadsTheOldAndTheNewRecordSideBySide) {
  Build(TextExtractor([](TnxFulltextIndexDescriptor& aIndex) { aIndex.TokenFilterHub().AddTokenFilter(u"Split"); }));
  Open();
  std::vector<uint8_t> before = NewRecord(), after = NewRecord();
  SetWide(before, TFulltextTable::kTextField, u"old words");
  SetWide(after, TFulltextTable::kTextField, u"new");
  ASSERT_EQ(engine->UpdateIndex(table->Trans(), before.data(), 1, after.data(), 1), 0u);
  EXPECT_EQ(ProbeLog().Old, (Lines{"old|0|0", "words|1|0"}));
  EXPECT_EQ(ProbeLog().New, (Lines{"new|0|0"}));
  ASSERT_EQ(engine->UpdateIndex(table->Trans(), after.data(), 1, nullptr, 0), 0u);
  EXPECT_EQ(ProbeLog().Old, (Lines{"new|0|0"}));
  EXPECT_EQ(ProbeLog().New, Lines{});
}

TEST_F(FulltextCursorTest, AnExtractorWithFiltersOfItsOwnFiltersOnlyItsTokens) {
  Build([](TnxFulltextIndexDescriptor& aIndex) {
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text")->AddTokenFilter(u"Split");
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(kNull, u"Null");
  });
  Open();
  std::vector<uint8_t> record = NewRecord();
  SetWide(record, TFulltextTable::kTextField, u"a b");
  SetNullString(record, kNull, "c d");
  EXPECT_EQ(Insert(record), (Lines{"a|0|0", "b|1|0", "c d|0|1"}));
}

TEST_F(FulltextCursorTest, AnUnknownCodePageFailsAtCursorOpen) {
  Build([](TnxFulltextIndexDescriptor& aIndex) {
    aIndex.TokenExtractorHub().AddFieldTokenExtractor(kShortCp, u"ShortCp");
  });
  Fields().FieldDescriptor(kShortCp)->LocaleDescriptor()->SetOverrideStorageCodepage(4711);
  try {
    Open();
    FAIL() << "opened";
  } catch (const EnxFieldTokenExtractorCursorEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidLanguageDriver);
    EXPECT_NE(platform::Utf16ToUtf8(e.Message()).find("Invalid codepage: 4711"), std::string::npos)
        << platform::Utf16ToUtf8(e.Message());
  }
}

// ---- update helpers ----

TEST_F(FulltextCursorTest, UpdateHelpersAreReplacedRemovedAndFound) {
  Build(TextExtractor());
  TnxFulltextCursorEngine& ftce = Open();
  EXPECT_EQ(ftce.ftceGetTempUpdateHelper(u"A"), nullptr);
  ftce.ftceSetTempUpdateHelper(u"A", nullptr);
  EXPECT_FALSE(ftce.HasUpdateHelpers());
  ftce.ftceSetTempUpdateHelper(u"A", std::make_unique<TProbeHelper>());
  TnxObject* first = ftce.ftceGetTempUpdateHelper(u"a");
  ASSERT_NE(first, nullptr);
  ftce.ftceSetTempUpdateHelper(u"A", std::make_unique<TProbeHelper>());
  EXPECT_NE(ftce.ftceGetTempUpdateHelper(u"A"), nullptr);
  EXPECT_EQ(TProbeHelper::Live().load(), 1);
  ftce.ftceSetTempUpdateHelper(u"A", nullptr);
  EXPECT_EQ(TProbeHelper::Live().load(), 0);
  EXPECT_EQ(ftce.ftceGetTempUpdateHelper(u"A"), nullptr);
  ftce.ftceSetTempUpdateHelper(u"B", std::make_unique<TProbeHelper>());
  std::vector<uint8_t> record = NewRecord();
  // Whatever an update leaves is freed at its end.
  ASSERT_EQ(engine->UpdateIndex(table->Trans(), nullptr, 0, record.data(), 1), 0u);
  EXPECT_EQ(TProbeHelper::Live().load(), 0);
  EXPECT_FALSE(ftce.HasUpdateHelpers());
}

TEST_F(FulltextCursorTest, ARaisingTokenIndexLeavesNoHelperBehind) {
  Build(TextExtractor());
  TnxFulltextCursorEngine& ftce = Open();
  std::vector<uint8_t> record = NewRecord();
  SetWide(record, TFulltextTable::kTextField, u"x");
  ProbeLog().Fail = true;
  EXPECT_THROW(engine->UpdateIndex(table->Trans(), nullptr, 0, record.data(), 1),
               EnxBaseTokenIndexCursorEngineException);
  EXPECT_EQ(TProbeHelper::Live().load(), 0);
  EXPECT_FALSE(ftce.HasUpdateHelpers());
  // The next update runs as usual.
  EXPECT_EQ(Insert(record), (Lines{"x|0|0"}));
}

// ---- filters on given tokens ----

class FulltextFilterTest : public FulltextCursorTest {
protected:
  // A table whose index-level filter 0 is the one aFilter adds.
  std::unique_ptr<TnxBaseTokenFilterCursorEngine> Filter(
      const std::function<void(TnxTokenFilterHubDescriptor&)>& aFilter) {
    Build(TextExtractor([aFilter](TnxFulltextIndexDescriptor& aIndex) { aFilter(aIndex.TokenFilterHub()); }));
    source.tokens.clear();
    source.pos = 0;
    return TnxBaseTokenFilterCursorEngine::CreateFor(nullptr, TableFilter(0), source);
  }
  Lines Run(TnxBaseTokenFilterCursorEngine& aFilter, std::vector<InxTokenRef> aTokens) {
    source.tokens = std::move(aTokens);
    return ReadStream(aFilter);
  }
  static InxTokenRef T(std::u16string aText, int32_t aDistance = 0, int16_t aField = 0) {
    return TnxToken::New(std::move(aText), aDistance, aField);
  }

  TVectorSource source;
};

TEST_F(FulltextFilterTest, SeparatorCutsWordsAndSetsTheirDistances) {
  struct Case {
    const char* name;
    int32_t separatorDistance;
    std::vector<std::pair<std::u16string, int32_t>> input;
    Lines want;
  } cases[] = {
      {"distance 0", 0, {{u"ab cd", 0}}, {"ab|0|3", "cd|1|3"}},
      {"distance 1", 1, {{u"ab cd", 0}}, {"ab|0|3", "cd|1|3"}},
      {"distance 5", 5, {{u"ab cd", 0}}, {"ab|0|3", "cd|5|3"}},
      {"a leading separator raises the first distance", 5, {{u"  ab", 2}}, {"ab|5|3"}},
      {"the token's own larger distance stays", 1, {{u" ab", 7}}, {"ab|7|3"}},
      {"separators only give nothing, the next token follows", 1, {{u"   ", 0}, {u"x y", 4}},
       {"x|4|3", "y|1|3"}},
      {"an empty token passes", 1, {{u"", 2}}, {"|2|3"}},
      {"trailing and repeated separators", 2, {{u"a   b ", 0}}, {"a|0|3", "b|2|3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter([&](TnxTokenFilterHubDescriptor& aHub) {
      static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(aHub.AddTokenFilter(u"S"))
          ->SetSeparatorDistance(c.separatorDistance);
    });
    std::vector<InxTokenRef> input;
    for (const auto& [text, distance] : c.input) input.push_back(T(text, distance, 3));
    EXPECT_EQ(Run(*filter, input), c.want);
    engine.reset();
    filter.reset();
    table.reset();
  }
}

TEST_F(FulltextFilterTest, ATextWithoutSeparatorPassesAsTheSameToken) {
  auto filter = Filter([](TnxTokenFilterHubDescriptor& aHub) { aHub.AddTokenFilter(u"S"); });
  InxTokenRef token = T(u"word", 3, 1);
  source.tokens = {token};
  EXPECT_EQ(filter->NextToken().Get(), token.Get());
  EXPECT_EQ(filter->NextToken(), nullptr);
}

TEST_F(FulltextFilterTest, CategorySeparatorJudgesWholeCodePoints) {
  struct Case {
    const char* name;
    TnxCharacterCategories categories;
    std::u16string text;
    Lines want;
  } cases[] = {
      // An emoji is a symbol, its surrogates are not.
      {"a symbol outside the BMP separates", {ccSymbolOther}, u"a\U0001F600b", {"a|0|0", "b|1|0"}},
      // A letter outside the BMP stays whole when surrogates separate.
      {"a pair is one letter", {ccOtherSurrogate}, u"x\U00010400y", {"x\U00010400y|0|0"}},
      {"a lone surrogate is judged as itself", {ccOtherSurrogate}, u"a\xD800" u"b", {"a|0|0", "b|1|0"}},
      {"default categories", nxDefaultSeparatorCategories, u"Hallo, Welt!\u3000\u65E5\u672C", {"Hallo|0|0",
       "Welt|1|0", "\u65E5\u672C|1|0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter([&](TnxTokenFilterHubDescriptor& aHub) {
      static_cast<TnxCategorySeparatorTokenFilterDescriptor*>(
          aHub.AddTokenFilter(u"S", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo()))
          ->SetSeparatorCategories(c.categories);
    });
    EXPECT_EQ(Run(*filter, {T(c.text)}), c.want);
    filter.reset();
    engine.reset();
    table.reset();
  }
}

TEST_F(FulltextFilterTest, CategorySeparatorJudgesEveryUnitByItsCategories) {
  // Every BMP unit between two letters, so the answers of each page, its
  // first and last unit included, are read inside a word.
  auto filter = Filter([](TnxTokenFilterHubDescriptor& aHub) {
    aHub.AddTokenFilter(u"S", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo());
  });
  int wrong = 0;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const char16_t c = char16_t(unit);
    const std::u16string text = {u'a', c, u'b'};
    source.tokens = {T(text)};
    filter->Reset();
    std::vector<std::u16string> words;
    while (InxTokenRef token = filter->NextToken()) words.push_back(token->TokenText());
    const bool separator = nxCharInCategories(c, nxDefaultSeparatorCategories);
    const std::vector<std::u16string> want =
        separator ? std::vector<std::u16string>{u"a", u"b"} : std::vector<std::u16string>{text};
    if (words != want && ++wrong <= 5) ADD_FAILURE() << "unit " << unit;
  }
  EXPECT_EQ(wrong, 0);
}

// General categories as ICU sees them, for an independent judge.
bool IcuSeparator(char32_t aCodePoint) {
  switch (u_charType(static_cast<UChar32>(aCodePoint))) {
    case U_SPACE_SEPARATOR:
    case U_OTHER_PUNCTUATION:
    case U_OTHER_SYMBOL:
    case U_NON_SPACING_MARK:
      return true;
    default:
      return false;
  }
}

TEST_F(FulltextFilterTest, RandomTextsComeBackWholeAndNoPairIsSplit) {
  auto filter = Filter([](TnxTokenFilterHubDescriptor& aHub) {
    static_cast<TnxCategorySeparatorTokenFilterDescriptor*>(
        aHub.AddTokenFilter(u"S", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo()))
        ->SetSeparatorCategories({ccSeparatorSpace, ccPunctuationOther, ccSymbolOther, ccMarkNonSpacing});
  });
  // Letters, digits, spaces, punctuation, combining marks, CJK, letters and
  // symbols outside the BMP, and lone surrogates.
  const std::u32string pieces[] = {U"a", U"Z", U"\u00E9", U"7", U" ", U"\u3000", U",", U"!", U"\u0301",
                                   U"\u65E5", U"\U00010400", U"\U0001D49C", U"\U0001F600", U"\U0001F680",
                                   U"\u20AC", U"-", U"\u2028", U"\uFEFF"};
  std::mt19937 random(106);
  const int count = TestSize(20000, 100000);
  for (int n = 0; n < count; ++n) {
    std::u16string text;
    const int length = int(random() % 12);
    for (int i = 0; i < length; ++i) {
      if (random() % 23 == 0) {
        text += char16_t(0xD800 + random() % 0x800);  // a lone surrogate, either half
        continue;
      }
      for (char32_t cp : pieces[random() % std::size(pieces)]) {
        if (cp > 0xFFFF) {
          text += char16_t(0xD800 + ((cp - 0x10000) >> 10));
          text += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
          text += char16_t(cp);
        }
      }
    }
    source.tokens = {T(text)};
    filter->Reset();
    if (text.empty()) {
      // The empty token passes as it is.
      ASSERT_EQ(ReadStream(*filter), (Lines{"|0|0"}));
      continue;
    }
    // Walk the text: every token is the next run of non-separators, every
    // gap is separators only, judged per code point.
    size_t pos = 0;
    auto codePointAt = [&](size_t p, size_t& units) -> char32_t {
      const char16_t c = text[p];
      if (c >= 0xD800 && c <= 0xDBFF && p + 1 < text.size() && text[p + 1] >= 0xDC00 && text[p + 1] <= 0xDFFF) {
        units = 2;
        return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[p + 1]) - 0xDC00);
      }
      units = 1;
      return c;
    };
    bool ok = true;
    while (InxTokenRef token = filter->NextToken()) {
      size_t units = 1;
      while (pos < text.size() && IcuSeparator(codePointAt(pos, units))) pos += units;
      const std::u16string& word = token->TokenText();
      if (text.compare(pos, word.size(), word) != 0 || word.empty()) {
        ok = false;
        break;
      }
      for (size_t p = pos; p < pos + word.size(); p += units)
        if (IcuSeparator(codePointAt(p, units)) || p + units > pos + word.size()) ok = false;
      pos += word.size();
      // The word ends at a separator or the end, never inside a pair.
      if (pos < text.size() && !IcuSeparator(codePointAt(pos, units))) ok = false;
    }
    size_t units = 1;
    while (pos < text.size() && IcuSeparator(codePointAt(pos, units))) pos += units;
    if (pos != text.size()) ok = false;
    if (!ok) {
      std::string hex;
      for (char16_t c : text) hex += std::to_string(unsigned(c)) + " ";
      FAIL() << "text " << n << ": " << hex;
    }
  }
}

TEST_F(FulltextFilterTest, LocaleMappingMapsByTheFiltersLocale) {
  // Case mapping keeps the length, as the platform's does ("ß" stays);
  // LCMAP_LINGUISTIC_CASING brings the dotted and dotless i of Turkish.
  constexpr uint32_t kLinguisticLower = 0x100 | 0x01000000, kLinguisticUpper = 0x200 | 0x01000000;
  struct Case {
    const char* name;
    const TnxFulltextItemClass* kind;
    uint32_t flags;
    uint32_t locale;
    std::u16string text;
    std::u16string want;
  } cases[] = {
      {"lower 1031", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo(), 0, 1031, u"\u00C4RGER I\u0130",
       u"\u00E4rger ii"},
      {"upper 1031", &TnxUppercaseLocaleMappingTokenFilterDescriptor::ClassInfo(), 0, 1031, u"stra\u00DFe i\u0131",
       u"STRA\u00DFE II"},
      {"lower 1055 linguistic", &TnxCustomLocaleMappingTokenFilterDescriptor::ClassInfo(), kLinguisticLower, 1055,
       u"I\u0130", u"\u0131i"},
      {"upper 1055 linguistic", &TnxCustomLocaleMappingTokenFilterDescriptor::ClassInfo(), kLinguisticUpper, 1055,
       u"i\u0131", u"\u0130I"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter([&](TnxTokenFilterHubDescriptor& aHub) {
      TnxBaseTokenFilterDescriptor* d = aHub.AddTokenFilter(u"M", c.kind);
      d->AddLocaleDescriptor()->SetLocale(c.locale);
      if (auto* custom = dynamic_cast<TnxCustomLocaleMappingTokenFilterDescriptor*>(d)) custom->SetFlags(c.flags);
    });
    EXPECT_EQ(Run(*filter, {T(c.text, 2, 1)}), (Lines{platform::Utf16ToUtf8(c.want) + "|2|1"}));
    filter.reset();
    engine.reset();
    table.reset();
  }
}

TEST_F(FulltextFilterTest, LocaleMappingOfAStreamPassesUnchangedTokensOn) {
  // Long and short, changed and unchanged in turn: no text keeps a trace
  // of the one before it.
  auto filter = Filter([](TnxTokenFilterHubDescriptor& aHub) {
    aHub.AddTokenFilter(u"M", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo())
        ->AddLocaleDescriptor()
        ->SetLocale(1031);
  });
  const std::vector<InxTokenRef> input = {T(u"DATENBANKSICHERHEIT", 0, 1), T(u"ab", 1, 1), T(u"X", 2, 2),
                                          T(u"stra\u00DFe", 1, 2), T(u"", 3, 2), T(u"\U00010400Q", 1, 3),
                                          T(u"lange w\u00F6rter bleiben", 1, 3)};
  source.tokens = input;
  std::vector<std::pair<std::u16string, const InxToken*>> got;
  while (InxTokenRef token = filter->NextToken()) got.emplace_back(token->TokenText(), token.Get());
  const std::vector<std::u16string> want = {u"datenbanksicherheit", u"ab", u"x", u"stra\u00DFe", u"",
                                            u"\U00010428q", u"lange w\u00F6rter bleiben"};
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i]) << i;
    // An unchanged text goes on as the same token.
    EXPECT_EQ(got[i].second == input[i].Get(), want[i] == input[i]->TokenText()) << i;
  }
}

TEST_F(FulltextFilterTest, FoldStringComposesAndDecomposes) {
  struct Case {
    const char* name;
    const TnxFulltextItemClass* kind;
    std::u16string text;
    std::u16string want;
  } cases[] = {
      {"precompose", &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo(), u"Cafe\u0301", u"Caf\u00E9"},
      {"decompose", &TnxDecomposeFoldStringTokenFilterDescriptor::ClassInfo(), u"Caf\u00E9", u"Cafe\u0301"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter([&](TnxTokenFilterHubDescriptor& aHub) { aHub.AddTokenFilter(u"F", c.kind); });
    EXPECT_EQ(Run(*filter, {T(c.text)}), (Lines{platform::Utf16ToUtf8(c.want) + "|0|0"}));
    // A text the mapping leaves alone goes on as the same token.
    InxTokenRef same = T(c.want);
    source.tokens = {same};
    source.pos = 0;
    EXPECT_EQ(filter->NextToken().Get(), same.Get());
    filter.reset();
    engine.reset();
    table.reset();
  }
}

TEST_F(FulltextFilterTest, StringReplaceKindsWithAndWithoutCase) {
  struct Item {
    std::u16string oldPattern, newPattern;
    TnxStringReplaceKind kind;
    bool ignoreCase;
  };
  struct Case {
    const char* name;
    std::vector<Item> items;
    std::u16string text;
    std::u16string want;
  } cases[] = {
      {"whole, exact", {{u"foo", u"bar", srkWhole, false}}, u"foo", u"bar"},
      {"whole, exact, other case", {{u"foo", u"bar", srkWhole, false}}, u"Foo", u"Foo"},
      {"whole to empty", {{u"the", u"", srkWhole, true}}, u"THE", u""},
      {"whole folds ASCII only", {{u"\u00E4b", u"", srkWhole, true}}, u"\u00C4B", u"\u00C4B"},
      {"whole, a part is not the whole", {{u"ab", u"x", srkWhole, false}}, u"abc", u"abc"},
      {"one", {{u"X", u"-", srkOne, false}}, u"aXbXc", u"a-bXc"},
      {"all", {{u"X", u"-", srkAll, false}}, u"aXbXc", u"a-b-c"},
      {"all, without overlap", {{u"aa", u"b", srkAll, false}}, u"aaaaa", u"bba"},
      {"all, ignoring case", {{u"x", u"-", srkAll, true}}, u"aXbxc", u"a-b-c"},
      {"all, exact keeps other case", {{u"x", u"-", srkAll, false}}, u"aXbxc", u"aXb-c"},
      // Upper-casing unit by unit keeps "ß" one unit long, so the place found
      // is the place replaced.
      {"positions after a sharp s", {{u"ab", u"Z", srkAll, true}}, u"\u00DFx Ab", u"\u00DFx Z"},
      {"non-ASCII letters ignore case", {{u"\u00E4", u"ae", srkAll, true}}, u"\u00C4rger", u"aerger"},
      {"a pattern without case", {{u"-", u"+", srkAll, true}}, u"1-2-3", u"1+2+3"},
      {"an empty pattern replaces nothing", {{u"", u"x", srkAll, false}, {u"", u"x", srkOne, true}}, u"abc", u"abc"},
      {"items in order", {{u"a", u"b", srkAll, false}, {u"b", u"c", srkAll, false}}, u"ab", u"cc"},
      {"an empty text stays empty", {{u"a", u"b", srkAll, false}}, u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter([&](TnxTokenFilterHubDescriptor& aHub) {
      auto* d = static_cast<TnxStringReplaceTokenFilterDescriptor*>(
          aHub.AddTokenFilter(u"R", &TnxStringReplaceTokenFilterDescriptor::ClassInfo()));
      for (const Item& item : c.items) d->AddItem(item.oldPattern, item.newPattern, item.kind, item.ignoreCase);
    });
    InxTokenRef token = T(c.text, 4, 2);
    source.tokens = {token};
    InxTokenRef got = filter->NextToken();
    ASSERT_TRUE(got);
    EXPECT_EQ(platform::Utf16ToUtf8(got->TokenText()), platform::Utf16ToUtf8(c.want));
    EXPECT_EQ(got->TokenDistance(), 4);
    EXPECT_EQ(got->TokenField(), 2);
    // An unchanged text goes on as the same token.
    EXPECT_EQ(got.Get() == token.Get(), c.text == c.want);
    filter.reset();
    engine.reset();
    table.reset();
  }
}

}  // namespace
}  // namespace revurov::testing
