#include "engine/abstract_session.h"

#include <algorithm>
#include <utility>

#include "engine/abstract_database.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "engine/child_links.h"
#include "engine/deadline_hooks.h"
#include "engine/engine_clock.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/format.h"

namespace revurov {

namespace {

// Frees the list's children tail first under its padlock; each child's
// destructor takes the padlock again to unlink itself.
template <class T, T* T::*Prev, T* T::*Next, class Convert>
void FreeTailFirst(TnxPadlock& aPadlock, T*& aHead, T*& aTail, Convert&& aConvert) {
  TnxPadlockGuard guard(aPadlock);
  while (T* child = aTail) {
    try {
      child->Free();
    } catch (const std::exception& e) {
      aConvert(e);
    }
    // One that is already being freed elsewhere, or whose destruction
    // failed, is dropped from the list so that the clean-up ends.
    if (aTail == child) nxUnlink<T, Prev, Next>(aHead, aTail, child);
  }
}

template <class T, T* T::*Next>
std::vector<T*> ListOf(TnxPadlock& aPadlock, T* const& aHead) {
  std::vector<T*> children;
  TnxPadlockGuard guard(aPadlock);
  for (T* c = aHead; c; c = c->*Next) children.push_back(c);
  return children;
}

}  // namespace

TnxAbstractSession::TnxAbstractSession(TnxBaseServerEngine* aServerEngine, std::u16string_view aUserName,
                                       std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                       uint32_t aTimeout)
    : TnxAbstractTimeoutObject(nullptr, aTimeout),
      asServerEngine(aServerEngine),
      asConnectedSince(platform::Now()),
      asUserName(aUserName),
      asPassword(aPassword),
      asConnectedFrom(aConnectedFrom) {
  TnxSessionStatsRef stats = aServerEngine && aServerEngine->KeepSessionStats() ? CreateSessionStats()
                                                                                 : TnxSessionStatsRef();
  asLock = platform::TInterfacePtr<TnxSimpleLock>(
      nxCreate<TnxSimpleLock>([this](TnxSimpleLock&) { FailedCleanup(); }, std::move(stats)));
  TnxExceptionHookInfo& info = asLock->ExceptionHookInfo();
  info.ehiUserName = asUserName;
  info.ehiConnectedFrom = asConnectedFrom;
  SetSessionLock(asLock.Get());
}

void TnxAbstractSession::AfterConstruction() {
  TnxAbstractTimeoutObject::AfterConstruction();
  // The identity exists only now.
  asLock->ExceptionHookInfo().ehiSessionID = RemoteID();
  if (asServerEngine) {
    asServerEngine->SessionCounter().fetch_add(1);
    asLockedIncDone = true;
  }
}

void TnxAbstractSession::BeforeDestruction() {
  if (asLockedIncDone) {
    asLockedIncDone = false;
    if (asServerEngine) asServerEngine->SessionCounter().fetch_sub(1);
  }
  TnxAbstractTimeoutObject::BeforeDestruction();
}

void TnxAbstractSession::PrepareDestroy() {
  ReportFailure(true, true);
  TnxAbstractTimeoutObject::PrepareDestroy();
}

TnxAbstractSession::~TnxAbstractSession() {
  TnxSessionNotifications* notifications = asSessionNotifications.exchange(nullptr);
  // Free tells the notifiers that the session is gone.
  if (notifications) notifications->Free();
  RemoveFromServerEngine();
}

void TnxAbstractSession::RemoveFromServerEngine() {
  TnxBaseServerEngine* engine = std::exchange(asServerEngine, nullptr);
  if (engine) engine->SessionRemoved(this);
}

void TnxAbstractSession::Failed(bool aPermanent) {
  if (!Destroying()) ReportFailure(aPermanent, false);
}

void TnxAbstractSession::ReportFailure(bool aPermanent, bool aWait) {
  if (asLock) asLock->Failed(aPermanent, aWait);
}

void TnxAbstractSession::FailedCleanup() {
  auto convert = [this](const std::exception& e) { asoConvertException(e); };
  for (int pass = 0; pass < kFailedCleanupTaskPasses; ++pass) {
    {
      TnxPadlockGuard guard(asTaskInfosPadlock);
      if (!asTaskInfosHead) break;
    }
    if (pass > 0) nxEngineSleep(kFailedCleanupTaskPause);
    {
      TnxPadlockGuard guard(asTaskInfosPadlock);
      for (TnxAbstractTaskInfo* t = asTaskInfosHead; t; t = t->atiSessionNext) {
        try {
          t->PrepareDestroy();
        } catch (const std::exception& e) {
          convert(e);
        }
      }
    }
    nxEngineSleep(1);
  }
  {
    TnxPadlockGuard guard(asDatabasesPadlock);
    for (TnxAbstractDatabase* d = asDatabasesHead; d; d = d->adSessionNext) {
      try {
        d->PrepareDestroy();
      } catch (const std::exception& e) {
        convert(e);
      }
    }
  }
  {
    TnxPadlockGuard guard(asTransContextsPadlock);
    for (TnxAbstractTransContext* c = asTransContextsHead; c; c = c->atcSessionNext) {
      try {
        c->PrepareDestroy();
      } catch (const std::exception& e) {
        convert(e);
      }
    }
  }
  FreeTailFirst<TnxAbstractTaskInfo, &TnxAbstractTaskInfo::atiSessionPrev, &TnxAbstractTaskInfo::atiSessionNext>(
      asTaskInfosPadlock, asTaskInfosHead, asTaskInfosTail, convert);
  FreeTailFirst<TnxAbstractDatabase, &TnxAbstractDatabase::adSessionPrev, &TnxAbstractDatabase::adSessionNext>(
      asDatabasesPadlock, asDatabasesHead, asDatabasesTail, convert);
  FreeTailFirst<TnxAbstractTransContext, &TnxAbstractTransContext::atcSessionPrev,
                &TnxAbstractTransContext::atcSessionNext>(asTransContextsPadlock, asTransContextsHead,
                                                          asTransContextsTail, convert);
  asCleanedUp.store(true, std::memory_order_release);
  if (asLock) asLock->SetFailedCleanupDone();
}

TnxSessionStatsRef TnxAbstractSession::CreateSessionStats() {
  return TnxSessionStats::Create(asUserName, asConnectedFrom);
}

uint32_t TnxAbstractSession::LookupByID(TnxSessionID aSessionID, TnxAbstractSession*& aSession) noexcept {
  return TnxAbstractServerObject::LookupByID<TnxAbstractSession>(0, aSessionID, aSession);
}

std::vector<TnxAbstractDatabase*> TnxAbstractSession::Databases() {
  return ListOf<TnxAbstractDatabase, &TnxAbstractDatabase::adSessionNext>(asDatabasesPadlock, asDatabasesHead);
}

std::vector<TnxAbstractTransContext*> TnxAbstractSession::TransContexts() {
  return ListOf<TnxAbstractTransContext, &TnxAbstractTransContext::atcSessionNext>(asTransContextsPadlock,
                                                                                   asTransContextsHead);
}

std::vector<TnxAbstractTaskInfo*> TnxAbstractSession::TaskInfos() {
  return ListOf<TnxAbstractTaskInfo, &TnxAbstractTaskInfo::atiSessionNext>(asTaskInfosPadlock, asTaskInfosHead);
}

uint32_t TnxAbstractSession::AliasGetNames(TnxAliasNameSink& aSink) {
  TnxAliasDescriptors list;
  const uint32_t result = AliasGetList(list);
  if (result == 0)
    for (const auto& descriptor : list) aSink.AliasName(descriptor->adAlias);
  return result;
}

uint32_t TnxAbstractSession::DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view,
                                               std::u16string_view, TnxAbstractTransContext*, TnxOpenMode,
                                               TnxShareMode, uint32_t) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseCacheOpen");
}

