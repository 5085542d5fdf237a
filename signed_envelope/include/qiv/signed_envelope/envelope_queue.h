// EnvelopeQueue: the envelope spill queue's directory and its file-level operations.
//
// The queue is a directory holding one file per item, <dir>/<sanitised queue_id>.json, and
// nothing else of its own: no index, lock or cache. The value holds only the directory path
// (bytes, used as given) and the FileSystem it works through. Its operations are Tasks
// (qiv/runtime/task.h), driven to their end by Runtime::BlockOn: status checks run on the
// driving thread, every other file-system step is one job on the runtime's blocking pool.
//
//   qiv::envelope::EnvelopeQueue queue(qiv::envelope::EnvelopeQueue::DefaultDir());
//   qiv::runtime::Runtime& rt = qiv::runtime::BindingRuntime();
//   auto pushed = rt.BlockOn(queue.Push("routing", envelope));
//   auto items = rt.BlockOn(queue.List());   // QueuedItems, sorted by file name
//   auto dropped = rt.BlockOn(queue.DropItem(items->front().queue_id()));
//
// An item file is replaced whole: the bytes go to a file without a name in the queue
// directory (or, where the file system cannot make one, a file under a temporary name that
// listing never returns), which takes the permission bits of the file it replaces (a new item
// gets 0666 less the umask) and is synced; only then is it named: the file of a new item
// gets the item's name directly, one that replaces an item (the name is taken, or is taken
// meanwhile: the file then takes that item's permission bits first) gets its temporary name
// and is renamed over the item's name; a file that cannot be named at all (ENOENT) is written
// again under its temporary name. Then the directory is synced. A push that creates the
// directory also syncs the directory holding each level it made. A failed push leaves the
// earlier item, or none, in place.
//
// Immutable; its operations may run from several threads at once (the FileSystem must be
// thread-safe). A task borrows the queue and its arguments until it ends.
#ifndef QIV_SIGNED_ENVELOPE_ENVELOPE_QUEUE_H_
#define QIV_SIGNED_ENVELOPE_ENVELOPE_QUEUE_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/result.h"
#include "qiv/runtime/task.h"
#include "qiv/signed_envelope/file_system.h"
#include "qiv/signed_envelope/queue_error.h"
#include "qiv/signed_envelope/queued_item.h"
#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv::envelope {

// The characters of `queue_id` that are ASCII letters, digits, "-" or "_", in order; all
// others are dropped ("a/b" and "a.b" both give "ab"; "" and "é" give "", which a push
// refuses).
std::string SanitizeQueueId(std::string_view queue_id);

// `path` followed by `component`, with a "/" between them only when `path` is not empty and
// does not already end in "/".
std::string AppendPathComponent(std::string path, std::string_view component);

// True when `name` has the extension "json": its last "." is not its first character and is
// followed by exactly "json" (so "a.json" and "..json", not ".json" or "a.JSON").
bool HasJsonExtension(std::string_view name);

// One item file as listing read it.
struct ItemFile {
  std::string name;   // the entry's name in the queue directory
  std::string path;   // the queue directory joined with `name`
  std::string bytes;  // the whole file

  bool operator==(const ItemFile&) const = default;
};

class EnvelopeQueue {
 public:
  // Binds to `dir` without touching the disk.
  explicit EnvelopeQueue(std::string dir, FileSystem& fs = FileSystem::Default())
      : dir_(std::move(dir)), fs_(&fs) {}

  // $HOME/.tolvan/envelope-queue from HOME's raw bytes at the time of the call (an empty HOME
  // gives the relative .tolvan/envelope-queue), or the relative .envelope-queue when HOME is
  // unset.
  static std::string DefaultDir();

  const std::string& dir() const { return dir_; }

  // dir() joined with SanitizeQueueId(queue_id) + ".json".
  std::string ItemPath(std::string_view queue_id) const;

  // The directory step of a push: when the status of dir() cannot be read, for any reason,
  // creates it with its parents as one pool job. A regular file at dir() passes. Failure:
  // QueueError::Io with dir().
  runtime::Task<Result<void, QueueError>> EnsureDir() const;

