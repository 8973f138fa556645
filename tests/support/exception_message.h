// The message of the exception of type E that a call raises, for tests that
// compare whole messages; a call that raises nothing gives "(no exception)".
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace revurov::testing {

template <class E, class F>
std::u16string MessageOf(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const E& e) {
    return e.Message();
  }
  return u"(no exception)";
}

// Whether a message holds a part, for tests that check only the part that matters.
inline bool Contains(std::u16string_view aText, std::u16string_view aPart) {
  return aText.find(aPart) != std::u16string_view::npos;
}

}  // namespace revurov::testing

// Messages carry the library's frame around their text: checks the part
// that matters and shows the whole message when it is missing.
#define EXPECT_HAS_TEXT(aMessage, aText)                                                      \
  do {                                                                                        \
    const std::u16string m_ = (aMessage);                                                     \
    EXPECT_TRUE(::revurov::testing::Contains(m_, aText)) << std::string(m_.begin(), m_.end()); \
  } while (false)
