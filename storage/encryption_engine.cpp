#include "storage/encryption_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/code_page.h"
#include "platform/format.h"
#include "platform/secure_zero.h"

namespace revurov {

// A cipher of an engine's pool, keyed with the engine's block key.
class TnxOwnedBlowFishRC4 final : public TnxBlowFishRC4 {
public:
  explicit TnxOwnedBlowFishRC4(TnxBlowfishRC4EncryptionEngine& aOwner)
      : TnxBlowFishRC4(aOwner.beeBlowfishKey), obfOwner(aOwner) {}

  // Back onto the owner's pool instead of being freed.
  static void Recycle(std::unique_ptr<TnxOwnedBlowFishRC4> aCipher) noexcept {
    TnxBlowfishRC4EncryptionEngine& owner = aCipher->obfOwner;
    owner.beeRecycle(std::move(aCipher));
  }

private:
  TnxBlowfishRC4EncryptionEngine& obfOwner;
};

namespace {

constexpr std::u16string_view kDefaultEngineName = u"nx1xDefault";

// The two default keys: the client side's from the first 64 characters, the
// server side's from the rest. Tables made without a password by one side
// open only where that side's key is in force.
constexpr char kDefaultKeyTable[] =
    "q7Vf#2LmX!9wRz@cT4kP$8bNs&1Yh^6Dj*3Ge(5Ua)0Ix-Oe=Wr+Ty[Ui]Op{As}"
    "Kd;Fg:Hj'Lz,Xc.Vb/Nm<M9>Q1?W2|E3~R4`T5_Y6 U7aI8sO9dP0fAgShDjFkGl";
static_assert(sizeof(kDefaultKeyTable) == 129);

std::string gClientDefaultKey;
std::string gServerDefaultKey;

std::atomic<TnxRandom64Source> gRandomSource{&TnxBlowFishRC4::GetRandom64};

void DrawRandom(uint8_t* aData, uint32_t aLen) {
  const TnxRandom64Source source = gRandomSource.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < aLen; i += 8) source(aData + i);
}

// ---- registries ----

struct PriorityEntry {
  std::string Priority;  // 8 hex digits: the order of the list
  const TnxBaseEncryptionEngineClass* Class = nullptr;
};

struct NameEntry {
  std::u16string Name;
  std::vector<PriorityEntry> Classes;  // sorted; the last one is in force
};

using Registry = std::vector<NameEntry>;  // sorted by name, case ignored

// Index 0: client side, 1: server side. Nil while a side has no names.
std::unique_ptr<Registry> gRegistries[2];

Registry::iterator FindName(Registry& aRegistry, std::u16string_view aName) {
  return std::lower_bound(aRegistry.begin(), aRegistry.end(), aName, [](const NameEntry& e, std::u16string_view n) {
    return nxCompareTextLocale(e.Name, n) < 0;
  });
}

const TnxBaseEncryptionEngineClass* ClassInForce(std::u16string_view aName, bool aForServer) {
  Registry* registry = gRegistries[aForServer ? 1 : 0].get();
  if (!registry) return nullptr;
  auto it = FindName(*registry, aName);
  if (it == registry->end() || nxCompareTextLocale(it->Name, aName) != 0) return nullptr;
  return it->Classes.back().Class;
}

const TnxBaseEncryptionEngineClass& MustFindClass(std::u16string_view aName, bool aForServer) {
  const TnxBaseEncryptionEngineClass* found = ClassInForce(aName, aForServer);
  if (!found)
    throw EnxBaseEncryptionEngineException(nxeSubEngineNotSupported, u"Unknown encryption engine: \"%s\"",
                                           {aName});
  return *found;
}

// ---- passwords ----

// Opening takes the code page's lossy form, so tables keyed before
// strict checks existed still open.
std::string AnsiPassword(std::u16string_view aPassword) {
  return platform::UnicodeToCodePageLossy(aPassword, platform::SystemAnsiCodePage());
}

// The form a new key is made from; nullopt when the code page cannot hold
// the password exactly, which would give it the key of another password.
std::optional<std::string> ExactAnsiPassword(std::u16string_view aPassword) {
  const uint32_t codePage = platform::SystemAnsiCodePage();
  std::optional<std::string> ansi = platform::UnicodeToCodePage(aPassword, codePage);
  if (ansi && platform::CodePageToUnicode(*ansi, codePage) != aPassword) ansi.reset();
  return ansi;
}

constexpr std::u16string_view kUnfitPassword =
    u"The password holds characters that code page %u cannot represent; they would become \"?\" and "
    u"the password would share its key with others";

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t aLen) noexcept {
  uint8_t diff = 0;
  for (size_t i = 0; i < aLen; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

// The length of a block's enciphered part; refuses a block that cannot
// hold the trailer after whole cipher blocks, before anything is touched.
uint32_t EncipheredLength(uint32_t aBlockLen) {
  constexpr uint32_t trailer = TnxBlowfishRC4EncryptionEngine::kTrailerSize;
  if (aBlockLen < trailer || (aBlockLen - trailer) % 8 != 0)
    throw EnxBlowfishRC4EncryptionEngineException(
        nxeInvalidParameter, u"Block length %u cannot hold the %u-byte encryption trailer after whole 8-byte blocks",
        {aBlockLen, trailer});
  return aBlockLen - trailer;
}

}  // namespace

// ---- class records ----

class TnxBlowfishRC4EncryptionEngineClass : public TnxBaseEncryptionEngineClass {
public:
  constexpr TnxBlowfishRC4EncryptionEngineClass(std::u16string_view aName,
                                                const TnxBaseEncryptionEngineClass* aParent, int aSide) noexcept
      : TnxBaseEncryptionEngineClass(aName, aParent), bcSide(aSide) {}

  TnxEncryptionEnginePtr Create(std::u16string_view aName, bool aForServer, bool aCreating, uint8_t* aHeader,
                                const TnxUnicodeStrings& aPasswords) const override {
    if (bcSide < 0) return TnxBaseEncryptionEngineClass::Create(aName, aForServer, aCreating, aHeader, aPasswords);
    if (bcSide == 0) return TnxEncryptionEnginePtr(new TnxUserBlowfishRC4EncryptionEngine);
    return TnxEncryptionEnginePtr(new TnxServerBlowfishRC4EncryptionEngine);
  }

  uint32_t CreateForHeader(std::u16string_view aName, const TnxUnicodeStrings& aPasswords,
                           TnxEncryptionEnginePtr& aEngine, bool aForServer, bool aCreating,
                           uint8_t* aHeader) const override {
    aEngine.reset();
    // An exception frees the engine and passes on.
    TnxEncryptionEnginePtr engine = Create(aName, aForServer, aCreating, aHeader, aPasswords);
    auto& bee = static_cast<TnxBlowfishRC4EncryptionEngine&>(*engine);
    const uint32_t result = bee.beeSetUp(aHeader, aCreating, aPasswords);
    if (result == 0) aEngine = std::move(engine);
    return result;
  }

  uint32_t beeReservedSpacePerBlock(TnxBlockSize) const noexcept override {
    return TnxBlowfishRC4EncryptionEngine::kTrailerSize;
  }
  uint32_t beeReservedHeaderSpace() const noexcept override {
    return TnxBlowfishRC4EncryptionEngine::kHeaderAreaSize;
  }

private:
  int bcSide;  // -1 abstract, 0 client, 1 server
};

namespace {
constexpr TnxBaseEncryptionEngineClass kBaseClass(u"TnxBaseEncryptionEngine", nullptr);
constexpr TnxBlowfishRC4EncryptionEngineClass kBlowfishClass(u"TnxBlowfishRC4EncryptionEngine", &kBaseClass, -1);
constexpr TnxBlowfishRC4EncryptionEngineClass kUserClass(u"TnxUserBlowfishRC4EncryptionEngine", &kBlowfishClass, 0);
constexpr TnxBlowfishRC4EncryptionEngineClass kServerClass(u"TnxServerBlowfishRC4EncryptionEngine", &kBlowfishClass,
                                                           1);
}  // namespace

const TnxBaseEncryptionEngineClass& TnxBaseEncryptionEngine::ClassInfo() noexcept { return kBaseClass; }
const TnxBaseEncryptionEngineClass& TnxBlowfishRC4EncryptionEngine::ClassInfo() noexcept { return kBlowfishClass; }
const TnxBaseEncryptionEngineClass& TnxUserBlowfishRC4EncryptionEngine::ClassInfo() noexcept { return kUserClass; }
const TnxBaseEncryptionEngineClass& TnxServerBlowfishRC4EncryptionEngine::ClassInfo() noexcept {
  return kServerClass;
}

TnxEncryptionEnginePtr TnxBaseEncryptionEngineClass::Create(std::u16string_view, bool, bool, uint8_t*,
                                                            const TnxUnicodeStrings&) const {
  throw EnxBaseEncryptionEngineException(nxeCapabilityNotSupported, u"Cannot create an instance of abstract class %s",
                                         {ClassName()});
}

uint32_t TnxBaseEncryptionEngineClass::CreateForHeader(std::u16string_view aName, const TnxUnicodeStrings& aPasswords,
                                                       TnxEncryptionEnginePtr& aEngine, bool aForServer,
                                                       bool aCreating, uint8_t* aHeader) const {
  aEngine.reset();
  try {
    aEngine = Create(aName, aForServer, aCreating, aHeader, aPasswords);
  } catch (...) {
    return nxConvertCurrentException();
  }
  return 0;
}

void TnxBaseEncryptionEngineClass::Register(std::u16string_view aName, bool aForServer, int32_t aPriority) const {
  std::unique_ptr<Registry>& registry = gRegistries[aForServer ? 1 : 0];
  if (!registry) registry = std::make_unique<Registry>();
  auto name = FindName(*registry, aName);
  if (name == registry->end() || nxCompareTextLocale(name->Name, aName) != 0)
    name = registry->insert(name, NameEntry{std::u16string(aName), {}});
  const std::string priority = platform::Format(std::string_view("%.8X"), {static_cast<uint32_t>(aPriority)});
  auto at = std::lower_bound(name->Classes.begin(), name->Classes.end(), priority,
                             [](const PriorityEntry& e, const std::string& p) { return e.Priority < p; });
  if (at != name->Classes.end() && at->Priority == priority)
    throw EnxBaseEncryptionEngineException(u"Encryption engine \"%s\" is already registered with priority %d",
                                           {aName, aPriority});
  name->Classes.insert(at, PriorityEntry{priority, this});
}

void TnxBaseEncryptionEngineClass::Unregister() const {
  for (std::unique_ptr<Registry>& registry : gRegistries) {
    if (!registry) continue;
    for (NameEntry& name : *registry)
      std::erase_if(name.Classes, [this](const PriorityEntry& e) { return e.Class == this; });
    std::erase_if(*registry, [](const NameEntry& e) { return e.Classes.empty(); });
    if (registry->empty()) registry.reset();
  }
}

// ---- engine base ----

void TnxBaseEncryptionEngine::CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen,
                                          uint32_t aRandomizer, std::vector<uint8_t>&, std::vector<uint8_t>&) {
  CodeBlock(aBlockIn, aBlockOut, aBlockLen, aRandomizer * aBlockLen);
}

