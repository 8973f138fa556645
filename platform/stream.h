// The runtime's stream: a byte sequence with a position.
//
// Contract: positions, sizes and counts are 64-bit throughout, so a seek or
// size beyond 4 GB is never cut to 32 bits. `Read` and `Write` move at most
// `count` bytes and return how many they moved (0 for a negative count);
// `ReadBuffer` and `WriteBuffer` move exactly `count` bytes or raise
// EReadError "Stream-Lesefehler" / EWriteError "Stream-Schreibfehler".
// A stream belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_ops.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

class TStream {
public:
  TStream() = default;
  virtual ~TStream();
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // Default: seeks to the end and back.
  virtual int64_t GetSize();
  // Default: does nothing (streams of a fixed size).
  virtual void SetSize(int64_t newSize);

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position (the whole source from its
  // start when count is 0); returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};


// A file as a stream, on the seam it is given (the process-wide one by
// default) for its whole life. Create truncates or creates the file; Open
// opens an existing one for reading (fmOpenRead) or reading and writing.
//
// Read returns fewer bytes than asked only at the end of the file. A failure
// the seam reports raises EReadError / EWriteError / EStreamError with the
// OS's reason; the original returned 0 and left the caller to raise the
// bare stream error, which lost the reason. Seek returns -1 on failure.
class TFileStream : public TStream {
public:
  enum class Mode { fmCreate, fmOpenRead, fmOpenReadWrite };
  // Raises EFCreateError or EFOpenError when the file cannot be opened.
  TFileStream(const std::u16string& fileName, Mode mode, TFileOps& ops = FileOps());
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;

private:
  std::u16string file_name_;
  TFile file_;
};

}  // namespace revurov::platform
