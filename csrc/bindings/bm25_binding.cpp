// Python face of the BM25 encoder: thin, converting only. The string-token overloads are
// registered before the integer ones, so an ambiguous argument (an empty list) takes strings.
#include <pybind11/stl.h>

#include "bindings/bindings.h"
#include "bindings/token_casters.h"
#include "bm25/BM25.h"

namespace py = pybind11;

namespace lumo::typing::text::pybind {

namespace {

// Every method takes `self` through its holder: pybind11 then refuses an instance whose native
// object was never constructed (BM25.__new__(BM25)) with RuntimeError, where a plain reference
// would point at uninitialised memory.
using Self = const std::shared_ptr<BM25>&;

double GetB(Self model) { return model->b(); }
void SetB(Self model, double value) { model->b(value); }
double GetK1(Self model) { return model->k1(); }
void SetK1(Self model, double value) { model->k1(value); }
void Load(Self model, const std::string& text) { model->load(text); }
void Dump(Self model, const std::string& path) { model->dump(path); }

// String tokens are viewed in place, and results go straight from sorted vectors into dicts:
// the same values as the ordered-map members, without a copy of every token and a tree.
// The results point into the arguments, which live until the result has been converted.
void TrainStrings(Self model, const TokenViews& tokens) { model->train(tokens.views); }
void TrainIntegers(Self model, const IntegerTokens& tokens) { model->train(tokens.values); }

StringWeightsResult EncodeDocumentStrings(Self model, const TokenViews& tokens) {
  return {&tokens, model->document_weights(tokens.views)};
}
IntegerWeightsResult EncodeDocumentIntegers(Self model, const IntegerTokens& tokens) {
  return {&tokens, model->document_weights(tokens.values)};
}
StringWeightsResult EncodeQueryStrings(Self model, const TokenViews& tokens) {
  return {&tokens, model->query_weights(tokens.views)};
}
IntegerWeightsResult EncodeQueryIntegers(Self model, const IntegerTokens& tokens) {
  return {&tokens, model->query_weights(tokens.values)};
}

}  // namespace

void BindBM25(py::module_& m) {
  py::class_<BM25, std::shared_ptr<BM25>>(m, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("b", &GetB)
      .def("b", &SetB)
      .def("k1", &GetK1)
      .def("k1", &SetK1)
      .def("train", &TrainStrings)
      .def("train", &TrainIntegers)
      // The model file: load takes the document's text, dump a path.
      .def("load", &Load)
      .def("dump", &Dump)
      .def("encode_document", &EncodeDocumentStrings)
      .def("encode_document", &EncodeDocumentIntegers)
      .def("encode_query", &EncodeQueryStrings)
      .def("encode_query", &EncodeQueryIntegers);
}

}  // namespace lumo::typing::text::pybind
