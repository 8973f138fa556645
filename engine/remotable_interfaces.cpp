#include "engine/remotable_interfaces.h"

#include <string>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/security_interfaces.h"
#include "engine/server_object.h"
#include "lowlevel/components/component_info.h"
#include "lowlevel/components/log.h"
#include "lowlevel/components/state_component.h"
#include "transport/remoting/invoke_declare.h"

#define REVUROV_COMPONENT_INFO_METHODS(M)                                       \
  M(GetClassName, ccSafeCall, std::u16string, (), (), u"")                      \
  M(GetName, ccSafeCall, std::u16string, (), (), u"")                           \
  M(GetDisplayName, ccSafeCall, std::u16string, (), (), u"")                    \
  M(GetDisplayCategory, ccSafeCall, std::u16string, (), (), u"")                \
  M(GetStatsCaptions, ccSafeCall, std::vector<std::u16string>, (), (), u"")     \
  M(GetStatsValues, ccSafeCall, std::vector<std::u16string>, (), (), u"")
REVUROV_INVOKABLE(revurov::InxComponentInfo31000, u"Components", revurov::platform::IInterface,
                  REVUROV_NO_METHODS, REVUROV_COMPONENT_INFO_METHODS)

#define REVUROV_LOGGABLE_COMPONENT_INFO_METHODS(M)                                                          \
  M(GetLogEnabled, ccSafeCall, bool, (), (), u"")                                                           \
  M(GetEventLogInfo, ccSafeCall, ::revurov::platform::TInterfacePtr<::revurov::InxComponentInfo31000>, (), \
    (), u"")
REVUROV_INVOKABLE(revurov::InxLoggableComponentInfo31000, u"Components", revurov::platform::IInterface,
                  REVUROV_NO_METHODS, REVUROV_LOGGABLE_COMPONENT_INFO_METHODS)

#define REVUROV_STATE_COMPONENT_INFO_METHODS(M) M(GetState, ccSafeCall, ::revurov::TnxState, (), (), u"")
REVUROV_INVOKABLE(revurov::InxStateComponentInfo31000, u"Components", revurov::platform::IInterface,
                  REVUROV_NO_METHODS, REVUROV_STATE_COMPONENT_INFO_METHODS)

#define REVUROV_LOGGED_IN_USER_METHODS(M)                                                         \
  M(GetUserName, ccSafeCall, std::u16string, (), (), u"")                                         \
  M(GetIsUser, ccSafeCall, bool, (), (), u"")                                                     \
  M(GetIsAdmin, ccSafeCall, bool, (), (), u"")                                                    \
  M(GetHasReadAccess, ccSafeCall, bool, (), (), u"")                                              \
  M(GetHasWriteAccess, ccSafeCall, bool, (), (), u"")                                             \
  M(ChangePassword, ccSafeCall, void, (const std::u16string& aPassword), (aPassword), u"")
REVUROV_INVOKABLE(revurov::InxLoggedInUser31000, u"Security", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_LOGGED_IN_USER_METHODS)

#define REVUROV_LOGGED_IN_USER_46000_METHODS(M)                                                   \
  M(AliasesWithAccessRights, ccSafeCall, std::vector<std::u16string>, (), (), u"")                \
  M(AliasesWithTableAccessRights, ccSafeCall, std::vector<std::u16string>, (), (), u"")           \
  M(TablesWithAccessRights, ccSafeCall, std::vector<std::u16string>, (const std::u16string& aAlias), \
    (aAlias), u"")                                                                                \
  M(GetHasReadAccess2, ccSafeCall, bool, (const std::u16string& aAlias, const std::u16string& aTable), \
    (aAlias, aTable), u"")                                                                        \
  M(GetHasWriteAccess2, ccSafeCall, bool, (const std::u16string& aAlias, const std::u16string& aTable), \
    (aAlias, aTable), u"")                                                                        \
  M(GetHasAdminAccess2, ccSafeCall, bool, (const std::u16string& aAlias, const std::u16string& aTable), \
    (aAlias, aTable), u"")
REVUROV_INVOKABLE(revurov::InxLoggedInUser46000, u"Security", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_LOGGED_IN_USER_46000_METHODS)

#define REVUROV_MODIFY_USER_METHODS(M)                                                            \
  M(AddTablePassword, ccSafeCall, void,                                                           \
    (const std::u16string& aAlias, const std::u16string& aTable, const std::u16string& aPassword), \
    (aAlias, aTable, aPassword), u"")                                                             \
  M(RemoveTablePassword, ccSafeCall, void, (const std::u16string& aAlias, const std::u16string& aTable), \
    (aAlias, aTable), u"")                                                                        \
  M(RemoveAllTablePasswords, ccSafeCall, void, (), (), u"")                                       \
  M(GetIsAdmin, ccSafeCall, bool, (), (), u"")                                                    \
  M(GetHasReadAccess, ccSafeCall, bool, (), (), u"")                                              \
  M(SetHasReadAccess, ccSafeCall, void, (bool aValue), (aValue), u"")                             \
  M(GetHasWriteAccess, ccSafeCall, bool, (), (), u"")                                             \
  M(SetHasWriteAccess, ccSafeCall, void, (bool aValue), (aValue), u"")
REVUROV_INVOKABLE(revurov::InxModifyUser31000, u"Security", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_MODIFY_USER_METHODS)

