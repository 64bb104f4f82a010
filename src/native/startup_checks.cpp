// Start-up checks of the host's SAML settings. The toolkit validates the
// protocol settings it needs to build a login request; what it never reads
// at start-up (the keys a sign-in reads, and keys nobody reads at all) used
// to pass silently and then fail every sign-in, or be dropped. Mistakes that
// fail every sign-in disable the IdP; mere typos are warned about.
#include "startup_checks.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log.hpp"

namespace tavrel_saml {
namespace {

using Keys = std::vector<std::string_view>;

// The keys read at each level of an IdP configuration: the module's own,
// and those python3-saml 1.16 reads from its settings (settings.py,
// auth.py, metadata.py, response.py, idp_metadata_parser.py). A level is
// named by its path from the IdP configuration; "*" stands for a key of
// the host's choosing (a contact type, a language), "[]" for each item of a
// list. Levels absent from the table, or listed without keys, are not
// checked.
const std::map<std::string_view, Keys> &known_keys() {
  static const std::map<std::string_view, Keys> table{
      {"",
       {"enabled", "idp_name", "saml_auth_attribute", "user_config_attribute",
        "saml_auth_regex", "settings", "metadata_refresh_interval",
        "metadata_signing_certs", "metadata_backing_file"}},
      {"settings",
       {"strict", "debug", "sp", "idp", "security", "contactPerson",
        "organization", "custom_base_path", "extra_request_options"}},
      {"settings.extra_request_options",
       {"return_to", "force_authn", "is_passive", "set_nameid_policy"}},
      {"settings.sp",
       {"entityId", "assertionConsumerService", "attributeConsumingService",
        "singleLogoutService", "NameIDFormat", "x509cert", "x509certNew",
        "privateKey"}},
      {"settings.sp.assertionConsumerService", {"url", "binding"}},
      {"settings.sp.singleLogoutService", {"url", "binding"}},
      {"settings.sp.attributeConsumingService",
       {"serviceName", "serviceDescription", "requestedAttributes"}},
      {"settings.sp.attributeConsumingService.requestedAttributes[]",
       {"name", "isRequired", "nameFormat", "friendlyName", "attributeValue"}},
      {"settings.idp",
       {"entityId", "singleSignOnService", "singleLogoutService", "x509cert",
        "x509certMulti", "certFingerprint", "certFingerprintAlgorithm",
        "metadata"}},
      {"settings.idp.singleSignOnService", {"url", "binding"}},
      {"settings.idp.singleLogoutService", {"url", "binding", "responseUrl"}},
      {"settings.idp.x509certMulti", {"signing", "encryption"}},
      {"settings.security",
       {"nameIdEncrypted",
        "authnRequestsSigned",
        "logoutRequestSigned",
        "logoutResponseSigned",
        "signMetadata",
        "wantMessagesSigned",
        "wantAssertionsSigned",
        "wantAssertionsEncrypted",
        "wantNameId",
        "wantNameIdEncrypted",
        "wantAttributeStatement",
        "requestedAuthnContext",
        "requestedAuthnContextComparison",
        "failOnAuthnContextMismatch",
        "metadataValidUntil",
        "metadataCacheDuration",
        "signatureAlgorithm",
        "digestAlgorithm",
        "rejectDeprecatedAlgorithm",
        "allowSingleLabelDomains",
        "allowRepeatAttributeName"}},
      {"settings.security.signMetadata", {"keyFileName", "certFileName"}},
      {"settings.contactPerson",
       {"technical", "support", "administrative", "billing", "other"}},
      {"settings.contactPerson.*", {"givenName", "emailAddress"}},
      {"settings.organization", {}},
      {"settings.organization.*", {"name", "displayname", "url"}},
  };
  return table;
}

const Keys kSamlBlockKeys{"enabled", "identity_providers"};

// Edit distance with adjacent transpositions, letters compared without
// regard to case: "securty", "wantAssertionSigned" and "entityID" all find
// their key.
size_t distance(std::string_view a, std::string_view b) {
  auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// Whether one of the two begins with the other, without regard to case.
bool starts_alike(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  return std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// The known key closest to `word`, when close enough to be a slip of the
// keyboard rather than another word.
std::optional<std::string_view> nearest(std::string_view word,
                                        const Keys &known) {
  const size_t limit = word.size() <= 4 ? 1 : word.size() <= 10 ? 2 : 3;
  std::optional<std::string_view> best;
  size_t best_distance = limit + 1;
  for (std::string_view candidate : known) {
    size_t d = distance(word, candidate);
    // A key cut short ("encrypt") or run on is still that key.
    if (d > limit && word.size() >= 4 && starts_alike(word, candidate)) {
      d = limit;
    }
    if (d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

// The UTF-8 text of a str key, without calling any of its methods (a str
// subclass may override them); nullopt for anything else.
std::optional<std::string_view> key_text(py::handle key) {
  if (!PyUnicode_Check(key.ptr())) return std::nullopt;
  Py_ssize_t size;
  const char *text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
  if (text == nullptr) {
    PyErr_Clear();  // a lone surrogate: no known key is spelled so
    return std::nullopt;
  }
  return std::string_view(text, static_cast<size_t>(size));
}

py::str repr_of(py::handle value) {
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Repr(value.ptr())).release());
}

// How a key appears in a message: a plain printable text as it is, any
// other key as its repr, so that no key can break the line.
py::str shown_key(py::handle key) {
  if (auto text = key_text(key)) {
    if (std::all_of(text->begin(), text->end(),
                    [](char c) { return c > ' ' && c < 0x7f; })) {
      return py::str(text->data(), text->size());
    }
  }
  return repr_of(key);
}

py::object log_of(const Module &m) { return m.global(id::log); }

void warn(const Module &m, py::handle text) {
  call_method(log_of(m), m[id::warning], text);
}

// The values of a dict with their keys, copied first: logging may run host
// code, which must not change what is being walked.
std::vector<std::pair<py::object, py::object>> dict_items(py::handle dict) {
  std::vector<std::pair<py::object, py::object>> items;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
    items.emplace_back(py::reinterpret_borrow<py::object>(key),
                       py::reinterpret_borrow<py::object>(value));
  }
  return items;
}

// Unknown keys of one level, each with the nearest known key; `prefix`
// names whose keys these are, `path` where the level sits.
void warn_unknown_keys(const Module &m, py::handle prefix, py::handle path,
                       py::handle dict, const Keys &known) {
  for (auto &[key, value] : dict_items(dict)) {
    auto text = key_text(key);
    if (text && std::find(known.begin(), known.end(), *text) != known.end()) {
      continue;
    }
    std::optional<std::string_view> suggestion;
    if (text) suggestion = nearest(*text, known);
    py::str advice =
        suggestion
            ? py::str(concat({py::str(": unknown key, did you mean "),
                              py::str(suggestion->data(), suggestion->size()),
                              py::str("?")}))
            : py::str(
                  ": unknown key, read by neither the module nor "
                  "the toolkit");
    warn(m, concat({prefix, path, shown_key(key), advice}));
  }
}

// Walks one level of an IdP configuration and every level under it that
// the table knows.
void walk(const Module &m, py::handle prefix, py::handle value,
          const std::string &level, const std::string &shown) {
  const auto &table = known_keys();
  auto known = table.find(level);
  if (PyDict_Check(value.ptr())) {
    const py::str path(shown.empty() ? shown : shown + ".");
    if (known != table.end() && !known->second.empty()) {
      warn_unknown_keys(m, prefix, path, value, known->second);
    }
    for (auto &[key, child] : dict_items(value)) {
      auto text = key_text(key);
      if (!text) continue;
      const std::string below =
          level.empty() ? std::string(*text) : level + "." + std::string(*text);
      const std::string any = level + ".*";
      const std::string shown_below =
          shown.empty() ? std::string(*text) : shown + "." + std::string(*text);
      if (known != table.end() && !known->second.empty() &&
          std::find(known->second.begin(), known->second.end(), *text) ==
              known->second.end()) {
        continue;  // already warned about; its contents mean nothing known
      }
      if (table.count(below) || table.count(below + "[]")) {
        walk(m, prefix, child, below, shown_below);
      } else if (table.count(any)) {
        walk(m, prefix, child, any, shown_below);
      }
    }
  } else if (PyList_Check(value.ptr()) && table.count(level + "[]")) {
    std::vector<py::object> items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i) {
      items.push_back(
          py::reinterpret_borrow<py::object>(PyList_GET_ITEM(value.ptr(), i)));
    }
    for (size_t i = 0; i < items.size(); ++i) {
      walk(m, prefix, items[i], level + "[]",
           shown + "[" + std::to_string(i) + "]");
    }
  }
}

// An "enabled" that is not a bool is read by its truth, which a text such
// as "false" turns upside down.
void warn_unless_bool(const Module &m, py::handle prefix, py::handle enabled) {
  if (PyBool_Check(enabled.ptr())) return;
  const bool on = truthy(enabled);
  warn(m, concat({prefix, py::str("enabled is "), repr_of(enabled),
                  py::str(" ("), py::str(Py_TYPE(enabled.ptr())->tp_name),
                  py::str("), not true or false: read as "),
                  py::str(on ? "enabled" : "disabled")}));
}

// Runs a pass of warnings; a value it cannot read is left to the code that
// uses it, which reports it in its own way. Only an Exception is absorbed.
template <class Fn>
void warnings_only(Fn &&fn) {
  try {
    fn();
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

py::str idp_prefix(py::handle idp_id) {
  return concat({py::str("SAML IdP "), text_form(idp_id), py::str(": ")});
}

// -- What every sign-in reads -------------------------------------------------

[[noreturn]] void refuse(py::str reason) {
  raise(PyExc_ValueError,
        concat({py::str("Invalid SAML configuration: "), reason}));
}

// The value of `key`, which must be a non-empty text.
py::object required_text(const Module &m, py::handle idp_config, id::Name key,
                         const char *meaning) {
  if (!contains(idp_config, m[key])) {
    refuse(concat({m[key], py::str(" is missing: "), py::str(meaning)}));
  }
  py::object value = get_item(idp_config, m[key]);
  if (!PyUnicode_Check(value.ptr()) || PyUnicode_GET_LENGTH(value.ptr()) == 0) {
    refuse(concat({m[key], py::str(" must be a non-empty text ("),
                   py::str(meaning), py::str("), not "), repr_of(value)}));
  }
  return value;
}

// The texts of the keys allowed by the host, sorted, for the message.
py::str listed(const Module &m, py::handle allowed, Keys &names,
               std::vector<std::string> &storage) {
  py::list texts;
  for (py::handle key : allowed) texts.append(text_form(key));
  if (PyList_Sort(texts.ptr()) < 0) throw py::error_already_set();
  for (py::handle text : texts) {
    if (auto view = key_text(text)) storage.emplace_back(*view);
  }
  for (const std::string &name : storage) names.push_back(name);
  return py::reinterpret_steal<py::str>(
      call_method(m[id::comma_space], m[id::join], texts).release());
}

void check_sign_in_keys(const Module &m, py::handle idp_config) {
  required_text(m, idp_config, id::saml_auth_attribute,
                "the SAML attribute, or NameID, whose value names the user");
  py::object user_config_attribute =
      required_text(m, idp_config, id::user_config_attribute,
                    "the user attribute compared with the SAML value");
  py::object allowed =
      get_attr(m.global(id::UserConfig), m[id::allowed_sso_keys]);
  if (!contains(allowed, user_config_attribute)) {
    Keys names;
    std::vector<std::string> storage;
    py::str allowed_text = listed(m, allowed, names, storage);
    py::str advice("");
    if (auto text = key_text(user_config_attribute)) {
      if (auto suggestion = nearest(*text, names)) {
        advice = concat({py::str("; did you mean "),
                         py::str(suggestion->data(), suggestion->size()),
                         py::str("?")});
      }
    }
    refuse(concat({py::str("user_config_attribute "),
                   repr_of(user_config_attribute),
                   py::str(" is not one of UserConfig.allowed_sso_keys ("),
                   allowed_text, py::str(")"), advice}));
  }
  py::object saml_auth_regex =
      call_method(idp_config, m[id::get], m[id::saml_auth_regex], py::none());
  if (!truthy(saml_auth_regex)) return;
  py::object compiled;
  try {
    compiled = call_method(m.global(id::re), m[id::compile], saml_auth_regex);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise(PyExc_ValueError,
          concat({py::str("Invalid SAML configuration: saml_auth_regex "),
                  repr_of(saml_auth_regex), py::str(" does not compile: "),
                  format(e.value())}),
          e.value());
  }
  // SAML values are texts: a bytes pattern would fail every match.
  if (!PyUnicode_Check(get_attr(compiled, m[id::pattern]).ptr())) {
    refuse(concat({py::str("saml_auth_regex must be a text pattern, not "),
                   repr_of(saml_auth_regex)}));
  }
}

// -- IdPs waiting for their metadata -----------------------------------------

// IdP name -> the configuration waiting under that name: one entry per IdP
// name, however often a host validates new settings.
py::handle awaiting(const Module &m) { return m.state().awaiting_metadata; }

// The name under which `idp_config` waits, or null. Compares identities
// only: nothing of the host's runs on the way.
py::object waiting_name(const Module &m, py::handle idp_config) {
  Py_ssize_t position = 0;
  PyObject *name, *config;
  while (PyDict_Next(awaiting(m).ptr(), &position, &name, &config)) {
    if (config == idp_config.ptr()) {
      return py::reinterpret_borrow<py::object>(name);
    }
  }
  return {};
}

// Whether a later refresh could bring what the configuration lacks: the
// metadata comes from a location, fetched again at a valid interval.
bool metadata_may_come(const Module &m, py::handle idp_config) {
  try {
    py::object location =
        get_item(get_item(get_item(idp_config, m[id::settings]), m[id::idp]),
                 m[id::metadata]);
    if (!truthy(location)) return false;
    py::object interval = call_method(
        idp_config, m[id::get], m[id::metadata_refresh_interval], py::none());
    PyObject *value = interval.ptr();
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
      return false;
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return std::isfinite(seconds) && seconds > 0;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
}

void forget_awaiting(const Module &m, py::handle idp_config) {
  if (py::object name = waiting_name(m, idp_config)) {
    if (PyDict_DelItem(awaiting(m).ptr(), name.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
}

void validate(const Module &m, py::handle idp_config, py::handle timeout) {
  check_sign_in_keys(m, idp_config);
  try {
    py::object cls = m.global(id::SamlIDPConfig);
    if (timeout) {
      call_method(cls, m[id::validate_idp_config], idp_config, timeout);
    } else {
      call_method(cls, m[id::validate_idp_config], idp_config);
    }
  } catch (py::error_already_set &e) {
    if (e.matches(PyExc_Exception) && metadata_may_come(m, idp_config)) {
      try {
        set_item(awaiting(m), get_item(idp_config, m[id::idp_name]),
                 idp_config);
      } catch (py::error_already_set &unnamed) {
        if (!unnamed.matches(PyExc_Exception)) throw;
      }
    }
    throw;
  }
  forget_awaiting(m, idp_config);
}

// The reason of a failure in words, on one line.
py::str reason_of(const Module &m, py::handle exc) {
  py::str text;
  try {
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_KeyError)) {
      py::object args = get_attr(exc, m[id::args]);
      text =
          concat({py::str("missing key "),
                  PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1
                      ? repr_of(PyTuple_GET_ITEM(args.ptr(), 0))
                      : format(exc)});
    } else {
      text = format(exc);
      const bool own_words =
          PyErr_GivenExceptionMatches(exc.ptr(), PyExc_ValueError) ||
          PyErr_GivenExceptionMatches(exc.ptr(),
                                      m.global(id::OneLogin_Saml2_Error).ptr());
      if (!own_words) {
        text =
            concat({py::str(Py_TYPE(exc.ptr())->tp_name), py::str(": "), text});
      }
    }
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    text = py::str(Py_TYPE(exc.ptr())->tp_name);
  }
  // The toolkit joins its error codes with line breaks.
  return py::reinterpret_steal<py::str>(
      call_method(text, m[id::replace], m[id::newline], m[id::space])
          .release());
}

}  // namespace

void make_startup_checks_state(const Module &m) {
  State &state = m.state();
  state.awaiting_metadata = owned(PyDict_New()).release().ptr();
  // Both kinds: callers that caught the KeyError of a missing key still do.
  py::tuple bases =
      py::make_tuple(py::handle(PyExc_ValueError), py::handle(PyExc_KeyError));
  py::dict namespace_;
  // KeyError's own text is the repr of its key; this one carries a sentence.
  set_item(namespace_, m[id::dunder_str],
           get_attr(PyExc_BaseException, m[id::dunder_str]));
  state.config_key_error =
      owned(PyErr_NewExceptionWithDoc(
                "tavrel_saml.saml.SamlConfigKeyError",
                "A key the SAML settings need is missing. Both a ValueError "
                "and, as before, a KeyError.",
                bases.ptr(), namespace_.ptr()))
          .release()
          .ptr();
}

py::object required_saml_key(const Module &m, py::handle saml_settings,
                             id::Name key) {
  try {
    return get_item(saml_settings, m[key]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    py::str where = key == id::identity_providers
                        ? py::str(
                              ": the mapping of IdP id to IdP "
                              "configuration belongs in "
                              "authentication_policies.saml, beside "
                              "\"enabled\"")
                        : py::str(
                              ": true or false belongs in "
                              "authentication_policies.saml, beside "
                              "\"identity_providers\"");
    py::str advice("");
    if (PyDict_Check(saml_settings.ptr())) {
      auto wanted = key_text(m[key]);
      for (auto &[other, value] : dict_items(saml_settings)) {
        auto text = key_text(other);
        if (text && *text != *wanted && nearest(*text, {*wanted})) {
          advice = concat({py::str(" (found \""), py::str(std::string(*text)),
                           py::str("\": a typo?)")});
          break;
        }
      }
    }
    raise_exception(
        call(m.state().config_key_error,
             concat({py::str("Invalid SAML configuration: \""), m[key],
                     py::str("\" is missing"), where, advice})),
        e.value());
  }
}

void warn_about_saml_block(const Module &m, py::handle saml_settings,
                           py::handle saml_enabled) {
  warnings_only([&] {
    py::str prefix("SAML settings: ");
    if (PyDict_Check(saml_settings.ptr())) {
      warn_unknown_keys(m, prefix, py::str(""), saml_settings, kSamlBlockKeys);
    }
    warn_unless_bool(m, prefix, saml_enabled);
  });
}

void warn_about_idp_config(const Module &m, py::handle idp_id,
                           py::handle idp_config) {
  warnings_only([&] {
    py::str prefix = idp_prefix(idp_id);
    py::object enabled = get_item(idp_config, m[id::enabled]);
    warn_unless_bool(m, prefix, enabled);
    if (truthy(enabled)) walk(m, prefix, idp_config, "", "");
  });
}

void validate_for_sign_in(const Module &m, py::handle idp_config,
                          py::handle timeout) {
  validate(m, idp_config, timeout);
}

void log_disabling_reason(const Module &m, py::handle idp_id, py::handle exc) {
  warn(m, concat({py::str("SAML IdP "), text_form(idp_id),
                  py::str(" disabled: "), reason_of(m, exc)}));
}

bool enabled_again(const Module &m, py::handle idp_id, py::handle idp_config) {
  if (!waiting_name(m, idp_config)) return false;
  py::object cls = m.global(id::SamlIDPConfig);
  try {
    py::object cache = get_attr(cls, m[id::cached_saml_settings]);
    py::object idp_name = get_item(idp_config, m[id::idp_name]);
    py::object before = call_method(cache, m[id::get], idp_name, py::none());
    // A cache hit refreshes the metadata once its interval has passed.
    call_method(cls, m[id::get_idp_settings], idp_config);
    py::object after = call_method(cache, m[id::get], idp_name, py::none());
    if (after.is(before)) return false;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;  // the resolution logs its own failures
  }
  try {
    validate(m, idp_config, {});
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    warn(m, concat({py::str("SAML IdP "), text_form(idp_id),
                    py::str(" stays disabled after its metadata was fetched "
                            "again: "),
                    reason_of(m, e.value())}));
    return false;
  }
  set_item(idp_config, m[id::enabled], py::bool_(true));
  call_method(log_of(m), m[id::info],
              concat({py::str("SAML IdP "), text_form(idp_id),
                      py::str(" enabled again: its metadata was fetched and "
                              "its configuration is now valid")}));
  return true;
}

}  // namespace tavrel_saml
