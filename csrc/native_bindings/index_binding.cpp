// Python face of the analyzer and the inverted index. Texts are converted to UTF-8 under the
// interpreter lock, one batch at a time; all analysis, indexing and scoring of the batch then
// runs with the lock released. Results cross back as lists of plain numbers or as raw bytes
// that the Python layer views as arrays: no Python object is made per term.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/Analyzer.h"
#include "index/Checksum.h"
#include "index/InvertedIndex.h"
#include "native_bindings/native_bindings.h"
#include "tokenizer/jieba/Jieba.h"

namespace py = pybind11;

namespace lumo::native::pybind {
namespace {

using index::Analyzer;
using index::InvertedIndex;
using typing::text::jieba::Jieba;

// The UTF-8 text of each item; TypeError for a non-str item and UnicodeEncodeError (for lone
// surrogates) naming the document number `first_number + i`.
std::vector<std::string> Utf8Texts(const py::sequence& items, std::uint64_t first_number, const char* what) {
  std::vector<std::string> texts;
  const auto n = static_cast<std::size_t>(py::len(items));
  texts.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    py::object item = items[i];
    if (!PyUnicode_Check(item.ptr())) {
      throw py::type_error(std::string(what) + " " + std::to_string(first_number + i) + " must be str, not " +
                           std::string(py::str(py::type::handle_of(item).attr("__name__"))));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
    if (data == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        const std::string reason =
            "surrogates not allowed in " + std::string(what) + " " + std::to_string(first_number + i);
        PyUnicodeEncodeError_SetReason(value, reason.c_str());
        PyErr_Restore(type, value, trace);
      }
      throw py::error_already_set();
    }
    texts.emplace_back(data, static_cast<std::size_t>(size));
  }
  return texts;
}

std::string Utf8Text(const py::str& text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

template <class T>
py::bytes AsBytes(const std::vector<T>& v) {
  return py::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

py::list ResultList(const std::vector<index::ScoredDocument>& results) {
  py::list out(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    out[i] = py::make_tuple(results[i].doc, static_cast<double>(results[i].score));
  }
  return out;
}

}  // namespace

void BindIndex(py::module_& m) {
  py::class_<Jieba, std::shared_ptr<Jieba>>(m, "Segmenter", py::module_local())
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&>(),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"), py::arg("idf_path"),
           py::arg("stop_word_path"), py::call_guard<py::gil_scoped_release>());

  py::class_<index::CharTable, std::shared_ptr<index::CharTable>>(m, "CharTable", py::module_local())
      .def_static(
          "from_file",
          [](const std::string& path) { return std::make_shared<index::CharTable>(index::CharTable::FromFile(path)); },
          py::arg("path"))
      .def_static(
          "from_text",
          [](const std::string& text) {
            return std::make_shared<index::CharTable>(index::CharTable::FromText(text, "table"));
          },
          py::arg("text"))
      .def("__len__", &index::CharTable::size)
      .def("map", [](const index::CharTable& t, std::uint32_t cp) { return static_cast<std::uint32_t>(t.Map(cp)); });

  py::class_<Analyzer, std::shared_ptr<Analyzer>>(m, "Analyzer", py::module_local())
      .def(py::init([](std::shared_ptr<Jieba> segmenter, std::shared_ptr<index::CharTable> t2s,
                       std::vector<std::string> stop_words, bool search_mode, bool hmm, float bigram_weight) {
             index::AnalyzerSettings settings;
             settings.mode = search_mode ? index::CutMode::kSearch : index::CutMode::kDefault;
             settings.hmm = hmm;
             if (!(bigram_weight >= 0.0f && bigram_weight <= 1e6f)) {
               throw std::invalid_argument("the bigram weight must be a number from 0 to 1e6");
             }
             settings.bigram_weight = bigram_weight;
             return std::make_shared<Analyzer>(std::move(segmenter), std::move(t2s), std::move(stop_words), settings);
           }),
           py::arg("segmenter"), py::arg("t2s").none(true), py::arg("stop_words"), py::arg("search_mode"),
           py::arg("hmm"), py::arg("bigram_weight"))
      .def("analyze", [](const Analyzer& a, const py::str& text) {
        const std::string utf8 = Utf8Text(text);
        std::vector<std::string> terms;
        {
          py::gil_scoped_release release;
          terms = a.Analyze(utf8);
        }
        return terms;
      });

  py::class_<InvertedIndex, std::shared_ptr<InvertedIndex>>(m, "Index", py::module_local())
      .def(py::init([](double k1, double b) { return std::make_shared<InvertedIndex>(k1, b); }), py::arg("k1"),
           py::arg("b"))
      .def_property_readonly("k1", &InvertedIndex::k1)
      .def_property_readonly("b", &InvertedIndex::b)
      .def(
          "add",
          [](InvertedIndex& self, const Analyzer& analyzer, const py::sequence& texts, unsigned threads) {
            const std::vector<std::string> utf8 = Utf8Texts(texts, self.document_count(), "document");
            py::gil_scoped_release release;
            return self.Add(utf8, analyzer, threads);
          },
          py::arg("analyzer"), py::arg("texts"), py::arg("threads"))
      .def(
          "remove",
          [](InvertedIndex& self, const std::vector<std::uint64_t>& docs) {
            py::gil_scoped_release release;
            self.Remove(docs);
          },
          py::arg("docs"))
      .def(
          "search",
          [](const InvertedIndex& self, const Analyzer& analyzer, const py::str& query, std::size_t k) {
            const std::string utf8 = Utf8Text(query);
            std::vector<index::ScoredDocument> results;
            {
              py::gil_scoped_release release;
              results = self.Search(utf8, analyzer, k);
            }
            return ResultList(results);
          },
          py::arg("analyzer"), py::arg("query"), py::arg("k"))
      .def(
          "search_many",
          [](const InvertedIndex& self, const Analyzer& analyzer, const py::sequence& queries, std::size_t k,
             unsigned threads, bool as_arrays) -> py::object {
            const std::vector<std::string> utf8 = Utf8Texts(queries, 0, "query");
            std::vector<std::vector<index::ScoredDocument>> results;
            {
              py::gil_scoped_release release;
              self.SearchMany(utf8, analyzer, k, threads, results);
            }
            if (!as_arrays) {
              py::list out(results.size());
              for (std::size_t i = 0; i < results.size(); ++i) out[i] = ResultList(results[i]);
              return std::move(out);
            }
            // Rows of k: document numbers (int64, -1 past the last hit) and scores (float32, 0 there).
            std::vector<std::int64_t> docs(results.size() * k, -1);
            std::vector<float> scores(results.size() * k, 0.0f);
            for (std::size_t i = 0; i < results.size(); ++i) {
              for (std::size_t j = 0; j < results[i].size(); ++j) {
                docs[i * k + j] = results[i][j].doc;
                scores[i * k + j] = results[i][j].score;
              }
            }
            return py::make_tuple(AsBytes(docs), AsBytes(scores));
          },
          py::arg("analyzer"), py::arg("queries"), py::arg("k"), py::arg("threads"), py::arg("as_arrays"))
      .def(
          "document_vectors",
          [](const InvertedIndex& self, std::uint64_t first, std::uint64_t end) {
            index::SparseRows rows;
            {
              py::gil_scoped_release release;
              rows = self.DocumentVectors(first, end);
            }
            return py::make_tuple(AsBytes(rows.rows), AsBytes(rows.row_starts), AsBytes(rows.indices),
                                  AsBytes(rows.values));
          },
          py::arg("first"), py::arg("end"))
      .def(
          "query_vector",
          [](const InvertedIndex& self, const Analyzer& analyzer, const py::str& query, bool engine_idf) {
            const std::string utf8 = Utf8Text(query);
            std::vector<std::uint32_t> indices;
            std::vector<float> values;
            {
              py::gil_scoped_release release;
              self.QueryVector(utf8, analyzer, engine_idf, indices, values);
            }
            std::vector<double> wide(values.begin(), values.end());
            return py::make_tuple(indices, wide);
          },
          py::arg("analyzer"), py::arg("query"), py::arg("engine_idf"))
      .def_static(
          "merge",
          [](const std::vector<std::shared_ptr<InvertedIndex>>& parts, double k1, double b) {
            std::vector<const InvertedIndex*> raw;
            for (const auto& part : parts) raw.push_back(part.get());
            py::gil_scoped_release release;
            return std::shared_ptr<InvertedIndex>(InvertedIndex::Merge(raw, k1, b));
          },
          py::arg("parts"), py::arg("k1"), py::arg("b"))
      .def("live_documents", [](const InvertedIndex& self) { return AsBytes(self.LiveDocuments()); })
      .def("is_live", &InvertedIndex::IsLive)
      .def_property_readonly("live_count", &InvertedIndex::live_count)
      .def_property_readonly("document_count", &InvertedIndex::document_count)
      .def_property_readonly("term_count", &InvertedIndex::term_count)
      .def("total_length", &InvertedIndex::total_length, py::arg("field"))
      .def("document_frequency",
           [](const InvertedIndex& self, const std::string& term) { return self.DocumentFrequency(term); })
      .def("document_length",
           [](const InvertedIndex& self, std::uint64_t doc, int field) { return self.DocumentLength(doc, field); });

  m.def("checksum", [](const py::bytes& data) {
    const std::string_view view = data;
    return index::Checksum64(view.data(), view.size());
  });
}

}  // namespace lumo::native::pybind
