// The toolkit's own work per request, less what never changes in a process.
//
// For every response the toolkit compiles the protocol schema (about half
// of its time), compiles some sixty XPath expressions, re-wraps the same
// certificates with textwrap and parses timestamps through strptime. Each
// cache below sits in the toolkit where it looks that work up (its
// `_schema_class` seam, otherwise the class attribute of the function), and
// answers exactly what the toolkit's own function would: any call whose
// shape the fast road does not know, and any failure on it, goes to the
// toolkit's function itself with the arguments as they came.
//
// The caches are the process's, not the module's: every caller of the
// toolkit in the host gets them. Compiled schemas and XPath expressions are
// kept per thread (lxml objects carry an error log and an evaluation lock of
// their own, and a thread never waits for another's); certificate texts are
// shared, being immutable strings. Everything is bounded: nothing taken from
// a posted document can make a cache grow without limit.
#include "toolkit_caches.hpp"

#include <array>
#include <optional>
#include <string>

#include "calls.hpp"
#include "log.hpp"

namespace tavrel_saml {
namespace {

// The toolkit line whose decisions the differential check compared, with
// the caches on and off. Another version runs without them.
constexpr const char *kCheckedVersion = "1.16.";

constexpr Py_ssize_t kXPathsPerThread = 256;
constexpr Py_ssize_t kXPathTextLimit = 1024;
constexpr Py_ssize_t kFormattedCerts = 64;
constexpr Py_ssize_t kCertTextLimit = 16 * 1024;

// What is replaced: the entry in the toolkit class's namespace.
enum Replaced {
  kSchemas,
  kValidateXml,
  kXPath,
  kFormatCert,
  kSamlTime,
  kReplacedCount
};

// Every reference the caches hold; all owned, visited by the collector.
enum Ref {
  kModule,
  kXmlClass,
  kUtilsClass,
  kConstantsClass,
  kXPathClass,
  kElementType,
  kTreeType,
  kElementXPath,    // _Element.xpath
  kNamespaces,      // OneLogin_Saml2_Constants.NSMAP when installed
  kNamespacesCopy,  // and its contents then
  kSchemaFiles,     // frozenset of the toolkit's own schema paths
  kSchemaPrefix,    // join(their directory, "")
  kTimeFormat,
  kTimeFormatFraction,
  kCertsWithHeads,
  kCertsBare,
  kNamespacesKwnames,
  kTagidKwnames,
  kOriginal,                               // class namespace entries
  kForward = kOriginal + kReplacedCount,   // the callables behind them
  kInstalled = kForward + kReplacedCount,  // what is put in their place
  kRefCount = kInstalled + kReplacedCount,
};

struct Caches {
  PyObject_HEAD PyObject *refs[kRefCount];
  bool version_checked;  // the toolkit is of the checked line
};

// The entry of one replaced function in a block of references.
int slot(Ref block, int which) { return static_cast<int>(block) + which; }

Caches &caches_of(PyObject *self) { return *reinterpret_cast<Caches *>(self); }

py::handle ref(const Caches &c, int which) { return c.refs[which]; }

void hold(Caches &c, int which, py::object value) {
  Py_XSETREF(c.refs[which], value.release().ptr());
}

int caches_traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject *object : caches_of(self).refs) Py_VISIT(object);
  return 0;
}

int caches_clear(PyObject *self) {
  for (PyObject *&object : caches_of(self).refs) Py_CLEAR(object);
  return 0;
}

void caches_dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  caches_clear(self);
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot caches_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(&caches_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(&caches_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(&caches_dealloc)},
    {0, nullptr}};

PyType_Spec caches_spec = {"tavrel_saml.saml._ToolkitCaches", sizeof(Caches), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           caches_slots};

Module module_of(const Caches &c) { return Module(ref(c, kModule)); }

// ---------------------------------------------------------------------------
// Calls as they came

// The toolkit's own function, called exactly as the replacement was.
py::object forward(const Caches &c, Replaced which, PyObject *const *args,
                   Py_ssize_t nargsf, PyObject *kwnames) {
  return owned(PyObject_Vectorcall(c.refs[slot(kForward, which)], args,
                                   static_cast<size_t>(nargsf), kwnames));
}

