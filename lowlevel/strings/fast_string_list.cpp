#include "lowlevel/strings/fast_string_list.h"

#include "lowlevel/heap/memory_manager.h"
#include "platform/text.h"

namespace revurov {

namespace {

int CompareOrdinal(std::u16string_view a, std::u16string_view b) noexcept {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

std::unique_ptr<TnxFastStringList> TnxFastStringList::CreateSorted(platform::TDuplicates aDups) {
  auto list = std::make_unique<TnxFastStringList>();
  list->MakeSorted(aDups);
  return list;
}

void TnxFastStringList::MakeSorted(platform::TDuplicates aDups) {
  SetDuplicates(aDups);
  SetSorted(true);
}

int TnxFastStringList::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  return CaseSensitive() ? CompareOrdinal(a, b) : platform::AsciiCompareText(a, b);
}

void TnxFastStringList::Clear(bool aFreeObjects) {
  if (aFreeObjects) {
    for (int i = 0; i < Count(); ++i) {
      // Taken out of the line first, so a failing destructor cannot leave a
      // freed object behind in the list.
      auto* object = static_cast<TnxObject*>(Objects(i));
      SetObjects(i, nullptr);
      delete object;
    }
  }
  Clear();
}

std::unique_ptr<TnxFastStringListCS> TnxFastStringListCS::CreateSorted(platform::TDuplicates aDups) {
  auto list = std::make_unique<TnxFastStringListCS>();
  list->MakeSorted(aDups);
  return list;
}

int TnxFastStringListCS::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  return CompareOrdinal(a, b);
}

std::unique_ptr<TnxFastStringListIC> TnxFastStringListIC::CreateSorted(platform::TDuplicates aDups) {
  auto list = std::make_unique<TnxFastStringListIC>();
  list->MakeSorted(aDups);
  return list;
}

int TnxFastStringListIC::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  return platform::AsciiCompareText(a, b);
}

}  // namespace revurov
