#include "server/engines/referential_integrity.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/sql_engine_classes.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"
#include "storage/deadline.h"

namespace revurov {

constinit TnxClassRegistry nxRefIntegrityEngines;
constinit TnxClassRegistry nxReferenceEngines;
constinit TnxClassRegistry nxTargetCursorEngines;
constinit TnxClassRegistry nxSourceEngines;
constinit TnxClassRegistry nxActionEngines;

namespace {

constexpr std::u16string_view kViolationPrefix = u"Referential Integrity Violation. ";

std::atomic<const TnxRefIntegrityServerHooks*> gServerHooks{nullptr};

thread_local int32_t tlsDepth = 0;

// One level of referential actions on this thread.
class TDepthLevel {
public:
  TDepthLevel() noexcept { ++tlsDepth; }
  ~TDepthLevel() { --tlsDepth; }
  TDepthLevel(const TDepthLevel&) = delete;
  TDepthLevel& operator=(const TDepthLevel&) = delete;
  bool TooDeep() const noexcept { return tlsDepth > kRefIntegrityMaxDepth; }
};

// The engine class for a descriptor: from the descriptor's slot, else by
// name, published in the slot for the next cursor.
template <class Record, class E>
const Record& EngineClassFor(const TnxRegisterableClass& aFamily, const TnxDictionaryItem& aDescriptor,
                             TnxCachedEngineClass* aSlot, std::u16string_view aWord) {
  if (aSlot)
    if (const TnxRegisterableClass* cached = aSlot->Get()) return *static_cast<const Record*>(cached);
  const std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const Record* found = nxFindClassAs<Record>(aFamily, name);
  if (!found || !found->Create) nxRaiseUnknownEngine<E>(aWord, name);
  if (aSlot) aSlot->Set(found);
  return *found;
}

const TnxEngineArg& Arg(TnxEngineArgs aArgs, size_t aIndex) {
  if (aIndex >= aArgs.size())
    throw EnxReferenceEngineException(nxeInvalidParameter, u"Missing argument of a record notification", {});
  return aArgs[aIndex];
}
const uint8_t* RecordArg(TnxEngineArgs aArgs, size_t aIndex) {
  return static_cast<const uint8_t*>(Arg(aArgs, aIndex).eaPointer);
}

// Holds the target cursor in use for one notification.
class TUse {
public:
  explicit TUse(TnxBaseTargetCursorEngine& aEngine) : uEngine(aEngine) { uEngine.BeginUse(); }
  ~TUse() { uEngine.EndUse(); }
  TUse(const TUse&) = delete;
  TUse& operator=(const TUse&) = delete;

private:
  TnxBaseTargetCursorEngine& uEngine;
};

}  // namespace

const TnxRefIntegrityServerHooks* nxRefIntegrityServerHooks() noexcept {
  return gServerHooks.load(std::memory_order_acquire);
}
void nxSetRefIntegrityServerHooks(const TnxRefIntegrityServerHooks* aHooks) noexcept {
  gServerHooks.store(aHooks, std::memory_order_release);
}

int32_t nxRefIntegrityDepth() noexcept { return tlsDepth; }

// ---- the refint engine ----

std::unique_ptr<TnxBaseRefIntegrityEngine> TnxBaseRefIntegrityEngine::CreateFor(TnxBaseTableDescriptor& aTable,
                                                                                TnxAbstractCursor* aCursor) {
  return CreateFor(nxGetRefIntegrityDescriptor(aTable), aCursor);
}

std::unique_ptr<TnxBaseRefIntegrityEngine> TnxBaseRefIntegrityEngine::CreateFor(
    TnxRefIntegrityDescriptor* aDescriptor, TnxAbstractCursor* aCursor) {
  if (!aDescriptor) return nullptr;
  const auto& engineClass = EngineClassFor<TnxRefIntegrityEngineClass, EnxBaseRefIntegrityEngineException>(
      ClassInfo(), *aDescriptor, nullptr, u"RefIntegrity");
  return engineClass.Create(*aDescriptor, aCursor);
}

std::unique_ptr<TnxBaseRefIntegrityEngine> TnxRefIntegrityEngine::New(TnxRefIntegrityDescriptor& aDescriptor,
                                                                      TnxAbstractCursor* aCursor) {
  return std::make_unique<TnxRefIntegrityEngine>(aDescriptor, aCursor);
}

TnxRefIntegrityEngine::TnxRefIntegrityEngine(TnxRefIntegrityDescriptor& aDescriptor, TnxAbstractCursor* aCursor)
    : rieDescriptor(aDescriptor), rieCursor(aCursor) {
  rieReferences.reserve(size_t(aDescriptor.ReferenceCount()));
  for (int32_t i = 0; i < aDescriptor.ReferenceCount(); ++i)
    rieReferences.push_back(TnxReferenceEngine::CreateFor(*this, *aDescriptor.Reference(i)));
}

TnxRefIntegrityEngine::~TnxRefIntegrityEngine() {
  while (!rieReferences.empty()) rieReferences.pop_back();
}

uint32_t TnxRefIntegrityEngine::Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  if (!rieActions[aBefore].Contains(aAction)) return 0;
  const TDepthLevel level;
  if (level.TooDeep())
    return EnxBaseException::nxSetMessage(
        nxeMasterHasDetails,
        u"Referential integrity actions are nested more than %d levels deep (a cascade too long or circular)",
        {kRefIntegrityMaxDepth});
  for (size_t i = rieReferences.size(); i > 0; --i)
    if (const uint32_t result = rieReferences[i - 1]->Notify(aAction, aBefore, aArgs)) return result;
  return 0;
}

