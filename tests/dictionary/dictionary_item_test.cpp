#include "dictionary/dictionary_item.h"

#include <gtest/gtest.h>

#include "dictionary/dictionary_tree_fixture.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::FileRef;
using testing::LoadBytes;
using testing::SavedBytes;
using testing::TestRoot;
using testing::Written;

class PackingItem : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(PackingItem, TnxDictionaryItem)
  using TnxDictionaryItem::TnxDictionaryItem;
  bool DoRequiresPack() const override { return true; }
};

struct RenumberCase {
  int32_t m, old, now, expected;
};

TEST(RenumberReference, FollowsInsertionsMovesAndRemovals) {
  const RenumberCase cases[] = {
      {3, 3, 5, 5},   {3, 3, -1, -1},  // its own member moved, removed
      {3, 1, -1, 2},  {3, 1, 5, 2},  {3, 1, 3, 2}, {3, 1, 2, 3},  // from below
      {3, -1, 0, 4},  {3, -1, 3, 4}, {3, -1, 4, 3},               // insertions
      {3, 5, 3, 4},   {3, 5, 0, 4},  {3, 5, 4, 3}, {3, 5, -1, 3},  // from above
      {0, -1, 0, 1},  {0, 2, 0, 1},  {0, 1, 2, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(nxRenumberReference(c.m, c.old, c.now), c.expected) << c.m << " " << c.old << " " << c.now;
}

TEST(DictionaryItem, JoinsItsParentTakesAnIDAndLeavesWhenDestroyed) {
  TestRoot root;
  EXPECT_EQ(root.ID(), 0);
  {
    TnxDictionaryItem a(&root);
    TnxDictionaryItem b(&a);
    EXPECT_EQ(a.ID(), 1);
    EXPECT_EQ(b.ID(), 2);
    EXPECT_EQ(root.ChildCount(), 1);
    EXPECT_EQ(root.Child(0), &a);
    EXPECT_EQ(a.Child(0), &b);
    EXPECT_EQ(b.ParentItem(), &a);
  }
  EXPECT_EQ(root.ChildCount(), 0);
  TnxDictionaryItem loose(nullptr);
  EXPECT_EQ(loose.ID(), 0);
}

TEST(DictionaryItem, RefusesChangesWhileTheDictionaryIsReadOnly) {
  TestRoot root;
  TnxDictionaryItem item(&root);
  platform::TStringList lines;
  lines.Add(u"a=1");
  item.SetCustomStrings(&lines);
  root.ReadOnly = true;
  EXPECT_THROW(item.SetCustomStrings(nullptr), EnxDataDictionaryException);
  EXPECT_THROW(item.Clear(false), EnxDataDictionaryException);
  EXPECT_THROW(item.SetConstraintName(u"C1"), EnxDataDictionaryException);
  EXPECT_TRUE(item.HasCustomStrings());
  root.ReadOnly = false;
  item.SetCustomStrings(nullptr);
  EXPECT_FALSE(item.HasCustomStrings());
}

TEST(DictionaryItem, ConstraintNamesAreRegisteredWithTheTable) {
  TestRoot root;
  auto a = std::make_unique<TnxDictionaryItem>(&root);
  TnxDictionaryItem b(&root);
  a->SetConstraintName(u"PK");
  a->SetConstraintName(u"PK");  // the same name again changes nothing
  EXPECT_EQ(root.Names, std::vector<std::u16string>{u"PK"});

  // A name the table already has: old name and property stay.
  b.SetConstraintName(u"FK");
  EXPECT_THROW(b.SetConstraintName(u"pk"), EnxBaseTableDescriptorException);
  EXPECT_EQ(b.ConstraintName(), u"FK");
  EXPECT_EQ(root.Names, (std::vector<std::u16string>{u"PK", u"FK"}));

  // When the old name cannot leave, the new one is taken back.
  root.RefuseRemovalOf = u"FK";
  EXPECT_THROW(b.SetConstraintName(u"FK2"), EnxBaseTableDescriptorException);
  EXPECT_EQ(b.ConstraintName(), u"FK");
  EXPECT_EQ(root.Names, (std::vector<std::u16string>{u"PK", u"FK"}));
  root.RefuseRemovalOf.clear();

  b.SetConstraintName(u"$Reserved");
  EXPECT_EQ(root.Names, (std::vector<std::u16string>{u"PK", u"$Reserved"}));
  a.reset();  // a destroyed item's name leaves the register
  EXPECT_EQ(root.Names, std::vector<std::u16string>{u"$Reserved"});
  b.SetConstraintName(u"");
  EXPECT_TRUE(root.Names.empty());

  try {
    b.SetConstraintName(u"a*b");
    FAIL();
  } catch (const EnxDictionaryItemException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidName);
    EXPECT_NE(e.Message().find(u"Invalid name."), std::u16string::npos);
  }
}

TEST(DictionaryItem, ValidationForABuildKeepsTheLastLineOfEachName) {
  TnxDictionaryItem item(nullptr);
  for (auto line : {u"a=1", u"A=2", u"  ", u"x"}) item.CustomStrings().Add(line);
  item.CheckValid(false);
  EXPECT_EQ(item.CustomStrings().Count(), 4);
  item.CheckValid(true);
  ASSERT_EQ(item.CustomStrings().Count(), 2);
  EXPECT_EQ(item.CustomStrings()[0], u"A=2");
  EXPECT_EQ(item.CustomStrings()[1], u"x");

  TnxDictionaryItem single(nullptr);
  single.CustomStrings().Add(u"");
  single.CheckValid(true);  // one line: nothing to compare
  EXPECT_EQ(single.CustomStrings().Count(), 1);
}

TEST(DictionaryItem, WritesItsBasePartForTheReadersVersion) {
  TestRoot root;
  TnxDictionaryItem item(&root);
  item.CustomStrings().Add(u"a=1");
  item.SetConstraintName(u"C");
  EXPECT_EQ(SavedBytes(item, nxLibraryVersion), Written([&](TnxWriter& w) {
              w.WriteInteger(int32_t{3});
              w.WriteListBegin();
              w.WriteString(u"a=1");
              w.WriteListEnd();
              w.WriteInteger(item.ID());
              w.WriteString(u"C");
            }));
  // Before IDs and constraint names existed.
  EXPECT_EQ(SavedBytes(item, 19999), Written([](TnxWriter& w) {
              w.WriteInteger(int32_t{1});
              w.WriteListBegin();
              w.WriteString(u"a=1");
              w.WriteListEnd();
            }));
  EXPECT_EQ(SavedBytes(item, 20000), SavedBytes(item, nxLibraryVersion));
}

TEST(DictionaryItem, ReadsEveryBaseLayoutAndRefusesOthers) {
  auto layout = [](int32_t version) {
    return Written([version](TnxWriter& w) {
      w.WriteInteger(version);
      w.WriteListBegin();
      w.WriteString(u"n=v");
      w.WriteListEnd();
      if (version >= 2) w.WriteInteger(int32_t{42});
      if (version >= 3) w.WriteString(u"CN");
    });
  };
  for (int32_t version : {1, 2, 3}) {
    TnxDictionaryItem item(nullptr);
    item.SetID(7);
    LoadBytes(item, layout(version));
    EXPECT_EQ(item.CustomStrings().Values(u"n"), u"v");
    EXPECT_EQ(item.ID(), version >= 2 ? 42 : 7) << version;
    EXPECT_EQ(item.ConstraintName(), version >= 3 ? u"CN" : u"") << version;
  }
  for (int32_t version : {0, 4, -1}) {
    TnxDictionaryItem item(nullptr);
    try {
      LoadBytes(item, layout(version));
      FAIL() << version;
    } catch (const EnxDictionaryItemException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
    }
  }
}

TEST(DictionaryItem, AStrippedDictionarySaysSoInItsCustomStrings) {
  TestRoot root;
  nxDictInfoStripped = true;
  auto stripped = SavedBytes(root, nxLibraryVersion);
  root.CustomStrings().Add(u"$MissingInformation=Partly");
  auto given = SavedBytes(root, nxLibraryVersion);
  TnxDictionaryItem item(nullptr);
  auto plain = SavedBytes(item, nxLibraryVersion);  // only the dictionary says it
  nxDictInfoStripped = false;

  TestRoot a;
  LoadBytes(a, stripped);
  EXPECT_EQ(a.CustomStrings().Values(u"$MissingInformation"), u"True");
  TestRoot b;
  LoadBytes(b, given);
  EXPECT_EQ(b.CustomStrings().Count(), 1);
  TnxDictionaryItem c(nullptr);
  LoadBytes(c, plain);
  EXPECT_FALSE(c.HasCustomStrings());
}

TEST(DictionaryItem, AssignCopiesEverythingButTheID) {
  TestRoot rootA, rootB;
  TnxDictionaryItem source(&rootA);
  source.CustomStrings().Add(u"k=v");
  source.SetConstraintName(u"C1");
  TnxDictionaryItem padding(&rootB);
  TnxDictionaryItem target(&rootB);
  ASSERT_NE(target.ID(), source.ID());
  const int32_t id = target.ID();
  target.CustomStrings().Add(u"old=1");
  target.Assign(&source);
  EXPECT_EQ(target.ID(), id);
  EXPECT_EQ(target.CustomStrings().Count(), 1);
  EXPECT_EQ(target.CustomStrings().Values(u"k"), u"v");
  EXPECT_EQ(target.ConstraintName(), u"C1");
  EXPECT_EQ(rootB.Names, std::vector<std::u16string>{u"C1"});
  EXPECT_EQ(nxDictAssignDepth, 0);

  // The depth goes back down when reading fails.
  TnxDictionaryItem clash(&rootB);
  EXPECT_THROW(clash.Assign(&source), EnxBaseTableDescriptorException);
  EXPECT_EQ(nxDictAssignDepth, 0);

  // Another class goes to the persistence layer, which knows neither.
  PackingItem other(nullptr);
  EXPECT_THROW(target.Assign(&other), platform::Exception);
  EXPECT_THROW(target.Assign(nullptr), platform::Exception);
}

TEST(DictionaryItem, FindsParentsAndRelatedDescriptors) {
  TestRoot root;
  TnxDictionaryItem child(&root);
  TnxDictionaryItem grandChild(&child);
  TnxPersistent* found = nullptr;
  EXPECT_TRUE(grandChild.FindParentOfType(TestRoot::ClassInfo(), found));
  EXPECT_EQ(found, &root);
  EXPECT_TRUE(grandChild.FindParentOfType(TnxDictionaryItem::ClassInfo(), found));
  EXPECT_EQ(found, &child);
  EXPECT_FALSE(root.FindParentOfType(TestRoot::ClassInfo(), found));  // never itself
  EXPECT_EQ(found, nullptr);

  TnxDictionaryItem loose(nullptr);
  try {
    loose.GetParentOfType(TestRoot::ClassInfo());
    FAIL();
  } catch (const EnxDictionaryItemException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeObjectNotFound);
    EXPECT_NE(e.Message().find(u"No Parent of type TestRoot could be found"), std::u16string::npos);
  }

  // The related lookup climbs to what the root offers.
  EXPECT_THROW(grandChild.GetRelatedDescriptorOfType(TnxFilesDescriptor::ClassInfo()), EnxDictionaryItemException);
  root.Files = std::make_unique<TnxFilesDescriptor>(&root);
  EXPECT_EQ(grandChild.GetRelatedDescriptorOfType(TnxFilesDescriptor::ClassInfo()), root.Files.get());
  EXPECT_EQ(grandChild.GetRelatedDescriptorOfType(TnxDictionaryItem::ClassInfo()), &grandChild);
}

