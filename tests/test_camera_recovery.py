"""Camera power cycle and USB reset, as methods of the Basler camera class.

Commands run for real through the shell: the GPIO writes fail harmlessly on a
machine without /sys/class/gpio, `usb-devices` is a script on PATH printing a
prepared listing, and `usbcam_reset` a script that records its arguments.
`subprocess.Popen` is wrapped to record each command and the module's `time`
is replaced so that the pauses are recorded instead of waited out.
"""
import os
import subprocess
import sys
import textwrap
import types

import pytest

import libs.kx_camera_basler as basler

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

POWER_FAILED = "Error in KX_Camera. Cant start camera, Please check if Main application is running. Error:"
RESET_FAILED = "Error in KX_Camera. Cant reset USB, Please check if Camera is attached. Error:"

# Two cameras share a serial number (a re-flashed spare); a webcam without one
# sits between them, and a device with another serial number comes first.
LISTING = textwrap.dedent("""\
    T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480 MxCh= 2
    D:  Ver= 2.00 Cls=09(hub  ) Sub=00 Prot=01 MxPS=64 #Cfgs=  1
    P:  Vendor=1d6b ProdID=0002 Rev=05.04
    S:  Manufacturer=Linux 5.4.0 xhci-hcd
    S:  SerialNumber=0000:01:00.0

    T:  Bus=02 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=5000 MxCh= 0
    P:  Vendor=2676 ProdID=ba02 Rev=00.00
    S:  Manufacturer=Basler
    S:  Product=daA1920-30um
    S:  SerialNumber=  40012345\t
    C:  #Ifs= 3 Cfg#= 1 Atr=80 MxPwr=896mA

    T:  Bus=01 Lev=01 Prnt=01 Port=01 Cnt=01 Dev#=  3 Spd=480 MxCh= 0
    P:  Vendor=046d ProdID=0825 Rev=00.12
    S:  Product=Webcam C270

    T:  Bus=02 Lev=01 Prnt=01 Port=01 Cnt=02 Dev#=  4 Spd=5000 MxCh= 0
    P:  Vendor=2676 ProdID=BA03 Rev=00.00
    S:  SerialNumber=40012345
    """)


def run_step(command, **extra):
    return ("run", command, dict(shell=True, stdout=subprocess.PIPE, **extra))


def reset_command(program, vendor, product):
    return run_step("%s -v 0x%s -p  0x%s --reset-usb --verbose" % (program, vendor, product))


@pytest.fixture
def camera():
    return basler.kx_camera.__new__(basler.kx_camera)


@pytest.fixture
def steps(monkeypatch):
    """Commands started and pauses taken, in order."""
    log = []
    real_popen = subprocess.Popen

    def recording_popen(*args, **kwargs):
        (command,) = args
        log.append(("run", command, kwargs))
        return real_popen(*args, **kwargs)

    monkeypatch.setattr(subprocess, "Popen", recording_popen)
    monkeypatch.setattr(basler, "time", types.SimpleNamespace(sleep=lambda s: log.append(("sleep", s))))
    return log


def write_usb_devices(folder, listing):
    """An executable `usb-devices` in `folder` printing `listing` (bytes or text)."""
    folder.mkdir(exist_ok=True)
    data = folder / "listing"
    data.write_bytes(listing if isinstance(listing, bytes) else listing.encode())
    script = folder / "usb-devices"
    script.write_text("#!/bin/sh\ncat '%s'\n" % data)
    script.chmod(0o755)


@pytest.fixture
def usb_devices(tmp_path, monkeypatch):
    """Sets what `usb-devices` on PATH prints."""
    folder = tmp_path / "bin"
    monkeypatch.setenv("PATH", str(folder) + os.pathsep + os.environ["PATH"])
    return lambda listing: write_usb_devices(folder, listing)