// ---- one reference ----

void TnxReferenceEngine::MemFree::operator()(uint8_t* aMem) const noexcept { nxFreeMem(aMem); }

std::unique_ptr<TnxReferenceEngine> TnxReferenceEngine::New(TnxRefIntegrityEngine& aParent,
                                                            TnxReferenceDescriptor& aDescriptor) {
  return std::make_unique<TnxReferenceEngine>(aParent, aDescriptor);
}

std::unique_ptr<TnxReferenceEngine> TnxReferenceEngine::CreateFor(TnxRefIntegrityEngine& aParent,
                                                                  TnxReferenceDescriptor& aDescriptor) {
  const auto& engineClass = EngineClassFor<TnxReferenceEngineClass, EnxReferenceEngineException>(
      ClassInfo(), aDescriptor, &aDescriptor.CachedEngineClass(), u"Reference");
  return engineClass.Create(aParent, aDescriptor);
}

TnxReferenceEngine::TnxReferenceEngine(TnxRefIntegrityEngine& aParent, TnxReferenceDescriptor& aDescriptor)
    : reParent(aParent), reDescriptor(aDescriptor) {
  reTargetCursor = TnxBaseTargetCursorEngine::CreateFor(*this, aDescriptor.TargetCursor());
  for (int32_t i = 0; i < aDescriptor.SourceCount(); ++i)
    reSources.push_back(TnxBaseSourceEngine::CreateFor(*this, *aDescriptor.Source(i)));
  for (int32_t i = 0; i < aDescriptor.ActionCount(); ++i)
    reActions.push_back(TnxBaseActionEngine::CreateFor(*this, *aDescriptor.Action(i)));
  BuildActionMapping();
}

TnxReferenceEngine::~TnxReferenceEngine() {
  while (!reActions.empty()) reActions.pop_back();
  while (!reSources.empty()) reSources.pop_back();
  // Its destruction unprepares this engine: the buffers go after it.
  reTargetCursor.reset();
}

void TnxReferenceEngine::BuildActionMapping() {
  for (const auto& action : reActions) {
    AddActionMapping(*action, reActionMapping[true], true, action->RequiredBeforeActions());
    AddActionMapping(*action, reActionMapping[false], false, action->RequiredAfterActions());
  }
}

void TnxReferenceEngine::AddActionMapping(TnxBaseActionEngine& aAction, TMapping& aMapping, bool aBefore,
                                          TnxEngineActions aActions) {
  if (aActions.Empty()) return;
  for (int a = 0; a < 44; ++a) {
    if (!aActions.Contains(a)) continue;
    reParent.IncludeAction(aBefore, TnxEngineAction(a));
    aMapping[size_t(a)].push_back(&aAction);
  }
}

uint32_t TnxReferenceEngine::Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  const std::vector<TnxBaseActionEngine*>& actions = reActionMapping[aBefore][aAction];
  if (actions.empty()) return 0;
  const TUse use(*reTargetCursor);

  bool hasNull = false;
  bool useNew = false;
  const uint8_t* newRecord = nullptr;
  const uint8_t* oldRecord = nullptr;
  switch (aAction) {
    case eaRecordInsert:
      if (!SetTargetRange(RecordArg(aArgs, 1), &hasNull)) return 0;
      break;
    case eaRecordDelete:
      if (!SetTargetRange(RecordArg(aArgs, 0), &hasNull)) return 0;
      break;
    case eaRecordModify:
      newRecord = RecordArg(aArgs, 0);
      oldRecord = RecordArg(aArgs, 1);
      if (!aBefore) {
        // Actions on a modify only run when the reference's key changed.
        if (!TargetKeyChanged(newRecord, oldRecord)) return 0;
        useNew = actions.front()->WantsNewOnAfterModify();
      } else {
        useNew = true;
      }
      if (!SetTargetRange(useNew ? newRecord : oldRecord, &hasNull)) return 0;
      break;
    default:
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Action not supported");
  }

  for (TnxBaseActionEngine* action : actions) {
    if (hasNull && action->Descriptor().SkipOnNull()) continue;
    if (aAction == eaRecordModify && action->WantsNewOnAfterModify() != useNew) {
      useNew = !useNew;
      hasNull = false;
      if (!SetTargetRange(useNew ? newRecord : oldRecord, &hasNull)) return 0;
      if (hasNull && action->Descriptor().SkipOnNull()) continue;
    }
    // A code the action answers without a message of its own must not
    // take a stale one of an earlier failure.
    EnxBaseException::SetLastConvertedException(0, {});
    if (const uint32_t result = action->Execute(aAction, aBefore, aArgs)) return ReportViolation(result);
  }
  return 0;
}

