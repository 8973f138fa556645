// The calling thread in a network of its own with only loopback up, for the
// lifetime of the object: broadcasts and fixed ports of one test meet
// nobody else's. Refused (no privilege) or started where any interface but
// loopback is up, it stays out, and the test should skip itself.
#pragma once

#include <string>

#include "platform/network_namespace.h"
#include "platform/socket.h"

namespace revurov::testing {

inline bool OnlyLoopbackIsUp() {
  for (const std::string& address : platform::UpInet4Addresses(false))
    if (address.rfind("127.", 0) != 0) return false;
  return true;
}

class TPrivateNetwork {
public:
  TPrivateNetwork() {
    if (OnlyLoopbackIsUp()) pnPrevious = platform::EnterNewNetworkNamespace();
  }
  ~TPrivateNetwork() { platform::LeaveNetworkNamespace(pnPrevious); }
  TPrivateNetwork(const TPrivateNetwork&) = delete;
  TPrivateNetwork& operator=(const TPrivateNetwork&) = delete;

  bool Entered() const noexcept { return pnPrevious >= 0; }

private:
  int pnPrevious = -1;
};

}  // namespace revurov::testing
