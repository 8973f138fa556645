#include "server/server_database.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/name_rules.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/system_info.h"
#include "platform/text.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_session.h"
#include "storage/buffer_manager.h"

namespace revurov {

namespace {

constexpr std::u16string_view kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite"};
// In the order of TnxShareMode.
constexpr std::u16string_view kShareModeNames[] = {u"smExclusive", u"smShared", u"smShareRead"};

std::u16string_view ModeName(std::span<const std::u16string_view> aNames, size_t aValue) {
  return aValue < aNames.size() ? aNames[aValue] : std::u16string_view(u"?");
}

}  // namespace

TnxServerDatabase::TnxServerDatabase(TnxServerSession* aSession, TnxAbstractTransContext* aTransContext,
                                     std::u16string_view aAlias, TnxServerFolder* aFolder, uint32_t aTimeout,
                                     TnxOpenMode aOpenMode, TnxShareMode aShareMode)
    : TnxSqlAbstractDatabase(aSession, aTransContext, aTimeout, aOpenMode, aShareMode),
      sdAlias(aAlias),
      sdFolder(aFolder),
      sdIsCache(aFolder->IsCache()) {
  sdLastCheckLSN = aFolder->Engine().BufferManager()->CurrentLSN();
  sdFolderStructureGeneration = aFolder->StructureGeneration();
}

TnxServerDatabase::~TnxServerDatabase() = default;

void TnxServerDatabase::AfterConstruction() {
  TnxSqlAbstractDatabase::AfterConstruction();
  // Raises when the folder's first journal check fails; the database is
  // freed then and leaves the folder again.
  sdFolder->AddDatabase(this, sdAlias);
}

void TnxServerDatabase::BeforeDestruction() {
  TnxSqlAbstractDatabase::BeforeDestruction();
  sdRemoveFromFolder();
}

void TnxServerDatabase::sdRemoveFromFolder() noexcept {
  if (!sdFolder) return;
  try {
    sdFolder->RemoveDatabase(this);
  } catch (...) {
    // Leaving a list takes only padlocks.
  }
  sdFolder = nullptr;
}

template <class F>
uint32_t TnxServerDatabase::Entry(F&& aWork) {
  try {
    return ConvertingEntry(std::forward<F>(aWork));
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

int32_t TnxServerDatabase::StructureGeneration() {
  if (sdFolder) {
    const int32_t folderGeneration = sdFolder->StructureGeneration();
    if (folderGeneration != sdFolderStructureGeneration) {
      sdFolderStructureGeneration = folderGeneration;
      ++sdStructureGeneration;
    }
  }
  return sdStructureGeneration;
}

// ---- path, alias, free space, options ----

uint32_t TnxServerDatabase::GetPath(std::u16string& aPath) {
  aPath = sdFolder ? sdFolder->Path() : std::u16string();
  return 0;
}

uint32_t TnxServerDatabase::GetAlias(std::u16string& aAlias) {
  aAlias = sdAlias;
  return 0;
}

uint32_t TnxServerDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return Entry([&]() -> uint32_t {
    uint64_t bytes = 0;
    // An in-memory folder has no directory to ask.
    const std::u16string& path = sdFolder->Path();
    if (sdFolder->InMemOnly() || !platform::GetDiskFreeSpace(platform::ToOsPath(path), bytes))
      return EnxBaseException::nxSetMessage(nxeOSError, u"The free space of \"%s\" is not known", {path});
    aFreeSpace = static_cast<int64_t>(bytes / 1024);
    return 0;
  });
}

uint32_t TnxServerDatabase::esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) {
  if (sdFolder) {
    const uint32_t result = sdFolder->OptionGetEffective(aName, aValue);
    if (result != nxeObjectNotFound) return result;
  }
  return TnxSqlAbstractDatabase::esoOptionGetParent(aName, aValue);
}

uint32_t TnxServerDatabase::esoOptionListParent(platform::TStringList& aList) {
  uint32_t result = 0;
  if (sdFolder) {
    result = sdFolder->OptionListEffective(aList);
    if (result != 0) return result;
  }
  platform::TStringList inherited;
  result = TnxSqlAbstractDatabase::esoOptionListParent(inherited);
  if (result == 0) result = esoOptionMerge(aList, inherited);
  return result;
}

platform::HRESULT TnxServerDatabase::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                       platform::IInterface* aOuter,
                                                       const platform::TGUID& aInterfaceID, void** aInterface) {
  const auto [first, rest] = nxSplitObjectPath(aName);
  if (sdFolder && platform::AsciiSameText(first, u"<Folder>"))
    return sdFolder->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxSqlAbstractDatabase::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxServerDatabase::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxSqlAbstractDatabase::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddString(u"Alias", sdAlias);
  aContainer.AddObject(u"Folder", static_cast<TnxObject*>(sdFolder), false);
  aContainer.AddString(u"OpenMode", std::u16string(ModeName(kOpenModeNames, OpenMode())));
  aContainer.AddString(u"ShareMode", std::u16string(ModeName(kShareModeNames, ShareMode())));
}

