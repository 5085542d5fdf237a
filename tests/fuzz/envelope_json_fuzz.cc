// Fuzzes the JSON reader of SignedEnvelope, text and byte forms, with its nested addresses,
// direction and timestamps; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/signed_envelope/signed_envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::envelope::SignedEnvelope>(data, size);
}
