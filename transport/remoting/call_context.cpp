#include "transport/remoting/call_context.h"

#include <array>
#include <utility>

#include "platform/os_thread.h"
#include "platform/thread_clock.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::HRESULT;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

thread_local TInterfacePtr<InxCallContext> tlsCallContext;

// Stands where the original put the context's address, which is neither
// unique over time nor 32 bits wide here.
std::atomic<uint32_t> gContextSerial{0};

std::atomic<int32_t> gLiveContexts{0};

}  // namespace

TnxCallContext::TnxCallContext() : TnxCallContext(TnxRoutingPath{}) {}

TnxCallContext::TnxCallContext(TnxRoutingPath aPath)
    : ccTickCount(static_cast<uint32_t>(platform::MonotonicCoarseMilliseconds())),
      ccPath(std::move(aPath)),
      ccThreadID(platform::CurrentThreadId()) {
  gLiveContexts.fetch_add(1, std::memory_order_relaxed);
  const uint32_t serial = gContextSerial.fetch_add(1, std::memory_order_relaxed) + 1;
  ccPath.push_back(
      {nxProcessID(), nxGuidOfWords({serial ^ ccThreadID ^ ccTickCount, serial, ccThreadID, ccTickCount})});
}

TnxCallContext::~TnxCallContext() { gLiveContexts.fetch_sub(1, std::memory_order_relaxed); }

int32_t nxLiveCallContextCount() noexcept { return gLiveContexts.load(std::memory_order_relaxed); }

bool TnxCallContext::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxCallContext>(this, iid, obj) || nxOfferInterface<InxRoutingPath>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxCallContext::GetRoutingPath(TnxRoutingPath& aPath) {
  aPath = ccPath;
  return S_OK;
}

HRESULT TnxCallContext::WriteCallContext(InxWriter* aWriter) {
  if (!aWriter) return E_INVALIDARG;
  aWriter->WriteGuid(InxCallContext::IID);
  aWriter->WriteInteger(nxCallContextVersion);
  nxWriteRoutingPath(*aWriter, ccPath);
  return S_OK;
}

HRESULT TnxCallContext::IsOnRoute(InxRoutingPath* aObject) {
  if (!aObject) return E_INVALIDARG;
  TnxRoutingPath path;
  const HRESULT hr = aObject->GetRoutingPath(path);
  if (hr < 0) return hr;
  const size_t n = path.size();
  if (n == 0 || n > ccPath.size()) return S_FALSE;
  return ccPath[n - 1] == path[n - 1] ? S_OK : S_FALSE;
}

TInterfacePtr<InxCallContext> nxCurrentCallContext() noexcept { return tlsCallContext; }

void nxGetCallContext(TInterfacePtr<InxCallContext>& aContext) {
  aContext = tlsCallContext;
  if (!aContext) aContext = nxCreate<TnxCallContext>();
}

HRESULT nxReadCallContext(InxReader& aReader, TInterfacePtr<InxCallContext>& aContext) {
  aContext.Reset();
  if (aReader.ReadGuid() != InxCallContext::IID) return platform::RPC_E_INVALID_HEADER;
  // Below 1 is no version this system ever wrote: refused as well.
  if (aReader.ReadInteger() != nxCallContextVersion) return platform::RPC_E_VERSION_MISMATCH;
  TnxRoutingPath path;
  nxReadRoutingPath(aReader, path);
  aContext = nxCreate<TnxCallContext>(std::move(path));
  return S_OK;
}

TnxCallContextScope::TnxCallContextScope(TInterfacePtr<InxCallContext> aContext) noexcept
    : ccsPrevious(std::exchange(tlsCallContext, std::move(aContext))) {}

TnxCallContextScope::~TnxCallContextScope() {
  // The replaced context goes out of this frame, not out of the thread
  // variable, so a release that ends a context runs no code while the
  // variable is half set.
  TInterfacePtr<InxCallContext> ending = std::exchange(tlsCallContext, std::move(ccsPrevious));
}

}  // namespace revurov
