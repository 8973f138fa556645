// One field mapping of a record mapping: which source field feeds which
// target field and what becomes of a value that does not fit.
//
// Contract: the data-loss action is one byte; a value other than the three
// names behaves as dlaFail. The source name may be empty (the target then
// only gets its default value).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/objects/registerable.h"

namespace revurov {

enum TnxDataLossAction : uint8_t { dlaFail, dlaNull, dlaBestFit };

REVUROV_EXCEPTION_CLASS(EnxFieldMapperDescriptorException, EnxBaseRegisterableDescriptorException);

extern TnxClassRegistry nxFieldMapperDescriptorClasses;

class TnxFieldMapperDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_CLASS_FAMILY(TnxFieldMapperDescriptor, TnxBaseRegisterableDescriptor,
                                    &nxFieldMapperDescriptorClasses)
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

private:
  std::u16string bfcdSourceName;
  std::u16string bfcdTargetName;
  TnxDataLossAction bfcdDataLossAction = dlaFail;
  bool bfcdApplyDefault = false;
};

}  // namespace revurov
