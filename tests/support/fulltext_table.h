// A table with a fulltext descriptor for fulltext engine tests: fields ID
// (Word32, numbering the records through the main index "ByID") and Text,
// a main index "Tokens" over a main-index token key, and a "Fulltext"
// custom descriptor shaped by the caller (by default one fulltext index
// with one bit-array token index that has a forward index). The descriptor
// is validated (which adds the BLOB storage and the storage handler), then
// the main indices engine and the fulltext table engine are built in a
// transaction that is committed.
//
// - Shape.Configure shapes the fulltext descriptor before validation;
//   Shape.AfterCheck changes it after (e.g. the BLOB engine's name).
// - Handler() is the first token index's storage handler; RawBytes reads
//   a bit array as stored.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "dictionary/token_key_descriptors.h"
#include "index/index_engines.h"
#include "server/engines/bit_array_storage.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/engines/startup.h"
#include "storage/blob_engines.h"
#include "support/blob_table.h"
#include "support/table_fixture.h"

namespace revurov::testing {

struct TFulltextShape {
  std::function<void(TnxFulltextDescriptor&)> Configure = {};
  std::function<void(TnxFulltextDescriptor&)> AfterCheck = {};
  // False: the table gets no fulltext descriptor.
  bool WithFulltext = true;
  // The fulltext descriptor's class (null: TnxFulltextDescriptor).
  const TnxCustomDescriptorClass* FulltextClass = nullptr;
  // Adds fields after ID and Text.
  std::function<void(TnxFieldsDescriptor&)> Fields = {};
};

class TFulltextTable {
public:
  static constexpr int32_t kIdField = 0;
  static constexpr int32_t kTextField = 1;

  explicit TFulltextTable(const TFulltextShape& aShape = {}) : t_(ShapeOf(aShape)) {
    main_ = TnxBaseIndicesEngine::CreateEngine(t_.Dict(), t_.Files(), &t_.Records(), &t_.Trans(), false);
    engine_ = TnxBaseFulltextTableEngine::CreateFor(t_.Dict(), t_.Files(), main_.get(), &t_.Trans());
    t_.Commit();
  }
  ~TFulltextTable() {
    if (t_.InTransaction()) Rollback();
    engine_.reset();
    main_.reset();
  }

  TTableFixture& Table() { return t_; }
  TnxBaseTransaction& Trans() { return t_.Trans(); }
  TnxBaseIndicesEngine* MainIndices() { return main_.get(); }
  TnxBaseFulltextTableEngine* Engine() { return engine_.get(); }
  TnxFulltextTableEngine& Fulltext() { return dynamic_cast<TnxFulltextTableEngine&>(*engine_); }
  TnxBaseBlobEngine& Blobs() { return *Fulltext().BlobEngine(); }
  TnxBaseBitArrayStorageHandlerTableEngine& Handler() {
    auto* tokens = dynamic_cast<TnxBitArrayTokenIndexTableEngine*>(Fulltext().FulltextIndex(0).fiteGetTokenIndex(0));
    return *tokens->BitArrayStorageHandler();
  }
  void Commit() { t_.Commit(); }
  void Rollback() {
    // A fulltext index without bit arrays has no BLOB storage.
    if (Fulltext().BlobEngine()) Blobs().Rollback(t_.Trans());
    t_.Rollback();
  }

  std::string RawBytes(TnxBitArrayRef aRef) {
    uint32_t length = 0;
    if (Blobs().GetBlobLength(&Trans(), aRef, {}, length) != 0) return "<no length>";
    TStringStream stream;
    if (Blobs().Read(&Trans(), aRef, 0, length, {}, stream) != 0) return "<no read>";
    return stream.Bytes;
  }
  void WriteRaw(TnxBitArrayRef aRef, uint32_t aOffset, const std::string& aBytes) {
    Blobs().Write(Trans(), aRef, aOffset, static_cast<uint32_t>(aBytes.size()), aBytes.data());
  }

private:
  static TTableShape ShapeOf(const TFulltextShape& aShape) {
    TTableShape shape;
    shape.DataBytes = 0;
    shape.Configure = [aShape](TTestDataDictionary& aDict) {
      aDict.FieldsDescriptor().AddField(u"ID", u"", nxtWord32, 0, 0, true);
      aDict.FieldsDescriptor().AddField(u"Text", u"", nxtWideString, 40, 0, false);
      if (aShape.Fields) aShape.Fields(aDict.FieldsDescriptor());
      TnxIndexDescriptor* byId =
          aDict.IndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(byId->KeyDescriptor())->Add(kIdField);
      aDict.IndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::ClassInfo());
      if (!aShape.WithFulltext) return;
      auto* fulltext = static_cast<TnxFulltextDescriptor*>(
          aDict.CustomDescsDescriptor().AddCustom(
              nxFulltextName, aShape.FulltextClass ? aShape.FulltextClass : &TnxFulltextDescriptor::ClassInfo()));
      if (aShape.Configure) {
        aShape.Configure(*fulltext);
      } else {
        TnxFulltextIndexDescriptor* index = fulltext->AddFulltextIndex(u"");
        auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u""));
        tokens->AddIndex(0);
      }
      fulltext->CheckValid(true);
      if (aShape.AfterCheck) aShape.AfterCheck(*fulltext);
    };
    return shape;
  }

  TnxServerEnginesStartupGuard startup_;
  TTableFixture t_;
  std::unique_ptr<TnxBaseIndicesEngine> main_;
  std::unique_ptr<TnxBaseFulltextTableEngine> engine_;
};

}  // namespace revurov::testing
