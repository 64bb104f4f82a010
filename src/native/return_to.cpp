// The return address after sign-on as a browser follows it. Comparing the
// text of the address is not enough to keep the browser out of the SSO
// routes: it resolves dot segments (also spelled "%2e") before it sends the
// request, and the host's router decodes what it receives, "%2F" included.
#include "return_to.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tavrel_saml {
namespace {

constexpr std::string_view kSsoRoutes = kNameTexts[id::sso_path];

void append_utf8_escaped(std::string &out, Py_UCS4 ch) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // What a browser's string holds in place of half a surrogate pair.
  if (ch >= 0xD800 && ch <= 0xDFFF) ch = 0xFFFD;
  unsigned char bytes[4];
  int count;
  if (ch < 0x800) {
    bytes[0] = 0xC0 | (ch >> 6);
    count = 2;
  } else if (ch < 0x10000) {
    bytes[0] = 0xE0 | (ch >> 12);
    count = 3;
  } else {
    bytes[0] = 0xF0 | (ch >> 18);
    count = 4;
  }
  for (int i = 1; i < count; ++i) {
    bytes[i] = 0x80 | ((ch >> (6 * (count - 1 - i))) & 0x3F);
  }
  for (int i = 0; i < count; ++i) {
    out += '%';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
}

std::string_view utf8(py::handle text) {
  Py_ssize_t size;
  const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<size_t>(size)};
}

char ascii_lower(char ch) { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; }

bool equals_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

bool is_single_dot(std::string_view segment) {
  return segment == "." || equals_folded(segment, "%2e");
}

bool is_double_dot(std::string_view segment) {
  return segment == ".." || equals_folded(segment, ".%2e") ||
         equals_folded(segment, "%2e.") || equals_folded(segment, "%2e%2e");
}

// The path of an absolute URL: after the authority, before "?" or "#".
std::string_view path_of(std::string_view url) {
  size_t start = url.find("://");
  start =
      start == std::string_view::npos ? 0 : url.find_first_of("/?#", start + 3);
  if (start == std::string_view::npos) return "/";
  std::string_view path = url.substr(start);
  path = path.substr(0, path.find_first_of("?#"));
  return path.empty() ? "/" : path;
}

// Dot segments resolved as a browser resolves them; with `merge_slashes`
// also empty segments dropped, as front servers that normalise paths do.
std::string resolved(std::string_view path, bool merge_slashes) {
  std::vector<std::string_view> kept;
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (true) {
    const size_t end = path.find('/');
    const bool last = end == std::string_view::npos;
    std::string_view segment = path.substr(0, end);
    if (is_double_dot(segment)) {
      if (!kept.empty()) kept.pop_back();
      if (last) kept.emplace_back();
    } else if (is_single_dot(segment)) {
      if (last) kept.emplace_back();
    } else if (!(merge_slashes && segment.empty() && !last)) {
      kept.push_back(segment);
    }
    if (last) break;
    path.remove_prefix(end + 1);
  }
  std::string out;
  for (std::string_view segment : kept) {
    out += '/';
    out += segment;
  }
  return out.empty() ? "/" : out;
}

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  ch = ascii_lower(ch);
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

// Percent-decoded once, as a router decodes the path it receives; folded to
// lower case, since the SSO routes are refused in any case.
std::string decoded_folded(std::string_view path) {
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    int high, low;
    if (path[i] == '%' && i + 2 < path.size() &&
        (high = hex_value(path[i + 1])) >= 0 &&
        (low = hex_value(path[i + 2])) >= 0) {
      out += ascii_lower(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out += ascii_lower(path[i]);
    }
  }
  return out;
}

// Each way the site may read the path a browser requests for `url`: as the
// router decodes it, and as a normalising front server passes it on.
std::vector<std::string> readings(std::string_view url) {
  std::string decoded = decoded_folded(resolved(path_of(url), false));
  std::string normalised = resolved(decoded, true);
  return {decoded, normalised};
}

std::string_view without_trailing_slash(std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

py::object as_sent_by_browsers(py::handle url) {
  if (!PyUnicode_Check(url.ptr())) {
    PyErr_Format(PyExc_TypeError, "redirect url must be str, not %.200s",
                 Py_TYPE(url.ptr())->tp_name);
    throw py::error_already_set();
  }
  if (PyUnicode_IS_ASCII(url.ptr()))
    return py::reinterpret_borrow<py::object>(url);
  const int kind = PyUnicode_KIND(url.ptr());
  const void *data = PyUnicode_DATA(url.ptr());
  const Py_ssize_t length = PyUnicode_GET_LENGTH(url.ptr());
  std::string sent;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch < 0x80) {
      sent += static_cast<char>(ch);
    } else {
      append_utf8_escaped(sent, ch);
    }
  }
  return py::str(sent);
}

bool leads_into_sso_routes(py::handle url, py::handle acs_url) {
  // The site's own address is read as the browser sends it too: a Host
  // header or path holding half a surrogate pair cannot be encoded as is.
  const std::vector<std::string> acs =
      readings(utf8(as_sent_by_browsers(acs_url)));
  const std::string_view acs_path = without_trailing_slash(acs.front());
  for (const std::string &path : readings(utf8(url))) {
    if (path.starts_with(kSsoRoutes)) return true;
    if (without_trailing_slash(path) == acs_path) return true;
  }
  return false;
}

}  // namespace tavrel_saml
