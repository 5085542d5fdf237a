"""Leak check: calls every entry point of qiv_protocol in a loop and watches resident memory.

    python3 leakcheck.py                 # every exercise, default sizes
    python3 leakcheck.py --scale 0.2     # a fifth of the iterations
    python3 leakcheck.py --limit-kb 4096 # a looser bound per exercise

Each exercise is one round of calls into one class (or the module function), its failing roads
included: wrong argument types, parse errors, verification failures, queue and anchor errors.
An exercise runs a warm-up (caches, interned texts, allocator arenas and the runtime's threads
settle), then its rounds; resident memory (/proc/self/statm) is read after a full collection
before and after the rounds. A leak of a few dozen bytes per round shows as megabytes; growth
beyond --limit-kb in any exercise fails the run (exit 1). Classes that the module does not have
yet are skipped with a notice. tests/python/test_leaks.py runs this in a child process.
"""
import argparse
import base64
import gc
import json
import os
import shutil
import sys
import tempfile
import warnings

import qiv_protocol

PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024

ENVELOPE = {
    "exchange_id": "0190a5c4-7d1e-7000-8000-00000000000a",
    "peer_self": {"class": "body", "type": "peer", "ref": "abc"},
    "peer_counterparty": {"class": "route", "type": "relay", "ref": "r/1"},
    "direction": "outbound",
    "request_hash": "rq",
    "response_hash": "rs",
    "counterparty_signature": "cs",
    "our_signature": "os",
    "opened_at": "2026-04-15T09:00:00.123456789Z",
    "closed_at": "2026-04-15T09:00:01+02:00",
    "protocol_hint": "dns",
    "counterparty_identifier": "peer-1",
}
ENVELOPE_JSON = json.dumps(ENVELOPE, separators=(",", ":"))
LEAP_ENVELOPE_JSON = ENVELOPE_JSON.replace("2026-04-15T09:00:01+02:00", "2016-12-31T23:59:60.5Z")

# The first test vector of RFC 8032 (Ed25519): empty message.
RFC8032_PUBLIC = bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")
RFC8032_SIGNATURE = bytes.fromhex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
    "b46bd25bf5f0595bbe24655141438e7a100b")
# y = 2 has no x on the curve.
NOT_A_POINT = (2).to_bytes(32, "little")
DESCRIPTOR = {
    "fingerprint": "0" * 32,
    "public_key_b64": base64.b64encode(RFC8032_PUBLIC).decode().rstrip("="),
    "surface": "secure_element",
    "attestation": {"certs_b64": ["AAAA", "BBBB"], "vendor": "v"},
    "created_at": "2026-04-15T00:00:00Z",
    "superseded_by": {"class": "body", "type": "peer", "ref": "next"},
}
DESCRIPTOR_JSON = json.dumps(DESCRIPTOR)
RECEIPT = {
    "anchor_id": "m",
    "anchor_kind": "local",
    "merkle_root_hex": "ab" * 32,
    "submission_ref": "ref",
    "submitted_at": "2026-04-15T09:00:00Z",
    "expected_finality_at": "2026-04-15T09:00:00Z",
    "proof_b64": "",
}
RECEIPT_JSON = json.dumps(RECEIPT)
PROOF = {
    "anchor_id": "m",
    "anchor_kind": "local",
    "merkle_root_hex": "ab" * 32,
    "confirmed": True,
    "authoritative_time": "2026-04-15T09:00:00Z",
    "detail": "mock",
}
PROOF_JSON = json.dumps(PROOF)


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_KB


def expect(exc_type, fn, *args, **kwargs):
    """Calls fn, which must raise exc_type (exactly that class or a subclass)."""
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r}{args!r} did not raise {exc_type.__name__}")


# Why each skipped class was skipped, for the notice.
ABSENT = {}


def cls(name, *members):
    """The class `name` of qiv_protocol, or None when it is missing or lacks one of `members`
    (classes land piece by piece)."""
    found = getattr(qiv_protocol, name, None)
    if found is None:
        ABSENT[name] = "not in qiv_protocol yet"
        return None
    lacking = [m for m in members if not hasattr(found, m)]
    if lacking:
        ABSENT[name] = "has no " + ", ".join(lacking) + " yet"
        return None
    return found


