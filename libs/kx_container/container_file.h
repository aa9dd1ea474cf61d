// Whole containers: createContainer packs a model into one file,
// extractContainer unpacks one into /tmp, cleanup removes what it unpacked.
#pragma once

#include <pybind11/pybind11.h>

namespace kx_container {

// createContainer, extractContainer and cleanup, in that order.
void register_container_file(pybind11::object &cls);

}  // namespace kx_container
