#include "dictionary/dictionary_item.h"

#include "dictionary/file_descriptors.h"
#include "lowlevel/objects/lists.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

thread_local int32_t nxDictAssignDepth = 0;
thread_local bool nxDictInfoStripped = false;

int32_t& TnxDictCopyScope::Depth() noexcept {
  thread_local int32_t depth = 0;
  return depth;
}

namespace {

constexpr std::u16string_view kMissingInformation = u"$MissingInformation";

class TnxDictAssignDepthGuard {
public:
  TnxDictAssignDepthGuard() noexcept { ++nxDictAssignDepth; }
  ~TnxDictAssignDepthGuard() { --nxDictAssignDepth; }
  TnxDictAssignDepthGuard(const TnxDictAssignDepthGuard&) = delete;
  TnxDictAssignDepthGuard& operator=(const TnxDictAssignDepthGuard&) = delete;
};

bool IsOfType(const TnxPersistent* aObject, const TnxRegisterableClass& aType) noexcept {
  const auto* d = dynamic_cast<const TnxBaseRegisterableDescriptor*>(aObject);
  return d && d->ClassType().InheritsFrom(aType);
}

std::u16string TrimmedBlanks(std::u16string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  return std::u16string(s.substr(b, e - b));
}

}  // namespace

bool nxBothAbsentOrEqual(const TnxDictionaryItem* a, const TnxDictionaryItem* b) {
  if (!a || !b) return !a && !b;
  return a->IsEqual(b);
}

void nxSetLineValue(std::vector<std::u16string>& aLines, std::u16string_view aName, std::u16string_view aValue) {
  for (auto it = aLines.begin(); it != aLines.end(); ++it) {
    const size_t eq = it->find(u'=');
    if (eq == std::u16string::npos || !platform::AsciiSameText(std::u16string_view(*it).substr(0, eq), aName))
      continue;
    if (aValue.empty())
      aLines.erase(it);
    else
      *it = std::u16string(aName) + u"=" + std::u16string(aValue);
    return;
  }
  if (!aValue.empty()) aLines.push_back(std::u16string(aName) + u"=" + std::u16string(aValue));
}

int32_t nxRenumberReference(int32_t m, int32_t aOld, int32_t aNew) noexcept {
  if (aOld == m) return aNew;
  if (aOld >= 0 && aOld < m && (aNew < 0 || aNew >= m)) return m - 1;
  if ((aOld < 0 || aOld > m) && aNew >= 0 && aNew <= m) return m + 1;
  return m;
}

// ---- TnxDictionaryItem ----

TnxDictionaryItem::TnxDictionaryItem(TnxPersistent* aParent)
    : diParent(aParent), diParentItem(dynamic_cast<TnxDictionaryItem*>(aParent)) {
  if (InxDictionaryRoot* root = FindDictionaryRoot()) diID = root->NextID();
  if (TnxDictionaryItem* parent = ParentItem()) parent->AddChild(this);
}

TnxDictionaryItem::~TnxDictionaryItem() {
  diChilds.reset();
  if (TnxDictionaryItem* parent = ParentItem()) parent->RemoveChild(this);
  if (!diConstraintName.empty()) {
    // A destructor cannot report a refusal; the name leaves the register
    // either way.
    try {
      RemoveConstraintName(this, diConstraintName);
    } catch (...) {
    }
    diConstraintName.clear();
  }
}

int32_t TnxDictionaryItem::ChildCount() const noexcept { return diChilds ? diChilds->Count() : 0; }

TnxDictionaryItem* TnxDictionaryItem::Child(int32_t aIndex) const {
  if (!diChilds) TnxBaseList::Error(u"List index out of bounds (%d)", aIndex);
  return static_cast<TnxDictionaryItem*>(diChilds->blGet(aIndex));
}

InxDictionaryRoot* TnxDictionaryItem::FindDictionaryRoot() const noexcept {
  for (TnxDictionaryItem* p = ParentItem(); p; p = p->ParentItem())
    if (InxDictionaryRoot* root = p->AsDictionaryRoot()) return root;
  return nullptr;
}

void TnxDictionaryItem::SetConstraintName(std::u16string_view aName) {
  if (nxCheckIdentifier(aName, nxeInvalidName, true, true) != 0)
    throw EnxDictionaryItemException(nxeInvalidName);
  if (aName == diConstraintName) return;
  CheckReadOnly();
  const std::u16string old = diConstraintName;
  if (!aName.empty()) AddConstraintName(this, aName);
  if (!old.empty()) {
    try {
      RemoveConstraintName(this, old);
    } catch (...) {
      if (!aName.empty()) RemoveConstraintName(this, aName);
      throw;
    }
  }
  diConstraintName = aName;
}

