"""EnvelopeQueue and QueuedItem: the spill queue seen from Python, and the runtime under it.

Runtime behaviour (when it is built, its threads, TOKIO_WORKER_THREADS) is process-wide, so
those cases run in child processes. The slow one (pool threads ending after 10 idle seconds)
starts in a child at the beginning of this module and is collected by its last test.
"""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import qiv_protocol
from qiv_protocol import EnvelopeQueue

MODULE_DIR = os.path.dirname(qiv_protocol.__file__)


def child_env(**overrides):
    env = dict(os.environ)
    env["PYTHONPATH"] = MODULE_DIR
    env.pop("TOKIO_WORKER_THREADS", None)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


# Shared by the child scripts: the runtime's threads as the kernel names them.
CHILD_PRELUDE = textwrap.dedent(
    """
    import json, os, sys, threading, time
    import qiv_protocol
    from qiv_protocol import EnvelopeQueue

    def runtime_threads():
        names = []
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.append(f.read().strip())
            except FileNotFoundError:
                pass
        return [n for n in names if n.startswith("tokio")]

    def report(**values):
        print(json.dumps(values), flush=True)
    """
)


def run_child(body, env=None, timeout=60):
    """Runs `body` after CHILD_PRELUDE in a fresh interpreter; returns its report lines."""
    proc = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)],
        env=env if env is not None else child_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


# --- pool threads retire after 10 idle seconds (started first, collected last) -----------

IDLE_POOL_CHILD = """
    q = EnvelopeQueue(sys.argv[1])
    q.drop_item("absent")                          # builds the runtime: workers only
    workers = len(runtime_threads())
    os.mkdir(sys.argv[1] + "/x.json")              # dropping it needs a pool job, which fails
    try:
        q.drop_item("x")
    except OSError:
        pass
    after_job = len(runtime_threads())
    deadline = time.monotonic() + 60
    while len(runtime_threads()) > workers and time.monotonic() < deadline:
        time.sleep(0.5)
    report(workers=workers, after_job=after_job, later=len(runtime_threads()))
"""


@pytest.fixture(scope="module", autouse=True)
def idle_pool_child(tmp_path_factory):
    queue_dir = tmp_path_factory.mktemp("idle-pool")
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(IDLE_POOL_CHILD), str(queue_dir)],
        env=child_env(TOKIO_WORKER_THREADS="2"),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    yield proc
    if proc.poll() is None:
        proc.kill()
        proc.wait()


# --- construction, dir, repr --------------------------------------------------------------


def test_constructor_touches_nothing(tmp_path):
    missing = tmp_path / "a" / "b"
    q = EnvelopeQueue(str(missing))
    assert q.dir == str(missing)
    assert not (tmp_path / "a").exists()
    q = EnvelopeQueue(dir="q/../q")
    assert q.dir == "q/../q"
    assert repr(q) == 'EnvelopeQueue(dir="q/../q")'


