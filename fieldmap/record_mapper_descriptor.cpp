#include "fieldmap/record_mapper_descriptor.h"

#include <algorithm>

#include "dictionary/fields_descriptor.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

[[noreturn]] void RaiseIndexError(int32_t aInx) {
  throw platform::EStringListError(platform::Format(platform::SListIndexError, {aInx}));
}

// The names of a field list, sorted A to Z without case.
std::vector<std::u16string_view> SortedNames(const TnxFieldsDescriptor& aFields) {
  std::vector<std::u16string_view> names;
  names.reserve(static_cast<size_t>(aFields.FieldCount()));
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) names.push_back(aFields.FieldDescriptor(i)->Name());
  std::stable_sort(names.begin(), names.end(),
                   [](std::u16string_view a, std::u16string_view b) { return platform::AsciiCompareText(a, b) < 0; });
  return names;
}

}  // namespace

TnxRecordMapperDescriptor::~TnxRecordMapperDescriptor() = default;

int32_t TnxRecordMapperDescriptor::Find(std::u16string_view aTargetName) const noexcept {
  const auto it = std::lower_bound(
      rmdFieldMapperDescriptors.begin(), rmdFieldMapperDescriptors.end(), aTargetName,
      [](const Entry& e, std::u16string_view n) { return platform::AsciiCompareText(e.first, n) < 0; });
  const auto pos = static_cast<int32_t>(it - rmdFieldMapperDescriptors.begin());
  if (it != rmdFieldMapperDescriptors.end() && platform::AsciiCompareText(it->first, aTargetName) == 0) return pos;
  return -1 - pos;
}

int32_t TnxRecordMapperDescriptor::Insert(std::u16string_view aTargetName,
                                          std::unique_ptr<TnxFieldMapperDescriptor>& aDescriptor) {
  const int32_t found = Find(aTargetName);
  if (found >= 0) throw platform::EStringListError(platform::SDuplicateString);
  const int32_t pos = -1 - found;
  rmdFieldMapperDescriptors.emplace(rmdFieldMapperDescriptors.begin() + pos, std::u16string(aTargetName),
                                    std::move(aDescriptor));
  return pos;
}

int32_t TnxRecordMapperDescriptor::IndexOrRaise(std::u16string_view aTargetName) const {
  const int32_t i = FieldMapperIndexOf(aTargetName);
  if (i < 0) RaiseIndexError(i);
  return i;
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::AddMapping(std::u16string_view aSourceName,
                                                                std::u16string_view aTargetName,
                                                                TnxDataLossAction aDataLossAction,
                                                                const TnxFieldMapperDescriptorClass* aDescriptorClass) {
  if (!aDescriptorClass) aDescriptorClass = &TnxFieldMapperDescriptor::ClassInfo();
  std::unique_ptr<TnxFieldMapperDescriptor> item = aDescriptorClass->Create(aSourceName, aTargetName, aDataLossAction);
  TnxFieldMapperDescriptor* result = item.get();
  Insert(aTargetName, item);
  return result;
}

void TnxRecordMapperDescriptor::DeleteMapping(std::u16string_view aTargetName) {
  const int32_t i = IndexOrRaise(aTargetName);
  rmdFieldMapperDescriptors.erase(rmdFieldMapperDescriptors.begin() + i);
}

int32_t TnxRecordMapperDescriptor::FieldMapperIndexOf(std::u16string_view aTargetName) const noexcept {
  const int32_t i = Find(aTargetName);
  return i >= 0 ? i : -1;
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::rmdGetMapper(int32_t aInx) const {
  if (aInx < 0 || aInx >= FieldMapperCount()) RaiseIndexError(aInx);
  return rmdFieldMapperDescriptors[static_cast<size_t>(aInx)].second.get();
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::UpdateSourceName(std::u16string_view aTargetName,
                                                                      std::u16string_view aNewSourceName) {
  TnxFieldMapperDescriptor* item = rmdGetMapper(IndexOrRaise(aTargetName));
  item->SetSourceName(aNewSourceName);
  return item;
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::UpdateTargetName(std::u16string_view aOldTargetName,
                                                                      std::u16string_view aNewTargetName) {
  int32_t old = IndexOrRaise(aOldTargetName);
  if (platform::AsciiCompareText(aOldTargetName, aNewTargetName) != 0) {
    std::unique_ptr<TnxFieldMapperDescriptor> moving = std::move(rmdFieldMapperDescriptors[size_t(old)].second);
    try {
      const int32_t pos = Insert(aNewTargetName, moving);
      if (pos <= old) ++old;
    } catch (...) {
      rmdFieldMapperDescriptors[size_t(old)].second = std::move(moving);
      throw;
    }
    rmdFieldMapperDescriptors.erase(rmdFieldMapperDescriptors.begin() + old);
    old = FieldMapperIndexOf(aNewTargetName);
  }
  TnxFieldMapperDescriptor* item = rmdFieldMapperDescriptors[size_t(old)].second.get();
  item->SetTargetName(aNewTargetName);
  return item;
}

void TnxRecordMapperDescriptor::MapAllFieldsByName(const TnxFieldsDescriptor& aOldFields,
                                                   const TnxFieldsDescriptor& aNewFields,
                                                   TnxDataLossAction aDataLossAction) {
  const auto olds = SortedNames(aOldFields);
  const auto news = SortedNames(aNewFields);
  size_t i = 0, j = 0;
  while (i < olds.size() && j < news.size()) {
    const int c = platform::AsciiCompareText(olds[i], news[j]);
    if (c < 0) {
      ++i;
    } else if (c == 0) {
      AddMapping(olds[i], news[j], aDataLossAction);
      ++i;
      ++j;
    } else {
      ++j;
    }
  }
}

void TnxRecordMapperDescriptor::MapAllFieldsByPosition(const TnxFieldsDescriptor& aOldFields,
                                                       const TnxFieldsDescriptor& aNewFields,
                                                       TnxDataLossAction aDataLossAction) {
  for (int32_t i = 0; i < aOldFields.FieldCount() && i < aNewFields.FieldCount(); ++i)
    AddMapping(aOldFields.FieldDescriptor(i)->Name(), aNewFields.FieldDescriptor(i)->Name(), aDataLossAction);
}

void TnxRecordMapperDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseRecordMapperDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteListBegin();
  for (const auto& entry : rmdFieldMapperDescriptors) entry.second->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(rmdApplyDefaultForUnmapped);
}

void TnxRecordMapperDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseRecordMapperDescriptor::LoadFromReader(aReader);
  rmdFieldMapperDescriptors.clear();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    std::unique_ptr<TnxFieldMapperDescriptor> item = TnxFieldMapperDescriptor::CreateFromReader(aReader);
    const std::u16string name = item->TargetName();
    Insert(name, item);
  }
  aReader.ReadListEnd();
  rmdApplyDefaultForUnmapped = aReader.ReadBoolean();
}

}  // namespace revurov
