// The engines that enforce validation rules on a record's old and new
// buffers, the list engines that run a field's or a record's rules, and the
// handler that runs them for one side of a table.
//
// Contract:
// - A rule engine is found by the rule's class name with "Descriptor"
//   replaced by "Engine", a list engine likewise by its list's class name,
//   each in its own registry (15503 when none is registered). Rules that do not
//   apply on the handler's side get no engine; CreateFor answers null when
//   nothing is left, so that callers skip validation with one test.
// - A required field gets a not-null rule ("$required") on the server side
//   only.
// - Minimum/maximum and no-change rules compare through the key field
//   engine of the rule's key field, built with the engine; a rule without
//   key field (read so from a stream, never checked) is refused with 10001.
// - A failing rule raises its engine's exception with the rule's code and
//   the text "Field validation "R" for field "F" failed: " (or "Fields
//   validation "R" failed: " at record level) followed by the code's text;
//   the first failure stops the run and leaves both records untouched.
// - No SQL engine is part of this library: a CHECK rule is evaluated by a
//   statement of the class an SQL engine installs with
//   nxSetSqlCheckStatementClass, built with the rule's engine; without one
//   the rule raises 12289. A statement that answers False or raises fails
//   the rule with 9751 (or the rule's own error message).
// - A handler belongs to one cursor and runs on its thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/apply_at.h"
#include "dictionary/field_types.h"
#include "lowlevel/objects/registerable.h"

namespace revurov {

class TnxCompositeKeyFieldEngine;
class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxBaseFieldValidationDescriptor;
class TnxBaseValidationEngine;
class TnxBaseValidationsEngine;
class TnxFieldValidationsDescriptor;

REVUROV_EXCEPTION_CLASS(EnxBaseValidationEngineException, EnxBaseRegisterableEngineException);
REVUROV_EXCEPTION_CLASS(EnxMinMaxValidationEngineException, EnxBaseValidationEngineException);
REVUROV_EXCEPTION_CLASS(EnxNoChangeValidationEngineException, EnxBaseValidationEngineException);
REVUROV_EXCEPTION_CLASS(EnxNotNullValidationEngineException, EnxBaseValidationEngineException);
REVUROV_EXCEPTION_CLASS(EnxSqlCheckValidationEngineException, EnxBaseValidationEngineException);

extern TnxClassRegistry nxValidationEngines;

struct TnxValidationEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseValidationEngine> (*CreateInstance)(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                             std::u16string_view aName,
                                                             std::u16string_view aFieldName) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseValidationEngine> nxNewValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                               std::u16string_view aName,
                                                               std::u16string_view aFieldName) {
  return std::make_unique<T>(aDescriptor, aName, aFieldName);
}

class TnxBaseValidationEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseValidationEngine, TnxBaseRegisterableEngine, TnxValidationEngineClass,
                              &nxValidationEngines, nullptr)

  // aFieldName is empty at record level.
  TnxBaseValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor, std::u16string_view aName,
                          std::u16string_view aFieldName);

  // Null for a null rule or one that does not apply at aApplyAt; 15503
  // when no engine is registered for the rule's class.
  static std::unique_ptr<TnxBaseValidationEngine> CreateFor(const TnxBaseFieldValidationDescriptor* aDescriptor,
                                                            const TnxFieldDescriptor* aField, TnxApplyAt aApplyAt);

  // A field pointer is null when its record is absent or the field null.
  virtual void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                             const void* aNewRecord) = 0;
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
    ValidateField(nullptr, aOldRecord, nullptr, aNewRecord);
  }

protected:
  // The text after "failed: "; the code's own text by default.
  virtual std::u16string GetErrorMessage() const;
  // Raises the engine's own exception class.
  virtual void RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const;
  [[noreturn]] void ValidationFailed(uint32_t aErrorCode) const;

  const TnxBaseFieldValidationDescriptor* bveDescriptor = nullptr;  // not owned; the dictionary outlives engines
  std::u16string bveName;
  std::u16string bfvFieldName;
};

class TnxNotNullValidationEngine : public TnxBaseValidationEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNotNullValidationEngine, TnxBaseValidationEngine, TnxValidationEngineClass,
                              &nxNewValidationEngine<TnxNotNullValidationEngine>)
  using TnxBaseValidationEngine::TnxBaseValidationEngine;

  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

protected:
  void RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const override;
};

