// The vocabulary every remoting unit shares: the identity of a remote object,
// the routing path a reference or call has travelled, the tagged writer and
// reader as interfaces, and the identity of this process.
//
// Contract:
// - nxProcessID is made once, by the first start-up of the remoting types
//   (transport/remoting/startup.h), and stays for the life of the process;
//   it is all zero before that and when the platform could not make one.
// - nxWriteRoutingPath writes an empty path as the single tag vaNil, any
//   other as list begin, the entry count, two GUIDs per entry (server, then
//   instance) and list end.
// - nxReadRoutingPath clears the path, then reads that form back. A count
//   that is negative or that more entries than the bytes left could hold
//   raises EReadError before anything is allocated; any other bad value
//   raises the reader's error and leaves what was read so far.
// - InxWriter and InxReader operations raise the tagged stream's errors.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "lowlevel/streams/tagged_stream.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/variant.h"

namespace revurov {

struct TnxObjectIdentity {
  platform::TGUID oiServerID;    // the process that holds the object
  platform::TGUID oiInstanceID;  // the object or call inside that process
  friend bool operator==(const TnxObjectIdentity&, const TnxObjectIdentity&) = default;
};

// From the first hop to the last; empty when there is none.
using TnxRoutingPath = std::vector<TnxObjectIdentity>;

class InxWriter : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{F2E2EBE1-408C-4061-B2AF-0F986EA28E9E}");
  virtual void WriteValue(TValueType aValue) = 0;
  virtual void WriteBoolean(bool aValue) = 0;
  virtual void WriteAnsiChar(char aValue) = 0;
  virtual void WriteWideChar(char16_t aValue) = 0;
  virtual void WriteFloat(long double aValue) = 0;
  virtual void WriteSingle(float aValue) = 0;
  virtual void WriteDouble(double aValue) = 0;
  virtual void WriteCurrency(int64_t aScaledBy10000) = 0;
  virtual void WriteDate(double aValue) = 0;
  virtual void WriteIdent(std::u16string_view aIdent) = 0;
  virtual void WriteInteger(int32_t aValue) = 0;
  virtual void WriteInteger(int64_t aValue) = 0;
  virtual void WriteListBegin() = 0;
  virtual void WriteListEnd() = 0;
  virtual void WriteString(std::u16string_view aValue) = 0;
  virtual void WriteWideString(std::u16string_view aValue) = 0;
  virtual void WriteVariant(const platform::TnxVariant& aValue) = 0;
  virtual void WriteGuid(const platform::TGUID& aValue) = 0;
  virtual void WriteBinary(const void* aValue, int32_t aSize) = 0;
};

class InxReader : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{0042DFCD-DA51-4DA0-B7C1-A4871B8E61D6}");
  virtual TValueType ReadValue() = 0;
  virtual bool ReadBoolean() = 0;
  virtual char16_t ReadChar() = 0;
  virtual char ReadAnsiChar() = 0;
  virtual char16_t ReadWideChar() = 0;
  virtual long double ReadFloat() = 0;
  virtual float ReadSingle() = 0;
  virtual double ReadDouble() = 0;
  virtual int64_t ReadCurrency() = 0;
  virtual double ReadDate() = 0;
  virtual std::u16string ReadIdent() = 0;
  virtual int32_t ReadInteger() = 0;
  virtual int64_t ReadInt64() = 0;
  virtual void ReadListBegin() = 0;
  virtual void ReadListEnd() = 0;
  virtual std::u16string ReadString() = 0;
  virtual std::u16string ReadWideString() = 0;
  virtual platform::TnxVariant ReadVariant() = 0;
  virtual platform::TGUID ReadGuid() = 0;
  virtual void ReadBinary(void* aValue, int32_t aSize) = 0;
  virtual bool EndOfList() = 0;
  virtual TValueType NextValue() = 0;
  // Counts that come from a peer are checked against this before anything
  // is sized by them.
  virtual int64_t BytesLeft() = 0;
};

class InxRoutingPath : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D0755C92-B265-4AE9-B6FA-A970155563D3}");
  // A copy of the object's path.
  virtual platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) = 0;
};

void nxWriteRoutingPath(InxWriter& aWriter, const TnxRoutingPath& aPath);
void nxReadRoutingPath(InxReader& aReader, TnxRoutingPath& aPath);

const platform::TGUID& nxProcessID() noexcept;

// A GUID as the four 32-bit words its 16 bytes hold, each little-endian
// (the form of instance and channel IDs), and back.
std::array<uint32_t, 4> nxGuidWords(const platform::TGUID& aGuid) noexcept;
platform::TGUID nxGuidOfWords(const std::array<uint32_t, 4>& aWords) noexcept;

// The start-up pair of the remoting types (the remoting start-up table runs
// it): makes the process identity on the first call and sets the library's
// object-disconnect and class-activator hooks; the shut-down clears both
// hooks and releases the process-wide factory registries.
void nxRemotingTypesStartup();
void nxRemotingTypesShutdown();

}  // namespace revurov
