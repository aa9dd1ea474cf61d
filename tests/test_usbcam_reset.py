"""usbcam_reset, the program the camera recovery runs, on a sysfs/devfs test tree.

In the tree a device node is a plain file, so the kernel refuses the reset
ioctl with ENOTTY; a small LD_PRELOAD shim stands in for the kernel where a
reset has to succeed.
"""
import errno
import os
import shutil
import subprocess
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM = os.path.join(ROOT, "libs", "usbcam_reset")
ENOTTY_TEXT = os.strerror(errno.ENOTTY)


class UsbTree:
    """sys/bus/usb/devices/<name>/{idVendor,idProduct,busnum,devnum} and dev/bus/usb/BBB/DDD."""

    def __init__(self, root):
        self.sysfs = root / "sys"
        self.devfs = root / "dev"
        self.devices = self.sysfs / "bus" / "usb" / "devices"
        self.devices.mkdir(parents=True)
        (self.devfs / "bus" / "usb").mkdir(parents=True)

    def add(self, name, vendor, product, bus, dev, node=True):
        entry = self.devices / name
        entry.mkdir()
        for attribute, value in [("idVendor", vendor), ("idProduct", product),
                                 ("busnum", str(bus)), ("devnum", str(dev))]:
            (entry / attribute).write_text(value + "\n")
        path = self.node(bus, dev)
        if node:
            path.parent.mkdir(exist_ok=True)
            path.touch()
        return str(path)

    def node(self, bus, dev):
        return self.devfs / "bus" / "usb" / ("%03d" % bus) / ("%03d" % dev)

    def roots(self):
        return ["--sysfs-root", str(self.sysfs), "--devfs-root", str(self.devfs)]


@pytest.fixture
def tree(tmp_path):
    assert os.access(PROGRAM, os.X_OK), "build usbcam_reset first (make build)"
    return UsbTree(tmp_path)


def run(args, env=None):
    merged = dict(os.environ)
    merged.pop("USBCAM_RESET_SYSFS_ROOT", None)
    merged.pop("USBCAM_RESET_DEVFS_ROOT", None)
    merged.update(env or {})
    return subprocess.run([PROGRAM] + args, capture_output=True, text=True, env=merged, timeout=30)


def refused(node):
    return "USBDEVFS_RESET failed on %s: %s" % (node, ENOTTY_TEXT)


# --- the command line ------------------------------------------------------

@pytest.mark.parametrize("ids", [
    ["-v", "0x", "1ab2", "-p", "0x", "cd34"],
    ["-v", "0x1ab2", "-p", "0xcd34"],              # as the camera recovery builds it
    ["-v", "0X1AB2", "-p", "0x", "CD34"],
    ["-v", "1ab2", "-p", "cd34"],
    ["-p", "0xcd34", "-v", "0x", "1Ab2"],
], ids=["separate-0x", "joined", "upper-case", "no-prefix", "reordered"])
def test_id_forms_reach_the_matching_device(tree, ids):
    node = tree.add("1-1", "1ab2", "cd34", 1, 4)
    result = run(ids + ["--reset-usb"] + tree.roots())
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == "usbcam_reset: reset refused for 1ab2:cd34 (1-1): %s\n" % refused(node)


def test_the_shell_command_of_the_camera_recovery(tree):
    node = tree.add("2-3", "1ab2", "cd34", 2, 7)
    command = "%s -v 0x1ab2 -p  0xcd34 --reset-usb --verbose" % PROGRAM
    env = dict(os.environ, USBCAM_RESET_SYSFS_ROOT=str(tree.sysfs),
               USBCAM_RESET_DEVFS_ROOT=str(tree.devfs))
    result = subprocess.run(command, shell=True, capture_output=True, text=True, env=env, timeout=30)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        "usbcam_reset: found 1ab2:cd34 as 2-3 on bus 002 device 007",
        "usbcam_reset: resetting %s (2-3)" % node,
        "usbcam_reset: 0 of 1 devices 1ab2:cd34 reset",
    ]
    assert refused(node) in result.stderr


