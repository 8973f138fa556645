// A table cursor keeps its bit-array and main-index token indices equal to
// its records through every write path: checked against SQLite FTS5 fed
// the same documents (unicode61 tokenizer without diacritic removal; our
// table splits on punctuation, separators and symbols and lower-cases),
// token by token, field by field, segment by segment.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "dictionary/token_key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/engines/fulltext_token_indices.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"
#include "support/token_index_reader.h"

namespace revurov::testing {
namespace {

constexpr int32_t kID = 0, kTitle = 1, kBody = 2;
constexpr int32_t kTitleUnits = 60, kBodyUnits = 200, kMaxToken = 20;
constexpr uint32_t kSegment = 524288;

using TTokenSets = std::map<std::pair<std::u16string, int16_t>, std::set<uint32_t>>;

struct TDoc {
  uint32_t ID = 0;
  std::u16string Title, Body;
};

// Words of ASCII, Latin-1, Cyrillic and CJK letters, in lower case, upper
// case and capitalised, joined by punctuation, spaces and symbols.
class TCorpus {
public:
  explicit TCorpus(uint32_t aSeed) : rng_(aSeed) {
    const std::u16string latin1 = u"\u00E4\u00F6\u00FC\u00E9\u00E8\u00E0\u00E7\u00F1";
    const std::u16string cyrillic = u"\u0430\u0431\u0432\u0433\u0434\u0435\u0436\u0437\u0438\u043A\u043B\u043C\u043D"
                                    u"\u043E\u043F\u0440\u0441\u0442\u0443\u0444\u0445";
    const std::u16string cjk = u"\u65E5\u672C\u8A9E\u4E2D\u6587\u5B57";
    for (int i = 0; i < 150; ++i) {
      std::u16string word;
      const int length = 2 + int(rng_() % 10);
      const int kind = i % 10;
      for (int j = 0; j < length; ++j) {
        if (kind < 6 || (kind == 6 && j % 2 == 0))
          word += char16_t(u'a' + rng_() % 26);
        else if (kind == 6)
          word += latin1[rng_() % latin1.size()];
        else if (kind < 9)
          word += cyrillic[rng_() % cyrillic.size()];
        else
          word += cjk[rng_() % cjk.size()];
      }
      if (kind == 5) word += char16_t(u'0' + rng_() % 10);
      words_.push_back(word);
    }
  }

  TDoc Next(uint32_t aID) { return {aID, Text(kTitleUnits), Text(kBodyUnits)}; }
  std::u16string Text(size_t aUnits) {
    static const char16_t* const kJoins[] = {u" ", u", ", u". ", u" - ", u" (", u") ", u"! ", u"? ", u" / ",
                                             u" + ", u" $", u" \u00AB", u"\u00BB ", u" \u2014 ", u"_", u"\u3000"};
    std::u16string text;
    const size_t words = 1 + rng_() % 30;
    for (size_t i = 0; i < words; ++i) {
      std::u16string word = Variant(words_[rng_() % words_.size()]);
      std::u16string join = i == 0 ? u"" : kJoins[rng_() % std::size(kJoins)];
      if (text.size() + join.size() + word.size() > aUnits) break;
      text += join + word;
    }
    return text;
  }

private:
  static char16_t Upper(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) || (c >= 0x0430 && c <= 0x044F))
      return char16_t(c - 0x20);
    return c;
  }
  std::u16string Variant(std::u16string aWord) {
    switch (rng_() % 4) {
      case 0:
        for (auto& c : aWord) c = Upper(c);
        break;
      case 1:
        aWord[0] = Upper(aWord[0]);
        break;
      default:
        break;
    }
    return aWord;
  }

  std::mt19937 rng_;
  std::vector<std::u16string> words_;
};

// The same documents in an FTS5 table; rowid = location.
class TFts5 {
public:
  TFts5() {
    sqlite3_open(":memory:", &db_);
    Exec("CREATE VIRTUAL TABLE docs USING fts5(title, body, tokenize='unicode61 remove_diacritics 0')");
    Exec("CREATE VIRTUAL TABLE terms USING fts5vocab(docs, 'instance')");
  }
  ~TFts5() { sqlite3_close(db_); }
  bool Ok() const { return db_ != nullptr; }

