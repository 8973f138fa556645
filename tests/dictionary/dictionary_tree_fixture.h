// A small dictionary tree for the descriptor tests: a root standing in for
// the data dictionary (IDs, read-only switch, format version,
// constraint-name register, the files and fields it offers), an item that refers to a file by number the way index
// and record descriptors do, and a localized item.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/dictionary_item.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov::testing {

class TestRoot : public TnxLocalizedDictionaryItem, public InxDictionaryRoot {
  REVUROV_REGISTERABLE_CLASS(TestRoot, TnxLocalizedDictionaryItem)

  TestRoot() : TnxLocalizedDictionaryItem(nullptr) {}

  // Both bases ask the same question.
  void CheckReadOnly() override {
    if (ReadOnly) throw EnxDataDictionaryException(nxeDictionaryReadOnly);
  }
  int32_t NextID() override { return ++CurrentID; }
  uint32_t UsableBlockSize(TnxBlockSize aBlockSize) override { return nxBlockSizeBytes(aBlockSize) - 32; }
  int32_t DictionaryVersion() override { return Version; }

  void AddConstraintName(TnxDictionaryItem*, std::u16string_view aName) override {
    for (const auto& n : Names)
      if (platform::AsciiSameText(n, aName))
        throw EnxBaseTableDescriptorException(nxeNameNotUnique, u"Duplicate constraint name: %s", {aName});
    Names.emplace_back(aName);
  }
  void RemoveConstraintName(TnxDictionaryItem*, std::u16string_view aName) override {
    if (!RefuseRemovalOf.empty() && aName == RefuseRemovalOf)
      throw EnxBaseTableDescriptorException(nxeObjectInUse);
    std::erase_if(Names, [&](const std::u16string& n) { return platform::AsciiSameText(n, aName); });
  }
  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override {
    if (Files && Files->ClassType().InheritsFrom(aType)) {
      aDescriptor = Files.get();
      return true;
    }
    if (Fields && Fields->ClassType().InheritsFrom(aType)) {
      aDescriptor = Fields.get();
      return true;
    }
    return TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }

  bool ReadOnly = false;
  int32_t Version = 3;
  int32_t CurrentID = 0;
  std::vector<std::u16string> Names;
  std::u16string RefuseRemovalOf;
  std::unique_ptr<TnxFilesDescriptor> Files;
  // Declared after Files: gone first, before the files its indices use.
  std::unique_ptr<TnxFieldsDescriptor> Fields;

protected:
  InxDictionaryRoot* AsDictionaryRoot() noexcept override { return this; }
};

// Holds a file number, follows renumbering and refuses the removal of its
// file, as an index descriptor does.
class FileRef : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(FileRef, TnxDictionaryItem)

  FileRef(TnxPersistent* aParent, int32_t aFile) : TnxDictionaryItem(aParent), File(aFile) {
    RegisterFileChangeNotification();
  }
  ~FileRef() override { UnregisterFileChangeNotification(); }

  void FileChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    if (aBefore) {
      ++Befores;
      if (aOld == File && aNew < 0)
        throw EnxIndexDescriptorException(nxeObjectInUse,
                                          u"Cannot remove file %d because it is still referenced by an index", {File});
      return;
    }
    ++Afters;
    File = nxRenumberReference(File, aOld, aNew);
  }
  bool References(const TnxDictionaryItem* aItem) const override {
    const auto* file = dynamic_cast<const TnxFileDescriptor*>(aItem);
    return file && file->Number() == File;
  }

  int32_t File;
  int Befores = 0;
  int Afters = 0;
};

class LocalizedItem : public TnxLocalizedDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(LocalizedItem, TnxLocalizedDictionaryItem)
  using TnxLocalizedDictionaryItem::TnxLocalizedDictionaryItem;
};

// The bytes an item writes for aClientVersion.
inline std::vector<uint8_t> SavedBytes(const TnxDictionaryItem& aItem, uint32_t aClientVersion) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aItem.SaveToWriter(w, aClientVersion);
  }
  const auto* p = s.ByteArray();
  return std::vector<uint8_t>(p, p + s.GetSize());
}

// Reads aBytes into aItem and checks that every byte was taken.
inline void LoadBytes(TnxDictionaryItem& aItem, const std::vector<uint8_t>& aBytes) {
  TnxStaticMemoryStream s(const_cast<uint8_t*>(aBytes.data()), static_cast<int64_t>(aBytes.size()));
  TnxReader r(s);
  aItem.LoadFromReader(r);
  EXPECT_EQ(r.BytesLeft(), 0);
}

// The code of the exception of class E that f raises; 0 when none.
template <class E>
uint32_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.ErrorCode();
  }
  return 0;
}

// The base part of an item without custom strings and constraint name, as
// a reader from 20000 on takes it.
inline void WriteItemHeader(TnxWriter& w, int32_t aID = 0) {
  w.WriteInteger(int32_t{3});
  w.WriteListBegin();
  w.WriteListEnd();
  w.WriteInteger(aID);
  w.WriteString(u"");
}

// The descriptor classes are found through the dictionary's registries.
class DictionaryTreeTest : public ::testing::Test {
protected:
  TnxDictionaryStartupGuard startup;
};

// A table's worth of tree: files "", "a" and "b", a field list and the main
// indices (gone before the root, whose fields and files they listen to).
class TableTreeTest : public DictionaryTreeTest {
protected:
  TableTreeTest() {
    root.Files = std::make_unique<TnxFilesDescriptor>(&root);
    for (auto ext : {u"", u"a", u"b"}) root.Files->AddFile(ext, nxbs4k, u"");
    root.Fields = std::make_unique<TnxFieldsDescriptor>(&root);
    indices = std::make_unique<TnxMainIndicesDescriptor>(&root, "Indices");
  }
  TnxFieldsDescriptor& fields() { return *root.Fields; }
  TnxFilesDescriptor& files() { return *root.Files; }
  TnxFieldDescriptor* AddField(std::u16string_view aName, TnxFieldType aType, int32_t aUnits = 0,
                               bool aRequired = false) {
    return root.Fields->AddField(aName, u"", aType, aUnits, 0, aRequired);
  }

  TestRoot root;
  std::unique_ptr<TnxMainIndicesDescriptor> indices;
};

}  // namespace revurov::testing
