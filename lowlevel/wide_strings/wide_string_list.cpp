#include "lowlevel/wide_strings/wide_string_list.h"

#include <algorithm>

#include "lowlevel/strings/utils_locale.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

namespace {

[[noreturn]] void IndexError(int32_t aIndex) {
  throw platform::EStringListError(platform::Format(platform::SListIndexError, {aIndex}));
}
[[noreturn]] void SortedListError() { throw platform::EStringListError(platform::SSortedListError); }
[[noreturn]] void DuplicateError() { throw platform::EStringListError(platform::SDuplicateString); }

uint16_t CodePageOf(uint16_t aCodePage) {
  return aCodePage == nxWideStringsDefaultCodePage ? static_cast<uint16_t>(nxDefaultCodePage) : aCodePage;
}

bool IsLineBreak(char16_t c) {
  return c == 0 || (c >= 0x0A && c <= 0x0D) || c == 0x2028 || c == 0x2029;
}

constexpr char16_t kLineSeparator = 0x2028;

}  // namespace

// ---- TnxWideStrings ----

TnxWideStrings::TnxWideStrings(InxWideStringComparerRef aComparer, InxWideStringTransformerRef aTransformer)
    : wsComparer(aComparer ? std::move(aComparer) : InxWideStringComparerRef(nxCreate<TnxWideStringByteComparer>())),
      wsTransformer(aTransformer ? std::move(aTransformer)
                                 : InxWideStringTransformerRef(nxCreate<TnxWideStringNullTransformer>())) {}

void TnxWideStrings::CopyItems(const TnxWideStrings& aSource, TnxWideStrings& aDest) {
  if (&aSource == &aDest) return;  // clearing first would lose every item
  TUpdateFrame frame(aDest);
  aDest.Clear();
  aDest.AddStrings(aSource);
}

void TnxWideStrings::Assign(const TnxPersistent* aSource) {
  if (const auto* source = dynamic_cast<const TnxWideStrings*>(aSource))
    CopyItems(*source, *this);
  else
    TnxPersistent::Assign(aSource);
}

void TnxWideStrings::AssignTo(TnxPersistent* aDest) const {
  if (auto* dest = dynamic_cast<TnxWideStrings*>(aDest))
    CopyItems(*this, *dest);
  else
    TnxPersistent::AssignTo(aDest);
}

void TnxWideStrings::Assign(const platform::TStringList& aSource) {
  TUpdateFrame frame(*this);
  Clear();
  AddStrings(aSource, 0);
}

void TnxWideStrings::AssignTo(platform::TStringList& aDest) const {
  aDest.Clear();
  for (int32_t i = 0; i < GetCount(); ++i) aDest.AddObject(nxWideCharsToString(wsGetString(i)), wsGetObject(i));
}

void TnxWideStrings::SetUpdateState(bool) {}

void TnxWideStrings::SetCapacity(int32_t) {}

void* TnxWideStrings::wsGetObject(int32_t) const { return nullptr; }

TnxWideString TnxWideStrings::GetText() const { return GetSeparatedText(kLineSeparator); }

void TnxWideStrings::SetText(const TnxWideString& aValue) {
  TUpdateFrame frame(*this);
  Clear();
  size_t start = 0;
  for (size_t i = 0; i < aValue.size(); ++i) {
    if (!IsLineBreak(aValue[i])) continue;
    Add(aValue.substr(start, i - start));
    if (aValue[i] == 0x0D && i + 1 < aValue.size() && aValue[i + 1] == 0x0A) ++i;
    start = i + 1;
  }
  if (start < aValue.size()) Add(aValue.substr(start));
}

int8_t TnxWideStrings::CompareStrings(const TnxWideString& a, const TnxWideString& b) const {
  return wsComparer->Compare(a, b);
}

void TnxWideStrings::TransformString(const TnxWideString& aSource, TnxWideString& aResult) const {
  wsTransformer->Transform(aSource, aResult);
}

int32_t TnxWideStrings::Add(const TnxWideString& s) {
  const int32_t index = GetCount();
  Insert(index, s);
  return index;
}

int32_t TnxWideStrings::AddObject(const TnxWideString& s, void* aObject) {
  const int32_t index = Add(s);
  wsPutObject(index, aObject);
  return index;
}

void TnxWideStrings::InsertObject(int32_t aIndex, const TnxWideString& s, void* aObject) {
  Insert(aIndex, s);
  wsPutObject(aIndex, aObject);
}

int32_t TnxWideStrings::Add(std::string_view s, uint16_t aCodePage) {
  return Add(nxStringToWideString(s, CodePageOf(aCodePage)));
}

