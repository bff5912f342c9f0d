// Entry of `lumotext._native`, the companion package's native module over the same core as
// `pylumotext`. Each binding file registers its own classes; adding one means one line here and
// one declaration in native_bindings.h.
#include "native_bindings/native_bindings.h"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native parts of the lumotext package (retrieval index and analyzer).";
  lumo::native::pybind::RegisterErrors(m);
  lumo::native::pybind::BindCharTable(m);
  lumo::native::pybind::BindAnalyzer(m);
  lumo::native::pybind::BindIndex(m);
  lumo::native::pybind::BindFolding(m);
  lumo::native::pybind::BindIndexDirectory(m);
  lumo::native::pybind::BindModelFile(m);
}
