"""A process killed in the middle of pushes never leaves the queue unreadable or wrong.

A child pushes large envelopes in a loop (several ids, each pushed again and again with
different contents, and between them items of new ids) and is killed with SIGKILL at a random
moment; after every kill, list() must succeed, hold every new item whose push returned, and
every item it returns must be exactly one of the envelopes that were pushed under that id and
pair class. Hidden temporary files that the kills leave behind are counted over all the
kills: a new item never leaves one, and a service killed again and again must not pile up
those of replaced items either.
"""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

from qiv_protocol import EnvelopeQueue, SignedEnvelope

import qiv_protocol

KILLS = 40
# At most this many hidden temporary files of replaced items may be left behind by KILLS kills.
MAX_LEFTOVERS = 4
IDS = ["e0", "e1", "e2", "e3"]
VERSIONS = 3
BASE = {
    "peer_self": {"class": "body", "type": "t", "ref": "r"},
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2024-03-05T07:08:09Z",
    "protocol_hint": "tcp",
}


# The fields of the envelopes pushed under new ids, all alike but for the exchange_id.
NEW_ITEM = dict(BASE, counterparty_identifier="x" * 300_000)


def new_envelope(exchange_id):
    return SignedEnvelope.from_json(json.dumps(dict(NEW_ITEM, exchange_id=exchange_id)))


def envelope_texts():
    """Per (id, version): a large envelope whose contents tell the version apart."""
    texts = {}
    for exchange_id in IDS:
        for version in range(VERSIONS):
            data = dict(BASE, exchange_id=exchange_id)
            # Large enough that a write takes a while, so that kills land inside writes.
            data["counterparty_identifier"] = f"{exchange_id}-v{version}-" + "x" * 300_000
            texts[(exchange_id, version)] = json.dumps(data)
    return texts


# Replaces an item, then pushes one of a new id and reports that id, one write per line.
PUSHER = textwrap.dedent(
    """
    import json, os, sys
    from qiv_protocol import EnvelopeQueue, SignedEnvelope
    texts, new_item = json.load(open(sys.argv[2]))
    envelopes = [(t["pair_class"], SignedEnvelope.from_json(t["text"])) for t in texts]
    q = EnvelopeQueue(sys.argv[1])
    n = 0
    while True:
        pair_class, env = envelopes[n % len(envelopes)]
        q.push(pair_class, env)
        if n == 0:
            print("pushing", flush=True)
        new_id = f"n{sys.argv[3]}x{n}"
        q.push("new", SignedEnvelope.from_json(json.dumps(dict(new_item, exchange_id=new_id))))
        os.write(1, f"{new_id}\\n".encode())
        n += 1
    """
)


def test_list_survives_kills_during_pushes(tmp_path):
    texts = envelope_texts()
    pushed = {}  # (queue_id, pair_class) -> the envelopes pushed under them
    table = []
    for (exchange_id, version), text in texts.items():
        pair_class = f"class-{version}"
        table.append({"pair_class": pair_class, "text": text})
        pushed.setdefault((exchange_id, pair_class), []).append(SignedEnvelope.from_json(text))
    random.Random(7).shuffle(table)
    table_file = tmp_path / "table.json"
    table_file.write_text(json.dumps([table, NEW_ITEM]))
    queue_dir = tmp_path / "queue"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(qiv_protocol.__file__))
    rng = random.Random(1234)
    queue = EnvelopeQueue(str(queue_dir))
    seen_ids = set()
    for kill in range(KILLS):
        child = subprocess.Popen(
            [sys.executable, "-c", PUSHER, str(queue_dir), str(table_file), str(kill)],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        # A child that hangs before its first push is killed, which ends the readline.
        watchdog = threading.Timer(60, child.kill)
        watchdog.start()
        try:
            assert child.stdout.readline() == b"pushing\n", child.stderr.read()
            # Random moment inside the loop of pushes.
            try:
                child.wait(timeout=rng.uniform(0.0, 0.05))
            except subprocess.TimeoutExpired:
                pass
            assert child.poll() is None, child.stderr.read()
        finally:
            watchdog.cancel()
            child.send_signal(signal.SIGKILL)
            acknowledged = child.stdout.read().decode().split()
            child.wait()
            child.stdout.close()
            child.stderr.close()
        assert child.returncode == -signal.SIGKILL
        items = queue.list()
        assert items, "the first push had completed before the kill"
        new_ids = []
        for item in items:
            if item.pair_class == "new":
                assert item.envelope == new_envelope(item.queue_id)
                new_ids.append(item.queue_id)
                continue
            candidates = pushed[(item.queue_id, item.pair_class)]
            assert item.envelope in candidates
            seen_ids.add(item.queue_id)
        assert set(acknowledged) <= set(new_ids)
        names = sorted(n for n in os.listdir(queue_dir) if n.endswith(".json"))
        assert names == sorted(f"{i.queue_id}.json" for i in items)
        for new_id in new_ids:  # keeps the queue small for the next listings
            queue.drop_item(new_id)
    assert seen_ids <= set(IDS)
    leftovers = [n for n in os.listdir(queue_dir) if ".json.tmp-" in n]
    assert all(n.startswith(".") for n in leftovers), leftovers
    assert [n for n in leftovers if not n.startswith(".e")] == []  # none of a new item
    assert len(leftovers) <= MAX_LEFTOVERS, leftovers
