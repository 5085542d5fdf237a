#!/usr/bin/env python3
"""Python-side benchmarks of qiv_protocol next to what a user would write instead.

Each group times the module's call and its peers in the same process, as the best of several
repeats of a timeit loop, and writes the figures as JSON (--out). A module class or method
that is not in the built module yet is recorded as "not built yet"; a peer library that is not
importable is recorded as such. Nothing here asserts: the figures are reported, not checked.

    python3 bench/py_bench.py --module-dir build-bench/python --work-dir build-bench --out r.json
"""

import argparse
import base64
import dataclasses
import datetime
import gc
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
import timeit
from typing import Literal, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

NOT_BUILT = "not built yet"

# --- Peers: what a user would write without the module --------------------------------------

ADDRESS_CLASSES = ("body", "act", "datum", "prop", "discard", "pair", "doc", "evidence",
                   "route", "mediation")


@dataclasses.dataclass(frozen=True)
class DcAddress:
    # "class" is a keyword; orjson writes this field as "class_".
    class_: str
    type: str
    ref: str


@dataclasses.dataclass(frozen=True)
class DcEnvelope:
    exchange_id: str
    peer_self: DcAddress
    peer_counterparty: Optional[DcAddress]
    direction: str
    request_hash: str
    response_hash: Optional[str]
    counterparty_signature: Optional[str]
    our_signature: str
    opened_at: datetime.datetime
    closed_at: Optional[datetime.datetime]
    protocol_hint: str
    counterparty_identifier: str


def dc_address(d):
    return DcAddress(d["class"], d["type"], d["ref"])


def dc_envelope_from_dict(d):
    cp = d.get("peer_counterparty")
    closed = d.get("closed_at")
    return DcEnvelope(
        d["exchange_id"], dc_address(d["peer_self"]), dc_address(cp) if cp is not None else None,
        d["direction"], d["request_hash"], d.get("response_hash"),
        d.get("counterparty_signature"), d["our_signature"],
        datetime.datetime.fromisoformat(d["opened_at"]),
        datetime.datetime.fromisoformat(closed) if closed is not None else None,
        d["protocol_hint"], d["counterparty_identifier"])


def _ts_text(ts):
    return ts.isoformat().replace("+00:00", "Z")


def dc_envelope_to_dict(e):
    d = {"exchange_id": e.exchange_id,
         "peer_self": {"class": e.peer_self.class_, "type": e.peer_self.type,
                       "ref": e.peer_self.ref}}
    if e.peer_counterparty is not None:
        p = e.peer_counterparty
        d["peer_counterparty"] = {"class": p.class_, "type": p.type, "ref": p.ref}
    d["direction"] = e.direction
    d["request_hash"] = e.request_hash
    if e.response_hash is not None:
        d["response_hash"] = e.response_hash
    if e.counterparty_signature is not None:
        d["counterparty_signature"] = e.counterparty_signature
    d["our_signature"] = e.our_signature
    d["opened_at"] = _ts_text(e.opened_at)
    if e.closed_at is not None:
        d["closed_at"] = _ts_text(e.closed_at)
    d["protocol_hint"] = e.protocol_hint
    d["counterparty_identifier"] = e.counterparty_identifier
    return d


def dc_parse_address(uri):
    if not uri.startswith("tvq://"):
        raise ValueError("invalid tvq:// URI: " + uri)
    parts = uri[6:].split("/", 2)
    if len(parts) != 3 or parts[0] not in ADDRESS_CLASSES:
        raise ValueError("invalid tvq:// URI: " + uri)
    return DcAddress(parts[0], parts[1], parts[2])


