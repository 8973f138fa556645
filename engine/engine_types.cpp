#include "engine/engine_types.h"

namespace revurov {

void TnxEngineActions::ToBytes(uint8_t (&aBytes)[6]) const noexcept {
  for (int i = 0; i < 6; ++i) aBytes[i] = uint8_t(eaBits >> (8 * i));
}

TnxEngineActions TnxEngineActions::FromBytes(const uint8_t (&aBytes)[6]) noexcept {
  uint64_t bits = 0;
  for (int i = 0; i < 6; ++i) bits |= uint64_t(aBytes[i]) << (8 * i);
  return TnxEngineActions(bits);
}

}  // namespace revurov
