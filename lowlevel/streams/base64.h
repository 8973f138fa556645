// Base64 with the RFC 4648 alphabet and "=" padding, on 8-bit strings. The
// library uses it to carry binary data (exception data) inside message texts.
#pragma once

#include <string>
#include <string_view>

namespace revurov {

// Standard padded Base64, except that the empty input encodes as "A===" so
// that every encoding has at least one group.
std::string StrToBase64(std::string_view aData);

// The reverse of StrToBase64 (any final group with one to three "=" is
// accepted). Raises platform::Exception "Base64ToStr: illegal input length!"
// when the length is not a positive multiple of 4, and "Base64ToStr: illegal
// input character!" for a character outside the alphabet, a "=" that is not
// part of the final padding, or more than three "=".
std::string Base64ToStr(std::string_view aText);

}  // namespace revurov
