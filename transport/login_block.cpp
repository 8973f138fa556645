#include "transport/login_block.h"

#include <algorithm>

#include "platform/endian.h"
#include "platform/text.h"

namespace revurov {

std::string nxUtf8Prefix(std::u16string_view aText, size_t aMax) {
  std::string bytes = platform::Utf16ToUtf8(aText);
  if (bytes.size() <= aMax) return bytes;
  size_t cut = aMax;
  // The byte at the cut belongs to the character being cut when it
  // continues a sequence; leave that character out whole.
  while (cut > 0 && (static_cast<uint8_t>(bytes[cut]) & 0xC0) == 0x80) --cut;
  bytes.resize(cut);
  return bytes;
}

namespace {

void StoreText(uint8_t* aField, std::u16string_view aText) {
  const std::string bytes = nxUtf8Prefix(aText, nxLoginTextMax);
  aField[0] = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), aField + 1);
}

}  // namespace

TnxLoginBlock nxBuildLoginBlock(std::u16string_view aUserName, std::u16string_view aPassword, int32_t aTimeout,
                                int32_t aClientVersion) {
  TnxLoginBlock block{};
  StoreText(block.data() + nxLoginNameOffset, aUserName);
  StoreText(block.data() + nxLoginPasswordOffset, aPassword);
  platform::StoreU32(block.data() + nxLoginTimeoutOffset, static_cast<uint32_t>(aTimeout));
  platform::StoreU32(block.data() + nxLoginClientVersionOffset, static_cast<uint32_t>(aClientVersion));
  return block;
}

}  // namespace revurov
