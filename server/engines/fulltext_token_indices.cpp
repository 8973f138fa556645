#include "server/engines/fulltext_token_indices.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <utility>

#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/token_index_descriptors.h"
#include "dictionary/token_key_engines.h"
#include "engine/abstract_cursor.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "server/engines/bit_array_storage.h"
#include "server/engines/bit_array_write_buffer.h"
#include "server/engines/fulltext_cursor_engine.h"
#include "server/engines/fulltext_table_engine.h"

namespace revurov {

namespace {

constexpr uint32_t kSegmentBits = 19;
constexpr uint32_t kBitMask = (1u << kSegmentBits) - 1;
constexpr uint16_t kSegmentLevel = 65535;
constexpr int16_t kAllFields = -1;
constexpr size_t kWriteBufferBytes = size_t{32} << 20;
// NORM_IGNORECASE.
constexpr uint32_t kIgnoreCase = 1;

std::atomic<TnxTokenIndexWriteHook> gWriteHook{nullptr};

bool WriteAllowed(TnxTokenIndexWrite aWrite) { return nxTokenIndexWriteAllowed(aWrite); }

// The field a fulltext index locates its records by: key field 0 of its
// location index.
TnxFieldDescriptor& LocationFieldOf(TnxBaseTokenIndexCursorEngine& aEngine) {
  TnxFulltextIndexDescriptor& index =
      aEngine.TokenIndexTableEngine().ParentFulltextIndexTableEngine().FulltextIndexDescriptor();
  TnxIndexDescriptor* location = index.LocationIndex();
  auto* key = location ? dynamic_cast<TnxCompKeyDescriptor*>(location->KeyDescriptor()) : nullptr;
  TnxFieldDescriptor* field = key && key->KeyFieldCount() > 0 ? key->ckdGetKeyField(0)->Field() : nullptr;
  if (!field)
    throw EnxBaseTokenIndexCursorEngineException(nxeInvalidDescriptor, u"Fulltext index %s has no location field",
                                                 {index.Name()});
  return *field;
}

TnxFieldsDescriptor& FieldsOf(TnxBaseTokenIndexCursorEngine& aEngine) {
  auto* fields = aEngine.TokenIndexTableEngine().TokenIndexDescriptor().FindRelated<TnxFieldsDescriptor>();
  if (!fields)
    throw EnxBaseTokenIndexCursorEngineException(nxeInvalidDescriptor, u"Token index %s belongs to no table",
                                                 {aEngine.ClassName()});
  return *fields;
}

uint32_t ReadLocation(const TnxFieldDescriptor& aField, const uint8_t* aRecord) {
  return platform::LoadLE<uint32_t>(aRecord + aField.Offset());
}

}  // namespace

bool nxTokenIndexWriteAllowed(TnxTokenIndexWrite aWrite) {
  const TnxTokenIndexWriteHook hook = gWriteHook.load(std::memory_order_acquire);
  return !hook || hook(aWrite);
}

void nxSetTokenIndexWriteHook(TnxTokenIndexWriteHook aHook) noexcept {
  gWriteHook.store(aHook, std::memory_order_release);
}

// ---- TnxUniqueTokenContainer ----

TnxUniqueTokenContainer::TnxUniqueTokenContainer(TnxBaseTokenSourceCursorEngine& aTokenSource,
                                                 InxWideStringComparerRef aComparer,
                                                 InxWideStringTransformerRef aTransformer, bool aCombined,
                                                 bool aPerField)
    : utcComparer(std::move(aComparer)), utcTransformer(std::move(aTransformer)) {
  if (aCombined) utcCombined = NewList();
  aTokenSource.Reset();
  while (InxTokenRef token = aTokenSource.NextToken()) {
    if (aPerField) {
      const int32_t field = token->TokenField();
      // Extractor hubs number their tokens from 0; another number is a
      // broken chain, not a token to drop.
      if (field < 0)
        throw EnxBaseTokenIndexCursorEngineException(nxeInvalidDescriptor, u"Token field %d is out of range",
                                                     {field});
      if (static_cast<size_t>(field) >= utcPerField.size()) utcPerField.resize(static_cast<size_t>(field) + 1);
      auto& list = utcPerField[static_cast<size_t>(field)];
      if (!list) list = NewList();
      list->Add(token->TokenText());
    } else if (aCombined) {
      utcCombined->Add(token->TokenText());
    }
  }
  if (aPerField && aCombined)
    for (const auto& list : utcPerField)
      if (list)
        for (int32_t i = 0; i < list->GetCount(); ++i) utcCombined->Add(list->wsGetString(i));
}

TnxUniqueTokenContainer::~TnxUniqueTokenContainer() = default;

std::unique_ptr<TnxWideStringList> TnxUniqueTokenContainer::NewList() const {
  auto list = std::make_unique<TnxWideStringList>(utcComparer, utcTransformer);
  list->SetDuplicates(platform::TDuplicates::dupIgnore);
  list->SetSorted(true);
  return list;
}

// ---- TnxBaseProcessingTokenIndexCursorEngine ----

TnxBaseProcessingTokenIndexCursorEngine::~TnxBaseProcessingTokenIndexCursorEngine() = default;

void TnxBaseProcessingTokenIndexCursorEngine::BuildProcessing() {
  TnxLocaleDescriptor* locale = TokenIndexTableEngine().TokenIndexDescriptor().GetUsedLocaleDescriptor();
  const auto truncate = InxWideStringTransformerRef(nxCreate<TnxWideStringTruncateTransformer>(GetMaxTokenSize()));
  if (locale && locale->Locale() != 0) {
    bpticeComparer = InxWideStringComparerRef(nxCreate<TnxWideStringCompareStringWComparer>(
        locale->Locale(), static_cast<uint32_t>(GetCompareFlags()) | locale->GetFlags()));
    bpticeTransformer = truncate;
  } else {
    bpticeComparer = InxWideStringComparerRef(nxCreate<TnxWideStringByteComparer>());
    std::vector<InxWideStringTransformerRef> steps;
    steps.push_back(InxWideStringTransformerRef(nxCreate<TnxWideStringPreComposeTransformer>()));
    steps.push_back(truncate);
    bpticeTransformer = InxWideStringTransformerRef(nxCreate<TnxWideStringTransformerHub>(std::move(steps)));
  }
}

std::unique_ptr<TnxUniqueTokenContainer> TnxBaseProcessingTokenIndexCursorEngine::NewContainer(
    TnxBaseTokenSourceCursorEngine& aSource, bool aCombined, bool aPerField) const {
  return std::make_unique<TnxUniqueTokenContainer>(aSource, bpticeComparer, bpticeTransformer, aCombined, aPerField);
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessList(TnxBaseTransaction& aTrans, const TnxWideStringList* aList,
                                                          int16_t aField, const void* aLocation, bool aAdd) {
  if (!aList) return;
  for (int32_t i = 0; i < aList->GetCount(); ++i) ProcessToken(aTrans, aList->wsGetString(i), aField, aLocation, aAdd);
}

void TnxBaseProcessingTokenIndexCursorEngine::CompareLists(TnxBaseTransaction& aTrans, const TnxWideStringList* aOld,
                                                           const TnxWideStringList* aNew, int16_t aField,
                                                           const void* aOldLocation, const void* aNewLocation) {
  const int32_t oldCount = aOld ? aOld->GetCount() : 0;
  const int32_t newCount = aNew ? aNew->GetCount() : 0;
  int32_t i = 0, j = 0;
  // Both lists hold transformed strings in comparer order already.
  while (i < oldCount && j < newCount) {
    const TnxWideString oldToken = aOld->wsGetString(i);
    const TnxWideString newToken = aNew->wsGetString(j);
    const int8_t order = bpticeComparer->Compare(oldToken, newToken);
    if (order < 0) {
      ProcessToken(aTrans, oldToken, aField, aOldLocation, false);
      ++i;
    } else if (order > 0) {
      ProcessToken(aTrans, newToken, aField, aNewLocation, true);
      ++j;
    } else {
      ++i;
      ++j;
    }
  }
  for (; i < oldCount; ++i) ProcessToken(aTrans, aOld->wsGetString(i), aField, aOldLocation, false);
  for (; j < newCount; ++j) ProcessToken(aTrans, aNew->wsGetString(j), aField, aNewLocation, true);
}

void TnxBaseProcessingTokenIndexCursorEngine::ProcessChanges(TnxBaseTransaction& aTrans,
                                                             const TnxUniqueTokenContainer* aOld,
                                                             const void* aOldLocation,
                                                             const TnxUniqueTokenContainer* aNew,
                                                             const void* aNewLocation, bool aSameIdentity) {
  if (aOld && aNew && aSameIdentity) {
    CompareLists(aTrans, aOld->Combined(), aNew->Combined(), kAllFields, aOldLocation, aNewLocation);
    const int32_t fields = std::max(aOld->PerFieldCount(), aNew->PerFieldCount());
    for (int32_t field = 0; field < fields; ++field)
      CompareLists(aTrans, aOld->PerField(field), aNew->PerField(field), static_cast<int16_t>(field), aOldLocation,
                   aNewLocation);
    return;
  }
  if (aOld) {
    ProcessList(aTrans, aOld->Combined(), kAllFields, aOldLocation, false);
    for (int32_t field = 0; field < aOld->PerFieldCount(); ++field)
      ProcessList(aTrans, aOld->PerField(field), static_cast<int16_t>(field), aOldLocation, false);
  }
  if (aNew) {
    ProcessList(aTrans, aNew->Combined(), kAllFields, aNewLocation, true);
    for (int32_t field = 0; field < aNew->PerFieldCount(); ++field)
      ProcessList(aTrans, aNew->PerField(field), static_cast<int16_t>(field), aNewLocation, true);
  }
}

// ---- TnxBitArrayTokenIndexCursorEngine ----

TnxBitArrayTokenIndexCursorEngine::TnxBitArrayTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                                     TnxBaseTokenIndexTableEngine& aTableEngine,
                                                                     TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                                     TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                                                     TnxTokenIndexHubCursorEngine* aHub)
    : TnxBaseProcessingTokenIndexCursorEngine(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew, aHub),
      baticeBitArrayTokenIndexTableEngine(dynamic_cast<TnxBitArrayTokenIndexTableEngine&>(aTableEngine)) {}

TnxBitArrayTokenIndexCursorEngine::~TnxBitArrayTokenIndexCursorEngine() {
  if (baticeReverseKeyEngine) baticeReverseKeyEngine->FreeKey(baticeReverseKeyBuffer);
  if (baticeKeyEngine) baticeKeyEngine->FreeKey(baticeKeyBuffer);
}

void TnxBitArrayTokenIndexCursorEngine::Build() {
  TnxBaseTokenIndexCursorEngine::Build();
  baticeFieldsDescriptor = &FieldsOf(*this);
  baticeLocationField = &LocationFieldOf(*this);
  TnxBitArrayTokenIndexDescriptor& descriptor = baticeBitArrayTokenIndexTableEngine.BitArrayTokenIndexDescriptor();
  baticePerFieldIndex = descriptor.PerFieldIndex();
  baticePerLocationIndex = descriptor.PerLocationIndex();
  baticeSegmentIndex = descriptor.SegmentIndex();
  if (baticePerFieldIndex || baticePerLocationIndex) {
    baticeIndexEngine = baticeBitArrayTokenIndexTableEngine.IndexEngine();
    baticeReverseIndexEngine = baticeBitArrayTokenIndexTableEngine.ReverseIndexEngine();
    if (baticeIndexEngine || baticeReverseIndexEngine)
      baticeBitArrayStorageHandlerTableEngine = baticeBitArrayTokenIndexTableEngine.BitArrayStorageHandler();
  }
  const auto keyEngineOf = [](TnxBaseIndexEngine& aIndex) {
    auto* keys = dynamic_cast<TnxBitArrayTokenKeyEngine*>(&aIndex.KeyEngine());
    if (!keys)
      throw EnxBitArrayTokenIndexCursorEngineException(nxeInvalidDescriptor,
                                                       u"Index %s does not hold bit-array token keys",
                                                       {aIndex.IndexName()});
    return keys;
  };
  if (baticeIndexEngine) {
    baticeKeyEngine = keyEngineOf(*baticeIndexEngine);
    baticeIndexPath = baticeIndexEngine->CreateIndexPath();
    baticeKeyBuffer = baticeKeyEngine->AllocKey();
  }
  if (baticeReverseIndexEngine) {
    baticeReverseKeyEngine = keyEngineOf(*baticeReverseIndexEngine);
    baticeReverseIndexPath = baticeReverseIndexEngine->CreateIndexPath();
    baticeReverseKeyBuffer = baticeReverseKeyEngine->AllocKey();
  }
  BuildProcessing();
}

int32_t TnxBitArrayTokenIndexCursorEngine::GetMaxTokenSize() const {
  if (baticeKeyEngine) return baticeKeyEngine->MaxTokenSize();
  if (baticeReverseKeyEngine) return baticeReverseKeyEngine->MaxTokenSize();
  return 0;
}

bool TnxBitArrayTokenIndexCursorEngine::LocationOf(const uint8_t* aRecord, uint32_t& aLocation) const {
  if (!aRecord || baticeFieldsDescriptor->IsRecordFieldNull(baticeLocationField->Number(), aRecord)) return false;
  aLocation = ReadLocation(*baticeLocationField, aRecord);
  return true;
}

uint32_t TnxBitArrayTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord,
                                                             const TnxRecID&, const uint8_t* aNewRecord,
                                                             const TnxRecID&) {
  if (!baticeBitArrayStorageHandlerTableEngine) return 0;
  uint32_t oldLocation = 0, newLocation = 0;
  const bool hasOld = LocationOf(aOldRecord, oldLocation);
  const bool hasNew = LocationOf(aNewRecord, newLocation);
  if (!hasOld && !hasNew) return 0;
  std::unique_ptr<TnxUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld) oldTokens = NewContainer(TokenSourceOld(), baticePerLocationIndex, baticePerFieldIndex);
  if (hasNew) newTokens = NewContainer(TokenSourceNew(), baticePerLocationIndex, baticePerFieldIndex);
  ProcessChanges(aTrans, oldTokens.get(), &oldLocation, newTokens.get(), &newLocation,
                 hasOld && hasNew && oldLocation == newLocation);
  // A long operation writes what it gathered when it has gathered much.
  if (TnxBitArrayWriteBuffer* buffer = baticeBitArrayTokenIndexTableEngine.WriteBuffer())
    if (buffer->ActiveFor(aTrans) && buffer->PendingBytes() > kWriteBufferBytes) buffer->Flush(aTrans);
  return 0;
}

