"""What users get from the package's metadata, and what the project's venv
installs: the pinned versions stay inside the published ranges, the ranges
keep users out of the lxml/xmlsec pairs that fail, and a host-less import
says what the host must provide."""

from __future__ import annotations

import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())


def venv_requirements() -> list[Requirement]:
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "requirements"), "test", "bench", "release", "fuzz"],
                          capture_output=True, text=True, check=True)
    return [Requirement(line) for line in done.stdout.split()]


def pins() -> dict[str, str]:
    lines = (line.split("#")[0].strip() for line in (ROOT / "constraints.txt").read_text().splitlines())
    return {name.lower().replace("_", "-"): version for name, version in (line.split("==") for line in lines if line)}


def test_every_installed_requirement_is_pinned_inside_its_range():
    pinned = pins()
    for requirement in venv_requirements():
        version = pinned.get(requirement.name.lower().replace("_", "-"))
        assert version, f"{requirement.name} is installed but not pinned in constraints.txt"
        assert requirement.specifier.contains(version), f"pin {requirement.name}=={version} outside {requirement}"


# Measured: xmlsec 1.3.17 and 1.3.18 wheels fail at import beside lxml 5.2.2 to
# 5.4.0; every xmlsec 1.3.16 to 1.3.18 works with lxml 6.0.0 to 6.2.1.
@pytest.mark.parametrize("lxml, xmlsec, works", [
    ("5.4.0", "1.3.18", False), ("5.2.2", "1.3.17", False),
    ("6.0.0", "1.3.16", True), ("6.2.1", "1.3.18", True)])
def test_dependency_ranges_admit_only_pairs_that_import_together(lxml, xmlsec, works):
    ranges = {r.name: r.specifier for r in map(Requirement, PROJECT["project"]["dependencies"])}
    assert (ranges["lxml"].contains(lxml) and ranges["xmlsec"].contains(xmlsec)) == works


@pytest.mark.parametrize("blocked, kinds, message", [
    (None, "ModuleNotFoundError tavrel ModuleNotFoundError tavrel",
     "must provide tavrel.configs.UserConfig: No module named 'tavrel'"),
    # Another missing dependency keeps its own error: the host is not to blame.
    ("onelogin", "ModuleNotFoundError onelogin.saml2 NoneType None", "No module named 'onelogin.saml2'"),
])
def test_an_import_without_a_dependency_names_what_is_missing(blocked, kinds, message):
    code = (f"import sys; sys.modules[{blocked!r}] = None\n" if blocked else "") + (
            "try:\n from tavrel_saml import saml\n"
            "except ImportError as e:\n"
            " print(type(e).__name__, e.name, type(e.__cause__).__name__, e.__cause__ and e.__cause__.name)\n"
            " print(e)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env={"PYTHONPATH": str(ROOT / "host") if blocked else "", "PYTHONWARNINGS": "ignore"})
    assert done.stdout.splitlines()[0] == kinds
    assert message in done.stdout.splitlines()[1]