void TnxReferenceEngine::CheckTargetIndex(TnxAbstractCursor& aTarget) {
  if (reTargetKeyDescriptor) return;
  TnxBaseTableDescriptor* table = aTarget.TableDescriptor();
  TnxMainIndicesDescriptor* indices = table ? table->IndicesDescriptor() : nullptr;
  const int32_t index = indices ? indices->GetIndexFromName(reDescriptor.TargetIndex()) : -1;
  if (index < 0) throw EnxReferenceEngineException(nxeIndexDoesNotExist, u"Index does not exist.", {});
  auto* key = dynamic_cast<TnxCompKeyDescriptor*>(indices->IndexDescriptor(index)->KeyDescriptor());
  if (!key) throw EnxReferenceEngineException(nxeInvalidIndexDescriptor, u"A composite index is required", {});
  if (key->KeyFieldCount() < SourceCount())
    throw EnxReferenceEngineException(nxeInvalidDescriptor,
                                      u"The reference descriptor has more fields than the target index.", {});
  reTargetKeyDescriptor = key;
}

void TnxReferenceEngine::PrepareTargetCursor() {
  if (reTargetCursorPrepared) return;
  TnxAbstractCursor& target = reTargetCursor->EnsureTargetCursor();
  reFieldsDescriptor = &target.TableDescriptor()->FieldsDescriptor();
  if (reTargetRecordLength == 0) {
    const uint32_t length = uint32_t(reFieldsDescriptor->RecordLength());
    reTargetRecordBuffer1.reset(static_cast<uint8_t*>(nxAllocMem(length)));
    reTargetRecordBuffer2.reset(static_cast<uint8_t*>(nxAllocMem(length)));
    reTargetRecordLength = length;
  }
  CheckTargetIndex(target);
  // Sources map to the leading key fields in order.
  for (int32_t i = 0; i < SourceCount(); ++i)
    reSources[size_t(i)]->Initialize(reTargetKeyDescriptor->ckdGetKeyField(i)->FieldNumber(), target);
  reTargetCursorPrepared = true;
}

void TnxReferenceEngine::UnprepareTargetCursor() noexcept {
  reTargetRecordBuffer1.reset();
  reTargetRecordBuffer2.reset();
  reTargetRecordLength = 0;
  reTargetKeyDescriptor = nullptr;
  reFieldsDescriptor = nullptr;
  reTargetCursorPrepared = false;
}

void TnxReferenceEngine::FillFromSources(int aType, uint8_t* aBuffer, const uint8_t* aRecord, bool* aNull) {
  for (const auto& source : reSources)
    if (const uint32_t result = source->SetValueTo(TnxValueUseType(aType), aBuffer, aRecord, aNull))
      throw EnxReferenceEngineException(result);
}

bool TnxReferenceEngine::SetTargetRange(const uint8_t* aRecord, bool* aHasNull) {
  PrepareTargetCursor();
  TnxAbstractCursor& target = reTargetCursor->EnsureTargetCursor();
  uint8_t* start = reTargetRecordBuffer1.get();
  uint8_t* end = reTargetRecordBuffer2.get();
  reFieldsDescriptor->InitRecord(start);
  reFieldsDescriptor->InitRecord(end);
  for (const auto& source : reSources) {
    bool isNull = false;
    uint32_t result = source->SetValueTo(vutRangeStart, start, aRecord, &isNull);
    if (result == 0) result = source->SetValueTo(vutRangeEnd, end, aRecord, &isNull);
    if (result != 0) throw EnxReferenceEngineException(result);
    if (isNull) {
      if (source->Descriptor().SkipOnNull()) return false;
      if (aHasNull) *aHasNull = true;
    }
  }
  const int32_t count = SourceCount();
  if (const uint32_t result = target.RangeSet(count, 0, false, start, true, count, 0, false, end, true))
    throw EnxReferenceEngineException(result);
  return true;
}

