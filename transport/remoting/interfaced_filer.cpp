#include "transport/remoting/interfaced_filer.h"

namespace revurov {

bool TnxInterfacedWriter::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxWriter>(this, iid, obj) || TnxPersistent::GetInterface(iid, obj);
}

bool TnxInterfacedReader::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxReader>(this, iid, obj) || TnxPersistent::GetInterface(iid, obj);
}

}  // namespace revurov
