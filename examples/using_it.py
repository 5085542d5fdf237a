"""The main road: parse an envelope, check its signature, spill it to a queue, list, drop.

Runs as written (the test suite executes it): the signer is made here from a fixed seed, and
the queue lives in a temporary directory instead of EnvelopeQueue.default().
"""
import tempfile

from qiv_protocol import (
    EnvelopeQueue,
    PeerIdentityDescriptor,
    SignedEnvelope,
    SoftwareIdentity,
    classify_exchange,
)

# What a back-end receives: the envelope's JSON text, the signer's descriptor and a signature
# over the envelope's canonical signing bytes (made here with a throw-away identity).
text = (
    '{"exchange_id":"e1","peer_self":{"class":"body","type":"peer","ref":"abc"},'
    '"direction":"outbound","request_hash":"h1","our_signature":"s1",'
    '"opened_at":"2024-03-05T07:08:09Z","protocol_hint":"https",'
    '"counterparty_identifier":"api.example.org"}'
)
signer = SoftwareIdentity.from_seed(bytes(range(32)))
descriptor_text = signer.descriptor().to_json()
signature = signer.sign(SignedEnvelope.from_json(text).canonical_signing_bytes())

envelope = SignedEnvelope.from_json(text)  # ValueError "invalid SignedEnvelope JSON: ..."
descriptor = PeerIdentityDescriptor.from_json(descriptor_text)
descriptor.verify(envelope.canonical_signing_bytes(), signature)  # ValueError on a bad signature

with tempfile.TemporaryDirectory() as tmp:
    queue = EnvelopeQueue(f"{tmp}/envelope-queue")  # or EnvelopeQueue.default()
    pair_class = classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
    queue.push(pair_class, envelope)
    for item in queue.list():  # in file-name order
        print(item.queue_id, item.pair_class, item.envelope.opened_at.isoformat())
        queue.drop_item(item.queue_id)
    assert queue.list() == []
