"""The scripts under examples/, tools/demo.py and every ```python block of the README and the
API reference run as written, and the classify_exchange table and the array orders of
docs/api.md hold.

Each runs in a child process under a time limit, seeing the module wherever this process
found it (build tree or installed package). Files are found relative to this one, in the
source tree or in the copy of the tracked files that tools/distro_check.sh makes.
"""
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from qiv_protocol import (
    AnchorProof,
    AnchorReceipt,
    PeerIdentityDescriptor,
    SignedEnvelope,
    classify_exchange,
)

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
DOCUMENTS = ["README.md", "docs/api.md"]
TIME_LIMIT = 120  # seconds for one script or block
# A ```python block that cannot run alone is marked on the line just above its fence with
#   <!-- fragment: <why it cannot run alone> -->
# (invisible in the rendered document); it is skipped with that reason.
FRAGMENT = re.compile(r"<!-- fragment: (.+) -->")


def run_script(path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, str(path)], capture_output=True, text=True, env=env,
                          cwd=path.parent, timeout=TIME_LIMIT)


def readme_snippet():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Using it\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def python_blocks(document):
    """(document, line of the block's first line, code, fragment reason or None) of each
    ```python block."""
    lines = (ROOT / document).read_text(encoding="utf-8").splitlines(keepends=True)
    blocks = []
    for fence, line in enumerate(lines):
        if line.rstrip() != "```python":
            continue
        end = next(i for i in range(fence + 1, len(lines)) if lines[i].rstrip() == "```")
        marker = FRAGMENT.fullmatch(lines[fence - 1].strip()) if fence else None
        blocks.append((document, fence + 2, "".join(lines[fence + 1:end]),
                       marker.group(1) if marker else None))
    return blocks


DOC_BLOCKS = [block for document in DOCUMENTS for block in python_blocks(document)]


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(path):
    done = run_script(path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_readme_snippet_runs(tmp_path):
    script = tmp_path / "readme_snippet.py"
    script.write_text(readme_snippet(), encoding="utf-8")
    done = run_script(script)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("e1 routing 2024-03-05T07:08:09+00:00")


@pytest.mark.parametrize("document, line, code, fragment", DOC_BLOCKS,
                         ids=[f"{document}:{line}" for document, line, _, _ in DOC_BLOCKS])
def test_python_block_of_the_documents_runs(document, line, code, fragment, tmp_path):
    if fragment:
        pytest.skip(f"{document}, block at line {line}, is a fragment: {fragment}")
    script = tmp_path / "block.py"
    script.write_text(code, encoding="utf-8")
    try:
        done = run_script(script)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{document}, block at line {line}: still running after {TIME_LIMIT} s")
    if done.returncode != 0:
        error = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        pytest.fail(f"{document}, block at line {line}: {error[0]}\n{done.stderr}")


def test_demo_anchors_the_merkle_root_of_its_batch():
    done = run_script(ROOT / "tools" / "demo.py")
    assert done.returncode == 0, done.stdout + done.stderr
    # Leaves: SHA-256 of the signing bytes ["e1","h1","h2"], ["e2",...], ["e3",...]; the first
    # two are paired, the third carried up: SHA-256(SHA-256(l1 + l2) + l3).
    assert "anchored root f783174c445b89d2... as mock://f783174c: confirmed=True" in done.stdout


def classify_rows():
    """(when, pair class) of each row of the table under "## classify_exchange"."""
    api = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    section = api.split("\n## classify_exchange\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r'^\| \d+ \| (.*?) \| `"(\w+)"` \|$', section, re.M)


def test_the_classify_table_of_the_api_reference_holds():
    rows = classify_rows()
    assert len(rows) == 14
    for when, pair_class in rows:
        names = re.findall(r"`([^`]+)`", when)
        if when.startswith("the counterparty contains"):
            # Anywhere in the text, in any ASCII case, and before any hint.
            cases = [("dns", f"https://API.{names[0].upper()}:443/v1")]
        elif when.startswith("the hint is"):
            cases = [(name.upper(), "peer.example") for name in names]
        else:
            cases = [("", ""), ("udp", "peer.example"), ("dns ", "")]
        for hint, counterparty in cases:
            assert classify_exchange(hint, counterparty) == pair_class, (hint, counterparty)


ADDRESS = {"class": "body", "type": "peer", "ref": "abc"}
# Each record with every field present, as to_dict gives it.
FULL_RECORDS = {
    "SignedEnvelope": (SignedEnvelope, {
        "exchange_id": "e1", "peer_self": ADDRESS, "peer_counterparty": ADDRESS,
        "direction": "inbound", "request_hash": "h1", "response_hash": "h2",
        "counterparty_signature": "cs", "our_signature": "s1",
        "opened_at": "2024-03-05T07:08:09.500Z", "closed_at": "2024-03-05T07:08:10Z",
        "protocol_hint": "tcp", "counterparty_identifier": "peer.example"}),
    "PeerIdentityDescriptor": (PeerIdentityDescriptor, {
        "fingerprint": "f", "public_key_b64": "k", "surface": "threshold",
        "attestation": {"certs_b64": ["c1"], "vendor": "acme"},
        "created_at": "2026-04-15T00:00:00Z", "superseded_by": ADDRESS}),
    "AnchorReceipt": (AnchorReceipt, {
        "anchor_id": "a", "anchor_kind": "local", "merkle_root_hex": "00" * 32,
        "submission_ref": "mock://00000000", "submitted_at": "t1",
        "expected_finality_at": "t2", "proof_b64": "p"}),
    "AnchorProof": (AnchorProof, {
        "anchor_id": "a", "anchor_kind": "local", "merkle_root_hex": "00" * 32,
        "confirmed": True, "authoritative_time": "t1", "detail": "mock"}),
}


def array_orders():
    """(class, element count, fields) of each array order listed under "Reading JSON"."""
    api = (ROOT / "docs" / "api.md").read_text(encoding="utf-8").replace("\n    ", " ")
    return [(name, int(count), re.findall(r"`(\w+)`", fields)) for name, count, fields in
            re.findall(r"^  - `(\w+)`, (\d+): ((?:`\w+`, )*`\w+`)", api, re.M)]


def test_the_array_orders_of_the_api_reference_parse():
    orders = array_orders()
    assert sorted(name for name, _, _ in orders) == sorted(FULL_RECORDS)
    for name, count, fields in orders:
        cls, full = FULL_RECORDS[name]
        record = cls.from_dict(full)
        assert (len(fields), list(record.to_dict())) == (count, fields), name
        assert cls.from_json(json.dumps([full[field] for field in fields])) == record, name
