"""A plain in-memory Python writer and reader of the container format.

The tests use it as an independent oracle for the native module's bytes, and
the container benchmark as its baseline: everything is held whole in memory.
"""
import json
import os
import sys
import time

from Crypto.Cipher import AES

KEY = b"KTPLMQZAVWXJRYUO"
IV = b"8305719264018453"
FIRST_BYTES = 1024


def pad(data):
    return data + b" " * (-len(data) % 16)


def seal(data, first_bytes=None):
    data = pad(data)
    cipher = AES.new(KEY, AES.MODE_CBC, IV)
    if first_bytes is None:
        return cipher.encrypt(data)
    return cipher.encrypt(data[:first_bytes]) + data[first_bytes:]


def unseal(data, first_bytes=None):
    cipher = AES.new(KEY, AES.MODE_CBC, IV)
    if first_bytes is None:
        return cipher.decrypt(data)
    return cipher.decrypt(data[:first_bytes]) + data[first_bytes:]


def length(n):
    return n.to_bytes(4, sys.byteorder, signed=False)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def container_bytes(cfg, weights, names, version=b"\x01", description=None, first_bytes=FIRST_BYTES):
    """The container for the given contents, as one bytes object."""
    out = [version, b"\x00"]
    for section in (seal(cfg), seal(weights, first_bytes), seal(names)):
        out += [length(len(section)), section]
    if version == b"\x11":
        section = seal(json.dumps({} if description is None else description).encode("utf-8"))
        out += [length(len(section)), section]
    return b"".join(out)


def create(cfg_path, weight_path, names_path, c_path, version=b"\x01"):
    data = container_bytes(read(cfg_path), read(weight_path), read(names_path), version)
    with open(c_path, "wb") as f:
        f.write(data)


def extract(c_path, out_dir="/tmp"):
    with open(c_path, "rb") as f:
        data = f.read()
    pos = 2
    sections = []
    for first_bytes in (None, FIRST_BYTES, None):
        n = int.from_bytes(data[pos:pos + 4], sys.byteorder)
        sections.append(unseal(data[pos + 4:pos + 4 + n], first_bytes))
        pos += 4 + n
    stamp = str(time.time())
    paths = [os.path.join(out_dir, stamp + s) for s in ("cache1", "cachedisk1", "cachemem1")]
    for path, content in zip(paths, sections):
        with open(path, "wb") as f:
            f.write(content)
    return paths
