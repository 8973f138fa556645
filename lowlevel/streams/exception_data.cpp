#include "lowlevel/streams/exception_data.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/base64.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

using platform::Format;
using platform::TnxVariant;

namespace {

constexpr uint32_t kNotSupported = 12289;
constexpr uint32_t kIncompatibleStream = 15498;

class TnxExceptionDataContainer;

class TnxExceptionDataBaseValue : public virtual InxExceptionDataValue,
                                  public std::enable_shared_from_this<TnxExceptionDataBaseValue> {
public:
  TnxExceptionDataBaseValue(std::u16string aName, InxExceptionDataContainer* aParent)
      : beName(std::move(aName)), beParent(aParent) {}

  const std::u16string& Name() const override { return beName; }
  InxExceptionDataContainer* Parent() const override { return beParent; }

  std::u16string AsString() const override {
    TnxVariant v = AsVariant();
    return v.IsNull() ? std::u16string() : v.AsString();
  }
  int64_t AsInteger() const override { return AsVariant().AsInt64(); }
  bool AsBoolean() const override { return AsVariant().AsBoolean(); }
  double AsFloat() const override { return AsVariant().AsDouble(); }
  TnxVariant AsVariant() const override {
    throw EnxBaseException(kNotSupported, u"AsVariant not supported by TnxExceptionDataBaseValue");
  }
  TnxExceptionDataRef AsContainer() override {
    throw EnxBaseException(kNotSupported, u"AsContainer not supported for TnxExceptionDataBaseValue");
  }

  void WriteTo(TnxWriter& aWriter, int32_t aVersion) override {
    aWriter.WriteInteger(static_cast<int32_t>(ValueKind()));
    aWriter.WriteString(beName);
    WriteValue(aWriter, aVersion);
  }

  std::u16string ToEncodedString(int32_t aVersion) override {
    TnxAnsiStringStream stream;
    {
      TnxWriter writer(stream);
      writer.WriteIdent(u"EDV");
      writer.WriteInteger(aVersion);
      WriteTo(writer, aVersion);
      writer.FlushBuffer();
    }
    return platform::Utf8ToUtf16(StrToBase64(stream.DataString()));  // Base64 text is ASCII
  }

  std::u16string ToString() override {
    std::u16string text;
    DumpLines(0, [&text](const std::u16string& line) {
      text += line;
      text += u"\r\n";
    });
    return text;
  }

protected:
  virtual void WriteValue(TnxWriter& aWriter, int32_t aVersion) = 0;
  static std::u16string Indent(int n) { return std::u16string(static_cast<size_t>(2 * n), u' '); }

  std::u16string beName;
  InxExceptionDataContainer* beParent = nullptr;  // not counted
};

class TnxExceptionDataStringValue : public TnxExceptionDataBaseValue {
public:
  TnxExceptionDataStringValue(std::u16string aName, std::u16string aValue, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), svValue(std::move(aValue)) {}
  uint8_t ValueKind() const override { return edkString; }
  std::u16string AsString() const override { return svValue; }
  TnxVariant AsVariant() const override { return TnxVariant::FromString(svValue); }
  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    const std::vector<std::u16string> lines = platform::SplitLines(svValue);
    if (lines.size() <= 1) {
      aAddLine(Indent(aIndent) + beName + u": " + svValue);
      return;
    }
    aAddLine(Indent(aIndent) + beName + u":");
    for (const auto& line : lines) aAddLine(Indent(aIndent) + u"  " + line);
  }

protected:
  void WriteValue(TnxWriter& aWriter, int32_t) override { aWriter.WriteString(svValue); }

private:
  std::u16string svValue;
};

class TnxExceptionDataIntegerValue : public TnxExceptionDataBaseValue {
public:
  TnxExceptionDataIntegerValue(std::u16string aName, int64_t aValue, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), ivValue(aValue) {}
  uint8_t ValueKind() const override { return edkInteger; }
  std::u16string AsString() const override {
    auto bits = static_cast<uint64_t>(ivValue);
    if ((bits >> 32) == 0) return Format(u"%d ($%.8x)", {ivValue, static_cast<uint32_t>(bits)});
    return Format(u"%d ($%.16x, %d:%u)", {ivValue, bits, static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)),
                                          static_cast<uint32_t>(bits)});
  }
  int64_t AsInteger() const override { return ivValue; }
  TnxVariant AsVariant() const override { return TnxVariant::FromInt64(ivValue); }
  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    aAddLine(Indent(aIndent) + beName + u": " + AsString());
  }