void TnxBaseEncryptionEngine::DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer,
                                            std::vector<uint8_t>& aCookie) {
  aCookie.clear();
  DecodeBlock(aBlock, aBlockLen, aRandomizer * aBlockLen);
}

void TnxBaseEncryptionEngine::ChangePassword(uint8_t*, std::u16string_view) {
  throw EnxBaseEncryptionEngineException(nxeCapabilityNotSupported, u"%s not supported by %s",
                                         {std::u16string_view(u"ChangePassword"), ClassName()});
}

uint32_t TnxBaseEncryptionEngine::CreateEngine(std::u16string_view aName, const TnxUnicodeStrings& aPasswords,
                                               uint8_t* aHeader, bool aCreating, bool aForServer,
                                               TnxEncryptionEnginePtr& aEngine) {
  aEngine.reset();
  const TnxBaseEncryptionEngineClass* found = ClassInForce(aName, aForServer);
  if (!found)
    return EnxBaseException::nxSetMessage(nxeSubEngineNotSupported, u"Unknown encryption engine: \"%s\"", {aName});
  return found->CreateForHeader(aName, aPasswords, aEngine, aForServer, aCreating, aHeader);
}

bool TnxBaseEncryptionEngine::HasEngine(std::u16string_view aName, bool aForServer) {
  return ClassInForce(aName, aForServer) != nullptr;
}

