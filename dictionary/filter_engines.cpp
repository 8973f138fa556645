#include "dictionary/filter_engines.h"

#include <string>
#include <utility>

#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/rtl_exception.h"
#include "platform/stream.h"

namespace revurov {

constinit TnxClassRegistry nxFilterDescriptors;
constinit TnxClassRegistry nxFilterEngines;

namespace {

constexpr int32_t kConvertForVersion = 47501;

// Filter IDs travel between client and server in 32 bits, so they come
// from a handle table rather than from engine addresses.
TnxHandleTable& FilterIDs() {
  static TnxHandleTable table;
  return table;
}

[[noreturn]] void RaiseListIndex(int32_t aInx) {
  throw platform::EListError(platform::Format(platform::SListIndexError, {aInx}));
}

}  // namespace

TnxRecordFieldsSource::TnxRecordFieldsSource(const TnxFieldsDescriptor& aFields) : rfsDescriptor(aFields) {
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) {
    TnxFieldDescriptor& field = *aFields.FieldDescriptor(i);
    rfsFields.push_back({static_cast<uint16_t>(field.FieldType()), static_cast<uint16_t>(field.Units()),
                         field.GetUsedStorageCodePage(), static_cast<uint32_t>(field.Offset())});
  }
}

// The layout names fields by number alone; as the fields descriptor's own
// GetFieldForFilter answers.
bool TnxRecordFieldsSource::GetFieldForFilter(int32_t aField, const char*, const uint8_t* aData,
                                              uint16_t& aType, uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                              uint16_t& aCodePage) const {
  if (aField < 0 || aField >= GetFieldCount()) return false;
  const Field& field = rfsFields[static_cast<size_t>(aField)];
  aType = field.Type;
  aSize = field.Units;
  aCodePage = field.CodePage;
  aIsNull = !aData || rfsDescriptor.IsRecordFieldNullFast(aField, aData);
  if (!aData) {
    aValue = nullptr;
    return true;
  }
  const uint8_t* bytes = aData + field.Offset;
  aValue = bytes;
  if (field.Type == nxtShortString) {
    aSize = bytes[0];
    aValue = bytes + 1;
  }
  return true;
}

bool TnxRecordFieldsSource::GetFieldPlace(int32_t aField, TnxFieldPlace& aPlace) const {
  if (aField < 0 || aField >= GetFieldCount()) return false;
  const Field& field = rfsFields[static_cast<size_t>(aField)];
  if (field.Type == nxtShortString) return false;
  aPlace.Type = field.Type;
  aPlace.Units = field.Units;
  aPlace.CodePage = field.CodePage;
  aPlace.Offset = field.Offset;
  aPlace.NullByte = static_cast<uint32_t>(rfsDescriptor.LogicalRecordLength()) + static_cast<uint32_t>(aField >> 3);
  aPlace.NullMask = static_cast<uint8_t>(1u << (aField & 7));
  return true;
}

// ---- descriptors ----

uint32_t TnxBaseFilterDescriptor::CreateFromStream(platform::TStream& aStream,
                                                   std::unique_ptr<TnxBaseFilterDescriptor>& aFilter) {
  aFilter.reset();
  try {
    uint8_t length = 0;
    if (aStream.Read(&length, 1) != 1) return nxeInvalidParameter;
    std::string name(length, '\0');
    if (length > 0 && aStream.Read(name.data(), length) != length) return nxeInvalidParameter;
    // Class names are ASCII; other bytes simply find no class.
    std::u16string wideName(name.begin(), name.end());
    const auto* cls = nxFindClassAs<TnxFilterDescriptorClass>(ClassInfo(), wideName);
    if (!cls) cls = nxFindClassAs<TnxFilterDescriptorClass>(ClassInfo(), wideName + u"Descriptor");
    if (!cls)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Filter descriptor not supported: %s",
                                            {std::u16string_view(wideName)});
    if (!cls->CreateFromStreamData)
      throw EnxBaseFilterDescriptorException(nxeCapabilityNotSupported, u"%s can not be created from a stream",
                                             {cls->Name});
    aFilter = cls->CreateFromStreamData(aStream);
    return 0;
  } catch (const std::exception& e) {
    aFilter.reset();
    return nxConvertException(e, nullptr, nullptr, kConvertForVersion);
  }
}

void TnxBaseFilterDescriptor::WriteClassName(platform::TStream& aStream) const {
  std::u16string_view name = ClassName();
  std::string bytes(name.begin(), name.end());
  uint8_t length = static_cast<uint8_t>(bytes.size());
  aStream.WriteBuffer(&length, 1);
  aStream.WriteBuffer(bytes.data(), length);
}

uint32_t TnxBaseFilterDescriptor::WriteToStream(platform::TStream&, int32_t) const {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"WriteToStream is not supported by %s",
                                        {ClassName()});
}

