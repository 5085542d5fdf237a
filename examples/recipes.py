"""Recipes that need nothing but the module: pickling, a queue for tests, paths, faults.

Typed for `mypy --strict`; the test suite runs it and type-checks it.
"""
from __future__ import annotations

import contextlib
import copy
import copyreg
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
    SignedEnvelope,
)

# --- Pickling through copyreg ----------------------------------------------------------------
# The classes carry no pickle support of their own; their JSON text is a lossless form
# (timestamps keep their nanoseconds), so a reducer hands the text to from_json.


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
print("recipes: ok")
