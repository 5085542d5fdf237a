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
import tempfile
import textwrap
import threading
import time
import traceback

import pytest

import qiv_protocol
from qiv_protocol import EnvelopeQueue, QueuedItem, SignedEnvelope

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
    from qiv_protocol import EnvelopeQueue, QueuedItem, SignedEnvelope

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


# A push never writes ".json", but an older writer may have left one behind: dropping any id
# that keeps no character removes it.
@pytest.mark.parametrize("queue_id", ["", "\u00e9/.."])
def test_drop_item_of_an_id_that_sanitises_to_nothing(tmp_path, queue_id):
    (tmp_path / ".json").write_text("{}")
    EnvelopeQueue(str(tmp_path)).drop_item(queue_id)
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


# --- push and list ------------------------------------------------------------------------

E1 = (
    '{"exchange_id":"e1","peer_self":{"class":"body","type":"t","ref":"r"},'
    '"direction":"outbound","request_hash":"h1","our_signature":"s1",'
    '"opened_at":"2024-03-05T07:08:09Z","protocol_hint":"tcp","counterparty_identifier":"c1"}'
)

E1_FILE = b"""{
  "queue_id": "e1",
  "pair_class": "routing",
  "envelope": {
    "exchange_id": "e1",
    "peer_self": {
      "class": "body",
      "type": "t",
      "ref": "r"
    },
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2024-03-05T07:08:09Z",
    "protocol_hint": "tcp",
    "counterparty_identifier": "c1"
  }
}"""


def envelope(exchange_id="e1", **fields):
    data = json.loads(E1)
    data["exchange_id"] = exchange_id
    data.update(fields)
    return SignedEnvelope.from_json(json.dumps(data))


def item_file(queue_id, pair_class="routing", exchange_id=None):
    data = {"queue_id": queue_id, "pair_class": pair_class,
            "envelope": json.loads(envelope(exchange_id or queue_id).to_json())}
    return json.dumps(data, indent=2)


def test_push_writes_the_item_file_and_list_reads_it(tmp_path):
    q = EnvelopeQueue(str(tmp_path / "a" / "b"))
    env = envelope()
    assert q.push("routing", env) is None
    assert os.listdir(tmp_path / "a" / "b") == ["e1.json"]
    assert (tmp_path / "a" / "b" / "e1.json").read_bytes() == E1_FILE
    (item,) = q.list()
    assert type(item) is QueuedItem
    assert item.queue_id == env.exchange_id == "e1"
    assert item.pair_class == "routing"
    assert item.envelope == env
    assert item.envelope is not item.envelope
    assert repr(item) == 'QueuedItem(queue_id="e1", pair_class="routing")'
    # The envelope is copied: the list's items are new objects every time.
    (again,) = q.list()
    assert again is not item and again != item


def test_push_keeps_every_field_and_takes_any_pair_class(tmp_path):
    env = envelope(
        "id\"\n\u00e9",
        peer_counterparty={"class": "pair", "type": "u", "ref": "v/w"},
        direction="inbound",
        response_hash="",
        counterparty_signature="cs",
        closed_at="2016-12-31T23:59:60.5Z",
    )
    q = EnvelopeQueue(str(tmp_path))
    q.push(pair_class="not a pair class \u0301", envelope=env)
    (item,) = q.list()
    assert item.envelope == env
    assert item.queue_id == "id\"\n\u00e9"
    assert item.pair_class == "not a pair class \u0301"
    assert repr(item) == 'QueuedItem(queue_id="id\\"\\n\u00e9", pair_class="not a pair class \\u{301}")'
    assert os.listdir(tmp_path) == ["id.json"]


@pytest.mark.parametrize(
    "exchange_id, file_name",
    [
        ("e1", "e1.json"),
        ("0190a1b2-7c3d_X", "0190a1b2-7c3d_X.json"),
        ("a/b", "ab.json"),
        ("a.b", "ab.json"),
        ("../x", "x.json"),
        ("caf\u00e9 1", "caf1.json"),
        ("\u00e9-", "-.json"),
    ],
)
def test_file_names_keep_only_safe_characters(tmp_path, exchange_id, file_name):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope(exchange_id))
    assert os.listdir(tmp_path) == [file_name]
    assert [i.queue_id for i in q.list()] == [exchange_id]
    q.drop_item(exchange_id)
    assert os.listdir(tmp_path) == []