// Binds the arguments of a call to the parameters named, as the toolkit's
// function would; false for a call of another shape (too many arguments, an
// unknown or repeated keyword), which is forwarded to answer for itself.
template <size_t N>
bool bind_arguments(const Module &m, PyObject *const *args, Py_ssize_t nargsf,
                    PyObject *kwnames, const std::array<id::Name, N> &names,
                    std::array<PyObject *, N> &values) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > static_cast<Py_ssize_t>(N)) return false;
  values.fill(nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  const Py_ssize_t nkwargs = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkwargs; ++k) {
    PyObject *name = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    while (i < N && name != m[names[i]].ptr() &&
           PyUnicode_Compare(name, m[names[i]].ptr()) != 0) {
      ++i;
    }
    if (i == N || values[i] != nullptr) return false;
    values[i] = args[nargs + k];
  }
  return true;
}

// Failures of a fast road that the toolkit's own function is asked to
// answer instead. Only ordinary exceptions: an interrupt is not retried.
bool retried(py::error_already_set &e) { return e.matches(PyExc_Exception); }

// The calling thread's compiled objects, (XPath by expression, schema by
// file): kept in the thread's state dict, so that they end with the thread
// and no compiled object is ever used by two threads.
std::pair<py::object, py::object> thread_caches(PyObject *self) {
  PyObject *thread_dict = PyThreadState_GetDict();  // borrowed
  if (thread_dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no thread state dict");
    throw py::error_already_set();
  }
  PyObject *entry = PyDict_GetItemWithError(thread_dict, self);  // borrowed
  py::object held;
  if (entry != nullptr) {
    held = py::reinterpret_borrow<py::object>(entry);
  } else {
    if (PyErr_Occurred()) throw py::error_already_set();
    held = py::make_tuple(py::dict(), py::dict());
    set_item(thread_dict, self, held);
  }
  return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(held.ptr(), 0)),
          py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(held.ptr(), 1))};
}

// ---------------------------------------------------------------------------
// OneLogin_Saml2_XML.query(dom, query, context=None, tagid=None)

// The namespaces the toolkit reads at each query are still the ones the
// compiled expressions were made with.
bool same_namespaces(const Caches &c, const Module &m) {
  PyObject *current =
      _PyType_Lookup(reinterpret_cast<PyTypeObject *>(c.refs[kConstantsClass]),
                     m[id::NSMAP].ptr());  // borrowed
  if (current != c.refs[kNamespaces]) return false;
  const int same =
      PyObject_RichCompareBool(current, c.refs[kNamespacesCopy], Py_EQ);
  if (same < 0) throw py::error_already_set();
  return same == 1;
}

// An element whose `xpath` is lxml's own: `source.xpath(...)` and a compiled
// XPath called on it evaluate alike. (The toolkit's parser makes elements of
// a subclass that filters iteration only.) An ElementTree is left out: its
// `xpath` evaluates on a fake root document.
bool plain_element(const Caches &c, const Module &m, PyObject *source) {
  auto *element_type = reinterpret_cast<PyTypeObject *>(c.refs[kElementType]);
  return PyObject_TypeCheck(source, element_type) &&
         _PyType_Lookup(Py_TYPE(source), m[id::xpath].ptr()) ==
             c.refs[kElementXPath];
}

py::object compiled_xpath(PyObject *self, const Caches &c,
                          PyObject *expression) {
  py::object xpaths = thread_caches(self).first;
  PyObject *found =
      PyDict_GetItemWithError(xpaths.ptr(), expression);  // borrowed
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  PyObject *stack[] = {expression, c.refs[kNamespaces]};
  py::object compiled = owned(PyObject_Vectorcall(c.refs[kXPathClass], stack, 1,
                                                  c.refs[kNamespacesKwnames]));
  if (PyDict_GET_SIZE(xpaths.ptr()) < kXPathsPerThread &&
      PyUnicode_GET_LENGTH(expression) <= kXPathTextLimit) {
    set_item(xpaths, expression, compiled);
  }
  return compiled;
}

