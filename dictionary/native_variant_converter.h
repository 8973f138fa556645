// Field values between their native form in a record buffer (by
// TnxFieldType) and variants: reading a field, writing a field, and the
// byte array of a statement parameter.
//
// Contract:
// - aCodePage 0 means none given; aDecPl > 0 makes a string field
//   fixed-width (readers pad with blanks to aDecPl characters, writers drop
//   trailing blanks); aLength is the field's byte length, and nothing is
//   read or written outside it. A fixed-size type given a shorter aLength
//   raises ERangeError.
// - Errors: platform::Exception "Value out of range for the target column
//   type: %d" for an integer that its type cannot hold (AutoInc and RecRev
//   included: nothing is wrapped), "Source string data is too wide (%d) for
//   the target field (%d)" and "Source string data is too wide for the
//   target field (%d)" for text, EnxBaseException "Invalid char format
//   (length must be exactly 1)", "0 (zero) is not a valid timestamp", and
//   EConvertError "'%s' kein gültiger Wert für GUID". A failed write leaves
//   the field partly written; the caller zero-fills it.
// - With truncation allowed, text is cut to the field at a character
//   boundary by bytes (never inside a multi-byte character or a surrogate
//   pair), so an allowed truncation never fails for length.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/field_types.h"
#include "platform/format.h"
#include "platform/variant.h"

namespace revurov {

bool nxVarIsEmptyOrNull(const platform::TnxVariant& aValue) noexcept;

// Types nxtInterval and from 32 up leave aResult as it was.
void nxNativeToVariant(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, platform::TnxVariant& aResult,
                       int32_t aLength, const void* aBuffer, int32_t aDecPl);

// With the calling thread's locale settings and no truncation.
void nxVariantToFieldBuffer(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aLength, void* aBuffer,
                            const platform::TnxVariant& aValue, int32_t aDecPl);
void nxVariantToFieldBufferFS(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aLength,
                              void* aBuffer, const platform::TnxVariant& aValue, int32_t aDecPl,
                              const platform::TFormatSettings& aFormatSettings, bool aTruncate);

// The parameter form: aBytes becomes the type's native bytes; a null value
// gives an empty array, an nxtBlob leaves aBytes as it was.
void nxVariantToNative(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, std::vector<uint8_t>& aBytes,
                       const platform::TnxVariant& aValue, int32_t aDecPl);
void nxVariantToNativeFS(TnxFieldType aType, uint16_t aCodePage, int32_t aUnits, std::vector<uint8_t>& aBytes,
                         const platform::TnxVariant& aValue, int32_t aDecPl,
                         const platform::TFormatSettings& aFormatSettings);

// A byte-array variant (indexes 0 to n - 1) of the given bytes, and back;
// BytesOfVariant answers false for a value that is no one-dimensional
// array of bytes.
platform::TnxVariant nxBytesToVariant(const uint8_t* aBytes, int32_t aCount);
bool nxBytesOfVariant(const platform::TnxVariant& aValue, std::vector<uint8_t>& aBytes);

}  // namespace revurov
