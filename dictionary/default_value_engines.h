// The engines that fill a field's default value into a record buffer, and
// the handler that runs them for one side (server or client) of a table on
// insert and modify.
//
// Contract:
// - An engine is found by the descriptor's class name with "Descriptor"
//   replaced by "Engine" (15503 when none is registered) and the class is
//   cached in the descriptor. Next-LSN defaults get no engine: the server
//   engine assigns LSNs itself.
// - What an engine needs of the cursor it works for (the session's user
//   name, the current time, the next LSN) comes through
//   InxDefaultValueCursor, so that tests and later cursors supply it.
// - A handler belongs to one cursor and is used by one thread at a time;
//   engines keep no state between calls except what they prepared at
//   creation (the constant's bytes, the user name).
// - An engine that produces no value leaves its field null.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "platform/date_time.h"

namespace revurov {

class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxBaseDefaultValueEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseDefaultValueEngineException, EnxBaseRegisterableEngineException);

extern TnxClassRegistry nxDefaultValueEngines;

// What the engines ask of the cursor whose records they fill.
class InxDefaultValueCursor {
public:
  // The user name of the session that owns the cursor's database.
  virtual std::u16string GetUserName() = 0;
  // The local date and time now.
  virtual platform::TDateTime GetNow() = 0;
  // False when no LSN can be had.
  virtual bool GetNextLSN(int64_t& aLSN) = 0;

protected:
  ~InxDefaultValueCursor() = default;
};

struct TnxDefaultValueEngineClass : TnxRegisterableClass {
  // May answer null: the kind needs no engine.
  std::unique_ptr<TnxBaseDefaultValueEngine> (*CreateInstance)(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                               InxDefaultValueCursor* aCursor) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseDefaultValueEngine> nxNewDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                                   InxDefaultValueCursor* aCursor) {
  return std::make_unique<T>(aDescriptor, aCursor);
}

class TnxBaseDefaultValueEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseDefaultValueEngine, TnxBaseRegisterableEngine, TnxDefaultValueEngineClass,
                              &nxDefaultValueEngines, nullptr)

  TnxBaseDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor, InxDefaultValueCursor* aCursor);

  // The engine for aDescriptor, or null when its kind has none; 15503
  // when no engine class is registered for it.
  static std::unique_ptr<TnxBaseDefaultValueEngine> CreateFor(TnxBaseDefaultValueDescriptor& aDescriptor,
                                                              InxDefaultValueCursor* aCursor);

  TnxBaseDefaultValueDescriptor& Descriptor() const noexcept { return bdceDescriptor; }
  TnxFieldDescriptor& FieldDescriptor() const noexcept { return bdceFieldDescriptor; }

  // Writes the default into the field's bytes at aFieldValue; false when
  // it produced none.
  virtual bool SetDefaultValue(void* aFieldValue) = 0;

private:
  TnxBaseDefaultValueDescriptor& bdceDescriptor;
  TnxFieldDescriptor& bdceFieldDescriptor;
};

class TnxCursorDefaultValueEngine : public TnxBaseDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCursorDefaultValueEngine, TnxBaseDefaultValueEngine, TnxDefaultValueEngineClass,
                              nullptr)
  TnxCursorDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor, InxDefaultValueCursor* aCursor);

  InxDefaultValueCursor* Cursor() const noexcept { return cdceCursor; }

private:
  InxDefaultValueCursor* cdceCursor = nullptr;  // not owned
};

class TnxConstDefaultValueEngine : public TnxBaseDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxConstDefaultValueEngine, TnxBaseDefaultValueEngine, TnxDefaultValueEngineClass,
                              &nxNewDefaultValueEngine<TnxConstDefaultValueEngine>)
  TnxConstDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor, InxDefaultValueCursor* aCursor);
  bool SetDefaultValue(void* aFieldValue) override;

private:
  std::vector<uint8_t> cdveValue;
};

class TnxCurrentDateTimeDefaultValueEngine : public TnxCursorDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCurrentDateTimeDefaultValueEngine, TnxCursorDefaultValueEngine,
                              TnxDefaultValueEngineClass, &nxNewDefaultValueEngine<TnxCurrentDateTimeDefaultValueEngine>)
  using TnxCursorDefaultValueEngine::TnxCursorDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

class TnxCurrentUserDefaultValueEngine : public TnxCursorDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCurrentUserDefaultValueEngine, TnxCursorDefaultValueEngine,
                              TnxDefaultValueEngineClass, &nxNewDefaultValueEngine<TnxCurrentUserDefaultValueEngine>)
  TnxCurrentUserDefaultValueEngine(TnxBaseDefaultValueDescriptor& aDescriptor, InxDefaultValueCursor* aCursor);
  bool SetDefaultValue(void* aFieldValue) override;

private:
  std::vector<uint8_t> cudveUserName;
};

class TnxAutoGuidDefaultValueEngine : public TnxBaseDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxAutoGuidDefaultValueEngine, TnxBaseDefaultValueEngine, TnxDefaultValueEngineClass,
                              &nxNewDefaultValueEngine<TnxAutoGuidDefaultValueEngine>)
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

class TnxEmptyDefaultValueEngine : public TnxBaseDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxEmptyDefaultValueEngine, TnxBaseDefaultValueEngine, TnxDefaultValueEngineClass,
                              &nxNewDefaultValueEngine<TnxEmptyDefaultValueEngine>)
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// Registered so that the lookup succeeds; CreateInstance answers null.
class TnxNextLSNDefaultValueEngine : public TnxCursorDefaultValueEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNextLSNDefaultValueEngine, TnxCursorDefaultValueEngine, TnxDefaultValueEngineClass,
                              &NoInstance)
  using TnxCursorDefaultValueEngine::TnxCursorDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;

private:
  static std::unique_ptr<TnxBaseDefaultValueEngine> NoInstance(TnxBaseDefaultValueDescriptor&,
                                                               InxDefaultValueCursor*) {
    return nullptr;
  }
};

// The engines of one side of a table, in field order.
class TnxDefaultValueHandler {
public:
  // Null when no field has a default for aApplyAt that needs an engine.
  static std::unique_ptr<TnxDefaultValueHandler> CreateFor(TnxFieldsDescriptor& aFieldsDescriptor,
                                                           TnxApplyAt aApplyAt, InxDefaultValueCursor* aCursor);

  // First the fields that are null get their defaults, then the
  // overwriting defaults are written; the null flag follows each engine's
  // answer.
  void SetDefaultValuesInsert(void* aRecord) const;
  void SetDefaultValuesModify(void* aRecord) const;
  // False and no change without an engine for aField.
  bool SetDefaultValue(void* aRecord, int32_t aField) const;

  int32_t EngineCount() const noexcept { return static_cast<int32_t>(dvhEngines.size()); }

private:
  explicit TnxDefaultValueHandler(TnxFieldsDescriptor& aFieldsDescriptor) : dvhFieldsDescriptor(aFieldsDescriptor) {}
  using Engines = std::vector<TnxBaseDefaultValueEngine*>;  // not owned
  void Fill(void* aRecord, const Engines (&aEngines)[2]) const;
  void Run(TnxBaseDefaultValueEngine& aEngine, void* aRecord) const;

  TnxFieldsDescriptor& dvhFieldsDescriptor;
  std::vector<std::unique_ptr<TnxBaseDefaultValueEngine>> dvhEngines;
  // Indexed by OverwriteNonNull: [0] only for null fields, [1] always.
  Engines dvhEnginesInsert[2];
  Engines dvhEnginesModify[2];
  Engines dvhEnginesByIndex;  // per field number, null for most
};

}  // namespace revurov
