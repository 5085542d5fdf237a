// Fuzzes the JSON reader of AnchorReceipt, text and byte forms; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/primitives/anchor_receipt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::AnchorReceipt>(data, size);
}
