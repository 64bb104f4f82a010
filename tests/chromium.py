"""Chromium for the browser tests, installed by the suite only when a browser
test is selected, and in the background: the download and unpacking overlap
the tests that run first, and the browser fixtures wait for it.

Every pytest-xdist worker runs this; a lock file lets one of them start the
install while the others find it held. The install holds the lock until it
ends, so waiting for the lock is waiting for the install."""

from __future__ import annotations

import fcntl
import os
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CHROMIUM = "/usr/bin/chromium"
LOCK = Path(tempfile.gettempdir()) / "tavrel-saml-chromium-install.lock"
LOG = ROOT / "test-output" / "chromium-install.log"
INSTALL = [str(ROOT / "scripts" / "install-system-deps"), "browser"]
# Tests that use one of these fixtures drive the browser.
BROWSER_FIXTURES = frozenset({"browser", "browser_reads"})

_install: subprocess.Popen | None = None


def installed() -> bool:
    return os.access(CHROMIUM, os.X_OK)


def start_install() -> None:
    """Starts `scripts/install-system-deps browser` unless chromium is there
    or another worker is installing it already."""
    global _install
    if installed() or _install is not None:
        return
    fd = os.open(LOCK, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return  # another worker is installing it
        if installed():  # it finished between our check and the lock
            return
        LOG.parent.mkdir(parents=True, exist_ok=True)
        # Not under the sanitizer runtime the asan pass preloads.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        with open(LOG, "wb") as log:
            # The child inherits the locked file and keeps the lock until it exits.
            _install = subprocess.Popen(INSTALL, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT, pass_fds=(fd,))
    finally:
        os.close(fd)


def ready() -> bool:
    """Waits for an install under way (in this worker or another) and says
    whether chromium is there."""
    if _install is not None:
        _install.wait()
    if not installed():
        fd = os.open(LOCK, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
        finally:
            os.close(fd)  # closing releases it
    return installed()


def missing_reason() -> str:
    reason = f"no chromium at {CHROMIUM} (Debian package chromium)"
    if LOG.exists() and LOG.stat().st_size:
        reason += f"; the install failed: {LOG.read_text(errors='replace').strip().splitlines()[-1]}"
    return reason
