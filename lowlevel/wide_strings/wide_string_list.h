// Lists of wide strings whose ordering and matching are pluggable: items are
// compared through a comparer and stored (and searched) after passing
// through a transformer (lowlevel/wide_string_transform.h).
//
// Contract:
// - Indices are 0-based. Errors are the platform's EStringListError with its
//   messages: SListIndexError (the index), SSortedListError, SDuplicateString.
// - A list owns its strings, never their objects.
// - Overloads taking 8-bit text take a code page, 0xFFFF meaning the default
//   code page, and convert with nxStringToWideString.
// - Text: GetText joins the items with U+2028; SetText splits at U+0000,
//   U+000A to U+000D, U+2028 and U+2029 (CR LF is one break); the text after
//   the last break is an item only when not empty.
// - Streams: LoadFromStream reads the rest of the stream: FF FE starts
//   UTF-16 LE, FE FF UTF-16 BE; otherwise UTF-16 LE when forced, else 8-bit
//   text in the code page; a last odd byte of UTF-16 is dropped.
// - A list is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/objects/persistent.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "lowlevel/wide_strings/wide_string_transform.h"
#include "platform/stream.h"
#include "platform/string_list.h"

namespace revurov {

inline constexpr uint16_t nxWideStringsDefaultCodePage = 0xFFFF;  // "use the default code page"

// (The streamed "WideStrings" property of form streaming is not defined:
// there is no component streaming here.)
class TnxWideStrings : public TnxPersistent {
  REVUROV_PERSISTENT_CLASS(TnxWideStrings)
  // Null comparer: a byte comparer; null transformer: the null transformer.
  TnxWideStrings(InxWideStringComparerRef aComparer = nullptr, InxWideStringTransformerRef aTransformer = nullptr);
  ~TnxWideStrings() override = default;

  // From or to another list or a platform string list: clear the target and
  // add all items with their objects (to a platform list converted with
  // nxWideCharsToString). Other persistent sources and targets go to the
  // base, which raises the assign error unless the other side knows lists.
  void Assign(const TnxPersistent* aSource) override;
  void AssignTo(TnxPersistent* aDest) const override;
  virtual void Assign(const platform::TStringList& aSource);
  virtual void AssignTo(platform::TStringList& aDest) const;
  void Assign(const TnxWideStrings& aSource) { Assign(static_cast<const TnxPersistent*>(&aSource)); }
  void AssignTo(TnxWideStrings& aDest) const { AssignTo(static_cast<TnxPersistent*>(&aDest)); }

  virtual void SetUpdateState(bool aUpdating);
  virtual int32_t GetCapacity() const { return GetCount(); }
  virtual void SetCapacity(int32_t aValue);
  virtual int32_t GetCount() const = 0;
  virtual TnxWideString wsGetString(int32_t aIndex) const = 0;
  virtual void wsPutString(int32_t aIndex, const TnxWideString& s) = 0;
  virtual void* wsGetObject(int32_t aIndex) const;
  virtual void wsPutObject(int32_t aIndex, void* aObject) = 0;
  virtual TnxWideString GetText() const;
  virtual void SetText(const TnxWideString& aValue);
  virtual int8_t CompareStrings(const TnxWideString& a, const TnxWideString& b) const;
  virtual void TransformString(const TnxWideString& aSource, TnxWideString& aResult) const;
  virtual void Clear() = 0;
  virtual int32_t Add(const TnxWideString& s);
  virtual int32_t AddObject(const TnxWideString& s, void* aObject);
  virtual void Insert(int32_t aIndex, const TnxWideString& s) = 0;
  virtual void Delete(int32_t aIndex) = 0;
  // The items of a platform list are UTF-16 already: aCodePage is not used.
  virtual void AddStrings(const platform::TStringList& aStrings, uint16_t aCodePage);
  virtual void AddStrings(const TnxWideStrings& Strings);
  virtual void Exchange(int32_t aIndex1, int32_t aIndex2);
  virtual void Move(int32_t aCurIndex, int32_t aNewIndex);
  virtual TnxWideString GetSeparatedText(const TnxWideString& Separators) const;
  virtual int32_t IndexOf(const TnxWideString& s) const;
  virtual void LoadFromFile(const std::u16string& aFileName, bool aForceUnicode, uint16_t aCodePage);
  virtual void LoadFromStream(platform::TStream& aStream, bool aForceUnicode, uint16_t aCodePage);
  virtual void SaveToFile(const std::u16string& aFileName, bool aUnicode, bool aWithBOM, uint16_t aCodePage) const;
  virtual void SaveToStream(platform::TStream& aStream, bool aUnicode, bool aWithBOM, uint16_t aCodePage) const;

  int32_t Count() const { return GetCount(); }
  TnxWideString Strings(int32_t aIndex) const { return wsGetString(aIndex); }
  void* Objects(int32_t aIndex) const { return wsGetObject(aIndex); }