  // Writes `bytes` as the item file of `queue_id`, replacing any earlier one, as one pool job.
  // An id that keeps no character after sanitising is refused first with
  // QueueError::UnusableId(queue_id), nothing done. Failure at any step: QueueError::Io with
  // the item path; the earlier file stays (except after a failed sync that follows the naming,
  // when the new file is already in place).
  runtime::Task<Result<void, QueueError>> WriteItem(std::string_view queue_id,
                                                     std::string bytes) const;

  // EnsureDir(), then WriteItem(queue_id, bytes); an unusable id is refused before EnsureDir().
  runtime::Task<Result<void, QueueError>> PushBytes(std::string_view queue_id,
                                                     std::string bytes) const;

  // Called for each item file in order; an error ends the listing with that error.
  using ItemFileVisitor = std::function<Result<void, QueueError>(ItemFile file)>;

  // Lists the item files in byte order of their names and hands each one to `visit` right
  // after it is read, before the next file is read. When the status of dir() cannot be read
  // the listing is empty. The directory is read in chunks of 32 entries per pool job, each
  // file in one job. A file that cannot be read is skipped when its entry is gone by then (a
  // status check that does not follow links, on the driving thread, says ENOENT): another
  // drain removed it. A read that says ENOENT while the entry is there is made again (the item
  // was pushed anew in between), up to 8 reads. Failures: QueueError::Io with dir() (opening
  // or reading the directory), with the file's path (reading a file whose entry is still
  // there), or `visit`'s error; the first one ends the task.
  runtime::Task<Result<void, QueueError>> VisitItemFiles(ItemFileVisitor visit) const;

  // VisitItemFiles collecting every file.
  runtime::Task<Result<std::vector<ItemFile>, QueueError>> ListItemFiles() const;

  // Spills `envelope` under `pair_class`: EnsureDir(), then writes the item
  // QueuedItem::ForPush(pair_class, envelope) as the file of the envelope's exchange_id,
  // replacing any earlier one. Both arguments are borrowed until the task ends; the item
  // copies what it keeps. An exchange_id that keeps no character after sanitising ("", "...",
  // "é") is refused with QueueError::UnusableId before anything on disk is looked at:
  // its file, ".json", would never be listed. Failures: those of EnsureDir() and WriteItem().
  runtime::Task<Result<void, QueueError>> Push(std::string_view pair_class,
                                                const SignedEnvelope& envelope) const;

  // Every item, read and parsed file by file in the order of VisitItemFiles. The first
  // failure ends the task and discards what was read: QueueError::Io as for VisitItemFiles,
  // QueueError::Json with the reader's message and the file's path for a file that is not an
  // item.
  runtime::Task<Result<std::vector<QueuedItem>, QueueError>> List() const;

  // Removes the item file of `queue_id` as one pool job, if its status can be read (following
  // symbolic links); otherwise succeeds without removing anything. A removal that finds the
  // entry already gone (ENOENT: another drain removed it meanwhile) succeeds too. Failure:
  // QueueError::Io with the item path.
  runtime::Task<Result<void, QueueError>> DropItem(std::string_view queue_id) const;

 private:
  // Reads the listed file at `path` in pool jobs; nullopt when its entry is gone.
  runtime::Task<Result<std::optional<std::string>, QueueError>> ReadListedFile(
      const std::string& path) const;
  Result<void, IoError> WriteReplacing(std::string_view file_name, const std::string& path,
                                       std::string_view bytes) const;
  Result<void, IoError> WriteNamed(std::string_view file_name, const std::string& path,
                                   std::string_view bytes) const;
  // Sets `temp_path` to a fresh temporary name for `file_name` in the queue directory and
  // calls `take` with it, moving on to another name while `take` finds it taken (EEXIST).
  Result<void, IoError> TakeTemporaryName(
      std::string_view file_name, std::string& temp_path,
      const std::function<Result<void, IoError>(const std::string&)>& take) const;

  std::string dir_;
  FileSystem* fs_;
};

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_ENVELOPE_QUEUE_H_
