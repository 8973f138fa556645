// The cipher base: the interface every cipher offers (keys, initialisation
// vectors, encode, decode, check value, transport and storage forms, key
// wrapping, key derivation, random data) and two class registries, the
// key-wrap registry (cipher classes by algorithm name and priority) and the
// alternative-mode registry (the one class that enciphers buffers with a
// process-wide random key).
//
// Contract:
// - A cipher class is known by its class record (`TnxBaseCipherClass`):
//   exact name, parent, factory and the class-level operations. Records are
//   static objects that live as long as the process.
// - A cipher object keeps per-message state and serves one thread at a time.
// - The key-wrap registry is changed at start-up and shut-down only and read
//   without a lock; the alternative-mode registry and its lock count are
//   guarded by one padlock.
// - Key material handed in is copied; what the base keeps of it is
//   zero-filled before release.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/string_list.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxBaseCipherException, EnxBaseException);

class TnxBaseCipher;

// The class reference of the cipher family: one static record per class.
class TnxBaseCipherClass {
public:
  constexpr TnxBaseCipherClass(std::u16string_view aName, const TnxBaseCipherClass* aParent) noexcept
      : ccName(aName), ccParent(aParent) {}
  TnxBaseCipherClass(const TnxBaseCipherClass&) = delete;
  TnxBaseCipherClass& operator=(const TnxBaseCipherClass&) = delete;

  std::u16string_view ClassName() const noexcept { return ccName; }
  const TnxBaseCipherClass* ClassParent() const noexcept { return ccParent; }
  bool InheritsFrom(const TnxBaseCipherClass& aClass) const noexcept;

  // A new object keyed with aKey; an abstract class raises.
  virtual std::unique_ptr<TnxBaseCipher> Create(std::string_view aKey) const;

  virtual void EncodeAltData(void* aData, uint32_t aLen) const;
  virtual void DecodeAltData(void* aData, uint32_t aLen) const;
  virtual uint32_t BlockLength() const noexcept { return 0; }
  // Fills aLength bytes block by block through GetRandomBlock; a length that
  // is not a multiple of the block length gets a cut last block. A class
  // without blocks raises instead of leaving the buffer as it was.
  virtual void GenerateRandom(void* aData, uint32_t aLength) const;
  virtual uint32_t AltPriority() const noexcept { return 0; }
  virtual void GetRandomBlock(void* aData) const;
  virtual bool SelfTest() const { return true; }
  virtual std::string_view KeyWrapName() const noexcept { return {}; }
  virtual uint32_t KeyWrapPriority() const noexcept { return 0; }
  // A new object of this class keyed from the password, salt and label;
  // null when the class derives no keys.
  virtual std::unique_ptr<TnxBaseCipher> DeriveKey(const void* aPwd, uint32_t aPwdLen,
                                                   const void* aSalt, uint32_t aSaltLen,
                                                   std::string_view aLabel) const;

private:
  std::u16string_view ccName;
  const TnxBaseCipherClass* ccParent;
};

class TnxBaseCipher : public TnxObject {
public:
  static const TnxBaseCipherClass& ClassInfo() noexcept;
  virtual const TnxBaseCipherClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept { return ClassType().ClassName(); }

  TnxBaseCipher* TheCipher() noexcept { return this; }
  uint32_t BlockLength() const noexcept { return ClassType().BlockLength(); }

  virtual void SetKeys(std::string_view aKey) = 0;
  virtual void RandomIVBlock(void* aIV) = 0;
  virtual void ResetIVBlock(const void* aIV) = 0;
  virtual void Encode(void* aData, uint32_t aLen) = 0;
  virtual void Decode(void* aData, uint32_t aLen) = 0;
  // Writes the check value (BlockLength bytes) of the message so far.
  virtual void Final(void* aMac) = 0;

  // aRandomizer and aCookie are for ciphers that use them; this base does not.
  virtual void EncodeStorage(void* aIV, uint32_t aRandomizer, std::vector<uint8_t>& aCookie,
                             const void* aDataIn, void* aDataOut, uint32_t aLen, void* aMac);
  virtual void EncodeTransport(void* aIV, void* aData, uint32_t aLen, void* aMac);
  // False when the check value does not match; the decoded data stays.
  virtual bool DecodeStorage(const void* aIV, uint32_t aRandomizer, std::vector<uint8_t>& aCookie,
                             void* aData, uint32_t aLen, const void* aMac);
  virtual bool DecodeTransport(const void* aIV, void* aData, uint32_t aLen, const void* aMac);
  virtual void EncodeKey(void* aIV, void* aData, uint32_t aLen, void* aMac);
  virtual bool DecodeKey(const void* aIV, void* aData, uint32_t aLen, const void* aMac);

  // Alternative-mode registry (class-level, under the registry's padlock).
  static void AltRegister(const TnxBaseCipherClass& aClass);
  static void AltUnregister(const TnxBaseCipherClass& aClass);
  static void AltLock();
  static void AltUnLock();
  // aLen is 0 or a positive multiple of 256.
  static void EncodeAlt(void* aData, uint32_t aLen);
  static void DecodeAlt(void* aData, uint32_t aLen);
  // The current class, or null.
  static const TnxBaseCipherClass* AltCurrentClass();

  // Key-wrap registry (class-level).
  static const TnxBaseCipherClass* FindKeyWrapClass(std::string_view aName);
  static const TnxBaseCipherClass& MustFindKeyWrapClass(std::string_view aName);
  // Each registered name, with the KeyWrapPriority of its best class as the
  // entry's object (read it back with nxKeyWrapListPriority).
  static void GetRegisteredKeyWrapClasses(platform::TStringList& aList);
  static const TnxBaseCipherClass* PreferredKeyWrapClass();

protected:
  TnxBaseCipher() = default;
};

void nxRegisterKeyWrapClass(const TnxBaseCipherClass& aClass);
void nxUnregisterKeyWrapClass(const TnxBaseCipherClass& aClass);
uint32_t nxKeyWrapListPriority(const platform::TStringList& aList, int aIndex);

// Compresses key material of any length to 16 bytes with ciphers of aClass
// keyed by consecutive 28-byte pieces (the last one closed by a 0x80 byte).
void nxCompressKeyMaterial(const void* aData, uint32_t aLen, const TnxBaseCipherClass& aClass,
                           uint8_t (&aOut16)[16]);

// Reference-counted start-up and shut-down of the registries; the last
// shut-down frees the padlock, the alternative-mode list and the key-wrap
// registry.
void nxBaseCipherStartup();
void nxBaseCipherShutdown();

}  // namespace revurov
