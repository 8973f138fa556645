// A table's references to other tables (foreign keys): one custom
// descriptor "RefIntegrity" holding references, each with a target cursor
// (the target table), sources (the values looked up, one per key field of
// the target index) and actions (what happens to the matching target
// records, or that one must exist).
//
// Contract:
// - Add and remove operations do not check writability; the setters of
//   TableName, Password and SkipOnNull do (15500).
// - IsEqual compares every setting the stream carries, passwords and
//   SkipOnNull included, so a restructure that changes only those is seen.
// - The target table's password leaves the process only in the server's
//   own copies: a stream carries it while a TnxDictStorageStream scope is
//   open on the thread or a copy (TnxDictCopyScope: Assign, Duplicate) is
//   made; every other stream, such as one written for a client, carries an
//   empty password.
// - Readers store values as read; CheckValid checks them.
// - Each class raises its own exception class.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/table_descriptors.h"

namespace revurov {

class TnxFieldDescriptor;
class TnxReferenceDescriptor;
class TnxBaseTargetCursorDescriptor;
class TnxBaseSourceDescriptor;
class TnxBaseActionDescriptor;

REVUROV_EXCEPTION_CLASS(EnxRefIntegrityDescriptorException, EnxBaseCustomDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxReferenceDescriptorException, EnxDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseTargetCursorDescriptorException, EnxDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseSourceDescriptorException, EnxDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseActionDescriptorException, EnxDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxCloneTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxTableTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxRelativeTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxFieldSourceDescriptorException, EnxBaseSourceDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseDeleteActionDescriptorException, EnxBaseActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseModifyActionDescriptorException, EnxBaseActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxCascadeDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxClearDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxSetDefaultDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBlockDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxCascadeModifyActionDescriptorException, EnxBaseModifyActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxClearModifyActionDescriptorException, EnxBaseModifyActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxSetDefaultModifyActionDescriptorException, EnxBaseModifyActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBlockModifyActionDescriptorException, EnxBaseModifyActionDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxTargetRequiredActionDescriptorException, EnxBaseActionDescriptorException);

extern TnxClassRegistry nxReferenceDescriptorClasses;
extern TnxClassRegistry nxTargetCursorDescriptorClasses;
extern TnxClassRegistry nxSourceDescriptorClasses;
extern TnxClassRegistry nxActionDescriptorClasses;

inline constexpr std::u16string_view nxRefIntegrityName = u"RefIntegrity";

// While open, dictionary streams written on this thread are the server's
// own (table files) and carry secrets such as target table passwords.
class TnxDictStorageStream {
public:
  TnxDictStorageStream() noexcept { ++Depth(); }
  ~TnxDictStorageStream() { --Depth(); }
  TnxDictStorageStream(const TnxDictStorageStream&) = delete;
  TnxDictStorageStream& operator=(const TnxDictStorageStream&) = delete;
  static bool Active() noexcept { return Depth() > 0; }

private:
  static int32_t& Depth() noexcept;
};

struct TnxTargetCursorDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseTargetCursorDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
struct TnxReferenceDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxReferenceDescriptor> (*Create)(TnxPersistent* aParent,
                                                    const TnxTargetCursorDescriptorClass* aTargetCursorClass) = nullptr;
};
struct TnxSourceDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseSourceDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
struct TnxActionDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseActionDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class Base, class T>
std::unique_ptr<Base> nxNewRefItem(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}
template <class T>
std::unique_ptr<TnxReferenceDescriptor> nxNewReference(TnxPersistent* aParent,
                                                       const TnxTargetCursorDescriptorClass* aTargetCursorClass) {
  return std::make_unique<T>(aParent, aTargetCursorClass);
}

// The slot in which the engines keep the engine class they found for a
// descriptor. Engines fill it while the dictionary is shared; it is never
// copied, written or compared.
class TnxCachedEngineClass {
public:
  const TnxRegisterableClass* Get() const noexcept { return cecClass.load(std::memory_order_acquire); }
  void Set(const TnxRegisterableClass* aClass) noexcept { cecClass.store(aClass, std::memory_order_release); }

private:
  std::atomic<const TnxRegisterableClass*> cecClass{nullptr};
};

