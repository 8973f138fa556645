// How block memory handed out by the buffer manager is given back.
//
// Contract:
// - Every operation that hands out a block pointer also sets a release
//   method; the caller calls it exactly once with that pointer, which it
//   sets to nil. Releasing never raises and needs no lock.
// - TnxBlockGuard holds one pointer and its method and releases on scope
//   exit, also when the caller raises; TnxReleaseList does the same for
//   many, in the order they were added.
#pragma once

#include <utility>
#include <vector>

#include "storage/storage_types.h"

namespace revurov {

class TnxReleaseMethod {
public:
  using TCall = void (*)(void* aSelf, PnxBlock& aBlock) noexcept;

  constexpr TnxReleaseMethod() noexcept = default;
  constexpr TnxReleaseMethod(TCall aCall, void* aSelf) noexcept : rmCall(aCall), rmSelf(aSelf) {}

  explicit operator bool() const noexcept { return rmCall != nullptr; }
  void operator()(PnxBlock& aBlock) const noexcept { rmCall(rmSelf, aBlock); }
  // The object the method releases to.
  void* Self() const noexcept { return rmSelf; }
  friend bool operator==(const TnxReleaseMethod&, const TnxReleaseMethod&) = default;

private:
  TCall rmCall = nullptr;
  void* rmSelf = nullptr;
};

// One handed-out block: fill it through ReleaseMethod() and Hold().
//   TnxBlockGuard guard;
//   guard.Hold(bm.GetBlock(file, nullptr, n, guard.ReleaseMethod()));
class TnxBlockGuard {
public:
  TnxBlockGuard() = default;
  ~TnxBlockGuard() { Release(); }
  TnxBlockGuard(TnxBlockGuard&& aOther) noexcept
      : bgBlock(std::exchange(aOther.bgBlock, nullptr)), bgRelease(std::exchange(aOther.bgRelease, {})) {}
  TnxBlockGuard& operator=(TnxBlockGuard&& aOther) noexcept {
    if (this != &aOther) {
      Release();
      bgBlock = std::exchange(aOther.bgBlock, nullptr);
      bgRelease = std::exchange(aOther.bgRelease, {});
    }
    return *this;
  }
  TnxBlockGuard(const TnxBlockGuard&) = delete;
  TnxBlockGuard& operator=(const TnxBlockGuard&) = delete;

  // Where the handing-out operation stores its method; hold no block then.
  TnxReleaseMethod& ReleaseMethod() noexcept { return bgRelease; }
  void Hold(PnxBlock aBlock) noexcept { bgBlock = aBlock; }
  PnxBlock Block() const noexcept { return bgBlock; }
  explicit operator bool() const noexcept { return static_cast<bool>(bgRelease); }

  void Release() noexcept {
    if (bgRelease) std::exchange(bgRelease, {})(bgBlock);
    bgBlock = nullptr;
  }

private:
  PnxBlock bgBlock = nullptr;
  TnxReleaseMethod bgRelease;
};

class TnxReleaseList {
public:
  TnxReleaseList() = default;
  ~TnxReleaseList() { Release(); }
  TnxReleaseList(const TnxReleaseList&) = delete;
  TnxReleaseList& operator=(const TnxReleaseList&) = delete;

  // When the list cannot take the entry, the block is released at once.
  void Add(PnxBlock aBlock, TnxReleaseMethod aMethod) {
    try {
      rlEntries.emplace_back(aBlock, aMethod);
    } catch (...) {
      if (aMethod) aMethod(aBlock);
      throw;
    }
  }
  int32_t Count() const noexcept { return static_cast<int32_t>(rlEntries.size()); }

  void Release() noexcept {
    // Taken out first: a method that adds to this list starts a new round.
    std::vector<std::pair<PnxBlock, TnxReleaseMethod>> entries;
    entries.swap(rlEntries);
    for (auto& [block, method] : entries)
      if (method) method(block);
  }

private:
  std::vector<std::pair<PnxBlock, TnxReleaseMethod>> rlEntries;
};

}  // namespace revurov
