"""kx_camera_basler against the pylon stand-in (simulated_devices.basler_pylon).

The stand-in replaces the module's `pylon` and offers what the SDK's own
emulation cannot: USB and GigE device classes, temperature, missing and
refusing features, failed grab results, time-outs, unplugging, and grab
starts and stops that fail.
"""
import threading
import types

import cv2
import numpy as np
import pytest

import libs.kx_camera_basler as basler
from simulated_devices import basler_pylon
from tests.basler_helpers import cameras, log_lines, wait_until  # noqa: F401  (fixtures)

SORRY = "Sorry. Your serial was not found. No camera initialized."
SYNC = "Sync Camera thread. The program will restart now."
TIMEOUT_LINE = ("INFO", SYNC + " Code:637b21")
FEATURE_ROWS = ["AcquisitionMode", "AcquisitionFrameRate", "ExposureAuto", "GainAuto", "AutoFunctionProfile",
                "MaxNumBuffer", "ExposureMode", "AutoExposureTimeLowerLimit", "AutoExposureTimeUpperLimit",
                "AutoTargetBrightness"]
SMALL = dict(width=64, height=48)


@pytest.fixture
def world(monkeypatch):
    world = basler_pylon.World(timeout_scale=0.01)
    monkeypatch.setattr(basler, "pylon", world.activate())
    yield world
    basler_pylon.World().activate()


class Gate(object):
    """A frame source whose retrievals block, inside Python, until the gate opens."""

    def __init__(self):
        self.opened = threading.Event()
        self.waiting = threading.Event()
        self.frames = basler_pylon.ready_frames(SMALL["width"], SMALL["height"])

    def __call__(self, index):
        self.waiting.set()
        self.opened.wait()
        return self.frames[index % len(self.frames)]


@pytest.fixture
def gate(cameras):
    # Depends on `cameras`, so it opens before the cameras are stopped and joined.
    gate = Gate()
    yield gate
    gate.opened.set()


def messages(lines, prefix=""):
    return [message for _, message in lines if message.startswith(prefix)]


def finish(cam):
    cam.t1.join(timeout=15)
    assert not cam.t1.is_alive()


# --- module frame -------------------------------------------------------------------------------

def test_module_names_and_class_layout():
    assert [name for name in vars(basler) if not name.startswith("__")] == [
        "pylon", "threading", "cv2", "sys", "os", "time", "datetime", "subprocess", "np",
        "log", "day", "logdir", "logfile", "l", "version", "listCameras", "kx_camera"]
    assert basler.np is np and basler.cv2 is cv2 and basler.log.__name__ == "libs.kx_logger"
    assert basler.kx_camera.__bases__ == (object,)
    assert [name for name in vars(basler.kx_camera) if not name.startswith("__") or name == "__init__"] == [
        "__init__", "getSerial", "getModelName", "getIp", "setconverter", "read", "run", "getFlagAndFrame",
        "saveFrame", "stop", "getVersion", "getTemperature", "gpio_reset_off", "gpio_reset_on", "usbreset"]


class FakeThread(object):
    def __init__(self, calls, **kwargs):
        calls.append(("Thread", kwargs))
        self.calls = calls

    def start(self):
        self.calls.append(("start",))


def fake_sys(calls):
    def exit(*code):
        calls.append(("exit",) + code)
        raise SystemExit(1)
    return types.SimpleNamespace(exit=exit)


def save_with_fake_cv2(cam):
    cam.frame = "the frame"
    assert cam.saveFrame("a.png") == "written"
    return [("imwrite", "a.png", "the frame")]


def run_with_fake_threading(cam):
    assert cam.run() is None
    return [("Thread", {"target": cam.read, "daemon": False}), ("start",)]


def construct_with_fake_sys(cam):
    with pytest.raises(SystemExit):
        basler.kx_camera("no such camera")
    return [("exit", 1)]


@pytest.mark.parametrize("name, fake, act", [
    ("cv2", lambda calls: types.SimpleNamespace(imwrite=lambda *a: calls.append(("imwrite",) + a) or "written"),
     save_with_fake_cv2),
    ("threading", lambda calls: types.SimpleNamespace(Thread=lambda **kw: FakeThread(calls, **kw)),
     run_with_fake_threading),
    ("sys", fake_sys, construct_with_fake_sys),
])
def test_module_globals_are_looked_up_at_each_call(world, monkeypatch, capsys, name, fake, act):
    """A replaced `cv2`, `threading` or `sys` of the module takes every later call."""
    calls = []
    monkeypatch.setattr(basler, name, fake(calls))
    expected = act(basler.kx_camera.__new__(basler.kx_camera))
    assert calls == expected


