"""What the library does, end to end, without hardware.

1. Packs a small sample model into an enciphered container, unpacks it as the
   application does at start-up, checks the unpacked files and cleans up.
2. If the Basler camera module is built, opens an emulated Basler camera from
   the camera SDK, lets the grab thread deliver frames for a few seconds,
   saves the newest one and stops.
"""
import os
import sys
import tempfile
import time
import warnings

os.environ.setdefault("PYLON_CAMEMU", "1")  # the SDK's own camera emulation
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
os.chdir(ROOT)

import libs.kx_container as kx_container  # noqa: E402

SAMPLE = os.path.join(ROOT, "demo", "sample_model")


def container_round_trip(work):
    print("== model container ==")
    cfg = os.path.join(SAMPLE, "tiny.cfg")
    names = os.path.join(SAMPLE, "tiny.names")
    weights = os.path.join(work, "tiny.weights")
    with open(weights, "wb") as f:
        f.write(bytes(range(256)) * 20 + b"end")  # 5123 bytes of "weights"
    container = os.path.join(work, "tiny.kx")

    box = kx_container.kx_container("11")
    box.createContainer(cfg, weights, names, container, {"name": "tiny", "classes": 3, "input": [416, 416]})
    print("container: %s, %d bytes" % (container, os.path.getsize(container)))

    box = kx_container.kx_container()
    box.extractContainer(container)
    for label, source, unpacked in (("cfg", cfg, box.tmp_cfg), ("weights", weights, box.tmp_weight),
                                    ("names", names, box.tmp_names)):
        original, restored = open(source, "rb").read(), open(unpacked, "rb").read()
        same = restored.rstrip(b" ") == original.rstrip(b" ")
        print("%-8s %5d bytes -> %-40s %5d bytes, content %s" % (
            label, len(original), unpacked, len(restored), "intact" if same else "DIFFERENT"))
    print("description:", box.meta)
    box.cleanup()
    print("unpacked files removed:", not any(os.path.exists(p) for p in (box.tmp_cfg, box.tmp_weight, box.tmp_names)))


def emulated_camera(work):
    try:
        import libs.kx_camera_basler as basler
    except ImportError as error:
        print("(Basler module not available: %s)" % error)
        return
    print("== Basler camera (SDK emulation) ==")
    # Newer pypylon prefers `.Value =` to assigning a feature; the box's knows only assignment.
    warnings.filterwarnings("ignore", "Setting a feature value by direct assignment", DeprecationWarning)
    # Emulated cameras are of their own device class, so the list of USB and
    # GigE cameras stays empty; the camera is opened by its serial number.
    print("cameras:", basler.listCameras())
    cam = basler.kx_camera("0815-0000")
    deadline = time.time() + 3
    while time.time() < deadline:
        time.sleep(0.5)
        flag, frame = cam.getFlagAndFrame()
        print("flag %s, frame %s" % (flag, None if frame is None else frame.shape))
    picture = os.path.join(work, "frame.png")
    cam.saveFrame(picture)
    print("saved %s (%d bytes)" % (picture, os.path.getsize(picture)))
    cam.stop()
    cam.t1.join()
    print("grab thread ended; flag now", cam.getFlagAndFrame()[0])


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="kx-demo-") as work:
        container_round_trip(work)
        emulated_camera(work)
