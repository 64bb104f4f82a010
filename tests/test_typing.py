"""The module's type stub matches the compiled module, and mypy in strict
mode accepts the demo host through it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run(tmp_path, *command):
    """A mypy command run by this interpreter, on the host package's path."""
    env = {**os.environ, "PYTHONPATH": str(ROOT / "host"), "MYPY_CACHE_DIR": str(tmp_path / "mypy-cache")}
    done = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    return done.returncode, done.stdout + done.stderr


@pytest.mark.long
def test_stub_matches_the_compiled_module(tmp_path):
    code, output = run(tmp_path, "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), "tavrel_saml.saml")
    assert code == 0, output


@pytest.mark.long
def test_strict_mypy_accepts_the_demo_host_and_sees_the_modules_types(tmp_path):
    # Misuses that only a precise stub catches: had mypy not found it, every
    # name of the module would be Any and these lines would pass.
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from tavrel_saml import saml\n"
        "def f(config: dict[str, object], request: object) -> int:\n"
        "    saml.responses_tracker_mem.add('id', 'tomorrow')\n"
        "    return saml.SamlIDPConfig.generate_login_url(config, request, '/')\n")
    code, output = run(tmp_path, "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
                       str(ROOT / "host" / "tavrel" / "demo"), "misuse.py")
    errors = sorted(line.split(": error: ") for line in output.splitlines() if ": error: " in line)
    assert errors == [
        ["misuse.py:3", 'Argument 2 to "add" of "SamlDuplicateResponsesTrackerInMemory" has incompatible type "str"; '
                        'expected "float"  [arg-type]'],
        ["misuse.py:4", 'Argument 2 to "generate_login_url" of "SamlIDPConfig" has incompatible type "object"; '
                        'expected "_Request"  [arg-type]'],
        ["misuse.py:4", 'Incompatible return value type (got "str", expected "int")  [return-value]'],
    ], output