TEST(DictionaryItem, IteratesTheChildrenThatReferenceAnItem) {
  TestRoot root;
  root.Files = std::make_unique<TnxFilesDescriptor>(&root);
  root.Files->AddFile(u"", nxbs4k, u"");
  root.Files->AddFile(u"ix", nxbs4k, u"");
  const TnxFileDescriptor* ix = root.Files->FileDescriptor(1);

  int calls = 0;
  auto count = [&calls](TnxDictionaryItem*, void*) {
    ++calls;
    return irContinue;
  };
  TnxDictionaryItem empty(nullptr);
  EXPECT_EQ(empty.IterateReferencing(count, nullptr, ix, true), irContinue);
  EXPECT_EQ(calls, 0);

  TnxDictionaryItem holder(&root);
  FileRef direct(&root, 1);
  FileRef other(&root, 0);
  FileRef nested(&holder, 1);
  std::vector<TnxDictionaryItem*> seen;
  auto collect = [&seen](TnxDictionaryItem* item, void* cookie) {
    EXPECT_EQ(cookie, &seen);
    seen.push_back(item);
    return irContinue;
  };
  EXPECT_EQ(root.IterateReferencing(collect, &seen, ix, false), irContinue);
  EXPECT_EQ(seen, std::vector<TnxDictionaryItem*>{&direct});
  seen.clear();
  EXPECT_EQ(root.IterateReferencing(collect, &seen, ix, true), irContinue);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_NE(std::find(seen.begin(), seen.end(), &nested), seen.end());

  calls = 0;
  auto stop = [&calls](TnxDictionaryItem*, void*) {
    ++calls;
    return irStop;
  };
  EXPECT_EQ(root.IterateReferencing(stop, nullptr, ix, true), irStop);
  EXPECT_EQ(calls, 1);
}

