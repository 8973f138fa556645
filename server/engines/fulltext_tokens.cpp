#include "server/engines/fulltext_tokens.h"

#include <utility>

namespace revurov {

InxTokenRef TnxToken::New(std::u16string aToken, int32_t aDistance, int16_t aField) {
  return InxTokenRef(nxCreate<TnxToken>(std::move(aToken), aDistance, aField));
}

bool TnxToken::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxToken>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

}  // namespace revurov
