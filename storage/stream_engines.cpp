#include "storage/stream_engines.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/locale_text.h"
#include "platform/stream.h"
#include "platform/string_list.h"
#include "storage/block_access.h"
#include "storage/files.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU32;
using platform::StoreU32;

namespace {

// Blocks the transaction added are not in the committed count yet; the
// count only grows, so the header is asked only above it.
bool ValidInTrans(TnxBlockAccess& aAccess, TnxBlockNumber aBlock, TnxBaseTransaction* aTrans) {
  if (aAccess.ValidBlock(aBlock, aTrans)) return true;
  return aBlock != 0 && aTrans && aAccess.ValidBlock(aBlock, *aAccess.HeaderAccess(aTrans, false));
}

constexpr TnxBlockSignature kStreamBlockSig{'N', 'X', 'S', 'H'};
constexpr TnxBlockSignature kDictSig{'D', 'I', 'C', 'T'};
constexpr TnxBlockSignature kMapSig{'S', 'M', 'A', 'P'};
constexpr TnxBlockSignature kUserSig{'U', 'S', 'E', 'R'};
constexpr uint32_t kDictWord = 0;
constexpr uint32_t kMapWord = 4;

bool IsDictName(std::u16string_view aName) {
  if (aName.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = aName[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (c != static_cast<char16_t>("DICT"[i])) return false;
  }
  return true;
}

// The name as the map stores it: 1 to 255 ANSI bytes, nothing lost.
std::string MapName(std::u16string_view aName) {
  std::optional<std::string> bytes = platform::UnicodeToCodePage(aName, platform::SystemAnsiCodePage());
  if (aName.empty() || !bytes || bytes->size() > 255 ||
      platform::CodePageToUnicode(*bytes, platform::SystemAnsiCodePage()) != aName)
    throw EnxseStreamEngineExcpetion(nxeInvalidParameter, u"Invalid stream name: \"%s\"", {aName});
  return *bytes;
}

}  // namespace

TnxSimpleStreamEngine::TnxSimpleStreamEngine(const TnxSubEngineArgs& aArgs) : TnxBaseStreamEngine(aArgs) {
  auto* descriptor = static_cast<TnxBaseStreamDescriptor*>(aArgs.Descriptor);
  const std::string name = descriptor ? descriptor->HeaderSection() : std::string("Stream");
  auto header = bseDataFile.HeaderAccess(aArgs.Trans, aArgs.Trans != nullptr);
  seHeaderSection = header->RegisterHeaderSection(name, 8, aArgs.Trans != nullptr, false);
  if (aArgs.Trans) std::memset(header->Header() + seHeaderSection, 0, 8);
}

uint32_t TnxSimpleStreamEngine::SectionWord(TnxBaseTransaction* aTrans, uint32_t aOffset) {
  auto header = bseDataFile.HeaderAccess(aTrans, false);
  return LoadU32(header->Header() + seHeaderSection + aOffset);
}

void TnxSimpleStreamEngine::SetSectionWord(TnxBaseTransaction& aTrans, uint32_t aOffset, uint32_t aValue) {
  auto header = bseDataFile.HeaderAccess(&aTrans, true);
  StoreU32(header->Header() + seHeaderSection + aOffset, aValue);
}

uint32_t TnxSimpleStreamEngine::MaxChainBlocks(TnxBaseTransaction* aTrans) {
  return bseDataFile.HeaderAccess(aTrans, false)->UsedBlocks();
}

void TnxSimpleStreamEngine::RaiseNotAStreamBlock(TnxBlockNumber aBlock) const {
  throw EnxseStreamEngineExcpetion(
      nxeNotAStreamBlock, u"Block just read from file is not a valid stream block [%s, block %d]",
      {bseDataFile.fiName(), aBlock});
}

PnxBlock TnxSimpleStreamEngine::bseNewStreamBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                                                  TnxBlockGuard& aBlock, PnxBlock aPrevious) {
  aBlock.Release();
  aBlock.Hold(aHeaderAccess.GetNewBlock(aTrans, bseID, aBlock.ReleaseMethod()));
  PnxBlock block = aBlock.Block();
  const TnxBlockNumber number = LoadU32(block + 4);
  std::memset(block + nxsbData, 0, bseDataFile.fiBlockSizeBytes() - nxsbData);
  nxStoreBlockCommonHeader(block, {kStreamBlockSig, number, 0});
  StoreU32(block + nxsbNext, nxsbLast);
  std::memset(block + nxsbSignature, 0, 12);
  if (aPrevious) StoreU32(aPrevious + nxsbNext, number);
  return block;
}