bool TnxReferenceEngine::TargetKeyChanged(const uint8_t* aRecord1, const uint8_t* aRecord2) {
  PrepareTargetCursor();
  TnxAbstractCursor& target = reTargetCursor->EnsureTargetCursor();
  uint8_t* key1 = reTargetRecordBuffer1.get();
  uint8_t* key2 = reTargetRecordBuffer2.get();
  reFieldsDescriptor->InitRecord(key1);
  reFieldsDescriptor->InitRecord(key2);
  FillFromSources(vutCompare, key1, aRecord1, nullptr);
  FillFromSources(vutCompare, key2, aRecord2, nullptr);
  TValueRelationship relation = 0;
  if (const uint32_t result = target.CompareKeys(SourceCount(), 0, false, key1, false, key2, relation))
    throw EnxReferenceEngineException(result);
  return relation != 0;
}

uint32_t TnxReferenceEngine::ReportViolation(uint32_t aErrorCode) {
  uint32_t code = 0;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(code, text);
  if (code != aErrorCode || text.empty()) {
    text = nxOriginalMessageTag();
  } else if (text.starts_with(kViolationPrefix)) {
    // A reference further down the cascade was violated and says so; a
    // cascade 1,000 levels deep must not repeat every level's names.
    return aErrorCode;
  }
  std::u16string message(kViolationPrefix);
  if (TnxAbstractCursor* cursor = reParent.Cursor()) message += cursor->FullName();
  message += u"(";
  message += GetSourceNames();
  message += u") -> ";
  message += reDescriptor.TargetCursor().ReferencedTableName();
  message += u"(";
  message += GetTargetNames();
  message += u"): ";
  message += text;
  EnxBaseException::SetLastConvertedException(aErrorCode, message);
  return aErrorCode;
}

std::u16string TnxReferenceEngine::GetSourceNames() const {
  std::u16string names;
  for (const auto& source : reSources) {
    if (!names.empty()) names += u", ";
    names += source->GetSourceName();
  }
  return names;
}

std::u16string TnxReferenceEngine::GetTargetNames() const {
  std::u16string names;
  for (const auto& source : reSources) {
    if (!names.empty()) names += u", ";
    names += source->GetTargetName();
  }
  return names;
}

// ---- the target table ----

std::unique_ptr<TnxBaseTargetCursorEngine> TnxBaseTargetCursorEngine::CreateFor(
    TnxReferenceEngine& aParent, TnxBaseTargetCursorDescriptor& aDescriptor) {
  const auto& engineClass = EngineClassFor<TnxTargetCursorEngineClass, EnxBaseTargetCursorEngineException>(
      ClassInfo(), aDescriptor, &aDescriptor.CachedEngineClass(), u"TargetCursor");
  return engineClass.Create(aParent, aDescriptor);
}

TnxBaseTargetCursorEngine::TnxBaseTargetCursorEngine(TnxReferenceEngine& aParent,
                                                     TnxBaseTargetCursorDescriptor& aDescriptor)
    : btceParent(aParent), btceDescriptor(aDescriptor) {}

TnxBaseTargetCursorEngine::~TnxBaseTargetCursorEngine() {
  if (btceRequestClose) {
    btceRequestClose->Disconnect();
    btceRequestClose.Reset();
  }
  TnxServerObjectPtr<TnxAbstractCursor> cursor;
  {
    TnxPadlockGuard guard(btcePadlock);
    // No close request acts from here on.
    btceInUse.fetch_add(1 << 24, std::memory_order_acq_rel);
    btceParent.UnprepareTargetCursor();
    cursor = std::move(btceCursor);
  }
  // Freed outside the padlock: freeing waits for a close request in flight
  // on the cursor, which takes the padlock.
  cursor.reset();
}

void TnxBaseTargetCursorEngine::BeginUse() {
  {
    TnxPadlockGuard guard(btcePadlock);
    btceInUse.fetch_add(1, std::memory_order_acq_rel);
  }
  nxEnterTimeoutNesting();
}

