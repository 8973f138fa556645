// An index engine over a std::multiset, for tests of the indices engines
// until a tree engine exists. Registered under "TestMultiset" by
// TMultisetIndexRegistration. Keys are ordered by the key engine, then by
// RefNr; a unique index refuses a second key that compares equal.
//
// Reading answers whole-key searches (the first key at or above the search
// key; equal only for skaEqualFirst), steps from the path's key and RefNr,
// and walks every key with Iterate (ranges and filters are not looked at).
//
// Fault seams (per engine): RefuseInserts/RefuseDeletes make the next
// calls answer false, ThrowOnInsert raises 15461. Every call records what
// the indices engine named as the key in flight, so tests can see the
// "current" fields during the call.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"

namespace revurov::testing {

inline constexpr char16_t kMultisetIndexEngine[] = u"TestMultiset";

struct TMultisetEntry {
  std::vector<uint8_t> Key;
  TnxRefNr RefNr = 0;
};

class TMultisetIndexEngine : public TnxBaseIndexEngine {
  REVUROV_REGISTERABLE_RECORD(TMultisetIndexEngine, TnxBaseIndexEngine, TnxSubEngineClass, nullptr, nullptr,
                              &nxNewSubEngine<TMultisetIndexEngine>)

  struct Less {
    const TnxBaseKeyEngine* Keys;
    bool operator()(const TMultisetEntry& a, const TMultisetEntry& b) const {
      const int c = Keys->CompareKey(a.Key.data(), b.Key.data(), 0, 0);
      return c != 0 ? c < 0 : a.RefNr < b.RefNr;
    }
  };
  struct Seen {
    TnxRefNr RefNr;
    const uint8_t* Key;
    TnxBaseTransaction* Trans;
  };

  explicit TMultisetIndexEngine(const TnxSubEngineArgs& aArgs)
      : TnxBaseIndexEngine(aArgs), Entries(Less{&KeyEngine()}) {}

  void DeleteAllKeys(TnxBaseTransaction&) override { Entries.clear(); }
  bool DeleteKey(TnxBaseTransaction&, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr, TnxBaseIndexPath*) override {
    Note();
    if (RefuseDeletes > 0) return --RefuseDeletes, false;
    auto it = Entries.find(Entry(aKey, aRefNr));
    if (it == Entries.end()) return false;
    Entries.erase(it);
    return true;
  }
  bool InsertKey(TnxBaseTransaction&, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr, TnxBaseIndexPath*) override {
    Note();
    if (ThrowOnInsert) throw EnxBaseIndexEngineException(nxeTimeout, u"test fault");
    if (RefuseInserts > 0) return --RefuseInserts, false;
    TMultisetEntry e = Entry(aKey, aRefNr);
    if (!Dups()) {
      auto it = Entries.lower_bound(TMultisetEntry{e.Key, INT64_MIN});
      if (it != Entries.end() && KeyEngine().CompareKey(it->Key.data(), e.Key.data(), 0, 0) == 0) return false;
    }
    Entries.insert(std::move(e));
    return true;
  }
  void GetKeyCount(TnxBaseTransaction*, uint32_t& aCount) override { aCount = static_cast<uint32_t>(Entries.size()); }

  bool FindKey(TnxBaseTransaction*, const uint8_t* aKey, int32_t, int32_t, TnxRefNr, TnxBaseIndexPath& aPath,
               TnxSearchKeyAction aAction, TnxBaseFilterEngine*) override {
    auto it = Entries.lower_bound(TMultisetEntry{Entry(aKey, 0).Key, INT64_MIN});
    if (it == Entries.end()) return aPath.SetToEof(), false;
    SetOn(aPath, *it);
    return aAction != skaEqualFirst || KeyEngine().CompareKey(it->Key.data(), aKey, 0, 0) == 0;
  }
  bool NextKey(TnxBaseTransaction*, TnxBaseIndexPath& aPath, TnxBaseFilterEngine*) override {
    auto it = aPath.IsBof() ? Entries.begin() : Entries.upper_bound(Entry(aPath.KeyBuffer(), aPath.RefNr));
    if (aPath.IsEof() || it == Entries.end()) return aPath.SetToEof(), false;
    return SetOn(aPath, *it), true;
  }
  bool PrevKey(TnxBaseTransaction*, TnxBaseIndexPath& aPath, TnxBaseFilterEngine*) override {
    auto it = aPath.IsEof() ? Entries.end() : Entries.lower_bound(Entry(aPath.KeyBuffer(), aPath.RefNr));
    if (aPath.IsBof() || it == Entries.begin()) return aPath.SetToBof(), false;
    return SetOn(aPath, *std::prev(it)), true;
  }
  void Iterate(TnxBaseTransaction*, TnxBaseIndexPath*, PnxRecordBuffer*, const TnxIndexKeyIterator& aKeyIterator,
               const TnxStorageRecordIterator&, void* aCookie, const TnxRangeInfo&, const TnxRangeInfo&,
               TnxBaseFilterEngine*, TnxBaseFilterEngine*, bool) override {
    for (const auto& e : Entries)
      if (aKeyIterator && aKeyIterator(aCookie, e.RefNr, e.Key.data()) == kirStop) return;
  }

  // The (key, RefNr) pairs in order, for comparing contents.
  std::vector<std::pair<std::vector<uint8_t>, TnxRefNr>> Contents() const {
    std::vector<std::pair<std::vector<uint8_t>, TnxRefNr>> out;
    for (const auto& e : Entries) out.emplace_back(e.Key, e.RefNr);
    return out;
  }

  std::multiset<TMultisetEntry, Less> Entries;
  int RefuseInserts = 0;
  int RefuseDeletes = 0;
  bool ThrowOnInsert = false;
  std::vector<Seen> SeenCurrent;

private:
  void SetOn(TnxBaseIndexPath& aPath, const TMultisetEntry& aEntry) const {
    aPath.Clear();
    aPath.RefNr = aEntry.RefNr;
    std::memcpy(aPath.KeyBuffer(), aEntry.Key.data(), aEntry.Key.size());
    aPath.KeyValid = true;
    aPath.Position = ippOnKey;
  }
  TMultisetEntry Entry(const uint8_t* aKey, TnxRefNr aRefNr) const {
    return {std::vector<uint8_t>(aKey, aKey + KeyEngine().KeyLength()), aRefNr};
  }
  void Note() {
    SeenCurrent.push_back({IndicesEngine().CurrentRefNr(), IndicesEngine().CurrentKey(), IndicesEngine().CurrentTrans()});
  }
};

class TMultisetIndexRegistration {
public:
  TMultisetIndexRegistration() { TMultisetIndexEngine::ClassInfo().Register(kMultisetIndexEngine); }
  ~TMultisetIndexRegistration() { TMultisetIndexEngine::ClassInfo().Unregister(); }
  TMultisetIndexRegistration(const TMultisetIndexRegistration&) = delete;
  TMultisetIndexRegistration& operator=(const TMultisetIndexRegistration&) = delete;
};

}  // namespace revurov::testing
