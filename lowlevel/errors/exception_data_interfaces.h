// The interfaces of exception data: a tree of named, typed values that
// describes the objects involved in an error. Objects that describe
// themselves implement InxExceptionData; the encoded form and the
// containers themselves live with the streams (lowlevel/streams/exception_data.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/string_list.h"
#include "platform/variant.h"

namespace revurov {

class TnxWriter;
class TnxReader;
class InxExceptionDataContainer;
class InxExceptionDataValue;

using TnxExceptionDataValueRef = std::shared_ptr<InxExceptionDataValue>;
using TnxAddLine = std::function<void(const std::u16string&)>;

enum TnxExceptionDataKind : uint8_t {
  edkString = 0, edkInteger = 1, edkBoolean = 2, edkFloat = 3, edkVariant = 4, edkContainer = 5,
};

class InxExceptionDataValue {
public:
  virtual ~InxExceptionDataValue() = default;
  virtual const std::u16string& Name() const = 0;
  virtual uint8_t ValueKind() const = 0;
  virtual std::u16string AsString() const = 0;
  virtual int64_t AsInteger() const = 0;
  virtual bool AsBoolean() const = 0;
  virtual double AsFloat() const = 0;
  virtual platform::TnxVariant AsVariant() const = 0;
  virtual TnxExceptionDataRef AsContainer() = 0;
  virtual std::u16string ToEncodedString(int32_t aVersion) = 0;
  virtual std::u16string ToString() = 0;
  // The library's own side of a value.
  virtual void WriteTo(TnxWriter& aWriter, int32_t aVersion) = 0;
  virtual void DumpLines(int aIndent, const TnxAddLine& aAddLine) = 0;
  virtual InxExceptionDataContainer* Parent() const = 0;
};

class InxExceptionDataContainer : public virtual InxExceptionDataValue {
public:
  // The identifier the library's peers know this interface by.
  static constexpr platform::TGUID IID = platform::nxGuid("{899B9703-1FB0-4CFD-A3A4-8E69CF131DC3}");
  virtual void AddString(const std::u16string& aName, const std::u16string& aValue) = 0;
  virtual void AddInteger(const std::u16string& aName, int64_t aValue) = 0;
  virtual void AddBoolean(const std::u16string& aName, bool aValue) = 0;
  virtual void AddFloat(const std::u16string& aName, double aValue) = 0;
  // Describes aObject under aName: a self-describing object as a child
  // container it fills, a string list as a child container of its lines
  // (name=value, or "[index]" and the whole line), anything else by text.
  // An object an ancestor describes or excludes becomes a note instead.
  virtual void AddObject(const std::u16string& aName, TnxObject* aObject, bool aFlag) = 0;
  virtual void AddObject(const std::u16string& aName, const platform::TStringList* aObject, bool aFlag) = 0;
  void AddObject(const std::u16string&, std::nullptr_t, bool) {}  // a nil object adds nothing
  virtual void AddVariant(const std::u16string& aName, const platform::TnxVariant& aValue) = 0;
  // An integer value holding the address.
  virtual void AddPointer(const std::u16string& aName, const void* aObject) = 0;
  virtual TnxExceptionDataRef AddContainer(const std::u16string& aName) = 0;
  virtual int32_t Count() const = 0;
  // Raises ERangeError outside 0..Count-1.
  virtual TnxExceptionDataValueRef Values(int32_t aIndex) const = 0;
  // The described object (not owned).
  virtual const void* ForObject() const = 0;
  virtual void SetForObject(const void* aObject) = 0;
};

// Implemented by objects that can describe themselves.
class InxExceptionData {
public:
  virtual void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) = 0;

protected:
  ~InxExceptionData() = default;
};

}  // namespace revurov
