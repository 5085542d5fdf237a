// The POSIX FileSystem.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qiv/signed_envelope/file_system.h"

namespace qiv::envelope {
namespace {

bool HoldsNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The calling thread's descriptors, through which an unnamed file is named. Not /proc/self/fd:
// that shows the descriptors through the process's first thread, and shows none once that
// thread has ended while others go on (an embedding host may end its main thread early).
constexpr char kDescriptorDir[] = "/proc/thread-self/fd";

IoError LastError() { return IoError::FromErrno(errno); }

// Makes a system call again for as long as a signal interrupts it before it did anything.
// Not for close: the descriptor is gone after an interrupted close, and another thread may
// already have been given its number.
template <typename Call>
auto RetryOnEintr(Call call) {
  auto rc = call();
  while (rc == -1 && errno == EINTR) rc = call();
  return rc;
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  return RetryOnEintr([&] { return open(path, flags, mode); });
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return RetryOnEintr([&] { return stat(path.c_str(), &st); }) == 0 && S_ISDIR(st.st_mode);
}

// The path without its last component, as far as directory creation needs it: trailing
// slashes are ignored, and nullopt means there is no parent ("/").
std::optional<std::string> Parent(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 1 && path[0] == '/') return std::nullopt;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  std::size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return std::string("/");
  return path.substr(0, parent_end);
}

class PosixDirectoryReader final : public DirectoryReader {
 public:
  explicit PosixDirectoryReader(DIR* dir) : dir_(dir) {}
  ~PosixDirectoryReader() override { closedir(dir_); }

  Result<std::optional<std::string>, IoError> Next() override {
    while (true) {
      errno = 0;
      const dirent* entry = readdir(dir_);
      if (entry == nullptr) {
        if (errno != 0) return Err(LastError());
        return std::optional<std::string>();
      }
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      return std::optional<std::string>(std::string(name));
    }
  }