class TnxRefIntegrityDescriptor : public TnxBaseCustomDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxRefIntegrityDescriptor, TnxBaseCustomDescriptor, TnxCustomDescriptorClass,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxRefIntegrityDescriptor>))
  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;
  ~TnxRefIntegrityDescriptor() override;

  int32_t ReferenceCount() const noexcept { return static_cast<int32_t>(ridReferences.size()); }
  // 9999 outside the list.
  TnxReferenceDescriptor* Reference(int32_t aIndex) const;
  // Null classes: TnxReferenceDescriptor, TnxTableTargetCursorDescriptor.
  TnxReferenceDescriptor* AddReference(const TnxReferenceDescriptorClass* aReferenceClass = nullptr,
                                       const TnxTargetCursorDescriptorClass* aTargetCursorClass = nullptr);
  // An absent descriptor or an index outside the list does nothing.
  void RemoveReference(TnxReferenceDescriptor* aDescriptor);
  void RemoveReference(int32_t aIndex);

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void ClearReferences() noexcept;
  std::vector<std::unique_ptr<TnxReferenceDescriptor>> ridReferences;
};

// The table's "RefIntegrity" custom descriptor, or null; the runtime's
// invalid cast when that name holds another class.
TnxRefIntegrityDescriptor* nxGetRefIntegrityDescriptor(TnxBaseTableDescriptor& aTable);

class TnxReferenceDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxReferenceDescriptor, TnxDictionaryItem, TnxReferenceDescriptorClass,
                              &nxReferenceDescriptorClasses, &nxNewReference<TnxReferenceDescriptor>)

  // A null class: TnxTableTargetCursorDescriptor.
  TnxReferenceDescriptor(TnxPersistent* aParent, const TnxTargetCursorDescriptorClass* aTargetCursorClass);
  ~TnxReferenceDescriptor() override;

  TnxBaseTargetCursorDescriptor& TargetCursor() const noexcept { return *rdTargetCursor; }
  const std::u16string& TargetIndex() const noexcept { return rdTargetIndex; }
  void SetTargetIndex(std::u16string_view aValue) { rdTargetIndex = aValue; }
  TnxCachedEngineClass& CachedEngineClass() const noexcept { return rdCachedEngineClass; }

  int32_t SourceCount() const noexcept { return static_cast<int32_t>(rdSources.size()); }
  TnxBaseSourceDescriptor* Source(int32_t aIndex) const;
  // Null: TnxFieldSourceDescriptor.
  TnxBaseSourceDescriptor* AddSource(const TnxSourceDescriptorClass* aClass = nullptr);
  void RemoveSource(TnxBaseSourceDescriptor* aDescriptor);
  void RemoveSource(int32_t aIndex);
  int32_t ActionCount() const noexcept { return static_cast<int32_t>(rdActions.size()); }
  TnxBaseActionDescriptor* Action(int32_t aIndex) const;
  // Null: TnxBlockDeleteActionDescriptor.
  TnxBaseActionDescriptor* AddAction(const TnxActionDescriptorClass* aClass = nullptr);
  void RemoveAction(TnxBaseActionDescriptor* aDescriptor);
  void RemoveAction(int32_t aIndex);

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // The target index of the target table.
  bool References(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  [[noreturn]] void RaiseIncomplete(std::u16string_view aWhat) const;

  // Declared first: freed last, after the sources and actions.
  std::unique_ptr<TnxBaseTargetCursorDescriptor> rdTargetCursor;
  std::u16string rdTargetIndex;
  std::vector<std::unique_ptr<TnxBaseSourceDescriptor>> rdSources;
  std::vector<std::unique_ptr<TnxBaseActionDescriptor>> rdActions;
  mutable TnxCachedEngineClass rdCachedEngineClass;
};

class TnxBaseTargetCursorDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTargetCursorDescriptor, TnxDictionaryItem, TnxTargetCursorDescriptorClass,
                              &nxTargetCursorDescriptorClasses,
                              (&nxNewRefItem<TnxBaseTargetCursorDescriptor, TnxBaseTargetCursorDescriptor>))
  explicit TnxBaseTargetCursorDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

  // The full name of the target table; empty for a target that names none.
  virtual std::u16string ReferencedTableName() const { return {}; }
  TnxCachedEngineClass& CachedEngineClass() const noexcept { return btcCachedEngineClass; }

  // The target table (ASCII letters without case); a target that cannot
  // be resolved references nothing.
  bool References(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  mutable TnxCachedEngineClass btcCachedEngineClass;
};

// The table that holds the reference.
class TnxCloneTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCloneTargetCursorDescriptor, TnxBaseTargetCursorDescriptor,
                              TnxTargetCursorDescriptorClass,
                              (&nxNewRefItem<TnxBaseTargetCursorDescriptor, TnxCloneTargetCursorDescriptor>))
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;

  // 8712 outside a table.
  std::u16string ReferencedTableName() const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

// A table of the database, by path and password.
class TnxTableTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxTableTargetCursorDescriptor, TnxBaseTargetCursorDescriptor,
                              TnxTargetCursorDescriptorClass,
                              (&nxNewRefItem<TnxBaseTargetCursorDescriptor, TnxTableTargetCursorDescriptor>))
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;

  const std::u16string& TableName() const noexcept { return ttcTableName; }
  // 10024 for an empty path, 10039 for a bad one.
  void SetTableName(std::u16string_view aValue);
  const std::u16string& Password() const noexcept { return ttcPassword; }
  void SetPassword(std::u16string_view aValue);

  std::u16string ReferencedTableName() const override { return ttcTableName; }
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // 12039 with a password for a client below 20000.
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string ttcTableName;
  std::u16string ttcPassword;
};

// A nested table: ".:Child" from the table that holds the reference,
// "Child" from the root table.
class TnxRelativeTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxRelativeTargetCursorDescriptor, TnxBaseTargetCursorDescriptor,
                              TnxTargetCursorDescriptorClass,
                              (&nxNewRefItem<TnxBaseTargetCursorDescriptor, TnxRelativeTargetCursorDescriptor>))
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;

  const std::u16string& TableName() const noexcept { return rtcTableName; }
  // 10039 for a bad path.
  void SetTableName(std::u16string_view aValue);
  // The table the path leads to; empty while the path is; 10024 for a path
  // that does not lead to a table.
  TnxBaseTableDescriptor* ResolveTable() const;

  std::u16string ReferencedTableName() const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string rtcTableName;
};

class TnxBaseSourceDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseSourceDescriptor, TnxDictionaryItem, TnxSourceDescriptorClass,
                              &nxSourceDescriptorClasses,
                              (&nxNewRefItem<TnxBaseSourceDescriptor, TnxBaseSourceDescriptor>))
  explicit TnxBaseSourceDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

  bool SkipOnNull() const noexcept { return bsdSkipOnNull; }
  void SetSkipOnNull(bool aValue);
  TnxCachedEngineClass& CachedEngineClass() const noexcept { return bsdCachedEngineClass; }

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // 12039 with SkipOnNull for a client below 20000.
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  bool bsdSkipOnNull = false;
  mutable TnxCachedEngineClass bsdCachedEngineClass;
};

// A field of this table; follows renumbering and refuses (15502) the
// removal of its field.
class TnxFieldSourceDescriptor : public TnxBaseSourceDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxFieldSourceDescriptor, TnxBaseSourceDescriptor, TnxSourceDescriptorClass,
                              (&nxNewRefItem<TnxBaseSourceDescriptor, TnxFieldSourceDescriptor>))
  explicit TnxFieldSourceDescriptor(TnxPersistent* aParent);
  ~TnxFieldSourceDescriptor() override;

  int32_t FieldNumber() const noexcept { return fsdFieldNumber; }
  void SetFieldNumber(int32_t aValue) noexcept { fsdFieldNumber = aValue; }
  // 8712 without a related fields descriptor; null outside its fields.
  TnxFieldDescriptor* Field();

  void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t fsdFieldNumber = -1;
  TnxFieldsDescriptor* fsdListeningTo = nullptr;  // not owned
};

class TnxBaseActionDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseActionDescriptor, TnxDictionaryItem, TnxActionDescriptorClass,
                              &nxActionDescriptorClasses,
                              (&nxNewRefItem<TnxBaseActionDescriptor, TnxBaseActionDescriptor>))
  explicit TnxBaseActionDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

  bool SkipOnNull() const noexcept { return badSkipOnNull; }
  void SetSkipOnNull(bool aValue);
  TnxCachedEngineClass& CachedEngineClass() const noexcept { return badCachedEngineClass; }

  // Actions of one class with the same SkipOnNull are equal.
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // 12039 with SkipOnNull for a client below 20000.
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  // The own part of every action class: its version.
  void SaveActionPart(TnxWriter& aWriter, uint32_t aClientVersion) const;
  template <class E>
  void LoadActionPart(TnxReader& aReader);

private:
  bool badSkipOnNull = false;
  mutable TnxCachedEngineClass badCachedEngineClass;
};

class TnxBaseDeleteActionDescriptor : public TnxBaseActionDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseDeleteActionDescriptor, TnxBaseActionDescriptor, TnxActionDescriptorClass,
                              (&nxNewRefItem<TnxBaseActionDescriptor, TnxBaseDeleteActionDescriptor>))
  using TnxBaseActionDescriptor::TnxBaseActionDescriptor;
};

class TnxBaseModifyActionDescriptor : public TnxBaseActionDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseModifyActionDescriptor, TnxBaseActionDescriptor, TnxActionDescriptorClass,
                              (&nxNewRefItem<TnxBaseActionDescriptor, TnxBaseModifyActionDescriptor>))
  using TnxBaseActionDescriptor::TnxBaseActionDescriptor;
};

#define REVUROV_RI_ACTION(Name, Base, Exception)                                                          \
  class Name : public Base {                                                                               \
    REVUROV_REGISTERABLE_RECORD(Name, Base, TnxActionDescriptorClass,                                      \
                                (&nxNewRefItem<TnxBaseActionDescriptor, Name>))                            \
    using Base::Base;                                                                                      \
    void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override {                        \
      SaveActionPart(aWriter, aClientVersion);                                                             \
    }                                                                                                      \
    void LoadFromReader(TnxReader& aReader) override { LoadActionPart<Exception>(aReader); }               \
  };

// Deleting this table's record: the target records are deleted, cleared,
// set to their defaults, or the delete is refused while one exists.
REVUROV_RI_ACTION(TnxCascadeDeleteActionDescriptor, TnxBaseDeleteActionDescriptor,
                  EnxCascadeDeleteActionDescriptorException)
REVUROV_RI_ACTION(TnxClearDeleteActionDescriptor, TnxBaseDeleteActionDescriptor,
                  EnxClearDeleteActionDescriptorException)
REVUROV_RI_ACTION(TnxSetDefaultDeleteActionDescriptor, TnxBaseDeleteActionDescriptor,
                  EnxSetDefaultDeleteActionDescriptorException)
REVUROV_RI_ACTION(TnxBlockDeleteActionDescriptor, TnxBaseDeleteActionDescriptor,
                  EnxBlockDeleteActionDescriptorException)
// Modifying it: the same four for the target records' key fields.
REVUROV_RI_ACTION(TnxCascadeModifyActionDescriptor, TnxBaseModifyActionDescriptor,
                  EnxCascadeModifyActionDescriptorException)
REVUROV_RI_ACTION(TnxClearModifyActionDescriptor, TnxBaseModifyActionDescriptor,
                  EnxClearModifyActionDescriptorException)
REVUROV_RI_ACTION(TnxSetDefaultModifyActionDescriptor, TnxBaseModifyActionDescriptor,
                  EnxSetDefaultModifyActionDescriptorException)
REVUROV_RI_ACTION(TnxBlockModifyActionDescriptor, TnxBaseModifyActionDescriptor,
                  EnxBlockModifyActionDescriptorException)
// Inserting or modifying it: a target record must exist.
REVUROV_RI_ACTION(TnxTargetRequiredActionDescriptor, TnxBaseActionDescriptor,
                  EnxTargetRequiredActionDescriptorException)

#undef REVUROV_RI_ACTION

}  // namespace revurov
