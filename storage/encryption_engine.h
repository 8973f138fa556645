// Block encryption engines: a table file hands every block except block 0
// through its engine on write and read, and lets it keep a 48-byte header
// area in block 0. Engines are found by name in two registries, one for the
// client side and one for the server side.
//
// Contract:
// - The registries change only while the storage library starts and shuts
//   down, and are read without a lock. For each name the class in force is
//   the one registered with the greatest priority text (8 hex digits).
// - CreateEngine hands out a set-up engine or none: a refused set-up
//   returns its code with the message recorded as the thread's last error.
// - The Blowfish/RC4 engine enciphers a block of n bytes into n - 16
//   enciphered bytes followed by the trailer (IV of this write, check value
//   of the enciphered bytes); block 0 never comes here and stays in clear.
//   Header area: salt (0..15), IV (16..23), enciphered table key (24..39),
//   check value (40..47).
// - Any number of threads may code and decode blocks of one engine at once:
//   each call takes a keyed cipher from the engine's pool and gives it back,
//   keying a new one only when all are in use. ChangePassword and set-up are
//   not concurrent with them.
// - Passwords are keyed in the system's ANSI code page. A table is never
//   created or re-keyed with a password that code page cannot hold exactly
//   (9986): such passwords would share a key with their "?" forms.
// - A block whose check value fails raises 8962 and its buffer is zeroed,
//   so no deciphered byte of it can pass for an image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/sync/thread_safe_stack.h"
#include "platform/string_list.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxBaseEncryptionEngineException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxBlowfishRC4EncryptionEngineException, EnxBaseEncryptionEngineException);

class TnxBaseEncryptionEngine;
using TnxEncryptionEnginePtr = std::unique_ptr<TnxBaseEncryptionEngine>;

// The class reference of the engine family: one static record per class.
class TnxBaseEncryptionEngineClass {
public:
  constexpr TnxBaseEncryptionEngineClass(std::u16string_view aName,
                                         const TnxBaseEncryptionEngineClass* aParent) noexcept
      : eecName(aName), eecParent(aParent) {}
  TnxBaseEncryptionEngineClass(const TnxBaseEncryptionEngineClass&) = delete;
  TnxBaseEncryptionEngineClass& operator=(const TnxBaseEncryptionEngineClass&) = delete;

  std::u16string_view ClassName() const noexcept { return eecName; }
  const TnxBaseEncryptionEngineClass* ClassParent() const noexcept { return eecParent; }

  // The virtual constructor; an abstract class raises.
  virtual TnxEncryptionEnginePtr Create(std::u16string_view aName, bool aForServer, bool aCreating,
                                        uint8_t* aHeader, const TnxUnicodeStrings& aPasswords) const;
  // aEngine is set only when the result is 0. The base turns an exception
  // of the construction into its code.
  virtual uint32_t CreateForHeader(std::u16string_view aName, const TnxUnicodeStrings& aPasswords,
                                   TnxEncryptionEnginePtr& aEngine, bool aForServer, bool aCreating,
                                   uint8_t* aHeader) const;
  virtual uint32_t beeReservedSpacePerBlock(TnxBlockSize) const noexcept { return 0; }
  virtual uint32_t beeReservedHeaderSpace() const noexcept { return 0; }
  virtual uint32_t beeChecksumSize() const noexcept { return 0; }
  virtual void beeAddChecksumForBlock(const void*, uint32_t, uint32_t, std::vector<uint8_t>&) const {}
  virtual void beeAddChecksumForCookie(const std::vector<uint8_t>&, uint32_t, std::vector<uint8_t>&) const {}

  // Start-up and shut-down only. A second registration of the same name
  // and priority raises.
  void Register(std::u16string_view aName, bool aForServer, int32_t aPriority) const;
  // Removes this class from every name of both sides.
  void Unregister() const;

private:
  std::u16string_view eecName;
  const TnxBaseEncryptionEngineClass* eecParent;
};

class TnxBaseEncryptionEngine : public TnxObject {
public:
  static const TnxBaseEncryptionEngineClass& ClassInfo() noexcept;
  virtual const TnxBaseEncryptionEngineClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept { return ClassType().ClassName(); }

