"""Stand-in for the part of pypylon's ``pylon`` module that kx_camera_basler uses.

The SDK's camera emulation (PYLON_CAMEMU) has no USB or GigE device class, no
temperature and cannot be unplugged; this stand-in covers those paths. A test
builds a World, adds cameras to it and puts the world in place of the
module's ``pylon``:

    world = basler_pylon.World(timeout_scale=0.01)
    usb = world.add_camera("40000001", device_class="BaslerUsb", missing=["AutoFunctionProfile"])
    usb.script("frame", "fail", "timeout")          # what RetrieveResult does next
    monkeypatch.setattr(kx_camera_basler, "pylon", world.activate())

The module-level names (``TlFactory``, ``InstantCamera``, ``ImageFormatConverter``,
the constants and the exception classes) behave like pypylon's and act on the
most recently activated world.

Behaviour copied from pypylon 26.x (checked against its emulation):
- a missing feature is still reachable as an attribute; its ``SetValue``/``GetValue``
  raise ``LogicalErrorException`` ("... The parameter is not available.");
- enumeration features take str only, float features numbers only, integer
  features int only; anything else raises ``TypeError``; unknown enumeration
  entries raise ``InvalidArgumentException``, out-of-range numbers
  ``OutOfRangeException``;
- assigning to a camera attribute (``cam.MaxNumBuffer = 2``) writes the feature;
- ``StartGrabbing`` opens the camera if needed and raises when already grabbing;
- ``RetrieveResult`` while not grabbing returns an invalid result (no exception),
  whose ``GrabSucceeded`` raises ``RuntimeException``; a time-out raises
  ``TimeoutException`` whose text contains "TimeoutException";
- a converter left at its default output format yields 2-D mono arrays.

Waits (frame pacing, time-outs) block on a threading.Event, so they release
the GIL the way the SDK's native wait does. A time-out of T ms waits
T / 1000 * ``timeout_scale`` real seconds.

Frames are handed over without per-frame work: by default every camera cycles
through two ready, read-only BGR frames of its size, made once per size.
"""

import collections
import sys
import threading
import time
import weakref

import numpy as np

# Constant values as pypylon defines them.
GrabStrategy_OneByOne = 0
GrabStrategy_LatestImageOnly = 1
TimeoutHandling_Return = 0
TimeoutHandling_ThrowException = 1
PixelType_Mono8 = 17301505
PixelType_BGR8packed = 35127317
OutputBitAlignment_LsbAligned = "LsbAligned"
OutputBitAlignment_MsbAligned = "MsbAligned"


class GenericException(Exception):
    pass


class LogicalErrorException(GenericException):
    pass


class InvalidArgumentException(GenericException):
    pass


class OutOfRangeException(GenericException):
    pass


class RuntimeException(GenericException):
    pass


class TimeoutException(GenericException):
    pass


class AccessException(GenericException):
    pass


def _sdk_error(cls, message, origin):
    """An exception worded the way GenICam words them."""
    return cls("%s : %s thrown %s" % (message, cls.__name__, origin))


def _timeout_error():
    return _sdk_error(
        TimeoutException,
        "Grab timed out. Possible reasons are: The image transport from the camera device is not "
        "working properly; The camera uses explicit triggering and has not been triggered; "
        "The acquisition has not been started or has been stopped.",
        "(file 'InstantCameraImpl.h', line 1113)")


def _removed_error():
    return _sdk_error(RuntimeException, "The device has been removed from the PC.",
                      "(file 'InstantCameraImpl.h', line 1047)")


def _fail_with(knob, default):
    """A failure knob is True (raise the SDK's usual error) or an exception to raise."""
    if isinstance(knob, BaseException):
        raise knob
    raise default


# Feature table: name -> (kind, default value, allowed entries or (min, max), writable).
_ENUM, _FLOAT, _INT = "enumeration", "float", "integer"
_FEATURES = {
    "AcquisitionMode": (_ENUM, "Continuous", ("SingleFrame", "MultiFrame", "Continuous"), True),
    "AcquisitionFrameRate": (_FLOAT, 100.0, (0.1, 5000.0), True),
    "ExposureAuto": (_ENUM, "Off", ("Off", "Once", "Continuous"), True),
    "GainAuto": (_ENUM, "Off", ("Off", "Once", "Continuous"), True),
    "AutoFunctionProfile": (_ENUM, "MinimizeGain", ("MinimizeGain", "MinimizeExposureTime"), True),
    "MaxNumBuffer": (_INT, 10, (1, 1024), True),
    "ExposureMode": (_ENUM, "Timed", ("Timed", "TriggerWidth"), True),
    "AutoExposureTimeLowerLimit": (_FLOAT, 100.0, (1.0, 1.0e7), True),
    "AutoExposureTimeUpperLimit": (_FLOAT, 1.0e5, (1.0, 1.0e7), True),
    "AutoTargetBrightness": (_FLOAT, 0.3, (0.0, 1.0), True),
    "DeviceTemperature": (_FLOAT, 42.0, None, False),
}