int32_t TnxWideStrings::AddObject(std::string_view s, uint16_t aCodePage, void* aObject) {
  return AddObject(nxStringToWideString(s, CodePageOf(aCodePage)), aObject);
}

void TnxWideStrings::Insert(int32_t aIndex, std::string_view s, uint16_t aCodePage) {
  Insert(aIndex, nxStringToWideString(s, CodePageOf(aCodePage)));
}

void TnxWideStrings::InsertObject(int32_t aIndex, std::string_view s, uint16_t aCodePage, void* aObject) {
  InsertObject(aIndex, nxStringToWideString(s, CodePageOf(aCodePage)), aObject);
}

void TnxWideStrings::AddStrings(const platform::TStringList& aStrings, uint16_t) {
  TUpdateFrame frame(*this);
  for (int i = 0; i < aStrings.Count(); ++i)
    AddObject(nxStringToWideChars(aStrings.Strings(i)), aStrings.Objects(i));
}

void TnxWideStrings::AddStrings(const TnxWideStrings& Strings) {
  TUpdateFrame frame(*this);
  // Counted first: adding a list to itself adds each item once.
  const int32_t count = Strings.GetCount();
  for (int32_t i = 0; i < count; ++i) AddObject(Strings.wsGetString(i), Strings.wsGetObject(i));
}

void TnxWideStrings::Exchange(int32_t aIndex1, int32_t aIndex2) {
  TUpdateFrame frame(*this);
  const TnxWideString s = wsGetString(aIndex1);
  void* o = wsGetObject(aIndex1);
  wsPutString(aIndex1, wsGetString(aIndex2));
  wsPutObject(aIndex1, wsGetObject(aIndex2));
  wsPutString(aIndex2, s);
  wsPutObject(aIndex2, o);
}

void TnxWideStrings::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  // Checked before the item is taken out, so a bad target loses nothing.
  if (aNewIndex < 0 || aNewIndex >= GetCount()) IndexError(aNewIndex);
  TUpdateFrame frame(*this);
  const TnxWideString s = wsGetString(aCurIndex);
  void* o = wsGetObject(aCurIndex);
  Delete(aCurIndex);
  InsertObject(aNewIndex, s, o);
}

TnxWideString TnxWideStrings::GetSeparatedText(const TnxWideString& Separators) const {
  TnxWideString result;
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) {
    if (i) result += Separators;
    result += wsGetString(i);
  }
  return result;
}

TnxWideString TnxWideStrings::GetSeparatedText(char16_t Separator) const {
  return GetSeparatedText(TnxWideString(1, Separator));
}

int32_t TnxWideStrings::IndexOf(const TnxWideString& s) const {
  TnxWideString key;
  TransformString(s, key);
  for (int32_t i = 0; i < GetCount(); ++i)
    if (CompareStrings(wsGetString(i), key) == 0) return i;
  return -1;
}

int32_t TnxWideStrings::IndexOfName(const TnxWideString& aName) const {
  TnxWideString key;
  TransformString(aName, key);
  for (int32_t i = 0; i < GetCount(); ++i) {
    const TnxWideString item = wsGetString(i);
    const size_t eq = item.find(u'=');
    if (eq != TnxWideString::npos && CompareStrings(item.substr(0, eq), key) == 0) return i;
  }
  return -1;
}

int32_t TnxWideStrings::IndexOfObject(const void* aObject) const {
  for (int32_t i = 0; i < GetCount(); ++i)
    if (wsGetObject(i) == aObject) return i;
  return -1;
}

TnxWideString TnxWideStrings::wsGetName(int32_t aIndex) const {
  const TnxWideString item = wsGetString(aIndex);
  const size_t eq = item.find(u'=');
  return eq == TnxWideString::npos ? TnxWideString() : item.substr(0, eq);
}

TnxWideString TnxWideStrings::wsGetValue(const TnxWideString& aName) const {
  const int32_t i = IndexOfName(aName);
  if (i < 0) return {};
  // After the first "=": the stored name may be the transformed one, whose
  // length can differ from aName's.
  const TnxWideString item = wsGetString(i);
  return item.substr(item.find(u'=') + 1);
}

void TnxWideStrings::wsSetValue(const TnxWideString& aName, const TnxWideString& aValue) {
  const int32_t i = IndexOfName(aName);
  if (!aValue.empty()) {
    const TnxWideString line = aName + u"=" + aValue;
    if (i < 0) {
      Add(line);
    } else {
      wsPutString(i, line);
    }
  } else if (i >= 0) {
    Delete(i);
  }
}

