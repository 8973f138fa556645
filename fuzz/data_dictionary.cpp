// A data dictionary stream as a table file or a server hands it over, in
// the layout of any client version, the legacy one included. A failed read
// leaves a default dictionary; a read one, written again, reads back equal
// and, once written by us, keeps its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/startup.h"
#include "dictionary/storage_descriptors.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/rtl_exception.h"
#include "platform/variant.h"

namespace revurov::fuzz {

namespace {

std::string Written(const TnxDataDictionary& aDict, uint32_t aClientVersion) {
  TnxMemoryStream s;
  aDict.WriteToStream(s, aClientVersion);
  return std::string(reinterpret_cast<const char*>(s.ByteArray()), static_cast<size_t>(s.GetSize()));
}

void Read(TnxDataDictionary& aDict, std::string& aBytes) {
  TnxStaticMemoryStream s(aBytes.data(), static_cast<int64_t>(aBytes.size()));
  aDict.ReadFromStream(s, u"Table");
}

// A table with most descriptor kinds: locale, default values, BLOBs, a
// composite key, heap storage, an advanced autoinc and nested tables.
void Populate(TnxDataDictionary& d) {
  d.AddLocaleDescriptor()->SetLocale(0x0407);
  d.CustomStrings().Add(u"Owner=Fuzz");
  TnxFieldsDescriptor& f = d.FieldsDescriptor();
  f.AddField(u"ID", u"the key", nxtAutoInc, 0, 0, true);
  auto* name = f.AddField(u"Name", u"", nxtShortString, 20, 0, false);
  name->AddLocaleDescriptor()->SetLocale(0x0409);
  static_cast<TnxConstDefaultValueDescriptor*>(name->AddDefaultValue())
      ->SetAsVariant(platform::TnxVariant::FromString(u"none"));
  f.AddField(u"Changed", u"", nxtDateTime, 0, 0, false)
      ->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo())
      ->SetApplyOnModify(true);
  f.AddField(u"Key", u"", nxtGuid, 0, 0, false)->AddDefaultValue(&TnxAutoGuidDefaultValueDescriptor::ClassInfo());
  f.AddField(u"Amount", u"", nxtFmtBCD, 10, 2, false);
  f.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  d.FilesDescriptor().AddFile(u"idx", nxbs8k, u"indices");
  d.FilesDescriptor().AddFile(u"blb", nxbs16k, u"blobs");
  auto* record = static_cast<TnxHeapRecordDescriptor*>(d.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  record->AddRecordCompressionDescriptor()->SetCompressType(11);
  auto* blob = static_cast<TnxHeapBlobDescriptor*>(d.AddBlobDescriptor());
  blob->SetFileNumber(2);
  blob->AddHeapDescriptor();
  static_cast<TnxAdvAutoIncDescriptor*>(d.AddAutoIncDescriptor(&TnxAdvAutoIncDescriptor::ClassInfo()))->SetStep(5);
  auto* byName = d.EnsureIndicesDescriptor()->AddIndex(u"ByName", 1, idAll, u"names");
  auto* key = static_cast<TnxCompKeyDescriptor*>(byName->KeyDescriptor());
  key->Add(u"Name", &TnxTextKeyFieldDescriptor::ClassInfo());
  key->Add(u"ID");
  d.EnsureInternalIndicesDescriptor()->AddIndex(u"$GraveyardLSN", 0, idNone, u"", &TnxInt64KeyDescriptor::ClassInfo());
  d.CustomDescsDescriptor().AddCustom(u"Extra")->CustomStrings().Add(u"Kind=fuzz");
  auto* orders = d.TablesDescriptor().AddTable(u"Orders");
  orders->FieldsDescriptor().AddField(u"Qty", u"", nxtInt16, 0, 0, false);
  orders->AddRecordDescriptor();
  d.CheckValid(true);
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxDictionaryStartupGuard dictionary; }

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  TnxDataDictionary plain;
  plain.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  plain.FieldsDescriptor().AddField(u"S", u"", nxtNullString, 12, 0, true);
  plain.FilesDescriptor().AddFile(u"b", nxbs4k, u"");
  plain.AddBlobDescriptor()->SetFileNumber(1);
  TnxDataDictionary refNr;
  refNr.FieldsDescriptor().AddField(u"R", u"", nxtRefNr, 0, 0, false);
  TnxDataDictionary full;
  Populate(full);
  for (uint32_t version : {47501u, 47005u, 40000u, 25000u, 20000u, 15000u}) {
    for (const TnxDataDictionary* d : {&plain, &refNr, &full}) {
      try {
        seeds.push_back(Written(*d, version));
      } catch (const platform::Exception&) {
        // What the legacy layout cannot express.
      }
    }
  }
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string bytes(fuzz::Bytes(aData, aSize));
  TnxDataDictionary dict;
  try {
    fuzz::Read(dict, bytes);
  } catch (const platform::Exception&) {
    if (!dict.StreamDescriptor() || dict.FilesDescriptor().FileCount() != 1 ||
        dict.FieldsDescriptor().FieldCount() != 0)
      std::abort();
    return 0;
  }
  // What was read travels on as the current layout.
  std::string again = fuzz::Written(dict, 47501);
  TnxDataDictionary back;
  fuzz::Read(back, again);
  if (!back.IsEqual(&dict) || !dict.IsEqual(&back)) std::abort();
  // A stream that carries "$MissingInformation" without "$CachingState"
  // gets the table's own lines in another order the first time round;
  // from the second write on the bytes stay.
  std::string settled = fuzz::Written(back, 47501);
  TnxDataDictionary twice;
  fuzz::Read(twice, settled);
  if (!twice.IsEqual(&back) || fuzz::Written(twice, 47501) != settled) std::abort();
  return 0;
}
