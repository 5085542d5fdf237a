// Fuzzes the JSON reader of QueuedItem, the item files of the spill queue, text and byte
// forms, with the envelope inside; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/signed_envelope/queued_item.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::envelope::QueuedItem>(data, size);
}
