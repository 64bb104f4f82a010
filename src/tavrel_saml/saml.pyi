"""Types of the compiled module `tavrel_saml.saml`."""

import contextlib as contextlib
import logging as logging
import re as re
import threading
import time as time
import traceback as traceback
from collections.abc import Hashable, Mapping, MutableMapping
from random import random as random
from typing import Any, ClassVar, Literal, Protocol, TypedDict
from urllib.parse import urlparse as urlparse

from onelogin.saml2.auth import OneLogin_Saml2_Auth as OneLogin_Saml2_Auth
from onelogin.saml2.errors import OneLogin_Saml2_Error as OneLogin_Saml2_Error
from onelogin.saml2.idp_metadata_parser import OneLogin_Saml2_IdPMetadataParser as OneLogin_Saml2_IdPMetadataParser
from onelogin.saml2.utils import OneLogin_Saml2_Utils as OneLogin_Saml2_Utils
from tavrel.configs import UserConfig as UserConfig
import xmlsec as xmlsec
from lxml import etree as etree
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML as OneLogin_Saml2_XML
from cryptography import x509 as x509
from cryptography.hazmat.primitives import hashes as hashes

log: logging.Logger

# The host's auth settings: {"authentication_policies": {"saml": {"enabled":
# ..., "identity_providers": {idp_id: idp_config}}}}. Start-up validation
# writes "enabled": False into the configurations it refuses.
_AuthSettings = Mapping[str, Any]

# One IdP configuration: "enabled", "idp_name", "saml_auth_attribute",
# "user_config_attribute", "settings" (the toolkit's), "saml_auth_regex",
# "metadata_refresh_interval", "metadata_signing_certs",
# "metadata_backing_file".
_IdPConfig = Mapping[str, Any]

# The toolkit's form of a request (keys "https", "http_host", "script_name",
# "request_uri", "get_data", "post_data").
_SamlRequest = dict[str, Any]

class _Params(Protocol):
    def get(self, key: str, default: Any = ..., /) -> Any: ...
    def copy(self) -> Any: ...