void TnxBaseEncryptionEngine::GetRegisteredEngines(platform::TStringList& aList, bool aForServer) {
  aList.Clear();
  aList.Add(u"");
  if (const Registry* registry = gRegistries[aForServer ? 1 : 0].get())
    for (const NameEntry& name : *registry) aList.Add(name.Name);
}

uint32_t TnxBaseEncryptionEngine::ReservedSpacePerBlock(std::u16string_view aEngine, bool aForServer,
                                                        TnxBlockSize aBlockSize) {
  return MustFindClass(aEngine, aForServer).beeReservedSpacePerBlock(aBlockSize);
}

uint32_t TnxBaseEncryptionEngine::ReservedHeaderSpace(std::u16string_view aEngine, bool aForServer) {
  if (aEngine.empty()) return 0;
  const TnxBaseEncryptionEngineClass& found = MustFindClass(aEngine, aForServer);
  return found.beeReservedHeaderSpace() + found.beeChecksumSize();
}

// ---- Blowfish/RC4 engine ----

TnxBlowfishRC4EncryptionEngine::~TnxBlowfishRC4EncryptionEngine() {
  while (void* p = beeBlowfishCache.Pop()) std::unique_ptr<TnxOwnedBlowFishRC4>(static_cast<TnxOwnedBlowFishRC4*>(p));
  platform::SecureZero(beeDerivedKey.data(), beeDerivedKey.size());
  platform::SecureZero(beeUsedKey.data(), beeUsedKey.size());
  platform::SecureZero(beeBlowfishKey.data(), beeBlowfishKey.size());
}