bool TnxDictionaryItem::HasCustomStrings() const noexcept {
  return diCustomStrings && diCustomStrings->Count() > 0;
}

platform::TStringList& TnxDictionaryItem::CustomStrings() {
  if (!diCustomStrings) diCustomStrings = std::make_unique<platform::TStringList>();
  return *diCustomStrings;
}

void TnxDictionaryItem::SetCustomStrings(const platform::TStringList* aLines) {
  CheckReadOnly();
  if (!aLines || aLines->Count() == 0) {
    diCustomStrings.reset();
    return;
  }
  if (aLines == diCustomStrings.get()) return;
  auto lines = std::make_unique<platform::TStringList>();
  for (int i = 0; i < aLines->Count(); ++i) lines->Add((*aLines)[i]);
  diCustomStrings = std::move(lines);
}

void TnxDictionaryItem::CheckReadOnly() {
  if (InxDictionaryRoot* root = AsDictionaryRoot() ? AsDictionaryRoot() : FindDictionaryRoot())
    root->CheckReadOnly();
}

void TnxDictionaryItem::ActivateCache() {
  if (diCacheActive) return;
  diCacheActive = true;
  for (int32_t i = 0; i < ChildCount(); ++i) Child(i)->ActivateCache();
}

void TnxDictionaryItem::DeactivateCache() {
  if (!diCacheActive) return;
  diCacheActive = false;
  for (int32_t i = 0; i < ChildCount(); ++i) Child(i)->DeactivateCache();
}

void TnxDictionaryItem::AddChild(TnxDictionaryItem* aItem) {
  if (!diChilds) diChilds = std::make_unique<TnxSortedList>();
  diChilds->Add(aItem);
}

void TnxDictionaryItem::RemoveChild(TnxDictionaryItem* aItem) {
  if (!diChilds) return;
  diChilds->Remove(aItem);
  if (diChilds->Count() == 0) diChilds.reset();
}

void TnxDictionaryItem::AddConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->AddConstraintName(aItem, aName);
}

void TnxDictionaryItem::RemoveConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->RemoveConstraintName(aItem, aName);
}

void TnxDictionaryItem::FieldChangeNotification(bool, int32_t, int32_t) {}
void TnxDictionaryItem::FileChangeNotification(bool, int32_t, int32_t) {}
void TnxDictionaryItem::IndexChangeNotification(bool, int32_t, int32_t) {}

bool TnxDictionaryItem::IsCompatibleWith(const TnxDictionaryItem* aItem) const {
  return aItem && &aItem->ClassType() == &ClassType();
}

void TnxDictionaryItem::Clear(bool) {
  CheckReadOnly();
  diCustomStrings.reset();
}

bool TnxDictionaryItem::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType,
                                                    TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  if (!aFrom) aFrom = this;
  if (ClassType().InheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  if (TnxDictionaryItem* parent = ParentItem())
    return parent->FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  aDescriptor = nullptr;
  return false;
}

std::vector<std::u16string> TnxDictionaryItem::StreamCustomStrings() const {
  std::vector<std::u16string> lines;
  const int count = diCustomStrings ? diCustomStrings->Count() : 0;
  for (int i = 0; i < count; ++i) lines.push_back((*diCustomStrings)[i]);
  // A reader of a stripped dictionary must learn that it is not whole.
  if (nxDictInfoStripped && const_cast<TnxDictionaryItem*>(this)->AsDictionaryRoot() &&
      (!diCustomStrings || diCustomStrings->Values(kMissingInformation).empty()))
    lines.push_back(std::u16string(kMissingInformation) + u"=True");
  return lines;
}

void TnxDictionaryItem::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteInteger(int32_t{aClientVersion < nxClientVersionIDs ? 1 : 3});
  aWriter.WriteListBegin();
  for (const auto& line : StreamCustomStrings()) aWriter.WriteString(line);
  aWriter.WriteListEnd();
  if (aClientVersion >= nxClientVersionIDs) {
    aWriter.WriteInteger(diID);
    aWriter.WriteString(diConstraintName);
  }
}

void TnxDictionaryItem::LoadFromReader(TnxReader& aReader) {
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EnxDictionaryItemException(nxeIncompatibleStream);
  aReader.ReadListBegin();
  diCustomStrings.reset();
  while (!aReader.EndOfList()) CustomStrings().Add(aReader.ReadString());
  aReader.ReadListEnd();
  if (version >= 2) {
    const int32_t id = aReader.ReadInteger();
    if (nxDictAssignDepth <= 0) diID = id;
  }
  if (version >= 3) SetConstraintName(aReader.ReadString());
}

