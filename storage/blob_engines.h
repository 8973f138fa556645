// The BLOB family: the engine behind a table's BLOB numbers. A table's
// BLOB descriptor names its engine; besides ordinary BLOBs an engine keeps
// file BLOBs (the bytes of an external file, read only) and BLOB links (a
// BLOB of another table, read through methods the caller supplies).
//
// Contract:
// - Every operation first ands the BLOB number with bbeBlobNrMask, so that
//   an engine's change counter does not disturb addressing.
// - Callers serialise the changes to one table; engines take no locks.
// - A file BLOB's name is taken relative to the table file's folder and is
//   opened only below it (read only, shared): "..", absolute names and
//   symbolic links leading out of the folder answer 15440 like a missing
//   file. Reading goes in pieces of at most 1 MiB; a file larger than a
//   BLOB length can say answers 15490.
// - An unregistered engine name gives 15503 "Unknown BLOB engine: ...".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseBlobDescriptor;

REVUROV_EXCEPTION_CLASS(EnxBaseBlobEngineException, EnxBaseSubEngineException);

extern TnxClassRegistry nxBlobEngines;

// Reads a linked BLOB: (source table name, its BLOB number, offset, length,
// stream) -> error code, 0 on success.
using TnxBlobLinkRead = std::function<uint32_t(const std::u16string&, TnxBlobNr, uint32_t, uint32_t,
                                               platform::TStream&)>;
// The length of a linked BLOB: (source table name, its BLOB number, out
// length) -> error code.
using TnxBlobLinkGetLength = std::function<uint32_t(const std::u16string&, TnxBlobNr, uint32_t&)>;

// The largest BLOB end the simple engine's length field may hold.
inline constexpr uint32_t nxMaxBlobSize = 2147483647u;

class TnxBaseBlobEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBlobEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxBlobEngines,
                              &TnxBaseBlobEngine::CheckValid)

  // aArgs.Descriptor is a BLOB descriptor, aArgs.Files the table's files.
  explicit TnxBaseBlobEngine(const TnxSubEngineArgs& aArgs);

  // Null for a null descriptor (or a table without one).
  static std::unique_ptr<TnxBaseBlobEngine> CreateEngine(TnxBaseBlobDescriptor* aDescriptor,
                                                         const TnxBlockAccessList& aFiles, TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseBlobEngine> CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                         const TnxBlockAccessList& aFiles, TnxBaseTransaction* aTrans);
  static void CheckValidFromDescriptor(TnxBaseBlobDescriptor* aDescriptor);
  static void CheckValid(TnxBaseTableDescriptor& aDictionary);

  virtual void AddBlob(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr) = 0;
  virtual void AddBlobLink(TnxBaseTransaction& aTrans, std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                           TnxBlobNr& aBlobNr) = 0;
  virtual void AddFileBlob(TnxBaseTransaction& aTrans, std::u16string_view aFileName, TnxBlobNr& aBlobNr) = 0;
  virtual void DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) = 0;
  // Deletes a BLOB that holds nothing; answers whether it did.
  virtual bool FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) = 0;
  virtual uint32_t GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                 const TnxBlobLinkGetLength& aLengthMethod, uint32_t& aLength) = 0;
  virtual bool IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aFileName) = 0;
  virtual bool IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aSrcTableName,
                          TnxBlobNr& aSrcTableBlobNr) = 0;
  virtual uint32_t Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        const TnxBlobLinkRead& aReadMethod, platform::TStream& aStream) = 0;
  virtual void Truncate(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) = 0;
  virtual void Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) = 0;
  virtual void Rollback(TnxBaseTransaction& /*aTrans*/) {}
  // A new number for the same BLOB, where the engine keeps a counter.
  virtual void IncBlobNr(TnxBlobNr& /*aBlobNr*/) {}

  // Reads aLen bytes of the named file from aOffset (fewer at its end) into
  // aStream; 15440 to 15442 when the file cannot be opened, read or closed.
  uint32_t ReadFileBlobData(std::u16string_view aFileName, uint32_t aOffset, platform::TStream& aStream,
                            uint32_t aLen);
  uint32_t GetFileBlobSize(std::u16string_view aFileName, uint32_t& aLength);

  TnxBlockAccess& bbeBlobFile;
  TnxBlobNr bbeBlobNrMask = -1;
};

// Registers the "BLOB" family.
void nxBlobEnginesStartup();
void nxBlobEnginesShutdown() noexcept;

}  // namespace revurov