@pytest.mark.parametrize(
    "argument, message",
    [
        (b"q", "argument 'dir': 'bytes' object cannot be cast as 'str'"),
        (pathlib.PurePosixPath("q"), "argument 'dir': 'PurePosixPath' object cannot be cast as 'str'"),
        (None, "argument 'dir': 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_constructor_takes_only_str(argument, message):
    with pytest.raises(TypeError) as info:
        EnvelopeQueue(argument)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "path, shown",
    [
        ("", 'EnvelopeQueue(dir="")'),
        ('a"b\\c', 'EnvelopeQueue(dir="a\\"b\\\\c")'),
        ("tab\there\0nul", 'EnvelopeQueue(dir="tab\\there\\0nul")'),
        ("caf\u00e9 \u00a0x\u0301", 'EnvelopeQueue(dir="caf\u00e9 \\u{a0}x\\u{301}")'),
        ("it's", "EnvelopeQueue(dir=\"it's\")"),
    ],
)
def test_repr_quotes_the_path(path, shown):
    assert repr(EnvelopeQueue(path)) == shown


@pytest.mark.parametrize(
    "home, expected",
    [
        (None, ".envelope-queue"),
        ("/home/u", "/home/u/.tolvan/envelope-queue"),
        ("/home/u/", "/home/u/.tolvan/envelope-queue"),
        ("/", "/.tolvan/envelope-queue"),
        ("", ".tolvan/envelope-queue"),
        ("~", "~/.tolvan/envelope-queue"),
    ],
)
def test_default_dir_follows_home(monkeypatch, home, expected):
    if home is None:
        monkeypatch.delenv("HOME", raising=False)
    else:
        monkeypatch.setenv("HOME", home)
    q = EnvelopeQueue.default()
    assert type(q) is EnvelopeQueue
    assert q.dir == expected


@pytest.mark.parametrize(
    "raw",
    [
        b"/h/\xff",
        b"/h/\xc3",                  # truncated two-byte character at the end
        b"/h/\xe2\x82x",             # truncated three-byte character: one replacement
        b"/h/\xf0\x80\x80",          # overlong start: each byte on its own
        b"/h/\xed\xa0\x80",          # surrogate
        b"/h/\xf4\x90\x80\x80",      # above U+10FFFF
        b"/h/\xc0\xaf\xe0\x80\xbf",
        b"/h/\xf0\x9f\x98",          # three of four bytes: one replacement
        b"/h/ok\xe2\x82\xac",        # valid
    ],
)
def test_invalid_utf8_in_the_path(monkeypatch, raw):
    # HOME is the only way a path with invalid UTF-8 reaches a queue.
    monkeypatch.setitem(os.environb, b"HOME", raw)
    q = EnvelopeQueue.default()
    path = raw + b"/.tolvan/envelope-queue"
    assert q.dir == path.decode("utf-8", "replace")
    expected_repr = "".join(
        chunk if isinstance(chunk, str) else "\\x%02X" % chunk for chunk in _repr_chunks(path)
    )
    assert repr(q) == 'EnvelopeQueue(dir="' + expected_repr + '")'


def _repr_chunks(raw):
    """Valid UTF-8 runs as text, every byte outside valid UTF-8 as an int."""
    pos = 0
    while pos < len(raw):
        for size in (1, 2, 3, 4):
            try:
                text = raw[pos : pos + size].decode("utf-8")
            except UnicodeDecodeError:
                continue
            yield text
            pos += size
            break
        else:
            yield raw[pos]
            pos += 1


def test_objects_compare_and_hash_by_identity():
    a, b = EnvelopeQueue("q"), EnvelopeQueue("q")
    assert a != b and a == a
    assert len({a, b}) == 2
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    with pytest.raises(TypeError):
        type("Sub", (EnvelopeQueue,), {})
    with pytest.raises(AttributeError):
        a.dir = "x"


# --- drop_item ------------------------------------------------------------------------------


def test_drop_item_of_a_missing_queue_or_file(tmp_path):
    missing = EnvelopeQueue(str(tmp_path / "nothing"))
    assert missing.drop_item("e1") is None
    assert not (tmp_path / "nothing").exists()
    q = EnvelopeQueue(str(tmp_path))
    (tmp_path / "e1.json").write_text("{}")
    (tmp_path / "keep.json").write_text("{}")
    assert q.drop_item("e/1") is None          # sanitises to e1
    assert q.drop_item("e1") is None           # twice: still fine
    assert sorted(os.listdir(tmp_path)) == ["keep.json"]


def test_drop_item_of_an_id_that_sanitises_to_nothing(tmp_path):
    (tmp_path / ".json").write_text("{}")
    EnvelopeQueue(str(tmp_path)).drop_item("\u00e9/..")
    assert os.listdir(tmp_path) == []


def test_drop_item_with_an_empty_queue_path_uses_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "e1.json").write_text("{}")
    EnvelopeQueue("").drop_item("e1")
    assert os.listdir(tmp_path) == []


def test_drop_item_on_a_queue_path_that_is_a_file_or_holds_nul(tmp_path):
    regular = tmp_path / "plain"
    regular.write_text("x")
    assert EnvelopeQueue(str(regular)).drop_item("e1") is None
    assert EnvelopeQueue(str(tmp_path) + "/\0q").drop_item("e1") is None
    assert regular.read_text() == "x"


def test_drop_item_failure_is_a_plain_os_error(tmp_path):
    (tmp_path / "x.json").mkdir()
    with pytest.raises(OSError) as info:
        EnvelopeQueue(str(tmp_path)).drop_item("x")
    assert type(info.value) is OSError
    assert info.value.errno is None and info.value.strerror is None
    assert info.value.filename is None
    assert str(info.value) == (
        f"queue I/O error at {tmp_path}/x.json: {os.strerror(21)} (os error 21)"
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((5,), {}, "argument 'queue_id': 'int' object cannot be cast as 'str'"),
        ((), {}, "EnvelopeQueue.drop_item() missing 1 required positional argument: 'queue_id'"),
        (("a", "b"), {}, "EnvelopeQueue.drop_item() takes 1 positional arguments but 2 were given"),
    ],
)
def test_drop_item_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        EnvelopeQueue("q").drop_item(*args, **kwargs)
    assert str(info.value) == message


