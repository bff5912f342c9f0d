// The module entry: checks the interpreter, creates `pylumotext` and registers its classes.
// Spelled out by hand (instead of the module macro) so that the version check is our own,
// testable function and the registration order is explicit.
#include <exception>

#include "bindings/VersionCheck.h"
#include "bindings/bindings.h"

namespace lumo::typing::pybind {
namespace {
pybind11::module_::module_def pylumotext_module_def;
}  // namespace

PyObject* InitModule() {
  const char* version = Py_GetVersion();
  if (!IsCompatiblePythonVersion(version)) {
    PyErr_SetString(PyExc_ImportError, PythonVersionMismatchMessage(version).c_str());
    return nullptr;
  }
  pybind11::detail::get_internals();
  // On any failure the half-built module is released by unwinding before the error returns.
  try {
    auto m = pybind11::module_::create_extension_module("pylumotext", nullptr, &pylumotext_module_def);
    text::pybind::BindBM25(m);
    text::pybind::BindJieba(m);
    return m.release().ptr();
  } catch (pybind11::error_already_set& e) {
    pybind11::raise_from(e, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}

}  // namespace lumo::typing::pybind

extern "C" PYBIND11_EXPORT PyObject* PyInit_pylumotext() { return lumo::typing::pybind::InitModule(); }
