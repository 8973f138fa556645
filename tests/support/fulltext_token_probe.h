// A token index for fulltext cursor tests: it reads the old and the new
// token stream of every update whole and keeps them as lines "text|distance
// |field". Set Fail to make the next update store an update helper (which
// counts itself) and raise.
//
// Use: a token index descriptor of class TnxProbeTokenIndexDescriptor;
// TFulltextTokenProbe registers the descriptor, table and cursor engine
// classes for its life.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/fulltext_descriptors.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/engines/fulltext_cursor_engine.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/engines/fulltext_token_index_base.h"

namespace revurov::testing {

class TnxProbeTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxProbeTokenIndexDescriptor, TnxBaseTokenIndexDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxProbeTokenIndexDescriptor>)
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;
};

class TnxProbeTokenIndexTableEngine : public TnxBaseTokenIndexTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxProbeTokenIndexTableEngine, TnxBaseTokenIndexTableEngine,
                              TnxTokenIndexTableEngineClass,
                              &nxNewTokenIndexTableEngine<TnxProbeTokenIndexTableEngine>)
  using TnxBaseTokenIndexTableEngine::TnxBaseTokenIndexTableEngine;
};

// Counts the live helper objects.
struct TProbeHelper : TnxObject {
  static std::atomic<int>& Live() {
    static std::atomic<int> live{0};
    return live;
  }
  TProbeHelper() { ++Live(); }
  ~TProbeHelper() override { --Live(); }
};

struct TProbeLog {
  std::vector<std::string> Old, New;
  int Updates = 0;
  bool Fail = false;
};

inline TProbeLog& ProbeLog() {
  static TProbeLog log;
  return log;
}

inline std::string TokenLine(const InxTokenRef& aToken) {
  return platform::Utf16ToUtf8(aToken->TokenText()) + "|" + std::to_string(aToken->TokenDistance()) + "|" +
         std::to_string(aToken->TokenField());
}

inline std::vector<std::string> ReadStream(TnxBaseTokenSourceCursorEngine& aSource, size_t aLimit = 100000) {
  std::vector<std::string> lines;
  aSource.Reset();
  while (InxTokenRef token = aSource.NextToken()) {
    lines.push_back(TokenLine(token));
    if (lines.size() >= aLimit) break;
  }
  return lines;
}

class TnxProbeTokenIndexCursorEngine : public TnxBaseTokenIndexCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxProbeTokenIndexCursorEngine, TnxBaseTokenIndexCursorEngine,
                              TnxTokenIndexCursorEngineClass,
                              &nxNewTokenIndexCursorEngine<TnxProbeTokenIndexCursorEngine>)
  using TnxBaseTokenIndexCursorEngine::TnxBaseTokenIndexCursorEngine;

  uint32_t bticeUpdateIndex(TnxBaseTransaction&, const uint8_t*, const TnxRecID&, const uint8_t*,
                            const TnxRecID&) override {
    TProbeLog& log = ProbeLog();
    ++log.Updates;
    log.Old = ReadStream(TokenSourceOld());
    log.New = ReadStream(TokenSourceNew());
    if (log.Fail) {
      log.Fail = false;
      TnxFulltextCursorEngine& engine = ParentFulltextIndexCursorEngine()->ParentFulltextCursorEngine();
      engine.ftceSetTempUpdateHelper(u"Probe", std::make_unique<TProbeHelper>());
      engine.ftceSetTempUpdateHelper(u"Second", std::make_unique<TProbeHelper>());
      throw EnxBaseTokenIndexCursorEngineException(nxeKeyViolation);
    }
    return 0;
  }
};

class TFulltextTokenProbe {
public:
  TFulltextTokenProbe() {
    TnxProbeTokenIndexDescriptor::ClassInfo().Register();
    TnxProbeTokenIndexTableEngine::ClassInfo().Register();
    TnxProbeTokenIndexCursorEngine::ClassInfo().Register();
    ProbeLog() = {};
  }
  ~TFulltextTokenProbe() {
    TnxProbeTokenIndexCursorEngine::ClassInfo().Unregister();
    TnxProbeTokenIndexTableEngine::ClassInfo().Unregister();
    TnxProbeTokenIndexDescriptor::ClassInfo().Unregister();
  }
  TFulltextTokenProbe(const TFulltextTokenProbe&) = delete;
  TFulltextTokenProbe& operator=(const TFulltextTokenProbe&) = delete;
};

}  // namespace revurov::testing
