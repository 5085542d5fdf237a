#!/usr/bin/env python3
"""Prints the benchmark table and the goals, then the same figures as one JSON line.

    python3 bench/report.py --cpp-dir build-bench/bench-results --py build-bench/bench-results/python.json

Reads the Google Benchmark JSON files (one per bench_* program) and the output of
py_bench.py. The last line of the output is always one JSON object.
"""

import argparse
import glob
import json
import os
import platform
import sys

NOT_BUILT = "not built yet"

# C++ groups: (group, [(benchmark name, shown as, is the reference of the ratio column)]).
# Benchmarks that are not listed here still appear, under "C++ other".
CPP_GROUPS = [
    ("C++ sign (64 B)", [("BM_CryptoppSign/64", "raw Crypto++ ed25519_sign", True),
                         ("BM_SodiumSign/64", "raw libsodium crypto_sign_detached", False),
                         ("BM_OpenSslSign/64", "raw OpenSSL EVP sign", False),
                         ("BM_IdentitySign/64", "SoftwareIdentity::Sign", False)]),
    ("C++ sign (4096 B)", [("BM_CryptoppSign/4096", "raw Crypto++ ed25519_sign", True),
                           ("BM_SodiumSign/4096", "raw libsodium crypto_sign_detached", False),
                           ("BM_OpenSslSign/4096", "raw OpenSSL EVP sign", False),
                           ("BM_IdentitySign/4096", "SoftwareIdentity::Sign", False)]),
    ("C++ verify (64 B)", [("BM_CryptoppVerify/64", "raw Crypto++ ed25519_sign_open", True),
                           ("BM_SodiumVerify/64", "raw libsodium, key from bytes per call", False),
                           ("BM_OpenSslVerifyWithKeyLoad/64", "raw OpenSSL, key from bytes per call", False),
                           ("BM_OpenSslVerify/64", "raw OpenSSL, key object loaded once", False),
                           ("BM_VerifySignature/64", "VerifySignature (key text per call)", False)]),
    ("C++ verify (4096 B)", [("BM_CryptoppVerify/4096", "raw Crypto++ ed25519_sign_open", True),
                             ("BM_SodiumVerify/4096", "raw libsodium, key from bytes per call", False),
                             ("BM_OpenSslVerifyWithKeyLoad/4096", "raw OpenSSL, key from bytes per call", False),
                             ("BM_OpenSslVerify/4096", "raw OpenSSL, key object loaded once", False),
                             ("BM_VerifySignature/4096", "VerifySignature (key text per call)", False)]),
    ("C++ verify overhead parts", [("BM_Base64DecodeKey", "Base64DecodeExact of the key text", False),
                                   ("BM_PublicKeyPointCheck", "IsValidPublicKeyPoint", False)]),
    ("C++ SHA-256 (32 B)", [("BM_Sha256Cryptopp", "Crypto++ SHA256", True),
                            ("BM_Sha256Evp", "EVP_Digest, implicit fetch", False),
                            ("BM_Sha256EvpFetched", "EVP_Digest, pre-fetched EVP_MD", False),
                            ("BM_Sha256LowLevel", "SHA256()", False),
                            ("BM_Fingerprint", "FingerprintOf (SHA-256 + hex)", False)]),
    ("C++ envelope read", [("BM_EnvelopeRead/0", "typical envelope", False),
                           ("BM_EnvelopeRead/1", "long hashes and signatures", False),
                           ("BM_EnvelopeRead/2", "large unknown key (skipper)", False)]),
    ("C++ envelope write", [("BM_EnvelopeWrite/0", "typical envelope", False),
                            ("BM_EnvelopeWrite/1", "long hashes and signatures", False)]),
    ("C++ address", [("BM_AddressParse", "ProtocolAddress::Parse", False),
                     ("BM_AddressToUri", "ToUri", False),
                     ("BM_AddressHash", "SipHash-1-3 hash", False)]),
    ("C++ timestamp parse", [("BM_TimestampParse/%d" % i, None, False) for i in range(4)]),
    ("C++ timestamp format", [("BM_TimestampFormat/%d" % i, None, False) for i in range(4)]),
    ("C++ repr quoting", [("BM_ReprQuote/%d" % i, None, False) for i in range(4)]
     + [("BM_ReprQuotePath", "path with invalid UTF-8", False)]),
    ("C++ mock anchor", [("BM_MockAnchorSubmit", "MockAnchor::Submit (fresh root)", False),
                         ("BM_MockAnchorVerify", "MockAnchor::Verify (10,000 held)", False)]),
    ("C++ runtime hand-off", [("BM_BlockOnPoolJob/real_time", "BlockOn of one empty pool job", False),
                              ("BM_BlockOnPoolJobSeries/real_time",
                               "BlockOn of 100 empty pool jobs (time for all)", False)]),
]

