#include "client/data_access_component.h"

#include "client/database_error.h"

namespace revurov {

const TnxComponentExceptionClass& TnxDataAccessStateComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxDatabaseError>();
}

}  // namespace revurov