class _Parameter(object):
    """A feature node of one camera: GetValue, SetValue and the Value property."""

    def __init__(self, sim, name):
        self._sim = sim
        self._name = name

    def _spec(self, action):
        sim, name = self._sim, self._name
        if sim.unplugged:
            raise _sdk_error(AccessException, "Node is not %s." % ("writable" if action == "set" else "readable"),
                             "in node '%s' while calling '%s.%sValue()'" % (name, name, action.capitalize()))
        if name in sim.missing or name not in _FEATURES or (name == "DeviceTemperature" and sim.temperature is None):
            raise LogicalErrorException(
                "PlaceholderParameter: Cannot %s value of 'Camera/%s'. The parameter is not available." % (action, name))
        return _FEATURES[name]

    def GetValue(self):
        self._spec("get")
        if self._name == "DeviceTemperature":
            return self._sim.temperature
        return self._sim.values[self._name]

    def SetValue(self, value):
        kind, _, allowed, writable = self._spec("set")
        sim, name = self._sim, self._name
        if name in sim.refuse:
            _fail_with(sim.refuse[name], _sdk_error(
                AccessException, "Node is not writable.",
                "in node '%s' while calling '%s.SetValue()'" % (name, name)))
        if not writable:
            raise _sdk_error(AccessException, "Node is not writable.",
                             "in node '%s' while calling '%s.SetValue()'" % (name, name))
        if kind == _ENUM:
            if not isinstance(value, str):
                raise TypeError("Wrong number or type of arguments for overloaded function 'EnumParameter_SetValue'.")
            if value not in allowed:
                raise _sdk_error(InvalidArgumentException,
                                 "Feature '%s' : cannot convert value '%s', the value is invalid." % (name, value),
                                 "in node '%s' while calling '%s.FromString()'" % (name, name))
        else:
            numeric = (int, float) if kind == _FLOAT else (int,)
            if isinstance(value, bool) or not isinstance(value, numeric):
                raise TypeError("Wrong number or type of arguments for overloaded function '%sParameter_SetValue'."
                                % kind.capitalize())
            low, high = allowed
            if not low <= value <= high:
                raise _sdk_error(OutOfRangeException,
                                 "Value %s must be within [%s, %s]." % (value, low, high),
                                 "in node '%s' while calling '%s.SetValue()'" % (name, name))
        sim.values[name] = float(value) if kind == _FLOAT else value
        sim.writes.append((name, value))

    Value = property(GetValue, SetValue)


class _GrabResult(object):
    __slots__ = ("_sim", "_array", "_outcome", "_released")

    def __init__(self, sim, array, outcome):
        self._sim = sim
        self._array = array
        self._outcome = outcome  # "frame", "fail", "convert_error" or None (invalid)
        self._released = False

    def _check(self):
        if self._outcome is None or self._released:
            raise _sdk_error(RuntimeException, "No grab result data is referenced. Cannot access NULL pointer.",
                             "(file 'GrabResultPtr.cpp', line 87)")

    def IsValid(self):
        return self._outcome is not None and not self._released

    def GrabSucceeded(self):
        self._check()
        return self._outcome != "fail"

    def GetErrorCode(self):
        self._check()
        return 0xE1000014 if self._outcome == "fail" else 0

    def GetErrorDescription(self):
        self._check()
        return "The buffer was incompletely grabbed." if self._outcome == "fail" else ""

    def GetWidth(self):
        self._check()
        return self._sim.width

    def GetHeight(self):
        self._check()
        return self._sim.height

    def Release(self):
        self._released = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Release()


class _PylonImage(object):
    __slots__ = ("_array",)

    def __init__(self, array):
        self._array = array

    def GetArray(self):
        return self._array


