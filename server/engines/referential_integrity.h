// The referential-integrity engines: built per table cursor from the
// table's "RefIntegrity" descriptor, they hear of every record insert,
// modify and delete (before and after the change) and block, cascade,
// clear or set to defaults the records of other tables (or of the same
// one) whose key matches, or require that such a record exists.
//
// Contract:
// - Engine classes are found by name: the descriptor's class name with
//   "Descriptor" replaced by "Engine". Below the refint engine the class
//   found is published once in the descriptor (lock-free) and taken from
//   there by every later cursor, of any session. An unknown class raises
//   15503.
// - Notify answers 0 or an error code. Only actions some reference asked
//   for at that moment cost more than one bit test. References run from
//   the last to the first; the first non-zero answer ends the walk.
// - Configuration faults raise at first use, not at cursor creation: a
//   target index that does not exist (9997), is not composite (10023) or
//   has fewer key fields than the reference has sources (10004), a source
//   without a converter to its key field (10002).
// - A converter that answers "no value" (1) counts as a null source value.
// - Violations answer 9733 (master missing) or 9734 (master has details,
//   or the nesting limit) with the message "Referential Integrity
//   Violation. <table>(<sources>) -> <target>(<key fields>): <text>". A
//   message that already is a violation message (from a reference further
//   down a cascade) is passed on as it is.
// - Actions nest on one thread (a cascade deletes records whose engines
//   cascade again) at most kRefIntegrityMaxDepth levels deep; the next
//   level answers 9734 and its message names the limit, and every level
//   above fails with it.
// - The target-required check answers 9733 only where the target has no
//   matching record (8706); a read that fails otherwise (a lock time-out,
//   the deadline) answers its own code. Either way the transaction is
//   marked corrupted.
// - The target cursor opens on first use and stays open. A close request
//   for it may come from any thread: it closes the cursor when no
//   operation uses it, and the next use opens it again.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/referential_integrity.h"
#include "engine/engine_types.h"
#include "engine/server_object.h"
#include "fieldmap/field_mapper_base.h"
#include "lowlevel/objects/registerable.h"
#include "lowlevel/sync/padlock.h"
#include "platform/interface.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxAbstractCursor;
class TnxCompKeyDescriptor;
class TnxFieldsDescriptor;
class TnxSqlAbstractCursor;
class TnxRequestCloseHandlerEvent;
class TnxReferenceEngine;
class TnxRefIntegrityEngine;
class TnxBaseTargetCursorEngine;
class TnxBaseSourceEngine;
class TnxBaseActionEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseRefIntegrityEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxReferenceEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseTargetCursorEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseSourceEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseActionEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxClearDeleteActionEngineException, EnxBaseActionEngineException);
REVUROV_EXCEPTION_CLASS(EnxSetDefaultDeleteActionEngineException, EnxBaseActionEngineException);
REVUROV_EXCEPTION_CLASS(EnxCascadeModifyActionEngineException, EnxBaseActionEngineException);
REVUROV_EXCEPTION_CLASS(EnxClearModifyActionEngineException, EnxBaseActionEngineException);
REVUROV_EXCEPTION_CLASS(EnxSetDefaultModifyActionEngineException, EnxBaseActionEngineException);

extern TnxClassRegistry nxRefIntegrityEngines;
extern TnxClassRegistry nxReferenceEngines;
extern TnxClassRegistry nxTargetCursorEngines;
extern TnxClassRegistry nxSourceEngines;
extern TnxClassRegistry nxActionEngines;

inline constexpr int32_t kRefIntegrityMaxDepth = 1000;

// What the engines need of the server's cursors that the abstract cursor
// does not offer; the server's start-up fills it.
struct TnxRefIntegrityServerHooks {
  // The password the cursor's table was opened with.
  std::u16string (*ExtractPassword)(TnxAbstractCursor& aCursor) = nullptr;
  // Sets aField of aRecord to its default through the cursor's default
  // value handler; false when the cursor has none.
  bool (*SetDefaultValue)(TnxAbstractCursor& aCursor, uint8_t* aRecord, int32_t aField) = nullptr;
};
const TnxRefIntegrityServerHooks* nxRefIntegrityServerHooks() noexcept;
void nxSetRefIntegrityServerHooks(const TnxRefIntegrityServerHooks* aHooks) noexcept;

// The calling thread's current nesting of referential actions.
int32_t nxRefIntegrityDepth() noexcept;

// The unit's start-up: the field mappers (which the sources need) and the
// engine classes.
void nxRefIntegrityEnginesStartup();
void nxRefIntegrityEnginesShutdown();

