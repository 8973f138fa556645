// BLOB mappers on real server cursors: tables with BLOB and text fields on
// a running engine, BLOBs written and read back through the cursors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "fieldmap/blob_mappers.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/record_mapper_engine.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "storage/deadline.h"
#include "support/string_stream.h"
#include "support/table_ops_fixture.h"

namespace revurov {
namespace {

using testing::LastMessage;
using testing::TStringStream;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNothing = 1;

struct Col {
  std::u16string Name;
  TnxFieldType Type;
  int32_t Units = 0;
  uint16_t CodePage = 0;
  int32_t DecPl = 0;
};

// Fails the k-th BLOB write it is asked for and remembers the BLOBs it made.
class FailingWriteCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(FailingWriteCursor, TnxServerTableCursor)
  FailingWriteCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable)
      : TnxServerTableCursor(aDatabase, aTable, 10000u, omReadWrite, smShared, u"", -1, false, false) {}

  uint32_t sbcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) override {
    const uint32_t result = TnxServerTableCursor::sbcBlobCreate(aRecID, aFieldNo, aBlobNr);
    if (result == 0) created.insert(aBlobNr);
    return result;
  }
  uint32_t sbcBlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        const void* aBlob) override {
    if (++writes == failWrite) return EnxBaseException::nxSetMessage(nxeWriteFailure, u"the disk is full");
    return TnxServerTableCursor::sbcBlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  }

  int failWrite = 0;
  int writes = 0;
  std::set<TnxBlobNr> created;

protected:
  ~FailingWriteCursor() override = default;
};

class BlobMappers : public testing::TableOpsFixture {
protected:
  ~BlobMappers() override {
    while (InTransaction()) Context().stcTransactionRollback();
    for (TnxAbstractCursor* cursor : cursors) cursor->Free();
  }

