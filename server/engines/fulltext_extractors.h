// Token extractors of the cursor half: they turn a record into tokens. A
// field extractor gives the whole value of one text field as one token; an
// extractor hub runs its extractors in order and numbers their tokens by
// the extractor's place in the hub. An extractor with filters of its own
// feeds them through a redirector and hands out what they give.
//
// Contract:
// - Classes are found by name from the table engines ("TableEngine" to
//   "CursorEngine"); a class that is not registered raises 15503 "Unknown
//   TokenExtractor engine: "<class>"" in
//   EnxBaseTokenExtractorCursorEngineException, when the cursor opens.
// - Initialize hands an extractor the record (null: none), its RecID and
//   whether BLOBs are read as before the change; the record must stay
//   until the stream has been read.
// - A field extractor decides at construction how it reads its field: an
//   8-bit text field with a code page ICU does not know fails there with
//   10043 "Invalid codepage: <n>", not per record. A field type without a
//   routine, a null or empty value, a BLOB number of 0, an empty BLOB or a
//   failing BLOB call gives no token.
// - BLOBs are read through the table cursor's own workers (the caller holds
//   the cursor's operation frame) inside the timeout nesting, so the reads
//   keep the operation's deadline.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/engine_records.h"
#include "server/engines/fulltext_tokens.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxAbstractCursor;
class TnxBaseTokenExtractorCursorEngine;
class TnxBaseTokenExtractorTableEngine;
class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxFieldTokenExtractorTableEngine;
class TnxTokenExtractorHubCursorEngine;
class TnxTokenExtractorHubTableEngine;
class TnxTokenFilterHubCursorEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseTokenExtractorCursorEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxFieldTokenExtractorCursorEngineException, EnxBaseTokenExtractorCursorEngineException);

extern TnxClassRegistry nxTokenExtractorCursorEngines;

struct TnxTokenExtractorCursorEngineClass : TnxRegisterableClass {
  // aHub: the hub the extractor is built in, or null.
  std::unique_ptr<TnxBaseTokenExtractorCursorEngine> (*Create)(TnxFulltextIndexCursorEngine* aParent,
                                                               TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                               TnxAbstractCursor* aCursor,
                                                               TnxTokenExtractorHubCursorEngine* aHub) = nullptr;
};

template <class T>
std::unique_ptr<TnxBaseTokenExtractorCursorEngine> nxNewTokenExtractorCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenExtractorTableEngine& aTableEngine, TnxAbstractCursor* aCursor,
    TnxTokenExtractorHubCursorEngine* aHub) {
  auto engine = std::make_unique<T>(aParent, aTableEngine, aCursor, aHub);
  engine->Build();
  return engine;
}

// Lets an extractor feed its own filter chain: reads the extractor's
// internal stream.
class TnxTokenExtractorSourceRedirectorCursorEngine : public TnxBaseTokenSourceCursorEngine {
  REVUROV_REGISTERABLE_CLASS(TnxTokenExtractorSourceRedirectorCursorEngine, TnxBaseTokenSourceCursorEngine)
  TnxTokenExtractorSourceRedirectorCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                TnxBaseTokenExtractorCursorEngine& aExtractor) noexcept
      : TnxBaseTokenSourceCursorEngine(aParent), tesrceParent(aExtractor) {}

  void Reset() override;
  InxTokenRef NextToken() override;

private:
  TnxBaseTokenExtractorCursorEngine& tesrceParent;
};

class TnxBaseTokenExtractorCursorEngine : public TnxBaseTokenSourceCursorEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenExtractorCursorEngine, TnxBaseTokenSourceCursorEngine,
                              TnxTokenExtractorCursorEngineClass, &nxTokenExtractorCursorEngines)
  TnxBaseTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                    TnxBaseTokenExtractorTableEngine& aTableEngine, TnxAbstractCursor* aCursor,
                                    TnxTokenExtractorHubCursorEngine* aHub);
  ~TnxBaseTokenExtractorCursorEngine() override;

  static std::unique_ptr<TnxBaseTokenExtractorCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                      TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                                      TnxAbstractCursor* aCursor);
  static std::unique_ptr<TnxBaseTokenExtractorCursorEngine> CreateFor(TnxTokenExtractorHubCursorEngine& aParentHub,
                                                                      TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                                      TnxAbstractCursor* aCursor);
  // The extractor's own filter chain when its table engine has one.
  virtual void Build();

  void Reset() override;
  InxTokenRef NextToken() override;

  virtual void Initialize(const uint8_t* aRecord, const TnxRecID& aRecID, bool aReadOrg);
  virtual void ResetInternal() {}
  virtual InxTokenRef NextTokenInternal() { return nullptr; }

  TnxTokenExtractorHubCursorEngine* ParentTokenExtractorHubCursorEngine() const noexcept {
    return bteceParentTokenExtractorHubCursorEngine;
  }
  TnxBaseTokenExtractorTableEngine& TokenExtractorTableEngine() const noexcept {
    return bteceTokenExtractorTableEngine;
  }
  TnxAbstractCursor* Cursor() const noexcept { return bteceCursor; }
  TnxTokenFilterHubCursorEngine* TokenFilterHub() const noexcept { return bteceTokenFilterHub.get(); }

