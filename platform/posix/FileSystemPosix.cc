#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

namespace lumacor {

namespace {

PlatformError PosixError(const std::string& what, const std::string& path, int err) {
  return PlatformError(what + " '" + path + "': " + std::strerror(err));
}

// Closes a descriptor on every exit path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class PosixAppendFile : public AppendFile {
 public:
  PosixAppendFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int64_t Position() override {
    off_t end = ::lseek(fd_.get(), 0, SEEK_END);
    if (end < 0) throw PosixError("lseek", path_, errno);
    return end;
  }

  void Append(const std::string& bytes) override {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      ssize_t n = ::write(fd_.get(), p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw PosixError("write", path_, errno);
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }

 private:
  Fd fd_;
  std::string path_;
};

void FillInfo(const struct stat& st, FileInfo* info) {
  info->is_directory = S_ISDIR(st.st_mode);
  info->size = st.st_size;
  info->mtime_seconds = st.st_mtim.tv_sec;
  info->mtime_nanos = st.st_mtim.tv_nsec;
  info->ctime_seconds = st.st_ctim.tv_sec;
  info->ctime_nanos = st.st_ctim.tv_nsec;
  info->device = st.st_dev;
  info->inode = st.st_ino;
}

// Owner reads and writes, group reads, others nothing.
constexpr mode_t kPrivateMode = 0640;

class PosixFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool Stat(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    FillInfo(st, info);
    return true;
  }

  void CreateDirectories(const std::string& path) override {
    if (path.empty()) throw PlatformError("mkdir: caminho vazio");
    if (DirectoryExists(path)) return;
    size_t pos = path.find_last_of('/');
    if (pos != std::string::npos && pos > 0) {
      CreateDirectories(path.substr(0, pos));
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      throw PosixError("mkdir", path, errno);
    }
    if (!DirectoryExists(path)) throw PosixError("mkdir", path, ENOTDIR);
  }

  std::vector<DirEntry> ListDirectory(const std::string& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw PosixError("opendir", path, errno);
    std::vector<DirEntry> out;
    errno = 0;
    while (struct dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      DirEntry entry;
      entry.name = e->d_name;
      if (e->d_type == DT_DIR) {
        entry.is_directory = true;
      } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        std::string full = path + (path.empty() || path.back() == '/' ? "" : "/") + e->d_name;
        entry.is_directory = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      out.push_back(std::move(entry));
      errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) throw PosixError("readdir", path, err);
    return out;
  }

  std::vector<DirEntryInfo> ListDirectoryWithInfo(const std::string& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw PosixError("opendir", path, errno);
    std::vector<DirEntryInfo> out;
    errno = 0;
    while (struct dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      DirEntryInfo d;
      d.entry.name = e->d_name;
      if (e->d_type == DT_DIR) {
        d.entry.is_directory = true;
      } else {
        // Relative to the open folder: the path's other components are
        // not looked up again for every file.
        struct stat st;
        if (::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0) {
          if (S_ISDIR(st.st_mode)) {
            d.entry.is_directory = true;
          } else {
            d.found = true;
            FillInfo(st, &d.info);
          }
        }
      }
      out.push_back(std::move(d));
      errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) throw PosixError("readdir", path, err);
    return out;
  }

  std::string ReadFile(const std::string& path) override {
    // Non-blocking, so a FIFO named *.xml cannot hang the agent on open.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) throw PosixError("open", path, errno);
    struct stat before, after;
    if (::fstat(fd.get(), &before) != 0) throw PosixError("fstat", path, errno);
    if (S_ISDIR(before.st_mode)) throw PosixError("read", path, EISDIR);
    if (!S_ISREG(before.st_mode)) throw PlatformError("nao e um arquivo comum: '" + path + "'");
    std::string data;
    data.reserve(static_cast<size_t>(before.st_size));
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw PosixError("read", path, errno);
      }
      if (n == 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    if (::fstat(fd.get(), &after) != 0) throw PosixError("fstat", path, errno);
    // POSIX has no share modes: a file that changed under us is still being
    // written, and half a document must never be queued.
    if (before.st_size != after.st_size || before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
        before.st_mtim.tv_nsec != after.st_mtim.tv_nsec ||
        static_cast<int64_t>(data.size()) != after.st_size) {
      throw PlatformError("arquivo em gravacao por outro programa: '" + path + "'");
    }
    return data;
  }

  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kPrivateMode);
    if (fd < 0) throw PosixError("open", path, errno);
    return std::make_unique<PosixAppendFile>(fd, path);
  }

  // The umask can only narrow the mode given here, never widen it.
  void CreatePrivateFile(const std::string& path) override {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateMode));
    if (fd.get() < 0 && errno != EEXIST) throw PosixError("open", path, errno);
  }

  void WriteFileReplace(const std::string& path, const std::string& bytes) override {
    std::string tmp = path + ".tmp";
    {
      Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateMode));
      if (fd.get() < 0) throw PosixError("open", tmp, errno);
      size_t done = 0;
      while (done < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          int err = errno;
          ::unlink(tmp.c_str());
          throw PosixError("write", tmp, err);
        }
        done += static_cast<size_t>(n);
      }
      // Without it a power cut after the rename can leave an empty file.
      if (::fsync(fd.get()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw PosixError("fsync", tmp, err);
      }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
      int err = errno;
      ::unlink(tmp.c_str());
      throw PosixError("rename", tmp + "' -> '" + path, err);
    }
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err != EINVAL && err != ENOSYS) throw PosixError("rename", from + "' -> '" + to, err);
    // File systems without RENAME_NOREPLACE: link() refuses an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) {
      throw PosixError("rename", from + "' -> '" + to, errno);
    }
    if (::unlink(from.c_str()) != 0) throw PosixError("unlink", from, errno);
  }

  void DeleteFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) throw PosixError("unlink", path, errno);
  }

  std::string FullPath(const std::string& path) override {
    std::string joined = path;
    if (joined.empty() || joined[0] != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) throw PosixError("getcwd", path, errno);
      joined = std::string(cwd) + "/" + joined;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= joined.size()) {
      size_t j = joined.find('/', i);
      if (j == std::string::npos) j = joined.size();
      std::string seg = joined.substr(i, j - i);
      if (seg == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!seg.empty() && seg != ".") {
        parts.push_back(seg);
      }
      i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    // Not `out = "/"`: GCC 12 takes that assignment for an overlapping copy
    // (a false -Wrestrict) in optimised builds.
    if (out.empty()) out.push_back('/');
    // A trailing separator names the same folder; keep it as given.
    if (joined.size() > 1 && joined.back() == '/' && out != "/") out += "/";
    return out;
  }

  size_t MaxPath() const override { return PATH_MAX; }
  char Separator() const override { return '/'; }
};

}  // namespace

FileSystem* FileSystem::Default() {
  static PosixFileSystem* fs = new PosixFileSystem;
  return fs;
}

}  // namespace lumacor
