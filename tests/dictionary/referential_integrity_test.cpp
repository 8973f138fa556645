#include "dictionary/referential_integrity.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/rtl_exception.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;


// A root table with fields A, B, C and a nested table Orders with a nested
// table Lines; referential integrity on the root and on Orders.
class RefIntegrityTest : public ::testing::Test {
protected:
  RefIntegrityTest() {
    for (auto name : {u"A", u"B", u"C"}) dict.FieldsDescriptor().AddField(name, u"", nxtInt32, 0, 0, false);
    orders = dict.TablesDescriptor().AddTable(u"Orders");
    orders->FieldsDescriptor().AddField(u"Qty", u"", nxtInt16, 0, 0, false);
    orders->AddRecordDescriptor();
    lines = orders->TablesDescriptor().AddTable(u"Lines");
    lines->FieldsDescriptor().AddField(u"Text", u"", nxtInt32, 0, 0, false);
    lines->AddRecordDescriptor();
    ri = AddRI(dict);
  }
  static TnxRefIntegrityDescriptor* AddRI(TnxBaseTableDescriptor& aTable) {
    return static_cast<TnxRefIntegrityDescriptor*>(
        aTable.CustomDescsDescriptor().AddCustom(nxRefIntegrityName, &TnxRefIntegrityDescriptor::ClassInfo()));
  }
  // A reference that passes validation: table target, field source, action.
  TnxReferenceDescriptor* CompleteReference(TnxRefIntegrityDescriptor& aRI, int32_t aField = 1) {
    TnxReferenceDescriptor* r = aRI.AddReference();
    static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor()).SetTableName(u"Customers");
    static_cast<TnxFieldSourceDescriptor*>(r->AddSource())->SetFieldNumber(aField);
    r->SetTargetIndex(u"ByID");
    r->AddAction();
    return r;
  }
  TnxFieldSourceDescriptor& FieldSource(TnxReferenceDescriptor& aRef, int32_t aIndex = 0) {
    return static_cast<TnxFieldSourceDescriptor&>(*aRef.Source(aIndex));
  }

  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxNestedTableDescriptor* orders = nullptr;
  TnxNestedTableDescriptor* lines = nullptr;
  TnxRefIntegrityDescriptor* ri = nullptr;
};

TEST_F(RefIntegrityTest, DefaultsOfNewItems) {
  TnxReferenceDescriptor* r = ri->AddReference();
  EXPECT_EQ(&r->TargetCursor().ClassType(), &TnxTableTargetCursorDescriptor::ClassInfo());
  TnxBaseSourceDescriptor* s = r->AddSource();
  ASSERT_EQ(&s->ClassType(), &TnxFieldSourceDescriptor::ClassInfo());
  EXPECT_EQ(static_cast<TnxFieldSourceDescriptor*>(s)->FieldNumber(), -1);
  EXPECT_EQ(static_cast<TnxFieldSourceDescriptor*>(s)->Field(), nullptr);
  EXPECT_EQ(&r->AddAction()->ClassType(), &TnxBlockDeleteActionDescriptor::ClassInfo());
  EXPECT_FALSE(s->SkipOnNull());

  // Removing what is not there does nothing.
  ri->RemoveReference(5);
  ri->RemoveReference(-1);
  r->RemoveSource(nullptr);
  EXPECT_EQ(ri->ReferenceCount(), 1);
  EXPECT_EQ(r->SourceCount(), 1);
  r->RemoveAction(0);
  EXPECT_EQ(r->ActionCount(), 0);
  ri->RemoveReference(r);
  EXPECT_EQ(ri->ReferenceCount(), 0);
}

TEST_F(RefIntegrityTest, AnIncompleteReferenceFailsOnlyForBuildAndNamesTheFirstGap) {
  struct Case {
    bool source, index, action;
    const char16_t* missing;
  } cases[] = {
      {false, false, false, u"No Referencing Fields"},
      {false, true, true, u"No Referencing Fields"},
      {true, false, false, u"Target Index Missing"},
      {true, true, false, u"No Actions Selected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.missing, c.missing + std::char_traits<char16_t>::length(c.missing)));
    TnxReferenceDescriptor* r = ri->AddReference();
    static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor()).SetTableName(u"Customers");
    if (c.source) static_cast<TnxFieldSourceDescriptor*>(r->AddSource())->SetFieldNumber(0);
    if (c.index) r->SetTargetIndex(u"ByID");
    if (c.action) r->AddAction();
    EXPECT_NO_THROW(ri->CheckValid(false));
    // Inside a dictionary that was never named the prefix has an empty name.
    EXPECT_HAS_TEXT(MessageOf<EnxReferenceDescriptorException>([&] { ri->CheckValid(true); }),
              std::u16string(u"TableName:  - Referential Integrity Descriptor - ") + c.missing);
    ri->RemoveReference(0);
  }
}

