"""MockAnchor: submit and verify on the binding runtime, anchor errors, getters and repr."""
import hashlib
import os
import subprocess
import sys
import textwrap

import pytest

from qiv_protocol import AnchorProof, AnchorReceipt, MockAnchor

TIME = "2026-04-15T09:00:00Z"
COUNTING = bytes(range(32))
COUNTING_HEX = COUNTING.hex()


def receipt_with_root(root_hex, **fields):
    record = {
        "anchor_id": "someone-else",
        "anchor_kind": "ethereum",
        "merkle_root_hex": root_hex,
        "submission_ref": "ref",
        "submitted_at": TIME,
        "expected_finality_at": TIME,
        "proof_b64": "",
    }
    record.update(fields)
    return AnchorReceipt.from_dict(record)


@pytest.mark.parametrize(
    "root, root_hex, submission_ref",
    [
        (COUNTING, COUNTING_HEX, "mock://00010203"),
        (b"\xff" * 32, "f" * 64, "mock://ffffffff"),
        (b"\x0a" * 32, "0a" * 32, "mock://0a0a0a0a"),
    ],
)
def test_submit_issues_receipt_with_fixed_texts(root, root_hex, submission_ref):
    receipt = MockAnchor("anchor-1").submit(root)
    assert type(receipt) is AnchorReceipt
    assert (
        receipt.anchor_id,
        receipt.anchor_kind,
        receipt.merkle_root_hex,
        receipt.submission_ref,
        receipt.submitted_at,
        receipt.expected_finality_at,
        receipt.proof_b64,
    ) == ("anchor-1", "local", root_hex, submission_ref, TIME, TIME, "")


def test_verify_confirms_an_issued_receipt():
    anchor = MockAnchor("anchor-1")
    receipt = anchor.submit(COUNTING)
    assert receipt.anchor_id == anchor.id
    proof = anchor.verify(receipt)
    assert type(proof) is AnchorProof
    assert proof.confirmed is True
    assert (proof.anchor_id, proof.anchor_kind, proof.merkle_root_hex) == (
        "anchor-1", "local", COUNTING_HEX)
    assert (proof.authoritative_time, proof.detail) == (TIME, "mock")
    # Keywords work as well as positions.
    assert anchor.verify(receipt=receipt) == proof
    assert anchor.submit(merkle_root=b"\x01" * 32).merkle_root_hex == "01" * 32


def test_double_submission_is_refused_and_the_first_receipt_still_verifies():
    anchor = MockAnchor("a")
    root = hashlib.sha256(b"batch").digest()
    first = anchor.submit(root)
    for _ in range(2):
        with pytest.raises(ValueError) as info:
            anchor.submit(root)
        assert type(info.value) is ValueError
        assert info.value.args == ("anchor already submitted: " + root.hex(),)
    assert anchor.verify(first).confirmed is True
    # Further submissions leave earlier receipts untouched and verifiable.
    before = first.to_json()
    anchor.submit(COUNTING)
    assert first.to_json() == before
    assert anchor.verify(first).merkle_root_hex == root.hex()


def test_anchors_share_nothing():
    a, b = MockAnchor("same"), MockAnchor("same")
    assert a is not b and a != b and not (a == b)
    assert hash(a) != hash(b) and hash(a) == hash(a)
    ra, rb = a.submit(COUNTING), b.submit(COUNTING)
    assert ra == rb  # both anchors are called "same"
    c = MockAnchor("c")
    rc = c.submit(COUNTING)
    assert rc.anchor_id == "c"
    assert rc.to_dict() == dict(ra.to_dict(), anchor_id="c")
    # A receipt from another anchor verifies where the root is held; the proof names the
    # anchor that verified.
    assert c.verify(ra).anchor_id == "c"
    with pytest.raises(KeyError):
        MockAnchor("d").verify(ra)


