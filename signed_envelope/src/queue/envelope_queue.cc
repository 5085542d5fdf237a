#include "qiv/signed_envelope/envelope_queue.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

#include "qiv/runtime/runtime.h"

namespace qiv::envelope {
namespace {

using runtime::Blocking;
using runtime::Task;

constexpr std::size_t kEntriesPerJob = 32;
constexpr std::size_t kMaxNameBytes = 255;
// Reads of an item file that vanishes and is back at each status check before its listing
// fails; each round needs a drop and a new push of the item inside a window of microseconds.
constexpr int kReadsOfAReappearingFile = 8;

// Reads up to kEntriesPerJob names; `more` is false once the end was seen.
struct DirectoryChunk {
  std::vector<std::string> names;
  bool more = false;
};

Result<DirectoryChunk, IoError> ReadChunk(DirectoryReader& reader) {
  DirectoryChunk chunk;
  while (chunk.names.size() < kEntriesPerJob) {
    auto next = reader.Next();
    if (!next.ok()) return Err(next.error());
    if (!next->has_value()) return chunk;
    chunk.names.push_back(std::move(**next));
  }
  chunk.more = true;
  return chunk;
}

struct OpenedDirectory {
  std::unique_ptr<DirectoryReader> reader;
  DirectoryChunk first;
};

// A name for the temporary copy of `file_name` that is unique among this process's threads
// (counter) and among processes (pid), starts with "." and never has the extension "json",
// so listing skips it. The item name is shortened when needed to stay within NAME_MAX.
std::string TemporaryName(std::string_view file_name) {
  static std::atomic<unsigned long long> counter{0};
  std::string suffix = ".tmp-";
  suffix += std::to_string(getpid());
  suffix += '-';
  suffix += std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  const std::size_t room = kMaxNameBytes - 1 - suffix.size();
  // Appended piece by piece into one buffer: g++ 12 misreads the inlined copies of a chain of
  // operator+ on temporaries as overlapping (-Wrestrict).
  std::string name;
  name.reserve(1 + std::min(room, file_name.size()) + suffix.size());
  name += '.';
  name += file_name.substr(0, std::min(room, file_name.size()));
  name += suffix;
  return name;
}

// Removes a temporary name on every road out before the rename, exceptions included.
class TemporaryGuard {
 public:
  TemporaryGuard(FileSystem& fs, const std::string& path) : fs_(fs), path_(path) {}
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;
  ~TemporaryGuard() {
    if (released_) return;
    try {
      (void)fs_.RemoveFile(path_);  // best effort; the error to report is the first one
    } catch (...) {
      // Leaving a temporary file behind is harmless: listing never returns it.
    }
  }
  void Release() { released_ = true; }

 private:
  FileSystem& fs_;
  const std::string& path_;
  bool released_ = false;
};

// Whether a failed link of an unnamed file says that it cannot be named at all (the path it is
// named through is gone, as when /proc is unmounted or no longer shows the descriptor),
// rather than that the item's name or directory is unusable. The file is then written again
// under a temporary name, which needs no such path; a directory that is gone fails that
// write with the same error.
bool CannotBeNamed(const IoError& error) { return error.code() == ENOENT; }

// An id that keeps no character would be written to ".json": listing never returns that file
// and every such push would overwrite it, so the item would be lost while the push succeeded.
Result<void, QueueError> CheckUsableId(std::string_view queue_id) {
  if (SanitizeQueueId(queue_id).empty()) return Err(QueueError::UnusableId(std::string(queue_id)));
  return {};
}

}  // namespace

std::string SanitizeQueueId(std::string_view queue_id) {
  std::string out;
  out.reserve(queue_id.size());
  for (const char c : queue_id) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
        c == '_') {
      out.push_back(c);
    }
  }
  return out;
}

std::string AppendPathComponent(std::string path, std::string_view component) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(component);
  return path;
}

bool HasJsonExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "json";
}

