// Python's name resolution for code that lives in an extension module.
//
// A Python module reads its imports (`time`, `os`, `AES`, `log`, ...) from its
// globals each time a line runs, so replacing `module.time` or patching
// `subprocess.Popen` redirects every later call.  These helpers give C++ the
// same manners: nothing is cached, every name is looked up when it is used.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

// The module object of the extension this header is compiled into.  Each
// extension is its own shared object with hidden symbols, so each gets its own.
inline py::handle &this_module_slot() {
    static py::handle module;
    return module;
}

// Called once from the module's init function.  The reference is kept for the
// life of the process, as the interpreter keeps imported modules.
inline void bind_module(const py::module_ &m) { this_module_slot() = m.inc_ref(); }

inline py::module_ this_module() {
    return py::reinterpret_borrow<py::module_>(this_module_slot());
}

// The interned Python string for `name`.  Hot paths (a grab loop) look the
// same few names up for every frame; an interned key carries its hash, so a
// lookup costs a dict probe instead of building and hashing a new string.
// Called with the GIL held, which also guards the table.
inline PyObject *interned(const char *name) {
    struct Entry {
        const char *text;
        PyObject *key;
    };
    static std::vector<Entry> *table = new std::vector<Entry>();  // lives as long as the process
    for (const Entry &entry : *table)
        if (entry.text == name || std::strcmp(entry.text, name) == 0) return entry.key;
    PyObject *key = PyUnicode_InternFromString(name);
    if (!key) throw py::error_already_set();
    const char *text = PyUnicode_AsUTF8(key);
    if (!text) {
        Py_DECREF(key);
        throw py::error_already_set();
    }
    table->push_back({text, key});
    return key;
}

// `name` as a line of the module would see it: module globals, then builtins.
inline py::object global(const char *name) {
    PyObject *key = interned(name);
    PyObject *globals = PyModule_GetDict(this_module_slot().ptr());
    PyObject *value = PyDict_GetItemWithError(globals, key);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

// `import name as alias` at module level.
inline py::object import_as(const char *name, const char *alias) {
    py::object module = py::module_::import(name);
    // `import a.b` binds the submodule only with `as`; import() returns the leaf.
    this_module().attr(alias) = module;
    return module;
}

// `from package import name` at module level; `name` may be a submodule.
inline py::object import_from(const char *package, const char *name) {
    py::object parent = py::module_::import(package);
    py::object value = py::hasattr(parent, name)
                           ? parent.attr(name)
                           : py::module_::import((std::string(package) + "." + name).c_str());
    this_module().attr(name) = value;
    return value;
}

// One line on standard output through the interpreter's `print`.
template <typename... Args>
void print(Args &&...args) {
    global("print")(std::forward<Args>(args)...);
}

}  // namespace pyglue