uint32_t TnxBlowfishRC4EncryptionEngine::beeSetUp(uint8_t* aHeader, bool aCreating,
                                                  const TnxUnicodeStrings& aPasswords) {
  if (!aHeader) {
    // A file without header area: passwords play no part.
    beeBlowfishKey.assign(beeGetDefaultKey());
    return 0;
  }
  if (aCreating) {
    if (aPasswords.size() > 1)
      return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"More than one key specified when creating new table");
    // An empty password is no password: the table would otherwise be keyed
    // with "" but count as unprotected, and refuse to open without one.
    if (aPasswords.size() == 1 && !aPasswords[0].empty()) {
      std::optional<std::string> ansi = ExactAnsiPassword(aPasswords[0]);
      if (!ansi) return EnxBaseException::nxSetMessage(nxeInvalidParameter, kUnfitPassword, {platform::SystemAnsiCodePage()});
      beeUsedKey = std::move(*ansi);
      beeCreateTableKey(aHeader, beeUsedKey);
    } else {
      beeCreateTableKey(aHeader, beeGetDefaultKey());
    }
  } else {
    bool verified = false;
    for (const std::u16string& password : aPasswords) {
      std::string ansi = AnsiPassword(password);
      if (beeVerifyPassword(aHeader, ansi)) {
        beeUsedKey = std::move(ansi);
        verified = true;
        break;
      }
    }
    if (!verified && !beeVerifyPassword(aHeader, beeGetDefaultKey())) return nxeInvalidPassword;
  }
  beeBlowfishKey = beeDerivedKey;
  return 0;
}