  TnxServerTableCursor* Table(std::u16string_view aName, const std::vector<Col>& aCols) {
    auto dict = std::make_unique<TnxDataDictionary>();
    for (const Col& c : aCols) {
      TnxFieldDescriptor* field = dict->FieldsDescriptor().AddField(c.Name, u"", c.Type, c.Units, c.DecPl, false);
      if (c.CodePage != 0) field->AddLocaleDescriptor()->SetOverrideStorageCodepage(c.CodePage);
    }
    dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict->AddBlobDescriptor()->SetFileNumber(1);
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* cursor = nullptr;
    // The 100 MiB memo takes long under a sanitizer on a busy machine.
    EXPECT_EQ(db->CursorOpen(cursor, aName, u"", omReadWrite, smShared, 600000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    cursors.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  FailingWriteCursor* Failing(TnxServerTableCursor* aOn) {
    auto cursor = nxCreateServerObject<FailingWriteCursor>(db, aOn->Table());
    cursors.push_back(cursor.get());
    return cursor.release();
  }

  TnxServerTransContext& Context() { return *static_cast<TnxServerTransContext*>(db->TransContext()); }
  bool InTransaction() { return db && db->TransContext() && Context().stcTransaction() != nullptr; }
  void Begin() { ASSERT_EQ(Context().stcTransactionStart(false, false, false, false, false, false), 0u); }
  void Commit() { ASSERT_EQ(Context().stcTransactionCommit(), 0u) << LastMessage(); }

  static TnxFieldDescriptor& Field(TnxAbstractCursor* aCursor, std::u16string_view aName) {
    TnxFieldsDescriptor& fields = aCursor->TableDescriptor()->FieldsDescriptor();
    return *fields.FieldDescriptor(fields.GetFieldFromName(aName));
  }

  TnxBlobNr PutBlob(TnxSqlAbstractCursor* aCursor, std::u16string_view aField, const std::string& aBytes) {
    const int32_t field = Field(aCursor, aField).Number();
    TnxBlobNr nr = 0;
    EXPECT_EQ(aCursor->sbcBlobCreate(nxNullRecID, field, nr), 0u) << LastMessage();
    for (size_t at = 0; at < aBytes.size(); at += nxBlobMapperChunkSize) {
      const size_t n = std::min<size_t>(nxBlobMapperChunkSize, aBytes.size() - at);
      EXPECT_EQ(aCursor->sbcBlobWrite(nxNullRecID, field, nr, uint32_t(at), uint32_t(n), aBytes.data() + at), 0u)
          << LastMessage();
    }
    return nr;
  }
  // The BLOB's bytes, "!code" when it cannot be read.
  static std::string GetBlob(TnxSqlAbstractCursor* aCursor, std::u16string_view aField, TnxBlobNr aNr) {
    const int32_t field = Field(aCursor, aField).Number();
    uint32_t length = 0;
    if (const uint32_t result = aCursor->sbcBlobGetLength(nxNullRecID, field, aNr, length, false, nullptr))
      return "!" + std::to_string(result);
    TStringStream stream;
    if (const uint32_t result = aCursor->sbcBlobRead(nxNullRecID, field, aNr, 0, length, stream, false, nullptr))
      return "!" + std::to_string(result);
    return stream.Bytes;
  }

  // Runs the pair's routine once on aSource (the source field's bytes) into
  // aTarget (sized to the target field, filled with 0xEE first).
  uint32_t Map(TnxAbstractCursor* aFrom, std::u16string_view aFromField, TnxAbstractCursor* aTo,
               std::u16string_view aToField, const TnxFieldMapperDescriptor* aDesc, const std::vector<uint8_t>& aSource,
               std::vector<uint8_t>& aTarget) {
    TnxFieldDescriptor& target = Field(aTo, aToField);
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(Field(aFrom, aFromField), aFrom, target, aTo, aDesc, method);
    EXPECT_TRUE(method.Assigned());
    if (!method.Assigned()) return 0xFFFFFFFF;
    aTarget.assign(size_t(target.Length()), 0xEE);
    std::vector<uint8_t> source = aSource;
    source.resize(std::max(source.size(), size_t(Field(aFrom, aFromField).Length())), 0);
    return method(source.data(), aTarget.data());
  }

  static std::vector<uint8_t> NrBytes(TnxBlobNr aNr) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data(), &aNr, 8);
    return b;
  }
  static TnxBlobNr NrOf(const std::vector<uint8_t>& aField) {
    TnxBlobNr nr = 0;
    std::memcpy(&nr, aField.data(), 8);
    return nr;
  }
  static std::vector<uint8_t> NullString(const std::string& aText) {
    std::vector<uint8_t> b(aText.begin(), aText.end());
    b.push_back(0);
    return b;
  }
  static std::vector<uint8_t> ShortString(const std::string& aText) {
    std::vector<uint8_t> b{uint8_t(aText.size())};
    b.insert(b.end(), aText.begin(), aText.end());
    return b;
  }
  static std::vector<uint8_t> WideString(std::u16string_view aText) {
    std::vector<uint8_t> b;
    for (char16_t c : aText) {
      b.push_back(uint8_t(c & 0xFF));
      b.push_back(uint8_t(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
  }
  static std::string UnitsAsBytes(std::u16string_view aText) {
    const std::vector<uint8_t> b = WideString(aText);
    return std::string(b.begin(), b.end() - 2);
  }
  static std::string AnsiOf(const std::vector<uint8_t>& aField, bool aShort) {
    if (aShort) return std::string(aField.begin() + 1, aField.begin() + 1 + aField[0]);
    return std::string(reinterpret_cast<const char*>(aField.data()));
  }
  static std::u16string WideOf(const std::vector<uint8_t>& aField) {
    std::u16string s;
    for (size_t i = 0; i + 1 < aField.size(); i += 2) {
      const char16_t c = char16_t(aField[i] | (aField[i + 1] << 8));
      if (c == 0) break;
      s.push_back(c);
    }
    return s;
  }

  // The conversion a memo should get, done in one piece.
  static std::string Recode(const std::string& aBytes, uint32_t aFrom, uint32_t aTo) {
    return platform::UnicodeToCodePageLossy(platform::CodePageToUnicode(aBytes, aFrom), aTo);
  }

  TnxFieldMapStartupGuard fieldMap;
  std::vector<TnxAbstractCursor*> cursors;
  TnxFieldMapperDescriptor fail{u"a", u"b", dlaFail};
  TnxFieldMapperDescriptor null{u"a", u"b", dlaNull};
  TnxFieldMapperDescriptor bestFit{u"a", u"b", dlaBestFit};
};

// A text with characters of every width, long enough to cross pieces.
std::u16string MixedText(size_t aUnits) {
  const std::u16string pattern = u"Grüße aus Łódź: café, naïve, € 5 – ok. ";
  std::u16string s;
  while (s.size() < aUnits) s += pattern;
  s.resize(aUnits);
  return s;
}

// ---- BLOB to BLOB ----

TEST_F(BlobMappers, MemosAreCopiedInOneCodePageAndConvertedThroughUtf16BetweenTwo) {
  TnxServerTableCursor* from = Table(u"From", {{u"M1252", nxtBlobMemo, 0, 1252},
                                               {u"M932", nxtBlobMemo, 0, 932},
                                               {u"MNone", nxtBlobMemo}});
  TnxServerTableCursor* to = Table(u"To", {{u"M1252", nxtBlobMemo, 0, 1252},
                                           {u"M1250", nxtBlobMemo, 0, 1250},
                                           {u"M932", nxtBlobMemo, 0, 932},
                                           {u"MNone", nxtBlobMemo}});
  const std::string text1252 = platform::UnicodeToCodePageLossy(MixedText(3000), 1252);
  const std::string text932 = platform::UnicodeToCodePageLossy(u"日本語のテキスト abc " + MixedText(500), 932);
  // Bytes that are no text in 1252 (0x81) survive a copy untouched.
  const std::string raw = text1252 + "\x81\x8d" + text1252;
  struct Case {
    const char* Name;
    std::u16string From, To;
    std::string Bytes;
    std::string Want;
  } cases[] = {
      {"1252 to 1252 copies", u"M1252", u"M1252", raw, raw},
      {"1252 to 1250 converts", u"M1252", u"M1250", text1252, Recode(text1252, 1252, 1250)},
      {"932 to 932 copies", u"M932", u"M932", text932, text932},
      {"932 to 1252 converts", u"M932", u"M1252", text932, Recode(text932, 932, 1252)},
      {"1252 to 932 converts", u"M1252", u"M932", text1252, Recode(text1252, 1252, 932)},
      {"no code page keeps the bytes", u"MNone", u"M1250", raw, raw},
      {"to no code page keeps the bytes", u"M1252", u"MNone", raw, raw},
  };
  ASSERT_NE(Recode(text1252, 1252, 1250), text1252);
  Begin();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TnxBlobNr source = PutBlob(from, c.From, c.Bytes);
    for (const TnxFieldMapperDescriptor* desc : {&fail, &bestFit}) {
      std::vector<uint8_t> target;
      ASSERT_EQ(Map(from, c.From, to, c.To, desc, NrBytes(source), target), 0u) << LastMessage();
      ASSERT_NE(NrOf(target), 0u);
      EXPECT_EQ(GetBlob(to, c.To, NrOf(target)), c.Want);
    }
  }
  Commit();
}

TEST_F(BlobMappers, ACharacterSplitBetweenPiecesConvertsWhole) {
  TnxServerTableCursor* from = Table(u"From", {{u"M932", nxtBlobMemo, 0, 932}, {u"W", nxtBlobWideMemo}});
  TnxServerTableCursor* to = Table(u"To", {{u"M1252", nxtBlobMemo, 0, 1252},
                                           {u"W", nxtBlobWideMemo},
                                           {u"M8", nxtBlobMemo, 0, 65001}});
  // A double-byte character whose lead byte ends the first piece.
  std::string dbcs(nxBlobMapperChunkSize - 1, 'a');
  dbcs += platform::UnicodeToCodePageLossy(u"日本", 932) + "tail";
  ASSERT_EQ(uint8_t(dbcs[nxBlobMapperChunkSize - 1]), 0x93u);
  // A surrogate pair whose high half ends the first piece.
  std::u16string wide(nxBlobMapperChunkSize / 2 - 1, u'x');
  wide += u"\U0001D11E";
  wide += u"end";
  // Three UTF-8 bytes of one character across the boundary.
  std::string utf8(nxBlobMapperChunkSize - 2, 'b');
  utf8 += "\xE2\x82\xAC" "z";
  Begin();
  struct Case {
    const char* Name;
    TnxServerTableCursor* FromCursor;
    std::u16string From, To;
    std::string Bytes, Want;
  } cases[] = {
      {"932 to 1252", from, u"M932", u"M1252", dbcs, Recode(dbcs, 932, 1252)},
      {"932 to wide memo", from, u"M932", u"W", dbcs, UnitsAsBytes(platform::CodePageToUnicode(dbcs, 932))},
      {"wide memo to UTF-8 memo", from, u"W", u"M8", UnitsAsBytes(wide), platform::UnicodeToCodePageLossy(wide, 65001)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TnxBlobNr source = PutBlob(c.FromCursor, c.From, c.Bytes);
    std::vector<uint8_t> target;
    ASSERT_EQ(Map(c.FromCursor, c.From, to, c.To, &fail, NrBytes(source), target), 0u) << LastMessage();
    const std::string got = GetBlob(to, c.To, NrOf(target));
    EXPECT_EQ(got.size(), c.Want.size());
    EXPECT_TRUE(got == c.Want);
  }
  // The UTF-8 memo back into 1252: the euro sign whole, not three "?".
  TnxServerTableCursor* back = Table(u"Back", {{u"M1252", nxtBlobMemo, 0, 1252}});
  const TnxBlobNr source = PutBlob(to, u"M8", utf8);
  std::vector<uint8_t> target;
  ASSERT_EQ(Map(to, u"M8", back, u"M1252", &fail, NrBytes(source), target), 0u) << LastMessage();
  EXPECT_TRUE(GetBlob(back, u"M1252", NrOf(target)) == std::string(nxBlobMapperChunkSize - 2, 'b') + "\x80z");
  Commit();
}

TEST_F(BlobMappers, BlobsOfEverySizeCopyAndConvertWhole) {
  TnxServerTableCursor* from = Table(u"From", {{u"B", nxtBlob}, {u"M", nxtBlobMemo, 0, 1252}, {u"W", nxtBlobWideMemo}});
  TnxServerTableCursor* to = Table(u"To", {{u"G", nxtBlobGraphic},
                                           {u"M", nxtBlobMemo, 0, 1250},
                                           {u"W", nxtBlobWideMemo},
                                           {u"B", nxtBlob}});
  Begin();
  for (size_t size : {size_t{0}, size_t{1}, size_t{255}, size_t{256}, size_t{1000000}}) {
    SCOPED_TRACE(size);
    const std::string text = platform::UnicodeToCodePageLossy(MixedText(size * 2), 1252).substr(0, size);
    const std::u16string wide = platform::CodePageToUnicode(text, 1252);
    struct Case {
      std::u16string From, To;
      std::string Bytes, Want;
    } cases[] = {
        {u"B", u"G", text, text},
        {u"M", u"M", text, Recode(text, 1252, 1250)},
        {u"M", u"W", text, UnitsAsBytes(wide)},
        {u"W", u"M", UnitsAsBytes(wide), Recode(text, 1252, 1250)},
        {u"W", u"B", UnitsAsBytes(wide), UnitsAsBytes(wide)},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.From.begin(), c.From.end()) + " to " + std::string(c.To.begin(), c.To.end()));
      const TnxBlobNr source = PutBlob(from, c.From, c.Bytes);
      std::vector<uint8_t> target;
      const uint32_t result = Map(from, c.From, to, c.To, &fail, NrBytes(source), target);
      const bool copies = c.From == u"B" || c.To == u"B";
      if (size == 0 && !copies) {
        // Nothing to write: the target takes its default or null.
        EXPECT_EQ(result, kNothing);
        EXPECT_EQ(NrOf(target), 0u);
        continue;
      }
      ASSERT_EQ(result, 0u) << LastMessage();
      EXPECT_TRUE(GetBlob(to, c.To, NrOf(target)) == c.Want);
    }
  }
  Commit();
}

TEST_F(BlobMappers, BlobNumberZeroGivesNothingToWriteUnderEveryAction) {
  TnxServerTableCursor* from = Table(u"From", {{u"B", nxtBlob}, {u"M", nxtBlobMemo, 0, 1252}, {u"W", nxtBlobWideMemo}});
  TnxServerTableCursor* to = Table(u"To", {{u"B", nxtBlob},
                                           {u"M", nxtBlobMemo, 0, 1250},
                                           {u"W", nxtBlobWideMemo},
                                           {u"N", nxtNullString, 10},
                                           {u"S", nxtShortString, 10},
                                           {u"WS", nxtWideString, 10}});
  Begin();
  for (const TnxFieldMapperDescriptor* desc : std::vector<const TnxFieldMapperDescriptor*>{nullptr, &fail, &null, &bestFit})
    for (const char16_t* source : {u"B", u"M", u"W"})
      for (const char16_t* target : {u"B", u"M", u"W", u"N", u"S", u"WS"}) {
        SCOPED_TRACE(platform::Utf16ToUtf8(std::u16string(source) + u" to " + target));
        std::vector<uint8_t> out;
        EXPECT_EQ(Map(from, source, to, target, desc, NrBytes(0), out), kNothing);
        if (Field(to, target).IsBlob()) {
          EXPECT_EQ(NrOf(out), 0u);
        }
      }
  Commit();
}

// ---- text to BLOB ----

TEST_F(BlobMappers, TextFieldsBecomeBlobsInTheTargetsForm) {
  TnxServerTableCursor* from = Table(u"From", {{u"N", nxtNullString, 10, 1252},
                                               {u"S", nxtShortString, 10, 1252},
                                               {u"W", nxtWideString, 10},
                                               {u"NNone", nxtNullString, 10}});
  TnxServerTableCursor* to = Table(u"To", {{u"WM", nxtBlobWideMemo},
                                           {u"M1250", nxtBlobMemo, 0, 1250},
                                           {u"M1252", nxtBlobMemo, 0, 1252},
                                           {u"B", nxtBlob},
                                           {u"G", nxtBlobGraphic}});
  const std::string abc = "abc";
  const std::string umlauts = "\xE4\xF6\xFC\xE6";  // äöüæ in 1252; æ is not in 1250
  struct Case {
    const char* Name;
    std::u16string From, To;
    std::vector<uint8_t> Value;
    std::string Want;
  } cases[] = {
      {"three characters become six bytes", u"N", u"WM", NullString(abc), UnitsAsBytes(u"abc")},
      {"ShortString to wide memo", u"S", u"WM", ShortString(umlauts), UnitsAsBytes(u"äöüæ")},
      {"NullString across code pages", u"N", u"M1250", NullString(umlauts), Recode(umlauts, 1252, 1250)},
      {"ShortString across code pages", u"S", u"M1250", ShortString(umlauts), Recode(umlauts, 1252, 1250)},
      {"same code page keeps the bytes", u"N", u"M1252", NullString(umlauts), umlauts},
      {"no code page keeps the bytes", u"NNone", u"M1250", NullString(umlauts), umlauts},
      {"NullString to Blob keeps the bytes", u"N", u"B", NullString(umlauts), umlauts},
      {"WideString to memo narrows", u"W", u"M1250", WideString(u"Łódź"), platform::UnicodeToCodePageLossy(u"Łódź", 1250)},
      {"WideString to Blob keeps the units", u"W", u"G", WideString(u"Łódź"), UnitsAsBytes(u"Łódź")},
      {"WideString to wide memo", u"W", u"WM", WideString(u"Łódź"), UnitsAsBytes(u"Łódź")},
      // A length byte or a terminator that lies ends at the field's room.
      {"a length byte past the field", u"S", u"B", ShortString("0123456789ABCDEF"), "0123456789"},
      {"a NullString without terminator", u"N", u"B",
       std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'X'}, "0123456789"},
  };
  Begin();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    for (const TnxFieldMapperDescriptor* desc : {&fail, &bestFit}) {
      std::vector<uint8_t> target;
      ASSERT_EQ(Map(from, c.From, to, c.To, desc, c.Value, target), 0u) << LastMessage();
      EXPECT_EQ(GetBlob(to, c.To, NrOf(target)), c.Want);
    }
  }
  // Empty text writes nothing under every action.
  for (const TnxFieldMapperDescriptor* desc : {&fail, &null, &bestFit})
    for (auto [field, value] : {std::pair{u"N", NullString("")}, std::pair{u"S", ShortString("")},
                                std::pair{u"W", WideString(u"")}}) {
      std::vector<uint8_t> target;
      EXPECT_EQ(Map(from, field, to, u"WM", desc, value, target), kNothing);
      EXPECT_EQ(NrOf(target), 0u);
    }
  Commit();
}

