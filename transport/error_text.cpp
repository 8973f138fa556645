#include "transport/error_text.h"

#include <cstring>

#include "lowlevel/errors/exceptions.h"
#include "platform/code_page.h"
#include "platform/endian.h"

namespace revurov {

TnxErrorTextSegment TnxErrorTextSegment::ForSending(uint32_t aResultCode, uint8_t aVersion) {
  TnxErrorTextSegment segment;
  if (aResultCode == 0 || aVersion == 0) return segment;
  uint32_t code;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(code, text);
  // A text recorded for another error belongs to that one; it stays.
  if (code != aResultCode || text.empty()) return segment;
  if (aVersion >= 2) {
    segment.etFlags = mhfErrorMessage | mhfErrorMessageIsUnicode;
    segment.etText = std::move(text);
  } else {
    segment.etFlags = mhfErrorMessage;
    segment.etBytes = platform::UnicodeToCodePageLossy(text, platform::SystemAnsiCodePage());
  }
  return segment;
}

void TnxErrorTextSegment::Sent() const {
  if (etFlags) EnxBaseException::SetLastConvertedException(0, u"");
}

size_t TnxErrorTextSegment::Size() const noexcept {
  if (!etFlags) return 0;
  return 4 + (etFlags & mhfErrorMessageIsUnicode ? etText.size() * 2 : etBytes.size());
}

void TnxErrorTextSegment::Write(uint8_t* aOut) const noexcept {
  if (!etFlags) return;
  if (etFlags & mhfErrorMessageIsUnicode) {
    platform::StoreU32(aOut, static_cast<uint32_t>(etText.size()));
    for (size_t i = 0; i < etText.size(); ++i)
      platform::StoreU16(aOut + 4 + i * 2, static_cast<uint16_t>(etText[i]));
  } else {
    platform::StoreU32(aOut, static_cast<uint32_t>(etBytes.size()));
    std::memcpy(aOut + 4, etBytes.data(), etBytes.size());
  }
}

bool nxFindErrorText(std::span<const uint8_t> aData, bool aUnicode, TnxErrorTextSpan& aText) noexcept {
  if (aData.size() < 4) return false;
  // 64-bit: a count of $80000000 UTF-16 characters must not wrap to 0 bytes.
  const uint64_t bytes = uint64_t{platform::LoadU32(aData.data())} * (aUnicode ? 2 : 1);
  if (bytes > aData.size() - 4) return false;
  aText.etsChars = aData.subspan(4, static_cast<size_t>(bytes));
  aText.etsUnicode = aUnicode;
  aText.etsSize = 4 + static_cast<size_t>(bytes);
  return true;
}

std::u16string nxErrorTextOf(const TnxErrorTextSpan& aText) {
  if (!aText.etsUnicode) {
    const std::string_view bytes(reinterpret_cast<const char*>(aText.etsChars.data()), aText.etsChars.size());
    return platform::CodePageToUnicode(bytes, platform::SystemAnsiCodePage());
  }
  std::u16string text(aText.etsChars.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(platform::LoadU16(aText.etsChars.data() + i * 2));
  return text;
}

}  // namespace revurov
