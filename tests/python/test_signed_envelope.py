"""SignedEnvelope: the JSON bridge, getters, datetimes and leap seconds, equality, repr."""
import datetime
import json
import os
import subprocess
import sys
import warnings

import pytest

from qiv_protocol import ProtocolAddress, SignedEnvelope

LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"

MINIMAL = {
    "exchange_id": "e1",
    "peer_self": {"class": "body", "type": "t", "ref": "r"},
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2024-03-05T07:08:09Z",
    "protocol_hint": "tcp",
    "counterparty_identifier": "c1",
}
MINIMAL_JSON = (
    '{"exchange_id":"e1","peer_self":{"class":"body","type":"t","ref":"r"},'
    '"direction":"outbound","request_hash":"h1","our_signature":"s1",'
    '"opened_at":"2024-03-05T07:08:09Z","protocol_hint":"tcp","counterparty_identifier":"c1"}'
)

FULL = {
    "exchange_id": 'e"1\n',
    "peer_self": {"class": "body", "type": "t", "ref": "r"},
    "peer_counterparty": {"class": "pair", "type": "u", "ref": "v/w"},
    "direction": "inbound",
    "request_hash": "h1",
    "response_hash": "",
    "counterparty_signature": "cs",
    "our_signature": "s1",
    "opened_at": "2024-03-05T07:08:09.123456789Z",
    "closed_at": "2024-03-05T07:08:10.999999999Z",
    "protocol_hint": "tcp",
    "counterparty_identifier": "c\u00e9\U0001f600",
}


def envelope(**changes):
    fields = dict(MINIMAL)
    fields.update(changes)
    return SignedEnvelope.from_json(json.dumps(fields))


def utc(*args):
    return datetime.datetime(*args, tzinfo=datetime.timezone.utc)


def test_cannot_be_instantiated():
    with pytest.raises(TypeError):
        SignedEnvelope()


def test_getters_in_field_order_with_their_types():
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no leap second here: no warning either
        e = SignedEnvelope.from_json(json.dumps(FULL))
        values = {
            name: getattr(e, name)
            for name in FULL  # the field order
        }
    assert values["exchange_id"] == 'e"1\n'
    assert values["peer_self"] == ProtocolAddress("body", "t", "r")
    assert values["peer_counterparty"] == ProtocolAddress("pair", "u", "v/w")
    assert type(values["peer_counterparty"]) is ProtocolAddress
    assert values["direction"] == "inbound"
    assert values["response_hash"] == ""
    assert values["counterparty_signature"] == "cs"
    assert values["opened_at"] == utc(2024, 3, 5, 7, 8, 9, 123456)  # truncated, not rounded
    assert values["closed_at"] == utc(2024, 3, 5, 7, 8, 10, 999999)
    assert values["counterparty_identifier"] == "c\u00e9\U0001f600"
    for name in ("exchange_id", "direction", "request_hash", "response_hash",
                 "counterparty_signature", "our_signature", "protocol_hint",
                 "counterparty_identifier"):
        assert type(values[name]) is str
    for name in ("opened_at", "closed_at"):
        assert type(values[name]) is datetime.datetime
        assert values[name].tzinfo is datetime.timezone.utc
        assert values[name].fold == 0


def test_absent_optional_fields():
    e = SignedEnvelope.from_json(MINIMAL_JSON)
    assert (e.peer_counterparty, e.response_hash, e.counterparty_signature, e.closed_at) == (
        None, None, None, None)
    assert e.to_json() == MINIMAL_JSON
    d = e.to_dict()
    assert type(d) is dict and d == MINIMAL and list(d) == list(MINIMAL)
    nulls = dict(MINIMAL, peer_counterparty=None, response_hash=None,
                 counterparty_signature=None, closed_at=None)
    assert SignedEnvelope.from_dict(nulls) == e
    assert SignedEnvelope.from_dict(nulls).to_json() == MINIMAL_JSON


@pytest.mark.parametrize(
    "changes",
    [
        {},
        FULL,
        {"opened_at": "2024-03-05T07:08:09.000000001Z"},
        {"opened_at": "2016-12-31T23:59:60Z", "closed_at": "2016-12-31T23:59:60.999999999Z"},
        {"opened_at": "2024-03-05 09:08:09.5+02:00"},
        {"opened_at": "0000-01-01T00:00:00Z", "closed_at": "+10000-01-01T00:00:00Z"},
        {"direction": {"inbound": None}, "peer_self": ["doc", "", ""], "unknown": [{"x": 1}]},
    ],
)
def test_round_trips_through_json_and_dict(changes):
    e = envelope(**changes)
    assert SignedEnvelope.from_json(e.to_json()) == e
    assert SignedEnvelope.from_dict(e.to_dict()) == e
    assert SignedEnvelope.from_json(e.to_json()).to_json() == e.to_json()
    assert e.to_dict() == json.loads(e.to_json())


