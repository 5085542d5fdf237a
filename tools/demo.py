"""A short tour of qiv_protocol: import it and classify a few exchanges."""
import qiv_protocol

print(f"qiv_protocol {qiv_protocol.__version__}: {', '.join(qiv_protocol.__all__)}")

exchanges = [
    ("quic", "peer-17.mesh.example"),
    ("DNS", ""),
    ("mdns", "printer.local"),
    ("noise", "node.example:4433"),
    ("tls-handshake", "https://addr.tolvan.example/resolve"),
    ("tcp", "api.payments-one.example/v1/charges"),
    ("webrtc", "enrich-two.example"),
]
for hint, counterparty in exchanges:
    pair_class = qiv_protocol.classify_exchange(hint, counterparty)
    print(f"  {hint!r:17} with {counterparty!r:40} -> {pair_class}")
