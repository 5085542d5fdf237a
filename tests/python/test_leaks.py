"""Runs leakcheck.py in a child process: every entry point in a loop, resident memory bounded.

A child process gives the check an interpreter of its own, whose memory no other test has
touched. Its figures go to this test's output (pytest -s, or on failure).
"""
import os
import pathlib
import subprocess
import sys

import pytest

import qiv_protocol

LEAKCHECK = pathlib.Path(__file__).with_name("leakcheck.py")

pytestmark = pytest.mark.skipif(
    os.environ.get("QIV_SANITIZED") == "1",
    reason="sanitized build: resident memory is ASan's (quarantine, shadow); LSan checks leaks there",
)


def test_no_entry_point_leaks():
    paths = [os.path.dirname(qiv_protocol.__file__)]
    try:
        import _qiv_testkit
        paths.append(os.path.dirname(_qiv_testkit.__file__))
    except ImportError:
        pass
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    # A generous limit only against a hang: the check takes seconds.
    done = subprocess.run([sys.executable, str(LEAKCHECK)], env=env, capture_output=True,
                          text=True, timeout=900)
    print(done.stdout, done.stderr)
    assert done.returncode == 0, done.stdout + done.stderr


def test_leakcheck_catches_a_leak_of_a_hundred_bytes_a_round():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(qiv_protocol.__file__), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    done = subprocess.run([sys.executable, str(LEAKCHECK), "--scale", "0.5", "--inject-leak", "64"],
                          env=env, capture_output=True, text=True, timeout=900)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "LEAK" in done.stdout
