"""kx_camera_basler on the camera SDK's own emulated cameras (PYLON_CAMEMU).

The emulation enumerates its cameras as class "BaslerCamEmu" with serial
numbers "0815-0000", "0815-0001", ..., grabs real test images at 100 frames
per second and refuses some of the auto-function features a real camera has.
"""
import os
import subprocess
import sys
import threading
import time

import cv2
import numpy as np
import pytest

import libs.kx_camera_basler as basler
from tests.basler_helpers import cameras, log_lines, wait_until  # noqa: F401  (fixtures)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMEOUT_LINE = ("INFO", "Sync Camera thread. The program will restart now. Code:637b21")

pytestmark = [
    pytest.mark.skipif(os.environ.get("PYLON_CAMEMU", "0") in ("", "0"),
                       reason="needs the SDK's camera emulation (PYLON_CAMEMU)"),
    # pypylon 26 prefers `.Value = ` to assigning a feature; the box's older pypylon knows only assignment.
    pytest.mark.filterwarnings("ignore:Setting a feature value by direct assignment:DeprecationWarning"),
]

# What the emulated camera does with each row of the camera set-up.
EMULATION_FEATURE_LINES = [
    "AcquisitionMode was set.",
    "AcquisitionFrameRate was set.",
    "ExposureAuto was set.",
    "GainAuto was set.",
    "AutoFunctionProfile was not set.",
    "MaxNumBuffer was set.",
    "ExposureMode was set.",
    "AutoExposureTimeLowerLimit was not set.",
    "AutoExposureTimeUpperLimit was not set.",
    "AutoTargetBrightness was not set",
]