TIME_UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_cpp(cpp_dir):
    benches, context, failures, medians = {}, None, [], {}
    for path in sorted(glob.glob(os.path.join(cpp_dir, "bench_*.json"))):
        if os.path.getsize(path) == 0:
            continue  # a program whose benchmarks are all waiting for their code
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as exc:
            failures.append("%s: %s" % (os.path.basename(path), exc))
            continue
        context = context or data.get("context")
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration":
                if b.get("aggregate_name") == "median":
                    medians[b.get("run_name", b["name"])] = (
                        b["real_time"] * TIME_UNIT_NS.get(b.get("time_unit", "ns"), 1.0))
                continue
            # Repetitions: keep the fastest, the one least disturbed by other load.
            ns = b["real_time"] * TIME_UNIT_NS.get(b.get("time_unit", "ns"), 1.0)
            name = b.get("run_name", b["name"])
            if name in benches and benches[name]["ns"] <= ns:
                benches[name]["repetitions"] += 1
                continue
            reps = benches[name]["repetitions"] + 1 if name in benches else 1
            benches[name] = {"name": name, "ns": ns, "label": b.get("label", ""),
                             "bytes_per_second": b.get("bytes_per_second"),
                             "program": os.path.basename(path)[:-5], "repetitions": reps}
    # The median of the repetitions beside the fastest: the minimum hides what load costs.
    for name, ns in medians.items():
        if name in benches:
            benches[name]["median_ns"] = ns
    for path in sorted(glob.glob(os.path.join(cpp_dir, "bench_*.failed"))):
        with open(path) as f:
            failures.append(f.read().strip())
    return benches, context, failures


def fmt_ns(ns):
    if ns is None:
        return ""
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e4:
        return "%.1f us" % (ns / 1e3)
    if ns >= 1e3:
        return "%.2f us" % (ns / 1e3)
    return "%.1f ns" % ns