UNUSABLE_ID_NEEDS = (
    ' has no character usable in a file name: a queue id needs at least one ASCII letter, '
    'digit, "-" or "_"'
)


# Such an id would give the file ".json", which no listing returns and every such push
# overwrites: the push is refused before the disk is touched.
@pytest.mark.parametrize(
    "exchange_id, shown",
    [
        ("", '""'),
        ("...", '"..."'),
        ("\u00e9", '"\u00e9"'),
        ("/", '"/"'),
        ("\uff21\uff22", '"\uff21\uff22"'),  # full-width letters are not ASCII
        ("\x01\n\u00a0\"", '"\\u{1}\\n\\u{a0}\\""'),
        ("\u0301", '"\\u{301}"'),  # a combining mark alone
    ],
)
def test_push_refuses_an_id_without_a_usable_character(tmp_path, exchange_id, shown):
    missing = EnvelopeQueue(str(tmp_path / "a" / "q"))
    existing = EnvelopeQueue(str(tmp_path))
    for q in (missing, existing):
        with pytest.raises(ValueError) as info:
            q.push("routing", envelope(exchange_id))
        assert type(info.value) is ValueError
        assert str(info.value) == "queue id " + shown + UNUSABLE_ID_NEEDS
    assert os.listdir(tmp_path) == []


def test_ids_that_sanitise_alike_share_one_file(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("a/b"))
    q.push("trust", envelope("ab"))
    (item,) = q.list()
    assert (item.queue_id, item.pair_class) == ("ab", "trust")
    assert os.listdir(tmp_path) == ["ab.json"]


def test_list_sorts_by_file_name_bytes(tmp_path):
    for stem in ["b", "a", "A", "a-b", "a0", "a_b"]:
        (tmp_path / f"{stem}.json").write_text(item_file(stem))
    (tmp_path / "notes.txt").write_text("not an item")
    (tmp_path / "A.JSON").write_text("not an item")
    (tmp_path / "a.json.bak").write_text("not an item")
    assert [i.queue_id for i in EnvelopeQueue(str(tmp_path)).list()] == [
        "A", "a-b", "a", "a0", "a_b", "b"
    ]


def test_list_reads_names_with_several_dots_and_more_than_one_chunk(tmp_path):
    names = [f"{n:03}" for n in range(70)]
    for stem in names:
        (tmp_path / f"{stem}.json").write_text(item_file(stem))
    (tmp_path / "x.y.json").write_text(item_file("xy"))
    (tmp_path / "..json").write_text(item_file("dot"))
    got = [i.queue_id for i in EnvelopeQueue(str(tmp_path)).list()]
    assert got == ["dot"] + names + ["xy"]


def test_a_missing_queue_directory(tmp_path):
    q = EnvelopeQueue(str(tmp_path / "a" / "b" / "c"))
    assert q.list() == []
    assert q.drop_item("e1") is None
    assert not (tmp_path / "a").exists()
    q.push("routing", envelope())
    assert os.listdir(tmp_path / "a" / "b" / "c") == ["e1.json"]


def test_a_queue_path_that_is_a_regular_file(tmp_path):
    regular = tmp_path / "plain"
    regular.write_text("x")
    q = EnvelopeQueue(str(regular))
    with pytest.raises(OSError) as info:
        q.push("routing", envelope())
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == f"queue I/O error at {regular}/e1.json: {os.strerror(20)} (os error 20)"
    with pytest.raises(OSError) as info:
        q.list()
    assert type(info.value) is OSError
    assert str(info.value) == f"queue I/O error at {regular}: {os.strerror(20)} (os error 20)"
    assert q.drop_item("e1") is None
    assert regular.read_text() == "x"


@pytest.mark.parametrize(
    "queue_path, code",
    [("dangling", 17), ("dangling/q", 17), ("plain/", 17), ("plain/q", 20)],
)
def test_directory_creation_reports_the_error_of_the_failed_step(tmp_path, queue_path, code):
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "plain").write_text("x")
    path = f"{tmp_path}/{queue_path}"
    with pytest.raises(OSError) as info:
        EnvelopeQueue(path).push("routing", envelope())
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == f"queue I/O error at {path}: {os.strerror(code)} (os error {code})"
    assert sorted(os.listdir(tmp_path)) == ["dangling", "plain"]


