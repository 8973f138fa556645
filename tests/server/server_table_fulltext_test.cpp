// A root table builds its fulltext table engine from its dictionary when
// it creates or opens its files, and frees it with them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

class TnxUnservedFulltextDescriptor : public TnxFulltextDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxUnservedFulltextDescriptor, TnxFulltextDescriptor, TnxCustomDescriptorClass,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxUnservedFulltextDescriptor>))
  using TnxFulltextDescriptor::TnxFulltextDescriptor;
};

// ID numbering the records through "ByID"; with a fulltext descriptor of
// one index with one bit-array token index when asked.
std::unique_ptr<TnxDataDictionary> Dictionary(const TnxCustomDescriptorClass* aFulltextClass) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"ID", u"", nxtWord32, 0, 0, true);
  dict->FieldsDescriptor().AddField(u"Text", u"", nxtWideString, 40, 0, false);
  TnxIndexDescriptor* byId =
      dict->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(byId->KeyDescriptor())->Add(0);
  if (aFulltextClass) {
    auto* fulltext =
        static_cast<TnxFulltextDescriptor*>(dict->CustomDescsDescriptor().AddCustom(nxFulltextName, aFulltextClass));
    TnxFulltextIndexDescriptor* index = fulltext->AddFulltextIndex(u"");
    index->TokenExtractorHub().AddFieldTokenExtractor(1, u"Text");
    static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u""))->AddIndex(0);
  }
  return dict;
}

class ServerTableFulltextTest : public ServerFixture {
protected:
  ServerTableFulltextTest() {
    Start();
    session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(dir.Dir()), nullptr, omReadWrite,
                                    smShared, 1000),
              0u);
    db = static_cast<TnxServerDatabase*>(database);
  }

  uint32_t Create(std::u16string_view aName, const TnxDataDictionary& aDict, TnxServerRootTable*& aTable) {
    return db->Folder()->sfTableCreate(aName, u"", false, aDict, tsPersistent, aTable);
  }
  TnxServerRootTable* Reopen(std::u16string_view aName) {
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    EXPECT_EQ(db->Folder()->sfTableOpen(aName, {}, omReadWrite, smShared, false, table, readOnly), 0u)
        << LastMessage();
    return table;
  }

  TempDir dir;
  TnxServerSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};

TEST_F(ServerTableFulltextTest, OnlyATableWithAFulltextDescriptorGetsAFulltextEngine) {
  struct Case {
    const char16_t* name;
    const TnxCustomDescriptorClass* fulltext;
  } cases[] = {{u"Plain", nullptr}, {u"Docs", &TnxFulltextDescriptor::ClassInfo()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::Utf16ToUtf8(c.name));
    TnxServerRootTable* table = nullptr;
    ASSERT_EQ(Create(c.name, *Dictionary(c.fulltext), table), 0u) << LastMessage();
    EXPECT_EQ(table->FulltextEngine() != nullptr, c.fulltext != nullptr);
    table->Free();
    table = Reopen(c.name);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->FulltextEngine() != nullptr, c.fulltext != nullptr);
    if (auto* engine = dynamic_cast<TnxFulltextTableEngine*>(table->FulltextEngine())) {
      EXPECT_EQ(engine->MainIndicesEngine(), table->IndicesEngine());
      ASSERT_EQ(engine->FulltextIndexCount(), 1);
      EXPECT_EQ(engine->FulltextIndex(0).TokenIndexCount(), 1);
    }
    table->Free();
  }
}

TEST_F(ServerTableFulltextTest, AnUnservedFulltextClassFailsTheCreate) {
  TnxUnservedFulltextDescriptor::ClassInfo().Register();
  TnxServerRootTable* table = nullptr;
  EXPECT_EQ(Create(u"Docs", *Dictionary(&TnxUnservedFulltextDescriptor::ClassInfo()), table),
            nxeSubEngineNotSupported);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(db->Folder()->TableCount(), 0);
  TnxUnservedFulltextDescriptor::ClassInfo().Unregister();
}

}  // namespace
}  // namespace revurov::testing
