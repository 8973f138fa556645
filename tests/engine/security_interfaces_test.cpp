// The security interfaces and the database's extended interface are called
// by clients through dynamic invocation only: a wrong parameter direction or
// result kind in their declarations would only show on the wire. Each call
// here goes through the registry's invoke wrapper, as through a class proxy.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/security_interfaces.h"
#include "engine/startup.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/interfaced_object.h"
#include "transport/remoting/invoke_interfaces.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/startup.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using Names = std::vector<std::u16string>;

struct TUser {
  std::u16string password;
  bool admin = false, read = false, write = false, disabled = false;
  std::map<std::u16string, std::u16string> tablePasswords;
  std::map<std::u16string, int> tableAccess;  // bit 0 read, 1 write, 2 admin
};
using TUsers = std::map<std::u16string, TUser>;

class TModifyUser final : public TnxInterfacedObject, public InxModifyUser31000, public InxModifyUser46000 {
public:
  explicit TModifyUser(TUser& aUser) : user(aUser) {}
  void AddTablePassword(const std::u16string& aAlias, const std::u16string& aTable,
                        const std::u16string& aPassword) override {
    user.tablePasswords[aAlias + u"." + aTable] = aPassword;
  }
  void RemoveTablePassword(const std::u16string& aAlias, const std::u16string& aTable) override {
    user.tablePasswords.erase(aAlias + u"." + aTable);
  }
  void RemoveAllTablePasswords() override { user.tablePasswords.clear(); }
  bool GetIsAdmin() override { return user.admin; }
  bool GetHasReadAccess() override { return user.read; }
  void SetHasReadAccess(bool aValue) override { user.read = aValue; }
  bool GetHasWriteAccess() override { return user.write; }
  void SetHasWriteAccess(bool aValue) override { user.write = aValue; }
  void SetTableAccess(const std::u16string& aAlias, const std::u16string& aTable, bool aReadAccess, bool aWriteAccess,
                      bool aAdminAccess) override {
    user.tableAccess[aAlias + u"." + aTable] = (aReadAccess ? 1 : 0) | (aWriteAccess ? 2 : 0) | (aAdminAccess ? 4 : 0);
  }
  void RemoveTableAccess(const std::u16string& aAlias, const std::u16string& aTable) override {
    user.tableAccess.erase(aAlias + u"." + aTable);
  }
  void RemoveAllTableAccess() override { user.tableAccess.clear(); }
  TUser& user;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxModifyUser31000>(this, iid, obj) || nxOfferInterface<InxModifyUser46000>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class TAdministrator final : public TnxInterfacedObject, public InxLoggedInAdministrator31000 {
public:
  Names UserList() override {
    Names names;
    for (const auto& [name, user] : users) names.push_back(name);
    return names;
  }
  Names AdminList() override {
    Names names;
    for (const auto& [name, user] : users)
      if (user.admin) names.push_back(name);
    return names;
  }
  bool UserExists(const std::u16string& aUserName) override { return users.count(aUserName) != 0; }
  void AddUser(const std::u16string& aUserName, const std::u16string& aPassword, bool aAsAdmin, bool aReadAccess,
               bool aWriteAccess) override {
    if (UserExists(aUserName)) throw EnxBaseException(9990, u"user exists");
    users[aUserName] = TUser{aPassword, aAsAdmin, aReadAccess, aWriteAccess, false, {}, {}};
  }
  void RemoveUser(const std::u16string& aUserName) override { users.erase(aUserName); }
  TInterfacePtr<InxModifyUser31000> ModifyUser(const std::u16string& aUserName) override {
    const auto found = users.find(aUserName);
    if (found == users.end()) return nullptr;
    const TInterfacePtr<TModifyUser> made(nxCreate<TModifyUser>(found->second));
    return TInterfacePtr<InxModifyUser31000>(static_cast<InxModifyUser31000*>(made.Get()));
  }
  void GrantAdminKey(const std::u16string& aUserName) override { users.at(aUserName).admin = true; }
  void RevokeAdminKey(const std::u16string& aUserName) override { users.at(aUserName).admin = false; }
  void SetUserDisabled(const std::u16string& aUserName, bool aDisabled) override {
    users.at(aUserName).disabled = aDisabled;
  }
  void SetUserPassword(const std::u16string& aUserName, const std::u16string& aPassword) override {
    users.at(aUserName).password = aPassword;
  }
  TUsers users;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxLoggedInAdministrator31000>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class TPackList final : public TnxInterfacedObject, public InxAbstractDatabase31000 {
public:
  void GetTablesNeedingPack(Names& aTables) override {
    seen = aTables;
    aTables = {u"Orders", u"Kunden \u00C4"};
  }
  Names seen;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxAbstractDatabase31000>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class TCountCalls final : public TnxInterfacedObject, public InxInvokeInterceptor {
public:
  HRESULT Intercept(const TnxIntfMethEntry*, void**, InxCallFrame* aFrame) override {
    ++calls;
    return aFrame->Execute();
  }
  int calls = 0;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeInterceptor>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

template <class I>
TInterfacePtr<I> Wrapped(I* aObject, InxInvokeInterceptor* aInterceptor) {
  TInterfacePtr<IInterface> wrapper;
  EXPECT_EQ(nxInvokeRegistry()->CreateWrapper(aObject, aInterceptor, wrapper), S_OK);
  return platform::Supports<I>(wrapper.Get());
}

TEST(SecurityInterfaces, AnAdministratorsCallsCarryTheirArgumentsAndResultsThroughInvocation) {
  TnxEngineStartupGuard engine;
  const TInterfacePtr<TCountCalls> counter(nxCreate<TCountCalls>());
  const TInterfacePtr<TAdministrator> object(nxCreate<TAdministrator>());
  const TInterfacePtr<InxLoggedInAdministrator31000> admin = Wrapped<InxLoggedInAdministrator31000>(object.Get(), counter.Get());
  ASSERT_TRUE(admin);

  admin->AddUser(u"M\u00FCller", u"geheim", false, true, false);
  admin->AddUser(u"Root", u"", true, true, true);
  EXPECT_EQ(admin->UserList(), (Names{u"M\u00FCller", u"Root"}));
  EXPECT_EQ(admin->AdminList(), (Names{u"Root"}));
  EXPECT_TRUE(admin->UserExists(u"M\u00FCller"));
  EXPECT_FALSE(admin->UserExists(u"Nobody"));
  admin->GrantAdminKey(u"M\u00FCller");
  admin->SetUserDisabled(u"M\u00FCller", true);
  admin->SetUserPassword(u"M\u00FCller", u"neu");
  const TUser& stored = object->users.at(u"M\u00FCller");
  EXPECT_TRUE(stored.admin && stored.read && !stored.write && stored.disabled);
  EXPECT_EQ(stored.password, u"neu");
  admin->RevokeAdminKey(u"M\u00FCller");
  EXPECT_FALSE(stored.admin);

  // An implementer's refusal reaches the caller as an exception, not as success.
  EXPECT_ANY_THROW(admin->AddUser(u"Root", u"x", false, false, false));
  EXPECT_EQ(object->users.at(u"Root").password, u"");

  // An interface result comes back callable, with both of its versions.
  const TInterfacePtr<InxModifyUser31000> modify = admin->ModifyUser(u"M\u00FCller");
  ASSERT_TRUE(modify);
  modify->SetHasWriteAccess(true);
  modify->AddTablePassword(u"Alpha", u"Orders", u"pw");
  EXPECT_TRUE(modify->GetHasWriteAccess());
  EXPECT_EQ(stored.tablePasswords.at(u"Alpha.Orders"), u"pw");
  const TInterfacePtr<InxModifyUser46000> modify46 = platform::Supports<InxModifyUser46000>(modify);
  ASSERT_TRUE(modify46);
  modify46->SetTableAccess(u"Alpha", u"Orders", true, false, true);
  EXPECT_EQ(stored.tableAccess.at(u"Alpha.Orders"), 5);
  modify46->RemoveAllTableAccess();
  EXPECT_TRUE(stored.tableAccess.empty());
  EXPECT_FALSE(admin->ModifyUser(u"Nobody"));

  admin->RemoveUser(u"Root");
  EXPECT_EQ(admin->UserList(), (Names{u"M\u00FCller"}));
  EXPECT_GE(counter->calls, 15) << "the calls went through the invocation layer";
}

TEST(SecurityInterfaces, TheDatabasesPackListIsAVarParameter) {
  TnxEngineStartupGuard engine;
  const TInterfacePtr<TCountCalls> counter(nxCreate<TCountCalls>());
  const TInterfacePtr<TPackList> object(nxCreate<TPackList>());
  const TInterfacePtr<InxAbstractDatabase31000> database = Wrapped<InxAbstractDatabase31000>(object.Get(), counter.Get());
  ASSERT_TRUE(database);
  Names tables{u"stale"};
  database->GetTablesNeedingPack(tables);
  EXPECT_EQ(object->seen, (Names{u"stale"})) << "what the caller passed arrives";
  EXPECT_EQ(tables, (Names{u"Orders", u"Kunden \u00C4"})) << "what the implementer set comes back";
  EXPECT_EQ(counter->calls, 1);
}

}  // namespace
}  // namespace revurov
