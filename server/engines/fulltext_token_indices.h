// The token indices that store tokens. Each reduces the old and the new
// token stream of a record change to its distinct tokens and writes only
// the difference: tokens gone are removed, tokens new are added, tokens on
// both sides are left alone.
//
// - The bit-array token index keeps, per token (per field and/or for all
//   fields together, field -1) and per segment of locations, a bit array
//   in which bit b of segment s marks the record whose location is
//   s * 524288 + b. Its keys live in the fulltext indices and hold the bit
//   array's BLOB number as their RefNr. With segment arrays, segment 65535
//   holds per token the segments that hold it at all.
// - The main-index token index keeps one key (token, location) per token
//   and record in an index of the table itself, holding the record's RefNr.
//
// Contract:
// - A record's location is the 32-bit value of key field 0 of its fulltext
//   index's location index; a record with that field null has none and is
//   neither added to nor removed from a bit-array token index.
// - Tokens are cut to the key's maximum token size at a whole code point
//   (never inside a surrogate pair) before they are compared and stored;
//   without a locale they are precomposed first and compare by code unit.
// - Every inconsistency between the records and the stored indices raises
//   9729 in the finding engine's exception class: a token to remove that is
//   not stored, a key that cannot go in or out, a bit set twice. Two records
//   with one location that share a token fail so; the message names the
//   location. The caller's transaction then holds partial writes and must
//   be rolled back (the table cursor does).
// - A change that leaves the indexed text and the location alone writes
//   nothing.
// - The engines take no locks; they run under the table cursor's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_types.h"
#include "lowlevel/wide_strings/wide_string_list.h"
#include "lowlevel/wide_strings/wide_string_transform.h"
#include "server/engines/fulltext_token_index_base.h"

namespace revurov {

class TnxBaseBitArrayStorageHandlerTableEngine;
class TnxBaseFulltextCursorEngine;
class TnxBaseIndexEngine;
class TnxBaseIndexPath;
class TnxBitArrayTokenIndexTableEngine;
class TnxBitArrayTokenKeyEngine;
class TnxBitArrayWriteBuffer;
class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxMainIndexTokenIndexTableEngine;
class TnxMainIndexTokenKeyEngine;

REVUROV_EXCEPTION_CLASS(EnxBitArrayTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException);
REVUROV_EXCEPTION_CLASS(EnxMainIndexTokenIndexCursorEngineException, EnxBaseTokenIndexCursorEngineException);

// The distinct tokens of one token stream, each list sorted by the comparer
// and holding every string as the transformer made it.
class TnxUniqueTokenContainer : public TnxObject {
public:
  // Reads aTokenSource from its start. aPerField: one list per token field
  // number; aCombined: one list of all tokens (with aPerField too, filled
  // from the per-field lists).
  TnxUniqueTokenContainer(TnxBaseTokenSourceCursorEngine& aTokenSource, InxWideStringComparerRef aComparer,
                          InxWideStringTransformerRef aTransformer, bool aCombined, bool aPerField);
  ~TnxUniqueTokenContainer() override;

  // Null without that list.
  TnxWideStringList* Combined() const noexcept { return utcCombined.get(); }
  int32_t PerFieldCount() const noexcept { return static_cast<int32_t>(utcPerField.size()); }
  TnxWideStringList* PerField(int32_t aField) const noexcept {
    return aField >= 0 && aField < PerFieldCount() ? utcPerField[static_cast<size_t>(aField)].get() : nullptr;
  }

private:
  std::unique_ptr<TnxWideStringList> NewList() const;

