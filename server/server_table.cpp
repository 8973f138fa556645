#include "server/server_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/shared_infos.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_session.h"
#include "engine/name_rules.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/buffer_calls.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/server_data_dict.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_table_cursor.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/blob_engines.h"
#include "storage/block_access.h"
#include "storage/encryption_engine.h"
#include "storage/file_management.h"
#include "storage/files.h"
#include "storage/header_access.h"
#include "storage/release_method.h"
#include "storage/stream_engines.h"
#include "storage/sub_engines.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

constexpr std::u16string_view kTableNameStream = u"$TableName";
// Tried in this order when a table gets passwords but names no engine.
constexpr std::u16string_view kPasswordEngines[] = {u"nxsAesCcm256", u"nxsAesCcm128", u"nx1xDefault"};
constexpr std::u16string_view kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};
constexpr std::u16string_view kShareModeNames[] = {u"smExclusive", u"smShared", u"smShareRead"};
constexpr std::u16string_view kScopeNames[] = {u"tsPersistent", u"tsTempGlobal", u"tsTempDatabase",
                                               u"tsTempUnnamed"};

std::atomic<int32_t> gUnnamedTableCount{0};

std::u16string NameKey(std::u16string_view aName) { return platform::AsciiUpperCase(aName); }

int64_t LoadInt64(const uint8_t* aAt) {
  int64_t value = 0;
  std::memcpy(&value, aAt, sizeof value);
  return value;
}

// The Int64 value of a special field; null reads 0.
int64_t FieldInt64(const TnxFieldsDescriptor& aFields, int32_t aField, const uint8_t* aRecord) {
  bool isNull = true;
  uint8_t value[8] = {};
  aFields.GetRecordField(aField, aRecord, isNull, value);
  return isNull ? 0 : LoadInt64(value);
}

uint32_t FieldWord32(const TnxFieldsDescriptor& aFields, int32_t aField, const uint8_t* aRecord) {
  bool isNull = true;
  uint32_t value = 0;
  aFields.GetRecordField(aField, aRecord, isNull, &value);
  return isNull ? 0 : value;
}

uint32_t RecordChanged() {
  return EnxBaseException::nxSetMessage(nxeRecordChanged,
                                        u"Couldn't perform the edit because another user changed the record.", {});
}

// The file name without folder and extension.
std::u16string BaseNameOf(std::u16string_view aFileName) {
  std::u16string name = platform::ExtractFileName(aFileName);
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) name.resize(dot);
  return name;
}

// "<Head>.rest" as head and rest; a name without rest names "<Self>".
std::pair<std::u16string_view, std::u16string_view> SplitInstanceName(std::u16string_view aName) {
  const size_t dot = aName.find(u'.');
  std::u16string_view rest = dot == std::u16string_view::npos ? std::u16string_view() : aName.substr(dot + 1);
  if (rest.empty()) rest = u"<Self>";
  return {aName.substr(0, dot), rest};
}

}  // namespace

bool& nxRecoverOpening() noexcept {
  thread_local bool tlsRecoverOpening = false;
  return tlsRecoverOpening;
}

// ---- base table ----

TnxServerBaseTable::TnxServerBaseTable(TnxExtendableServerObject* aParent, std::u16string_view aName,
                                       TnxBaseTableDescriptor* aTableDescriptor)
    : TnxLockedOptionsExtendableServerObject(aParent),
      sbtNameInScope(aName),
      sbtLocks(std::make_unique<TnxTableLockContainer>()) {
  if (auto* parent = dynamic_cast<TnxServerBaseTable*>(aParent)) {
    sbtParent = parent;
    sbtRoot = parent->sbtRoot;
  }
  if (aTableDescriptor) sbtFieldsDescriptor = &aTableDescriptor->FieldsDescriptor();
  sbtTableDescriptor = aTableDescriptor;
}

TnxServerBaseTable::~TnxServerBaseTable() {
  sbtFreeChildren();
  sbtFreeEngines();
  sbtFreeBlockAccess();
}

TnxBaseServerEngine* TnxServerBaseTable::OwningServerEngine() const {
  return sbtRoot ? sbtRoot->OwningServerEngine() : nullptr;
}

void TnxServerBaseTable::AfterConstruction() {
  TnxLockedOptionsExtendableServerObject::AfterConstruction();
  if (auto* engine = static_cast<TnxServerEngine*>(OwningServerEngine())) {
    engine->seTableCount.fetch_add(1);
    sbtStates |= 1u << stsLockedIncDone;
  }
}

void TnxServerBaseTable::sbtFreeCursors() noexcept {
  for (auto& child : sbtChildren) child->sbtFreeCursors();
  for (;;) {
    TnxServerTableCursor* cursor = nullptr;
    {
      TnxPadlockGuard guard(sbtCursorsPadlock);
      cursor = sbtCursorsTail;
    }
    if (!cursor) break;
    cursor->Free();
  }
}

void TnxServerBaseTable::BeforeDestruction() {
  // The cursors still use the files, which the root closes next.
  sbtFreeCursors();
  if (sbtStates & (1u << stsLockedIncDone)) {
    sbtStates &= ~(1u << stsLockedIncDone);
    static_cast<TnxServerEngine*>(OwningServerEngine())->seTableCount.fetch_sub(1);
  }
  TnxLockedOptionsExtendableServerObject::BeforeDestruction();
}

bool TnxServerBaseTable::IsCache() const {
  return sbtTableDescriptor && sbtTableDescriptor->CachingState() == tcsIsCache;
}

std::u16string TnxServerBaseTable::FullName() const {
  if (!sbtParent) return sbtNameInScope;
  return sbtParent->FullName() + u":" + sbtNameInScope;
}