PnxBlock TnxSimpleStreamEngine::seGetStreamBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                                 TnxBlockGuard& aBlock, bool aForChange, uint32_t aStreamNr) {
  if (!ValidInTrans(bseDataFile, aBlockNumber, aTrans))
    throw EnxseStreamEngineExcpetion(nxeInvalidBlockNumber,
                                     u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                     {bseDataFile.fiName(), aBlockNumber});
  aBlock.Release();
  aBlock.Hold(bseDataFile.GetBlock(aTrans, aBlockNumber, bseID, aForChange, aBlock.ReleaseMethod()));
  const PnxBlock block = aBlock.Block();
  if (std::memcmp(block, kStreamBlockSig.data(), 4) != 0 || LoadU32(block + 4) != aBlockNumber ||
      LoadU32(block + nxsbStreamNr) != aStreamNr)
    RaiseNotAStreamBlock(aBlockNumber);
  return block;
}

void TnxSimpleStreamEngine::seFreeStreamBlocks(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                                               bool aKeepFirst, uint32_t aStreamNr) {
  TnxBlockGuard block;
  seGetStreamBlock(&aTrans, aStreamNr, block, true, aStreamNr);
  TnxBlockNumber next = LoadU32(block.Block() + nxsbNext);
  if (!aKeepFirst) aHeaderAccess.DeleteBlock(aTrans, block.Block());
  block.Release();
  const uint32_t limit = aHeaderAccess.UsedBlocks();
  std::unordered_set<TnxBlockNumber> seen{aStreamNr};
  for (uint32_t walked = 1; next != nxsbLast; ++walked) {
    if (walked >= limit || !seen.insert(next).second) RaiseNotAStreamBlock(next);
    const TnxBlockNumber current = next;
    seGetStreamBlock(&aTrans, current, block, true, aStreamNr);
    next = LoadU32(block.Block() + nxsbNext);
    aHeaderAccess.DeleteBlock(aTrans, block.Block());
    block.Release();
  }
}

void TnxSimpleStreamEngine::seWriteStreamData(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                                              const TnxBlockSignature& aSig, bool aCreateNew,
                                              platform::TStream& aStream, uint32_t& aStreamNr) {
  const uint32_t room = bseDataFile.fiBlockSizeBytes() - nxsbData;
  TnxBlockGuard current;
  if (aCreateNew) {
    bseNewStreamBlock(aTrans, aHeaderAccess, current, nullptr);
    aStreamNr = LoadU32(current.Block() + 4);
    StoreU32(current.Block() + nxsbStreamNr, aStreamNr);
  } else {
    seFreeStreamBlocks(aTrans, aHeaderAccess, true, aStreamNr);
    seGetStreamBlock(&aTrans, aStreamNr, current, true, aStreamNr);
    StoreU32(current.Block() + nxsbNext, nxsbLast);
  }
  const int64_t size = aStream.GetSize();
  if (size < 0 || size > UINT32_MAX)
    throw EnxseStreamEngineExcpetion(nxeInvalidParameter, u"Stream too large: %d bytes", {size});
  std::memcpy(current.Block() + nxsbSignature, aSig.data(), 4);
  StoreU32(current.Block() + nxsbSize, static_cast<uint32_t>(size));
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
  uint64_t remaining = static_cast<uint64_t>(size);
  uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(room, remaining));
  aStream.ReadBuffer(current.Block() + nxsbData, chunk);
  std::memset(current.Block() + nxsbData + chunk, 0, room - chunk);
  remaining -= chunk;
  while (remaining > 0) {
    TnxBlockGuard next;
    bseNewStreamBlock(aTrans, aHeaderAccess, next, current.Block());
    current = std::move(next);
    StoreU32(current.Block() + nxsbStreamNr, aStreamNr);
    std::memcpy(current.Block() + nxsbSignature, aSig.data(), 4);
    chunk = static_cast<uint32_t>(std::min<uint64_t>(room, remaining));
    aStream.ReadBuffer(current.Block() + nxsbData, chunk);
    remaining -= chunk;
  }
}

