// A file seam for tests that passes every call on to another seam and
// records, in order, the positioned writes (each part of a gathered write
// as one), size changes, space reservations that succeeded and data syncs it
// saw, so that a test can check the order of a flush. `Trace` has every
// write, sync, folder sync, create and unlink across files, as "write
// NAME", "sync NAME", "syncdir", "create NAME" and "unlink NAME" (NAME: the
// last part of the path the file was opened by); and, apart, the access
// hints given.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/file_ops.h"

namespace revurov::testing {

class TRecordingFileOps final : public platform::TFileOps {
public:
  using TFileHandle = platform::TFileHandle;

  enum class TKind { WriteAt, SetSize, Allocate, DataSync };
  struct TEvent {
    TKind Kind;
    int64_t Value;  // the offset of a write, the new size, the end of the
                    // reserved range; 0 for a sync
    bool operator==(const TEvent&) const = default;
  };

  explicit TRecordingFileOps(platform::TFileOps& next) : next_(next) {}

  std::vector<TEvent> Events;
  platform::TOpenFlags LastOpenFlags = platform::TOpenFlags::ofRead;
  int GatheredWrites = 0;
  std::vector<platform::TAccessHint> Hints;
  std::vector<std::string> Trace;

  int Open(const std::string& path, platform::TOpenFlags flags, uint32_t permissions, TFileHandle& file) override {
    LastOpenFlags = flags;
    const int err = next_.Open(path, flags, permissions, file);
    if (err == 0) names_[file] = path.substr(path.find_last_of('/') + 1);
    if (err == 0 && platform::HasFlag(flags, platform::TOpenFlags::ofCreate)) Trace.push_back("create " + names_[file]);
    return err;
  }
  int OpenBeneath(const std::string& folder, const std::string& name, platform::TOpenFlags flags,
                  TFileHandle& file) override {
    LastOpenFlags = flags;
    const int err = next_.OpenBeneath(folder, name, flags, file);
    if (err == 0) names_[file] = name;
    return err;
  }
  int Close(TFileHandle file) override {
    names_.erase(file);
    return next_.Close(file);
  }
  int Read(TFileHandle file, void* buffer, int64_t count, int64_t& done) override {
    return next_.Read(file, buffer, count, done);
  }
  int Write(TFileHandle file, const void* buffer, int64_t count, int64_t& done) override {
    return next_.Write(file, buffer, count, done);
  }
  int ReadAt(TFileHandle file, int64_t offset, void* buffer, int64_t count, int64_t& done) override {
    return next_.ReadAt(file, offset, buffer, count, done);
  }
  int WriteAt(TFileHandle file, int64_t offset, const void* buffer, int64_t count, int64_t& done) override {
    Events.push_back({TKind::WriteAt, offset});
    Trace.push_back("write " + names_[file]);
    return next_.WriteAt(file, offset, buffer, count, done);
  }
  int WriteVectorAt(TFileHandle file, int64_t offset, const platform::TIoPart* parts, int32_t count,
                    int64_t& done) override {
    ++GatheredWrites;
    Trace.push_back("write " + names_[file]);
    int64_t at = offset;
    for (int32_t i = 0; i < count; ++i) {
      Events.push_back({TKind::WriteAt, at});
      at += parts[i].Size;
    }
    return next_.WriteVectorAt(file, offset, parts, count, done);
  }
  int Seek(TFileHandle file, int64_t offset, platform::TSeekOrigin origin, int64_t& position) override {
    return next_.Seek(file, offset, origin, position);
  }
  int GetSize(TFileHandle file, int64_t& size) override { return next_.GetSize(file, size); }
  int SetSize(TFileHandle file, int64_t size) override {
    Events.push_back({TKind::SetSize, size});
    return next_.SetSize(file, size);
  }
  int Allocate(TFileHandle file, int64_t offset, int64_t length) override {
    const int err = next_.Allocate(file, offset, length);
    if (err == 0) Events.push_back({TKind::Allocate, offset + length});
    return err;
  }
  int Advise(TFileHandle file, platform::TAccessHint hint) override {
    Hints.push_back(hint);
    return next_.Advise(file, hint);
  }
  int SetPermissions(TFileHandle file, uint32_t permissions) override {
    return next_.SetPermissions(file, permissions);
  }
  int GetHandleInfo(TFileHandle file, platform::TFileInfo& info) override { return next_.GetHandleInfo(file, info); }
  int DataSync(TFileHandle file) override {
    Events.push_back({TKind::DataSync, 0});
    Trace.push_back("sync " + names_[file]);
    return next_.DataSync(file);
  }
  int Sync(TFileHandle file) override { return next_.Sync(file); }
  int SyncDirectory(const std::string& path) override {
    Trace.push_back("syncdir");
    return next_.SyncDirectory(path);
  }
  int Lock(TFileHandle file, platform::TFileLockKind kind, platform::TFileLockWait wait, int64_t offset,
           int64_t length) override {
    return next_.Lock(file, kind, wait, offset, length);
  }
  int Unlock(TFileHandle file, int64_t offset, int64_t length) override { return next_.Unlock(file, offset, length); }
  int LockConflicts(TFileHandle file, platform::TFileLockKind kind, int64_t offset, int64_t length,
                    bool& conflict) override {
    return next_.LockConflicts(file, kind, offset, length, conflict);
  }
  int Rename(const std::string& from, const std::string& to, platform::TRenameMode mode) override {
    return next_.Rename(from, to, mode);
  }
  int Unlink(const std::string& path) override {
    Trace.push_back("unlink " + path.substr(path.find_last_of('/') + 1));
    return next_.Unlink(path);
  }
  int GetInfo(const std::string& path, platform::TFileInfo& info) override { return next_.GetInfo(path, info); }
  int MakeDirectory(const std::string& path, uint32_t permissions) override {
    return next_.MakeDirectory(path, permissions);
  }
  int OpenTemporary(const std::string& folder, uint32_t permissions, TFileHandle& file) override {
    return next_.OpenTemporary(folder, permissions, file);
  }
  int LinkTemporary(TFileHandle file, const std::string& path) override { return next_.LinkTemporary(file, path); }
  int ReadLink(const std::string& path, std::string& target) override { return next_.ReadLink(path, target); }
  int PunchHole(TFileHandle file, int64_t offset, int64_t length) override {
    return next_.PunchHole(file, offset, length);
  }

private:
  platform::TFileOps& next_;
  std::map<TFileHandle, std::string> names_;
};

}  // namespace revurov::testing
