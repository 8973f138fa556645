// A fields source over a flat test record: one null flag byte per field,
// then each field's bytes at its offset.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/filter_engines.h"

namespace revurov::testing {

class TestFieldsSource : public InxFieldsSource {
public:
  static constexpr uint32_t kMaxFields = 16;

  // Returns the 0-based field number; aSize as the record layout reports it
  // (characters for strings).
  int AddField(uint16_t aType, uint16_t aSize, uint32_t aBytes, uint16_t aCodePage = 0) {
    fields_.push_back({aType, aSize, next_, aCodePage});
    next_ += aBytes;
    return int(fields_.size() - 1);
  }
  uint32_t RecordLength() const { return next_; }
  std::vector<uint8_t> NewRecord() const {
    std::vector<uint8_t> record(next_, 0);
    for (size_t i = 0; i < fields_.size(); ++i) record[i] = 1;  // all null
    return record;
  }
  void Set(std::vector<uint8_t>& aRecord, int aField, const void* aValue, size_t aBytes) const {
    aRecord[size_t(aField)] = 0;
    std::memcpy(aRecord.data() + fields_[size_t(aField)].Offset, aValue, aBytes);
  }
  template <class T>
  void SetValue(std::vector<uint8_t>& aRecord, int aField, T aValue) const {
    Set(aRecord, aField, &aValue, sizeof aValue);
  }
  void SetNull(std::vector<uint8_t>& aRecord, int aField) const { aRecord[size_t(aField)] = 1; }

  int32_t GetFieldCount() const override { return int32_t(fields_.size()); }
  bool GetFieldForFilter(int32_t aField, const char*, const uint8_t* aData, uint16_t& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const override {
    ++Reads;
    if (aField < 0 || aField >= GetFieldCount()) return false;
    const Field& f = fields_[size_t(aField)];
    aType = f.Type;
    aSize = f.Size;
    aCodePage = f.CodePage;
    aIsNull = !aData || aData[aField] != 0;
    aValue = aData ? aData + f.Offset : nullptr;
    return true;
  }

  // Answers places when set, so that a filter reads the record itself.
  bool GetFieldPlace(int32_t aField, TnxFieldPlace& aPlace) const override {
    if (!Placed || aField < 0 || aField >= GetFieldCount()) return false;
    const Field& f = fields_[size_t(aField)];
    aPlace = {f.Type, f.Size, f.CodePage, f.Offset, uint32_t(aField), 0xFF};
    return true;
  }

  mutable int Reads = 0;
  bool Placed = false;

private:
  struct Field {
    uint16_t Type;
    uint16_t Size;
    uint32_t Offset;
    uint16_t CodePage;
  };
  std::vector<Field> fields_;
  uint32_t next_ = kMaxFields;
};

}  // namespace revurov::testing
