#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qiv/primitives/json_record.h"
#include "qiv/runtime/runtime.h"
#include "qiv/signed_envelope/envelope_queue.h"
#include "qiv/signed_envelope/file_system.h"
#include "qiv/signed_envelope/queue_error.h"
#include "qiv/signed_envelope/signed_envelope.h"

// Interrupted system calls injected under the POSIX file system. The definitions below take
// the place of the C library's for this test program and pass every call on, except that
// while a function is armed its next calls fail with EINTR before reaching the system, as
// they do when a signal arrives during a blocking call.
namespace interrupt {

enum class Call { kNone, kOpen, kStat, kLstat, kMkdir, kFchmod, kFsync, kLinkat, kRename, kUnlink };

std::atomic<Call> armed{Call::kNone};
std::atomic<int> remaining{0};
std::atomic<int> injected{0};

void Arm(Call call, int count) {
  injected.store(0);
  remaining.store(count);
  armed.store(call);
}

bool Next(Call call) {
  if (armed.load() != call) return false;
  for (int left = remaining.load(); left > 0;) {
    if (remaining.compare_exchange_weak(left, left - 1)) {
      injected.fetch_add(1);
      errno = EINTR;
      return true;
    }
  }
  return false;
}

template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace interrupt

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (interrupt::Next(interrupt::Call::kOpen)) return -1;
  static auto* real = interrupt::Real<int(const char*, int, ...)>("open");
  return real(path, flags, mode);
}
int stat(const char* path, struct stat* st) noexcept {
  if (interrupt::Next(interrupt::Call::kStat)) return -1;
  static auto* real = interrupt::Real<int(const char*, struct stat*)>("stat");
  return real(path, st);
}
int lstat(const char* path, struct stat* st) noexcept {
  if (interrupt::Next(interrupt::Call::kLstat)) return -1;
  static auto* real = interrupt::Real<int(const char*, struct stat*)>("lstat");
  return real(path, st);
}
int mkdir(const char* path, mode_t mode) noexcept {
  if (interrupt::Next(interrupt::Call::kMkdir)) return -1;
  static auto* real = interrupt::Real<int(const char*, mode_t)>("mkdir");
  return real(path, mode);
}
int fchmod(int fd, mode_t mode) noexcept {
  if (interrupt::Next(interrupt::Call::kFchmod)) return -1;
  static auto* real = interrupt::Real<int(int, mode_t)>("fchmod");
  return real(fd, mode);
}
int fsync(int fd) {
  if (interrupt::Next(interrupt::Call::kFsync)) return -1;
  static auto* real = interrupt::Real<int(int)>("fsync");
  return real(fd);
}
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) noexcept {
  if (interrupt::Next(interrupt::Call::kLinkat)) return -1;
  static auto* real = interrupt::Real<int(int, const char*, int, const char*, int)>("linkat");
  return real(from_dir, from, to_dir, to, flags);
}
int rename(const char* from, const char* to) noexcept {
  if (interrupt::Next(interrupt::Call::kRename)) return -1;
  static auto* real = interrupt::Real<int(const char*, const char*)>("rename");
  return real(from, to);
}
int unlink(const char* path) noexcept {
  if (interrupt::Next(interrupt::Call::kUnlink)) return -1;
  static auto* real = interrupt::Real<int(const char*)>("unlink");
  return real(path);
}

}  // extern "C"

namespace qiv::envelope {
namespace {

enum class Step {
  kStat,
  kStatNoFollow,
  kCreateDirAll,
  kOpenDirectory,
  kReadDirectory,
  kReadFile,
  kCreateExclusive,
  kCreateUnnamed,
  kTakeMode,
  kAppend,
  kSync,
  kLink,
  kClose,
  kRename,
  kRemoveFile,
  kSyncDirectory,
};

// Passes every call to the POSIX file system, recording which thread made it (and the path of
// directory syncs), and fails (or throws from) the chosen step instead.
class FaultInjectionFileSystem final : public FileSystem {
 public:
  struct Call {
    Step step;
    std::thread::id thread;
    std::string path;
  };

  // The next `count` calls of `step` return `error` instead of running.
  void FailAt(Step step, IoError error, int count = 1) {
    std::lock_guard lock(mu_);
    faults_.insert_or_assign(step, Fault{error, count, false});
  }
  // The next call of `step` throws, as a job that ends without a result.
  void ThrowAt(Step step) {
    std::lock_guard lock(mu_);
    faults_.insert_or_assign(step, Fault{IoError::JobFailed(), 1, true});
  }
  // Every later call of `step` first runs `action` with the call's path, as another process
  // would act just before the call.
  void Before(Step step, std::function<void(const std::string&)> action) {
    std::lock_guard lock(mu_);
    actions_.insert_or_assign(step, std::move(action));
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  int CountOf(Step step) const {
    std::lock_guard lock(mu_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& c) { return c.step == step; }));
  }

  // The paths of the directory syncs so far, in order.
  std::vector<std::string> SyncedDirectories() const {
    std::vector<std::string> paths;
    for (const Call& call : calls()) {
      if (call.step == Step::kSyncDirectory) paths.push_back(call.path);
    }
    return paths;
  }

  // Returns the injected error for this call of `step`, if any.
  std::optional<IoError> Enter(Step step, std::string path = {}) {
    std::function<void(const std::string&)> action;
    {
      std::lock_guard lock(mu_);
      if (auto it = actions_.find(step); it != actions_.end()) action = it->second;
    }
    if (action) action(path);
    std::lock_guard lock(mu_);
    calls_.push_back(Call{step, std::this_thread::get_id(), std::move(path)});
    auto it = faults_.find(step);
    if (it == faults_.end() || it->second.remaining == 0) return std::nullopt;
    --it->second.remaining;
    if (it->second.throws) throw std::runtime_error("injected");
    return it->second.error;
  }

  Result<void, IoError> Stat(const std::string& path) override {
    if (auto e = Enter(Step::kStat)) return Err(*e);
    return base_.Stat(path);
  }
  Result<void, IoError> StatNoFollow(const std::string& path) override {
    if (auto e = Enter(Step::kStatNoFollow, path)) return Err(*e);
    return base_.StatNoFollow(path);
  }
  Result<std::vector<std::string>, IoError> CreateDirAll(const std::string& path) override {
    if (auto e = Enter(Step::kCreateDirAll)) return Err(*e);
    return base_.CreateDirAll(path);
  }
  Result<std::unique_ptr<DirectoryReader>, IoError> OpenDirectory(
      const std::string& path) override {
    if (auto e = Enter(Step::kOpenDirectory)) return Err(*e);
    auto reader = base_.OpenDirectory(path);
    if (!reader.ok()) return reader;
    return std::unique_ptr<DirectoryReader>(new Reader(this, std::move(*reader)));
  }
  Result<std::string, IoError> ReadFile(const std::string& path) override {
    if (auto e = Enter(Step::kReadFile, path)) return Err(*e);
    return base_.ReadFile(path);
  }
  Result<std::unique_ptr<WritableFile>, IoError> CreateExclusive(
      const std::string& path) override {
    if (auto e = Enter(Step::kCreateExclusive)) return Err(*e);
    auto file = base_.CreateExclusive(path);
    if (!file.ok()) return file;
    return std::unique_ptr<WritableFile>(new File(this, std::move(*file)));
  }
  Result<std::unique_ptr<WritableFile>, IoError> CreateUnnamed(const std::string& dir) override {
    if (auto e = Enter(Step::kCreateUnnamed)) return Err(*e);
    auto file = base_.CreateUnnamed(dir);
    if (!file.ok()) return file;
    return std::unique_ptr<WritableFile>(new File(this, std::move(*file)));
  }
  Result<void, IoError> Rename(const std::string& from, const std::string& to) override {
    if (auto e = Enter(Step::kRename)) return Err(*e);
    return base_.Rename(from, to);
  }
  Result<void, IoError> RemoveFile(const std::string& path) override {
    if (auto e = Enter(Step::kRemoveFile, path)) return Err(*e);
    return base_.RemoveFile(path);
  }
  Result<void, IoError> SyncDirectory(const std::string& path) override {
    if (auto e = Enter(Step::kSyncDirectory, path)) return Err(*e);
    return base_.SyncDirectory(path);
  }