py::object query(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                 PyObject *kwnames) {
  const Caches &c = caches_of(self);
  const Module m = module_of(c);
  std::array<PyObject *, 4> arg;
  if (!bind_arguments(m, args, nargsf, kwnames,
                      std::array{id::dom, id::query, id::context, id::tagid},
                      arg) ||
      arg[0] == nullptr || arg[1] == nullptr) {
    return forward(c, kXPath, args, nargsf, kwnames);
  }
  PyObject *context = arg[2] ? arg[2] : Py_None;
  PyObject *tagid = arg[3] ? arg[3] : Py_None;
  PyObject *source = context == Py_None ? arg[0] : context;
  if (!plain_element(c, m, source) || !PyUnicode_CheckExact(arg[1]) ||
      !same_namespaces(c, m)) {
    return forward(c, kXPath, args, nargsf, kwnames);
  }
  try {
    py::object compiled = compiled_xpath(self, c, arg[1]);
    if (tagid == Py_None) return call(compiled, source);
    PyObject *stack[] = {source, tagid};
    return owned(
        PyObject_Vectorcall(compiled.ptr(), stack, 1, c.refs[kTagidKwnames]));
  } catch (py::error_already_set &e) {
    // A syntax or evaluation error: the toolkit's own road raises its own
    // exception for it.
    if (!retried(e)) throw;
  }
  return forward(c, kXPath, args, nargsf, kwnames);
}

// ---------------------------------------------------------------------------
// OneLogin_Saml2_XML._schema_class(tree): the toolkit's seam for the schema
// it validates with, called with the schema file it has just parsed.

py::object schema_class(PyObject *self, PyObject *const *args,
                        Py_ssize_t nargsf, PyObject *kwnames) {
  const Caches &c = caches_of(self);
  const Module m = module_of(c);
  if (PyVectorcall_NARGS(nargsf) != 1 ||
      (kwnames && PyTuple_GET_SIZE(kwnames) > 0) ||
      reinterpret_cast<PyObject *>(Py_TYPE(args[0])) != c.refs[kTreeType]) {
    return forward(c, kSchemas, args, nargsf, kwnames);
  }
  py::object file;
  try {
    file = get_attr(get_attr(args[0], m[id::docinfo]), m[id::URL]);
  } catch (py::error_already_set &e) {
    if (!retried(e)) throw;
    return forward(c, kSchemas, args, nargsf, kwnames);
  }
  // Only the toolkit's own schema files are kept: a handful of keys.
  if (!PyUnicode_CheckExact(file.ptr()) ||
      !contains(ref(c, kSchemaFiles), file)) {
    return forward(c, kSchemas, args, nargsf, kwnames);
  }
  py::object schemas = thread_caches(self).second;
  PyObject *found = PyDict_GetItemWithError(schemas.ptr(), file.ptr());
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object schema = forward(c, kSchemas, args, nargsf, kwnames);
  set_item(schemas, file, schema);
  return schema;
}

// ---------------------------------------------------------------------------
// OneLogin_Saml2_XML.validate_xml(xml, schema, debug=False)
//
// The seam above spares the compiling; this spares the parsing of the
// schema file the toolkit does before it. Only once this thread holds the
// schema compiled through the seam (the first call of a thread goes to the
// toolkit's own function, which fills it), without debug output, and while
// the seam is still this module's.

py::object validate_xml(PyObject *self, PyObject *const *args,
                        Py_ssize_t nargsf, PyObject *kwnames) {
  const Caches &c = caches_of(self);
  const Module m = module_of(c);
  std::array<PyObject *, 3> arg;
  if (!bind_arguments(m, args, nargsf, kwnames,
                      std::array{id::xml, id::schema, id::debug}, arg) ||
      arg[0] == nullptr || arg[1] == nullptr ||
      (arg[2] != nullptr && arg[2] != Py_False && arg[2] != Py_None) ||
      !PyUnicode_CheckExact(arg[1]) ||
      PyUnicode_FindChar(arg[1], '/', 0, PyUnicode_GET_LENGTH(arg[1]), 1) !=
          -1 ||
      _PyType_Lookup(reinterpret_cast<PyTypeObject *>(c.refs[kXmlClass]),
                     m[id::schema_class].ptr()) !=
          c.refs[slot(kInstalled, kSchemas)]) {
    return forward(c, kValidateXml, args, nargsf, kwnames);
  }
  // The path the toolkit opens: join(dirname(__file__), 'schemas', schema).
  py::str file = concat({ref(c, kSchemaPrefix), arg[1]});
  if (!contains(ref(c, kSchemaFiles), file)) {
    return forward(c, kValidateXml, args, nargsf, kwnames);
  }
  PyObject *found = PyDict_GetItemWithError(thread_caches(self).second.ptr(),
                                            file.ptr());  // borrowed
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return forward(c, kValidateXml, args, nargsf, kwnames);
  }
  py::object schema = py::reinterpret_borrow<py::object>(found);
  py::object document;
  try {
    document = call(get_attr(ref(c, kXmlClass), m[id::to_etree]), arg[0]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::reinterpret_borrow<py::object>(m[id::unloaded_xml]);
  }
  if (!truthy(call_method(schema, m[id::validate], document))) {
    return py::reinterpret_borrow<py::object>(m[id::invalid_xml]);
  }
  return document;
}