TEST_F(RefIntegrityTest, TheMessageNamesTheDictionaryOrStandsAlone) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  r->RemoveAction(0);
  TnxMemoryStream s;
  dict.WriteToStream(s, 47501);
  s.SetPosition(0);
  TnxDataDictionary named;
  named.ReadFromStream(s, u"Orders");
  TnxRefIntegrityDescriptor* read = nxGetRefIntegrityDescriptor(named);
  ASSERT_NE(read, nullptr);
  EXPECT_HAS_TEXT(MessageOf<EnxReferenceDescriptorException>([&] { read->CheckValid(true); }),
            u"TableName: Orders - Referential Integrity Descriptor - No Actions Selected");
  EXPECT_EQ(CodeOf<EnxReferenceDescriptorException>([&] { read->CheckValid(true); }), 0u);

  TnxRefIntegrityDescriptor alone(nullptr, nxRefIntegrityName);
  alone.AddReference(nullptr, &TnxCloneTargetCursorDescriptor::ClassInfo())->AddSource();
  EXPECT_HAS_TEXT(MessageOf<EnxReferenceDescriptorException>([&] { alone.CheckValid(true); }),
            u"Referential Integrity Descriptor - Target Index Missing");
  EXPECT_FALSE(testing::Contains(MessageOf<EnxReferenceDescriptorException>([&] { alone.CheckValid(true); }),
                                 u"TableName"));
}

TEST_F(RefIntegrityTest, TableTargetsCheckTheirPath) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  auto& target = static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor());
  EXPECT_EQ(CodeOf<EnxTableTargetCursorDescriptorException>([&] { target.SetTableName(u""); }), 10024u);
  EXPECT_EQ(CodeOf<EnxTableTargetCursorDescriptorException>([&] { target.SetTableName(u"Bad*Name"); }), 10039u);
  EXPECT_EQ(CodeOf<EnxTableTargetCursorDescriptorException>([&] { target.SetTableName(u"T:?"); }), 10039u);
  target.SetTableName(u"Customers:.:Addresses");
  EXPECT_EQ(target.TableName(), u"Customers:.:Addresses");
  EXPECT_NO_THROW(ri->CheckValid(true));

  // A stream stores what it holds; validation finds the fault.
  for (const char16_t* name : {u"", u"Bad*Name"}) {
    TnxRefIntegrityDescriptor other(nullptr, nxRefIntegrityName);
    CompleteReference(other);
    std::vector<uint8_t> bytes = SavedBytes(other, 47501);
    // Customers -> the name to test, through a reference read from parts.
    TnxReferenceDescriptor* o = other.Reference(0);
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      o->TargetCursor().TnxBaseTargetCursorDescriptor::SaveToWriter(w, 47501);
      w.WriteInteger(int32_t{2});
      w.WriteString(name);
      w.WriteWideString_(u"");
    }
    const auto* p = s.ByteArray();
    LoadBytes(o->TargetCursor(), std::vector<uint8_t>(p, p + s.GetSize()));
    const std::u16string expected =
        std::u16string(u"Referential Integrity Target Table Name ") + (*name ? u"Invalid [Bad*Name]" : u"must be set");
    EXPECT_HAS_TEXT(MessageOf<EnxTableTargetCursorDescriptorException>([&] { other.CheckValid(false); }), expected);
    EXPECT_EQ(CodeOf<EnxTableTargetCursorDescriptorException>([&] { other.CheckValid(false); }),
              *name ? 10039u : 10024u);
  }
}