def test_written_form_is_normalised():
    e = envelope(opened_at="2024-03-05 09:08:09.5+02:00", direction={"inbound": None},
                 peer_self=["doc", "a", "b"], extra={"deep": [1, 2]})
    d = e.to_dict()
    assert d["opened_at"] == "2024-03-05T07:08:09.500Z"
    assert d["direction"] == "inbound"
    assert d["peer_self"] == {"class": "doc", "type": "a", "ref": "b"}
    assert "extra" not in d


def test_offset_timestamp_comes_back_in_utc():
    e = envelope(opened_at="2024-03-05T09:08:09+02:00")
    assert e.opened_at == utc(2024, 3, 5, 7, 8, 9)
    assert e.opened_at.tzinfo is datetime.timezone.utc
    assert e == envelope(opened_at="2024-03-05T07:08:09Z")


def test_leap_second_warns_on_every_access():
    e = envelope(opened_at="2016-12-31T23:59:60.5Z")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        first = e.opened_at
        second = e.opened_at
    assert first == second == utc(2016, 12, 31, 23, 59, 59, 500000)
    assert first is not second
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, LEAP_WARNING)] * 2
    # Issued at stack level 0: it names the line of Python code that read the getter.
    assert [(w.filename, w.lineno) for w in caught] == [(__file__, line), (__file__, line + 1)]
    # The JSON form keeps the leap second.
    assert e.to_dict()["opened_at"] == "2016-12-31T23:59:60.500Z"
    assert e != envelope(opened_at="2016-12-31T23:59:59.5Z")


def test_leap_second_warning_turned_error_goes_to_the_unraisable_hook():
    script = """
import sys
from qiv_protocol import SignedEnvelope
seen = []
sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value), u.object))
text = (
    '{"exchange_id":"e1","peer_self":["body","t","r"],"direction":"outbound",'
    '"request_hash":"h1","our_signature":"s1","opened_at":"2024-03-05T07:08:09Z",'
    '"closed_at":"2016-12-31T23:59:60.25Z","protocol_hint":"tcp","counterparty_identifier":"c1"}'
)
value = SignedEnvelope.from_json(text).closed_at
print(repr(value))
print(seen == [("UserWarning", "ignored leap-second, `datetime` does not support leap-seconds", value)])
"""
    path = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=path))
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "datetime.datetime(2016, 12, 31, 23, 59, 59, 250000, tzinfo=datetime.timezone.utc)",
        "True",
    ]


@pytest.mark.parametrize(
    "changes, getter, message",
    [
        ({"opened_at": "0000-06-01T00:00:00Z"}, "opened_at", "year 0 is out of range"),
        ({"closed_at": "9999-12-31T23:30:00-01:00"}, "closed_at", "year 10000 is out of range"),
        ({"closed_at": "-0001-01-01T00:00:00Z"}, "closed_at", "year -1 is out of range"),
    ],
)
def test_years_datetime_cannot_hold_fail_the_getter_only(changes, getter, message):
    e = envelope(**changes)
    with pytest.raises(ValueError) as info:
        getattr(e, getter)
    assert str(info.value) == message
    assert SignedEnvelope.from_json(e.to_json()) == e


def test_equality_is_to_the_nanosecond():
    a = envelope(opened_at="2024-03-05T07:08:09.000001001Z")
    b = envelope(opened_at="2024-03-05T07:08:09.000001002Z")
    assert a.opened_at == b.opened_at
    assert a != b and not (a == b)
    keys_reordered = SignedEnvelope.from_json(json.dumps(dict(reversed(list(MINIMAL.items())))))
    assert keys_reordered == envelope()
    assert envelope() != envelope(closed_at="2024-03-05T07:08:09Z")
    assert (envelope() == MINIMAL_JSON) is False
    with pytest.raises(TypeError):
        envelope() < envelope()
    with pytest.raises(TypeError):
        hash(envelope())


def test_address_getters_build_new_objects():
    e = envelope()
    assert e.peer_self == e.peer_self and e.peer_self is not e.peer_self
    assert e.to_dict() is not e.to_dict()