TnxBitArrayTokenIndexCursorEngine::Side TnxBitArrayTokenIndexCursorEngine::ForwardSide() const noexcept {
  return {baticeIndexEngine, baticeKeyEngine, baticeKeyBuffer, baticeIndexPath.get()};
}

TnxBitArrayTokenIndexCursorEngine::Side TnxBitArrayTokenIndexCursorEngine::ReverseSide() const noexcept {
  return {baticeReverseIndexEngine, baticeReverseKeyEngine, baticeReverseKeyBuffer, baticeReverseIndexPath.get()};
}

void TnxBitArrayTokenIndexCursorEngine::ProcessToken(TnxBaseTransaction& aTrans, const TnxWideString& aToken,
                                                     int16_t aField, const void* aLocation, bool aAdd) {
  const uint32_t location = *static_cast<const uint32_t*>(aLocation);
  uint16_t segment = static_cast<uint16_t>(location >> kSegmentBits);
  uint32_t bit = location & kBitMask;
  const Side forward = ForwardSide();
  const Side reverse = ReverseSide();
  TnxBitArrayWriteBuffer* buffer = baticeBitArrayTokenIndexTableEngine.WriteBuffer();
  if (buffer && !buffer->ActiveFor(aTrans)) buffer = nullptr;
  for (;;) {
    bool changed = false;
    if (buffer)
      changed = ProcessBuffered(aTrans, *buffer, segment, aToken, aField, bit, aAdd);
    else if (forward.Index)
      changed = ProcessKey(aTrans, forward, reverse.Index ? &reverse : nullptr, segment, aToken, aField, bit, aAdd);
    else if (reverse.Index)
      changed = ProcessKey(aTrans, reverse, nullptr, segment, aToken, aField, bit, aAdd);
    // The segment-level array of the token notes which segments hold it.
    if (!changed || !baticeSegmentIndex || segment == kSegmentLevel) return;
    bit = segment;
    segment = kSegmentLevel;
  }
}

