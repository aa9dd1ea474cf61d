// Construction of a camera object: find the camera by serial number, bring a
// USB camera to a fresh state when asked, open it, write the acquisition
// features, start grabbing and start the grab thread.
#pragma once

#include <pybind11/pybind11.h>

namespace kx_camera_basler {

// __init__.
void register_camera_setup(pybind11::object &cls);

}  // namespace kx_camera_basler