void TnxBlowfishRC4EncryptionEngine::beeCreateTableKey(uint8_t* aHeader, std::string_view aPassword) {
  uint8_t salt[16];
  uint8_t key[16];
  DrawRandom(salt, sizeof(salt));
  DrawRandom(key, sizeof(key));
  beeDerivedKey.assign(reinterpret_cast<const char*>(key), sizeof(key));
  platform::SecureZero(key, sizeof(key));
  beeEncipherTableKey(aHeader, salt, aPassword);
}

// The table key enciphered under K(salt + password), with its check value.
void TnxBlowfishRC4EncryptionEngine::beeEncipherTableKey(uint8_t* aHeader, const uint8_t* aSalt,
                                                         std::string_view aPassword) {
  uint8_t area[kHeaderAreaSize];
  std::memcpy(area, aSalt, 16);
  std::string keyText(reinterpret_cast<const char*>(area), 16);
  keyText.append(aPassword);
  TnxBlowFishRC4 cipher(keyText);
  platform::SecureZero(keyText.data(), keyText.size());
  DrawRandom(area + 16, 8);
  cipher.ResetIVBlock(area + 16);
  std::memcpy(area + 24, beeDerivedKey.data(), 16);
  cipher.Encode(area + 24, 16);
  cipher.Final(area + 40);
  // The header changes only once everything above has succeeded.
  std::memcpy(aHeader, area, sizeof(area));
}

bool TnxBlowfishRC4EncryptionEngine::beeVerifyPassword(const uint8_t* aHeader, std::string_view aPassword) {
  std::string keyText(reinterpret_cast<const char*>(aHeader), 16);
  keyText.append(aPassword);
  TnxBlowFishRC4 cipher(keyText);
  platform::SecureZero(keyText.data(), keyText.size());
  uint8_t key[16];
  uint8_t mac[8];
  std::memcpy(key, aHeader + 24, sizeof(key));
  cipher.ResetIVBlock(aHeader + 16);
  cipher.Decode(key, sizeof(key));
  cipher.Final(mac);
  const bool right = SameBytes(mac, aHeader + 40, sizeof(mac));
  if (right) beeDerivedKey.assign(reinterpret_cast<const char*>(key), sizeof(key));
  platform::SecureZero(key, sizeof(key));
  return right;
}

uint32_t TnxBlowfishRC4EncryptionEngine::AuthenticatePassword(const TnxUnicodeStrings& aPasswords) {
  if (beeUsedKey.empty()) return 0;
  for (const std::u16string& password : aPasswords)
    if (AnsiPassword(password) == beeUsedKey) return 0;
  return nxeInvalidPassword;
}

std::u16string TnxBlowfishRC4EncryptionEngine::ExtractPassword() const {
  return platform::CodePageToUnicode(beeUsedKey, platform::SystemAnsiCodePage());
}

void TnxBlowfishRC4EncryptionEngine::ChangePassword(uint8_t* aHeader, std::u16string_view aNewPassword) {
  // A file without header area is keyed with the default key: there is no
  // table key to re-encipher.
  if (!aHeader || beeDerivedKey.size() != 16)
    throw EnxBlowfishRC4EncryptionEngineException(
        nxeInvalidParameter, u"The table has no encryption header area, so its password cannot be changed");
  std::optional<std::string> ansi = ExactAnsiPassword(aNewPassword);
  if (!ansi)
    throw EnxBlowfishRC4EncryptionEngineException(nxeInvalidParameter, kUnfitPassword,
                                                  {platform::SystemAnsiCodePage()});
  // The table key stays, so no block needs enciphering again.
  uint8_t salt[16];
  DrawRandom(salt, sizeof(salt));
  beeEncipherTableKey(aHeader, salt, ansi->empty() ? beeGetDefaultKey() : std::string_view(*ansi));
  platform::SecureZero(beeUsedKey.data(), beeUsedKey.size());
  beeUsedKey = std::move(*ansi);
}