template <class F>
uint32_t TnxAbstractSession::WithTemporaryDatabase(std::u16string_view aAliasName, TnxOpenMode aOpenMode,
                                                   F&& aOperation) {
  return ConvertingEntry([&]() -> uint32_t {
    TnxAbstractDatabase* opened = nullptr;
    uint32_t result = DatabaseOpen(opened, u"Name", aAliasName, nullptr, aOpenMode, smShared, Timeout());
    if (result == 0 && opened) {
      TnxServerObjectPtr<TnxAbstractDatabase> database(opened);
      result = aOperation(*database);
    }
    return result;
  });
}

uint32_t TnxAbstractSession::TableExists(std::u16string_view aAliasName, std::u16string_view aTableName,
                                         std::u16string_view aPassword, bool& aExists, bool aAllowSystem) {
  // Set before the open: a database that does not open still answers
  // "does not exist".
  aExists = false;
  return WithTemporaryDatabase(aAliasName, omReadOnly, [&](TnxAbstractDatabase& aDatabase) {
    return aDatabase.TableExists(aTableName, aPassword, aExists, aAllowSystem || aDatabase.ExplicitAllowSystem());
  });
}

uint32_t TnxAbstractSession::TableStreamRead(std::u16string_view aAliasName, std::u16string_view aTableName,
                                             std::u16string_view aPassword, std::u16string_view aStreamName,
                                             platform::TStream& aStream) {
  return WithTemporaryDatabase(aAliasName, omReadOnly, [&](TnxAbstractDatabase& aDatabase) {
    return aDatabase.TableStreamRead(aTableName, aPassword, aStreamName, aStream);
  });
}

