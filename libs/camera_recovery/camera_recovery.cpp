#include "camera_recovery.h"

#include "pyglue/plain_class.h"

namespace camera_recovery {

namespace py = pybind11;

void register_recovery_methods(py::object &cls) {
    (void)cls;  // filled in with the three procedures
}

}  // namespace camera_recovery