class ResetProgram:
    """A `usbcam_reset` under <root>/libs that notes each call's arguments."""

    def __init__(self, root):
        self.record = root / "resets"
        self.path = root / "libs" / "usbcam_reset"
        self.path.parent.mkdir(parents=True)
        self.path.write_text('#!/bin/sh\nfor a in "$@"; do printf "%%s|" "$a"; done >> "%s"\n'
                             'echo >> "%s"\n' % (self.record, self.record))
        self.path.chmod(0o755)

    def calls(self):
        return self.record.read_text().splitlines() if self.record.exists() else []


@pytest.fixture
def reset_program(tmp_path, monkeypatch):
    program = ResetProgram(tmp_path / "root")
    monkeypatch.setenv("ROOT_PATH", str(tmp_path / "root"))
    return program


def call_with_serial(camera, serial, how):
    return camera.usbreset(serial) if how == "positional" else camera.usbreset(serial=serial)


# --- power cycle -----------------------------------------------------------

def test_power_off_exports_drives_low_and_pauses(camera, steps, capfd):
    assert camera.gpio_reset_off() is None
    assert steps == [
        run_step("echo 264 > /sys/class/gpio/export"), ("sleep", 1),
        run_step("echo out > /sys/class/gpio/gpio264/direction"), ("sleep", 1),
        run_step("echo 0 > /sys/class/gpio/gpio264/value"), ("sleep", 1),
    ]
    out, err = capfd.readouterr()
    # The failed writes are the shell's business: reported on stderr, not raised.
    assert out == ""
    assert "/sys/class/gpio/export" in err and "/sys/class/gpio/gpio264/value" in err


def test_power_on_drives_high_with_errors_discarded(camera, steps, capfd):
    assert camera.gpio_reset_on() is None
    assert steps == [run_step("echo 1 > /sys/class/gpio/gpio264/value", stderr=subprocess.DEVNULL),
                     ("sleep", 2)]
    assert capfd.readouterr() == ("", "")


# --- USB reset -------------------------------------------------------------

@pytest.mark.parametrize("how", ["positional", "keyword"])
def test_every_device_with_the_serial_is_reset_with_its_own_ids(
        camera, steps, usb_devices, reset_program, capfd, how):
    usb_devices(LISTING)
    assert call_with_serial(camera, "40012345", how) is None
    assert steps == [
        run_step("usb-devices"), ("sleep", 0.5),
        reset_command(reset_program.path, "2676", "ba02"), ("sleep", 0.5),
        reset_command(reset_program.path, "2676", "BA03"), ("sleep", 0.5),
    ]
    # The double blank after -p is the shell's business; the program gets one word per ID.
    assert reset_program.calls() == ["-v|0x2676|-p|0xba02|--reset-usb|--verbose|",
                                     "-v|0x2676|-p|0xBA03|--reset-usb|--verbose|"]
    assert capfd.readouterr() == ("USB INIT DONE\nUSB INIT DONE\n", "")


def test_lines_go_through_the_interpreters_print(camera, steps, usb_devices, reset_program, monkeypatch, capfd):
    printed = []
    monkeypatch.setattr(basler, "print", lambda *args, **kwargs: printed.append((args, kwargs)), raising=False)
    usb_devices(LISTING)
    camera.usbreset("40012345")
    assert printed == [(("USB INIT DONE",), {})] * 2
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("serial", [
    "40012346",
    "4001234",
    " 40012345",       # blanks in the argument are kept
    "40012345\n",
    40012345,          # a number is never equal to the listed text
    "0000:01:00.0 ",
    "basler",
], ids=repr)
def test_no_matching_serial_resets_nothing(camera, steps, usb_devices, reset_program, capfd, serial):
    usb_devices(LISTING.replace("Manufacturer=Basler", "SerialNumber=Basler"))
    assert camera.usbreset(serial) is None
    assert steps == [run_step("usb-devices"), ("sleep", 0.5)]
    assert reset_program.calls() == []
    assert capfd.readouterr() == ("", "")