// ---- tables ----

uint32_t TnxServerDatabase::sdTableExists(std::u16string_view aTableName) {
  const size_t colon = aTableName.find(nxChildNameSeparator);
  const uint32_t result = sdFolder->sfTableExists(aTableName.substr(0, colon));
  if (result != 0 || colon == std::u16string_view::npos) return result;
  return NotSupported(u"TableExists of a child table");
}

uint32_t TnxServerDatabase::TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists,
                                        bool aAllowSystem) {
  aExists = false;
  if (aTableName.empty()) return 0;
  if (uint32_t result = nxValidateTablePath(aTableName, true, aAllowSystem)) return result;
  return Entry([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(&aExists)};
    uint32_t result = NotifyExtenders(eaTableExists, true, args);
    if (result != 0) return result;
    result = sdTableExists(aTableName);
    if (result == 0) {
      aExists = true;
    } else if (result == nxeObjectNotFound) {
      result = 0;
    }
    if (result == 0) NotifyExtenders(eaTableExists, false, args);
    return result;
  });
}

uint32_t TnxServerDatabase::sdTableGetList(platform::TStringList& aList, bool aAllowSystem) {
  aList.BeginUpdate();
  struct EndUpdate {
    platform::TStringList& List;
    ~EndUpdate() { List.EndUpdate(); }
  } bracket{aList};
  aList.Clear();
  const TnxEngineArg args[] = {static_cast<void*>(&aList)};
  uint32_t result = NotifyExtenders(eaTableGetList, true, args);
  if (result != 0) return result;
  platform::TStringList names;
  result = sdFolder->sfTableGetList(names);
  for (int i = 0; i < names.Count(); ++i)
    if (nxValidateTableName(names[i], false, aAllowSystem) == 0) aList.Add(names[i]);
  if (result == 0) NotifyExtenders(eaTableGetList, false, args);
  return result;
}

uint32_t TnxServerDatabase::TableGetList(platform::TStringList& aList) {
  const bool allowSystem = ExplicitAllowSystem();
  return Entry([&]() -> uint32_t { return sdTableGetList(aList, allowSystem); });
}

void TnxServerDatabase::sadLockTables() {
  if (sdFolder) sdFolder->LockTables();
}

void TnxServerDatabase::sadUnlockTables() {
  if (sdFolder) sdFolder->UnlockTables();
}

// ---- operations on open tables, cursors and statements ----

