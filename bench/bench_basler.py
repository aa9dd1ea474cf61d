"""Basler grab thread: per-frame cost, construct/stop cycles, optional soak.

Runs on the pylon stand-in (simulated_devices.basler_pylon) with ready
1920x1200 BGR frames, so what is measured is the grab thread's own work
around the SDK calls.

- grab rate: frames per second that kx_camera's grab thread publishes, against
  a plain-Python loop on a thread making the same calls (retrieve, check,
  convert, GetArray, publish the attributes, the once-a-second report with one
  mean and one text for log and print). Twice: with the stand-in's cameras,
  whose methods are Python functions as pypylon's are, and with cameras whose
  per-frame operations are C callables, which leaves each loop's own work;
- cycles: construct a camera, wait for its first frame, stop it, join its
  thread; threads, open file descriptors, gc-tracked objects and RSS before
  and after, and objects left alive;
- soak (--soak-minutes N): one camera at --soak-fps frames per second, each
  frame a fresh array as the SDK hands over, a host polling getFlagAndFrame;
  RSS sampled every --sample-seconds.

The module's printed lines go to /dev/null while measuring; its log lines go
to a temporary ROOT_PATH that is removed afterwards.

    .venv/bin/python bench/bench_basler.py [--soak-minutes N]
"""
import argparse
import ctypes
import gc
import itertools
import os
import shutil
import sys
import tempfile
import threading
import time
import types
import weakref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402

from simulated_devices import basler_pylon  # noqa: E402

SERIAL = "40012345"
out = sys.stdout  # the table; the module's prints go to /dev/null


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def os_threads():
    return len(os.listdir("/proc/self/task"))


class quiet_stdout(object):
    """The module prints once a second and on every construction; keep that off the terminal."""

    def __enter__(self):
        self.null = open(os.devnull, "w")
        sys.stdout = self.null

    def __exit__(self, *exc):
        sys.stdout = out
        self.null.close()


# The Python loop the module's grab thread replaces, making the same calls
# through the same module-level names (looked up per call, as in a module).
pylon = None
l = None


class PythonGrabLoop(object):
    def __init__(self, cam):
        self.cam = cam
        self.converter = pylon.ImageFormatConverter()
        self.converter.OutputPixelFormat = pylon.PixelType_BGR8packed
        self.converter.OutputBitAlignment = pylon.OutputBitAlignment_MsbAligned
        self.lastTime = time.time()
        self.isActive = False
        self.isInitializing = True
        self.stopCam = False
        self.frame = None
        self.t1 = threading.Thread(target=self.read, daemon=False)
        self.t1.start()

    def read(self):
        try:
            while self.cam.IsGrabbing():
                if self.stopCam:
                    break
                grabResult = self.cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)
                if not grabResult.GrabSucceeded():
                    continue
                image = self.converter.Convert(grabResult)
                image = image.GetArray()
                self.frame = image
                self.isInitializing = False
                self.isActive = True
                if time.time() > self.lastTime + 1:
                    text = "Grabbed frame shape : " + str(self.frame.shape) + ", mean of image: " + \
                        str(np.average(self.frame))
                    l.info(text)
                    print(text)
                    self.lastTime = time.time()
        except Exception as e:
            if "TimeoutException" in str(e):
                l.info("Sync Camera thread. The program will restart now. Code:637b21")
            else:
                l.info("Sync Camera thread. The program will restart now." + str(e))
            self.isActive = False
        try:
            self.cam.StopGrabbing()
        except Exception:
            print("StopGrabbing did not work.")
        self.isActive = False

    def stop(self):
        self.stopCam = True
        self.isActive = False


def python_loop_on(serial):
    factory = pylon.TlFactory.GetInstance()
    info = [i for i in factory.EnumerateDevices() if i.GetSerialNumber() == serial][0]
    cam = pylon.InstantCamera(factory.CreateFirstDevice(info))
    cam.Open()
    cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
    return PythonGrabLoop(cam)


def wait_for_frame(camera, limit=10.0):
    deadline = time.monotonic() + limit
    while camera.frame is None:
        if time.monotonic() > deadline or not camera.t1.is_alive():
            raise RuntimeError("no frame from %r" % (camera,))
        time.sleep(0.001)


class _Handle(object):
    pass


class CLevelCamera(object):
    """A camera whose per-frame operations are C callables of the interpreter.

    pypylon's methods are Python wrappers around its C++ calls, and so are the
    stand-in's; calling a Python function costs a C caller more than it costs
    Python code.  With this camera the SDK's share of a frame is one C call per
    operation for both loops, so what is left is each loop's own work.
    """

    def __init__(self, device=None):
        self.IsGrabbing = itertools.repeat(False).__next__
        self.handed = itertools.repeat(None, 0)

    def Open(self):
        pass

    def StartGrabbing(self, strategy):
        frame = basler_pylon.ready_frames(1920, 1200)[0]
        result, image = _Handle(), _Handle()
        result.GrabSucceeded = itertools.repeat(True).__next__
        self.handed = itertools.repeat(frame, 10 ** 12)
        image.GetArray = self.handed.__next__
        CLevelConverter.images[result] = image
        self.RetrieveResult = {5000: result}.get  # (5000, TimeoutHandling_ThrowException) -> result
        self.IsGrabbing = itertools.repeat(True).__next__

    def StopGrabbing(self):
        self.IsGrabbing = itertools.repeat(False).__next__
        CLevelConverter.images.clear()

    def handed_over(self):
        return 10 ** 12 - self.handed.__length_hint__()