def make_pydantic_models():
    from pydantic import BaseModel, ConfigDict, Field

    class PdAddress(BaseModel):
        model_config = ConfigDict(frozen=True, populate_by_name=True)
        class_: Literal["body", "act", "datum", "prop", "discard", "pair", "doc", "evidence",
                        "route", "mediation"] = Field(alias="class")
        type: str
        ref: str

    class PdEnvelope(BaseModel):
        model_config = ConfigDict(frozen=True)
        exchange_id: str
        peer_self: PdAddress
        peer_counterparty: Optional[PdAddress] = None
        direction: Literal["outbound", "inbound"]
        request_hash: str
        response_hash: Optional[str] = None
        counterparty_signature: Optional[str] = None
        our_signature: str
        opened_at: datetime.datetime
        closed_at: Optional[datetime.datetime] = None
        protocol_hint: str
        counterparty_identifier: str

    return PdEnvelope


# A pure-Python one-file-per-item queue with durable pushes: write a temporary file, fsync it,
# rename it over the item file, fsync the directory. Drop unlinks the file.

@dataclasses.dataclass(frozen=True)
class PyQueuedItem:
    queue_id: str
    pair_class: str
    envelope: DcEnvelope


_UNSAFE = re.compile(r"[^0-9A-Za-z_-]")


class PyEnvelopeQueue:
    def __init__(self, directory):
        self.dir = directory

    def _path(self, queue_id):
        return os.path.join(self.dir, _UNSAFE.sub("", queue_id) + ".json")

    def push(self, pair_class, envelope):
        try:
            os.stat(self.dir)
        except OSError:
            os.makedirs(self.dir, exist_ok=True)
        item = {"queue_id": envelope.exchange_id, "pair_class": pair_class,
                "envelope": dc_envelope_to_dict(envelope)}
        data = json.dumps(item, indent=2, ensure_ascii=False).encode()
        path = self._path(envelope.exchange_id)
        tmp = path + ".tmp"
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
        dfd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)

    def list(self):
        try:
            os.stat(self.dir)
        except OSError:
            return []
        names = sorted(n for n in os.listdir(self.dir)
                       if n.endswith(".json") and n.rfind(".") > 0)
        items = []
        for name in names:
            with open(os.path.join(self.dir, name), "rb") as f:
                d = json.loads(f.read())
            items.append(PyQueuedItem(d["queue_id"], d["pair_class"],
                                      dc_envelope_from_dict(d["envelope"])))
        return items

    def drop_item(self, queue_id):
        path = self._path(queue_id)
        try:
            os.stat(path)
        except OSError:
            return
        os.unlink(path)


# A pure-Python in-memory anchor shaped like MockAnchor, for scale.
class PyMockAnchor:
    def __init__(self, anchor_id):
        self.id = anchor_id
        self._receipts = {}

    def submit(self, root):
        if len(root) != 32:
            raise ValueError("merkle_root must be exactly 32 bytes")
        if root in self._receipts:
            raise ValueError("anchor already submitted: " + root.hex())
        hex_root = root.hex()
        receipt = {"anchor_id": self.id, "anchor_kind": "local", "merkle_root_hex": hex_root,
                   "submission_ref": "mock://" + hex_root[:8],
                   "submitted_at": "2026-04-15T09:00:00Z",
                   "expected_finality_at": "2026-04-15T09:00:00Z", "proof_b64": ""}
        self._receipts[root] = receipt
        return receipt

    def verify(self, receipt):
        root = bytes.fromhex(receipt["merkle_root_hex"])
        if len(root) != 32:
            raise ValueError("anchor bad response: root len")
        if root not in self._receipts:
            raise KeyError("anchor not found: " + receipt["merkle_root_hex"])
        return {"anchor_id": self.id, "anchor_kind": "local",
                "merkle_root_hex": receipt["merkle_root_hex"], "confirmed": True,
                "authoritative_time": receipt["submitted_at"], "detail": "mock"}


# --- Timing ---------------------------------------------------------------------------------

