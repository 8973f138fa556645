// The compressor base and its registry of compressor classes by one-byte
// compression id.
//
// Contract:
// - Compressors are never instantiated: a compressor class is its class
//   record, a static object with the class-level operations Compress and
//   Uncompress, which any number of threads may call at once.
// - `nxCompressorClasses`[n] is the class of compression id n (1 to 255),
//   null when id n cannot be used; id 0 means no compression and has no
//   entry. The registry is written at start-up and shut-down only and read
//   without a lock afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxCompressorException, EnxBaseException);

class TnxBaseCompressor {
public:
  constexpr TnxBaseCompressor(std::u16string_view aName, const TnxBaseCompressor* aParent) noexcept
      : bcName(aName), bcParent(aParent) {}
  TnxBaseCompressor(const TnxBaseCompressor&) = delete;
  TnxBaseCompressor& operator=(const TnxBaseCompressor&) = delete;

  static const TnxBaseCompressor& ClassInfo() noexcept;
  std::u16string_view ClassName() const noexcept { return bcName; }
  const TnxBaseCompressor* ClassParent() const noexcept { return bcParent; }
  bool InheritsFrom(const TnxBaseCompressor& aClass) const noexcept;

  // The compressed length written to aTarget, or 0 when compression fails
  // or the result does not fit into aTargetSize bytes; the caller then sends
  // the data as it is.
  virtual uint32_t Compress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                            uint32_t aTargetSize) const;
  // Restores data of exactly aTargetSize bytes (the caller knows the size).
  // False for input that is corrupt, incomplete, or decodes to any other
  // size; aTarget then holds what was decoded before the fault.
  [[nodiscard]] virtual bool Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                                        uint32_t aTargetSize) const;

private:
  std::u16string_view bcName;
  const TnxBaseCompressor* bcParent;
};

using TnxBaseCompressorClass = const TnxBaseCompressor*;

// Index = compression id; entry 0 stays empty.
extern std::array<TnxBaseCompressorClass, 256> nxCompressorClasses;
extern std::array<std::u16string, 256> nxCompressorNames;

// Raises EnxCompressorException "Compressor already registered" when the id
// is taken (the first registration stays), and for id 0.
void nxRegisterCompressor(const TnxBaseCompressor& aClass, uint8_t aId, std::u16string aName);
// Clears every id that holds aClass; the names stay until shut-down.
void nxUnregisterCompressor(const TnxBaseCompressor& aClass) noexcept;

// Reference-counted; the last shut-down releases the names.
void nxBaseCompressorStartup();
void nxBaseCompressorShutdown();

}  // namespace revurov