TEST(DictionaryItem, RequiresPackWhenItOrAnyDescendantDoes) {
  TnxDictionaryItem root(nullptr);
  TnxDictionaryItem child(&root);
  EXPECT_FALSE(root.RequiresPack());
  PackingItem deep(&child);
  EXPECT_TRUE(root.RequiresPack());
}

TEST(DictionaryItem, CacheActivationReachesEveryDescendant) {
  TnxDictionaryItem root(nullptr);
  TnxDictionaryItem child(&root);
  TnxDictionaryItem grandChild(&child);
  root.ActivateCache();
  EXPECT_TRUE(grandChild.CacheActive());
  root.DeactivateCache();
  EXPECT_FALSE(child.CacheActive());
  EXPECT_FALSE(grandChild.CacheActive());
}

TEST(DictionaryExceptions, EachDescriptorKindIsCaughtWithItsFamily) {
  auto raise = [] { throw EnxExtTextKeyFieldDescriptorException(nxeInvalidDescriptor); };
  EXPECT_THROW(raise(), EnxTextKeyFieldDescriptorException);
  EXPECT_THROW(raise(), EnxLocaleizedDictionaryItemException);
  EXPECT_THROW(raise(), EnxDictionaryItemException);
  EXPECT_THROW(raise(), EnxBaseDictionaryException);
  EXPECT_THROW(raise(), EnxBaseException);
  try {
    throw EnxNoNullCompKeyDescriptorException(nxeInvalidDescriptor);
  } catch (const EnxBaseKeyDescriptorException& e) {
    EXPECT_EQ(e.ClassName(), u"EnxNoNullCompKeyDescriptorException");
  }
  EXPECT_THROW(throw EnxMainIndicesDescriptorException(1), EnxBaseIndicesDescriptorException);
  EXPECT_THROW(throw EnxAdvAutoIncDescriptorException(1), EnxBaseAutoIncDescriptorException);
}

