#include "engine/remote_task_info.h"

#include <exception>
#include <vector>

#include "engine/remote_object_requests.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"

namespace revurov {

TnxRemoteTaskInfo::TnxRemoteTaskInfo(TnxRemoteSession* aSession, TnxTaskID aTaskID)
    : TnxAbstractTaskInfo(aSession),
      rtiSession(*aSession),
      rtiSource(*aSession),
      rtiRemoteThreadPriority(aSession->RemoteThreadPriority()),
      rtiServerVersion(aSession->ServerVersion()),
      rtiTaskID(aTaskID) {}

TnxRemoteTaskInfo::~TnxRemoteTaskInfo() {
  // The request path does not raise; its result has nobody to go to.
  nxRemoteRawRequest(rtiTarget(), nxnmTaskInfoClose, {}, nullptr, true);
}

TnxRemoteRequestTarget TnxRemoteTaskInfo::rtiTarget() const noexcept {
  return {&rtiSession, rtiSource.Token(), rtiRemoteThreadPriority, rtiSession.Timeout(), rtiTaskID};
}

template <class F>
uint32_t TnxRemoteTaskInfo::rtiGuarded(F&& aOperation) noexcept {
  try {
    return aOperation();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  } catch (...) {
    return nxeExceptionWithoutCode;
  }
}

uint32_t TnxRemoteTaskInfo::GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) {
  aCompleted = false;
  aStatus = TnxTaskStatus{};
  return rtiGuarded([&]() -> uint32_t {
    uint32_t result = 0;
    if (MinVersion() >= nxTaggedTaskStatusMinVersion) {
      const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rtiTarget());
      TnxReplyReader* reader = writer->Request(nxnmTaskInfoGetStatus, result);
      if (result != 0) return result;
      TnxTaskStatus status;
      uint32_t* cardinals[] = {&status.tsStartTime, &status.tsSnapshotTime, &status.tsTotalRecs,
                               &status.tsRecsRead,  &status.tsRecsWritten,  &status.tsErrorCode};
      for (uint32_t* field : cardinals) *field = static_cast<uint32_t>(reader->ReadInt64());
      status.tsPercentDone = static_cast<uint8_t>(reader->ReadInt64());
      status.tsFinished = reader->ReadBoolean();
      status.tsErrorMessage = reader->ReadString();
      aStatus = std::move(status);
    } else {
      std::vector<uint8_t> reply;
      result = nxRemoteRawRequest(rtiTarget(), nxnmTaskInfoGetStatusRaw, {}, &reply);
      if (result != 0) return result;
      if (reply.size() < static_cast<size_t>(nxRawTaskStatusSize)) return nxeMessageUnrecognized;
      uint32_t* cardinals[] = {&aStatus.tsStartTime, &aStatus.tsSnapshotTime, &aStatus.tsTotalRecs,
                               &aStatus.tsRecsRead,  &aStatus.tsRecsWritten,  &aStatus.tsErrorCode};
      for (size_t i = 0; i < 6; ++i) *cardinals[i] = platform::LoadU32(reply.data() + 4 * i);
      aStatus.tsPercentDone = reply[24];
      aStatus.tsFinished = reply[25] != 0;
    }
    aCompleted = aStatus.tsFinished;
    // A following error report shows the task's own failure.
    if (aStatus.tsErrorCode != 0)
      EnxBaseException::SetLastConvertedException(aStatus.tsErrorCode, aStatus.tsErrorMessage);
    return 0;
  });
}

uint32_t TnxRemoteTaskInfo::Cancel() { return nxRemoteRawRequest(rtiTarget(), nxnmTaskInfoCancel); }

uint32_t TnxRemoteTaskInfo::OptionClear(std::u16string_view aName) {
  return rtiGuarded([&] { return nxRemoteOptionClear(rtiTarget(), nxnmTaskInfoOptionBase, aName); });
}

uint32_t TnxRemoteTaskInfo::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return rtiGuarded([&] { return nxRemoteOptionSet(rtiTarget(), nxnmTaskInfoOptionBase, aName, aValue); });
}

uint32_t TnxRemoteTaskInfo::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rtiGuarded([&] { return nxRemoteOptionGet(rtiTarget(), nxnmTaskInfoOptionBase, false, aName, aValue); });
}

uint32_t TnxRemoteTaskInfo::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rtiGuarded([&] { return nxRemoteOptionGet(rtiTarget(), nxnmTaskInfoOptionBase, true, aName, aValue); });
}

uint32_t TnxRemoteTaskInfo::OptionList(platform::TStringList& aList) {
  return rtiGuarded([&] { return nxRemoteOptionList(rtiTarget(), nxnmTaskInfoOptionBase, false, aList); });
}

uint32_t TnxRemoteTaskInfo::OptionListEffective(platform::TStringList& aList) {
  return rtiGuarded([&] { return nxRemoteOptionList(rtiTarget(), nxnmTaskInfoOptionBase, true, aList); });
}

}  // namespace revurov
