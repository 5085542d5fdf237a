"""Operating a spill queue: ids it refuses, an item file that does not parse, several drainers.

Runs as written (the test suite executes it), in a temporary directory. With the arguments
`drain <dir>` it is one drainer: it emits (prints) and drops items until the queue is empty.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

from qiv_protocol import EnvelopeQueue, SignedEnvelope


def envelope(exchange_id: str) -> SignedEnvelope:
    return SignedEnvelope.from_json(json.dumps({
        "exchange_id": exchange_id,
        "peer_self": {"class": "body", "type": "peer", "ref": "abc"},
        "direction": "outbound", "request_hash": "h1", "our_signature": "s1",
        "opened_at": "2024-03-05T07:08:09Z", "protocol_hint": "tcp",
        "counterparty_identifier": "peer.example",
    }))


def drain(directory: str) -> None:
    """Emit every item and drop it once emitted; another drainer may be doing the same."""
    queue = EnvelopeQueue(directory)
    while items := queue.list():
        for item in items:
            print(item.queue_id, flush=True)  # stands for emitting the envelope again
            queue.drop_item(item.queue_id)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        directory = os.path.join(tmp, "envelope-queue")
        queue = EnvelopeQueue(directory)

        # An item's file name keeps only ASCII letters, digits, "-" and "_" of its id; an id
        # with none of them is refused, and nothing is written.
        try:
            queue.push("routing", envelope("é"))
            raise AssertionError("an id without a usable character was pushed")
        except ValueError as error:
            assert str(error) == (
                'queue id "é" has no character usable in a file name: a queue id needs at least '
                'one ASCII letter, digit, "-" or "_"'), error
        assert queue.list() == []

        # An item file that does not parse fails the whole list; the exception's note names it.
        queue.push("routing", envelope("e1"))
        broken = os.path.join(directory, "e2.json")
        with open(broken, "w", encoding="utf-8") as file:
            file.write('{"queue_id": "e2", "pai')
        try:
            queue.list()
            raise AssertionError("a broken item file was listed")
        except ValueError as error:
            assert str(error).startswith("queue JSON error: "), error
            assert getattr(error, "__notes__", None) == [f"queue item file: {broken}"], error
        os.remove(broken)
        queue.drop_item("e1")

        # Several processes may drain one queue. Nothing coordinates them, so an item can be
        # emitted by both (each may list it before the other drops it), but every item reaches
        # at least one of them, and an item that vanishes under one is simply not its to emit.
        ids = {f"e{n:03}" for n in range(60)}
        for exchange_id in sorted(ids):
            queue.push("routing", envelope(exchange_id))
        drainers = [
            subprocess.Popen([sys.executable, __file__, "drain", directory],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(2)
        ]
        emitted: set[str] = set()
        for drainer in drainers:
            out, err = drainer.communicate(timeout=60)
            assert drainer.returncode == 0, err
            emitted.update(out.split())
        assert emitted == ids, sorted(ids - emitted)
        assert queue.list() == []
    print("queue operations: ok")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "drain":
        drain(sys.argv[2])
    else:
        main()
