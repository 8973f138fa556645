// A file seam for tests: it passes every call on to a real seam and follows
// a fault plan, and it can drop the writes not yet made durable, as a power
// loss would.
//
// - `FailCall(op, k, error)`: the k-th call of op (1-based, counted from
//   construction) fails with error without reaching the real seam, except
//   Close, which still closes (as POSIX close frees the descriptor even
//   when it reports an error). Several plans may be armed at once.
// - `OnOpen(hook)`: every Open and OpenBeneath first calls hook(path or
//   name), before the fault plan is asked, as an intruder racing the open.
// - `OnReadAt(hook)`: every positioned read first calls hook(offset), on
//   the reading thread, before the fault plan is asked; set it before the
//   threads that read start.
// - `PowerLoss()`: every file written through this seam (Write, WriteAt,
//   SetSize, Allocate, an open with ofTruncate) since its last DataSync or Sync gets
//   back the bytes and size it had then; a file that had none, empty. Names
//   are taken as durable at once: creates, renames and unlinks are not
//   undone, and a rename carries the file's unsynced state to its new name.
//   A file without a name (OpenTemporary) that is linked with unsynced
//   writes comes back empty.
//   Call it once the writers are done with their handles.
// - `TrackFolders()`: from then on names are durable only once their folder
//   is synced: a create, unlink or rename not followed by `SyncDirectory` of
//   its folder is undone by `PowerLoss` (an unlinked file comes back with
//   its durable bytes).
// - `PowerLoss(seed)`: as PowerLoss, but of the unsynced 512-byte sectors
//   of each file some are kept at random, and so may its unsynced size.
// - `OnChange(hook)`: before every write, size change, sync, folder sync,
//   create, rename or unlink, hook(op) is called outside the seam's lock;
//   an error it answers fails the call. It may end the process (a cut).
// - Only calls through this object are seen: paths are tracked as spelled,
//   and writes through another seam to the same file are not recorded.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/rtl_exception.h"

namespace revurov::testing {

enum class TFileOp {
  Open, Close, Read, Write, ReadAt, WriteAt, Seek, GetSize, SetSize, SetPermissions,
  DataSync, Sync, SyncDirectory, Lock, Unlock, Rename, Unlink, GetInfo, MakeDirectory,
  GetHandleInfo, OpenTemporary, LinkTemporary, ReadLink, PunchHole, Allocate,
};
inline constexpr size_t kFileOpCount = static_cast<size_t>(TFileOp::Allocate) + 1;

class TFaultFileOps final : public platform::TFileOps {
public:
  using TFileHandle = platform::TFileHandle;
  using TOpenFlags = platform::TOpenFlags;

  explicit TFaultFileOps(platform::TFileOps& real = platform::PosixFileOps()) : real_(real) {}

  void FailCall(TFileOp op, int k, int error = EIO) {
    std::lock_guard<std::mutex> lock(mu_);
    plans_.push_back({op, k, error});
  }

  // Calls of op so far, failed ones included.
  int Calls(TFileOp op) const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[static_cast<size_t>(op)];
  }

  void TrackFolders() {
    std::lock_guard<std::mutex> lock(mu_);
    trackFolders_ = true;
  }
  void OnChange(std::function<int(TFileOp)> hook) { changeHook_ = std::move(hook); }

  void PowerLoss(uint32_t aSeed) {
    std::lock_guard<std::mutex> lock(mu_);
    UndoNames();
    uint32_t state = aSeed * 2654435761u + 1;
    auto coin = [&state] {
      state = state * 1103515245u + 12345u;
      return (state >> 16) & 1;
    };
    for (const auto& [path, bytes] : durable_) {
      std::optional<std::string> now;
      try {
        now = platform::ReadFileBytes(path, real_);
      } catch (const platform::EFOpenError&) {
        continue;
      }
      std::string kept = coin() ? *now : bytes;
      kept.resize(coin() ? now->size() : bytes.size(), '\0');
      for (size_t at = 0; at < kept.size(); at += 512) {
        const size_t n = std::min<size_t>(512, kept.size() - at);
        const std::string& from = coin() ? *now : bytes;
        for (size_t i = 0; i < n; ++i) kept[at + i] = at + i < from.size() ? from[at + i] : '\0';
      }
      platform::TFile file(real_);
      if (file.Open(path, TOpenFlags::ofWrite) != 0) continue;
      int64_t done = 0;
      real_.WriteAt(file.Handle(), 0, kept.data(), static_cast<int64_t>(kept.size()), done);
      real_.SetSize(file.Handle(), static_cast<int64_t>(kept.size()));
      real_.DataSync(file.Handle());
    }
    durable_.clear();
  }

