// Timeout objects: sessions, databases, transaction contexts, cursors and
// statements. Each has a timeout (ms) that its engine turns into the
// thread's deadline, and each holds its session's lock.
//
// Contract:
// - The lock: a session sets its own (SetSessionLock); every other object
//   copies its session's at construction.
// - Timeout batches: a batching session (TimeoutBatch not nil) collects the
//   objects whose timeout changed while a batch is open, each once, in
//   order of the first change; an object leaves the batch when it is freed.
//   Links change under the batch's padlock.
// - The option operations run under the session lock; a failure reported
//   meanwhile turns a 0 result into 15461. A refusal of Lock itself
//   (8455, 9990, 15461, 15443) leaves as an exception.
// - Close takes the lock (unless the session failed permanently: then
//   without it) and frees the object; closing a session reports it failed
//   for good, so its clean-up runs on the closing thread. Close raises only
//   from taking the lock; 8455 while the object is being destroyed.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/deadline_hooks.h"
#include "engine/extendable_object.h"
#include "engine/session_lock.h"
#include "lowlevel/sync/padlock.h"
#include "platform/interface.h"

namespace revurov {

class TnxAbstractTimeoutObject;

// The batch list of a session that batches timeout changes.
struct TnxTimeoutBatch {
  TnxPadlock asTimeoutBatchPadlock{true};
  TnxAbstractTimeoutObject* asTimeoutBatchHead = nullptr;
  TnxAbstractTimeoutObject* asTimeoutBatchTail = nullptr;

  // Empties the list; the objects in their order.
  std::vector<TnxAbstractTimeoutObject*> Take();
};

class TnxAbstractTimeoutObject : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractTimeoutObject, TnxExtendableServerObject)
  uint32_t Timeout() const noexcept { return atoTimeout; }
  virtual void SetTimeout(uint32_t aValue) { atoTimeout = aValue; }
  virtual bool AddToTimeoutBatch(TnxAbstractTimeoutObject* aObject);
  virtual int32_t BeginTimeoutBatch();
  virtual int32_t EndTimeoutBatch();

  uint64_t LastLocked() { return atoLock ? atoLock->LastLocked() : 0; }
  InxSimpleLock* SessionLock() const noexcept { return atoLock.Get(); }

  void atoTimeoutBatchAdd();
  void atoTimeoutBatchRemove();
  bool InTimeoutBatch() const noexcept;
  TnxAbstractTimeoutObject* TimeoutBatchNext() const noexcept { return atoTimeoutBatchNext; }

  uint32_t Close() override;
  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

protected:
  TnxAbstractTimeoutObject(TnxExtendableServerObject* aParent, uint32_t aTimeout);
  ~TnxAbstractTimeoutObject() override = default;
  void BeforeDestruction() override;

  void SetSessionLock(InxSimpleLock* aLock) { atoLock = aLock; }
  // The frame of an entry point that answers codes: the thread's deadline
  // from the timeout, the session lock, the timeout nesting; an exception
  // of aWork becomes the result. Only taking the lock may raise.
  template <class F>
  uint32_t ConvertingEntry(F&& aWork) {
    nxSetTimeoutHook(atoTimeout, false);
    platform::TInterfacePtr<InxSimpleLock> lock = atoLock;
    lock->Lock();
    uint32_t result = 0;
    nxEnterTimeoutNestingHook();
    try {
      result = aWork();
    } catch (const std::exception& e) {
      result = asoConvertException(e);
    }
    nxLeaveTimeoutNestingHook();
    lock->Unlock(result);
    return result;
  }
  // The batch list; a batching session answers its own.
  virtual TnxTimeoutBatch* TimeoutBatch() noexcept { return nullptr; }
  // The object itself for a session, else its session (nil when that is
  // no timeout object).
  TnxAbstractTimeoutObject* TimeoutSession() noexcept;

private:
  template <class F>
  uint32_t Locked(F&& aOperation);

  TnxAbstractTimeoutObject* atoTimeoutBatchPrev = nullptr;
  TnxAbstractTimeoutObject* atoTimeoutBatchNext = nullptr;
  platform::TInterfacePtr<InxSimpleLock> atoLock;
  uint32_t atoTimeout = 0;

  friend struct TnxTimeoutBatch;
};

}  // namespace revurov
