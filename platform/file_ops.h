// The one seam through which every file operation of the library goes.
//
// Like an OS port layer, `TFileOps` states what a file system must provide;
// `PosixFileOps()` is the real one, and a test hands a component its own
// implementation to make a chosen call fail or to drop unsynced writes.
//
// Contract common to every operation:
// - Paths are UTF-8 (`ToOsPath` gives them) and used as given: relative ones
//   are taken from the process's current folder.
// - An operation returns 0 on success or the OS error number on failure (the
//   value `SysErrorMessage` turns into text; ENOENT, EEXIST, EAGAIN ... as
//   <cerrno> names them). It never reports EINTR: interrupted calls are
//   repeated. It raises nothing but std::bad_alloc.
// - A `TFileHandle` is opaque. It is valid only with the seam that opened it
//   and only until that seam's `Close` of it.
// - Offsets, positions, counts and sizes are int64_t; a negative one (other
//   than Seek's offset from the position or the end) is refused with EINVAL
//   before anything is done.
// - Read, Write and Seek share the handle's position, so one handle belongs
//   to one thread at a time; ReadAt and WriteAt leave the position alone and
//   may be used on one handle by several threads. The POSIX seam itself
//   keeps no state and may be called from any thread.
//
// Durability: a write is in the file for every reader at once, but survives
// a power loss only after `DataSync` or `Sync` of the file has returned 0.
// Creating, renaming and removing names survive only after `SyncDirectory`
// of the folder that holds them. After a failed sync the state of the
// unsynced bytes is unknown (the kernel may already have dropped them):
// callers must not retry and then trust the file.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace revurov::platform {

using TFileHandle = int32_t;
inline constexpr TFileHandle InvalidFileHandle = -1;

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// Open flags, combined with "|". Exactly one access flag, ofRead when none.
enum class TOpenFlags : uint32_t {
  ofRead = 0,
  ofWrite = 1,
  ofReadWrite = 2,
  ofCreate = 4,     // create the file when it does not exist
  ofExclusive = 8,  // with ofCreate: fail with EEXIST when it exists
  ofTruncate = 16,  // cut to size 0; needs write access
  // Opening never waits (a FIFO without a writer, a device); reads and
  // writes of such files may then fail with EAGAIN. No effect on files.
  ofNonBlocking = 32,
  // Every write and size change reaches the medium before the call returns
  // (O_DSYNC); needs write access.
  ofDataSync = 64,
  // OpenBeneath only: follow symbolic links that stay inside the folder.
  ofLinksInside = 128,
  // The name itself must not be a symbolic link: ELOOP when it is.
  ofNoFollow = 256,
};
constexpr TOpenFlags operator|(TOpenFlags a, TOpenFlags b) noexcept {
  return static_cast<TOpenFlags>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}
constexpr bool HasFlag(TOpenFlags set, TOpenFlags flag) noexcept {
  return (static_cast<uint32_t>(set) & static_cast<uint32_t>(flag)) != 0;
}

// Read and write permission for everyone, narrowed by the process's umask.
inline constexpr uint32_t DefaultFilePermissions = 0666;
inline constexpr uint32_t DefaultDirectoryPermissions = 0777;

enum class TFileLockKind { lkShared, lkExclusive };
enum class TFileLockWait { lwTry, lwWait };
enum class TRenameMode { rmReplace, rmNoReplace };

enum class TFileKind { fkFile, fkDirectory, fkOther };

// How the file's bytes will be read, for the kernel's read-ahead.
enum class TAccessHint { ahNormal, ahRandom, ahSequential };

// One piece of a gathered write.
struct TIoPart {
  const void* Data = nullptr;
  int64_t Size = 0;
};

struct TFileInfo {
  TFileKind Kind = TFileKind::fkFile;
  int64_t Size = 0;
  uint32_t Permissions = 0;  // the POSIX-style bits 07777
};

class TFileOps {
public:
  TFileOps() = default;
  virtual ~TFileOps() = default;
  TFileOps(const TFileOps&) = delete;
  TFileOps& operator=(const TFileOps&) = delete;

