// Records for the sort engine tests: a layout with one field of every type
// a composite key can hold plus a "Seq" field telling records apart, small
// random values (so keys repeat) with some nulls, and the checks every sort
// run ends with: key order by an independent key engine and the output
// equal to the input as a multiset of byte strings.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/engines/sort_engine.h"

namespace revurov::testing {

// The field types a composite key takes.
inline const std::vector<TnxFieldType>& SortKeyTypes() {
  static const std::vector<TnxFieldType> types = {
      nxtBoolean, nxtChar,     nxtWideChar,    nxtByte,       nxtWord16,     nxtWord32,   nxtInt8,
      nxtInt16,   nxtInt32,    nxtInt64,       nxtAutoInc,    nxtSingle,     nxtDouble,   nxtExtended,
      nxtCurrency, nxtDate,    nxtTime,        nxtDateTime,   nxtByteArray, nxtShortString,
      nxtNullString, nxtWideString, nxtRecRev, nxtGuid};
  return types;
}

inline std::u16string SortFieldName(TnxFieldType aType) { return u"F" + std::u16string(nxFieldTypeNames[aType]); }

// "Seq" (Int32) first, then one field per key type.
inline std::unique_ptr<TnxDataDictionary> SortDictionary() {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"Seq", u"", nxtInt32, 0, 0, false);
  for (TnxFieldType type : SortKeyTypes()) {
    const int32_t units = type == nxtByteArray ? 6 : (type == nxtShortString || type == nxtNullString ||
                                                       type == nxtWideString)
                                                          ? 8
                                                          : 0;
    dict->FieldsDescriptor().AddField(SortFieldName(type), u"", type, units, 0, false);
  }
  return dict;
}

struct TSortKeyField {
  TnxFieldType Type;
  bool Descending = false;
};

