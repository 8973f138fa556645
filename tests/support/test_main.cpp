// The main of every test binary: a start that names a child entry runs that
// entry instead of the tests.
#include <gmock/gmock.h>

#include "support/spawned_child.h"

int main(int argc, char** argv) {
  int code = 0;
  if (revurov::testing::RunChildEntry(argc, argv, code)) return code;
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