def test_serial_comparison_is_case_sensitive(camera, steps, usb_devices, reset_program, capfd):
    usb_devices("P:  Vendor=2676 ProdID=ba02 Rev=00.00\nS:  SerialNumber=AB12cd\n")
    camera.usbreset("ab12cd")
    camera.usbreset("AB12CD")
    assert reset_program.calls() == []
    camera.usbreset("AB12cd")
    assert reset_program.calls() == ["-v|0x2676|-p|0xba02|--reset-usb|--verbose|"]
    assert capfd.readouterr().out == "USB INIT DONE\n"


def test_product_line_pieces_end_at_the_first_blank(camera, steps, usb_devices, reset_program):
    # Only "P:  " lines count ("P: " with one blank does not), and each ID is
    # the text of its "="-piece up to the first blank, whatever it says.
    usb_devices("P: Vendor=9999 ProdID=9999\n"
                "P:  Vendor=abc=def ghi Rev\n"
                "S:  SerialNumber=X1\n")
    camera.usbreset("X1")
    assert steps[2] == reset_command(reset_program.path, "abc", "def")


def test_program_from_working_directory_without_root_path(
        camera, steps, usb_devices, tmp_path, monkeypatch, capfd):
    here = tmp_path / "app"
    program = ResetProgram(here)
    elsewhere = ResetProgram(tmp_path / "other")
    monkeypatch.delenv("ROOT_PATH", raising=False)
    monkeypatch.chdir(here)
    usb_devices(LISTING)
    camera.usbreset("40012345")
    assert steps[2] == reset_command("./libs/usbcam_reset", "2676", "ba02")
    assert len(program.calls()) == 2 and elsewhere.calls() == []

    monkeypatch.setenv("ROOT_PATH", str(tmp_path / "other"))
    camera.usbreset("40012345")
    assert steps[-2] == reset_command(os.path.join(str(tmp_path / "other"), "libs", "usbcam_reset"),
                                      "2676", "BA03")
    assert len(program.calls()) == 2 and len(elsewhere.calls()) == 2
    assert capfd.readouterr().out == "USB INIT DONE\n" * 4