private:
  TnxTokenExtractorHubCursorEngine* bteceParentTokenExtractorHubCursorEngine;  // not owned
  TnxBaseTokenExtractorTableEngine& bteceTokenExtractorTableEngine;
  TnxAbstractCursor* bteceCursor;  // not owned; null outside a table cursor
  std::unique_ptr<TnxTokenExtractorSourceRedirectorCursorEngine> bteceTokenFilterHubSource;
  std::unique_ptr<TnxTokenFilterHubCursorEngine> bteceTokenFilterHub;
};

class TnxTokenExtractorHubCursorEngine : public TnxBaseTokenExtractorCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTokenExtractorHubCursorEngine, TnxBaseTokenExtractorCursorEngine,
                              TnxTokenExtractorCursorEngineClass,
                              &nxNewTokenExtractorCursorEngine<TnxTokenExtractorHubCursorEngine>)
  TnxTokenExtractorHubCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                   TnxBaseTokenExtractorTableEngine& aTableEngine, TnxAbstractCursor* aCursor,
                                   TnxTokenExtractorHubCursorEngine* aHub);
  ~TnxTokenExtractorHubCursorEngine() override;

  // CreateFor whose result must be a hub.
  static std::unique_ptr<TnxTokenExtractorHubCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                     TnxTokenExtractorHubTableEngine& aTableEngine,
                                                                     TnxAbstractCursor* aCursor);
  void Build() override;
  virtual void CreateTokenExtractors();

  void Initialize(const uint8_t* aRecord, const TnxRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override;
  // Every token carries its extractor's place in the hub as field number.
  InxTokenRef NextTokenInternal() override;

  int32_t TokenExtractorCount() const noexcept { return static_cast<int32_t>(tehceTokenExtractors.size()); }
  TnxBaseTokenExtractorCursorEngine* tehceGetTokenExtractor(int32_t aInx) const {
    return tehceTokenExtractors.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenExtractorHubTableEngine& tehceTokenExtractorHubTableEngine;
  std::vector<std::unique_ptr<TnxBaseTokenExtractorCursorEngine>> tehceTokenExtractors;
  int32_t tehceCurrentExtractor = 0;
};

class TnxFieldTokenExtractorCursorEngine : public TnxBaseTokenExtractorCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxFieldTokenExtractorCursorEngine, TnxBaseTokenExtractorCursorEngine,
                              TnxTokenExtractorCursorEngineClass,
                              &nxNewTokenExtractorCursorEngine<TnxFieldTokenExtractorCursorEngine>)
  TnxFieldTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                     TnxBaseTokenExtractorTableEngine& aTableEngine, TnxAbstractCursor* aCursor,
                                     TnxTokenExtractorHubCursorEngine* aHub);

  // Chooses the field's routine and checks its code page.
  void Build() override;

  void Initialize(const uint8_t* aRecord, const TnxRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override { fteceUsed = false; }
  InxTokenRef NextTokenInternal() override;

  // 0 without a locale in force for the field.
  uint16_t Codepage() const noexcept { return fteceCodepage; }
  bool HasRoutine() const noexcept { return fteceFieldToToken != nullptr; }

private:
  using TnxTokenMethod = InxTokenRef (TnxFieldTokenExtractorCursorEngine::*)();
  InxTokenRef ShortStringConvert();
  InxTokenRef ShortStringWiden();
  InxTokenRef NullStringConvert();
  InxTokenRef NullStringWiden();
  InxTokenRef WideStringToken();
  InxTokenRef BlobMemoConvert();
  InxTokenRef BlobMemoWiden();
  InxTokenRef BlobWideMemoToken();
  // The field's bytes, or null for a null field or without a record.
  const uint8_t* FieldBytes() const;
  // The whole BLOB of the field; false for none, an empty one or a failing call.
  bool ReadBlob(std::string& aBytes) const;
  InxTokenRef MakeToken(std::u16string aText) const;

  TnxFieldsDescriptor* fteceFieldsDescriptor = nullptr;
  TnxFieldDescriptor* fteceField = nullptr;
  int32_t fteceDistance = 0;
  int32_t fteceFieldNumber = 0;
  const uint8_t* fteceRecord = nullptr;
  TnxRecID fteceRecID{};
  bool fteceReadOrg = false;
  bool fteceUsed = false;
  TnxTokenMethod fteceFieldToToken = nullptr;
  uint16_t fteceCodepage = 0;
};

}  // namespace revurov