def test_canonical_signing_bytes():
    assert envelope().canonical_signing_bytes() == b'["e1","h1",null]'
    assert envelope(response_hash="").canonical_signing_bytes() == b'["e1","h1",""]'
    assert type(envelope().canonical_signing_bytes()) is bytes
    assert (envelope(exchange_id='a"\\\t\x01\u00e9/\x7f', direction="inbound", our_signature="x")
            .canonical_signing_bytes()
            == b'["a\\"\\\\\\t\\u0001\xc3\xa9/\x7f","h1",null]')


@pytest.mark.parametrize(
    "text, error",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("{}", "missing field `exchange_id` at line 1 column 2"),
        ("[]", "invalid length 0, expected struct SignedEnvelope with 12 elements at line 1 column 2"),
        ('["e1",["body","t","r"]]',
         "invalid length 3, expected struct SignedEnvelope with 12 elements at line 1 column 23"),
        ('{"closed_at":null,"closed_at":null}', "duplicate field `closed_at` at line 1 column 29"),
        ("5", "invalid type: integer `5`, expected struct SignedEnvelope at line 1 column 1"),
        (MINIMAL_JSON + " x", "trailing characters at line 1 column 224"),
        (MINIMAL_JSON + "\n}", "trailing characters at line 2 column 1"),
        (MINIMAL_JSON.replace('"outbound"', '"Outbound"'),
         "unknown variant `Outbound`, expected `outbound` or `inbound` at line 1 column 92"),
        (MINIMAL_JSON.replace('"outbound"', "null"), "expected value at line 1 column 83"),
        ('{"opened_at":"2024-13-01T00:00:00Z"}', "input is out of range at line 1 column 35"),
        (MINIMAL_JSON.replace("09Z", "09"), "premature end of input at line 1 column 167"),
        (MINIMAL_JSON.replace('"2024-03-05T07:08:09Z"', "5"),
         "invalid type: integer `5`, expected an RFC 3339 formatted date and time string "
         "at line 1 column 147"),
    ],
)
def test_malformed_envelopes(text, error):
    with pytest.raises(ValueError) as info:
        SignedEnvelope.from_json(text)
    assert type(info.value) is ValueError
    assert str(info.value) == f"invalid SignedEnvelope JSON: {error}"


def test_white_space_after_the_envelope_is_allowed():
    assert SignedEnvelope.from_json(" \t\n" + MINIMAL_JSON + " \r\n\t") == envelope()


def test_argument_types():
    with pytest.raises(TypeError) as info:
        SignedEnvelope.from_json(b"{}")
    assert str(info.value) == "argument 's': 'bytes' object cannot be cast as 'str'"
    assert SignedEnvelope.from_json(s=MINIMAL_JSON) == SignedEnvelope.from_dict(d=MINIMAL)


@pytest.mark.parametrize("value, name", [([], "list"), ("{}", "str"), (None, "NoneType")])
def test_from_dict_refuses_non_dicts_before_touching_json(monkeypatch, value, name):
    monkeypatch.setitem(sys.modules, "json", None)  # importing json would now fail
    with pytest.raises(TypeError) as info:
        SignedEnvelope.from_dict(value)
    assert str(info.value) == f"argument 'd': '{name}' object cannot be cast as 'dict'"


def test_from_dict_accepts_dict_subclasses():
    class Sub(dict):
        pass

    assert SignedEnvelope.from_dict(Sub(MINIMAL)) == envelope()


def test_from_dict_goes_through_json_dumps():
    with pytest.raises(ValueError) as info:
        SignedEnvelope.from_dict(dict(MINIMAL, exchange_id=float("nan")))
    assert str(info.value) == "invalid SignedEnvelope JSON: expected value at line 1 column 17"
    with pytest.raises(TypeError) as info:
        SignedEnvelope.from_dict(dict(MINIMAL, exchange_id={1}))
    assert str(info.value) == "Object of type set is not JSON serializable"
    # json.dumps escapes non-ASCII; the reader decodes it again.
    assert SignedEnvelope.from_dict(dict(MINIMAL, exchange_id="\u00e9")).exchange_id == "\u00e9"


def test_bridge_uses_the_json_module_found_at_call_time(monkeypatch):
    class FakeJson:
        @staticmethod
        def loads(text):
            return ("loaded", text)

        @staticmethod
        def dumps(d):
            return MINIMAL_JSON

    monkeypatch.setitem(sys.modules, "json", FakeJson)
    assert envelope_from_text().to_dict() == ("loaded", MINIMAL_JSON)
    assert SignedEnvelope.from_dict({}) == envelope_from_text()
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        envelope_from_text().to_dict()