uint32_t TnxAbstractSession::TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName,
                                              std::u16string_view aPassword, std::u16string_view aStreamName,
                                              platform::TStream& aStream) {
  return WithTemporaryDatabase(aAliasName, omReadWrite, [&](TnxAbstractDatabase& aDatabase) {
    return aDatabase.TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
  });
}

uint32_t TnxAbstractSession::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  uint32_t result = TnxAbstractTimeoutObject::OptionSet(aName, aValue);
  // Whatever was set: the client text follows the option, also to empty.
  std::u16string client;
  esoOptionGet(nxCurrentClientInfoOption, client);
  asLock->ExceptionHookInfo().ehiClient = client;
  return result;
}

int32_t TnxAbstractSession::MinVersion() const { return std::min(ClientVersion(), ServerVersion()); }

void TnxAbstractSession::GetUserInfo(platform::TStringList& aStrings) {
  std::u16string id = nxInt64ToStr(int64_t(RemoteID()));
  std::u16string since = nxDateTimeToStr(asConnectedSince, platform::FormatSettings());
  aStrings.Add(nxMessageTag(u"Session.ID", id) + u"Connected since: " + since +
               nxMessageTag(u"Session.ConnectedSince", since));
  if (!asUserName.empty()) {
    aStrings.Add(u"Username: " + asUserName + u" [" + (asAuthenticated ? u"authenticated" : u"not authenticated") +
                 u"]" + nxMessageTag(u"Session.UserName", asUserName) +
                 nxMessageTag(u"Session.Authenticated", asAuthenticated ? u"1" : u"0"));
  } else {
    aStrings.Add(u"anonymous User" + nxMessageTag(u"Session.UserName", u""));
  }
  if (!asConnectedFrom.empty())
    aStrings.Add(u"Connected from: " + asConnectedFrom + nxMessageTag(u"Session.ConnectedFrom", asConnectedFrom));
}

InxSessionNotifications* TnxAbstractSession::SessionNotifications() {
  TnxSessionNotifications* current = asSessionNotifications.load(std::memory_order_acquire);
  if (!current) {
    TnxSessionNotifications* made = nxCreate<TnxSessionNotifications>(static_cast<platform::IInterface*>(this));
    if (asSessionNotifications.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
      current = made;
    } else {
      made->Free();
    }
  }
  return current;
}

bool TnxAbstractSession::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  if (iid == InxSessionNotifications::IID) {
    try {
      InxSessionNotifications* notifications = SessionNotifications();
      *obj = notifications;
      return notifications != nullptr;
    } catch (...) {
      *obj = nullptr;
      return false;
    }
  }
  return TnxAbstractTimeoutObject::GetInterface(iid, obj);
}

void TnxAbstractSession::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxAbstractTimeoutObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"ServerEngine", static_cast<TnxObject*>(asServerEngine), false);
  aContainer.AddString(u"UserName", asUserName);
  aContainer.AddBoolean(u"Authenticated", asAuthenticated);
  aContainer.AddString(u"ConnectedFrom", asConnectedFrom);
  aContainer.AddBoolean(u"CleanedUp", CleanedUp());
  if (!aIncludeChildren) return;
  auto add = [&](const char16_t* aName, auto&& aChildren) {
    TnxExceptionDataRef list = aContainer.AddContainer(aName);
    int32_t i = 0;
    for (auto* child : aChildren) list->AddObject(platform::Format(u"[%d]", {i++}), static_cast<TnxObject*>(child), true);
  };
  add(u"Databases", Databases());
  add(u"TransContexts", TransContexts());
  add(u"TaskInfos", TaskInfos());
}

}  // namespace revurov