  void PowerLoss() {
    std::lock_guard<std::mutex> lock(mu_);
    UndoNames();
    for (const auto& [path, bytes] : durable_) {
      platform::TFile file(real_);
      if (file.Open(path, TOpenFlags::ofWrite) != 0) continue;  // gone since
      int64_t done = 0;
      real_.WriteAt(file.Handle(), 0, bytes.data(), static_cast<int64_t>(bytes.size()), done);
      real_.SetSize(file.Handle(), static_cast<int64_t>(bytes.size()));
      real_.DataSync(file.Handle());
    }
    durable_.clear();
  }

  void OnOpen(std::function<void(const std::string&)> hook) { openHook_ = std::move(hook); }

  int Open(const std::string& path, TOpenFlags flags, uint32_t permissions, TFileHandle& file) override {
    file = platform::InvalidFileHandle;
    if (openHook_) openHook_(path);
    if (const int err = Fault(TFileOp::Open)) return err;
    if (HasFlag(flags, TOpenFlags::ofCreate))
      if (const int err = Changed(TFileOp::Open)) return err;
    std::lock_guard<std::mutex> lock(mu_);
    platform::TFileInfo info;
    const bool creates = trackFolders_ && HasFlag(flags, TOpenFlags::ofCreate) && real_.GetInfo(path, info) == ENOENT;
    const bool remembered = HasFlag(flags, TOpenFlags::ofTruncate) && Remember(path);
    const int err = real_.Open(path, flags, permissions, file);
    if (err == 0) {
      paths_[file] = path;
      if (creates) names_.push_back({TName::nCreated, path, {}, {}});
    } else if (remembered) {
      durable_.erase(path);
    }
    return err;
  }

  // Counted and failed as Open.
  int OpenBeneath(const std::string& folder, const std::string& name, TOpenFlags flags, TFileHandle& file) override {
    file = platform::InvalidFileHandle;
    if (openHook_) openHook_(name);
    if (const int err = Fault(TFileOp::Open)) return err;
    const std::string path = folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    std::lock_guard<std::mutex> lock(mu_);
    const bool remembered = HasFlag(flags, TOpenFlags::ofTruncate) && Remember(path);
    const int err = real_.OpenBeneath(folder, name, flags, file);
    if (err == 0)
      paths_[file] = path;
    else if (remembered)
      durable_.erase(path);
    return err;
  }

  int Close(TFileHandle file) override {
    const int fault = Fault(TFileOp::Close);
    const int err = real_.Close(file);
    {
      std::lock_guard<std::mutex> lock(mu_);
      paths_.erase(file);
      unnamed_.erase(file);
    }
    return fault != 0 ? fault : err;
  }

  int Read(TFileHandle file, void* buffer, int64_t count, int64_t& done) override {
    done = 0;
    if (const int err = Fault(TFileOp::Read)) return err;
    return real_.Read(file, buffer, count, done);
  }

  int Write(TFileHandle file, const void* buffer, int64_t count, int64_t& done) override {
    done = 0;
    if (const int err = Fault(TFileOp::Write)) return err;
    if (const int err = Changed(TFileOp::Write)) return err;
    Changing(file);
    return real_.Write(file, buffer, count, done);
  }

  void OnReadAt(std::function<void(int64_t)> hook) { readHook_ = std::move(hook); }

  int ReadAt(TFileHandle file, int64_t offset, void* buffer, int64_t count, int64_t& done) override {
    done = 0;
    if (readHook_) readHook_(offset);
    if (const int err = Fault(TFileOp::ReadAt)) return err;
    return real_.ReadAt(file, offset, buffer, count, done);
  }

  int WriteAt(TFileHandle file, int64_t offset, const void* buffer, int64_t count, int64_t& done) override {
    done = 0;
    if (const int err = Fault(TFileOp::WriteAt)) return err;
    if (const int err = Changed(TFileOp::WriteAt)) return err;
    Changing(file);
    return real_.WriteAt(file, offset, buffer, count, done);
  }

  int Seek(TFileHandle file, int64_t offset, platform::TSeekOrigin origin, int64_t& position) override {
    if (const int err = Fault(TFileOp::Seek)) return err;
    return real_.Seek(file, offset, origin, position);
  }

  int GetSize(TFileHandle file, int64_t& size) override {
    if (const int err = Fault(TFileOp::GetSize)) return err;
    return real_.GetSize(file, size);
  }

  int SetSize(TFileHandle file, int64_t size) override {
    if (const int err = Fault(TFileOp::SetSize)) return err;
    if (const int err = Changed(TFileOp::SetSize)) return err;
    Changing(file);
    return real_.SetSize(file, size);
  }

  int Allocate(TFileHandle file, int64_t offset, int64_t length) override {
    if (const int err = Fault(TFileOp::Allocate)) return err;
    if (const int err = Changed(TFileOp::Allocate)) return err;
    Changing(file);
    return real_.Allocate(file, offset, length);
  }