class Bench:
    def __init__(self, target_s, repeat):
        self.target_s = target_s
        self.repeat = repeat
        self.rows = []
        self.notes = []

    def best_ns(self, fn):
        timer = timeit.Timer(fn)
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= self.target_s / 4 or number >= 1 << 24:
                break
            number *= 4 if elapsed < self.target_s / 40 else 2
        number = max(1, int(number * self.target_s / max(elapsed, 1e-9)))
        times = sorted(timer.repeat(self.repeat, number))
        self.last_median_ns = times[len(times) // 2] / number * 1e9
        return times[0] / number * 1e9

    def add(self, group, name, role, fn=None, status=None, **extra):
        row = {"group": group, "name": name, "role": role}
        if status is None and fn is not None:
            try:
                fn()
                row["ns"] = self.best_ns(fn)
                row["median_ns"] = self.last_median_ns
                row["status"] = "ok"
            except Exception as exc:  # a call that fails is reported, not hidden
                row["status"] = "failed: %s: %s" % (type(exc).__name__, exc)
        else:
            row["status"] = status or "ok"
        row.update(extra)
        self.rows.append(row)
        line = "  %-40s %-50s %s" % (group, name, ("%.0f ns" % row["ns"]) if "ns" in row
                                      else row["status"])
        print(line, file=sys.stderr, flush=True)
        return row


def lookup(module, dotted):
    """The module attribute at `dotted` ("SignedEnvelope.from_json"), or None."""
    obj = module
    for part in dotted.split("."):
        obj = getattr(obj, part, None) if obj is not None else None
    return obj


def payload(size):
    out = bytearray()
    state = 0x9E3779B9
    for _ in range(size):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append(state >> 24)
    return bytes(out)


SEED = bytes((i * 7 + 1) & 0xFF for i in range(32))

# --- Groups ---------------------------------------------------------------------------------


def bench_envelopes(b, qp, peers):
    texts = {}
    for label, fname in (("typical", "typical_envelope.json"), ("long", "long_envelope.json")):
        with open(os.path.join(DATA, fname), encoding="utf-8") as f:
            texts[label] = f.read()
    from_json = lookup(qp, "SignedEnvelope.from_json")
    Pd = peers.get("pydantic")
    orjson = peers.get("orjson")
    for label, text in texts.items():
        g = "envelope from_json (%s, %d B)" % (label, len(text))
        if from_json:
            b.add(g, "qiv_protocol SignedEnvelope.from_json", "ours", lambda: from_json(text))
        else:
            b.add(g, "qiv_protocol SignedEnvelope.from_json", "ours", status=NOT_BUILT)
        if Pd:
            b.add(g, "pydantic v2 model_validate_json", "peer:pydantic",
                  lambda: Pd.model_validate_json(text))
        else:
            b.add(g, "pydantic v2 model_validate_json", "peer:pydantic",
                  status=peers["pydantic_status"])
        b.add(g, "json.loads + dataclass", "peer:json",
              lambda: dc_envelope_from_dict(json.loads(text)))

        g = "envelope to_json (%s)" % label
        env = None
        if from_json and lookup(qp, "SignedEnvelope.to_json"):
            try:
                env = from_json(text)
            except Exception as exc:
                b.notes.append("SignedEnvelope.from_json failed on %s: %s" % (label, exc))
        if env is not None:
            b.add(g, "qiv_protocol SignedEnvelope.to_json", "ours", env.to_json)
        else:
            b.add(g, "qiv_protocol SignedEnvelope.to_json", "ours", status=NOT_BUILT)
        if Pd:
            model = Pd.model_validate_json(text)
            b.add(g, "pydantic v2 model_dump_json", "peer:pydantic",
                  lambda: model.model_dump_json(by_alias=True, exclude_none=True))
        else:
            b.add(g, "pydantic v2 model_dump_json", "peer:pydantic",
                  status=peers["pydantic_status"])
        dc = dc_envelope_from_dict(json.loads(text))
        if orjson:
            b.add(g, "orjson.dumps(dataclass)", "peer:orjson", lambda: orjson.dumps(dc))
        else:
            b.add(g, "orjson.dumps(dataclass)", "peer:orjson", status=peers["orjson_status"])

        g = "canonical_signing_bytes (%s)" % label
        if env is not None and lookup(qp, "SignedEnvelope.canonical_signing_bytes"):
            b.add(g, "qiv_protocol canonical_signing_bytes", "ours", env.canonical_signing_bytes)
            expected = json.dumps([dc.exchange_id, dc.request_hash, dc.response_hash],
                                  separators=(",", ":"), ensure_ascii=False).encode()
            if env.canonical_signing_bytes() != expected:
                b.notes.append("canonical_signing_bytes (%s) differs from the json.dumps form"
                               % label)
        else:
            b.add(g, "qiv_protocol canonical_signing_bytes", "ours", status=NOT_BUILT)
        b.add(g, "json.dumps([...]).encode()", "peer:json",
              lambda: json.dumps([dc.exchange_id, dc.request_hash, dc.response_hash],
                                 separators=(",", ":"), ensure_ascii=False).encode())


def bench_crypto(b, qp, peers):
    ed = peers.get("ed25519")
    from_seed = lookup(qp, "SoftwareIdentity.from_seed")
    identity = None
    if from_seed:
        try:
            identity = from_seed(SEED)
        except Exception as exc:
            b.notes.append("SoftwareIdentity.from_seed failed: %s" % exc)
    private = ed.Ed25519PrivateKey.from_private_bytes(SEED) if ed else None

    # The descriptor: from the identity when it exists, else from its JSON form.
    descriptor = None
    key_text = None
    if private is not None:
        from cryptography.hazmat.primitives import serialization
        raw = private.public_key().public_bytes(serialization.Encoding.Raw,
                                                serialization.PublicFormat.Raw)
        key_text = base64.b64encode(raw).decode().rstrip("=")
        d_json = json.dumps({"fingerprint": hashlib.sha256(raw).digest()[:16].hex(),
                             "public_key_b64": key_text, "surface": "software",
                             "created_at": "2026-04-15T00:00:00Z"})
        pd_from_json = lookup(qp, "PeerIdentityDescriptor.from_json")
        if pd_from_json and lookup(qp, "PeerIdentityDescriptor.verify"):
            try:
                descriptor = pd_from_json(d_json)
            except Exception as exc:
                b.notes.append("PeerIdentityDescriptor.from_json failed: %s" % exc)
    if descriptor is None and identity is not None and lookup(qp, "PeerIdentityDescriptor.verify"):
        descriptor = identity.descriptor()
        key_text = descriptor.public_key_b64

    for size in (64, 4096):
        p = payload(size)
        g = "sign (%d B)" % size
        if identity is not None and hasattr(identity, "sign"):
            b.add(g, "qiv_protocol SoftwareIdentity.sign", "ours", lambda: identity.sign(p))
        else:
            b.add(g, "qiv_protocol SoftwareIdentity.sign", "ours", status=NOT_BUILT)
        if private is not None:
            b.add(g, "cryptography Ed25519PrivateKey.sign", "peer:cryptography",
                  lambda: private.sign(p))
        else:
            b.add(g, "cryptography Ed25519PrivateKey.sign", "peer:cryptography",
                  status=peers["cryptography_status"])

        g = "verify (%d B)" % size
        if private is None and identity is None:
            b.add(g, "qiv_protocol PeerIdentityDescriptor.verify", "ours", status=NOT_BUILT)
            continue
        sig = private.sign(p) if private is not None else identity.sign(p)
        if descriptor is not None:
            b.add(g, "qiv_protocol PeerIdentityDescriptor.verify", "ours",
                  lambda: descriptor.verify(p, sig))
        else:
            b.add(g, "qiv_protocol PeerIdentityDescriptor.verify", "ours", status=NOT_BUILT)
        if ed is not None:
            pub_cls = ed.Ed25519PublicKey
            b.add(g, "cryptography, key text decoded per call", "peer:cryptography-decode",
                  lambda: pub_cls.from_public_bytes(base64.b64decode(key_text + "=")).verify(
                      sig, p))
            loaded = pub_cls.from_public_bytes(base64.b64decode(key_text + "="))
            b.add(g, "cryptography, key object loaded once", "peer:cryptography-loaded",
                  lambda: loaded.verify(sig, p))
        else:
            for name, role in (("cryptography, key text decoded per call",
                                "peer:cryptography-decode"),
                               ("cryptography, key object loaded once",
                                "peer:cryptography-loaded")):
                b.add(g, name, role, status=peers["cryptography_status"])


def bench_addresses(b, qp):
    uri = "tvq://body/peer/3f2a9c0e5b7d41a6c8e0f2b4d6a8c0e2"
    g = "address parse + hash"
    parse = lookup(qp, "ProtocolAddress.parse")
    if parse:
        b.add(g, "qiv_protocol ProtocolAddress.parse + hash", "ours", lambda: hash(parse(uri)))
    else:
        b.add(g, "qiv_protocol ProtocolAddress.parse + hash", "ours", status=NOT_BUILT)
    b.add(g, "str.split + frozen dataclass + hash", "peer:dataclass",
          lambda: hash(dc_parse_address(uri)))


def bench_anchor(b, qp):
    cls = lookup(qp, "MockAnchor")
    n = 20000
    roots = [hashlib.sha256(i.to_bytes(8, "little")).digest() for i in range(n)]

    def time_submits(make):
        best = None
        for _ in range(b.repeat):
            anchor = make()
            t0 = time.perf_counter_ns()
            for r in roots:
                anchor.submit(r)
            elapsed = (time.perf_counter_ns() - t0) / n
            best = elapsed if best is None else min(best, elapsed)
        return best

    g = "anchor submit"
    if cls and hasattr(cls, "submit"):
        try:
            b.add(g, "qiv_protocol MockAnchor.submit", "ours",
                  status="ok", ns=time_submits(lambda: cls("bench")))
        except Exception as exc:
            b.add(g, "qiv_protocol MockAnchor.submit", "ours",
                  status="failed: %s: %s" % (type(exc).__name__, exc))
    else:
        b.add(g, "qiv_protocol MockAnchor.submit", "ours", status=NOT_BUILT)
    b.add(g, "pure-Python dict anchor", "peer:python", status="ok",
          ns=time_submits(lambda: PyMockAnchor("bench")))

    g = "anchor verify"
    if cls and hasattr(cls, "verify"):
        try:
            anchor = cls("bench")
            for r in roots[1:2000]:
                anchor.submit(r)
            receipt = anchor.submit(roots[0])
            b.add(g, "qiv_protocol MockAnchor.verify", "ours", lambda: anchor.verify(receipt))
        except Exception as exc:
            b.add(g, "qiv_protocol MockAnchor.verify", "ours",
                  status="failed: %s: %s" % (type(exc).__name__, exc))
    else:
        b.add(g, "qiv_protocol MockAnchor.verify", "ours", status=NOT_BUILT)
    py_anchor = PyMockAnchor("bench")
    for r in roots[1:2000]:
        py_anchor.submit(r)
    py_receipt = py_anchor.submit(roots[0])
    b.add(g, "pure-Python dict anchor", "peer:python", lambda: py_anchor.verify(py_receipt))


# --- Queue ----------------------------------------------------------------------------------

def _read_status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def child_list(impl, directory, module_dir):
    """Runs in a child process: the peak memory that one list() of `directory` adds."""
    if module_dir:
        sys.path.insert(0, module_dir)
    if impl == "ours":
        import qiv_protocol
        queue = qiv_protocol.EnvelopeQueue(directory)
    else:
        queue = PyEnvelopeQueue(directory)
    gc.collect()
    method = "VmHWM after clear_refs 5"
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = _read_status_kib("VmRSS")
    except OSError:
        import resource
        method = "ru_maxrss delta"
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    items = queue.list()
    if method.startswith("VmHWM"):
        peak = _read_status_kib("VmHWM")
    else:
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"items": len(items), "peak_delta_kib": max(0, peak - before),
                      "method": method}))


