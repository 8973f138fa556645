#include "lowlevel/cipher/blowfish_rc4.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "lowlevel/cipher/blowfish_tables.h"
#include "lowlevel/sync/unit_table.h"
#include "platform/endian.h"
#include "platform/random.h"
#include "platform/secure_zero.h"

namespace revurov {

using platform::LoadU32;
using platform::StoreU32;

namespace {

std::atomic<int> gStartups{0};
std::atomic<TnxBlowFishRC4*> gShared{nullptr};
std::mutex gSharedCreate;

void CheckBlockMultiple(uint32_t aLen) {
  if (aLen % 8 != 0)
    throw EnxBaseCipherException(u"Cipher data length %u is not a multiple of the block length 8",
                                 {aLen});
}

void CheckAltLength(uint32_t aLen) {
  if (aLen % 256 != 0)
    throw EnxBaseCipherException(u"Alternative mode data length %u is not a multiple of 256", {aLen});
}

void FillRandomOrRaise(void* aData, size_t aLen, std::u16string_view aContext) {
  if (!platform::FillRandom(aData, aLen)) nxRaiseLastOSError(aContext, 0);
}

void IdentityState(uint8_t (&aState)[256]) noexcept {
  for (int i = 0; i < 256; ++i) aState[i] = static_cast<uint8_t>(i);
}

// XORs aWords consecutive 32-bit words with the generator's output.
void XorKeyStream(TnxRC4& aGenerator, uint8_t* aData, size_t aWords) noexcept {
  for (size_t w = 0; w < aWords; ++w, aData += 4)
    StoreU32(aData, LoadU32(aData) ^ aGenerator.KeyStream());
}

}  // namespace

// ---- TnxRC4 ----

TnxRC4::~TnxRC4() {
  platform::SecureZero(rcK, sizeof(rcK));
  platform::SecureZero(rcOrgK, sizeof(rcOrgK));
}

void TnxRC4::SetKeys(const void* aKey, uint32_t aKeyLen) {
  IdentityState(rcOrgK);
  rcI = rcJ = 0;
  if (aKeyLen == 0) {
    IdentityState(rcK);
    return;
  }
  uint8_t buffer[256];
  const auto* key = static_cast<const uint8_t*>(aKey);
  for (uint32_t i = 0; i < 256; i += aKeyLen) std::memcpy(buffer + i, key, std::min(aKeyLen, 256 - i));
  Reset(buffer);
  std::memcpy(rcOrgK, rcK, sizeof(rcK));
  platform::SecureZero(buffer, sizeof(buffer));
}

void TnxRC4::Reset(const uint8_t (&aInitCode)[256]) {
  std::memcpy(rcK, rcOrgK, sizeof(rcK));
  Schedule(aInitCode, 256);
}

void TnxRC4::Schedule(const uint8_t* aKey, uint32_t aKeyLen) noexcept {
  uint8_t j = 0;
  for (uint32_t i = 0, k = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + rcK[i] + aKey[k]);
    std::swap(rcK[i], rcK[j]);
    if (++k == aKeyLen) k = 0;
  }
  rcI = rcJ = 0;
}

// ---- class record ----

const TnxBlowFishRC4Class& TnxBlowFishRC4::ClassInfo() noexcept {
  static const TnxBlowFishRC4Class info{u"TnxBlowFishRC4", &TnxBaseCipher::ClassInfo()};
  return info;
}

std::unique_ptr<TnxBaseCipher> TnxBlowFishRC4Class::Create(std::string_view aKey) const {
  return std::make_unique<TnxBlowFishRC4>(aKey);
}

void TnxBlowFishRC4Class::EncodeAltData(void* aData, uint32_t aLen) const {
  CheckAltLength(aLen);
  if (aLen > 0) nxSharedBlowFishRC4().AltEncode(aData, aLen);
}

void TnxBlowFishRC4Class::DecodeAltData(void* aData, uint32_t aLen) const {
  CheckAltLength(aLen);
  if (aLen > 0) nxSharedBlowFishRC4().AltDecode(aData, aLen);
}

