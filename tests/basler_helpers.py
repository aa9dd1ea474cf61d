"""What the Basler camera tests share: the module's new log lines, waiting for
the grab thread, and cameras that are stopped and joined after each test."""
import os
import time

import pytest

import libs.kx_camera_basler as basler


def wait_until(predicate, seconds=15.0):
    """Polls `predicate` until it holds; False if it still does not after `seconds`."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


@pytest.fixture
def log_lines():
    """A callable giving (level, message) of every line the module logged since the test began."""
    path = basler.logfile
    start = os.path.getsize(path)

    def read():
        for handler in basler.l.handlers:
            handler.flush()
        with open(path) as log:
            log.seek(start)
            text = log.read()
        return [tuple(line.split(" - ", 3)[2:]) for line in text.splitlines()]

    return read


@pytest.fixture
def cameras():
    """Constructs kx_camera objects; each is stopped and its grab thread joined afterwards."""
    made = []

    def make(*args, **kwargs):
        cam = basler.kx_camera(*args, **kwargs)
        made.append(cam)
        return cam

    yield make
    for cam in made:
        cam.stop()
        cam.t1.join(timeout=15)
        assert not cam.t1.is_alive(), "grab thread still running"
        # The module leaves its camera open for the life of the process; a
        # test gives it back so the next one starts from a closed device.
        cam.cam.Close()