  std::unique_ptr<TnxWideStringList> utcCombined;
  std::vector<std::unique_ptr<TnxWideStringList>> utcPerField;
  InxWideStringComparerRef utcComparer;
  InxWideStringTransformerRef utcTransformer;
};

// Writes of the token indices as a test sees them: a hook, when set, hears
// of every key and bit-array write before it happens and may refuse it
// (false), which the engine treats as the storage refusing.
enum class TnxTokenIndexWrite : uint8_t { KeyInsert, KeyDelete, BitArrayNew, BitSet, BitClear };
using TnxTokenIndexWriteHook = bool (*)(TnxTokenIndexWrite aWrite);
void nxSetTokenIndexWriteHook(TnxTokenIndexWriteHook aHook) noexcept;
// Whether the storage may take the write (the hook may refuse it).
bool nxTokenIndexWriteAllowed(TnxTokenIndexWrite aWrite);

class TnxBaseProcessingTokenIndexCursorEngine : public TnxBaseTokenIndexCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseProcessingTokenIndexCursorEngine, TnxBaseTokenIndexCursorEngine,
                              TnxTokenIndexCursorEngineClass)
  using TnxBaseTokenIndexCursorEngine::TnxBaseTokenIndexCursorEngine;
  ~TnxBaseProcessingTokenIndexCursorEngine() override;

  virtual int32_t GetCompareFlags() const { return 0; }
  virtual int32_t GetMaxTokenSize() const = 0;
  // aLocation: the side's location as the subclass defines it.
  virtual void ProcessToken(TnxBaseTransaction& aTrans, const TnxWideString& aToken, int16_t aField,
                            const void* aLocation, bool aAdd) = 0;

  const InxWideStringComparerRef& Comparer() const noexcept { return bpticeComparer; }
  const InxWideStringTransformerRef& Transformer() const noexcept { return bpticeTransformer; }

protected:
  // The comparer and transformer, from the locale in force for the token
  // index; subclasses call it last in their Build.
  void BuildProcessing();
  std::unique_ptr<TnxUniqueTokenContainer> NewContainer(TnxBaseTokenSourceCursorEngine& aSource, bool aCombined,
                                                        bool aPerField) const;
  // Removes what only the old side holds and adds what only the new side
  // holds; without aSameIdentity everything old goes and everything new
  // comes. A missing side holds nothing.
  void ProcessChanges(TnxBaseTransaction& aTrans, const TnxUniqueTokenContainer* aOld, const void* aOldLocation,
                      const TnxUniqueTokenContainer* aNew, const void* aNewLocation, bool aSameIdentity);

private:
  void ProcessList(TnxBaseTransaction& aTrans, const TnxWideStringList* aList, int16_t aField,
                   const void* aLocation, bool aAdd);
  void CompareLists(TnxBaseTransaction& aTrans, const TnxWideStringList* aOld, const TnxWideStringList* aNew,
                    int16_t aField, const void* aOldLocation, const void* aNewLocation);

  InxWideStringComparerRef bpticeComparer;
  InxWideStringTransformerRef bpticeTransformer;
};

class TnxBitArrayTokenIndexCursorEngine : public TnxBaseProcessingTokenIndexCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBitArrayTokenIndexCursorEngine, TnxBaseProcessingTokenIndexCursorEngine,
                              TnxTokenIndexCursorEngineClass,
                              &nxNewTokenIndexCursorEngine<TnxBitArrayTokenIndexCursorEngine>)
  TnxBitArrayTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenIndexTableEngine& aTableEngine,
                                    TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                    TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                    TnxTokenIndexHubCursorEngine* aHub);
  ~TnxBitArrayTokenIndexCursorEngine() override;

  void Build() override;
  int32_t GetMaxTokenSize() const override;
  uint32_t bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, const TnxRecID& aOldRecID,
                            const uint8_t* aNewRecord, const TnxRecID& aNewRecID) override;
  // aLocation: a uint32_t.
  void ProcessToken(TnxBaseTransaction& aTrans, const TnxWideString& aToken, int16_t aField, const void* aLocation,
                    bool aAdd) override;

  TnxBaseBitArrayStorageHandlerTableEngine* StorageHandler() const noexcept {
    return baticeBitArrayStorageHandlerTableEngine;
  }
  TnxBaseIndexEngine* IndexEngine() const noexcept { return baticeIndexEngine; }
  TnxBaseIndexEngine* ReverseIndexEngine() const noexcept { return baticeReverseIndexEngine; }