def list_peak(impl, directory, module_dir):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child-list", impl,
                          directory, "--module-dir", module_dir or ""],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1:] or ["child failed"]
    return json.loads(out.stdout.strip().splitlines()[-1]), None


LIST_CALLS = 9  # list() calls per queue, each over the whole directory; median and minimum kept


def plain_list(directory):
    """The plain Python loop a user would write instead: list the directory, sort the names,
    read each file and decode its JSON."""
    names = sorted(n for n in os.listdir(directory) if n.endswith(".json") and n.rfind(".") > 0)
    items = []
    for name in names:
        with open(os.path.join(directory, name), "rb") as f:
            items.append(json.loads(f.read()))
    return items


def timed_calls(fn, calls):
    """Seconds of each of `calls` calls of fn(), with the garbage collector off inside each."""
    times = []
    for _ in range(calls):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        finally:
            gc.enable()
    return times


def bench_queue(b, qp, work_dir, module_dir, sizes):
    with open(os.path.join(DATA, "typical_envelope.json"), encoding="utf-8") as f:
        template = json.loads(f.read())
    root = os.path.join(work_dir, "bench-queue")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    same_fs = os.stat(root).st_dev == os.stat("/tmp").st_dev
    b.notes.append("queue directories under %s (%s file system as /tmp)"
                   % (root, "same" if same_fs else "not the same"))
    qcls = lookup(qp, "EnvelopeQueue")
    from_json = lookup(qp, "SignedEnvelope.from_json")
    ours_ok = bool(qcls and from_json and all(hasattr(qcls, m) for m in
                                              ("push", "list", "drop_item")))

    for n in sizes:
        ids = ["0190a1b2-7c3d-7e4f-8a9b-%012x" % i for i in range(n)]
        texts = [json.dumps(dict(template, exchange_id=i)) for i in ids]
        dcs = [dc_envelope_from_dict(json.loads(t)) for t in texts]
        impls = [("python", "pure-Python file queue (tmp+fsync+rename+dir fsync)",
                  "peer:python", PyEnvelopeQueue, dcs)]
        if ours_ok:
            envs = [from_json(t) for t in texts]
            impls.insert(0, ("ours", "qiv_protocol EnvelopeQueue", "ours", qcls, envs))
        else:
            for op in ("push", "list", "drop_item"):
                b.add("queue %s (%d items)" % (op, n), "qiv_protocol EnvelopeQueue", "ours",
                      status=NOT_BUILT)
        push_repeats = 3 if n <= 1000 else 1
        for key, name, role, make, envs in impls:
            try:
                push_times = []
                for rep in range(push_repeats):
                    d = os.path.join(root, "%s-%d-%d" % (key, n, rep))
                    q = make(d)
                    gc.collect()
                    t0 = time.perf_counter()
                    for e in envs:
                        q.push("routing", e)
                    push_times.append(time.perf_counter() - t0)
                    if rep + 1 < push_repeats:
                        shutil.rmtree(d)
                best_push = min(push_times)
                b.add("queue push (%d items)" % n, name, role, status="ok",
                      ns=best_push / n * 1e9, median_ns=statistics.median(push_times) / n * 1e9,
                      calls=push_repeats, items_per_s=n / best_push)
                counts = []
                list_times = timed_calls(lambda: counts.append(len(q.list())), LIST_CALLS)
                if any(c != n for c in counts):
                    b.notes.append("%s list returned %s of %d items" % (name, counts, n))
                peak, err = list_peak(key, d, module_dir)
                extra = {"items_per_s": n / statistics.median(list_times)}
                if peak:
                    extra["peak_kib"] = peak["peak_delta_kib"]
                    extra["peak_method"] = peak["method"]
                else:
                    b.notes.append("%s list peak memory not measured: %s" % (name, err))
                b.add("queue list (%d items)" % n, name, role, status="ok",
                      ns=min(list_times) / n * 1e9,
                      median_ns=statistics.median(list_times) / n * 1e9, calls=LIST_CALLS,
                      **extra)
                if key == "ours":
                    # The same files, read by a plain loop (no item objects are built).
                    plain_times = timed_calls(lambda: plain_list(d), LIST_CALLS)
                    b.add("queue list (%d items)" % n,
                          "plain Python loop (listdir, sort, read, json.loads)",
                          "peer:plain-loop", status="ok", ns=min(plain_times) / n * 1e9,
                          median_ns=statistics.median(plain_times) / n * 1e9, calls=LIST_CALLS,
                          items_per_s=n / statistics.median(plain_times))
                t0 = time.perf_counter()
                for i in ids:
                    q.drop_item(i)
                el = time.perf_counter() - t0
                b.add("queue drop_item (%d items)" % n, name, role, status="ok",
                      ns=el / n * 1e9, items_per_s=n / el)
            except Exception as exc:
                b.add("queue (%d items)" % n, name, role,
                      status="failed: %s: %s" % (type(exc).__name__, exc))
    shutil.rmtree(root, ignore_errors=True)


