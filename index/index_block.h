// Index node blocks ("NXIH"): the 40-byte node header every index block of
// a table file starts with, and the one checked way to read such a block.
//
// Contract:
// - nxReadIndexBlock refuses a number outside the file (15409) and a block
//   that is not signed "NXIH" or carries another own number (15424), both
//   as EnxBaseIndexEngineException with the file name and block number;
//   the block is released before either is raised.
// - Read for change, the node's change counter goes up by one, so paths
//   that remember it see the node has changed.
#pragma once

#include <cstdint>

#include "storage/release_method.h"
#include "storage/storage_types.h"
#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseFileHeaderAccess;
class TnxBaseTransaction;

REVUROV_EXCEPTION_CLASS(EnxBaseIndicesEngineException, EnxBaseSubEngineException);
REVUROV_EXCEPTION_CLASS(EnxBaseIndexEngineException, EnxBaseSubEngineException);

inline constexpr TnxBlockSignature nxIndexBlockSignature{'N', 'X', 'I', 'H'};

// Offsets of the node header.
inline constexpr uint32_t nxihChangeCounter = 16;
inline constexpr uint32_t nxihPrevNode = 24;
inline constexpr uint32_t nxihNextNode = 28;
inline constexpr uint32_t nxihFirstSlot = 32;
inline constexpr uint32_t nxihKeyCount = 34;
inline constexpr uint32_t nxihNodeKind = 36;
inline constexpr uint32_t nxihIndexNumber = 37;
inline constexpr uint32_t nxihBody = 40;

// Node kinds; the indices block of a file is kind 0.
inline constexpr uint8_t nxnkIndices = 0;
inline constexpr uint8_t nxnkInternal = 1;
inline constexpr uint8_t nxnkLeaf = 2;

inline constexpr uint32_t nxNoNode = 0xFFFFFFFF;

// aID: the indices engine's owner ID of the block.
PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aFileHeader, int32_t aID,
                          bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aReleaseMethod);

}  // namespace revurov