void TnxBaseTargetCursorEngine::EndUse() noexcept {
  nxLeaveTimeoutNesting();
  TnxPadlockGuard guard(btcePadlock);
  btceInUse.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxBaseTargetCursorEngine::CloseTargetCursor() {
  TnxPadlockGuard guard(btcePadlock);
  if (btceInUse.load(std::memory_order_acquire) != 0 || !btceCursor) return;
  btceParent.UnprepareTargetCursor();
  // We run inside the cursor's own close request, which lets its handler
  // free it.
  btceCursor.reset();
}

TnxAbstractCursor& TnxBaseTargetCursorEngine::EnsureTargetCursor() {
  if (btceCursor) return *btceCursor;
  TnxAbstractCursor* source = btceParent.Parent().Cursor();
  if (!source) throw EnxBaseTargetCursorEngineException(nxeInvalidParameter, u"No source cursor", {});
  TnxAbstractCursor* opened = nullptr;
  if (const uint32_t result = OpenTargetCursor(*source, opened)) {
    if (opened) TnxServerObjectFree()(opened);
    throw EnxBaseTargetCursorEngineException(btceParent.ReportViolation(result));
  }
  TnxServerObjectPtr<TnxAbstractCursor> cursor(opened);
  if (!cursor) throw EnxBaseTargetCursorEngineException(nxeInvalidParameter, u"No target cursor", {});
  // The target's dictionary first: a missing index is the reference's
  // fault, not the switch's.
  btceParent.CheckTargetIndex(*cursor);
  if (const uint32_t result = cursor->SwitchToIndex(btceParent.Descriptor().TargetIndex(), -1, porFalse))
    throw EnxBaseTargetCursorEngineException(result);
  if (auto* sql = dynamic_cast<TnxSqlAbstractCursor*>(cursor.get())) {
    if (!btceRequestClose) btceRequestClose = nxCreate<TnxRequestCloseHandlerEvent>([this](TnxAbstractCursor*) {
      CloseTargetCursor();
    });
    sql->sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler>(btceRequestClose));
  }
  btceCursor = std::move(cursor);
  return *btceCursor;
}

std::unique_ptr<TnxBaseTargetCursorEngine> TnxCloneTargetCursorEngine::New(
    TnxReferenceEngine& aParent, TnxBaseTargetCursorDescriptor& aDescriptor) {
  return std::make_unique<TnxCloneTargetCursorEngine>(aParent, aDescriptor);
}

uint32_t TnxCloneTargetCursorEngine::OpenTargetCursor(TnxAbstractCursor& aSourceCursor,
                                                      TnxAbstractCursor*& aCursor) {
  return aSourceCursor.Duplicate(omReadWrite, aCursor);
}

std::unique_ptr<TnxBaseTargetCursorEngine> TnxTableTargetCursorEngine::New(
    TnxReferenceEngine& aParent, TnxBaseTargetCursorDescriptor& aDescriptor) {
  return std::make_unique<TnxTableTargetCursorEngine>(aParent, aDescriptor);
}

uint32_t TnxTableTargetCursorEngine::OpenTargetCursor(TnxAbstractCursor& aSourceCursor,
                                                      TnxAbstractCursor*& aCursor) {
  auto& descriptor = static_cast<TnxTableTargetCursorDescriptor&>(Descriptor());
  TnxAbstractDatabase* database = aSourceCursor.Database();
  if (!database) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The source cursor has no database");
  return database->CursorOpen(aCursor, descriptor.TableName(), descriptor.Password(), omReadWrite, smShared,
                              aSourceCursor.Timeout(), u"", -1, false, 0, 500, nullptr);
}

std::unique_ptr<TnxBaseTargetCursorEngine> TnxRelativeTargetCursorEngine::New(
    TnxReferenceEngine& aParent, TnxBaseTargetCursorDescriptor& aDescriptor) {
  return std::make_unique<TnxRelativeTargetCursorEngine>(aParent, aDescriptor);
}

uint32_t TnxRelativeTargetCursorEngine::OpenTargetCursor(TnxAbstractCursor& aSourceCursor,
                                                         TnxAbstractCursor*& aCursor) {
  auto& descriptor = static_cast<TnxRelativeTargetCursorDescriptor&>(Descriptor());
  auto* sql = dynamic_cast<TnxSqlAbstractCursor*>(&aSourceCursor);
  TnxAbstractDatabase* database = aSourceCursor.Database();
  if (!sql || !database)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Relative targets need a server cursor");
  const std::u16string fullName = aSourceCursor.FullName();
  std::u16string name = descriptor.TableName();
  name = (name.starts_with(u".") ? fullName : sql->sbcGetRootName()) + u":" + name;
  std::u16string password;
  const TnxRefIntegrityServerHooks* hooks = nxRefIntegrityServerHooks();
  if (hooks && hooks->ExtractPassword) password = hooks->ExtractPassword(aSourceCursor);
  const bool allowSystem = !fullName.empty() && fullName.front() == u'$';
  return database->CursorOpen(aCursor, name, password, omReadWrite, smShared, aSourceCursor.Timeout(), u"", -1,
                              allowSystem, 0, 500, nullptr);
}

// ---- source values ----

std::unique_ptr<TnxBaseSourceEngine> TnxBaseSourceEngine::CreateFor(TnxReferenceEngine& aParent,
                                                                    TnxBaseSourceDescriptor& aDescriptor) {
  const auto& engineClass = EngineClassFor<TnxSourceEngineClass, EnxBaseSourceEngineException>(
      ClassInfo(), aDescriptor, &aDescriptor.CachedEngineClass(), u"Source");
  return engineClass.Create(aParent, aDescriptor);
}