 private:
  struct Fault {
    IoError error;
    int remaining;
    bool throws;
  };

  class Reader final : public DirectoryReader {
   public:
    Reader(FaultInjectionFileSystem* fs, std::unique_ptr<DirectoryReader> base)
        : fs_(fs), base_(std::move(base)) {}
    Result<std::optional<std::string>, IoError> Next() override {
      if (auto e = fs_->Enter(Step::kReadDirectory)) return Err(*e);
      return base_->Next();
    }

   private:
    FaultInjectionFileSystem* fs_;
    std::unique_ptr<DirectoryReader> base_;
  };

  class File final : public WritableFile {
   public:
    File(FaultInjectionFileSystem* fs, std::unique_ptr<WritableFile> base)
        : fs_(fs), base_(std::move(base)) {}
    Result<void, IoError> Append(std::string_view bytes) override {
      if (auto e = fs_->Enter(Step::kAppend)) {
        // A partial write first, so that a torn temporary file is what gets left behind.
        (void)base_->Append(bytes.substr(0, bytes.size() / 2));
        return Err(*e);
      }
      return base_->Append(bytes);
    }
    Result<bool, IoError> TakeModeOf(const std::string& path) override {
      if (auto e = fs_->Enter(Step::kTakeMode)) return Err(*e);
      return base_->TakeModeOf(path);
    }
    Result<void, IoError> Sync() override {
      if (auto e = fs_->Enter(Step::kSync)) return Err(*e);
      return base_->Sync();
    }
    Result<void, IoError> Link(const std::string& path) override {
      if (auto e = fs_->Enter(Step::kLink, path)) return Err(*e);
      return base_->Link(path);
    }
    Result<void, IoError> Close() override {
      if (auto e = fs_->Enter(Step::kClose)) return Err(*e);
      return base_->Close();
    }

   private:
    FaultInjectionFileSystem* fs_;
    std::unique_ptr<WritableFile> base_;
  };

  FileSystem& base_ = FileSystem::Default();
  mutable std::mutex mu_;
  std::map<Step, Fault> faults_;                                         // guarded by mu_
  std::map<Step, std::function<void(const std::string&)>> actions_;     // guarded by mu_
  std::vector<Call> calls_;                                              // guarded by mu_
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Every entry of `dir`, hidden ones included, sorted.
std::vector<std::string> RawEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Names(const std::vector<ItemFile>& files) {
  std::vector<std::string> names;
  for (const ItemFile& f : files) names.push_back(f.name);
  return names;
}

// "<path>: <error text>" of a failed operation, or "ok".
template <typename T>
std::string Outcome(const Result<T, QueueError>& result) {
  if (result.ok()) return "ok";
  return result.error().path() + ": " + result.error().ErrorText();
}

// Runs `body` in a forked child (as an unprivileged user when asked: permission bits bind only
// such a user) and returns what it returned. A child that crashes, or has not ended within
// `limit`, is killed and fails the test, so a hang cannot stall the suite.
std::string OutputOfChild(const std::function<std::string()>& body, bool unprivileged,
                          int limit_ms = 30000) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(fds[0]);
    if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    const std::string out = body();
    const bool written = write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    _exit(written ? 0 : 4);
  }
  close(fds[1]);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) {
      ended = n == 0;
      if (n == 0 || errno != EINTR) break;
      continue;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (!ended) ADD_FAILURE() << "the child did not end in time";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child ended with status " << status;
  }
  return out;
}

// Runs `body` in a forked child and returns its wait status. A child still running after
// `limit_ms` is killed and fails the test, so a hang cannot stall the suite.
int WaitStatusOfChild(const std::function<void()>& body, int limit_ms = 30000) {
  const pid_t child = fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return -1;
  }
  if (child == 0) {
    body();
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the child did not end in time";
      break;
    }
    usleep(5000);
  }
  return status;
}

class QueueFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qiv_queue_fs_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    runtime::RuntimeOptions options;
    options.worker_threads = 1;
    auto built = runtime::Runtime::Build(options);
    ASSERT_TRUE(built.ok());
    runtime_ = std::move(*built);
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  template <typename T>
  T Run(runtime::Task<T> task) {
    return runtime_->BlockOn(std::move(task));
  }

  std::string Path(std::string_view name) const { return root_ + "/" + std::string(name); }

  std::string root_;
  std::unique_ptr<runtime::Runtime> runtime_;
};

TEST(SanitizeQueueId, KeepsAsciiLettersDigitsDashAndUnderscore) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"e1", "e1"},
      {"0190a1b2-7c3d_X", "0190a1b2-7c3d_X"},
      {"a/b", "ab"},
      {"ab", "ab"},
      {"a.b", "ab"},
      {"../x", "x"},
      {"caf\xc3\xa9 1", "caf1"},
      {"", ""},
      {"\xc3\xa9", ""},
      {std::string("a\0b", 3), "ab"},
      {"A-Z_a~z!0\\9", "A-Z_az09"},
  };
  for (const auto& [id, sanitised] : cases) {
    SCOPED_TRACE(id);
    EXPECT_EQ(SanitizeQueueId(id), sanitised);
  }
}

TEST(EnvelopeQueue, PathsJoinWithOneSeparator) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"q", "e1", "q/e1.json"},
      {"q/", "e1", "q/e1.json"},
      {"", "e1", "e1.json"},
      {"/", "a/b", "/ab.json"},
      {"q/../q", "\xc3\xa9", "q/../q/.json"},
  };
  for (const auto& [dir, id, path] : cases) {
    SCOPED_TRACE(dir + " " + id);
    EXPECT_EQ(EnvelopeQueue(dir).ItemPath(id), path);
  }
}

