#include "platform/string_list.h"

#include <algorithm>
#include <cerrno>

#include "platform/file_io.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {
// Texts up to this many code units live inside the string itself.
constexpr size_t kShortText = 15 / sizeof(char16_t);
}  // namespace

std::vector<std::u16string> SplitLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  const size_t n = text.size();
  while (start < n) {
    size_t end = start;
    while (end < n && text[end] != u'\r' && text[end] != u'\n') ++end;
    lines.emplace_back(text.substr(start, end - start));
    if (end < n) end += (text[end] == u'\r' && end + 1 < n && text[end + 1] == u'\n') ? 2 : 1;
    start = end;
  }
  return lines;
}

void TStringList::Changed() {
  if (update_count_ == 0 && OnChange) OnChange(*this);
}

void TStringList::EndUpdate() {
  if (update_count_ > 0 && --update_count_ == 0) Changed();
}

void TStringList::DropLines(size_t from) {
  // Only texts on the heap are worth keeping, and a bounded amount of them.
  constexpr size_t kLongestSpare = 256;
  constexpr size_t kSpareBytes = size_t{1} << 20;
  for (size_t i = from; i < items_.size(); ++i) {
    std::u16string& text = items_[i].text;
    const size_t capacity = text.capacity();
    if (capacity <= kShortText || capacity > kLongestSpare) continue;
    if (spares_.bytes + capacity * sizeof(char16_t) > kSpareBytes) break;
    spares_.bytes += capacity * sizeof(char16_t);
    spares_.texts.push_back(std::move(text));
  }
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from), items_.end());
}

void TStringList::Clear() {
  if (items_.empty()) return;
  DropLines(0);
  Changed();
}

void TStringList::Truncate(int count) {
  if (count >= Count()) return;
  if (count < 0) throw EStringListError(Format(SListIndexError, {count}));
  DropLines(static_cast<size_t>(count));
  Changed();
}

int TStringList::AddText(std::u16string_view text) {
  if (spares_.texts.empty() || text.size() <= kShortText) {
    if (sorted_) return AddObject(std::u16string(text), nullptr);
    // Made before the list grows: text may be one of its own lines.
    items_.push_back(Item{std::u16string(text), nullptr});
  } else {
    std::u16string line = std::move(spares_.texts.back());
    spares_.texts.pop_back();
    spares_.bytes -= line.capacity() * sizeof(char16_t);
    line.assign(text);
    if (sorted_) return AddObject(std::move(line), nullptr);
    items_.push_back(Item{std::move(line), nullptr});
  }
  Changed();
  return Count() - 1;
}

std::u16string& TStringList::AddLine(size_t length) {
  CheckNotSorted();
  std::u16string line;
  if (!spares_.texts.empty() && length > kShortText) {
    line = std::move(spares_.texts.back());
    spares_.texts.pop_back();
    spares_.bytes -= line.capacity() * sizeof(char16_t);
  }
  line.resize(length);
  items_.push_back(Item{std::move(line), nullptr});
  Changed();
  return items_.back().text;
}

std::u16string& TStringList::RefillLine(int index, size_t length) {
  if (index == Count()) return AddLine(length);
  CheckNotSorted();
  CheckIndex(index);
  Item& item = items_[static_cast<size_t>(index)];
  item.text.resize(length);
  item.object = nullptr;
  Changed();
  return item.text;
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError(Format(SListIndexError, {index}));
}

void TStringList::CheckNotSorted() const {
  if (sorted_) throw EStringListError(SSortedListError);
}

const std::u16string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].text;
}

void TStringList::SetStrings(int index, std::u16string text) {
  CheckNotSorted();
  CheckIndex(index);
  items_[static_cast<size_t>(index)].text = std::move(text);
  Changed();
}

void* TStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringList::SetObjects(int index, void* object) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)].object = object;
}

int TStringList::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  return case_sensitive_ ? AnsiCompareStr(a, b) : AnsiCompareText(a, b);
}

int TStringList::AddObject(std::u16string text, void* object) {
  int index = Count();
  if (sorted_) {
    if (Find(text, index)) {
      if (duplicates_ == TDuplicates::dupIgnore) return index;
      if (duplicates_ == TDuplicates::dupError) throw EStringListError(SDuplicateString);
    }
  }
  items_.insert(items_.begin() + index, Item{std::move(text), object});
  Changed();
  return index;
}

