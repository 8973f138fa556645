#include "storage/file_header.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "storage/encryption_engine.h"

namespace revurov {

namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

struct TRegistered {
  std::string signature;
  const TnxFileHeaderAccessFactoryClass* cls;
};
// Sorted by signature; written only at start-up and shut-down.
std::vector<TRegistered> gFactories;

const TnxFileHeaderAccessFactoryClass* FindFactory(std::string_view aSignature) {
  if (gFactories.empty()) throw EnxFileHeaderAccessException(nxeNoFileHeaderAccessFactories);
  const auto it = std::lower_bound(gFactories.begin(), gFactories.end(), aSignature,
                                   [](const TRegistered& r, std::string_view s) { return r.signature < s; });
  return it != gFactories.end() && it->signature == aSignature ? it->cls : nullptr;
}

std::string_view SignatureText(const uint8_t* aBlock) { return {reinterpret_cast<const char*>(aBlock), 4}; }
std::u16string SignatureText16(const uint8_t* aBlock) {
  return platform::CodePageToUnicode(SignatureText(aBlock), platform::SystemAnsiCodePage());
}

bool AllZero(const TnxBlockSignature& aSignature) {
  return std::all_of(aSignature.begin(), aSignature.end(), [](char c) { return c == 0; });
}

int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(LoadU32(p)); }

// The damage found in block 0, named with the file.
[[noreturn]] void RaiseCorrupt(const TnxBaseFile& aFile, std::u16string_view aWhat) {
  throw EnxFileHeaderAccessException(nxeCorruptFile, u"The header of file \"%s\" is corrupt: %s",
                                     {aFile.fiName, aWhat});
}

std::u16string LoadName(const uint8_t* aField) {
  return platform::CodePageToUnicode(std::string_view(reinterpret_cast<const char*>(aField) + 1, aField[0]),
                                     platform::SystemAnsiCodePage());
}

void StoreName(uint8_t* aField, std::u16string_view aName) {
  std::string bytes = platform::UnicodeToCodePageLossy(aName, platform::SystemAnsiCodePage());
  if (bytes.size() > nxhMaxEngineName) bytes.resize(nxhMaxEngineName);
  aField[0] = static_cast<uint8_t>(bytes.size());
  std::memcpy(aField + 1, bytes.data(), bytes.size());
}

}  // namespace

void TnxFileHeaderAccessFactoryClass::Register(std::string_view aSignature) const {
  const auto it = std::lower_bound(gFactories.begin(), gFactories.end(), aSignature,
                                   [](const TRegistered& r, std::string_view s) { return r.signature < s; });
  if (it != gFactories.end() && it->signature == aSignature)
    throw EnxFileHeaderAccessException(u"Header format \"%s\" is already registered",
                                       {platform::CodePageToUnicode(aSignature, platform::SystemAnsiCodePage())});
  gFactories.insert(it, TRegistered{std::string(aSignature), this});
}

void TnxFileHeaderAccessFactoryClass::UnRegister() const {
  std::erase_if(gFactories, [this](const TRegistered& r) { return r.cls == this; });
  if (gFactories.empty()) gFactories.shrink_to_fit();
}

TnxFileHeaderAccessFactoryPtr TnxBaseFileHeaderAccessFactory::CreateFactory(const TnxBlockSignature& aSignature,
                                                                            uint8_t* aHeader, TnxBaseFile& aFile) {
  const std::string_view key =
      AllZero(aSignature) ? SignatureText(aHeader) : std::string_view(aSignature.data(), aSignature.size());
  const TnxFileHeaderAccessFactoryClass* cls = FindFactory(key);
  if (!cls)
    throw EnxFileHeaderAccessException(nxeCannotOpenFile,
                                       u"\"%s\" is not a RevurOV formatted file, or its file header is corrupt",
                                       {aFile.fiName});
  return cls->Create(aSignature, aFile, aHeader);
}

int32_t TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(std::string_view aSignature) {
  const TnxFileHeaderAccessFactoryClass* cls = FindFactory(aSignature);
  if (!cls)
    throw EnxFileHeaderAccessException(nxeFileHeaderAccessNotSupported,
                                       u"Specified file header access is not supported");
  return cls->GetAdditionalReservedSpace();
}

void TnxBaseFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TnxBlockNumber aBlockNum, int32_t aID) const {
  const uint32_t own = LoadU32(aBlock + 4);
  if (own == aBlockNum || (own == 0 && aID == 0)) return;
  throw EnxFileHeaderAccessException(nxeCorruptFile,
                                     u"Block %d is identified as block %d in the block header in file \"%s\"",
                                     {aBlockNum, own, bfhafFile->fiName});
}

void TnxBaseFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TnxBlockNumber aBlockNum) const {
  const uint32_t own = LoadU32(aBlock + 4);
  if (own != aBlockNum)
    throw EnxFileHeaderAccessException(nxeCorruptFile,
                                       u"Block %d is identified as block %d in the block header in file \"%s\"",
                                       {aBlockNum, own, bfhafFile->fiName});
}

uint32_t TnxCommonFileHeaderAccessFactory::GetUsedBlocks(const uint8_t* aHeader) const {
  return LoadU32(aHeader + nxhUsedBlocks);
}

TnxCommonFileHeaderAccessFactory::TnxCommonFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature,
                                                                   TnxBaseFile& aFile, uint8_t* aHeader,
                                                                   int32_t aReserve)
    : TnxBaseFileHeaderAccessFactory(aFile) {
  TnxBaseFile& file = aFile;
  if (!AllZero(aNewSignature)) {
    const uint32_t bytes = file.BlockBytes();
    std::memset(aHeader, 0, bytes);
    std::memcpy(aHeader, aNewSignature.data(), 4);
    aHeader[nxhBlockSize] = static_cast<uint8_t>(file.fiBlockSize);
    uint32_t usable = bytes;
    if (!file.fiEncryptionEngineName.empty())
      usable -= TnxBaseEncryptionEngine::ReservedSpacePerBlock(file.fiEncryptionEngineName, false, file.fiBlockSize);
    usable -= static_cast<uint32_t>(aReserve);
    file.fiBlockSizeBytes = usable;
    StoreU32(aHeader + nxhUsableSize, usable);
    StoreName(aHeader + nxhEncryptionEngineName, file.fiEncryptionEngineName);
    StoreName(aHeader + nxhStreamEngineName, file.fiStreamEngineName);
    StoreU32(aHeader + nxhUsedBlocks, 1);
    file.fiUsedBlocks = 1;
    StoreU32(aHeader + nxhFreeCount, 0);
    StoreU32(aHeader + nxhFreeHead, nxNoBlock);
    StoreU32(aHeader + nxhVersion, static_cast<uint32_t>(file.fiZirezVersion));
    return;
  }
  // Nothing below reads past the first 4096 bytes or trusts a field unchecked.
  const uint8_t ordinal = aHeader[nxhBlockSize];
  if (ordinal > nxbs64k) RaiseCorrupt(file, u"block size");
  if (aHeader[nxhEncryptionEngineName] > nxhMaxEngineName || aHeader[nxhStreamEngineName] > nxhMaxEngineName)
    RaiseCorrupt(file, u"engine name");
  const uint32_t bytes = uint32_t{4096} << ordinal;
  const uint32_t usable = LoadU32(aHeader + nxhUsableSize);
  const std::u16string encryption = LoadName(aHeader + nxhEncryptionEngineName);
  uint32_t expected = bytes - static_cast<uint32_t>(aReserve);
  bool exact = encryption.empty();
  if (!exact && TnxBaseEncryptionEngine::HasEngine(encryption, false)) {
    expected -= TnxBaseEncryptionEngine::ReservedSpacePerBlock(encryption, false, static_cast<TnxBlockSize>(ordinal));
    exact = true;
  }
  // An engine this process lacks fails later with its own code; until then
  // U only has to leave the header's own fields inside the block.
  if (exact ? usable != expected : usable > expected || usable < 2 * nxhSectionTop) RaiseCorrupt(file, u"usable size");
  if (LoadU32(aHeader + nxhUsedBlocks) < 1) RaiseCorrupt(file, u"used blocks");
  file.fiBlockSize = static_cast<TnxBlockSize>(ordinal);
  file.fiBlockSizeBytes = usable;
  file.fiUsedBlocks = LoadU32(aHeader + nxhUsedBlocks);
  file.fiEncryptionEngineName = encryption;
  file.fiStreamEngineName = LoadName(aHeader + nxhStreamEngineName);
  file.fiZirezVersion = LoadI32(aHeader + nxhVersion);
}

