"""The README's host, as written: its code blocks, and nothing else on the
path as the package `tavrel`, make a site that signs in with the test IdP,
refuses a replay and an unknown user and logs why, serves SP metadata, signs
out, and keeps the browser on the site whatever the RelayState."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FILE_BLOCK = re.compile(r"^File `([\w/]+\.py)`:\n\n```python\n(.*?)^```$", re.S | re.M)
SITE = "https://site.example"

# Runs in a fresh interpreter whose `tavrel` is the README's: the module
# imports its UserConfig.
DRIVER = r'''
import json, logging, re, sys
from pyramid.request import Request

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.name, record.getMessage().partition("\n")[0]])
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.INFO)

from tavrel.app import make_app
from tavrel.sso import memcache_tracker

args = json.loads(sys.argv[1])
port = args["memcached_port"]
tracker = memcache_tracker("127.0.0.1", port, "readme-site") if port else None
app = make_app(args["auth_settings"], args["users"], "a long random secret", tracker)
cookies, seen = {}, {}

def visit(step, path, POST=None, **headers):
    request = Request.blank(path, base_url=args["site"], POST=POST, headers=headers)
    request.host = args["site"].partition("//")[2]  # as browsers send it, without :443
    if cookies:
        request.headers["Cookie"] = "; ".join(f"{k}={v}" for k, v in cookies.items())
    response = request.get_response(app)
    for header in response.headers.getall("Set-Cookie"):
        name, _, rest = header.partition("=")
        cookies[name] = rest.split(";")[0]
    seen[step] = [response.status_int, response.headers.get("Location"), response.text]
    return response

def acs(step, response, relay_state):
    return visit(step, "/sso/saml/acs/corp", POST={"SAMLResponse": response, "RelayState": relay_state})

visit("home", "/")
visit("login", "/sso/saml/login/corp?next=/account")
visit("broken login", "/sso/saml/login/broken")
acs("sign in", args["responses"]["alice"], "/account")
visit("signed in", "/")
acs("replay", args["responses"]["alice"], "/account")
acs("unknown user", args["responses"]["carol"], "/")
acs("not xml", "bm90IHhtbA==", "/")
acs("off-site relay state", args["responses"]["bob"], "//evil.example/x")
visit("metadata", "/sso/saml/metadata/corp")
home = visit("signed in again", "/")
token = re.search("name='csrf_token' value='([^']+)'|$", home.text).group(1)
visit("forged sign out", "/sign-out", POST={"csrf_token": "forged"}, Origin=args["site"])
visit("sign out", "/sign-out", POST={"csrf_token": token}, Origin=args["site"])
visit("signed out", "/")
print(json.dumps({"seen": seen, "log": records}))
'''


def host_files():
    return dict(FILE_BLOCK.findall(README.read_text()))


@pytest.mark.parametrize("tracker", ["memory", "memcache"])
def test_the_readme_host_signs_in(request, tmp_path, idp, tracker):
    files = host_files()
    assert sorted(files) == ["tavrel/__init__.py", "tavrel/app.py", "tavrel/configs.py", "tavrel/sso.py"]
    for name, code in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(code)
    port = request.getfixturevalue("memcached").port if tracker == "memcache" else None

    def settings(idp_id, **idp):
        sp = idp.pop("sp")
        sp["entityId"], sp["assertionConsumerService"]["url"] = (
            f"{SITE}/sso/saml/metadata/{idp_id}", f"{SITE}/sso/saml/acs/{idp_id}")
        return {"enabled": True, "idp_name": idp_id, "saml_auth_attribute": "mail",
                "user_config_attribute": "email", "settings": {**idp, "sp": sp}}

    corp = settings("corp", **idp.sp_settings(sp_base=SITE))
    broken = settings("broken", **idp.sp_settings(sp_base=SITE))
    del broken["settings"]["idp"]["x509cert"]
    issue = lambda mail: idp.response(acs_url=f"{SITE}/sso/saml/acs/corp", name_id=mail,  # noqa: E731
                                      sp_entity_id=f"{SITE}/sso/saml/metadata/corp", attributes={"mail": mail}).b64
    args = {"site": SITE, "memcached_port": port,
            "auth_settings": {"authentication_policies": {"saml": {
                "enabled": True, "identity_providers": {"corp": corp, "broken": broken}}}},
            "users": {"alice": {"email": "alice@example.com"}, "bob": {"email": "bob@example.com"}},
            "responses": {name: issue(f"{name}@example.{tld}")
                          for name, tld in [("alice", "com"), ("bob", "com"), ("carol", "org")]}}
    # Only the README's `tavrel`: the stand-in host's is left off the path.
    path = [entry for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep)
            if entry and not (Path(entry) / "tavrel").is_dir()]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path)}
    run = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(args)], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout.splitlines()[-1])
    seen, log = outcome["seen"], [tuple(line) for line in outcome["log"]]

    refused = "We could not sign you in. Please try again from the home page; " \
              "if it keeps failing, contact this site's support."
    assert "Sign in with corp" in seen["home"][2] and "broken" not in seen["home"][2]
    assert seen["login"][0] == 302 and seen["login"][1].startswith(idp.sso_url + "?SAMLRequest=")
    assert seen["broken login"][:2] == [400, None]
    assert seen["sign in"][:2] == [302, SITE + "/account"]
    assert "Signed in as alice." in seen["signed in"][2] and "Signed in as bob." in seen["signed in again"][2]
    assert seen["replay"] == seen["unknown user"] == seen["not xml"] == [403, None, refused]
    assert seen["off-site relay state"][:2] == [302, SITE + "//evil.example/x"]
    assert seen["metadata"][0] == 200 and f'entityID="{SITE}/sso/saml/metadata/corp"' in seen["metadata"][2]
    assert seen["forged sign out"][0] == 400
    assert seen["sign out"][:2] == [303, SITE + "/"] and "Sign in with corp" in seen["signed out"][2]

    assert ("WARNING", "tavrel", "SAML IdP broken disabled: "
            "Invalid dict settings: idp_cert_or_fingerprint_not_found_and_required") in log
    assert [line for line in log if line[1] == "tavrel.sso"] == [
        ("WARNING", "tavrel.sso", "SAML sign-in refused: idp=broken subject=None "
                                  'reason=Identity provider "broken" is disabled'),
        ("WARNING", "tavrel.sso", "SAML sign-in refused: idp=corp subject='alice@example.com' "
                                  "reason=Duplicated SAML response"),
        ("WARNING", "tavrel.sso", "SAML sign-in refused: idp=corp subject='carol@example.org' "
                                  "reason=User not found for the SAML response."),
        ("WARNING", "tavrel.sso", "SAML sign-in refused: idp=corp subject=None "
                                  "reason=The SAML response could not be read."),
    ]
