#include "platform/rtl_component.h"

#include <algorithm>

#include "platform/text.h"

namespace revurov::platform {

bool TComponentClass::InheritsFrom(const TComponentClass& aClass) const noexcept {
  for (const TComponentClass* c = this; c; c = c->Parent)
    if (c == &aClass) return true;
  return false;
}

namespace {

std::vector<const TComponentClass*>& ClassRegistry() {
  static std::vector<const TComponentClass*> registry;
  return registry;
}

void Erase(std::vector<TComponent*>& aList, TComponent* aItem) noexcept {
  aList.erase(std::remove(aList.begin(), aList.end(), aItem), aList.end());
}

bool Contains(const std::vector<TComponent*>& aList, TComponent* aItem) noexcept {
  return std::find(aList.begin(), aList.end(), aItem) != aList.end();
}

TShowExceptionHandler gShowException = nullptr;

}  // namespace

void SetShowExceptionHandler(TShowExceptionHandler aHandler) noexcept { gShowException = aHandler; }

void ApplicationShowException(const std::exception& aError) noexcept {
  if (gShowException) gShowException(aError);
}

bool RegisterClass(const TComponentClass& aClass) {
  if (const TComponentClass* found = GetClass(aClass.Name)) return found == &aClass;
  ClassRegistry().push_back(&aClass);
  return true;
}

void UnRegisterClass(const TComponentClass& aClass) noexcept {
  auto& r = ClassRegistry();
  r.erase(std::remove(r.begin(), r.end(), &aClass), r.end());
}

const TComponentClass* GetClass(std::u16string_view aName) noexcept {
  for (const TComponentClass* c : ClassRegistry())
    if (AsciiSameText(c->Name, aName)) return c;
  return nullptr;
}

const TComponentClass& TComponent::ClassInfo() noexcept {
  static const TComponentClass info{u"TComponent", nullptr, ComponentFactory<TComponent>()};
  return info;
}

TComponent::TComponent(TComponent* aOwner) {
  if (aOwner) aOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Reached without BeforeDestruction (a plain delete): the links still go,
  // only the derived classes' own steps are lost.
  Unlink();
}

void TComponent::Free(TComponent* aComponent) {
  if (!aComponent) return;
  aComponent->BeforeDestruction();
  delete aComponent;
}

void TComponent::BeforeDestruction() { Unlink(); }

void TComponent::Unlink() noexcept {
  Destroying();
  while (!cFreeNotifies.empty()) {
    TComponent* other = cFreeNotifies.back();
    try {
      other->Notification(this, opRemove);
    } catch (...) {
      // Going away cannot be refused; the link is dropped below regardless.
    }
    Erase(other->cFreeNotifies, this);
    Erase(cFreeNotifies, other);
  }
  while (!cComponents.empty()) {
    TComponent* child = cComponents.back();
    Remove(child);
    try {
      Free(child);
    } catch (...) {
      // As above: the child is gone either way.
    }
  }
  if (cOwner) {
    try {
      cOwner->RemoveComponent(this);
    } catch (...) {
    }
    if (cOwner) cOwner->Remove(this);
  }
}

void TComponent::Insert(TComponent* aComponent) {
  cComponents.push_back(aComponent);
  aComponent->cOwner = this;
}

void TComponent::Remove(TComponent* aComponent) noexcept {
  Erase(cComponents, aComponent);
  aComponent->cOwner = nullptr;
}

void TComponent::InsertComponent(TComponent* aComponent) {
  if (!aComponent || aComponent == this || aComponent->cOwner == this) return;
  if (aComponent->cOwner) aComponent->cOwner->RemoveComponent(aComponent);
  Insert(aComponent);
  if (IsDesigning()) aComponent->SetDesigning(true);
  Notification(aComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* aComponent) {
  if (!aComponent || aComponent->cOwner != this) return;
  Notification(aComponent, opRemove);
  Remove(aComponent);
}

void TComponent::NotifyTree(TComponent* aComponent, TOperation aOperation) {
  // A callee may free or add owned components: re-check the bound each round.
  for (size_t i = cComponents.size(); i > 0;) {
    --i;
    if (i >= cComponents.size()) {
      if (cComponents.empty()) break;
      i = cComponents.size() - 1;
    }
    cComponents[i]->Notification(aComponent, aOperation);
  }
}

void TComponent::Notification(TComponent* aComponent, TOperation aOperation) {
  if (aOperation == opRemove && aComponent) RemoveFreeNotification(aComponent);
  NotifyTree(aComponent, aOperation);
}

void TComponent::FreeNotification(TComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  // Components of one owner hear of each other through the owner already.
  if (cOwner && aComponent->cOwner == cOwner) return;
  if (!Contains(cFreeNotifies, aComponent)) cFreeNotifies.push_back(aComponent);
  if (!Contains(aComponent->cFreeNotifies, this)) aComponent->cFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* aComponent) noexcept {
  if (!aComponent) return;
  Erase(cFreeNotifies, aComponent);
  Erase(aComponent->cFreeNotifies, this);
}

void TComponent::Destroying() noexcept {
  if (IsDestroying()) return;
  cState |= csDestroying;
  for (TComponent* c : cComponents) c->Destroying();
}

void TComponent::SetDesigning(bool aValue) {
  if (aValue)
    cState |= csDesigning;
  else
    cState &= static_cast<TComponentState>(~csDesigning);
  for (TComponent* c : cComponents) c->SetDesigning(aValue);
}

void TComponent::BeginLoading() {
  cState |= csLoading;
  for (TComponent* c : cComponents) c->BeginLoading();
}

void TComponent::CollectLoading(std::vector<TComponent*>& aList) {
  if (IsLoading()) aList.push_back(this);
  for (TComponent* c : cComponents) c->CollectLoading(aList);
}

void TComponent::EndLoading() {
  std::vector<TComponent*> loading;
  CollectLoading(loading);
  auto clearAll = [&] {
    for (TComponent* c : loading) c->cState &= static_cast<TComponentState>(~csLoading);
  };
  try {
    for (TComponent* c : loading) {
      c->Loaded();
      c->cState &= static_cast<TComponentState>(~csLoading);
    }
  } catch (...) {
    clearAll();
    throw;
  }
}

void TComponent::Loaded() { cState &= static_cast<TComponentState>(~csLoading); }

}  // namespace revurov::platform
