#include "engine/server_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "lowlevel/components/component_info.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/exception_data.h"
#include "support/engine_fixture.h"

namespace revurov {
namespace {

using testing::TestCursor;
using testing::TestDatabase;
using testing::TestSession;
using testing::TestSqlDatabase;
using testing::TestStatement;

using ServerObjectTest = testing::EngineFixture;

TEST(ObjectPath, SplitsAtTheFirstDot) {
  struct Case {
    std::u16string_view path, first, rest;
  } cases[] = {
      {u"<Self>", u"<Self>", u"<Self>"},
      {u"<Session>.<Self>", u"<Session>", u"<Self>"},
      {u"a.b.c", u"a", u"b.c"},
      {u"<Self>.", u"<Self>", u"<Self>"},
      {u"", u"", u"<Self>"},
      {u".x", u"", u"x"},
  };
  for (const Case& c : cases) {
    auto [first, rest] = nxSplitObjectPath(c.path);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(rest, c.rest);
  }
}

TEST_F(ServerObjectTest, LookupByIDAnswersOnlyLiveObjectsOfTheClassAndSession) {
  TestSession* s1 = engine->Open();
  TestSession* s2 = engine->Open();
  auto db = nxCreateServerObject<TestSqlDatabase>(s1);
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  auto freed = nxCreateServerObject<TestCursor>(db.get());
  TnxBaseID freedID = freed->RemoteID();
  freed.reset();
  // The freed slot goes to a new object of the same class and session.
  auto successor = nxCreateServerObject<TestCursor>(db.get());
  ASSERT_EQ(TnxHandleTable::SlotOf(successor->RemoteID()), TnxHandleTable::SlotOf(freedID));

  EXPECT_EQ(cursor->Session(), s1) << "a cursor belongs to its database's session";
  struct Case {
    const char* what;
    const TnxRegisterableClass& expected;
    TnxSessionID session;
    TnxBaseID id;
    TnxAbstractServerObject* object;  // nil: 9990
  } cases[] = {
      {"database", TestDatabase::ClassInfo(), s1->RemoteID(), db->RemoteID(), db.get()},
      {"derived class", TestSqlDatabase::ClassInfo(), s1->RemoteID(), db->RemoteID(), db.get()},
      {"cursor", TestCursor::ClassInfo(), s1->RemoteID(), cursor->RemoteID(), cursor.get()},
      {"session by its own identity", TestSession::ClassInfo(), 0, s1->RemoteID(), s1},
      {"zero", TnxAbstractServerObject::ClassInfo(), s1->RemoteID(), 0, nullptr},
      {"freed, slot reused", TestCursor::ClassInfo(), s1->RemoteID(), freedID, nullptr},
      {"cursor as database", TestDatabase::ClassInfo(), s1->RemoteID(), cursor->RemoteID(), nullptr},
      {"other session", TestCursor::ClassInfo(), s2->RemoteID(), cursor->RemoteID(), nullptr},
      {"session with a session", TestSession::ClassInfo(), s2->RemoteID(), s1->RemoteID(), nullptr},
      {"garbage", TnxAbstractServerObject::ClassInfo(), s1->RemoteID(), 0xDEADBEEF, nullptr},
  };
  for (const Case& c : cases) {
    TnxAbstractServerObject* found = reinterpret_cast<TnxAbstractServerObject*>(1);
    uint32_t result = TnxAbstractServerObject::LookupByID(c.expected, c.session, c.id, found);
    EXPECT_EQ(result, c.object ? 0u : nxeInvalidHandle) << c.what;
    EXPECT_EQ(found, c.object) << c.what;
  }
}

// Looks itself up while it is being destroyed.
class SelfInspectingCursor : public TestCursor {
public:
  using TestCursor::TestCursor;
  TnxBaseID savedID = 0;
  std::pair<uint32_t, uint32_t>* results = nullptr;  // lookup, close

protected:
  void PrepareDestroy() override {
    TnxAbstractServerObject* found = nullptr;
    *results = {LookupByID(TestCursor::ClassInfo(), Session()->RemoteID(), savedID, found), Close()};
    TestCursor::PrepareDestroy();
  }
};

TEST_F(ServerObjectTest, DyingObjectIsNotFoundAndCannotBeClosedAgain) {
  TestSession* session = engine->Open();
  auto cursor = nxCreateServerObject<SelfInspectingCursor>(session);
  std::pair<uint32_t, uint32_t> results{};
  bool destroyed = false;
  cursor->savedID = cursor->RemoteID();
  cursor->results = &results;
  EXPECT_EQ(cursor->SetDestroyFlag(&destroyed), nullptr);
  EXPECT_EQ(cursor.release()->Close(), 0u);
  EXPECT_EQ(results.first, nxeInvalidHandle);
  EXPECT_EQ(results.second, nxeIllegalReentry);
  EXPECT_TRUE(destroyed);
}

TEST_F(ServerObjectTest, CloseOfNilAnswers0AndClosedObjectIsGone) {
  EXPECT_EQ(nxCloseServerObject(nullptr), 0u);
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  TnxBaseID id = db->RemoteID();
  EXPECT_EQ(db.release()->Close(), 0u);
  TestDatabase* found = nullptr;
  EXPECT_EQ(TnxAbstractServerObject::LookupByID(session->RemoteID(), id, found), nxeInvalidHandle);
}

class FailingDestroy : public TestCursor {
public:
  using TestCursor::TestCursor;

protected:
  void PrepareDestroy() override { throw EnxBaseException(nxeObjectNotFound); }
};

TEST_F(ServerObjectTest, CloseTurnsAFailedDestructionIntoItsCode) {
  TestSession* session = engine->Open();
  auto cursor = nxCreateServerObject<FailingDestroy>(session);
  EXPECT_EQ(cursor.release()->Close(), nxeObjectNotFound);
}

// Where the interface the "<Self>" step hands out points.
void* SelfInterface(TnxAbstractServerObject* aObject) {
  InxAbstractServerObject41100* self = aObject;
  return self;
}

TEST_F(ServerObjectTest, PathWalkReachesTheNamedObject) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  auto info = testing::Make<TnxComponent>(u"Info");
  TnxComponent::LinkDependent(engine.get(), info);
  const platform::TGUID kSelf = InxAbstractServerObject41100::IID;
  void* cursorSelf = SelfInterface(cursor.get());
  void* sessionSelf = SelfInterface(session);
  void* dbSelf = SelfInterface(db.get());
  struct Case {
    const char* what;
    TnxAbstractServerObject* from;
    std::u16string_view path;
    platform::TGUID classID;
    platform::TGUID iid;
    platform::HRESULT result;
    void* expected;  // nil: do not compare
  } cases[] = {
      {"self", cursor.get(), u"<Self>", nxServerObjectClassID, kSelf, 0, cursorSelf},
      {"self in other case", cursor.get(), u"<sELF>", nxServerObjectClassID, kSelf, 0, cursorSelf},
      {"self with empty rest", cursor.get(), u"<Self>.", nxServerObjectClassID, kSelf, 0, cursorSelf},
      {"self, other class", cursor.get(), u"<Self>", nxComponentInfoClassID, kSelf, platform::E_NOINTERFACE, nullptr},
      {"self, missing interface", cursor.get(), u"<Self>", nxServerObjectClassID, InxComponentInfo31000::IID, platform::E_NOINTERFACE, nullptr},
      {"session's self", cursor.get(), u"<session>.<SELF>", nxServerObjectClassID, kSelf, 0, sessionSelf},
      {"a session is its own session", session, u"<Session>.<Self>", nxServerObjectClassID, kSelf, 0, sessionSelf},
      {"database", db.get(), u"<DATABASE>.<Self>", nxServerObjectClassID, kSelf, 0, dbSelf},
      {"self then session", cursor.get(), u"<Self>.<Session>", nxServerObjectClassID, kSelf, 0, sessionSelf},
      {"extenders without extenders", db.get(), u"<Extenders>", nxServerObjectClassID, kSelf, platform::E_NOINTERFACE, nullptr},
      {"server engine", cursor.get(), u"<serverengine>", nxComponentInfoClassID, InxComponentInfo31000::IID, 0, nullptr},
      {"linked component", cursor.get(), u"info", nxComponentInfoClassID, InxComponentInfo31000::IID, 0, nullptr},
      {"nobody of that name", cursor.get(), u"Nobody", nxComponentInfoClassID, InxComponentInfo31000::IID, platform::E_NOINTERFACE, nullptr},
  };
  for (const Case& c : cases) {
    void* got = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.from->CreateInstanceFor(c.path, c.classID, nullptr, c.iid, &got), c.result) << c.what;
    if (c.result != 0) {
      EXPECT_EQ(got, nullptr) << c.what;
    }
    if (c.expected) {
      EXPECT_EQ(got, c.expected) << c.what;
    }
    if (c.result == 0 && !c.expected) static_cast<platform::IInterface*>(got)->Release();
  }
  TnxComponent::Free(info);
}

