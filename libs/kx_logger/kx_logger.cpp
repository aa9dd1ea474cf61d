// libs.kx_logger: the one place where the device modules get their loggers.
// A thin layer over `logging` that fixes level, handler kind and line format,
// so every log file of the box reads the same.

#include <pybind11/pybind11.h>

#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"

namespace py = pybind11;
using pyglue::global;

namespace {

const char *const kLineFormat = "%(asctime)s - %(name)s - %(levelname)s - %(message)s";

void init(py::object /*self*/) {
    py::object os = global("os");
    if (!pyglue::truth(os.attr("path").attr("exists")("./logs"))) {
        try {
            os.attr("makedirs")("./logs");
        } catch (py::error_already_set &e) {
            // Another process starting at the same moment may have made it.
            if (!e.matches(PyExc_FileExistsError) || !pyglue::truth(os.attr("path").attr("isdir")("./logs")))
                throw;
        }
    }
}

py::object createlogger(py::object /*self*/, py::object vname, py::object logname) {
    py::object logging = global("logging");
    py::object logger = logging.attr("getLogger")(vname);
    logger.attr("setLevel")(logging.attr("DEBUG"));
    py::object handler = logging.attr("FileHandler")(logname);
    handler.attr("setFormatter")(logging.attr("Formatter")(kLineFormat));
    handler.attr("setLevel")(logging.attr("DEBUG"));
    logger.attr("addHandler")(handler);
    return logger;
}

}  // namespace

PYBIND11_MODULE(kx_logger, m) {
    pyglue::bind_module(m);
    pyglue::import_as("logging", "logging");
    pyglue::import_as("os", "os");

    py::object cls = pyglue::make_plain_class("kx_logger");
    pyglue::def_method(cls, "__init__", &init);
    pyglue::def_method(cls, "createlogger", &createlogger, py::arg("vname"), py::arg("logname"));
}
