#include "grab_thread.h"

#include "pyglue/module_globals.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"

namespace kx_camera_basler {

using pyglue::Scope;
using pyglue::call;
using pyglue::call_function;
using pyglue::checked;
using pyglue::concat;
using pyglue::contains;
using pyglue::get;
using pyglue::interned;
using pyglue::member;
using pyglue::set;
using pyglue::truth;

namespace py = pybind11;
using pyglue::global;

namespace {

// Every name the loop touches per frame, made once per thread.
struct LoopNames {
    py::handle cam = interned("cam");
    py::handle converter = interned("converter");
    py::handle stopCam = interned("stopCam");
    py::handle frame = interned("frame");
    py::handle isInitializing = interned("isInitializing");
    py::handle isActive = interned("isActive");
    py::handle lastTime = interned("lastTime");
    py::handle pylon = interned("pylon");
    py::handle time = interned("time");
    py::handle IsGrabbing = interned("IsGrabbing");
    py::handle RetrieveResult = interned("RetrieveResult");
    py::handle TimeoutHandling_ThrowException = interned("TimeoutHandling_ThrowException");
    py::handle GrabSucceeded = interned("GrabSucceeded");
    py::handle Convert = interned("Convert");
    py::handle GetArray = interned("GetArray");
    py::handle StopGrabbing = interned("StopGrabbing");
};

// A stalled camera is noticed, and a stop request honoured, within this.
const long kRetrieveTimeoutMs = 5000;

// About once a second: the frame's shape and mean brightness, to the log and
// to standard output.  The mean is one pass over a whole frame, so it is
// computed once for both.
void report_frame(py::handle image) {
    py::object mean = global("np").attr("average")(image);
    const py::str text = concat({py::str("Grabbed frame shape : "), py::str(image.attr("shape")),
                                 py::str(", mean of image: "), py::str(mean)});
    global("l").attr("info")(text);
    pyglue::print(text);
}

// `time.time() > self.lastTime + 1`
bool report_due(const Scope &scope, const LoopNames &names, const py::object &one) {
    py::object now = call_function(member(scope.global(names.time), names.time));
    py::object last = scope.attr(names.lastTime);
    if (PyFloat_CheckExact(now.ptr()) && PyFloat_CheckExact(last.ptr()))
        return PyFloat_AS_DOUBLE(now.ptr()) > PyFloat_AS_DOUBLE(last.ptr()) + 1.0;
    py::object due = checked(PyNumber_Add(last.ptr(), one.ptr()));
    return truth(checked(PyObject_RichCompare(now.ptr(), due.ptr(), Py_GT)));
}

void grab_frames(const Scope &scope, const LoopNames &names) {
    const py::object timeout = py::int_(kRetrieveTimeoutMs);
    const py::object one = py::int_(1);
    for (;;) {
        // One camera object per round: the frame comes from the camera just
        // asked whether it is grabbing.
        py::object cam = scope.attr(names.cam);
        if (!truth(call(cam, names.IsGrabbing)) || truth(scope.attr(names.stopCam))) break;
        py::object image;
        {
            // The SDK waits for the frame with the GIL released.
            py::object grab_result = call(cam, names.RetrieveResult, timeout,
                                          member(scope.global(names.pylon), names.TimeoutHandling_ThrowException));
            if (!truth(call(grab_result, names.GrabSucceeded))) continue;
            image = call(call(scope.attr(names.converter), names.Convert, grab_result), names.GetArray);
        }  // the grab buffer goes back to the camera before the next wait

        // The frame first, then the flags: a host that sees isActive True
        // also sees a frame.
        scope.set_attr(names.frame, image);
        scope.set_attr(names.isInitializing, Py_False);
        scope.set_attr(names.isActive, Py_True);

        if (report_due(scope, names, one)) {
            report_frame(image);
            scope.set_attr(names.lastTime, call_function(member(scope.global(names.time), names.time)));
        }
    }
}

void setconverter(py::object self) {
    py::object pylon = global("pylon");
    self.attr("converter") = pylon.attr("ImageFormatConverter")();
    self.attr("converter").attr("OutputPixelFormat") = pylon.attr("PixelType_BGR8packed");
    self.attr("converter").attr("OutputBitAlignment") = pylon.attr("OutputBitAlignment_MsbAligned");
}

// The grab thread's body: frames until the camera stops grabbing, the host
// asks to stop, or the camera fails; the host then sees the flag False and
// decides itself whether to make a new camera object.
void read(py::object self) {
    const LoopNames names;
    const Scope scope(pyglue::this_module(), self);
    try {
        grab_frames(scope, names);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        const py::str reason(e.value());
        if (contains(reason, "TimeoutException"))
            global("l").attr("info")("Sync Camera thread. The program will restart now. Code:637b21");
        else
            global("l").attr("info")(concat({py::str("Sync Camera thread. The program will restart now."), reason}));
        set(self, names.isActive, Py_False);
    }
    try {
        call(get(self, names.cam), names.StopGrabbing);
    } catch (py::error_already_set &) {
        pyglue::print("StopGrabbing did not work.");
    }
    set(self, names.isActive, Py_False);
}

void run(py::object self) {
    // Two threads retrieving from one camera would split its frames between
    // them; the running one has to end first (stop, then join t1).
    py::object running = py::getattr(self, "t1", py::none());
    if (!running.is_none() && truth(running.attr("is_alive")())) {
        PyErr_SetString(PyExc_RuntimeError, "the grab thread of this camera is already running");
        throw py::error_already_set();
    }
    py::object thread = global("threading").attr("Thread")(py::arg("target") = self.attr("read"),
                                                           py::arg("daemon") = false);
    self.attr("t1") = thread;
    thread.attr("start")();
    pyglue::print("starting thread");
}

py::tuple getFlagAndFrame(py::object self) {
    py::object flag = self.attr("isActive");
    py::object frame = self.attr("frame");
    return py::make_tuple(flag, frame);
}

py::object saveFrame(py::object self, py::object savename) {
    return global("cv2").attr("imwrite")(savename, self.attr("frame"));
}

void stop(py::object self) {
    self.attr("stopCam") = true;
    self.attr("isActive") = false;
}

}  // namespace

void register_grab_thread(py::object &cls) {
    pyglue::def_method(cls, "setconverter", &setconverter);
    pyglue::def_method(cls, "read", &read);
    pyglue::def_method(cls, "run", &run);
    pyglue::def_method(cls, "getFlagAndFrame", &getFlagAndFrame);
    pyglue::def_method(cls, "saveFrame", &saveFrame, py::arg("savename"));
    pyglue::def_method(cls, "stop", &stop);
}

}  // namespace kx_camera_basler