// ---- the refint engine ----

class TnxBaseRefIntegrityEngine;
struct TnxRefIntegrityEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseRefIntegrityEngine> (*Create)(TnxRefIntegrityDescriptor& aDescriptor,
                                                       TnxAbstractCursor* aCursor) = nullptr;
};

class TnxBaseRefIntegrityEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRefIntegrityEngine, TnxBaseRegisterableEngine, TnxRefIntegrityEngineClass,
                              &nxRefIntegrityEngines)
  ~TnxBaseRefIntegrityEngine() override = default;

  // Nil for a table without the descriptor.
  static std::unique_ptr<TnxBaseRefIntegrityEngine> CreateFor(TnxBaseTableDescriptor& aTable,
                                                              TnxAbstractCursor* aCursor);
  static std::unique_ptr<TnxBaseRefIntegrityEngine> CreateFor(TnxRefIntegrityDescriptor* aDescriptor,
                                                              TnxAbstractCursor* aCursor);
  virtual uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) = 0;
};

class TnxRefIntegrityEngine : public TnxBaseRefIntegrityEngine {
public:
  static std::unique_ptr<TnxBaseRefIntegrityEngine> New(TnxRefIntegrityDescriptor& aDescriptor,
                                                        TnxAbstractCursor* aCursor);
  REVUROV_REGISTERABLE_RECORD(TnxRefIntegrityEngine, TnxBaseRefIntegrityEngine, TnxRefIntegrityEngineClass,
                              &TnxRefIntegrityEngine::New)

  TnxRefIntegrityEngine(TnxRefIntegrityDescriptor& aDescriptor, TnxAbstractCursor* aCursor);
  ~TnxRefIntegrityEngine() override;

  uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override;

  TnxRefIntegrityDescriptor& Descriptor() const noexcept { return rieDescriptor; }
  TnxAbstractCursor* Cursor() const noexcept { return rieCursor; }
  TnxEngineActions Actions(bool aBefore) const noexcept { return rieActions[aBefore]; }
  void IncludeAction(bool aBefore, TnxEngineAction aAction) noexcept { rieActions[aBefore].Include(aAction); }
  int32_t ReferenceCount() const noexcept { return static_cast<int32_t>(rieReferences.size()); }
  TnxReferenceEngine& Reference(int32_t aIndex) const { return *rieReferences.at(size_t(aIndex)); }

private:
  TnxRefIntegrityDescriptor& rieDescriptor;
  TnxAbstractCursor* rieCursor;  // the owning cursor
  std::array<TnxEngineActions, 2> rieActions{};  // [false] after, [true] before
  std::vector<std::unique_ptr<TnxReferenceEngine>> rieReferences;
};

// ---- one reference ----

struct TnxReferenceEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxReferenceEngine> (*Create)(TnxRefIntegrityEngine& aParent,
                                                TnxReferenceDescriptor& aDescriptor) = nullptr;
};

class TnxReferenceEngine : public TnxBaseRegisterableEngine {
public:
  static std::unique_ptr<TnxReferenceEngine> New(TnxRefIntegrityEngine& aParent, TnxReferenceDescriptor& aDescriptor);
  REVUROV_REGISTERABLE_FAMILY(TnxReferenceEngine, TnxBaseRegisterableEngine, TnxReferenceEngineClass,
                              &nxReferenceEngines, &TnxReferenceEngine::New)

  TnxReferenceEngine(TnxRefIntegrityEngine& aParent, TnxReferenceDescriptor& aDescriptor);
  ~TnxReferenceEngine() override;

  static std::unique_ptr<TnxReferenceEngine> CreateFor(TnxRefIntegrityEngine& aParent,
                                                       TnxReferenceDescriptor& aDescriptor);