void TnxDictionaryItem::CheckValid(bool aForBuild) {
  if (!aForBuild || !diCustomStrings || diCustomStrings->Count() < 2) return;
  platform::TStringList& lines = *diCustomStrings;
  std::vector<std::u16string> seen;
  for (int i = lines.Count() - 1; i >= 0; --i) {
    const std::u16string name = lines.Names(i);
    if (name.empty()) {
      if (TrimmedBlanks(lines[i]).empty()) lines.Delete(i);
      continue;
    }
    bool later = false;
    for (const auto& s : seen)
      if (nxCompareTextLocale(s, name) == 0) {
        later = true;
        break;
      }
    if (later)
      lines.Delete(i);
    else
      seen.push_back(name);
  }
}

bool TnxDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  return aItem && (IsCompatibleWith(aItem) || aItem->IsCompatibleWith(this));
}

bool TnxDictionaryItem::References(const TnxDictionaryItem*) const { return false; }

void TnxDictionaryItem::Assign(const TnxPersistent* aSource) {
  const auto* source = dynamic_cast<const TnxDictionaryItem*>(aSource);
  if (!source || &source->ClassType() != &ClassType()) {
    TnxBaseRegisterableDescriptor::Assign(aSource);
    return;
  }
  const TnxDictCopyScope copy;
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    source->SaveToWriter(writer, nxLibraryVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TnxDictAssignDepthGuard depth;
  Clear(true);
  TnxReader reader(stream);
  LoadFromReader(reader);
}

bool TnxDictionaryItem::FindParentOfType(const TnxRegisterableClass& aType, TnxPersistent*& aParent) const {
  for (const TnxDictionaryItem* item = this; item && item->diParent; item = item->diParentItem) {
    const TnxDictionaryItem* parent = item->diParentItem;
    if (parent ? parent->ClassType().InheritsFrom(aType) : IsOfType(item->diParent, aType)) {
      aParent = item->diParent;
      return true;
    }
  }
  aParent = nullptr;
  return false;
}

TnxPersistent* TnxDictionaryItem::GetParentOfType(const TnxRegisterableClass& aType) const {
  TnxPersistent* parent = nullptr;
  if (!FindParentOfType(aType, parent))
    throw EnxDictionaryItemException(nxeObjectNotFound, u"No Parent of type %s could be found", {aType.Name});
  return parent;
}

TnxDictionaryItem* TnxDictionaryItem::GetRelatedDescriptorOfType(const TnxRegisterableClass& aType) {
  TnxDictionaryItem* d = nullptr;
  if (!FindRelatedDescriptorOfType(aType, d, nullptr) || !d)
    throw EnxDictionaryItemException(nxeObjectNotFound, u"No related Descriptor of type %s could be found",
                                     {aType.Name});
  return d;
}

TnxIteratorResult TnxDictionaryItem::IterateReferencing(const TnxDictionaryItemIterator& aIterator, void* aCookie,
                                                        const TnxDictionaryItem* aItem, bool aRecursive) {
  TnxIteratorResult result = irContinue;
  for (int32_t i = 0; i < ChildCount(); ++i) {
    TnxDictionaryItem* child = Child(i);
    if (child->References(aItem)) {
      result = aIterator(child, aCookie);
      if (result == irStop) return result;
    }
    if (aRecursive) {
      result = child->IterateReferencing(aIterator, aCookie, aItem, true);
      if (result == irStop) return result;
    }
  }
  return result;
}

bool TnxDictionaryItem::RequiresPack() const {
  if (DoRequiresPack()) return true;
  for (int32_t i = 0; i < ChildCount(); ++i)
    if (Child(i)->RequiresPack()) return true;
  return false;
}

void TnxDictionaryItem::RegisterFileChangeNotification() {
  if (auto* files = FindRelated<TnxFilesDescriptor>()) files->AddFileChangeListener(this);
}

void TnxDictionaryItem::UnregisterFileChangeNotification() {
  if (auto* files = FindRelated<TnxFilesDescriptor>()) files->RemoveFileChangeListener(this);
}

// ---- TnxChangeListeners ----

TnxChangeListeners::TnxChangeListeners() = default;
TnxChangeListeners::~TnxChangeListeners() = default;

void TnxChangeListeners::Add(TnxDictionaryItem* aItem) {
  if (!clList) clList = std::make_unique<TnxSortedList>();
  clList->Add(aItem);  // a listener already there stays once
}

void TnxChangeListeners::Remove(TnxDictionaryItem* aItem) {
  if (!clList) return;
  clList->Remove(aItem);
  if (clList->Count() == 0) clList.reset();
}

int32_t TnxChangeListeners::Count() const noexcept { return clList ? clList->Count() : 0; }

void TnxChangeListeners::Notify(const std::function<void(TnxDictionaryItem&)>& aNotify) {
  for (int32_t i = 0; i < Count(); ++i) aNotify(*static_cast<TnxDictionaryItem*>(clList->blGet(i)));
}

}  // namespace revurov