void TnxBaseSourceEngine::Initialize(int32_t aTargetField, TnxAbstractCursor& aTargetCursor) {
  bseTargetFields = &aTargetCursor.TableDescriptor()->FieldsDescriptor();
  bseTargetField = aTargetField;
  bseTargetOffset = bseTargetFields->FieldDescriptor(aTargetField)->Offset();
}

bool TnxBaseSourceEngine::TargetFieldSame(const uint8_t* aRecord1, const uint8_t* aRecord2) const {
  const bool null1 = bseTargetFields->IsRecordFieldNull(bseTargetField, aRecord1);
  if (null1 != bseTargetFields->IsRecordFieldNull(bseTargetField, aRecord2)) return false;
  if (null1) return true;
  const size_t length = size_t(bseTargetFields->FieldDescriptor(bseTargetField)->Length());
  return std::memcmp(aRecord1 + bseTargetOffset, aRecord2 + bseTargetOffset, length) == 0;
}

uint32_t TnxBaseSourceEngine::ClearField(TnxValueUseType, uint8_t* aTargetBuffer) {
  bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
  return 0;
}

uint32_t TnxBaseSourceEngine::SetFieldToDefault(TnxValueUseType aType, TnxAbstractCursor& aTargetCursor,
                                                uint8_t* aTargetBuffer) {
  const TnxRefIntegrityServerHooks* hooks = nxRefIntegrityServerHooks();
  if (hooks && hooks->SetDefaultValue && hooks->SetDefaultValue(aTargetCursor, aTargetBuffer, bseTargetField))
    return 0;
  return ClearField(aType, aTargetBuffer);
}

std::unique_ptr<TnxBaseSourceEngine> TnxFieldSourceEngine::New(TnxReferenceEngine& aParent,
                                                               TnxBaseSourceDescriptor& aDescriptor) {
  return std::make_unique<TnxFieldSourceEngine>(aParent, aDescriptor);
}

TnxFieldSourceEngine::TnxFieldSourceEngine(TnxReferenceEngine& aParent, TnxBaseSourceDescriptor& aDescriptor)
    : TnxBaseSourceEngine(aParent, aDescriptor) {
  TnxAbstractCursor* cursor = aParent.Parent().Cursor();
  fseSourceField = static_cast<TnxFieldSourceDescriptor&>(aDescriptor).FieldNumber();
  if (cursor && cursor->TableDescriptor()) {
    bseSourceFields = &cursor->TableDescriptor()->FieldsDescriptor();
    TnxFieldDescriptor* field = bseSourceFields->FieldDescriptor(fseSourceField);
    fseSourceOffset = field->Offset();
    fseSourceName = field->Name();
  }
}

TnxFieldSourceEngine::~TnxFieldSourceEngine() = default;

std::u16string TnxFieldSourceEngine::GetSourceName() const { return fseSourceName; }
std::u16string TnxFieldSourceEngine::GetTargetName() const { return fseTargetName; }

void TnxFieldSourceEngine::Initialize(int32_t aTargetField, TnxAbstractCursor& aTargetCursor) {
  TnxBaseSourceEngine::Initialize(aTargetField, aTargetCursor);
  TnxFieldDescriptor* target = bseTargetFields->FieldDescriptor(aTargetField);
  fseTargetName = target->Name();
  if (!bseSourceFields)
    throw EnxBaseSourceEngineException(nxeInvalidFieldTransformation, u"The source has no fields", {});
  TnxFieldDescriptor* source = bseSourceFields->FieldDescriptor(fseSourceField);
  fseMapperInst.reset();
  fseMapper.Clear();
  fseMapperInst = TnxBaseFieldMapper::CreateMapper(*source, bseParent.Parent().Cursor(), *target, &aTargetCursor,
                                                   nullptr, fseMapper);
}

uint32_t TnxFieldSourceEngine::SetValueTo(TnxValueUseType, uint8_t* aTargetBuffer, const uint8_t* aSourceBuffer,
                                          bool* aSourceIsNull) {
  bool isNull = bseSourceFields->IsRecordFieldNullFast(fseSourceField, aSourceBuffer);
  if (!isNull) {
    bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, false);
    if (!fseMapper.Assigned())
      return EnxBaseException::nxSetMessage(nxeInvalidFieldTransformation, u"Invalid field transformation.");
    const uint32_t result = fseMapper(aSourceBuffer + fseSourceOffset, aTargetBuffer + bseTargetOffset);
    if (result != 0 && result != 1) return result;
    // A value the target cannot hold counts as none: the null rules apply.
    isNull = result == 1;
  }
  if (isNull) bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
  if (aSourceIsNull) *aSourceIsNull = isNull;
  return 0;
}

