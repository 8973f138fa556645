#include "engine/abstract_task_info.h"

#include "engine/abstract_session.h"
#include "engine/child_links.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"

namespace revurov {

TnxAbstractTaskInfo::TnxAbstractTaskInfo(TnxAbstractSession* aSession) : TnxExtendableServerObject(aSession) {
  TnxPadlockGuard guard(aSession->asTaskInfosPadlock);
  nxLinkAtTail<TnxAbstractTaskInfo, &TnxAbstractTaskInfo::atiSessionPrev, &TnxAbstractTaskInfo::atiSessionNext>(
      aSession->asTaskInfosHead, aSession->asTaskInfosTail, this);
}

TnxAbstractTaskInfo::~TnxAbstractTaskInfo() {
  auto* session = static_cast<TnxAbstractSession*>(Session());
  TnxPadlockGuard guard(session->asTaskInfosPadlock);
  nxUnlink<TnxAbstractTaskInfo, &TnxAbstractTaskInfo::atiSessionPrev, &TnxAbstractTaskInfo::atiSessionNext>(
      session->asTaskInfosHead, session->asTaskInfosTail, this);
}

void TnxAbstractTaskInfo::PrepareDestroy() {
  try {
    Cancel();
  } catch (const std::exception& e) {
    asoConvertException(e);
  }
  TnxExtendableServerObject::PrepareDestroy();
}

platform::HRESULT TnxAbstractTaskInfo::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                         platform::IInterface* aOuter,
                                                         const platform::TGUID& aInterfaceID, void** aInterface) {
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<TaskInfo>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractTaskInfo::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxExtendableServerObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Session", static_cast<TnxObject*>(Session()), false);
}

}  // namespace revurov