# --- discovery and device queries ---------------------------------------------------------------

def test_list_cameras_keeps_usb_and_gige_in_order(world, capsys):
    world.add_camera("100", "BaslerUsb", model="acA1920-40uc")
    world.add_camera("150", "BaslerCamEmu")
    world.add_camera("200", "BaslerGigE", model="acA1920-25gc", ip="10.0.0.7")
    world.add_camera("300", "BaslerCoaXPress")
    world.add_camera("400", "BaslerUsb", model="daA1920-30uc", ip="should not show")
    found = basler.listCameras()
    assert found == [
        {"class": "BaslerUsb", "modelname": "acA1920-40uc", "serial": "100", "ip": None},
        {"class": "BaslerGigE", "modelname": "acA1920-25gc", "serial": "200", "ip": "10.0.0.7"},
        {"class": "BaslerUsb", "modelname": "daA1920-30uc", "serial": "400", "ip": None},
    ]
    assert [list(entry) for entry in found] == [["class", "modelname", "serial", "ip"]] * 3
    assert capsys.readouterr().out == "Number of detected Cameras: 3\n"
    assert all(sim.open_calls == 0 for sim in world.cameras)


def test_list_cameras_without_cameras_and_on_enumeration_error(world, capsys):
    assert basler.listCameras() == []
    assert capsys.readouterr().out == "Number of detected Cameras: 0\n"
    world.enumerate_error = True
    with pytest.raises(basler_pylon.RuntimeException):
        basler.listCameras()
    assert capsys.readouterr().out == ""


def test_attributes_and_queries_of_a_constructed_camera(world, cameras):
    gige = world.add_camera("200", "BaslerGigE", model="acA1920-25gc", ip="10.0.0.7", **SMALL)
    world.add_camera("100", "BaslerUsb", **SMALL)
    cam = cameras("200")
    # The attributes appear in the order construction makes them.
    assert list(vars(cam)) == ["lastTime", "serial", "modelname", "type", "ip", "cam", "isActive",
                               "isInitializing", "stopCam", "frame", "converter", "fps", "t1"]
    assert (cam.getSerial(), cam.getModelName(), cam.getIp(), cam.type) == (
        "200", "acA1920-25gc", "10.0.0.7", "BaslerGigE")
    assert cam.getVersion() == basler.version == "1.0.1"
    assert cam.converter.OutputPixelFormat == basler_pylon.PixelType_BGR8packed
    assert cam.converter.OutputBitAlignment == basler_pylon.OutputBitAlignment_MsbAligned
    # The temperature is asked of the camera each time.
    assert cam.getTemperature() == 42.0
    gige.temperature = 55.5
    assert cam.getTemperature() == 55.5
    gige.temperature = None
    with pytest.raises(basler_pylon.LogicalErrorException):
        cam.getTemperature()


def test_usb_camera_keeps_the_address_the_sdk_reports(world, cameras):
    world.add_camera("100", "BaslerUsb", **SMALL)
    assert cameras("100").getIp() == "N/A"


# --- construction -------------------------------------------------------------------------------

def test_only_the_camera_with_that_serial_is_opened(world, cameras, capsys):
    sims = [world.add_camera("100", "BaslerGigE", **SMALL), world.add_camera("200", "BaslerUsb", **SMALL),
            world.add_camera("300", "BaslerUsb", model="daA1920-30uc", **SMALL)]
    cameras("300")
    assert [sim.open_calls for sim in sims] == [0, 0, 1]
    out = capsys.readouterr().out.splitlines()
    assert "Camera with serial 300 was detected. Camera daA1920-30uc is grabbing now." in out


