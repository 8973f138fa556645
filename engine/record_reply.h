// The replies of the remote cursor's record reads, checked against their
// code before anything in them is used.
//
// Contract:
// - Code 0: the record (the length asked, or the table's whole record),
//   possibly followed by a blob trailer that ends exactly at the reply's
//   end. Code 3: the record asked and the 16-byte cache info of an
//   outdated version, possibly followed by a trailer. Code 2: 16 bytes of
//   cache info (and possibly a trailer). 0x22F0-0x22FF: 16 bytes, the
//   answer being 0x2200-0x220F. Anything else is passed on as it is.
// - A reply that does not fit its code gives 15522; no byte outside the
//   reply is read.
// - A trailer's counts and lengths are checked before any entry is read.
#pragma once

#include <cstdint>
#include <span>

namespace revurov {

// Code 2, well formed: the server holds the record named by the reply's
// 16 bytes as current.
inline constexpr uint32_t nxRecordReplyCacheValid = 2;
inline constexpr uint32_t nxRecordReplyCacheInvalid = 3;
inline constexpr uint32_t nxRecordCacheInfoSize = 16;

// "BLBS", count, record ID; then per blob "BLOB", field, blob number,
// length and data. aBlobFields: the table's blob field numbers.
bool nxCheckBlobTrailer(const uint8_t* aTrailer, uint32_t aLen, std::span<const int32_t> aBlobFields) noexcept;

// The read's result; aRecordLen gets the record bytes at the reply's start
// (0 without a record). aAsked: the length the request asked (0 = none);
// aRecordLength: the table's record length.
uint32_t nxDecodeRecordReply(uint32_t aCode, const uint8_t* aReply, int32_t aLen, uint32_t aAsked,
                             uint32_t aRecordLength, std::span<const int32_t> aBlobFields,
                             uint32_t& aRecordLen) noexcept;

}  // namespace revurov