uint32_t TnxServerBaseTable::GetChild(std::u16string_view aChildName, TnxServerBaseTable*& aTable) {
  TnxServerBaseTable* table = this;
  std::u16string_view rest = aChildName;
  while (!rest.empty()) {
    const size_t colon = rest.find(nxChildNameSeparator);
    const std::u16string_view head = rest.substr(0, colon);
    rest = colon == std::u16string_view::npos ? std::u16string_view() : rest.substr(colon + 1);
    if (head == u".") continue;
    if (head == u"..") {
      if (!table->sbtParent) {
        aTable = nullptr;
        return EnxBaseException::nxSetMessage(nxeTableDoesNotExist,
                                              nxOriginalMessageTag() + u" No parent for table \"%s\"",
                                              {table->FullName()});
      }
      table = table->sbtParent;
      continue;
    }
    const auto it = table->sbtChildNames.find(NameKey(head));
    if (it == table->sbtChildNames.end()) {
      aTable = nullptr;
      return EnxBaseException::nxSetMessage(
          nxeTableDoesNotExist, nxOriginalMessageTag() + u" No child table called \"%s\" in table \"%s\"",
          {std::u16string(head), table->FullName()});
    }
    table = it->second;
  }
  aTable = table;
  return 0;
}

TnxLSN TnxServerBaseTable::sbtCurrentLSN(TnxBaseTransaction* aTrans) {
  return sbtBlockAccess.empty() ? 0 : sbtBlockAccess.front()->CurrentLSN(aTrans);
}

