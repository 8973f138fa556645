#include "platform/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/endian.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

std::u16string GUIDToString(const TGUID& g) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  uint8_t b[16];
  b[0] = uint8_t(g.D1 >> 24), b[1] = uint8_t(g.D1 >> 16), b[2] = uint8_t(g.D1 >> 8), b[3] = uint8_t(g.D1);
  b[4] = uint8_t(g.D2 >> 8), b[5] = uint8_t(g.D2), b[6] = uint8_t(g.D3 >> 8), b[7] = uint8_t(g.D3);
  std::memcpy(b + 8, g.D4, 8);
  std::u16string s(38, u'-');
  s[0] = u'{';
  s[37] = u'}';
  for (int i = 0; i < 16; ++i) {
    s[guid_detail::kBytePos[i]] = kHex[b[i] >> 4];
    s[guid_detail::kBytePos[i] + 1] = kHex[b[i] & 15];
  }
  return s;
}

bool TryStringToGUID(std::u16string_view text, TGUID& g) noexcept { return guid_detail::Parse(text, g); }

TGUID StringToGUID(std::u16string_view text) {
  TGUID g;
  if (!guid_detail::Parse(text, g)) throw EConvertError(u"'" + std::u16string(text) + u"' is not a valid GUID value");
  return g;
}

TGUID CreateGUID() {
  uint8_t b[16];
  std::size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      const uint32_t error = uint32_t(errno);
      throw EOSError(u"CreateGUID/getrandom: " + SysErrorMessage(error), error);
    }
    got += std::size_t(n);
  }
  TGUID g = GUIDFromBytes(b);
  g.D3 = uint16_t((g.D3 & 0x0FFF) | 0x4000);  // version 4
  g.D4[0] = uint8_t((g.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

void GUIDToBytes(const TGUID& g, uint8_t out[16]) noexcept {
  StoreU32(out, g.D1);
  StoreU16(out + 4, g.D2);
  StoreU16(out + 6, g.D3);
  std::memcpy(out + 8, g.D4, 8);
}

TGUID GUIDFromBytes(const uint8_t in[16]) noexcept {
  TGUID g;
  g.D1 = LoadU32(in);
  g.D2 = LoadU16(in + 4);
  g.D3 = LoadU16(in + 6);
  std::memcpy(g.D4, in + 8, 8);
  return g;
}

}  // namespace revurov::platform
