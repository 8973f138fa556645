// An encryption engine double that keeps file checksums ("TestSum"): it
// codes nothing and counts the blocks and cookies a check adds up.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/encryption_engine.h"

namespace revurov::testing {

// Keeps an 8-byte table checksum: the XOR of a hash of every stored block
// (the block number mixed in). A block's cookie is its stored hash, so a
// rewrite takes the old hash out again.
inline uint64_t BlockHash(const uint8_t* aData, uint32_t aLen, uint32_t aBlock) {
  uint64_t h = 1469598103934665603ull ^ aBlock;
  for (uint32_t i = 0; i < aLen; ++i) h = (h ^ aData[i]) * 1099511628211ull;
  return h;
}
inline void XorInto(std::vector<uint8_t>& aSum, uint64_t aValue) {
  aSum.resize(8, 0);
  for (int i = 0; i < 8; ++i) aSum[size_t(i)] ^= uint8_t(aValue >> (8 * i));
}
inline uint64_t FromCookie(const std::vector<uint8_t>& aCookie) {
  uint64_t v = 0;
  if (aCookie.size() == 8) std::memcpy(&v, aCookie.data(), 8);
  return v;
}

class SumEngine final : public TnxBaseEncryptionEngine {
public:
  explicit SumEngine(const TnxBaseEncryptionEngineClass& aClass) : seClass(aClass) {}
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return seClass; }
  void CodeBlock(const void* aIn, void* aOut, uint32_t aLen, uint32_t) override {
    if (aIn != aOut) std::memmove(aOut, aIn, aLen);
  }
  void DecodeBlock(void*, uint32_t, uint32_t) override {}
  void CodeBlockEx(const void* aIn, void* aOut, uint32_t aLen, uint32_t aBlock, std::vector<uint8_t>& aCookie,
                   std::vector<uint8_t>& aChecksum) override {
    CodeBlock(aIn, aOut, aLen, aBlock);
    const uint64_t h = BlockHash(static_cast<const uint8_t*>(aOut), aLen, aBlock);
    if (aCookie.size() == 8) XorInto(aChecksum, FromCookie(aCookie));
    XorInto(aChecksum, h);
    aCookie.assign(8, 0);
    std::memcpy(aCookie.data(), &h, 8);
  }
  void DecodeBlockEx(void* aBlock, uint32_t aLen, uint32_t aNumber, std::vector<uint8_t>& aCookie) override {
    const uint64_t h = BlockHash(static_cast<const uint8_t*>(aBlock), aLen, aNumber);
    aCookie.assign(8, 0);
    std::memcpy(aCookie.data(), &h, 8);
  }

private:
  const TnxBaseEncryptionEngineClass& seClass;
};

class SumEngineClass final : public TnxBaseEncryptionEngineClass {
public:
  SumEngineClass() : TnxBaseEncryptionEngineClass(u"TestSum", &TnxBaseEncryptionEngine::ClassInfo()) {}
  TnxEncryptionEnginePtr Create(std::u16string_view, bool, bool, uint8_t*, const TnxUnicodeStrings&) const override {
    return TnxEncryptionEnginePtr(new SumEngine(*this));
  }
  uint32_t beeChecksumSize() const noexcept override { return 8; }
  void beeAddChecksumForBlock(const void* aBlock, uint32_t aLen, uint32_t aNumber,
                              std::vector<uint8_t>& aSum) const override {
    ++Walked;
    XorInto(aSum, BlockHash(static_cast<const uint8_t*>(aBlock), aLen, aNumber));
  }
  void beeAddChecksumForCookie(const std::vector<uint8_t>& aCookie, uint32_t,
                               std::vector<uint8_t>& aSum) const override {
    ++Walked;
    XorInto(aSum, FromCookie(aCookie));
  }
  mutable std::atomic<int> Walked{0};
};

}  // namespace revurov::testing
