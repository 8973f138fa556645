// TnxAbstractStatement: an SQL statement allocated in an open database. The
// client prepares a query or a stored-procedure call, passes parameters,
// executes it (which may yield a result-set cursor) and reads output
// parameters back; the engines implement those four steps.
//
// Contract:
// - A statement joins its database's statement list at construction and
//   leaves it at destruction; the engine's StatementCount follows it from
//   after construction to before destruction. It shares its database's
//   lock.
// - The calling order is Prepare, then any number of SetParams, Exec,
//   GetParams cycles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/engine_types.h"
#include "dictionary/field_types.h"
#include "engine/timeout_object.h"

namespace revurov {

namespace platform {
class TStream;
}

class TnxAbstractCursor;
class TnxAbstractDatabase;

// One parameter: piData holds the value in the field type's record format.
struct TnxSqlParamDesc {
  std::u16string piParamName;
  TnxParamType piParamType = nxptUnknown;
  TnxFieldType piDataType = nxtBoolean;
  std::vector<uint8_t> piData;
};
using TnxSqlParamList = std::vector<TnxSqlParamDesc>;

class TnxAbstractStatement : public TnxAbstractTimeoutObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractStatement, TnxAbstractTimeoutObject)
  TnxAbstractDatabase* Database() const noexcept { return asDatabase; }
  TnxAbstractStatement* DatabaseNext() const noexcept { return asDatabaseNext; }

  // Each stream receives what the engine reports beside the result.
  virtual uint32_t Prepare(TnxStatementType aStatementType, std::u16string_view aQueryText,
                           platform::TStream* aStream) = 0;
  // aCursor: the result set, nil when the statement yields none.
  virtual uint32_t Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, platform::TStream* aStream) = 0;
  virtual uint32_t SetParams(const TnxSqlParamList& aParams, platform::TStream* aStream) = 0;
  virtual uint32_t GetParams(TnxSqlParamList& aParams, platform::TStream* aStream) = 0;

  bool asExecDirect = false;

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  TnxAbstractStatement(TnxAbstractDatabase* aDatabase, uint32_t aTimeout);
  ~TnxAbstractStatement() override;

private:
  friend class TnxAbstractDatabase;

  TnxAbstractDatabase* asDatabase = nullptr;
  TnxAbstractStatement* asDatabasePrev = nullptr;
  TnxAbstractStatement* asDatabaseNext = nullptr;
  bool asLockedIncDone = false;
};

}  // namespace revurov