@pytest.mark.parametrize(
    "field, value",
    [
        ("anchor_id", "other"),
        ("anchor_kind", "solana"),
        ("submission_ref", "x"),
        ("expected_finality_at", "never"),
        ("proof_b64", "AAAA"),
    ],
)
def test_verify_ignores_every_other_field(field, value):
    anchor = MockAnchor("anchor-1")
    issued = anchor.submit(COUNTING).to_dict()
    issued[field] = value
    proof = anchor.verify(AnchorReceipt.from_dict(issued))
    assert (proof.anchor_id, proof.merkle_root_hex, proof.authoritative_time) == (
        "anchor-1", COUNTING_HEX, TIME)


def test_verify_returns_submitted_at_as_authoritative_time():
    anchor = MockAnchor("anchor-1")
    anchor.submit(COUNTING)
    proof = anchor.verify(receipt_with_root(COUNTING_HEX, submitted_at="no time at all"))
    assert proof.authoritative_time == "no time at all"


@pytest.mark.parametrize("text", [COUNTING_HEX.upper(), COUNTING_HEX[:21] + "A" + COUNTING_HEX[22:]])
def test_verify_accepts_either_letter_case_and_keeps_it(text):
    anchor = MockAnchor("a")
    anchor.submit(COUNTING)
    assert anchor.verify(receipt_with_root(text)).merkle_root_hex == text


@pytest.mark.parametrize("text", [COUNTING_HEX, COUNTING_HEX.upper(), "0" * 64, "F" * 64])
def test_verify_of_an_unheld_root_raises_key_error_with_the_text_unchanged(text):
    anchor = MockAnchor("fresh")
    message = "anchor not found: " + text
    with pytest.raises(KeyError) as info:
        try:
            anchor.verify(receipt_with_root(text))
        except ValueError:  # pragma: no cover - must not catch it
            pytest.fail("KeyError caught as ValueError")
    assert type(info.value) is KeyError
    assert info.value.args == (message,)
    assert str(info.value) == repr(message)


@pytest.mark.parametrize(
    "text, detail",
    [
        ("", "root len"),
        ("abc", "Odd number of digits"),
        ("1" * 63, "Odd number of digits"),
        ("z" * 63, "Odd number of digits"),
        ("1" * 66, "root len"),
        ("1" * 62, "root len"),
        ("zz" + "1" * 62, "Invalid character 'z' at position 0"),
        ("1g" + "1" * 62, "Invalid character 'g' at position 1"),
        ("1" * 63 + " ", "Invalid character ' ' at position 63"),
        ("1" * 65 + "x", "Invalid character 'x' at position 65"),
        # Each byte is read as one character: the lead byte of "é" shows as "Ã".
        ("\u00e9" + "1" * 62, "Invalid character '\u00c3' at position 0"),
        ("1\u00e9" + "1" * 61, "Invalid character '\u00c3' at position 1"),
        ("\u00a0" + "1" * 62, "Invalid character '\u00c2' at position 0"),
        ("\x00" + "1" * 63, "Invalid character '\\0' at position 0"),
        ("\t1", "Invalid character '\\t' at position 0"),
        ("\n1", "Invalid character '\\n' at position 0"),
        ("'1", "Invalid character '\\'' at position 0"),
        ("\\1", "Invalid character '\\\\' at position 0"),
        ('"1', "Invalid character '\"' at position 0"),
        ("\x01" + "1", "Invalid character '\\u{1}' at position 0"),
        ("\x7f" + "1", "Invalid character '\\u{7f}' at position 0"),
    ],
)
def test_verify_refuses_root_texts_that_are_not_32_bytes_of_hex(text, detail):
    anchor = MockAnchor("a")
    anchor.submit(b"\x11" * 32)
    with pytest.raises(ValueError) as info:
        anchor.verify(receipt_with_root(text))
    assert type(info.value) is ValueError
    assert info.value.args == ("anchor bad response: " + detail,)


