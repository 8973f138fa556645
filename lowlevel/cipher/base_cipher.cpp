#include "lowlevel/cipher/base_cipher.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/unit_table.h"
#include "platform/format.h"
#include "platform/secure_zero.h"
#include "platform/text.h"

namespace revurov {

namespace {

using platform::TDuplicates;
using platform::TStringList;

std::atomic<int> gStartups{0};

// ---- key-wrap registry ----

// Names; each name's object is a list of "priority as 8 hex digits" entries
// whose objects are the classes, so the last entry is the best class. The
// names list owns the priority lists in its object column.
std::unique_ptr<TStringList> gKeyWrapClasses;

std::unique_ptr<TStringList> NewRegistryList() {
  auto list = std::make_unique<TStringList>();
  list->SetSorted(true);
  list->SetDuplicates(TDuplicates::dupError);
  return list;
}

TStringList* PrioritiesOf(const TStringList& aNames, int aIndex) {
  return static_cast<TStringList*>(aNames.Objects(aIndex));
}

const TnxBaseCipherClass* BestOf(const TStringList& aPriorities) {
  return static_cast<const TnxBaseCipherClass*>(aPriorities.Objects(aPriorities.Count() - 1));
}

void FreeKeyWrapRegistry() {
  if (!gKeyWrapClasses) return;
  for (int i = 0; i < gKeyWrapClasses->Count(); ++i) delete PrioritiesOf(*gKeyWrapClasses, i);
  gKeyWrapClasses.reset();
}

// ---- alternative-mode registry ----

TnxPadlock* gAltPadlock = nullptr;
std::unique_ptr<std::vector<const TnxBaseCipherClass*>> gAltClasses;
const TnxBaseCipherClass* gAltCurrent = nullptr;
int gAltLockCount = 0;
bool gAltBetterWaiting = false;

// Holds the registry's padlock, creating it on first use.
TnxPadlockGuard LockAltRegistry() {
  TnxPadlock::CreateAndLock(gAltPadlock);
  return TnxPadlockGuard(*gAltPadlock, nxAdoptLock);
}

// With no current class, the registered class of highest priority becomes
// current; the first registered wins a tie. Caller holds the padlock.
void AltSelectCurrent() {
  if (gAltCurrent || !gAltClasses) return;
  for (const TnxBaseCipherClass* c : *gAltClasses)
    if (!gAltCurrent || c->AltPriority() > gAltCurrent->AltPriority()) gAltCurrent = c;
}

[[noreturn]] void RaiseNoAltClass() {
  throw EnxBaseCipherException(nxeCapabilityNotSupported,
                               u"No alternative mode cipher class registered");
}

const TnxBaseCipherClass& AltCurrentOrRaise() {
  if (!gAltCurrent) RaiseNoAltClass();
  return *gAltCurrent;
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t aLen) noexcept {
  // Every byte is looked at, so the time taken does not tell where a forged
  // check value went wrong.
  uint8_t diff = 0;
  for (size_t i = 0; i < aLen; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

// ---- class records ----

bool TnxBaseCipherClass::InheritsFrom(const TnxBaseCipherClass& aClass) const noexcept {
  for (const TnxBaseCipherClass* c = this; c; c = c->ccParent)
    if (c == &aClass) return true;
  return false;
}

std::unique_ptr<TnxBaseCipher> TnxBaseCipherClass::Create(std::string_view) const {
  throw EnxBaseCipherException(u"Cannot create an object of the abstract cipher class %s",
                               {ccName});
}

void TnxBaseCipherClass::EncodeAltData(void*, uint32_t) const {}
void TnxBaseCipherClass::DecodeAltData(void*, uint32_t) const {}
void TnxBaseCipherClass::GetRandomBlock(void*) const {}

void TnxBaseCipherClass::GenerateRandom(void* aData, uint32_t aLength) const {
  const uint32_t block = BlockLength();
  if (block == 0) {
    if (aLength == 0) return;
    throw EnxBaseCipherException(u"The cipher class %s cannot generate random data", {ccName});
  }
  auto* p = static_cast<uint8_t*>(aData);
  while (aLength >= block) {
    GetRandomBlock(p);
    p += block;
    aLength -= block;
  }
  if (aLength > 0) {
    // A cut last block: the length need not be a multiple of the block.
    std::vector<uint8_t> last(block);
    GetRandomBlock(last.data());
    std::memcpy(p, last.data(), aLength);
    platform::SecureZero(last.data(), last.size());
  }
}

std::unique_ptr<TnxBaseCipher> TnxBaseCipherClass::DeriveKey(const void*, uint32_t, const void*,
                                                             uint32_t, std::string_view) const {
  return nullptr;
}

namespace {
class TnxBaseCipherRecord final : public TnxBaseCipherClass {
public:
  using TnxBaseCipherClass::TnxBaseCipherClass;
};
}  // namespace

const TnxBaseCipherClass& TnxBaseCipher::ClassInfo() noexcept {
  static const TnxBaseCipherRecord info{u"TnxBaseCipher", nullptr};
  return info;
}

// ---- message forms ----

void TnxBaseCipher::EncodeStorage(void* aIV, uint32_t, std::vector<uint8_t>&, const void* aDataIn,
                                  void* aDataOut, uint32_t aLen, void* aMac) {
  if (aDataIn != aDataOut) std::memmove(aDataOut, aDataIn, aLen);
  EncodeTransport(aIV, aDataOut, aLen, aMac);
}

void TnxBaseCipher::EncodeTransport(void* aIV, void* aData, uint32_t aLen, void* aMac) {
  RandomIVBlock(aIV);
  Encode(aData, aLen);
  Final(aMac);
}

bool TnxBaseCipher::DecodeStorage(const void* aIV, uint32_t, std::vector<uint8_t>& aCookie,
                                  void* aData, uint32_t aLen, const void* aMac) {
  aCookie.clear();
  return DecodeTransport(aIV, aData, aLen, aMac);
}

bool TnxBaseCipher::DecodeTransport(const void* aIV, void* aData, uint32_t aLen, const void* aMac) {
  ResetIVBlock(aIV);
  Decode(aData, aLen);
  const uint32_t len = BlockLength();
  uint8_t small[64];
  std::vector<uint8_t> large;
  uint8_t* check = small;
  if (len > sizeof(small)) {
    large.resize(len);
    check = large.data();
  }
  Final(check);
  const bool same = SameBytes(check, static_cast<const uint8_t*>(aMac), len);
  platform::SecureZero(check, len);
  return same;
}

void TnxBaseCipher::EncodeKey(void* aIV, void* aData, uint32_t aLen, void* aMac) {
  EncodeTransport(aIV, aData, aLen, aMac);
}

bool TnxBaseCipher::DecodeKey(const void* aIV, void* aData, uint32_t aLen, const void* aMac) {
  return DecodeTransport(aIV, aData, aLen, aMac);
}

// ---- alternative-mode registry ----

void TnxBaseCipher::AltRegister(const TnxBaseCipherClass& aClass) {
  auto guard = LockAltRegistry();
  if (!gAltClasses) gAltClasses = std::make_unique<std::vector<const TnxBaseCipherClass*>>();
  gAltClasses->push_back(&aClass);
  if (!gAltCurrent) {
    gAltCurrent = &aClass;
  } else if (aClass.AltPriority() > gAltCurrent->AltPriority()) {
    if (gAltLockCount == 0)
      gAltCurrent = &aClass;
    else
      gAltBetterWaiting = true;
  }
}

void TnxBaseCipher::AltUnregister(const TnxBaseCipherClass& aClass) {
  auto guard = LockAltRegistry();
  if (gAltCurrent == &aClass) {
    if (gAltLockCount > 0)
      throw EnxBaseCipherException(
          nxeRecordLocked,
          u"The alternative mode cipher about to the unregistered is currently locked as begin in use");
    gAltCurrent = nullptr;
  }
  if (gAltClasses) {
    auto it = std::find(gAltClasses->begin(), gAltClasses->end(), &aClass);
    if (it != gAltClasses->end()) gAltClasses->erase(it);
    if (gAltClasses->empty()) gAltClasses.reset();
  }
  AltSelectCurrent();
  gAltBetterWaiting = false;
}

void TnxBaseCipher::AltLock() {
  auto guard = LockAltRegistry();
  AltCurrentOrRaise();
  ++gAltLockCount;
}

void TnxBaseCipher::AltUnLock() {
  auto guard = LockAltRegistry();
  // An unlock without its lock must not leave the count negative, which
  // would let the current class be unregistered while a later lock holds it.
  if (gAltLockCount > 0) --gAltLockCount;
  AltSelectCurrent();
  gAltBetterWaiting = false;
}

void TnxBaseCipher::EncodeAlt(void* aData, uint32_t aLen) {
  auto guard = LockAltRegistry();
  AltCurrentOrRaise().EncodeAltData(aData, aLen);
}

void TnxBaseCipher::DecodeAlt(void* aData, uint32_t aLen) {
  auto guard = LockAltRegistry();
  AltCurrentOrRaise().DecodeAltData(aData, aLen);
}

const TnxBaseCipherClass* TnxBaseCipher::AltCurrentClass() {
  auto guard = LockAltRegistry();
  return gAltCurrent;
}

// ---- key-wrap registry ----

void nxRegisterKeyWrapClass(const TnxBaseCipherClass& aClass) {
  const std::string_view name = aClass.KeyWrapName();
  if (name.empty()) return;
  if (!gKeyWrapClasses) gKeyWrapClasses = NewRegistryList();
  const std::u16string name16 = platform::Utf8ToUtf16(name);
  int index = 0;
  TStringList* priorities;
  if (gKeyWrapClasses->Find(name16, index)) {
    priorities = PrioritiesOf(*gKeyWrapClasses, index);
  } else {
    std::unique_ptr<TStringList> created = NewRegistryList();
    gKeyWrapClasses->AddObject(name16, created.get());
    priorities = created.release();
  }
  priorities->AddObject(platform::Format(u"%.8x", {aClass.KeyWrapPriority()}),
                        const_cast<TnxBaseCipherClass*>(&aClass));
}

void nxUnregisterKeyWrapClass(const TnxBaseCipherClass& aClass) {
  if (!gKeyWrapClasses) return;
  for (int i = gKeyWrapClasses->Count() - 1; i >= 0; --i) {
    TStringList* priorities = PrioritiesOf(*gKeyWrapClasses, i);
    for (int j = priorities->Count() - 1; j >= 0; --j)
      if (priorities->Objects(j) == &aClass) priorities->Delete(j);
    if (priorities->Count() == 0) {
      delete priorities;
      gKeyWrapClasses->Delete(i);
    }
  }
  if (gKeyWrapClasses->Count() == 0) FreeKeyWrapRegistry();
}

uint32_t nxKeyWrapListPriority(const TStringList& aList, int aIndex) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(aList.Objects(aIndex)));
}

const TnxBaseCipherClass* TnxBaseCipher::FindKeyWrapClass(std::string_view aName) {
  if (!gKeyWrapClasses) return nullptr;
  int index = 0;
  if (!gKeyWrapClasses->Find(platform::Utf8ToUtf16(aName), index)) return nullptr;
  return BestOf(*PrioritiesOf(*gKeyWrapClasses, index));
}

const TnxBaseCipherClass& TnxBaseCipher::MustFindKeyWrapClass(std::string_view aName) {
  const TnxBaseCipherClass* found = FindKeyWrapClass(aName);
  if (!found)
    throw EnxBaseCipherException(u"Unable to find key wrap class with algorithm name \"%s\"",
                                 {aName});
  return *found;
}

void TnxBaseCipher::GetRegisteredKeyWrapClasses(TStringList& aList) {
  aList.Clear();
  if (!gKeyWrapClasses) return;
  for (int i = 0; i < gKeyWrapClasses->Count(); ++i) {
    const uintptr_t priority = BestOf(*PrioritiesOf(*gKeyWrapClasses, i))->KeyWrapPriority();
    aList.AddObject(gKeyWrapClasses->Strings(i), reinterpret_cast<void*>(priority));
  }
}

const TnxBaseCipherClass* TnxBaseCipher::PreferredKeyWrapClass() {
  if (!gKeyWrapClasses) return nullptr;
  const TnxBaseCipherClass* best = nullptr;
  uint32_t bestPriority = 0;
  for (int i = 0; i < gKeyWrapClasses->Count(); ++i) {
    const TnxBaseCipherClass* c = BestOf(*PrioritiesOf(*gKeyWrapClasses, i));
    if (c->KeyWrapPriority() > bestPriority) {
      best = c;
      bestPriority = c->KeyWrapPriority();
    }
  }
  return best;
}

// ---- key derivation ----

void nxCompressKeyMaterial(const void* aData, uint32_t aLen, const TnxBaseCipherClass& aClass,
                           uint8_t (&aOut16)[16]) {
  constexpr uint32_t kPiece = 28;
  std::memset(aOut16, 0, sizeof(aOut16));
  const auto* p = static_cast<const uint8_t*>(aData);
  while (aLen >= kPiece) {
    aClass.Create(std::string_view(reinterpret_cast<const char*>(p), kPiece))->Encode(aOut16, 16);
    p += kPiece;
    aLen -= kPiece;
  }
  char last[kPiece];
  if (aLen > 0) std::memcpy(last, p, aLen);
  last[aLen] = static_cast<char>(0x80);
  aClass.Create(std::string_view(last, aLen + 1))->Encode(aOut16, 16);
  platform::SecureZero(last, sizeof(last));
}

// ---- start-up ----

void nxBaseCipherStartup() { nxUnitStartupIsFirst(gStartups); }

void nxBaseCipherShutdown() {
  if (!nxUnitShutdownIsLast(gStartups)) return;
  FreeKeyWrapRegistry();
  gAltClasses.reset();
  gAltCurrent = nullptr;
  gAltLockCount = 0;
  gAltBetterWaiting = false;
  nxFreeAndNil(gAltPadlock);
}

}  // namespace revurov
