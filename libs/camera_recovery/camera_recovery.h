// Bringing a camera to a fresh state before it is opened: a power cycle over
// GPIO line 264 and a reset of its USB device.  Both camera modules compile
// this in and carry the procedures as methods of their `kx_camera` class.
#pragma once

#include <pybind11/pybind11.h>

namespace camera_recovery {

// Adds gpio_reset_off, gpio_reset_on and usbreset(serial), in that order.
void register_recovery_methods(pybind11::object &cls);

}  // namespace camera_recovery
