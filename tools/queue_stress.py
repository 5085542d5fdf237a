"""Soaks of the envelope spill queue that take minutes, too long for the test suites.

    python3 tools/queue_stress.py share DIR [--seconds 60] [--producers 3] [--drains 3]
                                            [--others 5]
    python3 tools/queue_stress.py kills DIR [--kills 200] [--replaces 0.25]

Run them with the module importable (PYTHONPATH=build/python after the "Hacking" build); DIR
is made if missing and should be empty, on the file system to be tried (/dev/shm is tmpfs).

share: producers push and re-push a few ids while drains list the queue and drop what they
saw, all on DIR at once. `--others` items are pushed before and never dropped, so every
listing must return them. Drains stop first; then each producer pushes every id once more,
and the last listing must hold each id with the content of one of those final pushes.
Counts list() calls, list() errors (by message; a torn file would fail as a JSON error),
items that were torn (not exactly one of the pushed contents) and items lost; a sound queue
shows 0 of each but calls.

kills: a child pushes items of 200 KB (new ids, and with probability `--replaces` a replace
of one of four items pushed beforehand) and is killed with SIGKILL at a random moment, again
and again. After each kill list() must succeed and hold every push the child reported done,
each item exactly as pushed. Counts the hidden temporary files left behind, for new ids and
for replaces apart.
"""
import argparse
import json
import multiprocessing
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections import Counter

from qiv_protocol import EnvelopeQueue, SignedEnvelope

BASE = {
    "peer_self": {"class": "body", "type": "t", "ref": "r"},
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2024-03-05T07:08:09Z",
    "protocol_hint": "tcp",
}


def make_envelope(exchange_id, tag, size):
    """An envelope whose counterparty_identifier says who pushed it, padded to `size`."""
    label = f"{exchange_id}|{tag}|"
    body = dict(BASE, exchange_id=exchange_id,
                counterparty_identifier=label + "x" * max(0, size - len(label)))
    return SignedEnvelope.from_json(json.dumps(body))


def sound(item, size):
    """Whether an item is exactly one that a push wrote: its id and padding agree."""
    ident = item.envelope.counterparty_identifier
    label_end = ident.rfind("|") + 1
    return (item.queue_id == item.envelope.exchange_id
            and ident.startswith(item.queue_id + "|")
            and len(ident) == max(label_end, size)
            and ident[label_end:] == "x" * (len(ident) - label_end))


# --- share ------------------------------------------------------------------------------

SHARE_IDS = [f"r{i}" for i in range(8)]
SHARE_SIZE = 2000


def producer(queue_dir, index, stop_at, out):
    queue = EnvelopeQueue(queue_dir)
    rng = random.Random(index)
    pushes = 0
    while time.monotonic() < stop_at:
        exchange_id = rng.choice(SHARE_IDS)
        queue.push("routing", make_envelope(exchange_id, f"p{index}-{pushes}", SHARE_SIZE))
        pushes += 1
    # The drains have stopped by now: these are the contents the queue must end with.
    for exchange_id in SHARE_IDS:
        queue.push("routing", make_envelope(exchange_id, f"p{index}-final", SHARE_SIZE))
    out.put({"pushes": pushes + len(SHARE_IDS)})


def drain(queue_dir, index, stop_at, others, out):
    queue = EnvelopeQueue(queue_dir)
    rng = random.Random(1000 + index)
    calls, drops, torn, lost = 0, 0, 0, 0
    errors = Counter()
    while time.monotonic() < stop_at:
        calls += 1
        try:
            items = queue.list()
        except (OSError, ValueError) as e:
            # Grouped by message, the item's name left out.
            errors[re.sub(r"[^/ ]*\.json", "<item>.json", f"{type(e).__name__}: {e}")] += 1
            continue
        seen = {item.queue_id for item in items}
        lost += sum(1 for other in others if other not in seen)
        torn += sum(1 for item in items if not sound(item, SHARE_SIZE))
        for item in items:
            if item.queue_id in SHARE_IDS and rng.random() < 0.5:
                queue.drop_item(item.queue_id)
                drops += 1
    out.put({"calls": calls, "drops": drops, "torn": torn, "lost": lost,
             "errors": dict(errors)})


