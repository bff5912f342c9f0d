// Python face of the BM25 encoder: thin, converting only. The string-token overloads are
// registered before the integer ones, so an ambiguous argument (an empty list) takes strings.
#include <pybind11/stl.h>

#include "bindings/bindings.h"
#include "bindings/token_casters.h"
#include "bm25/BM25.h"

namespace py = pybind11;

namespace lumo::typing::text::pybind {

namespace {

// String tokens are viewed in place, and results go straight from sorted vectors into dicts:
// the same values as the ordered-map members, without a copy of every token and a tree.
// The results point into the arguments, which live until the result has been converted.
void TrainStrings(BM25& model, const TokenViews& tokens) { model.train(tokens.views); }
void TrainIntegers(BM25& model, const IntegerTokens& tokens) { model.train(tokens.values); }

StringWeightsResult EncodeDocumentStrings(const BM25& model, const TokenViews& tokens) {
  return {&tokens, model.document_weights(tokens.views)};
}
IntegerWeightsResult EncodeDocumentIntegers(const BM25& model, const IntegerTokens& tokens) {
  return {&tokens, model.document_weights(tokens.values)};
}
StringWeightsResult EncodeQueryStrings(const BM25& model, const TokenViews& tokens) {
  return {&tokens, model.query_weights(tokens.views)};
}
IntegerWeightsResult EncodeQueryIntegers(const BM25& model, const IntegerTokens& tokens) {
  return {&tokens, model.query_weights(tokens.values)};
}

}  // namespace

void BindBM25Impl(py::module_& m) {
  py::class_<BM25, std::shared_ptr<BM25>>(m, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", py::overload_cast<double>(&BM25::b))
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", py::overload_cast<double>(&BM25::k1))
      .def("train", &TrainStrings)
      .def("train", &TrainIntegers)
      // The model file: load takes the document's text, dump a path.
      .def("load", &BM25::load)
      .def("dump", py::overload_cast<const std::string&>(&BM25::dump, py::const_))
      .def("encode_document", &EncodeDocumentStrings)
      .def("encode_document", &EncodeDocumentIntegers)
      .def("encode_query", &EncodeQueryStrings)
      .def("encode_query", &EncodeQueryIntegers);
}

void BindBM25(py::module_& m) { BindBM25Impl(m); }

}  // namespace lumo::typing::text::pybind
