// The one place where the core's typed failures become Python exceptions. The translator is
// local to this module, so `pylumotext` keeps its own documented behaviour.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <exception>

#include "index/Errors.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {

void RegisterErrors(py::module_& /*m*/) {
  py::register_local_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const index::UnknownDocument& e) {
      py::int_ doc(e.doc());
      PyErr_SetObject(PyExc_KeyError, doc.ptr());
    } catch (const index::FileError& e) {
      // OSError(errno, strerror, filename) picks the subclass (FileNotFoundError, ...) itself.
      py::object exc = py::reinterpret_steal<py::object>(
          PyObject_CallFunction(PyExc_OSError, "isO", e.error_code(), e.reason().c_str(), py::str(e.path()).ptr()));
      if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    } catch (const index::CorruptIndex& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const index::InvalidArgument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const index::StateError& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const index::Interrupted&) {
      // The signal handler has not run yet (the call held no interpreter lock); let it raise.
      if (PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  });
}

}  // namespace lumo::native::pybind
