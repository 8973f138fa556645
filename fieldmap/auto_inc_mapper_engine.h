// The special engine of auto-increment target fields: it numbers null
// targets when asked to and keeps the target table's counter at least as
// high as every value copied or given and as the source table's counter.
//
// Contract:
// - Both cursors are server cursors (9986 otherwise); the source cursor is
//   used only when the mapping names a source field.
// - MapField runs after the field's own conversion and always answers 0.
// - Values compare unsigned.
#pragma once

#include <cstdint>

#include "fieldmap/field_mapper_engine.h"

namespace revurov {

class TnxSqlAbstractCursor;

class TnxFieldMapperEngineAutoInc : public TnxBaseFieldMapperEngine {
  REVUROV_REGISTERABLE_RECORD(TnxFieldMapperEngineAutoInc, TnxBaseFieldMapperEngine, TnxFieldMapperEngineClass,
                              &nxNewFieldMapperEngine<TnxFieldMapperEngineAutoInc>)
  TnxFieldMapperEngineAutoInc(TnxFieldMapperDescriptor& aDescriptor, TnxAbstractCursor* aSourceCursor,
                              TnxAbstractCursor* aTargetCursor);

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  uint32_t MapField(const uint8_t* aSource, uint8_t* aTarget) override;

  uint32_t HighAutoInc() const noexcept { return fmeaHighAutoInc; }

private:
  TnxSqlAbstractCursor* fmeaSourceCursor = nullptr;
  TnxSqlAbstractCursor* fmeaTargetCursor = nullptr;
  TnxFieldsDescriptor* fmeaTargetFieldsDescriptor = nullptr;
  int32_t fmeaTargetFieldNumber = -1;
  int32_t fmeaTargetFieldOffset = 0;
  bool fmeaApplyToNull = false;
  uint32_t fmeaHighAutoInc = 0;
};

}  // namespace revurov