TEST(EnvelopeQueue, DefaultDirComesFromHomeAsGiven) {
  const char* saved = std::getenv("HOME");
  const std::optional<std::string> saved_home = saved ? std::optional<std::string>(saved) : std::nullopt;
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {std::nullopt, ".envelope-queue"},
      {"/home/u", "/home/u/.tolvan/envelope-queue"},
      {"/home/u/", "/home/u/.tolvan/envelope-queue"},
      {"/", "/.tolvan/envelope-queue"},
      {"", ".tolvan/envelope-queue"},
      {"~/x", "~/x/.tolvan/envelope-queue"},
      {"/h/\xff", "/h/\xff/.tolvan/envelope-queue"},
  };
  for (const auto& [home, dir] : cases) {
    SCOPED_TRACE(home.value_or("(unset)"));
    if (home) {
      setenv("HOME", home->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    EXPECT_EQ(EnvelopeQueue::DefaultDir(), dir);
  }
  if (saved_home) {
    setenv("HOME", saved_home->c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST(HasJsonExtension, OnlyAnExactJsonExtensionAfterANonLeadingDot) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"a.json", true},  {"x.y.json", true},   {"..json", true},  {".json", false},
      {"A.JSON", false}, {"a.json.bak", false}, {"a.txt", false},  {"json", false},
      {"a.jsonx", false}, {"a.", false},        {".a.json.tmp-1-2", false},
  };
  for (const auto& [name, kept] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(HasJsonExtension(name), kept);
  }
}

TEST_F(QueueFsTest, PushCreatesParentsAndListReturnsFilesInByteOrder) {
  const EnvelopeQueue queue(Path("a/b/q"));
  for (const std::string id : {"b", "a", "A", "a-b", "a0", "a_b"}) {
    ASSERT_TRUE(Run(queue.PushBytes(id, "{\"id\":\"" + id + "\"}")).ok()) << id;
  }
  for (const std::string name : {"notes.txt", ".json", "A.JSON", "a.json.bak", "x.y.json"}) {
    WriteWhole(Path("a/b/q/" + name), "other");
  }
  auto files = Run(queue.ListItemFiles());
  ASSERT_TRUE(files.ok()) << files.error().ErrorText();
  EXPECT_EQ(Names(*files), (std::vector<std::string>{"A.json", "a-b.json", "a.json", "a0.json",
                                                     "a_b.json", "b.json", "x.y.json"}));
  EXPECT_EQ((*files)[0].path, Path("a/b/q/A.json"));
  EXPECT_EQ((*files)[0].bytes, "{\"id\":\"A\"}");
}

TEST_F(QueueFsTest, PushReplacesTheFileOfIdsThatSanitiseAlike) {
  const EnvelopeQueue queue(root_);
  ASSERT_TRUE(Run(queue.PushBytes("a/b", "first, longer content")).ok());
  ASSERT_TRUE(Run(queue.PushBytes("a.b", "second")).ok());
  EXPECT_EQ(RawEntries(root_), (std::vector<std::string>{"ab.json"}));
  EXPECT_EQ(ReadWhole(Path("ab.json")), "second");
}

TEST_F(QueueFsTest, NewItemFileGetsMode666LessTheUmask) {
  const EnvelopeQueue queue(root_);
  for (const mode_t mask : {022, 077, 0}) {
    SCOPED_TRACE(mask);
    const std::string id = "m" + std::to_string(mask);
    const mode_t saved = umask(mask);
    const auto pushed = Run(queue.PushBytes(id, "x"));
    umask(saved);
    ASSERT_TRUE(pushed.ok());
    struct stat st;
    ASSERT_EQ(stat(Path(id + ".json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
  }
}

// Replacing an item keeps the permission bits of the file it replaces, as rewriting that file
// in place would: an operator's chmod of an item survives a later push of the same id.
TEST_F(QueueFsTest, ReplacedItemFileKeepsItsMode) {
  const EnvelopeQueue queue(root_);
  struct Case {
    mode_t before;
    mode_t after;
  };
  // Set-id and sticky bits are not carried over: rewriting a file clears set-id bits too.
  const std::vector<Case> cases = {
      {0600, 0600}, {0640, 0640}, {0444, 0444}, {0755, 0755}, {0, 0}, {06755, 0755}, {01644, 0644},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    ASSERT_TRUE(Run(queue.PushBytes("e1", "earlier")).ok());
    ASSERT_EQ(chmod(Path("e1.json").c_str(), c.before), 0);
    ASSERT_TRUE(Run(queue.PushBytes("e1", "later")).ok());
    struct stat st;
    ASSERT_EQ(stat(Path("e1.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.after);
    ASSERT_EQ(chmod(Path("e1.json").c_str(), 0644), 0);
    EXPECT_EQ(ReadWhole(Path("e1.json")), "later");
  }
}

// A directory with write and search permission but no read permission takes new files but
// cannot be opened to be synced; the push still succeeds, as writing the file alone would.
TEST_F(QueueFsTest, PushIntoADirectoryThatCannotBeOpenedSucceeds) {
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(Path("q").c_str(), 0700), 0);
  ASSERT_EQ(chmod(Path("q").c_str(), 0333), 0);
  const std::string outcome = OutputOfChild(
      [&] {
        auto built = runtime::Runtime::Build(runtime::RuntimeOptions{});
        if (!built.ok()) return std::string("no runtime");
        return Outcome((*built)->BlockOn(EnvelopeQueue(Path("q")).PushBytes("e1", "x")));
      },
      /*unprivileged=*/true);
  ASSERT_EQ(chmod(Path("q").c_str(), 0700), 0);
  EXPECT_EQ(outcome, "ok");
  EXPECT_EQ(ReadWhole(Path("q/e1.json")), "x");
}

// Creating the queue directory reports the error of the step that failed, not that of a
// status check made after it.
TEST_F(QueueFsTest, DirectoryCreationReportsTheErrorOfTheFailedStep) {
  struct Case {
    std::string dir;  // relative to root_
    bool unprivileged;
    int error;  // reported with the queue directory
  };
  const std::vector<Case> cases = {
      {"dangling", false, EEXIST},    {"dangling/q", false, EEXIST},
      {"plain/", false, EEXIST},      {"plain/q", false, ENOTDIR},
      {"read-only/q", true, EACCES},  {"read-only/q/r", true, EACCES},
  };
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  WriteWhole(Path("plain"), "x");
  ASSERT_EQ(mkdir(Path("read-only").c_str(), 0555), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string dir = Path(c.dir);
    const auto push = [&] {
      auto built = runtime::Runtime::Build(runtime::RuntimeOptions{});
      if (!built.ok()) return std::string("no runtime");
      return Outcome((*built)->BlockOn(EnvelopeQueue(dir).PushBytes("e1", "x")));
    };
    const std::string outcome = c.unprivileged ? OutputOfChild(push, true) : push();
    EXPECT_EQ(outcome, dir + ": " + IoError::FromErrno(c.error).ToString());
  }
  EXPECT_EQ(RawEntries(root_), (std::vector<std::string>{"dangling", "plain", "read-only"}));
  EXPECT_EQ(RawEntries(Path("read-only")), std::vector<std::string>{});
}

// Each directory in which the push made an entry is flushed, outermost first, so that a push
// that returned cannot vanish with a directory it created; then the queue directory itself.
TEST_F(QueueFsTest, CreatingTheDirectorySyncsTheParentOfEveryLevelMade) {
  struct Case {
    std::string dir;                    // relative to root_; "" entries mean root_ itself
    std::vector<std::string> existing;  // made beforehand
    std::vector<std::string> synced;    // relative to root_
  };
  const std::vector<Case> cases = {
      {"a/b/q", {}, {"", "a", "a/b", "a/b/q"}},
      {"c/b/q", {"c"}, {"c", "c/b", "c/b/q"}},
      {"d/q/", {}, {"", "d", "d/q/"}},
      {"e", {"e"}, {"e"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    for (const std::string& made : c.existing) ASSERT_EQ(mkdir(Path(made).c_str(), 0777), 0);
    FaultInjectionFileSystem fs;
    ASSERT_TRUE(Run(EnvelopeQueue(Path(c.dir), fs).PushBytes("e1", "x")).ok());
    std::vector<std::string> synced;
    for (const std::string& dir : c.synced) synced.push_back(dir.empty() ? root_ : Path(dir));
    EXPECT_EQ(fs.SyncedDirectories(), synced);
  }
  // A relative path: its outermost parent is the current directory, named "".
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  FaultInjectionFileSystem fs;
  const bool pushed = Run(EnvelopeQueue("r/q", fs).PushBytes("e1", "x")).ok();
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_TRUE(pushed);
  EXPECT_EQ(fs.SyncedDirectories(), (std::vector<std::string>{"", "r", "r/q"}));
}

std::atomic<int> signals_handled{0};
void CountSignal(int) { signals_handled.fetch_add(1, std::memory_order_relaxed); }

// A signal whose handler was installed without SA_RESTART interrupts a blocking system call
// with EINTR; the file-system steps make such a call again instead of failing. An item that
// is a FIFO keeps the pool thread blocked in open and read while signals keep arriving.
TEST_F(QueueFsTest, SignalsDuringFileSystemCallsDoNotFailTheOperation) {
  ASSERT_EQ(mkdir(Path("q").c_str(), 0777), 0);
  const std::string fifo = Path("q/a.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const std::string item = "{\"queue_id\": \"a\"}";
  const std::string outcome = OutputOfChild(
      [&] {
        struct sigaction action = {};
        action.sa_handler = CountSignal;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGUSR1, &action, nullptr) != 0) return std::string("no handler");
        runtime::RuntimeOptions options;
        options.worker_threads = 1;
        auto built = runtime::Runtime::Build(options);
        if (!built.ok()) return std::string("no runtime");
        runtime::Runtime& rt = **built;
        // Starts the pool thread that the listing's jobs will reuse.
        if (!rt.BlockOn(EnvelopeQueue(Path("warm")).PushBytes("w", "w")).ok()) {
          return std::string("warm-up failed");
        }
        // The runtime's threads, which the signals are sent to one by one: a signal sent to
        // the process would keep landing on whichever thread took the last one.
        std::vector<pid_t> targets;
        for (const std::string& task : RawEntries("/proc/self/task")) {
          if (std::stoi(task) != gettid()) targets.push_back(std::stoi(task));
        }
        std::atomic<bool> stop{false};
        std::thread hammer([&] {
          while (!stop.load()) {
            for (const pid_t tid : targets) tgkill(getpid(), tid, SIGUSR1);
            usleep(100);
          }
        });
        std::thread writer([&] {
          usleep(100000);  // the reader waits in open meanwhile
          int fd = -1;
          while (fd < 0 && !stop.load()) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // ENXIO until the reader opens
            if (fd < 0) usleep(1000);
          }
          if (fd < 0) return;
          fcntl(fd, F_SETFL, 0);
          for (std::size_t at = 0; at < item.size(); at += 7) {
            usleep(20000);  // the reader waits in read meanwhile
            (void)!write(fd, item.data() + at, std::min<std::size_t>(7, item.size() - at));
          }
          close(fd);
        });
        auto listed = rt.BlockOn(EnvelopeQueue(Path("q")).ListItemFiles());
        stop.store(true);
        hammer.join();
        writer.join();
        if (!listed.ok()) return Outcome(listed);
        if (listed->size() != 1 || (*listed)[0].bytes != item) return std::string("wrong item");
        return std::string(signals_handled.load() > 0 ? "ok" : "no signal was handled");
      },
      /*unprivileged=*/false);
  EXPECT_EQ(outcome, "ok");
}

// Every system call that a signal can interrupt is made again, in each operation that uses
// it; the operation succeeds as if nothing had happened.
TEST_F(QueueFsTest, InterruptedSystemCallsAreMadeAgain) {
  using interrupt::Call;
  struct Case {
    const char* label;
    Call call;
    std::function<runtime::Task<Result<void, QueueError>>(const EnvelopeQueue&)> op;
    std::vector<std::string> entries;  // of the queue directory afterwards
  };
  const auto push = [](const EnvelopeQueue& q) { return q.PushBytes("e1", "x"); };
  const auto list = [](const EnvelopeQueue& q) -> runtime::Task<Result<void, QueueError>> {
    auto listed = co_await q.ListItemFiles();
    if (!listed.ok()) co_return Err(listed.error());
    if (Names(*listed) != std::vector<std::string>{"a.json"}) {
      co_return Err(QueueError::Json("wrong listing"));
    }
    co_return Result<void, QueueError>();
  };
  const auto drop = [](const EnvelopeQueue& q) { return q.DropItem("a"); };
  const std::vector<Case> cases = {
      {"mkdir", Call::kMkdir, push, {"e1.json"}},
      {"open", Call::kOpen, push, {"a.json", "e1.json"}},
      {"open for reading", Call::kOpen, list, {"a.json"}},
      {"stat", Call::kStat, list, {"a.json"}},
      {"fchmod",
       Call::kFchmod,
       [](const EnvelopeQueue& q) { return q.PushBytes("a", "y"); },
       {"a.json"}},
      {"fsync", Call::kFsync, push, {"a.json", "e1.json"}},
      {"linkat", Call::kLinkat, push, {"a.json", "e1.json"}},
      {"rename",
       Call::kRename,
       [](const EnvelopeQueue& q) { return q.PushBytes("a", "y"); },
       {"a.json"}},
      {"unlink", Call::kUnlink, drop, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dir = Path(c.label);
    const EnvelopeQueue queue(dir);
    if (c.call != Call::kMkdir) {
      ASSERT_TRUE(Run(queue.PushBytes("a", "x")).ok());
    }
    interrupt::Arm(c.call, 3);
    const std::string outcome = Outcome(Run(c.op(queue)));
    const int injected = interrupt::injected.load();
    interrupt::Arm(Call::kNone, 0);
    EXPECT_EQ(outcome, "ok");
    EXPECT_EQ(injected, 3);
    EXPECT_EQ(RawEntries(dir), c.entries);
  }
}

// The status check that does not follow links tells a vanished entry from one that is still
// there, a dangling symbolic link included, and is made again when a signal interrupts it.
TEST_F(QueueFsTest, StatusWithoutFollowingLinksSeesTheEntryItself) {
  struct Case {
    const char* label;
    std::string path;  // relative to root_
    int interruptions;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {"file", "file", 0, "ok"},
      {"dangling link", "dangling", 0, "ok"},
      {"missing", "missing", 0, IoError::FromErrno(ENOENT).ToString()},
      {"under a file", "file/x", 0, IoError::FromErrno(ENOTDIR).ToString()},
      {"nul", std::string("fi\0le", 5), 0, IoError::NulInPath().ToString()},
      {"interrupted", "dangling", 3, "ok"},
      {"interrupted, missing", "missing", 3, IoError::FromErrno(ENOENT).ToString()},
  };
  WriteWhole(Path("file"), "x");
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    interrupt::Arm(interrupt::Call::kLstat, c.interruptions);
    const auto status = FileSystem::Default().StatNoFollow(Path(c.path));
    const int injected = interrupt::injected.load();
    interrupt::Arm(interrupt::Call::kNone, 0);
    EXPECT_EQ(status.ok() ? "ok" : status.error().ToString(), c.outcome);
    EXPECT_EQ(injected, c.interruptions);
  }
}

TEST_F(QueueFsTest, ListReadsDirectoriesOfManyChunks) {
  const EnvelopeQueue queue(root_);
  std::vector<std::string> expected;
  for (int i = 0; i < 70; ++i) {
    std::string id = "i";
    id += std::to_string(100 + i);
    WriteWhole(Path(id + ".json"), id);
    WriteWhole(Path(id + ".txt"), id);
    expected.push_back(id + ".json");
  }
  auto files = Run(queue.ListItemFiles());
  ASSERT_TRUE(files.ok());
  EXPECT_EQ(Names(*files), expected);
}

TEST_F(QueueFsTest, MissingDirectoryListsEmptyAndDropsNothing) {
  const EnvelopeQueue queue(Path("missing/q"));
  auto files = Run(queue.ListItemFiles());
  ASSERT_TRUE(files.ok());
  EXPECT_TRUE(files->empty());
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_FALSE(Exists(Path("missing")));
}

TEST_F(QueueFsTest, QueuePathThatIsARegularFile) {
  WriteWhole(Path("file"), "not a directory");
  const EnvelopeQueue queue(Path("file"));
  auto pushed = Run(queue.PushBytes("e1", "x"));
  ASSERT_FALSE(pushed.ok());
  EXPECT_EQ(pushed.error(), QueueError::Io(Path("file/e1.json"), IoError::FromErrno(ENOTDIR)));
  EXPECT_EQ(pushed.error().ErrorText(), "Not a directory (os error 20)");
  auto listed = Run(queue.ListItemFiles());
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error(), QueueError::Io(Path("file"), IoError::FromErrno(ENOTDIR)));
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_EQ(ReadWhole(Path("file")), "not a directory");
}

TEST_F(QueueFsTest, EmptyPathMeansTheCurrentDirectory) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  const EnvelopeQueue queue("");
  const auto pushed = Run(queue.PushBytes("e1", "x"));
  const bool written = Exists(Path("e1.json"));
  auto listed = Run(queue.ListItemFiles());
  const auto dropped = Run(queue.DropItem("e1"));
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_TRUE(pushed.ok());
  EXPECT_TRUE(written);
  ASSERT_TRUE(listed.ok());
  EXPECT_TRUE(listed->empty());
  EXPECT_TRUE(dropped.ok());
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{});
}

TEST_F(QueueFsTest, NulInThePath) {
  const std::string dir = Path(std::string("q\0x", 3));
  const EnvelopeQueue queue(dir);
  auto pushed = Run(queue.PushBytes("e1", "x"));
  ASSERT_FALSE(pushed.ok());
  EXPECT_EQ(pushed.error(), QueueError::Io(dir, IoError::NulInPath()));
  EXPECT_EQ(pushed.error().ErrorText(), "file name contained an unexpected NUL byte");
  auto listed = Run(queue.ListItemFiles());
  ASSERT_TRUE(listed.ok());
  EXPECT_TRUE(listed->empty());
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{});
}

TEST_F(QueueFsTest, SubDirectoryNamedLikeAnItemFailsTheList) {
  const EnvelopeQueue queue(root_);
  ASSERT_TRUE(Run(queue.PushBytes("a", "x")).ok());
  ASSERT_EQ(mkdir(Path("x.json").c_str(), 0777), 0);
  auto listed = Run(queue.ListItemFiles());
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error(), QueueError::Io(Path("x.json"), IoError::FromErrno(EISDIR)));
  EXPECT_EQ(listed.error().ErrorText(), "Is a directory (os error 21)");
}

TEST_F(QueueFsTest, DropRemovesTheFileAndSucceedsTwice) {
  const EnvelopeQueue queue(root_);
  ASSERT_TRUE(Run(queue.PushBytes("e1", "x")).ok());
  WriteWhole(Path(".json"), "nameless");  // left by an older writer: no push makes it now
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{".json"});
  EXPECT_TRUE(Run(queue.DropItem("\xc3\xa9")).ok());  // sanitises to nothing: ".json"
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{});
}

