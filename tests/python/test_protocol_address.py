"""ProtocolAddress: construction, parsing, formatting, equality and the stable hash."""
import os
import subprocess
import sys

import pytest

from qiv_protocol import ProtocolAddress

UNKNOWN_CLASS = (
    "unknown address class: {} (expected one of: body, act, datum, prop, discard, pair, doc, "
    "evidence, route, mediation)"
)


def test_constructed_and_parsed_addresses_agree():
    built = ProtocolAddress("body", "peer", "abc")
    parsed = ProtocolAddress.parse("tvq://body/peer/abc")
    assert built == parsed and built is not parsed
    assert not (built != parsed)
    assert hash(built) == hash(parsed)
    for address in (built, parsed):
        assert address.to_uri() == "tvq://body/peer/abc"
        assert str(address) == "tvq://body/peer/abc"
        assert (address.address_class, address.type, address.ref) == ("body", "peer", "abc")
        d = address.to_dict()
        assert type(d) is dict
        assert list(d.items()) == [("class", "body"), ("type", "peer"), ("ref", "abc")]


def test_keywords_and_unchecked_segments():
    address = ProtocolAddress(address_class="act", type_="", ref_="")
    assert address.to_uri() == "tvq://act//"
    odd = ProtocolAddress("mediation", " a b ", "\u00e9/\u200b")
    assert (odd.type, odd.ref) == (" a b ", "\u00e9/\u200b")


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("Body", "x", "y"), ValueError, UNKNOWN_CLASS.format("Body")),
        (("", "x", "y"), ValueError, UNKNOWN_CLASS.format("")),
        ((" body", "x", "y"), ValueError, UNKNOWN_CLASS.format(" body")),
        # The type check of every argument comes before the class name is looked at.
        ((1, "x", "y"), TypeError, "argument 'address_class': 'int' object cannot be cast as 'str'"),
        (("Body", b"x", "y"), TypeError, "argument 'type_': 'bytes' object cannot be cast as 'str'"),
        (("Body", "x", None), TypeError, "argument 'ref_': 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_constructor_errors(args, exc, message):
    with pytest.raises(exc) as info:
        ProtocolAddress(*args)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "uri",
    ["tvq://act/x", "tvq://Act/x/y", "tvq:/act/x/y", "", "tvq://", "TVQ://act/x/y", "http://a/b/c"],
)
def test_parse_refuses_non_addresses(uri):
    with pytest.raises(ValueError) as info:
        ProtocolAddress.parse(uri)
    assert str(info.value) == f"invalid tvq:// URI: {uri}"


def test_parse_takes_the_rest_as_ref_and_keyword_uri():
    assert ProtocolAddress.parse("tvq://act/x/y/z").ref == "y/z"
    assert ProtocolAddress.parse(uri="tvq://doc/t/r") == ProtocolAddress("doc", "t", "r")
    with pytest.raises(TypeError) as info:
        ProtocolAddress.parse(5)
    assert str(info.value) == "argument 'uri': 'int' object cannot be cast as 'str'"


def test_uri_is_not_escaped_so_slashes_in_type_do_not_round_trip():
    address = ProtocolAddress("act", "a/b", "c")
    assert str(address) == "tvq://act/a/b/c"
    reparsed = ProtocolAddress.parse(str(address))
    assert (reparsed.type, reparsed.ref) == ("a", "b/c")
    assert reparsed != address


HASHES = [
    (("body", "peer", "abc"), -2273912411627669310),
    (("body", "a", "b"), 7824177592660028498),
    (("mediation", "", ""), -4662309763757419383),
    (("act", "x", "y/z"), 3828275494115578167),
]


@pytest.mark.parametrize("args, expected", HASHES)
def test_hash_values(args, expected):
    assert hash(ProtocolAddress(*args)) == expected


def test_hash_is_the_same_in_fresh_interpreters():
    script = (
        "from qiv_protocol import ProtocolAddress as A\n"
        f"print([hash(A(*a)) for a, _ in {HASHES!r}])\n"
    )
    path = os.pathsep.join(p for p in sys.path if p)
    runs = [
        subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                       env=dict(os.environ, PYTHONPATH=path, PYTHONHASHSEED=seed)).stdout
        for seed in ("1", "2")  # str hashes differ between these; address hashes must not
    ]
    assert runs[0] == runs[1] == repr([h for _, h in HASHES]) + "\n"


def test_usable_as_dict_key_and_set_member():
    a = ProtocolAddress("pair", "t", "r")
    table = {a: 1}
    assert table[ProtocolAddress.parse("tvq://pair/t/r")] == 1
    assert len({a, ProtocolAddress("pair", "t", "r"), ProtocolAddress("pair", "t", "R")}) == 2


@pytest.mark.parametrize(
    "type_, expected",
    [
        ("peer", 'ProtocolAddress("tvq://body/peer/abc")'),
        ('a"b', 'ProtocolAddress("tvq://body/a\\"b/abc")'),
        ("it's", "ProtocolAddress(\"tvq://body/it's/abc\")"),
        ("a\\b\n", 'ProtocolAddress("tvq://body/a\\\\b\\n/abc")'),
        ("\u200b", 'ProtocolAddress("tvq://body/\\u{200b}/abc")'),
        ("e\u0301", 'ProtocolAddress("tvq://body/e\\u{301}/abc")'),
        ("\u00e9", 'ProtocolAddress("tvq://body/\u00e9/abc")'),
    ],
)
def test_repr_quotes_the_uri(type_, expected):
    address = ProtocolAddress("body", type_, "abc")
    assert repr(address) == expected
    # str() and to_uri() keep the characters themselves.
    assert str(address) == address.to_uri() == f"tvq://body/{type_}/abc"


def test_comparison_with_other_types_and_ordering():
    a = ProtocolAddress("body", "peer", "abc")
    assert (a == "tvq://body/peer/abc") is False
    assert (a != "tvq://body/peer/abc") is True
    assert a.__eq__("tvq://body/peer/abc") is NotImplemented
    assert a != ProtocolAddress("act", "peer", "abc")
    with pytest.raises(TypeError):
        a < ProtocolAddress("body", "peer", "abd")


def test_frozen_and_not_subclassable():
    a = ProtocolAddress("body", "peer", "abc")
    for name in ("type", "ref", "address_class"):
        with pytest.raises(AttributeError):
            setattr(a, name, "x")
        with pytest.raises(AttributeError):
            delattr(a, name)
    assert not hasattr(a, "__dict__")
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (ProtocolAddress,), {})


def test_getters_and_methods_build_new_objects():
    a = ProtocolAddress("body", "peer", "abc")
    assert a.to_dict() is not a.to_dict()
    assert type(a.to_uri()) is str and type(a.type) is str


def test_docstrings():
    assert ProtocolAddress.__doc__ == (
        "Wraps the kernel's `ProtocolAddress`. Frozen on the Python side \u2014\n"
        "addresses are content-identity, not mutable state."
    )
    assert ProtocolAddress.__text_signature__ == "(address_class, type_, ref_)"
    assert ProtocolAddress.parse.__doc__ == "Parse a canonical `tvq://<class>/<type>/<ref>` URI."
    assert ProtocolAddress.parse.__text_signature__ == "(uri)"
    assert ProtocolAddress.to_uri.__text_signature__ == "($self)"
    assert ProtocolAddress.to_dict.__text_signature__ == "($self)"
    assert ProtocolAddress.type.__doc__ is None
