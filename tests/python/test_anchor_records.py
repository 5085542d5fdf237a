"""AnchorReceipt and AnchorProof: getters, reprs, equality and the JSON bridge."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from qiv_protocol import AnchorProof, AnchorReceipt, MockAnchor

ROOT = bytes(range(32)).hex()
TIME = "2026-04-15T09:00:00Z"
KINDS = ["open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local"]
KIND_LIST = "expected one of `open_timestamps`, `ethereum`, `solana`, `nist_tsa`, `handshake`, `local`"

RECEIPT = {
    "anchor_id": "anchor-1",
    "anchor_kind": "local",
    "merkle_root_hex": ROOT,
    "submission_ref": "mock://00010203",
    "submitted_at": TIME,
    "expected_finality_at": TIME,
    "proof_b64": "",
}
PROOF = {
    "anchor_id": "anchor-1",
    "anchor_kind": "local",
    "merkle_root_hex": ROOT,
    "confirmed": True,
    "authoritative_time": TIME,
    "detail": "mock",
}


def compact(d):
    return json.dumps(d, separators=(",", ":"), ensure_ascii=False)


@pytest.fixture
def issued():
    anchor = MockAnchor("anchor-1")
    receipt = anchor.submit(bytes(range(32)))
    return receipt, anchor.verify(receipt)


def test_records_from_the_anchor_round_trip(issued):
    receipt, proof = issued
    for cls, record, fields in ((AnchorReceipt, receipt, RECEIPT), (AnchorProof, proof, PROOF)):
        assert record.to_json() == compact(fields)
        d = record.to_dict()
        assert type(d) is dict and list(d.items()) == list(fields.items())
        assert cls.from_json(record.to_json()) == record
        assert cls.from_dict(record.to_dict()) == record
        assert cls.from_json(s=record.to_json()) == record
        assert cls.from_dict(d=d) == record
        assert record.to_json() is not record.to_json()
    assert type(proof.to_dict()["confirmed"]) is bool


def test_getters_return_the_fields_as_held():
    odd = dict(
        RECEIPT,
        anchor_kind="ethereum",
        merkle_root_hex=ROOT.upper(),
        submitted_at="not a time",
        expected_finality_at="",
        proof_b64="AAAA==",
    )
    r = AnchorReceipt.from_dict(odd)
    assert [getattr(r, key) for key in RECEIPT] == list(odd.values())
    assert r.to_dict() == odd
    p = AnchorProof.from_dict(dict(PROOF, confirmed=False, authoritative_time="soon"))
    assert p.confirmed is False and p.authoritative_time == "soon"
    assert p.to_json() == compact(dict(PROOF, confirmed=False, authoritative_time="soon"))


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_reads_and_writes_back(kind):
    text = compact(dict(RECEIPT, anchor_kind=kind))
    r = AnchorReceipt.from_json(text)
    assert r.anchor_kind == kind and r.to_json() == text
    p = AnchorProof.from_json(compact(dict(PROOF, anchor_kind={kind: None})))
    assert p.anchor_kind == kind


def test_other_reading_forms():
    assert AnchorReceipt.from_json(json.dumps(list(RECEIPT.values()))) == AnchorReceipt.from_dict(RECEIPT)
    assert AnchorProof.from_json(" [" + ",".join(json.dumps(v) for v in PROOF.values()) + "]\n\t") == \
        AnchorProof.from_dict(PROOF)
    reordered = dict(reversed(list(RECEIPT.items())))
    assert AnchorReceipt.from_dict(reordered).to_json() == compact(RECEIPT)
    nested = dict(RECEIPT, extra={"a": [1, {"b": None}], "c": "}"})
    assert AnchorReceipt.from_dict(nested) == AnchorReceipt.from_dict(RECEIPT)
    # json.dumps writes non-ASCII text as \u escapes, which read back as the same text.
    text_ful = dict(RECEIPT, anchor_id='q"\\\n\u00e9\U0001f600')
    assert AnchorReceipt.from_dict(text_ful).anchor_id == text_ful["anchor_id"]
    assert AnchorReceipt.from_dict(text_ful).to_json() == compact(text_ful)


def after(text, token):
    """The column just behind the first `token` in a one-line `text`."""
    return text.index(token) + len(token)


QUOTED_LOCAL = '"Local"'
QUOTED_TRUE = '"true"'
WITHOUT_PROOF = compact({k: v for k, v in RECEIPT.items() if k != "proof_b64"})
WITHOUT_ID_AND_PROOF = compact({k: v for k, v in RECEIPT.items() if k not in ("anchor_id", "proof_b64")})
CAPITAL_KIND = compact(dict(RECEIPT, anchor_kind="Local"))
KIND_WITH_VALUE = compact(dict(RECEIPT, anchor_kind={"local": 1}))
NULL_KIND = compact(dict(RECEIPT, anchor_kind=None))
SIX_VALUES = json.dumps(list(RECEIPT.values())[:6])
STRING_CONFIRMED = compact(dict(PROOF, confirmed="true"))
NULL_CONFIRMED = compact(dict(PROOF, confirmed=None))
NUMBER_CONFIRMED = compact(dict(PROOF, confirmed=1))


@pytest.mark.parametrize(
    "cls, text, error",
    [
        (AnchorReceipt, "{}", "missing field `anchor_id` at line 1 column 2"),
        (AnchorReceipt, WITHOUT_PROOF, f"missing field `proof_b64` at line 1 column {len(WITHOUT_PROOF)}"),
        (AnchorReceipt, WITHOUT_ID_AND_PROOF,
         f"missing field `anchor_id` at line 1 column {len(WITHOUT_ID_AND_PROOF)}"),
        (AnchorReceipt, CAPITAL_KIND,
         f"unknown variant `Local`, {KIND_LIST} at line 1 column {after(CAPITAL_KIND, QUOTED_LOCAL)}"),
        (AnchorReceipt, KIND_WITH_VALUE,
         f"invalid type: integer `1`, expected unit at line 1 column {after(KIND_WITH_VALUE, ':1')}"),
        # Refused at its first byte, with that byte counted.
        (AnchorReceipt, NULL_KIND, f"expected value at line 1 column {NULL_KIND.index('null') + 1}"),
        (AnchorReceipt, '{"anchor_id":"a","anchor_id":"b"}', "duplicate field `anchor_id` at line 1 column 28"),
        (AnchorReceipt, SIX_VALUES,
         f"invalid length 6, expected struct AnchorReceipt with 7 elements at line 1 column {len(SIX_VALUES)}"),
        (AnchorReceipt, '"x"', "invalid type: string \"x\", expected struct AnchorReceipt at line 1 column 3"),
        (AnchorReceipt, "", "EOF while parsing a value at line 1 column 0"),
        (AnchorReceipt, compact(RECEIPT) + " x", f"trailing characters at line 1 column {len(compact(RECEIPT)) + 2}"),
        (AnchorReceipt, compact(RECEIPT) + "\n\n x",
         "trailing characters at line 3 column 2"),
        (AnchorProof, "[]", "invalid length 0, expected struct AnchorProof with 6 elements at line 1 column 2"),
        (AnchorProof, STRING_CONFIRMED,
         f"invalid type: string \"true\", expected a boolean at line 1 column {after(STRING_CONFIRMED, QUOTED_TRUE)}"),
        (AnchorProof, NULL_CONFIRMED,
         f"invalid type: null, expected a boolean at line 1 column {after(NULL_CONFIRMED, 'null')}"),
        (AnchorProof, NUMBER_CONFIRMED,
         f"invalid type: integer `1`, expected a boolean at line 1 column {after(NUMBER_CONFIRMED, ':1')}"),
        (AnchorProof, "null", "invalid type: null, expected struct AnchorProof at line 1 column 4"),
    ],
)
def test_from_json_errors(cls, text, error):
    name = cls.__name__
    with pytest.raises(ValueError) as info:
        cls.from_json(text)
    assert type(info.value) is ValueError
    assert info.value.args == (f"invalid {name} JSON: {error}",)


@pytest.mark.parametrize(
    "cls, d, error",
    [
        (AnchorReceipt, {}, "missing field `anchor_id` at line 1 column 2"),
        (AnchorReceipt, {"anchor_id": 5}, "invalid type: integer `5`, expected a string at line 1 column 15"),
        (AnchorReceipt, dict(RECEIPT, anchor_kind="Local"),
         f"unknown variant `Local`, {KIND_LIST} at line 1 column 48"),
        (AnchorProof, {"confirmed": "false"}, 'invalid type: string "false", expected a boolean at line 1 column 21'),
        # json.dumps writes NaN, which is no JSON.
        (AnchorProof, {"confirmed": float("nan")}, "expected value at line 1 column 15"),
    ],
)
def test_from_dict_errors(cls, d, error):
    with pytest.raises(ValueError) as info:
        cls.from_dict(d)
    assert info.value.args == (f"invalid {cls.__name__} JSON: {error}",)


def test_json_dumps_failures_pass_through():
    with pytest.raises(TypeError) as info:
        AnchorProof.from_dict(dict(PROOF, detail={1, 2}))
    assert "not JSON serializable" in str(info.value)


@pytest.mark.parametrize("cls", [AnchorReceipt, AnchorProof])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.from_dict([]), "argument 'd': 'list' object cannot be cast as 'dict'"),
        (lambda c: c.from_dict(None), "argument 'd': 'NoneType' object cannot be cast as 'dict'"),
        (lambda c: c.from_json(b"{}"), "argument 's': 'bytes' object cannot be cast as 'str'"),
        (lambda c: c.from_json({}), "argument 's': 'dict' object cannot be cast as 'str'"),
    ],
)
def test_argument_errors(cls, call, message):
    with pytest.raises(TypeError) as info:
        call(cls)
    assert str(info.value) == message


def test_from_dict_refuses_a_list_before_importing_json():
    child = textwrap.dedent(
        """
        import sys
        from qiv_protocol import AnchorReceipt
        sys.modules["json"] = None  # any import of json now fails
        try:
            AnchorReceipt.from_dict([])
        except TypeError as e:
            print(e)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out == "argument 'd': 'list' object cannot be cast as 'dict'\n"


