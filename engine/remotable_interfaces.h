// The engine's interfaces that a server's objects answer through dynamic
// invocation (a class proxy calls them without a compiled proxy).
//
// Contract:
// - nxRemotableInterfacesStartup registers them with the process-wide
//   invoke registry, in this order: InxComponentInfo31000,
//   InxLoggableComponentInfo31000, InxStateComponentInfo31000,
//   InxAbstractServerObject41100. The registry (and with it this table)
//   goes with the remoting library's last shut-down.
#pragma once

namespace revurov {

void nxRemotableInterfacesStartup();
void nxRemotableInterfacesShutdown() noexcept;

}  // namespace revurov