# --- exercises: each returns a function making one round of calls, or None to skip ----------


def ex_classify():
    f = qiv_protocol.classify_exchange

    def round_():
        f("dns", "api.payments-one.example/v1")
        f(protocol_hint="noise", counterparty="")
        f("\u00e9" * 40, "x" * 200)
        expect(TypeError, f, 1, "x")
        expect(TypeError, f, "x")
        expect(TypeError, f, "x", "y", z=1)
    return round_


def ex_address():
    A = cls("ProtocolAddress", "parse", "to_uri", "to_dict", "address_class", "type", "ref")
    if A is None:
        return None
    other = A("body", "a", "b")

    def round_():
        a = A("body", "peer", "abc")
        b = A.parse("tvq://act/x/y/z")
        a.to_uri(), str(b), repr(a), hash(a), a.to_dict()
        a.address_class, a.type, a.ref
        _ = a == other, a != "x", {a: 1}
        A(address_class="mediation", type_="\u200b\"", ref_="")
        expect(ValueError, A, "Body", "x", "y")
        expect(ValueError, A.parse, "tvq://act/x")
        expect(TypeError, A, 1, "x", "y")
        expect(TypeError, A.parse, b"tvq://act/x/y")
        expect(TypeError, lambda: a < other)
    return round_


def ex_counterparty():
    C = cls("CounterpartyInfo", "to_dict", "identifier", "protocol_hint", "peer_address",
            "counterparty_signature")
    if C is None:
        return None

    def round_():
        c = C("a", "b")
        d = C("a", "b", peer_address="p", counterparty_signature="s")
        c.identifier, c.protocol_hint, c.peer_address, d.counterparty_signature
        c.to_dict(), repr(d)
        _ = c == d, c != 5
        expect(TypeError, C, "a", 5)
        expect(TypeError, C, "a")
        expect(TypeError, C, "a", "b", "c", "d", "e")
    return round_


def ex_envelope():
    E = cls("SignedEnvelope", "from_json", "to_json", "to_dict", "from_dict",
            "canonical_signing_bytes")
    if E is None:
        return None
    reference = E.from_json(ENVELOPE_JSON)

    def round_():
        e = E.from_json(ENVELOPE_JSON)
        e.to_json(), e.to_dict(), e.canonical_signing_bytes(), repr(e)
        E.from_dict(ENVELOPE)
        for name in ("exchange_id", "peer_self", "peer_counterparty", "direction",
                     "request_hash", "response_hash", "counterparty_signature", "our_signature",
                     "opened_at", "closed_at", "protocol_hint", "counterparty_identifier"):
            getattr(e, name)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            E.from_json(LEAP_ENVELOPE_JSON).closed_at
        _ = e == reference, e != 1
        expect(ValueError, E.from_json, "")
        expect(ValueError, E.from_json, ENVELOPE_JSON + "x")
        expect(ValueError, E.from_json, ENVELOPE_JSON.replace('"outbound"', '"sideways"'))
        expect(ValueError, E.from_json, "[" * 200)
        expect(ValueError, E.from_dict, {"exchange_id": float("nan")})
        expect(TypeError, E.from_dict, [])
        expect(TypeError, E.from_dict, {"x": {1, 2}})
        expect(TypeError, E.from_json, None)
        expect(TypeError, E)
    return round_


def ex_attestation():
    C = cls("AttestationChain", "is_empty", "certs_b64", "vendor")
    if C is None:
        return None

    def round_():
        a = C()
        b = C(["a", "b" * 100], "v")
        c = C(certs_b64=("a", "b" * 100), vendor="v")
        a.is_empty(), b.certs_b64, b.vendor, repr(b)
        _ = b == c, a != b
        expect(TypeError, C, "abc")
        expect(TypeError, C, None)
        expect(TypeError, C, ["a", 1])
        expect(TypeError, C, [], None)
        expect(TypeError, hash, a)
    return round_


