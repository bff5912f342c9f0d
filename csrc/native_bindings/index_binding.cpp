// Python face of the inverted index. Texts are converted to UTF-8 under the
// interpreter lock, one batch at a time; all analysis, indexing and scoring of the batch then
// runs with the lock released. Results cross back as lists of plain numbers or as raw bytes
// that the Python layer views as arrays: no Python object is made per term.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/Analyzer.h"
#include "index/InvertedIndex.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {
namespace {

using index::Analyzer;
using index::InvertedIndex;

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

// Runs work(cancel) on a native thread while the calling thread, without the interpreter lock,
// wakes every few milliseconds to let the interpreter run its signal handlers: a Ctrl-C sets
// `cancel`, which the work polls, and its KeyboardInterrupt is raised when the work has stopped.
template <class Work>
auto RunInterruptible(Work&& work) -> decltype(work(static_cast<const std::atomic<bool>*>(nullptr))) {
  using Result = decltype(work(static_cast<const std::atomic<bool>*>(nullptr)));
  std::atomic<bool> cancel{false};
  std::optional<Result> result;
  std::exception_ptr failure;
  bool done = false, signalled = false;
  std::mutex mutex;
  std::condition_variable finished;
  {
    py::gil_scoped_release release;
    std::thread worker([&] {
      try {
        result.emplace(work(&cancel));
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard<std::mutex> guard(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(20), [&] { return done; })) {
      if (signalled) continue;
      lock.unlock();
      {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) signalled = true;  // the exception stays set for below
      }
      if (signalled) cancel.store(true);
      lock.lock();
    }
    lock.unlock();
    worker.join();
  }
  if (signalled) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

py::list ResultList(const std::vector<index::ScoredDocument>& results) {
  py::list out(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    out[i] = py::make_tuple(results[i].doc, static_cast<double>(results[i].score));
  }
  return out;
}

// A search runs on the calling thread only while live documents times query bytes stays within
// this (100,000 documents and a query of 64 bytes): it then ends well within a Ctrl-C's
// patience, and a thread per call would cost more than the search. Longer work runs where a
// Ctrl-C stops it, whatever the index's size.
constexpr std::uint64_t kInlineSearchWork = std::uint64_t{100000} * 64;
// Up to this many bytes of text an add runs on the calling thread, for the same reasons.
constexpr std::size_t kInlineAddBytes = 1 << 16;

std::size_t CheckedArraySize(std::size_t queries, std::size_t k) {
  // Two arrays of 12 bytes per entry together; refuse before anything is allocated.
  if (queries != 0 && k > (std::size_t{1} << 28) / queries) {
    throw index::InvalidArgument("k x queries is too large for result arrays (" + std::to_string(k) + " x " +
                                 std::to_string(queries) + ")");
  }
  return queries * k;
}

// A stored record as (text, id or None, metadata JSON text or None).
py::tuple RecordTuple(const index::StoredDocument& record) {
  auto optional = [](const std::string& value) -> py::object {
    if (value.empty()) return py::none();
    return py::str(value);
  };
  return py::make_tuple(py::str(record.text), optional(record.id), optional(record.metadata));
}

}  // namespace

void BindIndex(py::module_& m) {
  // The index's limits, for the Python layer and the command line to state, never to repeat.
  m.attr("LARGEST_K") = py::int_(index::kLargestK);
  m.attr("LARGEST_K1") = py::float_(index::kLargestK1);
  m.attr("PRUNE_FROM_DOCUMENTS") = py::int_(index::kPruneFromDocuments);
  py::class_<InvertedIndex, std::shared_ptr<InvertedIndex>>(m, "Index", py::module_local())
      .def(py::init([](double k1, double b, bool store) { return std::make_shared<InvertedIndex>(k1, b, store); }),
           py::arg("k1"), py::arg("b"), py::arg("store"))
      .def_property_readonly("stores_documents", &InvertedIndex::stores_documents)
      .def("check_stores_documents", &InvertedIndex::CheckStoresDocuments)
      .def_property_readonly("k1", &InvertedIndex::k1)
      .def_property_readonly("b", &InvertedIndex::b)
      .def(
          "add",
          [](InvertedIndex& self, const Analyzer& analyzer, const py::sequence& texts, unsigned threads,
             std::vector<std::string> ids, std::vector<std::string> metadata) {
            const std::vector<std::string> utf8 = Utf8Texts(texts, self.document_count(), "document");
            const index::DocumentFields fields{std::move(ids), std::move(metadata)};
            std::size_t bytes = 0;
            for (const std::string& text : utf8) bytes += text.size();
            if (bytes <= kInlineAddBytes) {
              py::gil_scoped_release release;
              return self.Add(utf8, analyzer, threads, nullptr, &fields);
            }
            return RunInterruptible(
                [&](const std::atomic<bool>* cancel) { return self.Add(utf8, analyzer, threads, cancel, &fields); });
          },
          py::arg("analyzer"), py::arg("texts"), py::arg("threads"), py::arg("ids"), py::arg("metadata"))
      .def(
          "document",
          [](const InvertedIndex& self, std::uint64_t doc) {
            index::StoredDocument record;
            {
              py::gil_scoped_release release;
              record = self.Document(doc);
            }
            return RecordTuple(record);
          },
          py::arg("doc"))
      // The records of the listed documents, None for one no longer live (removed since a search
      // found it).
      .def(
          "documents",
          [](const InvertedIndex& self, const std::vector<std::uint64_t>& docs) {
            std::vector<std::optional<index::StoredDocument>> records(docs.size());
            {
              py::gil_scoped_release release;
              for (std::size_t i = 0; i < docs.size(); ++i) {
                try {
                  records[i] = self.Document(docs[i]);
                } catch (const index::UnknownDocument&) {
                }
              }
            }
            py::list out(records.size());
            for (std::size_t i = 0; i < records.size(); ++i) {
              out[i] = records[i] ? py::object(RecordTuple(*records[i])) : py::object(py::none());
            }
            return out;
          },
          py::arg("docs"))
      .def("merge_all_segments",
           [](InvertedIndex& self) {
             RunInterruptible([&](const std::atomic<bool>* cancel) {
               self.MergeAllSegments(cancel);
               return true;
             });
           })
      .def(
          "find_ids",
          [](const InvertedIndex& self, const std::vector<std::string>& ids) {
            py::gil_scoped_release release;
            return self.FindIds(ids);
          },
          py::arg("ids"))
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
            if (self.live_count() * std::max<std::uint64_t>(utf8.size(), 1) <= kInlineSearchWork) {
              py::gil_scoped_release release;
              results = self.Search(utf8, analyzer, k);
            } else {
              results = RunInterruptible(
                  [&](const std::atomic<bool>* cancel) { return self.Search(utf8, analyzer, k, cancel); });
            }
            return ResultList(results);
          },
          py::arg("analyzer"), py::arg("query"), py::arg("k"))
      .def(
          "search_many",
          [](const InvertedIndex& self, const Analyzer& analyzer, const py::sequence& queries, std::size_t k,
             unsigned threads, bool as_arrays) -> py::object {
            if (k > index::kLargestK)
              throw index::InvalidArgument("k must be at most " + std::to_string(index::kLargestK));
            if (threads > index::kMostThreads) {
              throw index::InvalidArgument("threads must be at most " + std::to_string(index::kMostThreads));
            }
            const std::size_t cells = as_arrays ? CheckedArraySize(static_cast<std::size_t>(py::len(queries)), k) : 0;
            const std::vector<std::string> utf8 = Utf8Texts(queries, 0, "query");
            auto results = RunInterruptible([&](const std::atomic<bool>* cancel) {
              std::vector<std::vector<index::ScoredDocument>> out;
              self.SearchMany(utf8, analyzer, k, threads, out, cancel);
              return out;
            });
            if (!as_arrays) {
              py::list out(results.size());
              for (std::size_t i = 0; i < results.size(); ++i) out[i] = ResultList(results[i]);
              return std::move(out);
            }
            // Rows of k: document numbers (int64, -1 past the last hit) and scores (float32, 0 there).
            std::vector<std::int64_t> docs(cells, -1);
            std::vector<float> scores(cells, 0.0f);
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
          "search_exhaustive",
          [](const InvertedIndex& self, const Analyzer& analyzer, const py::str& query, std::size_t k) {
            const std::string utf8 = Utf8Text(query);
            std::vector<index::ScoredDocument> results;
            {
              py::gil_scoped_release release;
              index::AnalyzedText analyzed;
              analyzer.Analyze(utf8, analyzed);
              results = self.SearchExhaustive(analyzed.terms, k, analyzer.settings().bigram_weight);
            }
            return ResultList(results);
          },
          py::arg("analyzer"), py::arg("query"), py::arg("k"))
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
      .def_property_readonly("live_count", &InvertedIndex::live_count)
      .def_property_readonly("document_count", &InvertedIndex::document_count)
      .def_property_readonly("term_count", &InvertedIndex::term_count)
      .def("total_length", &InvertedIndex::total_length, py::arg("field"))
      .def("document_frequency",
           [](const InvertedIndex& self, const std::string& term) { return self.DocumentFrequency(term); })
      .def("document_length",
           [](const InvertedIndex& self, std::uint64_t doc, int field) { return self.DocumentLength(doc, field); })
      .def("_set_prune_from_documents", &InvertedIndex::set_prune_from_documents, py::arg("documents"))
      .def("engine_stats", [](const InvertedIndex& self) {
        const index::EngineStats stats = self.Stats();
        py::dict out;
        out["segments"] = stats.segments;
        out["postings"] = stats.postings;
        out["segment_bytes"] = stats.segment_bytes;
        out["term_table_bytes"] = stats.term_table_bytes;
        out["store_bytes"] = stats.store_bytes;
        return out;
      });
}

}  // namespace lumo::native::pybind
