#include "server/engines/fulltext_tokens.h"

#include <utility>

namespace revurov {

InxTokenRef TnxToken::New(std::u16string aToken, int32_t aDistance, int16_t aField) {
  // The count of one a new object starts with becomes the caller's
  // reference: the constructor takes no reference of its own, so dropping
  // the count to 0 and taking it back would only cost two atomic operations
  // per word.
  return InxTokenRef::Attach(new TnxToken(std::move(aToken), aDistance, aField));
}

int32_t TnxToken::Release() noexcept {
  // Nothing in a token's destructor takes a reference, so the count cannot
  // pass 0 twice and the guard against a second destruction is not needed.
  const int32_t count = ioRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return count;
}

bool TnxToken::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxToken>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

}  // namespace revurov