def envelope_from_text():
    return SignedEnvelope.from_json(MINIMAL_JSON)


def test_repr_quotes_its_texts():
    assert repr(envelope()) == 'SignedEnvelope(exchange_id="e1", direction="outbound")'
    assert (repr(envelope(exchange_id='a"b\nc\u200b', direction="inbound"))
            == 'SignedEnvelope(exchange_id="a\\"b\\nc\\u{200b}", direction="inbound")')


def test_docstrings():
    assert SignedEnvelope.__doc__ == (
        "Wire record of one completed exchange (quorvel-v1 primitive #4).\n\n"
        "Constructed from canonical JSON (`from_json`) \u2014 direct field-by-field\n"
        "construction is intentionally absent because the envelope's\n"
        "`our_signature` must be produced by the kernel's signing path, not\n"
        "recomputed from Python. Backend Python is a verifier + emitter; the\n"
        "kernel's vesk binary is the signer."
    )
    assert SignedEnvelope.__text_signature__ is None
    assert SignedEnvelope.from_json.__doc__ == (
        "Parse a canonical JSON wire envelope. Matches the form emitted\n"
        "by the kernel + the form `crates/signed_envelope` accepts on the\nwire."
    )
    assert SignedEnvelope.to_json.__doc__ == "Serialize to canonical JSON."
    assert SignedEnvelope.canonical_signing_bytes.__doc__ == (
        "The bytes Ed25519 signs over \u2014\n"
        "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
        "JSON. Same as `crates/primitives` produces, byte-for-byte."
    )
    signatures = {name: getattr(SignedEnvelope, name).__text_signature__
                  for name in ("from_json", "to_json", "canonical_signing_bytes", "to_dict",
                               "from_dict")}
    assert signatures == {"from_json": "(s)", "to_json": "($self)",
                          "canonical_signing_bytes": "($self)", "to_dict": "($self)",
                          "from_dict": "(d)"}
    assert SignedEnvelope.exchange_id.__doc__ is None


def test_frozen():
    e = envelope()
    with pytest.raises(AttributeError):
        e.exchange_id = "x"
    assert not hasattr(e, "__dict__")


def test_first_datetime_lookup_from_many_threads_at_once():
    # A fresh process, so that the datetime lookup has not happened yet; the threads must all
    # get their values and none may deadlock on the lookup in progress.
    script = """
import threading
from qiv_protocol import SignedEnvelope
text = (
    '{"exchange_id":"e1","peer_self":["body","t","r"],"direction":"outbound",'
    '"request_hash":"h1","our_signature":"s1","opened_at":"2024-03-05T07:08:09.5Z",'
    '"protocol_hint":"tcp","counterparty_identifier":"c1"}'
)
e = SignedEnvelope.from_json(text)
barrier = threading.Barrier(8)
results = []
def read():
    barrier.wait()
    results.append(e.opened_at.isoformat())
threads = [threading.Thread(target=read) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(sorted(set(results)), len(results))
"""
    path = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, PYTHONPATH=path))
    assert run.returncode == 0, run.stderr
    assert run.stdout == "['2024-03-05T07:08:09.500000+00:00'] 8\n"


# Python code run by the first import of datetime (here an import hook) reads a timestamp on the
# same thread while the getter's own lookup of the datetime classes is in progress; the nested
# read must be answered, not wait for the lookup that waits for it.
NESTED_LOOKUP_CHILD = """
import sys
from qiv_protocol import SignedEnvelope
envelope = SignedEnvelope.from_json(TEXT)

class ReadsOnImport:
    busy = False

    def find_spec(self, name, path=None, target=None):
        if name == "datetime" and not self.busy:
            self.busy = True
            try:
                print("hook", envelope.opened_at.isoformat())
            finally:
                self.busy = False
        return None

assert "datetime" not in sys.modules
sys.meta_path.insert(0, ReadsOnImport())
print("getter", envelope.opened_at.isoformat())
"""


def test_timestamp_read_by_the_datetime_import_itself_does_not_hang():
    script = f"TEXT = {MINIMAL_JSON!r}\n" + NESTED_LOOKUP_CHILD
    path = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=path), timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "hook 2024-03-05T07:08:09+00:00", "getter 2024-03-05T07:08:09+00:00"]
