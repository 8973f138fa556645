// The header block 0 of a table file and the two formats it comes in:
// "NX!1" (old files, read only) and "NX!2" (every new file). A format object
// reads block 0 into its file, writes a fresh one for a new file, and checks
// every block it is shown.
//
// Layout of block 0 (little-endian): signature 0..3, own number 4..7, LSN
// 8..15, block size ordinal 16, encryption header size E 17..18 ("NX!2"),
// usable size U 20..23, free head 24, free count 28, used blocks 32, version
// 36, encryption engine name 40 and stream engine name 72 (length byte and
// up to 31 ANSI characters), "NX!2": cached free numbers 104..183, section
// top 256, section directory from 258, the engine's header area at
// U - E - 1 and the table checksum in its last C bytes. "NX!2" blocks carry
// their owner ID at U.
//
// Contract:
// - Block 0 is untrusted. Opening checks the signature, the size ordinal
//   (0 to 4), U against the format and engine reserve, E and the section top
//   inside the block, both name lengths (at most 31) and used blocks (at
//   least 1) before anything else reads it: an unknown signature raises 9992,
//   any other bad field 8962, both naming the file.
// - The registry is filled at start-up ("NX!1", "NX!2") and emptied at
//   shut-down; it is read without a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "storage/files.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxFileHeaderAccessException, EnxServerException);
REVUROV_EXCEPTION_CLASS(Enx1xFileHeaderAccessException, EnxFileHeaderAccessException);
REVUROV_EXCEPTION_CLASS(Enx2xFileHeaderAccessException, EnxFileHeaderAccessException);

inline constexpr int32_t nxFreeBlockMapOwnerID = 0x7FFFFFFF;
inline constexpr int32_t nxSubHeaderOverflowOwnerID = 0x7FFFFFFE;
inline constexpr uint32_t nxNoBlock = 0xFFFFFFFF;

// Offsets in block 0.
inline constexpr uint32_t nxhBlockSize = 16;
inline constexpr uint32_t nxhEncryptionHeaderSize = 17;
inline constexpr uint32_t nxhUsableSize = 20;
inline constexpr uint32_t nxhFreeHead = 24;
inline constexpr uint32_t nxhFreeCount = 28;
inline constexpr uint32_t nxhUsedBlocks = 32;
inline constexpr uint32_t nxhVersion = 36;
inline constexpr uint32_t nxhEncryptionEngineName = 40;
inline constexpr uint32_t nxhStreamEngineName = 72;
inline constexpr uint32_t nxhFreeCache = 104;
inline constexpr uint32_t nxhSectionTop = 256;
inline constexpr uint32_t nxhSectionDirectory = 258;
inline constexpr uint32_t nxhMaxEngineName = 31;

class TnxBaseFileHeaderAccess;
class TnxBaseFileHeaderAccessFactory;
class TnxBaseTransaction;
class TnxBlockAccess;
using TnxFileHeaderAccessFactoryPtr = std::unique_ptr<TnxBaseFileHeaderAccessFactory>;

// The class reference of a header format.
class TnxFileHeaderAccessFactoryClass {
public:
  using TCreate = TnxFileHeaderAccessFactoryPtr (*)(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile,
                                                    uint8_t* aHeader);
  constexpr TnxFileHeaderAccessFactoryClass(std::u16string_view aName, int32_t aReserve, TCreate aCreate) noexcept
      : fhcName(aName), fhcReserve(aReserve), fhcCreate(aCreate) {}
  TnxFileHeaderAccessFactoryClass(const TnxFileHeaderAccessFactoryClass&) = delete;
  TnxFileHeaderAccessFactoryClass& operator=(const TnxFileHeaderAccessFactoryClass&) = delete;

  std::u16string_view ClassName() const noexcept { return fhcName; }
  // The format reserve F at the end of every block.
  int32_t GetAdditionalReservedSpace() const noexcept { return fhcReserve; }
  // aNewSignature all zero: open the file whose block 0 is aHeader (at least
  // 4096 bytes); otherwise write a new block 0 of aFile's block size.
  TnxFileHeaderAccessFactoryPtr Create(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile,
                                       uint8_t* aHeader) const {
    return fhcCreate(aNewSignature, aFile, aHeader);
  }

  // Start-up and shut-down only; a signature registered twice raises.
  void Register(std::string_view aSignature) const;
  // Removes every signature of this class.
  void UnRegister() const;

private:
  std::u16string_view fhcName;
  int32_t fhcReserve;
  TCreate fhcCreate;
};

