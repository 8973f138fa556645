// A position in a static-key B*-tree: the base path's key and state, and
// where in the tree it was when last set (leaf, slot, and the leaf's change
// counter and LSN), so the engine can tell whether it still holds.
#pragma once

#include <cstdint>
#include <memory>

#include "index/index_path.h"

namespace revurov {

class TnxStaticKeyBstarTreeIndexPath : public TnxBaseIndexPath {
public:
  using TnxBaseIndexPath::TnxBaseIndexPath;

  void Assign(const TnxPersistent* aSource) override;
  void Clear() override;
  std::u16string_view ClassName() const noexcept override { return u"TnxStaticKeyBstarTreeIndexPath"; }

  uint32_t bpipPage = 0;
  int32_t bpipItem = 0;
  uint64_t bpipIdentCounter = 0;
  TnxLSN bpipLSN = 0;

protected:
  std::unique_ptr<TnxBaseIndexPath> NewPath(TnxBaseIndexEngine* aIndexEngine) const override;
};

}  // namespace revurov