@pytest.mark.parametrize("device_class, gpioreset, usbreset, expected", [
    ("BaslerUsb", True, True, ["gpio_reset_off", "gpio_reset_on", "usbreset"]),
    ("BaslerUsb", True, False, ["gpio_reset_off", "gpio_reset_on"]),
    ("BaslerUsb", False, True, ["usbreset"]),
    ("BaslerUsb", False, False, []),
    ("BaslerGigE", True, True, []),
])
def test_recovery_runs_for_usb_cameras_before_opening(world, cameras, monkeypatch, device_class, gpioreset,
                                                      usbreset, expected):
    sim = world.add_camera("100", device_class, **SMALL)
    calls = []
    for name in ("gpio_reset_off", "gpio_reset_on"):
        monkeypatch.setattr(basler.kx_camera, name,
                            lambda self, name=name: calls.append((name, (), sim.open_calls)))
    monkeypatch.setattr(basler.kx_camera, "usbreset",
                        lambda self, serial: calls.append(("usbreset", (serial,), sim.open_calls)))
    cameras("100", gpioreset=gpioreset, usbreset=usbreset)
    assert [name for name, _, _ in calls] == expected
    # Each before the camera is opened; the reset gets the serial number asked for.
    assert all(opened == 0 for _, _, opened in calls)
    assert all(args == ("100",) for name, args, _ in calls if name == "usbreset")
    assert sim.open_calls == 1


def test_exit_request_from_a_recovery_procedure_leaves_the_constructor(world, monkeypatch, log_lines, capsys):
    world.add_camera("100", "BaslerUsb", **SMALL)

    def failing_reset(self, serial):
        raise SystemExit(1)

    monkeypatch.setattr(basler.kx_camera, "usbreset", failing_reset)
    threads = threading.active_count()
    with pytest.raises(SystemExit) as leaving:
        basler.kx_camera("100", usbreset=True)
    assert leaving.value.code == 1
    assert messages(log_lines(), "Error in KX_Camera") == []
    assert SORRY not in capsys.readouterr().out
    assert threading.active_count() == threads


def test_feature_rows_that_fail_are_reported_and_the_rest_written(world, cameras, log_lines):
    sim = world.add_camera("100", "BaslerUsb", missing=["AutoFunctionProfile"], refuse=["AcquisitionFrameRate"],
                           **SMALL)
    cameras("100", 640, 480, 5000, "Continuous", "Mono8", fps=12.5, exposureMin=30, exposureMax="35000",
            lighttarget=0.5)
    failed = {"AutoFunctionProfile", "AcquisitionFrameRate", "AutoExposureTimeUpperLimit"}  # the last: a str
    expected = [row + (" was not set" if row in failed else " was set") for row in FEATURE_ROWS]
    expected = [line if line == "AutoTargetBrightness was not set" else line + "." for line in expected]
    lines = messages(log_lines())
    start = lines.index("Try to open KX-Camera")
    assert lines[start + 1:start + 11] == expected
    # Values exactly as given; GainAuto is always Off whatever the argument says.
    assert sim.writes == [("AcquisitionMode", "Continuous"), ("ExposureAuto", "Continuous"), ("GainAuto", "Off"),
                          ("MaxNumBuffer", 2), ("ExposureMode", "Timed"), ("AutoExposureTimeLowerLimit", 30),
                          ("AutoTargetBrightness", 0.5)]
    assert type(sim.writes[5][1]) is int  # exposureMin 30 went through as the int it was


def test_every_refused_row_says_so_without_full_stop_only_for_the_last(world, cameras, log_lines):
    world.add_camera("100", "BaslerUsb", refuse=FEATURE_ROWS, **SMALL)
    cameras("100")
    lines = messages(log_lines())
    start = lines.index("Try to open KX-Camera")
    assert lines[start + 1:start + 11] == [row + " was not set." for row in FEATURE_ROWS[:-1]] + [
        "AutoTargetBrightness was not set"]


def recording_recovery(monkeypatch):
    """Replaces the three recovery methods with recorders; returns the list of calls."""
    calls = []
    monkeypatch.setattr(basler.kx_camera, "gpio_reset_off", lambda self: calls.append("gpio_reset_off"))
    monkeypatch.setattr(basler.kx_camera, "gpio_reset_on", lambda self: calls.append("gpio_reset_on"))
    monkeypatch.setattr(basler.kx_camera, "usbreset", lambda self, serial: calls.append(("usbreset", serial)))
    return calls