# --- Main -----------------------------------------------------------------------------------

def load_peers():
    peers = {}
    try:
        peers["pydantic"] = make_pydantic_models()
        import pydantic
        peers["pydantic_version"] = pydantic.VERSION
    except Exception as exc:
        peers["pydantic_status"] = "not importable: pydantic (%s)" % type(exc).__name__
    try:
        import orjson
        peers["orjson"] = orjson
    except Exception as exc:
        peers["orjson_status"] = "not importable: orjson (%s)" % type(exc).__name__
    try:
        from cryptography.hazmat.primitives.asymmetric import ed25519
        peers["ed25519"] = ed25519
    except Exception as exc:
        peers["cryptography_status"] = "not importable: cryptography (%s)" % type(exc).__name__
    return peers


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--module-dir", default="", help="directory holding qiv_protocol.abi3.so")
    ap.add_argument("--work-dir", default=".", help="where the queue directories go")
    ap.add_argument("--out", help="write the figures as JSON here")
    ap.add_argument("--target", type=float, default=0.1, help="seconds per timed repeat")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--queue-sizes", default="1000,10000")
    ap.add_argument("--child-list", nargs=2, metavar=("IMPL", "DIR"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child_list:
        child_list(args.child_list[0], args.child_list[1], args.module_dir)
        return

    if args.module_dir:
        sys.path.insert(0, os.path.abspath(args.module_dir))
    b = Bench(args.target, args.repeat)
    try:
        import qiv_protocol as qp
        module = {"file": qp.__file__, "version": getattr(qp, "__version__", None),
                  "all": list(getattr(qp, "__all__", []))}
    except Exception as exc:
        qp = None
        module = {"error": "%s: %s" % (type(exc).__name__, exc)}
        b.notes.append("qiv_protocol not importable (%s): every module row is not built yet"
                       % module["error"])
    peers = load_peers()

    bench_envelopes(b, qp, peers)
    bench_crypto(b, qp, peers)
    bench_addresses(b, qp)
    bench_anchor(b, qp)
    sizes = [int(s) for s in args.queue_sizes.split(",") if s]
    bench_queue(b, qp, os.path.abspath(args.work_dir), os.path.abspath(args.module_dir)
                if args.module_dir else "", sizes)

    versions = {"python": sys.version.split()[0], "executable": sys.executable}
    for name, mod in (("pydantic", "pydantic"), ("orjson", "orjson"),
                      ("cryptography", "cryptography")):
        try:
            versions[name] = __import__(mod).__version__
        except Exception:
            versions[name] = None
    result = {"versions": versions, "module": module, "rows": b.rows, "notes": b.notes}
    if args.out:
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)
    else:
        json.dump(result, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