  virtual uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);
  // Prepares the target once: its fields, the two work buffers and the
  // key of the target index; raises the configuration faults.
  virtual void PrepareTargetCursor();
  virtual void UnprepareTargetCursor() noexcept;
  // The range of target records matching aRecord's source values; false
  // when a source that skips on null is null. aHasNull: some source null.
  virtual bool SetTargetRange(const uint8_t* aRecord, bool* aHasNull);
  virtual bool TargetKeyChanged(const uint8_t* aRecord1, const uint8_t* aRecord2);
  // aErrorCode with the violation message as the thread's last error.
  virtual uint32_t ReportViolation(uint32_t aErrorCode);
  std::u16string GetSourceNames() const;
  std::u16string GetTargetNames() const;

  // Checks the target index in the target's dictionary (see the contract).
  void CheckTargetIndex(TnxAbstractCursor& aTarget);

  TnxRefIntegrityEngine& Parent() const noexcept { return reParent; }
  TnxReferenceDescriptor& Descriptor() const noexcept { return reDescriptor; }
  TnxBaseTargetCursorEngine& TargetCursor() const noexcept { return *reTargetCursor; }
  TnxFieldsDescriptor* TargetFields() const noexcept { return reFieldsDescriptor; }
  bool TargetCursorPrepared() const noexcept { return reTargetCursorPrepared; }
  uint8_t* TargetRecordBuffer1() const noexcept { return reTargetRecordBuffer1.get(); }
  int32_t SourceCount() const noexcept { return static_cast<int32_t>(reSources.size()); }
  TnxBaseSourceEngine& Source(int32_t aIndex) const { return *reSources.at(size_t(aIndex)); }
  int32_t ActionCount() const noexcept { return static_cast<int32_t>(reActions.size()); }
  TnxBaseActionEngine& Action(int32_t aIndex) const { return *reActions.at(size_t(aIndex)); }

protected:
  virtual void BuildActionMapping();

private:
  struct MemFree {
    void operator()(uint8_t* aMem) const noexcept;
  };
  using TBuffer = std::unique_ptr<uint8_t, MemFree>;
  using TMapping = std::array<std::vector<TnxBaseActionEngine*>, 48>;

  void AddActionMapping(TnxBaseActionEngine& aAction, TMapping& aMapping, bool aBefore, TnxEngineActions aActions);
  // Fills aBuffer from aRecord's source values for aType.
  void FillFromSources(int aType, uint8_t* aBuffer, const uint8_t* aRecord, bool* aNull);

  TnxRefIntegrityEngine& reParent;
  TnxReferenceDescriptor& reDescriptor;
  std::unique_ptr<TnxBaseTargetCursorEngine> reTargetCursor;
  TnxFieldsDescriptor* reFieldsDescriptor = nullptr;
  bool reTargetCursorPrepared = false;
  uint32_t reTargetRecordLength = 0;
  TBuffer reTargetRecordBuffer1;
  TBuffer reTargetRecordBuffer2;
  TnxCompKeyDescriptor* reTargetKeyDescriptor = nullptr;
  std::array<TMapping, 2> reActionMapping;  // [false] after, [true] before
  std::vector<std::unique_ptr<TnxBaseSourceEngine>> reSources;
  std::vector<std::unique_ptr<TnxBaseActionEngine>> reActions;
};

// ---- the target table ----

struct TnxTargetCursorEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseTargetCursorEngine> (*Create)(TnxReferenceEngine& aParent,
                                                       TnxBaseTargetCursorDescriptor& aDescriptor) = nullptr;
};

class TnxBaseTargetCursorEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTargetCursorEngine, TnxBaseRegisterableEngine, TnxTargetCursorEngineClass,
                              &nxTargetCursorEngines)
  TnxBaseTargetCursorEngine(TnxReferenceEngine& aParent, TnxBaseTargetCursorDescriptor& aDescriptor);
  ~TnxBaseTargetCursorEngine() override;

  static std::unique_ptr<TnxBaseTargetCursorEngine> CreateFor(TnxReferenceEngine& aParent,
                                                              TnxBaseTargetCursorDescriptor& aDescriptor);

  // A new cursor on the target table, or the failure's code.
  virtual uint32_t OpenTargetCursor(TnxAbstractCursor& aSourceCursor, TnxAbstractCursor*& aCursor) = 0;
  // The request-close handler: closes the cursor unless it is in use.
  virtual void CloseTargetCursor();

  // Bracket every use of the target cursor.
  void BeginUse();
  void EndUse() noexcept;
  // The open target cursor on the target index; raises when it cannot be
  // opened.
  TnxAbstractCursor& EnsureTargetCursor();
  // The open cursor or nil; for tests.
  TnxAbstractCursor* Cursor() const noexcept { return btceCursor.get(); }
  TnxBaseTargetCursorDescriptor& Descriptor() const noexcept { return btceDescriptor; }
  TnxReferenceEngine& Parent() const noexcept { return btceParent; }

private:
  TnxReferenceEngine& btceParent;
  TnxBaseTargetCursorDescriptor& btceDescriptor;
  platform::TInterfacePtr<TnxRequestCloseHandlerEvent> btceRequestClose;  // made once
  TnxPadlock btcePadlock;
  std::atomic<int32_t> btceInUse{0};
  TnxServerObjectPtr<TnxAbstractCursor> btceCursor;
};

