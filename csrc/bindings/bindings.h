#pragma once

#include <pybind11/pybind11.h>

namespace lumo::typing::text::pybind {

void BindBM25Impl(pybind11::module_& m);
void BindBM25(pybind11::module_& m);

void BindJieba(pybind11::module_& m);
// Registers the tokenizer classes (the segmenter).
void BindTokenizder(pybind11::module_& m);

}  // namespace lumo::typing::text::pybind
