// What makes an IdP's metadata trustworthy and watchable: its signature
// checked against certificates pinned out of band, its validity, a copy of
// the last good document on disk, and the certificates it brings.
#pragma once

#include <cmath>
#include <stdexcept>

#include "state.hpp"

namespace tavrel_saml {

// A metadata document that must not be used; `reason` (a str) says why, fit
// for a log line.
struct MetadataRefused : std::runtime_error {
  py::object reason;
  explicit MetadataRefused(py::object why)
      : std::runtime_error("metadata refused"), reason(std::move(why)) {}
};

// "metadata_signing_certs" as a list of PEM texts, or None when unset.
// Anything but a non-empty list of readable certificates is a
// configuration error (ValueError).
py::object pinned_certificates(const Module &m, py::handle idp_config);

// "metadata_backing_file", or None when unset; anything but a non-empty
// str is a configuration error (ValueError).
py::object backing_file_path(const Module &m, py::handle idp_config);

// Unix times read from an accepted document; NaN when it sets none.
struct Validity {
  double valid_until = NAN;
  double cache_until = NAN;  // the fetch time plus its cacheDuration
};

// The document to hand to the toolkit's parser, made from `xml` only when
// its root element carries exactly one enveloped signature that references
// the root and verifies with one of `certificates`: the signed root itself,
// without its signature, serialized without comments, so the parser reads
// exactly what was signed.
// Fills `validity` and refuses a document whose validUntil is at or before
// `now`. Throws MetadataRefused.
py::object verified_document(const Module &m, py::handle xml,
                             py::handle certificates, bool reject_deprecated,
                             double now, Validity &validity);

// Writes `xml` (bytes) to `path` so that no reader ever sees a torn or mixed
// file: a temporary file in the same folder, flushed to disk, renamed over
// the old one, readable and writable by the owner only. A failure is logged
// as an error naming the IdP; it never fails the caller.
void write_backing_file(const Module &m, py::handle idp_name, py::handle path,
                        py::handle xml);

// The bytes of the backing file; OSError when it cannot be read.
py::object read_backing_file(const Module &m, py::handle path);

// The certificates of resolved settings: a list of dicts with "use"
// ("signing", "encryption" or "sp"), "subject", "not_after" (unix time) and
// "sha256" (hex). Certificates that cannot be read are left out; nothing
// here raises for the settings' shape.
py::list certificate_report(const Module &m, py::handle saml_settings);

// A warning for each certificate of `report` that expires within 30 days of
// `now`, an error for each that has expired, naming the IdP.
void log_certificate_warnings(const Module &m, py::handle idp_name,
                              py::handle report, double now);

// time.time(), read through the module's `time`.
double wall_now(const Module &m);

// A unix time as the log shows it: 2026-12-09T01:00:00Z.
py::str iso_time(const Module &m, double unix_time);

}  // namespace tavrel_saml
