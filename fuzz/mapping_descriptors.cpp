// The mapping descriptor stream of a restructure request: any bytes read as
// a table mapper tree (nested tables, record and field mappings). A partly
// read tree is discarded, as the restructure task does.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/table_descriptors.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "fieldmap/table_mapper_descriptor.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxFieldMapStartupGuard fieldMap; }

std::vector<std::string> Seeds() {
  TnxDataDictionary oldTable, newTable;
  oldTable.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  oldTable.FieldsDescriptor().AddField(u"Name", u"", nxtShortString, 20, 0, false);
  newTable.FieldsDescriptor().AddField(u"id", u"", nxtInt64, 0, 0, false);
  newTable.FieldsDescriptor().AddField(u"NAME", u"", nxtWideString, 20, 0, false);
  oldTable.TablesDescriptor().AddTable(u"Lines")->FieldsDescriptor().AddField(u"Qty", u"", nxtInt32, 0, 0, false);
  newTable.TablesDescriptor().AddTable(u"Lines")->FieldsDescriptor().AddField(u"Qty", u"", nxtInt16, 0, 0, false);
  TnxTableMapperDescriptor root;
  root.MapAllTablesAndFieldsByName(oldTable, newTable, dlaNull);
  static_cast<TnxRecordMapperDescriptor*>(root.RecordMapper())->rmdGetMapper(0)->SetApplyDefault(true);
  root.AddTable(u"Empty", &TnxTableMapperDescriptor::ClassInfo());
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    root.WriteToWriter(w, 47501);
  }
  return {std::string(reinterpret_cast<const char*>(s.ByteArray()), static_cast<size_t>(s.GetSize()))};
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string bytes(fuzz::Bytes(aData, aSize));
  TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  try {
    TnxReader r(stream);
    const std::unique_ptr<TnxBaseTableMapperDescriptor> tree = TnxBaseTableMapperDescriptor::CreateFromReader(r);
  } catch (const platform::Exception&) {
  }
  return 0;
}
