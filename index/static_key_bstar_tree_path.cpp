#include "index/static_key_bstar_tree_path.h"

namespace revurov {

void TnxStaticKeyBstarTreeIndexPath::Assign(const TnxPersistent* aSource) {
  if (aSource == this) return;
  TnxBaseIndexPath::Assign(aSource);
  if (const auto* source = dynamic_cast<const TnxStaticKeyBstarTreeIndexPath*>(aSource)) {
    bpipPage = source->bpipPage;
    bpipItem = source->bpipItem;
    bpipIdentCounter = source->bpipIdentCounter;
    bpipLSN = source->bpipLSN;
  }
}

void TnxStaticKeyBstarTreeIndexPath::Clear() {
  TnxBaseIndexPath::Clear();
  bpipPage = 0;
  bpipItem = 0;
  bpipIdentCounter = 0;
  bpipLSN = 0;
}

std::unique_ptr<TnxBaseIndexPath> TnxStaticKeyBstarTreeIndexPath::NewPath(TnxBaseIndexEngine* aIndexEngine) const {
  return std::make_unique<TnxStaticKeyBstarTreeIndexPath>(aIndexEngine);
}

}  // namespace revurov