def test_failed_calls_leave_the_table_as_it_was():
    anchor = MockAnchor("a")
    held = anchor.submit(COUNTING)
    unheld_hex = "22" * 32
    failing = [
        lambda: anchor.submit(COUNTING),
        lambda: anchor.submit(b"\x22" * 31),
        lambda: anchor.submit(b"\x22" * 33),
        lambda: anchor.submit(bytearray(b"\x22" * 32)),
        lambda: anchor.verify(receipt_with_root(unheld_hex)),
        lambda: anchor.verify(receipt_with_root("22" * 31 + "2")),
        lambda: anchor.verify(receipt_with_root("zz" * 32)),
        lambda: anchor.verify(held.to_dict()),
    ]
    for call in failing:
        with pytest.raises((ValueError, KeyError, TypeError)):
            call()
    assert anchor.verify(held).confirmed is True
    with pytest.raises(ValueError, match="^anchor already submitted: "):
        anchor.submit(COUNTING)
    # The root that every failure named was never entered.
    with pytest.raises(KeyError):
        anchor.verify(receipt_with_root(unheld_hex))
    assert anchor.submit(b"\x22" * 32).merkle_root_hex == unheld_hex


class Root(bytes):
    pass


@pytest.mark.parametrize(
    "root, exc, message",
    [
        (b"\x00" * 31, ValueError, "merkle_root must be exactly 32 bytes"),
        (b"\x00" * 33, ValueError, "merkle_root must be exactly 32 bytes"),
        (b"", ValueError, "merkle_root must be exactly 32 bytes"),
        (bytearray(32), TypeError, "argument 'merkle_root': 'bytearray' object cannot be cast as 'bytes'"),
        (memoryview(bytes(32)), TypeError,
         "argument 'merkle_root': 'memoryview' object cannot be cast as 'bytes'"),
        ("0" * 32, TypeError, "argument 'merkle_root': 'str' object cannot be cast as 'bytes'"),
        (None, TypeError, "argument 'merkle_root': 'NoneType' object cannot be cast as 'bytes'"),
    ],
)
def test_submit_refuses_other_roots(root, exc, message):
    with pytest.raises(exc) as info:
        MockAnchor("a").submit(root)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_submit_takes_a_bytes_subclass():
    assert MockAnchor("a").submit(Root(COUNTING)).merkle_root_hex == COUNTING_HEX


@pytest.mark.parametrize(
    "argument, message",
    [
        (None, "argument 'receipt': 'NoneType' object cannot be cast as 'AnchorReceipt'"),
        ({}, "argument 'receipt': 'dict' object cannot be cast as 'AnchorReceipt'"),
        ("r", "argument 'receipt': 'str' object cannot be cast as 'AnchorReceipt'"),
    ],
)
def test_verify_refuses_anything_but_a_receipt(argument, message):
    with pytest.raises(TypeError) as info:
        MockAnchor("a").verify(argument)
    assert str(info.value) == message


def test_verify_refuses_a_proof():
    anchor = MockAnchor("a")
    proof = anchor.verify(anchor.submit(COUNTING))
    with pytest.raises(TypeError) as info:
        anchor.verify(proof)
    assert str(info.value) == "argument 'receipt': 'AnchorProof' object cannot be cast as 'AnchorReceipt'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: MockAnchor(), "MockAnchor.__new__() missing 1 required positional argument: 'id'"),
        (lambda: MockAnchor(5), "argument 'id': 'int' object cannot be cast as 'str'"),
        (lambda: MockAnchor(b"a"), "argument 'id': 'bytes' object cannot be cast as 'str'"),
        (lambda: MockAnchor("a", "b"),
         "MockAnchor.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: MockAnchor("a").submit(),
         "MockAnchor.submit() missing 1 required positional argument: 'merkle_root'"),
        (lambda: MockAnchor("a").verify(),
         "MockAnchor.verify() missing 1 required positional argument: 'receipt'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "anchor_id, text",
    [
        ("a", 'MockAnchor(id="a", kind="local")'),
        ("", 'MockAnchor(id="", kind="local")'),
        ('q"\n\\', 'MockAnchor(id="q\\"\\n\\\\", kind="local")'),
        ("\u00e9\u0301", 'MockAnchor(id="\u00e9\\u{301}", kind="local")'),
    ],
)
def test_repr_quotes_the_id(anchor_id, text):
    anchor = MockAnchor(id=anchor_id)
    assert repr(anchor) == text
    assert str(anchor) == text
    assert anchor.id == anchor_id


