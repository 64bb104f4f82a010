"""The release as users get it (`make test-release`, after `make dist`): the
repaired wheel installed into a clean venv whose PATH holds no compiler, and
the sdist built and installed into another. Each venv then signs a user in
through the module it got, beside the stand-in host, with a response signed
by the test IdP, and refuses the same response posted again.

The venvs get the dependencies from the package index (or pip's cache) at the
versions of constraints.txt, binary wheels only."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

from conftest import ACS_PATH, ACS_URL, SP_BASE, SP_ENTITY_ID, SP_HOST

pytestmark = pytest.mark.release

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / os.environ.get("TAVREL_SAML_DIST", "dist")
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
COMPILERS = ("cc", "gcc", "c++", "g++", "clang", "clang++")

# Runs in the clean venv, from outside the source tree: the module must come
# from the venv, the host from host/ only.
SIGN_ON = """
import json, sys, types
import importlib.metadata, tavrel_saml
from tavrel_saml import saml
from tavrel.configs import UserConfig

assert saml.__file__.startswith(sys.prefix), saml.__file__
case = json.loads(sys.argv[1])
auth = {"authentication_policies": {"saml": {"enabled": True, "identity_providers": {"test-idp": case["idp"]}}}}
saml.validate_saml_settings(auth, timeout=5)
assert case["idp"]["enabled"] is True, "validation disabled the IdP"
idp_config = saml.SamlAuthLoader(auth).load_by_id("test-idp")
users = {"alice": UserConfig(email="alice@example.com")}

def post():
    request = types.SimpleNamespace(headers={}, scheme="https", host=case["host"], script_name="",
                                    path=case["acs_path"], GET={}, POST={"SAMLResponse": case["response"]})
    sso = saml.SamlIDPConfig(idp_config, request, users, saml.responses_tracker_mem)
    sso.process_saml_response()
    return sso.get_user_id()

signed_in = post()
try:
    post()
    replay = "accepted"
except ValueError as error:
    replay = str(error)
print(json.dumps({"version": importlib.metadata.version("tavrel_saml"), "package": tavrel_saml.__version__,
                  "user": signed_in, "replay": replay}))
"""


def artifact(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    if len(found) != 1:
        pytest.fail(f"want one {pattern} in {DIST}, found {[p.name for p in found]}: make dist makes them")
    return found[0]


def clean_venv(where: Path) -> Path:
    """A venv of the interpreter the project's venv was made with, with
    nothing of the project's in it."""
    subprocess.run([sys._base_executable, "-m", "venv", str(where)], check=True, capture_output=True)
    return where / "bin" / "python"


def run(python: Path, *args: str, path: str, timeout: float = 900) -> subprocess.CompletedProcess:
    env = {"PATH": path, "HOME": os.environ.get("HOME", "/root"), "PIP_DISABLE_PIP_VERSION_CHECK": "1",
           "PIP_CONSTRAINT": str(ROOT / "constraints.txt"), "PYTHONWARNINGS": "ignore"}
    for passed in ("PIP_CACHE_DIR", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL", "PIP_FIND_LINKS"):
        if passed in os.environ:
            env[passed] = os.environ[passed]
    done = subprocess.run([str(python), *args], env=env, cwd=python.parent, capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, f"{' '.join(args[:3])}...\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return done


def sign_on(python: Path, idp, issue, path: str) -> dict:
    idp_config = {"enabled": True, "idp_name": "test-idp", "saml_auth_attribute": "mail",
                  "user_config_attribute": "email", "settings": idp.sp_settings(sp_base=SP_BASE, acs_path=ACS_PATH)}
    case = {"idp": idp_config, "host": SP_HOST, "acs_path": ACS_PATH,
            "response": issue(attributes={"mail": ["alice@example.com"]}).b64}
    done = run(python, "-c", f"import sys; sys.path.insert(0, {str(ROOT / 'host')!r})\n" + SIGN_ON,
               json.dumps(case), path=path, timeout=120)
    return json.loads(done.stdout.splitlines()[-1])


def test_repaired_wheel_installs_and_signs_on_without_a_compiler(tmp_path, idp, issue):
    wheel = artifact("*.whl")
    assert "manylinux" in wheel.name and f"-{VERSION}-" in wheel.name
    python = clean_venv(tmp_path / "venv")
    path = str(python.parent)  # the venv's own bin: python and pip, nothing to compile with
    assert [c for c in COMPILERS if shutil.which(c, path=path)] == []
    run(python, "-m", "pip", "install", "--only-binary", ":all:", str(wheel), path=path)
    outcome = sign_on(python, idp, issue, path)
    assert outcome == {"version": VERSION, "package": VERSION, "user": "alice",
                       "replay": outcome["replay"]} and outcome["replay"] != "accepted"


def test_sdist_builds_and_installs_into_a_clean_venv(tmp_path, idp, issue):
    sdist = artifact("*.tar.gz")
    assert sdist.name == f"tavrel_saml-{VERSION}.tar.gz"
    python = clean_venv(tmp_path / "venv")
    path = os.pathsep.join([str(python.parent), os.environ["PATH"]])
    # The build requirements come into pip's isolated build environment, as
    # for any user; only lxml and xmlsec must be the binary wheels.
    run(python, "-m", "pip", "install", "--only-binary", "lxml,xmlsec", str(sdist), path=path)
    outcome = sign_on(python, idp, issue, path)
    assert outcome == {"version": VERSION, "package": VERSION, "user": "alice",
                       "replay": outcome["replay"]} and outcome["replay"] != "accepted"
