// The logging set-up every device module performs while it is imported:
// `day`, `logdir`, `logfile` and `l`, built from the module's own `os`,
// `datetime` and `log` (the module imports libs.kx_logger as `log` first).
#pragma once

#include <string>

#include "module_globals.h"

namespace pyglue {

inline void setup_module_logging(const char *file_prefix, const char *logger_name) {
    py::module_ m = this_module();
    py::object os = global("os");

    m.attr("day") = global("datetime").attr("date").attr("today")().attr("strftime")("%d_%m_%Y");

    py::object environ = os.attr("environ");
    if (environ.attr("__contains__")("ROOT_PATH").cast<bool>())
        m.attr("logdir") = os.attr("path").attr("join")(environ["ROOT_PATH"], "logs");
    else
        m.attr("logdir") = py::str("./logs");

    os.attr("makedirs")(m.attr("logdir"), py::arg("exist_ok") = true);

    std::string name = file_prefix + m.attr("day").cast<std::string>() + ".log";
    m.attr("logfile") = os.attr("path").attr("join")(m.attr("logdir"), name);

    m.attr("l") = global("log").attr("kx_logger")().attr("createlogger")(logger_name, m.attr("logfile"));
}

}  // namespace pyglue
