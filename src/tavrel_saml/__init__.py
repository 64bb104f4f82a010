"""SAML 2.0 single sign-on for the tavrel web application server.

The work is done by the compiled module ``tavrel_saml.saml``; import it directly.
The module runs inside its host application, which must provide
``tavrel.configs.UserConfig``.
"""

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
