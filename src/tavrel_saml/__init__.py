"""SAML 2.0 single sign-on for the tavrel web application server.

The work is done by the compiled module ``tavrel_saml.saml``; import it directly.
"""