def run_python(code, cwd):
    """`code` in a fresh interpreter with one emulated camera, in `cwd` and with ROOT_PATH there."""
    env = dict(os.environ, PYTHONPATH=ROOT, ROOT_PATH=str(cwd), PYLON_CAMEMU="1")
    return subprocess.run([sys.executable, "-c", code], cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def module_log(root):
    (path,) = (root / "logs").glob("kx_camera_basler_*.log")
    return [line.split(" - ", 3)[2:] for line in path.read_text().splitlines()]


def test_import_logs_the_version_and_prints_nothing(tmp_path):
    done = run_python("import libs.kx_camera_basler", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert module_log(tmp_path) == [["INFO", "KX CAMERA BASLER - Version: 1.0.1"]]


def test_unknown_serial_ends_the_process_with_status_1(tmp_path):
    done = run_python("import libs.kx_camera_basler as b\nb.kx_camera('0815-9999')\nprint('still here')", tmp_path)
    assert done.returncode == 1
    assert done.stdout.splitlines() == ["Sorry. Your serial was not found. No camera initialized."]
    assert module_log(tmp_path)[-1] == ["ERROR", "Sorry. Your serial was not found. No camera initialized."]


def test_emulated_cameras_are_not_listed(capsys):
    # Only USB3 and GigE cameras count; the emulation is a class of its own.
    assert basler.listCameras() == []
    assert capsys.readouterr().out == "Number of detected Cameras: 0\n"


def test_opens_the_requested_camera_and_streams(cameras, log_lines, capsys):
    cam = cameras("0815-0001", GainAuto="Once", fps=30)
    out = capsys.readouterr().out.splitlines()
    announcement = "Camera with serial 0815-0001 was detected. Camera Emulation is grabbing now."
    assert out.index("starting thread") < out.index(announcement)
    assert (cam.serial, cam.modelname, cam.type, cam.fps) == ("0815-0001", "Emulation", "BaslerCamEmu", 30)
    # The address exactly as the SDK reports it for a camera without one.
    assert cam.getIp() == cam.ip == "N/A"

    # The grab thread's first report may come before the announcement.
    lines = [message for level, message in log_lines() if not message.startswith("Grabbed frame shape")]
    start = lines.index("Try to open KX-Camera")
    assert lines[start + 1:start + 11] == EMULATION_FEATURE_LINES
    assert lines[start + 11] == announcement
    node = cam.cam
    assert (node.AcquisitionMode.GetValue(), node.AcquisitionFrameRate.GetValue(), node.ExposureAuto.GetValue(),
            node.GainAuto.GetValue(), node.MaxNumBuffer.GetValue(), node.ExposureMode.GetValue()) == (
        "Continuous", 30.0, "Continuous", "Off", 2, "Timed")

    assert wait_until(lambda: cam.isActive)
    flag, frame = cam.getFlagAndFrame()
    assert flag is True and cam.isInitializing is False
    assert frame.dtype == np.uint8
    assert frame.shape == (node.Height.GetValue(), node.Width.GetValue(), 3)
    # Every frame is an array of its own; a published one is never written again.
    kept = frame.copy()
    assert wait_until(lambda: cam.frame is not frame)
    assert not np.shares_memory(cam.frame, frame)
    assert np.array_equal(frame, kept)

    # About once a second the shape and mean brightness, to the log and to standard output.
    assert wait_until(lambda: any(m.startswith("Grabbed frame shape : ") for _, m in log_lines()))
    level, report = [line for line in log_lines() if line[1].startswith("Grabbed frame shape : ")][0]
    assert level == "INFO"
    assert report.startswith("Grabbed frame shape : %s, mean of image: " % (frame.shape,))
    float(report.rsplit(": ", 1)[1])
    assert report in capsys.readouterr().out.splitlines()


def restart_on_image(cam, image_path, height, width):
    """Stops the grab thread, lets the emulated camera send `image_path` as RGB, starts a new thread."""
    cam.stop()
    cam.t1.join(timeout=15)
    node = cam.cam
    node.PixelFormat.SetValue("RGB8Packed")
    node.Width.SetValue(width)
    node.Height.SetValue(height)
    node.TestImageSelector.SetValue("Off")
    node.ImageFilename.SetValue(str(image_path))
    node.ImageFileMode.SetValue("On")
    node.StartGrabbing(basler.pylon.GrabStrategy_OneByOne)
    cam.frame, cam.stopCam = None, False
    cam.run()


def test_frames_arrive_in_bgr_order_and_save_as_png(cameras, tmp_path):
    height, width = 96, 128
    picture = np.zeros((height, width, 3), np.uint8)
    picture[:, :, 0] = np.arange(width)                  # blue rises to the right
    picture[:, :, 1] = 50
    picture[:, :, 2] = 2 * np.arange(height)[:, None]    # red rises downwards
    source = tmp_path / "colour.png"
    assert cv2.imwrite(str(source), picture)

    cam = cameras("0815-0000")
    restart_on_image(cam, source, height, width)
    # A second grab thread on the same camera is refused while the first runs.
    first = cam.t1
    with pytest.raises(RuntimeError):
        cam.run()
    assert cam.t1 is first

    assert wait_until(lambda: cam.isActive)
    cam.stop()
    cam.t1.join(timeout=15)
    flag, frame = cam.getFlagAndFrame()
    assert flag is False
    assert np.array_equal(frame, picture)

    saved = tmp_path / "saved.png"
    assert cam.saveFrame(str(saved)) is True
    assert np.array_equal(cv2.imread(str(saved), cv2.IMREAD_UNCHANGED), picture)


def test_stop_ends_grabbing(cameras):
    cam = cameras("0815-0000")
    assert wait_until(lambda: cam.isActive)
    cam.stop()
    assert cam.getFlagAndFrame()[0] is False
    cam.t1.join(timeout=15)
    assert not cam.t1.is_alive()
    assert cam.cam.IsGrabbing() is False
    last = cam.frame
    cam.stop()  # again, after the end: the same writes, no error
    assert (cam.isActive, cam.stopCam, cam.frame) == (False, True, last)


def stop_delivering(cam):
    """From now on the camera waits for a software trigger that never comes."""
    cam.cam.TriggerSelector.SetValue("FrameStart")
    cam.cam.TriggerSource.SetValue("Software")
    cam.cam.TriggerMode.SetValue("On")


def test_camera_that_stops_delivering_times_out(cameras, log_lines):
    cam = cameras("0815-0001")
    assert wait_until(lambda: cam.isActive)
    stop_delivering(cam)
    cam.t1.join(timeout=20)
    assert not cam.t1.is_alive()
    assert [line for line in log_lines() if line[1].startswith("Sync Camera thread")] == [TIMEOUT_LINE]
    flag, frame = cam.getFlagAndFrame()
    assert flag is False and frame is not None and cam.isInitializing is False
    assert cam.cam.IsGrabbing() is False


def count_for(seconds):
    """How far a Python thread counts in `seconds` of wall-clock time.

    The deadline is fixed before the thread starts: if another thread held the
    interpreter, the counter would find it passed when it finally ran."""
    deadline = time.monotonic() + seconds
    count = [0]

    def counter():
        while time.monotonic() < deadline:
            count[0] += 1

    helper = threading.Thread(target=counter)
    helper.start()
    helper.join()
    return count[0]


def test_other_threads_run_while_the_grab_thread_waits_in_the_sdk(cameras, log_lines):
    cam = cameras("0815-0000")
    assert wait_until(lambda: cam.isActive)
    stop_delivering(cam)
    # Frames already on their way come in first; then the grab thread sits in
    # RetrieveResult for up to 5 s.
    for _ in range(20):
        last = cam.frame
        time.sleep(0.3)
        if cam.frame is last:
            break
    waiting = count_for(0.5)
    # The measurement lay inside the wait: no frame since, no time-out yet.
    assert cam.t1.is_alive() and cam.frame is last
    assert [line for line in log_lines() if line[1].startswith("Sync Camera thread")] == []

    cam.t1.join(timeout=20)
    assert [line for line in log_lines() if line[1].startswith("Sync Camera thread")] == [TIMEOUT_LINE]
    baseline = count_for(0.5)
    # A wait that held the interpreter would leave the counter close to nothing.
    assert waiting > 0.3 * baseline, (waiting, baseline)
