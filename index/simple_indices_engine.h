// The indices engine tables use ("nx1xDefault"): every file of the table
// has a 4-byte header section naming its indices block, an "NXIH" block of
// node kind 0 that holds, per index number 0 to 255, the key length, key
// count, root node and page count of the index kept in that file.
//
// Contract:
// - Built with a transaction, the files are prepared (section, indices
//   block, one entry per index); built without, the table is being opened
//   and every index must find its indices block and its own key length
//   there, else 8961 before any index is used.
// - RemoveIndex moves the later entries of the indices block down with the
//   engines, so index n always reads entry n.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/index_engines.h"
#include "storage/release_method.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxSimpleIndicesEngineException, EnxBaseIndicesEngineException);

// Offsets in the indices block, per index number n: + 2n or + 4n.
inline constexpr uint32_t nxihIndexKeyLen = 40;
inline constexpr uint32_t nxihIndexKeyCount = 552;
inline constexpr uint32_t nxihIndexRoot = 1576;
inline constexpr uint32_t nxihIndexPageCount = 2600;
inline constexpr uint32_t nxihIndicesEnd = 3624;

class TnxSimpleIndicesEngine : public TnxBaseIndicesEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleIndicesEngine, TnxBaseIndicesEngine, TnxSubEngineClass, nullptr, nullptr,
                              &nxNewSubEngine<TnxSimpleIndicesEngine>)

  explicit TnxSimpleIndicesEngine(const TnxSubEngineArgs& aArgs);

  std::unique_ptr<TnxBaseIndexHeaderAccess> CreateHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty,
                                                               bool aMarkIndexDirty, int32_t aFieldCount,
                                                               int32_t aPartialLen,
                                                               TnxBaseIndexEngine& aIndex) override;
  // Offset of the section in the header block of index aIndex's file.
  uint16_t HeaderSection(int32_t aIndex) const { return ineHeaderSection[static_cast<size_t>(aIndex)]; }

protected:
  void IndexAdded(TnxBaseTransaction& aTrans, int32_t aIndex) override;
  void IndexRemoved(TnxBaseTransaction& aTrans, int32_t aIndex) override;

private:
  void CheckIndex(int32_t aIndex);

  std::vector<uint16_t> ineHeaderSection;
};

class TnxSimpleIndicesHeaderAccess : public TnxBaseIndexHeaderAccess {
public:
  TnxSimpleIndicesHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty, bool aMarkIndexDirty,
                               int32_t aFieldCount, int32_t aPartialLen, TnxBaseIndexEngine& aIndex,
                               uint16_t aHeaderSection);

  uint32_t GetIndexRoot() override { return Entry(nxihIndexRoot); }
  void SetIndexRoot(uint32_t aValue) override { SetEntry(nxihIndexRoot, aValue); }
  uint32_t GetIndexPageCount() override { return Entry(nxihIndexPageCount); }
  void SetIndexPageCount(uint32_t aValue) override { SetEntry(nxihIndexPageCount, aValue); }
  uint32_t GetIndexKeyCount() override { return Entry(nxihIndexKeyCount); }
  void SetIndexKeyCount(uint32_t aValue) override { SetEntry(nxihIndexKeyCount, aValue); }
  // Of the indices block: common to every index of the file.
  TnxLSN GetIndexLSN() override;

private:
  PnxBlock InxBlock();
  uint32_t Entry(uint32_t aArray);
  void SetEntry(uint32_t aArray, uint32_t aValue);

  uint16_t haHeaderSection;
  TnxBlockGuard haInxBlock;
};

void nxSimpleIndicesEngineStartup();
void nxSimpleIndicesEngineShutdown() noexcept;

}  // namespace revurov
