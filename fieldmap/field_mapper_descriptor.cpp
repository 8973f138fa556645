#include "fieldmap/field_mapper_descriptor.h"

#include "lowlevel/streams/tagged_stream.h"

namespace revurov {

constinit TnxClassRegistry nxFieldMapperDescriptorClasses;

namespace {

constexpr std::u16string_view kActionNames[] = {u"dlaFail", u"dlaNull", u"dlaBestFit"};

}  // namespace

std::u16string_view nxDataLossActionIdent(TnxDataLossAction aValue) noexcept {
  return aValue <= dlaBestFit ? kActionNames[aValue] : kActionNames[dlaFail];
}

TnxDataLossAction nxDataLossActionFromIdent(std::u16string_view aName) noexcept {
  for (uint8_t i = 0; i <= dlaBestFit; ++i)
    if (kActionNames[i] == aName) return static_cast<TnxDataLossAction>(i);
  return dlaFail;
}

void TnxFieldMapperDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t) const {
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(bfcdApplyDefault);
}

void TnxFieldMapperDescriptor::LoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxFieldMapperDescriptorException(nxeIncompatibleStream);
  bfcdApplyDefault = aReader.ReadBoolean();
}

void TnxFieldMapperDescriptor::WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteIdent(ClassName());
  aWriter.WriteString(bfcdSourceName);
  aWriter.WriteString(bfcdTargetName);
  aWriter.WriteString(nxDataLossActionIdent(bfcdDataLossAction));
  SaveToWriter(aWriter, aClientVersion);
}

std::unique_ptr<TnxFieldMapperDescriptor> TnxFieldMapperDescriptor::CreateFromReader(
    TnxReader& aReader, const TnxFieldMapperDescriptorClass& aFamily) {
  const std::u16string className = aReader.ReadIdent();
  const auto* cls = nxFindClassAs<TnxFieldMapperDescriptorClass>(aFamily, className);
  if (!cls || !cls->Create)
    nxRaiseClassNotSupported<EnxFieldMapperDescriptorException>(u"FieldMapperDescriptor", className);
  const std::u16string sourceName = aReader.ReadString();
  const std::u16string targetName = aReader.ReadString();
  const std::u16string actionName = aReader.ReadString();
  std::unique_ptr<TnxFieldMapperDescriptor> item =
      cls->Create(sourceName, targetName, nxDataLossActionFromIdent(actionName));
  item->LoadFromReader(aReader);
  return item;
}

}  // namespace revurov