void TStringList::AddStrings(const TStringList& other) {
  BeginUpdate();
  try {
    for (const Item& it : other.items_) AddObject(it.text, it.object);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStringList::InsertObject(int index, std::u16string text, void* object) {
  CheckNotSorted();
  if (index < 0 || index > Count()) throw EStringListError(Format(SListIndexError, {index}));
  items_.insert(items_.begin() + index, Item{std::move(text), object});
  Changed();
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Move(int cur_index, int new_index) {
  if (cur_index == new_index) return;
  CheckNotSorted();
  CheckIndex(cur_index);
  CheckIndex(new_index);
  Item item = std::move(items_[static_cast<size_t>(cur_index)]);
  items_.erase(items_.begin() + cur_index);
  items_.insert(items_.begin() + new_index, std::move(item));
  Changed();
}

void TStringList::Exchange(int a, int b) {
  CheckNotSorted();
  CheckIndex(a);
  CheckIndex(b);
  std::swap(items_[static_cast<size_t>(a)], items_[static_cast<size_t>(b)]);
  Changed();
}

int TStringList::IndexOf(std::u16string_view text) const {
  if (sorted_) {
    int index = 0;
    return Find(text, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (CompareStrings(items_[static_cast<size_t>(i)].text, text) == 0) return i;
  }
  return -1;
}

int TStringList::IndexOfObject(const void* object) const noexcept {
  for (int i = 0; i < Count(); ++i) {
    if (items_[static_cast<size_t>(i)].object == object) return i;
  }
  return -1;
}

bool TStringList::Find(std::u16string_view text, int& index) const {
  int lo = 0;
  int hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = CompareStrings(items_[static_cast<size_t>(mid)].text, text);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // With duplicates accepted the first equal item is reported.
        if (duplicates_ != TDuplicates::dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const Item& a, const Item& b) { return CompareStrings(a.text, b.text) < 0; });
  Changed();
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) Sort();
  sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool cs) {
  if (cs == case_sensitive_) return;
  case_sensitive_ = cs;
  if (sorted_) Sort();
}

std::u16string TStringList::Names(int index) const {
  const std::u16string& s = Strings(index);
  const size_t eq = s.find(u'=');
  return eq == std::u16string::npos ? std::u16string() : s.substr(0, eq);
}

std::u16string TStringList::ValueFromIndex(int index) const {
  const std::u16string& s = Strings(index);
  const size_t eq = s.find(u'=');
  return eq == std::u16string::npos ? std::u16string() : s.substr(eq + 1);
}

int TStringList::IndexOfName(std::u16string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::u16string& s = items_[static_cast<size_t>(i)].text;
    const size_t eq = s.find(u'=');
    if (eq != std::u16string::npos && CompareStrings(std::u16string_view(s).substr(0, eq), name) == 0) return i;
  }
  return -1;
}

std::u16string TStringList::Values(std::u16string_view name) const {
  const int i = IndexOfName(name);
  return i < 0 ? std::u16string() : ValueFromIndex(i);
}

void TStringList::SetValues(std::u16string_view name, std::u16string_view value) {
  const int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::u16string line = std::u16string(name) + u"=" + std::u16string(value);
  if (i >= 0) {
    items_[static_cast<size_t>(i)].text = std::move(line);
    Changed();
  } else {
    Add(std::move(line));
  }
}

std::u16string TStringList::Text() const {
  std::u16string out;
  for (const Item& it : items_) {
    out += it.text;
    out += u"\r\n";
  }
  return out;
}

void TStringList::SetText(std::u16string_view text) {
  BeginUpdate();
  try {
    Clear();
    for (std::u16string& line : SplitLines(text)) Add(std::move(line));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStringList::LoadFromFile(const std::string& path, std::optional<TTextEncoding> forced, TFileOps& ops) {
  std::optional<TDecodedText> decoded = ReadTextFile(path, forced, ops);
  if (!decoded) throw EFOpenError(Format(SFOpenErrorEx, {path, SysErrorMessage(ENOENT)}));
  SetText(decoded->Text);
  encoding_ = decoded->Encoding;
}

void TStringList::SaveToFile(const std::string& path, TTextEncoding encoding, bool with_bom, TFileOps& ops) const {
  WriteTextFile(path, Text(), encoding, with_bom, ops);
}

}  // namespace revurov::platform
