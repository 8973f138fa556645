// The base of every dictionary descriptor: its place in the dictionary tree,
// its ID, custom strings and constraint name, the lookups up and across the
// tree, change notifications, copying and the base part of its stream.
//
// Contract:
// - An item is created with its parent and joins the parent's child list
//   (when the parent is an item); the descendant that holds a child owns
//   it, and a child leaves the list when it is destroyed. The child list is
//   ordered by object identity, so its order carries no meaning.
// - The data dictionary at the root of a tree answers InxDictionaryRoot:
//   items take their ID from it at creation and ask it whether the tree is
//   read-only before every change (15500 when it is).
// - Stream writers take the client version of the reader the stream is
//   meant for and write the oldest layout that reader understands; readers
//   refuse layout versions they do not know with 15498. A reader leaves a
//   partly read item behind on failure; the caller discards it.
// - Copying (Assign) between items of the same class goes through a stream
//   at the library's own version; the target keeps its ID.
// - Items are not locked: one thread builds a tree; a read-only, cached
//   tree is read by many.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dictionary_exceptions.h"
#include "dictionary/engine_types.h"
#include "lowlevel/objects/registerable.h"

namespace revurov::platform {
class TStringList;
}

namespace revurov {

class TnxReader;
class TnxWriter;
class TnxSortedList;
class TnxDictionaryItem;

// Client versions at which descriptor layouts change.
inline constexpr uint32_t nxClientVersionIDs = 20000;        // IDs, constraint names
inline constexpr uint32_t nxClientVersionCollation = 30900;  // locale collation stamps

// Depth of same-class copies in progress on this thread: while above zero
// a read item keeps its own ID.
extern thread_local int32_t nxDictAssignDepth;
// Set while a stream for an older client drops information.
extern thread_local bool nxDictInfoStripped;

// While open, the dictionary streams of this thread are copies within the
// process (Assign, Duplicate): written and read here, never sent, so they
// may carry what other streams leave out (secrets, an item's own locale).
class TnxDictCopyScope {
public:
  TnxDictCopyScope() noexcept { ++Depth(); }
  ~TnxDictCopyScope() { --Depth(); }
  TnxDictCopyScope(const TnxDictCopyScope&) = delete;
  TnxDictCopyScope& operator=(const TnxDictCopyScope&) = delete;
  static bool Active() noexcept { return Depth() > 0; }

private:
  static int32_t& Depth() noexcept;
};

enum TnxIteratorResult : uint8_t { irContinue, irStop };
using TnxDictionaryItemIterator = std::function<TnxIteratorResult(TnxDictionaryItem* aItem, void* aCookie)>;

// What the items of a tree ask of the data dictionary at its root.
class InxDictionaryRoot {
public:
  // Raises 15500 "The data dictionary is read only" while it is.
  virtual void CheckReadOnly() = 0;
  // The next free ID (increments the current one).
  virtual int32_t NextID() = 0;
  virtual uint32_t UsableBlockSize(TnxBlockSize aBlockSize) = 0;
  // The dictionary format version (1 to 5); version 1 stores records with
  // the null bitmap right after the fields, unaligned.
  virtual int32_t DictionaryVersion() { return 3; }

protected:
  ~InxDictionaryRoot() = default;
};

// Both absent, or both present and equal: how a descriptor compares its
// optional children.
bool nxBothAbsentOrEqual(const TnxDictionaryItem* a, const TnxDictionaryItem* b);

// Sets the line "aName=aValue" in aLines (names compare A to Z without
// case), replacing the first of that name; an empty value removes it.
void nxSetLineValue(std::vector<std::u16string>& aLines, std::u16string_view aName, std::u16string_view aValue);

// The rule by which a holder of member number m follows a renumbering from
// aOld to aNew (-1: none): an insertion is (-1, new), a removal (old, -1),
// a move (old, new).
int32_t nxRenumberReference(int32_t m, int32_t aOld, int32_t aNew) noexcept;

class TnxDictionaryItem : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_CLASS(TnxDictionaryItem, TnxBaseRegisterableDescriptor)

  explicit TnxDictionaryItem(TnxPersistent* aParent);
  ~TnxDictionaryItem() override;
  TnxDictionaryItem(const TnxDictionaryItem&) = delete;
  TnxDictionaryItem& operator=(const TnxDictionaryItem&) = delete;

  TnxPersistent* DirectParent() const noexcept { return diParent; }
  // The parent when it is a dictionary item.
  TnxDictionaryItem* ParentItem() const noexcept { return diParentItem; }
  int32_t ChildCount() const noexcept;
  TnxDictionaryItem* Child(int32_t aIndex) const;