def test_docstrings_and_signatures():
    assert EnvelopeQueue.__text_signature__ == "(dir)"
    assert EnvelopeQueue.__doc__.startswith("File-backed envelope spill queue.")
    assert EnvelopeQueue.default.__text_signature__ == "()"
    assert EnvelopeQueue.default.__doc__ == "Bind to the kernel's default directory."
    assert EnvelopeQueue.drop_item.__text_signature__ == "($self, queue_id)"
    assert EnvelopeQueue.drop_item.__doc__ == "Drop an item after successful re-emission."


# --- the runtime under the blocking calls (child processes) -----------------------------


def test_bad_arguments_leave_the_runtime_unbuilt():
    (report,) = run_child(
        """
        q = EnvelopeQueue("/nonexistent-queue-dir")
        r = EnvelopeQueue.default(); repr(q); q.dir
        try:
            q.drop_item(5)
        except TypeError:
            pass
        before = runtime_threads()
        q.drop_item("e1")
        report(before=before, after=runtime_threads())
        """,
        env=child_env(TOKIO_WORKER_THREADS="3"),
    )
    assert report["before"] == []
    assert report["after"] == ["tokio-runtime-w"] * 3


def test_worker_count_defaults_to_available_processors():
    (report,) = run_child(
        """
        EnvelopeQueue("/nonexistent-queue-dir").drop_item("e1")
        report(threads=runtime_threads(), cpus=len(os.sched_getaffinity(0)))
        """
    )
    assert report["threads"] == ["tokio-runtime-w"] * report["cpus"]


BAD_WORKER_COUNTS = [
    ("0", '"TOKIO_WORKER_THREADS" cannot be set to 0'),
    ("abc", '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: abc'),
    ("", '"TOKIO_WORKER_THREADS" must be usize, error: cannot parse integer from empty string, value: '),
    (" 4", '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value:  4'),
    ("+", '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: +'),
    ("-1", '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: -1'),
    (
        "18446744073709551616",
        '"TOKIO_WORKER_THREADS" must be usize, error: number too large to fit in target type, '
        "value: 18446744073709551616",
    ),
]


@pytest.mark.parametrize("value, message", BAD_WORKER_COUNTS)
def test_invalid_worker_count_faults_until_corrected(value, message):
    (report,) = run_child(
        """
        q = EnvelopeQueue("/nonexistent-queue-dir")
        faults = []
        for _ in range(2):   # the failed build is tried again by the next call
            try:
                q.drop_item("e1")
            except BaseException as e:
                faults.append([type(e).__module__, type(e).__name__, str(e)])
        threads_after_fault = runtime_threads()
        os.environ["TOKIO_WORKER_THREADS"] = "2"
        q.drop_item("e1")
        report(faults=faults, before=threads_after_fault, after=runtime_threads())
        """,
        env=child_env(TOKIO_WORKER_THREADS=value),
    )
    assert report["faults"] == [["pyo3_runtime", "PanicException", message]] * 2
    assert report["before"] == []
    assert report["after"] == ["tokio-runtime-w"] * 2


def test_worker_count_that_is_not_unicode():
    env = {os.fsencode(k): os.fsencode(v) for k, v in child_env().items()}
    env[b"TOKIO_WORKER_THREADS"] = b"4\xff"
    (report,) = run_child(
        """
        try:
            EnvelopeQueue("/nonexistent-queue-dir").drop_item("e1")
        except BaseException as e:
            report(fault=str(e))
        """,
        env=env,
    )
    assert report["fault"] == '"TOKIO_WORKER_THREADS" must be valid unicode, error: "4\\xFF"'


def test_plus_sign_is_accepted_and_the_runtime_is_shared():
    (report,) = run_child(
        """
        EnvelopeQueue("/nonexistent-queue-dir").drop_item("e1")
        first = runtime_threads()
        os.environ["TOKIO_WORKER_THREADS"] = "7"    # read only when the runtime is built
        EnvelopeQueue("/other-nonexistent-dir").drop_item("e2")
        report(first=first, later=runtime_threads())
        """,
        env=child_env(TOKIO_WORKER_THREADS="+4"),
    )
    assert report["first"] == ["tokio-runtime-w"] * 4
    assert report["later"] == ["tokio-runtime-w"] * 4


# --- collected last ----------------------------------------------------------------------


def test_pool_threads_end_after_ten_idle_seconds(idle_pool_child):
    out, err = idle_pool_child.communicate(timeout=120)
    assert idle_pool_child.returncode == 0, err
    report = json.loads(out)
    assert report == {"workers": 2, "after_job": 3, "later": 2}
