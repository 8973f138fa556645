// String lists that compare ordinally instead of by locale: by code units
// when case-sensitive, else by code units with ASCII a-z folded to upper
// case. Everything else (duplicates rule, update bracket, objects) is the
// platform string list's.
//
// Objects stay unowned, except that Clear(true) frees them: a list that is
// cleared that way must hold only TnxObject pointers (or nil) as objects.
#pragma once

#include <memory>
#include <string_view>

#include "platform/string_list.h"

namespace revurov {

class TnxFastStringList : public platform::TStringList {
public:
  TnxFastStringList() = default;
  // A sorted list with the given duplicates rule.
  static std::unique_ptr<TnxFastStringList> CreateSorted(platform::TDuplicates aDups);

  int CompareStrings(std::u16string_view a, std::u16string_view b) const override;
  using platform::TStringList::Clear;
  // Frees every line's object first when aFreeObjects.
  void Clear(bool aFreeObjects);

protected:
  void MakeSorted(platform::TDuplicates aDups);
};

// Always case-sensitive.
class TnxFastStringListCS : public TnxFastStringList {
public:
  TnxFastStringListCS() { SetCaseSensitive(true); }
  static std::unique_ptr<TnxFastStringListCS> CreateSorted(platform::TDuplicates aDups);
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override;
};

// Always case-insensitive (ASCII letters).
class TnxFastStringListIC : public TnxFastStringList {
public:
  static std::unique_ptr<TnxFastStringListIC> CreateSorted(platform::TDuplicates aDups);
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override;
};

}  // namespace revurov