  int32_t ID() const noexcept { return diID; }
  void SetID(int32_t aID) noexcept { diID = aID; }
  const std::u16string& ConstraintName() const noexcept { return diConstraintName; }
  // Registers the name with the table (which may refuse a duplicate) and
  // drops the old one; a failure leaves both name and register as they were.
  void SetConstraintName(std::u16string_view aName);
  bool HasCustomStrings() const noexcept;
  // Created on first use.
  platform::TStringList& CustomStrings();
  // Copies the lines in; null or no lines frees the list.
  void SetCustomStrings(const platform::TStringList* aLines);
  bool CacheActive() const noexcept { return diCacheActive; }

  virtual void CheckReadOnly();
  virtual void ActivateCache();
  virtual void DeactivateCache();
  virtual void AddChild(TnxDictionaryItem* aItem);
  virtual void RemoveChild(TnxDictionaryItem* aItem);
  // Passed up to the table descriptor, which keeps the names.
  virtual void AddConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName);
  virtual void RemoveConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName);
  virtual void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField);
  virtual void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile);
  virtual void IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex);
  // True for an item of exactly this class.
  virtual bool IsCompatibleWith(const TnxDictionaryItem* aItem) const;
  virtual bool DoRequiresPack() const { return false; }
  // Frees the custom strings; ID and constraint name stay.
  virtual void Clear(bool aNotify);
  // This item when it is of aType, else what the nearest item up the tree
  // offers; descendants offer what they hold first.
  virtual bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                           TnxDictionaryItem* aFrom = nullptr);
  virtual void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  virtual void LoadFromReader(TnxReader& aReader);
  // With aForBuild, custom strings keep the last line of each name and lose
  // blank lines without one.
  virtual void CheckValid(bool aForBuild);
  virtual bool IsEqual(const TnxDictionaryItem* aItem) const;
  virtual bool References(const TnxDictionaryItem* aItem) const;

  void Assign(const TnxPersistent* aSource) override;

  // Up the owners from the parent; the item itself is never a candidate.
  bool FindParentOfType(const TnxRegisterableClass& aType, TnxPersistent*& aParent) const;
  // The same; 8712 when there is none.
  TnxPersistent* GetParentOfType(const TnxRegisterableClass& aType) const;
  // FindRelatedDescriptorOfType or 8712.
  TnxDictionaryItem* GetRelatedDescriptorOfType(const TnxRegisterableClass& aType);
  template <class T>
  T* FindRelated() {
    TnxDictionaryItem* d = nullptr;
    return FindRelatedDescriptorOfType(T::ClassInfo(), d, nullptr) ? static_cast<T*>(d) : nullptr;
  }
  // Calls aIterator for each child that references aItem (and, with
  // aRecursive, for their descendants that do); irStop ends the walk.
  TnxIteratorResult IterateReferencing(const TnxDictionaryItemIterator& aIterator, void* aCookie,
                                       const TnxDictionaryItem* aItem, bool aRecursive);
  bool RequiresPack() const;
  // Listens to the related files descriptor; nothing when none is related.
  void RegisterFileChangeNotification();
  void UnregisterFileChangeNotification();

protected:
  // The custom string lines the item header carries: the item's own, plus
  // what a descendant derives from its fields. The item does not change.
  virtual std::vector<std::u16string> StreamCustomStrings() const;
  // The data dictionary answers itself.
  virtual InxDictionaryRoot* AsDictionaryRoot() noexcept { return nullptr; }
  // The dictionary up the tree, starting at the parent.
  InxDictionaryRoot* FindDictionaryRoot() const noexcept;

private:
  TnxPersistent* diParent = nullptr;
  // diParent as an item, found once: the tree is walked upwards on every
  // lookup and every check for a change.
  TnxDictionaryItem* diParentItem = nullptr;
  std::unique_ptr<TnxSortedList> diChilds;
  std::unique_ptr<platform::TStringList> diCustomStrings;
  int32_t diID = 0;
  std::u16string diConstraintName;
  bool diCacheActive = false;
};

// Registered listeners of a descriptor that renumbers its members, ordered
// by object identity; the list exists while someone listens. Listeners
// must leave before they are destroyed.
class TnxChangeListeners {
public:
  TnxChangeListeners();
  ~TnxChangeListeners();
  TnxChangeListeners(const TnxChangeListeners&) = delete;
  TnxChangeListeners& operator=(const TnxChangeListeners&) = delete;

  void Add(TnxDictionaryItem* aItem);
  void Remove(TnxDictionaryItem* aItem);
  int32_t Count() const noexcept;
  // Calls aNotify for every listener in list order; a raise ends the walk.
  void Notify(const std::function<void(TnxDictionaryItem&)>& aNotify);

private:
  std::unique_ptr<TnxSortedList> clList;
};

}  // namespace revurov
