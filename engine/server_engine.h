// TnxBaseServerEngine: what every engine shares. Its open sessions, the
// live-object counts, the conversion of exceptions into result codes, its
// step of the interface path walk, its monitors and their notification, and
// stopping, which frees the sessions.
//
// Contract:
// - The engine owns its sessions: SessionOpenEx hands each new one to
//   SessionAdded; a session's destruction calls SessionRemoved, which lets
//   go of it;
//   AllSessionsClosed runs when the last one leaves. Stopping the engine
//   frees the sessions from the last added to the first.
// - The counts change atomically; they read 0 when nothing is open.
// - Monitors are walked under the monitor list's read side; only started
//   ones hear of objects, on the thread that makes or frees the object.
// - ConvertException never raises.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_types.h"
#include "engine/server_object.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/objects/lists.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxExtendableServerObject;

class TnxBaseServerEngine : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseServerEngine, TnxStateComponent)
  explicit TnxBaseServerEngine(platform::TComponent* aOwner);
  ~TnxBaseServerEngine() override;

  // A library code for aException, its message kept for aObject's client
  // version (47501 without an object) and logged to the engine's event log.
  virtual uint32_t ConvertException(const std::exception& aException, TnxAbstractServerObject* aObject);
  // Raises the engine's exception for aErrorCode (an extender's veto of a
  // creation); each engine has its own exception class.
  [[noreturn]] virtual void RaiseEngineException(uint32_t aErrorCode) = 0;
  virtual void NotifyObjectCreated(TnxExtendableServerObject* aObject);
  virtual void NotifyObjectDestroyed(TnxExtendableServerObject* aObject);
  virtual platform::TGUID ServerGuid() const = 0;
  virtual std::u16string ServerName() const = 0;
  // The engine's step of the path walk: "<ServerEngine>" (any case) asks
  // the engine itself, any other name the linked components of that name
  // (all of them for an empty name) until one answers without error.
  virtual platform::HRESULT CreateInstanceFor(TnxAbstractServerObject* aSession, std::u16string_view aName,
                                              const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                              const platform::TGUID& aInterfaceID, void** aInterface);
  virtual void AllSessionsClosed() {}
  virtual bool KeepSessionStats() const { return false; }
  virtual bool IsSecureServer() const { return false; }
  uint32_t SessionOpen(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                       std::u16string_view aPassword, std::u16string_view aConnectedFrom, uint32_t aTimeout);
  // Opens a session for a client of aClientVersion; the engine owns it.
  virtual uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                                 std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                 uint32_t aTimeout, int32_t aClientVersion) = 0;

  // The session list.
  void SessionAdded(TnxServerObjectPtr<TnxAbstractServerObject> aSession);
  void SessionRemoved(TnxAbstractServerObject* aSession);
  std::vector<TnxAbstractServerObject*> Sessions() const;

  // Counts; the objects' after-construction and before-destruction steps
  // move them.
  int32_t SessionCount() const noexcept { return bseSessionCount.load(); }
  int32_t DatabaseCount() const noexcept { return bseDatabaseCount.load(); }
  int32_t TransContextCount() const noexcept { return bseTransContextCount.load(); }
  int32_t CursorCount() const noexcept { return bseCursorCount.load(); }
  int32_t StatementCount() const noexcept { return bseStatementCount.load(); }
  std::atomic<int32_t>& SessionCounter() noexcept { return bseSessionCount; }
  std::atomic<int32_t>& DatabaseCounter() noexcept { return bseDatabaseCount; }
  std::atomic<int32_t>& TransContextCounter() noexcept { return bseTransContextCount; }
  std::atomic<int32_t>& CursorCounter() noexcept { return bseCursorCount; }
  std::atomic<int32_t>& StatementCounter() noexcept { return bseStatementCount; }

  // Frees what is still open while the engine is whole.
  void BeforeDestruction() override;
  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;
  bool StatsIncludeUptime() const override { return true; }
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

protected:
  // Runs aVisit on each session under the session list's padlock, so none
  // is freed meanwhile.
  template <class F>
  void ForEachSession(F&& aVisit) const {
    TnxPadlockGuard guard(bseSessionsPadlock);
    for (const auto& s : bseSessions) aVisit(s.get());
  }
  // Frees the sessions, last first, after the inherited stop.
  void DoStop() override;

private:
  void FreeSessions();

  mutable TnxPadlock bseSessionsPadlock{true};
  std::vector<TnxServerObjectPtr<TnxAbstractServerObject>> bseSessions;
  std::unique_ptr<TnxListPortal> bseMonitors;
  std::atomic<int32_t> bseSessionCount{0};
  std::atomic<int32_t> bseDatabaseCount{0};
  std::atomic<int32_t> bseTransContextCount{0};
  std::atomic<int32_t> bseCursorCount{0};
  std::atomic<int32_t> bseStatementCount{0};
};

}  // namespace revurov