TEST_F(QueueFsTest, DropRemovesASymbolicLinkNotItsTarget) {
  const EnvelopeQueue queue(Path("q"));
  ASSERT_TRUE(Run(queue.PushBytes("x", "x")).ok());
  WriteWhole(Path("target"), "kept");
  ASSERT_EQ(symlink(Path("target").c_str(), Path("q/e1.json").c_str()), 0);
  EXPECT_TRUE(Run(queue.DropItem("e1")).ok());
  EXPECT_FALSE(Exists(Path("q/e1.json")));
  EXPECT_EQ(ReadWhole(Path("target")), "kept");
}

// An id that keeps no character would give the file ".json", which no listing returns and
// which every such push would overwrite. Both pushes refuse it before anything on disk is
// looked at, let alone made.
TEST_F(QueueFsTest, PushRefusesAnIdWithoutAUsableCharacter) {
  struct Case {
    std::string id_json;  // the exchange id as it stands in the envelope's JSON
    std::string shown;    // in the message
  };
  const std::vector<Case> cases = {
      {"", R"("")"},
      {"...", R"("...")"},
      {"\xc3\xa9", "\"\xc3\xa9\""},
      {"/", R"("/")"},
      {"\xef\xbc\xa1\xef\xbc\xa2", "\"\xef\xbc\xa1\xef\xbc\xa2\""},  // full-width "AB"
      {R"(\u0001\n\"\\)", R"("\u{1}\n\"\\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    auto envelope = json::ReadRecordFromText<SignedEnvelope>(
        R"({"exchange_id":")" + c.id_json +
        R"(","peer_self":{"class":"body","type":"t","ref":"r"},"direction":"outbound",)"
        R"("request_hash":"h1","our_signature":"s1","opened_at":"2024-03-05T07:08:09Z",)"
        R"("protocol_hint":"tcp","counterparty_identifier":"c1"})");
    ASSERT_TRUE(envelope.ok()) << envelope.error().ToString();
    const std::string refused =
        "queue id " + c.shown +
        " has no character usable in a file name: a queue id needs at least one ASCII letter, "
        "digit, \"-\" or \"_\"";
    FaultInjectionFileSystem fs;
    const EnvelopeQueue queue(Path("q"), fs);
    auto pushed = Run(queue.Push("routing", *envelope));
    auto pushed_bytes = Run(queue.PushBytes(envelope->exchange_id(), "x"));
    ASSERT_FALSE(pushed.ok());
    ASSERT_FALSE(pushed_bytes.ok());
    EXPECT_EQ(pushed.error().ErrorText(), refused);
    EXPECT_EQ(pushed_bytes.error(), pushed.error());
    EXPECT_EQ(fs.calls().size(), 0u);
    EXPECT_FALSE(Exists(Path("q")));
  }
}