class TnxCloneTargetCursorEngine : public TnxBaseTargetCursorEngine {
public:
  static std::unique_ptr<TnxBaseTargetCursorEngine> New(TnxReferenceEngine& aParent,
                                                        TnxBaseTargetCursorDescriptor& aDescriptor);
  REVUROV_REGISTERABLE_RECORD(TnxCloneTargetCursorEngine, TnxBaseTargetCursorEngine, TnxTargetCursorEngineClass,
                              &TnxCloneTargetCursorEngine::New)
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TnxAbstractCursor& aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

class TnxTableTargetCursorEngine : public TnxBaseTargetCursorEngine {
public:
  static std::unique_ptr<TnxBaseTargetCursorEngine> New(TnxReferenceEngine& aParent,
                                                        TnxBaseTargetCursorDescriptor& aDescriptor);
  REVUROV_REGISTERABLE_RECORD(TnxTableTargetCursorEngine, TnxBaseTargetCursorEngine, TnxTargetCursorEngineClass,
                              &TnxTableTargetCursorEngine::New)
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TnxAbstractCursor& aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

class TnxRelativeTargetCursorEngine : public TnxBaseTargetCursorEngine {
public:
  static std::unique_ptr<TnxBaseTargetCursorEngine> New(TnxReferenceEngine& aParent,
                                                        TnxBaseTargetCursorDescriptor& aDescriptor);
  REVUROV_REGISTERABLE_RECORD(TnxRelativeTargetCursorEngine, TnxBaseTargetCursorEngine,
                              TnxTargetCursorEngineClass, &TnxRelativeTargetCursorEngine::New)
  using TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TnxAbstractCursor& aSourceCursor, TnxAbstractCursor*& aCursor) override;
};

// ---- source values ----

enum TnxValueUseType : uint8_t { vutRangeStart, vutRangeEnd, vutCompare, vutRecordModify, vutRecordDelete };

struct TnxSourceEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseSourceEngine> (*Create)(TnxReferenceEngine& aParent,
                                                 TnxBaseSourceDescriptor& aDescriptor) = nullptr;
};

class TnxBaseSourceEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseSourceEngine, TnxBaseRegisterableEngine, TnxSourceEngineClass,
                              &nxSourceEngines)
  TnxBaseSourceEngine(TnxReferenceEngine& aParent, TnxBaseSourceDescriptor& aDescriptor)
      : bseParent(aParent), bseDescriptor(aDescriptor) {}
  ~TnxBaseSourceEngine() override = default;

  static std::unique_ptr<TnxBaseSourceEngine> CreateFor(TnxReferenceEngine& aParent,
                                                        TnxBaseSourceDescriptor& aDescriptor);

  virtual std::u16string GetSourceName() const = 0;
  virtual std::u16string GetTargetName() const = 0;
  virtual void Initialize(int32_t aTargetField, TnxAbstractCursor& aTargetCursor);
  // The source value of aSourceBuffer into the target field of
  // aTargetBuffer; aSourceIsNull (may be nil) tells whether it was null.
  virtual uint32_t SetValueTo(TnxValueUseType aType, uint8_t* aTargetBuffer, const uint8_t* aSourceBuffer,
                              bool* aSourceIsNull) = 0;
  virtual uint32_t ClearField(TnxValueUseType aType, uint8_t* aTargetBuffer);
  virtual uint32_t SetFieldToDefault(TnxValueUseType aType, TnxAbstractCursor& aTargetCursor,
                                     uint8_t* aTargetBuffer);

  // The target field holds the same (or no) value in both records.
  bool TargetFieldSame(const uint8_t* aRecord1, const uint8_t* aRecord2) const;

  TnxBaseSourceDescriptor& Descriptor() const noexcept { return bseDescriptor; }
  TnxReferenceEngine& Parent() const noexcept { return bseParent; }

protected:
  TnxReferenceEngine& bseParent;
  TnxBaseSourceDescriptor& bseDescriptor;
  TnxFieldsDescriptor* bseSourceFields = nullptr;
  TnxFieldsDescriptor* bseTargetFields = nullptr;
  int32_t bseTargetField = -1;
  int32_t bseTargetOffset = 0;
};