class ImageFormatConverter(object):
    def __init__(self):
        self.OutputPixelFormat = PixelType_Mono8
        self.OutputBitAlignment = OutputBitAlignment_LsbAligned

    def Convert(self, result):
        if not isinstance(result, _GrabResult):
            raise TypeError("Wrong number or type of arguments for overloaded function 'ImageFormatConverter_Convert'.")
        result._check()
        sim = result._sim
        if result._outcome != "frame":
            raise _sdk_error(InvalidArgumentException, "The passed grab result does not contain valid image data.",
                             "(file 'ImageFormatConverter.cpp', line 156)")
        sim.converted += 1
        if self.OutputPixelFormat == PixelType_BGR8packed:
            return _PylonImage(result._array)
        return _PylonImage(result._array[:, :, 1])


_ready_frames = {}


def ready_frames(width, height):
    """Two read-only BGR frames of that size, made once and shared."""
    key = (width, height)
    if key not in _ready_frames:
        ramp = np.add.outer(np.arange(height, dtype=np.uint16), np.arange(width, dtype=np.uint16))
        frames = []
        for shift in (0, 85):
            frame = np.empty((height, width, 3), dtype=np.uint8)
            for channel in range(3):
                frame[:, :, channel] = (ramp + shift + 40 * channel) % 256
            frame.flags.writeable = False
            frames.append(frame)
        _ready_frames[key] = tuple(frames)
    return _ready_frames[key]


class SimCamera(object):
    """One simulated camera: its identity, its behaviour knobs and what was done to it.

    Knobs (constructor arguments; the attributes may be changed later):
      missing            feature names the camera lacks
      refuse             feature names whose writes fail, or a dict name -> exception to raise
      temperature        value of DeviceTemperature; None: the feature is missing
      fps                frame rate of delivery; None: a frame is ready at every retrieval
      width, height      frame size
      frame_source       callable(index) -> array delivered as frame number index
      fail_open, fail_start_grabbing, fail_stop_grabbing
                         True (the SDK's usual error) or an exception instance to raise
    Scripted retrievals: see ``script``. Unplugging: ``unplug`` / ``replug``.
    """

    def __init__(self, world, serial, device_class, model, ip, missing=(), refuse=(), temperature=42.0,
                 fps=None, width=1920, height=1200, frame_source=None,
                 fail_open=False, fail_start_grabbing=False, fail_stop_grabbing=False):
        self.world = world
        self.serial = serial
        self.device_class = device_class
        self.model = model
        self.ip = ip
        self.missing = set(missing)
        self.refuse = dict(refuse) if isinstance(refuse, dict) else dict.fromkeys(refuse, True)
        self.temperature = temperature
        self.fps = fps
        self.width = width
        self.height = height
        self.frame_source = frame_source
        self.fail_open = fail_open
        self.fail_start_grabbing = fail_start_grabbing
        self.fail_stop_grabbing = fail_stop_grabbing
        self.unplugged = False
        # What happened to the camera.
        self.values = dict((name, feature[1]) for name, feature in _FEATURES.items())
        self.writes = []               # successful feature writes (name, value), in order
        self.open_calls = 0
        self.start_grabbing_calls = 0
        self.stop_grabbing_calls = 0
        self.strategy = None           # strategy of the last successful StartGrabbing
        self.retrieved = 0             # RetrieveResult calls while grabbing
        self.delivered = 0             # frames handed out (successful grab results)
        self.converted = 0             # successful conversions of this camera's results
        self.grabbing = False
        # Set while a retrieval is blocked waiting, so tests can synchronise without sleeping.
        self.retrieve_waiting = threading.Event()
        self._events = collections.deque()
        self._then = "frame"
        self._wake = threading.Event()
        self._next_due = 0.0

    def script(self, *events, then="frame"):
        """Queue what the next retrievals do, one event each, then keep doing `then`.

        Events: "frame" (deliver the next frame), a numpy array (deliver it),
        "fail" (a result whose GrabSucceeded is False), "convert_error" (a result
        that the converter refuses), "timeout" (wait the scaled time-out, then
        raise TimeoutException), "unplug" (unplug the camera; the retrieval
        raises), or an exception instance (raised).
        """
        self._events.extend(events)
        self._then = then

    def unplug(self):
        """The camera vanishes: enumeration skips it, waiting retrievals and every later call raise."""
        self.unplugged = True
        self._wake.set()

    def replug(self):
        self.unplugged = False
        self._wake.clear()

    def _check_present(self):
        if self.unplugged:
            raise _removed_error()

    def _wait(self, seconds):
        """Block for up to `seconds` without holding the GIL; True if woken by an unplug."""
        self.retrieve_waiting.set()
        try:
            return self._wake.wait(seconds)
        finally:
            self.retrieve_waiting.clear()

    def _retrieve(self, timeout_ms, timeout_handling):
        self._check_present()
        self.retrieved += 1
        event = self._events.popleft() if self._events else self._then
        if isinstance(event, np.ndarray):
            array, event = event, "frame"
        else:
            array = None
        if event == "frame" or event == "fail" or event == "convert_error":
            if self.fps:
                late = self._pace(timeout_ms, timeout_handling)
                if late is not None:
                    return late
            if event == "fail":
                return _GrabResult(self, None, "fail")
            if array is not None:
                pass
            elif self.frame_source is not None:
                array = self.frame_source(self.delivered)
            else:
                frames = ready_frames(self.width, self.height)
                array = frames[self.delivered % len(frames)]
            self.delivered += 1
            return _GrabResult(self, array, event)
        if event == "timeout":
            return self._time_out(timeout_ms, timeout_handling)
        if event == "unplug":
            self.unplug()
            raise _removed_error()
        if isinstance(event, BaseException):
            raise event
        raise ValueError("unknown grab event %r" % (event,))

    def _time_out(self, timeout_ms, timeout_handling):
        if self._wait(timeout_ms / 1000.0 * self.world.timeout_scale):
            raise _removed_error()
        if timeout_handling == TimeoutHandling_ThrowException:
            raise _timeout_error()
        return _GrabResult(self, None, None)

    def _pace(self, timeout_ms, timeout_handling):
        """Wait until the next frame is due at the camera's frame rate.

        Returns None when the frame is there, or the invalid result of a time-out
        that does not throw; raises on a throwing time-out or an unplug.
        """
        period = 1.0 / self.fps
        now = time.monotonic()
        due = self._next_due
        if due - now > timeout_ms / 1000.0 * self.world.timeout_scale:
            return self._time_out(timeout_ms, timeout_handling)
        if due > now and self._wait(due - now):
            raise _removed_error()
        # A slow reader gets the next frame at once, but no burst of stale ones.
        self._next_due = max(due + period, time.monotonic())
        return None

    def __repr__(self):
        return "<SimCamera %s %s %s>" % (self.device_class, self.model, self.serial)