def ex_descriptor():
    D = cls("PeerIdentityDescriptor", "from_json", "to_json", "from_dict", "to_dict",
            "fingerprint_of", "verify", "address")
    if D is None:
        return None
    bad_key = dict(DESCRIPTOR, public_key_b64="A" * 43 + "=")

    def round_():
        d = D.from_json(DESCRIPTOR_JSON)
        d.to_json(), d.to_dict(), repr(d), d.address()
        D.from_dict(DESCRIPTOR)
        for name in ("fingerprint", "public_key_b64", "surface", "tier", "hardware_attested",
                     "attestation", "created_at", "superseded_by"):
            getattr(d, name)
        d.verify(b"", RFC8032_SIGNATURE)
        D.fingerprint_of(RFC8032_PUBLIC)
        expect(ValueError, d.verify, b"x", RFC8032_SIGNATURE)
        expect(ValueError, d.verify, b"", RFC8032_SIGNATURE[:63])
        expect(ValueError, D.from_dict(bad_key).verify, b"", RFC8032_SIGNATURE)
        expect(ValueError, D.fingerprint_of, b"\x00" * 31)
        expect(ValueError, D.fingerprint_of, NOT_A_POINT)
        expect(ValueError, D.from_json, "{}")
        expect(ValueError, D.from_dict, dict(DESCRIPTOR, attestation=None))
        expect(TypeError, d.verify, bytearray(b""), RFC8032_SIGNATURE)
        expect(TypeError, D.fingerprint_of, "x" * 32)
        expect(TypeError, D)
    return round_


def ex_identity():
    S = cls("SoftwareIdentity", "from_seed", "generate", "sign", "descriptor", "secret_bytes")
    if S is None:
        return None
    seed = bytes(range(32))
    counter = [0]

    def round_():
        x = S.from_seed(seed)
        sig = x.sign(b"payload")
        x.sign(payload=b"")
        d = x.descriptor()
        d.verify(b"payload", sig)
        x.secret_bytes(), x.fingerprint, x.surface, x.hardware_attested, repr(x), hash(x)
        counter[0] += 1
        if counter[0] % 8 == 0:
            S.generate()
        expect(ValueError, S.from_seed, b"\x00" * 31)
        expect(TypeError, S.from_seed, bytearray(32))
        expect(TypeError, x.sign, "text")
        expect(TypeError, S.generate, 1)
        expect(TypeError, S)
    return round_


def ex_anchor_records():
    R = cls("AnchorReceipt", "from_json", "to_json", "from_dict", "to_dict")
    P = cls("AnchorProof", "from_json", "to_json", "from_dict", "to_dict")
    if R is None or P is None:
        return None

    def round_():
        r = R.from_json(RECEIPT_JSON)
        p = P.from_json(PROOF_JSON)
        r.to_json(), r.to_dict(), p.to_json(), p.to_dict(), repr(r), repr(p)
        R.from_dict(RECEIPT), P.from_dict(PROOF)
        for name in ("anchor_id", "anchor_kind", "merkle_root_hex", "submission_ref",
                     "submitted_at", "expected_finality_at", "proof_b64"):
            getattr(r, name)
        for name in ("anchor_id", "anchor_kind", "merkle_root_hex", "confirmed",
                     "authoritative_time", "detail"):
            getattr(p, name)
        _ = r == R.from_json(RECEIPT_JSON), r != p
        expect(ValueError, R.from_json, "{}")
        expect(ValueError, R.from_json, RECEIPT_JSON.replace('"local"', '"Local"'))
        expect(ValueError, P.from_json, PROOF_JSON.replace("true", '"true"'))
        expect(TypeError, R.from_dict, [])
        expect(TypeError, hash, p)
        expect(TypeError, R)
    return round_