class TnxFieldSourceEngine : public TnxBaseSourceEngine {
public:
  static std::unique_ptr<TnxBaseSourceEngine> New(TnxReferenceEngine& aParent, TnxBaseSourceDescriptor& aDescriptor);
  REVUROV_REGISTERABLE_RECORD(TnxFieldSourceEngine, TnxBaseSourceEngine, TnxSourceEngineClass,
                              &TnxFieldSourceEngine::New)
  TnxFieldSourceEngine(TnxReferenceEngine& aParent, TnxBaseSourceDescriptor& aDescriptor);
  ~TnxFieldSourceEngine() override;

  std::u16string GetSourceName() const override;
  std::u16string GetTargetName() const override;
  void Initialize(int32_t aTargetField, TnxAbstractCursor& aTargetCursor) override;
  uint32_t SetValueTo(TnxValueUseType aType, uint8_t* aTargetBuffer, const uint8_t* aSourceBuffer,
                      bool* aSourceIsNull) override;

private:
  int32_t fseSourceField = -1;
  int32_t fseSourceOffset = 0;
  TnxMappingMethod fseMapper;
  std::unique_ptr<TnxBaseFieldMapper> fseMapperInst;
  std::u16string fseSourceName;
  std::u16string fseTargetName;
};

// ---- actions ----

struct TnxActionEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseActionEngine> (*Create)(TnxReferenceEngine& aParent,
                                                 TnxBaseActionDescriptor& aDescriptor) = nullptr;
};

class TnxBaseActionEngine : public TnxBaseRegisterableEngine {
public:
  template <class T>
  static std::unique_ptr<TnxBaseActionEngine> New(TnxReferenceEngine& aParent, TnxBaseActionDescriptor& aDescriptor) {
    return std::make_unique<T>(aParent, aDescriptor);
  }
  REVUROV_REGISTERABLE_FAMILY(TnxBaseActionEngine, TnxBaseRegisterableEngine, TnxActionEngineClass,
                              &nxActionEngines, &TnxBaseActionEngine::New<TnxBaseActionEngine>)
  TnxBaseActionEngine(TnxReferenceEngine& aParent, TnxBaseActionDescriptor& aDescriptor)
      : baeParent(aParent), baeDescriptor(aDescriptor) {}
  ~TnxBaseActionEngine() override = default;

  static std::unique_ptr<TnxBaseActionEngine> CreateFor(TnxReferenceEngine& aParent,
                                                        TnxBaseActionDescriptor& aDescriptor);

  // Runs on the target cursor, whose range is set.
  virtual uint32_t Execute(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);
  virtual TnxEngineActions RequiredBeforeActions() const { return {}; }
  virtual TnxEngineActions RequiredAfterActions() const { return {}; }
  virtual bool WantsNewOnAfterModify() const { return false; }

  TnxBaseActionDescriptor& Descriptor() const noexcept { return baeDescriptor; }
  TnxReferenceEngine& Parent() const noexcept { return baeParent; }

protected:
  TnxAbstractCursor& Target() const;
  // The source cursor writes in nested transactions from now on.
  void RequestNested() const;
  // The modify loop over the range: aSet writes a record's new values.
  // With aMustChange a record whose reference stays as it was (a default
  // that is the key just deleted or changed) answers 9733: it would be
  // left referring to a master that is gone.
  template <class E, class F>
  uint32_t WriteLoop(F&& aSet, bool aMustChange = false);

  TnxReferenceEngine& baeParent;
  TnxBaseActionDescriptor& baeDescriptor;
};

#define REVUROV_RI_ACTION_ENGINE(Name)                                                                  \
  class Name : public TnxBaseActionEngine {                                                            \
  public:                                                                                              \
    REVUROV_REGISTERABLE_RECORD(Name, TnxBaseActionEngine, TnxActionEngineClass,                        \
                                &TnxBaseActionEngine::New<Name>)                                       \
    Name(TnxReferenceEngine& aParent, TnxBaseActionDescriptor& aDescriptor);                           \
    uint32_t Execute(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override;             \
    TnxEngineActions RequiredBeforeActions() const override;                                           \
    TnxEngineActions RequiredAfterActions() const override;                                            \
    bool WantsNewOnAfterModify() const override;                                                       \
  };

REVUROV_RI_ACTION_ENGINE(TnxCascadeDeleteActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxClearDeleteActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxSetDefaultDeleteActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxBlockDeleteActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxCascadeModifyActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxClearModifyActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxSetDefaultModifyActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxBlockModifyActionEngine)
REVUROV_RI_ACTION_ENGINE(TnxTargetRequiredActionEngine)

#undef REVUROV_RI_ACTION_ENGINE

}  // namespace revurov