bool TnxBitArrayTokenIndexCursorEngine::ProcessKey(TnxBaseTransaction& aTrans, const Side& aPrimary,
                                                   const Side* aSecondary, uint16_t aSegment,
                                                   const TnxWideString& aToken, int16_t aField, uint32_t aBit,
                                                   bool aAdd) {
  const auto violation = [&](std::u16string_view aWhat) {
    return EnxBitArrayTokenIndexCursorEngineException(
        nxeKeyViolation, u"Key violation: %s (token \"%s\", field %d, segment %d, bit %d)",
        {aWhat, aToken, int32_t(aField), int32_t(aSegment), int64_t(aBit)});
  };
  const auto insertKey = [&](const Side& aSide, TnxBitArrayRef aRef) {
    aSide.KeyEngine->ClearKey(aSide.Key);
    aSide.KeyEngine->InternalBuildKey(aSegment, aToken, aField, aSide.Key);
    if (!WriteAllowed(TnxTokenIndexWrite::KeyInsert) || !aSide.Index->InsertKey(aTrans, aSide.Key, aRef, 0, nullptr))
      throw violation(u"the key cannot be inserted");
  };
  const auto deleteKey = [&](const Side& aSide, TnxBitArrayRef aRef) {
    aSide.KeyEngine->ClearKey(aSide.Key);
    aSide.KeyEngine->InternalBuildKey(aSegment, aToken, aField, aSide.Key);
    if (!WriteAllowed(TnxTokenIndexWrite::KeyDelete) || !aSide.Index->DeleteKey(aTrans, aSide.Key, aRef, 0, nullptr))
      throw violation(u"the key cannot be deleted");
  };
  TnxBaseBitArrayStorageHandlerTableEngine& storage = *baticeBitArrayStorageHandlerTableEngine;

  aPrimary.KeyEngine->ClearKey(aPrimary.Key);
  aPrimary.KeyEngine->InternalBuildKey(aSegment, aToken, aField, aPrimary.Key);
  if (!aPrimary.Index->FindKey(&aTrans, aPrimary.Key, 0, 0, 0, *aPrimary.Path, skaEqualFirst, nullptr)) {
    if (!aAdd) throw violation(u"the token is not stored");
    if (!WriteAllowed(TnxTokenIndexWrite::BitArrayNew)) throw violation(u"the bit array cannot be created");
    const TnxBitArrayRef ref = storage.CreateNew(aTrans, aBit);
    insertKey(aPrimary, ref);
    if (aSecondary) insertKey(*aSecondary, ref);
    return true;
  }
  const TnxBitArrayRef ref = aPrimary.Path->RefNr;
  if (aAdd) {
    if (!WriteAllowed(TnxTokenIndexWrite::BitSet)) throw violation(u"the bit cannot be set");
    try {
      storage.SetBit(aTrans, ref, aBit);
    } catch (const EnxBaseException& e) {
      if (e.ErrorCode() != nxeKeyViolation || aSegment == kSegmentLevel) throw;
      // The bit of this location is set already: another record sits at
      // the same location.
      throw EnxBitArrayTokenIndexCursorEngineException(
          nxeKeyViolation,
          u"Key violation: location %d already holds token \"%s\" in another record; the location field must hold "
          u"a value unique to each record",
          {int64_t((uint32_t(aSegment) << kSegmentBits) | aBit), aToken});
    }
    return false;
  }
  if (!WriteAllowed(TnxTokenIndexWrite::BitClear)) throw violation(u"the bit cannot be cleared");
  if (!storage.ClearBit(aTrans, ref, aBit)) return false;
  deleteKey(aPrimary, ref);
  if (aSecondary) deleteKey(*aSecondary, ref);
  return true;
}

