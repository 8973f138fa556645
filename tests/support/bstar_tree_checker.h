// A structural check of a static-key B*-tree as one transaction sees it
// (null: the committed images), reading the nodes itself:
// - every leaf at one depth, every window within its leaf and not empty,
//   keys strictly ascending in (key, RefNr) order;
// - every separator a copy of the largest key of the subtree on its left;
// - the leaf chain both ways, ending in 0xFFFFFFFF at both ends;
// - the header's page and key counts equal what the walk found.
// Error is empty for a sound tree; Entries and Leaves are what it holds.
// A keyless tree's entry keys come from aKeyOf (the key of a record); a
// tree that orders equal keys by something else than the RefNr names it
// through aTieOf (a record's cache RefNr).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/index_block.h"
#include "index/static_key_bstar_tree.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"
#include "storage/release_method.h"

namespace revurov::testing {

using TTreeEntry = std::pair<std::vector<uint8_t>, TnxRefNr>;

struct TTreeReport {
  std::string Error;
  std::vector<TTreeEntry> Entries;
  // The keys of each leaf in chain order (as entries).
  std::vector<std::vector<TTreeEntry>> Leaves;
  std::vector<uint32_t> LeafFirsts;  // the first slot of each leaf
  int32_t Depth = 0;  // internal levels above the leaves
  uint32_t Pages = 0;
};

class TTreeChecker {
public:
  using TKeyOf = std::function<std::vector<uint8_t>(TnxRefNr)>;
  using TTieOf = std::function<TnxRefNr(TnxRefNr)>;
  TTreeChecker(TnxStaticKeyBstarTreeIndexEngine& aEngine, TnxBaseTransaction* aTrans, TKeyOf aKeyOf = {},
               TTieOf aTieOf = {})
      : tcEngine(aEngine), tcTrans(aTrans), tcKeyOf(std::move(aKeyOf)), tcTieOf(std::move(aTieOf)) {}

  TTreeReport Check() {
    auto header = tcEngine.CreateHeaderAccess(tcTrans, false, false, 0, 0);
    const uint32_t root = header->GetIndexRoot();
    const uint32_t pages = header->GetIndexPageCount();
    const uint32_t keys = header->GetIndexKeyCount();
    header.reset();
    if (root == nxNoNode) {
      if (pages != 0 || keys != 0) Fail("empty index with page count " + std::to_string(pages));
      return std::move(tcReport);
    }
    std::vector<uint8_t> max;
    if (!Walk(root, 0, max)) return std::move(tcReport);
    CheckChain();
    if (tcReport.Error.empty() && tcReport.Pages != pages)
      Fail("page count " + std::to_string(pages) + ", found " + std::to_string(tcReport.Pages));
    if (tcReport.Error.empty() && tcReport.Entries.size() != keys)
      Fail("key count " + std::to_string(keys) + ", found " + std::to_string(tcReport.Entries.size()));
    return std::move(tcReport);
  }

private:
  struct TLeaf {
    uint32_t Block, Prev, Next;
  };

  bool Fail(const std::string& aWhat) {
    if (tcReport.Error.empty()) tcReport.Error = aWhat;
    return false;
  }

  // The node's image, or empty after a failure.
  std::vector<uint8_t> Read(uint32_t aBlock) {
    if (!tcFile) tcFile = tcEngine.IndexFile().HeaderAccess(tcTrans, false);
    if (!tcEngine.IndexFile().ValidBlock(aBlock, *tcFile))
      return Fail("block " + std::to_string(aBlock) + " is outside the file"), std::vector<uint8_t>{};
    if (!tcSeen.insert(aBlock).second) return Fail("block " + std::to_string(aBlock) + " met twice"), std::vector<uint8_t>{};
    TnxBlockGuard guard;
    guard.Hold(tcEngine.IndexFile().GetBlock(tcTrans, aBlock, tcEngine.IndicesEngine().bseID, false,
                                            guard.ReleaseMethod()));
    std::vector<uint8_t> image(guard.Block(), guard.Block() + tcEngine.IndexFile().fiBlockSizeBytes());
    if (std::memcmp(image.data(), nxIndexBlockSignature.data(), 4) != 0 || platform::LoadU32(image.data() + 4) != aBlock)
      return Fail("block " + std::to_string(aBlock) + " is no index node"), std::vector<uint8_t>{};
    ++tcReport.Pages;
    return image;
  }

