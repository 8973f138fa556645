// Filters: the descriptor (a definition that streams by class name) and the
// engine built from it over a fields source, which decides record by record
// (or key by key) whether a cursor or an index sees it; the callback filter
// and the hubs that AND several filters together.
//
// Contract:
// - A fields source is not owned: it must outlive every engine built over
//   it (the cursor or key engine that owns the filter).
// - Filter IDs are 32-bit handles from a process-wide handle table, never
//   addresses: every engine gets one at construction and gives it up when
//   freed, so a stale ID never names a later engine. ID 0 means "whichever
//   engine is asked"; an ID that names no engine asked answers 10050.
// - An engine starts inactive; an inactive engine matches everything.
// - Engines keep no lock: one engine is used by one thread at a time.
// - RemoveFilter is handed the caller's owning variable of the engine asked:
//   whatever it frees, it frees through that variable, and a hub never
//   survives with fewer than two members.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/objects/registerable.h"

namespace revurov {

namespace platform {
class TStream;
}

class TnxBaseFilterDescriptor;
class TnxBaseFilterEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseFilterDescriptorException, EnxBaseRegisterableDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseFilterEngineException, EnxBaseRegisterableEngineException);

extern TnxClassRegistry nxFilterDescriptors;
extern TnxClassRegistry nxFilterEngines;

// Where a filter reads field values: a record layout, a cursor or a key
// engine. aField is 0-based; aName is the zero-terminated 8-bit name the
// filter carries (a source may prefer it to the number). False for no such
// field. aValue points into aData and stays valid as long as aData does.
// Where a field lies in every record of a fixed layout: its value at
// Offset (Units bytes), null when the NullByte's NullMask bit is set.
struct TnxFieldPlace {
  uint16_t Type = 0;
  uint16_t Units = 0;
  uint16_t CodePage = 0;
  uint32_t Offset = 0;
  uint32_t NullByte = 0;
  uint8_t NullMask = 0;
};

class InxFieldsSource {
public:
  virtual int32_t GetFieldCount() const = 0;
  virtual bool GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType,
                                 uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const = 0;
  // A field whose GetFieldForFilter answers for any record buffer exactly
  // what its place says (value at the place, size Units): a filter may then
  // read it without the call. False: ask GetFieldForFilter every time.
  virtual bool GetFieldPlace(int32_t, TnxFieldPlace&) const { return false; }

protected:
  ~InxFieldsSource() = default;
};

class TnxFieldsDescriptor;

// The fields of records laid out by a fields descriptor, which must
// outlive it and keep its layout: filters read every record through this,
// so each field's place, type and storage code page are taken once.
class TnxRecordFieldsSource final : public InxFieldsSource {
public:
  explicit TnxRecordFieldsSource(const TnxFieldsDescriptor& aFields);
  int32_t GetFieldCount() const override { return static_cast<int32_t>(rfsFields.size()); }
  bool GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType,
                         uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const override;
  // Every field but a short string (whose size is its first byte).
  bool GetFieldPlace(int32_t aField, TnxFieldPlace& aPlace) const override;

private:
  struct Field {
    uint16_t Type;
    uint16_t Units;
    uint16_t CodePage;
    uint32_t Offset;
  };
  const TnxFieldsDescriptor& rfsDescriptor;
  std::vector<Field> rfsFields;
};

// ---- descriptors ----

struct TnxFilterDescriptorClass : TnxRegisterableClass {
  // Reads the class's own stream data; null: the class cannot be streamed.
  std::unique_ptr<TnxBaseFilterDescriptor> (*CreateFromStreamData)(platform::TStream& aStream) = nullptr;
};

class TnxBaseFilterDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFilterDescriptor, TnxBaseRegisterableDescriptor, TnxFilterDescriptorClass,
                              &nxFilterDescriptors, nullptr)

  TnxBaseFilterDescriptor() = default;

  // Reads a length byte, the class name and the class's data. 0 and the
  // descriptor; 9986 for a short name, 12289 (also the thread's last
  // message) for an unknown class, or the converted code of what reading
  // raised; aFilter stays null on failure.
  static uint32_t CreateFromStream(platform::TStream& aStream, std::unique_ptr<TnxBaseFilterDescriptor>& aFilter);
  // The class name part every streamable descriptor writes first.
  void WriteClassName(platform::TStream& aStream) const;
  // 0, or 12289 with the thread's last message when the class cannot be
  // written for that reader.
  virtual uint32_t WriteToStream(platform::TStream& aStream, int32_t aVersion) const;
};

// ---- engines ----

struct TnxFilterEngineClass : TnxRegisterableClass {
  // aDescriptor may be null for classes that allow it (the hub).
  std::unique_ptr<TnxBaseFilterEngine> (*Create)(const TnxBaseFilterDescriptor* aDescriptor,
                                                 const InxFieldsSource* aFieldsSource) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseFilterEngine> nxNewFilterEngine(const TnxBaseFilterDescriptor* aDescriptor,
                                                       const InxFieldsSource* aFieldsSource) {
  return std::make_unique<T>(aDescriptor, aFieldsSource);
}

class TnxBaseFilterEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFilterEngine, TnxBaseRegisterableEngine, TnxFilterEngineClass,
                              &nxFilterEngines, nullptr)

  TnxBaseFilterEngine(const TnxBaseFilterDescriptor* aDescriptor, const InxFieldsSource* aFieldsSource);
  ~TnxBaseFilterEngine() override;
  TnxBaseFilterEngine(const TnxBaseFilterEngine&) = delete;
  TnxBaseFilterEngine& operator=(const TnxBaseFilterEngine&) = delete;

  // The engine registered under the descriptor's class name with every
  // "Descriptor" made "Engine"; 15503 when there is none.
  static std::unique_ptr<TnxBaseFilterEngine> CreateFor(const TnxBaseFilterDescriptor& aDescriptor,
                                                        const InxFieldsSource* aFieldsSource);

  TnxFilterID FilterID() const noexcept { return bfFilterID; }
  const InxFieldsSource* FieldsSource() const noexcept { return bfFieldsSource; }

  virtual bool GetActive() const { return bfActive; }
  virtual void SetActive(bool aValue) { bfActive = aValue; }

  // A new engine of the same definition over aFieldsSource, as active as
  // this one.
  virtual std::unique_ptr<TnxBaseFilterEngine> Duplicate(const InxFieldsSource* aFieldsSource) const;
  // A new descriptor equal to the engine's definition.
  virtual std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const = 0;
  virtual bool MatchesBuffer(const uint8_t* aBuffer) = 0;
  // For engines over a key engine: the key goes where a record would.
  bool MatchesKey(const uint8_t* aKey) { return MatchesBuffer(aKey); }

  // aFilterVar owns this engine. 0 or 10050.
  virtual uint32_t RemoveFilter(TnxFilterID aFilterID, std::unique_ptr<TnxBaseFilterEngine>& aFilterVar);
  virtual uint32_t ActivateFilter(TnxFilterID aFilterID);
  virtual uint32_t DeactivateFilter(TnxFilterID aFilterID);
  virtual void Disconnect() {}
  virtual bool IsEvalLocal() const { return GetActive(); }
  virtual bool IsEvalRemote() const { return !IsEvalLocal(); }

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

  // Installed by an owner that iterates under the filter (index engines);
  // the filter itself never calls it.
  std::function<bool(uint32_t& aResult)> kfCheckTimeOut;
  uint32_t* kfResult = nullptr;

protected:
  const InxFieldsSource* bfFieldsSource = nullptr;  // not owned
  bool bfActive = false;

private:
  TnxFilterID bfFilterID = 0;
};

// ---- callback filter ----

// True to accept the record.
using TnxFilterCallback = bool (*)(void* aCookie, const uint8_t* aBuffer);

