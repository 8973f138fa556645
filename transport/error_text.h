// The error-text segment: the text of a reply's error, sent behind the
// header when the flag mhfErrorMessage says so.
//
// Layout: u32 character count N, then N UTF-16LE code units
// (mhfErrorMessageIsUnicode) or N single-byte characters in the system's
// ANSI code page. Senders write the UTF-16 form in version 2 and above, the
// single-byte form in version 1, nothing in version 0; receivers read both.
//
// The text travels through the thread's last converted exception: a sender
// takes it from there and clears it, a receiver puts the peer's text there
// so that the exception later raised for the code shows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "transport/wire_header.h"

namespace revurov {

class TnxErrorTextSegment {
public:
  // For a message of aVersion with result aResultCode: the thread's last
  // converted exception when its code is aResultCode and its text is not
  // empty; otherwise no segment. Never a segment for result 0 or version 0.
  static TnxErrorTextSegment ForSending(uint32_t aResultCode, uint8_t aVersion);
  // Once the message is built: a text that went out is cleared from the
  // thread's record (code 0, no text); without segment the record stays.
  void Sent() const;

  // The flags the segment needs in bhFlags; 0 without segment.
  TnxMessageHeaderFlags Flags() const noexcept { return etFlags; }
  // Bytes on the wire; 0 without segment.
  size_t Size() const noexcept;
  // Writes Size() bytes.
  void Write(uint8_t* aOut) const noexcept;

private:
  TnxMessageHeaderFlags etFlags = 0;
  std::u16string etText;  // the UTF-16 form
  std::string etBytes;    // the single-byte form
};

// Where a segment lies in received bytes.
struct TnxErrorTextSpan {
  std::span<const uint8_t> etsChars;  // the characters, without the count
  bool etsUnicode = false;
  size_t etsSize = 0;  // the whole segment, count included
};

// Reads the segment at the front of aData without trusting its count: false
// when fewer than 4 bytes are there or fewer than the count announces.
bool nxFindErrorText(std::span<const uint8_t> aData, bool aUnicode, TnxErrorTextSpan& aText) noexcept;
// The text of a segment found by nxFindErrorText.
std::u16string nxErrorTextOf(const TnxErrorTextSpan& aText);

}  // namespace revurov