uint32_t TnxServerBaseTable::sbtGetStats(TnxServerTableStats& aStats) {
  aStats = TnxServerTableStats{};
  try {
    if (!sbtBlockAccess.empty()) {
      auto header = sbtBlockAccess.front()->HeaderAccess(nullptr, false);
      aStats.stsUsedBlocks = header->UsedBlocks();
      aStats.stsAvailableBlocks = header->AvailableBlocks();
    }
    if (TnxBaseFile* main = sbtRoot->MainFile()) {
      aStats.stsHeaderSignature = main->fiHeaderSignature;
      aStats.stsMainFileName = main->fiName;
      aStats.stsMainFileSize = main->FileSize();
      aStats.stsFileVersion = main->fiZirezVersion;
    }
    aStats.stsOpenCursors = sbtCursorCount.load();
    if (TnxBaseStreamEngine* streams = sbtRoot->StreamEngine())
      streams->GetNamedStreamCount(nullptr, aStats.stsNamedStreamCount);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

platform::HRESULT TnxServerBaseTable::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                        platform::IInterface* aOuter,
                                                        const platform::TGUID& aInterfaceID, void** aInterface) {
  const auto [head, rest] = SplitInstanceName(aName);
  if (platform::AsciiSameText(head, u"<Table>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::AsciiSameText(head, u"<Root>") && sbtRoot)
    return sbtRoot->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxLockedOptionsExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID,
                                                                   aInterface);
}

void TnxServerBaseTable::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxLockedOptionsExtendableServerObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddString(u"FullName", FullName());
  if (sbtParent) aContainer.AddObject(u"Root", static_cast<TnxObject*>(sbtRoot), false);
  {
    TnxPadlockGuard guard(sbtCursorsPadlock);
    const int32_t cursors = sbtCursorCount.load();
    aContainer.AddString(u"OpenCursors", cursors == 0 ? u"None" : cursors == 1 ? u"One" : u"Multiple");
  }
  TnxExceptionDataRef locks = aContainer.AddContainer(u"Locks");
  sbtLocks->GetExceptionData(*locks);
  if (!aIncludeChildren) return;
  TnxExceptionDataRef children = aContainer.AddContainer(u"Children");
  for (size_t i = 0; i < sbtChildren.size(); ++i)
    children->AddObject(platform::Format(u"[%d]", {static_cast<int32_t>(i)}),
                        static_cast<TnxObject*>(sbtChildren[i].get()), false);
}

bool TnxServerBaseTable::sbtCursorsCanClose(bool aRequestClose) {
  {
    TnxPadlockGuard guard(sbtCursorsPadlock);
    if (aRequestClose) {
      // A handler may free its cursor (on this thread, the padlock is
      // re-entrant), so the next one is taken first.
      for (TnxServerTableCursor* cursor = sbtCursorsHead; cursor;) {
        TnxServerTableCursor* next = cursor->TableNext();
        try {
          cursor->sbcRequestClose();
        } catch (...) {
          // A handler that fails keeps its cursor open.
        }
        cursor = next;
      }
    }
    if (sbtCursorCount.load() != 0) return false;
  }
  for (auto& child : sbtChildren)
    if (!child->sbtCursorsCanClose(aRequestClose)) return false;
  return true;
}

// ---- special fields ----

void TnxServerBaseTable::sbtInitLSNFields(TnxLSN aNextLSN, uint8_t* aRecord) {
  if (IsCache() || !sbtFieldsDescriptor) return;
  const int64_t lsn = aNextLSN != 0 ? static_cast<int64_t>(aNextLSN) : 1;
  int32_t field = -1;
  if (sbtFieldsDescriptor->HasModifyLSNField(field)) sbtFieldsDescriptor->SetRecordField(field, aRecord, &lsn);
  if (sbtFieldsDescriptor->HasInsertLSNField(field)) sbtFieldsDescriptor->SetRecordField(field, aRecord, &lsn);
}

uint32_t TnxServerBaseTable::sbtCheckLSNFields(TnxLSN aNextLSN, const uint8_t* aStored, bool aSkipCompare,
                                               uint8_t* aNew) {
  if (IsCache() || !sbtFieldsDescriptor) return 0;
  int32_t field = -1;
  if (sbtFieldsDescriptor->HasModifyLSNField(field)) {
    const int64_t stored = FieldInt64(*sbtFieldsDescriptor, field, aStored);
    if (!aSkipCompare && FieldInt64(*sbtFieldsDescriptor, field, aNew) != stored) return RecordChanged();
    const int64_t next = aNextLSN != 0 ? static_cast<int64_t>(aNextLSN) : stored + 1;
    sbtFieldsDescriptor->SetRecordField(field, aNew, &next);
  }
  if (sbtFieldsDescriptor->HasInsertLSNField(field)) {
    const int64_t stored = FieldInt64(*sbtFieldsDescriptor, field, aStored);
    if (!aSkipCompare && FieldInt64(*sbtFieldsDescriptor, field, aNew) != stored) return RecordChanged();
  }
  return 0;
}

void TnxServerBaseTable::sbtInitRecRev(uint8_t* aRecord) {
  if (IsCache() || !sbtFieldsDescriptor) return;
  int32_t field = -1;
  if (!sbtFieldsDescriptor->HasRecRevField(field) || !sbtFieldsDescriptor->IsRecordFieldNull(field, aRecord)) return;
  const uint32_t zero = 0;
  sbtFieldsDescriptor->SetRecordField(field, aRecord, &zero);
}

uint32_t TnxServerBaseTable::sbtCheckRecRev(const uint8_t* aStored, uint8_t* aNew, bool aSkipCompare) {
  if (IsCache() || !sbtFieldsDescriptor) return 0;
  int32_t field = -1;
  if (!sbtFieldsDescriptor->HasRecRevField(field)) return 0;
  const uint32_t stored = FieldWord32(*sbtFieldsDescriptor, field, aStored);
  if (!aSkipCompare && FieldWord32(*sbtFieldsDescriptor, field, aNew) != stored) return RecordChanged();
  const uint32_t next = stored + 1;
  sbtFieldsDescriptor->SetRecordField(field, aNew, &next);
  return 0;
}

void TnxServerBaseTable::sbtClearRefNr(uint8_t* aRecord) {
  if (IsCache() || !sbtFieldsDescriptor) return;
  int32_t field = -1;
  if (sbtFieldsDescriptor->HasRefNrField(field)) sbtFieldsDescriptor->SetRecordFieldNull(field, aRecord, true);
}

uint32_t TnxServerBaseTable::sbtCheckRefNr(const uint8_t* aStored, uint8_t* aNew, bool aForce, TnxRefNr aRefNr) {
  if (IsCache() || !sbtFieldsDescriptor) return 0;
  int32_t field = -1;
  if (!sbtFieldsDescriptor->HasRefNrField(field)) return 0;
  const int64_t given = static_cast<int64_t>(aRefNr);
  const int64_t stored =
      sbtFieldsDescriptor->IsRecordFieldNull(field, aStored) ? given : FieldInt64(*sbtFieldsDescriptor, field, aStored);
  const bool takeGiven = aForce || sbtFieldsDescriptor->IsRecordFieldNull(field, aNew);
  const int64_t newValue = takeGiven ? given : FieldInt64(*sbtFieldsDescriptor, field, aNew);
  if (!aForce && stored != newValue)
    return EnxBaseException::nxSetMessage(nxeInvalidModifyRequest,
                                          u"Invalid modify request. RefNr has changed.\r\nExpected: [%d]\r\nFound: [%d]",
                                          {stored, newValue});
  if (takeGiven) sbtFieldsDescriptor->SetRecordField(field, aNew, &newValue);
  return 0;
}

// ---- engines, block accesses, children ----

void TnxServerBaseTable::sbtSetDescriptor(TnxBaseTableDescriptor* aDescriptor) {
  sbtTableDescriptor = aDescriptor;
  sbtFieldsDescriptor = &aDescriptor->FieldsDescriptor();
  sbtRecordAllocator = sbtFieldsDescriptor->RecordAllocator();
  sbtFieldsDescriptor->GetSpecialFieldsInfo(sbtSFI);
}

void TnxServerBaseTable::sbtCreateBlockAccess() {
  const int32_t id =
      dynamic_cast<TnxDataDictionary*>(sbtTableDescriptor) ? 0 : (sbtTableDescriptor ? sbtTableDescriptor->ID() : 0);
  const std::u16string name = FullName();
  const bool isRoot = sbtRoot == this;
  for (int32_t i = static_cast<int32_t>(sbtBlockAccess.size()); i < sbtRoot->FileCount(); ++i) {
    TnxBlockAccess* main = isRoot ? nullptr : sbtRoot->sbtBlockAccess.at(static_cast<size_t>(i)).get();
    sbtBlockAccess.push_back(std::make_unique<TnxBlockAccess>(*sbtRoot->File(i), main, name, id));
    sbtBlockAccessList.push_back(sbtBlockAccess.back().get());
  }
}

void TnxServerBaseTable::sbtCreateEngines(TnxBaseTransaction* aTrans) {
  TnxBaseTableDescriptor& descriptor = *sbtTableDescriptor;
  sbtBlobEngine = TnxBaseBlobEngine::CreateEngine(descriptor, sbtBlockAccessList, aTrans);
  sbtRecordEngine = TnxBaseRecordEngine::CreateEngine(descriptor, sbtBlockAccessList, aTrans);
  sbtAutoIncEngine = TnxBaseAutoIncEngine::CreateEngine(descriptor, sbtBlockAccessList, aTrans);
  if (nxRecoverOpening()) return;
  sbtIndicesEngine = TnxBaseIndicesEngine::CreateEngine(descriptor.IndicesDescriptor(), sbtBlockAccessList,
                                                        sbtRecordEngine.get(), aTrans, false);
  sbtInternalIndicesEngine = TnxBaseIndicesEngine::CreateEngine(
      descriptor.InternalIndicesDescriptor(), sbtBlockAccessList,
      nullptr, aTrans, false);
  sbtFulltextEngine = TnxBaseFulltextTableEngine::CreateFor(descriptor, sbtBlockAccessList, sbtIndicesEngine.get(),
                                                            aTrans);
}

void TnxServerBaseTable::sbtCreateChildren(TnxBaseTransaction* aTrans) {
  TnxTablesDescriptor& tables = sbtTableDescriptor->TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i) {
    TnxNestedTableDescriptor* descriptor = tables.TableDescriptor(i);
    const std::u16string scopeName = descriptor->Name();
    auto child = nxCreateServerObject<TnxServerBaseTable>(this, scopeName,
                                                          static_cast<TnxBaseTableDescriptor*>(descriptor));
    TnxServerBaseTable* raw = child.get();
    sbtChildren.push_back(std::move(child));
    sbtChildNames.emplace(NameKey(scopeName), raw);
    raw->sbtSetDescriptor(static_cast<TnxBaseTableDescriptor*>(descriptor));
    raw->sbtCreateBlockAccess();
    raw->sbtCreateEngines(aTrans);
    raw->sbtCreateChildren(aTrans);
  }
}

