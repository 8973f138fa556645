#include "storage/server_exceptions.h"

#include <gtest/gtest.h>

namespace revurov {
namespace {

TEST(LockFailureReasonTest, ClearAlsoForgetsTheSameSessionMark) {
  TnxLockFailureReason reason;
  reason.Add(u"held by session 7");
  reason.SameSession = true;
  reason.Clear();
  EXPECT_EQ(reason.Count(), 0);
  EXPECT_FALSE(reason.SameSession);
}

}  // namespace
}  // namespace revurov
