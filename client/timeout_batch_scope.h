// One timeout batch of an engine object, ended on every path: the timeouts
// set inside go out together.
#pragma once

#include "engine/timeout_object.h"

namespace revurov {

class TnxTimeoutBatchScope {
public:
  explicit TnxTimeoutBatchScope(TnxAbstractTimeoutObject& aObject) : tbsObject(aObject) { tbsObject.BeginTimeoutBatch(); }
  ~TnxTimeoutBatchScope() {
    try {
      tbsObject.EndTimeoutBatch();
    } catch (...) {
      // The first failure, inside the batch, is the one to report.
    }
  }
  TnxTimeoutBatchScope(const TnxTimeoutBatchScope&) = delete;
  TnxTimeoutBatchScope& operator=(const TnxTimeoutBatchScope&) = delete;

private:
  TnxAbstractTimeoutObject& tbsObject;
};

}  // namespace revurov
