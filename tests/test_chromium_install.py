"""The suite's own chromium install across pytest-xdist workers: while one
worker's install runs, the others start none of their own (two apt runs at
once fail on the dpkg lock) and wait for it; a failed install reads as a
missing browser, with the installer's last words."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

# A worker: asks for the install, says so, and waits for the test's word
# before waiting for the browser.
WORKER = """
import sys
from pathlib import Path
import chromium
chromium.CHROMIUM, chromium.LOCK, chromium.LOG = sys.argv[1], sys.argv[2], Path(sys.argv[3])
chromium.INSTALL = sys.argv[4:]
chromium.start_install()
print("asked", flush=True)
sys.stdin.readline()
print(chromium.ready(), chromium.missing_reason(), sep="|", flush=True)
"""


@pytest.mark.parametrize("succeeds", [True, False])
def test_workers_share_one_install(tmp_path, succeeds):
    browser, runs, go = tmp_path / "chromium", tmp_path / "runs", tmp_path / "go"
    # The stand-in installer counts its runs and holds on until every worker has asked.
    ending = f"touch {browser}; chmod +x {browser}" if succeeds else "echo 'not root: install chromium'; exit 1"
    installer = ["sh", "-c", f"echo run >> {runs}; until [ -e {go} ]; do sleep 0.02; done; {ending}"]
    args = [str(browser), str(tmp_path / "lock"), str(tmp_path / "install.log"), *installer]
    env = {**os.environ, "PYTHONPATH": str(TESTS)}
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, *args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=env) for _ in range(3)]
    try:
        assert [w.stdout.readline().strip() for w in workers] == ["asked"] * 3
        go.touch()
        answers = [w.communicate("\n", timeout=60)[0].strip().split("|") for w in workers]
    finally:
        for w in workers:
            w.kill()
    assert runs.read_text() == "run\n"
    assert [ready for ready, _ in answers] == [str(succeeds)] * 3
    if not succeeds:
        assert all(reason.endswith("the install failed: not root: install chromium") for _, reason in answers)