@pytest.mark.parametrize("args, kwargs, fps, limits, strategy, recovery", [
    # Only the serial number: the defaults.
    (("100",), {}, 25, (27, 35000, 0.35), basler_pylon.GrabStrategy_OneByOne, []),
    # All 13 by position, each value distinct, so that a shifted argument shows.
    (("100", 641, 481, 5001, "Continuous", "Mono8", 12.5, 31, 40001, 0.55, True, True, True), {},
     12.5, (31, 40001, 0.55), basler_pylon.GrabStrategy_LatestImageOnly,
     ["gpio_reset_off", "gpio_reset_on", ("usbreset", "100")]),
    # The flags one at a time, by position.
    (("100",) + (None,) * 5 + (7, 28, 29, 0.1, False, True, False), {},
     7, (28, 29, 0.1), basler_pylon.GrabStrategy_OneByOne, [("usbreset", "100")]),
    (("100",) + (None,) * 5 + (7, 28, 29, 0.1, True, False, False), {},
     7, (28, 29, 0.1), basler_pylon.GrabStrategy_OneByOne, ["gpio_reset_off", "gpio_reset_on"]),
    # The same by keyword, in reverse order.
    (("100",), dict(lastImage=True, usbreset=True, gpioreset=False, lighttarget=0.55, exposureMax=40001,
                    exposureMin=31, fps=12.5), 12.5, (31, 40001, 0.55), basler_pylon.GrabStrategy_LatestImageOnly,
     [("usbreset", "100")]),
], ids=["defaults", "all-positional", "usbreset-positional", "gpioreset-positional", "keywords"])
def test_constructor_arguments_land_where_they_belong(world, cameras, monkeypatch, args, kwargs, fps, limits,
                                                      strategy, recovery):
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    calls = recording_recovery(monkeypatch)
    cam = cameras(*args, **kwargs)
    lower, upper, target = limits
    assert sim.writes == [("AcquisitionMode", "Continuous"), ("AcquisitionFrameRate", fps),
                          ("ExposureAuto", "Continuous"), ("GainAuto", "Off"),
                          ("AutoFunctionProfile", "MinimizeExposureTime"), ("MaxNumBuffer", 2),
                          ("ExposureMode", "Timed"), ("AutoExposureTimeLowerLimit", lower),
                          ("AutoExposureTimeUpperLimit", upper), ("AutoTargetBrightness", target)]
    assert [type(value) for _, value in sim.writes[7:]] == [type(lower), type(upper), type(target)]
    assert cam.fps == fps and type(cam.fps) is type(fps)
    assert sim.strategy == strategy
    assert calls == recovery


def test_constructor_argument_names_in_order(world, capsys):
    """Each position carries its name: a name alone is taken as a keyword (and,
    with no camera attached, ends in the not-found exit), the same argument by
    position and by keyword is refused."""
    names = ["serial", "width", "height", "exposureTime", "GainAuto", "pixelFormat", "fps", "exposureMin",
             "exposureMax", "lighttarget", "gpioreset", "usbreset", "lastImage"]
    for position, name in enumerate(names):
        keywords = {"serial": "x"}
        keywords[name] = "x"
        with pytest.raises(SystemExit):
            basler.kx_camera(**keywords)
        with pytest.raises(TypeError):
            basler.kx_camera(*["x"] * (position + 1), **{name: "x"})
    with pytest.raises(TypeError):
        basler.kx_camera(*["x"] * 14)
    assert capsys.readouterr().out == (SORRY + "\n") * len(names)


@pytest.mark.parametrize("last_image, strategy", [
    (True, basler_pylon.GrabStrategy_LatestImageOnly),
    (False, basler_pylon.GrabStrategy_OneByOne),
])
def test_grab_strategy(world, cameras, last_image, strategy):
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    cameras("100", lastImage=last_image)
    assert sim.strategy == strategy


def test_failed_grab_start_still_starts_the_thread_which_ends_at_once(world, cameras, log_lines, capsys):
    world.add_camera("100", "BaslerUsb", fail_start_grabbing=True, **SMALL)
    cam = cameras("100")
    assert ("INFO", "GrabStrategy was not set.") in log_lines()
    assert "starting thread" in capsys.readouterr().out.splitlines()
    finish(cam)
    assert (cam.isActive, cam.isInitializing, cam.frame) == (False, True, None)
    assert messages(log_lines(), SYNC) == []


def refusing_converter():
    raise basler_pylon.RuntimeException("No converter for this pixel type")


