#include "lowlevel/streams/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "lowlevel/errors/exceptions.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"
#include "platform/virtual_memory.h"

namespace revurov {

using platform::TSeekOrigin;

namespace {

constexpr int64_t kReserveUnit = 65536;
constexpr int64_t kPage = static_cast<int64_t>(platform::vmPageSize);
// The doubling stops here, so a reservation stays within a 32-bit signed
// size as the stream's users expect.
constexpr int64_t kMaxReserveStart = 0x3FFFFFFE;

[[noreturn]] void RaiseMemoryFailure() { throw platform::EOutOfMemory(); }
[[noreturn]] void RaiseOSFailure() { nxRaiseLastOSError(u"TnxMemoryStream", 0); }

int64_t RoundUp(int64_t v, int64_t unit) { return (v + unit - 1) / unit * unit; }

void Release(uint8_t* base, int64_t reserved) {
  if (base) platform::vmRelease(base, static_cast<size_t>(reserved));
}

}  // namespace

// --- TnxCustomMemoryStream ---------------------------------------------------

void TnxCustomMemoryStream::SetPointer(void* memory, int64_t size) {
  cmsMemory = memory;
  cmsSize = size;
}

int64_t TnxCustomMemoryStream::Read(void* buffer, int64_t count) {
  if (cmsPosition < 0 || count < 0) return 0;
  int64_t left = cmsSize - cmsPosition;
  if (left <= 0) return 0;
  int64_t n = std::min(count, left);
  std::memcpy(buffer, ByteArray() + cmsPosition, static_cast<size_t>(n));
  cmsPosition += n;
  return n;
}

int64_t TnxCustomMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning: cmsPosition = offset; break;
    case TSeekOrigin::soCurrent: cmsPosition += offset; break;
    case TSeekOrigin::soEnd: cmsPosition = cmsSize + offset; break;
  }
  return cmsPosition;
}

void TnxCustomMemoryStream::SaveToStream(platform::TStream& stream) {
  if (cmsSize != 0) stream.WriteBuffer(cmsMemory, cmsSize);
}

void TnxCustomMemoryStream::SaveToFile(const std::u16string& fileName) {
  platform::TFileStream file(fileName, platform::TFileStream::Mode::fmCreate);
  SaveToStream(file);
}

// --- TnxMemoryStream ---------------------------------------------------------

TnxMemoryStream::TnxMemoryStream(int32_t aInitial) {
  int64_t initial = aInitial == -1 ? kReserveUnit : aInitial > 65535 ? aInitial : 512 * 1024;
  msReserveInitial = RoundUp(initial, kReserveUnit);
}

TnxMemoryStream::~TnxMemoryStream() {
  int64_t zero = 0;
  Realloc(zero);
}

void* TnxMemoryStream::Realloc(int64_t& aNewCapacity) {
  uint8_t* base = ByteArray();
  if (aNewCapacity <= 0) {
    Release(base, msReserved);
    msReserved = 0;
    msTouched = 0;
    aNewCapacity = 0;
    return nullptr;
  }
  if (aNewCapacity > std::numeric_limits<int64_t>::max() - kPage) RaiseMemoryFailure();
  int64_t n = RoundUp(aNewCapacity, kPage);
  aNewCapacity = n;
  if (n == msCommited) return base;

  if (n <= msReserved) {
    if (n > msCommited) {
      if (!platform::vmCommit(base + msCommited, static_cast<size_t>(n - msCommited)))
        RaiseOSFailure();
    } else {
      aNewCapacity = msCommited;  // committed memory only shrinks by release
    }
    return base;
  }

  int64_t newSize = msReserved != 0 ? msReserved : msReserveInitial;
  while (newSize < n) {
    if (newSize > kMaxReserveStart) RaiseMemoryFailure();
    newSize *= 2;
  }

  // A large stream is filled whole: large pages spare a fault per small page.
  const bool large = static_cast<uint64_t>(newSize) >= platform::vmLargePagesFrom;
  if (base) {
    // Growing in place keeps the bytes where they are: no copy.
    void* ext = platform::vmReserveAt(base + msReserved, static_cast<size_t>(newSize - msReserved));
    if (ext) {
      if (large) platform::vmAdviseLargePages(ext, static_cast<size_t>(newSize - msReserved));
      msReserved = newSize;
      if (!platform::vmCommit(base + msCommited, static_cast<size_t>(n - msCommited)))
        RaiseOSFailure();
      return base;
    }
  }

  auto* fresh = static_cast<uint8_t*>(
      platform::vmReserve(static_cast<size_t>(newSize), large ? platform::vmLargePageSize : platform::vmPageSize));
  if (!fresh) RaiseOSFailure();
  if (large) platform::vmAdviseLargePages(fresh, static_cast<size_t>(newSize));
  if (!platform::vmCommit(fresh, static_cast<size_t>(n))) {
    int err = static_cast<int>(platform::GetLastOSError());
    Release(fresh, newSize);
    platform::SetLastOSError(static_cast<uint32_t>(err));
    RaiseOSFailure();
  }
  if (base) {
    if (cmsSize > 0) std::memcpy(fresh, base, static_cast<size_t>(cmsSize));
    Release(base, msReserved);
  }
  msTouched = base ? std::max<int64_t>(cmsSize, 0) : 0;
  msReserved = newSize;
  return fresh;
}