def machine_info():
    info = {"nproc": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
            else os.cpu_count(), "kernel": platform.release(), "cpu": None}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return info


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cpp-dir", required=True)
    ap.add_argument("--py", required=True)
    ap.add_argument("--compiler", default="")
    args = ap.parse_args()

    benches, context, cpp_failures = load_cpp(args.cpp_dir)
    try:
        with open(args.py) as f:
            py = json.load(f)
    except (OSError, ValueError) as exc:
        py = {"rows": [], "notes": ["python benchmark produced no figures: %s" % exc],
              "versions": {}, "module": {}}

    lines = []
    out = lines.append
    machine = machine_info()
    machine["compiler"] = args.compiler
    out("Machine: %s, %s CPUs available, kernel %s%s" % (
        machine["cpu"], machine["nproc"], machine["kernel"],
        (", " + args.compiler) if args.compiler else ""))
    v = py.get("versions", {})
    out("Python %s (%s); pydantic %s, orjson %s, cryptography %s" % (
        v.get("python"), v.get("executable"), v.get("pydantic"), v.get("orjson"),
        v.get("cryptography")))
    out("ratio = time / time of the row marked ref (Python: ours is ref, so a peer's ratio is "
        "how many times slower it is than ours; C++: raw Crypto++ is ref); time/op is the "
        "fastest repeat, its median beside it where measured")
    out("")

    header = "%-38s %-52s %12s %10s %s" % ("group", "variant", "time/op", "ratio", "extra")
    cpp_rows = []
    out(header)
    out("-" * len(header))
    seen = set()
    for group, members in CPP_GROUPS:
        ref = next((benches[n]["ns"] for n, _, is_ref in members if is_ref and n in benches),
                   None)
        for name, shown, is_ref in members:
            seen.add(name)
            b = benches.get(name)
            label = shown or (b["label"] if b else name)
            if b is None:
                cpp_rows.append({"group": group, "name": name, "status": NOT_BUILT})
                out("%-38s %-52s %12s" % (group, label, NOT_BUILT))
                continue
            row = dict(b, group=group, status="ok")
            cpp_rows.append(row)
            ratio = ("%.2f%s" % (b["ns"] / ref, " ref" if is_ref else "")) if ref else ""
            extra = ("%.1f MB/s" % (b["bytes_per_second"] / 1e6)) if b["bytes_per_second"] else ""
            if "median_ns" in b:
                extra = ("median %s" % fmt_ns(b["median_ns"])) + (", " + extra if extra else "")
            out("%-38s %-52s %12s %10s %s" % (group, label[:52], fmt_ns(b["ns"]), ratio, extra))
    for name, b in sorted(benches.items()):
        if name not in seen:
            cpp_rows.append(dict(b, group="C++ other", status="ok"))
            out("%-38s %-52s %12s" % ("C++ other", name[:52], fmt_ns(b["ns"])))

    # Python rows, grouped in the order they were measured.
    groups = []
    by_group = {}
    for r in py.get("rows", []):
        if r["group"] not in by_group:
            by_group[r["group"]] = []
            groups.append(r["group"])
        by_group[r["group"]].append(r)
    for g in groups:
        rows = by_group[g]
        ours = next((r for r in rows if r["role"] == "ours" and "ns" in r), None)
        for r in rows:
            if "ns" not in r:
                out("%-38s %-52s %12s" % (g[:38], r["name"][:52], r["status"][:60]))
                continue
            ratio = ("%.2f%s" % (r["ns"] / ours["ns"], " ref" if r is ours else "")
                     if ours else "")
            extras = []
            if "median_ns" in r:
                extras.append("median %s" % fmt_ns(r["median_ns"]))
            if "items_per_s" in r:
                extras.append("%.0f items/s" % r["items_per_s"])
            if "peak_kib" in r:
                extras.append("list peak +%.1f MiB" % (r["peak_kib"] / 1024))
            out("%-38s %-52s %12s %10s %s" % (g[:38], r["name"][:52], fmt_ns(r["ns"]), ratio,
                                              ", ".join(extras)))

    # Goals.
    def py_row(group, role):
        return next((r for r in py.get("rows", []) if r["group"].startswith(group)
                     and r["role"] == role and "ns" in r), None)

    goals = []

    def goal(text, value, target, met_if, unit="x", value_min=None):
        if value is None:
            goals.append({"goal": text, "status": NOT_BUILT, "target": target})
        else:
            ok = {">=": value >= target, ">": value > target, "<=": value <= target}[met_if]
            goals.append({"goal": text, "value": round(value, 3), "target": target,
                          "status": "met" if ok else "missed"})
            if value_min is not None:
                goals[-1]["value_min"] = round(value_min, 3)

    def quotient(a, b, key):
        """a[key] / b[key], or None when either is missing."""
        return a[key] / b[key] if a and b and key in a and key in b else None

    def ratio_goal(text, num, den, target, met_if):
        """A goal on num / den, judged on medians, the ratio of minima beside it."""
        goal(text, quotient(num, den, "median_ns"), target, met_if,
             value_min=quotient(num, den, "ns"))

    for label in ("typical", "long"):
        ours, pd = py_row("envelope from_json (%s" % label, "ours"), py_row(
            "envelope from_json (%s" % label, "peer:pydantic")
        goal("from_json >= 3x faster than pydantic v2 (%s)" % label,
             pd["ns"] / ours["ns"] if ours and pd else None, 3.0, ">=")
    for label in ("typical", "long"):
        ours, pd = py_row("envelope to_json (%s" % label, "ours"), py_row(
            "envelope to_json (%s" % label, "peer:pydantic")
        goal("to_json >= 3x faster than pydantic v2 (%s)" % label,
             pd["ns"] / ours["ns"] if ours and pd else None, 3.0, ">=")
    for size in (64, 4096):
        for op, ours_name, raw_name in (("sign", "BM_IdentitySign", "BM_CryptoppSign"),
                                        ("verify", "BM_VerifySignature", "BM_CryptoppVerify")):
            ours = benches.get("%s/%d" % (ours_name, size))
            ratio_goal("C++ %s within 1.1x of raw Crypto++ (%d B)" % (op, size),
                       ours, benches.get("%s/%d" % (raw_name, size)), 1.1, "<=")
            sodium = "BM_SodiumSign" if op == "sign" else "BM_SodiumVerify"
            ratio_goal("C++ %s faster than raw libsodium (%d B)" % (op, size),
                       benches.get("%s/%d" % (sodium, size)), ours, 1.0, ">")
    for size in (64, 4096):
        ratio_goal("Python sign >= 2x cryptography's speed (%d B)" % size,
                   py_row("sign (%d B)" % size, "peer:cryptography"),
                   py_row("sign (%d B)" % size, "ours"), 2.0, ">=")
        ratio_goal("Python verify >= 2.5x cryptography with key decoding (%d B)" % size,
                   py_row("verify (%d B)" % size, "peer:cryptography-decode"),
                   py_row("verify (%d B)" % size, "ours"), 2.5, ">=")
    # Queue goals by medians: a minimum hides the hand-off cost that users meet.
    sizes = sorted({int(r["group"].split("(")[1].split()[0]) for r in py.get("rows", [])
                    if r["group"].startswith("queue list (")})
    for n in sizes:
        ours = py_row("queue list (%d items)" % n, "ours")
        ratio_goal("queue list >= 1.5x the plain Python loop (%d items)" % n,
                   py_row("queue list (%d items)" % n, "peer:plain-loop"), ours, 1.5, ">=")
        ratio_goal("queue list >= 3x the pure-Python queue (%d items)" % n,
                   py_row("queue list (%d items)" % n, "peer:python"), ours, 3.0, ">=")
        ratio_goal("queue push <= 1.2x the pure-Python queue's time (%d items)" % n,
                   py_row("queue push (%d items)" % n, "ours"),
                   py_row("queue push (%d items)" % n, "peer:python"), 1.2, "<=")

    out("")
    out("Goals (reported, not asserted; a ratio of medians shows the ratio of minima beside it):")
    for g in goals:
        shown = ("%.2fx" % g["value"]) if "value" in g else "-"
        if "value_min" in g:
            shown += " (min %.2fx)" % g["value_min"]
        out("  %-72s %20s  %s" % (g["goal"], shown, g["status"]))
    notes = list(py.get("notes", [])) + ["C++: " + f for f in cpp_failures]
    if notes:
        out("")
        out("Notes:")
        for n in notes:
            out("  " + n)

    print("\n".join(lines))
    summary = {"machine": machine, "cpp_context": {k: (context or {}).get(k) for k in
                                                   ("num_cpus", "mhz_per_cpu", "load_avg")},
               "cpp": cpp_rows, "python": {"versions": py.get("versions"),
                                           "module": py.get("module"), "rows": py.get("rows")},
               "goals": goals, "notes": notes}
    print(json.dumps(summary, separators=(",", ":")))


if __name__ == "__main__":
    main()
