// TnxBaseSqlEngine: the component a server engine may link to turn query
// text into statements. No SQL engine ships; this fixes what the server
// asks of one.
//
// Contract:
// - PrepareShutdown runs once each time the linked server engine stops,
//   after its cleanup timer ended and before its sessions, databases and
//   folders go: the SQL engine lets go of whatever it holds on them.
// - StatementAlloc answers 0 with a new statement of aDatabase in
//   aStatement (nil beforehand), or a code; the caller frees whatever
//   aStatement holds on failure, and turns exceptions into codes.
#pragma once

#include <cstdint>

#include "lowlevel/components/state_component.h"

namespace revurov {

class TnxAbstractDatabase;
class TnxAbstractStatement;

class TnxBaseSqlEngine : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseSqlEngine, TnxStateComponent)
  explicit TnxBaseSqlEngine(platform::TComponent* aOwner) : TnxStateComponent(aOwner) {}

  virtual void PrepareShutdown() = 0;
  virtual uint32_t StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                                  uint32_t aTimeout) = 0;
};

}  // namespace revurov
