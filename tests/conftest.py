import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# The camera SDK reads this when its transport-layer factory first starts:
# two emulated Basler cameras for the integration tests.
os.environ.setdefault("PYLON_CAMEMU", "2")

# The modules imported by the tests log under ROOT_PATH/logs; without it they
# would append to the checkout's own logs. Set before any test module imports
# them; tests of the working-directory defaults remove it themselves.
SESSION_ROOT = tempfile.mkdtemp(prefix="kx-tests-")
os.environ["ROOT_PATH"] = SESSION_ROOT


def pytest_unconfigure(config):
    shutil.rmtree(SESSION_ROOT, ignore_errors=True)
