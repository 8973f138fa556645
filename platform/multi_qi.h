// The batch interface query: one call asks an object for several
// interfaces, each entry getting its own result.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov::platform {

struct MULTI_QI {
  const TGUID* pIID;       // nil: the entry gets E_INVALIDARG
  void* pItf;              // the interface asked for, one reference taken; skipped when set on entry
  HRESULT hr;
};

class IMultiQI : public virtual IInterface {
public:
  static constexpr TGUID IID = nxGuid("{00000020-0000-0000-C000-000000000046}");
  // S_OK all entries answered, S_FALSE some, E_NOINTERFACE none.
  virtual HRESULT QueryMultipleInterfaces(uint32_t aCount, MULTI_QI* aEntries) = 0;
};

}  // namespace revurov::platform