void TnxMemoryStream::SetCapacity(int64_t newCapacity) {
  void* memory = Realloc(newCapacity);
  // A released block cannot keep a size: the size follows it to 0.
  SetPointer(memory, memory ? cmsSize : 0);
  msCommited = newCapacity;
}

void TnxMemoryStream::GrowTo(int64_t newSize) {
  if (newSize > msCommited) SetCapacity(newSize);
  cmsSize = newSize;
}

void TnxMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0)
    throw platform::EStreamError(platform::Format(u"Ungültige Streamgröße (%d)", {newSize}));
  int64_t oldSize = cmsSize;
  if (newSize > oldSize) {
    GrowTo(newSize);
    // Bytes a shrink left behind must not reappear.
    int64_t stale = std::min(newSize, msTouched);
    if (stale > oldSize) std::memset(ByteArray() + oldSize, 0, static_cast<size_t>(stale - oldSize));
  } else {
    cmsSize = newSize;
  }
  if (cmsPosition > newSize) Seek(0, TSeekOrigin::soEnd);
}

int64_t TnxMemoryStream::Write(const void* buffer, int64_t count) {
  int64_t pos = cmsPosition;
  if (pos < 0 || count < 0) return 0;
  if (count > std::numeric_limits<int64_t>::max() - pos) return 0;
  int64_t end = pos + count;
  if (end <= 0) return 0;
  if (end > cmsSize) {
    int64_t oldSize = cmsSize;
    GrowTo(end);
    // The gap between the old end and the write reads as zero.
    int64_t stale = std::min(pos, msTouched);
    if (stale > oldSize) std::memset(ByteArray() + oldSize, 0, static_cast<size_t>(stale - oldSize));
  }
  std::memcpy(ByteArray() + pos, buffer, static_cast<size_t>(count));
  if (end > msTouched) msTouched = end;
  cmsPosition = end;
  return count;
}

void TnxMemoryStream::Clear() {
  SetCapacity(0);
  cmsSize = 0;
  cmsPosition = 0;
}

void TnxMemoryStream::LoadFromStream(platform::TStream& stream) {
  stream.SetPosition(0);
  int64_t count = stream.GetSize();
  SetSize(count);
  if (count != 0) stream.ReadBuffer(cmsMemory, count);
  if (count > msTouched) msTouched = count;
}

void TnxMemoryStream::LoadFromFile(const std::u16string& fileName) {
  platform::TFileStream file(fileName, platform::TFileStream::Mode::fmOpenRead);
  LoadFromStream(file);
}

// --- TnxStaticMemoryStream ---------------------------------------------------

TnxStaticMemoryStream::TnxStaticMemoryStream(void* aMemory, int64_t aSize) {
  SetPointer(aMemory, aSize);
}

int64_t TnxStaticMemoryStream::Write(const void* buffer, int64_t count) {
  if (cmsPosition < 0 || count <= 0) return 0;
  if (cmsPosition >= cmsSize) {
    cmsPosition = cmsSize;
    return 0;
  }
  int64_t n = std::min(count, cmsSize - cmsPosition);
  std::memcpy(ByteArray() + cmsPosition, buffer, static_cast<size_t>(n));
  cmsPosition += n;
  return n;
}