  // The node key (NodeKeyLength bytes) of a leaf slot.
  std::vector<uint8_t> LeafNodeKey(const uint8_t* aNode, uint32_t aSlot) const {
    const uint8_t* key = aNode + tcEngine.LeafKeyOffset(aSlot);
    if (tcEngine.IsKeyless()) return std::vector<uint8_t>(key, key + 8);
    std::vector<uint8_t> out(key, key + tcEngine.DescKeyLength());
    if (tcEngine.AddKeyRefsToKeys()) {
      out.resize(tcEngine.NodeKeyLength());
      platform::StoreU64(out.data() + tcEngine.DescKeyLength(),
                         static_cast<uint64_t>(tcEngine.LeafRefNr(aNode, aSlot)));
    }
    return out;
  }

  // Leaf and internal order: (key, RefNr) strictly ascending.
  int Compare(const std::vector<uint8_t>& a, TnxRefNr ra, const std::vector<uint8_t>& b, TnxRefNr rb) const {
    const int c = tcEngine.KeyEngine().CompareKey(a.data(), b.data(), 0, 0);
    if (c != 0 || (!tcEngine.Dups() || tcEngine.KeysAreRefs())) return c;
    if (tcTieOf) {
      ra = tcTieOf(ra);
      rb = tcTieOf(rb);
    }
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
  }

  bool Walk(uint32_t aBlock, int32_t aDepth, std::vector<uint8_t>& aMax) {
    if (aDepth > nxMaxTreeDepth) return Fail("deeper than the path stack");
    const std::vector<uint8_t> image = Read(aBlock);
    if (image.empty()) return false;
    const uint8_t* node = image.data();
    const uint32_t first = platform::LoadU16(node + nxihFirstSlot);
    const uint32_t count = platform::LoadU16(node + nxihKeyCount);
    const std::string at = " in block " + std::to_string(aBlock);
    if (node[nxihNodeKind] == nxnkLeaf) {
      if (tcLeafDepth < 0) tcLeafDepth = aDepth;
      if (aDepth != tcLeafDepth) return Fail("leaves at two depths" + at);
      if (count == 0 || first + count > tcEngine.MaxLeaf()) return Fail("window out of bounds" + at);
      tcReport.Depth = aDepth;
      tcChain.push_back({aBlock, platform::LoadU32(node + nxihPrevNode), platform::LoadU32(node + nxihNextNode)});
      tcReport.Leaves.emplace_back();
      tcReport.LeafFirsts.push_back(first);
      for (uint32_t s = first; s < first + count; ++s) {
        const uint8_t* key = node + tcEngine.LeafKeyOffset(s);
        const TnxRefNr ref = tcEngine.LeafRefNr(node, s);
        TTreeEntry entry{tcEngine.IsKeyless() ? tcKeyOf(ref)
                                              : std::vector<uint8_t>(key, key + tcEngine.KeyEngine().KeyLength()),
                         ref};
        if (!tcReport.Entries.empty()) {
          const TTreeEntry& last = tcReport.Entries.back();
          if (Compare(last.first, last.second, entry.first, entry.second) >= 0) return Fail("keys out of order" + at);
        }
        tcReport.Entries.push_back(entry);
        tcReport.Leaves.back().push_back(std::move(entry));
      }
      aMax = LeafNodeKey(node, first + count - 1);
      return true;
    }
    if (node[nxihNodeKind] != nxnkInternal) return Fail("unknown node kind" + at);
    if (count == 0 || count > tcEngine.MaxInternal()) return Fail("internal count out of bounds" + at);
    for (uint32_t i = 0; i <= count; ++i) {
      std::vector<uint8_t> childMax;
      if (!Walk(platform::LoadU32(node + tcEngine.TreePointerOffset(i)), aDepth + 1, childMax)) return false;
      if (i < count) {
        const uint8_t* separator = node + tcEngine.InternalKeyOffset(i);
        if (std::memcmp(separator, childMax.data(), tcEngine.NodeKeyLength()) != 0)
          return Fail("separator " + std::to_string(i) + " is not the largest key on its left" + at);
      }
      aMax = std::move(childMax);
    }
    return true;
  }

  void CheckChain() {
    for (size_t i = 0; i < tcChain.size(); ++i) {
      const uint32_t prev = i == 0 ? nxNoNode : tcChain[i - 1].Block;
      const uint32_t next = i + 1 == tcChain.size() ? nxNoNode : tcChain[i + 1].Block;
      if (tcChain[i].Prev != prev || tcChain[i].Next != next)
        Fail("leaf chain broken at block " + std::to_string(tcChain[i].Block));
    }
  }

  TnxStaticKeyBstarTreeIndexEngine& tcEngine;
  TnxBaseTransaction* tcTrans;
  TKeyOf tcKeyOf;
  TTieOf tcTieOf;
  TTreeReport tcReport;
  std::unique_ptr<TnxBaseFileHeaderAccess> tcFile;
  std::set<uint32_t> tcSeen;
  std::vector<TLeaf> tcChain;
  int32_t tcLeafDepth = -1;
};

}  // namespace revurov::testing
