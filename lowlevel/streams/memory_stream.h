// The library's memory streams: a growable stream that reserves address
// space and commits pages as it grows, a stream over a caller's block, and
// streams over an 8-bit string and a byte array.
//
// Positions and sizes are 64-bit throughout (a 64-bit seek is never cut to
// its low 32 bits). Bytes between the old end and a write or size change
// past it read as zero, never as stale data. Nothing here locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/stream.h"

namespace revurov {

class TnxCustomMemoryStream : public platform::TStream {
public:
  // Returns 0 when the position or count is negative or nothing is left.
  int64_t Read(void* buffer, int64_t count) override;
  // Unbounded: the position may lie before 0 or past the end.
  int64_t Seek(int64_t offset, platform::TSeekOrigin origin) override;
  int64_t GetSize() override { return cmsSize; }

  void SaveToStream(platform::TStream& stream);
  void SaveToFile(const std::u16string& fileName);
  TnxCustomMemoryStream& TheStream() { return *this; }

  void* Memory() const { return cmsMemory; }
  uint8_t* ByteArray() const { return static_cast<uint8_t*>(cmsMemory); }

protected:
  void SetPointer(void* memory, int64_t size);

  void* cmsMemory = nullptr;
  int64_t cmsSize = 0;
  int64_t cmsPosition = 0;
};

class TnxMemoryStream : public TnxCustomMemoryStream {
public:
  // aInitial: first reservation; -1 for 64 KB, above 65535 for itself
  // (rounded up to 64 KB), anything else for 512 KB.
  explicit TnxMemoryStream(int32_t aInitial = 0);
  ~TnxMemoryStream() override;

  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t newSize) override;
  void SetCapacity(int64_t newCapacity);
  void Clear();
  void LoadFromStream(platform::TStream& stream);
  void LoadFromFile(const std::u16string& fileName);

  int64_t Capacity() const { return msCommited; }
  int64_t Reserved() const { return msReserved; }
  int64_t ReserveInitial() const { return msReserveInitial; }

protected:
  virtual void* Realloc(int64_t& aNewCapacity);

private:
  void GrowTo(int64_t newSize);

  int64_t msReserveInitial = 0;
  int64_t msReserved = 0;
  // Every reservation of this stream is one contiguous range from
  // cmsMemory (extensions are placed directly after it), so one unmap of
  // msReserved bytes releases them all; no list of bases is needed.
  int64_t msCommited = 0;
  // End of the bytes ever written since the memory was last fresh; pages
  // beyond it are still zero from the kernel.
  int64_t msTouched = 0;
};

// A stream over a block the caller owns; never grows the block.
class TnxStaticMemoryStream : public TnxCustomMemoryStream {
public:
  TnxStaticMemoryStream(void* aMemory, int64_t aSize);
  int64_t Write(const void* buffer, int64_t count) override;
};

// Seeks from the end subtract the offset, and every seek is clamped to
// 0..length.
class TnxAnsiStringStream : public platform::TStream {
public:
  explicit TnxAnsiStringStream(std::string aString = {});
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, platform::TSeekOrigin origin) override;
  int64_t GetSize() override { return static_cast<int64_t>(assDataString.size()); }
  void SetSize(int64_t newSize) override;
  std::string ReadString(int64_t aCount);
  void WriteString(const std::string& aString);
  const std::string& DataString() const { return assDataString; }

private:
  std::string assDataString;
  int64_t assPosition = 0;
};

class TnxBytesStream : public platform::TStream {
public:
  TnxBytesStream() = default;
  explicit TnxBytesStream(std::vector<uint8_t> aBytes);
  TnxBytesStream(const void* aData, int64_t aDataLen);
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, platform::TSeekOrigin origin) override;
  int64_t GetSize() override { return static_cast<int64_t>(bsBytes.size()); }
  void SetSize(int64_t newSize) override;
  std::vector<uint8_t> ReadBytes(int64_t aCount);
  void WriteBytes(const std::vector<uint8_t>& aBytes);
  const std::vector<uint8_t>& Bytes() const { return bsBytes; }
  TnxBytesStream& TheStream() { return *this; }

private:
  std::vector<uint8_t> bsBytes;
  int64_t bsPosition = 0;
};

}  // namespace revurov