void TnxSimpleStreamEngine::DeleteStream(TnxBaseTransaction& aTrans, uint32_t aStreamNr) {
  auto header = bseDataFile.HeaderAccess(&aTrans, true);
  seFreeStreamBlocks(aTrans, *header, false, aStreamNr);
}

void TnxSimpleStreamEngine::ReadStream(TnxBaseTransaction* aTrans, uint32_t aStreamNr, platform::TStream& aStream) {
  const uint32_t room = bseDataFile.fiBlockSizeBytes() - nxsbData;
  const uint32_t limit = MaxChainBlocks(aTrans);
  aStream.SetSize(0);
  TnxBlockGuard block;
  seGetStreamBlock(aTrans, aStreamNr, block, false, aStreamNr);
  uint64_t remaining = LoadU32(block.Block() + nxsbSize);
  // A size the file cannot hold is damage, not a request for gigabytes.
  if (remaining > uint64_t{room} * limit) RaiseNotAStreamBlock(aStreamNr);
  // A chain that comes back to one of its blocks is damage, even where the
  // size would end the walk.
  std::unordered_set<TnxBlockNumber> seen{aStreamNr};
  for (uint32_t walked = 1; remaining > 0; ++walked) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(room, remaining));
    aStream.WriteBuffer(block.Block() + nxsbData, chunk);
    remaining -= chunk;
    if (remaining == 0) break;
    const TnxBlockNumber next = LoadU32(block.Block() + nxsbNext);
    if (next == nxsbLast || walked >= limit || !seen.insert(next).second)
      RaiseNotAStreamBlock(LoadU32(block.Block() + 4));
    seGetStreamBlock(aTrans, next, block, false, aStreamNr);
  }
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
}

void TnxSimpleStreamEngine::WriteStream(TnxBaseTransaction& aTrans, uint32_t& aStreamNr, platform::TStream& aStream,
                                        bool aCreateNew, const TnxBlockSignature& aStreamSig) {
  auto header = bseDataFile.HeaderAccess(&aTrans, true);
  seWriteStreamData(aTrans, *header, aStreamSig, aCreateNew, aStream, aStreamNr);
}

TnxSimpleStreamEngine::StreamMap TnxSimpleStreamEngine::seReadStreamMap(TnxBaseTransaction* aTrans) {
  StreamMap map;
  const uint32_t mapNr = SectionWord(aTrans, kMapWord);
  if (mapNr == 0) return map;
  TnxMemoryStream stream;
  ReadStream(aTrans, mapNr, stream);
  const auto* data = static_cast<const uint8_t*>(stream.Memory());
  const uint64_t size = static_cast<uint64_t>(stream.GetSize());
  if (size < 4) RaiseNotAStreamBlock(mapNr);
  const uint32_t count = LoadU32(data);
  uint64_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 1 > size) RaiseNotAStreamBlock(mapNr);
    const uint32_t len = data[at];
    if (at + 1 + len + 4 > size) RaiseNotAStreamBlock(mapNr);
    std::string bytes(reinterpret_cast<const char*>(data + at + 1), len);
    map.push_back({platform::CodePageToUnicode(bytes, platform::SystemAnsiCodePage()), LoadU32(data + at + 1 + len)});
    at += 1 + len + 4;
  }
  std::stable_sort(map.begin(), map.end(), [](const MapEntry& a, const MapEntry& b) {
    return platform::AnsiCompareText(a.Name, b.Name) < 0;
  });
  return map;
}