Result<void, IoError> EnvelopeQueue::TakeTemporaryName(
    std::string_view file_name, std::string& temp_path,
    const std::function<Result<void, IoError>(const std::string&)>& take) const {
  // A name can only be taken by a file left behind by an earlier process with our pid.
  for (int attempt = 0;; ++attempt) {
    temp_path = AppendPathComponent(dir_, TemporaryName(file_name));
    auto taken = take(temp_path);
    if (taken.ok()) return {};
    if (taken.error().code() != EEXIST || attempt == 100) return taken;
  }
}

std::string EnvelopeQueue::DefaultDir() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return ".envelope-queue";
  return AppendPathComponent(AppendPathComponent(home, ".tolvan"), "envelope-queue");
}

std::string EnvelopeQueue::ItemPath(std::string_view queue_id) const {
  return AppendPathComponent(dir_, SanitizeQueueId(queue_id) + ".json");
}

Task<Result<void, QueueError>> EnvelopeQueue::EnsureDir() const {
  if (fs_->Stat(dir_).ok()) co_return Result<void, QueueError>();
  auto created = co_await Blocking([this]() -> Result<void, IoError> {
    auto parents = fs_->CreateDirAll(dir_);
    if (!parents.ok()) return Err(parents.error());
    // A directory made here survives a power loss only once the entry naming it is flushed,
    // and the items pushed into it depend on that.
    for (const std::string& parent : *parents) QIV_RETURN_IF_ERROR(fs_->SyncDirectory(parent));
    return {};
  });
  if (!created.ok()) co_return Err(QueueError::Io(dir_, IoError::JobFailed()));
  if (!created->ok()) co_return Err(QueueError::Io(dir_, created->error()));
  co_return Result<void, QueueError>();
}

Result<void, IoError> EnvelopeQueue::WriteReplacing(std::string_view file_name,
                                                    const std::string& path,
                                                    std::string_view bytes) const {
  // Written without a name, the file gets one only once it is synced, so a process killed
  // while writing or syncing leaves nothing behind. Where the file system cannot make such a
  // file, the file is written under its temporary name from the start.
  auto unnamed = fs_->CreateUnnamed(dir_);
  if (!unnamed.ok()) return WriteNamed(file_name, path, bytes);
  std::unique_ptr<WritableFile> file = std::move(*unnamed);
  auto replacing = file->TakeModeOf(path);  // true when an item file is there
  if (!replacing.ok()) return Err(replacing.error());
  QIV_RETURN_IF_ERROR(file->Append(bytes));
  QIV_RETURN_IF_ERROR(file->Sync());
  // A new item takes its own name at once, so a process killed from here on leaves either no
  // item or the whole new one, and no temporary file. A link never replaces: where the item
  // exists, or appears meanwhile (EEXIST), the file takes a temporary name that is renamed
  // over it. A file that cannot be named at all is written again under a temporary name; it
  // is closed first, so that its blocks are free for the new one.
  bool named = false;
  if (!*replacing) {
    auto linked = file->Link(path);
    named = linked.ok();
    if (!named && CannotBeNamed(linked.error())) {
      file.reset();
      return WriteNamed(file_name, path, bytes);
    }
    if (!named && linked.error().code() != EEXIST) return linked;
    // The item that appeared since the first look is replaced below and, as any replaced item
    // does, keeps its permission bits.
    if (!named) QIV_RETURN_IF_ERROR(file->TakeModeOf(path));
  }
  if (!named) {
    std::string temp_path;
    auto taken = TakeTemporaryName(
        file_name, temp_path, [&file](const std::string& name) { return file->Link(name); });
    if (!taken.ok() && CannotBeNamed(taken.error())) {
      file.reset();
      return WriteNamed(file_name, path, bytes);
    }
    if (!taken.ok()) return taken;
    TemporaryGuard guard(*fs_, temp_path);
    QIV_RETURN_IF_ERROR(fs_->Rename(temp_path, path));
    guard.Release();
  }
  // The link count changed after the data was synced; flush the file once more, then the
  // directory that holds its new entry.
  QIV_RETURN_IF_ERROR(file->Sync());
  QIV_RETURN_IF_ERROR(file->Close());
  return fs_->SyncDirectory(dir_);
}