void TnxBlowFishRC4Class::GetRandomBlock(void* aData) const { TnxBlowFishRC4::GetRandom64(aData); }

std::unique_ptr<TnxBaseCipher> TnxBlowFishRC4Class::DeriveKey(const void* aPwd, uint32_t aPwdLen,
                                                              const void* aSalt, uint32_t aSaltLen,
                                                              std::string_view aLabel) const {
  uint8_t part[16];
  char key[48];
  nxCompressKeyMaterial(aSalt, aSaltLen, *this, part);
  std::memcpy(key, part, 16);
  nxCompressKeyMaterial(aLabel.data(), static_cast<uint32_t>(aLabel.size()), *this, part);
  std::memcpy(key + 16, part, 16);
  nxCompressKeyMaterial(aPwd, aPwdLen, *this, part);
  std::memcpy(key + 32, part, 16);
  platform::SecureZero(part, sizeof(part));
  std::unique_ptr<TnxBaseCipher> result = Create(std::string_view(key, sizeof(key)));
  platform::SecureZero(key, sizeof(key));
  return result;
}

// ---- TnxBlowFishRC4 ----

TnxBlowFishRC4::TnxBlowFishRC4(std::string_view aKey) { TnxBlowFishRC4::SetKeys(aKey); }

TnxBlowFishRC4::~TnxBlowFishRC4() {
  TnxBlowFishRC4* self = this;
  gShared.compare_exchange_strong(self, nullptr);
  platform::SecureZero(bfKey.data(), bfKey.size());
  platform::SecureZero(&bfKSF, sizeof(bfKSF));
  platform::SecureZero(&bfChk, sizeof(bfChk));
  platform::SecureZero(bfP, sizeof(bfP));
  platform::SecureZero(bfS, sizeof(bfS));
}

void TnxBlowFishRC4::SetKeys(std::string_view aKey) {
  bfRC4.SetKeys(aKey);
  platform::SecureZero(bfKey.data(), bfKey.size());
  bfKey.assign(aKey.empty() ? std::string_view(" ") : aKey);
  std::memcpy(bfP, nxBlowfishInitialP, sizeof(bfP));
  std::memcpy(bfS, nxBlowfishInitialS, sizeof(bfS));
  ExpandKey();
}

void TnxBlowFishRC4::ExpandKey() noexcept {
  const auto* key = reinterpret_cast<const uint8_t*>(bfKey.data());
  const size_t n = bfKey.size();
  size_t k = 0;
  for (int i = 0; i < 18; ++i) {
    uint32_t word = 0;
    for (int b = 0; b < 4; ++b) {
      word |= static_cast<uint32_t>(key[k]) << (8 * b);
      if (++k == n) k = 0;
    }
    bfP[i] ^= word;
  }
  uint32_t L = 0, R = 0;
  for (int i = 0; i < 18; i += 2) {
    EncipherBlock(L, R);
    bfP[i] = L;
    bfP[i + 1] = R;
  }
  for (auto& box : bfS)
    for (int j = 0; j < 256; j += 2) {
      EncipherBlock(L, R);
      box[j] = L;
      box[j + 1] = R;
    }
}

void TnxBlowFishRC4::EncipherBlock(uint32_t& L, uint32_t& R) const noexcept {
  uint32_t l = L ^ bfP[0], r = R;
#pragma GCC unroll 8
  for (int i = 1; i < 17; i += 2) {
    r ^= F(l) ^ bfP[i];
    l ^= F(r) ^ bfP[i + 1];
  }
  L = r ^ bfP[17];
  R = l;
}

void TnxBlowFishRC4::DecipherBlock(uint32_t& L, uint32_t& R) const noexcept {
  uint32_t l = L ^ bfP[17], r = R;
#pragma GCC unroll 8
  for (int i = 16; i > 0; i -= 2) {
    r ^= F(l) ^ bfP[i];
    l ^= F(r) ^ bfP[i - 1];
  }
  L = r ^ bfP[0];
  R = l;
}