TEST_F(ServerObjectTest, UnknownFirstPartGoesToTheEngineWhole) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  void* got = nullptr;
  EXPECT_EQ(db->CreateInstanceFor(u"Security.Users.<Self>", nxServerObjectClassID, nullptr,
                                  InxAbstractServerObject41100::IID, &got),
            platform::E_NOINTERFACE);
  ASSERT_EQ(engine->pathsReceived.size(), 1u);
  EXPECT_EQ(engine->pathsReceived[0], u"Security.Users.<Self>");
}

TEST_F(ServerObjectTest, ObjectWithoutEngineAnswersNoInterfaceForForeignPaths) {
  auto orphan = nxCreateServerObject<TestDatabase>(nullptr);
  void* got = nullptr;
  EXPECT_EQ(orphan->CreateInstanceFor(u"Other", nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID, &got),
            platform::E_NOINTERFACE);
  EXPECT_EQ(orphan->CreateInstanceFor(u"<Session>.<Self>", nxServerObjectClassID, nullptr,
                                      InxAbstractServerObject41100::IID, &got),
            platform::E_NOINTERFACE);
}

TEST_F(ServerObjectTest, EncodedExceptionDataDescribesTheObject) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  TnxExceptionDataValueRef decoded = nxExceptionDataFromString(db->GetEncodedExceptionData(false));
  TnxExceptionDataRef root = decoded->AsContainer();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Name(), u"ExceptionData");
  std::map<std::u16string, std::u16string> values;
  for (int32_t i = 0; i < root->Count(); ++i) values[root->Values(i)->Name()] = root->Values(i)->AsString();
  EXPECT_EQ(values[u"ClassName"], u"TestDatabase");
  EXPECT_TRUE(values.count(u"Destroying"));
}

