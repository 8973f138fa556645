#include "engine/remotable_interfaces.h"

#include <string>
#include <vector>

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
  registry->RegisterInterface(TnxInvokable<InxAbstractServerObject41100>::Decl());
}

// The entries go with the registry itself.
void nxRemotableInterfacesShutdown() noexcept {}

}  // namespace revurov