// Another drain may remove an item file between the directory read and the file's read. An
// entry that is gone by then is skipped; an entry that is back (a producer pushed the item
// again) is read again, a bounded number of times; any other failure to read an item fails
// the list as it always did, a dangling symbolic link included: its entry is still there.
TEST_F(QueueFsTest, ListSkipsOnlyAnEntryThatIsGone) {
  struct Case {
    const char* label;
    std::function<void(FaultInjectionFileSystem&)> arrange;  // b.json may be replaced first
    std::string outcome;  // "ok: <name>=<bytes>..." or "<path relative to root_>: <error>"
    int reads;            // of item files, in all
  };
  const auto is_b = [](const std::string& path) { return path.ends_with("/b.json"); };
  // Every read of b.json is preceded by a drop, and the status check after the first `pushes`
  // of them by a new push of b.
  const auto drop_and_push_again = [this, is_b](int pushes) {
    return [this, is_b, pushes](FaultInjectionFileSystem& fs) {
      fs.Before(Step::kReadFile, [is_b](const std::string& path) {
        if (is_b(path)) unlink(path.c_str());
      });
      auto pushed = std::make_shared<int>(0);
      fs.Before(Step::kStatNoFollow, [this, is_b, pushes, pushed](const std::string& path) {
        if (is_b(path) && (*pushed)++ < pushes) WriteWhole(Path("b.json"), "b again");
      });
    };
  };
  const std::string enoent = IoError::FromErrno(ENOENT).ToString();
  const std::vector<Case> cases = {
      {"removed before its read", drop_and_push_again(0), "ok: a.json=a c.json=c", 3},
      {"pushed again before the status check",
       [this, is_b](FaultInjectionFileSystem& fs) {
         auto dropped = std::make_shared<bool>(false);
         fs.Before(Step::kReadFile, [is_b, dropped](const std::string& path) {
           if (is_b(path) && !*dropped) *dropped = unlink(path.c_str()) == 0;
         });
         fs.Before(Step::kStatNoFollow, [this, is_b](const std::string& path) {
           if (is_b(path)) WriteWhole(Path("b.json"), "b again");
         });
       },
       "ok: a.json=a b.json=b again c.json=c", 4},
      {"pushed again, then gone for good", drop_and_push_again(1), "ok: a.json=a c.json=c", 4},
      {"gone and back at every status check", drop_and_push_again(1000), "b.json: " + enoent, 9},
      {"dangling link",
       [this](FaultInjectionFileSystem&) {
         unlink(Path("b.json").c_str());
         ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("b.json").c_str()), 0);
       },
       "b.json: " + enoent, 9},
      {"sub-directory",
       [this](FaultInjectionFileSystem&) {
         unlink(Path("b.json").c_str());
         ASSERT_EQ(mkdir(Path("b.json").c_str(), 0777), 0);
       },
       "b.json: " + IoError::FromErrno(EISDIR).ToString(), 2},
      {"not readable",
       [](FaultInjectionFileSystem& fs) { fs.FailAt(Step::kReadFile, IoError::FromErrno(EACCES)); },
       "a.json: " + IoError::FromErrno(EACCES).ToString(), 1},
      {"read says gone once, entry still there",
       [](FaultInjectionFileSystem& fs) { fs.FailAt(Step::kReadFile, IoError::FromErrno(ENOENT)); },
       "ok: a.json=a b.json=b c.json=c", 4},
      {"read says gone every time, entry still there",
       [](FaultInjectionFileSystem& fs) {
         fs.FailAt(Step::kReadFile, IoError::FromErrno(ENOENT), 1000);
       },
       "a.json: " + enoent, 8},
      {"entry status unknown",
       [](FaultInjectionFileSystem& fs) {
         fs.FailAt(Step::kReadFile, IoError::FromErrno(EIO));
         fs.FailAt(Step::kStatNoFollow, IoError::FromErrno(EACCES));
       },
       "a.json: " + IoError::FromErrno(EIO).ToString(), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (const char* name : {"a", "b", "c"}) WriteWhole(Path(std::string(name) + ".json"), name);
    FaultInjectionFileSystem fs;
    c.arrange(fs);
    auto listed = Run(EnvelopeQueue(root_, fs).ListItemFiles());
    std::string outcome;
    if (listed.ok()) {
      outcome = "ok:";
      for (const ItemFile& file : *listed) outcome += " " + file.name + "=" + file.bytes;
    } else {
      outcome = listed.error().path().substr(root_.size() + 1) + ": " + listed.error().ErrorText();
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(fs.CountOf(Step::kReadFile), c.reads);
    ASSERT_EQ(std::system(("rm -rf '" + root_ + "'/*").c_str()), 0);
  }
}

