// What linked components tell each other: the notification codes, and the
// list and data that an iteration or broadcast over everything linked
// carries from component to component.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lowlevel/objects/lists.h"

namespace revurov {

namespace platform {
class TStringList;
}  // namespace platform

class TnxComponent;

using TnxNotifyOp = int32_t;
inline constexpr TnxNotifyOp nxn_Destroying = 1;
inline constexpr TnxNotifyOp nxn_StateChanging = 4;
inline constexpr TnxNotifyOp nxn_StateChanged = 5;
inline constexpr TnxNotifyOp nxn_Iteration = 6;
inline constexpr TnxNotifyOp nxn_Broadcast = 9;

// Components sorted by display name (compared without case by the locale),
// ties by address. `Add` takes an item only when `Accept` agrees; -1
// otherwise.
class TnxIterationList : public TnxSortedList {
public:
  int32_t Add(void* aItem) override;
  bool Contains(const TnxComponent* aComponent);
  TnxComponent* Items(int aIndex) const { return static_cast<TnxComponent*>(blGet(aIndex)); }
  int8_t Compare(void* aItem1, void* aItem2) override;

protected:
  virtual bool Accept(TnxComponent* aComponent);
};
using TnxIterationListFactory = std::unique_ptr<TnxIterationList> (*)();

// Class names given by callers; kept as a sorted list compared without case
// while a walk runs.
using TnxClassNameList = std::vector<std::u16string>;

struct TnxIterationData {
  TnxIterationList* IteratonList = nullptr;
  const platform::TStringList* IgnoreIterateClasses = nullptr;  // none when null
};

struct TnxBroadcastData : TnxIterationData {
  TnxComponent* bdSender = nullptr;
  TnxNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

}  // namespace revurov