def ex_mock_anchor():
    M = cls("MockAnchor", "submit", "verify")
    R = cls("AnchorReceipt", "from_json")
    if M is None or R is None:
        return None
    unknown = R.from_json(RECEIPT_JSON)
    odd = R.from_json(RECEIPT_JSON.replace("ab" * 32, "abc"))
    roots = [bytes([i]) * 32 for i in range(4)]

    def round_():
        # A fresh anchor each round: its table grows with every submitted root by design.
        m = M("anchor \"one\"\n")
        receipts = [m.submit(root) for root in roots]
        for receipt in receipts:
            m.verify(receipt)
        m.id, m.kind, m.cost_usd_per_submission, m.finality_seconds, repr(m)
        expect(ValueError, m.submit, roots[0])
        expect(KeyError, m.verify, unknown)
        expect(ValueError, m.verify, odd)
        expect(ValueError, m.submit, b"\x00" * 31)
        expect(TypeError, m.submit, bytearray(32))
        expect(TypeError, m.verify, None)
        expect(TypeError, M)
    return round_


def ex_queue(scratch):
    Q = cls("EnvelopeQueue", "push", "list", "drop_item", "default")
    E = cls("SignedEnvelope", "from_json")
    if Q is None or E is None:
        return None
    envelopes = [E.from_json(ENVELOPE_JSON.replace("00000000000a", f"00000000000{i}"))
                 for i in range(3)]
    good = os.path.join(scratch, "queue")
    corrupt = os.path.join(scratch, "corrupt")
    os.makedirs(corrupt)
    with open(os.path.join(corrupt, "x.json"), "w") as f:
        f.write("{not json")
    blocker = os.path.join(scratch, "file")
    with open(blocker, "w") as f:
        f.write("")
    q, bad_json, blocked = Q(good), Q(corrupt), Q(os.path.join(blocker, "sub"))
    nameless = E.from_json(json.dumps(dict(ENVELOPE, exchange_id="...")))

    def round_():
        for e in envelopes:
            q.push("routing", e)
        for item in q.list():
            item.queue_id, item.pair_class, item.envelope, repr(item)
            q.drop_item(item.queue_id)
        q.drop_item("absent")
        q.dir, repr(q), Q.default().dir
        expect(ValueError, bad_json.list)
        expect(OSError, blocked.push, "routing", envelopes[0])
        expect(ValueError, q.push, "routing", nameless)
        expect(TypeError, q.push, 5, envelopes[0])
        expect(TypeError, q.push, "routing", "x")
        expect(TypeError, q.drop_item, None)
        expect(TypeError, Q, b"dir")
    return round_


class RaisingSequence:
    """A sequence whose iteration fails with a chained TypeError."""

    def __getitem__(self, index):
        error = TypeError("iteration broke")
        error.__cause__ = KeyError("root")
        raise error


def ex_machinery():
    """The entry machinery under every class, through the test-only module: argument
    matching and conversion errors, shared borrows, and the fault road."""
    try:
        import _qiv_testkit
    except ImportError:
        ABSENT["_qiv_testkit"] = "not importable"
        return None
    Sample, Gauge = _qiv_testkit.Sample, _qiv_testkit.Gauge
    g = Gauge.open("g")
    other = Sample("b")

    def round_():
        s = Sample("a", ["t", "u"], "n", b"\x00\xff")
        Sample(blob=b"b", note=None, tags=("t",), name="a")
        Sample.from_parts(c="3", a="1", b="2"), Sample.make(), Sample.from_dict({"k": [1]})
        s.combine(other, separator="+"), s.describe(), s.to_dict(), s.as_dict(), s.split()
        s.name, s.tags, s.note, s.blob, s.size, s.ratio, s.has_note, s.clone
        repr(s), str(s), hash(s), s == other, s != 1
        g.label, repr(g), g.dump({"k": 1})
        expect(ValueError, g.refuse, "no")
        expect(TypeError, Sample)
        expect(TypeError, Sample, "a", name="b")
        expect(TypeError, Sample, "a", colour=1)
        expect(TypeError, Sample, 1)
        expect(TypeError, Sample, "a", "abc")
        expect(TypeError, Sample, "a", ["x", 1])
        expect(TypeError, Sample, "a", RaisingSequence())
        expect(UnicodeEncodeError, Sample, "\ud800")
        expect(TypeError, s.combine, {"name": "b"})
        expect(TypeError, Sample.from_dict, [1])
        expect(TypeError, Sample.from_dict, {"k": {1, 2}})
        expect(TypeError, g.dump, [])
        expect(BaseException, s.fault, "broken")
        expect(BaseException, g.explode)
    return round_


