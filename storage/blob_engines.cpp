#include "storage/blob_engines.h"

#include <algorithm>

#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/paths.h"
#include "platform/stream.h"
#include "storage/block_access.h"
#include "storage/files.h"

namespace revurov {

constinit TnxClassRegistry nxBlobEngines;

namespace {

constexpr std::u16string_view kBlobWord = u"BLOB";
// A file BLOB is read in pieces of this size, whatever the length asked.
constexpr uint32_t kFileReadPiece = 1u << 20;

TnxBlockAccess& BlobFileOf(const TnxSubEngineArgs& aArgs) {
  const auto* descriptor = static_cast<TnxBaseBlobDescriptor*>(aArgs.Descriptor);
  const int32_t number = descriptor->FileNumber();
  const TnxBlockAccessList& files = *aArgs.Files;
  if (number < 0 || static_cast<size_t>(number) >= files.size() || !files[static_cast<size_t>(number)])
    throw EnxBaseBlobEngineException(nxeInvalidParameter, u"Invalid file number: %d", {number});
  return *files[static_cast<size_t>(number)];
}

int32_t TableVersionOf(const TnxSubEngineArgs& aArgs) {
  if (aArgs.Files->empty() || !aArgs.Files->front())
    throw EnxBaseBlobEngineException(nxeInvalidParameter, u"Invalid file number: %d", {0});
  return aArgs.Files->front()->File().fiZirezVersion;
}

const TnxSubEngineClass& FindBlobClass(std::u16string_view aName) {
  const TnxSubEngineClass* c = TnxBaseBlobEngine::ClassInfo().FindEngineClass(aName);
  if (!c) nxRaiseUnknownEngine<EnxBaseBlobEngineException>(kBlobWord, aName);
  return *c;
}

// The external file of a file BLOB, open for reading below the table's
// folder and closed again by Close or, after a failure, by the destructor.
class TFileBlobFile {
public:
  TFileBlobFile(TnxBlockAccess& aBlobFile, std::u16string_view aFileName) {
    TnxBaseFile& table = aBlobFile.File();
    const std::u16string name = table.ExpandRelativeFileName(aFileName);
    file_ = TnxBaseFile::Alloc(false, name, nullptr);
    // The folder as ExpandRelativeFileName just resolved it.
    file_->fiBeneath = table.fiPath;
    file_->OpenFile(omReadOnly, smShared, false, false);
  }
  ~TFileBlobFile() {
    if (file_ && file_->FileIsOpen()) {
      try {
        file_->CloseFile();
      } catch (...) {
      }
    }
  }
  TnxBaseFile& File() { return *file_; }
  void Close() { file_->CloseFile(); }

private:
  std::unique_ptr<TnxBaseFile> file_;
};

struct TFreeMem {
  void operator()(void* p) const noexcept { nxFreeMem(p); }
};

// The three codes of the external file; everything else goes on.
template <class Call>
uint32_t FileBlobCall(Call&& aCall) {
  try {
    return aCall();
  } catch (const EnxBaseException& e) {
    switch (e.ErrorCode()) {
      case nxeReadFailure:
        return nxeFileBlobReadFailed;
      case nxeCannotAccessFile:
        return nxeFileBlobOpenFailed;
      case nxeFileNotClosed:
        return nxeFileBlobCloseFailed;
      default:
        throw;
    }
  }
}

}  // namespace

TnxBaseBlobEngine::TnxBaseBlobEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor->ID(), TableVersionOf(aArgs)), bbeBlobFile(BlobFileOf(aArgs)) {}

std::unique_ptr<TnxBaseBlobEngine> TnxBaseBlobEngine::CreateEngine(TnxBaseBlobDescriptor* aDescriptor,
                                                                   const TnxBlockAccessList& aFiles,
                                                                   TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const TnxSubEngineClass& c = FindBlobClass(aDescriptor->BlobEngine());
  std::unique_ptr<TnxBaseSubEngine> engine = c.DoCreate({aDescriptor, aTrans, nullptr, &aFiles});
  if (!engine) nxRaiseUnknownEngine<EnxBaseBlobEngineException>(kBlobWord, aDescriptor->BlobEngine());
  return std::unique_ptr<TnxBaseBlobEngine>(static_cast<TnxBaseBlobEngine*>(engine.release()));
}

std::unique_ptr<TnxBaseBlobEngine> TnxBaseBlobEngine::CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                                   const TnxBlockAccessList& aFiles,
                                                                   TnxBaseTransaction* aTrans) {
  return CreateEngine(aDictionary.BlobDescriptor(), aFiles, aTrans);
}

void TnxBaseBlobEngine::CheckValidFromDescriptor(TnxBaseBlobDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  FindBlobClass(aDescriptor->BlobEngine()).DoCheckValidDescriptor(*aDescriptor);
}

void TnxBaseBlobEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  CheckValidFromDescriptor(aDictionary.BlobDescriptor());
}

uint32_t TnxBaseBlobEngine::ReadFileBlobData(std::u16string_view aFileName, uint32_t aOffset,
                                             platform::TStream& aStream, uint32_t aLen) {
  return FileBlobCall([&]() -> uint32_t {
    TFileBlobFile file(bbeBlobFile, aFileName);
    if (aLen > 0) {
      const uint32_t piece = std::min(aLen, kFileReadPiece);
      std::unique_ptr<uint8_t, TFreeMem> buffer(static_cast<uint8_t*>(nxGetMem(piece)));
      int64_t at = aOffset;
      uint32_t left = aLen;
      while (left > 0) {
        const uint32_t want = std::min(left, piece);
        const uint32_t got = file.File().ReadFileAt(at, want, buffer.get());
        if (got > 0) aStream.WriteBuffer(buffer.get(), got);
        if (got < want) break;
        at += got;
        left -= got;
      }
    }
    file.Close();
    return 0;
  });
}

uint32_t TnxBaseBlobEngine::GetFileBlobSize(std::u16string_view aFileName, uint32_t& aLength) {
  aLength = 0;
  return FileBlobCall([&]() -> uint32_t {
    TFileBlobFile file(bbeBlobFile, aFileName);
    const int64_t size = file.File().PositionFileEOF();
    file.Close();
    // A length of 32 bits cannot say it; a cut one would read as another file.
    if (size < 0 || size > int64_t{UINT32_MAX}) return nxeBlobTooLarge;
    aLength = static_cast<uint32_t>(size);
    return 0;
  });
}

void nxBlobEnginesStartup() { TnxBaseBlobEngine::ClassInfo().RegisterFamily(); }
void nxBlobEnginesShutdown() noexcept { TnxBaseBlobEngine::ClassInfo().UnregisterFamily(); }

}  // namespace revurov
