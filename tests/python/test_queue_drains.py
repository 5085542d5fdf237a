"""Several processes draining one queue directory (list, forward, drop_item) at once.

Nothing coordinates them, so two drains may both see an item; what neither may do is fail
because the other removed a file first. Each case runs in child processes under a time
limit: a FIFO that nobody opens would otherwise hang the suite.
"""
import json
import os
import subprocess
import sys
import textwrap

import qiv_protocol

MODULE_DIR = os.path.dirname(qiv_protocol.__file__)
ENV = dict(os.environ, PYTHONPATH=MODULE_DIR)

ITEM_A = json.dumps({
    "queue_id": "a",
    "pair_class": "routing",
    "envelope": {
        "exchange_id": "a",
        "peer_self": {"class": "body", "type": "t", "ref": "r"},
        "direction": "outbound",
        "request_hash": "h1",
        "our_signature": "s1",
        "opened_at": "2024-03-05T07:08:09Z",
        "protocol_hint": "tcp",
        "counterparty_identifier": "c1",
    },
})

# The other drain: it opens the FIFO a.json, which list() is waiting to read (so list() has
# already seen b.json in the directory), removes b.json, and only then writes a's item.
REMOVER = textwrap.dedent(
    """
    import os, signal, sys
    signal.alarm(30)  # never outlive the test, should list() not come to read the FIFO
    queue_dir, item = sys.argv[1], sys.argv[2]
    with open(os.path.join(queue_dir, "a.json"), "w") as fifo:
        os.remove(os.path.join(queue_dir, "b.json"))
        fifo.write(item)
    """
)

# list() keeps the interpreter lock, so the remover must be a process of its own.
LISTER = textwrap.dedent(
    """
    import json, subprocess, sys
    from qiv_protocol import EnvelopeQueue
    queue_dir = sys.argv[1]
    remover = subprocess.Popen([sys.executable, "-c", sys.argv[2], queue_dir, sys.argv[3]])
    try:
        result = [item.queue_id for item in EnvelopeQueue(queue_dir).list()]
    except Exception as e:
        result = f"{type(e).__name__}: {e}"
    print(json.dumps({"listed": result, "remover": remover.wait()}))
    """
)


def test_list_skips_an_item_file_removed_after_the_directory_was_read(tmp_path):
    os.mkfifo(tmp_path / "a.json")
    (tmp_path / "b.json").write_text(ITEM_A.replace('"a"', '"b"'))
    done = subprocess.run(
        [sys.executable, "-c", LISTER, str(tmp_path), REMOVER, ITEM_A],
        env=ENV, capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"listed": ["a"], "remover": 0}
    assert os.listdir(tmp_path) == ["a.json"]


DROPPER = textwrap.dedent(
    """
    import json, sys
    from qiv_protocol import EnvelopeQueue
    queue, count = EnvelopeQueue(sys.argv[1]), int(sys.argv[2])
    print("ready", flush=True)
    sys.stdin.readline()  # both droppers start together
    errors = []
    for i in range(count):
        try:
            queue.drop_item(f"e{i}")
        except OSError as e:
            errors.append(str(e))
    print(json.dumps({"errors": len(errors), "first": errors[:1]}))
    """
)


def test_two_processes_dropping_the_same_items_both_succeed(tmp_path):
    count = 1000
    for i in range(count):
        (tmp_path / f"e{i}.json").write_text("{}")
    droppers = [
        subprocess.Popen([sys.executable, "-c", DROPPER, str(tmp_path), str(count)], env=ENV,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
        for _ in range(2)
    ]
    try:
        for dropper in droppers:
            assert dropper.stdout.readline() == "ready\n", dropper.stderr.read()
        for dropper in droppers:
            dropper.stdin.write("go\n")
            dropper.stdin.flush()
        reports = []
        for dropper in droppers:
            out, err = dropper.communicate(timeout=60)
            assert dropper.returncode == 0, err
            reports.append(json.loads(out))
    finally:
        for dropper in droppers:
            if dropper.poll() is None:
                dropper.kill()
                dropper.wait()
    assert reports == [{"errors": 0, "first": []}] * 2
    assert os.listdir(tmp_path) == []
