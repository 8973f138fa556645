// The message cipher: a Blowfish-variant block cipher in a chained mode whose
// output is XORed with an RC4 key stream, with an 8-byte check value per
// message; the RC4 generator; and a process-wide instance with a random key
// that serves as the source of random initialisation vectors and salts.
//
// Contract:
// - One message is: IV setup (RandomIV or ResetIV), Encode or Decode of all
//   data in one or more calls of multiples of 8 bytes, then Final. The
//   receiver compares its own Final with the one received.
// - The block cipher is Blowfish with every word taken least significant
//   byte first, including the bytes F feeds into the S-boxes; it is not
//   interchangeable with standard Blowfish.
// - A cipher object serves one thread at a time. The process-wide instance
//   is created once under a lock and only read afterwards, so any number of
//   threads may draw random data from it at once.
// - Key material (tables, RC4 states, keys) is zero-filled before release.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/cipher/base_cipher.h"

namespace revurov {

class TnxRC4 : public TnxObject {
public:
  // An empty key gives the identity state.
  explicit TnxRC4(std::string_view aKey = {}) { SetKeys(aKey); }
  ~TnxRC4() override;

  void SetKeys(std::string_view aKey) { SetKeys(aKey.data(), static_cast<uint32_t>(aKey.size())); }
  void SetKeys(const void* aKey, uint32_t aKeyLen);
  // Restarts from the keyed state and runs the key schedule with aInitCode.
  void Reset(const uint8_t (&aInitCode)[256]);
  // The key schedule over the current state with a key of 1 to 256 bytes
  // repeated to 256; then the output starts anew.
  void Schedule(const uint8_t* aKey, uint32_t aKeyLen) noexcept;

  // The next four output bytes, the first in bits 0 to 7.
  uint32_t KeyStream() noexcept {
    uint32_t result = 0;
    uint8_t i = rcI, j = rcJ;
    for (int n = 0; n < 4; ++n) {
      i = static_cast<uint8_t>(i + 1);
      const uint8_t a = rcK[i];
      j = static_cast<uint8_t>(j + a);
      const uint8_t b = rcK[j];
      rcK[i] = b;
      rcK[j] = a;
      result |= static_cast<uint32_t>(rcK[static_cast<uint8_t>(a + b)]) << (8 * n);
    }
    rcI = i;
    rcJ = j;
    return result;
  }

private:
  uint8_t rcK[256] = {};
  uint8_t rcOrgK[256] = {};
  uint8_t rcI = 0;
  uint8_t rcJ = 0;
};

struct TnxBlowfishBlock {
  uint32_t Xl = 0;
  uint32_t Xr = 0;
};

// The class-level operations of TnxBlowFishRC4; a derived cipher class
// derives its record from this one and overrides Create.
class TnxBlowFishRC4Class : public TnxBaseCipherClass {
public:
  using TnxBaseCipherClass::TnxBaseCipherClass;

  std::unique_ptr<TnxBaseCipher> Create(std::string_view aKey) const override;
  // Alternative mode on the process-wide instance; aLen is 0 or a positive
  // multiple of 256, anything else raises.
  void EncodeAltData(void* aData, uint32_t aLen) const override;
  void DecodeAltData(void* aData, uint32_t aLen) const override;
  uint32_t BlockLength() const noexcept override { return 8; }
  uint32_t AltPriority() const noexcept override { return 0; }
  void GetRandomBlock(void* aData) const override;
  std::string_view KeyWrapName() const noexcept override { return "BlowfishRC4"; }
  uint32_t KeyWrapPriority() const noexcept override { return 1; }
  // A 48-byte key: the compressed salt, label and password, 16 bytes each.
  std::unique_ptr<TnxBaseCipher> DeriveKey(const void* aPwd, uint32_t aPwdLen, const void* aSalt,
                                           uint32_t aSaltLen, std::string_view aLabel) const override;
};

class TnxBlowFishRC4 : public TnxBaseCipher {
public:
  static const TnxBlowFishRC4Class& ClassInfo() noexcept;
  const TnxBaseCipherClass& ClassType() const noexcept override { return ClassInfo(); }

  // The block cipher is expanded from aKey (a single blank when empty), the
  // RC4 generator is keyed with aKey unchanged. Until the first IV setup
  // the chaining value is (0, 0) and the generator runs from its key.
  explicit TnxBlowFishRC4(std::string_view aKey);
  ~TnxBlowFishRC4() override;

  void SetKeys(std::string_view aKey) override;
  // The IV as 8 bytes: IVl, then IVr, little-endian.
  void RandomIVBlock(void* aIV) override;
  void ResetIVBlock(const void* aIV) override;
  // aLen is a multiple of 8; any other length raises before anything changes.
  void Encode(void* aData, uint32_t aLen) override;
  void Decode(void* aData, uint32_t aLen) override;
  void Final(void* aMac) override;

  // Class-level: 8 random bytes.
  static void GetRandom64(void* aData);
  // Draws a fresh IV, sets it up and returns it for the peer.
  void RandomIV(uint32_t& IVl, uint32_t& IVr);
  void ResetIV(uint32_t IVl, uint32_t IVr);

  // True after Final until the next IV setup.
  bool MustReset() const noexcept { return bfMustReset; }

  void EncipherBlock(uint32_t& L, uint32_t& R) const noexcept;
  void DecipherBlock(uint32_t& L, uint32_t& R) const noexcept;

  // The alternative mode with this object's key (the class-level operations
  // run it on the process-wide instance). aLen is a positive multiple of 256.
  void AltEncode(void* aData, uint32_t aLen) const;
  void AltDecode(void* aData, uint32_t aLen) const;

private:
  void ExpandKey() noexcept;
  void SetupIV(uint32_t IVl, uint32_t IVr);
  // N independent blocks at once, interleaved so that their rounds overlap.
  template <int N>
  void EncipherBlocks(uint32_t (&L)[N], uint32_t (&R)[N]) const noexcept;
  template <int N>
  void DecipherBlocks(uint32_t (&L)[N], uint32_t (&R)[N]) const noexcept;
  void EncipherChunk(uint8_t* aChunk) const noexcept;
  void DecipherChunk(uint8_t* aChunk) const noexcept;
  uint32_t F(uint32_t x) const noexcept {
    return ((bfS[0][x & 0xFF] + bfS[1][(x >> 8) & 0xFF]) ^ bfS[2][(x >> 16) & 0xFF]) +
           bfS[3][x >> 24];
  }

  std::string bfKey;
  uint32_t bfP[18] = {};
  uint32_t bfS[4][256] = {};
  TnxRC4 bfRC4;
  TnxBlowfishBlock bfChk;
  TnxBlowfishBlock bfKSF;
  bool bfMustReset = false;
  uint32_t bfIVl = 0;
  uint32_t bfIVr = 0;
};

// The process-wide instance, created with a random key on first use.
TnxBlowFishRC4& nxSharedBlowFishRC4();
// Replaces the process-wide instance by one with a fresh random key.
void nxCreateSharedBlowFishRC4();

// Reference-counted start-up and shut-down: registers TnxBlowFishRC4 for the
// alternative mode and as key-wrap class "BlowfishRC4"; the last shut-down
// frees the process-wide instance and removes both registrations.
void nxBlowfishRC4Startup();
void nxBlowfishRC4Shutdown();

}  // namespace revurov
