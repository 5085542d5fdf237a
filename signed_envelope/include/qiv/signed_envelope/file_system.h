// FileSystem: the file-system calls of the envelope spill queue, behind one interface so that
// tests can inject failures at any step.
//
// Paths are byte strings used as given (relative ones against the current directory); one
// holding a NUL byte fails every call with IoError::NulInPath(). Every call blocks; the queue
// makes status checks on its driving thread and runs the others as blocking-pool jobs. A
// system call interrupted by a signal is made again where that is safe, so an interruption
// is never reported as the call's failure.
//
//   FileSystem& fs = FileSystem::Default();
//   auto bytes = fs.ReadFile("q/e1.json");
//
// Implementations must be thread-safe: calls may come from any thread. The objects a call
// returns (DirectoryReader, WritableFile) are used by one thread at a time.
#ifndef QIV_SIGNED_ENVELOPE_FILE_SYSTEM_H_
#define QIV_SIGNED_ENVELOPE_FILE_SYSTEM_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/result.h"
#include "qiv/signed_envelope/queue_error.h"

namespace qiv::envelope {

// The entries of one open directory, "." and ".." left out.
class DirectoryReader {
 public:
  virtual ~DirectoryReader() = default;
  // The next entry's name, or nullopt at the end.
  virtual Result<std::optional<std::string>, IoError> Next() = 0;
};

// A file open for writing; closed (without error report) when destroyed unclosed.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all of `bytes`; IoError::WriteZero() when the system accepts no byte.
  virtual Result<void, IoError> Append(std::string_view bytes) = 0;
  // Gives the file the permission bits of the regular file now at `path` (following
  // symbolic links), when there is one, so that renaming it over that file keeps them as a
  // rewrite in place would; otherwise the creation mode stays. Returns whether there was one.
  virtual Result<bool, IoError> TakeModeOf(const std::string& path) = 0;
  // Flushes the file's data and metadata to stable storage.
  virtual Result<void, IoError> Sync() = 0;
  // Gives a file made by FileSystem::CreateUnnamed the name `path` (a new directory entry in
  // the directory it was made in); fails with EEXIST when the name is taken, and with ENOENT
  // when the directory is gone or the file cannot be named at all (the path it is named
  // through is gone), after which the caller writes a named file instead.
  virtual Result<void, IoError> Link(const std::string& path) = 0;
  virtual Result<void, IoError> Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The POSIX implementation; lives for the whole process.
  static FileSystem& Default();

  // Succeeds when the path's status can be read, following symbolic links.
  virtual Result<void, IoError> Stat(const std::string& path) = 0;
  // Succeeds when the directory entry at `path` exists, without following a symbolic link
  // there (a dangling link succeeds); fails with ENOENT once the entry is gone.
  virtual Result<void, IoError> StatNoFollow(const std::string& path) = 0;
  // Creates `path` and each missing parent with mode 0777 (less the umask). A level that
  // exists as a directory, or appears meanwhile, counts as made; "" succeeds unchanged.
  // Returns the directories in which it created an entry (the parent of every level it made,
  // "" for the current directory), outermost first: the caller flushes them. A failure
  // carries the error of the step that failed.
  virtual Result<std::vector<std::string>, IoError> CreateDirAll(const std::string& path) = 0;
  virtual Result<std::unique_ptr<DirectoryReader>, IoError> OpenDirectory(
      const std::string& path) = 0;
  virtual Result<std::string, IoError> ReadFile(const std::string& path) = 0;
  // Creates a new file for writing with mode 0666 (less the umask); fails with EEXIST when
  // the name is taken.
  virtual Result<std::unique_ptr<WritableFile>, IoError> CreateExclusive(
      const std::string& path) = 0;
  // Creates a file without a name in the directory `dir` ("" means the current directory),
  // for writing, with mode 0666 (less the umask); WritableFile::Link names it. Until it is
  // named it vanishes with its descriptor, so a process that dies meanwhile leaves nothing.
  // Fails where the file system or the process cannot make or name such a file; the caller
  // then makes a named file with CreateExclusive instead.
  virtual Result<std::unique_ptr<WritableFile>, IoError> CreateUnnamed(const std::string& dir) = 0;
  // Renames `from` over `to`, replacing what `to` named.
  virtual Result<void, IoError> Rename(const std::string& from, const std::string& to) = 0;
  // Removes the directory entry itself (a symbolic link, not its target).
  virtual Result<void, IoError> RemoveFile(const std::string& path) = 0;
  // Flushes a directory's entries to stable storage; "" means the current directory. A
  // directory that the process may not open (write and search permission only) is left as it
  // is: nothing more can be done for it, and its new entries are in place all the same.
  virtual Result<void, IoError> SyncDirectory(const std::string& path) = 0;
};

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_FILE_SYSTEM_H_
