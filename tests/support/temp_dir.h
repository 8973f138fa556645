// A fresh folder under the build tree for one test, removed afterwards, and
// a file seam that fails a chosen step.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/file_io.h"

namespace revurov::testing {

class TempDir {
public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("revurov_test_" + std::to_string(::getpid()) + "_" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder with a trailing "/".
  std::string Dir() const { return path_.string() + "/"; }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream f(Path(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
  size_t Count() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(path_)) ++n;
    return n;
  }

private:
  std::filesystem::path path_;
};

// Fails the k-th call (1-based) of one step with EIO.
class FailingFileOps : public platform::TFileOps {
public:
  enum class Step { Open, Write, Fdatasync, Close, Rename, FsyncDir };
  FailingFileOps(Step step, int k) : step_(step), k_(k) {}

  int Open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_DIRECTORY) == 0 && Hit(Step::Open)) return Fail();
    return TFileOps::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    if (Hit(Step::Write)) return Fail();
    // Short writes exercise the write loop.
    return TFileOps::Write(fd, data, size > 3 ? size / 2 : size);
  }
  int Fdatasync(int fd) override { return Hit(Step::Fdatasync) ? Fail() : TFileOps::Fdatasync(fd); }
  int Fsync(int fd) override { return Hit(Step::FsyncDir) ? Fail() : TFileOps::Fsync(fd); }
  int Close(int fd) override {
    const int rc = TFileOps::Close(fd);
    return Hit(Step::Close) ? Fail() : rc;
  }
  int Rename(const char* from, const char* to, bool noreplace) override {
    return Hit(Step::Rename) ? Fail() : TFileOps::Rename(from, to, noreplace);
  }

private:
  bool Hit(Step s) { return s == step_ && ++calls_ == k_; }
  static int Fail() {
    errno = EIO;
    return -1;
  }
  Step step_;
  int k_;
  int calls_ = 0;
};

}  // namespace revurov::testing
