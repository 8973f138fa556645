// The base of every client component: a state component whose exception
// class is EnxDatabaseError, so that a failed engine call passed to
// CheckError, every RaiseError form and every refusal of the state machine
// ("This component must be started when performing this operation.") reach
// client code as the one exception it catches, named after the component.
#pragma once

#include "lowlevel/components/state_component.h"

namespace revurov {

class TnxDataAccessStateComponent : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxDataAccessStateComponent, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;

  const TnxComponentExceptionClass& GetExceptionClass() const override;
};

}  // namespace revurov
