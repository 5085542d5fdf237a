"""Sixteen Python threads using every class at once.

Each thread runs the same script of calls (parsing, writing, signing, verifying, anchors, queue
operations, failing roads included) on objects of its own and on objects shared by all threads:
one identity and its descriptor, one anchor, one queue directory, one machinery object with a
shared-borrow counter. The interpreter is made to switch threads as often as it can, and the
dict bridge calls back into Python (json) in the middle of calls, so threads interleave inside
calls too. Every thread's results must equal those of the same script run alone; afterwards the
shared objects must hold exactly what all threads put there and still work, and the counter
must be back at zero.

Classes that the module does not have yet are left out of the script, with a printed notice.
"""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import qiv_protocol

THREADS = 16
ROUNDS = 60          # rounds of the in-memory script per thread
QUEUE_ROUNDS = 6     # rounds that also push, list and drop (each push writes and syncs a file)

ENVELOPE = {
    "exchange_id": "",
    "peer_self": {"class": "body", "type": "peer", "ref": "abc"},
    "peer_counterparty": {"class": "route", "type": "relay", "ref": "r/1"},
    "direction": "inbound",
    "request_hash": "rq",
    "response_hash": "rs",
    "our_signature": "os",
    "opened_at": "2026-04-15T09:00:00.123456789Z",
    "closed_at": "2026-04-15T11:00:01+02:00",
    "protocol_hint": "dns",
    "counterparty_identifier": "peer-1",
}
HINTS = ["dns", "tcp", "noise", "", "MDNS", "x3dh"]
COUNTERPARTIES = ["", "api.payments-one.example/v1", "enrich-two.example", "governance.tolvan.example"]


# The members each part of the script uses; a class that lacks one (classes land piece by
# piece) is left out.
USES = {
    "ProtocolAddress": ("parse", "to_uri", "to_dict"),
    "CounterpartyInfo": ("to_dict",),
    "SignedEnvelope": ("from_json", "to_json", "to_dict", "from_dict", "canonical_signing_bytes"),
    "PeerIdentityDescriptor": ("from_json", "to_json", "to_dict", "verify", "address"),
    "SoftwareIdentity": ("from_seed", "sign", "descriptor", "secret_bytes"),
    "AnchorReceipt": ("from_json", "to_json"),
    "MockAnchor": ("submit", "verify"),
    "EnvelopeQueue": ("push", "list", "drop_item"),
}


def cls(name):
    found = getattr(qiv_protocol, name, None)
    if found is None or not all(hasattr(found, m) for m in USES[name]):
        return None
    return found


def outcome(fn, *args, **kwargs):
    """The call's result, or its exception as (type name, message)."""
    try:
        return fn(*args, **kwargs)
    except BaseException as exc:  # PanicException is a BaseException
        return (type(exc).__name__, str(exc))


def load_testkit():
    try:
        import _qiv_testkit
    except ImportError:
        return None
    return _qiv_testkit


def envelope_text(thread, k):
    return json.dumps(dict(ENVELOPE, exchange_id=f"ex-{thread:02d}-{k:03d}"))


def root(thread, k, salt=0):
    return bytes([thread, k, salt]) + bytes(range(29))


class Shared:
    """The objects every thread uses, built fresh for each run."""

    def __init__(self, base):
        self.identity = self.descriptor = self.anchor = self.queue = self.gauge = None
        self.base = base
        if cls("SoftwareIdentity") and cls("PeerIdentityDescriptor"):
            self.identity = cls("SoftwareIdentity").from_seed(bytes(range(32)))
            self.descriptor = self.identity.descriptor()
        if cls("MockAnchor") and cls("AnchorReceipt"):
            self.anchor = cls("MockAnchor")("shared")
        if cls("EnvelopeQueue") and cls("SignedEnvelope"):
            self.queue = cls("EnvelopeQueue")(os.path.join(base, "shared"))
        kit = load_testkit()
        if kit:
            self.gauge = kit.Gauge.open("shared")