  void Put(const TDoc& aDoc) {
    Run("INSERT INTO docs(rowid, title, body) VALUES(?, ?, ?)", aDoc.ID, &aDoc);
  }
  void Remove(uint32_t aID) { Run("DELETE FROM docs WHERE rowid = ?", aID, nullptr); }
  void Clear() { Exec("DELETE FROM docs"); }

  // (term, -1 | column) -> rowids.
  TTokenSets Terms() {
    TTokenSets out;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, "SELECT term, doc, col FROM terms", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
      const std::u16string term = platform::Utf8ToUtf16(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
      const auto doc = uint32_t(sqlite3_column_int64(s, 1));
      const std::string col = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
      out[{term, -1}].insert(doc);
      out[{term, int16_t(col == "title" ? 0 : 1)}].insert(doc);
    }
    sqlite3_finalize(s);
    return out;
  }
  std::set<uint32_t> Match(const std::u16string& aToken) {
    std::set<uint32_t> rows;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, "SELECT rowid FROM docs WHERE docs MATCH ?", -1, &s, nullptr);
    const std::string query = "\"" + platform::Utf16ToUtf8(aToken) + "\"";
    sqlite3_bind_text(s, 1, query.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW) rows.insert(uint32_t(sqlite3_column_int64(s, 0)));
    sqlite3_finalize(s);
    return rows;
  }

private:
  void Exec(const char* aSql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, aSql, nullptr, nullptr, &err) != SQLITE_OK) {
      ADD_FAILURE() << aSql << ": " << (err ? err : "");
      sqlite3_free(err);
    }
  }
  void Run(const char* aSql, uint32_t aID, const TDoc* aDoc) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, aSql, -1, &s, nullptr), SQLITE_OK);
    sqlite3_bind_int64(s, 1, aID);
    std::string title, body;
    if (aDoc) {
      title = platform::Utf16ToUtf8(aDoc->Title);
      body = platform::Utf16ToUtf8(aDoc->Body);
      sqlite3_bind_text(s, 2, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, body.c_str(), -1, SQLITE_TRANSIENT);
    }
    EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(s);
  }

  sqlite3* db_ = nullptr;
};

std::unique_ptr<TnxDataDictionary> DocsDictionary(bool aFulltext) {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtWord32, 0, 0, true);
  fields.AddField(u"Title", u"", nxtWideString, kTitleUnits, 0, false);
  fields.AddField(u"Body", u"", nxtWideString, kBodyUnits, 0, false);
  auto* indices = dict->EnsureIndicesDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(kID);
  if (!aFulltext) return dict;
  auto* tokenKey = static_cast<TnxMainIndexTokenKeyDescriptor*>(
      indices->AddIndex(u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::ClassInfo())->KeyDescriptor());
  tokenKey->SetIncludeLocation(true);
  tokenKey->SetMaxTokenSize(kMaxToken);
  auto* fulltext = static_cast<TnxFulltextDescriptor*>(
      dict->CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
  TnxFulltextIndexDescriptor* index = fulltext->AddFulltextIndex(u"");
  index->TokenExtractorHub().AddFieldTokenExtractor(kTitle, u"Title");
  index->TokenExtractorHub().AddFieldTokenExtractor(kBody, u"Body");
  static_cast<TnxCategorySeparatorTokenFilterDescriptor*>(
      index->TokenFilterHub().AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo()))
      ->SetSeparatorCategories({ccPunctuationConnector, ccPunctuationDash, ccPunctuationOpen, ccPunctuationClose,
                                ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther,
                                ccSeparatorSpace, ccSeparatorLine, ccSeparatorParagraph, ccSymbolMath,
                                ccSymbolCurrency, ccSymbolModifier, ccSymbolOther});
  index->TokenFilterHub().AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
  auto* bits = static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u"Bits"));
  bits->SetMaxTokenSize(kMaxToken);
  bits->SetPerFieldIndex(true);
  bits->SetPerLocationIndex(true);
  bits->SetSegmentIndex(true);
  bits->AddIndex(0);
  auto* main = static_cast<TnxMainIndexTokenIndexDescriptor*>(
      index->TokenIndexHub().AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::ClassInfo()));
  main->SetMainIndexNumber(indices->GetIndexFromName(u"Tokens"));
  return dict;
}

