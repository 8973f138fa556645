#include "server/server_transaction_mgr.h"

#include <algorithm>
#include <cstring>

#include "dictionary/engine_types.h"
#include "platform/directory_list.h"
#include "platform/file_ops.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "storage/buffer_manager.h"
#include "storage/file_management.h"
#include "storage/files.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"

namespace revurov {

namespace {

constexpr int64_t kConfigSize = 8;
constexpr int64_t kHeaderLSNOffset = 8;

uint64_t LoadLE64(const uint8_t* aBytes) noexcept {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | aBytes[i];
  return value;
}

void StoreLE64(uint8_t* aBytes, uint64_t aValue) noexcept {
  for (int i = 0; i < 8; ++i) aBytes[i] = static_cast<uint8_t>(aValue >> (8 * i));
}

bool HasTableExtension(std::string_view aName, std::string_view aDotExtension) {
  return aName.size() > aDotExtension.size() &&
         platform::AsciiSameText(platform::Utf8ToUtf16(aName.substr(aName.size() - aDotExtension.size())),
                                 platform::Utf8ToUtf16(aDotExtension));
}

}  // namespace

TnxServerTransactionMgr::TnxServerTransactionMgr(TnxServerFolder& aFolder)
    : stmFolder(aFolder), stmBufferManager(*aFolder.Engine().BufferManager()) {
  stmLoadNextLSN();
  if (!stmFolder.InMemOnly() && !stmFolder.ReadOnly())
    stmJournals = std::make_unique<TnxJournalSupply>(std::u16string(stmFolder.Path()));
}

TnxServerTransactionMgr::~TnxServerTransactionMgr() { stmSaveNextLSN(true); }

void TnxServerTransactionMgr::stmLoadNextLSN() {
  if (stmFolder.InMemOnly()) {
    stmLoadedNextLSN = 1;
    stmBufferManager.SetNextLSN(1);
    return;
  }
  const std::u16string name = nxCombinePath(stmFolder.Path(), nxTransConfigFileName);
  stmConfigFile = TnxBaseFile::Alloc(false, name, nullptr);
  TnxLSN fileValue = 0;
  bool haveValue = false;
  if (!stmFolder.ReadOnly()) {
    bool opened = false;
    try {
      stmConfigFile->OpenFile(omReadWrite, smExclusive, true, false);
      // A file we may only read is no better than none.
      opened = stmConfigFile->fiOpenMode == omReadWrite;
      if (!opened) stmConfigFile->CloseFile();
    } catch (const std::exception&) {
      opened = false;
    }
    if (opened) {
      haveValue = stmReadConfig(fileValue);
      if (!haveValue) {
        // Ours alone now: cut back to the 8 bytes it is to hold.
        stmConfigFile->CloseFile();
        try {
          stmConfigFile->OpenFile(omReadWrite, smExclusive, true, true);
        } catch (const std::exception&) {
          opened = false;
        }
      }
    } else if (!platform::FileExists(name)) {
      // An existing file is never created over: that would truncate what
      // another holder of the folder keeps there.
      try {
        stmConfigFile->OpenFile(omReadWrite, smExclusive, true, true);
        opened = true;
      } catch (const std::exception&) {
        opened = false;
      }
    }
    if (!opened) stmFolder.SetReadOnly();
  }
  if (stmFolder.ReadOnly() && platform::FileExists(name)) {
    stmConfigFile->OpenFile(omReadOnly, smShareRead, true, false);
    haveValue = stmReadConfig(fileValue);
  }
  const TnxLSN next = std::max(haveValue ? fileValue : TnxLSN{0}, stmScanNextLSN());
  stmLoadedNextLSN = next;
  // Raised before the file is written, so the file never holds less.
  stmBufferManager.SetNextLSN(next);
  stmSaveNextLSN(false);
}

bool TnxServerTransactionMgr::stmReadConfig(TnxLSN& aValue) {
  try {
    if (stmConfigFile->FileSize() != kConfigSize) return false;
    uint8_t bytes[kConfigSize];
    stmConfigFile->ReadFileExactAt(0, kConfigSize, bytes);
    aValue = LoadLE64(bytes);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

TnxLSN TnxServerTransactionMgr::stmScanNextLSN() {
  if (stmFolder.InMemOnly()) return 1;
  const std::string folder = platform::ToOsPath(stmFolder.Path());
  std::string dotExtension(1, '.');
  dotExtension += platform::ToOsPath(stmFolder.Engine().TableExtension());
  std::vector<std::string> names;
  platform::ListFolderFiles(folder, names);
  TnxLSN largest = 0;
  for (const std::string& name : names)
    if (HasTableExtension(name, dotExtension)) largest = std::max(largest, stmReadFileLSN(folder + name));
  return largest + 1;
}

TnxLSN TnxServerTransactionMgr::stmReadFileLSN(const std::string& aFileName) {
  if (stmFolder.InMemOnly()) return 0;
  // Straight through the seam: a table this process holds exclusively
  // refuses an open of the storage layer, and only 8 bytes are wanted.
  platform::TFile file;
  if (file.Open(aFileName, platform::TOpenFlags::ofRead | platform::TOpenFlags::ofNonBlocking) != 0) return 0;
  uint8_t bytes[8];
  int64_t done = 0;
  if (file.Ops().ReadAt(file.Handle(), kHeaderLSNOffset, bytes, sizeof bytes, done) != 0 || done != 8) return 0;
  return LoadLE64(bytes);
}

void TnxServerTransactionMgr::RescanNextLSN() {
  if (stmFolder.InMemOnly()) return;
  stmBufferManager.SetNextLSN(stmScanNextLSN());
}

void TnxServerTransactionMgr::stmSaveNextLSN(bool aClose) {
  if (!stmConfigFile) return;
  if (stmConfigFile->FileIsOpen()) {
    if (!stmFolder.ReadOnly() && !stmFolder.InMemOnly()) {
      try {
        uint8_t bytes[kConfigSize];
        StoreLE64(bytes, stmBufferManager.NextLSN());
        stmConfigFile->WriteFileExactAt(0, kConfigSize, bytes);
      } catch (const std::exception&) {
        // The next creation scans the tables anyway.
      }
    }
    if (aClose) {
      try {
        stmConfigFile->CloseFile();
      } catch (const std::exception&) {
      }
    }
  }
  if (aClose) stmConfigFile.reset();
}

std::unique_ptr<TnxBaseJournalEngine> TnxServerTransactionMgr::CreateJournal() {
  if (!stmJournals || stmFolder.ReadOnly()) return nullptr;
  return stmJournals->NextJournal(nxDefaultJournalEngineClass());
}

}  // namespace revurov