#define REVUROV_MODIFY_USER_46000_METHODS(M)                                                      \
  M(SetTableAccess, ccSafeCall, void,                                                             \
    (const std::u16string& aAlias, const std::u16string& aTable, bool aReadAccess, bool aWriteAccess, \
     bool aAdminAccess),                                                                          \
    (aAlias, aTable, aReadAccess, aWriteAccess, aAdminAccess), u"")                               \
  M(RemoveTableAccess, ccSafeCall, void, (const std::u16string& aAlias, const std::u16string& aTable), \
    (aAlias, aTable), u"")                                                                        \
  M(RemoveAllTableAccess, ccSafeCall, void, (), (), u"")
REVUROV_INVOKABLE(revurov::InxModifyUser46000, u"Security", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_MODIFY_USER_46000_METHODS)

#define REVUROV_LOGGED_IN_ADMINISTRATOR_METHODS(M)                                                \
  M(UserList, ccSafeCall, std::vector<std::u16string>, (), (), u"")                               \
  M(AdminList, ccSafeCall, std::vector<std::u16string>, (), (), u"")                              \
  M(UserExists, ccSafeCall, bool, (const std::u16string& aUserName), (aUserName), u"")            \
  M(AddUser, ccSafeCall, void,                                                                    \
    (const std::u16string& aUserName, const std::u16string& aPassword, bool aAsAdmin, bool aReadAccess, \
     bool aWriteAccess),                                                                          \
    (aUserName, aPassword, aAsAdmin, aReadAccess, aWriteAccess), u"")                             \
  M(RemoveUser, ccSafeCall, void, (const std::u16string& aUserName), (aUserName), u"")            \
  M(ModifyUser, ccSafeCall, ::revurov::platform::TInterfacePtr<::revurov::InxModifyUser31000>,    \
    (const std::u16string& aUserName), (aUserName), u"")                                          \
  M(GrantAdminKey, ccSafeCall, void, (const std::u16string& aUserName), (aUserName), u"")         \
  M(RevokeAdminKey, ccSafeCall, void, (const std::u16string& aUserName), (aUserName), u"")        \
  M(SetUserDisabled, ccSafeCall, void, (const std::u16string& aUserName, bool aDisabled),         \
    (aUserName, aDisabled), u"")                                                                  \
  M(SetUserPassword, ccSafeCall, void, (const std::u16string& aUserName, const std::u16string& aPassword), \
    (aUserName, aPassword), u"")
REVUROV_INVOKABLE(revurov::InxLoggedInAdministrator31000, u"Security", revurov::platform::IInterface,
                  REVUROV_NO_METHODS, REVUROV_LOGGED_IN_ADMINISTRATOR_METHODS)

#define REVUROV_SECURITY_MONITOR_METHODS(M)                                                       \
  M(LogIn, ccSafeCall, ::revurov::platform::TInterfacePtr<::revurov::InxLoggedInUser31000>,       \
    (const std::u16string& aUserName, const std::u16string& aPassword), (aUserName, aPassword), u"")
REVUROV_INVOKABLE(revurov::InxAbstractSecurityMonitorComponentInfo31000, u"Security",
                  revurov::platform::IInterface, REVUROV_NO_METHODS, REVUROV_SECURITY_MONITOR_METHODS)

#define REVUROV_SECURITY_EXTENDER_METHODS(M)                                                      \
  M(GetSecurityMonitor, ccSafeCall,                                                               \
    ::revurov::platform::TInterfacePtr<::revurov::InxAbstractSecurityMonitorComponentInfo31000>, (), (), u"") \
  M(GetLoggedInUser, ccSafeCall, ::revurov::platform::TInterfacePtr<::revurov::InxLoggedInUser31000>, (), (), u"")
REVUROV_INVOKABLE(revurov::InxSecurityExtender31000, u"Security", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_SECURITY_EXTENDER_METHODS)

#define REVUROV_ABSTRACT_DATABASE_METHODS(M)                                                      \
  M(GetTablesNeedingPack, ccSafeCall, void, (std::vector<std::u16string>& aTables), (aTables), u"")
REVUROV_INVOKABLE(revurov::InxAbstractDatabase31000, u"Engine", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_ABSTRACT_DATABASE_METHODS)

#define REVUROV_SERVER_OBJECT_METHODS(M) \
  M(GetEncodedExceptionData, ccSafeCall, std::u16string, (bool aIncludeChildren), (aIncludeChildren), u"")
REVUROV_INVOKABLE(revurov::InxAbstractServerObject41100, u"Engine", revurov::platform::IInterface,
                  REVUROV_NO_METHODS, REVUROV_SERVER_OBJECT_METHODS)

namespace revurov {

void nxRemotableInterfacesStartup() {
  const platform::TInterfacePtr<InxInvokeRegistry> registry = nxInvokeRegistry();
  registry->RegisterInterface(TnxInvokable<InxComponentInfo31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxLoggableComponentInfo31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxStateComponentInfo31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxLoggedInUser31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxLoggedInUser46000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxModifyUser31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxModifyUser46000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxLoggedInAdministrator31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxAbstractSecurityMonitorComponentInfo31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxSecurityExtender31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxAbstractDatabase31000>::Decl());
  registry->RegisterInterface(TnxInvokable<InxAbstractServerObject41100>::Decl());
}

// The entries go with the registry itself.
void nxRemotableInterfacesShutdown() noexcept {}

}  // namespace revurov