class _Request(Protocol):
    """What is read of the host's request (a Pyramid request has it all).
    `scheme` is written when a proxy forwarded the browser's scheme."""

    scheme: str
    @property
    def host(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def headers(self) -> Mapping[str, str]: ...
    @property
    def GET(self) -> _Params: ...
    @property
    def POST(self) -> _Params: ...

class _ResponsesTracker(Protocol):
    def lock(self) -> contextlib.AbstractContextManager[object]: ...
    def is_seen(self, req_id: str, /) -> bool: ...
    def add(self, req_id: str, expiration: float, /) -> None: ...
    def cleanup_expired(self) -> None: ...

class _MemcacheClient(Protocol):
    """What the memcache tracker calls, all positionally. A pymemcache Client
    made with serde=pickle_serde and default_noreply=False fits."""

    def get(self, key: str, /) -> Any: ...
    def set(self, key: str, value: Any, /) -> Any: ...
    def add(self, key: str, value: Any, expire: int, /) -> Any: ...
    def replace(self, key: str, value: Any, /) -> Any: ...
    def delete(self, key: str, /) -> Any: ...

class SamlAuthLoader:
    saml_settings: MutableMapping[str, Any]
    idp_configs: MutableMapping[Hashable, Any]
    saml_enabled: Any
    idps: dict[Hashable, Any]
    def __init__(self, auth_settings: _AuthSettings) -> None: ...
    def load_by_id(self, idp_id: Hashable) -> _IdPConfig: ...
    def validate_all(self, timeout: float) -> None: ...

class SamlDuplicateResponsesTrackerInMemcache:
    KEY_SUFFIX: ClassVar[str]
    mc: _MemcacheClient
    key: str
    lock_key: str
    memcache_lock_sleep_interval: float
    my_proc_uid: str
    _seen_responses: dict[str, float] | None
    def __init__(
        self,
        mc: _MemcacheClient,
        mc_root_key: object,
        memcache_lock_sleep_interval: float = 0.1,
        my_proc_uid: str = "",
    ) -> None: ...
    def _lazy_init(self) -> None: ...
    def lock(self) -> contextlib._GeneratorContextManager[None]: ...
    def is_seen(self, req_id: str) -> bool: ...
    def add(self, req_id: str, expiration: float) -> None: ...
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

class _PerIdMemcacheClient(Protocol):
    """What the per-id tracker calls: a pymemcache Client, PooledClient or
    HashClient made with default_noreply=False (and ignore_exc=False)."""

    def get(self, key: str, /) -> Any: ...
    def add(self, key: str, value: bytes, expire: int, /, *, noreply: bool) -> Any: ...
    def incr(self, key: str, value: int, /, *, noreply: bool) -> Any: ...

class SamlDuplicateResponsesTrackerInMemcachePerId:
    KEY_SUFFIX: ClassVar[str]
    mc: _PerIdMemcacheClient
    key: str
    # (server name, rendezvous seed, client) per server configured at construction.
    _servers: tuple[tuple[str, int, _PerIdMemcacheClient], ...]
    # How many of those servers keep each id.
    _replicas: int
    # Inside lock(): per server, its generation, or the error it gave.
    _generations: dict[str, str | Exception] | None
    def __init__(
        self, memcache_client: _PerIdMemcacheClient, memcache_root_key: object, replicas: int = 1
    ) -> None: ...
    def lock(self) -> contextlib._GeneratorContextManager[None]: ...
    def is_seen(self, req_id: str | bytes) -> bool: ...
    def add(self, req_id: str | bytes, expiration: float) -> None: ...
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

class SamlDuplicateResponsesTrackerInMemory:
    _seen_responses: dict[str, float]
    _lock: threading.RLock
    def __init__(self) -> None: ...
    def lock(self) -> contextlib._GeneratorContextManager[None]: ...
    def add(self, req_id: str, expiration: float) -> None: ...
    def is_seen(self, req_id: str) -> bool: ...
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

responses_tracker_mem: SamlDuplicateResponsesTrackerInMemory

class _CertificateStatus(TypedDict):
    use: Literal["signing", "encryption", "sp"]
    subject: str
    not_after: float  # unix time
    sha256: str  # lowercase hex fingerprint

class _IdPStatus(TypedDict):
    idp_name: str
    metadata_location: str | None
    source: Literal["remote", "backing file", "local settings", "not resolved"]
    fetched_at: float | None  # unix times
    next_refresh_at: float | None
    valid_until: float | None
    signature: Literal["verified", "not required", "missing"]
    last_error: str | None
    certificates: list[_CertificateStatus]

class SamlIDPConfig:
    cached_saml_settings: ClassVar[dict[Any, Any]]
    # Set by the first settings resolution of the process, absent before.
    saml_http_timeout: ClassVar[float]
    users: Mapping[str, UserConfig]
    idp_config: _IdPConfig
    saml_auth_attribute: str
    user_config_attribute: str
    saml_auth_regex: str | re.Pattern[str] | None
    raw_request: _Request
    request: _SamlRequest
    saml_auth: OneLogin_Saml2_Auth
    responses_tracker: _ResponsesTracker | None
    def __init__(
        self,
        idp_config: _IdPConfig,
        raw_request: _Request,
        users: Mapping[str, UserConfig],
        responses_tracker: _ResponsesTracker | None = None,
    ) -> None: ...
    @classmethod
    def get_idp_settings(cls, idp_config: _IdPConfig, timeout: float = 5) -> MutableMapping[str, Any]: ...
    @classmethod
    def get_idp_status(cls, idp_config: _IdPConfig) -> _IdPStatus: ...
    @classmethod
    def generate_login_url(cls, idp_config: _IdPConfig, raw_request: _Request, return_to_url: str | None) -> str: ...
    @classmethod
    def validate_idp_config(cls, idp_config: _IdPConfig, timeout: float = 5) -> None: ...
    @staticmethod
    def map_pyramid_to_saml_request(request: _Request) -> _SamlRequest: ...
    def process_saml_response(self) -> None: ...
    def reject_duplicated_response(self) -> None: ...
    def get_sso_user_id(self) -> str | None: ...
    def get_user_id(self) -> str: ...
    def _get_mapped_user_id(self, attributes: Mapping[str, Any]) -> str: ...
    def match_saml_regex(self, saml_values: list[str]) -> list[str]: ...
    def get_return_to_url(self) -> str: ...
    # bytes when the settings give the SP a certificate, str otherwise.
    def get_sp_metadata(self) -> str | bytes: ...

def validate_saml_settings(auth_settings: _AuthSettings, timeout: float) -> None: ...

# Installs (True) or removes (False) the process-wide caches of the toolkit's
# per-request work; removing puts the toolkit's own functions back.
def set_toolkit_caches(enabled: bool) -> None: ...