// The same steps as ProcessKey on the buffered array; its keys change at
// the flush.
bool TnxBitArrayTokenIndexCursorEngine::ProcessBuffered(TnxBaseTransaction& aTrans, TnxBitArrayWriteBuffer& aBuffer,
                                                        uint16_t aSegment, const TnxWideString& aToken,
                                                        int16_t aField, uint32_t aBit, bool aAdd) {
  const auto violation = [&](std::u16string_view aWhat) {
    return EnxBitArrayTokenIndexCursorEngineException(
        nxeKeyViolation, u"Key violation: %s (token \"%s\", field %d, segment %d, bit %d)",
        {aWhat, aToken, int32_t(aField), int32_t(aSegment), int64_t(aBit)});
  };
  TnxBitArrayWriteBuffer::TArray& array = aBuffer.Find(aTrans, aSegment, aToken, aField);
  if (!array.Exists) {
    if (!aAdd) throw violation(u"the token is not stored");
    if (!WriteAllowed(TnxTokenIndexWrite::BitArrayNew)) throw violation(u"the bit array cannot be created");
    aBuffer.Create(array, aBit);
    return true;
  }
  if (aAdd) {
    if (!WriteAllowed(TnxTokenIndexWrite::BitSet)) throw violation(u"the bit cannot be set");
    try {
      aBuffer.SetBit(aTrans, array, aBit);
    } catch (const EnxBaseException& e) {
      if (e.ErrorCode() != nxeKeyViolation || aSegment == kSegmentLevel) throw;
      throw EnxBitArrayTokenIndexCursorEngineException(
          nxeKeyViolation,
          u"Key violation: location %d already holds token \"%s\" in another record; the location field must hold "
          u"a value unique to each record",
          {int64_t((uint32_t(aSegment) << kSegmentBits) | aBit), aToken});
    }
    return false;
  }
  if (!WriteAllowed(TnxTokenIndexWrite::BitClear)) throw violation(u"the bit cannot be cleared");
  return aBuffer.ClearBit(aTrans, array, aBit);
}

