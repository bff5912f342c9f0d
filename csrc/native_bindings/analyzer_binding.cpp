// Python face of the analyzer. The segmenter is the `pylumotext.Jieba` object itself: that
// module registers the class for every module of the process, so an analyzer and a Jieba over
// the same data share one loaded dictionary.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/Analyzer.h"
#include "index/CharFolding.h"
#include "native_bindings/native_bindings.h"
#include "tokenizer/jieba/Jieba.h"

namespace py = pybind11;

namespace lumo::native::pybind {

void BindAnalyzer(py::module_& m) {
  using index::Analyzer;
  using typing::text::jieba::Jieba;
  // Registered by `pylumotext`; importing it first makes the argument type known here.
  py::module_::import("pylumotext");

  // The term rules of a new analyzer; an index saved under older ones names its own.
  m.attr("TERM_RULES") = static_cast<int>(index::kNewestTermRules);

  py::class_<Analyzer, std::shared_ptr<Analyzer>>(m, "Analyzer", py::module_local())
      .def(
          py::init([](std::shared_ptr<Jieba> segmenter, std::shared_ptr<index::CharTable> t2s,
                      std::vector<std::string> stop_words, bool search_mode, bool hmm, float bigram_weight, int rules) {
            const index::AnalyzerSettings settings(search_mode ? index::CutMode::kSearch : index::CutMode::kDefault,
                                                   hmm, bigram_weight, index::TermRulesFromNumber(rules));
            return std::make_shared<Analyzer>(std::move(segmenter), std::move(t2s), std::move(stop_words), settings);
          }),
          py::arg("segmenter"), py::arg("t2s").none(true), py::arg("stop_words"), py::arg("search_mode"),
          py::arg("hmm"), py::arg("bigram_weight"), py::arg("rules"))
      .def("analyze", [](const Analyzer& a, const std::string& text) {
        std::vector<std::string> terms;
        {
          py::gil_scoped_release release;
          terms = a.Analyze(text);
        }
        return terms;
      });
}

}  // namespace lumo::native::pybind
