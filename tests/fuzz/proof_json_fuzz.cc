// Fuzzes the JSON reader of AnchorProof, text and byte forms; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/primitives/anchor_proof.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::AnchorProof>(data, size);
}