// An index over the fields in order, added to aDict.
inline TnxIndexDescriptor* AddSortIndex(TnxDataDictionary& aDict, std::u16string_view aName,
                                        const std::vector<TSortKeyField>& aFields) {
  TnxIndexDescriptor* index =
      aDict.EnsureIndicesDescriptor()->AddIndex(aName, 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
  for (const TSortKeyField& field : aFields) {
    TnxKeyFieldDescriptor* kf = key->Add(SortFieldName(field.Type));
    if (field.Descending) kf->SetAscend(false);
  }
  return index;
}

// One value below aRange (as small numbers) in the field's own form.
inline void PutSortValue(TnxFieldType aType, int32_t aLength, int aValue, uint8_t* aField) {
  std::memset(aField, 0, static_cast<size_t>(aLength));
  const int64_t signedValue = aValue - 8;
  auto put = [&](const auto& aValue) { std::memcpy(aField, &aValue, sizeof(aValue)); };
  switch (aType) {
    case nxtBoolean: aField[0] = aValue % 2 ? 255 : 0; break;
    case nxtChar: aField[0] = static_cast<uint8_t>('a' + aValue); break;
    case nxtWideChar: put(static_cast<char16_t>(u'a' + aValue)); break;
    case nxtByte: aField[0] = static_cast<uint8_t>(aValue * 13); break;
    case nxtWord16: put(static_cast<uint16_t>(aValue * 4099)); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: put(static_cast<uint32_t>(aValue) * 268435459u); break;
    case nxtInt8: put(static_cast<int8_t>(signedValue)); break;
    case nxtInt16: put(static_cast<int16_t>(signedValue * 1000)); break;
    case nxtInt32: put(static_cast<int32_t>(signedValue * 100000)); break;
    case nxtInt64: put(signedValue * (int64_t{1} << 40)); break;
    case nxtSingle: put(static_cast<float>(signedValue) * 0.5f); break;
    case nxtDouble: case nxtDateTime: put(static_cast<double>(signedValue) * 1.25); break;
    case nxtExtended: {
      const long double value = static_cast<long double>(signedValue) * 0.75L;
      std::memcpy(aField, &value, 10);
      break;
    }
    case nxtCurrency: put(signedValue * 10000); break;
    case nxtDate: put(static_cast<int32_t>(730000 + aValue)); break;
    case nxtTime: put(static_cast<int32_t>(aValue % 24 * 3600000)); break;
    case nxtByteArray:
      for (int32_t i = 0; i < aLength; ++i) aField[i] = static_cast<uint8_t>(aValue * (i + 1));
      break;
    case nxtShortString: {
      const int n = aValue % 4;
      aField[0] = static_cast<uint8_t>(n);
      for (int i = 0; i < n; ++i) aField[1 + i] = static_cast<uint8_t>('a' + (aValue / 4 + i) % 26);
      break;
    }
    case nxtNullString: {
      const int n = aValue % 4;
      for (int i = 0; i < n; ++i) aField[i] = static_cast<uint8_t>('a' + (aValue / 4 + i) % 26);
      break;
    }
    case nxtWideString: {
      const int n = aValue % 4;
      for (int i = 0; i < n; ++i) {
        const char16_t c = static_cast<char16_t>(u'a' + (aValue / 4 + i) % 26);
        std::memcpy(aField + 2 * i, &c, 2);
      }
      break;
    }
    case nxtGuid:
      for (int i = 0; i < 16; ++i) aField[i] = static_cast<uint8_t>(aValue * 17 + i);
      break;
    default: break;
  }
}

// aCount records, values below aRange, about one null in ten; "Seq" is the
// record's number.
inline std::vector<std::string> SortRecords(const TnxDataDictionary& aDict, size_t aCount, int aRange,
                                            uint32_t aSeed) {
  const TnxFieldsDescriptor& fields = aDict.FieldsDescriptor();
  const auto length = static_cast<size_t>(fields.RecordLength());
  std::mt19937 rng(aSeed);
  std::vector<std::string> records;
  records.reserve(aCount);
  std::vector<uint8_t> record(length);
  std::vector<uint8_t> value(256);
  for (size_t n = 0; n < aCount; ++n) {
    std::fill(record.begin(), record.end(), 0);
    fields.InitRecord(record.data());
    const auto seq = static_cast<int32_t>(n);
    fields.SetRecordField(0, record.data(), &seq);
    for (int32_t f = 1; f < fields.FieldCount(); ++f) {
      const TnxFieldDescriptor& field = *fields.FieldDescriptor(f);
      if (rng() % 10 == 0) {
        fields.SetRecordFieldNull(f, record.data(), true);
        continue;
      }
      value.assign(static_cast<size_t>(field.Length()), 0);
      PutSortValue(field.FieldType(), field.Length(), static_cast<int>(rng() % static_cast<uint32_t>(aRange)),
                   value.data());
      fields.SetRecordField(f, record.data(), value.data());
    }
    records.emplace_back(reinterpret_cast<const char*>(record.data()), length);
  }
  return records;
}

inline const uint8_t* SortBytes(const std::string& aRecord) {
  return reinterpret_cast<const uint8_t*>(aRecord.data());
}

inline void PutSortRecords(TnxBaseSortEngine& aEngine, const std::vector<std::string>& aRecords) {
  for (const std::string& record : aRecords) ASSERT_EQ(aEngine.Put(SortBytes(record)), 0u);
}

// Every record Get hands out until the end of the table.
inline std::vector<std::string> GetSortRecords(TnxBaseSortEngine& aEngine) {
  std::vector<std::string> out;
  std::string record(aEngine.RecLen(), '\0');
  for (;;) {
    const uint32_t result = aEngine.Get(reinterpret_cast<uint8_t*>(record.data()));
    if (result == nxeAtEndOfTable) break;
    if (result != 0) {
      uint32_t code = 0;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      ADD_FAILURE() << "Get answered " << result << ": " << platform::Utf16ToUtf8(message);
      break;
    }
    out.push_back(record);
  }
  return out;
}

// Key order by aKeyEngine and the same multiset of records.
inline void ExpectSorted(const TnxBaseKeyEngine& aKeyEngine, std::vector<std::string> aInput,
                         std::vector<std::string> aOutput) {
  ASSERT_EQ(aOutput.size(), aInput.size());
  for (size_t i = 1; i < aOutput.size(); ++i)
    ASSERT_LE(aKeyEngine.CompareRecord(SortBytes(aOutput[i - 1]), SortBytes(aOutput[i])), 0) << "at " << i;
  std::sort(aInput.begin(), aInput.end());
  std::sort(aOutput.begin(), aOutput.end());
  EXPECT_TRUE(aInput == aOutput);
}

}  // namespace revurov::testing