@pytest.mark.parametrize("args, message", [
    (["-v"], "-v needs the vendor ID, e.g. -v 0x1ab2"),
    (["-p", "0xcd34", "--reset-usb", "-v", "0x"], "-v 0x needs the vendor ID's hexadecimal digits after it"),
    (["-v", "0x1ab2", "--reset-usb", "-p"], "-p needs the product ID, e.g. -p 0x1ab2"),
    (["-v", "0xzz12", "-p", "0xcd34", "--reset-usb"], 'bad vendor ID "zz12": expected 1 to 4 hexadecimal digits'),
    (["-v", "0x", "-p", "0xcd34", "--reset-usb"], 'bad vendor ID "-p": expected 1 to 4 hexadecimal digits'),
    (["-v", "0x1ab2", "-p", "0x1cd34", "--reset-usb"], 'bad product ID "1cd34": expected 1 to 4 hexadecimal digits'),
    (["-v", "0x1ab2", "-p", "", "--reset-usb"], 'bad product ID "": expected 1 to 4 hexadecimal digits'),
    (["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb", "--force"], 'unknown argument "--force"'),
    (["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb", "extra"], 'unknown argument "extra"'),
    (["-v", "0x1ab2", "-p", "0xcd34", "--verbose"], "nothing to do: --reset-usb is missing"),
    (["-p", "0xcd34", "--reset-usb"], "the vendor ID is missing (-v 0x VENDOR)"),
    (["-v", "0x1ab2", "--reset-usb"], "the product ID is missing (-p 0x PRODUCT)"),
    (["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb", "--sysfs-root"], "--sysfs-root needs a directory"),
    (["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb", "--devfs-root="], "--devfs-root needs a directory"),
])
def test_argument_errors_reset_nothing(tree, args, message):
    tree.add("1-1", "1ab2", "cd34", 1, 4)
    env = {"USBCAM_RESET_SYSFS_ROOT": str(tree.sysfs), "USBCAM_RESET_DEVFS_ROOT": str(tree.devfs)}
    result = run(args, env)
    assert result.returncode == 2
    assert result.stdout == ""
    first, usage = result.stderr.split("\n", 1)
    assert first == "usbcam_reset: " + message
    assert usage.startswith("usage: usbcam_reset -v 0x VENDOR -p 0x PRODUCT --reset-usb")


def test_help_is_not_an_error(tree):
    result = run(["--help"])
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith("usage: usbcam_reset")


# --- finding the devices ---------------------------------------------------

@pytest.fixture
def mixed_tree(tree):
    """Three devices 1ab2:cd34 among others; only the matching ones have device nodes."""
    nodes = [tree.add("3-1", "1AB2", "CD34", 3, 2),   # sysfs spelled in upper case
             tree.add("1-1.4", "1ab2", "cd34", 1, 9),
             tree.add("1-2", "1ab2", "cd34", 1, 12)]
    tree.add("1-1", "1ab2", "cd35", 1, 5, node=False)   # same vendor, other product
    tree.add("2-1", "ffff", "cd34", 2, 3, node=False)   # other vendor, same product
    tree.add("usb1", "1d6b", "0002", 1, 1, node=False)  # root hub
    (tree.devices / "1-1.4:1.0").mkdir()                 # interface: no IDs at all
    (tree.devices / "1-1.4:1.0" / "bInterfaceClass").write_text("ff\n")
    return tree, sorted(nodes)


def test_every_matching_device_is_attempted_and_listed(mixed_tree):
    tree, nodes = mixed_tree
    result = run(["-v", "0x", "1ab2", "-p", "0x", "cd34", "--reset-usb", "--verbose"] + tree.roots())
    assert result.returncode == 1
    out = result.stdout.splitlines()
    assert out[:3] == ["usbcam_reset: found 1ab2:cd34 as 1-1.4 on bus 001 device 009",
                       "usbcam_reset: found 1ab2:cd34 as 1-2 on bus 001 device 012",
                       "usbcam_reset: found 1ab2:cd34 as 3-1 on bus 003 device 002"]
    assert [line.split()[2] for line in out if "resetting" in line] == nodes
    assert out[-1] == "usbcam_reset: 0 of 3 devices 1ab2:cd34 reset"
    # A device without a node would show up as "cannot open": only matches were tried.
    assert [line.split(": ")[-2] for line in result.stderr.splitlines()] == [
        "USBDEVFS_RESET failed on " + node for node in nodes]