// ---- BLOB to text ----

TEST_F(BlobMappers, BlobTextIsCheckedOrCutAsAWhole) {
  TnxServerTableCursor* from = Table(u"From", {{u"M", nxtBlobMemo, 0, 1252},
                                               {u"M932", nxtBlobMemo, 0, 932},
                                               {u"B", nxtBlob},
                                               {u"G", nxtBlobGraphic},
                                               {u"W", nxtBlobWideMemo}});
  TnxServerTableCursor* to = Table(u"To", {{u"S255", nxtShortString, 255, 1252},
                                           {u"S200", nxtShortString, 200, 1252},
                                           {u"S5", nxtShortString, 5, 932},
                                           {u"S7", nxtShortString, 7, 1252},
                                           {u"N20", nxtNullString, 20, 1252},
                                           {u"N1250", nxtNullString, 20, 1250},
                                           {u"WS20", nxtWideString, 20}});
  const std::string s300(300, 'x');
  std::string s50;
  for (int i = 0; i < 50; ++i) s50 += char('a' + i % 26);
  const std::string kanji = platform::UnicodeToCodePageLossy(u"日本語です", 932);  // 10 bytes
  // 300 bytes of 932 text whose 1252 form is 150 characters.
  std::string kana;
  for (int i = 0; i < 150; ++i) kana += platform::UnicodeToCodePageLossy(u"日", 932);
  const std::string zero = std::string("ab\0cd", 5);
  struct Case {
    const char* Name;
    std::u16string From, To;
    std::string Bytes;
    uint32_t CheckResult;
    std::string CheckWant;  // the target's text when the check passes
    std::string CutWant;
  } cases[] = {
      // A ShortString holds 255 characters: the check sees all 300.
      {"300 bytes into ShortString[255]", u"M", u"S255", s300, kLost, "", std::string(255, 'x')},
      {"300 bytes into ShortString[200]", u"M", u"S200", s300, kLost, "", std::string(200, 'x')},
      {"255 bytes into ShortString[255]", u"M", u"S255", std::string(255, 'y'), 0, std::string(255, 'y'),
       std::string(255, 'y')},
      {"50 characters into NullString[20]", u"M", u"N20", s50, kLost, "", s50.substr(0, 20)},
      {"20 characters into NullString[20]", u"M", u"N20", s50.substr(0, 20), 0, s50.substr(0, 20), s50.substr(0, 20)},
      {"a zero byte ends the text", u"B", u"N20", zero, 0, "ab", "ab"},
      {"a zero byte ends a ShortString's text", u"B", u"S7", zero, 0, "ab", "ab"},
      {"best fit cuts at a whole character", u"M932", u"S5", kanji, kLost, "", kanji.substr(0, 4)},
      {"300 bytes that convert to 150 fit", u"M932", u"S200", kana, 0, std::string(150, '?'), std::string(150, '?')},
      {"memo into another code page", u"M", u"N1250", "\xE4\xF6\xFC", 0, Recode("\xE4\xF6\xFC", 1252, 1250),
       Recode("\xE4\xF6\xFC", 1252, 1250)},
  };
  Begin();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TnxBlobNr source = PutBlob(from, c.From, c.Bytes);
    const bool isShort = Field(to, c.To).FieldType() == nxtShortString;
    std::vector<uint8_t> target;
    EXPECT_EQ(Map(from, c.From, to, c.To, &fail, NrBytes(source), target), c.CheckResult);
    if (c.CheckResult == 0) {
      EXPECT_EQ(AnsiOf(target, isShort), c.CheckWant);
    }
    EXPECT_EQ(Map(from, c.From, to, c.To, &bestFit, NrBytes(source), target), 0u);
    EXPECT_EQ(AnsiOf(target, isShort), c.CutWant);
  }
  // Into a WideString: a BlobGraphic reads as a Blob does.
  for (const char16_t* field : {u"B", u"G"}) {
    const TnxBlobNr source = PutBlob(from, field, std::string("\xE4") + s50);
    std::vector<uint8_t> target;
    EXPECT_EQ(Map(from, field, to, u"WS20", &fail, NrBytes(source), target), kLost);
    ASSERT_EQ(Map(from, field, to, u"WS20", &bestFit, NrBytes(source), target), 0u);
    EXPECT_EQ(WideOf(target), u"ä" + std::u16string(s50.begin(), s50.begin() + 19));
  }
  // A wide memo into each text field.
  const std::u16string wide = u"Łódź " + std::u16string(30, u'w');
  const TnxBlobNr source = PutBlob(from, u"W", UnitsAsBytes(wide));
  struct WideCase {
    std::u16string To;
    std::u16string Cut;
  } wideCases[] = {{u"N1250", wide.substr(0, 20)}, {u"S7", u"?\u00f3d? ww"}, {u"WS20", wide.substr(0, 20)}};
  for (const WideCase& c : wideCases) {
    SCOPED_TRACE(std::string(c.To.begin(), c.To.end()));
    std::vector<uint8_t> target;
    EXPECT_EQ(Map(from, u"W", to, c.To, &fail, NrBytes(source), target), kLost);
    ASSERT_EQ(Map(from, u"W", to, c.To, &bestFit, NrBytes(source), target), 0u);
    const TnxFieldDescriptor& f = Field(to, c.To);
    if (f.FieldType() == nxtWideString) {
      EXPECT_EQ(WideOf(target), c.Cut);
    } else {
      const uint32_t cp = c.To == u"N1250" ? 1250 : 1252;
      EXPECT_EQ(AnsiOf(target, f.FieldType() == nxtShortString), platform::UnicodeToCodePageLossy(c.Cut, cp));
    }
  }
  // A short wide memo passes every check.
  const TnxBlobNr shortWide = PutBlob(from, u"W", UnitsAsBytes(u"Łódź"));
  std::vector<uint8_t> target;
  ASSERT_EQ(Map(from, u"W", to, u"WS20", &fail, NrBytes(shortWide), target), 0u);
  EXPECT_EQ(WideOf(target), u"Łódź");
  ASSERT_EQ(Map(from, u"W", to, u"N1250", &fail, NrBytes(shortWide), target), 0u);
  EXPECT_EQ(AnsiOf(target, false), platform::UnicodeToCodePageLossy(u"Łódź", 1250));
  Commit();
}