protected:
  void WriteValue(TnxWriter& aWriter, int32_t) override { aWriter.WriteInteger(ivValue); }

private:
  int64_t ivValue = 0;
};

class TnxExceptionDataBooleanValue : public TnxExceptionDataBaseValue {
public:
  TnxExceptionDataBooleanValue(std::u16string aName, bool aValue, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), bvValue(aValue) {}
  uint8_t ValueKind() const override { return edkBoolean; }
  bool AsBoolean() const override { return bvValue; }
  TnxVariant AsVariant() const override { return TnxVariant::FromBoolean(bvValue); }
  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    aAddLine(Indent(aIndent) + beName + (bvValue ? u": True" : u": False"));
  }

protected:
  void WriteValue(TnxWriter& aWriter, int32_t) override { aWriter.WriteBoolean(bvValue); }

private:
  bool bvValue = false;
};

class TnxExceptionDataFloatValue : public TnxExceptionDataBaseValue {
public:
  TnxExceptionDataFloatValue(std::u16string aName, double aValue, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), fvValue(aValue) {}
  uint8_t ValueKind() const override { return edkFloat; }
  double AsFloat() const override { return fvValue; }
  TnxVariant AsVariant() const override { return TnxVariant::FromDouble(fvValue); }
  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    aAddLine(Indent(aIndent) + beName + u": " + Format(u"%g", {fvValue}));
  }

protected:
  void WriteValue(TnxWriter& aWriter, int32_t) override { aWriter.WriteFloat(fvValue); }

private:
  double fvValue = 0;
};

class TnxExceptionDataVariantValue : public TnxExceptionDataBaseValue {
public:
  TnxExceptionDataVariantValue(std::u16string aName, TnxVariant aValue, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), vvValue(std::move(aValue)) {}
  uint8_t ValueKind() const override { return edkVariant; }
  TnxVariant AsVariant() const override { return vvValue; }
  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    std::u16string text;
    using namespace platform;
    try {
      switch (vvValue.VarType()) {
        case varNull: text = u"NULL"; break;
        case varEmpty: text = u"EMPTY"; break;
        case varOleStr: case varUString: case varString: {
          text = u"'";
          for (char16_t c : vvValue.AsString()) {
            if (c == u'\'') text += u'\'';
            text += c;
          }
          text += u"'";
          break;
        }
        default: text = vvValue.AsString();
      }
    } catch (const platform::Exception& e) {
      text = u"[Error: " + e.Message() + u"]";
    }
    aAddLine(Indent(aIndent) + beName + u": " + text);
  }

protected:
  void WriteValue(TnxWriter& aWriter, int32_t) override { aWriter.WriteVariant(vvValue); }

private:
  TnxVariant vvValue;
};

class TnxExceptionDataContainer : public TnxExceptionDataBaseValue, public InxExceptionDataContainer {
public:
  TnxExceptionDataContainer(std::u16string aName, InxExceptionDataContainer* aParent)
      : TnxExceptionDataBaseValue(std::move(aName), aParent) {}

  uint8_t ValueKind() const override { return edkContainer; }
  TnxExceptionDataRef AsContainer() override {
    return std::static_pointer_cast<TnxExceptionDataContainer>(shared_from_this());
  }