def test_the_empty_queue_path_is_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    q = EnvelopeQueue("")
    q.push("routing", envelope())
    assert os.listdir(tmp_path) == ["e1.json"]
    assert (tmp_path / "e1.json").read_bytes() == E1_FILE
    assert q.list() == []  # the empty path has no status, so the listing is empty
    q.drop_item("e1")
    assert os.listdir(tmp_path) == []


def test_a_queue_path_holding_nul(tmp_path):
    q = EnvelopeQueue(f"{tmp_path}/a\0b")
    with pytest.raises(OSError) as info:
        q.push("routing", envelope())
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == (
        f"queue I/O error at {tmp_path}/a\0b: file name contained an unexpected NUL byte"
    )
    assert q.list() == []
    assert q.drop_item("e1") is None
    assert os.listdir(tmp_path) == []


def test_a_sub_directory_named_like_an_item_fails_every_list(tmp_path):
    (tmp_path / "a.json").write_text(item_file("a"))
    (tmp_path / "x.json").mkdir()
    q = EnvelopeQueue(str(tmp_path))
    for _ in range(2):
        with pytest.raises(OSError) as info:
            q.list()
        assert type(info.value) is OSError
        assert str(info.value) == f"queue I/O error at {tmp_path}/x.json: {os.strerror(21)} (os error 21)"
        assert not hasattr(info.value, "__notes__")  # the message names the file already


def test_an_items_queue_id_is_taken_from_the_file_not_its_name(tmp_path):
    (tmp_path / "c.json").write_text(item_file("d", exchange_id="zz"))
    q = EnvelopeQueue(str(tmp_path))
    (item,) = q.list()
    assert item.queue_id == "d" and item.envelope.exchange_id == "zz"
    q.drop_item("d")  # addresses d.json
    assert os.listdir(tmp_path) == ["c.json"]


def test_the_array_form_of_an_item(tmp_path):
    env = json.loads(E1)
    (tmp_path / "e1.json").write_text(json.dumps(["e1", "routing", env]))
    (item,) = EnvelopeQueue(str(tmp_path)).list()
    assert (item.queue_id, item.pair_class) == ("e1", "routing")
    assert item.envelope == envelope()


@pytest.mark.parametrize(
    "text, message",
    [
        (E1_FILE.decode() + "\n}", "trailing characters at line 19 column 1"),
        ('{"queue_id": "a",\n "pair_class": "p"\n}', "missing field `envelope` at line 3 column 1"),
        ('{"envelope": ' + E1 + ', "pair_class": "p"}', "missing field `queue_id` at line 1 column 255"),
        ('["a", "p"]', "invalid length 2, expected struct QueuedItem with 3 elements at line 1 column 10"),
        ("<not json>", "expected value at line 1 column 1"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ('{"queue_id": 5}', "invalid type: integer `5`, expected a string at line 1 column 14"),
        (
            '{"queue_id": "a", "pair_class": "p", "envelope": {"exchange_id": "a"}}',
            "missing field `peer_self` at line 1 column 69",
        ),
    ],
)
def test_a_malformed_item_fails_the_whole_list(tmp_path, text, message):
    (tmp_path / "a.json").write_text(item_file("a"))
    (tmp_path / "b.json").write_text(text)
    (tmp_path / "c.json").write_text(item_file("c"))
    with pytest.raises(ValueError) as info:
        EnvelopeQueue(str(tmp_path)).list()
    assert type(info.value) is ValueError
    assert str(info.value) == "queue JSON error: " + message
    assert info.value.__notes__ == [f"queue item file: {tmp_path}/b.json"]


# The message stays the reader's; the note names the file to repair or remove, in the display
# form of paths (invalid UTF-8 replaced), and a traceback prints it where notes are printed.
@pytest.mark.parametrize("sub_dir", [b"q", b"h\xff/q\xc3"])
def test_a_malformed_item_file_is_named_in_a_note(tmp_path, monkeypatch, sub_dir):
    home = os.fsencode(tmp_path) + b"/" + sub_dir
    item_path = home + b"/.tolvan/envelope-queue/b.json"
    os.makedirs(os.path.dirname(item_path))
    with open(item_path, "w") as f:
        f.write("{5: 1}")
    # HOME is the only way a path with invalid UTF-8 reaches a queue.
    monkeypatch.setitem(os.environb, b"HOME", home)
    with pytest.raises(ValueError) as info:
        EnvelopeQueue.default().list()
    message = "queue JSON error: key must be a string at line 1 column 2"
    note = "queue item file: " + item_path.decode("utf-8", "replace")
    assert str(info.value) == message
    assert info.value.__notes__ == [note]
    # 3.10's own traceback prints no notes (a backport imported by the test runner may).
    if sys.version_info >= (3, 11):
        shown = "".join(traceback.format_exception(info.value))
        assert shown.endswith(f"ValueError: {message}\n{note}\n")


def test_push_replaces_a_partial_file_and_leaves_no_temporary_behind(tmp_path):
    (tmp_path / "e1.json").write_text('{"queue_id": "e1", "pai')
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope())
    assert os.listdir(tmp_path) == ["e1.json"]
    assert (tmp_path / "e1.json").read_bytes() == E1_FILE