def test_missing_reset_program_is_not_an_error(camera, steps, usb_devices, tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("ROOT_PATH", str(tmp_path / "nowhere"))
    usb_devices(LISTING)
    assert camera.usbreset("40012345") is None
    out, err = capfd.readouterr()
    assert out == "USB INIT DONE\n" * 2
    assert "usbcam_reset" in err  # the shell's own complaint


def test_with_the_real_reset_program(camera, steps, usb_devices, tmp_path, monkeypatch, capfd):
    program = os.path.join(ROOT, "libs", "usbcam_reset")
    assert os.access(program, os.X_OK), "build usbcam_reset first (make build)"
    devices = tmp_path / "sys" / "bus" / "usb" / "devices" / "2-1"
    devices.mkdir(parents=True)
    for name, value in [("idVendor", "2676"), ("idProduct", "ba02"), ("busnum", "2"), ("devnum", "5")]:
        (devices / name).write_text(value + "\n")
    node = tmp_path / "dev" / "bus" / "usb" / "002" / "005"
    node.parent.mkdir(parents=True)
    node.touch()
    monkeypatch.setenv("ROOT_PATH", ROOT)
    monkeypatch.setenv("USBCAM_RESET_SYSFS_ROOT", str(tmp_path / "sys"))
    monkeypatch.setenv("USBCAM_RESET_DEVFS_ROOT", str(tmp_path / "dev"))
    usb_devices("P:  Vendor=2676 ProdID=ba02 Rev=00.00\nS:  SerialNumber=40012345\n")

    assert camera.usbreset("40012345") is None
    out, err = capfd.readouterr()
    # A plain file is no usbfs node, so the kernel refuses; the recovery goes on regardless.
    assert out == "USB INIT DONE\n"
    assert "usbcam_reset: reset refused for 2676:ba02 (2-1)" in err


# --- failures --------------------------------------------------------------

def failing_popen(*args, **kwargs):
    raise OSError("no shell to run " + args[0])


@pytest.mark.parametrize("listing, cause, text", [
    ("S:  SerialNumber=40012345\nP:  Vendor=2676 ProdID=ba02 Rev=00.00\n", UnboundLocalError, None),
    ("P:  Vendor=2676 ProdID ba02\nS:  SerialNumber=other\n", IndexError, "list index out of range"),
    ("P:  Vendor=2676\n", IndexError, "list index out of range"),
    (b"P:  Vendor=2676 ProdID=ba02\n\xff\n", UnicodeDecodeError,
     "'utf-8' codec can't decode byte 0xff in position 28: invalid start byte"),
], ids=["serial-before-device", "two-pieces", "one-piece", "not-utf8"])
def test_reset_failure_is_reported_and_exits_with_1(
        camera, steps, usb_devices, reset_program, capfd, listing, cause, text):
    usb_devices(listing)
    with pytest.raises(SystemExit) as exit_request:
        camera.usbreset("40012345")
    assert exit_request.value.code == 1
    error = exit_request.value.__context__
    assert type(error) is cause
    assert capfd.readouterr().out == "%s %s\n" % (RESET_FAILED, error)
    if text is not None:
        assert str(error) == text
    assert reset_program.calls() == []


@pytest.mark.parametrize("procedure, message, command", [
    ("gpio_reset_off", POWER_FAILED, "echo 264 > /sys/class/gpio/export"),
    ("gpio_reset_on", POWER_FAILED, "echo 1 > /sys/class/gpio/gpio264/value"),
    ("usbreset", RESET_FAILED, "usb-devices"),
])
def test_shell_that_cannot_start_exits_with_1(camera, steps, monkeypatch, capfd, procedure, message, command):
    monkeypatch.setattr(subprocess, "Popen", failing_popen)
    args = ["40012345"] if procedure == "usbreset" else []
    with pytest.raises(SystemExit) as exit_request:
        getattr(camera, procedure)(*args)
    assert exit_request.value.code == 1
    assert steps == []  # nothing after the failed start, not even a pause
    assert capfd.readouterr() == ("%s no shell to run %s\n" % (message, command), "")


@pytest.mark.parametrize("procedure", ["gpio_reset_off", "gpio_reset_on", "usbreset"])
def test_interrupts_are_not_swallowed(camera, usb_devices, monkeypatch, capfd, procedure):
    def interrupted(seconds):
        raise KeyboardInterrupt

    usb_devices(LISTING)
    monkeypatch.setattr(basler, "time", types.SimpleNamespace(sleep=interrupted))
    args = ["40012345"] if procedure == "usbreset" else []
    with pytest.raises(KeyboardInterrupt):
        getattr(camera, procedure)(*args)
    assert capfd.readouterr().out == ""


CHILD = textwrap.dedent("""\
    import subprocess
    from libs.kx_camera_basler import kx_camera

    if {popen_fails}:
        def popen(*args, **kwargs):
            raise OSError("no shell")
        subprocess.Popen = popen
    camera = kx_camera.__new__(kx_camera)
    camera.{procedure}({args})
    print("not reached")
    """)


@pytest.mark.parametrize("procedure, args, popen_fails, message", [
    ("usbreset", "'40012345'", False, RESET_FAILED),
    ("gpio_reset_off", "", True, POWER_FAILED),
])
def test_failure_on_the_main_thread_ends_the_process_with_status_1(
        tmp_path, procedure, args, popen_fails, message):
    write_usb_devices(tmp_path / "bin", "S:  SerialNumber=40012345\n")
    env = dict(os.environ, ROOT_PATH=str(tmp_path), PYTHONPATH=ROOT,
               PATH=str(tmp_path / "bin") + os.pathsep + os.environ["PATH"])
    script = CHILD.format(procedure=procedure, args=args, popen_fails=popen_fails)
    result = subprocess.run([sys.executable, "-c", script], cwd=str(tmp_path), env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1, result.stderr
    assert result.stdout.startswith(message + " ")
    assert result.stdout.count("\n") == 1 and "not reached" not in result.stdout
