#include "index/keyless_key_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/startup.h"

namespace revurov {
namespace {

// The red-black rules over the whole tree; empty when they hold. aRefs
// gets the references in order.
struct TShape {
  std::string Error;
  int32_t Height = 0;
  std::vector<int64_t> Refs;
};

int32_t Walk(const TnxCacheNode* aNode, const TnxCacheNode* aParent, TShape& aShape, int32_t aDepth) {
  if (!aNode) return 1;
  aShape.Height = std::max(aShape.Height, aDepth);
  if (aNode->cnParent != aParent) aShape.Error = "parent link broken";
  if (!aNode->cnIsBlack && aParent && !aParent->cnIsBlack) aShape.Error = "red child of a red node";
  const int32_t left = Walk(aNode->cnLeft, aNode, aShape, aDepth + 1);
  aShape.Refs.push_back(aNode->cnKeyRef);
  const int32_t right = Walk(aNode->cnRight, aNode, aShape, aDepth + 1);
  if (left != right) aShape.Error = "black heights differ";
  return left + (aNode->cnIsBlack ? 1 : 0);
}

TShape ShapeOf(const TnxKeylessBstarTreeIndexKeyCache& aCache) {
  TShape shape;
  if (aCache.Root() && !aCache.Root()->cnIsBlack) shape.Error = "red root";
  Walk(aCache.Root(), nullptr, shape, 1);
  if (!std::is_sorted(shape.Refs.begin(), shape.Refs.end()) ||
      std::adjacent_find(shape.Refs.begin(), shape.Refs.end()) != shape.Refs.end())
    shape.Error = "references out of order";
  return shape;
}

void ExpectBalanced(const TnxKeylessBstarTreeIndexKeyCache& aCache, const std::set<int64_t>& aModel) {
  const TShape shape = ShapeOf(aCache);
  EXPECT_EQ(shape.Error, "");
  EXPECT_EQ(shape.Refs, std::vector<int64_t>(aModel.begin(), aModel.end()));
  EXPECT_LE(shape.Height, 2 * std::log2(static_cast<double>(aModel.size()) + 1) + 1e-9);
}

class KeylessKeyCacheTest : public ::testing::Test {
protected:
  TnxIndexStartupGuard startup_;
};

TEST_F(KeylessKeyCacheTest, LooksUpWithoutCreatingAndCreatesOnce) {
  TnxKeylessBstarTreeIndexKeyCache cache(nullptr);
  EXPECT_EQ(cache.GetNodeForRef(5, true), nullptr);
  EXPECT_TRUE(cache.Empty());
  PnxCacheNode node = cache.GetNodeForRef(5, false);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->cnKeyRef, 5);
  EXPECT_EQ(node->cnKey, nullptr);
  EXPECT_EQ(cache.GetNodeForRef(5, false), node);
  EXPECT_EQ(cache.GetNodeForRef(5, true), node);
  EXPECT_EQ(ShapeOf(cache).Refs, std::vector<int64_t>{5});
  cache.Clear();
  EXPECT_TRUE(cache.Empty());
  cache.Clear();  // clearing an empty cache does nothing
  EXPECT_TRUE(cache.Empty());
}

TEST_F(KeylessKeyCacheTest, OrdersReferencesAsSignedNumbers) {
  TnxKeylessBstarTreeIndexKeyCache cache(nullptr);
  const std::vector<int64_t> refs{1, -1, INT64_MIN, INT64_MAX, 0, int64_t{1} << 32, -(int64_t{1} << 32)};
  for (int64_t r : refs) cache.GetNodeForRef(r, false);
  ExpectBalanced(cache, std::set<int64_t>(refs.begin(), refs.end()));
  EXPECT_EQ(ShapeOf(cache).Refs.front(), INT64_MIN);
  EXPECT_NE(cache.GetNodeForRef(-1, true), nullptr);
}

TEST_F(KeylessKeyCacheTest, StaysBalancedForOrderedAndRandomInsertionsAndClears) {
  struct TCase {
    const char* Name;
    int Order;  // 0 ascending, 1 descending, 2 random
  } cases[] = {{"ascending", 0}, {"descending", 1}, {"random", 2}};
  std::mt19937_64 random(77);
  TnxKeylessBstarTreeIndexKeyCache cache(nullptr);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (int round = 0; round < 3; ++round) {
      std::set<int64_t> model;
      const int n = 1000 + round * 357;
      for (int i = 0; i < n; ++i) {
        int64_t r = c.Order == 0 ? i : (c.Order == 1 ? n - i : static_cast<int64_t>(random() % 5000) - 2500);
        cache.GetNodeForRef(r, false);
        model.insert(r);
        if (i % 97 == 0) ExpectBalanced(cache, model);
      }
      ExpectBalanced(cache, model);
      for (int64_t r : model) EXPECT_EQ(cache.GetNodeForRef(r, true)->cnKeyRef, r);
      cache.Clear();
      EXPECT_TRUE(cache.Empty());
    }
  }
}

}  // namespace
}  // namespace revurov
