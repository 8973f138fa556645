// A small engine standing in for the concrete ones: sessions, databases,
// cursors and statements that are extendable objects and nothing more, a
// monitor whose extenders answer from a table, and records of what the
// engine was told.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_extender.h"
#include "engine/extendable_object.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"

namespace revurov::testing {

class TestEngine;

class TestSession : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TestSession, TnxExtendableServerObject)
  TestSession(TestEngine* aEngine, int32_t aVersion) : TnxExtendableServerObject(nullptr), tsEngine(aEngine), tsVersion(aVersion) {}
  TnxBaseServerEngine* OwningServerEngine() const override;
  TnxAbstractServerObject* SessionForPath() noexcept override { return this; }
  int32_t MinVersion() const override { return tsVersion; }
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  ~TestSession() override;

private:
  TestEngine* tsEngine;
  int32_t tsVersion;
};

class TestDatabase : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TestDatabase, TnxExtendableServerObject)
  explicit TestDatabase(TnxExtendableServerObject* aParent) : TnxExtendableServerObject(aParent) {}
  // "<Database>" is this object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override {
    auto [first, rest] = nxSplitObjectPath(aName);
    if (platform::AsciiSameText(first, u"<Database>"))
      return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
    return TnxExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
  }
};
class TestSqlDatabase : public TestDatabase {
  REVUROV_SERVER_OBJECT_CLASS(TestSqlDatabase, TestDatabase)
  using TestDatabase::TestDatabase;
};
class TestCursor : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TestCursor, TnxExtendableServerObject)
  explicit TestCursor(TnxExtendableServerObject* aParent) : TnxExtendableServerObject(aParent) {}
};
class TestStatement : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TestStatement, TnxExtendableServerObject)
  explicit TestStatement(TnxExtendableServerObject* aParent) : TnxExtendableServerObject(aParent) {}
};
class TestLockedOptions : public TnxLockedOptionsExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TestLockedOptions, TnxLockedOptionsExtendableServerObject)
  explicit TestLockedOptions(TnxExtendableServerObject* aParent) : TnxLockedOptionsExtendableServerObject(aParent) {}
};

class TestEngine : public TnxBaseServerEngine {
public:
  explicit TestEngine(platform::TComponent* aOwner) : TnxBaseServerEngine(aOwner) {}

  [[noreturn]] void RaiseEngineException(uint32_t aErrorCode) override { throw EnxBaseException(aErrorCode); }
  platform::TGUID ServerGuid() const override { return {}; }
  std::u16string ServerName() const override { return u"TestEngine"; }
  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view, std::u16string_view,
                         std::u16string_view, uint32_t, int32_t aClientVersion) override {
    openedWithVersion = aClientVersion;
    auto session = nxCreateServerObject<TestSession>(this, aClientVersion);
    aSession = session.get();
    SessionAdded(std::move(session));
    return 0;
  }
  void AllSessionsClosed() override { ++allSessionsClosed; }
  platform::HRESULT CreateInstanceFor(TnxAbstractServerObject* aSession, std::u16string_view aName,
                                      const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                      const platform::TGUID& aInterfaceID, void** aInterface) override {
    pathsReceived.emplace_back(aName);
    return TnxBaseServerEngine::CreateInstanceFor(aSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
  }
  TestSession* Open(int32_t aVersion = 47501) {
    TnxAbstractServerObject* session = nullptr;
    SessionOpenEx(session, u"", u"", u"", 0, aVersion);
    return static_cast<TestSession*>(session);
  }

  int allSessionsClosed = 0;
  int32_t openedWithVersion = 0;
  std::vector<std::u16string> pathsReceived;
  std::vector<const TnxAbstractServerObject*> sessionsFreed;
};

inline TnxBaseServerEngine* TestSession::OwningServerEngine() const { return tsEngine; }
inline void TestSession::AfterConstruction() {
  TnxExtendableServerObject::AfterConstruction();
  tsEngine->SessionCounter().fetch_add(1);
}
inline void TestSession::BeforeDestruction() {
  tsEngine->SessionCounter().fetch_sub(1);
  TnxExtendableServerObject::BeforeDestruction();
}
inline TestSession::~TestSession() {
  tsEngine->sessionsFreed.push_back(this);
  tsEngine->SessionRemoved(this);
}

// An extender that records what it hears and answers from a table of
// vetoes.
class TestExtender : public TnxBaseEngineExtender {
public:
  static const TnxRegisterableClass& ClassInfo() noexcept {
    static const TnxRegisterableClass info{u"TestExtender", &TnxBaseEngineExtender::ClassInfo(), nullptr};
    return info;
  }
  const TnxRegisterableClass& ClassType() const noexcept override { return ClassInfo(); }

  TestExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aObject, TnxEngineActions aActions = {},
               std::map<TnxEngineAction, uint32_t> aVetoes = {}, std::vector<std::u16string>* aLog = nullptr,
               std::u16string aName = u"x")
      : TnxBaseEngineExtender(aMonitor, aObject, aActions), teVetoes(std::move(aVetoes)), teLog(aLog),
        teName(std::move(aName)) {}

  uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    ++heard;
    lastArgs = int(aArgs.size());
    if (teLog) teLog->push_back(teName + u":" + std::u16string(1, char16_t(u'0' + aAction / 10)) +
                                std::u16string(1, char16_t(u'0' + aAction % 10)) + (aBefore ? u"b" : u"a"));
    auto it = teVetoes.find(aAction);
    return it == teVetoes.end() ? 0 : it->second;
  }

  int heard = 0;
  int lastArgs = -1;

private:
  std::map<TnxEngineAction, uint32_t> teVetoes;
  std::vector<std::u16string>* teLog;
  std::u16string teName;
};

// A monitor that attaches extenders made by a factory to every object it
// hears of and records the objects.
class TestMonitor : public TnxBaseEngineMonitor {
public:
  explicit TestMonitor(platform::TComponent* aOwner) : TnxBaseEngineMonitor(aOwner) {}
  void ExtendableObjectCreated(TnxExtendableServerObject* aObject) override {
    created.push_back(aObject);
    if (attach) attach(this, aObject);
  }
  void ExtendableObjectDestroyed(TnxExtendableServerObject* aObject) override { destroyed.push_back(aObject); }

  std::function<void(TestMonitor*, TnxExtendableServerObject*)> attach;
  std::vector<TnxExtendableServerObject*> created;
  std::vector<TnxExtendableServerObject*> destroyed;
};

}  // namespace revurov::testing
