// The module function classify_exchange(protocol_hint, counterparty).
#include <string_view>

#include "machinery/class_def.h"
#include "module_members.h"
#include "qiv/signed_envelope/classify.h"

namespace qiv::py {
namespace {

constexpr char kDoc[] =
    "classify_exchange(protocol_hint, counterparty)\n--\n\n"
    "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
    "routing, discovery, enrichment, composition, causal, marketplace,\n"
    "trust, compliance, conductance, mediation, preference.\n\n"
    "Mirror of `qiv_protocol_signed_envelope::classify::classify_exchange`.";

std::string_view Classify(std::string_view protocol_hint, std::string_view counterparty) {
  return ClassifyExchange(protocol_hint, counterparty);
}

}  // namespace

PyMethodDef* ClassifyExchangeMethod() {
  // The function object keeps pointing at this entry for the life of the process.
  static PyMethodDef def =
      FunctionDef<Classify>("classify_exchange", kDoc, {"protocol_hint", "counterparty"});
  return &def;
}

}  // namespace qiv::py