  void AddString(const std::u16string& aName, const std::u16string& aValue) override {
    Append(std::make_shared<TnxExceptionDataStringValue>(aName, aValue, this));
  }
  void AddInteger(const std::u16string& aName, int64_t aValue) override {
    Append(std::make_shared<TnxExceptionDataIntegerValue>(aName, aValue, this));
  }
  void AddBoolean(const std::u16string& aName, bool aValue) override {
    Append(std::make_shared<TnxExceptionDataBooleanValue>(aName, aValue, this));
  }
  void AddFloat(const std::u16string& aName, double aValue) override {
    Append(std::make_shared<TnxExceptionDataFloatValue>(aName, aValue, this));
  }
  void AddVariant(const std::u16string& aName, const TnxVariant& aValue) override {
    Append(std::make_shared<TnxExceptionDataVariantValue>(aName, aValue, this));
  }
  void AddPointer(const std::u16string& aName, const void* aObject) override {
    AddInteger(aName, static_cast<int64_t>(reinterpret_cast<uintptr_t>(aObject)));
  }
  TnxExceptionDataRef AddContainer(const std::u16string& aName) override {
    auto child = std::make_shared<TnxExceptionDataContainer>(aName, this);
    Append(child);
    return child;
  }

  void AddObject(const std::u16string& aName, TnxObject* aObject, bool aFlag) override {
    if (!aObject) return;
    if (AddedAsNote(aName, aObject)) return;
    if (auto* described = dynamic_cast<InxExceptionData*>(aObject)) {
      TnxExceptionDataRef child = AddContainer(aName);
      child->SetForObject(aObject);
      described->GetExceptionData(*child, aFlag);
      return;
    }
    if (auto* list = dynamic_cast<const platform::TStringList*>(aObject)) return AddLines(aName, *list);
    // No class names are kept for plain objects; the address identifies it.
    AddString(aName, Format(u"TnxObject($%p)", {static_cast<const void*>(aObject)}));
  }

  void AddObject(const std::u16string& aName, const platform::TStringList* aObject, bool aFlag) override {
    if (!aObject) return;
    // A list that is also a library object may describe itself.
    if (auto* object = dynamic_cast<TnxObject*>(const_cast<platform::TStringList*>(aObject)))
      return AddObject(aName, object, aFlag);
    if (AddedAsNote(aName, aObject)) return;
    AddLines(aName, *aObject);
  }

  int32_t Count() const override { return static_cast<int32_t>(dcValues.size()); }
  TnxExceptionDataValueRef Values(int32_t aIndex) const override {
    if (aIndex < 0 || aIndex >= Count()) throw platform::ERangeError(platform::SRangeError);
    return dcValues[static_cast<size_t>(aIndex)];
  }
  const void* ForObject() const override { return dcForObject; }
  void SetForObject(const void* aObject) override { dcForObject = aObject; }
  void SetExcluded(std::vector<const void*> aExcluded) { dcExcludedObjects = std::move(aExcluded); }
  bool IsExcluded(const void* aObject) const {
    return std::find(dcExcludedObjects.begin(), dcExcludedObjects.end(), aObject) != dcExcludedObjects.end();
  }

  void DumpLines(int aIndent, const TnxAddLine& aAddLine) override {
    aAddLine(Indent(aIndent) + beName + u":");
    for (const auto& v : dcValues) v->DumpLines(aIndent + 1, aAddLine);
  }

  void Append(TnxExceptionDataValueRef aValue) { dcValues.push_back(std::move(aValue)); }

private:
  // The cycle and exclusion guard: true when an ancestor describes or
  // excludes aObject, after adding the note that says so.
  bool AddedAsNote(const std::u16string& aName, const void* aObject) {
    int steps = 1;
    for (InxExceptionDataContainer* a = Parent(); a; a = a->Parent(), ++steps) {
      if (a->ForObject() == aObject) {
        AddString(aName, Format(u"[Omitted to prevent cycle. Object already present %d step up in history.]", {steps}));
        return true;
      }
      if (auto* c = dynamic_cast<TnxExceptionDataContainer*>(a); c && c->IsExcluded(aObject)) {
        AddString(aName, u"[Excluded]");
        return true;
      }
    }
    return false;
  }