std::unique_ptr<TnxOwnedBlowFishRC4> TnxBlowfishRC4EncryptionEngine::beeTakeCipher() {
  if (void* p = beeBlowfishCache.Pop()) return std::unique_ptr<TnxOwnedBlowFishRC4>(static_cast<TnxOwnedBlowFishRC4*>(p));
  return std::make_unique<TnxOwnedBlowFishRC4>(*this);
}

void TnxBlowfishRC4EncryptionEngine::beeRecycle(std::unique_ptr<TnxOwnedBlowFishRC4> aCipher) noexcept {
  try {
    beeBlowfishCache.Push(aCipher.get());
    aCipher.release();
  } catch (...) {
    // No room in the pool: the cipher is freed and a later call keys a new one.
  }
}

namespace {
// A cipher taken from the pool for one call, given back also when the call raises.
class CipherLease {
public:
  explicit CipherLease(std::unique_ptr<TnxOwnedBlowFishRC4> aCipher) : clCipher(std::move(aCipher)) {}
  ~CipherLease() { TnxOwnedBlowFishRC4::Recycle(std::move(clCipher)); }
  CipherLease(const CipherLease&) = delete;
  CipherLease& operator=(const CipherLease&) = delete;
  TnxOwnedBlowFishRC4* operator->() const noexcept { return clCipher.get(); }

private:
  std::unique_ptr<TnxOwnedBlowFishRC4> clCipher;
};
}  // namespace

void TnxBlowfishRC4EncryptionEngine::CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen,
                                               uint32_t) {
  const uint32_t n = EncipheredLength(aBlockLen);
  auto* out = static_cast<uint8_t*>(aBlockOut);
  if (out != aBlockIn) std::memmove(out, aBlockIn, n);
  CipherLease cipher(beeTakeCipher());
  DrawRandom(out + n, 8);
  cipher->ResetIVBlock(out + n);
  cipher->Encode(out, n);
  cipher->Final(out + n + 8);
}

void TnxBlowfishRC4EncryptionEngine::DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t) {
  const uint32_t n = EncipheredLength(aBlockLen);
  auto* block = static_cast<uint8_t*>(aBlock);
  uint8_t mac[8];
  {
    CipherLease cipher(beeTakeCipher());
    cipher->ResetIVBlock(block + n);
    cipher->Decode(block, n);
    cipher->Final(mac);
  }
  if (!SameBytes(mac, block + n + 8, sizeof(mac))) {
    std::memset(block, 0, aBlockLen);
    throw EnxBlowfishRC4EncryptionEngineException(nxeCorruptFile);
  }
}

std::string_view TnxUserBlowfishRC4EncryptionEngine::beeGetDefaultKey() const { return gClientDefaultKey; }
std::string_view TnxServerBlowfishRC4EncryptionEngine::beeGetDefaultKey() const { return gServerDefaultKey; }

TnxRandom64Source nxSetEncryptionRandomSource(TnxRandom64Source aSource) noexcept {
  return gRandomSource.exchange(aSource ? aSource : &TnxBlowFishRC4::GetRandom64, std::memory_order_acq_rel);
}

// ---- start-up ----

void nxEncryptionEngineStartup() {
  gClientDefaultKey.assign(kDefaultKeyTable, 64);
  gServerDefaultKey.assign(kDefaultKeyTable + 64, 64);
  kUserClass.Register(kDefaultEngineName, false, 0);
  kServerClass.Register(kDefaultEngineName, true, 0);
}

void nxEncryptionEngineShutdown() {
  kServerClass.Unregister();
  kUserClass.Unregister();
  platform::SecureZero(gClientDefaultKey.data(), gClientDefaultKey.size());
  platform::SecureZero(gServerDefaultKey.data(), gServerDefaultKey.size());
  gClientDefaultKey.clear();
  gServerDefaultKey.clear();
}

}  // namespace revurov
