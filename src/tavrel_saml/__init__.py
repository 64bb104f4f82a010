"""SAML 2.0 single sign-on for the tavrel web application server.

The work is done by the compiled module ``tavrel_saml.saml``; import it directly.
The module runs inside its host application, which must provide
``tavrel.configs.UserConfig``.
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

# The version is written once, in pyproject.toml; the installed metadata carries it.
try:
    __version__ = _version("tavrel_saml")
except PackageNotFoundError:  # a source tree on sys.path, never installed
    __version__ = "0+unknown"

try:
    from . import saml
except ImportError as error:
    # Without the host, the import fails deep in the module with a bare "No
    # module named 'tavrel'"; say what is missing and keep the original for
    # the traceback. Any other import failure (the toolkit, lxml) is left as
    # it is: its own text already names what is missing.
    missing = getattr(error, "name", None)
    if missing not in ("tavrel", "tavrel.configs") and "tavrel.configs" not in str(error):
        raise
    raise ModuleNotFoundError(
        f"tavrel_saml runs inside its host application, which must provide tavrel.configs.UserConfig: {error}",
        name=missing or "tavrel.configs",
    ) from error