class DeviceInfo(object):
    def __init__(self, sim=None):
        self._sim = sim

    def GetSerialNumber(self):
        return self._sim.serial

    def GetModelName(self):
        return self._sim.model

    def GetDeviceClass(self):
        return self._sim.device_class

    def GetIpAddress(self):
        return self._sim.ip

    def GetFriendlyName(self):
        return "Basler %s (%s)" % (self._sim.model, self._sim.serial)


class PylonDevice(object):
    def __init__(self, sim):
        self._sim = sim


class InstantCamera(object):
    """The camera object: grabbing and feature nodes, reached as attributes."""

    def __init__(self, device=None):
        if device is not None and not isinstance(device, PylonDevice):
            raise TypeError("Wrong number or type of arguments for overloaded function 'new_InstantCamera'.")
        object.__setattr__(self, "_sim", device._sim if device is not None else None)
        object.__setattr__(self, "_open", False)
        object.__setattr__(self, "_grabbing", False)
        if device is not None:
            device._sim.world._live.add(self)

    def _device(self):
        if self._sim is None:
            raise _sdk_error(RuntimeException, "No device attached.", "(file 'InstantCameraImpl.h', line 2313)")
        self._sim._check_present()
        return self._sim

    def __getattr__(self, name):
        # Only reached for names that are not methods: feature nodes, like pypylon.
        if name.startswith("_"):
            raise AttributeError(name)
        return _Parameter(self._device(), name)

    def __setattr__(self, name, value):
        # pypylon writes the feature on assignment (cam.MaxNumBuffer = 2).
        _Parameter(self._device(), name).SetValue(value)

    def GetDeviceInfo(self):
        return DeviceInfo(self._device())

    def IsOpen(self):
        return self._open

    def Open(self):
        sim = self._device()
        if sim.fail_open:
            _fail_with(sim.fail_open, _sdk_error(
                RuntimeException, "Failed to open device '%s'. The device is controlled by another application."
                % sim.serial, "(file 'PylonUsbDevice.cpp', line 394)"))
        sim.open_calls += 1
        object.__setattr__(self, "_open", True)

    def Close(self):
        if self._grabbing:
            self.StopGrabbing()
        object.__setattr__(self, "_open", False)

    def StartGrabbing(self, strategy=GrabStrategy_OneByOne, *rest):
        sim = self._device()
        if strategy not in (GrabStrategy_OneByOne, GrabStrategy_LatestImageOnly):
            raise TypeError("Wrong number or type of arguments for overloaded function 'InstantCamera_StartGrabbing'.")
        if self._grabbing:
            raise _sdk_error(RuntimeException, "Grabbing has already been started.",
                             "(file 'InstantCameraImpl.h', line 816)")
        sim.start_grabbing_calls += 1
        if sim.fail_start_grabbing:
            _fail_with(sim.fail_start_grabbing, _sdk_error(
                RuntimeException, "Failed to start grabbing: the stream could not be opened.",
                "(file 'InstantCameraImpl.h', line 851)"))
        if not self._open:
            self.Open()
        sim.strategy = strategy
        sim.grabbing = True
        sim._next_due = time.monotonic() + (1.0 / sim.fps if sim.fps else 0.0)
        object.__setattr__(self, "_grabbing", True)

    def IsGrabbing(self):
        return self._grabbing

    def RetrieveResult(self, timeout_ms, timeout_handling=TimeoutHandling_ThrowException):
        if not self._grabbing:
            self._device()
            return _GrabResult(self._sim, None, None)
        return self._sim._retrieve(timeout_ms, timeout_handling)

    def StopGrabbing(self):
        sim = self._sim
        if sim is None:
            return
        sim.stop_grabbing_calls += 1
        if sim.fail_stop_grabbing:
            _fail_with(sim.fail_stop_grabbing, _sdk_error(
                RuntimeException, "Failed to stop grabbing.", "(file 'InstantCameraImpl.h', line 902)"))
        sim.grabbing = False
        object.__setattr__(self, "_grabbing", False)


