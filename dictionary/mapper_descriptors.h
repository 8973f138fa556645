// The description of a copy between tables of different structure: for a
// table (and, recursively, its nested tables) the target it maps to and the
// record mapping. These bases carry the form that travels in a stream and is
// rebuilt by class name; the field-mapping subsystem derives the concrete
// record mappers and registers them.
//
// Contract:
// - WriteToWriter names the class (an identifier) before the contents;
//   CreateFromReader finds the class in the family it is called on (15499
//   when it is not registered) and leaves nothing behind when reading fails.
// - A nested table mapper reads with its parent set; nesting deeper than
//   nxMaxTableMapperNesting is refused with 15498 before it recurses, and
//   nothing is sized from a streamed count.
// - Nested mapping names compare A to Z without case.
// - Raises EnxBaseRecordMapperDescriptorException /
//   EnxBaseTableMapperDescriptorException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/objects/registerable.h"

namespace revurov {

class TnxReader;
class TnxWriter;
class TnxBaseRecordMapperDescriptor;
class TnxBaseTableMapperDescriptor;

REVUROV_EXCEPTION_CLASS(EnxBaseRecordMapperDescriptorException, EnxBaseRegisterableDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseTableMapperDescriptorException, EnxBaseRegisterableDescriptorException);

// Nested table mappers deeper than this below the root do not read (15498).
inline constexpr int32_t nxMaxTableMapperNesting = 64;

extern TnxClassRegistry nxRecordMapperDescriptorClasses;
extern TnxClassRegistry nxTableMapperDescriptorClasses;

struct TnxRecordMapperDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseRecordMapperDescriptor> (*Create)() = nullptr;
};
struct TnxTableMapperDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseTableMapperDescriptor> (*Create)() = nullptr;
};
template <class Base, class T>
std::unique_ptr<Base> nxNewMapperDescriptor() {
  return std::make_unique<T>();
}

class TnxBaseRecordMapperDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRecordMapperDescriptor, TnxBaseRegisterableDescriptor,
                              TnxRecordMapperDescriptorClass, &nxRecordMapperDescriptorClasses,
                              (&nxNewMapperDescriptor<TnxBaseRecordMapperDescriptor, TnxBaseRecordMapperDescriptor>))
  TnxBaseRecordMapperDescriptor() = default;

  virtual void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  virtual void LoadFromReader(TnxReader& aReader);
  void WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  // The class named in aReader, of aFamily's family.
  static std::unique_ptr<TnxBaseRecordMapperDescriptor> CreateFromReader(
      TnxReader& aReader, const TnxRecordMapperDescriptorClass& aFamily = ClassInfo());
  std::unique_ptr<TnxBaseRecordMapperDescriptor> Duplicate() const;
};

class TnxBaseTableMapperDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTableMapperDescriptor, TnxBaseRegisterableDescriptor,
                              TnxTableMapperDescriptorClass, &nxTableMapperDescriptorClasses,
                              (&nxNewMapperDescriptor<TnxBaseTableMapperDescriptor, TnxBaseTableMapperDescriptor>))
  TnxBaseTableMapperDescriptor() = default;
  ~TnxBaseTableMapperDescriptor() override;

  TnxBaseTableMapperDescriptor* Parent() const noexcept { return btmdParent; }
  const std::u16string& Name() const noexcept { return btmdName; }
  const std::u16string& MapTo() const noexcept { return btmdMapTo; }
  void SetMapTo(std::u16string_view aValue) { btmdMapTo = aValue; }
  int32_t TableCount() const noexcept { return static_cast<int32_t>(btmdTables.size()); }
  // 9999 outside the list.
  TnxBaseTableMapperDescriptor* TableDescriptor(int32_t aIndex) const;
  TnxBaseRecordMapperDescriptor* RecordMapper() const noexcept { return btmdRecordMapper.get(); }

  // Null class: the base.
  TnxBaseRecordMapperDescriptor* AddRecordMapper(const TnxRecordMapperDescriptorClass* aClass = nullptr);
  void RemoveRecordMapper() noexcept { btmdRecordMapper.reset(); }
  // 10009 "Duplicated table name: %s"; null class: the base.
  TnxBaseTableMapperDescriptor* AddTable(std::u16string_view aName,
                                         const TnxTableMapperDescriptorClass* aClass = nullptr);
  int32_t GetTableIndexFromName(std::u16string_view aName) const noexcept;
  // 10024 "Table does not exist." when absent.
  TnxBaseTableMapperDescriptor* GetTableDescriptorFromName(std::u16string_view aName) const;
  // Outside the list or absent: nothing.
  void RemoveTable(int32_t aInx);
  void RemoveTable(std::u16string_view aName);
  void Clear() noexcept;

  virtual void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  virtual void LoadFromReader(TnxReader& aReader);
  void WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  static std::unique_ptr<TnxBaseTableMapperDescriptor> CreateFromReader(
      TnxReader& aReader, const TnxTableMapperDescriptorClass& aFamily = ClassInfo());
  std::unique_ptr<TnxBaseTableMapperDescriptor> Duplicate() const;

private:
  TnxBaseTableMapperDescriptor* btmdParent = nullptr;  // the owner
  std::u16string btmdName{u"."};
  std::u16string btmdMapTo{u"."};
  std::vector<std::unique_ptr<TnxBaseTableMapperDescriptor>> btmdTables;
  std::unique_ptr<TnxBaseRecordMapperDescriptor> btmdRecordMapper;
};

}  // namespace revurov