def test_roots_from_environment_and_options_over_them(mixed_tree, tmp_path):
    tree, nodes = mixed_tree
    args = ["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb"]
    env = {"USBCAM_RESET_SYSFS_ROOT": str(tree.sysfs), "USBCAM_RESET_DEVFS_ROOT": str(tree.devfs)}
    assert run(args, env).stderr.count(ENOTTY_TEXT) == 3

    empty = tmp_path / "empty"
    (empty / "bus" / "usb" / "devices").mkdir(parents=True)
    env["USBCAM_RESET_SYSFS_ROOT"] = str(empty)
    assert run(args + ["--sysfs-root=" + str(tree.sysfs)], env).stderr.count(ENOTTY_TEXT) == 3
    assert run(args, env).returncode == 3


def test_no_matching_device(mixed_tree):
    tree, _ = mixed_tree
    result = run(["-v", "0x1ab2", "-p", "0xcd36", "--reset-usb", "--verbose"] + tree.roots())
    assert result.returncode == 3
    assert result.stdout == ""
    assert result.stderr == "usbcam_reset: no USB device 1ab2:cd36 found in %s\n" % tree.devices


@pytest.mark.parametrize("damage, message", [
    ("no-node", "cannot open {node}: " + os.strerror(errno.ENOENT)),
    ("no-busnum", "cannot read {entry}/busnum: " + os.strerror(errno.ENOENT)),
    ("bad-devnum", '{entry}/devnum holds "x4", not a number'),
    ("no-sysfs", "cannot list USB devices in {devices}: " + os.strerror(errno.ENOENT)),
])
def test_unreachable_device_is_a_failure(tree, damage, message):
    node = tree.add("1-1", "1ab2", "cd34", 1, 4, node=damage != "no-node")
    entry = tree.devices / "1-1"
    if damage == "no-busnum":
        (entry / "busnum").unlink()
    elif damage == "bad-devnum":
        (entry / "devnum").write_text("x4\n")
    elif damage == "no-sysfs":
        shutil.rmtree(str(tree.sysfs))
    result = run(["-v", "0x1ab2", "-p", "0xcd34", "--reset-usb"] + tree.roots())
    assert result.returncode == 1
    assert message.format(node=node, entry=entry, devices=tree.devices) in result.stderr


# --- a reset the kernel accepts --------------------------------------------

SHIM = textwrap.dedent("""\
    #define _GNU_SOURCE
    #include <dlfcn.h>
    #include <linux/usbdevice_fs.h>
    #include <stdarg.h>
    #include <stdio.h>
    #include <stdlib.h>
    #include <sys/ioctl.h>
    #include <unistd.h>

    /* Accepts USBDEVFS_RESET and notes the node it was asked on. */
    int ioctl(int fd, unsigned long request, ...) {
        va_list ap;
        va_start(ap, request);
        void *arg = va_arg(ap, void *);
        va_end(ap);
        if (request == USBDEVFS_RESET) {
            char link[64], path[4096];
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, path, sizeof path - 1);
            if (n < 0) return -1;
            path[n] = 0;
            FILE *log = fopen(getenv("RESET_LOG"), "a");
            fprintf(log, "%s\\n", path);
            fclose(log);
            return 0;
        }
        int (*next)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
        return next(fd, request, arg);
    }
    """)


@pytest.fixture(scope="module")
def accepting_kernel(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler for the ioctl shim")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    library = folder / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(folder / "shim.c"), "-ldl"],
                   check=True)
    return library


def test_accepted_resets_are_reported(mixed_tree, accepting_kernel, tmp_path):
    tree, nodes = mixed_tree
    log = tmp_path / "resets.log"
    # After any sanitizer runtime already preloaded, which must come first.
    preload = (os.environ.get("LD_PRELOAD", "") + " " + str(accepting_kernel)).strip()
    env = {"LD_PRELOAD": preload, "RESET_LOG": str(log)}
    args = ["-v", "0x", "1ab2", "-p", "0x", "cd34", "--reset-usb"] + tree.roots()

    quiet = run(args, env)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    assert log.read_text().splitlines() == nodes

    log.unlink()
    verbose = run(args + ["--verbose"], env)
    assert (verbose.returncode, verbose.stderr) == (0, "")
    assert [line for line in verbose.stdout.splitlines() if "reset done" in line] == [
        "usbcam_reset: reset done: " + node for node in nodes]
    assert verbose.stdout.splitlines()[-1] == "usbcam_reset: 3 of 3 devices 1ab2:cd34 reset"
    assert log.read_text().splitlines() == nodes
