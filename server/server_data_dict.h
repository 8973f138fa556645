// TnxServerDataDict: the dictionary of an open table as the server keeps
// it, stored in the table's main file as the named stream "DICT".
//
// Contract:
// - Read-only except between ForceOffReadOnly and the next WriteToFile or
//   ForceOnReadOnly: a change attempted meanwhile raises 15500.
// - CheckValid adds to the dictionary's own checks that the header format
//   of HeaderSignature is registered and that every sub-engine the tree
//   names is registered.
// - ReadFromFile raises 9992 "The data dictionary is missing (<file>)"
//   when the main file holds no "DICT"; a stream that is there but damaged
//   raises what its reader raises.
// - A server dictionary and a plain one count as the same class.
#pragma once

#include <cstdint>
#include <string>

#include "dictionary/data_dictionary.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxBaseStreamEngine;
class TnxBaseTransaction;

REVUROV_EXCEPTION_CLASS(EnxServerDataDictException, EnxServerException);

// The client version the server writes its dictionaries for.
inline constexpr uint32_t nxServerDictVersion = 47501;

class TnxServerDataDict : public TnxDataDictionary {
  REVUROV_REGISTERABLE_RECORD(TnxServerDataDict, TnxDataDictionary, TnxTableDescriptorClass, nullptr)

  TnxServerDataDict() = default;

  bool IsCompatibleWith(const TnxDictionaryItem* aItem) const override;
  void CheckValid(bool aForBuild) override;
  uint32_t UsableBlockSize(TnxBlockSize aBlockSize) override;

  void IncID() { NextID(); }
  void RestoreID(int32_t aOldID) noexcept { ddSetCurrentID(aOldID); }
  void RecreateGuid();
  void ForceOffReadOnly();
  void ForceOnReadOnly() { MakeReadOnly(); }
  // A table renamed in memory only keeps its dictionary's name in step.
  void SetBaseName(std::u16string_view aName) { ddSetBaseName(aName); }

  void ReadFromFile(TnxBaseStreamEngine& aStreamEngine, TnxBaseTransaction* aTrans);
  void WriteToFile(TnxBaseStreamEngine& aStreamEngine, TnxBaseTransaction& aTrans,
                   uint32_t aVersion = nxServerDictVersion);
};

}  // namespace revurov