TEST_F(RefIntegrityTest, RelativeTargetsResolveFromTheirTableOrTheRoot) {
  TnxRefIntegrityDescriptor* nested = AddRI(*orders);
  TnxReferenceDescriptor* r = nested->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::ClassInfo());
  auto& target = static_cast<TnxRelativeTargetCursorDescriptor&>(r->TargetCursor());
  EXPECT_EQ(target.ReferencedTableName(), u"");
  EXPECT_HAS_TEXT(MessageOf<EnxRelativeTargetCursorDescriptorException>([&] { target.CheckValid(false); }),
            u"Referential Integrity Target Table must be set");
  EXPECT_EQ(CodeOf<EnxRelativeTargetCursorDescriptorException>([&] { target.CheckValid(false); }), 10039u);
  EXPECT_EQ(CodeOf<EnxRelativeTargetCursorDescriptorException>([&] { target.SetTableName(u"a*b"); }), 10039u);

  target.SetTableName(u".:Lines");
  EXPECT_EQ(target.ResolveTable(), lines);
  EXPECT_EQ(target.ReferencedTableName(), lines->btdFullName());
  EXPECT_TRUE(target.References(lines));
  EXPECT_FALSE(target.References(orders));
  target.SetTableName(u"Orders");
  EXPECT_EQ(target.ResolveTable(), orders);
  EXPECT_NO_THROW(target.CheckValid(true));
  target.SetTableName(u".:Missing");
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { target.CheckValid(false); }), 10024u);
  EXPECT_FALSE(target.References(lines));

  // The clone target is the table that holds the reference.
  TnxReferenceDescriptor* self = nested->AddReference(nullptr, &TnxCloneTargetCursorDescriptor::ClassInfo());
  EXPECT_EQ(self->TargetCursor().ReferencedTableName(), orders->btdFullName());
  EXPECT_TRUE(self->TargetCursor().References(orders));
}

TEST_F(RefIntegrityTest, AReferenceReferencesTheTargetIndexOfItsTargetTable) {
  orders->EnsureIndicesDescriptor()->AddIndex(u"ByQty", 0, idAll, u"");
  lines->EnsureIndicesDescriptor()->AddIndex(u"ByQty", 0, idAll, u"");
  TnxReferenceDescriptor* r = ri->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::ClassInfo());
  static_cast<TnxRelativeTargetCursorDescriptor&>(r->TargetCursor()).SetTableName(u"Orders");
  r->SetTargetIndex(u"byqty");
  const TnxIndexDescriptor* inOrders = orders->IndicesDescriptor()->IndexDescriptor(0);
  const TnxIndexDescriptor* inLines = lines->IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_TRUE(r->References(inOrders));
  EXPECT_FALSE(r->References(inLines));
  r->SetTargetIndex(u"Other");
  EXPECT_FALSE(r->References(inOrders));
}

