// A table with a BLOB engine for engine tests: the table fixture's file
// (its block size chosen by the record size), a heap BLOB descriptor that
// names the engine, and the engine made in a committed transaction.
//
// - TBlobTable(engine, dataBytes, version): dataBytes picks the block size
//   as in TTableFixture (96: 4 KB, 4100: 8 KB, 20000: 32 KB); a version
//   other than 0 stands in the file's engine version before the engine is
//   made.
// - Rollback() rolls the engine back, then the transaction; Reopen() makes
//   the engine again as for an open table (no transaction).
// - ReadAll / ReadRange: what Read delivers, as bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dictionary/storage_descriptors.h"
#include "platform/stream.h"
#include "storage/blob_engines.h"
#include "support/string_stream.h"
#include "support/table_fixture.h"

namespace revurov::testing {

class TBlobTable {
public:
  explicit TBlobTable(std::u16string_view aEngine, int32_t aDataBytes = 96, int32_t aVersion = 0)
      : t_(TTableShape{aDataBytes}) {
    auto* blob = static_cast<TnxHeapBlobDescriptor*>(t_.Dict().AddBlobDescriptor());
    blob->SetBlobEngine(aEngine);
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TnxBaseBlobEngine::CheckValid(t_.Dict());
    if (aVersion != 0) t_.File().fiZirezVersion = aVersion;
    engine_ = TnxBaseBlobEngine::CreateEngine(t_.Dict(), t_.Files(), &t_.Trans());
    t_.Commit();
  }
  ~TBlobTable() {
    if (t_.InTransaction()) Rollback();
  }

  TTableFixture& Table() { return t_; }
  TnxBaseBlobEngine& Engine() { return *engine_; }
  TnxBaseTransaction& Trans() { return t_.Trans(); }
  void Commit() { t_.Commit(); }
  void Rollback() {
    engine_->Rollback(t_.Trans());
    t_.Rollback();
  }
  void Reopen() {
    if (t_.InTransaction()) Rollback();
    engine_ = TnxBaseBlobEngine::CreateEngine(t_.Dict(), t_.Files(), nullptr);
  }
  uint32_t UsableBlockSize() { return t_.Access().fiBlockSizeBytes(); }

  std::string ReadRange(TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, uint32_t* aResult = nullptr) {
    TStringStream stream;
    const uint32_t result = engine_->Read(&Trans(), aBlobNr, aOffset, aLen, {}, stream);
    if (aResult) *aResult = result;
    return stream.Bytes;
  }
  uint32_t Length(TnxBlobNr aBlobNr) {
    uint32_t length = 0;
    engine_->GetBlobLength(&Trans(), aBlobNr, {}, length);
    return length;
  }
  std::string ReadAll(TnxBlobNr aBlobNr) { return ReadRange(aBlobNr, 0, Length(aBlobNr)); }
  TnxBlobNr Add() {
    TnxBlobNr nr = 0;
    engine_->AddBlob(Trans(), nr);
    return nr;
  }
  void Write(TnxBlobNr aBlobNr, uint32_t aOffset, const std::string& aBytes) {
    engine_->Write(Trans(), aBlobNr, aOffset, static_cast<uint32_t>(aBytes.size()), aBytes.data());
  }

private:
  TTableFixture t_;
  std::unique_ptr<TnxBaseBlobEngine> engine_;
};

}  // namespace revurov::testing