// Another drain may remove the item file between the status check and the removal: the item
// is gone, which is all that dropping it promises. Other failures to remove it still fail.
TEST_F(QueueFsTest, DropSucceedsWhenTheItemIsAlreadyGone) {
  struct Case {
    const char* label;
    std::function<void(FaultInjectionFileSystem&)> arrange;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {"removed before the removal",
       [](FaultInjectionFileSystem& fs) {
         fs.Before(Step::kRemoveFile, [](const std::string& path) { unlink(path.c_str()); });
       },
       "ok"},
      {"not permitted",
       [](FaultInjectionFileSystem& fs) {
         fs.FailAt(Step::kRemoveFile, IoError::FromErrno(EACCES));
       },
       "e1.json: " + IoError::FromErrno(EACCES).ToString()},
      {"read-only file system",
       [](FaultInjectionFileSystem& fs) {
         fs.FailAt(Step::kRemoveFile, IoError::FromErrno(EROFS));
       },
       "e1.json: " + IoError::FromErrno(EROFS).ToString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteWhole(Path("e1.json"), "x");
    FaultInjectionFileSystem fs;
    c.arrange(fs);
    auto dropped = Run(EnvelopeQueue(root_, fs).DropItem("e1"));
    EXPECT_EQ(dropped.ok() ? "ok"
                           : dropped.error().path().substr(root_.size() + 1) + ": " +
                                 dropped.error().ErrorText(),
              c.outcome);
    EXPECT_EQ(fs.CountOf(Step::kRemoveFile), 1);
  }
}

// A file that is not an item fails the list with the reader's message, unchanged, and with
// the file's path beside it, so that the operator knows which file to mend or remove.
TEST_F(QueueFsTest, ListNamesTheFileThatIsNotAnItem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{5: 1}", "key must be a string at line 1 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(message);
    WriteWhole(Path("b.json"), text);
    auto listed = Run(EnvelopeQueue(root_).List());
    ASSERT_FALSE(listed.ok());
    EXPECT_EQ(listed.error().kind(), QueueError::Kind::kJson);
    EXPECT_EQ(listed.error().ErrorText(), message);
    EXPECT_EQ(listed.error().json_message(), message);
    EXPECT_EQ(listed.error().path(), Path("b.json"));
  }
}

TEST_F(QueueFsTest, StatusChecksRunInlineAndEveryOtherStepOnThePool) {
  FaultInjectionFileSystem fs;
  const EnvelopeQueue queue(Path("q"), fs);
  ASSERT_TRUE(Run(queue.PushBytes("e1", "x")).ok());
  ASSERT_TRUE(Run(queue.PushBytes("e2", "x")).ok());
  // e2.json vanishes before its read, so the listing checks whether its entry is gone.
  fs.Before(Step::kReadFile, [](const std::string& path) {
    if (path.ends_with("/e2.json")) unlink(path.c_str());
  });
  ASSERT_TRUE(Run(queue.ListItemFiles()).ok());
  ASSERT_TRUE(Run(queue.DropItem("e1")).ok());
  const auto caller = std::this_thread::get_id();
  int inline_stats = 0;
  for (const auto& call : fs.calls()) {
    if (call.step == Step::kStat || call.step == Step::kStatNoFollow) {
      EXPECT_EQ(call.thread, caller);
      ++inline_stats;
    } else {
      EXPECT_NE(call.thread, caller) << static_cast<int>(call.step);
    }
  }
  // Two pushes' directory, list's directory and vanished entry, drop's item.
  EXPECT_EQ(inline_stats, 5);
}