def script(thread, shared):
    """One thread's calls; returns what they gave, as plain values."""
    out = []
    A, E, S = cls("ProtocolAddress"), cls("SignedEnvelope"), cls("SoftwareIdentity")
    D, R, C = cls("PeerIdentityDescriptor"), cls("AnchorReceipt"), cls("CounterpartyInfo")
    kit = load_testkit()
    own_identity = S.from_seed(bytes([thread]) * 32) if S else None
    own_queue = (cls("EnvelopeQueue")(os.path.join(shared.base, f"own-{thread}"))
                 if shared.queue else None)
    for k in range(ROUNDS):
        out.append(qiv_protocol.classify_exchange(HINTS[(thread + k) % len(HINTS)],
                                                  COUNTERPARTIES[k % len(COUNTERPARTIES)]))
        if A:
            a = A.parse(f"tvq://act/t{thread}/r/{k}")
            out.append((a.to_uri(), repr(a), hash(a), a.to_dict(), a == A("act", f"t{thread}", f"r/{k}")))
            out.append(outcome(A, "Act", "x", "y"))
            out.append(outcome(A.parse, f"tvq://act/{k}"))
        if C:
            c = C(f"id-{thread}", "dns", peer_address=f"p{k}")
            out.append((c.to_dict(), repr(c)))
        if E:
            e = E.from_json(envelope_text(thread, k))
            out.append((e.to_json(), e.to_dict(), e.canonical_signing_bytes(), repr(e),
                        e.opened_at, e.closed_at, str(e.peer_self)))
            out.append(E.from_dict(e.to_dict()) == e)
            out.append(outcome(E.from_json, envelope_text(thread, k)[:-2]))
        if shared.identity:
            payload = f"payload {thread} {k}".encode()
            signature = shared.identity.sign(payload)
            out.append((signature, shared.identity.fingerprint, repr(shared.identity)))
            out.append(shared.descriptor.verify(payload, signature))
            out.append(outcome(shared.descriptor.verify, payload + b"!", signature))
            mine = own_identity.sign(payload)
            out.append((mine, outcome(shared.descriptor.verify, payload, mine)))
            out.append(own_identity.descriptor().verify(payload, mine))
            d = D.from_json(shared.descriptor.to_json())
            out.append((d == shared.descriptor, d.to_dict(), str(d.address())))
        if shared.anchor:
            receipt = shared.anchor.submit(root(thread, k))
            proof = shared.anchor.verify(receipt)
            out.append((receipt.to_json(), proof.to_json(), proof.confirmed, repr(shared.anchor)))
            out.append(outcome(shared.anchor.submit, root(thread, k)))
            never = R.from_json(receipt.to_json().replace(receipt.merkle_root_hex,
                                                          root(thread, k, 1).hex()))
            out.append(outcome(shared.anchor.verify, never))
            out.append(outcome(shared.anchor.submit, b"short"))
        if kit:
            g = shared.gauge
            out.append((g.label, repr(g), g.dump({"k": [thread, k]})))
            out.append(outcome(g.refuse, f"no {k}"))
            out.append(outcome(g.dump, [k]))
            s = kit.Sample(f"s{thread}", [str(k)], None, bytes([k]))
            out.append((s.to_dict(), s.describe(), repr(s), hash(s)))
            out.append(outcome(s.fault, f"fault {k}"))  # the fault road, report on stderr
        if k < QUEUE_ROUNDS and own_queue:
            for q in (own_queue, shared.queue):
                q.push("routing", E.from_json(envelope_text(thread, k)))
                q.push("trust", E.from_json(envelope_text(thread, k + 100)))
                q.drop_item(f"ex-{thread:02d}-{k + 100:03d}")
            items = own_queue.list()
            out.append([(i.queue_id, i.pair_class, i.envelope.to_json(), repr(i)) for i in items])
            out.append(outcome(own_queue.push, 5, None))
    return out


