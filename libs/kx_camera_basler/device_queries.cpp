#include "device_queries.h"

#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"

namespace kx_camera_basler {

using pyglue::concat;
using pyglue::equals;

namespace py = pybind11;
using pyglue::global;

namespace {

py::dict camera_entry(const char *device_class, py::handle dev_info, py::object ip) {
    py::dict entry;
    entry["class"] = device_class;
    entry["modelname"] = dev_info.attr("GetModelName")();
    entry["serial"] = dev_info.attr("GetSerialNumber")();
    entry["ip"] = ip;
    return entry;
}

// Only Basler USB3 and GigE cameras are listed; the SDK may enumerate other
// transport layers (emulation, CoaXPress, ...) as well.
py::list listCameras() {
    py::list cameras;
    py::object devices = global("pylon").attr("TlFactory").attr("GetInstance")().attr("EnumerateDevices")();
    for (py::handle dev_info : devices) {
        if (equals(dev_info.attr("GetDeviceClass")(), py::str("BaslerUsb")))
            cameras.append(camera_entry("BaslerUsb", dev_info, py::none()));
        if (equals(dev_info.attr("GetDeviceClass")(), py::str("BaslerGigE")))
            cameras.append(camera_entry("BaslerGigE", dev_info, dev_info.attr("GetIpAddress")()));
    }
    pyglue::print(concat({py::str("Number of detected Cameras: "), py::str(py::int_(py::len(cameras)))}));
    return cameras;
}

py::object getSerial(py::object self) { return self.attr("serial"); }

py::object getModelName(py::object self) { return self.attr("modelname"); }

py::object getIp(py::object self) { return self.attr("ip"); }

py::object getVersion(py::object /*self*/) { return global("version"); }

py::object getTemperature(py::object self) {
    return self.attr("cam").attr("DeviceTemperature").attr("GetValue")();
}

}  // namespace

void register_list_cameras() { pyglue::def_function("listCameras", &listCameras); }

void register_identity_queries(py::object &cls) {
    pyglue::def_method(cls, "getSerial", &getSerial);
    pyglue::def_method(cls, "getModelName", &getModelName);
    pyglue::def_method(cls, "getIp", &getIp);
}

void register_status_queries(py::object &cls) {
    pyglue::def_method(cls, "getVersion", &getVersion);
    pyglue::def_method(cls, "getTemperature", &getTemperature);
}

}  // namespace kx_camera_basler