TEST_F(ServerObjectTest, ConvertedExceptionsAnswerTheirCodes) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  EXPECT_EQ(db->asoConvertException(EnxBaseException(nxeObjectNotFound)), nxeObjectNotFound);
  EXPECT_EQ(db->asoConvertException(std::bad_alloc()), nxeOutOfMemory);
  auto orphan = nxCreateServerObject<TestDatabase>(nullptr);
  EXPECT_EQ(orphan->asoConvertException(std::runtime_error("x")), nxeUnknownException);
}

// 10^5 random creates, frees and lookups of four classes in two sessions,
// checked against a map of the live objects; freed identities must stay
// dead although their slots (and addresses) are handed out again.
TEST_F(ServerObjectTest, RandomCreatesFreesAndLookupsAgreeWithAModel) {
  const TnxRegisterableClass* asked[] = {&TestDatabase::ClassInfo(), &TestSqlDatabase::ClassInfo(),
                                          &TestCursor::ClassInfo(), &TestStatement::ClassInfo(),
                                          &TnxExtendableServerObject::ClassInfo()};
  TestSession* sessions[] = {engine->Open(), engine->Open()};
  struct Live {
    TnxServerObjectPtr<TnxExtendableServerObject> object;
    int session;
  };
  std::map<TnxBaseID, Live> live;
  std::vector<TnxBaseID> liveIDs, freedIDs;
  std::mt19937 rng(101);
  for (int step = 0; step < 100000; ++step) {
    unsigned op = rng() % 10;
    if (op < 4 || liveIDs.empty()) {
      int s = int(rng() % 2);
      TnxServerObjectPtr<TnxExtendableServerObject> object;
      switch (rng() % 4) {
        case 0: object = nxCreateServerObject<TestDatabase>(sessions[s]); break;
        case 1: object = nxCreateServerObject<TestSqlDatabase>(sessions[s]); break;
        case 2: object = nxCreateServerObject<TestCursor>(sessions[s]); break;
        default: object = nxCreateServerObject<TestStatement>(sessions[s]); break;
      }
      TnxBaseID id = object->RemoteID();
      ASSERT_EQ(live.count(id), 0u);
      liveIDs.push_back(id);
      live[id] = Live{std::move(object), s};
    } else if (op < 7) {
      size_t i = rng() % liveIDs.size();
      TnxBaseID id = liveIDs[i];
      liveIDs[i] = liveIDs.back();
      liveIDs.pop_back();
      live.erase(id);
      freedIDs.push_back(id);
    } else {
      bool stale = op == 9 && !freedIDs.empty();
      TnxBaseID id = stale ? freedIDs[rng() % freedIDs.size()] : liveIDs[rng() % liveIDs.size()];
      const TnxRegisterableClass& cls = *asked[rng() % 5];
      int s = int(rng() % 2);
      TnxAbstractServerObject* expected = nullptr;
      if (auto it = live.find(id); it != live.end() && it->second.session == s &&
                                   it->second.object->ClassType().InheritsFrom(cls))
        expected = it->second.object.get();
      TnxAbstractServerObject* found = nullptr;
      uint32_t result = TnxAbstractServerObject::LookupByID(cls, sessions[s]->RemoteID(), id, found);
      ASSERT_EQ(found, expected) << "step " << step;
      ASSERT_EQ(result, expected ? 0u : nxeInvalidHandle);
    }
  }
}

