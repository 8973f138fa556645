// The heap's own units keep process-wide state: their tests need a process
// in which the library heap is not bound (ctest runs each test alone). In a
// run of the whole binary, an earlier test has bound it, and these skip.
#pragma once

#include <gtest/gtest.h>

#include "lowlevel/heap/memory_manager.h"

#define REVUROV_SKIP_WHILE_HEAP_BOUND()                                              \
  if (::revurov::nxMemoryManagerBound())                                             \
  GTEST_SKIP() << "the library heap is bound in this process; run this test alone"
