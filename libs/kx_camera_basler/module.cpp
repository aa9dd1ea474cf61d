// libs.kx_camera_basler: one Basler camera (USB3 or GigE) through the pylon
// SDK.  The constructor finds the camera by serial number, optionally brings
// it to a fresh state, configures it and starts a grab thread that publishes
// the newest frame as an 8-bit BGR array.

#include <pybind11/pybind11.h>

#include "camera_recovery/camera_recovery.h"
#include "camera_setup.h"
#include "device_queries.h"
#include "grab_thread.h"
#include "pyglue/module_globals.h"
#include "pyglue/module_logging.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"

PYBIND11_MODULE(kx_camera_basler, m) {
    pyglue::bind_module(m);
    pyglue::import_from("pypylon", "pylon");
    pyglue::import_as("threading", "threading");
    pyglue::import_as("cv2", "cv2");
    pyglue::import_as("sys", "sys");
    pyglue::import_as("os", "os");
    pyglue::import_as("time", "time");
    pyglue::import_as("datetime", "datetime");
    pyglue::import_as("subprocess", "subprocess");
    pyglue::import_as("numpy", "np");

    pyglue::import_as("libs.kx_logger", "log");
    pyglue::setup_module_logging("kx_camera_basler_", "kx_camera_basler");

    m.attr("version") = "1.0.1";
    pyglue::global("l").attr("info")(
        pyglue::concat({pybind11::str("KX CAMERA BASLER - Version: "), pybind11::str(m.attr("version"))}));

    kx_camera_basler::register_list_cameras();

    // The methods in the order the class lists them: construction, identity,
    // grabbing and frame access, status, recovery.
    pybind11::object cls = pyglue::make_plain_class("kx_camera");
    kx_camera_basler::register_camera_setup(cls);
    kx_camera_basler::register_identity_queries(cls);
    kx_camera_basler::register_grab_thread(cls);
    kx_camera_basler::register_status_queries(cls);
    camera_recovery::register_recovery_methods(cls);
}