  // 8-bit overloads.
  int32_t Add(std::string_view s, uint16_t aCodePage);
  int32_t AddObject(std::string_view s, uint16_t aCodePage, void* aObject);
  void Insert(int32_t aIndex, std::string_view s, uint16_t aCodePage);
  void InsertObject(int32_t aIndex, std::string_view s, uint16_t aCodePage, void* aObject);
  void Append(std::string_view s, uint16_t aCodePage) { Add(s, aCodePage); }
  void InsertObject(int32_t aIndex, const TnxWideString& s, void* aObject);
  void Append(const TnxWideString& s) { Add(s); }

  void BeginUpdate();
  void EndUpdate();
  bool Equals(const TnxWideStrings& Strings) const;
  TnxWideString GetSeparatedText(char16_t Separator) const;
  int32_t IndexOfName(const TnxWideString& aName) const;
  int32_t IndexOfObject(const void* aObject) const;
  TnxWideString wsGetName(int32_t aIndex) const;
  TnxWideString wsGetValue(const TnxWideString& aName) const;
  void wsSetValue(const TnxWideString& aName, const TnxWideString& aValue);

  const InxWideStringComparerRef& Comparer() const noexcept { return wsComparer; }
  const InxWideStringTransformerRef& Transformer() const noexcept { return wsTransformer; }

protected:
  int32_t UpdateCount() const noexcept { return wsUpdateCount; }

  // Ends an update frame also when the framed work raises.
  class TUpdateFrame {
  public:
    explicit TUpdateFrame(TnxWideStrings& aList) : fList(aList) { fList.BeginUpdate(); }
    ~TUpdateFrame() { fList.EndUpdate(); }
    TUpdateFrame(const TUpdateFrame&) = delete;
    TUpdateFrame& operator=(const TUpdateFrame&) = delete;

  private:
    TnxWideStrings& fList;
  };

private:
  static void CopyItems(const TnxWideStrings& aSource, TnxWideStrings& aDest);

  int32_t wsUpdateCount = 0;
  InxWideStringComparerRef wsComparer;
  InxWideStringTransformerRef wsTransformer;
};

struct TnxWideStringItem {
  TnxWideString wsiString;
  void* wsiObject = nullptr;
};

class TnxWideStringList : public TnxWideStrings {
  REVUROV_PERSISTENT_CLASS(TnxWideStringList)
  using TNotifyEvent = std::function<void(TnxWideStringList&)>;

  using TnxWideStrings::TnxWideStrings;
  ~TnxWideStringList() override;

  int32_t GetCapacity() const override { return static_cast<int32_t>(wslList.size()); }
  void SetCapacity(int32_t aValue) override;
  int32_t GetCount() const override { return wslCount; }
  TnxWideString wsGetString(int32_t aIndex) const override;
  void wsPutString(int32_t aIndex, const TnxWideString& s) override;
  void* wsGetObject(int32_t aIndex) const override;
  void wsPutObject(int32_t aIndex, void* aObject) override;
  void SetUpdateState(bool aUpdating) override;
  void Clear() override;
  using TnxWideStrings::Add;
  using TnxWideStrings::Insert;
  int32_t Add(const TnxWideString& s) override;
  void Insert(int32_t aIndex, const TnxWideString& s) override;
  void Delete(int32_t aIndex) override;
  void Exchange(int32_t aIndex1, int32_t aIndex2) override;
  using TnxWideStrings::IndexOf;
  int32_t IndexOf(const TnxWideString& s) const override;

  virtual void Changed();
  virtual void Changing();
  // Binary search of the stored items for s transformed: true when found;
  // aIndex is where it is, or where it would be inserted.
  virtual bool Find(const TnxWideString& s, int32_t& aIndex) const;
  virtual void Sort();

  bool Sorted() const noexcept { return wslSorted; }
  void SetSorted(bool aValue);
  platform::TDuplicates Duplicates() const noexcept { return wslDuplicates; }
  void SetDuplicates(platform::TDuplicates aValue) noexcept { wslDuplicates = aValue; }
  void SetOnChange(TNotifyEvent aEvent) { wslOnChange = std::move(aEvent); }
  void SetOnChanging(TNotifyEvent aEvent) { wslOnChanging = std::move(aEvent); }

private:
  void CheckIndex(int32_t aIndex) const;
  void InsertItem(int32_t aIndex, const TnxWideString& s);
  void ExchangeItems(int32_t aIndex1, int32_t aIndex2);
  void Grow();
  void QuickSort(int32_t L, int32_t R);

  std::vector<TnxWideStringItem> wslList;  // its size is the capacity
  int32_t wslCount = 0;
  bool wslSorted = false;
  platform::TDuplicates wslDuplicates = platform::TDuplicates::dupIgnore;
  TNotifyEvent wslOnChange;
  TNotifyEvent wslOnChanging;
};

}  // namespace revurov
