// The SQL filter: a filter given as the text of an SQL condition. The
// engine does not evaluate SQL itself; it hands every record to a statement
// of the class an SQL engine installs with nxSetSqlFilterStatementClass.
// Without one, descriptors still stream and travel, but building an engine
// raises 12289.
//
// Contract:
// - Errors of the statement's evaluation never escape MatchesBuffer: the
//   record is rejected.
// - The statement class is installed before the first engine is built and
//   stays for the process's life; reading it is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dictionary/filter_engines.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxSqlFilterDescriptorException, EnxBaseFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxSqlFilterEngineException, EnxBaseFilterEngineException);

class TnxBaseSqlFilterStatement : public TnxObject {
public:
  TnxBaseSqlFilterStatement(const InxFieldsSource* aFieldsSource, const std::u16string& aSqlText) noexcept
      : bsfsFieldsSource(aFieldsSource) {
    static_cast<void>(aSqlText);
  }
  ~TnxBaseSqlFilterStatement() override = default;

  // Evaluate on aBuffer; any exception counts as False.
  bool MatchesBuffer(const uint8_t* aBuffer) noexcept;
  // Null between evaluations.
  const uint8_t* Buffer() const noexcept { return bsfsBuffer; }

protected:
  // Whether the record in bsfsBuffer satisfies the condition.
  virtual bool Evaluate() = 0;

  const InxFieldsSource* bsfsFieldsSource = nullptr;  // not owned
  const uint8_t* bsfsBuffer = nullptr;
};

using TnxSqlFilterStatementFactory = std::unique_ptr<TnxBaseSqlFilterStatement> (*)(
    const InxFieldsSource* aFieldsSource, const std::u16string& aSqlText);

// Null (the start) leaves SQL filters without evaluation.
void nxSetSqlFilterStatementClass(TnxSqlFilterStatementFactory aFactory) noexcept;
TnxSqlFilterStatementFactory nxSqlFilterStatementClass() noexcept;

class TnxBaseSqlFilterDescriptor : public TnxBaseFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSqlFilterDescriptor, TnxBaseFilterDescriptor, TnxFilterDescriptorClass,
                              nullptr)

  explicit TnxBaseSqlFilterDescriptor(std::u16string aExpression) : bsfdExpression(std::move(aExpression)) {}
  const std::u16string& Expression() const noexcept { return bsfdExpression; }

protected:
  std::u16string bsfdExpression;
};

class TnxSqlFilterDescriptor : public TnxBaseSqlFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxSqlFilterDescriptor, TnxBaseSqlFilterDescriptor, TnxFilterDescriptorClass,
                              &ReadStreamData)

  using TnxBaseSqlFilterDescriptor::TnxBaseSqlFilterDescriptor;
  // Always UTF-16 (kind 2).
  uint32_t WriteToStream(platform::TStream& aStream, int32_t aVersion) const override;

private:
  static std::unique_ptr<TnxBaseFilterDescriptor> ReadStreamData(platform::TStream& aStream);
};

class TnxBaseSqlFilterEngine : public TnxBaseFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSqlFilterEngine, TnxBaseFilterEngine, TnxFilterEngineClass, nullptr)
  using TnxBaseFilterEngine::TnxBaseFilterEngine;
};

class TnxSqlFilterEngine : public TnxBaseSqlFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSqlFilterEngine, TnxBaseSqlFilterEngine, TnxFilterEngineClass,
                              &nxNewFilterEngine<TnxSqlFilterEngine>)

  // aDescriptor must be a TnxSqlFilterDescriptor (else invalid cast); 12289
  // without a statement class.
  TnxSqlFilterEngine(const TnxBaseFilterDescriptor* aDescriptor, const InxFieldsSource* aFieldsSource);

  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

private:
  std::u16string sfeExpression;
  std::unique_ptr<TnxBaseSqlFilterStatement> sfeStatement;
};

}  // namespace revurov
