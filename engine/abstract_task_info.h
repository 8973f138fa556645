// Task infos: the handle through which a client polls a long table
// operation running on the engine and can cancel it. A task info belongs
// to its session, which cancels and frees the ones left when it fails or
// closes.
//
// Contract:
// - A task info joins its session's task-info list at construction and
//   leaves it at destruction, under the list's padlock.
// - Destroying one cancels its task first (PrepareDestroy). The session's
//   clean-up calls PrepareDestroy while it holds the list's padlock, so
//   Cancel must not wait for anything that needs that padlock.
#pragma once

#include <cstdint>

#include "dictionary/engine_records.h"
#include "engine/extendable_object.h"

namespace revurov {

class TnxAbstractSession;

class TnxAbstractTaskInfo : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractTaskInfo, TnxExtendableServerObject)
  virtual uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) = 0;
  virtual uint32_t Cancel() = 0;

  TnxAbstractTaskInfo* SessionPrev() const noexcept { return atiSessionPrev; }
  TnxAbstractTaskInfo* SessionNext() const noexcept { return atiSessionNext; }

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

protected:
  explicit TnxAbstractTaskInfo(TnxAbstractSession* aSession);
  ~TnxAbstractTaskInfo() override;
  // Cancels the task, then lets the extenders release it.
  void PrepareDestroy() override;

private:
  friend class TnxAbstractSession;

  TnxAbstractTaskInfo* atiSessionPrev = nullptr;
  TnxAbstractTaskInfo* atiSessionNext = nullptr;
};

// A task an SQL engine can run itself.
class TnxSqlAbstractTaskInfo : public TnxAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxSqlAbstractTaskInfo, TnxAbstractTaskInfo)
  // Runs the task on the calling thread.
  virtual void Execute() = 0;

protected:
  using TnxAbstractTaskInfo::TnxAbstractTaskInfo;
};

}  // namespace revurov
