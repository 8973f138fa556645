// The runtime's string list: texts with an attached object reference,
// optionally kept sorted, with line-based text and file I/O.
//
// Contract:
// - Indices are 0-based; an index outside the list raises EStringListError
//   with SListIndexError.
// - Objects are not owned: the list never frees them.
// - Names compare locale-aware without case (`AnsiCompareText`) unless
//   `CaseSensitive` is set (`AnsiCompareStr`).
// - When `Sorted`, Add/AddObject insert at the sorted place and apply
//   `Duplicates` (ignore, accept, or raise SDuplicateString);
//   Insert/Move/Exchange/SetStrings on a sorted list raise SSortedListError.
// - `Text` joins every line followed by CR LF; `SetText` splits at CR LF, CR
//   or LF, and a final line break does not make an empty last line.
// - `CompareStrings` decides every ordering and match (Find, IndexOf,
//   IndexOfName, Sort); a subclass may replace it.
// - Update bracket: `OnChange` is called after each change while no
//   BeginUpdate is open, and once when the last EndUpdate closes the
//   bracket (whether or not anything changed, as the runtime does).
// - `LoadFromFile` detects the encoding (platform/text_file.h) and remembers
//   it in `Encoding`; `SaveToFile` replaces the file atomically.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_ops.h"
#include "platform/rtl_exception.h"
#include "platform/text_file.h"

namespace revurov::platform {

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList {
public:
  TStringList() = default;
  TStringList(const TStringList&) = default;
  TStringList& operator=(const TStringList&) = default;
  virtual ~TStringList() = default;

  int Count() const noexcept { return static_cast<int>(items_.size()); }
  const std::u16string& Strings(int index) const;
  const std::u16string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, std::u16string text);
  void* Objects(int index) const;
  void SetObjects(int index, void* object);

  int Add(std::u16string text) { return AddObject(std::move(text), nullptr); }
  // As Add, into the memory of a line an earlier Clear let go where there
  // is one: a list emptied and filled again allocates nothing per line.
  int AddText(std::u16string_view text);
  int AddObject(std::u16string text, void* object);
  // Appends a line of length units (no object) to an unsorted list and
  // returns its text for the caller to fill, in memory as AddText would
  // take it. Raises SSortedListError on a sorted list.
  std::u16string& AddLine(size_t length);
  // Refills an unsorted list in place, line by line from the first: line
  // index (at most Count; Count appends as AddLine) becomes a line of
  // length units with no object, in its own memory, and its text is
  // returned to be filled. Raises SSortedListError on a sorted list.
  std::u16string& RefillLine(int index, size_t length);
  // Drops the lines from count on; their memory stays for AddText as a
  // cleared line's does.
  void Truncate(int count);
  void AddStrings(const TStringList& other);
  void Insert(int index, std::u16string text) { InsertObject(index, std::move(text), nullptr); }
  void InsertObject(int index, std::u16string text, void* object);
  void Delete(int index);
  void Clear();
  void Move(int cur_index, int new_index);
  void Exchange(int a, int b);

  int IndexOf(std::u16string_view text) const;
  int IndexOfObject(const void* object) const noexcept;
  // Binary search of a sorted list: true when found; index is where the
  // text is or would be inserted.
  bool Find(std::u16string_view text, int& index) const;
  void Sort();

  bool Sorted() const noexcept { return sorted_; }
  void SetSorted(bool sorted);
  TDuplicates Duplicates() const noexcept { return duplicates_; }
  void SetDuplicates(TDuplicates d) noexcept { duplicates_ = d; }
  bool CaseSensitive() const noexcept { return case_sensitive_; }
  void SetCaseSensitive(bool cs);

  // name=value lines.
  std::u16string Names(int index) const;
  std::u16string ValueFromIndex(int index) const;
  int IndexOfName(std::u16string_view name) const;
  std::u16string Values(std::u16string_view name) const;
  // An empty value deletes the line, as the runtime does.
  void SetValues(std::u16string_view name, std::u16string_view value);

  std::u16string Text() const;
  void SetText(std::u16string_view text);

  void LoadFromFile(const std::string& path, std::optional<TTextEncoding> forced = std::nullopt,
                    TFileOps& ops = FileOps());
  void SaveToFile(const std::string& path, TTextEncoding encoding, bool with_bom, TFileOps& ops = FileOps()) const;
  // Encoding found by the last LoadFromFile (ANSI before any load).
  TTextEncoding Encoding() const noexcept { return encoding_; }

  // Negative, 0 or positive.
  virtual int CompareStrings(std::u16string_view a, std::u16string_view b) const;

  void BeginUpdate() noexcept { ++update_count_; }
  void EndUpdate();
  int UpdateCount() const noexcept { return update_count_; }
  // Called with the list after a change (see the update bracket above).
  std::function<void(TStringList&)> OnChange;

protected:
  void Changed();

private:
  struct Item {
    std::u16string text;
    void* object = nullptr;
  };
  void CheckIndex(int index) const;
  void CheckNotSorted() const;
  // Keeps the heap texts of lines [from, end) for AddText, then drops them.
  void DropLines(size_t from);

  std::vector<Item> items_;
  // Heap texts of cleared lines, for AddText; a copy of the list starts
  // without them.
  struct Spares {
    Spares() = default;
    Spares(const Spares&) noexcept {}
    Spares& operator=(const Spares&) noexcept { return *this; }
    std::vector<std::u16string> texts;
    size_t bytes = 0;
  };
  Spares spares_;
  bool sorted_ = false;
  TDuplicates duplicates_ = TDuplicates::dupIgnore;
  bool case_sensitive_ = false;
  int update_count_ = 0;
  TTextEncoding encoding_ = TTextEncoding::Ansi;
};

// Splits text into lines as TStringList::SetText does.
std::vector<std::u16string> SplitLines(std::u16string_view text);

}  // namespace revurov::platform
