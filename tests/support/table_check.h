// A table's records read straight from its record engine, and the check
// that an index holds each of them exactly once, under the key built from
// the record, in key order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "index/index_engines.h"
#include "index/index_path.h"
#include "server/server_table.h"
#include "storage/sub_engines.h"

namespace revurov::testing {

using TRecords = std::map<TnxRefNr, std::vector<uint8_t>>;

// aTrans nil: the committed state.
inline TRecords ReadRecords(TnxServerBaseTable& aTable, TnxBaseTransaction* aTrans, size_t aRecordLength) {
  TRecords records;
  std::vector<uint8_t> record(aRecordLength + 16, 0);
  TnxRefNr refNr = 0;
  for (;;) {
    aTable.RecordEngine()->ReadNextRecord(aTrans, refNr, refNr, record.data());
    if (refNr == 0) break;
    records[refNr] = record;
  }
  return records;
}

inline void ExpectIndexComplete(TnxBaseIndexEngine& aIndex, TnxBaseTransaction* aTrans, const TRecords& aRecords,
                                const std::string& aName) {
  const TnxBaseKeyEngine& keys = aIndex.KeyEngine();
  std::unique_ptr<TnxBaseIndexPath> path = aIndex.CreateIndexPath();
  path->SetToBof();
  std::set<TnxRefNr> seen;
  std::vector<uint8_t> key(keys.KeyLength()), previous;
  while (aIndex.NextKey(aTrans, *path, nullptr)) {
    const auto found = aRecords.find(path->RefNr);
    ASSERT_NE(found, aRecords.end()) << aName << " names a missing record " << path->RefNr;
    ASSERT_TRUE(seen.insert(path->RefNr).second) << aName << " holds " << path->RefNr << " twice";
    ASSERT_EQ(keys.BuildKey(found->second.data(), key.data(), path->RefNr, true), 0u);
    ASSERT_EQ(keys.CompareKey(key.data(), path->KeyBuffer(), 0, 0), 0) << aName << ": stale key of " << path->RefNr;
    if (!previous.empty()) {
      ASSERT_LE(keys.CompareKey(previous.data(), key.data(), 0, 0), 0) << aName << " out of order";
    }
    previous = key;
  }
  EXPECT_EQ(seen.size(), aRecords.size()) << aName << " misses records";
}

}  // namespace revurov::testing
