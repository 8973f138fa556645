// The initial Blowfish P-array and S-boxes: the fractional hexadecimal
// digits of pi (generated; see tests/lowlevel/cipher_vectors.py).
#pragma once

#include <cstdint>

namespace revurov {

extern const uint32_t nxBlowfishInitialP[18];
extern const uint32_t nxBlowfishInitialS[4][256];

}  // namespace revurov