// ---- engines ----

TnxBaseFilterEngine::TnxBaseFilterEngine(const TnxBaseFilterDescriptor*, const InxFieldsSource* aFieldsSource)
    : bfFieldsSource(aFieldsSource) {
  bfFilterID = FilterIDs().Add(this, &TnxBaseFilterEngine::ClassInfo(), 0);
}

TnxBaseFilterEngine::~TnxBaseFilterEngine() { FilterIDs().Remove(bfFilterID); }

std::unique_ptr<TnxBaseFilterEngine> TnxBaseFilterEngine::CreateFor(const TnxBaseFilterDescriptor& aDescriptor,
                                                                    const InxFieldsSource* aFieldsSource) {
  std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const auto* cls = nxFindClassAs<TnxFilterEngineClass>(ClassInfo(), name);
  if (!cls || !cls->Create) nxRaiseUnknownEngine<EnxBaseFilterEngineException>(u"Filter", name);
  return cls->Create(&aDescriptor, aFieldsSource);
}

std::unique_ptr<TnxBaseFilterEngine> TnxBaseFilterEngine::Duplicate(const InxFieldsSource* aFieldsSource) const {
  std::unique_ptr<TnxBaseFilterDescriptor> descriptor = CreateDescriptor();
  std::unique_ptr<TnxBaseFilterEngine> engine = CreateFor(*descriptor, aFieldsSource);
  engine->bfActive = bfActive;
  return engine;
}

uint32_t TnxBaseFilterEngine::RemoveFilter(TnxFilterID aFilterID, std::unique_ptr<TnxBaseFilterEngine>& aFilterVar) {
  if (aFilterID != bfFilterID) return nxeInvalidFilterHandle;
  // Frees this engine: nothing of it may be touched afterwards.
  aFilterVar.reset();
  return 0;
}

uint32_t TnxBaseFilterEngine::ActivateFilter(TnxFilterID aFilterID) {
  if (aFilterID != 0 && aFilterID != bfFilterID) return nxeInvalidFilterHandle;
  SetActive(true);
  return 0;
}

uint32_t TnxBaseFilterEngine::DeactivateFilter(TnxFilterID aFilterID) {
  if (aFilterID != 0 && aFilterID != bfFilterID) return nxeInvalidFilterHandle;
  SetActive(false);
  return 0;
}

void TnxBaseFilterEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseRegisterableEngine::GetExceptionData(aContainer, aFlag);
  aContainer.AddBoolean(u"Active", GetActive());
}

// ---- callback filter ----

TnxCallbackFilterEngine::TnxCallbackFilterEngine(const TnxBaseFilterDescriptor* aDescriptor,
                                                 const InxFieldsSource* aFieldsSource)
    : TnxBaseFilterEngine(aDescriptor, aFieldsSource) {
  const auto& descriptor = dynamic_cast<const TnxCallbackFilterDescriptor&>(*aDescriptor);
  cbfeCallback = descriptor.cbfdCallback;
  cbfeCookie = descriptor.cbfdCookie;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxCallbackFilterEngine::CreateDescriptor() const {
  return std::make_unique<TnxCallbackFilterDescriptor>(cbfeCookie, cbfeCallback);
}

bool TnxCallbackFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  return !(GetActive() && cbfeCallback && !cbfeCallback(cbfeCookie, aBuffer));
}

void TnxCallbackFilterEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseFilterEngine::GetExceptionData(aContainer, aFlag);
  aContainer.AddPointer(u"Cookie", cbfeCookie);
}

// ---- descriptor hub ----

TnxBaseFilterDescriptor& TnxFilterDescriptorHub::Filters(int32_t aInx) const {
  if (aInx < 0 || aInx >= FilterCount()) RaiseListIndex(aInx);
  return *fdhList[static_cast<size_t>(aInx)];
}

TnxBaseFilterDescriptor& TnxFilterDescriptorHub::AddFilter(std::unique_ptr<TnxBaseFilterDescriptor> aFilter) {
  fdhList.push_back(std::move(aFilter));
  return *fdhList.back();
}

void TnxFilterDescriptorHub::RemoveFilter(int32_t aInx) {
  if (aInx < 0 || aInx >= FilterCount()) RaiseListIndex(aInx);
  fdhList.erase(fdhList.begin() + aInx);
}

void TnxFilterDescriptorHub::RemoveFilter(const TnxBaseFilterDescriptor& aFilter) {
  for (size_t i = 0; i < fdhList.size(); ++i)
    if (fdhList[i].get() == &aFilter) return RemoveFilter(static_cast<int32_t>(i));
  RaiseListIndex(-1);
}

void TnxFilterDescriptorHub::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseFilterDescriptor::GetExceptionData(aContainer, aFlag);
  for (size_t i = 0; i < fdhList.size(); ++i)
    aContainer.AddObject(u"Filters[" + nxIntToStr(static_cast<int32_t>(i)) + u"]",
                         fdhList[i].get(), aFlag);
}

