#include "queued_item_class.h"

#include <string>

#include "module_members.h"
#include "signed_envelope_class.h"

namespace qiv::py {
namespace {

using envelope::QueuedItem;

constexpr char kClassDoc[] =
    "One spilled record: the envelope plus the pair class it was meant to\n"
    "be emitted as. Constructed by the queue, not by user code.";

const std::string& QueueId(const QueuedItem& self) { return self.queue_id(); }

const std::string& PairClass(const QueuedItem& self) { return self.pair_class(); }

// A new SignedEnvelope object holding a copy, on every access.
const envelope::SignedEnvelope& Envelope(const QueuedItem& self) { return self.envelope(); }

std::string Repr(const QueuedItem& self) {
  std::string out = "QueuedItem(queue_id=";
  AppendReprQuoted(out, self.queue_id());
  out += ", pair_class=";
  AppendReprQuoted(out, self.pair_class());
  out += ')';
  return out;
}

}  // namespace

const ClassDef& QueuedItemClass() {
  static const Class<QueuedItem> def = Class<QueuedItem>(kClassDoc)
                                           .Getter<QueueId>("queue_id")
                                           .Getter<PairClass>("pair_class")
                                           .Getter<Envelope>("envelope")
                                           .Repr<Repr>();
  return def;
}

}  // namespace qiv::py