TEST_F(RefIntegrityTest, FieldSourcesFollowTheirField) {
  TnxReferenceDescriptor* r = CompleteReference(*ri, 2);
  TnxFieldSourceDescriptor& source = FieldSource(*r);
  TnxFieldSourceDescriptor& unset = *static_cast<TnxFieldSourceDescriptor*>(r->AddSource());
  EXPECT_EQ(source.Field()->Name(), u"C");
  dict.FieldsDescriptor().RemoveField(0);
  EXPECT_EQ(source.FieldNumber(), 1);
  EXPECT_EQ(source.Field()->Name(), u"C");
  EXPECT_HAS_TEXT(MessageOf<EnxFieldSourceDescriptorException>([&] { dict.FieldsDescriptor().RemoveField(1); }),
            u"Cannot remove field C because it is still referenced by an index");
  EXPECT_EQ(dict.FieldsDescriptor().FieldCount(), 2);
  dict.FieldsDescriptor().InsertFieldAt(0, u"Z", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(source.FieldNumber(), 2);
  EXPECT_EQ(unset.FieldNumber(), -1);

  unset.SetFieldNumber(7);
  EXPECT_EQ(unset.Field(), nullptr);
  EXPECT_HAS_TEXT(MessageOf<EnxFieldSourceDescriptorException>([&] { ri->CheckValid(false); }), u"Invalid field number: 7");
  EXPECT_EQ(CodeOf<EnxFieldSourceDescriptorException>([&] { ri->CheckValid(false); }), 10004u);
}

TEST_F(RefIntegrityTest, StreamsRoundTripEveryClass) {
  const TnxActionDescriptorClass* actions[] = {
      &TnxCascadeDeleteActionDescriptor::ClassInfo(),    &TnxClearDeleteActionDescriptor::ClassInfo(),
      &TnxSetDefaultDeleteActionDescriptor::ClassInfo(), &TnxBlockDeleteActionDescriptor::ClassInfo(),
      &TnxCascadeModifyActionDescriptor::ClassInfo(),    &TnxClearModifyActionDescriptor::ClassInfo(),
      &TnxSetDefaultModifyActionDescriptor::ClassInfo(), &TnxBlockModifyActionDescriptor::ClassInfo(),
      &TnxTargetRequiredActionDescriptor::ClassInfo()};
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  for (const auto* cls : actions) r->AddAction(cls)->SetSkipOnNull(cls == actions[2]);
  FieldSource(*r).SetSkipOnNull(true);
  TnxReferenceDescriptor* rel = ri->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::ClassInfo());
  static_cast<TnxRelativeTargetCursorDescriptor&>(rel->TargetCursor()).SetTableName(u"Orders:Lines");
  rel->SetTargetIndex(u"X");
  ri->AddReference(nullptr, &TnxCloneTargetCursorDescriptor::ClassInfo());

  TnxRefIntegrityDescriptor copy(nullptr, nxRefIntegrityName);
  LoadBytes(copy, SavedBytes(*ri, 47501));
  ASSERT_EQ(copy.ReferenceCount(), 3);
  EXPECT_TRUE(ri->IsEqual(&copy));
  EXPECT_EQ(SavedBytes(copy, 47501), SavedBytes(*ri, 47501));
  EXPECT_TRUE(FieldSource(*copy.Reference(0)).SkipOnNull());
  EXPECT_EQ(FieldSource(*copy.Reference(0)).FieldNumber(), 1);
  ASSERT_EQ(copy.Reference(0)->ActionCount(), 10);
  for (int32_t i = 0; i < 9; ++i) EXPECT_EQ(&copy.Reference(0)->Action(i + 1)->ClassType(), actions[i]);
  EXPECT_TRUE(copy.Reference(0)->Action(3)->SkipOnNull());
  EXPECT_EQ(static_cast<TnxRelativeTargetCursorDescriptor&>(copy.Reference(1)->TargetCursor()).TableName(),
            u"Orders:Lines");

  // Reading into a filled descriptor replaces its references.
  LoadBytes(copy, SavedBytes(*ri, 47501));
  EXPECT_EQ(copy.ReferenceCount(), 3);

  // The whole dictionary carries it.
  std::unique_ptr<TnxDataDictionary> duplicate = dict.Duplicate();
  EXPECT_TRUE(dict.IsEqual(duplicate.get()));
  ASSERT_NE(nxGetRefIntegrityDescriptor(*duplicate), nullptr);
  EXPECT_TRUE(ri->IsEqual(nxGetRefIntegrityDescriptor(*duplicate)));
}

// Equality sees every setting the stream carries.
TEST_F(RefIntegrityTest, EqualityComparesEveryStreamedSetting) {
  using Change = std::function<void(TnxReferenceDescriptor&)>;
  auto table = [](TnxReferenceDescriptor& r) -> TnxTableTargetCursorDescriptor& {
    return static_cast<TnxTableTargetCursorDescriptor&>(r.TargetCursor());
  };
  struct Case {
    const char* name;
    Change change;
    bool equal;
  } cases[] = {
      {"table name in other case", [&](TnxReferenceDescriptor& r) { table(r).SetTableName(u"CUSTOMERS"); }, true},
      {"target index in other case", [](TnxReferenceDescriptor& r) { r.SetTargetIndex(u"byid"); }, true},
      {"table name", [&](TnxReferenceDescriptor& r) { table(r).SetTableName(u"Suppliers"); }, false},
      {"password", [&](TnxReferenceDescriptor& r) { table(r).SetPassword(u"secret"); }, false},
      {"target index", [](TnxReferenceDescriptor& r) { r.SetTargetIndex(u"ByName"); }, false},
      {"source field", [this](TnxReferenceDescriptor& r) { FieldSource(r).SetFieldNumber(2); }, false},
      {"source skip on null", [this](TnxReferenceDescriptor& r) { FieldSource(r).SetSkipOnNull(true); }, false},
      {"action skip on null", [](TnxReferenceDescriptor& r) { r.Action(0)->SetSkipOnNull(true); }, false},
      {"action class",
       [](TnxReferenceDescriptor& r) {
         r.RemoveAction(0);
         r.AddAction(&TnxCascadeDeleteActionDescriptor::ClassInfo());
       },
       false},
      {"one more source", [](TnxReferenceDescriptor& r) { r.AddSource(); }, false},
  };
  TnxRefIntegrityDescriptor base(nullptr, nxRefIntegrityName);
  CompleteReference(base);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxRefIntegrityDescriptor other(nullptr, nxRefIntegrityName);
    c.change(*CompleteReference(other));
    EXPECT_EQ(base.IsEqual(&other), c.equal);
    EXPECT_EQ(other.IsEqual(&base), c.equal);
  }
  TnxRefIntegrityDescriptor two(nullptr, nxRefIntegrityName);
  CompleteReference(two);
  CompleteReference(two);
  EXPECT_FALSE(base.IsEqual(&two));
}

