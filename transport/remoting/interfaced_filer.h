// The tagged writer and reader as InxWriter and InxReader, for the remoting
// units that take a stream as an interface.
//
// Contract:
// - TnxWriterOps and TnxReaderOps implement an interface derived from
//   InxWriter or InxReader by forwarding to a tagged writer or reader, for
//   every remoting filer; the writer or reader must outlive them.
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

// InxWriter's operations over a tagged writer, for any interface I derived
// from InxWriter.
template <class I>
class TnxWriterOps : public I {
public:
  explicit TnxWriterOps(TnxWriter& aWriter) noexcept : woWriter(&aWriter) {}

  void WriteValue(TValueType aValue) override { woWriter->WriteValue(aValue); }
  void WriteBoolean(bool aValue) override { woWriter->WriteBoolean(aValue); }
  void WriteAnsiChar(char aValue) override { woWriter->WriteAnsiChar(aValue); }
  void WriteWideChar(char16_t aValue) override { woWriter->WriteChar(aValue); }
  void WriteFloat(long double aValue) override { woWriter->WriteFloat(aValue); }
  void WriteSingle(float aValue) override { woWriter->WriteSingle(aValue); }
  void WriteDouble(double aValue) override { woWriter->WriteDouble(aValue); }
  void WriteCurrency(int64_t aScaledBy10000) override { woWriter->WriteCurrency(aScaledBy10000); }
  void WriteDate(double aValue) override { woWriter->WriteDate(aValue); }
  void WriteIdent(std::u16string_view aIdent) override { woWriter->WriteIdent(aIdent); }
  void WriteInteger(int32_t aValue) override { woWriter->WriteInteger(aValue); }
  void WriteInteger(int64_t aValue) override { woWriter->WriteInteger(aValue); }
  void WriteListBegin() override { woWriter->WriteListBegin(); }
  void WriteListEnd() override { woWriter->WriteListEnd(); }
  void WriteString(std::u16string_view aValue) override { woWriter->WriteString(aValue); }
  void WriteWideString(std::u16string_view aValue) override { woWriter->WriteString(aValue); }
  void WriteVariant(const platform::TnxVariant& aValue) override { woWriter->WriteVariant(aValue); }
  void WriteGuid(const platform::TGUID& aValue) override { woWriter->WriteGuid(aValue); }
  void WriteBinary(const void* aValue, int32_t aSize) override { woWriter->WriteBinary(aValue, aSize); }

protected:
  TnxWriter* woWriter;
};

// InxReader's operations over a tagged reader, for any interface I derived
// from InxReader.
template <class I>
class TnxReaderOps : public I {
public:
  explicit TnxReaderOps(TnxReader& aReader) noexcept : roReader(&aReader) {}

  TValueType ReadValue() override { return roReader->ReadValue(); }
  bool ReadBoolean() override { return roReader->ReadBoolean(); }
  char16_t ReadChar() override { return roReader->ReadChar(); }
  char ReadAnsiChar() override { return roReader->ReadAnsiChar(); }
  char16_t ReadWideChar() override { return roReader->ReadChar(); }
  long double ReadFloat() override { return roReader->ReadFloat(); }
  float ReadSingle() override { return roReader->ReadSingle(); }
  double ReadDouble() override { return roReader->ReadDouble(); }
  int64_t ReadCurrency() override { return roReader->ReadCurrency(); }
  double ReadDate() override { return roReader->ReadDate(); }
  std::u16string ReadIdent() override { return roReader->ReadIdent(); }
  int32_t ReadInteger() override { return roReader->ReadInteger(); }
  int64_t ReadInt64() override { return roReader->ReadInt64(); }
  void ReadListBegin() override { roReader->ReadListBegin(); }
  void ReadListEnd() override { roReader->ReadListEnd(); }
  std::u16string ReadString() override { return roReader->ReadString(); }
  std::u16string ReadWideString() override { return roReader->ReadString(); }
  platform::TnxVariant ReadVariant() override { return roReader->ReadVariant(); }
  platform::TGUID ReadGuid() override { return roReader->ReadGuid(); }
  void ReadBinary(void* aValue, int32_t aSize) override { roReader->ReadBinary(aValue, aSize); }
  bool EndOfList() override { return roReader->EndOfList(); }
  TValueType NextValue() override { return roReader->NextValue(); }
  int64_t BytesLeft() override { return roReader->BytesLeft(); }

protected:
  TnxReader* roReader;
};

class TnxInterfacedWriter : public TnxPersistent, public TnxWriterOps<InxWriter> {
  REVUROV_PERSISTENT_CLASS(TnxInterfacedWriter)
public:
  explicit TnxInterfacedWriter(TnxWriter& aWriter) noexcept : TnxWriterOps<InxWriter>(aWriter) {}

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
};

class TnxInterfacedReader : public TnxPersistent, public TnxReaderOps<InxReader> {
  REVUROV_PERSISTENT_CLASS(TnxInterfacedReader)
public:
  explicit TnxInterfacedReader(TnxReader& aReader) noexcept : TnxReaderOps<InxReader>(aReader) {}

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
};

}  // namespace revurov