def run_share(args):
    os.makedirs(args.dir, exist_ok=True)
    queue = EnvelopeQueue(args.dir)
    others = [f"o{i:05d}" for i in range(args.others)]
    for other in others:
        queue.push("routing", make_envelope(other, "other", SHARE_SIZE))
    drains_stop = time.monotonic() + 1.0 + args.seconds  # a second to start the children
    producers_stop = drains_stop + 0.5
    # Fresh interpreters, not forks of this one: its runtime already has threads.
    context = multiprocessing.get_context("spawn")
    reports = context.Queue()
    children = [context.Process(target=producer, args=(args.dir, i, producers_stop, reports))
                for i in range(args.producers)]
    children += [context.Process(target=drain, args=(args.dir, i, drains_stop, others, reports))
                 for i in range(args.drains)]
    for child in children:
        child.start()
    totals = Counter()
    errors = Counter()
    for _ in children:
        report = reports.get(timeout=args.seconds + 600)
        errors.update(report.pop("errors", {}))
        totals.update(report)
    for child in children:
        child.join()
        if child.exitcode != 0:
            sys.exit(f"a child failed with status {child.exitcode}")
    items = queue.list()
    final = {item.queue_id: item for item in items}
    totals["torn"] += sum(1 for item in items if not sound(item, SHARE_SIZE))
    totals["lost"] += sum(1 for other in others if other not in final)
    for exchange_id in SHARE_IDS:
        item = final.get(exchange_id)
        if item is None or "-final|" not in item.envelope.counterparty_identifier:
            totals["lost"] += 1
    print(json.dumps({"dir": args.dir, "seconds": args.seconds, "producers": args.producers,
                      "drains": args.drains, "others": args.others,
                      "list_calls": totals["calls"], "list_errors": sum(errors.values()),
                      "pushes": totals["pushes"], "drops": totals["drops"],
                      "torn": totals["torn"], "lost": totals["lost"],
                      "error_messages": dict(errors.most_common(3))}, indent=1))


# --- kills ------------------------------------------------------------------------------

KILL_SIZE = 200_000
REPLACED_IDS = [f"rep{i}" for i in range(4)]

PUSHER = """
import os, random, sys
sys.path[:0] = [sys.argv[4]]
import queue_stress
from qiv_protocol import EnvelopeQueue
queue = EnvelopeQueue(sys.argv[1])
round_, share = sys.argv[2], float(sys.argv[3])
rng = random.Random(round_)
print("pushing", flush=True)
n = 0
while True:
    if rng.random() < share:
        exchange_id = rng.choice(queue_stress.REPLACED_IDS)
    else:
        exchange_id = f"new-{round_}-{n}"
    tag = f"{round_}-{n}"
    queue.push("routing", queue_stress.make_envelope(exchange_id, tag, queue_stress.KILL_SIZE))
    os.write(1, f"{exchange_id} {tag}\\n".encode())  # one write: a kill cannot tear it
    n += 1
"""


def run_kills(args):
    os.makedirs(args.dir, exist_ok=True)
    queue = EnvelopeQueue(args.dir)
    for exchange_id in REPLACED_IDS:  # so that a replace finds its item from the start
        queue.push("routing", make_envelope(exchange_id, "seed", KILL_SIZE))
    rng = random.Random(99)
    done = {exchange_id: "seed" for exchange_id in REPLACED_IDS}  # id -> last tag
    pushes = Counter()
    missing = torn = 0
    for round_ in range(args.kills):
        child = subprocess.Popen(
            [sys.executable, "-c", PUSHER, args.dir, str(round_), str(args.replaces),
             os.path.dirname(os.path.abspath(__file__))],
            stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "pushing\n"
        time.sleep(rng.uniform(0.0, 0.1))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate(timeout=60)
        lines = out.splitlines()
        for line in lines:
            exchange_id, tag = line.split()
            pushes["replace" if exchange_id in REPLACED_IDS else "new"] += 1
            done[exchange_id] = tag
        # The push in flight when the child died may have landed too.
        in_flight = f"{round_}-{len(lines)}"
        items = {item.queue_id: item for item in queue.list()}
        for exchange_id, tag in done.items():
            item = items.get(exchange_id)
            if item is None:
                missing += 1
            elif not sound(item, KILL_SIZE):
                torn += 1
            elif item.envelope.counterparty_identifier.split("|")[1] not in (tag, in_flight):
                missing += 1  # older than the last push acknowledged
            else:
                done[exchange_id] = item.envelope.counterparty_identifier.split("|")[1]
        for exchange_id, item in items.items():
            if exchange_id not in done and not sound(item, KILL_SIZE):
                torn += 1
        # Keep only what the next rounds check, so that a listing stays short.
        for exchange_id in [e for e in items if e not in REPLACED_IDS]:
            queue.drop_item(exchange_id)
            done.pop(exchange_id, None)
    leftovers = Counter()
    for name in os.listdir(args.dir):
        if ".json.tmp-" in name:
            leftovers["replace" if name[1:].split(".json")[0] in REPLACED_IDS else "new"] += 1
    print(json.dumps({"dir": args.dir, "kills": args.kills, "replace_share": args.replaces,
                      "pushes_done": dict(pushes), "acknowledged_missing": missing,
                      "torn": torn, "hidden_left_new": leftovers["new"],
                      "hidden_left_replace": leftovers["replace"]}, indent=1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    share = sub.add_parser("share")
    share.add_argument("dir")
    share.add_argument("--seconds", type=float, default=60)
    share.add_argument("--producers", type=int, default=3)
    share.add_argument("--drains", type=int, default=3)
    share.add_argument("--others", type=int, default=5)
    kills = sub.add_parser("kills")
    kills.add_argument("dir")
    kills.add_argument("--kills", type=int, default=200)
    kills.add_argument("--replaces", type=float, default=0.25)
    args = parser.parse_args()
    if args.mode == "share":
        run_share(args)
    else:
        run_kills(args)


if __name__ == "__main__":
    main()
