"""The sign-on, login and validation tests once more on the toolkit's own
functions, the caches switched off: the module works the same on either."""

import pytest

import tavrel_saml.saml as saml
from test_login_and_validation import (  # noqa: F401  (collected here a second time)
    test_login_errors, test_login_url_carries_the_configured_request, test_sp_metadata_is_validated_by_the_toolkit,
    test_valid_config_passes_and_is_cached_without_refetch, test_validation_errors_are_not_converted)
from test_response_processing import (  # noqa: F401
    test_concurrent_posts_of_one_response_accept_once, test_replay_is_refused, test_reject_duplicated_call_order,
    test_sso_user_id_falls_back_to_empty, test_toolkit_failure_stops_processing, test_toolkit_refusal_comes_first,
    test_unauthenticated_subject_is_recorded_first, test_valid_login_end_to_end)


@pytest.fixture(autouse=True)
def toolkit_caches_off():
    saml.set_toolkit_caches(False)
    yield
    saml.set_toolkit_caches(True)
