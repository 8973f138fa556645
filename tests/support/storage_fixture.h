// A storage test's world: the storage library started, a fresh folder, a
// file seam with a fault plan, a buffer manager with a chosen RAM budget,
// and table files of a chosen block size built block by block.
//
// - MakeTable(name, size, blocks): an "NX!2" file whose header says
//   `blocks` used blocks; every data block n carries the signature "TEST",
//   its own number, LSN n, owner ID kOwnerID and then the bytes
//   Pattern(n, i). Options change the header LSN or damage a block.
// - Open(name): the file opened through the fault seam and attached to the
//   buffer manager; the fixture removes and closes it at the end, before
//   the buffer manager goes. OpenOnly opens without attaching; AddFile
//   attaches and keeps the header block in a guard. Given another seam,
//   both open through it (benchmarks: the fault seam copies a whole file
//   at its first write after each sync).
// - ErrorCodeOf(call): the code of the library exception a call raises, 0
//   when it raises none.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/startup.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace revurov::testing {

inline uint32_t ErrorCodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

struct TTableOptions {
  TnxLSN HeaderLSN = 0;
  // A block whose own-number field names another block (0: none).
  TnxBlockNumber Misnumbered = 0;
  // The stream engine the header names.
  std::u16string StreamEngine = {};
};

class TStorageFixture {
public:
  static constexpr int32_t kOwnerID = 1;

  explicit TStorageFixture(int32_t aMaxRAM = 10)
      : bufMgr_(std::make_unique<TnxBufferManager>(platform::Utf8ToUtf16(dir_.Dir()))) {
    bufMgr_->SetMaxRAM(aMaxRAM);
  }
  ~TStorageFixture() {
    for (auto& file : files_)
      if (file->fiBlockCache) bufMgr_->RemoveFile(*file);
    files_.clear();
    bufMgr_.reset();
  }
  TStorageFixture(const TStorageFixture&) = delete;
  TStorageFixture& operator=(const TStorageFixture&) = delete;

  TnxBufferManager& BufMgr() { return *bufMgr_; }
  TFaultFileOps& Ops() { return ops_; }
  const TempDir& Dir() const { return dir_; }

  static uint8_t Pattern(TnxBlockNumber aBlock, uint32_t aOffset) {
    return static_cast<uint8_t>(aBlock * 31 + aOffset * 7 + 1);
  }

  std::u16string MakeTable(const std::string& aName, TnxBlockSize aSize, uint32_t aBlocks,
                           const TTableOptions& aOptions = {}) {
    const std::u16string path = platform::Utf8ToUtf16(dir_.Path(aName));
    TnxBaseFile shape(path);
    shape.fiBlockSize = aSize;
    shape.fiZirezVersion = TnxBaseFile::nxMaxZirezVersion;
    shape.fiStreamEngineName = aOptions.StreamEngine;
    const uint32_t bytes = shape.BlockBytes();
    std::string image(size_t{bytes} * aBlocks, '\0');
    auto* data = reinterpret_cast<uint8_t*>(image.data());
    TnxBaseFileHeaderAccessFactory::CreateFactory({'N', 'X', '!', '2'}, data, shape);
    Store32(data + nxhUsedBlocks, aBlocks);
    nxStoreBlockCommonHeader(data, {{'N', 'X', '!', '2'}, 0, aOptions.HeaderLSN});
    for (TnxBlockNumber n = 1; n < aBlocks; ++n) {
      uint8_t* block = data + size_t{n} * bytes;
      for (uint32_t i = nxBlockCommonHeaderSize; i < shape.fiBlockSizeBytes; ++i) block[i] = Pattern(n, i);
      const TnxBlockNumber own = n == aOptions.Misnumbered ? n + 1 : n;
      nxStoreBlockCommonHeader(block, {{'T', 'E', 'S', 'T'}, own, n});
      Store32(block + shape.fiBlockSizeBytes, kOwnerID);
    }
    dir_.Write(aName, image);
    return path;
  }

  // The file opened read-write through the seam; not attached.
  TnxBaseFile& OpenOnly(const std::u16string& aPath, platform::TFileOps* aOps = nullptr) {
    files_.push_back(std::make_unique<TnxBaseFile>(aPath, aOps ? *aOps : ops_));
    files_.back()->OpenFile(omReadWrite, smShared, false, false);
    return *files_.back();
  }

  struct TAttached {
    uint32_t Result = 0;
    TnxBlockGuard Header;
    bool ReadOnly = false;
  };
  TAttached AddFile(TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords = {}) {
    TAttached attached;
    PnxBlock block = nullptr;
    attached.Result = bufMgr_->AddFile(aFile, aPasswords, attached.Header.ReleaseMethod(), block, attached.ReadOnly);
    attached.Header.Hold(block);
    return attached;
  }

  // The file opened and attached, its header block released again.
  TnxBaseFile& Open(const std::u16string& aPath, platform::TFileOps* aOps = nullptr) {
    TnxBaseFile& file = OpenOnly(aPath, aOps);
    if (AddFile(file).Result != 0) throw std::runtime_error("AddFile");
    return file;
  }

private:
  static void Store32(uint8_t* aAt, uint32_t aValue) {
    for (int i = 0; i < 4; ++i) aAt[i] = static_cast<uint8_t>(aValue >> (8 * i));
  }

  TnxStorageStartupGuard storage_;
  TempDir dir_;
  TFaultFileOps ops_;
  std::unique_ptr<TnxBufferManager> bufMgr_;
  std::vector<std::unique_ptr<TnxBaseFile>> files_;
};

}  // namespace revurov::testing
