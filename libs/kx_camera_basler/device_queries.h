// What the host asks about cameras: which are attached (listCameras), and an
// open camera's identity, the module version and the camera's temperature.
#pragma once

#include <pybind11/pybind11.h>

namespace kx_camera_basler {

// Module function listCameras.
void register_list_cameras();

// getSerial, getModelName and getIp, in that order.
void register_identity_queries(pybind11::object &cls);

// getVersion and getTemperature, in that order.
void register_status_queries(pybind11::object &cls);

}  // namespace kx_camera_basler
