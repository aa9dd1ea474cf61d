// Classes made the way a `class name:` statement makes them: the only base is
// `object`, instances carry a plain `__dict__`, methods are ordinary functions
// looked up through the class.  Applications read and write instance
// attributes directly, so nothing here may hide them behind descriptors.
#pragma once

#include <cstring>

#include <pybind11/pybind11.h>

#include "module_globals.h"

namespace pyglue {

inline py::object make_plain_class(const char *name, const char *doc = nullptr) {
    py::dict ns;
    ns["__module__"] = this_module().attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object cls = py::module_::import("builtins").attr("type")(
        name, py::make_tuple(py::module_::import("builtins").attr("object")), ns);
    this_module().attr(name) = cls;
    return cls;
}

// Adds `f(self, ...)` as method `name`; `extra` carries py::arg(...) entries
// for the arguments after self.
template <typename F, typename... Extra>
void def_method(py::object &cls, const char *name, F &&f, const Extra &...extra) {
    py::cpp_function method(std::forward<F>(f), py::name(name), py::is_method(cls),
                            py::sibling(py::getattr(cls, name, py::none())), extra...);
    if (std::strcmp(name, "__init__") == 0) {
        // pybind11 takes a function named __init__ for the constructor of one
        // of its own classes; here it is an ordinary method of a plain class.
        py::handle function = py::detail::get_function(method);
        auto record = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(function.ptr()));
        record.get_pointer<py::detail::function_record>()->is_constructor = false;
    }
    py::setattr(cls, name, method);
}

// A module-level function, defined like `def name(...)` in the module body.
template <typename F, typename... Extra>
void def_function(const char *name, F &&f, const Extra &...extra) {
    this_module().def(name, std::forward<F>(f), extra...);
}

}  // namespace pyglue
