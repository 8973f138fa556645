// The login block: the 536-byte payload of a log-in (message type 20).
//
// Layout, little-endian:
//   0   256  user name: 1 length byte, up to 255 bytes of UTF-8, zeros after
//   256 256  password, same form
//   512 4    i32 session timeout in ms
//   516 4    i32 client version
//   520 8    initialisation vector of the message cipher (two u32 halves)
//   528 8    authentication block: the cipher's Final after bytes 0 to 519
// Bytes 0 to 519 travel enciphered, 520 to 535 in the clear.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "transport/wire_header.h"

namespace revurov {

inline constexpr size_t nxLoginNameOffset = 0;
inline constexpr size_t nxLoginPasswordOffset = 256;
inline constexpr size_t nxLoginTimeoutOffset = 512;
inline constexpr size_t nxLoginClientVersionOffset = 516;
inline constexpr size_t nxLoginIVOffset = 520;
inline constexpr size_t nxLoginAuthOffset = 528;
// Bytes 0 up to here are enciphered.
inline constexpr size_t nxLoginEncipheredSize = nxLoginIVOffset;
// The longest text a field holds, in UTF-8 bytes.
inline constexpr size_t nxLoginTextMax = 255;

using TnxLoginBlock = std::array<uint8_t, nxLoginBlockSize>;

// aText as UTF-8, cut to at most aMax bytes at a character boundary: a
// sequence that would not fit whole is left out rather than split.
std::string nxUtf8Prefix(std::u16string_view aText, size_t aMax);

// The clear block without vector and authentication (left zero). Every byte
// behind a text is zero, so nothing of the client's memory travels.
TnxLoginBlock nxBuildLoginBlock(std::u16string_view aUserName, std::u16string_view aPassword, int32_t aTimeout,
                                int32_t aClientVersion);

}  // namespace revurov
