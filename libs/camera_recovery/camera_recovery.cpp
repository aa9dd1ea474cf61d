// The recovery procedures run shell commands, pause between them and print
// what the operator must see.  `subprocess`, `time`, `os`, `sys` and `print`
// are looked up in the camera module each time they are used, so patching
// `subprocess.Popen` or replacing the module's `time` redirects every call.

#include "camera_recovery.h"

#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"

namespace camera_recovery {

namespace py = pybind11;
using pyglue::global;

namespace {

const char *const kPowerCycleFailed =
    "Error in KX_Camera. Cant start camera, Please check if Main application is running. Error:";
const char *const kUsbResetFailed =
    "Error in KX_Camera. Cant reset USB, Please check if Camera is attached. Error:";

const char *const kUsbResetProgram = "./libs/usbcam_reset";

// Runs `body`; an exception of the `Exception` family is reported with
// `message` and ends the caller through `sys.exit(1)`.  Exit requests,
// keyboard interrupts and the like pass through untouched.
template <typename Body>
void fatal_on_exception(const char *message, Body body) {
    try {
        try {
            body();
        } catch (py::builtin_exception &e) {
            // pybind11's own C++ exceptions stand for Python ones (TypeError, ...).
            e.set_error();
            throw py::error_already_set();
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        pyglue::print(message, e.value());
        try {
            global("sys").attr("exit")(1);
        } catch (py::error_already_set &exit_request) {
            // Chained as `except ...: sys.exit(1)` would chain it.
            exit_request.value().attr("__context__") = e.value();
            throw;
        }
    }
}

// Runs `command` through the shell and returns its standard output, decoded
// and stripped.  The exit status says nothing the callers act on.
py::object run_shell(py::object command, bool discard_stderr = false) {
    py::object subprocess = global("subprocess");
    py::object process =
        discard_stderr
            ? subprocess.attr("Popen")(command, py::arg("shell") = true,
                                       py::arg("stdout") = subprocess.attr("PIPE"),
                                       py::arg("stderr") = subprocess.attr("DEVNULL"))
            : subprocess.attr("Popen")(command, py::arg("shell") = true,
                                       py::arg("stdout") = subprocess.attr("PIPE"));
    py::object output = process.attr("communicate")()[py::int_(0)];
    return output.attr("decode")("utf-8").attr("strip")();
}

void sleep_seconds(py::object seconds) { global("time").attr("sleep")(seconds); }

void gpio_reset_off(py::object /*self*/) {
    fatal_on_exception(kPowerCycleFailed, [] {
        run_shell(py::str("echo 264 > /sys/class/gpio/export"));
        sleep_seconds(py::int_(1));
        run_shell(py::str("echo out > /sys/class/gpio/gpio264/direction"));
        sleep_seconds(py::int_(1));
        run_shell(py::str("echo 0 > /sys/class/gpio/gpio264/value"));
        sleep_seconds(py::int_(1));
    });
}

void gpio_reset_on(py::object /*self*/) {
    fatal_on_exception(kPowerCycleFailed, [] {
        // Never exported (no earlier power-off this boot) is not worth a word.
        run_shell(py::str("echo 1 > /sys/class/gpio/gpio264/value"), /*discard_stderr=*/true);
        sleep_seconds(py::int_(2));
    });
}

py::object usb_reset_program() {
    py::object os = global("os");
    py::object environ = os.attr("environ");
    if (environ.contains("ROOT_PATH"))
        return os.attr("path").attr("join")(environ["ROOT_PATH"], "libs", "usbcam_reset");
    return py::str(kUsbResetProgram);
}

// Text of `piece` up to its first blank.
py::object first_word(py::handle piece) { return piece.attr("split")(" ")[py::int_(0)]; }

// Vendor and product ID as `usb-devices` lists them: they hold for every
// following line until the next "P:  " line.
struct DeviceIds {
    py::object vendor;
    py::object product;
};

// "P:  Vendor=1ab2 ProdID=cd34 Rev=01.00" gives 1ab2 and cd34.  Fewer than
// three "="-separated pieces raise IndexError.
DeviceIds parse_product_line(py::handle line) {
    py::object pieces = line.attr("split")("P:  ", 1)[py::int_(1)].attr("split")("=");
    return {first_word(pieces[py::int_(1)]), first_word(pieces[py::int_(2)])};
}

void reset_usb_device(const DeviceIds &ids) {
    if (!ids.vendor || !ids.product) {
        // A serial number listed before any device line names no device.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "local variable 'vendor' referenced before assignment");
        throw py::error_already_set();
    }
    // The shell splits this into -v 0x<vendor> -p 0x<product> ...; the two
    // blanks after "-p" make no difference to it.
    py::object command = usb_reset_program() + py::str(" -v 0x") + ids.vendor + py::str(" -p ") +
                         py::str(" 0x") + ids.product + py::str(" --reset-usb --verbose");
    run_shell(command);
    sleep_seconds(py::float_(0.5));
    pyglue::print("USB INIT DONE");
}

void usbreset(py::object /*self*/, py::object serial) {
    fatal_on_exception(kUsbResetFailed, [&serial] {
        py::object lines = run_shell(py::str("usb-devices")).attr("split")("\n");
        sleep_seconds(py::float_(0.5));

        DeviceIds ids;
        for (py::handle line : lines) {
            if (line.attr("startswith")("P:  ").cast<bool>()) ids = parse_product_line(line);
            if (line.contains("SerialNumber=")) {
                py::object listed =
                    line.attr("split")("SerialNumber=", 1)[py::int_(1)].attr("strip")();
                // Every device with this serial number is reset, not only the first.
                if (listed.equal(serial)) reset_usb_device(ids);
            }
        }
    });
}

}  // namespace

void register_recovery_methods(py::object &cls) {
    pyglue::def_method(cls, "gpio_reset_off", &gpio_reset_off);
    pyglue::def_method(cls, "gpio_reset_on", &gpio_reset_on);
    pyglue::def_method(cls, "usbreset", &usbreset, py::arg("serial"));
}

}  // namespace camera_recovery
