// Trusting an IdP's metadata: the signature against pinned certificates,
// with the lessons of signature wrapping applied (only the signed root is
// ever read), the document's validity, the backing copy on disk, and the
// certificates the resolved settings hold.
#include "metadata_trust.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "calls.hpp"
#include "log.hpp"

namespace tavrel_saml {
namespace {

[[noreturn]] void refuse(std::initializer_list<py::handle> parts) {
  throw MetadataRefused(concat(parts));
}

[[noreturn]] void refuse(const char *reason) {
  throw MetadataRefused(py::str(reason));
}

Py_ssize_t length(py::handle object) {
  Py_ssize_t size = PyObject_Length(object.ptr());
  if (size < 0) throw py::error_already_set();
  return size;
}

double seconds_of(py::handle number) {
  double seconds = PyFloat_AsDouble(number.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

// The toolkit's XPath query (its namespace prefixes: md, ds), from
// `context` when given.
py::object query(const Module &m, py::handle root, id::Name xpath,
                 py::handle context = py::none()) {
  return call_method(m.global(id::OneLogin_Saml2_XML), m[id::query], root,
                     m[xpath], context);
}

bool is_one_of(const Module &m, py::handle text,
               std::initializer_list<id::Name> names) {
  for (id::Name name : names) {
    if (equal(text, m[name])) return true;
  }
  return false;
}

// `mapping.get(key)`, None for anything that is not a mapping with it.
py::object get_or_none(const Module &m, py::handle mapping, id::Name key) {
  if (mapping.is_none()) return py::none();
  try {
    return call_method(mapping, m[id::get], m[key]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
}

py::object load_certificate(const Module &m, py::handle text) {
  py::object pem =
      call_method(m.global(id::OneLogin_Saml2_Utils), m[id::format_cert], text);
  return call_method(m.global(id::x509), m[id::load_pem_x509_certificate],
                     call_method(pem, m[id::encode]));
}

// The signature's reference, its transforms and algorithms: what may be
// signed and how.
void check_reference(const Module &m, py::handle root, py::handle signature,
                     py::handle reference, bool reject_deprecated) {
  py::object uri = call_method(reference, m[id::get], m[id::URI]);
  py::object root_id = call_method(root, m[id::get], m[id::ID]);
  const bool whole_document = !uri.is_none() && equal(uri, m[id::empty]);
  const bool by_id = !uri.is_none() && !root_id.is_none() && truthy(root_id) &&
                     equal(uri, concat({m[id::hash_sign], root_id}));
  if (!whole_document && !by_id) {
    refuse("its signature does not reference the root element");
  }
  if (!root_id.is_none()) {
    // A second element with the root's ID could be the one the reference
    // is resolved to.
    int carriers = 0;
    for (py::handle value : query(m, root, id::xp_ids)) {
      if (equal(value, root_id)) ++carriers;
    }
    if (carriers > 1) refuse("another element carries the root's ID");
  }
  for (py::handle algorithm : query(m, root, id::xp_transforms, reference)) {
    if (!is_one_of(
            m, algorithm,
            {id::enveloped_signature, id::exc_c14n, id::exc_c14n_wc,
             id::c14n_10, id::c14n_10_wc, id::c14n_11, id::c14n_11_wc})) {
      refuse(
          {py::str("its signature uses the transform "), text_form(algorithm)});
    }
  }
  if (!reject_deprecated) return;
  for (auto [xpath, context] : {std::pair{id::xp_signature_method, signature},
                                std::pair{id::xp_digest_method, reference}}) {
    for (py::handle algorithm : query(m, root, xpath, context)) {
      if (is_one_of(m, algorithm, {id::rsa_sha1, id::dsa_sha1, id::sha1})) {
        refuse({py::str("its signature uses the deprecated algorithm "),
                text_form(algorithm)});
      }
    }
  }
}

void verify_signature(const Module &m, py::handle root, py::handle signature,
                      py::handle certificates) {
  py::object xmlsec = m.global(id::xmlsec);
  py::list id_attributes;
  id_attributes.append(m[id::ID]);
  call_method(get_attr(xmlsec, m[id::tree]), m[id::add_ids], root,
              id_attributes);
  py::object key_class = get_attr(xmlsec, m[id::Key]);
  py::object cert_format =
      get_attr(get_attr(xmlsec, m[id::constants]), m[id::KeyDataFormatCertPem]);
  for (py::handle pem : certificates) {
    // A key given to the context is the only one used: whatever the
    // document's own KeyInfo holds is never trusted.
    py::object context = call_method(xmlsec, m[id::SignatureContext]);
    set_attr(context, m[id::key],
             call_method(key_class, m[id::from_memory], pem, cert_format,
                         py::none()));
    try {
      call_method(context, m[id::verify], signature);
      return;
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  refuse(
      "its signature does not verify with any pinned certificate (changed "
      "after signing, or signed with another key)");
}

// validUntil and cacheDuration of one element, folded into `validity`
// (the earliest wins).
void read_validity(const Module &m, py::handle element, double now,
                   Validity &validity, py::object &valid_until_text) {
  py::object valid_until = call_method(element, m[id::get], m[id::validUntil]);
  if (!valid_until.is_none()) {
    double at;
    try {
      at = seconds_of(call_method(m.global(id::OneLogin_Saml2_Utils),
                                  m[id::parse_SAML_to_time], valid_until));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      refuse({py::str("its validUntil "), text_form(valid_until),
              py::str(" cannot be read")});
    }
    if (std::isnan(validity.valid_until) || at < validity.valid_until) {
      validity.valid_until = at;
      valid_until_text = valid_until;
    }
  }
  py::object cache_duration =
      call_method(element, m[id::get], m[id::cacheDuration]);
  if (!cache_duration.is_none()) {
    double until;
    try {
      until = seconds_of(call_method(m.global(id::OneLogin_Saml2_Utils),
                                     m[id::parse_duration], cache_duration,
                                     py::int_(static_cast<long long>(now))));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      refuse({py::str("its cacheDuration "), text_form(cache_duration),
              py::str(" cannot be read")});
    }
    validity.cache_until = std::fmin(validity.cache_until, until);
  }
}

std::string errno_text(const char *step) {
  return std::string(step) + ": " + std::strerror(errno);
}

// Runs without the GIL: plain system calls on a private copy of the path.
std::string write_atomically(const std::string &path, const char *data,
                             size_t size) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos
                                 ? "."
                                 : (slash == 0 ? "/" : path.substr(0, slash));
  std::string temp = path + ".XXXXXX";
  // mkostemp makes the file with mode 0600, whatever the umask.
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno_text("cannot create a temporary file");
  std::string error;
  for (size_t done = 0; done < size && error.empty();) {
    ssize_t written = write(fd, data + done, size - done);
    if (written < 0) {
      if (errno != EINTR) error = errno_text("cannot write");
    } else {
      done += static_cast<size_t>(written);
    }
  }
  if (error.empty() && fsync(fd) != 0) error = errno_text("cannot flush");
  if (close(fd) != 0 && error.empty()) error = errno_text("cannot close");
  if (error.empty() && rename(temp.c_str(), path.c_str()) != 0) {
    error = errno_text("cannot rename");
  }
  if (!error.empty()) {
    unlink(temp.c_str());
    return error;
  }
  // The rename itself reaches the disk with the folder.
  int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    fsync(folder_fd);
    close(folder_fd);
  }
  return {};
}

bool read_whole(const std::string &path, std::string &content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::string file_system_path(py::handle path) {
  py::object encoded = owned(PyUnicode_EncodeFSDefault(path.ptr()));
  return std::string(PyBytes_AS_STRING(encoded.ptr()),
                     static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

void add_certificate(const Module &m, py::list &report, id::Name use,
                     py::handle text) {
  if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) == 0) {
    return;
  }
  py::dict entry;
  try {
    py::object certificate = load_certificate(m, text);
    set_item(entry, m[id::use], m[use]);
    set_item(entry, m[id::subject],
             call_method(get_attr(certificate, m[id::subject]),
                         m[id::rfc4514_string]));
    set_item(entry, m[id::not_after],
             call_method(get_attr(certificate, m[id::not_valid_after_utc]),
                         m[id::timestamp]));
    set_item(entry, m[id::sha256],
             call_method(
                 call_method(certificate, m[id::fingerprint],
                             call_method(m.global(id::hashes), m[id::SHA256])),
                 m[id::hex]));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return;  // the toolkit says what is wrong with it when it is used
  }
  for (py::handle listed : report) {
    if (equal(get_item(listed, m[id::use]), m[use]) &&
        equal(get_item(listed, m[id::sha256]),
              get_item(entry, m[id::sha256]))) {
      return;
    }
  }
  report.append(entry);
}

void add_certificates(const Module &m, py::list &report, id::Name use,
                      py::handle texts) {
  if (!PyList_Check(texts.ptr()) && !PyTuple_Check(texts.ptr())) return;
  for (py::handle text : texts) add_certificate(m, report, use, text);
}

}  // namespace

py::str iso_time(const Module &m, double unix_time) {
  py::object time = m.global(id::time);
  return py::reinterpret_steal<py::str>(
      call_method(time, m[id::strftime], m[id::iso_format],
                  call_method(time, m[id::gmtime], py::float_(unix_time)))
          .release());
}

double wall_now(const Module &m) {
  return seconds_of(call_method(m.global(id::time), m[id::time]));
}

py::object pinned_certificates(const Module &m, py::handle idp_config) {
  py::object certificates = call_method(
      idp_config, m[id::get], m[id::metadata_signing_certs], py::none());
  if (certificates.is_none()) return certificates;
  auto invalid = [&](py::handle why) {
    raise(PyExc_ValueError,
          concat({py::str("Invalid SAML configuration: metadata_signing_certs "
                          "must be a non-empty list of PEM certificates, "),
                  why}));
  };
  if (!PyList_Check(certificates.ptr()) && !PyTuple_Check(certificates.ptr())) {
    invalid(concat({py::str("not "), py::repr(certificates)}));
  }
  py::list pems;
  for (py::handle text : certificates) {
    if (!PyUnicode_Check(text.ptr())) {
      invalid(concat({py::str("not a list holding "), py::repr(text)}));
    }
    try {
      load_certificate(m, text);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      invalid(concat(
          {py::str("and one of them cannot be read: "), format(e.value())}));
    }
    pems.append(call_method(m.global(id::OneLogin_Saml2_Utils),
                            m[id::format_cert], text));
  }
  if (PyList_GET_SIZE(pems.ptr()) == 0) invalid(py::str("not an empty list"));
  return pems;
}

py::object backing_file_path(const Module &m, py::handle idp_config) {
  py::object path = call_method(idp_config, m[id::get],
                                m[id::metadata_backing_file], py::none());
  if (path.is_none()) return path;
  // A NUL would end the path the system sees early: another file.
  if (!PyUnicode_Check(path.ptr()) || PyUnicode_GET_LENGTH(path.ptr()) == 0 ||
      PyUnicode_FindChar(path.ptr(), 0, 0, PyUnicode_GET_LENGTH(path.ptr()),
                         1) != -1) {
    raise(PyExc_ValueError,
          concat({py::str("Invalid SAML configuration: metadata_backing_file "
                          "must be a file path, not "),
                  py::repr(path)}));
  }
  return path;
}

py::object verified_document(const Module &m, py::handle xml,
                             py::handle certificates, bool reject_deprecated,
                             double now, Validity &validity) {
  py::object root =
      call_method(m.global(id::OneLogin_Saml2_XML), m[id::to_etree], xml);
  py::object tag = get_attr(root, m[id::tag]);
  const bool single_entity = equal(tag, m[id::md_entity_descriptor]);
  if (!single_entity && !equal(tag, m[id::md_entities_descriptor])) {
    refuse(
        "its root element is neither an EntityDescriptor nor an "
        "EntitiesDescriptor");
  }
  const Py_ssize_t signatures = length(query(m, root, id::xp_any_signature));
  py::object root_signatures = query(m, root, id::xp_root_signature);
  if (signatures == 0) refuse("it is not signed");
  if (length(root_signatures) == 0) {
    refuse("its root element is not signed (only an element inside it is)");
  }
  if (signatures > 1) refuse("it carries more than one signature");
  py::object signature = get_item(root_signatures, py::int_(0));
  py::object references = query(m, root, id::xp_references, signature);
  if (length(references) != 1) {
    refuse("its signature does not carry exactly one reference");
  }
  check_reference(m, root, signature, get_item(references, py::int_(0)),
                  reject_deprecated);
  verify_signature(m, root, signature, certificates);
  // The enveloped signature is the one part of the root its digest does not
  // cover: whatever is slipped into it (an entity in a ds:Object, read
  // before the signed ones) must not reach the parser, nor be dated from.
  call_method(root, m[id::remove], signature);

  py::object valid_until_text;
  read_validity(m, root, now, validity, valid_until_text);
  if (!single_entity) {
    // The entity the toolkit's parser reads: the first one.
    py::object entities = query(m, root, id::xp_entity);
    if (length(entities) > 0) {
      read_validity(m, get_item(entities, py::int_(0)), now, validity,
                    valid_until_text);
    }
  }
  if (!std::isnan(validity.valid_until) && validity.valid_until <= now) {
    refuse({py::str("it expired: its validUntil "), text_form(valid_until_text),
            py::str(" has passed")});
  }
  // Canonical form without comments: the bytes the digest covered, so a
  // comment cannot cut a value the parser reads in two.
  return call_method_kw(m, m.global(id::etree), m[id::tostring], root,
                        kw<id::method>(m[id::c14n]),
                        kw<id::with_comments>(py::bool_(false)));
}

void write_backing_file(const Module &m, py::handle idp_name, py::handle path,
                        py::handle xml) {
  py::object error;
  try {
    if (!PyBytes_Check(xml.ptr())) raise(PyExc_TypeError, "not bytes");
    const std::string target = file_system_path(path);
    // The bytes object is immutable and held by the caller.
    const char *data = PyBytes_AS_STRING(xml.ptr());
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(xml.ptr()));
    std::string failure;
    PyThreadState *thread = PyEval_SaveThread();
    try {
      failure = write_atomically(target, data, size);
    } catch (const std::exception &e) {
      failure = e.what();
    }
    PyEval_RestoreThread(thread);
    if (failure.empty()) return;
    error = py::str(failure);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    error = format(e.value());
  }
  // The document is in use all the same: only the copy is missing.
  log_text(
      m, id::error,
      {py::str("Failed to write the metadata backing file "), text_form(path),
       py::str(" for "), format(idp_name), py::str(": "), error});
}

py::object read_backing_file(const Module &, py::handle path) {
  const std::string source = file_system_path(path);
  std::string content;
  PyThreadState *thread = PyEval_SaveThread();
  bool read = false;
  int error = 0;
  try {
    read = read_whole(source, content);
    error = errno;
  } catch (const std::bad_alloc &) {
    error = ENOMEM;
  }
  PyEval_RestoreThread(thread);
  if (!read) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  }
  return owned(PyBytes_FromStringAndSize(
      content.data(), static_cast<Py_ssize_t>(content.size())));
}

py::list certificate_report(const Module &m, py::handle saml_settings) {
  py::list report;
  py::object idp = get_or_none(m, saml_settings, id::idp);
  add_certificate(m, report, id::signing, get_or_none(m, idp, id::x509cert));
  py::object multi = get_or_none(m, idp, id::x509certMulti);
  add_certificates(m, report, id::signing, get_or_none(m, multi, id::signing));
  add_certificates(m, report, id::encryption,
                   get_or_none(m, multi, id::encryption));
  add_certificate(
      m, report, id::sp,
      get_or_none(m, get_or_none(m, saml_settings, id::sp), id::x509cert));
  return report;
}

void log_certificate_warnings(const Module &m, py::handle idp_name,
                              py::handle report, double now) {
  constexpr double kWarnAhead = 30 * 24 * 3600;
  for (py::handle entry : report) {
    const double not_after = seconds_of(get_item(entry, m[id::not_after]));
    if (not_after - now > kWarnAhead) continue;
    const bool expired = not_after <= now;
    log_text(m, expired ? id::error : id::warning,
             {py::str("The "), text_form(get_item(entry, m[id::use])),
              py::str(" certificate of IdP "), format(idp_name), py::str(" ("),
              text_form(get_item(entry, m[id::subject])),
              py::str(expired ? ") expired on " : ") expires on "),
              iso_time(m, not_after), py::str(".")});
  }
}

}  // namespace tavrel_saml