// ---- through the record mapper engine ----

TEST_F(BlobMappers, AnEmptyValueNeverFailsARecordMapping) {
  TnxServerTableCursor* from = Table(u"From", {{u"N", nxtNullString, 10}, {u"M", nxtBlobMemo, 0, 1252}});
  TnxServerTableCursor* to = Table(u"To", {{u"N", nxtBlobMemo, 0, 1252}, {u"M", nxtNullString, 10}});
  TnxFieldsDescriptor& source = from->TableDescriptor()->FieldsDescriptor();
  TnxFieldsDescriptor& target = to->TableDescriptor()->FieldsDescriptor();
  Begin();
  const TnxBlobNr empty = PutBlob(from, u"M", "");
  for (TnxDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
    SCOPED_TRACE(int(action));
    TnxRecordMapperDescriptor mapping;
    mapping.AddMapping(u"N", u"N", action);
    mapping.AddMapping(u"M", u"M", action);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, from, to);
    std::vector<uint8_t> a(size_t(source.RecordLength()) + 4), b(size_t(target.RecordLength()) + 4);
    source.InitRecord(a.data());
    target.InitRecord(b.data());
    const std::vector<uint8_t> nothing(64, 0);
    source.SetRecordField(0, a.data(), nothing.data());
    source.SetRecordField(1, a.data(), &empty);
    ASSERT_EQ(engine->MapRecord(a.data(), b.data()), 0u) << LastMessage();
    EXPECT_TRUE(target.IsRecordFieldNull(0, b.data()));
    EXPECT_TRUE(target.IsRecordFieldNull(1, b.data()));
  }
  Commit();
}

