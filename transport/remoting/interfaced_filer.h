// The tagged writer and reader as InxWriter and InxReader, for the remoting
// units that take a stream as an interface.
//
// Contract:
// - Each operation forwards to the same operation of the TnxWriter or
//   TnxReader given at construction, so the bytes are that format;
//   WriteWideString writes what WriteString writes, and ReadWideString,
//   like ReadString, accepts every string tag.
// - Neither counts references (the persistent base's AddRef and Release do
//   nothing): the holder of the stream makes one in its scope, beside the
//   writer or reader it wraps, and hands out the interface only for calls
//   that end within that scope. One thread at a time, as the tagged writer
//   and reader.
#pragma once

#include "lowlevel/objects/persistent.h"
#include "lowlevel/streams/tagged_stream.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

class TnxInterfacedWriter : public TnxPersistent, public InxWriter {
  REVUROV_PERSISTENT_CLASS(TnxInterfacedWriter)
public:
  explicit TnxInterfacedWriter(TnxWriter& aWriter) noexcept : iwWriter(&aWriter) {}

  void WriteValue(TValueType aValue) override { iwWriter->WriteValue(aValue); }
  void WriteBoolean(bool aValue) override { iwWriter->WriteBoolean(aValue); }
  void WriteAnsiChar(char aValue) override { iwWriter->WriteAnsiChar(aValue); }
  void WriteWideChar(char16_t aValue) override { iwWriter->WriteChar(aValue); }
  void WriteFloat(long double aValue) override { iwWriter->WriteFloat(aValue); }
  void WriteSingle(float aValue) override { iwWriter->WriteSingle(aValue); }
  void WriteDouble(double aValue) override { iwWriter->WriteDouble(aValue); }
  void WriteCurrency(int64_t aScaledBy10000) override { iwWriter->WriteCurrency(aScaledBy10000); }
  void WriteDate(double aValue) override { iwWriter->WriteDate(aValue); }
  void WriteIdent(std::u16string_view aIdent) override { iwWriter->WriteIdent(aIdent); }
  void WriteInteger(int32_t aValue) override { iwWriter->WriteInteger(aValue); }
  void WriteInteger(int64_t aValue) override { iwWriter->WriteInteger(aValue); }
  void WriteListBegin() override { iwWriter->WriteListBegin(); }
  void WriteListEnd() override { iwWriter->WriteListEnd(); }
  void WriteString(std::u16string_view aValue) override { iwWriter->WriteString(aValue); }
  void WriteWideString(std::u16string_view aValue) override { iwWriter->WriteString(aValue); }
  void WriteVariant(const platform::TnxVariant& aValue) override { iwWriter->WriteVariant(aValue); }
  void WriteGuid(const platform::TGUID& aValue) override { iwWriter->WriteGuid(aValue); }
  void WriteBinary(const void* aValue, int32_t aSize) override { iwWriter->WriteBinary(aValue, aSize); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxWriter* iwWriter;
};

class TnxInterfacedReader : public TnxPersistent, public InxReader {
  REVUROV_PERSISTENT_CLASS(TnxInterfacedReader)
public:
  explicit TnxInterfacedReader(TnxReader& aReader) noexcept : irReader(&aReader) {}

  TValueType ReadValue() override { return irReader->ReadValue(); }
  bool ReadBoolean() override { return irReader->ReadBoolean(); }
  char16_t ReadChar() override { return irReader->ReadChar(); }
  char ReadAnsiChar() override { return irReader->ReadAnsiChar(); }
  char16_t ReadWideChar() override { return irReader->ReadChar(); }
  long double ReadFloat() override { return irReader->ReadFloat(); }
  float ReadSingle() override { return irReader->ReadSingle(); }
  double ReadDouble() override { return irReader->ReadDouble(); }
  int64_t ReadCurrency() override { return irReader->ReadCurrency(); }
  double ReadDate() override { return irReader->ReadDate(); }
  std::u16string ReadIdent() override { return irReader->ReadIdent(); }
  int32_t ReadInteger() override { return irReader->ReadInteger(); }
  int64_t ReadInt64() override { return irReader->ReadInt64(); }
  void ReadListBegin() override { irReader->ReadListBegin(); }
  void ReadListEnd() override { irReader->ReadListEnd(); }
  std::u16string ReadString() override { return irReader->ReadString(); }
  std::u16string ReadWideString() override { return irReader->ReadString(); }
  platform::TnxVariant ReadVariant() override { return irReader->ReadVariant(); }
  platform::TGUID ReadGuid() override { return irReader->ReadGuid(); }
  void ReadBinary(void* aValue, int32_t aSize) override { irReader->ReadBinary(aValue, aSize); }
  bool EndOfList() override { return irReader->EndOfList(); }
  TValueType NextValue() override { return irReader->NextValue(); }
  int64_t BytesLeft() override { return irReader->BytesLeft(); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxReader* irReader;
};

}  // namespace revurov