def test_fixed_getters_and_read_only_attributes():
    anchor = MockAnchor("a")
    assert anchor.kind == "local"
    assert type(anchor.cost_usd_per_submission) is float and anchor.cost_usd_per_submission == 0.0
    assert type(anchor.finality_seconds) is int and anchor.finality_seconds == 0
    for name in ("id", "kind", "cost_usd_per_submission", "finality_seconds"):
        with pytest.raises(AttributeError):
            setattr(anchor, name, 1)
    with pytest.raises(AttributeError):
        anchor.other = 1
    with pytest.raises(TypeError):

        class Sub(MockAnchor):  # noqa: F841
            pass


def test_docstrings():
    assert MockAnchor.__doc__ == (
        "In-memory anchor for tests + local-development. Behaves like an\n"
        "instant-finality anchor that remembers what it submitted. **NOT for\n"
        "production** \u2014 the whole point of an external anchor is *external*\n"
        "witnesses. Use a real concrete anchor (`OpenTimestamps`, \u2026) for\n"
        "any non-test workload."
    )
    assert MockAnchor.__text_signature__ == "(id)"
    assert MockAnchor.submit.__doc__ == (
        "Submit a Merkle root (32 bytes). Returns the receipt the tenant\n"
        "must persist in order to verify later. Raises `ValueError` on\n"
        "double-submission of the same root."
    )
    assert MockAnchor.verify.__doc__ == (
        "Verify a previously-submitted receipt. Raises `ValueError` for\n"
        "unknown roots or malformed input."
    )


def test_results_outlive_the_anchor():
    anchor = MockAnchor("gone")
    receipt = anchor.submit(COUNTING)
    proof = anchor.verify(receipt)
    del anchor
    assert receipt.anchor_id == "gone" and receipt.merkle_root_hex == COUNTING_HEX
    assert proof.anchor_id == "gone" and proof.confirmed is True


# The runtime is process-wide, so whether a call builds it is observed in a fresh process.
RUNTIME_CHILD = textwrap.dedent(
    """
    import os
    import qiv_protocol

    # Threads of the process beyond the interpreter's own. (A new runtime thread names itself
    # once it runs, so names are not yet reliable the moment the call returns.)
    own = len(os.listdir("/proc/self/task"))
    def runtime_threads():
        return len(os.listdir("/proc/self/task")) - own

    anchor = qiv_protocol.MockAnchor("a")
    print(runtime_threads())
    for bad in (b"\\x00" * 31, b"\\x00" * 33, bytearray(32)):
        try:
            anchor.submit(bad)
        except (ValueError, TypeError):
            pass
    try:
        anchor.verify(None)
    except TypeError:
        pass
    print(runtime_threads())
    anchor.submit(bytes(32))
    print(runtime_threads())
    """
)


def test_refused_calls_leave_the_runtime_unbuilt():
    env = dict(os.environ, TOKIO_WORKER_THREADS="2", PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-c", RUNTIME_CHILD], env=env, capture_output=True, text=True, check=True
    ).stdout.split()
    assert out == ["0", "0", "2"]


# Python code can swap in object.__new__ for the class and get an object that holds no anchor;
# every use of it must fail as a fault rather than crash the interpreter.
HOLLOW_CHILD = textwrap.dedent(
    """
    import qiv_protocol
    cls = qiv_protocol.MockAnchor
    cls.__new__ = staticmethod(lambda c, *args: object.__new__(c))
    hollow = cls("x")
    for use in (lambda: hollow.submit(bytes(32)), lambda: hollow.id, lambda: repr(hollow)):
        try:
            use()
        except BaseException as error:
            print(type(error).__name__, error)
    del hollow
    print("alive")
    """
)


def test_an_object_built_around_the_constructor_faults_instead_of_crashing():
    # The child sees the module wherever this process found it (build tree or installed).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", HOLLOW_CHILD], capture_output=True, text=True,
                           env=env, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "PanicException MockAnchor object holds no value: it was not created by qiv_protocol"
    ] * 3 + ["alive"]
