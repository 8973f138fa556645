#include "dictionary/mapper_descriptors.h"

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxRecordMapperDescriptorClasses;
constinit TnxClassRegistry nxTableMapperDescriptorClasses;

namespace {

// Reads the class identifier and builds an object of that class of
// aFamily's family; a failed read frees it again.
template <class Base, class Record, class E>
std::unique_ptr<Base> CreateNamed(TnxReader& aReader, const Record& aFamily, std::u16string_view aKindWord) {
  const std::u16string className = aReader.ReadIdent();
  const auto* cls = nxFindClassAs<Record>(aFamily, className);
  if (!cls || !cls->Create) nxRaiseClassNotSupported<E>(aKindWord, className);
  std::unique_ptr<Base> item = cls->Create();
  item->LoadFromReader(aReader);
  return item;
}

// A copy through a stream at the library's own version.
template <class Base, class Record>
std::unique_ptr<Base> Copied(const Base& aSource) {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    aSource.SaveToWriter(writer, nxLibraryVersion);
  }
  stream.SetPosition(0);
  std::unique_ptr<Base> copy = static_cast<const Record&>(aSource.ClassType()).Create();
  TnxReader reader(stream);
  copy->LoadFromReader(reader);
  return copy;
}

}  // namespace

// ---- TnxBaseRecordMapperDescriptor ----

void TnxBaseRecordMapperDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t) const {
  aWriter.WriteInteger(int32_t{1});
}

void TnxBaseRecordMapperDescriptor::LoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxBaseRecordMapperDescriptorException(nxeIncompatibleStream);
}

void TnxBaseRecordMapperDescriptor::WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteIdent(ClassName());
  SaveToWriter(aWriter, aClientVersion);
}

std::unique_ptr<TnxBaseRecordMapperDescriptor> TnxBaseRecordMapperDescriptor::CreateFromReader(
    TnxReader& aReader, const TnxRecordMapperDescriptorClass& aFamily) {
  return CreateNamed<TnxBaseRecordMapperDescriptor, TnxRecordMapperDescriptorClass,
                     EnxBaseRecordMapperDescriptorException>(aReader, aFamily, u"RecordMapperDescriptor");
}

std::unique_ptr<TnxBaseRecordMapperDescriptor> TnxBaseRecordMapperDescriptor::Duplicate() const {
  return Copied<TnxBaseRecordMapperDescriptor, TnxRecordMapperDescriptorClass>(*this);
}

// ---- TnxBaseTableMapperDescriptor ----

TnxBaseTableMapperDescriptor::~TnxBaseTableMapperDescriptor() { Clear(); }

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::TableDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= TableCount())
    throw EnxBaseTableMapperDescriptorException(nxeInvalidDescriptorNumber, u"Index out of bounds: %d", {aIndex});
  return btmdTables[static_cast<size_t>(aIndex)].get();
}

