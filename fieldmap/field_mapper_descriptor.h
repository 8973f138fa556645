// One field mapping of a record mapping: which source field feeds which
// target field and what becomes of a value that does not fit.
//
// Contract: the data-loss action is one byte; a value other than the three
// names behaves as dlaFail, and a streamed action name that is none of the
// three reads as dlaFail (a newer writer's action still reads, and fails
// rather than loses data). The source name may be empty (the target then
// only gets its default value).
//
// Stream form: the class name (an identifier), the source name, the target
// name and the action's name, then the class's own part (SaveToWriter): the
// contents version 1 and the apply-default flag. A version other than 1
// raises 15498; a class name not registered in the family raises 15499.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lowlevel/objects/registerable.h"

namespace revurov {

class TnxReader;
class TnxWriter;
class TnxFieldMapperDescriptor;

enum TnxDataLossAction : uint8_t { dlaFail, dlaNull, dlaBestFit };

// "dlaFail", "dlaNull", "dlaBestFit"; "dlaFail" for any other byte.
std::u16string_view nxDataLossActionIdent(TnxDataLossAction aValue) noexcept;
// dlaFail for a name that is none of the three.
TnxDataLossAction nxDataLossActionFromIdent(std::u16string_view aName) noexcept;

REVUROV_EXCEPTION_CLASS(EnxFieldMapperDescriptorException, EnxBaseRegisterableDescriptorException);

extern TnxClassRegistry nxFieldMapperDescriptorClasses;

struct TnxFieldMapperDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFieldMapperDescriptor> (*Create)(std::u16string_view aSourceName,
                                                      std::u16string_view aTargetName,
                                                      TnxDataLossAction aDataLossAction) = nullptr;
};
template <class T>
std::unique_ptr<TnxFieldMapperDescriptor> nxNewFieldMapperDescriptor(std::u16string_view aSourceName,
                                                                     std::u16string_view aTargetName,
                                                                     TnxDataLossAction aDataLossAction) {
  return std::make_unique<T>(aSourceName, aTargetName, aDataLossAction);
}

class TnxFieldMapperDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxFieldMapperDescriptor, TnxBaseRegisterableDescriptor, TnxFieldMapperDescriptorClass,
                              &nxFieldMapperDescriptorClasses, &nxNewFieldMapperDescriptor<TnxFieldMapperDescriptor>)
  TnxFieldMapperDescriptor(std::u16string_view aSourceName, std::u16string_view aTargetName,
                           TnxDataLossAction aDataLossAction)
      : bfcdSourceName(aSourceName), bfcdTargetName(aTargetName), bfcdDataLossAction(aDataLossAction) {}

  const std::u16string& SourceName() const noexcept { return bfcdSourceName; }
  void SetSourceName(std::u16string_view aValue) { bfcdSourceName = aValue; }
  const std::u16string& TargetName() const noexcept { return bfcdTargetName; }
  void SetTargetName(std::u16string_view aValue) { bfcdTargetName = aValue; }
  TnxDataLossAction DataLossAction() const noexcept { return bfcdDataLossAction; }
  void SetDataLossAction(TnxDataLossAction aValue) noexcept { bfcdDataLossAction = aValue; }
  bool ApplyDefault() const noexcept { return bfcdApplyDefault; }
  void SetApplyDefault(bool aValue) noexcept { bfcdApplyDefault = aValue; }

  // The class's own part after the common head; subclasses extend both.
  virtual void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  virtual void LoadFromReader(TnxReader& aReader);
  // The whole mapping, head included.
  void WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  // A new descriptor of the class named in aReader, of aFamily's family;
  // nothing is left behind when reading fails.
  static std::unique_ptr<TnxFieldMapperDescriptor> CreateFromReader(
      TnxReader& aReader, const TnxFieldMapperDescriptorClass& aFamily = ClassInfo());

private:
  std::u16string bfcdSourceName;
  std::u16string bfcdTargetName;
  TnxDataLossAction bfcdDataLossAction = dlaFail;
  bool bfcdApplyDefault = false;
};

}  // namespace revurov
