// Reads stored fulltext token indices back for tests, from the key layouts
// alone (16-bit words, little-endian; L = the key's maximum token size):
//
//   bit-array key:  segment, n, L token units, [field]   RefNr = BLOB number
//   main-index key: n, L token units, [32-bit location]  RefNr = the record
//
// and the bit-array BLOB format (a 32-bit count of set bits, then bit k in
// bit k mod 8 of byte 4 + k div 8). Reverse keys hold the token backwards
// (a surrogate pair kept in order); ReadBitArrays turns them round.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "index/index_engines.h"
#include "index/index_path.h"
#include "platform/endian.h"
#include "storage/blob_engines.h"
#include "support/string_stream.h"

namespace revurov::testing {

struct TBitArrayEntry {
  uint16_t Segment = 0;
  std::u16string Token;
  int16_t Field = -1;  // -1 also for keys without a field word
  int64_t Ref = 0;
  std::set<uint32_t> Bits;
  uint32_t StoredCount = 0;
  bool Readable = false;  // length and bytes read, at least the count there
};

struct TMainIndexEntry {
  std::u16string Token;
  uint32_t Location = 0;
  TnxRefNr RefNr = 0;
  auto operator<=>(const TMainIndexEntry&) const = default;
};

inline std::u16string UnreverseToken(const std::u16string& aStored) {
  std::u16string out(aStored.rbegin(), aStored.rend());
  // A pair written in order lands backwards once the whole is turned round.
  for (size_t i = 0; i + 1 < out.size(); ++i)
    if (out[i] >= 0xDC00 && out[i] <= 0xDFFF && out[i + 1] >= 0xD800 && out[i + 1] <= 0xDBFF) {
      std::swap(out[i], out[i + 1]);
      ++i;
    }
  return out;
}

template <class F>
void EachKey(TnxBaseIndexEngine& aIndex, TnxBaseTransaction* aTrans, F aStep) {
  auto path = aIndex.CreateIndexPath();
  path->SetToBof();
  // Bounded: an index never holds more keys than this in a test.
  for (int i = 0; i < 10000000 && aIndex.NextKey(aTrans, *path, nullptr); ++i) aStep(path->KeyBuffer(), path->RefNr);
}

inline std::u16string TokenAt(const uint8_t* aKey, size_t aLengthAt, int32_t aMax) {
  const uint16_t n = platform::LoadLE<uint16_t>(aKey + aLengthAt);
  std::u16string token(std::min<int32_t>(n, aMax), u'\0');
  for (size_t i = 0; i < token.size(); ++i) token[i] = platform::LoadLE<uint16_t>(aKey + aLengthAt + 2 + 2 * i);
  return token;
}

inline std::vector<TBitArrayEntry> ReadBitArrays(TnxBaseIndexEngine& aIndex, TnxBaseBlobEngine& aBlobs,
                                                 TnxBaseTransaction* aTrans, int32_t aMaxTokenSize,
                                                 bool aReverse = false) {
  const size_t keyLength = aIndex.KeyEngine().KeyLength();
  const bool withField = keyLength >= 4 + 2 * size_t(aMaxTokenSize) + 2;
  std::vector<TBitArrayEntry> entries;
  EachKey(aIndex, aTrans, [&](const uint8_t* aKey, TnxRefNr aRef) {
    TBitArrayEntry e;
    e.Segment = platform::LoadLE<uint16_t>(aKey);
    e.Token = TokenAt(aKey, 2, aMaxTokenSize);
    if (aReverse) e.Token = UnreverseToken(e.Token);
    if (withField) e.Field = int16_t(platform::LoadLE<uint16_t>(aKey + 4 + 2 * size_t(aMaxTokenSize)));
    e.Ref = aRef;
    uint32_t length = 0;
    TStringStream bytes;
    if (aBlobs.GetBlobLength(aTrans, aRef, {}, length) == 0 &&
        aBlobs.Read(aTrans, aRef, 0, length, {}, bytes) == 0 && bytes.Bytes.size() == length && length >= 4) {
      e.Readable = true;
      e.StoredCount = platform::LoadLE<uint32_t>(reinterpret_cast<const uint8_t*>(bytes.Bytes.data()));
      for (size_t i = 4; i < length; ++i)
        for (uint32_t b = 0; b < 8; ++b)
          if ((uint8_t(bytes.Bytes[i]) >> b) & 1) e.Bits.insert(uint32_t((i - 4) * 8 + b));
    }
    entries.push_back(std::move(e));
  });
  return entries;
}

// (token, field) -> the locations its location-level arrays hold.
using TTokenLocations = std::map<std::pair<std::u16string, int16_t>, std::set<uint32_t>>;

inline TTokenLocations LocationsOf(const std::vector<TBitArrayEntry>& aEntries) {
  TTokenLocations out;
  for (const TBitArrayEntry& e : aEntries) {
    if (e.Segment == 65535) continue;
    auto& set = out[{e.Token, e.Field}];
    for (uint32_t bit : e.Bits) set.insert((uint32_t(e.Segment) << 19) | bit);
  }
  return out;
}

// (token, field) -> the segments its segment-level array holds.
inline TTokenLocations SegmentsOf(const std::vector<TBitArrayEntry>& aEntries) {
  TTokenLocations out;
  for (const TBitArrayEntry& e : aEntries)
    if (e.Segment == 65535) out[{e.Token, e.Field}].insert(e.Bits.begin(), e.Bits.end());
  return out;
}

inline std::vector<TMainIndexEntry> ReadMainIndexKeys(TnxBaseIndexEngine& aIndex, TnxBaseTransaction* aTrans,
                                                      int32_t aMaxTokenSize, bool aWithLocation) {
  const size_t keyLength = aIndex.KeyEngine().KeyLength();
  std::vector<TMainIndexEntry> entries;
  EachKey(aIndex, aTrans, [&](const uint8_t* aKey, TnxRefNr aRefNr) {
    TMainIndexEntry e;
    e.Token = TokenAt(aKey, 0, aMaxTokenSize);
    if (aWithLocation) e.Location = platform::LoadLE<uint32_t>(aKey + keyLength - 4);
    e.RefNr = aRefNr;
    entries.push_back(std::move(e));
  });
  return entries;
}

}  // namespace revurov::testing
