// Python face of the BM25 encoder: thin, converting only. The string-token overloads are
// registered before the integer ones, so an ambiguous argument (an empty list) takes strings.
#include <pybind11/stl.h>

#include "bindings/bindings.h"
#include "bm25/BM25.h"

namespace py = pybind11;

namespace lumo::typing::text::pybind {

void BindBM25Impl(py::module_& m) {
  using Strings = std::vector<std::string>;
  using Integers = std::vector<long long>;
  py::class_<BM25, std::shared_ptr<BM25>>(m, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", py::overload_cast<double>(&BM25::b))
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", py::overload_cast<double>(&BM25::k1))
      .def("train", py::overload_cast<const Strings&>(&BM25::train))
      .def("train", py::overload_cast<const Integers&>(&BM25::train))
      // The model file: load takes the document's text, dump a path.
      .def("load", &BM25::load)
      .def("dump", py::overload_cast<const std::string&>(&BM25::dump, py::const_))
      .def("encode_document", py::overload_cast<const Strings&>(&BM25::encode_document, py::const_))
      .def("encode_document", py::overload_cast<const Integers&>(&BM25::encode_document, py::const_))
      .def("encode_query", py::overload_cast<const Strings&>(&BM25::encode_query, py::const_))
      .def("encode_query", py::overload_cast<const Integers&>(&BM25::encode_query, py::const_));
}

void BindBM25(py::module_& m) { BindBM25Impl(m); }

}  // namespace lumo::typing::text::pybind
