#include "fieldmap/table_mapper_descriptor.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary/table_descriptors.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/text.h"

namespace revurov {

namespace {

using NamedTable = std::pair<std::u16string_view, const TnxBaseTableDescriptor*>;

std::vector<NamedTable> SortedTables(const TnxBaseTableDescriptor& aTable) {
  const TnxTablesDescriptor& tables = aTable.TablesDescriptor();
  std::vector<NamedTable> list;
  list.reserve(static_cast<size_t>(tables.TableCount()));
  for (int32_t i = 0; i < tables.TableCount(); ++i) {
    const TnxNestedTableDescriptor* t = tables.TableDescriptor(i);
    list.emplace_back(t->Name(), t);
  }
  std::stable_sort(list.begin(), list.end(), [](const NamedTable& a, const NamedTable& b) {
    return platform::AsciiCompareText(a.first, b.first) < 0;
  });
  return list;
}

}  // namespace

void TnxTableMapperDescriptor::MapAllTablesAndFieldsByName(const TnxBaseTableDescriptor& aOldTable,
                                                           const TnxBaseTableDescriptor& aNewTable,
                                                           TnxDataLossAction aDataLossAction) {
  auto* record = static_cast<TnxRecordMapperDescriptor*>(AddRecordMapper(&TnxRecordMapperDescriptor::ClassInfo()));
  record->MapAllFieldsByName(aOldTable.FieldsDescriptor(), aNewTable.FieldsDescriptor(), aDataLossAction);

  const auto olds = SortedTables(aOldTable);
  const auto news = SortedTables(aNewTable);
  size_t i = 0, j = 0;
  while (i < olds.size() && j < news.size()) {
    const int c = platform::AsciiCompareText(olds[i].first, news[j].first);
    if (c < 0) {
      ++i;
    } else if (c == 0) {
      auto* nested = static_cast<TnxTableMapperDescriptor*>(AddTable(olds[i].first, &ClassInfo()));
      nested->MapAllTablesAndFieldsByName(*olds[i].second, *news[j].second, aDataLossAction);
      ++i;
      ++j;
    } else {
      ++j;
    }
  }
}

void TnxTableMapperDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTableMapperDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TnxTableMapperDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTableMapperDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxTableMapperDescriptorException(nxeIncompatibleStream);
}

}  // namespace revurov