template <int N>
void TnxBlowFishRC4::EncipherBlocks(uint32_t (&L)[N], uint32_t (&R)[N]) const noexcept {
  uint32_t l[N], r[N];
  for (int n = 0; n < N; ++n) {
    l[n] = L[n] ^ bfP[0];
    r[n] = R[n];
  }
#pragma GCC unroll 8
  for (int i = 1; i < 17; i += 2) {
    for (int n = 0; n < N; ++n) r[n] ^= F(l[n]) ^ bfP[i];
    for (int n = 0; n < N; ++n) l[n] ^= F(r[n]) ^ bfP[i + 1];
  }
  for (int n = 0; n < N; ++n) {
    L[n] = r[n] ^ bfP[17];
    R[n] = l[n];
  }
}

template <int N>
void TnxBlowFishRC4::DecipherBlocks(uint32_t (&L)[N], uint32_t (&R)[N]) const noexcept {
  uint32_t l[N], r[N];
  for (int n = 0; n < N; ++n) {
    l[n] = L[n] ^ bfP[17];
    r[n] = R[n];
  }
#pragma GCC unroll 8
  for (int i = 16; i > 0; i -= 2) {
    for (int n = 0; n < N; ++n) r[n] ^= F(l[n]) ^ bfP[i];
    for (int n = 0; n < N; ++n) l[n] ^= F(r[n]) ^ bfP[i - 1];
  }
  for (int n = 0; n < N; ++n) {
    L[n] = r[n] ^ bfP[0];
    R[n] = l[n];
  }
}

void TnxBlowFishRC4::SetupIV(uint32_t IVl, uint32_t IVr) {
  constexpr int kWays = 4;
  uint8_t code[256];
  for (uint32_t i = 0; i < 32; i += kWays) {
    uint32_t L[kWays], R[kWays];
    for (int n = 0; n < kWays; ++n) {
      L[n] = IVl;
      R[n] = i + static_cast<uint32_t>(n);
    }
    EncipherBlocks(L, R);
    for (int n = 0; n < kWays; ++n) {
      StoreU32(code + 8 * (i + n), L[n]);
      StoreU32(code + 8 * (i + n) + 4, R[n] ^ IVr);
    }
  }
  bfRC4.Reset(code);
  platform::SecureZero(code, sizeof(code));
  bfChk = {};
  bfKSF.Xl = bfRC4.KeyStream();
  bfKSF.Xr = bfRC4.KeyStream();
}

void TnxBlowFishRC4::ResetIV(uint32_t IVl, uint32_t IVr) {
  bfIVl = IVl;
  bfIVr = IVr;
  SetupIV(IVl, IVr);
  bfMustReset = false;
}

void TnxBlowFishRC4::RandomIV(uint32_t& IVl, uint32_t& IVr) {
  uint8_t block[8];
  GetRandom64(block);
  IVl = LoadU32(block);
  IVr = LoadU32(block + 4);
  ResetIV(IVl, IVr);
}

void TnxBlowFishRC4::RandomIVBlock(void* aIV) {
  uint32_t IVl, IVr;
  RandomIV(IVl, IVr);
  StoreU32(aIV, IVl);
  StoreU32(static_cast<uint8_t*>(aIV) + 4, IVr);
}

void TnxBlowFishRC4::ResetIVBlock(const void* aIV) {
  ResetIV(LoadU32(aIV), LoadU32(static_cast<const uint8_t*>(aIV) + 4));
}

void TnxBlowFishRC4::Encode(void* aData, uint32_t aLen) {
  // A cut last block would be read and written past the buffer's end.
  CheckBlockMultiple(aLen);
  auto* p = static_cast<uint8_t*>(aData);
  uint32_t ivl = bfIVl, ivr = bfIVr, chkl = bfChk.Xl, chkr = bfChk.Xr;
  for (uint32_t off = 0; off < aLen; off += 8, p += 8) {
    uint32_t L = LoadU32(p), R = LoadU32(p + 4);
    chkl ^= L;
    chkr ^= R;
    L ^= ivl;
    R ^= ivr;
    EncipherBlock(L, R);
    L ^= bfRC4.KeyStream();
    R ^= bfRC4.KeyStream();
    StoreU32(p, L);
    StoreU32(p + 4, R);
    ivl = L;
    ivr = R;
  }
  bfIVl = ivl;
  bfIVr = ivr;
  bfChk = {chkl, chkr};
}