class _Factory(object):
    def __init__(self, world):
        self._world = world

    def EnumerateDevices(self):
        world = self._world
        if world.enumerate_error:
            _fail_with(world.enumerate_error, _sdk_error(
                RuntimeException, "Failed to enumerate devices.", "(file 'TlFactory.cpp', line 412)"))
        return tuple(DeviceInfo(sim) for sim in world.cameras if not sim.unplugged)

    def CreateFirstDevice(self, info=None):
        for sim in self._world.cameras:
            if sim.unplugged:
                continue
            if info is None or info._sim is None or info._sim is sim:
                return PylonDevice(sim)
        raise _sdk_error(RuntimeException,
                         "No device is available or no device contains the provided device info properties.",
                         "(file 'TlFactory.cpp', line 694)")


class TlFactory(object):
    @staticmethod
    def GetInstance():
        return _active_world._factory


_DEFAULT_MODELS = {"BaslerUsb": "acA1920-40uc", "BaslerGigE": "acA1920-25gc"}


class World(object):
    """The attached cameras and how the SDK behaves; ``activate`` makes the module act on it."""

    def __init__(self, timeout_scale=0.01):
        # Real seconds per SDK second of a time-out: 5000 ms take 50 ms by default.
        self.timeout_scale = timeout_scale
        # True or an exception instance: EnumerateDevices raises it.
        self.enumerate_error = None
        self.cameras = []
        self._factory = _Factory(self)
        self._live = weakref.WeakSet()

    def add_camera(self, serial, device_class="BaslerUsb", model=None, ip=None, **knobs):
        """Attach a camera (enumerated in the order added); knobs as SimCamera takes them."""
        if model is None:
            model = _DEFAULT_MODELS.get(device_class, "Emulation")
        if ip is None:
            # A GigE camera reports its address; other classes report no address.
            ip = "192.168.1.%d" % (10 + len(self.cameras)) if device_class == "BaslerGigE" else "N/A"
        sim = SimCamera(self, serial, device_class, model, ip, **knobs)
        self.cameras.append(sim)
        return sim

    def live_cameras(self):
        """How many InstantCamera objects of this world are still alive."""
        return len(self._live)

    def activate(self):
        """Make the module-level names act on this world; returns the module, to stand in for pylon."""
        global _active_world
        _active_world = self
        return sys.modules[__name__]


_active_world = World()