// ---- actions ----

std::unique_ptr<TnxBaseActionEngine> TnxBaseActionEngine::CreateFor(TnxReferenceEngine& aParent,
                                                                    TnxBaseActionDescriptor& aDescriptor) {
  const auto& engineClass = EngineClassFor<TnxActionEngineClass, EnxBaseActionEngineException>(
      ClassInfo(), aDescriptor, &aDescriptor.CachedEngineClass(), u"Action");
  return engineClass.Create(aParent, aDescriptor);
}

uint32_t TnxBaseActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) { return 0; }

TnxAbstractCursor& TnxBaseActionEngine::Target() const { return baeParent.TargetCursor().EnsureTargetCursor(); }

void TnxBaseActionEngine::RequestNested() const {
  if (TnxAbstractCursor* cursor = baeParent.Parent().Cursor()) cursor->RequestNestedTransactions();
}

namespace {
void MarkCorrupted(TnxAbstractCursor& aTarget) noexcept;
}  // namespace

template <class E, class F>
uint32_t TnxBaseActionEngine::WriteLoop(F&& aSet, bool aMustChange) {
  TnxAbstractCursor& target = Target();
  uint8_t* record = baeParent.TargetRecordBuffer1();
  std::vector<uint8_t> before;
  if (aMustChange) before.resize(size_t(baeParent.TargetFields()->RecordLength()));
  uint32_t result = target.SetToBegin();
  if (result == 0) result = target.RecordGetNext(nxltWriteLock, record);
  while (result == 0) {
    if (aMustChange) std::memcpy(before.data(), record, before.size());
    for (int32_t i = 0; i < baeParent.SourceCount(); ++i)
      if (const uint32_t set = aSet(baeParent.Source(i), record)) throw E(set);
    if (aMustChange) {
      bool same = true;
      for (int32_t i = 0; i < baeParent.SourceCount() && same; ++i)
        same = baeParent.Source(i).TargetFieldSame(before.data(), record);
      if (same) {
        target.RecordLockRelease(false, false);
        MarkCorrupted(target);
        return nxeMasterRecordMissing;
      }
    }
    result = target.RecordModify(record, true, nullptr);
    if (result != 0) {
      target.RecordLockRelease(false, false);
      break;
    }
    result = target.RecordGetNext(nxltWriteLock, record);
  }
  return result == nxeAtEndOfTable ? 0 : result;
}

namespace {

// A read of the range's first record: 0 when there is one.
uint32_t FirstInRange(TnxAbstractCursor& aTarget) {
  uint32_t result = aTarget.SetToBegin();
  if (result == 0) result = aTarget.RecordGetNext(nxltNoLock, nullptr);
  return result;
}

void MarkCorrupted(TnxAbstractCursor& aTarget) noexcept {
  try {
    if (TnxAbstractDatabase* database = aTarget.Database()) database->TransactionCorrupted();
  } catch (...) {
    // The failure reported is the action's own.
  }
}

}  // namespace

#define REVUROV_RI_ACTION_REQUESTS(Name, Nested, Before, After, WantsNew)            \
  Name::Name(TnxReferenceEngine& aParent, TnxBaseActionDescriptor& aDescriptor)        \
      : TnxBaseActionEngine(aParent, aDescriptor) {                                    \
    if (Nested) RequestNested();                                                       \
  }                                                                                    \
  TnxEngineActions Name::RequiredBeforeActions() const { return TnxEngineActions Before; } \
  TnxEngineActions Name::RequiredAfterActions() const { return TnxEngineActions After; }   \
  bool Name::WantsNewOnAfterModify() const { return WantsNew; }

REVUROV_RI_ACTION_REQUESTS(TnxCascadeDeleteActionEngine, true, {}, {eaRecordDelete}, false)
REVUROV_RI_ACTION_REQUESTS(TnxClearDeleteActionEngine, true, {}, {eaRecordDelete}, false)
REVUROV_RI_ACTION_REQUESTS(TnxSetDefaultDeleteActionEngine, true, {}, {eaRecordDelete}, false)
REVUROV_RI_ACTION_REQUESTS(TnxBlockDeleteActionEngine, false, {eaRecordDelete}, {}, false)
REVUROV_RI_ACTION_REQUESTS(TnxCascadeModifyActionEngine, true, {}, {eaRecordModify}, false)
REVUROV_RI_ACTION_REQUESTS(TnxClearModifyActionEngine, true, {}, {eaRecordModify}, false)
REVUROV_RI_ACTION_REQUESTS(TnxSetDefaultModifyActionEngine, true, {}, {eaRecordModify}, false)
REVUROV_RI_ACTION_REQUESTS(TnxBlockModifyActionEngine, true, {}, {eaRecordModify}, false)
REVUROV_RI_ACTION_REQUESTS(TnxTargetRequiredActionEngine, true, {}, ({eaRecordInsert, eaRecordModify}), true)