private:
  struct Side {
    TnxBaseIndexEngine* Index = nullptr;
    TnxBitArrayTokenKeyEngine* KeyEngine = nullptr;
    uint8_t* Key = nullptr;
    TnxBaseIndexPath* Path = nullptr;
  };
  // One pass over the key of aPrimary (and its twin in aSecondary):
  // answers whether the token's array came or went.
  bool ProcessKey(TnxBaseTransaction& aTrans, const Side& aPrimary, const Side* aSecondary, uint16_t aSegment,
                  const TnxWideString& aToken, int16_t aField, uint32_t aBit, bool aAdd);
  bool ProcessBuffered(TnxBaseTransaction& aTrans, TnxBitArrayWriteBuffer& aBuffer, uint16_t aSegment,
                       const TnxWideString& aToken, int16_t aField, uint32_t aBit, bool aAdd);
  bool LocationOf(const uint8_t* aRecord, uint32_t& aLocation) const;
  Side ForwardSide() const noexcept;
  Side ReverseSide() const noexcept;

  TnxBitArrayTokenIndexTableEngine& baticeBitArrayTokenIndexTableEngine;
  TnxBaseBitArrayStorageHandlerTableEngine* baticeBitArrayStorageHandlerTableEngine = nullptr;  // not owned
  TnxBaseIndexEngine* baticeIndexEngine = nullptr;
  TnxBaseIndexEngine* baticeReverseIndexEngine = nullptr;
  TnxBitArrayTokenKeyEngine* baticeKeyEngine = nullptr;
  TnxBitArrayTokenKeyEngine* baticeReverseKeyEngine = nullptr;
  bool baticePerFieldIndex = false;
  bool baticePerLocationIndex = false;
  bool baticeSegmentIndex = false;
  TnxFieldsDescriptor* baticeFieldsDescriptor = nullptr;
  TnxFieldDescriptor* baticeLocationField = nullptr;
  uint8_t* baticeKeyBuffer = nullptr;
  uint8_t* baticeReverseKeyBuffer = nullptr;
  std::unique_ptr<TnxBaseIndexPath> baticeIndexPath;
  std::unique_ptr<TnxBaseIndexPath> baticeReverseIndexPath;
};

class TnxMainIndexTokenIndexCursorEngine : public TnxBaseProcessingTokenIndexCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndexTokenIndexCursorEngine, TnxBaseProcessingTokenIndexCursorEngine,
                              TnxTokenIndexCursorEngineClass,
                              &nxNewTokenIndexCursorEngine<TnxMainIndexTokenIndexCursorEngine>)
  TnxMainIndexTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                     TnxBaseTokenIndexTableEngine& aTableEngine,
                                     TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                     TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                     TnxTokenIndexHubCursorEngine* aHub);
  ~TnxMainIndexTokenIndexCursorEngine() override;

  // The side's record and where it sits, as ProcessToken takes it.
  struct Location {
    const TnxRecID* RecID;
    uint32_t Value;
  };

  void Build() override;
  int32_t GetCompareFlags() const override;
  int32_t GetMaxTokenSize() const override;
  uint32_t bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, const TnxRecID& aOldRecID,
                            const uint8_t* aNewRecord, const TnxRecID& aNewRecID) override;
  // aLocation: a Location.
  void ProcessToken(TnxBaseTransaction& aTrans, const TnxWideString& aToken, int16_t aField, const void* aLocation,
                    bool aAdd) override;

  TnxBaseIndexEngine* IndexEngine() const noexcept { return miticeIndexEngine; }

private:
  bool Present(const uint8_t* aRecord, const TnxRecID& aRecID) const;
  uint32_t LocationOf(const uint8_t* aRecord) const;

  TnxMainIndexTokenIndexTableEngine& miticeMainIndexTokenIndexTableEngine;
  TnxEngineNotify miticeNotify;
  TnxBaseIndexEngine* miticeIndexEngine = nullptr;
  TnxMainIndexTokenKeyEngine* miticeKeyEngine = nullptr;
  uint8_t* miticeKeyBuffer = nullptr;
  std::unique_ptr<TnxBaseIndexPath> miticeIndexPath;
  TnxFieldsDescriptor* miticeFieldsDescriptor = nullptr;
  TnxFieldDescriptor* miticeLocationField = nullptr;
};

// Restructure, pack and other copies that write records straight into a
// table call this once per record written, with the target table's
// fulltext cursor engine (null: nothing to do): the record's tokens go
// into every token index as a record insert puts them. The result is the
// engine's; exceptions pass through for the copy to roll back.
uint32_t nxFulltextRecordCopied(TnxBaseFulltextCursorEngine* aEngine, TnxBaseTransaction& aTrans,
                                const uint8_t* aRecord, TnxRefNr aRefNr);

// Start-up unit: the two token index cursor engine classes.
void nxFulltextTokenIndicesStartup();
void nxFulltextTokenIndicesShutdown() noexcept;

}  // namespace revurov
