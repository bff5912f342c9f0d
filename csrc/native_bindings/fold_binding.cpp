// Python face of the analyzer's character folding (index/CharFolding.h), for callers that fold
// text themselves before segmenting it (the command line's `cut --fold`). Thin, converting only.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "index/CharFolding.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {

void BindFolding(py::module_& m) {
  m.def(
      "fold",
      [](const std::string& text, const std::shared_ptr<index::CharTable>& t2s) {
        std::string folded;
        {
          py::gil_scoped_release release;
          index::FoldText(text, t2s.get(), folded);
        }
        return folded;
      },
      py::arg("text"), py::arg("t2s").none(true));
}

}  // namespace lumo::native::pybind
