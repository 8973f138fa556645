#include "storage/storage_types.h"

#include <gtest/gtest.h>

namespace revurov {
namespace {

TEST(BlockCommonHeaderTest, IsSixteenLittleEndianBytesAtTheBlockStart) {
  const uint8_t golden[nxBlockCommonHeaderSize + 1] = {
      'N', 'X', 'D', 'H',                              // signature
      0x04, 0x03, 0x02, 0x81,                          // block 0x81020304
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0xF1,  // LSN, negative
      0xEE,                                            // not the header's
  };
  const TnxBlockCommonHeader header = nxLoadBlockCommonHeader(golden);
  EXPECT_EQ(header.bchSignature, (TnxBlockSignature{'N', 'X', 'D', 'H'}));
  EXPECT_EQ(header.bchThisBlock, 0x81020304u);
  EXPECT_EQ(header.bchLSN, static_cast<TnxLSN>(0xF102030405060708ull));

  uint8_t block[nxBlockCommonHeaderSize + 1];
  block[nxBlockCommonHeaderSize] = 0xEE;
  nxStoreBlockCommonHeader(block, header);
  EXPECT_EQ(0, memcmp(block, golden, sizeof golden));
}

}  // namespace
}  // namespace revurov