#undef REVUROV_RI_ACTION_REQUESTS

uint32_t TnxCascadeDeleteActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  TnxAbstractCursor& target = Target();
  const uint32_t result = target.DeleteRecords();
  if (result != 0) MarkCorrupted(target);
  return result;
}

uint32_t TnxClearDeleteActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  return WriteLoop<EnxClearDeleteActionEngineException>(
      [](TnxBaseSourceEngine& aSource, uint8_t* aRecord) { return aSource.ClearField(vutRecordDelete, aRecord); });
}

uint32_t TnxSetDefaultDeleteActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  TnxAbstractCursor& target = Target();
  return WriteLoop<EnxSetDefaultDeleteActionEngineException>([&](TnxBaseSourceEngine& aSource, uint8_t* aRecord) {
    return aSource.SetFieldToDefault(vutRecordDelete, target, aRecord);
  }, true);
}

uint32_t TnxBlockDeleteActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  const uint32_t result = FirstInRange(Target());
  if (result == 0) return nxeMasterHasDetails;
  return result == nxeAtEndOfTable ? 0 : result;
}

uint32_t TnxCascadeModifyActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs aArgs) {
  const uint8_t* newRecord = RecordArg(aArgs, 0);
  return WriteLoop<EnxCascadeModifyActionEngineException>([&](TnxBaseSourceEngine& aSource, uint8_t* aRecord) {
    return aSource.SetValueTo(vutRecordModify, aRecord, newRecord, nullptr);
  });
}

uint32_t TnxClearModifyActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  return WriteLoop<EnxClearModifyActionEngineException>(
      [](TnxBaseSourceEngine& aSource, uint8_t* aRecord) { return aSource.ClearField(vutRecordModify, aRecord); });
}

uint32_t TnxSetDefaultModifyActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  TnxAbstractCursor& target = Target();
  return WriteLoop<EnxSetDefaultModifyActionEngineException>([&](TnxBaseSourceEngine& aSource, uint8_t* aRecord) {
    return aSource.SetFieldToDefault(vutRecordModify, target, aRecord);
  }, true);
}

uint32_t TnxBlockModifyActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  TnxAbstractCursor& target = Target();
  const uint32_t result = FirstInRange(target);
  if (result == nxeAtEndOfTable) return 0;
  MarkCorrupted(target);
  return result == 0 ? nxeMasterHasDetails : result;
}

uint32_t TnxTargetRequiredActionEngine::Execute(TnxEngineAction, bool, TnxEngineArgs) {
  TnxAbstractCursor& target = Target();
  const uint32_t result = FirstInRange(target);
  if (result == 0) return 0;
  MarkCorrupted(target);
  // Only a missing master is a broken reference; a lock time-out or a
  // passed deadline says so itself.
  return result == nxeAtEndOfTable ? nxeMasterRecordMissing : result;
}

// ---- start-up ----

namespace {

const TnxRegisterableClass* const kEngineClasses[] = {
    &TnxRefIntegrityEngine::ClassInfo(),           &TnxReferenceEngine::ClassInfo(),
    &TnxCloneTargetCursorEngine::ClassInfo(),      &TnxTableTargetCursorEngine::ClassInfo(),
    &TnxRelativeTargetCursorEngine::ClassInfo(),   &TnxFieldSourceEngine::ClassInfo(),
    &TnxCascadeDeleteActionEngine::ClassInfo(),    &TnxClearDeleteActionEngine::ClassInfo(),
    &TnxSetDefaultDeleteActionEngine::ClassInfo(), &TnxBlockDeleteActionEngine::ClassInfo(),
    &TnxCascadeModifyActionEngine::ClassInfo(),    &TnxClearModifyActionEngine::ClassInfo(),
    &TnxSetDefaultModifyActionEngine::ClassInfo(), &TnxBlockModifyActionEngine::ClassInfo(),
    &TnxTargetRequiredActionEngine::ClassInfo(),
};

}  // namespace

void nxRefIntegrityEnginesStartup() {
  nxFieldMapStartup();
  size_t done = 0;
  try {
    for (const TnxRegisterableClass* c : kEngineClasses) {
      c->Register();
      ++done;
    }
  } catch (...) {
    while (done > 0) kEngineClasses[--done]->Unregister();
    nxFieldMapShutdown();
    throw;
  }
}

void nxRefIntegrityEnginesShutdown() {
  for (size_t i = std::size(kEngineClasses); i > 0; --i) kEngineClasses[i - 1]->Unregister();
  nxFieldMapShutdown();
}

}  // namespace revurov
