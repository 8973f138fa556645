// The 32-byte header in front of every transport message, the message types
// and the check that every received header passes before anything is sized
// or read from its numbers.
//
// Contract:
// - The header travels little-endian, field by field (nxStoreHeader,
//   nxLoadHeader); the struct is its in-memory form only.
// - Every medium hands each received header to nxCheckHeader before it
//   reserves or reads anything for the rest of the message; a header that
//   fails leaves the connection out of step and is answered by dropping it
//   (a client also gives its requester 11276).
// - nxMaxMessageSize is the one limit for bhLength and bhUncompressedSize,
//   on sending and receiving alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lowlevel/sync/thread_priority.h"

namespace revurov {

using TnxTransportID = uint32_t;
using TnxSessionID = uint32_t;
using TnxMsgID = uint32_t;

// Bits of bhFlags (a set of TnxMessageHeaderFlag); the reserved ones are sent 0.
enum TnxMessageHeaderFlag : uint8_t {
  mhfErrorMessage = 1u << 0,
  mhfErrorMessageIsUnicode = 1u << 1,
  mhfReserved2 = 1u << 2,
  mhfReserved3 = 1u << 3,
  mhfReserved4 = 1u << 4,
  mhfReserved5 = 1u << 5,
  mhfReserved6 = 1u << 6,
  mhfReserved7 = 1u << 7,
};
using TnxMessageHeaderFlags = uint8_t;

// bhMsgType values.
inline constexpr uint8_t nxmtRequest = 1;
inline constexpr uint8_t nxmtReply = 2;
inline constexpr uint8_t nxmtPost = 3;
inline constexpr uint8_t nxmtOpenTransport = 10;
inline constexpr uint8_t nxmtTransportReply = 11;
inline constexpr uint8_t nxmtAttachTransport = 12;
inline constexpr uint8_t nxmtLogin = 20;
inline constexpr uint8_t nxmtLoginReply = 21;
inline constexpr uint8_t nxmtTerminateSession = 22;
inline constexpr uint8_t nxmtDisconnect = 23;
inline constexpr uint8_t nxmtRegisterCallback = 30;
inline constexpr uint8_t nxmtCallbackRegistered = 31;
inline constexpr uint8_t nxmtKeepAlive = 254;
inline constexpr uint8_t nxmtError = 255;

// bhTransportID of a request a server sends over a callback connection.
inline constexpr TnxTransportID nxCallbackTransportID = 0xFFFFFFFFu;
// bhVersion that clients write; servers refuse nxFirstUnknownMessageVersion and above.
inline constexpr uint8_t nxClientMessageVersion = 2;
inline constexpr uint8_t nxFirstUnknownMessageVersion = 3;
// Size of the login block, the payload of type 20.
inline constexpr size_t nxLoginBlockSize = 536;

inline constexpr uint32_t nxHeaderSize = 32;
// The largest message (bhLength) and the largest decompressed payload
// (bhUncompressedSize) that a sender builds or a receiver accepts. Far above
// what one request or reply of the engine carries, and low enough that a
// forged length cannot make a receiver reserve gigabytes.
inline constexpr uint32_t nxMaxMessageSize = 256u * 1024 * 1024;

struct TnxBaseHeader {
  TnxTransportID bhTransportID = 0;
  TnxSessionID bhSessionID = 0;
  uint8_t bhVersion = 0;
  TnxThreadPriority bhThreadPriority = 0;
  TnxMessageHeaderFlags bhFlags = 0;
  uint8_t bhReserved3 = 0;
  TnxMsgID bhMsgID = 0;
  uint32_t bhLength = 0;
  uint32_t bhParts = 0;
  uint16_t bhErrorCode = 0;
  uint8_t bhMsgType = 0;
  uint8_t bhCompressType = 0;
  uint32_t bhUncompressedSize = 0;

  bool operator==(const TnxBaseHeader&) const = default;
};

// aOut and aIn hold at least nxHeaderSize bytes.
void nxStoreHeader(const TnxBaseHeader& aHeader, void* aOut) noexcept;
TnxBaseHeader nxLoadHeader(const void* aIn) noexcept;

// 0 when nxHeaderSize <= bhLength <= nxMaxMessageSize and bhUncompressedSize
// <= nxMaxMessageSize; otherwise 11276 (the message is broken and its length
// cannot be trusted to find the next one).
uint32_t nxCheckHeader(const TnxBaseHeader& aHeader) noexcept;

}  // namespace revurov
