// The keyless B*-tree's bulk builder: the static-key builder's sorting,
// runs and merges, writing leaves that hold only the RefNrs.
#pragma once

#include "index/bulk_build_static_key.h"

namespace revurov {

class TnxKeylessBstarTreeIndexBulkBuilder : public TnxStaticKeyBstarTreeIndexBulkBuilder {
public:
  using TnxStaticKeyBstarTreeIndexBulkBuilder::TnxStaticKeyBstarTreeIndexBulkBuilder;
};

}  // namespace revurov