  int Advise(TFileHandle file, platform::TAccessHint hint) override { return real_.Advise(file, hint); }

  int SetPermissions(TFileHandle file, uint32_t permissions) override {
    if (const int err = Fault(TFileOp::SetPermissions)) return err;
    return real_.SetPermissions(file, permissions);
  }

  int DataSync(TFileHandle file) override {
    if (const int err = Fault(TFileOp::DataSync)) return err;
    if (const int err = Changed(TFileOp::DataSync)) return err;
    return Synced(file, real_.DataSync(file));
  }

  int Sync(TFileHandle file) override {
    if (const int err = Fault(TFileOp::Sync)) return err;
    if (const int err = Changed(TFileOp::Sync)) return err;
    return Synced(file, real_.Sync(file));
  }

  int SyncDirectory(const std::string& path) override {
    if (const int err = Fault(TFileOp::SyncDirectory)) return err;
    if (const int err = Changed(TFileOp::SyncDirectory)) return err;
    const int err = real_.SyncDirectory(path);
    if (err == 0) {
      std::lock_guard<std::mutex> lock(mu_);
      const std::string folder = Trimmed(path);
      std::erase_if(names_, [&](const TName& name) { return FolderOf(name.Path) == folder; });
    }
    return err;
  }

  int Lock(TFileHandle file, platform::TFileLockKind kind, platform::TFileLockWait wait, int64_t offset,
           int64_t length) override {
    if (const int err = Fault(TFileOp::Lock)) return err;
    return real_.Lock(file, kind, wait, offset, length);
  }

  int Unlock(TFileHandle file, int64_t offset, int64_t length) override {
    if (const int err = Fault(TFileOp::Unlock)) return err;
    return real_.Unlock(file, offset, length);
  }

  int LockConflicts(TFileHandle file, platform::TFileLockKind kind, int64_t offset, int64_t length,
                    bool& conflict) override {
    return real_.LockConflicts(file, kind, offset, length, conflict);
  }

  int Rename(const std::string& from, const std::string& to, platform::TRenameMode mode) override {
    if (const int err = Fault(TFileOp::Rename)) return err;
    if (const int err = Changed(TFileOp::Rename)) return err;
    std::optional<std::string> replaced;
    if (trackFolders_) replaced = DurableBytes(to);
    const int err = real_.Rename(from, to, mode);
    if (err != 0) return err;
    std::lock_guard<std::mutex> lock(mu_);
    if (trackFolders_) names_.push_back({TName::nRenamed, to, from, replaced});
    // What was unsynced at the replaced target went with it.
    durable_.erase(to);
    if (auto it = durable_.find(from); it != durable_.end()) {
      durable_[to] = std::move(it->second);
      durable_.erase(it);
    }
    for (auto& [handle, path] : paths_)
      if (path == from) path = to;
    return 0;
  }

  int Unlink(const std::string& path) override {
    if (const int err = Fault(TFileOp::Unlink)) return err;
    if (const int err = Changed(TFileOp::Unlink)) return err;
    std::optional<std::string> bytes;
    if (trackFolders_) bytes = DurableBytes(path);
    const int err = real_.Unlink(path);
    if (err != 0) return err;
    std::lock_guard<std::mutex> lock(mu_);
    if (trackFolders_) names_.push_back({TName::nUnlinked, path, {}, bytes});
    durable_.erase(path);
    // Writes through handles still open reach a file without a name.
    std::erase_if(paths_, [&](const auto& entry) { return entry.second == path; });
    return 0;
  }

  int GetInfo(const std::string& path, platform::TFileInfo& info) override {
    if (const int err = Fault(TFileOp::GetInfo)) return err;
    return real_.GetInfo(path, info);
  }

  int MakeDirectory(const std::string& path, uint32_t permissions) override {
    if (const int err = Fault(TFileOp::MakeDirectory)) return err;
    return real_.MakeDirectory(path, permissions);
  }

  int GetHandleInfo(TFileHandle file, platform::TFileInfo& info) override {
    if (const int err = Fault(TFileOp::GetHandleInfo)) return err;
    return real_.GetHandleInfo(file, info);
  }

  int OpenTemporary(const std::string& folder, uint32_t permissions, TFileHandle& file) override {
    file = platform::InvalidFileHandle;
    if (const int err = Fault(TFileOp::OpenTemporary)) return err;
    const int err = real_.OpenTemporary(folder, permissions, file);
    if (err == 0) {
      std::lock_guard<std::mutex> lock(mu_);
      unnamed_[file] = false;
    }
    return err;
  }

  int LinkTemporary(TFileHandle file, const std::string& path) override {
    if (const int err = Fault(TFileOp::LinkTemporary)) return err;
    const int err = real_.LinkTemporary(file, path);
    if (err != 0) return err;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = unnamed_.find(file);
    if (it != unnamed_.end()) {
      if (it->second) durable_[path] = std::string();
      unnamed_.erase(it);
      paths_[file] = path;
    }
    return 0;
  }

