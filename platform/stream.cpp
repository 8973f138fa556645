#include "platform/stream.h"

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

namespace {

inline constexpr char16_t SFileReadErrorEx[] = u"Stream-Lesefehler in Datei \"%s\". %s";
inline constexpr char16_t SFileWriteErrorEx[] = u"Stream-Schreibfehler in Datei \"%s\". %s";
inline constexpr char16_t SFileSizeErrorEx[] = u"Fehler beim \u00C4ndern der Dateigr\u00F6\u00DFe von \"%s\". %s";

std::u16string ErrorText(const char16_t* format, const std::u16string& file_name, int err) {
  return Format(format, {file_name, SysErrorMessage(static_cast<uint32_t>(err))});
}

}  // namespace

TFileStream::TFileStream(const std::u16string& fileName, Mode mode, TFileOps& ops)
    : file_name_(fileName), file_(ops) {
  TOpenFlags flags = TOpenFlags::ofRead;
  switch (mode) {
    case Mode::fmCreate: flags = TOpenFlags::ofReadWrite | TOpenFlags::ofCreate | TOpenFlags::ofTruncate; break;
    case Mode::fmOpenRead: flags = TOpenFlags::ofRead; break;
    case Mode::fmOpenReadWrite: flags = TOpenFlags::ofReadWrite; break;
  }
  if (const int err = file_.Open(Utf16ToUtf8(fileName), flags)) {
    if (mode == Mode::fmCreate) throw EFCreateError(ErrorText(SFCreateErrorEx, fileName, err));
    throw EFOpenError(ErrorText(SFOpenErrorEx, fileName, err));
  }
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t done = 0;
  if (const int err = file_.Ops().Read(file_.Handle(), buffer, count, done))
    throw EReadError(ErrorText(SFileReadErrorEx, file_name_, err));
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t done = 0;
  if (const int err = file_.Ops().Write(file_.Handle(), buffer, count, done))
    throw EWriteError(ErrorText(SFileWriteErrorEx, file_name_, err));
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t position = 0;
  return file_.Ops().Seek(file_.Handle(), offset, origin, position) == 0 ? position : -1;
}

void TFileStream::SetSize(int64_t newSize) {
  if (const int err = file_.Ops().SetSize(file_.Handle(), newSize))
    throw EStreamError(ErrorText(SFileSizeErrorEx, file_name_, err));
  if (Position() > newSize) Seek(newSize, TSeekOrigin::soBeginning);
}

}  // namespace revurov::platform
