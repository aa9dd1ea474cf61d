// One container section: content padded with spaces to whole AES blocks and
// enciphered in full, or only its first `firstBytes` bytes (the weights).
#pragma once

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace kx_container {
namespace py = pybind11;

// Sections are padded to the smallest multiple of the AES block not below n.
inline std::uint64_t padded_size(std::uint64_t n) { return (n + 15) / 16 * 16; }

// A fresh cipher object for one section: AES-128-CBC from the instance's key
// and vector, through the module's `AES` as it is at the time of the call.
py::object new_cipher(py::handle self);

// `cipher.<method>(data)`; the container layout needs the length kept.
py::bytes apply_cipher(py::handle cipher, const char *method, const char *data, std::size_t size);

// Where data[:self.firstBytes] ends in `length` bytes of section.
std::uint64_t split_point(py::handle self, std::uint64_t length);

// A path argument as open() takes it: str, bytes or os.PathLike.
std::string fs_path(py::handle path);

// The bytes of a contiguous bytes-like object; TypeError for anything else.
std::string bytes_of(py::handle value);

// The padded `data` as a section: enciphered in full, or only up to the split.
py::bytes make_section(py::handle self, py::handle cipher, std::string &padded, bool full);

// __init__, encrypt and encrypt_json, in that order.
void register_section_cipher(py::object &cls);

}  // namespace kx_container