@pytest.mark.parametrize("failure, reason", [
    ("open", "Failed to open device '100'"),
    # The converter is made after the grab start, still inside the constructor's guard.
    ("converter", "No converter for this pixel type"),
])
def test_camera_that_cannot_be_set_up_ends_the_process(world, monkeypatch, log_lines, capsys, failure, reason):
    sim = world.add_camera("100", "BaslerUsb", fail_open=failure == "open", **SMALL)
    if failure == "converter":
        monkeypatch.setattr(basler_pylon, "ImageFormatConverter", refusing_converter)
    threads = threading.active_count()
    with pytest.raises(SystemExit) as leaving:
        basler.kx_camera("100")
    assert leaving.value.code == 1
    out = capsys.readouterr().out.splitlines()
    lines = log_lines()
    level, message = lines[-2]
    text = message[len("Error in KX_Camera, exception in trying to initialize it, "):]
    assert level == "ERROR" and message.startswith("Error in KX_Camera, exception in trying to initialize it, ")
    assert reason in text
    assert out == ["Error: " + text, SORRY]
    assert lines[-1] == ("ERROR", SORRY)
    assert sim.start_grabbing_calls == int(failure == "converter")
    assert threading.active_count() == threads


@pytest.mark.parametrize("where", ["factory", "enumeration", "serial number"])
def test_errors_outside_the_device_guard_leave_the_constructor(world, monkeypatch, log_lines, capsys, where):
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    failure = basler_pylon.RuntimeException("transport layer gone")

    def fail(*args):
        raise failure

    if where == "factory":
        monkeypatch.setattr(basler_pylon.TlFactory, "GetInstance", staticmethod(fail))
    elif where == "enumeration":
        world.enumerate_error = failure
    else:
        monkeypatch.setattr(basler_pylon.DeviceInfo, "GetSerialNumber", fail)
    with pytest.raises(basler_pylon.RuntimeException) as leaving:
        basler.kx_camera("100")
    assert leaving.value is failure
    assert capsys.readouterr().out == "" and log_lines() == []
    assert sim.open_calls == 0


@pytest.mark.parametrize("first, second, opened", [
    (dict(fail_open=True), {}, 1),
    ({}, dict(fail_open=True), 0),
    ({}, {}, 0),
], ids=["bad-then-good", "good-then-bad", "both-good"])
def test_the_walk_ends_at_the_first_device_opened(world, cameras, log_lines, capsys, first, second, opened):
    """Two devices with one serial number (a re-flashed spare): the first that
    opens is the camera; a failing one is reported and passed over."""
    sims = [world.add_camera("100", "BaslerUsb", model="first", **dict(SMALL, **first)),
            world.add_camera("100", "BaslerUsb", model="second", **dict(SMALL, **second))]
    cam = cameras("100")
    out = capsys.readouterr().out.splitlines()
    errors = [line for line in out if line.startswith("Error: ")]
    assert len(errors) == opened and SORRY not in out
    assert messages(log_lines()).count("Try to open KX-Camera") == opened + 1
    assert [sim.open_calls for sim in sims] == [int(i == opened) for i in range(2)]
    assert [sim.start_grabbing_calls for sim in sims] == [int(i == opened) for i in range(2)]
    assert cam.modelname == cam.cam.GetDeviceInfo().GetModelName() == ["first", "second"][opened]
    assert "Camera with serial 100 was detected. Camera %s is grabbing now." % cam.modelname in out
    # The grab thread reads the camera that was opened, and only that one.
    assert wait_until(lambda: sims[opened].delivered >= 1)
    assert sims[1 - opened].retrieved == 0 and not sims[1 - opened].grabbing


@pytest.mark.parametrize("serial", [100, "0100", "10"])
def test_serial_not_found_ends_the_process_with_status_1(world, log_lines, capsys, serial):
    world.add_camera("100", "BaslerUsb", **SMALL)
    with pytest.raises(SystemExit) as leaving:
        basler.kx_camera(serial)
    assert leaving.value.code == 1
    assert capsys.readouterr().out == SORRY + "\n"
    assert log_lines() == [("ERROR", SORRY)]


# --- grab thread and frame access ---------------------------------------------------------------

