"""Calls that the module refuses at run time and that type checkers must refuse too.

tools/typecheck.sh runs mypy --strict and pyright in strict mode on this file: each checker must
report an error on exactly the lines marked `# refused`, and on no other line. Never run.
"""
import pathlib

from qiv_protocol import (
    AnchorProof,
    AnchorReceipt,
    EnvelopeQueue,
    PeerIdentityDescriptor,
    ProtocolAddress,
    QueuedItem,
    SignedEnvelope,
    SoftwareIdentity,
)

# Six classes have no constructor: calling them raises TypeError.
envelope = SignedEnvelope()  # refused
descriptor = PeerIdentityDescriptor()  # refused
identity = SoftwareIdentity()  # refused
receipt = AnchorReceipt()  # refused
proof = AnchorProof()  # refused
item = QueuedItem()  # refused
# Nor with an argument: no value is of the parameter's type.
parsed = SignedEnvelope("{}")  # refused

# A getter's type is what it returns: `ref` is a str.
n: int = ProtocolAddress.parse("tvq://body/t/r").ref  # refused

# The queue takes text only (TypeError "argument 'dir': ..." for a path object).
queue = EnvelopeQueue(pathlib.Path("spool"))  # refused
