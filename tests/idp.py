"""A throwaway identity provider for the test suite.

The keys, metadata and signed responses come from the demo host's IdP
(`tavrel.demo.idp`), so the demo and the suite issue the same responses;
this adds the loopback server the metadata tests fetch from, with its slow
and broken answers.
"""

from __future__ import annotations

import os
import random
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from tavrel.demo.idp import (  # noqa: F401  (re-exported for the tests)
    BINDING_POST,
    BINDING_REDIRECT,
    NAMEID_EMAIL,
    NS_DS,
    NS_MD,
    NS_SAML,
    NS_SAMLP,
    STATUS_SUCCESS,
    IdentityProvider,
    IssuedResponse,
    sign_metadata,
)


class TestIdentityProvider(IdentityProvider):
    __test__ = False  # a helper, not a test class


# Ports for the suite's own servers come from below the kernel's ephemeral
# range: a port handed out there (by bind to port 0, or as the source port of
# one of the suite's many client connections) can be taken between our check
# and the server's bind, and some servers here are started, stopped and started
# again on one port. Each pytest-xdist worker draws from its own slice, so the
# workers of one run never pick the same port; a port in use by anyone else is
# seen by the check and passed over.
PORTS = range(20000, 32000)
_handed_out: set[int] = set()
# Not the shared `random`: a test that seeds it would have every run on the
# machine draw the same ports.
_draw = random.SystemRandom()


def _own_ports() -> range:
    workers = max(1, int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1")))
    index = int(os.environ.get("PYTEST_XDIST_WORKER", "gw0").removeprefix("gw") or 0) % workers
    width = len(PORTS) // workers
    return range(PORTS.start + index * width, PORTS.start + (index + 1) * width)


def free_port() -> int:
    """A loopback port nobody listens on, not handed out before by this process."""
    own = _own_ports()
    for _ in range(200):
        port = _draw.choice(own)
        if port in _handed_out:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        _handed_out.add(port)
        return port
    raise RuntimeError(f"no free loopback port in {own.start}-{own.stop - 1}")


class MetadataServer:
    """Serves an IdP's metadata on loopback for the duration of a `with` block.

    `idp` is read on every request, so a test can swap it to simulate the
    IdP rotating its key. `hits` counts requests per path so a test can
    prove that cached metadata was not fetched again. `metadata_answer`
    makes /metadata.xml answer as /broken.xml or /slow.xml do, so that an
    IdP already fetched from can start failing.
    """

    def __init__(self, idp: TestIdentityProvider, slow_seconds: float = 3):
        self.idp = idp
        self.slow_seconds = slow_seconds
        self.hits: dict[str, int] = {}
        self.metadata_answer = "metadata"  # or "broken", "slow"
        # Served at /metadata.xml instead of the IdP's own metadata when set
        # (a document a test has tampered with).
        self.document: str | bytes | None = None
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._httpd = None
        self._thread = None
        self.base_url = None

    def hit_count(self, path: str) -> int:
        with self._lock:
            return self.hits.get(path, 0)

    def _handler(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _send(self, code, body, ctype="application/samlmetadata+xml"):
                data = body if isinstance(body, bytes) else body.encode("utf-8")
                self.send_response(code)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                path = self.path.split("?", 1)[0]
                with server._lock:
                    server.hits[path] = server.hits.get(path, 0) + 1
                answer = {"/metadata.xml": server.metadata_answer, "/broken.xml": "broken",
                          "/slow.xml": "slow"}.get(path)
                try:
                    if answer == "metadata" and server.document is not None:
                        self._send(200, server.document)
                    elif answer == "metadata":
                        self._send(200, server.idp.metadata_xml())
                    elif answer == "broken":
                        self._send(200, '<md:EntityDescriptor xmlns:md="' + NS_MD + '"><md:IDPSSODescriptor>')
                    elif answer == "slow":
                        # Returns at once when the server stops, so teardown never waits on a sleeper.
                        if not server._stopping.wait(server.slow_seconds):
                            self._send(200, server.idp.metadata_xml())
                    else:
                        self._send(404, "not found", "text/plain")
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client under test gave up (timeout); that is expected

        return Handler

    def __enter__(self) -> "MetadataServer":
        self._stopping.clear()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self.base_url = f"http://127.0.0.1:{self._httpd.server_address[1]}"
        # A short poll: shutdown() waits for it, once per test.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,), name="metadata-server",
                                        daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        if self._httpd is None:  # already stopped by the test (an IdP that went down)
            return
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)
        self._httpd = None
