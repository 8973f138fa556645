// TGUID: the 16-byte identifier of interfaces and of objects that must be
// told apart across processes.
//
// Contract:
// - Fields D1, D2, D3, D4 as the runtime lays them out; on the wire and on
//   disk the 16 bytes are D1, D2, D3 little-endian, then D4 as it stands
//   (GUIDToBytes / GUIDFromBytes).
// - Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case hex
//   digits; StringToGUID accepts either case and raises EConvertError for
//   anything else.
// - CreateGUID gives a random GUID of version 4 (RFC 4122 variant) from the
//   kernel's random source; it raises EOSError when that source fails.
// - nxGuid("{...}") parses a literal at compile time (interface ids).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace revurov::platform {

struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};

  friend constexpr bool operator==(const TGUID& a, const TGUID& b) noexcept {
    if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.D4[i] != b.D4[i]) return false;
    return true;
  }
};
static_assert(sizeof(TGUID) == 16);

constexpr TGUID GUID_NULL{};

namespace guid_detail {
constexpr int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
// Position in the text of each of the 16 bytes' two digits, in field order.
constexpr int kBytePos[16] = {1, 3, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 29, 31, 33, 35};
// False (and g untouched) when text is not the 38-character form.
template <typename Char>
constexpr bool Parse(std::basic_string_view<Char> text, TGUID& g) noexcept {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return false;
  uint8_t b[16] = {};
  for (int i = 0; i < 16; ++i) {
    const Char hi = text[kBytePos[i]], lo = text[kBytePos[i] + 1];
    if (hi > 0x7F || lo > 0x7F) return false;
    const int h = HexDigit(char(hi)), l = HexDigit(char(lo));
    if (h < 0 || l < 0) return false;
    b[i] = uint8_t(h * 16 + l);
  }
  g.D1 = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  g.D2 = uint16_t(b[4] << 8 | b[5]);
  g.D3 = uint16_t(b[6] << 8 | b[7]);
  for (int i = 0; i < 8; ++i) g.D4[i] = b[8 + i];
  return true;
}
}  // namespace guid_detail

// A GUID literal; a malformed one fails to compile.
consteval TGUID nxGuid(const char* text) {
  TGUID g;
  if (!guid_detail::Parse(std::string_view(text), g)) throw "malformed GUID literal";
  return g;
}

std::u16string GUIDToString(const TGUID& g);
TGUID StringToGUID(std::u16string_view text);  // raises EConvertError
bool TryStringToGUID(std::u16string_view text, TGUID& g) noexcept;
TGUID CreateGUID();

void GUIDToBytes(const TGUID& g, uint8_t out[16]) noexcept;
TGUID GUIDFromBytes(const uint8_t in[16]) noexcept;

}  // namespace revurov::platform
