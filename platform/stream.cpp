#include "platform/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

TStream::~TStream() = default;

int64_t TStream::GetSize() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError(SReadError);
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError(SWriteError);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  int64_t result = count;
  std::vector<char> buf(static_cast<size_t>(count < 65536 ? (count > 0 ? count : 1) : 65536));
  while (count > 0) {
    int64_t n = count < static_cast<int64_t>(buf.size()) ? count : static_cast<int64_t>(buf.size());
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return result;
}

TFileStream::TFileStream(const std::u16string& fileName, Mode mode) {
  std::string path = Utf16ToUtf8(fileName);
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case Mode::fmOpenRead: flags |= O_RDONLY; break;
    case Mode::fmOpenReadWrite: flags |= O_RDWR; break;
  }
  fd_ = ::open(path.c_str(), flags, 0666);
  if (fd_ < 0) {
    int err = errno;
    if (mode == Mode::fmCreate)
      throw EFCreateError(Format(SFCreateErrorEx, {fileName, SysErrorMessage(err)}));
    throw EFOpenError(Format(SFOpenErrorEx, {fileName, SysErrorMessage(err)}));
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
               : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                  : SEEK_END;
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void TFileStream::SetSize(int64_t newSize) {
  if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0)
    throw EStreamError(u"Fehler beim Ändern der Dateigröße");
  if (Position() > newSize) Seek(newSize, TSeekOrigin::soBeginning);
}

}  // namespace revurov::platform
