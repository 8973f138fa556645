// Call contexts: the route of a remoting call, and the context current on
// each thread.
//
// Contract:
// - A context's path is the path it was made from followed by its own
//   entry (the process identity and an instance ID of four 32-bit words:
//   serial xor thread ID xor tick count, serial, thread ID, tick count; the
//   serial is process-unique, so no two contexts of a process share an ID).
// - A thread's current context changes only through a TnxCallContextScope
//   made and ended on that thread: it makes its context current and puts
//   back, on that thread, the one it replaced. The thread holds a counted
//   reference to its current context. Making, releasing or destroying a
//   context touches no thread's current context, so a context may be handed
//   to other threads and released there.
// - nxGetCallContext: the thread's current context, else a new context
//   with a path of its own entry only (not made current).
// - nxReadCallContext reads a context block and answers a new context from
//   the path in it, not made current: RPC_E_INVALID_HEADER when the block
//   does not start with the InxCallContext ID, RPC_E_VERSION_MISMATCH for
//   any version but 1; the out parameter then stays nil. The reader's
//   errors (a damaged stream) pass to the caller.
// - IsOnRoute(object with path p of length n): S_OK when 0 < n <= length
//   of this path and entry n-1 of both paths are equal, else S_FALSE;
//   E_INVALIDARG for a nil object, and the object's failure as it answers.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/interface.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

inline constexpr int32_t nxCallContextVersion = 1;

class TnxCallContext final : public TnxInterfacedObject, public InxCallContext {
public:
  TnxCallContext();
  explicit TnxCallContext(TnxRoutingPath aPath);
  ~TnxCallContext() override;

  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override;
  platform::HRESULT WriteCallContext(InxWriter* aWriter) override;
  platform::HRESULT IsOnRoute(InxRoutingPath* aObject) override;
  void EnterCall() override { ccInCall.fetch_add(1, std::memory_order_acq_rel); }
  void LeaveCall() override { ccInCall.fetch_sub(1, std::memory_order_acq_rel); }
  uint32_t GetThreadID() override { return ccThreadID; }
  bool IsInCall() override { return ccInCall.load(std::memory_order_acquire) > 0; }

  const TnxObjectIdentity& Identity() const noexcept { return ccPath.back(); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  // No link to the previous context or to a thread's variable: the scope
  // that made a context current restores the previous one itself.
  uint32_t ccTickCount = 0;
  std::atomic<int32_t> ccInCall{0};
  TnxRoutingPath ccPath;  // fixed once made, so readers need no lock
  uint32_t ccThreadID = 0;
};

// Contexts not yet destroyed, for tests and diagnostics.
int32_t nxLiveCallContextCount() noexcept;

// The thread's current context; nil when it has none.
platform::TInterfacePtr<InxCallContext> nxCurrentCallContext() noexcept;
void nxGetCallContext(platform::TInterfacePtr<InxCallContext>& aContext);
platform::HRESULT nxReadCallContext(InxReader& aReader, platform::TInterfacePtr<InxCallContext>& aContext);

// REQUIRES: made and ended on one thread, scopes of a thread nested.
class TnxCallContextScope {
public:
  explicit TnxCallContextScope(platform::TInterfacePtr<InxCallContext> aContext) noexcept;
  ~TnxCallContextScope();
  TnxCallContextScope(const TnxCallContextScope&) = delete;
  TnxCallContextScope& operator=(const TnxCallContextScope&) = delete;

private:
  platform::TInterfacePtr<InxCallContext> ccsPrevious;
};

}  // namespace revurov