// 9730 below the minimum, 9731 above the maximum; null passes.
class TnxMinMaxValidationEngine : public TnxBaseValidationEngine {
  REVUROV_REGISTERABLE_RECORD(TnxMinMaxValidationEngine, TnxBaseValidationEngine, TnxValidationEngineClass,
                              &nxNewValidationEngine<TnxMinMaxValidationEngine>)
  TnxMinMaxValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor, std::u16string_view aName,
                            std::u16string_view aFieldName);
  ~TnxMinMaxValidationEngine() override;

  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

protected:
  void RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const override;

private:
  std::unique_ptr<TnxCompositeKeyFieldEngine> mmveKeyFieldEngine;
  // As long as the field, whatever length the rule's bounds had.
  std::vector<uint8_t> mmveMin;
  std::vector<uint8_t> mmveMax;
  bool mmveHasMin = false;
  bool mmveHasMax = false;
};

// 10502 when a value once set changes or becomes null.
class TnxNoChangeValidationEngine : public TnxBaseValidationEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNoChangeValidationEngine, TnxBaseValidationEngine, TnxValidationEngineClass,
                              &nxNewValidationEngine<TnxNoChangeValidationEngine>)
  TnxNoChangeValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor, std::u16string_view aName,
                              std::u16string_view aFieldName);
  ~TnxNoChangeValidationEngine() override;

  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

protected:
  void RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const override;

private:
  std::unique_ptr<TnxCompositeKeyFieldEngine> ncveKeyFieldEngine;
};

class TnxBaseSqlCheckStatement;

class TnxSqlCheckValidationEngine : public TnxBaseValidationEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSqlCheckValidationEngine, TnxBaseValidationEngine, TnxValidationEngineClass,
                              &nxNewValidationEngine<TnxSqlCheckValidationEngine>)
  TnxSqlCheckValidationEngine(const TnxBaseFieldValidationDescriptor* aDescriptor, std::u16string_view aName,
                              std::u16string_view aFieldName);
  ~TnxSqlCheckValidationEngine() override;

  // 12289 without a statement; 9751 when the expression does not hold.
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

protected:
  // The rule's own error message when it has one.
  std::u16string GetErrorMessage() const override;
  void RaiseFailure(uint32_t aErrorCode, const std::u16string& aMessage) const override;

private:
  std::u16string scveErrorMessage;
  std::unique_ptr<TnxBaseSqlCheckStatement> scveSqlCheckStatement;
};

// What an SQL engine implements to evaluate one CHECK expression: Evaluate
// reads the old and new record through the pointers stored for the call.
class TnxBaseSqlCheckStatement : public TnxObject {
public:
  // aFieldDescriptor: null for a rule on the whole record.
  TnxBaseSqlCheckStatement(const TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor,
                           const std::u16string& aSqlText);
  ~TnxBaseSqlCheckStatement() override = default;

  // Any exception of Evaluate counts as False; the pointers are cleared
  // again before the answer.
  bool ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) noexcept;

  const TnxFieldsDescriptor* FieldsDescriptor() const noexcept { return bscsFieldsDescriptor; }
  const TnxFieldDescriptor* FieldDescriptor() const noexcept { return bscsFieldDescriptor; }
  int32_t FieldIndex() const noexcept { return bscsFieldIndex; }
  int32_t FieldSize() const noexcept { return bscsFieldSize; }
  TnxFieldType FieldType() const noexcept { return bscsFieldType; }
  // The storage code page of the field's locale; 0 without.
  uint16_t FieldCodepage() const noexcept { return bscsFieldCodepage; }
  int32_t FieldUnits() const noexcept { return bscsFieldUnits; }
  int32_t FieldDecPl() const noexcept { return bscsFieldDecPl; }
  // Null outside ValidateField.
  const void* OldRecord() const noexcept { return bscsOldRecord; }
  const void* OldField() const noexcept { return bscsOldField; }
  const void* NewRecord() const noexcept { return bscsNewRecord; }
  const void* NewField() const noexcept { return bscsNewField; }

protected:
  // Whether the expression holds for the stored records.
  virtual bool Evaluate() = 0;

private:
  const TnxFieldsDescriptor* bscsFieldsDescriptor = nullptr;  // not owned; the dictionary outlives statements
  const TnxFieldDescriptor* bscsFieldDescriptor = nullptr;    // not owned
  int32_t bscsFieldIndex = 0;
  int32_t bscsFieldSize = 0;
  TnxFieldType bscsFieldType = nxtBoolean;
  uint16_t bscsFieldCodepage = 0;
  int32_t bscsFieldUnits = 0;
  int32_t bscsFieldDecPl = 0;
  const void* bscsOldRecord = nullptr;
  const void* bscsOldField = nullptr;
  const void* bscsNewRecord = nullptr;
  const void* bscsNewField = nullptr;
};

