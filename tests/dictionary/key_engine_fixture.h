// A table with fields and indices for the key engine tests: composite keys
// over chosen fields, record buffers filled through variants, and engines
// created the way an index opens them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "platform/format.h"
#include "platform/variant.h"

namespace revurov::testing {

class KeyEngineTest : public TableTreeTest {
protected:
  // A key of aClass (null: composite) under a new index.
  TnxBaseKeyDescriptor& NewKey(const TnxKeyDescriptorClass* aClass = nullptr) {
    TnxIndexDescriptor* index =
        indices->AddIndex(platform::Format(u"I%d", {indices->IndexCount()}), 0, idAll, u"", aClass);
    return *index->KeyDescriptor();
  }
  TnxCompKeyDescriptor& NewCompKey(bool aNoNull = false) {
    return static_cast<TnxCompKeyDescriptor&>(
        NewKey(aNoNull ? &TnxNoNullCompKeyDescriptor::ClassInfo() : &TnxCompKeyDescriptor::ClassInfo()));
  }
  // A text key field (case, locale) over a field.
  TnxTextKeyFieldDescriptor& AddTextKeyField(TnxCompKeyDescriptor& aKey, int32_t aField) {
    return static_cast<TnxTextKeyFieldDescriptor&>(*aKey.Add(aField, &TnxTextKeyFieldDescriptor::ClassInfo()));
  }
  std::unique_ptr<TnxCompKeyEngine> CompEngine(TnxBaseKeyDescriptor& aKey) {
    std::unique_ptr<TnxBaseKeyEngine> e = TnxBaseKeyEngine::CreateFor(aKey);
    return std::unique_ptr<TnxCompKeyEngine>(static_cast<TnxCompKeyEngine*>(e.release()));
  }

  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> r(static_cast<size_t>(fields().RecordLength()));
    fields().InitRecord(r.data());
    return r;
  }
  void Set(std::vector<uint8_t>& aRecord, int32_t aField, const platform::TnxVariant& aValue) {
    fields().fsdSetFieldByIndexAsVariant(aRecord.data(), aField, aValue);
  }
  std::vector<uint8_t> Record(std::initializer_list<platform::TnxVariant> aValues) {
    std::vector<uint8_t> r = NewRecord();
    int32_t i = 0;
    for (const auto& v : aValues) Set(r, i++, v);
    return r;
  }
  // The key of a record, built ignoring filters.
  std::vector<uint8_t> KeyOf(const TnxBaseKeyEngine& aEngine, const std::vector<uint8_t>& aRecord,
                             TnxRefNr aRefNr = 0) {
    std::vector<uint8_t> k(aEngine.KeyLength());
    aEngine.ClearKey(k.data());
    EXPECT_EQ(aEngine.BuildKey(aRecord.data(), k.data(), aRefNr, true), 0u);
    return k;
  }
};

inline platform::TnxVariant V(int32_t v) { return platform::TnxVariant::FromInteger(v); }
inline platform::TnxVariant V(const char16_t* v) { return platform::TnxVariant::FromString(v); }
inline platform::TnxVariant VNull() { return platform::TnxVariant::Null(); }

}  // namespace revurov::testing
