#include "server/server_data_dict.h"

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/stream_engines.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr std::u16string_view kDictStreamName = u"DICT";

std::string_view SignatureText(const TnxBlockSignature& aSignature) {
  return std::string_view(aSignature.data(), aSignature.size());
}

// The main file's name without folder and extension.
std::u16string DataFileBaseName(const TnxBaseStreamEngine& aStreamEngine) {
  std::u16string name = platform::ExtractFileName(aStreamEngine.bseDataFile.File().fiName);
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

bool TnxServerDataDict::IsCompatibleWith(const TnxDictionaryItem* aItem) const {
  if (TnxDataDictionary::IsCompatibleWith(aItem)) return true;
  return aItem && &ClassType() == &TnxServerDataDict::ClassInfo() &&
         &aItem->ClassType() == &TnxDataDictionary::ClassInfo();
}

void TnxServerDataDict::CheckValid(bool aForBuild) {
  TnxDataDictionary::CheckValid(aForBuild);
  // Raises for a header format nobody registered.
  TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(SignatureText(HeaderSignature()));
  TnxBaseSubEngine::CheckValidAll(*this);
}

uint32_t TnxServerDataDict::UsableBlockSize(TnxBlockSize aBlockSize) {
  uint32_t bytes = TnxDataDictionary::UsableBlockSize(aBlockSize);
  if (!EncryptionEngine().empty())
    bytes -= TnxBaseEncryptionEngine::ReservedSpacePerBlock(EncryptionEngine(), false, aBlockSize);
  bytes -= static_cast<uint32_t>(
      TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(SignatureText(HeaderSignature())));
  return bytes;
}

void TnxServerDataDict::RecreateGuid() { ddSetGuid(platform::CreateGUID()); }

void TnxServerDataDict::ForceOffReadOnly() {
  ddSetReadOnly(false);
  DeactivateCache();
}

void TnxServerDataDict::ReadFromFile(TnxBaseStreamEngine& aStreamEngine, TnxBaseTransaction* aTrans) {
  TnxBytesStream stream;
  if (aStreamEngine.ReadNamedStream(aTrans, kDictStreamName, stream) != 0)
    throw EnxServerDataDictException(nxeCannotOpenFile, u"The data dictionary is missing (%s)",
                                     {aStreamEngine.bseDataFile.File().fiName});
  stream.SetPosition(0);
  ForceOffReadOnly();
  ReadFromStream(stream, DataFileBaseName(aStreamEngine));
  SetHeaderSignature(aStreamEngine.bseDataFile.File().fiHeaderSignature);
  MakeReadOnly();
}

void TnxServerDataDict::WriteToFile(TnxBaseStreamEngine& aStreamEngine, TnxBaseTransaction& aTrans,
                                    uint32_t aVersion) {
  CheckValid(false);
  ddSetBaseName(DataFileBaseName(aStreamEngine));
  TnxBytesStream stream;
  WriteToStream(stream, aVersion);
  stream.SetPosition(0);
  aStreamEngine.WriteNamedStream(aTrans, kDictStreamName, stream);
  MakeReadOnly();
}

}  // namespace revurov
