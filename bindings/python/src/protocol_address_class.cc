// ProtocolAddress: immutable, compared by value and hashable with a hash that is the same in
// every process (SipHash-1-3 with zero keys), so addresses can key dicts and sets and the
// hashes can be compared across runs.
#include "protocol_address_class.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "module_members.h"

namespace qiv::py {
namespace {

PyResult<ProtocolAddress> New(std::string_view address_class, std::string_view type,
                              std::string_view ref) {
  std::optional<AddressClass> cls = AddressClassFromName(address_class);
  if (!cls) {
    return Err(Error::ValueError(
        "unknown address class: " + std::string(address_class) +
        " (expected one of: body, act, datum, prop, discard, pair, doc, evidence, route, "
        "mediation)"));
  }
  return ProtocolAddress::New(*cls, type, ref);
}

PyResult<ProtocolAddress> Parse(std::string_view uri) {
  std::optional<ProtocolAddress> address = ProtocolAddress::Parse(uri);
  if (!address) return Err(Error::ValueError("invalid tvq:// URI: " + std::string(uri)));
  return *std::move(address);
}

std::string ToUri(const ProtocolAddress& self) { return self.ToUri(); }

// Built directly, without a JSON round trip: "class", "type", "ref" in that order.
PyResult<PyRef> ToDict(const ProtocolAddress& self) {
  PyRef dict = NewDict();
  QIV_RETURN_IF_ERROR(SetItem(dict, "class", NewStr(AddressClassName(self.address_class()))));
  QIV_RETURN_IF_ERROR(SetItem(dict, "type", NewStr(self.type())));
  QIV_RETURN_IF_ERROR(SetItem(dict, "ref", NewStr(self.ref())));
  return dict;
}

std::string_view ClassName(const ProtocolAddress& self) {
  return AddressClassName(self.address_class());
}
const std::string& Type(const ProtocolAddress& self) { return self.type(); }
const std::string& Ref(const ProtocolAddress& self) { return self.ref(); }

std::string Repr(const ProtocolAddress& self) {
  std::string out = "ProtocolAddress(";
  AppendReprQuoted(out, self.ToUri());
  out += ')';
  return out;
}

// The raw 64 bits read as two's complement; the entry turns -1 into -2.
std::int64_t Hash(const ProtocolAddress& self) { return static_cast<std::int64_t>(self.Hash()); }

}  // namespace

const ClassDef& ProtocolAddressClass() {
  static const Class<ProtocolAddress> def =
      Class<ProtocolAddress>(
          "ProtocolAddress(address_class, type_, ref_)\n--\n\nWraps the kernel's "
          "`ProtocolAddress`. Frozen on the Python side \xe2\x80\x94\naddresses are "
          "content-identity, not mutable state.")
          .Constructor<New>({"address_class", "type_", "ref_"})
          .StaticMethod<Parse>("parse",
                               "parse(uri)\n--\n\nParse a canonical `tvq://<class>/<type>/<ref>` "
                               "URI.",
                               {"uri"})
          .Method<ToUri>("to_uri", "to_uri($self)\n--\n\n")
          .Method<ToDict>("to_dict", "to_dict($self)\n--\n\n")
          .Getter<ClassName>("address_class")
          .Getter<Type>("type")
          .Getter<Ref>("ref")
          .Repr<Repr>()
          .Str<ToUri>()
          .Hash<Hash>()
          .Equality();
  return def;
}

}  // namespace qiv::py
