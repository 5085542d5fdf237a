// IoError and QueueError: how an operation of the envelope spill queue fails.
//
// A QueueError is a file-system failure (kind kIo: the path concerned and an IoError), a JSON
// failure (kind kJson: the JSON error's text and the item file's path), or a queue id that a
// push refused because it keeps no character in a file name (kind kUnusableId: the id). An
// IoError is an operating-system error number or one of three failures without a number, each
// with a fixed text.
//
//   QueueError e = QueueError::Io("q/e1.json", IoError::FromErrno(ENOENT));
//   e.io_error().ToString();   // "No such file or directory (os error 2)"
//   QueueError::UnusableId("\xc3\xa9").ErrorText();
//   // "queue id \"\xc3\xa9\" has no character usable in a file name: a queue id needs ..."
//
// Immutable values; thread-compatible.
#ifndef QIV_SIGNED_ENVELOPE_QUEUE_ERROR_H_
#define QIV_SIGNED_ENVELOPE_QUEUE_ERROR_H_

#include <string>

namespace qiv::envelope {

class IoError {
 public:
  // An error number from the operating system: "<system message> (os error <code>)".
  static IoError FromErrno(int code) { return IoError(Kind::kOs, code); }
  // A path holding a NUL byte, refused before any system call.
  static IoError NulInPath() { return IoError(Kind::kNulInPath, 0); }
  // A write that the system accepted no byte of.
  static IoError WriteZero() { return IoError(Kind::kWriteZero, 0); }
  // A file-system step handed to the blocking pool that ended without a result.
  static IoError JobFailed() { return IoError(Kind::kJobFailed, 0); }

  // The error number, or 0 for the failures without one.
  int code() const { return code_; }

  // The text form: "<system message> (os error <n>)", or "file name contained an unexpected
  // NUL byte", "failed to write whole buffer", "background task failed".
  std::string ToString() const;

  bool operator==(const IoError&) const = default;

 private:
  enum class Kind { kOs, kNulInPath, kWriteZero, kJobFailed };
  IoError(Kind kind, int code) : kind_(kind), code_(code) {}

  Kind kind_;
  int code_;
};

class QueueError {
 public:
  enum class Kind { kIo, kJson, kUnusableId };

  // A file-system failure at `path` (the queue directory or an item file, as formed by the
  // queue: never made absolute).
  static QueueError Io(std::string path, IoError error) {
    return QueueError(Kind::kIo, std::move(path), error, {});
  }
  // A JSON failure; `message` is the JSON error's text form, position included, and `path`
  // the item file that did not parse (empty when no file is concerned).
  static QueueError Json(std::string message, std::string path = {}) {
    return QueueError(Kind::kJson, std::move(path), IoError::JobFailed(), std::move(message));
  }
  // A push of an item whose `queue_id` keeps no character after sanitising: its file would be
  // ".json", which listing never returns and which every such push would overwrite.
  static QueueError UnusableId(std::string queue_id) {
    QueueError error(Kind::kUnusableId, {}, IoError::JobFailed(), {});
    error.queue_id_ = std::move(queue_id);
    return error;
  }

  Kind kind() const { return kind_; }
  // kIo: the path concerned. kJson: the item file that did not parse, or empty.
  const std::string& path() const { return path_; }
  // kIo only.
  const IoError& io_error() const { return io_error_; }
  // kJson only.
  const std::string& json_message() const { return json_message_; }
  // kUnusableId only.
  const std::string& queue_id() const { return queue_id_; }

  // The error's own text: the IoError's text for kIo, the JSON message for kJson, and for
  // kUnusableId: queue id <id> has no character usable in a file name: a queue id needs at
  // least one ASCII letter, digit, "-" or "_" (the id in the representation quoting form).
  std::string ErrorText() const;

  bool operator==(const QueueError&) const = default;

 private:
  QueueError(Kind kind, std::string path, IoError io_error, std::string json_message)
      : kind_(kind),
        path_(std::move(path)),
        io_error_(io_error),
        json_message_(std::move(json_message)) {}

  Kind kind_;
  std::string path_;
  IoError io_error_;
  std::string json_message_;
  std::string queue_id_;
};

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_QUEUE_ERROR_H_
