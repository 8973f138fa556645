// The lines of a string list, for comparing a whole list at once.
#pragma once

#include <string>
#include <vector>

#include "platform/string_list.h"

namespace revurov::testing {

inline std::vector<std::u16string> LinesOf(const platform::TStringList& aList) {
  std::vector<std::u16string> r;
  for (int i = 0; i < aList.Count(); ++i) r.push_back(aList[i]);
  return r;
}

}  // namespace revurov::testing