class CursorFulltextIndexTest : public TableOpsFixture {
protected:
  ~CursorFulltextIndexTest() override {
    nxSetTokenIndexWriteHook(nullptr);
    for (TnxAbstractCursor* c : {docs, staging})
      if (c) c->Free();
  }

  TnxServerTableCursor* OpenTable(const std::u16string& aName, bool aFulltext) {
    auto dict = DocsDictionary(aFulltext);
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* cursor = nullptr;
    // Batch, copy and bulk delete of the full-size corpus are single
    // operations: the deadline allows for a slow, busy machine.
    EXPECT_EQ(db->CursorOpen(cursor, aName, u"", omReadWrite, smShared, 600000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  void Open() {
    docs = OpenTable(u"Docs", true);
    ASSERT_NE(docs, nullptr);
    ASSERT_NE(docs->FulltextEngine(), nullptr);
  }

  TnxFieldsDescriptor& Fields() { return docs->TableDescriptor()->FieldsDescriptor(); }
  std::vector<uint8_t> Record(const TDoc& aDoc) {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()), 0);
    Fill(record.data(), aDoc);
    return record;
  }
  void Fill(uint8_t* aRecord, const TDoc& aDoc) {
    Fields().InitRecord(aRecord);
    Fields().SetRecordField(kID, aRecord, &aDoc.ID);
    SetWide(aRecord, kTitle, aDoc.Title);
    SetWide(aRecord, kBody, aDoc.Body);
  }
  void SetWide(uint8_t* aRecord, int32_t aField, const std::u16string& aText) {
    if (aText.empty()) return;
    std::vector<uint8_t> bytes(size_t(Fields().FieldDescriptor(aField)->Length()), 0);
    std::memcpy(bytes.data(), aText.data(), aText.size() * 2);
    Fields().SetRecordField(aField, aRecord, bytes.data());
  }
  uint32_t IDOf(const uint8_t* aRecord) {
    uint32_t id = 0;
    bool isNull = true;
    Fields().GetRecordField(kID, aRecord, isNull, &id);
    return id;
  }

  TnxFulltextTableEngine& Fulltext() { return dynamic_cast<TnxFulltextTableEngine&>(*docs->Table()->FulltextEngine()); }
  std::vector<TBitArrayEntry> Entries() {
    auto& bits = dynamic_cast<TnxBitArrayTokenIndexTableEngine&>(*Fulltext().FulltextIndex(0).fiteGetTokenIndex(0));
    return ReadBitArrays(*bits.IndexEngine(), *Fulltext().BlobEngine(), nullptr, kMaxToken);
  }
  std::multiset<std::pair<std::u16string, uint32_t>> MainKeys() {
    TnxBaseIndicesEngine& indices = *docs->Table()->IndicesEngine();
    const int32_t tokens = docs->TableDescriptor()->IndicesDescriptor()->GetIndexFromName(u"Tokens");
    std::multiset<std::pair<std::u16string, uint32_t>> out;
    for (const TMainIndexEntry& e : ReadMainIndexKeys(indices.Indices(tokens), nullptr, kMaxToken, true))
      out.insert({e.Token, e.Location});
    return out;
  }

  // Ours equals FTS5: every token's locations per field and combined, the
  // segment-level arrays, every array's count, and the main index keys.
  void ExpectSameAsFts5(TFts5& aFts) {
    const TTokenSets expected = aFts.Terms();
    const std::vector<TBitArrayEntry> entries = Entries();
    const TTokenSets ours = LocationsOf(entries);
    EXPECT_EQ(ours.size(), expected.size());
    for (const auto& [key, rows] : expected) {
      auto it = ours.find(key);
      if (it == ours.end()) {
        ADD_FAILURE() << "missing " << platform::Utf16ToUtf8(key.first) << "/" << key.second;
        continue;
      }
      EXPECT_EQ(it->second, rows) << platform::Utf16ToUtf8(key.first) << "/" << key.second;
    }
    for (const auto& [key, rows] : ours)
      if (!expected.count(key)) ADD_FAILURE() << "extra " << platform::Utf16ToUtf8(key.first) << "/" << key.second;
    for (const TBitArrayEntry& e : entries) EXPECT_EQ(e.StoredCount, e.Bits.size());
    // Segment level: the segments that hold each token.
    TTokenSets segments;
    for (const auto& [key, rows] : expected)
      for (uint32_t row : rows) segments[key].insert(row / kSegment);
    EXPECT_EQ(SegmentsOf(entries), segments);
    // The phrase query answers the same rows as the combined arrays.
    for (const auto& [key, rows] : ours)
      if (key.second == -1) {
        EXPECT_EQ(aFts.Match(key.first), rows) << platform::Utf16ToUtf8(key.first);
      }
    std::multiset<std::pair<std::u16string, uint32_t>> keys;
    for (const auto& [key, rows] : expected)
      if (key.second == -1)
        for (uint32_t row : rows) keys.insert({key.first, row});
    EXPECT_EQ(MainKeys(), keys);
  }

  TnxServerTableCursor* docs = nullptr;
  TnxServerTableCursor* staging = nullptr;
};

TEST_F(CursorFulltextIndexTest, EveryWritePathKeepsTheIndicesEqualToFts5) {
  ASSERT_NO_FATAL_FAILURE(Open());
  TFts5 fts;
  ASSERT_TRUE(fts.Ok());
  TCorpus corpus(20261211);
  std::mt19937 rng(7);
  const int documents = TestSize(300, 10000);
  std::set<uint32_t> used;
  const auto newID = [&] {
    for (;;) {
      // Locations in three segments.
      const uint32_t id = 1 + rng() % (3 * kSegment - 1);
      if (used.insert(id).second) return id;
    }
  };

  // Single inserts, then a batch.
  for (int i = 0; i < documents / 2; ++i) {
    const TDoc doc = corpus.Next(newID());
    auto record = Record(doc);
    ASSERT_EQ(docs->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    fts.Put(doc);
  }
  {
    const int32_t length = Fields().RecordLength();
    std::vector<uint8_t> stream(8, 0);
    const int count = documents / 4;
    platform::StoreLE<int32_t>(stream.data() + 4, count);
    for (int i = 0; i < count; ++i) {
      const TDoc doc = corpus.Next(newID());
      const size_t at = stream.size();
      stream.resize(at + 4 + size_t(length));
      platform::StoreLE<int32_t>(stream.data() + at, length);
      Fill(stream.data() + at + 4, doc);
      fts.Put(doc);
    }
    TnxStaticMemoryStream batch(stream.data(), int64_t(stream.size()));
    ASSERT_EQ(docs->RecordInsertBatch(batch), 0u) << LastMessage();
  }
  ExpectSameAsFts5(fts);

  // Text changes, location changes and deletes, in a transaction.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(docs->SetToBegin(), 0u);
  std::vector<uint8_t> record(size_t(Fields().RecordLength()), 0);
  for (int step = 0; step < 4 * documents && docs->RecordGetNext(nxltWriteLock, record.data()) == 0; ++step) {
    const uint32_t id = IDOf(record.data());
    switch (rng() % 5) {
      case 0: {
        TDoc doc = corpus.Next(id);
        Fill(record.data(), doc);
        ASSERT_EQ(docs->RecordModify(record.data(), true, nullptr), 0u) << LastMessage();
        fts.Remove(id);
        fts.Put(doc);
        break;
      }
      case 1: {
        // Only the location moves.
        TDoc doc{newID(), {}, {}};
        bool isNull = true;
        std::vector<uint8_t> text(size_t(Fields().FieldDescriptor(kBody)->Length()) + 2, 0);
        Fields().GetRecordField(kTitle, record.data(), isNull, text.data());
        doc.Title = isNull ? u"" : std::u16string(reinterpret_cast<const char16_t*>(text.data()));
        std::fill(text.begin(), text.end(), 0);
        Fields().GetRecordField(kBody, record.data(), isNull, text.data());
        doc.Body = isNull ? u"" : std::u16string(reinterpret_cast<const char16_t*>(text.data()));
        Fields().SetRecordField(kID, record.data(), &doc.ID);
        ASSERT_EQ(docs->RecordModify(record.data(), true, nullptr), 0u) << LastMessage();
        used.erase(id);
        fts.Remove(id);
        fts.Put(doc);
        break;
      }
      case 2:
        ASSERT_EQ(docs->RecordDelete(record.data(), 0), 0u) << LastMessage();
        used.erase(id);
        fts.Remove(id);
        break;
      default:
        break;
    }
  }
  ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  ExpectSameAsFts5(fts);

  // A bulk copy from a table without fulltext indices.
  staging = OpenTable(u"Staging", false);
  ASSERT_NE(staging, nullptr);
  for (int i = 0; i < documents / 4; ++i) {
    const TDoc doc = corpus.Next(newID());
    auto copy = Record(doc);
    ASSERT_EQ(staging->RecordInsert(nxltNoLock, copy.data(), nullptr), 0u) << LastMessage();
    fts.Put(doc);
  }
  ASSERT_EQ(staging->CopyRecords(docs, nxbcmNoCopy, 0), 0u) << LastMessage();
  ExpectSameAsFts5(fts);

  // A bulk delete takes every array and key.
  ASSERT_EQ(docs->DeleteRecords(), 0u) << LastMessage();
  fts.Clear();
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(MainKeys().empty());
}

// Counts the token indices' writes.
std::atomic<int> gWrites{0};
bool CountWrite(TnxTokenIndexWrite) {
  ++gWrites;
  return true;
}

TEST_F(CursorFulltextIndexTest, AModifyThatChangesNoIndexedTextWritesNoKeyOrArray) {
  ASSERT_NO_FATAL_FAILURE(Open());
  auto record = Record({5, u"Same words", u"and MORE words"});
  ASSERT_EQ(docs->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
  nxSetTokenIndexWriteHook(&CountWrite);
  gWrites = 0;
  ASSERT_EQ(docs->SetToBegin(), 0u);
  ASSERT_EQ(docs->RecordGetNext(nxltNoLock, record.data()), 0u);
  Fill(record.data(), {5, u"same, WORDS!", u"more words and"});
  ASSERT_EQ(docs->RecordModify(record.data(), true, nullptr), 0u) << LastMessage();
  EXPECT_EQ(gWrites.load(), 0);
}

// Refuses the FailAt-th key insert.
std::atomic<int> gKeyInserts{0}, gFailAt{0};
bool RefuseKeyInsert(TnxTokenIndexWrite aWrite) {
  return aWrite != TnxTokenIndexWrite::KeyInsert || ++gKeyInserts != gFailAt;
}

TEST_F(CursorFulltextIndexTest, AFailedKeyInsertLeavesRecordsAndIndicesAsBefore) {
  ASSERT_NO_FATAL_FAILURE(Open());
  TFts5 fts;
  const TDoc first{10, u"alpha beta", u"gamma"};
  auto record = Record(first);
  ASSERT_EQ(docs->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
  fts.Put(first);
  nxSetTokenIndexWriteHook(&RefuseKeyInsert);
  struct Case {
    const char* name;
    bool callerTransaction;
    int failAt;
  };
  const Case cases[] = {{"own transaction, first key", false, 1},
                        {"own transaction, a later key", false, 6},
                        {"caller's transaction", true, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gKeyInserts = 0;
    gFailAt = c.failAt;
    auto added = Record({11, u"alpha delta", u"epsilon zeta eta"});
    if (c.callerTransaction) {
      ASSERT_EQ(db->TransactionStart(false, false), 0u);
    }
    EXPECT_EQ(docs->RecordInsert(nxltNoLock, added.data(), nullptr), nxeKeyViolation);
    if (c.callerTransaction) {
      // The transaction holds token entries it cannot take back by hand.
      EXPECT_NE(db->TransactionCommit(), 0u);
      db->TransactionRollback();
    }
    gFailAt = 0;
    ExpectSameAsFts5(fts);
    uint32_t records = 0;
    ASSERT_EQ(docs->GetRecordCount(records, false), 0u);
    EXPECT_EQ(records, 1u);
  }
  // Afterwards the same insert goes through.
  auto added = Record({11, u"alpha delta", u"epsilon zeta eta"});
  ASSERT_EQ(docs->RecordInsert(nxltNoLock, added.data(), nullptr), 0u) << LastMessage();
  fts.Put({11, u"alpha delta", u"epsilon zeta eta"});
  ExpectSameAsFts5(fts);
}

// A batch writes its token arrays once, at its end: a key insert refused
// there fails the batch, and its records go with the rollback.
TEST_F(CursorFulltextIndexTest, ABatchWhoseTokenWritesFailLeavesRecordsAndIndicesAsBefore) {
  ASSERT_NO_FATAL_FAILURE(Open());
  TFts5 fts;
  const TDoc first{10, u"alpha beta", u"gamma"};
  auto record = Record(first);
  ASSERT_EQ(docs->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
  fts.Put(first);
  const std::vector<TDoc> batch = {{11, u"alpha delta", u"epsilon"}, {12, u"zeta", u"alpha eta"}};
  const int32_t length = Fields().RecordLength();
  std::vector<uint8_t> stream(8, 0);
  platform::StoreLE<int32_t>(stream.data() + 4, int32_t(batch.size()));
  for (const TDoc& doc : batch) {
    const size_t at = stream.size();
    stream.resize(at + 4 + size_t(length));
    platform::StoreLE<int32_t>(stream.data() + at, length);
    Fill(stream.data() + at + 4, doc);
  }
  nxSetTokenIndexWriteHook(&RefuseKeyInsert);
  struct Case {
    const char* name;
    bool callerTransaction;
    int failAt;
  };
  const Case cases[] = {{"own transaction, first key", false, 1},
                        {"own transaction, a later key", false, 5},
                        {"caller's transaction", true, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gKeyInserts = 0;
    gFailAt = c.failAt;
    if (c.callerTransaction) {
      ASSERT_EQ(db->TransactionStart(false, false), 0u);
    }
    TnxStaticMemoryStream in(stream.data(), int64_t(stream.size()));
    EXPECT_EQ(docs->RecordInsertBatch(in), nxeKeyViolation);
    if (c.callerTransaction) {
      EXPECT_NE(db->TransactionCommit(), 0u);
      db->TransactionRollback();
    }
    gFailAt = 0;
    ExpectSameAsFts5(fts);
    uint32_t records = 0;
    ASSERT_EQ(docs->GetRecordCount(records, false), 0u);
    EXPECT_EQ(records, 1u);
  }
  // The same batch goes through afterwards, also inside a transaction
  // rolled back and then committed.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  {
    TnxStaticMemoryStream in(stream.data(), int64_t(stream.size()));
    ASSERT_EQ(docs->RecordInsertBatch(in), 0u) << LastMessage();
  }
  ASSERT_EQ(db->TransactionRollback(), 0u);
  ExpectSameAsFts5(fts);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  {
    TnxStaticMemoryStream in(stream.data(), int64_t(stream.size()));
    ASSERT_EQ(docs->RecordInsertBatch(in), 0u) << LastMessage();
  }
  ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  for (const TDoc& doc : batch) fts.Put(doc);
  ExpectSameAsFts5(fts);
}

}  // namespace
}  // namespace revurov::testing
