#include "engine/timeout_object.h"

#include "engine/server_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/lock_guard.h"

namespace revurov {

std::vector<TnxAbstractTimeoutObject*> TnxTimeoutBatch::Take() {
  std::vector<TnxAbstractTimeoutObject*> objects;
  TnxPadlockGuard guard(asTimeoutBatchPadlock);
  for (TnxAbstractTimeoutObject* o = asTimeoutBatchHead; o;) {
    TnxAbstractTimeoutObject* next = o->atoTimeoutBatchNext;
    o->atoTimeoutBatchPrev = o->atoTimeoutBatchNext = nullptr;
    objects.push_back(o);
    o = next;
  }
  asTimeoutBatchHead = asTimeoutBatchTail = nullptr;
  return objects;
}

TnxAbstractTimeoutObject::TnxAbstractTimeoutObject(TnxExtendableServerObject* aParent, uint32_t aTimeout)
    : TnxExtendableServerObject(aParent), atoTimeout(aTimeout) {
  if (auto* session = dynamic_cast<TnxAbstractTimeoutObject*>(Session())) atoLock = session->atoLock;
}

void TnxAbstractTimeoutObject::BeforeDestruction() {
  atoTimeoutBatchRemove();
  TnxExtendableServerObject::BeforeDestruction();
}

TnxAbstractTimeoutObject* TnxAbstractTimeoutObject::TimeoutSession() noexcept {
  if (!Session()) return this;
  return dynamic_cast<TnxAbstractTimeoutObject*>(Session());
}

bool TnxAbstractTimeoutObject::AddToTimeoutBatch(TnxAbstractTimeoutObject* aObject) {
  TnxAbstractTimeoutObject* session = TimeoutSession();
  if (!session || session == this) return false;
  return session->AddToTimeoutBatch(aObject);
}

int32_t TnxAbstractTimeoutObject::BeginTimeoutBatch() {
  TnxAbstractTimeoutObject* session = TimeoutSession();
  if (!session || session == this) return -1;
  return session->BeginTimeoutBatch();
}

int32_t TnxAbstractTimeoutObject::EndTimeoutBatch() {
  TnxAbstractTimeoutObject* session = TimeoutSession();
  if (!session || session == this) return -1;
  return session->EndTimeoutBatch();
}

bool TnxAbstractTimeoutObject::InTimeoutBatch() const noexcept {
  return atoTimeoutBatchPrev || atoTimeoutBatchNext;
}

void TnxAbstractTimeoutObject::atoTimeoutBatchAdd() {
  TnxAbstractTimeoutObject* session = TimeoutSession();
  TnxTimeoutBatch* batch = session ? session->TimeoutBatch() : nullptr;
  if (!batch) return;
  TnxPadlockGuard guard(batch->asTimeoutBatchPadlock);
  if (InTimeoutBatch() || batch->asTimeoutBatchHead == this) return;
  atoTimeoutBatchPrev = batch->asTimeoutBatchTail;
  if (atoTimeoutBatchPrev) {
    atoTimeoutBatchPrev->atoTimeoutBatchNext = this;
  } else {
    batch->asTimeoutBatchHead = this;
  }
  batch->asTimeoutBatchTail = this;
}

void TnxAbstractTimeoutObject::atoTimeoutBatchRemove() {
  TnxAbstractTimeoutObject* session = TimeoutSession();
  TnxTimeoutBatch* batch = session ? session->TimeoutBatch() : nullptr;
  if (!batch) return;
  TnxPadlockGuard guard(batch->asTimeoutBatchPadlock);
  if (!InTimeoutBatch() && batch->asTimeoutBatchHead != this) return;
  if (atoTimeoutBatchPrev) {
    atoTimeoutBatchPrev->atoTimeoutBatchNext = atoTimeoutBatchNext;
  } else {
    batch->asTimeoutBatchHead = atoTimeoutBatchNext;
  }
  if (atoTimeoutBatchNext) {
    atoTimeoutBatchNext->atoTimeoutBatchPrev = atoTimeoutBatchPrev;
  } else {
    batch->asTimeoutBatchTail = atoTimeoutBatchPrev;
  }
  atoTimeoutBatchPrev = atoTimeoutBatchNext = nullptr;
}

template <class F>
uint32_t TnxAbstractTimeoutObject::Locked(F&& aOperation) {
  if (!atoLock) return aOperation();
  platform::TInterfacePtr<InxSimpleLock> lock = atoLock;
  lock->Lock();
  uint32_t result = 0;
  try {
    result = aOperation();
  } catch (...) {
    lock->Unlock(result);
    throw;
  }
  lock->Unlock(result);
  return result;
}

uint32_t TnxAbstractTimeoutObject::OptionClear(std::u16string_view aName) {
  return Locked([&] { return TnxExtendableServerObject::OptionClear(aName); });
}

uint32_t TnxAbstractTimeoutObject::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return Locked([&] { return TnxExtendableServerObject::OptionSet(aName, aValue); });
}

uint32_t TnxAbstractTimeoutObject::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return Locked([&] { return TnxExtendableServerObject::OptionGet(aName, aValue); });
}

uint32_t TnxAbstractTimeoutObject::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return Locked([&] { return TnxExtendableServerObject::OptionGetEffective(aName, aValue); });
}

uint32_t TnxAbstractTimeoutObject::OptionList(platform::TStringList& aList) {
  return Locked([&] { return TnxExtendableServerObject::OptionList(aList); });
}

uint32_t TnxAbstractTimeoutObject::OptionListEffective(platform::TStringList& aList) {
  return Locked([&] { return TnxExtendableServerObject::OptionListEffective(aList); });
}

uint32_t TnxAbstractTimeoutObject::Close() {
  if (Destroying()) return nxeIllegalReentry;
  platform::TInterfacePtr<InxSimpleLock> lock = atoLock;
  // A permanently failed session closes its objects without its lock.
  if (lock && lock->IsFailedPermanent()) lock.Reset();
  if (lock) lock->Lock();
  uint32_t result = 0;
  TnxBaseServerEngine* engine = OwningServerEngine();
  try {
    if (!Session() && lock) {
      // The clean-up runs here, as this thread leaves the lock.
      lock->Failed(true, false);
      lock->Unlock(result);
      lock.Reset();
      result = 0;
    }
    Free();
  } catch (const std::exception& e) {
    result = engine ? engine->ConvertException(e, nullptr) : nxConvertException(e, nullptr, nullptr, nxLibraryVersion);
  }
  if (lock) lock->Unlock(result);
  return result;
}

void TnxAbstractTimeoutObject::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxExtendableServerObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddInteger(u"Timeout", atoTimeout);
}

}  // namespace revurov
