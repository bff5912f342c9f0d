#pragma once

#include <pybind11/pybind11.h>

namespace lumo::typing::text::pybind {

void BindBM25(pybind11::module_& m);
// Registers the segmenter class.
void BindJieba(pybind11::module_& m);

}  // namespace lumo::typing::text::pybind
