#include "camera_setup.h"

#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"

namespace kx_camera_basler {

using pyglue::concat;
using pyglue::equals;
using pyglue::truth;

namespace py = pybind11;
using pyglue::global;

namespace {

void log_info(py::handle text) { global("l").attr("info")(text); }

// One acquisition feature; a camera that lacks it or refuses the value keeps
// its own setting and the next row is still written.
struct FeatureRow {
    const char *feature;
    py::object value;
    bool assigned;  // a parameter of the instant camera itself, not a feature node
    const char *set_line;
    const char *not_set_line;
};

void write_features(py::handle cam, py::object fps, py::object exposure_min, py::object exposure_max,
                    py::object lighttarget) {
    const FeatureRow rows[] = {
        {"AcquisitionMode", py::str("Continuous"), false, "AcquisitionMode was set.", "AcquisitionMode was not set."},
        {"AcquisitionFrameRate", fps, false, "AcquisitionFrameRate was set.", "AcquisitionFrameRate was not set."},
        {"ExposureAuto", py::str("Continuous"), false, "ExposureAuto was set.", "ExposureAuto was not set."},
        {"GainAuto", py::str("Off"), false, "GainAuto was set.", "GainAuto was not set."},
        {"AutoFunctionProfile", py::str("MinimizeExposureTime"), false, "AutoFunctionProfile was set.",
         "AutoFunctionProfile was not set."},
        {"MaxNumBuffer", py::int_(2), true, "MaxNumBuffer was set.", "MaxNumBuffer was not set."},
        {"ExposureMode", py::str("Timed"), false, "ExposureMode was set.", "ExposureMode was not set."},
        {"AutoExposureTimeLowerLimit", exposure_min, false, "AutoExposureTimeLowerLimit was set.",
         "AutoExposureTimeLowerLimit was not set."},
        {"AutoExposureTimeUpperLimit", exposure_max, false, "AutoExposureTimeUpperLimit was set.",
         "AutoExposureTimeUpperLimit was not set."},
        {"AutoTargetBrightness", lighttarget, false, "AutoTargetBrightness was set.",
         "AutoTargetBrightness was not set"},
    };
    for (const FeatureRow &row : rows) {
        bool written = true;
        try {
            if (row.assigned)
                py::setattr(cam, row.feature, row.value);
            else
                cam.attr(row.feature).attr("SetValue")(row.value);
        } catch (py::error_already_set &) {
            written = false;
        }
        log_info(py::str(written ? row.set_line : row.not_set_line));
    }
}

void start_grabbing(py::handle cam, py::handle last_image) {
    try {
        py::object pylon = global("pylon");
        py::object strategy = truth(last_image) ? pylon.attr("GrabStrategy_LatestImageOnly")
                                                : pylon.attr("GrabStrategy_OneByOne");
        cam.attr("StartGrabbing")(strategy);
    } catch (py::error_already_set &) {
        // The grab thread still starts and ends at once on a camera that is
        // not grabbing, leaving the flag False for the host to see.
        log_info(py::str("GrabStrategy was not set."));
    }
}

void init(py::object self, py::object serial, py::object /*width*/, py::object /*height*/,
          py::object /*exposureTime*/, py::object /*GainAuto*/, py::object /*pixelFormat*/, py::object fps,
          py::object exposureMin, py::object exposureMax, py::object lighttarget, py::object gpioreset,
          py::object usbreset, py::object lastImage) {
    py::object tl_factory = global("pylon").attr("TlFactory").attr("GetInstance")();
    self.attr("lastTime") = global("time").attr("time")();
    bool found = false;
    py::object opened_info = py::none();

    py::object devices = tl_factory.attr("EnumerateDevices")();
    for (py::handle dev_info : devices) {
        if (!equals(dev_info.attr("GetSerialNumber")(), serial)) continue;
        try {
            log_info(py::str("Try to open KX-Camera"));
            self.attr("serial") = dev_info.attr("GetSerialNumber")();
            self.attr("modelname") = dev_info.attr("GetModelName")();
            self.attr("type") = dev_info.attr("GetDeviceClass")();
            self.attr("ip") = dev_info.attr("GetIpAddress")();

            // Only USB cameras hang on the switched supply and the USB bus.
            if (equals(self.attr("type"), py::str("BaslerUsb")) && truth(gpioreset)) {
                self.attr("gpio_reset_off")();
                self.attr("gpio_reset_on")();
            }
            if (equals(self.attr("type"), py::str("BaslerUsb")) && truth(usbreset))
                self.attr("usbreset")(serial);

            py::object pylon = global("pylon");
            py::object device = pylon.attr("TlFactory").attr("GetInstance")().attr("CreateFirstDevice")(dev_info);
            self.attr("cam") = pylon.attr("InstantCamera")(device);
            self.attr("cam").attr("Open")();

            py::object cam = self.attr("cam");
            write_features(cam, fps, exposureMin, exposureMax, lighttarget);
            start_grabbing(cam, lastImage);

            self.attr("isActive") = false;
            self.attr("isInitializing") = true;
            self.attr("stopCam") = false;
            self.attr("frame") = py::none();

            self.attr("setconverter")();
            self.attr("fps") = fps;
            found = true;
            opened_info = py::reinterpret_borrow<py::object>(dev_info);
            // One camera per object: a later device with the same serial number
            // would take over `cam` and the identity attributes while this one
            // went on grabbing with no thread to read it.
            break;
        } catch (py::error_already_set &e) {
            // SystemExit from a recovery procedure and the like leave at once.
            if (!e.matches(PyExc_Exception)) throw;
            const py::str reason(e.value());
            global("l").attr("error")(
                concat({py::str("Error in KX_Camera, exception in trying to initialize it, "), reason}));
            pyglue::print(concat({py::str("Error: "), reason}));
        }
    }

    if (!found) {
        const char *message = "Sorry. Your serial was not found. No camera initialized.";
        pyglue::print(message);
        global("l").attr("error")(message);
        // A start-up failure must read as one to whatever restarts the box.
        global("sys").attr("exit")(1);
        return;
    }

    self.attr("run")();

    const py::str announcement =
        concat({py::str("Camera with serial "), py::str(serial), py::str(" was detected. Camera "),
                py::str(opened_info.attr("GetModelName")()), py::str(" is grabbing now.")});
    log_info(announcement);
    pyglue::print(announcement);
}

}  // namespace

void register_camera_setup(py::object &cls) {
    pyglue::def_method(cls, "__init__", &init, py::arg("serial"), py::arg("width") = 1920,
                       py::arg("height") = 1200, py::arg("exposureTime") = 1000, py::arg("GainAuto") = "Once",
                       py::arg("pixelFormat") = "BayerRG8", py::arg("fps") = 25, py::arg("exposureMin") = 27,
                       py::arg("exposureMax") = 35000, py::arg("lighttarget") = 0.35,
                       py::arg("gpioreset") = false, py::arg("usbreset") = false, py::arg("lastImage") = false);
}

}  // namespace kx_camera_basler