// ---------------------------------------------------------------------------
// OneLogin_Saml2_Utils.format_cert(cert, heads=True)

// Drops the entry made first: the certificates of the configuration come
// back at once, a burst of others only costs their own formatting.
void drop_oldest(py::handle cache) {
  Py_ssize_t position = 0;
  PyObject *key, *value;  // borrowed
  if (!PyDict_Next(cache.ptr(), &position, &key, &value)) return;
  py::object held = py::reinterpret_borrow<py::object>(key);
  if (PyDict_DelItem(cache.ptr(), held.ptr()) < 0) {
    throw py::error_already_set();
  }
}

py::object format_cert(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                       PyObject *kwnames) {
  const Caches &c = caches_of(self);
  const Module m = module_of(c);
  std::array<PyObject *, 2> arg;
  if (!bind_arguments(m, args, nargsf, kwnames, std::array{id::cert, id::heads},
                      arg) ||
      arg[0] == nullptr || !PyUnicode_CheckExact(arg[0]) ||
      PyUnicode_GET_LENGTH(arg[0]) > kCertTextLimit) {
    return forward(c, kFormatCert, args, nargsf, kwnames);
  }
  PyObject *heads = arg[1] ? arg[1] : Py_True;
  if (heads != Py_True && heads != Py_False) {
    return forward(c, kFormatCert, args, nargsf, kwnames);
  }
  py::handle cache = ref(c, heads == Py_True ? kCertsWithHeads : kCertsBare);
  PyObject *found = PyDict_GetItemWithError(cache.ptr(), arg[0]);  // borrowed
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object formatted = forward(c, kFormatCert, args, nargsf, kwnames);
  if (PyUnicode_CheckExact(formatted.ptr())) {
    if (PyDict_GET_SIZE(cache.ptr()) >= kFormattedCerts) drop_oldest(cache);
    set_item(cache, arg[0], formatted);
  }
  return formatted;
}

// ---------------------------------------------------------------------------
// OneLogin_Saml2_Utils.parse_SAML_to_time(timestr)

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long days_from_civil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

unsigned days_in_month(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30,
                                       31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The unix time of "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DDTHH:MM:SS.ffffffZ"
// (one to six fraction digits, ignored), ASCII digits and a real date and
// time: the texts that the toolkit's first or second strptime format takes
// whole, and whose result is then `calendar.timegm` of those fields. Any
// other text (lower-case letters, leap seconds, other digits, longer
// fractions...) is left to the toolkit's own parsing.
std::optional<long long> plain_saml_time(PyObject *text, bool *fraction) {
  if (!PyUnicode_IS_ASCII(text)) return std::nullopt;
  const auto *s = static_cast<const unsigned char *>(PyUnicode_DATA(text));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length < 20 || length > 27 || s[length - 1] != 'Z') return std::nullopt;
  *fraction = length > 20;
  if (*fraction) {
    if (length < 22 || s[19] != '.') return std::nullopt;
    for (Py_ssize_t i = 20; i < length - 1; ++i) {
      if (s[i] < '0' || s[i] > '9') return std::nullopt;
    }
  }
  static constexpr const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  for (int i = 0; i < 19; ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9';
    if (kShape[i] == 'd' ? !digit : s[i] != kShape[i]) return std::nullopt;
  }
  auto number = [&](int at, int digits) {
    unsigned value = 0;
    for (int i = 0; i < digits; ++i) value = value * 10 + (s[at + i] - '0');
    return value;
  };
  const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2),
                 hour = number(11, 2), minute = number(14, 2),
                 second = number(17, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
         second;
}

// Whether the class attribute `name` is still the object it was when the
// caches were installed.
bool unchanged(const Caches &c, const Module &m, id::Name name, Ref held) {
  return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(c.refs[kUtilsClass]),
                        m[name].ptr()) == c.refs[held];
}