TEST_F(RefIntegrityTest, OldClientsGetTheFirstLayoutOrAnError) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  TnxFieldSourceDescriptor& source = FieldSource(*r);

  // Version 1 without the Boolean.
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    source.TnxDictionaryItem::SaveToWriter(w, 19999);
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{1});
  }
  const auto* p = s.ByteArray();
  EXPECT_EQ(SavedBytes(source, 19999), std::vector<uint8_t>(p, p + s.GetSize()));
  TnxRefIntegrityDescriptor old(nullptr, nxRefIntegrityName);
  LoadBytes(old, SavedBytes(*ri, 19999));
  EXPECT_TRUE(ri->IsEqual(&old));

  const std::function<void()> refusals[] = {
      [&] { source.SetSkipOnNull(true); },
      [&] { r->Action(0)->SetSkipOnNull(true); },
      [&] { static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor()).SetPassword(u"pw"); },
  };
  for (size_t i = 0; i < std::size(refusals); ++i) {
    SCOPED_TRACE(i);
    TnxRefIntegrityDescriptor fresh(nullptr, nxRefIntegrityName);
    LoadBytes(fresh, SavedBytes(*ri, 47501));
    refusals[i]();
    EXPECT_EQ(CodeOf<EnxBaseException>([&] { SavedBytes(*ri, 19999); }), 12039u);
    EXPECT_NO_THROW(SavedBytes(*ri, 20000));
    ri->Reference(0)->TargetCursor().Assign(&fresh.Reference(0)->TargetCursor());
    source.SetSkipOnNull(false);
    r->Action(0)->SetSkipOnNull(false);
  }
}

// The password stays in the server's own copies.
TEST_F(RefIntegrityTest, ThePasswordIsLeftOutOfStreamsForClients) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  auto& target = static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor());
  target.SetPassword(u"s3cret");

  TnxRefIntegrityDescriptor forClient(nullptr, nxRefIntegrityName);
  LoadBytes(forClient, SavedBytes(*ri, 47501));
  EXPECT_EQ(static_cast<TnxTableTargetCursorDescriptor&>(forClient.Reference(0)->TargetCursor()).Password(), u"");

  std::vector<uint8_t> stored;
  {
    TnxDictStorageStream scope;
    stored = SavedBytes(*ri, 47501);
  }
  TnxRefIntegrityDescriptor own(nullptr, nxRefIntegrityName);
  LoadBytes(own, stored);
  EXPECT_EQ(static_cast<TnxTableTargetCursorDescriptor&>(own.Reference(0)->TargetCursor()).Password(), u"s3cret");
  EXPECT_FALSE(TnxDictStorageStream::Active());

  TnxRefIntegrityDescriptor copy(nullptr, nxRefIntegrityName);
  copy.Assign(ri);
  EXPECT_EQ(static_cast<TnxTableTargetCursorDescriptor&>(copy.Reference(0)->TargetCursor()).Password(), u"s3cret");
  EXPECT_TRUE(ri->IsEqual(&copy));
  std::unique_ptr<TnxDataDictionary> duplicate = dict.Duplicate();
  EXPECT_TRUE(ri->IsEqual(nxGetRefIntegrityDescriptor(*duplicate)));
  EXPECT_FALSE(TnxDictCopyScope::Active());

  // The whole dictionary written for a client holds no trace of it.
  TnxMemoryStream s;
  dict.WriteToStream(s, 47501);
  const std::u16string secret = u"s3cret";
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.ByteArray());
  const std::vector<uint8_t> all(bytes, bytes + s.GetSize());
  const std::string narrow(secret.begin(), secret.end());
  std::vector<uint8_t> wide;
  for (char16_t c : secret) {
    wide.push_back(static_cast<uint8_t>(c & 0xFF));
    wide.push_back(static_cast<uint8_t>(c >> 8));
  }
  EXPECT_EQ(std::search(all.begin(), all.end(), narrow.begin(), narrow.end()), all.end());
  EXPECT_EQ(std::search(all.begin(), all.end(), wide.begin(), wide.end()), all.end());
}

