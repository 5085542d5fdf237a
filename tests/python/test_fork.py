"""Blocking calls in a process forked after the runtime was built.

The parent's runtime threads do not follow a fork, so a child must build a runtime of its own
on its first blocking call and work as a fresh process would, whatever state the parent's pool
was in. Every case runs in a fresh interpreter in its own session, under a time limit, so that
a child that hangs fails the test (and is killed with everything it forked) instead of stalling
the suite. The case that waits for the parent's pool thread to retire (10 idle seconds) starts
first and is collected last.
"""
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import qiv_protocol

MODULE_DIR = os.path.dirname(qiv_protocol.__file__)
TIME_LIMIT = 60

PRELUDE = textwrap.dedent(
    """
    import json, os, sys, time
    from qiv_protocol import EnvelopeQueue, SignedEnvelope

    def envelope(exchange_id):
        return SignedEnvelope.from_dict({
            "exchange_id": exchange_id,
            "peer_self": {"class": "body", "type": "t", "ref": "r"},
            "direction": "outbound",
            "request_hash": "h",
            "our_signature": "s",
            "opened_at": "2024-03-05T07:08:09Z",
            "protocol_hint": "tcp",
            "counterparty_identifier": "c",
        })

    def runtime_threads():
        count = 0
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    count += f.read().strip() == "tokio-runtime-w"
            except FileNotFoundError:
                pass
        return count

    def ids(queue):
        return [item.queue_id for item in queue.list()]

    def wait_for_child(pid, limit=20):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"

    queue = EnvelopeQueue(sys.argv[1])
    """
)

# The parent pushes, brings its pool into the state under test, and forks. The child lists,
# pushes and lists again on a runtime of its own (two workers and one pool thread: only the
# forking thread came along), and the parent carries on with its own runtime afterwards.
FORK_SCRIPT = """
    queue.push("routing", envelope("p1"))
    {before_fork}
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            first = ids(queue)
            queue.push("routing", envelope("c1"))
            second = ids(queue)
            threads = runtime_threads()
            code = 0 if (first, second, threads) == (["p1"], ["c1", "p1"], 3) else 2
            print(json.dumps([first, second, threads]), file=sys.stderr, flush=True)
        finally:
            os._exit(code)
    child = wait_for_child(pid)
    queue.push("routing", envelope("p2"))
    print(json.dumps({{"child": child, "parent": ids(queue), "threads": runtime_threads()}}))
"""

PARENT_STATES = {
    "right after a push": "",
    "pool thread idle": "time.sleep(0.3)",
    "after the keep-alive ended": textwrap.dedent(
        """
        deadline = time.monotonic() + 30
        while runtime_threads() > 2 and time.monotonic() < deadline:
            time.sleep(0.2)
        assert runtime_threads() == 2, "the pool thread did not retire"
        """
    ).replace("\n", "\n    "),
}


def start(script, queue_dir):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, TOKIO_WORKER_THREADS="2")
    return subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(script), str(queue_dir)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )


def collect(proc):
    """The script's report; a script still running at the time limit is killed with its
    children and fails the test."""
    try:
        out, err = proc.communicate(timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("hung: killed after the time limit")
    assert proc.returncode == 0, err
    return json.loads(out)


def fork_script(state):
    return FORK_SCRIPT.format(before_fork=PARENT_STATES[state])


@pytest.fixture(scope="module")
def after_keep_alive(tmp_path_factory):
    proc = start(fork_script("after the keep-alive ended"), tmp_path_factory.mktemp("keep-alive"))
    yield proc
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()


EXPECTED = {"child": 0, "parent": ["c1", "p1", "p2"], "threads": 3}


@pytest.mark.parametrize("state", ["right after a push", "pool thread idle"])
def test_forked_child_works_on_a_runtime_of_its_own(state, tmp_path, after_keep_alive):
    assert collect(start(fork_script(state), tmp_path)) == EXPECTED


POOL_SCRIPT = """
    import multiprocessing

    def work(i):
        queue.push("routing", envelope(f"w{i}"))
        return f"w{i}" in ids(queue)

    queue.push("routing", envelope("p1"))
    with multiprocessing.get_context("fork").Pool(4) as pool:
        seen = pool.map_async(work, range(8)).get(timeout=30)
    print(json.dumps({"seen": seen, "parent": ids(queue)}))
"""


def test_fork_pool_workers_push_and_list(tmp_path, after_keep_alive):
    report = collect(start(POOL_SCRIPT, tmp_path))
    assert report == {"seen": [True] * 8, "parent": ["p1"] + [f"w{i}" for i in range(8)]}


def test_forked_child_after_the_parents_pool_thread_retired(after_keep_alive):
    assert collect(after_keep_alive) == EXPECTED