py::object parse_saml_to_time(PyObject *self, PyObject *const *args,
                              Py_ssize_t nargsf, PyObject *kwnames) {
  const Caches &c = caches_of(self);
  const Module m = module_of(c);
  std::array<PyObject *, 1> arg;
  if (!bind_arguments(m, args, nargsf, kwnames, std::array{id::timestr}, arg) ||
      arg[0] == nullptr || !PyUnicode_Check(arg[0])) {
    return forward(c, kSamlTime, args, nargsf, kwnames);
  }
  bool fraction = false;
  std::optional<long long> seconds = plain_saml_time(arg[0], &fraction);
  if (!seconds ||
      !unchanged(c, m, fraction ? id::TIME_FORMAT_2 : id::TIME_FORMAT,
                 fraction ? kTimeFormatFraction : kTimeFormat)) {
    return forward(c, kSamlTime, args, nargsf, kwnames);
  }
  return owned(PyLong_FromLongLong(*seconds));
}

// ---------------------------------------------------------------------------
// Entries

using Road = py::object (*)(PyObject *, PyObject *const *, Py_ssize_t,
                            PyObject *);

template <Road R>
PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                PyObject *kwnames) noexcept {
  try {
    return R(self, args, nargsf, kwnames).release().ptr();
  } catch (...) {
    set_error_from_current_exception();
  }
  return nullptr;
}

template <Road R>
constexpr PyCFunction as_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<R>));
}

// What each cache replaces: the class, the name in its namespace, how the
// toolkit's own entry names itself (module and qualified name of the
// function a staticmethod wraps; null for the schema class, which is
// lxml's XMLSchema itself), and the replacement.
struct Replacement {
  Ref owner;
  id::Name name;
  const char *module;
  const char *qualname;
  PyMethodDef def;
};

Replacement replacements[kReplacedCount] = {
    {kXmlClass,
     id::schema_class,
     nullptr,
     "OneLogin_Saml2_XML._schema_class",
     {"_schema_class", as_function<schema_class>(),
      METH_FASTCALL | METH_KEYWORDS,
      "_schema_class(etree)\n--\n\nThe compiled schema of one of the "
      "toolkit's own schema files, compiled once per thread; lxml's "
      "XMLSchema for anything else."}},
    {kXmlClass,
     id::validate_xml,
     "onelogin.saml2.xml_utils",
     "OneLogin_Saml2_XML.validate_xml",
     {"validate_xml", as_function<validate_xml>(),
      METH_FASTCALL | METH_KEYWORDS,
      "validate_xml(xml, schema, debug=False)\n--\n\nThe document parsed, "
      "or 'unloaded_xml' or 'invalid_xml', the schema compiled once per "
      "thread."}},
    {kXmlClass,
     id::query,
     "onelogin.saml2.xml_utils",
     "OneLogin_Saml2_XML.query",
     {"query", as_function<query>(), METH_FASTCALL | METH_KEYWORDS,
      "query(dom, query, context=None, tagid=None)\n--\n\nThe nodes matching "
      "the XPath expression, the expression compiled once per thread."}},
    {kUtilsClass,
     id::format_cert,
     "onelogin.saml2.utils",
     "OneLogin_Saml2_Utils.format_cert",
     {"format_cert", as_function<format_cert>(), METH_FASTCALL | METH_KEYWORDS,
      "format_cert(cert, heads=True)\n--\n\nThe certificate as the toolkit "
      "formats it, kept for the certificates met last."}},
    {kUtilsClass,
     id::parse_SAML_to_time,
     "onelogin.saml2.utils",
     "OneLogin_Saml2_Utils.parse_SAML_to_time",
     {"parse_SAML_to_time", as_function<parse_saml_to_time>(),
      METH_FASTCALL | METH_KEYWORDS,
      "parse_SAML_to_time(timestr)\n--\n\nThe unix time of a SAML timestamp, "
      "read directly when it has the plain form."}},
};

// ---------------------------------------------------------------------------
// Installing and removing

// The entry of the class's own namespace (not its bases'), or null.
py::object namespace_entry(const Module &m, py::handle cls, id::Name name) {
  py::object namespace_ = get_attr(cls, m[id::dunder_dict]);
  PyObject *value = PyMapping_GetItemString(
      namespace_.ptr(), PyUnicode_AsUTF8(m[name].ptr()));  // new reference
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    return {};
  }
  return py::reinterpret_steal<py::object>(value);
}

void log_info(const Caches &c, const std::string &text) {
  const Module m = module_of(c);
  log_call(m, m.global(id::log), id::info, py::str(text));
}

