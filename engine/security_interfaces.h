// The security interfaces an engine extender hands out. No class of the
// library implements them; whoever writes a security extender does, and
// clients reach them through CreateInstanceFor and dynamic invocation.
//
// Contract:
// - The interface IDs are fixed: servers and clients of other builds use
//   them. A later version adds a new interface instead of changing one.
// - Names and passwords are text as the user typed it; lists are names in
//   the order the implementer keeps them.
#pragma once

#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov {

class InxLoggedInUser31000;
class InxModifyUser31000;

class InxAbstractSecurityMonitorComponentInfo31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{1A809D8E-B96D-4680-925C-401D9734AB2D}");
  virtual platform::TInterfacePtr<InxLoggedInUser31000> LogIn(const std::u16string& aUserName,
                                                               const std::u16string& aPassword) = 0;
};

class InxSecurityExtender31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{13666417-78F9-48A0-9B10-0694185F91AA}");
  virtual platform::TInterfacePtr<InxAbstractSecurityMonitorComponentInfo31000> GetSecurityMonitor() = 0;
  virtual platform::TInterfacePtr<InxLoggedInUser31000> GetLoggedInUser() = 0;
};

class InxLoggedInUser31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6BF2AC76-CB7F-4051-B770-73AF46CA627F}");
  virtual std::u16string GetUserName() = 0;
  virtual bool GetIsUser() = 0;
  virtual bool GetIsAdmin() = 0;
  virtual bool GetHasReadAccess() = 0;
  virtual bool GetHasWriteAccess() = 0;
  virtual void ChangePassword(const std::u16string& aPassword) = 0;
};

class InxLoggedInUser46000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{27CDD9D4-3661-403A-96B3-5703333412E5}");
  virtual std::vector<std::u16string> AliasesWithAccessRights() = 0;
  virtual std::vector<std::u16string> AliasesWithTableAccessRights() = 0;
  virtual std::vector<std::u16string> TablesWithAccessRights(const std::u16string& aAlias) = 0;
  virtual bool GetHasReadAccess2(const std::u16string& aAlias, const std::u16string& aTable) = 0;
  virtual bool GetHasWriteAccess2(const std::u16string& aAlias, const std::u16string& aTable) = 0;
  virtual bool GetHasAdminAccess2(const std::u16string& aAlias, const std::u16string& aTable) = 0;
};

class InxLoggedInAdministrator31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D8E30E37-4A36-4979-A7A7-9B3DFB1849C4}");
  virtual std::vector<std::u16string> UserList() = 0;
  virtual std::vector<std::u16string> AdminList() = 0;
  virtual bool UserExists(const std::u16string& aUserName) = 0;
  virtual void AddUser(const std::u16string& aUserName, const std::u16string& aPassword, bool aAsAdmin,
                       bool aReadAccess, bool aWriteAccess) = 0;
  virtual void RemoveUser(const std::u16string& aUserName) = 0;
  virtual platform::TInterfacePtr<InxModifyUser31000> ModifyUser(const std::u16string& aUserName) = 0;
  virtual void GrantAdminKey(const std::u16string& aUserName) = 0;
  virtual void RevokeAdminKey(const std::u16string& aUserName) = 0;
  virtual void SetUserDisabled(const std::u16string& aUserName, bool aDisabled) = 0;
  virtual void SetUserPassword(const std::u16string& aUserName, const std::u16string& aPassword) = 0;
};

class InxModifyUser31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{36B7586D-FE19-4F89-B658-8DC3B616DEFA}");
  virtual void AddTablePassword(const std::u16string& aAlias, const std::u16string& aTable,
                                const std::u16string& aPassword) = 0;
  virtual void RemoveTablePassword(const std::u16string& aAlias, const std::u16string& aTable) = 0;
  virtual void RemoveAllTablePasswords() = 0;
  virtual bool GetIsAdmin() = 0;
  virtual bool GetHasReadAccess() = 0;
  virtual void SetHasReadAccess(bool aValue) = 0;
  virtual bool GetHasWriteAccess() = 0;
  virtual void SetHasWriteAccess(bool aValue) = 0;
};

class InxModifyUser46000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{95756A05-E8F6-4E36-8DC8-DA35698617AB}");
  virtual void SetTableAccess(const std::u16string& aAlias, const std::u16string& aTable, bool aReadAccess,
                              bool aWriteAccess, bool aAdminAccess) = 0;
  virtual void RemoveTableAccess(const std::u16string& aAlias, const std::u16string& aTable) = 0;
  virtual void RemoveAllTableAccess() = 0;
};

}  // namespace revurov
