"""The demo site as the tests run it: its own .ini, on free loopback ports."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

from pyramid.paster import get_appsettings

from idp import free_port
from tavrel.demo.app import main
from tavrel.demo.idp_site import BuiltInIdP
from tavrel.demo.server import ServerThread

DEMO_INI = Path(__file__).resolve().parent.parent / "host" / "demo.ini"


@dataclass
class Demo:
    app: Any
    url: str  # where the site is reached
    idp: BuiltInIdP

    def stop(self) -> None:
        self.idp.stop()


def start_demo(**overrides: str) -> Demo:
    """The app of host/demo.ini, its built-in IdP serving; `overrides` are
    .ini settings. Stop it with `stop()`."""
    settings = dict(get_appsettings(str(DEMO_INI)))
    url = f"http://127.0.0.1:{free_port()}"
    settings.update({"tavrel.site_url": url, "demo.idp_url": f"http://127.0.0.1:{free_port()}", **overrides})
    app = main({}, **settings)
    return Demo(app, url, app.registry["demo.idp"])


def serve(demo: Demo) -> ServerThread:
    """Serves the site with waitress at its address."""
    return ServerThread(demo.app, int(demo.url.rsplit(":", 1)[1]), name="demo-site").start()
