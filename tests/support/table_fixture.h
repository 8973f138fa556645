// A table's storage world for engine tests: a data dictionary, its table
// file built fresh, the block access and a transaction, and the stream,
// autoinc and record engines the dictionary names.
//
// - TTestDataDictionary answers the usable block size a file of the
//   dictionary gets (block size less encryption and format reserves) until
//   the server's dictionary does.
// - TTableFixture(shape): the dictionary gets a byte-array field of
//   shape.DataBytes (none for 0; a RefNr field first with shape.RefNrField,
//   a "Key" byte-array field before Data with shape.KeyBytes), then
//   shape.Configure may shape it further, it is
//   checked against the sub-engine registries (which may raise its block
//   size; a file of the smallest size that holds a record is made), and the engines are built in a transaction that is committed.
//   Reopen() makes them again as for an open table (no transaction).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/stream_engines.h"
#include "storage/sub_engines.h"
#include "storage/transactions.h"
#include "support/storage_fixture.h"

namespace revurov::testing {

class TTestDataDictionary : public TnxDataDictionary {
public:
  uint32_t UsableBlockSize(TnxBlockSize aBlockSize) override {
    uint32_t bytes = uint32_t{4096} << aBlockSize;
    if (!EncryptionEngine().empty())
      bytes -= TnxBaseEncryptionEngine::ReservedSpacePerBlock(EncryptionEngine(), false, aBlockSize);
    if (HeaderSignature() == TnxBlockSignature{'N', 'X', '!', '2'}) bytes -= 4;
    return bytes;
  }
};

struct TTableShape {
  int32_t DataBytes = 96;
  bool RefNrField = false;
  // Zero: no autoinc descriptor.
  uint32_t AutoIncInitial = 0;
  uint32_t AutoIncStep = 1;
  // Above zero: a byte-array field "Key" of these bytes comes before Data.
  int32_t KeyBytes = 0;
  // The smallest block size the table file gets.
  TnxBlockSize MinBlockSize = nxbs4k;
  // Fields and descriptors beyond the above (record engine, compression).
  std::function<void(TTestDataDictionary&)> Configure = {};
  // The data file's block size in place of the one above (engines that
  // need larger blocks, files made before the check asked for more).
  std::optional<TnxBlockSize> FileBlockSize = {};
  // The table file opened through this seam in place of the fault seam.
  platform::TFileOps* FileOps = nullptr;
};

class TTableFixture {
public:
  explicit TTableFixture(const TTableShape& aShape = {}, int32_t aMaxRAM = 64) : fx_(aMaxRAM) {
    dict_ = std::make_unique<TTestDataDictionary>();
    if (aShape.RefNrField) dict_->FieldsDescriptor().AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
    if (aShape.KeyBytes > 0) dict_->FieldsDescriptor().AddField(u"Key", u"", nxtByteArray, aShape.KeyBytes, 0, false);
    if (aShape.DataBytes > 0)
      dict_->FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, aShape.DataBytes, 0, false);
    if (aShape.AutoIncInitial != 0) {
      auto* autoInc = static_cast<TnxAdvAutoIncDescriptor*>(
          dict_->AddAutoIncDescriptor(&TnxAdvAutoIncDescriptor::ClassInfo()));
      autoInc->SetInitialValue(aShape.AutoIncInitial);
      autoInc->SetStep(aShape.AutoIncStep);
    }
    if (aShape.Configure) aShape.Configure(*dict_);
    TnxBaseSubEngine::CheckValidAll(*dict_);
    // The size the check gave the data file: the smallest that holds a
    // record (the check itself is tested with the record engine).
    TnxBlockSize size = aShape.MinBlockSize;
    while (size < nxbs64k && dict_->UsableBlockSize(size) < uint32_t{RecordLength()} + 33)
      size = static_cast<TnxBlockSize>(size + 1);
    if (aShape.FileBlockSize) size = *aShape.FileBlockSize;
    TTableOptions options;
    options.StreamEngine = std::u16string(nxDefaultStorageEngine);
    file_ = &fx_.Open(fx_.MakeTable("table.nx2", size, 1, options), aShape.FileOps);
    access_ = std::make_unique<TnxBlockAccess>(*file_, nullptr, u"table", 0);
    files_ = {access_.get()};
    streams_ = TnxBaseStreamEngine::CreateEngine(*dict_, *access_, &Trans());
    autoInc_ = TnxBaseAutoIncEngine::CreateEngine(*dict_, files_, &Trans());
    records_ = TnxBaseRecordEngine::CreateEngine(*dict_, files_, &Trans());
    Commit();
  }
  ~TTableFixture() {
    if (trans_) Rollback();
  }

  // The engines as for an open table: made without a transaction.
  void Reopen() {
    if (trans_) Rollback();
    streams_ = TnxBaseStreamEngine::CreateEngine(*dict_, *access_, nullptr);
    autoInc_ = TnxBaseAutoIncEngine::CreateEngine(*dict_, files_, nullptr);
    records_ = TnxBaseRecordEngine::CreateEngine(*dict_, files_, nullptr);
  }

  TStorageFixture& Storage() { return fx_; }
  TTestDataDictionary& Dict() { return *dict_; }
  TnxBaseFile& File() { return *file_; }
  TnxBlockAccess& Access() { return *access_; }
  const TnxBlockAccessList& Files() const { return files_; }
  TnxBaseStreamEngine& Streams() { return *streams_; }
  TnxBaseAutoIncEngine* AutoInc() { return autoInc_.get(); }
  TnxBaseRecordEngine& Records() { return *records_; }
  uint16_t RecordLength() const { return static_cast<uint16_t>(dict_->FieldsDescriptor().RecordLength()); }

  TnxBaseTransaction& Trans() {
    if (!trans_) trans_ = std::make_unique<TnxBaseTransaction>(fx_.BufMgr(), nullptr, false, false);
    return *trans_;
  }
  bool InTransaction() const { return trans_ != nullptr; }
  void Commit() {
    fx_.BufMgr().CommitTransaction(&Trans(), nullptr, false);
    trans_.reset();
  }
  void Rollback() {
    fx_.BufMgr().RollbackTransaction(&Trans());
    trans_.reset();
  }

private:
  TStorageFixture fx_;
  std::unique_ptr<TTestDataDictionary> dict_;
  TnxBaseFile* file_ = nullptr;
  std::unique_ptr<TnxBlockAccess> access_;
  TnxBlockAccessList files_;
  std::unique_ptr<TnxBaseTransaction> trans_;
  std::unique_ptr<TnxBaseStreamEngine> streams_;
  std::unique_ptr<TnxBaseAutoIncEngine> autoInc_;
  std::unique_ptr<TnxBaseRecordEngine> records_;
};

}  // namespace revurov::testing
