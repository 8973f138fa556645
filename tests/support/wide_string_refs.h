// Counted references to freshly created wide-string transformers and
// comparers, as the string lists and fulltext code take them.
#pragma once

#include <utility>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/wide_strings/wide_string_transform.h"

namespace revurov::testing {

template <class T, class... A>
InxWideStringTransformerRef Transformer(A&&... args) {
  return InxWideStringTransformerRef(nxCreate<T>(std::forward<A>(args)...));
}
template <class T, class... A>
InxWideStringComparerRef Comparer(A&&... args) {
  return InxWideStringComparerRef(nxCreate<T>(std::forward<A>(args)...));
}

}  // namespace revurov::testing