def run_threads(shared):
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def body(thread):
        try:
            barrier.wait()
            results[thread] = script(thread, shared)
        except BaseException as exc:  # noqa: B902 - reported below with the thread number
            errors.append((thread, repr(exc)))

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert errors == []
    return results


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_sixteen_threads_get_the_single_threaded_results(tmp_path, fast_switching, capfd):
    absent = [n for n in USES if cls(n) is None]
    alone_dir, threaded_dir = tmp_path / "alone", tmp_path / "threads"
    alone_dir.mkdir()
    threaded_dir.mkdir()

    alone = Shared(str(alone_dir))
    expected = [script(t, alone) for t in range(THREADS)]
    shared = Shared(str(threaded_dir))
    results = run_threads(shared)
    for t in range(THREADS):
        assert results[t] == expected[t], f"thread {t}"

    # The shared objects hold what all threads put there, and every method still works.
    if shared.queue:
        listed = shared.queue.list()
        assert [i.queue_id for i in listed] == sorted(
            f"ex-{t:02d}-{k:03d}" for t in range(THREADS) for k in range(QUEUE_ROUNDS))
        assert [i.envelope.to_json() for i in listed] == [i.envelope.to_json()
                                                          for i in alone.queue.list()]
        for item in listed:
            shared.queue.drop_item(item.queue_id)
        assert shared.queue.list() == []
    if shared.anchor:
        for t in range(THREADS):
            for k in range(ROUNDS):
                with pytest.raises(ValueError):
                    shared.anchor.submit(root(t, k))
        receipt = shared.anchor.submit(root(200, 0))
        assert shared.anchor.verify(receipt).confirmed is True
        assert shared.anchor.id == "shared" and repr(shared.anchor) == repr(alone.anchor)
    if shared.identity:
        assert shared.identity.secret_bytes() == bytes(range(32))
        assert shared.descriptor.verify(b"x", shared.identity.sign(b"x")) is None
        assert shared.identity.descriptor() == alone.identity.descriptor()
    if shared.gauge:
        # The counter that every mutable class keeps, read directly: all borrows returned.
        kit = load_testkit()
        assert kit.borrow_count(shared.gauge) == 0
        assert shared.gauge.label == "shared"
        with pytest.raises(BaseException):
            shared.gauge.explode()
        assert kit.borrow_count(shared.gauge) == 0
    capfd.readouterr()
    if absent:
        with capfd.disabled():
            print(f"\ntest_threads: missing or incomplete in qiv_protocol, left out: "
                  f"{', '.join(absent)}")


# Daemon threads still inside calls that run Python code (the dict bridge calls the host's json,
# the datetime getters may wait for the interpreter lock) when the main thread ends: the
# interpreter ends each of them as it tries to take the lock back, with a forced unwind through
# the module's frames. The process must exit cleanly, every time.
#
# The interpreters 3.10 to 3.13 have a race of their own at exit: a daemon thread still waiting
# for the lock when the interpreter state is freed at the very end may wake on freed memory. The
# object below keeps the interpreter busy, holding the lock, for 20 ms while it tears the main
# module down, so that most waiting threads have been ended by then; the threads are still
# ended inside the module's calls, as before. That is enough on 3.11 to 3.13; 3.10 still
# crashes now and then, also with threads that never call into this module (its take_gil
# touching the freed state), which interpreter_exit_race_only below allows for.
DAEMON_EXIT_CHILD = textwrap.dedent(
    """
    import threading, time
    import qiv_protocol
    envelope = qiv_protocol.SignedEnvelope.from_dict(ENVELOPE)

    class BusyAtTeardown:
        def __del__(self, clock=time.perf_counter):
            end = clock() + 0.02
            while clock() < end:
                pass

    busy_at_teardown = BusyAtTeardown()

    def churn():
        while True:
            qiv_protocol.SignedEnvelope.from_dict(envelope.to_dict()).to_json()
            envelope.opened_at

    for _ in range(8):
        threading.Thread(target=churn, daemon=True).start()
    time.sleep(0.05)
    """
)


def interpreter_exit_race_only(code, err):
    """Whether a child's end is the one way 3.10 itself crashes at exit, whatever the threads
    did: a segmentation fault with nothing printed (a fault of this module that the forced
    unwind met would print "FATAL: exception not rethrown" and abort). On 3.10 that crash was
    seen in 1 to 5 runs of 100, also with threads that never call into this module, more often
    on a loaded machine; a run that ends so is made again."""
    return sys.version_info < (3, 11) and code == -signal.SIGSEGV and not err.strip()


def test_daemon_threads_inside_calls_let_the_interpreter_exit():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if os.environ.get("QIV_SANITIZED") == "1":
        # What the ended threads held is left unreleased on purpose, at exit.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    script = f"ENVELOPE = {ENVELOPE!r}\n" + DAEMON_EXIT_CHILD

    def run_children(count):
        children = [subprocess.Popen([sys.executable, "-c", script], env=env, text=True,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                    for _ in range(count)]
        try:
            return [(child.communicate(timeout=120)[1], child.returncode) for child in children]
        finally:
            for child in children:
                child.kill()

    ends = run_children(20)
    for _ in range(3):  # a run that met only the interpreter's own race gets up to 3 more tries
        again = [end for end in ends if interpreter_exit_race_only(end[1], end[0])]
        if not again:
            break
        ends = [end for end in ends if end not in again] + run_children(len(again))
    assert [code for _, code in ends] == [0] * 20, [err[-1000:] for err, code in ends if code]
