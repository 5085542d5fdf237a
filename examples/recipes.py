"""Recipes that need nothing but the module: pickling, a queue for tests, paths, faults, and
what a verifier needs to know: the public key's bytes, how records are read from JSON, and what
the in-memory anchor does and does not check.

Typed for `mypy --strict` and pyright's strict mode; the test suite runs it and type-checks it.
"""
from __future__ import annotations

import base64
import contextlib
import copy
import copyreg
import json
import os
import pathlib
import pickle
import tempfile
from collections.abc import Callable, Generator

from qiv_protocol import (
    AnchorProof,
    AnchorReceipt,
    EnvelopeQueue,
    MockAnchor,
    PeerIdentityDescriptor,
    ProtocolAddress,
    SignedEnvelope,
    SoftwareIdentity,
)

# --- Pickling through copyreg ----------------------------------------------------------------
# The classes carry no pickle support of their own; a reducer hands their JSON text to
# from_json. The copy keeps what to_json writes (timestamps keep their nanoseconds), which is
# everything but the vendor of a descriptor's attestation without a certificate.


def _reduce_envelope(record: SignedEnvelope) -> tuple[Callable[[str], SignedEnvelope], tuple[str]]:
    return SignedEnvelope.from_json, (record.to_json(),)


def _reduce_descriptor(
    record: PeerIdentityDescriptor,
) -> tuple[Callable[[str], PeerIdentityDescriptor], tuple[str]]:
    return PeerIdentityDescriptor.from_json, (record.to_json(),)


def _reduce_receipt(record: AnchorReceipt) -> tuple[Callable[[str], AnchorReceipt], tuple[str]]:
    return AnchorReceipt.from_json, (record.to_json(),)


def _reduce_proof(record: AnchorProof) -> tuple[Callable[[str], AnchorProof], tuple[str]]:
    return AnchorProof.from_json, (record.to_json(),)


copyreg.pickle(SignedEnvelope, _reduce_envelope)
copyreg.pickle(PeerIdentityDescriptor, _reduce_descriptor)
copyreg.pickle(AnchorReceipt, _reduce_receipt)
copyreg.pickle(AnchorProof, _reduce_proof)

ENVELOPE = SignedEnvelope.from_json(
    '{"exchange_id":"e1","peer_self":{"class":"body","type":"peer","ref":"abc"},'
    '"direction":"inbound","request_hash":"h1","our_signature":"s1",'
    '"opened_at":"2024-03-05T07:08:09.123456789Z","protocol_hint":"tcp",'
    '"counterparty_identifier":"peer.example"}'
)
copied = pickle.loads(pickle.dumps(ENVELOPE))
assert isinstance(copied, SignedEnvelope) and copied == ENVELOPE
assert copy.deepcopy(ENVELOPE) == ENVELOPE  # copy uses the same registry

# An address goes through its three fields and its constructor. Its URI would not do: the fields
# are joined by "/" as they are, so a type holding a "/" comes back split at it.


def _reduce_address(
    address: ProtocolAddress,
) -> tuple[type[ProtocolAddress], tuple[str, str, str]]:
    return ProtocolAddress, (address.address_class, address.type, address.ref)


copyreg.pickle(ProtocolAddress, _reduce_address)
ADDRESS = ProtocolAddress("body", "a/b", "c")
assert pickle.loads(pickle.dumps(ADDRESS)) == ADDRESS
through_uri = ProtocolAddress.parse(ADDRESS.to_uri())
assert (through_uri.type, through_uri.ref) == ("a", "b/c") and through_uri != ADDRESS

# --- A queue for tests in a temporary directory ----------------------------------------------


@contextlib.contextmanager
def temporary_queue() -> Generator[EnvelopeQueue, None, None]:
    """A queue whose directory, with every item file, is gone after the block."""
    with tempfile.TemporaryDirectory() as tmp:
        yield EnvelopeQueue(os.path.join(tmp, "envelope-queue"))


with temporary_queue() as queue:
    queue.push("routing", ENVELOPE)
    assert [item.queue_id for item in queue.list()] == ["e1"]

# --- Paths: the queue takes str, not a pathlib.Path ------------------------------------------
with tempfile.TemporaryDirectory() as tmp:
    directory = pathlib.Path(tmp) / "spool"
    queue = EnvelopeQueue(str(directory))  # EnvelopeQueue(directory) raises TypeError
    queue.push("trust", ENVELOPE)
    assert pathlib.Path(queue.dir) == directory and (directory / "e1.json").is_file()