class TnxBaseFileHeaderAccessFactory {
public:
  virtual ~TnxBaseFileHeaderAccessFactory() = default;
  TnxBaseFileHeaderAccessFactory(const TnxBaseFileHeaderAccessFactory&) = delete;
  TnxBaseFileHeaderAccessFactory& operator=(const TnxBaseFileHeaderAccessFactory&) = delete;

  // aSignature not all zero: a file being created; otherwise the signature
  // at the start of aHeader picks the format.
  static TnxFileHeaderAccessFactoryPtr CreateFactory(const TnxBlockSignature& aSignature, uint8_t* aHeader,
                                                     TnxBaseFile& aFile);
  static int32_t GetAdditionalReservedSpace(std::string_view aSignature);

  virtual const TnxFileHeaderAccessFactoryClass& ClassType() const noexcept = 0;

  // A header accessor of this format (header_access.h) over aBlockAccess.
  virtual std::unique_ptr<TnxBaseFileHeaderAccess> CreateFileHeaderAccess(TnxBaseTransaction* aTrans,
                                                                          bool aMarkDirty,
                                                                          TnxBlockAccess& aBlockAccess) const = 0;
  virtual void PrepareChecksum(uint8_t* /*aHeader*/, bool /*aCreating*/) {}
  virtual void VerifyID(const uint8_t* aBlock, TnxBlockNumber aBlockNum, int32_t aID) const;
  virtual void ValidateBlock(const uint8_t* aBlock, TnxBlockNumber aBlockNum) const;
  virtual int32_t GetID(const uint8_t* /*aBlock*/) const { return 0; }
  virtual uint32_t GetUsedBlocks(const uint8_t* aHeader) const = 0;
  virtual uint8_t* GetEncryptionEngineHeader(uint8_t* /*aHeader*/) const { return nullptr; }
  virtual uint8_t* GetTableChecksum(uint8_t* /*aHeader*/) const { return nullptr; }

protected:
  explicit TnxBaseFileHeaderAccessFactory(TnxBaseFile& aFile) : bfhafFile(&aFile) {}
  TnxBaseFile* bfhafFile;
};

// The fields both formats share.
class TnxCommonFileHeaderAccessFactory : public TnxBaseFileHeaderAccessFactory {
public:
  uint32_t GetUsedBlocks(const uint8_t* aHeader) const override;

protected:
  TnxCommonFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile, uint8_t* aHeader,
                                   int32_t aReserve);
};

class Tnx1xFileHeaderAccessFactory final : public TnxCommonFileHeaderAccessFactory {
public:
  static const TnxFileHeaderAccessFactoryClass& ClassInfo() noexcept;
  const TnxFileHeaderAccessFactoryClass& ClassType() const noexcept override { return ClassInfo(); }

  Tnx1xFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile, uint8_t* aHeader);
  std::unique_ptr<TnxBaseFileHeaderAccess> CreateFileHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                                  TnxBlockAccess& aBlockAccess) const override;
};

class Tnx2xFileHeaderAccessFactory final : public TnxCommonFileHeaderAccessFactory {
public:
  static const TnxFileHeaderAccessFactoryClass& ClassInfo() noexcept;
  const TnxFileHeaderAccessFactoryClass& ClassType() const noexcept override { return ClassInfo(); }

  Tnx2xFileHeaderAccessFactory(const TnxBlockSignature& aNewSignature, TnxBaseFile& aFile, uint8_t* aHeader);
  std::unique_ptr<TnxBaseFileHeaderAccess> CreateFileHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                                  TnxBlockAccess& aBlockAccess) const override;
  // E, the size of the encryption engine's area at the top of block 0.
  uint32_t EncryptionHeaderSize() const noexcept { return fhEncryptionHeaderSize; }

  void PrepareChecksum(uint8_t* aHeader, bool aCreating) override;
  void VerifyID(const uint8_t* aBlock, TnxBlockNumber aBlockNum, int32_t aID) const override;
  void ValidateBlock(const uint8_t* aBlock, TnxBlockNumber aBlockNum) const override;
  int32_t GetID(const uint8_t* aBlock) const override;
  uint8_t* GetEncryptionEngineHeader(uint8_t* aHeader) const override;
  uint8_t* GetTableChecksum(uint8_t* aHeader) const override;

private:
  uint32_t fhEncryptionHeaderSize = 0;  // E
};

void nxFileHeaderStartup();
void nxFileHeaderShutdown();

}  // namespace revurov
