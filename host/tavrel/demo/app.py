"""The demo site's application factory and its pages.

Configured by an .ini file (see host/demo.ini): the auth settings with their
identity providers, the users, and optionally a memcached address for the
replay record.
"""

from __future__ import annotations

import json
import logging
import secrets
import time
from collections.abc import Mapping
from html import escape
from typing import Any

from pyramid.authentication import SessionAuthenticationHelper
from pyramid.config import Configurator
from pyramid.httpexceptions import HTTPSeeOther
from pyramid.request import Request
from pyramid.response import Response
from pyramid.security import Allowed, forget
from pyramid.session import SignedCookieSessionFactory

from tavrel.configs import UserConfig
from tavrel_saml import saml

from .idp_site import BuiltInIdP
from .pages import hidden, page
from .sso import SsoSetup, include_sso, make_tracker, sso_setup

log = logging.getLogger("tavrel.demo")


class SessionSecurityPolicy:
    """The signed-in user is the user id the ACS remembered in the session."""

    def __init__(self) -> None:
        self.helper = SessionAuthenticationHelper()

    def identity(self, request: Request) -> str | None:
        user_id: str | None = self.helper.authenticated_userid(request)
        return user_id

    def authenticated_userid(self, request: Request) -> str | None:
        return self.identity(request)

    def permits(self, request: Request, context: Any, permission: str) -> Any:
        return Allowed("every page of the demo is public")

    def remember(self, request: Request, userid: str, **kw: Any) -> list[tuple[str, str]]:
        headers: list[tuple[str, str]] = self.helper.remember(request, userid, **kw)
        return headers

    def forget(self, request: Request, **kw: Any) -> list[tuple[str, str]]:
        headers: list[tuple[str, str]] = self.helper.forget(request, **kw)
        return headers


def main(global_config: Mapping[str, str], **settings: str) -> Any:
    """The WSGI application; starts the built-in IdP first, since the valid
    IdP's metadata is fetched from it when the settings are validated."""
    site_url = settings["tavrel.site_url"].rstrip("/")
    idp = BuiltInIdP(settings["demo.idp_url"], json.loads(settings["demo.idp_people"]))
    idp.start()
    log.info("built-in IdP at %s", idp.base_url)
    auth_settings = json.loads(
        settings["tavrel.auth_settings"].replace("{site}", site_url).replace("{idp}", idp.base_url))
    # Invalid IdPs come out with "enabled": False and their reason in the log.
    saml.validate_saml_settings(auth_settings, timeout=5)
    users = {user_id: UserConfig(**attributes)
             for user_id, attributes in json.loads(settings["tavrel.users"]).items()}
    memcached = settings.get("tavrel.memcached", "").strip()
    setup = SsoSetup(saml.SamlAuthLoader(auth_settings), users, make_tracker(memcached))
    log.info("replay record: %s", f"memcached at {memcached}" if memcached else "in this process")

    config = Configurator(settings=settings)
    # Without a configured secret, sessions last as long as the process.
    secret = settings.get("tavrel.session_secret", "").strip() or secrets.token_hex(32)
    config.set_session_factory(SignedCookieSessionFactory(secret, httponly=True, samesite="Lax"))
    config.set_security_policy(SessionSecurityPolicy())
    include_sso(config, setup)
    config.add_route("home", "/")
    config.add_route("account", "/account")
    config.add_route("sign_out", "/sign-out")
    config.add_route("status", "/status")
    config.add_view(home, route_name="home")
    config.add_view(status, route_name="status")
    config.add_view(account, route_name="account")
    config.add_view(sign_out, route_name="sign_out", request_method="POST", require_csrf=True)
    app = config.make_wsgi_app()
    app.registry["demo.idp"] = idp
    return app


def sign_in_buttons(request: Request, next_url: str) -> str:
    """A "Sign in with …" button for each IdP left enabled by validation."""
    forms = []
    for idp_id, idp_config in sso_setup(request).loader.idp_configs.items():
        if not idp_config["enabled"]:
            continue
        label = idp_config.get("label", idp_id)
        forms.append(f'<form method="get" action="/sso/saml/login/{escape(str(idp_id))}">'
                     f'{hidden("next", next_url)}<button>Sign in with {escape(str(label))}</button></form>')
    return "\n".join(forms) or "<p>No identity provider is enabled.</p>"