TEST_F(QueueFsTest, FailedWriteLeavesTheEarlierItemAndNoTemporaryFile) {
  struct Case {
    const char* label;
    bool named;  // the file system makes no unnamed files, so the file is named from the start
    Step step;
    std::optional<IoError> error;  // nullopt: the step throws (a job without result)
    IoError reported;
  };
  const std::vector<Case> cases = {
      {"create", true, Step::kCreateExclusive, IoError::FromErrno(ENOSPC),
       IoError::FromErrno(ENOSPC)},
      {"mode", true, Step::kTakeMode, IoError::FromErrno(EPERM), IoError::FromErrno(EPERM)},
      {"append", true, Step::kAppend, IoError::FromErrno(EIO), IoError::FromErrno(EIO)},
      {"append zero", true, Step::kAppend, IoError::WriteZero(), IoError::WriteZero()},
      {"sync", true, Step::kSync, IoError::FromErrno(EIO), IoError::FromErrno(EIO)},
      {"close", true, Step::kClose, IoError::FromErrno(EDQUOT), IoError::FromErrno(EDQUOT)},
      {"rename", true, Step::kRename, IoError::FromErrno(EXDEV), IoError::FromErrno(EXDEV)},
      {"job throws", true, Step::kAppend, std::nullopt, IoError::JobFailed()},
      {"unnamed mode", false, Step::kTakeMode, IoError::FromErrno(EPERM),
       IoError::FromErrno(EPERM)},
      {"unnamed append", false, Step::kAppend, IoError::FromErrno(EIO), IoError::FromErrno(EIO)},
      {"unnamed sync", false, Step::kSync, IoError::FromErrno(EIO), IoError::FromErrno(EIO)},
      {"unnamed link", false, Step::kLink, IoError::FromErrno(ENOSPC),
       IoError::FromErrno(ENOSPC)},
      {"unnamed rename", false, Step::kRename, IoError::FromErrno(EXDEV),
       IoError::FromErrno(EXDEV)},
      {"unnamed rename job", false, Step::kRename, std::nullopt, IoError::JobFailed()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FaultInjectionFileSystem fs;
    const std::string dir = Path(c.label);
    const EnvelopeQueue queue(dir, fs);
    ASSERT_TRUE(Run(queue.PushBytes("e1", "earlier")).ok());
    if (c.named) fs.FailAt(Step::kCreateUnnamed, IoError::FromErrno(EOPNOTSUPP), 1000);
    if (c.error) {
      fs.FailAt(c.step, *c.error);
    } else {
      fs.ThrowAt(c.step);
    }
    auto pushed = Run(queue.PushBytes("e1", "later bytes"));
    ASSERT_FALSE(pushed.ok());
    EXPECT_EQ(pushed.error(), QueueError::Io(dir + "/e1.json", c.reported));
    EXPECT_EQ(fs.CountOf(Step::kCreateExclusive), c.named ? 1 : 0);
    EXPECT_EQ(RawEntries(dir), std::vector<std::string>{"e1.json"});
    EXPECT_EQ(ReadWhole(dir + "/e1.json"), "earlier");
    auto listed = Run(queue.ListItemFiles());
    ASSERT_TRUE(listed.ok());
    EXPECT_EQ(Names(*listed), std::vector<std::string>{"e1.json"});
  }
}

// The order of a push's steps is what makes it atomic and durable: the bytes are synced
// before the file gets any name, and the directory is synced after the file has the item's
// name. A new item's file is linked to that name directly, so that no temporary name is ever
// made; where the name is taken (a replace, or an item that appears meanwhile) the file gets a
// temporary name and is renamed over the item, whose permission bits it takes first. Where
// the file system makes no unnamed files, or the unnamed file cannot be named (the path it is
// named through is gone: ENOENT), the file is written under its temporary name instead.
TEST_F(QueueFsTest, PushSyncsTheFileBeforeItIsNamedAndTheDirectoryAfter) {
  struct Case {
    const char* label;
    bool named;
    bool unnameable;        // every link of the unnamed file fails with ENOENT
    const char* earlier;    // the item file before the push, if any, with mode 0640
    const char* meanwhile;  // written to the item's name just before the first link, if any,
                            // with mode 0640
    std::vector<Step> steps;
    std::vector<std::string> links;  // the names the file is linked to: "item", "temporary"
    mode_t mode;                     // of the item afterwards; the push runs under umask 077
  };
  const std::vector<Step> named = {Step::kStat,     Step::kCreateUnnamed, Step::kCreateExclusive,
                                   Step::kTakeMode, Step::kAppend,        Step::kSync,
                                   Step::kClose,    Step::kRename,        Step::kSyncDirectory};
  const std::vector<Step> unnamed_written = {Step::kStat, Step::kCreateUnnamed, Step::kTakeMode,
                                             Step::kAppend, Step::kSync, Step::kLink};
  std::vector<Step> fallen_back = unnamed_written;
  fallen_back.insert(fallen_back.end(), named.begin() + 2, named.end());
  const std::vector<Case> cases = {
      {"new",
       false,
       false,
       nullptr,
       nullptr,
       {Step::kStat, Step::kCreateUnnamed, Step::kTakeMode, Step::kAppend, Step::kSync, Step::kLink,
        Step::kSync, Step::kClose, Step::kSyncDirectory},
       {"item"},
       0600},
      {"replace",
       false,
       false,
       "earlier",
       nullptr,
       {Step::kStat, Step::kCreateUnnamed, Step::kTakeMode, Step::kAppend, Step::kSync, Step::kLink,
        Step::kRename, Step::kSync, Step::kClose, Step::kSyncDirectory},
       {"temporary"},
       0640},
      {"appears meanwhile",
       false,
       false,
       nullptr,
       "another push",
       {Step::kStat, Step::kCreateUnnamed, Step::kTakeMode, Step::kAppend, Step::kSync, Step::kLink,
        Step::kTakeMode, Step::kLink, Step::kRename, Step::kSync, Step::kClose,
        Step::kSyncDirectory},
       {"item", "temporary"},
       0640},
      {"named", true, false, nullptr, nullptr, named, {}, 0600},
      {"named replace", true, false, "earlier", nullptr, named, {}, 0640},
      {"unnameable", false, true, nullptr, nullptr, fallen_back, {"item"}, 0600},
      {"unnameable replace", false, true, "earlier", nullptr, fallen_back, {"temporary"}, 0640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dir = Path(c.label);
    const std::string item = dir + "/e1.json";
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    if (c.earlier) {
      WriteWhole(item, c.earlier);
      ASSERT_EQ(chmod(item.c_str(), 0640), 0);
    }
    FaultInjectionFileSystem fs;
    const EnvelopeQueue queue(dir, fs);
    if (c.named) fs.FailAt(Step::kCreateUnnamed, IoError::FromErrno(EOPNOTSUPP));
    if (c.unnameable) fs.FailAt(Step::kLink, IoError::FromErrno(ENOENT), 1000);
    if (c.meanwhile) {
      fs.Before(Step::kLink, [&](const std::string& path) {
        if (path != item || Exists(item)) return;
        WriteWhole(item, c.meanwhile);
        chmod(item.c_str(), 0640);
      });
    }
    const mode_t saved_umask = umask(077);
    const auto pushed = Run(queue.PushBytes("e1", c.label));
    umask(saved_umask);
    ASSERT_TRUE(pushed.ok()) << Outcome(pushed);
    std::vector<Step> steps;
    std::vector<std::string> links;
    for (const auto& call : fs.calls()) {
      steps.push_back(call.step);
      if (call.step != Step::kLink) continue;
      links.push_back(call.path == item                               ? "item"
                      : call.path.starts_with(dir + "/.e1.json.tmp-") ? "temporary"
                                                                      : call.path);
    }
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(links, c.links);
    EXPECT_EQ(fs.SyncedDirectories(), std::vector<std::string>{dir});
    EXPECT_EQ(RawEntries(dir), std::vector<std::string>{"e1.json"});
    EXPECT_EQ(ReadWhole(item), c.label);
    struct stat st;
    ASSERT_EQ(stat(item.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
  }
}

// A process killed during a push leaves the earlier item or the whole new one, and what
// earlier pushes wrote. A new item's file gets no temporary name, so no kill leaves one; only a
// replace killed between the file's two names leaves its temporary file, which listing never
// returns. The child kills itself as its next step begins, where a SIGKILL may land.
TEST_F(QueueFsTest, KilledPushLeavesATemporaryFileOnlyWhenReplacing) {
  struct Case {
    const char* label;
    const char* earlier;  // e1.json before the push, if any
    Step step;            // the child dies just after the `nth` call of `step`
    int nth;
    const char* content;  // of e1.json afterwards; nullptr: none
    int temporary;        // temporary files left
  };
  const std::vector<Case> cases = {
      {"new, after the data sync", nullptr, Step::kSync, 1, nullptr, 0},
      {"new, after the link", nullptr, Step::kLink, 1, "new", 0},
      {"new, after the sync after the link", nullptr, Step::kSync, 2, "new", 0},
      {"replace, after the data sync", "earlier", Step::kSync, 1, "earlier", 0},
      {"replace, after the temporary link", "earlier", Step::kLink, 1, "earlier", 1},
      {"replace, after the rename", "earlier", Step::kRename, 1, "new", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dir = Path(c.label);
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    if (c.earlier) WriteWhole(dir + "/e1.json", c.earlier);
    const int status = WaitStatusOfChild([&] {
      auto built = runtime::Runtime::Build(runtime::RuntimeOptions{});
      if (!built.ok()) _exit(3);
      FaultInjectionFileSystem fs;
      const EnvelopeQueue queue(dir, fs);
      if (!(*built)->BlockOn(queue.PushBytes("e0", "acknowledged")).ok()) _exit(4);
      auto calls = std::make_shared<int>(0);
      auto dying = std::make_shared<bool>(false);
      for (int step = static_cast<int>(Step::kStat); step <= static_cast<int>(Step::kSyncDirectory);
           ++step) {
        fs.Before(static_cast<Step>(step), [&c, step, calls, dying](const std::string&) {
          if (*dying) kill(getpid(), SIGKILL);
          if (static_cast<Step>(step) == c.step && ++*calls == c.nth) *dying = true;
        });
      }
      (void)(*built)->BlockOn(queue.PushBytes("e1", "new"));
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(ReadWhole(dir + "/e0.json"), "acknowledged");
    EXPECT_EQ(Exists(dir + "/e1.json"), c.content != nullptr);
    if (c.content) {
      EXPECT_EQ(ReadWhole(dir + "/e1.json"), c.content);
    }
    const std::vector<std::string> entries = RawEntries(dir);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& n) { return n.starts_with(".e1.json.tmp-"); }),
              c.temporary);
    EXPECT_EQ(entries.size(), 1u + (c.content ? 1 : 0) + c.temporary);
  }
}

TEST_F(QueueFsTest, FailedWriteOfANewItemLeavesNoFile) {
  for (const Step step : {Step::kSync, Step::kLink}) {
    SCOPED_TRACE(static_cast<int>(step));
    FaultInjectionFileSystem fs;
    const EnvelopeQueue queue(root_, fs);
    fs.FailAt(step, IoError::FromErrno(ENOSPC));
    auto pushed = Run(queue.PushBytes("e1", "x"));
    ASSERT_FALSE(pushed.ok());
    EXPECT_EQ(pushed.error(), QueueError::Io(Path("e1.json"), IoError::FromErrno(ENOSPC)));
    EXPECT_EQ(RawEntries(root_), std::vector<std::string>{});
  }
}

TEST_F(QueueFsTest, FailedDirectorySyncIsReportedAfterTheItemIsInPlace) {
  FaultInjectionFileSystem fs;
  const EnvelopeQueue queue(root_, fs);
  fs.FailAt(Step::kSyncDirectory, IoError::FromErrno(EIO));
  auto pushed = Run(queue.PushBytes("e1", "x"));
  ASSERT_FALSE(pushed.ok());
  EXPECT_EQ(pushed.error(), QueueError::Io(Path("e1.json"), IoError::FromErrno(EIO)));
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{"e1.json"});
}

TEST_F(QueueFsTest, TakenTemporaryNameIsSkipped) {
  for (const Step step : {Step::kCreateExclusive, Step::kLink}) {
    SCOPED_TRACE(static_cast<int>(step));
    WriteWhole(Path("e1.json"), "earlier");  // a replace: only it takes a temporary name
    FaultInjectionFileSystem fs;
    const EnvelopeQueue queue(root_, fs);
    if (step == Step::kCreateExclusive) {
      fs.FailAt(Step::kCreateUnnamed, IoError::FromErrno(EOPNOTSUPP));
    }
    fs.FailAt(step, IoError::FromErrno(EEXIST), 3);
    ASSERT_TRUE(Run(queue.PushBytes("e1", "x")).ok());
    EXPECT_EQ(fs.CountOf(step), 4);
    EXPECT_EQ(RawEntries(root_), std::vector<std::string>{"e1.json"});
    EXPECT_EQ(ReadWhole(Path("e1.json")), "x");
  }
}

TEST_F(QueueFsTest, LongIdsStillGetATemporaryName) {
  const EnvelopeQueue queue(root_);
  const std::string id(250, 'a');  // 255 bytes with ".json"
  ASSERT_TRUE(Run(queue.PushBytes(id, "x")).ok());
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{id + ".json"});
  auto too_long = Run(queue.PushBytes(id + "a", "x"));
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error(),
            QueueError::Io(Path(id + "a.json"), IoError::FromErrno(ENAMETOOLONG)));
  EXPECT_EQ(RawEntries(root_), std::vector<std::string>{id + ".json"});
}

TEST_F(QueueFsTest, FailuresOfTheOtherStepsCarryTheirPath) {
  struct Case {
    const char* label;
    Step step;
    bool throws;
    std::function<runtime::Task<Result<void, QueueError>>(const EnvelopeQueue&)> op;
    std::string path;  // relative to the queue directory's parent
    IoError reported;
  };
  const auto push = [](const EnvelopeQueue& q) { return q.PushBytes("e1", "x"); };
  const auto list = [](const EnvelopeQueue& q) -> runtime::Task<Result<void, QueueError>> {
    auto listed = co_await q.ListItemFiles();
    if (!listed.ok()) co_return Err(listed.error());
    co_return Result<void, QueueError>();
  };
  const auto drop = [](const EnvelopeQueue& q) { return q.DropItem("e1"); };
  const std::vector<Case> cases = {
      {"create dir", Step::kCreateDirAll, false, push, "new", IoError::FromErrno(EACCES)},
      {"create dir job", Step::kCreateDirAll, true, push, "new", IoError::JobFailed()},
      // Last of the "new" cases: the directory is made before its parent's sync fails.
      {"create dir sync", Step::kSyncDirectory, false, push, "new", IoError::FromErrno(EIO)},
      {"open dir", Step::kOpenDirectory, false, list, "q", IoError::FromErrno(EACCES)},
      {"open dir job", Step::kOpenDirectory, true, list, "q", IoError::JobFailed()},
      {"read entry", Step::kReadDirectory, false, list, "q", IoError::FromErrno(EIO)},
      {"read file", Step::kReadFile, false, list, "q/a.json", IoError::FromErrno(EIO)},
      {"read file job", Step::kReadFile, true, list, "q/a.json", IoError::JobFailed()},
      {"remove", Step::kRemoveFile, false, drop, "q/e1.json", IoError::FromErrno(EPERM)},
      {"remove job", Step::kRemoveFile, true, drop, "q/e1.json", IoError::JobFailed()},
  };
  ASSERT_EQ(mkdir(Path("q").c_str(), 0777), 0);
  WriteWhole(Path("q/a.json"), "a");
  WriteWhole(Path("q/e1.json"), "e1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FaultInjectionFileSystem fs;
    const EnvelopeQueue queue(c.path == "new" ? Path("new") : Path("q"), fs);
    if (c.throws) {
      fs.ThrowAt(c.step);
    } else {
      fs.FailAt(c.step, c.reported);
    }
    auto result = Run(c.op(queue));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), QueueError::Io(Path(c.path), c.reported));
    EXPECT_EQ(result.error().ErrorText(), c.reported.ToString());
  }
  EXPECT_EQ(RawEntries(Path("q")), (std::vector<std::string>{"a.json", "e1.json"}));
}

