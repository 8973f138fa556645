// Record mapper engines: the running form of a record mapping, which fills
// one target record from one source record through one field mapper engine
// per target field that receives anything.
//
// Calling order, kept by the callers: CreateFor; BeforeFirstRecord once;
// per source record initialize the target buffer (all null), MapRecord,
// stop at a non-zero result; BeforeCommit once; free the engine.
//
// Contract:
// - CreateFor finds the engine class by the descriptor's class name with
//   "Descriptor" replaced by "Engine" (15503 "Unknown RecordMapper engine"
//   otherwise); a constructor's error frees what was built.
// - The engines run in this order: the mapped target fields in target-name
//   order, then, in name order, the unmapped target fields that take a
//   default value (when the mapping applies defaults to unmapped fields) or
//   have a special engine. A mapping whose target differs from the field's
//   name only in case maps that field.
// - MapRecord answers 0, or the first field's failure with the source
//   table and, when an index names the record, the source key appended to
//   the thread's last converted error. It starts each record from a clean
//   message slot, so no earlier failure's text leaks into this one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fieldmap/field_mapper_engine.h"

namespace revurov {

class TnxBaseRecordMapperDescriptor;
class TnxBaseRecordMapperEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseRecordMapperEngineException, EnxBaseRegisterableEngineException);

extern TnxClassRegistry nxRecordMapperEngines;

struct TnxRecordMapperEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseRecordMapperEngine> (*Create)(TnxBaseRecordMapperDescriptor& aDescriptor,
                                                       TnxAbstractCursor* aSourceCursor,
                                                       TnxAbstractCursor* aTargetCursor) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseRecordMapperEngine> nxNewRecordMapperEngine(TnxBaseRecordMapperDescriptor& aDescriptor,
                                                                   TnxAbstractCursor* aSourceCursor,
                                                                   TnxAbstractCursor* aTargetCursor) {
  return std::make_unique<T>(aDescriptor, aSourceCursor, aTargetCursor);
}

class TnxBaseRecordMapperEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRecordMapperEngine, TnxBaseRegisterableEngine, TnxRecordMapperEngineClass,
                              &nxRecordMapperEngines, nullptr)
  TnxBaseRecordMapperEngine() = default;
  ~TnxBaseRecordMapperEngine() override;

  static std::unique_ptr<TnxBaseRecordMapperEngine> CreateFor(TnxBaseRecordMapperDescriptor& aDescriptor,
                                                              TnxAbstractCursor* aSourceCursor,
                                                              TnxAbstractCursor* aTargetCursor);

  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  virtual uint32_t MapRecord(const uint8_t* aSource, uint8_t* aTarget) = 0;
};

class TnxRecordMapperEngine : public TnxBaseRecordMapperEngine {
  REVUROV_REGISTERABLE_RECORD(TnxRecordMapperEngine, TnxBaseRecordMapperEngine, TnxRecordMapperEngineClass,
                              &nxNewRecordMapperEngine<TnxRecordMapperEngine>)
  // aDescriptor must be a TnxRecordMapperDescriptor (9986 otherwise).
  TnxRecordMapperEngine(TnxBaseRecordMapperDescriptor& aDescriptor, TnxAbstractCursor* aSourceCursor,
                        TnxAbstractCursor* aTargetCursor);
  ~TnxRecordMapperEngine() override;

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  uint32_t MapRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  virtual uint32_t AddErrorContext(uint32_t aErrorCode, const uint8_t* aSource);

  int32_t FieldMapperCount() const noexcept { return static_cast<int32_t>(rmeFieldMapper.size()); }
  TnxBaseFieldMapperEngine* FieldMapper(int32_t aInx) const { return rmeFieldMapper.at(size_t(aInx)).get(); }

private:
  TnxAbstractCursor* rmeSourceCursor = nullptr;
  std::vector<std::unique_ptr<TnxBaseFieldMapperEngine>> rmeFieldMapper;
  // Beside each engine, in one block: the usual case of a plain
  // TnxFieldMapperEngine, which MapRecord runs without calling the engine.
  struct TStep {
    TnxFieldMapperEngine::TStep Plain{};
    TnxFieldMapperEngine* PlainEngine = nullptr;  // null: call MapField
  };
  std::vector<TStep> rmeSteps;
  // The mappings made for unmapped target fields; empty until needed.
  std::vector<std::unique_ptr<TnxFieldMapperDescriptor>> rmeFieldMapperDescriptors;
};

}  // namespace revurov