// "NX!1" ------------------------------------------------------------------

namespace {

TnxFileHeaderAccessFactoryPtr Create1x(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile, uint8_t* aHeader) {
  return std::make_unique<Tnx1xFileHeaderAccessFactory>(aNewSignature, aFile, aHeader);
}
TnxFileHeaderAccessFactoryPtr Create2x(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile, uint8_t* aHeader) {
  return std::make_unique<Tnx2xFileHeaderAccessFactory>(aNewSignature, aFile, aHeader);
}

constexpr TnxFileHeaderAccessFactoryClass k1xClass(u"Tnx1xFileHeaderAccessFactory", 0, &Create1x);
constexpr TnxFileHeaderAccessFactoryClass k2xClass(u"Tnx2xFileHeaderAccessFactory", 4, &Create2x);

const TnxBlockSignature& Refuse1xCreate(const TnxBlockSignature& aNewSignature) {
  if (!AllZero(aNewSignature))
    throw Enx1xFileHeaderAccessException(nxeCapabilityNotSupported, u"Can't create new files with v1 header");
  return aNewSignature;
}

}  // namespace

const TnxFileHeaderAccessFactoryClass& Tnx1xFileHeaderAccessFactory::ClassInfo() noexcept { return k1xClass; }

Tnx1xFileHeaderAccessFactory::Tnx1xFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile,
                                                           uint8_t* aHeader)
    : TnxCommonFileHeaderAccessFactory(Refuse1xCreate(aNewSignature), aFile, aHeader, 0) {}

// "NX!2" ------------------------------------------------------------------

const TnxFileHeaderAccessFactoryClass& Tnx2xFileHeaderAccessFactory::ClassInfo() noexcept { return k2xClass; }

Tnx2xFileHeaderAccessFactory::Tnx2xFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile,
                                                           uint8_t* aHeader)
    : TnxCommonFileHeaderAccessFactory(aNewSignature, aFile, aHeader, 4) {
  const uint32_t usable = aFile.fiBlockSizeBytes;
  if (!AllZero(aNewSignature)) {
    fhEncryptionHeaderSize = aFile.fiEncryptionEngineName.empty()
                                 ? 0
                                 : TnxBaseEncryptionEngine::ReservedHeaderSpace(aFile.fiEncryptionEngineName,
                                                                                aFile.fiForServer);
    StoreU16(aHeader + nxhEncryptionHeaderSize, static_cast<uint16_t>(fhEncryptionHeaderSize));
    StoreU16(aHeader + nxhSectionTop, static_cast<uint16_t>(usable - fhEncryptionHeaderSize - 1));
    aHeader[nxhSectionDirectory] = 0;
    return;
  }
  fhEncryptionHeaderSize = LoadU16(aHeader + nxhEncryptionHeaderSize);
  // The engine reads its whole area: E must be what it asks for.
  const std::u16string& engine = aFile.fiEncryptionEngineName;
  const bool known = engine.empty() || TnxBaseEncryptionEngine::HasEngine(engine, aFile.fiForServer);
  if (known && fhEncryptionHeaderSize != TnxBaseEncryptionEngine::ReservedHeaderSpace(engine, aFile.fiForServer))
    RaiseCorrupt(aFile, u"encryption header size");
  // The directory's terminator at 258 and one byte below the sections.
  if (fhEncryptionHeaderSize + nxhSectionDirectory + 2 > usable) RaiseCorrupt(aFile, u"encryption header size");
  const uint32_t top = LoadU16(aHeader + nxhSectionTop);
  if (top <= nxhSectionDirectory || top > usable - fhEncryptionHeaderSize - 1) RaiseCorrupt(aFile, u"section top");
  if (LoadU32(aHeader + nxhFreeCount) > 20) RaiseCorrupt(aFile, u"free block count");
}

