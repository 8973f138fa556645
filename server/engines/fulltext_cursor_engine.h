// The cursor half of fulltext maintenance: built per table cursor from the
// table half, one engine per table engine. For every fulltext index it
// turns the old and the new record of a change into two token streams
// (each side with its own extractors and filters) and hands both to the
// index's token indices.
//
// Contract:
// - Building happens at cursor open; a class that is not registered, or a
//   field whose code page cannot be converted, fails the open there.
// - UpdateIndex runs the fulltext indices from the last to the first and
//   answers the first non-zero result. Insert passes no old record and old
//   RefNr 0, delete no new record and new RefNr 0, modify both with the
//   same RefNr.
// - Update helpers are objects token indices keep for one UpdateIndex; on
//   every way out of it (result 0, an error, an exception) they and their
//   list are freed before the caller sees the outcome.
// - Freeing runs in reverse of building.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/engine_records.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/fulltext_tokens.h"

namespace revurov {

class TnxBaseTokenExtractorCursorEngine;
class TnxBaseTokenFilterCursorEngine;
class TnxBaseTokenIndexCursorEngine;
class TnxFulltextIndexTableEngine;
class TnxFulltextTableEngine;
class TnxTokenExtractorHubCursorEngine;
class TnxTokenFilterHubCursorEngine;
class TnxTokenIndexHubCursorEngine;

REVUROV_EXCEPTION_CLASS(EnxFulltextCursorEngineException, EnxBaseFulltextCursorEngineException);
REVUROV_EXCEPTION_CLASS(EnxFulltextIndexCursorEngineException, EnxServerException);

extern TnxClassRegistry nxFulltextIndexCursorEngines;

class TnxFulltextCursorEngine : public TnxBaseFulltextCursorEngine {
public:
  static std::unique_ptr<TnxBaseFulltextCursorEngine> New(TnxBaseFulltextTableEngine& aTableEngine,
                                                          TnxAbstractCursor* aCursor);
  REVUROV_REGISTERABLE_RECORD(TnxFulltextCursorEngine, TnxBaseFulltextCursorEngine, TnxFulltextCursorEngineClass,
                              &TnxFulltextCursorEngine::New)

  TnxFulltextCursorEngine(TnxFulltextTableEngine& aTableEngine, TnxAbstractCursor* aCursor);
  ~TnxFulltextCursorEngine() override;

  virtual void Build();
  virtual void CreateFulltextIndices();

  uint32_t UpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, TnxRefNr aOldRefNr,
                       const uint8_t* aNewRecord, TnxRefNr aNewRefNr) override;

  // Null when absent.
  TnxObject* ftceGetTempUpdateHelper(const std::u16string& aName) const;
  // Takes aObject over; an object already under aName is freed, null frees
  // and removes it.
  void ftceSetTempUpdateHelper(const std::u16string& aName, std::unique_ptr<TnxObject> aObject);
  // Whether a helper list exists (between the first store and the end of
  // the update).
  bool HasUpdateHelpers() const noexcept { return ftceUpdateHelpers != nullptr; }

  TnxFulltextTableEngine& FulltextTableEngine() const noexcept { return ftceFulltextTableEngine; }
  TnxAbstractCursor* FulltextCursor() const noexcept { return ftceFulltextCursor; }
  int32_t FulltextIndexCount() const noexcept { return static_cast<int32_t>(ftceFulltextIndices.size()); }
  TnxFulltextIndexCursorEngine& FulltextIndex(int32_t aInx) const {
    return *ftceFulltextIndices.at(static_cast<size_t>(aInx));
  }

private:
  struct NameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const noexcept;
  };
  void FreeUpdateHelpers() noexcept;

  TnxFulltextTableEngine& ftceFulltextTableEngine;
  TnxAbstractCursor* ftceFulltextCursor;  // not owned; may be null outside a table cursor
  std::vector<std::unique_ptr<TnxFulltextIndexCursorEngine>> ftceFulltextIndices;
  std::unique_ptr<std::map<std::u16string, std::unique_ptr<TnxObject>, NameLess>> ftceUpdateHelpers;
};

struct TnxFulltextIndexCursorEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxFulltextIndexCursorEngine> (*Create)(TnxFulltextCursorEngine& aParent,
                                                          TnxFulltextIndexTableEngine& aTableEngine) = nullptr;
};

class TnxFulltextIndexCursorEngine : public TnxBaseRegisterableEngine {
public:
  static std::unique_ptr<TnxFulltextIndexCursorEngine> New(TnxFulltextCursorEngine& aParent,
                                                           TnxFulltextIndexTableEngine& aTableEngine);
  REVUROV_REGISTERABLE_FAMILY(TnxFulltextIndexCursorEngine, TnxBaseRegisterableEngine,
                              TnxFulltextIndexCursorEngineClass, &nxFulltextIndexCursorEngines,
                              &TnxFulltextIndexCursorEngine::New)

  TnxFulltextIndexCursorEngine(TnxFulltextCursorEngine& aParent, TnxFulltextIndexTableEngine& aTableEngine);
  ~TnxFulltextIndexCursorEngine() override;

  static std::unique_ptr<TnxFulltextIndexCursorEngine> CreateFor(TnxFulltextCursorEngine& aParent,
                                                                 TnxFulltextIndexTableEngine& aTableEngine);
  // Old and new extractor hubs, old and new filter hubs reading them, then
  // the token index hub reading both filter hubs.
  virtual void Build();

  virtual uint32_t ficeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, const TnxRecID& aOldRecID,
                                   const uint8_t* aNewRecord, const TnxRecID& aNewRecID);

  TnxFulltextCursorEngine& ParentFulltextCursorEngine() const noexcept { return ficeParentFulltextCursorEngine; }
  TnxFulltextIndexTableEngine& FulltextIndexTableEngine() const noexcept { return ficeFulltextIndexTableEngine; }
  TnxTokenExtractorHubCursorEngine* TokenExtractorHubOld() const noexcept { return ficeTokenExtractorHubOld.get(); }
  TnxTokenExtractorHubCursorEngine* TokenExtractorHubNew() const noexcept { return ficeTokenExtractorHubNew.get(); }
  TnxTokenFilterHubCursorEngine* TokenFilterHubOld() const noexcept { return ficeTokenFilterHubOld.get(); }
  TnxTokenFilterHubCursorEngine* TokenFilterHubNew() const noexcept { return ficeTokenFilterHubNew.get(); }
  TnxTokenIndexHubCursorEngine* TokenIndexHub() const noexcept { return ficeTokenIndexHub.get(); }
  // -1 gives the hub itself.
  TnxBaseTokenExtractorCursorEngine* ficeGetTokenExtractorOld(int32_t aInx) const;
  TnxBaseTokenExtractorCursorEngine* ficeGetTokenExtractorNew(int32_t aInx) const;
  TnxBaseTokenFilterCursorEngine* ficeGetTokenFilterOld(int32_t aInx) const;
  TnxBaseTokenFilterCursorEngine* ficeGetTokenFilterNew(int32_t aInx) const;
  TnxBaseTokenIndexCursorEngine* ficeGetTokenIndex(int32_t aInx) const;

private:
  TnxFulltextCursorEngine& ficeParentFulltextCursorEngine;
  TnxFulltextIndexTableEngine& ficeFulltextIndexTableEngine;
  std::unique_ptr<TnxTokenExtractorHubCursorEngine> ficeTokenExtractorHubOld;
  std::unique_ptr<TnxTokenExtractorHubCursorEngine> ficeTokenExtractorHubNew;
  std::unique_ptr<TnxTokenFilterHubCursorEngine> ficeTokenFilterHubOld;
  std::unique_ptr<TnxTokenFilterHubCursorEngine> ficeTokenFilterHubNew;
  std::unique_ptr<TnxTokenIndexHubCursorEngine> ficeTokenIndexHub;
};

// Start-up units: the cursor-side families and their classes.
void nxFulltextCursorEnginesStartup();
void nxFulltextCursorEnginesShutdown() noexcept;

}  // namespace revurov