void TnxBlowFishRC4::Decode(void* aData, uint32_t aLen) {
  CheckBlockMultiple(aLen);
  auto* p = static_cast<uint8_t*>(aData);
  uint32_t ivl = bfIVl, ivr = bfIVr, chkl = bfChk.Xl, chkr = bfChk.Xr;
  uint32_t off = 0;
  // Unlike encoding, the blocks decipher independently: two at a time.
  for (; off + 16 <= aLen; off += 16, p += 16) {
    const uint32_t c[4] = {LoadU32(p), LoadU32(p + 4), LoadU32(p + 8), LoadU32(p + 12)};
    uint32_t L[2], R[2];
    L[0] = c[0] ^ bfRC4.KeyStream();
    R[0] = c[1] ^ bfRC4.KeyStream();
    L[1] = c[2] ^ bfRC4.KeyStream();
    R[1] = c[3] ^ bfRC4.KeyStream();
    DecipherBlocks(L, R);
    L[0] ^= ivl;
    R[0] ^= ivr;
    L[1] ^= c[0];
    R[1] ^= c[1];
    chkl ^= L[0] ^ L[1];
    chkr ^= R[0] ^ R[1];
    ivl = c[2];
    ivr = c[3];
    StoreU32(p, L[0]);
    StoreU32(p + 4, R[0]);
    StoreU32(p + 8, L[1]);
    StoreU32(p + 12, R[1]);
  }
  for (; off < aLen; off += 8, p += 8) {
    const uint32_t cl = LoadU32(p), cr = LoadU32(p + 4);
    uint32_t L = cl ^ bfRC4.KeyStream();
    uint32_t R = cr ^ bfRC4.KeyStream();
    DecipherBlock(L, R);
    L ^= ivl;
    R ^= ivr;
    chkl ^= L;
    chkr ^= R;
    ivl = cl;
    ivr = cr;
    StoreU32(p, L);
    StoreU32(p + 4, R);
  }
  bfIVl = ivl;
  bfIVr = ivr;
  bfChk = {chkl, chkr};
}

void TnxBlowFishRC4::Final(void* aMac) {
  uint32_t L = bfChk.Xl ^ bfRC4.KeyStream();
  uint32_t R = bfChk.Xr ^ bfRC4.KeyStream();
  EncipherBlock(L, R);
  // Both halves with the first drawn word: peers compute it this way.
  StoreU32(aMac, L ^ bfKSF.Xl);
  StoreU32(static_cast<uint8_t*>(aMac) + 4, R ^ bfKSF.Xl);
  bfMustReset = true;
}

void TnxBlowFishRC4::GetRandom64(void* aData) {
  // The operating system's generator, not the clock: two threads reading the
  // same counter value would otherwise draw the same IV.
  uint8_t block[8];
  FillRandomOrRaise(block, sizeof(block), u"TnxBlowFishRC4.GetRandom64/getrandom");
  uint32_t L = LoadU32(block), R = LoadU32(block + 4);
  nxSharedBlowFishRC4().EncipherBlock(L, R);
  StoreU32(aData, L);
  StoreU32(static_cast<uint8_t*>(aData) + 4, R);
  platform::SecureZero(block, sizeof(block));
}

// ---- alternative mode ----

void TnxBlowFishRC4::EncipherChunk(uint8_t* aChunk) const noexcept {
  uint32_t cl = 0, cr = 0;
  for (int pass = 0; pass < 2; ++pass) {
    const int blocks = pass == 0 ? 32 : 31;
    for (int b = 0; b < blocks; ++b) {
      uint8_t* p = aChunk + 8 * b;
      uint32_t L = LoadU32(p) ^ cl, R = LoadU32(p + 4) ^ cr;
      EncipherBlock(L, R);
      StoreU32(p, L);
      StoreU32(p + 4, R);
      cl = L;
      cr = R;
    }
  }
}