void Tnx2xFileHeaderAccessFactory::PrepareChecksum(uint8_t* aHeader, bool aCreating) {
  TnxBaseFile& file = *bfhafFile;
  file.fiCheckSumSize = file.fiEncryptionEngine ? file.fiEncryptionEngine->ClassType().beeChecksumSize() : 0;
  file.fiChecksum.clear();
  if (file.fiCheckSumSize == 0) return;
  if (file.fiCheckSumSize > fhEncryptionHeaderSize) RaiseCorrupt(file, u"table checksum");
  uint8_t* area = GetTableChecksum(aHeader);
  if (aCreating)
    std::memset(area, 0, file.fiCheckSumSize);
  else
    file.fiChecksum.assign(area, area + file.fiCheckSumSize);
}

void Tnx2xFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TnxBlockNumber aBlockNum, int32_t aID) const {
  TnxBaseFileHeaderAccessFactory::VerifyID(aBlock, aBlockNum, aID);
  const int32_t found = GetID(aBlock);
  if (aID != 0 && found != aID)
    throw Enx2xFileHeaderAccessException(nxeCorruptFile,
                                         u"Expected BlockOwnerID %d but found %d in file \"%s\" for block %d",
                                         {aID, found, bfhafFile->fiName, LoadU32(aBlock + 4)});
}

void Tnx2xFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TnxBlockNumber aBlockNum) const {
  TnxBaseFileHeaderAccessFactory::ValidateBlock(aBlock, aBlockNum);
  const std::string_view signature = SignatureText(aBlock);
  if (aBlockNum == 0) {
    if (signature != "NX!2")
      throw Enx2xFileHeaderAccessException(nxeCorruptFile, u"Block 0 has not the correct signature");
    return;
  }
  const int32_t owner = GetID(aBlock);
  if (owner == nxFreeBlockMapOwnerID) {
    if (signature != "FBMH")
      throw Enx2xFileHeaderAccessException(
          nxeCorruptFile,
          u"Block %d in file \"%s\" has the BlockOwnerID of the free block map but has a signature of \"%s\"",
          {aBlockNum, bfhafFile->fiName, SignatureText16(aBlock)});
  } else if (owner == nxSubHeaderOverflowOwnerID) {
    if (signature != "CHOF")
      throw Enx2xFileHeaderAccessException(nxeCorruptFile,
                                           u"Block %d in file \"%s\" has the BlockOwnerID of a child header overflow "
                                           u"block but has a signature of \"%s\"",
                                           {aBlockNum, bfhafFile->fiName, SignatureText16(aBlock)});
  } else if (owner < 0 || owner > bfhafFile->fiMaxID) {
    throw Enx2xFileHeaderAccessException(
        nxeCorruptFile,
        u"Expected BlockOwnerID smaller or equal to %d but found %d in file \"%s\" for block %d. The header "
        u"signature is \"%s\"",
        {bfhafFile->fiMaxID, owner, bfhafFile->fiName, aBlockNum, SignatureText16(aBlock)});
  }
}

int32_t Tnx2xFileHeaderAccessFactory::GetID(const uint8_t* aBlock) const {
  return LoadI32(aBlock + bfhafFile->fiBlockSizeBytes);
}

uint8_t* Tnx2xFileHeaderAccessFactory::GetEncryptionEngineHeader(uint8_t* aHeader) const {
  if (fhEncryptionHeaderSize == 0) return nullptr;
  return aHeader + bfhafFile->fiBlockSizeBytes - fhEncryptionHeaderSize - 1;
}

uint8_t* Tnx2xFileHeaderAccessFactory::GetTableChecksum(uint8_t* aHeader) const {
  if (bfhafFile->fiCheckSumSize == 0) return nullptr;
  return aHeader + bfhafFile->fiBlockSizeBytes - bfhafFile->fiCheckSumSize - 1;
}

void nxFileHeaderStartup() {
  k1xClass.Register("NX!1");
  k2xClass.Register("NX!2");
}

void nxFileHeaderShutdown() {
  k2xClass.UnRegister();
  k1xClass.UnRegister();
}

}  // namespace revurov
