// The module frame: what importing `tavrel_saml.saml` binds, in order, and
// the module's life (multi-phase initialisation, its state traversed and
// cleared with it).
#include "idp_config.hpp"
#include "loader.hpp"
#include "log.hpp"
#include "startup_checks.hpp"
#include "toolkit_caches.hpp"
#include "trackers.hpp"

namespace tavrel_saml {
namespace {

// `from module import name`, failing as the statement does.
py::object from_import(const char *module, const char *name) {
  py::object imported = owned(PyImport_ImportModule(module));
  py::object value = get_attr_or_none(imported, py::str(name));
  if (value.is_none()) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                 module);
    throw py::error_already_set();
  }
  return value;
}

void bind(const Module &m, id::Name name, py::handle value) {
  set_attr(m.handle(), m[name], value);
}

// The module body: binds the names in the order a host may rely on.
void exec_module(const Module &m) {
  // pybind11 makes its own state on first need, which may be the first
  // error the module raises: at the recursion limit, or out of memory, that
  // can fail without end. Made here, it is never made on an error path.
  py::detail::get_internals();
  make_state(m);
  make_startup_checks_state(m);
  for (id::Name name :
       {id::contextlib, id::traceback, id::logging, id::time, id::re}) {
    bind(m, name, owned(PyImport_Import(m[name].ptr())));
  }
  bind(m, id::urlparse, from_import("urllib.parse", "urlparse"));
  bind(m, id::random, from_import("random", "random"));
  bind(m, id::OneLogin_Saml2_Auth,
       from_import("onelogin.saml2.auth", "OneLogin_Saml2_Auth"));
  bind(m, id::OneLogin_Saml2_Error,
       from_import("onelogin.saml2.errors", "OneLogin_Saml2_Error"));
  bind(m, id::OneLogin_Saml2_IdPMetadataParser,
       from_import("onelogin.saml2.idp_metadata_parser",
                   "OneLogin_Saml2_IdPMetadataParser"));
  bind(m, id::OneLogin_Saml2_Utils,
       from_import("onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(m, id::UserConfig, from_import("tavrel.configs", "UserConfig"));
  // What checks and reads the IdP's metadata and certificates.
  bind(m, id::xmlsec, owned(PyImport_ImportModule("xmlsec")));
  bind(m, id::etree, owned(PyImport_ImportModule("lxml.etree")));
  bind(m, id::OneLogin_Saml2_XML,
       from_import("onelogin.saml2.xml_utils", "OneLogin_Saml2_XML"));
  bind(m, id::x509, owned(PyImport_ImportModule("cryptography.x509")));
  bind(m, id::hashes,
       owned(PyImport_ImportModule("cryptography.hazmat.primitives.hashes")));
  remember_logger_class(m);
  bind(m, id::log,
       call_method(m.global(id::logging), m[id::getLogger], m[id::tavrel]));

  register_lock_generator(m);
  bind(m, id::SamlAuthLoader, make_loader_class(m));
  for (const TrackerRow *row : kTrackers) register_tracker(m, *row);
  bind(m, id::responses_tracker_mem,
       call(m.global(id::SamlDuplicateResponsesTrackerInMemory)));
  bind(m, id::SamlIDPConfig, make_idp_config_class(m));
  bind(m, id::validate_saml_settings, make_validate_saml_settings(m));
  bind(m, id::set_toolkit_caches, make_toolkit_caches(m));
}

// Failing, the import raises the error as it came (the host's own
// ModuleNotFoundError, the toolkit's ImportError), not one of pybind11's.
int module_exec(PyObject *module) {
  try {
    exec_module(Module(module));
    return 0;
  } catch (...) {
    set_error_from_current_exception(PyExc_ImportError);
  }
  return -1;
}

State *state_of(PyObject *module) {
  return static_cast<State *>(PyModule_GetState(module));
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
  State *state = state_of(module);
  if (state == nullptr) return 0;
  return for_each_reference(*state, [&](PyObject *&object) {
    Py_VISIT(object);
    return 0;
  });
}

int module_clear(PyObject *module) {
  State *state = state_of(module);
  if (state == nullptr) return 0;
  return for_each_reference(*state, [](PyObject *&object) {
    Py_CLEAR(object);
    return 0;
  });
}

void module_free(void *module) {
  module_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // pybind11 keeps process-wide state of its own, and method tables are
    // shared by every module object: one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#ifdef Py_mod_gil
    // Every call is made holding the GIL, and relies on it (the metadata
    // refresh claims its fetch without a lock of its own).
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "saml",       nullptr,
                          sizeof(State),         nullptr,      module_slots,
                          module_traverse,       module_clear, module_free};

}  // namespace
}  // namespace tavrel_saml

extern "C" PYBIND11_EXPORT PyObject *PyInit_saml() {
  return PyModuleDef_Init(&tavrel_saml::module_def);
}
