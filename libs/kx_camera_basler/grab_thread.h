// The grab thread and the host's side of it: the colour converter, the loop
// that retrieves, converts and publishes frames, and frame access.
#pragma once

#include <pybind11/pybind11.h>

namespace kx_camera_basler {

// setconverter, read, run, getFlagAndFrame, saveFrame and stop, in that order.
void register_grab_thread(pybind11::object &cls);

}  // namespace kx_camera_basler