// ---- TnxMainIndexTokenIndexCursorEngine ----

TnxMainIndexTokenIndexCursorEngine::TnxMainIndexTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                                       TnxBaseTokenIndexTableEngine& aTableEngine,
                                                                       TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                                       TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                                                       TnxTokenIndexHubCursorEngine* aHub)
    : TnxBaseProcessingTokenIndexCursorEngine(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew, aHub),
      miticeMainIndexTokenIndexTableEngine(dynamic_cast<TnxMainIndexTokenIndexTableEngine&>(aTableEngine)) {}

TnxMainIndexTokenIndexCursorEngine::~TnxMainIndexTokenIndexCursorEngine() {
  if (miticeKeyEngine) miticeKeyEngine->FreeKey(miticeKeyBuffer);
}

void TnxMainIndexTokenIndexCursorEngine::Build() {
  TnxBaseTokenIndexCursorEngine::Build();
  miticeIndexEngine = miticeMainIndexTokenIndexTableEngine.MainIndexEngine();
  if (!miticeIndexEngine)
    throw EnxMainIndexTokenIndexCursorEngineException(nxeInvalidDescriptor, u"Token index %s has no main index",
                                                      {ClassName()});
  miticeKeyEngine = dynamic_cast<TnxMainIndexTokenKeyEngine*>(&miticeIndexEngine->KeyEngine());
  if (!miticeKeyEngine)
    throw EnxMainIndexTokenIndexCursorEngineException(nxeInvalidDescriptor,
                                                      u"Index %s does not hold main-index token keys",
                                                      {miticeIndexEngine->IndexName()});
  miticeIndexPath = miticeIndexEngine->CreateIndexPath();
  miticeKeyBuffer = miticeKeyEngine->AllocKey();
  if (miticeKeyEngine->IncludeLocation()) {
    miticeFieldsDescriptor = &FieldsOf(*this);
    miticeLocationField = &LocationFieldOf(*this);
  }
  if (TnxFulltextIndexCursorEngine* parent = ParentFulltextIndexCursorEngine())
    if (TnxAbstractCursor* cursor = parent->ParentFulltextCursorEngine().FulltextCursor())
      miticeNotify = cursor->GetNotifyFor(eaRecordFulltextUpdate);
  BuildProcessing();
}

