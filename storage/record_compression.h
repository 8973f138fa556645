// Record compression engines: the form in which the variable record engines
// store a record. "Null" stores records as they are, "Smart" keeps the
// null flags and the non-null fields with strings cut after their end,
// "Compressor" runs the whole record through a library block compressor.
//
// Contract:
// - CompressRecord writes at most the record length to aTarget and answers
//   its size; 0 means "store the record as it is".
// - DecompressRecord rebuilds a whole record buffer from aSize stored
//   bytes, which come from disk: every read stays inside them and every
//   string inside its field; a form that does not fit gives 8962 (the
//   target may then hold part of a record).
// - The engine reads the fields descriptor it was built with; it must not
//   change while the engine lives.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lowlevel/cipher/base_compressor.h"
#include "storage/sub_engines.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxBaseRecordCompressionEngineException, EnxBaseSubEngineException);
REVUROV_EXCEPTION_CLASS(EnxNullRecordCompressionEngineException, EnxBaseRecordCompressionEngineException);
REVUROV_EXCEPTION_CLASS(EnxCompressorRecordCompressionEngineException, EnxBaseRecordCompressionEngineException);

class TnxBaseRecordCompressionDescriptor;
class TnxBaseRecordCompressionEngine;
class TnxFieldsDescriptor;

extern TnxClassRegistry nxRecordCompressionEngines;

struct TnxRecordCompressionEngineClass : TnxSubEngineClass {
  std::unique_ptr<TnxBaseRecordCompressionEngine> (*CreateCompression)(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                                       int32_t aTableVersion) = nullptr;
};

class TnxBaseRecordCompressionEngine : public TnxBaseSubEngine {
public:
  static const TnxRecordCompressionEngineClass& ClassInfo() noexcept;
  const TnxRecordCompressionEngineClass& ClassType() const noexcept override { return ClassInfo(); }

  TnxBaseRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion);

  // The "Null" engine without a descriptor; else the class the descriptor
  // names (15503 for an unknown name).
  static std::unique_ptr<TnxBaseRecordCompressionEngine> CreateEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                                      int32_t aTableVersion);
  static void CheckValidBaseFromDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor);

  virtual uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) = 0;
  virtual void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) = 0;

  TnxBaseRecordCompressionDescriptor* brceDescriptor;
};

class TnxNullRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNullRecordCompressionEngine, TnxBaseRecordCompressionEngine,
                              TnxRecordCompressionEngineClass, &TnxNullRecordCompressionEngine::New)

  using TnxBaseRecordCompressionEngine::TnxBaseRecordCompressionEngine;
  static std::unique_ptr<TnxBaseRecordCompressionEngine> New(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                             int32_t aTableVersion);

  uint16_t CompressRecord(const uint8_t*, uint8_t*) override { return 0; }
  // 12289: what was stored as it is is never decompressed.
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;
};

class TnxSmartRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSmartRecordCompressionEngine, TnxBaseRecordCompressionEngine,
                              TnxRecordCompressionEngineClass, &TnxSmartRecordCompressionEngine::New)

  // The fields of the table the descriptor belongs to.
  TnxSmartRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion);
  // For a fields descriptor of one's own (no dictionary around it).
  TnxSmartRecordCompressionEngine(TnxFieldsDescriptor& aFields, int32_t aTableVersion);
  static std::unique_ptr<TnxBaseRecordCompressionEngine> New(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                             int32_t aTableVersion);

  uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;

  TnxFieldsDescriptor& srceFieldsDescriptor;

private:
  enum class TKind : uint8_t { Fixed, ShortString, NullString, WideString };
  struct TField {
    uint32_t Offset;
    uint32_t Length;
    TKind Kind;
  };
  void Prepare();
  [[noreturn]] void RaiseBadForm() const;

  // The fields flattened once, so that a record is one pass.
  std::vector<TField> srceFields;
  uint32_t srceBitmapOffset = 0;
  uint32_t srceBitmapBytes = 0;
};

class TnxCompressorRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCompressorRecordCompressionEngine, TnxBaseRecordCompressionEngine,
                              TnxRecordCompressionEngineClass, &TnxCompressorRecordCompressionEngine::New)

  // The compress type is the descriptor's "CompressType"; a type without a
  // registered compressor raises "Unknown CompressType "n"" (no code).
  TnxCompressorRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion);
  static std::unique_ptr<TnxBaseRecordCompressionEngine> New(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                             int32_t aTableVersion);

  uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;

  TnxFieldsDescriptor& srceFieldsDescriptor;
  uint32_t srceRecordLength;
  TnxBaseCompressorClass srceCompressor = nullptr;
};

// The family (after the record family) and its three engines.
void nxRecordCompressionStartup();
void nxRecordCompressionShutdown() noexcept;

}  // namespace revurov