def test_before_the_first_frame_and_after(world, gate, cameras, tmp_path):
    world.add_camera("100", "BaslerUsb", frame_source=gate, **SMALL)
    cam = cameras("100")
    assert gate.waiting.wait(10)
    assert cam.getFlagAndFrame() == (False, None) and cam.isInitializing is True
    # OpenCV's own answer to a missing frame reaches the caller.
    with pytest.raises(cv2.error):
        cam.saveFrame(str(tmp_path / "none.png"))
    assert list(tmp_path.iterdir()) == []

    gate.opened.set()
    assert wait_until(lambda: cam.isActive)
    flag, frame = cam.getFlagAndFrame()
    assert flag is True and cam.isInitializing is False
    assert any(frame is ready for ready in gate.frames)
    assert frame.shape == (48, 64, 3) and frame.dtype == np.uint8


def test_save_frame_writes_the_current_frame(world, cameras, tmp_path):
    picture = np.random.RandomState(7).randint(0, 256, (48, 64, 3)).astype(np.uint8)
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    sim.script(picture, "timeout")
    cam = cameras("100")
    finish(cam)
    assert cam.frame is picture
    path = tmp_path / "frame.png"
    assert cam.saveFrame(str(path)) is True
    assert np.array_equal(cv2.imread(str(path), cv2.IMREAD_UNCHANGED), picture)
    # Whatever OpenCV makes of the name reaches the caller unchanged.
    assert cam.saveFrame(str(tmp_path / "no-dir" / "frame.png")) is False
    with pytest.raises(cv2.error):
        cam.saveFrame(str(tmp_path / "frame.unknown-type"))


@pytest.mark.parametrize("event, expected", [
    ("timeout", SYNC + " Code:637b21"),
    # Told apart by the text, whatever the exception's class.
    (RuntimeError("transport: TimeoutException thrown"), SYNC + " Code:637b21"),
    (RuntimeError("camera lost"), SYNC + "camera lost"),
    ("unplug", SYNC + "The device has been removed from the PC."),
    ("convert_error", SYNC + "The passed grab result does not contain valid image data."),
], ids=["timeout", "timeout-text", "other-error", "unplug", "convert-error"])
def test_grab_loop_endings(world, cameras, log_lines, event, expected):
    first = basler_pylon.ready_frames(**SMALL)[0].copy()
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    sim.script(first, "fail", "fail", event)
    cam = cameras("100")
    finish(cam)
    (line,) = [line for line in log_lines() if line[1].startswith(SYNC)]
    assert line[0] == "INFO" and line[1].startswith(expected)
    # Failed results were skipped silently; the last good frame stays published.
    flag, frame = cam.getFlagAndFrame()
    assert flag is False and frame is first and cam.isInitializing is False
    assert sim.retrieved == 4 and sim.stop_grabbing_calls == 1 and not sim.grabbing


@pytest.mark.parametrize("exception", [SystemExit(3), KeyboardInterrupt()], ids=repr)
def test_exit_request_or_interrupt_ends_the_thread_without_the_closing_steps(world, cameras, monkeypatch,
                                                                           log_lines, capsys, exception):
    """Only the ordinary exceptions are handled in the loop; an exit request or an
    interrupt leaves `read` as it is: no log line, no StopGrabbing, flag untouched."""
    ended = []
    # Python 3.7 has no threading.excepthook; it then prints the interrupt's traceback itself.
    monkeypatch.setattr(threading, "excepthook", ended.append, raising=False)
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    first = basler_pylon.ready_frames(**SMALL)[0].copy()
    sim.script(first, exception)
    cam = cameras("100")
    finish(cam)
    if hasattr(threading, "ExceptHookArgs"):
        (args,) = ended
        assert args.exc_value is exception and args.thread is cam.t1
    flag, frame = cam.getFlagAndFrame()
    assert flag is True and frame is first
    assert sim.stop_grabbing_calls == 0 and sim.grabbing
    assert messages(log_lines(), SYNC) == []
    assert "StopGrabbing did not work." not in capsys.readouterr().out


def test_failing_stop_grabbing_is_printed_only(world, cameras, log_lines, capsys):
    sim = world.add_camera("100", "BaslerUsb", fail_stop_grabbing=True, **SMALL)
    sim.script("frame", "timeout")
    cam = cameras("100")
    finish(cam)
    assert "StopGrabbing did not work." in capsys.readouterr().out.splitlines()
    assert messages(log_lines(), "StopGrabbing") == []
    assert cam.isActive is False
    assert log_lines()[-1] == TIMEOUT_LINE
    sim.fail_stop_grabbing = False  # lets the clean-up close the camera