class CLevelConverter(object):
    images = {}

    def __init__(self):
        self.Convert = CLevelConverter.images.get


def c_level_pylon():
    """The stand-in's names, with the camera and the converter above."""
    names = dict((n, getattr(basler_pylon, n)) for n in dir(basler_pylon) if not n.startswith("_"))
    names.update(InstantCamera=CLevelCamera, ImageFormatConverter=CLevelConverter)
    return types.SimpleNamespace(**names)


def published_rate(start, count, seconds):
    """Frames per second a running grab loop publishes over `seconds` (after a warm-up)."""
    camera = start()
    try:
        wait_for_frame(camera)
        time.sleep(0.2)
        frames, began = count(camera), time.perf_counter()
        time.sleep(seconds)  # the grab thread has the interpreter to itself meanwhile
        frames, ended = count(camera) - frames, time.perf_counter()
        return frames / (ended - began)
    finally:
        camera.stop()
        camera.t1.join()


def measure_grab_rates(kx, world, seconds, rounds):
    """Best rates of (module, Python loop) with the stand-in's cameras and with C-level cameras."""
    global pylon
    sim = world.add_camera(SERIAL, "BaslerUsb")
    stand_in, c_level = world.activate(), c_level_pylon()
    rates = {}
    with quiet_stdout():
        for rig, sdk, count in (("stand-in", stand_in, lambda camera: sim.converted),
                                ("c-level", c_level, lambda camera: camera.cam.handed_over())):
            pylon = kx.pylon = sdk
            for _ in range(rounds):  # alternate, so drift hits both alike
                rates.setdefault((rig, "module"), []).append(
                    published_rate(lambda: kx.kx_camera(SERIAL, lastImage=True), count, seconds))
                rates.setdefault((rig, "python"), []).append(
                    published_rate(lambda: python_loop_on(SERIAL), count, seconds))
    pylon = kx.pylon = stand_in
    world.cameras.remove(sim)
    return rates


def fresh_frames(width, height):
    """Each frame a new array, as the SDK's GetArray gives: a frame kept alive by mistake shows in RSS."""
    ready = basler_pylon.ready_frames(width, height)

    def source(index):
        return ready[index % len(ready)].copy()
    return source


_libc = ctypes.CDLL(None)


def live_rss_kib():
    """RSS once the allocator has handed freed heap back: frames are 6.6 MiB each,
    and glibc keeps freed blocks of that size for reuse, which is no leak."""
    gc.collect()
    _libc.malloc_trim(0)
    return rss_kib()