// Lookups on other threads while the owner frees and makes objects: each
// answer is nil or the object made under that identity.
TEST_F(ServerObjectTest, LookupsOnOtherThreadsRaceFrees) {
  constexpr int kObjects = 32;
  TestSession* session = engine->Open();
  TnxSessionID sid = session->RemoteID();
  std::vector<TnxServerObjectPtr<TestCursor>> objects(kObjects);
  std::atomic<TnxBaseID> ids[kObjects];
  // Kept as the root class: a downcast would read the object, which may be
  // gone by the time the reader looks at the answer.
  std::atomic<TnxAbstractServerObject*> expected[kObjects];
  for (int i = 0; i < kObjects; ++i) {
    objects[i] = nxCreateServerObject<TestCursor>(session);
    expected[i].store(objects[i].get());
    ids[i].store(objects[i]->RemoteID());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      for (int n = 0; n < 100000 && !stop.load(); ++n) {
        int i = (n + t * 5) % kObjects;
        TnxAbstractServerObject* before = expected[i].load();
        TnxBaseID id = ids[i].load();
        TnxAbstractServerObject* found = nullptr;
        TnxAbstractServerObject::LookupByID(TestCursor::ClassInfo(), sid, id, found);
        TnxAbstractServerObject* after = expected[i].load();
        if (found && found != before && found != after) wrong.fetch_add(1);
      }
    });
  }
  std::mt19937 rng(3);
  for (int r = 0; r < 2000; ++r) {
    int i = int(rng() % kObjects);
    objects[i].reset();
    objects[i] = nxCreateServerObject<TestCursor>(session);
    expected[i].store(objects[i].get());
    ids[i].store(objects[i]->RemoteID());
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace revurov
