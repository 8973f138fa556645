// Our side of the keyed workloads: table "T" with an Int32 key K (index
// "ByK") and a byte array Data, built in a database and opened on ByK.
#pragma once

#include <cstdint>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/abstract_database.h"
#include "server/server_table_cursor.h"

namespace revurov::bench {

// The first failing step's code; the cursor is nil then.
inline uint32_t BuildKeyedTable(TnxAbstractDatabase& aDatabase, int32_t aDataBytes, TnxOpenMode aOpenMode,
                                uint32_t aTimeout, TnxServerTableCursor*& aCursor) {
  aCursor = nullptr;
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"K", u"", nxtInt32, 0, 0, false);
  dict.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, aDataBytes, 0, false);
  auto* indices = dict.EnsureIndicesDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByK", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(0);
  indices->SetDefaultIndex(indices->GetIndexFromName(u"ByK"));
  if (uint32_t result = aDatabase.TableBuild(false, u"T", u"", &dict, tsPersistent, false)) return result;
  TnxAbstractCursor* opened = nullptr;
  if (uint32_t result = aDatabase.CursorOpen(opened, u"T", u"", aOpenMode, smShared, aTimeout, u"ByK", -1, false, 0,
                                             500, nullptr))
    return result;
  aCursor = static_cast<TnxServerTableCursor*>(opened);
  return 0;
}

}  // namespace revurov::bench