using TnxSqlCheckStatementFactory = std::unique_ptr<TnxBaseSqlCheckStatement> (*)(
    const TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor,
    const std::u16string& aSqlText);

// Installed by an SQL engine before the first handler is built; null (the
// start) leaves CHECK rules without evaluation. Safe to read from any thread.
void nxSetSqlCheckStatementClass(TnxSqlCheckStatementFactory aFactory) noexcept;
TnxSqlCheckStatementFactory nxSqlCheckStatementClass() noexcept;

// ---- list engines ----

extern TnxClassRegistry nxFieldValidationsEngines;
extern TnxClassRegistry nxFieldsValidationsEngines;

struct TnxValidationsEngineClass : TnxRegisterableClass {
  // aFieldIndex: the field of a field list; -1 for the record list.
  std::unique_ptr<TnxBaseValidationsEngine> (*CreateInstance)(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                              int32_t aFieldIndex, TnxApplyAt aApplyAt) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseValidationsEngine> nxNewValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                                 int32_t aFieldIndex, TnxApplyAt aApplyAt) {
  return std::make_unique<T>(aFieldsDescriptor, aFieldIndex, aApplyAt);
}

// The rule engines of one list that apply at one side.
class TnxBaseValidationsEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseValidationsEngine, TnxBaseRegisterableEngine, TnxValidationsEngineClass,
                              nullptr, nullptr)

  explicit TnxBaseValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor)
      : bveFieldsDescriptor(aFieldsDescriptor) {}
  ~TnxBaseValidationsEngine() override;

  int32_t EngineCount() const noexcept { return static_cast<int32_t>(veEngines.size()); }
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) const = 0;

protected:
  // Appends the engines of aList's rules that apply at aApplyAt.
  void AddRules(const TnxFieldValidationsDescriptor* aList, const TnxFieldDescriptor* aField,
                TnxApplyAt aApplyAt);

  const TnxFieldsDescriptor& bveFieldsDescriptor;  // not owned; the dictionary outlives engines
  std::vector<std::unique_ptr<TnxBaseValidationEngine>> veEngines;
};

// The rules on a whole record.
class TnxFieldsValidationsEngine : public TnxBaseValidationsEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxFieldsValidationsEngine, TnxBaseValidationsEngine, TnxValidationsEngineClass,
                              &nxFieldsValidationsEngines, &nxNewValidationsEngine<TnxFieldsValidationsEngine>)

  TnxFieldsValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor, int32_t aFieldIndex, TnxApplyAt aApplyAt);
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) const override;
};

// The rules of one field, the not-null rule of a required field first.
class TnxFieldValidationsEngine : public TnxBaseValidationsEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxFieldValidationsEngine, TnxBaseValidationsEngine, TnxValidationsEngineClass,
                              &nxFieldValidationsEngines, &nxNewValidationsEngine<TnxFieldValidationsEngine>)

  TnxFieldValidationsEngine(const TnxFieldsDescriptor& aFieldsDescriptor, int32_t aFieldIndex, TnxApplyAt aApplyAt);
  // Hands the rules the field's value in each record (null when the record
  // is absent or the field null).
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) const override;

private:
  int32_t veFieldIndex = 0;
  int32_t veFieldOffset = 0;
};

class TnxValidationsHandler {
public:
  // Null when no rule applies at aApplyAt.
  static std::unique_ptr<TnxValidationsHandler> CreateFor(const TnxFieldsDescriptor& aFieldsDescriptor,
                                                          TnxApplyAt aApplyAt);

  // aOldRecord is null for an insert.
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) const;
  // The rules of field aField only (-1: the record-level rules).
  void ValidateField(const void* aOldRecord, const void* aNewRecord, int32_t aField) const;

private:
  TnxValidationsHandler() = default;

  // The record list's engine first, then the fields' in order.
  std::vector<std::unique_ptr<TnxBaseValidationsEngine>> vhEngines;
  const TnxBaseValidationsEngine* vhFieldsEngine = nullptr;             // in vhEngines, or null
  std::vector<const TnxBaseValidationsEngine*> vhEnginesByIndex;        // per field: in vhEngines, or null
};

}  // namespace revurov