void TnxServerBaseTable::sbtFreeChildren() noexcept {
  sbtChildNames.clear();
  while (!sbtChildren.empty()) {
    TnxServerObjectPtr<TnxServerBaseTable> child = std::move(sbtChildren.back());
    sbtChildren.pop_back();
    child->sbtFreeChildren();
    child->sbtFreeEngines();
    child->sbtFreeBlockAccess();
  }
}

void TnxServerBaseTable::sbtFreeEngines() noexcept {
  // The fulltext engines use the indices and files below.
  sbtFulltextEngine.reset();
  sbtBlobEngine.reset();
  sbtRecordEngine.reset();
  sbtAutoIncEngine.reset();
  sbtInternalIndicesEngine.reset();
  sbtIndicesEngine.reset();
  if (sbtSFI) nxReleaseSpecialFieldsInfo(sbtSFI);
}

void TnxServerBaseTable::sbtFreeBlockAccess() noexcept {
  sbtBlockAccessList.clear();
  sbtBlockAccess.clear();
}

// ---- root table ----

TnxServerRootTable::TnxServerRootTable(TnxServerFolder& aFolder, std::u16string_view aName, TnxOpenMode aOpenMode,
                                       TnxShareMode aShareMode, TnxTableScope aTableScope)
    : TnxServerBaseTable(&aFolder, aName, nullptr),
      srtFolder(aFolder),
      srtTableScope(aTableScope),
      srtName(aName),
      srtOpenMode(aOpenMode),
      srtShareMode(aShareMode),
      srtDictionary(std::make_unique<TnxServerDataDict>()) {
  sbtRoot = this;
  sbtTableDescriptor = srtDictionary.get();
  sbtFieldsDescriptor = &srtDictionary->FieldsDescriptor();
}

void TnxServerRootTable::AfterConstruction() {
  TnxServerBaseTable::AfterConstruction();
  srtRegister();
}

TnxServerRootTable::~TnxServerRootTable() {
  srtUnregister();
  srtRemoveFromInactiveTables();
  srtCloseFiles();
}

TnxServerEngine& TnxServerRootTable::Engine() const noexcept { return srtFolder.Engine(); }

TnxBaseServerEngine* TnxServerRootTable::OwningServerEngine() const { return &srtFolder.Engine(); }

std::u16string TnxServerRootTable::FullName() const { return sbtNameInScope; }

void TnxServerRootTable::srtRegister() {
  TnxPadlockGuard guard(srtFolder.sfTablesPadlock);
  if (srtName.empty()) {
    // The handle, not the address: it names this table only while it lives.
    srtName = platform::Format(u" UnnamedTable_%u_%d",
                               {static_cast<uint32_t>(RemoteID()), gUnnamedTableCount.fetch_add(1) + 1});
    sbtNameInScope = srtName;
  }
  auto [it, added] = srtFolder.sfTables.try_emplace(NameKey(srtName), this);
  if (!added) throw EnxServerException(nxeTableIsOpen, u"Table \"%s\" is open", {srtName});
  srtRegistered = true;
  if (srtTableScope != tsPersistent) srtFolder.sfInMemoryCount.fetch_add(1);
}

void TnxServerRootTable::srtUnregister() noexcept {
  TnxPadlockGuard guard(srtFolder.sfTablesPadlock);
  if (!srtRegistered) return;
  srtRegistered = false;
  const auto it = srtFolder.sfTables.find(NameKey(srtName));
  if (it != srtFolder.sfTables.end() && it->second == this) srtFolder.sfTables.erase(it);
  if (srtTableScope != tsPersistent) srtFolder.sfInMemoryCount.fetch_sub(1);
}

std::u16string TnxServerRootTable::ExtractPassword() const {
  if (!srtMainFile || !srtMainFile->fiEncryptionEngine) return {};
  return srtMainFile->fiEncryptionEngine->ExtractPassword();
}

std::u16string TnxServerRootTable::srtFilePath(std::u16string_view aExtension) const {
  return nxCombinePath(srtFolder.Path(), nxAddExtension(srtName, aExtension));
}

void TnxServerRootTable::srtSetupFile(TnxBaseFile& aFile, uint8_t aAttributes) const {
  aFile.fiAttributes = aAttributes;
  aFile.fiForServer = srtForServer;
}