def test_reprs():
    r = AnchorReceipt.from_dict(dict(RECEIPT, anchor_id="m"))
    assert repr(r) == f'AnchorReceipt(anchor_id="m", kind="local", root="{ROOT}")'
    assert str(r) == repr(r)
    q = AnchorReceipt.from_dict(dict(RECEIPT, anchor_id='a"\nb', anchor_kind="nist_tsa", merkle_root_hex="\u00e9\t"))
    assert repr(q) == 'AnchorReceipt(anchor_id="a\\"\\nb", kind="nist_tsa", root="\u00e9\\t")'
    p = AnchorProof.from_dict(dict(PROOF, confirmed=False))
    assert repr(p) == f'AnchorProof(anchor_id="anchor-1", kind="local", confirmed=false, root="{ROOT}")'
    assert repr(AnchorProof.from_dict(PROOF)).count("confirmed=true") == 1


def test_equality_by_value_and_unhashable():
    r = AnchorReceipt.from_dict(RECEIPT)
    assert r == AnchorReceipt.from_json(compact(RECEIPT)) and not (r != AnchorReceipt.from_dict(RECEIPT))
    for key, value in [("proof_b64", "x"), ("merkle_root_hex", ROOT.upper()), ("anchor_kind", "solana"),
                       ("submitted_at", TIME + " "), ("anchor_id", "Anchor-1")]:
        other = AnchorReceipt.from_dict(dict(RECEIPT, **{key: value}))
        assert r != other and not (r == other)
    p = AnchorProof.from_dict(PROOF)
    assert p != AnchorProof.from_dict(dict(PROOF, confirmed=False))
    assert p == AnchorProof.from_dict(dict(PROOF))
    assert (r == p) is False and (r != p) is True
    assert r != RECEIPT and p != PROOF
    for record in (r, p):
        with pytest.raises(TypeError):
            hash(record)
        with pytest.raises(TypeError):
            record < record  # noqa: B015