// ---- engine hub ----

TnxFilterEngineHub::TnxFilterEngineHub(const TnxBaseFilterDescriptor* aDescriptor,
                                       const InxFieldsSource* aFieldsSource)
    : TnxBaseFilterEngine(aDescriptor, aFieldsSource) {
  if (!aDescriptor) return;
  const auto& hub = dynamic_cast<const TnxFilterDescriptorHub&>(*aDescriptor);
  for (int32_t i = 0; i < hub.FilterCount(); ++i) AddFilter(CreateFor(hub.Filters(i), aFieldsSource));
}

TnxFilterEngineHub::TnxFilterEngineHub(std::unique_ptr<TnxBaseFilterEngine> aFilter1,
                                       std::unique_ptr<TnxBaseFilterEngine> aFilter2)
    : TnxBaseFilterEngine(nullptr, aFilter1->FieldsSource()) {
  AddFilter(std::move(aFilter1));
  AddFilter(std::move(aFilter2));
}

TnxBaseFilterEngine& TnxFilterEngineHub::Filters(int32_t aInx) const {
  if (aInx < 0 || aInx >= FilterCount()) RaiseListIndex(aInx);
  return *fehList[static_cast<size_t>(aInx)];
}

TnxBaseFilterEngine& TnxFilterEngineHub::AddFilter(std::unique_ptr<TnxBaseFilterEngine> aFilter) {
  fehList.push_back(std::move(aFilter));
  return *fehList.back();
}

bool TnxFilterEngineHub::GetActive() const {
  for (const auto& member : fehList)
    if (member->GetActive()) return true;
  return false;
}

std::unique_ptr<TnxBaseFilterEngine> TnxFilterEngineHub::Duplicate(const InxFieldsSource* aFieldsSource) const {
  auto hub = std::make_unique<TnxFilterEngineHub>(nullptr, aFieldsSource);
  for (const auto& member : fehList) hub->AddFilter(member->Duplicate(aFieldsSource));
  hub->bfActive = bfActive;
  return hub;
}

std::unique_ptr<TnxBaseFilterDescriptor> TnxFilterEngineHub::CreateDescriptor() const {
  auto hub = std::make_unique<TnxFilterDescriptorHub>();
  for (const auto& member : fehList) hub->AddFilter(member->CreateDescriptor());
  return hub;
}

bool TnxFilterEngineHub::MatchesBuffer(const uint8_t* aBuffer) {
  for (const auto& member : fehList)
    if (!member->MatchesBuffer(aBuffer)) return false;
  return true;
}

uint32_t TnxFilterEngineHub::RemoveFilter(TnxFilterID aFilterID, std::unique_ptr<TnxBaseFilterEngine>& aFilterVar) {
  if (aFilterID == FilterID()) return TnxBaseFilterEngine::RemoveFilter(aFilterID, aFilterVar);
  size_t at = 0;
  while (at < fehList.size() && fehList[at]->FilterID() != aFilterID) ++at;
  if (at == fehList.size()) return nxeInvalidFilterHandle;
  fehList.erase(fehList.begin() + static_cast<ptrdiff_t>(at));
  if (fehList.size() == 1) {
    std::unique_ptr<TnxBaseFilterEngine> last = std::move(fehList.front());
    fehList.clear();
    aFilterVar = std::move(last);  // frees this hub
  } else if (fehList.empty()) {
    aFilterVar.reset();  // frees this hub
  }
  return 0;
}

uint32_t TnxFilterEngineHub::SetMembersActive(TnxFilterID aFilterID, bool aActive) {
  uint32_t result = nxeInvalidFilterHandle;
  for (const auto& member : fehList) {
    result = aActive ? member->ActivateFilter(aFilterID) : member->DeactivateFilter(aFilterID);
    if (aFilterID != 0 && result == 0) break;
  }
  return result;
}

uint32_t TnxFilterEngineHub::ActivateFilter(TnxFilterID aFilterID) { return SetMembersActive(aFilterID, true); }
uint32_t TnxFilterEngineHub::DeactivateFilter(TnxFilterID aFilterID) { return SetMembersActive(aFilterID, false); }

void TnxFilterEngineHub::Disconnect() {
  TnxBaseFilterEngine::Disconnect();
  for (const auto& member : fehList) member->Disconnect();
}

bool TnxFilterEngineHub::IsEvalLocal() const {
  for (const auto& member : fehList)
    if (member->IsEvalLocal()) return true;
  return false;
}

bool TnxFilterEngineHub::IsEvalRemote() const {
  for (const auto& member : fehList)
    if (member->IsEvalRemote()) return true;
  return false;
}

}  // namespace revurov
