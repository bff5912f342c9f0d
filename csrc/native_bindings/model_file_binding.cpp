// Python face of the model-file reader, writer and merge (bm25/ModelText.h), for
// lumotext.models: one implementation of the file format for the encoder and the companion.
// Thin, converting only.
#include <pybind11/pybind11.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bm25/ModelText.h"
#include "index/Errors.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {
namespace {

using typing::text::ModelMerge;
using typing::text::ModelStatistics;
using Statistics = std::shared_ptr<ModelStatistics>;

// Tokens are bytes: a model may hold tokens that are not UTF-8.
py::dict TokenCounts(const ModelStatistics& model) {
  py::dict out;
  for (const auto& [token, count] : model.token_frequency) out[py::bytes(token)] = py::int_(count);
  return out;
}

// The reader's failures (its messages, and the JSON parser's number conversions) and the
// merge's overflows are refusals of the caller's text, so they leave as InvalidArgument, after
// the name of the text they concern.
[[noreturn]] void Refuse(const std::string& source, const std::exception& error) {
  throw index::InvalidArgument(source + ": " + error.what());
}

Statistics Parse(const std::string& text, const std::string& source) {
  py::gil_scoped_release unlocked;  // the text is our own copy
  try {
    return std::make_shared<ModelStatistics>(typing::text::ParseModelText(text));
  } catch (const std::runtime_error& error) {
    Refuse(source, error);
  } catch (const std::logic_error& error) {
    Refuse(source, error);
  }
}

void Add(ModelMerge& merge, const ModelStatistics& shard, const std::string& source) {
  try {
    merge.Add(shard);
  } catch (const std::runtime_error& error) {
    Refuse(source, error);
  }
}

py::str Render(const ModelStatistics& model) {
  std::string text;
  {
    py::gil_scoped_release unlocked;
    std::ostringstream out;
    typing::text::WriteModelText(out, model.b, model.doc_count, model.doc_length_average, model.token_frequency,
                                 model.k1);
    text = std::move(out).str();
  }
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace

void BindModelFile(py::module_& m) {
  py::class_<ModelStatistics, Statistics>(m, "ModelStatistics")
      .def_property_readonly("b", [](const ModelStatistics& s) { return s.b; })
      .def_property_readonly("k1", [](const ModelStatistics& s) { return s.k1; })
      .def_property_readonly("doc_count", [](const ModelStatistics& s) { return s.doc_count; })
      .def_property_readonly("doc_length_average", [](const ModelStatistics& s) { return s.doc_length_average; })
      .def_property_readonly("doc_length_total", [](const ModelStatistics& s) { return s.doc_length_total; })
      .def_property_readonly(
          "can_encode",
          [](const ModelStatistics& s) { return typing::text::CanEncode(s.doc_count, s.doc_length_average); })
      .def("token_counts", &TokenCounts)
      .def("__len__", [](const ModelStatistics& s) { return s.token_frequency.size(); });
  m.def("parse_model", &Parse, py::arg("text"), py::arg("source") = "model");
  m.def("render_model", &Render, py::arg("stats"));
  py::class_<ModelMerge>(m, "ModelMerge")
      .def(py::init<>())
      .def("add", &Add, py::arg("stats"), py::arg("source") = "model")
      .def("__len__", &ModelMerge::size)
      .def("result", [](const ModelMerge& merge) { return std::make_shared<ModelStatistics>(merge.Result()); });
}

}  // namespace lumo::native::pybind