@pytest.mark.parametrize("cls", [AnchorReceipt, AnchorProof])
def test_classes_cannot_be_called_changed_or_subclassed(cls):
    with pytest.raises(TypeError):
        cls()
    record = cls.from_dict(RECEIPT if cls is AnchorReceipt else PROOF)
    with pytest.raises(AttributeError):
        record.anchor_id = "x"
    with pytest.raises(AttributeError):
        record.other = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_docstrings():
    assert AnchorReceipt.__doc__ == (
        "Receipt returned when a Merkle root is submitted to an external\n"
        "anchor. Persisted alongside the batch so it can be verified later.\n"
        "Python sees this as a parsed/serialisable record \u2014 actual anchor\n"
        "submission stays in the kernel's async runtime."
    )
    assert AnchorProof.__doc__ == (
        "Result of verifying an `AnchorReceipt` against the external anchor.\n"
        "`confirmed = false` means pending finality (not failure \u2014 failures\n"
        "return Err in the kernel's verify path, which here surfaces as a\n"
        "`ValueError` at parse time if the JSON is malformed)."
    )
    for cls in (AnchorReceipt, AnchorProof):
        assert cls.from_json.__text_signature__ == "(s)"
        assert cls.to_json.__text_signature__ == "($self)"
        assert cls.from_dict.__text_signature__ == "(d)"
        assert cls.to_dict.__text_signature__ == "($self)"