# name, factory, rounds at scale 1. The queue makes file-system calls (and syncs) on every push
# and drop, so it gets fewer rounds.
EXERCISES = [
    ("binding machinery (_qiv_testkit)", ex_machinery, 10000),
    ("classify_exchange", ex_classify, 40000),
    ("ProtocolAddress", ex_address, 20000),
    ("CounterpartyInfo", ex_counterparty, 20000),
    ("SignedEnvelope", ex_envelope, 6000),
    ("AttestationChain", ex_attestation, 20000),
    ("PeerIdentityDescriptor", ex_descriptor, 4000),
    ("SoftwareIdentity", ex_identity, 4000),
    ("AnchorReceipt+AnchorProof", ex_anchor_records, 6000),
    ("MockAnchor", ex_mock_anchor, 8000),
    ("EnvelopeQueue+QueuedItem", ex_queue, 3000),
]


def with_quiet_stderr(round_):
    def quiet():
        sys.stderr.flush()
        saved = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)
        try:
            round_()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
    return quiet


def is_module_function(fn):
    """Whether fn is a function or method of qiv_protocol (static ones have no __self__)."""
    owner = getattr(fn, "__self__", None)
    return (owner is None and getattr(fn, "__module__", "") is None) or owner is qiv_protocol or \
        type(owner).__module__ in ("qiv_protocol", "_qiv_testkit")


def count_calls(round_):
    """Calls of the module's functions and methods in one round: constructors, getters and
    slots (repr, hash, ==) are not seen by the profiler and come on top."""
    calls = 0

    def profile(frame, event, arg):
        nonlocal calls
        if event == "c_call" and is_module_function(arg):
            calls += 1
    sys.setprofile(profile)
    try:
        round_()
    finally:
        sys.setprofile(None)
    return calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every round count")
    parser.add_argument("--limit-kb", type=int, default=2048,
                        help="largest resident growth allowed per exercise")
    parser.add_argument("--inject-leak", type=int, default=0, metavar="BYTES",
                        help="keep BYTES per round alive (checks that the check catches leaks)")
    args = parser.parse_args()

    kept = []
    failures = []
    total_calls = 0
    # The queue syncs every file it writes: on a memory file system that costs nothing.
    shm = "/dev/shm"
    scratch = tempfile.mkdtemp(prefix="qiv-leakcheck-",
                               dir=shm if os.access(shm, os.W_OK) else None)
    try:
        for name, factory, rounds in EXERCISES:
            round_ = factory(scratch) if factory is ex_queue else factory()
            if round_ is None:
                reasons = "; ".join(f"{c} {why}" for c, why in ABSENT.items()) or "not available"
                print(f"leakcheck: {name}: skipped ({reasons})")
                ABSENT.clear()
                continue
            ABSENT.clear()
            if factory is ex_machinery:
                # Every fault writes its report to standard error; keep a hundred thousand of
                # them out of the log.
                round_ = with_quiet_stderr(round_)
            rounds = max(50, int(rounds * args.scale))
            warmup = max(20, rounds // 10)
            for _ in range(warmup):
                round_()
            per_round = count_calls(round_)
            gc.collect()
            before = rss_kb()
            for _ in range(rounds):
                round_()
                if args.inject_leak:
                    kept.append(bytes(args.inject_leak))
            gc.collect()
            after = rss_kb()
            growth = after - before
            calls = per_round * rounds
            total_calls += calls
            verdict = "ok" if growth <= args.limit_kb else f"LEAK (limit {args.limit_kb} KiB)"
            print(f"leakcheck: {name}: {rounds} rounds, {calls} method calls ({per_round} per "
                  f"round), rss {before} -> {after} KiB, growth {growth} KiB: {verdict}")
            if growth > args.limit_kb:
                failures.append(name)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"leakcheck: {total_calls} method calls in all, besides constructors, getters and "
          f"slots; "
          f"{'FAILED: ' + ', '.join(failures) if failures else 'no leak found'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