TEST_F(RefIntegrityTest, ReadersRefuseUnknownVersionsAndClasses) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  // A source or action layout of version 3.
  for (TnxDictionaryItem* item : {static_cast<TnxDictionaryItem*>(r->Source(0)),
                                  static_cast<TnxDictionaryItem*>(r->Action(0))}) {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      item->TnxDictionaryItem::SaveToWriter(w, 47501);
      w.WriteInteger(int32_t{3});
    }
    const auto* p = s.ByteArray();
    const std::vector<uint8_t> bytes(p, p + s.GetSize());
    EXPECT_EQ(CodeOf<EnxDictionaryItemException>([&] { LoadBytes(*item, bytes); }), 15498u);
  }

  struct Case {
    std::u16string from, to, message;
  } cases[] = {
      {u"TnxReferenceDescriptor", u"TnxReferenceDescriptoX", u"ReferenceDescriptor class is not supported: "},
      {u"TnxTableTargetCursorDescriptor", u"TnxTableTargetCursorDescriptoX",
       u"TargetCursorDescriptor class is not supported: "},
      {u"TnxFieldSourceDescriptor", u"TnxFieldSourceDescriptoX", u"SourceDescriptor class is not supported: "},
      {u"TnxBlockDeleteActionDescriptor", u"TnxBlockDeleteActionDescriptoX",
       u"ActionDescriptor class is not supported: "},
  };
  const std::vector<uint8_t> good = SavedBytes(*ri, 47501);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from.begin(), c.from.end()));
    std::vector<uint8_t> bytes = good;
    // Class names are 8-bit strings in the stream.
    const std::string from(c.from.begin(), c.from.end()), to(c.to.begin(), c.to.end());
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end());
    std::copy(to.begin(), to.end(), at);
    TnxRefIntegrityDescriptor read(nullptr, nxRefIntegrityName);
    EXPECT_HAS_TEXT(MessageOf<EnxBaseException>([&] { LoadBytes(read, bytes); }), c.message + c.to);
    EXPECT_EQ(CodeOf<EnxBaseException>([&] { LoadBytes(read, bytes); }), 15499u);
  }
}

TEST_F(RefIntegrityTest, SettersRefuseAReadOnlyDictionary) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  TnxReferenceDescriptor* rel = ri->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::ClassInfo());
  dict.MakeReadOnly();
  auto& table = static_cast<TnxTableTargetCursorDescriptor&>(r->TargetCursor());
  const std::function<void()> setters[] = {
      [&] { table.SetTableName(u"Other"); },
      [&] { table.SetPassword(u"pw"); },
      [&] { static_cast<TnxRelativeTargetCursorDescriptor&>(rel->TargetCursor()).SetTableName(u"Orders"); },
      [&] { r->Source(0)->SetSkipOnNull(true); },
      [&] { r->Action(0)->SetSkipOnNull(true); },
  };
  for (const auto& set : setters) EXPECT_EQ(CodeOf<EnxBaseException>(set), 15500u);
  EXPECT_EQ(table.TableName(), u"Customers");
}

TEST_F(RefIntegrityTest, TheTableFindsItsDescriptorByName) {
  EXPECT_EQ(nxGetRefIntegrityDescriptor(dict), ri);
  EXPECT_EQ(nxGetRefIntegrityDescriptor(*orders), nullptr);
  orders->CustomDescsDescriptor().AddCustom(u"refintegrity");
  EXPECT_THROW(nxGetRefIntegrityDescriptor(*orders), platform::EInvalidCast);
}

TEST_F(RefIntegrityTest, CachedEngineClassesAreNotCopied) {
  TnxReferenceDescriptor* r = CompleteReference(*ri);
  r->CachedEngineClass().Set(&TnxReferenceDescriptor::ClassInfo());
  TnxRefIntegrityDescriptor copy(nullptr, nxRefIntegrityName);
  copy.Assign(ri);
  EXPECT_EQ(copy.Reference(0)->CachedEngineClass().Get(), nullptr);
  EXPECT_EQ(r->CachedEngineClass().Get(), &TnxReferenceDescriptor::ClassInfo());
}

}  // namespace
}  // namespace revurov