// ---- failures ----

TEST_F(BlobMappers, AFailedWriteLeavesNoTargetBlobBehind) {
  TnxServerTableCursor* from = Table(u"From", {{u"M", nxtBlobMemo, 0, 1252}, {u"N", nxtNullString, 20, 1252}});
  TnxServerTableCursor* to = Table(u"To", {{u"M", nxtBlobMemo, 0, 1250}, {u"W", nxtBlobWideMemo}});
  FailingWriteCursor* failing = Failing(to);
  // Three pieces and a bit.
  const std::string text = platform::UnicodeToCodePageLossy(MixedText(3 * nxBlobMapperChunkSize + 100), 1252)
                               .substr(0, 3 * nxBlobMapperChunkSize + 100);
  Begin();
  const TnxBlobNr source = PutBlob(from, u"M", text);
  struct Case {
    std::u16string From, To;
    std::vector<uint8_t> Value;
    int Writes;  // the writes a whole mapping makes
  } cases[] = {{u"M", u"M", NrBytes(source), 4}, {u"M", u"W", NrBytes(source), 4}, {u"N", u"W", NullString("abc"), 1}};
  for (const Case& c : cases) {
    for (int k = 1; k <= c.Writes; ++k) {
      SCOPED_TRACE("write " + std::to_string(k) + " of " + std::string(c.To.begin(), c.To.end()));
      failing->failWrite = k;
      failing->writes = 0;
      failing->created.clear();
      std::vector<uint8_t> target;
      EXPECT_EQ(Map(from, c.From, failing, c.To, &bestFit, c.Value, target), nxeWriteFailure);
      EXPECT_EQ(LastMessage(), "the disk is full");
      EXPECT_EQ(NrOf(target), 0u);
      ASSERT_EQ(failing->created.size(), 1u);
      EXPECT_EQ(GetBlob(to, c.To, *failing->created.begin()).substr(0, 1), "!");
    }
    failing->failWrite = c.Writes + 1;
    failing->writes = 0;
    std::vector<uint8_t> target;
    EXPECT_EQ(Map(from, c.From, failing, c.To, &bestFit, c.Value, target), 0u) << LastMessage();
    EXPECT_EQ(failing->writes, c.Writes);
  }
  Commit();
}

