// libs.kx_container: packs a neural-network model (configuration, weights,
// class names and an optional JSON description) into one AES-enciphered
// container file, and unpacks it again for the application to load.

#include <pybind11/pybind11.h>

#include "container_file.h"
#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"
#include "section_cipher.h"

PYBIND11_MODULE(kx_container, m) {
    pyglue::bind_module(m);
    pyglue::import_as("os", "os");
    pyglue::import_as("sys", "sys");
    pyglue::import_as("time", "time");
    pyglue::import_from("Crypto.Cipher", "AES");
    pyglue::import_as("json", "json");

    pybind11::object cls = pyglue::make_plain_class("kx_container", "\n    kx_container format\n    ");
    kx_container::register_section_cipher(cls);
    kx_container::register_container_file(cls);
}
