"""Container create/extract: speed and peak memory on a large weights file.

Each operation runs in a fresh interpreter, which reports its wall time and
its peak RSS growth (the peak is reset just before the operation).  Both are
compared, in the same run, with `cp` of the weights file and with a plain
in-memory Python version of the format.

    .venv/bin/python bench/bench_container.py [--size-mib 1024]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = r"""
import os, sys, time, json
sys.path.insert(0, {root!r})
import libs.kx_container as kxc
from tests import reference_container as ref

def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024

op, args = sys.argv[1], sys.argv[2:]
sys.stdout = open(os.devnull, "w")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak RSS to the current RSS
before = rss("VmRSS:")
start = time.perf_counter()
if op == "native-create":
    kxc.kx_container().createContainer(*args)
elif op == "native-extract":
    box = kxc.kx_container(); box.extractContainer(args[0]); box.cleanup()
elif op == "python-create":
    ref.create(*args)
elif op == "python-extract":
    for p in ref.extract(args[0]): os.remove(p)
elapsed = time.perf_counter() - start
sys.__stdout__.write(json.dumps({{"seconds": elapsed, "peak_growth": rss("VmHWM:") - before}}))
"""


def run_child(op, *args):
    out = subprocess.run([sys.executable, "-c", CHILD.format(root=ROOT), op] + list(args),
                         check=True, capture_output=True, text=True).stdout
    import json
    return json.loads(out)


def timed_cp(src, dst):
    start = time.perf_counter()
    subprocess.run(["cp", src, dst], check=True)
    return time.perf_counter() - start


def best_of(runs, fn):
    results = [fn() for _ in range(runs)]
    return min(results, key=lambda r: r["seconds"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=2)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kx-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        cfg, weights, names = (os.path.join(work, n) for n in ("net.cfg", "net.weights", "net.names"))
        open(cfg, "wb").write(os.urandom(4000))
        open(names, "wb").write(b"person\ncar\nbicycle\n")
        with open(weights, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(options.size_mib):
                f.write(block)
            f.write(b"tail")  # not whole blocks: exercises the padding
        c_native, c_python = os.path.join(work, "native.kx"), os.path.join(work, "python.kx")

        cp_seconds = min(timed_cp(weights, os.path.join(work, "copy")) for _ in range(options.runs))
        rows = [
            ("native create", best_of(options.runs, lambda: run_child("native-create", cfg, weights, names, c_native))),
            ("python create", best_of(options.runs, lambda: run_child("python-create", cfg, weights, names, c_python))),
        ]
        identical = subprocess.run(["cmp", "-s", c_native, c_python]).returncode == 0
        cp_tmp_seconds = min(timed_cp(c_native, os.path.join("/tmp", "kx-bench-copy")) for _ in range(options.runs))
        os.remove(os.path.join("/tmp", "kx-bench-copy"))
        rows += [
            ("native extract", best_of(options.runs, lambda: run_child("native-extract", c_native))),
            ("python extract", best_of(options.runs, lambda: run_child("python-extract", c_native))),
        ]
    finally:
        shutil.rmtree(work)

    print("weights file: %d MiB; cp of it: %.3f s (into /tmp: %.3f s)" % (options.size_mib, cp_seconds, cp_tmp_seconds))
    print("%-16s %10s %10s %16s" % ("operation", "seconds", "x cp", "peak RSS growth"))
    for name, result in rows:
        base = cp_seconds if "create" in name else cp_tmp_seconds
        print("%-16s %10.3f %10.2f %13.1f MiB" % (
            name, result["seconds"], result["seconds"] / base, result["peak_growth"] / 2**20))
    print("native and python containers identical: %s" % identical)


if __name__ == "__main__":
    main()