  void AddLines(const std::u16string& aName, const platform::TStringList& aList) {
    TnxExceptionDataRef child = AddContainer(aName);
    for (int i = 0; i < aList.Count(); ++i) {
      const std::u16string& line = aList[i];
      const size_t eq = line.find(u'=');
      std::u16string name = eq != std::u16string::npos && eq > 0 ? line.substr(0, eq) : Format(u"[%d]", {i});
      child->AddString(name, eq != std::u16string::npos ? line.substr(eq + 1) : line);
    }
  }

public:

protected:
  void WriteValue(TnxWriter& aWriter, int32_t aVersion) override {
    aWriter.WriteListBegin();
    for (const auto& v : dcValues) v->WriteTo(aWriter, aVersion);
    aWriter.WriteListEnd();
  }

private:
  std::vector<TnxExceptionDataValueRef> dcValues;
  const void* dcForObject = nullptr;  // not owned
  std::vector<const void*> dcExcludedObjects;
};

TnxExceptionDataValueRef CreateFromReader(TnxReader& aReader, int32_t aVersion,
                                          TnxExceptionDataContainer* aParent, int aDepth) {
  uint8_t kind = static_cast<uint8_t>(aReader.ReadInteger() & 0xFF);
  if (kind > edkContainer) throw EnxBaseException(kIncompatibleStream);
  std::u16string name = aReader.ReadString();
  switch (kind) {
    case edkString: return std::make_shared<TnxExceptionDataStringValue>(name, aReader.ReadString(), aParent);
    case edkInteger: return std::make_shared<TnxExceptionDataIntegerValue>(name, aReader.ReadInt64(), aParent);
    case edkBoolean: return std::make_shared<TnxExceptionDataBooleanValue>(name, aReader.ReadBoolean(), aParent);
    case edkFloat:
      return std::make_shared<TnxExceptionDataFloatValue>(name, static_cast<double>(aReader.ReadFloat()), aParent);
    case edkVariant: return std::make_shared<TnxExceptionDataVariantValue>(name, aReader.ReadVariant(), aParent);
    default: {
      // Text from a peer: a deep nesting must not exhaust the stack.
      if (aDepth >= nxMaxExceptionDataDepth) throw EnxBaseException(kIncompatibleStream);
      auto container = std::make_shared<TnxExceptionDataContainer>(name, aParent);
      aReader.ReadListBegin();
      while (!aReader.EndOfList())
        container->Append(CreateFromReader(aReader, aVersion, container.get(), aDepth + 1));
      aReader.ReadListEnd();
      return container;
    }
  }
}

TnxExceptionDataRef RootFromString(std::u16string_view aEncoded) {
  // A value that is no container gives no exception data.
  TnxExceptionDataValueRef value = nxExceptionDataFromString(aEncoded);
  return value->ValueKind() == edkContainer ? value->AsContainer() : nullptr;
}

TnxExceptionDataRef NewRootContainer() { return nxCreateExceptionDataContainer(u"ExceptionData"); }

std::atomic<int> gStartups{0};

}  // namespace

TnxExceptionDataValueRef nxExceptionDataFromString(std::u16string_view aText) {
  std::string text(aText.size(), '\0');
  for (size_t i = 0; i < aText.size(); ++i)
    text[i] = aText[i] < 0x80 ? static_cast<char>(aText[i]) : '?';  // not Base64: refused below
  TnxAnsiStringStream stream(Base64ToStr(text));
  TnxReader reader(stream);
  if (!platform::AsciiSameText(reader.ReadIdent(), u"EDV")) throw EnxBaseException(kIncompatibleStream);
  int32_t version = reader.ReadInteger();
  return CreateFromReader(reader, version, nullptr, 0);
}

TnxExceptionDataRef nxCreateExceptionDataContainer(const std::u16string& aName, const void* aForObject,
                                                   std::vector<const void*> aExcludedObjects) {
  auto root = std::make_shared<TnxExceptionDataContainer>(aName, nullptr);
  root->SetForObject(aForObject);
  root->SetExcluded(std::move(aExcludedObjects));
  return root;
}

void nxExceptionDataStartup() {
  if (gStartups.fetch_add(1) == 0) nxSetExceptionDataHooks({&RootFromString, &NewRootContainer});
}

void nxExceptionDataShutdown() {
  if (gStartups.fetch_sub(1) == 1) nxSetExceptionDataHooks({});
}

}  // namespace revurov
