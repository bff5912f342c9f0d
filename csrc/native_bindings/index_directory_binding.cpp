// Python face of the saved-index format (index/IndexDirectory.h): a save takes the index's
// payload under its lock and writes it with the interpreter lock released; a load hands back the
// index and the analyzer settings' JSON text as saved.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "index/IndexDirectory.h"
#include "index/InvertedIndex.h"
#include "native_bindings/native_bindings.h"

namespace py = pybind11;

namespace lumo::native::pybind {

void BindIndexDirectory(py::module_& m) {
  m.def(
      "save_index",
      [](const std::string& path, const index::InvertedIndex& engine, const std::string& analyzer_json) {
        py::gil_scoped_release release;
        const index::CommitPayload payload = engine.ToCommitPayload();
        index::SaveIndexDirectory(path, {engine.k1(), engine.b(), analyzer_json}, payload);
      },
      py::arg("path"), py::arg("index"), py::arg("analyzer_json"));
  m.def(
      "load_index",
      [](const std::string& path, bool verify) {
        std::shared_ptr<index::InvertedIndex> engine;
        std::string analyzer_json;
        {
          py::gil_scoped_release release;
          const index::LoadedIndexDirectory loaded = index::LoadIndexDirectory(path, verify);
          // A first-format payload holds the same eight arrays an InvertedIndex saves.
          engine = index::InvertedIndex::FromCommitPayload(loaded.payload, loaded.settings.k1, loaded.settings.b);
          analyzer_json = loaded.settings.analyzer_json;
        }
        return py::make_tuple(engine, py::str(analyzer_json));
      },
      py::arg("path"), py::arg("verify"));
  m.def("check_save_target", &index::CheckSaveTarget, py::arg("path"));
}

}  // namespace lumo::native::pybind