def measure_cycles(kx, world, cycles):
    sim = world.add_camera(SERIAL, "BaslerUsb", frame_source=fresh_frames(1920, 1200))
    alive = weakref.WeakSet()

    def cycle():
        camera = kx.kx_camera(SERIAL)
        alive.add(camera)
        wait_for_frame(camera)
        camera.stop()
        camera.t1.join()
        del sim.writes[:]  # the stand-in's own record of feature writes is not the module's memory

    def state():
        time.sleep(0.1)  # a joined thread's OS task may take a moment to go
        return dict(threads=threading.active_count(), os_threads=os_threads(), fds=open_fds(),
                    rss=rss_kib(), live_rss=live_rss_kib(), objects=len(gc.get_objects()))

    with quiet_stdout():
        for _ in range(5):  # first-use allocations (logger, numpy, frame pool) are not growth
            cycle()
        before = state()
        checkpoints = []
        started = time.perf_counter()
        for done in range(1, cycles + 1):
            cycle()
            if done % max(1, cycles // 4) == 0:
                checkpoints.append((done, live_rss_kib()))
        elapsed = time.perf_counter() - started
        cameras_left = (len(alive), world.live_cameras())
        after = state()
    world.cameras.remove(sim)
    return before, after, elapsed, checkpoints, cameras_left


def soak(kx, world, minutes, fps, sample_seconds):
    sim = world.add_camera(SERIAL, "BaslerUsb", fps=fps, frame_source=fresh_frames(1920, 1200))
    samples = []
    polled = 0
    with quiet_stdout():
        camera = kx.kx_camera(SERIAL, fps=fps)
        began = time.monotonic()
        end = began + minutes * 60.0
        next_sample = began
        while time.monotonic() < end and camera.t1.is_alive():
            flag, frame = camera.getFlagAndFrame()  # a host polling at about 25 per second
            polled += 1
            if time.monotonic() >= next_sample:
                raw = rss_kib()
                samples.append((time.monotonic() - began, raw, live_rss_kib(), sim.converted))
                next_sample += sample_seconds
            time.sleep(0.04)
        alive, active = camera.t1.is_alive(), camera.isActive
        raw = rss_kib()
        samples.append((time.monotonic() - began, raw, live_rss_kib(), sim.converted))
        camera.stop()
        camera.t1.join()
    world.cameras.remove(sim)
    return samples, alive, active, polled


def slope_per_minute(samples, column):
    """Least-squares slope of samples[column] over time, per minute."""
    if len(samples) < 2:
        return 0.0
    times = np.array([s[0] for s in samples]) / 60.0
    values = np.array([s[column] for s in samples], dtype=float)
    return float(np.polyfit(times, values, 1)[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="length of one rate measurement")
    parser.add_argument("--rounds", type=int, default=3, help="rate measurements per loop")
    parser.add_argument("--cycles", type=int, default=200)
    parser.add_argument("--soak-minutes", type=float, default=0.0)
    parser.add_argument("--soak-fps", type=float, default=100.0)
    parser.add_argument("--sample-seconds", type=float, default=10.0)
    options = parser.parse_args()

    global pylon, l
    root = tempfile.mkdtemp(prefix="kx-bench-basler-")
    os.environ["ROOT_PATH"] = root  # the module's log file lands here
    try:
        import libs.kx_camera_basler as kx
        world = basler_pylon.World()
        pylon = kx.pylon = world.activate()
        l = kx.l

        rates = measure_grab_rates(kx, world, options.seconds, options.rounds)
        out.write("grab loop on a thread, ready 1920x1200 BGR frames handed over as fast as possible\n"
                  "(frames/s: best of %d x %.1f s; all rounds in brackets)\n" % (options.rounds, options.seconds))
        out.write("  %-44s %10s %8s\n" % ("", "frames/s", "us/frame"))
        for rig, title in (("stand-in", "stand-in (SDK calls are Python methods, like pypylon's)"),
                           ("c-level", "C-level hand-over (each loop's own work only)")):
            out.write("  %s\n" % title)
            best = {}
            for loop, label in (("module", "kx_camera grab thread"), ("python", "plain-Python loop")):
                runs = rates[(rig, loop)]
                best[loop] = max(runs)
                out.write("    %-42s %10.0f %8.2f   [%s]\n" % (
                    label, best[loop], 1e6 / best[loop], " ".join("%.0f" % r for r in runs)))
            out.write("    %-42s %10.2fx (goal >= 1.5x)\n" % ("module / Python", best["module"] / best["python"]))

        before, after, elapsed, checkpoints, cameras_left = measure_cycles(kx, world, options.cycles)
        out.write("\n%d construct/stop cycles, each up to the first frame (%.1f ms each)\n" % (
            options.cycles, 1000.0 * elapsed / options.cycles))
        out.write("  %-32s %12s %12s %10s\n" % ("", "before", "after", "growth"))
        for key, label in (("threads", "Python threads"), ("os_threads", "OS threads"),
                           ("fds", "open file descriptors"), ("objects", "gc-tracked objects"),
                           ("rss", "RSS KiB"), ("live_rss", "RSS KiB after malloc_trim")):
            out.write("  %-32s %12d %12d %+10d\n" % (label, before[key], after[key], after[key] - before[key]))
        out.write("  RSS KiB after malloc_trim along the way: %s\n" % ", ".join(
            "%d cycles %d" % point for point in checkpoints))
        if len(checkpoints) > 1:
            (first_done, first_rss), (last_done, last_rss) = checkpoints[0], checkpoints[-1]
            out.write("  growth per cycle from cycle %d on: %.2f KiB (a frame is %d KiB; freed frames the\n"
                      "  allocator keeps for reuse show as a step at the start, a leak as a slope)\n" % (
                          first_done, float(last_rss - first_rss) / (last_done - first_done), 1920 * 1200 * 3 // 1024))
        out.write("  left alive right after the last cycle: %d kx_camera, %d InstantCamera objects\n" % cameras_left)

        if options.soak_minutes > 0:
            samples, alive, active, polled = soak(kx, world, options.soak_minutes, options.soak_fps,
                                                  options.sample_seconds)
            seconds, frames = samples[-1][0], samples[-1][3]
            out.write("\nsoak: %.1f min at %.0f frames/s, fresh frame arrays, RSS every %.0f s\n" % (
                seconds / 60.0, options.soak_fps, options.sample_seconds))
            out.write("  frames %d (%.1f/s), host polls %d, thread alive to the end: %s, isActive: %s\n" % (
                frames, frames / seconds, polled, alive, active))
            # The first minute warms up (first frames, allocator); growth after it is what a leak looks like.
            warm = [s for s in samples if s[0] >= 60.0] or samples
            for column, label in ((1, "RSS KiB"), (2, "RSS KiB after malloc_trim")):
                values = [s[column] for s in samples]
                out.write("  %-26s first %d, last %d, max %d, min %d; after the first minute: "
                          "first %d, last %d, slope %+.1f KiB/min\n" % (
                              label, values[0], values[-1], max(values), min(values),
                              warm[0][column], warm[-1][column], slope_per_minute(warm, column)))
        out.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