void TnxWideStrings::BeginUpdate() {
  if (wsUpdateCount == 0) SetUpdateState(true);
  ++wsUpdateCount;
}

void TnxWideStrings::EndUpdate() {
  if (wsUpdateCount <= 0) return;  // an unmatched EndUpdate changes nothing
  if (--wsUpdateCount == 0) SetUpdateState(false);
}

bool TnxWideStrings::Equals(const TnxWideStrings& Strings) const {
  const int32_t count = GetCount();
  if (count != Strings.GetCount()) return false;
  for (int32_t i = 0; i < count; ++i)
    if (CompareStrings(wsGetString(i), Strings.wsGetString(i)) != 0) return false;
  return true;
}

void TnxWideStrings::LoadFromFile(const std::u16string& aFileName, bool aForceUnicode, uint16_t aCodePage) {
  platform::TFileStream stream(aFileName, platform::TFileStream::Mode::fmOpenRead);
  LoadFromStream(stream, aForceUnicode, aCodePage);
}

void TnxWideStrings::LoadFromStream(platform::TStream& aStream, bool aForceUnicode, uint16_t aCodePage) {
  TUpdateFrame frame(*this);
  const int64_t size = aStream.GetSize() - aStream.Position();
  std::string bytes(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));

  auto utf16 = [&bytes](size_t from, bool swapped) {
    TnxWideString text((bytes.size() - from) / 2, u'\0');  // a last odd byte is dropped
    for (size_t i = 0; i < text.size(); ++i) {
      const auto lo = static_cast<uint8_t>(bytes[from + 2 * i]), hi = static_cast<uint8_t>(bytes[from + 2 * i + 1]);
      text[i] = swapped ? static_cast<char16_t>((lo << 8) | hi) : static_cast<char16_t>((hi << 8) | lo);
    }
    return text;
  };
  TnxWideString text;
  const bool le_bom = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  const bool be_bom = bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF';
  if (le_bom || be_bom) {
    text = utf16(2, be_bom);
  } else if (aForceUnicode) {
    text = utf16(0, false);
  } else {
    text = nxStringToWideString(bytes, CodePageOf(aCodePage));
  }
  SetText(text);
}

void TnxWideStrings::SaveToFile(const std::u16string& aFileName, bool aUnicode, bool aWithBOM,
                                uint16_t aCodePage) const {
  platform::TFileStream stream(aFileName, platform::TFileStream::Mode::fmCreate);
  SaveToStream(stream, aUnicode, aWithBOM, aCodePage);
}

void TnxWideStrings::SaveToStream(platform::TStream& aStream, bool aUnicode, bool aWithBOM,
                                  uint16_t aCodePage) const {
  const TnxWideString text = GetText();
  if (aUnicode) {
    std::string bytes;
    bytes.reserve(text.size() * 2 + 2);
    if (aWithBOM) bytes += "\xFF\xFE";
    for (char16_t c : text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    aStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  } else {
    const std::string bytes = nxWideStringToString(text, CodePageOf(aCodePage));
    aStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
}

// ---- TnxWideStringList ----

TnxWideStringList::~TnxWideStringList() {
  wslOnChange = nullptr;
  wslOnChanging = nullptr;
  Clear();
}

void TnxWideStringList::CheckIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= wslCount) IndexError(aIndex);
}

void TnxWideStringList::Changed() {
  if (UpdateCount() == 0 && wslOnChange) wslOnChange(*this);
}

void TnxWideStringList::Changing() {
  if (UpdateCount() == 0 && wslOnChanging) wslOnChanging(*this);
}

void TnxWideStringList::SetUpdateState(bool aUpdating) {
  if (aUpdating) {
    Changing();
  } else {
    Changed();
  }
}

void TnxWideStringList::SetCapacity(int32_t aValue) {
  if (aValue < 0) throw platform::EStringListError(platform::Format(platform::SListCapacityError, {aValue}));
  wslList.resize(static_cast<size_t>(aValue));
  if (wslCount > aValue) wslCount = aValue;
}

TnxWideString TnxWideStringList::wsGetString(int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[static_cast<size_t>(aIndex)].wsiString;
}

void TnxWideStringList::wsPutString(int32_t aIndex, const TnxWideString& s) {
  if (wslSorted) SortedListError();
  CheckIndex(aIndex);
  TnxWideString stored;
  TransformString(s, stored);
  Changing();
  wslList[static_cast<size_t>(aIndex)].wsiString = std::move(stored);
  Changed();
}

void* TnxWideStringList::wsGetObject(int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[static_cast<size_t>(aIndex)].wsiObject;
}

