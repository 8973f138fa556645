// TnxKeyFieldsSource: the fields source of a table cursor's key filters.
// It reads the fields of the cursor's current index key, taking the key
// engine of the index current at each call, so a filter made before an
// index switch reads the new index's fields afterwards.
//
// Contract:
// - Every answer is the current key engine's, with the arguments unchanged;
//   Owner answers the cursor where a key engine answers nil.
// - Without a current index the source has no fields: count 0, no field
//   for the filter, index -1 for every name, no field descriptor, offset 0,
//   variant unassigned. It never reaches for a missing key engine.
// - It answers no fixed field place: a place taken once would outlive an
//   index switch.
// - The cursor owns the source and outlives every filter that reads
//   through it.
#pragma once

#include <cstdint>
#include <string_view>

#include "dictionary/filter_engines.h"

namespace platform {
class TnxVariant;
}

namespace revurov {

class InxFieldDescriptor;
class TnxBaseKeyEngine;
class TnxServerTableCursor;

class TnxKeyFieldsSource final : public InxFieldsSource {
public:
  explicit TnxKeyFieldsSource(TnxServerTableCursor& aOwner) noexcept : kfsOwner(aOwner) {}

  int32_t GetFieldCount() const override;
  bool GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const override;
  bool GetFieldPlace(int32_t, TnxFieldPlace&) const override { return false; }

  platform::TnxVariant GetFieldAsVariant(const uint8_t* aKey, int32_t aField) const;
  bool BlobsSupported() const noexcept { return false; }
  int32_t GetFieldFromName(std::u16string_view aName) const;
  InxFieldDescriptor* GetFieldDescriptor(int32_t aField) const;
  int32_t GetFieldsOffset() const;
  TnxServerTableCursor& Owner() const noexcept { return kfsOwner; }

private:
  // Nil without a current index.
  const TnxBaseKeyEngine* KeyEngine() const noexcept;

  TnxServerTableCursor& kfsOwner;
};

}  // namespace revurov
