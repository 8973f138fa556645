// The exception class of transports.
#pragma once

#include "lowlevel/components/state_component.h"

namespace revurov {

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxTransportException, EnxStateComponentException);

}  // namespace revurov