class TnxCallbackFilterDescriptor : public TnxBaseFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCallbackFilterDescriptor, TnxBaseFilterDescriptor, TnxFilterDescriptorClass,
                              nullptr)

  TnxCallbackFilterDescriptor(void* aCookie, TnxFilterCallback aCallback) noexcept
      : cbfdCallback(aCallback), cbfdCookie(aCookie) {}

  TnxFilterCallback cbfdCallback = nullptr;
  void* cbfdCookie = nullptr;  // handed back to the callback, never touched
};

class TnxCallbackFilterEngine : public TnxBaseFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCallbackFilterEngine, TnxBaseFilterEngine, TnxFilterEngineClass,
                              &nxNewFilterEngine<TnxCallbackFilterEngine>)

  // aDescriptor must be a TnxCallbackFilterDescriptor (else invalid cast).
  TnxCallbackFilterEngine(const TnxBaseFilterDescriptor* aDescriptor, const InxFieldsSource* aFieldsSource);

  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

private:
  TnxFilterCallback cbfeCallback = nullptr;
  void* cbfeCookie = nullptr;
};

// ---- hubs ----

// The members' definitions, owned.
class TnxFilterDescriptorHub : public TnxBaseFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxFilterDescriptorHub, TnxBaseFilterDescriptor, TnxFilterDescriptorClass, nullptr)

  TnxFilterDescriptorHub() = default;

  int32_t FilterCount() const noexcept { return static_cast<int32_t>(fdhList.size()); }
  // The list's index error outside the list.
  TnxBaseFilterDescriptor& Filters(int32_t aInx) const;
  TnxBaseFilterDescriptor& AddFilter(std::unique_ptr<TnxBaseFilterDescriptor> aFilter);
  void RemoveFilter(int32_t aInx);
  // The list's index error when aFilter is not a member.
  void RemoveFilter(const TnxBaseFilterDescriptor& aFilter);

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

private:
  std::vector<std::unique_ptr<TnxBaseFilterDescriptor>> fdhList;
};

// ANDs its members, which it owns, in order.
class TnxFilterEngineHub : public TnxBaseFilterEngine {
  REVUROV_REGISTERABLE_RECORD(TnxFilterEngineHub, TnxBaseFilterEngine, TnxFilterEngineClass,
                              &nxNewFilterEngine<TnxFilterEngineHub>)

  // aDescriptor null or a TnxFilterDescriptorHub, whose members are built
  // over aFieldsSource in order.
  TnxFilterEngineHub(const TnxBaseFilterDescriptor* aDescriptor, const InxFieldsSource* aFieldsSource);
  // Over aFilter1's fields source, owning both.
  TnxFilterEngineHub(std::unique_ptr<TnxBaseFilterEngine> aFilter1, std::unique_ptr<TnxBaseFilterEngine> aFilter2);

  int32_t FilterCount() const noexcept { return static_cast<int32_t>(fehList.size()); }
  // The list's index error outside the list.
  TnxBaseFilterEngine& Filters(int32_t aInx) const;
  TnxBaseFilterEngine& AddFilter(std::unique_ptr<TnxBaseFilterEngine> aFilter);

  bool GetActive() const override;
  std::unique_ptr<TnxBaseFilterEngine> Duplicate(const InxFieldsSource* aFieldsSource) const override;
  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override;
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  uint32_t RemoveFilter(TnxFilterID aFilterID, std::unique_ptr<TnxBaseFilterEngine>& aFilterVar) override;
  uint32_t ActivateFilter(TnxFilterID aFilterID) override;
  uint32_t DeactivateFilter(TnxFilterID aFilterID) override;
  void Disconnect() override;
  bool IsEvalLocal() const override;
  bool IsEvalRemote() const override;

private:
  uint32_t SetMembersActive(TnxFilterID aFilterID, bool aActive);

  std::vector<std::unique_ptr<TnxBaseFilterEngine>> fehList;
};

}  // namespace revurov
