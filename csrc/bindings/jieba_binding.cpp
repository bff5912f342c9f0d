// Python face of the tokenizer. Segmenting runs with the interpreter lock released: the native
// tokenizer is read-only after construction and every call keeps its working data local, so
// threads may cut on one object at once. Argument and result conversion hold the lock.
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "bindings/bindings.h"
#include "tokenizer/jieba/Jieba.h"

namespace py = pybind11;

namespace lumo::typing::text::pybind {

void BindJieba(py::module_& m) {
  using jieba::Jieba;
  using Words = std::vector<std::string>;
  // `self` comes in as its holder: an instance made by __new__ without __init__ has no holder,
  // and the holder cast refuses it (RuntimeError). Taken by reference, pybind11 would hand the
  // method uninitialised memory instead.
  using Handle = std::shared_ptr<Jieba>;
  py::class_<Jieba, Handle>(m, "Jieba")
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&>(),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"), py::arg("idf_path"),
           py::arg("stop_word_path"))
      .def(
          "cut",
          [](const Handle& self, const std::string& sentence) {
            Words words;
            self->Cut(sentence, words, true);
            return words;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>())
      .def(
          "cut_for_search",
          [](const Handle& self, const std::string& sentence) {
            Words words;
            self->CutForSearch(sentence, words, true);
            return words;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>());
}

void BindTokenizder(py::module_& m) { BindJieba(m); }

}  // namespace lumo::typing::text::pybind
