// The answers a B*-tree index must give, kept in a std::multiset of
// (key, RefNr) ordered by the key engine's whole-key order and then by
// RefNr. Changes since the last Commit can be rolled back as a
// transaction's are.
#pragma once

#include <cstdint>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/key_engine.h"
#include "support/bstar_tree_checker.h"

namespace revurov::testing {

class TTreeModel {
public:
  TTreeModel(const TnxBaseKeyEngine& aKeys, TnxIndexDups aDups) : mKeys(aKeys), mDups(aDups), mSet(Less{&aKeys}) {}

  bool Insert(const TTreeEntry& e) {
    if (mSet.find(e) != mSet.end()) return false;
    if ((mDups == idNone || (mDups == idNull && !mKeys.KeyContainsNulls(e.first.data()))) && EqualKey(e) != mSet.end())
      return false;
    mSet.insert(e);
    mUndo.push_back({true, e});
    return true;
  }
  bool Delete(const TTreeEntry& e) {
    auto it = mDups == idNone ? EqualKey(e) : mSet.find(e);
    if (it == mSet.end()) return false;
    mUndo.push_back({false, *it});
    mSet.erase(it);
    return true;
  }
  // The entry at or after aEntry's key, or the first; null when empty.
  const TTreeEntry* Near(const TTreeEntry& aEntry) const {
    if (mSet.empty()) return nullptr;
    auto it = mSet.lower_bound({aEntry.first, INT64_MIN});
    return it == mSet.end() ? &*mSet.begin() : &*it;
  }
  // The last entry below aEntry's key, or the last; null when empty.
  const TTreeEntry* Below(const TTreeEntry& aEntry) const {
    if (mSet.empty()) return nullptr;
    auto it = mSet.lower_bound({aEntry.first, INT64_MIN});
    return it == mSet.begin() ? &*mSet.rbegin() : &*std::prev(it);
  }
  std::vector<TTreeEntry> Contents() const { return {mSet.begin(), mSet.end()}; }
  void Commit() { mUndo.clear(); }
  void Rollback() {
    for (auto it = mUndo.rbegin(); it != mUndo.rend(); ++it) {
      if (it->first)
        mSet.erase(mSet.find(it->second));
      else
        mSet.insert(it->second);
    }
    mUndo.clear();
  }
  size_t Size() const { return mSet.size(); }

private:
  struct Less {
    const TnxBaseKeyEngine* Keys;
    bool operator()(const TTreeEntry& a, const TTreeEntry& b) const {
      const int c = Keys->CompareKey(a.first.data(), b.first.data(), 0, 0);
      return c != 0 ? c < 0 : a.second < b.second;
    }
  };
  std::multiset<TTreeEntry, Less>::iterator EqualKey(const TTreeEntry& e) const {
    auto it = mSet.lower_bound({e.first, INT64_MIN});
    if (it != mSet.end() && mKeys.CompareKey(it->first.data(), e.first.data(), 0, 0) == 0) return it;
    return mSet.end();
  }

  const TnxBaseKeyEngine& mKeys;
  TnxIndexDups mDups;
  std::multiset<TTreeEntry, Less> mSet;
  std::vector<std::pair<bool, TTreeEntry>> mUndo;
};

}  // namespace revurov::testing