class DescriptorRegistry : public testing::DictionaryTreeTest {};

TEST_F(DescriptorRegistry, FindsEachFamilysClassesByNameInAnyCase) {
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxFileDescriptor::ClassInfo(), u"TNXFILEDESCRIPTOR"),
            &TnxFileDescriptor::ClassInfo());
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxFilesDescriptor::ClassInfo(), u"TnxFilesDescriptor"),
            &TnxFilesDescriptor::ClassInfo());
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxLocaleDescriptor::ClassInfo(), u"tnxlocaledescriptor"),
            &TnxLocaleDescriptor::ClassInfo());
  // Families are apart, and the item base has no registry.
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxFileDescriptor::ClassInfo(), u"TnxLocaleDescriptor"), nullptr);
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxDictionaryItem::ClassInfo(), u"TnxFileDescriptor"), nullptr);
}

TEST(DescriptorRegistryLifetime, IsEmptyOutsideTheDictionarysStartUp) {
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxFileDescriptor::ClassInfo(), u"TnxFileDescriptor"), nullptr);
  {
    TnxDictionaryStartupGuard startup;
    EXPECT_NE(TnxDictionaryItem::FindDescriptorClass(TnxFileDescriptor::ClassInfo(), u"TnxFileDescriptor"), nullptr);
  }
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass(TnxFileDescriptor::ClassInfo(), u"TnxFileDescriptor"), nullptr);
}

}  // namespace
}  // namespace revurov