  // Opens the file at path and sets `file`; `file` is InvalidFileHandle on
  // failure. `permissions` apply only to a file this call creates (narrowed
  // by the umask). A folder is refused with EISDIR, a missing file without
  // ofCreate with ENOENT. The handle is not inherited by programs the
  // process starts. The position starts at 0.
  virtual int Open(const std::string& path, TOpenFlags flags, uint32_t permissions, TFileHandle& file) = 0;
  // Opens `name` inside the folder at `folder`, as Open would, but only
  // there: resolving `name` may neither leave the folder (".." or an
  // absolute name, EXDEV) nor pass any symbolic link, the last part
  // included (ELOOP). The check and the open are one step, so a link put in
  // place between a look at the name and the open cannot redirect it. The
  // folder's own path is trusted; with ofLinksInside a symbolic link is
  // followed while it stays inside the folder (never a magic link such as
  // /proc/N/fd). ofCreate is refused with EINVAL. On a
  // kernel that cannot resolve a path confined (before Linux 5.6) only a
  // plain name of the folder itself is opened, anything else is EXDEV.
  // EOPNOTSUPP from a seam that cannot confine the open.
  virtual int OpenBeneath(const std::string& folder, const std::string& name, TOpenFlags flags, TFileHandle& file) {
    (void)folder, (void)name, (void)flags;
    file = InvalidFileHandle;
    return EOPNOTSUPP;
  }
  // Releases the handle and the locks taken through it, also when it
  // reports an error (which can mean that earlier writes were lost).
  virtual int Close(TFileHandle file) = 0;

  // Reads up to count bytes at the position and advances it; fewer only at
  // the end of the file. `done` is the number of bytes moved, also on error.
  virtual int Read(TFileHandle file, void* buffer, int64_t count, int64_t& done) = 0;
  // Writes all count bytes at the position and advances it; on error `done`
  // tells how many got in (ENOSPC after a part, for example).
  virtual int Write(TFileHandle file, const void* buffer, int64_t count, int64_t& done) = 0;
  // As Read and Write, at offset; the position does not move. Writing past
  // the end grows the file, and the gap reads as zeros.
  virtual int ReadAt(TFileHandle file, int64_t offset, void* buffer, int64_t count, int64_t& done) = 0;
  virtual int WriteAt(TFileHandle file, int64_t offset, const void* buffer, int64_t count, int64_t& done) = 0;
  // Writes the parts one after another from offset, as WriteAt of their
  // concatenation would, in as few calls as the OS allows (pwritev). `done`
  // counts the bytes of all parts that got in. The default writes each part
  // with WriteAt, so a seam that overrides WriteAt sees every part.
  virtual int WriteVectorAt(TFileHandle file, int64_t offset, const TIoPart* parts, int32_t count, int64_t& done);

  // Moves the position (beyond the end is allowed) and returns it in
  // `position`. A resulting position below 0 is refused with EINVAL.
  virtual int Seek(TFileHandle file, int64_t offset, TSeekOrigin origin, int64_t& position) = 0;
  virtual int GetSize(TFileHandle file, int64_t& size) = 0;
  // Cuts or grows (with zeros) the file to size; the position does not move.
  virtual int SetSize(TFileHandle file, int64_t size) = 0;
  // Gives [offset, offset + length) disk space and grows the file to cover
  // it (zeros), so that later writes there do not fail for want of space.
  // EOPNOTSUPP where the file system cannot; callers then use SetSize.
  virtual int Allocate(TFileHandle file, int64_t offset, int64_t length) {
    (void)file, (void)offset, (void)length;
    return EOPNOTSUPP;
  }
  // Tells the kernel how the file will be read; only a hint, so a seam
  // that cannot pass it on ignores it.
  virtual int Advise(TFileHandle file, TAccessHint hint) {
    (void)file, (void)hint;
    return 0;
  }
  // Sets the file's permission bits exactly (no umask).
  virtual int SetPermissions(TFileHandle file, uint32_t permissions) = 0;
  // What the handle refers to (the kind, size and permissions at the time).
  virtual int GetHandleInfo(TFileHandle file, TFileInfo& info) = 0;

  // Makes the file's bytes and size durable (fdatasync).
  virtual int DataSync(TFileHandle file) = 0;
  // As DataSync, and every other attribute of the file too (fsync).
  virtual int Sync(TFileHandle file) = 0;
  // Makes the names created, renamed or removed in the folder durable.
  virtual int SyncDirectory(const std::string& path) = 0;

