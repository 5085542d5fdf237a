// SignedEnvelope: read from JSON or a dict, never built field by field from Python (the
// envelope's own signature is produced by the signing side, not here). Getters convert one
// field each; timestamps become timezone-aware UTC datetimes.
#include "signed_envelope_class.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "machinery/interpreter_lock.h"
#include "machinery/record_json.h"
#include "module_members.h"
#include "protocol_address_class.h"

namespace qiv::py {
namespace {

using envelope::SignedEnvelope;
using envelope::UtcTimestamp;

// datetime.datetime and datetime.timezone.utc, looked up once per process and kept.
struct DatetimeApi {
  PyObject* datetime_class;
  PyObject* utc;
};

std::atomic<const DatetimeApi*> g_datetime_api{nullptr};  // set once, never emptied
std::mutex g_datetime_lookup_mu;                          // held by the thread looking up
thread_local bool t_looking_up_datetime = false;

// Imports "datetime" and keeps what it finds, unless a nested lookup on this thread was first.
PyResult<const DatetimeApi*> LookUpDatetimeApi() {
  PyRef module = PyRef::Steal(PyImport_ImportModule("datetime"));
  if (!module) return Err(Error::Fetch());
  PyRef datetime_class = PyRef::Steal(PyObject_GetAttrString(module.get(), "datetime"));
  if (!datetime_class) return Err(Error::Fetch());
  PyRef timezone = PyRef::Steal(PyObject_GetAttrString(module.get(), "timezone"));
  if (!timezone) return Err(Error::Fetch());
  PyRef utc = PyRef::Steal(PyObject_GetAttrString(timezone.get(), "utc"));
  if (!utc) return Err(Error::Fetch());
  if (const DatetimeApi* api = g_datetime_api.load(std::memory_order_acquire)) return api;
  // Kept for the life of the process.
  const auto* api = new DatetimeApi{std::move(datetime_class).Release(), std::move(utc).Release()};
  g_datetime_api.store(api, std::memory_order_release);
  return api;
}

PyResult<const DatetimeApi*> GetDatetimeApi() {
  if (const DatetimeApi* api = g_datetime_api.load(std::memory_order_acquire)) return api;
  // Python code that the import runs (an import hook, say) may read a timestamp on this same
  // thread: waiting for our own lookup would never end, so that nested call looks up itself.
  if (t_looking_up_datetime) return LookUpDatetimeApi();

  // The import may give the interpreter lock up, letting another thread arrive here: wait for
  // the lookup in progress with the interpreter lock released, so that it can finish.
  std::unique_lock<std::mutex> hold(g_datetime_lookup_mu, std::defer_lock);
  LockWithoutInterpreterLock(hold);
  if (const DatetimeApi* api = g_datetime_api.load(std::memory_order_acquire)) return api;

  struct Marker {
    Marker() { t_looking_up_datetime = true; }
    ~Marker() { t_looking_up_datetime = false; }
  } marker;
  return LookUpDatetimeApi();
}

constexpr char kLeapSecondWarning[] =
    "ignored leap-second, `datetime` does not support leap-seconds";

PyResult<PyRef> ToDatetime(const UtcTimestamp& ts) {
  auto api = GetDatetimeApi();
  if (!api.ok()) return Err(std::move(api).error());
  // Truncated to the microsecond; a leap second shows as second 59.
  const int microsecond = static_cast<int>(ts.nanosecond() % 1'000'000'000u / 1000u);
  PyRef args = PyRef::Steal(Py_BuildValue("(iiiiiiiO)", static_cast<int>(ts.year()), ts.month(),
                                          ts.day(), ts.hour(), ts.minute(), ts.second(),
                                          microsecond, (*api)->utc));
  if (!args) FailedPythonApiCall();
  PyRef kwargs = PyRef::Steal(Py_BuildValue("{s:i}", "fold", 0));
  if (!kwargs) FailedPythonApiCall();
  PyRef datetime = PyRef::Steal(PyObject_Call((*api)->datetime_class, args.get(), kwargs.get()));
  if (!datetime) return Err(Error::Fetch());
  if (ts.is_leap_second() && PyErr_WarnEx(PyExc_UserWarning, kLeapSecondWarning, 0) < 0) {
    // The getter still answers: a warning turned into an error must not lose the value.
    ReportUnraisable(Error::Fetch(), datetime.get());
  }
  return datetime;
}

const std::string& ExchangeId(const SignedEnvelope& self) { return self.exchange_id(); }
const ProtocolAddress& PeerSelf(const SignedEnvelope& self) { return self.peer_self(); }
const std::optional<ProtocolAddress>& PeerCounterparty(const SignedEnvelope& self) {
  return self.peer_counterparty();
}
std::string_view DirectionOf(const SignedEnvelope& self) {
  return envelope::DirectionName(self.direction());
}
const std::string& RequestHash(const SignedEnvelope& self) { return self.request_hash(); }
const std::optional<std::string>& ResponseHash(const SignedEnvelope& self) {
  return self.response_hash();
}
const std::optional<std::string>& CounterpartySignature(const SignedEnvelope& self) {
  return self.counterparty_signature();
}
const std::string& OurSignature(const SignedEnvelope& self) { return self.our_signature(); }
PyResult<PyRef> OpenedAt(const SignedEnvelope& self) { return ToDatetime(self.opened_at()); }
PyResult<PyRef> ClosedAt(const SignedEnvelope& self) {
  if (!self.closed_at().has_value()) return NoneRef();
  return ToDatetime(*self.closed_at());
}
const std::string& ProtocolHint(const SignedEnvelope& self) { return self.protocol_hint(); }
const std::string& CounterpartyIdentifier(const SignedEnvelope& self) {
  return self.counterparty_identifier();
}

std::vector<std::uint8_t> CanonicalSigningBytes(const SignedEnvelope& self) {
  return self.CanonicalSigningBytes();
}

std::string Repr(const SignedEnvelope& self) {
  std::string out = "SignedEnvelope(exchange_id=";
  AppendReprQuoted(out, self.exchange_id());
  out += ", direction=";
  AppendReprQuoted(out, envelope::DirectionName(self.direction()));
  out += ')';
  return out;
}

using EnvelopeJson =
    RecordJson<SignedEnvelope, "serialize SignedEnvelope", "invalid SignedEnvelope JSON">;

}  // namespace

const ClassDef& SignedEnvelopeClass() {
  static const Class<SignedEnvelope> def =
      Class<SignedEnvelope>(
          "Wire record of one completed exchange (quorvel-v1 primitive #4).\n\nConstructed "
          "from canonical JSON (`from_json`) \xe2\x80\x94 direct field-by-field\nconstruction "
          "is intentionally absent because the envelope's\n`our_signature` must be produced by "
          "the kernel's signing path, not\nrecomputed from Python. Backend Python is a "
          "verifier + emitter; the\nkernel's vesk binary is the signer.")
          .StaticMethod<EnvelopeJson::FromJson>(
              "from_json",
              "from_json(s)\n--\n\nParse a canonical JSON wire envelope. Matches the form "
              "emitted\nby the kernel + the form `crates/signed_envelope` accepts on the\nwire.",
              {"s"})
          .Method<EnvelopeJson::ToJson>("to_json",
                                        "to_json($self)\n--\n\nSerialize to canonical JSON.")
          .Method<CanonicalSigningBytes>(
              "canonical_signing_bytes",
              "canonical_signing_bytes($self)\n--\n\nThe bytes Ed25519 signs over "
              "\xe2\x80\x94\n`[exchange_id, request_hash, response_hash_or_null]` as "
              "canonical\nJSON. Same as `crates/primitives` produces, byte-for-byte.")
          .Method<EnvelopeJson::ToDict>("to_dict", kToDictDoc)
          .StaticMethod<EnvelopeJson::FromDict>("from_dict", kFromDictDoc, {"d"})
          .Getter<ExchangeId>("exchange_id")
          .Getter<PeerSelf>("peer_self")
          .Getter<PeerCounterparty>("peer_counterparty")
          .Getter<DirectionOf>("direction")
          .Getter<RequestHash>("request_hash")
          .Getter<ResponseHash>("response_hash")
          .Getter<CounterpartySignature>("counterparty_signature")
          .Getter<OurSignature>("our_signature")
          .Getter<OpenedAt>("opened_at")
          .Getter<ClosedAt>("closed_at")
          .Getter<ProtocolHint>("protocol_hint")
          .Getter<CounterpartyIdentifier>("counterparty_identifier")
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