void TnxWideStringList::wsPutObject(int32_t aIndex, void* aObject) {
  CheckIndex(aIndex);
  Changing();
  wslList[static_cast<size_t>(aIndex)].wsiObject = aObject;
  Changed();
}

void TnxWideStringList::Clear() {
  if (wslCount == 0) return;
  Changing();
  wslCount = 0;
  std::vector<TnxWideStringItem>().swap(wslList);
  Changed();
}

int32_t TnxWideStringList::Add(const TnxWideString& s) {
  if (!wslSorted) {
    const int32_t index = wslCount;
    InsertItem(index, s);
    return index;
  }
  int32_t index = 0;
  if (Find(s, index)) {
    switch (wslDuplicates) {
      case platform::TDuplicates::dupIgnore: return index;
      case platform::TDuplicates::dupError: DuplicateError();
      case platform::TDuplicates::dupAccept: break;
    }
  }
  InsertItem(index, s);
  return index;
}

void TnxWideStringList::Insert(int32_t aIndex, const TnxWideString& s) {
  if (wslSorted) SortedListError();
  if (aIndex < 0 || aIndex > wslCount) IndexError(aIndex);
  InsertItem(aIndex, s);
}

void TnxWideStringList::Grow() {
  const size_t capacity = wslList.size();
  const size_t delta = capacity > 64 ? capacity / 4 : (capacity > 8 ? 16 : 4);
  wslList.resize(capacity + delta);
}

void TnxWideStringList::InsertItem(int32_t aIndex, const TnxWideString& s) {
  TnxWideString stored;
  TransformString(s, stored);
  Changing();
  if (static_cast<size_t>(wslCount) == wslList.size()) Grow();
  const auto at = wslList.begin() + aIndex;
  std::move_backward(at, wslList.begin() + wslCount, wslList.begin() + wslCount + 1);
  at->wsiString = std::move(stored);
  at->wsiObject = nullptr;
  ++wslCount;
  Changed();
}

void TnxWideStringList::Delete(int32_t aIndex) {
  CheckIndex(aIndex);
  Changing();
  const auto at = wslList.begin() + aIndex;
  std::move(at + 1, wslList.begin() + wslCount, at);
  --wslCount;
  wslList[static_cast<size_t>(wslCount)] = TnxWideStringItem{};
  Changed();
}

void TnxWideStringList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  Changing();
  ExchangeItems(aIndex1, aIndex2);
  Changed();
}

void TnxWideStringList::ExchangeItems(int32_t aIndex1, int32_t aIndex2) {
  std::swap(wslList[static_cast<size_t>(aIndex1)], wslList[static_cast<size_t>(aIndex2)]);
}

int32_t TnxWideStringList::IndexOf(const TnxWideString& s) const {
  if (!wslSorted) return TnxWideStrings::IndexOf(s);
  int32_t index = 0;
  return Find(s, index) ? index : -1;
}

bool TnxWideStringList::Find(const TnxWideString& s, int32_t& aIndex) const {
  TnxWideString key;
  TransformString(s, key);
  int32_t low = 0, high = wslCount - 1;
  while (low <= high) {
    const int32_t mid = low + (high - low) / 2;
    const int8_t c = CompareStrings(wslList[static_cast<size_t>(mid)].wsiString, key);
    if (c < 0) {
      low = mid + 1;
    } else if (c > 0) {
      high = mid - 1;
    } else {
      aIndex = mid;
      return true;
    }
  }
  aIndex = low;
  return false;
}

void TnxWideStringList::QuickSort(int32_t L, int32_t R) {
  int32_t I;
  do {
    I = L;
    int32_t J = R;
    int32_t P = L + (R - L) / 2;
    do {
      while (CompareStrings(wslList[static_cast<size_t>(I)].wsiString, wslList[static_cast<size_t>(P)].wsiString) < 0)
        ++I;
      while (CompareStrings(wslList[static_cast<size_t>(J)].wsiString, wslList[static_cast<size_t>(P)].wsiString) > 0)
        --J;
      if (I <= J) {
        // The pivot is followed by its index, not copied.
        ExchangeItems(I, J);
        if (P == I) {
          P = J;
        } else if (P == J) {
          P = I;
        }
        ++I;
        --J;
      }
    } while (I <= J);
    if (L < J) QuickSort(L, J);
    L = I;
  } while (I < R);
}

void TnxWideStringList::Sort() {
  if (wslSorted || wslCount < 2) return;
  Changing();
  QuickSort(0, wslCount - 1);
  Changed();
}

void TnxWideStringList::SetSorted(bool aValue) {
  if (aValue == wslSorted) return;
  if (aValue) Sort();
  wslSorted = aValue;
}

}  // namespace revurov
