#include "envelope_queue_class.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blocking_call.h"
#include "module_members.h"
#include "queue_error_exception.h"
#include "queued_item_class.h"
#include "signed_envelope_class.h"

namespace qiv::py {
namespace {

using envelope::EnvelopeQueue;

constexpr char kClassDoc[] =
    "EnvelopeQueue(dir)\n--\n\n"
    "File-backed envelope spill queue. Operations are blocking from\n"
    "Python; the kernel's async fs primitives run on the binding's\n"
    "internal tokio runtime. Default directory is\n"
    "`~/.tolvan/envelope-queue/` (falls back to `./.envelope-queue/` if\n"
    "`HOME` is unset).";

// The path is kept exactly as given; nothing on disk is looked at.
EnvelopeQueue New(std::string_view dir) { return EnvelopeQueue(std::string(dir)); }

EnvelopeQueue Default() { return EnvelopeQueue(EnvelopeQueue::DefaultDir()); }

PyResult<void> Push(const EnvelopeQueue& self, std::string_view pair_class,
                    const envelope::SignedEnvelope& envelope) {
  auto pushed = RunBlocking([&] { return self.Push(pair_class, envelope); });
  if (!pushed.ok()) return Err(QueueErrorToException(pushed.error()));
  return {};
}

// A new list of new QueuedItem objects, each taking over its item; no partial list on failure.
PyResult<std::vector<envelope::QueuedItem>> List(const EnvelopeQueue& self) {
  auto listed = RunBlocking([&] { return self.List(); });
  if (!listed.ok()) return Err(QueueErrorToException(listed.error()));
  return *std::move(listed);
}

PyResult<void> DropItem(const EnvelopeQueue& self, std::string_view queue_id) {
  auto dropped = RunBlocking([&] { return self.DropItem(queue_id); });
  if (!dropped.ok()) return Err(QueueErrorToException(dropped.error()));
  return {};
}

std::string Dir(const EnvelopeQueue& self) { return PathDisplay(self.dir()); }

std::string Repr(const EnvelopeQueue& self) {
  std::string out = "EnvelopeQueue(dir=";
  AppendReprQuotedPath(out, self.dir());
  out += ')';
  return out;
}

}  // namespace

const ClassDef& EnvelopeQueueClass() {
  static const Class<EnvelopeQueue> def =
      Class<EnvelopeQueue>(kClassDoc)
          .Constructor<New>({"dir"})
          .StaticMethod<Default>("default",
                                 "default()\n--\n\nBind to the kernel's default directory.")
          .Method<Push>("push",
                        "push($self, pair_class, envelope)\n--\n\n"
                        "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
                        "failure or `ValueError` on JSON serialisation failure.",
                        {"pair_class", "envelope"})
          .Method<List>("list",
                        "list($self)\n--\n\n"
                        "Enumerate queued items in emission order (UUIDv7 prefix sort).")
          .Method<DropItem>("drop_item",
                            "drop_item($self, queue_id)\n--\n\n"
                            "Drop an item after successful re-emission.",
                            {"queue_id"})
          .Getter<Dir>("dir")
          .Repr<Repr>();
  return def;
}

}  // namespace qiv::py
