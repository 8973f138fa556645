#include "server/key_fields_source.h"

#include "dictionary/key_engine.h"
#include "index/index_engines.h"
#include "platform/variant.h"
#include "server/server_table_cursor.h"

namespace revurov {

const TnxBaseKeyEngine* TnxKeyFieldsSource::KeyEngine() const noexcept {
  TnxBaseIndexEngine* index = kfsOwner.IndexEngine();
  return index ? &index->KeyEngine() : nullptr;
}

int32_t TnxKeyFieldsSource::GetFieldCount() const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys ? keys->GetFieldCount() : 0;
}

bool TnxKeyFieldsSource::GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType,
                                           uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                           uint16_t& aCodePage) const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys && keys->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

platform::TnxVariant TnxKeyFieldsSource::GetFieldAsVariant(const uint8_t* aKey, int32_t aField) const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys ? keys->KeyAsVariant(aKey, aField) : platform::TnxVariant();
}

int32_t TnxKeyFieldsSource::GetFieldFromName(std::u16string_view aName) const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys ? keys->GetKeyFieldIndex(aName) : -1;
}

InxFieldDescriptor* TnxKeyFieldsSource::GetFieldDescriptor(int32_t aField) const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys ? keys->GetKeyFieldEngine(aField) : nullptr;
}

int32_t TnxKeyFieldsSource::GetFieldsOffset() const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  return keys ? keys->GetFieldsOffset() : 0;
}

}  // namespace revurov