// --- string and byte-array streams -------------------------------------------

namespace {

template <typename Container>
int64_t ReadFrom(const Container& data, int64_t& position, void* buffer, int64_t count) {
  int64_t n = std::min(count, static_cast<int64_t>(data.size()) - position);
  if (n <= 0) return 0;
  std::memcpy(buffer, data.data() + position, static_cast<size_t>(n));
  position += n;
  return n;
}

template <typename Container>
int64_t WriteTo(Container& data, int64_t& position, const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = position + count;
  if (end > static_cast<int64_t>(data.size())) data.resize(static_cast<size_t>(end));
  std::memcpy(data.data() + position, buffer, static_cast<size_t>(count));
  position = end;
  return count;
}

int64_t ClampedSeek(int64_t length, int64_t& position, int64_t offset, TSeekOrigin origin) {
  int64_t p = position;
  switch (origin) {
    case TSeekOrigin::soBeginning: p = offset; break;
    case TSeekOrigin::soCurrent: p = position + offset; break;
    case TSeekOrigin::soEnd: p = length - offset; break;  // subtracted, unlike memory streams
  }
  position = std::clamp<int64_t>(p, 0, length);
  return position;
}

}  // namespace

TnxAnsiStringStream::TnxAnsiStringStream(std::string aString) : assDataString(std::move(aString)) {}

int64_t TnxAnsiStringStream::Read(void* buffer, int64_t count) {
  return ReadFrom(assDataString, assPosition, buffer, count);
}

int64_t TnxAnsiStringStream::Write(const void* buffer, int64_t count) {
  return WriteTo(assDataString, assPosition, buffer, count);
}

int64_t TnxAnsiStringStream::Seek(int64_t offset, TSeekOrigin origin) {
  return ClampedSeek(GetSize(), assPosition, offset, origin);
}

void TnxAnsiStringStream::SetSize(int64_t newSize) {
  assDataString.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
  if (assPosition > GetSize()) assPosition = GetSize();
}

std::string TnxAnsiStringStream::ReadString(int64_t aCount) {
  int64_t n = std::min(aCount, GetSize() - assPosition);
  if (n < 1) return {};
  std::string result = assDataString.substr(static_cast<size_t>(assPosition), static_cast<size_t>(n));
  assPosition += n;
  return result;
}

void TnxAnsiStringStream::WriteString(const std::string& aString) {
  Write(aString.data(), static_cast<int64_t>(aString.size()));
}

TnxBytesStream::TnxBytesStream(std::vector<uint8_t> aBytes) : bsBytes(std::move(aBytes)) {}

TnxBytesStream::TnxBytesStream(const void* aData, int64_t aDataLen) {
  if (aDataLen > 0) {
    auto* p = static_cast<const uint8_t*>(aData);
    bsBytes.assign(p, p + aDataLen);
  }
}

int64_t TnxBytesStream::Read(void* buffer, int64_t count) {
  return ReadFrom(bsBytes, bsPosition, buffer, count);
}

int64_t TnxBytesStream::Write(const void* buffer, int64_t count) {
  return WriteTo(bsBytes, bsPosition, buffer, count);
}

int64_t TnxBytesStream::Seek(int64_t offset, TSeekOrigin origin) {
  return ClampedSeek(GetSize(), bsPosition, offset, origin);
}

void TnxBytesStream::SetSize(int64_t newSize) {
  bsBytes.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
  if (bsPosition > GetSize()) bsPosition = GetSize();
}

std::vector<uint8_t> TnxBytesStream::ReadBytes(int64_t aCount) {
  int64_t n = std::min(aCount, GetSize() - bsPosition);
  if (n < 1) return {};
  std::vector<uint8_t> result(bsBytes.begin() + bsPosition, bsBytes.begin() + bsPosition + n);
  bsPosition += n;
  return result;
}

void TnxBytesStream::WriteBytes(const std::vector<uint8_t>& aBytes) {
  Write(aBytes.data(), static_cast<int64_t>(aBytes.size()));
}

}  // namespace revurov