  int ReadLink(const std::string& path, std::string& target) override {
    target.clear();
    if (const int err = Fault(TFileOp::ReadLink)) return err;
    return real_.ReadLink(path, target);
  }

  int PunchHole(TFileHandle file, int64_t offset, int64_t length) override {
    if (const int err = Fault(TFileOp::PunchHole)) return err;
    Changing(file);
    return real_.PunchHole(file, offset, length);
  }

private:
  struct TName {
    enum { nCreated, nUnlinked, nRenamed } Kind;
    std::string Path;                  // created, unlinked, or the rename's target
    std::string From;                  // a rename's source
    std::optional<std::string> Bytes;  // durable bytes of what went away
  };

  static std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }
  static std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : Trimmed(path.substr(0, slash + 1));
  }

  // What a power cut would leave of the file now; nothing when none exists.
  std::optional<std::string> DurableBytes(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto it = durable_.find(path); it != durable_.end()) return it->second;
    try {
      return platform::ReadFileBytes(path, real_);
    } catch (const platform::EFOpenError&) {
      return std::nullopt;
    }
  }

  void WriteWhole(const std::string& path, const std::string& bytes) {
    platform::TFile file(real_);
    if (file.Open(path, TOpenFlags::ofWrite | TOpenFlags::ofCreate | TOpenFlags::ofTruncate) != 0) return;
    int64_t done = 0;
    real_.WriteAt(file.Handle(), 0, bytes.data(), static_cast<int64_t>(bytes.size()), done);
    real_.DataSync(file.Handle());
  }

  // Names not made durable go back, newest first. Requires mu_.
  void UndoNames() {
    for (auto it = names_.rbegin(); it != names_.rend(); ++it) {
      switch (it->Kind) {
        case TName::nCreated:
          real_.Unlink(it->Path);
          durable_.erase(it->Path);
          break;
        case TName::nUnlinked:
          if (it->Bytes) WriteWhole(it->Path, *it->Bytes);
          break;
        case TName::nRenamed:
          real_.Rename(it->Path, it->From, platform::TRenameMode::rmReplace);
          if (auto d = durable_.find(it->Path); d != durable_.end()) {
            durable_[it->From] = std::move(d->second);
            durable_.erase(it->Path);
          }
          if (it->Bytes) WriteWhole(it->Path, *it->Bytes);
          break;
      }
    }
    names_.clear();
  }

  int Changed(TFileOp op) { return changeHook_ ? changeHook_(op) : 0; }

  std::function<int(TFileOp)> changeHook_;
  bool trackFolders_ = false;
  std::vector<TName> names_;
  std::function<void(int64_t)> readHook_;
  std::function<void(const std::string&)> openHook_;
  struct Plan {
    TFileOp op;
    int k;
    int error;
  };

  // Counts the call; the planned error when this is a call to fail, else 0.
  int Fault(TFileOp op) {
    std::lock_guard<std::mutex> lock(mu_);
    const int n = ++calls_[static_cast<size_t>(op)];
    for (const Plan& plan : plans_)
      if (plan.op == op && plan.k == n) return plan.error;
    return 0;
  }

  // Keeps the file's bytes as the durable ones unless it has unsynced
  // changes already; true when it took them now. Requires mu_.
  bool Remember(const std::string& path) {
    if (durable_.count(path) != 0) return false;
    std::optional<std::string> bytes;
    try {
      bytes = platform::ReadFileBytes(path, real_);
    } catch (const platform::EFOpenError&) {
      // Not readable (a write-only file): the best guess is nothing.
    }
    durable_[path] = bytes.value_or(std::string());
    return true;
  }

  void Changing(TFileHandle file) {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto it = paths_.find(file); it != paths_.end()) Remember(it->second);
    if (auto it = unnamed_.find(file); it != unnamed_.end()) it->second = true;
  }

  // A sync that failed leaves the durable bytes as they were.
  int Synced(TFileHandle file, int err) {
    if (err != 0) return err;
    std::lock_guard<std::mutex> lock(mu_);
    if (auto it = paths_.find(file); it != paths_.end()) durable_.erase(it->second);
    if (auto it = unnamed_.find(file); it != unnamed_.end()) it->second = false;
    return 0;
  }

  platform::TFileOps& real_;
  mutable std::mutex mu_;
  std::vector<Plan> plans_;
  std::array<int, kFileOpCount> calls_{};
  std::map<TFileHandle, std::string> paths_;     // open handles
  std::map<std::string, std::string> durable_;   // path -> bytes at its last sync
  std::map<TFileHandle, bool> unnamed_;          // files without a name -> unsynced writes
};

}  // namespace revurov::testing
