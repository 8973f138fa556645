#include "lowlevel/wide_strings/utils_identifier.h"

#include <array>
#include <string_view>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

namespace {
// space ! # $ % & ( ) + - . 0-9 @ A-Z [ ] ^ _ a-z { } ~: a table, since
// every name that crosses the wire is checked character by character.
constexpr std::array<bool, 128> kIdentifierChars = [] {
  std::array<bool, 128> table{};
  for (char c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = true;
  for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = true;
  for (char c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = true;
  for (char c : std::string_view(" !#$%&()+-.@[]^_{}~")) table[static_cast<size_t>(c)] = true;
  return table;
}();

bool IsIdentifierChar(char16_t c) { return c < 128 && kIdentifierChars[c]; }

uint32_t Fail(uint32_t code, std::u16string_view detail) {
  return EnxBaseException::nxSetMessage(code, nxOriginalMessageTag() + std::u16string(detail));
}
}  // namespace

uint32_t nxCheckIdentifier(std::u16string_view aName, uint32_t aErrorCode, bool aAllowEmpty,
                           bool aAllowReserved) {
  if (aName.empty()) return aAllowEmpty ? 0 : Fail(aErrorCode, u" Empty string is not allowed.");
  if (aName.front() == u' ' || aName.back() == u' ')
    return Fail(aErrorCode, u" Leading/trailing spaces are not allowed.");
  if (aName.size() > nxMaxIdentifierLength)
    return Fail(aErrorCode, u" Maximum length of 128 characters has been exceeded.");
  for (char16_t c : aName)
    if (!IsIdentifierChar(c))
      return Fail(aErrorCode, u" \"" + std::u16string(1, c) + u"\" is not a valid character.");
  if (aName.front() == u'$' && !aAllowReserved) return Fail(aErrorCode, u" Reserved Identifier not allowed.");
  return 0;
}

}  // namespace revurov
