"""A short tour of qiv_protocol along its main road.

An envelope arrives as JSON: parse it, check its signature against the signer's descriptor,
spill it to a queue directory, list the queue, anchor the batch's Merkle root, and drop the
item once it has been emitted again.
"""
import hashlib
import tempfile

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

# 3. Spill it to a queue directory, list the queue, anchor the batch, drop the item.
with tempfile.TemporaryDirectory() as tmp:
    queue = EnvelopeQueue(f"{tmp}/envelope-queue")
    queue.push(pair_class, envelope)
    items = queue.list()
    print(f"\n{queue!r} holds {len(items)} item(s):")
    for item in items:
        print(f"  {item!r}: {item.pair_class}, same envelope: {item.envelope == envelope}")

    root = hashlib.sha256(b"".join(i.envelope.canonical_signing_bytes() for i in items)).digest()
    anchor = MockAnchor("demo")
    receipt = anchor.submit(root)
    proof = anchor.verify(receipt)
    print(f"  anchored root {receipt.merkle_root_hex[:16]}... as {receipt.submission_ref}: "
          f"confirmed={proof.confirmed} at {proof.authoritative_time}")

    for item in items:
        queue.drop_item(item.queue_id)
    print(f"  after drop: {len(queue.list())} item(s)")
