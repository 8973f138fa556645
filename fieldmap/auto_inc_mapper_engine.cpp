#include "fieldmap/auto_inc_mapper_engine.h"

#include <algorithm>
#include <cstring>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/table_descriptors.h"
#include "engine/sql_engine_classes.h"
#include "fieldmap/field_mapper_descriptor.h"

namespace revurov {

namespace {

TnxSqlAbstractCursor* ServerCursor(TnxAbstractCursor* aCursor) {
  auto* cursor = dynamic_cast<TnxSqlAbstractCursor*>(aCursor);
  if (!cursor)
    throw EnxFieldMapperEngineException(nxeInvalidParameter,
                                        u"The auto-increment field mapper works only between server cursors");
  return cursor;
}

}  // namespace

TnxFieldMapperEngineAutoInc::TnxFieldMapperEngineAutoInc(TnxFieldMapperDescriptor& aDescriptor,
                                                         TnxAbstractCursor* aSourceCursor,
                                                         TnxAbstractCursor* aTargetCursor)
    : fmeaApplyToNull(aDescriptor.ApplyDefault()) {
  fmeaTargetCursor = ServerCursor(aTargetCursor);
  if (!aDescriptor.SourceName().empty()) fmeaSourceCursor = ServerCursor(aSourceCursor);
  fmeaTargetFieldsDescriptor = &fmeaTargetCursor->TableDescriptor()->FieldsDescriptor();
  fmeaTargetFieldNumber = fmeaTargetFieldsDescriptor->GetFieldFromName(aDescriptor.TargetName());
  if (fmeaTargetFieldNumber < 0)
    throw EnxFieldMapperEngineException(nxeInvalidFieldName,
                                        nxFieldNotInDictionaryText(aDescriptor.TargetName(), u"target"));
  fmeaTargetFieldOffset = fmeaTargetFieldsDescriptor->FieldDescriptor(fmeaTargetFieldNumber)->Offset();
}

void TnxFieldMapperEngineAutoInc::BeforeFirstRecord() {
  if (fmeaSourceCursor) fmeaHighAutoInc = fmeaSourceCursor->sbcAutoIncGet();
  fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
}

void TnxFieldMapperEngineAutoInc::BeforeCommit() {
  if (fmeaSourceCursor) fmeaHighAutoInc = std::max(fmeaHighAutoInc, fmeaSourceCursor->sbcAutoIncGet());
  fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
}

uint32_t TnxFieldMapperEngineAutoInc::MapField(const uint8_t*, uint8_t* aTarget) {
  uint8_t* field = aTarget + fmeaTargetFieldOffset;
  if (fmeaTargetFieldsDescriptor->IsRecordFieldNullFast(fmeaTargetFieldNumber, aTarget)) {
    if (!fmeaApplyToNull) return 0;
    ++fmeaHighAutoInc;
    std::memcpy(field, &fmeaHighAutoInc, sizeof fmeaHighAutoInc);
    fmeaTargetFieldsDescriptor->SetRecordFieldNull(fmeaTargetFieldNumber, aTarget, false);
    fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
    return 0;
  }
  uint32_t value;
  std::memcpy(&value, field, sizeof value);
  if (value > fmeaHighAutoInc) {
    fmeaHighAutoInc = value;
    fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
  }
  return 0;
}

}  // namespace revurov