void log_left_alone(const Caches &c, Replaced which) {
  log_info(c, std::string("Toolkit cache for ") + replacements[which].qualname +
                  " not installed: it is not the toolkit's own function");
}

void install(Caches &c, Replaced which) {
  const Replacement &r = replacements[which];
  if (c.refs[slot(kOriginal, which)] == nullptr) {
    log_left_alone(c, which);
    return;
  }
  const Module m = module_of(c);
  py::object current = namespace_entry(m, ref(c, r.owner), r.name);
  if (current.ptr() == c.refs[slot(kInstalled, which)]) return;
  if (current.ptr() != c.refs[slot(kOriginal, which)]) {
    log_left_alone(c, which);
    return;
  }
  set_attr(ref(c, r.owner), m[r.name], ref(c, slot(kInstalled, which)));
}

void remove(Caches &c, Replaced which) {
  const Replacement &r = replacements[which];
  const Module m = module_of(c);
  py::object current = namespace_entry(m, ref(c, r.owner), r.name);
  if (current && current.ptr() == c.refs[slot(kInstalled, which)]) {
    set_attr(ref(c, r.owner), m[r.name], ref(c, slot(kOriginal, which)));
  }
}

void log_version_refused(const Caches &c, const std::string &why) {
  log_info(c, "Toolkit caches not installed: " + why);
}

PyObject *set_toolkit_caches(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargsf, PyObject *kwnames) noexcept {
  try {
    Caches &c = caches_of(self);
    const Module m = module_of(c);
    std::array<PyObject *, 1> arg;
    if (!bind_arguments(m, args, nargsf, kwnames, std::array{id::enabled},
                        arg) ||
        arg[0] == nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      "set_toolkit_caches() takes exactly one argument, "
                      "'enabled'");
      return nullptr;
    }
    if (!PyBool_Check(arg[0])) {
      PyErr_Format(PyExc_TypeError,
                   "set_toolkit_caches() argument 'enabled' must be bool, "
                   "not %.200s",
                   Py_TYPE(arg[0])->tp_name);
      return nullptr;
    }
    if (!c.version_checked) {  // nothing was ever installed
      if (arg[0] == Py_True) {
        log_version_refused(c, "the toolkit is not of the checked version");
      }
      Py_RETURN_NONE;
    }
    for (int which = 0; which < kReplacedCount; ++which) {
      if (arg[0] == Py_True) {
        install(c, static_cast<Replaced>(which));
      } else {
        remove(c, static_cast<Replaced>(which));
      }
    }
    Py_RETURN_NONE;
  } catch (...) {
    set_error_from_current_exception();
  }
  return nullptr;
}

PyMethodDef set_toolkit_caches_def = {
    "set_toolkit_caches",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&set_toolkit_caches)),
    METH_FASTCALL | METH_KEYWORDS,
    "set_toolkit_caches(enabled)\n--\n\n"
    "Install (True) or remove (False) the caches of the toolkit's work per "
    "request; they are the whole process's."};

// Whether a namespace entry is the toolkit's own: lxml's XMLSchema for the
// schema seam, else a staticmethod whose function names itself as the
// toolkit's.
bool toolkit_own(const Module &m, const Replacement &r, py::handle entry,
                 py::handle schema_type) {
  if (!entry) return false;
  if (r.module == nullptr) return entry.is(schema_type);
  if (Py_TYPE(entry.ptr()) != &PyStaticMethod_Type) return false;
  py::object function = get_attr(entry, m[id::dunder_func]);
  if (!PyFunction_Check(function.ptr())) return false;
  return get_attr(function, m[id::dunder_module]).equal(py::str(r.module)) &&
         get_attr(function, m[id::dunder_qualname]).equal(py::str(r.qualname));
}

// The toolkit's version, or why it could not be read.
std::pair<std::string, bool> toolkit_version() {
  try {
    std::string version = py::module_::import("importlib.metadata")
                              .attr("version")("python3-saml")
                              .cast<std::string>();
    return {version, version.rfind(kCheckedVersion, 0) == 0};
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return {"unknown", false};
  }
}