void TnxSimpleStreamEngine::seWriteStreamMap(TnxBaseTransaction& aTrans, const StreamMap& aMap) {
  uint32_t mapNr = SectionWord(&aTrans, kMapWord);
  if (aMap.empty()) {
    if (mapNr != 0) {
      DeleteStream(aTrans, mapNr);
      SetSectionWord(aTrans, kMapWord, 0);
    }
    return;
  }
  TnxMemoryStream stream;
  uint8_t word[4];
  StoreU32(word, static_cast<uint32_t>(aMap.size()));
  stream.WriteBuffer(word, 4);
  for (const MapEntry& entry : aMap) {
    const std::string bytes = MapName(entry.Name);
    const auto len = static_cast<uint8_t>(bytes.size());
    stream.WriteBuffer(&len, 1);
    stream.WriteBuffer(bytes.data(), len);
    StoreU32(word, entry.StreamNr);
    stream.WriteBuffer(word, 4);
  }
  const bool createNew = mapNr == 0;
  WriteStream(aTrans, mapNr, stream, createNew, kMapSig);
  if (createNew) SetSectionWord(aTrans, kMapWord, mapNr);
}

uint32_t TnxSimpleStreamEngine::seCountNamedStreams(TnxBaseTransaction* aTrans) {
  return static_cast<uint32_t>(seReadStreamMap(aTrans).size());
}

uint32_t TnxSimpleStreamEngine::GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) {
  aStreams.Clear();
  for (const MapEntry& entry : seReadStreamMap(aTrans)) aStreams.Add(entry.Name);
  if (SectionWord(aTrans, kDictWord) != 0) aStreams.Add(u"DICT");
  return 0;
}

uint32_t TnxSimpleStreamEngine::GetNamedStreamCount(TnxBaseTransaction* aTrans, uint32_t& aCount) {
  aCount = seCountNamedStreams(aTrans);
  return 0;
}

namespace {
template <class Map>
auto FindEntry(Map& aMap, std::u16string_view aName) {
  return std::find_if(aMap.begin(), aMap.end(),
                      [&](const auto& e) { return platform::AnsiCompareText(e.Name, aName) == 0; });
}
}  // namespace

uint32_t TnxSimpleStreamEngine::DeleteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName) {
  if (IsDictName(aName)) {
    const uint32_t nr = SectionWord(&aTrans, kDictWord);
    if (nr == 0) return nxeObjectNotFound;
    DeleteStream(aTrans, nr);
    SetSectionWord(aTrans, kDictWord, 0);
    return 0;
  }
  StreamMap map = seReadStreamMap(&aTrans);
  auto it = FindEntry(map, aName);
  if (it == map.end()) return nxeObjectNotFound;
  DeleteStream(aTrans, it->StreamNr);
  map.erase(it);
  seWriteStreamMap(aTrans, map);
  return 0;
}

uint32_t TnxSimpleStreamEngine::ReadNamedStream(TnxBaseTransaction* aTrans, std::u16string_view aName,
                                                platform::TStream& aStream) {
  uint32_t nr = 0;
  if (IsDictName(aName)) {
    nr = SectionWord(aTrans, kDictWord);
  } else {
    StreamMap map = seReadStreamMap(aTrans);
    auto it = FindEntry(map, aName);
    if (it != map.end()) nr = it->StreamNr;
  }
  if (nr == 0) return nxeObjectNotFound;
  ReadStream(aTrans, nr, aStream);
  return 0;
}

