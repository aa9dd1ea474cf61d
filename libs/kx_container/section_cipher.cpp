#include "section_cipher.h"

#include <cstring>

#include "file_io.h"
#include "pyglue/module_globals.h"
#include "pyglue/os_error.h"
#include "pyglue/plain_class.h"

namespace kx_container {

using pyglue::global;

namespace {

const char *const kKey = "KTPLMQZAVWXJRYUO";
const char *const kIv = "8305719264018453";
const int kFirstBytes = 1024;

void init(py::object self, py::object version) {
    py::object fromhex = global("bytes").attr("fromhex");
    py::object version_bytes = fromhex(version);
    // The version field is one byte wide: anything longer would shift every
    // later field for the reader.
    if (py::len(version_bytes) != 1)
        throw py::value_error("kx_container version must name exactly one byte in hexadecimal, "
                              "such as '01' or '11', not " + py::repr(version).cast<std::string>());
    self.attr("version") = version_bytes;
    self.attr("version_rev") = fromhex("00");
    self.attr("kx_key") = py::bytes(kKey);
    self.attr("kx_iv") = py::bytes(kIv);
    self.attr("firstBytes") = kFirstBytes;
    self.attr("meta") = py::none();
}

py::tuple as_section(py::bytes section) {
    return py::make_tuple(py::len(section), section);
}

py::tuple encrypt(py::object self, py::object data_path, py::object firstBytes) {
    py::object cipher = new_cipher(self);
    std::string path = fs_path(data_path);
    std::string data;
    int err;
    {
        py::gil_scoped_release unlocked;
        kxio::Fd file;
        err = kxio::open_read(path, file);
        if (!err) err = kxio::read_all(file.get(), data);
    }
    pyglue::check_os(err, data_path);
    data.resize(padded_size(data.size()), ' ');
    return as_section(make_section(self, cipher, data, firstBytes.is_none()));
}

py::tuple encrypt_json(py::object self, py::object data, py::object firstBytes) {
    py::object cipher = new_cipher(self);
    std::string content;
    if (PyUnicode_Check(data.ptr())) {
        // Padding counts UTF-8 bytes, so text outside ASCII still makes whole blocks.
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &size);
        if (!utf8) throw py::error_already_set();
        content.assign(utf8, static_cast<std::size_t>(size));
    } else {
        content = bytes_of(data);
    }
    content.resize(padded_size(content.size()), ' ');
    return as_section(make_section(self, cipher, content, firstBytes.is_none()));
}

}  // namespace

py::object new_cipher(py::handle self) {
    py::object aes = global("AES");
    return aes.attr("new")(self.attr("kx_key"), aes.attr("MODE_CBC"), self.attr("kx_iv"));
}

py::bytes apply_cipher(py::handle cipher, const char *method, const char *data, std::size_t size) {
    py::object result = cipher.attr(method)(py::bytes(data, size));
    std::string out = bytes_of(result);
    if (out.size() != size)
        throw py::value_error("the cipher changed the length of a section");
    return py::bytes(out);
}

std::uint64_t split_point(py::handle self, std::uint64_t length) {
    py::object first = self.attr("firstBytes");
    if (first.is_none()) return length;
    if (!PyIndex_Check(first.ptr()))
        throw py::type_error("slice indices must be integers or None or have an __index__ method");
    Py_ssize_t at = PyNumber_AsSsize_t(first.ptr(), nullptr);  // clamps, as slicing does
    if (at == -1 && PyErr_Occurred()) throw py::error_already_set();
    auto signed_length = static_cast<long long>(length);
    if (at < 0) at = static_cast<Py_ssize_t>(std::max(0LL, signed_length + at));
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(at), length);
}

std::string fs_path(py::handle path) {
    PyObject *converted = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &converted)) throw py::error_already_set();
    py::bytes owned = py::reinterpret_steal<py::bytes>(converted);
    return std::string(owned);
}

std::string bytes_of(py::handle value) {
    if (!PyObject_CheckBuffer(value.ptr()))
        throw py::type_error(std::string("a bytes-like object is required, not '") +
                             Py_TYPE(value.ptr())->tp_name + "'");
    // A simple buffer is one contiguous run of bytes; a strided view raises
    // BufferError instead of being read past its end.
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    std::string data(static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return data;
}

py::bytes make_section(py::handle self, py::handle cipher, std::string &padded, bool full) {
    if (full) return apply_cipher(cipher, "encrypt", padded.data(), padded.size());
    std::uint64_t split = split_point(self, padded.size());
    py::bytes head = apply_cipher(cipher, "encrypt", padded.data(), static_cast<std::size_t>(split));
    std::memcpy(&padded[0], PyBytes_AS_STRING(head.ptr()), static_cast<std::size_t>(split));
    return py::bytes(padded);
}

void register_section_cipher(py::object &cls) {
    pyglue::def_method(cls, "__init__", &init, py::arg("version") = "01");
    pyglue::def_method(cls, "encrypt", &encrypt, py::arg("data_path"), py::arg("firstBytes") = py::none());
    pyglue::def_method(cls, "encrypt_json", &encrypt_json, py::arg("data"), py::arg("firstBytes") = py::none());
}

}  // namespace kx_container