Result<void, IoError> EnvelopeQueue::WriteNamed(std::string_view file_name,
                                                const std::string& path,
                                                std::string_view bytes) const {
  std::string temp_path;
  std::unique_ptr<WritableFile> file;
  QIV_RETURN_IF_ERROR(TakeTemporaryName(file_name, temp_path, [&](const std::string& name) {
    auto created = fs_->CreateExclusive(name);
    if (!created.ok()) return Result<void, IoError>(Err(created.error()));
    file = std::move(*created);
    return Result<void, IoError>();
  }));
  TemporaryGuard guard(*fs_, temp_path);
  if (auto mode = file->TakeModeOf(path); !mode.ok()) return Err(mode.error());
  QIV_RETURN_IF_ERROR(file->Append(bytes));
  QIV_RETURN_IF_ERROR(file->Sync());
  QIV_RETURN_IF_ERROR(file->Close());
  QIV_RETURN_IF_ERROR(fs_->Rename(temp_path, path));
  guard.Release();
  // The new item is in place; make its directory entry durable too.
  return fs_->SyncDirectory(dir_);
}

Task<Result<void, QueueError>> EnvelopeQueue::WriteItem(std::string_view queue_id,
                                                        std::string bytes) const {
  if (auto usable = CheckUsableId(queue_id); !usable.ok()) co_return usable;
  const std::string file_name = SanitizeQueueId(queue_id) + ".json";
  const std::string path = AppendPathComponent(dir_, file_name);
  auto written =
      co_await Blocking([&] { return WriteReplacing(file_name, path, bytes); });
  if (!written.ok()) co_return Err(QueueError::Io(path, IoError::JobFailed()));
  if (!written->ok()) co_return Err(QueueError::Io(path, written->error()));
  co_return Result<void, QueueError>();
}

Task<Result<void, QueueError>> EnvelopeQueue::PushBytes(std::string_view queue_id,
                                                        std::string bytes) const {
  // Before the directory step: a refused push leaves no trace on disk.
  if (auto usable = CheckUsableId(queue_id); !usable.ok()) co_return usable;
  auto ensured = co_await EnsureDir();
  if (!ensured.ok()) co_return ensured;
  co_return co_await WriteItem(queue_id, std::move(bytes));
}

Task<Result<void, QueueError>> EnvelopeQueue::Push(std::string_view pair_class,
                                                   const SignedEnvelope& envelope) const {
  if (auto usable = CheckUsableId(envelope.exchange_id()); !usable.ok()) co_return usable;
  auto ensured = co_await EnsureDir();
  if (!ensured.ok()) co_return ensured;
  const QueuedItem item = QueuedItem::ForPush(pair_class, envelope);
  co_return co_await WriteItem(item.queue_id(), item.Serialize());
}

