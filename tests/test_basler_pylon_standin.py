"""The pylon stand-in must behave like the SDK where the Basler module's tests rely on it."""

import threading
import time

import numpy as np
import pytest

from simulated_devices import basler_pylon


@pytest.fixture
def world():
    world = basler_pylon.World(timeout_scale=0.01)
    yield world
    basler_pylon.World().activate()


def open_camera(world, sim):
    pylon = world.activate()
    factory = pylon.TlFactory.GetInstance()
    info = [i for i in factory.EnumerateDevices() if i.GetSerialNumber() == sim.serial][0]
    cam = pylon.InstantCamera(factory.CreateFirstDevice(info))
    cam.Open()
    return pylon, cam


def bgr_converter(pylon):
    converter = pylon.ImageFormatConverter()
    converter.OutputPixelFormat = pylon.PixelType_BGR8packed
    converter.OutputBitAlignment = pylon.OutputBitAlignment_MsbAligned
    return converter


def test_names_and_constants_match_pypylon():
    real = pytest.importorskip("pypylon.pylon")
    for name in ("GrabStrategy_LatestImageOnly", "GrabStrategy_OneByOne", "TimeoutHandling_ThrowException",
                 "TimeoutHandling_Return", "PixelType_BGR8packed", "PixelType_Mono8"):
        assert getattr(basler_pylon, name) == getattr(real, name), name
    for name in ("TlFactory", "InstantCamera", "ImageFormatConverter", "TimeoutException", "RuntimeException",
                 "LogicalErrorException", "InvalidArgumentException", "OutOfRangeException", "AccessException"):
        assert hasattr(real, name) and hasattr(basler_pylon, name), name


def test_bit_alignment_matches_pypylon():
    real = pytest.importorskip("pypylon.pylon")
    if isinstance(real.OutputBitAlignment_MsbAligned, int):
        pytest.skip("pypylon 3 (the last release for Python 3.7) gives the bit alignments as numbers; "
                    "the stand-in follows the current SDK, which gives their names")
    assert basler_pylon.OutputBitAlignment_MsbAligned == real.OutputBitAlignment_MsbAligned
    assert basler_pylon.OutputBitAlignment_LsbAligned == real.OutputBitAlignment_LsbAligned


def test_enumeration_keeps_order_and_skips_unplugged(world):
    world.add_camera("100", "BaslerUsb")
    gige = world.add_camera("200", "BaslerGigE", ip="10.0.0.7")
    gone = world.add_camera("300", "BaslerUsb")
    world.add_camera("400", "BaslerCamEmu")
    gone.unplug()
    pylon = world.activate()
    factory = pylon.TlFactory.GetInstance()
    infos = factory.EnumerateDevices()
    assert [(i.GetSerialNumber(), i.GetDeviceClass(), i.GetIpAddress()) for i in infos] == [
        ("100", "BaslerUsb", "N/A"), ("200", "BaslerGigE", "10.0.0.7"), ("400", "BaslerCamEmu", "N/A")]
    # CreateFirstDevice opens the camera of the info given, not the first one attached.
    cam = pylon.InstantCamera(factory.CreateFirstDevice(infos[1]))
    cam.Open()
    assert gige.open_calls == 1


@pytest.mark.parametrize("name, value, error", [
    ("AutoFunctionProfile", "MinimizeExposureTime", "LogicalErrorException"),  # missing feature
    ("ExposureMode", "Timed", "AccessException"),                              # refused write
    ("GainAuto", "Bogus", "InvalidArgumentException"),                         # unknown entry
    ("AcquisitionFrameRate", "25", "TypeError"),                               # wrong type, as SWIG says
    ("AutoTargetBrightness", 7.0, "OutOfRangeException"),
])
def test_feature_writes_fail_with_ordinary_exceptions(world, name, value, error):
    sim = world.add_camera("1", missing=["AutoFunctionProfile"], refuse=["ExposureMode"])
    _, cam = open_camera(world, sim)
    node = getattr(cam, name)  # a missing feature is still reachable, as in pypylon
    with pytest.raises(Exception) as caught:
        node.SetValue(value)
    assert type(caught.value).__name__ == error
    assert sim.writes == []


def test_assignment_writes_the_feature_and_temperature_can_be_missing(world):
    warm = world.add_camera("1", temperature=51.5)
    cold = world.add_camera("2", temperature=None)
    _, cam = open_camera(world, warm)
    cam.MaxNumBuffer = 2
    assert warm.writes == [("MaxNumBuffer", 2)]
    assert cam.DeviceTemperature.GetValue() == 51.5
    _, cam = open_camera(world, cold)
    with pytest.raises(basler_pylon.LogicalErrorException):
        cam.DeviceTemperature.GetValue()


def test_scripted_results_then_frames(world):
    own = np.zeros((4, 6, 3), np.uint8)
    sim = world.add_camera("1", width=8, height=6)
    sim.script("fail", own, "convert_error")
    pylon, cam = open_camera(world, sim)
    converter = bgr_converter(pylon)
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)

    def retrieve():
        return cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)

    assert not retrieve().GrabSucceeded()
    assert converter.Convert(retrieve()).GetArray() is own
    bad = retrieve()
    assert bad.GrabSucceeded()
    with pytest.raises(basler_pylon.InvalidArgumentException):
        converter.Convert(bad)
    frame = converter.Convert(retrieve()).GetArray()
    assert frame.shape == (6, 8, 3) and frame.dtype == np.uint8
    # A converter left at its default format gives mono images, as the SDK's does.
    assert pylon.ImageFormatConverter().Convert(retrieve()).GetArray().shape == (6, 8)
    assert (sim.retrieved, sim.delivered, sim.converted) == (5, 4, 3)


def test_timeout_raises_after_the_scaled_wait(world):
    sim = world.add_camera("1")
    sim.script("timeout")
    pylon, cam = open_camera(world, sim)
    cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
    started = time.monotonic()
    with pytest.raises(Exception) as caught:
        cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)
    assert time.monotonic() - started >= 5000 / 1000.0 * world.timeout_scale * 0.99
    assert "TimeoutException" in str(caught.value)
    # A slow frame rate times out the same way.
    sim.fps = 0.01
    cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)  # the frame that was due
    with pytest.raises(basler_pylon.TimeoutException):
        cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)


def test_waiting_retrieval_lets_other_threads_run_and_unplug_wakes_it(world):
    world.timeout_scale = 1.0  # a real 5 s wait, cut short by the unplug
    sim = world.add_camera("1")
    sim.script("timeout")
    pylon, cam = open_camera(world, sim)
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    outcome = []

    def grab():
        try:
            cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)
        except Exception as e:
            outcome.append(str(e))

    grabber = threading.Thread(target=grab)
    grabber.start()
    assert sim.retrieve_waiting.wait(5)
    sim.unplug()  # runs on this thread while the other one waits
    grabber.join()
    assert len(outcome) == 1 and "removed" in outcome[0] and "TimeoutException" not in outcome[0]
    with pytest.raises(basler_pylon.RuntimeException):
        cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)


def test_grab_start_and_stop_failures(world):
    sim = world.add_camera("1", fail_start_grabbing=True, fail_stop_grabbing=True)
    pylon, cam = open_camera(world, sim)
    with pytest.raises(basler_pylon.RuntimeException):
        cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    assert not cam.IsGrabbing()
    sim.fail_start_grabbing = False
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    with pytest.raises(basler_pylon.RuntimeException):
        cam.StopGrabbing()
