// Python operations the way a line of Python performs them (`if x:`,
// `a == b`, `obj.name`, `obj.name(...)`), through the plain C calls.  Hot
// loops (a grab loop, a frame handler) run these for every frame, so names
// are given as interned strings (`interned("frame")`) made once, instead of a
// new string for every lookup.
#pragma once

#include <initializer_list>

#include <pybind11/pybind11.h>

#include "module_globals.h"

namespace pyglue {

namespace py = pybind11;

inline py::object checked(PyObject *result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// `if value:`
inline bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// `if a == b:`
inline bool equals(py::handle a, py::handle b) {
    return truth(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

inline py::object get(py::handle obj, py::handle name) { return checked(PyObject_GetAttr(obj.ptr(), name.ptr())); }

inline void set(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

// `module.name`, straight from the module's dictionary when it is a plain
// module (a stand-in object in its place is asked the ordinary way).
inline py::object member(py::handle module, py::handle name) {
    if (PyModule_CheckExact(module.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name.ptr()))
            return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return get(module, name);
}

// `function()`
inline py::object call_function(py::handle function) {
#if PY_VERSION_HEX >= 0x03090000
    return checked(PyObject_CallNoArgs(function.ptr()));
#else
    return checked(PyObject_CallObject(function.ptr(), nullptr));
#endif
}

// `obj.method(args...)`
template <typename... Args>
py::object call(py::handle obj, py::handle method, Args... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject *stack[] = {obj.ptr(), py::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(method.ptr(), stack, 1 + sizeof...(Args), nullptr));
#else
    return checked(PyObject_CallMethodObjArgs(obj.ptr(), method.ptr(), py::handle(args).ptr()..., nullptr));
#endif
}

// The names a method body of the module reads many times: module globals
// (then builtins) and the attributes of its object, resolved through the
// dictionaries that hold them.  The dictionaries themselves live as long as
// the module and the object; the names in them are looked up at each use, so
// replacing `module.pylon` or `obj.frame` is seen at once.  The object's
// class is one of the module's plain classes: no descriptor stands between
// an instance attribute and the instance dictionary.
class Scope {
public:
    Scope(const py::module_ &module, py::handle obj)
        : globals_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module.ptr()))),
          builtins_(py::reinterpret_borrow<py::dict>(PyEval_GetBuiltins())),
          obj_(py::reinterpret_borrow<py::object>(obj)),
          attrs_(checked(PyObject_GenericGetDict(obj.ptr(), nullptr))) {}

    // `name` as a line of the module reads it.
    py::object global(py::handle name) const {
        if (PyObject *value = PyDict_GetItemWithError(globals_.ptr(), name.ptr()))
            return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        if (PyObject *value = PyDict_GetItemWithError(builtins_.ptr(), name.ptr()))
            return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }

    // `obj.name`: an instance attribute straight from the object's
    // dictionary, anything else (a class attribute, or the AttributeError)
    // the ordinary way.
    py::object attr(py::handle name) const {
        if (PyObject *value = PyDict_GetItemWithError(attrs_.ptr(), name.ptr()))
            return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return get(obj_, name);
    }

    // `obj.name = value` for a plain instance attribute.
    void set_attr(py::handle name, py::handle value) const {
        if (PyDict_SetItem(attrs_.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
    }

private:
    py::dict globals_;
    py::dict builtins_;
    py::object obj_;
    py::object attrs_;
};

// `a + b + ...` of str objects: texts from the SDK or the host stay Python
// text, whatever characters they hold.
inline py::str concat(std::initializer_list<py::handle> parts) {
    py::list pieces;
    for (py::handle part : parts) pieces.append(part);
    return py::reinterpret_steal<py::str>(checked(PyUnicode_Join(py::str("").ptr(), pieces.ptr())).release());
}

// `needle in text`
inline bool contains(py::handle text, const char *needle) {
    const int result = PySequence_Contains(text.ptr(), py::str(needle).ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

}  // namespace pyglue
