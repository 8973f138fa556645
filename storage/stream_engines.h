// The default stream and autoinc engines.
//
// Streams are chains of "NXSH" blocks inside the table file, numbered by
// their first block. Named streams sit on top: "DICT" (any case), whose
// number is kept in the engine's 8-byte header section, and user names
// listed in a stream map, itself a stream ("SMAP").
//
// Contract:
// - Chains and the map come from disk and are untrusted: a chain longer
//   than the file, a size beyond its chain, a block of another stream or a
//   map entry past the map's end give 15421 (15409 for a number outside
//   the file), never a hang or a read outside a block.
// - A stream name must be 1 to 255 bytes in the ANSI code page; anything
//   else would be cut or changed on disk and is refused with 9986.
// - The autoinc counter is the last value handed out, in a 4-byte section;
//   stepping past 4294967295 gives 9731, except for a counter that never
//   handed out a value (its initial value less step wrapped below zero).
// - Every change runs in the caller's transaction, so rollback undoes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseFileHeaderAccess;
class TnxBlockGuard;

REVUROV_EXCEPTION_CLASS(EnxseStreamEngineExcpetion, EnxStreamEngineException);
REVUROV_EXCEPTION_CLASS(EnxseAutoIncEngineException, EnxBaseAutoIncEngineException);

// Offsets in a stream block.
inline constexpr uint32_t nxsbNext = 16;
inline constexpr uint32_t nxsbSignature = 20;
inline constexpr uint32_t nxsbSize = 24;
inline constexpr uint32_t nxsbStreamNr = 28;
inline constexpr uint32_t nxsbData = 32;
inline constexpr uint32_t nxsbLast = 0xFFFFFFFF;

class TnxSimpleStreamEngine : public TnxBaseStreamEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleStreamEngine, TnxBaseStreamEngine, TnxSubEngineClass, nullptr, nullptr,
                              &nxNewSubEngine<TnxSimpleStreamEngine>)

  explicit TnxSimpleStreamEngine(const TnxSubEngineArgs& aArgs);

  void DeleteStream(TnxBaseTransaction& aTrans, uint32_t aStreamNr) override;
  void ReadStream(TnxBaseTransaction* aTrans, uint32_t aStreamNr, platform::TStream& aStream) override;
  void WriteStream(TnxBaseTransaction& aTrans, uint32_t& aStreamNr, platform::TStream& aStream, bool aCreateNew,
                   const TnxBlockSignature& aStreamSig) override;
  uint32_t GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) override;
  uint32_t GetNamedStreamCount(TnxBaseTransaction* aTrans, uint32_t& aCount) override;
  uint32_t DeleteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName) override;
  uint32_t ReadNamedStream(TnxBaseTransaction* aTrans, std::u16string_view aName,
                           platform::TStream& aStream) override;
  uint32_t WriteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName,
                            platform::TStream& aStream) override;

  uint16_t seHeaderSection = 0;

private:
  struct MapEntry {
    std::u16string Name;
    uint32_t StreamNr;
  };
  using StreamMap = std::vector<MapEntry>;

  PnxBlock bseNewStreamBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                             TnxBlockGuard& aBlock, PnxBlock aPrevious);
  PnxBlock seGetStreamBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, TnxBlockGuard& aBlock,
                            bool aForChange, uint32_t aStreamNr);
  void seFreeStreamBlocks(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, bool aKeepFirst,
                          uint32_t aStreamNr);
  void seWriteStreamData(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                         const TnxBlockSignature& aSig, bool aCreateNew, platform::TStream& aStream,
                         uint32_t& aStreamNr);
  StreamMap seReadStreamMap(TnxBaseTransaction* aTrans);
  void seWriteStreamMap(TnxBaseTransaction& aTrans, const StreamMap& aMap);
  uint32_t seCountNamedStreams(TnxBaseTransaction* aTrans);
  // Section word 0 (dictionary) or 4 (map) as aTrans sees it.
  uint32_t SectionWord(TnxBaseTransaction* aTrans, uint32_t aOffset);
  void SetSectionWord(TnxBaseTransaction& aTrans, uint32_t aOffset, uint32_t aValue);
  // The bytes a chain's blocks may hold: bounds every walk.
  uint32_t MaxChainBlocks(TnxBaseTransaction* aTrans);
  [[noreturn]] void RaiseNotAStreamBlock(TnxBlockNumber aBlock) const;
};

class TnxSimpleAutoIncEngine : public TnxBaseAutoIncEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleAutoIncEngine, TnxBaseAutoIncEngine, TnxSubEngineClass, nullptr, nullptr,
                              &nxNewSubEngine<TnxSimpleAutoIncEngine>)

  explicit TnxSimpleAutoIncEngine(const TnxSubEngineArgs& aArgs);

  uint32_t NextAutoIncValue(TnxBaseTransaction& aTrans, uint32_t* aCurrentAutoInc) override;
  uint32_t ReadAutoIncValue(TnxBaseTransaction* aTrans) override;
  void SetAutoIncValue(TnxBaseTransaction& aTrans, uint32_t aValue) override;

  uint16_t aieHeaderSection = 0;
  uint32_t aieInitialValue = 1;
  uint32_t aieStep = 1;
};

void nxStreamEnginesStartup();
void nxStreamEnginesShutdown() noexcept;

}  // namespace revurov
