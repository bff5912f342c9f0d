#pragma once

// The binding files of the `lumotext._native` module: one Bind function per file, each adding
// its classes to the module. The module entry (module.cpp) calls every one of them.
#include <pybind11/pybind11.h>

namespace lumo::native::pybind {

// The core's typed failures as Python exceptions (errors.cpp); registered before any class.
void RegisterErrors(pybind11::module_& m);

// CharTable, the Traditional-to-Simplified folding table (char_table_binding.cpp).
void BindCharTable(pybind11::module_& m);

// Analyzer, over a `pylumotext.Jieba` segmenter (analyzer_binding.cpp).
void BindAnalyzer(pybind11::module_& m);

// Index (index_binding.cpp).
void BindIndex(pybind11::module_& m);

// fold, the analyzer's character folding on its own (fold_binding.cpp).
void BindFolding(pybind11::module_& m);

// save_index, load_index and check_save_target: the saved-index format (index_directory_binding.cpp).
void BindIndexDirectory(pybind11::module_& m);

// ModelStatistics, parse_model, render_model and ModelMerge (model_file_binding.cpp).
void BindModelFile(pybind11::module_& m);

}  // namespace lumo::native::pybind
