// Failures of system calls reach Python as the interpreter's own OSError
// subclasses (FileNotFoundError, PermissionError, ...), with errno, strerror
// and the file name filled in, exactly as `open()` would report them.
#pragma once

#include <cerrno>

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

[[noreturn]] inline void raise_os_error(int err, py::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

// For work done without the GIL: 0 means success, anything else is an errno.
inline void check_os(int err, py::handle filename) {
    if (err != 0) raise_os_error(err, filename);
}

}  // namespace pyglue