int32_t TnxMainIndexTokenIndexCursorEngine::GetCompareFlags() const {
  const int32_t flags = TnxBaseProcessingTokenIndexCursorEngine::GetCompareFlags();
  return miticeMainIndexTokenIndexTableEngine.MainIndexTokenIndexDescriptor().IgnoreCase()
             ? flags | static_cast<int32_t>(kIgnoreCase)
             : flags;
}

int32_t TnxMainIndexTokenIndexCursorEngine::GetMaxTokenSize() const {
  return miticeKeyEngine ? miticeKeyEngine->MaxTokenSize() : 0;
}

bool TnxMainIndexTokenIndexCursorEngine::Present(const uint8_t* aRecord, const TnxRecID& aRecID) const {
  if (aRecID.ridRefNr == 0 || !aRecord) return false;
  TnxBaseFilterEngine* filter = miticeKeyEngine->Filter();
  return !filter || filter->MatchesBuffer(aRecord);
}

uint32_t TnxMainIndexTokenIndexCursorEngine::LocationOf(const uint8_t* aRecord) const {
  if (!miticeLocationField || miticeFieldsDescriptor->IsRecordFieldNull(miticeLocationField->Number(), aRecord))
    return 0;
  return ReadLocation(*miticeLocationField, aRecord);
}

