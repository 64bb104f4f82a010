// Every name and constant text the module hands to the interpreter: made
// once at import, interned, and kept in the module's state. A name made
// afresh for each call misses the interpreter's attribute caches (keyed by
// the name object) and costs an allocation; these never do.
//
// Only the module's own constants belong here. Values that arrive with a
// call (ids, attribute names from a configuration) are never interned: an
// interned string lives until the interpreter exits.
#pragma once

// X(identifier, text)
#define TAVREL_SAML_NAMES(X)                                                  \
  /* module globals, in the order the module binds them */                    \
  X(contextlib, "contextlib")                                                 \
  X(traceback, "traceback")                                                   \
  X(logging, "logging")                                                       \
  X(time, "time")                                                             \
  X(re, "re")                                                                 \
  X(urlparse, "urlparse")                                                     \
  X(random, "random")                                                         \
  X(OneLogin_Saml2_Auth, "OneLogin_Saml2_Auth")                               \
  X(OneLogin_Saml2_Error, "OneLogin_Saml2_Error")                             \
  X(OneLogin_Saml2_IdPMetadataParser, "OneLogin_Saml2_IdPMetadataParser")     \
  X(OneLogin_Saml2_Utils, "OneLogin_Saml2_Utils")                             \
  X(UserConfig, "UserConfig")                                                 \
  X(xmlsec, "xmlsec")                                                         \
  X(etree, "etree")                                                           \
  X(OneLogin_Saml2_XML, "OneLogin_Saml2_XML")                                 \
  X(x509, "x509")                                                             \
  X(hashes, "hashes")                                                         \
  X(log, "log")                                                               \
  X(SamlAuthLoader, "SamlAuthLoader")                                         \
  X(SamlDuplicateResponsesTrackerInMemcache,                                  \
    "SamlDuplicateResponsesTrackerInMemcache")                                \
  X(SamlDuplicateResponsesTrackerInMemcachePerId,                             \
    "SamlDuplicateResponsesTrackerInMemcachePerId")                           \
  X(SamlDuplicateResponsesTrackerInMemory,                                    \
    "SamlDuplicateResponsesTrackerInMemory")                                  \
  X(responses_tracker_mem, "responses_tracker_mem")                           \
  X(SamlIDPConfig, "SamlIDPConfig")                                           \
  X(validate_saml_settings, "validate_saml_settings")                         \
  /* class namespaces and the interpreter's own */                            \
  X(dunder_module, "__module__")                                              \
  X(dunder_qualname, "__qualname__")                                          \
  X(dunder_doc, "__doc__")                                                    \
  X(dunder_enter, "__enter__")                                                \
  X(dunder_exit, "__exit__")                                                  \
  X(contextmanager, "contextmanager")                                         \
  X(getLogger, "getLogger")                                                   \
  X(tavrel, "tavrel")                                                         \
  /* logging */                                                               \
  X(debug, "debug")                                                           \
  X(info, "info")                                                             \
  X(warning, "warning")                                                       \
  X(error, "error")                                                           \
  X(Logger, "Logger")                                                         \
  X(isEnabledFor, "isEnabledFor")                                             \
  X(disabled, "disabled")                                                     \
  X(level_cache, "_cache")                                                    \
  /* the loader */                                                            \
  X(idps, "idps")                                                             \
  X(authentication_policies, "authentication_policies")                       \
  X(saml, "saml")                                                             \
  X(saml_settings, "saml_settings")                                           \
  X(idp_configs, "idp_configs")                                               \
  X(identity_providers, "identity_providers")                                 \
  X(saml_enabled, "saml_enabled")                                             \
  X(enabled, "enabled")                                                       \
  X(validate_idp_config, "validate_idp_config")                               \
  X(validate_all, "validate_all")                                             \
  X(format_exc, "format_exc")                                                 \
  X(keys, "keys")                                                             \
  X(items, "items")                                                           \
  X(join, "join")                                                             \
  X(args, "args")                                                             \
  X(pattern, "pattern")                                                       \
  X(dunder_str, "__str__")                                                    \
  /* the request mapping */                                                   \
  X(headers, "headers")                                                       \
  X(x_forwarded_proto, "X-Forwarded-Proto")                                   \
  X(scheme, "scheme")                                                         \
  X(https, "https")                                                           \
  X(on, "on")                                                                 \
  X(off, "off")                                                               \
  X(http_host, "http_host")                                                   \
  X(host, "host")                                                             \
  X(script_name, "script_name")                                               \
  X(path, "path")                                                             \
  X(request_uri, "request_uri")                                               \
  X(get_data, "get_data")                                                     \
  X(GET, "GET")                                                               \
  X(copy, "copy")                                                             \
  X(post_data, "post_data")                                                   \
  X(POST, "POST")                                                             \
  /* SamlIDPConfig and the toolkit */                                         \
  X(users, "users")                                                           \
  X(idp_config, "idp_config")                                                 \
  X(saml_auth_attribute, "saml_auth_attribute")                               \
  X(user_config_attribute, "user_config_attribute")                           \
  X(saml_auth_regex, "saml_auth_regex")                                       \
  X(get, "get")                                                               \
  X(raw_request, "raw_request")                                               \
  X(request, "request")                                                       \
  X(map_pyramid_to_saml_request, "map_pyramid_to_saml_request")               \
  X(get_idp_settings, "get_idp_settings")                                     \
  X(saml_auth, "saml_auth")                                                   \
  X(responses_tracker, "responses_tracker")                                   \
  X(settings, "settings")                                                     \
  X(idp, "idp")                                                               \
  X(metadata, "metadata")                                                     \
  X(parse_remote, "parse_remote")                                             \
  X(timeout, "timeout")                                                       \
  X(saml_http_timeout, "saml_http_timeout")                                   \
  X(merge_settings, "merge_settings")                                         \
  X(extra_request_options, "extra_request_options")                           \
  X(update, "update")                                                         \
  X(idp_name, "idp_name")                                                     \
  X(metadata_refresh_interval, "metadata_refresh_interval")                   \
  X(cached_saml_settings, "cached_saml_settings")                             \
  X(return_to, "return_to")                                                   \
  X(force_authn, "force_authn")                                               \
  X(is_passive, "is_passive")                                                 \
  X(set_nameid_policy, "set_nameid_policy")                                   \
  X(login, "login")                                                           \
  X(get_settings, "get_settings")                                             \
  X(get_sp_metadata, "get_sp_metadata")                                       \
  X(validate_metadata, "validate_metadata")                                   \
  X(process_response, "process_response")                                     \
  X(get_errors, "get_errors")                                                 \
  X(get_last_error_reason, "get_last_error_reason")                           \
  X(reject_duplicated_response, "reject_duplicated_response")                 \
  X(is_authenticated, "is_authenticated")                                     \
  X(get_last_message_id, "get_last_message_id")                               \
  X(get_last_assertion_id, "get_last_assertion_id")                           \
  X(get_last_assertion_not_on_or_after, "get_last_assertion_not_on_or_after") \
  X(get_nameid, "get_nameid")                                                 \
  X(get_attributes, "get_attributes")                                         \
  X(NameID, "NameID")                                                         \
  X(get_mapped_user_id, "_get_mapped_user_id")                                \
  X(allowed_sso_keys, "allowed_sso_keys")                                     \
  X(strip, "strip")                                                           \
  X(match_saml_regex, "match_saml_regex")                                     \
  X(compile, "compile")                                                       \
  X(match, "match")                                                           \
  X(RelayState, "RelayState")                                                 \
  X(redirect_to, "redirect_to")                                               \
  X(get_self_host, "get_self_host")                                           \
  X(get_self_url, "get_self_url")                                             \
  X(get_self_url_host, "get_self_url_host")                                   \
  X(hostname, "hostname")                                                     \
  X(lower, "lower")                                                           \
  X(startswith, "startswith")                                                 \
  X(netloc, "netloc")                                                         \
  X(isascii, "isascii")                                                       \
  X(double_slash, "//")                                                       \
  X(at_sign, "@")                                                             \
  /* metadata trust and the status report */                                  \
  X(metadata_signing_certs, "metadata_signing_certs")                         \
  X(metadata_backing_file, "metadata_backing_file")                           \
  X(get_metadata, "get_metadata")                                             \
  X(parse, "parse")                                                           \
  X(security, "security")                                                     \
  X(rejectDeprecatedAlgorithm, "rejectDeprecatedAlgorithm")                   \
  X(format_cert, "format_cert")                                               \
  X(load_pem_x509_certificate, "load_pem_x509_certificate")                   \
  X(encode, "encode")                                                         \
  X(strftime, "strftime")                                                     \
  X(gmtime, "gmtime")                                                         \
  X(iso_format, "%Y-%m-%dT%H:%M:%SZ")                                         \
  X(query, "query")                                                           \
  X(to_etree, "to_etree")                                                     \
  X(tag, "tag")                                                               \
  X(URI, "URI")                                                               \
  X(ID, "ID")                                                                 \
  X(hash_sign, "#")                                                           \
  X(validUntil, "validUntil")                                                 \
  X(cacheDuration, "cacheDuration")                                           \
  X(parse_SAML_to_time, "parse_SAML_to_time")                                 \
  X(parse_duration, "parse_duration")                                         \
  X(tree, "tree")                                                             \
  X(add_ids, "add_ids")                                                       \
  X(Key, "Key")                                                               \
  X(constants, "constants")                                                   \
  X(KeyDataFormatCertPem, "KeyDataFormatCertPem")                             \
  X(SignatureContext, "SignatureContext")                                     \
  X(from_memory, "from_memory")                                               \
  X(verify, "verify")                                                         \
  X(tostring, "tostring")                                                     \
  X(remove, "remove")                                                         \
  X(method, "method")                                                         \
  X(with_comments, "with_comments")                                           \
  X(c14n, "c14n")                                                             \
  X(md_entity_descriptor,                                                     \
    "{urn:oasis:names:tc:SAML:2.0:metadata}EntityDescriptor")                 \
  X(md_entities_descriptor,                                                   \
    "{urn:oasis:names:tc:SAML:2.0:metadata}EntitiesDescriptor")               \
  X(xp_any_signature, "//ds:Signature")                                       \
  X(xp_root_signature, "./ds:Signature")                                      \
  X(xp_references, "./ds:SignedInfo/ds:Reference")                            \
  X(xp_transforms, "./ds:Transforms/ds:Transform/@Algorithm")                 \
  X(xp_signature_method, "./ds:SignedInfo/ds:SignatureMethod/@Algorithm")     \
  X(xp_digest_method, "./ds:DigestMethod/@Algorithm")                         \
  X(xp_ids, "//@ID")                                                          \
  X(xp_entity, "//md:EntityDescriptor")                                       \
  X(enveloped_signature,                                                      \
    "http://www.w3.org/2000/09/xmldsig#enveloped-signature")                  \
  X(exc_c14n, "http://www.w3.org/2001/10/xml-exc-c14n#")                      \
  X(exc_c14n_wc, "http://www.w3.org/2001/10/xml-exc-c14n#WithComments")       \
  X(c14n_10, "http://www.w3.org/TR/2001/REC-xml-c14n-20010315")               \
  X(c14n_10_wc,                                                               \
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments")           \
  X(c14n_11, "http://www.w3.org/2006/12/xml-c14n11")                          \
  X(c14n_11_wc, "http://www.w3.org/2006/12/xml-c14n11#WithComments")          \
  X(rsa_sha1, "http://www.w3.org/2000/09/xmldsig#rsa-sha1")                   \
  X(dsa_sha1, "http://www.w3.org/2000/09/xmldsig#dsa-sha1")                   \
  X(sha1, "http://www.w3.org/2000/09/xmldsig#sha1")                           \
  X(sp, "sp")                                                                 \
  X(x509cert, "x509cert")                                                     \
  X(x509certMulti, "x509certMulti")                                           \
  X(signing, "signing")                                                       \
  X(encryption, "encryption")                                                 \
  X(use, "use")                                                               \
  X(subject, "subject")                                                       \
  X(rfc4514_string, "rfc4514_string")                                         \
  X(not_after, "not_after")                                                   \
  X(not_valid_after_utc, "not_valid_after_utc")                               \
  X(timestamp, "timestamp")                                                   \
  X(fingerprint, "fingerprint")                                               \
  X(SHA256, "SHA256")                                                         \
  X(metadata_location, "metadata_location")                                   \
  X(source, "source")                                                         \
  X(fetched_at, "fetched_at")                                                 \
  X(next_refresh_at, "next_refresh_at")                                       \
  X(valid_until, "valid_until")                                               \
  X(signature, "signature")                                                   \
  X(last_error, "last_error")                                                 \
  X(certificates, "certificates")                                             \
  X(remote, "remote")                                                         \
  X(backing_file_source, "backing file")                                      \
  X(local_settings, "local settings")                                         \
  X(not_resolved, "not resolved")                                             \
  X(verified, "verified")                                                     \
  X(not_required, "not required")                                             \
  X(missing, "missing")                                                       \
  /* the trackers */                                                          \
  X(lock, "lock")                                                             \
  X(is_seen, "is_seen")                                                       \
  X(add, "add")                                                               \
  X(cleanup_expired, "cleanup_expired")                                       \
  X(acquire, "acquire")                                                       \
  X(release, "release")                                                       \
  X(seen_responses, "_seen_responses")                                        \
  X(underscore_lock, "_lock")                                                 \
  X(threading, "threading")                                                   \
  X(RLock, "RLock")                                                           \
  X(mc, "mc")                                                                 \
  X(KEY_SUFFIX, "KEY_SUFFIX")                                                 \
  X(key, "key")                                                               \
  X(lock_key, "lock_key")                                                     \
  X(memcache_lock_sleep_interval, "memcache_lock_sleep_interval")             \
  X(my_proc_uid, "my_proc_uid")                                               \
  X(lazy_init, "_lazy_init")                                                  \
  X(set, "set")                                                               \
  X(monotonic, "monotonic")                                                   \
  X(sleep, "sleep")                                                           \
  X(delete_, "delete")                                                        \
  X(replace, "replace")                                                       \
  X(hashlib, "hashlib")                                                       \
  X(sha256, "sha256")                                                         \
  X(digest, "digest")                                                         \
  X(hex, "hex")                                                               \
  X(servers, "_servers")                                                      \
  X(generations, "_generations")                                              \
  X(noreply, "noreply")                                                       \
  X(default_noreply, "default_noreply")                                       \
  X(serde, "serde")                                                           \
  X(serialize, "serialize")                                                   \
  X(deserialize, "deserialize")                                               \
  X(clients, "clients")                                                       \
  X(values, "values")                                                         \
  /* the toolkit caches */                                                    \
  X(set_toolkit_caches, "set_toolkit_caches")                                 \
  X(xpath, "xpath")                                                           \
  X(dom, "dom")                                                               \
  X(context, "context")                                                       \
  X(tagid, "tagid")                                                           \
  X(namespaces, "namespaces")                                                 \
  X(NSMAP, "NSMAP")                                                           \
  X(schema_class, "_schema_class")                                            \
  X(validate_xml, "validate_xml")                                             \
  X(xml, "xml")                                                               \
  X(schema, "schema")                                                         \
  X(validate, "validate")                                                     \
  X(unloaded_xml, "unloaded_xml")                                             \
  X(invalid_xml, "invalid_xml")                                               \
  X(docinfo, "docinfo")                                                       \
  X(URL, "URL")                                                               \
  X(cert, "cert")                                                             \
  X(heads, "heads")                                                           \
  X(timestr, "timestr")                                                       \
  X(TIME_FORMAT, "TIME_FORMAT")                                               \
  X(TIME_FORMAT_2, "TIME_FORMAT_2")                                           \
  X(dunder_func, "__func__")                                                  \
  X(dunder_dict, "__dict__")                                                  \
  X(dunder_file, "__file__")                                                  \
  X(replicas_attr, "_replicas")                                               \
  X(ignore_exc, "ignore_exc")                                                 \
  X(server, "server")                                                         \
  X(colon, ":")                                                               \
  X(memcache, "memcache")                                                     \
  X(incr, "incr")                                                             \
  /* texts */                                                                 \
  X(empty, "")                                                                \
  X(space, " ")                                                               \
  X(newline, "\n")                                                            \
  X(slash, "/")                                                               \
  X(comma_space, ", ")                                                        \
  X(underscore, "_")                                                          \
  X(file_scheme, "file://")                                                   \
  X(sso_path, "/sso/saml")                                                    \
  X(saml_settings_for, "SAML settings for ")                                  \
  X(restored_from_cache, " restored from cache")                              \
  X(metadata_fetched_for, "SAML metadata fetched for ")                       \
  X(resulting_config_for, "Resulting SAML config for ")                       \
  X(is_, " is ")                                                              \
  X(detected_duplicate, "Detected duplicate SAML response ")                  \
  X(replay_record, "Replay record ")                                          \
  X(stored_on, " stored on ")                                                 \
  X(of, " of ")                                                               \
  X(servers_missed_by, " servers; missed by ")                                \
  X(comparing_format,                                                         \
    "Comparing SAML attribute %s with User Config attribute %s")              \
  X(matches_format, "User Config to SAML matches %s")                         \
  X(authenticated_format, "Authenticated user %s using SAML value %s.")

namespace tavrel_saml {

namespace id {
enum Name : int {
#define TAVREL_SAML_NAME_ID(identifier, text) identifier,
  TAVREL_SAML_NAMES(TAVREL_SAML_NAME_ID)
#undef TAVREL_SAML_NAME_ID
      count
};
}  // namespace id

inline constexpr const char *kNameTexts[] = {
#define TAVREL_SAML_NAME_TEXT(identifier, text) text,
    TAVREL_SAML_NAMES(TAVREL_SAML_NAME_TEXT)
#undef TAVREL_SAML_NAME_TEXT
};

}  // namespace tavrel_saml