void TnxBlowFishRC4::DecipherChunk(uint8_t* aChunk) const noexcept {
  uint32_t cl = LoadU32(aChunk + 248), cr = LoadU32(aChunk + 252);
  for (int pass = 0; pass < 2; ++pass) {
    const int blocks = pass == 0 ? 31 : 32;
    if (pass == 1) cl = cr = 0;
    for (int b = 0; b < blocks; ++b) {
      uint8_t* p = aChunk + 8 * b;
      const uint32_t c0 = LoadU32(p), c1 = LoadU32(p + 4);
      uint32_t L = c0, R = c1;
      DecipherBlock(L, R);
      StoreU32(p, L ^ cl);
      StoreU32(p + 4, R ^ cr);
      cl = c0;
      cr = c1;
    }
  }
}

void TnxBlowFishRC4::AltEncode(void* aData, uint32_t aLen) const {
  CheckAltLength(aLen);
  if (aLen == 0) return;
  auto* d = static_cast<uint8_t*>(aData);
  const uint32_t chunks = aLen / 256;
  TnxRC4 generator;
  for (uint32_t j = 1; j < chunks; ++j) generator.Schedule(d + 256 * j, 128);
  uint8_t t[256];
  std::memcpy(t, d, sizeof(t));
  XorKeyStream(generator, t, 64);
  EncipherChunk(t);
  std::memcpy(d, t, sizeof(t));
  EncipherChunk(d);
  generator.SetKeys(t, sizeof(t));
  XorKeyStream(generator, d + 256, (aLen - 256) / 4);
  platform::SecureZero(t, sizeof(t));
}

void TnxBlowFishRC4::AltDecode(void* aData, uint32_t aLen) const {
  CheckAltLength(aLen);
  if (aLen == 0) return;
  auto* d = static_cast<uint8_t*>(aData);
  const uint32_t chunks = aLen / 256;
  uint8_t t[256];
  std::memcpy(t, d, sizeof(t));
  DecipherChunk(t);
  TnxRC4 generator(std::string_view(reinterpret_cast<const char*>(t), sizeof(t)));
  XorKeyStream(generator, d + 256, (aLen - 256) / 4);
  generator.SetKeys({});
  for (uint32_t j = 1; j < chunks; ++j) generator.Schedule(d + 256 * j, 128);
  DecipherChunk(t);
  XorKeyStream(generator, t, 64);
  std::memcpy(d, t, sizeof(t));
  platform::SecureZero(t, sizeof(t));
}

// ---- process-wide instance ----

namespace {
// Caller holds gSharedCreate.
TnxBlowFishRC4* CreateSharedLocked() {
  char seed[16];
  FillRandomOrRaise(seed, sizeof(seed), u"nxCreateSharedBlowFishRC4/getrandom");
  auto* created = new TnxBlowFishRC4(std::string_view(seed, sizeof(seed)));
  platform::SecureZero(seed, sizeof(seed));
  delete gShared.exchange(created, std::memory_order_acq_rel);
  return created;
}
}  // namespace

void nxCreateSharedBlowFishRC4() {
  std::lock_guard<std::mutex> guard(gSharedCreate);
  CreateSharedLocked();
}

TnxBlowFishRC4& nxSharedBlowFishRC4() {
  TnxBlowFishRC4* shared = gShared.load(std::memory_order_acquire);
  if (shared) return *shared;
  std::lock_guard<std::mutex> guard(gSharedCreate);
  shared = gShared.load(std::memory_order_acquire);
  return shared ? *shared : *CreateSharedLocked();
}

// ---- start-up ----

void nxBlowfishRC4Startup() {
  if (!nxUnitStartupIsFirst(gStartups)) return;
  nxBaseCipherStartup();
  TnxBaseCipher::AltRegister(TnxBlowFishRC4::ClassInfo());
  nxRegisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
}

void nxBlowfishRC4Shutdown() {
  if (!nxUnitShutdownIsLast(gStartups)) return;
  {
    std::lock_guard<std::mutex> guard(gSharedCreate);
    delete gShared.exchange(nullptr, std::memory_order_acq_rel);
  }
  TnxBaseCipher::AltUnregister(TnxBlowFishRC4::ClassInfo());
  nxUnregisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
  nxBaseCipherShutdown();
}

}  // namespace revurov