TnxBaseRecordMapperDescriptor* TnxBaseTableMapperDescriptor::AddRecordMapper(
    const TnxRecordMapperDescriptorClass* aClass) {
  btmdRecordMapper.reset();
  if (!aClass) aClass = &TnxBaseRecordMapperDescriptor::ClassInfo();
  btmdRecordMapper = aClass->Create();
  return btmdRecordMapper.get();
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::AddTable(std::u16string_view aName,
                                                                     const TnxTableMapperDescriptorClass* aClass) {
  if (GetTableIndexFromName(aName) >= 0)
    throw EnxBaseTableMapperDescriptorException(nxeNameNotUnique, u"Duplicated table name: %s", {aName});
  if (!aClass) aClass = &TnxBaseTableMapperDescriptor::ClassInfo();
  std::unique_ptr<TnxBaseTableMapperDescriptor> table = aClass->Create();
  table->btmdParent = this;
  table->btmdName = aName;
  btmdTables.push_back(std::move(table));
  return btmdTables.back().get();
}

int32_t TnxBaseTableMapperDescriptor::GetTableIndexFromName(std::u16string_view aName) const noexcept {
  for (size_t i = 0; i < btmdTables.size(); ++i)
    if (platform::AsciiSameText(btmdTables[i]->btmdName, aName)) return static_cast<int32_t>(i);
  return -1;
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::GetTableDescriptorFromName(std::u16string_view aName) const {
  const int32_t i = GetTableIndexFromName(aName);
  if (i < 0) throw EnxBaseTableMapperDescriptorException(nxeTableDoesNotExist);
  return btmdTables[static_cast<size_t>(i)].get();
}

void TnxBaseTableMapperDescriptor::RemoveTable(int32_t aInx) {
  if (aInx < 0 || aInx >= TableCount()) return;
  btmdTables.erase(btmdTables.begin() + aInx);
}

void TnxBaseTableMapperDescriptor::RemoveTable(std::u16string_view aName) { RemoveTable(GetTableIndexFromName(aName)); }

void TnxBaseTableMapperDescriptor::Clear() noexcept {
  btmdRecordMapper.reset();
  btmdTables.clear();
}

void TnxBaseTableMapperDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(btmdName);
  aWriter.WriteString(btmdMapTo);
  aWriter.WriteBoolean(btmdRecordMapper != nullptr);
  if (btmdRecordMapper) btmdRecordMapper->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(TableCount());
  for (const auto& table : btmdTables) table->WriteToWriter(aWriter, aClientVersion);
}

void TnxBaseTableMapperDescriptor::LoadFromReader(TnxReader& aReader) {
  // The stream is untrusted and nesting recurses: refuse it before the
  // stack suffers.
  int32_t depth = 0;
  for (const TnxBaseTableMapperDescriptor* p = btmdParent; p; p = p->btmdParent)
    if (++depth > nxMaxTableMapperNesting) throw EnxBaseTableMapperDescriptorException(nxeIncompatibleStream);
  if (aReader.ReadInteger() != 1) throw EnxBaseTableMapperDescriptorException(nxeIncompatibleStream);
  btmdName = aReader.ReadString();
  btmdMapTo = aReader.ReadString();
  btmdRecordMapper.reset();
  if (aReader.ReadBoolean()) btmdRecordMapper = TnxBaseRecordMapperDescriptor::CreateFromReader(aReader);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxBaseTableMapperDescriptorException(nxeIncompatibleStream);
  btmdTables.clear();
  // Grown as the tables arrive: the count is the stream's word, not a size.
  for (int32_t i = 0; i < count; ++i) {
    const std::u16string className = aReader.ReadIdent();
    const auto* cls = nxFindClassAs<TnxTableMapperDescriptorClass>(ClassInfo(), className);
    if (!cls || !cls->Create)
      nxRaiseClassNotSupported<EnxBaseTableMapperDescriptorException>(u"TableMapperDescriptor", className);
    std::unique_ptr<TnxBaseTableMapperDescriptor> table = cls->Create();
    table->btmdParent = this;
    table->LoadFromReader(aReader);
    btmdTables.push_back(std::move(table));
  }
}

void TnxBaseTableMapperDescriptor::WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteIdent(ClassName());
  SaveToWriter(aWriter, aClientVersion);
}

std::unique_ptr<TnxBaseTableMapperDescriptor> TnxBaseTableMapperDescriptor::CreateFromReader(
    TnxReader& aReader, const TnxTableMapperDescriptorClass& aFamily) {
  return CreateNamed<TnxBaseTableMapperDescriptor, TnxTableMapperDescriptorClass,
                     EnxBaseTableMapperDescriptorException>(aReader, aFamily, u"TableMapperDescriptor");
}

std::unique_ptr<TnxBaseTableMapperDescriptor> TnxBaseTableMapperDescriptor::Duplicate() const {
  return Copied<TnxBaseTableMapperDescriptor, TnxTableMapperDescriptorClass>(*this);
}

}  // namespace revurov