def test_stop_while_a_retrieval_waits(world, gate, cameras, log_lines):
    sim = world.add_camera("100", "BaslerUsb", frame_source=gate, **SMALL)
    cam = cameras("100")
    assert gate.waiting.wait(10)
    cam.stop()
    assert cam.getFlagAndFrame() == (False, None)
    # The frame being retrieved is still published, then the loop sees the request.
    gate.opened.set()
    finish(cam)
    assert cam.isActive is False and cam.frame is not None
    assert sim.delivered == 1 and sim.stop_grabbing_calls == 1 and not sim.grabbing
    assert messages(log_lines(), SYNC) == []
    cam.stop()  # again, after the end: no error
    assert (cam.stopCam, cam.isActive) == (True, False)


def test_stop_while_streaming(world, cameras):
    sim = world.add_camera("100", "BaslerUsb", fps=200, **SMALL)
    cam = cameras("100")
    assert wait_until(lambda: sim.delivered >= 3)
    cam.stop()
    finish(cam)
    flag, frame = cam.getFlagAndFrame()
    assert flag is False and frame is not None and not sim.grabbing


def test_run_while_the_thread_runs_is_refused(world, gate, cameras, capsys):
    world.add_camera("100", "BaslerUsb", frame_source=gate, **SMALL)
    cam = cameras("100")
    first, threads = cam.t1, threading.active_count()
    assert first.daemon is False and first.is_alive()
    capsys.readouterr()
    with pytest.raises(RuntimeError):
        cam.run()
    assert cam.t1 is first and threading.active_count() == threads
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("delivery", ["waiting", "streaming"])
def test_other_threads_run_while_the_grab_thread_works(world, gate, cameras, delivery):
    """Blocked in a retrieval, or handed frames as fast as the stand-in can, the
    grab thread leaves the interpreter to the other threads."""
    sim = world.add_camera("100", "BaslerUsb", frame_source=gate, **SMALL)
    if delivery == "streaming":
        gate.opened.set()
    cam = cameras("100")
    if delivery == "waiting":
        assert gate.waiting.wait(10)
    else:
        assert wait_until(lambda: sim.delivered >= 10)
    count, done = [0], threading.Event()

    def counter():
        while not done.is_set() and count[0] < 100000:
            count[0] += 1

    helper = threading.Thread(target=counter)
    helper.start()
    try:
        assert wait_until(lambda: count[0] >= 100000, seconds=30)
    finally:
        done.set()
        helper.join()
    assert cam.t1.is_alive()
    if delivery == "waiting":
        assert sim.delivered == 0


def test_report_once_a_second_computes_the_mean_once(world, cameras, monkeypatch, log_lines, capsys):
    readings = [1000.0]

    def fake_time():
        readings.append(readings[-1] + 0.4)
        return readings[-1]

    averages = []

    def counting_average(array, *args, **kwargs):
        averages.append(array)
        return np.average(array, *args, **kwargs)

    monkeypatch.setattr(basler, "time", types.SimpleNamespace(time=fake_time))
    monkeypatch.setattr(basler, "np", types.SimpleNamespace(average=counting_average))
    sim = world.add_camera("100", "BaslerUsb", **SMALL)
    sim.script(*["frame"] * 12 + ["timeout"])
    cam = cameras("100")
    finish(cam)
    reports = [line for line in log_lines() if line[1].startswith("Grabbed frame shape : ")]
    # 0.4 s per clock reading: a report every third frame or so, never every frame.
    assert 2 <= len(reports) <= 6
    assert len(averages) == len(reports)
    means = [str(np.average(frame)) for frame in basler_pylon.ready_frames(**SMALL)]
    for level, message in reports:
        assert level == "INFO"
        assert message in ["Grabbed frame shape : (48, 64, 3), mean of image: " + mean for mean in means]
    printed = [line for line in capsys.readouterr().out.splitlines() if line.startswith("Grabbed")]
    assert printed == [message for _, message in reports]
    # lastTime moved on from the construction's reading to one taken after a report.
    assert cam.lastTime in readings[2:]
