import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# The camera SDK reads this when its transport-layer factory first starts:
# two emulated Basler cameras for the integration tests.
os.environ.setdefault("PYLON_CAMEMU", "2")
