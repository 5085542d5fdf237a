#include "qiv/signed_envelope/queue_error.h"

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

}  // namespace qiv::envelope
