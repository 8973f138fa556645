#include "storage/block_access.h"

#include "lowlevel/errors/error_codes.h"
#include "storage/buffer_manager.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/header_access.h"

namespace revurov {

namespace {

TnxBufferManager& OwnerOf(const TnxBaseFile& aFile) {
  TnxBufferManager* owner = TnxBufferManager::OwnerOf(aFile);
  if (!owner)
    throw EnxBufferManagerException(nxeInvalidParameter, u"File \"%s\" is not attached to a buffer manager",
                                    {aFile.fiName});
  return *owner;
}

// The guarded block, its ID checked (a failed check releases it), handed
// over to the caller with its release method.
PnxBlock HandOverVerified(TnxBaseFile& aFile, TnxBlockGuard& aGuard, TnxBlockNumber aBlockNumber, int32_t aID,
                          TnxReleaseMethod& aReleaseMethod) {
  if (!aGuard.Block()) return nullptr;
  if (aFile.fiHeaderAccessFactory) aFile.fiHeaderAccessFactory->VerifyID(aGuard.Block(), aBlockNumber, aID);
  const PnxBlock block = aGuard.Block();
  aReleaseMethod = std::exchange(aGuard.ReleaseMethod(), {});
  return block;
}

}  // namespace

// The header block of a logical file other than the root comes from the
// root header's sections, which its accessor reads; until then it is 0.
TnxBlockAccess::TnxBlockAccess(TnxBaseFile& aFile, TnxBlockAccess* aMain, std::u16string_view aBaseName,
                               int32_t aID)
    : baFile(aFile), baBufferManager(OwnerOf(aFile)), baID(aID), baMain(aMain), baBaseName(aBaseName) {}

PnxBlock TnxBlockAccess::GetBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, int32_t aID,
                                  bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  TnxBlockGuard guard;
  guard.Hold(baBufferManager.GetBlock(baFile, aTrans, aBlockNumber, aMarkDirty, guard.ReleaseMethod()));
  return HandOverVerified(baFile, guard, aBlockNumber, aID, aReleaseMethod);
}

PnxBlock TnxBlockAccess::GetUsedBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, int32_t aID,
                                      bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  TnxBlockGuard guard;
  guard.Hold(baBufferManager.GetUsedBlock(baFile, aTrans, aBlockNumber, aMarkDirty, guard.ReleaseMethod()));
  return HandOverVerified(baFile, guard, aBlockNumber, aID, aReleaseMethod);
}

void TnxBlockAccess::PrefetchBlocks(std::span<const TnxBlockNumber> aNumbers) {
  baBufferManager.PrefetchBlocks(baFile, aNumbers);
}

bool TnxBlockAccess::ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans) const {
  return aBlockNumber != 0 && aBlockNumber < baBufferManager.UsedBlocks(baFile, aTrans);
}

std::unique_ptr<TnxBaseFileHeaderAccess> TnxBlockAccess::HeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty) {
  if (!baFile.fiHeaderAccessFactory)
    throw EnxBufferManagerException(nxeInvalidParameter, u"File \"%s\" has no header format", {baFile.fiName});
  return baFile.fiHeaderAccessFactory->CreateFileHeaderAccess(aTrans, aMarkDirty, *this);
}

bool TnxBlockAccess::ValidBlock(TnxBlockNumber aBlockNumber, const TnxBaseFileHeaderAccess& aHeaderAccess) const {
  return aBlockNumber != 0 && aBlockNumber < aHeaderAccess.UsedBlocks();
}

void TnxBlockAccess::ChangePassword(TnxBaseTransaction& aTrans, std::u16string_view aNewPassword) {
  if (baID != 0)
    throw EnxBaseFileException(nxeCapabilityNotSupported, u"ChangePassword is only allowed for the root table");
  if (!baFile.fiEncryptionEngine)
    throw EnxBaseFileException(nxeCapabilityNotSupported,
                               u"ChangePassword is only supported for tables with an encryption engine");
  HeaderAccess(&aTrans, true)->ChangePassword(aNewPassword);
}

TnxLSN TnxBlockAccess::CurrentLSN() const { return baBufferManager.FileLSN(baFile); }

TnxLSN TnxBlockAccess::CurrentLSN(TnxBaseTransaction* aTrans) {
  if (!aTrans) return CurrentLSN();
  return HeaderAccess(aTrans, false)->CurrentLSN();
}

const std::u16string& TnxBlockAccess::fiName() const noexcept { return baFile.fiName; }

uint32_t TnxBlockAccess::fiBlockSizeBytes() const noexcept { return baFile.fiBlockSizeBytes; }

}  // namespace revurov