  // Advisory lock on [offset, offset + length); length 0 reaches to the end
  // of the file however far it grows, so (0, 0) is the whole file. A lock
  // belongs to the handle: two handles of one file conflict even within one
  // process, while a handle's own locks never block it (locking again
  // changes their kind). lwTry fails with EAGAIN on a conflict; lwWait
  // blocks until granted, without deadlock detection, so callers take
  // several locks in one fixed order. A shared lock needs read access, an
  // exclusive one write access (EBADF otherwise). Locks do not stop reads
  // or writes of code that does not ask for them.
  virtual int Lock(TFileHandle file, TFileLockKind kind, TFileLockWait wait, int64_t offset, int64_t length) = 0;
  // Releases whatever this handle holds in the range (nothing held is fine).
  virtual int Unlock(TFileHandle file, int64_t offset, int64_t length) = 0;
  // Whether a lock of kind on the range would conflict with one another
  // handle holds, without taking it; works on a read-only handle too, which
  // may not take an exclusive lock. EOPNOTSUPP where the seam cannot tell.
  virtual int LockConflicts(TFileHandle file, TFileLockKind kind, int64_t offset, int64_t length,
                            bool& conflict) {
    (void)file, (void)kind, (void)offset, (void)length;
    conflict = false;
    return EOPNOTSUPP;
  }

  // Renames a file; atomic for other observers of `to`.
  // rmReplace replaces an existing file at `to`; rmNoReplace fails with
  // EEXIST instead and never replaces, even on file systems that cannot
  // refuse in the rename itself (there `from` and `to` briefly name the
  // same file).
  virtual int Rename(const std::string& from, const std::string& to, TRenameMode mode) = 0;
  // Removes a file's name; a folder is refused.
  virtual int Unlink(const std::string& path) = 0;
  // What is at path, following symbolic links; ENOENT when nothing is.
  virtual int GetInfo(const std::string& path, TFileInfo& info) = 0;
  // Creates one folder; EEXIST when anything exists under that name.
  virtual int MakeDirectory(const std::string& path, uint32_t permissions) = 0;

  // A new file without a name in the folder ("." when empty), open for
  // reading and writing, created with
  // permissions (narrowed by the umask). Nothing of it is left behind when
  // the process dies before `LinkTemporary`. EOPNOTSUPP (or EISDIR, EINVAL)
  // when the file system cannot do it; callers then use a named file.
  virtual int OpenTemporary(const std::string& folder, uint32_t permissions, TFileHandle& file) = 0;
  // Gives a file of OpenTemporary the name path, in the folder it was made
  // in; EEXIST when the name exists (it is never replaced).
  virtual int LinkTemporary(TFileHandle file, const std::string& path) = 0;
  // The target of the symbolic link at path as stored (possibly relative to
  // the link's folder); EINVAL when path is no symbolic link.
  virtual int ReadLink(const std::string& path, std::string& target) = 0;
  // Gives back the disk space of [offset, offset + length): the range reads
  // as zeros afterwards and the size stays. EOPNOTSUPP where the file
  // system cannot.
  virtual int PunchHole(TFileHandle file, int64_t offset, int64_t length) = 0;
};

// The operating system's file operations. Lives as long as the process.
TFileOps& PosixFileOps() noexcept;

// The process-wide seam: what every file user takes when it is not handed
// one of its own. PosixFileOps() unless a ScopedFileOps is alive.
TFileOps& FileOps() noexcept;

// Installs ops as the process-wide seam for the guard's life. For tests,
// and not while other threads do file I/O: users already holding a handle
// keep the seam that opened it.
class ScopedFileOps {
public:
  explicit ScopedFileOps(TFileOps& ops) noexcept;
  ~ScopedFileOps();
  ScopedFileOps(const ScopedFileOps&) = delete;
  ScopedFileOps& operator=(const ScopedFileOps&) = delete;

private:
  TFileOps* previous_ = nullptr;
};

// An open handle owned together with the seam it came from; closed (errors
// ignored) when the object goes, or by Close, which reports the error.
class TFile {
public:
  explicit TFile(TFileOps& ops = FileOps()) noexcept : ops_(&ops) {}
  ~TFile() { Close(); }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // Closes a handle still open, then opens path.
  int Open(const std::string& path, TOpenFlags flags, uint32_t permissions = DefaultFilePermissions);
  // As Open, through the seam's OpenBeneath.
  int OpenBeneath(const std::string& folder, const std::string& name, TOpenFlags flags);
  int Close();

  bool IsOpen() const noexcept { return handle_ != InvalidFileHandle; }
  TFileHandle Handle() const noexcept { return handle_; }
  TFileOps& Ops() const noexcept { return *ops_; }

private:
  TFileOps* ops_ = nullptr;
  TFileHandle handle_ = InvalidFileHandle;
};

}  // namespace revurov::platform
