// TnxRemoteTaskInfo: the client side of a task a server runs for a table
// operation (pack, backup, rebuild, restructure, recover, checksum). It
// holds the server's task ID and polls and cancels through the session.
//
// Contract:
// - Its requests go through its session with a source token of its own,
//   its own thread priority and the session's timeout.
// - GetStatus: tagged ($503) from version 30500 on, else the raw 26-byte
//   status ($501); a raw reply shorter than that answers 15522. A task that
//   failed leaves its code and message as the thread's last converted
//   error; the result is the request's.
// - Freed, it cancels ($502, as every task info does) and closes the
//   server's task ($5FF, can-skip); failures of both are swallowed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "engine/abstract_task_info.h"
#include "engine/remote_session.h"

namespace revurov {


inline constexpr TnxMsgID nxnmTaskInfoGetStatusRaw = 0x501;
inline constexpr TnxMsgID nxnmTaskInfoCancel = 0x502;
inline constexpr TnxMsgID nxnmTaskInfoGetStatus = 0x503;
inline constexpr TnxMsgID nxnmTaskInfoOptionBase = 0x5F0;
inline constexpr TnxMsgID nxnmTaskInfoClose = 0x5FF;

// From this version on the status travels tagged, with its message.
inline constexpr int32_t nxTaggedTaskStatusMinVersion = 30500;
// The raw status: six Cardinals, percent done, finished.
inline constexpr int32_t nxRawTaskStatusSize = 26;

struct TnxRemoteRequestTarget;

class TnxRemoteTaskInfo : public TnxAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteTaskInfo, TnxAbstractTaskInfo)
  TnxRemoteTaskInfo(TnxRemoteSession* aSession, TnxTaskID aTaskID);

  TnxBaseID RemoteID() const noexcept override { return rtiTaskID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rtiRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rtiRemoteThreadPriority = aValue; }
  int32_t ServerVersion() const noexcept { return rtiServerVersion; }
  TnxTaskID TaskID() const noexcept { return rtiTaskID; }

  uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override;
  uint32_t Cancel() override;

  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

protected:
  ~TnxRemoteTaskInfo() override;

private:
  TnxRemoteRequestTarget rtiTarget() const noexcept;
  template <class F>
  uint32_t rtiGuarded(F&& aOperation) noexcept;

  TnxRemoteSession& rtiSession;
  TnxRemoteSource rtiSource;
  TnxThreadPriority rtiRemoteThreadPriority = 0;
  int32_t rtiServerVersion = 0;
  TnxTaskID rtiTaskID = 0;
};

}  // namespace revurov