def test_replacing_an_item_needs_write_permission_on_the_directory():
    # A push writes the new item to a temporary file in the directory and renames it over the
    # old one, so a writable item file in a directory the caller may not write stays as it was.
    # Root passes every permission check: the child gives root up before it pushes (in a folder
    # of its own under /tmp, as pytest's folders are closed to other users).
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        queue_dir = pathlib.Path(tmp) / "q"
        EnvelopeQueue(str(queue_dir)).push("routing", envelope())
        item = queue_dir / "e1.json"
        item.chmod(0o666)
        queue_dir.chmod(0o555)
        try:
            [outcome] = run_child(f"""
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                try:
                    q = EnvelopeQueue({str(queue_dir)!r})
                    q.push("trust", SignedEnvelope.from_json({E1!r}))
                    report(error=None)
                except OSError as error:
                    report(error=str(error))
            """)
        finally:
            queue_dir.chmod(0o755)
        assert outcome["error"] == f"queue I/O error at {item}: Permission denied (os error 13)"
        assert item.read_bytes() == E1_FILE


@pytest.mark.parametrize(
    "args, message",
    [
        ((5, "x"), "argument 'pair_class': 'int' object cannot be cast as 'str'"),
        (("routing", "x"), "argument 'envelope': 'str' object cannot be cast as 'SignedEnvelope'"),
        (("routing",), "EnvelopeQueue.push() missing 1 required positional argument: 'envelope'"),
    ],
)
def test_push_argument_errors(tmp_path, args, message):
    with pytest.raises(TypeError) as info:
        EnvelopeQueue(str(tmp_path / "q")).push(*args)
    assert str(info.value) == message
    assert not (tmp_path / "q").exists()


def test_list_takes_no_arguments():
    with pytest.raises(TypeError):
        EnvelopeQueue("q").list(1)


def test_queued_item_cannot_be_made_or_changed(tmp_path):
    with pytest.raises(TypeError):
        QueuedItem()
    with pytest.raises(TypeError):
        type("Sub", (QueuedItem,), {})
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope())
    (item,) = q.list()
    with pytest.raises(AttributeError):
        item.pair_class = "x"
    assert len({item, item}) == 1
    assert QueuedItem.__doc__ == (
        "One spilled record: the envelope plus the pair class it was meant to\n"
        "be emitted as. Constructed by the queue, not by user code."
    )


def test_push_and_list_docstrings():
    assert EnvelopeQueue.push.__text_signature__ == "($self, pair_class, envelope)"
    assert EnvelopeQueue.push.__doc__ == (
        "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
        "failure or `ValueError` on JSON serialisation failure."
    )
    assert EnvelopeQueue.list.__text_signature__ == "($self)"
    assert EnvelopeQueue.list.__doc__ == "Enumerate queued items in emission order (UUIDv7 prefix sort)."
    assert [n for n in vars(EnvelopeQueue) if not n.startswith("__")] == [
        "default", "push", "list", "drop_item", "dir"
    ]


def test_the_interpreter_lock_is_kept_during_a_call(tmp_path):
    # The item "file" is a FIFO: the pool thread's open blocks until the writer below opens
    # it, and the writer then holds the call for half a second before writing.
    fifo = tmp_path / "a.json"
    os.mkfifo(fifo)
    writer = subprocess.Popen(
        [sys.executable, "-c",
         "import sys, time\nf = open(sys.argv[1], 'w')\ntime.sleep(0.5)\nf.write('[')\nf.close()",
         str(fifo)]
    )
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        start = time.monotonic()
        with pytest.raises(ValueError) as info:
            EnvelopeQueue(str(tmp_path)).list()
        end = time.monotonic()
    finally:
        stop.set()
        counter.join()
        writer.wait()
    assert str(info.value) == "queue JSON error: EOF while parsing a list at line 1 column 1"
    assert end - start >= 0.4
    # Apart from a switch interval at either end, the counting thread never ran.
    assert [t for t in ticks if start + 0.1 < t < end - 0.1] == []


