// Values in the remoting stream: variants (variant arrays included), typed
// values described by a TnxTypeInfo, and error information; and the copy
// of a typed value that a call frame makes without a stream.
//
// Contract:
// - Every routine answers S_OK, RPC_E_INVALID_PARAMETER for a value that
//   cannot travel (a kind or variant type without a wire form, a malformed
//   value from the peer, a value outside its type's range), or the result
//   of the interface writer, interface reader, class factory or by-value
//   object that failed. It stops at the first failure; the stream is then
//   unusable for further values.
// - The writer's and reader's own failures (stream exhausted, wrong tag)
//   are raised as the tagged stream's exceptions, not answered. So is a
//   count from the peer (elements, bytes) that is negative or more than
//   the bytes left could hold: EReadError, before anything is sized by it.
// - A variant by reference arrives as the plain variant; none is ever made.
//   Variants nest (by reference, arrays of variants) at most 64 deep.
// - Fixed-size variant arrays travel as one block in storage order (first
//   index fastest); other arrays element by element, the last index
//   fastest. A set takes high div 8 - low div 8 + 1 bytes.
// - Interfaces travel through the writer's InxInterfaceWriter and the
//   reader's InxInterfaceReader (RPC_E_INVALID_PARAMETER without one), or
//   by value when the object offers InxByValueObject; the receiver makes a
//   by-value object through the class factory registry.
// - aData points to an object of the C++ type the descriptor was made for
//   (type_descriptor.h).
#pragma once

#include "platform/error_info.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/variant.h"
#include "transport/remoting/remoting_types.h"
#include "transport/remoting/type_descriptor.h"

namespace revurov {

constexpr platform::HRESULT RPC_E_INVALID_PARAMETER = platform::HRESULT(0x80010010u);

// An object that travels as a copy; its class is registered with the class
// factory registry under the class ID it answers.
class InxByValueObject : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{850D8CEE-08CA-4F45-ADAF-D9E60F3C3AD0}");
  virtual platform::HRESULT GetClassID(platform::TGUID& aClassID) = 0;
  virtual platform::HRESULT WriteObject(InxWriter* aWriter) = 0;
  virtual platform::HRESULT ReadObject(InxReader* aReader) = 0;
};

platform::HRESULT nxWriteVariant(const platform::TnxVariant& aValue, InxWriter& aWriter);
// aValue ends empty when reading fails, or holds the array read so far
// when an element of it failed.
platform::HRESULT nxReadVariant(platform::TnxVariant& aValue, InxReader& aReader);

platform::HRESULT nxWriteTypedValue(InxWriter& aWriter, const TnxTypeInfo& aType, const void* aData);
platform::HRESULT nxReadTypedValue(InxReader& aReader, const TnxTypeInfo& aType, void* aData);
platform::HRESULT nxCopyTypedValue(const TnxTypeInfo& aType, const void* aSource, void* aDest);

platform::HRESULT nxWriteErrorInfo(InxWriter& aWriter, platform::IErrorInfo* aErrorInfo);
platform::HRESULT nxReadErrorInfo(InxReader& aReader, platform::TInterfacePtr<platform::IErrorInfo>& aErrorInfo);

}  // namespace revurov