Task<Result<void, QueueError>> EnvelopeQueue::VisitItemFiles(ItemFileVisitor visit) const {
  if (!fs_->Stat(dir_).ok()) co_return Result<void, QueueError>();

  const auto dir_error = [this](const auto& job) -> QueueError {
    return QueueError::Io(dir_, job.ok() ? job->error() : IoError::JobFailed());
  };
  auto opened = co_await Blocking([this]() -> Result<OpenedDirectory, IoError> {
    auto reader = fs_->OpenDirectory(dir_);
    if (!reader.ok()) return Err(reader.error());
    auto first = ReadChunk(**reader);
    if (!first.ok()) return Err(first.error());
    return OpenedDirectory{std::move(*reader), std::move(*first)};
  });
  if (!opened.ok() || !opened->ok()) co_return Err(dir_error(opened));

  std::vector<std::string> names;
  DirectoryChunk chunk = std::move((*opened)->first);
  std::unique_ptr<DirectoryReader> reader = std::move((*opened)->reader);
  while (true) {
    for (std::string& name : chunk.names) {
      if (HasJsonExtension(name)) names.push_back(std::move(name));
    }
    if (!chunk.more) break;
    auto next = co_await Blocking([&reader] { return ReadChunk(*reader); });
    if (!next.ok() || !next->ok()) co_return Err(dir_error(next));
    chunk = std::move(**next);
  }
  reader.reset();

  // All names lie in one directory, so ordering the names orders the paths.
  std::stable_sort(names.begin(), names.end());
  for (std::string& name : names) {
    std::string path = AppendPathComponent(dir_, name);
    auto bytes = co_await ReadListedFile(path);
    if (!bytes.ok()) co_return Err(std::move(bytes).error());
    if (!bytes->has_value()) continue;
    auto visited = visit(ItemFile{std::move(name), std::move(path), std::move(**bytes)});
    if (!visited.ok()) co_return visited;
  }
  co_return Result<void, QueueError>();
}

Task<Result<std::optional<std::string>, QueueError>> EnvelopeQueue::ReadListedFile(
    const std::string& path) const {
  for (int read = 1;; ++read) {
    auto bytes = co_await Blocking([&] { return fs_->ReadFile(path); });
    if (!bytes.ok()) co_return Err(QueueError::Io(path, IoError::JobFailed()));
    if (bytes->ok()) co_return std::optional<std::string>(std::move(**bytes));
    // Another drain may have removed the item since the directory was read: an entry that is
    // gone is no longer part of the queue.
    const auto entry = fs_->StatNoFollow(path);
    if (!entry.ok() && entry.error() == IoError::FromErrno(ENOENT)) {
      co_return std::optional<std::string>();
    }
    // An entry that is there although the read found none was pushed again in between (a
    // drain dropped it, a producer pushed the same id anew): it is read again. A dangling
    // symbolic link looks just the same every time, so after a few reads the read's error is
    // reported, as is any other failure of an entry that is still there.
    if (bytes->error() != IoError::FromErrno(ENOENT) || read == kReadsOfAReappearingFile) {
      co_return Err(QueueError::Io(path, bytes->error()));
    }
  }
}

Task<Result<std::vector<ItemFile>, QueueError>> EnvelopeQueue::ListItemFiles() const {
  std::vector<ItemFile> files;
  auto listed = co_await VisitItemFiles([&files](ItemFile file) -> Result<void, QueueError> {
    files.push_back(std::move(file));
    return {};
  });
  if (!listed.ok()) co_return Err(std::move(listed).error());
  co_return files;
}

Task<Result<std::vector<QueuedItem>, QueueError>> EnvelopeQueue::List() const {
  std::vector<QueuedItem> items;
  auto listed = co_await VisitItemFiles([&items](ItemFile file) -> Result<void, QueueError> {
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.bytes.data());
    auto item = QueuedItem::Deserialize(std::span(data, file.bytes.size()));
    if (!item.ok()) return Err(QueueError::Json(item.error().ToString(), std::move(file.path)));
    items.push_back(std::move(*item));
    return {};
  });
  if (!listed.ok()) co_return Err(std::move(listed).error());
  co_return items;
}

Task<Result<void, QueueError>> EnvelopeQueue::DropItem(std::string_view queue_id) const {
  const std::string path = ItemPath(queue_id);
  if (!fs_->Stat(path).ok()) co_return Result<void, QueueError>();
  auto removed = co_await Blocking([&] { return fs_->RemoveFile(path); });
  if (!removed.ok()) co_return Err(QueueError::Io(path, IoError::JobFailed()));
  // Another drain may have removed the entry since the status check: the item is gone, which
  // is all that dropping it promises.
  if (!removed->ok() && removed->error() != IoError::FromErrno(ENOENT)) {
    co_return Err(QueueError::Io(path, removed->error()));
  }
  co_return Result<void, QueueError>();
}

}  // namespace qiv::envelope
