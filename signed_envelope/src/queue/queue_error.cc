#include "qiv/signed_envelope/queue_error.h"

#include "qiv/primitives/repr_quote.h"
#include "qiv/runtime/os_error.h"

namespace qiv::envelope {

std::string IoError::ToString() const {
  switch (kind_) {
    case Kind::kOs: return runtime::OsErrorText(code_);
    case Kind::kNulInPath: return "file name contained an unexpected NUL byte";
    case Kind::kWriteZero: return "failed to write whole buffer";
    case Kind::kJobFailed: return "background task failed";
  }
  return "background task failed";
}

std::string QueueError::ErrorText() const {
  switch (kind_) {
    case Kind::kIo: return io_error_.ToString();
    case Kind::kJson: return json_message_;
    case Kind::kUnusableId: {
      // The id is shown quoted, so that an empty one, control characters or look-alike
      // letters read unambiguously.
      std::string text = "queue id ";
      AppendReprQuoted(text, queue_id_);
      text += " has no character usable in a file name: a queue id needs at least one ASCII "
              "letter, digit, \"-\" or \"_\"";
      return text;
    }
  }
  return json_message_;
}

}  // namespace qiv::envelope
