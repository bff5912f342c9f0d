// Python face of the folding table the analyzer maps Traditional characters with: read from a
// file once per process and handed to each analyzer.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "index/CharFolding.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {

void BindCharTable(py::module_& m) {
  py::class_<index::CharTable, std::shared_ptr<index::CharTable>>(m, "CharTable", py::module_local())
      .def_static(
          "from_file",
          [](const std::string& path) { return std::make_shared<index::CharTable>(index::CharTable::FromFile(path)); },
          py::arg("path"));
}

}  // namespace lumo::native::pybind