uint32_t TnxSimpleStreamEngine::WriteNamedStream(TnxBaseTransaction& aTrans, std::u16string_view aName,
                                                 platform::TStream& aStream) {
  if (IsDictName(aName)) {
    uint32_t nr = SectionWord(&aTrans, kDictWord);
    const bool createNew = nr == 0;
    WriteStream(aTrans, nr, aStream, createNew, kDictSig);
    if (createNew) SetSectionWord(aTrans, kDictWord, nr);
    return 0;
  }
  MapName(aName);
  StreamMap map = seReadStreamMap(&aTrans);
  auto it = FindEntry(map, aName);
  if (it != map.end()) {
    WriteStream(aTrans, it->StreamNr, aStream, false, kUserSig);
  } else {
    uint32_t nr = 0;
    WriteStream(aTrans, nr, aStream, true, kUserSig);
    MapEntry entry{std::u16string(aName), nr};
    auto at = std::upper_bound(map.begin(), map.end(), entry, [](const MapEntry& a, const MapEntry& b) {
      return platform::AnsiCompareText(a.Name, b.Name) < 0;
    });
    map.insert(at, std::move(entry));
  }
  seWriteStreamMap(aTrans, map);
  return 0;
}

// ---- autoinc ----

TnxSimpleAutoIncEngine::TnxSimpleAutoIncEngine(const TnxSubEngineArgs& aArgs) : TnxBaseAutoIncEngine(aArgs) {
  auto* descriptor = static_cast<TnxBaseAutoIncDescriptor*>(aArgs.Descriptor);
  if (auto* adv = dynamic_cast<TnxAdvAutoIncDescriptor*>(descriptor)) {
    aieInitialValue = adv->InitialValue();
    aieStep = adv->Step() == 0 ? 1 : adv->Step();
  }
  auto header = baieDataFile.HeaderAccess(aArgs.Trans, aArgs.Trans != nullptr);
  aieHeaderSection = header->RegisterHeaderSection(descriptor->HeaderSection(), 4, aArgs.Trans != nullptr, false);
  if (aArgs.Trans) StoreU32(header->Header() + aieHeaderSection, aieInitialValue - aieStep);
}

uint32_t TnxSimpleAutoIncEngine::NextAutoIncValue(TnxBaseTransaction& aTrans, uint32_t* aCurrentAutoInc) {
  auto header = baieDataFile.HeaderAccess(&aTrans, true);
  const uint32_t a = LoadU32(header->Header() + aieHeaderSection);
  if (aCurrentAutoInc) *aCurrentAutoInc = a;
  uint32_t result;
  if (uint64_t{a} + aieStep > UINT32_MAX) {
    if (a != static_cast<uint32_t>(aieInitialValue - aieStep))
      throw EnxseAutoIncEngineException(nxeMaximumValidity, u"Maximum AutoInc value has been reached");
    result = aieInitialValue;
  } else {
    result = a + aieStep;
  }
  StoreU32(header->Header() + aieHeaderSection, result);
  return result;
}

uint32_t TnxSimpleAutoIncEngine::ReadAutoIncValue(TnxBaseTransaction* aTrans) {
  auto header = baieDataFile.HeaderAccess(aTrans, false);
  return LoadU32(header->Header() + aieHeaderSection);
}

void TnxSimpleAutoIncEngine::SetAutoIncValue(TnxBaseTransaction& aTrans, uint32_t aValue) {
  auto header = baieDataFile.HeaderAccess(&aTrans, true);
  StoreU32(header->Header() + aieHeaderSection, aValue);
}

void nxStreamEnginesStartup() {
  TnxSimpleStreamEngine::ClassInfo().Register(nxDefaultStorageEngine);
  TnxSimpleAutoIncEngine::ClassInfo().Register(nxDefaultStorageEngine);
}

void nxStreamEnginesShutdown() noexcept {
  TnxSimpleAutoIncEngine::ClassInfo().Unregister();
  TnxSimpleStreamEngine::ClassInfo().Unregister();
}

}  // namespace revurov
