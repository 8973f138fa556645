// A component without owner, named as given; the test frees it.
#pragma once

#include <string>
#include <utility>

namespace revurov::testing {

template <class T>
T* Make(std::u16string aName) {
  auto* c = new T(nullptr);
  c->SetName(std::move(aName));
  return c;
}

}  // namespace revurov::testing