  virtual void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer) = 0;
  virtual void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer) = 0;
  // aRandomizer is the block number; the engine sees the block's offset.
  // The cookie and checksum are for engines that keep them.
  virtual void CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer,
                           std::vector<uint8_t>& aCookie, std::vector<uint8_t>& aChecksum);
  virtual void DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer,
                             std::vector<uint8_t>& aCookie);
  virtual void UpdateHeaderChecksum(void*, uint32_t) {}
  virtual void VerifyHeaderChecksum(void*, uint32_t) {}
  virtual uint32_t AuthenticatePassword(const TnxUnicodeStrings&) { return 0; }
  virtual std::u16string ExtractPassword() const { return {}; }
  // aHeader is the engine's header area. The base raises 12289.
  virtual void ChangePassword(uint8_t* aHeader, std::u16string_view aNewPassword);

  // aHeader: the header area, or nullptr for a file that has none.
  static uint32_t CreateEngine(std::u16string_view aName, const TnxUnicodeStrings& aPasswords, uint8_t* aHeader,
                               bool aCreating, bool aForServer, TnxEncryptionEnginePtr& aEngine);
  static bool HasEngine(std::u16string_view aName, bool aForServer);
  // An empty line (no encryption) first, then the names in sorted order.
  static void GetRegisteredEngines(platform::TStringList& aList, bool aForServer);
  // Both raise 15503 for a name that is not registered (an empty one gives
  // 0 header space: no encryption).
  static uint32_t ReservedSpacePerBlock(std::u16string_view aEngine, bool aForServer, TnxBlockSize aBlockSize);
  static uint32_t ReservedHeaderSpace(std::u16string_view aEngine, bool aForServer);

protected:
  TnxBaseEncryptionEngine() = default;
};

class TnxOwnedBlowFishRC4;
class TnxBlowfishRC4EncryptionEngineClass;

class TnxBlowfishRC4EncryptionEngine : public TnxBaseEncryptionEngine {
public:
  static constexpr uint32_t kTrailerSize = 16;
  static constexpr uint32_t kHeaderAreaSize = 48;

  static const TnxBaseEncryptionEngineClass& ClassInfo() noexcept;
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return ClassInfo(); }
  ~TnxBlowfishRC4EncryptionEngine() override;

  void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer) override;
  void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer) override;
  uint32_t AuthenticatePassword(const TnxUnicodeStrings& aPasswords) override;
  std::u16string ExtractPassword() const override;
  void ChangePassword(uint8_t* aHeader, std::u16string_view aNewPassword) override;

  // Keyed ciphers waiting in the pool.
  int32_t PooledCipherCount() const noexcept { return beeBlowfishCache.Count(); }

protected:
  TnxBlowfishRC4EncryptionEngine() = default;
  virtual std::string_view beeGetDefaultKey() const = 0;

private:
  friend class TnxOwnedBlowFishRC4;
  friend class TnxBlowfishRC4EncryptionEngineClass;

  // The set-up steps of CreateForHeader after construction.
  uint32_t beeSetUp(uint8_t* aHeader, bool aCreating, const TnxUnicodeStrings& aPasswords);
  void beeCreateTableKey(uint8_t* aHeader, std::string_view aPassword);
  void beeEncipherTableKey(uint8_t* aHeader, const uint8_t* aSalt, std::string_view aPassword);
  bool beeVerifyPassword(const uint8_t* aHeader, std::string_view aPassword);
  std::unique_ptr<TnxOwnedBlowFishRC4> beeTakeCipher();
  void beeRecycle(std::unique_ptr<TnxOwnedBlowFishRC4> aCipher) noexcept;

  std::string beeDerivedKey;
  std::string beeUsedKey;
  TnxThreadSafeStack beeBlowfishCache;
  std::string beeBlowfishKey;
};

class TnxUserBlowfishRC4EncryptionEngine final : public TnxBlowfishRC4EncryptionEngine {
public:
  static const TnxBaseEncryptionEngineClass& ClassInfo() noexcept;
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return ClassInfo(); }

private:
  friend class TnxBlowfishRC4EncryptionEngineClass;
  TnxUserBlowfishRC4EncryptionEngine() = default;
  std::string_view beeGetDefaultKey() const override;
};

class TnxServerBlowfishRC4EncryptionEngine final : public TnxBlowfishRC4EncryptionEngine {
public:
  static const TnxBaseEncryptionEngineClass& ClassInfo() noexcept;
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return ClassInfo(); }

private:
  friend class TnxBlowfishRC4EncryptionEngineClass;
  TnxServerBlowfishRC4EncryptionEngine() = default;
  std::string_view beeGetDefaultKey() const override;
};

// Where salts, table keys and IVs come from: 8 random bytes per call.
// TnxBlowFishRC4::GetRandom64 unless a test set another; nullptr puts it
// back. Returns the previous source.
using TnxRandom64Source = void (*)(void* aData8);
TnxRandom64Source nxSetEncryptionRandomSource(TnxRandom64Source aSource) noexcept;

// Builds the default keys and registers both engines as "nx1xDefault";
// the shut-down unregisters them and wipes the keys.
void nxEncryptionEngineStartup();
void nxEncryptionEngineShutdown();

}  // namespace revurov
