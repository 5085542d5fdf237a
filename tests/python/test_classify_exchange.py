"""classify_exchange: the module function and the classification behind it."""
import pytest

import qiv_protocol
from qiv_protocol import classify_exchange

DOC = (
    "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
    "routing, discovery, enrichment, composition, causal, marketplace,\n"
    "trust, compliance, conductance, mediation, preference.\n\n"
    "Mirror of `qiv_protocol_signed_envelope::classify::classify_exchange`."
)


def test_function_object():
    assert classify_exchange.__name__ == "classify_exchange"
    assert classify_exchange.__doc__ == DOC
    assert classify_exchange.__text_signature__ == "(protocol_hint, counterparty)"
    assert classify_exchange.__self__ is qiv_protocol
    assert classify_exchange.__module__ == "qiv_protocol"


@pytest.mark.parametrize(
    "hint, counterparty, expected",
    [
        ("", "", "routing"),
        ("tcp", "", "routing"),
        ("QUIC", "", "routing"),
        ("udp", "", "routing"),
        ("DNS", "", "discovery"),
        ("Dns", "", "discovery"),
        ("MDNS", "", "discovery"),
        ("DnsSd", "", "discovery"),
        ("NOISE", "", "trust"),
        ("TLS-Handshake", "", "trust"),
        ("x3dh", "", "trust"),
        (" dns", "", "routing"),
        ("dns\n", "", "routing"),
        ("dns-sd", "", "routing"),
        ("mdns.local", "", "routing"),
        ("\uff44\uff4e\uff53", "", "routing"),  # full-width "dns"
        ("dns", "ADDR.tolvan.example", "causal"),
        ("noise", "wss://node.addr.tolvan.example:443/x", "causal"),
        ("", "governance.tolvan.example", "compliance"),
        ("", "compliance.tolvan.example", "compliance"),
        ("dns", "api.payments-one.example/v1", "marketplace"),
        ("dns", "enrich-two.example", "enrichment"),
        ("dns", "integrations.example", "enrichment"),
        ("", "payments-two.example addr.tolvan.example", "causal"),
        ("", "enrich-one.example payments-three.example", "marketplace"),
        ("dns", "tolvan.example", "discovery"),
        ("dns", "\u00e9xample", "discovery"),
    ],
)
def test_classification(hint, counterparty, expected):
    assert classify_exchange(hint, counterparty) == expected


def test_keywords_and_str_subclasses():
    class Text(str):
        pass

    assert classify_exchange(protocol_hint="dns", counterparty="") == "discovery"
    assert classify_exchange(counterparty="", protocol_hint="noise") == "trust"
    assert classify_exchange("dns", counterparty="") == "discovery"
    assert classify_exchange(Text("DNS"), Text("")) == "discovery"
    assert type(classify_exchange("dns", "")) is str


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("dns",), {}, "classify_exchange() missing 1 required positional argument: 'counterparty'"),
        ((), {}, "classify_exchange() missing 2 required positional arguments: "
                 "'protocol_hint' and 'counterparty'"),
        (("a", "b", "c"), {}, "classify_exchange() takes 2 positional arguments but 3 were given"),
        ((1, "b"), {}, "argument 'protocol_hint': 'int' object cannot be cast as 'str'"),
        (("a", None), {}, "argument 'counterparty': 'NoneType' object cannot be cast as 'str'"),
        ((b"a", 2), {}, "argument 'protocol_hint': 'bytes' object cannot be cast as 'str'"),
        (("a",), {"protocol_hint": "b"},
         "classify_exchange() got multiple values for argument 'protocol_hint'"),
        (("a", "b"), {"hint": "c"}, "classify_exchange() got an unexpected keyword argument 'hint'"),
        (("a", "b"), {"\udc80": "c"},
         "classify_exchange() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        classify_exchange(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_lone_surrogate_raises_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        classify_exchange("dns", "\ud800")
    assert "argument" not in str(info.value)
    # protocol_hint is converted first
    with pytest.raises(UnicodeEncodeError):
        classify_exchange("\udfff", 5)