 private:
  DIR* dir_;
};

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) close(fd_);
  }

  Result<void, IoError> Append(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return Err(LastError());
      }
      if (n == 0) return Err(IoError::WriteZero());
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
  }

  Result<bool, IoError> TakeModeOf(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    struct stat st;
    if (RetryOnEintr([&] { return stat(path.c_str(), &st); }) != 0 || !S_ISREG(st.st_mode)) {
      return false;
    }
    // Only the permission bits: a rewrite in place would drop set-id bits anyway.
    if (RetryOnEintr([&] { return fchmod(fd_, st.st_mode & 0777); }) != 0) {
      return Err(LastError());
    }
    return true;
  }

  Result<void, IoError> Sync() override {
    if (RetryOnEintr([&] { return fsync(fd_); }) != 0) return Err(LastError());
    return {};
  }

  Result<void, IoError> Link(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    // The descriptor's entry under /proc names the unnamed file to linkat without the
    // privilege that linking the descriptor itself (AT_EMPTY_PATH) needs.
    std::string entry = kDescriptorDir;
    entry += '/';
    entry += std::to_string(fd_);
    if (RetryOnEintr([&] {
          return linkat(AT_FDCWD, entry.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        }) != 0) {
      return Err(LastError());
    }
    return {};
  }

  Result<void, IoError> Close() override {
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is gone whatever close reports; do not retry it.
    if (close(fd) != 0 && errno != EINTR) return Err(LastError());
    return {};
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  Result<void, IoError> Stat(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    struct stat st;
    if (RetryOnEintr([&] { return stat(path.c_str(), &st); }) != 0) return Err(LastError());
    return {};
  }

  Result<void, IoError> StatNoFollow(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    struct stat st;
    if (RetryOnEintr([&] { return lstat(path.c_str(), &st); }) != 0) return Err(LastError());
    return {};
  }

  Result<std::vector<std::string>, IoError> CreateDirAll(const std::string& path) override {
    std::vector<std::string> parents;
    if (path.empty()) return parents;
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    QIV_RETURN_IF_ERROR(MakeLevels(path, parents));
    return parents;
  }

  Result<std::unique_ptr<DirectoryReader>, IoError> OpenDirectory(
      const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    DIR* dir;
    do {
      dir = opendir(path.c_str());
    } while (dir == nullptr && errno == EINTR);
    if (dir == nullptr) return Err(LastError());
    return std::unique_ptr<DirectoryReader>(new PosixDirectoryReader(dir));
  }

  Result<std::string, IoError> ReadFile(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Err(LastError());
    std::string bytes;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      bytes.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[16384];
    while (true) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        const IoError error = LastError();
        close(fd);
        return Err(error);
      }
      if (n == 0) break;
      bytes.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return bytes;
  }

  Result<std::unique_ptr<WritableFile>, IoError> CreateExclusive(
      const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return Err(LastError());
    return std::unique_ptr<WritableFile>(new PosixWritableFile(fd));
  }

  Result<std::unique_ptr<WritableFile>, IoError> CreateUnnamed(const std::string& dir) override {
    if (HoldsNul(dir)) return Err(IoError::NulInPath());
    // Link names the file through this directory; where it cannot be searched the file could
    // never be given a name.
    if (access(kDescriptorDir, X_OK) != 0) return Err(IoError::FromErrno(EOPNOTSUPP));
    const int fd =
        OpenRetrying(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return Err(LastError());
    return std::unique_ptr<WritableFile>(new PosixWritableFile(fd));
  }

  Result<void, IoError> Rename(const std::string& from, const std::string& to) override {
    if (HoldsNul(from) || HoldsNul(to)) return Err(IoError::NulInPath());
    if (RetryOnEintr([&] { return rename(from.c_str(), to.c_str()); }) != 0) {
      return Err(LastError());
    }
    return {};
  }

  Result<void, IoError> RemoveFile(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    if (RetryOnEintr([&] { return unlink(path.c_str()); }) != 0) return Err(LastError());
    return {};
  }

  Result<void, IoError> SyncDirectory(const std::string& path) override {
    if (HoldsNul(path)) return Err(IoError::NulInPath());
    const int fd =
        OpenRetrying(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      // Without read permission the directory cannot be opened, so not synced either.
      if (errno == EACCES) return {};
      return Err(LastError());
    }
    int rc = RetryOnEintr([&] { return fsync(fd); });
    // Some file systems cannot sync a directory; their entries are as durable as they get.
    if (rc != 0 && (errno == EINVAL || errno == ENOTSUP)) rc = 0;
    const IoError error = LastError();
    close(fd);
    if (rc != 0) return Err(error);
    return {};
  }

 private:
  // Makes `path` after its missing parents, adding the parent of each level made to
  // `parents`. Each failure is reported with the error of the call that failed: a status
  // check made afterwards must not stand in for it.
  static Result<void, IoError> MakeLevels(const std::string& path,
                                          std::vector<std::string>& parents) {
    int error = MakeDirectory(path);
    if (error == ENOENT) {
      const std::optional<std::string> parent = Parent(path);
      if (!parent) return Err(IoError::FromErrno(ENOENT));
      QIV_RETURN_IF_ERROR(MakeLevels(*parent, parents));
      error = MakeDirectory(path);
    }
    if (error == 0) {
      parents.push_back(Parent(path).value_or("/"));
      return {};
    }
    // A directory already there, or made meanwhile by someone else, counts as made; its
    // entry is the business of whoever made it.
    if (IsDirectory(path)) return {};
    return Err(IoError::FromErrno(error));
  }

  // 0, or the error number of the failed mkdir.
  static int MakeDirectory(const std::string& path) {
    return RetryOnEintr([&] { return mkdir(path.c_str(), 0777); }) == 0 ? 0 : errno;
  }
};

}  // namespace

FileSystem& FileSystem::Default() {
  static PosixFileSystem* const fs = new PosixFileSystem();
  return *fs;
}

}  // namespace qiv::envelope