# --- Telling a fault from an ordinary error --------------------------------------------------
# A broken internal invariant raises pyo3_runtime.PanicException, a BaseException that cannot
# be imported; `except Exception` lets it pass. Catch BaseException and look at the type name.


def is_fault(error: BaseException) -> bool:
    return type(error).__module__ == "pyo3_runtime" and type(error).__name__ == "PanicException"


def submit_or_none(anchor: MockAnchor, root: bytes) -> AnchorReceipt | None:
    try:
        return anchor.submit(root)
    except ValueError:
        return None  # a malformed or repeated root: an ordinary error
    except BaseException as error:
        if is_fault(error):
            print(f"fault: {error}")
            return None
        raise


anchor = MockAnchor("recipes")
assert submit_or_none(anchor, b"\x01" * 31) is None  # ValueError: not 32 bytes
assert submit_or_none(anchor, b"\x01" * 32) is not None
assert submit_or_none(anchor, b"\x01" * 32) is None  # ValueError: already submitted

# --- The public key's bytes ------------------------------------------------------------------
# public_key_b64 is standard base64 without padding: 43 characters for 32 bytes. Python's
# decoder wants the padding back, one "=".
descriptor = SoftwareIdentity.from_seed(bytes(range(32))).descriptor()
key_text = descriptor.public_key_b64
assert len(key_text) == 43 and not key_text.endswith("=")
public_key = base64.b64decode(key_text + "=", validate=True)
assert len(public_key) == 32
assert PeerIdentityDescriptor.fingerprint_of(public_key) == descriptor.fingerprint

# --- Reading records from JSON ---------------------------------------------------------------
# Keys a record does not have are skipped, whatever they hold; a repeated key of the record is
# refused; an array holding the values in field order reads like the object form, null standing
# for an absent optional field.
fields = json.loads(ENVELOPE.to_json())
with_unknown = SignedEnvelope.from_json(json.dumps({"relay": {"hops": [1, 2]}, **fields}))
assert with_unknown == ENVELOPE
repeated = '{"exchange_id":"e1","exchange_id":"e2"' + ENVELOPE.to_json()[len('{"exchange_id":"e1"'):]
try:
    SignedEnvelope.from_json(repeated)
    raise AssertionError("a repeated key was read")
except ValueError as error:
    assert str(error) == (
        "invalid SignedEnvelope JSON: duplicate field `exchange_id` at line 1 column 33")
as_array = json.dumps([
    "e1", {"class": "body", "type": "peer", "ref": "abc"}, None, "inbound", "h1", None, None,
    "s1", "2024-03-05T07:08:09.123456789Z", None, "tcp", "peer.example",
])
assert SignedEnvelope.from_json(as_array) == ENVELOPE

# Every reading error ends with the position of the fault, for every record.
for text, parse, message in [
    ("{}", AnchorReceipt.from_json,
     "invalid AnchorReceipt JSON: missing field `anchor_id` at line 1 column 2"),
    ('{"fingerprint":"f"}', PeerIdentityDescriptor.from_json,
     "invalid PeerIdentityDescriptor JSON: missing field `public_key_b64` at line 1 column 19"),
    ("[", AnchorProof.from_json,
     "invalid AnchorProof JSON: EOF while parsing a list at line 1 column 1"),
]:
    try:
        parse(text)
        raise AssertionError(f"{text!r} was read")
    except ValueError as error:
        assert str(error) == message, error

# --- What the in-memory anchor checks --------------------------------------------------------
# Its receipts carry fixed times, and verify reads only the receipt's root and submitted_at:
# the proof names the verifying anchor and copies submitted_at as its authoritative_time, but
# the receipt's anchor_id is never compared. A verifier that cares who issued a receipt
# compares receipt.anchor_id itself.
mock = MockAnchor("mock-a")
receipt = mock.submit(bytes(32))
assert receipt.submitted_at == receipt.expected_finality_at == "2026-04-15T09:00:00Z"
assert mock.verify(receipt).authoritative_time == "2026-04-15T09:00:00Z"
foreign = AnchorReceipt.from_dict({**receipt.to_dict(), "anchor_id": "someone-else"})
proof = mock.verify(foreign)  # no error: anchor_id is not looked at
assert proof.confirmed and proof.anchor_id == "mock-a" and foreign.anchor_id != proof.anchor_id
print("recipes: ok")