TEST_F(QueueFsTest, VisitorErrorStopsTheListingBeforeTheNextRead) {
  FaultInjectionFileSystem fs;
  const EnvelopeQueue queue(root_, fs);
  WriteWhole(Path("a.json"), "not json");
  WriteWhole(Path("b.json"), "{}");
  std::vector<std::string> seen;
  auto listed = Run(queue.VisitItemFiles([&](ItemFile file) -> Result<void, QueueError> {
    seen.push_back(file.name);
    return Err(QueueError::Json("expected value at line 1 column 1"));
  }));
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error(), QueueError::Json("expected value at line 1 column 1"));
  EXPECT_EQ(listed.error().ErrorText(), "expected value at line 1 column 1");
  EXPECT_EQ(seen, std::vector<std::string>{"a.json"});
  EXPECT_EQ(fs.CountOf(Step::kReadFile), 1);
}

TEST(IoError, TextForms) {
  EXPECT_EQ(IoError::FromErrno(ENOENT).ToString(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::NulInPath().ToString(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(IoError::WriteZero().ToString(), "failed to write whole buffer");
  EXPECT_EQ(IoError::JobFailed().ToString(), "background task failed");
  EXPECT_EQ(IoError::FromErrno(ENOENT).code(), ENOENT);
  EXPECT_EQ(IoError::JobFailed().code(), 0);
}

}  // namespace
}  // namespace qiv::envelope
