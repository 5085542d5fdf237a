"""A short tour of qiv_protocol along its main road.

An envelope arrives as JSON: parse it, check its signature against the signer's descriptor,
spill it with two more to a queue directory, list the queue, anchor the batch's Merkle root,
and drop the items once they have been emitted again.
"""
import hashlib
import tempfile
from collections.abc import Sequence

import qiv_protocol
from qiv_protocol import (
    EnvelopeQueue,
    MockAnchor,
    PeerIdentityDescriptor,
    ProtocolAddress,
    SignedEnvelope,
    SoftwareIdentity,
    classify_exchange,
)

print(f"qiv_protocol {qiv_protocol.__version__}")

# The signer: an identity from a fixed seed (RFC 8032's first test key) and its public descriptor.
identity = SoftwareIdentity.from_seed(
    bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"))
descriptor_json = identity.descriptor().to_json()
print(f"signer      {identity}")
print(f"descriptor  {descriptor_json}")


def merkle_root(leaves: Sequence[bytes]) -> bytes:
    """The SHA-256 Merkle root of a non-empty batch: each leaf is the SHA-256 of its bytes, each
    parent the SHA-256 of its two children joined, and an odd last node is carried up as it is."""
    level = [hashlib.sha256(leaf).digest() for leaf in leaves]
    while len(level) > 1:
        parents = [hashlib.sha256(level[i] + level[i + 1]).digest()
                   for i in range(0, len(level) - 1, 2)]
        level = parents + level[len(parents) * 2:]
    return level[0]


# 1. Parse an envelope as it comes off the wire (offsets and a relaxed time form are accepted).
wire = (
    '{"exchange_id":"e1","peer_self":{"class":"body","type":"peer","ref":"abc"},'
    '"peer_counterparty":{"class":"route","type":"relay","ref":"r7"},'
    '"direction":"outbound","request_hash":"h1","response_hash":"h2","our_signature":"s1",'
    '"opened_at":"2024-03-05 08:08:09.5+01:00","closed_at":"2024-03-05T07:08:10Z",'
    '"protocol_hint":"tcp","counterparty_identifier":"api.payments-one.example"}'
)
envelope = SignedEnvelope.from_json(wire)
print(f"\nenvelope    {envelope!r}")
for name in ("exchange_id", "peer_self", "peer_counterparty", "direction", "request_hash",
             "response_hash", "opened_at", "closed_at", "protocol_hint",
             "counterparty_identifier"):
    print(f"  {name:24} {getattr(envelope, name)}")
print(f"  written back             {envelope.to_json()}")

address = envelope.peer_self
print(f"  peer_self                {address!r}, hash {hash(address)}")
assert ProtocolAddress.parse(address.to_uri()) == address

# 2. Check its signature: the canonical signing bytes, signed by the identity, verified
#    against the descriptor as a receiver would hold it (parsed from its JSON text).
payload = envelope.canonical_signing_bytes()
signature = identity.sign(payload)
descriptor = PeerIdentityDescriptor.from_json(descriptor_json)
descriptor.verify(payload, signature)
print(f"\nsigning bytes {payload!r}: signature verified against {descriptor.address()}")
try:
    descriptor.verify(payload + b" ", signature)
except ValueError as error:
    print(f"  altered payload: {error}")

pair_class = classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
print(f"  classified as {pair_class}")

# 3. Spill it with two more exchanges to a queue directory, list the queue, anchor the batch
#    under the Merkle root of the items' signing bytes, drop the items.
with tempfile.TemporaryDirectory() as tmp:
    queue = EnvelopeQueue(f"{tmp}/envelope-queue")
    queue.push(pair_class, envelope)
    for exchange_id in ("e2", "e3"):
        queue.push(pair_class, SignedEnvelope.from_json(wire.replace('"e1"', f'"{exchange_id}"')))
    items = queue.list()
    print(f"\n{queue!r} holds {len(items)} item(s):")
    for item in items:
        print(f"  {item!r}: signing bytes {item.envelope.canonical_signing_bytes()!r}")

    leaves = [item.envelope.canonical_signing_bytes() for item in items]
    root = merkle_root(leaves)
    # Three leaves: the first two are paired, the third is carried up to pair with their parent.
    h = [hashlib.sha256(leaf).digest() for leaf in leaves]
    assert root == hashlib.sha256(hashlib.sha256(h[0] + h[1]).digest() + h[2]).digest()
    anchor = MockAnchor("demo")
    receipt = anchor.submit(root)
    proof = anchor.verify(receipt)
    print(f"  anchored root {receipt.merkle_root_hex[:16]}... as {receipt.submission_ref}: "
          f"confirmed={proof.confirmed} at {proof.authoritative_time}")

    for item in items:
        queue.drop_item(item.queue_id)
    print(f"  after drop: {len(queue.list())} item(s)")