// Fills the caches from the toolkit and lxml as imported. Raises when the
// toolkit is not laid out as expected; the caller then installs nothing.
void prepare(const Module &m, Caches &c) {
  py::module_ etree = py::module_::import("lxml.etree");
  py::module_ xml_utils = py::module_::import("onelogin.saml2.xml_utils");
  py::module_ os_path = py::module_::import("os.path");
  hold(c, kXmlClass, xml_utils.attr("OneLogin_Saml2_XML"));
  hold(
      c, kUtilsClass,
      py::module_::import("onelogin.saml2.utils").attr("OneLogin_Saml2_Utils"));
  hold(c, kConstantsClass,
       py::module_::import("onelogin.saml2.constants")
           .attr("OneLogin_Saml2_Constants"));
  hold(c, kXPathClass, etree.attr("XPath"));
  hold(c, kElementType, etree.attr("_Element"));
  hold(c, kTreeType, etree.attr("_ElementTree"));
  hold(c, kElementXPath,
       py::reinterpret_borrow<py::object>(_PyType_Lookup(
           reinterpret_cast<PyTypeObject *>(c.refs[kElementType]),
           m[id::xpath].ptr())));
  if (!c.refs[kElementXPath]) {
    PyErr_SetString(PyExc_AttributeError, "lxml's _Element has no xpath");
    throw py::error_already_set();
  }
  py::object namespaces = get_attr(ref(c, kConstantsClass), m[id::NSMAP]);
  hold(c, kNamespacesCopy, py::dict(namespaces));
  hold(c, kNamespaces, namespaces);
  // The paths the toolkit opens: join(dirname(__file__), 'schemas', name).
  py::object directory = os_path.attr("join")(
      os_path.attr("dirname")(get_attr(xml_utils, m[id::dunder_file])),
      "schemas");
  py::list files;
  for (py::handle name : py::module_::import("os").attr("listdir")(directory)) {
    files.append(os_path.attr("join")(directory, name));
  }
  hold(c, kSchemaPrefix, os_path.attr("join")(directory, ""));
  hold(c, kSchemaFiles,
       py::reinterpret_steal<py::object>(
           owned(PyFrozenSet_New(files.ptr())).release()));
  hold(c, kTimeFormat, get_attr(ref(c, kUtilsClass), m[id::TIME_FORMAT]));
  hold(c, kTimeFormatFraction,
       get_attr(ref(c, kUtilsClass), m[id::TIME_FORMAT_2]));
  hold(c, kCertsWithHeads, py::dict());
  hold(c, kCertsBare, py::dict());
  hold(c, kNamespacesKwnames,
       py::make_tuple(py::reinterpret_borrow<py::object>(m[id::namespaces])));
  hold(c, kTagidKwnames,
       py::make_tuple(py::reinterpret_borrow<py::object>(m[id::tagid])));

  py::object module_name = py::str(kModuleName);
  py::object schema_type = etree.attr("XMLSchema");
  for (int which = 0; which < kReplacedCount; ++which) {
    Replacement &r = replacements[which];
    py::object function = owned(PyCFunction_NewEx(
        &r.def, reinterpret_cast<PyObject *>(&c), module_name.ptr()));
    // A staticmethod where the toolkit has one, as it has it; the schema
    // seam holds a class, which the function stands in for unwrapped.
    hold(c, slot(kInstalled, which),
         r.module ? owned(PyStaticMethod_New(function.ptr())) : function);
    py::object original = namespace_entry(m, ref(c, r.owner), r.name);
    if (!toolkit_own(m, r, original, schema_type)) continue;
    hold(c, slot(kForward, which),
         r.module ? get_attr(original, m[id::dunder_func]) : original);
    hold(c, slot(kOriginal, which), original);
  }
}

}  // namespace

py::object make_toolkit_caches(const Module &m) {
  py::object type = owned(PyType_FromSpec(&caches_spec));
  py::object self = owned(
      PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(type.ptr()), 0));
  Caches &c = caches_of(self.ptr());
  hold(c, kModule, py::reinterpret_borrow<py::object>(m.handle()));
  py::object module_name = py::str(kModuleName);
  py::object function = owned(PyCFunction_NewEx(&set_toolkit_caches_def,
                                                self.ptr(), module_name.ptr()));

  auto [version, checked] = toolkit_version();
  if (!checked) {
    log_version_refused(c, "python3-saml " + version +
                               " is not the version they were checked "
                               "against");
    return function;
  }
  try {
    prepare(m, c);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_version_refused(c, std::string("the toolkit is not laid out as "
                                       "expected (") +
                               e.what() + ")");
    return function;
  }
  c.version_checked = true;
  for (int which = 0; which < kReplacedCount; ++which) {
    install(c, static_cast<Replaced>(which));
  }
  return function;
}

}  // namespace tavrel_saml
