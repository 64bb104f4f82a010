"""User configuration of the stand-in host application."""


class UserConfig:
    """One configured user of the host.

    Only the attributes named in ``allowed_sso_keys`` may be used to match a
    SAML subject onto a user.
    """

    allowed_sso_keys = frozenset({"email", "username", "sso_id"})

    def __init__(self, **attributes: object) -> None:
        for name, value in attributes.items():
            setattr(self, name, value)

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in sorted(vars(self).items()))
        return f"UserConfig({fields})"