TEST_F(BlobMappers, CursorsOtherThanServerCursorsAreRefusedAtSetUp) {
  TnxServerTableCursor* from = Table(u"From", {{u"M", nxtBlobMemo, 0, 1252}, {u"N", nxtNullString, 10}});
  TnxMappingMethod method;
  EXPECT_THROW(TnxBaseFieldMapper::CreateMapper(Field(from, u"M"), from, Field(from, u"M"), nullptr, &fail, method),
               EnxBaseFieldMapperException);
  EXPECT_THROW(TnxBaseFieldMapper::CreateMapper(Field(from, u"M"), nullptr, Field(from, u"N"), nullptr, &fail, method),
               EnxBaseFieldMapperException);
  // Text into text needs no cursor at all.
  EXPECT_NO_THROW(TnxBaseFieldMapper::CreateMapper(Field(from, u"N"), nullptr, Field(from, u"N"), nullptr, &fail,
                                                   method));
}

// ---- memory ----

int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

TEST_F(BlobMappers, AHundredMegabyteMemoConvertsInBoundedMemory) {
  // Hundreds of blob writes: one deadline long enough for a slow machine.
  nxSetTimeout(600000, true);
  session->SetTimeout(600000);
  db->SetTimeout(600000);
  TnxServerTableCursor* from = Table(u"From", {{u"M", nxtBlobMemo, 0, 1252}});
  TnxServerTableCursor* to = Table(u"To", {{u"M", nxtBlobMemo, 0, 1250}});
  constexpr size_t kSize = 100u << 20;
  const std::string piece = platform::UnicodeToCodePageLossy(MixedText(nxBlobMapperChunkSize), 1252)
                                .substr(0, nxBlobMapperChunkSize);
  const int32_t field = Field(from, u"M").Number();
  TnxBlobNr source = 0;
  ASSERT_EQ(from->sbcBlobCreate(nxNullRecID, field, source), 0u) << LastMessage();
  for (size_t at = 0; at < kSize; at += piece.size())
    ASSERT_EQ(from->sbcBlobWrite(nxNullRecID, field, source, uint32_t(at), uint32_t(piece.size()), piece.data()), 0u)
        << LastMessage();
  // Each piece commits on its own: the engine's cache stays at its size.
  TnxFieldDescriptor& targetField = Field(to, u"M");
  TnxMappingMethod method;
  auto mapper = TnxBaseFieldMapper::CreateMapper(Field(from, u"M"), from, targetField, to, &fail, method);
  ASSERT_TRUE(method.Assigned());
  std::vector<uint8_t> sourceValue = NrBytes(source), target(8, 0);
  // The highest resident size while the mapping runs, sampled.
  std::atomic<bool> done{false};
  std::atomic<int64_t> peak{0};
  const int64_t before = ResidentBytes();
  std::thread sampler([&] {
    while (!done.load()) {
      peak.store(std::max(peak.load(), ResidentBytes()));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const uint32_t result = method(sourceValue.data(), target.data());
  peak.store(std::max(peak.load(), ResidentBytes()));
  done.store(true);
  sampler.join();
  ASSERT_EQ(result, 0u) << LastMessage();
  const int64_t grown = peak.load() - before;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(REVUROV_SYSTEM_HEAP)
  // A sanitizer keeps freed memory in quarantine: resident size says nothing there.
  EXPECT_LT(grown, int64_t{16} << 20) << grown;
#endif
  RecordProperty("ResidentGrowthBytes", std::to_string(grown));
  uint32_t length = 0;
  ASSERT_EQ(to->sbcBlobGetLength(nxNullRecID, Field(to, u"M").Number(), NrOf(target), length, false, nullptr), 0u);
  EXPECT_EQ(length, kSize);
  TStringStream last;
  ASSERT_EQ(to->sbcBlobRead(nxNullRecID, Field(to, u"M").Number(), NrOf(target), uint32_t(kSize - piece.size()),
                            uint32_t(piece.size()), last, false, nullptr),
            0u);
  EXPECT_TRUE(last.Bytes == Recode(piece, 1252, 1250));
}

}  // namespace
}  // namespace revurov