# --- the runtime under the blocking calls (child processes) -----------------------------


def test_bad_arguments_leave_the_runtime_unbuilt():
    (report,) = run_child(
        """
        q = EnvelopeQueue("/nonexistent-queue-dir")
        r = EnvelopeQueue.default(); repr(q); q.dir
        for call in (lambda: q.drop_item(5), lambda: q.push(5, None), lambda: q.push("r", "x")):
            try:
                call()
            except TypeError:
                pass
        before = runtime_threads()
        q.list()
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


# UBSan checks each virtual call's vtable through a pipe of its own; with every descriptor
# taken it cannot make one and reports a valid object as having an invalid vptr.
@pytest.mark.skipif(
    os.environ.get("QIV_SANITIZED") == "1",
    reason="sanitized build: the sanitizer runtime itself needs the file descriptors this takes",
)
def test_a_runtime_that_cannot_be_built_is_tried_again():
    (report,) = run_child(
        """
        import resource
        q = EnvelopeQueue("/nonexistent-queue-dir")
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
        fillers = []
        try:
            while True:
                fillers.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        try:
            q.list()
        except BaseException as e:
            fault = [type(e).__name__, str(e)]
        for fd in fillers:
            os.close(fd)
        threads_after_fault = runtime_threads()
        q.list()
        report(fault=fault, before=threads_after_fault, after=runtime_threads())
        """,
        env=child_env(TOKIO_WORKER_THREADS="2"),
    )
    assert report["fault"] == [
        "PanicException",
        "failed to start tokio runtime for qiv-protocol-py: "
        f'Os {{ code: 24, kind: Uncategorized, message: "{os.strerror(24)}" }}',
    ]
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


# --- an operator's CPU mask during list() (child process) --------------------------------

# Waits until list() has the FIFO open for reading (a non-blocking open for writing fails with
# ENXIO until then), so that the call is certainly inside that item's read and cannot end
# before this script closes the FIFO; then does what an operator does, `taskset -a` on every
# thread of the process, and only then writes the item. The mask is one CPU other than the
# caller's current one ("other") or every CPU this script may use but the last ("all-but-last").
# "caller-and-pool" gives the calling thread the second and third CPUs and the pool thread (the
# runtime thread held on one CPU) the fourth and fifth, `taskset -p` on each. With a cpuset
# cgroup's directory as a fifth argument it changes that cgroup's CPUs instead, to all but the
# one the caller is held on. Prints the mask, or the masks by thread id.
OPERATOR_SCRIPT = """
import errno, json, os, subprocess, sys, time
fifo, pid, text, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
cgroup = sys.argv[5] if len(sys.argv) > 5 else None
deadline = time.monotonic() + 30
while True:
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        break
    except OSError as e:
        if e.errno != errno.ENXIO or time.monotonic() > deadline:
            raise
        time.sleep(0.001)
allowed = os.sched_getaffinity(0)
if kind == "other":
    mask = [min(allowed - os.sched_getaffinity(pid) or allowed)]
elif kind == "all-but-held":
    mask = sorted(allowed - os.sched_getaffinity(pid))
else:
    mask = sorted(allowed)[:-1]
if kind == "caller-and-pool":
    def runtime_thread(tid):
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            return f.read().startswith("tokio")
    (pool,) = [int(tid) for tid in os.listdir(f"/proc/{pid}/task")
               if runtime_thread(tid) and len(os.sched_getaffinity(int(tid))) == 1]
    cpus = sorted(allowed)
    mask = {str(pid): cpus[1:3], str(pool): cpus[3:5]}
    for tid, cpus in mask.items():
        subprocess.run(["taskset", "-p", "-c", ",".join(map(str, cpus)), tid],
                       check=True, stdout=subprocess.DEVNULL)
elif cgroup is None:
    subprocess.run(["taskset", "-a", "-p", "-c", ",".join(map(str, mask)), str(pid)],
                   check=True, stdout=subprocess.DEVNULL)
else:
    with open(os.path.join(cgroup, "cpuset.cpus"), "w") as f:
        f.write(",".join(map(str, mask)))
os.set_blocking(fd, True)
os.write(fd, text.encode())
os.close(fd)
print(json.dumps(mask))
"""


@pytest.mark.parametrize("items, fifo_at, start_on_last, kind", [
    # Through the let-go after 64 hand-offs, changed inside the last item's read.
    pytest.param(65, 65, False, "other", marks=pytest.mark.skipif(
        len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs to move between")),
    # Changed early in a series that ends before any let-go: the caller, held on the last CPU,
    # wakes elsewhere in the new mask, and the pool thread follows it there hand-off by hand-off.
    pytest.param(12, 4, True, "all-but-last", marks=pytest.mark.skipif(
        len(os.sched_getaffinity(0)) < 3, reason="needs three CPUs for a mask of two")),
    # Changed inside the last item's read, one mask for the caller and another for its pool
    # thread: each keeps its own.
    pytest.param(12, 12, False, "caller-and-pool", marks=pytest.mark.skipif(
        len(os.sched_getaffinity(0)) < 5, reason="needs five CPUs for two masks of two")),
])
def test_list_keeps_a_cpu_mask_set_from_outside_during_the_call(
        tmp_path, items, fifo_at, start_on_last, kind):
    names = [f"i{n:02d}" for n in range(items)]
    for n, name in enumerate(names, 1):
        if n == fifo_at:
            os.mkfifo(tmp_path / f"{name}.json")
        else:
            (tmp_path / f"{name}.json").write_text(item_file(name))
    body = """
        import subprocess
        operator = subprocess.Popen(
            [sys.executable, "-c", OPERATOR_SCRIPT, FIFO, str(os.getpid()), ITEM, KIND],
            stdout=subprocess.PIPE, text=True)
        if START_ON_LAST:
            os.sched_setaffinity(0, [max(os.sched_getaffinity(0))])
        items = EnvelopeQueue(QUEUE_DIR).list()
        out, _ = operator.communicate(timeout=30)
        masks, by_tid = {}, {}
        for tid in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
            by_tid[tid] = sorted(os.sched_getaffinity(int(tid)))
            masks.setdefault(name, []).append(by_tid[tid])
        report(ids=[item.queue_id for item in items], operator=operator.returncode,
               mask=json.loads(out), caller=sorted(os.sched_getaffinity(0)), masks=masks,
               by_tid=by_tid)
    """
    fifo_name = names[fifo_at - 1]
    prelude = "".join("%s = %r\n" % pair for pair in [
        ("OPERATOR_SCRIPT", OPERATOR_SCRIPT), ("QUEUE_DIR", str(tmp_path)),
        ("FIFO", str(tmp_path / f"{fifo_name}.json")), ("ITEM", item_file(fifo_name)),
        ("KIND", kind), ("START_ON_LAST", start_on_last)])
    (report,) = run_child(prelude + textwrap.dedent(body), timeout=60)
    assert (report["ids"], report["operator"]) == (names, 0)
    mask = report["mask"]
    if kind == "caller-and-pool":
        assert {tid: report["by_tid"][tid] for tid in mask} == mask
        return
    assert report["caller"] == mask
    # Every thread, the pool thread that read the items among them, keeps the operator's mask.
    assert {name: [m for m in masks if m != mask] for name, masks in report["masks"].items()} \
        == {name: [] for name in report["masks"]}


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 4,
                    reason="needs four CPUs for two callers apart")
def test_a_push_runs_on_its_own_callers_cpus_after_another_callers_push(tmp_path):
    # Thread A lists and thread B pushes, each on CPUs of its own; then A pushes. The one pool
    # thread serves all three calls, and must run A's push where A may run, not where B may.
    body = """
        q = EnvelopeQueue(QUEUE_DIR)
        q.drop_item("absent")  # builds the runtime here: its worker keeps this thread's mask
        cpus = sorted(os.sched_getaffinity(0))
        a, b = cpus[:2], cpus[-2:]

        def call(mask, fn):
            def run():
                os.sched_setaffinity(0, mask)
                fn()
            thread = threading.Thread(target=run)
            thread.start()
            thread.join()

        call(a, q.list)
        call(b, lambda: q.push("routing", SignedEnvelope.from_json(ENVELOPE_B)))
        call(a, lambda: q.push("routing", SignedEnvelope.from_json(ENVELOPE_A)))
        # The runtime's threads alone: a joined Python thread may still be ending meanwhile.
        masks = []
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    if f.read().startswith("tokio"):
                        masks.append(sorted(os.sched_getaffinity(int(tid))))
            except (FileNotFoundError, ProcessLookupError):
                pass
        report(masks=sorted(masks), cpus=cpus, a=a, ids=[i.queue_id for i in q.list()])
    """
    (tmp_path / "i00.json").write_text(item_file("i00"))
    prelude = "".join("%s = %r\n" % pair for pair in [
        ("QUEUE_DIR", str(tmp_path)), ("ENVELOPE_A", envelope("a").to_json()),
        ("ENVELOPE_B", envelope("b").to_json())])
    (report,) = run_child(prelude + textwrap.dedent(body),
                          env=child_env(TOKIO_WORKER_THREADS="1"))
    assert report["ids"] == ["a", "b", "i00"]
    # The worker and the pool thread, which ran A's push last.
    assert report["masks"] == sorted([report["cpus"], report["a"]])


def cpuset_hierarchy():
    """The mount point of a writable cgroup v1 cpuset hierarchy and this process's cgroup in it,
    or None."""
    with open("/proc/self/mounts") as f:
        mounts = [line.split() for line in f]
    for _, point, kind, options, *_ in mounts:
        if kind == "cgroup" and "cpuset" in options.split(","):
            with open("/proc/self/cgroup") as f:
                for line in f:
                    _, controllers, path = line.rstrip("\n").split(":", 2)
                    if "cpuset" in controllers.split(","):
                        own = os.path.join(point, path.lstrip("/"))
                        if os.access(own, os.W_OK):
                            return own
    return None


@pytest.fixture
def cpuset_cgroup():
    """A child cpuset cgroup with every CPU and memory node of this process's own, removed
    after the test. A process still in it (the operator of a child killed at its time limit)
    is moved back first, so that a failure leaves nothing behind."""
    parent = cpuset_hierarchy()
    if parent is None or len(os.sched_getaffinity(0)) < 3:
        pytest.skip("needs a writable cgroup v1 cpuset hierarchy and three CPUs")
    path = os.path.join(parent, f"qiv-test-{os.getpid()}")
    os.mkdir(path)
    try:
        for name in ("cpuset.cpus", "cpuset.mems"):
            with open(os.path.join(parent, name)) as f:
                value = f.read().strip()
            with open(os.path.join(path, name), "w") as f:
                f.write(value)
        yield path
    finally:
        for attempt in range(100):  # a process that has just ended leaves the cgroup later
            try:
                with open(os.path.join(path, "cgroup.procs")) as f:
                    for pid in f.read().split():
                        with open(os.path.join(parent, "cgroup.procs"), "w") as back:
                            back.write(pid)
                os.rmdir(path)
                break
            except OSError:
                if attempt == 99:
                    raise
                time.sleep(0.05)


@pytest.mark.parametrize("own", ["every CPU", "every other CPU"])
def test_list_leaves_no_thread_on_the_held_cpu_after_its_cgroup_left_it_out(
        tmp_path, cpuset_cgroup, own):
    # The cgroup's CPUs are narrowed to leave out the CPU that list() holds its caller on, and
    # widened again after the call. The process's own mask (`taskset -a`) is every CPU of the
    # cgroup or every other one. Each time, every thread must have what the kernel gives a
    # thread that never called the module: its own mask within the cgroup's CPUs. So none is
    # left on the held CPU, none gets a CPU that its own mask left out, and the widening gives
    # every thread its whole mask back.
    names = [f"i{n:02d}" for n in range(12)]
    for name in names:
        if name == "i03":
            os.mkfifo(tmp_path / "i03.json")
        else:
            (tmp_path / f"{name}.json").write_text(item_file(name))
    body = """
        import subprocess
        with open(os.path.join(CGROUP, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
        everything = sorted(os.sched_getaffinity(0))
        operator = subprocess.Popen(
            [sys.executable, "-c", OPERATOR_SCRIPT, FIFO, str(os.getpid()), ITEM,
             "all-but-held", CGROUP], stdout=subprocess.PIPE, text=True)
        own = everything if OWN == "every CPU" else everything[::2]
        done = threading.Event()
        control = threading.Thread(target=done.wait)  # never calls the module
        control.start()
        for tid in os.listdir("/proc/self/task"):
            os.sched_setaffinity(int(tid), own)

        def masks():
            found = {tid: sorted(os.sched_getaffinity(int(tid)))
                     for tid in os.listdir("/proc/self/task")}
            return found.pop(str(control.native_id)), found

        items = EnvelopeQueue(QUEUE_DIR).list()
        out, _ = operator.communicate(timeout=30)
        narrowed = masks()
        with open(os.path.join(CGROUP, "cpuset.cpus"), "w") as f:
            f.write(",".join(map(str, everything)))
        widened = masks()
        done.set()
        report(ids=[item.queue_id for item in items], operator=operator.returncode,
               mask=json.loads(out), everything=everything, own=own, narrowed=narrowed,
               widened=widened)
    """
    prelude = "".join("%s = %r\n" % pair for pair in [
        ("OPERATOR_SCRIPT", OPERATOR_SCRIPT), ("QUEUE_DIR", str(tmp_path)),
        ("FIFO", str(tmp_path / "i03.json")), ("ITEM", item_file("i03")),
        ("CGROUP", cpuset_cgroup), ("OWN", own)])
    (report,) = run_child(prelude + textwrap.dedent(body), timeout=60)
    assert (report["ids"], report["operator"]) == (names, 0)
    held = sorted(set(report["everything"]) - set(report["mask"]))
    assert len(held) == 1 and held[0] in report["own"]
    kernel = [sorted(set(report["own"]) & set(report["mask"])), report["own"]]
    if [report["narrowed"][0], report["widened"][0]] != kernel:
        pytest.skip("this kernel does not keep a thread's own mask within its cgroup's CPUs")
    for control, threads in (report["narrowed"], report["widened"]):
        assert {tid: mask for tid, mask in threads.items() if mask != control} == {}


# --- several drains of one queue (child processes) --------------------------------------
# Nothing coordinates them, so two drains may both see an item; what neither may do is fail
# because the other removed a file first. A FIFO that nobody opens would hang the suite, hence
# children under a time limit.

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
    (tmp_path / "b.json").write_text(item_file("b"))
    done = subprocess.run(
        [sys.executable, "-c", LISTER, str(tmp_path), REMOVER, item_file("a")],
        env=child_env(), capture_output=True, text=True, timeout=60,
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
        subprocess.Popen([sys.executable, "-c", DROPPER, str(tmp_path), str(count)],
                         env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
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


# --- a push after the main thread has ended (child process) -----------------------------
# An embedding host, or a ctypes call, may end the main thread while other threads go on; the
# kernel then no longer shows the process's descriptors under /proc/self. The child's main
# thread ends in pthread_exit; a thread started before waits until the main thread is a
# zombie, pushes a new item, replaces it, replaces an item pushed before, and ends the process.

AFTER_MAIN_THREAD = """
    import ctypes
    queue_dir, text = sys.argv[1], sys.argv[2]
    q = EnvelopeQueue(queue_dir)
    q.push("before", SignedEnvelope.from_json(text.replace('"e1"', '"old"')))
    main_tid = threading.get_native_id()

    def push_after_the_main_thread():
        state, deadline = None, time.monotonic() + 20
        while state != "Z" and time.monotonic() < deadline:
            time.sleep(0.01)
            with open(f"/proc/self/task/{main_tid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        outcomes = []
        for pair_class, exchange_id in (("new", "e1"), ("replace", "e1"), ("replace", "old")):
            try:
                env = SignedEnvelope.from_json(text.replace('"e1"', f'"{exchange_id}"'))
                q.push(pair_class, env)
                outcomes.append("ok")
            except OSError as e:
                outcomes.append(str(e))
        report(main_thread=state, outcomes=outcomes)
        os._exit(0)

    threading.Thread(target=push_after_the_main_thread).start()
    ctypes.CDLL(None).pthread_exit(None)
"""


def test_push_succeeds_after_the_main_thread_has_ended(tmp_path):
    queue_dir = tmp_path / "q"
    child = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(AFTER_MAIN_THREAD),
         str(queue_dir), E1],
        env=child_env(), capture_output=True, text=True, timeout=60,
    )
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == {"main_thread": "Z", "outcomes": ["ok"] * 3}
    items = EnvelopeQueue(str(queue_dir)).list()
    assert [(i.queue_id, i.pair_class) for i in items] == [("e1", "replace"), ("old", "replace")]
    assert sorted(os.listdir(queue_dir)) == ["e1.json", "old.json"]


# --- collected last ----------------------------------------------------------------------


def test_pool_threads_end_after_ten_idle_seconds(idle_pool_child):
    out, err = idle_pool_child.communicate(timeout=120)
    assert idle_pool_child.returncode == 0, err
    report = json.loads(out)
    assert report == {"workers": 2, "after_job": 3, "later": 2}
