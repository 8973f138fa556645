// Fulltext maintenance comes in two halves found by name: a table's
// fulltext descriptor class gives its table engine class (every
// "Descriptor" replaced by "TableEngine"), built once per open table; a
// table engine class gives its cursor engine class ("TableEngine" replaced
// by "CursorEngine"), built per table cursor.
//
// Contract:
// - CreateFor answers null for a table without a fulltext descriptor and
//   for a null table engine; a class that is not registered raises 15503
//   "Unknown Fulltext engine: "<class>"" in the family's exception class.
// - What a CreateFor answers is whole: when building raises, everything
//   built so far is freed (in reverse of ownership) before the exception
//   goes on.
// - The registries change only in start-up and shut-down.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lowlevel/objects/registerable.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

class TnxAbstractCursor;
class TnxBaseFulltextCursorEngine;
class TnxBaseFulltextTableEngine;
class TnxBaseIndicesEngine;
class TnxBaseTableDescriptor;
class TnxBaseTransaction;
class TnxFulltextDescriptor;

REVUROV_EXCEPTION_CLASS(EnxBaseFulltextTableEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseFulltextCursorEngineException, EnxServerException);

extern TnxClassRegistry nxFulltextTableEngines;
extern TnxClassRegistry nxFulltextCursorEngines;

// Every aFrom (ASCII case ignored) in aName replaced by aTo.
std::u16string nxReplaceEngineWord(std::u16string_view aName, std::u16string_view aFrom, std::u16string_view aTo);

struct TnxFulltextTableEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseFulltextTableEngine> (*Create)(TnxFulltextDescriptor& aDescriptor,
                                                        const TnxBlockAccessList& aFiles,
                                                        TnxBaseIndicesEngine* aMainIndicesEngine,
                                                        TnxBaseTransaction* aTrans) = nullptr;
};

class TnxBaseFulltextTableEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFulltextTableEngine, TnxBaseRegisterableEngine, TnxFulltextTableEngineClass,
                              &nxFulltextTableEngines)

  TnxBaseFulltextTableEngine() = default;
  ~TnxBaseFulltextTableEngine() override = default;

  // The table's fulltext descriptor's engine, or null without one.
  static std::unique_ptr<TnxBaseFulltextTableEngine> CreateFor(TnxBaseTableDescriptor& aDictionary,
                                                               const TnxBlockAccessList& aFiles,
                                                               TnxBaseIndicesEngine* aMainIndicesEngine,
                                                               TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseFulltextTableEngine> CreateFor(TnxFulltextDescriptor& aDescriptor,
                                                               const TnxBlockAccessList& aFiles,
                                                               TnxBaseIndicesEngine* aMainIndicesEngine,
                                                               TnxBaseTransaction* aTrans);

  // A level of aTrans that wrote to the table was rolled back: engines
  // that keep storage state in memory drop it.
  virtual void Rollback(TnxBaseTransaction& /*aTrans*/) {}

  // An operation that changes many records gathers the token writes of
  // aTrans from Begin to Flush and writes each array once; End drops what
  // was not flushed (the operation failed and rolls back). Nested pairs
  // count; the outermost End drops. Flush raises when a write fails.
  virtual void BeginWriteBatch(TnxBaseTransaction& /*aTrans*/) {}
  virtual void FlushWriteBatch(TnxBaseTransaction& /*aTrans*/) {}
  virtual void EndWriteBatch() noexcept {}
};

// Begin and End of a write batch around one operation; null engine: none.
class TnxFulltextWriteBatch {
public:
  TnxFulltextWriteBatch(TnxBaseFulltextTableEngine* aEngine, TnxBaseTransaction& aTrans) : fwbTrans(aTrans) {
    if (aEngine) aEngine->BeginWriteBatch(aTrans);
    fwbEngine = aEngine;
  }
  ~TnxFulltextWriteBatch() {
    if (fwbEngine) fwbEngine->EndWriteBatch();
  }
  TnxFulltextWriteBatch(const TnxFulltextWriteBatch&) = delete;
  TnxFulltextWriteBatch& operator=(const TnxFulltextWriteBatch&) = delete;

  void Flush() {
    if (fwbEngine) fwbEngine->FlushWriteBatch(fwbTrans);
  }

private:
  TnxBaseFulltextTableEngine* fwbEngine = nullptr;
  TnxBaseTransaction& fwbTrans;
};

struct TnxFulltextCursorEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseFulltextCursorEngine> (*Create)(TnxBaseFulltextTableEngine& aTableEngine,
                                                         TnxAbstractCursor* aCursor) = nullptr;
};

class TnxBaseFulltextCursorEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFulltextCursorEngine, TnxBaseRegisterableEngine,
                              TnxFulltextCursorEngineClass, &nxFulltextCursorEngines)

  TnxBaseFulltextCursorEngine() = default;
  ~TnxBaseFulltextCursorEngine() override = default;

  // Null for a null table engine.
  static std::unique_ptr<TnxBaseFulltextCursorEngine> CreateFor(TnxBaseFulltextTableEngine* aTableEngine,
                                                                TnxAbstractCursor* aCursor);

  // Brings the fulltext indices in line with one record change (a null
  // record: insert or delete); 0 or an error code.
  virtual uint32_t UpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, TnxRefNr aOldRefNr,
                               const uint8_t* aNewRecord, TnxRefNr aNewRefNr) = 0;
};

}  // namespace revurov
