"""CounterpartyInfo: constructor defaults, getters, to_dict, equality and repr."""
import sys

import pytest

from qiv_protocol import CounterpartyInfo


def test_defaults_and_to_dict():
    info = CounterpartyInfo("a", "b")
    assert (info.identifier, info.protocol_hint) == ("a", "b")
    assert info.peer_address is None and info.counterparty_signature is None
    d = info.to_dict()
    assert type(d) is dict
    assert list(d.items()) == [
        ("identifier", "a"), ("protocol_hint", "b"), ("peer_address", None),
        ("counterparty_signature", None),
    ]


def test_all_fields_by_keyword_and_position():
    by_keyword = CounterpartyInfo(counterparty_signature="s", peer_address="not an address",
                                  protocol_hint="tcp", identifier="c1")
    by_position = CounterpartyInfo("c1", "tcp", "not an address", "s")
    assert by_keyword == by_position
    assert by_keyword.to_dict() == {"identifier": "c1", "protocol_hint": "tcp",
                                    "peer_address": "not an address",
                                    "counterparty_signature": "s"}
    # Escapes survive json.loads of the written text.
    odd = CounterpartyInfo('"\\\n\x01', "\u00e9\U0001f600", "", "")
    assert odd.to_dict() == {"identifier": '"\\\n\x01', "protocol_hint": "\u00e9\U0001f600",
                             "peer_address": "", "counterparty_signature": ""}


def test_equality_tells_absent_from_empty():
    assert CounterpartyInfo("a", "b", peer_address=None) == CounterpartyInfo("a", "b")
    assert CounterpartyInfo("a", "b", "") != CounterpartyInfo("a", "b")
    assert CounterpartyInfo("a", "b", None, "") != CounterpartyInfo("a", "b")
    assert CounterpartyInfo("a", "b") != CounterpartyInfo("a", "c")
    assert (CounterpartyInfo("a", "b") == ("a", "b")) is False
    with pytest.raises(TypeError):
        hash(CounterpartyInfo("a", "b"))
    with pytest.raises(TypeError):
        CounterpartyInfo("a", "b") < CounterpartyInfo("a", "b")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", 5), {}, "argument 'protocol_hint': 'int' object cannot be cast as 'str'"),
        ((None, "b"), {}, "argument 'identifier': 'NoneType' object cannot be cast as 'str'"),
        (("a", "b", b"p"), {}, "argument 'peer_address': 'bytes' object cannot be cast as 'str'"),
        (("a", "b"), {"counterparty_signature": 1},
         "argument 'counterparty_signature': 'int' object cannot be cast as 'str'"),
        (("a",), {},
         "CounterpartyInfo.__new__() missing 1 required positional argument: 'protocol_hint'"),
        (("a", "b", "c", "d", "e"), {},
         "CounterpartyInfo.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (("a", "b"), {"identifier": "x"},
         "CounterpartyInfo.__new__() got multiple values for argument 'identifier'"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CounterpartyInfo(*args, **kwargs)
    assert str(info.value) == message


def test_to_dict_uses_the_json_module_found_at_call_time(monkeypatch):
    class FakeJson:
        loads = staticmethod(lambda text: text)

    monkeypatch.setitem(sys.modules, "json", FakeJson)
    assert CounterpartyInfo("c1", "tcp", None, "s").to_dict() == (
        '{"identifier":"c1","protocol_hint":"tcp","peer_address":null,'
        '"counterparty_signature":"s"}')


def test_repr_shows_identifier_and_hint_only():
    assert (repr(CounterpartyInfo('a"b', "t\n", "p", "s"))
            == 'CounterpartyInfo(identifier="a\\"b", protocol_hint="t\\n")')


def test_docstring_and_members():
    assert CounterpartyInfo.__doc__ == (
        "Everything we know about the other end of an exchange. Free-form\n"
        "metadata that travels with a `SignedEnvelope`."
    )
    assert CounterpartyInfo.__text_signature__ == (
        "(identifier, protocol_hint, peer_address=None, counterparty_signature=None)")
    assert CounterpartyInfo.to_dict.__text_signature__ == "($self)"
    for name in ("to_json", "from_json", "from_dict"):
        assert not hasattr(CounterpartyInfo, name)
    info = CounterpartyInfo("a", "b")
    with pytest.raises(AttributeError):
        info.identifier = "x"
    assert not hasattr(info, "__dict__")