def signed_in_as(request: Request) -> str:
    user_id = request.authenticated_userid
    if user_id is None:
        return "<p>Not signed in.</p>"
    user = sso_setup(request).users.get(user_id)
    name = getattr(user, "name", user_id)
    return (f'<p id="who">Signed in as <strong>{escape(str(name))}</strong> (user id <code>{escape(user_id)}</code>)'
            f'</p><form method="post" action="/sign-out">{hidden("csrf_token", request.session.get_csrf_token())}'
            f"<button>Sign out</button></form>")


def home(request: Request) -> Response:
    setup = sso_setup(request)
    rows = []
    for idp_id, idp_config in setup.loader.idp_configs.items():
        state = "enabled" if idp_config.get("enabled") else "disabled at start-up: invalid configuration (see the log)"
        rows.append(f"<li><code>{escape(str(idp_id))}</code>: {escape(state)}</li>")
    body = signed_in_as(request)
    if request.authenticated_userid is None:
        body += sign_in_buttons(request, "/")
    idp_page = request.registry["demo.idp"].base_url + "/idp/"
    body += ('<p><a href="/account?tab=profile">Your account</a> (signing in from there comes back to it)</p>'
             f"<h2>Identity providers</h2><ul>{''.join(rows)}</ul>"
             '<p><a href="/status">Metadata status</a>: what each IdP is trusted with.</p>'
             f'<p>The built-in test IdP <a href="{escape(idp_page)}">rolls its signing key</a> on request.</p>')
    return Response(page("Home", body))


def _when(unix_time: float | None, unset: str = "never") -> str:
    if unix_time is None:
        return unset
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(unix_time))


def status(request: Request) -> Response:
    """What each configured IdP is trusted with, from the module's status report."""
    sections = []
    for idp_id, idp_config in sso_setup(request).loader.idp_configs.items():
        report = saml.SamlIDPConfig.get_idp_status(idp_config)
        certificates = "".join(
            f"<li>{escape(cert['use'])}: {escape(cert['subject'])}, until {escape(_when(cert['not_after']))}"
            f"<br><code>{escape(cert['sha256'])}</code></li>" for cert in report["certificates"])
        facts = [("metadata location", report["metadata_location"] or "none (local settings)"),
                 ("source", report["source"]), ("signature", report["signature"]),
                 ("fetched", _when(report["fetched_at"])), ("next refresh", _when(report["next_refresh_at"])),
                 ("valid until", _when(report["valid_until"], "not set")), ("last error", report["last_error"] or "none")]
        rows = "".join(f"<tr><th>{escape(name)}</th><td>{escape(value)}</td></tr>" for name, value in facts)
        sections.append(f'<section class="idp" id="idp-{escape(str(idp_id))}">'
                        f"<h2><code>{escape(str(idp_id))}</code> ({escape(str(report['idp_name']))})</h2>"
                        f"<table>{rows}</table><p>Certificates:</p><ul>{certificates or '<li>none</li>'}</ul>"
                        "</section>")
    body = "".join(sections) + '<p><a href="/">Home</a></p>'
    return Response(page("Metadata status", body))


def account(request: Request) -> Response:
    user_id = request.authenticated_userid
    user = None if user_id is None else sso_setup(request).users.get(user_id)
    if user is None:
        body = "<p>Sign in to see your account.</p>" + sign_in_buttons(request, request.path_qs)
        return Response(page("Your account", body))
    fields = "".join(f"<li>{escape(key)}: <code>{escape(str(value))}</code></li>"
                     for key, value in sorted(vars(user).items()))
    body = signed_in_as(request) + f"<ul>{fields}</ul><p><a href=\"/\">Home</a></p>"
    return Response(page("Your account", body))


def sign_out(request: Request) -> Response:
    request.session.invalidate()
    return HTTPSeeOther(location="/", headers=forget(request))