uint32_t TnxServerDatabase::TableBuild(bool, std::u16string_view, std::u16string_view, TnxDataDictionary*,
                                       TnxTableScope, bool) {
  return NotSupported(u"TableBuild");
}
uint32_t TnxServerDatabase::TablePack(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TablePack");
}
uint32_t TnxServerDatabase::TableBackup(std::u16string_view, std::u16string_view, TnxAbstractDatabase*,
                                        TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableBackup");
}
uint32_t TnxServerDatabase::TableRebuildIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t,
                                              TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRebuildIndex");
}
uint32_t TnxServerDatabase::TableRestructure(std::u16string_view, std::u16string_view, TnxDataDictionary*,
                                             TnxBaseTableMapperDescriptor*, bool, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRestructure");
}
uint32_t TnxServerDatabase::TableAddField(std::u16string_view, std::u16string_view, TnxFieldDescriptor*) {
  return NotSupported(u"TableAddField");
}
uint32_t TnxServerDatabase::TableAddIndex(std::u16string_view, std::u16string_view, TnxIndexDescriptor*, bool) {
  return NotSupported(u"TableAddIndex");
}
uint32_t TnxServerDatabase::TableDropIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t) {
  return NotSupported(u"TableDropIndex");
}
uint32_t TnxServerDatabase::TableRename(std::u16string_view, std::u16string_view, std::u16string_view) {
  return NotSupported(u"TableRename");
}
uint32_t TnxServerDatabase::TableRecover(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRecover");
}
uint32_t TnxServerDatabase::TableVerifyChecksum(std::u16string_view, std::u16string_view, bool, bool,
                                                TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableVerifyChecksum");
}
uint32_t TnxServerDatabase::TableDelete(std::u16string_view, std::u16string_view) {
  return NotSupported(u"TableDelete");
}
uint32_t TnxServerDatabase::TableEmpty(std::u16string_view, std::u16string_view) {
  return NotSupported(u"TableEmpty");
}
uint32_t TnxServerDatabase::TableChangePassword(std::u16string_view, std::u16string_view, std::u16string_view) {
  return NotSupported(u"TableChangePassword");
}
uint32_t TnxServerDatabase::TableGetDictionary(std::u16string_view, std::u16string_view, TnxDataDictionary*) {
  return NotSupported(u"TableGetDictionary");
}
uint32_t TnxServerDatabase::TableAutoIncGet(std::u16string_view, std::u16string_view, uint32_t& aValue) {
  aValue = 0;
  return NotSupported(u"TableAutoIncGet");
}
uint32_t TnxServerDatabase::GetChangedTables(platform::TStringList&) { return NotSupported(u"GetChangedTables"); }
uint32_t TnxServerDatabase::CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view, std::u16string_view,
                                       TnxOpenMode, TnxShareMode, uint32_t, std::u16string_view, int32_t, bool,
                                       TnxCursorOpenOptions, uint32_t, const platform::TStringList*) {
  aCursor = nullptr;
  return NotSupported(u"CursorOpen");
}
uint32_t TnxServerDatabase::StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t) {
  aStatement = nullptr;
  return NotSupported(u"StatementAlloc");
}
uint32_t TnxServerDatabase::StatementExecDirect(uint32_t, TnxStatementType, std::u16string_view, platform::TStream*,
                                                const TnxSqlParamList&, platform::TStream*,
                                                TnxAbstractCursor*& aCursor, TnxOpenMode, platform::TStream*,
                                                platform::TStream*, TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  return NotSupported(u"StatementExecDirect");
}
uint32_t TnxServerDatabase::sdTableRebuildIndex(std::u16string_view, std::u16string_view, std::u16string_view,
                                                int32_t, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRebuildIndex");
}
uint32_t TnxServerDatabase::sdTableRestructure(std::u16string_view, std::u16string_view, TnxDataDictionary*,
                                               TnxBaseTableMapperDescriptor*, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRestructure");
}
TnxSqlAbstractCursor* TnxServerDatabase::sadCreateResultSet(TnxDataDictionary*, uint32_t) {
  throw EnxBaseException(nxeCapabilityNotSupported);
}
TnxIteratorResult TnxServerDatabase::sdIterateDictionaries(const TnxDictionaryIterator&, bool, bool, void*) {
  throw EnxBaseException(nxeCapabilityNotSupported);
}

}  // namespace revurov
