"""The UBX reader and message builder, forwarded from the pyubx2 package.

On the box the application ships its own copy of this package here.
"""
from pyubx2 import *  # noqa: F401,F403
from pyubx2 import UBXMessage, UBXReader, SET  # noqa: F401
