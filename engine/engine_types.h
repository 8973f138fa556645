// Types shared by every engine object: wire identities, the action
// vocabulary extenders hear and the arguments that travel with an action.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string_view>

namespace revurov {

class TnxAbstractServerObject;

// Identities on the wire: handles of the engine's handle table, never
// addresses (0 names nothing).
using TnxBaseID = uint32_t;
using TnxSessionID = uint32_t;

// The object's version when none is known (no object, no session).
inline constexpr int32_t nxDefaultClientVersion = 47501;

enum TnxEngineAction : uint8_t {
  eaCreate, eaDestroy, eaChildCreate, eaChildDestroy,
  eaAliasAdd, eaAliasDelete, eaAliasModify, eaAliasGetList, eaAliasGetPath,
  eaCloseInactiveFolders, eaCloseInactiveTables, eaBuildPasswords, eaGetRegisteredClassList,
  eaTransactionStart, eaTransactionCommit, eaTransactionRollback,
  eaTableBuild, eaTablePack, eaTableBackup, eaTableRebuildIndex, eaTableRestructure,
  eaTableAddField, eaTableAddIndex, eaTableDropIndex, eaTableRename, eaTableRecover,
  eaTableVerifyChecksum, eaTableDelete, eaTableEmpty, eaTableExists, eaTableGetDictionary,
  eaTableGetList, eaGetChangedTables, eaOpenFile, eaOpenFiles,
  eaRecordGet, eaRecordInsert, eaRecordModify, eaRecordDelete, eaRecordFulltextUpdate,
  eaStatementPrepare, eaStatementExec, eaStatementSetParams, eaStatementGetParams,
};

// A set of actions in 48 bits (bit n = action n), stored as 6 bytes.
// Actions beyond the 48 bits belong to no set.
class TnxEngineActions {
public:
  static constexpr uint64_t kMask = (uint64_t(1) << 48) - 1;

  constexpr TnxEngineActions() noexcept = default;
  constexpr explicit TnxEngineActions(uint64_t aBits) noexcept : eaBits(aBits & kMask) {}
  constexpr TnxEngineActions(std::initializer_list<TnxEngineAction> aActions) noexcept {
    for (TnxEngineAction a : aActions) Include(a);
  }
  // Every action but eaRecordFulltextUpdate: FF FF FF FF 7F 0F.
  static constexpr TnxEngineActions DefaultForExtender() noexcept {
    return TnxEngineActions(uint64_t(0x0F7FFFFFFFFF));
  }

  constexpr bool Contains(int aAction) const noexcept {
    return aAction >= 0 && aAction < 48 && (eaBits >> aAction) & 1;
  }
  constexpr void Include(int aAction) noexcept {
    if (aAction >= 0 && aAction < 48) eaBits |= uint64_t(1) << aAction;
  }
  constexpr bool Empty() const noexcept { return eaBits == 0; }
  constexpr uint64_t Bits() const noexcept { return eaBits; }
  constexpr bool operator==(const TnxEngineActions&) const noexcept = default;
  // The 6 stored bytes, least significant first.
  void ToBytes(uint8_t (&aBytes)[6]) const noexcept;
  static TnxEngineActions FromBytes(const uint8_t (&aBytes)[6]) noexcept;

private:
  uint64_t eaBits = 0;
};

// One argument of an announced action.
struct TnxEngineArg {
  enum Kind : uint8_t { Object, Integer, Boolean, String, Pointer };

  constexpr TnxEngineArg(TnxAbstractServerObject* aObject) noexcept : eaKind(Object), eaObject(aObject) {}
  constexpr TnxEngineArg(int64_t aValue) noexcept : eaKind(Integer), eaInteger(aValue) {}
  constexpr TnxEngineArg(int32_t aValue) noexcept : eaKind(Integer), eaInteger(aValue) {}
  constexpr TnxEngineArg(bool aValue) noexcept : eaKind(Boolean), eaBoolean(aValue) {}
  // The text must outlive the notification.
  constexpr TnxEngineArg(std::u16string_view aValue) noexcept : eaKind(String), eaString(aValue) {}
  // A variable of the caller that an extender may change (a list, a path);
  // the notification names its type.
  constexpr TnxEngineArg(void* aPointer) noexcept : eaKind(Pointer), eaPointer(aPointer) {}

  Kind eaKind;
  TnxAbstractServerObject* eaObject = nullptr;
  int64_t eaInteger = 0;
  bool eaBoolean = false;
  std::u16string_view eaString;
  void* eaPointer = nullptr;
};

using TnxEngineArgs = std::span<const TnxEngineArg>;

// An extender's answer to an action: 0 lets it happen, anything else vetoes
// it with that code. Empty: nobody listens.
using TnxEngineNotify = std::function<uint32_t(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs)>;

}  // namespace revurov