void TnxServerRootTable::srtCreateFile(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords,
                                       int32_t aIndex) {
  TnxFilesDescriptor& files = srtDictionary->FilesDescriptor();
  TnxFileDescriptor& descriptor = *files.FileDescriptor(aIndex);
  std::unique_ptr<TnxBaseFile>& slot = srtFiles[static_cast<size_t>(aIndex)];
  if (aIndex > 0) {
    slot = TnxBaseFile::Alloc(true, srtFilePath(descriptor.Extension()), Engine().BufferManager());
    slot->fiAttributes = srtMainFile->fiAttributes;
    slot->fiForServer = srtMainFile->fiForServer;
    slot->fiEncryptionEngineName = srtMainFile->fiEncryptionEngineName;
    slot->fiStreamEngineName = srtMainFile->fiStreamEngineName;
    slot->fiMaxID = srtMainFile->fiMaxID;
  }
  TnxBaseFile& file = *slot;
  file.fiInitialSize = static_cast<int32_t>(descriptor.InitialSize());
  file.fiGrowSize = static_cast<int32_t>(descriptor.GrowSize());
  try {
    file.OpenFile(srtOpenMode, srtShareMode, true, true);
    if (file.fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;
    file.fiBlockSize = descriptor.BlockSize();
    file.fiZirezVersion = srtDictionary->Version() >= 5 ? 47005 : 30000;
    if (const uint32_t result = file.AddHeader(aTrans, aPasswords, srtDictionary->HeaderSignature()))
      nxCheckError(result);
  } catch (...) {
    // The caller's rollback frees the blocks; only the file goes here.
    if (aIndex > 0) {
      if (file.FileIsOpen()) file.CloseFile();
    }
    throw;
  }
}

uint32_t TnxServerRootTable::srtCreateTable(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords,
                                            std::u16string_view aTableName, uint8_t aAttributes,
                                            const TnxDataDictionary& aDictionary, bool aForServer) {
  if (const uint32_t result = srtCloseFiles()) return result;
  // A nested level of its own, so that a failure takes back every block of
  // the new files before they are closed; the caller's rollback would
  // otherwise reach blocks of files already gone.
  aTrans.StartNested(true);
  try {
    srtForServer = aForServer;
    TnxServerDataDict& dict = *srtDictionary;
    dict.ForceOffReadOnly();
    dict.Assign(&aDictionary);
    if (!aPasswords.empty() && dict.EncryptionEngine().empty())
      for (std::u16string_view name : kPasswordEngines)
        if (TnxBaseEncryptionEngine::HasEngine(name, aForServer)) {
          dict.SetEncryptionEngine(name);
          break;
        }
    dict.CheckValid(true);
    dict.IncID();
    dict.FieldsDescriptor().SetOriginalFieldCount(dict.FieldsDescriptor().FieldCount());

    srtFiles.resize(static_cast<size_t>(dict.FilesDescriptor().FileCount()));
    srtFiles[0] = TnxBaseFile::Alloc(true, srtFilePath(Engine().TableExtension()), Engine().BufferManager());
    srtMainFile = srtFiles[0].get();
    srtSetupFile(*srtMainFile, aAttributes);
    srtMainFile->fiEncryptionEngineName = dict.EncryptionEngine();
    if (TnxBaseStreamDescriptor* streams = dict.StreamDescriptor())
      srtMainFile->fiStreamEngineName = streams->StreamEngine();
    srtMainFile->fiMaxID = dict.CurrentID();
    for (int32_t i = 0; i < FileCount(); ++i) srtCreateFile(aTrans, aPasswords, i);
    for (int32_t i = 0; i < FileCount(); ++i)
      dict.FilesDescriptor().FileDescriptor(i)->SetFileID(srtFiles[static_cast<size_t>(i)]->GetFileID());

    sbtCreateBlockAccess();
    srtStreamEngine = TnxBaseStreamEngine::CreateEngine(dict, *sbtBlockAccess.front(), &aTrans);
    dict.WriteToFile(*srtStreamEngine, aTrans);
    sbtSetDescriptor(&dict);
    sbtCreateEngines(&aTrans);
    sbtCreateChildren(&aTrans);
    if (!aTableName.empty()) {
      TnxBytesStream stream;
      {
        TnxWriter writer(stream);
        writer.WriteString(aTableName);
        writer.FlushBuffer();
      }
      stream.SetPosition(0);
      if (const uint32_t result = srtStreamEngine->WriteNamedStream(aTrans, kTableNameStream, stream))
        nxCheckError(result);
    }
    nxsrCommit(*Engine().BufferManager(), aTrans);
    aTrans.EndLevel();
    return 0;
  } catch (const std::exception& e) {
    const uint32_t result = asoConvertException(e);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    try {
      nxsrRollback(*Engine().BufferManager(), aTrans);
      aTrans.EndLevel();
    } catch (...) {
      aTrans.MarkCorrupted();
    }
    srtCloseFiles();
    if (srtTableScope == tsPersistent) srtDeleteFiles();
    // The clean-up may have reported on its own.
    EnxBaseException::SetLastConvertedException(result, code == result ? message : std::u16string());
    return result;
  }
}

void TnxServerRootTable::srtTakeFileNameCase() {
  std::u16string fileName;
  if (srtFolder.FindMainFile(srtName, fileName) != 0) return;
  const std::u16string onDisk = BaseNameOf(fileName);
  if (onDisk == srtName || !platform::AsciiSameText(onDisk, srtName)) return;
  TnxPadlockGuard guard(srtFolder.sfTablesPadlock);
  srtUnregister();
  if (platform::AsciiSameText(sbtNameInScope, onDisk)) sbtNameInScope = onDisk;
  srtName = onDisk;
  srtRegister();
}

uint32_t TnxServerRootTable::srtOpenTable(TnxBaseTransaction* aTrans, const std::vector<std::u16string>& aPasswords,
                                          bool aForServer, uint8_t aAttributes, bool& aReadOnly) {
  aReadOnly = false;
  srtFileIsLink = false;
  if (const uint32_t result = srtCloseFiles()) return result;
  srtForServer = aForServer;
  try {
    TnxBufferManager& bufMgr = *Engine().BufferManager();
    const auto openMain = [&] {
      srtFiles.resize(1);
      srtFiles[0] = TnxBaseFile::Alloc(true, srtFilePath(Engine().TableExtension()), &bufMgr);
      srtMainFile = srtFiles[0].get();
      srtSetupFile(*srtMainFile, aAttributes);
      srtMainFile->fiLogTable = srtName;
      srtMainFile->OpenFile(srtOpenMode, srtShareMode, aForServer, false);
    };
    if (srtTableScope != tsPersistent || srtFolder.InMemOnly()) {
      openMain();
    } else {
      // The name as given is the usual case; the folder is searched for
      // another spelling only when no file has it.
      try {
        openMain();
      } catch (const EnxLinuxFileException&) {
        if (srtMainFile->OpenError() != ENOENT) throw;
        srtTakeFileNameCase();
        openMain();
      }
    }
    if (srtMainFile->fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;
    if (srtMainFile->fiIsLink) srtFileIsLink = true;
    {
      const TnxEngineArg args[] = {TnxEngineArg(static_cast<void*>(srtMainFile))};
      if (const uint32_t veto = NotifyExtenders(eaOpenFile, true, args))
        nxCheckError(veto);
    }
    nxCheckError(nxsrAttachFile(bufMgr, *srtMainFile, aPasswords, aReadOnly));
    if (srtMainFile->fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;

    sbtCreateBlockAccess();
    srtStreamEngine = TnxBaseStreamEngine::CreateEngine(nullptr, *sbtBlockAccess.front(), nullptr);
    srtDictionary->ReadFromFile(*srtStreamEngine, nullptr);
    srtStreamEngine->Initialize(*srtDictionary);

    TnxServerDataDict& dict = *srtDictionary;
    TnxFilesDescriptor& files = dict.FilesDescriptor();
    srtFiles.resize(static_cast<size_t>(files.FileCount()));
    srtMainFile->fiInitialSize = static_cast<int32_t>(files.FileDescriptor(0)->InitialSize());
    srtMainFile->fiGrowSize = static_cast<int32_t>(files.FileDescriptor(0)->GrowSize());
    srtMainFile->fiMaxID = dict.CurrentID();
    // File IDs the files carry now, taken over once the files are all open.
    std::vector<std::pair<int32_t, std::u16string>> reconciled;
    if (files.FileDescriptor(0)->FileID() != srtMainFile->GetFileID())
      reconciled.emplace_back(0, srtMainFile->GetFileID());
    for (int32_t i = 1; i < files.FileCount(); ++i) {
      TnxFileDescriptor& descriptor = *files.FileDescriptor(i);
      std::unique_ptr<TnxBaseFile>& slot = srtFiles[static_cast<size_t>(i)];
      slot = TnxBaseFile::Alloc(true, srtFilePath(descriptor.Extension()), &bufMgr, srtMainFile);
      slot->fiAttributes = srtMainFile->fiAttributes;
      slot->fiForServer = srtMainFile->fiForServer;
      slot->fiLogTable = srtName;
      slot->fiLogFile = descriptor.Extension();
      slot->fiInitialSize = static_cast<int32_t>(descriptor.InitialSize());
      slot->fiGrowSize = static_cast<int32_t>(descriptor.GrowSize());
      slot->fiMaxID = dict.CurrentID();
      slot->OpenFile(srtOpenMode, srtShareMode, srtMainFile->fiWriteThru, false);
      if (slot->fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;
      const TnxEngineArg args[] = {TnxEngineArg(static_cast<void*>(slot.get()))};
      if (const uint32_t veto = NotifyExtenders(eaOpenFile, true, args))
        nxCheckError(veto);
      bool readOnly = false;
      nxCheckError(nxsrAttachFile(bufMgr, *slot, aPasswords, readOnly));
      if (readOnly) aReadOnly = true;
      if (descriptor.FileID() != slot->GetFileID()) reconciled.emplace_back(i, slot->GetFileID());
    }

    if (srtOpenMode == omReadOnly) aReadOnly = true;
    sbtCreateBlockAccess();
    sbtSetDescriptor(&dict);
    sbtCreateEngines(nullptr);
    sbtCreateChildren(nullptr);
    if (!reconciled.empty()) {
      dict.ForceOffReadOnly();
      for (const auto& [index, id] : reconciled) files.FileDescriptor(index)->SetFileID(id);
      dict.RecreateGuid();
      dict.ForceOnReadOnly();
      if (!aReadOnly) {
        nxCheckError(srtWriteDictionary(aTrans));
      }
    }
    const TnxEngineArg args[] = {TnxEngineArg(static_cast<TnxAbstractServerObject*>(this))};
    NotifyExtenders(eaOpenFiles, false, args);
    return 0;
  } catch (const std::exception& e) {
    uint32_t result = asoConvertException(e);
    if (result == nxeCannotAccessFile)
      result = EnxBaseException::nxSetMessage(
          nxeTableDoesNotExist, nxOriginalMessageTag() + u" Error opening files for root table \"%s\"", {FullName()});
    srtCloseFiles();
    return result;
  }
}

uint32_t TnxServerRootTable::srtWriteDictionary(TnxBaseTransaction* aTrans) {
  TnxServerDataDict& dict = *srtDictionary;
  if (aTrans) {
    dict.ForceOffReadOnly();
    dict.WriteToFile(*srtStreamEngine, *aTrans);
    return 0;
  }
  // Without the caller's transaction: one of our own, committed here.
  TnxBufferManager& bufMgr = *Engine().BufferManager();
  TnxBaseTransaction trans(bufMgr, nullptr, false, false);
  try {
    dict.ForceOffReadOnly();
    dict.WriteToFile(*srtStreamEngine, trans);
    nxsrCommit(bufMgr, trans);
  } catch (...) {
    dict.ForceOnReadOnly();
    nxsrRollback(bufMgr, trans);
    throw;
  }
  return 0;
}

uint32_t TnxServerRootTable::srtCloseFiles() {
  try {
    srtStreamEngine.reset();
    sbtFreeChildren();
    sbtFreeEngines();
    sbtFreeBlockAccess();
    TnxBufferManager* bufMgr = Engine().BufferManager();
    for (size_t i = srtFiles.size(); i-- > 0;) {
      std::unique_ptr<TnxBaseFile>& file = srtFiles[i];
      if (!file) continue;
      try {
        if (bufMgr) nxsrDetachFile(*bufMgr, *file, true);
        if (file->FileIsOpen()) file->CloseFile();
      } catch (const std::exception& e) {
        asoConvertException(e);
      }
      file.reset();
    }
    srtFiles.clear();
    srtMainFile = nullptr;
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

void TnxServerRootTable::srtDeleteFiles() {
  TnxFilesDescriptor& files = srtDictionary->FilesDescriptor();
  for (int32_t i = 0; i < files.FileCount(); ++i) {
    const std::u16string extension = i == 0 ? Engine().TableExtension() : files.FileDescriptor(i)->Extension();
    try {
      DeleteFileChecked(srtFilePath(extension));
    } catch (const std::exception&) {
      // A file that cannot go stays; the create has failed already.
    }
  }
}

void TnxServerBaseTable::sbtRollbackEngines(TnxBaseTransaction& aTrans) {
  if (sbtBlobEngine) sbtBlobEngine->Rollback(aTrans);
  if (sbtRecordEngine) sbtRecordEngine->Rollback(aTrans);
  if (sbtFulltextEngine) sbtFulltextEngine->Rollback(aTrans);
  for (auto& child : sbtChildren) child->sbtRollbackEngines(aTrans);
}

void TnxServerBaseTable::sbtEndTransaction(TnxBaseTransaction* aTrans) {
  sbtLocks->EndTransaction(aTrans);
  for (auto& child : sbtChildren) child->sbtEndTransaction(aTrans);
}

// ---- table transaction links ----

bool TnxServerRootTable::srtHasTransLinks() const noexcept {
  return srtTransLinksPendingUpgrade || srtTransLinksPendingHead || srtTransLinksGrantedHead ||
         srtTransLinksSnapshotGrantedHead;
}

int32_t TnxServerRootTable::srtCheckTransLink(TnxServerTransactionLevelTableLink& aLink) {
  if (aLink.ttlReason) aLink.ttlReason->Clear();
  TnxServerTransactionLevelTableLink* granted = srtTransLinksGrantedHead;
  if (!granted) return 0;
  if (!aLink.ttlExclusive) {
    if (!granted->ttlExclusive) return 0;
    srtFillTransLockReason(aLink, granted);
    return 1;
  }
  TnxServerTransactionLevelTableLink* from = aLink.ttlConvertFrom;
  if (granted == from && !granted->ttlTableNext) return 0;
  TnxAbstractSession* own = aLink.Transaction().Session();
  if (!own) return 1;
  TnxServerTransactionLevelTableLink* last = nullptr;
  for (TnxServerTransactionLevelTableLink* other = granted; other; other = other->ttlTableNext) {
    if (other == from) continue;
    if (other->Transaction().Session() == own) {
      srtFillTransLockReason(aLink, other);
      return 2;
    }
    last = other;
  }
  srtFillTransLockReason(aLink, last);
  return 1;
}

void TnxServerRootTable::srtGrantTransLink(TnxServerTransactionLevelTableLink& aLink) {
  aLink.ttlRemoveFromTable();
  aLink.ttlReason = nullptr;
  aLink.ttlState = ttlsGranted;
  if (aLink.ttlConvertFrom)
    aLink.ttlCompleteUpgrade();
  else
    aLink.ttlAddToTable();
  aLink.ttlSignal();
}

void TnxServerRootTable::srtFailTransLink(TnxServerTransactionLevelTableLink& aLink) {
  aLink.ttlRemoveFromTable();
  aLink.ttlState = ttlsFailed;
  aLink.ttlSignal();
}

void TnxServerRootTable::srtProcessPendingTransLinks() {
  if (TnxServerTransactionLevelTableLink* upgrade = srtTransLinksPendingUpgrade) {
    switch (srtCheckTransLink(*upgrade)) {
      case 0:
        srtGrantTransLink(*upgrade);
        break;
      case 2:
        srtFailTransLink(*upgrade);
        break;
      default:
        return;
    }
  }
  while (TnxServerTransactionLevelTableLink* head = srtTransLinksPendingHead) {
    const int32_t decision = srtCheckTransLink(*head);
    if (decision == 1) return;
    if (decision == 0)
      srtGrantTransLink(*head);
    else
      srtFailTransLink(*head);
  }
}

void TnxServerRootTable::srtFillTransLockReason(TnxServerTransactionLevelTableLink& aLink,
                                                TnxServerTransactionLevelTableLink* aConflict) {
  TnxLockFailureReason* reason = aLink.ttlReason;
  if (!reason) return;
  aLink.ttlReason = nullptr;
  reason->Clear();
  auto kind = [](bool aExclusive) { return aExclusive ? u"exclusive" : u"shared"; };
  const char16_t* marker = aLink.ttlConvertFrom ? u" upgrade " : u" ";
  const std::u16string name = FullName();
  bool multiple = false;
  std::u16string line;
  if (aConflict) {
    TnxServerTransactionLevelTableLink* from = aLink.ttlConvertFrom;
    multiple = (aConflict->ttlTablePrev && aConflict->ttlTablePrev != from) ||
               (aConflict->ttlTableNext && aConflict->ttlTableNext != from);
    line = platform::Format(std::u16string(u"The requested %s transaction lock%sfor table \"%s\" could not be "
                                           u"granted due to ") +
                                (multiple ? u"multiple conflicting %s locks." : u"a conflicting %s transaction lock."),
                            {kind(aLink.ttlExclusive), marker, name, kind(aConflict->ttlExclusive)});
    line += nxMessageTag(u"LockError.Type", u"transaction");
    line += nxMessageTag(u"LockError.RequestExclusive", aLink.ttlExclusive ? u"1" : u"0");
    line += nxMessageTag(u"LockError.ConflictExclusive", aConflict->ttlExclusive ? u"1" : u"0");
    line += nxMessageTag(u"LockError.ConflictMultiple", multiple ? u"1" : u"0");
  } else {
    line = platform::Format(u"The requested %s transaction lock%sfor table \"%s\" could not be granted.",
                            {kind(aLink.ttlExclusive), marker, name});
    line += nxMessageTag(u"LockError.Type", u"transaction");
    line += nxMessageTag(u"LockError.RequestExclusive", aLink.ttlExclusive ? u"1" : u"0");
  }
  reason->Add(std::move(line));
  reason->Add(u"");
  TnxAbstractSession* session = aConflict ? aConflict->Transaction().Session() : nullptr;
  if (!session) {
    reason->Add(u"The conflict occurred with an unknown session." + nxMessageTag(u"LockError.UnknownSession", u"1"));
  } else if (session == aLink.Transaction().Session()) {
    reason->Add(nxMessageTag(u"LockError.SameSession", u"1"));
    reason->SameSession = true;
  } else {
    reason->Add(multiple ? u"One of the conflicting Sessions is:" : u"The conflict occurred with the following session:");
    session->GetUserInfo(*reason);
  }
}

void TnxServerRootTable::srtCommitBegin() {
  srtCommitPadlock.Lock();
  try {
    srtContentPortal.BeginWrite();
  } catch (...) {
    srtCommitPadlock.Unlock();
    throw;
  }
}

void TnxServerRootTable::srtCommitEnd(TnxBaseTransaction& aTrans) {
  try {
    sbtEndTransaction(&aTrans);
  } catch (...) {
    srtContentPortal.EndWrite();
    throw;
  }
  srtContentPortal.EndWrite();
}

void TnxServerRootTable::srtCommitUnlock() { srtCommitPadlock.Unlock(); }

bool TnxServerRootTable::srtCanClose(bool aAnyScope, bool aRequestClose, int32_t aExpected) {
  const int32_t guard = sbtLockIsInactive.load();
  {
    TnxPadlockGuard links(srtTransLinksPadlock);
    if (srtTransLinksPendingUpgrade || srtTransLinksPendingHead || srtTransLinksGrantedHead ||
        srtTransLinksSnapshotGrantedHead)
      return false;
  }
  if (srtSnapshotBlockCount.load() > 0 || guard != aExpected) return false;
  if (!aAnyScope && srtTableScope != tsPersistent && srtTableScope != tsTempUnnamed) return false;
  // The cursors are asked first: asked to close, they may all go.
  if (!sbtCursorsCanClose(aRequestClose) || srtCursorCount.load() != 0) return false;
  if (!srtCommitPadlock.TryLock()) return false;
  srtCommitPadlock.Unlock();
  return true;
}

void TnxServerRootTable::srtCursorAdded() {
  if (srtCursorCount.fetch_add(1) == 0) srtRemoveFromInactiveTables();
}

void TnxServerRootTable::srtCursorRemoved() {
  if (srtCursorCount.fetch_sub(1) == 1 && srtTableScope == tsPersistent) srtAddToInactiveTables();
}

void TnxServerRootTable::srtAddToInactiveTables() { Engine().InactiveTableAdd(this); }

void TnxServerRootTable::srtRemoveFromInactiveTables() { Engine().InactiveTableRemove(this); }

uint32_t TnxServerRootTable::srtChangePassword(TnxBaseTransaction& aTrans, std::u16string_view aNewPassword) {
  try {
    for (TnxBlockAccess* access : sbtBlockAccessList) access->ChangePassword(aTrans, aNewPassword);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerRootTable::srtAuthenticatePasswords(const std::vector<std::u16string>& aPasswords) {
  if (!srtMainFile || !srtMainFile->fiEncryptionEngine) return 0;
  return srtMainFile->fiEncryptionEngine->AuthenticatePassword(aPasswords);
}

void TnxServerRootTable::srtUpdateFilesMaxID() {
  for (auto& file : srtFiles)
    if (file) file->fiMaxID = srtDictionary->CurrentID();
}

platform::HRESULT TnxServerRootTable::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                        platform::IInterface* aOuter,
                                                        const platform::TGUID& aInterfaceID, void** aInterface) {
  const auto [head, rest] = SplitInstanceName(aName);
  if (platform::AsciiSameText(head, u"<Folder>"))
    return srtFolder.CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxServerBaseTable::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxServerRootTable::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxServerBaseTable::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Folder", static_cast<TnxObject*>(&srtFolder), false);
  aContainer.AddBoolean(u"ForServer", srtForServer);
  aContainer.AddString(u"TableScope", std::u16string(kScopeNames[srtTableScope]));
  aContainer.AddString(u"OpenMode", std::u16string(kOpenModeNames[srtOpenMode]));
  aContainer.AddString(u"ShareMode", std::u16string(kShareModeNames[srtShareMode]));
}

}  // namespace revurov