uint32_t TnxMainIndexTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord,
                                                              const TnxRecID& aOldRecID, const uint8_t* aNewRecord,
                                                              const TnxRecID& aNewRecID) {
  const bool hasOld = Present(aOldRecord, aOldRecID);
  const bool hasNew = Present(aNewRecord, aNewRecID);
  if (!hasOld && !hasNew) return 0;
  const Location oldLocation{&aOldRecID, hasOld ? LocationOf(aOldRecord) : 0u};
  const Location newLocation{&aNewRecID, hasNew ? LocationOf(aNewRecord) : 0u};
  std::unique_ptr<TnxUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld) oldTokens = NewContainer(TokenSourceOld(), true, false);
  if (hasNew) newTokens = NewContainer(TokenSourceNew(), true, false);
  ProcessChanges(aTrans, oldTokens.get(), &oldLocation, newTokens.get(), &newLocation,
                 hasOld && hasNew && aOldRecID.ridRefNr == aNewRecID.ridRefNr &&
                     oldLocation.Value == newLocation.Value);
  return 0;
}

void TnxMainIndexTokenIndexCursorEngine::ProcessToken(TnxBaseTransaction& aTrans, const TnxWideString& aToken,
                                                      int16_t, const void* aLocation, bool aAdd) {
  const Location& location = *static_cast<const Location*>(aLocation);
  miticeKeyEngine->ClearKey(miticeKeyBuffer);
  miticeKeyEngine->InternalBuildKey(aToken, location.Value, miticeKeyBuffer);
  if (miticeNotify) {
    TnxWideString token = aToken;
    TnxRecID recID = *location.RecID;
    const TnxEngineArg args[] = {int32_t(miticeIndexEngine->IndexNumber()), static_cast<void*>(&token),
                                 static_cast<void*>(&recID), int64_t(location.Value), aAdd};
    // Listeners hear of the change; they cannot stop it.
    miticeNotify(eaRecordFulltextUpdate, true, args);
  }
  const TnxRefNr refNr = location.RecID->ridRefNr;
  const bool done =
      aAdd ? WriteAllowed(TnxTokenIndexWrite::KeyInsert) &&
                 miticeIndexEngine->InsertKey(aTrans, miticeKeyBuffer, refNr, 0, nullptr)
           : WriteAllowed(TnxTokenIndexWrite::KeyDelete) &&
                 miticeIndexEngine->DeleteKey(aTrans, miticeKeyBuffer, refNr, 0, nullptr);
  if (!done)
    throw EnxMainIndexTokenIndexCursorEngineException(
        nxeKeyViolation, u"Key violation: the key of token \"%s\" for record %d cannot be %s", {aToken, int64_t(refNr),
        std::u16string_view(aAdd ? u"inserted" : u"deleted")});
}

// ---- copies ----

uint32_t nxFulltextRecordCopied(TnxBaseFulltextCursorEngine* aEngine, TnxBaseTransaction& aTrans,
                                const uint8_t* aRecord, TnxRefNr aRefNr) {
  return aEngine ? aEngine->UpdateIndex(aTrans, nullptr, 0, aRecord, aRefNr) : 0;
}

// ---- start-up ----

namespace {

const TnxRegisterableClass* const kTokenIndexClasses[] = {
    &TnxBitArrayTokenIndexCursorEngine::ClassInfo(),
    &TnxMainIndexTokenIndexCursorEngine::ClassInfo(),
};

}  // namespace

void nxFulltextTokenIndicesStartup() {
  size_t done = 0;
  try {
    for (const TnxRegisterableClass* c : kTokenIndexClasses) {
      c->Register();
      ++done;
    }
  } catch (...) {
    while (done > 0) kTokenIndexClasses[--done]->Unregister();
    throw;
  }
}

void nxFulltextTokenIndicesShutdown() noexcept {
  for (size_t i = std::size(kTokenIndexClasses); i > 0; --i) kTokenIndexClasses[i - 1]->Unregister();
}

}  // namespace revurov
